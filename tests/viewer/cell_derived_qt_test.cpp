// Segment fills in the cell's display bitmap: outline and fill on the pixels
// the segmentation names, turning with the image, and following the store's
// styles (opacity 0 leaves the outline, hidden leaves nothing); reformatted
// planes take them by position.
#include <gtest/gtest.h>

#include <QApplication>

#include <dcmtk/dcmdata/dctk.h>

#include "cell_fixtures.h"
#include "derived/Segmentation.h"
#include "viewer/AdvancedImage.h"
#include "viewer/DerivedObjectStore.h"
#include "viewer/Viewer.h"
#include "volume/VolumeBuilder.h"
#include "volume/VolumeInput.h"
#include "volume/volume_fixtures.h"

using cellfix::Image;

namespace {

struct SegSpec {
  int rows = 6, columns = 8;
  std::string sourceUid = "1.2.3.4.5.6";  // empty: none
  bool placed = false;                    // orientation, spacing and a position
  std::array<double, 3> position{};
  std::string frameOfReference;
  std::vector<bool> set;  // row by row
};

// The fixture image's (SOP instance 1.2.3.4.5.6, 8 x 6) segment 1 covers
// rows 1-3 x columns 2-4.
SegSpec BoxOnFixture() {
  SegSpec s;
  s.set.assign(48, false);
  for (int r = 1; r <= 3; ++r)
    for (int c = 2; c <= 4; ++c) s.set[size_t(r * 8 + c)] = true;
  return s;
}

std::string WriteSeg(const std::string& path, const SegSpec& spec) {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  ds.putAndInsertString(DCM_SOPClassUID, kSegmentationClass);
  ds.putAndInsertString(DCM_SOPInstanceUID, "1.2.3.77");
  ds.putAndInsertString(DCM_Modality, "SEG");
  if (!spec.frameOfReference.empty())
    ds.putAndInsertString(DCM_FrameOfReferenceUID, spec.frameOfReference.c_str());
  ds.putAndInsertString(DcmTagKey(0x0062, 0x0001), "BINARY");
  ds.putAndInsertUint16(DCM_Rows, Uint16(spec.rows));
  ds.putAndInsertUint16(DCM_Columns, Uint16(spec.columns));
  ds.putAndInsertUint16(DCM_BitsAllocated, 1);
  ds.putAndInsertString(DCM_NumberOfFrames, "1");
  DcmItem* segment = nullptr;
  ds.findOrCreateSequenceItem(DcmTagKey(0x0062, 0x0002), segment, 0);
  segment->putAndInsertUint16(DcmTagKey(0x0062, 0x0004), 1);
  segment->putAndInsertString(DcmTagKey(0x0062, 0x0005), "Box");
  if (spec.placed) {
    DcmItem* shared = nullptr;
    ds.findOrCreateSequenceItem(DCM_SharedFunctionalGroupsSequence, shared, 0);
    DcmItem* orientation = nullptr;
    shared->findOrCreateSequenceItem(DCM_PlaneOrientationSequence, orientation, 0);
    orientation->putAndInsertString(DCM_ImageOrientationPatient, "1\\0\\0\\0\\1\\0");
    DcmItem* measures = nullptr;
    shared->findOrCreateSequenceItem(DCM_PixelMeasuresSequence, measures, 0);
    measures->putAndInsertString(DCM_PixelSpacing, "1\\1");
    measures->putAndInsertString(DCM_SliceThickness, "2");
  }
  DcmItem* frame = nullptr;
  ds.findOrCreateSequenceItem(DCM_PerFrameFunctionalGroupsSequence, frame, 0);
  DcmItem* id = nullptr;
  frame->findOrCreateSequenceItem(DcmTagKey(0x0062, 0x000A), id, 0);
  id->putAndInsertUint16(DcmTagKey(0x0062, 0x000B), 1);
  if (!spec.sourceUid.empty()) {
    DcmItem* derivation = nullptr;
    frame->findOrCreateSequenceItem(DCM_DerivationImageSequence, derivation, 0);
    DcmItem* source = nullptr;
    derivation->findOrCreateSequenceItem(DCM_SourceImageSequence, source, 0);
    source->putAndInsertString(DCM_ReferencedSOPInstanceUID, spec.sourceUid.c_str());
  }
  if (spec.placed) {
    DcmItem* plane = nullptr;
    frame->findOrCreateSequenceItem(DCM_PlanePositionSequence, plane, 0);
    const std::string at = std::to_string(spec.position[0]) + "\\" +
                           std::to_string(spec.position[1]) + "\\" +
                           std::to_string(spec.position[2]);
    plane->putAndInsertString(DCM_ImagePositionPatient, at.c_str());
  }
  std::vector<Uint8> bits((spec.set.size() + 7) / 8, 0);
  for (size_t i = 0; i < spec.set.size(); ++i)
    if (spec.set[i]) bits[i / 8] |= Uint8(1u << (i % 8));
  ds.putAndInsertUint8Array(DCM_PixelData, bits.data(), bits.size());
  EXPECT_TRUE(file.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
  return path;
}

class CellSegments : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    cell.resize(400, 300);
    cell.ResizeImage();
    Image s;
    s.columns = 8;
    s.rows = 6;
    s.values.assign(48, 0);  // one grey
    image = cellfix::Write(dir, "i.dcm", s);
    seg = WriteSeg(dir + "/seg.dcm", BoxOnFixture());
  }
  void TearDown() override { TDerivedObjectStore::Instance().Reset(); }

