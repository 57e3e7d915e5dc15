// The OpenGL canvas of a 3D cell: the ray caster draws the picture at the
// scene's size into a framebuffer of its own, which is then stretched over
// the widget (a picture made while the mouse moves is smaller than the
// widget) before the cell's overlay is painted on top.
//
// OpenGL draws on the UI thread. A picture that takes longer than a few
// tens of milliseconds (a software rasterizer, a large volume on a small
// GPU) is drawn in bands of rows, one band per paint, so the window keeps
// answering between them and a newer scene abandons the bands left; the
// last complete picture stays on display meanwhile.
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLWidget>
#include <QPainter>
#include <QSurfaceFormat>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <memory>

#include "viewer/GlRayCaster.h"
#include "viewer/VolumeCanvas.h"

namespace {

// What one band of rows may take on the UI thread; TAVROLEN_3D_BAND_MS
// sets another (tests force bands with a tiny one).
double BandMs() {
  bool ok = false;
  const double ms = qEnvironmentVariable("TAVROLEN_3D_BAND_MS").toDouble(&ok);
  return ok && ms > 0 ? ms : 40.0;
}

QSurfaceFormat CanvasFormat() {
  QSurfaceFormat f = QSurfaceFormat::defaultFormat();
  f.setRenderableType(QSurfaceFormat::OpenGL);
  f.setVersion(3, 3);
  f.setProfile(QSurfaceFormat::CoreProfile);
  return f;
}

class TGlVolumeCanvas : public QOpenGLWidget, public TVolumeCanvas {
 public:
  explicit TGlVolumeCanvas(QWidget* parent) : QOpenGLWidget(parent) {
    setFormat(CanvasFormat());
    // The cell handles the mouse and the keys; the canvas only shows.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
  }
  ~TGlVolumeCanvas() override {
    // The base class destroys the context after this part of the object is
    // gone: the clean-up is done here and must not run again from there.
    disconnect(FContextGone);
    // The textures must go while their context is current.
    if (context()) {
      makeCurrent();
      Cleanup();
      doneCurrent();
    }
  }

  QWidget* Widget() override { return this; }
  void Show(const TVolumeScene& scene) override {
    FScene = scene;
    FHaveScene = true;
    FDirty = true;
    update();
  }
  QString Backend() const override {
    return FCaster ? "OpenGL: " + QString::fromStdString(FCaster->Renderer()) : QString("OpenGL");
  }
  QStringList Notes() const override {
    QStringList out;
    if (FCaster && !FCaster->Note().empty()) out << QString::fromStdString(FCaster->Note());
    if (!FProblem.isEmpty()) out << FProblem;
    return out;
  }
  QImage Picture() override {
    if (!FPictureReady || !FShown || !context()) return {};
    makeCurrent();
    QImage out = FShown->toImage().convertToFormat(QImage::Format_RGB32);
    doneCurrent();
    return out;
  }
  bool Drawing() const override { return FHaveScene && (FDirty || FRowsDone >= 0); }

