// Vendor rules: Siemens mosaics, MERGE and MEDIFACE files, private elements
// that end or re-enter the walk.
#include <gtest/gtest.h>

#include "support/fixtures.h"

using namespace fixtures;

namespace {

// An image header of the given size followed by whatever `extra` writes and a
// token pixel value (the reader stops at its start).
Bytes Image(int columns, int rows, const std::function<void(DicomWriter&)>& extra,
            const dicomwriter::DicomFileOptions& options = {}) {
  ImageSpec desc;
  desc.columns = columns;
  desc.rows = rows;
  DicomWriter w;
  AddImageHeader(w, desc);
  extra(w);
  w.OW(0x7FE00010, {0});
  return dicomwriter::BuildDicomFile(w, options);
}

}  // namespace

TEST(Mosaic, TilesFromTheSiemensMatrix) {
  const struct {
    int size;
    const char* matrix;
    int tiles;
  } cases[] = {
      {384, "64\\64", 6}, {256, "256\\256", 1}, {4, "1", 2}, {384, "48\\64", 6}, {100, "64", 1}};
  for (const auto& c : cases) {
    for (uint32_t tag : {0x00191220u, 0x001914D4u}) {
      const ReadOutcome o =
          ReadHeader(Image(c.size, c.size, [&](DicomWriter& w) { w.Text(tag, "DS", c.matrix); }));
      ASSERT_TRUE(o.hdrOK);
      EXPECT_EQ(o.header.SiemensMosaicX, c.tiles) << c.matrix;
      EXPECT_EQ(o.header.SiemensMosaicY, c.tiles) << c.matrix;
    }
  }
}

TEST(Mosaic, TilesFromPhaseStepsOfAMosaicImageType) {
  const ReadOutcome o = ReadHeader(Image(384, 384, [](DicomWriter& w) {
    w.Text(0x00080008, "CS", "ORIGINAL\\PRIMARY\\M\\ND\\MOSAIC");
    w.Text(0x00180089, "IS", "64");
  }));
  EXPECT_EQ(o.header.SiemensMosaicX, 6);
  EXPECT_EQ(o.header.SiemensMosaicY, 6);
  // Not a mosaic: the phase steps alone change nothing.
  const ReadOutcome plain =
      ReadHeader(Image(384, 384, [](DicomWriter& w) { w.Text(0x00180089, "IS", "64"); }));
  EXPECT_EQ(plain.header.SiemensMosaicX, 1);
}

TEST(Mosaic, SliceCountAndOrder) {
  const ReadOutcome o = ReadHeader(Image(64, 64, [](DicomWriter& w) {
    w.Text(0x00211341, "IS", "36");
    w.Text(0x0021134F, "CS", "INTERLEAVED");
  }));
  EXPECT_EQ(o.header.SiemensSlices, 36);
  EXPECT_EQ(o.header.SiemensInterleaved, 1);
  const ReadOutcome a =
      ReadHeader(Image(64, 64, [](DicomWriter& w) { w.Text(0x0021134F, "CS", "ASCENDING"); }));
  EXPECT_EQ(a.header.SiemensInterleaved, 0);
  EXPECT_EQ(ReadHeader(Image(64, 64, [](DicomWriter&) {})).header.SiemensInterleaved, 2);
}

TEST(Merge, AcquisitionMatrixScalesThePixelSize) {
  const ReadOutcome o = ReadHeader(Image(384, 384, [](DicomWriter& w) {
    w.Text(0x00090010, "LO", "MERGE_MEDICAL");
    w.US(0x00181310, {0, 64, 64, 0});
  }));
  // Pixel spacing written by the fixture is 0.5\0.25; one tile is 64 pixels.
  EXPECT_EQ(o.header.SiemensMosaicX, 6);
  EXPECT_DOUBLE_EQ(o.header.XYZmm[0], 0.25 * 6);
  EXPECT_DOUBLE_EQ(o.header.XYZmm[1], 0.5 * 6);

  ImageSpec desc;
  desc.columns = desc.rows = 384;
  desc.pixelSpacing = "3.75\\3.75";
  DicomWriter w;
  w.Text(0x00090010, "LO", "MERGE");
  AddImageHeader(w, desc);
  w.US(0x00181310, {0, 64, 64, 0});
  w.OW(0x7FE00010, {0});
  const ReadOutcome m = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  EXPECT_DOUBLE_EQ(m.header.XYZmm[0], 22.5);
  EXPECT_DOUBLE_EQ(m.header.XYZmm[1], 22.5);

  // Another creator: the acquisition matrix is not a tile size.
  const ReadOutcome other = ReadHeader(Image(384, 384, [](DicomWriter& w) {
    w.Text(0x00090010, "LO", "MERG1");
    w.US(0x00181310, {0, 64, 64, 0});
  }));
  EXPECT_EQ(other.header.SiemensMosaicX, 1);
  EXPECT_DOUBLE_EQ(other.header.XYZmm[0], 0.25);
}

