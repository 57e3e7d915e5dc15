// The 3D ray caster on small volumes of any plausible geometry (anisotropic,
// tilted, one voxel thick) with whatever a user or a command line can ask
// for: cameras that are not at right angles or not numbers, zooms and pans
// of any size, crop boxes inside out, transfer functions unsorted, empty or
// not numbers. Then the raw projections and the coarser copies.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "volume/Render3D.h"

namespace {

double AnyNumber(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 7)) {
    case 0:
      return std::numeric_limits<double>::quiet_NaN();
    case 1:
      return std::numeric_limits<double>::infinity();
    case 2:
      return -std::numeric_limits<double>::infinity();
    case 3:
      return 0;
    case 4:
      return in.ConsumeFloatingPointInRange(-1e300, 1e300);
    default:
      return in.ConsumeFloatingPointInRange(-4.0, 4.0);
  }
}

Vec3 AnyVector(FuzzedDataProvider& in) {
  return {AnyNumber(in), AnyNumber(in), AnyNumber(in)};
}

// The builder only makes volumes of positive spacing on planes with an
// orientation at right angles; within that, anything.
std::shared_ptr<TVolume> MakeVolume(FuzzedDataProvider& in) {
  auto v = std::make_shared<TVolume>();
  TVolumeGeometry& g = v->geometry;
  g.columns = in.ConsumeIntegralInRange(1, 7);
  g.rows = in.ConsumeIntegralInRange(1, 7);
  g.slices = in.ConsumeIntegralInRange(1, 6);
  const double a = in.ConsumeFloatingPointInRange(0.0, 6.3);
  const double b = in.ConsumeFloatingPointInRange(0.0, 6.3);
  g.rowDir = {std::cos(a), std::sin(a), 0};
  const Vec3 other = Unit(Cross(g.rowDir, Vec3{0, std::sin(b), std::cos(b) + 1.5}));
  g.colDir = Norm(other) > 0.5 ? other : Vec3{0, 0, 1};
  g.normal = Unit(Cross(g.rowDir, g.colDir));
  g.columnSpacing = in.ConsumeFloatingPointInRange(0.01, 50.0);
  g.rowSpacing = in.ConsumeFloatingPointInRange(0.01, 50.0);
  g.sliceSpacing = in.ConsumeFloatingPointInRange(0.01, 50.0);
  // A tilt shears the stack along the columns.
  const double shear = in.ConsumeFloatingPointInRange(-0.9, 0.9);
  const Vec3 step = g.normal * g.sliceSpacing + g.colDir * (shear * g.sliceSpacing);
  const Vec3 base{in.ConsumeFloatingPointInRange(-500.0, 500.0), 0, 0};
  for (int k = 0; k < g.slices; ++k) {
    g.origin.push_back(base + step * double(k));
    g.depth.push_back(k * g.sliceSpacing);
  }
  v->isSigned = in.ConsumeBool();
  v->header.IntenScale = in.ConsumeBool() ? 1.0f : in.ConsumeFloatingPointInRange(-8.0f, 8.0f);
  v->header.IntenIntercept = in.ConsumeFloatingPointInRange(-2048.0f, 2048.0f);
  v->voxels.resize(size_t(g.columns) * size_t(g.rows) * size_t(g.slices));
  int lo = std::numeric_limits<int>::max(), hi = std::numeric_limits<int>::min();
  for (int16_t& w : v->voxels) {
    w = in.ConsumeIntegral<int16_t>();
    const int s = v->isSigned ? int(w) : int(uint16_t(w));
    lo = std::min(lo, s);
    hi = std::max(hi, s);
  }
  v->minValue = lo;
  v->maxValue = hi;
  return v;
}

TRenderSettings MakeSettings(FuzzedDataProvider& in) {
  TRenderSettings s;
  s.mode = static_cast<TRenderMode>(in.ConsumeIntegralInRange(0, 3));
  if (in.ConsumeBool()) {
    const std::vector<std::string> names = TransferPresetNames();
    TRenderMode ignored;
    TransferPreset(names[in.ConsumeIntegralInRange<size_t>(0, names.size() - 1)], ignored, s.tf);
  }
  const int points = in.ConsumeIntegralInRange(0, 5);
  for (int p = 0; p < points; ++p)
    s.tf.points.push_back({AnyNumber(in) * 1000, float(AnyNumber(in)), float(AnyNumber(in)),
                           float(AnyNumber(in)), float(AnyNumber(in))});
  if (in.ConsumeBool()) {
    s.tf.shift = AnyNumber(in) * 500;
    s.tf.scale = AnyNumber(in);
    s.tf.windowCentre = AnyNumber(in) * 500;
    s.tf.windowWidth = AnyNumber(in) * 500;
    s.tf.shininess = float(AnyNumber(in) * 50);
  }
  s.tf.shade = in.ConsumeBool();
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      s.camera = StandardCamera(static_cast<TStandardView>(in.ConsumeIntegralInRange(0, 5)));
      break;
    case 1:
      s.camera = OrbitCamera(AnyNumber(in) * 90, AnyNumber(in) * 90);
      break;
    default:
      s.camera.right = AnyVector(in);
      s.camera.up = AnyVector(in);
  }
  TurnCamera(s.camera, AnyNumber(in), AnyNumber(in));
  if (in.ConsumeBool()) {
    s.camera.zoom = AnyNumber(in);
    s.camera.panRight = AnyNumber(in) * 100;
    s.camera.panUp = AnyNumber(in) * 100;
  }
  if (in.ConsumeBool())
    for (size_t a = 0; a < 3; ++a) {
      s.crop.lo[a] = AnyNumber(in) / 4;
      s.crop.hi[a] = AnyNumber(in) / 4;
    }
  s.width = in.ConsumeIntegralInRange(-1, 20);
  s.height = in.ConsumeIntegralInRange(-1, 20);
  s.stepFactor = in.ConsumeBool() ? AnyNumber(in) : in.ConsumeFloatingPointInRange(0.3, 4.0);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::shared_ptr<TVolume> v = MakeVolume(in);
  const TRenderSettings s = MakeSettings(in);

  TVolumeRenderer renderer(v);
  TRenderImage picture;
  std::string reason, note;
  if (renderer.Render(s, picture, reason, &note, nullptr, 1) && s.width > 0 && s.height > 0 &&
      picture.pixels.size() != size_t(picture.width) * size_t(picture.height))
    __builtin_trap();

  TPlaneImage plane;
  for (int view = 0; view < 3; ++view)
    for (int p = 0; p < 3; ++p)
      ProjectVolume(*v, static_cast<TProjectionView>(view), static_cast<TProjection>(p), plane,
                    reason);

  std::string said;
  const std::shared_ptr<TVolume> coarse =
      DownsampledVolume(*v, in.ConsumeIntegralInRange(1, 8),
                        in.ConsumeIntegralInRange<size_t>(0, 1024), "the fuzzer", said);
  if (coarse) TVolumeRenderer(coarse).Render(s, picture, reason, &note, nullptr, 1);
  return 0;
}
