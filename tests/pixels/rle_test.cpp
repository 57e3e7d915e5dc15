#include <gtest/gtest.h>

#include "codec_fixtures.h"
#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"
#include "pixels/codecs/RleDecoder.h"
#include "support/fixtures.h"

namespace {

using namespace codectest;

struct RleCase {
  std::string name;
  int frames, spp, bytesPerSample;
  int64_t pixels;
};

// Decodes every fragment of `rleFile` and compares it with dcmdrle's output
// of the same file, taken as R, G, B per pixel whatever its planar
// configuration.
void ExpectLikeDcmdrle(const std::string& dir, const std::string& rleFile, const RleCase& c) {
  SCOPED_TRACE(c.name);
  const std::string back = dir + "/" + c.name + ".back.dcm";
  ASSERT_TRUE(RunTool("dcmdrle " + Quote(rleFile) + " " + Quote(back)));
  const Bytes oracle = PixelData(back);
  const bool planar = PlanarConfiguration(back) == 1;
  const std::vector<Bytes> items = PixelItems(rleFile);
  ASSERT_EQ(items.size(), static_cast<size_t>(c.frames) + 1);
  const size_t frameBytes = static_cast<size_t>(c.pixels) * c.spp * c.bytesPerSample;
  for (int f = 0; f < c.frames; ++f) {
    Bytes out(frameBytes, 0xEE);
    std::string why;
    ASSERT_TRUE(DecodeRle(items[f + 1].data(), items[f + 1].size(), c.spp, c.bytesPerSample,
                          c.pixels, out.data(), &why))
        << why;
    Bytes expected(oracle.begin() + static_cast<std::ptrdiff_t>(f * frameBytes),
                   oracle.begin() + static_cast<std::ptrdiff_t>((f + 1) * frameBytes));
    if (planar && c.spp == 3) {
      expected = Interleave(expected, static_cast<size_t>(c.pixels), c.bytesPerSample);
    }
    // dcmdrle writes little-endian samples; ours are in machine order, the same here.
    EXPECT_TRUE(out == expected) << "frame " << f + 1 << " differs from dcmdrle";
  }
}

TEST(Rle, DecodesLikeDcmdrle) {
  const std::string dir = TestDir();
  struct Source {
    const char* name;
    int bitsAllocated, spp, frames, planar;
  };
  const Source sources[] = {{"grey8", 8, 1, 1, 0},
                            {"grey16", 16, 1, 3, 0},
                            {"rgb", 8, 3, 2, 0},
                            {"rgb-planar", 8, 3, 1, 1}};
  for (const Source& s : sources) {
    ImageSpec desc;
    desc.columns = 45;
    desc.rows = 31;
    desc.frames = s.frames;
    desc.bitsAllocated = desc.bitsStored = s.bitsAllocated;
    desc.samplesPerPixel = s.spp;
    desc.planar = s.planar;
    if (s.spp == 3) desc.photometric = "RGB";
    Bytes stored;
    for (int f = 0; f < s.frames; ++f) {
      // Flat areas make long runs, noise makes literals.
      auto picture = TestPicture(45, 31, s.spp, s.bitsAllocated, 20 + f);
      for (size_t i = 0; i < picture.size() / 3; ++i) picture[i] = 77;
      Bytes frame = StoredBytes(picture, s.bitsAllocated);
      if (s.planar) {
        Bytes planes(frame.size());
        for (size_t i = 0; i < 45 * 31; ++i) {
          for (size_t ch = 0; ch < 3; ++ch) planes[ch * 45 * 31 + i] = frame[3 * i + ch];
        }
        frame = planes;
      }
      stored.insert(stored.end(), frame.begin(), frame.end());
    }
    const std::string in = WriteDicom(dir, s.name, desc, stored);
    const std::string rle = dir + "/" + s.name + ".rle.dcm";
    ASSERT_TRUE(RunTool("dcmcrle " + Quote(in) + " " + Quote(rle)));
    ExpectLikeDcmdrle(dir, rle, {s.name, s.frames, s.spp, s.bitsAllocated / 8, 45 * 31});
  }
}

TEST(Rle, SampleFilesDecodeLikeDcmdrle) {
  REQUIRE_SAMPLES();
  const std::string dir = TestDir();
  const RleCase cases[] = {
      {"MR_small_RLE.dcm", 1, 1, 2, 64 * 64},        {"SC_rgb_rle.dcm", 1, 3, 1, 100 * 100},
      {"SC_rgb_rle_2frame.dcm", 2, 3, 1, 100 * 100}, {"SC_rgb_rle_16bit.dcm", 1, 3, 2, 100 * 100},
      {"rtdose_rle.dcm", 15, 1, 4, 10 * 10},
  };
  for (const RleCase& c : cases) ExpectLikeDcmdrle(dir, testsupport::SamplePath(c.name), c);
}

Bytes RleFrame(const std::vector<Bytes>& segments) {
  Bytes f(64, 0);
  f[0] = static_cast<uint8_t>(segments.size());
  uint32_t offset = 64;
  for (size_t s = 0; s < segments.size(); ++s) {
    for (int b = 0; b < 4; ++b) f[4 + 4 * s + b] = static_cast<uint8_t>(offset >> (8 * b));
    offset += static_cast<uint32_t>(segments[s].size());
  }
  for (const Bytes& s : segments) f.insert(f.end(), s.begin(), s.end());
  return f;
}

TEST(Rle, PackBitsRunsLiteralsAndNoOps) {
  // 3 literals, a run of 4, a no-op, 1 literal; then more than fits.
  const Bytes segment = {2, 10, 11, 12, 0xFD, 20, 0x80, 0, 30, 0x81, 40};
  const Bytes frame = RleFrame({segment});
  Bytes out(9 + 4, 0xEE);
  ASSERT_TRUE(DecodeRle(frame.data(), frame.size(), 1, 1, 9, out.data()));
  EXPECT_EQ(out, (Bytes{10, 11, 12, 20, 20, 20, 20, 30, 40, 0xEE, 0xEE, 0xEE, 0xEE}));
  // Two segments of a 16-bit sample: most significant byte first.
  const Bytes words = RleFrame({{0xFE, 0x12}, {0, 0x34, 0, 0x56, 0, 0x78}});
  std::vector<uint16_t> w(3);
  ASSERT_TRUE(DecodeRle(words.data(), words.size(), 1, 2, 3, reinterpret_cast<uint8_t*>(w.data())));
  EXPECT_EQ(w, (std::vector<uint16_t>{0x1234, 0x1256, 0x1278}));
  // Colour planes come out as R, G, B per pixel; a short segment gives zeros.
  const Bytes rgb = RleFrame({{0xFF, 1}, {1, 2, 3}, {0}});
  Bytes px(6, 0xEE);
  ASSERT_TRUE(DecodeRle(rgb.data(), rgb.size(), 3, 1, 2, px.data()));
  EXPECT_EQ(px, (Bytes{1, 2, 0, 1, 3, 0}));
}

// PackBits as the standard's encoder writes it: runs of up to 128 equal
// bytes, literals otherwise.
Bytes PackBits(const Bytes& in) {
  Bytes out;
  size_t i = 0;
  while (i < in.size()) {
    size_t run = 1;
    while (i + run < in.size() && run < 128 && in[i + run] == in[i]) ++run;
    if (run > 1) {
      out.push_back(static_cast<uint8_t>(257 - run));
      out.push_back(in[i]);
      i += run;
      continue;
    }
    size_t n = 1;
    while (i + n < in.size() && n < 128 && !(i + n + 1 < in.size() && in[i + n] == in[i + n + 1]))
      ++n;
    out.push_back(static_cast<uint8_t>(n - 1));
    out.insert(out.end(), in.begin() + std::ptrdiff_t(i), in.begin() + std::ptrdiff_t(i + n));
    i += n;
  }
  return out;
}

TEST(Rle, OneBitSegmentationsDecodeLikeTheirUncompressedSource) {
  // A binary segmentation, mostly empty frames: each frame's packed bits in
  // one segment, padded to a whole byte per frame (201 x 255 is no multiple
  // of 8), the empty frames' fragments far below 1 kB. Such frames were
  // refused: the bound counted a byte per pixel, eight times what the
  // segment codes.
  const std::string dir = TestDir();
  constexpr int kW = 201, kH = 255, kFrames = 6;
  constexpr int64_t kPixels = int64_t(kW) * kH;
  std::vector<uint8_t> bits(size_t(kPixels * kFrames), 0);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const size_t i = size_t(y) * kW + size_t(x);
      if ((x - 90) * (x - 90) + (y - 120) * (y - 120) < 50 * 50) bits[size_t(kPixels) + i] = 1;
      if (x < 3 || y > kH - 4) bits[size_t(4 * kPixels) + i] = 1;
    }
  Bytes native((bits.size() + 7) / 8, 0);  // frames packed without gaps
  for (size_t i = 0; i < bits.size(); ++i) native[i / 8] |= uint8_t(bits[i] << (i % 8));
  std::vector<Bytes> fragments;
  for (int f = 0; f < kFrames; ++f) {
    Bytes packed(size_t((kPixels + 7) / 8), 0);
    for (int64_t i = 0; i < kPixels; ++i)
      packed[size_t(i / 8)] |= uint8_t(bits[size_t(f * kPixels + i)] << (i % 8));
    Bytes segment = PackBits(packed);
    if (segment.size() % 2) segment.push_back(0x80);  // a no-op keeps the fragment even
    fragments.push_back(RleFrame({segment}));
    if (f != 1 && f != 4) {
      EXPECT_LT(fragments.back().size(), 200u);
    }
  }
  ImageSpec desc;
  desc.columns = kW;
  desc.rows = kH;
  desc.frames = kFrames;
  desc.bitsAllocated = desc.bitsStored = 1;
  const std::string source = WriteDicom(dir, "native", desc, native);
  const std::string rle =
      WriteEncapsulatedDicom(dir, "rle", desc, "1.2.840.10008.1.2.5", fragments);
  // The source as DCMTK reads it, one byte of 0 or 255 per pixel as held.
  ASSERT_TRUE(RunTool("dcmconv +te " + Quote(source) + " " + Quote(dir + "/back.dcm")));
  const Bytes stored = PixelData(dir + "/back.dcm");
  ASSERT_GE(stored.size(), native.size());
  DICOMdata h;
  bool hdrOK = false, imgOK = false;
  ReadDicomHeader(rle, true, h, hdrOK, imgOK);
  ASSERT_TRUE(imgOK);
  ASSERT_EQ(h.XYZdim[2], kFrames);
  for (int f = 1; f <= kFrames; ++f) {
    SCOPED_TRACE(f);
    DecodedFrame d;
    std::string why;
    ASSERT_TRUE(DecodeFrame(rle, h, h.gECATJPEG_pos_table, h.gECATJPEG_size_table, f, d, &why))
        << why;
    EXPECT_FALSE(d.incomplete);
    ASSERT_EQ(d.buff8.size(), size_t(kPixels));
    for (int64_t i = 0; i < kPixels; ++i) {
      const int64_t b = (f - 1) * kPixels + i;
      ASSERT_EQ(d.buff8[size_t(i)], ((stored[size_t(b / 8)] >> (b % 8)) & 1) ? 255 : 0) << i;
    }
  }
  // The same bound holds for frames stored uncompressed in fragments (.1.98):
  // a frame's packed bits, not a byte per pixel.
  std::vector<Bytes> plain;
  for (int f = 0; f < kFrames; ++f) {
    Bytes packed(size_t((kPixels + 7) / 8) + 1, 0);
    for (int64_t i = 0; i < kPixels; ++i)
      packed[size_t(i / 8)] |= uint8_t(bits[size_t(f * kPixels + i)] << (i % 8));
    plain.push_back(packed);
  }
  fixtures::ImageSpec f;  // dump2dcm does not know this syntax: our own writer
  f.columns = kW;
  f.rows = kH;
  f.frames = kFrames;
  f.bitsAllocated = f.bitsStored = 1;
  const std::string encapsulated = fixtures::WriteFile(
      dir, "plain.dcm", fixtures::EncapsulatedFile(f, "1.2.840.10008.1.2.1.98", plain));
  ReadDicomHeader(encapsulated, true, h, hdrOK, imgOK);
  ASSERT_TRUE(imgOK);
  DecodedFrame second;
  std::string reason;
  ASSERT_TRUE(DecodeFrame(encapsulated, h, h.gECATJPEG_pos_table, h.gECATJPEG_size_table, 2, second,
                          &reason))
      << reason;
  EXPECT_EQ(std::count(second.buff8.begin(), second.buff8.end(), 255),
            std::count(bits.begin() + kPixels, bits.begin() + 2 * kPixels, 1));

