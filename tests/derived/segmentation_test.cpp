// Segmentations read into segments, frames and masks: binary frames packed
// bit after bit across byte boundaries, fractional ones byte by byte, colours
// from CIELab or the palette, references from the per-frame groups, and
// damaged files read as far as their own pixel data goes.
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dctk.h>

#include <vector>

#include "derived/Segmentation.h"
#include "support/paths.h"

namespace {

struct SegSpec {
  const char* type = "BINARY";
  Uint16 rows = 3, columns = 5, bits = 1;
  int framesDeclared = 3;
  std::vector<Uint8> pixels;
  bool withColour = true;
  bool withPositions = true;
  bool geometryPerFrame = false;  // orientation and pixel measures in each frame's groups
};

// Frame k: segment k % 2 + 1, derived from image "1.2.3.<k+1>" frame k+1,
// at z = 2k.
std::string WriteSeg(const std::string& name, const SegSpec& spec) {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  ds.putAndInsertString(DCM_SOPClassUID, kSegmentationClass);
  ds.putAndInsertString(DCM_SOPInstanceUID, "1.2.3.99");
  ds.putAndInsertString(DCM_Modality, "SEG");
  ds.putAndInsertString(DCM_FrameOfReferenceUID, "1.2.3.50");
  ds.putAndInsertString(DcmTagKey(0x0062, 0x0001), spec.type);
  ds.putAndInsertUint16(DCM_Rows, spec.rows);
  ds.putAndInsertUint16(DCM_Columns, spec.columns);
  ds.putAndInsertUint16(DCM_BitsAllocated, spec.bits);
  ds.putAndInsertString(DCM_NumberOfFrames, std::to_string(spec.framesDeclared).c_str());
  if (std::string(spec.type) == "FRACTIONAL") ds.putAndInsertUint16(DcmTagKey(0x0062, 0x000E), 100);
  for (Uint16 n = 1; n <= 2; ++n) {
    DcmItem* s = nullptr;
    ds.findOrCreateSequenceItem(DcmTagKey(0x0062, 0x0002), s, -2);
    s->putAndInsertUint16(DcmTagKey(0x0062, 0x0004), n);
    s->putAndInsertString(DcmTagKey(0x0062, 0x0005), n == 1 ? "Liver" : "Tumour");
    if (spec.withColour && n == 1) {
      // Pure white in DICOM's scaled CIELab.
      const Uint16 lab[3] = {65535, 32896, 32896};
      s->putAndInsertUint16Array(DcmTagKey(0x0062, 0x000D), lab, 3);
    }
  }
  const auto putGeometry = [](DcmItem* groups) {
    DcmItem* orientation = nullptr;
    groups->findOrCreateSequenceItem(DCM_PlaneOrientationSequence, orientation, 0);
    orientation->putAndInsertString(DCM_ImageOrientationPatient, "1\\0\\0\\0\\1\\0");
    DcmItem* measures = nullptr;
    groups->findOrCreateSequenceItem(DCM_PixelMeasuresSequence, measures, 0);
    measures->putAndInsertString(DCM_PixelSpacing, "0.5\\0.75");
    measures->putAndInsertString(DCM_SliceThickness, "2");
  };
  DcmItem* shared = nullptr;
  ds.findOrCreateSequenceItem(DCM_SharedFunctionalGroupsSequence, shared, 0);
  if (!spec.geometryPerFrame) putGeometry(shared);
  for (int k = 0; k < spec.framesDeclared; ++k) {
    DcmItem* f = nullptr;
    ds.findOrCreateSequenceItem(DCM_PerFrameFunctionalGroupsSequence, f, -2);
    if (spec.geometryPerFrame) putGeometry(f);
    DcmItem* id = nullptr;
    f->findOrCreateSequenceItem(DcmTagKey(0x0062, 0x000A), id, 0);
    id->putAndInsertUint16(DcmTagKey(0x0062, 0x000B), Uint16(k % 2 + 1));
    DcmItem* derivation = nullptr;
    f->findOrCreateSequenceItem(DCM_DerivationImageSequence, derivation, 0);
    DcmItem* source = nullptr;
    derivation->findOrCreateSequenceItem(DCM_SourceImageSequence, source, 0);
    source->putAndInsertString(DCM_ReferencedSOPInstanceUID,
                               ("1.2.3." + std::to_string(k + 1)).c_str());
    source->putAndInsertString(DCM_ReferencedFrameNumber, std::to_string(k + 1).c_str());
    if (spec.withPositions) {
      DcmItem* plane = nullptr;
      f->findOrCreateSequenceItem(DCM_PlanePositionSequence, plane, 0);
      plane->putAndInsertString(DCM_ImagePositionPatient,
                                ("0\\0\\" + std::to_string(2 * k)).c_str());
    }
  }
  ds.putAndInsertUint8Array(DCM_PixelData, spec.pixels.data(), spec.pixels.size());
  const std::string path = testsupport::TempDir("segmentation") + "/" + name;
  EXPECT_TRUE(file.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
  return path;
}

// Sets bit `bit` of a packed binary buffer, least significant bit first.
void SetBit(std::vector<Uint8>& bytes, size_t bit) {
  bytes[bit >> 3] |= Uint8(1u << (bit & 7));
}

}  // namespace

TEST(Segmentation, BinaryFramesArePackedAcrossByteBoundaries) {
  SegSpec spec;  // 3 frames of 15 pixels: 45 bits in 6 bytes
  spec.pixels.assign(6, 0);
  SetBit(spec.pixels, 0);        // frame 1, first pixel
  SetBit(spec.pixels, 15 + 7);   // frame 2, pixel 7 (row 1, column 2): crosses into byte 2
  SetBit(spec.pixels, 30 + 14);  // frame 3, last pixel
  std::string why;
  TSegmentation seg;
  ASSERT_TRUE(ReadSegmentation(WriteSeg("binary.dcm", spec), seg, why)) << why;
  EXPECT_FALSE(seg.fractional);
  ASSERT_EQ(seg.frames.size(), 3u);
  std::vector<uint8_t> mask;
  const size_t expected[3] = {0, 7, 14};
  for (size_t k = 0; k < 3; ++k) {
    ASSERT_TRUE(SegmentFrameMask(seg, k, mask));
    ASSERT_EQ(mask.size(), 15u);
    for (size_t i = 0; i < 15; ++i) EXPECT_EQ(mask[i], i == expected[k] ? 1 : 0) << k << "," << i;
  }
  EXPECT_FALSE(SegmentFrameMask(seg, 3, mask));

  // Segments, colours, references and geometry.
  ASSERT_EQ(seg.segments.size(), 2u);
  EXPECT_EQ(seg.segments[0].label, "Liver");
  EXPECT_TRUE(seg.segments[0].recommendedColour);
  for (uint8_t c : seg.segments[0].rgb) EXPECT_GE(c, 254);  // CIELab white is sRGB white
  EXPECT_FALSE(seg.segments[1].recommendedColour);
  EXPECT_EQ(seg.segments[1].rgb, SegmentPaletteColour(2));
  EXPECT_EQ(seg.frames[1].segment, 2);
  EXPECT_EQ(seg.frames[1].sourceSopUid, "1.2.3.2");
  EXPECT_EQ(seg.frames[1].sourceFrame, 2);
  ASSERT_TRUE(seg.frames[2].hasPosition);
  EXPECT_DOUBLE_EQ(seg.frames[2].position[2], 4.0);
  EXPECT_TRUE(seg.hasOrientation);
  EXPECT_TRUE(seg.hasSpacing);
  EXPECT_DOUBLE_EQ(seg.spacing[1], 0.75);
  EXPECT_DOUBLE_EQ(seg.sliceThickness, 2.0);
  EXPECT_EQ(seg.frameOfReferenceUid, "1.2.3.50");
  EXPECT_TRUE(seg.skipped.empty());
}

TEST(Segmentation, GeometryGivenPerFrameCountsForTheWholeSegmentation) {
  SegSpec spec;
  spec.geometryPerFrame = true;
  spec.pixels.assign(6, 0);
  std::string why;
  TSegmentation seg;
  ASSERT_TRUE(ReadSegmentation(WriteSeg("per-frame-geometry.dcm", spec), seg, why)) << why;
  EXPECT_TRUE(seg.hasOrientation);
  EXPECT_DOUBLE_EQ(seg.orientation[4], 1.0);
  EXPECT_TRUE(seg.hasSpacing);
  EXPECT_DOUBLE_EQ(seg.spacing[0], 0.5);
  EXPECT_DOUBLE_EQ(seg.sliceThickness, 2.0);
}

TEST(Segmentation, FractionalFramesAreBytesCappedAtTheirMaximum) {
  SegSpec spec;
  spec.type = "FRACTIONAL";
  spec.bits = 8;
  spec.framesDeclared = 2;
  spec.pixels.assign(30, 0);
  spec.pixels[3] = 50;
  spec.pixels[15 + 14] = 255;  // beyond the maximum of 100
  std::string why;
  TSegmentation seg;
  ASSERT_TRUE(ReadSegmentation(WriteSeg("fractional.dcm", spec), seg, why)) << why;
  EXPECT_TRUE(seg.fractional);
  EXPECT_EQ(seg.maxFractional, 100);
  std::vector<uint8_t> mask;
  ASSERT_TRUE(SegmentFrameMask(seg, 0, mask));
  EXPECT_EQ(mask[3], 50);
  ASSERT_TRUE(SegmentFrameMask(seg, 1, mask));
  EXPECT_EQ(mask[14], 100);
}

TEST(Segmentation, DamagedFilesAreReadAsFarAsTheirPixelDataGoes) {
  std::string why;
  TSegmentation seg;
  // A million frames claimed, two held: two read, the rest reported once.
  SegSpec many;
  many.pixels.assign(4, 0xFF);  // 32 bits: two frames of 15
  many.withPositions = false;
  // Only the first frames carry groups (the writer would make a million).
  many.framesDeclared = 3;
  const std::string path = WriteSeg("many.dcm", many);
  {
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(path.c_str()).good());
    file.getDataset()->putAndInsertString(DCM_NumberOfFrames, "1000000");
    ASSERT_TRUE(file.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
  }
  ASSERT_TRUE(ReadSegmentation(path, seg, why)) << why;
  EXPECT_EQ(seg.frames.size(), 2u);
  EXPECT_LE(seg.pixels.size(), 4u);
  ASSERT_EQ(seg.skipped.size(), 1u);
  EXPECT_NE(seg.skipped[0].find("beyond the end of the pixel data"), std::string::npos);

  // Pixel data too short for one frame, a wrong depth, or not a segmentation.
  SegSpec tiny;  // 64 bits a frame, 16 held
  tiny.rows = tiny.columns = 8;
  tiny.pixels.assign(2, 0);
  EXPECT_FALSE(ReadSegmentation(WriteSeg("tiny.dcm", tiny), seg, why));
  EXPECT_NE(why.find("not one frame"), std::string::npos) << why;
  SegSpec deep;
  deep.bits = 8;
  deep.pixels.assign(45, 0);
  EXPECT_FALSE(ReadSegmentation(WriteSeg("deep.dcm", deep), seg, why));
  EXPECT_NE(why.find("bits allocated"), std::string::npos) << why;
  SegSpec labels;
  labels.type = "LABELS";
  labels.pixels.assign(6, 0);
  EXPECT_FALSE(ReadSegmentation(WriteSeg("labels.dcm", labels), seg, why));
  const std::string ct = testsupport::TempDir("segmentation") + "/ct.dcm";
  {
    DcmFileFormat file;
    file.getDataset()->putAndInsertString(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.2");
    ASSERT_TRUE(file.saveFile(ct.c_str(), EXS_LittleEndianExplicit).good());
  }
  EXPECT_FALSE(ReadSegmentation(ct, seg, why));
  EXPECT_NE(why.find("not a segmentation"), std::string::npos) << why;
}

TEST(Segmentation, CieLabColoursBecomeSrgb) {
  // Black, and a saturated red (L 53, a 80, b 67 in D50, per the ICC PCS).
  EXPECT_EQ(CieLabToSrgb(0, 32896, 32896), (std::array<uint8_t, 3>{0, 0, 0}));
  const auto lab = [](double l, double a, double b) {
    return CieLabToSrgb(uint16_t(l * 65535 / 100), uint16_t((a + 128) * 65535 / 255),
                        uint16_t((b + 128) * 65535 / 255));
  };
  const auto red = lab(54.3, 80.8, 69.9);
  EXPECT_GE(red[0], 250);
  EXPECT_LE(red[1], 20);
  EXPECT_LE(red[2], 20);
  EXPECT_NE(SegmentPaletteColour(1), SegmentPaletteColour(2));
  EXPECT_EQ(SegmentPaletteColour(1), SegmentPaletteColour(17));  // the palette repeats
}
