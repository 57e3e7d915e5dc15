#include "pixels/codecs/JpegLs.h"

#include <charls/charls.h>

#include <algorithm>
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

inline int Be16(const uint8_t* p) {
  return p[0] << 8 | p[1];
}

// An LSE preset segment (id 1) whose MAXVAL exceeds what the frame's sample
// precision holds: CharLS refuses the stream. Writers put the 16-bit preset
// set into streams of fewer bits; DCMTK's decoder, like CharLS 1, codes with
// 2^P - 1 whatever MAXVAL says while RESET keeps its default, so a copy with
// MAXVAL 0 (the default, 2^P - 1) decodes as DCMTK decodes it. Returns the
// offset of the MAXVAL field to clear, or 0.
size_t MaxvalBeyondPrecision(const uint8_t* data, size_t size) {
  size_t pos = 2, maxval = 0;
  int precision = 0;
  while (pos + 4 <= size && data[pos] == 0xFF) {
    const int marker = data[pos + 1];
    if (marker == 0xFF) {
      ++pos;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;
    const size_t length = size_t(Be16(data + pos + 2));
    if (length < 2 || pos + 2 + length > size) break;
    const uint8_t* seg = data + pos + 4;
    if (marker == 0xF7 && length >= 3) precision = seg[0];
    if (marker == 0xF8 && length >= 13 && seg[0] == 1) {
      const int reset = Be16(seg + 9);
      if (reset == 0 || reset == 64) maxval = pos + 5;
    }
    pos += 2 + length;
  }
  if (maxval == 0 || precision < 2 || precision > 16) return 0;
  return Be16(data + maxval) > (1 << precision) - 1 ? maxval : 0;
}

// The stream without the zero bytes some writers put between the end of a
// scan's coded data and the marker after it (an even-length pad before EOI):
// CharLS refuses the data it finds there, DCMTK reads on. In coded data a
// 0xFF is followed by a byte below 0x80, so 0xFF and a byte from 0x80 up is a
// marker.
std::vector<uint8_t> WithoutPaddingBeforeMarkers(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  out.reserve(size);
  size_t pos = 2;
  out.assign(data, data + std::min<size_t>(size, 2));
  bool inScan = false;
  while (pos < size) {
    if (!inScan) {
      // A marker segment: copied as it is; the scan's coded data follows SOS.
      if (pos + 4 > size || data[pos] != 0xFF) break;
      const int marker = data[pos + 1];
      if (marker == 0xD9) break;
      const size_t length = size_t(Be16(data + pos + 2));
      if (length < 2 || pos + 2 + length > size) break;
      out.insert(out.end(), data + pos, data + pos + 2 + length);
      pos += 2 + length;
      inScan = marker == 0xDA;
      continue;
    }
    const uint8_t b = data[pos];
    if (b == 0xFF && pos + 1 < size && data[pos + 1] >= 0x80) {
      while (!out.empty() && out.back() == 0x00) out.pop_back();
      const int marker = data[pos + 1];
      if (marker >= 0xD0 && marker <= 0xD7) {
        out.insert(out.end(), {0xFF, uint8_t(marker)});
        pos += 2;
        continue;
      }
      inScan = false;
      continue;
    }
    out.push_back(b);
    ++pos;
  }
  out.insert(out.end(), data + std::min(pos, size), data + size);
  return out;
}

// One decode through CharLS; its errors other than a stream cut short are
// thrown to the caller.
bool DecodeWithCharls(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
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
  const bool planar = components == 3 && decoder.interleave_mode() == charls::interleave_mode::none;
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
}

}  // namespace

bool DecodeJpegLsFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (!data || size == 0 || spec.pixels() <= 0) return Fail(out, "the JPEG-LS frame is empty");
  try {
    // CharLS 2.4 spins for billions of steps when a run of zero bits reaches
    // the end of the buffer with no marker after it (a cut stream): a stream
    // that does not end in EOI (its even-length padding aside) gets one.
    std::vector<uint8_t> fixed;
    const size_t maxval = MaxvalBeyondPrecision(data, size);
    if (!EndsWithEoi(data, size) || maxval != 0) {
      fixed.assign(data, data + size);
      if (maxval != 0) fixed[maxval] = fixed[maxval + 1] = 0;
      if (!EndsWithEoi(data, size)) fixed.insert(fixed.end(), {0xFF, 0xD9});
      data = fixed.data();
      size = fixed.size();
    }
    try {
      return DecodeWithCharls(data, size, spec, out);
    } catch (const charls::jpegls_error& e) {
      // Data after the last sample of a scan, where its marker should be:
      // the zero padding some writers put there, read past as DCMTK does.
      if (e.code() != charls::jpegls_errc::too_much_encoded_data &&
          e.code() != charls::jpegls_errc::jpeg_marker_start_byte_not_found)
        throw;
      const std::vector<uint8_t> stripped = WithoutPaddingBeforeMarkers(data, size);
      if (stripped.size() == size) throw;
      try {
        out.incomplete = false;
        return DecodeWithCharls(stripped.data(), stripped.size(), spec, out);
      } catch (const charls::jpegls_error&) {
        throw e;
      }
    }
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
