#include "app/StartHint.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TStartHint::TStartHint(QWidget* parent) : QFrame(parent) {
  setObjectName("StartHint");
  // Its own colours whatever the theme: it lies on the black grid.
  setStyleSheet(
      "#StartHint { background: rgba(32, 36, 44, 235); border: 1px solid #4a5668;"
      " border-radius: 8px; }"
      "#StartHint QLabel { color: #e8edf3; background: transparent; border: none; }"
      "#StartHint QLabel#StartHintDrop { color: #9fb3c8; }"
      "#StartHint QPushButton { color: #ffffff; background: #2e78d2; border: none;"
      " border-radius: 4px; padding: 7px 18px; font-weight: bold; }"
      "#StartHint QPushButton:hover { background: #3b8ae6; }"
      "#StartHint QPushButton#StartHintDemo { background: #45505e; }"
      "#StartHint QPushButton#StartHintDemo:hover { background: #56637a; }");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(28, 22, 28, 22);
  column->setSpacing(10);
  auto* title = new QLabel("No images loaded", this);
  QFont big = title->font();
  big.setPointSize(big.pointSize() + 5);
  big.setBold(true);
  title->setFont(big);
  title->setAlignment(Qt::AlignCenter);
  auto* how =
      new QLabel("Open a folder of DICOM files, the DICOMDIR of a CD, or single images.", this);
  how->setAlignment(Qt::AlignCenter);
  how->setWordWrap(true);
  column->addWidget(title);
  column->addWidget(how);
  const auto button = [this, column](const char* name, const QString& text, const QString& tip) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(name);
    b->setToolTip(tip);
    b->setCursor(Qt::PointingHandCursor);
    column->addWidget(b);
    return b;
  };
  OpenFolderButton = button("StartHintFolder", "Open Folder\u2026",
                            "Every DICOM file under a folder (Open Folder)");
  OpenDicomDirButton = button("StartHintDicomDir", "Open DICOMDIR / CD\u2026",
                              "The study a CD or DVD describes (Open CD Dicom Dir)");
  OpenImageButton = button("StartHintImage", "Open Image\u2026", "One image file (Ctrl+O)");
  DemoButton = button("StartHintDemo", "Show Demo Study",
                      "A synthetic CT, ultrasound, radiograph and MR study to try the viewer on");
  auto* drop = new QLabel("or drop files or folders here", this);
  drop->setObjectName("StartHintDrop");
  drop->setAlignment(Qt::AlignCenter);
  column->addWidget(drop);
  connect(OpenFolderButton, &QPushButton::clicked, this, &TStartHint::openFolder);
  connect(OpenDicomDirButton, &QPushButton::clicked, this, &TStartHint::openDicomDir);
  connect(OpenImageButton, &QPushButton::clicked, this, &TStartHint::openImage);
  connect(DemoButton, &QPushButton::clicked, this, &TStartHint::showDemo);
}

void TStartHint::Place() {
  QWidget* p = parentWidget();
  if (!p) return;
  const QSize want = sizeHint().expandedTo(QSize(340, 0));
  const QSize s(std::min(want.width(), p->width()), std::min(want.height(), p->height()));
  setGeometry((p->width() - s.width()) / 2, (p->height() - s.height()) / 2, s.width(), s.height());
}
