// Opening one file: a report, or one header filed into the tree unsorted.
#include <filesystem>
#include <mutex>
#include <system_error>

#include "dicom/StudyTree.h"
#include "study/DocumentFiling.h"
#include "study/Filing.h"
#include "study/Global.h"
#include "study/LoadCommon.h"
#include "study/StudyLoad.h"

namespace fs = std::filesystem;
using namespace study::detail;

namespace {

// Whether the tree holds an image whose file lies directly in folder.
bool ImagesLieIn(const std::string& folder) {
  std::lock_guard lock(gPatientsMutex);
  for (const TPatient& p : gPatients)
    for (const TStudy& st : p.studies)
      for (const TSeries& se : st.serieses)
        for (const TImg& im : se.images)
          if (ParentFolderOf(im.imagePath) == folder) return true;
  return false;
}

}  // namespace

bool FileSingleHeader(const DICOMdata& header, bool imgOK, std::string* reason, bool* added,
                      std::string* sameAs) {
  if (added) *added = false;
  if (!imgOK) {
    if (reason) *reason = kReasonUnsupported;
    return false;
  }
  if (IsPresentationState(header.modality)) {
    if (reason) *reason = kReasonPresentationState;
    return false;
  }
  std::lock_guard lock(gPatientsMutex);
  if (!header.SOP_Instance_UID.empty()) {
    const auto instances = InstancesOf(gPatients);
    const auto it = instances.find(header.SOP_Instance_UID);
    if (it != instances.end() && it->second != header.referenceFile) {
      // Another file brought this instance already: it is shown once.
      if (sameAs) *sameAs = it->second;
      return true;
    }
  }
  gFileHeaders.assign(1, header);
  const bool isNew = add_ToPatients(gPatients, 0);
  if (added) *added = isNew;
  return true;
}

TLoadResult LoadSingleFile(const std::string& pathArg) {
  const int64_t start = NowMs();
  const std::string path = AbsolutePath(pathArg);
  TLoadResult result;
  result.kind = TLoadKind::SingleFile;
  result.path = path;
  result.lastPatientsLength = PatientCount();
  result.filesListed = 1;
  result.filesCounted = 1;
  TCollector collector;
  std::error_code ec;
  const std::string ext = LowerExtension(path);
  if (IsReportExtension(ext) && NeedsImagesBeside(ext) && !ImagesLieIn(ParentFolderOf(path))) {
    collector.Skip(0, path, kReasonLoneText);
  } else if (IsReportExtension(ext)) {
    TGlobal::AddReport({}, {}, path);
    result.reportsFound = 1;
  } else if (!fs::is_regular_file(path, ec)) {
    collector.Skip(0, path, "not a readable file");
  } else {
    DICOMdata header;
    std::string reason;
    bool added = false;
    TDocumentType type{};
    if (!ReadImageHeader(path, 0, true, header, collector, reason)) {
      if (IsDocumentHeader(header, type)) {
        header.referenceFile = path;
        TDocumentRecord doc = MakeDocumentRecord(header, type);
        std::lock_guard lock(gPatientsMutex);
        const auto instances = InstancesOf(gPatients);
        const auto it = instances.find(doc.sopInstanceUid);
        if (it != instances.end() && it->second != path) {
          // Another file brought this document already: its window is that file's.
          result.duplicates.push_back({path, std::string(kReasonSameInstance) + it->second});
        } else {
          FileDocument(gPatients, header, std::move(doc));
        }
        result.documentsFiled = 1;
        result.documents.push_back(path);
      } else {
        collector.Skip(0, path, reason);
      }
    } else {
      header.referenceFile = path;
      std::string sameAs;
      if (FileSingleHeader(header, true, &reason, &added, &sameAs)) {
        result.filesFiled = 1;
        result.imagesAdded = added ? 1 : 0;
        if (!sameAs.empty())
          result.duplicates.push_back({path, std::string(kReasonSameInstance) + sameAs});
      } else {
        collector.Skip(0, path, reason);
      }
    }
  }
  {
    std::lock_guard lock(gPatientsMutex);
    NoteNewPatients(result);
  }
  collector.MoveInto(result);
  result.elapsedMs = NowMs() - start;
  return result;
}
