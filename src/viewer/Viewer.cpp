#include "viewer/Viewer.h"

#include <QGridLayout>
#include <QMouseEvent>
#include <QVBoxLayout>

#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

namespace {

QSlider* NewTrackBar(Qt::Orientation o, QWidget* parent) {
  auto* bar = new QSlider(o, parent);
  bar->setRange(1, 1);
  bar->setTickPosition(QSlider::NoTicks);
  bar->setFocusPolicy(Qt::NoFocus);  // keys belong to the main window's image stepping
  return bar;
}

QWidget* NewPanel(QWidget* parent) {
  auto* panel = new QWidget(parent);
  panel->setAutoFillBackground(true);
  QPalette pal = panel->palette();
  pal.setColor(QPalette::Window, QColor(32, 32, 32));
  panel->setPalette(pal);
  return panel;
}

}  // namespace

TViewer::TViewer(QWidget* parent) : QWidget(parent) {
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::black);
  setPalette(pal);

  ControlsPanel = NewPanel(this);
  ControlsPanel->setFixedWidth(24);
  auto* controls = new QVBoxLayout(ControlsPanel);
  controls->setContentsMargins(0, 0, 0, 0);
  controls->setSpacing(0);
  SelectButton = new QToolButton(ControlsPanel);
  SelectButton->setFixedSize(24, 24);
  SelectButton->setCursor(Qt::PointingHandCursor);
  SelectButton->setAutoRaise(true);
  SelectButton->setVisible(gProcessAllViewers.load());
  controls->addWidget(SelectButton);
  TrackBar = NewTrackBar(Qt::Vertical, ControlsPanel);
  TrackBar->setInvertedAppearance(true);  // the first image at the top
  controls->addWidget(TrackBar, 1);

  CinePanel = NewPanel(this);
  CinePanel->setFixedHeight(24);
  CinePanel->installEventFilter(this);
  auto* cine = new QVBoxLayout(CinePanel);
  cine->setContentsMargins(0, 0, 0, 0);
  CineTrackBar = NewTrackBar(Qt::Horizontal, CinePanel);
  CineTrackBar->hide();
  cine->addWidget(CineTrackBar);

  FImage = new TadvancedImage(this);

  // The controls column runs the full height; the frame bar sits under the image.
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setSpacing(0);
  grid->addWidget(FImage, 0, 0);
  grid->addWidget(CinePanel, 1, 0);
  grid->addWidget(ControlsPanel, 0, 1, 2, 1);
  grid->setRowStretch(0, 1);
  grid->setColumnStretch(0, 1);

  connect(TrackBar, &QSlider::valueChanged, this, [this](int v) { emit TrackBarChange(this, v); });
  connect(CineTrackBar, &QSlider::valueChanged, this,
          [this](int v) { emit CineTrackBarChange(this, v); });
  connect(SelectButton, &QToolButton::clicked, this, [this] { emit SelectButtonClick(this); });
}

void TViewer::CellMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos) {
  emit MouseDown(this, button, shift, pos);
}

void TViewer::CellMouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, QPoint pos) {
  emit MouseMove(this, buttons, shift, pos);
}

void TViewer::CellMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos) {
  emit MouseUp(this, button, shift, pos);
}

bool TViewer::eventFilter(QObject* watched, QEvent* event) {
  if (watched == CinePanel) {
    // The panel's mouse events are its click, not the cell's own.
    switch (event->type()) {
      case QEvent::MouseButtonPress:
        emit CinePanelClick(this);
        return true;
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseMove:
        return true;
      default:
        break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TViewer::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Lay the image control out at once, so a fit right after placing the cell
  // uses the cell's new size.
  if (layout()) layout()->activate();
}

void TViewer::mousePressEvent(QMouseEvent* event) {
  CellMouseDown(event->button(), event->modifiers(), event->position().toPoint());
}

void TViewer::mouseMoveEvent(QMouseEvent* event) {
  CellMouseMove(event->buttons(), event->modifiers(), event->position().toPoint());
}

void TViewer::mouseReleaseEvent(QMouseEvent* event) {
  CellMouseUp(event->button(), event->modifiers(), event->position().toPoint());
}
