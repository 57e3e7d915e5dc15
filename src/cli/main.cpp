// tavrolen-dicom: the viewer's own code, headless, for scripts and tests.
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tavrolen-dicom COMMAND ...\n");
    return 2;
  }
  std::fprintf(stderr, "tavrolen-dicom: unknown command '%s'\n", argv[1]);
  return 2;
}
