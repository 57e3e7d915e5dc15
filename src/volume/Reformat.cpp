#include "volume/Reformat.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "volume/Parallel.h"

namespace {

// Grid axis -> patient axis, matching each grid axis to the patient axis it
// runs closest to (the best of the six pairings, so an oblique stack still
// gets three distinct planes).
std::array<int, 3> MatchAxes(const TVolumeGeometry& g) {
  const Vec3 d[3] = {g.rowDir, g.colDir, g.normal};
  static constexpr int kPerms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2},
                                       {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  int best = 0;
  double bestScore = -1;
  for (int p = 0; p < 6; ++p) {
    double score = 0;
    for (int a = 0; a < 3; ++a) score += std::abs(d[a][kPerms[p][a]]);
    if (score > bestScore + 1e-12) best = p, bestScore = score;
  }
  return {kPerms[best][0], kPerms[best][1], kPerms[best][2]};
}

int GridAxisFor(const std::array<int, 3>& match, int patientAxis) {
  for (int a = 0; a < 3; ++a)
    if (match[a] == patientAxis) return a;
  return patientAxis;
}

size_t Stride(const TVolumeGeometry& g, int axis) {
  if (axis == 0) return 1;
  if (axis == 1) return size_t(g.columns);
  return size_t(g.columns) * size_t(g.rows);
}

// Direction and spacing of one output step along a grid axis; slices step
// along the stack, which a gantry tilt turns away from the normal.
Vec3 StepOf(const TVolumeGeometry& g, int axis) {
  if (axis == 0) return g.rowDir * g.columnSpacing;
  if (axis == 1) return g.colDir * g.rowSpacing;
  return g.SliceStep();
}

template <bool Signed>
inline int Read(const int16_t* p) {
  if constexpr (Signed)
    return *p;
  else
    return int(uint16_t(*p));
}

template <bool Signed>
void ProjectGrid(const TVolume& v, const TGridAxes& ax, const std::vector<size_t>& planeOffsets,
                 TProjection projection, TPlaneImage& out) {
  const TVolumeGeometry& g = v.geometry;
  const int W = out.columns, H = out.rows;
  const ptrdiff_t hs = ptrdiff_t(Stride(g, ax.horizontal)), vs = ptrdiff_t(Stride(g, ax.vertical));
  const ptrdiff_t hStep = ax.horizontalReversed ? -hs : hs;
  const ptrdiff_t vStep = ax.verticalReversed ? -vs : vs;
  const ptrdiff_t h0 = ax.horizontalReversed ? ptrdiff_t(W - 1) * hs : 0;
  const ptrdiff_t v0 = ax.verticalReversed ? ptrdiff_t(H - 1) * vs : 0;
  const int16_t* base = v.voxels.data();
  const size_t n = planeOffsets.size();
  ParallelFor(size_t(H), [&](size_t r) {
    int16_t* dst = out.pixels.data() + r * size_t(W);
    const ptrdiff_t rowAt = v0 + ptrdiff_t(r) * vStep + h0;
    for (int c = 0; c < W; ++c) {
      const ptrdiff_t at = rowAt + ptrdiff_t(c) * hStep;
      int64_t acc =
          projection == TProjection::Min
              ? std::numeric_limits<int64_t>::max()
              : (projection == TProjection::Max ? std::numeric_limits<int64_t>::min() : 0);
      for (size_t p = 0; p < n; ++p) {
        const int x = Read<Signed>(base + ptrdiff_t(planeOffsets[p]) + at);
        if (projection == TProjection::Max)
          acc = std::max<int64_t>(acc, x);
        else if (projection == TProjection::Min)
          acc = std::min<int64_t>(acc, x);
        else
          acc += x;
      }
      // The mean rounds to nearest, ties to even (the default rounding mode).
      if (projection == TProjection::Mean) acc = int64_t(std::nearbyint(double(acc) / double(n)));
      dst[c] = int16_t(uint16_t(int(acc) & 0xFFFF));
    }
  });
}

}  // namespace

