#include "pixels/HeldLayout.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool OneOf(int v, std::initializer_list<int> set) {
  return std::find(set.begin(), set.end(), v) != set.end();
}

template <typename T>
T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Sample i of a native one-sample-per-pixel frame as a number.
double SampleAt(const StoredFormat& s, const uint8_t* native, size_t i) {
  const int width = SampleBytes(s.spec.bitsAllocated);
  const uint8_t* p = native + i * size_t(width);
  if (s.floatBits == 32) return Load<float>(p);
  if (s.floatBits == 64) return Load<double>(p);
  switch (width) {
    case 1:
      return s.spec.isSigned ? double(int8_t(*p)) : double(*p);
    case 2:
      return s.spec.isSigned ? double(Load<int16_t>(p)) : double(Load<uint16_t>(p));
    case 4:
      return s.spec.isSigned ? double(Load<int32_t>(p)) : double(Load<uint32_t>(p));
    default:
      return s.spec.isSigned ? double(Load<int64_t>(p)) : double(Load<uint64_t>(p));
  }
}

// A double as the nearest float, the largest finite one for values beyond
// (the held header keeps floats; a double file's range may not fit them).
float SaturatedFloat(double v) {
  constexpr double kMax = std::numeric_limits<float>::max();
  return std::isnan(v) ? 0.0f : float(std::clamp(v, -kMax, kMax));
}

uint8_t Clamp8(double v) {
  return static_cast<uint8_t>(std::clamp(std::nearbyint(v), 0.0, 255.0));
}

// The values of one palette table, before they are reduced to bytes.
bool TableValues(const TPaletteLut& t, bool littleEndian, std::vector<uint32_t>& values,
                 std::string& why);

// PS3.3 C.7.9.2: discrete (0), linear (1) and indirect (2) segments. Every
// step is bounded by the data and by the table's size; indirect segments may
// not nest deeper than a few levels, so a loop of offsets ends.
bool ExpandSegments(const std::vector<uint32_t>& data, size_t at, size_t segments, size_t limit,
                    int depth, std::vector<uint32_t>& lut) {
  size_t read = 0;
  while (at + 1 < data.size() && lut.size() < limit && (segments == 0 || read < segments)) {
    const uint32_t op = data[at], length = data[at + 1];
    at += 2;
    if (op == 0) {
      const size_t n = std::min<size_t>({length, data.size() - at, limit - lut.size()});
      lut.insert(lut.end(), data.begin() + std::ptrdiff_t(at),
                 data.begin() + std::ptrdiff_t(at + n));
      at += length;
    } else if (op == 1) {
      if (lut.empty() || at >= data.size()) return false;
      const double y0 = lut.back(), y1 = data[at++];
      const size_t n = std::min<size_t>(length, limit - lut.size());
      for (size_t i = 1; i <= n; ++i)
        lut.push_back(uint32_t(std::nearbyint(y0 + (y1 - y0) * double(i) / double(length))));
    } else if (op == 2) {
      if (lut.empty() || depth >= 4 || at + 1 >= data.size()) return false;
      // The offset, in entries of the segmented data, least significant word first.
      const size_t offset = size_t(data[at]) | size_t(data[at + 1]) << 16;
      at += 2;
      if (offset >= data.size() || !ExpandSegments(data, offset, length, limit, depth + 1, lut))
        return false;
    } else {
      return false;
    }
    ++read;
  }
  return !lut.empty();
}

