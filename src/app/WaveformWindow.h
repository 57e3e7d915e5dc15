// The window of a waveform object: ECG and the other waveform classes.
#pragma once

#include <string>

class QWidget;

// Opens (or raises) the window of the waveform in `path`; false with a
// one-line reason when it cannot be read.
bool OpenWaveformWindow(QWidget* parent, const std::string& path, std::string* why);
