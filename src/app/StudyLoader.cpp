#include "app/StudyLoader.h"

#include <dirent.h>
#include <malloc.h>
#include <sys/stat.h>
#include <QFuture>
#include <QGlobalStatic>
#include <QMetaObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string_view>
#include <system_error>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "app/Global.h"
#include "app/SortUnit.h"
#include "dicom/SopClasses.h"
#include "dicom/StudyTree.h"
#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"
#include "viewer/ViewerGlobals.h"

namespace fs = std::filesystem;

namespace {

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

// Results of one load's parallel steps, gathered under a lock of its own and
// put in listing order at the end.
class TCollector {
 public:
  void Skip(int index, const std::string& path, std::string reason) {
    std::lock_guard lock(mutex_);
    skipped_.push_back({index, {path, std::move(reason)}});
  }
  void Message(int index, const std::string& path, const std::string& text) {
    std::lock_guard lock(mutex_);
    messages_.push_back({index, {path, text}});
  }
  void MoveInto(TLoadResult& result) {
    std::lock_guard lock(mutex_);
    auto byIndex = [](const auto& a, const auto& b) { return a.first < b.first; };
    std::stable_sort(skipped_.begin(), skipped_.end(), byIndex);
    std::stable_sort(messages_.begin(), messages_.end(), byIndex);
    for (auto& s : skipped_) result.skipped.push_back(std::move(s.second));
    for (auto& m : messages_) result.messages.push_back(std::move(m.second));
    skipped_.clear();
    messages_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, TSkippedFile>> skipped_;
  std::vector<std::pair<int, TLoadMessage>> messages_;
};

constexpr const char* kReasonNotImage = "no readable DICOM image (not DICOM, truncated or damaged)";
constexpr const char* kReasonUnsupported = "image cannot be displayed (unsupported format)";
constexpr const char* kReasonNoPixelData = "DICOM object without pixel data";
constexpr const char* kReasonPresentationState = "presentation state, not an image";
constexpr const char* kReasonVendorData = "vendor data file, not an image";
constexpr const char* kReasonMissing = "referenced file not found";
constexpr const char* kReasonRefused = "Referenced File ID reaches outside the medium";
constexpr const char* kReasonNoFileId = "record without a Referenced File ID";
constexpr const char* kReasonCancelled = "not read: the load was cancelled";

// Reads one file's header with the load's sink. Returns false with a reason
// when the file is not an image the viewer can show.
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
  if (!imgOK) {
    // A valid object of a kind that holds no image is no damaged file.
    const std::string kind = NonImageKind(header.SOP_Class_UID);
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

bool IsPresentationState(const std::string& modality) {
  return ToLower(modality) == "pr";
}

// Fills the layout rule's inputs from the tree (caller holds the lock).
void NoteNewPatients(TLoadResult& result) {
  result.patientsAfter = static_cast<int>(gPatients.size());
  result.patientsAdded = result.patientsAfter > result.lastPatientsLength;
  if (!result.patientsAdded || result.lastPatientsLength < 0) return;
  const TPatient& patient = gPatients[static_cast<size_t>(result.lastPatientsLength)];
  if (patient.studies.empty()) return;
  const TStudy& study = patient.studies.front();
  result.firstNewStudySeriesCount = static_cast<int>(study.serieses.size());
  if (!study.serieses.empty()) result.firstNewStudyFirstModality = study.serieses.front().modality;
}

// An absolute, normalised path without a trailing separator, so that the
// paths filed in the tree are full paths whatever the caller passed.
std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(fs::path(path), ec);
  if (ec) return path;
  p = p.lexically_normal();
  if (!p.has_filename() && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
  return p.string();
}

// The loads' own threads. Qt scales and converts images on the global pool
// and the user interface waits for that: hundreds of queued file reads there
// would hold up every picture drawn while a load runs.
Q_GLOBAL_STATIC(QThreadPool, gLoaderPool)

QThreadPool* LoaderPool() {
  return gLoaderPool();
}

int PatientCount() {
  std::lock_guard lock(gPatientsMutex);
  return static_cast<int>(gPatients.size());
}

}  // namespace

// ---- listing rules ------------------------------------------------------------

std::string LowerExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || dot < nameStart) return {};
  return ToLower(path.substr(dot));
}

bool IsListedExtension(const std::string& lowerExt) {
  // Archives and modalities name files by their SOP Instance UID, whose last
  // component reads as an all-digit extension, and Siemens writes .ima.
  const bool digits =
      lowerExt.size() > 1 && std::all_of(lowerExt.begin() + 1, lowerExt.end(),
                                         [](char c) { return c >= '0' && c <= '9'; });
  return lowerExt.empty() || digits || lowerExt == ".dcm" || lowerExt == ".dcn" ||
         lowerExt == ".dic" || lowerExt == ".dicom" || lowerExt == ".ima" ||
         IsReportExtension(lowerExt);
}

