// Priors: the patient's older studies, loaded or on an archive; Compare with
// Prior lays the current study out beside one, retrieving it when only an
// archive holds it.
#include <QDate>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QTime>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "app/PacsForm.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/Unit1.h"
#include "dicom/DicomCharset.h"
#include "dicom/StudyTree.h"
#include "hanging/Priors.h"
#include "net/PacsClient.h"
#include "viewer/AdvancedImage.h"

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Blanks and the NUL that pads a UID off both ends.
std::string Trimmed(const std::string& s) {
  return TrimValue(s);
}

hanging::TPatientKey KeyOf(const TPatient& p) {
  return {Trimmed(p.patientName), Trimmed(p.patintID), Trimmed(p.issuer)};
}

// A UID as sent: the reader keeps its dots as blanks.
std::string UidKey(const std::string& uid) {
  std::string u = TrimValue(uid);
  std::replace(u.begin(), u.end(), ' ', '.');
  return u;
}

// The loaded study with this UID, as the reader keeps it or as sent.
bool FindStudy(const std::string& uid, int* patient, int* study) {
  const std::string want = UidKey(uid);
  if (want.empty()) return false;
  for (size_t i = 0; i < gPatients.size(); ++i)
    for (size_t j = 0; j < gPatients[i].studies.size(); ++j)
      if (UidKey(gPatients[i].studies[j].instanceUid) == want) {
        *patient = int(i);
        *study = int(j);
        return true;
      }
  return false;
}

// The first series of a study with an image to show (presentation states hold none).
int FirstImageSeries(const TStudy& st) {
  for (size_t k = 0; k < st.serieses.size(); ++k)
    if (!st.serieses[k].images.empty() && Q(st.serieses[k].modality).trimmed().toUpper() != "PR")
      return int(k);
  return -1;
}

std::string SeriesDescription(const TSeries& s) {
  return s.images.empty() ? std::string() : s.images.front().Cache.DICOM.Series_Description.str();
}

// The prior's series to set beside the current one: the same modality and
// description, else the same modality, else its first series.
int MatchingSeries(const TSeries& current, const TStudy& prior) {
  const QString modality = Q(current.modality).trimmed().toUpper();
  const QString description = Q(SeriesDescription(current)).trimmed();
  int sameModality = -1;
  for (size_t k = 0; k < prior.serieses.size(); ++k) {
    const TSeries& s = prior.serieses[k];
    if (s.images.empty() || Q(s.modality).trimmed().toUpper() != modality) continue;
    if (!description.isEmpty() &&
        Q(SeriesDescription(s)).trimmed().compare(description, Qt::CaseInsensitive) == 0)
      return int(k);
    if (sameModality < 0) sameModality = int(k);
  }
  return sameModality >= 0 ? sameModality : FirstImageSeries(prior);
}

// ---- what an archive sends, checked ------------------------------------------------------

constexpr size_t kMaxText = 256;  // longer than any value these elements allow
constexpr size_t kMaxRowsPerServer = 500;

std::string Bounded(const std::string& s) {
  return s.size() > kMaxText ? std::string() : TrimValue(s);
}

