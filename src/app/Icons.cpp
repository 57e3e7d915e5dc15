#include "app/Icons.h"

#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <cmath>
#include <functional>
#include <map>

namespace icons {
namespace {

// Every glyph is drawn on a 64 x 64 canvas and scaled; strokes are thick
// enough to survive the scaling to 24 px.
constexpr double kStroke = 4.5;

struct Ctx {
  QPainter& p;
  const TIconPalette& c;

  QPen pen(const QColor& color, double width = kStroke) const {
    QPen pen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    return pen;
  }
  void stroke(const QColor& color, double width = kStroke) const {
    p.setPen(pen(color, width));
    p.setBrush(Qt::NoBrush);
  }
  void fill(const QColor& color) const {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
  }
  void outlined(const QColor& fillColor, const QColor& line, double width = kStroke) const {
    p.setPen(pen(line, width));
    p.setBrush(fillColor);
  }
  void line(double x1, double y1, double x2, double y2) const {
    p.drawLine(QPointF(x1, y1), QPointF(x2, y2));
  }
  // A filled arrow head at tip pointing along the angle (degrees, 0 = right).
  void head(QPointF tip, double angleDeg, const QColor& color, double size = 13) const {
    const double a = angleDeg * M_PI / 180.0;
    const QPointF back(tip.x() - size * std::cos(a), tip.y() - size * std::sin(a));
    const QPointF side(-std::sin(a) * size * 0.6, std::cos(a) * size * 0.6);
    QPolygonF tri{tip, back + side, back - side};
    fill(color);
    p.drawPolygon(tri);
  }
  void arrow(QPointF from, QPointF to, const QColor& color, double headSize = 13) const {
    const double dx = to.x() - from.x(), dy = to.y() - from.y();
    const double len = std::hypot(dx, dy);
    const double angle = std::atan2(dy, dx) * 180.0 / M_PI;
    const QPointF stop(to.x() - dx / len * headSize * 0.8, to.y() - dy / len * headSize * 0.8);
    stroke(color);
    p.drawLine(from, stop);
    head(to, angle, color, headSize);
  }
  // A clockwise or counter-clockwise arc with a head at its end.
  void arcArrow(QRectF box, double startDeg, double spanDeg, const QColor& color) const {
    stroke(color);
    p.drawArc(box, int(startDeg * 16), int(spanDeg * 16));
    const double end = (startDeg + spanDeg) * M_PI / 180.0;
    const QPointF c = box.center();
    const QPointF tip(c.x() + box.width() / 2 * std::cos(end),
                      c.y() - box.height() / 2 * std::sin(end));
    // Qt's angles run counter-clockwise with y up; the tangent follows the span's sign.
    const double tangent = (startDeg + spanDeg + (spanDeg > 0 ? 90 : -90));
    head(tip + QPointF(std::cos(tangent * M_PI / 180) * 5, -std::sin(tangent * M_PI / 180) * 5),
         -tangent, color, 14);
  }
  // A grey ramp from black to white: the symbol of grey-level windowing.
  void ramp(QRectF r) const {
    QLinearGradient g(r.topLeft(), r.topRight());
    g.setColorAt(0, QColor(0, 0, 0));
    g.setColorAt(1, QColor(255, 255, 255));
    p.setPen(pen(c.ink, 3));
    p.setBrush(g);
    p.drawRoundedRect(r, 3, 3);
  }
  void padlock(QPointF at, bool locked) const {
    // Body 20 x 16 with its top-left at `at`; the shackle above it.
    const QRectF body(at.x(), at.y(), 22, 17);
    stroke(c.ink, 4);
    if (locked)
      p.drawArc(QRectF(at.x() + 4, at.y() - 11, 14, 20), 0, 180 * 16);
    else
      p.drawArc(QRectF(at.x() + 12, at.y() - 13, 14, 20), 0, 180 * 16);
    if (locked) {
      line(at.x() + 4, at.y() - 1, at.x() + 4, at.y() + 1);
      line(at.x() + 18, at.y() - 1, at.x() + 18, at.y() + 1);
    } else {
      line(at.x() + 26, at.y() - 3, at.x() + 26, at.y() - 1);
    }
    outlined(locked ? c.accent : c.paper, c.ink, 3);
    p.drawRoundedRect(body, 3, 3);
    fill(locked ? c.paper : c.ink);
    p.drawEllipse(QPointF(body.center().x(), body.center().y()), 2.5, 2.5);
  }
  void magnifier(QPointF centre, double radius, bool plus) const {
    stroke(c.ink, 6);
    line(centre.x() + radius * 0.7, centre.y() + radius * 0.7, centre.x() + radius * 1.7,
         centre.y() + radius * 1.7);
    outlined(c.paper, c.ink, 4.5);
    p.drawEllipse(centre, radius, radius);
    if (plus) {
      stroke(c.accent, 4.5);
      line(centre.x() - radius * 0.5, centre.y(), centre.x() + radius * 0.5, centre.y());
      line(centre.x(), centre.y() - radius * 0.5, centre.x(), centre.y() + radius * 0.5);
    }
  }
  void grid(QRectF r, int rows, int cols, int litRows, int litCols) const {
    const double gap = 3;
    const double w = (r.width() - gap * (cols - 1)) / cols;
    const double h = (r.height() - gap * (rows - 1)) / rows;
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) {
        const bool lit = i < litRows && j < litCols;
        outlined(lit ? c.accent : c.paper, c.ink, 3);
        p.drawRoundedRect(QRectF(r.left() + j * (w + gap), r.top() + i * (h + gap), w, h), 2, 2);
      }
  }
};

// A tilted eraser centred at c, scale 1 being 44 x 22.
void Eraser(const Ctx& x, QPointF c, double scale) {
  x.p.save();
  x.p.translate(c);
  x.p.rotate(-40);
  x.p.scale(scale, scale);
  x.outlined(x.c.paper, x.c.ink, 3.5 / scale);
  x.p.drawRoundedRect(QRectF(-22, -11, 44, 22), 3, 3);
  x.fill(x.c.warn);
  x.p.drawRoundedRect(QRectF(-20, -9, 16, 18), 2, 2);
  x.p.restore();
}

using Painter = std::function<void(const Ctx&)>;

const std::map<QString, Painter>& Glyphs() {
  static const std::map<QString, Painter> glyphs = {
      // ---- Manage ----
      {"open-image",
       [](const Ctx& x) {
         QPainterPath page;
         page.moveTo(12, 6);
         page.lineTo(40, 6);
         page.lineTo(52, 18);
         page.lineTo(52, 58);
         page.lineTo(12, 58);
         page.closeSubpath();
         x.outlined(x.c.paper, x.c.ink);
         x.p.drawPath(page);
         x.stroke(x.c.ink, 3.5);
         x.p.drawPolyline(QPolygonF{{40, 6}, {40, 18}, {52, 18}});
         // A small picture: hills and a sun.
         x.fill(x.c.accent);
         x.p.drawPolygon(QPolygonF{{17, 52}, {28, 34}, {35, 44}, {40, 38}, {47, 52}});
         x.p.drawEllipse(QPointF(23, 25), 4.5, 4.5);
       }},
      {"copy",
       [](const Ctx& x) {
         // Two overlapping sheets, the front one holding a picture.
         x.outlined(x.c.paper, x.c.ink, 3.5);
         x.p.drawRect(QRectF(6, 6, 32, 38));
         x.p.drawRect(QRectF(24, 20, 34, 38));
         x.fill(x.c.accent);
         x.p.drawPolygon(QPolygonF{{29, 52}, {38, 38}, {44, 46}, {48, 41}, {54, 52}});
       }},
      {"export-png",
       [](const Ctx& x) {
         // A picture with an arrow leaving it.
         x.outlined(x.c.paper, x.c.ink, 3.5);
         x.p.drawRect(QRectF(6, 14, 36, 40));
         x.fill(x.c.accent);
         x.p.drawPolygon(QPolygonF{{10, 50}, {20, 34}, {27, 43}, {32, 37}, {38, 50}});
         x.arrow(QPointF(30, 24), QPointF(58, 8), x.c.warn, 14);
       }},
      {"open-folder",
       [](const Ctx& x) {
         QPainterPath back;
         back.moveTo(5, 14);
         back.lineTo(24, 14);
         back.lineTo(29, 20);
         back.lineTo(55, 20);
         back.lineTo(55, 54);
         back.lineTo(5, 54);
         back.closeSubpath();
         x.outlined(x.c.paper, x.c.ink);
         x.p.drawPath(back);
         QPainterPath front;
         front.moveTo(5, 54);
         front.lineTo(14, 29);
         front.lineTo(62, 29);
         front.lineTo(55, 54);
         front.closeSubpath();
         x.outlined(x.c.accent, x.c.ink);
         x.p.drawPath(front);
       }},
      {"open-cd",
       [](const Ctx& x) {
         QRadialGradient g(QPointF(32, 32), 27);
         g.setColorAt(0.2, x.c.paper);
         g.setColorAt(0.7, x.c.accent.lighter(150));
         g.setColorAt(1.0, x.c.accent);
         x.p.setPen(x.pen(x.c.ink));
         x.p.setBrush(g);
         x.p.drawEllipse(QPointF(32, 32), 26, 26);
         x.outlined(x.c.paper, x.c.ink, 3);
         x.p.drawEllipse(QPointF(32, 32), 8, 8);
         x.stroke(x.c.paper, 3);
         x.p.drawArc(QRectF(14, 14, 36, 36), 100 * 16, 60 * 16);
         // "DIR" marks the DICOMDIR on the disc.
         x.stroke(x.c.ink, 3);
         x.p.drawArc(QRectF(18, 18, 28, 28), 280 * 16, 60 * 16);
       }},
      {"pacs",
       [](const Ctx& x) {
         // Two servers of the archive, and an arrow down into the viewer.
         for (double y : {6.0, 22.0}) {
           x.outlined(x.c.paper, x.c.ink);
           x.p.drawRoundedRect(QRectF(6, y, 34, 13), 2, 2);
           x.fill(x.c.accent);
           x.p.drawEllipse(QPointF(33, y + 6.5), 2.5, 2.5);
         }
         x.arrow(QPointF(48, 8), QPointF(48, 58), x.c.accent, 14);
         x.stroke(x.c.ink, 3.5);
         x.line(6, 56, 38, 56);
       }},
      {"save-jpeg",
       [](const Ctx& x) {
         x.outlined(x.c.paper, x.c.ink);
         x.p.drawRoundedRect(QRectF(6, 22, 40, 34), 3, 3);
         x.fill(x.c.accent);
         x.p.drawPolygon(QPolygonF{{10, 52}, {20, 36}, {27, 45}, {32, 39}, {42, 52}});
         // Arrow out of the picture: the export.
         x.arrow(QPointF(40, 30), QPointF(58, 8), x.c.accent, 14);
       }},
      {"split-screen", [](const Ctx& x) { x.grid(QRectF(6, 6, 52, 52), 3, 3, 2, 3); }},
      {"layout-2x2", [](const Ctx& x) { x.grid(QRectF(8, 8, 48, 48), 2, 2, 2, 2); }},
      {"layout-1x2", [](const Ctx& x) { x.grid(QRectF(8, 14, 48, 36), 1, 2, 1, 2); }},
      {"layout-1x1", [](const Ctx& x) { x.grid(QRectF(12, 12, 40, 40), 1, 1, 1, 1); }},
      // Current and prior side by side: the column lit is the one laid out.
      {"hanging", [](const Ctx& x) { x.grid(QRectF(8, 8, 48, 48), 2, 2, 2, 1); }},
      {"compare-prior",
       [](const Ctx& x) {
         // Two studies side by side, the older one dimmed, and the link between them.
         x.outlined(x.c.paper, x.c.ink);
         x.p.drawRoundedRect(QRectF(4, 14, 24, 36), 2, 2);
         x.outlined(x.c.accent, x.c.ink);
         x.p.drawRoundedRect(QRectF(36, 14, 24, 36), 2, 2);
         x.stroke(x.c.ink, 3.5);
         x.line(22, 58, 42, 58);
         x.line(22, 6, 42, 6);
       }},
      {"window-presets",
       [](const Ctx& x) {
         // A grey ramp and three marks on it: windows one keeps.
         QLinearGradient ramp(6, 0, 58, 0);
         ramp.setColorAt(0, Qt::black);
         ramp.setColorAt(1, Qt::white);
         x.p.setPen(QPen(x.c.ink, 3));
         x.p.setBrush(ramp);
         x.p.drawRect(QRectF(6, 22, 52, 20));
         x.fill(x.c.accent);
         for (double px : {16.0, 32.0, 48.0})
           x.p.drawPolygon(QPolygonF{{px - 5, 10}, {px + 5, 10}, {px, 20}});
       }},
      {"process-all",
       [](const Ctx& x) {
         // Every cell lit, each with its tick: commands act on all selected cells.
         x.grid(QRectF(6, 6, 52, 52), 2, 2, 2, 2);
         x.stroke(x.c.paper, 3.5);
         for (double ox : {6.0, 33.5})
           for (double oy : {6.0, 33.5})
             x.p.drawPolyline(QPolygonF{{ox + 6, oy + 13}, {ox + 11, oy + 18}, {ox + 19, oy + 7}});
       }},
      {"process-single",
       [](const Ctx& x) {
         x.grid(QRectF(6, 6, 52, 52), 2, 2, 1, 1);
         x.stroke(x.c.paper, 3.5);
         x.p.drawPolyline(QPolygonF{{12, 19}, {17, 24}, {25, 13}});
       }},
      {"clear-study",
       [](const Ctx& x) {
         x.outlined(x.c.paper, x.c.ink);
         x.p.drawPolygon(QPolygonF{{15, 18}, {49, 18}, {45, 58}, {19, 58}});
         x.stroke(x.c.ink);
         x.line(9, 16, 55, 16);
         x.p.drawPolyline(QPolygonF{{25, 15}, {27, 8}, {37, 8}, {39, 15}});
         x.stroke(x.c.warn, 4);
         x.line(26, 27, 27, 50);
         x.line(32, 27, 32, 50);
         x.line(38, 27, 37, 50);
       }},
      {"info",
       [](const Ctx& x) {
         x.outlined(x.c.accent, x.c.ink);
         x.p.drawEllipse(QPointF(32, 32), 26, 26);
         x.fill(x.c.paper);
         x.p.drawEllipse(QPointF(32, 19), 4.5, 4.5);
         x.p.drawRoundedRect(QRectF(27.5, 27, 9, 22), 2, 2);
       }},
      {"tags",  // a listing: tag boxes beside their value lines
       [](const Ctx& x) {
         x.outlined(x.c.paper, x.c.ink);
         x.p.drawRoundedRect(QRectF(8, 6, 48, 52), 4, 4);
         for (int k = 0; k < 4; ++k) {
           const double y = 16 + k * 11;
           x.fill(x.c.accent);
           x.p.drawRect(QRectF(14, y - 3, 10, 6));
           x.stroke(x.c.ink, 3);
           x.line(29, y, 49, y);
         }
       }},
      {"exit",
       [](const Ctx& x) {
         x.stroke(x.c.warn, 6);
         x.p.drawArc(QRectF(10, 12, 44, 44), 120 * 16, 300 * 16);
         x.line(32, 6, 32, 32);
       }},
      // ---- Image Processing ----
      {"flip-h",
       [](const Ctx& x) {
         x.p.setPen(QPen(x.c.ink, 3, Qt::DashLine));
         x.line(32, 4, 32, 60);
         x.outlined(x.c.accent, x.c.ink, 3.5);
         x.p.drawPolygon(QPolygonF{{27, 14}, {27, 50}, {6, 50}});
         x.outlined(x.c.paper, x.c.ink, 3.5);
         x.p.drawPolygon(QPolygonF{{37, 14}, {37, 50}, {58, 50}});
       }},
      {"flip-v",
       [](const Ctx& x) {
         x.p.setPen(QPen(x.c.ink, 3, Qt::DashLine));
         x.line(4, 32, 60, 32);
         x.outlined(x.c.accent, x.c.ink, 3.5);
         x.p.drawPolygon(QPolygonF{{14, 27}, {50, 27}, {50, 6}});
         x.outlined(x.c.paper, x.c.ink, 3.5);
         x.p.drawPolygon(QPolygonF{{14, 37}, {50, 37}, {50, 58}});
       }},
      {"invert",
       [](const Ctx& x) {
         x.fill(QColor(255, 255, 255));
         x.p.drawRect(QRectF(8, 8, 48, 48));
         x.fill(QColor(0, 0, 0));
         x.p.drawPolygon(QPolygonF{{8, 8}, {56, 8}, {8, 56}});
         // Each half shows the other's colour inside it.
         x.fill(QColor(0, 0, 0));
         x.p.drawEllipse(QPointF(42, 42), 7, 7);
         x.fill(QColor(255, 255, 255));
         x.p.drawEllipse(QPointF(22, 22), 7, 7);
         x.stroke(x.c.ink, 3.5);
         x.p.drawRect(QRectF(8, 8, 48, 48));
       }},
      {"wwwl",
       [](const Ctx& x) {
         x.ramp(QRectF(6, 24, 52, 16));
         x.arrow(QPointF(32, 19), QPointF(32, 3), x.c.accent, 11);
         x.arrow(QPointF(32, 45), QPointF(32, 61), x.c.accent, 11);
       }},
      {"pan",
       [](const Ctx& x) {
         const QPointF c(32, 32);
         x.arrow(c, QPointF(32, 4), x.c.ink, 14);
         x.arrow(c, QPointF(32, 60), x.c.ink, 14);
         x.arrow(c, QPointF(4, 32), x.c.ink, 14);
         x.arrow(c, QPointF(60, 32), x.c.ink, 14);
         x.outlined(x.c.accent, x.c.ink, 3);
         x.p.drawEllipse(c, 7, 7);
       }},
      {"reset",
       [](const Ctx& x) {
         x.outlined(x.c.paper, x.c.ink, 3);
         x.p.drawRoundedRect(QRectF(20, 20, 24, 24), 2, 2);
         x.arcArrow(QRectF(8, 8, 48, 48), 120, 270, x.c.accent);
       }},
      {"fit",
       [](const Ctx& x) {
         x.outlined(x.c.paper, x.c.ink, 3.5);
         x.p.drawRect(QRectF(20, 20, 24, 24));
         x.arrow(QPointF(24, 24), QPointF(5, 5), x.c.accent, 12);
         x.arrow(QPointF(40, 24), QPointF(59, 5), x.c.accent, 12);
         x.arrow(QPointF(24, 40), QPointF(5, 59), x.c.accent, 12);
         x.arrow(QPointF(40, 40), QPointF(59, 59), x.c.accent, 12);
       }},
      {"zoom", [](const Ctx& x) { x.magnifier(QPointF(26, 26), 17, true); }},
      {"reset-wwwl",
       [](const Ctx& x) {
         x.ramp(QRectF(4, 8, 44, 14));
         x.arcArrow(QRectF(22, 24, 34, 34), 150, 270, x.c.accent);
       }},
      {"lock-zoom-locked",
       [](const Ctx& x) {
         x.magnifier(QPointF(22, 22), 14, true);
         x.padlock(QPointF(36, 42), true);
       }},
      {"lock-zoom-unlocked",
       [](const Ctx& x) {
         x.magnifier(QPointF(22, 22), 14, true);
         x.padlock(QPointF(32, 42), false);
       }},
      {"lock-wwwl-locked",
       [](const Ctx& x) {
         x.ramp(QRectF(4, 8, 52, 16));
         x.padlock(QPointF(36, 42), true);
       }},
      {"lock-wwwl-unlocked",
       [](const Ctx& x) {
         x.ramp(QRectF(4, 8, 52, 16));
         x.padlock(QPointF(32, 42), false);
       }},
      {"sync-position",
       [](const Ctx& x) {
         // Two stacks of slices joined by a double arrow.
         x.outlined(x.c.paper, x.c.ink, 3);
         for (int i = 0; i < 3; ++i) {
           x.p.drawRect(QRectF(4 + i * 3, 8 + i * 14, 18, 10));
           x.p.drawRect(QRectF(42 - i * 3, 8 + i * 14, 18, 10));
         }
         x.arrow(QPointF(32, 30), QPointF(28, 30), x.c.accent, 10);
         x.arrow(QPointF(28, 30), QPointF(36, 30), x.c.accent, 10);
       }},
      {"link-wwwl",
       [](const Ctx& x) {
         // Two half-dark squares held by a chain link.
         for (double left : {4.0, 38.0}) {
           x.outlined(x.c.paper, x.c.ink, 3);
           x.p.drawRect(QRectF(left, 16, 22, 22));
           x.fill(x.c.ink);
           x.p.drawPolygon(QPolygonF{{left, 38}, {left + 22, 16}, {left + 22, 38}});
         }
         x.stroke(x.c.accent, 4);
         x.p.drawRoundedRect(QRectF(20, 44, 14, 10), 5, 5);
         x.p.drawRoundedRect(QRectF(30, 44, 14, 10), 5, 5);
       }},
      {"link-zoom",
       [](const Ctx& x) {
         // Two lenses held by a chain link.
         for (double cx : {16.0, 48.0}) {
           x.outlined(x.c.paper, x.c.ink, 3.5);
           x.p.drawEllipse(QPointF(cx, 24), 11, 11);
           x.stroke(x.c.ink, 4);
           x.line(cx + 8, 32, cx + 13, 38);
         }
         x.stroke(x.c.accent, 4);
         x.p.drawRoundedRect(QRectF(20, 46, 14, 10), 5, 5);
         x.p.drawRoundedRect(QRectF(30, 46, 14, 10), 5, 5);
       }},
      {"rotate",
       [](const Ctx& x) {
         x.outlined(x.c.paper, x.c.ink, 3.5);
         x.p.drawRoundedRect(QRectF(20, 24, 26, 32), 2, 2);
         x.fill(x.c.accent);
         x.p.drawRect(QRectF(20, 24, 26, 8));
         // Clockwise: the arc runs from the left over the top to the right.
         x.arcArrow(QRectF(6, 6, 52, 40), 170, -130, x.c.accent);
       }},
      {"mpr",
       [](const Ctx& x) {
         // Three panes, each crossed by the other two planes.
         x.outlined(x.c.paper, x.c.ink, 3);
         for (const QRectF r : {QRectF(4, 4, 26, 26), QRectF(34, 4, 26, 26), QRectF(4, 34, 26, 26)})
           x.p.drawRect(r);
         x.stroke(x.c.accent, 3);
         x.line(17, 6, 17, 28);
         x.line(6, 17, 28, 17);
         x.line(47, 6, 47, 28);
         x.line(36, 17, 58, 17);
         x.line(17, 36, 17, 58);
         x.line(6, 47, 28, 47);
         x.fill(x.c.accent);
         x.p.drawEllipse(QPointF(47, 47), 9, 9);
       }},
      {"volume-3d",
       [](const Ctx& x) {
         // A cube seen from above one corner, its front edge lit.
         x.outlined(x.c.paper, x.c.ink, 3.5);
         x.p.drawPolygon(
             QPolygonF{QPointF(32, 6), QPointF(56, 18), QPointF(32, 30), QPointF(8, 18)});
         x.p.drawPolygon(
             QPolygonF{QPointF(8, 18), QPointF(32, 30), QPointF(32, 58), QPointF(8, 46)});
         x.outlined(x.c.accent, x.c.ink, 3.5);
         x.p.drawPolygon(
             QPolygonF{QPointF(32, 30), QPointF(56, 18), QPointF(56, 46), QPointF(32, 58)});
       }},
      // ---- Image Annotation ----
      {"ann-delete",
       [](const Ctx& x) {
         x.p.setPen(QPen(x.c.ink, 3.5, Qt::DashLine));
         x.p.setBrush(Qt::NoBrush);
         x.p.drawRect(QRectF(6, 10, 36, 30));
         x.outlined(x.c.warn, x.c.warn, 2);
         x.p.drawEllipse(QPointF(44, 44), 15, 15);
         x.stroke(x.c.paper, 5);
         x.line(38, 38, 50, 50);
         x.line(50, 38, 38, 50);
       }},
      {"ann-clear",
       [](const Ctx& x) {
         // An eraser over a few strokes.
         x.stroke(x.c.accent, 4);
         x.line(6, 58, 58, 58);
         Eraser(x, QPointF(34, 30), 1.0);
       }},
      {"ann-clear-image",
       [](const Ctx& x) {
         // An eraser over one framed picture.
         x.outlined(x.c.paper, x.c.ink, 3.5);
         x.p.drawRect(QRectF(6, 6, 40, 34));
         x.stroke(x.c.accent, 4);
         x.line(12, 30, 24, 18);
         x.line(24, 18, 38, 30);
         Eraser(x, QPointF(42, 46), 0.73);
       }},
      {"undo",
       [](const Ctx& x) {
         // A curved arrow turning back to the left.
         QPainterPath path;
         path.moveTo(50, 52);
         path.cubicTo(60, 30, 44, 16, 22, 20);
         x.stroke(x.c.ink, 6);
         x.p.drawPath(path);
         x.head(QPointF(8, 22), 185, x.c.accent, 16);
       }},
      {"draw-text",
       [](const Ctx& x) {
         x.stroke(x.c.ink, 6);
         x.p.drawPolyline(QPolygonF{{10, 56}, {28, 8}, {46, 56}});
         x.line(17, 40, 39, 40);
         x.stroke(x.c.accent, 4);
         x.line(54, 14, 54, 56);
         x.line(49, 14, 59, 14);
         x.line(49, 56, 59, 56);
       }},
      {"draw-angle",
       [](const Ctx& x) {
         x.stroke(x.c.ink, 5);
         x.p.drawPolyline(QPolygonF{{56, 10}, {8, 54}, {58, 54}});
         x.stroke(x.c.accent, 4);
         x.p.drawArc(QRectF(-16, 30, 48, 48), 0, 42 * 16);
         x.fill(x.c.accent);
         for (QPointF pt : {QPointF(56, 10), QPointF(8, 54), QPointF(58, 54)})
           x.p.drawEllipse(pt, 4, 4);
       }},
      {"draw-ellipse",
       [](const Ctx& x) {
         x.outlined(x.c.accent.lighter(170), x.c.ink, 5);
         x.p.drawEllipse(QRectF(5, 14, 54, 36));
       }},
      {"draw-rect",
       [](const Ctx& x) {
         x.outlined(x.c.accent.lighter(170), x.c.ink, 5);
         x.p.drawRect(QRectF(8, 14, 48, 36));
       }},
      {"draw-line",
       [](const Ctx& x) {
         x.stroke(x.c.ink, 5);
         x.line(10, 54, 54, 10);
         x.outlined(x.c.accent, x.c.ink, 2.5);
         x.p.drawEllipse(QPointF(10, 54), 5.5, 5.5);
         x.p.drawEllipse(QPointF(54, 10), 5.5, 5.5);
       }},
      {"draw-measure",
       [](const Ctx& x) {
         x.p.save();
         x.p.translate(32, 32);
         x.p.rotate(-35);
         x.outlined(x.c.accent.lighter(160), x.c.ink, 3.5);
         x.p.drawRect(QRectF(-28, -9, 56, 18));
         x.stroke(x.c.ink, 3);
         for (int i = 0; i < 7; ++i) {
           const double tx = -21 + i * 7;
           x.line(tx, -9, tx, i % 2 == 0 ? 1 : -3);
         }
         x.p.restore();
       }},
      // ---- Cine Player ----
      {"prev-frame",
       [](const Ctx& x) {
         x.fill(x.c.ink);
         x.p.drawRect(QRectF(10, 12, 8, 40));
         x.fill(x.c.accent);
         x.p.drawPolygon(QPolygonF{{20, 32}, {54, 12}, {54, 52}});
       }},
      {"pause",
       [](const Ctx& x) {
         x.fill(x.c.accent);
         x.p.drawRoundedRect(QRectF(14, 10, 13, 44), 2, 2);
         x.p.drawRoundedRect(QRectF(37, 10, 13, 44), 2, 2);
       }},
      {"play",
       [](const Ctx& x) {
         x.fill(x.c.accent);
         x.p.drawPolygon(QPolygonF{{14, 8}, {56, 32}, {14, 56}});
       }},
      {"next-frame",
       [](const Ctx& x) {
         x.fill(x.c.accent);
         x.p.drawPolygon(QPolygonF{{10, 12}, {44, 32}, {10, 52}});
         x.fill(x.c.ink);
         x.p.drawRect(QRectF(46, 12, 8, 40));
       }},
      // ---- Status area, touch bar and cells ----
      {"close",
       [](const Ctx& x) {
         x.outlined(x.c.warn, x.c.warn, 2);
         x.p.drawEllipse(QPointF(32, 32), 27, 27);
         x.stroke(QColor(255, 255, 255), 7);
         x.line(21, 21, 43, 43);
         x.line(43, 21, 21, 43);
       }},
      {"cancel",
       [](const Ctx& x) {
         x.stroke(x.c.warn, 8);
         x.line(14, 14, 50, 50);
         x.line(50, 14, 14, 50);
       }},
      {"cell-selected",
       [](const Ctx& x) {
         x.outlined(x.c.accent, x.c.ink, 4);
         x.p.drawRoundedRect(QRectF(8, 8, 48, 48), 6, 6);
         x.stroke(QColor(255, 255, 255), 7);
         x.p.drawPolyline(QPolygonF{{18, 33}, {28, 43}, {46, 21}});
       }},
      {"cell-unselected",
       [](const Ctx& x) {
         x.outlined(QColor(255, 255, 255, 40), QColor(200, 200, 200), 4);
         x.p.drawRoundedRect(QRectF(8, 8, 48, 48), 6, 6);
       }},
  };
  return glyphs;
}

}  // namespace

