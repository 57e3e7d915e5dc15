#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QWheelEvent>
#include <cmath>
#include <cstdlib>
#include <memory>

#include "support/paths.h"
#include "support/qt_wait.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"
#include "viewer/Volume3DView.h"
#include "volume/volume_fixtures.h"

namespace {

using testsupport::RunEventsFor;
using testsupport::WaitUntil;

// A CT-like volume: air around a ball of bone, stored values = HU + 1024.
std::shared_ptr<TVolume> BallVolume(int n = 40) {
  auto v = std::make_shared<TVolume>();
  TVolumeGeometry& g = v->geometry;
  g.columns = g.rows = n;
  g.slices = n * 3 / 4;
  g.rowDir = {1, 0, 0};
  g.colDir = {0, 1, 0};
  g.normal = {0, 0, 1};
  g.columnSpacing = g.rowSpacing = 1;
  g.sliceSpacing = 1.5;
  for (int k = 0; k < g.slices; ++k) {
    g.origin.push_back({0, 0, 1.5 * k});
    g.depth.push_back(1.5 * k);
  }
  v->voxels.resize(size_t(g.columns) * size_t(g.rows) * size_t(g.slices));
  const double c = (n - 1) / 2.0, r = n / 3.0;
  for (int k = 0; k < g.slices; ++k)
    for (int j = 0; j < g.rows; ++j)
      for (int i = 0; i < g.columns; ++i) {
        const double dz = (k * 1.5 - c);
        const bool in = (i - c) * (i - c) + (j - c) * (j - c) + dz * dz < r * r;
        v->Slice(k)[size_t(j) * size_t(g.columns) + size_t(i)] = int16_t(in ? 2024 : 24);
      }
  v->isSigned = true;
  v->minValue = 24;
  v->maxValue = 2024;
  v->header.modality = "CT";
  v->header.IntenScale = 1;
  v->header.IntenIntercept = -1024;
  return v;
}

// The CPU canvas, whatever OpenGL this machine has.
class CpuRenderer {
 public:
  CpuRenderer() {
    const char* old = std::getenv("TAVROLEN_3D_RENDERER");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TAVROLEN_3D_RENDERER", "cpu", 1);
  }
  ~CpuRenderer() {
    if (had_)
      setenv("TAVROLEN_3D_RENDERER", old_.c_str(), 1);
    else
      unsetenv("TAVROLEN_3D_RENDERER");
  }

 private:
  bool had_ = false;
  std::string old_;
};

void Mouse(QWidget* w, QEvent::Type type, Qt::MouseButton button, QPoint at,
           Qt::KeyboardModifiers mods = Qt::NoModifier) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
  QMouseEvent e(type, at, w->mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : button,
                held, mods);
  QApplication::sendEvent(w, &e);
}
void Drag(QWidget* w, Qt::MouseButton button, QPoint from, QPoint to,
          Qt::KeyboardModifiers mods = Qt::NoModifier) {
  Mouse(w, QEvent::MouseButtonPress, button, from, mods);
  const int steps = 8;
  for (int s = 1; s <= steps; ++s)
    Mouse(w, QEvent::MouseMove, button, from + (to - from) * s / steps, mods);
  Mouse(w, QEvent::MouseButtonRelease, button, to, mods);
}

// A widget deleted later is gone (outside an event loop of its own, the
// test delivers the deferred deletes itself).
bool Gone(const QPointer<TVolume3DView>& w) {
  return WaitUntil([&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return !w;
  });
}

bool AllBlack(const QImage& img) {
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if ((img.pixel(x, y) & 0xffffff) != 0) return false;
  return true;
}

class View3D : public ::testing::Test {
 protected:
  void SetUp() override {
    view = std::make_unique<TVolume3DView>(BallVolume());
    view->resize(200, 160);
    view->show();
    QApplication::processEvents();
  }
  // The canvas holds a complete picture of the view's full size.
  bool FullPicture() {
    return WaitUntil([&] {
      const QImage p = view->Canvas()->Picture();
      return !view->Interacting() && p.size() == view->size();
    });
  }
  CpuRenderer cpu;
  std::unique_ptr<TVolume3DView> view;
};

