// tavrolen-dicom tags, run as a user would: the same elements as pydicom on
// every sample file, the JSON shapes of each kind of value, exit statuses.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

using fixtures::Bytes;
using fixtures::DicomWriter;

std::string Tool() {
  return TAVROLEN_DICOM_TOOL;
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// Evaluates a Python expression over the parsed JSON `d` and returns its ascii().
std::string Query(const std::string& file, const std::string& expression) {
  std::string out;
  const int rc = fixtures::RunCommand(
      "/usr/bin/python3 -c \"import json,subprocess,sys; "
      "d=json.loads(subprocess.run([sys.argv[1],'tags','--json',sys.argv[2]],"
      "capture_output=True,check=True).stdout, parse_constant=lambda c: sys.exit(3)); "
      "e={x['tag']:x for x in d}; print(ascii((" +
          expression + ")))\" " + Quote(Tool()) + " " + Quote(file) + " 2>&1",
      &out);
  EXPECT_EQ(rc, 0) << out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(TagsCommand, ListsWhatPydicomReadsInEverySampleFile) {
  REQUIRE_SAMPLES();
  REQUIRE_SAMPLE("../charset_files");
  const std::string data = std::filesystem::path(testsupport::SampleDir()).parent_path().string();
  std::string out;
  const int rc = fixtures::RunCommand(
      "/usr/bin/python3 " +
          Quote(std::string(TAVROLEN_SOURCE_DIR) + "/tests/cli/pydicom_oracle.py") + " tags " +
          Quote(Tool()) + " " + Quote(testsupport::SampleDir()) + " " +
          Quote(data + "/charset_files") + " 2>&1",
      &out);
  EXPECT_EQ(rc, 0) << out;
  // Every DICOM sample is compared, including DICOMDIRs and the charset set.
  const size_t at = out.find("compared ");
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_GE(std::stoi(out.substr(at + 9)), 170) << out.substr(at);
}

TEST(TagsCommand, JsonGivesEachKindOfValueItsShape) {
  DicomWriter w(true, true);
  w.Text(0x00080005, "CS", "ISO_IR 100");
  w.Text(0x00080008, "CS", "ORIGINAL\\PRIMARY");
  w.BeginSequence(0x00081140);
  w.BeginItem().Text(0x00081150, "UI", "1.2.3").EndItem();
  w.BeginItem().Text(0x00081150, "UI", "1.2.4").EndItem();
  w.EndSequence();
  w.Text(0x00090010, "LO", "ACME 1.0");
  w.Text(0x00091001, "LO", "private value");
  w.Text(0x00100010, "PN", "Buc^J\xe9r\xf4me");
  w.Text(0x00100020, "LO", "");
  w.US(0x00280010, {4});
  w.US(0x00281101, {256, 0, 16});
  w.Element(0x00281102, "US", std::vector<uint8_t>{});
  w.FD(0x00189087, {0.25});
  w.FD(0x00189089, {NAN, INFINITY, 1.5});
  w.Element(0x7FE00010, "OW", std::vector<uint8_t>(32, 7));
  const std::string dir = testsupport::TempDir("tags_json");
  const std::string file =
      fixtures::WriteFile(dir, "a.dcm", fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian));

  EXPECT_EQ(Query(file, "e['(0008,0008)']"),
            "{'tag': '(0008,0008)', 'vr': 'CS', 'keyword': 'ImageType', 'name': 'Image Type', "
            "'value': 'ORIGINAL\\\\PRIMARY'}");
  EXPECT_EQ(Query(file, "[[i['value'] for i in item] for item in e['(0008,1140)']['items']]"),
            "[['1.2.3'], ['1.2.4']]");
  EXPECT_EQ(Query(file, "e['(0009,1001)']['creator'], e['(0009,1001)']['keyword']"),
            "('ACME 1.0', '')");
  EXPECT_EQ(Query(file, "e['(0010,0010)']['value']"), "'Buc^J\\xe9r\\xf4me'");
  EXPECT_EQ(Query(file, "e['(0010,0020)']['value']"), "''");
  EXPECT_EQ(Query(file, "e['(0028,0010)']['value'], e['(0028,1101)']['value']"),
            "(4, [256, 0, 16])");
  EXPECT_EQ(Query(file, "e['(0028,1102)']['value']"), "None");
  EXPECT_EQ(Query(file, "e['(0018,9087)']['value']"), "0.25");
  EXPECT_EQ(Query(file, "e['(0018,9089)']['value']"), "[None, None, 1.5]");  // strict JSON
  EXPECT_EQ(Query(file, "sorted(e['(7FE0,0010)'])"), "['keyword', 'length', 'name', 'tag', 'vr']");
  EXPECT_EQ(Query(file, "e['(7FE0,0010)']['length']"), "32");
}

TEST(TagsCommand, TextListingAndExitStatus) {
  const std::string dir = testsupport::TempDir("tags_status");
  const Bytes whole = fixtures::SmallImageFile();
  const std::string good = fixtures::WriteFile(dir, "good.dcm", whole);
  std::string out;
  EXPECT_EQ(fixtures::RunCommand(Tool() + " tags " + Quote(good), &out), 0);
  EXPECT_NE(out.find("(0010,0010) PN PatientName"), std::string::npos) << out;
  EXPECT_NE(out.find("DOE^JOHN"), std::string::npos);

  // A cut file lists what is there and says where it ends.
  const std::string cut =
      fixtures::WriteFile(dir, "cut.dcm", fixtures::Truncated(whole, whole.size() - 6));
  EXPECT_EQ(fixtures::RunCommand(Tool() + " tags --json " + Quote(cut) + " 2>&1 >/dev/null", &out),
            0);
  EXPECT_NE(out.find("the file ends inside (7FE0,0010)"), std::string::npos) << out;

  const std::string text = "just text, nothing DICOM about it at all\n";
  const std::string bad = fixtures::WriteFile(dir, "bad.txt", Bytes(text.begin(), text.end()));
  EXPECT_EQ(fixtures::RunCommand(Tool() + " tags " + Quote(bad) + " 2>&1", &out), 1);
  EXPECT_NE(out.find("not a DICOM file"), std::string::npos) << out;
  EXPECT_EQ(fixtures::RunCommand(Tool() + " tags 2>/dev/null"), 2);
  EXPECT_EQ(fixtures::RunCommand(Tool() + " tags --bogus " + Quote(good) + " 2>/dev/null"), 2);
  EXPECT_EQ(fixtures::RunCommand(Tool() + " tags " + Quote(dir + "/missing.dcm") + " 2>/dev/null"),
            1);
}

}  // namespace
