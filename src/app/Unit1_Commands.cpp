// The commands of the tool tabs: on the active cell in the single mode, on
// every selected cell with an image in the all-viewers mode.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <QToolTip>
#include <QTreeWidget>

#include "app/PatientInfo.h"
#include "app/TagBrowser.h"
#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "pixels/WindowLevel.h"
#include "study/Global.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

namespace {

// The number in an edit box, or fallback when the text is not one.
double NumberOr(const QString& text, double fallback) {
  double v = 0;
  return ParseWindowValue(text.toStdString(), v) ? v : fallback;
}

}  // namespace

// ---- view commands ----------------------------------------------------------

void TForm1::btnFlipHorizontalClick() {
  if (gProcessAllViewers)
    ForSelectedCells([](TadvancedImage* c) { c->Flip(flHorizontal); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->Flip(flHorizontal);
}

void TForm1::btnFilpVerticalClick() {
  if (gProcessAllViewers)
    ForSelectedCells([](TadvancedImage* c) { c->Flip(flVertical); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->Flip(flVertical);
}

void TForm1::btnInvertClick() {
  if (gProcessAllViewers)
    ForSelectedCells([](TadvancedImage* c) { c->Invert(); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->Invert();
}

void TForm1::btnRotateClick() {
  if (gProcessAllViewers)
    ForSelectedCells([](TadvancedImage* c) { c->Rotate90(); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->Rotate90();
}

void TForm1::btnFitClick() {
  if (gProcessAllViewers)
    ForSelectedCells([](TadvancedImage* c) { c->FitImage(); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->FitImage();
}

void TForm1::btnResetClick() {
  // Reset reloads the image: the UI thread's work.
  if (gProcessAllViewers)
    ForSelectedCellsOnUi([](TadvancedImage* c) { c->ResetImage(); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->ResetImage();
}

void TForm1::btnResetWwWlClick() {
  if (gProcessAllViewers)
    ForSelectedCells([](TadvancedImage* c) { c->ResetWwWL(); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->ResetWwWL();
}

// ---- cine ----------------------------------------------------------------------

void TForm1::btnPlayCineClick() {
  // Multi-frame images and stacks of several single-frame images play.
  if (gProcessAllViewers)
    ForSelectedCellsOnUi([](TadvancedImage* c) {
      if (c->CanPlayCine()) c->PlayCine();
    });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->PlayCine();
}

void TForm1::btnPauseCineClick() {
  if (gProcessAllViewers)
    ForSelectedCellsOnUi([](TadvancedImage* c) {
      if (c->IsCine() || c->InCineMode) c->PauseCine();
    });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->PauseCine();
}

void TForm1::btnNextFrameClick() {
  if (gProcessAllViewers)
    ForSelectedCellsOnUi([this](TadvancedImage* c) {
      if (c->IsCine()) StepFrame(c, 1);
    });
  else
    StepFrame(ActiveAdvancedImage, 1);
}

void TForm1::btnPrevFrameClick() {
  if (gProcessAllViewers)
    ForSelectedCellsOnUi([this](TadvancedImage* c) {
      if (c->IsCine()) StepFrame(c, -1);
    });
  else
    StepFrame(ActiveAdvancedImage, -1);
}

void TForm1::trkFrameRateChange() {
  const int pos = std::clamp(trkFrameRate->value(), 1, int(kFrameRates.size()));
  const int rate = kFrameRates[size_t(pos - 1)];
  if (gProcessAllViewers)
    ForAllCells([rate](TadvancedImage* c) { c->setCineFrameRate(unsigned(rate)); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->setCineFrameRate(unsigned(rate));
  trkFrameRate->setToolTip(QString::number(rate) + " FPS");
  frameRateLabel->setText("Frame Rate: " + QString::number(rate) + " FPS");
  FrameRateSetByUser = true;
}

// ---- locks and switches ------------------------------------------------------------

void TForm1::btnLockZoomClick() {
  gLockZoom = !gLockZoom;
  const bool lock = gLockZoom;
  if (gProcessAllViewers)
    ForAllCells([lock](TadvancedImage* c) { c->LockZoom(lock); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->LockZoom(lock);
  SetGlyph(btnLockZoom, lock ? "lock-zoom-locked" : "lock-zoom-unlocked");
}

void TForm1::btnLockWwWlClick() {
  gLockWwWl = !gLockWwWl;
  const bool lock = gLockWwWl;
  if (gProcessAllViewers)
    ForAllCells([lock](TadvancedImage* c) { c->LockWwWl(lock); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->LockWwWl(lock);
  SetGlyph(btnLockWwWl, lock ? "lock-wwwl-locked" : "lock-wwwl-unlocked");
}

void TForm1::CheckBox_show_informationClick() {
  const bool show = CheckBox_show_information->isChecked();
  if (gProcessAllViewers)
    ForSelectedCells([show](TadvancedImage* c) { c->setShowInfo(show); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->setShowInfo(show);
}

void TForm1::CheckBox_show_overlayClick() {
  const bool show = CheckBox_show_overlay->isChecked();
  if (gProcessAllViewers)
    ForSelectedCells([show](TadvancedImage* c) { c->setShowOverlay(show); });
  else if (ActiveAdvancedImage)
    ActiveAdvancedImage->setShowOverlay(show);
}

void TForm1::CheckBox_show_reference_linesClick() {
  gShowReferenceLines = CheckBox_show_reference_lines->isChecked();
  update_ReferenceLines();
}

// ---- window values -------------------------------------------------------------------

void TForm1::update_WwWL(double ww, double wl, bool ctOnly, const QString& modality) {
  auto apply = [ww, wl](TadvancedImage* c) {
    c->SetWwWl(ww, wl);
    c->createBitmap();
    c->RenderViewer();
  };
  const auto ofModality = [&modality](const TadvancedImage* c) {
    return modality.isEmpty() || QString::fromStdString(c->gDicomData.modality)
                                         .trimmed()
                                         .compare(modality, Qt::CaseInsensitive) == 0;
  };
  if (gProcessAllViewers) {
    // Hounsfield units mean nothing to an MR or PET image: a preset would
    // whiten it.
    for (auto& row : AdvancedImages)
      for (TadvancedImage* c : row)
        if (c->HasImage && c->Selected() && (!ctOnly || IsCt(c)) && ofModality(c)) apply(c);
  } else if (ActiveAdvancedImage && ActiveAdvancedImage->HasImage) {
    apply(ActiveAdvancedImage);
  }
}

void TForm1::WwWlPresetsComboBoxChange() {
  const int i = WwWlPresetsComboBox->currentIndex();
  if (i < 0) return;
  // Each entry carries its window and the modality it is for (see FillPresetCombo).
  const QVariantList preset = WwWlPresetsComboBox->itemData(i).toList();
  if (preset.size() != 3) return;
  const double ww = preset[0].toDouble(), wl = preset[1].toDouble();
  const QString modality = preset[2].toString();
  wwTextBox->setText(QString::number(ww, 'g', 10));
  wlTextBox->setText(QString::number(wl, 'g', 10));
  if (modality == "CT")
    update_WwWL(ww, wl, true);
  else
    update_WwWL(ww, wl, false, modality);
}

void TForm1::wwTextBoxKeyPress() {
  double ww = 0;
  const bool number = ParseWindowValue(wwTextBox->text().toStdString(), ww);
  if (number && !(ww > 0)) {
    // A width of 0 or below would threshold the picture: refused with the
    // box's own hint, and the boxes go back to what the cell shows.
    QToolTip::showText(wwTextBox->mapToGlobal(QPoint(0, wwTextBox->height())), wwTextBox->toolTip(),
                       wwTextBox);
    wwTextBox->setModified(false);
    wlTextBox->setModified(false);
    SyncWindowBoxes();
    return;
  }
  update_WwWL(number ? ww : 1, NumberOr(wlTextBox->text(), 0));
  wwTextBox->setModified(false);
  wlTextBox->setModified(false);
}

void TForm1::UpdatePresetsVisibility() {
  // Typed values serve every modality: the group stays, and its preset list
  // is offered while the active cell shows a CT image.
  WwWlPresetGrp->setVisible(true);
  SyncWindowBoxes();
}

void TForm1::EnableStudyTools() {
  {
    std::lock_guard lock(gPatientsMutex);
    reportsListView->setVisible(!gReports.empty());
  }
  btnSplitScreen->setEnabled(true);
  CheckBox_show_reference_lines->setEnabled(true);
  ToolsPageControl->setTabEnabled(1, true);
  ToolsPageControl->setTabEnabled(2, true);
}

// ---- mouse tools and annotations (the active cell only) --------------------------

void TForm1::SyncMouseToolButtons() {
  btnZoom->setChecked(MouseTool == 0);
  btnPan->setChecked(MouseTool == 1);
  btnWwWl->setChecked(MouseTool == 2);
}

void TForm1::btnZoomClick() {
  MouseTool = 0;
  SyncMouseToolButtons();
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VAZoom;
}

void TForm1::btnPanClick() {
  MouseTool = 1;
  SyncMouseToolButtons();
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VAPan;
}

void TForm1::btnWwWlClick() {
  MouseTool = 2;
  SyncMouseToolButtons();
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VAWWWL;
}

void TForm1::btnDrawLineClick() {
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VALine;
}
void TForm1::btnDrawMeasureLineClick() {
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VAMeasureLine;
}
void TForm1::btnDrawRectClick() {
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VARectangle;
}
void TForm1::btnDrawEclipseClick() {
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VAEllipse;
}
void TForm1::btnDrawTextClick() {
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VATxtLabel;
}
void TForm1::btnDrawAngleClick() {
  if (ActiveAdvancedImage) ActiveAdvancedImage->Action = VAAngle;
}

void TForm1::btnDeleteSingleAnnClick() {
  if (!ActiveAdvancedImage) return;
  TadvancedImage* c = ActiveAdvancedImage;
  c->Action = c->inDeleteMode ? VAPan : VADelete;
  c->inDeleteMode = !c->inDeleteMode;
  btnDeleteSingleAnn->setChecked(c->inDeleteMode);
}

// ---- export and information -------------------------------------------------------

void TForm1::btnSaveClick() {
  if (!ActiveAdvancedImage || !ActiveAdvancedImage->HasImage) {
    ShowMessage("No Image in Current Window.");
    return;
  }
  QString filter;
  const QString file =
      AskSaveFileName("Save As JPEG", QString(kJpegCellFilter) + ";;" + kJpegOwnFilter, &filter);
  if (file.isEmpty()) return;
  ExportActiveCell(file, filter.isEmpty() ? kJpegCellFilter : filter);
}

void TForm1::showPatInfoButtonClick() {
  if (ActiveAdvancedImage && ActiveAdvancedImage->HasImage)
    PatientInfoForm->Display(ActiveAdvancedImage->gDicomData);
}

void TForm1::showTagsButtonClick() {
  if (ActiveAdvancedImage && ActiveAdvancedImage->HasImage &&
      !ActiveAdvancedImage->filepath.empty())
    TagBrowserForm->Display(ActiveAdvancedImage->filepath);
}

void TForm1::ShowMessage(const QString& text) {
  LastMessage = text;
  QMessageBox::information(this, windowTitle(), text);
}

QString TForm1::AskSaveFileName(const QString& caption, const QString& filters, QString* chosen) {
  QFileDialog dialog(this, caption, QDir::currentPath());
  dialog.setObjectName("imageSaveDialog");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters(filters.split(";;"));
  // The suffix follows the kind of file picked.
  const auto suffix = [&dialog](const QString& filter) {
    dialog.setDefaultSuffix(filter.contains("*.png") ? "png" : "jpg");
  };
  suffix(dialog.selectedNameFilter());
  connect(&dialog, &QFileDialog::filterSelected, &dialog, suffix);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  if (chosen) *chosen = dialog.selectedNameFilter();
  return dialog.selectedFiles().first();
}