TEST_F(View3D, OpensAsBoneFromTheFrontOnTheCpuCanvasAndDrawsTheBall) {
  EXPECT_EQ(view->Canvas()->Backend(), "CPU");
  EXPECT_EQ(view->PresetName(), "bone");
  EXPECT_EQ(view->Settings().mode, TRenderMode::Vr);
  // Asked for the CPU, so no fallback note.
  for (const QString& n : view->Notes()) EXPECT_FALSE(n.startsWith("OpenGL")) << n.toStdString();
  ASSERT_TRUE(FullPicture());
  const QImage p = view->Canvas()->Picture();
  // Bone in the middle, black air at the corner.
  EXPECT_NE(p.pixel(100, 80) & 0xffffff, 0u);
  EXPECT_EQ(p.pixel(2, 2) & 0xffffff, 0u);
  // The view as shown, for copying: the picture under its overlay.
  const QImage shot = view->Snapshot();
  ASSERT_EQ(shot.size(), view->size());
  EXPECT_EQ(shot.pixel(100, 80), p.pixel(100, 80));

  const std::array<QString, 4> front = view->OrientationLetters();  // left, top, right, bottom
  EXPECT_EQ(front[0], "R");
  EXPECT_EQ(front[1], "H");
  EXPECT_EQ(front[2], "L");
  EXPECT_EQ(front[3], "F");
}

TEST_F(View3D, WithoutTheEnvironmentTheCanvasIsOpenGlOrTheCpuWithTheReason) {
  unsetenv("TAVROLEN_3D_RENDERER");
  TVolume3DView other(BallVolume(16));
  const QString backend = other.Canvas()->Backend();
  if (backend == "CPU") {
    ASSERT_FALSE(other.Notes().isEmpty());
    EXPECT_TRUE(other.Notes()[0].startsWith("OpenGL 3.3 is not available: drawn on the CPU ("))
        << other.Notes()[0].toStdString();
  } else {
    EXPECT_TRUE(backend.startsWith("OpenGL")) << backend.toStdString();
  }
}

TEST_F(View3D, AnotherModalityOpensAsAMipInItsOwnWindowOrItsWholeRange) {
  auto mr = BallVolume(16);
  mr->header.modality = "MR";
  mr->header.IntenIntercept = 0;
  TVolume3DView ranged(mr);
  EXPECT_EQ(ranged.Settings().mode, TRenderMode::Mip);
  EXPECT_EQ(ranged.Settings().tf.windowCentre, (24 + 2024) / 2.0);
  EXPECT_EQ(ranged.Settings().tf.windowWidth, 2001);
  mr->header.WindowCenter = 300;
  mr->header.WindowWidth = 500;
  TVolume3DView windowed(mr);
  EXPECT_EQ(windowed.Settings().tf.windowCentre, 300);
  EXPECT_EQ(windowed.Settings().tf.windowWidth, 500);
}

