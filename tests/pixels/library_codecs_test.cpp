#include <gtest/gtest.h>

#include <sstream>

#include "codec_fixtures.h"
#include "lossless_encoder.h"
#include "pixels/codecs/BaselineJpeg.h"
#include "pixels/codecs/Jpeg12.h"
#include "pixels/codecs/OpenJpeg.h"

namespace {

using namespace codectest;

// The last fragment of a single-frame encapsulated file.
Bytes Fragment(const std::string& dcm) {
  const std::vector<Bytes> items = PixelItems(dcm);
  EXPECT_GE(items.size(), 2u) << dcm;
  return items.size() < 2 ? Bytes() : items.back();
}

// The samples of a binary PPM or PGM file.
Bytes PnmBody(const Bytes& pnm, int& channels) {
  std::string header(pnm.begin(),
                     pnm.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(pnm.size(), 64)));
  std::istringstream in(header);
  std::string magic;
  int w = 0, h = 0, max = 0;
  in >> magic >> w >> h >> max;
  channels = magic == "P6" ? 3 : 1;
  const size_t body = static_cast<size_t>(w) * h * channels;
  return pnm.size() < body ? Bytes()
                           : Bytes(pnm.end() - static_cast<std::ptrdiff_t>(body), pnm.end());
}

Bytes Djpeg(const std::string& dir, const Bytes& jpeg, int& channels) {
  WriteBytes(dir + "/frame.jpg", jpeg);
  EXPECT_TRUE(RunTool("djpeg -pnm -outfile " + Quote(dir + "/frame.pnm") + " " +
                      Quote(dir + "/frame.jpg")));
  return PnmBody(ReadBytes(dir + "/frame.pnm"), channels);
}

TEST(BaselineJpeg, SampleFilesDecodeLikeDjpeg) {
  REQUIRE_SAMPLES();
  const std::string dir = TestDir();
  for (const char* name :
       {"SC_rgb_jpeg_dcmtk.dcm", "SC_jpeg_no_color_transform.dcm", "SC_rgb_dcmtk_+eb+cy+n1.dcm",
        "SC_rgb_dcmtk_+eb+cy+s4.dcm", "SC_rgb_small_odd_jpeg.dcm", "SC_rgb_jpeg_app14_dcmd.dcm",
        "SC_rgb_jpeg_lossy_gdcm.dcm"}) {
    SCOPED_TRACE(name);
    const Bytes jpeg = Fragment(testsupport::SamplePath(name));
    int channels = 0;
    const Bytes expected = Djpeg(dir, jpeg, channels);
    ASSERT_EQ(channels, 3);
    const int64_t pixels = static_cast<int64_t>(expected.size() / 3);
    Bytes rgb(expected.size());
    std::string why;
    ASSERT_TRUE(DecodeJpegToRgb(jpeg.data(), jpeg.size(), rgb.data(), pixels, &why)) << why;
    EXPECT_TRUE(rgb == expected);
    // As grey: the red channel.
    Bytes grey(static_cast<size_t>(pixels));
    ASSERT_TRUE(DecodeJpegToGrey(jpeg.data(), jpeg.size(), grey.data(), pixels, &why)) << why;
    for (int64_t i = 0; i < pixels; ++i) ASSERT_EQ(grey[i], rgb[3 * i]) << i;
  }
}

