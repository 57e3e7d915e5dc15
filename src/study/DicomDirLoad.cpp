// The DICOMDIR load: the directory's records, their files resolved on the
// medium and checked in parallel, merged into the tree.
#include <algorithm>
#include <atomic>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>
#include <unordered_map>

#include "dicom/SopClasses.h"
#include "dicom/StudyTree.h"
#include "dicom/dicom.h"
#include "study/DocumentFiling.h"
#include "study/Filing.h"
#include "study/Global.h"
#include "study/LoadCommon.h"
#include "study/StudyLoad.h"
#include "study/ThreadPool.h"

namespace fs = std::filesystem;
using namespace study::detail;

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

// Reports beside the DICOMDIR (under its first patient) and beside the
// images of each patient (under that patient), none from sub-folders. A text
// file counts only where images lie: the README of a medium is no report.
void CollectReports(const std::string& dicomDirPath, const TPatientArr& tree, TLoadResult& result) {
  const std::string first = ParentFolderOf(dicomDirPath);
  std::vector<std::pair<std::string, size_t>> folders{{first, 0}};  // folder, patient
  std::unordered_map<std::string, size_t> imageFolders;
  for (size_t p = 0; p < tree.size(); ++p)
    for (const TStudy& st : tree[p].studies)
      for (const TSeries& s : st.serieses)
        for (const TImg& im : s.images) {
          const std::string folder = ParentFolderOf(im.imagePath);
          if (imageFolders.try_emplace(folder, p).second && folder != first)
            folders.emplace_back(folder, p);
        }
  std::sort(folders.begin() + 1, folders.end());
  for (const auto& [folder, patient] : folders) {
    const bool images = imageFolders.count(folder) > 0;
    std::vector<std::string> reports;
    std::error_code ec;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      std::error_code typeError;
      if (!it->is_regular_file(typeError)) continue;
      const std::string ext = LowerExtension(it->path().filename().string());
      if (IsReportExtension(ext) && (images || !NeedsImagesBeside(ext)))
        reports.push_back(it->path().string());
    }
    std::sort(reports.begin(), reports.end());
    const std::string name = tree.empty() ? std::string() : tree[patient].patientName;
    const std::string id = tree.empty() ? std::string() : tree[patient].patintID;
    for (const auto& r : reports) TGlobal::AddReport(name, id, r);
    result.reportsFound += static_cast<int>(reports.size());
  }
}

}  // namespace

std::string ResolveDicomDirFileId(const std::string& dicomDirPath, const std::string& fileId) {
  std::vector<std::string> parts;
  if (!SplitFileId(fileId, parts)) return {};
  TCaseResolver resolver;
  return resolver.Resolve(fs::path(dicomDirPath).parent_path(), parts).string();
}

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
    enum Verdict { Unchecked, Keep, Drop, Document } verdict = Unchecked;
    TDocumentRecord document;  // verdict Document
  };
  std::vector<TCheck> checks;
  for (TPatient& p : tree)
    for (TStudy& st : p.studies)
      for (TSeries& s : st.serieses) {
        if (IsPresentationState(s.modality)) continue;
        for (size_t k = 0; k < s.images.size(); ++k)
          checks.push_back({&s, k, TCheck::Unchecked, {}});
      }

  std::atomic<int> counted{0};
  const int total = static_cast<int>(checks.size());
  auto check = [&](size_t index) {
    if (study::IsCancelled(hooks.cancel)) return;
    TCheck& c = checks[index];
    const std::string& path = c.series->imagesListPath[c.image];
    const int at = static_cast<int>(index);
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
      collector.Skip(at, path, kReasonMissing);
      c.verdict = TCheck::Drop;
    } else {
      DICOMdata scratch;
      bool hdrOK = false;
      bool imgOK = false;
      const DicomMessageSink sink = [&](const std::string& text) {
        collector.Message(at, path, text);
      };
      c.verdict = TCheck::Keep;
      try {
        ReadDicomHeader(path, false, scratch, hdrOK, imgOK, sink);
        // Each check owns its image: no other thread writes it.
        c.series->images[c.image].sopInstanceUid = scratch.SOP_Instance_UID;
        const std::string kind = NonImageKind(scratch.SOP_Class_UID);
        TDocumentType type{};
        if (IsDocumentHeader(scratch, type)) {
          scratch.referenceFile = path;
          c.document = MakeDocumentRecord(scratch, type);
          c.verdict = TCheck::Document;
        } else if (IsPresentationState(scratch.modality)) {
          collector.Skip(at, path, kReasonPresentationState);
          c.verdict = TCheck::Drop;
        } else if (!kind.empty()) {
          // Media that file a segmentation as an IMAGE record.
          collector.Skip(at, path, kind + ", not an image");
          c.verdict = TCheck::Drop;
        }
      } catch (const std::exception& e) {
        // The viewer reports it when the image is shown; the others still load.
        collector.Message(at, path, std::string("unreadable: ") + e.what());
      }
    }
    const int done = counted.fetch_add(1) + 1;
    if (hooks.progress) hooks.progress(done, total);
  };
  study::TThreadPool::Loader().ParallelFor(checks.size(), check);
  result.filesCounted = counted;
  result.cancelled = result.filesCounted < total;

  // Apply the verdicts series by series; an image whose check did not run
  // (cancel) is not filed.
  std::map<TSeries*, std::vector<TCheck::Verdict>> verdicts;
  for (TCheck& c : checks) {
    auto& v = verdicts[c.series];
    v.resize(c.series->images.size(), TCheck::Keep);
    v[c.image] = c.verdict;
    if (c.verdict == TCheck::Document) {
      result.documents.push_back(c.document.path);
      ++result.documentsFiled;
      AddDocument(*c.series, std::move(c.document));
    }
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
  // A series of no image or document left (structure sets, segmentations)
  // has nothing to show: it is no entry of the browser.
  for (TPatient& p : tree) {
    for (TStudy& st : p.studies)
      std::erase_if(st.serieses,
                    [](const TSeries& s) { return s.images.empty() && s.documents.empty(); });
    std::erase_if(p.studies, [](const TStudy& st) { return st.serieses.empty(); });
  }
  std::erase_if(tree, [](const TPatient& p) { return p.studies.empty(); });

  CollectReports(dicomDirPath, tree, result);

  {
    std::lock_guard lock(DicomDirPatientsMutex());
    gDicomDirPatients = tree;
  }
  {
    std::lock_guard lock(gPatientsMutex);
    std::vector<TDuplicate> duplicates;
    result.imagesAdded = MergePatients(gPatients, tree, &duplicates);
    for (const TDuplicate& d : duplicates)
      result.duplicates.push_back({d.path, std::string(kReasonSameInstance) + d.sameAs});
    NoteNewPatients(result);
  }
  collector.MoveInto(result);
  result.elapsedMs = NowMs() - start;
  return result;
}
