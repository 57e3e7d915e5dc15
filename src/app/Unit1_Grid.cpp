// The viewer grid of the main window: layouts, filling the cells from the
// study tree, the active and selected cells, wheel and track-bar stepping and
// drags forwarded to every selected cell in the all-viewers mode.
#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QSlider>
#include <QThread>
#include <QToolButton>
#include <QtConcurrent/QtConcurrentMap>
#include <algorithm>
#include <numeric>

#include "app/DerivedPanel.h"
#include "app/SaveStates.h"
#include "app/Settings.h"
#include "app/SplitScreen.h"
#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

namespace {

constexpr int kMoveThreshold = 4;     // zoom and pan
constexpr int kWindowThreshold = 10;  // window; also its sensitivity
constexpr int kWheelThreshold = 100;  // a smaller delta is part of a notch
constexpr int kWheelNotch = 120;
constexpr int kWheelGatherMs = 300;  // parts further apart are not one gesture

// The path of an image of the tree; empty when that position is not in it.
std::string ImagePath(int patient, int study, int series, int image) {
  std::lock_guard lock(gPatientsMutex);
  const TImg* im = ImageAt(gPatients, patient, study, series, image);
  return im ? im->imagePath : std::string();
}

}  // namespace

// ---- layout ----------------------------------------------------------------------

void TForm1::WireCell(TViewer* cell) {
  // The image control passes releases on only in the all-viewers mode; the
  // grid needs them in both (the mouse tool returns to panning).
  cell->AdvancedImage()->installEventFilter(this);
  connect(cell, &TViewer::MouseDown, this,
          [this](TViewer* c, Qt::MouseButton b, Qt::KeyboardModifiers, QPoint pos) {
            allViewersPanelMouseDown(c, b, pos);
          });
  connect(cell, &TViewer::MouseMove, this,
          [this](TViewer* c, Qt::MouseButtons, Qt::KeyboardModifiers, QPoint pos) {
            singleViewerMouseMove(c, pos);
          });
  connect(cell, &TViewer::MouseUp, this,
          [this](TViewer*, Qt::MouseButton b, Qt::KeyboardModifiers, QPoint) {
            allViewersPanelMouseUp(b);
          });
  connect(cell, &TViewer::TrackBarChange, this,
          [this](TViewer* c, int) { ViewerTrackBarChange(c); });
  connect(cell, &TViewer::CineTrackBarChange, this,
          [this](TViewer* c, int) { ViewerCineTrackBarChange(c); });
  connect(cell, &TViewer::CinePanelClick, this, [this](TViewer* c) { ViewerCinePanelClick(c); });
  connect(cell, &TViewer::SelectButtonClick, this,
          [this](TViewer* c) { ViewerSelectButtonClick(c); });
  // A series dropped from the browser, or an image or cine step moving on to
  // another image, changes what the lines are drawn from or onto. A cell
  // stepping on a pool thread reaches this queued, on the UI thread.
  connect(cell->AdvancedImage(), &TadvancedImage::SeriesDropped, this,
          [this] { update_ReferenceLines(); });
  connect(cell->AdvancedImage(), &TadvancedImage::ImageShown, this,
          [this] { update_ReferenceLines(); });
  connect(cell->AdvancedImage(), &TadvancedImage::ImageRefused, this,
          [this](TadvancedImage*, const QString& path, const QString& reason) {
            ReportRefusedImage(path, reason);
          });
  WireReadingCell(cell);
  WatchPresentationStates(cell->AdvancedImage());
}

void TForm1::ReportRefusedImage(const QString& path, const QString& reason) {
  if (refusedImages.contains(path)) return;
  refusedImages.push_back(path);
  statusLabelCount->setText("Cannot show " + QFileInfo(path).fileName());
  statusLabelCount->setToolTip(path + ": " + reason);
}

void TForm1::SetSelectGlyph(TViewer* cell) {
  // The select button sits on the cell's dark panel whatever the theme.
  icons::TIconPalette onDark = themes::IconPalette(themes::kTurquoiseGray);
  onDark.accent = QColor(0x2e, 0x9b, 0xf0);
  cell->SelectButton->setIcon(
      icons::Make(cell->Selected ? "cell-selected" : "cell-unselected", onDark));
  cell->SelectButton->setToolTip(cell->Selected ? "Selected" : "Not Selected");
}

