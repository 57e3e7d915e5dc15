// tavrolen-dicom: the viewer's own code, headless, for scripts and tests.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"

namespace cli {
std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}
}  // namespace cli

// One command's usage, wrapped at word boundaries so long option lists stay
// readable in a terminal.
static void PrintWrapped(FILE* to, const std::string& text) {
  constexpr size_t kWidth = 100;
  const std::string first = "  ", next = "      ";
  std::string line = first;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = text.find(' ', i);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(i, end - i);
    const bool fresh = line == first || line == next;
    if (!fresh && line.size() + 1 + word.size() > kWidth) {
      std::fprintf(to, "%s\n", line.c_str());
      line = next;
    } else if (!fresh) {
      line += ' ';
    }
    line += word;
    i = end + 1;
  }
  std::fprintf(to, "%s\n", line.c_str());
}

static void PrintUsage(FILE* to) {
  std::fprintf(to, "usage: tavrolen-dicom COMMAND ...  (or --version)\n");
  auto commands = cli::Registry();
  std::sort(commands.begin(), commands.end(),
            [](const cli::Command& a, const cli::Command& b) { return a.name < b.name; });
  for (const auto& c : commands) PrintWrapped(to, c.usage);
}

#ifndef TAVROLEN_VERSION
#define TAVROLEN_VERSION "1.0"
#endif

int main(int argc, char** argv) {
  const std::string first = argc < 2 ? "" : argv[1];
  if (argc < 2 || first == "help" || first == "--help" || first == "-h") {
    PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (first == "--version" || first == "-v") {
    std::printf(
        "tavrolen-dicom %s\n"
        "Licensed under the Apache License, Version 2.0.\n"
        "The libraries it uses keep their own licences: see "
        "/usr/share/doc/tavrolen-viewer/copyright.\n",
        TAVROLEN_VERSION);
    return 0;
  }
  const std::string name = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  // A password given as --user NAME:PASSWORD is blanked in the process's own
  // argument memory, so process lists (ps, /proc/PID/cmdline) do not show it.
  for (int i = 3; i < argc; ++i)
    if (std::string(argv[i - 1]) == "--user")
      if (char* colon = std::strchr(argv[i], ':'))
        for (char* c = colon + 1; *c; ++c) *c = '*';
  for (const auto& c : cli::Registry()) {
    if (c.name == name) return c.run(args);
  }
  std::fprintf(stderr, "tavrolen-dicom: unknown command '%s'\n", name.c_str());
  PrintUsage(stderr);
  return 2;
}
