#include "app/Unit1.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QShortcut>
#include <QSlider>
#include <QTabWidget>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <clocale>

#include "app/About.h"
#include "app/ColorBox.h"
#include "app/DerivedPanel.h"
#include "app/ExportDialog.h"
#include "app/FrameCacheSetting.h"
#include "app/PatientInfo.h"
#include "app/Receiver.h"
#include "app/SaveStates.h"
#include "app/SendDialog.h"
#include "app/Settings.h"
#include "app/SplitScreen.h"
#include "app/StartHint.h"
#include "app/StudyLoader.h"
#include "app/TagBrowser.h"
#include "app/ThumbnailsToolUnit.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"
#include "viewer/Volume3DView.h"

#ifndef TAVROLEN_VERSION
#define TAVROLEN_VERSION "1.0"
#endif
#ifndef TAVROLEN_APP_ID
#define TAVROLEN_APP_ID "org.tavrolen.Viewer"
#endif

namespace {

constexpr int kToolButtonSide = 40;
constexpr int kToolIconSide = 28;

QFrame* Separator(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::VLine);
  line->setFrameShadow(QFrame::Sunken);
  return line;
}

QHBoxLayout* TabRow(QWidget* tab) {
  auto* row = new QHBoxLayout(tab);
  row->setContentsMargins(6, 4, 6, 4);
  row->setSpacing(4);
  return row;
}

QGroupBox* Group(const QString& title, QWidget* parent) {
  auto* g = new QGroupBox(title, parent);
  g->setObjectName(title);
  return g;
}

}  // namespace

void InitApplicationNames() {
  QCoreApplication::setApplicationName("Tavrolen Viewer, Brenvo");
  QCoreApplication::setApplicationVersion(TAVROLEN_VERSION);
}

void InitApplication() {
  InitApplicationNames();
  // The installed desktop entry's id (Wayland matches windows to it) and the
  // icon compiled in, so the window shows it wherever the program runs from.
  QGuiApplication::setDesktopFileName(TAVROLEN_APP_ID);
  QApplication::setWindowIcon(icons::Application());
  // Numbers are written and read with "." everywhere: Qt's default locale and
  // the C library's numeric category (which QApplication set from the user's
  // environment).
  QLocale::setDefault(QLocale::c());
  std::setlocale(LC_NUMERIC, "C");
  themes::Apply(themes::kGlossy);
}

