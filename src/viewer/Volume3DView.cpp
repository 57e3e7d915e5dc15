#include "viewer/Volume3DView.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QSlider>
#include <QToolButton>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "viewer/AdvancedImage.h"
#include "viewer/Orientation.h"
#include "viewer/Viewer.h"

namespace {

constexpr int kSettleMs = 150;          // the mouse at rest this long: the full picture
constexpr int kMaxSide = 2048;          // a picture's side, whatever the screen
constexpr double kTurnPerPixel = 0.01;  // radians
constexpr double kCropSteps = 100;
constexpr double kHandleReach = 10;  // view pixels around a crop handle that take the press

const char* const kCpuFallback = "OpenGL 3.3 is not available: drawn on the CPU (%1)";
const char* const kCpuFaster = "Drawn on the CPU, faster than OpenGL drawn in software here (%1)";
const char* const kEmptyCrop = "The crop box is empty";
const char* const kNoOpaque = "The transfer function has nothing opaque: the picture is black";

double Slope(const TVolume& v) {
  const double s = v.header.IntenScale;
  return std::isfinite(s) && s != 0 ? s : 1;
}

TVolumeCanvas* MakeCanvas(QWidget* parent, QString& fallback) {
  const QByteArray forced = qgetenv("TAVROLEN_3D_RENDERER").trimmed().toLower();
  if (forced != "cpu") {
    QString reason;
    bool software = false;
    // A software OpenGL is taken only when asked for by name.
    if (TVolumeCanvas* gl = MakeGlVolumeCanvas(parent, reason, forced == "gl", &software))
      return gl;
    fallback = QString::fromLatin1(software ? kCpuFaster : kCpuFallback)
                   .arg(reason.isEmpty() ? "unknown" : reason);
  }
  return MakeCpuVolumeCanvas(parent);
}

// Keeps a view the size of the cell it covers and removes it when the cell
// moves on to another image or is cleared.
class TCellFollower : public QObject {
 public:
  TCellFollower(TadvancedImage* cell, TVolume3DView* view) : QObject(view), FView(view) {
    cell->installEventFilter(this);
    connect(cell, &TadvancedImage::ImageShown, this, [this] { Close(); });
    connect(cell, &TadvancedImage::ViewShown, this, [this, cell] {
      if (!cell->HasImage) Close();
    });
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize && FView)
      FView->setGeometry(static_cast<QWidget*>(watched)->rect());
    return false;
  }

 private:
  void Close() {
    if (!FView) return;
    FView->hide();
    FView->deleteLater();
    FView = nullptr;
  }
  QPointer<TVolume3DView> FView;
};

}  // namespace

// The faces across an axis that runs (nearly) along the rays lie on top of
// each other and cannot be dragged: they get no handle.
bool TVolume3DView::Movable(const TCropShape& shape, int axis) {
  double longest = 0;
  for (const QPointF& v : shape.perVoxel) longest = std::max(longest, std::hypot(v.x(), v.y()));
  const QPointF v = shape.perVoxel[size_t(axis)];
  return std::hypot(v.x(), v.y()) > 0.1 * longest;
}

// ------------------------------------------------------------------ view

TVolume3DView::TVolume3DView(std::shared_ptr<const TVolume> volume, QWidget* parent)
    : QWidget(parent), FVolume(std::move(volume)) {
  setObjectName("volume3DView");
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(false);
  QString fallback;
  FCanvas = MakeCanvas(this, fallback);
  if (!fallback.isEmpty()) FOwnNotes << fallback;
  if (FVolume)
    for (const std::string& n : FVolume->notes) FOwnNotes << QString::fromStdString(n);
  FCanvas->Widget()->setGeometry(rect());
  FCanvas->Widget()->setAttribute(Qt::WA_TransparentForMouseEvents);
  FCanvas->overlay = [this](QPainter& p) { PaintOverlay(p); };

  FSettle.setSingleShot(true);
  FSettle.setInterval(kSettleMs);
  connect(&FSettle, &QTimer::timeout, this, [this] {
    FInteracting = false;
    Request(false);
  });

  // CT opens as bone. Any other volume opens as a maximum intensity
  // projection in the series' own window (else its whole range), since the
  // presets' values are Hounsfield units.
  const bool ct = FVolume && FVolume->header.modality.starts_with("CT");
  if (!ApplyPreset(ct ? "bone" : "mip")) FSettings.mode = TRenderMode::Mip;
  if (!ct && FVolume) {
    const DICOMdata& h = FVolume->header;
    TTransferFunction& tf = FSettings.tf;
    if (h.WindowWidth > 1 && std::isfinite(h.WindowWidth) && std::isfinite(h.WindowCenter)) {
      tf.windowWidth = h.WindowWidth;
      tf.windowCentre = h.WindowCenter;
    } else {
      const double a = FVolume->minValue * Slope(*FVolume) + FVolume->header.IntenIntercept,
                   b = FVolume->maxValue * Slope(*FVolume) + FVolume->header.IntenIntercept;
      tf.windowCentre = (a + b) / 2;
      tf.windowWidth = std::max(2.0, std::fabs(b - a) + 1);
    }
  }
  FPresetTf = FSettings.tf;
  FSettings.camera = StandardCamera(TStandardView::Anterior);

  BuildMenu();
  BuildBar();
  BuildCropPanel();
  FBuilt = true;
  Request(false);
}