const char* PlaneName(TPlaneKind k) {
  switch (k) {
    case TPlaneKind::Coronal:
      return "coronal";
    case TPlaneKind::Sagittal:
      return "sagittal";
    case TPlaneKind::Axial:
      break;
  }
  return "axial";
}

const char* ProjectionName(TProjection p) {
  switch (p) {
    case TProjection::Min:
      return "min";
    case TProjection::Mean:
      return "mean";
    case TProjection::Max:
      break;
  }
  return "max";
}

int AxisSize(const TVolumeGeometry& g, int axis) {
  return axis == 0 ? g.columns : (axis == 1 ? g.rows : g.slices);
}

Vec3 AxisDirection(const TVolumeGeometry& g, int axis) {
  return axis == 0 ? g.rowDir : (axis == 1 ? g.colDir : g.normal);
}

TGridAxes GridAxesOf(const TVolumeGeometry& g, TPlaneKind kind) {
  const std::array<int, 3> match = MatchAxes(g);
  const int x = GridAxisFor(match, 0), y = GridAxisFor(match, 1), z = GridAxisFor(match, 2);
  TGridAxes a;
  switch (kind) {
    case TPlaneKind::Axial:
      a.fixed = z;
      a.fixedReversed = AxisDirection(g, z).z < 0;  // counted from the most inferior
      a.horizontal = x;
      a.vertical = y;
      break;
    case TPlaneKind::Coronal:
      a.fixed = y;
      a.horizontal = x;
      a.vertical = z;
      a.verticalReversed = AxisDirection(g, z).z > 0;  // superior at the top
      break;
    case TPlaneKind::Sagittal:
      a.fixed = x;
      a.horizontal = y;
      a.vertical = z;
      a.verticalReversed = AxisDirection(g, z).z > 0;
      break;
  }
  return a;
}

int PlaneCount(const TVolume& v, TPlaneKind kind) {
  return AxisSize(v.geometry, GridAxesOf(v.geometry, kind).fixed);
}

bool GridPlane(const TVolume& v, TPlaneKind kind, int index, int slab, TProjection projection,
               TPlaneImage& out, std::string& reason) {
  const TVolumeGeometry& g = v.geometry;
  const TGridAxes ax = GridAxesOf(g, kind);
  const int count = AxisSize(g, ax.fixed);
  if (index < 0 || index >= count) {
    reason = std::string("the ") + PlaneName(kind) + " index " + std::to_string(index) +
             " is outside the volume (0 to " + std::to_string(count - 1) + ")";
    return false;
  }
  if (v.voxels.size() < v.SliceSize() * size_t(g.slices)) {
    reason = "the volume holds no voxels";
    return false;
  }
  slab = std::max(slab, 1);
  const int first = std::max(0, index - slab / 2);
  const int last = std::min(count - 1, index - slab / 2 + slab - 1);
  const auto gridIndex = [&](int k) { return ax.fixedReversed ? count - 1 - k : k; };
  std::vector<size_t> planeOffsets;
  for (int k = first; k <= last; ++k)
    planeOffsets.push_back(size_t(gridIndex(k)) * Stride(g, ax.fixed));

  out = TPlaneImage{};
  out.columns = AxisSize(g, ax.horizontal);
  out.rows = AxisSize(g, ax.vertical);
  out.pixels.assign(size_t(out.columns) * size_t(out.rows), 0);
  if (v.isSigned)
    ProjectGrid<true>(v, ax, planeOffsets, projection, out);
  else
    ProjectGrid<false>(v, ax, planeOffsets, projection, out);

  // Grid coordinates of output pixel (0, 0) on plane `index`.
  std::array<int, 3> at{};
  at[size_t(ax.fixed)] = gridIndex(index);
  at[size_t(ax.horizontal)] = ax.horizontalReversed ? out.columns - 1 : 0;
  at[size_t(ax.vertical)] = ax.verticalReversed ? out.rows - 1 : 0;
  out.position = g.VoxelPosition(at[0], at[1], at[2]);
  const Vec3 h = StepOf(g, ax.horizontal) * (ax.horizontalReversed ? -1.0 : 1.0);
  const Vec3 w = StepOf(g, ax.vertical) * (ax.verticalReversed ? -1.0 : 1.0);
  out.rowDir = Unit(h);
  out.colDir = Unit(w);
  out.columnSpacing = Norm(h);
  out.rowSpacing = Norm(w);
  const double fixedSpacing = ax.fixed == 0   ? g.columnSpacing
                              : ax.fixed == 1 ? g.rowSpacing
                                              : g.sliceSpacing;
  out.thickness = fixedSpacing * double(planeOffsets.size());
  return true;
}