void TForm1::SetLayout(int a, int b) {
  a = std::clamp(a, 1, 3);
  b = std::clamp(b, 1, 3);
  const size_t oldRows = Viewers.size();
  const size_t oldCols = oldRows ? Viewers[0].size() : 0;
  const bool keptSize =
      a == CurrentRows && b == CurrentCols && oldRows == size_t(a) && oldCols == size_t(b);

  auto destroy = [this](size_t r, size_t c) {
    TViewer*& v = Viewers[r][c];
    if (!v) return;
    if (v == ActiveViewer) {
      ActiveViewer = nullptr;
      ActiveAdvancedImage = nullptr;
    }
    delete v;  // owns its image control
    v = nullptr;
    AdvancedImages[r][c] = nullptr;
  };
  // Columns from the right, then rows from the bottom.
  for (size_t r = 0; r < Viewers.size(); ++r)
    for (size_t c = Viewers[r].size(); c-- > size_t(b);) destroy(r, c);
  CurrentCols = b;
  for (size_t r = Viewers.size(); r-- > size_t(a);)
    for (size_t c = 0; c < Viewers[r].size(); ++c) destroy(r, c);
  CurrentRows = a;
  Viewers.resize(size_t(a));
  AdvancedImages.resize(size_t(a));
  for (int k = 0; k < a; ++k) {
    Viewers[size_t(k)].resize(size_t(b), nullptr);
    AdvancedImages[size_t(k)].resize(size_t(b), nullptr);
  }

  const int w = allViewersPanel->width() / b;
  const int h = allViewersPanel->height() / a;
  for (int k = 0; k < a; ++k)
    for (int l = 0; l < b; ++l) {
      TViewer*& cell = Viewers[size_t(k)][size_t(l)];
      if (!cell) {
        cell = new TViewer(allViewersPanel);
        // In the single mode only the clicked cell is selected.
        cell->Selected = gProcessAllViewers;
        WireCell(cell);
        SetSelectGlyph(cell);
        cell->SelectButton->setVisible(gProcessAllViewers);
        AdvancedImages[size_t(k)][size_t(l)] = cell->AdvancedImage();
        AdvancedImages[size_t(k)][size_t(l)]->setShowInfo(CheckBox_show_information->isChecked());
        AdvancedImages[size_t(k)][size_t(l)]->setShowOverlay(CheckBox_show_overlay->isChecked());
        AdvancedImages[size_t(k)][size_t(l)]->LockZoom(gLockZoom);
        AdvancedImages[size_t(k)][size_t(l)]->LockWwWl(gLockWwWl);
        AdvancedImages[size_t(k)][size_t(l)]->setCineFrameRate(
            unsigned(kFrameRates[size_t(std::clamp(trkFrameRate->value(), 1, 9) - 1)]));
        cell->show();
      }
      cell->setGeometry(w * l, h * k, w, h);
      TadvancedImage* image = AdvancedImages[size_t(k)][size_t(l)];
      try {
        image->FitImage();
      } catch (...) {
      }
      cell->Tag = k * b + l;
      cell->Row = k;
      cell->Col = l;
      image->setSelected(cell->Selected);
    }

  bool anyActive = false;
  for (auto& row : AdvancedImages)
    for (TadvancedImage* image : row) anyActive = anyActive || image->Active();
  if (!anyActive || !ActiveAdvancedImage) {
    for (auto& row : AdvancedImages)
      for (TadvancedImage* image : row)
        if (image->Active()) image->setActive(false);
    AdvancedImages[0][0]->setActive(true);
    ActiveAdvancedImage = AdvancedImages[0][0];
    ActiveViewer = Viewers[0][0];
    LastActiveRow = LastActiveCol = 0;
  }
  // In the single mode the selected cell is the active one ([0][0] on a
  // fresh grid), wherever it is.
  if (!gProcessAllViewers)
    for (auto& row : AdvancedImages)
      for (TadvancedImage* image : row) image->setSelected(image == ActiveAdvancedImage);

  // A protocol's layout fills the cells itself.
  if (FHangingFill) return;
  if (keptSize && lastLoadingMode == gRestrictedLoad && !gForceRefill) return;
  // A refill asked for by "Clear Study" is done once.
  gForceRefill = false;
  FillViewers();
}