TVolume3DView::~TVolume3DView() = default;

void TVolume3DView::SetMode(TRenderMode mode) {
  FSettings.mode = mode;
  Request(false);
}

bool TVolume3DView::ApplyPreset(const QString& name) {
  TRenderMode mode = FSettings.mode;
  TTransferFunction tf;
  if (!TransferPreset(name.toStdString(), mode, tf)) return false;
  FSettings.mode = mode;
  FSettings.tf = tf;
  FPresetTf = tf;
  FPreset = name;
  Request(false);
  return true;
}

void TVolume3DView::SetView(TStandardView view) {
  const TCamera old = FSettings.camera;
  FSettings.camera = StandardCamera(view);
  FSettings.camera.zoom = old.zoom;
  Request(false);
}

void TVolume3DView::SetCamera(const TCamera& camera) {
  FSettings.camera = camera;
  Request(false);
}

void TVolume3DView::SetCrop(const TCropBox& crop) {
  FSettings.crop = crop;
  SyncCropSliders();
  Request(false);
}

void TVolume3DView::ResetView() {
  FSettings.camera = StandardCamera(TStandardView::Anterior);
  FSettings.crop = TCropBox{};
  FSettings.tf = FPresetTf;
  SyncCropSliders();
  Request(false);
}

void TVolume3DView::AddNote(const QString& note) {
  if (!note.isEmpty() && !FOwnNotes.contains(note)) FOwnNotes << note;
  update();
}

QStringList TVolume3DView::Notes() const {
  QStringList notes = FOwnNotes;
  if (FSettings.crop.Empty()) notes << QString::fromLatin1(kEmptyCrop);
  if (FNoOpaque) notes << QString::fromLatin1(kNoOpaque);
  if (FCanvas)
    for (const QString& n : FCanvas->Notes())
      // The renderer says the same of an empty box in its own words.
      if (!notes.contains(n) &&
          !(FSettings.crop.Empty() && n.contains("crop", Qt::CaseInsensitive)))
        notes << n;
  return notes;
}

std::array<QString, 4> TVolume3DView::OrientationLetters() const {
  std::array<QString, 4> out;  // left, top, right, bottom
  const Vec3 right = FSettings.camera.right, up = FSettings.camera.up;
  DirectionLetters(right.x, right.y, right.z, out[2], out[0]);
  DirectionLetters(up.x, up.y, up.z, out[1], out[3]);
  return out;
}

double TVolume3DView::WindowStep() const {
  if (!FVolume) return 1;
  const double range =
      std::fabs(double(FVolume->maxValue) - FVolume->minValue) * std::fabs(Slope(*FVolume));
  return std::max(1.0, range / 1000);
}

double TVolume3DView::MmPerPixel() const {
  if (!FVolume || FVolume->geometry.origin.empty()) return 1;
  // One pixel of the full picture, as the rays space them.
  TRenderSettings s = FSettings;
  s.width = std::clamp(width(), 1, kMaxSide);
  s.height = std::clamp(height(), 1, kMaxSide);
  const TRayFrame f = RayFrameOf(*FVolume, s);
  const TVolumeGeometry& g = FVolume->geometry;
  const double mm = Norm(g.rowDir * (g.columnSpacing * f.dx.x) +
                         g.colDir * (g.rowSpacing * f.dx.y) + g.SliceStep() * f.dx.z);
  // The full picture is drawn scaled when the view is larger than it.
  const double scale = std::min(double(width()) / s.width, double(height()) / s.height);
  return std::isfinite(mm) && mm > 0 && scale > 0 ? mm / scale : 1;
}

