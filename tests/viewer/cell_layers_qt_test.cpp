// What the render pass paints over the image, read from the surface: corner
// texts, orientation letters, the ruler, the overlay plane, the frames and the
// reference line.
#include <gtest/gtest.h>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/OverlayLayout.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Image;
using cellfix::Ink;

namespace {

const QColor kInfo(0, 255, 255), kRuler(0, 255, 0), kOverlay(255, 0, 255), kRef(255, 128, 0);

class CellLayers : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = gSettings();
    gSettings().InformationColor = kInfo;
    gSettings().RulerColor = kRuler;
    gSettings().OverlayColor = kOverlay;
    gSettings().ReferenceLinesColor = kRef;
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    cell.resize(800, 600);
    cell.ResizeImage();
  }
  void TearDown() override { gSettings() = saved; }

  // A black 16-bit image (all values below the window).
  Image Dark(int columns = 8, int rows = 8) {
    Image s;
    s.columns = columns;
    s.rows = rows;
    s.windowCenter = "1000";
    s.windowWidth = "100";
    s.values.assign(size_t(columns * rows), 0);
    return s;
  }
  bool Load(const Image& s, const std::string& name = "i.dcm") {
    return cell.LoadFile(cellfix::Write(dir, name, s), 1);
  }

  TSettings saved;
  std::string dir;
  TadvancedImage cell;
};

}  // namespace

TEST_F(CellLayers, CornerTextsAndLettersAtTheirPlaces) {
  Image s = Dark();
  s.orientation = "1\\0\\0\\0\\1\\0";
  ASSERT_TRUE(Load(s));
  cell.Zoom(100 - cell.zoomFactor);
  const QImage img = cell.Surface();
  const int W = 800, H = 600;
  // Each text starts at its corner and stays on its 15-pixel line.
  const auto startsAt = [&](QPoint at, int width) {
    const QRect ink = Ink(img, kInfo, QRect(at, QSize(width, 15)));
    EXPECT_FALSE(ink.isEmpty()) << at.x() << "," << at.y();
    EXPECT_LE(ink.left() - at.x(), 2) << at.x() << "," << at.y();
    return ink;
  };
  startsAt({10, 10}, 200);      // patient ID
  startsAt({10, 25}, 200);      // modality
  startsAt({10, H - 80}, 200);  // series
  startsAt({10, H - 20}, 200);  // zoom
  const QRect name = Ink(img, kInfo, QRect(W / 2, 10, W / 2, 15));
  EXPECT_NEAR(name.right(), W - 11, 3);  // right-aligned
  // The institution too, so that a long name is not cut at the edge.
  const QRect institution = Ink(img, kInfo, QRect(W * 3 / 4, H - 20, W / 4, 15));
  EXPECT_NEAR(institution.right(), W - 11, 3);
  // Letters: top A, right L, bottom P, left R; the right and bottom ones
  // beside the ruler, not on it.
  EXPECT_EQ(cell.orientation_labels, (std::array<QString, 4>{"A", "L", "P", "R"}));
  for (QPoint at : {QPoint(W / 2, 2), QPoint(7, H / 2)}) startsAt(at, 30);
  const QRect right = Ink(img, kInfo, QRect(W - 70, H / 2, 70, 20));
  EXPECT_FALSE(right.isEmpty());
  EXPECT_LT(right.right(), VerticalRulerBox(img.size()).left());
  const QRect bottom = Ink(img, kInfo, QRect(W / 2, H - 60, 30, 60));
  EXPECT_FALSE(bottom.isEmpty());
  EXPECT_LT(bottom.bottom(), HorizontalRulerBox(img.size()).top());
  // Nothing in the middle of the image.
  EXPECT_TRUE(Ink(img, kInfo, QRect(100, 100, 600, 380)).isEmpty());

  cell.setShowInfo(false);
  EXPECT_TRUE(Ink(cell.Surface(), kInfo, QRect(0, 0, W, H)).isEmpty());
  cell.setShowInfo(true);

  s.institution = "SAINT ELSEWHERE UNIVERSITY HOSPITAL";
  ASSERT_TRUE(Load(s, "long.dcm"));
  // Too long to fit beside the ruler: the line above it, all of it.
  const QRect whole = Ink(cell.Surface(), kInfo, QRect(W / 2 + 20, H - 60, W / 2 - 20, 25));
  EXPECT_GT(whole.width(), 150);  // all of it, not its first letters
  EXPECT_LE(whole.right(), W - 8);
  EXPECT_LT(whole.bottom(), HorizontalRulerBox(cell.Surface().size()).top());
}

