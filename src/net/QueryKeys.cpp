#include "net/QueryKeys.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dctag.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

// Keys archives keep in their index: anything else (Rows, say) can make a
// server open every file to answer, which for Orthanc is seconds per series.
const std::vector<std::string>& LevelKeys(TQueryLevel level) {
  static const std::vector<std::string> patient = {"PatientName",
                                                   "PatientID",
                                                   "PatientBirthDate",
                                                   "PatientSex",
                                                   "NumberOfPatientRelatedStudies",
                                                   "NumberOfPatientRelatedSeries",
                                                   "NumberOfPatientRelatedInstances"};
  static const std::vector<std::string> study = {"StudyInstanceUID",
                                                 "PatientName",
                                                 "PatientID",
                                                 "PatientBirthDate",
                                                 "PatientSex",
                                                 "StudyDate",
                                                 "StudyTime",
                                                 "AccessionNumber",
                                                 "StudyID",
                                                 "StudyDescription",
                                                 "ModalitiesInStudy",
                                                 "ReferringPhysicianName",
                                                 "NumberOfStudyRelatedSeries",
                                                 "NumberOfStudyRelatedInstances"};
  static const std::vector<std::string> series = {
      "StudyInstanceUID", "SeriesInstanceUID", "Modality",
      "SeriesNumber",     "SeriesDescription", "BodyPartExamined",
      "SeriesDate",       "SeriesTime",        "NumberOfSeriesRelatedInstances"};
  static const std::vector<std::string> instance = {"StudyInstanceUID", "SeriesInstanceUID",
                                                    "SOPInstanceUID",   "SOPClassUID",
                                                    "InstanceNumber",   "NumberOfFrames"};
  switch (level) {
    case TQueryLevel::Patient:
      return patient;
    case TQueryLevel::Study:
      return study;
    case TQueryLevel::Series:
      return series;
    case TQueryLevel::Instance:
      return instance;
  }
  return study;
}

bool ParseHex4(const std::string& s, uint16_t& v) {
  if (s.size() != 4) return false;
  unsigned x = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    x = x * 16 + unsigned(d);
  }
  v = uint16_t(x);
  return true;
}

}  // namespace

const std::string& TQueryRow::Get(const std::string& keyword) const {
  static const std::string empty;
  for (const auto& [k, v] : fields)
    if (k == keyword) return v;
  return empty;
}

void TQueryRow::Set(const std::string& keyword, std::string value) {
  for (auto& [k, v] : fields)
    if (k == keyword) {
      v = std::move(value);
      return;
    }
  fields.emplace_back(keyword, std::move(value));
}

bool KeywordToTag(const std::string& keyword, uint16_t& group, uint16_t& element) {
  if (keyword.empty()) return false;
  const DcmDataDictionary& dict = dcmDataDict.rdlock();
  const DcmDictEntry* e = dict.findEntry(keyword.c_str());
  bool found = false;
  // Repeating groups (overlays, curves) have no single tag.
  if (e && e->getUpperGroup() == e->getGroup() && e->getUpperElement() == e->getElement()) {
    group = e->getGroup();
    element = e->getElement();
    found = true;
  }
  dcmDataDict.rdunlock();
  return found;
}

std::string TagToKeyword(uint16_t group, uint16_t element) {
  const DcmDataDictionary& dict = dcmDataDict.rdlock();
  const DcmDictEntry* e = dict.findEntry(DcmTagKey(group, element), nullptr);
  std::string name = e && e->getTagName() ? e->getTagName() : "";
  dcmDataDict.rdunlock();
  if (name.empty()) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X,%04X", group, element);
    name = buf;
  }
  return name;
}

bool ParseQueryKey(const std::string& text, TQueryKey& key, std::string& why) {
  const size_t eq = text.find('=');
  std::string name = text.substr(0, eq);
  key.value = eq == std::string::npos ? std::string() : text.substr(eq + 1);
  uint16_t g = 0, e = 0;
  if (name.size() == 9 && name[4] == ',' && ParseHex4(name.substr(0, 4), g) &&
      ParseHex4(name.substr(5), e)) {
    name = TagToKeyword(g, e);
    if (name.find(',') != std::string::npos) {
      why = "the tag " + text.substr(0, eq) + " is not in the DICOM dictionary";
      return false;
    }
  } else if (!KeywordToTag(name, g, e)) {
    why = "\"" + name + "\" is not a DICOM keyword (e.g. PatientID, StudyDate, Modality)";
    return false;
  }
  key.keyword = name;
  return true;
}

std::vector<std::string> ReturnKeys(TQueryLevel level, const std::vector<TQueryKey>& keys) {
  std::vector<std::string> out = LevelKeys(level);
  for (const TQueryKey& k : keys)
    if (std::find(out.begin(), out.end(), k.keyword) == out.end()) out.push_back(k.keyword);
  return out;
}

std::string TrimValue(const std::string& value) {
  std::string out;
  size_t start = 0;
  for (;;) {
    const size_t end = value.find('\\', start);
    std::string v = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t a = 0, b = v.size();
    while (a < b && (v[a] == ' ' || v[a] == '\0')) ++a;
    while (b > a && (v[b - 1] == ' ' || v[b - 1] == '\0')) --b;
    out += v.substr(a, b - a);
    if (end == std::string::npos) break;
    out += '\\';
    start = end + 1;
  }
  return out;
}

namespace {

size_t Utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  if ((lead >> 3) == 0x1E) return 4;
  return 1;
}

// Splits text into characters (UTF-8 sequences kept whole).
std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> out;
  for (size_t i = 0; i < text.size();) {
    const size_t n = std::min(Utf8Length(static_cast<unsigned char>(text[i])), text.size() - i);
    out.push_back(text.substr(i, n));
    i += n;
  }
  return out;
}

bool SameCharacter(const std::string& a, const std::string& b, bool foldCase) {
  if (a.size() != b.size()) return false;
  if (!foldCase || a.size() != 1) return a == b;
  return std::tolower(static_cast<unsigned char>(a[0])) ==
         std::tolower(static_cast<unsigned char>(b[0]));
}

bool MatchOne(const std::vector<std::string>& p, const std::vector<std::string>& t, bool foldCase) {
  // Iterative matching with one backtrack point for the last '*'.
  size_t pi = 0, ti = 0, star = std::string::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && (p[pi] == "?" || SameCharacter(p[pi], t[ti], foldCase))) {
      ++pi;
      ++ti;
    } else if (pi < p.size() && p[pi] == "*") {
      star = pi++;
      mark = ti;
    } else if (star != std::string::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == "*") ++pi;
  return pi == p.size();
}

}  // namespace

bool WildcardMatch(const std::string& pattern, const std::string& text, bool foldCase) {
  const std::vector<std::string> p = Characters(pattern);
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\\', start);
    const std::string value =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (MatchOne(p, Characters(value), foldCase)) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

std::string UrlSafeMatchValue(const std::string& value) {
  static const std::string kSafe = "-._~*?,:;@!$'()/";
  std::string out;
  for (const std::string& c : Characters(value)) {
    const unsigned char b = static_cast<unsigned char>(c[0]);
    const bool safe =
        c.size() == 1 && (std::isalnum(b) || kSafe.find(char(b)) != std::string::npos);
    out += safe ? c : std::string("?");
  }
  return out;
}
