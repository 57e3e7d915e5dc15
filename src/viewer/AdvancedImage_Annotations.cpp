// The image control's mouse protocol (zoom, pan and window drags, drawing,
// hovering, moving and deleting annotations), the drop of a series from the
// thumbnail browser, and the annotation layer of the render pass.
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <algorithm>
#include <cmath>

#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "pixels/RoiStatistics.h"
#include "viewer/AdvancedImage.h"
#include "viewer/AnnText.h"
#include "viewer/CellHelpers.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

using cellhelpers::InfoFont;
using cellhelpers::kPanLimit;
using cellhelpers::SatAdd;
using cellhelpers::TextAt;

namespace {

// Annotation points stay within this many image pixels of the centre, so
// that moving one far off the image never overflows its coordinates.
constexpr int64_t kCoordLimit = 1 << 26;
// View coordinates beyond this are not handed to the painter as they are.
constexpr double kPaintLimit = 1 << 20;

int Coord(int64_t v) {
  return int(std::clamp<int64_t>(v, -kCoordLimit, kCoordLimit));
}

QPoint ClampPoint(QPoint p) {
  return {Coord(p.x()), Coord(p.y())};
}

// The annotation a drawing action starts; false for the other actions.
bool ShapeOf(ViewerAction a, ShapTypes& type) {
  switch (a) {
    case VALine:
      type = STLine;
      return true;
    case VAMeasureLine:
      type = STMeasureLine;
      return true;
    case VARectangle:
      type = STRectangle;
      return true;
    case VAEllipse:
      type = STEllipse;
      return true;
    case VATxtLabel:
      type = STTxt;
      return true;
    case VAAngle:
      type = STAngle;
      return true;
    default:
      return false;
  }
}

// Labels share the number format of the measurement units.
QString Fixed2(double v) {
  return QString::fromStdString(FormatMeasure(v));
}

// Clips segment a-b to r (Liang-Barsky); false when nothing of it is inside.
bool ClipSegment(QPointF& a, QPointF& b, const QRectF& r) {
  double t0 = 0, t1 = 1;
  const double dx = b.x() - a.x(), dy = b.y() - a.y();
  const double p[4] = {-dx, dx, -dy, dy};
  const double q[4] = {a.x() - r.left(), r.right() - a.x(), a.y() - r.top(), r.bottom() - a.y()};
  for (int i = 0; i < 4; ++i) {
    if (p[i] == 0) {
      if (q[i] < 0) return false;
      continue;
    }
    const double t = q[i] / p[i];
    if (p[i] < 0)
      t0 = std::max(t0, t);
    else
      t1 = std::min(t1, t);
    if (t0 > t1) return false;
  }
  const QPointF a0 = a;
  a = a0 + QPointF(dx, dy) * t0;
  b = a0 + QPointF(dx, dy) * t1;
  return true;
}

// Draws the part of segment a-b that lies near the surface.
void Segment(QPainter& p, const QRectF& area, QPointF a, QPointF b) {
  if (ClipSegment(a, b, area)) p.drawLine(a, b);
}

void Outline(QPainter& p, const QRectF& area, QPoint a, QPoint b) {
  const QPointF c1(a), c2(b.x(), a.y()), c3(b), c4(a.x(), b.y());
  Segment(p, area, c1, c2);
  Segment(p, area, c2, c3);
  Segment(p, area, c3, c4);
  Segment(p, area, c4, c1);
}

bool Paintable(QPoint a) {
  return std::fabs(double(a.x())) < kPaintLimit && std::fabs(double(a.y())) < kPaintLimit;
}

void EllipseIn(QPainter& p, const QRectF& area, QPoint a, QPoint b) {
  const QRectF box = QRectF(QPointF(a), QPointF(b)).normalized();
  if (Paintable(a) && Paintable(b)) {
    p.drawEllipse(box);
    return;
  }
  // A box far larger than the surface: its outline in short clipped pieces.
  constexpr int kSteps = 2048;
  const QPointF c = box.center();
  const double rx = box.width() / 2, ry = box.height() / 2;
  QPointF prev(c.x() + rx, c.y());
  for (int i = 1; i <= kSteps; ++i) {
    const double t = 2 * M_PI * i / kSteps;
    const QPointF next(c.x() + rx * std::cos(t), c.y() + ry * std::sin(t));
    Segment(p, area, prev, next);
    prev = next;
  }
}

void Label(QPainter& p, QPoint at, const QString& text) {
  if (Paintable(at)) TextAt(p, at.x(), at.y(), text);
}

}  // namespace

