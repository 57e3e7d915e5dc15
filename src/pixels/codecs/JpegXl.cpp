#include "pixels/codecs/JpegXl.h"

#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "pixels/codecs/StreamHeaders.h"

namespace {

struct DecoderDeleter {
  void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};
struct RunnerDeleter {
  void operator()(void* r) const { JxlThreadParallelRunnerDestroy(r); }
};
using Decoder = std::unique_ptr<JxlDecoder, DecoderDeleter>;
using Runner = std::unique_ptr<void, RunnerDeleter>;

// Alpha, depth and a spot colour or two; libjxl holds a full plane for each,
// so a stream listing hundreds over a blank picture is refused up front.
constexpr uint32_t kMaxExtraChannels = 4;
// Samples for 32-bit frames come out through float, whose 24-bit mantissa
// holds every integer up to this depth exactly.
constexpr uint32_t kMaxBits = 24;

bool Refuse(std::string& why, std::string text) {
  why = std::move(text);
  return false;
}

bool IsJpegXl(const uint8_t* data, size_t size) {
  if (!data || size == 0) return false;
  const JxlSignature s = JxlSignatureCheck(data, size);
  return s == JXL_SIG_CODESTREAM || s == JXL_SIG_CONTAINER;
}

// Pixels as stored: DICOM's rows and columns describe the stored order, and
// no other codec applies an orientation tag either.
bool Prepare(JxlDecoder* dec, int events, std::string& why) {
  if (JxlDecoderSetKeepOrientation(dec, JXL_TRUE) != JXL_DEC_SUCCESS ||
      JxlDecoderSubscribeEvents(dec, events) != JXL_DEC_SUCCESS)
    return Refuse(why, "the JPEG XL decoder cannot be set up");
  return true;
}

bool Fits(const JxlBasicInfo& info, const FrameSpec& spec, std::string& why) {
  if (info.xsize != spec.columns || info.ysize != spec.rows)
    return Refuse(why,
                  SizeMismatch("JPEG XL picture", info.xsize, info.ysize, spec.columns, spec.rows));
  if (spec.samples != 1 && spec.samples != 3)
    return Refuse(why, "JPEG XL frames of " + std::to_string(spec.samples) +
                           " samples per pixel cannot be shown");
  if (info.num_color_channels != 1 && info.num_color_channels != 3)
    return Refuse(why, "JPEG XL pictures of " + std::to_string(info.num_color_channels) +
                           " colour channels cannot be shown");
  if (info.num_color_channels == 3 && spec.samples == 1)
    return Refuse(why, "the JPEG XL picture is in colour, the frame is grey");
  if (info.exponent_bits_per_sample != 0)
    return Refuse(why, "the JPEG XL picture holds floating-point samples");
  const uint32_t bits = info.bits_per_sample;
  if (bits < 1 || bits > kMaxBits)
    return Refuse(why, std::to_string(bits) + "-bit JPEG XL samples cannot be decoded");
  if (bits > 8u * uint32_t(SampleBytes(spec.bitsAllocated)))
    return Refuse(why, std::to_string(bits) + "-bit JPEG XL samples do not fit " +
                           std::to_string(spec.bitsAllocated) + "-bit samples");
  if (info.num_extra_channels > kMaxExtraChannels)
    return Refuse(why, "the JPEG XL picture has " + std::to_string(info.num_extra_channels) +
                           " extra channels");
  return true;
}

// libjxl scales integer output to the full range of the output type (a
// 12-bit 4095 comes out as 65535); this maps it back to the stream's own
// values. Exact: the forward scaling's rounding error stays under half a
// step of the narrower range.
template <typename T>
void Rescale(T* v, size_t n, uint32_t bits) {
  constexpr uint64_t top = (uint64_t{1} << (8 * sizeof(T))) - 1;
  const uint64_t m = (uint64_t{1} << bits) - 1;
  if (m == top) return;
  for (size_t i = 0; i < n; ++i) v[i] = T((v[i] * m + top / 2) / top);
}

// Two's complement of `bits` bits, extended to the whole sample.
template <typename T>
void SignExtend(T* v, size_t n, uint32_t bits) {
  if (bits >= 8 * sizeof(T)) return;
  const T sign = T(T{1} << (bits - 1));
  for (size_t i = 0; i < n; ++i) v[i] = T((v[i] ^ sign) - sign);
}

// Where libjxl writes: straight into the frame for one- and two-byte samples,
// through float for wider ones (libjxl offers no wider integers).
struct Target {
  JxlPixelFormat format{};
  std::vector<float> wide;
  uint32_t bits = 8;
  int width = 1;  // bytes per output sample
};

bool SetOutput(JxlDecoder* dec, const JxlBasicInfo& info, const FrameSpec& spec, Target& t,
               CodecOutput& out) {
  t.bits = info.bits_per_sample;
  t.width = SampleBytes(spec.bitsAllocated);
  const auto values = size_t(spec.pixels()) * size_t(spec.samples);
  t.format.num_channels = uint32_t(spec.samples);
  t.format.endianness = JXL_NATIVE_ENDIAN;
  t.format.align = 0;
  void* buffer = out.data;
  size_t bytes = out.size;
  if (t.width <= 2) {
    t.format.data_type = t.width == 1 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16;
  } else {
    t.format.data_type = JXL_TYPE_FLOAT;
    t.wide.assign(values, 0.0f);  // no larger than the frame: its samples are 4 bytes or more
    buffer = t.wide.data();
    bytes = values * sizeof(float);
  }
  size_t needed = 0;
  if (JxlDecoderImageOutBufferSize(dec, &t.format, &needed) != JXL_DEC_SUCCESS || needed != bytes ||
      values * size_t(t.width) != out.size)
    return Refuse(out.why, "the JPEG XL picture does not match the frame's layout");
  if (JxlDecoderSetImageOutBuffer(dec, &t.format, buffer, bytes) != JXL_DEC_SUCCESS)
    return Refuse(out.why, "the JPEG XL decoder refuses the frame's layout");
  return true;
}

// `rendered`: libjxl produced the colour itself (an XYB picture, a
// recompressed JPEG's YCbCr, grey spread to R = G = B), so it is R, G, B
// whatever the header says.
void Finish(const Target& t, const FrameSpec& spec, bool rendered, CodecOutput& out) {
  const size_t n = out.size / size_t(t.width);
  if (t.width == 1) {
    Rescale(out.data, n, t.bits);
    if (spec.isSigned) SignExtend(out.data, n, t.bits);
  } else if (t.width == 2) {
    auto* words = reinterpret_cast<uint16_t*>(out.data);
    Rescale(words, n, t.bits);
    if (spec.isSigned) SignExtend(words, n, t.bits);
  } else {
    const double m = double((uint64_t{1} << t.bits) - 1);
    const uint64_t sign = uint64_t{1} << (t.bits - 1);
    for (size_t i = 0; i < n && i < t.wide.size(); ++i) {
      auto v = uint64_t(std::clamp(std::nearbyint(double(t.wide[i]) * m), 0.0, m));
      if (spec.isSigned) v = (v ^ sign) - sign;
      StoreSample(out.data + i * size_t(t.width), t.width, v);
    }
  }
  // Samples coded as they are keep the header's colour model: Y, Cb, Cr under
  // a YBR photometric, converted after the codec as for uncompressed data.
  out.rgb = spec.samples == 3 && (rendered || !spec.ybrPhotometric);
}

bool Rendered(const JxlBasicInfo& info, bool recompressed) {
  return recompressed || !info.uses_original_profile || info.num_color_channels == 1;
}

}  // namespace

