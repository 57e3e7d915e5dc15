// The header reader on exact fixtures: encodings and file layouts, transfer
// syntaxes, bit depths, icons, value rules, LUTs, overlays and record reuse.
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "dicom/dicom.h"
#include "support/fixtures.h"
#include "support/paths.h"

using namespace fixtures;
using dicomwriter::DicomFileOptions;

namespace {

ImageSpec Encoding(bool explicitVR, bool little) {
  ImageSpec s;
  s.explicitVR = explicitVR;
  s.littleEndian = little;
  return s;
}

// Offset of the first pixel value byte: after the Pixel Data element's header.
long PixelValueOffset(const Bytes& f, bool explicitVR, bool little) {
  const long tag = FindTag(f, 0x7FE00010, little);
  return tag < 0 ? -1 : tag + (explicitVR ? 12 : 8);
}

void ExpectSmallImage(const ReadOutcome& o) {
  EXPECT_TRUE(o.hdrOK);
  EXPECT_TRUE(o.imgOK);
  EXPECT_EQ(o.header.XYZdim, (std::array<int, 4>{4, 3, 1, 1}));
  EXPECT_EQ(o.header.Allocbits_per_pixel, 16);
  EXPECT_EQ(o.header.Storedbits_per_pixel, 16);
  EXPECT_EQ(o.header.SamplesPerPixel, 1);
  EXPECT_EQ(o.header.Monochrome, 2);
  EXPECT_EQ(o.header.PatientName, "DOE JOHN");
  EXPECT_EQ(o.header.PatientID, "123456");
  EXPECT_EQ(o.header.PatientIDint, 123456);
  EXPECT_EQ(o.header.modality, "CT");
  EXPECT_EQ(o.header.Study_Instance_UID, "1 2 3 4 ");  // dots become blanks, padding stays
  EXPECT_DOUBLE_EQ(o.header.XYZmm[0], 0.25);
  EXPECT_DOUBLE_EQ(o.header.XYZmm[1], 0.5);
  EXPECT_EQ(o.header.ImageSz, 4 * 3 * 2);
  EXPECT_TRUE(o.messages.empty());
}

// A header-only data set padded so the whole file has exactly `size` bytes.
Bytes FileOfSize(size_t size) {
  DicomWriter head;
  head.Text(0x00080060, "CS", "MR");
  head.US(0x00280010, {1});
  head.US(0x00280011, {1});
  DicomWriter tail;
  tail.OW(0x7FE00010, {7});
  const size_t fixed = head.Size() + tail.Size() + 12;  // + the padding element's header
  DicomWriter w;
  w.Raw(head.Bytes());
  w.OB(0x00111010, Bytes(size - fixed, 0));
  w.Raw(tail.Bytes());
  return w.Bytes();
}

}  // namespace