// ------------------------------------------------------------ measurements

bool TadvancedImage::IsNearSegment(QPoint A, QPoint B, QPoint P) {
  if (!IsInShapeBox(A, B, P)) return false;
  const float ax = float(A.x()), ay = float(A.y()), bx = float(B.x()), by = float(B.y());
  const float px = float(P.x()), py = float(P.y());
  const float dx = bx - ax, dy = by - ay;
  // The distance along the axis across the segment's run: vertical for a
  // flat segment, horizontal for a steep one, so a vertical line is hit along
  // its whole length.
  if (std::fabs(dy) <= std::fabs(dx)) {
    const float slope = dx == 0 ? 0.0f : dy / dx;
    return std::fabs(ay + (px - ax) * slope - py) < 10;
  }
  return std::fabs(ax + (py - ay) * (dx / dy) - px) < 10;
}

bool TadvancedImage::IsInShapeBox(QPoint A, QPoint B, QPoint P) {
  const float px = float(P.x()), py = float(P.y());
  const float x0 = float(std::min(A.x(), B.x())), x1 = float(std::max(A.x(), B.x()));
  const float y0 = float(std::min(A.y(), B.y())), y1 = float(std::max(A.y(), B.y()));
  return x0 - 10 <= px && px <= x1 + 10 && y0 - 10 <= py && py <= y1 + 10;
}

float TadvancedImage::PixelDistance(QPoint P, QPoint Q) {
  return float(std::hypot(double(P.x()) - Q.x(), double(P.y()) - Q.y()));
}

float TadvancedImage::PointDistance(QPointF P, QPointF Q) {
  const float dx = float(P.x()) - float(Q.x()), dy = float(P.y()) - float(Q.y());
  const float d = std::sqrt(dx * dx + dy * dy);
  return std::isfinite(d) ? d : 0.0f;
}

float TadvancedImage::AngleBetween(QPointF P1, QPointF P2, QPointF P3) {
  const double a = PointDistance(P2, P1), b = PointDistance(P2, P3), c = PointDistance(P1, P3);
  // An arm without length has no direction.
  if (!(a > 0) || !(b > 0)) return 0;
  const double cosine = std::clamp((a * a + b * b - c * c) / (2 * a * b), -1.0, 1.0);
  return float(std::acos(cosine) * 57.295779513082320877);
}

QString TadvancedImage::ShapeLabel(const Shape& s) {
  switch (s.shapeType) {
    case STMeasureLine:
      return Fixed2(s.data) + QStringLiteral(" mm");
    case STAngle:
      return Fixed2(s.data) + QChar(0x00B0);
    case STRectangle:
    case STEllipse:
      return Fixed2(s.data) + QStringLiteral(" mm") + QChar(0x00B2);
    case STTxt:
      return s.txt;
    default:
      return {};
  }
}

// ------------------------------------------------------------- annotations

void TadvancedImage::DeleteShape(int index) {
  std::lock_guard lock(FState);
  if (index < 0 || size_t(index) >= Shapes.size()) return;
  Shapes.erase(Shapes.begin() + index);
  if (SelectedShapeIndex == index)
    SelectedShapeIndex = -1;
  else if (SelectedShapeIndex > index)
    --SelectedShapeIndex;
  if (size_t(index) == Shapes.size()) FNewShape = false;  // the last one went
}

