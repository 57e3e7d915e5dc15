// The OpenGL ray caster against the CPU one, under Xvfb with Mesa's software
// OpenGL (llvmpipe): the same settings must give the same picture.
//
// The tolerance, per channel of every pixel: under llvmpipe, which filters
// 16-bit textures in single precision as the CPU ray caster samples, a mean
// difference of at most 0.1 grey levels and 99.9% of the pixels within 2
// (rounding where a sample sits on a table entry's or a window's edge). A
// hardware GPU weighs the 8 voxels of a trilinear sample with 8-bit
// fractions, so where a ray grazes a surface the sample that first passes
// the opacity threshold can move by a step: there the bound is a mean of 2
// levels and 99% of the pixels within 8. A wrong ray, step, table
// coordinate, gradient or window shifts or tints whole regions and fails
// either bound.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QOpenGLWidget>
#include <QPainter>
#include <QProcess>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "viewer/GlRayCaster.h"
#include "viewer/Volume3DView.h"
#include "viewer/VolumeCanvas.h"
#include "volume/Render3D.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A CT-like phantom in Hounsfield units, stored unsigned as HU + 1024 with
// intercept -1024 (so the modality map is exercised): a body of soft tissue
// in air with a bone ring, a contrast-filled vessel, a lung with an airway,
// and a bone marker in front (anterior) on the patient's left, so a picture
// shows which way it is turned. Edges are smoothed over about a millimetre
// as a scanner blurs them. `shear` moves each slice along the rows (a
// gantry tilt).
std::shared_ptr<TVolume> Phantom(int columns, int rows, int slices, double cs, double rs,
                                 double sliceStep, double shear = 0) {
  auto v = std::make_shared<TVolume>();
  TVolumeGeometry& g = v->geometry;
  g.columns = columns, g.rows = rows, g.slices = slices;
  g.rowDir = {1, 0, 0}, g.colDir = {0, 1, 0}, g.normal = {0, 0, 1};
  g.columnSpacing = cs, g.rowSpacing = rs, g.sliceSpacing = sliceStep;
  const Vec3 first{-0.5 * (columns - 1) * cs, -0.5 * (rows - 1) * rs,
                   -0.5 * (slices - 1) * sliceStep};
  for (int k = 0; k < slices; ++k) {
    g.origin.push_back(first + Vec3{0, shear * k, sliceStep * k});
    g.depth.push_back(sliceStep * k);
  }
  if (shear != 0) g.tiltDegrees = std::atan2(std::abs(shear), sliceStep) * 180 / kPi;
  v->isSigned = false;
  v->header.IntenScale = 1;
  v->header.IntenIntercept = -1024;
  v->voxels.resize(v->SliceSize() * size_t(slices));
  // Wider than deep, so a side view is narrower than a front view.
  const double rx = 0.45 * columns * cs, ry = 0.3 * rows * rs, rz = 0.45 * slices * sliceStep;
  const auto edge = [](double d) { return 0.5 - 0.5 * std::tanh(d / 0.7); };  // d < 0 inside
  v->minValue = 65535, v->maxValue = 0;
  for (int k = 0; k < slices; ++k)
    for (int j = 0; j < rows; ++j)
      for (int i = 0; i < columns; ++i) {
        const Vec3 p = g.VoxelPosition(i, j, k) - (g.origin[0] - first);  // the untilted frame
        const double body = (std::hypot(p.x / rx, p.y / ry) - 1) * std::min(rx, ry);
        const double r = std::hypot(p.x / rx, p.y / ry);
        double hu = -1000 + 1040 * edge(std::max(body, std::abs(p.z) - rz));
        // The bone ring, 0.6 to 0.75 of the way out.
        const double ring = (std::abs(r - 0.67) - 0.08) * std::min(rx, ry);
        hu += 700 * edge(std::max(ring, std::abs(p.z) - rz));
        // A vessel along the slices, left of centre (patient left is +x).
        hu += 260 * edge(std::hypot(p.x - 0.25 * rx, p.y + 0.1 * ry) - 0.1 * rx);
        // A lung on the right, with an airway through it.
        const double lung = std::hypot((p.x + 0.3 * rx) / 0.2, p.y / 0.25) - std::min(rx, ry);
        const double airway = std::hypot(p.x + 0.3 * rx, p.y) - 0.05 * rx;
        hu += -840 * edge(lung / 6) * (1 - edge(airway)) - 1040 * edge(airway) * edge(lung / 6);
        // The marker: anterior (-y), patient left (+x), upper half.
        const double marker = std::max({std::abs(p.x - 0.3 * rx), std::abs(p.y + 0.85 * ry),
                                        std::abs(p.z - 0.3 * rz)}) -
                              0.12 * std::min(rx, ry);
        hu += 1500 * edge(marker);
        const int stored = std::clamp(int(std::lround(hu + 1024)), 0, 4095);
        v->Slice(k)[size_t(j) * size_t(columns) + size_t(i)] = int16_t(uint16_t(stored));
        v->minValue = std::min(v->minValue, stored);
        v->maxValue = std::max(v->maxValue, stored);
      }
  return v;
}

