// Study loading: turns a folder tree, a single file or a DICOMDIR into the
// study tree gPatients. The loads are plain functions that any thread may run
// (the command-line tool runs them headless, the viewer on a worker thread of
// its own); their parallel steps run on the loader pool (study/ThreadPool.h).
// Progress, the listing and the cancel come and go through the hooks: a load
// reads no global flag.
//
// Loads only add to the tree: patients, studies, series and images already
// present are matched (study/Filing.h) and not added twice.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/define_types.h"
#include "study/CancelToken.h"
#include "study/Filing.h"
#include "study/Listing.h"

// ---- one load's outcome -----------------------------------------------------

enum class TLoadKind { Folder, SingleFile, DicomDir };

inline constexpr std::string_view kReasonSameInstance = "the same instance as ";

struct TSkippedFile {
  std::string path;
  std::string reason;
};

// A text the reader raised, with the file it concerns.
struct TLoadMessage {
  std::string path;
  std::string text;
};

struct TLoadResult {
  TLoadKind kind = TLoadKind::Folder;
  std::string path;
  int filesListed = 0;   // listed files, DICOMDIR image records, or 1
  int filesCounted = 0;  // files handled; fewer than listed after a cancel
  int filesFiled = 0;    // images accepted into the tree (new or already there)
  int imagesAdded = 0;   // images new to the tree
  int reportsFound = 0;
  // Structured reports, encapsulated documents and waveforms filed as
  // documents of their series (new or already there), and their paths in
  // listing order.
  int documentsFiled = 0;
  std::vector<std::string> documents;
  bool cancelled = false;
  std::vector<TSkippedFile> skipped;  // in listing order
  // Filed images whose pixels no codec or buffer takes (counted in
  // filesFiled too), with the reason, in listing order.
  std::vector<TSkippedFile> undisplayable;
  std::vector<TLoadMessage> messages;  // in listing order
  // Files holding an instance (SOP Instance UID) the tree or this load had
  // from another file, each listed once: not filed again. The reason is
  // kReasonSameInstance followed by the path of the file that was filed.
  std::vector<TSkippedFile> duplicates;
  int64_t elapsedMs = 0;

  // What the layout rule after a folder load needs.
  int lastPatientsLength = 0;  // patients in the tree when the load started
  int patientsAfter = 0;
  bool patientsAdded = false;
  int firstNewStudySeriesCount = 0;        // of the first new patient's first study
  std::string firstNewStudyFirstModality;  // its first series' modality, after sorting
};

// The layout rule after a folder load: a first new study of 4 or more series
// whose first series is CT, MR or PET/CT, shown in a grid of fewer than 4
// cells, switches the grid to 2 x 2 with reference lines on.
bool WantsTwoByTwoLayout(const TLoadResult& result, int currentViewerCount);

// Called after every handled file with (handled so far, total). During a
// folder load's listing the total is the count listed so far. Runs on the
// thread that handled the file, often a pool thread: keep it cheap, and hand
// anything for a user interface over to its thread.
using TProgressHook = std::function<void(int done, int total)>;
// Called once with the listed files when the listing ends (the first files
// are being read by then), on the thread that runs the load.
using TListedHook = std::function<void(const TStringArray& files)>;

struct TLoadHooks {
  TListedHook listed;
  TProgressHook progress;
  // Files whose step has not started are not read once it is cancelled;
  // steps already running file their result; the load then returns with what
  // was filed, the tree consistent. None: the load runs to its end.
  const study::TCancelToken* cancel = nullptr;
};

// ---- the loads (any thread) ------------------------------------------------

// Lists folder, reads every file's header in parallel on the loader's threads
// (starting while the listing goes on), files images and reports in listing
// order, then sorts the whole tree. gPatients is locked only for the final
// merge, so cells that use the tree meanwhile are not held up.
TLoadResult LoadFolder(const std::string& folder, const TLoadHooks& hooks = {});

// Reads a DICOMDIR, resolves its Referenced File IDs against its own folder,
// drops presentation states and missing or refused files, lists reports
// beside it and merges the tree into gPatients (not sorted). The processed
// tree also replaces gDicomDirPatients.
TLoadResult LoadDicomDir(const std::string& dicomDirPath, const TLoadHooks& hooks = {});
// The file a Referenced File ID of the DICOMDIR names, resolved as the load
// resolves its images' (components without regard to case); empty when the
// ID is empty or would leave the DICOMDIR's folder.
std::string ResolveDicomDirFileId(const std::string& dicomDirPath, const std::string& fileId);

// Opens one file: a report document is listed as a report; otherwise its
// header is read and filed like a folder's file, without sorting (a
// structured report, encapsulated document or waveform as a document of its
// series).
TLoadResult LoadSingleFile(const std::string& path);
// The filing step of the single-file open, for a header the caller has read
// (with referenceFile set): gFileHeaders becomes a one-element array holding
// a copy and is filed into gPatients; no sort. False (with a reason) when the
// image cannot be shown or is a presentation state; added tells whether the
// image was new to the tree. An instance the tree holds from another file is
// not filed again: sameAs names that file.
bool FileSingleHeader(const DICOMdata& header, bool imgOK, std::string* reason = nullptr,
                      bool* added = nullptr, std::string* sameAs = nullptr);

// What a path is opened as: a file named DICOMDIR (any case) as a DICOMDIR, a
// directory as a folder tree, anything else as a single file.
TLoadKind ChooseLoadKind(const std::string& path);
TLoadResult LoadPath(const std::string& path, const TLoadHooks& hooks = {});

// ---- DICOMDIR helpers ----------------------------------------------------------

// Fills imagesListPath of every series with the absolute path of each image:
// the Referenced File ID's components (backslash- or slash-separated) joined
// to the DICOMDIR's folder with the platform separator, each component matched
// without regard to case when the exact name is missing. An ID that is
// absolute or contains ".." would reach outside the medium: its image is
// removed and listed in refused.
void addToRoot(TPatientArr& patients, const std::string& dicomDirPath,
               std::vector<TSkippedFile>* refused = nullptr);

// The start-up DICOMDIR: a file named "dicomdir" in any case in the current
// folder, else at the root of its file system.
bool FindStartupDicomDir(std::string& path);
bool FindStartupDicomDirIn(const std::string& currentDir, const std::string& rootDir,
                           std::string& path);

// ---- reports -------------------------------------------------------------------

// The texts of a row of the reports list: the patient's name, and the file
// name with every occurrence of its extension removed (case ignored).
struct TReportRow {
  std::string patient;
  std::string report;
};
TReportRow ReportRowText(const TReportRecord& report);
