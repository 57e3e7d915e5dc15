// The split-screen chooser: a 3 x 3 field of cells in which the user picks a
// grid of up to three rows and three columns, and the fill mode of the grid.
#pragma once

#include <QDialog>
#include <QFrame>
#include <vector>

class QButtonGroup;
class QGroupBox;
class QRadioButton;
class QToolButton;

class TSplitScreenForm : public QDialog {
  Q_OBJECT
 public:
  explicit TSplitScreenForm(QWidget* parent = nullptr);

  int Rows = 0;  // the layout being chosen
  int Cols = 0;
  int LastAppliedRows = 0;  // the layout last confirmed
  int LastAppliedCols = 0;

  QWidget* ParentPanel;
  std::vector<QFrame*> Cells;  // 3 x 3, tagged 0 ... 8 row by row
  QGroupBox* loadModeBtnGroup;
  QRadioButton* RestrictedItem;
  QRadioButton* SequentialItem;
  QToolButton* SpeedButton1;  // confirm
  QToolButton* btnClose;

  // Clicking cell t picks t div 3 + 1 rows and t mod 3 + 1 columns.
  void CellClick(int tag);
  // Confirm: at least 1 x 1, remembered as the last applied layout.
  void SpeedButton1Click();
  // Close: back to the last applied layout (at least 1 x 1), cancelled.
  void btnCloseClick();
  void reject() override;
  // The fill mode takes effect as soon as it is picked.
  void loadModeBtnGroupClick();
  // Colours the cells of the chosen rows and columns.
  void UpdateCells();

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void LayoutCells();
};
