// What both ray casters share: modes, transfer functions and their table,
// cameras, the rays of a picture, the raw projections and the coarser copy
// of a volume too large for its renderer.
#include "volume/Render3D.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <type_traits>

#include "volume/Parallel.h"
#include "volume/VolumeBuilder.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// v rotated by `angle` radians about the unit axis k (right-handed).
Vec3 Rotate(Vec3 v, Vec3 k, double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  return v * c + Cross(k, v) * s + k * (Dot(k, v) * (1 - c));
}

void Orthonormalise(TCamera& c) {
  c.right = Unit(c.right);
  c.up = Unit(c.up - c.right * Dot(c.right, c.up));
  if (Norm(c.right) < 0.5 || Norm(c.up) < 0.5) {
    const TCamera d;
    c.right = d.right;
    c.up = d.up;
  }
}

// A 3 x 3 matrix by columns.
struct TMat3 {
  Vec3 c0, c1, c2;
  Vec3 operator*(Vec3 v) const { return c0 * v.x + c1 * v.y + c2 * v.z; }
};

// The inverse of m; false when m is (near) singular.
bool Invert(const TMat3& m, TMat3& inv) {
  // Rows of the inverse are the cross products of m's columns over the determinant.
  const Vec3 r0 = Cross(m.c1, m.c2), r1 = Cross(m.c2, m.c0), r2 = Cross(m.c0, m.c1);
  const double det = Dot(m.c0, r0);
  if (std::abs(det) < 1e-12) return false;
  const double k = 1 / det;
  inv.c0 = Vec3{r0.x, r1.x, r2.x} * k;
  inv.c1 = Vec3{r0.y, r1.y, r2.y} * k;
  inv.c2 = Vec3{r0.z, r1.z, r2.z} * k;
  return true;
}

// Voxel -> patient linear part: columns are one step along each grid axis.
TMat3 VoxelToPatient(const TVolumeGeometry& g) {
  return {g.rowDir * g.columnSpacing, g.colDir * g.rowSpacing, g.SliceStep()};
}

}  // namespace

const char* RenderModeName(TRenderMode m) {
  switch (m) {
    case TRenderMode::Vr:
      return "vr";
    case TRenderMode::Mip:
      return "mip";
    case TRenderMode::MinIp:
      return "minip";
    case TRenderMode::Mean:
      return "mean";
  }
  return "vr";
}

bool ParseRenderMode(std::string_view text, TRenderMode& out) {
  for (TRenderMode m : {TRenderMode::Vr, TRenderMode::Mip, TRenderMode::MinIp, TRenderMode::Mean})
    if (SameText(text, RenderModeName(m))) {
      out = m;
      return true;
    }
  return false;
}

std::vector<std::string> TransferPresetNames() {
  return {"bone", "soft tissue", "lung", "vessels", "mip"};
}

bool TransferPreset(std::string_view name, TRenderMode& mode, TTransferFunction& out) {
  // Hounsfield units; opacities per millimetre, so a surface a few voxels
  // deep is solid while the tissue in front of it stays clear.
  TTransferFunction tf;
  mode = TRenderMode::Vr;
  if (SameText(name, "bone")) {
    tf.points = {{-1024, 0, 0, 0, 0},
                 {140, 0.55f, 0.25f, 0.15f, 0},
                 {250, 0.85f, 0.6f, 0.4f, 0.3f},
                 {500, 0.95f, 0.88f, 0.75f, 0.7f},
                 {1200, 1, 0.97f, 0.92f, 0.9f},
                 {3071, 1, 1, 1, 0.95f}};
    tf.centre = 300;
    tf.windowCentre = 500, tf.windowWidth = 2000;
  } else if (SameText(name, "soft tissue")) {
    tf.points = {{-1024, 0, 0, 0, 0},
                 {-250, 0.75f, 0.5f, 0.4f, 0},
                 {-80, 0.9f, 0.65f, 0.5f, 0.04f},
                 {60, 0.8f, 0.3f, 0.25f, 0.15f},
                 {250, 0.95f, 0.85f, 0.75f, 0.4f},
                 {1000, 1, 1, 0.95f, 0.8f}};
    tf.centre = 40;
    tf.windowCentre = 40, tf.windowWidth = 400;
  } else if (SameText(name, "lung")) {
    // The aerated lung and the airway walls; the chest wall beyond stays
    // clear so it does not hide them.
    tf.points = {{-1024, 0, 0, 0, 0},
                 {-900, 0.6f, 0.45f, 0.4f, 0},
                 {-750, 0.85f, 0.65f, 0.55f, 0.12f},
                 {-550, 0.95f, 0.8f, 0.7f, 0.2f},
                 {-400, 1, 0.9f, 0.8f, 0}};
    tf.centre = -650;
    tf.windowCentre = -600, tf.windowWidth = 1500;
  } else if (SameText(name, "vessels")) {
    // Contrast-filled vessels and bone; unenhanced soft tissue clear.
    tf.points = {
        {-1024, 0, 0, 0, 0},         {130, 0.6f, 0.05f, 0.05f, 0}, {200, 0.85f, 0.15f, 0.1f, 0.2f},
        {350, 1, 0.55f, 0.4f, 0.6f}, {700, 1, 0.95f, 0.9f, 0.85f}, {3071, 1, 1, 1, 0.95f}};
    tf.centre = 250;
    tf.windowCentre = 300, tf.windowWidth = 800;
  } else if (SameText(name, "mip")) {
    mode = TRenderMode::Mip;
    tf.shade = false;
    tf.centre = 300;
    tf.windowCentre = 300, tf.windowWidth = 800;
  } else {
    return false;
  }
  for (const std::string& n : TransferPresetNames())
    if (SameText(n, name)) tf.name = n;
  out = std::move(tf);
  return true;
}

