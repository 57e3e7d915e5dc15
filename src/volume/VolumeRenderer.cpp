// The CPU ray caster. Each ray walks its samples front to back; blocks of
// 8 x 8 x 8 voxel cells whose stored range cannot change the ray (no opacity
// in the transfer table, or no value beyond the running maximum / minimum of
// a projection) are stepped over whole, which leaves the picture unchanged
// because a trilinear sample never leaves the range of its 8 voxels.
#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "volume/Parallel.h"
#include "volume/Render3D.h"

namespace {

constexpr int kBlockShift = 3;  // blocks of 8 cells per axis
constexpr int kBlock = 1 << kBlockShift;
// Largest picture drawn: bounds the allocation whatever a caller asks.
constexpr int64_t kMaxPixels = int64_t(1) << 26;
// No plane cached yet: below every index, and no neighbour of one.
constexpr int kNoPlane = -2;

template <bool Signed>
inline float Word(const int16_t* p) {
  if constexpr (Signed)
    return float(*p);
  else
    return float(uint16_t(*p));
}

// Trilinear samples at voxel-space points inside the grid's centre box.
template <bool Signed>
struct TSampler {
  const int16_t* voxels = nullptr;
  int lastCell[3] = {0, 0, 0};      // the last cell's lower index per axis
  ptrdiff_t stride[3] = {1, 0, 0};  // word offset of one step per axis
  ptrdiff_t next[3] = {0, 0, 0};    // offset to the upper neighbour (0 on a 1-voxel axis)
  float last[3] = {0, 0, 0};        // N - 1 per axis

  explicit TSampler(const TVolume& v) {
    const TVolumeGeometry& g = v.geometry;
    voxels = v.voxels.data();
    const int n[3] = {g.columns, g.rows, g.slices};
    stride[0] = 1;
    stride[1] = g.columns;
    stride[2] = ptrdiff_t(g.columns) * g.rows;
    for (int a = 0; a < 3; ++a) {
      lastCell[a] = std::max(n[a] - 2, 0);
      next[a] = n[a] > 1 ? stride[a] : 0;
      last[a] = float(n[a] - 1);
    }
  }

  // (x, y, z) within [0, N - 1] on every axis.
  [[gnu::always_inline]] float At(float x, float y, float z) const {
    const int i = std::min(int(x), lastCell[0]), j = std::min(int(y), lastCell[1]),
              k = std::min(int(z), lastCell[2]);
    const float fx = x - float(i), fy = y - float(j), fz = z - float(k);
    const int16_t* p = voxels + i + j * stride[1] + k * stride[2];
    const ptrdiff_t ox = next[0], oy = next[1], oz = next[2];
    const float c00 = Word<Signed>(p) + (Word<Signed>(p + ox) - Word<Signed>(p)) * fx;
    const float c10 =
        Word<Signed>(p + oy) + (Word<Signed>(p + oy + ox) - Word<Signed>(p + oy)) * fx;
    const float c01 =
        Word<Signed>(p + oz) + (Word<Signed>(p + oz + ox) - Word<Signed>(p + oz)) * fx;
    const float c11 = Word<Signed>(p + oz + oy) +
                      (Word<Signed>(p + oz + oy + ox) - Word<Signed>(p + oz + oy)) * fx;
    const float c0 = c00 + (c10 - c00) * fy, c1 = c01 + (c11 - c01) * fy;
    return c0 + (c1 - c0) * fz;
  }
  // Anywhere: edge voxels repeat beyond the grid.
  float Clamped(float x, float y, float z) const {
    return At(std::clamp(x, 0.0f, last[0]), std::clamp(y, 0.0f, last[1]),
              std::clamp(z, 0.0f, last[2]));
  }
};

// A ray along one grid axis (the standard views of an untilted stack): its
// other two coordinates stay put, so each grid plane it crosses is
// interpolated once and shared by the samples either side of it.
template <bool Signed>
struct TAxisWalker {
  const int16_t* base = nullptr;  // the cell's corner on plane 0 along the axis
  ptrdiff_t ob = 0, oc = 0;       // to the neighbours across the axis
  ptrdiff_t oa = 0, nextA = 0;    // one plane along the axis; to the next (0: one plane)
  float fb = 0, fc = 0, lo = 0, hi = 0;
  int lastCell = 0, axis = 0, cached = kNoPlane;
  float v0 = 0, v1 = 0;

