// Rules over the study tree that every layer applies the same way: whether two
// records belong to one study, and the node at a tree position.
#pragma once

#include <string_view>
#include <utility>

#include "dicom/define_types.h"

// What tells one study from another, as either level of the model holds it.
struct TStudyIdentity {
  std::string_view uid;   // Study Instance UID
  std::string_view id;    // Study ID
  std::string_view date;  // Study Date, raw (YYYYMMDD) or as shown (DD/MM/YYYY)
};
TStudyIdentity StudyIdentity(const TStudy& study);
TStudyIdentity StudyIdentity(const DICOMdata& header);

// The one "same study" rule. The Study Instance UID decides when both records
// have one: two UIDs that differ are two studies whatever their Study IDs say,
// and one UID is one study even when the Study IDs differ (a modality that
// numbers a resumed study anew). When either lacks a UID (ACR-NEMA files,
// media written without one) the Study ID and the study date decide together.
bool SameStudy(const TStudyIdentity& a, const TStudyIdentity& b);
inline bool SameStudy(const TStudy& a, const TStudy& b) {
  return SameStudy(StudyIdentity(a), StudyIdentity(b));
}
inline bool SameStudy(const TStudy& study, const DICOMdata& header) {
  return SameStudy(StudyIdentity(study), StudyIdentity(header));
}
inline bool SameStudy(const DICOMdata& a, const DICOMdata& b) {
  return SameStudy(StudyIdentity(a), StudyIdentity(b));
}

// The node at a tree position (patient, study, series, image indices, as the
// cells and the browser hold them); null when the position is not in the tree.
// The caller holds the tree's lock while it uses the node.
const TStudy* StudyAt(const TPatientArr& patients, int patient, int study);
const TSeries* SeriesAt(const TPatientArr& patients, int patient, int study, int series);
const TImg* ImageAt(const TPatientArr& patients, int patient, int study, int series, int image);
inline TStudy* StudyAt(TPatientArr& patients, int patient, int study) {
  return const_cast<TStudy*>(StudyAt(std::as_const(patients), patient, study));
}
inline TSeries* SeriesAt(TPatientArr& patients, int patient, int study, int series) {
  return const_cast<TSeries*>(SeriesAt(std::as_const(patients), patient, study, series));
}
inline TImg* ImageAt(TPatientArr& patients, int patient, int study, int series, int image) {
  return const_cast<TImg*>(ImageAt(std::as_const(patients), patient, study, series, image));
}