  std::string dir, image, seg;
  TadvancedImage cell;
};

const QRgb kColour = qRgb(230, 25, 75);  // the palette's first colour
// 40 % of the colour over grey.
QRgb Fill(QRgb grey) {
  const auto mix = [](int g, int c) { return (g * 153 + c * 102 + 127) / 255; };
  return qRgb(mix(qRed(grey), 230), mix(qGreen(grey), 25), mix(qBlue(grey), 75));
}

TEST_F(CellSegments, FillAndOutlineTurnWithTheImageAndFollowTheStyles) {
  ASSERT_TRUE(cell.LoadFile(image, 1));
  const QRgb grey = cell.Bitmap().pixel(0, 0);
  const QRgb fill = Fill(grey);
  std::string why;
  ASSERT_TRUE(TDerivedObjectStore::Instance().AttachToCell(cell, seg, why)) << why;
  QImage b = cell.Bitmap();
  EXPECT_EQ(b.pixel(2, 1), kColour);  // outline
  EXPECT_EQ(b.pixel(4, 3), kColour);
  EXPECT_EQ(b.pixel(3, 2), fill);  // inside
  EXPECT_EQ(b.pixel(1, 2), grey);
  EXPECT_EQ(b.pixel(5, 2), grey);

  // A quarter turn clockwise: image pixel (x, y) shows at (5 - y, x).
  cell.Rotate90();
  b = cell.Bitmap();
  ASSERT_EQ(b.size(), QSize(6, 8));
  EXPECT_EQ(b.pixel(4, 2), kColour);
  EXPECT_EQ(b.pixel(3, 3), fill);
  // Loaded again into the turned cell: composited into the turned bitmap.
  ASSERT_TRUE(cell.LoadFile(image, 1));
  b = cell.Bitmap();
  EXPECT_EQ(b.pixel(4, 2), kColour);
  EXPECT_EQ(b.pixel(3, 3), fill);
  EXPECT_EQ(b.pixel(0, 0), grey);

  TDerivedObjectStore::Instance().SetOpacity(seg, 0, 0);
  b = cell.Bitmap();
  EXPECT_EQ(b.pixel(4, 2), kColour);
  EXPECT_EQ(b.pixel(3, 3), grey);
  TDerivedObjectStore::Instance().SetVisible(seg, 0, false);
  b = cell.Bitmap();
  EXPECT_EQ(b.pixel(4, 2), grey);
  // Forgotten: nothing drawn, and a window change does not bring it back.
  TDerivedObjectStore::Instance().SetVisible(seg, 0, true);
  EXPECT_EQ(cell.Bitmap().pixel(4, 2), kColour);
  TDerivedObjectStore::Instance().Reset();
  EXPECT_EQ(cell.Bitmap().pixel(4, 2), grey);
}