void TVolume3DView::Request(bool reduced) {
  if (!FCanvas || !FBuilt) return;
  if (FVolume && FSettings.mode == TRenderMode::Vr) {
    const TVolumeGeometry& g = FVolume->geometry;
    const double step = std::min({g.columnSpacing, g.rowSpacing, g.sliceSpacing});
    FNoOpaque = !BuildTransferLut(FSettings.tf, *FVolume, step > 0 ? step : 1).anyOpaque;
  } else {
    FNoOpaque = false;
  }
  TVolumeScene scene;
  scene.volume = FVolume;
  scene.settings = FSettings;
  const int w = std::clamp(width(), 1, kMaxSide), h = std::clamp(height(), 1, kMaxSide);
  // Halved while the mouse moves: a quarter of the rays at half the samples.
  scene.settings.width = reduced ? std::max(1, w / 2) : w;
  scene.settings.height = reduced ? std::max(1, h / 2) : h;
  scene.settings.stepFactor = reduced ? 2 : 1;
  FCanvas->Show(scene);
  FLastScene = std::move(scene);
  update();
  FCanvas->Widget()->update();
  emit SceneRequested();
}

void TVolume3DView::Interact() {
  FInteracting = true;
  Request(true);
  FSettle.start();
}

// ------------------------------------------------------------------ mouse

void TVolume3DView::ViewMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                                  QPoint at) {
  FDragButton = button;
  FDragModifiers = modifiers;
  FPressAt = FLast = at;
  FDragged = false;
  FCropFace = -1;
  TCropShape shape;
  if (button == Qt::LeftButton && modifiers == Qt::NoModifier && CropShown() && CropShape(shape)) {
    double best = kHandleReach * kHandleReach;
    for (size_t f = 0; f < shape.faces.size(); ++f) {
      if (!Movable(shape, int(f) / 2)) continue;
      const QPointF d = shape.faces[f] - QPointF(at);
      const double d2 = d.x() * d.x() + d.y() * d.y();
      if (d2 <= best) {
        best = d2;
        FCropFace = int(f);
      }
    }
  }
}

void TVolume3DView::ViewMouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers, QPoint at) {
  if (FDragButton == Qt::NoButton || !(buttons & FDragButton)) return;
  const QPoint d = at - FLast;
  if (d.isNull()) return;
  if (!FDragged && (at - FPressAt).manhattanLength() <= 3 && FDragButton == Qt::RightButton)
    return;  // still a click (the menu), not a window drag
  FDragged = true;
  FLast = at;
  TCamera& c = FSettings.camera;
  switch (FDragButton) {
    case Qt::LeftButton:
      if (FCropFace >= 0) {
        MoveCropFace(d);
      } else if (FDragModifiers & (Qt::ShiftModifier | Qt::ControlModifier)) {
        // The volume follows the mouse.
        const double mm = MmPerPixel();
        c.panRight -= d.x() * mm;
        c.panUp += d.y() * mm;
      } else {
        TurnCamera(c, d.x() * kTurnPerPixel, d.y() * kTurnPerPixel);
      }
      break;
    case Qt::RightButton: {
      const double step = WindowStep();
      TTransferFunction& tf = FSettings.tf;
      if (FSettings.mode == TRenderMode::Vr) {
        tf.scale = std::clamp(tf.scale * std::exp(d.x() * 0.005), 0.01, 100.0);
        tf.shift += d.y() * step;
      } else {
        tf.windowWidth = std::max(1.0, tf.windowWidth + d.x() * step);
        tf.windowCentre += d.y() * step;
      }
      break;
    }
    case Qt::MiddleButton:
      c.zoom = std::clamp(c.zoom * std::exp(-d.y() * 0.01), 0.05, 50.0);
      break;
    default:
      return;
  }
  Interact();
}