  // One byte per pixel in the segment, as some writers code it, reads alike.
  Bytes bytes(bits.begin() + kPixels, bits.begin() + 2 * kPixels);
  const Bytes unpacked = RleFrame({PackBits(bytes)});
  FrameSpec spec;
  spec.columns = kW;
  spec.rows = kH;
  spec.bitsAllocated = spec.bitsStored = 1;
  Bytes out(size_t(kPixels), 0xEE);
  CodecOutput o;
  o.data = out.data();
  o.size = out.size();
  std::string why;
  ASSERT_TRUE(CheckRleFrame(unpacked.data(), unpacked.size(), spec, why)) << why;
  ASSERT_TRUE(DecodeRleFrame(unpacked.data(), unpacked.size(), spec, o)) << o.why;
  EXPECT_TRUE(out == bytes);
}

TEST(Rle, RefusesMalformedHeaders) {
  auto expectRefused = [](Bytes frame, int spp, int bps, const char* what) {
    Bytes out(16, 0xEE);
    std::string why;
    EXPECT_FALSE(DecodeRle(frame.data(), frame.size(), spp, bps, 4, out.data(), &why)) << what;
    EXPECT_FALSE(why.empty()) << what;
    EXPECT_EQ(out, Bytes(16, 0xEE)) << what;
  };
  const Bytes good = RleFrame({{3, 1, 2, 3, 4}});
  expectRefused(Bytes(good.begin(), good.begin() + 63), 1, 1, "short header");
  Bytes none = good;
  none[0] = 0;
  expectRefused(none, 1, 1, "no segments");
  Bytes sixteen = good;
  sixteen[0] = 16;
  expectRefused(sixteen, 1, 1, "sixteen segments");
  expectRefused(good, 3, 1, "fewer segments than samples");
  Bytes inHeader = good;
  inHeader[4] = 8;
  expectRefused(inHeader, 1, 1, "offset inside the header");
  Bytes beyond = good;
  beyond[5] = 0x10;
  expectRefused(beyond, 1, 1, "offset beyond the data");
  expectRefused(good, 4, 4, "more than 15 segments needed");
}