TEST_F(View3D, TheMouseTurnsWindowsZoomsAndPansAndTheKeysGoBack) {
  const TRenderSettings before = view->Settings();
  // Left drag across: turned about the vertical, which stays.
  Drag(view.get(), Qt::LeftButton, {60, 80}, {140, 80});
  const TCamera turned = view->Settings().camera;
  EXPECT_LT(Dot(turned.right, before.camera.right), 0.9);
  EXPECT_NEAR(Dot(turned.up, before.camera.up), 1, 1e-9);

  // Right drag: to the right widens, down shifts the function (as the 2D window).
  Drag(view.get(), Qt::RightButton, {100, 80}, {160, 80});
  EXPECT_GT(view->Settings().tf.scale, before.tf.scale);
  EXPECT_EQ(view->Settings().tf.shift, before.tf.shift);
  Drag(view.get(), Qt::RightButton, {100, 80}, {100, 140});
  EXPECT_GT(view->Settings().tf.shift, before.tf.shift);
  // A projection windows like an image instead.
  view->SetMode(TRenderMode::Mip);
  const TTransferFunction tf = view->Settings().tf;
  Drag(view.get(), Qt::RightButton, {100, 80}, {40, 20});
  EXPECT_LT(view->Settings().tf.windowWidth, tf.windowWidth);
  EXPECT_LT(view->Settings().tf.windowCentre, tf.windowCentre);
  EXPECT_EQ(view->Settings().tf.scale, tf.scale);

  // Middle drag up and the wheel forward zoom in; Shift + left drag pans.
  Drag(view.get(), Qt::MiddleButton, {100, 120}, {100, 60});
  const double zoomed = view->Settings().camera.zoom;
  EXPECT_GT(zoomed, 1.2);
  QWheelEvent wheel(QPointF(100, 80), view->mapToGlobal(QPointF(100, 80)), {}, {0, 120},
                    Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view.get(), &wheel);
  EXPECT_GT(view->Settings().camera.zoom, zoomed);
  Drag(view.get(), Qt::LeftButton, {100, 80}, {130, 60}, Qt::ShiftModifier);
  // The volume follows the mouse: 30 pixels right and 20 up, in millimetres
  // of the picture (the sphere about the voxel centres across its 160
  // pixels, zoomed).
  const double radius = std::sqrt(19.5 * 19.5 * 2 + 21.75 * 21.75);
  const double mm = 2 * radius / 160 / view->Settings().camera.zoom;
  EXPECT_NEAR(view->Settings().camera.panRight, -30 * mm, 1e-6);
  EXPECT_NEAR(view->Settings().camera.panUp, -20 * mm, 1e-6);
  EXPECT_EQ(view->Settings().camera.right, turned.right);

  // 4: the right view; R: the front again, whole, the preset's own function.
  view->setFocus();
  QKeyEvent four(QEvent::KeyPress, Qt::Key_4, Qt::NoModifier, "4");
  QApplication::sendEvent(view.get(), &four);
  EXPECT_EQ(view->Settings().camera.right, StandardCamera(TStandardView::Right).right);
  view->SetCrop(TCropBox{{0.2, 0, 0}, {0.8, 1, 1}});
  QKeyEvent r(QEvent::KeyPress, Qt::Key_R, Qt::NoModifier, "r");
  QApplication::sendEvent(view.get(), &r);
  EXPECT_EQ(view->Settings().camera.right, StandardCamera(TStandardView::Anterior).right);
  EXPECT_EQ(view->Settings().camera.zoom, 1);
  EXPECT_EQ(view->Settings().crop.lo[0], 0);
  TRenderMode mode;
  TTransferFunction bone;
  ASSERT_TRUE(TransferPreset("bone", mode, bone));
  EXPECT_EQ(view->Settings().tf.scale, bone.scale);
  EXPECT_EQ(view->Settings().tf.shift, bone.shift);
}

TEST_F(View3D, ARightClickOpensTheMenuAndLeavesTheWindow) {
  const TTransferFunction tf = view->Settings().tf;
  Mouse(view.get(), QEvent::MouseButtonPress, Qt::RightButton, {50, 50});
  Mouse(view.get(), QEvent::MouseMove, Qt::RightButton, {52, 51});
  Mouse(view.get(), QEvent::MouseButtonRelease, Qt::RightButton, {52, 51});
  EXPECT_TRUE(view->Menu()->isVisible());
  view->Menu()->hide();
  EXPECT_EQ(view->Settings().tf.shift, tf.shift);
  EXPECT_EQ(view->Settings().tf.scale, tf.scale);
}

TEST_F(View3D, TurningAQuarterAboutTheVerticalShowsTheSideLetters) {
  TCamera c = view->Settings().camera;
  TurnCamera(c, M_PI / 2, 0);
  view->SetCamera(c);
  const std::array<QString, 4> side = view->OrientationLetters();
  EXPECT_TRUE((side[0] == "A" && side[2] == "P") || (side[0] == "P" && side[2] == "A"))
      << side[0].toStdString() << " " << side[2].toStdString();
  EXPECT_EQ(side[1], "H");
  EXPECT_EQ(side[3], "F");
}