QString MainWindowCaption() {
  return QString("Tavrolen Viewer, Brenvo ") + TAVROLEN_VERSION;
}

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
  setObjectName("Form1");
  setWindowTitle(MainWindowCaption());
  setAcceptDrops(true);
  resize(1268, 721);

  auto* central = new QWidget(this);
  central->setObjectName("central");
  setCentralWidget(central);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  // ---- tool area ----
  Panel_top = new QWidget(central);
  Panel_top->setObjectName("Panel_top");
  Panel_top->setFixedHeight(103);
  auto* top = new QHBoxLayout(Panel_top);
  top->setContentsMargins(2, 2, 2, 2);
  top->setSpacing(4);
  ToolsPageControl = new QTabWidget(Panel_top);
  ToolsPageControl->setObjectName("ToolsPageControl");
  ToolsPageControl->setDocumentMode(true);
  top->addWidget(ToolsPageControl, 1);
  Image1 = new QLabel(Panel_top);
  Image1->setObjectName("Image1");
  Image1->setFixedWidth(224);
  Image1->setAlignment(Qt::AlignCenter);
  Image1->setToolTip(MainWindowCaption() + "\n" + kLicenceNotice);  // the About text
  top->addWidget(Image1);
  column->addWidget(Panel_top);

  BuildManageTab();
  BuildImageProcessingTab();
  BuildAnnotationTab();
  BuildCineTab();
  BuildSettingsTab();
  ToolsPageControl->setTabEnabled(1, false);
  ToolsPageControl->setTabEnabled(2, false);
  ToolsPageControl->setCurrentIndex(0);

  BuildWorkArea(central);
  column->addWidget(Panel_back, 1);
  BuildAppBar(central);
  DerivedPanel = AddDerivedPanelDock(*this, [this] { return ActiveAdvancedImage; });

  // Remaining start-up state.
  gRestrictedLoad = false;
  gProcessAllViewers = true;
  gShowReferenceLines = true;
  gLockZoom = true;
  gLockWwWl = true;
  MouseTool = 1;

  // Standard shortcuts: open an image and quit.
  auto* open = new QShortcut(QKeySequence::Open, this);
  connect(open, &QShortcut::activated, btnOpenFile, &QToolButton::click);
  auto* quit = new QShortcut(QKeySequence::Quit, this);
  connect(quit, &QShortcut::activated, this, [this] { btnExitClick(); });

  FRowPool = new QThreadPool(this);
  FRowPool->setMaxThreadCount(3);  // at most three rows
  FCellPool = new QThreadPool(this);
  FCellPool->setMaxThreadCount(std::max(2, QThread::idealThreadCount()));

  Loader = new TStudyLoad(this);
  connect(Loader, &TStudyLoad::listed, this,
          [this](const QStringList& files) { PreviewFiles(files); });
  connect(Loader, &TStudyLoad::progress, this,
          [this](int done, int total) { ShowProgress(done, total); });
  connect(Loader, &TStudyLoad::finished, this, [this] { FinishLoading(); });

  SplitScreenForm = new TSplitScreenForm(this);
  PatientInfoForm = new TPatientInfoForm(this);
  TagBrowserForm = new TTagBrowserForm(this);

  // A series double-clicked in the browser shows in the active cell, whose
  // plane the other cells are cut with (drops are wired with each cell).
  ThumbnailsTool->ActiveImage = [this] { return ActiveAdvancedImage; };
  ThumbnailsTool->Message = [this](const QString& text) { ShowMessage(text); };
  ThumbnailsTool->SeriesMenu.push_back([this](QMenu& menu, int p, int st, int se) {
    bool images = false;
    {
      std::lock_guard lock(gPatientsMutex);
      const TSeries* series = SeriesAt(gPatients, p, st, se);
      images = series && !series->images.empty();
    }
    // A series of documents only has no volume to reformat.
    if (images) menu.addAction("MPR", this, [this, p, st, se] { ShowMpr(p, st, se); });
    if (images) menu.addAction("3D", this, [this, p, st, se] { Show3D(p, st, se); });
    AddExportActions(menu, this, p, st, se);
  });
  ThumbnailsTool->SeriesMenu.push_back(
      [this](QMenu& menu, int p, int st, int se) { AddSendActions(menu, this, p, st, se); });
  connect(ThumbnailsTool, &TThumbnailsTool::SeriesShown, this, [this] { update_ReferenceLines(); });
  connect(ThumbnailsTool, &TThumbnailsTool::PathsDropped, this,
          [this](const QStringList& paths) { OpenPaths(paths); });
  ReferenceLinesHandler.OnMessage = [this](const QString& text) { ShowMessage(text); };

  BuildReadingTools();
  WirePriors();
  LoadUserPresetsFile();
  BuildHangingTools();
  LabelManageTools();
  ConnectCommands();
  ApplyIcons();
  allViewersPanel->installEventFilter(this);
  qApp->installEventFilter(this);
  // The grid exists from the start, so commands always have an active cell;
  // the panel's first resize lays it out to size.
  SetLayout(1, 1);
  UpdateStartHint();
}

void TForm1::LabelManageTools() {
  const std::pair<QToolButton*, const char*> labels[] = {{btnOpenFile, "Image"},
                                                         {btnOpenFolder, "Folder"},
                                                         {btnOpenDicomDir, "CD"},
                                                         {btnPacs, "PACS"},
                                                         {btnSave, "JPEG"},
                                                         {btnExportPng, "PNG"},
                                                         {btnCopy, "Copy"},
                                                         {btnSplitScreen, "Split"},
                                                         {SpeedButton2, "2 \u00d7 2"},
                                                         {SpeedButton3, "1 \u00d7 2"},
                                                         {SpeedButton4, "1 \u00d7 1"},
                                                         {btnHanging, "Protocol"},
                                                         {btnComparePrior, "Prior"},
                                                         {btnProcessAllViewers, "Mode"},
                                                         {btnClearTree, "Clear"},
                                                         {showPatInfoButton, "Info"},
                                                         {showTagsButton, "Tags"},
                                                         {btnExit, "Exit"}};
  for (const auto& [b, text] : labels) {
    if (!b) continue;
    b->setText(QString::fromUtf8(text));
    b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    b->setFixedSize(54, 56);
    b->setIconSize(QSize(24, 24));
  }
}

