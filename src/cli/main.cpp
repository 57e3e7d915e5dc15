// tavrolen-dicom: the viewer's own code, headless, for scripts and tests.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"

namespace cli {
std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}
}  // namespace cli

static void PrintUsage(FILE* to) {
  std::fprintf(to, "usage: tavrolen-dicom COMMAND ...\n");
  for (const auto& c : cli::Registry()) std::fprintf(to, "  %s\n", c.usage.c_str());
}

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "help" || std::string(argv[1]) == "--help") {
    PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const std::string name = argv[1];
  for (const auto& c : cli::Registry()) {
    if (c.name == name) return c.run(std::vector<std::string>(argv + 2, argv + argc));
  }
  std::fprintf(stderr, "tavrolen-dicom: unknown command '%s'\n", name.c_str());
  PrintUsage(stderr);
  return 2;
}
