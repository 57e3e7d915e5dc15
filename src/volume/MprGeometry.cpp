#include "volume/MprGeometry.h"

#include <algorithm>
#include <cmath>

namespace {

double SpacingOf(const TVolumeGeometry& g, int axis) {
  return axis == 0 ? g.columnSpacing : (axis == 1 ? g.rowSpacing : g.sliceSpacing);
}

// Offsets of slice k's origin from slice 0's along rowDir and colDir, in
// columns and rows (zero unless the stack is tilted).
double SliceShift(const TVolumeGeometry& g, int axis, int k) {
  const Vec3 d = g.origin[size_t(k)] - g.origin[0];
  return axis == 0 ? Dot(d, g.rowDir) / g.columnSpacing : Dot(d, g.colDir) / g.rowSpacing;
}

// The grid indices along axis 0 or 1 that some slice covers.
void IndexRange(const TVolumeGeometry& g, int axis, int& lo, int& hi) {
  double a = 0, b = 0;
  for (int k = 0; k < g.slices; ++k) {
    a = std::min(a, SliceShift(g, axis, k));
    b = std::max(b, SliceShift(g, axis, k));
  }
  lo = int(std::floor(a + 1e-6));
  hi = int(std::ceil(b - 1e-6)) + AxisSize(g, axis) - 1;
}

// A point in slice 0's frame: columns, rows and depth along the normal.
struct Frame {
  double a, b, depth;
};

Frame FrameOf(const TVolumeGeometry& g, Vec3 p) {
  const Vec3 d = p - g.origin[0];
  return {Dot(d, g.rowDir) / g.columnSpacing, Dot(d, g.colDir) / g.rowSpacing, Dot(d, g.normal)};
}

Vec3 PointOf(const TVolumeGeometry& g, const Frame& f) {
  return g.origin[0] + g.rowDir * (f.a * g.columnSpacing) + g.colDir * (f.b * g.rowSpacing) +
         g.normal * f.depth;
}

int NearestSlice(const TVolumeGeometry& g, double depth) {
  const auto it = std::lower_bound(g.depth.begin(), g.depth.end(), depth);
  if (it == g.depth.begin()) return 0;
  if (it == g.depth.end()) return g.slices - 1;
  const int k = int(it - g.depth.begin());
  return depth - g.depth[size_t(k - 1)] <= g.depth[size_t(k)] - depth ? k - 1 : k;
}

// Grid index along `axis` nearest to frame position f, and the range.
int GridIndex(const TVolumeGeometry& g, int axis, const Frame& f, int& lo, int& hi) {
  if (axis == 2) {
    lo = 0;
    hi = g.slices - 1;
    return NearestSlice(g, f.depth);
  }
  IndexRange(g, axis, lo, hi);
  return std::clamp(int(std::lround(axis == 0 ? f.a : f.b)), lo, hi);
}

void SetGridIndex(const TVolumeGeometry& g, int axis, int index, Frame& f) {
  if (axis == 0)
    f.a = index;
  else if (axis == 1)
    f.b = index;
  else
    f.depth = g.depth[size_t(std::clamp(index, 0, g.slices - 1))];
}

}  // namespace

Vec3 MprCentre(const TVolume& v) {
  const TVolumeGeometry& g = v.geometry;
  if (g.slices < 1) return {};
  Frame f{double(g.columns / 2), double(g.rows / 2), g.depth[size_t(g.slices / 2)]};
  return PointOf(g, f);
}

Vec3 MprSnap(const TVolume& v, Vec3 cross) {
  const TVolumeGeometry& g = v.geometry;
  if (g.slices < 1) return cross;
  Frame f = FrameOf(g, cross);
  for (int axis = 0; axis < 3; ++axis) {
    int lo, hi;
    SetGridIndex(g, axis, GridIndex(g, axis, f, lo, hi), f);
  }
  return PointOf(g, f);
}

TPlaneAxes MprAxes(const TVolume& v, TPlaneKind kind) {
  const TVolumeGeometry& g = v.geometry;
  const TGridAxes ax = GridAxesOf(g, kind);
  return {AxisDirection(g, ax.horizontal) * (ax.horizontalReversed ? -1.0 : 1.0),
          AxisDirection(g, ax.vertical) * (ax.verticalReversed ? -1.0 : 1.0)};
}

namespace {

bool IsGridAxes(const TVolume& v, TPlaneKind kind, const TPlaneAxes& a) {
  const TPlaneAxes grid = MprAxes(v, kind);
  return Dot(grid.u, a.u) > 1 - 1e-9 && Dot(grid.v, a.v) > 1 - 1e-9;
}

// An oblique plane's steps: one voxel along its normal in the grid's own
// spacings, counted from the volume's lowest corner along the normal.
void ObliqueSteps(const TVolumeGeometry& g, Vec3 n, double& step, double& lowest, double& highest) {
  const double a = Dot(n, g.rowDir) / g.columnSpacing, b = Dot(n, g.colDir) / g.rowSpacing,
               c = Dot(n, g.normal) / g.sliceSpacing;
  step = 1.0 / std::sqrt(a * a + b * b + c * c);
  lowest = 1e300;
  highest = -1e300;
  for (int k : {0, g.slices - 1})
    for (int i : {0, g.columns - 1})
      for (int j : {0, g.rows - 1}) {
        const double d = Dot(g.VoxelPosition(i, j, k), n);
        lowest = std::min(lowest, d);
        highest = std::max(highest, d);
      }
}

}  // namespace

