// Small helpers shared by the units of the image control.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QString>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

namespace cellhelpers {

// Round to nearest, ties to even, limited to int (NaN gives INT_MIN).
inline int RoundEven(double x) {
  if (!(x > INT_MIN)) return INT_MIN;
  if (x >= INT_MAX) return INT_MAX;
  return int(std::nearbyint(x));
}

inline int SatAdd(int a, int64_t b, int64_t lo = INT_MIN, int64_t hi = INT_MAX) {
  return int(std::clamp<int64_t>(int64_t(a) + b, lo, hi));
}

// Pan offsets stay far inside int so that centre arithmetic cannot overflow.
constexpr int64_t kPanLimit = 1 << 28;

// The font of the information layers and annotation labels.
inline QFont InfoFont() {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPointSize(8);
  return f;
}

// Draws text with its top-left corner at (x, y).
inline void TextAt(QPainter& p, int x, int y, const QString& text) {
  if (text.isEmpty()) return;
  p.drawText(QPoint(x, y + p.fontMetrics().ascent()), text);
}

}  // namespace cellhelpers