// Anisotropic in every axis; the tilted one also shears its slices.
std::shared_ptr<const TVolume> Straight() {
  static const auto v = Phantom(60, 52, 34, 0.7, 0.8, 1.6);
  return v;
}
std::shared_ptr<const TVolume> Tilted() {
  static const auto v = Phantom(56, 48, 30, 0.75, 0.75, 1.9, 0.35);
  return v;
}

struct TDiff {
  double mean = 0;     // per channel, grey levels
  double within8 = 1;  // share of pixels within 8 levels in every channel
  double within2 = 1;  // and within 2
  int max = 0;
  std::string Text() const {
    return "mean " + std::to_string(mean) + ", within 2: " + std::to_string(within2) +
           ", within 8: " + std::to_string(within8) + ", max " + std::to_string(max);
  }
};

TDiff Compare(const TRenderImage& a, const TRenderImage& b) {
  TDiff d;
  if (a.width != b.width || a.height != b.height || a.pixels.size() != b.pixels.size() ||
      a.pixels.empty()) {
    d.mean = 1e9, d.within8 = d.within2 = 0, d.max = 255;
    return d;
  }
  double sum = 0;
  size_t close = 0, closer = 0;
  for (size_t n = 0; n < a.pixels.size(); ++n) {
    int worst = 0;
    for (int shift : {0, 8, 16}) {
      const int x = int((a.pixels[n] >> shift) & 0xff), y = int((b.pixels[n] >> shift) & 0xff);
      worst = std::max(worst, std::abs(x - y));
      sum += std::abs(x - y);
    }
    d.max = std::max(d.max, worst);
    if (worst <= 8) ++close;
    if (worst <= 2) ++closer;
  }
  d.mean = sum / (3.0 * double(a.pixels.size()));
  d.within8 = double(close) / double(a.pixels.size());
  d.within2 = double(closer) / double(a.pixels.size());
  return d;
}

bool gSoftware = true;  // the renderer is llvmpipe

bool Agree(const TDiff& d) {
  return gSoftware ? d.mean <= 0.1 && d.within2 >= 0.999 : d.mean <= 2 && d.within8 >= 0.99;
}

// How many pixels are not black: a picture of nothing passes any comparison.
double Lit(const TRenderImage& im) {
  size_t n = 0;
  for (uint32_t px : im.pixels) n += (px & 0xffffff) > 0x080808 ? 1 : 0;
  return im.pixels.empty() ? 0 : double(n) / double(im.pixels.size());
}

// Where the pictures of a failed comparison (or, when set, of every one)
// are dumped for a look.
void Dump(const TRenderImage& im, const std::string& name) {
  const char* dir = std::getenv("TAVROLEN_GL_TEST_DUMP");
  if (dir && *dir)
    QImageOf(im).save(QString::fromStdString(std::string(dir) + "/" + name + ".png"));
}

// Mesa unloads its driver when the last display connection closes, before
// the leak check runs at exit, so blocks the driver keeps for the life of
// the process would be reported from an unknown module that no suppression
// can name. Kept loaded, they carry the driver's name
// (scripts/lsan-suppressions).
void KeepGlDriverLoaded() {
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void*) {
        const char* name = info->dlpi_name;
        if (name && (std::strstr(name, "_dri.so") || std::strstr(name, "libgallium")))
          dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
        return 0;
      },
      nullptr);
}