std::string ValidDate(const std::string& s) {
  const std::string d = TrimValue(s);
  if (d.size() != 8 ||
      !std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  return QDate::fromString(Q(d), "yyyyMMdd").isValid() ? d : std::string();
}

// HHMM[SS[.FFFFFF]] to HHMMSS.
std::string ValidTime(const std::string& s) {
  std::string t = TrimValue(s).substr(0, 6);
  if (t.size() < 4 || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return {};
  t.resize(6, '0');
  return QTime::fromString(Q(t), "HHmmss").isValid() ? t : std::string();
}

// What the user confirms before a partly matching study is read as a prior.
QString IdentityQuestion(const std::string& warning, const std::string& currentName,
                         const std::string& currentId, const std::string& otherName,
                         const std::string& otherId) {
  return Q(warning) + "\n\nThis study: " + Q(currentName) + " (ID " + Q(currentId) +
         ")\nThe other: " + Q(otherName) + " (ID " + Q(otherId) +
         ")\n\nCompare them as the same patient's studies?";
}

}  // namespace

// The archive query under way. A connect to an archive that drops packets cannot be cut short: a
// query replaced by a newer one is cancelled and kept, not waited for, so a load never waits on the
// last one's archive; finished ones are let go at the next query, the rest when the window goes.
struct TPriorQuery {
  std::vector<std::shared_ptr<TPacsClient>> clients;
  std::thread worker;
  std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
  std::vector<std::shared_ptr<TPriorQuery>> older;
  void Cancel() {
    for (const auto& c : clients) c->Cancel();
  }
  ~TPriorQuery() {
    Cancel();
    if (worker.joinable()) worker.join();
  }
};

void TForm1::WirePriors() {
  connect(btnComparePrior, &QToolButton::clicked, this, [this] { CompareWithPrior(); });
  connect(this, &TForm1::loadsFinished, this, [this] { QueryArchivePriors(); });
  ThumbnailsTool->StudyMenu.push_back([this](QMenu& menu, const TStudyPanel& panel) {
    int cp = -1, cs = -1;
    const bool current = CurrentStudy(&cp, &cs);
    if (panel.ArchiveIndex >= 0) {
      if (size_t(panel.ArchiveIndex) >= ArchiveStudies.size()) return;
      const TArchiveStudy prior = ArchiveStudies[size_t(panel.ArchiveIndex)];
      QAction* a = menu.addAction(
          "Compare with This Study (retrieved from " + Q(prior.serverName) + ")", this,
          [this, prior] {
            int p = -1, s = -1;
            if (!CurrentStudy(&p, &s)) return;
            if (!prior.warning.empty() &&
                !AskConfirmation(IdentityQuestion(prior.warning, PatientNameOf(p), PatientIdOf(p),
                                                  prior.patientName, prior.patientId)))
              return;
            RetrieveAndCompare(prior, p, s);
          });
      a->setEnabled(current);
      return;
    }
    const int p = panel.PatientIndex, s = panel.StudyIndex;
    // A study listed under another patient is a prior of that patient's.
    if (panel.ListedUnder == p)
      menu.addAction("Compare with Prior", this, [this, p, s] { ComparePriorOf(p, s); });
    QAction* withThis = menu.addAction("Compare with This Study", this, [this, p, s] {
      int cp2 = -1, cs2 = -1;
      if (!CurrentStudy(&cp2, &cs2) || (cp2 == p && cs2 == s)) return;
      hanging::TIdentity identity = hanging::TIdentity::Unrelated;
      std::string warning;
      {
        std::lock_guard lock(gPatientsMutex);
        if (size_t(cp2) >= gPatients.size() || size_t(p) >= gPatients.size()) return;
        identity =
            hanging::CompareIdentity(KeyOf(gPatients[size_t(cp2)]), KeyOf(gPatients[size_t(p)]));
        warning = identity == hanging::TIdentity::Unrelated
                      ? std::string("Another patient: neither the name nor the ID agree.")
                      : hanging::IdentityWarning(identity);
      }
      if (identity != hanging::TIdentity::Same &&
          !AskConfirmation(IdentityQuestion(warning, PatientNameOf(cp2), PatientIdOf(cp2),
                                            PatientNameOf(p), PatientIdOf(p))))
        return;
      CompareStudies(cp2, cs2, p, s);
    });
    withThis->setEnabled(current && !(cp == p && cs == s));
  });
}

std::string TForm1::PatientNameOf(int patient) const {
  std::lock_guard lock(gPatientsMutex);
  return size_t(patient) < gPatients.size() ? Trimmed(gPatients[size_t(patient)].patientName)
                                            : std::string();
}

std::string TForm1::PatientIdOf(int patient) const {
  std::lock_guard lock(gPatientsMutex);
  return size_t(patient) < gPatients.size() ? Trimmed(gPatients[size_t(patient)].patintID)
                                            : std::string();
}

bool TForm1::CurrentStudy(int* patient, int* study) const {
  std::lock_guard lock(gPatientsMutex);
  const TadvancedImage* c = ActiveAdvancedImage;
  if (c && c->HasImage && c->PatientIndex >= 0 && size_t(c->PatientIndex) < gPatients.size() &&
      c->StudyIndex >= 0 &&
      size_t(c->StudyIndex) < gPatients[size_t(c->PatientIndex)].studies.size()) {
    *patient = c->PatientIndex;
    *study = c->StudyIndex;
    return true;
  }
  for (size_t i = 0; i < gPatients.size(); ++i)
    if (!gPatients[i].studies.empty()) {
      *patient = int(i);
      *study = hanging::CurrentStudyOf(gPatients[i]);
      return *study >= 0 && size_t(*study) < gPatients[i].studies.size();
    }
  return false;
}

void TForm1::CompareWithPrior() {
  int p = -1, s = -1;
  if (!CurrentStudy(&p, &s)) {
    ShowMessage("Open a study first: Compare with Prior sets it beside the patient's older one.");
    return;
  }
  ComparePriorOf(p, s);
}

void TForm1::ComparePriorOf(int patient, int study) {
  std::vector<hanging::TPrior> loaded;
  std::string when;
  {
    std::lock_guard lock(gPatientsMutex);
    if (size_t(patient) >= gPatients.size() ||
        size_t(study) >= gPatients[size_t(patient)].studies.size())
      return;
    loaded = hanging::FindPriors(gPatients, patient, study);
    when = hanging::StudyWhen(gPatients[size_t(patient)].studies[size_t(study)]);
  }
  // The newest of each kind: loaded or on an archive, the same patient or a
  // partial match. The same patient's wins over a partial match.
  const hanging::TPrior* loadedSame = nullptr;
  const hanging::TPrior* loadedPartial = nullptr;
  for (const hanging::TPrior& pr : loaded) {
    if (pr.identity == hanging::TIdentity::Same && !loadedSame) loadedSame = &pr;
    if (pr.identity != hanging::TIdentity::Same && !loadedPartial) loadedPartial = &pr;
  }
  const TArchiveStudy* archivedSame = nullptr;
  const TArchiveStudy* archivedPartial = nullptr;
  const auto newer = [](const TArchiveStudy* a, const TArchiveStudy& b) {
    return !a || (b.date + b.time) > (a->date + a->time);
  };
  hanging::TPatientKey key;
  {
    std::lock_guard lock(gPatientsMutex);
    key = KeyOf(gPatients[size_t(patient)]);
  }
  for (const TArchiveStudy& a : ArchiveStudies) {
    if (a.patient != patient ||
        hanging::CompareIdentity(key, {a.patientName, a.patientId, a.issuer}) ==
            hanging::TIdentity::Unrelated)
      continue;
    const std::string w = a.date.empty() ? std::string() : a.date + a.time;
    // Older than the study read; an archive's study without a date is never
    // taken for the prior.
    if (w.empty() || (!when.empty() && w >= when)) continue;
    if (a.warning.empty()) {
      if (newer(archivedSame, a)) archivedSame = &a;
    } else if (newer(archivedPartial, a)) {
      archivedPartial = &a;
    }
  }
  const auto loadedWhen = [](const hanging::TPrior* pr) { return pr ? pr->date : std::string(); };
  const bool same = loadedSame || archivedSame;
  const hanging::TPrior* pick = same ? loadedSame : loadedPartial;
  const TArchiveStudy* archived = same ? archivedSame : archivedPartial;
  if (pick && archived && archived->date > loadedWhen(pick)) pick = nullptr;
  if (pick) archived = nullptr;
  if (!pick && !archived) {
    ShowMessage("No older study of " + Q(PatientNameOf(patient)) +
                " is loaded or listed by an archive.");
    return;
  }
  if (pick) {
    if (pick->identity != hanging::TIdentity::Same &&
        !AskConfirmation(IdentityQuestion(pick->warning, PatientNameOf(patient),
                                          PatientIdOf(patient), PatientNameOf(pick->patient),
                                          PatientIdOf(pick->patient))))
      return;
    CompareStudies(patient, study, pick->patient, pick->study);
    return;
  }
  if (!archived->warning.empty() &&
      !AskConfirmation(IdentityQuestion(archived->warning, PatientNameOf(patient),
                                        PatientIdOf(patient), archived->patientName,
                                        archived->patientId)))
    return;
  RetrieveAndCompare(*archived, patient, study);
}

bool TForm1::CompareStudies(int patient, int study, int priorPatient, int priorStudy) {
  if (ApplyHanging(patient, study, priorPatient, priorStudy)) return true;
  // No protocol fits: the two side by side, the series read beside the
  // prior's series that matches it.
  int currentSeries = -1, priorSeries = -1;
  {
    std::lock_guard lock(gPatientsMutex);
    if (size_t(patient) >= gPatients.size() || size_t(priorPatient) >= gPatients.size())
      return false;
    const TPatient& pc = gPatients[size_t(patient)];
    const TPatient& pp = gPatients[size_t(priorPatient)];
    if (size_t(study) >= pc.studies.size() || size_t(priorStudy) >= pp.studies.size()) return false;
    const TStudy& current = pc.studies[size_t(study)];
    const TadvancedImage* c = ActiveAdvancedImage;
    if (c && c->HasImage && c->PatientIndex == patient && c->StudyIndex == study &&
        size_t(c->SeriesIndex) < current.serieses.size() &&
        !current.serieses[size_t(c->SeriesIndex)].images.empty())
      currentSeries = c->SeriesIndex;
    else
      currentSeries = FirstImageSeries(current);
    if (currentSeries < 0) return false;
    priorSeries =
        MatchingSeries(current.serieses[size_t(currentSeries)], pp.studies[size_t(priorStudy)]);
  }
  if (priorSeries < 0) {
    ShowMessage("The prior study holds no image to show.");
    return false;
  }
  ForgetHanging();
  SetLayout(1, 2);
  const std::pair<std::array<int, 3>, TadvancedImage*> fill[] = {
      {{patient, study, currentSeries}, AdvancedImages[0][0]},
      {{priorPatient, priorStudy, priorSeries}, AdvancedImages[0][1]}};
  for (const auto& [at, cell] : fill) {
    cell->PauseCine();
    cell->PatientIndex = at[0];
    cell->StudyIndex = at[1];
    cell->SeriesIndex = at[2];
    if (LoadSeriesImage(cell, 0))
      cell->FitImage();
    else
      cell->ShowFailure(cell->LastLoadError());
  }
  MakeCellActive(Viewers[0][0]);
  update_ReferenceLines();
  return true;
}

// ---- the archives' priors --------------------------------------------------------------

bool TForm1::ArchiveQueryRunning() const {
  return FPriorQuery && FPriorQuery->worker.joinable() && !FPriorQuery->clients.empty();
}

void TForm1::QueryArchivePriors() {
  std::vector<std::shared_ptr<TPriorQuery>> older;
  if (FPriorQuery) {
    FPriorQuery->Cancel();
    older = std::move(FPriorQuery->older);
    older.push_back(std::move(FPriorQuery));
    older.erase(std::remove_if(older.begin(), older.end(),
                               [](const std::shared_ptr<TPriorQuery>& q) {
                                 return !q->worker.joinable() || q->done->load();
                               }),
                older.end());
  }
  FPriorQuery = std::make_shared<TPriorQuery>();
  FPriorQuery->older = std::move(older);
  // What the last query found was for the tree as it was then.
  if (!ArchiveStudies.empty() || !ThumbnailsTool->ArchiveStudies.empty()) {
    ArchiveStudies.clear();
    ThumbnailsTool->ArchiveStudies.clear();
    RebuildBrowser();
  }
  if (!PacsForm || PacsForm->Servers().empty()) return;
  int p = -1, s = -1;
  if (!CurrentStudy(&p, &s)) return;
  hanging::TPatientKey key;
  {
    std::lock_guard lock(gPatientsMutex);
    key = KeyOf(gPatients[size_t(p)]);
  }
  if (key.id.empty() && key.name.empty()) return;
  std::shared_ptr<TPriorQuery> query = FPriorQuery;
  const std::vector<TPacsServer> servers = PacsForm->Servers();
  for (const TPacsServer& server : servers) query->clients.push_back(MakePacsClient(server));
  struct Answer {
    std::string server;
    bool ok = true;
    std::string why;
    std::vector<TQueryRow> rows;
  };
  std::weak_ptr<TPriorQuery> weak = query;
  QPointer<TForm1> self(this);
  auto clients = query->clients;
  query->worker = std::thread([self, weak, clients, key, done = query->done] {
    // Said last, whichever way the thread ends.
    const std::shared_ptr<void> finished(nullptr, [done](void*) { done->store(true); });
    std::vector<Answer> answers;
    for (const auto& client : clients) {
      Answer& a = answers.emplace_back();
      a.server = client->Server().name;
      const std::vector<TQueryKey> returned = {
          {"PatientName", ""},      {"PatientID", ""},        {"IssuerOfPatientID", ""},
          {"StudyInstanceUID", ""}, {"StudyDate", ""},        {"StudyTime", ""},
          {"StudyDescription", ""}, {"ModalitiesInStudy", ""}};
      // By ID (the issuer is compared here: archives seldom match on it), and
      // by name, which finds the same person filed under another ID.
      // The tree keeps a name with blanks for its "^"s: each blank matches
      // either, and what else the pattern lets through fails the identity check.
      std::string namePattern = key.name;
      std::replace(namePattern.begin(), namePattern.end(), ' ', '*');
      for (const auto& [keyword, value] : {std::pair<std::string, std::string>{"PatientID", key.id},
                                           {"PatientName", namePattern}}) {
        if (value.empty() || value.find_first_of("?\\") != std::string::npos ||
            (keyword == "PatientID" && value.find('*') != std::string::npos) ||
            (keyword == "PatientName" && key.name.find('*') != std::string::npos))
          continue;
        std::vector<TQueryKey> keys = returned;
        for (TQueryKey& k : keys)
          if (k.keyword == keyword) k.value = value;
        std::vector<TQueryRow> rows;
        std::string why;
        if (!client->Find(TQueryLevel::Study, keys, rows, why)) {
          a.ok = false;
          a.why = why;
          break;
        }
        rows.resize(std::min(rows.size(), kMaxRowsPerServer));
        for (TQueryRow& r : rows) a.rows.push_back(std::move(r));
      }
      if (client->Cancelled()) return;
    }
    QMetaObject::invokeMethod(
        self.data(),
        [self, weak, key, answers = std::move(answers)] {
          // A newer query (or none: the tree was cleared) makes this one moot.
          const std::shared_ptr<TPriorQuery> q = weak.lock();
          if (!self || !q || self->FPriorQuery != q) return;
          std::vector<TArchiveStudy> found;
          QStringList silent;
          {
            std::lock_guard lock(gPatientsMutex);
            int patient = -1;
            for (size_t i = 0; i < gPatients.size() && patient < 0; ++i) {
              const hanging::TPatientKey k = KeyOf(gPatients[i]);
              if (k.name == key.name && k.id == key.id && k.issuer == key.issuer) patient = int(i);
            }
            if (patient < 0) return;
            for (size_t server = 0; server < answers.size(); ++server) {
              const Answer& a = answers[server];
              if (!a.ok) {
                silent << Q(a.why);
                continue;
              }
              for (const TQueryRow& r : a.rows) {
                // An identity longer than any the standard allows is not one.
                if (r.Get("PatientName").size() > kMaxText ||
                    r.Get("PatientID").size() > kMaxText ||
                    r.Get("IssuerOfPatientID").size() > kMaxText)
                  continue;
                TArchiveStudy st;
                st.studyUid = TrimValue(r.Get("StudyInstanceUID"));
                // As the tree keeps names: "^" between components a blank.
                st.patientName = PersonNameText(Bounded(r.Get("PatientName")));
                st.patientId = Bounded(r.Get("PatientID"));
                st.issuer = Bounded(r.Get("IssuerOfPatientID"));
                if (!IsValidUid(st.studyUid) || (st.patientName.empty() && st.patientId.empty()))
                  continue;
                int lp = -1, ls = -1;
                if (FindStudy(st.studyUid, &lp, &ls)) continue;  // loaded already
                if (std::any_of(found.begin(), found.end(),
                                [&](const TArchiveStudy& f) { return f.studyUid == st.studyUid; }))
                  continue;  // found by ID and by name, or on two archives
                const hanging::TIdentity identity =
                    hanging::CompareIdentity(key, {st.patientName, st.patientId, st.issuer});
                if (identity == hanging::TIdentity::Unrelated) continue;
                st.server = int(server);
                st.serverName = a.server;
                st.patient = patient;
                st.identity = int(identity);
                st.warning = hanging::IdentityWarning(identity);
                st.date = ValidDate(r.Get("StudyDate"));
                st.time = st.date.empty() ? std::string() : ValidTime(r.Get("StudyTime"));
                st.description = Bounded(r.Get("StudyDescription")).substr(0, 64);
                st.modalities = Bounded(r.Get("ModalitiesInStudy")).substr(0, 64);
                found.push_back(std::move(st));
              }
            }
          }
          self->ArchiveStudies = found;
          self->ThumbnailsTool->ArchiveStudies = std::move(found);
          self->RebuildBrowser();
          // Said once, in the status area: the study read stays as it is.
          if (!silent.isEmpty()) {
            const QString text = "Priors on the archive not known: " + silent.join("; ");
            self->statusLabelCount->setText(text);
            self->statusLabelCount->setToolTip(text);
          }
          q->clients.clear();
        },
        Qt::QueuedConnection);
  });
}

void TForm1::RetrieveAndCompare(const TArchiveStudy& prior, int patient, int study) {
  if (!PacsForm || prior.server < 0 || size_t(prior.server) >= PacsForm->Servers().size()) {
    ShowMessage("The archive that listed this study is no longer configured.");
    return;
  }
  std::string currentUid;
  {
    std::lock_guard lock(gPatientsMutex);
    if (size_t(patient) >= gPatients.size() ||
        size_t(study) >= gPatients[size_t(patient)].studies.size())
      return;
    currentUid = gPatients[size_t(patient)].studies[size_t(study)].instanceUid;
  }
  statusLabelCount->setText("Retrieving the prior of " + Q(prior.date) + " from " +
                            Q(prior.serverName) + "\u2026");
  const QString from = Q(prior.serverName);
  auto progress = std::make_shared<QMetaObject::Connection>();
  *progress = connect(
      PacsForm, &TPacsForm::retrieveProgress, this, [this, from](int arrived, int expected) {
        statusLabelCount->setText(
            expected > 0
                ? QString("Retrieving the prior from %1: %2 of %3 images")
                      .arg(from)
                      .arg(arrived)
                      .arg(expected)
                : QString("Retrieving the prior from %1: %2 images").arg(from).arg(arrived));
      });
  auto connection = std::make_shared<QMetaObject::Connection>();
  *connection = connect(
      PacsForm, &TPacsForm::retrieveFinished, this,
      [this, connection, progress, prior, currentUid](bool ok) {
        disconnect(*connection);
        disconnect(*progress);
        int p = -1, s = -1, pp = -1, ps = -1;
        bool found = false;
        {
          std::lock_guard lock(gPatientsMutex);
          found = FindStudy(currentUid, &p, &s) && FindStudy(prior.studyUid, &pp, &ps);
        }
        if (!ok || !found) {
          const QString why = ok ? QString("no image of it could be shown") : PacsForm->LastError();
          statusLabelCount->setText("The prior was not retrieved.");
          ShowMessage("The prior study could not be retrieved from " + Q(prior.serverName) + ": " +
                      why + "\nThe layout stays as it was.");
          return;
        }
        ArchiveStudies.erase(
            std::remove_if(ArchiveStudies.begin(), ArchiveStudies.end(),
                           [&](const TArchiveStudy& a) { return a.studyUid == prior.studyUid; }),
            ArchiveStudies.end());
        ThumbnailsTool->ArchiveStudies = ArchiveStudies;
        RebuildBrowser();
        statusLabelCount->setText("The prior was retrieved from " + Q(prior.serverName) + ".");
        CompareStudies(p, s, pp, ps);
      });
  QString why;
  if (!PacsForm->RetrieveStudy(prior.server, Q(prior.studyUid), &why)) {
    disconnect(*connection);
    disconnect(*progress);
    statusLabelCount->setText("The prior was not retrieved.");
    ShowMessage("The prior study could not be retrieved from " + Q(prior.serverName) + ": " + why +
                "\nThe layout stays as it was.");
  }
}
