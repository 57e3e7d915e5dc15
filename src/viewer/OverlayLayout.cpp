#include "viewer/OverlayLayout.h"

#include <QFontMetrics>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kGap = 4;        // between a text and what it must not touch
constexpr int kMinWidth = 30;  // narrower than this a line says nothing
constexpr int kLineStep = 15;  // the usual distance between lines

int Round(double v) {
  return int(std::nearbyint(v));
}

}  // namespace

QRect VerticalRulerBox(QSize s) {
  const int a = Round(s.height() * 0.2), b = Round(s.height() * 0.85);
  return QRect(QPoint(s.width() - 35, a), QPoint(s.width() - 15, b));
}

QRect HorizontalRulerBox(QSize s) {
  const int a = Round(s.width() * 0.2), b = Round(s.width() * 0.85);
  return QRect(QPoint(a, s.height() - 35), QPoint(b, s.height() - 15));
}

std::vector<TOverlayText> LayOutOverlay(const TOverlayInput& in) {
  const int W = in.surface.width(), H = in.surface.height();
  std::vector<TOverlayText> out;
  std::vector<QRect> taken;
  if (in.ruler) {
    taken.push_back(VerticalRulerBox(in.surface));
    taken.push_back(HorizontalRulerBox(in.surface));
  }
  const auto free = [&taken](const QRect& r) {
    return std::none_of(taken.begin(), taken.end(),
                        [&r](const QRect& t) { return t.intersects(r); });
  };

  // Letters first, at their edges' middles; past the ruler when it is there.
  const QFontMetrics lm(in.letterFont);
  const int letterHeight = lm.height();
  const QPoint letterAt[4] = {{W / 2, 2}, {W - 35, H / 2}, {W / 2, H - 20}, {7, H / 2}};
  for (int i = 0; i < 4; ++i) {
    const QString& t = in.letters[size_t(i)];
    if (t.isEmpty()) continue;
    QRect r(letterAt[i], QSize(lm.horizontalAdvance(t), letterHeight));
    if (i == 2) r.moveBottom(std::min(r.bottom(), H - 1));
    if (in.ruler && i == 1 && r.intersects(VerticalRulerBox(in.surface)))
      r.moveRight(VerticalRulerBox(in.surface).left() - kGap);
    if (in.ruler && i == 2 && r.intersects(HorizontalRulerBox(in.surface)))
      r.moveBottom(HorizontalRulerBox(in.surface).top() - kGap);
    r.moveRight(std::min(r.right(), W - 1));
    // A cell too small for it, or for it beside the others, shows none.
    if (!QRect(0, 0, W, H).contains(r) || !free(r)) continue;
    out.push_back({t, r, true});
    taken.push_back(r);
  }

  // Corner blocks: each line takes the first place from its corner inward
  // where it fits whole, else the first where it fits shortened.
  const QFontMetrics fm(in.font);
  const int lh = std::max(kLineStep, fm.height());
  const int mid = H / 2;
  const auto block = [&](const QStringList& lines, bool top, bool left) {
    const int first = top ? 10 : H - 5 - lh;
    const auto slotY = [&](int k) { return top ? first + k * lh : first - k * lh; };
    const auto inHalf = [&](int y) { return top ? y + lh <= mid : y >= mid + letterHeight; };
    // The span a line may use on the band at y, shifted past what is in the
    // way at its anchored side.
    const auto span = [&](int y) {
      int lo = left ? 10 : W / 2 + kGap, hi = left ? W / 2 - kGap : W - 10;
      std::vector<QRect> in_band;
      const QRect band(0, y, W, lh);
      for (const QRect& t : taken)
        if (t.intersects(band)) in_band.push_back(t);
      if (left) {
        std::sort(in_band.begin(), in_band.end(),
                  [](const QRect& a, const QRect& b) { return a.left() < b.left(); });
        for (const QRect& t : in_band) {
          if (t.right() < lo) continue;
          if (t.left() <= lo + kMinWidth)
            lo = t.right() + 1 + kGap;
          else
            hi = std::min(hi, t.left() - kGap);
        }
      } else {
        std::sort(in_band.begin(), in_band.end(),
                  [](const QRect& a, const QRect& b) { return a.right() > b.right(); });
        for (const QRect& t : in_band) {
          if (t.left() > hi) continue;
          if (t.right() >= hi - kMinWidth)
            hi = t.left() - 1 - kGap;
          else
            lo = std::max(lo, t.right() + 1 + kGap);
        }
      }
      return std::pair<int, int>(lo, hi);
    };
    int k = 0;
    for (const QString& line : lines) {
      if (!inHalf(slotY(k))) break;
      if (line.isEmpty()) {
        ++k;  // a missing value keeps its place
        continue;
      }
      const int width = fm.horizontalAdvance(line);
      int whole = -1, shortened = -1;
      for (int j = k; inHalf(slotY(j)); ++j) {
        const auto [lo, hi] = span(slotY(j));
        if (hi - lo >= width) {
          whole = j;
          break;
        }
        if (shortened < 0 && hi - lo >= kMinWidth) shortened = j;
      }
      const int at = whole >= 0 ? whole : shortened;
      if (at < 0) continue;  // no room anywhere: dropped
      const int y = slotY(at);
      const auto [lo, hi] = span(y);
      const QString text = whole >= 0 ? line : fm.elidedText(line, Qt::ElideRight, hi - lo);
      const int w = std::min(fm.horizontalAdvance(text), hi - lo);
      const QRect r(left ? lo : hi - w, y, w, lh);
      if (!free(r)) continue;
      out.push_back({text, r, false});
      taken.push_back(r);
      k = at + 1;
    }
  };
  block(in.bottomLeft, false, true);
  block(in.bottomRight, false, false);
  block(in.topLeft, true, true);
  block(in.topRight, true, false);
  return out;
}