void TForm1::allViewersPanelResize() {
  gForceRefill = false;
  SetLayout(CurrentRows, CurrentCols);
  // The cells were fitted to their new size; a protocol's 1:1 and sides hold.
  if (HangingLayout.protocol) ApplyHangingViews();
}

void TForm1::SpeedButton2Click() {
  if (gLoadingInProgress) return;
  rows = 2;
  cols = 2;
  SetLayout(rows, cols);
}

void TForm1::SpeedButton3Click() {
  if (gLoadingInProgress) return;
  rows = 1;
  cols = 2;
  SetLayout(rows, cols);
}

void TForm1::SpeedButton4Click() {
  if (gLoadingInProgress) return;
  rows = 1;
  cols = 1;
  SetLayout(rows, cols);
}

void TForm1::btnSplitScreenClick() {
  if (gLoadingInProgress) return;
  if (ExecSplitScreen() != QDialog::Accepted) return;
  rows = SplitScreenForm->Rows;
  cols = SplitScreenForm->Cols;
  SetLayout(rows, cols);
}

int TForm1::ExecSplitScreen() {
  return SplitScreenForm->exec();
}

// ---- filling ---------------------------------------------------------------------

void TForm1::FillViewers() {
  if (gLoadingInProgress) return;
  ForgetHanging();
  // The first study's series, as image paths; read under the lock, loaded without it.
  std::vector<std::vector<std::string>> series;
  {
    std::lock_guard lock(gPatientsMutex);
    if (gPatients.empty() || gPatients[0].studies.empty()) return;
    for (const TSeries& s : gPatients[0].studies[0].serieses) {
      std::vector<std::string> paths;
      // A DICOMDIR keeps presentation-state series in the tree (the browser
      // hides them); they hold no picture for a cell.
      if (QString::fromStdString(s.modality).trimmed().toLower() != "pr")
        for (const TImg& im : s.images) paths.push_back(im.imagePath);
      series.push_back(std::move(paths));
    }
  }
  lastLoadingMode = gRestrictedLoad;

  // Shows image i of series s, or in one-series-per-cell mode the first of
  // its images from i on that decodes; a cell that shows none says why.
  auto show = [&series](TadvancedImage* cell, int s, int i, bool firstThatDecodes) {
    // A cine still running from the cell's last image would go on ticking,
    // and later steps would hunt for multi-frame images; cines restart below.
    cell->PauseCine();
    cell->PatientIndex = 0;
    cell->StudyIndex = 0;
    cell->SeriesIndex = s;
    const std::vector<std::string>& paths = series[size_t(s)];
    std::string why;
    for (size_t k = size_t(i); k < paths.size(); ++k) {
      cell->ImageIndex = int(k);
      if (cell->LoadFile(paths[k], 1)) {
        cell->FitImage();
        return;
      }
      if (why.empty()) why = cell->LastLoadError();
      if (!firstThatDecodes) break;
    }
    cell->Clear();  // not the last image under a position that names another
    cell->ShowFailure(why);
  };
  try {
    if (gRestrictedLoad) {
      // One series per cell; cells beyond the last series are emptied.
      std::vector<int> shown;
      for (size_t s = 0; s < series.size(); ++s)
        if (!series[s].empty()) shown.push_back(int(s));
      size_t n = 0;
      for (int k = 0; k < CurrentRows; ++k)
        for (int l = 0; l < CurrentCols; ++l, ++n) {
          TadvancedImage* cell = AdvancedImages[size_t(k)][size_t(l)];
          if (n < shown.size())
            show(cell, shown[n], 0, true);
          else
            cell->Clear();
        }
    } else {
      // Consecutive images through the series; the last one repeats.
      std::vector<std::pair<int, int>> order;
      for (size_t s = 0; s < series.size(); ++s)
        for (size_t i = 0; i < series[s].size(); ++i) order.emplace_back(int(s), int(i));
      size_t next = 0;
      for (int k = 0; k < CurrentRows; ++k)
        for (int l = 0; l < CurrentCols; ++l) {
          TadvancedImage* cell = AdvancedImages[size_t(k)][size_t(l)];
          if (order.empty()) {
            cell->Clear();
            continue;
          }
          const auto [s, i] = order[std::min(next++, order.size() - 1)];
          show(cell, s, i, false);
        }
    }

    // Cines play; the tool tab stays the one the user chose.
    for (auto& row : AdvancedImages)
      for (TadvancedImage* cell : row)
        if (cell->HasImage && cell->IsCine()) cell->PlayCine();
  } catch (...) {
    // A fill that fails leaves what it managed to show.
  }
  update_ReferenceLines();
}