std::array<float, 4> TTransferLut::At(double s) const {
  if (rgba.empty()) return {0, 0, 0, 0};
  const int last = int(rgba.size()) - 1;
  double x = hi > lo ? (s - lo) / (hi - lo) * last : 0;
  if (!(x > 0)) return rgba.front();  // also NaN
  if (x >= last) return rgba.back();
  const int e = int(x);
  const float f = float(x - e);
  const std::array<float, 4>&a = rgba[size_t(e)], &b = rgba[size_t(e) + 1];
  return {a[0] + (b[0] - a[0]) * f, a[1] + (b[1] - a[1]) * f, a[2] + (b[2] - a[2]) * f,
          a[3] + (b[3] - a[3]) * f};
}

TTransferLut BuildTransferLut(const TTransferFunction& tf, const TVolume& v, double stepMm) {
  TTransferLut lut;
  lut.lo = v.minValue;
  lut.hi = v.maxValue > v.minValue ? v.maxValue : v.minValue + 1;
  lut.rgba.assign(TTransferLut::kEntries, {0, 0, 0, 0});
  if (tf.points.empty()) return lut;
  const double slope = v.header.IntenScale != 0 ? v.header.IntenScale : 1;
  const double intercept = v.header.IntenIntercept;
  // A non-positive or absurd scale would fold the function over itself.
  const double scale = std::isfinite(tf.scale) ? std::clamp(tf.scale, 1e-3, 1e3) : 1;
  const double shift = std::isfinite(tf.shift) ? tf.shift : 0;
  std::vector<TTransferPoint> pts = tf.points;
  for (TTransferPoint& p : pts) p.value = tf.centre + shift + (p.value - tf.centre) * scale;
  std::stable_sort(pts.begin(), pts.end(), [](const TTransferPoint& a, const TTransferPoint& b) {
    return a.value < b.value;
  });
  const double step = std::isfinite(stepMm) && stepMm > 0 ? stepMm : 1;
  size_t seg = 0;
  for (int e = 0; e < TTransferLut::kEntries; ++e) {
    const double stored = lut.lo + e * (lut.hi - lut.lo) / (TTransferLut::kEntries - 1);
    const double m = stored * slope + intercept;
    TTransferPoint c;
    if (m <= pts.front().value) {
      c = pts.front();
    } else if (m >= pts.back().value) {
      c = pts.back();
    } else {
      // Entries ascend when the slope is positive; search afresh otherwise.
      if (seg + 1 >= pts.size() || pts[seg].value > m) seg = 0;
      while (seg + 2 < pts.size() && pts[seg + 1].value < m) ++seg;
      const TTransferPoint &a = pts[seg], &b = pts[seg + 1];
      const double span = b.value - a.value;
      const float f = span > 0 ? float((m - a.value) / span) : 1.0f;
      c.r = a.r + (b.r - a.r) * f;
      c.g = a.g + (b.g - a.g) * f;
      c.b = a.b + (b.b - a.b) * f;
      c.a = a.a + (b.a - a.a) * f;
    }
    const double a = std::clamp(double(c.a), 0.0, 1.0);
    const float alpha = float(1 - std::pow(1 - a, step));
    lut.rgba[size_t(e)] = {std::clamp(c.r, 0.0f, 1.0f), std::clamp(c.g, 0.0f, 1.0f),
                           std::clamp(c.b, 0.0f, 1.0f), alpha};
    if (alpha > 0) lut.anyOpaque = true;
  }
  return lut;
}

