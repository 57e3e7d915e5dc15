#include <gtest/gtest.h>

#include "codec_fixtures.h"
#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"

namespace {

using namespace codectest;

// How the expected buffer of a sample file is made.
enum class Oracle {
  kStored,    // the pixel data as dcmconv +te writes it (little endian)
  kDcmdjpeg,  // lossless JPEG
  kDcmdrle,   // RLE
  kGdcmRaw,   // JPEG 2000 (every component): gdcmconv --raw
  kDjpeg,     // baseline JPEG: djpeg on the frame's stream
  kRefused,   // no buffer can hold it, or no codec decodes it
};

struct Sample {
  const char* file;
  Oracle oracle;
  int frames;
};

const Sample kSamples[] = {
    {"CT_small.dcm", Oracle::kStored, 1},
    {"MR_small_implicit.dcm", Oracle::kStored, 1},
    {"MR_small_bigendian.dcm", Oracle::kStored, 1},
    {"ExplVR_BigEnd.dcm", Oracle::kStored, 1},  // colour by plane, big endian
    {"SC_rgb_small_odd.dcm", Oracle::kStored, 1},
    {"SC_rgb_jpeg_gdcm.dcm", Oracle::kDcmdjpeg, 1},
    {"MR_small_RLE.dcm", Oracle::kDcmdrle, 1},
    {"SC_rgb_rle.dcm", Oracle::kDcmdrle, 1},
    {"SC_rgb_rle_2frame.dcm", Oracle::kDcmdrle, 2},
    {"JPEG2000.dcm", Oracle::kGdcmRaw, 1},
    {"693_J2KI.dcm", Oracle::kGdcmRaw, 1},
    {"J2K_pixelrep_mismatch.dcm", Oracle::kGdcmRaw, 1},
    {"MR_small_jp2klossless.dcm", Oracle::kGdcmRaw, 1},
    {"GDCMJ2K_TextGBR.dcm", Oracle::kGdcmRaw, 1},
    {"SC_rgb_gdcm_KY.dcm", Oracle::kGdcmRaw, 1},
    {"SC_rgb_jpeg_dcmtk.dcm", Oracle::kDjpeg, 1},
    {"SC_rgb_small_odd_jpeg.dcm", Oracle::kDjpeg, 1},
    // RGB photometric: the samples as coded, whatever the stream's markers
    // say, as GDCM and DCMTK decode them (djpeg would convert).
    {"SC_jpeg_no_color_transform.dcm", Oracle::kGdcmRaw, 1},
    {"SC_rgb_jpeg.dcm", Oracle::kGdcmRaw, 1},  // an Adobe marker too short to count
    {"SC_jpeg_no_color_transform_2.dcm", Oracle::kGdcmRaw, 1},  // Adobe, no transform
    {"SC_rgb_dcmtk_+eb+cr.dcm", Oracle::kDcmdjpeg, 1},          // ids R, G, B
    {"SC_rgb_dcmtk_+eb+cy+s2.dcm", Oracle::kDcmdjpeg, 1},       // JFIF, YBR_FULL_422
    // Labelled RGB over YCbCr data with JFIF component ids: kept as coded.
    {"SC_rgb_jpeg_lossy_gdcm.dcm", Oracle::kDcmdjpeg, 1},
    {"JPGExtended.dcm", Oracle::kDcmdjpeg, 1},               // 12-bit JPEG
    {"MR_small_jpeg_ls_lossless.dcm", Oracle::kGdcmRaw, 1},  // JPEG-LS
    // 16- and 32-bit samples are held through a mapping: held_formats_test.
};

// The frames of a decoded file as one block of bytes, the way a
// little-endian file stores them.
Bytes AsStored(const DecodedFrame& f) {
  if (!f.buff8.empty()) return f.buff8;
  if (!f.buff24.empty()) return f.buff24;
  return WordsAsBytes(reinterpret_cast<const uint16_t*>(f.buff16.data()), f.buff16.size());
}

Bytes Expected(const std::string& dir, const std::string& path, Oracle oracle, size_t frameBytes,
               int frames, int samplesPerPixel) {
  const std::string out = dir + "/oracle.dcm";
  Bytes all;
  switch (oracle) {
    case Oracle::kStored:
      EXPECT_TRUE(RunTool("dcmconv +te " + Quote(path) + " " + Quote(out)));
      break;
    case Oracle::kDcmdjpeg:
      EXPECT_TRUE(RunTool("dcmdjpeg " + Quote(path) + " " + Quote(out)));
      break;
    case Oracle::kDcmdrle:
      EXPECT_TRUE(RunTool("dcmdrle " + Quote(path) + " " + Quote(out)));
      break;
    case Oracle::kGdcmRaw:
      EXPECT_TRUE(RunTool("gdcmconv --raw " + Quote(path) + " " + Quote(out)));
      break;
    case Oracle::kDjpeg: {
      const std::vector<Bytes> items = PixelItems(path);
      EXPECT_EQ(items.size(), static_cast<size_t>(frames) + 1);
      for (size_t i = 1; i < items.size(); ++i) {
        WriteBytes(dir + "/frame.jpg", items[i]);
        EXPECT_TRUE(RunTool("djpeg -pnm -outfile " + Quote(dir + "/frame.pnm") + " " +
                            Quote(dir + "/frame.jpg")));
        const Bytes pnm = ReadBytes(dir + "/frame.pnm");
        all.insert(all.end(), pnm.end() - static_cast<std::ptrdiff_t>(frameBytes), pnm.end());
      }
      return all;
    }
    case Oracle::kRefused:
      return all;
  }
  all = Head(PixelData(out), frameBytes * static_cast<size_t>(frames));
  if (samplesPerPixel == 3 && PlanarConfiguration(out) == 1) {
    Bytes interleaved;
    for (int f = 0; f < frames; ++f) {
      const Bytes frame(all.begin() + static_cast<std::ptrdiff_t>(f * frameBytes),
                        all.begin() + static_cast<std::ptrdiff_t>((f + 1) * frameBytes));
      const Bytes i = Interleave(frame, frameBytes / 3);
      interleaved.insert(interleaved.end(), i.begin(), i.end());
    }
    all = interleaved;
  }
  return all;
}

TEST(SampleFiles, DecodeToTheBuffersTheToolsGive) {
  REQUIRE_SAMPLES();
  const std::string dir = TestDir();
  for (const Sample& s : kSamples) {
    SCOPED_TRACE(s.file);
    const std::string path = testsupport::SamplePath(s.file);
    DICOMdata h;
    bool hdrOK = false, imgOK = false;
    ReadDicomHeader(path, true, h, hdrOK, imgOK);
    ASSERT_TRUE(hdrOK);
    ASSERT_EQ(std::max(1, h.XYZdim[2]), s.frames);
    if (!imgOK) {  // the reader already knows the image cannot be shown
      EXPECT_EQ(s.oracle, Oracle::kRefused);
      continue;
    }
    Bytes decoded;
    size_t frameBytes = 0;
    bool refused = false;
    for (int k = 1; k <= s.frames; ++k) {
      DecodedFrame f;
      std::string why;
      if (!DecodeFrame(path, h, h.gECATJPEG_pos_table, h.gECATJPEG_size_table, k, f, &why)) {
        refused = true;
        EXPECT_FALSE(why.empty());
        break;
      }
      const Bytes b = AsStored(f);
      frameBytes = b.size();
      decoded.insert(decoded.end(), b.begin(), b.end());
    }
    if (s.oracle == Oracle::kRefused) {
      EXPECT_TRUE(refused);
      continue;
    }
    ASSERT_FALSE(refused);
    const Bytes expected = Expected(dir, path, s.oracle, frameBytes, s.frames, h.SamplesPerPixel);
    EXPECT_EQ(decoded.size(), expected.size());
    EXPECT_TRUE(decoded == expected);
  }
}

// A 4:2:2 colour image stored uncompressed (two bytes per pixel): its bands
// in the colours pydicom converts them to.
TEST(SampleFiles, StoredYbr422ShowsItsColours) {
  REQUIRE_SAMPLES();
  const std::string path = testsupport::SamplePath("SC_ybr_full_422_uncompressed.dcm");
  DICOMdata h;
  bool hdrOK = false, imgOK = false;
  ReadDicomHeader(path, true, h, hdrOK, imgOK);
  ASSERT_TRUE(imgOK);
  DecodedFrame f;
  std::string why;
  ASSERT_TRUE(DecodeFrame(path, h, h.gECATJPEG_pos_table, h.gECATJPEG_size_table, 1, f, &why))
      << why;
  ASSERT_EQ(f.buff24.size(), 3u * 100 * 100);
  const std::pair<int, Bytes> bands[] = {{0, {254, 0, 0}},      {15, {255, 127, 127}},
                                         {35, {129, 255, 129}}, {55, {128, 127, 255}},
                                         {75, {64, 64, 64}},    {95, {255, 255, 255}}};
  for (const auto& [row, rgb] : bands) {
    for (int column : {0, 99}) {
      const auto at = f.buff24.begin() + 3 * (row * 100 + column);
      EXPECT_EQ(Bytes(at, at + 3), rgb) << "row " << row << ", column " << column;
    }
  }
}

// Frames split over several fragments, as dcmcjpeg +fs and dcmcrle +fs write
// them, decode like the tools decode them.
TEST(SampleFiles, FramesSplitOverFragmentsDecodeLikeTheTools) {
  const std::string dir = TestDir();
  ImageSpec desc;
  desc.columns = 96;
  desc.rows = 64;
  desc.frames = 3;
  Bytes stored;
  for (int f = 0; f < 3; ++f) {
    const Bytes frame = StoredBytes(TestPicture(96, 64, 1, 16, 50 + f), 16);
    stored.insert(stored.end(), frame.begin(), frame.end());
  }
  const std::string raw = WriteDicom(dir, "raw", desc, stored);
  for (const std::string& tool :
       {std::string("dcmcjpeg +el +sv 2 +fs 2"), std::string("dcmcrle +fs 2")}) {
    SCOPED_TRACE(tool);
    const std::string split = dir + "/split.dcm";
    ASSERT_TRUE(RunTool(tool + " " + Quote(raw) + " " + Quote(split)));
    ASSERT_GT(PixelItems(split).size(), 4u);  // more fragments than frames
    DICOMdata h;
    bool hdrOK = false, imgOK = false;
    ReadDicomHeader(split, true, h, hdrOK, imgOK);
    ASSERT_TRUE(imgOK);
    for (int k = 1; k <= 3; ++k) {
      DecodedFrame f;
      std::string why;
      ASSERT_TRUE(DecodeFrame(split, h, h.gECATJPEG_pos_table, h.gECATJPEG_size_table, k, f, &why))
          << why;
      EXPECT_TRUE(AsStored(f) ==
                  Bytes(stored.begin() + (k - 1) * 96 * 64 * 2, stored.begin() + k * 96 * 64 * 2))
          << "frame " << k;
    }
  }
}

}  // namespace