// An output buffer between two guard areas of a position-dependent canary,
// so a write outside the frame shows without a sanitizer too.
class Guarded {
 public:
  explicit Guarded(size_t size) : bytes_(kGuard + size + kGuard) {
    for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = Canary(i);
  }
  uint8_t* data() { return bytes_.data() + kGuard; }
  Bytes Output() const { return Bytes(bytes_.begin() + kGuard, bytes_.end() - kGuard); }
  // The first guard byte changed, as "before N" or "after N" (bytes from the
  // frame's edge); empty when both guards are intact.
  std::string Damage() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (bytes_[kGuard - 1 - i] != Canary(kGuard - 1 - i))
        return "before " + std::to_string(i + 1);
    for (size_t i = bytes_.size() - kGuard; i < bytes_.size(); ++i)
      if (bytes_[i] != Canary(i))
        return "after " + std::to_string(i - (bytes_.size() - kGuard) + 1);
    return {};
  }

 private:
  static constexpr size_t kGuard = 256;
  static uint8_t Canary(size_t i) { return static_cast<uint8_t>(0xA5 ^ (i * 37)); }
  Bytes bytes_;
};

TEST(Rle, SegmentsLongerThanTheFrameAreCutAtItsEnd) {
  // Runs and literals that go on well past the frame, through each of the
  // decoder's paths: one segment, 16-bit words, colour, and 32-bit samples.
  Bytes runs, literals;
  for (int i = 0; i < 8; ++i) runs.insert(runs.end(), {0x81, static_cast<uint8_t>(0x40 + i)});
  literals.push_back(127);
  for (int i = 0; i < 128; ++i) literals.push_back(static_cast<uint8_t>(i + 1));
  const int64_t pixels = 100;
  struct Case {
    const char* name;
    int spp, bytesPerSample;
  };
  for (const Case c : {Case{"grey8", 1, 1}, Case{"grey16", 1, 2}, Case{"rgb", 3, 1},
                       Case{"grey32", 1, 4}, Case{"rgb16", 3, 2}}) {
    for (const Bytes* segment : {&runs, &literals}) {
      SCOPED_TRACE(std::string(c.name) + (segment == &runs ? " runs" : " literals"));
      const int segments = c.spp * c.bytesPerSample;
      const Bytes frame = RleFrame(std::vector<Bytes>(static_cast<size_t>(segments), *segment));
      Guarded out(static_cast<size_t>(pixels * segments));
      bool incomplete = true;
      ASSERT_TRUE(DecodeRle(frame.data(), frame.size(), c.spp, c.bytesPerSample, pixels, out.data(),
                            nullptr, &incomplete));
      EXPECT_EQ(out.Damage(), "");
      EXPECT_FALSE(incomplete);
      // All segments alike: every byte of pixel p is the segment's byte p,
      // whatever the byte order.
      Bytes expected;
      for (int64_t p = 0; p < pixels; ++p)
        expected.insert(expected.end(), static_cast<size_t>(segments),
                        segment == &runs ? uint8_t{0x40} : static_cast<uint8_t>(p + 1));
      EXPECT_EQ(out.Output(), expected);
    }
  }
}

