// Names and texts in every script: `dump` and `scan --json` against pydicom's
// decoding of the character-set samples, and the reader's handling of sets it
// has to guess.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

std::string Shell(const std::string& command, int* rc) {
  std::string out;
  *rc = fixtures::RunCommand(command + " 2>&1", &out);
  return out;
}

TEST(Names, EveryCharacterSetSampleReadsAsPydicomDecodesIt) {
  REQUIRE_SAMPLES();
  REQUIRE_SAMPLE("../charset_files");
  const std::string data = std::filesystem::path(testsupport::SampleDir()).parent_path().string();
  int rc = 0;
  const std::string out =
      Shell("/usr/bin/python3 " +
                Quote(std::string(TAVROLEN_SOURCE_DIR) + "/tests/cli/pydicom_oracle.py") +
                " names " + Quote(TAVROLEN_DICOM_TOOL) + " " + Quote(data + "/charset_files"),
            &rc);
  EXPECT_EQ(rc, 0) << out;
  const size_t at = out.find("compared ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_GE(std::stoi(out.substr(at + 9)), 17) << out;
}

// Bytes of a name in the sets a reader has to handle without a table of its
// own: JIS X 0208 behind escapes, a set named twice, a set nobody defined.
TEST(Names, DumpWritesUtf8AndSaysWhenItGuessedTheSet) {
  const std::string dir = testsupport::TempDir("names_guess");
  const auto file = [&](const std::string& name, const char* charset, const std::string& pn) {
    fixtures::DicomWriter w(true, true);
    if (charset) w.Text(0x00080005, "CS", charset);
    w.Text(0x00080060, "CS", "OT");
    w.Text(0x00100010, "PN", pn);
    w.Text(0x00081030, "LO", "Th\xf6rax p.a.");
    w.US(0x00280002, {1});
    w.Text(0x00280004, "CS", "MONOCHROME2");
    w.US(0x00280010, {1});
    w.US(0x00280011, {1});
    w.US(0x00280100, {8});
    w.US(0x00280101, {8});
    w.US(0x00280103, {0});
    w.Element(0x7FE00010, "OB", std::vector<uint8_t>{0, 0});
    return fixtures::WriteFile(dir, name,
                               fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian));
  };
  const std::string none = file("none.dcm", nullptr, "M\xfcller^Hans");
  const std::string unknown = file("unknown.dcm", "ISO_IR 999", "M\xfcller^Hans");
  const std::string jis =
      file("jis.dcm", "\\ISO 2022 IR 87", "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B");
  int rc = 0;
  const std::string out = Shell(
      "/usr/bin/python3 -c \"import json,subprocess,sys; "
      "d=json.loads(subprocess.run(sys.argv[1:],capture_output=True,check=True).stdout); "
      "[print(ascii([e['header']['PatientName'], e['header']['Study_Description'], "
      "e['messages']])) for e in d]\" " +
          Quote(TAVROLEN_DICOM_TOOL) + " dump " + Quote(none) + " " + Quote(unknown) + " " +
          Quote(jis),
      &rc);
  ASSERT_EQ(rc, 0) << out;
  // Without a set, or with one no table knows, Latin-1 is the reading, and
  // the file says so once.
  EXPECT_NE(out.find("['M\\xfcller Hans', 'Th\\xf6rax p.a.', ['Character set: text without a "
                     "declared character set is read as Latin-1 (ISO_IR 100)']]"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("['M\\xfcller Hans', 'Th\\xf6rax p.a.', ['Character set: \"ISO_IR 999\" is "
                     "not a character set this viewer knows; text is read as Latin-1 (ISO_IR "
                     "100)']]"),
            std::string::npos)
      << out;
  // The ideographic group decoded from JIS X 0208 and shown after the
  // alphabetic one.
  EXPECT_NE(out.find("'Yamada Tarou=\\u5c71\\u7530 \\u592a\\u90ce'"), std::string::npos) << out;
}

}  // namespace