const char* StandardViewName(TStandardView v) {
  switch (v) {
    case TStandardView::Anterior:
      return "anterior";
    case TStandardView::Posterior:
      return "posterior";
    case TStandardView::Left:
      return "left";
    case TStandardView::Right:
      return "right";
    case TStandardView::Superior:
      return "superior";
    case TStandardView::Inferior:
      return "inferior";
  }
  return "anterior";
}

bool ParseStandardView(std::string_view text, TStandardView& out) {
  for (TStandardView v : {TStandardView::Anterior, TStandardView::Posterior, TStandardView::Left,
                          TStandardView::Right, TStandardView::Superior, TStandardView::Inferior})
    if (SameText(text, StandardViewName(v))) {
      out = v;
      return true;
    }
  return false;
}

TCamera StandardCamera(TStandardView v) {
  TCamera c;
  switch (v) {
    case TStandardView::Anterior:
      c.right = {1, 0, 0}, c.up = {0, 0, 1};
      break;
    case TStandardView::Posterior:
      c.right = {-1, 0, 0}, c.up = {0, 0, 1};
      break;
    case TStandardView::Left:
      c.right = {0, 1, 0}, c.up = {0, 0, 1};
      break;
    case TStandardView::Right:
      c.right = {0, -1, 0}, c.up = {0, 0, 1};
      break;
    case TStandardView::Superior:
      c.right = {-1, 0, 0}, c.up = {0, -1, 0};
      break;
    case TStandardView::Inferior:
      c.right = {1, 0, 0}, c.up = {0, -1, 0};
      break;
  }
  return c;
}

TCamera OrbitCamera(double azimuthDegrees, double elevationDegrees) {
  const double az = std::isfinite(azimuthDegrees) ? azimuthDegrees * kPi / 180 : 0;
  const double el = std::isfinite(elevationDegrees) ? elevationDegrees * kPi / 180 : 0;
  TCamera c = StandardCamera(TStandardView::Anterior);
  const Vec3 head{0, 0, 1};
  c.right = Rotate(c.right, head, az);
  c.up = Rotate(c.up, c.right, -el);  // towards the eye first: over the top of the head
  Orthonormalise(c);
  return c;
}

void TurnCamera(TCamera& c, double acrossRadians, double downRadians) {
  // Turning the volume one way is turning the eye the other way about it.
  if (std::isfinite(acrossRadians) && acrossRadians != 0) {
    c.right = Rotate(c.right, Unit(c.up), -acrossRadians);
  }
  if (std::isfinite(downRadians) && downRadians != 0) {
    c.up = Rotate(c.up, Unit(c.right), -downRadians);
  }
  Orthonormalise(c);
}

bool TCropBox::Empty() const {
  for (size_t a = 0; a < 3; ++a) {
    const double l = std::max(lo[a], 0.0), h = std::min(hi[a], 1.0);
    if (!(l <= h)) return true;  // NaN too
  }
  return false;
}

