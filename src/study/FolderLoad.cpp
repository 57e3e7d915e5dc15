// The folder load: listing, parallel header reads, bulk filing and the merge.
#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "dicom/StudyTree.h"
#include "pixels/FrameDecoder.h"
#include "study/DocumentFiling.h"
#include "study/Filing.h"
#include "study/FilingDetail.h"
#include "study/Global.h"
#include "study/LoadCommon.h"
#include "study/SortUnit.h"
#include "study/StudyLoad.h"
#include "study/ThreadPool.h"

using namespace study::detail;

namespace {

enum : uint8_t { kNotFiled, kImage, kReport, kDocument };

// Files of one folder load in listing order, in chunks read on the loader
// pool while the listing goes on. Each chunk owns its paths and its records,
// and each read writes only its own file's slots; the chunk's task handle
// hands them to the filing thread.
struct TReadChunk {
  TStringArray paths;
  // Accepted images, kind kImage. One block per chunk rather than one per
  // record: freed in whole pages once the records have moved into the tree,
  // not in holes between the header texts that stay.
  std::vector<TImg> records;
  // Kind kDocument: the record, its header kept in the slot of records.
  std::vector<TDocumentRecord> documents;
  std::vector<uint8_t> kind;
  study::TTaskHandle done;
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
    Release();
  }

  void Add(std::string&& path) {
    pending_.push_back(std::move(path));
    listed_.fetch_add(1, std::memory_order_relaxed);
    if (pending_.size() == kChunkFiles) Submit();
  }
  void EndOfListing() {
    if (!pending_.empty()) Submit();
  }
  int Listed() const { return listed_; }
  int Counted() const { return counted_; }
  // Waits for every chunk, then frees them once their records are filed.
  void Release() {
    for (TReadChunk& c : chunks_) {
      try {
        c.done.Wait();
      } catch (...) {
        // A read step catches its own failures; nothing is left to report.
      }
    }
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
    c.documents.resize(c.paths.size());
    c.kind.assign(c.paths.size(), kNotFiled);
    c.done = study::TThreadPool::Loader().Submit([this, &c, first] {
      for (size_t k = 0; k < c.paths.size(); ++k) Read(c, k, first + static_cast<int>(k));
    });
  }

  void Read(TReadChunk& c, size_t k, int index) {
    if (stop_ || study::IsCancelled(hooks_.cancel)) return;  // not read, not counted
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
        TDocumentType type{};
        if (!ReadImageHeader(path, index, true, header, collector_, reason)) {
          if (IsDocumentHeader(header, type)) {
            header.referenceFile = path;
            c.documents[k] = MakeDocumentRecord(header, type);
            c.kind[k] = kDocument;
          } else {
            image = TImg{};
            collector_.Skip(index, path, std::move(reason));
          }
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
  list_DirectoryFiles(
      folder, [&read](std::string&& path) { read.Add(std::move(path)); }, hooks.cancel);
  read.EndOfListing();
  const bool listingCut = study::IsCancelled(hooks.cancel);
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
  // Instances the tree holds, and those this load met first: a copy of one
  // (a CD and a PACS copy of a study, a folder inside one already open) is
  // not filed again, so a series never counts an image twice.
  std::unordered_map<std::string, std::string> instances;
  {
    std::lock_guard lock(gPatientsMutex);
    instances = InstancesOf(gPatients);
  }
  std::vector<TSeriesIntake> intakes;
  std::map<std::tuple<size_t, size_t, size_t>, size_t> intakeOf;
  TStringArray reports;
  std::unordered_set<std::string> imageFolders;
  for (TReadChunk& c : read.Chunks()) {
    c.done.Wait();
    for (size_t k = 0; k < c.paths.size(); ++k) {
      if (c.kind[k] == kReport) {
        reports.push_back(c.paths[k]);
      } else if (c.kind[k] == kDocument) {
        ++result.documentsFiled;
        result.documents.push_back(c.paths[k]);
        TDocumentRecord& doc = c.documents[k];
        if (!doc.sopInstanceUid.empty()) {
          const auto [seen, first] = instances.try_emplace(doc.sopInstanceUid, c.paths[k]);
          if (!first) {
            if (seen->second != c.paths[k])
              result.duplicates.push_back(
                  {c.paths[k], std::string(kReasonSameInstance) + seen->second});
            continue;
          }
        }
        AddDocument(SeriesOf(fresh, locate(c.records[k].Cache.DICOM)), std::move(doc));
      } else if (c.kind[k] == kImage) {
        ++result.filesFiled;
        imageFolders.insert(ParentFolderOf(c.paths[k]));
        const std::string& uid = c.records[k].sopInstanceUid;
        if (!uid.empty()) {
          const auto [seen, first] = instances.try_emplace(uid, c.paths[k]);
          if (!first) {
            if (seen->second != c.paths[k])
              result.duplicates.push_back(
                  {c.paths[k], std::string(kReasonSameInstance) + seen->second});
            continue;
          }
        }
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
  // A text file among no images (a README at the top of a medium) is not
  // listed: it says nothing about a study.
  std::erase_if(reports, [&imageFolders](const std::string& r) {
    return NeedsImagesBeside(LowerExtension(r)) && !imageFolders.count(ParentFolderOf(r));
  });

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
  study::TThreadPool::Loader().ParallelFor(newSeries.size(), [&](size_t i) {
    PlaceNewSeries(SeriesOf(fresh, newSeries[i]->at), *newSeries[i]);
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
      TSeries& own = SeriesOf(fresh, in.at);
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
        for (TSeries& se : st.serieses) {
          TSeries* series = FindSeries(study->serieses, se);
          if (!series) {
            study->serieses.push_back(std::move(se));
            continue;
          }
          for (TDocumentRecord& doc : se.documents) AddDocument(*series, std::move(doc));
        }
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
