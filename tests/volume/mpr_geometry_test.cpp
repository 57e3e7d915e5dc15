#include <gtest/gtest.h>

#include <cmath>

#include "support/paths.h"
#include "volume/MprGeometry.h"
#include "volume/VolumeBuilder.h"
#include "volume/VolumeInput.h"
#include "volume_fixtures.h"

namespace {

using volfix::SeriesSpec;

std::shared_ptr<TVolume> Build(const std::string& name, const SeriesSpec& s) {
  const std::string dir = testsupport::TempDir("mpr-" + name);
  volfix::WriteSeries(dir, s);
  std::vector<TVolumeFrame> frames;
  std::string reason;
  EXPECT_TRUE(FramesFromPath(dir, frames, reason)) << reason;
  TDecodingFrameSource source;
  auto v = BuildVolume(std::move(frames), source, reason);
  EXPECT_TRUE(v) << reason;
  return v;
}

std::vector<int16_t> Sampled(const TVolume& v, const TPlaneSpec& s) {
  std::vector<int16_t> out;
  SamplePlane(v, s, out);
  return out;
}

TEST(MprGeometry, ThePlanesThroughTheCentreAreTheGridsWhereTheySpacingAllows) {
  SeriesSpec s;
  s.columns = 8;
  s.rows = 6;
  s.slices = 9;
  s.rowSpacing = s.columnSpacing = 0.75;
  auto v = Build("centre", s);
  ASSERT_TRUE(v);
  const Vec3 c = MprCentre(*v);
  EXPECT_EQ(c, v->geometry.VoxelPosition(4, 3, 4));

  const TMprPlane ax = MprPlane(*v, TPlaneKind::Axial, c);
  EXPECT_EQ(ax.index, 4);
  EXPECT_EQ(ax.count, 9);
  EXPECT_DOUBLE_EQ(ax.step, 2.5);
  EXPECT_EQ(ax.spec.columns, 8);
  EXPECT_EQ(ax.spec.rows, 6);
  EXPECT_EQ(ax.normal, (Vec3{0, 0, 1}));
  TPlaneImage grid;
  std::string reason;
  ASSERT_TRUE(GridPlane(*v, TPlaneKind::Axial, 4, 1, TProjection::Max, grid, reason));
  EXPECT_EQ(Sampled(*v, ax.spec), grid.pixels);

  // Coronal: square pixels of the in-plane spacing; the rows fall between
  // slices, except every tenth of a 2.5 mm step that lands on one.
  const TMprPlane co = MprPlane(*v, TPlaneKind::Coronal, c);
  EXPECT_EQ(co.index, 3);
  EXPECT_EQ(co.count, 6);
  EXPECT_DOUBLE_EQ(co.spec.du, 0.75);
  EXPECT_DOUBLE_EQ(co.spec.dv, 0.75);
  EXPECT_EQ(co.spec.columns, 8);
  EXPECT_EQ(co.spec.rows, int(std::floor(8 * 2.5 / 0.75)) + 1);
  EXPECT_EQ(co.spec.v, (Vec3{0, 0, -1}));  // the head at the top
  const std::vector<int16_t> px = Sampled(*v, co.spec);
  ASSERT_TRUE(GridPlane(*v, TPlaneKind::Coronal, 3, 1, TProjection::Max, grid, reason));
  // Plane row 0 is the top slice, and so is grid row 0; 0.75 x 10 = 7.5 mm = 3 slices.
  for (int c2 = 0; c2 < 8; ++c2) {
    EXPECT_EQ(px[size_t(c2)], grid.pixels[size_t(c2)]);
    EXPECT_EQ(px[size_t(10 * 8 + c2)], grid.pixels[size_t(3 * 8 + c2)]);
  }
}

TEST(MprGeometry, MovingAPlaneMovesOnlyAlongItsNormalAndStaysInTheVolume) {
  SeriesSpec s;
  s.step = {0, 0.5, 2.5};  // tilted
  auto v = Build("move", s);
  ASSERT_TRUE(v);
  const Vec3 c = MprCentre(*v);
  for (TPlaneKind kind : {TPlaneKind::Axial, TPlaneKind::Coronal, TPlaneKind::Sagittal}) {
    const TMprPlane before = MprPlane(*v, kind, c);
    const Vec3 moved = MprMoveTo(*v, kind, c, before.index + 1);
    const TMprPlane after = MprPlane(*v, kind, moved);
    EXPECT_EQ(after.index, before.index + 1) << PlaneName(kind);
    // Only the normal's component changed, by one step.
    EXPECT_NEAR(Dot(moved - c, before.spec.u), 0, 1e-9);
    EXPECT_NEAR(Dot(moved - c, before.spec.v), 0, 1e-9);
    EXPECT_NEAR(std::abs(Dot(moved - c, before.normal)), before.step, 1e-9) << PlaneName(kind);
    // Past the end: the last plane.
    EXPECT_EQ(MprPlane(*v, kind, MprMoveTo(*v, kind, c, 1000)).index, before.count - 1);
    EXPECT_EQ(MprPlane(*v, kind, MprMoveTo(*v, kind, c, -5)).index, 0);
  }
}

TEST(MprGeometry, TurnedPlanesStepAlongTheirNormalAcrossTheWholeVolume) {
  SeriesSpec s;
  s.rowSpacing = s.columnSpacing = 1;
  s.step = {0, 0, 1};
  auto v = Build("turned", s);
  ASSERT_TRUE(v);
  TPlaneAxes a = MprAxes(*v, TPlaneKind::Coronal);
  // 30 degrees about the head-feet axis.
  a.u = MprRotate(a.u, {0, 0, 1}, M_PI / 6);
  a.v = MprRotate(a.v, {0, 0, 1}, M_PI / 6);
  const Vec3 c = MprCentre(*v);
  const TMprPlane p = MprPlane(*v, a, TPlaneKind::Coronal, c);
  EXPECT_NEAR(Dot(p.normal, Vec3{0, 0, 1}), 0, 1e-12);
  EXPECT_NEAR(p.step, 1, 1e-12);  // unit voxels: one millimetre whatever the direction
  // The planes span the volume's corners along the normal.
  double lo = 1e9, hi = -1e9;
  for (int k : {0, s.slices - 1})
    for (int i : {0, s.columns - 1})
      for (int j : {0, s.rows - 1}) {
        lo = std::min(lo, Dot(v->geometry.VoxelPosition(i, j, k), p.normal));
        hi = std::max(hi, Dot(v->geometry.VoxelPosition(i, j, k), p.normal));
      }
  EXPECT_EQ(p.count, int(std::floor(hi - lo + 1e-6)) + 1);
  const Vec3 to = MprMoveTo(*v, a, TPlaneKind::Coronal, c, 2);
  EXPECT_EQ(MprPlane(*v, a, TPlaneKind::Coronal, to).index, 2);
  EXPECT_NEAR(Dot(to - c, a.u), 0, 1e-9);
  EXPECT_NEAR(Dot(to - c, a.v), 0, 1e-9);
  EXPECT_NEAR(Dot(to, p.normal), lo + 2, 1e-9);
  EXPECT_EQ(
      MprPlane(*v, a, TPlaneKind::Coronal, MprMoveTo(*v, a, TPlaneKind::Coronal, c, 999)).index,
      p.count - 1);
}

TEST(MprGeometry, SnapPutsTheCrossOnTheNearestVoxel) {
  SeriesSpec s;
  auto v = Build("snap", s);
  ASSERT_TRUE(v);
  const Vec3 p = v->geometry.VoxelPosition(2, 3, 4) + Vec3{0.3, -0.35, 1.1};
  EXPECT_EQ(MprSnap(*v, p), v->geometry.VoxelPosition(2, 3, 4));
  const Vec3 outside = v->geometry.VoxelPosition(0, 0, 0) + Vec3{-40, -40, -40};
  EXPECT_EQ(MprSnap(*v, outside), v->geometry.VoxelPosition(0, 0, 0));
  double x, y;
  const TMprPlane ax = MprPlane(*v, TPlaneKind::Axial, MprSnap(*v, p));
  MprPixelOf(ax.spec, MprSnap(*v, p), x, y);
  EXPECT_NEAR(x, 2, 1e-9);
  EXPECT_NEAR(y, 3 * 0.8 / 0.7, 1e-9);  // rows of 0.8 mm shown as square pixels of 0.7
}

TEST(MprGeometry, LongSidesAreCapped) {
  SeriesSpec s;
  s.columns = s.rows = 4;
  s.slices = 40;
  s.step = {0, 0, 10};
  s.rowSpacing = s.columnSpacing = 0.1;
  auto v = Build("cap", s);
  ASSERT_TRUE(v);
  const TMprPlane co = MprPlane(*v, TPlaneKind::Coronal, MprCentre(*v), 0, TProjection::Max, 256);
  EXPECT_LE(co.spec.rows, 256);
  EXPECT_LE(co.spec.columns, 256);
  EXPECT_DOUBLE_EQ(co.spec.du, co.spec.dv);
  EXPECT_NEAR(co.spec.dv * (co.spec.rows - 1), 390, 1e-6);
}

}  // namespace