bool CheckJpegXlFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why) {
  if (!IsJpegXl(data, size)) return Refuse(why, "the frame is not a JPEG XL stream");
  const Decoder dec(JxlDecoderCreate(nullptr));
  if (!dec) return Refuse(why, "the JPEG XL decoder cannot be created");
  if (!Prepare(dec.get(), JXL_DEC_BASIC_INFO, why)) return false;
  if (JxlDecoderSetInput(dec.get(), data, size) != JXL_DEC_SUCCESS)
    return Refuse(why, "the JPEG XL decoder refuses the stream");
  JxlDecoderCloseInput(dec.get());
  const JxlDecoderStatus status = JxlDecoderProcessInput(dec.get());
  if (status == JXL_DEC_NEED_MORE_INPUT)
    return Refuse(why, "the JPEG XL stream ends within its header");
  JxlBasicInfo info{};
  if (status != JXL_DEC_BASIC_INFO || JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS)
    return Refuse(why, "the JPEG XL header is invalid");
  return Fits(info, spec, why);
}

bool DecodeJpegXlFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (spec.pixels() <= 0 || !out.data) return Refuse(out.why, "the JPEG XL frame is empty");
  if (!IsJpegXl(data, size)) return Refuse(out.why, "the frame is not a JPEG XL stream");
  const Decoder dec(JxlDecoderCreate(nullptr));
  if (!dec) return Refuse(out.why, "the JPEG XL decoder cannot be created");
  Runner runner;
  if (spec.threads > 1) {
    runner.reset(JxlThreadParallelRunnerCreate(nullptr, size_t(spec.threads)));
    // Without a runner libjxl decodes on the calling thread: slower, not wrong.
    if (runner && JxlDecoderSetParallelRunner(dec.get(), JxlThreadParallelRunner, runner.get()) !=
                      JXL_DEC_SUCCESS)
      return Refuse(out.why, "the JPEG XL decoder cannot be set up");
  }
  const int events = JXL_DEC_BASIC_INFO | JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE;
  if (!Prepare(dec.get(), events, out.why)) return false;
  // The input stays open: when the stream ends early, what libjxl has decoded
  // so far can still be flushed into the frame.
  if (JxlDecoderSetInput(dec.get(), data, size) != JXL_DEC_SUCCESS)
    return Refuse(out.why, "the JPEG XL decoder refuses the stream");
  JxlBasicInfo info{};
  Target target;
  bool haveInfo = false, haveOutput = false, recompressed = false;
  for (;;) {
    switch (JxlDecoderProcessInput(dec.get())) {
      case JXL_DEC_BASIC_INFO:
        if (JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS)
          return Refuse(out.why, "the JPEG XL header is invalid");
        if (!Fits(info, spec, out.why)) return false;
        haveInfo = true;
        break;
      case JXL_DEC_JPEG_RECONSTRUCTION:
        // Noted only: with no JPEG buffer set, libjxl goes on to pixels.
        recompressed = true;
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        if (!haveInfo) return Refuse(out.why, "the JPEG XL stream has no header");
        if (!SetOutput(dec.get(), info, spec, target, out)) return false;
        haveOutput = true;
        break;
      case JXL_DEC_FULL_IMAGE:
        // The first frame shown is the picture; later frames are not read.
        if (!haveOutput) return Refuse(out.why, "the JPEG XL stream holds no picture");
        Finish(target, spec, Rendered(info, recompressed), out);
        return true;
      case JXL_DEC_NEED_MORE_INPUT:
        if (!haveOutput) return Refuse(out.why, "the JPEG XL stream ends before its picture");
        if (JxlDecoderFlushImage(dec.get()) != JXL_DEC_SUCCESS)
          return Refuse(out.why, "the JPEG XL stream ends before any of its picture");
        Finish(target, spec, Rendered(info, recompressed), out);
        out.incomplete = true;
        return true;
      case JXL_DEC_SUCCESS:
        return Refuse(out.why, "the JPEG XL stream holds no picture");
      default:
        return Refuse(out.why, "the JPEG XL stream does not decode");
    }
  }
}