TEST_F(CellLayers, ByteImagesShowContrastAndBrightness) {
  ASSERT_TRUE(Load(Dark()));
  const int wwLine = Ink(cell.Surface(), kInfo, QRect(0, 550, 300, 15)).width();
  Image rgb = Dark();
  rgb.samples = 3;
  rgb.bitsAllocated = 8;
  rgb.photometric = "RGB";
  rgb.values.assign(size_t(3 * 64), 0);
  ASSERT_TRUE(Load(rgb, "rgb.dcm"));
  EXPECT_TRUE(cell.IsByteImage());
  // "Contrast    : 0" is the longer line.
  EXPECT_GT(Ink(cell.Surface(), kInfo, QRect(0, 550, 300, 15)).width(), wwLine + 20);
}

TEST_F(CellLayers, LettersTurnWithTheImageAndComeFromEveryKindOfImage) {
  Image s = Dark();
  s.orientation = "1\\0\\0\\0\\1\\0";
  ASSERT_TRUE(Load(s));
  cell.Rotate90();
  EXPECT_EQ(cell.orientation_labels[cell.orientation.Top], "R");
  EXPECT_EQ(cell.orientation_labels[cell.orientation.Right], "A");

  s.orientation = "0.8\\0\\-0.6\\0\\1\\0";
  s.bitsAllocated = 8;  // byte images get letters from their own cosines too
  ASSERT_TRUE(Load(s, "oblique.dcm"));
  EXPECT_EQ(cell._Right_Label, "LF");
  EXPECT_EQ(cell._Left_Label, "RH");

  // A direction missing: no letters rather than those of the image before.
  s.orientation = "1\\0\\0\\0\\0\\0";
  ASSERT_TRUE(Load(s, "half.dcm"));
  EXPECT_EQ(cell.orientation_labels, (std::array<QString, 4>{}));
}

TEST_F(CellLayers, RulerTicksMarkCentimetres) {
  const auto tickRows = [&] {
    const QImage img = cell.Surface();
    std::vector<int> rows;
    for (int y = 0; y < img.height(); ++y)
      if (img.pixel(img.width() - 18, y) == kRuler.rgb()) rows.push_back(y);
    return rows;
  };
  Image s = Dark();
  s.pixelSpacing = "0.5\\0.5";
  ASSERT_TRUE(Load(s));
  for (auto [zoom, spacing] : {std::pair(100, 20), std::pair(50, 10)}) {
    cell.Zoom(zoom - cell.zoomFactor);
    const std::vector<int> rows = tickRows();
    ASSERT_GT(rows.size(), 5u);
    EXPECT_GE(rows.front(), 120);  // within 20 % ... 85 % of the height
    EXPECT_LE(rows.back(), 510);
    for (size_t i = 1; i < rows.size(); ++i) EXPECT_NEAR(rows[i] - rows[i - 1], spacing, 1);
  }
  s.pixelSpacing = "10\\10";
  ASSERT_TRUE(Load(s, "coarse.dcm"));
  EXPECT_TRUE(Ink(cell.Surface(), kRuler, QRect(0, 0, 800, 600)).isEmpty());
}

