// The deeper pixel formats (palette colour, deep colour, signed bytes, 32-bit
// integers, float and double data, 1-bit frames) against what pydicom itself
// decodes from the same files (make_formats.py), and the header fields that
// describe the held buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec_fixtures.h"
#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"
#include "pixels/FrameGeometry.h"

namespace {

using namespace codectest;

const std::string& FormatsDir() {
  static const std::string dir = [] {
    // One folder per process: ctest runs the tests of this file side by side.
    const std::string d = testsupport::TempDir("held-formats-" + std::to_string(::getpid()));
    const std::string script = std::string(TAVROLEN_SOURCE_DIR) + "/tests/pixels/make_formats.py";
    EXPECT_TRUE(RunTool("/usr/bin/python3 " + Quote(script) + " " + Quote(d)));
    return d;
  }();
  return dir;
}

struct File {
  DICOMdata header;
  std::vector<DecodedFrame> frames;
  std::string why;
};

File DecodeAll(const std::string& path) {
  File f;
  bool hdrOK = false, imgOK = false;
  ReadDicomHeader(path, true, f.header, hdrOK, imgOK);
  if (!imgOK) {
    f.why = "refused by the reader";
    return f;
  }
  for (int k = 1; k <= std::max(1, f.header.XYZdim[2]); ++k) {
    DecodedFrame d;
    if (!DecodeFrame(path, f.header, f.header.gECATJPEG_pos_table, f.header.gECATJPEG_size_table, k,
                     d, &f.why)) {
      f.frames.clear();
      return f;
    }
    f.frames.push_back(std::move(d));
  }
  return f;
}

Bytes Held(const DecodedFrame& d) {
  if (!d.buff8.empty()) return d.buff8;
  if (!d.buff24.empty()) return d.buff24;
  return WordsAsBytes(reinterpret_cast<const uint16_t*>(d.buff16.data()), d.buff16.size());
}

TEST(HeldFormats, HoldWhatPydicomDecodes) {
  const struct {
    const char* name;
    int allocBits, samples;  // of the header once adopted
  } cases[] = {
      {"palette8", 8, 3},
      {"palette8_lut8", 8, 3},
      {"palette_hotiron", 8, 3},
      {"palette16", 8, 3},
      {"palette65536", 8, 3},
      {"palette_segmented", 8, 3},
      {"rgb48_12", 8, 3},
      {"rgb48_16", 8, 3},
      {"rgb48_narrow", 8, 3},
      {"rgb96", 8, 3},
      {"int8", 16, 1},
      {"bits1", 8, 1},
      // Deflated frames and a deflated data set with a zlib header.
      {"deflated_u16", 16, 1},
      {"deflated_bits", 8, 1},
      {"dataset_zlib", 16, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = FormatsDir() + "/" + c.name;
    const File f = DecodeAll(base + ".dcm");
    ASSERT_FALSE(f.frames.empty()) << f.why;
    Bytes all;
    for (const DecodedFrame& d : f.frames) {
      const Bytes b = Held(d);
      all.insert(all.end(), b.begin(), b.end());
    }
    EXPECT_TRUE(all == ReadBytes(base + ".expected"));
    // The adopted header describes the held buffer, so the display code
    // picks it.
    DICOMdata shown = f.header;
    AdoptHeldLayout(shown, f.frames[0]);
    EXPECT_EQ(shown.Allocbits_per_pixel, c.allocBits);
    EXPECT_EQ(shown.SamplesPerPixel, c.samples);
    EXPECT_EQ(ComputeFrameGeometry(shown).bitProduct, c.allocBits * c.samples);
  }
}

// Formats held through a mapping: word x slope + intercept gives the value
// back within half a step, and decoding again from the adopted header gives
// the same words.
TEST(HeldFormats, MappedFormatsKeepTheirValues) {
  const struct {
    const char* name;
    bool exact;  // the range fits the words: every value exactly
  } cases[] = {{"int32_wide", false},
               {"uint32_narrow", true},
               {"float32", false},
               {"float64", false},
               {"deflated_float", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string base = FormatsDir() + "/" + c.name;
    const File f = DecodeAll(base + ".dcm");
    ASSERT_FALSE(f.frames.empty()) << f.why;
    const Bytes raw = ReadBytes(base + ".values");
    std::vector<double> values(raw.size() / 8);
    std::memcpy(values.data(), raw.data(), values.size() * 8);
    DICOMdata shown = f.header;
    AdoptHeldLayout(shown, f.frames[0]);
    ASSERT_EQ(shown.Allocbits_per_pixel, 16);
    EXPECT_EQ(shown.pixel_representation, 0);
    const double slope = shown.IntenScale, intercept = shown.IntenIntercept;
    const double tolerance = c.exact ? 1e-6 : slope / 2 + 1e-6 * std::abs(intercept) + 1e-12;
    size_t i = 0;
    double worst = 0;
    for (const DecodedFrame& d : f.frames) {
      ASSERT_FALSE(d.buff16.empty());
      EXPECT_TRUE(d.held.differs);
      for (int16_t w : d.buff16) {
        ASSERT_LT(i, values.size());
        worst = std::max(worst, std::abs(uint16_t(w) * slope + intercept - values[i++]));
      }
    }
    EXPECT_EQ(i, values.size());
    EXPECT_LE(worst, tolerance);
    // Every frame of a file shares one mapping.
    EXPECT_EQ(f.frames.front().held.slope, f.frames.back().held.slope);
    DecodedFrame again;
    std::string why;
    ASSERT_TRUE(DecodeFrame(base + ".dcm", shown, shown.gECATJPEG_pos_table,
                            shown.gECATJPEG_size_table, 1, again, &why))
        << why;
    EXPECT_EQ(again.buff16, f.frames[0].buff16);
    DICOMdata twice = shown;
    AdoptHeldLayout(twice, again);
    EXPECT_TRUE(twice == shown);
  }
}

TEST(HeldFormats, DeflatedDataThatEndsEarlyOrExpandsTooFar) {
  // The last deflated frame is cut in half: shown as far as it goes, marked.
  const File cut = DecodeAll(FormatsDir() + "/deflated_cut.dcm");
  ASSERT_EQ(cut.frames.size(), 3u) << cut.why;
  EXPECT_FALSE(cut.frames[0].incomplete || cut.frames[1].incomplete);
  EXPECT_TRUE(cut.frames[2].incomplete);
  const File whole = DecodeAll(FormatsDir() + "/deflated_u16.dcm");
  ASSERT_EQ(whole.frames.size(), 3u);
  EXPECT_EQ(cut.frames[1].buff16, whole.frames[1].buff16);
  // A data set that expands far past what its size allows is refused with
  // one message, before it takes the memory it asks for.
  DICOMdata h;
  std::vector<std::string> messages;
  const DicomReadResult r =
      ReadDicomHeaderFromFile(FormatsDir() + "/dataset_bomb.dcm", true, h,
                              [&](const std::string& t) { messages.push_back(t); });
  EXPECT_FALSE(r.imgOK);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_NE(messages[0].find("expands past"), std::string::npos) << messages[0];
}

TEST(HeldFormats, DeepSampleFilesDecodeLikeTheTools) {
  REQUIRE_SAMPLES();
  const std::string dir = TestDir();
  // 16- and 32-bit RGB (RLE): every sample as dcmdrle decodes it, through a
  // window over the file's range (all frames, all channels) into 0 ... 255.
  for (const char* name : {"SC_rgb_rle_16bit.dcm", "SC_rgb_rle_32bit_2frame.dcm"}) {
    SCOPED_TRACE(name);
    const std::string path = testsupport::SamplePath(name);
    const File f = DecodeAll(path);
    ASSERT_FALSE(f.frames.empty()) << f.why;
    ASSERT_TRUE(RunTool("dcmdrle " + Quote(path) + " " + Quote(dir + "/o.dcm")));
    const Bytes stored = PixelData(dir + "/o.dcm");
    const bool byPlane = PlanarConfiguration(dir + "/o.dcm") == 1;
    const size_t width = size_t(f.header.Pixel.bitsAllocated / 8);
    const auto sampleAt = [&](size_t k) {
      uint64_t v = 0;  // little endian
      for (size_t b = width; b-- > 0;) v = v << 8 | stored[k * width + b];
      return double(v);
    };
    const size_t samples = stored.size() / width;
    double lo = sampleAt(0), hi = lo;
    for (size_t k = 1; k < samples; ++k)
      lo = std::min(lo, sampleAt(k)), hi = std::max(hi, sampleAt(k));
    ASSERT_GT(hi, lo);
    const size_t pixels = 100 * 100;
    size_t frame = 0;
    for (const DecodedFrame& d : f.frames) {
      ASSERT_EQ(d.buff24.size(), 3 * pixels);
      const size_t base = frame++ * 3 * pixels;
      for (size_t i = 0; i < 3 * pixels; ++i) {
        const size_t c = i % 3, p = i / 3;
        const size_t sample = base + (byPlane ? c * pixels + p : i);
        const double want =
            std::clamp(std::nearbyint((sampleAt(sample) - lo) * 255.0 / (hi - lo)), 0.0, 255.0);
        ASSERT_EQ(d.buff24[i], uint8_t(want)) << i;
      }
    }
  }
  // 32-bit dose grids: exact values where their range fits a word, else within the step.
  for (const char* name : {"rtdose.dcm", "rtdose_rle.dcm", "rtdose_expb.dcm"}) {
    SCOPED_TRACE(name);
    const File f = DecodeAll(testsupport::SamplePath(name));
    ASSERT_EQ(f.frames.size(), 15u) << f.why;
    DICOMdata shown = f.header;
    AdoptHeldLayout(shown, f.frames[0]);
    EXPECT_EQ(shown.IntenScale, 8.0f);  // 795000 ... 1254000 in steps of 8
    EXPECT_EQ(shown.IntenIntercept, 795000.0f);
  }
  // 1-bit segmentation frames: 0 and 255, as many set pixels as pydicom counts.
  const File liver = DecodeAll(testsupport::SamplePath("liver_1frame.dcm"));
  ASSERT_EQ(liver.frames.size(), 1u) << liver.why;
  EXPECT_EQ(std::count(liver.frames[0].buff8.begin(), liver.frames[0].buff8.end(), 255), 36233);
  EXPECT_EQ(std::count(liver.frames[0].buff8.begin(), liver.frames[0].buff8.end(), 0),
            512 * 512 - 36233);
}

}  // namespace
