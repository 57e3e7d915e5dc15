// The codecs of the table against foreign decoders: files made with the
// public tools on this machine, decoded here and by DCMTK or GDCM, compared
// sample by sample (lossless to the byte, lossy within the rounding of the
// tools' arithmetic).
#include <charls/charls.h>

#include <chrono>
#include <tuple>

#include <gtest/gtest.h>

#include "codec_fixtures.h"
#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"
#include "pixels/codecs/JpegLs.h"
#include "pixels/codecs/OpenJph.h"
#include "support/fixtures.h"

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
    if (!DecodeFrame(path, d.header, d.header.gECATJPEG_pos_table, d.header.gECATJPEG_size_table, k,
                     f, &d.why)) {
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
      const Bytes i = Interleave(
          Bytes(all.begin() + std::ptrdiff_t(at), all.begin() + std::ptrdiff_t(at + frameBytes)),
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
  REQUIRE_SAMPLES();
  const std::string dir = TestDir();
  // dcmcjpeg +ee on 8-bit data writes an 8-bit stream under the .51 UID.
  const ImageSpec s = Spec(40, 32, 1, 8);
  const std::string coded = dir + "/e8.dcm";
  ASSERT_TRUE(RunTool("dcmcjpeg +ee " + Quote(WritePicture(dir, "g8", s, 3)) + " " + Quote(coded)));
  Decoded d = DecodeFile(coded);
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ(d.header.TransferSyntaxUID, "1.2.840.10008.1.2.4.51");
  EXPECT_LE(MaxDifference(d.samples, ToolPixels("dcmdjpeg", coded, dir + "/o.dcm", 40 * 32), 1), 1);
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

// A baseline stream rewritten with the colour markers and component ids to
// try: JFIF (0), Adobe with transform 0 or 1 (1, 2) or none (3); the frame
// header made extended (SOF1), as the .51 syntax holds it.
Bytes WithColourMarkers(const Bytes& jpeg, int marker, const uint8_t ids[3]) {
  Bytes out = {0xFF, 0xD8};
  if (marker == 0)
    out.insert(out.end(), {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  if (marker == 1 || marker == 2)
    out.insert(out.end(), {0xFF, 0xEE, 0, 14, 'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0,
                           uint8_t(marker - 1)});
  uint8_t from[3] = {};
  size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    const uint8_t m = jpeg[at + 1];
    const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
    Bytes segment(jpeg.begin() + std::ptrdiff_t(at),
                  jpeg.begin() + std::ptrdiff_t(at + 2 + length));
    if (m == 0xC0) {
      segment[1] = 0xC1;
      for (int c = 0; c < 3; ++c) {
        from[c] = segment[10 + 3 * c];
        segment[10 + 3 * c] = ids[c];
      }
    }
    if (m == 0xDA) {
      for (int i = 0; i < segment[4]; ++i)
        for (int c = 0; c < 3; ++c)
          if (segment[5 + 2 * i] == from[c]) {
            segment[5 + 2 * i] = ids[c];
            break;
          }
      out.insert(out.end(), segment.begin(), segment.end());
      out.insert(out.end(), jpeg.begin() + std::ptrdiff_t(at + 2 + length), jpeg.end());
      return out;
    }
    if (m != 0xE0 && m != 0xEE) out.insert(out.end(), segment.begin(), segment.end());
    at += 2 + length;
  }
  return {};
}

TEST(JpegColour, ThePhotometricDecidesTheTransformAsDcmdjpegDecidesIt) {
  // Streams of YCbCr and of untransformed RGB data, under every combination
  // of JFIF and Adobe markers and component ids, labelled RGB or YBR: DCMTK
  // (and GDCM, which keeps the samples under the label) converts exactly when
  // the label is a YBR model, whatever the stream says; a viewer that let the
  // markers decide showed such files in other colours than theirs.
  const std::string dir = TestDir();
  constexpr int kW = 48, kH = 32;
  const auto picture = TestPicture(kW, kH, 3, 8, 31);
  const std::string head = "P6\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n255\n";
  Bytes ppm(head.begin(), head.end());
  for (uint16_t v : picture) ppm.push_back(uint8_t(v));
  WriteBytes(dir + "/in.ppm", ppm);
  const uint8_t kIds[3][3] = {{1, 2, 3}, {'R', 'G', 'B'}, {0, 1, 2}};
  for (const bool rgbData : {false, true}) {
    const std::string coded = dir + (rgbData ? "/rgb.jpg" : "/ycc.jpg");
    ASSERT_TRUE(RunTool(std::string("cjpeg -quality 95 ") + (rgbData ? "-rgb " : "-sample 2x1 ") +
                        "-outfile " + Quote(coded) + " " + Quote(dir + "/in.ppm")));
    const Bytes jpeg = ReadBytes(coded);
    // One frame per combination of marker and ids.
    std::vector<Bytes> frames;
    for (int marker = 0; marker < 4; ++marker) {
      for (const auto& ids : kIds) {
        frames.push_back(WithColourMarkers(jpeg, marker, ids));
        ASSERT_FALSE(frames.back().empty());
      }
    }
    for (const char* photometric : {"RGB", "YBR_FULL_422"}) {
      SCOPED_TRACE(std::string(rgbData ? "RGB" : "YCbCr") + " data labelled " + photometric);
      ImageSpec s = Spec(kW, kH, int(frames.size()), 8, 3);
      s.photometric = photometric;
      const std::string file =
          WriteEncapsulatedDicom(dir, "c", s, "1.2.840.10008.1.2.4.51", frames);
      const Decoded d = DecodeFile(file);
      ASSERT_TRUE(d.ok) << d.why;
      const size_t frameBytes = size_t(kW) * kH * 3;
      const Bytes expected =
          ToolPixels("dcmdjpeg", file, dir + "/o.dcm", frameBytes * frames.size(), kW * kH);
      ASSERT_EQ(d.samples.size(), expected.size());
      for (size_t f = 0; f < frames.size(); ++f) {
        const auto begin = std::ptrdiff_t(f * frameBytes), end = begin + std::ptrdiff_t(frameBytes);
        EXPECT_TRUE(std::equal(d.samples.begin() + begin, d.samples.begin() + end,
                               expected.begin() + begin))
            << "marker " << f / 3 << " (JFIF, Adobe 0, Adobe 1, none), ids " << int(kIds[f % 3][0]);
      }
    }
  }
}

TEST(JpegFrames, ManySmallFramesAreLocatedByTheOffsetTableOrTheirFirstMarker) {
  // A 140-frame YBR_FULL_422 baseline cine: empty frames compress below
  // 1 kB, some frames span two fragments. With an offset table the frames
  // are where it says; without one, where a fragment begins with SOI, as
  // DCMTK finds them. Every frame as dcmdjpeg gives it.
  const std::string dir = TestDir();
  constexpr int kW = 64, kH = 48, kFrames = 140;
  const std::string head = "P6\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n255\n";
  std::vector<Bytes> streams;
  for (int pattern = 0; pattern < 3; ++pattern) {
    Bytes ppm(head.begin(), head.end());
    const auto picture = TestPicture(kW, kH, 3, 8, 50 + uint32_t(pattern));
    for (uint16_t v : picture) ppm.push_back(pattern == 0 ? 16 : uint8_t(v));
    WriteBytes(dir + "/in.ppm", ppm);
    ASSERT_TRUE(RunTool("cjpeg -optimize -sample 2x1 -outfile " + Quote(dir + "/f.jpg") + " " +
                        Quote(dir + "/in.ppm")));
    streams.push_back(ReadBytes(dir + "/f.jpg"));
    if (streams.back().size() % 2) streams.back().push_back(0);
  }
  ASSERT_LT(streams[0].size(), 1024u);
  std::vector<Bytes> fragments;
  std::vector<uint32_t> offsets;
  uint32_t at = 0;
  for (int f = 0; f < kFrames; ++f) {
    const Bytes& frame = streams[size_t(f % 7 == 3 ? 1 : f % 5 == 2 ? 2 : 0)];
    offsets.push_back(at);
    const size_t cut = f % 11 == 6 ? (frame.size() / 4) * 2 : frame.size();
    fragments.emplace_back(frame.begin(), frame.begin() + std::ptrdiff_t(cut));
    if (cut < frame.size())
      fragments.emplace_back(frame.begin() + std::ptrdiff_t(cut), frame.end());
    for (size_t k = fragments.size() - (cut < frame.size() ? 2 : 1); k < fragments.size(); ++k)
      at += 8 + uint32_t(fragments[k].size());
  }
  fixtures::ImageSpec f;
  f.columns = kW;
  f.rows = kH;
  f.frames = kFrames;
  f.samples = 3;
  f.bitsAllocated = f.bitsStored = 8;
  f.photometric = "YBR_FULL_422";
  for (const bool table : {true, false}) {
    SCOPED_TRACE(table ? "offset table" : "no offset table");
    const std::string file =
        fixtures::WriteFile(dir, table ? "bot.dcm" : "nobot.dcm",
                            fixtures::EncapsulatedFile(f, "1.2.840.10008.1.2.4.50", fragments,
                                                       table ? offsets : std::vector<uint32_t>{}));
    const Decoded d = DecodeFile(file);
    ASSERT_TRUE(d.ok) << d.why;
    ASSERT_EQ(d.frames, kFrames);
    const size_t frameBytes = size_t(kW) * kH * 3;
    const Bytes expected =
        ToolPixels("dcmdjpeg", file, dir + "/o.dcm", frameBytes * kFrames, kW * kH);
    ASSERT_EQ(d.samples.size(), expected.size());
    for (int k = 0; k < kFrames; ++k) {
      const auto b = std::ptrdiff_t(size_t(k) * frameBytes), e = b + std::ptrdiff_t(frameBytes);
      ASSERT_TRUE(std::equal(d.samples.begin() + b, d.samples.begin() + e, expected.begin() + b))
          << "frame " << k + 1;
    }
  }
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
    const std::string trace =
        std::to_string(c.bits) + " bits, " + std::to_string(c.samples) + " samples, " + c.options;
    SCOPED_TRACE(trace);
    const ImageSpec s = Spec(61, 37, 2, c.bits, c.samples);
    const std::string raw = WritePicture(dir, "src", s, 70 + c.bits);
    const std::string coded = dir + "/ls.dcm";
    ASSERT_TRUE(
        RunTool(std::string("dcmcjpls ") + c.options + " " + Quote(raw) + " " + Quote(coded)));
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
    EXPECT_EQ(d.samples,
              ToolPixels("gdcmconv --raw", coded, dir + "/o.dcm", d.samples.size(), 50 * 41, 1));
  }
  REQUIRE_SAMPLES();
  const std::string sample = testsupport::SamplePath("MR_small_jpeg_ls_lossless.dcm");
  const Decoded d = DecodeFile(sample);
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ(d.samples, ToolPixels("gdcmconv --raw", sample, dir + "/mr.dcm", 64 * 64 * 2));
}

// A stream split into fragments of about `size` bytes (even, as items are).
std::vector<Bytes> Split(const Bytes& stream, size_t size) {
  std::vector<Bytes> out;
  for (size_t at = 0; at < stream.size(); at += size)
    out.emplace_back(stream.begin() + std::ptrdiff_t(at),
                     stream.begin() + std::ptrdiff_t(std::min(stream.size(), at + size)));
  if (out.back().size() % 2) out.back().push_back(0);
  return out;
}

TEST(JpegLs, StreamsCharlsRefusesDecodeAsDcmdjplsDecodesThem) {
  const std::string dir = TestDir();
  constexpr int kW = 90, kH = 70;
  // Signed 12-bit samples coded as their 12-bit patterns (P = 12), with the
  // 16-bit preset set DCMTK writes (MAXVAL 65535) in an LSE segment; the
  // stream over four fragments, no Number of Frames. CharLS refused the
  // MAXVAL beyond 2^P - 1; DCMTK codes with 2^P - 1.
  std::vector<uint16_t> patterns(size_t(kW) * kH);
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      patterns[size_t(y) * kW + size_t(x)] = uint16_t(((x * 37 + y * 11) % 3000 - 1500) & 0x0FFF);
  charls::jpegls_encoder encoder;
  encoder.frame_info({kW, kH, 12, 1});
  Bytes coded(encoder.estimated_destination_size());
  encoder.destination(coded);
  coded.resize(encoder.encode(patterns));
  const uint8_t kSos[2] = {0xFF, 0xDA};
  const auto sos = std::search(coded.begin(), coded.end(), kSos, kSos + 2);
  ASSERT_NE(sos, coded.end());
  const Bytes lse = {0xFF, 0xF8, 0, 13, 1, 0xFF, 0xFF, 0, 18, 0, 67, 1, 20, 0, 64};
  coded.insert(sos, lse.begin(), lse.end());
  ImageSpec s = Spec(kW, kH, 1, 12);
  s.pixelRepresentation = 1;
  std::string file =
      WriteEncapsulatedDicom(dir, "lse", s, "1.2.840.10008.1.2.4.80", Split(coded, 1000));
  Decoded d = DecodeFile(file);
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ(d.samples, ToolPixels("dcmdjpls", file, dir + "/o.dcm", d.samples.size()));
  EXPECT_EQ(d.samples, StoredBytes(patterns, 16));

  // Signed 16-bit samples from dcmcjpls with a zero byte between the coded
  // data and EOI, as some writers pad the stream to an even length: CharLS
  // found data where it wanted the marker. This DCMTK refuses it too (newer
  // ones read it), so the source is the reference.
  const auto picture = TestPicture(kW, kH, 1, 16, 44);
  s = Spec(kW, kH, 1, 16);
  s.pixelRepresentation = 1;
  const Bytes source = StoredBytes(picture, 16);
  const std::string raw = WriteDicom(dir, "s16", s, source);
  ASSERT_TRUE(RunTool("dcmcjpls " + Quote(raw) + " " + Quote(dir + "/s16ls.dcm")));
  Bytes stream = PixelItems(dir + "/s16ls.dcm").back();
  while (!stream.empty() && stream.back() == 0) stream.pop_back();
  ASSERT_GE(stream.size(), 2u);
  stream.insert(stream.end() - 2, 0x00);
  file = WriteEncapsulatedDicom(dir, "padded", s, "1.2.840.10008.1.2.4.80", Split(stream, 2000));
  d = DecodeFile(file);
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_FALSE(d.incomplete);
  EXPECT_EQ(d.samples, source);
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

TEST(JpegLs, AStreamCutInARunOfZeroBitsEndsAtOnce) {
  // Found by fuzzing: a 24 x 20 grey stream cut with no marker after it, on
  // which the library alone spins for seconds. Bytes 0-3 are the fuzz
  // target's frame description.
  const Bytes file =
      ReadBytes(std::string(TAVROLEN_SOURCE_DIR) + "/fuzz/corpus/jpegls/cut_zero_run_24x20");
  ASSERT_GT(file.size(), 4u);
  FrameSpec spec;
  spec.columns = 24;
  spec.rows = 20;
  spec.samples = 1;
  spec.bitsAllocated = spec.bitsStored = 16;
  std::vector<uint8_t> out(size_t(NativeFrameBytes(spec)));
  CodecOutput o;
  o.data = out.data();
  o.size = out.size();
  const auto start = std::chrono::steady_clock::now();
  DecodeJpegLsFrame(file.data() + 4, file.size() - 4, spec, o);
  // Far above a decode of 480 samples, far below the seconds it took.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST(Htj2k, StreamsThatTripALibrarysAssertionAreRefusedAndTheProcessGoesOn) {
  // Found by fuzzing: OpenJPH asserts on a packet header, OpenJPEG's HT block
  // decoder on a MEL segment. Bytes 0-3 are the fuzz target's frame
  // description (24 x 20 colour 8-bit, 24 x 20 grey 16-bit).
  for (const auto& [name, samples, bits] :
       {std::tuple{"assert_in_packet_header", 3, 8}, std::tuple{"openjpeg_ht_assert", 1, 16}}) {
    const Bytes file = ReadBytes(std::string(TAVROLEN_SOURCE_DIR) + "/fuzz/corpus/htj2k/" + name);
    ASSERT_GT(file.size(), 4u) << name;
    FrameSpec spec;
    spec.columns = 24;
    spec.rows = 20;
    spec.samples = samples;
    spec.bitsAllocated = spec.bitsStored = bits;
    std::vector<uint8_t> out(size_t(NativeFrameBytes(spec)));
    for (int round = 0; round < 3; ++round) {  // the guard holds every time, not once
      CodecOutput o;
      o.data = out.data();
      o.size = out.size();
      EXPECT_FALSE(DecodeHtj2kFrame(file.data() + 4, file.size() - 4, spec, o)) << name;
      EXPECT_FALSE(o.why.empty()) << name;
    }
  }
  FrameSpec spec;
  spec.columns = 24;
  spec.rows = 20;
  spec.samples = 1;
  // A good stream still decodes after it.
  const Bytes good =
      ReadBytes(std::string(TAVROLEN_SOURCE_DIR) + "/fuzz/corpus/htj2k/grey16_24x20");
  FrameSpec g = spec;
  g.bitsAllocated = g.bitsStored = 16;
  std::vector<uint8_t> words(size_t(NativeFrameBytes(g)));
  CodecOutput o;
  o.data = words.data();
  o.size = words.size();
  EXPECT_TRUE(DecodeHtj2kFrame(good.data() + 4, good.size() - 4, g, o)) << o.why;
}

// A binary PGM (one component) or PPM (three) of `samples`, big-endian words
// above 8 bits, as the JPEG 2000 tools read them.
void WritePnm(const std::string& path, const std::vector<uint16_t>& samples, int width, int height,
              int components, int bits) {
  const std::string head = std::string(components == 3 ? "P6" : "P5") + "\n" +
                           std::to_string(width) + " " + std::to_string(height) + "\n" +
                           std::to_string((1 << bits) - 1) + "\n";
  Bytes b(head.begin(), head.end());
  for (uint16_t v : samples) {
    if (bits > 8) b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
  }
  WriteBytes(path, b);
}

Bytes PnmSamples(const std::string& path, size_t count, int bits) {
  const Bytes pnm = ReadBytes(path);
  const size_t bytes = count * (bits > 8 ? 2 : 1);
  if (pnm.size() < bytes) return {};
  Bytes body(pnm.end() - std::ptrdiff_t(bytes), pnm.end());
  if (bits > 8)
    for (size_t i = 0; i + 1 < body.size(); i += 2) std::swap(body[i], body[i + 1]);
  return body;  // little-endian words, as the decoded buffers compare
}

// An encapsulated file written by our own writer, for syntaxes dump2dcm
// does not know (HTJ2K, deflated frames).
std::string WriteFrames(const std::string& dir, const std::string& name, const ImageSpec& s,
                        const std::string& uid, const std::vector<Bytes>& frames) {
  fixtures::ImageSpec f;
  f.columns = s.columns;
  f.rows = s.rows;
  f.frames = s.frames > 1 ? s.frames : 0;
  f.samples = s.samplesPerPixel;
  f.bitsAllocated = s.bitsAllocated;
  f.bitsStored = s.bitsStored;
  f.pixelRepresentation = s.pixelRepresentation;
  f.photometric = s.photometric;
  return fixtures::WriteFile(dir, name + ".dcm", fixtures::EncapsulatedFile(f, uid, frames));
}

struct Htj2kCase {
  int bits, components;
};

TEST(Htj2k, LosslessStreamsOfOpenJphGiveTheSourceBack) {
  const std::string dir = TestDir();
  for (const Htj2kCase& c :
       {Htj2kCase{8, 1}, Htj2kCase{12, 1}, Htj2kCase{16, 1}, Htj2kCase{8, 3}}) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits x " + std::to_string(c.components));
    constexpr int kW = 77, kH = 51;
    std::vector<Bytes> frames;
    Bytes source;
    for (int f = 0; f < 2; ++f) {
      const auto picture = TestPicture(kW, kH, c.components, c.bits, 30 + f);
      const Bytes stored = StoredBytes(picture, c.bits > 8 ? 16 : 8);
      source.insert(source.end(), stored.begin(), stored.end());
      const std::string in = dir + (c.components == 3 ? "/in.ppm" : "/in.pgm");
      WritePnm(in, picture, kW, kH, c.components, c.bits);
      ASSERT_TRUE(RunTool("ojph_compress -i " + Quote(in) + " -o " + Quote(dir + "/f.j2c") +
                          " -reversible true"));
      frames.push_back(ReadBytes(dir + "/f.j2c"));
    }
    const Decoded d = DecodeFile(WriteFrames(dir, "ht", Spec(kW, kH, 2, c.bits, c.components),
                                             "1.2.840.10008.1.2.4.201", frames));
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_FALSE(d.incomplete);
    EXPECT_TRUE(d.samples == source);
  }
}

TEST(Htj2k, LossyStreamsDecodeLikeOjphExpandAndOpjDecompress) {
  const std::string dir = TestDir();
  for (const Htj2kCase& c : {Htj2kCase{12, 1}, Htj2kCase{8, 3}}) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits x " + std::to_string(c.components));
    constexpr int kW = 64, kH = 48;
    const auto picture = TestPicture(kW, kH, c.components, c.bits, 4);
    const std::string ext = c.components == 3 ? ".ppm" : ".pgm";
    WritePnm(dir + "/in" + ext, picture, kW, kH, c.components, c.bits);
    ASSERT_TRUE(RunTool("ojph_compress -i " + Quote(dir + "/in" + ext) + " -o " +
                        Quote(dir + "/f.j2c") + " -qstep 0.02"));
    const Decoded d =
        DecodeFile(WriteFrames(dir, "lossy", Spec(kW, kH, 1, c.bits, c.components),
                               "1.2.840.10008.1.2.4.203", {ReadBytes(dir + "/f.j2c")}));
    ASSERT_TRUE(d.ok) << d.why;
    const size_t count = size_t(kW) * kH * c.components;
    const int bytes = c.bits > 8 ? 2 : 1;
    ASSERT_TRUE(
        RunTool("ojph_expand -i " + Quote(dir + "/f.j2c") + " -o " + Quote(dir + "/x" + ext)));
    EXPECT_LE(MaxDifference(d.samples, PnmSamples(dir + "/x" + ext, count, c.bits), bytes), 1);
    ASSERT_TRUE(
        RunTool("opj_decompress -i " + Quote(dir + "/f.j2c") + " -o " + Quote(dir + "/o" + ext)));
    EXPECT_LE(MaxDifference(d.samples, PnmSamples(dir + "/o" + ext, count, c.bits), bytes), 2);
  }
}

TEST(Htj2k, StreamsUnderTheOtherFamilysUidAndCutStreamsStillDecode) {
  const std::string dir = TestDir();
  constexpr int kW = 64, kH = 40;
  const auto picture = TestPicture(kW, kH, 1, 16, 12);
  const Bytes source = StoredBytes(picture, 16);
  WritePnm(dir + "/in.pgm", picture, kW, kH, 1, 16);
  ASSERT_TRUE(RunTool("ojph_compress -i " + Quote(dir + "/in.pgm") + " -o " +
                      Quote(dir + "/ht.j2c") + " -reversible true"));
  ASSERT_TRUE(
      RunTool("opj_compress -i " + Quote(dir + "/in.pgm") + " -o " + Quote(dir + "/p1.j2k")));
  const Bytes ht = ReadBytes(dir + "/ht.j2c"), part1 = ReadBytes(dir + "/p1.j2k");
  const ImageSpec s = Spec(kW, kH, 1, 16);
  // A Part-1 stream under an HTJ2K UID, and an HT stream under a JPEG 2000 UID.
  Decoded d = DecodeFile(WriteFrames(dir, "a", s, "1.2.840.10008.1.2.4.202", {part1}));
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_TRUE(d.samples == source);
  d = DecodeFile(WriteFrames(dir, "b", s, "1.2.840.10008.1.2.4.90", {ht}));
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_TRUE(d.samples == source);
  // Cut short: OpenJPEG decodes what there is and the frame is marked.
  d = DecodeFile(WriteFrames(dir, "c", s, "1.2.840.10008.1.2.4.201",
                             {Bytes(ht.begin(), ht.begin() + std::ptrdiff_t(ht.size() * 2 / 3))}));
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_TRUE(d.incomplete);
  // A stream larger than the frame is refused before anything is allocated for it.
  d = DecodeFile(WriteFrames(dir, "d", Spec(kW + 1, kH, 1, 16), "1.2.840.10008.1.2.4.201", {ht}));
  EXPECT_FALSE(d.ok);
}

TEST(Deflate, DataSetsDeflatedByDcmconvDecodeLikeItsInflation) {
  const std::string dir = TestDir();
  for (int bits : {8, 16}) {
    SCOPED_TRACE(bits);
    const std::string raw = WritePicture(dir, "src", Spec(73, 41, 3, bits), 21);
    const std::string deflated = dir + "/d.dcm";
    ASSERT_TRUE(RunTool("dcmconv +td " + Quote(raw) + " " + Quote(deflated)));
    const Decoded d = DecodeFile(deflated);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.header.TransferSyntaxUID, "1.2.840.10008.1.2.1.99");
    EXPECT_EQ(d.samples, ToolPixels("dcmconv +te", deflated, dir + "/o.dcm", d.samples.size()));
    EXPECT_EQ(d.samples, Head(PixelData(raw), d.samples.size()));
  }
  REQUIRE_SAMPLES();
  const std::string sample = testsupport::SamplePath("image_dfl.dcm");
  const Decoded d = DecodeFile(sample);
  ASSERT_TRUE(d.ok) << d.why;
  EXPECT_EQ(d.samples, ToolPixels("dcmconv +te", sample, dir + "/s.dcm", d.samples.size()));
}

}  // namespace