bool TadvancedImage::HitTestShapes(QPoint P) {
  std::lock_guard lock(FState);
  const int old = SelectedShapeIndex;
  SelectedShapeIndex = -1;
  const auto view = [&](int x, int y) {
    return ::ImageToView(orientation, zoomFactor, imageCenter, QPoint(x, y));
  };
  for (size_t i = 0; i < Shapes.size(); ++i) {
    const Shape& s = Shapes[i];
    const QPoint A = view(s.x1, s.y1), B = view(s.x2, s.y2);
    bool hit = IsNearSegment(A, B, P);
    if (!hit && s.shapeType == STAngle) hit = IsNearSegment(B, view(s.x3, s.y3), P);
    if (!hit && (s.shapeType == STRectangle || s.shapeType == STEllipse))
      hit = IsInShapeBox(A, B, P);
    if (hit) {
      SelectedShapeIndex = int(i);
      break;
    }
  }
  return SelectedShapeIndex != old;
}

void TadvancedImage::DrawAnnotations(QPainter& p) {
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(Qt::white, 1));
  p.setFont(InfoFont());
  if (Shapes.empty()) return;
  const QColor labelColour = gSettings().AnnotationLabelColor;
  const QColor shapeColour = gSettings().AnnotationColor;
  // Geometry is clipped a little outside the surface before it is painted.
  const QRectF area = QRectF(img.rect()).adjusted(-4, -4, 4, 4);
  const auto view = [&](int x, int y) {
    return ::ImageToView(orientation, zoomFactor, imageCenter, QPoint(x, y));
  };
  const auto label = [&](QPoint at, const QString& text) {
    p.setPen(labelColour);
    Label(p, at, text);
  };
  // Measurements and region statistics on a dark, half-transparent box, so
  // they read on bright tissue as on air. The box goes under the shape, so
  // the shape's own lines stay whole.
  const auto backdrop = [&](QPoint at, const QStringList& lines) {
    if (!Paintable(at) || lines.isEmpty()) return;
    const QFontMetrics fm = p.fontMetrics();
    int width = 0;
    for (const QString& line : lines) width = std::max(width, fm.horizontalAdvance(line));
    if (width > 0)
      p.fillRect(QRect(at.x() - 2, at.y() - 1, width + 4, int(lines.size()) * fm.height() + 2),
                 QColor(0, 0, 0, 160));
  };
  const auto labelLines = [&](QPoint at, const QStringList& lines) {
    for (int k = 0; k < lines.size(); ++k)
      label(at + QPoint(0, k * p.fontMetrics().height()), lines[k]);
  };
  if (SelectedShapeIndex >= int(Shapes.size())) SelectedShapeIndex = -1;
  for (size_t i = 0; i < Shapes.size(); ++i) {
    Shape& s = Shapes[i];
    const QPen pen(int(i) == SelectedShapeIndex ? QColor(Qt::red) : shapeColour, 1);
    const QPoint A = view(s.x1, s.y1), B = view(s.x2, s.y2);
    QStringList lines;
    QPoint at = A;
    if (s.shapeType == STMeasureLine || s.shapeType == STRectangle || s.shapeType == STEllipse)
      lines = MeasurementLines(s);
    else if (s.shapeType == STAngle)
      lines = {ShapeLabel(s)};
    if (s.shapeType == STMeasureLine || s.shapeType == STAngle) at = B;
    backdrop(at, lines);
    p.setPen(pen);
    switch (s.shapeType) {
      case STLine:
        Segment(p, area, A, B);
        break;
      case STMeasureLine:
        Segment(p, area, A, B);
        labelLines(at, lines);
        break;
      case STAngle:
        Segment(p, area, A, B);
        Segment(p, area, B, view(s.x3, s.y3));
        labelLines(at, lines);
        break;
      case STRectangle:
        Outline(p, area, A, B);
        labelLines(at, lines);
        break;
      case STEllipse:
        EllipseIn(p, area, A, B);
        labelLines(at, lines);
        break;
      case STTxt: {
        if (s.txt.isEmpty()) {
          Outline(p, area, A, B);
          break;
        }
        // Inside its box, from the box's top-left corner whichever way it was dragged.
        const QRectF box = (QRectF(QPointF(A), QPointF(B)).normalized() & area);
        if (box.isEmpty()) break;
        p.save();
        p.setClipRect(box);
        p.setPen(Qt::red);
        TextAt(p, int(box.left()), int(box.top()), s.txt);
        p.restore();
        break;
      }
    }
  }
  p.setPen(QPen(Qt::white, 1));
}

