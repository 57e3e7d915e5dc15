// The report window: a pydicom-written measurement report shown as a
// document; its coordinates' link opens the CT frame they were drawn on in
// the active cell with the polyline painted over it; a reference to an image
// that is not loaded says so and leaves the cell alone.
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QTransform>
#include <QUrl>

#include "app/DocumentWindows.h"
#include "app/ReportWindow.h"
#include "app/window_fixture.h"
#include "reports/StructuredReport.h"
#include "study/StudyLoad.h"
#include "viewer/CellPresentation.h"
#include "viewer/ReportGraphics.h"

namespace {

class ReportWindow : public apptest::AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    ASSERT_TRUE(testsupport::HavePythonModules("pydicom, numpy"))
        << "/usr/bin/python3 cannot import pydicom and numpy, which write the fixtures";
    dir = testsupport::TempDir("report_window");
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 '" + std::string(TAVROLEN_SOURCE_DIR) +
                                       "/tests/reports/sr_fixtures.py' '" + dir + "' 2>&1",
                                   &out),
              0)
        << out;
    LoadPath(dir + "/ct.dcm");
  }
  void TearDown() override {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == "reportWindow") delete w;
    AppTest::TearDown();
  }
  // The node of the report whose concept name or value type is `what`.
  static int NodeOf(const reports::TSrDocument& doc, const std::string& valueType) {
    for (size_t i = 0; i < doc.nodes.size(); ++i)
      if (doc.nodes[i].valueType == valueType) return int(i);
    return -1;
  }
  std::string dir;
};

struct TTreePlace {
  int patient = -1, study = -1, series = -1;
};

// Whether a pixel near `at` of the surface has the report's mark colour
// (no grey level of the CT is that orange).
bool MarkNear(const QImage& surface, QPointF at) {
  for (int dy = -2; dy <= 2; ++dy)
    for (int dx = -2; dx <= 2; ++dx) {
      const QPoint p(int(at.x()) + dx, int(at.y()) + dy);
      if (!surface.rect().contains(p)) continue;
      const QColor c = surface.pixelColor(p);
      if (c.red() > 200 && c.green() > 100 && c.green() < 230 && c.blue() < 90) return true;
    }
  return false;
}

TEST_F(ReportWindow, CoordinatesLinkShowsTheirFrameWithTheMarkAndOneWindowPerReport) {
  const std::string report = dir + "/tid1500.dcm";
  std::string why;
  ASSERT_TRUE(OpenDocumentWindow(form.get(), report, &why)) << why;
  QWidget* window = ReportWindowOf(report);
  ASSERT_NE(window, nullptr);
  auto* browser = window->findChild<QTextBrowser*>("reportBrowser");
  ASSERT_NE(browser, nullptr);
  EXPECT_TRUE(browser->toPlainText().contains("Long Axis: 12.5 mm"))
      << browser->toPlainText().toStdString();
  EXPECT_TRUE(browser->toPlainText().contains("Lesion <1> & \"friends\""));
  // Opening it again raises the same window.
  ASSERT_TRUE(OpenReportWindow(form.get(), report, &why));
  EXPECT_EQ(ReportWindowOf(report), window);

  reports::TSrDocument doc;
  ASSERT_TRUE(reports::ReadReport(report, doc, why));
  TadvancedImage* cell = form->ActiveAdvancedImage;
  ASSERT_NE(cell, nullptr);
  emit browser->anchorClicked(QUrl("sr-node:" + QString::number(NodeOf(doc, "SCOORD"))));
  QApplication::processEvents();
  auto* status = window->findChild<QLabel*>("reportStatus");
  EXPECT_EQ(cell->CurrentOpenedPath, dir + "/ct.dcm") << status->text().toStdString();
  EXPECT_EQ(cell->CurrentFrame, 2);
  ASSERT_TRUE(cell->reportGraphics);
  ASSERT_EQ(cell->reportGraphics->shapes.size(), 1u);
  EXPECT_EQ(cell->reportGraphics->shapes[0].label, "Long Axis: 12.5 mm");
  // The middle of the polyline (1.5, 2.5)-(6.5, 4.5) is painted in the mark's colour.
  const QPointF middle = PixelToViewTransform(*cell, 8, 6).map(QPointF(4, 3.5));
  EXPECT_TRUE(MarkNear(cell->Surface(), middle));
  EXPECT_TRUE(status->text().contains("frame 2, with 1 mark")) << status->text().toStdString();

  // Frame 1 carries no mark of the report; the button takes the marks away.
  cell->CineTrackBarSeek(1);
  EXPECT_FALSE(MarkNear(cell->Surface(), middle));
  cell->CineTrackBarSeek(2);
  EXPECT_TRUE(MarkNear(cell->Surface(), middle));
  window->findChild<QPushButton*>("reportClearMarks")->click();
  EXPECT_FALSE(cell->reportGraphics);
  EXPECT_FALSE(MarkNear(cell->Surface(), middle));

  // Followed again, the marks come back; another image in the cell drops them.
  emit browser->anchorClicked(QUrl("sr-node:" + QString::number(NodeOf(doc, "SCOORD"))));
  ASSERT_TRUE(cell->reportGraphics);
  LoadPath(fixtures::WriteFile(dir, "other.dcm", fixtures::SmallImageFile({})));
  TTreePlace other;
  {
    std::lock_guard lock(gPatientsMutex);
    for (size_t p = 0; p < gPatients.size(); ++p)
      for (size_t st = 0; st < gPatients[p].studies.size(); ++st)
        for (size_t se = 0; se < gPatients[p].studies[st].serieses.size(); ++se)
          if (gPatients[p].studies[st].serieses[se].images[0].imagePath == dir + "/other.dcm")
            other = {int(p), int(st), int(se)};
  }
  ASSERT_GE(other.patient, 0);
  cell->PatientIndex = other.patient;
  cell->StudyIndex = other.study;
  cell->SeriesIndex = other.series;
  cell->ImageIndex = 0;
  ASSERT_TRUE(cell->OpenCurrentImage(true));
  EXPECT_EQ(cell->CurrentOpenedPath, dir + "/other.dcm");
  EXPECT_FALSE(cell->reportGraphics);
}

TEST_F(ReportWindow, ImageNotLoadedIsSaidAndTheCellKeepsItsImage) {
  const std::string report = dir + "/nowhere.dcm";
  std::string why;
  ASSERT_TRUE(OpenReportWindow(form.get(), report, &why)) << why;
  QWidget* window = ReportWindowOf(report);
  ASSERT_NE(window, nullptr);
  TadvancedImage* cell = form->ActiveAdvancedImage;
  const std::string before = cell->CurrentOpenedPath;
  reports::TSrDocument doc;
  ASSERT_TRUE(reports::ReadReport(report, doc, why));
  emit window->findChild<QTextBrowser*>("reportBrowser")
      ->anchorClicked(QUrl("sr-node:" + QString::number(NodeOf(doc, "IMAGE"))));
  EXPECT_EQ(window->findChild<QLabel*>("reportStatus")->text().toStdString(),
            "Image 1.2.826.0.1.3680043.8.498.999 is not loaded");
  EXPECT_EQ(cell->CurrentOpenedPath, before);
  EXPECT_FALSE(cell->reportGraphics);

  // A file that is no report opens nothing and says why.
  EXPECT_FALSE(OpenReportWindow(form.get(), dir + "/ct.dcm", &why));
  EXPECT_NE(why.find("not a structured report"), std::string::npos) << why;
  EXPECT_EQ(ReportWindowOf(dir + "/ct.dcm"), nullptr);
}

}  // namespace