void TForm1::ConnectCommands() {
  auto on = [this](QToolButton* b, void (TForm1::*handler)()) {
    connect(b, &QToolButton::clicked, this, [this, handler] { (this->*handler)(); });
  };
  on(btnOpenFile, &TForm1::btnOpenFileClick);
  on(btnOpenFolder, &TForm1::btnOpenFolderClick);
  on(btnOpenDicomDir, &TForm1::btnOpenDicomDirClick);
  on(btnPacs, &TForm1::btnPacsClick);
  on(btnClearTree, &TForm1::btnClearTreeClick);
  on(btnCancelLoading, &TForm1::btnCancelLoadingClick);
  connect(reportsListView, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item) { reportsListViewDblClick(item); });
  on(btnSplitScreen, &TForm1::btnSplitScreenClick);
  on(SpeedButton2, &TForm1::SpeedButton2Click);
  on(SpeedButton3, &TForm1::SpeedButton3Click);
  on(SpeedButton4, &TForm1::SpeedButton4Click);
  on(btnProcessAllViewers, &TForm1::btnProcessAllViewersClick);
  on(showPatInfoButton, &TForm1::showPatInfoButtonClick);
  on(showTagsButton, &TForm1::showTagsButtonClick);
  on(btnSave, &TForm1::btnSaveClick);
  on(btnFlipHorizontal, &TForm1::btnFlipHorizontalClick);
  on(btnFilpVertical, &TForm1::btnFilpVerticalClick);
  on(btnInvert, &TForm1::btnInvertClick);
  on(btnWwWl, &TForm1::btnWwWlClick);
  on(btnPan, &TForm1::btnPanClick);
  on(btnReset, &TForm1::btnResetClick);
  on(btnFit, &TForm1::btnFitClick);
  on(btnZoom, &TForm1::btnZoomClick);
  on(btnResetWwWl, &TForm1::btnResetWwWlClick);
  on(btnLockZoom, &TForm1::btnLockZoomClick);
  on(btnLockWwWl, &TForm1::btnLockWwWlClick);
  on(btnRotate, &TForm1::btnRotateClick);
  on(btnDeleteSingleAnn, &TForm1::btnDeleteSingleAnnClick);
  on(btnClearAllAnn, &TForm1::btnClearAllAnnClick);
  on(btnDrawText, &TForm1::btnDrawTextClick);
  on(btnDrawAngle, &TForm1::btnDrawAngleClick);
  on(btnDrawEclipse, &TForm1::btnDrawEclipseClick);
  on(btnDrawRect, &TForm1::btnDrawRectClick);
  on(btnDrawLine, &TForm1::btnDrawLineClick);
  on(btnDrawMeasureLine, &TForm1::btnDrawMeasureLineClick);
  on(btnPrevFrame, &TForm1::btnPrevFrameClick);
  on(btnPauseCine, &TForm1::btnPauseCineClick);
  on(btnPlayCine, &TForm1::btnPlayCineClick);
  on(btnNextFrame, &TForm1::btnNextFrameClick);
  connect(CheckBox_show_information, &QCheckBox::clicked, this,
          [this] { CheckBox_show_informationClick(); });
  connect(CheckBox_show_overlay, &QCheckBox::clicked, this,
          [this] { CheckBox_show_overlayClick(); });
  connect(CheckBox_show_reference_lines, &QCheckBox::clicked, this,
          [this] { CheckBox_show_reference_linesClick(); });
  connect(WwWlPresetsComboBox, &QComboBox::activated, this,
          [this] { WwWlPresetsComboBoxChange(); });
  connect(wwTextBox, &QLineEdit::returnPressed, this, [this] { wwTextBoxKeyPress(); });
  connect(wlTextBox, &QLineEdit::returnPressed, this, [this] { wwTextBoxKeyPress(); });
}

TForm1::~TForm1() {
  qApp->removeEventFilter(this);
}

QToolButton* TForm1::NewButton(QWidget* parent, const char* objectName, const QString& hint,
                               const char* glyph) {
  auto* b = new QToolButton(parent);
  b->setObjectName(objectName);
  b->setToolTip(hint);
  b->setAccessibleName(hint);
  b->setFixedSize(kToolButtonSide, kToolButtonSide);
  b->setIconSize(QSize(kToolIconSide, kToolIconSide));
  b->setFocusPolicy(Qt::NoFocus);
  b->setProperty("glyph", QString(glyph));
  return b;
}

