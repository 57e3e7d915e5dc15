// The surface a 3D cell draws its picture on: OpenGL ray casting where
// OpenGL 3.3 is available, the CPU ray caster (on worker threads) where it
// is not. The cell owns the camera, the transfer function and the mouse; a
// canvas only draws the scene it is handed and then the cell's overlay.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "volume/Render3D.h"

class QPainter;
class QWidget;

struct TVolumeScene {
  std::shared_ptr<const TVolume> volume;
  // width and height: the picture's size in pixels (smaller than the
  // canvas while the mouse moves; the canvas scales it up to fill itself).
  TRenderSettings settings;
};

class TVolumeCanvas {
 public:
  virtual ~TVolumeCanvas() = default;
  // The widget (a child of the parent given at creation, which owns it and
  // thereby this object). Mouse and key events are left to the parent.
  virtual QWidget* Widget() = 0;
  // Draws `scene`, replacing any picture in the making. Returns at once:
  // the CPU canvas renders on worker threads and cancels the previous one.
  virtual void Show(const TVolumeScene& scene) = 0;
  // "OpenGL: <renderer>" or "CPU".
  virtual QString Backend() const = 0;
  // What the user should know about the picture (volume downsampled for
  // the GPU, a picture that could not be drawn and why).
  virtual QStringList Notes() const = 0;
  // The last complete picture at its own size (for tests and export).
  virtual QImage Picture() = 0;
  // A picture asked for by Show is still being drawn.
  virtual bool Drawing() const = 0;
  // Painted over the picture, in widget pixels, after every picture.
  std::function<void(QPainter&)> overlay;
};

// The CPU canvas.
TVolumeCanvas* MakeCpuVolumeCanvas(QWidget* parent);
// The OpenGL canvas, or null with the reason when OpenGL 3.3 core is not
// available (the cell then says so and uses the CPU canvas). Without
// `allowSoftware`, an OpenGL drawn in software (Mesa's llvmpipe, softpipe,
// SwiftShader) is refused too, with `software` set: the CPU ray caster
// draws the same picture several times faster there, off the UI thread.
TVolumeCanvas* MakeGlVolumeCanvas(QWidget* parent, QString& reason, bool allowSoftware = true,
                                  bool* software = nullptr);
// Whether an OpenGL renderer's name (GL_RENDERER) is a software rasterizer.
bool SoftwareOpenGl(const QString& renderer);
