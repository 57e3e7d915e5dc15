#include "dicom/Companion.h"

#include <linux/limits.h>
#include <unistd.h>

std::string FindCompanionProgram(const std::string& built, const std::string& installed) {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  const std::string exe = n > 0 ? std::string(self, size_t(n)) : std::string();
  const std::string buildTree = TAVROLEN_BINARY_DIR "/";
  const std::string name = installed.substr(installed.rfind('/') + 1);
  const std::string exeDir = exe.empty() ? std::string() : exe.substr(0, exe.rfind('/') + 1);
  const std::string candidates[] = {
      exe.compare(0, buildTree.size(), buildTree) == 0 ? built : std::string(),
      installed,
      // A tree installed, or unpacked, under another prefix.
      exeDir.empty() ? std::string() : exeDir + TAVROLEN_COMPANION_FROM_BIN "/" + name,
      exeDir.empty() ? std::string() : exeDir + name,
  };
  for (const std::string& c : candidates)
    if (!c.empty() && access(c.c_str(), X_OK) == 0) return c;
  return std::string();
}