  // False when the ray crosses the axes.
  bool Start(const TSampler<Signed>& sm, const float o[3], const float s[3], const float boxLo[3],
             const float boxHi[3]) {
    int moving = -1;
    for (int a = 0; a < 3; ++a)
      if (std::abs(s[a]) > 1e-7f) {
        if (moving >= 0) return false;
        moving = a;
      }
    if (moving < 0) return false;
    axis = moving;
    const int b = (axis + 1) % 3, c = (axis + 2) % 3;
    const float pb = std::clamp(o[b], boxLo[b], boxHi[b]),
                pc = std::clamp(o[c], boxLo[c], boxHi[c]);
    const int ib = std::min(int(pb), sm.lastCell[b]), ic = std::min(int(pc), sm.lastCell[c]);
    fb = pb - float(ib), fc = pc - float(ic);
    base = sm.voxels + ib * sm.stride[b] + ic * sm.stride[c];
    ob = sm.next[b], oc = sm.next[c];
    oa = sm.stride[axis], nextA = sm.next[axis];
    lastCell = sm.lastCell[axis];
    lo = boxLo[axis], hi = boxHi[axis];
    cached = kNoPlane;
    return true;
  }
  float Plane(const int16_t* p) const {
    const float c0 = Word<Signed>(p) + (Word<Signed>(p + ob) - Word<Signed>(p)) * fb;
    const float c1 = Word<Signed>(p + oc) + (Word<Signed>(p + oc + ob) - Word<Signed>(p + oc)) * fb;
    return c0 + (c1 - c0) * fc;
  }
  // The sample at coordinate `pa` along the axis.
  [[gnu::always_inline]] float At(float pa) {
    pa = std::clamp(pa, lo, hi);
    const int m = std::min(int(pa), lastCell);
    if (m != cached) {
      const int16_t* p = base + m * oa;
      if (m == cached + 1) {
        v0 = v1;
        v1 = Plane(p + nextA);
      } else if (m == cached - 1) {
        v1 = v0;
        v0 = Plane(p);
      } else {
        v0 = Plane(p);
        v1 = Plane(p + nextA);
      }
      cached = m;
    }
    return v0 + (v1 - v0) * (pa - float(m));
  }
};

// The table of TTransferLut as plain floats for the inner loop.
struct TLutView {
  const std::array<float, 4>* rgba = nullptr;
  float lo = 0, scale = 0;  // entry = (s - lo) * scale
  float lastEntry = 0;

  std::array<float, 4> At(float s) const {
    const float x = std::clamp((s - lo) * scale, 0.0f, lastEntry);
    const int e = std::min(int(x), int(lastEntry) - 1);
    const float f = x - float(e);
    const std::array<float, 4>&a = rgba[e], &b = rgba[e + 1];
    return {a[0] + (b[0] - a[0]) * f, a[1] + (b[1] - a[1]) * f, a[2] + (b[2] - a[2]) * f,
            a[3] + (b[3] - a[3]) * f};
  }
};

// One ray: its start and step in voxel space (floats for the samples) and
// the range of sample numbers inside the crop box.
struct TRay {
  float o[3], s[3], inv[3];
  int n0 = 0, n1 = -1;
};

TRay RayAt(const TRayFrame& f, int x, int y) {
  TRay r;
  const Vec3 o = f.origin + f.dx * double(x) + f.dy * double(y);
  double tmin = -std::numeric_limits<double>::infinity();
  double tmax = std::numeric_limits<double>::infinity();
  for (int a = 0; a < 3; ++a) {
    const double oa = o[a], sa = f.step[a], lo = f.boxLo[a], hi = f.boxHi[a];
    r.o[a] = float(oa);
    r.s[a] = float(sa);
    r.inv[a] = r.s[a] != 0 ? 1 / r.s[a] : 0;
    if (std::abs(sa) < 1e-12) {
      if (oa < lo - 1e-6 || oa > hi + 1e-6) return r;
      continue;
    }
    const double t1 = (lo - oa) / sa, t2 = (hi - oa) / sa;
    tmin = std::max(tmin, std::min(t1, t2));
    tmax = std::min(tmax, std::max(t1, t2));
  }
  if (!(tmin <= tmax + 1e-6)) return r;
  // Faces count as inside; the margin keeps a sample that rounding puts a
  // hair outside (it is clamped back onto the face).
  const double a = std::ceil(tmin - 1e-6), b = std::floor(tmax + 1e-6);
  if (a > b || a < -1e8 || b > 1e8) return r;
  r.n0 = int(a);
  r.n1 = int(b);
  return r;
}

struct TPixelWindow {
  double slope = 1, intercept = 0, centre = 0, width = 1;
  uint32_t Grey(double stored) const {
    const double m = stored * slope + intercept;
    double g;
    if (width <= 1)
      g = m > centre - 0.5 ? 1 : 0;
    else
      g = std::clamp((m - (centre - 0.5)) / (width - 1) + 0.5, 0.0, 1.0);
    const uint32_t c = uint32_t(std::lround(g * 255));
    return 0xff000000u | c << 16 | c << 8 | c;
  }
};

uint32_t Rgb(float r, float g, float b) {
  const auto q = [](float c) { return uint32_t(std::lround(std::clamp(c, 0.0f, 1.0f) * 255)); };
  return 0xff000000u | q(r) << 16 | q(g) << 8 | q(b);
}

}  // namespace