// ------------------------------------------------------------------ mouse

void TadvancedImage::ImgOnMouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                                    int Y) {
  // The main window makes this cell the active one.
  if (TViewer* host = Host()) host->CellMouseDown(Button, Shift, mapTo(host, QPoint(X, Y)));
  std::lock_guard lock(FState);
  lastX = X;
  lastY = Y;
  FPressAt = QPoint(X, Y);
  FActionAtPress = Action;
  IsMouseDown = true;
  FNewShape = false;
  if (FMpr && MprPress(Button, Shift, X, Y)) return;
  if (Button == Qt::RightButton)
    Action = VAWWWL;
  else if (Button == Qt::MiddleButton)
    Action = VAZoom;
  if (Button != Qt::LeftButton) return;
  if (SelectedShapeIndex >= int(Shapes.size())) SelectedShapeIndex = -1;
  if (Action == VADelete && SelectedShapeIndex != -1) {
    DeleteSelectedShape();
    return;
  }
  ShapTypes type = STLine;
  const bool drawing = ShapeOf(Action, type);
  if (SelectedShapeIndex < 0 && !drawing) return;
  // An annotation goes on the frame it was drawn on: a playing cine stops there.
  if (InCineMode) PauseCine();
  BeginAnnotationEdit();
  if (SelectedShapeIndex >= 0) return;  // the drag moves the annotation under the mouse
  const QPoint p = ClampPoint(ViewToImage(QPoint(X, Y)));
  Shape s;
  s.shapeType = type;
  s.x1 = s.x2 = p.x();
  s.y1 = s.y2 = p.y();
  if (type == STAngle) {
    s.x3 = p.x();
    s.y3 = p.y();
  }
  Shapes.push_back(s);
  FNewShape = true;
  StoreAnnotations();
}