// ---- active and selected cells ------------------------------------------------

void TForm1::allViewersPanelMouseDown(TViewer* sender, Qt::MouseButton button, QPoint pos) {
  if (!sender) return;
  gAllViewersMouseDown = bool(gProcessAllViewers);  // renders use the fast stretch meanwhile
  MousePos = LastMousePos = pos + sender->pos();
  if (button == Qt::RightButton)
    MouseTool = 2;
  else if (button == Qt::MiddleButton)
    MouseTool = 0;
  SyncMouseToolButtons();

  TadvancedImage* clicked = nullptr;
  for (int k = 0; k < CurrentRows; ++k)
    for (int l = 0; l < CurrentCols; ++l) {
      TViewer* cell = Viewers[size_t(k)][size_t(l)];
      TadvancedImage* image = AdvancedImages[size_t(k)][size_t(l)];
      if (cell == sender) {
        clicked = image;
        ActiveViewer = cell;
        ActiveAdvancedImage = image;
        if (!image->Active()) image->setActive(true);
        if (!gProcessAllViewers && !image->Selected()) image->setSelected(true);
      } else {
        if (image->Active()) image->setActive(false);
        image->Action = VAPan;
        if (!gProcessAllViewers && image->Selected()) image->setSelected(false);
      }
    }
  if (!clicked) return;
  if (DerivedPanel) DerivedPanel->Follow();
  btnDeleteSingleAnn->setChecked(clicked->inDeleteMode);
  // In the single mode a cell drags with its own tool, and every cell but the
  // active one was set back to panning: the tool buttons show the clicked one's.
  if (!gProcessAllViewers && button == Qt::LeftButton) {
    if (clicked->Action == VAZoom)
      MouseTool = 0;
    else if (clicked->Action == VAWWWL)
      MouseTool = 2;
    else if (clicked->Action == VAPan)
      MouseTool = 1;
    SyncMouseToolButtons();
  }
  if (sender->Row != LastActiveRow || sender->Col != LastActiveCol) {
    LastActiveRow = sender->Row;
    LastActiveCol = sender->Col;
    update_ReferenceLines();
  }
  update_ReferenceLines();
}

void TForm1::allViewersPanelMouseUp(Qt::MouseButton button) {
  gAllViewersMouseDown = false;
  if (button == Qt::RightButton || button == Qt::MiddleButton) {
    MouseTool = 1;
    SyncMouseToolButtons();
  }
  // Back to the averaging stretch everywhere.
  for (auto& row : AdvancedImages)
    for (TadvancedImage* image : row) image->RenderViewer();
}

void TForm1::singleViewerMouseMove(TViewer* sender, QPoint pos) {
  if (!sender) return;
  allViewersPanelMouseMove(pos + sender->pos());
}

void TForm1::allViewersPanelMouseMove(QPoint pos) {
  // In the single mode the cell handles its own drags.
  if (!gProcessAllViewers || !gAllViewersMouseDown || !ActiveAdvancedImage) return;
  MousePos = pos;
  const int X = pos.x(), Y = pos.y();
  const int lastX = LastMousePos.x(), lastY = LastMousePos.y();
  std::function<void(TadvancedImage*)> op;
  switch (MouseTool) {
    case 0:
      if (std::abs(lastY - Y) > kMoveThreshold)
        op = [d = lastY - Y](TadvancedImage* c) { c->Zoom(d); };
      break;
    case 1:
      if (std::abs(lastX - X) > kMoveThreshold || std::abs(lastY - Y) > kMoveThreshold)
        op = [dx = X - lastX, dy = Y - lastY](TadvancedImage* c) { c->Pan(dx, dy); };
      break;
    case 2:
      if (std::abs(lastX - X) > kWindowThreshold || std::abs(lastY - Y) > kWindowThreshold)
        op = [dx = X - lastX, dy = Y - lastY](TadvancedImage* c) {
          c->WwWL(dx, dy, kWindowThreshold);
        };
      break;
    default:
      break;
  }
  if (!op) return;
  LastMousePos = pos;
  if (ActiveAdvancedImage->Selected())
    ForSelectedCells(op);
  else
    op(ActiveAdvancedImage);
}

