// The text entry window of text labels: a borderless box holding one edit
// field, opened modally over the box the user dragged. Enter with text
// accepts, Enter on an empty field or Escape cancels.
#pragma once

#include <QDialog>
#include <QLineEdit>

class TForm3 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm3(QWidget* parent = nullptr);
  ~TForm3() override;

  // The application's one instance: the first one created, or else a new one
  // owned by owner's window.
  static TForm3* Instance(QWidget* owner);

  QLineEdit* Edit1;

  // Key handler of the edit field (Qt key codes).
  void Edit1KeyUp(int Key);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
};