void TadvancedImage::ImgOnMouseMove(Qt::MouseButtons Buttons, Qt::KeyboardModifiers Shift, int X,
                                    int Y) {
  UpdateProbe(Shift.testFlag(Qt::ShiftModifier), X, Y);
  // A shape drawn, moved or swung is written back as it goes, so another
  // cell on the same frame follows it.
  struct WriteBack {
    TadvancedImage* cell;
    ~WriteBack() {
      if (cell->FEditPending || cell->AngleSecondLine) cell->StoreAnnotations();
    }
  } writeBack{this};
  if (FMpr && MprMove(Buttons, X, Y)) return;
  // In the all-viewers mode the main window applies the drag to every selected cell.
  if (gProcessAllViewers &&
      (Action == VAZoom || Action == VAWWWL || (Action == VAPan && !AngleSecondLine))) {
    if (TViewer* host = Host()) host->CellMouseMove(Buttons, Shift, mapTo(host, QPoint(X, Y)));
    return;
  }
  std::lock_guard lock(FState);
  const bool held = Buttons != Qt::NoButton;
  if (!AngleSecondLine && !held) {
    if (HitTestShapes(QPoint(X, Y))) RenderViewer();  // the annotation under the mouse turns red
  }
  if (AngleSecondLine) {
    if (!Shapes.empty() && Shapes.back().shapeType == STAngle) {
      Shape& s = Shapes.back();
      const QPoint p = ClampPoint(ViewToImage(QPoint(X, Y)));
      s.x3 = p.x();
      s.y3 = p.y();
      s.data = AngleBetween(QPointF(s.x1, s.y1), QPointF(s.x2, s.y2), QPointF(s.x3, s.y3));
      RenderViewer();
    } else {
      AngleSecondLine = false;  // its angle is gone
    }
  }
  // A drag is a move with a button held after a press on this surface.
  if (!held || !IsMouseDown) return;

  if (SelectedShapeIndex >= int(Shapes.size())) SelectedShapeIndex = -1;
  if (SelectedShapeIndex >= 0) {
    // Whatever the action, a drag that started on an annotation moves it.
    const QPoint d = ViewToImage(QPoint(X, Y)) - ViewToImage(QPoint(lastX, lastY));
    Shape& s = Shapes[size_t(SelectedShapeIndex)];
    s.x1 = Coord(int64_t(s.x1) + d.x());
    s.y1 = Coord(int64_t(s.y1) + d.y());
    s.x2 = Coord(int64_t(s.x2) + d.x());
    s.y2 = Coord(int64_t(s.y2) + d.y());
    s.x3 = Coord(int64_t(s.x3) + d.x());
    s.y3 = Coord(int64_t(s.y3) + d.y());
    lastX = X;
    lastY = Y;
    RenderViewer();
    return;
  }

  switch (Action) {
    case VAZoom:
      // Up by one pixel: 1 % more; always about the image centre.
      zoomFactor = SatAdd(zoomFactor, int64_t(lastY) - Y, 1);
      lastX = X;
      lastY = Y;
      RenderViewer();
      break;
    case VAPan:
      PanX = SatAdd(PanX, int64_t(X) - lastX, -kPanLimit, kPanLimit);
      panY = SatAdd(panY, int64_t(Y) - lastY, -kPanLimit, kPanLimit);
      imageCenter = viewerCenter + QPoint(PanX, panY);
      lastX = X;
      lastY = Y;
      RenderViewer();
      break;
    case VAWWWL:
      WindowDrag(X, Y);
      break;
    case VALine:
    case VAMeasureLine:
    case VARectangle:
    case VAEllipse:
    case VATxtLabel:
    case VAAngle: {
      // Only the annotation this press started follows the mouse.
      if (!FNewShape || Shapes.empty()) break;
      Shape& s = Shapes.back();
      const QPoint p = ClampPoint(ViewToImage(QPoint(X, Y)));
      s.x2 = p.x();
      s.y2 = p.y();
      if (Action != VAAngle)
        s.data = PixelDistance(QPoint(s.x1, s.y1), p) * float(gDicomData.XYZmm[0]);
      RenderViewer();
      break;
    }
    case VADelete:
      break;
  }
}

void TadvancedImage::ImgOnMouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                                  int Y) {
  if (gProcessAllViewers) {
    if (TViewer* host = Host()) host->CellMouseUp(Button, Shift, mapTo(host, QPoint(X, Y)));
  }
  bool textEntry = false;
  {
    std::lock_guard lock(FState);
    IsMouseDown = false;
    if (FMpr) MprRelease();
    const bool drawn = FNewShape && !Shapes.empty();
    // The first arm of a new angle is down: the second follows the mouse
    // until the next release.
    AngleSecondLine = false;
    if (Action == VAAngle && drawn && Shapes.back().shapeType == STAngle) AngleSecondLine = true;
    textEntry = Action == VATxtLabel && drawn && Shapes.back().shapeType == STTxt;
    // A right or middle drag is a passing window or zoom drag.
    if (!inDeleteMode &&
        (Button == Qt::RightButton || Button == Qt::MiddleButton || Action == VAAngle))
      Action = VAPan;
    FNewShape = false;
  }
  QPointer<TadvancedImage> self(this);
  if (textEntry) EnterLabelText(X, Y);
  if (!self) return;
  {
    std::lock_guard lock(FState);
    EndAnnotationEdit();
  }
  gThumbnailDragInProgress = false;
  RenderViewer();  // back to the averaging stretch
  // A right click that did not drag the window asks for the cell's menu, and
  // the tool in hand before it stays.
  if (Button == Qt::RightButton && (QPoint(X, Y) - FPressAt).manhattanLength() <= 3) {
    if (!inDeleteMode) Action = FActionAtPress;
    emit MenuRequested(this, mapToGlobal(QPoint(X, Y)));
  }
}

