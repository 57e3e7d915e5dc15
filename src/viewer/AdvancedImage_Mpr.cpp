// The cell's side of multiplanar reformation: showing a plane of a volume
// as the cell's image, the crosshair of the other planes, dragging it, the
// wheel and the track bar moving the plane, and the slab controls.
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSignalBlocker>
#include <algorithm>
#include <cmath>

#include "pixels/FrameDecoder.h"
#include "pixels/ThdTimer.h"
#include "viewer/AdvancedImage.h"
#include "viewer/CellHelpers.h"
#include "viewer/Orientation.h"
#include "viewer/Viewer.h"

namespace {

constexpr double kGrab = 8;         // view pixels from a crosshair line that grab it
constexpr double kCentreGrab = 14;  // ... from the centre, which grabs both lines
constexpr double kGap = 12;         // the lines stop short of the centre

constexpr std::array<TPlaneKind, 3> kKinds{TPlaneKind::Axial, TPlaneKind::Coronal,
                                           TPlaneKind::Sagittal};

bool SameSpec(const TPlaneSpec& a, const TPlaneSpec& b) {
  return a.origin == b.origin && a.u == b.u && a.v == b.v && a.du == b.du && a.dv == b.dv &&
         a.columns == b.columns && a.rows == b.rows && a.slab == b.slab &&
         a.projection == b.projection;
}

double DistanceToLine(QPointF p, QPointF at, QPointF dir) {
  const QPointF d = p - at;
  return std::abs(d.x() * dir.y() - d.y() * dir.x());
}

}  // namespace

QPointF TadvancedImage::MprPixelToView(double x, double y) const {
  // Image space counts from the picture's centre, pixel edges at whole numbers.
  const double ix = x + 0.5 - gDicomData.XYZdim[0] / 2.0, iy = y + 0.5 - gDicomData.XYZdim[1] / 2.0;
  // The turn and zoom are linear: three far-apart points give them without
  // the rounding of one whole pixel.
  const QPointF o = ::ImageToView(orientation, zoomFactor, imageCenter, QPoint(0, 0));
  const QPointF ex = ::ImageToView(orientation, zoomFactor, imageCenter, QPoint(10000, 0));
  const QPointF ey = ::ImageToView(orientation, zoomFactor, imageCenter, QPoint(0, 10000));
  return o + (ex - o) * (ix / 10000) + (ey - o) * (iy / 10000);
}

bool TadvancedImage::MprViewToPixel(QPointF view, double& x, double& y) const {
  const QPointF o = MprPixelToView(0, 0), ex = MprPixelToView(1, 0), ey = MprPixelToView(0, 1);
  const QPointF a = ex - o, b = ey - o, r = view - o;
  const double det = a.x() * b.y() - a.y() * b.x();
  if (std::abs(det) < 1e-12) return false;
  x = (r.x() * b.y() - r.y() * b.x()) / det;
  y = (a.x() * r.y() - a.y() * r.x()) / det;
  return true;
}

void TadvancedImage::MprResetAxes() {
  if (!FMpr || !FMpr->link->Turned()) return;
  const std::shared_ptr<TMprLink> link = FMpr->link;
  link->ResetAxes();
  link->MoveCross(MprSnap(*link->volume, link->cross));
}

bool TadvancedImage::MprCrossInView(QPointF& at) const {
  std::lock_guard lock(FState);
  if (!FMpr || !FMpr->planeShown) return false;
  double x, y;
  MprPixelOf(FMpr->plane.spec, FMpr->link->cross, x, y);
  at = MprPixelToView(x, y);
  return true;
}

bool TadvancedImage::ShowMprPlane(std::shared_ptr<TMprLink> link, TPlaneKind kind) {
  std::lock_guard lock(FState);
  if (!link || !link->volume) return false;
  if (FMpr) LeaveMpr();
  CineTimer.reset();
  InCineMode = false;
  FMpr = std::make_unique<TMprState>();
  FMpr->link = link;
  FMpr->kind = kind;
  DeltaWW = DeltaWL = brightness = contrast = 0;
  orientation = OrientationState{};
  if (!MprRefresh()) {
    FMpr.reset();
    return false;
  }
  link->cells[size_t(kind)] = this;
  Action = VAPan;
  Shapes.clear();
  SelectedShapeIndex = -1;
  AngleSecondLine = false;
  FNewShape = false;
  Scan = TScan{};
  PatientIndex = link->patient;
  StudyIndex = link->study;
  SeriesIndex = link->series;
  ImageIndex = 0;
  CurrentOpenedPath.clear();
  MprFitZoom();
  RenderViewer();
  MprBuildBar();
  MprUpdateTrackBar();
  UpdateCineTrackBar();
  emit ImageShown(this);
  return true;
}

