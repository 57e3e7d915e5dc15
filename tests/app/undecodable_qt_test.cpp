// A folder with images the viewer cannot decode: the summary counts them
// apart from the loaded ones, a series with such images still opens on the
// ones that decode, and a cell or thumbnail that shows none says why.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include "app/ThumbnailsToolUnit.h"
#include "app_fixtures.h"
#include "study/Global.h"
#include "window_fixture.h"

namespace {

using appfx::TestImage;

class SummaryForm : public apptest::TestForm {
 public:
  QString folder;
  std::vector<std::pair<QString, QString>> summaries;

 protected:
  QString AskFolder() override { return folder; }
  void ShowLoadSummary(const QString& text, const QString& details) override {
    summaries.emplace_back(text, details);
  }
};

// An image of the test study whose pixel data is hierarchical JPEG, which no
// codec decodes.
std::vector<uint8_t> VideoFile(const TestImage& t) {
  dicomwriter::DicomWriter w(true, true);
  const std::string sop = t.seriesUid + "." + std::to_string(t.instance);
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.77.1.4.1");
  w.Text(0x00080018, "UI", sop);
  w.Text(0x00080020, "DA", t.studyDate);
  w.Text(0x00080030, "TM", t.studyTime);
  w.Text(0x00080060, "CS", t.modality);
  w.Text(0x00100010, "PN", t.patientName);
  w.Text(0x00100020, "LO", t.patientId);
  w.Text(0x0020000D, "UI", t.studyUid);
  w.Text(0x0020000E, "UI", t.seriesUid);
  w.Text(0x00200010, "SH", t.studyId);  // files into the same study as the CT image
  w.Text(0x00200011, "IS", std::to_string(t.seriesNumber));
  w.Text(0x00200013, "IS", std::to_string(t.instance));
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  w.US(0x00280010, {8});
  w.US(0x00280011, {8});
  w.US(0x00280100, {8});
  w.US(0x00280101, {8});
  w.US(0x00280102, {7});
  w.US(0x00280103, {0});
  w.Encapsulated({}, {std::vector<uint8_t>(2000, 0x47)});
  dicomwriter::DicomFileOptions options;
  options.transferSyntax = "1.2.840.10008.1.2.4.59";
  options.sopInstanceUid = sop;
  return dicomwriter::BuildDicomFile(w, options);
}

class Undecodable : public ::testing::Test {
 protected:
  void SetUp() override {
    appfx::ResetLoadingState();
    gForceRefill = false;
    form = std::make_unique<SummaryForm>();
    form->resize(1000, 700);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    appfx::ResetLoadingState();
  }
  void WaitIdle() {
    if (form->IsIdle() && !gLoadingInProgress) return;
    QEventLoop loop;
    QObject::connect(form.get(), &TForm1::loadsFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    QApplication::processEvents();
  }
  std::unique_ptr<SummaryForm> form;
};

TEST_F(Undecodable, AreCountedApartAndASeriesOpensOnItsDecodableImages) {
  const std::string dir = testsupport::TempDir("undecodable-folder");
  TestImage t;
  t.instance = 1;  // first in the series: a video frame
  appfx::Write(dir, "a/video.dcm", VideoFile(t));
  t.instance = 2;
  appfx::WriteImage(dir, "a/ct.dcm", t);
  // A second series of video only.
  TestImage v;
  v.seriesUid = t.seriesUid + ".9";
  v.seriesNumber = 2;
  appfx::Write(dir, "b/video.dcm", VideoFile(v));
  form->SetLayout(1, 2);
  gRestrictedLoad = true;  // one series per cell
  form->folder = QString::fromStdString(dir);
  form->btnOpenFolderClick();
  WaitIdle();
  ASSERT_EQ(form->summaries.size(), 1u);
  EXPECT_EQ(form->summaries[0].first, "1 of 3 files loaded; 2 filed but cannot be displayed.");
  EXPECT_TRUE(form->summaries[0].second.contains("JPEG Extended, Hierarchical"));
  ASSERT_EQ(form->CurrentRows * form->CurrentCols, 2);
  TadvancedImage* first = form->AdvancedImages[0][0];
  TadvancedImage* second = form->AdvancedImages[0][1];
  EXPECT_TRUE(first->HasImage);
  EXPECT_EQ(first->ImageIndex, 1);  // the CT image after the video frame
  EXPECT_FALSE(second->HasImage);
  EXPECT_NE(second->FailureText().find("Hierarchical"), std::string::npos) << second->FailureText();
}

}  // namespace