TEST(BaselineJpeg, GreyPictureGivesItsGreyLevels) {
  const std::string dir = TestDir();
  const auto picture = TestPicture(37, 23, 1, 8, 3);
  Bytes pgm = {'P', '5', '\n', '3', '7', ' ', '2', '3', '\n', '2', '5', '5', '\n'};
  pgm.insert(pgm.end(), picture.begin(), picture.end());
  WriteBytes(dir + "/in.pgm", pgm);
  ASSERT_TRUE(RunTool("cjpeg -grayscale -outfile " + Quote(dir + "/grey.jpg") + " " +
                      Quote(dir + "/in.pgm")));
  const Bytes jpeg = ReadBytes(dir + "/grey.jpg");
  int channels = 0;
  const Bytes expected = Djpeg(dir, jpeg, channels);
  ASSERT_EQ(channels, 1);
  Bytes grey(expected.size());
  ASSERT_TRUE(DecodeJpegToGrey(jpeg.data(), jpeg.size(), grey.data(), 37 * 23));
  EXPECT_TRUE(grey == expected);
  Bytes rgb(3 * expected.size());
  ASSERT_TRUE(DecodeJpegToRgb(jpeg.data(), jpeg.size(), rgb.data(), 37 * 23));
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(rgb[3 * i] == expected[i] && rgb[3 * i + 1] == expected[i] &&
                rgb[3 * i + 2] == expected[i])
        << i;
  }

  // A picture one row short of the image leaves the output as it was.
  Bytes untouched(3 * 37 * 24, 0xEE);
  std::string why;
  EXPECT_FALSE(DecodeJpegToRgb(jpeg.data(), jpeg.size(), untouched.data(), 37 * 24, &why));
  EXPECT_NE(why.find("37 x 23"), std::string::npos) << why;
  EXPECT_EQ(untouched, Bytes(3 * 37 * 24, 0xEE));
  EXPECT_FALSE(DecodeJpegToGrey(jpeg.data(), jpeg.size(), untouched.data(), 37 * 24));
  EXPECT_EQ(untouched, Bytes(3 * 37 * 24, 0xEE));
}

TEST(BaselineJpeg, LibraryErrorsComeBackAsFailures) {
  std::string why;
  Bytes out(64 * 64 * 3);
  const Bytes garbage(300, 0x42);
  EXPECT_FALSE(DecodeJpegToRgb(garbage.data(), garbage.size(), out.data(), 64 * 64, &why));
  EXPECT_FALSE(why.empty());
  // Lossless and 12-bit frames are beyond this decoder.
  const Bytes lossless =
      EncodeLossless(TestPicture(8, 8, 1, 8, 1), 8, 8, 1, codectest::LosslessOptions{});
  EXPECT_FALSE(DecodeJpegToGrey(lossless.data(), lossless.size(), out.data(), 64, &why));
  REQUIRE_SAMPLE("JPGExtended.dcm");
  const Bytes twelve = Fragment(testsupport::SamplePath("JPGExtended.dcm"));
  EXPECT_FALSE(DecodeJpegToGrey(twelve.data(), twelve.size(), out.data(), 1024 * 256, &why));
  EXPECT_NE(why.find("12"), std::string::npos) << why;
}

TEST(BaselineJpeg, TruncatedAndCorruptedStreamsStayInBounds) {
  const std::string dir = TestDir();
  const auto picture = TestPicture(48, 32, 3, 8, 5);
  Bytes ppm = {'P', '6', '\n', '4', '8', ' ', '3', '2', '\n', '2', '5', '5', '\n'};
  ppm.insert(ppm.end(), picture.begin(), picture.end());
  WriteBytes(dir + "/in.ppm", ppm);
  ASSERT_TRUE(RunTool("cjpeg -outfile " + Quote(dir + "/c.jpg") + " " + Quote(dir + "/in.ppm")));
  const Bytes jpeg = ReadBytes(dir + "/c.jpg");
  Bytes out(48 * 32 * 3);
  for (size_t cut = 0; cut < jpeg.size(); cut += 11) {
    const auto data = std::make_unique<uint8_t[]>(cut + 1);
    std::copy(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(cut), data.get());
    DecodeJpegToRgb(data.get(), cut, out.data(), 48 * 32);
  }
  uint32_t state = 17;
  for (int round = 0; round < 200; ++round) {
    Bytes bad = jpeg;
    state = state * 1664525u + 1013904223u;
    bad[(state >> 8) % bad.size()] ^= static_cast<uint8_t>(state >> 24);
    DecodeJpegToRgb(bad.data(), bad.size(), out.data(), 48 * 32);
  }
}

// Pixel data gdcmconv --raw makes of a file.
Bytes GdcmRaw(const std::string& dir, const std::string& dcm, int& planar) {
  const std::string raw = dir + "/raw.dcm";
  EXPECT_TRUE(RunTool("gdcmconv --raw " + Quote(dcm) + " " + Quote(raw)));
  planar = PlanarConfiguration(raw);
  return PixelData(raw);
}

