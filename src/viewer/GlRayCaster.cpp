#include "viewer/GlRayCaster.h"

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLVersionFunctionsFactory>
#include <QSurfaceFormat>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "volume/Parallel.h"

namespace {

// The side of a skipping block in voxels. Each sample checks its block, so
// larger blocks cost less per sample while smaller ones skip closer to a
// surface; 16 drew a CT's volume rendering fastest under llvmpipe (8 took a
// third longer, 32 no less).
constexpr int kBlock = 16;
// A ray longer than this many samples is refused: a step that small is a
// caller's mistake, and a shader running for minutes would freeze the
// display.
constexpr double kMaxSamplesPerRay = 100000;

const char* const kVertexShader = R"(#version 330 core
// One triangle that covers the viewport: no vertex buffer needed.
void main() {
  vec2 p = vec2(gl_VertexID == 1 ? 3.0 : -1.0, gl_VertexID == 2 ? 3.0 : -1.0);
  gl_Position = vec4(p, 0.0, 1.0);
}
)";

// The fragment shader casts pixel (x, y)'s ray as RayFrameOf lays it out.
// Block skipping only passes over samples that cannot change the pixel: in
// a volume rendering those whose block holds no value the table makes
// opaque, in a maximum (minimum) projection those whose block cannot beat
// the maximum (minimum) so far.
const char* const kFragmentShader = R"(#version 330 core
uniform sampler3D uVolume;      // stored - uMinValue, unsigned normalised
uniform sampler1D uLut;         // r, g, b, a per table entry
uniform sampler1D uOpaqueCount; // entries 0..e with some opacity
uniform sampler3D uBlocks;      // stored min, max around each block
uniform vec3 uOrigin, uDx, uDy, uStep, uBoxLo, uBoxHi, uDims;
uniform vec3 uG0, uG1, uG2;     // voxel gradient -> patient gradient, by row
uniform vec3 uToEye;
uniform int uMode;              // 0 vr, 1 mip, 2 minip, 3 mean
uniform int uHeight, uSkip, uBlockSize;
uniform ivec3 uBlockDims;
uniform float uMinValue, uLutLo, uLutHi, uLutLast;
uniform float uSlope, uIntercept, uWinCentre, uWinWidth;
uniform bool uShade;
uniform float uAmbient, uDiffuse, uSpecular, uShininess;
out vec4 fragColor;

float Stored(vec3 p) {
  return texture(uVolume, (p + 0.5) / uDims).r * 65535.0 + uMinValue;
}
float LutCoord(float s) {
  return uLutHi > uLutLo ? (s - uLutLo) / (uLutHi - uLutLo) * uLutLast : 0.0;
}
vec4 LutAt(float s) {
  return texture(uLut, (LutCoord(s) + 0.5) / (uLutLast + 1.0));
}
// Whether some value in [lo, hi] has opacity; one entry to spare each side
// for the rounding of the table coordinate.
bool AnyOpaque(float lo, float hi) {
  int last = int(uLutLast);
  int e0 = clamp(int(floor(LutCoord(lo))) - 1, 0, last);
  int e1 = clamp(int(ceil(LutCoord(hi))) + 1, 0, last);
  float before = e0 > 0 ? texelFetch(uOpaqueCount, e0 - 1, 0).r : 0.0;
  return texelFetch(uOpaqueCount, e1, 0).r - before > 0.5;
}
float Grey(float stored) {
  float m = stored * uSlope + uIntercept;
  if (uWinWidth <= 1.0) return m > uWinCentre - 0.5 ? 1.0 : 0.0;
  return clamp((m - (uWinCentre - 0.5)) / (uWinWidth - 1.0) + 0.5, 0.0, 1.0);
}