void TForm1::BuildManageTab() {
  TabSheet1 = new QWidget;
  TabSheet1->setObjectName("TabSheet1");
  auto* row = TabRow(TabSheet1);

  Panel1 = new QFrame(TabSheet1);
  Panel1->setObjectName("Panel1");
  auto* files = new QHBoxLayout(Panel1);
  files->setContentsMargins(0, 0, 0, 0);
  files->setSpacing(4);
  btnOpenFile = NewButton(Panel1, "btnOpenFile", "Open Image", "open-image");
  btnOpenFolder = NewButton(Panel1, "btnOpenFolder", "Open Folder", "open-folder");
  btnOpenDicomDir = NewButton(Panel1, "btnOpenDicomDir", "Open CD Dicom Dir", "open-cd");
  btnPacs = NewButton(Panel1, "btnPacs", "PACS: Search and Retrieve", "pacs");
  btnSave = NewButton(Panel1, "btnSave", "Save As JPEG", "save-jpeg");
  for (auto* b : {btnOpenFile, btnOpenFolder, btnOpenDicomDir, btnPacs, btnSave})
    files->addWidget(b);
  row->addWidget(Panel1);
  row->addWidget(Separator(TabSheet1));

  btnSplitScreen = NewButton(TabSheet1, "btnSplitScreen", "Split Screen", "split-screen");
  SpeedButton2 = NewButton(TabSheet1, "SpeedButton2", "2 \u00d7 2", "layout-2x2");
  SpeedButton3 = NewButton(TabSheet1, "SpeedButton3", "1 \u00d7 2", "layout-1x2");
  SpeedButton4 = NewButton(TabSheet1, "SpeedButton4", "1 \u00d7 1", "layout-1x1");
  btnComparePrior = NewButton(TabSheet1, "btnComparePrior",
                              "Compare with Prior: this study beside the patient's newest "
                              "older one (Ctrl+P)",
                              "compare-prior");
  for (auto* b : {btnSplitScreen, SpeedButton2, SpeedButton3, SpeedButton4, btnComparePrior})
    row->addWidget(b);
  row->addWidget(Separator(TabSheet1));

  btnProcessAllViewers =
      NewButton(TabSheet1, "btnProcessAllViewers", "Process Single Viewer", "process-all");
  btnClearTree = NewButton(TabSheet1, "btnClearTree", "Clear Study", "clear-study");
  showPatInfoButton = NewButton(TabSheet1, "showPatInfoButton", "Display Dicom File Info", "info");
  showTagsButton = NewButton(TabSheet1, "showTagsButton", "Display All DICOM Tags", "tags");
  for (auto* b : {btnProcessAllViewers, btnClearTree, showPatInfoButton, showTagsButton})
    row->addWidget(b);
  row->addWidget(Separator(TabSheet1));
  btnExit = NewButton(TabSheet1, "btnExit", "Exit", "exit");
  row->addWidget(btnExit);
  row->addStretch(1);
  connect(btnExit, &QToolButton::clicked, this, [this] { btnExitClick(); });

  ToolsPageControl->addTab(TabSheet1, "Manage");
}

void TForm1::BuildImageProcessingTab() {
  TabSheet2 = new QWidget;
  TabSheet2->setObjectName("TabSheet2");
  auto* row = TabRow(TabSheet2);
  btnFlipHorizontal = NewButton(TabSheet2, "btnFlipHorizontal", "Flip Horizontally", "flip-h");
  btnFilpVertical = NewButton(TabSheet2, "btnFilpVertical", "Flip Vertically", "flip-v");
  btnInvert = NewButton(TabSheet2, "btnInvert", "Invert Image", "invert");
  btnWwWl = NewButton(TabSheet2, "btnWwWl", "WW & WL", "wwwl");
  btnPan = NewButton(TabSheet2, "btnPan", "Pan", "pan");
  btnReset = NewButton(TabSheet2, "btnReset", "Reset Image", "reset");
  btnFit = NewButton(TabSheet2, "btnFit", "Fit Image", "fit");
  btnZoom = NewButton(TabSheet2, "btnZoom", "Zoom", "zoom");
  btnResetWwWl = NewButton(TabSheet2, "btnResetWwWl", "Reset WW/WL", "reset-wwwl");
  btnLockZoom = NewButton(TabSheet2, "btnLockZoom", "Lock Zoom", "lock-zoom-locked");
  btnLockWwWl = NewButton(TabSheet2, "btnLockWwWl", "Lock WW & WL", "lock-wwwl-locked");
  btnRotate = NewButton(TabSheet2, "btnRotate", "Rotate Clockwise", "rotate");
  // The three mouse tools show which one the grid's drags use.
  for (auto* b : {btnWwWl, btnPan, btnZoom}) b->setCheckable(true);
  btnPan->setChecked(true);
  for (auto* b : {btnFlipHorizontal, btnFilpVertical, btnInvert, btnWwWl, btnPan, btnReset, btnFit,
                  btnZoom, btnResetWwWl, btnLockZoom, btnLockWwWl, btnRotate})
    row->addWidget(b);
  row->addWidget(BuildMprButton(TabSheet2));
  row->addWidget(Build3DButton(TabSheet2));
  row->addWidget(Separator(TabSheet2));

  WwWlPresetGrp = Group("WW/WL Presets", TabSheet2);
  WwWlPresetGrp->setObjectName("WwWlPresetGrp");
  auto* g = new QGridLayout(WwWlPresetGrp);
  g->setContentsMargins(6, 2, 6, 2);
  g->setHorizontalSpacing(4);
  g->setVerticalSpacing(2);
  WwWlPresetsComboBox = new QComboBox(WwWlPresetGrp);
  WwWlPresetsComboBox->setObjectName("WwWlPresetsComboBox");
  for (const auto& preset : kWwWlPresets) WwWlPresetsComboBox->addItem(preset.Name);
  WwWlPresetsComboBox->setCurrentIndex(0);
  g->addWidget(WwWlPresetsComboBox, 0, 0, 1, 4);
  wwTextBox = new QLineEdit("000", WwWlPresetGrp);
  wwTextBox->setObjectName("wwTextBox");
  wlTextBox = new QLineEdit("000", WwWlPresetGrp);
  wlTextBox->setObjectName("wlTextBox");
  for (auto* e : {wwTextBox, wlTextBox}) e->setFixedWidth(64);
  g->addWidget(new QLabel("WW", WwWlPresetGrp), 1, 0);
  g->addWidget(wwTextBox, 1, 1);
  g->addWidget(new QLabel("WL", WwWlPresetGrp), 1, 2);
  g->addWidget(wlTextBox, 1, 3);
  row->addWidget(WwWlPresetGrp);
  row->addStretch(1);

  ToolsPageControl->addTab(TabSheet2, "Image Processing");
}