// A frame of `columns` x `rows` through the JPEG 2000 entry point.
struct J2kResult {
  bool ok = false;
  Bytes samples;
  bool rgb = false;
  std::string why;
};
J2kResult DecodeJ2k(const Bytes& stream, int64_t columns, int64_t rows, int samples = 1,
                    int bitsAllocated = 16, int threads = 1) {
  FrameSpec spec;
  spec.columns = columns;
  spec.rows = rows;
  spec.samples = samples;
  spec.bitsAllocated = spec.bitsStored = bitsAllocated;
  spec.threads = threads;
  J2kResult r;
  r.samples.assign(static_cast<size_t>(NativeFrameBytes(spec)), 0);
  CodecOutput o;
  o.data = r.samples.data();
  o.size = r.samples.size();
  r.ok = DecodeJpeg2000Frame(stream.data(), stream.size(), spec, o);
  r.rgb = o.rgb;
  r.why = o.why;
  return r;
}

// A 12-bit colour stream whose only scan names its first component twice and
// its third never: the library decodes it as if all three were present and
// read its colour tables far out of range with the samples never written.
TEST(Jpeg12, ScanNamingAComponentTwiceIsRefused) {
  const std::string hex =
      "ffd8ffe000104a46494600010100000100010000ffdb00430003e502020302020303030304030304050805050404"
      "050a"
      "070706080c0a0c0c0b0a0b0b0d0e12100d0e110e0b0b1016101113141515150c0f171816141812141514ffdb0043"
      "0103"
      "040405040509050509140d0b0d141414141414141414141414141414141414141414141414141414141414141414"
      "1414"
      "141414141414141414141414141414ffc100110c0008000803012100021101031101ffc400150001010000000000"
      "0000"
      "00000000000000000cffc400231000010302050500000000000000000000010203040507000611121308090b0c22"
      "ffc4"
      "001401010000000000000000000000000000000bffc4002311010001030303050000000000000000000102031112"
      "0406"
      "07050821090a151622ffda000c030100020001000000000000110311003f00a177c51d005fffd9";
  Bytes stream;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    stream.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  FrameSpec spec;
  spec.columns = spec.rows = 8;
  spec.samples = 3;
  spec.bitsAllocated = spec.bitsStored = 8;
  Bytes out(8 * 8 * 3);
  CodecOutput o;
  o.data = out.data();
  o.size = out.size();
  EXPECT_FALSE(DecodeJpeg12Frame(stream.data(), stream.size(), spec, o));
  EXPECT_NE(o.why.find("twice"), std::string::npos) << o.why;
}

TEST(Jpeg2000, SampleFilesDecodeLikeGdcmconv) {
  REQUIRE_SAMPLES();
  const std::string dir = TestDir();
  struct Case {
    const char* name;
    int64_t columns, rows;
    int samples, bits;
  };
  for (const Case& c :
       {Case{"JPEG2000.dcm", 256, 1024, 1, 16}, Case{"693_J2KI.dcm", 512, 512, 1, 16},
        Case{"J2K_pixelrep_mismatch.dcm", 512, 512, 1, 16},
        Case{"MR_small_jp2klossless.dcm", 64, 64, 1, 16},
        // Colour: every component, the transform undone as GDCM does.
        Case{"GDCMJ2K_TextGBR.dcm", 400, 400, 3, 8}, Case{"SC_rgb_gdcm_KY.dcm", 100, 100, 3, 8}}) {
    SCOPED_TRACE(c.name);
    const std::string path = testsupport::SamplePath(c.name);
    int planar = 0;
    Bytes expected = GdcmRaw(dir, path, planar);
    if (planar == 1) expected = Interleave(expected, static_cast<size_t>(c.columns * c.rows));
    const J2kResult r = DecodeJ2k(Fragment(path), c.columns, c.rows, c.samples, c.bits);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.samples == Head(expected, r.samples.size()));
  }
}

