#include "volume/VolumeBuilder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <thread>

#include "pixels/FrameGeometry.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

constexpr double kPi = 3.14159265358979323846;
// Direction cosines written with six decimals or fewer differ by about 1e-6;
// 1e-3 (0.06 degrees) still tells a real change of orientation.
constexpr double kCosineTolerance = 1e-3;

std::string Mm(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.3g mm", v);
  return b;
}

std::string Degrees(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.1f degrees", v);
  return b;
}

bool Near(double a, double b, double relative) {
  return std::abs(a - b) <= relative * std::max({std::abs(a), std::abs(b), 1e-9});
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  const size_t m = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + ptrdiff_t(m), v.end());
  return v[m];
}

// Keeps the frames of the first temporal position when several are mixed.
void KeepFirstTemporalPosition(std::vector<TVolumeFrame>& frames, std::vector<std::string>& notes) {
  std::vector<int> seen;
  for (const TVolumeFrame& f : frames)
    if (std::find(seen.begin(), seen.end(), f.temporalPosition) == seen.end())
      seen.push_back(f.temporalPosition);
  if (seen.size() < 2) return;
  const int first = *std::min_element(seen.begin(), seen.end());
  std::erase_if(frames, [first](const TVolumeFrame& f) { return f.temporalPosition != first; });
  notes.push_back("the image holds " + std::to_string(seen.size()) +
                  " temporal positions: the volume is made of the first");
}

}  // namespace

std::string TVolumeFrame::Name() const {
  const std::string path = file ? file->path : std::string("?");
  const int frames = file ? file->header.XYZdim[2] : 1;
  return frames > 1 ? "frame " + std::to_string(frame) + " of " + path : path;
}

TFrameView TDecodingFrameSource::ViewOf(const DecodedFrame& f) {
  TFrameView v;
  if (!f.buff16.empty()) {
    v.words = f.buff16.data();
    v.count = f.buff16.size();
  } else if (!f.buff8.empty()) {
    v.bytes = f.buff8.data();
    v.count = f.buff8.size();
  }
  return v;
}

bool TDecodingFrameSource::UseFrame(const TVolumeFile& file, int frame,
                                    const std::function<void(const TFrameView&)>& use,
                                    std::string& reason) {
  DecodedFrame f;
  // One thread per frame: the builder decodes frames side by side.
  if (!DecodeFrame(file.path, file.header, file.header.gECATJPEG_pos_table,
                   file.header.gECATJPEG_size_table, frame, f, &reason, 1))
    return false;
  use(ViewOf(f));
  return true;
}

bool TCachedFrameSource::UseFrame(const TVolumeFile& file, int frame,
                                  const std::function<void(const TFrameView&)>& use,
                                  std::string& reason) {
  const FrameSourcePtr source = file.source ? file.source : MakeFrameSource(file.path, file.header);
  // Held for the copy only: the frame is pinned while `use` reads it.
  const FramePtr f = FCache.Acquire(*source, frame, &reason, 1);
  if (!f) return false;
  use(TDecodingFrameSource::ViewOf(*f));
  return true;
}

