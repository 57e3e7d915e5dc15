#include "app/SplitScreen.h"

#include <QButtonGroup>
#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QRadioButton>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

#include "viewer/ViewerGlobals.h"

TSplitScreenForm::TSplitScreenForm(QWidget* parent) : QDialog(parent) {
  setObjectName("SplitScreenForm");
  setWindowTitle("Split Screen");
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setModal(true);
  resize(300, 330);

  auto* frame = new QFrame(this);
  frame->setFrameShape(QFrame::StyledPanel);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(frame);
  auto* layout = new QVBoxLayout(frame);

  auto* title = new QLabel("Split Screen", frame);
  QFont f = title->font();
  f.setBold(true);
  title->setFont(f);
  layout->addWidget(title);

  ParentPanel = new QWidget(frame);
  ParentPanel->setObjectName("ParentPanel");
  ParentPanel->setMinimumSize(180, 180);
  ParentPanel->installEventFilter(this);
  layout->addWidget(ParentPanel, 1);
  for (int t = 0; t < 9; ++t) {
    auto* cell = new QFrame(ParentPanel);
    cell->setObjectName(QString("Cell%1").arg(t));
    cell->setProperty("tag", t);
    cell->setFrameShape(QFrame::Box);
    cell->setAutoFillBackground(true);
    cell->setCursor(Qt::PointingHandCursor);
    cell->installEventFilter(this);
    Cells.push_back(cell);
  }

  loadModeBtnGroup = new QGroupBox(frame);
  loadModeBtnGroup->setObjectName("loadModeBtnGroup");
  auto* modes = new QHBoxLayout(loadModeBtnGroup);
  RestrictedItem = new QRadioButton("Restricted", loadModeBtnGroup);
  SequentialItem = new QRadioButton("Sequential", loadModeBtnGroup);
  SequentialItem->setChecked(true);
  modes->addWidget(RestrictedItem);
  modes->addWidget(SequentialItem);
  layout->addWidget(loadModeBtnGroup);
  connect(RestrictedItem, &QRadioButton::clicked, this, [this] { loadModeBtnGroupClick(); });
  connect(SequentialItem, &QRadioButton::clicked, this, [this] { loadModeBtnGroupClick(); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  SpeedButton1 = new QToolButton(frame);
  SpeedButton1->setObjectName("SpeedButton1");
  SpeedButton1->setText("OK");
  SpeedButton1->setToolTip("Apply");
  SpeedButton1->setMinimumWidth(72);
  btnClose = new QToolButton(frame);
  btnClose->setObjectName("btnClose");
  btnClose->setText("Close");
  btnClose->setToolTip("Close");
  btnClose->setMinimumWidth(72);
  buttons->addWidget(SpeedButton1);
  buttons->addWidget(btnClose);
  layout->addLayout(buttons);
  connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
  connect(btnClose, &QToolButton::clicked, this, [this] { btnCloseClick(); });
}

void TSplitScreenForm::LayoutCells() {
  const int w = ParentPanel->width() / 3;
  const int h = ParentPanel->height() / 3;
  for (int t = 0; t < 9; ++t) Cells[t]->setGeometry((t % 3) * w, (t / 3) * h, w, h);
}

void TSplitScreenForm::UpdateCells() {
  const QColor highlight = palette().color(QPalette::Highlight);
  const QColor frame = palette().color(QPalette::Mid);
  for (int t = 0; t < 9; ++t) {
    const bool on = t / 3 < Rows && t % 3 < Cols;
    QPalette p = Cells[t]->palette();
    p.setColor(QPalette::Window, on ? highlight : frame);
    Cells[t]->setPalette(p);
  }
}

void TSplitScreenForm::CellClick(int tag) {
  if (tag < 0 || tag > 8) return;
  Rows = tag / 3 + 1;
  Cols = tag % 3 + 1;
  UpdateCells();
}

void TSplitScreenForm::SpeedButton1Click() {
  Rows = std::max(Rows, 1);
  Cols = std::max(Cols, 1);
  LastAppliedRows = Rows;
  LastAppliedCols = Cols;
  accept();
}

void TSplitScreenForm::btnCloseClick() {
  reject();
}

void TSplitScreenForm::reject() {
  // Escape closes the dialog too; it must restore the layout as the button does.
  Rows = std::max(LastAppliedRows, 1);
  Cols = std::max(LastAppliedCols, 1);
  QDialog::reject();
}

void TSplitScreenForm::loadModeBtnGroupClick() {
  gRestrictedLoad = RestrictedItem->isChecked();
}

void TSplitScreenForm::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Borderless, so centre it on the screen ourselves.
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  LayoutCells();
  UpdateCells();
}

bool TSplitScreenForm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ParentPanel && event->type() == QEvent::Resize) {
    LayoutCells();
  } else if (event->type() == QEvent::MouseButtonRelease) {
    auto* me = static_cast<QMouseEvent*>(event);
    auto* cell = qobject_cast<QFrame*>(watched);
    if (me->button() == Qt::LeftButton && cell && cell->property("tag").isValid()) {
      CellClick(cell->property("tag").toInt());
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}
