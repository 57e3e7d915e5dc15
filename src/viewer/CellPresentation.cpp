#include "viewer/CellPresentation.h"

#include <QFont>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <algorithm>
#include <cmath>
#include <map>

#include "viewer/AdvancedImage.h"
#include "viewer/AnnotationStore.h"
#include "viewer/PresentationShapes.h"
#include "viewer/ViewerGlobals.h"

namespace {

bool RefersTo(const std::vector<TImageRef>& refs, const std::string& uid, int frame) {
  if (refs.empty()) return true;
  for (const TImageRef& r : refs)
    if (r.sopInstanceUid == uid &&
        (r.frames.empty() || std::count(r.frames.begin(), r.frames.end(), frame)))
      return true;
  return false;
}

// The entry of a lookup table for input x; inputs outside take the nearest end.
double LutAt(const TStateLut& lut, double x, bool imageSigned) {
  const int32_t first = lut.firstAmbiguous && imageSigned ? lut.first - 65536 : lut.first;
  const double i = std::clamp(std::round(x) - first, 0.0, double(lut.data.size() - 1));
  return lut.data[size_t(i)];
}

double LutTop(const TStateLut& lut) {
  return double((1u << lut.bits) - 1);
}

// The VOI functions of a window, output 0 ... 1.
double Window(const TVoiWindow& w, double x) {
  const double c = w.center, width = w.width;
  if (w.function == "SIGMOID") return 1 / (1 + std::exp(-4 * (x - c) / width));
  if (w.function == "LINEAR_EXACT") {
    if (x <= c - width / 2) return 0;
    if (x > c + width / 2) return 1;
    return (x - c) / width + 0.5;
  }
  if (width <= 1) return x > c - 0.5 ? 1 : 0;
  if (x <= c - 0.5 - (width - 1) / 2) return 0;
  if (x > c - 0.5 + (width - 1) / 2) return 1;
  return (x - (c - 0.5)) / (width - 1) + 0.5;
}

// The image's SOP Instance UID, read exactly from its file.
std::string ShownInstance(const TadvancedImage& cell, int& columns, int& rows) {
  TSourceInfo info;
  std::string why;
  const std::string& path = cell.AnnotationKey().path;
  if (path.empty() || !ReadSourceInfo(path, info, why)) return {};
  columns = info.columns;
  rows = info.rows;
  return info.sopInstanceUid;
}

// The state's window in the image's own rescaled units: the cell windows
// the image's rescale, the state may carry another.
void ToImageUnits(const TPresentationState& ps, const DICOMdata& h, double& center, double& width) {
  if (!ps.hasRescale) return;
  const double slope = h.IntenScale != 0 ? h.IntenScale : 1;
  if (ps.rescaleSlope == slope && ps.rescaleIntercept == h.IntenIntercept) return;
  center = slope * (center - ps.rescaleIntercept) / ps.rescaleSlope + h.IntenIntercept;
  width = std::abs(width * slope / ps.rescaleSlope);
}

// Zoom and pan that show the displayed area as its size mode asks.
void ShowArea(TadvancedImage& cell, const TDisplayedArea& a, int columns, int rows,
              std::vector<std::string>& notes) {
  if (a.left == 1 && a.top == 1 && a.right == columns && a.bottom == rows &&
      a.sizeMode != "TRUE SIZE" && a.sizeMode != "MAGNIFY") {
    cell.FitImage();  // the whole image: the cell's own fit
    return;
  }
  if (cell.bmp.isNull() || cell.img.isNull()) return;
  const QPoint m0 = ImageToView(cell.orientation, 100, {}, {1000, 0});
  const QPoint m1 = ImageToView(cell.orientation, 100, {}, {0, 1000});
  const bool quarter = m0.x() == 0;  // image columns run up or down the view
  double aw = std::max(1, a.right - a.left + 1), ah = std::max(1, a.bottom - a.top + 1);
  if (quarter) std::swap(aw, ah);
  const double W = std::max(1, cell.img.width() - 5), H = std::max(1, cell.img.height() - 5);
  double zoom = std::min(W / aw, H / ah) * 100;
  if (a.sizeMode == "MAGNIFY") {
    zoom = a.magnification * 100;
  } else if (a.sizeMode == "TRUE SIZE") {
    const double spacing = a.columnSpacing > 0 ? a.columnSpacing : cell.gDicomData.XYZmm[0];
    const double screenMm = 25.4 / std::max(1, cell.logicalDpiX());
    if (spacing > 0 && std::isfinite(spacing))
      zoom = spacing / screenMm * 100;
    else
      notes.push_back("true size without a pixel spacing: the area is fitted instead");
  }
  cell.zoomFactor = std::clamp(int(std::floor(zoom)), 1, 100000);
  // The area's middle in the middle of the view.
  const double cx = (a.left - 1 + a.right) / 2.0, cy = (a.top - 1 + a.bottom) / 2.0;
  const double dx = cx - columns / 2.0, dy = cy - rows / 2.0;
  const double tx = (m0.x() * dx + m1.x() * dy) / 1000, ty = (m0.y() * dx + m1.y() * dy) / 1000;
  const double z = cell.zoomFactor / 100.0;
  cell.PanX = int(std::lround(-tx * z));
  cell.panY = int(std::lround(-ty * z));
  cell.imageCenter = cell.viewerCenter + QPoint(cell.PanX, cell.panY);
  cell.RenderViewer();
}

QColor LayerColour(const TPresentationState& ps, const std::string& layer) {
  for (const TGraphicLayer& l : ps.layers)
    if (l.name == layer && l.hasColour) return QColor(l.red, l.green, l.blue);
  return gSettings().AnnotationColor;
}

}  // namespace

