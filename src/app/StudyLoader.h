// The main window's side of study loading. The loads themselves, their rules
// and their outcome are the study core's (study/StudyLoad.h, Qt-free); this
// unit runs a folder or DICOMDIR load on a worker thread, hands its progress
// and its end over to the UI thread, and holds the texts the window shows.
#pragma once

#include <QObject>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "study/CancelToken.h"
#include "study/StudyLoad.h"

// ---- texts the main window shows ----------------------------------------

inline constexpr const char* kReadyText = "Ready";
inline constexpr const char* kParsingText = "Parsing";
inline constexpr const char* kSelectFolderCaption = "Select a folder:";
inline constexpr const char* kNoDicomDirText = "No DICOMDIR Detected In Current Folder";

// ---- the background load of the main window -------------------------------------

// Runs a folder or DICOMDIR load on a worker thread (the per-file steps in
// parallel on the loader pool). Lives on the UI thread: progress() and
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
  // The running load's cancel; reset only when no load runs.
  study::TCancelToken cancel_;
  std::atomic<int64_t> lastProgressMs_{0};
  std::atomic<int> lastTotal_{0};
};
