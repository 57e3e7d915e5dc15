// The main window's reading tools: the annotation commands (clear one image,
// clear all after asking, undo), copy and PNG export, the keys of the tools
// and presets, the cell's right-click menu, the WW/WL boxes and the frame
// rate kept in step with the active cell, scrolling linked by slice position
// and linked window and zoom, and a tool area that fits a 1,024 x 768 screen.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

#include "app/DerivedPanel.h"
#include "app/SaveStates.h"
#include "app/Settings.h"
#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "dicom/dicom.h"
#include "pixels/WindowLevel.h"
#include "viewer/AdvancedImage.h"
#include "viewer/AnnotationStore.h"
#include "viewer/KeyImageStore.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"
#include "viewer/Volume3DView.h"

namespace {

// Two slice planes count as parallel within about 20 degrees.
constexpr double kParallel = 0.94;

using Vec3 = std::array<double, 3>;

double Dot(const Vec3& a, const Vec3& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Where a slice lies: its first pixel and the normal of its plane.
struct SliceGeometry {
  bool ok = false;
  Vec3 position{}, normal{};
};

SliceGeometry GeometryOf(const DICOMdata& h) {
  SliceGeometry g;
  const auto& c = h.IMAGE_ORIENTATION_PATIENT;
  const Vec3 n{c[1] * c[5] - c[2] * c[4], c[2] * c[3] - c[0] * c[5], c[0] * c[4] - c[1] * c[3]};
  const double length = std::sqrt(Dot(n, n));
  if (!(length > 0.5) || !std::isfinite(length)) return g;  // no orientation given
  for (int i = 0; i < 3; ++i) {
    g.normal[size_t(i)] = n[size_t(i)] / length;
    g.position[size_t(i)] = h.image_Postion[size_t(i)];
  }
  g.ok = std::isfinite(Dot(g.position, g.normal));
  return g;
}

// The geometry of a file whose header the tree does not hold (a DICOMDIR
// entry), read once per file.
SliceGeometry FileGeometry(const std::string& path) {
  static std::map<std::string, SliceGeometry> known;
  const auto it = known.find(path);
  if (it != known.end()) return it->second;
  DICOMdata h;
  bool hdrOK = false, imgOK = false;
  try {
    ReadDicomHeader(path, false, h, hdrOK, imgOK, [](const std::string&) {});
  } catch (...) {
    hdrOK = false;
  }
  const SliceGeometry g = hdrOK ? GeometryOf(h) : SliceGeometry{};
  known.emplace(path, g);
  return g;
}

// The geometry of every image of a cell's series, in series order.
std::vector<SliceGeometry> SeriesGeometry(const TadvancedImage& cell) {
  std::vector<std::pair<std::string, SliceGeometry>> images;
  {
    std::lock_guard lock(gPatientsMutex);
    const TSeries* series =
        SeriesAt(gPatients, cell.PatientIndex, cell.StudyIndex, cell.SeriesIndex);
    if (!series) return {};
    for (const TImg& im : series->images) {
      const bool header = !im.Cache.DICOM.referenceFile.empty();
      images.emplace_back(header ? std::string() : im.imagePath,
                          header ? GeometryOf(im.Cache.DICOM) : SliceGeometry{});
    }
  }
  std::vector<SliceGeometry> out;
  out.reserve(images.size());
  for (auto& [path, g] : images) out.push_back(path.empty() ? g : FileGeometry(path));
  return out;
}

bool SameSeries(const TadvancedImage& a, const TadvancedImage& b) {
  return a.PatientIndex == b.PatientIndex && a.StudyIndex == b.StudyIndex &&
         a.SeriesIndex == b.SeriesIndex;
}

QString Upper(const std::string& s) {
  return QString::fromStdString(s).trimmed().toUpper();
}

// The keys of the mouse tools, as shown in their hints. They call the
// commands themselves: a tab's buttons are disabled until a study is open.
struct ToolKey {
  int key;
  const char* letter;
  QToolButton* TForm1::*button;
  void (TForm1::*command)();
  ViewerAction action;
};
constexpr ToolKey kToolKeys[] = {
    {Qt::Key_P, "P", &TForm1::btnPan, &TForm1::btnPanClick, VAPan},
    {Qt::Key_Z, "Z", &TForm1::btnZoom, &TForm1::btnZoomClick, VAZoom},
    {Qt::Key_W, "W", &TForm1::btnWwWl, &TForm1::btnWwWlClick, VAWWWL},
    {Qt::Key_L, "L", &TForm1::btnDrawLine, &TForm1::btnDrawLineClick, VALine},
    {Qt::Key_M, "M", &TForm1::btnDrawMeasureLine, &TForm1::btnDrawMeasureLineClick, VAMeasureLine},
    {Qt::Key_A, "A", &TForm1::btnDrawAngle, &TForm1::btnDrawAngleClick, VAAngle},
    {Qt::Key_R, "R", &TForm1::btnDrawRect, &TForm1::btnDrawRectClick, VARectangle},
    {Qt::Key_E, "E", &TForm1::btnDrawEclipse, &TForm1::btnDrawEclipseClick, VAEllipse},
    {Qt::Key_T, "T", &TForm1::btnDrawText, &TForm1::btnDrawTextClick, VATxtLabel},
};

// The image commands the cell's menu offers, by their buttons' hints.
struct MenuCommand {
  QToolButton* TForm1::*button;
  void (TForm1::*command)();
};
constexpr MenuCommand kImageCommands[] = {
    {&TForm1::btnReset, &TForm1::btnResetClick},
    {&TForm1::btnFit, &TForm1::btnFitClick},
    {&TForm1::btnRotate, &TForm1::btnRotateClick},
    {&TForm1::btnFlipHorizontal, &TForm1::btnFlipHorizontalClick},
    {&TForm1::btnFilpVertical, &TForm1::btnFilpVerticalClick},
    {&TForm1::btnInvert, &TForm1::btnInvertClick},
    {&TForm1::btnResetWwWl, &TForm1::btnResetWwWlClick},
};

// F1 ... F12 pick the first twelve presets, Shift+F1 the thirteenth.
QString PresetKey(int index) {
  return index < 12 ? QString("F%1").arg(index + 1) : QString("Shift+F%1").arg(index - 11);
}

void AddKeyHint(QToolButton* b, const QString& key) {
  b->setToolTip(b->toolTip() + " (" + key + ")");
}

}  // namespace

bool IsCt(const TadvancedImage* c) {
  return c && c->HasImage && !c->IsByteImage() &&
         QString::fromStdString(c->gDicomData.modality).trimmed().toUpper() == "CT";
}

// ---- set-up -----------------------------------------------------------------------------

void TForm1::BuildReadingTools() {
  const auto place = [](QToolButton* after, QToolButton* b) {
    auto* row = qobject_cast<QBoxLayout*>(after->parentWidget()->layout());
    if (row) row->insertWidget(row->indexOf(after) + 1, b);
  };
  btnExportPng = NewButton(btnSave->parentWidget(), "btnExportPng", "Export PNG", "export-png");
  btnCopy = NewButton(btnSave->parentWidget(), "btnCopy", "Copy to Clipboard (Ctrl+C)", "copy");
  place(btnSave, btnExportPng);
  place(btnExportPng, btnCopy);

  btnClearAnn =
      NewButton(TabSheet3, "btnClearAnn", "Clear Annotations of This Image", "ann-clear-image");
  btnUndoAnn = NewButton(TabSheet3, "btnUndoAnn", "Undo Annotation Change (Ctrl+Z)", "undo");
  place(btnClearAllAnn, btnClearAnn);
  place(btnClearAnn, btnUndoAnn);
  btnDeleteSingleAnn->setToolTip(btnDeleteSingleAnn->toolTip() +
                                 " (Delete removes the one under the mouse)");

  btnSyncPosition = NewButton(TabSheet2, "btnSyncPosition",
                              "Synchronise Scrolling by Position (cells of one frame of reference "
                              "or linked by hand)",
                              "sync-position");
  btnLinkWwWl = NewButton(TabSheet2, "btnLinkWwWl", "Link WW/WL of Cells", "link-wwwl");
  btnLinkZoom = NewButton(TabSheet2, "btnLinkZoom", "Link Zoom of Cells", "link-zoom");
  for (auto* b : {btnSyncPosition, btnLinkWwWl, btnLinkZoom}) b->setCheckable(true);
  place(btnRotate, btnSyncPosition);
  place(btnSyncPosition, btnLinkWwWl);
  place(btnLinkWwWl, btnLinkZoom);

  for (const ToolKey& k : kToolKeys) AddKeyHint(this->*k.button, k.letter);
  // Home/End and the arrows are told with the image bar.
  QStringList presetKeys;
  for (int i = 0; i < int(kWwWlPresets.size()); ++i) {
    WwWlPresetsComboBox->setItemData(i, PresetKey(i), Qt::ToolTipRole);
    presetKeys << PresetKey(i) + " " + kWwWlPresets[size_t(i)].Name;
  }
  WwWlPresetsComboBox->setToolTip("CT presets: " + presetKeys.join(", "));
  WwWlPresetsComboBox->setPlaceholderText("Preset");
  WwWlPresetsComboBox->setCurrentIndex(-1);
  // The boxes start empty: no cell shows a window yet.
  wwTextBox->clear();
  wlTextBox->clear();
  wwTextBox->setPlaceholderText("WW");
  wlTextBox->setPlaceholderText("WL");
  wwTextBox->setToolTip("Window width: a number above 0 (with '.' for decimals); Enter applies it");
  wlTextBox->setToolTip("Window level: a number (with '.' for decimals); Enter applies it");
  WwWlPresetGrp->setVisible(true);

  auto on = [this](QToolButton* b, void (TForm1::*handler)()) {
    connect(b, &QToolButton::clicked, this, [this, handler] { (this->*handler)(); });
  };
  on(btnExportPng, &TForm1::btnExportPngClick);
  on(btnCopy, &TForm1::btnCopyClick);
  on(btnClearAnn, &TForm1::btnClearAnnClick);
  on(btnUndoAnn, &TForm1::btnUndoAnnClick);
  on(btnSyncPosition, &TForm1::btnSyncPositionClick);
  on(btnLinkWwWl, &TForm1::btnLinkWwWlClick);
  on(btnLinkZoom, &TForm1::btnLinkZoomClick);

  // Every tab scrolls sideways when the window is too narrow for its tools,
  // so the window fits a 1,024-pixel-wide screen.
  for (int i = 0; i < ToolsPageControl->count(); ++i) {
    QWidget* page = ToolsPageControl->widget(i);
    if (qobject_cast<QScrollArea*>(page)) continue;
    const QString title = ToolsPageControl->tabText(i);
    const bool enabled = ToolsPageControl->isTabEnabled(i);
    auto* scroll = new QScrollArea;
    scroll->setObjectName(page->objectName() + "Scroll");
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    ToolsPageControl->removeTab(i);
    // The tab widget enables and disables the page it holds: now the scroll area.
    page->setEnabled(true);
    scroll->setWidget(page);
    ToolsPageControl->insertTab(i, scroll, title);
    ToolsPageControl->setTabEnabled(i, enabled);
  }
  ToolsPageControl->setCurrentIndex(0);
  ToolsPageControl->setMinimumWidth(0);
  Image1->setMinimumWidth(0);
  // Room for a tab's buttons and the scroll bar under them.
  Panel_top->setFixedHeight(Panel_top->height() + 14);
  // Not larger than the screen it opens on.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QSize room = screen->availableGeometry().size();
    resize(std::min(width(), room.width()), std::min(height(), room.height()));
  }
}