Vec3 MprMoveTo(const TVolume& v, TPlaneKind kind, Vec3 cross, int index) {
  return MprMoveTo(v, MprAxes(v, kind), kind, cross, index);
}

Vec3 MprMoveTo(const TVolume& v, const TPlaneAxes& axes, TPlaneKind kind, Vec3 cross, int index) {
  const TVolumeGeometry& g = v.geometry;
  if (g.slices < 1) return cross;
  if (!IsGridAxes(v, kind, axes)) {
    const Vec3 n = Unit(Cross(axes.u, axes.v));
    double step, lowest, highest;
    ObliqueSteps(g, n, step, lowest, highest);
    const int count = int(std::floor((highest - lowest) / step + 1e-6)) + 1;
    index = std::clamp(index, 0, count - 1);
    return cross + n * (lowest + index * step - Dot(cross, n));
  }
  const TGridAxes ax = GridAxesOf(g, kind);
  Frame f = FrameOf(g, cross);
  int lo, hi;
  GridIndex(g, ax.fixed, f, lo, hi);
  const int count = hi - lo + 1;
  index = std::clamp(index, 0, count - 1);
  SetGridIndex(g, ax.fixed, lo + (ax.fixedReversed ? count - 1 - index : index), f);
  return PointOf(g, f);
}

TMprPlane MprPlane(const TVolume& v, TPlaneKind kind, Vec3 cross, double slab,
                   TProjection projection, int maxSide) {
  return MprPlane(v, MprAxes(v, kind), kind, cross, slab, projection, maxSide);
}

TMprPlane MprPlane(const TVolume& v, const TPlaneAxes& axes, TPlaneKind kind, Vec3 cross,
                   double slab, TProjection projection, int maxSide) {
  const TVolumeGeometry& g = v.geometry;
  TMprPlane m;
  if (g.slices < 1) return m;
  const TGridAxes ax = GridAxesOf(g, kind);
  TPlaneSpec& s = m.spec;
  s.u = Unit(axes.u);
  s.v = Unit(axes.v);
  m.normal = Cross(s.u, s.v);
  // The grid plane's pixel size, kept when the plane is turned.
  const double sh = SpacingOf(g, ax.horizontal), sv = SpacingOf(g, ax.vertical);
  if (std::abs(sh - sv) <= 0.01 * std::max(sh, sv)) {
    s.du = sh;
    s.dv = sv;
  } else {
    s.du = s.dv = std::min(sh, sv);
  }
  // The plane covers the volume's extent in its own directions.
  double umin = 1e300, umax = -1e300, vmin = 1e300, vmax = -1e300;
  for (int k : {0, g.slices - 1})
    for (int i : {0, g.columns - 1})
      for (int j : {0, g.rows - 1}) {
        const Vec3 c = g.VoxelPosition(i, j, k) - cross;
        umin = std::min(umin, Dot(c, s.u));
        umax = std::max(umax, Dot(c, s.u));
        vmin = std::min(vmin, Dot(c, s.v));
        vmax = std::max(vmax, Dot(c, s.v));
      }
  const auto sideOf = [](double extent, double d) {
    return int(std::floor(extent / d + 1e-6)) + 1;
  };
  maxSide = std::max(maxSide, 2);
  if (sideOf(umax - umin, s.du) > maxSide || sideOf(vmax - vmin, s.dv) > maxSide) {
    const double d = std::max(umax - umin, vmax - vmin) / (maxSide - 1);
    s.du = s.dv = d;
  }
  s.columns = sideOf(umax - umin, s.du);
  s.rows = sideOf(vmax - vmin, s.dv);
  s.origin = cross + s.u * umin + s.v * vmin;
  s.slab = slab;
  s.projection = projection;

  if (!IsGridAxes(v, kind, axes)) {
    double lowest, highest;
    ObliqueSteps(g, m.normal, m.step, lowest, highest);
    m.count = int(std::floor((highest - lowest) / m.step + 1e-6)) + 1;
    m.index =
        std::clamp(int(std::lround((Dot(cross, m.normal) - lowest) / m.step)), 0, m.count - 1);
    return m;
  }
  const Frame f = FrameOf(g, cross);
  int lo, hi;
  const int grid = GridIndex(g, ax.fixed, f, lo, hi);
  m.count = hi - lo + 1;
  m.index = ax.fixedReversed ? hi - grid : grid - lo;
  m.step = SpacingOf(g, ax.fixed);
  return m;
}

Vec3 MprRotate(Vec3 p, Vec3 axis, double radians) {
  // Rodrigues: p cos + (k x p) sin + k (k . p)(1 - cos).
  const Vec3 k = Unit(axis);
  const double c = std::cos(radians), s = std::sin(radians);
  return p * c + Cross(k, p) * s + k * (Dot(k, p) * (1 - c));
}

void MprPixelOf(const TPlaneSpec& s, Vec3 p, double& x, double& y) {
  const Vec3 d = p - s.origin;
  x = Dot(d, s.u) / s.du;
  y = Dot(d, s.v) / s.dv;
}
