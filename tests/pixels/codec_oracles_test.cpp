// The codecs of the table against foreign decoders: files made with the
// public tools on this machine, decoded here and by DCMTK or GDCM, compared
// sample by sample (lossless to the byte, lossy within the rounding of the
// tools' arithmetic).
#include <gtest/gtest.h>

#include "codec_fixtures.h"
#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"

namespace {

using namespace codectest;

struct Decoded {
  bool ok = false;
  Bytes samples;  // every frame, as the decode command writes them
  std::string why;
  int frames = 0;
  bool incomplete = false;
  DICOMdata header;
};

Bytes AsBytes(const DecodedFrame& f) {
  if (!f.buff8.empty()) return f.buff8;
  if (!f.buff24.empty()) return f.buff24;
  return WordsAsBytes(reinterpret_cast<const uint16_t*>(f.buff16.data()), f.buff16.size());
}

Decoded DecodeFile(const std::string& path) {
  Decoded d;
  bool hdrOK = false, imgOK = false;
  ReadDicomHeader(path, true, d.header, hdrOK, imgOK);
  if (!imgOK) {
    d.why = "the reader refused the image";
    return d;
  }
  d.frames = std::max(1, d.header.XYZdim[2]);
  for (int k = 1; k <= d.frames; ++k) {
    DecodedFrame f;
    if (!DecodeFrame(path, d.header, d.header.gECATJPEG_pos_table, d.header.gECATJPEG_size_table,
                     k, f, &d.why)) {
      return d;
    }
    d.incomplete = d.incomplete || f.incomplete;
    const Bytes b = AsBytes(f);
    d.samples.insert(d.samples.end(), b.begin(), b.end());
  }
  d.ok = true;
  return d;
}

// The uncompressed pixel data a tool writes, colour by pixel.
Bytes ToolPixels(const std::string& command, const std::string& in, const std::string& out,
                 size_t bytes, size_t pixelsPerFrame = 0, size_t bytesPerSample = 1) {
  EXPECT_TRUE(RunTool(command + " " + Quote(in) + " " + Quote(out)));
  Bytes all = Head(PixelData(out), bytes);
  if (pixelsPerFrame > 0 && PlanarConfiguration(out) == 1) {
    const size_t frameBytes = pixelsPerFrame * 3 * bytesPerSample;
    Bytes interleaved;
    for (size_t at = 0; at + frameBytes <= all.size(); at += frameBytes) {
      const Bytes i = Interleave(Bytes(all.begin() + std::ptrdiff_t(at),
                                       all.begin() + std::ptrdiff_t(at + frameBytes)),
                                 pixelsPerFrame, bytesPerSample);
      interleaved.insert(interleaved.end(), i.begin(), i.end());
    }
    all = interleaved;
  }
  return all;
}

int MaxDifference(const Bytes& a, const Bytes& b, int bytesPerSample) {
  if (a.size() != b.size()) return 1 << 20;
  int worst = 0;
  for (size_t i = 0; i + bytesPerSample <= a.size(); i += bytesPerSample) {
    int va = a[i], vb = b[i];
    if (bytesPerSample == 2) va |= a[i + 1] << 8, vb |= b[i + 1] << 8;
    worst = std::max(worst, std::abs(va - vb));
  }
  return worst;
}

ImageSpec Spec(int columns, int rows, int frames, int bits, int samples = 1) {
  ImageSpec s;
  s.columns = columns;
  s.rows = rows;
  s.frames = frames;
  s.bitsAllocated = bits > 8 ? 16 : 8;
  s.bitsStored = bits;
  s.samplesPerPixel = samples;
  if (samples == 3) s.photometric = "RGB";
  return s;
}

std::string WritePicture(const std::string& dir, const std::string& name, const ImageSpec& s,
                         uint32_t seed) {
  Bytes pixels;
  for (int f = 0; f < s.frames; ++f) {
    const Bytes b = StoredBytes(
        TestPicture(s.columns, s.rows, s.samplesPerPixel, s.bitsStored, seed + f), s.bitsAllocated);
    pixels.insert(pixels.end(), b.begin(), b.end());
  }
  return WriteDicom(dir, name, s, pixels);
}

TEST(TwelveBitJpeg, DecodesLikeDcmdjpegInEveryDctProcess) {
  const std::string dir = TestDir();
  const ImageSpec s = Spec(67, 45, 2, 12);
  const std::string raw = WritePicture(dir, "ct12", s, 40);
  const size_t bytes = size_t(67) * 45 * 2 * 2;
  for (const char* option : {"+ee", "+es", "+ep"}) {
    SCOPED_TRACE(option);
    const std::string coded = dir + "/coded.dcm";
    ASSERT_TRUE(RunTool(std::string("dcmcjpeg ") + option + " " + Quote(raw) + " " + Quote(coded)));
    const Decoded d = DecodeFile(coded);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_FALSE(d.incomplete);
    const Bytes expected = ToolPixels("dcmdjpeg", coded, dir + "/oracle.dcm", bytes);
    EXPECT_LE(MaxDifference(d.samples, expected, 2), 1);
  }
}

TEST(TwelveBitJpeg, EightBitStreamsInExtendedFilesGoToTheEightBitLibrary) {
  if (testsupport::SampleDir().empty()) GTEST_SKIP() << "pydicom sample files missing";
  const std::string dir = TestDir();
  // dcmcjpeg +ee on 8-bit data writes an 8-bit stream under the .51 UID.
  const ImageSpec s = Spec(40, 32, 1, 8);
  const std::string coded = dir + "/e8.dcm";
  ASSERT_TRUE(RunTool("dcmcjpeg +ee " + Quote(WritePicture(dir, "g8", s, 3)) + " " + Quote(coded)));
  Decoded d = DecodeFile(coded);
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ(d.header.TransferSyntaxUID, "1.2.840.10008.1.2.4.51");
  EXPECT_LE(MaxDifference(d.samples, ToolPixels("dcmdjpeg", coded, dir + "/o.dcm", 40 * 32), 1),
            1);
  // The pydicom sample: 12-bit extended, 1024 x 256.
  const std::string sample = testsupport::SamplePath("JPGExtended.dcm");
  d = DecodeFile(sample);
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ(d.samples, ToolPixels("dcmdjpeg", sample, dir + "/x.dcm", 1024 * 256 * 2));
}

TEST(TwelveBitJpeg, CutAndMismatchedStreamsAreBoundedAndSaySo) {
  const std::string dir = TestDir();
  const std::string coded = dir + "/c.dcm";
  ASSERT_TRUE(RunTool("dcmcjpeg +ee " + Quote(WritePicture(dir, "p", Spec(64, 64, 1, 12), 9)) +
                      " " + Quote(coded)));
  const Bytes stream = PixelItems(coded).back();
  // Cut in the middle: decoded as far as it goes, the rest marked.
  ImageSpec s = Spec(64, 64, 1, 12);
  Decoded d = DecodeFile(WriteEncapsulatedDicom(
      dir, "cut", s, "1.2.840.10008.1.2.4.51",
      {Bytes(stream.begin(), stream.begin() + std::ptrdiff_t(stream.size() / 2))}));
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_TRUE(d.incomplete);
  // A header that disagrees with the stream's size: refused, with the sizes.
  s = Spec(64, 60, 1, 12);
  d = DecodeFile(WriteEncapsulatedDicom(dir, "mismatch", s, "1.2.840.10008.1.2.4.51", {stream}));
  EXPECT_FALSE(d.ok);
  EXPECT_NE(d.why.find("64 x 64"), std::string::npos) << d.why;
  // An 8-bit header over the 12-bit stream gets its top eight bits.
  s = Spec(64, 64, 1, 8);
  d = DecodeFile(WriteEncapsulatedDicom(dir, "narrow", s, "1.2.840.10008.1.2.4.51", {stream}));
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ(d.samples.size(), 64u * 64u);
}

TEST(JpegLs, DecodesLikeDcmdjplsLosslessAndNearLossless) {
  const std::string dir = TestDir();
  struct Case {
    int bits, samples;
    const char* options;
  };
  for (const Case& c : {Case{8, 1, "+el"}, Case{12, 1, "+el"}, Case{16, 1, "+el"},
                        Case{16, 1, "+en +md 3"}, Case{8, 1, "+en"}, Case{8, 3, "+el +il"},
                        Case{8, 3, "+el +is"}, Case{8, 3, "+el +in"}, Case{8, 3, "+en +in"}}) {
    const std::string trace = std::to_string(c.bits) + " bits, " + std::to_string(c.samples) +
                              " samples, " + c.options;
    SCOPED_TRACE(trace);
    const ImageSpec s = Spec(61, 37, 2, c.bits, c.samples);
    const std::string raw = WritePicture(dir, "src", s, 70 + c.bits);
    const std::string coded = dir + "/ls.dcm";
    ASSERT_TRUE(RunTool(std::string("dcmcjpls ") + c.options + " " + Quote(raw) + " " + Quote(coded)));
    const Decoded d = DecodeFile(coded);
    ASSERT_TRUE(d.ok) << d.why;
    const int bytes = c.bits > 8 ? 2 : 1;
    const Bytes expected = ToolPixels("dcmdjpls", coded, dir + "/oracle.dcm",
                                      size_t(61) * 37 * 2 * c.samples * bytes, 61 * 37, bytes);
    EXPECT_EQ(MaxDifference(d.samples, expected, bytes), 0);
  }
}

TEST(JpegLs, GdcmStreamsAndThePydicomSampleDecodeLikeGdcmconv) {
  const std::string dir = TestDir();
  for (int samples : {1, 3}) {
    SCOPED_TRACE(samples);
    const ImageSpec s = Spec(50, 41, 1, samples == 1 ? 16 : 8, samples);
    const std::string coded = dir + "/gdcm-ls.dcm";
    ASSERT_TRUE(RunTool("gdcmconv -L " + Quote(WritePicture(dir, "g", s, 5)) + " " + Quote(coded)));
    const Decoded d = DecodeFile(coded);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.samples, ToolPixels("gdcmconv --raw", coded, dir + "/o.dcm", d.samples.size(),
                                    50 * 41, 1));
  }
  if (testsupport::SampleDir().empty()) GTEST_SKIP() << "pydicom sample files missing";
  const std::string sample = testsupport::SamplePath("MR_small_jpeg_ls_lossless.dcm");
  const Decoded d = DecodeFile(sample);
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ(d.samples, ToolPixels("gdcmconv --raw", sample, dir + "/mr.dcm", 64 * 64 * 2));
}