// Stored min and max of each block of cells, its upper faces included, so a
// block bounds every sample taken in it.
struct TVolumeRenderer::TBlocks {
  std::once_flag once;
  int n[3] = {0, 0, 0};  // blocks per axis
  std::vector<int16_t> lo, hi;

  size_t Index(int bx, int by, int bz) const {
    return (size_t(bz) * size_t(n[1]) + size_t(by)) * size_t(n[0]) + size_t(bx);
  }

  template <bool Signed>
  void Build(const TVolume& v) {
    const TVolumeGeometry& g = v.geometry;
    const int dims[3] = {g.columns, g.rows, g.slices};
    for (int a = 0; a < 3; ++a) n[a] = ((dims[a] - 1) >> kBlockShift) + 1;
    const size_t count = size_t(n[0]) * size_t(n[1]) * size_t(n[2]);
    lo.assign(count, 0);
    hi.assign(count, 0);
    ParallelFor(size_t(n[2]), [&](size_t bz) {
      const int k0 = int(bz) * kBlock, k1 = std::min(k0 + kBlock, g.slices - 1);
      // Row-wise min/max per block column first, then folded over rows.
      std::vector<int> rowLo(static_cast<size_t>(n[0])), rowHi(static_cast<size_t>(n[0]));
      for (int by = 0; by < n[1]; ++by) {
        const int j0 = by * kBlock, j1 = std::min(j0 + kBlock, g.rows - 1);
        std::fill(rowLo.begin(), rowLo.end(), std::numeric_limits<int>::max());
        std::fill(rowHi.begin(), rowHi.end(), std::numeric_limits<int>::min());
        for (int k = k0; k <= k1; ++k)
          for (int j = j0; j <= j1; ++j) {
            const int16_t* row = v.Slice(k) + size_t(j) * size_t(g.columns);
            for (int bx = 0; bx < n[0]; ++bx) {
              const int i0 = bx * kBlock, i1 = std::min(i0 + kBlock, g.columns - 1);
              int l = rowLo[size_t(bx)], h = rowHi[size_t(bx)];
              for (int i = i0; i <= i1; ++i) {
                const int w = Signed ? int(row[i]) : int(uint16_t(row[i]));
                l = std::min(l, w);
                h = std::max(h, w);
              }
              rowLo[size_t(bx)] = l;
              rowHi[size_t(bx)] = h;
            }
          }
        for (int bx = 0; bx < n[0]; ++bx) {
          // Kept as the volume's own words: the signedness is known.
          lo[Index(bx, by, int(bz))] = int16_t(uint16_t(rowLo[size_t(bx)] & 0xFFFF));
          hi[Index(bx, by, int(bz))] = int16_t(uint16_t(rowHi[size_t(bx)] & 0xFFFF));
        }
      }
    });
  }
};