TEST(Rle, TruncatedAndCorruptedFramesStayInBounds) {
  std::vector<Bytes> segments(3);
  for (int s = 0; s < 3; ++s) {
    for (int i = 0; i < 40; ++i) {
      segments[s].push_back(static_cast<uint8_t>(i % 3 ? 0xF0 + s : 5));
      segments[s].push_back(static_cast<uint8_t>(i * 7 + s));
    }
  }
  const Bytes frame = RleFrame(segments);
  const int64_t pixels = 500;
  for (size_t cut = 0; cut <= frame.size(); cut += 3) {
    const auto data = std::make_unique<uint8_t[]>(cut + 1);
    std::copy(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut), data.get());
    Guarded out(pixels * 3);
    DecodeRle(data.get(), cut, 3, 1, pixels, out.data());
    ASSERT_EQ(out.Damage(), "") << "cut at " << cut;
  }
  uint32_t state = 5;
  for (int round = 0; round < 500; ++round) {
    Bytes bad = frame;
    state = state * 1664525u + 1013904223u;
    bad[(state >> 8) % bad.size()] = static_cast<uint8_t>(state >> 24);
    // Fewer pixels than the segments hold: the segments overrun, and a
    // corrupted count or offset may claim a single segment or other planes.
    for (const int64_t count : {pixels, int64_t{7}}) {
      Guarded out(static_cast<size_t>(count) * 3);
      DecodeRle(bad.data(), bad.size(), 3, 1, count, out.data());
      ASSERT_EQ(out.Damage(), "") << "round " << round << ", " << count << " pixels";
      Guarded grey(static_cast<size_t>(count));
      DecodeRle(bad.data(), bad.size(), 1, 1, count, grey.data());
      ASSERT_EQ(grey.Damage(), "") << "round " << round << ", " << count << " grey pixels";
    }
  }
}

}  // namespace
