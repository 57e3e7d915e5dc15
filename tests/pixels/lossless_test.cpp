#include <gtest/gtest.h>

#include "codec_fixtures.h"
#include "dicom/dicom.h"
#include "lossless_encoder.h"
#include "pixels/FrameDecoder.h"
#include "pixels/codecs/lsjpeg.h"

namespace {

using namespace codectest;

constexpr const char* kLosslessSyntax = "1.2.840.10008.1.2.4.70";

struct Decoded {
  LosslessJpegResult result = LosslessJpegResult::kFailed;
  LosslessJpegInfo info;
  Bytes stored;  // as a little-endian file stores the samples
  std::vector<uint16_t> samples;
};

// Decodes from a heap block of exactly the stream's size, so a read past it
// is caught by the address sanitizer.
Decoded Decode(const Bytes& stream, size_t capacity) {
  Decoded d;
  const auto data = std::make_unique<uint8_t[]>(std::max<size_t>(stream.size(), 1));
  std::copy(stream.begin(), stream.end(), data.get());
  std::vector<uint16_t> out16(capacity);
  Bytes out8(capacity);
  d.result = DecodeLosslessJpeg(data.get(), stream.size(), out16.data(), capacity, out8.data(),
                                capacity, &d.info);
  if (d.info.precision > 8) {
    d.samples = out16;
    d.stored = WordsAsBytes(out16.data(), capacity);
  } else {
    d.samples.assign(out8.begin(), out8.end());
    d.stored = out8;
  }
  return d;
}

struct Depth {
  const char* name;
  int bitsAllocated, bitsStored, samplesPerPixel;
};
const Depth kDepths[] = {
    {"8-bit grey", 8, 8, 1},
    {"12-bit grey", 16, 12, 1},
    {"16-bit grey", 16, 16, 1},
    {"8-bit RGB", 8, 8, 3},
};

ImageSpec SpecFor(const Depth& d, int width, int height, int frames = 1) {
  ImageSpec s;
  s.columns = width;
  s.rows = height;
  s.frames = frames;
  s.bitsAllocated = d.bitsAllocated;
  s.bitsStored = d.bitsStored;
  s.samplesPerPixel = d.samplesPerPixel;
  if (d.samplesPerPixel == 3) s.photometric = "RGB";
  return s;
}

// Compresses `source` with dcmcjpeg `options`, decodes every fragment and
// compares it with what dcmdjpeg makes of the same file.
void ExpectLikeDcmdjpeg(const std::string& dir, const std::string& name, const ImageSpec& desc,
                        const Bytes& source, const std::string& options) {
  SCOPED_TRACE(name + " " + options);
  const std::string in = WriteDicom(dir, name, desc, source);
  const std::string jpeg = dir + "/" + name + ".jpeg.dcm";
  const std::string back = dir + "/" + name + ".back.dcm";
  ASSERT_TRUE(RunTool("dcmcjpeg " + options + " " + Quote(in) + " " + Quote(jpeg)));
  ASSERT_TRUE(RunTool("dcmdjpeg " + Quote(jpeg) + " " + Quote(back)));
  const Bytes oracle = PixelData(back);
  const std::vector<Bytes> items = PixelItems(jpeg);
  ASSERT_EQ(items.size(), static_cast<size_t>(desc.frames) + 1);  // offset table + frames
  const size_t frameSamples = static_cast<size_t>(desc.rows) * desc.columns * desc.samplesPerPixel;
  const size_t frameBytes = frameSamples * (desc.bitsAllocated / 8);
  for (int f = 0; f < desc.frames; ++f) {
    const Decoded d = Decode(items[f + 1], frameSamples);
    EXPECT_EQ(d.result, LosslessJpegResult::kComplete) << "frame " << f + 1;
    const Bytes expected(oracle.begin() + static_cast<std::ptrdiff_t>(f * frameBytes),
                         oracle.begin() + static_cast<std::ptrdiff_t>((f + 1) * frameBytes));
    EXPECT_TRUE(d.stored == expected) << "frame " << f + 1 << " differs from dcmdjpeg";
  }
}

TEST(LosslessJpeg, DecodesLikeDcmdjpegForEveryPredictorAndDepth) {
  const std::string dir = TestDir();
  for (const Depth& depth : kDepths) {
    const ImageSpec desc = SpecFor(depth, 61, 37);
    const auto picture = TestPicture(61, 37, depth.samplesPerPixel, depth.bitsStored, 7);
    const Bytes source = StoredBytes(picture, depth.bitsAllocated);
    for (int sv = 1; sv <= 7; ++sv) {
      ExpectLikeDcmdjpeg(dir, "p" + std::to_string(sv), desc, source,
                         "+el +sv " + std::to_string(sv));
    }
    // Lossless with Pt = 0 gives the source back as well.
    const std::string jpeg = dir + "/p1.jpeg.dcm";
    const Decoded d = Decode(PixelItems(jpeg)[1], picture.size());
    EXPECT_TRUE(d.samples == picture) << depth.name;
  }
}

TEST(LosslessJpeg, PointTransformShiftsSamplesBackToTheirScale) {
  const std::string dir = TestDir();
  struct Case {
    Depth depth;
    int sv, pt;
  };
  const Case cases[] = {
      {kDepths[1], 1, 2}, {kDepths[2], 7, 3}, {kDepths[3], 4, 1}, {kDepths[0], 6, 5}};
  int n = 0;
  for (const Case& c : cases) {
    const ImageSpec desc = SpecFor(c.depth, 40, 24);
    const auto picture = TestPicture(40, 24, c.depth.samplesPerPixel, c.depth.bitsStored, 3);
    const std::string name = "pt" + std::to_string(n++);
    ExpectLikeDcmdjpeg(dir, name, desc, StoredBytes(picture, c.depth.bitsAllocated),
                       "+el +sv " + std::to_string(c.sv) + " +pt " + std::to_string(c.pt));
    const Decoded d = Decode(PixelItems(dir + "/" + name + ".jpeg.dcm")[1], picture.size());
    ASSERT_EQ(d.info.pointTransform, c.pt);
    for (size_t i = 0; i < picture.size(); ++i) {
      ASSERT_EQ(d.samples[i], (picture[i] >> c.pt) << c.pt) << c.depth.name << " sample " << i;
    }
  }
}

TEST(LosslessJpeg, DecodesEveryFrameOfAMultiFrameFile) {
  const std::string dir = TestDir();
  const ImageSpec desc = SpecFor(kDepths[2], 32, 20, 3);
  Bytes source;
  for (int f = 0; f < 3; ++f) {
    const Bytes frame = StoredBytes(TestPicture(32, 20, 1, 16, 11 + f), 16);
    source.insert(source.end(), frame.begin(), frame.end());
  }
  ExpectLikeDcmdjpeg(dir, "multi", desc, source, "+el +sv 5");
}

// Streams of the encoder above, checked against dcmdjpeg and the source.
void ExpectStreamRoundTrip(const std::string& dir, const std::string& name,
                           const std::vector<uint16_t>& picture, int width, int height,
                           int components, const LosslessOptions& o, bool askDcmtk = true) {
  SCOPED_TRACE(name);
  const Bytes stream = EncodeLossless(picture, width, height, components, o);
  const Decoded d = Decode(stream, picture.size());
  EXPECT_EQ(d.result, LosslessJpegResult::kComplete);
  EXPECT_TRUE(d.samples == picture) << "decoded samples differ from the source";
  if (!askDcmtk) return;
  ImageSpec desc;
  desc.columns = width;
  desc.rows = height;
  desc.bitsAllocated = o.precision > 8 ? 16 : 8;
  desc.bitsStored = o.precision;
  desc.samplesPerPixel = components;
  if (components == 3) desc.photometric = "RGB";
  const std::string file = WriteEncapsulatedDicom(dir, name, desc, kLosslessSyntax, {stream});
  const std::string back = dir + "/" + name + ".back.dcm";
  ASSERT_TRUE(RunTool("dcmdjpeg " + Quote(file) + " " + Quote(back)));
  EXPECT_TRUE(Head(PixelData(back), d.stored.size()) == d.stored) << "dcmdjpeg disagrees";
}

TEST(LosslessJpeg, RestartIntervalsResetPredictionForEveryComponent) {
  const std::string dir = TestDir();
  const auto grey12 = TestPicture(24, 16, 1, 12, 5);
  const auto grey16 = TestPicture(24, 16, 1, 16, 6);
  const auto rgb = TestPicture(24, 16, 3, 8, 8);
  LosslessOptions o;
  o.precision = 12;
  o.restartInterval = 24;  // one row: the first sample of every row restarts from 2^(P-1)
  ExpectStreamRoundTrip(dir, "grey12-1row", grey12, 24, 16, 1, o);
  o.predictor = 4;
  o.restartInterval = 72;  // three rows
  ExpectStreamRoundTrip(dir, "grey12-3rows", grey12, 24, 16, 1, o);
  o.precision = 16;
  o.predictor = 7;
  o.restartInterval = 48;
  ExpectStreamRoundTrip(dir, "grey16-2rows", grey16, 24, 16, 1, o);
  o = LosslessOptions{};
  o.predictor = 6;
  o.restartInterval = 24;
  ExpectStreamRoundTrip(dir, "rgb-1row", rgb, 24, 16, 3, o);
  o.separateTables = true;
  o.predictor = 5;
  o.restartInterval = 48;
  ExpectStreamRoundTrip(dir, "rgb-2rows-3tables", rgb, 24, 16, 3, o);
}

TEST(LosslessJpeg, TablesAndScansAreTakenAsTheStreamSelectsThem) {
  const std::string dir = TestDir();
  const auto rgb = TestPicture(20, 12, 3, 8, 9);
  LosslessOptions o;
  o.separateTables = true;  // three DHT segments, each defining one table
  o.predictor = 2;
  ExpectStreamRoundTrip(dir, "three-tables", rgb, 20, 12, 3, o);
  o.oneScanPerComponent = true;  // R, G, B each in a scan of its own
  o.predictor = 7;
  ExpectStreamRoundTrip(dir, "three-scans", rgb, 20, 12, 3, o);
}

// What DCMTK and GDCM (both the IJG decoder) accept, and decode alike.
TEST(LosslessJpeg, TablesOfEveryClassAndLongListsAreReadAsTheIjgDecoderReadsThem) {
  const std::string dir = TestDir();
  const auto grey12 = TestPicture(30, 18, 1, 12, 21);
  LosslessOptions o;
  o.precision = 12;
  // An AC-class table at the DC table's destination, in the same segment:
  // taken for the DC table, every difference came out wrong.
  o.acTableToo = true;
  ExpectStreamRoundTrip(dir, "ac-table", grey12, 30, 18, 1, o);
  const auto rgb = TestPicture(20, 12, 3, 8, 22);
  LosslessOptions c;
  c.separateTables = true;
  c.acTableToo = true;
  ExpectStreamRoundTrip(dir, "ac-table-rgb", rgb, 20, 12, 3, c);
  // Tables that list categories no lossless coder uses (17, 18).
  o.acTableToo = false;
  o.symbolsBeyond16 = true;
  ExpectStreamRoundTrip(dir, "beyond-16", grey12, 30, 18, 1, o);
}

TEST(LosslessJpeg, AMammographySizedFrameDecodesLikeDcmdjpegAndGdcmconv) {
  // 2394 x 3062, 12 bits, selection value 1, a restart interval of 16 rows
  // and an AC table beside the DC table, as a mammography unit writes it;
  // through the whole frame pipeline, over several fragments.
  const std::string dir = TestDir();
  constexpr int kW = 2394, kH = 3062;
  const auto picture = TestPicture(kW, kH, 1, 12, 24);
  LosslessOptions o;
  o.precision = 12;
  o.restartInterval = kW * 16;
  o.acTableToo = true;
  const Bytes stream = EncodeLossless(picture, kW, kH, 1, o);
  std::vector<Bytes> fragments;
  for (size_t at = 0; at < stream.size(); at += 1 << 20)
    fragments.emplace_back(
        stream.begin() + std::ptrdiff_t(at),
        stream.begin() + std::ptrdiff_t(std::min(stream.size(), at + (1 << 20))));
  if (fragments.back().size() % 2) fragments.back().push_back(0);
  ImageSpec desc;
  desc.columns = kW;
  desc.rows = kH;
  desc.bitsAllocated = 16;
  desc.bitsStored = 12;
  const std::string file = WriteEncapsulatedDicom(dir, "mammo", desc, kLosslessSyntax, fragments);
  DICOMdata h;
  bool hdrOK = false, imgOK = false;
  ReadDicomHeader(file, true, h, hdrOK, imgOK);
  ASSERT_TRUE(imgOK);
  DecodedFrame f;
  std::string why;
  ASSERT_TRUE(DecodeFrame(file, h, h.gECATJPEG_pos_table, h.gECATJPEG_size_table, 1, f, &why))
      << why;
  EXPECT_FALSE(f.incomplete);
  const Bytes decoded =
      WordsAsBytes(reinterpret_cast<const uint16_t*>(f.buff16.data()), f.buff16.size());
  EXPECT_TRUE(decoded == StoredBytes(picture, 16));
  ASSERT_TRUE(RunTool("dcmdjpeg " + Quote(file) + " " + Quote(dir + "/dcmtk.dcm")));
  EXPECT_TRUE(Head(PixelData(dir + "/dcmtk.dcm"), decoded.size()) == decoded);
  ASSERT_TRUE(RunTool("gdcmconv --raw " + Quote(file) + " " + Quote(dir + "/gdcm.dcm")));
  EXPECT_TRUE(Head(PixelData(dir + "/gdcm.dcm"), decoded.size()) == decoded);
}

TEST(LosslessJpeg, CorruptCodesDecodeAsDcmdjpegDecodesThem) {
  // A run of one bits matches no code of the (incomplete) table: the IJG
  // decoder takes 17 bits and a zero difference, and so must we, or every
  // sample after the damage differs from DCMTK's and GDCM's.
  const std::string dir = TestDir();
  const auto picture = TestPicture(40, 24, 1, 12, 23);
  for (const int interval : {0, 80}) {
    SCOPED_TRACE(interval);
    LosslessOptions o;
    o.precision = 12;
    o.restartInterval = interval;
    Bytes stream = EncodeLossless(picture, 40, 24, 1, o);
    const auto at = stream.begin() + std::ptrdiff_t(stream.size() / 2);
    ASSERT_NE(*(at - 1), 0xFF);
    stream.insert(at, {0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00});
    const Decoded d = Decode(stream, picture.size());
    EXPECT_NE(d.result, LosslessJpegResult::kFailed);
    ImageSpec desc;
    desc.columns = 40;
    desc.rows = 24;
    desc.bitsAllocated = 16;
    desc.bitsStored = 12;
    const std::string file =
        WriteEncapsulatedDicom(dir, "corrupt", desc, kLosslessSyntax, {stream});
    ASSERT_TRUE(RunTool("dcmdjpeg " + Quote(file) + " " + Quote(dir + "/back.dcm")));
    EXPECT_TRUE(Head(PixelData(dir + "/back.dcm"), d.stored.size()) == d.stored);
    EXPECT_FALSE(d.samples == picture);  // the damage is real
  }
}

TEST(LosslessJpeg, FirstSamplesArePredictedFromHalfTheRange) {
  // Every difference zero: the first sample is 2^(P - Pt - 1), every other
  // one copies it.
  const std::vector<uint16_t> flat(6 * 4, 2048);
  LosslessOptions o;
  o.precision = 12;
  Bytes stream = EncodeLossless(flat, 6, 4, 1, o);
  Decoded d = Decode(stream, flat.size());
  EXPECT_EQ(d.samples, flat);
  // With Pt = 2 prediction starts from 512 and the output is shifted back.
  o.pointTransform = 2;
  const std::vector<uint16_t> ramp = {2048, 2052, 2056, 2060, 2064, 2068};
  d = Decode(EncodeLossless(ramp, 6, 1, 1, o), ramp.size());
  EXPECT_EQ(d.samples, ramp);
  // The first sample of each component of the first row, and each component
  // of every later row from the pixel above.
  const std::vector<uint16_t> rgb = {128, 128, 128, 10, 20, 30, 40, 50, 60, 70, 80, 90};
  o = LosslessOptions{};
  o.predictor = 4;
  d = Decode(EncodeLossless(rgb, 2, 2, 3, o), rgb.size());
  EXPECT_EQ(d.samples, rgb);
}

TEST(LosslessJpeg, Category16AddsHalfTheRangeModulo65536) {
  const std::string dir = TestDir();
  // Neighbours 32768 apart need a difference of category 16, which carries
  // no extra bits.
  std::vector<uint16_t> picture;
  for (int i = 0; i < 8 * 6; ++i) picture.push_back(i % 2 ? 40000 : 7232);
  LosslessOptions o;
  o.precision = 16;
  ExpectStreamRoundTrip(dir, "category16", picture, 8, 6, 1, o);
}

TEST(LosslessJpeg, RestartIntervalShorterThanARowDecodesItsOwnStream) {
  // T.81 asks for whole rows; a shorter interval restarts mid-row and the
  // rest of that row predicts from the left.
  const auto picture = TestPicture(10, 6, 1, 8, 4);
  LosslessOptions o;
  o.restartInterval = 7;
  o.predictor = 4;
  ExpectStreamRoundTrip("", "short-interval", picture, 10, 6, 1, o, false);
}

TEST(LosslessJpeg, WritesOnlyWhatFitsTheOutput) {
  const auto picture = TestPicture(16, 10, 1, 16, 2);
  LosslessOptions o;
  o.precision = 16;
  const Bytes stream = EncodeLossless(picture, 16, 10, 1, o);
  // Room for four rows and a bit, followed by a guard the decoder must not touch.
  const size_t capacity = 16 * 4 + 5;
  std::vector<uint16_t> out(capacity + 64, 0xABCD);
  const auto r = DecodeLosslessJpeg(stream.data(), stream.size(), out.data(), capacity, nullptr, 0);
  EXPECT_EQ(r, LosslessJpegResult::kPartial);
  for (size_t i = 0; i < 16 * 4; ++i) ASSERT_EQ(out[i], picture[i]) << i;
  for (size_t i = 16 * 4; i < out.size(); ++i) ASSERT_EQ(out[i], 0xABCD) << i;
  // A row longer than the whole output: nothing is written.
  std::vector<uint16_t> tiny(8, 0xABCD);
  EXPECT_EQ(DecodeLosslessJpeg(stream.data(), stream.size(), tiny.data(), 8, nullptr, 0),
            LosslessJpegResult::kFailed);
  EXPECT_EQ(tiny, std::vector<uint16_t>(8, 0xABCD));
}

TEST(LosslessJpeg, RefusesStreamsItCannotDecodeAndLeavesTheOutputAlone) {
  const std::string dir = TestDir();
  const auto picture = TestPicture(16, 8, 1, 8, 1);
  const Bytes good = EncodeLossless(picture, 16, 8, 1, LosslessOptions{});
  auto expectRefused = [&](const Bytes& stream, const char* what) {
    std::vector<uint16_t> out16(128, 0x5A5A);
    Bytes out8(128, 0x5A);
    EXPECT_EQ(DecodeLosslessJpeg(stream.data(), stream.size(), out16.data(), 128, out8.data(), 128),
              LosslessJpegResult::kFailed)
        << what;
    EXPECT_EQ(out8, Bytes(128, 0x5A)) << what;
    EXPECT_EQ(out16, std::vector<uint16_t>(128, 0x5A5A)) << what;
  };
  // A baseline JPEG frame.
  Bytes pgm = {'P', '5', '\n', '1', '6', ' ', '8', '\n', '2', '5', '5', '\n'};
  pgm.insert(pgm.end(), picture.begin(), picture.end());
  WriteBytes(dir + "/in.pgm", pgm);
  ASSERT_TRUE(RunTool("cjpeg -outfile " + Quote(dir + "/base.jpg") + " " + Quote(dir + "/in.pgm")));
  expectRefused(ReadBytes(dir + "/base.jpg"), "baseline stream");
  expectRefused(Bytes(good.begin(), good.begin() + 31), "shorter than 32 bytes");
  Bytes noMarker = good;
  noMarker[2] = 0x12;
  expectRefused(noMarker, "no marker after SOI");
  // SOF3 at 2, DHT at 2 + 2 + 11 = 15: its counts start at 15 + 5.
  ASSERT_EQ(good[16], 0xC4);
  Bytes tooManyCodes = good;
  tooManyCodes[20 + 1] += 1;  // 18 codes, 17 values in the segment
  expectRefused(tooManyCodes, "more codes than the segment holds");
  Bytes fiveComponents = good;
  fiveComponents[2 + 9] = 5;
  expectRefused(fiveComponents, "five components");
  Bytes pastEnd = good;
  pastEnd[15 + 2] = 0x7F;  // DHT length beyond the data
  expectRefused(pastEnd, "segment past the end");
  Bytes noScan(good.begin(), good.begin() + 15 + 2 + 2 + 17 + 17);
  noScan.insert(noScan.end(), {0xFF, 0xD9});
  expectRefused(noScan, "no start of scan");
  const size_t sos = 2 + 13 + 2 + 2 + 17 + 17;
  ASSERT_EQ(good[sos + 1], 0xDA);
  Bytes bigShift = good;
  bigShift[sos + 9] = 8;  // Pt = P
  expectRefused(bigShift, "point transform of the whole precision");
}

TEST(LosslessJpeg, TruncatedAndCorruptedStreamsStayInBounds) {
  const auto picture = TestPicture(33, 21, 3, 8, 12);
  LosslessOptions o;
  o.separateTables = true;
  o.restartInterval = 33;
  const Bytes rgb = EncodeLossless(picture, 33, 21, 3, o);
  o = LosslessOptions{};
  o.precision = 16;
  o.predictor = 6;
  const auto grey = TestPicture(40, 30, 1, 16, 13);
  const Bytes words = EncodeLossless(grey, 40, 30, 1, o);
  for (const Bytes* stream : {&rgb, &words}) {
    const size_t capacity = stream == &rgb ? picture.size() : grey.size();
    for (size_t cut = 0; cut < stream->size(); cut += 7) {
      const Decoded d = Decode(Bytes(stream->begin(), stream->begin() + cut), capacity);
      if (cut < stream->size() / 2) {
        EXPECT_NE(d.result, LosslessJpegResult::kComplete) << "cut at " << cut;
      }
    }
    uint32_t state = 99;
    for (int round = 0; round < 300; ++round) {
      Bytes bad = *stream;
      for (int k = 0; k < 4; ++k) {
        state = state * 1664525u + 1013904223u;
        bad[(state >> 8) % bad.size()] ^= static_cast<uint8_t>(1u << (state >> 29));
      }
      Decode(bad, capacity);  // must neither crash nor touch memory outside its blocks
    }
  }
}

}  // namespace
