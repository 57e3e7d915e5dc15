#include <gtest/gtest.h>

#include <cstring>

#include "codec_fixtures.h"
#include "dicom/dicom.h"
#include "lossless_encoder.h"
#include "pixels/CodecTable.h"
#include "pixels/FrameDecoder.h"

namespace {

using namespace codectest;

constexpr int64_t kPrefix = 300;  // bytes before the pixel data in every fixture

DICOMdata Header(int columns, int rows, int frames, int bitsAllocated, int samples = 1) {
  DICOMdata h;
  h.XYZdim = {columns, rows, frames, 1};
  h.Allocbits_per_pixel = bitsAllocated;
  h.Storedbits_per_pixel = bitsAllocated;
  h.SamplesPerPixel = samples;
  h.little_endian = 1;
  h.ImageStart = kPrefix;
  return h;
}

std::string WriteFixture(const std::string& dir, const std::string& name, const Bytes& payload) {
  Bytes file(kPrefix, 0x20);
  file.insert(file.end(), payload.begin(), payload.end());
  const std::string path = dir + "/" + name;
  WriteBytes(path, file);
  return path;
}

bool Decode(const std::string& path, const DICOMdata& h, int frame, DecodedFrame& out,
            std::string* why = nullptr, const std::vector<int64_t>& pos = {},
            const std::vector<int64_t>& size = {}) {
  return DecodeFrame(path, h, pos, size, frame, out, why);
}

std::vector<int16_t> Words(std::initializer_list<int> values) {
  std::vector<int16_t> w;
  for (int v : values) w.push_back(static_cast<int16_t>(v));
  return w;
}

TEST(FrameDecoder, UncompressedFramesAreReadAtTheirOffsets) {
  const std::string dir = TestDir();
  // Ten 3 x 2 frames of 16 bits; frame k holds k * 1000 + i.
  Bytes stored;
  for (int k = 1; k <= 10; ++k) {
    for (int i = 0; i < 6; ++i) {
      const int v = k * 1000 + i;
      stored.push_back(static_cast<uint8_t>(v));
      stored.push_back(static_cast<uint8_t>(v >> 8));
    }
  }
  const std::string path = WriteFixture(dir, "ten.raw", stored);
  const DICOMdata h = Header(3, 2, 10, 16);
  DecodedFrame f;
  ASSERT_TRUE(Decode(path, h, 3, f));
  EXPECT_EQ(f.buff16, Words({3000, 3001, 3002, 3003, 3004, 3005}));
  EXPECT_TRUE(f.buff8.empty() && f.buff24.empty());
  ASSERT_TRUE(Decode(path, h, 10, f));
  EXPECT_EQ(f.buff16[5], 10005);
  std::string why;
  EXPECT_FALSE(Decode(path, h, 0, f, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(Decode(path, h, 11, f));
  EXPECT_TRUE(f.buff16.empty());

  // Eight bits: one byte per pixel.
  const DICOMdata h8 = Header(4, 3, 2, 8);
  ASSERT_TRUE(Decode(path, h8, 2, f));
  EXPECT_EQ(f.buff8, Head(Bytes(stored.begin() + 12, stored.end()), 12));
}

TEST(FrameDecoder, BigEndianWordsAreSwappedExceptGenesisFiles) {
  const std::string dir = TestDir();
  const std::string path = WriteFixture(dir, "be.raw", {0x12, 0x34, 0xFF, 0xFE, 0x00, 0x01});
  DICOMdata h = Header(3, 1, 1, 16);
  DecodedFrame f;
  h.little_endian = 0;
  ASSERT_TRUE(Decode(path, h, 1, f));
  EXPECT_EQ(f.buff16, Words({0x1234, -2, 1}));
  h.GenesisCpt = true;  // already in machine order when read
  ASSERT_TRUE(Decode(path, h, 1, f));
  EXPECT_EQ(f.buff16, Words({0x3412, -257, 256}));
  h.GenesisCpt = false;
  h.little_endian = 1;
  ASSERT_TRUE(Decode(path, h, 1, f));
  EXPECT_EQ(f.buff16, Words({0x3412, -257, 256}));
}

TEST(FrameDecoder, ColourByPlaneBecomesInterleaved) {
  const std::string dir = TestDir();
  const std::string path = WriteFixture(dir, "rgb.raw", {1, 2, 3, 11, 12, 13, 21, 22, 23});
  DICOMdata h = Header(3, 1, 1, 8, 3);
  DecodedFrame f;
  ASSERT_TRUE(Decode(path, h, 1, f));
  EXPECT_EQ(f.buff24, (Bytes{1, 2, 3, 11, 12, 13, 21, 22, 23}));
  h.PlanarConfig = 1;
  ASSERT_TRUE(Decode(path, h, 1, f));
  EXPECT_EQ(f.buff24, (Bytes{1, 11, 21, 2, 12, 22, 3, 13, 23}));
}

// Y Cb Cr of pure red, a mid grey and a light grey, and the R, G, B they show.
const Bytes kYbr = {76, 85, 255, 128, 128, 128, 200, 128, 128};
const Bytes kRgb = {254, 0, 0, 128, 128, 128, 200, 200, 200};

TEST(FrameDecoder, StoredYbrFullColourBecomesRgb) {
  const std::string dir = TestDir();
  const std::string path = WriteFixture(dir, "ybr.raw", kYbr);
  DICOMdata h = Header(3, 1, 1, 8, 3);
  h.ImageSz = 9;
  DecodedFrame f;
  ASSERT_TRUE(Decode(path, h, 1, f));
  EXPECT_EQ(f.buff24, kYbr);  // RGB photometric: as stored
  h.Monochrome = 4;
  ASSERT_TRUE(Decode(path, h, 1, f));
  EXPECT_EQ(f.buff24, kRgb);

  // YBR_FULL_422: Y1 Y2 Cb Cr per pair of pixels, two frames of 2 x 2.
  const std::string sub = WriteFixture(dir, "ybr422.raw",
                                       {76, 76, 85, 255, 128, 200, 128, 128,  //
                                        200, 128, 128, 128, 76, 76, 85, 255});
  h = Header(2, 2, 2, 8, 3);
  h.Monochrome = 4;
  h.ImageSz = 16;
  ASSERT_TRUE(Decode(sub, h, 1, f));
  EXPECT_EQ(f.buff24, (Bytes{254, 0, 0, 254, 0, 0, 128, 128, 128, 200, 200, 200}));
  ASSERT_TRUE(Decode(sub, h, 2, f));
  EXPECT_EQ(f.buff24, (Bytes{200, 200, 200, 128, 128, 128, 254, 0, 0, 254, 0, 0}));
}

TEST(FrameDecoder, CompressedYbrFullColourBecomesRgb) {
  const std::string dir = TestDir();
  ImageSpec desc;
  desc.columns = 3;
  desc.rows = 1;
  desc.bitsAllocated = desc.bitsStored = 8;
  desc.samplesPerPixel = 3;
  desc.photometric = "YBR_FULL";
  const std::string raw = WriteDicom(dir, "ybr", desc, kYbr);
  for (const std::string& tool : {std::string("dcmcrle"), std::string("dcmcjpeg +e1")}) {
    SCOPED_TRACE(tool);
    const std::string coded = dir + "/ybr_coded.dcm";
    ASSERT_TRUE(RunTool(tool + " " + Quote(raw) + " " + Quote(coded)));
    DICOMdata h;
    bool hdrOK = false, imgOK = false;
    ReadDicomHeader(coded, true, h, hdrOK, imgOK);
    ASSERT_TRUE(imgOK);
    ASSERT_EQ(h.Monochrome, 4);
    DecodedFrame f;
    std::string why;
    ASSERT_TRUE(Decode(coded, h, 1, f, &why, h.gECATJPEG_pos_table, h.gECATJPEG_size_table)) << why;
    EXPECT_EQ(f.buff24, kRgb);
  }
}

TEST(FrameDecoder, RefusesWhatTheFileCannotHold) {
  const std::string dir = TestDir();
  const std::string path = WriteFixture(dir, "small.raw", Bytes(100, 7));
  DecodedFrame f;
  std::string why;
  // The last frame is short.
  EXPECT_TRUE(Decode(path, Header(5, 5, 4, 8), 4, f));
  EXPECT_FALSE(Decode(path, Header(5, 5, 5, 8), 5, f, &why));
  EXPECT_NE(why.find("beyond the end"), std::string::npos) << why;
  // Absurd dimensions are refused before anything is allocated.
  EXPECT_FALSE(Decode(path, Header(65535, 65535, 1, 16, 3), 1, f));
  EXPECT_FALSE(Decode(path, Header(65535, 65535, 2000000000, 8), 1999999999, f));
  DICOMdata lossless = Header(65535, 65535, 1, 16);
  lossless.JPEGlosslessCpt = true;
  EXPECT_FALSE(Decode(path, lossless, 1, f, &why, {kPrefix}, {100}));
  EXPECT_NE(why.find("cannot come from"), std::string::npos) << why;
  // Depths no buffer holds.
  EXPECT_FALSE(Decode(path, Header(2, 2, 1, 4), 1, f, &why));
  EXPECT_EQ(why, "4 bits per pixel cannot be displayed");
  EXPECT_FALSE(Decode(path, Header(2, 2, 1, 64), 1, f, &why));  // 64-bit integers
  EXPECT_FALSE(Decode(path, Header(2, 2, 1, 8, 2), 1, f, &why));
  EXPECT_EQ(why, "2 samples per pixel cannot be displayed");
  EXPECT_FALSE(Decode(dir + "/missing.raw", Header(2, 2, 1, 8), 1, f, &why));
  EXPECT_NE(why.find("cannot be opened"), std::string::npos) << why;
  // A frame table entry outside the file, or no entry at all.
  lossless = Header(8, 8, 2, 16);
  lossless.JPEGlosslessCpt = true;
  EXPECT_FALSE(Decode(path, lossless, 1, f, &why, {5000}, {40}));
  EXPECT_FALSE(Decode(path, lossless, 2, f, &why, {kPrefix}, {40}));
  EXPECT_NE(why.find("no compressed data"), std::string::npos) << why;
}

// Item header of an encapsulated fragment.
void PutItem(Bytes& file, uint32_t length) {
  file.insert(file.end(), {0xFE, 0xFF, 0x00, 0xE0});
  for (int b = 0; b < 4; ++b) file.push_back(static_cast<uint8_t>(length >> (8 * b)));
}

// A file of encapsulated frames, each split into `pieces` fragments, with
// the frame table the header reader makes: first data byte, total length.
struct Encapsulated {
  std::string path;
  std::vector<int64_t> pos, size;
};
Encapsulated Encapsulate(const std::string& path, const std::vector<Bytes>& frames, int pieces) {
  Encapsulated e;
  e.path = path;
  Bytes file(kPrefix, 0x20);
  PutItem(file, 0);  // empty offset table
  for (const Bytes& frame : frames) {
    const size_t piece = (frame.size() + pieces - 1) / pieces;
    e.size.push_back(static_cast<int64_t>(frame.size()));
    for (size_t at = 0; at < frame.size(); at += piece) {
      const size_t n = std::min(piece, frame.size() - at);
      PutItem(file, static_cast<uint32_t>(n));
      if (at == 0) e.pos.push_back(static_cast<int64_t>(file.size()));
      file.insert(file.end(), frame.begin() + static_cast<std::ptrdiff_t>(at),
                  frame.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
  }
  file.insert(file.end(), {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0});
  WriteBytes(path, file);
  return e;
}

// PackBits of literal runs only, enough for a fixture.
Bytes Literals(const Bytes& plane) {
  Bytes out;
  for (size_t at = 0; at < plane.size(); at += 128) {
    const size_t n = std::min<size_t>(128, plane.size() - at);
    out.push_back(static_cast<uint8_t>(n - 1));
    out.insert(out.end(), plane.begin() + static_cast<std::ptrdiff_t>(at),
               plane.begin() + static_cast<std::ptrdiff_t>(at + n));
  }
  return out;
}

Bytes RleOfWords(const std::vector<uint16_t>& words) {
  Bytes hi, lo;
  for (uint16_t w : words) {
    hi.push_back(static_cast<uint8_t>(w >> 8));
    lo.push_back(static_cast<uint8_t>(w));
  }
  const Bytes s0 = Literals(hi), s1 = Literals(lo);
  Bytes f(64, 0);
  f[0] = 2;
  const uint32_t o1 = 64, o2 = 64 + static_cast<uint32_t>(s0.size());
  std::memcpy(&f[4], &o1, 4);
  std::memcpy(&f[8], &o2, 4);
  f.insert(f.end(), s0.begin(), s0.end());
  f.insert(f.end(), s1.begin(), s1.end());
  return f;
}

std::vector<int16_t> AsWords(const std::vector<uint16_t>& v) {
  return std::vector<int16_t>(v.begin(), v.end());
}

TEST(FrameDecoder, EveryCodecDecodesFramesSplitOverFragments) {
  const std::string dir = TestDir();
  constexpr int kW = 48, kH = 40;
  const auto p1 = TestPicture(kW, kH, 1, 16, 1);
  const auto p2 = TestPicture(kW, kH, 1, 16, 2);
  LosslessOptions o;
  o.precision = 16;
  const std::vector<Bytes> lossless = {EncodeLossless(p1, kW, kH, 1, o),
                                       EncodeLossless(p2, kW, kH, 1, o)};
  const std::vector<Bytes> rle = {RleOfWords(p1), RleOfWords(p2)};

  // 8-bit grey pictures for the library codecs, made by their own tools.
  const auto g8 = TestPicture(kW, kH, 1, 8, 3);
  Bytes pgm = {'P', '5', '\n', '4', '8', ' ', '4', '0', '\n', '2', '5', '5', '\n'};
  pgm.insert(pgm.end(), g8.begin(), g8.end());
  WriteBytes(dir + "/g.pgm", pgm);
  ASSERT_TRUE(RunTool("cjpeg -grayscale -quality 95 -outfile " + Quote(dir + "/g.jpg") + " " +
                      Quote(dir + "/g.pgm")));
  ASSERT_TRUE(RunTool("opj_compress -i " + Quote(dir + "/g.pgm") + " -o " + Quote(dir + "/g.j2k")));
  const Bytes jpeg = ReadBytes(dir + "/g.jpg");
  const Bytes j2k = ReadBytes(dir + "/g.j2k");

  for (int pieces : {1, 3}) {
    SCOPED_TRACE(std::to_string(pieces) + " fragment(s) per frame");
    const std::string tag = std::to_string(pieces);
    DecodedFrame f;
    std::string why;

    DICOMdata h = Header(kW, kH, 2, 16);
    h.JPEGlosslessCpt = true;
    Encapsulated e = Encapsulate(dir + "/lossless" + tag, lossless, pieces);
    ASSERT_TRUE(Decode(e.path, h, 2, f, &why, e.pos, e.size)) << why;
    EXPECT_EQ(f.buff16, AsWords(p2));
    ASSERT_TRUE(Decode(e.path, h, 1, f, &why, e.pos, e.size)) << why;
    EXPECT_EQ(f.buff16, AsWords(p1));

    h = Header(kW, kH, 2, 16);
    h.RunLengthEncoding = true;
    e = Encapsulate(dir + "/rle" + tag, rle, pieces);
    ASSERT_TRUE(Decode(e.path, h, 2, f, &why, e.pos, e.size)) << why;
    EXPECT_EQ(f.buff16, AsWords(p2));

    h = Header(kW, kH, 1, 8);
    h.JPEGlossyCpt = true;
    e = Encapsulate(dir + "/jpeg" + tag, {jpeg}, pieces);
    ASSERT_TRUE(Decode(e.path, h, 1, f, &why, e.pos, e.size)) << why;
    ASSERT_EQ(f.buff8.size(), g8.size());
    for (size_t i = 0; i < g8.size(); ++i) ASSERT_NEAR(f.buff8[i], g8[i], 12) << i;

    h.JPEGlossyCpt = false;
    h.JPEGJ2k = true;
    e = Encapsulate(dir + "/j2k" + tag, {j2k}, pieces);
    ASSERT_TRUE(Decode(e.path, h, 1, f, &why, e.pos, e.size)) << why;
    EXPECT_TRUE(std::equal(f.buff8.begin(), f.buff8.end(), g8.begin(), g8.end()));
  }
}

TEST(FrameDecoder, FlagsChooseTheCodecFirstMatchFirst) {
  const std::string dir = TestDir();
  const auto p = TestPicture(16, 16, 1, 16, 4);
  LosslessOptions o;
  o.precision = 16;
  Encapsulated e = Encapsulate(dir + "/l", {EncodeLossless(p, 16, 16, 1, o)}, 1);
  DICOMdata h = Header(16, 16, 1, 16);
  h.JPEGlosslessCpt = true;
  h.JPEGlossyCpt = true;  // lossless wins over lossy
  h.RunLengthEncoding = true;
  DecodedFrame f;
  std::string why;
  ASSERT_TRUE(Decode(e.path, h, 1, f, &why, e.pos, e.size)) << why;
  EXPECT_EQ(f.buff16, AsWords(p));
  h.JPEGJ2k = true;  // JPEG 2000 wins over everything: this is no J2K stream
  EXPECT_FALSE(Decode(e.path, h, 1, f, &why, e.pos, e.size));
  // Without a table, frame 1 falls back to the largest fragment.
  h.JPEGJ2k = false;
  h.CompressOffset = e.pos[0];
  h.CompressSz = e.size[0];
  ASSERT_TRUE(Decode(e.path, h, 1, f, &why)) << why;
  EXPECT_EQ(f.buff16, AsWords(p));
}

TEST(FrameDecoder, TruncatedCompressedFramesDecodeWhatTheyHold) {
  const std::string dir = TestDir();
  const auto p = TestPicture(32, 32, 1, 16, 6);
  LosslessOptions o;
  o.precision = 16;
  const Bytes stream = EncodeLossless(p, 32, 32, 1, o);
  // The file ends in the middle of the frame.
  Bytes file(kPrefix, 0x20);
  PutItem(file, static_cast<uint32_t>(stream.size()));
  file.insert(file.end(), stream.begin(),
              stream.begin() + static_cast<std::ptrdiff_t>(stream.size() / 2));
  WriteBytes(dir + "/cut", file);
  DICOMdata h = Header(32, 32, 1, 16);
  h.JPEGlosslessCpt = true;
  DecodedFrame f;
  std::string why;
  ASSERT_TRUE(
      Decode(dir + "/cut", h, 1, f, &why, {kPrefix + 8}, {static_cast<int64_t>(stream.size())}))
      << why;
  EXPECT_TRUE(std::equal(p.begin(), p.begin() + 32 * 10, f.buff16.begin(),
                         [](uint16_t a, int16_t b) { return a == static_cast<uint16_t>(b); }));
  EXPECT_EQ(f.buff16.back(), 0);
}

TEST(CodecTable, SyntaxesWithoutACodecAreRefusedByName) {
  const std::string dir = TestDir();
  const std::string path = WriteFixture(dir, "frame", Bytes(4000, 9));
  DICOMdata h = Header(16, 16, 1, 8);
  h.JPEGlossyCpt = true;  // what the reader makes of any other JPEG-family UID
  DecodedFrame f;
  std::string why;
  h.TransferSyntaxUID = "1.2.840.10008.1.2.4.59";
  EXPECT_FALSE(Decode(path, h, 1, f, &why, {kPrefix}, {4000}));
  EXPECT_EQ(
      why,
      "transfer syntax 1.2.840.10008.1.2.4.59 (JPEG Extended, Hierarchical (Process 16 & 18)) "
      "is not supported");
  h.TransferSyntaxUID = "1.2.840.10008.1.2.4.99";
  EXPECT_FALSE(Decode(path, h, 1, f, &why, {kPrefix}, {4000}));
  EXPECT_EQ(why,
            "transfer syntax 1.2.840.10008.1.2.4.99 (unknown transfer syntax) is not supported");
  // Native data under an unknown UID is not read as stored either.
  h = Header(16, 16, 1, 8);
  h.TransferSyntaxUID = "1.2.3.4";
  EXPECT_FALSE(Decode(path, h, 1, f, &why));
  EXPECT_NE(why.find("1.2.3.4 (unknown transfer syntax)"), std::string::npos) << why;
  h.TransferSyntaxUID = "1.2.840.10008.1.2.1";
  EXPECT_TRUE(Decode(path, h, 1, f, &why)) << why;
}

TEST(CodecTable, FindsEntriesByUidAndHeadersWithoutOneByTheirFlags) {
  ASSERT_NE(FindTransferSyntax("1.2.840.10008.1.2.4.70"), nullptr);
  EXPECT_EQ(FindTransferSyntax(std::string("1.2.840.10008.1.2.5\0", 20)),
            FindTransferSyntax("1.2.840.10008.1.2.5"));
  EXPECT_EQ(FindTransferSyntax("1.2.840.10008.1.2.4.7"), nullptr);
  EXPECT_EQ(FindTransferSyntax("")->encoding, PixelEncoding::kNative);
  EXPECT_TRUE(FindTransferSyntax("1.2.840.113619.5.2")->supported());
  DICOMdata h;
  EXPECT_EQ(FrameTransferSyntax(h), "");
  h.RunLengthEncoding = h.JPEGlosslessCpt = true;
  EXPECT_EQ(FrameTransferSyntax(h), "1.2.840.10008.1.2.4.70");
  h.TransferSyntaxUID = "1.2.840.10008.1.2.4.57";
  EXPECT_EQ(FrameTransferSyntax(h), "1.2.840.10008.1.2.4.57");
  EXPECT_EQ(DescribeTransferSyntax("1.2.840.10008.1.2.4.80 "),
            "1.2.840.10008.1.2.4.80 (JPEG-LS Lossless Image Compression)");
}

DICOMdata LutHeader(int offset, int entries) {
  DICOMdata h = Header(4, 1, 1, 16);
  h.pixel_representation = 1;
  h.Lut.LutSize = entries;
  h.Lut.LutOffset = offset;
  for (int i = 0; i < entries; ++i) h.Lut.Lutdata.push_back(i * 10);
  return h;
}

TEST(ModalityLut, MapsRescaledValuesAndClampsToTheTable) {
  DICOMdata h = LutHeader(-1024, 4096);
  std::vector<int16_t> w = Words({-2000, -1024, 0, 5000});
  ApplyModalityLut(h, w);
  EXPECT_EQ(w, Words({0, 0, 10240, static_cast<int16_t>(40950)}));
  EXPECT_EQ(h.IntenScale, 1.0f);
  EXPECT_EQ(h.IntenIntercept, 0.0f);

  // Slope and intercept apply first; halves round to even.
  h = LutHeader(0, 100);
  h.IntenScale = 0.5f;
  h.IntenIntercept = 10.0f;
  w = Words({1, 3, 5, -100});
  ApplyModalityLut(h, w);
  EXPECT_EQ(w, Words({100, 120, 120, 0}));
}

TEST(ModalityLut, ReadsWordsWithTheImagesSignedness) {
  DICOMdata h = LutHeader(0, 6000);
  h.Lut.Lutdata[4000] = 65535;  // entries are unsigned 16-bit values
  h.IntenScale = 0.1f;
  h.pixel_representation = 0;  // unsigned: 40000 is 40000, not -25536
  std::vector<int16_t> w = {static_cast<int16_t>(40000), 10};
  ApplyModalityLut(h, w);
  EXPECT_EQ(w, Words({-1, 10}));
}

TEST(ModalityLut, LeavesOtherImagesAlone) {
  DICOMdata h = LutHeader(0, 4);
  h.Allocbits_per_pixel = 8;
  std::vector<int16_t> w = Words({1, 2, 3, 4});
  ApplyModalityLut(h, w);
  EXPECT_EQ(w, Words({1, 2, 3, 4}));
  EXPECT_EQ(h.IntenScale, 1.0f);
  h = LutHeader(0, 0);
  h.IntenScale = 2.0f;
  ApplyModalityLut(h, w);
  EXPECT_EQ(w, Words({1, 2, 3, 4}));
  EXPECT_EQ(h.IntenScale, 2.0f);
  // A table shorter than its stated size is read only as far as it goes.
  h = LutHeader(0, 3);
  h.Lut.LutSize = 1000;
  w = Words({1, 2, 500});
  ApplyModalityLut(h, w);
  EXPECT_EQ(w, Words({10, 20, 20}));
}

}  // namespace