QStringList Names() {
  QStringList names;
  for (const auto& [name, painter] : Glyphs()) names << name;
  return names;
}

QPixmap Pixmap(const QString& name, const TIconPalette& palette, int side) {
  const auto& glyphs = Glyphs();
  auto it = glyphs.find(name);
  if (it == glyphs.end() || side <= 0) return {};
  QPixmap pm(side, side);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(side / 64.0, side / 64.0);
  it->second(Ctx{p, palette});
  return pm;
}

QIcon Make(const QString& name, const TIconPalette& palette) {
  if (!Glyphs().count(name)) return {};
  QIcon icon;
  for (int side : {16, 24, 32, 48, 64}) icon.addPixmap(Pixmap(name, palette, side));
  return icon;
}

QIcon Application() {
  QIcon icon;
  const QDir dir(":/app-icon");
  for (const QString& name : dir.entryList({"*.png"}, QDir::Files))
    icon.addFile(dir.filePath(name));
  return icon;
}

QPixmap Logo(const TIconPalette& palette, QSize size) {
  QPixmap pm(size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  const double h = size.height();
  // The mark: a badge holding a 2 x 2 grid of viewer cells, one showing a slice.
  const double d = std::min(h - 16, 60.0);
  const QRectF mark(6, (h - d) / 2, d, d);
  QLinearGradient g(mark.topLeft(), mark.bottomLeft());
  g.setColorAt(0, palette.accent.lighter(135));
  g.setColorAt(1, palette.accent.darker(125));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(mark, d * 0.2, d * 0.2);
  const double gap = d * 0.07, tile = (d - 3 * gap) / 2;
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      const QRectF t(mark.left() + gap + j * (tile + gap), mark.top() + gap + i * (tile + gap),
                     tile, tile);
      p.setBrush(QColor(12, 16, 22));
      p.drawRoundedRect(t, 3, 3);
      if (i == 0 && j == 0) {
        QRadialGradient slice(t.center(), tile * 0.42);
        slice.setColorAt(0, QColor(235, 235, 235));
        slice.setColorAt(1, QColor(120, 120, 120));
        p.setBrush(slice);
        p.drawEllipse(t.center(), tile * 0.38, tile * 0.3);
      } else {
        p.setBrush(QColor(90, 96, 104));
        p.drawEllipse(t.center(), tile * 0.3, tile * 0.24);
      }
    }
  // The name.
  const double tx = mark.right() + 8;
  QFont title("DejaVu Sans");
  title.setPixelSize(int(h * 0.27));
  title.setBold(true);
  p.setFont(title);
  p.setPen(palette.ink);
  p.drawText(QRectF(tx, 0, size.width() - tx, h * 0.55), Qt::AlignLeft | Qt::AlignBottom,
             "Tavrolen");
  QFont sub("DejaVu Sans");
  sub.setPixelSize(int(h * 0.17));
  p.setFont(sub);
  p.setPen(palette.accent.darker(110));
  p.drawText(QRectF(tx + 1, h * 0.56, size.width() - tx, h * 0.3), Qt::AlignLeft | Qt::AlignTop,
             "Viewer \u00b7 Brenvo");
  return pm;
}

}  // namespace icons