bool IsOwnPresentationState(const TPresentationState& ps) {
  return ps.manufacturer == TSourceInfo{}.manufacturer;
}

std::shared_ptr<const WordGreyTable> PresentationWordTable(const TPresentationState& ps,
                                                           const TVoiWindow* voi, double imageSlope,
                                                           double imageIntercept,
                                                           bool unsignedWords, bool imageSigned) {
  const bool needed = ps.hasModalityLut || ps.hasPresentationLut ||
                      (voi && (voi->hasLut || voi->function != "LINEAR"));
  if (!needed) return nullptr;
  auto table = std::make_shared<WordGreyTable>();
  const double slope = ps.hasRescale ? ps.rescaleSlope : imageSlope;
  const double intercept = ps.hasRescale ? ps.rescaleIntercept : imageIntercept;
  for (uint32_t u = 0; u < 65536; ++u) {
    const double stored = unsignedWords ? double(u) : double(int16_t(uint16_t(u)));
    const double m =
        ps.hasModalityLut ? LutAt(ps.modalityLut, stored, imageSigned) : stored * slope + intercept;
    double v;
    if (voi && voi->hasLut)
      v = LutAt(voi->lut, m, imageSigned && !ps.hasModalityLut) / LutTop(voi->lut);
    else if (voi)
      v = Window(*voi, m);
    else if (ps.hasModalityLut)
      v = m / LutTop(ps.modalityLut);
    else
      v = unsignedWords ? stored / 65535 : (stored + 32768) / 65535;
    v = std::clamp(v, 0.0, 1.0);
    if (ps.hasPresentationLut) {
      const TStateLut& p = ps.presentationLut;
      v = p.data[size_t(std::lround(v * double(p.data.size() - 1)))] / LutTop(p);
    } else if (ps.presentationShape == "INVERSE") {
      v = 1 - v;
    }
    (*table)[u] = uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255));
  }
  return table;
}

bool ApplyPresentationStateFile(TadvancedImage& cell, const std::string& path, std::string& why) {
  TPresentationState ps;
  if (!ReadPresentationState(path, ps, why)) return false;
  return ApplyPresentationState(cell, ps, path, why);
}

