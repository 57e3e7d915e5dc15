// Where the tests find their data, and what a test does when some of it (or
// an outside tool it compares with) is missing.
#pragma once

#include <string>

namespace testsupport {

// pydicom's sample files (empty when the package is missing).
std::string SampleDir();
std::string SamplePath(const std::string& name);
// A fresh empty directory under the build tree for one test.
std::string TempDir(const std::string& name);

// Whether a missing sample or tool fails the test rather than skipping it:
// TAVROLEN_REQUIRE_SAMPLES set (not to 0). The test command sets it, so a run
// that lost its reference files or oracles cannot pass.
bool SamplesRequired();
// Whether a sample path (file or folder) exists.
bool HaveSample(const std::string& path);
// Whether name is an executable on PATH (or an executable path).
bool HaveTool(const std::string& name);
// Whether /usr/bin/python3 imports every module of a comma-separated list.
bool HavePythonModules(const std::string& modules);

}  // namespace testsupport

// Skips the test saying what is missing, or fails it when samples are
// required. Returns from the enclosing function either way.
#define REQUIRE_OR_SKIP(what)                                                      \
  do {                                                                             \
    if (testsupport::SamplesRequired())                                            \
      FAIL() << (what) << " (a failure because TAVROLEN_REQUIRE_SAMPLES is set)";  \
    GTEST_SKIP() << (what) << " (set TAVROLEN_REQUIRE_SAMPLES=1 to fail instead)"; \
  } while (0)

// pydicom's sample folder as a whole.
#define REQUIRE_SAMPLES()                                                                         \
  do {                                                                                            \
    if (testsupport::SampleDir().empty())                                                         \
      REQUIRE_OR_SKIP(std::string("pydicom's sample files are missing (") + TAVROLEN_SAMPLE_DIR + \
                      "); scripts/bootstrap installs python3-pydicom");                           \
  } while (0)

// One file or folder under pydicom's data (relative to the sample folder).
#define REQUIRE_SAMPLE(name)                                                \
  do {                                                                      \
    const std::string requiredSample_ = testsupport::SamplePath(name);      \
    if (!testsupport::HaveSample(requiredSample_))                          \
      REQUIRE_OR_SKIP("pydicom sample " + requiredSample_ + " is missing"); \
  } while (0)

#define REQUIRE_TOOL(name)                                                  \
  do {                                                                      \
    if (!testsupport::HaveTool(name))                                       \
      REQUIRE_OR_SKIP(std::string("tool ") + (name) + " is not installed"); \
  } while (0)

#define REQUIRE_PYTHON_MODULES(modules)                                            \
  do {                                                                             \
    if (!testsupport::HavePythonModules(modules))                                  \
      REQUIRE_OR_SKIP(std::string("/usr/bin/python3 cannot import ") + (modules)); \
  } while (0)
