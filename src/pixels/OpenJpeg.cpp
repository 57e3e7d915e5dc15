#include "pixels/OpenJpeg.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <openjpeg.h>

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

struct CodecDeleter {
  void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamDeleter {
  void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageDeleter {
  void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

bool Fail(std::string* reason, const char* text) {
  if (reason) *reason = text;
  return false;
}

bool IsJp2File(const uint8_t* data, size_t size) {
  static const uint8_t kSignature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  return size >= sizeof kSignature && std::memcmp(data, kSignature, sizeof kSignature) == 0;
}

int64_t Samples(const opj_image_comp_t& c) {
  return int64_t{c.w} * int64_t{c.h};
}

}  // namespace

bool DecodeJpeg2000(const uint8_t* data, size_t size, int64_t pixelCount, const Jpeg2000Output& out,
                    int threads, std::string* reason) {
  if (!data || size == 0 || pixelCount <= 0) return Fail(reason, "JPEG 2000 frame is empty");

  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  std::unique_ptr<opj_codec_t, CodecDeleter> codec(
      opj_create_decompress(IsJp2File(data, size) ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
  if (!codec) return Fail(reason, "JPEG 2000 decoder cannot be created");
  opj_set_info_handler(codec.get(), Quiet, nullptr);
  opj_set_warning_handler(codec.get(), Quiet, nullptr);
  opj_set_error_handler(codec.get(), Quiet, nullptr);
  if (!opj_setup_decoder(codec.get(), &parameters)) {
    return Fail(reason, "JPEG 2000 decoder setup failed");
  }
  if (threads > 1 && opj_has_thread_support()) opj_codec_set_threads(codec.get(), threads);

  MemoryStream source{data, size, 0};
  std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(1 << 16, OPJ_TRUE));
  if (!stream) return Fail(reason, "JPEG 2000 stream cannot be created");
  opj_stream_set_user_data(stream.get(), &source, nullptr);
  opj_stream_set_user_data_length(stream.get(), size);
  opj_stream_set_read_function(stream.get(), Read);
  opj_stream_set_skip_function(stream.get(), Skip);
  opj_stream_set_seek_function(stream.get(), Seek);

  opj_image_t* header = nullptr;
  if (!opj_read_header(stream.get(), codec.get(), &header)) {
    return Fail(reason, "JPEG 2000 code stream header is invalid");
  }
  std::unique_ptr<opj_image_t, ImageDeleter> image(header);
  if (image->numcomps == 0) return Fail(reason, "JPEG 2000 image has no components");
  if (Samples(image->comps[0]) < pixelCount) {
    return Fail(reason, "JPEG 2000 image has fewer samples than the frame");
  }
  // The library allocates every component before decoding: refuse code
  // streams whose declared size the frame cannot justify.
  int64_t total = 0;
  for (OPJ_UINT32 c = 0; c < image->numcomps; ++c) total += Samples(image->comps[c]);
  if (total > 8 * pixelCount + (int64_t{1} << 16)) {
    return Fail(reason, "JPEG 2000 image is far larger than the frame");
  }
  if (!opj_decode(codec.get(), stream.get(), image.get())) {
    return Fail(reason, "JPEG 2000 code stream does not decode");
  }
  opj_end_decompress(codec.get(), stream.get());

  const opj_image_comp_t& c0 = image->comps[0];
  if (!c0.data || Samples(c0) < pixelCount) {
    return Fail(reason, "JPEG 2000 image has fewer samples than the frame");
  }
  const OPJ_INT32* s = c0.data;
  const size_t n = static_cast<size_t>(pixelCount);
  if (out.out16) {
    for (size_t i = 0; i < n; ++i) out.out16[i] = static_cast<uint16_t>(s[i]);
  }
  if (out.out8) {
    for (size_t i = 0; i < n; ++i) out.out8[i] = static_cast<uint8_t>(s[i]);
  }
  if (out.out24) {
    for (size_t i = 0; i < n; ++i) {
      const auto v = static_cast<uint8_t>(s[i]);
      out.out24[3 * i] = v;
      out.out24[3 * i + 1] = v;
      out.out24[3 * i + 2] = v;
    }
  }
  return true;
}