bool ApplyPresentationState(TadvancedImage& cell, const TPresentationState& ps,
                            const std::string& path, std::string& why) {
  if (!cell.HasImage || cell.bmp.isNull()) {
    why = path + ": no image in the cell";
    return false;
  }
  auto applied = std::make_shared<TCellPresentation>();
  TCellPresentation& a = *applied;
  a.path = path;
  a.state = ps;
  a.sopInstanceUid = ShownInstance(cell, a.columns, a.rows);
  bool named = false;
  int namedFrame = 0;  // the first frame it names of this image
  for (const TSeriesRef& s : ps.series)
    for (const TImageRef& r : s.images)
      if (r.sopInstanceUid == a.sopInstanceUid) {
        named = named || RefersTo({r}, a.sopInstanceUid, cell.CurrentFrame);
        for (int32_t f : r.frames)
          if (f >= 1 && f <= cell.frameCount && (namedFrame == 0 || f < namedFrame)) namedFrame = f;
      }
  // A state for other frames of this image: the user asked for it, so show
  // its first frame.
  if (!named && namedFrame > 0) {
    cell.PauseCine();
    named = cell.LoadFile(cell.AnnotationKey().path, namedFrame);
  }
  if (a.sopInstanceUid.empty() || !named) {
    why = path + ": the presentation state is for other images than the one shown";
    return false;
  }
  const int frame = cell.CurrentFrame;
  std::vector<std::string> notes;
  const DICOMdata& h = cell.gDicomData;
  const bool colourImage = h.Pixel.samplesPerPixel > 1 || h.Pixel.photometric == "PALETTE COLOR";

  // Annotations: the viewer's own become its editable shapes again.
  const bool own = IsOwnPresentationState(ps);
  std::vector<TImageRef> all;
  for (const TSeriesRef& s : ps.series) all.insert(all.end(), s.images.begin(), s.images.end());
  std::map<int, TShapeArray> shapesOfFrame;
  for (const TGraphicAnnotation& ann : ps.annotations) {
    const std::vector<TImageRef>& refs = ann.images.empty() ? all : ann.images;
    bool here = false;
    for (const TImageRef& r : refs) here = here || r.sopInstanceUid == a.sopInstanceUid;
    if (!here) continue;
    if (!own) {
      a.drawn.push_back(ann);
      continue;
    }
    const TShapeArray shapes = ShapesOfAnnotation(ann, a.columns, a.rows, notes);
    for (int f = 1; f <= std::max(1, cell.frameCount); ++f)
      if (RefersTo(refs, a.sopInstanceUid, f)) {
        TShapeArray& list = shapesOfFrame[f];
        list.insert(list.end(), shapes.begin(), shapes.end());
      }
  }
  for (auto& [f, list] : shapesOfFrame)
    TAnnotationStore::Instance().Put({cell.AnnotationKey().path, f}, std::move(list));

  // Grey levels: the state's tables, or its window through the cell's own.
  const TVoiWindow* voi = nullptr;
  for (const TVoiWindow& w : ps.windows)
    if (RefersTo(w.images, a.sopInstanceUid, frame)) {
      voi = &w;
      break;
    }
  if (!ps.colour && !colourImage) {
    a.wordTable = PresentationWordTable(
        ps, voi, h.IntenScale != 0 ? h.IntenScale : 1, h.IntenIntercept,
        WordsUnsigned(h.pixel_representation, h.MinIntensity), h.pixel_representation == 1);
    if (a.wordTable) {
      cell.Inverted = false;  // the table holds the state's polarity
    } else {
      if (voi) {
        double center = voi->center, width = voi->width;
        ToImageUnits(ps, h, center, width);
        cell.SetWwWl(width, center);
      }
      if (!ps.presentationShape.empty())
        cell.Inverted = (ps.presentationShape == "INVERSE") != (h.Monochrome == 1);
    }
  }

  // Overlays: the image's plane only when the state activates it (the
  // viewer's own states keep the cell's choice); a plane of the state's own
  // group replaces the image's.
  if (!own) {
    bool activated = false;
    for (const auto& [group, layer] : ps.overlayLayers) activated = activated || group == 0x6000;
    for (const TStateOverlay& o : ps.overlays) activated = activated && o.group != 0x6000;
    a.imageOverlayShown = activated;
  }

  for (const TDisplayedArea& d : ps.areas)
    if (RefersTo(d.images, a.sopInstanceUid, frame)) {
      a.hasArea = true;
      a.area = d;
      if (d.aspectVertical != d.aspectHorizontal)
        notes.push_back("a pixel aspect ratio other than 1:1 is shown as 1:1");
      break;
    }

  cell.orientation = OrientationOfTurn(ps.rotation, ps.horizontalFlip);
  cell.presentation = applied;
  cell.createBitmap();
  if (a.hasArea)
    ShowArea(cell, a.area, a.columns, a.rows, notes);
  else
    cell.RenderViewer();
  (void)notes;  // parts shown approximately; the state's reading reasons say the rest
  return true;
}

