#include "pixels/WindowLevel.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace {

// Extended precision, as the window arithmetic has always been done; it keeps
// the ties of the rounding steps where they fall.
using Real = long double;

// Round to nearest, ties to even (the default floating-point rounding mode).
Real RoundEven(Real x) {
  return std::rint(x);
}

// Saturating conversions: header values from bad files must not overflow.
int SatInt(Real x) {
  if (std::isnan(x)) return 0;
  if (x <= Real(INT_MIN)) return INT_MIN;
  if (x >= Real(INT_MAX)) return INT_MAX;
  return static_cast<int>(x);  // truncates toward zero
}
int SatInt(int64_t x) {
  return static_cast<int>(std::clamp<int64_t>(x, INT_MIN, INT_MAX));
}

uint8_t ClampByte(Real t) {
  if (!(t > 0)) return 0;  // also NaN
  if (t >= 255) return 255;
  return static_cast<uint8_t>(t);
}

uint8_t Polar(uint8_t g, bool invert) {
  return invert ? uint8_t(255 - g) : g;
}

void SaneRescale(float slope, float intercept, Real& s, Real& b) {
  s = std::isfinite(slope) ? Real(slope) : Real(1);
  b = std::isfinite(intercept) ? Real(intercept) : Real(0);
}

// Rescaled extent of a stored range, truncated, lowest first whatever the slope's sign.
void RescaledRange(StoredRange data, float slope, float intercept, int& lo, int& hi) {
  Real s, b;
  SaneRescale(slope, intercept, s, b);
  const int a = SatInt(std::trunc(Real(data.min) * s + b));
  const int c = SatInt(std::trunc(Real(data.max) * s + b));
  lo = std::min(a, c);
  hi = std::max(a, c);
}

WindowDefault SpanningWindow(StoredRange data, float slope, float intercept) {
  int lo, hi;
  RescaledRange(data, slope, intercept, lo, hi);
  WindowDefault w;
  w.replaced = true;
  const int64_t width = int64_t(hi) - lo;
  w.width = SatInt(width);
  w.center = SatInt(int64_t(lo) + width / 2);  // width >= 0: division floors
  return w;
}

// Min and max in fixed-size blocks of independent lanes, which the compiler
// turns into vector instructions.
template <typename T>
std::pair<T, T> BlockMinMax(const T* v, size_t n) {
  constexpr size_t kLanes = 32;
  T lo[kLanes], hi[kLanes];
  for (size_t k = 0; k < kLanes; ++k) {
    lo[k] = std::numeric_limits<T>::max();
    hi[k] = std::numeric_limits<T>::min();
  }
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t k = 0; k < kLanes; ++k) {
      lo[k] = v[i + k] < lo[k] ? v[i + k] : lo[k];
      hi[k] = v[i + k] > hi[k] ? v[i + k] : hi[k];
    }
  }
  for (; i < n; ++i) {
    lo[0] = std::min(lo[0], v[i]);
    hi[0] = std::max(hi[0], v[i]);
  }
  T mn = lo[0], mx = hi[0];
  for (size_t k = 1; k < kLanes; ++k) {
    mn = std::min(mn, lo[k]);
    mx = std::max(mx, hi[k]);
  }
  return {mn, mx};
}

}  // namespace

uint8_t WwWlTable::Grey(int64_t v) const {
  if (v > hi) return above;
  if (v < lo) return below;
  if (entries.empty()) return below;
  const int64_t i = std::clamp<int64_t>(v - first, 0, int64_t(entries.size()) - 1);
  return entries[size_t(i)];
}

