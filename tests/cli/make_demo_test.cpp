#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace fs = std::filesystem;

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;

bool ToolHasMakeDemo() {
  std::string out;
  fixtures::RunCommand("'" + kTool + "' help", &out);
  return out.find("  make-demo ") != std::string::npos;
}

TEST(MakeDemo, WritesTheSameValidStudyEveryTime) {
  if (!ToolHasMakeDemo()) GTEST_SKIP() << "built without Qt";
  const std::string dir = testsupport::TempDir("make_demo");
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' make-demo '" + dir + "/a' > /dev/null"), 0);
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' make-demo '" + dir + "/b' > /dev/null"), 0);

  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir + "/a")) {
    if (!entry.is_regular_file()) continue;
    ++files;
    const fs::path rel = fs::relative(entry.path(), dir + "/a");
    EXPECT_EQ(fixtures::ReadFile(entry.path().string()),
              fixtures::ReadFile((fs::path(dir) / "b" / rel).string()))
        << rel;
    if (rel == "CTAX/report.txt") continue;
    // DCMTK reads every file, the DICOMDIR included.
    EXPECT_EQ(fixtures::RunCommand("dcmdump -q '" + entry.path().string() + "' > /dev/null 2>&1"),
              0)
        << rel;
  }
  EXPECT_EQ(files, 39);  // 37 images, the DICOMDIR and the report

  // pydicom walks the DICOMDIR by its record offsets and finds every image;
  // it decodes the RLE slices and the cine.
  std::string out;
  const std::string script =
      "import sys\n"
      "from pydicom.fileset import FileSet\n"
      "import pydicom\n"
      "fs = FileSet(sys.argv[1] + '/DICOMDIR')\n"
      "print(len(fs), sorted(set(i.SeriesInstanceUID[-3:] for i in fs)))\n"
      "rle = pydicom.dcmread(sys.argv[1] + '/CTRLE/IM0004').pixel_array\n"
      "print(rle.shape, int(rle.min()) < 100, int(rle.max()) > 1500)\n"
      "cine = pydicom.dcmread(sys.argv[1] + '/USCINE/IM0001')\n"
      "print(cine.pixel_array.shape, float(cine.FrameTime))\n";
  fixtures::WriteFile(dir, "check.py", fixtures::Bytes(script.begin(), script.end()));
  ASSERT_EQ(
      fixtures::RunCommand("/usr/bin/python3 '" + dir + "/check.py' '" + dir + "/a' 2>&1", &out), 0)
      << out;
  EXPECT_EQ(out,
            "37 ['3.1', '3.2', '3.3', '3.4', '3.5', '3.6', '3.7']\n"
            "(256, 256) True True\n"
            "(24, 120, 160, 3) 40.0\n");

  EXPECT_NE(fixtures::RunCommand("'" + kTool + "' make-demo 2>/dev/null"), 0);
}

}  // namespace
