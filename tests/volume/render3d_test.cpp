#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>

#include "support/paths.h"
#include "volume/Render3D.h"
#include "volume/VolumeBuilder.h"
#include "volume/VolumeInput.h"
#include "volume_fixtures.h"

namespace {

void ExpectVec(Vec3 got, Vec3 want, const char* what) {
  EXPECT_NEAR(got.x, want.x, 1e-9) << what;
  EXPECT_NEAR(got.y, want.y, 1e-9) << what;
  EXPECT_NEAR(got.z, want.z, 1e-9) << what;
}

// An in-memory axial volume whose voxel values are f(i, j, k).
std::shared_ptr<TVolume> Grid(int columns, int rows, int slices, double cs, double rs, Vec3 step,
                              const std::function<int(int, int, int)>& f, bool isSigned = true) {
  auto v = std::make_shared<TVolume>();
  TVolumeGeometry& g = v->geometry;
  g.columns = columns, g.rows = rows, g.slices = slices;
  g.rowDir = {1, 0, 0}, g.colDir = {0, 1, 0}, g.normal = {0, 0, 1};
  g.columnSpacing = cs, g.rowSpacing = rs;
  for (int k = 0; k < slices; ++k) {
    g.origin.push_back(Vec3{-5, -7, 11} + step * double(k));
    g.depth.push_back(step.z * k);
  }
  g.sliceSpacing = step.z;
  if (step.x != 0 || step.y != 0)
    g.tiltDegrees = std::atan2(std::hypot(step.x, step.y), step.z) * 180 / 3.14159265358979;
  v->isSigned = isSigned;
  v->voxels.resize(v->SliceSize() * size_t(slices));
  v->minValue = isSigned ? 32767 : 65535;
  v->maxValue = isSigned ? -32768 : 0;
  for (int k = 0; k < slices; ++k)
    for (int j = 0; j < rows; ++j)
      for (int i = 0; i < columns; ++i) {
        const int x = f(i, j, k);
        v->Slice(k)[size_t(j) * size_t(columns) + size_t(i)] = int16_t(uint16_t(x & 0xFFFF));
        v->minValue = std::min(v->minValue, x);
        v->maxValue = std::max(v->maxValue, x);
      }
  return v;
}

TEST(Render3DNames, ParseWhatTheyName) {
  for (TRenderMode m : {TRenderMode::Vr, TRenderMode::Mip, TRenderMode::MinIp, TRenderMode::Mean}) {
    TRenderMode back = TRenderMode::Vr;
    EXPECT_TRUE(ParseRenderMode(RenderModeName(m), back));
    EXPECT_EQ(back, m);
  }
  TRenderMode m;
  EXPECT_TRUE(ParseRenderMode("MIP", m));
  EXPECT_FALSE(ParseRenderMode("", m));
  EXPECT_FALSE(ParseRenderMode("mipx", m));
  for (const std::string& name : TransferPresetNames()) {
    TTransferFunction tf;
    ASSERT_TRUE(TransferPreset(name, m, tf)) << name;
    EXPECT_EQ(tf.name, name);
    EXPECT_EQ(m, name == "mip" ? TRenderMode::Mip : TRenderMode::Vr) << name;
    EXPECT_TRUE(name == "mip" || tf.points.size() >= 2) << name;
    EXPECT_TRUE(std::is_sorted(tf.points.begin(), tf.points.end(), [](auto& a, auto& b) {
      return a.value < b.value;
    })) << name;
  }
  TTransferFunction tf;
  EXPECT_TRUE(TransferPreset("Soft Tissue", m, tf));
  EXPECT_FALSE(TransferPreset("skin", m, tf));
  TStandardView view;
  EXPECT_TRUE(ParseStandardView("Left", view));
  EXPECT_EQ(view, TStandardView::Left);
  EXPECT_FALSE(ParseStandardView("lateral", view));
  TProjectionView pv;
  EXPECT_TRUE(ParseProjectionView("lateral", pv));
  EXPECT_EQ(pv, TProjectionView::Lateral);
  EXPECT_FALSE(ParseProjectionView("left", pv));
}

TEST(Camera, StandardViewsLookFromTheirSide) {
  const auto check = [](TStandardView v, Vec3 right, Vec3 up, Vec3 toward) {
    const TCamera c = StandardCamera(v);
    ExpectVec(c.right, right, StandardViewName(v));
    ExpectVec(c.up, up, StandardViewName(v));
    ExpectVec(c.Toward(), toward, StandardViewName(v));
  };
  // Patient axes: +x left, +y posterior, +z head.
  check(TStandardView::Anterior, {1, 0, 0}, {0, 0, 1}, {0, -1, 0});
  check(TStandardView::Posterior, {-1, 0, 0}, {0, 0, 1}, {0, 1, 0});
  check(TStandardView::Left, {0, 1, 0}, {0, 0, 1}, {1, 0, 0});
  check(TStandardView::Right, {0, -1, 0}, {0, 0, 1}, {-1, 0, 0});
  check(TStandardView::Superior, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1});
  check(TStandardView::Inferior, {1, 0, 0}, {0, -1, 0}, {0, 0, -1});
}