void TForm1::WireReadingCell(TViewer* cell) {
  TadvancedImage* image = cell->AdvancedImage();
  // Queued: a cell reports from whichever thread rendered it, and a report
  // from the middle of a grid change is read once the grid is whole again.
  connect(
      image, &TadvancedImage::ViewShown, this, [this](TadvancedImage* c) { CellViewShown(c); },
      Qt::QueuedConnection);
  connect(
      image, &TadvancedImage::ImageShown, this, [this](TadvancedImage* c) { CellImageShown(c); },
      Qt::QueuedConnection);
  connect(image, &TadvancedImage::MenuRequested, this, [this](TadvancedImage* c, QPoint at) {
    if (c != ActiveAdvancedImage) return;
    // The right button made the grid's tool the window drag for a moment.
    MouseTool = c->Action == VAZoom ? 0 : c->Action == VAWWWL ? 2 : 1;
    SyncMouseToolButtons();
    std::unique_ptr<QMenu> menu(BuildCellMenu(c));
    ExecMenu(menu.get(), at);
  });
}

bool TForm1::AskConfirmation(const QString& text) {
  return QMessageBox::question(this, windowTitle(), text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

void TForm1::ExecMenu(QMenu* menu, QPoint globalPos) {
  menu->exec(globalPos);
}

// ---- annotations ------------------------------------------------------------------------

void TForm1::btnClearAnnClick() {
  if (ActiveAdvancedImage) ActiveAdvancedImage->ClearAnnotation();
}

void TForm1::btnClearAllAnnClick() {
  TAnnotationStore& store = TAnnotationStore::Instance();
  // The lists on display are in the store already; asked only when there is something to lose.
  if (store.Count() == 0) return;
  if (!AskConfirmation("Delete the annotations of every image?")) return;
  store.ClearAll();
}

void TForm1::btnUndoAnnClick() {
  TAnnotationStore::Instance().Undo();
}

// ---- copy and export --------------------------------------------------------------------

QImage TForm1::ActiveCellPicture(bool ownResolution) const {
  if (!ActiveAdvancedImage || !ActiveAdvancedImage->HasImage) return {};
  // A 3D view over the cell is what the user sees there.
  if (TVolume3DView* view = Volume3DOf(ActiveAdvancedImage)) return view->Snapshot();
  return ActiveAdvancedImage->Picture(ownResolution);
}

void TForm1::btnCopyClick() {
  const QImage picture = ActiveCellPicture(false);
  if (picture.isNull()) {
    ShowMessage("No Image in Current Window.");
    return;
  }
  QApplication::clipboard()->setImage(picture);
}

void TForm1::btnExportPngClick() {
  if (!ActiveAdvancedImage || !ActiveAdvancedImage->HasImage) {
    ShowMessage("No Image in Current Window.");
    return;
  }
  QString filter;
  const QString file = AskSaveFileName(
      "Export PNG",
      QStringList{kPngCellFilter, kPngOwnFilter, kPngSeriesFilter, kPngSeriesOwnFilter}.join(";;"),
      &filter);
  if (!file.isEmpty()) ExportActiveCell(file, filter.isEmpty() ? kPngCellFilter : filter);
}

void TForm1::ExportActiveCell(const QString& fileArg, const QString& filter) {
  TadvancedImage* cell = ActiveAdvancedImage;
  if (!cell || !cell->HasImage) return;
  const bool own = filter.contains("own resolution");
  const bool png = filter.contains("*.png");
  QString file = fileArg;
  const QString suffix = png ? "png" : "jpg";
  if (QFileInfo(file).suffix().isEmpty()) file += "." + suffix;
  QString error;
  const auto failed = [&](const QString& path) {
    ShowMessage("Cannot save " + QDir::toNativeSeparators(path) + ": " + error);
  };
  if (!filter.contains("series")) {
    const bool anonymous = ExportWithoutIdentity;
    if (!(png ? cell->SavePNG(file, &error, own, anonymous)
              : cell->SaveJPEG(file, &error, own, anonymous)))
      failed(file);
    return;
  }

  // Every frame of every image of the series, shown as the cell shows its
  // image (view, window, turns, annotations), through a cell of its own so
  // the one on display stays as it is.
  struct Item {
    int image, frame;
    std::string path;
  };
  std::vector<Item> items;
  {
    std::lock_guard lock(gPatientsMutex);
    const TImg* here = nullptr;
    if (const TSeries* series =
            SeriesAt(gPatients, cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex)) {
      const TImgArr& images = series->images;
      for (size_t i = 0; i < images.size(); ++i) {
        here = &images[i];
        const int frames =
            here->Cache.DICOM.referenceFile.empty() ? 0 : std::max(1, here->Cache.DICOM.XYZdim[2]);
        // Frames unknown until the file is read: 0 stands for "all of them".
        items.push_back({int(i), frames, here->imagePath});
      }
    }
  }
  if (items.empty()) items.push_back({cell->ImageIndex, 0, cell->CurrentOpenedPath});

  TadvancedImage exporter;
  exporter.resize(cell->size());
  exporter.ResizeImage();
  exporter.setShowInfo(cell->ShowInfo());
  exporter.setShowOverlay(cell->ShowOverlay());
  exporter.orientation = cell->orientation;
  exporter.Inverted = cell->Inverted;
  exporter.LockZoom(true);
  exporter.PatientIndex = cell->PatientIndex;
  exporter.StudyIndex = cell->StudyIndex;
  exporter.SeriesIndex = cell->SeriesIndex;
  const QFileInfo info(file);
  const QString base = info.dir().filePath(info.completeBaseName());
  int written = 0, total = 0;
  for (const Item& it : items) total += std::max(it.frame, 1);
  const int digits = std::max(3, int(QString::number(std::max(total, 1)).size()));
  int number = 0;
  statusLabelCount->setText("Exporting");
  // A frame that cannot be read is skipped and reported once at the end; a
  // file that cannot be written (a full disk, a folder gone) stops the export
  // at once, with one message, and the files written so far stay whole.
  QString unreadable;
  int skipped = 0;
  bool stopped = false;
  for (const Item& it : items) {
    if (stopped) break;
    exporter.ImageIndex = it.image;
    int frames = std::max(it.frame, 1);
    for (int f = 1; f <= frames; ++f) {
      ++number;
      if (!exporter.LoadFile(it.path, f)) {
        if (unreadable.isEmpty())
          unreadable = QDir::toNativeSeparators(QString::fromStdString(it.path)) + ": " +
                       QString::fromStdString(exporter.LastLoadError());
        ++skipped;
        continue;
      }
      exporter.PauseCine();
      if (it.frame == 0) frames = std::max(1, exporter.frameCount);  // now known
      exporter.DeltaWW = cell->DeltaWW;
      exporter.DeltaWL = cell->DeltaWL;
      exporter.brightness = cell->brightness;
      exporter.contrast = cell->contrast;
      exporter.createBitmap();
      exporter.Zoom(cell->zoomFactor - exporter.zoomFactor);
      exporter.Pan(cell->PanX - exporter.PanX, cell->panY - exporter.panY);
      const QString name =
          QString("%1_%2.%3").arg(base).arg(number, digits, 10, QChar('0')).arg(suffix);
      if (png ? exporter.SavePNG(name, &error, own, ExportWithoutIdentity)
              : exporter.SaveJPEG(name, &error, own, ExportWithoutIdentity)) {
        ++written;
      } else {
        failed(name);
        stopped = true;
        break;
      }
      if (number % 16 == 0) {
        statusLabelCount->setText(QString("Exported %1").arg(written));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
      }
    }
  }
  statusLabelCount->setText(QString("Exported %1 of %2").arg(written).arg(number));
  if (!stopped && skipped > 0)
    ShowMessage(QString("%1 of %2 images could not be read and were not exported; the first: %3")
                    .arg(skipped)
                    .arg(number)
                    .arg(unreadable));
}

// ---- keys -------------------------------------------------------------------------------

bool TForm1::ReadingKey(int key, Qt::KeyboardModifiers modifiers) {
  const Qt::KeyboardModifiers mods = modifiers & ~Qt::KeypadModifier;
  if (mods == Qt::ControlModifier) {
    if (key == Qt::Key_C) {
      btnCopyClick();
      return true;
    }
    if (key == Qt::Key_Z) {
      btnUndoAnnClick();
      return true;
    }
    if (key == Qt::Key_P) {
      CompareWithPrior();
      return true;
    }
    return false;
  }
  if (key >= Qt::Key_F1 && key <= Qt::Key_F12 &&
      (mods == Qt::NoModifier || mods == Qt::ShiftModifier)) {
    const int index = mods == Qt::ShiftModifier ? 12 + (key - Qt::Key_F1) : key - Qt::Key_F1;
    // The list holds CT's built-ins first, then the user's presets of the
    // cell's modality (Shift+F2 on).
    FillPresetCombo();
    const int builtIns = FPresetComboFor == "CT" ? int(kWwWlPresets.size()) : 0;
    int entry = -1;
    if (index < int(kWwWlPresets.size()))
      entry = IsCt(ActiveAdvancedImage) ? index : -1;
    else if (!ActiveUserPresets().empty())
      entry = builtIns + index - int(kWwWlPresets.size());
    if (entry < 0 || entry >= WwWlPresetsComboBox->count()) return false;
    WwWlPresetsComboBox->setCurrentIndex(entry);
    WwWlPresetsComboBoxChange();
    return true;
  }
  if (mods == Qt::ShiftModifier && key == Qt::Key_K) {
    TKeyImageStore& keys = TKeyImageStore::Instance();
    keys.SetKeyImagesOnly(!keys.KeyImagesOnly());
    return true;
  }
  if (mods != Qt::NoModifier) return false;
  switch (key) {
    case Qt::Key_Delete:
    case Qt::Key_Backspace:
      return ActiveAdvancedImage && ActiveAdvancedImage->DeleteSelectedShape();
    case Qt::Key_K:
      return ToggleKeyImage(ActiveAdvancedImage);
    case Qt::Key_Home:
    case Qt::Key_End:
      if (gLoadingInProgress || AnyViewerPreparing()) return false;
      ShowSeriesEnd(key == Qt::Key_End);
      return true;
    default:
      break;
  }
  for (const ToolKey& k : kToolKeys)
    if (k.key == key) {
      (this->*k.command)();
      return true;
    }
  return false;
}

void TForm1::ShowSeriesEnd(bool last) {
  TadvancedImage* cell = ActiveAdvancedImage;
  if (!cell || !cell->HasImage) return;
  const int images = cell->ImagesInSeries();
  if (images <= 0) return;
  cell->PauseCine();
  const int target = last ? images - 1 : 0;
  if (target != cell->ImageIndex) LoadSeriesImage(cell, target);
  update_ReferenceLines();
}

// ---- the cell's menu --------------------------------------------------------------------

QMenu* TForm1::BuildCellMenu(TadvancedImage* cell) {
  auto* menu = new QMenu(this);
  menu->setObjectName("cellMenu");
  const auto add = [&](QMenu* into, const QString& text, auto&& run, bool enabled = true) {
    QAction* a = into->addAction(QString(text).replace("&", "&&"));  // "WW & WL" is no shortcut
    a->setEnabled(enabled);
    connect(a, &QAction::triggered, this, run);
    return a;
  };
  const bool image = cell->HasImage;
  for (const ToolKey& k : kToolKeys) {
    QAction* a = add(menu, (this->*k.button)->toolTip(), [this, k] { (this->*k.command)(); });
    a->setCheckable(true);
    a->setChecked(cell->Action == k.action);
    if (k.action == VAWWWL) menu->addSeparator();  // the mouse tools, then the drawing ones
  }
  const bool overShape =
      cell->SelectedShapeIndex >= 0 && cell->SelectedShapeIndex < int(cell->Shapes.size());
  add(
      menu, "Delete This Annotation (Delete)",
      [this] {
        if (ActiveAdvancedImage) ActiveAdvancedImage->DeleteSelectedShape();
      },
      overShape);
  add(
      menu, btnClearAnn->toolTip(), [this] { btnClearAnnClick(); }, !cell->Shapes.empty());
  add(
      menu, "Clear All Annotations...", [this] { btnClearAllAnnClick(); },
      TAnnotationStore::Instance().Count() > 0);
  add(
      menu, "Undo Annotation Change (Ctrl+Z)", [this] { btnUndoAnnClick(); },
      TAnnotationStore::Instance().CanUndo());
  menu->addSeparator();
  for (const MenuCommand& m : kImageCommands)
    add(
        menu, (this->*m.button)->toolTip(), [this, m] { (this->*m.command)(); }, image);
  if (image) {
    // The entries the preset list holds for this cell: CT's built-ins and
    // the user's presets of its modality.
    FillPresetCombo();
    QMenu* presets = menu->addMenu("WW/WL Presets");
    if (IsCt(cell) || !ActiveUserPresets().empty())
      for (int i = 0; i < WwWlPresetsComboBox->count(); ++i)
        add(presets,
            WwWlPresetsComboBox->itemText(i) + "\t" +
                WwWlPresetsComboBox->itemData(i, Qt::ToolTipRole).toString(),
            [this, i] {
              WwWlPresetsComboBox->setCurrentIndex(i);
              WwWlPresetsComboBoxChange();
            });
    presets->addSeparator();
    add(presets, "Window Presets\u2026", [this] { ShowPresetsDialog(); });
  }
  if (cell->CanPlayCine())
    add(menu, cell->InCineMode ? "Pause Cine" : "Play Cine", [cell] {
      if (cell->InCineMode)
        cell->PauseCine();
      else
        cell->PlayCine();
    });
  menu->addSeparator();
  add(
      menu, "Copy to Clipboard (Ctrl+C)", [this] { btnCopyClick(); }, image);
  add(
      menu, "Export PNG...", [this] { btnExportPngClick(); }, image);
  add(
      menu, "Save As JPEG...", [this] { btnSaveClick(); }, image);
  QAction* anonymous = add(
      menu, "Leave Name and ID Out of JPEG and PNG",
      [this] { ExportWithoutIdentity = !ExportWithoutIdentity; }, image);
  anonymous->setCheckable(true);
  anonymous->setChecked(ExportWithoutIdentity);
  menu->addSeparator();
  QAction* link = add(
      menu, "Link This Cell for Synchronised Scrolling", [this, cell] { ToggleUserLink(cell); },
      image);
  link->setCheckable(true);
  link->setChecked(UserLinkOf(cell) != nullptr);
  add(
      menu, "Set Link Offset Here (Ctrl+L)", [this] { SetLinkOffsetHere(); },
      image && UserLinks.size() > 1);
  add(
      menu, "Display Dicom File Info", [this] { showPatInfoButtonClick(); }, image);
  add(
      menu, showTagsButton->toolTip(), [this] { showTagsButtonClick(); }, image);
  AddStateMenuEntries(menu, cell, this);
  AddDerivedPanelEntry(menu, DerivedPanel);
  return menu;
}

// ---- the boxes in step with the active cell -----------------------------------------------

void TForm1::CellViewShown(TadvancedImage*) {
  // Many cells may report at once (a drag over the grid): mirrored once.
  if (FViewSyncQueued) return;
  FViewSyncQueued = true;
  QTimer::singleShot(0, this, [this] {
    FViewSyncQueued = false;
    SyncWindowBoxes();
    if (btnLinkWwWl->isChecked()) SyncLinkedWindow(ActiveAdvancedImage);
    if (btnLinkZoom->isChecked()) SyncLinkedZoom(ActiveAdvancedImage);
  });
}

void TForm1::SyncWindowBoxes() {
  const TadvancedImage* c = ActiveAdvancedImage;
  // Every image takes a typed window; an 8-bit or colour one shows no values
  // until it has one (it is shown through brightness and contrast).
  const bool image = c && c->HasImage;
  const bool window = image && (!c->IsByteImage() || c->ByteWindowOn());
  for (QLineEdit* box : {wwTextBox, wlTextBox}) {
    box->setEnabled(image);
    // What the user is typing stays until Enter.
    if (box->hasFocus() && box->isModified()) continue;
    // As many decimals as the data's values need.
    const double unit = c && !c->IsByteImage() ? c->windowUnit : 1.0;
    box->setText(window ? QString::fromStdString(FormatWindowValue(
                              box == wwTextBox ? c->windowWidth : c->windowLevel, unit))
                        : QString());
    box->setModified(false);
  }
  FillPresetCombo();
  const bool presets = IsCt(c) || !ActiveUserPresets().empty();
  WwWlPresetsComboBox->setEnabled(presets);
  int preset = -1;
  const auto same = [](double a, double b) {
    return std::abs(a - b) <= 1e-9 * std::max(1.0, std::abs(b));
  };
  if (presets)
    for (int i = 0; i < WwWlPresetsComboBox->count(); ++i) {
      const QVariantList p = WwWlPresetsComboBox->itemData(i).toList();
      if (p.size() == 3 && same(c->windowWidth, p[0].toDouble()) &&
          same(c->windowLevel, p[1].toDouble()))
        preset = i;
    }
  if (WwWlPresetsComboBox->currentIndex() != preset) {
    const QSignalBlocker quiet(WwWlPresetsComboBox);
    WwWlPresetsComboBox->setCurrentIndex(preset);
  }
  // The frame rate the active cell plays at, on the nearest mark of the bar.
  if (c) {
    const int rate = int(c->CineFrameRate());
    size_t nearest = 0;
    for (size_t i = 1; i < kFrameRates.size(); ++i)
      if (std::abs(kFrameRates[i] - rate) < std::abs(kFrameRates[nearest] - rate)) nearest = i;
    const QSignalBlocker quiet(trkFrameRate);
    trkFrameRate->setValue(int(nearest) + 1);
    trkFrameRate->setToolTip(QString::number(rate) + " FPS");
    frameRateLabel->setText("Frame Rate: " + QString::number(rate) + " FPS");
  }
}

// ---- linked cells -----------------------------------------------------------------------

std::vector<TadvancedImage*> TForm1::LinkedCells(const TadvancedImage* source) const {
  std::vector<TadvancedImage*> out;
  if (!source || !source->HasImage) return out;
  const std::string& frame = source->gDicomData.Frame_Of_Reference_UID;
  const bool sourceByHand = UserLinkOf(source) != nullptr;
  for (const auto& row : AdvancedImages)
    for (TadvancedImage* c : row) {
      // Cells of the same series would all jump to one slice.
      if (!c || c == source || !c->HasImage || SameSeries(*c, *source)) continue;
      const bool sameFrame = !frame.empty() && c->gDicomData.Frame_Of_Reference_UID == frame;
      if (sameFrame || (sourceByHand && UserLinkOf(c))) out.push_back(c);
    }
  return out;
}

void TForm1::SyncLinkedPositions(TadvancedImage* source) {
  if (!source || !source->HasImage || source->IsCine()) return;
  const SliceGeometry s = GeometryOf(source->gDicomData);
  if (!s.ok) return;
  bool moved = false;
  for (TadvancedImage* t : LinkedCells(source)) {
    if (t->IsCine() || t->PreparingImage) continue;  // frames of one image are no stack of slices
    const SliceGeometry g = GeometryOf(t->gDicomData);
    if (!g.ok) continue;
    const double along = Dot(s.normal, g.normal);
    if (std::fabs(along) < kParallel) continue;  // crossing planes have no nearest slice
    const std::string& frame = source->gDicomData.Frame_Of_Reference_UID;
    double wanted;
    if (!frame.empty() && frame == t->gDicomData.Frame_Of_Reference_UID) {
      wanted = Dot(g.normal, s.position);
    } else {
      // Linked by hand across frames of reference: keep the offset they had when linked.
      const double *from = UserLinkOf(source), *to = UserLinkOf(t);
      if (!from || !to) continue;
      wanted = *to + (along < 0 ? -1 : 1) * (Dot(s.normal, s.position) - *from);
    }
    const std::vector<SliceGeometry> slices = SeriesGeometry(*t);
    int best = -1;
    double bestDistance = 0;
    for (size_t i = 0; i < slices.size(); ++i) {
      const SliceGeometry& q = slices[i];
      if (!q.ok || std::fabs(Dot(q.normal, g.normal)) < kParallel) continue;
      const double d = std::fabs(Dot(g.normal, q.position) - wanted);
      if (best < 0 || d < bestDistance) {
        best = int(i);
        bestDistance = d;
      }
    }
    if (best < 0 || best == t->ImageIndex) continue;
    t->PauseCine();
    moved = LoadSeriesImage(t, best) || moved;
  }
  if (moved) update_ReferenceLines();
}

void TForm1::CellImageShown(TadvancedImage* cell) {
  if (DerivedPanel && cell == ActiveAdvancedImage) DerivedPanel->Follow();
  if (!btnSyncPosition->isChecked() || gLoadingInProgress || cell != ActiveAdvancedImage) return;
  SyncLinkedPositions(cell);
}

const double* TForm1::UserLinkOf(const TadvancedImage* cell) const {
  for (const auto& [linked, at] : UserLinks)
    if (linked && linked.data() == cell) return &at;
  return nullptr;
}

void TForm1::ToggleUserLink(TadvancedImage* cell) {
  if (!cell) return;
  const auto gone = [cell](const auto& link) { return !link.first || link.first.data() == cell; };
  const bool wasLinked = UserLinkOf(cell) != nullptr;
  UserLinks.erase(std::remove_if(UserLinks.begin(), UserLinks.end(), gone), UserLinks.end());
  if (wasLinked) return;
  const SliceGeometry g = GeometryOf(cell->gDicomData);
  UserLinks.emplace_back(cell, g.ok ? Dot(g.normal, g.position) : 0.0);
}

void TForm1::SyncLinkedWindow(TadvancedImage* source) {
  if (!source || !source->HasImage || source->IsByteImage()) return;
  const QString modality = Upper(source->gDicomData.modality);
  const double ww = source->windowWidth, wl = source->windowLevel;
  for (auto& row : AdvancedImages)
    for (TadvancedImage* c : row) {
      // A window means the same only to images of the same kind.
      if (!c || c == source || !c->HasImage || c->IsByteImage()) continue;
      if (Upper(c->gDicomData.modality) != modality || !LinkedFor(source, c, "window")) continue;
      if (c->windowWidth == ww && c->windowLevel == wl) continue;
      c->SetWwWl(ww, wl);
      c->createBitmap();
      c->RenderViewer();
    }
}

void TForm1::SyncLinkedZoom(TadvancedImage* source) {
  if (!source || !source->HasImage) return;
  // One scale on screen: the same millimetres per screen pixel.
  const auto spacing = [](const TadvancedImage* c) {
    const double s = c->gDicomData.XYZmm[0];
    return s > 0 && std::isfinite(s) ? s : 1.0;
  };
  const double from = spacing(source);
  for (auto& row : AdvancedImages)
    for (TadvancedImage* c : row) {
      if (!c || c == source || !c->HasImage || !LinkedFor(source, c, "zoom")) continue;
      const double z = std::round(source->zoomFactor * spacing(c) / from);
      const int zoom = int(std::clamp(z, 1.0, 1e6));
      if (zoom != c->zoomFactor) c->Zoom(zoom - c->zoomFactor);
    }
}

void TForm1::btnSyncPositionClick() {
  if (btnSyncPosition->isChecked()) SyncLinkedPositions(ActiveAdvancedImage);
}

void TForm1::btnLinkWwWlClick() {
  if (btnLinkWwWl->isChecked()) SyncLinkedWindow(ActiveAdvancedImage);
}

void TForm1::btnLinkZoomClick() {
  if (btnLinkZoom->isChecked()) SyncLinkedZoom(ActiveAdvancedImage);
}
