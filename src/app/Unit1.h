// The main window: the tool tabs at the top with the logo, the thumbnail column
// with the reports list and the status area at the left, the viewer grid
// filling the rest, and the touch bar along the bottom (hidden until Escape).
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <array>

#include "app/Icons.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QSlider;
class QTabWidget;
class QToolButton;
class QTreeWidget;
class QWidget;
class TColorBox;
class TPatientInfoForm;
class TSplitScreenForm;

// Program-wide set-up done once before the main window is created: the
// application's name and version, "." as the decimal separator whatever the
// user's locale, and the "Glossy" theme.
void InitApplication();

// "Tavrolen Viewer, Brenvo " + the two-part version.
QString MainWindowCaption();

// The cine frame rates offered by trkFrameRate: position p selects entry p - 1.
inline constexpr std::array<int, 9> kFrameRates{1, 2, 4, 8, 15, 20, 25, 30, 60};

struct TWwWlPreset {
  const char* Name;
  int WW;
  int WL;
};
inline constexpr std::array<TWwWlPreset, 13> kWwWlPresets{{
    {"Abdomen/Pelvis", 350, 40},
    {"Bone", 2500, 480},
    {"Brain", 80, 40},
    {"CTA", 650, 50},
    {"Kidney", 700, 50},
    {"Liver", 120, 70},
    {"Lung", 1500, -500},
    {"Mediastinum/Chest", 4000, 40},
    {"Myelogram", 880, 110},
    {"Neck", 350, 20},
    {"Sinus", 2000, 100},
    {"Stroke", 50, 40},
    {"Subdural", 350, 90},
}};

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // ---- tool area ----
  QWidget* Panel_top;
  QTabWidget* ToolsPageControl;
  QWidget* TabSheet1;  // "Manage"
  QWidget* TabSheet2;  // "Image Processing"
  QWidget* TabSheet3;  // "Image Annotation"
  QWidget* TabSheet4;  // "Cine Player"
  QWidget* Settings;   // "Settings"
  QLabel* Image1;      // the logo

  // "Manage"
  QFrame* Panel1;
  QToolButton* btnOpenFile;
  QToolButton* btnOpenFolder;
  QToolButton* btnOpenDicomDir;
  QToolButton* btnSave;
  QToolButton* btnSplitScreen;
  QToolButton* SpeedButton2;  // 2 x 2
  QToolButton* SpeedButton3;  // 1 x 2
  QToolButton* SpeedButton4;  // 1 x 1
  QToolButton* btnProcessAllViewers;
  QToolButton* btnClearTree;
  QToolButton* showPatInfoButton;
  QToolButton* btnExit;

  // "Image Processing"
  QToolButton* btnFlipHorizontal;
  QToolButton* btnFilpVertical;
  QToolButton* btnInvert;
  QToolButton* btnWwWl;
  QToolButton* btnPan;
  QToolButton* btnReset;
  QToolButton* btnFit;
  QToolButton* btnZoom;
  QToolButton* btnResetWwWl;
  QToolButton* btnLockZoom;
  QToolButton* btnLockWwWl;
  QToolButton* btnRotate;
  QGroupBox* WwWlPresetGrp;
  QComboBox* WwWlPresetsComboBox;
  QLineEdit* wwTextBox;
  QLineEdit* wlTextBox;

  // "Image Annotation"
  QToolButton* btnDeleteSingleAnn;
  QToolButton* btnClearAllAnn;
  QToolButton* btnDrawText;
  QToolButton* btnDrawAngle;
  QToolButton* btnDrawEclipse;
  QToolButton* btnDrawRect;
  QToolButton* btnDrawLine;
  QToolButton* btnDrawMeasureLine;
  QGroupBox* ShowHideGrp;
  QCheckBox* CheckBox_show_information;
  QCheckBox* CheckBox_show_overlay;
  QCheckBox* CheckBox_show_reference_lines;

  // "Cine Player"
  QToolButton* btnPrevFrame;
  QToolButton* btnPauseCine;
  QToolButton* btnPlayCine;
  QToolButton* btnNextFrame;
  QLabel* frameRateLabel;
  QSlider* trkFrameRate;

  // "Settings"
  QComboBox* themesComboBox;
  TColorBox* annColorComboBox;
  TColorBox* lblColorComboBox;
  TColorBox* infoColorComboBox;
  TColorBox* rulerColorComboBox;
  TColorBox* rlColorComboBox;
  TColorBox* olColorComboBox;

  // ---- work area ----
  QWidget* Panel_back;
  QWidget* thumbnailsPanel;
  QWidget* thumbnailsHost;  // the thumbnail browser lives here
  QTreeWidget* reportsListView;
  QWidget* statusBarPanel;
  QLabel* statusLabelCount;
  QProgressBar* loadDicomProgressBar;
  QToolButton* btnCancelLoading;
  QWidget* allViewersPanel;

  // ---- touch bar ----
  QWidget* AppBar;
  QToolButton* CloseButton;

  TSplitScreenForm* SplitScreenForm;
  TPatientInfoForm* PatientInfoForm;

  // ---- window-level handlers ----
  void FormActivate();
  void FormResize();
  // Keys the window sees before its controls; true when handled.
  bool FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
  void CloseButtonClick();
  void btnExitClick();
  void themesComboBoxChange();
  void annColorComboBoxChange();
  void lblColorComboBoxChange();
  void infoColorComboBoxChange();
  void rulerColorComboBoxChange();
  void rlColorComboBoxChange();
  void olColorComboBoxChange();
  // Makes tab index (0-based: Manage, Image Processing, Image Annotation,
  // Cine Player, Settings) the visible one.
  void ActivateToolsTab(int index);
  void trkFrameRateChange();

  // The mouse tool of the grid: 0 zoom, 1 pan, 2 window.
  int MouseTool = 1;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QToolButton* NewButton(QWidget* parent, const char* objectName, const QString& hint,
                         const char* glyph);
  void BuildManageTab();
  void BuildImageProcessingTab();
  void BuildAnnotationTab();
  void BuildCineTab();
  void BuildSettingsTab();
  void BuildWorkArea(QWidget* central);
  void BuildAppBar(QWidget* central);
  // Draws every button's glyph and the logo in the current theme's colours.
  void ApplyIcons();
  void SetGlyph(QToolButton* button, const char* glyph);
  void ColorChanged();

  bool FActivated = false;
};