void TadvancedImage::EnterLabelText(int X, int Y) {
  const int width = std::abs(X - lastX), height = std::abs(Y - lastY);
  // A box of at most 10 x 10 stays an empty outline.
  if (width <= 10 && height <= 10) return;
  const size_t index = Shapes.size() - 1;
  TForm3* form = TForm3::Instance(this);
  form->move(mapToGlobal(QPoint(std::min(lastX, X), std::min(lastY, Y))));
  form->resize(width, height);
  form->Edit1->clear();
  form->Edit1->setFocus();
  QPointer<TadvancedImage> self(this);
  const bool ok = form->exec() == QDialog::Accepted;
  if (!self) return;
  std::lock_guard lock(FState);
  // The list may have been emptied meanwhile (a cine moving on loads afresh).
  if (index >= Shapes.size() || Shapes[index].shapeType != STTxt) return;
  if (ok)
    Shapes[index].txt = form->Edit1->text();
  else
    DeleteShape(int(index));
}

void TadvancedImage::mousePressEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  ImgOnMouseDown(event->button(), event->modifiers(), p.x(), p.y());
}

void TadvancedImage::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  ImgOnMouseMove(event->buttons(), event->modifiers(), p.x(), p.y());
}

void TadvancedImage::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  ImgOnMouseUp(event->button(), event->modifiers(), p.x(), p.y());
}

// ------------------------------------------------------------------- drop

bool TadvancedImage::ImgOnDragOver(const QMimeData* data) const {
  return data && data->hasFormat(QString::fromLatin1(SeriesMimeType));
}

bool TadvancedImage::ImgOnDragDrop(const QMimeData* data) {
  if (!ImgOnDragOver(data)) return false;
  const QStringList parts =
      QString::fromUtf8(data->data(QString::fromLatin1(SeriesMimeType))).split(QLatin1Char(','));
  if (parts.size() != 3) return false;
  int index[3];
  for (int i = 0; i < 3; ++i) {
    bool ok = false;
    index[i] = parts[i].trimmed().toInt(&ok);
    if (!ok || index[i] < 0) return false;
  }
  {
    // Only a series that is there, with an image to show.
    std::lock_guard tree(gPatientsMutex);
    const TSeries* series = SeriesAt(gPatients, index[0], index[1], index[2]);
    if (!series || series->images.empty()) return false;
  }
  PauseCine();
  PatientIndex = index[0];
  StudyIndex = index[1];
  SeriesIndex = index[2];
  ImageIndex = 0;
  OpenCurrentImage(true);
  emit SeriesDropped(this);
  return true;
}

void TadvancedImage::dragEnterEvent(QDragEnterEvent* event) {
  if (ImgOnDragOver(event->mimeData()))
    event->acceptProposedAction();
  else
    event->ignore();
}

void TadvancedImage::dragMoveEvent(QDragMoveEvent* event) {
  if (ImgOnDragOver(event->mimeData()))
    event->acceptProposedAction();
  else
    event->ignore();
}

void TadvancedImage::dropEvent(QDropEvent* event) {
  if (ImgOnDragDrop(event->mimeData()))
    event->acceptProposedAction();
  else
    event->ignore();
}