void TForm1::BuildAnnotationTab() {
  TabSheet3 = new QWidget;
  TabSheet3->setObjectName("TabSheet3");
  auto* row = TabRow(TabSheet3);
  btnDeleteSingleAnn =
      NewButton(TabSheet3, "btnDeleteSingleAnn", "Delete Selected Annotation", "ann-delete");
  btnClearAllAnn = NewButton(TabSheet3, "btnClearAllAnn", "Clear All Annotations", "ann-clear");
  btnDrawText = NewButton(TabSheet3, "btnDrawText", "Draw Text", "draw-text");
  btnDrawAngle = NewButton(TabSheet3, "btnDrawAngle", "Draw Angle", "draw-angle");
  btnDrawEclipse = NewButton(TabSheet3, "btnDrawEclipse", "Draw Ellipse", "draw-ellipse");
  btnDrawRect = NewButton(TabSheet3, "btnDrawRect", "Draw Rectangle", "draw-rect");
  btnDrawLine = NewButton(TabSheet3, "btnDrawLine", "Draw Line", "draw-line");
  btnDrawMeasureLine =
      NewButton(TabSheet3, "btnDrawMeasureLine", "Draw Measurement Line", "draw-measure");
  btnDeleteSingleAnn->setCheckable(true);  // shows the delete mode
  for (auto* b : {btnDeleteSingleAnn, btnClearAllAnn, btnDrawText, btnDrawAngle, btnDrawEclipse,
                  btnDrawRect, btnDrawLine, btnDrawMeasureLine})
    row->addWidget(b);
  row->addWidget(Separator(TabSheet3));

  ShowHideGrp = Group("Show/Hide", TabSheet3);
  auto* g = new QHBoxLayout(ShowHideGrp);
  g->setContentsMargins(8, 2, 8, 2);
  CheckBox_show_information = new QCheckBox("Information", ShowHideGrp);
  CheckBox_show_information->setObjectName("CheckBox_show_information");
  CheckBox_show_overlay = new QCheckBox("Overlay", ShowHideGrp);
  CheckBox_show_overlay->setObjectName("CheckBox_show_overlay");
  CheckBox_show_reference_lines = new QCheckBox("Reference lines", ShowHideGrp);
  CheckBox_show_reference_lines->setObjectName("CheckBox_show_reference_lines");
  for (auto* c :
       {CheckBox_show_information, CheckBox_show_overlay, CheckBox_show_reference_lines}) {
    c->setChecked(true);
    g->addWidget(c);
  }
  row->addWidget(ShowHideGrp);
  row->addStretch(1);

  ToolsPageControl->addTab(TabSheet3, "Image Annotation");
}

void TForm1::BuildCineTab() {
  TabSheet4 = new QWidget;
  TabSheet4->setObjectName("TabSheet4");
  auto* row = TabRow(TabSheet4);
  btnPrevFrame = NewButton(TabSheet4, "btnPrevFrame", "Previous Frame", "prev-frame");
  btnPauseCine = NewButton(TabSheet4, "btnPauseCine", "Pause Cine", "pause");
  btnPlayCine = NewButton(TabSheet4, "btnPlayCine", "Play Cine", "play");
  btnNextFrame = NewButton(TabSheet4, "btnNextFrame", "Next Frame", "next-frame");
  for (auto* b : {btnPrevFrame, btnPauseCine, btnPlayCine, btnNextFrame}) row->addWidget(b);
  row->addWidget(Separator(TabSheet4));

  auto* rate = new QWidget(TabSheet4);
  auto* v = new QVBoxLayout(rate);
  v->setContentsMargins(4, 0, 4, 0);
  v->setSpacing(2);
  frameRateLabel = new QLabel("Frame Rate: 15 FPS", rate);
  frameRateLabel->setObjectName("frameRateLabel");
  trkFrameRate = new QSlider(Qt::Horizontal, rate);
  trkFrameRate->setObjectName("trkFrameRate");
  trkFrameRate->setRange(1, 9);
  trkFrameRate->setPageStep(1);
  trkFrameRate->setValue(5);
  trkFrameRate->setTickPosition(QSlider::TicksBelow);
  trkFrameRate->setTickInterval(1);
  trkFrameRate->setFixedWidth(180);
  trkFrameRate->setToolTip("15 FPS");
  v->addWidget(frameRateLabel);
  v->addWidget(trkFrameRate);
  row->addWidget(rate);
  row->addStretch(1);
  connect(trkFrameRate, &QSlider::valueChanged, this, [this] { trkFrameRateChange(); });

  ToolsPageControl->addTab(TabSheet4, "Cine Player");
}

