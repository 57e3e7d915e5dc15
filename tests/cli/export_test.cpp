// tavrolen-dicom export as a user runs it, checked by outside readers: pydicom
// against the profile's table (export_oracle.py), dcmdump and scan on the
// DICOMDIR, python's zipfile on the ZIP; and a read-only or full target on a
// small file system mounted in a private mount namespace.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace fs = std::filesystem;

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;
const std::string kOracle = std::string(TAVROLEN_SOURCE_DIR) + "/tests/cli/export_oracle.py";
const std::string kTable =
    std::string(TAVROLEN_SOURCE_DIR) + "/scripts/data/confidentiality-profile.json";

bool ToolHas(const std::string& command) {
  std::string out;
  fixtures::RunCommand("'" + kTool + "' help", &out);
  return out.find("  " + command + " ") != std::string::npos;
}

int Shell(const std::string& command, std::string* out = nullptr) {
  return fixtures::RunCommand(command + " 2>&1", out);
}

std::string Py(const std::string& code, const std::string& args) {
  std::string out;
  EXPECT_EQ(fixtures::RunCommand("/usr/bin/python3 -c '" + code + "' " + args + " 2>&1", &out), 0)
      << out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// "patients studies series images" of scan --json over path.
std::string Counts(const std::string& path, const std::string& dir) {
  const std::string json =
      dir + "/scan-" + std::to_string(std::hash<std::string>{}(path)) + ".json";
  EXPECT_EQ(fixtures::RunCommand("'" + kTool + "' scan '" + path + "' --json > '" + json + "'"), 0);
  return Py(
      "import json,sys; p=json.load(open(sys.argv[1]))[\"patients\"]; "
      "st=[s for x in p for s in x[\"studies\"]]; se=[r for s in st for r in s[\"serieses\"]]; "
      "print(len(p), len(st), len(se), sum(len(r[\"images\"]) for r in se))",
      "'" + json + "'");
}

class Export : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolHas("export")) GTEST_SKIP() << "built without the export core";
    REQUIRE_PYTHON_MODULES("pydicom,numpy");
    REQUIRE_TOOL("dcmdump");
    dir_ = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    src_ = dir_ + "/src";
    std::string out;
    ASSERT_EQ(Shell("/usr/bin/python3 '" + kOracle + "' make '" + src_ + "'", &out), 0) << out;
  }
  int Export_(const std::string& args, const std::string& json) {
    return fixtures::RunCommand("'" + kTool + "' export '" + src_ + "' " + args + " --json > '" +
                                json + "' 2>'" + json + ".err'");
  }
  void Oracle(const std::string& json, const std::string& out, const std::string& flags = "") {
    std::string text;
    EXPECT_EQ(Shell("/usr/bin/python3 '" + kOracle + "' check '" + kTable + "' '" + json + "' '" +
                        out + "' " + flags,
                    &text),
              0)
        << text;
    EXPECT_NE(text.find(" 0 difference(s)"), std::string::npos) << text;
  }
  std::string dir_, src_;
};

TEST_F(Export, AnonymisedFolderFollowsTheTableAndLeavesBurnedInOut) {
  const std::string out = dir_ + "/out", json = dir_ + "/e.json";
  EXPECT_EQ(Export_("-o '" + out + "' --anonymize --dicomdir", json), 1)
      << "a burned-in image was left out";
  Oracle(json, out);
  EXPECT_EQ(Py("import json,sys; d=json.load(open(sys.argv[1])); "
               "print(sorted(f[\"status\"] for f in d[\"files\"]))",
               "'" + json + "'"),
            "['burned-in', 'exported', 'exported', 'exported', 'exported', 'exported']");
  std::string dump;
  EXPECT_EQ(fixtures::RunCommand("dcmdump '" + out + "/DICOMDIR' 2>&1", &dump), 0) << dump;
  size_t images = 0;
  for (size_t at = 0; (at = dump.find("[IMAGE]", at)) != std::string::npos; ++at) ++images;
  EXPECT_EQ(images, 5u);
  for (const auto& e : fs::directory_iterator(out))
    EXPECT_TRUE(e.path().filename() == "DICOM" || e.path().filename() == "DICOMDIR") << e.path();
}

TEST_F(Export, DicomDirScansAsTheSourceDoes) {
  const std::string out = dir_ + "/out", json = dir_ + "/e.json";
  ASSERT_EQ(Export_("-o '" + out + "' --anonymize --include-burned-in --dicomdir", json), 0);
  Oracle(json, out, "--include-burned-in");
  const std::string source = Counts(src_, dir_);
  EXPECT_EQ(source, "2 2 4 6");
  EXPECT_EQ(Counts(out + "/DICOMDIR", dir_), source);
  EXPECT_EQ(Counts(out, dir_), source);
}

