#include "app/PacsFiling.h"

#include <QSignalBlocker>
#include <QSlider>
#include <algorithm>
#include <set>

#include "app/DerivedLoading.h"
#include "app/SaveStates.h"
#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "dicom/dicom.h"
#include "study/DocumentFiling.h"
#include "study/Filing.h"
#include "study/SortUnit.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"

namespace {

bool IsPresentationState(const std::string& modality) {
  std::string m = modality;
  for (char& c : m) c = char(std::tolower(static_cast<unsigned char>(c)));
  while (!m.empty() && m.back() == ' ') m.pop_back();
  return m == "pr";
}

// Where a cell stands, by identity rather than by index.
struct TCellSpot {
  TadvancedImage* cell;
  std::string study, series, path;
};

// Puts every untouched cell of shown on the first image of its slot's
// series of the study; false when the tree has no such study.
bool FollowSlots(const std::string& studyUid, std::vector<TAutoShown>& shown) {
  int patient = -1, study = -1;
  std::vector<std::string> firstImages;  // one per series, in order
  {
    std::lock_guard lock(gPatientsMutex);
    for (size_t p = 0; p < gPatients.size() && patient < 0; ++p)
      for (size_t st = 0; st < gPatients[p].studies.size(); ++st)
        if (gPatients[p].studies[st].instanceUid == studyUid) {
          patient = int(p);
          study = int(st);
          for (const TSeries& s : gPatients[p].studies[st].serieses)
            firstImages.push_back(s.images.empty() ? std::string() : s.images.front().imagePath);
          break;
        }
  }
  if (patient < 0) return false;
  for (TAutoShown& s : shown) {
    TadvancedImage* cell = s.cell;
    if (!cell || size_t(s.slot) >= firstImages.size() || firstImages[size_t(s.slot)].empty())
      continue;
    // The user moved the cell (or put another image there): it is theirs now.
    const bool untouched = s.path.empty() ? !cell->HasImage : cell->CurrentOpenedPath == s.path;
    if (!untouched || cell->InCineMode) continue;
    const std::string& first = firstImages[size_t(s.slot)];
    if (first == s.path && cell->SeriesIndex == s.slot && cell->ImageIndex == 0) continue;
    const int old[4] = {cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex, cell->ImageIndex};
    cell->PatientIndex = patient;
    cell->StudyIndex = study;
    cell->SeriesIndex = s.slot;
    cell->ImageIndex = 0;
    bool loaded = false;
    try {
      loaded = cell->LoadFile(first, 1);
      if (loaded && s.path.empty()) cell->FitImage();
    } catch (...) {
    }
    if (loaded) {
      s.path = first;
    } else {
      cell->PatientIndex = old[0];
      cell->StudyIndex = old[1];
      cell->SeriesIndex = old[2];
      cell->ImageIndex = old[3];
    }
  }
  return true;
}

}  // namespace

TArrival ReadArrival(const std::string& path) {
  TArrival a;
  a.path = path;
  bool hdrOK = false;
  try {
    ReadDicomHeader(path, true, a.header, hdrOK, a.imgOK, [](const std::string&) {});
  } catch (const std::exception&) {
    a.imgOK = false;
  }
  a.header.referenceFile = path;
  return a;
}

