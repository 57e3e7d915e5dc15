#include "study/Filing.h"

#include <algorithm>

#include "study/DocumentFiling.h"
#include "study/FilingDetail.h"
#include "study/Global.h"

using namespace study::detail;

std::string FormatStudyTime(const std::string& studyTime) {
  std::string t = studyTime;
  // Old ACR-NEMA files write HH:MM:SS already; more colons would garble it.
  if (t.size() > 2 && t[2] == ':') return t.substr(0, 8);
  // A separator goes only where more text follows, so "1430" reads 14:30.
  if (t.size() > 2) t.insert(2, ":");
  if (t.size() > 5) t.insert(5, ":");
  if (t.size() > 8) t.resize(8);
  return t;
}

namespace {

TImg MakeImage(DICOMdata&& h) {
  TImg image;
  image.Cache.DICOM = std::move(h);
  FillImage(image);
  return image;
}

bool FileImage(TImgArr& images, TImg&& image) {
  // Paths of one series share a long prefix; their last bytes tell most
  // apart before a full comparison.
  const std::string& path = image.imagePath;
  for (const TImg& other : images) {
    const std::string& p = other.imagePath;
    if (p.size() == path.size() && (path.empty() || p.back() == path.back()) && p == path)
      return false;
  }
  images.push_back(std::move(image));
  return true;
}

// Each level finds the node a header belongs to, or appends a new one, and
// returns its index.
size_t LocatePatient(TPatientArr& patients, const DICOMdata& h) {
  for (size_t i = 0; i < patients.size(); ++i)
    if (patients[i].patientName == h.PatientName && patients[i].patintID == h.PatientID &&
        patients[i].issuer == h.Issuer_Of_Patient_ID)
      return i;
  TPatient& p = patients.emplace_back();
  p.patientName = h.PatientName;
  p.patintID = h.PatientID;
  p.issuer = h.Issuer_Of_Patient_ID;
  return patients.size() - 1;
}

size_t LocateStudy(TStudyArr& studies, const DICOMdata& h) {
  for (size_t i = 0; i < studies.size(); ++i)
    if (SameStudy(studies[i], h)) return i;
  TStudy& st = studies.emplace_back();
  st.studyID = h.Study_ID;
  st.instanceUid = h.Study_Instance_UID;
  st.studyDate = h.studydate_formated;
  st.studyTime = FormatStudyTime(h.Study_Time);
  st.description = h.Study_Description;
  return studies.size() - 1;
}

size_t LocateSeries(TSeriesArr& series, const DICOMdata& h) {
  for (size_t i = 0; i < series.size(); ++i)
    if (series[i].instanceUid == h.Series_Instance_UID) return i;
  TSeries& s = series.emplace_back();
  s.instanceUid = h.Series_Instance_UID;
  s.seriesNumber = h.SeriesNum;
  s.BodyPart = h.Body_Part_Examined;
  s.modality = h.modality;
  return series.size() - 1;
}

int CountImages(const TSeries& s) {
  return static_cast<int>(s.images.size());
}
int CountImages(const TStudy& st) {
  int n = 0;
  for (const auto& s : st.serieses) n += CountImages(s);
  return n;
}
int CountImages(const TPatient& p) {
  int n = 0;
  for (const auto& st : p.studies) n += CountImages(st);
  return n;
}

}  // namespace

namespace study::detail {

void FillImage(TImg& image) {
  const DICOMdata& h = image.Cache.DICOM;
  image.instanceNumber = h.ImageNum;
  image.imageType = h.imageType;
  image.imagePath = h.referenceFile;
  image.sopInstanceUid = h.SOP_Instance_UID;
  TCache& cache = image.Cache;
  cache.gECATslices = h.gECATJPEG_table_entries;
  cache.gECATposra = h.gECATJPEG_pos_table;
  cache.gECATszra = h.gECATJPEG_size_table;
}

TSeriesIndex Locate(TPatientArr& patients, const DICOMdata& h) {
  TSeriesIndex at;
  at.patient = LocatePatient(patients, h);
  TStudyArr& studies = patients[at.patient].studies;
  at.study = LocateStudy(studies, h);
  at.series = LocateSeries(studies[at.study].serieses, h);
  return at;
}

TSeries& SeriesOf(TPatientArr& patients, const TSeriesIndex& at) {
  return patients[at.patient].studies[at.study].serieses[at.series];
}

TPatient* FindPatient(TPatientArr& patients, const TPatient& p) {
  // Name, ID and issuer: two patients who share a name, or an ID given out by
  // two hospitals, must not be merged into one.
  for (TPatient& q : patients)
    if (q.patientName == p.patientName && q.patintID == p.patintID && q.issuer == p.issuer)
      return &q;
  return nullptr;
}

TStudy* FindStudy(TStudyArr& studies, const TStudy& st) {
  for (TStudy& q : studies)
    if (SameStudy(q, st)) return &q;
  return nullptr;
}

TSeries* FindSeries(TSeriesArr& series, const TSeries& se) {
  for (TSeries& q : series)
    if (q.instanceUid == se.instanceUid) return &q;
  return nullptr;
}

TSeriesIndex TLocator::operator()(const DICOMdata& h) {
  if (hasLast_ && Same(h)) return last_;
  const std::array<TSharedText, kParts> parts = {
      h.PatientName,         h.PatientID,           h.Study_ID, h.Study_Instance_UID, h.StudyDate,
      h.Series_Instance_UID, h.Issuer_Of_Patient_ID};
  key_.clear();
  for (const TSharedText& part : parts) {
    key_ += part.str();
    key_ += '\x1f';
  }
  auto [it, fresh] = index_.try_emplace(key_);
  if (fresh) it->second = Locate(patients_, h);
  last_ = it->second;
  lastKey_ = parts;
  hasLast_ = true;
  return last_;
}

bool TLocator::Same(const DICOMdata& h) const {
  return lastKey_[5] == h.Series_Instance_UID && lastKey_[3] == h.Study_Instance_UID &&
         lastKey_[4] == h.StudyDate && lastKey_[2] == h.Study_ID && lastKey_[1] == h.PatientID &&
         lastKey_[0] == h.PatientName && lastKey_[6] == h.Issuer_Of_Patient_ID;
}

}  // namespace study::detail

