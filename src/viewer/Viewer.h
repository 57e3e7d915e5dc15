// A viewer cell of the grid: a panel hosting one image control, with the
// image track bar and the select button at its right edge and the frame track
// bar along its bottom. It knows nothing of the main window: everything the
// user does on it leaves as a signal. The frame bar seeks and the cine panel
// pauses the cell's own cine before their signals go out.
#pragma once

#include <QSlider>
#include <QToolButton>
#include <QWidget>

class TadvancedImage;

class TViewer : public QWidget {
  Q_OBJECT

 public:
  explicit TViewer(QWidget* parent = nullptr);

  TadvancedImage* AdvancedImage() const { return FImage; }

  // Selected: the cell takes part in all-viewers commands; true on creation.
  bool Selected = true;
  int Row = 0;
  int Col = 0;
  int Tag = 0;  // running index Row x columns + Col

  QWidget* ControlsPanel;     // 24 px wide, right edge
  QToolButton* SelectButton;  // top of ControlsPanel
  QSlider* TrackBar;          // image index in the series, 1-based
  QWidget* CinePanel;         // 24 px high, bottom edge
  QSlider* CineTrackBar;      // frame index; hidden unless the image is a cine

  // Mouse events of the image control, passed on as the cell's own, with the
  // position in cell coordinates.
  void CellMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos);
  void CellMouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, QPoint pos);
  void CellMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos);

 signals:
  void MouseDown(TViewer* cell, Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos);
  void MouseMove(TViewer* cell, Qt::MouseButtons buttons, Qt::KeyboardModifiers shift, QPoint pos);
  void MouseUp(TViewer* cell, Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint pos);
  void TrackBarChange(TViewer* cell, int position);
  void CineTrackBarChange(TViewer* cell, int position);
  void CinePanelClick(TViewer* cell);
  void SelectButtonClick(TViewer* cell);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  TadvancedImage* FImage;
};
