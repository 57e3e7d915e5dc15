// Sub-commands of tavrolen-dicom register themselves here, so each lives in
// its own file and main() only dispatches.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace cli {

using CommandFn = std::function<int(const std::vector<std::string>& args)>;

struct Command {
  std::string name;
  std::string usage;  // one line, shown by `tavrolen-dicom help`
  CommandFn run;
};

std::vector<Command>& Registry();

struct Register {
  Register(std::string name, std::string usage, CommandFn fn) {
    Registry().push_back({std::move(name), std::move(usage), std::move(fn)});
  }
};

}  // namespace cli
