// The window of a waveform object: ECG and the other waveform classes.
// A header line (patient, acquisition, sampling rate, filters, the
// recording's annotations), the paper (WaveformView.h) and its controls:
// multiplex group, layout, speed, gain, zoom, and the caliper's reading.
#pragma once

#include <QWidget>
#include <string>

#include "waveforms/Waveform.h"

class QComboBox;
class QLabel;
class QToolButton;
class TWaveformView;

class TWaveformWindow : public QWidget {
  Q_OBJECT
 public:
  // Shows w, which has at least one group with samples.
  TWaveformWindow(TWaveform w, QWidget* parent = nullptr);
  ~TWaveformWindow() override;

  // The window open on path, if any.
  static TWaveformWindow* Find(const std::string& path);

  const TWaveform& Waveform() const { return waveform_; }
  // Shows group `group` (an index into Waveform().groups).
  void ShowGroup(int group);

  TWaveformView* view = nullptr;
  QLabel* header = nullptr;
  QComboBox* groupBox = nullptr;
  QComboBox* layoutBox = nullptr;
  QComboBox* speedBox = nullptr;
  QComboBox* gainBox = nullptr;
  QToolButton* zoomOutButton = nullptr;
  QToolButton* zoomInButton = nullptr;
  QLabel* zoomLabel = nullptr;
  QLabel* caliperLabel = nullptr;

 private:
  void UpdateHeader();

  TWaveform waveform_;
  std::string key_;
};

// Opens (or raises) the window of the waveform in `path`; false with a
// one-line reason when it cannot be read.
bool OpenWaveformWindow(QWidget* parent, const std::string& path, std::string* why);