void TVolume3DView::MoveCropFace(QPoint d) {
  TCropShape shape;
  if (!FVolume || !CropShape(shape)) return;
  const int axis = FCropFace / 2;
  const QPointF v = shape.perVoxel[size_t(axis)];
  const double v2 = v.x() * v.x() + v.y() * v.y();
  const TVolumeGeometry& g = FVolume->geometry;
  const int n = (axis == 0 ? g.columns : axis == 1 ? g.rows : g.slices) - 1;
  // A face seen edge-on, or an axis of one voxel, does not move.
  if (v2 < 1e-6 || n < 1) return;
  const double voxels = (d.x() * v.x() + d.y() * v.y()) / v2;
  double& bound = FCropFace % 2 ? FSettings.crop.hi[size_t(axis)] : FSettings.crop.lo[size_t(axis)];
  // Past the other face is allowed: the box is then empty, and says so.
  bound = std::clamp(bound + voxels / n, 0.0, 1.0);
  SyncCropSliders();
}

void TVolume3DView::ViewMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers, QPoint at) {
  if (button != FDragButton) return;
  const bool click = !FDragged;
  FDragButton = Qt::NoButton;
  if (button == Qt::RightButton && click && FMenu) FMenu->popup(mapToGlobal(at));
}

void TVolume3DView::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  // The grid makes the cell beneath the active one.
  for (QWidget* w = parentWidget(); w; w = w->parentWidget())
    if (auto* host = qobject_cast<TViewer*>(w)) {
      host->CellMouseDown(event->button(), event->modifiers(),
                          mapTo(host, event->position().toPoint()));
      break;
    }
  ViewMouseDown(event->button(), event->modifiers(), event->position().toPoint());
}

void TVolume3DView::mouseMoveEvent(QMouseEvent* event) {
  ViewMouseMove(event->buttons(), event->modifiers(), event->position().toPoint());
}

void TVolume3DView::mouseReleaseEvent(QMouseEvent* event) {
  for (QWidget* w = parentWidget(); w; w = w->parentWidget())
    if (auto* host = qobject_cast<TViewer*>(w)) {
      host->CellMouseUp(event->button(), event->modifiers(),
                        mapTo(host, event->position().toPoint()));
      break;
    }
  ViewMouseUp(event->button(), event->modifiers(), event->position().toPoint());
}

void TVolume3DView::wheelEvent(QWheelEvent* event) {
  const int notches = event->angleDelta().y();
  if (notches == 0) return;
  FSettings.camera.zoom =
      std::clamp(FSettings.camera.zoom * std::pow(1.1, notches / 120.0), 0.05, 50.0);
  event->accept();
  Interact();
}

bool TVolume3DView::UsesKey(int key, Qt::KeyboardModifiers modifiers) {
  if (modifiers & ~Qt::KeypadModifier) return false;
  return key == Qt::Key_R || key == Qt::Key_Home || (key >= Qt::Key_1 && key <= Qt::Key_6);
}

void TVolume3DView::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (!UsesKey(key, event->modifiers())) {
    QWidget::keyPressEvent(event);
    return;
  }
  if (key == Qt::Key_R || key == Qt::Key_Home) {
    ResetView();
  } else {
    static const TStandardView views[6] = {TStandardView::Anterior, TStandardView::Posterior,
                                           TStandardView::Left,     TStandardView::Right,
                                           TStandardView::Superior, TStandardView::Inferior};
    SetView(views[key - Qt::Key_1]);
  }
  event->accept();
}

void TVolume3DView::resizeEvent(QResizeEvent*) {
  FCanvas->Widget()->setGeometry(rect());
  if (CropShown()) FCropPanel->move(4, height() - FCropPanel->height() - 4);
  Request(false);
}

// ------------------------------------------------------------------ controls

void TVolume3DView::BuildMenu() {
  FMenu = new QMenu(this);
  QMenu* views = FMenu->addMenu("View");
  const TStandardView all[6] = {TStandardView::Anterior, TStandardView::Posterior,
                                TStandardView::Left,     TStandardView::Right,
                                TStandardView::Superior, TStandardView::Inferior};
  int n = 1;
  for (TStandardView v : all) {
    QString name = QString::fromLatin1(StandardViewName(v));
    if (!name.isEmpty()) name[0] = name[0].toUpper();
    // The key is the view's own (keyPressEvent), not a window shortcut that
    // would take the digit from the rest of the window.
    views->addAction(name + "\t" + QString::number(n++), this, [this, v] { SetView(v); });
  }
  QMenu* presets = FMenu->addMenu("Preset");
  for (const std::string& p : TransferPresetNames()) {
    const QString name = QString::fromStdString(p);
    presets->addAction(name, this, [this, name] { ApplyPreset(name); });
  }
  QMenu* modes = FMenu->addMenu("Mode");
  const std::pair<const char*, TRenderMode> kModes[] = {{"Volume rendering", TRenderMode::Vr},
                                                        {"MIP", TRenderMode::Mip},
                                                        {"MinIP", TRenderMode::MinIp},
                                                        {"Mean", TRenderMode::Mean}};
  for (const auto& [label, mode] : kModes) {
    const TRenderMode m = mode;
    modes->addAction(label, this, [this, m] { SetMode(m); });
  }
  FMenu->addAction("Crop box", this, [this] { ShowCrop(!CropShown()); });
  FMenu->addAction("Reset", this, [this] { ResetView(); });
  FMenu->addSeparator();
  FMenu->addAction("Close 3D", this, [this] {
    hide();
    deleteLater();
  });
}

