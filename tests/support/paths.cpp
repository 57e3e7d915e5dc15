#include "support/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace testsupport {

std::string SampleDir() {
  return fs::is_directory(TAVROLEN_SAMPLE_DIR) ? std::string(TAVROLEN_SAMPLE_DIR) : std::string();
}

std::string SamplePath(const std::string& name) {
  return std::string(TAVROLEN_SAMPLE_DIR) + "/" + name;
}

namespace {

// Each test process works in a folder of its own, removed when it exits: the
// test command runs the tests of one fixture side by side, and a shared name
// would let one test empty the folder another is reading.
const fs::path& ProcessTempRoot() {
  struct Root {
    pid_t owner = getpid();
    fs::path path = fs::path(TAVROLEN_BINARY_DIR) / "test-tmp" / ("p" + std::to_string(owner));
    ~Root() {
      // A forked child (a death test) exits through here too: only the
      // process that made the folder removes it.
      if (getpid() != owner) return;
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  };
  static const Root root;
  return root.path;
}

}  // namespace

std::string TempDir(const std::string& name) {
  fs::path p = ProcessTempRoot() / name;
  fs::remove_all(p);
  fs::create_directories(p);
  return p.string();
}

bool SamplesRequired() {
  const char* v = std::getenv("TAVROLEN_REQUIRE_SAMPLES");
  return v && *v && std::string(v) != "0";
}

bool HaveSample(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

bool HaveTool(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "/usr/bin:/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0 && !fs::is_directory(candidate)) return true;
  }
  return false;
}

bool HavePythonModules(const std::string& modules) {
  // The list is the test's own text, not user input: no quoting beyond this.
  const std::string command = "/usr/bin/python3 -c 'import " + modules + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace testsupport
