#include "pixels/codecs/JpegLs.h"

#include <charls/charls.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "pixels/codecs/StreamHeaders.h"

namespace {

bool Fail(CodecOutput& out, std::string text) {
  out.why = std::move(text);
  return false;
}

// The stream's samples (one or two bytes each, in `layout` order) into the
// frame's layout: sample s of pixel i from component `pick(s)`.
void Rearrange(const uint8_t* in, int inBytes, int components, bool planar, int64_t pixels,
               const FrameSpec& spec, uint8_t* out) {
  const int outBytes = SampleBytes(spec.bitsAllocated);
  for (int64_t i = 0; i < pixels; ++i) {
    for (int s = 0; s < spec.samples; ++s) {
      const int c = components == 1 ? 0 : s;
      const int64_t at = planar ? c * pixels + i : i * components + c;
      uint32_t v = in[at * inBytes];
      if (inBytes == 2) {
        uint16_t w;
        std::memcpy(&w, in + at * 2, 2);
        v = w;
      }
      StoreSample(out + (i * spec.samples + s) * outBytes, outBytes, v);
    }
  }
}

bool EndsWithEoi(const uint8_t* data, size_t size) {
  while (size > 0 && data[size - 1] == 0) --size;
  return size >= 2 && data[size - 2] == 0xFF && data[size - 1] == 0xD9;
}

}  // namespace

bool DecodeJpegLsFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (!data || size == 0 || spec.pixels() <= 0) return Fail(out, "the JPEG-LS frame is empty");
  try {
    // CharLS 2.4 spins for billions of steps when a run of zero bits reaches
    // the end of the buffer with no marker after it (a cut stream): a stream
    // that does not end in EOI (its even-length padding aside) gets one.
    std::vector<uint8_t> closed;
    if (!EndsWithEoi(data, size)) {
      closed.reserve(size + 2);
      closed.assign(data, data + size);
      closed.push_back(0xFF);
      closed.push_back(0xD9);
      data = closed.data();
      size = closed.size();
    }
    charls::jpegls_decoder decoder;
    decoder.source(data, size);
    decoder.read_header();
    const charls::frame_info info = decoder.frame_info();
    if (int64_t{info.width} != spec.columns || int64_t{info.height} != spec.rows) {
      return Fail(out, "the JPEG-LS picture is " + std::to_string(info.width) + " x " +
                           std::to_string(info.height) + ", the frame " +
                           std::to_string(spec.columns) + " x " + std::to_string(spec.rows));
    }
    const int components = info.component_count;
    if (components != 1 && components != 3) {
      return Fail(
          out, "JPEG-LS pictures of " + std::to_string(components) + " components cannot be shown");
    }
    const int inBytes = info.bits_per_sample <= 8 ? 1 : 2;
    const int outBytes = SampleBytes(spec.bitsAllocated);
    if (inBytes > outBytes) {
      return Fail(out, std::to_string(info.bits_per_sample) + "-bit JPEG-LS samples do not fit " +
                           std::to_string(spec.bitsAllocated) + "-bit samples");
    }
    const bool planar =
        components == 3 && decoder.interleave_mode() == charls::interleave_mode::none;
    const size_t need = decoder.destination_size();
    const bool direct = inBytes == outBytes && components == spec.samples && !planar;
    std::vector<uint8_t> scratch;
    uint8_t* target = out.data;
    if (!direct) {
      scratch.assign(need, 0);
      target = scratch.data();
    } else if (need > out.size) {
      return Fail(out, "the JPEG-LS picture is larger than the frame");
    }
    try {
      decoder.decode(target, need);
    } catch (const charls::jpegls_error& e) {
      // The data ended (or turned to noise) before the picture did: the lines
      // decoded before stay.
      if (e.code() != charls::jpegls_errc::source_buffer_too_small &&
          e.code() != charls::jpegls_errc::invalid_encoded_data)
        throw;
      out.incomplete = true;
    }
    if (!direct) Rearrange(target, inBytes, components, planar, spec.pixels(), spec, out.data);
    return true;
  } catch (const charls::jpegls_error& e) {
    return Fail(out, std::string("JPEG-LS: ") + e.what());
  } catch (const std::bad_alloc&) {
    return Fail(out, "the JPEG-LS frame does not fit in memory");
  }
}

bool CheckJpegLsFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why) {
  JpegStreamHeader j;
  if (!ReadJpegStreamHeader(data, size, j, why)) return false;
  const auto refuse = [&](std::string text) {
    why = std::move(text);
    return false;
  };
  if (!j.jpegLs()) return refuse("the frame is not a JPEG-LS stream");
  if (j.width != spec.columns || j.height != spec.rows)
    return refuse(SizeMismatch("JPEG-LS picture", j.width, j.height, spec.columns, spec.rows));
  if (j.components != 1 && j.components != 3)
    return refuse("JPEG-LS pictures of " + std::to_string(j.components) +
                  " components cannot be shown");
  if (j.precision < 2 || j.precision > 16)
    return refuse(std::to_string(j.precision) + "-bit JPEG-LS streams cannot be decoded");
  if ((j.precision <= 8 ? 1 : 2) > SampleBytes(spec.bitsAllocated))
    return refuse(std::to_string(j.precision) + "-bit JPEG-LS samples do not fit " +
                  std::to_string(spec.bitsAllocated) + "-bit samples");
  const int64_t lines = spec.rows * ((spec.columns + 32767) / 32768);
  if (j.ScanBits(size) < lines)
    return refuse("the JPEG-LS stream (" + std::to_string(size) + " bytes) is too short for a " +
                  std::to_string(spec.columns) + " x " + std::to_string(spec.rows) + " picture");
  return true;
}
