#include "app/Global.h"

#include <mutex>

#include "dicom/StudyTree.h"

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
  for (auto& patient : patients)
    for (auto& study : patient.studies)
      for (auto& series : study.serieses)
        for (auto& image : series.images) {
          TCache& cache = image.Cache;
          // swap with empty vectors: clear() alone keeps the capacity
          std::vector<std::vector<uint8_t>>().swap(cache.gBuff8);
          std::vector<std::vector<uint8_t>>().swap(cache.gBuff24);
          std::vector<std::vector<int16_t>>().swap(cache.gBuff16);
          std::vector<uint8_t>().swap(cache.IsCached);
        }
  TPatientArr().swap(patients);
}