TEST(Camera, OrbitAndTurnKeepAFrameAndReachTheSideViews) {
  const TCamera left = StandardCamera(TStandardView::Left);
  TCamera c = OrbitCamera(90, 0);
  ExpectVec(c.right, left.right, "azimuth 90 right");
  ExpectVec(c.up, left.up, "azimuth 90 up");
  c = OrbitCamera(180, 0);
  ExpectVec(c.Toward(), {0, 1, 0}, "azimuth 180 looks from behind");
  c = OrbitCamera(0, 90);
  ExpectVec(c.Toward(), {0, 0, 1}, "elevation 90 looks down from above");
  ExpectVec(c.right, {1, 0, 0}, "elevation keeps the horizontal");

  // A horizontal drag turns the volume's front towards the picture's right,
  // i.e. the eye goes the other way: a quarter turn from anterior shows the
  // patient's right side.
  c = StandardCamera(TStandardView::Anterior);
  TurnCamera(c, 3.14159265358979 / 2, 0);
  ExpectVec(c.Toward(), StandardCamera(TStandardView::Right).Toward(), "turn across");
  // A vertical drag moves the front down: the eye rises over the head.
  c = StandardCamera(TStandardView::Anterior);
  TurnCamera(c, 0, 3.14159265358979 / 2);
  ExpectVec(c.Toward(), {0, 0, 1}, "turn down");

  // Many small turns stay orthonormal; rubbish leaves a usable camera.
  c = OrbitCamera(33, -21);
  for (int n = 0; n < 5000; ++n) TurnCamera(c, 0.0137, -0.0091);
  EXPECT_NEAR(Norm(c.right), 1, 1e-9);
  EXPECT_NEAR(Norm(c.up), 1, 1e-9);
  EXPECT_NEAR(Dot(c.right, c.up), 0, 1e-9);
  TurnCamera(c, std::nan(""), INFINITY);
  EXPECT_NEAR(Norm(c.Toward()), 1, 1e-9);
  c = OrbitCamera(std::nan(""), 1e300);
  EXPECT_NEAR(Norm(c.Toward()), 1, 1e-9);
}

TEST(TransferLut, InterpolatesShiftsScalesAndCorrectsForTheStep) {
  // Stored 0..1000 with slope 2, intercept -1000: modality -1000..1000.
  auto v = Grid(2, 1, 1, 1, 1, {0, 0, 1}, [](int i, int, int) { return i * 1000; });
  v->header.IntenScale = 2;
  v->header.IntenIntercept = -1000;
  TTransferFunction tf;
  tf.points = {{0, 0, 0, 0, 0}, {200, 1, 0.5f, 0.25f, 0.5f}};
  TTransferLut lut = BuildTransferLut(tf, *v, 1);
  ASSERT_EQ(lut.rgba.size(), size_t(TTransferLut::kEntries));
  EXPECT_EQ(lut.lo, 0);
  EXPECT_EQ(lut.hi, 1000);
  EXPECT_TRUE(lut.anyOpaque);
  // Stored 550 is modality 100: half way up the ramp.
  auto at = lut.At(550);
  EXPECT_NEAR(at[0], 0.5, 2e-3);
  EXPECT_NEAR(at[3], 0.25, 2e-3);
  EXPECT_EQ(lut.At(-5)[3], 0);  // beyond the ends: the end entries
  EXPECT_FLOAT_EQ(lut.At(1e9)[3], 0.5f);
  EXPECT_FLOAT_EQ(lut.At(1e9)[2], 0.25f);
  // Between entries: linear.
  const double e = (lut.hi - lut.lo) / (TTransferLut::kEntries - 1);
  const auto a = lut.At(lut.lo + 2300 * e), b = lut.At(lut.lo + 2301 * e),
             mid = lut.At(lut.lo + 2300.25 * e);
  EXPECT_NEAR(mid[3], a[3] + (b[3] - a[3]) * 0.25, 1e-6);

  // A step of 2 mm: 1 - (1 - 0.5)^2.
  lut = BuildTransferLut(tf, *v, 2);
  EXPECT_NEAR(lut.At(1000)[3], 0.75, 1e-6);
  lut = BuildTransferLut(tf, *v, 0.5);
  EXPECT_NEAR(lut.At(1000)[3], 1 - std::sqrt(0.5), 1e-6);

  // Shift by 100 about centre 0: the ramp now ends at 300 (stored 650).
  tf.shift = 100;
  lut = BuildTransferLut(tf, *v, 1);
  EXPECT_NEAR(lut.At(600)[3], 0.25, 2e-3);  // modality 200, half way
  // Scale 2 about centre 100 (shift 0): the ramp runs -100..300.
  tf.shift = 0, tf.centre = 100, tf.scale = 2;
  lut = BuildTransferLut(tf, *v, 1);
  EXPECT_NEAR(lut.At(500)[3], 0.125, 2e-3);  // modality 0, a quarter up
  EXPECT_NEAR(lut.At(450)[3], 0, 2e-3);      // modality -100

  // Nothing opaque: said so.
  tf = {};
  tf.points = {{0, 1, 1, 1, 0}, {100, 1, 1, 1, 0}};
  EXPECT_FALSE(BuildTransferLut(tf, *v, 1).anyOpaque);
  EXPECT_FALSE(BuildTransferLut(TTransferFunction{}, *v, 1).anyOpaque);
  // A flat volume still gets a usable table.
  auto flat = Grid(2, 2, 2, 1, 1, {0, 0, 1}, [](int, int, int) { return 7; });
  tf.points = {{0, 1, 1, 1, 0.3f}};
  lut = BuildTransferLut(tf, *flat, 1);
  EXPECT_GT(lut.hi, lut.lo);
  EXPECT_NEAR(lut.At(7)[3], 0.3, 1e-6);
}

// The patient position of a voxel-space point by the volume's affine map.
Vec3 Patient(const TVolume& v, Vec3 ijk) {
  const TVolumeGeometry& g = v.geometry;
  return g.origin[0] + g.rowDir * (g.columnSpacing * ijk.x) + g.colDir * (g.rowSpacing * ijk.y) +
         g.SliceStep() * ijk.z;
}

