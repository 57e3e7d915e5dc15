// Code streams are checked against the frame before anything is allocated
// for it: their own headers must agree with the DICOM header, and their
// length must be able to expand to the frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <new>

#include "codec_fixtures.h"
#include "pixels/CodecTable.h"
#include "pixels/FrameDecoder.h"

// The largest single allocation the calling thread asked for since the last
// reset: a refused frame must not have made its buffers.
namespace {
thread_local size_t gLargestAllocation = 0;
}  // namespace

// ThreadSanitizer's runtime defines the allocation operators itself, so its
// build (which runs only the frame cache tests of this program) counts nothing.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVROLEN_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef TAVROLEN_COUNTS_ALLOCATIONS
#define TAVROLEN_COUNTS_ALLOCATIONS 1
#endif

#if TAVROLEN_COUNTS_ALLOCATIONS
// Every plain form is replaced together, so that whatever a library allocates
// with (CharLS uses the nothrow form) is freed by the matching one; the
// sanitizer build checks that pairing.
namespace {
void* Counted(size_t n) noexcept {
  gLargestAllocation = std::max(gLargestAllocation, n);
  return std::malloc(n ? n : 1);
}
}  // namespace
void* operator new(size_t n) {
  if (void* p = Counted(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) {
  if (void* p = Counted(n)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return Counted(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  return Counted(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
#endif  // TAVROLEN_COUNTS_ALLOCATIONS

namespace {

using namespace codectest;

constexpr int64_t kPrefix = 300;

void Put16(Bytes& b, int v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, int(v >> 16));
  Put16(b, int(v & 0xFFFF));
}

// A JPEG-family stream up to its first scan and `entropy` bytes of data
// after it (no EOI, so the data is exactly `entropy` bytes).
struct JpegSpec {
  int sof = 0xC0;
  int precision = 8;
  int width = 64, height = 48;
  int components = 1;
  int scanComponents = 1;
  int lumaSampling = 0x11;
  int ss = 0, se = 63;
  size_t entropy = 4096;
};
Bytes Jpeg(const JpegSpec& s) {
  Bytes b = {0xFF, 0xD8, 0xFF, uint8_t(s.sof)};
  Put16(b, 8 + 3 * s.components);
  b.push_back(uint8_t(s.precision));
  Put16(b, s.height);
  Put16(b, s.width);
  b.push_back(uint8_t(s.components));
  for (int k = 0; k < s.components; ++k)
    b.insert(b.end(), {uint8_t(k + 1), uint8_t(k == 0 ? s.lumaSampling : 0x11), 0});
  b.insert(b.end(), {0xFF, 0xDA});
  Put16(b, 6 + 2 * s.scanComponents);
  b.push_back(uint8_t(s.scanComponents));
  for (int k = 0; k < s.scanComponents; ++k) b.insert(b.end(), {uint8_t(k + 1), 0});
  b.insert(b.end(), {uint8_t(s.ss), uint8_t(s.se), 0});
  b.insert(b.end(), s.entropy, 0x55);
  return b;
}

// A JPEG 2000 code stream: SOC, SIZ, COD, QCD, then (when asked) one
// tile-part with a few bytes of packets.
Bytes J2k(uint32_t width, uint32_t height, int components, int precision, bool tilePart,
          bool ht = false) {
  Bytes b = {0xFF, 0x4F, 0xFF, 0x51};
  Put16(b, 38 + 3 * components);
  Put16(b, ht ? 0x4000 : 0);
  for (uint32_t v : {width, height, 0u, 0u, width, height, 0u, 0u}) Put32(b, v);
  Put16(b, components);
  for (int c = 0; c < components; ++c) b.insert(b.end(), {uint8_t(precision - 1), 1, 1});
  b.insert(b.end(), {0xFF, 0x52, 0, 12, 0, 0, 0, 1, 0, 5, 4, 4, 0, 1});
  b.insert(b.end(), {0xFF, 0x5C, 0, 4, 0x40, 0});
  if (tilePart) {
    b.insert(b.end(), {0xFF, 0x90, 0, 10, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0x93, 0, 0, 0, 0});
    b.insert(b.end(), {0xFF, 0xD9});
  }
  return b;
}

// An RLE frame header naming `segments` segments of `length` bytes each.
Bytes Rle(int segments, size_t length) {
  Bytes b(64, 0);
  b[0] = uint8_t(segments);
  for (int s = 0; s < segments; ++s) {
    const uint32_t at = uint32_t(64 + s * length);
    std::memcpy(&b[size_t(4 + 4 * s)], &at, 4);
  }
  b.resize(64 + size_t(segments) * length, 0x80);  // PackBits no-ops
  return b;
}

FrameSpec Spec(int64_t columns, int64_t rows, int bitsAllocated, int samples = 1) {
  FrameSpec s;
  s.columns = columns;
  s.rows = rows;
  s.bitsAllocated = s.bitsStored = bitsAllocated;
  s.samples = samples;
  return s;
}

// The table's check for `uid`; the reason lands in `why`.
bool Check(const char* uid, const Bytes& stream, const FrameSpec& spec,
           std::string* why = nullptr) {
  const TransferSyntaxCodec* e = FindTransferSyntax(uid);
  EXPECT_TRUE(e && e->check) << uid;
  if (!e || !e->check) return false;
  std::string reason;
  const bool ok = e->check(stream.data(), stream.size(), spec, reason);
  EXPECT_TRUE(ok || !reason.empty()) << uid;
  if (why) *why = reason;
  return ok;
}

constexpr const char* kBaseline = "1.2.840.10008.1.2.4.50";
constexpr const char* kLossless = "1.2.840.10008.1.2.4.70";
constexpr const char* kJpegLs = "1.2.840.10008.1.2.4.80";
constexpr const char* kJ2k = "1.2.840.10008.1.2.4.90";
constexpr const char* kHtj2k = "1.2.840.10008.1.2.4.201";
constexpr const char* kRle = "1.2.840.10008.1.2.5";
constexpr const char* kDeflated = "1.2.840.10008.1.2.8.1";

TEST(StreamCheck, StreamsWhoseOwnHeaderDisagreesWithTheFrameAreRefused) {
  std::string why;
  // DCT JPEG: size, components and precision.
  JpegSpec j;
  EXPECT_TRUE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8), &why)) << why;
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(48, 64, 8), &why));  // same pixels, turned
  EXPECT_EQ(why, "the JPEG picture is 64 x 48, the frame 48 x 64");
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(64, 49, 8), &why));
  j.components = j.scanComponents = 2;
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8), &why));
  j = JpegSpec{};
  j.precision = 16;
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(64, 48, 16), &why));
  j = JpegSpec{};
  j.sof = 0xC5;  // hierarchical
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8), &why));

  // Lossless JPEG: samples per pixel and depth must fit; Y = 0 (DNL) is taken.
  j = JpegSpec{};
  j.sof = 0xC3;
  j.precision = 16;
  EXPECT_TRUE(Check(kLossless, Jpeg(j), Spec(64, 48, 16), &why)) << why;
  EXPECT_FALSE(Check(kLossless, Jpeg(j), Spec(64, 48, 8), &why));
  EXPECT_NE(why.find("do not fit"), std::string::npos) << why;
  EXPECT_FALSE(Check(kLossless, Jpeg(j), Spec(64, 48, 16, 3), &why));
  j.height = 0;
  EXPECT_TRUE(Check(kLossless, Jpeg(j), Spec(64, 48, 16), &why)) << why;
  // Either JPEG syntax sends the stream to the check of its own process.
  EXPECT_TRUE(Check(kBaseline, Jpeg(j), Spec(64, 48, 16), &why)) << why;
  EXPECT_FALSE(Check(kLossless, Jpeg(JpegSpec{}), Spec(64, 40, 8), &why));
  EXPECT_NE(why.find("JPEG picture is 64 x 48"), std::string::npos) << why;

  // JPEG-LS.
  j = JpegSpec{};
  j.sof = 0xF7;
  j.precision = 12;
  j.se = 0;
  EXPECT_TRUE(Check(kJpegLs, Jpeg(j), Spec(64, 48, 16), &why)) << why;
  EXPECT_FALSE(Check(kJpegLs, Jpeg(j), Spec(64, 48, 8), &why));
  EXPECT_FALSE(Check(kJpegLs, Jpeg(j), Spec(64, 47, 16), &why));
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(64, 48, 16), &why));  // not a DCT stream
  EXPECT_FALSE(Check(kJpegLs, Jpeg(JpegSpec{}), Spec(64, 48, 8), &why));

  // JPEG 2000 and HTJ2K: SIZ gives the frame's size.
  for (const char* uid : {kJ2k, kHtj2k}) {
    SCOPED_TRACE(uid);
    EXPECT_TRUE(Check(uid, J2k(64, 48, 1, 12, true), Spec(64, 48, 16), &why)) << why;
    EXPECT_FALSE(Check(uid, J2k(64, 48, 1, 12, true), Spec(48, 64, 16), &why));
    EXPECT_EQ(why, "the JPEG 2000 image is 64 x 48, the frame 48 x 64");
    EXPECT_FALSE(Check(uid, J2k(64, 48, 200, 8, true), Spec(64, 48, 8), &why));
    EXPECT_FALSE(Check(uid, Jpeg(JpegSpec{}), Spec(64, 48, 8), &why));
  }

  // RLE: one segment per byte of a pixel, offsets inside the frame.
  EXPECT_TRUE(Check(kRle, Rle(2, 100), Spec(10, 10, 16), &why)) << why;
  EXPECT_FALSE(Check(kRle, Rle(1, 200), Spec(10, 10, 16), &why));
  EXPECT_FALSE(Check(kRle, Rle(2, 100), Spec(10, 10, 12), &why));
  Bytes rle = Rle(2, 100);
  rle.resize(200);  // the second segment's offset (164) fits, ...
  EXPECT_TRUE(Check(kRle, rle, Spec(10, 10, 16), &why)) << why;
  rle.resize(150);  // ... now it lies past the end
  EXPECT_FALSE(Check(kRle, rle, Spec(10, 10, 16), &why));
}