bool TableValues(const TPaletteLut& t, bool littleEndian, std::vector<uint32_t>& values,
                 std::string& why) {
  values.clear();
  if (!t.data || t.data->empty()) {
    why = "a palette table has no data";
    return false;
  }
  const std::vector<uint8_t>& d = *t.data;
  const size_t entries = t.entries <= 0 ? 65536 : size_t(t.entries);
  // One byte per value when the descriptor says 8 bits and the data holds
  // no more than one byte per entry (8-bit tables packed into words); two
  // otherwise.
  const bool bytes = t.segmented ? t.bits == 8 : (t.bits == 8 && d.size() < 2 * entries);
  std::vector<uint32_t> raw;
  if (bytes) {
    raw.assign(d.begin(), d.end());
  } else {
    raw.resize(d.size() / 2);
    for (size_t i = 0; i < raw.size(); ++i)
      raw[i] = littleEndian ? uint32_t(d[2 * i]) | uint32_t(d[2 * i + 1]) << 8
                            : uint32_t(d[2 * i]) << 8 | uint32_t(d[2 * i + 1]);
  }
  if (t.segmented) {
    if (!ExpandSegments(raw, 0, 0, entries, 0, values)) {
      why = "a segmented palette table does not expand";
      return false;
    }
  } else {
    values.assign(raw.begin(), raw.begin() + std::ptrdiff_t(std::min(raw.size(), entries)));
  }
  if (values.empty()) {
    why = "a palette table has no entries";
    return false;
  }
  // Indices past what the data holds take its last entry.
  values.resize(entries, values.back());
  return true;
}

}  // namespace

bool IsYbr(const std::string& p) {
  return p.rfind("YBR_FULL", 0) == 0 || p.rfind("YBR_PARTIAL", 0) == 0;
}

void YbrToRgb(const std::string& photometric, uint8_t* px, int64_t pixels) {
  const bool partial = photometric.rfind("YBR_PARTIAL", 0) == 0;
  for (int64_t i = 0; i < pixels; ++i, px += 3) {
    const double cb = px[1] - 128.0, cr = px[2] - 128.0;
    if (partial) {
      // Studio range: Y 16 ... 235, chroma 16 ... 240.
      const double y = 1.164383 * (px[0] - 16.0);
      px[0] = Clamp8(y + 1.596027 * cr);
      px[1] = Clamp8(y - 0.391762 * cb - 0.812968 * cr);
      px[2] = Clamp8(y + 2.017232 * cb);
    } else {
      // Full range, as JPEG defines it.
      const double y = px[0];
      px[0] = Clamp8(y + 1.402 * cr);
      px[1] = Clamp8(y - 0.344136 * cb - 0.714136 * cr);
      px[2] = Clamp8(y + 1.772 * cb);
    }
  }
}

bool ExpandPalette(const DICOMdata& h, ExpandedPalette& out, std::string* why) {
  std::string reason;
  std::vector<uint32_t> values[3];
  for (int c = 0; c < 3; ++c) {
    if (!TableValues(h.Pixel.palette[size_t(c)], h.little_endian != 0, values[c], reason)) {
      if (why) *why = reason;
      return false;
    }
  }
  std::vector<uint8_t>* dst[3] = {&out.red, &out.green, &out.blue};
  for (int c = 0; c < 3; ++c) {
    // 16-bit entries are shown by their top byte; a table that never leaves
    // 0 ... 255 holds 8-bit entries, whatever its descriptor says.
    const uint32_t top = *std::max_element(values[c].begin(), values[c].end());
    const int shift = top > 255 ? 8 : 0;
    dst[c]->resize(values[c].size());
    for (size_t i = 0; i < values[c].size(); ++i)
      (*dst[c])[i] = uint8_t(std::min<uint32_t>(values[c][i] >> shift, 255));
  }
  out.first = h.Pixel.palette[0].firstMapped;
  return true;
}