void ClearPresentationState(TadvancedImage& cell) {
  if (!cell.presentation) return;
  cell.presentation.reset();
  cell.orientation = OrientationState{};
  cell.Inverted = false;
  cell.ResetWwWL();
  cell.FitImage();
}

void PaintPresentationOnBitmap(QImage& bmp, const TCellPresentation& p) {
  if (bmp.isNull() || bmp.depth() != 32) return;
  const int W = bmp.width(), H = bmp.height();
  const TPresentationState& ps = p.state;
  const QRgb overlayColour = gSettings().OverlayColor.rgb();
  for (const TStateOverlay& o : ps.overlays) {
    if (o.layer.empty()) continue;
    for (int32_t r = 0; r < o.rows; ++r) {
      const int64_t y = int64_t(o.originRow) - 1 + r;
      if (y < 0 || y >= H) continue;
      QRgb* line = reinterpret_cast<QRgb*>(bmp.scanLine(int(y)));
      for (int32_t c = 0; c < o.columns; ++c) {
        const int64_t x = int64_t(o.originColumn) - 1 + c;
        if (x >= 0 && x < W && o.bits[size_t(r) * size_t(o.columns) + size_t(c)])
          line[x] = overlayColour;
      }
    }
  }
  const TShutter& s = ps.shutter;
  if (!s.Any()) return;
  const QRgb colour =
      s.hasColour ? qRgb(s.red, s.green, s.blue) : qRgb(s.grey >> 8, s.grey >> 8, s.grey >> 8);
  const double r2 = double(s.radius) * s.radius;
  std::vector<double> crossings;
  std::vector<uint8_t> inPolygon(size_t(W), 0);
  for (int y = 0; y < H; ++y) {
    QRgb* line = reinterpret_cast<QRgb*>(bmp.scanLine(y));
    const int row = y + 1;  // the shutters' 1-based pixel numbers
    if (s.polygonal) {
      // Even-odd by the edges crossing this row's pixel centres: one pass
      // over the edges per row, however many vertices.
      crossings.clear();
      const size_t n = s.polygon.size();
      for (size_t k = 0; k < n; ++k) {
        const TPoint2 a = s.polygon[k], b = s.polygon[(k + 1) % n];
        if ((a.y > row) != (b.y > row))
          crossings.push_back(a.x + (row - a.y) * (b.x - a.x) / (b.y - a.y));
      }
      std::sort(crossings.begin(), crossings.end());
      std::fill(inPolygon.begin(), inPolygon.end(), 0);
      for (size_t k = 0; k + 1 < crossings.size(); k += 2) {
        const double from = std::max(1.0, std::ceil(crossings[k]));
        const double to = std::min(double(W), std::floor(crossings[k + 1]));
        for (int c = int(from); c <= int(to); ++c) inPolygon[size_t(c - 1)] = 1;
      }
    }
    for (int x = 0; x < W; ++x) {
      const int column = x + 1;
      bool covered = false;
      if (s.rectangular)
        covered = column < s.left || column > s.right || row < s.top || row > s.bottom;
      if (!covered && s.circular) {
        const double dx = column - s.centreColumn, dy = row - s.centreRow;
        covered = dx * dx + dy * dy > r2;
      }
      if (!covered && s.polygonal) covered = !inPolygon[size_t(x)];
      if (!covered && s.bitmap) {
        const int64_t bx = int64_t(column) - s.bitmapOriginColumn,
                      by = int64_t(row) - s.bitmapOriginRow;
        covered = bx >= 0 && by >= 0 && bx < s.bitmapColumns && by < s.bitmapRows &&
                  s.bitmapBits[size_t(by) * size_t(s.bitmapColumns) + size_t(bx)];
      }
      if (covered) line[x] = colour;
    }
  }
}

