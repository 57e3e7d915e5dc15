#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "jpegxl_fixtures.h"
#include "pixels/codecs/JpegXl.h"

namespace {

using namespace jxltest;
using codectest::TestDir;

FrameSpec SpecOf(const Pnm& p, int bitsAllocated, int bitsStored) {
  FrameSpec s;
  s.columns = p.width;
  s.rows = p.height;
  s.samples = p.channels;
  s.bitsAllocated = bitsAllocated;
  s.bitsStored = bitsStored;
  s.rgbPhotometric = p.channels == 3;
  return s;
}

struct Decoded {
  bool checked = false;
  bool ok = false;
  CodecOutput out;
  Bytes buffer;
  // The samples of the buffer, one- or two-byte.
  std::vector<uint16_t> Samples(int bitsAllocated) const {
    std::vector<uint16_t> v;
    if (bitsAllocated <= 8) return std::vector<uint16_t>(buffer.begin(), buffer.end());
    for (size_t i = 0; i + 1 < buffer.size(); i += 2) {
      uint16_t w;
      std::memcpy(&w, &buffer[i], 2);
      v.push_back(w);
    }
    return v;
  }
};

// The table's order: the check, then (when it passes) the decode into a
// zero-filled frame. The frame is guarded by a canary on both sides.
Decoded CheckAndDecode(const Bytes& jxl, const FrameSpec& spec) {
  Decoded d;
  std::string why;
  d.checked = CheckJpegXlFrame(jxl.data(), jxl.size(), spec, why);
  const auto n = size_t(NativeFrameBytes(spec));
  Bytes guarded(n + 64, 0xA5);
  std::fill(guarded.begin() + 32, guarded.begin() + 32 + std::ptrdiff_t(n), 0);
  d.out.data = guarded.data() + 32;
  d.out.size = n;
  d.ok = DecodeJpegXlFrame(jxl.data(), jxl.size(), spec, d.out);
  EXPECT_TRUE(
      std::all_of(guarded.begin(), guarded.begin() + 32, [](uint8_t b) { return b == 0xA5; }));
  EXPECT_TRUE(std::all_of(guarded.end() - 32, guarded.end(), [](uint8_t b) { return b == 0xA5; }));
  d.buffer.assign(guarded.begin() + 32, guarded.begin() + 32 + std::ptrdiff_t(n));
  if (!d.checked) d.out.why = why;
  return d;
}

int MaxDifference(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
  if (a.size() != b.size()) return 1 << 20;
  int worst = 0;
  for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
  return worst;
}

struct Case {
  const char* name;
  int channels, bits, bitsAllocated;
};
const Case kDepths[] = {
    {"grey8", 1, 8, 8},
    {"grey12", 1, 12, 16},
    {"rgb8", 3, 8, 8},
    {"rgb16", 3, 16, 16},
};

TEST(JpegXl, LosslessFramesEqualTheSourceAndDjxl) {
  REQUIRE_TOOL("cjxl");
  REQUIRE_TOOL("djxl");
  const std::string dir = TestDir();
  for (const Case& c : kDepths) {
    SCOPED_TRACE(c.name);
    const Pnm picture = Picture(61, 37, c.channels, c.bits, 7);
    const Bytes jxl = Cjxl(dir, c.name, picture, "-d 0");
    const Pnm reference = Djxl(dir, c.name, jxl, c.channels);
    ASSERT_EQ(reference.samples, picture.samples);
    FrameSpec spec = SpecOf(picture, c.bitsAllocated, c.bits);
    for (int threads : {1, 4}) {
      spec.threads = threads;
      const Decoded d = CheckAndDecode(jxl, spec);
      ASSERT_TRUE(d.checked && d.ok) << d.out.why;
      EXPECT_FALSE(d.out.incomplete);
      EXPECT_EQ(d.out.rgb, c.channels == 3);
      EXPECT_EQ(d.Samples(c.bitsAllocated), picture.samples) << threads << " threads";
    }
    if (c.channels == 3) {
      // Coded as they are, colour samples keep the header's model: under YBR
      // they are Y, Cb, Cr still to be converted.
      spec.rgbPhotometric = false;
      spec.ybrPhotometric = true;
      const Decoded d = CheckAndDecode(jxl, spec);
      ASSERT_TRUE(d.ok) << d.out.why;
      EXPECT_FALSE(d.out.rgb);
      EXPECT_EQ(d.Samples(c.bitsAllocated), picture.samples);
    }
  }
}

TEST(JpegXl, OtherLayoutsKeepTheStreamsValues) {
  REQUIRE_TOOL("cjxl");
  const std::string dir = TestDir();
  // An 8-bit stream in 16-bit samples and a 6-bit one in bytes: the stream's
  // own values, not libjxl's rescaling to the output's range.
  for (const auto& [bits, allocated] : {std::pair{8, 16}, std::pair{6, 8}}) {
    SCOPED_TRACE(bits);
    const Pnm picture = Picture(24, 9, 1, bits, 11);
    const Bytes jxl = Cjxl(dir, "narrow" + std::to_string(bits), picture, "-d 0");
    const Decoded d = CheckAndDecode(jxl, SpecOf(picture, allocated, allocated));
    ASSERT_TRUE(d.checked && d.ok) << d.out.why;
    EXPECT_EQ(d.Samples(allocated), picture.samples);
  }
  // A grey stream fills a colour frame, R = G = B, whatever its model says.
  const Pnm grey = Picture(24, 9, 1, 8, 12);
  const Bytes jxl = Cjxl(dir, "grey", grey, "-d 0");
  FrameSpec colour = SpecOf(grey, 8, 8);
  colour.samples = 3;
  colour.ybrPhotometric = true;
  const Decoded d = CheckAndDecode(jxl, colour);
  ASSERT_TRUE(d.checked && d.ok) << d.out.why;
  EXPECT_TRUE(d.out.rgb);
  for (size_t i = 0; i < grey.samples.size(); ++i)
    ASSERT_TRUE(d.buffer[3 * i] == grey.samples[i] && d.buffer[3 * i + 1] == grey.samples[i] &&
                d.buffer[3 * i + 2] == grey.samples[i])
        << i;
  // 32-bit samples (through libjxl's float output) hold the same values.
  const Pnm deep = Picture(19, 6, 1, 12, 14);
  const Decoded wide = CheckAndDecode(Cjxl(dir, "deep", deep, "-d 0"), SpecOf(deep, 32, 12));
  ASSERT_TRUE(wide.checked && wide.ok) << wide.out.why;
  std::vector<uint16_t> values;
  for (size_t i = 0; i + 3 < wide.buffer.size(); i += 4) {
    uint32_t v;
    std::memcpy(&v, &wide.buffer[i], 4);
    values.push_back(uint16_t(v));
    ASSERT_LT(v, 4096u) << i / 4;
  }
  EXPECT_EQ(values, deep.samples);

  // Alpha is dropped: the colour samples alone, as coded.
  const Pnm rgb = Picture(7, 5, 3, 8, 13);
  std::string pam = "P7\nWIDTH 7\nHEIGHT 5\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  Bytes rgba(pam.begin(), pam.end());
  for (size_t i = 0; i < rgb.samples.size(); ++i) {
    rgba.push_back(uint8_t(rgb.samples[i]));
    if (i % 3 == 2) rgba.push_back(uint8_t(40 * i));
  }
  codectest::WriteBytes(dir + "/alpha.pam", rgba);
  ASSERT_TRUE(codectest::RunTool("cjxl " + Quote(dir + "/alpha.pam") + " " +
                                 Quote(dir + "/alpha.jxl") + " -d 0"));
  const Decoded alpha = CheckAndDecode(codectest::ReadBytes(dir + "/alpha.jxl"), SpecOf(rgb, 8, 8));
  ASSERT_TRUE(alpha.checked && alpha.ok) << alpha.out.why;
  EXPECT_EQ(alpha.Samples(8), rgb.samples);
}

TEST(JpegXl, SignedSamplesAreExtendedFromTheStreamsDepth) {
  REQUIRE_TOOL("cjxl");
  const std::string dir = TestDir();
  // 12-bit two's complement patterns, as an encoder of signed data codes them.
  Pnm p;
  p.width = 8;
  p.height = 2;
  p.maxval = 4095;
  const int values[16] = {0, 1, -1, -2048, 2047, -100, 100, 5, -5, 0, 7, -7, 1000, -1000, 3, -3};
  for (int v : values) p.samples.push_back(uint16_t(v & 0xFFF));
  const Bytes jxl = Cjxl(dir, "signed", p, "-d 0");
  FrameSpec spec = SpecOf(p, 16, 12);
  spec.isSigned = true;
  const Decoded d = CheckAndDecode(jxl, spec);
  ASSERT_TRUE(d.checked && d.ok) << d.out.why;
  const std::vector<uint16_t> words = d.Samples(16);
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ(int16_t(words[i]), values[i]) << i;
}

TEST(JpegXl, LossyAndRecompressedFramesMatchDjxl) {
  REQUIRE_TOOL("cjxl");
  REQUIRE_TOOL("djxl");
  REQUIRE_TOOL("cjpeg");
  const std::string dir = TestDir();
  for (const Case& c : {Case{"rgb8", 3, 8, 8}, Case{"grey12", 1, 12, 16}}) {
    SCOPED_TRACE(c.name);
    const Pnm picture = Picture(67, 41, c.channels, c.bits, 21);
    const Bytes jxl = Cjxl(dir, c.name, picture, "-d 1");
    const Pnm reference = Djxl(dir, c.name, jxl, c.channels);
    // libjxl renders lossy colour to R, G, B whatever the header's model.
    FrameSpec spec = SpecOf(picture, c.bitsAllocated, c.bits);
    spec.ybrPhotometric = c.channels == 3;
    const Decoded d = CheckAndDecode(jxl, spec);
    ASSERT_TRUE(d.checked && d.ok) << d.out.why;
    EXPECT_EQ(d.out.rgb, c.channels == 3);
    EXPECT_LE(MaxDifference(d.Samples(c.bitsAllocated), reference.samples), 1);
    EXPECT_GT(MaxDifference(d.Samples(c.bitsAllocated), picture.samples), 0) << "not lossy";
  }
  // A baseline JPEG recompressed without loss decodes to pixels as djxl does.
  const Pnm picture = Picture(50, 34, 3, 8, 22);
  WritePnm(dir + "/in.ppm", picture);
  ASSERT_TRUE(codectest::RunTool("cjpeg -quality 85 -outfile " + Quote(dir + "/in.jpg") + " " +
                                 Quote(dir + "/in.ppm")));
  ASSERT_TRUE(codectest::RunTool("cjxl " + Quote(dir + "/in.jpg") + " " + Quote(dir + "/in.jxl")));
  const Bytes jxl = codectest::ReadBytes(dir + "/in.jxl");
  const Pnm reference = Djxl(dir, "recompressed", jxl, 3);
  FrameSpec spec = SpecOf(picture, 8, 8);
  spec.rgbPhotometric = false;
  spec.ybrPhotometric = true;  // as the JPEG's header would say
  const Decoded d = CheckAndDecode(jxl, spec);
  ASSERT_TRUE(d.checked && d.ok) << d.out.why;
  EXPECT_TRUE(d.out.rgb);
  EXPECT_LE(MaxDifference(d.Samples(8), reference.samples), 1);
}

TEST(JpegXl, HeadersThatDisagreeWithTheFrameAreRefusedBeforeDecoding) {
  REQUIRE_TOOL("cjxl");
  const std::string dir = TestDir();
  const Pnm grey = Picture(40, 30, 1, 12, 31);
  const Bytes greyJxl = Cjxl(dir, "grey", grey, "-d 0");
  const Pnm colour = Picture(40, 30, 3, 8, 32);
  const Bytes colourJxl = Cjxl(dir, "colour", colour, "-d 0");
  struct Bad {
    const char* name;
    const Bytes* jxl;
    FrameSpec spec;
    const char* reason;
  };
  FrameSpec columns = SpecOf(grey, 16, 12), rows = columns, bits = columns, samples = columns;
  columns.columns = 41;
  rows.rows = 3000;
  bits.bitsAllocated = bits.bitsStored = 8;
  FrameSpec greyFrame = SpecOf(colour, 8, 8);
  greyFrame.samples = 1;
  samples.samples = 4;
  const Bad cases[] = {
      {"columns", &greyJxl, columns, "40 x 30"},
      {"rows", &greyJxl, rows, "40 x 30"},
      {"bits", &greyJxl, bits, "12-bit"},
      {"samples", &greyJxl, samples, "4 samples"},
      {"colour in grey", &colourJxl, greyFrame, "colour"},
  };
  for (const Bad& b : cases) {
    SCOPED_TRACE(b.name);
    const Decoded d = CheckAndDecode(*b.jxl, b.spec);
    EXPECT_FALSE(d.checked);
    EXPECT_FALSE(d.ok);
    EXPECT_NE(d.out.why.find(b.reason), std::string::npos) << d.out.why;
    EXPECT_TRUE(std::all_of(d.buffer.begin(), d.buffer.end(), [](uint8_t v) { return v == 0; }));
  }
  // Not a JPEG XL stream at all: a JPEG, garbage, nothing.
  const FrameSpec spec = SpecOf(grey, 16, 12);
  for (const Bytes& junk : {Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 16}, Bytes(300, 0x42), Bytes{}}) {
    const Decoded d = CheckAndDecode(junk, spec);
    EXPECT_FALSE(d.checked || d.ok);
    EXPECT_NE(d.out.why.find("not a JPEG XL stream"), std::string::npos) << d.out.why;
  }
}