bool TadvancedImage::MprRefresh() {
  std::lock_guard lock(FState);
  if (!FMpr || !FMpr->link->volume) return false;
  const TVolume& vol = *FMpr->link->volume;
  const TMprPlane plane = FMpr->link->Plane(FMpr->kind, FMpr->slab, FMpr->projection);
  if (FMpr->planeShown && SameSpec(plane.spec, FMpr->plane.spec)) {
    // Only the crosshair moved in this plane.
    FMpr->plane = plane;
    RenderViewer();
    return true;
  }
  DecodedFrame f;
  try {
    SamplePlane(vol, plane.spec, f.buff16);
  } catch (...) {
    return false;
  }
  DICOMdata h = MprHeader(vol, plane, FMpr->kind);
  ApplyModalityLut(h, f.buff16);
  const bool resized = !FMpr->planeShown || plane.spec.columns != FMpr->plane.spec.columns ||
                       plane.spec.rows != FMpr->plane.spec.rows;
  if (!CommitPlane(h, f)) return false;
  // Not an image of the tree: a later load into the cell is a new image.
  LastPatientIndex = LastStudyIndex = LastSeriesIndex = LastImageIndex = -1;
  FMpr->plane = plane;
  FMpr->planeShown = true;
  HasImage = true;
  if (resized && !bmp.isNull()) MprFitZoom();
  RenderViewer();
  MprUpdateTrackBar();
  return true;
}

ImageCalibration TadvancedImage::MprCalibration() const {
  // The plane's own pixels, and the values the volume holds.
  ImageCalibration c;
  if (!FMpr || !FMpr->planeShown) return c;
  const TPlaneSpec& s = FMpr->plane.spec;
  c.pixelSpacing = {s.dv, s.du};
  const DICOMdata& h = FMpr->link->volume->header;
  c.slope = h.IntenScale;
  c.intercept = h.IntenIntercept;
  c.rescaleGiven = true;
  c.modality = h.modality;
  c.ok = true;
  return c;
}

void TadvancedImage::MprFitZoom() {
  if (bmp.isNull()) return;
  SyncSurface();
  const double z = std::min(double(img.width()) / bmp.width(), double(img.height()) / bmp.height());
  zoomFactor = std::max(1, cellhelpers::RoundEven(z * 100));
  PanX = panY = 0;
  imageCenter = viewerCenter;
}

void TadvancedImage::LeaveMpr() {
  std::lock_guard lock(FState);
  if (!FMpr) return;
  std::unique_ptr<TMprState> state = std::move(FMpr);
  if (state->link && state->link->cells[size_t(state->kind)] == this)
    state->link->cells[size_t(state->kind)] = nullptr;
  // Later: a leave may come from inside one of the bar's own signals.
  if (state->bar) {
    state->bar->hide();
    state->bar->deleteLater();
  }
}

void TadvancedImage::MprStep(int steps) {
  if (!FMpr) return;
  MprGoTo(FMpr->plane.index + steps);
}

void TadvancedImage::MprGoTo(int index) {
  if (!FMpr) return;
  const std::shared_ptr<TMprLink> link = FMpr->link;
  const int target = std::clamp(index, 0, std::max(0, FMpr->plane.count - 1));
  if (target == FMpr->plane.index && FMpr->planeShown) return;
  link->MoveCross(
      MprMoveTo(*link->volume, link->axes[size_t(FMpr->kind)], FMpr->kind, link->cross, target));
}

void TadvancedImage::SetMprSlab(double mm, TProjection projection) {
  std::lock_guard lock(FState);
  if (!FMpr) return;
  FMpr->slab = std::isfinite(mm) ? std::max(0.0, mm) : 0.0;
  FMpr->projection = projection;
  MprRefresh();
  // The other cells draw this slab's extent about their crosshair line.
  for (const QPointer<TadvancedImage>& c : FMpr->link->cells)
    if (c && c != this) c->RenderViewer();
  if (FMpr && FMpr->bar) {
    if (auto* spin = FMpr->bar->findChild<QDoubleSpinBox*>("mprSlab")) {
      const QSignalBlocker block(spin);
      spin->setValue(FMpr->slab);
    }
    if (auto* combo = FMpr->bar->findChild<QComboBox*>("mprProjection")) {
      const QSignalBlocker block(combo);
      combo->setCurrentIndex(int(projection));
    }
  }
}

void TadvancedImage::MprUpdateTrackBar() {
  TViewer* host = Host();
  if (!host || !FMpr) return;
  const QSignalBlocker block(host->TrackBar);
  host->TrackBar->setMaximum(std::max(1, FMpr->plane.count));
  host->TrackBar->setValue(FMpr->plane.index + 1);
}

