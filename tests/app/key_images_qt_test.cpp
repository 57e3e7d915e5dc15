// Key images from another producer's key object selection (pydicom) in the
// application: a load marks the two images of five it names, the browser
// counts them with the document's title and keeps to them under "key images
// only", and a document met before its images marks them when they come.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QToolButton>
#include <filesystem>
#include <memory>

#include "app/SaveStates.h"
#include "app/ThumbnailsToolUnit.h"
#include "dicom/StudyTree.h"
#include "study/StudyLoad.h"
#include "support/fixtures.h"
#include "support/paths.h"
#include "viewer/AdvancedImage.h"
#include "viewer/KeyImageStore.h"
#include "viewer/cell_fixtures.h"

namespace {

template <typename F>
bool WaitFor(F done) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return done();
}

class KeyImages : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    TKeyImageStore::Instance().Reset();
    ForgetDerivedObjects();
    ASSERT_TRUE(testsupport::HavePythonModules("pydicom, numpy"))
        << "/usr/bin/python3 cannot import pydicom and numpy, which write the fixtures";
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 " + std::string(TAVROLEN_SOURCE_DIR) +
                                       "/tests/cli/objects_fixture.py '" + dir + "/study' 2>&1",
                                   &out),
              0)
        << out;
    // Only the images and the key objects: the other objects are not this test's.
    for (const char* name :
         {"seg.dcm", "broken_seg.dcm", "rtstruct.dcm", "gsps.dcm", "junk.dcm", "missing_kos.dcm"})
      std::remove((dir + "/study/" + name).c_str());
    // A second study without key images.
    std::filesystem::create_directories(dir + "/other");
    fixtures::WriteFile(dir + "/other", "x.dcm", fixtures::SmallImageFile({}));
  }
  void TearDown() override {
    tool.reset();
    TKeyImageStore::Instance().SetKeyImagesOnly(false);
    TKeyImageStore::Instance().Reset();
    ForgetDerivedObjects();
    cellfix::ClearTree();
  }
  void Load(const std::string& path) {
    const TLoadResult r = LoadPath(path);
    FileDerivedObjects(r);
  }
  std::string Ct(int n) const { return dir + "/study/ct" + std::to_string(n) + ".dcm"; }
  void ShowBrowser() {
    tool = std::make_unique<TThumbnailsTool>();
    tool->resize(220, 600);
    tool->show();
    std::lock_guard lock(gPatientsMutex);
    tool->Display(gPatients);
  }
  TSeriesPanel* PanelOf(const std::string& modality, const std::string& path) {
    for (TSeriesPanel* p : tool->SeriesPanels()) {
      if (p->Modality.toStdString() != modality) continue;
      std::lock_guard lock(gPatientsMutex);
      const TImg* first = ImageAt(gPatients, p->PatientIndex, p->StudyIndex, p->SeriesIndex, 0);
      if (first && first->imagePath.rfind(path, 0) == 0) return p;
    }
    return nullptr;
  }

  std::string dir;
  std::unique_ptr<TThumbnailsTool> tool;
};

}  // namespace

TEST_F(KeyImages, LoadMarksTwoOfFiveAndTheBrowserKeepsToThem) {
  Load(dir + "/study");
  Load(dir + "/other");
  TKeyImageStore& keys = TKeyImageStore::Instance();
  EXPECT_EQ(keys.Marked(), (std::vector<TAnnotationKey>{{Ct(2), 1}, {Ct(4), 1}}));
  EXPECT_EQ(keys.Caption({Ct(2), 1}).toStdString(), "For Teaching: Two lesions");

  ShowBrowser();
  ASSERT_TRUE(WaitFor([&] { return tool->PanelsComplete(); }));
  TSeriesPanel* ct = PanelOf("CT", dir + "/study/");
  TSeriesPanel* other = PanelOf("CT", dir + "/other/");
  ASSERT_TRUE(ct && other);
  EXPECT_EQ(ct->KeyImages, 2);
  EXPECT_TRUE(ct->SeriesLabel->text().startsWith(QStringLiteral("\u26052 ")))
      << ct->SeriesLabel->text().toStdString();
  EXPECT_TRUE(ct->SeriesLabel->toolTip().contains("2 key images\nFor Teaching: Two lesions"))
      << ct->SeriesLabel->toolTip().toStdString();
  EXPECT_EQ(other->KeyImages, 0);
  EXPECT_FALSE(other->SeriesLabel->text().contains(QChar(0x2605)));

  // The button, the store and the panels agree; the search still applies.
  const size_t all = tool->VisiblePanels().size();
  tool->KeyImagesButton->click();
  EXPECT_TRUE(keys.KeyImagesOnly());
  EXPECT_FALSE(ct->isHidden());
  EXPECT_TRUE(other->isHidden());
  EXPECT_EQ(tool->VisiblePanels().size(), 3u);  // the CT study's patient, study and series
  tool->SetFilter("nomatch");
  EXPECT_TRUE(tool->VisiblePanels().empty());
  tool->SetFilter("");
  // A click on the series shows its first key image, not its first image.
  TadvancedImage cell;
  cell.resize(128, 128);
  cell.ResizeImage();
  tool->ActiveImage = [&cell] { return &cell; };
  tool->SeriesPanelClick(ct);
  EXPECT_EQ(cell.CurrentOpenedPath, Ct(2));
  EXPECT_EQ(cell.ImageIndex, 1);
  tool->ActiveImage = nullptr;

  // A mark taken away by the reader: the series has none left after both go.
  keys.Set({Ct(2), 1}, false);
  keys.Set({Ct(4), 1}, false);
  ASSERT_TRUE(WaitFor([&] { return ct->KeyImages == 0; }));
  EXPECT_TRUE(ct->isHidden());
  keys.SetKeyImagesOnly(false);  // from elsewhere (the key, the cell's menu)
  EXPECT_FALSE(tool->KeyImagesButton->isChecked());
  EXPECT_EQ(tool->VisiblePanels().size(), all);
}

TEST_F(KeyImages, DocumentBeforeItsImagesMarksThemWhenTheyCome) {
  std::string why;
  // Received first, on its own: nothing to mark yet, and nothing lost.
  ASSERT_TRUE(FileDerivedObject(dir + "/study/kos.dcm", why)) << why;
  EXPECT_FALSE(TKeyImageStore::Instance().AnyMarked());
  TKeyImageStore& keys = TKeyImageStore::Instance();
  Load(dir + "/study/ct4.dcm");  // one image comes
  EXPECT_EQ(keys.Marked(), (std::vector<TAnnotationKey>{{Ct(4), 1}}));
  EXPECT_EQ(keys.Caption({Ct(4), 1}).toStdString(), "For Teaching: Two lesions");
  // A mark the reader takes off stays off when the other image comes.
  keys.Set({Ct(4), 1}, false);
  Load(dir + "/study/ct2.dcm");
  EXPECT_EQ(keys.Marked(), (std::vector<TAnnotationKey>{{Ct(2), 1}}));
  EXPECT_EQ(keys.Caption({Ct(2), 1}).toStdString(), "For Teaching: Two lesions");
}
