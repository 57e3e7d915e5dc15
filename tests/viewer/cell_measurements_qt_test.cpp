// Measurements a reader can trust, drawn with the mouse on an offscreen cell:
// millimetres only where the file calibrates them, region statistics in
// modality units beside the area, and the pixel probe under Shift.
#include <gtest/gtest.h>

#include <cmath>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Drag;
using cellfix::Image;
using cellfix::Mouse;

namespace {

class CellMeasurements : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    multi = gProcessAllViewers.exchange(false);
    cell.resize(400, 300);
    cell.ResizeImage();
  }
  void TearDown() override {
    gProcessAllViewers = multi;
    cellfix::ClearTree();
  }
  // A 200 x 200 image at zoom 100: view = image + (200, 150), pixel = image + 100.
  // Stored values: column + row (a ramp), 16-bit.
  void Load(Image s) {
    s.columns = s.rows = 200;
    s.values.clear();
    for (int r = 0; r < 200; ++r)
      for (int c = 0; c < 200; ++c) s.values.push_back(c + r);
    ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "i" + std::to_string(++files) + ".dcm", s), 1));
    cell.Zoom(100 - cell.zoomFactor);
    ASSERT_EQ(cell.ViewToImage(QPoint(200, 150)), QPoint(0, 0));
  }
  QStringList Labels(ViewerAction a, QPoint from, QPoint to) {
    cell.Shapes.clear();
    cell.Action = a;
    Drag(cell, from, to);
    EXPECT_EQ(cell.Shapes.size(), 1u);
    return cell.Shapes.empty() ? QStringList() : cell.MeasurementLines(cell.Shapes[0]);
  }

  bool multi = false;
  int files = 0;
  std::string dir;
  TadvancedImage cell;
};

}  // namespace

TEST_F(CellMeasurements, UncalibratedImagesMeasureInPixels) {
  // An ultrasound picture without any spacing: one pixel is not a millimetre.
  Image us;
  us.modality = "US";
  us.pixelSpacing.clear();
  Load(us);
  EXPECT_EQ(Labels(VAMeasureLine, {100, 100}, {179, 100}), QStringList{"79.00 px"});
  const QStringList area = Labels(VARectangle, {200, 150}, {210, 170});
  ASSERT_FALSE(area.isEmpty());
  EXPECT_EQ(area[0], QString("Area 200.00 px") + QChar(0x00B2));
}

TEST_F(CellMeasurements, ImagerSpacingIsLabelledAndAnisotropyCounts) {
  Image dx;
  dx.modality = "DX";
  dx.pixelSpacing.clear();
  dx.imagerPixelSpacing = "0.2\\0.1";  // rows 0.2 mm apart, columns 0.1 mm
  Load(dx);
  // 30 pixels along a row and 40 down a column: hypot(3, 8) mm.
  EXPECT_EQ(Labels(VAMeasureLine, {100, 100}, {130, 140}),
            QStringList{QString::number(std::hypot(3.0, 8.0), 'f', 2) + " mm (imager)"});
  EXPECT_FLOAT_EQ(cell.Shapes[0].data, float(std::hypot(3.0, 8.0)));

  Image ct;  // Pixel Spacing wins over Imager Pixel Spacing
  ct.pixelSpacing = "0.5\\0.25";
  ct.imagerPixelSpacing = "0.2\\0.1";
  Load(ct);
  EXPECT_EQ(Labels(VAMeasureLine, {100, 100}, {140, 100}), QStringList{"10.00 mm"});
}

TEST_F(CellMeasurements, RegionsShowStatisticsInModalityUnits) {
  Image ct;
  ct.pixelSpacing = "0.5\\0.5";
  ct.slope = "1";
  ct.intercept = "-1024";
  Load(ct);
  // View (200, 150)-(210, 170) is pixels 100..109 x 100..119: stored c + r
  // from 200 to 228, mean 214.
  QStringList lines = Labels(VARectangle, {200, 150}, {210, 170});
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(lines[0], QString("Area 50.00 mm") + QChar(0x00B2));
  EXPECT_TRUE(lines[1].startsWith("Mean -810.00 HU  SD ")) << lines[1].toStdString();
  EXPECT_EQ(lines[2], "Min -824.00  Max -796.00  n 200");

  Image mr;
  mr.modality = "MR";
  Load(mr);
  lines = Labels(VAEllipse, {190, 140}, {210, 160});  // a 20 x 20 disc about pixel edge (100, 100)
  ASSERT_EQ(lines.size(), 3);
  // Pixel centres sit half a pixel past their index: c + r averages 199.
  EXPECT_TRUE(lines[1].startsWith("Mean 199.00 units")) << lines[1].toStdString();
  EXPECT_TRUE(lines[2].endsWith("n 316")) << lines[2].toStdString();

  // Moving the shape moves its statistics with it, at every render.
  cell.Shapes[0].x1 += 50;
  cell.Shapes[0].x2 += 50;
  EXPECT_TRUE(cell.MeasurementLines(cell.Shapes[0])[1].startsWith("Mean 249.00"));
}

TEST_F(CellMeasurements, ProbeShowsTheValueUnderTheMouseWhileShiftIsHeld) {
  Image ct;
  ct.slope = "2";
  ct.intercept = "-100";
  Load(ct);
  // View (230, 160) lies in pixel (130, 110): stored 240, value 380.
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {230, 160}, Qt::NoButton, Qt::ShiftModifier);
  EXPECT_TRUE(cell.ProbeShown());
  EXPECT_EQ(cell.ProbeText(), "X 130  Y 110  stored 240  380.00 HU");
  // It is drawn beside the mouse (to its left here: the right side has no room).
  EXPECT_FALSE(cellfix::Ink(cell.Surface(), Qt::yellow, QRect(0, 170, 230, 30)).isEmpty());
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {229, 159}, Qt::NoButton, Qt::ShiftModifier);
  EXPECT_EQ(cell.ProbeText(), "X 129  Y 109  stored 238  376.00 HU");
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {230, 160});
  EXPECT_FALSE(cell.ProbeShown());
  // Off the image there is nothing to tell.
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {20, 20}, Qt::NoButton, Qt::ShiftModifier);
  EXPECT_EQ(cell.ProbeText(), "");
}
