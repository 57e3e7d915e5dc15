#include "app/ColorBox.h"

#include <QColorDialog>
#include <QPainter>
#include <QPixmap>

namespace {

constexpr int kCustomRole = Qt::UserRole + 1;

QIcon Swatch(const QColor& c) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setPen(QColor(90, 90, 90));
  p.setBrush(c);
  p.drawRect(0, 0, 15, 15);
  return QIcon(pm);
}

}  // namespace

TColorBox::TColorBox(QWidget* parent) : QComboBox(parent) {
  const std::pair<const char*, QColor> standard[] = {
      {"Black", QColor(0, 0, 0)},
      {"Maroon", QColor(128, 0, 0)},
      {"Green", QColor(0, 128, 0)},
      {"Olive", QColor(128, 128, 0)},
      {"Navy", QColor(0, 0, 128)},
      {"Purple", QColor(128, 0, 128)},
      {"Teal", QColor(0, 128, 128)},
      {"Gray", QColor(128, 128, 128)},
      {"Silver", QColor(192, 192, 192)},
      {"Red", QColor(255, 0, 0)},
      {"Lime", QColor(0, 255, 0)},
      {"Yellow", QColor(255, 255, 0)},
      {"Blue", QColor(0, 0, 255)},
      {"Fuchsia", QColor(255, 0, 255)},
      {"Aqua", QColor(0, 255, 255)},
      {"White", QColor(255, 255, 255)},
      {"Money Green", QColor(192, 220, 192)},
      {"Sky Blue", QColor(166, 202, 240)},
      {"Cream", QColor(255, 251, 240)},
      {"Medium Gray", QColor(160, 160, 164)},
  };
  for (const auto& [name, c] : standard) AddColor(name, c);
  addItem("Custom...");
  setItemData(count() - 1, true, kCustomRole);
  FSelected = itemData(0).value<QColor>();
  connect(this, &QComboBox::activated, this, [this](int index) { Picked(index); });
}

void TColorBox::AddColor(const QString& name, const QColor& c, int at) {
  if (at < 0) at = count();
  insertItem(at, Swatch(c), name, c);
}

int TColorBox::IndexOf(const QColor& c) const {
  for (int i = 0; i < count(); ++i)
    if (!itemData(i, kCustomRole).toBool() && itemData(i).value<QColor>().rgb() == c.rgb())
      return i;
  return -1;
}

void TColorBox::setSelected(const QColor& c) {
  int i = IndexOf(c);
  if (i < 0) {
    AddColor(c.name(), c, count() - 1);
    i = count() - 2;
  }
  FSelected = c;
  FCurrent = i;
  setCurrentIndex(i);
}

void TColorBox::Picked(int index) {
  if (itemData(index, kCustomRole).toBool()) {
    const QColor c = QColorDialog::getColor(FSelected, this, "Custom Color");
    if (!c.isValid()) {
      setCurrentIndex(FCurrent);
      return;
    }
    setSelected(c);
  } else {
    FSelected = itemData(index).value<QColor>();
    FCurrent = index;
  }
  emit colorChanged(FSelected);
}