TEST_F(Export, ZipHoldsTheExportedTree) {
  const std::string zip = dir_ + "/media.zip", json = dir_ + "/e.json";
  EXPECT_EQ(Export_("-o '" + zip +
                        "' --zip --dicomdir --anonymize --keep-dates --patient-name "
                        "Case^Seven --patient-id CASE7",
                    json),
            1);
  Oracle(json, zip, "--keep-dates --name Case^Seven --id CASE7");
  EXPECT_EQ(
      Py("import json,sys,zipfile; d=json.load(open(sys.argv[1])); z=zipfile.ZipFile(sys.argv[2]); "
         "ids=sorted(f[\"fileId\"] for f in d[\"files\"] if f[\"fileId\"])+[\"DICOMDIR\"]; "
         "print(z.testzip() is None and sorted(z.namelist())==sorted(ids), len(z.namelist()))",
         "'" + json + "' '" + zip + "'"),
      "True 6");
  for (const auto& e : fs::directory_iterator(dir_))
    EXPECT_EQ(e.path().string().find(".part"), std::string::npos) << e.path();
}

TEST_F(Export, PlainCopyIsByteForByte) {
  const std::string out = dir_ + "/out", json = dir_ + "/e.json";
  ASSERT_EQ(Export_("-o '" + out + "'", json), 0);
  EXPECT_EQ(Py("import json,sys; d=json.load(open(sys.argv[1])); "
               "print(all(open(f[\"source\"],\"rb\").read()==open(sys.argv[2]+\"/"
               "\"+f[\"fileId\"],\"rb\").read() "
               "for f in d[\"files\"]), len(d[\"files\"]))",
               "'" + json + "' '" + out + "'"),
            "True 6");
  EXPECT_FALSE(fs::exists(out + "/DICOMDIR"));
}

TEST_F(Export, WrongCommandLines) {
  for (const std::string& args :
       {std::string("'" + src_ + "'"), "-o '" + dir_ + "/x'",
        "'" + src_ + "' -o '" + dir_ + "/x' --keep-dates",
        "'" + src_ + "' -o '" + dir_ + "/x' --bogus", "'" + src_ + "' -o"})
    EXPECT_EQ(fixtures::RunCommand("'" + kTool + "' export " + args + " >/dev/null 2>&1"), 2)
        << args;
  EXPECT_FALSE(fs::exists(dir_ + "/x"));
}

// A read-only and a full file system, each mounted in a mount namespace of
// the command's own so nothing outside sees it.
TEST_F(Export, ReadOnlyAndFullTargetsFailCleanly) {
  std::string probe;
  if (fixtures::RunCommand(
          "unshare -m sh -c 'mount -t tmpfs -o size=64k tmpfs \"$0\"' '" + dir_ + "' 2>&1",
          &probe) != 0)
    GTEST_SKIP() << "cannot mount a small file system here (needs CAP_SYS_ADMIN): " << probe;
  struct Case {
    std::string mount;  // shell commands run before the export, $M the mount point
    std::string args;
    std::string reason;
  };
  const Case cases[] = {
      {"mount -t tmpfs -o size=1m tmpfs $M && mount -o remount,ro $M", "-o $M/out --dicomdir",
       "read-only file system"},
      {"mount -t tmpfs -o size=12k tmpfs $M", "-o $M/out --anonymize --dicomdir",
       "no space left on"},
      // Room for the staged files but not for the archive too.
      {"mount -t tmpfs -o size=20k tmpfs $M", "-o $M/media.zip --zip --anonymize",
       "no space left on"},
  };
  for (const Case& c : cases) {
    const std::string mnt = dir_ + "/mnt";
    fs::create_directories(mnt);
    const std::string script = dir_ + "/target.sh";
    std::ofstream(script) << "M='" << mnt << "'\n"
                          << c.mount << " || exit 9\n'" << kTool << "' export '" << src_ << "' "
                          << c.args << "\necho rc=$?\nls -A \"$M\"\n";
    std::string out;
    fixtures::RunCommand("unshare -m sh '" + script + "' 2>&1", &out);
    std::string lower = out;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_NE(lower.find(c.reason), std::string::npos) << c.args << "\n" << out;
    EXPECT_EQ(out.find(".tavrolen-export"), std::string::npos) << out;
    EXPECT_NE(out.find("rc=1\n"), std::string::npos) << out;
    // After rc=1 the listing of the mount: nothing left.
    EXPECT_EQ(out.substr(out.find("rc=1\n") + 5), "") << "left on the target:\n" << out;
  }
}

}  // namespace

TEST(ExportDrawnObjects, SegmentationsAndStructureSetsGoWithTheirStudy) {
  if (!ToolHas("export")) GTEST_SKIP() << "built without the export core";
  REQUIRE_PYTHON_MODULES("pydicom,numpy");
  const std::string dir = testsupport::TempDir("export-drawn");
  std::string out;
  ASSERT_EQ(Shell("/usr/bin/python3 '" + std::string(TAVROLEN_SOURCE_DIR) +
                      "/tests/app/derived_fixtures.py' '" + dir + "'",
                  &out),
            0)
      << out;
  const std::string json = dir + "/e.json";
  // No longer series of the tree, not skipped either: the three images and both objects.
  EXPECT_EQ(fixtures::RunCommand("'" + kTool + "' export '" + dir + "/study' -o '" + dir +
                                 "/out' --json > '" + json + "'"),
            0);
  EXPECT_EQ(Py("import json,sys; d=json.load(open(sys.argv[1])); "
               "print(d[\"exported\"], len(d[\"skipped\"]))",
               "'" + json + "'"),
            "5 0");
}
