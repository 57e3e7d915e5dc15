#include "app/ReportWindow.h"

bool OpenReportWindow(QWidget*, const std::string&, std::string* why) {
  if (why) *why = "structured reports cannot be shown yet";
  return false;
}
