// The JPEG and PNG export of a cell: the surface's size and pixels without
// the active and selection frames, the black border, baseline colour at
// quality 90, the image's own resolution, replacing and failing.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <csetjmp>
#include <cstdio>
#include <filesystem>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

using cellfix::Image;

namespace {

struct Decoded {
  int width = 0, height = 0, components = 0;
  bool progressive = true;
  int firstQuant = 0;  // DC entry of the first quantisation table
  std::vector<uint8_t> rgb;
  QRgb At(int x, int y) const {
    const uint8_t* p = &rgb[size_t(3 * (y * width + x))];
    return qRgb(p[0], p[1], p[2]);
  }
};

struct Error {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void OnError(j_common_ptr c) {
  longjmp(reinterpret_cast<Error*>(c->err)->jump, 1);
}

bool Decode(const QByteArray& bytes, Decoded& d) {
  jpeg_decompress_struct c;
  Error err;
  c.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = OnError;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&c);
    return false;
  }
  jpeg_create_decompress(&c);
  jpeg_mem_src(&c, reinterpret_cast<const unsigned char*>(bytes.constData()),
               (unsigned long)bytes.size());
  jpeg_read_header(&c, TRUE);
  d.width = int(c.image_width);
  d.height = int(c.image_height);
  d.components = c.num_components;
  d.progressive = c.progressive_mode;
  d.firstQuant = c.quant_tbl_ptrs[0] ? c.quant_tbl_ptrs[0]->quantval[0] : 0;
  c.out_color_space = JCS_RGB;
  jpeg_start_decompress(&c);
  d.rgb.resize(size_t(d.width) * d.height * 3);
  while (c.output_scanline < c.output_height) {
    JSAMPROW row = &d.rgb[size_t(c.output_scanline) * d.width * 3];
    jpeg_read_scanlines(&c, &row, 1);
  }
  jpeg_finish_decompress(&c);
  jpeg_destroy_decompress(&c);
  return true;
}

QByteArray Read(const std::string& path) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int Luma(QRgb p) {
  return (qRed(p) * 299 + qGreen(p) * 587 + qBlue(p) * 114) / 1000;
}

class CellExport : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    multi = gProcessAllViewers.exchange(false);
    cell.resize(600, 500);
    cell.ResizeImage();
    // A left-to-right ramp, so any shift of the picture shows.
    Image s;
    s.columns = 64;
    s.rows = 48;
    s.bitsAllocated = 8;
    s.modality = "OT";
    for (int y = 0; y < s.rows; ++y)
      for (int x = 0; x < s.columns; ++x) s.values.push_back(40 + 3 * x);
    path = cellfix::Write(dir, "ramp.dcm", s);
  }
  void TearDown() override { gProcessAllViewers = multi; }

  bool multi = false;
  std::string dir, path;
  TadvancedImage cell;
};

}  // namespace

TEST_F(CellExport, TheSurfaceWithABlackBorder) {
  ASSERT_TRUE(cell.LoadFile(path, 1));
  cell.Zoom(400);  // zoomed in: only the visible part, as shown
  cell.Action = VAMeasureLine;
  cellfix::Drag(cell, {100, 300}, {500, 300});
  const QImage surface = cell.Surface();
  const std::string out = dir + "/cell.jpg";
  QString why;
  ASSERT_TRUE(cell.SaveJPEG(QString::fromStdString(out), &why)) << why.toStdString();

  const QByteArray bytes = Read(out);
  EXPECT_NE(bytes.indexOf(QByteArray("\xFF\xC0", 2)), -1);  // baseline frame header
  Decoded d;
  ASSERT_TRUE(Decode(bytes, d));
  EXPECT_EQ(d.width, 600);
  EXPECT_EQ(d.height, 500);
  EXPECT_EQ(d.components, 3);
  EXPECT_FALSE(d.progressive);
  EXPECT_EQ(d.firstQuant, 3);  // the standard luminance table at quality 90

  int border = 0, far = 0;
  double diff = 0;
  for (int y = 0; y < d.height; ++y)
    for (int x = 0; x < d.width; ++x) {
      const bool edge = x < 3 || y < 3 || x >= d.width - 3 || y >= d.height - 3;
      if (edge) {
        border = std::max(border, Luma(d.At(x, y)));
      } else if (x > 6 && y > 6 && x < d.width - 7 && y < d.height - 7) {
        const int e = std::abs(Luma(d.At(x, y)) - Luma(surface.pixel(x, y)));
        diff += e;
        far += e > 60;
      }
    }
  EXPECT_LT(border, 48);  // black, up to the encoder's ringing
  EXPECT_LT(diff / (586.0 * 486.0), 3.0);
  EXPECT_LT(far, 200);
  // The measurement line (on image pixels, so near y = 300), where the
  // surface has it; red is dark in luma.
  int line = -1;
  for (int y = 280; y < 320 && line < 0; ++y)
    if (surface.pixel(300, y) == qRgb(255, 0, 0)) line = y;
  ASSERT_GE(line, 0);
  EXPECT_LT(Luma(d.At(300, line)), Luma(d.At(300, line + 8)) - 30);
}

