#include "pixels/codecs/OpenJph.h"

// ojph_arch.h first: the other headers use its macros without including it.
#include <openjph/ojph_arch.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_message.h>
#include <openjph/ojph_params.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

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

// OpenJPH 0.9.0 is built with its assertions on, and a crafted packet header
// trips one (num_bits <= 32 in bb_read_bits): abort() would take the viewer
// down with it. While a thread decodes through OpenJPH, an abort raised on
// that thread jumps back to the decode, which then fails; any other abort goes
// on to the handler that was there before. glibc's abort() allows this: it
// releases its lock and resets its stage before raising the signal. Nothing
// with a destructor lives in the frames jumped over: the library's state is
// held through `Session`, which the caller frees.
thread_local sigjmp_buf* tAbortGuard = nullptr;
struct sigaction gAbortBefore;

void OnAbort(int sig, siginfo_t* info, void* context) {
  if (sigjmp_buf* back = tAbortGuard) {
    tAbortGuard = nullptr;
    siglongjmp(*back, 1);
  }
  if (gAbortBefore.sa_flags & SA_SIGINFO) {
    if (gAbortBefore.sa_sigaction) gAbortBefore.sa_sigaction(sig, info, context);
    return;
  }
  if (gAbortBefore.sa_handler != SIG_DFL && gAbortBefore.sa_handler != SIG_IGN) {
    gAbortBefore.sa_handler(sig);
    return;
  }
  // The default action: abort() raises again with SIG_DFL after a handler returns.
}

void GuardAborts() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction act {};
    act.sa_sigaction = OnAbort;
    act.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&act.sa_mask);
    sigaction(SIGABRT, &act, &gAbortBefore);
  });
}

struct Session {
  ojph::mem_infile file;
  std::unique_ptr<ojph::codestream> codestream;
  std::vector<ojph::ui32> rows;
  std::string why;
  bool ok = false;
};

// Reads the stream into p. Runs under the abort guard: every object that owns
// memory is in `s` or `p`.
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
  GuardAborts();
  Session s;
  sigjmp_buf back;
  if (sigsetjmp(back, 1) == 0) {
    tAbortGuard = &back;
    DecodeInSession(data, size, spec, p, s);
    tAbortGuard = nullptr;
  } else {
    s.ok = false;
    s.why = "the HTJ2K stream is damaged (the decoder stopped on a packet header)";
    // The library's state may be half-built: released without a close.
  }
  why = std::move(s.why);
  return s.ok;
}

}  // namespace

bool DecodeHtj2kFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (!data || size == 0 || spec.pixels() <= 0) {
    out.why = "the HTJ2K frame is empty";
    return false;
  }
  if (IsHtCodeStream(data, size) && EndsWithEoc(data, size)) {
    Planes p;
    std::string why;
    if (DecodePlanes(data, size, spec, p, why)) {
      const int used = spec.samples == 3 && p.planes.size() >= 3 ? 3 : 1;
      for (int s = 0; s < spec.samples; ++s) {
        if (!StoreComponent(p.planes[size_t(used == 3 ? s : 0)], s, spec, out.data, out.why))
          return false;
      }
      out.rgb = p.colourTransform;
      return true;
    }
  }
  return DecodeJpeg2000Frame(data, size, spec, out);
}
