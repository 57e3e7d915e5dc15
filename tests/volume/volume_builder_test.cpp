#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "support/paths.h"
#include "volume/VolumeBuilder.h"
#include "volume/VolumeInput.h"
#include "volume_fixtures.h"

namespace {

using volfix::SeriesSpec;

struct Built {
  std::shared_ptr<TVolume> volume;
  std::string reason;
};

Built BuildFrom(const std::string& path) {
  Built b;
  std::vector<TVolumeFrame> frames;
  if (!FramesFromPath(path, frames, b.reason)) return b;
  TDecodingFrameSource source;
  b.volume = BuildVolume(std::move(frames), source, b.reason);
  return b;
}

Built BuildSeries(const std::string& name, const SeriesSpec& s, unsigned seed = 7) {
  const std::string dir = testsupport::TempDir("volume-" + name);
  volfix::WriteSeries(dir, s, seed);
  return BuildFrom(dir);
}

// Slice k of the volume is slice order[k] of the series fixture, voxel for voxel.
void ExpectSlices(const TVolume& v, const SeriesSpec& s, const std::vector<int>& order) {
  ASSERT_EQ(v.geometry.slices, int(order.size()));
  ASSERT_EQ(v.geometry.columns, s.columns);
  ASSERT_EQ(v.geometry.rows, s.rows);
  for (int k = 0; k < v.geometry.slices; ++k)
    for (int j = 0; j < s.rows; ++j)
      for (int i = 0; i < s.columns; ++i)
        ASSERT_EQ(v.At(i, j, k), volfix::Value(s, i, j, order[size_t(k)]))
            << "voxel " << i << "," << j << "," << k;
}

std::vector<int> Ascending(int n) {
  std::vector<int> o(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) o[size_t(k)] = k;
  return o;
}

std::vector<int> Descending(int n) {
  std::vector<int> o = Ascending(n);
  std::reverse(o.begin(), o.end());
  return o;
}

bool HasNote(const TVolume& v, const std::string& text) {
  return std::any_of(v.notes.begin(), v.notes.end(),
                     [&](const std::string& n) { return n.find(text) != std::string::npos; });
}

TEST(VolumeBuild, OrdersByPositionWhateverTheFileOrderAndInstanceNumbers) {
  SeriesSpec s;
  for (unsigned seed : {1u, 2u, 3u}) {
    Built b = BuildSeries("order", s, seed);
    ASSERT_TRUE(b.volume) << b.reason;
    ExpectSlices(*b.volume, s, Ascending(s.slices));
  }
  // Written from head to feet: slice 0 is still the most inferior.
  s.first = {-10, -20, 60};
  s.step = {0, 0, -2.5};
  Built b = BuildSeries("order-down", s);
  ASSERT_TRUE(b.volume) << b.reason;
  ExpectSlices(*b.volume, s, Descending(s.slices));
  EXPECT_NEAR(b.volume->geometry.origin[0].z, 60 - 2.5 * 6, 1e-9);
}

TEST(VolumeBuild, GeometryComesFromPositionsNotThickness) {
  SeriesSpec s;
  Built b = BuildSeries("geometry", s);
  ASSERT_TRUE(b.volume) << b.reason;
  const TVolumeGeometry& g = b.volume->geometry;
  EXPECT_NEAR(g.sliceSpacing, 2.5, 1e-9);  // the files say 9 mm thick
  EXPECT_NEAR(g.columnSpacing, 0.7, 1e-12);
  EXPECT_NEAR(g.rowSpacing, 0.8, 1e-12);
  EXPECT_TRUE(g.evenSpacing);
  EXPECT_NEAR(g.tiltDegrees, 0, 1e-9);
  EXPECT_EQ(g.normal, (Vec3{0, 0, 1}));
  const Vec3 p = g.VoxelPosition(2, 3, 4);
  EXPECT_NEAR(p.x, -10 + 2 * 0.7, 1e-9);
  EXPECT_NEAR(p.y, -20 + 3 * 0.8, 1e-9);
  EXPECT_NEAR(p.z, 30 + 4 * 2.5, 1e-9);
  EXPECT_TRUE(b.volume->notes.empty());
  EXPECT_EQ(b.volume->header.modality, "CT");
}

TEST(VolumeBuild, PatientPositionVariants) {
  // Feet first: rows run towards the patient's right, the normal towards the
  // feet; the volume still runs from feet to head.
  SeriesSpec ffs;
  ffs.orientation = {-1, 0, 0, 0, 1, 0};
  Built b = BuildSeries("ffs", ffs);
  ASSERT_TRUE(b.volume) << b.reason;
  ExpectSlices(*b.volume, ffs, Ascending(ffs.slices));
  EXPECT_EQ(b.volume->geometry.normal, (Vec3{0, 0, 1}));
  EXPECT_EQ(b.volume->geometry.rowDir, (Vec3{-1, 0, 0}));

  // Prone, feet first as well.
  SeriesSpec prone = ffs;
  prone.orientation = {-1, 0, 0, 0, -1, 0};
  b = BuildSeries("prone", prone);
  ASSERT_TRUE(b.volume) << b.reason;
  ExpectSlices(*b.volume, prone, Ascending(prone.slices));

  // A sagittal stack runs from the patient's right to left.
  SeriesSpec sag;
  sag.orientation = {0, 1, 0, 0, 0, -1};
  sag.first = {40, -20, 30};
  sag.step = {-1.5, 0, 0};
  b = BuildSeries("sagittal-stack", sag);
  ASSERT_TRUE(b.volume) << b.reason;
  ExpectSlices(*b.volume, sag, Descending(sag.slices));
  EXPECT_EQ(b.volume->geometry.normal, (Vec3{1, 0, 0}));
  EXPECT_NEAR(b.volume->geometry.sliceSpacing, 1.5, 1e-9);

  // Oblique: turned 30 degrees about the left-right axis, stacked along its normal.
  SeriesSpec obl;
  const double c = std::cos(M_PI / 6), sn = std::sin(M_PI / 6);
  obl.orientation = {1, 0, 0, 0, c, -sn};
  const Vec3 n = Cross({1, 0, 0}, {0, c, -sn});
  obl.step = n * 2.0;
  b = BuildSeries("oblique", obl);
  ASSERT_TRUE(b.volume) << b.reason;
  ExpectSlices(*b.volume, obl, Ascending(obl.slices));
  EXPECT_NEAR(b.volume->geometry.sliceSpacing, 2.0, 1e-6);
  EXPECT_NEAR(b.volume->geometry.tiltDegrees, 0, 1e-3);
}

TEST(VolumeBuild, GantryTiltIsReportedAndKeptInTheGeometry) {
  SeriesSpec s;
  // 2.5 mm apart along the normal, shifted 0.5 mm along the columns per slice.
  s.step = {0, 0.5, 2.5};
  Built b = BuildSeries("tilt", s);
  ASSERT_TRUE(b.volume) << b.reason;
  const TVolumeGeometry& g = b.volume->geometry;
  EXPECT_NEAR(g.tiltDegrees, std::atan(0.5 / 2.5) * 180 / M_PI, 1e-6);
  EXPECT_TRUE(HasNote(*b.volume, "gantry tilt of 11.3 degrees")) << b.volume->notes.size();
  EXPECT_NEAR(g.sliceSpacing, 2.5, 1e-9);
  EXPECT_NEAR(g.VoxelPosition(0, 0, 4).y, -20 + 4 * 0.5, 1e-9);
}

TEST(VolumeBuild, UnevenSpacingAndGapsAreDetected) {
  SeriesSpec s;
  s.positions = {{0, 0, 0}, {0, 0, 2}, {0, 0, 4}, {0, 0, 8}, {0, 0, 10}, {0, 0, 11}};
  Built b = BuildSeries("uneven", s);
  ASSERT_TRUE(b.volume) << b.reason;
  const TVolumeGeometry& g = b.volume->geometry;
  EXPECT_FALSE(g.evenSpacing);
  EXPECT_EQ(g.depth, (std::vector<double>{0, 2, 4, 8, 10, 11}));
  EXPECT_NEAR(g.sliceSpacing, 11.0 / 5, 1e-12);
  EXPECT_TRUE(HasNote(*b.volume, "uneven slice spacing: from 1 mm to 4 mm"));
  EXPECT_TRUE(HasNote(*b.volume, "gap of 4 mm between")) << b.volume->notes.size();
  EXPECT_TRUE(HasNote(*b.volume, "(about 1 missing)"));

  // Rounding in the positions is not unevenness.
  s.positions = {{0, 0, 0}, {0, 0, 1.2501}, {0, 0, 2.4999}, {0, 0, 3.75}};
  b = BuildSeries("rounded", s);
  ASSERT_TRUE(b.volume) << b.reason;
  EXPECT_TRUE(b.volume->geometry.evenSpacing);
  EXPECT_TRUE(b.volume->notes.empty());
}

TEST(VolumeBuild, SeriesThatDoNotFormAVolumeAreRefusedWithTheReason) {
  const auto refused = [](const std::string& name, const std::string& dir) {
    Built b = BuildFrom(dir);
    EXPECT_FALSE(b.volume) << name;
    return b.reason;
  };
  SeriesSpec s;
  std::string dir = testsupport::TempDir("refuse-one");
  fixtures::WriteFile(dir, "a", volfix::SliceFile(s, 0, 1));
  EXPECT_EQ(refused("one", dir), "a volume needs at least two images; there is one");

  dir = testsupport::TempDir("refuse-orientation");
  volfix::WriteSeries(dir, s);
  SeriesSpec turned = s;
  turned.orientation = {0, 1, 0, 0, 0, -1};
  fixtures::WriteFile(dir, "zz", volfix::SliceFile(turned, 3, 1));
  EXPECT_NE(refused("orientation", dir).find("do not lie on parallel planes"), std::string::npos);

  dir = testsupport::TempDir("refuse-size");
  volfix::WriteSeries(dir, s);
  SeriesSpec wider = s;
  wider.columns = 8;
  wider.first = {-10, -20, 100};
  fixtures::WriteFile(dir, "zz", volfix::SliceFile(wider, 0, 1));
  EXPECT_NE(refused("size", dir).find("differ in size: "), std::string::npos);

  dir = testsupport::TempDir("refuse-spacing");
  volfix::WriteSeries(dir, s);
  SeriesSpec finer = s;
  finer.rowSpacing = 0.5;
  finer.first = {-10, -20, 100};
  fixtures::WriteFile(dir, "zz", volfix::SliceFile(finer, 0, 1));
  EXPECT_NE(refused("spacing", dir).find("differ in pixel spacing"), std::string::npos);

  dir = testsupport::TempDir("refuse-duplicate");
  volfix::WriteSeries(dir, s);
  fixtures::WriteFile(dir, "zz", volfix::SliceFile(s, 2, 1));
  EXPECT_NE(refused("duplicate", dir).find("two images lie at the same position"),
            std::string::npos);

  dir = testsupport::TempDir("refuse-line");
  volfix::WriteSeries(dir, s);
  SeriesSpec aside = s;
  aside.first = {30, -20, 30 + 2.5 * 10};
  fixtures::WriteFile(dir, "zz", volfix::SliceFile(aside, 0, 1));
  EXPECT_NE(refused("line", dir).find("do not lie on one stack"), std::string::npos);

  dir = testsupport::TempDir("refuse-no-orientation");
  SeriesSpec none = s;
  none.orientation = {0, 0, 0, 0, 0, 0};
  volfix::WriteSeries(dir, none);
  EXPECT_NE(refused("no orientation", dir).find("has no Image Orientation"), std::string::npos);

  dir = testsupport::TempDir("refuse-absurd");
  SeriesSpec far = s;
  far.first = {1e9, 0, 0};
  volfix::WriteSeries(dir, far);
  EXPECT_NE(refused("absurd", dir).find("out of any real range"), std::string::npos);

  dir = testsupport::TempDir("refuse-two-series");
  volfix::WriteSeries(dir, s);
  SeriesSpec other = s;
  other.seriesUid += ".9";
  fixtures::WriteFile(dir, "zz", volfix::SliceFile(other, 0, 1));
  EXPECT_EQ(refused("two series", dir), "the folder holds 2 series, not one");

  dir = testsupport::TempDir("refuse-colour");
  fixtures::ImageSpec rgb;
  rgb.samples = 3;
  rgb.bitsAllocated = rgb.bitsStored = 8;
  rgb.photometric = "RGB";
  fixtures::WriteFile(dir, "a", fixtures::SmallImageFile(rgb));
  fixtures::WriteFile(dir, "b", fixtures::SmallImageFile(rgb));
  EXPECT_NE(refused("colour", dir).find("only grey images"), std::string::npos);
}

// Decodes every frame but one.
class FailingSource : public TFrameSource {
 public:
  explicit FailingSource(std::string failing) : failing_(std::move(failing)) {}
  bool UseFrame(const TVolumeFile& file, int frame,
                const std::function<void(const TFrameView&)>& use, std::string& reason) override {
    if (file.path.find(failing_) != std::string::npos) {
      reason = "the data ends early";
      return false;
    }
    return inner_.UseFrame(file, frame, use, reason);
  }