TEST(RayFrame, CentreRayHitsTheCentreAndStepsAreInMillimetres) {
  // Anisotropic and tilted: slices 2.5 mm apart, shifted 0.5 mm along y each.
  for (Vec3 sliceStep : {Vec3{0, 0, 2.5}, Vec3{0, 0.5, 2.5}}) {
    auto v = Grid(21, 11, 9, 0.7, 0.9, sliceStep, [](int, int, int) { return 0; });
    for (TStandardView view :
         {TStandardView::Anterior, TStandardView::Left, TStandardView::Superior}) {
      TRenderSettings s;
      s.camera = StandardCamera(view);
      s.width = 101, s.height = 61;
      const TRayFrame f = RayFrameOf(*v, s);
      EXPECT_EQ(f.columns, 21);
      EXPECT_EQ(f.slices, 9);
      // The centre pixel's ray passes through the volume's centre.
      const Vec3 at = f.origin + f.dx * 50 + f.dy * 30;
      const Vec3 centre{10, 5, 4};
      const Vec3 off = Patient(*v, at) - Patient(*v, centre);
      const Vec3 dir = Unit(Patient(*v, f.step) - Patient(*v, {}));
      EXPECT_NEAR(Norm(off - dir * Dot(off, dir)), 0, 1e-9) << StandardViewName(view);
      // The step runs into the screen and is the smallest spacing long.
      ExpectVec(dir, -s.camera.Toward(), "step direction");
      EXPECT_NEAR(f.stepMm, 0.7, 1e-12);
      EXPECT_NEAR(Norm(Patient(*v, f.step) - Patient(*v, {})), 0.7, 1e-9);
      // Pixels are square in patient space and run along right / down.
      const Vec3 px = Patient(*v, f.dx) - Patient(*v, {}), py = Patient(*v, f.dy) - Patient(*v, {});
      EXPECT_NEAR(Norm(px), Norm(py), 1e-9);
      ExpectVec(Unit(px), s.camera.right, "dx");
      ExpectVec(Unit(py), -s.camera.up, "dy");
      ExpectVec(f.toEye, s.camera.Toward(), "toEye");
      // Zoom 1 fits the sphere about the box in the smaller side (61 px).
      const double diag = Norm(Patient(*v, {20, 10, 8}) - Patient(*v, {}));
      if (sliceStep.y == 0)
        EXPECT_NEAR(Norm(py) * 61, diag, 1e-9);
      else
        EXPECT_GE(Norm(py) * 61, diag - 1e-9);
    }
  }
}

TEST(RayFrame, GradientMapTakesVoxelDifferencesToPatientGradients) {
  // A field linear in patient position, f(p) = g . p: its voxel differences
  // mapped by the matrix must give back g, whatever spacing and tilt.
  auto v = Grid(5, 5, 5, 0.6, 1.3, {0, 0.8, 3}, [](int, int, int) { return 0; });
  const Vec3 grad{0.3, -1.2, 2.0};
  const Vec3 voxelGrad{Dot(grad, Patient(*v, {1, 0, 0}) - Patient(*v, {})),
                       Dot(grad, Patient(*v, {0, 1, 0}) - Patient(*v, {})),
                       Dot(grad, Patient(*v, {0, 0, 1}) - Patient(*v, {}))};
  const TRayFrame f = RayFrameOf(*v, TRenderSettings{});
  ExpectVec({Dot(f.gradientToPatient[0], voxelGrad), Dot(f.gradientToPatient[1], voxelGrad),
             Dot(f.gradientToPatient[2], voxelGrad)},
            grad, "patient gradient");
}

TEST(RayFrame, ZoomPanAndCropPlaceTheFrame) {
  auto v = Grid(11, 11, 11, 1, 1, {0, 0, 1}, [](int, int, int) { return 0; });
  TRenderSettings s;
  s.width = s.height = 11;
  const TRayFrame f1 = RayFrameOf(*v, s);
  s.camera.zoom = 2;
  s.camera.panRight = 3;
  s.camera.panUp = -2;
  s.stepFactor = 2.5;
  s.crop.lo = {0.2, 0, 0.5};
  s.crop.hi = {0.8, 1, 0.5};
  const TRayFrame f2 = RayFrameOf(*v, s);
  EXPECT_NEAR(Norm(f2.dx), Norm(f1.dx) / 2, 1e-12);
  // Centre pixel: 3 mm right (+x) and 2 mm down (-z) of the volume's centre.
  const Vec3 c = f2.origin + f2.dx * 5 + f2.dy * 5;
  EXPECT_NEAR(c.x, 5 + 3, 1e-9);
  EXPECT_NEAR(c.z, 5 - 2, 1e-9);
  EXPECT_NEAR(f2.stepMm, 2.5, 1e-12);
  ExpectVec(f2.boxLo, {2, 0, 5}, "crop lo");
  ExpectVec(f2.boxHi, {8, 10, 5}, "crop hi");
  TCropBox box;
  EXPECT_FALSE(box.Empty());
  box.lo[2] = box.hi[2] = 0.5;
  EXPECT_FALSE(box.Empty());  // one plane is still something
  box.lo[1] = 0.7, box.hi[1] = 0.3;
  EXPECT_TRUE(box.Empty());
  box = {};
  box.lo[0] = std::nan("");
  EXPECT_TRUE(box.Empty());
  // Rubbish settings give a finite frame.
  s = {};
  s.width = 0, s.height = -5, s.camera.zoom = 0, s.stepFactor = std::nan("");
  const TRayFrame f3 = RayFrameOf(*v, s);
  EXPECT_TRUE(std::isfinite(f3.origin.x) && std::isfinite(Norm(f3.dx)) && Norm(f3.step) > 0);
}

}  // namespace

