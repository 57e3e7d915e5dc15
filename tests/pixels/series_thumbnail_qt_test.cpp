// Series thumbnails from files: sizes, polarity, raw stored values, the
// header a thumbnail trusts, compressed frames and failures.
#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <string>
#include <vector>

#include "dicom/DicomWriter.h"
#include "dicom/dicom.h"
#include "pixels/FrameCache.h"
#include "pixels/ImageUtilities.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

using dicomwriter::DicomWriter;

struct File {
  int columns = 512, rows = 512, bits = 16;
  std::string photometric = "MONOCHROME2";
  std::string center, width;
  bool lut = false;         // a VOI table mapping every stored value to 4000 - value
  std::vector<int> values;  // row by row; empty: all 0
};

std::string Write(const std::string& dir, const std::string& name, const File& f) {
  DicomWriter w;
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", "1.2.826.0.1.9.1");
  w.Text(0x00080060, "CS", "CT");
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", f.photometric);
  w.US(0x00280010, {uint16_t(f.rows)});
  w.US(0x00280011, {uint16_t(f.columns)});
  w.US(0x00280100, {uint16_t(f.bits)});
  w.US(0x00280101, {uint16_t(f.bits)});
  w.US(0x00280102, {uint16_t(f.bits - 1)});
  w.US(0x00280103, {0});
  if (!f.center.empty()) w.Text(0x00281050, "DS", f.center);
  if (!f.width.empty()) w.Text(0x00281051, "DS", f.width);
  if (f.lut) {
    std::vector<uint16_t> table(2001);
    for (size_t i = 0; i < table.size(); ++i) table[i] = uint16_t(4000 - i);
    w.BeginSequence(0x00283010).BeginItem();
    w.US(0x00283002, {uint16_t(table.size()), 0, 16});
    w.US(0x00283006, table);
    w.EndItem().EndSequence();
  }
  const size_t n = size_t(f.columns) * f.rows;
  std::vector<int> v = f.values;
  v.resize(n, 0);
  if (f.bits == 8) {
    std::vector<uint8_t> px(v.begin(), v.end());
    if (px.size() & 1) px.push_back(0);
    w.OB(0x7FE00010, px);
  } else {
    w.OW(0x7FE00010, std::vector<uint16_t>(v.begin(), v.end()));
  }
  return fixtures::WriteFile(dir, name, fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian));
}

// A tree image as a loader files it: the file's header with its path.
TImg Filed(const std::string& path) {
  TImg im;
  im.imagePath = path;
  bool hdrOK = false, imgOK = false;
  ReadDicomHeader(path, true, im.Cache.DICOM, hdrOK, imgOK);
  EXPECT_TRUE(imgOK) << path;
  im.Cache.DICOM.referenceFile = path;
  im.Cache.gECATposra = im.Cache.DICOM.gECATJPEG_pos_table;
  im.Cache.gECATszra = im.Cache.DICOM.gECATJPEG_size_table;
  return im;
}

TImg Unread(const std::string& path) {
  TImg im;
  im.imagePath = path;
  return im;
}

int Grey(const QImage& img, int x, int y) {
  return img.constScanLine(y)[3 * x];
}

std::string Sample(const std::string& name) {
  return std::string(TAVROLEN_SAMPLE_DIR) + "/" + name;
}

class SeriesThumbnail : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  std::string dir;
};

}  // namespace

TEST_F(SeriesThumbnail, SizesAndTheBoxFilterLevel) {
  File ct;
  ct.center = "40";
  ct.width = "400";
  ct.values.assign(512 * 512, 1000);  // far above the window: white
  QImage t = MakeSeriesThumbnail(Filed(Write(dir, "ct.dcm", ct)));
  ASSERT_EQ(t.size(), QSize(100, 100));
  EXPECT_EQ(Grey(t, 50, 50), 254);  // 255 through the truncated reciprocal

  File us;
  us.columns = 640;
  us.rows = 480;
  us.bits = 8;
  us.values.assign(640 * 480, 77);
  t = MakeSeriesThumbnail(Unread(Write(dir, "us.dcm", us)));
  ASSERT_EQ(t.size(), QSize(100, 75));
  EXPECT_EQ(Grey(t, 0, 0), 76);
  EXPECT_EQ(Grey(t, 99, 74), 76);

  File tall;
  tall.columns = 256;
  tall.rows = 1024;
  tall.bits = 8;
  tall.values.assign(256 * 1024, 0);
  EXPECT_EQ(MakeSeriesThumbnail(Unread(Write(dir, "tall.dcm", tall))).size(), QSize(25, 100));
}

