#include "viewer/ReportGraphics.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <algorithm>
#include <cmath>

#include "viewer/AdvancedImage.h"
#include "viewer/CellPresentation.h"

void DrawReportGraphics(const TadvancedImage& cell, QPainter& painter) {
  const TReportGraphics* g = cell.reportGraphics.get();
  if (!g || g->shapes.empty() || cell.bmp.isNull() || cell.IsMpr()) return;
  if (cell.AnnotationKey().path != g->path) return;
  const QTransform toView =
      PixelToViewTransform(cell, cell.gDicomData.XYZdim[0], cell.gDicomData.XYZdim[1]);
  // Points far off the view are pulled in: the rasteriser is slow on huge
  // coordinates, and nothing there is seen anyway.
  const double far = 1e6;
  const auto map = [&](double x, double y) {
    const QPointF v = toView.map(QPointF(x, y));
    return QPointF(std::clamp(v.x(), -far, far), std::clamp(v.y(), -far, far));
  };
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  // A colour of its own: the report's marks are not the user's annotations.
  const QColor colour(255, 190, 0);
  QPen pen(colour, 1.5);
  pen.setCosmetic(true);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  QFont font = painter.font();
  font.setPixelSize(13);
  painter.setFont(font);
  for (const TReportShape& s : g->shapes) {
    const std::vector<double>& p = s.points;
    const size_t n = p.size() / 2;
    if (n == 0 || (!s.frames.empty() && std::find(s.frames.begin(), s.frames.end(),
                                                  cell.CurrentFrame) == s.frames.end()))
      continue;
    if (s.graphicType == "POINT" || s.graphicType == "MULTIPOINT") {
      for (size_t k = 0; k < n; ++k) {
        const QPointF v = map(p[2 * k], p[2 * k + 1]);
        painter.drawLine(v + QPointF(-5, 0), v + QPointF(5, 0));
        painter.drawLine(v + QPointF(0, -5), v + QPointF(0, 5));
      }
    } else if (s.graphicType == "CIRCLE" && n >= 2) {
      const double r = std::hypot(p[2] - p[0], p[3] - p[1]);
      QPainterPath path;
      path.addEllipse(QPointF(p[0], p[1]), r, r);
      painter.drawPath(toView.map(path));
    } else if (s.graphicType == "ELLIPSE" && n >= 4) {
      // The major axis's two ends, then the minor axis's.
      const double major = std::hypot(p[2] - p[0], p[3] - p[1]) / 2;
      const double minor = std::hypot(p[6] - p[4], p[7] - p[5]) / 2;
      const double angle = std::atan2(p[3] - p[1], p[2] - p[0]) * 180 / M_PI;
      QPainterPath path;
      path.addEllipse(QPointF(0, 0), major, minor);
      const QTransform place = QTransform().rotate(angle) *
                               QTransform::fromTranslate((p[0] + p[2]) / 2, (p[1] + p[3]) / 2);
      painter.drawPath((place * toView).map(path));
    } else {  // POLYLINE, and what reads as one
      QPainterPath path(map(p[0], p[1]));
      for (size_t k = 1; k < n; ++k) path.lineTo(map(p[2 * k], p[2 * k + 1]));
      painter.drawPath(path);
    }
    if (!s.label.isEmpty()) {
      const QPointF at = map(p[0], p[1]) + QPointF(8, -8);
      painter.drawText(at, s.label);
    }
  }
  painter.restore();
}
