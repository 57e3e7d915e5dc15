// --version: scripts read the name and version from the first line alone;
// the licence follows it.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/fixtures.h"

namespace {

const std::string kTool = TAVROLEN_DICOM_TOOL;

TEST(Version, FirstLineIsNameAndVersionAloneThenTheLicence) {
  for (const char* flag : {"--version", "-v"}) {
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("'" + kTool + "' " + flag, &out), 0) << flag;
    const std::string first = out.substr(0, out.find('\n'));
    EXPECT_TRUE(std::regex_match(first, std::regex(R"(tavrolen-dicom [0-9]+\.[0-9]+)"))) << out;
    EXPECT_NE(out.find("\nLicensed under the Apache License, Version 2.0.\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("/usr/share/doc/tavrolen-viewer/copyright"), std::string::npos) << out;
  }
}

}  // namespace