void TVolume3DView::BuildBar() {
  FBar = new QWidget(this);
  FBar->setObjectName("volume3DBar");
  auto* row = new QHBoxLayout(FBar);
  row->setContentsMargins(2, 2, 2, 2);
  row->setSpacing(2);
  for (QAction* a : FMenu->actions()) {
    if (a->isSeparator()) continue;
    auto* b = new QToolButton(FBar);
    b->setDefaultAction(a);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    if (a->menu()) b->setPopupMode(QToolButton::InstantPopup);
    row->addWidget(b);
  }
  FBar->setStyleSheet(
      "QToolButton { color: #ddd; background: rgba(40,40,40,170); padding: 1px 4px; }");
  FBar->adjustSize();
  FBar->move(4, 4);
  FBar->raise();
}

void TVolume3DView::BuildCropPanel() {
  FCropPanel = new QWidget(this);
  FCropPanel->setObjectName("volume3DCrop");
  FCropPanel->setAutoFillBackground(true);
  auto* grid = new QGridLayout(FCropPanel);
  grid->setContentsMargins(4, 4, 4, 4);
  grid->setSpacing(2);
  const char* axes[3] = {"Columns", "Rows", "Slices"};
  for (int axis = 0; axis < 3; ++axis) {
    grid->addWidget(new QLabel(axes[axis], FCropPanel), axis, 0);
    for (int end = 0; end < 2; ++end) {
      auto* s = new QSlider(Qt::Horizontal, FCropPanel);
      s->setRange(0, int(kCropSteps));
      s->setFixedWidth(90);
      s->setFocusPolicy(Qt::NoFocus);
      FCropSliders[size_t(axis * 2 + end)] = s;
      grid->addWidget(s, axis, 1 + end);
      connect(s, &QSlider::valueChanged, this, [this, axis, end](int v) {
        double& bound =
            end == 0 ? FSettings.crop.lo[size_t(axis)] : FSettings.crop.hi[size_t(axis)];
        bound = v / kCropSteps;
        Interact();
      });
    }
  }
  SyncCropSliders();
  FCropPanel->hide();
}

bool TVolume3DView::CropShown() const {
  return FCropPanel && !FCropPanel->isHidden();
}

void TVolume3DView::ShowCrop(bool on) {
  if (!FCropPanel) return;
  FCropPanel->setVisible(on);
  FCropPanel->adjustSize();
  FCropPanel->move(4, height() - FCropPanel->height() - 4);
  FCropPanel->raise();
  update();
  if (FCanvas) FCanvas->Widget()->update();
}

bool TVolume3DView::CropShape(TCropShape& out) const {
  if (!FVolume) return false;
  // The full picture's rays, as the canvas draws it to fill the view.
  TRenderSettings s = FSettings;
  s.width = std::clamp(width(), 1, kMaxSide);
  s.height = std::clamp(height(), 1, kMaxSide);
  s.stepFactor = 1;
  const TRayFrame f = RayFrameOf(*FVolume, s);
  const double det = Dot(f.dx, Cross(f.dy, f.step));
  if (!std::isfinite(det) || std::fabs(det) < 1e-12) return false;
  const double scale = std::min(double(width()) / s.width, double(height()) / s.height);
  const QPointF offset((width() - s.width * scale) / 2, (height() - s.height * scale) / 2);
  // Cramer's rule on q - origin = x dx + y dy + n step.
  const auto toView = [&](Vec3 q) {
    const Vec3 r = q - f.origin;
    const double x = Dot(r, Cross(f.dy, f.step)) / det, y = Dot(f.dx, Cross(r, f.step)) / det;
    return offset + QPointF(x, y) * scale;
  };
  const Vec3 lo = f.boxLo, hi = f.boxHi;
  for (int c = 0; c < 8; ++c)
    out.corners[size_t(c)] =
        toView({c & 1 ? hi.x : lo.x, c & 2 ? hi.y : lo.y, c & 4 ? hi.z : lo.z});
  const Vec3 mid = (lo + hi) * 0.5;
  for (int axis = 0; axis < 3; ++axis) {
    const Vec3 unit{axis == 0 ? 1.0 : 0, axis == 1 ? 1.0 : 0, axis == 2 ? 1.0 : 0};
    for (int end = 0; end < 2; ++end) {
      const double at = end ? hi[axis] : lo[axis];
      out.faces[size_t(axis * 2 + end)] = toView(mid + unit * (at - mid[axis]));
    }
    out.perVoxel[size_t(axis)] = toView(mid + unit) - toView(mid);
  }
  return true;
}

