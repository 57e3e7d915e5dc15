// Study loading: turns a folder tree, a single file or a DICOMDIR into the
// study tree gPatients. The loads themselves are plain functions that any
// thread may run (the command-line tool runs them headless); TStudyLoad runs
// a folder or DICOMDIR load on a worker thread for the main window, reports
// progress to the UI thread and finishes exactly once.
//
// Loads only add to the tree: patients, studies, series and images already
// present are matched and not added twice.
#pragma once

#include <QObject>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dicom/define_types.h"

// ---- texts the main window shows ----------------------------------------

inline constexpr const char* kReadyText = "Ready";
inline constexpr const char* kParsingText = "Parsing";
inline constexpr const char* kSelectFolderCaption = "Select a folder:";
inline constexpr const char* kNoDicomDirText = "No DICOMDIR Detected In Current Folder";

// ---- listing rules --------------------------------------------------------

// The lower-cased extension of a path's file name: the text from its last
// dot, or empty when the name has none.
std::string LowerExtension(const std::string& path);
// A folder listing keeps entries (files and directories) with these
// extensions: none, .dcm, .dcn, .dic and the report extensions.
bool IsListedExtension(const std::string& lowerExt);
// Report documents: .rtf, .doc, .docx, .txt, .pdf.
bool IsReportExtension(const std::string& lowerExt);

// Appends the files under path to list, depth first. Entries named
// "dicomdir" (any case) and entries whose extension is not listed are left
// out; directories are filtered by extension too, so "x.old" is not entered.
// Entries of a directory come in name order so that a load is the same on
// every file system. Only regular files are listed (a device or pipe would
// block the read), and a directory reached twice through links is entered
// once.
void list_DirectoryFiles(const std::string& path, TStringArray& list);

// ---- filing ---------------------------------------------------------------

// Study Time as HH:MM:SS: ":" after the 2nd and 5th character, cut to 8
// (a time written with colons already is only cut).
std::string FormatStudyTime(const std::string& studyTime);

// File one header into a tree, level by level. Each level matches exactly
// (case-sensitive) or appends a new node. The image level adds nothing when
// an image with the same path is present. The header is moved into the new
// image's cache. True when an image was added. No locking: the caller holds
// gPatientsMutex when the tree is gPatients.
bool add_ToPatients(TPatientArr& patients, DICOMdata&& h);
bool add_ToStudies(TStudyArr& studies, DICOMdata&& h);
bool add_ToSeries(TSeriesArr& series, DICOMdata&& h);
bool add_ToImages(TImgArr& images, DICOMdata&& h);
// Files a copy of gFileHeaders[idx].
bool add_ToPatients(TPatientArr& patients, int idx);

// Files a whole tree into gPatients (taking its lock): patients match on name
// and ID, studies and series on their instance UIDs; inside a matched series
// an image is appended unless one with the same path is there. Returns the
// number of images added.
int MergePatients(TPatientArr& patients);
int MergePatients(TPatientArr& into, TPatientArr& patients);

// ---- one load's outcome -----------------------------------------------------

enum class TLoadKind { Folder, SingleFile, DicomDir };

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
  bool cancelled = false;
  std::vector<TSkippedFile> skipped;  // in listing order
  // Filed images whose pixels no codec or buffer takes (counted in
  // filesFiled too), with the reason, in listing order.
  std::vector<TSkippedFile> undisplayable;
  std::vector<TLoadMessage> messages;  // in listing order
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
// thread that handled the file; keep it cheap.
using TProgressHook = std::function<void(int done, int total)>;
// Called once with the listed files when the listing ends (the first files
// are being read by then).
using TListedHook = std::function<void(const TStringArray& files)>;

struct TLoadHooks {
  TListedHook listed;
  TProgressHook progress;
};

// ---- the loads (any thread; gCancelLoading is honoured, not cleared) --------

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

// Opens one file: a report document is listed as a report; otherwise its
// header is read and filed like a folder's file, without sorting.
TLoadResult LoadSingleFile(const std::string& path);
// The filing step of the single-file open, for a header the caller has read
// (with referenceFile set): gFileHeaders becomes a one-element array holding
// a copy and is filed into gPatients; no sort. False (with a reason) when the
// image cannot be shown or is a presentation state; added tells whether the
// image was new to the tree.
bool FileSingleHeader(const DICOMdata& header, bool imgOK, std::string* reason = nullptr,
                      bool* added = nullptr);

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

// ---- the background load of the main window -------------------------------------

// Runs a folder or DICOMDIR load on a worker thread (the per-file steps in
// parallel on the thread pool). Lives on the UI thread: progress() and
// finished() are emitted there. progress() comes at most every
// kProgressIntervalMs, plus once with the final count; finished() comes
// exactly once per started load, also after a cancel and for an empty folder.
// gLoadingInProgress is set from the start until finished(); FrameRateSetByUser
// is cleared when the load finishes. What the main window does then (browser,
// layout rule, filling the grid, the collected messages) it reads from
// Result().
class TStudyLoad : public QObject {
  Q_OBJECT
 public:
  static constexpr int kProgressIntervalMs = 50;

  explicit TStudyLoad(QObject* parent = nullptr);
  // Cancels a running load and waits for it; finished() is not emitted then.
  ~TStudyLoad() override;

  // False (nothing started) while any load is in progress.
  bool StartFolder(const QString& folder);
  bool StartDicomDir(const QString& dicomDirPath);
  // Files whose step has not started are not read; steps already running
  // file their result; then the load finishes with what was filed.
  void Cancel();
  bool IsRunning() const { return running_; }
  // The outcome of the last finished load.
  const TLoadResult& Result() const { return result_; }

 signals:
  // Folder loads: the listed files in listing order (for the preview).
  void listed(const QStringList& files);
  void progress(int done, int total);
  void finished();

 private:
  bool Start(TLoadKind kind, const std::string& path);
  void ReportProgress(int done, int total);
  void Finish();

  std::thread worker_;
  bool running_ = false;
  TLoadResult result_;
  std::atomic<int64_t> lastProgressMs_{0};
  std::atomic<int> lastTotal_{0};
};
