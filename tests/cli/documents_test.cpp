// Reports, documents and waveforms through the command line: scan lists them
// under their series, and export copies them with the study, plain or
// anonymised, listed in the DICOMDIR it writes, so the copy scans as the
// source does.
#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;

// The document lines of a scan's text without their paths, so that a copy
// compares with its source.
std::string DocumentLines(const std::string& scan) {
  std::string out;
  size_t at = 0;
  while (at < scan.size()) {
    const size_t end = scan.find('\n', at);
    const std::string line = scan.substr(at, end - at);
    at = end == std::string::npos ? scan.size() : end + 1;
    if (line.rfind("      ", 0) != 0) continue;
    out += line.substr(0, line.find("  /")) + "\n";
  }
  return out;
}

TEST(Documents, ScanListsThemAndExportCarriesThem) {
  REQUIRE_SAMPLES();
  const std::string dir = testsupport::TempDir("cli-documents");
  std::string out;
  ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 '" + std::string(TAVROLEN_SOURCE_DIR) +
                                     "/tests/study/document_study_fixture.py' '" + dir + "' '" +
                                     testsupport::SampleDir() + "' 2>&1",
                                 &out),
            0)
      << out;
  std::string source;
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' scan '" + dir + "/folder' 2>&1", &source), 0)
      << source;
  EXPECT_EQ(DocumentLines(source),
            "      report \"Diagnosis\"\n"
            "      pdf \"Consent\"\n"
            "      pdf \"Referral letter\"\n"
            "      waveform \"12-lead ECG\"\n");
  EXPECT_NE(source.find("skipped 0, documents 4"), std::string::npos) << source;

  ASSERT_EQ(fixtures::RunCommand(
                "'" + kTool + "' export '" + dir + "/folder' -o '" + dir + "/copy' --dicomdir 2>&1",
                &out),
            0)
      << out;
  EXPECT_NE(out.find("exported 5 of 5"), std::string::npos) << out;
  std::string copy;
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' scan '" + dir + "/copy/DICOMDIR' 2>&1", &copy), 0)
      << copy;
  EXPECT_EQ(DocumentLines(copy), DocumentLines(source));
  EXPECT_NE(copy.find("skipped 0, documents 4"), std::string::npos) << copy;

  // Anonymised, the report and the ECG keep a (dummy) content date, which
  // they must have: the DICOMDIR lists them all the same.
  out.clear();
  copy.clear();
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' export '" + dir + "/folder' -o '" + dir +
                                     "/anonymous' --dicomdir --anonymize 2>&1",
                                 &out),
            0)
      << out;
  EXPECT_EQ(out.find("Left out"), std::string::npos) << out;
  ASSERT_EQ(
      fixtures::RunCommand("'" + kTool + "' scan '" + dir + "/anonymous/DICOMDIR' 2>&1", &copy), 0)
      << copy;
  EXPECT_EQ(DocumentLines(copy), DocumentLines(source));
}

}  // namespace