class GlRender : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gl = new TGlOffscreenRenderer;
    std::string reason;
    initReason = gl->Init(reason) ? "" : reason;
    gSoftware = gl->Backend().contains("llvmpipe");
    KeepGlDriverLoaded();
  }
  static void TearDownTestSuite() {
    delete gl;
    gl = nullptr;
  }
  void SetUp() override {
    // Under Xvfb with Mesa, OpenGL 3.3 core must be there: the test's
    // command line sets that up, and missing it is a failure, not a skip.
    ASSERT_EQ(initReason, "") << "OpenGL: " << initReason;
  }

  static TRenderImage Gpu(const std::shared_ptr<const TVolume>& v, const TRenderSettings& s,
                          std::string* note = nullptr) {
    TRenderImage out;
    std::string reason;
    EXPECT_TRUE(gl->Render(v, s, out, reason, note)) << reason;
    return out;
  }
  static TRenderImage Cpu(const std::shared_ptr<const TVolume>& v, const TRenderSettings& s,
                          std::string* note = nullptr) {
    TVolumeRenderer r(v);
    TRenderImage out;
    std::string reason;
    EXPECT_TRUE(r.Render(s, out, reason, note, nullptr, 2)) << reason;
    return out;
  }
  // Both casters, compared; `what` names the case in a failure.
  static void ExpectSame(const std::shared_ptr<const TVolume>& v, const TRenderSettings& s,
                         const std::string& what, double minLit = 0.05) {
    const TRenderImage g = Gpu(v, s), c = Cpu(v, s);
    const TDiff d = Compare(g, c);
    EXPECT_TRUE(Agree(d)) << what << ": " << d.Text();
    EXPECT_GE(Lit(c), minLit) << what << ": the CPU picture is (nearly) black";
    if (!Agree(d) || std::getenv("TAVROLEN_GL_TEST_DUMP")) {
      std::printf("%s: %s\n", what.c_str(), d.Text().c_str());
      Dump(g, what + "-gpu");
      Dump(c, what + "-cpu");
    }
  }

  static TGlOffscreenRenderer* gl;
  static std::string initReason;
};
TGlOffscreenRenderer* GlRender::gl = nullptr;
std::string GlRender::initReason;

// Paints the canvas until the picture it was asked for is complete (a slow
// one is drawn in bands, one per paint).
QImage PaintAll(TVolumeCanvas* canvas) {
  auto* widget = static_cast<QOpenGLWidget*>(canvas->Widget());
  QImage shown = widget->grabFramebuffer();
  for (int i = 0; i < 10000 && canvas->Drawing(); ++i) shown = widget->grabFramebuffer();
  return shown;
}

TRenderSettings Settings(const std::string& preset, TCamera camera, int size = 96) {
  TRenderSettings s;
  EXPECT_TRUE(TransferPreset(preset, s.mode, s.tf)) << preset;
  s.camera = camera;
  s.width = size;
  s.height = size - 16;  // not square: rows and columns must not be swapped
  return s;
}

TEST_F(GlRender, BackendNamesTheRenderer) {
  EXPECT_TRUE(gl->Backend().startsWith("OpenGL: ")) << gl->Backend().toStdString();
  EXPECT_GT(gl->Backend().size(), 8);
}

// Every volume rendering preset, from a standard view and an oblique one,
// on a straight and a tilted stack.
TEST_F(GlRender, VolumeRenderingPresetsMatchTheCpu) {
  const TCamera oblique = OrbitCamera(35, 25);
  for (const std::string preset : {"bone", "soft tissue", "lung", "vessels"})
    for (const auto& [volume, vname] :
         {std::pair{Straight(), "straight"}, std::pair{Tilted(), "tilted"}})
      for (const auto& [camera, cname] :
           {std::pair{StandardCamera(TStandardView::Anterior), "anterior"},
            std::pair{oblique, "oblique"}}) {
        const TRenderSettings s = Settings(preset, camera);
        ExpectSame(volume, s, preset + "-" + vname + "-" + cname, preset == "lung" ? 0.01 : 0.05);
      }
}

