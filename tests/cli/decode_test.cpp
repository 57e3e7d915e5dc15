#include <gtest/gtest.h>
#include <sys/wait.h>

#include "pixels/codec_fixtures.h"
#include "support/fixtures.h"

namespace {

using namespace codectest;

struct Result {
  int status = 0;
  std::string err;
};

Result Decode(const std::string& dir, const std::string& args) {
  const std::string err = dir + "/stderr.txt";
  Result r;
  r.status = std::system(
      (std::string(TAVROLEN_DICOM_TOOL) + " decode " + args + " 2>" + Quote(err)).c_str());
  const Bytes text = ReadBytes(err);
  r.err.assign(text.begin(), text.end());
  return r;
}

ImageSpec Grey16(int frames) {
  ImageSpec s;
  s.columns = 20;
  s.rows = 12;
  s.frames = frames;
  return s;
}

TEST(CliDecode, WritesTheChosenFrameOrAllFrames) {
  const std::string dir = TestDir();
  Bytes stored;
  for (int f = 0; f < 3; ++f) {
    const Bytes frame = StoredBytes(TestPicture(20, 12, 1, 16, 30 + f), 16);
    stored.insert(stored.end(), frame.begin(), frame.end());
  }
  const std::string raw = WriteDicom(dir, "raw", Grey16(3), stored);
  const std::string out = dir + "/out.bin";
  ASSERT_EQ(Decode(dir, Quote(raw) + " --frame 2 -o " + Quote(out)).status, 0);
  EXPECT_TRUE(ReadBytes(out) == Bytes(stored.begin() + 480, stored.begin() + 960));
  ASSERT_EQ(Decode(dir, Quote(raw) + " -o " + Quote(out)).status, 0);  // frame 1 by default
  EXPECT_TRUE(ReadBytes(out) == Head(stored, 480));

  // Lossless JPEG, every frame, as dcmdjpeg decodes it.
  const std::string jpeg = dir + "/lossless.dcm";
  ASSERT_TRUE(RunTool("dcmcjpeg +el +sv 7 " + Quote(raw) + " " + Quote(jpeg)));
  ASSERT_EQ(Decode(dir, Quote(jpeg) + " --all-frames -o " + Quote(out)).status, 0);
  EXPECT_TRUE(ReadBytes(out) == stored);

  // RLE colour comes out as R, G, B per pixel.
  ImageSpec rgb = Grey16(1);
  rgb.bitsAllocated = rgb.bitsStored = 8;
  rgb.samplesPerPixel = 3;
  rgb.photometric = "RGB";
  const Bytes colour = StoredBytes(TestPicture(20, 12, 3, 8, 40), 8);
  const std::string rgbFile = WriteDicom(dir, "rgb", rgb, colour);
  const std::string rle = dir + "/rle.dcm";
  ASSERT_TRUE(RunTool("dcmcrle " + Quote(rgbFile) + " " + Quote(rle)));
  ASSERT_EQ(Decode(dir, Quote(rle) + " -o " + Quote(out)).status, 0);
  EXPECT_TRUE(ReadBytes(out) == colour);
}

TEST(CliDecode, AppliesByteOrderAndTheLookupTable) {
  const std::string dir = TestDir();
  const std::string out = dir + "/out.bin";
  // A big-endian file decodes to the same words as its little-endian copy.
  fixtures::ImageSpec desc;
  desc.columns = 5;
  desc.rows = 2;
  const std::string little = dir + "/little.dcm", big = dir + "/big.dcm";
  WriteBytes(little, fixtures::SmallImageFile(desc));
  desc.littleEndian = false;
  WriteBytes(big, fixtures::SmallImageFile(desc));
  ASSERT_EQ(Decode(dir, Quote(little) + " -o " + Quote(out)).status, 0);
  const Bytes fromLittle = ReadBytes(out);
  ASSERT_EQ(Decode(dir, Quote(big) + " -o " + Quote(out)).status, 0);
  EXPECT_TRUE(ReadBytes(out) == fromLittle);
  EXPECT_EQ(fromLittle.size(), 20u);

  // Signed CT words through the table the header carries (the reader takes
  // it from the first item of the VOI LUT Sequence): 4096 entries from -1024.
  desc = fixtures::ImageSpec{};
  desc.columns = 3;
  desc.rows = 2;
  desc.bitsStored = 16;
  desc.pixelRepresentation = 1;
  fixtures::DicomWriter w;
  fixtures::AddImageHeader(w, desc);
  std::vector<uint16_t> lut(4096);
  for (size_t i = 0; i < lut.size(); ++i) lut[i] = static_cast<uint16_t>(i * 3);
  w.BeginSequence(0x00283010).BeginItem();
  w.US(0x00283002, {4096, static_cast<uint16_t>(-1024), 16});
  w.OW(0x00283006, lut);
  w.EndItem().EndSequence();
  const std::vector<int16_t> words = {-2000, -1024, 0, 100, 3071, 5000};
  w.OW(0x7FE00010, std::vector<uint16_t>(words.begin(), words.end()));
  const std::string ct = dir + "/lut.dcm";
  WriteBytes(ct, fixtures::Part10(w, fixtures::NativeSyntax(true, true)));
  ASSERT_EQ(Decode(dir, Quote(ct) + " -o " + Quote(out)).status, 0);
  const std::vector<uint16_t> expected = {0, 0, 1024 * 3, 1124 * 3, 4095 * 3, 4095 * 3};
  EXPECT_TRUE(ReadBytes(out) == WordsAsBytes(expected.data(), expected.size()));
}

TEST(CliDecode, FailsWithAOneLineReason) {
  const std::string dir = TestDir();
  const std::string raw =
      WriteDicom(dir, "raw", Grey16(2), StoredBytes(TestPicture(20, 12, 1, 16, 1), 16));
  const std::string out = dir + "/out.bin";
  auto expectOneLine = [](const Result& r, const char* what) {
    EXPECT_NE(r.status, 0) << what;
    ASSERT_FALSE(r.err.empty()) << what;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << ": " << r.err;
  };
  // The file holds only the first of its two frames.
  expectOneLine(Decode(dir, Quote(raw) + " --frame 2 -o " + Quote(out)), "short file");
  EXPECT_FALSE(std::filesystem::exists(out));
  expectOneLine(Decode(dir, Quote(raw) + " --frame 3 -o " + Quote(out)), "no such frame");
  expectOneLine(Decode(dir, Quote(dir + "/missing.dcm") + " -o " + Quote(out)), "missing file");
  // A wrong command line exits with 2, as every command of the tool.
  const Result noOutput = Decode(dir, Quote(raw));
  expectOneLine(noOutput, "no output");
  EXPECT_EQ(WEXITSTATUS(noOutput.status), 2);
  const Result badFrame = Decode(dir, Quote(raw) + " --frame x -o " + Quote(out));
  expectOneLine(badFrame, "bad frame number");
  EXPECT_EQ(WEXITSTATUS(badFrame.status), 2);

  // A compressed frame that does not decode.
  const std::string full =
      WriteDicom(dir, "full", Grey16(1), StoredBytes(TestPicture(20, 12, 1, 16, 1), 16));
  const std::string jpeg = dir + "/lossless.dcm";
  ASSERT_TRUE(RunTool("dcmcjpeg +el " + Quote(full) + " " + Quote(jpeg)));
  Bytes file = ReadBytes(jpeg);
  const Bytes sof3 = {0xFF, 0xC3};
  auto at = std::search(file.begin(), file.end(), sof3.begin(), sof3.end());
  ASSERT_NE(at, file.end());
  at[1] = 0xC0;  // now claims to be a baseline frame header
  WriteBytes(jpeg, file);
  expectOneLine(Decode(dir, Quote(jpeg) + " --all-frames -o " + Quote(out)), "corrupt frame");

  // Frames decode side by side, but the first bad one in file order is named,
  // whatever finished first, and no partial output is left behind.
  Bytes three;
  for (int f = 0; f < 3; ++f) {
    const Bytes frame = StoredBytes(TestPicture(20, 12, 1, 16, 50 + f), 16);
    three.insert(three.end(), frame.begin(), frame.end());
  }
  const std::string multi = WriteDicom(dir, "multi", Grey16(3), three);
  const std::string multiJpeg = dir + "/multi-lossless.dcm";
  ASSERT_TRUE(RunTool("dcmcjpeg +el " + Quote(multi) + " " + Quote(multiJpeg)));
  file = ReadBytes(multiJpeg);
  at = std::search(file.begin(), file.end(), sof3.begin(), sof3.end());
  ASSERT_NE(at, file.end());
  at = std::search(at + 2, file.end(), sof3.begin(), sof3.end());  // frame 2's
  ASSERT_NE(at, file.end());
  at[1] = 0xC0;
  WriteBytes(multiJpeg, file);
  const Result bad = Decode(dir, Quote(multiJpeg) + " --all-frames -o " + Quote(out));
  expectOneLine(bad, "corrupt second frame");
  EXPECT_NE(bad.err.find(": frame 2: "), std::string::npos) << bad.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
