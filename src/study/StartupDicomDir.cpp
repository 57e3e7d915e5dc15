// The start-up DICOMDIR: a CD started from its own folder opens at once.
#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "study/LoadCommon.h"
#include "study/StudyLoad.h"

namespace fs = std::filesystem;
using study::detail::ToLower;

namespace {

bool FindDicomDirIn(const fs::path& dir, std::string& path) {
  std::error_code ec;
  std::vector<fs::path> found;
  fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code typeError;
    if (ToLower(it->path().filename().string()) == "dicomdir" && it->is_regular_file(typeError))
      found.push_back(it->path());
  }
  if (found.empty()) return false;
  // The standard's upper-case name first, then lower case, then any other.
  auto rank = [](const fs::path& p) {
    const std::string n = p.filename().string();
    return n == "DICOMDIR" ? 0 : n == "dicomdir" ? 1 : 2;
  };
  std::sort(found.begin(), found.end(), [&](const fs::path& a, const fs::path& b) {
    return std::make_pair(rank(a), a.string()) < std::make_pair(rank(b), b.string());
  });
  path = found.front().string();
  return true;
}

}  // namespace

bool FindStartupDicomDirIn(const std::string& currentDir, const std::string& rootDir,
                           std::string& path) {
  if (FindDicomDirIn(currentDir, path)) return true;
  return !rootDir.empty() && FindDicomDirIn(rootDir, path);
}

bool FindStartupDicomDir(std::string& path) {
  std::error_code ec;
  const fs::path current = fs::current_path(ec);
  if (ec) return false;
  return FindStartupDicomDirIn(current.string(), current.root_path().string(), path);
}
