// tavrolen-dicom make-demo DIR: writes the built-in demo study.
// Built wherever the tool links the study core.
#ifdef TAVROLEN_WITH_STUDY

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "study/DemoStudy.h"

namespace {

int MakeDemo(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
    std::fprintf(stderr, "usage: tavrolen-dicom make-demo DIR\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  demo::TDemoInfo info;
  std::string error;
  if (!demo::WriteDemoStudy(args[0], &info, &error)) {
    std::fprintf(stderr, "tavrolen-dicom make-demo: %s\n", error.c_str());
    return 1;
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  std::printf("%d images, %lld bytes, %lld ms; open %s\n", info.files,
              static_cast<long long>(info.bytes), static_cast<long long>(ms),
              info.dicomDir.c_str());
  return 0;
}

cli::Register makeDemoCommand("make-demo", "make-demo DIR          writes the built-in demo study",
                              MakeDemo);

}  // namespace

#endif  // TAVROLEN_WITH_STUDY
