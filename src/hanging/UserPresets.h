// Window presets of the user's own, per modality, stored beside the hanging
// protocols ($XDG_CONFIG_HOME/tavrolen-viewer/window-presets.json). Written
// only when the user adds, renames or removes one.
#pragma once

#include <string>
#include <vector>

#include "hanging/HangingProtocol.h"

namespace hanging {

struct TUserPreset {
  std::string modality;  // upper case: "CT", "MR", ...
  std::string name;
  double ww = 1, wl = 0;
};

struct TUserPresets {
  std::vector<TUserPreset> presets;  // in the order the user added them
  std::vector<TProblem> problems;    // what could not be read, by line
};

std::string UserPresetsPath();
// A missing file is an empty list without problems.
TUserPresets LoadUserPresets(const std::string& file);
TUserPresets ParseUserPresets(const std::string& json, const std::string& source);
std::string UserPresetsJson(const std::vector<TUserPreset>& presets);
// Written safely; false with *why when it could not be.
bool SaveUserPresets(const std::string& file, const std::vector<TUserPreset>& presets,
                     std::string* why);

// The presets for a modality: the user's for it, in order.
std::vector<TUserPreset> PresetsFor(const std::vector<TUserPreset>& presets,
                                    const std::string& modality);

}  // namespace hanging
