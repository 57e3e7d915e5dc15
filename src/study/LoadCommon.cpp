#include "study/LoadCommon.h"

#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <filesystem>
#include <new>
#include <set>
#include <system_error>

#include "dicom/SopClasses.h"
#include "dicom/StudyTree.h"
#include "dicom/dicom.h"
#include "study/DocumentFiling.h"

namespace fs = std::filesystem;

namespace study::detail {

std::string ToLower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ToLower(a) == ToLower(b);
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string FileName(const std::string& path) {
  return fs::path(path).filename().string();
}

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) return path;
  p = p.lexically_normal();
  if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
  return p.string();
}

bool IsPresentationState(const std::string& modality) {
  return ToLower(modality) == "pr";
}

int PatientCount() {
  std::lock_guard lock(gPatientsMutex);
  return static_cast<int>(gPatients.size());
}

void NoteNewPatients(TLoadResult& result) {
  result.patientsAfter = static_cast<int>(gPatients.size());
  result.patientsAdded = result.patientsAfter > result.lastPatientsLength;
  if (!result.patientsAdded || result.lastPatientsLength < 0) return;
  const TPatient& patient = gPatients[static_cast<size_t>(result.lastPatientsLength)];
  if (patient.studies.empty()) return;
  const TStudy& study = patient.studies.front();
  // The layout is for cells: series of documents only take none.
  result.firstNewStudySeriesCount = 0;
  result.firstNewStudyFirstModality.clear();
  for (const TSeries& se : study.serieses) {
    if (se.images.empty() && !se.documents.empty()) continue;
    if (result.firstNewStudySeriesCount++ == 0) result.firstNewStudyFirstModality = se.modality;
  }
}

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void TCollector::Skip(int index, const std::string& path, std::string reason) {
  std::lock_guard lock(mutex_);
  skipped_.push_back({index, {path, std::move(reason)}});
}

void TCollector::Message(int index, const std::string& path, const std::string& text) {
  std::lock_guard lock(mutex_);
  messages_.push_back({index, {path, text}});
}

namespace {
// A character-set message says the same of every file of a study: the load
// keeps the first file's.
void KeepCharsetMessagesOnce(std::vector<TLoadMessage>& messages) {
  std::set<std::string> seen;
  std::erase_if(messages, [&](const TLoadMessage& m) {
    return m.text.starts_with(kCharsetMessagePrefix) && !seen.insert(m.text).second;
  });
}
}  // namespace

void TCollector::MoveInto(TLoadResult& result) {
  std::lock_guard lock(mutex_);
  auto byIndex = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(skipped_.begin(), skipped_.end(), byIndex);
  std::stable_sort(messages_.begin(), messages_.end(), byIndex);
  for (auto& s : skipped_) result.skipped.push_back(std::move(s.second));
  for (auto& m : messages_) result.messages.push_back(std::move(m.second));
  KeepCharsetMessagesOnce(result.messages);
  skipped_.clear();
  messages_.clear();
}

bool IsDocumentHeader(const DICOMdata& header, TDocumentType& type) {
  return DocumentTypeOfClass(header.SOP_Class_UID, type) && !header.SOP_Instance_UID.empty() &&
         !header.Series_Instance_UID.empty();
}

bool ReadImageHeader(const std::string& path, int index, bool readFrameTables, DICOMdata& header,
                     TCollector& collector, std::string& reason) {
  bool hdrOK = false;
  bool imgOK = false;
  const DicomMessageSink sink = [&](const std::string& text) {
    collector.Message(index, path, text);
  };
  // A directory tree goes into a local array: a DICOMDIR met among the files
  // must not replace gDicomDirPatients from a worker thread.
  TPatientArr directory;
  try {
    ReadDicomHeader(path, readFrameTables, header, hdrOK, imgOK, sink, &directory);
  } catch (const std::bad_alloc&) {
    reason = "not enough memory to read the header";
    return false;
  } catch (const std::exception& e) {
    reason = std::string("unreadable: ") + e.what();
    return false;
  }
  // A valid object of a kind that holds no image is no damaged file; one
  // whose pixels are masks for other images (a segmentation) is no series.
  const std::string kind = NonImageKind(header.SOP_Class_UID);
  if (imgOK && !kind.empty()) {
    reason = kind + ", not an image";
    return false;
  }
  if (!imgOK) {
    // A data set read through to its end names its SOP class: it is DICOM,
    // only without an image in it (anonymised stubs, DICOMDIR test media).
    reason = !kind.empty() ? kind + ", not an image"
             : hdrOK       ? kReasonUnsupported
             : !header.SOP_Class_UID.empty() && header.SOP_Instance_UID.size() > 0
                 ? kReasonNoPixelData
                 : kReasonNotImage;
    return false;
  }
  return true;
}

}  // namespace study::detail
