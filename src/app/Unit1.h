// The main window: the tool tabs at the top with the logo, the thumbnail column
// with the reports list and the status area at the left, the viewer grid
// filling the rest, and the touch bar along the bottom (hidden until Escape).
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "app/ArchivePriors.h"
#include "app/Icons.h"
#include "hanging/HangingProtocol.h"
#include "hanging/UserPresets.h"
#include "viewer/ReferenceLinesUnit.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QSlider;
class QTabWidget;
class QThreadPool;
class QToolButton;
class QTreeWidget;
class QWidget;
class TColorBox;
class TDerivedPanel;
struct TDerivedIntake;
class TPacsForm;
class TReceiver;
class TPatientInfoForm;
class TPresetsDialog;
class TTagBrowserForm;
class TSplitScreenForm;
class TStartHint;
class TStudyLoad;
class TThumbnailsTool;
class QTreeWidgetItem;
class TViewer;
class TadvancedImage;
class TMprLink;
class TVolume;

// Program-wide set-up done once before the main window is created: the
// application's name, version and icon, "." as the decimal separator whatever
// the user's locale, and the "Glossy" theme.
void InitApplication();
// The name and version alone; needs only a QCoreApplication (for --help and
// --version, answered without a display).
void InitApplicationNames();

// "Tavrolen Viewer, Brenvo " + the two-part version.
QString MainWindowCaption();

// What the save dialogs offer: the cell as shown or the image's own
// resolution, one picture or a whole series as numbered files.
inline constexpr const char* kJpegCellFilter = "Jpeg (*.jpg)";
inline constexpr const char* kJpegOwnFilter = "Jpeg, at the image's own resolution (*.jpg)";
inline constexpr const char* kPngCellFilter = "PNG, as shown in the cell (*.png)";
inline constexpr const char* kPngOwnFilter = "PNG, at the image's own resolution (*.png)";
inline constexpr const char* kPngSeriesFilter =
    "PNG, the whole series as numbered files, as shown in the cell (*.png)";
inline constexpr const char* kPngSeriesOwnFilter =
    "PNG, the whole series as numbered files, at the images' own resolution (*.png)";

// The cine frame rates offered by trkFrameRate: position p selects entry p - 1.
inline constexpr std::array<int, 9> kFrameRates{1, 2, 4, 8, 15, 20, 25, 30, 60};