// Each bound is the least a real encoder can spend: a stream one byte
// shorter than it is refused, one at it is taken.
TEST(StreamCheck, LengthBoundsAreTheLeastEachCodingCanSpend) {
  std::string why;
  // Huffman DCT: one bit per 8 x 8 block of the first scan. 64 x 48 grey is 48 blocks.
  JpegSpec j;
  j.entropy = 6;
  EXPECT_TRUE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8), &why)) << why;
  j.entropy = 5;
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8), &why));
  EXPECT_NE(why.find("too short"), std::string::npos) << why;
  // 4:2:0 colour, all three in the first scan: 48 + 12 + 12 blocks = 9 bytes.
  j.components = j.scanComponents = 3;
  j.lumaSampling = 0x22;
  j.entropy = 9;
  EXPECT_TRUE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8, 3), &why)) << why;
  j.entropy = 8;
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8, 3), &why));
  // Only the luma in the first scan: its 48 blocks.
  j.scanComponents = 1;
  j.entropy = 6;
  EXPECT_TRUE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8, 3), &why)) << why;
  // Progressive streams must open with a DC scan (AC end-of-band runs span
  // thousands of blocks per code); arithmetic coding has no per-block floor.
  j = JpegSpec{};
  j.sof = 0xC2;
  j.entropy = 6;
  EXPECT_TRUE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8), &why)) << why;
  j.ss = 1;
  EXPECT_FALSE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8), &why));
  j = JpegSpec{};
  j.sof = 0xC9;
  j.entropy = 1;
  EXPECT_TRUE(Check(kBaseline, Jpeg(j), Spec(64, 48, 8), &why)) << why;

  // Lossless JPEG: one bit per sample, 3072 samples.
  j = JpegSpec{};
  j.sof = 0xC3;
  j.entropy = 384;
  EXPECT_TRUE(Check(kLossless, Jpeg(j), Spec(64, 48, 8), &why)) << why;
  j.entropy = 383;
  EXPECT_FALSE(Check(kLossless, Jpeg(j), Spec(64, 48, 8), &why));

  // JPEG-LS: one bit per line, and per 32768 samples of a line.
  j = JpegSpec{};
  j.sof = 0xF7;
  j.se = 0;
  j.entropy = 6;
  EXPECT_TRUE(Check(kJpegLs, Jpeg(j), Spec(64, 48, 8), &why)) << why;
  j.entropy = 5;
  EXPECT_FALSE(Check(kJpegLs, Jpeg(j), Spec(64, 48, 8), &why));
  j.width = 40000;
  j.height = 8;
  j.entropy = 2;
  EXPECT_TRUE(Check(kJpegLs, Jpeg(j), Spec(40000, 8, 8), &why)) << why;
  j.entropy = 1;
  EXPECT_FALSE(Check(kJpegLs, Jpeg(j), Spec(40000, 8, 8), &why));

  // RLE: two bytes repeat at most 128; 16-bit 64 x 64 is two planes of 4096.
  EXPECT_TRUE(Check(kRle, Rle(2, 64), Spec(64, 64, 16), &why)) << why;
  EXPECT_FALSE(Check(kRle, Rle(2, 63), Spec(64, 64, 16), &why));

  // Deflate: 1032 bytes per byte.
  EXPECT_TRUE(Check(kDeflated, Bytes(1000), Spec(1032, 500, 16), &why)) << why;
  EXPECT_FALSE(Check(kDeflated, Bytes(999), Spec(1032, 500, 16), &why));

  // JPEG 2000: the main header and one tile-part header, however large the image.
  EXPECT_TRUE(Check(kJ2k, J2k(30000, 30000, 1, 16, true), Spec(30000, 30000, 16), &why)) << why;
  EXPECT_FALSE(Check(kJ2k, J2k(64, 48, 1, 16, false), Spec(64, 48, 16), &why));
  Bytes cut = J2k(64, 48, 1, 16, true);
  cut.resize(cut.size() - 8);  // SOT without SOD
  EXPECT_FALSE(Check(kJ2k, cut, Spec(64, 48, 16), &why));
}

