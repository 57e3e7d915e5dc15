#include "pixels/codecs/OpenJph.h"

// ojph_arch.h first: the other headers use its macros without including it.
#include <openjph/ojph_arch.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_message.h>
#include <openjph/ojph_params.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "pixels/codecs/AbortGuard.h"
#include "pixels/codecs/Isolated.h"
#include "pixels/codecs/OpenJpeg.h"

namespace {

// OpenJPH prints its errors and then throws; ours only throws, with the text.
class QuietError : public ojph::message_error {
 public:
  void operator()(int, const char*, int, const char* fmt, ...) override {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    throw std::runtime_error(text);
  }
};

// A stream that swallows what is written to it.
FILE* DiscardStream() {
  cookie_io_functions_t io{};
  io.write = [](void*, const char*, size_t n) -> ssize_t { return ssize_t(n); };
  return fopencookie(nullptr, "w", io);
}

// A child process gets streams of its own: another thread of the parent may
// have held the inherited one's lock when it forked.
void FreshStreams() {
  if (FILE* sink = DiscardStream()) {
    ojph::set_error_stream(sink);
    ojph::set_warning_stream(sink);
    ojph::set_info_stream(sink);
  }
}

// The library's message handlers are process-wide: set them once. OpenJPH
// 0.9.0 ignores configure_warning/configure_info (and configure_error), and its
// own handlers print to their stream unchecked, so a null stream crashes:
// they get a stream that discards instead.
void Silence() {
  static std::once_flag once;
  std::call_once(once, [] {
    static QuietError error;
    ojph::configure_error(&error);
    if (FILE* sink = DiscardStream()) {
      ojph::set_error_stream(sink);
      ojph::set_warning_stream(sink);
      ojph::set_info_stream(sink);
    }
  });
}

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

struct Planes {
  std::vector<std::vector<int32_t>> values;
  std::vector<ComponentPlane> planes;
  bool colourTransform = false;
};

struct Session {
  ojph::mem_infile file;
  std::unique_ptr<ojph::codestream> codestream;
  std::vector<ojph::ui32> rows;
  std::string why;
  bool ok = false;
};

// Reads the stream into p. Runs under the abort guard (AbortGuard.h): every
// object that owns memory is in `s` or `p`.
void DecodeInSession(const uint8_t* data, size_t size, const FrameSpec& spec, Planes& p,
                     Session& s) {
  try {
    s.file.open(data, size);
    s.codestream = std::make_unique<ojph::codestream>();
    ojph::codestream& codestream = *s.codestream;
    codestream.read_headers(&s.file);
    ojph::param_siz siz = codestream.access_siz();
    const ojph::point extent = siz.get_image_extent(), offset = siz.get_image_offset();
    const int64_t width = int64_t{extent.x} - offset.x, height = int64_t{extent.y} - offset.y;
    const ojph::ui32 components = siz.get_num_components();
    if (width < spec.columns || height < spec.rows || components == 0 ||
        width * height * components > 8 * spec.pixels() * spec.samples + (int64_t{1} << 16)) {
      s.why = "the HTJ2K image (" + std::to_string(width) + " x " + std::to_string(height) +
              ") does not fit the frame (" + std::to_string(spec.columns) + " x " +
              std::to_string(spec.rows) + ")";
      return;
    }
    const ojph::ui32 used = spec.samples == 3 && components >= 3 ? 3 : 1;
    p.colourTransform = used == 3 && codestream.access_cod().is_using_color_transform();
    p.values.resize(components);
    p.planes.resize(components);
    s.rows.assign(components, 0);
    for (ojph::ui32 c = 0; c < components; ++c) {
      const ojph::point d = siz.get_downsampling(c);
      ComponentPlane& plane = p.planes[c];
      plane.width = siz.get_recon_width(c);
      plane.height = siz.get_recon_height(c);
      plane.dx = int(std::max<ojph::ui32>(1, d.x));
      plane.dy = int(std::max<ojph::ui32>(1, d.y));
      plane.precision = int(siz.get_bit_depth(c));
      p.values[c].assign(size_t(plane.width * plane.height), 0);
      plane.values = p.values[c].data();
    }
    codestream.set_planar(!p.colourTransform);
    codestream.create();
    // Lines come component by component or row by row as the stream says;
    // each goes to the next row of its component.
    int64_t total = 0;
    for (ojph::ui32 c = 0; c < components; ++c) total += p.planes[c].height;
    for (int64_t n = 0; n < total; ++n) {
      ojph::ui32 c = 0;
      ojph::line_buf* line = codestream.pull(c);
      if (!line || c >= components || s.rows[c] >= p.planes[c].height) break;
      const ComponentPlane& plane = p.planes[c];
      const int64_t top = (int64_t{1} << plane.precision) - 1;
      const bool isSigned = siz.is_signed(c);
      int32_t* dst = p.values[c].data() + s.rows[c]++ * plane.width;
      const ojph::si32* src = line->i32;
      // Lossy samples may overshoot their range slightly.
      for (int64_t x = 0; x < plane.width; ++x) {
        dst[x] = isSigned ? int32_t(std::clamp<int64_t>(src[x], -(top + 1) / 2, top / 2))
                          : int32_t(std::clamp<int64_t>(src[x], 0, top));
      }
    }
    codestream.close();
    s.ok = true;
  } catch (const std::bad_alloc&) {
    s.why = "the HTJ2K frame does not fit in memory";
  } catch (const std::exception& e) {
    s.why = std::string("HTJ2K: ") + e.what();
  }
}

// Decodes every component into its own plane; false when OpenJPH refuses the
// stream or it does not fit the frame (OpenJPEG then gets its turn).
bool DecodePlanes(const uint8_t* data, size_t size, const FrameSpec& spec, Planes& p,
                  std::string& why) {
  Silence();
  Session s;
  auto body = [&] { DecodeInSession(data, size, spec, p, s); };
  if (!codecs::RunAbortGuarded(body)) {
    // OpenJPH asserts on some crafted packet headers; its half-built state
    // is freed with the session.
    s.ok = false;
    s.why = "the HTJ2K stream is damaged (the decoder stopped on it)";
  }
  why = std::move(s.why);
  return s.ok;
}

// What the child hands back, ahead of the samples of up to three planes.
struct SharedResult {
  int32_t state = 0;  // 1: decoded; 2: refused, with `why`
  int32_t colourTransform = 0;
  int32_t planes = 0;
  int32_t unused = 0;
  struct {
    int64_t width, height;
    int32_t dx, dy, precision, unused;
  } plane[3];
  char why[256];
};

// OpenJPH decodes in a child process (Isolated.h): the planes of the first
// three components come back in `block`. False when the child refused the
// stream, crashed or hung.
bool DecodeIsolated(const uint8_t* data, size_t size, const FrameSpec& spec, uint64_t samples,
                    codecs::SharedBlock& block, Planes& p, std::string& why, bool& timedOut) {
  auto* head = reinterpret_cast<SharedResult*>(block.data());
  auto* values = reinterpret_cast<int32_t*>(block.data() + sizeof(SharedResult));
  auto child = [&] {
    FreshStreams();
    Planes got;
    std::string said;
    if (!DecodePlanes(data, size, spec, got, said)) {
      said.copy(head->why, sizeof head->why - 1);
      head->state = 2;
      return;
    }
    const size_t used = std::min<size_t>(got.planes.size(), 3);
    uint64_t at = 0;
    for (size_t k = 0; k < used; ++k) {
      const ComponentPlane& c = got.planes[k];
      const uint64_t area = uint64_t(c.width) * uint64_t(c.height);
      if (at + area > samples) {
        head->state = 2;
        return;
      }
      std::copy(c.values, c.values + area, values + at);
      head->plane[k] = {c.width, c.height, c.dx, c.dy, c.precision, 0};
      at += area;
    }
    head->planes = int32_t(used);
    head->colourTransform = got.colourTransform;
    head->state = 1;
  };
  // A crafted stream can keep the decoder busy for minutes: a second, and a
  // microsecond per sample (a 4096 x 4096 colour frame, 50 s), are plenty.
  const int limitMs = int(std::min<uint64_t>(1000 + samples / 1000, 600000));
  const codecs::ChildEnd end = codecs::RunInChild(child, limitMs);
  timedOut = end == codecs::ChildEnd::kTimedOut;
  if (end != codecs::ChildEnd::kExited || head->state != 1) {
    why = end == codecs::ChildEnd::kTimedOut ? "the HTJ2K stream takes the decoder too long"
          : head->state == 2                 ? std::string(head->why)
                                             : "the HTJ2K stream is damaged";
    return false;
  }
  p.planes.assign(size_t(std::clamp(head->planes, 0, 3)), ComponentPlane{});
  uint64_t at = 0;
  for (size_t k = 0; k < p.planes.size(); ++k) {
    ComponentPlane& c = p.planes[k];
    c.width = head->plane[k].width;
    c.height = head->plane[k].height;
    c.dx = head->plane[k].dx;
    c.dy = head->plane[k].dy;
    c.precision = head->plane[k].precision;
    c.values = values + at;
    at += uint64_t(c.width) * uint64_t(c.height);
  }
  p.colourTransform = head->colourTransform != 0;
  return !p.planes.empty();
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
      MainHeaderSane(data, size, samples) && samples > 0 && samples <= bound) {
    Planes p;
    std::string why;
    codecs::SharedBlock block(sizeof(SharedResult) + samples * sizeof(int32_t));
    bool timedOut = false;
    if (block.data() && DecodeIsolated(data, size, spec, samples, block, p, why, timedOut)) {
      const int used = spec.samples == 3 && p.planes.size() >= 3 ? 3 : 1;
      for (int s = 0; s < spec.samples; ++s) {
        if (!StoreComponent(p.planes[size_t(used == 3 ? s : 0)], s, spec, out.data, out.why))
          return false;
      }
      out.rgb = p.colourTransform;
      return true;
    }
    // A stream that kept OpenJPH busy that long is not handed on.
    if (timedOut) {
      out.why = why;
      return false;
    }
  }
  return DecodeJpeg2000Frame(data, size, spec, out);
}

bool CheckHtj2kFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why) {
  return CheckJpeg2000Frame(data, size, spec, why);
}