 private:
  std::string failing_;
  TDecodingFrameSource inner_;
};

TEST(VolumeBuild, AFrameThatCannotBeHadRefusesTheVolumeNamingIt) {
  SeriesSpec s;
  const std::string dir = testsupport::TempDir("volume-failing");
  volfix::WriteSeries(dir, s);
  std::vector<TVolumeFrame> frames;
  std::string reason;
  ASSERT_TRUE(FramesFromPath(dir, frames, reason)) << reason;
  FailingSource source("IM0003");
  EXPECT_FALSE(BuildVolume(frames, source, reason));
  EXPECT_EQ(reason, dir + "/IM0003 cannot be decoded: the data ends early");
}

TEST(VolumeBuild, WordsAndBytesKeepTheirSignedness) {
  SeriesSpec u;
  u.isSigned = false;
  Built b = BuildSeries("unsigned", u);
  ASSERT_TRUE(b.volume) << b.reason;
  ExpectSlices(*b.volume, u, Ascending(u.slices));
  EXPECT_FALSE(b.volume->isSigned);
  EXPECT_GT(b.volume->maxValue, 32767);
  EXPECT_GE(b.volume->minValue, 0);

  SeriesSpec bytes;
  bytes.bitsAllocated = 8;
  bytes.isSigned = false;
  b = BuildSeries("bytes", bytes);
  ASSERT_TRUE(b.volume) << b.reason;
  ExpectSlices(*b.volume, bytes, Ascending(bytes.slices));
  EXPECT_LE(b.volume->maxValue, 255);

  SeriesSpec signedBytes = bytes;
  signedBytes.isSigned = true;
  b = BuildSeries("signed-bytes", signedBytes);
  ASSERT_TRUE(b.volume) << b.reason;
  ExpectSlices(*b.volume, signedBytes, Ascending(signedBytes.slices));
  EXPECT_LT(b.volume->minValue, 0);
}

TEST(VolumeBuild, ImagesThatDifferInRescaleShareOneScale) {
  // As PET series are written: every slice with a slope of its own.
  SeriesSpec s;
  s.slices = 3;
  s.isSigned = false;
  const std::string dir = testsupport::TempDir("volume-rescale");
  for (int k = 0; k < s.slices; ++k) {
    SeriesSpec sk = s;
    sk.slope = 0.5 * (k + 1);
    sk.intercept = 10.0 * k;
    fixtures::WriteFile(dir, "s" + std::to_string(k), volfix::SliceFile(sk, k, k + 1));
  }
  Built b = BuildFrom(dir);
  ASSERT_TRUE(b.volume) << b.reason;
  const TVolume& v = *b.volume;
  EXPECT_TRUE(HasNote(v, "the images differ in rescale"));
  EXPECT_TRUE(v.isSigned);
  EXPECT_EQ(v.header.pixel_representation, 1);
  const double slope = v.header.IntenScale, intercept = v.header.IntenIntercept;
  for (int k = 0; k < s.slices; ++k)
    for (int j = 0; j < s.rows; ++j)
      for (int i = 0; i < s.columns; ++i) {
        const double real = volfix::Value(s, i, j, k) * 0.5 * (k + 1) + 10.0 * k;
        ASSERT_NEAR(v.At(i, j, k) * slope + intercept, real, 0.51 * slope + 1e-4 * std::abs(real));
      }
}

TEST(VolumeBuild, EnhancedMultiFrameEqualsTheSameVolumeAsSingleFrames) {
  SeriesSpec s;
  s.step = {0, 0.3, 2.0};  // tilted, so positions must be read per frame
  Built single = BuildSeries("enh-single", s);
  ASSERT_TRUE(single.volume) << single.reason;
  for (bool explicitVR : {true, false})
    for (bool undefined : {false, true}) {
      SeriesSpec e = s;
      e.explicitVR = explicitVR;
      volfix::EnhancedOptions o;
      o.frameOrder = {3, 0, 6, 1, 5, 2, 4};  // frames in no order
      o.undefinedLengths = undefined;
      o.orientationPerFrame = undefined;
      const std::string dir = testsupport::TempDir("enh");
      const std::string path = fixtures::WriteFile(dir, "enhanced.dcm", volfix::EnhancedFile(e, o));
      Built multi = BuildFrom(path);
      ASSERT_TRUE(multi.volume) << multi.reason << " explicit " << explicitVR;
      EXPECT_EQ(multi.volume->voxels, single.volume->voxels);
      const TVolumeGeometry &a = multi.volume->geometry, &b = single.volume->geometry;
      EXPECT_EQ(a.depth, b.depth);
      EXPECT_EQ(a.normal, b.normal);
      EXPECT_NEAR(a.tiltDegrees, b.tiltDegrees, 1e-9);
      for (int k = 0; k < a.slices; ++k) EXPECT_EQ(a.origin[size_t(k)], b.origin[size_t(k)]);
      EXPECT_EQ(multi.volume->sliceFrame[0], 2);  // frame 2 holds slice 0
    }
}

TEST(VolumeBuild, EnhancedImageWithTemporalPositionsKeepsTheFirst) {
  SeriesSpec s;
  s.slices = 4;
  volfix::EnhancedOptions o;
  o.frameOrder = {0, 1, 2, 3, 0, 1, 2, 3};
  o.temporalPosition = {1, 1, 1, 1, 2, 2, 2, 2};
  const std::string dir = testsupport::TempDir("enh-temporal");
  const std::string path = fixtures::WriteFile(dir, "e.dcm", volfix::EnhancedFile(s, o));
  Built b = BuildFrom(path);
  ASSERT_TRUE(b.volume) << b.reason;
  EXPECT_EQ(b.volume->geometry.slices, 4);
  EXPECT_TRUE(HasNote(*b.volume, "2 temporal positions: the volume is made of the first"));
  ExpectSlices(*b.volume, s, Ascending(4));
}

TEST(VolumeBuild, PlanRefusesAMultiFrameFileWithoutFramePositions) {
  fixtures::ImageSpec mf;
  mf.frames = 5;
  const std::string dir = testsupport::TempDir("mf-no-positions");
  const std::string path = fixtures::WriteFile(dir, "mf.dcm", fixtures::SmallImageFile(mf));
  std::vector<TVolumeFrame> frames;
  std::string reason;
  EXPECT_FALSE(FramesFromPath(path, frames, reason));
  EXPECT_NE(reason.find("does not say where each lies"), std::string::npos) << reason;
}

TEST(VolumeBuild, FillReportsProgressAndStopsWhenCancelled) {
  SeriesSpec s;
  s.slices = 12;
  const std::string dir = testsupport::TempDir("volume-progress");
  volfix::WriteSeries(dir, s);
  std::vector<TVolumeFrame> frames;
  std::string reason;
  ASSERT_TRUE(FramesFromPath(dir, frames, reason)) << reason;
  TVolumePlan plan;
  ASSERT_TRUE(PlanVolume(frames, plan, reason)) << reason;
  TDecodingFrameSource source;
  std::vector<int> seen;
  TVolumeOptions o;
  o.threads = 3;
  o.progress = [&](int done, int total) {
    EXPECT_EQ(total, 12);
    seen.push_back(done);
  };
  ASSERT_TRUE(FillVolume(plan, source, reason, o));
  EXPECT_EQ(seen.size(), 12u);
  EXPECT_EQ(seen.back(), 12);

  std::atomic<bool> cancel{true};
  o.cancel = &cancel;
  EXPECT_FALSE(FillVolume(plan, source, reason, o));
  EXPECT_EQ(reason, "the volume was cancelled");
}

// A volume built through a cache counts against its budget: cached frames
// make room for it, and its bytes come back when it is freed. One the budget
// cannot hold is refused before its voxels are allocated, evicting nothing.
TEST(VolumeBuild, AVolumeIsChargedToTheCacheBudgetUntilFreed) {
  constexpr int64_t kMiB = int64_t{1} << 20;
  SeriesSpec s;
  s.columns = 128;
  s.rows = 128;
  s.slices = 20;  // 640 KiB of voxels
  const std::string dir = testsupport::TempDir("volume-charge");
  volfix::WriteSeries(dir, s);
  std::vector<TVolumeFrame> frames;
  std::string reason;
  ASSERT_TRUE(FramesFromPath(dir, frames, reason)) << reason;

  FrameCache cache(kMiB);
  const auto fill = [&] {
    for (int k = 1; k <= 8; ++k) {
      DecodedFrame f;
      f.buff8.assign(100 * 1024, 0);
      cache.Insert("other.dcm", k, std::move(f));
    }
  };
  fill();
  ASSERT_EQ(cache.GetStats().frames, 8u);
  TCachedFrameSource source(cache);
  std::shared_ptr<TVolume> v = BuildVolume(frames, source, reason);
  ASSERT_TRUE(v) << reason;
  EXPECT_EQ(cache.Charged(), int64_t(v->Bytes()));
  EXPECT_LE(cache.BytesHeld() + cache.Charged(), cache.Budget());
  EXPECT_LT(cache.GetStats().frames, 8u + size_t(s.slices));
  EXPECT_GT(cache.GetStats().evictions, 0u);
  std::shared_ptr<TVolume> second = v;
  v.reset();
  EXPECT_EQ(cache.Charged(), int64_t(second->Bytes()));  // still held
  second.reset();
  EXPECT_EQ(cache.Charged(), 0);

  // Twice the budget: refused, and the cached frames stay.
  s.slices = 64;  // 2 MiB
  const std::string big = testsupport::TempDir("volume-charge-big");
  volfix::WriteSeries(big, s);
  frames.clear();
  ASSERT_TRUE(FramesFromPath(big, frames, reason)) << reason;
  cache.Clear();
  fill();
  EXPECT_FALSE(BuildVolume(frames, source, reason));
  EXPECT_NE(reason.find("does not fit in the memory for images"), std::string::npos) << reason;
  EXPECT_EQ(cache.Charged(), 0);
  EXPECT_EQ(cache.GetStats().frames, 8u);
}

}  // namespace