namespace {

// The ray caster as the shared conventions describe it, sample by sample in
// double precision with no skipping: what both casters must draw.
struct TReference {
  const TVolume& v;
  double Voxel(int i, int j, int k) const {
    const TVolumeGeometry& g = v.geometry;
    return v.At(std::clamp(i, 0, g.columns - 1), std::clamp(j, 0, g.rows - 1),
                std::clamp(k, 0, g.slices - 1));
  }
  double At(Vec3 p) const {
    const TVolumeGeometry& g = v.geometry;
    p = {std::clamp(p.x, 0.0, g.columns - 1.0), std::clamp(p.y, 0.0, g.rows - 1.0),
         std::clamp(p.z, 0.0, g.slices - 1.0)};
    const int i = int(std::floor(p.x)), j = int(std::floor(p.y)), k = int(std::floor(p.z));
    const double fx = p.x - i, fy = p.y - j, fz = p.z - k;
    double sum = 0;
    for (int c = 0; c < 8; ++c) {
      const double w = (c & 1 ? fx : 1 - fx) * (c & 2 ? fy : 1 - fy) * (c & 4 ? fz : 1 - fz);
      if (w != 0) sum += w * Voxel(i + (c & 1), j + (c >> 1 & 1), k + (c >> 2 & 1));
    }
    return sum;
  }
  // Every sample of pixel (x, y)'s ray inside the box, front to back.
  std::vector<Vec3> Samples(const TRayFrame& f, int x, int y) const {
    std::vector<Vec3> out;
    const Vec3 o = f.origin + f.dx * x + f.dy * y;
    // Every n whose point lies within the box's diagonal of the box's centre
    // along the ray, each checked against the box.
    const Vec3 centre = (f.boxLo + f.boxHi) * 0.5;
    const double len2 = Dot(f.step, f.step);
    const double tc = Dot(centre - o, f.step) / len2,
                 reach = Norm(f.boxHi - f.boxLo) / std::sqrt(len2);
    for (int n = int(std::floor(tc - reach)) - 1; n <= int(std::ceil(tc + reach)) + 1; ++n) {
      const Vec3 p = o + f.step * n;
      bool inside = true;
      for (int a = 0; a < 3; ++a) inside &= p[a] >= f.boxLo[a] - 1e-6 && p[a] <= f.boxHi[a] + 1e-6;
      if (inside) out.push_back(p);
    }
    return out;
  }
  TRenderImage Render(const TRenderSettings& s) const {
    const TRayFrame f = RayFrameOf(v, s);
    const TTransferLut lut = BuildTransferLut(s.tf, v, f.stepMm);
    const double slope = v.header.IntenScale, icpt = v.header.IntenIntercept;
    const double c = s.tf.windowCentre, w = s.tf.windowWidth;
    TRenderImage img{s.width, s.height, {}};
    for (int y = 0; y < s.height; ++y)
      for (int x = 0; x < s.width; ++x) {
        const std::vector<Vec3> ps = Samples(f, x, y);
        uint32_t px = 0xff000000u;
        if (s.mode == TRenderMode::Vr) {
          double C[3] = {0, 0, 0}, A = 0;
          for (const Vec3& p : ps) {
            const auto rgba = lut.At(At(p));
            if (rgba[3] <= 0) continue;
            const Vec3 gv{(At(p + Vec3{1, 0, 0}) - At(p - Vec3{1, 0, 0})) / 2,
                          (At(p + Vec3{0, 1, 0}) - At(p - Vec3{0, 1, 0})) / 2,
                          (At(p + Vec3{0, 0, 1}) - At(p - Vec3{0, 0, 1})) / 2};
            const Vec3 gp{Dot(f.gradientToPatient[0], gv), Dot(f.gradientToPatient[1], gv),
                          Dot(f.gradientToPatient[2], gv)};
            double k = s.tf.ambient + s.tf.diffuse, spec = 0;
            if (Norm(gp) >= kFlatGradient) {
              const double d = std::abs(Dot(Unit(gp), f.toEye));
              k = s.tf.ambient + s.tf.diffuse * d;
              spec = s.tf.specular * std::pow(d, s.tf.shininess);
            }
            for (int ch = 0; ch < 3; ++ch)
              C[ch] +=
                  (1 - A) * rgba[3] * (s.tf.shade ? rgba[size_t(ch)] * k + spec : rgba[size_t(ch)]);
            A += (1 - A) * rgba[3];
            if (A >= 0.99) break;
          }
          for (int ch = 0; ch < 3; ++ch)
            px |= uint32_t(std::lround(std::clamp(C[ch], 0.0, 1.0) * 255)) << (16 - 8 * ch);
        } else if (!ps.empty()) {
          double m = s.mode == TRenderMode::Mip ? -1e300 : 1e300, sum = 0;
          for (const Vec3& p : ps) {
            const double a = At(p);
            m = s.mode == TRenderMode::Mip ? std::max(m, a) : std::min(m, a);
            sum += a;
          }
          if (s.mode == TRenderMode::Mean) m = sum / double(ps.size());
          const double grey = std::clamp((m * slope + icpt - (c - 0.5)) / (w - 1) + 0.5, 0.0, 1.0);
          const uint32_t q = uint32_t(std::lround(grey * 255));
          px |= q << 16 | q << 8 | q;
        }
        img.pixels.push_back(px);
      }
    return img;
  }
};

// The largest difference of any colour channel between two pictures.
int MaxChannelDiff(const TRenderImage& a, const TRenderImage& b) {
  int worst = 0;
  for (size_t n = 0; n < std::min(a.pixels.size(), b.pixels.size()); ++n)
    for (int sh : {0, 8, 16})
      worst =
          std::max(worst, std::abs(int(a.pixels[n] >> sh & 255) - int(b.pixels[n] >> sh & 255)));
  return worst;
}

// The bright pixels' extent: columns and rows spanned.
std::pair<int, int> Extent(const TRenderImage& img, int threshold = 40) {
  int x0 = img.width, x1 = -1, y0 = img.height, y1 = -1;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      if (int(img.pixels[size_t(y) * size_t(img.width) + size_t(x)] >> 8 & 255) > threshold) {
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
      }
  return {x1 - x0 + 1, y1 - y0 + 1};
}

TRenderImage Draw(const TVolumeRenderer& r, const TRenderSettings& s, std::string* note = nullptr) {
  TRenderImage img;
  std::string reason;
  EXPECT_TRUE(r.Render(s, img, reason, note)) << reason;
  return img;
}

// A blob of bone-like values in a noisy body, tilted and anisotropic: enough
// structure for every block to matter.
std::shared_ptr<TVolume> Phantom(bool isSigned, bool tilted = true) {
  auto v = Grid(
      37, 29, 23, 0.8, 1.1, {0, tilted ? 0.4 : 0.0, 1.7},
      [&](int i, int j, int k) {
        const double dx = (i - 18) / 12.0, dy = (j - 14) / 9.0, dz = (k - 11) / 8.0;
        const double r2 = dx * dx + dy * dy + dz * dz;
        const int noise = int((i * 7 + j * 13 + k * 29) % 11) - 5;
        int hu = r2 < 0.3 ? 900 : (r2 < 1 ? 60 : -1000);
        if (i == 30 && j > 5 && j < 20) hu = 400;  // a vessel away from the blob
        return hu + noise + (isSigned ? 0 : 1024);
      },
      isSigned);
  v->header.IntenScale = 1;
  v->header.IntenIntercept = isSigned ? 0 : -1024;
  return v;
}

TEST(VolumeRenderer, SkippingBlocksDrawsWhatEverySampleDraws) {
  for (bool isSigned : {true, false}) {
    // Signed words tilted, unsigned ones not: an untilted stack's rays from
    // above run along its slices too.
    auto v = Phantom(isSigned, isSigned);
    TVolumeRenderer r(v);
    TReference ref{*v};
    // An oblique eye, and eyes along the grid's axes (the anterior and left
    // rays of this stack run along its rows and columns, which the caster
    // takes a shortcut for).
    const TCamera cameras[] = {OrbitCamera(37, 23), StandardCamera(TStandardView::Anterior),
                               StandardCamera(TStandardView::Left),
                               StandardCamera(TStandardView::Inferior)};
    for (const char* preset : {"bone", "soft tissue", "mip"})
      for (TRenderMode mode :
           {TRenderMode::Vr, TRenderMode::Mip, TRenderMode::MinIp, TRenderMode::Mean})
        for (size_t c = 0; c < std::size(cameras); ++c) {
          TRenderSettings s;
          TRenderMode presetMode;
          ASSERT_TRUE(TransferPreset(preset, presetMode, s.tf));
          if ((mode == TRenderMode::Vr) != (presetMode == TRenderMode::Vr)) continue;
          s.mode = mode;
          if (mode != TRenderMode::Vr) s.tf.windowCentre = 0, s.tf.windowWidth = 2000;
          s.width = 48, s.height = 40;
          s.camera = cameras[c];
          s.camera.zoom = 1.4;
          s.crop.lo = {0.1, 0, 0.2};
          const TRenderImage got = Draw(r, s), want = ref.Render(s);
          // Float against double samples: a step of rounding at most.
          EXPECT_LE(MaxChannelDiff(got, want), 1)
              << preset << " " << RenderModeName(mode) << " camera " << c;
          if (mode != TRenderMode::MinIp) {  // every ray meets air in this box
            EXPECT_GT(Extent(got, 20).first, 10)
                << preset << " " << RenderModeName(mode) << " camera " << c;
          }
        }
  }
}

TEST(VolumeRenderer, ASphereLooksTheSameFromEverySide) {
  auto v = Grid(33, 33, 33, 1, 1, {0, 0, 1}, [](int i, int j, int k) {
    const double r =
        std::sqrt(double((i - 16) * (i - 16) + (j - 16) * (j - 16) + (k - 16) * (k - 16)));
    return r < 10 ? 1000 : 0;
  });
  TVolumeRenderer r(v);
  TRenderSettings s;
  TRenderMode mode;
  ASSERT_TRUE(TransferPreset("bone", mode, s.tf));
  s.width = s.height = 65;
  const TRenderImage front = Draw(r, s);
  // Lit from the eye: bright in the middle, dimmer at the rim, black around.
  const auto grey = [&](const TRenderImage& img, int x, int y) {
    return int(img.pixels[size_t(y) * size_t(img.width) + size_t(x)] >> 8 & 255);
  };
  EXPECT_GT(grey(front, 32, 32), 150);
  EXPECT_LT(grey(front, 32 + 13, 32), grey(front, 32, 32));
  EXPECT_EQ(front.pixels[0], 0xff000000u);
  // Mirror symmetric.
  for (int y = 0; y < 65; ++y)
    for (int x = 0; x < 65; ++x)
      ASSERT_NEAR(grey(front, x, y), grey(front, 64 - x, y), 2) << x << "," << y;
  for (TStandardView view :
       {TStandardView::Left, TStandardView::Superior, TStandardView::Posterior}) {
    s.camera = StandardCamera(view);
    EXPECT_LE(MaxChannelDiff(Draw(r, s), front), 2) << StandardViewName(view);
  }
}

TEST(VolumeRenderer, AQuarterTurnAboutTheVerticalShowsTheSide) {
  // A rod along the patient's x axis (left-right) and a short stub along y.
  auto v = Grid(41, 41, 41, 1, 1, {0, 0, 1}, [](int i, int j, int k) {
    const bool rod = std::abs(j - 20) <= 1 && std::abs(k - 20) <= 1 && i >= 4 && i <= 36;
    return rod ? 1000 : 0;
  });
  TVolumeRenderer r(v);
  TRenderSettings s;
  s.mode = TRenderMode::Mip;
  s.tf.windowCentre = 500, s.tf.windowWidth = 1000;
  s.width = s.height = 60;
  const auto front = Extent(Draw(r, s));
  EXPECT_GT(front.first, 20);  // long across
  EXPECT_LT(front.second, 6);
  s.camera = OrbitCamera(90, 0);
  const TRenderImage side = Draw(r, s);
  EXPECT_LT(Extent(side).first, 6);  // a dot
  EXPECT_LT(Extent(side).second, 6);
  s.camera = StandardCamera(TStandardView::Left);
  EXPECT_EQ(Draw(r, s).pixels, side.pixels);
  // A drag across by a quarter turn does the same (seen from the right).
  s.camera = {};
  TurnCamera(s.camera, 3.14159265358979 / 2, 0);
  EXPECT_LT(Extent(Draw(r, s)).first, 6);
}

TEST(VolumeRenderer, NothingToDrawGivesABlackPictureAndSaysWhy) {
  auto v = Phantom(true);
  TVolumeRenderer r(v);
  TRenderSettings s;
  TRenderMode mode;
  ASSERT_TRUE(TransferPreset("bone", mode, s.tf));
  s.width = 20, s.height = 10;
  std::string note;
  s.crop.lo[1] = 0.6, s.crop.hi[1] = 0.4;
  TRenderImage img = Draw(r, s, &note);
  EXPECT_EQ(note, "The crop box is empty");
  EXPECT_EQ(img.pixels, std::vector<uint32_t>(200, 0xff000000u));
  s.crop = {};
  for (TTransferPoint& p : s.tf.points) p.a = 0;
  note.clear();
  img = Draw(r, s, &note);
  EXPECT_EQ(note, "The transfer function has no opaque range");
  EXPECT_EQ(img.pixels, std::vector<uint32_t>(200, 0xff000000u));
  // An opaque range beyond the volume's values is no opaque range either.
  s.tf.points = {{5000, 1, 1, 1, 0}, {6000, 1, 1, 1, 1}};
  note.clear();
  Draw(r, s, &note);
  EXPECT_EQ(note, "The transfer function has no opaque range");

  // Unusable requests fail with a reason instead of drawing.
  std::string reason;
  s.width = 0;
  EXPECT_FALSE(r.Render(s, img, reason));
  EXPECT_FALSE(reason.empty());
  s.width = 1 << 20, s.height = 1 << 20;
  EXPECT_FALSE(r.Render(s, img, reason));
  TVolumeRenderer none(std::make_shared<TVolume>());
  s.width = s.height = 4;
  EXPECT_FALSE(none.Render(s, img, reason));
}

TEST(VolumeRenderer, ACancelledPictureStopsAndSaysSo) {
  auto v = Phantom(false);
  TVolumeRenderer r(v);
  TRenderSettings s;
  s.mode = TRenderMode::Mean;
  s.width = s.height = 2000;
  s.stepFactor = 0.1;
  std::atomic<bool> cancel{true};
  TRenderImage img;
  std::string reason;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(r.Render(s, img, reason, nullptr, &cancel));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 0.5);
  EXPECT_EQ(reason, "the picture was cancelled");
}

}  // namespace

