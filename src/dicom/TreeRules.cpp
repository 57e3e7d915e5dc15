#include "dicom/TreeRules.h"

#include <cstddef>
#include <string>

namespace {

// A date in one form whichever the record holds: the tree shows DD/MM/YYYY,
// headers and DICOMDIR records hold YYYYMMDD, ACR-NEMA files YYYY.MM.DD.
std::string DateKey(std::string_view d) {
  if (d.size() == 10 && d[2] == '/' && d[5] == '/')
    return std::string(d.substr(6, 4)).append(d.substr(3, 2)).append(d.substr(0, 2));
  std::string key;
  for (char c : d)
    if (c >= '0' && c <= '9') key.push_back(c);
  return key;
}

template <typename T>
bool In(int i, const std::vector<T>& v) {
  return i >= 0 && static_cast<size_t>(i) < v.size();
}

}  // namespace

TStudyIdentity StudyIdentity(const TStudy& study) {
  return {study.instanceUid, study.studyID, study.studyDate};
}

TStudyIdentity StudyIdentity(const DICOMdata& header) {
  return {header.Study_Instance_UID.str(), header.Study_ID.str(), header.StudyDate.str()};
}

bool SameStudy(const TStudyIdentity& a, const TStudyIdentity& b) {
  if (!a.uid.empty() && !b.uid.empty()) return a.uid == b.uid;
  return a.id == b.id && (a.date == b.date || DateKey(a.date) == DateKey(b.date));
}

const TStudy* StudyAt(const TPatientArr& patients, int patient, int study) {
  if (!In(patient, patients)) return nullptr;
  const TStudyArr& studies = patients[static_cast<size_t>(patient)].studies;
  return In(study, studies) ? &studies[static_cast<size_t>(study)] : nullptr;
}

const TSeries* SeriesAt(const TPatientArr& patients, int patient, int study, int series) {
  const TStudy* st = StudyAt(patients, patient, study);
  if (!st || !In(series, st->serieses)) return nullptr;
  return &st->serieses[static_cast<size_t>(series)];
}

const TImg* ImageAt(const TPatientArr& patients, int patient, int study, int series, int image) {
  const TSeries* se = SeriesAt(patients, patient, study, series);
  if (!se || !In(image, se->images)) return nullptr;
  return &se->images[static_cast<size_t>(image)];
}