// Through DecodeFrame, as the viewer, thumbnails and CLI call it: a few bytes
// under a header that claims 8192 x 8192 are refused with a reason, and no
// buffer of the frame's size is ever asked for.
TEST(StreamCheck, TinyStreamsUnderAHugeHeaderAllocateNothing) {
  if (!TAVROLEN_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocations are not counted here";
  const std::string dir = TestDir();
  constexpr int kSide = 8192;
  JpegSpec dct;
  dct.width = dct.height = kSide;
  dct.entropy = 64;
  JpegSpec lossless = dct;
  lossless.sof = 0xC3;
  lossless.precision = 16;
  JpegSpec ls = lossless;
  ls.sof = 0xF7;
  ls.se = 0;
  const struct {
    const char* uid;
    Bytes stream;
    int bits;
    int64_t claimed = 0;  // the frame table's length, when not the stream's
  } cases[] = {
      {kBaseline, Jpeg(dct), 8},
      {"1.2.840.10008.1.2.4.51", Jpeg(lossless), 16},
      {kLossless, Jpeg(lossless), 16},
      {kJpegLs, Jpeg(ls), 16},
      {kJ2k, J2k(kSide, kSide, 1, 16, false), 16},
      {kHtj2k, J2k(kSide, kSide, 1, 16, false, true), 16},
      {kRle, Rle(2, 32), 16},
      {kDeflated, Bytes(64, 0), 16},
      {"1.2.840.10008.1.2.1.98", Bytes(64, 0), 16},
      // A frame table that promises more than the file holds.
      {"1.2.840.10008.1.2.1.98", Bytes(64, 0), 16, int64_t{kSide} * kSide * 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    Bytes file(kPrefix, 0x20);
    file.insert(file.end(), {0xFE, 0xFF, 0x00, 0xE0});
    const auto n = uint32_t(c.stream.size());
    for (int b = 0; b < 4; ++b) file.push_back(uint8_t(n >> (8 * b)));
    file.insert(file.end(), c.stream.begin(), c.stream.end());
    const std::string path = dir + "/tiny.dcm";
    WriteBytes(path, file);

    DICOMdata h;
    h.XYZdim = {kSide, kSide, 1, 1};
    h.Allocbits_per_pixel = h.Storedbits_per_pixel = c.bits;
    h.SamplesPerPixel = 1;
    h.little_endian = 1;
    h.ImageStart = kPrefix;
    h.TransferSyntaxUID = c.uid;
    DecodedFrame f;
    std::string why;
    gLargestAllocation = 0;
    EXPECT_FALSE(
        DecodeFrame(path, h, {kPrefix + 8}, {c.claimed ? c.claimed : int64_t(n)}, 1, f, &why));
    EXPECT_LT(gLargestAllocation, size_t(1) << 20);
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
  }
}

// Encoders at their best (a blank picture, optimised Huffman tables, the
// longest RLE runs) stay within the bounds and decode as before.
TEST(StreamCheck, BlankPicturesAtTheirBestCompressionStillDecode) {
  const std::string dir = TestDir();
  constexpr int kSide = 1024;
  Bytes pgm = {'P', '5', '\n', '1',  '0', '2', '4', ' ', '1',
               '0', '2', '4',  '\n', '2', '5', '5', '\n'};
  pgm.insert(pgm.end(), size_t(kSide) * kSide, 0);
  WriteBytes(dir + "/blank.pgm", pgm);
  ASSERT_TRUE(RunTool("cjpeg -grayscale -optimize -quality 50 -outfile " +
                      Quote(dir + "/blank.jpg") + " " + Quote(dir + "/blank.pgm")));
  Bytes rle(64, 0);
  rle[0] = 1;
  rle[4] = 64;
  for (int k = 0; k < kSide * kSide / 128; ++k) rle.insert(rle.end(), {0x81, 0});  // 128 zeros
  const struct {
    const char* uid;
    Bytes stream;
  } cases[] = {{kBaseline, ReadBytes(dir + "/blank.jpg")}, {kRle, rle}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uid);
    ASSERT_FALSE(c.stream.empty());
    Bytes file(kPrefix, 0x20);
    file.insert(file.end(), c.stream.begin(), c.stream.end());
    WriteBytes(dir + "/blank.dcm", file);
    DICOMdata h;
    h.XYZdim = {kSide, kSide, 1, 1};
    h.Allocbits_per_pixel = h.Storedbits_per_pixel = 8;
    h.SamplesPerPixel = 1;
    h.little_endian = 1;
    h.ImageStart = kPrefix;
    h.TransferSyntaxUID = c.uid;
    DecodedFrame f;
    std::string why;
    ASSERT_TRUE(
        DecodeFrame(dir + "/blank.dcm", h, {kPrefix}, {int64_t(c.stream.size())}, 1, f, &why))
        << why;
    ASSERT_EQ(f.buff8.size(), size_t(kSide) * kSide);
    EXPECT_EQ(std::count(f.buff8.begin(), f.buff8.end(), 0), kSide * kSide);
  }
}

}  // namespace