TEST_F(GlRender, ProjectionsMatchTheCpu) {
  const TCamera oblique = OrbitCamera(-50, 15);
  for (TRenderMode mode : {TRenderMode::Mip, TRenderMode::MinIp, TRenderMode::Mean})
    for (const auto& [volume, vname] :
         {std::pair{Straight(), "straight"}, std::pair{Tilted(), "tilted"}})
      for (const auto& [camera, cname] :
           {std::pair{StandardCamera(TStandardView::Superior), "superior"},
            std::pair{oblique, "oblique"}}) {
        TRenderSettings s = Settings("mip", camera);
        s.mode = mode;
        // A window wide enough that MinIP's air and the mean's soft tissue
        // are not all clipped to one grey.
        s.tf.windowCentre = 0, s.tf.windowWidth = 2400;
        ExpectSame(volume, s, std::string(RenderModeName(mode)) + "-" + vname + "-" + cname);
      }
}

// A crop box, a zoomed and panned camera, a coarse interactive step and a
// shifted, widened transfer function (the window drag).
TEST_F(GlRender, CropZoomStepAndWindowDragMatchTheCpu) {
  TRenderSettings s = Settings("bone", OrbitCamera(200, -30));
  s.crop.lo = {0.1, 0.25, 0.0};
  s.crop.hi = {0.8, 0.9, 0.55};
  s.camera.zoom = 1.6;
  s.camera.panRight = 4;
  s.camera.panUp = -3;
  ExpectSame(Tilted(), s, "bone-cropped");
  s.stepFactor = 2.5;
  s.tf.shift = -150;
  s.tf.scale = 1.8;
  ExpectSame(Tilted(), s, "bone-cropped-coarse-dragged");
  s.mode = TRenderMode::Mip;
  ExpectSame(Straight(), s, "mip-cropped-coarse");
}

// Skipping blocks must leave exactly the picture of taking every sample.
TEST_F(GlRender, SkippingEmptySpaceChangesNothing) {
  // The projections also stop or skip where the window clips the grey:
  // with the preset's narrow window and with one wide enough to clip nothing.
  for (const std::string preset : {"bone", "lung", "mip", "mip wide"}) {
    TRenderSettings s = Settings(preset == "mip wide" ? "mip" : preset, OrbitCamera(20, 40), 80);
    if (preset == "mip wide") s.tf.windowCentre = 0, s.tf.windowWidth = 5000;
    for (TRenderMode mode : {s.mode, TRenderMode::MinIp}) {
      if (s.mode != TRenderMode::Mip && mode == TRenderMode::MinIp) continue;
      s.mode = mode;
      if (mode == TRenderMode::MinIp) s.tf.windowCentre = -600;
      gl->Caster()->SetSkipping(true);
      const TRenderImage skipping = Gpu(Straight(), s);
      gl->Caster()->SetSkipping(false);
      const TRenderImage every = Gpu(Straight(), s);
      gl->Caster()->SetSkipping(true);
      EXPECT_EQ(Compare(skipping, every).max, 0) << preset << " " << RenderModeName(mode);
      if (mode != TRenderMode::MinIp) {
        EXPECT_GT(Lit(every), 0.05) << preset;
      }
    }
  }
}

// A quarter turn about the vertical axis, as a horizontal drag or an orbit
// makes it, shows the side of the patient; the marker in front then stands
// at the picture's side towards which the patient faces.
TEST_F(GlRender, QuarterTurnShowsTheLateralView) {
  const auto v = Straight();
  const TRenderImage left = Gpu(v, Settings("bone", StandardCamera(TStandardView::Left)));
  const TRenderImage right = Gpu(v, Settings("bone", StandardCamera(TStandardView::Right)));
  const TRenderImage front = Gpu(v, Settings("bone", StandardCamera(TStandardView::Anterior)));
  // The body is wider than deep: a side view is not a front view.
  EXPECT_GT(Compare(left, front).mean, 5) << Compare(left, front).Text();
  EXPECT_LE(Compare(Gpu(v, Settings("bone", OrbitCamera(90, 0))), left).mean, 0.5);
  TCamera turned = StandardCamera(TStandardView::Anterior);
  TurnCamera(turned, kPi / 2, 0);
  const TRenderImage dragged = Gpu(v, Settings("bone", turned));
  EXPECT_LE(std::min(Compare(dragged, left).mean, Compare(dragged, right).mean), 0.5);

  // The marker is the brightest thing (bone at 1500 HU above the ring):
  // seen from the left the patient faces the picture's left, from the
  // right the picture's right.
  const auto brightestColumn = [](const TRenderImage& im) {
    std::vector<double> column(size_t(im.width), 0);
    for (int y = 0; y < im.height; ++y)
      for (int x = 0; x < im.width; ++x) {
        const uint32_t px = im.pixels[size_t(y) * size_t(im.width) + size_t(x)];
        column[size_t(x)] =
            std::max(column[size_t(x)], double(px & 0xff) + double((px >> 8) & 0xff));
      }
    return int(std::max_element(column.begin(), column.end()) - column.begin());
  };
  TRenderSettings mip = Settings("mip", StandardCamera(TStandardView::Left));
  mip.tf.windowCentre = 1500, mip.tf.windowWidth = 600;
  EXPECT_LT(brightestColumn(Gpu(v, mip)), mip.width / 2);
  mip.camera = StandardCamera(TStandardView::Right);
  EXPECT_GT(brightestColumn(Gpu(v, mip)), mip.width / 2);
}