TEST_F(CellLayers, OverlayBitAtItsPixelTurningWithTheImage) {
  Image s = Dark(4, 3);
  s.overlayRows = 3;
  s.overlayColumns = 4;
  s.overlayBits = {0x01, 0x00};
  const std::string path = cellfix::Write(dir, "ov.dcm", s);
  ASSERT_TRUE(cell.LoadFile(path, 1));
  QImage b = cell.Bitmap();
  EXPECT_EQ(b.pixel(0, 0), kOverlay.rgb());
  EXPECT_EQ(cellfix::Ink(b, kOverlay, b.rect()), QRect(0, 0, 1, 1));
  // Turned, and loaded again into the turned cell: the bit stays on its image pixel.
  cell.Rotate90();
  ASSERT_TRUE(cell.LoadFile(path, 1));
  b = cell.Bitmap();
  ASSERT_EQ(b.size(), QSize(3, 4));
  EXPECT_EQ(cellfix::Ink(b, kOverlay, b.rect()), QRect(2, 0, 1, 1));
  cell.setShowOverlay(false);
  EXPECT_TRUE(cellfix::Ink(cell.Bitmap(), kOverlay, b.rect()).isEmpty());
}

TEST_F(CellLayers, FramesAndReferenceLine) {
  ASSERT_TRUE(Load(Dark()));
  cell.ReferenceLine.x1 = -3;
  cell.ReferenceLine.x2 = 3;
  cell.RenderViewer();
  EXPECT_FALSE(Ink(cell.Surface(), kRef, QRect(0, 0, 800, 600)).isEmpty());
  cell.setSelected(true);
  EXPECT_EQ(cell.Surface().pixel(0, 300), QColor(240, 202, 178).rgb());
  cell.setActive(true);  // drawn over the selection frame; no reference line
  const QImage img = cell.Surface();
  EXPECT_EQ(img.pixel(0, 300), QColor(Qt::red).rgb());
  EXPECT_EQ(img.pixel(794, 300), QColor(Qt::red).rgb());
  EXPECT_TRUE(Ink(img, kRef, QRect(0, 0, 800, 600)).isEmpty());
}

TEST_F(CellLayers, ThePictureEndsAtTheFrameAndLeavesTheGapBlack) {
  // A white image zoomed far past the cell: without the clip it would cover
  // every pixel of the surface.
  Image s = Dark(16, 16);
  s.values.assign(size_t(16 * 16), 4000);
  ASSERT_TRUE(Load(s));
  cell.Zoom(20000);
  cell.setActive(true);
  const QImage img = cell.Surface();
  const int W = img.width(), H = img.height();
  EXPECT_NE(img.pixel(W / 3, H / 3), QColor(Qt::black).rgb());  // inside: the picture
  // Beyond the frame line (3 pixels wide on x = W - 6, y = H - 6) is the gap.
  for (int y = 0; y < H; ++y)
    for (int x = W - 4; x < W; ++x) ASSERT_EQ(img.pixel(x, y), QColor(Qt::black).rgb()) << x;
  for (int x = 0; x < W; ++x)
    for (int y = H - 4; y < H; ++y) ASSERT_EQ(img.pixel(x, y), QColor(Qt::black).rgb()) << y;
}

TEST_F(CellLayers, RegionStatisticsReadOnADarkBox) {
  Image s = Dark(64, 64);
  s.values.assign(size_t(64 * 64), 4000);  // white under the window
  ASSERT_TRUE(Load(s));
  cell.FitImage();
  Shape r;
  r.shapeType = STRectangle;
  r.x1 = -20;
  r.y1 = -20;
  r.x2 = 10;
  r.y2 = 10;
  cell.Shapes.push_back(r);
  cell.RenderViewer();
  const QImage img = cell.Surface();
  // The label starts at the first corner, on the white picture; around its
  // letters the picture is darkened, not left white.
  const QPoint at = cell.ImageToView(QPoint(r.x1, r.y1));
  const QRect label(at + QPoint(0, 2), QSize(60, 10));
  int white = 0, dark = 0;
  for (int y = label.top(); y <= label.bottom(); ++y)
    for (int x = label.left(); x <= label.right(); ++x) {
      const QColor c = img.pixelColor(x, y);
      if (c == QColor(Qt::white)) ++white;
      if (c.red() < 120 && c.green() < 120 && c.blue() < 120) ++dark;
    }
  EXPECT_EQ(white, 0);
  EXPECT_GT(dark, 300);
}