namespace {

std::shared_ptr<TVolume> BuildSeries(const std::string& name, const volfix::SeriesSpec& s) {
  const std::string dir = testsupport::TempDir("render3d-" + name);
  volfix::WriteSeries(dir, s);
  std::vector<TVolumeFrame> frames;
  std::string reason;
  EXPECT_TRUE(FramesFromPath(dir, frames, reason)) << reason;
  TDecodingFrameSource source;
  auto v = BuildVolume(std::move(frames), source, reason);
  EXPECT_TRUE(v) << reason;
  return v;
}

// Brute force over the fixture's own values: an axial stack written foot to
// head (or head to foot), projected along one patient axis, the head at the
// top of coronal and sagittal pictures.
TEST(ProjectVolume, EqualsABruteForceProjectionWithSpacingAndTilt) {
  volfix::SeriesSpec base;
  base.columns = 9, base.rows = 7, base.slices = 6;
  base.columnSpacing = 0.6, base.rowSpacing = 1.3;
  std::vector<std::pair<std::string, volfix::SeriesSpec>> cases;
  cases.emplace_back("plain", base);
  volfix::SeriesSpec tilted = base;
  tilted.step = {0, 0.7, 2.5};  // a gantry tilt shears the slices along y
  cases.emplace_back("tilted", tilted);
  volfix::SeriesSpec downward = base;
  downward.step = {0, 0, -3};  // written head first
  downward.isSigned = false;
  cases.emplace_back("downward", downward);
  for (const auto& entry : cases) {
    const std::string& name = entry.first;
    const volfix::SeriesSpec& spec = entry.second;
    auto v = BuildSeries(name, spec);
    ASSERT_TRUE(v);
    const int C = spec.columns, R = spec.rows, S = spec.slices;
    // Fixture slice of volume slice k (the volume runs foot to head).
    const auto value = [&](int i, int j, int k) {
      const int f = spec.step.z > 0 ? k : S - 1 - k;
      return spec.isSigned ? volfix::Value(spec, i, j, f) : volfix::Value(spec, i, j, f) & 0xFFFF;
    };
    for (TProjection p : {TProjection::Max, TProjection::Min, TProjection::Mean})
      for (TProjectionView view :
           {TProjectionView::Anterior, TProjectionView::Lateral, TProjectionView::Superior}) {
        TPlaneImage out;
        std::string reason;
        ASSERT_TRUE(ProjectVolume(*v, view, p, out, reason)) << reason;
        const int w = view == TProjectionView::Lateral ? R : C;
        const int h = view == TProjectionView::Superior ? R : S;
        ASSERT_EQ(out.columns, w);
        ASSERT_EQ(out.rows, h);
        const int depth = view == TProjectionView::Anterior  ? R
                          : view == TProjectionView::Lateral ? C
                                                             : S;
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) {
            int64_t sum = 0;
            int hi = std::numeric_limits<int>::min(), lo = std::numeric_limits<int>::max();
            for (int d = 0; d < depth; ++d) {
              const int a = view == TProjectionView::Anterior  ? value(x, d, S - 1 - y)
                            : view == TProjectionView::Lateral ? value(d, x, S - 1 - y)
                                                               : value(x, y, d);
              sum += a, hi = std::max(hi, a), lo = std::min(lo, a);
            }
            const int want = p == TProjection::Max   ? hi
                             : p == TProjection::Min ? lo
                                                     : int(std::nearbyint(double(sum) / depth));
            const int16_t word = out.pixels[size_t(y) * size_t(w) + size_t(x)];
            ASSERT_EQ(spec.isSigned ? int(word) : int(uint16_t(word)), want)
                << name << " " << ProjectionName(p) << " view " << int(view) << " at " << x << ","
                << y;
          }
        EXPECT_NEAR(out.thickness,
                    view == TProjectionView::Superior   ? v->geometry.sliceSpacing * S
                    : view == TProjectionView::Anterior ? spec.rowSpacing * R
                                                        : spec.columnSpacing * C,
                    1e-9);
      }
  }
}

