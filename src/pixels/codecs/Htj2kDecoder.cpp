// The HTJ2K decoder process: OpenJPH 0.9 decodes here, away from the viewer,
// since crafted packet headers make it overrun its heap (DecoderProcess.h
// says how jobs come and go, Htj2kJob.h what a job holds).
#include <openjph/ojph_arch.h>  // first: the other headers use its macros without including it
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_message.h>
#include <openjph/ojph_params.h>

#include <malloc.h>

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
#include "pixels/codecs/Codec.h"
#include "pixels/codecs/DecoderProcess.h"
#include "pixels/codecs/Htj2kJob.h"

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

struct ComponentPlane {
  const int32_t* values = nullptr;
  int64_t width = 0;
  int64_t height = 0;
  int dx = 1;
  int dy = 1;
  int precision = 8;
};

struct Planes {
  // The first three components go straight to `area` (the job's block), one
  // after the other; the rest, decoded only to reach them, to `values`.
  int32_t* area = nullptr;
  uint64_t capacity = 0;
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
    uint64_t filled = 0;
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
      const uint64_t area = uint64_t(plane.width) * uint64_t(plane.height);
      if (c < 3) {
        if (area > p.capacity - filled) {
          s.why = "the HTJ2K components are larger than the frame";
          return;
        }
        std::fill(p.area + filled, p.area + filled + area, 0);
        plane.values = p.area + filled;
        filled += area;
      } else {
        p.values[c].assign(size_t(area), 0);
        plane.values = p.values[c].data();
      }
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
      int32_t* dst = const_cast<int32_t*>(plane.values) + s.rows[c]++ * plane.width;
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

// Decodes the job's stream and writes the planes of its first three
// components after it. Nothing in the block is trusted further than its size.
void DecodeJob(uint8_t* block, size_t bytes) {
  if (bytes < sizeof(Htj2kJob)) return;
  auto* job = reinterpret_cast<Htj2kJob*>(block);
  auto refuse = [&](const std::string& why) {
    const size_t n = std::min(why.size(), sizeof job->why - 1);
    std::copy(why.data(), why.data() + n, job->why);
    job->why[n] = 0;
    job->state = 2;
  };
  const size_t planesAt = Htj2kPlanesOffset(job->streamBytes);
  if (job->streamBytes > bytes || planesAt > bytes ||
      job->capacity > (bytes - planesAt) / sizeof(int32_t)) {
    refuse("the decoder's job does not fit its block");
    return;
  }
  FrameSpec spec;
  spec.columns = job->columns;
  spec.rows = job->rows;
  spec.samples = job->samples;
  spec.bitsAllocated = job->bitsAllocated;
  spec.bitsStored = job->bitsStored;
  spec.isSigned = job->isSigned != 0;
  Planes got;
  got.area = reinterpret_cast<int32_t*>(block + planesAt);
  got.capacity = job->capacity;
  std::string said;
  if (!DecodePlanes(block + Htj2kStreamOffset(), size_t(job->streamBytes), spec, got, said)) {
    refuse(said);
    return;
  }
  // The planes are in the block already, one after the other.
  const size_t used = std::min<size_t>(got.planes.size(), 3);
  for (size_t k = 0; k < used; ++k) {
    const ComponentPlane& c = got.planes[k];
    job->plane[k] = {c.width, c.height, c.dx, c.dy, c.precision, 0};
  }
  job->planes = int32_t(used);
  job->colourTransform = got.colourTransform;
  job->state = 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The library allocates and frees the same buffers for every frame: kept
  // in the heap rather than mapped afresh, they cost no page faults.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  Silence();
  return codecs::ServeJobs(argc, argv, DecodeJob);
}