WwWlTable BuildWwWlLut(const WindowParams& p, int64_t needLo, int64_t needHi) {
  WwWlTable t;
  t.below = Polar(0, p.invert);
  t.above = Polar(255, p.invert);
  needLo = std::max(needLo, kStoredMin);
  needHi = std::min(needHi, kStoredMax);

  Real s, b;
  SaneRescale(p.slope, p.intercept, s, b);
  const Real W = p.width, L = p.level;
  const Real lowEdge = std::floor(L - W / 2);
  const Real highEdge = std::floor(L + W / 2);

  auto entry = [&](int64_t v) -> uint8_t {
    const Real m = RoundEven(Real(v) * s + b);
    if (W > 0) return Polar(ClampByte(RoundEven((m - lowEdge) / W * Real(255.0))), p.invert);
    // No ramp: a step at the level.
    return Polar(m < L ? 0 : (m > L ? 255 : 128), p.invert);
  };

  if (W > 0 && s > 0) {
    // Stored-value bounds of the window; beyond the 16-bit domain they only
    // need to stay outside it.
    const Real loF = std::floor((lowEdge - b) / s);
    const Real hiF = std::floor((highEdge - b) / s);
    t.lo = int64_t(std::clamp(loF, Real(kStoredMin - 1), Real(kStoredMax + 1)));
    t.hi = int64_t(std::clamp(hiF, Real(kStoredMin - 1), Real(kStoredMax + 1)));
  } else {
    // The rescaled value does not rise with the stored one (or there is no
    // ramp): map every needed value on its own.
    t.lo = needLo;
    t.hi = needHi;
  }

  const int64_t from = std::max(t.lo, needLo), to = std::min(t.hi, needHi);
  t.first = from;
  if (from <= to) {
    t.entries.resize(size_t(to - from + 1));
    for (int64_t v = from; v <= to; ++v) t.entries[size_t(v - from)] = entry(v);
  }
  return t;
}

StoredRange ScanMinMax(const int16_t* words, size_t n, bool unsignedWords) {
  StoredRange r;
  if (n == 0 || !words) return r;
  // Separate loops without branches so the compiler vectorises them.
  if (unsignedWords) {
    const auto [lo, hi] = BlockMinMax(reinterpret_cast<const uint16_t*>(words), n);
    r.min = lo;
    r.max = hi;
  } else {
    const auto [lo, hi] = BlockMinMax(words, n);
    r.min = lo;
    r.max = hi;
  }
  return r;
}

bool LutRange(const TLut& lut, StoredRange& out) {
  const size_t n = std::min<size_t>(size_t(std::max(lut.LutSize, 0)), lut.Lutdata.size());
  if (n == 0) return false;
  const auto [lo, hi] = std::minmax_element(lut.Lutdata.begin(), lut.Lutdata.begin() + n);
  out.min = *lo;
  out.max = *hi;
  return true;
}

WindowDefault DefaultWindow(int headerWidth, int headerCenter, StoredRange data, float slope,
                            float intercept) {
  int lo, hi;
  RescaledRange(data, slope, intercept, lo, hi);
  if (headerWidth != 0 && headerCenter >= lo && headerCenter <= hi)
    return {false, headerWidth, headerCenter};
  return SpanningWindow(data, slope, intercept);
}

WindowDefault ThumbnailWindow(int headerWidth, int headerCenter, StoredRange data, float slope,
                              float intercept) {
  if (headerWidth != 0) return {false, headerWidth, headerCenter};
  return SpanningWindow(data, slope, intercept);
}

void BuildWordGreyTable(const WwWlTable& t, bool unsignedWords, WordGreyTable& out) {
  const uint8_t beforeEntries = t.entries.empty() ? t.below : t.entries.front();
  const uint8_t afterEntries = t.entries.empty() ? t.above : t.entries.back();
  const int64_t last = t.first + int64_t(t.entries.size()) - 1;

  // Fills dst[0 ..] with the grey levels of stored values vFrom .. vTo.
  auto fill = [&](uint8_t* dst, int64_t vFrom, int64_t vTo) {
    auto span = [&](int64_t a, int64_t b, auto&& put) {
      a = std::max(a, vFrom);
      b = std::min(b, vTo);
      if (a <= b) put(dst + (a - vFrom), a, size_t(b - a + 1));
    };
    auto value = [](uint8_t g) {
      return [g](uint8_t* d, int64_t, size_t n) { std::memset(d, g, n); };
    };
    span(INT64_MIN / 2, t.lo - 1, value(t.below));
    span(t.hi + 1, INT64_MAX / 2, value(t.above));
    // Inside the window: the entries, and their end values where they were not asked for.
    span(t.lo, std::min(t.hi, t.first - 1), value(beforeEntries));
    span(std::max(t.lo, last + 1), t.hi, value(afterEntries));
    span(std::max(t.lo, t.first), std::min(t.hi, last), [&](uint8_t* d, int64_t a, size_t n) {
      std::memcpy(d, t.entries.data() + (a - t.first), n);
    });
  };

  if (unsignedWords) {
    fill(out.data(), 0, 65535);
  } else {
    fill(out.data(), 0, 32767);            // bit patterns 0x0000 .. 0x7FFF
    fill(out.data() + 32768, -32768, -1);  // bit patterns 0x8000 .. 0xFFFF
  }
}

