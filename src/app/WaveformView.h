// The paper a waveform is drawn on: the ECG grid (1 mm minor, 5 mm major
// lines) in real millimetres of the screen, each channel at a paper speed
// (mm/s) and, for voltages, a gain (mm/mV) with a 1 mV calibration pulse;
// other quantities (pressures, respiration ...) scaled to their strip with a
// scale bar. A 12-lead ECG is laid out 3 x 4 with a lead II rhythm strip when
// all twelve leads are present; anything else gets one strip per channel.
// Dragging on the paper measures an interval and an amplitude (a caliper).
//
// UI thread only. The view borrows the waveform; its owner outlives it.
#pragma once

#include <QAbstractScrollArea>
#include <QPointF>
#include <QString>
#include <vector>

#include "waveforms/Waveform.h"

class TWaveformView : public QAbstractScrollArea {
  Q_OBJECT
 public:
  enum class Layout { TwelveLead, Strips };

  explicit TWaveformView(QWidget* parent = nullptr);

  // Shows group `group` of w (an index into w.groups, a group with samples).
  void SetWaveform(const TWaveform* w, int group);
  // Whether the shown group holds the twelve standard leads.
  bool CanShowTwelveLead() const;
  void SetLayout(Layout layout);
  Layout CurrentLayout() const { return layout_; }

  void SetSpeed(double mmPerSecond);    // 12.5, 25, 50
  void SetGain(double mmPerMillivolt);  // 5, 10, 20
  void SetZoom(double zoom);            // clamped to 0.5 ... 8
  double Speed() const { return speed_; }
  double Gain() const { return gain_; }
  double Zoom() const { return zoom_; }
  void ZoomIn();
  void ZoomOut();
  // Screen pixels per paper millimetre at the current zoom.
  double PixelsPerMm() const;

  // Where a point of the paper (mm from the content's top left) is in the
  // viewport now.
  QPointF PaperToViewport(double xMm, double yMm) const;
  // The strips drawn now: the baseline (0 of the quantity) of strip i in paper
  // mm, and the paper x in mm where its time t seconds lies.
  int StripCount() const { return int(cells_.size()); }
  double BaselineMm(int cell) const;
  double TimeToPaperX(int cell, double seconds) const;
  QString CellLabel(int cell) const;

  // The caliper's last measurement: "400 ms  150 bpm  1.00 mV"; empty before
  // the first drag.
  QString CaliperText() const { return caliperText_; }
  double CaliperMilliseconds() const { return caliperMs_; }

 signals:
  void CaliperChanged(const QString& text);
  void ZoomChanged(double zoom);
  void LayoutChanged(TWaveformView::Layout layout);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  // One trace on the paper: a channel's samples from t0 for `seconds`,
  // drawn from paper x0 in a row whose baseline is at y (all in mm).
  struct Cell {
    int channel = 0;
    double x0 = 0, seconds = 0, t0 = 0;
    double top = 0, height = 0, baseline = 0;
    double mmPerUnit = 0;  // paper mm per unit of the channel's quantity
    QString label;
    bool rowStart = false;  // the first cell of its row: draws the calibration
  };
  void Relayout();
  void UpdateScrollBars();
  void DrawGrid(class QPainter& p, const QRectF& paper) const;
  void DrawCell(class QPainter& p, const Cell& c, const QRectF& paper) const;
  void DrawCalibration(class QPainter& p, const Cell& c) const;
  void DrawMarks(class QPainter& p, const Cell& c, const QRectF& paper) const;
  void DrawCaliper(class QPainter& p) const;
  QPointF ViewportToPaper(const QPointF& v) const;
  int CellAt(const QPointF& paper) const;
  void UpdateCaliper();
  QString MarkAt(const QPointF& paper) const;

  const TWaveform* waveform_ = nullptr;
  int group_ = -1;
  Layout layout_ = Layout::Strips;
  double speed_ = 25, gain_ = 10, zoom_ = 1;
  std::vector<Cell> cells_;
  std::vector<double> autoScale_;  // paper mm per unit of channels that are no voltage
  double widthMm_ = 0, heightMm_ = 0;
  bool dragging_ = false;
  QPointF caliperFrom_, caliperTo_;  // paper mm
  bool hasCaliper_ = false;
  QString caliperText_;
  double caliperMs_ = 0;
};
