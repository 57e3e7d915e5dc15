#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <memory>

#include "app/StudyLoader.h"
#include "app_fixtures.h"

namespace {

// What a TStudyLoad emitted, recorded on the UI thread.
struct Recorder {
  int finished = 0;
  int progressCount = 0;
  int lastDone = -1, lastTotal = -1;
  int listedFiles = -1;
  bool loadingWhenFinished = true;

  explicit Recorder(TStudyLoad& load) {
    QObject::connect(&load, &TStudyLoad::finished, [this] {
      ++finished;
      loadingWhenFinished = gLoadingInProgress;
    });
    QObject::connect(&load, &TStudyLoad::progress, [this](int done, int total) {
      ++progressCount;
      lastDone = done;
      lastTotal = total;
    });
    QObject::connect(&load, &TStudyLoad::listed,
                     [this](const QStringList& files) { listedFiles = files.size(); });
  }
};

// Runs the event loop until finished() or the time limit.
bool WaitFinished(TStudyLoad& load, int ms = 20000) {
  if (!load.IsRunning()) return true;
  QEventLoop loop;
  QObject::connect(&load, &TStudyLoad::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
  return !load.IsRunning();
}

// Lets queued calls that might still arrive be delivered.
void Drain(int ms = 100) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

std::string ManyImages(const std::string& name, int count) {
  const std::string dir = testsupport::TempDir(name);
  for (int i = 0; i < count; ++i) {
    appfx::TestImage t;
    t.instance = count - i;
    appfx::WriteImage(dir, "f" + std::to_string(10000 + i), t);
  }
  return dir;
}

class StudyLoad : public ::testing::Test {
 protected:
  void SetUp() override { appfx::ResetLoadingState(); }
  void TearDown() override { appfx::ResetLoadingState(); }
};

TEST_F(StudyLoad, EmptyFolderFinishesAtOnceAndOnce) {
  TStudyLoad load;
  Recorder rec(load);
  ASSERT_TRUE(load.StartFolder(QString::fromStdString(testsupport::TempDir("qt_empty"))));
  EXPECT_TRUE(gLoadingInProgress);
  ASSERT_TRUE(WaitFinished(load, 5000));
  Drain();
  EXPECT_EQ(rec.finished, 1);
  EXPECT_FALSE(rec.loadingWhenFinished);
  EXPECT_FALSE(gLoadingInProgress);
  EXPECT_EQ(load.Result().filesListed, 0);
  EXPECT_EQ(rec.listedFiles, 0);
  EXPECT_TRUE(gPatients.empty());
}

TEST_F(StudyLoad, FolderLoadReportsThrottledProgressAndFinishesOnce) {
  const std::string dir = ManyImages("qt_many", 300);
  TStudyLoad load;
  Recorder rec(load);
  FrameRateSetByUser = true;
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(load.StartFolder(QString::fromStdString(dir)));
  EXPECT_FALSE(load.StartFolder(QString::fromStdString(dir))) << "one load at a time";
  ASSERT_TRUE(WaitFinished(load));
  const qint64 elapsed = clock.elapsed();
  Drain();
  EXPECT_EQ(rec.finished, 1);
  EXPECT_EQ(rec.listedFiles, 300);
  // Every file counted and the last report says so; reports come at most
  // once per interval (plus the final one), not once per file.
  EXPECT_EQ(rec.lastDone, 300);
  EXPECT_EQ(rec.lastTotal, 300);
  EXPECT_LE(rec.progressCount, elapsed / TStudyLoad::kProgressIntervalMs + 2);
  EXPECT_FALSE(FrameRateSetByUser);
  const TLoadResult& r = load.Result();
  EXPECT_EQ(r.filesFiled, 300);
  EXPECT_TRUE(r.patientsAdded);
  std::lock_guard lock(gPatientsMutex);
  const auto& images = gPatients.at(0).studies.at(0).serieses.at(0).images;
  ASSERT_EQ(images.size(), 300u);
  EXPECT_EQ(images.front().instanceNumber, 1);
  EXPECT_EQ(images.back().instanceNumber, 300);
}

TEST_F(StudyLoad, CancelFinishesOnceWithWhatWasFiled) {
  const std::string dir = ManyImages("qt_cancel", 1500);
  for (int round = 0; round < 2; ++round) {
    appfx::ResetLoadingState();
    TStudyLoad load;
    Recorder rec(load);
    ASSERT_TRUE(load.StartFolder(QString::fromStdString(dir)));
    if (round == 0) {
      load.Cancel();  // at once (how far the worker got is up to the scheduler)
    } else {
      QObject::connect(&load, &TStudyLoad::progress, &load, [&load] { load.Cancel(); });
    }
    ASSERT_TRUE(WaitFinished(load));
    Drain(200);
    EXPECT_EQ(rec.finished, 1);
    const TLoadResult& r = load.Result();
    std::lock_guard lock(gPatientsMutex);
    // Nothing is filed after the finish: the tree holds exactly what the result says.
    EXPECT_EQ(appfx::ImageCount(gPatients), r.filesFiled);
    EXPECT_FALSE(gLoadingInProgress);
  }
}

TEST_F(StudyLoad, DicomDirLoadRunsInTheBackgroundToo) {
  const std::string dir = testsupport::TempDir("qt_dicomdir");
  appfx::TestImage t;
  appfx::WriteImage(dir, "IMG/0001", t);
  appfx::Write(dir, "DICOMDIR",
               appfx::DicomDirFile(
                   {appfx::Patient("DOE^JOHN", "1001"), appfx::Study("1.2.826.0.1.1", "7"),
                    appfx::Series("1.2.826.0.1.1.1", "CT", 1), appfx::Image("IMG\\0001", 1)}));
  TStudyLoad load;
  Recorder rec(load);
  ASSERT_TRUE(load.StartDicomDir(QString::fromStdString(dir + "/DICOMDIR")));
  ASSERT_TRUE(WaitFinished(load));
  Drain();
  EXPECT_EQ(rec.finished, 1);
  EXPECT_EQ(load.Result().kind, TLoadKind::DicomDir);
  EXPECT_EQ(load.Result().filesFiled, 1);
  EXPECT_EQ(appfx::ImageCount(gPatients), 1);
}

TEST_F(StudyLoad, DestroyingARunningLoadWaitsForIt) {
  const std::string dir = ManyImages("qt_destroy", 400);
  int finished = 0;
  {
    auto load = std::make_unique<TStudyLoad>();
    QObject::connect(load.get(), &TStudyLoad::finished, [&finished] { ++finished; });
    ASSERT_TRUE(load->StartFolder(QString::fromStdString(dir)));
  }
  Drain();
  EXPECT_EQ(finished, 0);
  EXPECT_FALSE(gLoadingInProgress);
  // The tree is consistent and a new load may start.
  TStudyLoad again;
  ASSERT_TRUE(again.StartFolder(QString::fromStdString(dir)));
  ASSERT_TRUE(WaitFinished(again));
  EXPECT_EQ(appfx::ImageCount(gPatients), 400);
}

}  // namespace