void TadvancedImage::MprBuildBar() {
  TViewer* host = Host();
  if (!host || !FMpr || FMpr->bar || !host->CinePanel->layout()) return;
  auto* bar = new QWidget(host->CinePanel);
  bar->setObjectName("mprBar");
  auto* row = new QHBoxLayout(bar);
  row->setContentsMargins(6, 0, 4, 0);
  row->setSpacing(6);
  const QColor colour = MprPlaneColor(FMpr->kind);
  auto* title = new QLabel(MprPlaneTitle(FMpr->kind), bar);
  title->setStyleSheet(QStringLiteral("color: %1; font-weight: bold;").arg(colour.name()));
  row->addWidget(title);
  row->addStretch(1);
  auto* slabLabel = new QLabel(QStringLiteral("Slab"), bar);
  slabLabel->setStyleSheet(QStringLiteral("color: #dddddd;"));
  row->addWidget(slabLabel);
  auto* spin = new QDoubleSpinBox(bar);
  spin->setObjectName("mprSlab");
  spin->setRange(0, 200);
  spin->setDecimals(1);
  spin->setSingleStep(std::max(0.1, FMpr->plane.step));
  spin->setSuffix(QStringLiteral(" mm"));
  spin->setSpecialValueText(QStringLiteral("Thin"));
  spin->setFocusPolicy(Qt::ClickFocus);
  spin->setToolTip(QStringLiteral("Slab thickness"));
  spin->setValue(FMpr->slab);
  row->addWidget(spin);
  auto* combo = new QComboBox(bar);
  combo->setObjectName("mprProjection");
  combo->addItems({QStringLiteral("MIP"), QStringLiteral("MinIP"), QStringLiteral("Mean")});
  combo->setCurrentIndex(int(FMpr->projection));
  combo->setFocusPolicy(Qt::ClickFocus);
  combo->setToolTip(QStringLiteral("Slab projection"));
  row->addWidget(combo);
  const auto apply = [this, spin, combo] {
    SetMprSlab(spin->value(), TProjection(std::clamp(combo->currentIndex(), 0, 2)));
  };
  connect(spin, &QDoubleSpinBox::valueChanged, bar, apply);
  connect(combo, &QComboBox::currentIndexChanged, bar, apply);
  host->CinePanel->layout()->addWidget(bar);
  FMpr->bar = bar;
}

// ---------------------------------------------------------------- crosshair

void TadvancedImage::DrawMprCrosshair(QPainter& p) {
  if (!FMpr || !FMpr->planeShown) return;
  const TMprLink& link = *FMpr->link;
  const TMprPlane& mine = FMpr->plane;
  const TPlaneSpec& s = mine.spec;
  double cx, cy;
  MprPixelOf(s, link.cross, cx, cy);
  const QPointF centre = MprPixelToView(cx, cy);
  // The lines stay on the picture.
  const QPointF a = MprPixelToView(-0.5, -0.5), b = MprPixelToView(s.columns - 0.5, s.rows - 0.5);
  p.save();
  p.setClipRect(QRectF(a, b).normalized());
  p.setRenderHint(QPainter::Antialiasing, true);
  for (TPlaneKind other : kKinds) {
    if (other == FMpr->kind) continue;
    const TMprPlane theirs = link.Plane(other);
    // Their plane cuts ours along this direction.
    const Vec3 d = Cross(mine.normal, theirs.normal);
    const QPointF ahead =
        MprPixelToView(cx + Dot(d, s.u) / s.du * 100, cy + Dot(d, s.v) / s.dv * 100);
    QPointF dir = ahead - centre;
    const double len = std::hypot(dir.x(), dir.y());
    if (!(len > 0)) continue;
    dir /= len;
    const double far = double(img.width() + img.height()) * 4;
    QColor colour = MprPlaneColor(other);
    p.setPen(QPen(colour, 1.5));
    p.drawLine(centre - dir * far, centre - dir * kGap);
    p.drawLine(centre + dir * kGap, centre + dir * far);
    const TadvancedImage* cell = link.cells[size_t(other)];
    const double slab = cell && cell->FMpr ? cell->FMpr->slab : 0;
    if (slab > 0) {
      // The slab's extent: two faint lines either side.
      const QPointF side(-dir.y(), dir.x());
      const double half = slab / 2 / s.du * zoomFactor / 100.0;
      colour.setAlpha(110);
      p.setPen(QPen(colour, 1, Qt::DashLine));
      for (double sign : {-1.0, 1.0})
        p.drawLine(centre + side * (sign * half) - dir * far,
                   centre + side * (sign * half) + dir * far);
    }
  }
  p.restore();
  // The plane's name and place under the corner text.
  if (_showInfo) {
    p.setFont(cellhelpers::InfoFont());
    p.setPen(MprPlaneColor(FMpr->kind));
    QString text = QStringLiteral("%1  %2/%3")
                       .arg(MprPlaneTitle(FMpr->kind))
                       .arg(mine.index + 1)
                       .arg(mine.count);
    if (FMpr->slab > 0) {
      static const char* kNames[] = {"MIP", "MinIP", "Mean"};
      text += QStringLiteral("  %1 %2 mm")
                  .arg(QString::fromLatin1(kNames[int(FMpr->projection)]))
                  .arg(FMpr->slab, 0, 'f', 1);
    }
    cellhelpers::TextAt(p, 10, 42, text);
  }
}

