#include "pixels/codecs/StreamHeaders.h"

#include <algorithm>
#include <cstring>

namespace {

inline int Be16(const uint8_t* p) {
  return p[0] << 8 | p[1];
}
inline uint32_t Be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool Fail(std::string& why, const char* text) {
  why = text;
  return false;
}

bool IsJpegFrameHeader(int m) {
  // SOF0 ... SOF15 without DHT (C4), JPG (C8) and DAC (CC); SOF55 of JPEG-LS.
  return (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) || m == 0xF7;
}

int64_t CeilDiv(int64_t a, int64_t b) {
  return (a + b - 1) / b;
}

// The contiguous code stream box of a JP2 file, or the data itself.
bool FindCodeStream(const uint8_t*& data, size_t& size) {
  static const uint8_t kJp2[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
  if (size < sizeof kJp2 || std::memcmp(data, kJp2, sizeof kJp2) != 0) return true;
  size_t at = 0;
  while (at + 8 <= size) {
    uint64_t length = Be32(data + at);
    size_t head = 8;
    if (length == 1) {
      if (at + 16 > size) return false;
      length = uint64_t(Be32(data + at + 8)) << 32 | Be32(data + at + 12);
      head = 16;
    } else if (length == 0) {
      length = size - at;
    }
    if (length < head || length > size - at) length = size - at;  // a cut file: what is left
    if (std::memcmp(data + at + 4, "jp2c", 4) == 0) {
      data += at + head;
      size = size_t(length) - head;
      return true;
    }
    at += size_t(length);
  }
  return false;
}

}  // namespace

int64_t JpegStreamHeader::Blocks(int k) const {
  const Component& c = component[k];
  const int64_t w = CeilDiv(width * c.h, hMax), h = CeilDiv(height * c.v, vMax);
  return CeilDiv(w, 8) * CeilDiv(h, 8);
}

bool ReadJpegStreamHeader(const uint8_t* data, size_t size, JpegStreamHeader& h, std::string& why) {
  h = JpegStreamHeader{};
  if (!data || size < 4) return Fail(why, "the JPEG stream is empty");
  // Some writers leave SOI out; the library readers skip two bytes either way.
  size_t pos = data[0] == 0xFF && data[1] == 0xD8 ? 2 : 0;
  bool frame = false;
  while (true) {
    if (pos >= size) return Fail(why, "the JPEG stream ends before its first scan");
    if (data[pos] != 0xFF) return Fail(why, "the JPEG stream has no marker where one must be");
    while (pos < size && data[pos] == 0xFF) ++pos;  // fill bytes
    if (pos >= size) return Fail(why, "the JPEG stream ends before its first scan");
    const int m = data[pos++];
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD8)) continue;  // no segment
    if (m == 0xD9) return Fail(why, "the JPEG stream ends before its first scan");
    if (size - pos < 2) return Fail(why, "the JPEG stream ends inside a marker segment");
    const size_t length = size_t(Be16(data + pos));
    if (length < 2 || length > size - pos)
      return Fail(why, "a JPEG marker segment runs past the end of the frame");
    const uint8_t* seg = data + pos + 2;
    const size_t n = length - 2;
    pos += length;
    if (IsJpegFrameHeader(m)) {
      if (frame) return Fail(why, "the JPEG stream has two frame headers");
      if (n < 6) return Fail(why, "the JPEG frame header is truncated");
      h.marker = m;
      h.precision = seg[0];
      h.height = Be16(seg + 1);
      h.width = Be16(seg + 3);
      h.components = seg[5];
      if (h.components < 1 || n < 6 + 3 * size_t(h.components))
        return Fail(why, "the JPEG frame header is malformed");
      for (int k = 0; k < std::min(h.components, JpegStreamHeader::kMaxComponents); ++k) {
        JpegStreamHeader::Component& c = h.component[k];
        c.id = seg[6 + 3 * k];
        // JPEG-LS leaves the factors at 1; a factor of 0 counts as 1 here and
        // is the decoder's to refuse.
        c.h = std::clamp(seg[7 + 3 * k] >> 4, 1, 4);
        c.v = std::clamp(seg[7 + 3 * k] & 0x0F, 1, 4);
        h.hMax = std::max(h.hMax, c.h);
        h.vMax = std::max(h.vMax, c.v);
      }
      frame = true;
    } else if (m == 0xDA) {
      if (!frame) return Fail(why, "the JPEG stream has a scan before its frame header");
      if (n < 1) return Fail(why, "the JPEG scan header is truncated");
      const int count = seg[0];
      if (count < 1 || count > JpegStreamHeader::kMaxComponents || n < 4 + 2 * size_t(count))
        return Fail(why, "the JPEG scan header is malformed");
      const int known = std::min(h.components, JpegStreamHeader::kMaxComponents);
      for (int i = 0; i < count; ++i) {
        int index = -1;
        for (int k = 0; k < known; ++k)
          if (h.component[k].id == seg[1 + 2 * i]) index = k;
        // A selector naming no component: the scan's order (as the lossless
        // decoder reads it).
        if (index < 0) index = i < known ? i : -1;
        if (index < 0) return Fail(why, "the JPEG scan names a component the frame lacks");
        h.scanComponent[i] = index;
      }
      h.scanComponents = count;
      h.ss = seg[1 + 2 * count];
      h.se = seg[2 + 2 * count];
      h.scanData = pos;
      return true;
    }
  }
}

