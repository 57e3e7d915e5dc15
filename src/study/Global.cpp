#include "study/Global.h"

#include <memory>
#include <mutex>

#include "dicom/StudyTree.h"
#include "pixels/FrameCache.h"
#include "pixels/FramePrefetch.h"

TStringArray gFileList;
std::vector<DICOMdata> gFileHeaders;
std::vector<TReportRecord> gReports;
TStringArray gOpenedFiles;

void TGlobal::AddReport(const std::string& PatientName, const std::string& PatientId,
                        const std::string& ReportPath) {
  std::lock_guard lock(gPatientsMutex);
  gReports.push_back({ReportPath, PatientId, PatientName});
}

void TGlobal::AppendOpenedFiles(const TStringArray& list) {
  std::lock_guard lock(gPatientsMutex);
  gOpenedFiles.insert(gOpenedFiles.end(), list.begin(), list.end());
}

void TGlobal::FreeMemory(TPatientArr& patients) {
  // Decodes queued for the study go first, then its frames: a prefetch that
  // finishes meanwhile does not store into the emptied cache.
  FramePrefetcher::Shared().CancelAll();
  FrameCache::Shared().Clear();
  // swap with an empty array: clear() alone keeps the capacity
  TPatientArr().swap(patients);
}

study::TTaskHandle TGlobal::FreeMemoryInBackground(TPatientArr& patients) {
  FramePrefetcher::Shared().CancelAll();
  FrameCache::Shared().Clear();
  // Freeing a tree of 100,000 images took 50 ms. Nothing points into it once
  // the cells are cleared and the cache is empty, so it can go on any thread.
  auto old = std::make_shared<TPatientArr>();
  old->swap(patients);
  return study::TThreadPool::Loader().Submit([old = std::move(old)]() mutable { old.reset(); });
}
