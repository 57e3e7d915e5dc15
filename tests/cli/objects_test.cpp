// tavrolen-dicom objects: derived objects written by another toolkit
// (pydicom), each with the images it refers to resolved to the files beside
// it, found by plane where it names none, or listed with the reason.
#include <gtest/gtest.h>

#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;
const std::string kScripts = std::string(TAVROLEN_SOURCE_DIR) + "/tests/cli/";

class Objects : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string help;
    fixtures::RunCommand("'" + kTool + "' help", &help);
    if (help.find("  objects ") == std::string::npos)
      GTEST_SKIP() << "built without the study core";
    ASSERT_TRUE(testsupport::HavePythonModules("pydicom, numpy"))
        << "/usr/bin/python3 cannot import pydicom and numpy, which write the fixtures";
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string out;
    ASSERT_EQ(
        fixtures::RunCommand(
            "/usr/bin/python3 " + kScripts + "objects_fixture.py '" + dir + "/study' 2>&1", &out),
        0)
        << out;
  }
  // Runs the tool; its standard output goes to file.
  int Run(const std::string& args, const std::string& file) {
    return fixtures::RunCommand("'" + kTool + "' objects " + args + " > '" + file + "' 2>&1");
  }
  std::string Summary(const std::string& json) {
    std::string out;
    EXPECT_EQ(fixtures::RunCommand(
                  "/usr/bin/python3 " + kScripts + "objects_summary.py '" + json + "'", &out),
              0)
        << out;
    return out;
  }
  std::string Text(const std::string& file) {
    const fixtures::Bytes b = fixtures::ReadFile(file);
    return std::string(b.begin(), b.end());
  }
  std::string dir;
};

TEST_F(Objects, FolderListsEveryObjectWithItsImagesResolved) {
  const std::string json = dir + "/objects.json";
  ASSERT_EQ(Run("'" + dir + "/study' --json", json), 0) << Text(json);
  // In file name order. The segmentation's last frame and the Body contour
  // name no image: they are found by their plane (z = 8 and z = 6).
  EXPECT_EQ(Summary(json),
            "files=12 images=5\n"
            "broken_seg.dcm segmentation refused\n"
            "gsps.dcm presentation-state label=READER1 description=Soft tissue "
            "creationDate=20261209 -> ct1.dcm, ct2.dcm\n"
            "kos.dcm key-object-selection title=For Teaching titleCode=113004^DCM "
            "description=Two lesions -> ct2.dcm, ct4.dcm\n"
            "missing_kos.dcm key-object-selection title=Of Interest titleCode=113000^DCM "
            "-> -!refers to nothing loaded | refers to nothing loaded\n"
            "rtstruct.dcm rt-structure-set label=PLAN 1:Square:#00ff00 2:Body:#ff0000 "
            "-> ct3.dcm, ct4.dcm~plane\n"
            "seg.dcm segmentation label=ORGANS description=Organs 1:Liver:#000000 "
            "2:Tumour:#3cb44b(palette) -> ct1.dcm, ct2.dcm, ct3.dcm, ct5.dcm~plane\n"
            "unreadable junk.dcm\n");
}

TEST_F(Objects, FilesAloneAndTheirOwnFieldsInText) {
  // The key objects without their images: listed with the reason, not dropped.
  const std::string text = dir + "/kos.txt";
  ASSERT_EQ(Run("'" + dir + "/study/kos.dcm' '" + dir + "/study/ct2.dcm'", text), 0);
  const std::string out = Text(text);
  EXPECT_NE(out.find("key-object-selection " + dir + "/study/kos.dcm\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  title: For Teaching\n  description: Two lesions\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("-> 1.2.826.0.1.3680043.9.7133.1.1.2: " + dir + "/study/ct2.dcm\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("-> 1.2.826.0.1.3680043.9.7133.1.1.4: refers to nothing loaded\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("1 object(s), 1 image(s), 2 file(s)"), std::string::npos) << out;

  // A reference to a frame the image does not have is resolved and flagged.
  const std::string json = dir + "/frames.json";
  ASSERT_EQ(fixtures::RunCommand(
                "/usr/bin/python3 -c \"import pydicom,sys; d=pydicom.dcmread(sys.argv[1]); "
                "d.ContentSequence[1].ReferencedSOPSequence[0].ReferencedFrameNumber=[3,2]; "
                "d.save_as(sys.argv[1])\" '" +
                dir + "/study/kos.dcm'"),
            0);
  ASSERT_EQ(Run("'" + dir + "/study' --json", json), 0);
  EXPECT_NE(
      Summary(json).find(" -> ct2.dcm:2,3!frame 2 is beyond the image's 1 frame(s), ct4.dcm\n"),
      std::string::npos)
      << Summary(json);
}

TEST_F(Objects, CommandLineAndPathFailures) {
  const std::string out = dir + "/out.txt";
  EXPECT_EQ(Run("", out), 2);
  EXPECT_EQ(Run("--bogus '" + dir + "'", out), 2);
  EXPECT_EQ(Run("'" + dir + "/nowhere'", out), 1);
  EXPECT_NE(Text(out).find("no such file or folder"), std::string::npos) << Text(out);
  // A DICOMDIR stands for its medium; the report beside the images is no DICOM file.
  ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' make-demo '" + dir + "/demo' > /dev/null"), 0);
  EXPECT_EQ(Run("'" + dir + "/demo/DICOMDIR'", out), 0);
  EXPECT_NE(Text(out).find("0 object(s), 37 image(s), 37 file(s)"), std::string::npos) << Text(out);
  // A folder without DICOM files is no failure: nothing to list.
  EXPECT_EQ(Run("'" + testsupport::TempDir("objects_empty") + "' --json", out), 0);
  EXPECT_NE(Text(out).find("\"objects\": []"), std::string::npos) << Text(out);
}

}  // namespace