// ---------------------------------------------------------------- sampling

namespace {

constexpr double kSnap = 1e-4;

// The integer part and fraction of a grid coordinate, a fraction within
// kSnap of a voxel taken as the voxel itself.
inline void Split(double a, int last, int& i0, double& f) {
  a = std::clamp(a, 0.0, double(last));
  i0 = int(a);
  f = a - i0;
  if (f < kSnap) {
    f = 0;
  } else if (f > 1 - kSnap) {
    f = 0;
    ++i0;
  }
  if (i0 >= last) i0 = last, f = 0;
}

template <bool Signed>
struct Sampler {
  const TVolume& v;
  const TVolumeGeometry& g;
  std::vector<double> A, B;  // each slice origin's offset from slice 0 along rowDir, colDir
  double inv_cs, inv_rs;

  explicit Sampler(const TVolume& vol) : v(vol), g(vol.geometry) {
    A.resize(size_t(g.slices));
    B.resize(size_t(g.slices));
    for (int k = 0; k < g.slices; ++k) {
      const Vec3 d = g.origin[size_t(k)] - g.origin[0];
      A[size_t(k)] = Dot(d, g.rowDir);
      B[size_t(k)] = Dot(d, g.colDir);
    }
    inv_cs = 1.0 / g.columnSpacing;
    inv_rs = 1.0 / g.rowSpacing;
  }

  // Bilinear in slice k at the point whose offsets from slice 0's origin are
  // qa (along rowDir) and qb (along colDir); false outside the slice.
  bool InSlice(int k, double qa, double qb, double& out) const {
    const double a = (qa - A[size_t(k)]) * inv_cs, b = (qb - B[size_t(k)]) * inv_rs;
    if (a < -0.5 || b < -0.5 || a > g.columns - 0.5 || b > g.rows - 0.5) return false;
    int i0, j0;
    double fa, fb;
    Split(a, g.columns - 1, i0, fa);
    Split(b, g.rows - 1, j0, fb);
    const int16_t* p = v.Slice(k) + size_t(j0) * size_t(g.columns) + size_t(i0);
    const double p00 = Read<Signed>(p);
    if (fa == 0 && fb == 0) {
      out = p00;
      return true;
    }
    const double p10 = fa > 0 ? Read<Signed>(p + 1) : p00;
    const double p01 = fb > 0 ? Read<Signed>(p + g.columns) : p00;
    const double p11 = fa > 0 && fb > 0 ? Read<Signed>(p + g.columns + 1) : (fa > 0 ? p10 : p01);
    const double top = p00 + (p10 - p00) * fa, bottom = p01 + (p11 - p01) * fa;
    out = top + (bottom - top) * fb;
    return true;
  }