TEST_F(CellSegments, ASegmentationOfAnotherImageIsNotDrawnAndSaysSo) {
  ASSERT_TRUE(cell.LoadFile(image, 1));
  const QImage before = cell.Bitmap();
  std::string why;
  TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  SegSpec other = BoxOnFixture();
  other.sourceUid = "1.2.3.4.5.7";
  const std::string elsewhere = WriteSeg(dir + "/elsewhere.dcm", other);
  EXPECT_FALSE(store.AttachToCell(cell, elsewhere, why));
  EXPECT_NE(why.find("nothing in it lies on this image"), std::string::npos) << why;
  EXPECT_EQ(store.Segmentations().size(), 1u);  // kept for the images it names
  EXPECT_EQ(cell.Bitmap(), before);
  EXPECT_FALSE(store.AttachToCell(cell, image, why));  // an image is no segmentation
  EXPECT_EQ(store.Segmentations().size(), 1u);
}

// A segmentation of one slice, placed by position only, crosses the coronal
// and sagittal planes of the series' MPR view in one line of pixels.
TEST(CellSegmentsMpr, ReformattedPlanesShowTheSliceTheyCross) {
  const std::string dir = testsupport::TempDir("cell-segments-mpr");
  volfix::SeriesSpec spec;
  spec.columns = 20;
  spec.rows = 16;
  spec.slices = 12;
  spec.rowSpacing = spec.columnSpacing = 1.0;
  spec.step = {0, 0, 2.0};
  spec.frameOfReference = "1.2.826.0.1.3680043.8.498.77";
  volfix::WriteSeries(dir + "/series", spec);
  std::vector<TVolumeFrame> frames;
  std::string why;
  ASSERT_TRUE(FramesFromPath(dir + "/series", frames, why)) << why;
  TDecodingFrameSource source;
  std::shared_ptr<TVolume> volume = BuildVolume(std::move(frames), source, why);
  ASSERT_TRUE(volume) << why;
  auto link = std::make_shared<TMprLink>(volume);
  std::array<std::unique_ptr<TViewer>, 3> viewers;
  for (int k = 0; k < 3; ++k) {
    viewers[size_t(k)] = std::make_unique<TViewer>();
    viewers[size_t(k)]->resize(320, 320);
    viewers[size_t(k)]->show();
    QApplication::processEvents();
    ASSERT_TRUE(viewers[size_t(k)]->AdvancedImage()->ShowMprPlane(link, TPlaneKind(k)));
  }

  SegSpec seg;
  seg.rows = 16;
  seg.columns = 20;
  seg.sourceUid.clear();
  seg.placed = true;
  seg.position = {spec.first.x, spec.first.y, spec.first.z + 2.0 * 5};  // slice 6
  seg.frameOfReference = spec.frameOfReference;
  seg.set.assign(320, true);
  TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  ASSERT_TRUE(store.Add(WriteSeg(dir + "/seg.dcm", seg), why)) << why;
  for (TPlaneKind kind : {TPlaneKind::Coronal, TPlaneKind::Sagittal}) {
    SCOPED_TRACE(int(kind));
    const QImage b = viewers[size_t(kind)]->AdvancedImage()->Bitmap();
    // The planes' rows are 1 mm apart: the 2 mm slice covers two of them,
    // all outline.
    int rows = 0, other = 0;
    for (int y = 0; y < b.height(); ++y) {
      int n = 0;
      for (int x = 0; x < b.width(); ++x) n += b.pixel(x, y) == kColour;
      if (n == b.width())
        ++rows;
      else
        other += n;
    }
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(other, 0);
  }
  store.Reset();
}

}  // namespace