// A volume past the texture limit is drawn from a coarser copy, says so,
// and shows what the CPU shows of that copy.
TEST_F(GlRender, VolumePastTheTextureLimitIsDownsampledWithANote) {
  const auto v = Straight();
  gl->Caster()->SetTextureLimits(24, 0);
  const TRenderSettings s = Settings("bone", OrbitCamera(30, 10));
  std::string note;
  const TRenderImage g = Gpu(v, s, &note);
  gl->Caster()->SetTextureLimits(0, 0);
  EXPECT_NE(note.find("Downsampled"), std::string::npos) << note;
  std::string cpuNote;
  const auto coarse = DownsampledVolume(*v, 24, kGlDefaultMaxTextureBytes, "test", cpuNote);
  ASSERT_TRUE(coarse);
  EXPECT_LE(std::max({coarse->geometry.columns, coarse->geometry.rows, coarse->geometry.slices}),
            24);
  const TDiff d = Compare(g, Cpu(coarse, s));
  EXPECT_TRUE(Agree(d)) << d.Text();
  // Back to the full volume once the limit is lifted.
  std::string after;
  Gpu(v, s, &after);
  EXPECT_EQ(after.find("Downsampled"), std::string::npos) << after;
}

// Nothing to draw still gives a picture (black) and says why, as the CPU
// ray caster does; a picture that cannot be made gives a reason.
TEST_F(GlRender, NothingToDrawGivesABlackPictureOrAReason) {
  const auto v = Straight();
  TRenderSettings s = Settings("bone", StandardCamera(TStandardView::Anterior), 40);
  s.crop.lo = {0.6, 0, 0};
  s.crop.hi = {0.4, 1, 1};
  std::string note, cpuNote;
  TRenderImage g = Gpu(v, s, &note);
  EXPECT_EQ(Lit(g), 0);
  EXPECT_FALSE(note.empty());
  Cpu(v, s, &cpuNote);
  EXPECT_EQ(note, cpuNote);

  s = Settings("bone", StandardCamera(TStandardView::Anterior), 40);
  s.tf.points.clear();
  note.clear(), cpuNote.clear();
  g = Gpu(v, s, &note);
  EXPECT_EQ(Lit(g), 0);
  EXPECT_FALSE(note.empty());
  Cpu(v, s, &cpuNote);
  EXPECT_EQ(note, cpuNote);

  // A flat volume (one slice) and a one-pixel picture still draw.
  const auto flat = Phantom(20, 18, 1, 1, 1, 1);
  s = Settings("mip", StandardCamera(TStandardView::Superior), 24);
  s.tf.windowCentre = 0, s.tf.windowWidth = 2000;
  EXPECT_TRUE(Agree(Compare(Gpu(flat, s), Cpu(flat, s))));
  s.width = s.height = 1;
  EXPECT_EQ(Gpu(flat, s).pixels.size(), 1u);

  TRenderImage out;
  std::string reason;
  s.width = 0;
  EXPECT_FALSE(gl->Render(v, s, out, reason));
  EXPECT_FALSE(reason.empty());
  reason.clear();
  s.width = 8;
  EXPECT_FALSE(gl->Render(nullptr, s, out, reason));
  EXPECT_FALSE(reason.empty());
  auto empty = std::make_shared<TVolume>();
  reason.clear();
  EXPECT_FALSE(gl->Render(empty, s, out, reason));
  EXPECT_FALSE(reason.empty());
  // And a good volume draws again afterwards.
  EXPECT_GT(Lit(Gpu(v, Settings("bone", StandardCamera(TStandardView::Anterior), 40))), 0.05);
}

