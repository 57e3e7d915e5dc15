#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "orthanc.h"

namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

// The PACS tests start real servers, some listening on every interface: they
// run in a network namespace of their own with only loopback, made before any
// thread (Qt's included) exists, or on the shared network only when asked.
int main(int argc, char** argv) {
  bool listing = false;  // ctest's test discovery starts no server
  for (int i = 1; i < argc; ++i)
    listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
  std::string refusal;
  if (!listing) {
    std::string how, why;
    if (EnvSet("TAVROLEN_PACS_SHARED_NETWORK"))
      std::printf("PACS tests: on the shared network, as asked\n");
    else if (testsupport::EnterLoopbackOnlyNetwork(&how, &why))
      std::printf("PACS tests: in a private network namespace (%s)\n", how.c_str());
    else
      refusal = "PACS tests: refused, no private network namespace (" + why +
                "); TAVROLEN_PACS_SHARED_NETWORK=1 runs them on the shared network";
    std::fflush(stdout);
  }
  if (!refusal.empty()) {
    // A failure where the servers are required; elsewhere a skip, in the
    // words ctest counts as one.
    const bool required = std::getenv("TAVROLEN_REQUIRE_ORTHANC") != nullptr;
    std::printf("%s%s\n", required ? "" : "[  SKIPPED ] ", refusal.c_str());
    return required ? 1 : 0;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
