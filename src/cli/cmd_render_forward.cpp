// `render` paints a viewer cell, which takes the viewer's widgets: it lives in
// a program of its own (tavrolen-dicom-render, built from cmd_render.cpp), so
// this tool links no widgets and starts quickly for every other command. The
// command is handed over whole, by exec: same arguments, same output, same
// exit status.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/Companion.h"
#include "render_usage.h"

namespace {

int Render(const std::vector<std::string>& args) {
  const std::string program =
      FindCompanionProgram(TAVROLEN_RENDER_BUILT, TAVROLEN_RENDER_INSTALLED);
  if (program.empty()) {
    std::fprintf(stderr, "tavrolen-dicom render: the renderer (%s) is not installed\n",
                 TAVROLEN_RENDER_INSTALLED);
    return 1;
  }
  std::vector<std::string> words{"tavrolen-dicom", "render"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  execv(program.c_str(), argv.data());
  std::fprintf(stderr, "tavrolen-dicom render: cannot start %s: %s\n", program.c_str(),
               std::strerror(errno));
  return 1;
}

const cli::Register kRender("render", kRenderUsage, Render);

}  // namespace
