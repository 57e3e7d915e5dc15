// The OpenGL ray caster: the same rays, samples, transfer table, shading and
// compositing as the CPU ray caster of Render3D.h, cast by a fragment shader
// over a full-screen quad. The volume lives on the GPU as a 16-bit 3D texture
// (stored - minimum, so every stored range fits), the transfer table as a 1D
// float texture, and the minimum and maximum of blocks of voxels as a small
// 3D texture that lets a ray jump over blocks that cannot change its pixel.
#pragma once

#include <QImage>
#include <QString>
#include <cstddef>
#include <memory>
#include <string>

#include "pixels/FrameCache.h"
#include "volume/Render3D.h"

class QOpenGLContext;
class QOffscreenSurface;
class QOpenGLFramebufferObject;

// The largest volume texture uploaded unless told otherwise: a 512 x 512 x
// 2000 CT is downsampled, since few desktop GPUs keep much more than this
// free beside the screen, and the driver gives no portable way to ask.
constexpr size_t kGlDefaultMaxTextureBytes = size_t(1) << 30;

// Needs a current OpenGL 3.3 core context for everything but the accessors;
// the same context must be current when it is released (Release or the
// destructor).
class TGlRayCaster {
 public:
  TGlRayCaster();
  ~TGlRayCaster();
  TGlRayCaster(const TGlRayCaster&) = delete;
  TGlRayCaster& operator=(const TGlRayCaster&) = delete;

  // Checks the context (3.3 core or later) and builds the shader program.
  bool Init(std::string& reason);
  bool Ready() const { return FProgram != 0; }
  // "llvmpipe (LLVM 15.0.6, 256 bits)": the context's GL_RENDERER.
  const std::string& Renderer() const { return FRenderer; }

  // Caps on the 3D texture below what the GPU allows (0: no own cap), so a
  // test can make a small volume take the downsampled path.
  void SetTextureLimits(int maxSide, size_t maxBytes);
  // Uploads `v` unless it is the volume already uploaded. A volume larger
  // than the GPU's 3D texture limit or the byte cap is downsampled first and
  // Note() says so. The texture's bytes are charged to the shared frame cache
  // while it is uploaded.
  bool SetVolume(const std::shared_ptr<const TVolume>& v, std::string& reason);
  const std::shared_ptr<const TVolume>& Source() const { return FSource; }
  // What the user should know about the uploaded volume ("" or the
  // downsampling note).
  const std::string& Note() const { return FNote; }

  // Draws the picture of `s` into the bound framebuffer, over the viewport
  // (0, 0, s.width, s.height). `note` gets what the CPU ray caster would
  // say of the picture (nothing opaque, empty crop box). `rowCount` > 0
  // draws only the framebuffer rows rowFrom .. rowFrom + rowCount - 1 (from
  // the bottom, as OpenGL counts), leaving the others as they are.
  bool Draw(const TRenderSettings& s, std::string& reason, std::string* note = nullptr,
            int rowFrom = 0, int rowCount = 0);
  // Off: every sample is taken (a test checks that skipping changes nothing).
  void SetSkipping(bool on) { FSkip = on; }

  // Frees the GL objects (the context that made them current).
  void Release();

 private:
  struct TGl;
  bool Upload(const TVolume& v, std::string& reason);
  void UploadBlocks(const TVolume& v);

  std::unique_ptr<TGl> F;
  unsigned FProgram = 0;
  std::string FRenderer;
  int FMaxSide = 0;
  size_t FMaxBytes = kGlDefaultMaxTextureBytes;
  bool FSkip = true;
  std::shared_ptr<const TVolume> FSource;  // as handed in
  // As uploaded: FSource, or its downsampled copy without its voxels.
  std::shared_ptr<const TVolume> FDrawn;
  std::string FNote;
  CacheCharge FCharge;
};

// One picture at a time from a context of its own on an offscreen surface
// (the command line's and the tests' way to the GPU path). Needs a
// QGuiApplication and must be used on its thread; the context, the textures
// and the framebuffer are kept between pictures.
class TGlOffscreenRenderer {
 public:
  TGlOffscreenRenderer();
  ~TGlOffscreenRenderer();
  // Creates the context and the caster; false with the reason (no OpenGL,
  // a version below 3.3, a shader the driver refuses).
  bool Init(std::string& reason);
  // "OpenGL: <renderer>".
  QString Backend() const;
  TGlRayCaster* Caster() { return FCaster.get(); }
  // Draws `s` of `v` into `out`; `note` as for TVolumeRenderer::Render plus
  // the downsampling note.
  bool Render(const std::shared_ptr<const TVolume>& v, const TRenderSettings& s, TRenderImage& out,
              std::string& reason, std::string* note = nullptr);
  // Waits until the last picture is drawn (for timing) without reading it back.
  bool RenderOnly(const std::shared_ptr<const TVolume>& v, const TRenderSettings& s,
                  std::string& reason);

 private:
  bool Draw(const std::shared_ptr<const TVolume>& v, const TRenderSettings& s, std::string& reason,
            std::string* note);
  std::unique_ptr<QOffscreenSurface> FSurface;
  std::unique_ptr<QOpenGLContext> FContext;
  std::unique_ptr<TGlRayCaster> FCaster;
  std::unique_ptr<QOpenGLFramebufferObject> FFbo;
};

// A TRenderImage of a QImage (any format) and back.
TRenderImage RenderImageOf(const QImage& image);
QImage QImageOf(const TRenderImage& image);