TRayFrame RayFrameOf(const TVolume& v, const TRenderSettings& s) {
  TRayFrame f;
  const TVolumeGeometry& g = v.geometry;
  f.columns = g.columns, f.rows = g.rows, f.slices = g.slices;
  if (g.columns < 1 || g.rows < 1 || g.slices < 1 || g.origin.empty()) return f;
  const TMat3 a = VoxelToPatient(g);
  TMat3 inv;
  if (!Invert(a, inv)) return f;

  TCamera cam = s.camera;
  Orthonormalise(cam);
  const Vec3 toward = Unit(cam.Toward());
  f.toEye = toward;

  // The sphere about the voxel centres' box: its centre and radius.
  const Vec3 last{double(g.columns - 1), double(g.rows - 1), double(g.slices - 1)};
  const Vec3 mid = last * 0.5;
  const Vec3 centre = g.origin[0] + a * mid;
  double radius = 0;
  for (int corner = 0; corner < 8; ++corner) {
    const Vec3 c{corner & 1 ? last.x : 0, corner & 2 ? last.y : 0, corner & 4 ? last.z : 0};
    radius = std::max(radius, Norm(a * (c - mid)));
  }
  const double minSpacing = std::min({g.columnSpacing, g.rowSpacing, g.sliceSpacing});
  radius = std::max(radius, 0.5 * minSpacing);

  const int w = std::max(s.width, 1), h = std::max(s.height, 1);
  const double zoom = std::isfinite(cam.zoom) ? std::clamp(cam.zoom, 1e-3, 1e3) : 1;
  const double pixelMm = 2 * radius / (zoom * std::min(w, h));
  const double panRight = std::isfinite(cam.panRight) ? cam.panRight : 0;
  const double panUp = std::isfinite(cam.panUp) ? cam.panUp : 0;
  const Vec3 pictureCentre = centre + cam.right * panRight + cam.up * panUp;
  const Vec3 topLeft =
      pictureCentre - cam.right * (0.5 * (w - 1) * pixelMm) + cam.up * (0.5 * (h - 1) * pixelMm);
  f.origin = inv * (topLeft - g.origin[0]);
  f.dx = inv * (cam.right * pixelMm);
  f.dy = inv * (cam.up * -pixelMm);

  const double factor = std::isfinite(s.stepFactor) ? std::clamp(s.stepFactor, 0.05, 64.0) : 1.0;
  f.stepMm = factor * minSpacing;
  f.step = inv * (toward * -f.stepMm);

  for (int axis = 0; axis < 3; ++axis) {
    const double n = last[axis];
    const double lo =
        std::clamp(std::isfinite(s.crop.lo[size_t(axis)]) ? s.crop.lo[size_t(axis)] : 0, 0.0, 1.0);
    const double hi =
        std::clamp(std::isfinite(s.crop.hi[size_t(axis)]) ? s.crop.hi[size_t(axis)] : 1, 0.0, 1.0);
    (axis == 0 ? f.boxLo.x : axis == 1 ? f.boxLo.y : f.boxLo.z) = lo * n;
    (axis == 0 ? f.boxHi.x : axis == 1 ? f.boxHi.y : f.boxHi.z) = hi * n;
  }
  // The patient gradient is the inverse transpose applied to the voxel one:
  // row r of inv^T is column r of inv.
  f.gradientToPatient = {inv.c0, inv.c1, inv.c2};
  return f;
}

bool ParseProjectionView(std::string_view text, TProjectionView& out) {
  if (SameText(text, "anterior"))
    out = TProjectionView::Anterior;
  else if (SameText(text, "lateral"))
    out = TProjectionView::Lateral;
  else if (SameText(text, "superior"))
    out = TProjectionView::Superior;
  else
    return false;
  return true;
}

// GCC vectorises at -O2 only loops that need no checks; these folds are
// memory bound and gain several times from it. Clang vectorises anyway.
#if defined(__GNUC__) && !defined(__clang__)
#define VECTORISED [[gnu::optimize("tree-vectorize")]]
#else
#define VECTORISED
#endif