TEST(Reader, EveryEncodingAndFileLayout) {
  for (bool explicitVR : {true, false}) {
    for (bool little : {true, false}) {
      if (!explicitVR && !little) continue;
      SCOPED_TRACE(std::string(explicitVR ? "explicit " : "implicit ") + (little ? "LE" : "BE"));
      ImageSpec desc;
      desc.explicitVR = explicitVR;
      desc.littleEndian = little;
      const Bytes f = SmallImageFile(desc);
      const ReadOutcome o = ReadHeader(f);
      ExpectSmallImage(o);
      EXPECT_EQ(o.header.ImageStart, PixelValueOffset(f, explicitVR, little));
      EXPECT_EQ(o.header.little_endian, little ? 1 : 0);
      EXPECT_EQ(o.header.Implementation_Class_UID, "2 25 227316307114380735851307391541848915683");
    }
  }

  DicomWriter ds;
  AddImageHeader(ds, {});
  AddNativePixels(ds, {});
  DicomFileOptions noPreamble;
  noPreamble.preamble = false;
  const Bytes dicmAtZero = dicomwriter::BuildDicomFile(ds, noPreamble);
  ExpectSmallImage(ReadHeader(dicmAtZero));
  EXPECT_EQ(ReadHeader(dicmAtZero).header.ImageStart, PixelValueOffset(dicmAtZero, true, true));

  // Files of 300 bytes or less are not read: headerless fixtures get padding.
  DicomWriter headerless;
  AddImageHeader(headerless, {});
  headerless.OB(0x00111010, Bytes(300, 0));
  AddNativePixels(headerless, {});
  ExpectSmallImage(ReadHeader(headerless.Bytes()));

  // Headerless big-endian starting with (0008,0000): its first group reads 0x0800.
  DicomWriter be(true, false);
  be.UL(0x00080000, {0});
  AddImageHeader(be, {});
  be.OB(0x00111010, Bytes(300, 0));
  AddNativePixels(be, {});
  const ReadOutcome b = ReadHeader(be.Bytes());
  ExpectSmallImage(b);
  EXPECT_EQ(b.header.little_endian, 0);

  // Headerless data set starting with a group that is not 0-4 or 8.
  DicomWriter other;
  other.Text(0x00100010, "PN", "X");
  AddImageHeader(other, {});
  other.OB(0x00111010, Bytes(300, 0));
  AddNativePixels(other, {});
  const ReadOutcome n = ReadHeader(other.Bytes());
  EXPECT_FALSE(n.hdrOK);
  EXPECT_FALSE(n.imgOK);
}

TEST(Reader, FilesOf300BytesOrLessAreNotRead) {
  const Bytes f300 = FileOfSize(300), f301 = FileOfSize(301);
  ASSERT_EQ(f300.size(), 300u);
  ASSERT_EQ(f301.size(), 301u);
  EXPECT_FALSE(ReadHeader(f300).imgOK);
  EXPECT_FALSE(ReadHeader(f300).hdrOK);
  const ReadOutcome o = ReadHeader(f301);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_TRUE(o.imgOK);
  EXPECT_EQ(o.header.ImageStart, 299);
  EXPECT_FALSE(ReadHeader(Bytes()).imgOK);
}

TEST(Reader, MissingAndUnreadableFiles) {
  DICOMdata h;
  bool hdrOK = true, imgOK = true;
  ReadDicomHeader(testsupport::TempDir("missing") + "/none.dcm", true, h, hdrOK, imgOK);
  EXPECT_FALSE(hdrOK);
  EXPECT_FALSE(imgOK);
  EXPECT_THROW(ReadDicomHeader(testsupport::TempDir("dir_as_file"), true, h, hdrOK, imgOK),
               EDicomReadError);

  const std::string path = WriteFile(testsupport::TempDir("from_file"), "a.dcm", SmallImageFile());
  ReadDicomHeader(path, true, h, hdrOK, imgOK);
  EXPECT_TRUE(hdrOK);
  EXPECT_TRUE(imgOK);
  EXPECT_EQ(h, ReadHeader(SmallImageFile()).header);
}

// The meta group's explicit VRs switch VR detection on and it stays on for an
// implicit data set; an implicit length whose low bytes spell a VR is then
// taken as one. Here a private value of 0x4955 ("UI") bytes is entered, so
// the Patient's Sex written inside it is read.
TEST(Reader, ImplicitDataSetAfterExplicitMetaGroup) {
  DicomWriter inner(false, true);
  inner.Text(0x00100040, "CS", "F");
  const size_t rest = 0x4955 - inner.Size() - 8;
  inner.ElementWithLength(0x00111011, "", uint32_t(rest), Bytes(rest, 0));
  ASSERT_EQ(inner.Size(), 0x4955u);

  ImageSpec desc;
  desc.explicitVR = false;
  DicomWriter w(false, true);
  w.ElementWithLength(0x00090010, "", 0x4955, inner.Bytes());
  AddImageHeader(w, desc);
  AddNativePixels(w, desc);
  const ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kImplicitVRLittleEndian));
  ExpectSmallImage(o);
  EXPECT_EQ(o.header.PatientSex, "F ");
}

