// The rules around the loads: what a path opens as, the layout a folder load
// asks for, and the text of a report's row.
#include <exception>
#include <filesystem>
#include <system_error>

#include "dicom/dicom.h"
#include "study/LoadCommon.h"
#include "study/StudyLoad.h"

namespace fs = std::filesystem;
using namespace study::detail;

bool WantsTwoByTwoLayout(const TLoadResult& result, int currentViewerCount) {
  if (!result.patientsAdded) return false;
  const std::string modality = ToLower(result.firstNewStudyFirstModality);
  return result.firstNewStudySeriesCount >= 4 && currentViewerCount < 4 &&
         (modality == "ct" || modality == "mr" || modality == "pet/ct");
}

TLoadKind ChooseLoadKind(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return TLoadKind::Folder;
  if (ToLower(FileName(path)) == "dicomdir") return TLoadKind::DicomDir;
  // A directory file under another name (a copy, a renamed medium index) is
  // still opened as one: its records describe images, it holds none itself.
  if (fs::is_regular_file(path, ec)) {
    DICOMdata header;
    TPatientArr directory;
    bool hdrOK = false;
    bool imgOK = false;
    try {
      ReadDicomHeader(path, false, header, hdrOK, imgOK, {}, &directory);
    } catch (const std::exception&) {
      return TLoadKind::SingleFile;
    }
    if (!directory.empty()) return TLoadKind::DicomDir;
  }
  return TLoadKind::SingleFile;
}

TLoadResult LoadPath(const std::string& path, const TLoadHooks& hooks) {
  switch (ChooseLoadKind(path)) {
    case TLoadKind::Folder:
      return LoadFolder(path, hooks);
    case TLoadKind::DicomDir:
      return LoadDicomDir(path, hooks);
    case TLoadKind::SingleFile:
      break;
  }
  return LoadSingleFile(path);
}

TReportRow ReportRowText(const TReportRecord& report) {
  std::string name = FileName(report.ReportPath);
  const std::string ext = LowerExtension(name);
  if (!ext.empty()) {
    std::string lower = ToLower(name);
    std::string out;
    size_t i = 0;
    while (i < name.size()) {
      if (lower.compare(i, ext.size(), ext) == 0) {
        i += ext.size();
      } else {
        out.push_back(name[i++]);
      }
    }
    name = std::move(out);
  }
  return {report.PatientName, name};
}
