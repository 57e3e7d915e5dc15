#include "plane_json.h"

#include <initializer_list>
#include <vector>

#include "json.h"

namespace cli {

std::string PlaneJson(const TPlaneImage& p, bool thickness) {
  // + 0.0 writes a negative zero as 0.
  const auto v = [](std::initializer_list<double> xs) {
    std::vector<double> out;
    for (double x : xs) out.push_back(x + 0.0);
    return out;
  };
  JsonWriter j;
  j.BeginObject()
      .Field("rows", p.rows)
      .Field("columns", p.columns)
      .Field("pixelSpacing", v({p.rowSpacing, p.columnSpacing}))
      .Field("position", v({p.position.x, p.position.y, p.position.z}))
      .Field("orientation",
             v({p.rowDir.x, p.rowDir.y, p.rowDir.z, p.colDir.x, p.colDir.y, p.colDir.z}));
  if (thickness) j.Field("thickness", p.thickness + 0.0);
  j.EndObject();
  return j.str();
}

}  // namespace cli
