#include "viewer/PresentationShapes.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "dicom/Calibration.h"
#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"
#include "pixels/RoiStatistics.h"
#include "viewer/AdvancedImage.h"
#include "viewer/AnnotationStore.h"

namespace {

QString Text(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

bool Near(TPoint2 a, TPoint2 b) {
  return std::abs(a.x - b.x) < 0.5 && std::abs(a.y - b.y) < 0.5;
}

// Where a shape's measurement label is anchored: a point of the shape itself.
TPoint2 LabelAnchor(const TGraphicObject& g, ShapTypes type) {
  if ((type == STMeasureLine || type == STAngle) && g.points.size() > 1) return g.points[1];
  return g.points.front();
}

}  // namespace

TPoint2 ShapeToPixel(double x, double y, int columns, int rows) {
  return {x + double((columns + 1) / 2), y + double((rows + 1) / 2)};
}

QPoint PixelToShape(TPoint2 p, int columns, int rows) {
  const auto clampInt = [](double v) { return int(std::lround(std::clamp(v, -1.0e6, 1.0e6))); };
  return {clampInt(p.x - double((columns + 1) / 2)), clampInt(p.y - double((rows + 1) / 2))};
}

OrientationState OrientationOfTurn(int rotation, bool horizontalFlip) {
  OrientationState s;
  if (horizontalFlip) FlipOrientation(s, flHorizontal);
  for (int k = 0; k < ((rotation / 90) % 4 + 4) % 4; ++k) RotateOrientation(s, Angel90);
  return s;
}

void TurnOfOrientation(const OrientationState& s, int& rotation, bool& horizontalFlip) {
  for (const bool flip : {false, true})
    for (int r = 0; r < 360; r += 90)
      if (OrientationOfTurn(r, flip) == s) {
        rotation = r;
        horizontalFlip = flip;
        return;
      }
  rotation = 0;
  horizontalFlip = false;
}

std::vector<QStringList> MeasureShapes(const std::string& path, int frame, TShapeArray& shapes) {
  std::vector<QStringList> labels(shapes.size());
  DICOMdata header;
  bool hdrOK = false, imgOK = false;
  try {
    ReadDicomHeader(path, true, header, hdrOK, imgOK, [](const std::string&) {});
  } catch (const std::exception&) {
    imgOK = false;
  }
  const int columns = header.XYZdim[0], rows = header.XYZdim[1];
  const ImageCalibration calibration = CalibrationOfFile(path);
  std::optional<ModalityFrame> modality;
  DecodedFrame pixels;
  for (size_t i = 0; i < shapes.size(); ++i) {
    Shape& s = shapes[i];
    const TPoint2 a = ShapeToPixel(s.x1, s.y1, columns, rows);
    const TPoint2 b = ShapeToPixel(s.x2, s.y2, columns, rows);
    if (s.shapeType == STMeasureLine && imgOK) {
      const PixelScale scale = calibration.ScaleFor(a.x, a.y, b.x, b.y, frame);
      s.data = float(ScaledLength(b.x - a.x, b.y - a.y, scale));
      labels[i] = {Text(LengthLabel(b.x - a.x, b.y - a.y, scale))};
    } else if (s.shapeType == STAngle) {
      s.data = TadvancedImage::AngleBetween(QPointF(s.x1, s.y1), QPointF(s.x2, s.y2),
                                            QPointF(s.x3, s.y3));
      labels[i] = {TadvancedImage::ShapeLabel(s)};
    } else if ((s.shapeType == STRectangle || s.shapeType == STEllipse) && imgOK) {
      if (!modality) {
        header.referenceFile = path;
        std::string why;
        bool decoded = false;
        try {
          decoded = DecodeFrame(path, header, header.gECATJPEG_pos_table,
                                header.gECATJPEG_size_table, frame, pixels, &why);
        } catch (const std::exception&) {
          decoded = false;
        }
        if (decoded) ApplyModalityLut(header, pixels.buff16);
        modality = decoded ? ModalityFrameOf(header, pixels, calibration, frame) : ModalityFrame{};
      }
      const RoiMeasurement r =
          MeasureRoi(*modality, calibration,
                     s.shapeType == STRectangle ? RoiShape::Rectangle : RoiShape::Ellipse, a.x, a.y,
                     b.x, b.y, frame);
      s.data = float(r.area);
      for (const std::string& line : RoiLabelLines(r)) labels[i] << Text(line);
    }
  }
  return labels;
}

TGraphicAnnotation AnnotationOfShapes(const TShapeArray& shapes,
                                      const std::vector<QStringList>& labels, int columns, int rows,
                                      const TImageRef& image) {
  TGraphicAnnotation ann;
  ann.layer = "ANNOTATIONS";
  ann.images = {image};
  const auto px = [&](int x, int y) { return ShapeToPixel(x, y, columns, rows); };
  for (size_t i = 0; i < shapes.size(); ++i) {
    const Shape& s = shapes[i];
    const TPoint2 a = px(s.x1, s.y1), b = px(s.x2, s.y2);
    TGraphicObject g;
    switch (s.shapeType) {
      case STLine:
      case STMeasureLine:
        g.points = {a, b};
        break;
      case STAngle:
        g.points = {a, b, px(s.x3, s.y3)};
        break;
      case STRectangle:
        g.points = {a, {b.x, a.y}, b, {a.x, b.y}, a};
        break;
      case STEllipse: {
        g.type = TGraphicType::Ellipse;
        const double cx = (a.x + b.x) / 2, cy = (a.y + b.y) / 2;
        const double rx = std::abs(b.x - a.x) / 2, ry = std::abs(b.y - a.y) / 2;
        if (rx >= ry)
          g.points = {{cx - rx, cy}, {cx + rx, cy}, {cx, cy - ry}, {cx, cy + ry}};
        else
          g.points = {{cx, cy - ry}, {cx, cy + ry}, {cx - rx, cy}, {cx + rx, cy}};
        break;
      }
      case STTxt: {
        TTextObject t;
        t.text = s.txt.toStdString();
        t.hasBox = true;
        t.boxTopLeft = {std::min(a.x, b.x), std::min(a.y, b.y)};
        t.boxBottomRight = {std::max(a.x, b.x), std::max(a.y, b.y)};
        t.hasAnchor = true;
        t.anchor = t.boxTopLeft;
        if (!t.text.empty()) ann.texts.push_back(std::move(t));
        continue;
      }
    }
    const QStringList lines = i < labels.size() ? labels[i] : QStringList{};
    if (!lines.isEmpty()) {
      TTextObject t;
      t.text = lines.join('\n').toStdString();
      t.hasAnchor = true;
      t.anchor = LabelAnchor(g, s.shapeType);
      t.anchorVisible = false;
      ann.texts.push_back(std::move(t));
    }
    ann.graphics.push_back(std::move(g));
  }
  return ann;
}

TShapeArray ShapesOfAnnotation(const TGraphicAnnotation& a, int columns, int rows,
                               std::vector<std::string>& skipped) {
  TShapeArray shapes;
  // An anchored text without a box sitting on a point of a graphic is that
  // graphic's measurement label.
  const auto labelAt = [&](TPoint2 p) {
    for (const TTextObject& t : a.texts)
      if (t.hasAnchor && !t.hasBox && t.anchorUnits == TGraphicUnits::Pixel && Near(t.anchor, p))
        return true;
    return false;
  };
  const auto pt = [&](TPoint2 p) { return PixelToShape(p, columns, rows); };
  const auto line = [&](TPoint2 p, TPoint2 q, ShapTypes type) {
    Shape s;
    s.shapeType = type;
    const QPoint A = pt(p), B = pt(q);
    s.x1 = A.x(), s.y1 = A.y(), s.x2 = B.x(), s.y2 = B.y();
    shapes.push_back(s);
  };
  const auto box = [&](double x0, double y0, double x1, double y1, ShapTypes type) {
    line({x0, y0}, {x1, y1}, type);
  };
  for (const TGraphicObject& g : a.graphics) {
    if (g.units != TGraphicUnits::Pixel) {
      skipped.push_back("a graphic in display units is not drawn");
      continue;
    }
    const std::vector<TPoint2>& p = g.points;
    switch (g.type) {
      case TGraphicType::Point:
        skipped.push_back("a point graphic is not drawn");
        break;
      case TGraphicType::Circle: {
        const double r = std::hypot(p[1].x - p[0].x, p[1].y - p[0].y);
        box(p[0].x - r, p[0].y - r, p[0].x + r, p[0].y + r, STEllipse);
        break;
      }
      case TGraphicType::Ellipse: {
        // The box around it; a turned ellipse is drawn upright.
        const double cx = (p[0].x + p[1].x) / 2, cy = (p[0].y + p[1].y) / 2;
        const double ax = (p[1].x - p[0].x) / 2, ay = (p[1].y - p[0].y) / 2;
        const double bx = (p[3].x - p[2].x) / 2, by = (p[3].y - p[2].y) / 2;
        const double hx = std::hypot(ax, bx), hy = std::hypot(ay, by);
        if (std::abs(ax * ay) > 1e-6 || std::abs(bx * by) > 1e-6)
          skipped.push_back("a turned ellipse is drawn upright");
        box(cx - hx, cy - hy, cx + hx, cy + hy, STEllipse);
        break;
      }
      case TGraphicType::Polyline:
      case TGraphicType::Interpolated: {
        const bool closed = p.size() == 5 && Near(p[0], p[4]);
        const bool upright =
            closed && p[0].y == p[1].y && p[1].x == p[2].x && p[2].y == p[3].y && p[3].x == p[0].x;
        if (upright) {
          box(p[0].x, p[0].y, p[2].x, p[2].y, STRectangle);
        } else if (p.size() == 2) {
          line(p[0], p[1], labelAt(p[1]) ? STMeasureLine : STLine);
        } else if (p.size() == 3 && labelAt(p[1])) {
          line(p[0], p[1], STAngle);
          const QPoint C = pt(p[2]);
          shapes.back().x3 = C.x(), shapes.back().y3 = C.y();
        } else {
          for (size_t k = 0; k + 1 < p.size() && shapes.size() < 100000; ++k)
            line(p[k], p[k + 1], STLine);
        }
        break;
      }
    }
  }
  for (const TTextObject& t : a.texts) {
    if (t.text.empty()) continue;
    Shape s;
    s.shapeType = STTxt;
    s.txt = QString::fromStdString(t.text);
    if (t.hasBox && t.boxUnits == TGraphicUnits::Pixel) {
      const QPoint A = pt(t.boxTopLeft), B = pt(t.boxBottomRight);
      s.x1 = A.x(), s.y1 = A.y(), s.x2 = B.x(), s.y2 = B.y();
    } else if (t.hasAnchor && t.anchorUnits == TGraphicUnits::Pixel) {
      bool label = false;
      for (const TGraphicObject& g : a.graphics)
        for (const TPoint2& q : g.points)
          label = label || (g.units == TGraphicUnits::Pixel && Near(q, t.anchor));
      if (label) continue;  // the cell measures again
      // A box a line of the text tall beside its anchor.
      const QPoint A = pt(t.anchor);
      s.x1 = A.x(), s.y1 = A.y();
      s.x2 = A.x() + 8 * int(std::min<size_t>(s.txt.size(), 200)), s.y2 = A.y() + 16;
    } else {
      skipped.push_back("a text in display units is not drawn");
      continue;
    }
    shapes.push_back(s);
  }
  return shapes;
}

bool BuildSeriesState(const std::string& seriesUid, const std::vector<TStateImage>& images,
                      std::optional<std::pair<double, double>> centerWidth, bool colour,
                      TPresentationState& ps, std::string& why) {
  ps = TPresentationState{};
  ps.colour = colour;
  ps.description = "Annotations and measurements";
  TSeriesRef series;
  series.seriesInstanceUid = seriesUid;
  const TAnnotationStore& store = TAnnotationStore::Instance();
  for (const TStateImage& im : images) {
    if (im.sopInstanceUid.empty() || im.sopClassUid.empty()) continue;
    series.images.push_back({im.sopClassUid, im.sopInstanceUid, {}});
    for (int f = 1; f <= std::max(1, im.frames); ++f) {
      TShapeArray shapes = store.Get({im.path, f});
      if (shapes.empty()) continue;
      DICOMdata header;
      bool hdrOK = false, imgOK = false;
      try {
        ReadDicomHeader(im.path, false, header, hdrOK, imgOK, [](const std::string&) {});
      } catch (const std::exception&) {
      }
      const std::vector<QStringList> labels = MeasureShapes(im.path, f, shapes);
      TImageRef ref{im.sopClassUid, im.sopInstanceUid, {}};
      if (im.frames > 1) ref.frames = {f};
      ps.annotations.push_back(
          AnnotationOfShapes(shapes, labels, header.XYZdim[0], header.XYZdim[1], ref));
    }
  }
  if (series.images.empty()) {
    why = "the series' images have no UIDs to refer to";
    return false;
  }
  if (ps.annotations.empty() && !centerWidth) {
    why = "the series has no annotations";
    return false;
  }
  ps.series.push_back(std::move(series));
  if (centerWidth && !colour) {
    TVoiWindow w;
    w.center = centerWidth->first;
    w.width = std::max(1.0, centerWidth->second);
    ps.windows.push_back(std::move(w));
  }
  return true;
}

bool SaveSeriesState(TPresentationState& ps, const std::string& firstImagePath,
                     const std::string& outPath, std::string& why) {
  TSourceInfo source;
  if (!ReadSourceInfo(firstImagePath, source, why)) return false;
  return WritePresentationState(ps, source, outPath, why);
}
