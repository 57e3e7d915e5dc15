#include <QElapsedTimer>
#include <QMenu>
#include <QToolButton>

#include "app/ThumbnailsToolUnit.h"
#include "volume/volume_fixtures.h"
#include "window_fixture.h"

namespace {

using apptest::AppTest;

class Mpr : public AppTest {
 protected:
  // Files the series as patient 0, study 0, series 0 (images in file order).
  void FileSeries(const volfix::SeriesSpec& s, const std::string& name) {
    const std::string dir = testsupport::TempDir("app-mpr-" + name);
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
  bool RunMpr() {
    bool done = false, shown = false;
    const auto c = QObject::connect(form.get(), &TForm1::mprFinished, [&](bool ok) {
      done = true;
      shown = ok;
    });
    form->ShowMpr(0, 0, 0);
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 20);
    QObject::disconnect(c);
    EXPECT_TRUE(done);
    return shown;
  }
};

TEST_F(Mpr, TheCommandFillsThreeCellsOfA2x2GridWithTheAcquiredSeriesInTheFourth) {
  volfix::SeriesSpec s;
  s.columns = 24;
  s.rows = 20;
  s.slices = 10;
  FileSeries(s, "fill");
  ASSERT_EQ(CellCount(), 1);
  ASSERT_TRUE(form->btnMpr);
  EXPECT_EQ(form->btnMpr->toolTip(), "MPR");
  ASSERT_TRUE(RunMpr());
  ASSERT_EQ(CellCount(), 4);
  const TPlaneKind kinds[3] = {TPlaneKind::Axial, TPlaneKind::Coronal, TPlaneKind::Sagittal};
  for (int k = 0; k < 3; ++k) {
    TadvancedImage* c = Cell(k / 2, k % 2);
    ASSERT_TRUE(c->IsMpr()) << k;
    EXPECT_EQ(c->Mpr()->kind, kinds[k]);
    EXPECT_TRUE(c->HasImage);
  }
  EXPECT_EQ(Cell(0, 0)->Mpr()->link, Cell(0, 1)->Mpr()->link);
  EXPECT_FALSE(Cell(1, 1)->IsMpr());
  EXPECT_TRUE(Cell(1, 1)->HasImage);
  EXPECT_EQ(form->ActiveAdvancedImage, Cell(0, 0));
  EXPECT_TRUE(form->btnMpr->isEnabledTo(form->btnMpr->parentWidget()));  // again

  // The wheel moves the active plane only, even with every cell selected.
  ASSERT_TRUE(gProcessAllViewers);
  const int axial = Cell(0, 0)->Mpr()->plane.index, coronal = Cell(0, 1)->Mpr()->plane.index;
  const int fourth = Cell(1, 1)->ImageIndex;
  form->FormMouseWheel(-120);
  EXPECT_EQ(Cell(0, 0)->Mpr()->plane.index, axial + 1);
  EXPECT_EQ(Cell(0, 1)->Mpr()->plane.index, coronal);
  EXPECT_NE(Cell(1, 1)->ImageIndex, fourth);  // the acquired series steps as before
  // The cell's track bar goes to a plane.
  Viewer(0, 1)->TrackBar->setValue(3);
  EXPECT_EQ(Cell(0, 1)->Mpr()->plane.index, 2);
  // The acquired image shows where the coronal plane cuts it.
  form->update_ReferenceLines();
  EXPECT_TRUE(Cell(1, 1)->Scan.ReferenceLine.y1 == Cell(1, 1)->Scan.ReferenceLine.y2);

  // Again from the series' menu in the browser.
  QMenu menu;
  for (const auto& add : form->ThumbnailsTool->SeriesMenu) add(menu, 0, 0, 0);
  // (The export commands follow it.)
  ASSERT_GE(menu.actions().size(), 1);
  EXPECT_EQ(menu.actions()[0]->text(), "MPR");
}

TEST_F(Mpr, ASeriesThatFormsNoVolumeIsRefusedWithTheReason) {
  volfix::SeriesSpec s;
  s.positions = {{0, 0, 0}, {0, 0, 0}, {0, 0, 2}};
  FileSeries(s, "refused");
  EXPECT_FALSE(RunMpr());
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_TRUE(form->messages[0].startsWith("MPR: two images lie at the same position"))
      << form->messages[0].toStdString();
  EXPECT_EQ(CellCount(), 1);
  EXPECT_FALSE(Cell(0, 0)->IsMpr());
}

TEST_F(Mpr, ClearStudyDuringTheBuildShowsNothing) {
  volfix::SeriesSpec s;
  s.slices = 30;
  FileSeries(s, "cleared");
  bool done = false, shown = true;
  QObject::connect(form.get(), &TForm1::mprFinished, [&](bool ok) {
    done = true;
    shown = ok;
  });
  form->ShowMpr(0, 0, 0);
  form->btnClearTreeClick();
  QElapsedTimer clock;
  clock.start();
  while (!done && clock.elapsed() < 20000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_TRUE(done);
  EXPECT_FALSE(shown);
  for (auto& row : form->AdvancedImages)
    for (TadvancedImage* c : row) EXPECT_FALSE(c->IsMpr());
  EXPECT_TRUE(form->messages.empty());
}

}  // namespace
