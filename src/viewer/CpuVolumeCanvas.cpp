// The CPU canvas: each picture is ray cast on a worker thread and drawn
// when complete, so the UI thread never waits for a render.
#include <QCoreApplication>
#include <QMetaObject>
#include <QPainter>
#include <QPointer>
#include <QWidget>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "viewer/VolumeCanvas.h"

namespace {

// What the workers share with the canvas: it outlives the canvas while a
// render is running, so a render never reaches into a deleted widget.
struct TRendererSlot {
  std::mutex lock;
  std::shared_ptr<const TVolume> volume;
  std::shared_ptr<const TVolumeRenderer> renderer;

  // The renderer of `v`, made once (its block tables take a pass over the
  // voxels, which belongs on a worker, not the UI thread).
  std::shared_ptr<const TVolumeRenderer> For(const std::shared_ptr<const TVolume>& v) {
    std::lock_guard guard(lock);
    if (volume != v || !renderer) {
      volume = v;
      renderer = std::make_shared<TVolumeRenderer>(v);
    }
    return renderer;
  }
};

class TCpuVolumeCanvas : public QWidget, public TVolumeCanvas {
 public:
  explicit TCpuVolumeCanvas(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The cell above handles the mouse and keys.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
  }
  ~TCpuVolumeCanvas() override {
    if (FCancel) FCancel->store(true);
  }

  QWidget* Widget() override { return this; }
  QString Backend() const override { return QStringLiteral("CPU"); }
  QStringList Notes() const override { return FNotes; }
  QImage Picture() override { return FPicture; }
  bool Drawing() const override { return FDrawing; }

  void Show(const TVolumeScene& scene) override {
    if (FCancel) FCancel->store(true);
    if (!scene.volume) {
      FNotes = QStringList{QStringLiteral("No volume to draw")};
      FPicture = QImage();
      FDrawing = false;
      update();
      return;
    }
    FDrawing = true;
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    FCancel = cancel;
    const uint64_t serial = ++FSerial;
    QPointer<TCpuVolumeCanvas> self(this);
    auto slot = FSlot;
    (void)QtConcurrent::run([self, slot, scene, cancel, serial] {
      TRenderImage image;
      std::string reason, note;
      bool ok = false;
      try {
        ok = slot->For(scene.volume)->Render(scene.settings, image, reason, &note, cancel.get());
      } catch (const std::bad_alloc&) {
        reason = "Not enough memory for the picture";
      }
      if (cancel->load()) return;  // a newer picture is on its way
      QImage picture;
      if (ok && image.width > 0 && image.height > 0 &&
          image.pixels.size() == size_t(image.width) * size_t(image.height)) {
        picture = QImage(image.width, image.height, QImage::Format_RGB32);
        for (int y = 0; y < image.height; ++y)
          std::memcpy(picture.scanLine(y), image.pixels.data() + size_t(y) * size_t(image.width),
                      size_t(image.width) * sizeof(uint32_t));
      }
      QStringList notes;
      if (!ok && !reason.empty()) notes << QString::fromStdString(reason);
      if (!note.empty()) notes << QString::fromStdString(note);
      QCoreApplication* app = QCoreApplication::instance();
      if (!app) return;
      QMetaObject::invokeMethod(
          app,
          [self, serial, ok, picture = std::move(picture), notes = std::move(notes)] {
            if (!self || serial != self->FSerial) return;
            // A picture that could not be drawn leaves the last one, with the reason.
            if (ok) self->FPicture = picture;
            self->FNotes = notes;
            self->FDrawing = false;
            self->update();
          },
          Qt::QueuedConnection);
    });
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (!FPicture.isNull()) {
      // The picture has the widget's aspect; a reduced one is scaled up.
      const QSize fitted = FPicture.size().scaled(size(), Qt::KeepAspectRatio);
      const QRect target(QPoint((width() - fitted.width()) / 2, (height() - fitted.height()) / 2),
                         fitted);
      p.setRenderHint(QPainter::SmoothPixmapTransform, FPicture.width() < fitted.width());
      p.drawImage(target, FPicture);
    }
    if (overlay) overlay(p);
  }

 private:
  std::shared_ptr<TRendererSlot> FSlot = std::make_shared<TRendererSlot>();
  std::shared_ptr<std::atomic<bool>> FCancel;
  uint64_t FSerial = 0;
  bool FDrawing = false;
  QImage FPicture;
  QStringList FNotes;
};

}  // namespace

TVolumeCanvas* MakeCpuVolumeCanvas(QWidget* parent) {
  return new TCpuVolumeCanvas(parent);
}