// MEDIFACE 1.5 writes wrong sequence lengths: its referenced image sequences
// are entered instead of skipped.
TEST(Mediface, ReferencedImageSequenceIsEntered) {
  const auto sequence = [](DicomWriter& w) {
    w.BeginSequence(0x00081140);
    w.BeginItem();
    w.Text(0x00081150, "UI", "1.2.3");
    w.Text(0x00100010, "PN", "INNER");
    w.OB(0x00111010, Bytes(1000, 0));
    w.EndItem();
    w.EndSequence();
  };
  const auto build = [&](const std::string& version) {
    ImageSpec desc;
    desc.patientName = "";
    DicomWriter w;
    AddImageHeader(w, desc);
    sequence(w);
    w.OW(0x7FE00010, {0});
    dicomwriter::DicomFileOptions o;
    o.implementationVersionName = version;
    return dicomwriter::BuildDicomFile(w, o);
  };
  const ReadOutcome m = ReadHeader(build("MEDIFACE 1.5"));
  EXPECT_TRUE(m.hdrOK);
  EXPECT_EQ(m.header.PatientName, "INNER");
  const ReadOutcome other = ReadHeader(build("OTHER 1.5"));
  EXPECT_TRUE(other.hdrOK);
  EXPECT_EQ(other.header.PatientName, "NO NAME");
}

TEST(PrivateElements, EndMarkersAndReEnteredValues) {
  // (DDFF,00E0) ends the walk at its value.
  DicomWriter e;
  AddImageHeader(e, {});
  e.OB(0xDDFF00E0, Bytes(16, 1));
  const Bytes endFile = Part10(e, dicomwriter::kExplicitVRLittleEndian);
  const ReadOutcome o = ReadHeader(endFile);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_EQ(o.header.ImageStart, FindTag(endFile, 0xDDFF00E0) + 12);

  // (0041,1050) reaching exactly to the end of the file is read from its 9th byte on.
  DicomWriter inner;
  inner.US(0x00280010, {7});
  inner.OW(0x7FE00010, {0});
  Bytes value(8, 0xAB);
  value.insert(value.end(), inner.Bytes().begin(), inner.Bytes().end());
  DicomWriter last;
  AddImageHeader(last, {});
  last.OB(0x00411050, value);
  const ReadOutcome l = ReadHeader(Part10(last, dicomwriter::kExplicitVRLittleEndian));
  EXPECT_TRUE(l.hdrOK);
  EXPECT_EQ(l.header.XYZdim[1], 7);
}

// (0089,1010) is read as elements and the item inside it is neither a
// fragment nor a header save point.
TEST(PrivateElements, SuppressedItemIsNoFragment) {
  ImageSpec desc;
  DicomWriter w;
  AddImageHeader(w, desc);
  DicomWriter wrapped;
  wrapped.ItemHeader(0xFFFEE000, 3000).Raw(Bytes(3000, 5));
  w.OB(0x00891010, wrapped.Bytes());
  w.Encapsulated({}, Fragments({1500}));
  const Bytes f = Part10(w, dicomwriter::kJPEGLosslessSV1);
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_TRUE(o.imgOK);
  EXPECT_EQ(o.header.CompressSz, 1500);
  ASSERT_EQ(o.header.gECATJPEG_table_entries, 1);
  EXPECT_EQ(o.header.gECATJPEG_size_table[0], 1500);
}

// An explicit-VR element whose raw length field reads 13 holds 10 bytes.
TEST(PrivateElements, LengthThirteenMeansTen) {
  DicomWriter w;
  AddImageHeader(w, {});
  w.Raw(std::string("\x08\x00\x80\x00\x0D\x00\x00\x00", 8)).Raw("ABCDEFGHIJ");
  AddNativePixels(w, {});
  const ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  EXPECT_TRUE(o.hdrOK);
  EXPECT_EQ(o.header.Institute_Name, "ABCDEFGHIJ");
  EXPECT_EQ(o.header.XYZdim[0], 4);
}

TEST(PrivateElements, SiemensHeaderEndsRunLengthFiles) {
  DicomWriter w;
  AddImageHeader(w, {});
  w.OB(0x00291010, Bytes(100, 0));
  w.Encapsulated({}, Fragments({1500}));
  const Bytes f = Part10(w, dicomwriter::kRLELossless);
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_EQ(o.header.ImageStart, FindTag(f, 0x00291010) + 12 + 100);
  EXPECT_EQ(o.header.gECATJPEG_table_entries, 0);
}
