// decode on JPEG XL files: cjxl's streams wrapped by pydicom, one fragment per
// frame, against the pictures they were made from and djxl's own decode.
#include <gtest/gtest.h>

#include <cstdlib>

#include "pixels/jpegxl_fixtures.h"

namespace {

using namespace jxltest;
using codectest::ReadBytes;
using codectest::TestDir;

int Decode(const std::string& dir, const std::string& args, std::string* err = nullptr) {
  const std::string log = dir + "/stderr.txt";
  const int status = std::system(
      (std::string(TAVROLEN_DICOM_TOOL) + " decode " + args + " 2>" + Quote(log)).c_str());
  if (err) {
    const Bytes text = ReadBytes(log);
    err->assign(text.begin(), text.end());
  }
  return status;
}

Bytes Words(const std::vector<uint16_t>& v) {
  return codectest::WordsAsBytes(v.data(), v.size());
}

TEST(CliJpegXl, EveryFrameOfALosslessFileIsExact) {
  REQUIRE_TOOL("cjxl");
  REQUIRE_PYTHON_MODULES("pydicom,numpy");
  const std::string dir = TestDir();
  // 12 bits stored in 16, three frames.
  std::vector<Bytes> frames;
  Bytes expected;
  for (int f = 0; f < 3; ++f) {
    const Pnm p = Picture(45, 29, 1, 12, 60 + f);
    frames.push_back(Cjxl(dir, "f" + std::to_string(f), p, "-d 0"));
    const Bytes w = Words(p.samples);
    expected.insert(expected.end(), w.begin(), w.end());
  }
  FileSpec s;
  s.rows = 29;
  s.columns = 45;
  s.bitsAllocated = 16;
  s.bitsStored = 12;
  const std::string file = Wrap(dir, "grey12", s, frames);
  const std::string out = dir + "/out.bin";
  ASSERT_EQ(Decode(dir, Quote(file) + " --all-frames -o " + Quote(out)), 0);
  EXPECT_TRUE(ReadBytes(out) == expected);
  ASSERT_EQ(Decode(dir, Quote(file) + " --frame 3 -o " + Quote(out)), 0);
  EXPECT_TRUE(ReadBytes(out) == Bytes(expected.end() - 45 * 29 * 2, expected.end()));
}

TEST(CliJpegXl, LossyAndRecompressedColourMatchDjxl) {
  REQUIRE_TOOL("cjxl");
  REQUIRE_TOOL("djxl");
  REQUIRE_TOOL("cjpeg");
  REQUIRE_PYTHON_MODULES("pydicom,numpy");
  const std::string dir = TestDir();
  const Pnm p = Picture(52, 31, 3, 8, 70);
  FileSpec s;
  s.rows = 31;
  s.columns = 52;
  s.samples = 3;
  s.photometric = "RGB";
  const std::string out = dir + "/out.bin";

  s.transferSyntax = "1.2.840.10008.1.2.4.112";
  const Bytes lossy = Cjxl(dir, "lossy", p, "-d 1");
  const Pnm reference = Djxl(dir, "lossy", lossy, 3);
  ASSERT_EQ(Decode(dir, Quote(Wrap(dir, "lossy", s, {lossy})) + " -o " + Quote(out)), 0);
  Bytes got = ReadBytes(out);
  ASSERT_EQ(got.size(), reference.samples.size());
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_LE(std::abs(got[i] - reference.samples[i]), 1) << i;

  // The recompressed JPEG's header says YBR, as the JPEG's would: libjxl
  // already gives R, G, B, which must not be converted twice.
  s.transferSyntax = "1.2.840.10008.1.2.4.111";
  s.photometric = "YBR_FULL_422";
  WritePnm(dir + "/in.ppm", p);
  ASSERT_TRUE(codectest::RunTool("cjpeg -outfile " + Quote(dir + "/in.jpg") + " " +
                                 Quote(dir + "/in.ppm")));
  ASSERT_TRUE(codectest::RunTool("cjxl " + Quote(dir + "/in.jpg") + " " + Quote(dir + "/in.jxl")));
  const Bytes recompressed = ReadBytes(dir + "/in.jxl");
  const Pnm pixels = Djxl(dir, "recompressed", recompressed, 3);
  ASSERT_EQ(Decode(dir, Quote(Wrap(dir, "jpeg", s, {recompressed})) + " -o " + Quote(out)), 0);
  got = ReadBytes(out);
  ASSERT_EQ(got.size(), pixels.samples.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_LE(std::abs(got[i] - pixels.samples[i]), 1) << i;
}

TEST(CliJpegXl, AHeaderThatDisagreesGivesOneReason) {
  REQUIRE_TOOL("cjxl");
  REQUIRE_PYTHON_MODULES("pydicom,numpy");
  const std::string dir = TestDir();
  const Pnm p = Picture(30, 20, 1, 8, 80);
  FileSpec s;
  s.rows = 20;
  s.columns = 31;  // one more than the stream
  const std::string file = Wrap(dir, "wide", s, {Cjxl(dir, "wide", p, "-d 0")});
  const std::string out = dir + "/out.bin";
  std::string err;
  EXPECT_NE(Decode(dir, Quote(file) + " -o " + Quote(out), &err), 0);
  EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
  EXPECT_NE(err.find("30 x 20"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
