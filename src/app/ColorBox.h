// A colour picker in a combo box: the standard colours by name, each with its
// swatch, and "Custom..." for any other colour.
#pragma once

#include <QColor>
#include <QComboBox>

class TColorBox : public QComboBox {
  Q_OBJECT
 public:
  explicit TColorBox(QWidget* parent = nullptr);

  QColor Selected() const { return FSelected; }
  // Shows colour c, adding it as a custom entry when it has no name here.
  void setSelected(const QColor& c);

 signals:
  // The user picked a colour (not emitted by setSelected).
  void colorChanged(const QColor& color);

 private:
  void Picked(int index);
  int IndexOf(const QColor& c) const;
  void AddColor(const QString& name, const QColor& c, int at = -1);

  QColor FSelected;
  int FCurrent = 0;
};
