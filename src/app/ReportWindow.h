// The window of a structured report: the report as a readable document, its
// image references as links that show the image in the main window's active
// cell, with the report's coordinates on it.
#pragma once

#include <string>

class QWidget;

// Opens (or raises) the window of the structured report in `path`; false with
// a one-line reason when it cannot be read.
bool OpenReportWindow(QWidget* parent, const std::string& path, std::string* why);

// The open window of the report in `path`; null when none is open.
QWidget* ReportWindowOf(const std::string& path);
