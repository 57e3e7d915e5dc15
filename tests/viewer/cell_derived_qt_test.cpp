// Segment fills in the cell's display bitmap: outline and fill on the pixels
// the segmentation names, turning with the image, and following the store's
// styles (opacity 0 leaves the outline, hidden leaves nothing).
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dctk.h>

#include "cell_fixtures.h"
#include "derived/Segmentation.h"
#include "viewer/AdvancedImage.h"
#include "viewer/DerivedObjectStore.h"

using cellfix::Image;

namespace {

// A binary segmentation of the fixture image (SOP instance 1.2.3.4.5.6,
// 8 x 6): segment 1 covers rows 1-3 x columns 2-4.
std::string WriteSeg(const std::string& dir, const std::string& sourceUid = "1.2.3.4.5.6") {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  ds.putAndInsertString(DCM_SOPClassUID, kSegmentationClass);
  ds.putAndInsertString(DCM_SOPInstanceUID, "1.2.3.77");
  ds.putAndInsertString(DCM_Modality, "SEG");
  ds.putAndInsertString(DcmTagKey(0x0062, 0x0001), "BINARY");
  ds.putAndInsertUint16(DCM_Rows, 6);
  ds.putAndInsertUint16(DCM_Columns, 8);
  ds.putAndInsertUint16(DCM_BitsAllocated, 1);
  ds.putAndInsertString(DCM_NumberOfFrames, "1");
  DcmItem* segment = nullptr;
  ds.findOrCreateSequenceItem(DcmTagKey(0x0062, 0x0002), segment, 0);
  segment->putAndInsertUint16(DcmTagKey(0x0062, 0x0004), 1);
  segment->putAndInsertString(DcmTagKey(0x0062, 0x0005), "Box");
  DcmItem* frame = nullptr;
  ds.findOrCreateSequenceItem(DCM_PerFrameFunctionalGroupsSequence, frame, 0);
  DcmItem* id = nullptr;
  frame->findOrCreateSequenceItem(DcmTagKey(0x0062, 0x000A), id, 0);
  id->putAndInsertUint16(DcmTagKey(0x0062, 0x000B), 1);
  DcmItem* derivation = nullptr;
  frame->findOrCreateSequenceItem(DCM_DerivationImageSequence, derivation, 0);
  DcmItem* source = nullptr;
  derivation->findOrCreateSequenceItem(DCM_SourceImageSequence, source, 0);
  source->putAndInsertString(DCM_ReferencedSOPInstanceUID, sourceUid.c_str());
  std::vector<Uint8> bits(6, 0);
  for (int r = 1; r <= 3; ++r)
    for (int c = 2; c <= 4; ++c) bits[size_t(r * 8 + c) / 8] |= Uint8(1u << ((r * 8 + c) % 8));
  ds.putAndInsertUint8Array(DCM_PixelData, bits.data(), bits.size());
  const std::string path = dir + "/seg" + sourceUid + ".dcm";
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
    seg = WriteSeg(dir);
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
  const std::string elsewhere = WriteSeg(dir, "1.2.3.4.5.7");
  EXPECT_FALSE(store.AttachToCell(cell, elsewhere, why));
  EXPECT_NE(why.find("nothing in it lies on this image"), std::string::npos) << why;
  EXPECT_EQ(store.Segmentations().size(), 1u);  // kept for the images it names
  EXPECT_EQ(cell.Bitmap(), before);
  EXPECT_FALSE(store.AttachToCell(cell, image, why));  // an image is no segmentation
  EXPECT_EQ(store.Segmentations().size(), 1u);
}

}  // namespace