TEST(Jpeg2000, KeepsTheBitPatternOfSixteenAndEightBitFrames) {
  const std::string dir = TestDir();
  // Unsigned 16-bit values above 32767 come back with their bits intact.
  ImageSpec desc;
  desc.columns = 40;
  desc.rows = 30;
  const auto picture = TestPicture(40, 30, 1, 16, 8);
  const std::string in = WriteDicom(dir, "w16", desc, StoredBytes(picture, 16));
  ASSERT_TRUE(RunTool("gdcmconv -K " + Quote(in) + " " + Quote(dir + "/w16.j2k.dcm")));
  const Bytes j2k = Fragment(dir + "/w16.j2k.dcm");
  J2kResult r = DecodeJ2k(j2k, 40, 30, 1, 16, 4);
  ASSERT_TRUE(r.ok) << r.why;
  EXPECT_EQ(r.samples, StoredBytes(picture, 16));
  EXPECT_GT(*std::max_element(picture.begin(), picture.end()), 32767);

  // An 8-bit frame fills one byte per pixel; a grey stream in a colour frame
  // gives R = G = B.
  desc.bitsAllocated = desc.bitsStored = 8;
  const auto bytes = TestPicture(40, 30, 1, 8, 9);
  const std::string in8 = WriteDicom(dir, "w8", desc, StoredBytes(bytes, 8));
  ASSERT_TRUE(RunTool("gdcmconv -K " + Quote(in8) + " " + Quote(dir + "/w8.j2k.dcm")));
  const Bytes j2k8 = Fragment(dir + "/w8.j2k.dcm");
  r = DecodeJ2k(j2k8, 40, 30, 1, 8);
  ASSERT_TRUE(r.ok) << r.why;
  EXPECT_TRUE(std::equal(r.samples.begin(), r.samples.end(), bytes.begin(), bytes.end()));
  r = DecodeJ2k(j2k8, 40, 30, 3, 8);
  ASSERT_TRUE(r.ok) << r.why;
  for (size_t i = 0; i < bytes.size(); ++i) {
    ASSERT_TRUE(r.samples[3 * i] == bytes[i] && r.samples[3 * i + 1] == bytes[i] &&
                r.samples[3 * i + 2] == bytes[i]);
  }
  // 16-bit samples in a one-byte frame are shifted into it, not cut to their low byte.
  r = DecodeJ2k(j2k, 40, 30, 1, 8);
  ASSERT_TRUE(r.ok) << r.why;
  for (size_t i = 0; i < picture.size(); ++i) ASSERT_EQ(r.samples[i], picture[i] >> 8) << i;

  // A stream that does not cover the frame is refused.
  r = DecodeJ2k(j2k, 40, 31, 1, 16);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.why.find("does not cover"), std::string::npos) << r.why;
  r = DecodeJ2k(j2k, 41, 30, 1, 16);
  EXPECT_FALSE(r.ok);
}

TEST(Jpeg2000, TruncatedAndCorruptedStreamsStayInBounds) {
  REQUIRE_SAMPLES();
  const Bytes j2k = Fragment(testsupport::SamplePath("MR_small_jp2klossless.dcm"));
  int incomplete = 0;
  for (size_t cut = 0; cut < j2k.size(); cut += 97) {
    const J2kResult r =
        DecodeJ2k(Bytes(j2k.begin(), j2k.begin() + static_cast<std::ptrdiff_t>(cut)), 64, 64);
    (void)r;
  }
  // Cut in the code blocks: decoded as far as it goes and marked.
  FrameSpec spec;
  spec.columns = spec.rows = 64;
  spec.bitsAllocated = spec.bitsStored = 16;
  Bytes out(64 * 64 * 2);
  CodecOutput o;
  o.data = out.data();
  o.size = out.size();
  if (DecodeJpeg2000Frame(j2k.data(), j2k.size() * 3 / 4, spec, o) && o.incomplete) ++incomplete;
  EXPECT_EQ(incomplete, 1) << o.why;
  uint32_t state = 23;
  for (int round = 0; round < 60; ++round) {
    Bytes bad = j2k;
    state = state * 1664525u + 1013904223u;
    bad[(state >> 8) % bad.size()] ^= static_cast<uint8_t>(state >> 24);
    (void)DecodeJ2k(bad, 64, 64);
  }
}

}  // namespace
