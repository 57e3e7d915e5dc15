#include "pixels/WindowLevel.h"

#include <algorithm>
#include <charconv>
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

// Saturating conversion for brightness and contrast, which stay integers.
int SatInt(Real x) {
  if (std::isnan(x)) return 0;
  if (x <= Real(INT_MIN)) return INT_MIN;
  if (x >= Real(INT_MAX)) return INT_MAX;
  return static_cast<int>(x);  // truncates toward zero
}

uint8_t ClampByte(Real t) {
  if (!(t > 0)) return 0;  // also NaN
  if (t >= 255) return 255;
  return static_cast<uint8_t>(t);
}

uint8_t Polar(uint8_t g, bool invert) {
  return invert ? uint8_t(255 - g) : g;
}

void SaneRescale(double slope, double intercept, Real& s, Real& b) {
  s = std::isfinite(slope) ? Real(slope) : Real(1);
  b = std::isfinite(intercept) ? Real(intercept) : Real(0);
}

bool Whole(Real x) {
  return std::isfinite(x) && std::floor(x) == x;
}

// Rescaled extent of a stored range, lowest first whatever the slope's sign.
void RescaledRange(StoredRange data, double slope, double intercept, Real& lo, Real& hi) {
  Real s, b;
  SaneRescale(slope, intercept, s, b);
  const Real a = Real(data.min) * s + b, c = Real(data.max) * s + b;
  lo = std::min(a, c);
  hi = std::max(a, c);
}

WindowDefault SpanningWindow(StoredRange data, double slope, double intercept) {
  Real lo, hi;
  RescaledRange(data, slope, intercept, lo, hi);
  WindowDefault w;
  w.replaced = true;
  const Real width = hi - lo;
  w.width = double(width);
  // Whole-number data keeps a whole-number centre (rounded down).
  w.center = double(Whole(lo) && Whole(hi) ? lo + std::floor(width / 2) : lo + width / 2);
  return w;
}

// Window values stay finite: a drag from an absurd header cannot reach
// infinity (which would turn the picture's arithmetic into NaN).
double Finite(Real x) {
  constexpr Real kMax = Real(std::numeric_limits<double>::max());
  if (std::isnan(x)) return 0;
  return double(std::clamp(x, -kMax, kMax));
}