TEST_F(CellExport, ReplacesOrFailsWithoutDamage) {
  ASSERT_TRUE(cell.LoadFile(path, 1));
  const std::string out = dir + "/twice.jpg";
  ASSERT_TRUE(cell.SaveJPEG(QString::fromStdString(out)));
  const QByteArray first = Read(out);
  cell.Invert();
  ASSERT_TRUE(cell.SaveJPEG(QString::fromStdString(out)));
  EXPECT_NE(Read(out), first);
  EXPECT_EQ(QDir(QString::fromStdString(dir)).entryList(QDir::Files).size(), 2);  // no leftovers

  QString why;
  EXPECT_FALSE(cell.SaveJPEG(QString::fromStdString(dir + "/missing/x.jpg"), &why));
  EXPECT_FALSE(why.isEmpty());
  std::filesystem::create_directory(dir + "/taken.jpg");
  EXPECT_FALSE(cell.SaveJPEG(QString::fromStdString(dir + "/taken.jpg")));
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/taken.jpg"));

  TadvancedImage empty;  // a cell without an image still has its black surface
  empty.resize(40, 30);
  empty.ResizeImage();
  empty.RenderViewer();
  ASSERT_TRUE(empty.SaveJPEG(QString::fromStdString(dir + "/empty.jpg")));
  Decoded d;
  ASSERT_TRUE(Decode(Read(dir + "/empty.jpg"), d));
  EXPECT_EQ(d.width, 40);
}

TEST_F(CellExport, NoActiveFrameAndTheImagesOwnResolution) {
  ASSERT_TRUE(cell.LoadFile(path, 1));
  cell.setActive(true);
  cell.setSelected(true);
  const QImage surface = cell.Surface();
  // The surface has the red active frame; its right and bottom sides lie
  // inside the export's black border.
  ASSERT_EQ(surface.pixel(594, 200), qRgb(255, 0, 0));
  ASSERT_EQ(surface.pixel(300, 494), qRgb(255, 0, 0));
  const std::string out = dir + "/active.jpg";
  ASSERT_TRUE(cell.SaveJPEG(QString::fromStdString(out)));
  Decoded d;
  ASSERT_TRUE(Decode(Read(out), d));
  for (QPoint at : {QPoint(594, 200), QPoint(300, 494)}) {
    const QRgb p = d.At(at.x(), at.y());
    EXPECT_LT(qRed(p) - qGreen(p), 30) << at.x() << "," << at.y();  // the grey ramp, not red
  }
  const QImage picture = cell.Picture();
  EXPECT_EQ(picture.size(), surface.size());
  EXPECT_FALSE(cellfix::Painted(picture.pixel(594, 200), Qt::red));
  EXPECT_FALSE(cellfix::Painted(picture.pixel(1, 200), QColor(240, 202, 178)));

  // At the image's own resolution: 64 x 48, the ramp pixel for pixel, with
  // the annotations where they lie on the image.
  cell.Zoom(250);
  cell.Rotate90();
  cell.Rotate270();
  cell.Action = VALine;
  const QPoint a = cell.ImageToView(QPoint(-20, 0)), b = cell.ImageToView(QPoint(20, 0));
  cellfix::Drag(cell, a, b);
  const QImage own = cell.Picture(true);
  ASSERT_EQ(own.size(), QSize(64, 48));
  for (int x : {0, 10, 63}) EXPECT_EQ(cellfix::Grey(own, x, 47), 40 + 3 * x) << x;
  EXPECT_TRUE(cellfix::Painted(own.pixel(32, 24), gSettings().AnnotationColor));
  EXPECT_EQ(cell.ImageToView(QPoint(-20, 0)), a);  // the cell's view is as it was
  const std::string jpg = dir + "/own.jpg", png = dir + "/own.png";
  ASSERT_TRUE(cell.SaveJPEG(QString::fromStdString(jpg), nullptr, true));
  ASSERT_TRUE(Decode(Read(jpg), d));
  EXPECT_EQ(QSize(d.width, d.height), QSize(64, 48));
  EXPECT_GT(Luma(d.At(0, 47)), 25);  // no black border over the image's own pixels
  ASSERT_TRUE(cell.SavePNG(QString::fromStdString(png), nullptr, true));
  const QImage read(QString::fromStdString(png));
  ASSERT_EQ(read.size(), QSize(64, 48));
  EXPECT_EQ(cellfix::Grey(read, 10, 47), 70);  // lossless
  ASSERT_TRUE(cell.SavePNG(QString::fromStdString(dir + "/cell.png")));
  EXPECT_EQ(QImage(QString::fromStdString(dir + "/cell.png")).size(), QSize(600, 500));

  TadvancedImage empty;  // no image: no resolution of its own
  EXPECT_TRUE(empty.Picture(true).isNull());
  QString why;
  EXPECT_FALSE(empty.SavePNG(QString::fromStdString(dir + "/none.png"), &why, true));
  EXPECT_FALSE(why.isEmpty());
}