TEST_F(View3D, WhileTheMouseMovesThePictureIsReducedThenFull) {
  ASSERT_TRUE(FullPicture());
  EXPECT_EQ(view->LastScene().settings.stepFactor, 1);
  Drag(view.get(), Qt::LeftButton, {60, 80}, {90, 80});
  EXPECT_TRUE(view->Interacting());
  // Half the size at twice the step, then the full picture once the mouse rests.
  EXPECT_EQ(view->LastScene().settings.width, 100);
  EXPECT_EQ(view->LastScene().settings.height, 80);
  EXPECT_EQ(view->LastScene().settings.stepFactor, 2);
  ASSERT_TRUE(FullPicture());
  EXPECT_EQ(view->LastScene().settings.width, 200);
  EXPECT_EQ(view->LastScene().settings.stepFactor, 1);
  // The reduced picture is scaled up to fill the view.
  const QImage shown = view->grab().toImage();
  EXPECT_NE(shown.pixel(100, 80) & 0xffffff, 0u);
}

TEST_F(View3D, AnEmptyCropBoxOrNothingOpaqueGivesABlackPictureAndTheNote) {
  ASSERT_TRUE(FullPicture());
  // The lower face dragged past the upper.
  view->SetCrop(TCropBox{{0, 0.7, 0}, {1, 0.3, 1}});
  EXPECT_TRUE(view->Notes().contains("The crop box is empty"));
  ASSERT_TRUE(WaitUntil([&] { return AllBlack(view->Canvas()->Picture()); }));
  EXPECT_EQ(view->Notes().filter("crop", Qt::CaseInsensitive).size(), 1);  // said once
  // The whole box again: the ball, and no word of the crop once it is drawn.
  view->SetCrop(TCropBox{});
  ASSERT_TRUE(WaitUntil([&] {
    return !AllBlack(view->Canvas()->Picture()) &&
           view->Notes().filter("crop", Qt::CaseInsensitive).isEmpty();
  }));

  // The window dragged until no value is opaque any more.
  view->SetMode(TRenderMode::Vr);
  for (int i = 0; i < 6; ++i) Drag(view.get(), Qt::RightButton, {100, 0}, {100, 150});
  EXPECT_EQ(view->Notes().filter("nothing opaque").size(), 1);
  ASSERT_TRUE(
      WaitUntil([&] { return AllBlack(view->Canvas()->Picture()) && !view->Interacting(); }));
  EXPECT_FALSE(view->grab().isNull());
}

TEST_F(View3D, TheCropBoxFacesDragAlongTheirAxesAndPastEachOtherToNothing) {
  view->ShowCrop(true);
  ASSERT_TRUE(view->CropShown());
  std::vector<QPointF> h = view->CropHandles();
  ASSERT_EQ(h.size(), 6u);
  // From the front: the columns run to the right (the patient's left), the
  // slices upwards (towards the head).
  EXPECT_GT(h[1].x(), h[0].x() + 50);
  EXPECT_LT(h[5].y(), h[4].y() - 30);
  // The high column face dragged 30 pixels left.
  Drag(view.get(), Qt::LeftButton, h[1].toPoint(), h[1].toPoint() - QPoint(30, 0));
  const TCropBox cut = view->Settings().crop;
  EXPECT_LT(cut.hi[0], 0.9);
  EXPECT_GT(cut.hi[0], 0.3);
  EXPECT_EQ(cut.lo[0], 0);
  EXPECT_EQ(view->Settings().camera.right, StandardCamera(TStandardView::Anterior).right);
  // The handle follows the face.
  h = view->CropHandles();
  EXPECT_LT(h[1].x(), h[0].x() + 60);
  // The low face dragged past the high one: nothing left, said so.
  Drag(view.get(), Qt::LeftButton, h[0].toPoint(), QPoint(view->width(), h[0].toPoint().y()));
  EXPECT_TRUE(view->Settings().crop.Empty());
  EXPECT_TRUE(view->Notes().contains("The crop box is empty"));
  // Away from the handles the left drag still turns.
  Drag(view.get(), Qt::LeftButton, {20, 150}, {60, 150});
  EXPECT_NE(view->Settings().camera.right, StandardCamera(TStandardView::Anterior).right);
  EXPECT_FALSE(view->grab().isNull());  // box and handles drawn
}

