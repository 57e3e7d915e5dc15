#include <QElapsedTimer>
#include <QMenu>
#include <QPointer>
#include <QToolButton>
#include <cstdlib>

#include "app/ThumbnailsToolUnit.h"
#include "viewer/Volume3DView.h"
#include "volume/volume_fixtures.h"
#include "window_fixture.h"

namespace {

using apptest::AppTest;

class Render3D : public AppTest {
 protected:
  void SetUp() override {
    // The same canvas on every machine.
    setenv("TAVROLEN_3D_RENDERER", "cpu", 1);
    AppTest::SetUp();
  }
  void TearDown() override {
    AppTest::TearDown();
    unsetenv("TAVROLEN_3D_RENDERER");
  }
  // Files the series as patient 0, study 0, series 0.
  void FileSeries(const volfix::SeriesSpec& s, const std::string& name) {
    const std::string dir = testsupport::TempDir("app-3d-" + name);
    const std::vector<std::string> files = volfix::WriteSeries(dir, s);
    TPatient patient;
    patient.patientName = "VOLUME^TEST";
    TStudy study;
    study.instanceUid = s.studyUid;
    TSeries series;
    series.modality = "CT";
    series.instanceUid = s.seriesUid;
    for (size_t i = 0; i < files.size(); ++i) {
      TImg img;
      img.instanceNumber = int(i + 1);
      img.imagePath = files[i];
      series.images.push_back(img);
    }
    study.serieses.push_back(series);
    patient.studies.push_back(study);
    std::lock_guard lock(gPatientsMutex);
    gPatients = {patient};
  }
  // Runs the command and waits for its worker.
  bool Run3D() {
    bool done = false, shown = false;
    const auto c = QObject::connect(form.get(), &TForm1::volume3DFinished, [&](bool ok) {
      done = true;
      shown = ok;
    });
    form->Show3D(0, 0, 0);
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    QObject::disconnect(c);
    EXPECT_TRUE(done);
    return shown;
  }
};

TEST_F(Render3D, TheCommandShowsTheVolumeOverTheActiveCellAndCloseGivesTheCellBack) {
  volfix::SeriesSpec s;
  s.columns = 24;
  s.rows = 20;
  s.slices = 10;
  FileSeries(s, "shown");
  ASSERT_TRUE(form->btn3D);
  EXPECT_EQ(form->btn3D->toolTip(), "3D");
  // In the series' menu of the browser, after MPR.
  QMenu menu;
  for (const auto& add : form->ThumbnailsTool->SeriesMenu) add(menu, 0, 0, 0);
  ASSERT_GE(menu.actions().size(), 2);
  EXPECT_EQ(menu.actions()[1]->text(), "3D");

  ASSERT_TRUE(Run3D());
  TadvancedImage* cell = form->ActiveAdvancedImage;
  ASSERT_TRUE(cell);
  // The cell beneath shows the series; the view covers it.
  EXPECT_TRUE(cell->HasImage);
  TVolume3DView* view = Volume3DOf(cell);
  ASSERT_TRUE(view);
  EXPECT_EQ(view->geometry(), cell->rect());
  EXPECT_EQ(view->Volume()->geometry.slices, 10);
  EXPECT_EQ(view->Canvas()->Backend(), "CPU");
  EXPECT_TRUE(form->messages.empty());
  // Copy takes the 3D picture, not the image beneath.
  EXPECT_EQ(form->ActiveCellPicture(false).size(), view->size());

  // The wheel over the view zooms it, not the grid's image stepping.
  const int image = cell->ImageIndex;
  QWheelEvent wheel(QPointF(40, 40), view->mapToGlobal(QPointF(40, 40)), {}, {0, 120}, Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view, &wheel);
  EXPECT_GT(view->Settings().camera.zoom, 1);
  EXPECT_EQ(cell->ImageIndex, image);
  EXPECT_EQ(Volume3DOf(cell), view);

  QPointer<TVolume3DView> shown(view);
  for (QAction* a : view->Menu()->actions())
    if (a->text() == "Close 3D") a->trigger();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(shown);
  EXPECT_FALSE(Volume3DOf(cell));
  EXPECT_TRUE(cell->HasImage);
}

TEST_F(Render3D, ASeriesThatFormsNoVolumeIsRefusedOnceWithTheReason) {
  volfix::SeriesSpec s;
  s.positions = {{0, 0, 0}, {0, 0, 0}, {0, 0, 2}};
  FileSeries(s, "refused");
  EXPECT_FALSE(Run3D());
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_TRUE(form->messages[0].startsWith("3D: two images lie at the same position"))
      << form->messages[0].toStdString();
  EXPECT_FALSE(Volume3DOf(form->ActiveAdvancedImage));
}

TEST_F(Render3D, AskedAgainWhileBuildingTheBuildIsCancelledWithoutAMessage) {
  volfix::SeriesSpec s;
  s.columns = 64;
  s.rows = 64;
  s.slices = 60;
  FileSeries(s, "cancelled");
  bool done = false, shown = true;
  QObject::connect(form.get(), &TForm1::volume3DFinished, [&](bool ok) {
    done = true;
    shown = ok;
  });
  form->Show3D(0, 0, 0);
  form->Show3D(0, 0, 0);  // the second click cancels
  QElapsedTimer clock;
  clock.start();
  while (!done && clock.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_TRUE(done);
  EXPECT_FALSE(shown);
  EXPECT_TRUE(form->messages.empty());
  EXPECT_FALSE(Volume3DOf(form->ActiveAdvancedImage));
  // And it can be asked for again.
  EXPECT_TRUE(Run3D());
}

}  // namespace