bool PlanVolume(std::vector<TVolumeFrame> frames, TVolumePlan& plan, std::string& reason) {
  plan = TVolumePlan{};
  std::erase_if(frames, [](const TVolumeFrame& f) { return !f.file; });
  KeepFirstTemporalPosition(frames, plan.notes);
  if (frames.size() < 2) {
    reason = "a volume needs at least two images; there " +
             std::string(frames.size() == 1 ? "is one" : "are none");
    return false;
  }

  // Size, samples and spacing of the first frame bind the others.
  const TVolumeFrame& ref = frames.front();
  const DICOMdata& h0 = ref.file->header;
  const FrameGeometry g0 = ComputeFrameGeometry(h0);
  if (h0.SamplesPerPixel != 1 || (g0.bitProduct != 8 && g0.bitProduct != 16)) {
    reason = "only grey images of 8 or 16 bits form a volume (" + ref.Name() + " has " +
             std::to_string(h0.SamplesPerPixel) + " samples of " +
             std::to_string(h0.Allocbits_per_pixel) + " bits)";
    return false;
  }
  if (g0.columns < 1 || g0.rows < 1) {
    reason = ref.Name() + " has no pixels";
    return false;
  }
  const Vec3 row0 = Unit({ref.orientation[0], ref.orientation[1], ref.orientation[2]});
  const Vec3 col0 = Unit({ref.orientation[3], ref.orientation[4], ref.orientation[5]});
  if (Norm(row0) == 0 || Norm(col0) == 0) {
    reason = ref.Name() + " has no Image Orientation (Patient)";
    return false;
  }
  if (std::abs(Dot(row0, col0)) > 0.01) {
    reason = "the row and column directions of " + ref.Name() + " are not at right angles";
    return false;
  }
  if (!(ref.rowSpacing > 0 && ref.columnSpacing > 0) || !std::isfinite(ref.rowSpacing) ||
      !std::isfinite(ref.columnSpacing)) {
    reason = ref.Name() + " has no Pixel Spacing";
    return false;
  }
  for (const TVolumeFrame& f : frames) {
    // Values no scanner writes (not numbers, a kilometre off, spacings of
    // metres) would only make planes of absurd size.
    const auto sane = [](double x, double limit) {
      return std::isfinite(x) && std::abs(x) <= limit;
    };
    bool numbers = sane(f.position.x, 1e6) && sane(f.position.y, 1e6) && sane(f.position.z, 1e6) &&
                   sane(f.rowSpacing, 1e4) && sane(f.columnSpacing, 1e4);
    for (double c : f.orientation) numbers = numbers && sane(c, 1.5);
    if (!numbers) {
      reason = f.Name() + " has a position, orientation or spacing out of any real range";
      return false;
    }
    const DICOMdata& h = f.file->header;
    if (h.XYZdim[0] != h0.XYZdim[0] || h.XYZdim[1] != h0.XYZdim[1]) {
      reason = "the images differ in size: " + ref.Name() + " has " + std::to_string(h0.XYZdim[0]) +
               " x " + std::to_string(h0.XYZdim[1]) + ", " + f.Name() + " " +
               std::to_string(h.XYZdim[0]) + " x " + std::to_string(h.XYZdim[1]);
      return false;
    }
    if (h.SamplesPerPixel != h0.SamplesPerPixel ||
        h.Allocbits_per_pixel != h0.Allocbits_per_pixel ||
        h.pixel_representation != h0.pixel_representation) {
      reason = "the images differ in bits or sign: " + ref.Name() + " and " + f.Name();
      return false;
    }
    const Vec3 r = Unit({f.orientation[0], f.orientation[1], f.orientation[2]});
    const Vec3 c = Unit({f.orientation[3], f.orientation[4], f.orientation[5]});
    if (Norm(r - row0) > kCosineTolerance || Norm(c - col0) > kCosineTolerance) {
      reason = "the images do not lie on parallel planes of one orientation: " + ref.Name() +
               " and " + f.Name();
      return false;
    }
    if (!Near(f.rowSpacing, ref.rowSpacing, 1e-3) ||
        !Near(f.columnSpacing, ref.columnSpacing, 1e-3)) {
      reason = "the images differ in pixel spacing: " + ref.Name() + " and " + f.Name();
      return false;
    }
    if (!Near(f.slope, ref.slope, 1e-6) || !Near(f.intercept, ref.intercept, 1e-6))
      plan.commonScale = true;
  }
  if (plan.commonScale) {
    // The real values every frame's stored range can take, over 65536 steps.
    const int bits = std::clamp(h0.Storedbits_per_pixel, 1, g0.bitProduct);
    const bool isSigned = h0.pixel_representation == 1;
    const double lo = isSigned ? -std::ldexp(1.0, bits - 1) : 0.0;
    const double hi = isSigned ? std::ldexp(1.0, bits - 1) - 1 : std::ldexp(1.0, bits) - 1;
    double realLo = 1e300, realHi = -1e300;
    for (const TVolumeFrame& f : frames) {
      if (!std::isfinite(f.slope) || !std::isfinite(f.intercept)) {
        reason = f.Name() + " has a rescale that is not a number";
        return false;
      }
      const double a = f.slope * lo + f.intercept, b = f.slope * hi + f.intercept;
      realLo = std::min({realLo, a, b});
      realHi = std::max({realHi, a, b});
    }
    plan.slope = realHi > realLo ? (realHi - realLo) / 65535.0 : 1.0;
    plan.intercept = realLo + 32768.0 * plan.slope;
    char b[96];
    std::snprintf(b, sizeof b, "%.6g and intercept %.6g", plan.slope, plan.intercept);
    plan.notes.push_back(
        std::string("the images differ in rescale: their values are shown on one scale (slope ") +
        b + ")");
  }

  // Order along the normal, turned to run towards the head, left or back.
  Vec3 normal = Unit(Cross(row0, col0));
  if (normal[DominantAxis(normal)] < 0) normal = -normal;
  std::stable_sort(frames.begin(), frames.end(), [&](const TVolumeFrame& a, const TVolumeFrame& b) {
    return Dot(a.position, normal) < Dot(b.position, normal);
  });
  const size_t n = frames.size();
  std::vector<double> depth(n), gaps(n - 1);
  for (size_t k = 0; k < n; ++k) depth[k] = Dot(frames[k].position - frames[0].position, normal);
  for (size_t k = 0; k + 1 < n; ++k) gaps[k] = depth[k + 1] - depth[k];
  const double median = Median(gaps);
  const double same = std::max(0.01, 0.05 * median);
  for (size_t k = 0; k + 1 < n; ++k)
    if (gaps[k] < same) {
      reason = "two images lie at the same position: " + frames[k].Name() + " and " +
               frames[k + 1].Name();
      return false;
    }

  // The origins must lie on one line (one stack, straight or tilted).
  const Vec3 run = frames.back().position - frames.front().position;
  const Vec3 along = Unit(run);
  const double offLimit = std::max(0.05, 0.5 * std::min(ref.rowSpacing, ref.columnSpacing));
  for (const TVolumeFrame& f : frames) {
    const Vec3 d = f.position - frames.front().position;
    const double off = Norm(d - along * Dot(d, along));
    if (off > offLimit) {
      reason = "the images do not lie on one stack: " + f.Name() + " is " + Mm(off) +
               " off the line of the others";
      return false;
    }
  }

  TVolumeGeometry& g = plan.geometry;
  g.columns = h0.XYZdim[0];
  g.rows = h0.XYZdim[1];
  g.slices = int(n);
  g.rowDir = row0;
  g.colDir = col0;
  g.normal = normal;
  g.columnSpacing = ref.columnSpacing;
  g.rowSpacing = ref.rowSpacing;
  g.depth = depth;
  g.origin.resize(n);
  for (size_t k = 0; k < n; ++k) g.origin[k] = frames[k].position;
  g.sliceSpacing = depth.back() / double(n - 1);
  g.tiltDegrees = std::acos(std::clamp(std::abs(Dot(along, normal)), 0.0, 1.0)) * 180.0 / kPi;
  if (g.tiltDegrees > 0.05)
    plan.notes.push_back(
        "gantry tilt of " + Degrees(g.tiltDegrees) +
        ": the slices are shifted along the stack and the planes are corrected for it");

  const auto [lo, hi] = std::minmax_element(gaps.begin(), gaps.end());
  const double tolerance = std::max(0.01, 0.01 * median);
  g.evenSpacing = *hi - *lo <= tolerance;
  if (!g.evenSpacing) {
    plan.notes.push_back("uneven slice spacing: from " + Mm(*lo) + " to " + Mm(*hi));
    for (size_t k = 0; k + 1 < n; ++k)
      if (gaps[k] > 1.5 * median) {
        const long missing = std::lround(gaps[k] / median) - 1;
        plan.notes.push_back(
            "gap of " + Mm(gaps[k]) + " between " + frames[k].Name() + " and " +
            frames[k + 1].Name() +
            (missing > 0 ? " (about " + std::to_string(missing) + " missing)" : ""));
      }
  }
  plan.isSigned = h0.pixel_representation == 1 || plan.commonScale;
  plan.bitsAllocated = g0.bitProduct;
  plan.bitsStored = plan.commonScale ? 16 : std::clamp(h0.Storedbits_per_pixel, 1, g0.bitProduct);
  plan.frames = std::move(frames);
  return true;
}