bool DescribeStoredFormat(const DICOMdata& h, StoredFormat& s, std::string& why) {
  const TPixelModule& m = h.Pixel;
  s = StoredFormat{};
  s.spec.columns = std::max(0, h.XYZdim[0]);
  s.spec.rows = std::max(0, h.XYZdim[1]);
  const bool module =
      OneOf(m.bitsAllocated, {1, 8, 12, 16, 32, 64}) && OneOf(m.samplesPerPixel, {0, 1, 3});
  if (module) {
    s.spec.bitsAllocated = m.bitsAllocated;
    s.spec.samples = m.samplesPerPixel != 0 ? m.samplesPerPixel : h.SamplesPerPixel;
    s.spec.bitsStored =
        m.bitsStored > 0 && m.bitsStored <= m.bitsAllocated ? m.bitsStored : m.bitsAllocated;
    s.spec.isSigned = m.pixelRepresentation == 1;
    s.floatBits = m.floatBits;
    s.slope = m.rescaleSlope;
    s.intercept = m.rescaleIntercept;
  } else {
    // A record without the module (made by code, or a vendor variant read
    // with swapped or stand-in values): the fields the reader always fills.
    s.spec.bitsAllocated = h.Allocbits_per_pixel;
    s.spec.samples = h.SamplesPerPixel;
    s.spec.bitsStored = std::clamp(h.Storedbits_per_pixel, 1, std::max(1, h.Allocbits_per_pixel));
    s.spec.isSigned = h.pixel_representation == 1;
    s.slope = h.IntenScale;
    s.intercept = h.IntenIntercept;
  }
  if (!m.photometric.empty()) {
    s.photometric = Upper(m.photometric);
  } else {
    static const char* const kModels[] = {"MONOCHROME2", "MONOCHROME1", "MONOCHROME2", "RGB",
                                          "YBR_FULL"};
    s.photometric = kModels[std::clamp(h.Monochrome, 0, 4)];
  }
  s.spec.planar = h.PlanarConfig == 1;
  s.spec.rgbPhotometric = !IsYbr(s.photometric) && s.photometric.rfind("YBR", 0) != 0;
  s.spec.ybrPhotometric = IsYbr(s.photometric);

  const int ba = s.spec.bitsAllocated, samples = s.spec.samples;
  const auto refuse = [&](const std::string& text) {
    why = text;
    return false;
  };
  if (samples != 1 && samples != 3) {
    return refuse(std::to_string(samples) + " samples per pixel cannot be displayed");
  }
  if (!OneOf(ba, {1, 8, 12, 16, 32, 64}) || (ba == 64 && s.floatBits == 0) ||
      (samples == 3 && !OneOf(ba, {8, 12, 16, 32}))) {
    return refuse(std::to_string(ba * samples) + " bits per pixel cannot be displayed");
  }
  if (s.floatBits != 0 && (s.floatBits != ba || samples != 1)) {
    return refuse("float pixel data of " + std::to_string(ba) + " bits allocated and " +
                  std::to_string(samples) + " samples cannot be displayed");
  }
  const TPaletteLut* p = h.Pixel.palette.data();
  s.palette = s.photometric == "PALETTE COLOR" && samples == 1 && OneOf(ba, {8, 12, 16}) &&
              p[0].data && p[1].data && p[2].data;
  return true;
}

HeldBuffer HeldBufferOf(const StoredFormat& s) {
  if (s.palette || s.spec.samples == 3) return HeldBuffer::kRgb;
  if (s.spec.bitsAllocated == 1 || (s.spec.bitsAllocated == 8 && !s.spec.isSigned))
    return HeldBuffer::kGrey8;
  return HeldBuffer::kWords;
}

bool HeldDirectly(const StoredFormat& s) {
  if (s.palette || s.floatBits != 0) return false;
  const int ba = s.spec.bitsAllocated;
  if (s.spec.samples == 3) return ba == 8;
  return (ba == 8 && !s.spec.isSigned) || ba == 12 || ba == 16;
}

bool NeedsFileRange(const StoredFormat& s) {
  if (s.palette) return false;
  // Deep colour is shown through a window over the file's samples.
  if (s.spec.samples == 3) return s.spec.bitsAllocated > 8;
  return s.spec.samples == 1 &&
         (s.floatBits != 0 || s.spec.bitsAllocated == 32 || s.spec.bitsAllocated == 64);
}

void WidenRange(const StoredFormat& s, const uint8_t* native, size_t bytes, SampleRange& r) {
  const size_t n = bytes / size_t(SampleBytes(s.spec.bitsAllocated));
  for (size_t i = 0; i < n; ++i) {
    const double v = SampleAt(s, native, i);
    if (!std::isfinite(v)) continue;
    if (!r.any) {
      r.min = r.max = v;
      r.any = true;
    }
    r.min = std::min(r.min, v);
    r.max = std::max(r.max, v);
  }
}

