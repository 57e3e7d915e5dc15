#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "support/paths.h"
#include "volume/Reformat.h"
#include "volume/VolumeBuilder.h"
#include "volume/VolumeInput.h"
#include "volume_fixtures.h"

namespace {

using volfix::SeriesSpec;

std::shared_ptr<TVolume> Build(const std::string& name, const SeriesSpec& s) {
  const std::string dir = testsupport::TempDir("reformat-" + name);
  volfix::WriteSeries(dir, s);
  std::vector<TVolumeFrame> frames;
  std::string reason;
  EXPECT_TRUE(FramesFromPath(dir, frames, reason)) << reason;
  TDecodingFrameSource source;
  auto v = BuildVolume(std::move(frames), source, reason);
  EXPECT_TRUE(v) << reason;
  return v;
}

TPlaneImage Plane(const TVolume& v, TPlaneKind kind, int index, int slab = 1,
                  TProjection p = TProjection::Max) {
  TPlaneImage out;
  std::string reason;
  EXPECT_TRUE(GridPlane(v, kind, index, slab, p, out, reason)) << reason;
  return out;
}

// An in-memory volume whose voxel values are f(position).
std::shared_ptr<TVolume> Synthetic(TVolumeGeometry g, const std::function<double(Vec3)>& f) {
  auto v = std::make_shared<TVolume>();
  g.depth.resize(size_t(g.slices));
  for (int k = 0; k < g.slices; ++k)
    g.depth[size_t(k)] = Dot(g.origin[size_t(k)] - g.origin[0], g.normal);
  v->geometry = g;
  v->isSigned = true;
  v->voxels.resize(v->SliceSize() * size_t(g.slices));
  v->minValue = 32767;
  v->maxValue = -32768;
  for (int k = 0; k < g.slices; ++k)
    for (int j = 0; j < g.rows; ++j)
      for (int i = 0; i < g.columns; ++i) {
        const int x = int(std::lround(f(g.VoxelPosition(i, j, k))));
        v->Slice(k)[size_t(j) * size_t(g.columns) + size_t(i)] = int16_t(x);
        v->minValue = std::min(v->minValue, x);
        v->maxValue = std::max(v->maxValue, x);
      }
  return v;
}

TVolumeGeometry AxialGrid(int columns, int rows, int slices, double cs, double rs, Vec3 step) {
  TVolumeGeometry g;
  g.columns = columns;
  g.rows = rows;
  g.slices = slices;
  g.rowDir = {1, 0, 0};
  g.colDir = {0, 1, 0};
  g.normal = {0, 0, 1};
  g.columnSpacing = cs;
  g.rowSpacing = rs;
  for (int k = 0; k < slices; ++k) g.origin.push_back(Vec3{-5, -7, 11} + step * double(k));
  g.sliceSpacing = step.z;
  return g;
}

// Every pixel of a grid plane sits where its geometry says, and holds the
// voxel found there.
void ExpectPlaneGeometryHolds(const TVolume& v, const TPlaneImage& p) {
  const TVolumeGeometry& g = v.geometry;
  for (int r = 0; r < p.rows; ++r)
    for (int c = 0; c < p.columns; ++c) {
      const Vec3 at = p.position + p.rowDir * (c * p.columnSpacing) + p.colDir * (r * p.rowSpacing);
      // The voxel nearest `at`: its slice by depth, then its row and column.
      const double w = Dot(at - g.origin[0], g.normal);
      const auto it = std::min_element(g.depth.begin(), g.depth.end(), [&](double a, double b) {
        return std::abs(a - w) < std::abs(b - w);
      });
      const int k = int(it - g.depth.begin());
      const Vec3 d = at - g.origin[size_t(k)];
      const double i = Dot(d, g.rowDir) / g.columnSpacing, j = Dot(d, g.colDir) / g.rowSpacing;
      ASSERT_NEAR(i, std::round(i), 1e-6) << r << "," << c;
      ASSERT_NEAR(j, std::round(j), 1e-6) << r << "," << c;
      ASSERT_NEAR(std::abs(Dot(at - g.origin[size_t(k)], g.normal)), 0, 1e-6);
      const int16_t word = p.pixels[size_t(r) * size_t(p.columns) + size_t(c)];
      ASSERT_EQ(v.isSigned ? int(word) : int(uint16_t(word)),
                v.At(int(std::lround(i)), int(std::lround(j)), k))
          << r << "," << c;
    }
}

TEST(GridPlane, AxialStackSlicesAsNumpyWould) {
  SeriesSpec s;
  auto v = Build("axial-stack", s);
  ASSERT_TRUE(v);
  const int S = s.slices, R = s.rows, C = s.columns;
  for (int K = 0; K < S; ++K) {
    const TPlaneImage a = Plane(*v, TPlaneKind::Axial, K);  // vol[K]
    ASSERT_EQ(a.rows, R);
    ASSERT_EQ(a.columns, C);
    for (int r = 0; r < R; ++r)
      for (int c = 0; c < C; ++c) ASSERT_EQ(a.pixels[size_t(r * C + c)], volfix::Value(s, c, r, K));
  }
  for (int K = 0; K < R; ++K) {
    const TPlaneImage co = Plane(*v, TPlaneKind::Coronal, K);  // vol[::-1, K, :]
    ASSERT_EQ(co.rows, S);
    ASSERT_EQ(co.columns, C);
    for (int r = 0; r < S; ++r)
      for (int c = 0; c < C; ++c)
        ASSERT_EQ(co.pixels[size_t(r * C + c)], volfix::Value(s, c, K, S - 1 - r));
  }
  for (int K = 0; K < C; ++K) {
    const TPlaneImage sa = Plane(*v, TPlaneKind::Sagittal, K);  // vol[::-1, :, K]
    ASSERT_EQ(sa.rows, S);
    ASSERT_EQ(sa.columns, R);
    for (int r = 0; r < S; ++r)
      for (int c = 0; c < R; ++c)
        ASSERT_EQ(sa.pixels[size_t(r * R + c)], volfix::Value(s, K, c, S - 1 - r));
  }
  const TPlaneImage co = Plane(*v, TPlaneKind::Coronal, 2);
  EXPECT_EQ(co.rowDir, (Vec3{1, 0, 0}));
  EXPECT_EQ(co.colDir, (Vec3{0, 0, -1}));
  EXPECT_DOUBLE_EQ(co.rowSpacing, 2.5);
  EXPECT_DOUBLE_EQ(co.columnSpacing, 0.7);
  EXPECT_NEAR(co.position.y, -20 + 2 * 0.8, 1e-12);
  EXPECT_NEAR(co.position.z, 30 + 6 * 2.5, 1e-12);
  const TPlaneImage sa = Plane(*v, TPlaneKind::Sagittal, 3);
  EXPECT_EQ(sa.rowDir, (Vec3{0, 1, 0}));
  EXPECT_DOUBLE_EQ(sa.columnSpacing, 0.8);

  std::string reason;
  TPlaneImage out;
  EXPECT_FALSE(GridPlane(*v, TPlaneKind::Coronal, R, 1, TProjection::Max, out, reason));
  EXPECT_EQ(reason, "the coronal index 5 is outside the volume (0 to 4)");
}

TEST(GridPlane, GeometryPlacesEveryPixelForEveryPatientPosition) {
  std::vector<SeriesSpec> specs(6);
  specs[1].orientation = {-1, 0, 0, 0, 1, 0};   // feet first
  specs[2].orientation = {-1, 0, 0, 0, -1, 0};  // prone
  specs[3].orientation = {0, 1, 0, 0, 0, -1};   // sagittal stack
  specs[3].step = {-1.5, 0, 0};
  const double c = std::cos(0.4), sn = std::sin(0.4);
  specs[4].orientation = {1, 0, 0, 0, c, -sn};  // oblique
  specs[4].step = Cross({1, 0, 0}, {0, c, -sn}) * 2.0;
  specs[5].step = {0, 0.6, 2.5};  // gantry tilt
  for (size_t n = 0; n < specs.size(); ++n) {
    auto v = Build("geometry-" + std::to_string(n), specs[n]);
    ASSERT_TRUE(v);
    for (TPlaneKind kind : {TPlaneKind::Axial, TPlaneKind::Coronal, TPlaneKind::Sagittal})
      for (int index : {0, PlaneCount(*v, kind) / 2, PlaneCount(*v, kind) - 1}) {
        SCOPED_TRACE(std::to_string(n) + " " + PlaneName(kind) + " " + std::to_string(index));
        ExpectPlaneGeometryHolds(*v, Plane(*v, kind, index));
      }
  }
}

TEST(GridPlane, PlanesFaceTheWayTheirNamesSay) {
  SeriesSpec sag;
  sag.orientation = {0, 1, 0, 0, 0, -1};
  sag.step = {-1.5, 0, 0};
  auto v = Build("faces", sag);
  ASSERT_TRUE(v);
  const TPlaneImage ax = Plane(*v, TPlaneKind::Axial, 0);
  EXPECT_EQ(std::abs(Cross(ax.rowDir, ax.colDir).z), 1.0);
  // Counted from the most inferior: the sagittal image's last row.
  EXPECT_NEAR(ax.position.z, 30 - (sag.rows - 1) * 0.8, 1e-12);
  EXPECT_EQ(PlaneCount(*v, TPlaneKind::Axial), sag.rows);
  EXPECT_EQ(PlaneCount(*v, TPlaneKind::Sagittal), sag.slices);
  for (TPlaneKind kind : {TPlaneKind::Coronal, TPlaneKind::Sagittal}) {
    const TPlaneImage p = Plane(*v, kind, 1);
    EXPECT_EQ(p.colDir, (Vec3{0, 0, -1})) << PlaneName(kind);  // superior at the top
  }
  EXPECT_EQ(std::abs(Cross(Plane(*v, TPlaneKind::Coronal, 0).rowDir, Vec3{0, 0, -1}).y), 1.0);
}

TEST(GridPlane, SlabsProjectTheNPlanesCentredOnTheIndex) {
  for (bool isSigned : {true, false}) {
    SeriesSpec s;
    s.isSigned = isSigned;
    s.rows = 9;
    auto v = Build(isSigned ? "slab-signed" : "slab-unsigned", s);
    ASSERT_TRUE(v);
    const auto value = [&](int c, int K, int k) { return volfix::Value(s, c, K, k); };
    for (TProjection p : {TProjection::Max, TProjection::Min, TProjection::Mean})
      for (auto [index, slab] : {std::pair{4, 3}, {4, 4}, {0, 5}, {8, 3}, {3, 1}, {2, 20}}) {
        SCOPED_TRACE(std::string(ProjectionName(p)) + " " + std::to_string(index) + "/" +
                     std::to_string(slab));
        // Coronal row 2, planes taken from rows index - slab/2 on.
        const TPlaneImage co = Plane(*v, TPlaneKind::Coronal, index, slab, p);
        const int first = std::max(0, index - slab / 2);
        const int last = std::min(s.rows - 1, index - slab / 2 + slab - 1);
        for (int r = 0; r < s.slices; ++r)
          for (int c = 0; c < s.columns; ++c) {
            const int k = s.slices - 1 - r;
            int64_t acc =
                p == TProjection::Min ? INT64_MAX : (p == TProjection::Max ? INT64_MIN : 0);
            for (int K = first; K <= last; ++K) {
              const int x = value(c, K, k);
              acc = p == TProjection::Max   ? std::max<int64_t>(acc, x)
                    : p == TProjection::Min ? std::min<int64_t>(acc, x)
                                            : acc + x;
            }
            if (p == TProjection::Mean)
              acc = int64_t(std::nearbyint(double(acc) / (last - first + 1)));
            const int16_t w = co.pixels[size_t(r * s.columns + c)];
            ASSERT_EQ(isSigned ? int(w) : int(uint16_t(w)), acc) << r << "," << c;
          }
        EXPECT_DOUBLE_EQ(co.thickness, 0.8 * (last - first + 1));
      }
  }
}

TEST(GridPlane, MeanRoundsHalfToEven) {
  TVolumeGeometry g = AxialGrid(2, 1, 2, 1, 1, {0, 0, 1});
  auto v =
      Synthetic(g, [](Vec3 p) { return p.z == 11 ? (p.x == -5 ? 1 : 2) : (p.x == -5 ? 2 : 3); });
  // Pixel 0: (1 + 2) / 2 = 1.5 -> 2; pixel 1: (2 + 3) / 2 = 2.5 -> 2.
  const TPlaneImage a = Plane(*v, TPlaneKind::Axial, 0, 2, TProjection::Mean);
  // Slab 2 around 0 takes planes -1 and 0: only plane 0 is inside.
  EXPECT_EQ(a.pixels, (std::vector<int16_t>{1, 2}));
  const TPlaneImage b = Plane(*v, TPlaneKind::Axial, 1, 2, TProjection::Mean);
  EXPECT_EQ(b.pixels, (std::vector<int16_t>{2, 2}));
}

TPlaneSpec SpecOf(const TPlaneImage& p) {
  TPlaneSpec s;
  s.origin = p.position;
  s.u = p.rowDir;
  s.v = p.colDir;
  s.du = p.columnSpacing;
  s.dv = p.rowSpacing;
  s.columns = p.columns;
  s.rows = p.rows;
  return s;
}

TEST(SamplePlane, APlaneOnTheGridGivesTheStoredValuesExactly) {
  for (bool isSigned : {true, false}) {
    SeriesSpec s;
    s.isSigned = isSigned;
    auto v = Build(isSigned ? "sample-grid-s" : "sample-grid-u", s);
    ASSERT_TRUE(v);
    for (TPlaneKind kind : {TPlaneKind::Axial, TPlaneKind::Coronal, TPlaneKind::Sagittal})
      for (int index = 0; index < PlaneCount(*v, kind); ++index) {
        const TPlaneImage grid = Plane(*v, kind, index);
        std::vector<int16_t> sampled;
        SamplePlane(*v, SpecOf(grid), sampled, 2);
        ASSERT_EQ(sampled, grid.pixels) << PlaneName(kind) << " " << index;
        // An odd slab along the grid's own steps takes the same planes.
        TPlaneSpec slab = SpecOf(grid);
        slab.slab = 3 * (kind == TPlaneKind::Axial ? 2.5 : kind == TPlaneKind::Coronal ? 0.8 : 0.7);
        for (TProjection p : {TProjection::Max, TProjection::Min}) {
          slab.projection = p;
          SamplePlane(*v, slab, sampled, 1);
          ASSERT_EQ(sampled, Plane(*v, kind, index, 3, p).pixels) << PlaneName(kind) << index;
        }
      }
  }
}

TEST(SamplePlane, InterpolatesTrilinearlyAndCorrectsTilt) {
  // Values linear in patient position are reproduced exactly by trilinear
  // interpolation, so any plane can be checked against the function.
  const auto f = [](Vec3 p) { return 3 * p.x - 2 * p.y + 5 * p.z + 100; };
  for (Vec3 step : {Vec3{0, 0, 2}, Vec3{0, 0.7, 2}}) {
    TVolumeGeometry g = AxialGrid(20, 18, 15, 1.0, 1.25, step);
    auto v = Synthetic(g, f);
    TPlaneSpec s;
    // A true coronal plane (not the sheared grid rows) through y = 3.3, with
    // square pixels between the grid's.
    s.u = {1, 0, 0};
    s.v = {0, 0, -1};
    s.du = s.dv = 0.5;
    s.origin = {-3.2, 3.3, 32};
    s.columns = 20;
    s.rows = 30;
    std::vector<int16_t> out;
    SamplePlane(*v, s, out);
    for (int y = 0; y < s.rows; ++y)
      for (int x = 0; x < s.columns; ++x) {
        const Vec3 p = s.origin + s.u * (x * s.du) + s.v * (y * s.dv);
        // Half a unit from the voxels' rounding, half from the output's.
        ASSERT_NEAR(out[size_t(y * s.columns + x)], f(p), 1.0) << x << "," << y;
      }
  }
}

TEST(SamplePlane, OutsideTakesTheMinimumAndSlabsIgnoreIt) {
  TVolumeGeometry g = AxialGrid(4, 4, 4, 1, 1, {0, 0, 1});
  auto v = Synthetic(g, [](Vec3 p) { return p.z * 10; });  // 110 ... 140
  TPlaneSpec s;
  s.u = {1, 0, 0};
  s.v = {0, 1, 0};
  s.origin = {-5, -7, 11 + 1};  // the plane of slice 1
  s.columns = 6;                // two columns past the edge
  s.rows = 4;
  std::vector<int16_t> out;
  SamplePlane(*v, s, out);
  EXPECT_EQ(out[0], 120);
  EXPECT_EQ(out[5], 110);  // outside: the volume's minimum
  // A slab reaching past the top slice projects what lies inside.
  s.origin.z = 11 + 3;
  s.slab = 3;
  s.projection = TProjection::Mean;
  SamplePlane(*v, s, out);
  EXPECT_EQ(out[0], 135);  // mean of slices 2 and 3
  s.projection = TProjection::Max;
  SamplePlane(*v, s, out);
  EXPECT_EQ(out[0], 140);
  // Far away, nothing is inside.
  s.origin.z = 100;
  SamplePlane(*v, s, out);
  EXPECT_EQ(out[0], 110);
}

TEST(SamplePlane, UnevenSpacingInterpolatesBetweenTheRealPositions) {
  TVolumeGeometry g = AxialGrid(3, 3, 4, 1, 1, {0, 0, 1});
  g.origin = {{0, 0, 0}, {0, 0, 1}, {0, 0, 3}, {0, 0, 4}};  // a slice missing at 2
  g.evenSpacing = false;
  g.sliceSpacing = 4.0 / 3;
  auto v = Synthetic(g, [](Vec3 p) { return p.z * 100; });
  TPlaneSpec s;
  s.u = {1, 0, 0};
  s.v = {0, 1, 0};
  s.columns = s.rows = 3;
  for (double z : {0.0, 0.5, 1.0, 2.0, 2.5, 3.0, 4.0}) {
    s.origin = {0, 0, z};
    std::vector<int16_t> out;
    SamplePlane(*v, s, out);
    EXPECT_EQ(out[4], int(z * 100)) << z;
  }
}

}  // namespace
