#include "support/paths.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace testsupport {

std::string SampleDir() {
  return fs::is_directory(TAVROLEN_SAMPLE_DIR) ? std::string(TAVROLEN_SAMPLE_DIR) : std::string();
}

std::string SamplePath(const std::string& name) {
  return std::string(TAVROLEN_SAMPLE_DIR) + "/" + name;
}

std::string TempDir(const std::string& name) {
  fs::path p = fs::path(TAVROLEN_BINARY_DIR) / "test-tmp" / name;
  fs::remove_all(p);
  fs::create_directories(p);
  return p.string();
}

}  // namespace testsupport
