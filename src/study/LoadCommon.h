// What the loads share, inside the study library only: text helpers, the
// reasons a file is skipped for, the per-load collector of skipped files and
// reader messages, and the header read with the load's message sink.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dicom/define_types.h"
#include "study/StudyLoad.h"

namespace study::detail {

std::string ToLower(std::string s);
bool EqualsNoCase(const std::string& a, const std::string& b);
int64_t NowMs();
std::string FileName(const std::string& path);
// An absolute, normalised path without a trailing separator, so that the
// paths filed in the tree are full paths whatever the caller passed.
std::string AbsolutePath(const std::string& path);
bool IsPresentationState(const std::string& modality);
// Patients in gPatients (taking its lock).
int PatientCount();
// Fills the layout rule's inputs from the tree (caller holds the lock).
void NoteNewPatients(TLoadResult& result);
// Memory the load's threads freed (records moved into the tree, read
// buffers) goes back to the system: without this a load of 100,000 files
// keeps about twice the tree resident.
void ReturnFreedMemory();

inline constexpr const char* kReasonNotImage =
    "no readable DICOM image (not DICOM, truncated or damaged)";
inline constexpr const char* kReasonUnsupported = "image cannot be displayed (unsupported format)";
inline constexpr const char* kReasonNoPixelData = "DICOM object without pixel data";
inline constexpr const char* kReasonPresentationState = "presentation state, not an image";
inline constexpr const char* kReasonVendorData = "vendor data file, not an image";
inline constexpr const char* kReasonMissing = "referenced file not found";
inline constexpr const char* kReasonRefused = "Referenced File ID reaches outside the medium";
inline constexpr const char* kReasonNoFileId = "record without a Referenced File ID";
inline constexpr const char* kReasonCancelled = "not read: the load was cancelled";
inline constexpr const char* kReasonLoneText =
    "text file beside no image of a loaded study, not a report";

// Results of one load's parallel steps, gathered under a lock of its own and
// put in listing order at the end.
class TCollector {
 public:
  void Skip(int index, const std::string& path, std::string reason);
  void Message(int index, const std::string& path, const std::string& text);
  void MoveInto(TLoadResult& result);

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, TSkippedFile>> skipped_;
  std::vector<std::pair<int, TLoadMessage>> messages_;
};

// Whether a header that ReadImageHeader refused belongs in the tree as a
// document (a report, encapsulated document or waveform that names its
// instance and series), and which.
bool IsDocumentHeader(const DICOMdata& header, TDocumentType& type);

// Reads one file's header with the load's sink. Returns false with a reason
// when the file is not an image the viewer can show.
bool ReadImageHeader(const std::string& path, int index, bool readFrameTables, DICOMdata& header,
                     TCollector& collector, std::string& reason);

}  // namespace study::detail