void TForm1::ViewerSelectButtonClick(TViewer* sender) {
  if (!sender) return;
  sender->Selected = !sender->Selected;
  SetSelectGlyph(sender);
  sender->AdvancedImage()->setSelected(sender->Selected);
}

void TForm1::btnProcessAllViewersClick() {
  gProcessAllViewers = !gProcessAllViewers;
  const bool multi = gProcessAllViewers;
  gAllViewersMouseDown = false;
  MouseTool = 1;
  SyncMouseToolButtons();
  for (int k = 0; k < CurrentRows; ++k)
    for (int l = 0; l < CurrentCols; ++l) {
      TViewer* cell = Viewers[size_t(k)][size_t(l)];
      TadvancedImage* image = AdvancedImages[size_t(k)][size_t(l)];
      cell->Selected = multi;
      image->setSelected(multi);
      image->setActive(false);
      cell->SelectButton->setVisible(multi);
      SetSelectGlyph(cell);
    }
  if (!multi) AdvancedImages[0][0]->setSelected(true);
  AdvancedImages[0][0]->setActive(true);
  ActiveAdvancedImage = AdvancedImages[0][0];
  ActiveViewer = Viewers[0][0];
  LastActiveRow = LastActiveCol = 0;
  statusLabelCount->setText(multi ? "Multi" : "Single");
  btnProcessAllViewers->setToolTip(multi ? "Process Current Viewer Only" : "Process All Viewers");
  SetGlyph(btnProcessAllViewers, multi ? "process-all" : "process-single");
}

// ---- stepping ---------------------------------------------------------------------

bool TForm1::AnyViewerPreparing() const {
  for (const auto& row : AdvancedImages)
    for (const TadvancedImage* image : row)
      if (image->PreparingImage) return true;
  return false;
}

bool TForm1::LoadSeriesImage(TadvancedImage* cell, int image) {
  const std::string path =
      ImagePath(cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex, image);
  if (path.empty()) return false;
  const int previous = cell->ImageIndex;
  cell->ImageIndex = image;
  if (!cell->LoadFile(path, 1)) {
    cell->ImageIndex = previous;
    return false;
  }
  return true;
}

void TForm1::StepImage(TadvancedImage* cell, int step) {
  if (!cell || !cell->HasImage) return;
  if (step > 0)
    cell->NextImage();
  else
    cell->PrevImage();
}

void TForm1::StepFrame(TadvancedImage* cell, int step) {
  if (!cell || !cell->HasImage) return;
  cell->PauseCine();
  if (step > 0)
    cell->NextFrame();
  else
    cell->PrevFrame();
}

void TForm1::FormMouseWheel(int delta) {
  if (gLoadingInProgress || !allViewersPanel->isVisible()) return;
  if (std::abs(delta) < kWheelThreshold) {
    // Fine-grained wheels and touch pads send a notch in parts: one part
    // alone does nothing, a whole notch of them in one direction steps once.
    if (delta == 0) return;
    const bool sameWay = FWheelRest != 0 && (delta < 0) == (FWheelRest < 0);
    if (!sameWay || !FWheelClock.isValid() || FWheelClock.elapsed() > kWheelGatherMs)
      FWheelRest = 0;
    FWheelRest += delta;
    FWheelClock.restart();
    if (std::abs(FWheelRest) < kWheelNotch) return;
    delta = FWheelRest;
  }
  FWheelRest = 0;
  if (AnyViewerPreparing()) return;
  allViewersPanel->setFocus();
  const int step = delta < 0 ? 1 : -1;
  if (gProcessAllViewers) {
    for (auto& row : AdvancedImages)
      for (TadvancedImage* cell : row)
        // The planes of a multiplanar view share a crosshair: only the one
        // worked in moves, or every notch would move it in all three directions.
        if (cell->HasImage && cell->Selected() && !cell->PreparingImage &&
            (!cell->IsMpr() || cell == ActiveAdvancedImage)) {
          cell->PauseCine();
          StepImage(cell, step);
        }
  } else {
    StepImage(ActiveAdvancedImage, step);
  }
  update_ReferenceLines();
}

