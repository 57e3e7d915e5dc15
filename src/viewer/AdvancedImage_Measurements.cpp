// The measurement labels of the cell's annotations (calibrated lengths and
// areas, region statistics) and the pixel probe, both from the units the
// command-line tool uses, so a label and `tavrolen-dicom roi` always agree.
#include <QPainter>
#include <cmath>

#include "dicom/Calibration.h"
#include "pixels/RoiStatistics.h"
#include "viewer/AdvancedImage.h"
#include "viewer/CellHelpers.h"
#include "viewer/CellPresentation.h"

namespace {

QString Text(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

}  // namespace

ImageCalibration TadvancedImage::CellCalibration() const {
  if (FMpr) return MprCalibration();
  if (filepath.empty()) return {};
  ImageCalibration c = CalibrationOfFile(filepath);
  // The spacing a presentation state gives is the one its reader measured with.
  if (presentation && presentation->hasArea && presentation->area.rowSpacing > 0) {
    c.pixelSpacing = {presentation->area.rowSpacing, presentation->area.columnSpacing};
    c.frameSpacing.clear();
  }
  return c;
}

QPointF TadvancedImage::ImageToPixel(QPointF p) const {
  // Image space is centred on the unturned image: the origin is the edge
  // between the middle columns (and rows), as the bitmap is drawn.
  return {p.x() + double((gDicomData.XYZdim[0] + 1) / 2),
          p.y() + double((gDicomData.XYZdim[1] + 1) / 2)};
}

QPointF TadvancedImage::ViewToPixel(QPoint view) const {
  // The turn of the orientation state, read off the mapping of the unit vectors.
  const QPoint ex = ::ImageToView(orientation, 100, QPoint(0, 0), QPoint(1, 0));
  const QPoint ey = ::ImageToView(orientation, 100, QPoint(0, 0), QPoint(0, 1));
  const double z = std::max(zoomFactor, 1);
  const double u = (view.x() - imageCenter.x()) * 100.0 / z;
  const double v = (view.y() - imageCenter.y()) * 100.0 / z;
  // Every turn is orthogonal: its inverse is its transpose.
  return ImageToPixel(QPointF(ex.x() * u + ex.y() * v, ey.x() * u + ey.y() * v));
}

QStringList TadvancedImage::MeasurementLines(Shape& s) {
  const QPointF a = ImageToPixel(QPointF(s.x1, s.y1)), b = ImageToPixel(QPointF(s.x2, s.y2));
  const ImageCalibration calibration = CellCalibration();
  const int frame = std::max(1, CurrentFrame);
  if (s.shapeType == STMeasureLine) {
    const PixelScale scale = calibration.ScaleFor(a.x(), a.y(), b.x(), b.y(), frame);
    s.data = float(ScaledLength(b.x() - a.x(), b.y() - a.y(), scale));
    return {Text(LengthLabel(b.x() - a.x(), b.y() - a.y(), scale))};
  }
  if (s.shapeType != STRectangle && s.shapeType != STEllipse) return {ShapeLabel(s)};
  const ModalityFrame m = ModalityFrameOf(gDicomData, Buffers(), calibration, frame);
  const RoiMeasurement r = MeasureRoi(
      m, calibration, s.shapeType == STRectangle ? RoiShape::Rectangle : RoiShape::Ellipse, a.x(),
      a.y(), b.x(), b.y(), frame);
  s.data = float(r.area);
  QStringList lines;
  for (const std::string& line : RoiLabelLines(r)) lines << Text(line);
  return lines;
}

void TadvancedImage::UpdateProbe(bool on, int X, int Y) {
  const bool was = FProbeOn;
  const QPoint at(X, Y);
  FProbeOn = on && HasImage;
  if (FProbeOn == was && (!on || at == FProbeAt)) return;
  FProbeAt = at;
  RenderViewer();
}

QString TadvancedImage::ProbeText() const {
  const QPointF px = ViewToPixel(FProbeAt);
  const int64_t c = int64_t(std::floor(px.x())), r = int64_t(std::floor(px.y()));
  const ImageCalibration calibration = CellCalibration();
  const ModalityFrame m =
      ModalityFrameOf(gDicomData, Buffers(), calibration, std::max(1, CurrentFrame));
  const int64_t columns = gDicomData.XYZdim[0], rows = gDicomData.XYZdim[1];
  if (c < 0 || r < 0 || c >= columns || r >= rows) return {};
  QString text = QStringLiteral("X %1  Y %2  ").arg(c).arg(r);
  if (!m.Valid()) {
    // Colour: the three samples as stored.
    const size_t i = size_t(r * columns + c) * 3;
    if (i + 2 >= Buffers().buff24.size()) return {};
    return text + QStringLiteral("R %1  G %2  B %3")
                      .arg(Buffers().buff24[i])
                      .arg(Buffers().buff24[i + 1])
                      .arg(Buffers().buff24[i + 2]);
  }
  const double stored = m.Stored(c, r), value = m.Value(c, r);
  text += QStringLiteral("stored %1").arg(stored, 0, 'g', 10);
  if (m.slope != 1 || m.intercept != 0 || m.units == "HU")
    text += QStringLiteral("  %1 %2").arg(Text(FormatMeasure(value))).arg(Text(m.units));
  return text;
}

void TadvancedImage::DrawProbe(QPainter& p) {
  if (!FProbeOn || bmp.isNull()) return;
  const QString text = ProbeText();
  if (text.isEmpty()) return;
  p.setFont(cellhelpers::InfoFont());
  const QFontMetrics fm = p.fontMetrics();
  // Beside the cursor, kept on the surface, on a dark box so it reads on any picture.
  QRect box(FProbeAt + QPoint(14, 14), QSize(fm.horizontalAdvance(text) + 8, fm.height() + 4));
  if (box.right() > img.width()) box.moveRight(FProbeAt.x() - 14);
  if (box.bottom() > img.height()) box.moveBottom(FProbeAt.y() - 14);
  p.fillRect(box, QColor(0, 0, 0, 170));
  p.setPen(Qt::yellow);
  cellhelpers::TextAt(p, box.left() + 4, box.top() + 2, text);
}

void TadvancedImage::leaveEvent(QEvent* event) {
  UpdateProbe(false, FProbeAt.x(), FProbeAt.y());
  QWidget::leaveEvent(event);
}