  // Trilinear at offsets (qa, qb, qw) from slice 0's origin along rowDir,
  // colDir and the normal; `k` is a guess of the slice below, kept for the
  // next sample. False outside the volume.
  bool At(double qa, double qb, double qw, int& k, double& out) const {
    const std::vector<double>& d = g.depth;
    const int last = g.slices - 1;
    const double halfFirst = last > 0 ? 0.5 * (d[1] - d[0]) : 0.5;
    const double halfLast = last > 0 ? 0.5 * (d[size_t(last)] - d[size_t(last - 1)]) : 0.5;
    if (qw < d[0] - halfFirst || qw > d[size_t(last)] + halfLast) return false;
    k = std::clamp(k, 0, last);
    while (k < last && d[size_t(k + 1)] <= qw) ++k;
    while (k > 0 && d[size_t(k)] > qw) --k;
    double t = 0;
    if (k < last && qw > d[size_t(k)]) t = (qw - d[size_t(k)]) / (d[size_t(k + 1)] - d[size_t(k)]);
    int k0 = k;
    if (t > 1 - kSnap) k0 = k + 1, t = 0;
    if (t < kSnap) t = 0;
    double v0;
    if (!InSlice(k0, qa, qb, v0)) return false;
    if (t == 0) {
      out = v0;
      return true;
    }
    double v1;
    if (!InSlice(k0 + 1, qa, qb, v1)) return false;
    out = v0 + (v1 - v0) * t;
    return true;
  }
};

// ---- planes along the grid's axes (the three MPR planes of an untilted
// stack): each output row and column moves along one grid axis only, so the
// neighbours and weights are worked out once per row and once per column.

// Where one output coordinate falls on one grid axis: the word offsets of
// its two neighbours and the weight of the second; invalid outside.
struct Tap {
  ptrdiff_t o0 = 0, o1 = 0;
  double t = 0;
  bool valid = false;
};

// Taps for positions q0 + n * dq (mm from slice 0's origin along the axis).
std::vector<Tap> AxisTaps(const TVolumeGeometry& g, int axis, double q0, double dq, int count) {
  std::vector<Tap> taps(size_t(std::max(count, 0)));
  const ptrdiff_t stride = axis == 0   ? 1
                           : axis == 1 ? ptrdiff_t(g.columns)
                                       : ptrdiff_t(g.columns) * ptrdiff_t(g.rows);
  const int size = AxisSize(g, axis);
  const std::vector<double>& d = g.depth;
  for (int n = 0; n < count; ++n) {
    const double q = q0 + n * dq;
    Tap& tap = taps[size_t(n)];
    int i0;
    double f;
    if (axis < 2) {
      const double c = q / (axis == 0 ? g.columnSpacing : g.rowSpacing);
      if (c < -0.5 || c > size - 0.5) continue;
      Split(c, size - 1, i0, f);
    } else {
      const int last = g.slices - 1;
      const double halfFirst = last > 0 ? 0.5 * (d[1] - d[0]) : 0.5;
      const double halfLast = last > 0 ? 0.5 * (d[size_t(last)] - d[size_t(last - 1)]) : 0.5;
      if (q < d[0] - halfFirst || q > d[size_t(last)] + halfLast) continue;
      i0 = int(std::upper_bound(d.begin(), d.end(), q) - d.begin()) - 1;
      i0 = std::clamp(i0, 0, last);
      f = i0 < last && q > d[size_t(i0)] ? (q - d[size_t(i0)]) / (d[size_t(i0 + 1)] - d[size_t(i0)])
                                         : 0;
      if (f > 1 - kSnap) ++i0, f = 0;
      if (f < kSnap) f = 0;
      if (i0 >= last) i0 = last, f = 0;
    }
    tap.valid = true;
    tap.o0 = ptrdiff_t(i0) * stride;
    tap.o1 = ptrdiff_t(std::min(i0 + 1, size - 1)) * stride;
    tap.t = f;
  }
  return taps;
}

// The grid axis a unit direction runs along (and its sense), or -1.
int AlignedAxis(const TVolumeGeometry& g, Vec3 d, double& sense) {
  for (int a = 0; a < 3; ++a) {
    const double c = Dot(d, AxisDirection(g, a));
    if (std::abs(c) > 1 - 1e-9) {
      sense = c > 0 ? 1 : -1;
      return a;
    }
  }
  return -1;
}

template <bool Signed>
bool SampleAligned(const TVolume& vol, const TPlaneSpec& s, int planes, double step,
                   std::vector<int16_t>& out, int threads) {
  const TVolumeGeometry& g = vol.geometry;
  double su = 0, sv = 0;
  const int hu = AlignedAxis(g, s.u, su), hv = AlignedAxis(g, s.v, sv);
  if (hu < 0 || hv < 0 || hu == hv) return false;
  // A tilted stack shifts each slice in its plane: not separable.
  for (int k = 0; k < g.slices; ++k) {
    const Vec3 d = g.origin[size_t(k)] - g.origin[0];
    if (std::abs(Dot(d, g.rowDir)) > 1e-6 || std::abs(Dot(d, g.colDir)) > 1e-6) return false;
  }
  const int hf = 3 - hu - hv;
  const Vec3 base = s.origin - g.origin[0];
  const Vec3 m = Unit(Cross(s.u, s.v));
  const auto along = [&](int axis, Vec3 p) { return Dot(p, AxisDirection(g, axis)); };
  const std::vector<Tap> cols = AxisTaps(g, hu, along(hu, base), su * s.du, s.columns);
  const std::vector<Tap> rows = AxisTaps(g, hv, along(hv, base), sv * s.dv, s.rows);
  std::vector<Tap> slab;
  for (int p = 0; p < planes; ++p) {
    const double o = (p - (planes - 1) * 0.5) * step;
    slab.push_back(AxisTaps(g, hf, along(hf, base + m * o), 0, 1)[0]);
  }
  const int lo = vol.minValue, hi = vol.maxValue;
  const int16_t* voxels = vol.voxels.data();
  const size_t W = size_t(std::max(s.columns, 0)), H = size_t(std::max(s.rows, 0));
  const auto bilinear = [voxels](ptrdiff_t at, const Tap& r, const Tap& c) {
    const double p00 = Read<Signed>(voxels + at + r.o0 + c.o0);
    if (r.t == 0 && c.t == 0) return p00;
    const double p01 = c.t > 0 ? Read<Signed>(voxels + at + r.o0 + c.o1) : p00;
    if (r.t == 0) return p00 + (p01 - p00) * c.t;
    const double p10 = Read<Signed>(voxels + at + r.o1 + c.o0);
    const double p11 = c.t > 0 ? Read<Signed>(voxels + at + r.o1 + c.o1) : p10;
    const double top = p00 + (p01 - p00) * c.t, bottom = p10 + (p11 - p10) * c.t;
    return top + (bottom - top) * r.t;
  };
  constexpr size_t kRowsPerTask = 16;
  ParallelFor((H + kRowsPerTask - 1) / kRowsPerTask,
              [&](size_t task) {
                for (size_t y = task * kRowsPerTask; y < std::min(H, (task + 1) * kRowsPerTask);
                     ++y) {
                  const Tap& r = rows[y];
                  if (!r.valid) continue;
                  int16_t* dst = out.data() + y * W;
                  for (size_t x = 0; x < W; ++x) {
                    const Tap& c = cols[x];
                    if (!c.valid) continue;
                    double acc = s.projection == TProjection::Min ? 1e300 : -1e300, sum = 0;
                    int inside = 0;
                    for (const Tap& f : slab) {
                      if (!f.valid) continue;
                      double v = bilinear(f.o0, r, c);
                      if (f.t > 0) v += (bilinear(f.o1, r, c) - v) * f.t;
                      ++inside;
                      sum += v;
                      acc = s.projection == TProjection::Max ? std::max(acc, v) : std::min(acc, v);
                    }
                    if (inside == 0) continue;
                    const double value =
                        planes == 1 || s.projection == TProjection::Mean ? sum / inside : acc;
                    const int q = std::clamp(int(std::nearbyint(value)), lo, hi);
                    dst[x] = int16_t(uint16_t(q & 0xFFFF));
                  }
                }
              },
              threads);
  return true;
}

template <bool Signed>
void Sample(const TVolume& vol, const TPlaneSpec& s, std::vector<int16_t>& out, int threads) {
  const Sampler<Signed> sm(vol);
  const TVolumeGeometry& g = vol.geometry;
  const Vec3 m = Unit(Cross(s.u, s.v));
  // One voxel step along the slab's normal, in the grid's own spacings.
  int planes = 1;
  double step = 0;
  if (s.slab > 0) {
    const double a = Dot(m, g.rowDir) / g.columnSpacing, b = Dot(m, g.colDir) / g.rowSpacing,
                 c = Dot(m, g.normal) / g.sliceSpacing;
    step = 1.0 / std::sqrt(a * a + b * b + c * c);
    planes = std::max(1, int(std::lround(s.slab / step)));
  }
  const int lo = vol.minValue, hi = vol.maxValue;
  const int16_t pad = int16_t(uint16_t(lo & 0xFFFF));
  const Vec3 base = s.origin - g.origin[0];
  const Vec3 ex = s.u * s.du, ey = s.v * s.dv;
  const double ax = Dot(ex, g.rowDir), bx = Dot(ex, g.colDir), wx = Dot(ex, g.normal);
  const double ay = Dot(ey, g.rowDir), by = Dot(ey, g.colDir), wy = Dot(ey, g.normal);
  const double am = Dot(m, g.rowDir), bm = Dot(m, g.colDir), wm = Dot(m, g.normal);
  const double a0 = Dot(base, g.rowDir), b0 = Dot(base, g.colDir), w0 = Dot(base, g.normal);
  const size_t W = size_t(std::max(s.columns, 0)), H = size_t(std::max(s.rows, 0));
  out.assign(W * H, pad);
  if (SampleAligned<Signed>(vol, s, planes, step, out, threads)) return;
  constexpr size_t kRowsPerTask = 8;
  ParallelFor((H + kRowsPerTask - 1) / kRowsPerTask,
              [&](size_t task) {
                int k = 0;
                for (size_t y = task * kRowsPerTask; y < std::min(H, (task + 1) * kRowsPerTask);
                     ++y) {
                  int16_t* dst = out.data() + y * W;
                  for (size_t x = 0; x < W; ++x) {
                    const double qa = a0 + double(x) * ax + double(y) * ay;
                    const double qb = b0 + double(x) * bx + double(y) * by;
                    const double qw = w0 + double(x) * wx + double(y) * wy;
                    double acc = s.projection == TProjection::Min ? 1e300 : -1e300;
                    double sum = 0;
                    int inside = 0;
                    for (int p = 0; p < planes; ++p) {
                      const double o = (p - (planes - 1) * 0.5) * step;
                      double val;
                      if (!sm.At(qa + o * am, qb + o * bm, qw + o * wm, k, val)) continue;
                      ++inside;
                      if (s.projection == TProjection::Max)
                        acc = std::max(acc, val);
                      else if (s.projection == TProjection::Min)
                        acc = std::min(acc, val);
                      sum += val;
                    }
                    if (inside == 0) continue;
                    const double value =
                        planes == 1 || s.projection == TProjection::Mean ? sum / inside : acc;
                    const int r = std::clamp(int(std::nearbyint(value)), lo, hi);
                    dst[x] = int16_t(uint16_t(r & 0xFFFF));
                  }
                }
              },
              threads);
}

}  // namespace

void SamplePlane(const TVolume& v, const TPlaneSpec& spec, std::vector<int16_t>& out, int threads) {
  if (v.geometry.slices < 1 || v.voxels.size() < v.SliceSize() * size_t(v.geometry.slices)) {
    out.assign(size_t(std::max(spec.columns, 0)) * size_t(std::max(spec.rows, 0)), 0);
    return;
  }
  if (v.isSigned)
    Sample<true>(v, spec, out, threads);
  else
    Sample<false>(v, spec, out, threads);
}
