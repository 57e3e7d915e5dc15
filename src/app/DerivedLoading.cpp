#include "app/DerivedLoading.h"

#include <dcmtk/dcmdata/dctk.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <set>

#include "derived/Segmentation.h"
#include "derived/StructureSet.h"
#include "dicom/SopClasses.h"
#include "dicom/StudyTree.h"
#include "study/StudyLoad.h"
#include "viewer/DerivedObjectStore.h"

namespace {

// A UID's letters and digits: what the tree's record (display text) and the
// exact value share.
std::string UidKey(const std::string& uid) {
  std::string key;
  for (char c : uid)
    if (std::isalnum(static_cast<unsigned char>(c))) key += c;
  return key;
}

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// The exact UIDs of an image file, read once per path for the run.
struct TFileUids {
  std::string sopInstance, frameOfReference;
  bool read = false;
};

std::map<std::string, TFileUids>& FileUidCache() {
  static std::map<std::string, TFileUids> cache;
  return cache;
}

const TFileUids& UidsOf(const std::string& path) {
  TFileUids& u = FileUidCache()[path];
  if (u.read) return u;
  u.read = true;
  DcmFileFormat file;
  // Values longer than a UID (pixel data included) stay on disk: a header
  // costs a few kilobytes.
  if (file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 1024).bad()) return u;
  OFString value;
  if (file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, value).good())
    u.sopInstance = Trimmed(value.c_str());
  if (file.getDataset()->findAndGetOFString(DCM_FrameOfReferenceUID, value).good())
    u.frameOfReference = Trimmed(value.c_str());
  return u;
}

template <class T>
void AddUnique(std::vector<T>& list, const T& value) {
  if (!value.empty() && std::find(list.begin(), list.end(), value) == list.end())
    list.push_back(value);
}

size_t TreeImageCount() {
  size_t images = 0;
  std::lock_guard lock(gPatientsMutex);
  for (const TPatient& p : gPatients)
    for (const TStudy& st : p.studies)
      for (const TSeries& se : st.serieses) images += se.images.size();
  return images;
}

// What the references are checked against: the tree's images by UID, and
// one image per series for its frame of reference. Built once per state of
// the tree, not per object: a tree of 100,000 images takes tens of
// milliseconds to index.
struct TTreeRefs {
  std::map<std::string, std::vector<std::string>> byUidKey;
  std::vector<std::string> seriesFirstImages;
  size_t images = size_t(-1);
};

TTreeRefs& TreeRefsCache() {
  static TTreeRefs cache;
  return cache;
}

const TTreeRefs& TreeRefs() {
  TTreeRefs& t = TreeRefsCache();
  if (t.images == TreeImageCount()) return t;
  t = {};
  t.images = 0;
  std::lock_guard lock(gPatientsMutex);
  for (const TPatient& p : gPatients)
    for (const TStudy& st : p.studies)
      for (const TSeries& se : st.serieses) {
        if (!se.images.empty()) t.seriesFirstImages.push_back(se.images.front().imagePath);
        for (const TImg& img : se.images) {
          ++t.images;
          const std::string& uid =
              !img.sopInstanceUid.empty() ? img.sopInstanceUid : img.Cache.DICOM.SOP_Instance_UID;
          if (!uid.empty()) t.byUidKey[UidKey(uid)].push_back(img.imagePath);
        }
      }
  return t;
}