std::vector<QPointF> TVolume3DView::CropHandles() const {
  TCropShape shape;
  if (!CropShape(shape)) return {};
  return {shape.faces.begin(), shape.faces.end()};
}

void TVolume3DView::DrawCropBox(QPainter& p) const {
  TCropShape shape;
  if (!CropShape(shape)) return;
  p.setPen(QPen(QColor(80, 220, 255), 1));
  p.setBrush(Qt::NoBrush);
  for (int c = 0; c < 8; ++c)
    for (int bit = 1; bit < 8; bit <<= 1)
      if (!(c & bit)) p.drawLine(shape.corners[size_t(c)], shape.corners[size_t(c | bit)]);
  p.setBrush(QColor(80, 220, 255));
  for (size_t f = 0; f < shape.faces.size(); ++f)
    if (Movable(shape, int(f) / 2))
      p.drawRect(QRectF(shape.faces[f] - QPointF(4, 4), QSizeF(8, 8)));
}

void TVolume3DView::SyncCropSliders() {
  for (int axis = 0; axis < 3; ++axis)
    for (int end = 0; end < 2; ++end) {
      QSlider* s = FCropSliders[size_t(axis * 2 + end)];
      if (!s) continue;
      const double v = end == 0 ? FSettings.crop.lo[size_t(axis)] : FSettings.crop.hi[size_t(axis)];
      const QSignalBlocker block(s);
      s->setValue(int(std::lround(std::clamp(v, 0.0, 1.0) * kCropSteps)));
    }
}

// ------------------------------------------------------------------ overlay

void TVolume3DView::PaintOverlay(QPainter& p) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  QFont f = font();
  f.setBold(true);
  p.setFont(f);
  const QFontMetrics fm(f);
  const QRect r = rect();
  if (CropShown()) DrawCropBox(p);
  // Orientation letters at the middle of each edge.
  const std::array<QString, 4> letters = OrientationLetters();
  p.setPen(QColor(255, 255, 160));
  const int m = 6;
  p.drawText(QRect(m, 0, fm.horizontalAdvance(letters[0]) + 2, r.height()),
             Qt::AlignLeft | Qt::AlignVCenter, letters[0]);
  const int topRow = (FBar ? FBar->geometry().bottom() : 0) + 4;
  p.drawText(QRect(0, topRow, r.width(), fm.height()), Qt::AlignHCenter, letters[1]);
  p.drawText(QRect(0, 0, r.width() - m, r.height()), Qt::AlignRight | Qt::AlignVCenter, letters[2]);
  p.drawText(QRect(0, r.height() - m - fm.height(), r.width(), fm.height()), Qt::AlignHCenter,
             letters[3]);

  // Mode and preset, bottom right.
  const char* modeTitle[] = {"VR", "MIP", "MinIP", "Mean"};
  QString title = QString::fromLatin1(modeTitle[int(FSettings.mode)]);
  if (FSettings.mode == TRenderMode::Vr && !FPreset.isEmpty()) title += " · " + FPreset;
  // "OpenGL" or "CPU": the renderer's full name would crowd the corner.
  if (FCanvas) title += " · " + FCanvas->Backend().section(':', 0, 0);
  if (FInteracting) title += " · ½";
  p.setPen(Qt::white);
  p.drawText(r.adjusted(0, 0, -m, -m), Qt::AlignRight | Qt::AlignBottom, title);

  // Notes, under the top letter.
  int y = topRow + fm.height() + 2 + fm.ascent();
  p.setPen(QColor(255, 200, 80));
  for (const QString& n : Notes()) {
    p.drawText(m, y, fm.elidedText(n, Qt::ElideRight, std::max(10, r.width() - 2 * m)));
    y += fm.height();
  }

  const int side = std::clamp(std::min(r.width(), r.height()) / 6, 36, 90);
  DrawOrientationCube(p,
                      QRect(r.right() - side - m, r.bottom() - side - m - fm.height(), side, side));
  p.restore();
}