// Stacks acquired in other planes map their grid axes to the pictures in
// other ways; a slab over every plane of GridPlane is the reference.
TEST(ProjectVolume, MatchesAFullSlabForEveryAcquisitionPlane) {
  struct Case {
    const char* name;
    std::array<double, 6> orientation;
    Vec3 step;
  };
  const Case cases[] = {{"coronal", {1, 0, 0, 0, 0, -1}, {0, 2, 0}},
                        {"sagittal", {0, 1, 0, 0, 0, -1}, {-2, 0, 0}},
                        {"oblique", {0.96, 0.28, 0, 0, 0, -1}, {-0.56, 1.92, 0.3}},
                        {"prone", {-1, 0, 0, 0, -1, 0}, {0, 0, -1.5}}};
  for (const Case& c : cases) {
    volfix::SeriesSpec spec;
    spec.columns = 8, spec.rows = 6, spec.slices = 5;
    spec.orientation = c.orientation;
    spec.step = c.step;
    spec.isSigned = std::string(c.name) != "prone";
    auto v = BuildSeries(std::string("planes-") + c.name, spec);
    ASSERT_TRUE(v);
    for (TProjection p : {TProjection::Max, TProjection::Min, TProjection::Mean})
      for (TProjectionView view :
           {TProjectionView::Anterior, TProjectionView::Lateral, TProjectionView::Superior}) {
        const TPlaneKind kind = view == TProjectionView::Anterior  ? TPlaneKind::Coronal
                                : view == TProjectionView::Lateral ? TPlaneKind::Sagittal
                                                                   : TPlaneKind::Axial;
        const int count = PlaneCount(*v, kind);
        TPlaneImage got, want;
        std::string reason;
        ASSERT_TRUE(ProjectVolume(*v, view, p, got, reason)) << reason;
        ASSERT_TRUE(GridPlane(*v, kind, (count - 1) / 2, 2 * count + 1, p, want, reason));
        EXPECT_EQ(got.pixels, want.pixels)
            << c.name << " " << PlaneName(kind) << " " << ProjectionName(p);
        EXPECT_EQ(got.columns, want.columns);
        EXPECT_NEAR(Norm(got.position - want.position), 0, 1e-9);
        EXPECT_NEAR(Norm(got.rowDir - want.rowDir) + Norm(got.colDir - want.colDir), 0, 1e-9);
        EXPECT_NEAR(got.thickness, want.thickness, 1e-9);
      }
  }
}