void TForm1::BuildSettingsTab() {
  Settings = new QWidget;
  Settings->setObjectName("Settings");
  auto* row = TabRow(Settings);

  auto* theme = Group("Theme", Settings);
  auto* tl = new QVBoxLayout(theme);
  tl->setContentsMargins(6, 2, 6, 2);
  themesComboBox = new QComboBox(theme);
  themesComboBox->setObjectName("themesComboBox");
  themesComboBox->addItems(themes::Names());
  themesComboBox->setCurrentText(themes::kGlossy);
  tl->addWidget(themesComboBox);
  row->addWidget(theme);
  connect(themesComboBox, &QComboBox::currentIndexChanged, this,
          [this] { themesComboBoxChange(); });

  const TSettings& s = gSettings();
  auto picker = [&](const QString& title, const char* name, const QColor& initial,
                    void (TForm1::*handler)()) {
    auto* g = Group(title, Settings);
    auto* l = new QVBoxLayout(g);
    l->setContentsMargins(6, 2, 6, 2);
    auto* box = new TColorBox(g);
    box->setObjectName(name);
    box->setSelected(initial);
    l->addWidget(box);
    row->addWidget(g);
    connect(box, &TColorBox::colorChanged, this, [this, handler] { (this->*handler)(); });
    return box;
  };
  annColorComboBox = picker("Annotation Color", "annColorComboBox", s.AnnotationColor,
                            &TForm1::annColorComboBoxChange);
  lblColorComboBox = picker("Label Color", "lblColorComboBox", s.AnnotationLabelColor,
                            &TForm1::lblColorComboBoxChange);
  infoColorComboBox = picker("Info Color", "infoColorComboBox", s.InformationColor,
                             &TForm1::infoColorComboBoxChange);
  rulerColorComboBox =
      picker("Ruler Color", "rulerColorComboBox", s.RulerColor, &TForm1::rulerColorComboBoxChange);
  rlColorComboBox = picker("Ref. Lines Color", "rlColorComboBox", s.ReferenceLinesColor,
                           &TForm1::rlColorComboBoxChange);
  olColorComboBox =
      picker("Overlay Color", "olColorComboBox", s.OverlayColor, &TForm1::olColorComboBoxChange);
  auto* presets = Group("Window Presets", Settings);
  auto* pl = new QVBoxLayout(presets);
  pl->setContentsMargins(6, 2, 6, 2);
  btnWindowPresets = NewButton(presets, "btnWindowPresets",
                               "Window Presets\u2026: add, rename and remove presets of your own "
                               "for each modality",
                               "window-presets");
  pl->addWidget(btnWindowPresets);
  row->addWidget(presets);
  connect(btnWindowPresets, &QToolButton::clicked, this, [this] { ShowPresetsDialog(); });
  row->addWidget(PresentationStateSetting(Settings));
  row->addWidget(new TFrameCacheSetting(Settings));
  Receiver = new TReceiver(this, Settings);
  row->addWidget(Receiver);
  row->addStretch(1);

  ToolsPageControl->addTab(Settings, "Settings");
}

