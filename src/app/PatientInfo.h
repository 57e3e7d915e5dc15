// The information window: the main header values of the image in the active
// viewer, grouped in collapsible Patient, Study, Series and Image panels. It
// shows a copy of the header it is given and never reads files; it keeps the
// values of the last Display until the next one.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>
#include <string>

#include "dicom/define_types.h"

class QGridLayout;
class QScrollArea;
class QVBoxLayout;

// Header text (8-bit, as read) for the screen: UTF-8 when the bytes are valid
// UTF-8, else Latin-1, so no byte is ever lost or replaced.
QString HeaderText(const std::string& text);

// Number formats of the window, with "." as the decimal separator whatever the
// user's locale.
// General: widened to double, shortest form with up to 15 significant digits
// (a 32-bit 0.1 prints as 0.100000001490116, 1.0 as 1).
QString FormatGeneral(double value);
// Fixed: rounded to 4 significant digits, printed with exactly 4 decimals
// (0.703125 prints as 0.7031, 1.25 as 1.2500).
QString FormatFixed4(double value);

// One titled panel whose content can be folded away by clicking its title.
class TCategoryPanel : public QWidget {
  Q_OBJECT
 public:
  TCategoryPanel(const QString& caption, QWidget* parent = nullptr);
  QGridLayout* grid() const { return FGrid; }
  QWidget* body() const { return FBody; }
  bool Collapsed() const;
  void setCollapsed(bool collapsed);
  QString Caption() const;

 private:
  class QToolButton* FHeader;
  QWidget* FBody;
  QGridLayout* FGrid;
};

class TPatientInfoForm : public QDialog {
  Q_OBJECT
 public:
  explicit TPatientInfoForm(QWidget* parent = nullptr);

  // Fills every value from a copy of header, sizes the window to the screen's
  // work-area height and shows it (non-modal). Calling it again while the
  // window is open refreshes the same window.
  void Display(const DICOMdata& header);
  // The header of the last Display.
  const DICOMdata& Header() const { return FHeader; }

  // Panels, top to bottom; General is hidden and empty.
  TCategoryPanel* GeneralPanel;
  TCategoryPanel* PatientPanel;
  TCategoryPanel* StudyPanel;
  TCategoryPanel* SeriesPanel;
  TCategoryPanel* ImagePanel;

  QLabel* patNameValue;
  QLabel* patIDValue;
  QLabel* patSexValue;
  QLabel* patDOBValue;
  QLabel* studyIDValue;
  QLabel* studyDateValue;
  QLabel* studyInstUidValue;
  QLabel* studyTimeValue;
  QLabel* studyDescValue;
  QLabel* serInstUIDValue;
  QLabel* serDateValue;
  QLabel* serNumValue;
  QLabel* serTimeValue;
  QLabel* serDescValue;
  QLabel* imgSizeValue;
  QLabel* imgFramesValue;
  QLabel* imgPixelSpacingValue;
  QLabel* imgPosValue;
  QLabel* imgOriValue;
  QLabel* imgCompValue;
  QLabel* imgMonoValue;
  QLabel* imgNumValue;
  QLabel* imgSlopeValue;
  QLabel* imgInterceptValue;
  QLabel* imgWWValue;
  QLabel* imgWLValue;
  QLabel* imgPixRepValue;

 private:
  // Adds a row of up to two caption/value pairs; returns the value labels.
  void AddRow(TCategoryPanel* panel, int row, const QString& leftCaption, QLabel*& leftValue,
              const QString& rightCaption = {}, QLabel** rightValue = nullptr);

  QScrollArea* FScroll;
  QVBoxLayout* FPanels;
  DICOMdata FHeader;
};