QImage TVolume3DView::Snapshot() {
  QImage out(size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
  out.fill(Qt::black);
  QPainter p(&out);
  const QImage picture = FCanvas ? FCanvas->Picture() : QImage();
  if (!picture.isNull()) {
    const QSize fitted = picture.size().scaled(out.size(), Qt::KeepAspectRatio);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(
        QRect(QPoint((out.width() - fitted.width()) / 2, (out.height() - fitted.height()) / 2),
              fitted),
        picture);
  }
  PaintOverlay(p);
  return out;
}

void TVolume3DView::DrawOrientationCube(QPainter& p, QRect box) const {
  const TCamera& c = FSettings.camera;
  const Vec3 toward = c.Toward();
  const QPointF centre = QRectF(box).center();
  const double half = box.width() * 0.28;
  const auto project = [&](Vec3 v) {
    return centre + QPointF(Dot(v, c.right) * half, -Dot(v, c.up) * half);
  };
  struct Face {
    Vec3 normal, a, b;  // a, b: the face's in-plane axes
    const char* label;
  };
  const Face faces[6] = {
      {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, "L"}, {{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}, "R"},
      {{0, 1, 0}, {1, 0, 0}, {0, 0, 1}, "P"}, {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}, "A"},
      {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}, "H"}, {{0, 0, -1}, {1, 0, 0}, {0, 1, 0}, "F"}};
  // Only the faces turned to the eye, the farthest first.
  std::vector<std::pair<double, const Face*>> shown;
  for (const Face& f : faces)
    if (Dot(f.normal, toward) > 1e-6) shown.emplace_back(Dot(f.normal, toward), &f);
  std::sort(shown.begin(), shown.end(),
            [](const auto& x, const auto& y) { return x.first < y.first; });
  QFont small = p.font();
  small.setPointSizeF(std::max(6.0, box.width() / 7.0));
  p.setFont(small);
  for (const auto& [facing, f] : shown) {
    QPolygonF poly;
    for (const auto& [s, t] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}})
      poly << project(f->normal + f->a * s + f->b * t);
    const int shade = int(60 + 120 * facing);
    p.setPen(QPen(QColor(220, 220, 220), 1));
    p.setBrush(QColor(shade / 2, shade / 2, shade, 190));
    p.drawPolygon(poly);
    if (facing > 0.25) {
      const QPointF at = project(f->normal);
      p.setPen(Qt::white);
      p.drawText(QRectF(at - QPointF(20, 20), QSizeF(40, 40)), Qt::AlignCenter,
                 QString::fromLatin1(f->label));
    }
  }
}

// ------------------------------------------------------------------ placement

TVolume3DView* Volume3DOf(const QWidget* cell) {
  if (!cell) return nullptr;
  for (QObject* child : cell->children())
    if (auto* v = qobject_cast<TVolume3DView*>(child))
      if (!v->isHidden()) return v;
  return nullptr;
}

void CloseVolume3D(QWidget* cell) {
  while (TVolume3DView* v = Volume3DOf(cell)) {
    v->hide();
    v->deleteLater();
  }
}

TVolume3DView* Volume3DAround(QWidget* w) {
  for (; w; w = w->parentWidget())
    if (auto* v = qobject_cast<TVolume3DView*>(w)) return v;
  return nullptr;
}

TVolume3DView* ShowVolume3D(TadvancedImage* cell, std::shared_ptr<const TVolume> volume) {
  if (!cell || !volume) return nullptr;
  CloseVolume3D(cell);
  // A playing cine would show its next image and take the view away.
  cell->PauseCine();
  auto* view = new TVolume3DView(std::move(volume), cell);
  view->setGeometry(cell->rect());
  new TCellFollower(cell, view);
  view->show();
  view->raise();
  view->setFocus(Qt::OtherFocusReason);
  return view;
}
