#include "pixels/RoiStatistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "pixels/FrameGeometry.h"

double ModalityFrame::Stored(int64_t c, int64_t r) const {
  const int64_t i = r * columns + c;
  if (words) return isSigned ? double(words[i]) : double(uint16_t(words[i]));
  return isSigned ? double(int8_t(bytes[i])) : double(bytes[i]);
}

ModalityFrame ModalityFrameOf(const DICOMdata& h, const DecodedFrame& f,
                              const ImageCalibration& calibration, int frame) {
  ModalityFrame m;
  const FrameGeometry g = ComputeFrameGeometry(h);
  m.columns = g.columns;
  m.rows = g.rows;
  m.units = h.modality == "CT" || calibration.modality == "CT" ? "HU" : "units";
  if (g.bitProduct == 16 && f.buff16.size() >= size_t(g.pixelCount)) {
    m.words = f.buff16.data();
  } else if (g.bitProduct == 8 && f.buff8.size() >= size_t(g.pixelCount)) {
    m.bytes = f.buff8.data();
  } else {
    return ModalityFrame{};
  }
  const bool lutApplied = m.words && h.Lut.LutSize > 0 && !h.Lut.Lutdata.empty();
  if (lutApplied) return m;  // table entries: unsigned, already modality values
  m.isSigned = h.pixel_representation == 1;
  m.slope = h.IntenScale;
  m.intercept = h.IntenIntercept;
  // The header keeps single precision; the file's own values are exact.
  double slope = calibration.slope, intercept = calibration.intercept;
  if (frame >= 1 && size_t(frame) <= calibration.frameRescale.size()) {
    slope = calibration.frameRescale[frame - 1][0];
    intercept = calibration.frameRescale[frame - 1][1];
  }
  if (calibration.rescaleGiven && float(slope) == h.IntenScale &&
      float(intercept) == h.IntenIntercept) {
    m.slope = slope;
    m.intercept = intercept;
  }
  return m;
}

RoiStats ComputeRoiStats(const ModalityFrame& m, RoiShape shape, double x0, double y0, double x1,
                         double y1) {
  RoiStats s;
  if (!m.Valid() || !std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) ||
      !std::isfinite(y1))
    return s;
  const double lx = std::min(x0, x1), hx = std::max(x0, x1);
  const double ly = std::min(y0, y1), hy = std::max(y0, y1);
  const double a = (hx - lx) / 2, b = (hy - ly) / 2, ex = (lx + hx) / 2, ey = (ly + hy) / 2;
  if (shape == RoiShape::Ellipse && !(a > 0 && b > 0)) return s;
  // Rows and columns whose centres can lie inside, clipped to the image.
  const auto first = [](double lo, int64_t n) {
    return std::clamp<int64_t>(int64_t(std::ceil(std::clamp(lo - 0.5, -1.0, double(n)))), 0, n);
  };
  const auto last = [](double hi, int64_t n) {
    return std::clamp<int64_t>(int64_t(std::floor(std::clamp(hi - 0.5, -2.0, double(n)))), -1,
                               n - 1);
  };
  const int64_t r0 = first(ly, m.rows), r1 = last(hy, m.rows);
  const int64_t c0 = first(lx, m.columns), c1 = last(hx, m.columns);
  // Two passes: the mean, then the squared deviations from it (exact enough
  // for any frame, unlike the sum of squares).
  double sum = 0;
  double lo = INFINITY, hi = -INFINITY;
  int64_t n = 0;
  const auto visit = [&](auto&& f) {
    for (int64_t r = r0; r <= r1; ++r) {
      const double cy = double(r) + 0.5;
      int64_t from = c0, to = c1;
      double ty = 0;
      if (shape == RoiShape::Ellipse) {
        ty = (cy - ey) / b;
        if (ty * ty > 1) continue;
        const double half = a * std::sqrt(1 - ty * ty);
        // One pixel of slack either way; the exact test below decides.
        const double limit = double(m.columns) + 2;
        from = std::max(c0, int64_t(std::floor(std::clamp(ex - half - 0.5, -2.0, limit))) - 1);
        to = std::min(c1, int64_t(std::ceil(std::clamp(ex + half - 0.5, -2.0, limit))) + 1);
      }
      for (int64_t c = from; c <= to; ++c) {
        if (shape == RoiShape::Ellipse) {
          const double tx = (double(c) + 0.5 - ex) / a;
          if (tx * tx + ty * ty > 1) continue;
        }
        f(m.Value(c, r));
      }
    }
  };
  visit([&](double v) {
    sum += v;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    ++n;
  });
  if (n == 0) return s;
  s.pixels = n;
  s.mean = sum / double(n);
  double squares = 0;
  visit([&](double v) { squares += (v - s.mean) * (v - s.mean); });
  s.sd = std::sqrt(squares / double(n));
  s.min = lo;
  s.max = hi;
  return s;
}

RoiMeasurement MeasureRoi(const ModalityFrame& m, const ImageCalibration& calibration,
                          RoiShape shape, double x0, double y0, double x1, double y1, int frame) {
  RoiMeasurement r;
  r.shape = shape;
  r.scale = calibration.ScaleFor(x0, y0, x1, y1, frame);
  const double w = std::fabs(x1 - x0) * r.scale.x, h = std::fabs(y1 - y0) * r.scale.y;
  r.area = shape == RoiShape::Rectangle ? w * h : M_PI / 4 * w * h;
  r.units = m.units.empty() ? "units" : m.units;
  if (m.Valid()) {
    r.hasStats = true;
    r.stats = ComputeRoiStats(m, shape, x0, y0, x1, y1);
  }
  return r;
}

std::string FormatMeasure(double v) {
  if (!std::isfinite(v)) return "0.00";
  char buf[64];
  const double a = std::fabs(v);
  if (a >= 1e8) {
    std::snprintf(buf, sizeof buf, "%.7E", v);
    return buf;
  }
  const int intDigits = a < 1 ? 0 : int(std::floor(std::log10(a))) + 1;
  const int decimals = std::clamp(8 - intDigits, 0, 2);
  // Halves round away from zero, as a reader expects of a label.
  const double unit = decimals == 2 ? 100 : decimals == 1 ? 10 : 1;
  std::snprintf(buf, sizeof buf, "%.*f", decimals, std::round(v * unit) / unit);
  std::string s = buf;
  if (decimals < 2) s += decimals == 0 ? ".00" : "0";
  return s;
}

double ScaledLength(double dx, double dy, const PixelScale& scale) {
  return std::hypot(dx * scale.x, dy * scale.y);
}

std::string LengthLabel(double dx, double dy, const PixelScale& scale) {
  return FormatMeasure(ScaledLength(dx, dy, scale)) + " " + scale.LengthUnit();
}

std::vector<std::string> RoiLabelLines(const RoiMeasurement& m) {
  std::vector<std::string> lines{"Area " + FormatMeasure(m.area) + " " + m.scale.AreaUnit()};
  if (!m.hasStats) return lines;
  if (m.stats.pixels == 0) {
    lines.push_back("no pixel inside");
    return lines;
  }
  lines.push_back("Mean " + FormatMeasure(m.stats.mean) + " " + m.units + "  SD " +
                  FormatMeasure(m.stats.sd));
  lines.push_back("Min " + FormatMeasure(m.stats.min) + "  Max " + FormatMeasure(m.stats.max) +
                  "  n " + std::to_string(m.stats.pixels));
  return lines;
}