void main() {
  float x = floor(gl_FragCoord.x);
  float y = float(uHeight - 1) - floor(gl_FragCoord.y);
  vec3 o = uOrigin + x * uDx + y * uDy;
  float tmin = -1e30, tmax = 1e30;
  for (int a = 0; a < 3; ++a) {
    if (abs(uStep[a]) < 1e-12) {
      if (o[a] < uBoxLo[a] || o[a] > uBoxHi[a]) { tmin = 1.0; tmax = 0.0; }
    } else {
      float t1 = (uBoxLo[a] - o[a]) / uStep[a], t2 = (uBoxHi[a] - o[a]) / uStep[a];
      tmin = max(tmin, min(t1, t2));
      tmax = min(tmax, max(t1, t2));
    }
  }
  fragColor = vec4(0.0, 0.0, 0.0, 1.0);
  if (tmin > tmax + 1e-4) return;
  // Samples on the box's faces count; float rounding must not drop them.
  int n0 = int(ceil(tmin - 1e-4)), n1 = int(floor(tmax + 1e-4));

  vec3 C = vec3(0.0);
  float A = 0.0;
  float best = uMode == 2 ? 1e30 : -1e30, sum = 0.0;
  int count = 0;
  ivec3 lastBlock = ivec3(-1);
  bool skipBlock = false;
  for (int n = n0; n <= n1; ++n) {
    // A sample rounding puts a hair outside the box is taken on its face.
    vec3 p = clamp(o + float(n) * uStep, uBoxLo, uBoxHi);
    if (uSkip != 0) {
      ivec3 b = clamp(ivec3(floor(p / float(uBlockSize))), ivec3(0), uBlockDims - 1);
      if (b != lastBlock) {
        lastBlock = b;
        vec2 mm = texelFetch(uBlocks, b, 0).rg;
        // With the grey rising with the value, a block whose extreme is
        // clipped to black (MIP) or white (MinIP) cannot change the grey
        // of the extreme either.
        skipBlock = uMode == 0 ? !AnyOpaque(mm.x, mm.y)
                  : uMode == 1 ? (count > 0 && mm.y <= best) || (uSlope > 0.0 && Grey(mm.y) <= 0.0)
                  : uMode == 2 ? (count > 0 && mm.x >= best) || (uSlope > 0.0 && Grey(mm.x) >= 1.0)
                  : false;
      }
      if (skipBlock) {
        // To the first sample past the block (the edge blocks reach to
        // infinity: points beyond the grid are clamped into them).
        vec3 lo = vec3(b * uBlockSize), hi = lo + float(uBlockSize);
        float tExit = 1e30;
        for (int a = 0; a < 3; ++a) {
          if (uStep[a] > 1e-12 && b[a] < uBlockDims[a] - 1) tExit = min(tExit, (hi[a] - o[a]) / uStep[a]);
          if (uStep[a] < -1e-12 && b[a] > 0) tExit = min(tExit, (lo[a] - o[a]) / uStep[a]);
        }
        if (tExit >= float(n1)) break;
        n = max(n, int(ceil(tExit - 1e-3)) - 1);
        continue;
      }
    }
    float s = Stored(p);
    if (uMode == 0) {
      vec4 c = LutAt(s);
      if (c.a <= 0.0) continue;
      vec3 col = c.rgb;
      if (uShade) {
        vec3 gv = vec3(Stored(p + vec3(1, 0, 0)) - Stored(p - vec3(1, 0, 0)),
                       Stored(p + vec3(0, 1, 0)) - Stored(p - vec3(0, 1, 0)),
                       Stored(p + vec3(0, 0, 1)) - Stored(p - vec3(0, 0, 1))) * 0.5;
        vec3 gp = vec3(dot(uG0, gv), dot(uG1, gv), dot(uG2, gv));
        float len = length(gp);
        if (len >= GRADIENT_EPSILON) {
          float nl = abs(dot(-gp / len, uToEye));
          col = col * (uAmbient + uDiffuse * nl) + uSpecular * pow(nl, uShininess);
        } else {
          col = col * (uAmbient + uDiffuse);
        }
      }
      C += (1.0 - A) * c.a * col;
      A += (1.0 - A) * c.a;
      if (A >= 0.99) break;
    } else {
      if (uMode == 1) best = max(best, s);
      else if (uMode == 2) best = min(best, s);
      else sum += s;
      ++count;
      // Once the grey is clipped at its far end no later sample changes it.
      if (uSkip != 0 && uSlope > 0.0 &&
          ((uMode == 1 && Grey(best) >= 1.0) || (uMode == 2 && Grey(best) <= 0.0)))
        break;
    }
  }
  if (uMode == 0) {
    fragColor = vec4(clamp(C, 0.0, 1.0), 1.0);
  } else if (count > 0) {
    float g = Grey(uMode == 3 ? sum / float(count) : best);
    fragColor = vec4(g, g, g, 1.0);
  }
}
)";

}  // namespace