// The first of uids (in order) that an open image holds, else the first
// series in frameOfReference.
TReferenceCheck Resolve(const std::vector<std::string>& uids,
                        const std::vector<std::string>& frames) {
  TReferenceCheck check;
  const TTreeRefs& tree = TreeRefs();
  for (const std::string& uid : uids) {
    const auto hit = tree.byUidKey.find(UidKey(uid));
    if (hit == tree.byUidKey.end()) continue;
    for (const std::string& path : hit->second) {
      const TFileUids& u = UidsOf(path);
      // A file that cannot be read again keeps the tree's word for it.
      if (u.sopInstance == uid || u.sopInstance.empty()) {
        check.resolved = true;
        check.imagePath = path;
        return check;
      }
    }
  }
  for (const std::string& frame : frames) {
    if (frame.empty()) continue;
    for (const std::string& path : tree.seriesFirstImages)
      if (UidsOf(path).frameOfReference == frame) {
        check.resolved = true;
        check.imagePath = path;
        return check;
      }
  }
  std::string what;
  if (!uids.empty()) {
    what = uids.size() == 1 ? "image " + uids.front()
                            : std::to_string(uids.size()) + " images (" + uids.front() + ", ...)";
  }
  std::vector<std::string> named;
  for (const std::string& f : frames)
    if (!f.empty()) named.push_back(f);
  if (!named.empty()) {
    if (!what.empty()) what += " in ";
    what += "frame of reference " + named.front();
    if (named.size() > 1) what += " (and " + std::to_string(named.size() - 1) + " more)";
  }
  check.reason = what.empty() ? "names neither the images nor the frame of reference it lies on"
                              : "lies on no open image: it refers to " + what +
                                    ", none of which is open; open those images to see it drawn";
  return check;
}

struct TCheckCache {
  size_t treeImages = size_t(-1);
  std::map<std::string, TReferenceCheck> byPath;
};

TCheckCache& CheckCache() {
  static TCheckCache cache;
  return cache;
}

std::string KindOf(const std::string& reason) {
  return reason.substr(0, reason.find(','));
}

// The segmentations and structure sets a DICOMDIR lists, by the class of
// the file each record references: the tree takes IMAGE records only, and
// media file structure sets under RT STRUCTURE SET records.
std::vector<std::pair<std::string, std::string>> DrawnObjectsOfDicomDir(
    const std::string& dicomDirPath) {
  std::vector<std::pair<std::string, std::string>> paths;  // path, kind
  DcmFileFormat file;
  // The records' values are short; anything long stays on disk.
  if (file.loadFile(dicomDirPath.c_str(), EXS_Unknown, EGL_noChange, 4096).bad()) return paths;
  DcmSequenceOfItems* records = nullptr;
  if (file.getDataset()->findAndGetSequence(DCM_DirectoryRecordSequence, records).bad() || !records)
    return paths;
  for (unsigned long i = 0; i < records->card(); ++i) {
    DcmItem* record = records->getItem(i);
    OFString sopClass, fileId;
    if (!record || record->findAndGetOFString(DCM_ReferencedSOPClassUIDInFile, sopClass).bad())
      continue;
    const std::string kind = NonImageKind(sopClass.c_str());
    if (kind != NonImageKind(kSegmentationClass) && kind != NonImageKind(kStructureSetClass))
      continue;
    if (record->findAndGetOFStringArray(DCM_ReferencedFileID, fileId).bad()) continue;
    const std::string path = ResolveDicomDirFileId(dicomDirPath, fileId.c_str());
    if (!path.empty()) paths.emplace_back(path, kind);
  }
  return paths;
}

// A reader's reason without the path the summary line already starts with.
std::string WithoutPath(const std::string& why, const std::string& path) {
  const std::string prefix = path + ": ";
  return why.rfind(prefix, 0) == 0 ? why.substr(prefix.size()) : why;
}

}  // namespace

bool IsDrawnObjectReason(const std::string& reason) {
  static const std::string kSeg = NonImageKind(kSegmentationClass) + ",";
  static const std::string kRt = NonImageKind(kStructureSetClass) + ",";
  return reason.rfind(kSeg, 0) == 0 || reason.rfind(kRt, 0) == 0;
}

TReferenceCheck CheckReferences(const TSegmentation& seg) {
  std::vector<std::string> uids;
  for (const TSegmentFrame& f : seg.frames) AddUnique(uids, f.sourceSopUid);
  return Resolve(uids, {seg.frameOfReferenceUid});
}

TReferenceCheck CheckReferences(const TStructureSet& set) {
  std::vector<std::string> uids, frames;
  for (const TRoi& roi : set.rois) {
    AddUnique(frames, roi.frameOfReferenceUid);
    for (const TRoiContour& c : roi.contours) AddUnique(uids, c.imageSopUid);
  }
  return Resolve(uids, frames);
}