TEST(JpegLs, CutAndMismatchedStreamsAreBoundedAndSaySo) {
  const std::string dir = TestDir();
  const std::string coded = dir + "/c.dcm";
  ASSERT_TRUE(RunTool("dcmcjpls " + Quote(WritePicture(dir, "p", Spec(64, 64, 1, 16), 9)) + " " +
                      Quote(coded)));
  const Bytes stream = PixelItems(coded).back();
  ImageSpec s = Spec(64, 64, 1, 16);
  Decoded d = DecodeFile(WriteEncapsulatedDicom(
      dir, "cut", s, "1.2.840.10008.1.2.4.80",
      {Bytes(stream.begin(), stream.begin() + std::ptrdiff_t(stream.size() / 2))}));
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_TRUE(d.incomplete);
  const Decoded whole = DecodeFile(coded);
  ASSERT_TRUE(whole.ok) << whole.why;
  // The first rows are there.
  EXPECT_TRUE(std::equal(d.samples.begin(), d.samples.begin() + 64 * 2 * 8, whole.samples.begin()));
  s = Spec(63, 64, 1, 16);
  d = DecodeFile(WriteEncapsulatedDicom(dir, "mismatch", s, "1.2.840.10008.1.2.4.80", {stream}));
  EXPECT_FALSE(d.ok);
  EXPECT_NE(d.why.find("64 x 64"), std::string::npos) << d.why;
  // Sixteen-bit samples do not go into an 8-bit frame.
  s = Spec(64, 64, 1, 8);
  d = DecodeFile(WriteEncapsulatedDicom(dir, "narrow", s, "1.2.840.10008.1.2.4.80", {stream}));
  EXPECT_FALSE(d.ok);
  EXPECT_NE(d.why.find("do not fit"), std::string::npos) << d.why;
}

}  // namespace