std::array<int, 3> ShrinkFactors(const std::array<int, 3>& dims, int maxSide, size_t maxBytes) {
  std::array<int, 3> f{1, 1, 1}, n{};
  for (size_t a = 0; a < 3; ++a) {
    const int d = std::max(dims[a], 1);
    if (maxSide > 0) f[a] = std::max(1, (d + maxSide - 1) / maxSide);
    n[a] = d / f[a];
  }
  while (size_t(n[0]) * size_t(n[1]) * size_t(n[2]) * sizeof(int16_t) > maxBytes) {
    // Coarsen the axis that is still the longest in voxels.
    size_t a = 0;
    for (size_t b = 1; b < 3; ++b)
      if (n[b] > n[a]) a = b;
    if (n[a] <= 1) break;
    ++f[a];
    n[a] = std::max(dims[a], 1) / f[a];
  }
  return f;
}

TVolumeGeometry CoarserGeometry(const TVolumeGeometry& g, const std::array<int, 3>& f) {
  TVolumeGeometry c = g;
  c.columns = std::max(g.columns / f[0], 1);
  c.rows = std::max(g.rows / f[1], 1);
  c.slices = std::max(g.slices / f[2], 1);
  c.columnSpacing = g.columnSpacing * f[0];
  c.rowSpacing = g.rowSpacing * f[1];
  c.origin.assign(size_t(c.slices), Vec3{});
  c.depth.assign(size_t(c.slices), 0);
  // Each coarse voxel sits at the mean of the fine centres of a full share.
  const Vec3 inPlane = g.rowDir * (g.columnSpacing * (f[0] - 1) * 0.5) +
                       g.colDir * (g.rowSpacing * (f[1] - 1) * 0.5);
  for (int k = 0; k < c.slices; ++k) {
    Vec3 o;
    double d = 0;
    for (int q = 0; q < f[2]; ++q) {
      const size_t fine = std::min(size_t(k * f[2] + q), g.origin.size() - 1);
      o = o + g.origin[fine];
      d += fine < g.depth.size() ? g.depth[fine] : 0;
    }
    c.origin[size_t(k)] = o * (1.0 / f[2]) + inPlane;
    c.depth[size_t(k)] = d / f[2];
  }
  for (int k = c.slices - 1; k >= 0; --k) c.depth[size_t(k)] -= c.depth[0];
  c.sliceSpacing = c.slices > 1 ? c.depth.back() / (c.slices - 1) : g.sliceSpacing * f[2];
  return c;
}

