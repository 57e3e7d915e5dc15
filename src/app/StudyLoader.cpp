#include "app/StudyLoader.h"

#include <QMetaObject>
#include <algorithm>
#include <chrono>
#include <exception>

#include "viewer/ViewerGlobals.h"

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TStudyLoad::TStudyLoad(QObject* parent) : QObject(parent) {}

TStudyLoad::~TStudyLoad() {
  if (worker_.joinable()) {
    cancel_.Cancel();
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
  if (running_) cancel_.Cancel();
}

bool TStudyLoad::Start(TLoadKind kind, const std::string& path) {
  if (running_ || gLoadingInProgress) return false;
  if (worker_.joinable()) worker_.join();
  running_ = true;
  gLoadingInProgress = true;
  // Reset here, on the UI thread, before the worker starts: a cancel pressed
  // right after the start is never lost to a worker that resets it late.
  cancel_.Reset();
  lastProgressMs_ = 0;
  lastTotal_ = 0;

  worker_ = std::thread([this, kind, path] {
    TLoadHooks hooks;
    hooks.cancel = &cancel_;
    // Both hooks run on loader threads: they only queue calls to the UI thread.
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