HeldHeader ConvertToHeld(const StoredFormat& s, const DICOMdata& h, const uint8_t* native,
                         const SampleRange& range, const ExpandedPalette& pal,
                         std::vector<uint8_t>& grey8, std::vector<int16_t>& words,
                         std::vector<uint8_t>& rgb) {
  const size_t n = size_t(s.spec.pixels());
  HeldHeader held;
  held.differs = true;
  held.monochrome = h.Monochrome;
  held.slope = float(s.slope);
  held.intercept = float(s.intercept);
  held.samples = 1;
  held.allocBits = held.storedBits = 16;
  if (s.palette) {
    const int64_t last[3] = {int64_t(pal.red.size()) - 1, int64_t(pal.green.size()) - 1,
                             int64_t(pal.blue.size()) - 1};
    for (size_t i = 0; i < n; ++i) {
      const int64_t index = int64_t(SampleAt(s, native, i)) - pal.first;
      rgb[3 * i] = pal.red[size_t(std::clamp<int64_t>(index, 0, last[0]))];
      rgb[3 * i + 1] = pal.green[size_t(std::clamp<int64_t>(index, 0, last[1]))];
      rgb[3 * i + 2] = pal.blue[size_t(std::clamp<int64_t>(index, 0, last[2]))];
    }
    held.samples = 3;
    held.allocBits = held.storedBits = 8;
    held.monochrome = 3;
    held.slope = 1.0f;
    held.intercept = 0.0f;
    return held;
  }
  if (s.spec.samples == 3) {
    // Deep colour: the range of the file's samples (all three channels
    // together, so the balance stays) into 0 ... 255; without a range (no
    // finite sample, or all equal) the stored depth's top eight bits.
    const int width = SampleBytes(s.spec.bitsAllocated);
    if (range.any && range.max > range.min) {
      const double lo = range.min, span = range.max - range.min;
      for (size_t i = 0; i < 3 * n; ++i)
        rgb[i] = Clamp8((SampleAt(s, native, i) - lo) * 255.0 / span);
    } else {
      const int shift = std::clamp(s.spec.bitsStored, 8, 8 * width) - 8;
      for (size_t i = 0; i < 3 * n; ++i) {
        const uint8_t* p = native + i * size_t(width);
        const uint64_t v = width == 2 ? Load<uint16_t>(p) : width == 4 ? Load<uint32_t>(p) : *p;
        rgb[i] = uint8_t(std::min<uint64_t>(v >> shift, 255));
      }
    }
    held.samples = 3;
    held.allocBits = held.storedBits = 8;
    return held;
  }
  if (s.spec.bitsAllocated == 1) {
    for (size_t i = 0; i < n; ++i) grey8[i] = native[i] ? 255 : 0;
    held.allocBits = held.storedBits = 8;
    held.slope = float(s.slope / 255.0);
    return held;
  }
  if (s.spec.bitsAllocated == 8) {  // signed bytes
    for (size_t i = 0; i < n; ++i) words[i] = int8_t(native[i]);
    held.pixelRepresentation = 1;
    return held;
  }
  // 32-bit integers, float and double: the range of the file's finite
  // samples into 0 ... 65535; +inf takes the top word, -inf and NaN the
  // bottom one. Float differences are taken in halves: double data may span
  // more than the largest double, and the halved sums are exact otherwise.
  const double lo = range.any ? range.min : 0.0, hi = range.any ? range.max : 0.0;
  double step = 1.0;
  if (s.floatBits == 0) {
    // Integers stay exact while the range fits a word, else step by a whole number.
    step = std::max(1.0, std::ceil((hi - lo) / 65535.0));
  } else if (hi > lo) {
    step = (hi / 2 - lo / 2) / 65535.0 * 2;
    // A span of a few subnormals has no step: its values are held as one.
    if (!(step / 2 > 0.0)) step = 1.0;
  }
  const double halfStep = step / 2;
  for (size_t i = 0; i < n; ++i) {
    const double v = SampleAt(s, native, i);
    double w = 0.0;
    if (v == std::numeric_limits<double>::infinity()) {
      w = 65535.0;
    } else if (!std::isnan(v)) {
      const double c = std::clamp(v, lo, hi);
      w = std::floor((c / 2 - lo / 2) / halfStep + 0.5);
    }
    words[i] = int16_t(uint16_t(w > 0.0 ? std::min(w, 65535.0) : 0.0));
  }
  held.slope = SaturatedFloat(s.slope * step);
  held.intercept = SaturatedFloat(s.slope * lo + s.intercept);
  return held;
}