// x truncated toward zero to a whole number of units (a quotient within
// rounding of a whole number counts as that number).
Real TruncToUnit(Real x, Real unit) {
  const Real q = x / unit;
  const Real r = std::nearbyint(q);
  return (std::fabs(q - r) < Real(1e-6) ? r : std::trunc(q)) * unit;
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
  const Real W = std::isfinite(p.width) ? Real(p.width) : Real(0);
  const Real L = std::isfinite(p.level) ? Real(p.level) : Real(0);
  // A whole-number window has whole-number edges, floored as they always
  // were; a real one keeps its exact edges.
  const bool whole = Whole(W) && Whole(L);
  const Real lowEdge = whole ? std::floor(L - W / 2) : L - W / 2;
  const Real highEdge = whole ? std::floor(L + W / 2) : L + W / 2;

  auto entry = [&](int64_t v) -> uint8_t {
    const Real m = Real(v) * s + b;
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

bool UsableWindow(double width, double center) {
  return std::isfinite(width) && width > 0 && std::isfinite(center);
}

WindowDefault DefaultWindow(double headerWidth, double headerCenter, StoredRange data, double slope,
                            double intercept) {
  Real lo, hi;
  RescaledRange(data, slope, intercept, lo, hi);
  if (UsableWindow(headerWidth, headerCenter) && headerCenter >= lo && headerCenter <= hi)
    return {false, headerWidth, headerCenter};
  return SpanningWindow(data, slope, intercept);
}

WindowDefault ThumbnailWindow(double headerWidth, double headerCenter, StoredRange data,
                              double slope, double intercept) {
  if (UsableWindow(headerWidth, headerCenter)) return {false, headerWidth, headerCenter};
  return SpanningWindow(data, slope, intercept);
}

double RescaledSpan(StoredRange data, double slope, double intercept) {
  Real lo, hi;
  RescaledRange(data, slope, intercept, lo, hi);
  const Real span = hi - lo;
  return std::isfinite(span) ? double(span) : 0.0;
}

namespace {

// The largest of 1, 2 and 5 times a power of ten that is at most x (x > 0).
double NiceFloor(double x) {
  const double p = std::pow(10.0, std::floor(std::log10(x)));
  const double m = x / p;
  // m is in [1, 10) up to rounding.
  const double nice = m >= 5 ? 5 : (m >= 2 ? 2 : 1);
  return nice * p;
}

}  // namespace

bool WholeRescale(double slope, double intercept) {
  return Whole(slope) && Whole(intercept);
}

double WindowUnit(double span, bool wholeNumbers) {
  constexpr double kLow = 256, kHigh = 65536;
  if (!std::isfinite(span) || span <= 0) return 1;
  if (span < kLow) return wholeNumbers ? 1 : std::max(NiceFloor(span / kLow), 1e-300);
  if (span > kHigh) return NiceFloor(span / kHigh);
  return 1;
}

int WindowDecimals(double unit) {
  if (!std::isfinite(unit) || unit <= 0 || unit >= 1) return 0;
  return std::clamp(int(std::ceil(-std::log10(unit) - 1e-9)), 0, 17);
}

std::string FormatWindowValue(double v, double unit) {
  if (!std::isfinite(v)) return "0";
  // A value within a millionth of a unit of its text is shown by that text
  // (drags add units, which binary fractions hold only nearly).
  const double unitSize = std::isfinite(unit) && unit > 0 ? unit : 1.0;
  const double tolerance = std::max(unitSize * 1e-6, std::fabs(v) * 1e-15);
  char buf[400];
  for (int d = WindowDecimals(unit);; ++d) {
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, d);
    if (r.ec != std::errc()) return std::to_string(v);
    double back = 0;
    std::from_chars(buf, r.ptr, back);
    if (std::fabs(back - v) <= tolerance || d >= 17) {
      std::string out(buf, r.ptr);
      if (out == "-0" || (out.size() > 2 && out.find_first_not_of("-0.") == std::string::npos))
        out.erase(0, 1);  // no "-0.000"
      return out;
    }
  }
}

bool ParseWindowValue(std::string_view text, double& v) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return false;
  std::string s(text);
  // A lone comma is a decimal separator (as typed where the locale has one).
  if (s.find('.') == std::string::npos && std::count(s.begin(), s.end(), ',') == 1)
    std::replace(s.begin(), s.end(), ',', '.');
  double x = 0;
  const auto r = std::from_chars(s.data(), s.data() + s.size(), x);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(x)) return false;
  v = x;
  return true;
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
  const Real unit = s.unit > 0 && std::isfinite(s.unit) ? Real(s.unit) : Real(1);
  if (std::abs(dx) > 10) {
    const int sign = x > s.lastX ? 1 : -1;
    const Real step = sign * 10 * unit;
    // The effective width never drops below 10 units.
    s.DeltaWW = Finite(std::max(s.DeltaWW + step, 10 * unit - s.headerWidth));
    s.windowWidth = Finite(s.headerWidth + Real(s.DeltaWW));
    s.cineWW = Finite(std::max(s.cineWW + step, 10 * unit));
    s.contrast = std::clamp(s.contrast + sign * 10, 0, 256);
    s.lastX = x;
  }
  if (std::abs(dy) > 10) {
    const int sign = y > s.lastY ? 1 : -1;
    const Real step = sign * 10 * unit;
    s.DeltaWL = Finite(s.DeltaWL + step);
    s.windowLevel = Finite(s.headerCenter + Real(s.DeltaWL));
    s.cineWL = Finite(s.cineWL + step);
    s.brightness = SatInt(Real(s.brightness) + sign * 10);
    s.lastY = y;
  }
  return true;
}

bool WwWL(WindowDragState& s, int diffX, int diffY, int sensetivityFactor, bool isByteImage) {
  // Byte images step in their own integer brightness and contrast.
  const Real unit = isByteImage || !(s.unit > 0) || !std::isfinite(s.unit) ? Real(1) : Real(s.unit);
  // A step proportional to the base value, at least 3 units either way.
  auto step = [&](Real base, int diff) {
    Real m = std::fabs(Real(sensetivityFactor) / 1000 * base);
    if (!(m > 3 * unit)) m = 3 * unit;  // also NaN
    return diff < 0 ? -m : m;
  };
  bool changed = false;
  if (std::abs(int64_t(diffX)) > sensetivityFactor) {
    const Real st = step(isByteImage ? Real(s.contrast) : Real(s.headerWidth), diffX);
    s.DeltaWW = Finite(TruncToUnit(s.DeltaWW + 2.5L * st, unit));
    s.DeltaWW = Finite(std::max(Real(s.DeltaWW), 10 * unit - s.headerWidth));
    s.windowWidth = Finite(s.headerWidth + Real(s.DeltaWW));
    s.cineWW = Finite(TruncToUnit(s.cineWW + 2.5L * st, unit));
    // Contrast moves as it would for a byte image of the same drag.
    s.contrast = std::clamp(SatInt(std::trunc(s.contrast + 1.2L * st / unit)), 0, 256);
    s.cineWW = Finite(std::max(Real(s.cineWW), 10 * unit));
    changed = true;
  }
  if (std::abs(int64_t(diffY)) > sensetivityFactor) {
    const Real st = step(isByteImage ? Real(s.brightness) : Real(s.headerCenter), diffY);
    s.DeltaWL = Finite(TruncToUnit(s.DeltaWL + 2.5L * st, unit));
    s.windowLevel = Finite(s.headerCenter + Real(s.DeltaWL));
    s.cineWL = Finite(TruncToUnit(s.cineWL + 2.5L * st, unit));
    s.brightness = SatInt(std::trunc(s.brightness + 1.2L * st / unit));
    changed = true;
  }
  return changed;
}