// The canvas of a cell: draws what the offscreen renderer draws, paints the
// overlay, holds its texture against the memory budget while it lives, and
// leaves the mouse to its parent.
TEST(GlCanvas, DrawsTheSceneAndChargesItsTexture) {
  QWidget parent;
  parent.resize(200, 160);
  QString reason;
  TVolumeCanvas* canvas = MakeGlVolumeCanvas(&parent, reason);
  ASSERT_NE(canvas, nullptr) << reason.toStdString();
  EXPECT_TRUE(canvas->Backend().startsWith("OpenGL"));
  EXPECT_TRUE(canvas->Widget()->testAttribute(Qt::WA_TransparentForMouseEvents));
  canvas->Widget()->resize(200, 160);
  int overlays = 0;
  canvas->overlay = [&](QPainter& p) {
    ++overlays;
    p.fillRect(0, 0, 4, 4, Qt::red);
  };
  parent.show();
  const int64_t before = FrameCache::Shared().Charged();
  TVolumeScene scene;
  scene.volume = Straight();
  scene.settings = Settings("bone", OrbitCamera(30, 20), 64);
  canvas->Show(scene);
  const QImage shown = PaintAll(canvas);
  EXPECT_GT(overlays, 0);
  EXPECT_EQ(shown.pixelColor(1, 1), QColor(Qt::red));
  EXPECT_EQ(FrameCache::Shared().Charged() - before, int64_t(Straight()->Bytes()));
  const QImage picture = canvas->Picture();
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.size(), QSize(64, 48));
  TRenderImage expected;
  {
    TGlOffscreenRenderer own;
    std::string why;
    ASSERT_TRUE(own.Init(why)) << why;
    ASSERT_TRUE(own.Render(scene.volume, scene.settings, expected, why)) << why;
  }
  EXPECT_EQ(Compare(RenderImageOf(picture), expected).max, 0);
  EXPECT_GT(Lit(expected), 0.05);
  EXPECT_TRUE(canvas->Notes().isEmpty()) << canvas->Notes().join("; ").toStdString();

  // The interactive picture is smaller: the canvas still fills itself.
  scene.settings.width = 32, scene.settings.height = 24;
  canvas->Show(scene);
  const QImage smaller = PaintAll(canvas);
  EXPECT_EQ(canvas->Picture().size(), QSize(32, 24));
  EXPECT_NE(smaller.pixelColor(smaller.width() / 2, smaller.height() / 2), QColor(Qt::black));

  // A crop box dragged to nothing: a black picture and the reason.
  scene.settings.crop.lo = {0.5, 0, 0};
  scene.settings.crop.hi = {0.2, 1, 1};
  canvas->Show(scene);
  PaintAll(canvas);
  EXPECT_EQ(Lit(RenderImageOf(canvas->Picture())), 0);
  EXPECT_TRUE(canvas->Notes().join(" ").contains("crop box"))
      << canvas->Notes().join("; ").toStdString();

  delete canvas->Widget();
  EXPECT_EQ(FrameCache::Shared().Charged(), before);
}