namespace {

// The sample number after the last one of ray `r` inside block (bx, by, bz),
// at least n + 1. The block is shrunk by a hair so rounding never counts a
// sample outside it.
inline int LeaveBlock(const TRay& r, int n, int bx, int by, int bz) {
  constexpr float kHair = 1e-3f;
  const int b[3] = {bx, by, bz};
  float t = 2e9f;
  for (int a = 0; a < 3; ++a) {
    if (r.s[a] > 0)
      t = std::min(t, (float(b[a] * kBlock + kBlock) - kHair - r.o[a]) * r.inv[a]);
    else if (r.s[a] < 0)
      t = std::min(t, (float(b[a] * kBlock) + kHair - r.o[a]) * r.inv[a]);
  }
  return std::max(n + 1, int(std::min(std::floor(t), 2e9f)) + 1);
}

struct TRenderJob {
  const TVolume* v;
  const TVolumeRenderer* self;
  const TRenderSettings* s;
  TRayFrame frame;
  TTransferLut lut;
  TLutView lutView;
  std::vector<uint8_t> clearBlock;  // VR: the block has no opacity
  const int16_t* blockLo = nullptr;
  const int16_t* blockHi = nullptr;
  int blocks[3] = {0, 0, 0};
  float volLo = 0, volHi = 0;
  TPixelWindow window;
};

template <bool Signed>
inline float BlockValue(const int16_t* table, size_t index) {
  return Word<Signed>(table + index);
}

// A projection whose rays in picture row y all run along one grid axis from
// the same plane (the standard views of an untilted stack) is swept plane by
// plane across the whole row: each crossed plane is read along the row, as
// it lies in memory, instead of ray after ray across the stack. Marks the
// pixels it drew in `swept` (left empty when the row does not qualify).
template <bool Signed, TRenderMode Mode>
void SweepRow(const TRenderJob& job, const TSampler<Signed>& sm, int y, uint32_t* out,
              std::vector<char>& swept) {
  const TRayFrame& f = job.frame;
  const int width = job.s->width;
  int axis = -1;
  for (int a = 0; a < 3; ++a)
    if (std::abs(f.step[a]) > 1e-9) {
      if (axis >= 0) return;
      axis = a;
    }
  // Along the columns the ray caster already reads memory in order.
  if (axis < 1 || std::abs(f.dx[axis]) > 1e-9) return;
  const float boxLo[3] = {float(f.boxLo.x), float(f.boxLo.y), float(f.boxLo.z)};
  const float boxHi[3] = {float(f.boxHi.x), float(f.boxHi.y), float(f.boxHi.z)};
  std::vector<TAxisWalker<Signed>> rays;
  std::vector<int> columns;
  int n0 = 0, n1 = -1;
  float o = 0, step = 0;
  for (int x = 0; x < width; ++x) {
    const TRay r = RayAt(f, x, y);
    if (r.n0 > r.n1) continue;
    if (rays.empty()) n0 = r.n0, n1 = r.n1, o = r.o[axis], step = r.s[axis];
    // A ray that rounding gives another range is left to the ray caster.
    if (r.n0 != n0 || r.n1 != n1 || r.o[axis] != o) continue;
    TAxisWalker<Signed> w;
    if (!w.Start(sm, r.o, r.s, boxLo, boxHi) || w.axis != axis) continue;
    rays.push_back(w);
    columns.push_back(x);
  }
  if (rays.empty()) return;
  const size_t count = rays.size();
  std::vector<float> p0(count), p1(count);
  std::vector<double> acc(count, Mode == TRenderMode::Mip     ? -1e300
                                 : Mode == TRenderMode::MinIp ? 1e300
                                                              : 0);
  const TAxisWalker<Signed>& w0 = rays.front();
  int cached = kNoPlane;
  for (int n = n0; n <= n1; ++n) {
    const float pa = std::clamp(o + float(n) * step, w0.lo, w0.hi);
    const int m = std::min(int(pa), w0.lastCell);
    if (m != cached) {
      const bool next = m == cached + 1;
      for (size_t r = 0; r < count; ++r) {
        const TAxisWalker<Signed>& w = rays[r];
        const int16_t* p = w.base + m * w.oa;
        p0[r] = next ? p1[r] : w.Plane(p);
        p1[r] = w.Plane(p + w.nextA);
      }
      cached = m;
    }
    const float t = pa - float(m);
    for (size_t r = 0; r < count; ++r) {
      const float v = p0[r] + (p1[r] - p0[r]) * t;
      if constexpr (Mode == TRenderMode::Mip)
        acc[r] = std::max(acc[r], double(v));
      else if constexpr (Mode == TRenderMode::MinIp)
        acc[r] = std::min(acc[r], double(v));
      else
        acc[r] += v;
    }
  }
  swept.assign(size_t(width), 0);
  for (size_t r = 0; r < count; ++r) {
    const double value = Mode == TRenderMode::Mean ? acc[r] / double(n1 - n0 + 1) : acc[r];
    out[columns[r]] = job.window.Grey(value);
    swept[size_t(columns[r])] = 1;
  }
}

// The rays of picture row y.
template <bool Signed, TRenderMode Mode>
void RenderRow(const TRenderJob& job, const TSampler<Signed>& sm, int y, uint32_t* out) {
  const TRayFrame& f = job.frame;
  const TRenderSettings& s = *job.s;
  const int bx = job.blocks[0];
  const size_t bxy = size_t(job.blocks[0]) * size_t(job.blocks[1]);
  const float lox = float(f.boxLo.x), loy = float(f.boxLo.y), loz = float(f.boxLo.z);
  const float hix = float(f.boxHi.x), hiy = float(f.boxHi.y), hiz = float(f.boxHi.z);
  const auto blockOf = [&](float x, float yy, float z, int& ix, int& iy, int& iz) {
    ix = int(x) >> kBlockShift, iy = int(yy) >> kBlockShift, iz = int(z) >> kBlockShift;
    return size_t(iz) * bxy + size_t(iy) * size_t(bx) + size_t(ix);
  };
  // Shading constants.
  const TTransferFunction& tf = s.tf;
  const float g00 = float(f.gradientToPatient[0].x), g01 = float(f.gradientToPatient[0].y),
              g02 = float(f.gradientToPatient[0].z);
  const float g10 = float(f.gradientToPatient[1].x), g11 = float(f.gradientToPatient[1].y),
              g12 = float(f.gradientToPatient[1].z);
  const float g20 = float(f.gradientToPatient[2].x), g21 = float(f.gradientToPatient[2].y),
              g22 = float(f.gradientToPatient[2].z);
  const float lx = float(f.toEye.x), ly = float(f.toEye.y), lz = float(f.toEye.z);
  const float flat2 = float(kFlatGradient * kFlatGradient);

  const float boxLo[3] = {lox, loy, loz}, boxHi[3] = {hix, hiy, hiz};
  TAxisWalker<Signed> walker;
  const auto position = [&](const TRay& r, int n, float& px, float& py, float& pz) {
    const float fn = float(n);
    px = std::clamp(r.o[0] + fn * r.s[0], lox, hix);
    py = std::clamp(r.o[1] + fn * r.s[1], loy, hiy);
    pz = std::clamp(r.o[2] + fn * r.s[2], loz, hiz);
  };

  std::vector<char> swept;
  if constexpr (Mode != TRenderMode::Vr) SweepRow<Signed, Mode>(job, sm, y, out, swept);

  for (int x = 0; x < s.width; ++x) {
    if (!swept.empty() && swept[size_t(x)]) continue;
    const TRay r = RayAt(f, x, y);
    if (r.n0 > r.n1) {
      out[x] = 0xff000000u;
      continue;
    }
    // The ray runs block by block: a block is looked up once, then its
    // samples follow without further checks.
    if constexpr (Mode == TRenderMode::Vr) {
      float cr = 0, cg = 0, cb = 0, ca = 0;
      for (int n = r.n0; n <= r.n1 && ca < 0.99f;) {
        float px, py, pz;
        position(r, n, px, py, pz);
        int ix, iy, iz;
        const size_t block = blockOf(px, py, pz, ix, iy, iz);
        const int end = std::min(LeaveBlock(r, n, ix, iy, iz), r.n1 + 1);
        if (job.clearBlock[block]) {
          n = end;
          continue;
        }
        for (; n < end; ++n) {
          position(r, n, px, py, pz);
          const float value = sm.At(px, py, pz);
          const std::array<float, 4> c = job.lutView.At(value);
          if (!(c[3] > 0)) continue;
          float sr = c[0], sg = c[1], sb = c[2];
          if (tf.shade) {
            const float dxv = (sm.Clamped(px + 1, py, pz) - sm.Clamped(px - 1, py, pz)) * 0.5f;
            const float dyv = (sm.Clamped(px, py + 1, pz) - sm.Clamped(px, py - 1, pz)) * 0.5f;
            const float dzv = (sm.Clamped(px, py, pz + 1) - sm.Clamped(px, py, pz - 1)) * 0.5f;
            const float gx = g00 * dxv + g01 * dyv + g02 * dzv;
            const float gy = g10 * dxv + g11 * dyv + g12 * dzv;
            const float gz = g20 * dxv + g21 * dyv + g22 * dzv;
            const float len2 = gx * gx + gy * gy + gz * gz;
            if (len2 < flat2) {
              const float k = tf.ambient + tf.diffuse;
              sr *= k, sg *= k, sb *= k;
            } else {
              const float d = std::abs(gx * lx + gy * ly + gz * lz) / std::sqrt(len2);
              const float k = tf.ambient + tf.diffuse * d;
              const float spec = tf.specular * std::pow(d, tf.shininess);
              sr = sr * k + spec, sg = sg * k + spec, sb = sb * k + spec;
            }
          }
          const float w = (1 - ca) * c[3];
          cr += w * sr, cg += w * sg, cb += w * sb;
          ca += w;
          if (ca >= 0.99f) break;
        }
      }
      out[x] = Rgb(cr, cg, cb);
    } else if constexpr (Mode == TRenderMode::Mean) {
      double sum = 0;
      if (walker.Start(sm, r.o, r.s, boxLo, boxHi)) {
        for (int n = r.n0; n <= r.n1; ++n)
          sum += walker.At(r.o[walker.axis] + float(n) * r.s[walker.axis]);
      } else {
        for (int n = r.n0; n <= r.n1; ++n) {
          float px, py, pz;
          position(r, n, px, py, pz);
          sum += sm.At(px, py, pz);
        }
      }
      out[x] = job.window.Grey(sum / double(r.n1 - r.n0 + 1));
    } else {
      constexpr bool kMax = Mode == TRenderMode::Mip;
      float best =
          kMax ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
      const float bound = kMax ? job.volHi : job.volLo;
      const auto project = [&](auto&& valueAt) {
        for (int n = r.n0; n <= r.n1;) {
          float px, py, pz;
          position(r, n, px, py, pz);
          int ix, iy, iz;
          const size_t b = blockOf(px, py, pz, ix, iy, iz);
          const int end = std::min(LeaveBlock(r, n, ix, iy, iz), r.n1 + 1);
          // Nothing in this block can beat the running extreme.
          const float limit = BlockValue<Signed>(kMax ? job.blockHi : job.blockLo, b);
          if (kMax ? limit <= best : limit >= best) {
            n = end;
            continue;
          }
          for (; n < end; ++n) {
            const float value = valueAt(n);
            best = kMax ? std::max(best, value) : std::min(best, value);
            if (best == limit) break;  // the block has nothing more to give
          }
          n = end;
          if (best == bound) break;
        }
      };
      if (walker.Start(sm, r.o, r.s, boxLo, boxHi)) {
        project([&](int n) { return walker.At(r.o[walker.axis] + float(n) * r.s[walker.axis]); });
      } else {
        project([&](int n) {
          float px, py, pz;
          position(r, n, px, py, pz);
          return sm.At(px, py, pz);
        });
      }
      out[x] = job.window.Grey(best);
    }
  }
}

template <bool Signed, TRenderMode Mode>
bool RenderRows(const TRenderJob& job, TRenderImage& img, const std::atomic<bool>* cancel,
                int threads) {
  const TSampler<Signed> sm(*job.v);
  std::atomic<bool> stopped{false};
  ParallelFor(
      size_t(img.height),
      [&](size_t y) {
        if (stopped.load(std::memory_order_relaxed)) return;
        if (cancel && cancel->load(std::memory_order_relaxed)) {
          stopped = true;
          return;
        }
        RenderRow<Signed, Mode>(job, sm, int(y), img.pixels.data() + y * size_t(img.width));
      },
      threads);
  return !stopped;
}

template <bool Signed>
bool RenderAll(const TRenderJob& job, TRenderImage& img, const std::atomic<bool>* cancel,
               int threads) {
  switch (job.s->mode) {
    case TRenderMode::Vr:
      return RenderRows<Signed, TRenderMode::Vr>(job, img, cancel, threads);
    case TRenderMode::Mip:
      return RenderRows<Signed, TRenderMode::Mip>(job, img, cancel, threads);
    case TRenderMode::MinIp:
      return RenderRows<Signed, TRenderMode::MinIp>(job, img, cancel, threads);
    case TRenderMode::Mean:
      break;
  }
  return RenderRows<Signed, TRenderMode::Mean>(job, img, cancel, threads);
}

}  // namespace