bool IsReportExtension(const std::string& lowerExt) {
  return lowerExt == ".rtf" || lowerExt == ".doc" || lowerExt == ".docx" || lowerExt == ".txt" ||
         lowerExt == ".pdf";
}

namespace {

struct TDirId {
  dev_t dev;
  ino_t ino;
  bool operator<(const TDirId& o) const { return std::tie(dev, ino) < std::tie(o.dev, o.ino); }
};

// Plain readdir: the entry type comes with the listing on most file systems,
// so only links and unknown types cost a stat of their own, and no path
// object is built per entry (a folder of 10,000 files lists in a few ms).
using TFileSink = std::function<void(std::string&& path)>;

void ListDirectory(const std::string& dir, const TFileSink& add, std::set<TDirId>& visited) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  struct stat st;
  // A directory reached twice (through links) is listed once.
  if (::fstat(::dirfd(d), &st) != 0 || !visited.insert({st.st_dev, st.st_ino}).second) {
    ::closedir(d);
    return;
  }
  struct TEntry {
    std::string name;
    unsigned char type;
  };
  std::vector<TEntry> entries;
  while (const dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    entries.push_back({name, e->d_type});
  }
  ::closedir(d);
  std::sort(entries.begin(), entries.end(),
            [](const TEntry& a, const TEntry& b) { return a.name < b.name; });

  const std::string prefix = !dir.empty() && dir.back() == '/' ? dir : dir + '/';
  for (const TEntry& entry : entries) {
    // A cancel also ends the walk: a folder picked by mistake (a home or a
    // network share) would otherwise be listed to its end.
    if (gCancelLoading) return;
    if (EqualsNoCase(entry.name, "dicomdir")) continue;
    // The extension rule is for files: folders named by UID ("1.2.840...")
    // or by date ("2024.05") hold images too.
    const bool listed = IsListedExtension(LowerExtension(entry.name));
    if (!listed && entry.type == DT_REG) continue;
    std::string path = prefix + entry.name;
    bool isDir = entry.type == DT_DIR;
    bool isFile = entry.type == DT_REG;
    if (entry.type == DT_LNK || entry.type == DT_UNKNOWN) {
      // Links are followed; a dangling one is left out.
      if (::stat(path.c_str(), &st) != 0) continue;
      isDir = S_ISDIR(st.st_mode);
      isFile = S_ISREG(st.st_mode);
    }
    if (isDir) {
      ListDirectory(path, add, visited);
    } else if (isFile && listed) {
      add(std::move(path));
    }
  }
}

}  // namespace

void list_DirectoryFiles(const std::string& path, TStringArray& list) {
  std::set<TDirId> visited;
  ListDirectory(
      path, [&list](std::string&& p) { list.push_back(std::move(p)); }, visited);
}

// ---- filing ---------------------------------------------------------------------

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

// Fills an image record from the header already in its cache.
void FillImage(TImg& image) {
  const DICOMdata& h = image.Cache.DICOM;
  image.instanceNumber = h.ImageNum;
  image.imageType = h.imageType;
  image.imagePath = h.referenceFile;
  TCache& cache = image.Cache;
  cache.gECATslices = h.gECATJPEG_table_entries;
  cache.gECATposra = h.gECATJPEG_pos_table;
  cache.gECATszra = h.gECATJPEG_size_table;
}

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
    if (patients[i].patientName == h.PatientName && patients[i].patintID == h.PatientID) return i;
  TPatient& p = patients.emplace_back();
  p.patientName = h.PatientName;
  p.patintID = h.PatientID;
  return patients.size() - 1;
}