// A picture slower than the band time is drawn a band of rows per paint,
// the last complete picture staying on display; a newer scene abandons the
// bands left, and the picture pieced together is the whole picture.
TEST(GlCanvas, ASlowPictureIsDrawnInBandsThatANewSceneAbandons) {
  qputenv("TAVROLEN_3D_BAND_MS", "0.001");
  QWidget parent;
  parent.resize(200, 160);
  QString reason;
  TVolumeCanvas* canvas = MakeGlVolumeCanvas(&parent, reason);
  qunsetenv("TAVROLEN_3D_BAND_MS");
  ASSERT_NE(canvas, nullptr) << reason.toStdString();
  canvas->Widget()->resize(200, 160);
  parent.show();
  auto* widget = static_cast<QOpenGLWidget*>(canvas->Widget());
  TVolumeScene scene;
  scene.volume = Straight();
  scene.settings = Settings("bone", OrbitCamera(30, 20), 40);
  canvas->Show(scene);
  PaintAll(canvas);  // the first picture is drawn whole: nothing is known of its cost yet
  ASSERT_EQ(canvas->Picture().size(), QSize(40, 24));

  scene.settings = Settings("soft tissue", OrbitCamera(-40, 10), 96);
  canvas->Show(scene);
  widget->grabFramebuffer();
  EXPECT_TRUE(canvas->Drawing());
  EXPECT_EQ(canvas->Picture().size(), QSize(40, 24));  // still the last complete one

  scene.settings = Settings("bone", OrbitCamera(75, -15), 96);
  canvas->Show(scene);
  int paints = 0;
  for (; paints < 1000 && (paints == 0 || canvas->Drawing()); ++paints) widget->grabFramebuffer();
  EXPECT_GE(paints, 80 / 16);  // bands of at least 16 rows
  EXPECT_FALSE(canvas->Drawing());
  TRenderImage expected;
  TGlOffscreenRenderer own;
  std::string why;
  ASSERT_TRUE(own.Init(why)) << why;
  ASSERT_TRUE(own.Render(scene.volume, scene.settings, expected, why)) << why;
  EXPECT_EQ(Compare(RenderImageOf(canvas->Picture()), expected).max, 0);
  EXPECT_GT(Lit(expected), 0.05);
}

// Mesa's llvmpipe draws a picture several times slower than the CPU ray
// caster and on the UI thread: the 3D cell takes the CPU unless asked for
// OpenGL by name, and says why.
TEST(GlCanvas, TheThreeDViewPrefersTheCpuToASoftwareOpenGl) {
  EXPECT_TRUE(SoftwareOpenGl("llvmpipe (LLVM 15.0.6, 256 bits)"));
  EXPECT_FALSE(SoftwareOpenGl("NVIDIA H100 PCIe/PCIe/SSE2"));
  EXPECT_FALSE(SoftwareOpenGl("AMD Radeon RX 7900 XTX (radeonsi, navi31, LLVM 15.0.6)"));
  QWidget parent;
  QString reason;
  bool software = false;
  EXPECT_EQ(MakeGlVolumeCanvas(&parent, reason, false, &software), nullptr);
  EXPECT_TRUE(software);
  EXPECT_TRUE(reason.contains("llvmpipe")) << reason.toStdString();

  TVolume3DView view(Straight());
  ASSERT_NE(view.Canvas(), nullptr);
  EXPECT_EQ(view.Canvas()->Backend(), "CPU");
  EXPECT_TRUE(view.Notes().join(" ").contains("faster than OpenGL drawn in software"))
      << view.Notes().join("; ").toStdString();
}

// The 3D cell on OpenGL: it picks the OpenGL canvas, and the pictures it
// draws, reduced while the mouse turns the volume and full once it rests,
// are the CPU ray caster's pictures of the scenes it asks for.
TEST(GlCanvas, TheThreeDViewDrawsWhatTheCpuDraws) {
  qputenv("TAVROLEN_3D_RENDERER", "gl");
  TVolume3DView view(Straight());
  qunsetenv("TAVROLEN_3D_RENDERER");
  view.resize(150, 120);
  view.show();
  ASSERT_NE(view.Canvas(), nullptr);
  ASSERT_TRUE(view.Canvas()->Backend().startsWith("OpenGL: "))
      << view.Notes().join("; ").toStdString();
  ASSERT_TRUE(view.ApplyPreset("bone"));
  const auto expectCpuPicture = [&](const char* what) {
    PaintAll(view.Canvas());
    const TVolumeScene& scene = view.LastScene();
    TVolumeRenderer cpu(scene.volume);
    TRenderImage expected;
    std::string reason;
    ASSERT_TRUE(cpu.Render(scene.settings, expected, reason, nullptr, nullptr, 2)) << reason;
    const TDiff d = Compare(RenderImageOf(view.Canvas()->Picture()), expected);
    EXPECT_TRUE(Agree(d)) << what << ": " << d.Text();
    EXPECT_GT(Lit(expected), 0.05) << what;
  };
  view.ViewMouseDown(Qt::LeftButton, Qt::NoModifier, QPoint(60, 60));
  view.ViewMouseMove(Qt::LeftButton, Qt::NoModifier, QPoint(90, 45));
  ASSERT_TRUE(view.Interacting());
  EXPECT_EQ(view.LastScene().settings.stepFactor, 2);
  expectCpuPicture("reduced");
  view.ViewMouseUp(Qt::LeftButton, Qt::NoModifier, QPoint(90, 45));
  QElapsedTimer waited;
  waited.start();
  while (view.Interacting() && waited.elapsed() < 10000) QCoreApplication::processEvents();
  ASSERT_FALSE(view.Interacting());
  EXPECT_EQ(view.LastScene().settings.width, view.width());
  expectCpuPicture("full");
}