void TForm1::BuildWorkArea(QWidget* central) {
  Panel_back = new QWidget(central);
  Panel_back->setObjectName("Panel_back");
  auto* back = new QHBoxLayout(Panel_back);
  back->setContentsMargins(0, 0, 0, 0);
  back->setSpacing(0);

  thumbnailsPanel = new QWidget(Panel_back);
  thumbnailsPanel->setObjectName("thumbnailsPanel");
  thumbnailsPanel->setFixedWidth(200);
  auto* col = new QVBoxLayout(thumbnailsPanel);
  col->setContentsMargins(0, 0, 0, 0);
  col->setSpacing(0);
  thumbnailsHost = new QWidget(thumbnailsPanel);
  thumbnailsHost->setObjectName("thumbnailsHost");
  auto* host = new QVBoxLayout(thumbnailsHost);
  host->setContentsMargins(0, 0, 0, 0);
  ThumbnailsTool = new TThumbnailsTool(thumbnailsHost);
  host->addWidget(ThumbnailsTool);
  col->addWidget(thumbnailsHost, 1);

  reportsListView = new QTreeWidget(thumbnailsPanel);
  reportsListView->setObjectName("reportsListView");
  reportsListView->setFixedHeight(112);
  reportsListView->setColumnCount(2);
  reportsListView->setHeaderLabels({"Patient", "Report"});
  reportsListView->setColumnWidth(0, 80);
  reportsListView->setColumnWidth(1, 90);
  reportsListView->setRootIsDecorated(false);
  reportsListView->setIndentation(8);
  reportsListView->hide();
  col->addWidget(reportsListView);

  statusBarPanel = new QWidget(thumbnailsPanel);
  statusBarPanel->setObjectName("statusBarPanel");
  statusBarPanel->setFixedHeight(73);
  auto* status = new QVBoxLayout(statusBarPanel);
  status->setContentsMargins(4, 4, 4, 4);
  status->setSpacing(2);
  statusLabelCount = new QLabel("Ready", statusBarPanel);
  statusLabelCount->setObjectName("statusLabelCount");
  statusLabelCount->setAlignment(Qt::AlignCenter);
  statusLabelCount->setWordWrap(true);
  status->addWidget(statusLabelCount, 1);
  auto* progressRow = new QHBoxLayout;
  progressRow->setSpacing(2);
  loadDicomProgressBar = new QProgressBar(statusBarPanel);
  loadDicomProgressBar->setObjectName("loadDicomProgressBar");
  loadDicomProgressBar->setRange(0, 100);
  loadDicomProgressBar->setTextVisible(false);
  loadDicomProgressBar->setFixedHeight(18);
  loadDicomProgressBar->setStyleSheet(
      "QProgressBar { border: 1px solid #8a9aab; border-radius: 3px; background: #f4f7fa; }"
      "QProgressBar::chunk { background: rgb(166, 202, 240); }");
  loadDicomProgressBar->hide();
  btnCancelLoading = new QToolButton(statusBarPanel);
  btnCancelLoading->setObjectName("btnCancelLoading");
  btnCancelLoading->setToolTip("Cancel Loading");
  btnCancelLoading->setFixedSize(48, 22);
  btnCancelLoading->setIconSize(QSize(16, 16));
  btnCancelLoading->setProperty("glyph", QString("cancel"));
  btnCancelLoading->hide();
  progressRow->addWidget(loadDicomProgressBar, 1);
  progressRow->addWidget(btnCancelLoading);
  status->addLayout(progressRow);
  col->addWidget(statusBarPanel);
  back->addWidget(thumbnailsPanel);

  allViewersPanel = new QWidget(Panel_back);
  allViewersPanel->setObjectName("allViewersPanel");
  allViewersPanel->setFocusPolicy(Qt::ClickFocus);
  allViewersPanel->setAutoFillBackground(true);
  QPalette p = allViewersPanel->palette();
  p.setColor(QPalette::Window, Qt::black);
  allViewersPanel->setPalette(p);
  back->addWidget(allViewersPanel, 1);

  StartHint = new TStartHint(allViewersPanel);
  connect(StartHint, &TStartHint::openFolder, this, [this] { btnOpenFolderClick(); });
  connect(StartHint, &TStartHint::openDicomDir, this, [this] { btnOpenDicomDirClick(); });
  connect(StartHint, &TStartHint::openImage, this, [this] { btnOpenFileClick(); });
  connect(StartHint, &TStartHint::showDemo, this, [this] { ShowDemoStudy(); });
}

void TForm1::BuildAppBar(QWidget* central) {
  AppBar = new QWidget(central);
  AppBar->setObjectName("AppBar");
  AppBar->setAttribute(Qt::WA_StyledBackground);
  AppBar->setAutoFillBackground(true);
  auto* row = new QHBoxLayout(AppBar);
  row->setContentsMargins(8, 6, 12, 6);
  row->addStretch(1);
  CloseButton = new QToolButton(AppBar);
  CloseButton->setObjectName("CloseButton");
  CloseButton->setToolTip("Close");
  CloseButton->setAutoRaise(true);
  CloseButton->setFixedSize(60, 60);
  CloseButton->setIconSize(QSize(52, 52));
  CloseButton->setProperty("glyph", QString("close"));
  row->addWidget(CloseButton);
  AppBar->hide();
  connect(CloseButton, &QToolButton::clicked, this, [this] { CloseButtonClick(); });
}

void TForm1::SetGlyph(QToolButton* button, const char* glyph) {
  button->setProperty("glyph", QString(glyph));
  button->setIcon(icons::Make(glyph, themes::IconPalette(themes::Current())));
}

void TForm1::ApplyIcons() {
  const icons::TIconPalette palette = themes::IconPalette(themes::Current());
  for (auto* b : findChildren<QToolButton*>()) {
    const QString glyph = b->property("glyph").toString();
    if (!glyph.isEmpty()) b->setIcon(icons::Make(glyph, palette));
  }
  Image1->setPixmap(icons::Logo(palette, QSize(220, 95)));
}

// ---- window-level handlers ----------------------------------------------------