TEST(DownsampledVolume, KeepsTheBoxAndTakesMeans) {
  auto v = Grid(10, 9, 7, 0.5, 0.7, {0, 0.3, 1.2},
                [](int i, int j, int k) { return (i * 31 + j * 17 + k * 101) % 997 - 400; });
  std::string note;
  EXPECT_EQ(DownsampledVolume(*v, 10, v->Bytes(), "the test", note), nullptr);
  EXPECT_TRUE(note.empty());
  auto c = DownsampledVolume(*v, 4, size_t(1) << 30, "the test", note);
  ASSERT_TRUE(c);
  EXPECT_EQ(note, "Downsampled for the test: 10 x 9 x 7 to 3 x 3 x 3");
  EXPECT_EQ(c->notes.back(), note);
  const TVolumeGeometry &g = v->geometry, &h = c->geometry;
  ASSERT_EQ(h.columns, 3);
  ASSERT_EQ(h.slices, 3);
  EXPECT_NEAR(h.columnSpacing, 1.5, 1e-12);
  EXPECT_NEAR(h.rowSpacing, 2.1, 1e-12);
  EXPECT_EQ(c->voxels.size(), size_t(27));
  // Voxel (0, 0, 0): the mean of fine 0..2 x 0..2 x 0..1, at their centre.
  const auto mean = [&](int i0, int i1, int j0, int j1, int k0, int k1) {
    double sum = 0;
    for (int k = k0; k < k1; ++k)
      for (int j = j0; j < j1; ++j)
        for (int i = i0; i < i1; ++i) sum += v->At(i, j, k);
    return int(std::nearbyint(sum / ((i1 - i0) * (j1 - j0) * (k1 - k0))));
  };
  EXPECT_EQ(c->At(0, 0, 0), mean(0, 3, 0, 3, 0, 2));
  EXPECT_EQ(c->At(1, 2, 1), mean(3, 6, 6, 9, 2, 4));
  // The last along an axis takes the remainder too.
  EXPECT_EQ(c->At(2, 0, 2), mean(6, 10, 0, 3, 4, 7));
  const Vec3 want = (g.VoxelPosition(0, 0, 0) + g.VoxelPosition(2, 2, 0) +
                     g.VoxelPosition(0, 0, 1) + g.VoxelPosition(2, 2, 1)) *
                    0.25;
  EXPECT_NEAR(Norm(h.VoxelPosition(0, 0, 0) - want), 0, 1e-9);
  // The far corner stays within a coarse voxel of the fine one.
  EXPECT_LT(Norm(h.VoxelPosition(2, 2, 2) - g.VoxelPosition(9, 8, 6)), 2.1 + 1.5 + 2.4);
  EXPECT_NEAR(h.tiltDegrees, g.tiltDegrees, 1e-12);
  int lo = 1 << 30, hi = -(1 << 30);
  for (int k = 0; k < 3; ++k)
    for (int j = 0; j < 3; ++j)
      for (int i = 0; i < 3; ++i)
        lo = std::min(lo, c->At(i, j, k)), hi = std::max(hi, c->At(i, j, k));
  EXPECT_EQ(c->minValue, lo);
  EXPECT_EQ(c->maxValue, hi);
  // A byte limit alone coarsens the longest axes until it fits.
  c = DownsampledVolume(*v, 0, 200, "memory", note);
  ASSERT_TRUE(c);
  EXPECT_LE(c->Bytes(), size_t(200));
  EXPECT_GE(c->geometry.columns * c->geometry.rows * c->geometry.slices, 40);
  // A limit below one voxel still leaves one voxel.
  c = DownsampledVolume(*v, 1, 0, "nothing", note);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->voxels.size(), size_t(1));
  EXPECT_EQ(c->At(0, 0, 0), mean(0, 10, 0, 9, 0, 7));
}

}  // namespace