void MapWordsToGrey(const int16_t* words, size_t n, const WordGreyTable& table, uint8_t* grey) {
  const uint16_t* u = reinterpret_cast<const uint16_t*>(words);
  const uint8_t* tab = table.data();
  for (size_t i = 0; i < n; ++i) grey[i] = tab[u[i]];
}

ByteGreyTable BuildBCLut(int brightness, int contrast, bool invert) {
  const int c = std::clamp(contrast, 0, 256);
  // The slope is kept in single precision.
  const float factor = float(Real(259) * (c + 255) / (Real(255) * (259 - c)));
  ByteGreyTable t{};
  for (int i = 0; i < 256; ++i) {
    const Real v = RoundEven(Real(i - 128) * Real(factor) + Real(128.0) + Real(brightness));
    t[size_t(i)] = Polar(ClampByte(v), invert);
  }
  return t;
}

ByteGreyTable BuildByteWindowLut(const WindowParams& p) {
  const WwWlTable window = BuildWwWlLut(p, 0, 255);
  ByteGreyTable t{};
  for (int i = 0; i < 256; ++i) t[size_t(i)] = window.Grey(i);
  return t;
}

void MapBytesToGrey(const uint8_t* in, size_t n, const ByteGreyTable& table, uint8_t* grey) {
  for (size_t i = 0; i < n; ++i) grey[i] = table[in[i]];
}

bool CellWindowDrag(WindowDragState& s, int x, int y) {
  const int64_t dx = int64_t(x) - s.lastX, dy = int64_t(y) - s.lastY;
  if (std::abs(dx) <= 10 && std::abs(dy) <= 10) return false;
  if (std::abs(dx) > 10) {
    const int step = x > s.lastX ? 10 : -10;
    // The effective width never drops below 10.
    s.DeltaWW = SatInt(std::max<int64_t>(int64_t(s.DeltaWW) + step, 10 - int64_t(s.headerWidth)));
    s.windowWidth = SatInt(int64_t(s.headerWidth) + s.DeltaWW);
    s.cineWW = SatInt(int64_t(s.cineWW) + step);
    s.contrast = int(std::clamp<int64_t>(int64_t(s.contrast) + step, 0, 256));
    s.cineWW = std::max(s.cineWW, 10);
    s.lastX = x;
  }
  if (std::abs(dy) > 10) {
    const int step = y > s.lastY ? 10 : -10;
    s.DeltaWL = SatInt(int64_t(s.DeltaWL) + step);
    s.windowLevel = SatInt(int64_t(s.headerCenter) + s.DeltaWL);
    s.cineWL = SatInt(int64_t(s.cineWL) + step);
    s.brightness = SatInt(int64_t(s.brightness) + step);
    s.lastY = y;
  }
  return true;
}

bool WwWL(WindowDragState& s, int diffX, int diffY, int sensetivityFactor, bool isByteImage) {
  // A step proportional to the base value, at least 3 either way.
  auto step = [&](int base, int diff) {
    Real m = std::fabs(Real(sensetivityFactor) / 1000 * base);
    if (m <= 3.0L) m = 3.0L;
    return diff < 0 ? -m : m;
  };
  bool changed = false;
  if (std::abs(int64_t(diffX)) > sensetivityFactor) {
    const Real st = step(isByteImage ? s.contrast : s.headerWidth, diffX);
    s.DeltaWW = SatInt(std::trunc(s.DeltaWW + 2.5L * st));
    s.DeltaWW = SatInt(std::max<int64_t>(s.DeltaWW, 10 - int64_t(s.headerWidth)));
    s.windowWidth = SatInt(int64_t(s.headerWidth) + s.DeltaWW);
    s.cineWW = SatInt(std::trunc(s.cineWW + 2.5L * st));
    s.contrast = std::clamp(SatInt(std::trunc(s.contrast + 1.2L * st)), 0, 256);
    s.cineWW = std::max(s.cineWW, 10);
    changed = true;
  }
  if (std::abs(int64_t(diffY)) > sensetivityFactor) {
    const Real st = step(isByteImage ? s.brightness : s.headerCenter, diffY);
    s.DeltaWL = SatInt(std::trunc(s.DeltaWL + 2.5L * st));
    s.windowLevel = SatInt(int64_t(s.headerCenter) + s.DeltaWL);
    s.cineWL = SatInt(std::trunc(s.cineWL + 2.5L * st));
    s.brightness = SatInt(std::trunc(s.brightness + 1.2L * st));
    changed = true;
  }
  return changed;
}
