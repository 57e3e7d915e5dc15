// The window of a structured report.
#pragma once

#include <string>

class QWidget;

// Opens (or raises) the window of the structured report in `path`; false with
// a one-line reason when it cannot be read.
bool OpenReportWindow(QWidget* parent, const std::string& path, std::string* why);
