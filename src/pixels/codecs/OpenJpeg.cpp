#include "pixels/codecs/OpenJpeg.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <openjpeg.h>

#include "pixels/codecs/AbortGuard.h"
#include "pixels/codecs/StreamHeaders.h"

namespace {

struct MemoryStream {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

OPJ_SIZE_T Read(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* s = static_cast<MemoryStream*>(user);
  if (s->pos >= s->size) return static_cast<OPJ_SIZE_T>(-1);
  const size_t n = std::min<size_t>(count, s->size - s->pos);
  std::memcpy(buffer, s->data + s->pos, n);
  s->pos += n;
  return n;
}

OPJ_OFF_T Skip(OPJ_OFF_T count, void* user) {
  auto* s = static_cast<MemoryStream*>(user);
  const auto pos = static_cast<OPJ_OFF_T>(s->pos);
  const auto size = static_cast<OPJ_OFF_T>(s->size);
  const OPJ_OFF_T target = std::clamp<OPJ_OFF_T>(pos + count, 0, size);
  s->pos = static_cast<size_t>(target);
  return target - pos;
}

OPJ_BOOL Seek(OPJ_OFF_T offset, void* user) {
  auto* s = static_cast<MemoryStream*>(user);
  if (offset < 0 || static_cast<uint64_t>(offset) > s->size) return OPJ_FALSE;
  s->pos = static_cast<size_t>(offset);
  return OPJ_TRUE;
}

void Quiet(const char*, void*) {}

// Warnings that say the code stream ended before the picture did.
void NoteTruncation(const char* message, void* user) {
  if (std::strstr(message, "Stream too short") || std::strstr(message, "does not end with EOC") ||
      std::strstr(message, "inconsistent with stream length") ||
      std::strstr(message, "Stream reached its end"))
    *static_cast<bool*>(user) = true;
}

struct CodecDeleter {
  void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
  void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
  void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

bool Fail(CodecOutput& out, const char* text) {
  out.why = text;
  return false;
}

bool IsJp2File(const uint8_t* data, size_t size) {
  static const uint8_t kSignature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  return size >= sizeof kSignature && std::memcmp(data, kSignature, sizeof kSignature) == 0;
}

int64_t Samples(const opj_image_comp_t& c) {
  return int64_t{c.w} * int64_t{c.h};
}

template <typename T>
void StoreRows(const ComponentPlane& c, int sample, const FrameSpec& spec, T* out, int shift,
               bool stretch) {
  const int64_t samples = spec.samples;
  const int32_t top = stretch ? (1 << c.precision) - 1 : 1;
  for (int64_t y = 0; y < spec.rows; ++y) {
    const int32_t* row = c.values + (y / c.dy) * c.width;
    T* o = out + y * spec.columns * samples + sample;
    if (c.dx == 1 && shift == 0 && !stretch) {
      for (int64_t x = 0; x < spec.columns; ++x) o[x * samples] = static_cast<T>(row[x]);
      continue;
    }
    for (int64_t x = 0; x < spec.columns; ++x) {
      int32_t v = row[x / c.dx] >> shift;
      if (stretch) v = std::clamp(v, 0, top) * 255 / top;
      o[x * samples] = static_cast<T>(v);
    }
  }
}

}  // namespace

bool StoreComponent(const ComponentPlane& c, int sample, const FrameSpec& spec, uint8_t* out,
                    std::string& why) {
  if (!c.values || c.dx < 1 || c.dy < 1 || (spec.columns + c.dx - 1) / c.dx > c.width ||
      (spec.rows + c.dy - 1) / c.dy > c.height) {
    why = "the JPEG 2000 image (" + std::to_string(c.width * c.dx) + " x " +
          std::to_string(c.height * c.dy) + ") does not cover the frame (" +
          std::to_string(spec.columns) + " x " + std::to_string(spec.rows) + ")";
    return false;
  }
  const int width = SampleBytes(spec.bitsAllocated);
  const int shift = std::clamp(c.precision - 8 * width, 0, 31);
  const bool stretch = spec.samples == 3 && width == 1 && c.precision > 0 && c.precision < 8;
  switch (width) {
    case 1:
      StoreRows(c, sample, spec, out, shift, stretch);
      break;
    case 2:
      StoreRows(c, sample, spec, reinterpret_cast<uint16_t*>(out), shift, stretch);
      break;
    default:
      // 4 or 8 bytes: JPEG 2000 samples are at most 32 bits.
      if (width == 4) {
        StoreRows(c, sample, spec, reinterpret_cast<uint32_t*>(out), shift, stretch);
      } else {
        StoreRows(c, sample, spec, reinterpret_cast<uint64_t*>(out), shift, stretch);
      }
      break;
  }
  return true;
}

namespace {

// OpenJPEG allocates what a tile-part's header (SOT) says it holds before it
// reads it: a crafted length of 4 GB is 4 GB. A tile-part cannot hold more
// than the stream has left, so lengths past the end are cut to it (in a copy;
// a stream cut short keeps decoding as far as it goes).
const uint8_t* ClampTilePartLengths(const uint8_t* data, size_t size, size_t start,
                                    std::vector<uint8_t>& copy) {
  if (size < start + 4 || data[start] != 0xFF || data[start + 1] != 0x4F) return data;
  const uint8_t* p = data;
  // Every SOT (FF90, Lsot 10). Coded data never holds FF followed by a byte
  // above 8F, so a match is a marker, wherever the library looks for it.
  for (size_t at = start + 2; at + 12 <= size; ++at) {
    if (p[at] != 0xFF || p[at + 1] != 0x90 || p[at + 2] != 0 || p[at + 3] != 10) continue;
    const uint64_t length = uint64_t(p[at + 6]) << 24 | uint64_t(p[at + 7]) << 16 |
                            uint64_t(p[at + 8]) << 8 | p[at + 9];
    const uint64_t left = size - at;
    if (length <= left) continue;
    if (copy.empty()) {
      copy.assign(data, data + size);
      p = copy.data();
    }
    copy[at + 6] = uint8_t(left >> 24);
    copy[at + 7] = uint8_t(left >> 16);
    copy[at + 8] = uint8_t(left >> 8);
    copy[at + 9] = uint8_t(left);
  }
  return p;
}

uint64_t BigEndian(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

// OpenJPEG reads each box of a JP2 file before the code stream into a buffer
// of the size the box claims: a crafted 2 GB length is 2 GB. A box other than
// the code stream's (jp2c, which may be cut short) must fit in the file.
// Gives where the code stream starts.
bool CheckJp2Boxes(const uint8_t* data, size_t size, size_t& codeStream, std::string& why) {
  size_t at = 0;
  while (at + 8 <= size) {
    uint64_t length = BigEndian(data + at, 4);
    const bool isCodeStream = std::memcmp(data + at + 4, "jp2c", 4) == 0;
    size_t header = 8;
    if (length == 1) {
      if (at + 16 > size) break;
      length = BigEndian(data + at + 8, 8);
      header = 16;
    } else if (length == 0) {
      length = size - at;  // to the end of the file
    }
    if (isCodeStream) {
      codeStream = at + header;
      return true;
    }
    if (length < header || length > size - at) {
      why = "a box of the JPEG 2000 file claims more than the file holds";
      return false;
    }
    at += size_t(length);
  }
  why = "the JPEG 2000 file holds no code stream";
  return false;
}

// What the library allocates for one decode, freed by the caller: a decode
// the abort guard cut short leaves it here half built.
struct Session {
  MemoryStream source{nullptr, 0, 0};
  std::unique_ptr<opj_codec_t, CodecDeleter> codec;
  std::unique_ptr<opj_stream_t, StreamDeleter> stream;
  std::unique_ptr<opj_image_t, ImageDeleter> image;
  bool truncated = false;
};

// Runs under the abort guard: nothing here owns memory but through `s`.
bool DecodeInSession(Session& s, const uint8_t* data, size_t size, const FrameSpec& spec,
                     CodecOutput& out) {
  const int64_t pixelCount = spec.pixels();
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  s.codec.reset(opj_create_decompress(IsJp2File(data, size) ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
  if (!s.codec) return Fail(out, "the JPEG 2000 decoder cannot be created");
  opj_codec_t* codec = s.codec.get();
  opj_set_info_handler(codec, Quiet, nullptr);
  opj_set_warning_handler(codec, NoteTruncation, &s.truncated);
  opj_set_error_handler(codec, NoteTruncation, &s.truncated);
  if (!opj_setup_decoder(codec, &parameters)) {
    return Fail(out, "the JPEG 2000 decoder setup failed");
  }
  // A stream cut short decodes as far as it goes.
  opj_decoder_set_strict_mode(codec, OPJ_FALSE);

  s.source = MemoryStream{data, size, 0};
  s.stream.reset(opj_stream_create(1 << 16, OPJ_TRUE));
  if (!s.stream) return Fail(out, "the JPEG 2000 stream cannot be created");
  opj_stream_t* stream = s.stream.get();
  opj_stream_set_user_data(stream, &s.source, nullptr);
  opj_stream_set_user_data_length(stream, size);
  opj_stream_set_read_function(stream, Read);
  opj_stream_set_skip_function(stream, Skip);
  opj_stream_set_seek_function(stream, Seek);

  opj_image_t* header = nullptr;
  if (!opj_read_header(stream, codec, &header)) {
    return Fail(out, "the JPEG 2000 code stream header is invalid");
  }
  s.image.reset(header);
  opj_image_t* image = header;
  if (image->numcomps == 0) return Fail(out, "the JPEG 2000 image has no components");
  // The library allocates every component before decoding: refuse code
  // streams whose declared size the frame cannot justify.
  int64_t total = 0;
  for (OPJ_UINT32 c = 0; c < image->numcomps; ++c) total += Samples(image->comps[c]);
  if (total > 8 * pixelCount * std::max(1, spec.samples) + (int64_t{1} << 16)) {
    return Fail(out, "the JPEG 2000 image is far larger than the frame");
  }
  if (!opj_decode(codec, stream, image)) {
    return Fail(out, "the JPEG 2000 code stream does not decode");
  }
  opj_end_decompress(codec, stream);

  const int used = spec.samples == 3 && image->numcomps >= 3 ? 3 : 1;
  for (int k = 0; k < spec.samples; ++k) {
    const opj_image_comp_t& c = image->comps[used == 3 ? k : 0];
    ComponentPlane plane{c.data, c.w, c.h, int(c.dx), int(c.dy), int(c.prec)};
    if (!StoreComponent(plane, k, spec, out.data, out.why)) return false;
  }
  if (used == 3) {
    // The transform RCT/ICT is undone by the library; the samples are then R, G, B.
    opj_codestream_info_v2_t* info = opj_get_cstr_info(codec);
    out.rgb = info && info->m_default_tile_info.mct != 0;
    opj_destroy_cstr_info(&info);
  }
  out.incomplete = s.truncated;
  return true;
}

// The library's own worker threads are never used: on damaged code blocks
// they read outside the library's buffers (the calling thread's decode does
// not), only the calling thread is guarded, and frames are decoded in
// parallel one level up anyway.
bool Decode(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (!data || size == 0 || spec.pixels() <= 0) return Fail(out, "the JPEG 2000 frame is empty");
  std::vector<uint8_t> clamped;
  size_t codeStream = 0;
  if (IsJp2File(data, size) && !CheckJp2Boxes(data, size, codeStream, out.why)) return false;
  data = ClampTilePartLengths(data, size, codeStream, clamped);
  Session s;
  bool ok = false;
  auto body = [&] { ok = DecodeInSession(s, data, size, spec, out); };
  if (!codecs::RunAbortGuarded(body)) {
    return Fail(out, "the JPEG 2000 code stream is damaged (the decoder stopped on it)");
  }
  return ok;
}

}  // namespace

bool CheckJpeg2000Frame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why) {
  J2kStreamHeader j;
  if (!ReadJ2kStreamHeader(data, size, j, why)) return false;
  if (j.width != spec.columns || j.height != spec.rows) {
    why = SizeMismatch("JPEG 2000 image", j.width, j.height, spec.columns, spec.rows);
    return false;
  }
  if (j.tiles > 65535) {
    why = "the JPEG 2000 image has " + std::to_string(j.tiles) + " tiles";
    return false;
  }
  if (j.componentSamples >
      uint64_t(8 * spec.pixels() * std::max(1, spec.samples) + (int64_t{1} << 16))) {
    why = "the JPEG 2000 image has " + std::to_string(j.components) +
          " components, far more than the frame";
    return false;
  }
  return true;
}

bool DecodeJpeg2000Frame(const uint8_t* data, size_t size, const FrameSpec& spec,
                         CodecOutput& out) {
  return Decode(data, size, spec, out);
}