void TForm1::FormResize() {
  // A narrow window gives the logo's room to the tools.
  Image1->setVisible(width() >= 1200);
  QWidget* c = centralWidget();
  AppBar->setGeometry(0, c->height() - 75, c->width(), 75);
}

bool TForm1::FormKeyDown(int key, Qt::KeyboardModifiers modifiers) {
  if (key == Qt::Key_Escape && modifiers == Qt::NoModifier) {
    AppBar->setVisible(!AppBar->isVisible());
    if (AppBar->isVisible()) AppBar->raise();
    return true;
  }
  // Keys belong to the focused control when it uses them itself.
  QWidget* focus = QApplication::focusWidget();
  if (focus && (qobject_cast<QLineEdit*>(focus) || qobject_cast<QComboBox*>(focus) ||
                qobject_cast<QAbstractSlider*>(focus) || qobject_cast<QAbstractItemView*>(focus) ||
                qobject_cast<QAbstractSpinBox*>(focus)))
    return false;
  if (HangingKey(key, modifiers)) return true;
  if (ReadingKey(key, modifiers)) return true;
  if (modifiers & ~Qt::KeypadModifier) return false;
  return StepActiveCell(key);
}

void TForm1::CloseButtonClick() {
  QApplication::quit();
}

void TForm1::btnExitClick() {
  close();
}

void TForm1::themesComboBoxChange() {
  if (themes::Apply(themesComboBox->currentText())) ApplyIcons();
}

void TForm1::ColorChanged() {
  // The other cells take the colour at their next redraw.
  if (ActiveAdvancedImage) ActiveAdvancedImage->RenderViewer();
}

void TForm1::annColorComboBoxChange() {
  gSettings().AnnotationColor = annColorComboBox->Selected();
  ColorChanged();
}
void TForm1::lblColorComboBoxChange() {
  gSettings().AnnotationLabelColor = lblColorComboBox->Selected();
  ColorChanged();
}
void TForm1::infoColorComboBoxChange() {
  gSettings().InformationColor = infoColorComboBox->Selected();
  ColorChanged();
}
void TForm1::rulerColorComboBoxChange() {
  gSettings().RulerColor = rulerColorComboBox->Selected();
  ColorChanged();
}
void TForm1::rlColorComboBoxChange() {
  gSettings().ReferenceLinesColor = rlColorComboBox->Selected();
  ColorChanged();
}
void TForm1::olColorComboBoxChange() {
  gSettings().OverlayColor = olColorComboBox->Selected();
  ColorChanged();
}

void TForm1::ActivateToolsTab(int index) {
  // A tab still disabled (nothing loaded yet) would show greyed-out tools.
  if (index < 0 || index >= ToolsPageControl->count() || !ToolsPageControl->isTabEnabled(index))
    return;
  ToolsPageControl->setCurrentIndex(index);
}

// ---- events ---------------------------------------------------------------------

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == allViewersPanel && event->type() == QEvent::Resize) {
    allViewersPanelResize();
    UpdateStartHint();
    return false;
  }
  if (!watched->isWidgetType()) return false;
  auto* widget = static_cast<QWidget*>(watched);
  if (event->type() == QEvent::MouseButtonRelease && !gProcessAllViewers &&
      qobject_cast<TadvancedImage*>(widget))
    allViewersPanelMouseUp(static_cast<QMouseEvent*>(event)->button());
  // A 3D view turns and zooms with its own keys and wheel.
  if (Volume3DAround(widget)) {
    if (event->type() == QEvent::Wheel) return false;
    if (event->type() == QEvent::KeyPress) {
      auto* ke = static_cast<QKeyEvent*>(event);
      if (TVolume3DView::UsesKey(ke->key(), ke->modifiers())) return false;
    }
  }
  // The window sees keys before its controls, but only its own.
  if (event->type() == QEvent::KeyPress && widget->window() == this) {
    auto* ke = static_cast<QKeyEvent*>(event);
    if (FormKeyDown(ke->key(), ke->modifiers())) return true;
  }
  // The wheel steps images over the grid; elsewhere (thumbnails, lists) it scrolls.
  if (event->type() == QEvent::Wheel &&
      (widget == allViewersPanel || allViewersPanel->isAncestorOf(widget))) {
    FormMouseWheel(static_cast<QWheelEvent*>(event)->angleDelta().y());
    return true;
  }
  return false;
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  event->acceptProposedAction();
}

void TForm1::dragMoveEvent(QDragMoveEvent* event) {
  event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
  event->acceptProposedAction();
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  // Opened as the matching command would, after any load under way.
  if (!paths.isEmpty()) OpenPaths(paths);
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FormResize();
}

void TForm1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // A window shown behind another one, or on a display without a window
  // manager, may not become active for a long time: the first show counts too.
  if (!FActivated) QTimer::singleShot(0, this, [this] { FormActivate(); });
}
