#include "pixels/codecs/OpenJph.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "dicom/Companion.h"
#include "pixels/codecs/DecoderProcess.h"
#include "pixels/codecs/Htj2kJob.h"
#include "pixels/codecs/OpenJpeg.h"

namespace {

inline int Be16(const uint8_t* p) {
  return p[0] << 8 | p[1];
}

// A raw code stream (SOC, then SIZ) whose capabilities (Rsiz) name Part 15.
bool IsHtCodeStream(const uint8_t* data, size_t size) {
  return size >= 8 && Be16(data) == 0xFF4F && Be16(data + 2) == 0xFF51 &&
         (Be16(data + 6) & 0x4000) != 0;
}

inline uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The main header's segments up to the first tile, checked as the standard
// bounds them: OpenJPH 0.9 trusts SIZ and COD and divides by a tile size of
// 0 or sizes its tables by them. A stream that fails goes to OpenJPEG.
// `samples`: how many the first three components hold together.
bool MainHeaderSane(const uint8_t* data, size_t size, uint64_t& samples) {
  size_t at = 2;  // after SOC
  bool siz = false, cod = false;
  while (at + 4 <= size) {
    const int marker = Be16(data + at);
    if (marker == 0xFF90) return siz && cod;  // SOT: the first tile-part
    const size_t length = size_t(Be16(data + at + 2));
    if ((marker >> 8) != 0xFF || length < 2 || at + 2 + length > size) return false;
    const uint8_t* seg = data + at + 4;
    const size_t n = length - 2;
    if (marker == 0xFF51) {  // SIZ
      if (siz || n < 36) return false;
      const uint64_t x = Be32(seg + 2), y = Be32(seg + 6), xo = Be32(seg + 10), yo = Be32(seg + 14),
                     xt = Be32(seg + 18), yt = Be32(seg + 22), xto = Be32(seg + 26),
                     yto = Be32(seg + 30);
      const size_t components = size_t(Be16(seg + 34));
      if (components == 0 || components > 16384 || n != 36 + 3 * components) return false;
      if (x <= xo || y <= yo || xt == 0 || yt == 0 || xto > xo || yto > yo || xto + xt <= xo ||
          yto + yt <= yo)
        return false;
      const uint64_t tiles = ((x - xto + xt - 1) / xt) * ((y - yto + yt - 1) / yt);
      if (tiles > 65535) return false;
      samples = 0;
      for (size_t c = 0; c < components; ++c) {
        const uint8_t* k = seg + 36 + 3 * c;
        if ((k[0] & 0x7F) + 1 > 38 || k[1] == 0 || k[2] == 0) return false;
        const uint64_t dx = k[1], dy = k[2];
        const uint64_t w = (x + dx - 1) / dx - (xo + dx - 1) / dx;
        const uint64_t h = (y + dy - 1) / dy - (yo + dy - 1) / dy;
        if (c < 3) samples += w * h;
      }
      siz = true;
    } else if (marker == 0xFF52) {  // COD
      if (n < 10) return false;
      const int scod = seg[0], order = seg[1], layers = Be16(seg + 2), mct = seg[4];
      const int levels = seg[5], xcb = (seg[6] & 0x0F) + 2, ycb = (seg[7] & 0x0F) + 2;
      if (order > 4 || layers == 0 || mct > 1 || levels > 32 || xcb > 10 || ycb > 10 ||
          xcb + ycb > 12 || seg[9] > 1)
        return false;
      if ((scod & 1) && n < size_t(10 + levels + 1)) return false;
      cod = true;
    } else if (!siz) {
      return false;  // SIZ comes first
    }
    at += 2 + length;
  }
  return false;
}

// A stream cut short lacks the end-of-code-stream marker (a DICOM fragment
// may add one zero byte of padding after it).
bool EndsWithEoc(const uint8_t* data, size_t size) {
  if (size >= 3 && data[size - 1] == 0) --size;
  return size >= 2 && Be16(data + size - 2) == 0xFFD9;
}

// The decoder program: TAVROLEN_HTJ2K_DECODER when set, else the companion
// program (Companion.h). Empty when there is none: OpenJPEG then decodes.
std::string DecoderProgram() {
  if (const char* chosen = std::getenv("TAVROLEN_HTJ2K_DECODER")) return chosen;
  static const std::string found =
      FindCompanionProgram(TAVROLEN_HTJ2K_DECODER_BUILT, TAVROLEN_HTJ2K_DECODER_INSTALLED);
  return found;
}

// Decodes in the calling thread's decoder process; false when the process
// refused the stream, crashed, hung or could not be had (OpenJPEG then gets
// its turn). `samples` bounds what the first three components hold.
bool DecodeInProcess(const uint8_t* data, size_t size, const FrameSpec& spec, uint64_t samples,
                     CodecOutput& out) {
  const std::string program = DecoderProgram();
  if (program.empty()) return false;
  const size_t planesAt = Htj2kPlanesOffset(size);
  const size_t bytes = planesAt + size_t(samples) * sizeof(int32_t);
  uint8_t* block = codecs::JobBuffer(bytes);
  if (!block) return false;
  auto* job = new (block) Htj2kJob();
  job->streamBytes = size;
  job->capacity = samples;
  job->columns = spec.columns;
  job->rows = spec.rows;
  job->samples = spec.samples;
  job->bitsAllocated = spec.bitsAllocated;
  job->bitsStored = spec.bitsStored;
  job->isSigned = spec.isSigned;
  std::memcpy(block + Htj2kStreamOffset(), data, size);
  // A crafted stream can keep the decoder busy for minutes: a second, and a
  // microsecond per sample (a 4096 x 4096 colour frame, 50 s), are plenty.
  const int limitMs = int(std::min<uint64_t>(1000 + samples / 1000, 600000));
  if (codecs::RunJob(program, bytes, limitMs) != codecs::JobEnd::kDone || job->state != 1)
    return false;
  // The process is not trusted beyond the block: every plane is checked
  // against the room it had.
  const auto* values = reinterpret_cast<const int32_t*>(block + planesAt);
  const int count = std::clamp(job->planes, 0, 3);
  ComponentPlane planes[3];
  uint64_t at = 0;
  for (int k = 0; k < count; ++k) {
    ComponentPlane& c = planes[k];
    const auto& g = job->plane[k];
    if (g.width <= 0 || g.height <= 0 || g.dx < 1 || g.dy < 1 || g.precision < 1 ||
        g.precision > 38 || uint64_t(g.width) * uint64_t(g.height) > samples - at)
      return false;
    c.width = g.width;
    c.height = g.height;
    c.dx = g.dx;
    c.dy = g.dy;
    c.precision = g.precision;
    c.values = values + at;
    at += uint64_t(c.width) * uint64_t(c.height);
  }
  if (count == 0) return false;
  const int used = spec.samples == 3 && count >= 3 ? 3 : 1;
  std::string why;
  for (int s = 0; s < spec.samples; ++s) {
    if (!StoreComponent(planes[used == 3 ? s : 0], s, spec, out.data, why)) return false;
  }
  out.rgb = job->colourTransform != 0;
  return true;
}

}  // namespace

bool DecodeHtj2kFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (!data || size == 0 || spec.pixels() <= 0) {
    out.why = "the HTJ2K frame is empty";
    return false;
  }
  uint64_t samples = 0;
  const uint64_t bound =
      uint64_t(8 * spec.pixels() * std::max(1, spec.samples) + (int64_t{1} << 16));
  if (IsHtCodeStream(data, size) && EndsWithEoc(data, size) &&
      MainHeaderSane(data, size, samples) && samples > 0 && samples <= bound &&
      DecodeInProcess(data, size, spec, samples, out))
    return true;
  // Whatever OpenJPH refused, crashed on or took too long over.
  std::memset(out.data, 0, out.size);
  out.rgb = false;
  return DecodeJpeg2000Frame(data, size, spec, out);
}

bool CheckHtj2kFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why) {
  return CheckJpeg2000Frame(data, size, spec, why);
}