std::shared_ptr<TVolume> FillVolume(const TVolumePlan& plan, TFrameSource& source,
                                    std::string& reason, const TVolumeOptions& options) {
  const TVolumeGeometry& g = plan.geometry;
  const size_t n = plan.frames.size();
  if (n == 0 || size_t(g.slices) != n) {
    reason = "the volume has no planned frames";
    return nullptr;
  }
  auto vol = std::make_shared<TVolume>();
  vol->geometry = g;
  vol->isSigned = plan.isSigned;
  vol->bitsStored = plan.bitsStored;
  vol->notes = plan.notes;
  const size_t sliceSize = size_t(g.columns) * size_t(g.rows);
  // Shrink factors per grid axis; all 1 for a volume at full size.
  std::array<int, 3> factor{1, 1, 1};
  if (FrameCache* cache = source.BudgetCache()) {
    const int64_t budget = cache->Budget();
    if (options.shrinkToFit && int64_t(sliceSize * n * sizeof(int16_t)) > budget) {
      // Half the budget, so the cells' frames keep room beside it.
      factor =
          ShrinkFactors({g.columns, g.rows, g.slices}, 0, size_t(std::max<int64_t>(budget / 2, 0)));
      vol->geometry = CoarserGeometry(g, factor);
      const TVolumeGeometry& c = vol->geometry;
      vol->notes.push_back("Downsampled to fit the memory budget: " + std::to_string(g.columns) +
                           " x " + std::to_string(g.rows) + " x " + std::to_string(g.slices) +
                           " to " + std::to_string(c.columns) + " x " + std::to_string(c.rows) +
                           " x " + std::to_string(c.slices));
    }
    std::string why;
    if (!cache->Charge(int64_t(vol->SliceSize() * size_t(vol->geometry.slices) * sizeof(int16_t)),
                       vol->charge, &why)) {
      reason = "the volume does not fit in the memory for images: " + why;
      return nullptr;
    }
  }
  const bool shrink = factor != std::array<int, 3>{1, 1, 1};
  const TVolumeGeometry& cg = vol->geometry;
  // Work units: slices of the volume built, each from factor[2] frames (the last
  // also from the remainder).
  const size_t units = size_t(cg.slices);
  try {
    // Every word is written by its slice's copy below.
    vol->voxels = TVoxels(vol->SliceSize() * units);
  } catch (const std::bad_alloc&) {
    reason = "there is not enough memory for the volume (" +
             std::to_string(sliceSize * n * 2 / (1024 * 1024)) + " MB)";
    return nullptr;
  }

  std::vector<int> sliceMin(units, std::numeric_limits<int>::max()),
      sliceMax(units, std::numeric_limits<int>::min());
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex report;
  std::string firstError;
  int done = 0;
  // The frames' own signedness (a common scale makes the volume signed).
  const bool isSigned = plan.frames.front().file->header.pixel_representation == 1;
  const bool bytes = plan.bitsAllocated == 8;

  // Copies frame k into dst (a slice of words) and gives its stored range;
  // false, the first reason kept, when the frame cannot be had.
  const auto copyFrame = [&](size_t k, int16_t* dst, int& lo, int& hi) {
    const TVolumeFrame& f = plan.frames[k];
    lo = std::numeric_limits<int>::max(), hi = std::numeric_limits<int>::min();
    std::string why;
    bool fits = true;
    const bool ok = source.UseFrame(
        *f.file, f.frame,
        [&](const TFrameView& d) {
          if (!bytes && d.words && d.count >= sliceSize) {
            std::memcpy(dst, d.words, sliceSize * sizeof(int16_t));
            // One loop per signedness, so each vectorises.
            if (isSigned) {
              int16_t a = INT16_MAX, b = INT16_MIN;
              for (size_t i = 0; i < sliceSize; ++i)
                a = std::min(a, dst[i]), b = std::max(b, dst[i]);
              lo = a, hi = b;
            } else {
              const uint16_t* u = reinterpret_cast<const uint16_t*>(dst);
              uint16_t a = UINT16_MAX, b = 0;
              for (size_t i = 0; i < sliceSize; ++i) a = std::min(a, u[i]), b = std::max(b, u[i]);
              lo = a, hi = b;
            }
          } else if (bytes && d.bytes && d.count >= sliceSize) {
            for (size_t i = 0; i < sliceSize; ++i) {
              const int v = isSigned ? int(int8_t(d.bytes[i])) : int(d.bytes[i]);
              dst[i] = int16_t(v);
              lo = std::min(lo, v);
              hi = std::max(hi, v);
            }
          } else if (bytes && d.words && d.count >= sliceSize) {
            // Signed bytes are held as words, sign-extended already.
            for (size_t i = 0; i < sliceSize; ++i) {
              const int v = d.words[i];
              dst[i] = int16_t(v);
              lo = std::min(lo, v);
              hi = std::max(hi, v);
            }
          } else {
            fits = false;
            return;
          }
          if (plan.commonScale) {
            // word' = (word x slope_k + intercept_k - intercept) / slope, the
            // word read in the frame's own signedness (bytes are widened already).
            const double a = f.slope / plan.slope, b = (f.intercept - plan.intercept) / plan.slope;
            lo = INT16_MAX, hi = INT16_MIN;
            for (size_t i = 0; i < sliceSize; ++i) {
              const int v = bytes || isSigned ? int(dst[i]) : int(uint16_t(dst[i]));
              const int w = std::clamp(int(std::lround(v * a + b)), -32768, 32767);
              dst[i] = int16_t(w);
              lo = std::min(lo, w);
              hi = std::max(hi, w);
            }
          }
        },
        why);
    if (!ok || !fits) {
      std::lock_guard lock(report);
      if (!failed.exchange(true))
        firstError = f.Name() + (ok ? " does not decode to a grey frame of the volume's size"
                                    : " cannot be decoded: " + why);
      return false;
    }
    return true;
  };
  const auto work = [&] {
    std::vector<int16_t> fine;
    std::vector<int64_t> sum;
    for (;;) {
      if (failed || (options.cancel && *options.cancel)) return;
      const size_t u = next++;
      if (u >= units) return;
      int lo = std::numeric_limits<int>::max(), hi = std::numeric_limits<int>::min();
      size_t frames = 1;
      if (!shrink) {
        if (!copyFrame(u, vol->Slice(int(u)), lo, hi)) return;
      } else {
        // Means of the factors' voxels; the last along an axis also
        // takes the remainder.
        const size_t k0 = u * size_t(factor[2]), k1 = u + 1 == units ? n : k0 + size_t(factor[2]);
        frames = k1 - k0;
        fine.resize(sliceSize);
        sum.assign(vol->SliceSize(), 0);
        for (size_t k = k0; k < k1; ++k) {
          int flo, fhi;
          if (!copyFrame(k, fine.data(), flo, fhi)) return;
          for (int j = 0; j < g.rows; ++j) {
            const int jc = std::min(j / factor[1], cg.rows - 1);
            int64_t* dst = sum.data() + size_t(jc) * size_t(cg.columns);
            const int16_t* row = fine.data() + size_t(j) * size_t(g.columns);
            for (int i = 0; i < g.columns; ++i)
              dst[std::min(i / factor[0], cg.columns - 1)] +=
                  vol->isSigned ? int(row[i]) : int(uint16_t(row[i]));
          }
        }
        int16_t* out = vol->Slice(int(u));
        for (int jc = 0; jc < cg.rows; ++jc) {
          const int rows = jc + 1 == cg.rows ? g.rows - jc * factor[1] : factor[1];
          for (int ic = 0; ic < cg.columns; ++ic) {
            const int columns = ic + 1 == cg.columns ? g.columns - ic * factor[0] : factor[0];
            const double count = double(frames) * rows * columns;
            const size_t at = size_t(jc) * size_t(cg.columns) + size_t(ic);
            const int m = int(std::nearbyint(double(sum[at]) / count));
            out[at] = int16_t(uint16_t(m & 0xFFFF));
            lo = std::min(lo, m);
            hi = std::max(hi, m);
          }
        }
      }
      sliceMin[u] = lo;
      sliceMax[u] = hi;
      if (options.progress) {
        std::lock_guard lock(report);
        done += int(frames);
        options.progress(done, int(n));
      }
    }
  };
  int threads = options.threads > 0 ? options.threads : int(std::thread::hardware_concurrency());
  threads = std::clamp(threads, 1, int(std::min<size_t>(units, 64)));
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();

  if (failed) {
    reason = firstError;
    return nullptr;
  }
  if (options.cancel && *options.cancel) {
    reason = "the volume was cancelled";
    return nullptr;
  }
  vol->minValue = *std::min_element(sliceMin.begin(), sliceMin.end());
  vol->maxValue = *std::max_element(sliceMax.begin(), sliceMax.end());
  vol->header = plan.frames.front().file->header;
  DICOMdata& h = vol->header;
  h.gECATJPEG_table_entries = 0;
  h.gECATJPEG_pos_table.clear();
  h.gECATJPEG_size_table.clear();
  h.XYZdim[2] = 1;
  if (shrink) {
    h.XYZdim[0] = cg.columns, h.XYZdim[1] = cg.rows;
    h.XYZmm[0] = cg.columnSpacing, h.XYZmm[1] = cg.rowSpacing;
  }
  h.IntenScale = float(plan.commonScale ? plan.slope : plan.frames.front().slope);
  h.IntenIntercept = float(plan.commonScale ? plan.intercept : plan.frames.front().intercept);
  if (plan.commonScale) {
    h.pixel_representation = 1;
    h.Allocbits_per_pixel = h.Storedbits_per_pixel = 16;
    h.Lut = TLut{};  // the scale replaces any table
  }
  vol->slicePath.reserve(units);
  vol->sliceFrame.reserve(units);
  for (size_t u = 0; u < units; ++u) {
    const TVolumeFrame& first = plan.frames[u * size_t(factor[2])];
    vol->slicePath.push_back(first.file->path);
    vol->sliceFrame.push_back(first.frame);
  }
  return vol;
}

void* AllocateVoxelBlock(size_t bytes) {
#ifdef __linux__
  constexpr size_t kHuge = size_t(2) << 20;
  if (bytes >= 2 * kHuge) {
    const size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    void* p = std::aligned_alloc(kHuge, rounded);
    if (!p) throw std::bad_alloc();
    madvise(p, rounded, MADV_HUGEPAGE);
    return p;
  }
#endif
  return ::operator new(bytes);
}

void FreeVoxelBlock(void* p, size_t bytes) noexcept {
#ifdef __linux__
  if (bytes >= 2 * (size_t(2) << 20)) {
    std::free(p);
    return;
  }
#endif
  ::operator delete(p);
}

std::shared_ptr<TVolume> BuildVolume(std::vector<TVolumeFrame> frames, TFrameSource& source,
                                     std::string& reason, const TVolumeOptions& options) {
  TVolumePlan plan;
  if (!PlanVolume(std::move(frames), plan, reason)) return nullptr;
  return FillVolume(plan, source, reason, options);
}