TEST(Reader, TransferSyntaxes) {
  const struct {
    const char* uid;
    bool lossless, lossy, j2k, rle, imgOK;
    const char* message;
  } cases[] = {
      {"1.2.840.10008.1.2.4.50", false, true, false, false, true, nullptr},
      {"1.2.840.10008.1.2.4.57", true, false, false, false, true, nullptr},
      {"1.2.840.10008.1.2.4.70", true, false, false, false, true, nullptr},
      {"1.2.840.10008.1.2.4.80", false, true, false, false, true, nullptr},  // JPEG-LS
      {"1.2.840.10008.1.2.4.90", false, false, true, false, true, nullptr},
      {"1.2.840.10008.1.2.4.91", false, false, true, false, true, nullptr},
      {"1.2.840.10008.1.2.5", false, false, false, true, true, nullptr},
      {"1.2.840.10008.1.2.4", false, false, false, false, false, "Unknown Transfer Syntax: JPEG?"},
      {"1.2.840.10008.1.2.4.5", false, false, false, false, false,
       "Unknown Transfer Syntax: JPEG?"},
      {"1.2.840.10008.1.2.3", false, false, false, false, false,
       "Unable to extract unknown data type: 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    const ReadOutcome o = ReadHeader(EncapsulatedFile({}, c.uid, Fragments({2000})));
    EXPECT_TRUE(o.hdrOK);
    EXPECT_EQ(o.imgOK, c.imgOK);
    EXPECT_EQ(o.header.JPEGlosslessCpt, c.lossless);
    EXPECT_EQ(o.header.JPEGlossyCpt, c.lossy);
    EXPECT_EQ(o.header.JPEGJ2k, c.j2k);
    EXPECT_EQ(o.header.RunLengthEncoding, c.rle);
    // The UID is kept as read, without its padding byte.
    EXPECT_EQ(o.header.TransferSyntaxUID, c.uid);
    EXPECT_EQ(o.messages,
              c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
  }
  // Deflate is read as explicit little endian (and its data set is then noise).
  ImageSpec desc;
  const ReadOutcome d = ReadHeader(SmallImageFile(desc, "1.2.840.10008.1.2.1.99"));
  ExpectSmallImage(d);
  EXPECT_EQ(d.header.little_endian, 1);

  // Without frame tables a JPEG image is not displayable: no message, the walk
  // ends at the pixel data.
  const Bytes jpeg = EncapsulatedFile({}, dicomwriter::kJPEGBaseline, Fragments({2000}));
  const ReadOutcome nt = ReadHeader(jpeg, false);
  EXPECT_TRUE(nt.hdrOK);
  EXPECT_FALSE(nt.imgOK);
  EXPECT_FALSE(nt.header.JPEGlossyCpt);
  EXPECT_TRUE(nt.messages.empty());
  EXPECT_EQ(nt.header.gECATJPEG_table_entries, 0);
}

// The private syntax 1.2.840.113619.5.2 cuts every later length to 16 bits and
// makes the pixel data big-endian.
TEST(Reader, PrivateBigEndianSyntaxWith16BitLengths) {
  DicomWriter w(false, true);
  w.ElementWithLength(0x00080060, "", 0x00010002, {'M', 'R'});
  ImageSpec desc = Encoding(false, true);
  desc.modality = "";
  AddImageHeader(w, desc);
  AddNativePixels(w, desc);
  const ReadOutcome o = ReadHeader(Part10(w, "1.2.840.113619.5.2"));
  EXPECT_TRUE(o.hdrOK);
  EXPECT_EQ(o.header.modality, "MR");
  EXPECT_EQ(o.header.little_endian, 0);
  EXPECT_EQ(o.header.XYZdim[0], 4);
}

TEST(Reader, PaletteTablesFloatPixelDataAndThePhotometricTextAreKept) {
  ImageSpec desc;
  desc.bitsAllocated = desc.bitsStored = 8;
  desc.photometric = "PALETTE COLOR";
  DicomWriter w;
  AddImageHeader(w, desc);
  w.US(0x00281101, {0, 16, 16});  // 0 entries stand for 65536
  w.US(0x00281102, {4, 0, 8});
  w.US(0x00281103, {4, 0, 8});
  w.OW(0x00281201, {1, 2, 3});
  w.OB(0x00281202, {10, 20, 30, 40});
  w.OW(0x00281223, {0, 2, 5, 7});  // segmented: also recorded by position
  AddNativePixels(w, desc);
  ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  ASSERT_TRUE(o.imgOK);
  const TPixelModule& p = o.header.Pixel;
  EXPECT_EQ(p.photometric, "PALETTE COLOR");
  EXPECT_EQ(o.header.Monochrome, 3);
  EXPECT_EQ(p.palette[0].entries, 0);
  EXPECT_EQ(p.palette[0].firstMapped, 16);
  EXPECT_EQ(p.palette[0].bits, 16);
  ASSERT_TRUE(p.palette[0].data && p.palette[1].data && p.palette[2].data);
  EXPECT_EQ(*p.palette[0].data, (std::vector<uint8_t>{1, 0, 2, 0, 3, 0}));
  EXPECT_EQ(*p.palette[1].data, (std::vector<uint8_t>{10, 20, 30, 40}));
  EXPECT_TRUE(p.palette[2].segmented);
  EXPECT_EQ(p.palette[2].data->size(), 8u);
  EXPECT_EQ(o.header.RLEblueSz, 8);
  EXPECT_EQ(o.header.XYZdim[0], 4);  // the walk went on after the segmented data
  // Two reads of one file compare equal, the shared tables by content.
  EXPECT_TRUE(o.header == ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian)).header);

  // Float Pixel Data ends the walk like Pixel Data and names its width.
  desc = ImageSpec{};
  desc.bitsAllocated = desc.bitsStored = 32;
  DicomWriter f;
  AddImageHeader(f, desc);
  f.FL(0x7FE00008, {1.5f, -2.0f, 0.25f, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  o = ReadHeader(Part10(f, dicomwriter::kExplicitVRLittleEndian));
  ASSERT_TRUE(o.imgOK);
  EXPECT_EQ(o.header.Pixel.floatBits, 32);
  EXPECT_EQ(o.header.ImageSz, 48);
  const Bytes file = Part10(f, dicomwriter::kExplicitVRLittleEndian);
  EXPECT_EQ(o.header.ImageStart, int64_t(file.size()) - 48);
}

TEST(Reader, UnsupportedBitDepthsAreReportedOnce) {
  ImageSpec desc;
  desc.bitsAllocated = 4;
  desc.bitsStored = 4;
  const ReadOutcome o = ReadHeader(SmallImageFile(desc));
  EXPECT_TRUE(o.hdrOK);  // the walk went on to the pixel data
  EXPECT_FALSE(o.imgOK);
  EXPECT_EQ(o.messages, std::vector<std::string>{"This software only reads 8, 12 and 16 bit DICOM "
                                                 "files. This file allocates 4 bits per voxel."});
  // 1, 32 and 64 bits are read; wide stored depths stay as they are.
  for (int bits : {1, 32, 64}) {
    SCOPED_TRACE(bits);
    desc.bitsAllocated = bits;
    desc.bitsStored = bits == 64 ? 64 : bits == 32 ? 24 : 1;
    const ReadOutcome deep = ReadHeader(SmallImageFile(desc));
    EXPECT_TRUE(deep.imgOK);
    EXPECT_TRUE(deep.messages.empty());
    EXPECT_EQ(deep.header.Allocbits_per_pixel, bits);
    EXPECT_EQ(deep.header.SamplesPerPixel, 1);
    EXPECT_EQ(deep.header.Pixel.bitsAllocated, bits);
    EXPECT_EQ(deep.header.Pixel.bitsStored, desc.bitsStored);
  }
  desc.bitsAllocated = 16;
  desc.bitsStored = 30;
  const ReadOutcome s = ReadHeader(SmallImageFile(desc));
  EXPECT_FALSE(s.imgOK);
  EXPECT_EQ(s.header.Storedbits_per_pixel, 30);
  EXPECT_EQ(s.messages,
            std::vector<std::string>{"This software can only read 8, 12 and 16 bit "
                                     "DICOM files. This file stores 30 bits per voxel."});
  // 24 bits allocated stand for 8-bit RGB; bits stored round up to 8, 16, 24.
  desc.bitsAllocated = 24;
  desc.bitsStored = 9;
  const ReadOutcome rgb = ReadHeader(SmallImageFile(desc));
  EXPECT_EQ(rgb.header.Allocbits_per_pixel, 8);
  EXPECT_EQ(rgb.header.SamplesPerPixel, 3);
  EXPECT_EQ(rgb.header.Storedbits_per_pixel, 16);
}

// Values written in the other byte order than the tags: the bit depths give it
// away and dimensions, samples and depths are swapped after the walk.
TEST(Reader, ByteSwappedBitDepths) {
  DicomWriter w;
  w.Text(0x00080060, "CS", "MR");
  w.US(0x00280002, {0x0100});
  w.US(0x00280010, {0x0300});
  w.US(0x00280011, {0x0400});
  w.US(0x00280100, {0x1000});
  w.US(0x00280101, {0x0C00});
  w.OW(0x7FE00010, std::vector<uint16_t>(12));
  const ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  EXPECT_TRUE(o.hdrOK);
  EXPECT_TRUE(o.imgOK);
  EXPECT_EQ(o.header.XYZdim, (std::array<int, 4>{4, 3, 1, 1}));
  EXPECT_EQ(o.header.SamplesPerPixel, 1);
  EXPECT_EQ(o.header.Allocbits_per_pixel, 16);
  EXPECT_EQ(o.header.Storedbits_per_pixel, 12);
}

// An icon image sequence after the image's own description: the header keeps
// the main image, for undefined and defined item lengths alike.
TEST(Reader, IconImageSequenceDoesNotReplaceTheImage) {
  for (bool undefinedItem : {true, false}) {
    DicomWriter w;
    AddImageHeader(w, {});
    w.BeginSequence(0x00880200, true);
    w.BeginItem(undefinedItem);
    w.US(0x00280002, {1});
    w.US(0x00280010, {2});
    w.US(0x00280011, {2});
    w.US(0x00280100, {8});
    w.US(0x00280101, {8});
    w.OB(0x7FE00010, Bytes(4, 9));
    w.EndItem();
    w.EndSequence();
    AddNativePixels(w, {});
    const Bytes f = Part10(w, dicomwriter::kExplicitVRLittleEndian);
    const ReadOutcome o = ReadHeader(f);
    ExpectSmallImage(o);
    EXPECT_EQ(o.header.ImageStart, FindTag(f, 0x7FE00010, true, FindTag(f, 0xFFFEE0DD)) + 12);
  }
}

TEST(Reader, NumericValueRules) {
  DicomWriter w;
  w.Text(0x00080020, "DA", "20240131");
  w.Text(0x00080030, "TM", "101530.25");
  w.Text(0x00080050, "SH", "ACC-77");
  w.Text(0x00080008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
  w.Text(0x00100030, "DA", "19700102");
  w.Text(0x00180050, "DS", "2.5");
  w.Text(0x00180088, "DS", "3.0");
  w.Text(0x00181063, "DS", "33.3");
  w.Text(0x00200013, "IS", " 7 ");
  w.Text(0x00200032, "DS", "-1.5\\2\\3e1");
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\0.8\\-0.6");
  w.US(0x00280010, {3});
  w.US(0x00280011, {4});
  w.Text(0x00280030, "DS", "0.7");  // one number: the second stays at its default
  w.Text(0x00281050, "DS", "40.5\\10");
  w.Text(0x00281051, "DS", "1e12");
  w.Text(0x00281052, "DS", "");
  w.Text(0x00281053, "DS", "0");
  w.OW(0x7FE00010, std::vector<uint16_t>(12));
  const ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  const DICOMdata& h = o.header;
  ASSERT_TRUE(o.hdrOK);
  EXPECT_EQ(h.StudyDate, "20240131");
  EXPECT_EQ(h.studydate_formated, "31/01/2024");
  EXPECT_EQ(h.StudyDatePos,
            FindTag(Part10(w, dicomwriter::kExplicitVRLittleEndian), 0x00080020) + 8);
  EXPECT_EQ(h.Study_Time, "101530:25 ");
  EXPECT_EQ(h.accession, -77);
  EXPECT_EQ(h.imageType, "AXIAL");
  EXPECT_EQ(h.PatientBirthDate, "02/01/1970");
  EXPECT_DOUBLE_EQ(h.XYZmm[2], 3.0);  // spacing between slices wins over thickness
  EXPECT_FLOAT_EQ(h.spacing, 3.0f);
  EXPECT_FLOAT_EQ(h.frame_time, 33.3f);
  EXPECT_EQ(h.ImageNum, 7);
  EXPECT_EQ(h.image_Postion, (std::array<double, 3>{-1.5, 2, 30}));
  EXPECT_EQ(h.IMAGE_ORIENTATION_PATIENT, (std::array<double, 6>{1, 0, 0, 0, 0.8, -0.6}));
  EXPECT_DOUBLE_EQ(h.XYZmm[1], 0.7);
  EXPECT_DOUBLE_EQ(h.XYZmm[0], 2.0);
  EXPECT_EQ(h.WindowCenter, 40.5);  // the first value, not rounded
  EXPECT_EQ(h.WindowWidth, 1e12);
  EXPECT_FLOAT_EQ(h.IntenIntercept, 1.0f);  // an empty value gives the reader's default
  EXPECT_FLOAT_EQ(h.IntenScale, 1.0f);
  EXPECT_EQ(h.XYZdim[2], 1);
}

TEST(Reader, FrameCountsAndWindowsOfZeroLength) {
  for (const char* frames : {"0", "-3", "x"}) {
    DicomWriter w;
    w.Text(0x00080060, "CS", "CT");
    w.Text(0x00280008, "IS", frames);
    w.US(0x00280010, {1});
    w.US(0x00280011, {1});
    w.Text(0x00281050, "DS", "");
    w.Text(0x00281051, "DS", "");
    w.Text(0x00281053, "DS", "-2");
    w.Text(0x00281052, "DS", "-1024");
    w.OB(0x00111010, Bytes(300, 0));
    w.OW(0x7FE00010, {0});
    const ReadOutcome o = ReadHeader(w.Bytes());
    EXPECT_TRUE(o.hdrOK);
    EXPECT_EQ(o.header.XYZdim[2], 1) << frames;
    EXPECT_EQ(o.header.WindowCenter, 0);
    EXPECT_EQ(o.header.WindowWidth, 0);
    EXPECT_FLOAT_EQ(o.header.IntenScale, 1.0f);
    EXPECT_FLOAT_EQ(o.header.IntenIntercept, -1024.0f);
  }
}

TEST(Reader, OrientationThatDoesNotConvertFailsTheRead) {
  DicomWriter w;
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00200032, "DS", "1\\2.2.2\\3");  // a bad position keeps what converted before it
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0.0.0");
  w.OB(0x00111010, Bytes(300, 0));
  w.OW(0x7FE00010, {0});
  DICOMdata h;
  EXPECT_THROW(ReadDicomHeaderFromMemory(w.Bytes().data(), w.Bytes().size(), true, h),
               EDicomValueError);
  EXPECT_EQ(h.image_Postion[0], 1.0);
  EXPECT_EQ(h.image_Postion[1], 0.0);
}

TEST(Reader, FirstElementByteOrderProbe) {
  // Implicit big-endian data set starting with a group-length element: its
  // length reads 0x04000000 little-endian, so the walk turns big-endian.
  DicomWriter be(false, false);
  be.UL(0x00020000, {0});
  AddImageHeader(be, Encoding(false, false));
  be.OB(0x00111010, Bytes(300, 0));
  AddNativePixels(be, Encoding(false, false));
  const ReadOutcome o = ReadHeader(be.Bytes());
  ExpectSmallImage(o);
  EXPECT_EQ(o.header.little_endian, 0);

  // A big-endian group followed by a little-endian length turns back, loudly.
  DicomWriter mixed(false, true);
  mixed.Raw(std::string("\x00\x08\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00", 12));
  mixed.OB(0x00111010, Bytes(300, 0));
  const ReadOutcome m = ReadHeader(mixed.Bytes());
  EXPECT_EQ(m.messages, std::vector<std::string>{"Switching to little endian"});
}

TEST(Reader, LookupTableFromTheVoiLutSequence) {
  for (int signedPixels : {1, 0}) {
    ImageSpec desc;
    desc.pixelRepresentation = signedPixels;
    DicomWriter w;
    AddImageHeader(w, desc);
    w.BeginSequence(0x00283010);
    w.BeginItem();
    w.US(0x00283002, {4, uint16_t(-1024), 16});
    w.OW(0x00283006, {10, 20, 30, 0xFFFF});
    w.EndItem();
    w.BeginItem();  // only the first item is read
    w.US(0x00283002, {2, 0, 8});
    w.EndItem();
    w.EndSequence();
    AddNativePixels(w, desc);
    const ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
    ExpectSmallImage(o);
    EXPECT_EQ(o.header.Lut.LutSize, 4);
    EXPECT_EQ(o.header.Lut.LutBitsPerPixel, 16);
    EXPECT_EQ(o.header.Lut.LutOffset, signedPixels ? -1024 : 64512);
    EXPECT_EQ(o.header.Lut.Lutdata, (std::vector<int32_t>{10, 20, 30, 65535}));
  }
  // A descriptor size of 0 means 65536 entries; the table holds what the value holds.
  DicomWriter w;
  AddImageHeader(w, {});
  w.BeginSequence(0x00283010, true);
  w.BeginItem(true);
  w.US(0x00283002, {0, 0, 16});
  w.OW(0x00283006, {1, 2, 3});
  w.EndItem();
  w.EndSequence();
  AddNativePixels(w, {});
  const ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  ExpectSmallImage(o);
  EXPECT_EQ(o.header.Lut.LutSize, 3);
  EXPECT_EQ(o.header.Lut.Lutdata, (std::vector<int32_t>{1, 2, 3}));
}

TEST(Reader, EmptyVoiLutSequenceIsSkippedWhole) {
  DicomWriter w;
  AddImageHeader(w, {});
  w.BeginSequence(0x00283010);
  w.EndSequence();
  AddNativePixels(w, {});
  ExpectSmallImage(ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian)));
}