QTransform PixelToViewTransform(const TadvancedImage& cell, double columns, double rows) {
  // The turn about the image's middle, then the bitmap's place as the cell draws it.
  const QPoint m0 = ImageToView(cell.orientation, 100, {}, {1000, 0});
  const QPoint m1 = ImageToView(cell.orientation, 100, {}, {0, 1000});
  const int64_t Wt = std::max(1, cell.bmp.width()), Ht = std::max(1, cell.bmp.height());
  const int64_t Z = cell.zoomFactor;
  const double sx = double((Wt * Z + 99) / 100) / double(Wt);
  const double sy = double((Ht * Z + 99) / 100) / double(Ht);
  const double left = cell.imageCenter.x() - double((Wt * Z + 199) / 200);
  const double top = cell.imageCenter.y() - double((Ht * Z + 199) / 200);
  QTransform toTurned(m0.x() / 1000.0, m0.y() / 1000.0, m1.x() / 1000.0, m1.y() / 1000.0, 0, 0);
  toTurned = QTransform::fromTranslate(-columns / 2, -rows / 2) * toTurned *
             QTransform::fromTranslate(Wt / 2.0, Ht / 2.0);
  return toTurned * QTransform::fromScale(sx, sy) * QTransform::fromTranslate(left, top);
}

