// The layout of an exported media folder: every instance under
// DICOM/Pnnnnnnn/Snnnnnnn/Snnnnnnn/Innnnnnn (patient, study, series, image;
// 8-character upper-case file IDs as removable media require), and the
// DICOMDIR beside the DICOM folder listing them.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace exporter {

// Hands out file IDs: the same patient, study or series keeps its folder;
// images are numbered within their series in the order they are asked for.
// Thread-safe.
class TFileIdAllocator {
 public:
  // The relative path with '/' separators, e.g. "DICOM/P0000001/S0000001/S0000002/I0000003".
  std::string Allocate(const std::string& patientKey, const std::string& studyUid,
                       const std::string& seriesUid);

 private:
  struct TSeriesSlot {
    int number = 0;
    int images = 0;
  };
  struct TStudySlot {
    int number = 0;
    std::map<std::string, TSeriesSlot> series;
  };
  struct TPatientSlot {
    int number = 0;
    std::map<std::string, TStudySlot> studies;
  };
  std::mutex mutex_;
  std::map<std::string, TPatientSlot> patients_;
};

// A file the DICOMDIR does not list, and why.
struct TDicomDirRefusal {
  std::string fileId;
  std::string reason;
};

// Writes folder/DICOMDIR in the General Purpose profile, one record per file
// (relative IDs with '/'). Files the DICOMDIR cannot list are returned in
// refused; false with a reason when the DICOMDIR itself cannot be written.
bool WriteDicomDir(const std::string& folder, const std::vector<std::string>& fileIds,
                   std::vector<TDicomDirRefusal>& refused, std::string& why);

}  // namespace exporter
