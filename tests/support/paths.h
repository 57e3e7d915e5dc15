// Where the tests find their data.
#pragma once

#include <string>

namespace testsupport {

// pydicom's sample files (empty when the package is missing).
std::string SampleDir();
std::string SamplePath(const std::string& name);
// A fresh empty directory under the build tree for one test.
std::string TempDir(const std::string& name);

}  // namespace testsupport
