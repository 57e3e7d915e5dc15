// The geometry of a plane written by reformat and render3d --raw, as JSON.
#pragma once

#include <string>

#include "volume/Reformat.h"

namespace cli {

// {"rows", "columns", "pixelSpacing": [row mm, column mm], "position": the
// centre of pixel (0, 0), "orientation": row then column direction cosines}
// and, with `thickness`, the millimetres a projection covers.
std::string PlaneJson(const TPlaneImage& p, bool thickness = false);

}  // namespace cli