TEST(JpegXl, DamagedStreamsGiveAReasonOrAPartNeverMore) {
  REQUIRE_TOOL("cjxl");
  const std::string dir = TestDir();
  const Pnm picture = Picture(300, 200, 3, 8, 41);
  const Bytes jxl = Cjxl(dir, "whole", picture, "-d 0 -e 3");
  const FrameSpec spec = SpecOf(picture, 8, 8);
  // Cut short: nothing before the header is whole, a reason; once groups of
  // the picture are in, the part decoded so far.
  for (size_t cut :
       {size_t{1}, size_t{2}, size_t{12}, jxl.size() / 4, jxl.size() / 2, jxl.size() - 1}) {
    SCOPED_TRACE(cut);
    const Decoded d = CheckAndDecode(codectest::Head(jxl, cut), spec);
    if (cut >= jxl.size() / 2) {
      ASSERT_TRUE(d.ok) << d.out.why;
      EXPECT_TRUE(d.out.incomplete);
      EXPECT_TRUE(std::any_of(d.buffer.begin(), d.buffer.end(), [](uint8_t v) { return v != 0; }));
    } else if (!d.ok) {
      EXPECT_FALSE(d.out.why.empty());
    }
  }
  EXPECT_FALSE(CheckAndDecode(codectest::Head(jxl, 12), spec).ok);  // not even the header
  // Bytes flipped through the coded data: a reason or a picture, in bounds.
  uint32_t state = 5;
  for (int k = 0; k < 40; ++k) {
    Bytes bent = jxl;
    for (int j = 0; j < 4; ++j) {
      state = state * 1664525u + 1013904223u;
      bent[16 + state % (bent.size() - 16)] ^= uint8_t(state >> 24 | 1);
    }
    const Decoded d = CheckAndDecode(bent, spec);
    if (!d.ok) {
      EXPECT_FALSE(d.out.why.empty());
    }
  }
}

}  // namespace
