// tavrolen-dicom extract: the PDF in an object DCMTK's pdf2dcm wrote comes
// back byte for byte, the same bytes DCMTK's dcm2pdf writes; a value without
// a declared length loses only its padding byte; anything else is refused
// with one reason, and the target is left as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/fixtures.h"
#include "support/paths.h"

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;
const std::string kFixtures =
    std::string(TAVROLEN_SOURCE_DIR) + "/tests/documents/document_fixtures.py";

std::string Slurp(const std::string& path) {
  const fixtures::Bytes b = fixtures::ReadFile(path);
  return std::string(b.begin(), b.end());
}

class Extract : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 '" + kFixtures + "' '" + dir + "' 2>&1", &out),
              0)
        << out;
  }
  int Run(const std::string& args, std::string* out) {
    out->clear();
    return fixtures::RunCommand("'" + kTool + "' extract " + args + " 2>&1", out);
  }
  std::string dir;
};

TEST_F(Extract, Pdf2dcmDocumentsComeBackExactlyAsDcm2pdfWritesThem) {
  REQUIRE_TOOL("pdf2dcm");
  REQUIRE_TOOL("dcm2pdf");
  // An even and an odd length: the odd one is stored with a padding byte.
  for (const char* name : {"two_pages", "odd"}) {
    SCOPED_TRACE(name);
    const std::string pdf = dir + "/" + name + ".pdf";
    const std::string dcm = dir + "/" + name + ".dcm";
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("pdf2dcm '" + pdf + "' '" + dcm + "' 2>&1", &out), 0) << out;
    ASSERT_EQ(fixtures::RunCommand("dcm2pdf '" + dcm + "' '" + dir + "/oracle.pdf' 2>&1", &out), 0)
        << out;
    ASSERT_EQ(Run("'" + dcm + "' -o '" + dir + "/out.pdf'", &out), 0) << out;
    EXPECT_EQ(out, "");
    const std::string extracted = Slurp(dir + "/out.pdf");
    EXPECT_EQ(extracted, Slurp(pdf));
    EXPECT_EQ(extracted, Slurp(dir + "/oracle.pdf"));
  }
}

TEST_F(Extract, WithoutLengthOtherTypesAndStandardOutput) {
  std::string out;
  ASSERT_EQ(Run("'" + dir + "/unpadded.dcm' -o '" + dir + "/u.pdf'", &out), 0) << out;
  EXPECT_EQ(Slurp(dir + "/u.pdf"), Slurp(dir + "/odd.pdf"));
  ASSERT_EQ(Run("'" + dir + "/stl.dcm' -o -", &out), 0) << out;
  EXPECT_EQ(out, "sol");
  // extract writes what the object holds, whether or not it is a valid PDF.
  ASSERT_EQ(Run("'" + dir + "/notpdf.dcm' -o '" + dir + "/n.pdf'", &out), 0) << out;
  EXPECT_EQ(Slurp(dir + "/n.pdf"), "This is plain text, no PDF\n");
}

TEST_F(Extract, RefusalsLeaveTheTargetAsItWas) {
  REQUIRE_SAMPLE("CT_small.dcm");
  const std::string target = fixtures::WriteFile(dir, "keep.pdf", {'o', 'l', 'd'});
  std::string out;
  EXPECT_EQ(Run("'" + testsupport::SamplePath("CT_small.dcm") + "' -o '" + target + "'", &out), 1);
  EXPECT_EQ(out, "tavrolen-dicom extract: " + testsupport::SamplePath("CT_small.dcm") +
                     ": not an encapsulated document (SOP class 1.2.840.10008.5.1.4.1.1.2)\n");
  EXPECT_EQ(Slurp(target), "old");

  EXPECT_EQ(Run("'" + dir + "/claims.dcm' -o '" + target + "'", &out), 1);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(Slurp(target), "old");

  EXPECT_EQ(Run("'" + dir + "/two_pages.pdf' -o '" + target + "'", &out), 1);
  EXPECT_EQ(Slurp(target), "old");

  EXPECT_EQ(Run("'" + dir + "/cda.dcm'", &out), 2);
  EXPECT_EQ(Run("'" + dir + "/cda.dcm' -o", &out), 2);
  EXPECT_EQ(Run("'" + dir + "/cda.dcm' -o '" + dir + "/missing/folder/x'", &out), 1);
}

}  // namespace