 protected:
  void initializeGL() override {
    // A widget moved to another window gets a new context: everything made
    // in the old one goes with it and is made again.
    FContextGone = connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] {
      makeCurrent();
      Cleanup();
      doneCurrent();
    });
    FCaster = std::make_unique<TGlRayCaster>();
    std::string reason;
    if (!FCaster->Init(reason)) {
      FProblem = "OpenGL: " + QString::fromStdString(reason);
      FCaster.reset();
    }
  }

  void paintGL() override {
    auto* gl = context()->functions();
    gl->glClearColor(0, 0, 0, 1);
    gl->glClear(GL_COLOR_BUFFER_BIT);
    if (FCaster && FHaveScene) {
      // A paint for the overlay alone, or for an exposed window, shows the
      // picture already made.
      if (FDirty) StartScene();
      if (FRowsDone >= 0) DrawBand();
      if (FPictureReady) ShowPicture();
    }
    if (overlay) {
      QPainter painter(this);
      overlay(painter);
    }
  }

 private:
  // Uploads the scene's volume and readies the framebuffer the picture is
  // drawn into; the bands follow.
  void StartScene() {
    // Tried once per scene: a failure is not retried on every paint.
    FDirty = false;
    FRowsDone = -1;
    const TRenderSettings& s = FScene.settings;
    std::string reason;
    if (!FCaster->SetVolume(FScene.volume, reason)) {
      FProblem = QString::fromStdString(reason);
      FPictureReady = false;
      return;
    }
    if (!FWork || FWork->width() != s.width || FWork->height() != s.height) {
      FWork.reset();
      if (s.width < 1 || s.height < 1 || s.width > 16384 || s.height > 16384) {
        FProblem = "No picture of that size";
        FPictureReady = false;
        return;
      }
      FWork = std::make_unique<QOpenGLFramebufferObject>(
          s.width, s.height, QOpenGLFramebufferObject::NoAttachment, GL_TEXTURE_2D, GL_RGBA8);
      if (!FWork->isValid()) {
        FWork.reset();
        FProblem = "No OpenGL framebuffer for a picture of that size";
        FPictureReady = false;
        return;
      }
    }
    FRowsDone = 0;
  }

  void DrawBand() {
    const TRenderSettings& s = FScene.settings;
    const double step = std::max(0.05, s.stepFactor);
    int rows = s.height - FRowsDone;
    // Rows that fit the band's time, by the cost of the bands drawn before
    // (a sample costs about the same whatever the step).
    if (FMsPerSample > 0)
      rows = std::clamp(int(FBandMs * step / (FMsPerSample * s.width)), 16, rows);
    QElapsedTimer clock;
    clock.start();
    FWork->bind();
    std::string reason, said;
    const bool whole = FRowsDone == 0 && rows == s.height;
    const bool ok = FCaster->Draw(s, reason, &said, whole ? 0 : FRowsDone, whole ? 0 : rows);
    context()->functions()->glFinish();
    FWork->release();
    if (!ok) {
      FRowsDone = -1;
      FPictureReady = false;
      FProblem = QString::fromStdString(reason);
      return;
    }
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    FMsPerSample = ms * step / (double(rows) * s.width);
    FRowsDone += rows;
    if (FRowsDone < s.height) {
      QTimer::singleShot(0, this, [this] { update(); });
      return;
    }
    FRowsDone = -1;
    std::swap(FWork, FShown);
    FPictureReady = true;
    FProblem = QString::fromStdString(said);
  }

  void ShowPicture() {
    // Stretched over the whole widget, smoothed when it is smaller.
    const qreal dpr = devicePixelRatioF();
    const QRect target(0, 0, int(width() * dpr), int(height() * dpr));
    QOpenGLFramebufferObject::blitFramebuffer(nullptr, target, FShown.get(),
                                              QRect(0, 0, FShown->width(), FShown->height()),
                                              GL_COLOR_BUFFER_BIT, GL_LINEAR);
  }

  void Cleanup() {
    FWork.reset();
    FShown.reset();
    FRowsDone = -1;
    FCaster.reset();
    FPictureReady = false;
    FDirty = true;
  }

  TVolumeScene FScene;
  QMetaObject::Connection FContextGone;
  bool FHaveScene = false;
  bool FDirty = false;  // the scene changed since the picture was drawn
  std::unique_ptr<TGlRayCaster> FCaster;
  // The picture being drawn, and the last complete one, on display.
  std::unique_ptr<QOpenGLFramebufferObject> FWork, FShown;
  int FRowsDone = -1;       // rows of FWork drawn; -1: none in progress
  double FMsPerSample = 0;  // a band's milliseconds per pixel at step 1
  const double FBandMs = BandMs();
  bool FPictureReady = false;
  QString FProblem;
};

}  // namespace

bool SoftwareOpenGl(const QString& renderer) {
  for (const char* name : {"llvmpipe", "softpipe", "swrast", "SwiftShader", "Basic Render"})
    if (renderer.contains(QLatin1String(name), Qt::CaseInsensitive)) return true;
  return false;
}

TVolumeCanvas* MakeGlVolumeCanvas(QWidget* parent, QString& reason, bool allowSoftware,
                                  bool* software) {
  if (software) *software = false;
  // Platforms that draw widgets into memory only cannot host an OpenGL
  // widget (Qt warns and the widget crashes on its first paint), even where
  // they can make a context.
  const QString platform = QGuiApplication::platformName();
  for (const char* bare : {"offscreen", "minimal", "vnc", "linuxfb", "vkkhrdisplay"})
    if (platform == bare) {
      reason = "OpenGL widgets are not available on the " + platform + " platform";
      return nullptr;
    }
  // Try a context of the canvas's kind first: a QOpenGLWidget whose context
  // fails only warns and stays blank, and the cell must know in time to use
  // the CPU canvas instead.
  QOpenGLContext probe;
  probe.setFormat(CanvasFormat());
  if (!probe.create()) {
    reason = "OpenGL is not available here";
    return nullptr;
  }
  const QSurfaceFormat got = probe.format();
  if (probe.isOpenGLES() || got.version() < qMakePair(3, 3)) {
    reason = QString("OpenGL %1.%2%3 is older than 3.3")
                 .arg(got.majorVersion())
                 .arg(got.minorVersion())
                 .arg(probe.isOpenGLES() ? " ES" : "");
    return nullptr;
  }
  QOffscreenSurface surface;
  surface.setFormat(got);
  surface.create();
  if (!surface.isValid() || !probe.makeCurrent(&surface)) {
    reason = "no OpenGL surface can be made here";
    return nullptr;
  }
  TGlRayCaster caster;
  std::string why;
  const bool ok = caster.Init(why);
  caster.Release();
  probe.doneCurrent();
  if (!ok) {
    reason = QString::fromStdString(why);
    return nullptr;
  }
  const QString renderer = QString::fromStdString(caster.Renderer());
  if (!allowSoftware && SoftwareOpenGl(renderer)) {
    reason = "OpenGL here is drawn in software (" + renderer + ")";
    if (software) *software = true;
    return nullptr;
  }
  return new TGlVolumeCanvas(parent);
}