bool TForm1::StepActiveCell(int key) {
  // As the wheel: no stepping while a load is filing into the tree.
  if (gLoadingInProgress || !ActiveAdvancedImage || AnyViewerPreparing()) return false;
  switch (key) {
    case Qt::Key_Up:
    case Qt::Key_PageUp:
      StepImage(ActiveAdvancedImage, -1);
      break;
    case Qt::Key_Down:
    case Qt::Key_PageDown:
      StepImage(ActiveAdvancedImage, 1);
      break;
    case Qt::Key_Left:
      StepFrame(ActiveAdvancedImage, -1);
      return true;
    case Qt::Key_Right:
      StepFrame(ActiveAdvancedImage, 1);
      return true;
    default:
      return false;
  }
  update_ReferenceLines();
  return true;
}

void TForm1::ViewerTrackBarChange(TViewer* sender) {
  if (!sender) return;
  TadvancedImage* cell = sender->AdvancedImage();
  const int position = sender->TrackBar->value();
  if (cell->IsMpr()) {
    cell->MprGoTo(position - 1);
    return;
  }
  if (!cell->HasImage || position == cell->ImageIndex + 1) return;
  try {
    LoadSeriesImage(cell, position - 1);
    update_ReferenceLines();
  } catch (...) {
  }
}

void TForm1::ViewerCineTrackBarChange(TViewer* sender) {
  if (!sender) return;
  TadvancedImage* cell = sender->AdvancedImage();
  const int position = sender->CineTrackBar->value();
  if (!cell->HasImage || position == cell->CurrentFrame) return;
  cell->PauseCine();
  cell->CurrentFrame = std::clamp(position, 1, std::max(1, cell->frameCount));
  cell->DisplayImage();
}

void TForm1::ViewerCinePanelClick(TViewer* sender) {
  if (sender) sender->AdvancedImage()->PauseCine();
}

// ---- reference lines ------------------------------------------------------------

void TForm1::update_ReferenceLines() {
  ReferenceLinesHandler.update_ReferenceLines(AdvancedImages, ActiveAdvancedImage);
}

// ---- the parallel pattern -------------------------------------------------------

void TForm1::ForSelectedCells(const std::function<void(TadvancedImage*)>& op) {
  std::vector<int> rowIndex(static_cast<size_t>(CurrentRows));
  std::vector<int> colIndex(static_cast<size_t>(CurrentCols));
  std::iota(rowIndex.begin(), rowIndex.end(), 0);
  std::iota(colIndex.begin(), colIndex.end(), 0);
  // The cells are fixed while the loop runs: the UI thread waits in it. Rows
  // and cells run on pools of their own: a row waits for its cells, which a
  // shared pool could leave without a free thread.
  const auto& cells = AdvancedImages;
  QtConcurrent::blockingMap(FRowPool, rowIndex, [&](int r) {
    std::vector<int> cols = colIndex;
    QtConcurrent::blockingMap(FCellPool, cols, [&](int c) {
      TadvancedImage* cell = cells[size_t(r)][size_t(c)];
      if (!cell || !cell->HasImage || !cell->Selected()) return;
      try {
        op(cell);
      } catch (...) {
        // One cell's failure does not stop the others.
      }
    });
  });
}

void TForm1::ForSelectedCellsOnUi(const std::function<void(TadvancedImage*)>& op) {
  ForSelectedCells([op](TadvancedImage* cell) {
    // Timers and controls belong to the UI thread; queued from elsewhere.
    if (QThread::currentThread() == cell->thread()) {
      op(cell);
      return;
    }
    QMetaObject::invokeMethod(
        cell,
        [cell, op] {
          try {
            op(cell);
          } catch (...) {
          }
        },
        Qt::QueuedConnection);
  });
}

void TForm1::ForAllCells(const std::function<void(TadvancedImage*)>& op) {
  for (auto& row : AdvancedImages)
    for (TadvancedImage* cell : row) {
      try {
        op(cell);
      } catch (...) {
      }
    }
}