size_t LocateStudy(TStudyArr& studies, const DICOMdata& h) {
  for (size_t i = 0; i < studies.size(); ++i)
    if (studies[i].studyID == h.Study_ID && studies[i].instanceUid == h.Study_Instance_UID)
      return i;
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

struct TSeriesIndex {
  size_t patient, study, series;
};

TSeriesIndex Locate(TPatientArr& patients, const DICOMdata& h) {
  TSeriesIndex at;
  at.patient = LocatePatient(patients, h);
  TStudyArr& studies = patients[at.patient].studies;
  at.study = LocateStudy(studies, h);
  at.series = LocateSeries(studies[at.study].serieses, h);
  return at;
}

TSeries& SeriesAt(TPatientArr& patients, const TSeriesIndex& at) {
  return patients[at.patient].studies[at.study].serieses[at.series];
}

// Locate for a tree that only it fills: the same nodes, found by one hash
// lookup instead of a walk over every series filed so far (a folder of
// thousands of series would otherwise cost a walk per file). Files come
// series by series, so the last series is tried first.
class TLocator {
 public:
  explicit TLocator(TPatientArr& patients) : patients_(patients) {}
  TSeriesIndex operator()(const DICOMdata& h) {
    if (hasLast_ && Same(h)) return last_;
    key_.clear();
    for (const TSharedText* part : {&h.PatientName, &h.PatientID, &h.Study_ID,
                                    &h.Study_Instance_UID, &h.Series_Instance_UID}) {
      key_ += part->str();
      key_ += '\x1f';
    }
    auto [it, fresh] = index_.try_emplace(key_);
    if (fresh) it->second = Locate(patients_, h);
    last_ = it->second;
    lastKey_ = {h.PatientName, h.PatientID, h.Study_ID, h.Study_Instance_UID,
                h.Series_Instance_UID};
    hasLast_ = true;
    return last_;
  }

 private:
  bool Same(const DICOMdata& h) const {
    return lastKey_[4] == h.Series_Instance_UID && lastKey_[3] == h.Study_Instance_UID &&
           lastKey_[2] == h.Study_ID && lastKey_[1] == h.PatientID && lastKey_[0] == h.PatientName;
  }
  TPatientArr& patients_;
  std::unordered_map<std::string, TSeriesIndex> index_;
  std::string key_;
  std::array<TSharedText, 5> lastKey_;  // shared: compared by identity
  TSeriesIndex last_{};
  bool hasLast_ = false;
};

// Memory the load's threads freed (records moved into the tree, read
// buffers) goes back to the system: without this a load of 100,000 files
// keeps about twice the tree resident.
void ReturnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace

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

namespace {

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

int MergePatients(TPatientArr& into, TPatientArr& patients) {
  int added = 0;
  for (TPatient& srcPatient : patients) {
    // Name and ID, as the folder load files them: two patients who share a
    // name must not be merged into one.
    auto patient = std::find_if(into.begin(), into.end(), [&](const TPatient& p) {
      return p.patientName == srcPatient.patientName && p.patintID == srcPatient.patintID;
    });
    if (patient == into.end()) {
      added += CountImages(srcPatient);
      into.push_back(srcPatient);
      continue;
    }
    for (TStudy& srcStudy : srcPatient.studies) {
      auto study =
          std::find_if(patient->studies.begin(), patient->studies.end(),
                       [&](const TStudy& s) { return s.instanceUid == srcStudy.instanceUid; });
      if (study == patient->studies.end()) {
        added += CountImages(srcStudy);
        patient->studies.push_back(srcStudy);
        continue;
      }
      for (TSeries& srcSeries : srcStudy.serieses) {
        auto series =
            std::find_if(study->serieses.begin(), study->serieses.end(),
                         [&](const TSeries& s) { return s.instanceUid == srcSeries.instanceUid; });
        if (series == study->serieses.end()) {
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
      }
    }
  }
  return added;
}

int MergePatients(TPatientArr& patients) {
  std::lock_guard lock(gPatientsMutex);
  return MergePatients(gPatients, patients);
}

bool WantsTwoByTwoLayout(const TLoadResult& result, int currentViewerCount) {
  if (!result.patientsAdded) return false;
  const std::string modality = ToLower(result.firstNewStudyFirstModality);
  return result.firstNewStudySeriesCount >= 4 && currentViewerCount < 4 &&
         (modality == "ct" || modality == "mr" || modality == "pet/ct");
}

// ---- folder load --------------------------------------------------------------------

namespace {

enum : uint8_t { kNotFiled, kImage, kReport };

// Files of one folder load in listing order, in chunks read on the thread pool
// while the listing goes on. Each chunk owns its paths and its records, and
// each read writes only its own file's slots.
struct TReadChunk {
  TStringArray paths;
  // Accepted images, kind kImage. One block per chunk rather than one per
  // record: freed in whole pages once the records have moved into the tree,
  // not in holes between the header texts that stay.
  std::vector<TImg> records;
  std::vector<uint8_t> kind;
  QFuture<void> done;
};

class TFolderRead {
 public:
  // Small enough that filing follows the reads closely and a cancel is quick,
  // large enough that scheduling a chunk costs little against reading it.
  static constexpr size_t kChunkFiles = 32;

  TFolderRead(const TLoadHooks& hooks, TCollector& collector)
      : hooks_(hooks), collector_(collector) {}
  // A chunk must not outlive the load; one not read yet is skipped (the
  // load ends early only when something failed).
  ~TFolderRead() {
    stop_ = true;
    for (TReadChunk& c : chunks_) c.done.waitForFinished();
  }

  void Add(std::string&& path) {
    pending_.push_back(std::move(path));
    ++listed_;
    if (pending_.size() == kChunkFiles) Submit();
  }
  void EndOfListing() {
    if (!pending_.empty()) Submit();
  }
  int Listed() const { return listed_; }
  int Counted() const { return counted_; }
  // Frees the chunks once their records are filed.
  void Release() {
    for (TReadChunk& c : chunks_) c.done.waitForFinished();
    chunks_.clear();
  }
  // Stable references: chunks are only appended.
  std::deque<TReadChunk>& Chunks() { return chunks_; }

 private:
  void Submit() {
    TReadChunk& c = chunks_.emplace_back();
    const int first = listed_ - static_cast<int>(pending_.size());
    c.paths = std::move(pending_);
    pending_ = {};
    c.records.resize(c.paths.size());
    c.kind.assign(c.paths.size(), kNotFiled);
    c.done = QtConcurrent::run(LoaderPool(), [this, &c, first] {
      for (size_t k = 0; k < c.paths.size(); ++k) Read(c, k, first + static_cast<int>(k));
    });
  }

  void Read(TReadChunk& c, size_t k, int index) {
    if (gCancelLoading || stop_) return;  // not read, not counted
    const std::string& path = c.paths[k];
    try {
      const std::string ext = LowerExtension(path);
      if (IsReportExtension(ext)) {
        c.kind[k] = kReport;
      } else if (ext == ".tum" || ext == ".wvl") {
        collector_.Skip(index, path, kReasonVendorData);
      } else {
        TImg& image = c.records[k];
        DICOMdata& header = image.Cache.DICOM;
        std::string reason;
        if (!ReadImageHeader(path, index, true, header, collector_, reason)) {
          image = TImg{};
          collector_.Skip(index, path, std::move(reason));
        } else if (IsPresentationState(header.modality)) {
          image = TImg{};
          collector_.Skip(index, path, kReasonPresentationState);
        } else {
          header.referenceFile = path;
          FillImage(image);
          c.kind[k] = kImage;
        }
      }
    } catch (const std::exception& e) {
      c.records[k] = TImg{};
      c.kind[k] = kNotFiled;
      collector_.Skip(index, path, std::string("failed: ") + e.what());
    }
    const int done = counted_.fetch_add(1) + 1;
    // The total grows while the listing goes on.
    if (hooks_.progress) hooks_.progress(done, listed_);
  }

  const TLoadHooks& hooks_;
  TCollector& collector_;
  TStringArray pending_;
  std::deque<TReadChunk> chunks_;
  std::atomic<int> listed_{0};
  std::atomic<int> counted_{0};
  std::atomic<bool> stop_{false};
};

// A series of the load's own tree and the records filed into it, in listing
// order (each is the slot of a chunk that owns the record).
struct TSeriesIntake {
  TSeriesIndex at;
  std::vector<TImg*> records;
  TSeries* target = nullptr;  // the series of gPatients it joins, if any
};

// Moves records into images, in the order the display sort gives the
// images already there followed by the new ones: the same order as
// appending them one by one and sorting the series, but each record moves
// once, straight into its place.
void PlaceSorted(TImgArr& images, std::vector<TImg*>& incoming) {
  const size_t present = images.size();
  std::vector<int> keys;
  keys.reserve(present + incoming.size());
  for (const TImg& image : images) keys.push_back(image.instanceNumber);
  for (const TImg* image : incoming) keys.push_back(image->instanceNumber);
  TImgArr placed;
  placed.reserve(keys.size());
  for (size_t from : SortOrder(keys))
    placed.push_back(std::move(from < present ? images[from] : *incoming[from - present]));
  images = std::move(placed);
}

// The records of a series new to gPatients: a listing holds every path once,
// so none can be there twice.
void PlaceNewSeries(TSeries& series, TSeriesIntake& in) {
  PlaceSorted(series.images, in.records);
}

// Records joining a series of gPatients; those whose path is there already
// add nothing. Returns the number added.
int PlaceIntoExisting(TSeries& target, std::vector<TImg*> records) {
  std::unordered_set<std::string_view> paths;
  paths.reserve(target.images.size() + records.size());
  for (const TImg& image : target.images) paths.insert(image.imagePath);
  std::vector<TImg*> incoming;
  for (TImg* r : records)
    if (paths.insert(r->imagePath).second) incoming.push_back(r);
  PlaceSorted(target.images, incoming);
  return static_cast<int>(incoming.size());
}

TPatient* FindPatient(TPatientArr& patients, const TPatient& p) {
  for (TPatient& q : patients)
    if (q.patientName == p.patientName && q.patintID == p.patintID) return &q;
  return nullptr;
}
TStudy* FindStudy(TStudyArr& studies, const TStudy& st) {
  for (TStudy& q : studies)
    if (q.studyID == st.studyID && q.instanceUid == st.instanceUid) return &q;
  return nullptr;
}
TSeries* FindSeries(TSeriesArr& series, const TSeries& se) {
  for (TSeries& q : series)
    if (q.instanceUid == se.instanceUid) return &q;
  return nullptr;
}

// The series of gPatients that an intake's series joins, if there is one
// (caller holds the lock).
TSeries* FindTarget(TPatientArr& fresh, const TSeriesIntake& in) {
  const TPatient& p = fresh[in.at.patient];
  const TStudy& st = p.studies[in.at.study];
  TPatient* patient = FindPatient(gPatients, p);
  TStudy* study = patient ? FindStudy(patient->studies, st) : nullptr;
  return study ? FindSeries(study->serieses, st.serieses[in.at.series]) : nullptr;
}

}  // namespace

TLoadResult LoadFolder(const std::string& folderArg, const TLoadHooks& hooks) {
  const int64_t start = NowMs();
  const std::string folder = AbsolutePath(folderArg);
  TLoadResult result;
  result.kind = TLoadKind::Folder;
  result.path = folder;
  result.lastPatientsLength = PatientCount();
  TCollector collector;

  // Reading starts with the first listed files.
  TFolderRead read(hooks, collector);
  {
    std::set<TDirId> visited;
    ListDirectory(
        folder, [&read](std::string&& path) { read.Add(std::move(path)); }, visited);
  }
  read.EndOfListing();
  const bool listingCut = gCancelLoading;
  TStringArray files;
  files.reserve(static_cast<size_t>(read.Listed()));
  for (const TReadChunk& c : read.Chunks())
    files.insert(files.end(), c.paths.begin(), c.paths.end());
  {
    std::lock_guard lock(gPatientsMutex);
    gFileList = files;
  }
  result.filesListed = static_cast<int>(files.size());
  if (hooks.listed) hooks.listed(files);

  // Records are filed in listing order, as their chunks finish, into a tree
  // of this load's own: patients and studies come in the same order on every
  // load, and gPatients is locked only for the short merge at the end.
  // Waiting for a chunk that has not started runs it on this thread.
  TPatientArr fresh;
  TLocator locate(fresh);
  std::vector<TSeriesIntake> intakes;
  std::map<std::tuple<size_t, size_t, size_t>, size_t> intakeOf;
  TStringArray reports;
  for (TReadChunk& c : read.Chunks()) {
    c.done.waitForFinished();
    for (size_t k = 0; k < c.paths.size(); ++k) {
      if (c.kind[k] == kReport) {
        reports.push_back(c.paths[k]);
      } else if (c.kind[k] == kImage) {
        ++result.filesFiled;
        std::string why;
        if (!FrameFormatSupported(c.records[k].Cache.DICOM, &why))
          result.undisplayable.push_back({c.paths[k], why});
        const TSeriesIndex at = locate(c.records[k].Cache.DICOM);
        const auto [it, isNew] =
            intakeOf.try_emplace({at.patient, at.study, at.series}, intakes.size());
        if (isNew) intakes.push_back({at, {}, nullptr});
        intakes[it->second].records.push_back(&c.records[k]);
      }
    }
  }
  result.filesCounted = read.Counted();
  result.cancelled = listingCut || result.filesCounted < result.filesListed;

  // Series new to the tree are filled and sorted outside the lock, in
  // parallel; each job touches its own series and records only. No other
  // load changes gPatients meanwhile (one load at a time), and the merge
  // below checks again.
  {
    std::lock_guard lock(gPatientsMutex);
    for (TSeriesIntake& in : intakes) in.target = FindTarget(fresh, in);
  }
  std::vector<TSeriesIntake*> newSeries;
  for (TSeriesIntake& in : intakes)
    if (!in.target) newSeries.push_back(&in);
  QtConcurrent::blockingMap(LoaderPool(), newSeries, [&fresh](TSeriesIntake* in) {
    PlaceNewSeries(SeriesAt(fresh, in->at), *in);
  });

  {
    std::lock_guard lock(gPatientsMutex);
    // Every series of the tree is put in display order, as every folder load
    // does: those that receive images by placing them, the others here.
    std::unordered_set<const TSeries*> targets;
    for (TSeriesIntake& in : intakes) {
      in.target = FindTarget(fresh, in);
      if (in.target) targets.insert(in.target);
    }
    for (TPatient& p : gPatients)
      for (TStudy& st : p.studies)
        for (TSeries& se : st.serieses)
          if (!targets.count(&se)) TSortHandler::SortImages(se.images);
    for (TSeriesIntake& in : intakes) {
      TSeries& own = SeriesAt(fresh, in.at);
      // A series placed above holds its records; otherwise they are still in
      // their slots.
      if (in.target) {
        std::vector<TImg*> records;
        for (TImg& image : own.images) records.push_back(&image);
        if (records.empty()) records = in.records;
        result.imagesAdded += PlaceIntoExisting(*in.target, std::move(records));
        own.images.clear();
      } else {
        if (own.images.empty()) PlaceNewSeries(own, in);
        result.imagesAdded += static_cast<int>(own.images.size());
      }
    }
    // The rest moves in whole, in the order this load met it.
    for (TPatient& p : fresh) {
      TPatient* patient = FindPatient(gPatients, p);
      if (!patient) {
        gPatients.push_back(std::move(p));
        continue;
      }
      for (TStudy& st : p.studies) {
        TStudy* study = FindStudy(patient->studies, st);
        if (!study) {
          patient->studies.push_back(std::move(st));
          continue;
        }
        for (TSeries& se : st.serieses)
          if (!FindSeries(study->serieses, se)) study->serieses.push_back(std::move(se));
      }
    }
    for (TPatient& p : gPatients)
      for (TStudy& st : p.studies) TSortHandler::SortSeries(st.serieses);
    for (const std::string& r : reports) gReports.push_back({r, {}, {}});
    NoteNewPatients(result);
  }
  result.reportsFound = static_cast<int>(reports.size());

  TGlobal::AppendOpenedFiles(files);
  collector.MoveInto(result);
  read.Release();
  ReturnFreedMemory();
  result.elapsedMs = NowMs() - start;
  return result;
}

// ---- DICOMDIR load ----------------------------------------------------------------

namespace {

// Splits a Referenced File ID into its components. False when the ID would
// leave the folder of the DICOMDIR (absolute, a drive, or "..").
bool SplitFileId(const std::string& id, std::vector<std::string>& parts) {
  parts.clear();
  size_t first = id.find_first_not_of(' ');
  if (first == std::string::npos) return false;  // empty ID: nothing to open
  if (id[first] == '\\' || id[first] == '/') return false;
  std::string part;
  auto flush = [&]() {
    const size_t b = part.find_first_not_of(' ');
    const size_t e = part.find_last_not_of(' ');
    std::string trimmed = b == std::string::npos ? std::string() : part.substr(b, e - b + 1);
    part.clear();
    if (trimmed.empty() || trimmed == ".") return true;
    if (trimmed == ".." || trimmed.find(':') != std::string::npos) return false;
    parts.push_back(std::move(trimmed));
    return true;
  };
  for (size_t i = first; i < id.size(); ++i) {
    const char c = id[i];
    if (c == '\\' || c == '/') {
      if (!flush()) return false;
    } else if (c == '\0') {
      break;
    } else {
      part.push_back(c);
    }
  }
  if (!flush()) return false;
  return !parts.empty();
}

// Resolves components below base, taking the exact name when it exists and
// otherwise an entry that matches without regard to case (media written on
// one system are often read on another). Directory listings are cached.
class TCaseResolver {
 public:
  fs::path Resolve(const fs::path& base, const std::vector<std::string>& parts) {
    fs::path current = base;
    for (const std::string& part : parts) {
      std::error_code ec;
      fs::path exact = current / part;
      if (fs::exists(exact, ec)) {
        current = std::move(exact);
        continue;
      }
      const std::string* match = nullptr;
      for (const std::string& name : Listing(current))
        if (EqualsNoCase(name, part)) {
          match = &name;
          break;
        }
      current /= match ? *match : part;
    }
    return current;
  }

 private:
  const std::vector<std::string>& Listing(const fs::path& dir) {
    auto [it, inserted] = cache_.try_emplace(dir.string());
    if (inserted) {
      std::error_code ec;
      fs::directory_iterator iter(dir, fs::directory_options::skip_permission_denied, ec);
      for (; !ec && iter != fs::directory_iterator(); iter.increment(ec))
        it->second.push_back(iter->path().filename().string());
      std::sort(it->second.begin(), it->second.end());
    }
    return it->second;
  }
  std::unordered_map<std::string, std::vector<std::string>> cache_;
};

}  // namespace

void addToRoot(TPatientArr& patients, const std::string& dicomDirPath,
               std::vector<TSkippedFile>* refused) {
  const fs::path base = fs::path(dicomDirPath).parent_path();
  TCaseResolver resolver;
  std::vector<std::string> parts;
  for (TPatient& patient : patients)
    for (TStudy& study : patient.studies)
      for (TSeries& series : study.serieses) {
        TImgArr kept;
        kept.reserve(series.images.size());
        series.imagesListPath.clear();
        for (TImg& image : series.images) {
          if (image.imagePath.find_first_not_of(' ') == std::string::npos) {
            if (refused) refused->push_back({image.imagePath, kReasonNoFileId});
            continue;
          }
          if (!SplitFileId(image.imagePath, parts)) {
            if (refused) refused->push_back({image.imagePath, kReasonRefused});
            continue;
          }
          series.imagesListPath.push_back(resolver.Resolve(base, parts).string());
          kept.push_back(std::move(image));
        }
        series.images = std::move(kept);
      }
}

TLoadResult LoadDicomDir(const std::string& dicomDirArg, const TLoadHooks& hooks) {
  const int64_t start = NowMs();
  const std::string dicomDirPath = AbsolutePath(dicomDirArg);
  TLoadResult result;
  result.kind = TLoadKind::DicomDir;
  result.path = dicomDirPath;
  result.lastPatientsLength = PatientCount();
  TCollector collector;

  TPatientArr tree;
  {
    DICOMdata scratch;
    bool hdrOK = false;
    bool imgOK = false;
    const DicomMessageSink sink = [&](const std::string& text) {
      collector.Message(-1, dicomDirPath, text);
    };
    try {
      ReadDicomHeader(dicomDirPath, true, scratch, hdrOK, imgOK, sink, &tree);
    } catch (const std::exception& e) {
      collector.Skip(-1, dicomDirPath, std::string("unreadable: ") + e.what());
      tree.clear();
    }
  }

  // Reports beside the DICOMDIR (not in sub-folders), under its first patient.
  {
    const std::string name = tree.empty() ? std::string() : tree.front().patientName;
    const std::string id = tree.empty() ? std::string() : tree.front().patintID;
    std::vector<std::string> reports;
    std::error_code ec;
    const fs::path folder = fs::path(dicomDirPath).parent_path();
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::error_code typeError;
      if (!it->is_regular_file(typeError)) continue;
      if (IsReportExtension(LowerExtension(it->path().filename().string())))
        reports.push_back(it->path().string());
    }
    std::sort(reports.begin(), reports.end());
    for (const auto& r : reports) TGlobal::AddReport(name, id, r);
    result.reportsFound = static_cast<int>(reports.size());
  }

  for (const TPatient& p : tree)
    for (const TStudy& st : p.studies)
      for (const TSeries& s : st.serieses) result.filesListed += static_cast<int>(s.images.size());

  std::vector<TSkippedFile> refused;
  addToRoot(tree, dicomDirPath, &refused);
  for (auto& r : refused) collector.Skip(-1, r.path, r.reason);

  // Check every image of the non-PR series: presentation states and missing
  // files leave the tree. The reads run in parallel; each job writes only
  // its own verdict.
  struct TCheck {
    TSeries* series;
    size_t image;
    enum Verdict { Unchecked, Keep, Drop } verdict = Unchecked;
  };
  std::vector<TCheck> checks;
  for (TPatient& p : tree)
    for (TStudy& st : p.studies)
      for (TSeries& s : st.serieses) {
        if (IsPresentationState(s.modality)) continue;
        for (size_t k = 0; k < s.images.size(); ++k) checks.push_back({&s, k});
      }

  std::atomic<int> counted{0};
  const int total = static_cast<int>(checks.size());
  auto check = [&](TCheck& c) {
    if (gCancelLoading) return;
    const std::string& path = c.series->imagesListPath[c.image];
    const int index = static_cast<int>(&c - checks.data());
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      collector.Skip(index, path, kReasonMissing);
      c.verdict = TCheck::Drop;
    } else {
      DICOMdata scratch;
      bool hdrOK = false;
      bool imgOK = false;
      const DicomMessageSink sink = [&](const std::string& text) {
        collector.Message(index, path, text);
      };
      c.verdict = TCheck::Keep;
      try {
        ReadDicomHeader(path, false, scratch, hdrOK, imgOK, sink);
        if (IsPresentationState(scratch.modality)) {
          collector.Skip(index, path, kReasonPresentationState);
          c.verdict = TCheck::Drop;
        }
      } catch (const std::exception& e) {
        // The viewer reports it when the image is shown; the others still load.
        collector.Message(index, path, std::string("unreadable: ") + e.what());
      }
    }
    const int done = counted.fetch_add(1) + 1;
    if (hooks.progress) hooks.progress(done, total);
  };
  QtConcurrent::blockingMap(LoaderPool(), checks, check);
  result.filesCounted = counted;
  result.cancelled = result.filesCounted < total;

  // Apply the verdicts series by series; an image whose check did not run
  // (cancel) is not filed.
  std::map<TSeries*, std::vector<TCheck::Verdict>> verdicts;
  for (const TCheck& c : checks) {
    auto& v = verdicts[c.series];
    v.resize(c.series->images.size(), TCheck::Keep);
    v[c.image] = c.verdict;
  }
  for (TPatient& p : tree)
    for (TStudy& st : p.studies)
      for (TSeries& s : st.serieses) {
        auto found = verdicts.find(&s);
        TImgArr images;
        TStringArray paths;
        for (size_t k = 0; k < s.images.size(); ++k) {
          if (found != verdicts.end() && found->second[k] != TCheck::Keep) {
            if (found->second[k] == TCheck::Unchecked)
              collector.Skip(-1, s.imagesListPath[k], kReasonCancelled);
            continue;
          }
          images.push_back(std::move(s.images[k]));
          images.back().imagePath = s.imagesListPath[k];
          paths.push_back(s.imagesListPath[k]);
        }
        s.images = std::move(images);
        s.imagesListPath = std::move(paths);
        result.filesFiled += static_cast<int>(s.images.size());
      }

  {
    std::lock_guard lock(DicomDirPatientsMutex());
    gDicomDirPatients = tree;
  }
  {
    std::lock_guard lock(gPatientsMutex);
    result.imagesAdded = MergePatients(gPatients, tree);
    NoteNewPatients(result);
  }
  collector.MoveInto(result);
  result.elapsedMs = NowMs() - start;
  return result;
}

// ---- single file ----------------------------------------------------------------------

bool FileSingleHeader(const DICOMdata& header, bool imgOK, std::string* reason, bool* added) {
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
  if (IsReportExtension(LowerExtension(path))) {
    TGlobal::AddReport({}, {}, path);
    result.reportsFound = 1;
  } else if (!fs::is_regular_file(path, ec)) {
    collector.Skip(0, path, "not a readable file");
  } else {
    DICOMdata header;
    std::string reason;
    bool added = false;
    if (!ReadImageHeader(path, 0, true, header, collector, reason)) {
      collector.Skip(0, path, reason);
    } else {
      header.referenceFile = path;
      if (FileSingleHeader(header, true, &reason, &added)) {
        result.filesFiled = 1;
        result.imagesAdded = added ? 1 : 0;
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

// ---- start-up DICOMDIR ---------------------------------------------------------------

namespace {

bool FindDicomDirIn(const fs::path& dir, std::string& path) {
  std::error_code ec;
  std::vector<fs::path> found;
  fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (ToLower(it->path().filename().string()) == "dicomdir" && it->is_regular_file(typeError))
      found.push_back(it->path());
  }
  if (found.empty()) return false;
  // The standard's upper-case name first, then lower case, then any other.
  auto rank = [](const fs::path& p) {
    const std::string n = p.filename().string();
    return n == "DICOMDIR" ? 0 : n == "dicomdir" ? 1 : 2;
  };
  std::sort(found.begin(), found.end(), [&](const fs::path& a, const fs::path& b) {
    return std::make_pair(rank(a), a.string()) < std::make_pair(rank(b), b.string());
  });
  path = found.front().string();
  return true;
}

}  // namespace

bool FindStartupDicomDirIn(const std::string& currentDir, const std::string& rootDir,
                           std::string& path) {
  if (FindDicomDirIn(currentDir, path)) return true;
  return !rootDir.empty() && FindDicomDirIn(rootDir, path);
}

bool FindStartupDicomDir(std::string& path) {
  std::error_code ec;
  const fs::path current = fs::current_path(ec);
  if (ec) return false;
  return FindStartupDicomDirIn(current.string(), current.root_path().string(), path);
}

// ---- reports ------------------------------------------------------------------------

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

// ---- background load ---------------------------------------------------------------

TStudyLoad::TStudyLoad(QObject* parent) : QObject(parent) {}

TStudyLoad::~TStudyLoad() {
  if (worker_.joinable()) {
    gCancelLoading = true;
    worker_.join();
    gLoadingInProgress = false;
  }
}

bool TStudyLoad::StartFolder(const QString& folder) {
  return Start(TLoadKind::Folder, folder.toStdString());
}

bool TStudyLoad::StartDicomDir(const QString& dicomDirPath) {
  return Start(TLoadKind::DicomDir, dicomDirPath.toStdString());
}

void TStudyLoad::Cancel() {
  if (running_) gCancelLoading = true;
}

bool TStudyLoad::Start(TLoadKind kind, const std::string& path) {
  if (running_ || gLoadingInProgress) return false;
  if (worker_.joinable()) worker_.join();
  running_ = true;
  gLoadingInProgress = true;
  // Cleared here, on the UI thread, so a cancel pressed right after the start
  // is never lost to a worker that clears the flag late.
  gCancelLoading = false;
  lastProgressMs_ = 0;
  lastTotal_ = 0;

  worker_ = std::thread([this, kind, path] {
    TLoadHooks hooks;
    hooks.progress = [this](int done, int total) { ReportProgress(done, total); };
    if (kind == TLoadKind::Folder) {
      hooks.listed = [this](const TStringArray& files) {
        QStringList list;
        list.reserve(static_cast<qsizetype>(files.size()));
        for (const auto& f : files) list.push_back(QString::fromStdString(f));
        QMetaObject::invokeMethod(
            this, [this, list] { emit listed(list); }, Qt::QueuedConnection);
      };
    }
    TLoadResult result;
    try {
      result = kind == TLoadKind::Folder ? LoadFolder(path, hooks) : LoadDicomDir(path, hooks);
    } catch (const std::exception& e) {
      result.kind = kind;
      result.path = path;
      result.skipped.push_back({path, std::string("load failed: ") + e.what()});
    }
    // The result is handed over by the queued call; the UI thread reads it
    // only after finished().
    QMetaObject::invokeMethod(
        this,
        [this, r = std::move(result)]() mutable {
          result_ = std::move(r);
          Finish();
        },
        Qt::QueuedConnection);
  });
  return true;
}

void TStudyLoad::ReportProgress(int done, int total) {
  lastTotal_ = total;
  const int64_t now = NowMs();
  int64_t last = lastProgressMs_.load();
  if (now - last < kProgressIntervalMs) return;
  if (!lastProgressMs_.compare_exchange_strong(last, now)) return;
  QMetaObject::invokeMethod(
      this, [this, done, total] { emit progress(done, total); }, Qt::QueuedConnection);
}

void TStudyLoad::Finish() {
  if (!running_) return;
  if (worker_.joinable()) worker_.join();
  running_ = false;
  gLoadingInProgress = false;
  FrameRateSetByUser = false;
  emit progress(result_.filesCounted, std::max(lastTotal_.load(), result_.filesCounted));
  emit finished();
}