TEST_F(SeriesThumbnail, Monochrome1AndTablesShowStoredValues) {
  // Left half 0, right half 1000, no window: the window spans the data and
  // MONOCHROME1 shows the lowest values white.
  File m1;
  m1.photometric = "MONOCHROME1";
  m1.columns = m1.rows = 200;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) m1.values.push_back(x < 100 ? 0 : 1000);
  QImage t = MakeSeriesThumbnail(Filed(Write(dir, "m1.dcm", m1)));
  ASSERT_EQ(t.size(), QSize(100, 100));
  EXPECT_EQ(Grey(t, 10, 50), 254);
  EXPECT_EQ(Grey(t, 90, 50), 0);

  // A lookup table that turns the picture over is not applied.
  File plain = m1;
  plain.photometric = "MONOCHROME2";
  File table = plain;
  table.lut = true;
  const QImage a = MakeSeriesThumbnail(Filed(Write(dir, "plain.dcm", plain)));
  const QImage b = MakeSeriesThumbnail(Filed(Write(dir, "lut.dcm", table)));
  ASSERT_FALSE(a.isNull());
  EXPECT_EQ(a, b);
  EXPECT_EQ(Grey(b, 10, 50), 0);
}

TEST_F(SeriesThumbnail, HeaderFromTheFileNotFromTheViewer) {
  File f;
  f.columns = f.rows = 200;
  f.center = "500";
  f.width = "1000";
  for (int i = 0; i < 200 * 200; ++i) f.values.push_back(i % 200 * 5);
  const std::string path = Write(dir, "w.dcm", f);
  const QImage expected = MakeSeriesThumbnail(Filed(path));
  ASSERT_FALSE(expected.isNull());
  EXPECT_EQ(MakeSeriesThumbnail(Unread(path)), expected);

  // Frame 1 comes through the shared frame cache: a filed record whose file
  // has gone since still makes its thumbnail from the cached frame.
  const TImg filed = Filed(path);
  std::filesystem::remove(path);
  EXPECT_TRUE(FrameCache::Shared().Contains(path, 1));
  EXPECT_EQ(MakeSeriesThumbnail(filed), expected);
  FrameCache::Shared().Forget(path);
  EXPECT_TRUE(MakeSeriesThumbnail(filed).isNull());
}

TEST_F(SeriesThumbnail, CompressedFramesGoThroughTheDispatch) {
  // Frame 1 of a multi-frame RLE file: the copy keeps only its table entry.
  TImg multi = Filed(Sample("SC_rgb_rle_2frame.dcm"));
  ASSERT_EQ(multi.Cache.gECATposra.size(), 2u);
  const TImg source = ThumbnailSource(multi);
  EXPECT_EQ(source.Cache.gECATposra, std::vector<int64_t>{multi.Cache.gECATposra[0]});
  const QImage rle = MakeSeriesThumbnail(source);
  const QImage raw = MakeSeriesThumbnail(Unread(Sample("SC_rgb_dcmtk_+eb+cr.dcm")));
  ASSERT_FALSE(rle.isNull());
  ASSERT_EQ(rle.size(), raw.size());
  // Both are the same red-green-blue test picture at 100 x 100.
  EXPECT_EQ(rle.pixel(50, 5), raw.pixel(50, 5));

  const QImage mr = MakeSeriesThumbnail(Unread(Sample("MR_small.dcm")));
  EXPECT_EQ(mr.size(), QSize(64, 64));  // small images are not enlarged
  EXPECT_EQ(MakeSeriesThumbnail(Filed(Sample("MR_small_RLE.dcm"))), mr);
  EXPECT_EQ(MakeSeriesThumbnail(Unread(Sample("MR_small_jp2klossless.dcm"))), mr);
}

TEST_F(SeriesThumbnail, FailuresGiveNoPicture) {
  EXPECT_TRUE(MakeSeriesThumbnail(Unread(dir + "/missing.dcm")).isNull());
  EXPECT_TRUE(MakeSeriesThumbnail(TImg{}).isNull());
  File uniform;
  uniform.values.assign(512 * 512, 7);
  EXPECT_TRUE(MakeSeriesThumbnail(Unread(Write(dir, "uniform.dcm", uniform))).isNull());
  // A truncated file: the header reads, the frame does not.
  std::vector<uint8_t> bytes = fixtures::ReadFile(Write(dir, "whole.dcm", File{}));
  const std::string cut =
      fixtures::WriteFile(dir, "cut.dcm", fixtures::Truncated(bytes, bytes.size() / 2));
  EXPECT_TRUE(MakeSeriesThumbnail(Unread(cut)).isNull());
}
