// The main window and the frame cache: stepping while a folder load files
// into the tree, Clear Study while prefetch decodes, and the Settings field.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QLabel>
#include <QSpinBox>
#include <QTimer>

#include "app/FrameCacheSetting.h"
#include "app_fixtures.h"
#include "pixels/FrameCache.h"
#include "pixels/FramePrefetch.h"
#include "window_fixture.h"

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;

class WindowMemory : public apptest::AppTest {
 protected:
  void SetUp() override {
    budget = FrameCache::Shared().Budget();
    FrameCache::Shared().SetBudget(2 * kMiB);
    AppTest::SetUp();
  }
  void TearDown() override {
    AppTest::TearDown();
    FrameCache::Shared().SetBudget(budget);
  }
  void WaitForLoads() {
    if (!gLoadingInProgress) return;
    QEventLoop loop;
    QObject::connect(form.get(), &TForm1::loadsFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    loop.exec();
  }
  int64_t budget = 0;
};

}  // namespace

TEST_F(WindowMemory, StepsWhileAFolderLoadsAndClearStudyWhilePrefetchRuns) {
  // 40 images of 256 x 256 (5 MiB decoded) against a 2 MiB budget.
  apptest::FillTree("steps", {{"CT", 40, 0, 256, 256}});
  form->SetLayout(1, 2);
  form->FillViewers();
  // Not the active cell: that one previews the folder being loaded.
  TadvancedImage* cell = Cell(0, 1);
  ASSERT_TRUE(cell->HasImage);
  ASSERT_FALSE(cell->Active());
  // Another folder files into the tree meanwhile.
  const std::string other = testsupport::TempDir("memory-other-folder");
  for (int i = 0; i < 600; ++i) {
    appfx::TestImage t;
    t.patientName = "OTHER^PATIENT";
    t.studyUid = "1.2.826.0.9";
    t.seriesUid = "1.2.826.0.9." + std::to_string(i % 3);
    t.instance = i;
    appfx::WriteImage(other, "i" + std::to_string(i) + ".dcm", t);
  }
  ASSERT_TRUE(form->OpenFolder(QString::fromStdString(other)));
  FrameCache& cache = FrameCache::Shared();
  ASSERT_TRUE(gLoadingInProgress);
  for (int k = 1; k < 40; ++k) {
    const int before = cell->ImageIndex;
    cell->NextImage();
    EXPECT_EQ(cell->ImageIndex, (before + 1) % 40);
    EXPECT_TRUE(cache.Contains(cell->CurrentOpenedPath, 1));
    EXPECT_LE(cache.BytesHeld(), cache.Budget());
    QApplication::processEvents();
  }
  WaitForLoads();
  ASSERT_FALSE(gLoadingInProgress);
  for (int k = 0; k < 10; ++k) cell->PrevImage();
  EXPECT_LE(cache.BytesHeld(), cache.Budget());
  EXPECT_GT(cache.GetStats().evictions, 0u);

  // Clear Study with prefetch jobs queued and running: nothing decoded for
  // the old study stays behind.
  cell->NextImage();
  form->btnClearTreeClick();
  FramePrefetcher::Shared().WaitIdle();
  EXPECT_FALSE(cell->HasImage);
  EXPECT_EQ(cache.BytesHeld(), 0);
  EXPECT_EQ(cache.GetStats().frames, 0u);
}

TEST_F(WindowMemory, SettingsFieldShowsAndSetsTheBudgetForTheRun) {
  auto* field = form->findChild<TFrameCacheSetting*>();
  auto* spin = form->findChild<QSpinBox*>("cacheBudgetSpinBox");
  auto* usage = form->findChild<QLabel*>("cacheUsageLabel");
  ASSERT_TRUE(field && spin && usage);
  FrameCache::Shared().SetBudget(64 * kMiB);  // as --cache-mb 64 would
  field->Refresh();
  EXPECT_EQ(spin->value(), 64);
  spin->setValue(300);
  EXPECT_EQ(FrameCache::Shared().Budget(), 300 * kMiB);
  EXPECT_EQ(usage->text(), "0 MB held");

  int64_t mib = 0;
  EXPECT_TRUE(ParseCacheMegabytes("512", mib));
  EXPECT_EQ(mib, 512);
  QString why;
  for (const char* bad : {"", "abc", "-5", "8", "1.5", "99999999"}) {
    EXPECT_FALSE(ParseCacheMegabytes(bad, mib, &why)) << bad;
    EXPECT_TRUE(why.contains("--cache-mb")) << why.toStdString();
  }
}