TFilingOutcome FileArrivals(TForm1& form, std::vector<TArrival>& batch) {
  TFilingOutcome out;
  TPatientArr tree;
  std::set<std::pair<std::string, std::string>> touched;  // study, series as read
  for (TArrival& a : batch) {
    // Segmentations and structure sets are drawn over the images, not filed.
    std::string note;
    if (TakeDerivedObject(a.path, a.header.SOP_Class_UID, note)) {
      if (!note.empty()) out.notShown.push_back(a.path + ": " + note);
      continue;
    }
    TDocumentType type{};
    if (!a.imgOK && DocumentTypeOfClass(a.header.SOP_Class_UID, type) &&
        !a.header.Series_Instance_UID.empty()) {
      // Reports, documents and waveforms are listed under their series.
      touched.emplace(a.header.Study_Instance_UID, a.header.Series_Instance_UID);
      TDocumentRecord doc = MakeDocumentRecord(a.header, type);
      FileDocument(tree, a.header, std::move(doc));
      continue;
    }
    if (!a.imgOK) {
      // A key object selection or presentation state is listed (and marks
      // its images), not reported as an image that failed.
      std::string why;
      if (!FileDerivedObject(a.path, why)) out.notShown.push_back(a.path + ": cannot be displayed");
      continue;
    }
    if (IsPresentationState(a.header.modality)) continue;
    touched.emplace(a.header.Study_Instance_UID, a.header.Series_Instance_UID);
    add_ToPatients(tree, std::move(a.header));
  }
  if (touched.empty()) return out;

  std::vector<TCellSpot> spots;
  std::lock_guard lock(gPatientsMutex);
  // Each cell's series and file, before the tree moves under it.
  for (auto& row : form.AdvancedImages)
    for (TadvancedImage* cell : row) {
      if (!cell->HasImage || cell->PatientIndex < 0) continue;
      const TStudy* study = StudyAt(gPatients, cell->PatientIndex, cell->StudyIndex);
      const TSeries* series =
          SeriesAt(gPatients, cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex);
      if (!series) continue;
      spots.push_back({cell, study->instanceUid, series->instanceUid, cell->CurrentOpenedPath});
    }
  size_t seriesBefore = 0, seriesAfter = 0;
  for (const TPatient& p : gPatients)
    for (const TStudy& st : p.studies) seriesBefore += st.serieses.size();
  const int documentsBefore = CountDocuments(gPatients);
  out.added = MergePatients(gPatients, tree);
  out.documents = CountDocuments(gPatients) - documentsBefore;
  for (TPatient& p : gPatients)
    for (TStudy& st : p.studies) {
      seriesAfter += st.serieses.size();
      bool studyTouched = false;
      for (TSeries& s : st.serieses) {
        if (!touched.count({st.instanceUid, s.instanceUid})) continue;
        studyTouched = true;
        TSortHandler::SortImages(s.images);
        s.imagesListPath.clear();
        for (const TImg& im : s.images) s.imagesListPath.push_back(im.imagePath);
      }
      if (studyTouched) TSortHandler::SortSeries(st.serieses);
    }
  out.newSeries = seriesAfter > seriesBefore;

  // Back to the image each cell shows, wherever the sort put it.
  for (const TCellSpot& spot : spots) {
    TadvancedImage* cell = spot.cell;
    const TStudy* found = StudyAt(gPatients, cell->PatientIndex, cell->StudyIndex);
    if (!found || found->instanceUid != spot.study) continue;
    const TStudy& study = *found;
    for (size_t se = 0; se < study.serieses.size(); ++se) {
      if (study.serieses[se].instanceUid != spot.series) continue;
      const TImgArr& images = study.serieses[se].images;
      for (size_t i = 0; i < images.size(); ++i)
        if (images[i].imagePath == spot.path) {
          cell->SeriesIndex = int(se);
          cell->ImageIndex = int(i);
        }
      // The image bar follows the growing series (quietly: not a user's step).
      for (auto& row : form.Viewers)
        for (TViewer* v : row)
          if (v->AdvancedImage() == cell) {
            const QSignalBlocker block(v->TrackBar);
            v->TrackBar->setMaximum(std::max(1, int(images.size())));
            v->TrackBar->setValue(cell->ImageIndex + 1);
          }
    }
  }
  return out;
}

std::vector<TAutoShown> ShowStudyIfGridEmpty(TForm1& form, const std::string& studyUidAsRead) {
  std::vector<TAutoShown> shown;
  for (auto& row : form.AdvancedImages)
    for (TadvancedImage* cell : row)
      if (cell->HasImage) return shown;
  int slot = 0;
  for (auto& row : form.AdvancedImages)
    for (TadvancedImage* cell : row) shown.push_back({cell, "", slot++});
  if (!FollowSlots(studyUidAsRead, shown)) return {};
  try {
    form.EnableStudyTools();
    form.UpdatePresetsVisibility();
    form.update_ReferenceLines();
  } catch (...) {
  }
  return shown;
}

void KeepOnFirstImages(TForm1& form, std::vector<TAutoShown>& shown) {
  if (shown.empty()) return;
  std::string study;
  {
    std::lock_guard lock(gPatientsMutex);
    for (const TAutoShown& s : shown)
      if (s.cell && s.cell->HasImage) {
        if (const TStudy* st = StudyAt(gPatients, s.cell->PatientIndex, s.cell->StudyIndex)) {
          study = st->instanceUid;
          break;
        }
      }
  }
  if (!study.empty() && FollowSlots(study, shown)) form.update_ReferenceLines();
}
