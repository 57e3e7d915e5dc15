// tavrolen-dicom waveform: every sample of pydicom's ECG sample and of
// waveforms pydicom writes (12-lead, hemodynamic, 8/16/32-bit, baseline and
// correction factor) equal to pydicom's waveform_array; broken files refused
// with one reason each.
#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;
const std::string kScripts = std::string(TAVROLEN_SOURCE_DIR) + "/tests/cli/";

class WaveformCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(testsupport::HavePythonModules("pydicom, numpy"))
        << "/usr/bin/python3 cannot import pydicom and numpy, which write the fixtures";
    dir = new std::string(testsupport::TempDir("waveform_command"));
    std::string out;
    ASSERT_EQ(
        fixtures::RunCommand(
            "/usr/bin/python3 " + kScripts + "waveform_fixtures.py '" + *dir + "' 2>&1", &out),
        0)
        << out;
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  static std::string File(const std::string& name) { return *dir + "/" + name; }
  // Runs the tool; standard output and error both returned.
  static int Run(const std::string& args, std::string* out) {
    return fixtures::RunCommand("'" + kTool + "' waveform " + args + " 2>&1", out);
  }
  static std::string* dir;
};

std::string* WaveformCommand::dir = nullptr;

TEST_F(WaveformCommand, SamplesEqualPydicomWaveformArray) {
  const std::string sample = testsupport::SamplePath("waveform_ecg.dcm");
  ASSERT_TRUE(testsupport::HaveSample(sample)) << sample;
  std::string out;
  EXPECT_EQ(fixtures::RunCommand("/usr/bin/python3 " + kScripts + "waveform_oracle.py '" + kTool +
                                     "' '" + sample + "' " + File("ecg12.dcm") + " " +
                                     File("hemo.dcm") + " " + File("sb8.dcm") + " " +
                                     File("sl32.dcm") + " " + File("ul32.dcm") + " 2>&1",
                                 &out),
            0)
      << out;
  // Both groups of each 12-lead file, every lead compared.
  EXPECT_NE(out.find("waveform_ecg.dcm: 134400 values compared"), std::string::npos) << out;
  EXPECT_NE(out.find("ecg12.dcm: 67200 values compared"), std::string::npos) << out;
  EXPECT_NE(out.find("hemo.dcm: 3000 values compared"), std::string::npos) << out;
}

TEST_F(WaveformCommand, TextSummaryPerChannel) {
  std::string out;
  ASSERT_EQ(Run("'" + File("hemo.dcm") + "'", &out), 0) << out;
  EXPECT_NE(out.find(": Hemodynamic waveform\n  patient Müller Anna (WF-1)\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("group 1 PRESSURES: 3 channel(s), 1000 sample(s) at 250 Hz (4 s), 16-bit US"),
            std::string::npos)
      << out;
  // 80 mmHg diastolic, 120 systolic.
  EXPECT_NE(out.find("  2 ART  mm[Hg]  1000 samples  min 80 max 120\n"), std::string::npos) << out;
  ASSERT_EQ(Run("'" + File("ecg12.dcm") + "'", &out), 0) << out;
  EXPECT_NE(out.find("annotation: SINUS RHYTHM\n"), std::string::npos) << out;
  EXPECT_NE(out.find("annotation: RR Interval 800 ms\n"), std::string::npos) << out;
  EXPECT_NE(out.find("2 annotation(s) mark positions on the trace\n"), std::string::npos) << out;
}

TEST_F(WaveformCommand, BrokenFilesOneReasonEach) {
  struct Case {
    const char* file;
    int status;
    const char* reason;
  };
  const Case cases[] = {
      {"mismatch.dcm", 1, "refused: it declares 12 channel(s) but defines 8"},
      {"huge.dcm", 1, "need 8589934592 bytes; its data holds 64"},
      {"truncated.dcm", 1, "it is cut short or damaged"},
      // The empty group is refused; the good one beside it is read.
      {"nochannels.dcm", 0, "refused: it has no channels"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(Run("'" + File(c.file) + "'", &out), c.status) << c.file << "\n" << out;
    EXPECT_NE(out.find(c.reason), std::string::npos) << c.file << "\n" << out;
    ASSERT_EQ(Run("'" + File(c.file) + "' --json", &out), c.status) << c.file;
  }
  std::string out;
  ASSERT_EQ(Run("'" + File("nochannels.dcm") + "' --json", &out), 0);
  EXPECT_NE(out.find("\"refused\": \"it has no channels\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"samples\": [1, 1, 1"), std::string::npos) << out;
  // Usage and files that are no waveform.
  EXPECT_EQ(Run("", &out), 2);
  EXPECT_EQ(Run("a.dcm b.dcm", &out), 2);
  EXPECT_EQ(Run("'" + File("nowhere.dcm") + "'", &out), 1);
  EXPECT_NE(out.find("not a readable file"), std::string::npos) << out;
  EXPECT_EQ(Run("'" + testsupport::SamplePath("CT_small.dcm") + "'", &out), 1);
  EXPECT_NE(out.find("it holds no waveform"), std::string::npos) << out;
}

}  // namespace