bool add_ToImages(TImgArr& images, DICOMdata&& h) {
  return FileImage(images, MakeImage(std::move(h)));
}
bool add_ToSeries(TSeriesArr& series, DICOMdata&& h) {
  const size_t i = LocateSeries(series, h);
  return add_ToImages(series[i].images, std::move(h));
}
bool add_ToStudies(TStudyArr& studies, DICOMdata&& h) {
  const size_t i = LocateStudy(studies, h);
  return add_ToSeries(studies[i].serieses, std::move(h));
}
bool add_ToPatients(TPatientArr& patients, DICOMdata&& h) {
  const size_t i = LocatePatient(patients, h);
  return add_ToStudies(patients[i].studies, std::move(h));
}

bool add_ToPatients(TPatientArr& patients, int idx) {
  if (idx < 0 || static_cast<size_t>(idx) >= gFileHeaders.size()) return false;
  DICOMdata copy = gFileHeaders[static_cast<size_t>(idx)];
  return add_ToPatients(patients, std::move(copy));
}

std::unordered_map<std::string, std::string> InstancesOf(const TPatientArr& patients) {
  std::unordered_map<std::string, std::string> seen;
  for (const TPatient& p : patients)
    for (const TStudy& st : p.studies)
      for (const TSeries& se : st.serieses) {
        for (const TImg& img : se.images)
          if (!img.sopInstanceUid.empty()) seen.try_emplace(img.sopInstanceUid, img.imagePath);
        for (const TDocumentRecord& doc : se.documents)
          if (!doc.sopInstanceUid.empty()) seen.try_emplace(doc.sopInstanceUid, doc.path);
      }
  return seen;
}

int MergePatients(TPatientArr& into, TPatientArr& patients, std::vector<TDuplicate>* duplicates) {
  // An instance already filed from another file (a CD and a PACS copy), or
  // twice in the incoming tree, goes in once. The same path is left to the
  // path rule below: that is the same file, not a copy.
  std::unordered_map<std::string, std::string> seen = InstancesOf(into);
  for (TPatient& p : patients)
    for (TStudy& st : p.studies)
      for (TSeries& se : st.serieses) {
        TImgArr kept;
        TStringArray keptPaths;
        const bool listed = se.imagesListPath.size() == se.images.size();
        for (size_t k = 0; k < se.images.size(); ++k) {
          TImg& img = se.images[k];
          if (!img.sopInstanceUid.empty()) {
            const auto [it, fresh] = seen.try_emplace(img.sopInstanceUid, img.imagePath);
            if (!fresh && it->second != img.imagePath) {
              if (duplicates) duplicates->push_back({img.imagePath, it->second});
              continue;
            }
          }
          if (listed) keptPaths.push_back(std::move(se.imagesListPath[k]));
          kept.push_back(std::move(img));
        }
        se.images = std::move(kept);
        if (listed) se.imagesListPath = std::move(keptPaths);
        std::erase_if(se.documents, [&](const TDocumentRecord& doc) {
          if (doc.sopInstanceUid.empty()) return false;
          const auto [it, fresh] = seen.try_emplace(doc.sopInstanceUid, doc.path);
          if (fresh || it->second == doc.path) return false;
          if (duplicates) duplicates->push_back({doc.path, it->second});
          return true;
        });
      }
  int added = 0;
  for (TPatient& srcPatient : patients) {
    TPatient* patient = FindPatient(into, srcPatient);
    if (!patient) {
      added += CountImages(srcPatient);
      into.push_back(srcPatient);
      continue;
    }
    for (TStudy& srcStudy : srcPatient.studies) {
      TStudy* study = FindStudy(patient->studies, srcStudy);
      if (!study) {
        added += CountImages(srcStudy);
        patient->studies.push_back(srcStudy);
        continue;
      }
      for (TSeries& srcSeries : srcStudy.serieses) {
        TSeries* series = FindSeries(study->serieses, srcSeries);
        if (!series) {
          added += CountImages(srcSeries);
          study->serieses.push_back(srcSeries);
          continue;
        }
        for (const TImg& srcImage : srcSeries.images) {
          const bool present =
              std::any_of(series->images.begin(), series->images.end(),
                          [&](const TImg& img) { return img.imagePath == srcImage.imagePath; });
          if (present) continue;
          series->images.push_back(srcImage);
          series->imagesListPath.push_back(srcImage.imagePath);
          ++added;
        }
        for (TDocumentRecord& doc : srcSeries.documents) AddDocument(*series, std::move(doc));
      }
    }
  }
  return added;
}