namespace {

// The reduction of every line of voxels along grid axis `fixed`, into a
// table over the other two axes (outer by the slower one in memory), read in
// memory order so each pass runs along contiguous words.
// Max and min stay in 16-bit words (unsigned ones with the top bit flipped,
// which orders them as signed words do, so both take the same SIMD compare);
// sums take 64 bits.
template <TProjection P>
using TFold = std::conditional_t<P == TProjection::Mean, int64_t, int16_t>;

template <bool Signed, TProjection P>
VECTORISED void ReduceAlong(const TVolume& v, int fixed, std::vector<TFold<P>>& acc,
                            int threads = 0) {
  using T = TFold<P>;
  const TVolumeGeometry& g = v.geometry;
  const size_t C = size_t(g.columns), R = size_t(g.rows), S = size_t(g.slices);
  const auto word = [](int16_t w) {
    if constexpr (P == TProjection::Mean)
      return Signed ? T(w) : T(uint16_t(w));
    else
      return Signed ? w : int16_t(uint16_t(w) ^ 0x8000u);
  };
  const auto fold = [](T a, T b) {
    if constexpr (P == TProjection::Max)
      return std::max(a, b);
    else if constexpr (P == TProjection::Min)
      return std::min(a, b);
    else
      return T(a + b);
  };
  if (fixed == 2) {  // table [row][column], folded slice after slice
    acc.resize(R * C);
    ParallelFor(
        R,
        [&](size_t j) {
          T* __restrict dst = acc.data() + j * C;
          const int16_t* first = v.Slice(0) + j * C;
          for (size_t i = 0; i < C; ++i) dst[i] = word(first[i]);
          for (size_t k = 1; k < S; ++k) {
            const int16_t* row = v.Slice(int(k)) + j * C;
            for (size_t i = 0; i < C; ++i) dst[i] = fold(dst[i], word(row[i]));
          }
        },
        threads);
  } else if (fixed == 1) {  // table [slice][column], folded row after row
    acc.resize(S * C);
    ParallelFor(
        S,
        [&](size_t k) {
          T* __restrict dst = acc.data() + k * C;
          const int16_t* slice = v.Slice(int(k));
          for (size_t i = 0; i < C; ++i) dst[i] = word(slice[i]);
          for (size_t j = 1; j < R; ++j)
            for (size_t i = 0; i < C; ++i) dst[i] = fold(dst[i], word(slice[j * C + i]));
        },
        threads);
  } else {  // table [slice][row], each row folded
    acc.resize(S * R);
    ParallelFor(
        S,
        [&](size_t k) {
          const int16_t* slice = v.Slice(int(k));
          for (size_t j = 0; j < R; ++j) {
            const int16_t* row = slice + j * C;
            T a = word(row[0]);
            for (size_t i = 1; i < C; ++i) a = fold(a, word(row[i]));
            acc[k * R + j] = a;
          }
        },
        threads);
  }
}

}  // namespace

bool ProjectVolume(const TVolume& v, TProjectionView view, TProjection projection, TPlaneImage& out,
                   std::string& reason) {
  const TPlaneKind kind = view == TProjectionView::Anterior  ? TPlaneKind::Coronal
                          : view == TProjectionView::Lateral ? TPlaneKind::Sagittal
                                                             : TPlaneKind::Axial;
  const int count = PlaneCount(v, kind);
  if (count < 1) {
    reason = "the volume holds no voxels";
    return false;
  }
  // The middle plane gives the layout and geometry; the projection replaces
  // its words.
  if (!GridPlane(v, kind, (count - 1) / 2, 1, projection, out, reason)) return false;
  const TVolumeGeometry& g = v.geometry;
  const TGridAxes ax = GridAxesOf(g, kind);
  std::vector<int64_t> acc;
  const auto reduce = [&](auto p) {
    constexpr TProjection P = decltype(p)::value;
    std::vector<TFold<P>> a;
    if (v.isSigned)
      ReduceAlong<true, P>(v, ax.fixed, a);
    else
      ReduceAlong<false, P>(v, ax.fixed, a);
    acc.resize(a.size());
    for (size_t n = 0; n < a.size(); ++n) {
      if constexpr (P == TProjection::Mean)
        acc[n] = a[n];
      else
        acc[n] = v.isSigned ? a[n] : int64_t(uint16_t(a[n]) ^ 0x8000u);
    }
  };
  if (projection == TProjection::Max)
    reduce(std::integral_constant<TProjection, TProjection::Max>{});
  else if (projection == TProjection::Min)
    reduce(std::integral_constant<TProjection, TProjection::Min>{});
  else
    reduce(std::integral_constant<TProjection, TProjection::Mean>{});
  // The table's outer axis is the slower of the two left in memory.
  const int outer = ax.fixed == 2 ? 1 : 2;
  const size_t innerSize = size_t(AxisSize(g, ax.fixed == 0 ? 1 : 0));
  const int W = out.columns, H = out.rows;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const int h = ax.horizontalReversed ? W - 1 - x : x;
      const int vv = ax.verticalReversed ? H - 1 - y : y;
      const bool hOuter = ax.horizontal == outer;
      const size_t at = size_t(hOuter ? h : vv) * innerSize + size_t(hOuter ? vv : h);
      int64_t value = acc[at];
      // The mean rounds to nearest, ties to even, as a slab's does.
      if (projection == TProjection::Mean) value = int64_t(std::nearbyint(double(value) / count));
      out.pixels[size_t(y) * size_t(W) + size_t(x)] = int16_t(uint16_t(value & 0xFFFF));
    }
  out.thickness *= count;
  return true;
}

