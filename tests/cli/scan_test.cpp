#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;

bool ToolHas(const std::string& command) {
  std::string out;
  fixtures::RunCommand("'" + kTool + "' help", &out);
  return out.find("  " + command + " ") != std::string::npos;
}

// Evaluates a Python expression over the JSON document d read from file.
std::string Py(const std::string& file, const std::string& expr) {
  std::string out;
  const int status = fixtures::RunCommand(
      "/usr/bin/python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
      "print(eval(sys.argv[2]))' '" +
          file + "' \"" + expr + "\" 2>&1",
      &out);
  EXPECT_EQ(status, 0) << out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class Scan : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolHas("scan") || !ToolHas("make-demo")) GTEST_SKIP() << "built without Qt";
  }
  // Runs scan; returns the exit status and leaves the output in file.
  static int RunScan(const std::string& args, const std::string& file) {
    return fixtures::RunCommand("'" + kTool + "' scan " + args + " > '" + file + "'");
  }
};

TEST_F(Scan, FolderJsonHasTheRecordFieldsAndTheSortedTree) {
  const std::string dir = testsupport::TempDir("scan_demo");
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' make-demo '" + dir + "/study' > /dev/null"), 0);
  const std::string json = dir + "/folder.json";
  ASSERT_EQ(RunScan("'" + dir + "/study' --json", json), 0);

  EXPECT_EQ(
      Py(json, "sorted(d)"),
      "['duplicates', 'elapsedMs', 'filesFiled', 'filesListed', 'messages', 'patients', 'reports', "
      "'skipped']");
  EXPECT_EQ(Py(json, "sorted(d['patients'][0])"), "['patientName', 'patintID', 'studies']");
  EXPECT_EQ(Py(json, "sorted(d['patients'][0]['studies'][0])"),
            "['accessionNumber', 'description', 'instanceUid', 'serieses', 'studyDate', "
            "'studyID', 'studyTime']");
  EXPECT_EQ(Py(json, "sorted(d['patients'][0]['studies'][0]['serieses'][0])"),
            "['BodyPart', 'images', 'instanceUid', 'modality', 'seriesNumber']");
  EXPECT_EQ(Py(json, "sorted(d['patients'][0]['studies'][0]['serieses'][0]['images'][0])"),
            "['imagePath', 'imageType', 'instanceNumber']");
  EXPECT_EQ(Py(json, "sorted(d['reports'][0])"), "['PatientId', 'PatientName', 'ReportPath']");

  EXPECT_EQ(Py(json, "d['filesListed'], d['filesFiled'], d['skipped'], d['messages']"),
            "(38, 37, [], [])");
  EXPECT_EQ(Py(json, "len(d['patients']), len(d['patients'][0]['studies'])"), "(1, 4)");
  EXPECT_EQ(Py(json, "d['reports'][0]['ReportPath'].endswith('/report.txt')"), "True");
  EXPECT_EQ(Py(json, "type(d['elapsedMs']).__name__"), "int");
  // The CT study: series 1 to 4 in order, the axial series' 24 images in order.
  const std::string ct = "[s for s in d['patients'][0]['studies'] if len(s['serieses']) == 4][0]";
  EXPECT_EQ(Py(json, "[x['seriesNumber'] for x in " + ct + "['serieses']]"), "[1, 2, 3, 4]");
  EXPECT_EQ(Py(json, "[i['instanceNumber'] for i in " + ct + "['serieses'][2]['images']]"),
            "[1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, "
            "24]");
  EXPECT_EQ(Py(json, ct + "['studyTime'], " + ct + "['studyDate']"), "('14:30:15', '14/03/2024')");

  // The DICOMDIR of the same study names the same files.
  const std::string viaDir = dir + "/dicomdir.json";
  ASSERT_EQ(RunScan("'" + dir + "/study/DICOMDIR' --json", viaDir), 0);
  const std::string paths =
      "sorted(i['imagePath'] for p in d['patients'] for st in p['studies'] for s in "
      "st['serieses'] for i in s['images'])";
  EXPECT_EQ(Py(viaDir, paths), Py(json, paths));
  EXPECT_EQ(Py(viaDir, "d['filesListed'], d['filesFiled']"), "(37, 37)");
}

TEST_F(Scan, SingleFileBadFilesAndErrors) {
  const std::string dir = testsupport::TempDir("scan_files");
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' make-demo '" + dir + "/study' > /dev/null"), 0);
  const std::string one = dir + "/one.json";
  ASSERT_EQ(RunScan("--json '" + dir + "/study/XRAY/IM0001'", one), 0);
  EXPECT_EQ(Py(one, "d['filesListed'], d['filesFiled'], len(d['patients'])"), "(1, 1, 1)");

  // A junk file with a name that is not ASCII: listed with a reason, and the
  // JSON stays valid.
  const std::string bad = dir + "/bad";
  std::filesystem::create_directories(bad);
  std::filesystem::copy_file(dir + "/study/XRAY/IM0001", bad + "/good");
  fixtures::WriteFile(bad, "caf\xc3\xa9", fixtures::Bytes(1000, 0x41));
  const std::string out = dir + "/bad.json";
  ASSERT_EQ(RunScan("'" + bad + "' --json", out), 0);
  EXPECT_EQ(Py(out, "d['filesListed'], d['filesFiled'], len(d['skipped'])"), "(2, 1, 1)");
  EXPECT_EQ(Py(out, "d['skipped'][0]['path'].endswith('caf\\u00e9')"), "True");
  EXPECT_EQ(Py(out, "len(d['skipped'][0]['reason']) > 0"), "True");

  // Plain text names the tree and the counts.
  std::string text;
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' scan '" + bad + "'", &text), 0);
  EXPECT_NE(text.find("Patient "), std::string::npos);
  EXPECT_NE(text.find("files listed 2, filed 1, skipped 1"), std::string::npos);

  EXPECT_EQ(fixtures::RunCommand("'" + kTool + "' scan '" + dir + "/missing' 2>/dev/null"), 1);
  EXPECT_EQ(fixtures::RunCommand("'" + kTool + "' scan 2>/dev/null"), 2);
  EXPECT_EQ(fixtures::RunCommand("'" + kTool + "' scan a b 2>/dev/null"), 2);
}

}  // namespace
