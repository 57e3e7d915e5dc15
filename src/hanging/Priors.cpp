// Finding the older studies of the patient being read, with how sure the
// identity is.
#include "hanging/Priors.h"

#include <algorithm>

#include "hanging/Text.h"

namespace hanging {

namespace {

// Names compare without case, padding or the empty trailing components
// ("DOE^JANE^^" is "Doe^Jane"); the loader's placeholders are no name at all.
std::string NameKey(const std::string& name) {
  std::string n = Upper(Trim(name));
  while (!n.empty() && (n.back() == '^' || n.back() == ' ')) n.pop_back();
  return n == "NO NAME" ? "" : n;
}

std::string IdKey(const std::string& id) {
  const std::string t = Trim(id);
  return t == "NO ID" ? "" : t;
}

std::string DigitsOf(std::string_view s, size_t n) {
  std::string out;
  for (const char c : s) {
    if (c >= '0' && c <= '9') {
      out += c;
    } else if (c == '.') {
      break;
    }
    if (out.size() == n) break;
  }
  return out;
}

}  // namespace

TIdentity CompareIdentity(const TPatientKey& current, const TPatientKey& other) {
  const std::string id1 = IdKey(current.id), id2 = IdKey(other.id);
  const std::string n1 = NameKey(current.name), n2 = NameKey(other.name);
  const bool sameId = !id1.empty() && id1 == id2;
  const bool sameName = !n1.empty() && n1 == n2;
  if (sameId) {
    // An issuer missing on one side is not evidence of the same patient.
    if (Trim(current.issuer) != Trim(other.issuer)) return TIdentity::OtherIssuer;
    return sameName || (n1.empty() && n2.empty()) ? TIdentity::Same : TIdentity::OtherName;
  }
  if (sameName) return TIdentity::OtherId;
  return TIdentity::Unrelated;
}

std::string IdentityWarning(TIdentity identity) {
  switch (identity) {
    case TIdentity::Same:
      return "";
    case TIdentity::OtherId:
      return "Other patient ID: same name only";
    case TIdentity::OtherIssuer:
      return "Other issuer of patient ID: same ID only";
    case TIdentity::OtherName:
      return "Other patient name: same ID only";
    case TIdentity::Unrelated:
      break;
  }
  return "Other patient";
}

std::string StudyWhen(const TStudy& study) {
  for (const TSeries& s : study.serieses) {
    if (s.images.empty()) continue;
    const DICOMdata& h = s.images.front().Cache.DICOM;
    const std::string date = DigitsOf(h.StudyDate.str(), 8);
    if (date.size() == 8) {
      std::string time = DigitsOf(h.Study_Time.str(), 6);
      time.resize(6, '0');
      return date + time;
    }
    break;
  }
  // The record keeps the date as DD/MM/YYYY.
  const std::string d = DigitsOf(study.studyDate, 8);
  if (d.size() != 8) return {};
  std::string time = DigitsOf(study.studyTime, 6);
  time.resize(6, '0');
  const bool dayFirst = study.studyDate.find('/') != std::string::npos;
  return (dayFirst ? d.substr(4, 4) + d.substr(2, 2) + d.substr(0, 2) : d) + time;
}

std::vector<TPrior> FindPriors(const TPatientArr& patients, int patient, int study) {
  std::vector<TPrior> out;
  if (patient < 0 || patient >= static_cast<int>(patients.size())) return out;
  const TPatient& cp = patients[static_cast<size_t>(patient)];
  if (study < 0 || study >= static_cast<int>(cp.studies.size())) return out;
  const TStudy& current = cp.studies[static_cast<size_t>(study)];
  const std::string now = StudyWhen(current);
  const std::string currentUid = Trim(current.instanceUid);
  const TPatientKey key{cp.patientName, cp.patintID, cp.issuer};
  std::vector<std::string> whens;
  for (size_t pi = 0; pi < patients.size(); ++pi) {
    const TPatient& p = patients[pi];
    const TIdentity identity = static_cast<int>(pi) == patient
                                   ? TIdentity::Same
                                   : CompareIdentity(key, {p.patientName, p.patintID, p.issuer});
    if (identity == TIdentity::Unrelated) continue;
    for (size_t si = 0; si < p.studies.size(); ++si) {
      const TStudy& st = p.studies[si];
      if (static_cast<int>(pi) == patient && static_cast<int>(si) == study) continue;
      // The same study filed again (under another issuer, say) is not its own prior.
      if (!currentUid.empty() && Trim(st.instanceUid) == currentUid) continue;
      const std::string when = StudyWhen(st);
      // Older only; a study without a date cannot be placed and is offered last.
      if (!when.empty() && !now.empty() && when >= now) continue;
      TPrior pr;
      pr.patient = static_cast<int>(pi);
      pr.study = static_cast<int>(si);
      pr.identity = identity;
      pr.warning = IdentityWarning(identity);
      pr.date = when.substr(0, std::min<size_t>(8, when.size()));
      pr.description = Trim(st.description);
      pr.instanceUid = Trim(st.instanceUid);
      out.push_back(std::move(pr));
      whens.push_back(when);
    }
  }
  std::vector<size_t> order(out.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (whens[a].empty() != whens[b].empty()) return whens[b].empty();
    if (whens[a] != whens[b]) return whens[a] > whens[b];
    // Of two studies of one moment, the surer identity first.
    return (out[a].identity == TIdentity::Same) > (out[b].identity == TIdentity::Same);
  });
  std::vector<TPrior> sorted;
  sorted.reserve(out.size());
  for (const size_t i : order) sorted.push_back(std::move(out[i]));
  return sorted;
}

namespace {

std::vector<std::string> ModalitiesOf(const TPatientArr& patients, int patient, int study) {
  std::vector<std::string> out;
  if (patient < 0 || patient >= static_cast<int>(patients.size())) return out;
  const TPatient& p = patients[static_cast<size_t>(patient)];
  if (study < 0 || study >= static_cast<int>(p.studies.size())) return out;
  for (const TSeries& s : p.studies[static_cast<size_t>(study)].serieses)
    if (!s.images.empty()) out.push_back(Code(s.modality));
  return out;
}

}  // namespace

int PreferredPrior(const TPatientArr& patients, int patient, int study,
                   const std::vector<TPrior>& priors) {
  const std::vector<std::string> mine = ModalitiesOf(patients, patient, study);
  auto shares = [&](const TPrior& p) {
    for (const std::string& m : ModalitiesOf(patients, p.patient, p.study))
      if (std::find(mine.begin(), mine.end(), m) != mine.end()) return true;
    return false;
  };
  for (const bool same : {true, false}) {
    for (size_t i = 0; i < priors.size(); ++i)
      if ((priors[i].identity == TIdentity::Same) == same && shares(priors[i]))
        return static_cast<int>(i);
    for (size_t i = 0; i < priors.size(); ++i)
      if ((priors[i].identity == TIdentity::Same) == same) return static_cast<int>(i);
  }
  return -1;
}

int CurrentStudyOf(const TPatient& patient) {
  int best = -1;
  std::string bestWhen;
  for (size_t i = 0; i < patient.studies.size(); ++i) {
    const std::string when = StudyWhen(patient.studies[i]);
    if (best < 0 || when > bestWhen) {
      best = static_cast<int>(i);
      bestWhen = when;
    }
  }
  return best;
}

}  // namespace hanging