bool ReadJ2kStreamHeader(const uint8_t* data, size_t size, J2kStreamHeader& h, std::string& why) {
  h = J2kStreamHeader{};
  if (!data || !FindCodeStream(data, size))
    return Fail(why, "the JPEG 2000 file holds no code stream");
  if (size < 4 || Be16(data) != 0xFF4F || Be16(data + 2) != 0xFF51)
    return Fail(why, "the frame is not a JPEG 2000 code stream (no SOC and SIZ)");
  size_t at = 2;
  bool siz = false;
  while (true) {
    if (at + 4 > size) return Fail(why, "the JPEG 2000 code stream ends inside its main header");
    const int marker = Be16(data + at);
    const size_t length = size_t(Be16(data + at + 2));
    if ((marker >> 8) != 0xFF || length < 2 || length > size - at - 2)
      return Fail(why, "a JPEG 2000 marker segment runs past the end of the frame");
    if (marker == 0xFF90) break;  // SOT: the main header is over
    const uint8_t* seg = data + at + 4;
    const size_t n = length - 2;
    if (marker == 0xFF51) {
      if (siz || n < 36) return Fail(why, "the JPEG 2000 SIZ segment is malformed");
      const uint64_t x = Be32(seg + 2), y = Be32(seg + 6), xo = Be32(seg + 10), yo = Be32(seg + 14),
                     xt = Be32(seg + 18), yt = Be32(seg + 22), xto = Be32(seg + 26),
                     yto = Be32(seg + 30);
      const int components = Be16(seg + 34);
      if (components < 1 || components > 16384 || n != 36 + 3 * size_t(components) || x <= xo ||
          y <= yo || xt == 0 || yt == 0 || xto > xo || yto > yo || xto + xt <= xo || yto + yt <= yo)
        return Fail(why, "the JPEG 2000 SIZ segment is malformed");
      h.width = int64_t(x - xo);
      h.height = int64_t(y - yo);
      h.components = components;
      h.highThroughput = (Be16(seg) & 0x4000) != 0;
      h.tiles = uint64_t(CeilDiv(int64_t(x - xto), int64_t(xt))) *
                uint64_t(CeilDiv(int64_t(y - yto), int64_t(yt)));
      for (int c = 0; c < components; ++c) {
        const uint8_t* k = seg + 36 + 3 * c;
        const int precision = (k[0] & 0x7F) + 1;
        if (precision > 38 || k[1] == 0 || k[2] == 0)
          return Fail(why, "the JPEG 2000 SIZ segment is malformed");
        h.precision = std::max(h.precision, precision);
        const int64_t dx = k[1], dy = k[2];
        h.componentSamples += uint64_t(CeilDiv(int64_t(x), dx) - CeilDiv(int64_t(xo), dx)) *
                              uint64_t(CeilDiv(int64_t(y), dy) - CeilDiv(int64_t(yo), dy));
      }
      siz = true;
    }
    at += 2 + length;
  }
  // The first tile-part: SOT (Lsot 10), its header's segments, then SOD.
  if (Be16(data + at + 2) != 10) return Fail(why, "the JPEG 2000 tile-part header is malformed");
  at += 12;
  while (true) {
    if (at + 2 > size) return Fail(why, "the JPEG 2000 code stream ends before its first tile");
    const int marker = Be16(data + at);
    if (marker == 0xFF93) return true;  // SOD
    if (at + 4 > size) return Fail(why, "the JPEG 2000 code stream ends before its first tile");
    const size_t length = size_t(Be16(data + at + 2));
    if ((marker >> 8) != 0xFF || length < 2 || length > size - at - 2)
      return Fail(why, "the JPEG 2000 tile-part header is malformed");
    at += 2 + length;
  }
}

std::string SizeMismatch(const char* what, int64_t width, int64_t height, int64_t columns,
                         int64_t rows) {
  return std::string("the ") + what + " is " + std::to_string(width) + " x " +
         std::to_string(height) + ", the frame " + std::to_string(columns) + " x " +
         std::to_string(rows);
}