class TadvancedImage;
// The cell shows a CT image with a window: the presets' units are its own.
bool IsCt(const TadvancedImage* c);

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
  QToolButton* btnPacs;  // opens the PACS window
  QToolButton* btnSave;
  QToolButton* btnSplitScreen;
  QToolButton* SpeedButton2;  // 2 x 2
  QToolButton* SpeedButton3;  // 1 x 2
  QToolButton* SpeedButton4;  // 1 x 1
  QToolButton* btnProcessAllViewers;
  QToolButton* btnClearTree;
  QToolButton* showPatInfoButton;
  QToolButton* showTagsButton;
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
  TThumbnailsTool* ThumbnailsTool;
  QTreeWidget* reportsListView;
  // The segmentations and structure sets of the active cell's image (a dock).
  TDerivedPanel* DerivedPanel = nullptr;
  QWidget* statusBarPanel;
  QLabel* statusLabelCount;
  QProgressBar* loadDicomProgressBar;
  QToolButton* btnCancelLoading;
  QWidget* allViewersPanel;
  // Over the grid while nothing is loaded: how to begin.
  TStartHint* StartHint;
  void UpdateStartHint();
  // Opens the built-in demo study (written once into the user's cache folder).
  void ShowDemoStudy();

  // ---- touch bar ----
  QWidget* AppBar;
  QToolButton* CloseButton;

  TSplitScreenForm* SplitScreenForm;
  TPatientInfoForm* PatientInfoForm;
  TTagBrowserForm* TagBrowserForm;
  TPacsForm* PacsForm = nullptr;  // created when first opened
  TReceiver* Receiver = nullptr;  // the Settings tab's Receive group (storage SCP)

  // The PACS window (created on first use); a servers file adds its archives.
  void btnPacsClick();
  bool AddPacsServersFile(const QString& path, QString* why);

  // ---- window-level handlers ----
  // The first time the window is shown or becomes active: the start-up DICOMDIR.
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
  // Cine Player, Settings) the visible one, unless it is still disabled.
  void ActivateToolsTab(int index);
  void trkFrameRateChange();

  // ---- the viewer grid ----
  int rows = 1, cols = 1;                                    // the last layout asked for
  int CurrentRows = 1, CurrentCols = 1;                      // the grid as built
  std::vector<std::vector<TViewer*>> Viewers;                // [row][col]
  std::vector<std::vector<TadvancedImage*>> AdvancedImages;  // same shape
  TViewer* ActiveViewer = nullptr;
  TadvancedImage* ActiveAdvancedImage = nullptr;  // what single-viewer commands act on
  bool lastLoadingMode = false;                   // gRestrictedLoad of the last fill
  // The mouse tool of the grid: 0 zoom, 1 pan, 2 window.
  int MouseTool = 1;
  QPoint MousePos, LastMousePos;  // in allViewersPanel coordinates
  int LastActiveRow = 0, LastActiveCol = 0;

  // Computes the cells' reference lines; its messages go to ShowMessage.
  TReferenceLine ReferenceLinesHandler;

  // Rebuilds the grid as a rows x b columns, keeping the surviving cells.
  void SetLayout(int a, int b);
  // Loads the first study of the tree into the cells.
  void FillViewers();
  void update_ReferenceLines();
  // An image a cell could not show (its file gone or changed since the load):
  // said once per file in the status area, with the reason as its tooltip.
  void ReportRefusedImage(const QString& path, const QString& reason);
  QStringList refusedImages;  // reported since the last Clear Study
  bool AnyViewerPreparing() const;
  void SpeedButton2Click();  // 2 x 2
  void SpeedButton3Click();  // 1 x 2
  void SpeedButton4Click();  // 1 x 1
  void btnSplitScreenClick();
  void allViewersPanelResize();
  void allViewersPanelMouseDown(TViewer* sender, Qt::MouseButton button, QPoint pos);
  void allViewersPanelMouseMove(QPoint pos);
  void allViewersPanelMouseUp(Qt::MouseButton button);
  void singleViewerMouseMove(TViewer* sender, QPoint pos);
  void ViewerTrackBarChange(TViewer* sender);
  void ViewerCineTrackBarChange(TViewer* sender);
  void ViewerCinePanelClick(TViewer* sender);
  void ViewerSelectButtonClick(TViewer* sender);
  void btnProcessAllViewersClick();
  // Wheel stepping over the grid; delta as the wheel reports it (120 a notch).
  void FormMouseWheel(int delta);
  // Arrow keys and Page Up/Down: images and frames of the active cell.
  bool StepActiveCell(int key);

  // ---- tool commands ----
  // JPEG and PNG exports of cells leave the patient's name and ID out of the
  // information text (the cell menu's toggle).
  bool ExportWithoutIdentity = false;
  void btnFlipHorizontalClick();
  void btnFilpVerticalClick();
  void btnInvertClick();
  void btnRotateClick();
  void btnFitClick();
  void btnResetClick();
  void btnResetWwWlClick();
  void btnPlayCineClick();
  void btnPauseCineClick();
  void btnNextFrameClick();
  void btnPrevFrameClick();
  void btnLockZoomClick();
  void btnLockWwWlClick();
  void CheckBox_show_informationClick();
  void CheckBox_show_overlayClick();
  void CheckBox_show_reference_linesClick();
  void WwWlPresetsComboBoxChange();
  // Enter in the WW or WL box.
  void wwTextBoxKeyPress();
  // ctOnly: a preset in Hounsfield units, which in the Multi mode goes to the
  // CT cells only; modality (when given): a user's preset, which goes to the
  // cells of that modality only.
  void update_WwWL(double ww, double wl, bool ctOnly = false, const QString& modality = {});
  void btnZoomClick();
  void btnPanClick();
  void btnWwWlClick();
  void btnDrawLineClick();
  void btnDrawMeasureLineClick();
  void btnDrawRectClick();
  void btnDrawEclipseClick();
  void btnDrawTextClick();
  void btnDrawAngleClick();
  void btnDeleteSingleAnnClick();
  void btnClearAllAnnClick();
  void btnSaveClick();
  void showPatInfoButtonClick();
  // Every element of the active image's file in the tag browser.
  void showTagsButtonClick();
  // Shows the presets group when any series of the tree is CT.
  void UpdatePresetsVisibility();
  // Enables the tools that need a study.
  void EnableStudyTools();

  // Runs op on every selected cell with an image: a parallel loop over the
  // rows whose body runs a parallel loop over the columns.
  void ForSelectedCells(const std::function<void(TadvancedImage*)>& op);
  // As ForSelectedCells, but op runs on the UI thread (queued from pool threads).
  void ForSelectedCellsOnUi(const std::function<void(TadvancedImage*)>& op);
  // Every cell, with or without an image or selection.
  void ForAllCells(const std::function<void(TadvancedImage*)>& op);

  // The texts of the last message shown.
  QString LastMessage;

  // ---- loading ----
  TStudyLoad* Loader;
  int lastPatientsLength = 0;  // patients in the tree when the current load started
  // Rebuilds the thumbnail browser from the tree.
  void RebuildBrowser();

  void btnOpenFileClick();
  void btnOpenFolderClick();
  void btnOpenDicomDirClick();
  void btnCancelLoadingClick();
  void btnClearTreeClick();
  void reportsListViewDblClick(QTreeWidgetItem* item);
  // What the three open commands do once the user picked a path.
  void OpenImage(const QString& path);
  bool OpenFolder(const QString& folder);
  bool OpenDicomDir(const QString& dicomDirPath);
  // Opens each path as the matching command would, one after the other
  // (files, folders and DICOMDIRs alike); loadsFinished() follows the last.
  void OpenPaths(const QStringList& paths);
  // No load running and none waiting.
  bool IsIdle() const;
  void SetLoadingState(bool show, const QString& text, bool marquee = false);
  void ShowProgress(int done, int total);
  // Shows the first listed file that loads in cell [0][0] while the rest is read.
  void PreviewFiles(const QStringList& files);
  // The user-interface side of the end of a folder or DICOMDIR load, in two
  // turns of the event loop: the browser, then the grid and the summary.
  void FinishLoading();
  void FinishLoadingGrid();
  void update_report_panel();

  // ---- reading tools ----
  QToolButton* btnExportPng;     // "Export PNG"
  QToolButton* btnCopy;          // "Copy to Clipboard"
  QToolButton* btnClearAnn;      // "Clear Annotations of This Image"
  QToolButton* btnUndoAnn;       // "Undo Annotation Change"
  QToolButton* btnSyncPosition;  // scrolling linked by position
  QToolButton* btnLinkWwWl;      // one window for the linked cells
  QToolButton* btnLinkZoom;      // one scale for the linked cells
  // The cells the user linked by hand (besides those sharing a frame of
  // reference), with the slice position each was at when linked; a cell
  // that is gone drops out by itself.
  std::vector<std::pair<QPointer<TadvancedImage>, double>> UserLinks;
  // Where cell was when linked by hand; null when it is not.
  const double* UserLinkOf(const TadvancedImage* cell) const;

  void btnExportPngClick();
  void btnCopyClick();
  void btnClearAnnClick();
  void btnUndoAnnClick();
  void btnSyncPositionClick();
  void btnLinkWwWlClick();
  void btnLinkZoomClick();
  // Keys of the reading tools (copy, undo, delete, Home/End, tools, presets);
  // true when handled.
  bool ReadingKey(int key, Qt::KeyboardModifiers modifiers);
  // The first (image < 0: the last) image of the active cell's series.
  void ShowSeriesEnd(bool last);
  // The WW/WL boxes, the preset list and the frame rate show the active cell's.
  void SyncWindowBoxes();
  // The cell's right-click menu with the common tools.
  QMenu* BuildCellMenu(TadvancedImage* cell);
  // Cells linked with the active one: same frame of reference or linked by hand.
  std::vector<TadvancedImage*> LinkedCells(const TadvancedImage* source) const;
  // Moves every linked cell to the slice nearest the active cell's by position.
  void SyncLinkedPositions(TadvancedImage* source);
  void SyncLinkedWindow(TadvancedImage* source);
  void SyncLinkedZoom(TadvancedImage* source);
  void ToggleUserLink(TadvancedImage* cell);
  // The active cell as shown, without the active and selection frames.
  QImage ActiveCellPicture(bool ownResolution) const;
  // ---- multiplanar reformation (Unit1_Mpr.cpp) ----
  QToolButton* btnMpr = nullptr;
  // Builds the volume of a series on a worker thread and shows its axial,
  // coronal and sagittal planes in three cells; a series that does not form
  // a volume is refused with the reason.
  void ShowMpr(int patient, int study, int series);
  // The active cell's series (or the series of its multiplanar view).
  void btnMprClick();

  // ---- 3D rendering (Unit1_3D.cpp) ----
  QToolButton* btn3D = nullptr;
  // Builds the volume of a series on a worker thread (coarser when the
  // memory budget cannot hold it) and shows it in 3D over the active cell; a
  // series that does not form a volume is refused with the reason. Asked
  // again while building, the build is cancelled.
  void Show3D(int patient, int study, int series);
  // The active cell's series (or the series of its multiplanar view).
  void btn3DClick();

  // ---- hanging protocols (Unit1_Hanging.cpp) ----
  // The user's protocols over the built-in ones, read at start; the file's
  // problems were shown once.
  hanging::TProtocolSet Protocols;
  // The layout the grid shows by protocol; protocol null when the grid was
  // filled without one (or the user changed it since).
  hanging::TLayout HangingLayout;
  // Lays out (patient, study), beside (priorPatient, priorStudy) when given,
  // by the best protocol that matches; false (grid untouched) when none does.
  bool ApplyHanging(int patient, int study, int priorPatient = -1, int priorStudy = -1);
  // Steps through the protocols that match (step +1 / -1), and through the
  // stages of the one shown.
  void StepProtocol(int step);
  void StepStage(int step);
  // The study the grid was last laid out for and its prior (-1: none): what
  // stepping through protocols matches against.
  int HangingPatient = -1, HangingStudy = -1, HangingPriorPatient = -1, HangingPriorStudy = -1;
  QToolButton* btnHanging = nullptr;  // the protocol commands, as a menu
  QLabel* hangingLabel = nullptr;     // the protocol and stage on display
  // After a load: the newest study of the first patient from `patient` on
  // that has images, beside its prior of the same identity, by protocol;
  // false when none matches.
  bool HangLoadedStudy(int patient);
  // Writes what the grid shows as a protocol of the user's, named by the user.
  void SaveLayoutAsProtocol();
  // The active cell and the cells scrolling with it show the same anatomy:
  // from now on the link keeps their present offset along the slice normal.
  void SetLinkOffsetHere();
  // Under a protocol, window and zoom links join only the cells it links for
  // that kind ("window", "zoom"); without one, every cell.
  bool LinkedFor(const TadvancedImage* a, const TadvancedImage* b, const char* kind) const;
  // Protocol keys (Ctrl+Page Up/Down, Ctrl+Left/Right, Ctrl+L); true when handled.
  bool HangingKey(int key, Qt::KeyboardModifiers modifiers);
  // The grid no longer shows a protocol's layout (a fill or a layout change
  // by hand); the link switches the protocol turned on go off again.
  void ForgetHanging();
  // ---- priors (Unit1_Priors.cpp) ----
  // "Compare with prior": the active cell's study beside its newest prior,
  // loaded or retrieved from an archive on demand.
  void CompareWithPrior();
  QToolButton* btnComparePrior = nullptr;  // "Compare with Prior" (Ctrl+P)
  // (patient, study) beside (priorPatient, priorStudy): by protocol when one
  // matches, else the two side by side. False (grid untouched) when either
  // study has no image.
  bool CompareStudies(int patient, int study, int priorPatient, int priorStudy);
  // The study a comparison starts from: the active cell's, else the first
  // patient's newest. False when nothing is loaded.
  bool CurrentStudy(int* patient, int* study) const;
  // (patient, study) beside its newest prior: the same patient's before a
  // partial match (which the user confirms), loaded or on an archive.
  void ComparePriorOf(int patient, int study);
  std::string PatientNameOf(int patient) const;
  std::string PatientIdOf(int patient) const;
  // Studies of the loaded patients that the configured archives hold and the
  // tree does not, from the last query after a load.
  std::vector<TArchiveStudy> ArchiveStudies;
  // Asks every configured archive for the loaded patients' other studies,
  // off the user interface thread; the browser lists them when they come.
  void QueryArchivePriors();
  bool ArchiveQueryRunning() const;
  // Retrieves an archive's study and lays it out beside (patient, study).
  void RetrieveAndCompare(const TArchiveStudy& prior, int patient, int study);
  // ---- presets of one's own (Unit1_Presets.cpp) ----
  std::vector<hanging::TUserPreset> UserPresets;
  QToolButton* btnWindowPresets = nullptr;  // "Window Presets..." in Settings
  // Reads the user's presets file; its problems are shown once.
  void LoadUserPresetsFile();
  // Stores presets as the user's (the file is written) and shows them;
  // false with the reason shown when the file cannot be written.
  bool SetUserPresets(const std::vector<hanging::TUserPreset>& presets);
  // The preset list offered for the active cell's modality: CT's built-ins
  // then the user's CT presets, or the user's presets of that modality.
  void FillPresetCombo();
  // The user's presets of the active cell's modality, in the order their
  // keys (Shift+F2 on) go.
  std::vector<hanging::TUserPreset> ActiveUserPresets() const;
  void ShowPresetsDialog();

 signals:
  void loadsFinished();
  // A volume build asked for by ShowMpr ended: its planes are shown, or not.
  void mprFinished(bool shown);
  // A volume build asked for by Show3D ended: the 3D view is shown, or not.
  void volume3DFinished(bool shown);

 public:
 protected:
  // Modal interaction, separate so that tests can answer for the user.
  virtual void ShowMessage(const QString& text);
  // filters: ";;"-separated; *chosen gets the one picked.
  virtual QString AskSaveFileName(const QString& caption, const QString& filters,
                                  QString* chosen = nullptr);
  virtual bool AskConfirmation(const QString& text);
  // Runs the cell menu at globalPos.
  virtual void ExecMenu(QMenu* menu, QPoint globalPos);
  virtual int ExecSplitScreen();
  virtual QString AskOpenFileName();
  virtual QString AskFolder();
  // Opens a report with the desktop's default application.
  virtual void OpenDocument(const QString& path);
  // The one summary of a load's skipped files and reader messages.
  virtual void ShowLoadSummary(const QString& text, const QString& details);
  // The name of a protocol to save; empty: cancelled.
  virtual QString AskProtocolName(const QString& suggestion);
  // Runs the window presets dialog; true when accepted.
  virtual bool ExecPresetsDialog(TPresetsDialog& dialog);

  bool eventFilter(QObject* watched, QEvent* event) override;
  // The window takes every drag; files and folders dropped on it open.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

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
  // The open commands and the other tools of "Manage" say what they are
  // under their icons: the first thing a new user reads.
  void LabelManageTools();
  // Draws every button's glyph and the logo in the current theme's colours.
  void ApplyIcons();
  void SetGlyph(QToolButton* button, const char* glyph);
  void ColorChanged();
  void ConnectCommands();
  void WireCell(TViewer* cell);
  void SetSelectGlyph(TViewer* cell);
  void SyncMouseToolButtons();
  // Loads image `image` of the cell's series into it; false when it is not in the tree.
  bool LoadSeriesImage(TadvancedImage* cell, int image);
  void StepImage(TadvancedImage* cell, int step);
  void StepFrame(TadvancedImage* cell, int step);

  void BuildReadingTools();
  // The browser's study menu, the load hook and the Compare with Prior button.
  void WirePriors();
  void WireReadingCell(TViewer* cell);
  // What a cell reported: the boxes and the links follow the active cell.
  void CellViewShown(TadvancedImage* cell);
  void CellImageShown(TadvancedImage* cell);
  // Writes the active cell (or its whole series) as the export filter asks.
  void ExportActiveCell(const QString& file, const QString& filter);

  void StartNextLoad();
  void SetOpenCommandsEnabled(bool enabled);
  QToolButton* BuildMprButton(QWidget* parent);
  void FillMprCells(const std::shared_ptr<TMprLink>& link);
  void MakeCellActive(TViewer* cell);
  bool FMprBuilding = false;
  QToolButton* Build3DButton(QWidget* parent);
  std::shared_ptr<std::atomic<bool>> F3DCancel;  // the 3D build under way; null when none
  // A series' volume built on a worker thread from the tree's cached frames
  // (decoding the rest) with the progress bar. `done` runs on the UI thread
  // with the volume, or null and the reason, and whether the series is still
  // in the tree as it was (a Clear Study during the build leaves nothing to
  // show it with). False when the series has no images (nothing started).
  struct TVolumeBuild {
    std::shared_ptr<TVolume> volume;
    std::string reason;
    bool stillThere = false;
  };
  bool BuildSeriesVolume(int patient, int study, int series, const QString& status,
                         std::shared_ptr<std::atomic<bool>> cancel, bool shrinkToFit,
                         std::function<void(const TVolumeBuild&)> done);
  // The volume's notes in the status line, all of them in its tooltip.
  void ShowVolumeNotes(const QString& command, const TVolume& volume);
  int FVolumeBuildSerial = 0;  // the build whose progress the bar shows
  QString LoadSummaryDetails(bool* any, const TDerivedIntake& derived) const;

  void BuildHangingTools();
  void ReportProtocolProblems();
  bool ShowHangingLayout(const hanging::TLayout& layout);
  // 1:1 and the side each fitted cell keeps to, as the layout asks; true
  // when the cell was rendered.
  bool HangCellView(TadvancedImage* cell, const hanging::TCellLayout& rule);
  void ApplyHangingViews();
  void ShowHangingStatus(const QString& text);
  // The protocol named in HangingLayout, found again after the set was re-read.
  void RefindHangingProtocol();
  bool FHangingFill = false;  // a layout is being filled: SetLayout leaves the cells alone
  int FHangingSwitches = 0;   // switches and links a protocol turned on (bits)
  std::string FHangingName, FHangingSource;  // the protocol on display

  bool FViewSyncQueued = false;  // a cell's view report waits to be mirrored
  // Parts of a wheel notch gathered from a fine-grained wheel or touch pad.
  int FWheelRest = 0;
  QElapsedTimer FWheelClock;
  bool FActivated = false;
  QStringList FPendingPaths;
  // Several paths opened at once (a drop, the command line): what single
  // files would each say in a modal box is gathered into one summary.
  bool FBatch = false;
  QStringList FBatchNotes;
  bool FFinishing = false;  // a load's grid fill waits for its turn
  QThreadPool* FRowPool;    // the outer loop of all-viewers commands
  QThreadPool* FCellPool;   // its inner loops
  QString FPresetComboFor;  // the modality the preset list was filled for
  // The running archive query for priors (Unit1_Priors.cpp).
  std::shared_ptr<struct TPriorQuery> FPriorQuery;
};