bool TadvancedImage::MprPress(Qt::MouseButton button, Qt::KeyboardModifiers shift, int X, int Y) {
  if (!FMpr || !FMpr->planeShown || button != Qt::LeftButton) return false;
  FMpr->dragging = {false, false, false};
  const QPointF m(X, Y);
  // Shift-click puts the centre where it is clicked, whatever the tool.
  const bool jump = shift.testFlag(Qt::ShiftModifier);
  if (!jump && (Action != VAPan || SelectedShapeIndex >= 0)) return false;
  const TMprLink& link = *FMpr->link;
  const TPlaneSpec& s = FMpr->plane.spec;
  double cx, cy;
  MprPixelOf(s, link.cross, cx, cy);
  const QPointF centre = MprPixelToView(cx, cy);
  bool any = false;
  const bool atCentre = std::hypot(m.x() - centre.x(), m.y() - centre.y()) <= kCentreGrab;
  for (TPlaneKind other : kKinds) {
    if (other == FMpr->kind) continue;
    const TMprPlane theirs = link.Plane(other);
    const Vec3 d = Cross(FMpr->plane.normal, theirs.normal);
    const QPointF ahead =
        MprPixelToView(cx + Dot(d, s.u) / s.du * 100, cy + Dot(d, s.v) / s.dv * 100);
    QPointF dir = ahead - centre;
    const double len = std::hypot(dir.x(), dir.y());
    if (!(len > 0)) continue;
    dir /= len;
    if (jump || atCentre || DistanceToLine(m, centre, dir) <= kGrab) {
      FMpr->dragging[size_t(other)] = true;
      any = true;
    }
  }
  if (!any) return false;
  // Ctrl on a line (away from the centre) turns the other planes about this
  // one's normal instead.
  if (!jump && !atCentre && shift.testFlag(Qt::ControlModifier)) {
    double x, y;
    if (!MprViewToPixel(m, x, y)) return false;
    FMpr->dragging = {false, false, false};
    FMpr->rotating = true;
    FMpr->rotateAngle = std::atan2(y - cy, x - cx);
    return true;
  }
  if (jump) MprMove(Qt::LeftButton, X, Y);
  return true;
}

bool TadvancedImage::MprMove(Qt::MouseButtons buttons, int X, int Y) {
  std::lock_guard lock(FState);
  if (!FMpr || !FMpr->planeShown) return false;
  const bool dragging =
      FMpr->dragging[0] || FMpr->dragging[1] || FMpr->dragging[2] || FMpr->rotating;
  if (!dragging || !(buttons & Qt::LeftButton)) return false;
  const std::shared_ptr<TMprLink> link = FMpr->link;
  const TPlaneSpec& s = FMpr->plane.spec;
  // The view point back to the plane's pixels, then to patient space.
  double x, y;
  if (!MprViewToPixel(QPointF(X, Y), x, y)) return true;
  if (FMpr->rotating) {
    double cx, cy;
    MprPixelOf(s, link->cross, cx, cy);
    const double now = std::atan2(y - cy, x - cx);
    double turn = now - FMpr->rotateAngle;
    if (turn > M_PI) turn -= 2 * M_PI;
    if (turn < -M_PI) turn += 2 * M_PI;
    FMpr->rotateAngle = now;
    // Angles in the plane's pixels run from u towards v: about u x v.
    if (std::abs(turn) > 1e-9) link->Rotate(FMpr->kind, turn);
    return true;
  }
  const Vec3 at = s.origin + s.u * (x * s.du) + s.v * (y * s.dv);
  Vec3 cross = link->cross;
  for (TPlaneKind other : kKinds) {
    if (!FMpr->dragging[size_t(other)]) continue;
    const Vec3 n = link->Plane(other).normal;
    cross = cross + n * Dot(at - cross, n);
  }
  cross = MprSnap(*link->volume, cross);
  if (!(cross == link->cross)) link->MoveCross(cross);
  return true;
}

void TadvancedImage::MprRelease() {
  if (!FMpr) return;
  FMpr->dragging = {false, false, false};
  FMpr->rotating = false;
}