std::shared_ptr<TVolume> DownsampledVolume(const TVolume& v, int maxSide, size_t maxBytes,
                                           const std::string& why, std::string& note) {
  const TVolumeGeometry& g = v.geometry;
  const int fine[3] = {g.columns, g.rows, g.slices};
  if (fine[0] < 1 || fine[1] < 1 || fine[2] < 1 || g.origin.size() != size_t(g.slices) ||
      v.voxels.size() < v.SliceSize() * size_t(g.slices))
    return nullptr;
  const std::array<int, 3> f = ShrinkFactors({fine[0], fine[1], fine[2]}, maxSide, maxBytes);
  if (f == std::array<int, 3>{1, 1, 1}) return nullptr;
  auto out = std::make_shared<TVolume>();
  out->geometry = CoarserGeometry(g, f);
  const TVolumeGeometry& c = out->geometry;
  const int n[3] = {c.columns, c.rows, c.slices};
  out->isSigned = v.isSigned;
  out->bitsStored = v.bitsStored;
  out->header = v.header;
  out->header.XYZdim[0] = n[0];
  out->header.XYZdim[1] = n[1];
  out->header.XYZmm[0] = c.columnSpacing;
  out->header.XYZmm[1] = c.rowSpacing;
  out->notes = v.notes;
  for (int k = 0; k < n[2]; ++k) {
    const size_t src = size_t(k * f[2]);
    if (src < v.slicePath.size()) out->slicePath.push_back(v.slicePath[src]);
    if (src < v.sliceFrame.size()) out->sliceFrame.push_back(v.sliceFrame[src]);
  }
  out->voxels.resize(size_t(n[0]) * size_t(n[1]) * size_t(n[2]));
  const auto span = [&](int a, int p, int& first, int& end) {
    first = p * f[a];
    end = p == n[a] - 1 ? fine[a] : first + f[a];
  };
  std::vector<int> sliceLo(static_cast<size_t>(n[2])), sliceHi(static_cast<size_t>(n[2]));
  ParallelFor(size_t(n[2]), [&](size_t kc) {
    int k0, k1;
    span(2, int(kc), k0, k1);
    std::vector<int64_t> sum(size_t(n[0]) * size_t(n[1]), 0);
    for (int k = k0; k < k1; ++k)
      for (int jc = 0; jc < n[1]; ++jc) {
        int j0, j1;
        span(1, jc, j0, j1);
        int64_t* dst = sum.data() + size_t(jc) * size_t(n[0]);
        for (int j = j0; j < j1; ++j) {
          const int16_t* row = v.Slice(k) + size_t(j) * size_t(g.columns);
          for (int ic = 0; ic < n[0]; ++ic) {
            int i0, i1;
            span(0, ic, i0, i1);
            int64_t s = 0;
            for (int i = i0; i < i1; ++i) s += v.isSigned ? int(row[i]) : int(uint16_t(row[i]));
            dst[ic] += s;
          }
        }
      }
    int lo = std::numeric_limits<int>::max(), hi = std::numeric_limits<int>::min();
    int16_t* slice = out->Slice(int(kc));
    for (int jc = 0; jc < n[1]; ++jc) {
      int j0, j1;
      span(1, jc, j0, j1);
      for (int ic = 0; ic < n[0]; ++ic) {
        int i0, i1;
        span(0, ic, i0, i1);
        const double count = double(k1 - k0) * (j1 - j0) * (i1 - i0);
        const int m =
            int(std::nearbyint(double(sum[size_t(jc) * size_t(n[0]) + size_t(ic)]) / count));
        slice[size_t(jc) * size_t(n[0]) + size_t(ic)] = int16_t(uint16_t(m & 0xFFFF));
        lo = std::min(lo, m);
        hi = std::max(hi, m);
      }
    }
    sliceLo[kc] = lo;
    sliceHi[kc] = hi;
  });
  out->minValue = *std::min_element(sliceLo.begin(), sliceLo.end());
  out->maxValue = *std::max_element(sliceHi.begin(), sliceHi.end());
  const auto dims = [](int a, int b, int c3) {
    return std::to_string(a) + " x " + std::to_string(b) + " x " + std::to_string(c3);
  };
  note = "Downsampled for " + why + ": " + dims(fine[0], fine[1], fine[2]) + " to " +
         dims(n[0], n[1], n[2]);
  out->notes.push_back(note);
  return out;
}