void DrawPresentation(const TadvancedImage& cell, QPainter& painter) {
  const TCellPresentation* p = cell.presentation.get();
  if (!p || p->drawn.empty() || cell.bmp.isNull()) return;
  const TPresentationState& ps = p->state;
  const double cols = p->columns, rows = p->rows;
  const QTransform pixelToView = PixelToViewTransform(cell, cols, rows);
  // DISPLAY units: fractions of the displayed area as it lies on the screen.
  QRectF area(0, 0, cols, rows);
  if (p->hasArea)
    area =
        QRectF(QPointF(p->area.left - 1, p->area.top - 1), QPointF(p->area.right, p->area.bottom));
  const QRectF shown = pixelToView.mapRect(area);
  const QTransform displayToView = QTransform::fromScale(shown.width(), shown.height()) *
                                   QTransform::fromTranslate(shown.left(), shown.top());
  // Points far off the view are pulled in: the rasteriser is slow or lost on
  // coordinates of 1e30, and nothing there is seen anyway.
  const double far = 1e6;
  const auto map = [&](TGraphicUnits u, TPoint2 q) {
    const QPointF v =
        (u == TGraphicUnits::Pixel ? pixelToView : displayToView).map(QPointF(q.x, q.y));
    return QPointF(std::clamp(v.x(), -far, far), std::clamp(v.y(), -far, far));
  };
  const std::string& uid = p->sopInstanceUid;
  const int frame = cell.CurrentFrame;
  std::vector<TImageRef> all;
  for (const TSeriesRef& s : ps.series) all.insert(all.end(), s.images.begin(), s.images.end());

  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  QFont font = painter.font();
  font.setPixelSize(14);
  painter.setFont(font);
  const QFontMetricsF metrics(font);
  // Lower layers first.
  std::vector<const TGraphicAnnotation*> order;
  for (const TGraphicAnnotation& ann : p->drawn) order.push_back(&ann);
  const auto layerOrder = [&ps](const std::string& name) {
    for (const TGraphicLayer& l : ps.layers)
      if (l.name == name) return l.order;
    return 0;
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](auto* x, auto* y) { return layerOrder(x->layer) < layerOrder(y->layer); });
  for (const TGraphicAnnotation* ann : order) {
    bool here = false;
    for (const TImageRef& r : ann->images.empty() ? all : ann->images)
      here = here || (r.sopInstanceUid == uid &&
                      (r.frames.empty() || std::count(r.frames.begin(), r.frames.end(), frame)));
    if (!here) continue;
    const QColor colour = LayerColour(ps, ann->layer);
    QPen pen(colour, 1.5);
    painter.setPen(pen);
    for (const TGraphicObject& g : ann->graphics) {
      painter.setBrush(g.filled ? QBrush(colour) : Qt::NoBrush);
      std::vector<QPointF> v;
      bool offView = false;
      for (const TPoint2& q : g.points) {
        v.push_back(map(g.units, q));
        offView = offView || std::abs(v.back().x()) >= far || std::abs(v.back().y()) >= far;
      }
      // A circle or ellipse that reaches that far has no part to see.
      if (offView && (g.type == TGraphicType::Circle || g.type == TGraphicType::Ellipse)) continue;
      switch (g.type) {
        case TGraphicType::Point:
          painter.drawEllipse(v[0], 2.0, 2.0);
          break;
        case TGraphicType::Circle: {
          // Through the mapping of the whole circle: DISPLAY units on a
          // wide area make it an ellipse.
          const double r = std::hypot(g.points[1].x - g.points[0].x, g.points[1].y - g.points[0].y);
          QPainterPath path;
          path.addEllipse(QPointF(g.points[0].x, g.points[0].y), r, r);
          painter.drawPath(
              (g.units == TGraphicUnits::Pixel ? pixelToView : displayToView).map(path));
          break;
        }
        case TGraphicType::Ellipse: {
          const TPoint2 a0 = g.points[0], a1 = g.points[1], b0 = g.points[2], b1 = g.points[3];
          const double major = std::hypot(a1.x - a0.x, a1.y - a0.y) / 2;
          const double minor = std::hypot(b1.x - b0.x, b1.y - b0.y) / 2;
          const double angle = std::atan2(a1.y - a0.y, a1.x - a0.x) * 180 / M_PI;
          QPainterPath path;
          path.addEllipse(QPointF(0, 0), major, minor);
          const QTransform place = QTransform().rotate(angle) *
                                   QTransform::fromTranslate((a0.x + a1.x) / 2, (a0.y + a1.y) / 2);
          painter.drawPath(
              (place * (g.units == TGraphicUnits::Pixel ? pixelToView : displayToView)).map(path));
          break;
        }
        case TGraphicType::Polyline:
        case TGraphicType::Interpolated: {
          QPainterPath path(v[0]);
          if (g.type == TGraphicType::Polyline || v.size() < 3) {
            for (size_t k = 1; k < v.size(); ++k) path.lineTo(v[k]);
          } else {
            // A Catmull-Rom curve through every point.
            for (size_t k = 0; k + 1 < v.size(); ++k) {
              const QPointF p0 = v[k ? k - 1 : 0], p1 = v[k], p2 = v[k + 1];
              const QPointF p3 = v[std::min(k + 2, v.size() - 1)];
              path.cubicTo(p1 + (p2 - p0) / 6, p2 - (p3 - p1) / 6, p2);
            }
          }
          if (g.filled) path.closeSubpath();
          painter.drawPath(path);
          break;
        }
      }
    }
    painter.setBrush(Qt::NoBrush);
    for (const TTextObject& t : ann->texts) {
      const QString text = QString::fromStdString(t.text);
      QRectF box;
      int align = Qt::AlignLeft;
      if (t.hasBox) {
        box = QRectF(map(t.boxUnits, t.boxTopLeft), map(t.boxUnits, t.boxBottomRight)).normalized();
        align = t.justification == TTextJustification::Right    ? Qt::AlignRight
                : t.justification == TTextJustification::Center ? Qt::AlignHCenter
                                                                : Qt::AlignLeft;
      } else {
        // Beside its anchor, a line of text below and to the right.
        const QPointF at = map(t.anchorUnits, t.anchor);
        const QRectF need = metrics.boundingRect(QRectF(0, 0, 400, 1000), Qt::TextWordWrap, text);
        box = QRectF(at + QPointF(8, 8), need.size());
      }
      painter.setPen(colour);
      painter.drawText(box, align | Qt::AlignTop | Qt::TextWordWrap, text);
      if (t.hasAnchor && t.anchorVisible) {
        const QPointF at = map(t.anchorUnits, t.anchor);
        const QPointF to(std::clamp(at.x(), box.left(), box.right()),
                         std::clamp(at.y(), box.top(), box.bottom()));
        painter.drawLine(at, to);
      }
    }
  }
  painter.restore();
}
