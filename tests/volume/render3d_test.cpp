#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "volume/Render3D.h"

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
