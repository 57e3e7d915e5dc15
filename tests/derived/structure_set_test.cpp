// RT structure sets read into ROIs and contours: names, colours (given or
// from the palette), points in mm and the images they lie on; contours whose
// data is not whole points, or that belong to no named ROI, are reported and
// left out, and the rest is still read.
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dctk.h>

#include "derived/Segmentation.h"
#include "derived/StructureSet.h"
#include "support/paths.h"

namespace {

DcmItem* AddItem(DcmItem& into, const DcmTagKey& sequence) {
  DcmItem* item = nullptr;
  into.findOrCreateSequenceItem(sequence, item, -2);
  return item;
}

const DcmTagKey kRoiSeq(0x3006, 0x0020), kRoiContourSeq(0x3006, 0x0039),
    kContourSeq(0x3006, 0x0040);

std::string WriteStructureSet() {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  ds.putAndInsertString(DCM_SOPClassUID, kStructureSetClass);
  ds.putAndInsertString(DCM_SOPInstanceUID, "1.2.3.77");
  ds.putAndInsertString(DcmTagKey(0x3006, 0x0002), "PLAN1");
  for (const char* number : {"1", "2"}) {
    DcmItem* roi = AddItem(ds, kRoiSeq);
    roi->putAndInsertString(DcmTagKey(0x3006, 0x0022), number);
    roi->putAndInsertString(DcmTagKey(0x3006, 0x0024), "1.2.3.50");
    roi->putAndInsertString(DcmTagKey(0x3006, 0x0026), number[0] == '1' ? "BODY" : "PTV");
  }
  // ROI 1: a red closed square on image 1.2.3.1, and a contour of 5 values.
  DcmItem* body = AddItem(ds, kRoiContourSeq);
  body->putAndInsertString(DcmTagKey(0x3006, 0x0084), "1");
  body->putAndInsertString(DcmTagKey(0x3006, 0x002A), "255\\0\\0");
  DcmItem* square = AddItem(*body, kContourSeq);
  square->putAndInsertString(DcmTagKey(0x3006, 0x0042), "CLOSED_PLANAR");
  square->putAndInsertString(DcmTagKey(0x3006, 0x0046), "4");
  square->putAndInsertString(DcmTagKey(0x3006, 0x0050),
                             "-10\\-10\\5\\10\\-10\\5\\10\\10\\5\\-10\\10\\5");
  AddItem(*square, DcmTagKey(0x3006, 0x0016))
      ->putAndInsertString(DCM_ReferencedSOPInstanceUID, "1.2.3.1");
  DcmItem* broken = AddItem(*body, kContourSeq);
  broken->putAndInsertString(DcmTagKey(0x3006, 0x0042), "CLOSED_PLANAR");
  broken->putAndInsertString(DcmTagKey(0x3006, 0x0050), "1\\2\\3\\4\\5");
  // ROI 2: no colour, a triangle whose point count is wrong.
  DcmItem* ptv = AddItem(ds, kRoiContourSeq);
  ptv->putAndInsertString(DcmTagKey(0x3006, 0x0084), "2");
  DcmItem* triangle = AddItem(*ptv, kContourSeq);
  triangle->putAndInsertString(DcmTagKey(0x3006, 0x0042), "CLOSED_PLANAR");
  triangle->putAndInsertString(DcmTagKey(0x3006, 0x0046), "1000000");
  triangle->putAndInsertString(DcmTagKey(0x3006, 0x0050), "0\\0\\7.5\\1\\0\\7.5\\0\\1\\7.5");
  // Contours of an ROI nobody named.
  AddItem(ds, kRoiContourSeq)->putAndInsertString(DcmTagKey(0x3006, 0x0084), "9");
  const std::string path = testsupport::TempDir("structure_set") + "/rs.dcm";
  EXPECT_TRUE(file.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
  return path;
}

}  // namespace

TEST(StructureSet, RoisContoursAndColoursAreReadAndFaultsReportedOnce) {
  TStructureSet set;
  std::string why;
  ASSERT_TRUE(ReadStructureSet(WriteStructureSet(), set, why)) << why;
  EXPECT_EQ(set.label, "PLAN1");
  ASSERT_EQ(set.rois.size(), 2u);
  const TRoi& body = set.rois[0];
  EXPECT_EQ(body.name, "BODY");
  EXPECT_EQ(body.frameOfReferenceUid, "1.2.3.50");
  EXPECT_TRUE(body.displayColour);
  EXPECT_EQ(body.rgb, (std::array<uint8_t, 3>{255, 0, 0}));
  ASSERT_EQ(body.contours.size(), 1u);  // the 5-value contour is left out
  ASSERT_EQ(body.contours[0].points.size(), 4u);
  EXPECT_EQ(body.contours[0].points[2], (std::array<double, 3>{10, 10, 5}));
  EXPECT_EQ(body.contours[0].imageSopUid, "1.2.3.1");
  EXPECT_EQ(body.contours[0].geometricType, "CLOSED_PLANAR");

  const TRoi& ptv = set.rois[1];
  EXPECT_FALSE(ptv.displayColour);
  EXPECT_EQ(ptv.rgb, SegmentPaletteColour(2));
  ASSERT_EQ(ptv.contours.size(), 1u);
  EXPECT_EQ(ptv.contours[0].points.size(), 3u);  // the data's count, not the claimed million
  EXPECT_DOUBLE_EQ(ptv.contours[0].points[1][0], 1.0);

  // The 5 values, the wrong count, and ROI 9: one sentence each.
  ASSERT_EQ(set.skipped.size(), 3u) << ::testing::PrintToString(set.skipped);
  EXPECT_NE(set.skipped[0].find("not whole points"), std::string::npos);
  EXPECT_NE(set.skipped[1].find("claims 1000000 points and holds 3"), std::string::npos);
  EXPECT_NE(set.skipped[2].find("ROI 9"), std::string::npos);
}

TEST(StructureSet, OtherFilesAndSetsWithoutRoisAreRefused) {
  const std::string dir = testsupport::TempDir("structure_set_refused");
  TStructureSet set;
  std::string why;
  DcmFileFormat empty;
  empty.getDataset()->putAndInsertString(DCM_SOPClassUID, kStructureSetClass);
  ASSERT_TRUE(empty.saveFile((dir + "/empty.dcm").c_str(), EXS_LittleEndianExplicit).good());
  EXPECT_FALSE(ReadStructureSet(dir + "/empty.dcm", set, why));
  EXPECT_NE(why.find("names no ROI"), std::string::npos) << why;
  DcmFileFormat ct;
  ct.getDataset()->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.2");
  ASSERT_TRUE(ct.saveFile((dir + "/ct.dcm").c_str(), EXS_LittleEndianExplicit).good());
  EXPECT_FALSE(ReadStructureSet(dir + "/ct.dcm", set, why));
  EXPECT_FALSE(ReadStructureSet(dir + "/missing.dcm", set, why));
}