// ------------------------------------------------------------------ canvas

TEST(CpuVolumeCanvas, ANewPictureReplacesTheOneInTheMakingAndADeletedCanvasIsLeftAlone) {
  auto host = std::make_unique<QWidget>();
  TVolumeCanvas* canvas = MakeCpuVolumeCanvas(host.get());
  ASSERT_TRUE(canvas);
  EXPECT_EQ(canvas->Widget()->parent(), host.get());
  TVolumeScene big;
  big.volume = BallVolume(96);
  big.settings.width = big.settings.height = 700;
  TRenderMode mode;
  ASSERT_TRUE(TransferPreset("bone", mode, big.settings.tf));
  TVolumeScene small = big;
  small.settings.width = 48;
  small.settings.height = 32;
  canvas->Show(big);
  canvas->Show(small);
  EXPECT_TRUE(canvas->Drawing());
  ASSERT_TRUE(WaitUntil([&] { return canvas->Picture().size() == QSize(48, 32); }));
  EXPECT_FALSE(canvas->Drawing());
  // The big one, cancelled or finished late, never replaces it.
  RunEventsFor(300);
  EXPECT_EQ(canvas->Picture().size(), QSize(48, 32));

  // Gone while a picture is in the making: the render ends on its own.
  canvas->Show(big);
  host.reset();
  RunEventsFor(300);

  // No volume: a reason, no crash.
  QWidget other;
  TVolumeCanvas* empty = MakeCpuVolumeCanvas(&other);
  empty->Show(TVolumeScene{});
  EXPECT_FALSE(empty->Notes().isEmpty());
  EXPECT_TRUE(empty->Picture().isNull());
}

// ------------------------------------------------------------------ in a cell

TEST(Volume3DCell, TheViewCoversTheCellUntilAnotherImageOrClearOrClose) {
  CpuRenderer cpu;
  volfix::SeriesSpec spec;
  spec.columns = 24;
  spec.rows = 20;
  spec.slices = 8;
  const std::vector<std::string> files =
      volfix::WriteSeries(testsupport::TempDir("volume3d-cell"), spec);
  TViewer viewer;
  viewer.resize(300, 260);
  viewer.show();
  QApplication::processEvents();
  TadvancedImage* cell = viewer.AdvancedImage();
  ASSERT_TRUE(cell->LoadFile(files[0], 1));

  TVolume3DView* view = ShowVolume3D(cell, BallVolume(16));
  ASSERT_TRUE(view);
  EXPECT_EQ(Volume3DOf(cell), view);
  EXPECT_EQ(view->geometry(), cell->rect());
  viewer.resize(360, 300);
  QApplication::processEvents();
  EXPECT_EQ(view->geometry(), cell->rect());
  // Shown again: one view, the new one.
  QPointer<TVolume3DView> first(view);
  view = ShowVolume3D(cell, BallVolume(16));
  EXPECT_EQ(Volume3DOf(cell), view);
  ASSERT_TRUE(Gone(first));

  // Another image in the cell takes it away.
  QPointer<TVolume3DView> shown(view);
  ASSERT_TRUE(cell->LoadFile(files[1], 1));
  ASSERT_TRUE(Gone(shown));

  // So does clearing the cell.
  shown = ShowVolume3D(cell, BallVolume(16));
  cell->Clear();
  ASSERT_TRUE(Gone(shown));

  // And the view's own Close 3D.
  ASSERT_TRUE(cell->LoadFile(files[0], 1));
  shown = ShowVolume3D(cell, BallVolume(16));
  QAction* close = nullptr;
  for (QAction* a : shown->Menu()->actions())
    if (a->text() == "Close 3D") close = a;
  ASSERT_TRUE(close);
  close->trigger();
  EXPECT_FALSE(Volume3DOf(cell));
  ASSERT_TRUE(Gone(shown));
  EXPECT_TRUE(cell->HasImage);  // the image beneath is still there
}

}  // namespace