TVolumeRenderer::TVolumeRenderer(std::shared_ptr<const TVolume> v)
    : FVolume(std::move(v)), FBlocks(std::make_unique<TBlocks>()) {}

TVolumeRenderer::~TVolumeRenderer() = default;

bool TVolumeRenderer::Render(const TRenderSettings& s, TRenderImage& out, std::string& reason,
                             std::string* note, const std::atomic<bool>* cancel,
                             int threads) const {
  if (!FVolume) {
    reason = "there is no volume";
    return false;
  }
  const TVolume& v = *FVolume;
  const TVolumeGeometry& g = v.geometry;
  if (g.columns < 1 || g.rows < 1 || g.slices < 1 || g.origin.size() != size_t(g.slices) ||
      v.voxels.size() < v.SliceSize() * size_t(g.slices)) {
    reason = "the volume holds no voxels";
    return false;
  }
  if (s.width < 1 || s.height < 1 || int64_t(s.width) * s.height > kMaxPixels) {
    reason = "the picture size " + std::to_string(s.width) + " x " + std::to_string(s.height) +
             " is out of range";
    return false;
  }
  out.width = s.width;
  out.height = s.height;
  out.pixels.assign(size_t(s.width) * size_t(s.height), 0xff000000u);

  TRenderJob job;
  job.v = &v;
  job.self = this;
  job.s = &s;
  if (s.crop.Empty()) {
    if (note) *note = "The crop box is empty";
    return true;
  }
  job.frame = RayFrameOf(v, s);
  if (Norm(job.frame.step) == 0) {
    reason = "the volume's geometry is degenerate";
    return false;
  }
  std::call_once(FBlocks->once, [&] {
    if (v.isSigned)
      FBlocks->Build<true>(v);
    else
      FBlocks->Build<false>(v);
  });
  const TBlocks& blocks = *FBlocks;
  for (int a = 0; a < 3; ++a) job.blocks[a] = blocks.n[a];
  job.blockLo = blocks.lo.data();
  job.blockHi = blocks.hi.data();
  job.volLo = float(v.minValue);
  job.volHi = float(v.maxValue);
  job.window.slope = v.header.IntenScale != 0 ? v.header.IntenScale : 1;
  job.window.intercept = v.header.IntenIntercept;
  job.window.centre = std::isfinite(s.tf.windowCentre) ? s.tf.windowCentre : 0;
  job.window.width = std::isfinite(s.tf.windowWidth) ? s.tf.windowWidth : 1;

  if (s.mode == TRenderMode::Vr) {
    job.lut = BuildTransferLut(s.tf, v, job.frame.stepMm);
    if (!job.lut.anyOpaque) {
      if (note) *note = "The transfer function has no opaque range";
      return true;
    }
    job.lutView.rgba = job.lut.rgba.data();
    job.lutView.lo = float(job.lut.lo);
    job.lutView.lastEntry = float(TTransferLut::kEntries - 1);
    job.lutView.scale = float((TTransferLut::kEntries - 1) / (job.lut.hi - job.lut.lo));
    // A block is clear when every table entry its range touches (and the
    // entries either side, which a value between entries blends) is clear.
    std::vector<int> opaqueBefore(TTransferLut::kEntries + 1, 0);
    for (int e = 0; e < TTransferLut::kEntries; ++e)
      opaqueBefore[size_t(e) + 1] = opaqueBefore[size_t(e)] + (job.lut.rgba[size_t(e)][3] > 0);
    const auto entry = [&](int stored) {
      const double x =
          (stored - job.lut.lo) / (job.lut.hi - job.lut.lo) * (TTransferLut::kEntries - 1);
      return int(std::clamp(x, 0.0, double(TTransferLut::kEntries - 1)));
    };
    job.clearBlock.resize(blocks.lo.size());
    for (size_t b = 0; b < blocks.lo.size(); ++b) {
      const int lo = v.isSigned ? int(blocks.lo[b]) : int(uint16_t(blocks.lo[b]));
      const int hi = v.isSigned ? int(blocks.hi[b]) : int(uint16_t(blocks.hi[b]));
      const int e0 = entry(lo), e1 = std::min(entry(hi) + 1, TTransferLut::kEntries - 1);
      job.clearBlock[b] = opaqueBefore[size_t(e1) + 1] == opaqueBefore[size_t(e0)];
    }
  }

  const bool done = v.isSigned ? RenderAll<true>(job, out, cancel, threads)
                               : RenderAll<false>(job, out, cancel, threads);
  if (!done) {
    reason = "the picture was cancelled";
    return false;
  }
  return true;
}