struct TGlRayCaster::TGl {
  QOpenGLFunctions_3_3_Core* gl = nullptr;
  unsigned volume = 0, lut = 0, opaqueCount = 0, blocks = 0, vao = 0;
  int blockDims[3] = {0, 0, 0};
};

TGlRayCaster::TGlRayCaster() : F(std::make_unique<TGl>()) {}
TGlRayCaster::~TGlRayCaster() {
  Release();
}

namespace {
bool GlError(QOpenGLFunctions_3_3_Core* gl, const char* what, std::string& reason) {
  const unsigned e = gl->glGetError();
  if (e == GL_NO_ERROR) return false;
  // Drain the rest so the next check starts clean.
  while (gl->glGetError() != GL_NO_ERROR) {
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%04x", e);
  reason = std::string("OpenGL error ") + code + (e == GL_OUT_OF_MEMORY ? " (out of memory)" : "") +
           " while " + what;
  return true;
}

unsigned Compile(QOpenGLFunctions_3_3_Core* gl, unsigned kind, const std::string& source,
                 std::string& reason) {
  const unsigned sh = gl->glCreateShader(kind);
  const char* text = source.c_str();
  gl->glShaderSource(sh, 1, &text, nullptr);
  gl->glCompileShader(sh);
  int ok = 0;
  gl->glGetShaderiv(sh, GL_COMPILE_STATUS, &ok);
  if (!ok) {
    char log[2048] = {};
    gl->glGetShaderInfoLog(sh, sizeof log - 1, nullptr, log);
    reason = std::string("the ray casting shader does not compile: ") + log;
    gl->glDeleteShader(sh);
    return 0;
  }
  return sh;
}
}  // namespace

bool TGlRayCaster::Init(std::string& reason) {
  if (FProgram) return true;
  QOpenGLContext* ctx = QOpenGLContext::currentContext();
  if (!ctx) {
    reason = "no current OpenGL context";
    return false;
  }
  const QSurfaceFormat f = ctx->format();
  if (ctx->isOpenGLES() || f.version() < qMakePair(3, 3)) {
    reason = "OpenGL " + std::to_string(f.majorVersion()) + "." + std::to_string(f.minorVersion()) +
             (ctx->isOpenGLES() ? " ES" : "") + " is older than the 3.3 the ray caster needs";
    return false;
  }
  F->gl = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(ctx);
  if (!F->gl) {
    reason = "the OpenGL 3.3 core functions are not available";
    return false;
  }
  auto* gl = F->gl;
  const auto* r = reinterpret_cast<const char*>(gl->glGetString(GL_RENDERER));
  FRenderer = r ? r : "unknown renderer";
  int maxTexture = 0;
  gl->glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTexture);
  if (maxTexture < TTransferLut::kEntries) {
    reason = "the OpenGL driver's textures are too small for the transfer table";
    return false;
  }
  std::string fragment = kFragmentShader;
  const std::string key = "GRADIENT_EPSILON";
  char flat[32];
  std::snprintf(flat, sizeof flat, "%.9g", kFlatGradient);
  fragment.replace(fragment.find(key), key.size(), flat);
  const unsigned vs = Compile(gl, GL_VERTEX_SHADER, kVertexShader, reason);
  if (!vs) return false;
  const unsigned fs = Compile(gl, GL_FRAGMENT_SHADER, fragment, reason);
  if (!fs) {
    gl->glDeleteShader(vs);
    return false;
  }
  const unsigned prog = gl->glCreateProgram();
  gl->glAttachShader(prog, vs);
  gl->glAttachShader(prog, fs);
  gl->glLinkProgram(prog);
  gl->glDeleteShader(vs);
  gl->glDeleteShader(fs);
  int ok = 0;
  gl->glGetProgramiv(prog, GL_LINK_STATUS, &ok);
  if (!ok) {
    char log[2048] = {};
    gl->glGetProgramInfoLog(prog, sizeof log - 1, nullptr, log);
    reason = std::string("the ray casting shader does not link: ") + log;
    gl->glDeleteProgram(prog);
    return false;
  }
  FProgram = prog;
  gl->glGenVertexArrays(1, &F->vao);
  unsigned tex[4];
  gl->glGenTextures(4, tex);
  F->volume = tex[0];
  F->lut = tex[1];
  F->opaqueCount = tex[2];
  F->blocks = tex[3];
  const auto params = [gl](unsigned target, unsigned tex, int filter) {
    gl->glBindTexture(target, tex);
    gl->glTexParameteri(target, GL_TEXTURE_MIN_FILTER, filter);
    gl->glTexParameteri(target, GL_TEXTURE_MAG_FILTER, filter);
    gl->glTexParameteri(target, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl->glTexParameteri(target, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    gl->glTexParameteri(target, GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
    gl->glTexParameteri(target, GL_TEXTURE_BASE_LEVEL, 0);
    gl->glTexParameteri(target, GL_TEXTURE_MAX_LEVEL, 0);
  };
  params(GL_TEXTURE_3D, F->volume, GL_LINEAR);
  params(GL_TEXTURE_1D, F->lut, GL_LINEAR);
  params(GL_TEXTURE_1D, F->opaqueCount, GL_NEAREST);
  params(GL_TEXTURE_3D, F->blocks, GL_NEAREST);
  if (GlError(gl, "setting up the ray caster", reason)) {
    Release();
    return false;
  }
  return true;
}

void TGlRayCaster::Release() {
  if (F->gl && QOpenGLContext::currentContext()) {
    auto* gl = F->gl;
    const unsigned tex[4] = {F->volume, F->lut, F->opaqueCount, F->blocks};
    gl->glDeleteTextures(4, tex);
    if (F->vao) gl->glDeleteVertexArrays(1, &F->vao);
    if (FProgram) gl->glDeleteProgram(FProgram);
  }
  *F = TGl{};
  FProgram = 0;
  FSource.reset();
  FDrawn.reset();
  FNote.clear();
  FCharge.Release();
}

void TGlRayCaster::SetTextureLimits(int maxSide, size_t maxBytes) {
  FMaxSide = std::max(0, maxSide);
  FMaxBytes = maxBytes ? maxBytes : kGlDefaultMaxTextureBytes;
  // The next SetVolume uploads again under the new limits.
  FSource.reset();
}

bool TGlRayCaster::SetVolume(const std::shared_ptr<const TVolume>& v, std::string& reason) {
  if (!Ready()) {
    reason = "the OpenGL ray caster is not set up";
    return false;
  }
  if (v && v == FSource && FDrawn) return true;
  FSource.reset();
  FDrawn.reset();
  FNote.clear();
  FCharge.Release();
  const TVolumeGeometry* g = v ? &v->geometry : nullptr;
  if (!g || g->columns < 1 || g->rows < 1 || g->slices < 1 ||
      v->voxels.size() < v->SliceSize() * size_t(g->slices) ||
      g->origin.size() < size_t(g->slices)) {
    reason = "no volume to draw";
    return false;
  }
  int maxSide = 0;
  F->gl->glGetIntegerv(GL_MAX_3D_TEXTURE_SIZE, &maxSide);
  if (maxSide < 2) {
    reason = "the OpenGL driver offers no 3D textures";
    return false;
  }
  std::string why = "the GPU (3D textures up to " + std::to_string(maxSide) + " voxels a side)";
  if (FMaxSide > 0 && FMaxSide < maxSide) {
    maxSide = FMaxSide;
    why = "the GPU (3D textures up to " + std::to_string(maxSide) + " voxels a side)";
  }
  size_t maxBytes = FMaxBytes;
  // The texture counts against the memory budget as the frames do; one that
  // alone passes half of it is made smaller rather than refused.
  const size_t budgetShare = size_t(std::max<int64_t>(FrameCache::Shared().Budget() / 2, 1 << 20));
  if (budgetShare < maxBytes) {
    maxBytes = budgetShare;
    why = "the memory budget";
  }
  std::shared_ptr<const TVolume> drawn = v;
  std::shared_ptr<TVolume> coarse;
  std::string note;
  if ((coarse = DownsampledVolume(*v, maxSide, maxBytes, why, note))) drawn = coarse;
  for (int attempt = 0;; ++attempt) {
    std::string chargeWhy;
    if (!FrameCache::Shared().Charge(int64_t(drawn->Bytes()), FCharge, &chargeWhy)) {
      reason = "no room for the volume's texture: " + chargeWhy;
      return false;
    }
    if (Upload(*drawn, reason)) break;
    FCharge.Release();
    // A driver that runs out of memory gets a smaller copy, down to a size
    // any GPU holds.
    if (attempt >= 4 || drawn->Bytes() < (size_t(16) << 20)) return false;
    maxBytes = drawn->Bytes() / 4;
    note.clear();
    coarse =
        DownsampledVolume(*v, maxSide, maxBytes, "the GPU's free memory (" + reason + ")", note);
    if (!coarse) return false;
    drawn = coarse;
  }
  UploadBlocks(*drawn);
  if (GlError(F->gl, "uploading the volume", reason)) {
    FCharge.Release();
    return false;
  }
  // The coarse copy's voxels live on in the texture; its geometry, range
  // and header are all a picture still needs.
  if (coarse) TVoxels().swap(coarse->voxels);
  FSource = v;
  FDrawn = drawn;
  FNote = note;
  return true;
}

bool TGlRayCaster::Upload(const TVolume& v, std::string& reason) {
  auto* gl = F->gl;
  const TVolumeGeometry& g = v.geometry;
  GlError(gl, "", reason);  // clear what an earlier caller left
  reason.clear();
  gl->glBindTexture(GL_TEXTURE_3D, F->volume);
  gl->glTexImage3D(GL_TEXTURE_3D, 0, GL_R16, g.columns, g.rows, g.slices, 0, GL_RED,
                   GL_UNSIGNED_SHORT, nullptr);
  if (GlError(gl, "making the volume's texture", reason)) return false;
  gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  gl->glPixelStorei(GL_UNPACK_IMAGE_HEIGHT, 0);
  // Slice by slice, so the words shifted to unsigned take one slice of
  // memory, not a second volume.
  std::vector<uint16_t> words(v.SliceSize());
  for (int k = 0; k < g.slices; ++k) {
    const int16_t* src = v.Slice(k);
    for (size_t n = 0; n < words.size(); ++n) {
      const int s = v.isSigned ? int(src[n]) : int(uint16_t(src[n]));
      words[n] = uint16_t(std::clamp(s - v.minValue, 0, 65535));
    }
    gl->glTexSubImage3D(GL_TEXTURE_3D, 0, 0, 0, k, g.columns, g.rows, 1, GL_RED, GL_UNSIGNED_SHORT,
                        words.data());
  }
  return !GlError(gl, "uploading the volume's texture", reason);
}

void TGlRayCaster::UploadBlocks(const TVolume& v) {
  const TVolumeGeometry& g = v.geometry;
  const int dims[3] = {g.columns, g.rows, g.slices};
  int bd[3];
  for (int a = 0; a < 3; ++a) bd[a] = (dims[a] + kBlock - 1) / kBlock;
  std::vector<float> mm(size_t(bd[0]) * size_t(bd[1]) * size_t(bd[2]) * 2);
  // A sample at p reads the voxels floor(p) and floor(p) + 1 on each axis;
  // one voxel more each side covers the rounding of p on the GPU.
  ParallelFor(size_t(bd[1]) * size_t(bd[2]), [&](size_t row) {
    const int bj = int(row % size_t(bd[1])), bk = int(row / size_t(bd[1]));
    const int j0 = std::max(0, bj * kBlock - 1), j1 = std::min(g.rows - 1, (bj + 1) * kBlock + 1);
    const int k0 = std::max(0, bk * kBlock - 1), k1 = std::min(g.slices - 1, (bk + 1) * kBlock + 1);
    for (int bi = 0; bi < bd[0]; ++bi) {
      const int i0 = std::max(0, bi * kBlock - 1),
                i1 = std::min(g.columns - 1, (bi + 1) * kBlock + 1);
      int lo = 1 << 30, hi = -(1 << 30);
      for (int k = k0; k <= k1; ++k)
        for (int j = j0; j <= j1; ++j) {
          const int16_t* src = v.Slice(k) + size_t(j) * size_t(g.columns);
          for (int i = i0; i <= i1; ++i) {
            const int s = v.isSigned ? int(src[i]) : int(uint16_t(src[i]));
            lo = std::min(lo, s);
            hi = std::max(hi, s);
          }
        }
      const size_t at =
          ((size_t(bk) * size_t(bd[1]) + size_t(bj)) * size_t(bd[0]) + size_t(bi)) * 2;
      mm[at] = float(lo);
      mm[at + 1] = float(hi);
    }
  });
  auto* gl = F->gl;
  gl->glBindTexture(GL_TEXTURE_3D, F->blocks);
  gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  gl->glTexImage3D(GL_TEXTURE_3D, 0, GL_RG32F, bd[0], bd[1], bd[2], 0, GL_RG, GL_FLOAT, mm.data());
  std::copy(bd, bd + 3, F->blockDims);
}

bool TGlRayCaster::Draw(const TRenderSettings& s, std::string& reason, std::string* note,
                        int rowFrom, int rowCount) {
  if (!Ready() || !FDrawn) {
    reason = Ready() ? "no volume uploaded" : "the OpenGL ray caster is not set up";
    return false;
  }
  int maxViewport[2] = {0, 0};
  auto* gl = F->gl;
  gl->glGetIntegerv(GL_MAX_VIEWPORT_DIMS, maxViewport);
  if (s.width < 1 || s.height < 1 || s.width > maxViewport[0] || s.height > maxViewport[1]) {
    reason = "a picture of " + std::to_string(s.width) + " x " + std::to_string(s.height) +
             " pixels cannot be drawn";
    return false;
  }
  const TVolume& v = *FDrawn;
  const TRayFrame f = RayFrameOf(v, s);
  const double stepLen = Norm(f.step);
  const double diagonal = std::sqrt(double(f.columns) * f.columns + double(f.rows) * f.rows +
                                    double(f.slices) * f.slices);
  if (!(stepLen > 0) || diagonal / stepLen > kMaxSamplesPerRay) {
    reason = "the sampling step is too small for this volume";
    return false;
  }
  GlError(gl, "", reason);
  reason.clear();
  gl->glViewport(0, 0, s.width, s.height);
  gl->glDisable(GL_DEPTH_TEST);
  gl->glDisable(GL_BLEND);
  if (rowCount > 0) {
    gl->glEnable(GL_SCISSOR_TEST);
    gl->glScissor(0, rowFrom, s.width, rowCount);
  } else {
    gl->glDisable(GL_SCISSOR_TEST);
  }
  gl->glClearColor(0, 0, 0, 1);
  gl->glClear(GL_COLOR_BUFFER_BIT);
  std::string said;
  if (s.crop.Empty()) {
    said = "The crop box is empty";  // as the CPU ray caster says
  } else {
    TTransferLut lut;
    if (s.mode == TRenderMode::Vr) {
      lut = BuildTransferLut(s.tf, v, f.stepMm);
      if (!lut.anyOpaque) said = "The transfer function has no opaque range";
    }
    if (lut.rgba.size() != size_t(TTransferLut::kEntries))
      lut.rgba.assign(size_t(TTransferLut::kEntries), {0, 0, 0, 0});
    std::vector<float> counts(lut.rgba.size());
    float running = 0;
    for (size_t e = 0; e < counts.size(); ++e)
      counts[e] = running += lut.rgba[e][3] > 0 ? 1.f : 0.f;
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl->glBindTexture(GL_TEXTURE_1D, F->lut);
    gl->glTexImage1D(GL_TEXTURE_1D, 0, GL_RGBA32F, TTransferLut::kEntries, 0, GL_RGBA, GL_FLOAT,
                     lut.rgba.data());
    gl->glBindTexture(GL_TEXTURE_1D, F->opaqueCount);
    gl->glTexImage1D(GL_TEXTURE_1D, 0, GL_R32F, TTransferLut::kEntries, 0, GL_RED, GL_FLOAT,
                     counts.data());

    const unsigned p = FProgram;
    gl->glUseProgram(p);
    const auto loc = [gl, p](const char* name) { return gl->glGetUniformLocation(p, name); };
    const auto vec = [&](const char* name, const Vec3& a) {
      gl->glUniform3f(loc(name), float(a.x), float(a.y), float(a.z));
    };
    const auto num = [&](const char* name, double a) { gl->glUniform1f(loc(name), float(a)); };
    const auto integer = [&](const char* name, int a) { gl->glUniform1i(loc(name), a); };
    integer("uVolume", 0);
    integer("uLut", 1);
    integer("uOpaqueCount", 2);
    integer("uBlocks", 3);
    vec("uOrigin", f.origin);
    vec("uDx", f.dx);
    vec("uDy", f.dy);
    vec("uStep", f.step);
    vec("uBoxLo", f.boxLo);
    vec("uBoxHi", f.boxHi);
    vec("uDims",
        Vec3{double(v.geometry.columns), double(v.geometry.rows), double(v.geometry.slices)});
    vec("uG0", f.gradientToPatient[0]);
    vec("uG1", f.gradientToPatient[1]);
    vec("uG2", f.gradientToPatient[2]);
    vec("uToEye", f.toEye);
    integer("uMode", s.mode == TRenderMode::Vr      ? 0
                     : s.mode == TRenderMode::Mip   ? 1
                     : s.mode == TRenderMode::MinIp ? 2
                                                    : 3);
    integer("uHeight", s.height);
    // A mean takes every sample; nothing to skip.
    integer("uSkip", FSkip && s.mode != TRenderMode::Mean ? 1 : 0);
    integer("uBlockSize", kBlock);
    gl->glUniform3i(loc("uBlockDims"), F->blockDims[0], F->blockDims[1], F->blockDims[2]);
    num("uMinValue", v.minValue);
    num("uLutLo", lut.lo);
    num("uLutHi", lut.hi);
    num("uLutLast", TTransferLut::kEntries - 1);
    const double slope = v.header.IntenScale != 0 ? double(v.header.IntenScale) : 1.0;
    num("uSlope", slope);
    num("uIntercept", v.header.IntenIntercept);
    num("uWinCentre", std::isfinite(s.tf.windowCentre) ? s.tf.windowCentre : 0);
    num("uWinWidth", std::isfinite(s.tf.windowWidth) ? s.tf.windowWidth : 1);
    integer("uShade", s.tf.shade ? 1 : 0);
    num("uAmbient", s.tf.ambient);
    num("uDiffuse", s.tf.diffuse);
    num("uSpecular", s.tf.specular);
    num("uShininess", s.tf.shininess);
    const unsigned units[4][2] = {{GL_TEXTURE_3D, F->volume},
                                  {GL_TEXTURE_1D, F->lut},
                                  {GL_TEXTURE_1D, F->opaqueCount},
                                  {GL_TEXTURE_3D, F->blocks}};
    for (int u = 0; u < 4; ++u) {
      gl->glActiveTexture(GL_TEXTURE0 + unsigned(u));
      gl->glBindTexture(units[u][0], units[u][1]);
    }
    gl->glBindVertexArray(F->vao);
    gl->glDrawArrays(GL_TRIANGLES, 0, 3);
    gl->glBindVertexArray(0);
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glUseProgram(0);
  }
  // The scissor would also clip the blit that shows the picture.
  gl->glDisable(GL_SCISSOR_TEST);
  if (GlError(gl, "drawing the volume", reason)) return false;
  if (note) *note = said;
  return true;
}

TGlOffscreenRenderer::TGlOffscreenRenderer() = default;
TGlOffscreenRenderer::~TGlOffscreenRenderer() {
  if (FContext && FSurface && FContext->makeCurrent(FSurface.get())) {
    FFbo.reset();
    FCaster.reset();
    FContext->doneCurrent();
  }
  // Without a current context the GL objects go with the context.
  FFbo.reset();
  FCaster.reset();
}

namespace {
QSurfaceFormat CoreFormat() {
  QSurfaceFormat f;
  f.setRenderableType(QSurfaceFormat::OpenGL);
  f.setVersion(3, 3);
  f.setProfile(QSurfaceFormat::CoreProfile);
  f.setDepthBufferSize(0);
  f.setStencilBufferSize(0);
  return f;
}
}  // namespace

bool TGlOffscreenRenderer::Init(std::string& reason) {
  if (FCaster && FCaster->Ready()) return true;
  FContext = std::make_unique<QOpenGLContext>();
  FContext->setFormat(CoreFormat());
  if (!FContext->create()) {
    reason = "no OpenGL context can be made here";
    FContext.reset();
    return false;
  }
  FSurface = std::make_unique<QOffscreenSurface>();
  FSurface->setFormat(FContext->format());
  FSurface->create();
  if (!FSurface->isValid() || !FContext->makeCurrent(FSurface.get())) {
    reason = "no OpenGL surface can be made here";
    FContext.reset();
    FSurface.reset();
    return false;
  }
  FCaster = std::make_unique<TGlRayCaster>();
  if (!FCaster->Init(reason)) {
    FCaster.reset();
    FContext->doneCurrent();
    return false;
  }
  return true;
}

QString TGlOffscreenRenderer::Backend() const {
  return FCaster ? "OpenGL: " + QString::fromStdString(FCaster->Renderer()) : QString("OpenGL");
}

bool TGlOffscreenRenderer::Draw(const std::shared_ptr<const TVolume>& v, const TRenderSettings& s,
                                std::string& reason, std::string* note) {
  if (!FCaster) {
    reason = "the OpenGL renderer is not set up";
    return false;
  }
  if (!FContext->makeCurrent(FSurface.get())) {
    reason = "the OpenGL context cannot be made current";
    return false;
  }
  if (!FCaster->SetVolume(v, reason)) return false;
  if (s.width < 1 || s.height < 1 || s.width > 16384 || s.height > 16384) {
    reason = "a picture of " + std::to_string(s.width) + " x " + std::to_string(s.height) +
             " pixels cannot be drawn";
    return false;
  }
  if (!FFbo || FFbo->width() != s.width || FFbo->height() != s.height) {
    FFbo.reset();
    FFbo = std::make_unique<QOpenGLFramebufferObject>(
        s.width, s.height, QOpenGLFramebufferObject::NoAttachment, GL_TEXTURE_2D, GL_RGBA8);
    if (!FFbo->isValid()) {
      FFbo.reset();
      reason = "no OpenGL framebuffer of that size";
      return false;
    }
  }
  FFbo->bind();
  std::string said;
  const bool ok = FCaster->Draw(s, reason, &said);
  if (note) {
    *note = FCaster->Note();
    if (!said.empty()) *note += (note->empty() ? "" : "; ") + said;
  }
  return ok;
}

bool TGlOffscreenRenderer::RenderOnly(const std::shared_ptr<const TVolume>& v,
                                      const TRenderSettings& s, std::string& reason) {
  if (!Draw(v, s, reason, nullptr)) return false;
  FContext->functions()->glFinish();
  return true;
}

bool TGlOffscreenRenderer::Render(const std::shared_ptr<const TVolume>& v, const TRenderSettings& s,
                                  TRenderImage& out, std::string& reason, std::string* note) {
  if (!Draw(v, s, reason, note)) return false;
  out.width = s.width;
  out.height = s.height;
  out.pixels.assign(size_t(s.width) * size_t(s.height), 0);
  auto* gl = FContext->functions();
  gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
  // Little-endian words 0xAARRGGBB, as QImage::Format_RGB32 holds them.
  gl->glReadPixels(0, 0, s.width, s.height, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
                   out.pixels.data());
  if (gl->glGetError() != GL_NO_ERROR) {
    reason = "the picture cannot be read back from OpenGL";
    return false;
  }
  // OpenGL's rows run bottom up.
  const size_t w = size_t(s.width);
  for (int y = 0; y < s.height / 2; ++y)
    std::swap_ranges(out.pixels.begin() + ptrdiff_t(size_t(y) * w),
                     out.pixels.begin() + ptrdiff_t(size_t(y + 1) * w),
                     out.pixels.begin() + ptrdiff_t(size_t(s.height - 1 - y) * w));
  for (uint32_t& px : out.pixels) px |= 0xff000000u;
  return true;
}

TRenderImage RenderImageOf(const QImage& image) {
  TRenderImage out;
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  out.width = rgb.width();
  out.height = rgb.height();
  out.pixels.resize(size_t(out.width) * size_t(out.height));
  for (int y = 0; y < out.height; ++y)
    std::memcpy(out.pixels.data() + size_t(y) * size_t(out.width), rgb.constScanLine(y),
                size_t(out.width) * 4);
  return out;
}

QImage QImageOf(const TRenderImage& image) {
  if (image.width < 1 || image.height < 1 ||
      image.pixels.size() < size_t(image.width) * size_t(image.height))
    return {};
  QImage out(image.width, image.height, QImage::Format_RGB32);
  for (int y = 0; y < image.height; ++y)
    std::memcpy(out.scanLine(y), image.pixels.data() + size_t(y) * size_t(image.width),
                size_t(image.width) * 4);
  return out;
}