namespace {

TEST(VolumeBuild, ShrinksToFitTheBudgetWhenAsked) {
  volfix::SeriesSpec spec;
  spec.columns = 256, spec.rows = 250, spec.slices = 11;
  spec.step = {0, 0.5, 2};  // tilted
  const std::string dir = testsupport::TempDir("render3d-shrink");
  volfix::WriteSeries(dir, spec);
  // The smallest budget there is, 1 MiB; the volume takes 1.4 MB. Declared
  // before the volumes, which hold charges to it.
  FrameCache cache(0);
  const auto build = [&](bool shrink, std::string& reason) {
    std::vector<TVolumeFrame> frames;
    EXPECT_TRUE(FramesFromPath(dir, frames, reason)) << reason;
    TCachedFrameSource source(cache);
    TVolumeOptions o;
    o.shrinkToFit = shrink;
    return BuildVolume(std::move(frames), source, reason, o);
  };
  std::string reason;
  EXPECT_FALSE(build(false, reason));
  EXPECT_NE(reason.find("does not fit"), std::string::npos) << reason;
  auto v = build(true, reason);
  ASSERT_TRUE(v) << reason;
  EXPECT_LE(v->charge.bytes(), cache.Budget() / 2);
  const TVolumeGeometry& g = v->geometry;
  // Halved along the two longest axes: 128 x 125 x 11 words fit half of it.
  ASSERT_EQ(g.columns, 128);
  ASSERT_EQ(g.rows, 125);
  ASSERT_EQ(g.slices, 11);
  EXPECT_EQ(v->notes.back(),
            "Downsampled to fit the memory budget: 256 x 250 x 11 to 128 x 125 x 11");
  EXPECT_NEAR(g.columnSpacing, 2 * spec.columnSpacing, 1e-9);
  EXPECT_NEAR(g.rowSpacing, 2 * spec.rowSpacing, 1e-9);
  EXPECT_NEAR(g.tiltDegrees, std::atan(0.5 / 2) * 180 / 3.14159265358979, 1e-6);
  EXPECT_EQ(v->slicePath.size(), size_t(11));
  // Means of 2 x 2 fine voxels.
  int lo = 1 << 30, hi = -(1 << 30);
  for (int k = 0; k < 11; ++k)
    for (int jc = 0; jc < 125; ++jc)
      for (int ic = 0; ic < 128; ++ic) {
        double sum = 0;
        for (int j = 2 * jc; j < 2 * jc + 2; ++j)
          for (int i = 2 * ic; i < 2 * ic + 2; ++i) sum += volfix::Value(spec, i, j, k);
        const int want = int(std::nearbyint(sum / 4));
        ASSERT_EQ(v->At(ic, jc, k), want) << ic << "," << jc << "," << k;
        lo = std::min(lo, want), hi = std::max(hi, want);
      }
  EXPECT_EQ(v->minValue, lo);
  EXPECT_EQ(v->maxValue, hi);
  // Coarse voxel (0, 0, k) sits at the centre of fine (0..1, 0..1, k).
  const Vec3 want = spec.Position(2) + Vec3{0.5 * spec.columnSpacing, 0.5 * spec.rowSpacing, 0};
  EXPECT_NEAR(Norm(g.VoxelPosition(0, 0, 2) - want), 0, 1e-6);

  // A long stack is thinned along the slices: means of 3 slices, the last
  // taking the 5 left over.
  volfix::SeriesSpec tall;
  tall.columns = tall.rows = 64, tall.slices = 140;
  tall.seriesUid += ".9";
  const std::string tallDir = testsupport::TempDir("render3d-shrink-tall");
  volfix::WriteSeries(tallDir, tall);
  std::vector<TVolumeFrame> frames;
  ASSERT_TRUE(FramesFromPath(tallDir, frames, reason)) << reason;
  TCachedFrameSource source(cache);
  TVolumeOptions o;
  o.shrinkToFit = true;
  auto t = BuildVolume(std::move(frames), source, reason, o);
  ASSERT_TRUE(t) << reason;
  ASSERT_EQ(t->geometry.slices, 46);
  ASSERT_EQ(t->geometry.columns, 64);
  EXPECT_NEAR(t->geometry.sliceSpacing, 3 * 2.5, 1e-9);
  EXPECT_NEAR(t->geometry.VoxelPosition(0, 0, 1).z, tall.Position(4).z, 1e-9);
  for (int k : {0, 17, 45})
    for (int j : {0, 63})
      for (int i : {0, 31}) {
        const int k1 = k == 45 ? 140 : 3 * k + 3;
        double sum = 0;
        for (int q = 3 * k; q < k1; ++q) sum += volfix::Value(tall, i, j, q);
        EXPECT_EQ(t->At(i, j, k), int(std::nearbyint(sum / (k1 - 3 * k))))
            << i << "," << j << "," << k;
      }
}

}  // namespace