// Under the offscreen platform (no display) the canvas either cannot be
// made, with a reason, or works; it never crashes. Run in a process of its
// own, since the platform is chosen once per process.
// Runs one of the GlCanvasChild tests in a process of its own with `extra`
// in its environment; the child must pass.
void RunChild(const char* test, const QProcessEnvironment& extra) {
  QProcess child;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(extra);
  child.setProcessEnvironment(env);
  child.setProcessChannelMode(QProcess::MergedChannels);
  child.start(QCoreApplication::applicationFilePath(),
              {"--gtest_also_run_disabled_tests",
               QString("--gtest_filter=GlCanvasChild.DISABLED_") + test});
  ASSERT_TRUE(child.waitForFinished(120000));
  const QString log = QString::fromLocal8Bit(child.readAll());
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << log.toStdString();
  EXPECT_EQ(child.exitCode(), 0) << log.toStdString();
  EXPECT_TRUE(log.contains("[  PASSED  ] 1 test")) << log.toStdString();
}

TEST(GlCanvas, OffscreenPlatformGivesAReasonOrWorks) {
  QProcessEnvironment env;
  env.insert("QT_QPA_PLATFORM", "offscreen");
  RunChild("MakeUnderOffscreen", env);
}

// An OpenGL older than 3.3 (Mesa made to claim 3.0): a reason from both the
// renderer and the canvas, so the cell can fall back to the CPU.
TEST(GlCanvas, OldOpenGLGivesAReason) {
  QProcessEnvironment env;
  env.insert("MESA_GL_VERSION_OVERRIDE", "3.0");
  env.insert("MESA_GLSL_VERSION_OVERRIDE", "130");
  RunChild("OldOpenGL", env);
}

TEST(GlCanvasChild, DISABLED_OldOpenGL) {
  TGlOffscreenRenderer gl;
  std::string reason;
  EXPECT_FALSE(gl.Init(reason));
  KeepGlDriverLoaded();
  EXPECT_FALSE(reason.empty());
  std::printf("renderer: %s\n", reason.c_str());
  TRenderImage out;
  reason.clear();
  EXPECT_FALSE(gl.Render(Straight(), Settings("bone", OrbitCamera(0, 0), 16), out, reason));
  EXPECT_FALSE(reason.empty());
  QWidget parent;
  QString why;
  EXPECT_EQ(MakeGlVolumeCanvas(&parent, why), nullptr);
  EXPECT_FALSE(why.isEmpty());
  std::printf("canvas: %s\n", qPrintable(why));
}

TEST(GlCanvasChild, DISABLED_MakeUnderOffscreen) {
  ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
  QWidget parent;
  QString reason;
  TVolumeCanvas* canvas = MakeGlVolumeCanvas(&parent, reason);
  if (!canvas) {
    EXPECT_FALSE(reason.isEmpty());
    std::printf("no OpenGL canvas: %s\n", qPrintable(reason));
    return;
  }
  TVolumeScene scene;
  scene.volume = Phantom(20, 18, 10, 1, 1, 2);
  scene.settings = Settings("bone", OrbitCamera(30, 20), 32);
  canvas->Show(scene);
  parent.show();
  PaintAll(canvas);
  std::printf("OpenGL canvas: %s; %s\n", qPrintable(canvas->Backend()),
              qPrintable(canvas->Notes().join("; ")));
}

}  // namespace