TEST(Reader, OverlayPlane) {
  DicomWriter w;
  AddImageHeader(w, {});
  w.US(0x60000010, {2});
  w.US(0x60000011, {8});
  w.Text(0x60000040, "CS", "G");
  w.SS(0x60000050, {1, 3});
  w.US(0x60000100, {1});
  w.US(0x60000102, {0});
  w.OW(0x60003000, {0x0201});
  AddNativePixels(w, {});
  const ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  ExpectSmallImage(o);
  EXPECT_EQ(o.header.overlay_rows, 2);
  EXPECT_EQ(o.header.overlay_columns, 8);
  EXPECT_EQ(o.header.overlay_type, "G ");
  EXPECT_EQ(o.header.overlay_orgin_1, 1);
  EXPECT_EQ(o.header.overlay_orgin_2, 3);
  EXPECT_EQ(o.header.overlay_bits_allocated, 1);
  EXPECT_EQ(o.header.overlay_data_bytes, (Bytes{1, 2}));

  // Overlay data claiming 4 GB: only what the file holds is taken.
  DicomWriter big;
  AddImageHeader(big, {});
  big.ElementWithLength(0x60003000, "OW", 0xFFFFFFF0u, Bytes(500, 7));
  const ReadOutcome b = ReadHeader(Part10(big, dicomwriter::kExplicitVRLittleEndian));
  EXPECT_FALSE(b.hdrOK);
  EXPECT_EQ(b.header.overlay_data_bytes, Bytes(500, 7));
}

