// The OpenGL canvas of a 3D cell: the ray caster draws the picture at the
// scene's size into a framebuffer of its own, which is then stretched over
// the widget (a picture made while the mouse moves is smaller than the
// widget) before the cell's overlay is painted on top.
#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLWidget>
#include <QPainter>
#include <QSurfaceFormat>
#include <memory>

#include "viewer/GlRayCaster.h"
#include "viewer/VolumeCanvas.h"

namespace {

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
    if (!FPictureReady || !FFbo || !context()) return {};
    makeCurrent();
    QImage out = FFbo->toImage().convertToFormat(QImage::Format_RGB32);
    doneCurrent();
    return out;
  }

 protected:
  void initializeGL() override {
    // A widget moved to another window gets a new context: everything made
    // in the old one goes with it and is made again.
    connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] {
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
      if (FDirty) DrawScene();
      if (FPictureReady) ShowPicture();
    }
    if (overlay) {
      QPainter painter(this);
      overlay(painter);
    }
  }

 private:
  void DrawScene() {
    // Tried once per scene: a failure is not retried on every paint.
    FDirty = false;
    const TRenderSettings& s = FScene.settings;
    std::string reason;
    if (!FCaster->SetVolume(FScene.volume, reason)) {
      FProblem = QString::fromStdString(reason);
      FPictureReady = false;
      return;
    }
    if (!FFbo || FFbo->width() != s.width || FFbo->height() != s.height) {
      FFbo.reset();
      if (s.width < 1 || s.height < 1 || s.width > 16384 || s.height > 16384) {
        FProblem = "No picture of that size";
        FPictureReady = false;
        return;
      }
      FFbo = std::make_unique<QOpenGLFramebufferObject>(
          s.width, s.height, QOpenGLFramebufferObject::NoAttachment, GL_TEXTURE_2D, GL_RGBA8);
      if (!FFbo->isValid()) {
        FFbo.reset();
        FProblem = "No OpenGL framebuffer for a picture of that size";
        FPictureReady = false;
        return;
      }
    }
    FFbo->bind();
    std::string said;
    const bool ok = FCaster->Draw(s, reason, &said);
    FFbo->release();
    FPictureReady = ok;
    FProblem = QString::fromStdString(ok ? said : reason);
  }

  void ShowPicture() {
    // Stretched over the whole widget, smoothed when it is smaller.
    const qreal dpr = devicePixelRatioF();
    const QRect target(0, 0, int(width() * dpr), int(height() * dpr));
    QOpenGLFramebufferObject::blitFramebuffer(nullptr, target, FFbo.get(),
                                              QRect(0, 0, FFbo->width(), FFbo->height()),
                                              GL_COLOR_BUFFER_BIT, GL_LINEAR);
  }

  void Cleanup() {
    FFbo.reset();
    FCaster.reset();
    FPictureReady = false;
    FDirty = true;
  }

  TVolumeScene FScene;
  bool FHaveScene = false;
  bool FDirty = false;  // the scene changed since the picture was drawn
  std::unique_ptr<TGlRayCaster> FCaster;
  std::unique_ptr<QOpenGLFramebufferObject> FFbo;
  bool FPictureReady = false;
  QString FProblem;
};

}  // namespace

TVolumeCanvas* MakeGlVolumeCanvas(QWidget* parent, QString& reason) {
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
  return new TGlVolumeCanvas(parent);
}