TReferenceCheck CheckStoredObject(const std::string& path) {
  TCheckCache& cache = CheckCache();
  const size_t images = TreeImageCount();
  if (images != cache.treeImages) {
    cache.byPath.clear();
    cache.treeImages = images;
  }
  const auto hit = cache.byPath.find(path);
  if (hit != cache.byPath.end()) return hit->second;
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  TReferenceCheck check;
  check.reason = "not read as a segmentation or structure set";
  for (const TStoredSegmentation& s : store.Segmentations())
    if (s.path == path && s.seg) check = CheckReferences(*s.seg);
  for (const TStoredStructureSet& s : store.StructureSets())
    if (s.path == path && s.set) check = CheckReferences(*s.set);
  return cache.byPath[path] = check;
}

bool TakeDerivedObject(const std::string& path, const std::string& sopClassUid, std::string& note) {
  note.clear();
  const std::string kind = NonImageKind(sopClassUid);
  if (kind != NonImageKind(kSegmentationClass) && kind != NonImageKind(kStructureSetClass))
    return false;
  std::string why;
  if (!TDerivedObjectStore::Instance().Add(path, why)) {
    note = kind + ", not read: " + WithoutPath(why, path);
    return true;
  }
  CheckCache().byPath.erase(path);  // the file may be another object now
  return true;
}

TDerivedIntake TakeDerivedObjects(const TLoadResult& load) {
  TDerivedIntake intake;
  const auto take = [&](const std::string& path, const std::string& kind) {
    if (intake.taken.count(path)) return;
    std::string why;
    if (!TDerivedObjectStore::Instance().Add(path, why)) {
      intake.notes.push_back({path, kind + ", not read: " + WithoutPath(why, path)});
      return;
    }
    intake.taken.insert(path);
    CheckCache().byPath.erase(path);
    const TReferenceCheck check = CheckStoredObject(path);
    if (!check.resolved) intake.notes.push_back({path, kind + " " + check.reason});
  };
  for (const TSkippedFile& s : load.skipped)
    if (IsDrawnObjectReason(s.reason)) take(s.path, KindOf(s.reason));
  if (load.kind == TLoadKind::DicomDir && !load.cancelled)
    for (const auto& [path, kind] : DrawnObjectsOfDicomDir(load.path)) take(path, kind);
  return intake;
}

std::vector<std::string> DrawnObjectsOf(const std::vector<std::string>& imagePaths) {
  std::vector<std::string> out;
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  if (store.Segmentations().empty() && store.StructureSets().empty()) return out;
  const std::set<std::string> images(imagePaths.begin(), imagePaths.end());
  const TTreeRefs& tree = TreeRefs();
  std::set<std::string> uidKeys, frames;
  for (const auto& [key, paths] : tree.byUidKey)
    for (const std::string& path : paths)
      if (images.count(path)) uidKeys.insert(key);
  for (const std::string& path : tree.seriesFirstImages)
    if (images.count(path)) frames.insert(UidsOf(path).frameOfReference);
  frames.erase(std::string());
  // By instance where the object names any, else by frame of reference.
  const auto lies = [&](const std::vector<std::string>& uids,
                        const std::vector<std::string>& frameUids) {
    for (const std::string& uid : uids)
      if (uidKeys.count(UidKey(uid))) return true;
    if (!uids.empty()) return false;
    for (const std::string& f : frameUids)
      if (frames.count(f)) return true;
    return false;
  };
  for (const TStoredSegmentation& s : store.Segmentations()) {
    if (!s.seg) continue;
    std::vector<std::string> uids;
    for (const TSegmentFrame& f : s.seg->frames) AddUnique(uids, f.sourceSopUid);
    if (lies(uids, {s.seg->frameOfReferenceUid})) out.push_back(s.path);
  }
  for (const TStoredStructureSet& s : store.StructureSets()) {
    if (!s.set) continue;
    std::vector<std::string> uids, frameUids;
    for (const TRoi& roi : s.set->rois) {
      AddUnique(frameUids, roi.frameOfReferenceUid);
      for (const TRoiContour& c : roi.contours) AddUnique(uids, c.imageSopUid);
    }
    if (lies(uids, frameUids)) out.push_back(s.path);
  }
  return out;
}

void ForgetDrawnObjects() {
  TDerivedObjectStore::Instance().Reset();
  CheckCache() = {};
  TreeRefsCache() = {};
  FileUidCache().clear();
}