// Empty word values are skipped instead of shifting the walk into the next
// element.
TEST(Reader, EmptyWordValuesDoNotDerailTheWalk) {
  DicomWriter w;
  AddImageHeader(w, {});
  w.Element(0x00280006, "US", nullptr, 0);
  w.Element(0x00280106, "US", nullptr, 0);
  AddNativePixels(w, {});
  const ReadOutcome o = ReadHeader(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  ExpectSmallImage(o);
  EXPECT_TRUE(o.header.MinIntensitySet);
  EXPECT_EQ(o.header.MinIntensity, 0);
}

TEST(Reader, ReusedRecordKeepsOnlyUnresetFields) {
  DicomWriter a;
  a.Text(0x00080008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
  a.Text(0x0020000D, "UI", "1.2.3");
  a.Text(0x00200032, "DS", "1\\2\\3");
  ImageSpec specA;
  specA.studyUid = "";
  specA.windowCenter = "50";
  specA.windowWidth = "400";
  AddImageHeader(a, specA);
  a.BeginSequence(0x00283010);
  a.BeginItem();
  a.US(0x00283002, {1, 0, 16});
  a.OW(0x00283006, {5});
  a.EndItem();
  a.EndSequence();
  AddNativePixels(a, {});
  const Bytes fileA = Part10(a, dicomwriter::kExplicitVRLittleEndian);
  ImageSpec specB;
  specB.patientName = "B";
  specB.studyUid = "";
  const Bytes fileB = SmallImageFile(specB);

  DICOMdata reused;
  ReadDicomHeaderFromMemory(fileA.data(), fileA.size(), true, reused);
  ASSERT_EQ(reused.WindowWidth, 400);
  ReadDicomHeaderFromMemory(fileB.data(), fileB.size(), true, reused);
  const DICOMdata fresh = ReadHeader(fileB).header;
  EXPECT_EQ(reused.WindowWidth, 0);
  EXPECT_EQ(reused.PatientName, "B");
  EXPECT_EQ(reused.XYZdim, fresh.XYZdim);
  // Kept from the first file.
  EXPECT_EQ(reused.imageType, "AXIAL");
  EXPECT_EQ(reused.Study_Instance_UID, "1 2 3 ");
  EXPECT_EQ(reused.image_Postion, (std::array<double, 3>{1, 2, 3}));
  EXPECT_EQ(reused.Lut.Lutdata, std::vector<int32_t>{5});
  EXPECT_TRUE(fresh.Lut.Lutdata.empty());
  // Reading the same file twice gives the same record.
  DICOMdata twice = fresh;
  ReadDicomHeaderFromMemory(fileB.data(), fileB.size(), true, twice);
  EXPECT_EQ(twice, fresh);
}

TEST(Reader, ProcessEventsHookRunsOnlyOnItsThread) {
  int calls = 0;
  SetDicomProcessEventsHook([&] { ++calls; });
  ReadHeader(SmallImageFile());
  const int onOwnThread = calls;
  std::thread([] { ReadHeader(SmallImageFile()); }).join();
  SetDicomProcessEventsHook({});
  ReadHeader(SmallImageFile());
  EXPECT_GE(onOwnThread, 1);
  EXPECT_EQ(calls, onOwnThread);
}
