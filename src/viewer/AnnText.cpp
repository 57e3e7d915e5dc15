#include "viewer/AnnText.h"

#include <QKeyEvent>
#include <QPointer>

namespace {
QPointer<TForm3> gForm3;
}

TForm3::TForm3(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
  setObjectName(QStringLiteral("Form3"));
  setModal(true);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(192, 192, 192));  // silver
  setPalette(pal);
  // Sized to the dragged box, however small: no layout imposes a minimum.
  setMinimumSize(1, 1);

  Edit1 = new QLineEdit(this);
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Edit1->setFrame(false);
  QPalette edit = Edit1->palette();
  edit.setColor(QPalette::Base, QColor(166, 202, 240));
  Edit1->setPalette(edit);
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(11);
  Edit1->setFont(font);
  Edit1->setMinimumSize(1, 1);
  Edit1->setGeometry(rect());
  Edit1->installEventFilter(this);
  setFocusProxy(Edit1);

  if (!gForm3) gForm3 = this;
}

TForm3::~TForm3() = default;

TForm3* TForm3::Instance(QWidget* owner) {
  if (!gForm3) new TForm3(owner ? owner->window() : nullptr);
  return gForm3;
}

void TForm3::Edit1KeyUp(int Key) {
  switch (Key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (Edit1->text().isEmpty())
        reject();
      else
        accept();
      break;
    case Qt::Key_Escape:
      reject();
      break;
    default:
      break;
  }
}

bool TForm3::eventFilter(QObject* watched, QEvent* event) {
  // Enter and Escape close the window; the dialog's own handling of them
  // (default buttons) must not run.
  if (watched == Edit1 && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
      Edit1KeyUp(key);
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TForm3::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  Edit1->setGeometry(rect());
}
