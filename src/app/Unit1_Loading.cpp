// The main window's side of loading: the open commands, progress and cancel,
// the end of a load (browser, layout rule, filling the grid, the one summary
// of skipped files), "Clear Study", the reports list and the start-up DICOMDIR.
// The loads themselves are the study loader's.
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <memory>

#include "app/DemoCache.h"
#include "app/DerivedLoading.h"
#include "app/DocumentWindows.h"
#include "app/OpenDialog.h"
#include "app/SaveStates.h"
#include "app/StartHint.h"
#include "app/StudyLoader.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "dicom/dicom.h"
#include "study/Global.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

namespace {

// The tree position of the image filed from path, if any.
bool FindImage(const std::string& path, int& patient, int& study, int& series, int& image) {
  std::lock_guard lock(gPatientsMutex);
  for (size_t p = 0; p < gPatients.size(); ++p)
    for (size_t st = 0; st < gPatients[p].studies.size(); ++st)
      for (size_t se = 0; se < gPatients[p].studies[st].serieses.size(); ++se) {
        const TImgArr& images = gPatients[p].studies[st].serieses[se].images;
        for (size_t i = 0; i < images.size(); ++i)
          if (images[i].imagePath == path) {
            patient = int(p);
            study = int(st);
            series = int(se);
            image = int(i);
            return true;
          }
      }
  return false;
}

// The DICOMDIR of a folder, whatever the case of its name.
QString DicomDirIn(const QString& folder) {
  std::string path;
  if (FindStartupDicomDirIn(folder.toStdString(), "", path)) return QString::fromStdString(path);
  return {};
}

// A preview tries this many listed files at most, so a folder that starts
// with many unreadable files cannot hold the user interface up.
constexpr int kPreviewAttempts = 32;

}  // namespace

// ---- the open commands -----------------------------------------------------------

void TForm1::btnOpenFileClick() {
  if (gLoadingInProgress) return;
  const QString path = AskOpenFileName();
  if (path.isEmpty()) return;
  // A DICOMDIR picked here opens as the medium it describes.
  if (ChooseLoadKind(path.toStdString()) == TLoadKind::DicomDir)
    OpenDicomDir(path);
  else
    OpenImage(path);
}

void TForm1::btnOpenFolderClick() {
  if (gLoadingInProgress) return;
  const QString folder = AskFolder();
  if (!folder.isEmpty()) OpenFolder(folder);
}

void TForm1::btnOpenDicomDirClick() {
  if (gLoadingInProgress) return;
  const QString folder = AskFolder();
  const QString dicomDir = folder.isEmpty() ? QString() : DicomDirIn(folder);
  if (!dicomDir.isEmpty() && OpenDicomDir(dicomDir)) return;
  if (!folder.isEmpty()) ShowMessage(kNoDicomDirText);
  // Nothing to load: the command still ends as a load does.
  FrameRateSetByUser = false;
  UpdatePresetsVisibility();
  FillViewers();
}

QString TForm1::AskOpenFileName() {
  // Lists files without an extension (IM0001) and UID-named ones as DICOM files.
  std::unique_ptr<QFileDialog> dialog(NewImageOpenDialog(this, QDir::currentPath()));
  if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) return {};
  return dialog->selectedFiles().first();
}

QString TForm1::AskFolder() {
  return QFileDialog::getExistingDirectory(this, kSelectFolderCaption, QDir::currentPath());
}

void TForm1::OpenImage(const QString& path) {
  if (gLoadingInProgress) return;
  const TLoadResult r =
      LoadSingleFile(QDir::cleanPath(QFileInfo(path).absoluteFilePath()).toStdString());
  RebuildBrowser();
  FileDerivedObjects(r);
  const TDerivedIntake derived = TakeDerivedObjects(r);
  // A segmentation or structure set opened by itself shows an image it lies on.
  const bool drawnOnly = r.filesFiled == 0 && derived.taken.count(r.path) > 0;
  const TReferenceCheck lies = drawnOnly ? CheckStoredObject(r.path) : TReferenceCheck{};
  if (r.reportsFound > 0) {
    update_report_panel();
    EnableStudyTools();
  }
  TadvancedImage* cell = ActiveAdvancedImage;
  int p = 0, st = 0, se = 0, im = 0;
  QString notShown;
  // A copy of an instance already loaded shows the one filed.
  std::string shownPath = r.path;
  if (!r.duplicates.empty()) shownPath = r.duplicates[0].reason.substr(kReasonSameInstance.size());
  if (lies.resolved) shownPath = lies.imagePath;
  if ((r.filesFiled > 0 || lies.resolved) && cell && FindImage(shownPath, p, st, se, im)) {
    const int old[4] = {cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex, cell->ImageIndex};
    const bool wasPlaying = cell->InCineMode;
    // The cell caches its frames at its tree position: it must be this image's.
    cell->PauseCine();  // the file replaces whatever played there
    cell->PatientIndex = p;
    cell->StudyIndex = st;
    cell->SeriesIndex = se;
    cell->ImageIndex = im;
    bool shown = false;
    try {
      shown = cell->LoadFile(shownPath, 1);
      if (shown) cell->FitImage();
    } catch (...) {
      shown = false;
    }
    if (!shown) {
      // The cell still shows its last image, and its position must say so.
      cell->PatientIndex = old[0];
      cell->StudyIndex = old[1];
      cell->SeriesIndex = old[2];
      cell->ImageIndex = old[3];
      if (wasPlaying) cell->PlayCine();
      // Filed, but the user asked for this one file and sees nothing change.
      const std::string why = cell->LastLoadError();
      notShown = QString::fromStdString(r.path) + ": cannot be displayed" +
                 (why.empty() ? QString() : ": " + QString::fromStdString(why));
    }
    try {
      EnableStudyTools();
      update_ReferenceLines();
    } catch (...) {
    }
  }
  // A report, document or waveform is filed in the browser and opens in its
  // own window; the cells stay as they are.
  if (r.documentsFiled > 0 && !r.documents.empty()) {
    std::string why;
    if (!OpenDocumentWindow(this, shownPath == r.path ? r.documents.front() : shownPath, &why))
      notShown = QString::fromStdString(r.path) + ": " + QString::fromStdString(why);
  }
  // The tool tab stays the one the user chose.
  FrameRateSetByUser = false;
  UpdatePresetsVisibility();
  UpdateStartHint();

  // One file: its reader messages and any refusal in one box.
  QStringList texts;
  for (const TLoadMessage& m : r.messages) texts << QString::fromStdString(m.text);
  for (const TSkippedFile& s : r.skipped)
    if (!IsDrawnObjectReason(s.reason))
      texts << QString::fromStdString(s.path) + ": " + QString::fromStdString(s.reason);
  for (const TSkippedFile& s : derived.notes)
    texts << QString::fromStdString(s.path) + ": " + QString::fromStdString(s.reason);
  for (const TSkippedFile& d : r.duplicates)
    texts << QString::fromStdString(d.path) + ": " + QString::fromStdString(d.reason) +
                 ", which is shown";
  if (!notShown.isEmpty()) texts << notShown;
  if (texts.isEmpty()) return;
  if (!FBatch) {
    ShowMessage(texts.join("\n"));
    return;
  }
  // One entry per file; a reader message does not name its file by itself.
  const QString file = QString::fromStdString(r.path);
  for (QString& t : texts)
    if (!t.startsWith(file)) t = file + ": " + t;
  FBatchNotes << texts.join("\n");
}

bool TForm1::OpenFolder(const QString& folder) {
  if (gLoadingInProgress) return false;
  lastPatientsLength = [] {
    std::lock_guard lock(gPatientsMutex);
    return int(gPatients.size());
  }();
  if (!Loader->StartFolder(folder)) return false;
  SetOpenCommandsEnabled(false);
  SetLoadingState(true, "");
  return true;
}

bool TForm1::OpenDicomDir(const QString& dicomDirPath) {
  if (gLoadingInProgress) return false;
  lastPatientsLength = [] {
    std::lock_guard lock(gPatientsMutex);
    return int(gPatients.size());
  }();
  if (!Loader->StartDicomDir(dicomDirPath)) return false;
  SetOpenCommandsEnabled(false);
  SetLoadingState(true, kParsingText, true);
  return true;
}

void TForm1::btnCancelLoadingClick() {
  Loader->Cancel();
}

// ---- the command line and the start-up DICOMDIR ---------------------------------

void TForm1::OpenPaths(const QStringList& paths) {
  FPendingPaths << paths;
  if (FPendingPaths.size() > 1) FBatch = true;
  StartNextLoad();
}

bool TForm1::IsIdle() const {
  return !Loader->IsRunning() && !FFinishing && FPendingPaths.isEmpty();
}

void TForm1::StartNextLoad() {
  while (!FPendingPaths.isEmpty() && !Loader->IsRunning() && !gLoadingInProgress && !FFinishing) {
    const QString path = FPendingPaths.takeFirst();
    switch (ChooseLoadKind(path.toStdString())) {
      case TLoadKind::Folder:
        if (OpenFolder(path)) return;
        break;
      case TLoadKind::DicomDir:
        if (OpenDicomDir(path)) return;
        break;
      case TLoadKind::SingleFile:
        OpenImage(path);
        break;
    }
  }
  if (!IsIdle()) return;
  if (!FBatchNotes.isEmpty()) {
    const QString n = QString::number(FBatchNotes.size());
    ShowLoadSummary(n + (FBatchNotes.size() == 1 ? " file" : " files") + " could not be opened.",
                    FBatchNotes.join("\n"));
  }
  FBatch = false;
  FBatchNotes.clear();
  emit loadsFinished();
}

void TForm1::FormActivate() {
  if (FActivated) return;
  FActivated = true;
  // A CD started from its own folder (or a disk with one at its root) opens at once.
  std::string dicomDir;
  if (FindStartupDicomDir(dicomDir)) OpenPaths({QString::fromStdString(dicomDir)});
}

// ---- progress and the end of a load -----------------------------------------------

void TForm1::SetLoadingState(bool show, const QString& text, bool marquee) {
  loadDicomProgressBar->setRange(0, marquee ? 0 : 100);
  if (!marquee) loadDicomProgressBar->setValue(0);
  loadDicomProgressBar->setVisible(show);
  btnCancelLoading->setVisible(show);
  statusLabelCount->setText(text);
  UpdateStartHint();
}

void TForm1::UpdateStartHint() {
  // Gone while a load runs (its preview shows) and once anything is loaded.
  bool empty = !gLoadingInProgress && !(Loader && Loader->IsRunning());
  if (empty) {
    std::lock_guard lock(gPatientsMutex);
    empty = gPatients.empty();
  }
  for (auto& row : AdvancedImages)
    for (TadvancedImage* cell : row) empty = empty && !(cell && cell->HasImage);
  StartHint->setVisible(empty);
  if (!empty) return;
  StartHint->Place();
  StartHint->raise();
}

void TForm1::ShowDemoStudy() {
  QString error;
  const QString folder = DemoStudyFolder(&error);
  if (folder.isEmpty()) {
    ShowMessage("The demo study cannot be written: " + error);
    return;
  }
  OpenPaths({folder});
}

void TForm1::ShowProgress(int done, int total) {
  if (total <= 0 || !Loader->IsRunning()) return;
  statusLabelCount->setText(QString::number(done) + "/" + QString::number(total));
  loadDicomProgressBar->setValue(int(std::ceil(double(done) / total * 100.0)));
}

void TForm1::PreviewFiles(const QStringList& files) {
  if (AdvancedImages.empty() || AdvancedImages[0].empty()) return;
  TadvancedImage* cell = AdvancedImages[0][0];
  // The file is not in the tree yet: a position outside it keeps the cell
  // from caching the preview into another image's slot.
  cell->PatientIndex = -1;
  cell->StudyIndex = cell->SeriesIndex = cell->ImageIndex = 0;
  cell->PauseCine();
  int attempts = 0;
  for (const QString& f : files) {
    if (IsReportExtension(LowerExtension(f.toStdString()))) continue;
    if (++attempts > kPreviewAttempts) break;
    try {
      if (cell->LoadFile(f.toStdString(), 1)) {
        cell->FitImage();
        return;
      }
    } catch (...) {
    }
  }
}

QString TForm1::LoadSummaryDetails(bool* any, const TDerivedIntake& derived) const {
  const TLoadResult& r = Loader->Result();
  QStringList lines;
  // Segmentations and structure sets are no skipped files: listed only
  // when refused or lying on no open image.
  for (const TSkippedFile& s : r.skipped)
    if (!IsDrawnObjectReason(s.reason))
      lines << QString::fromStdString(s.path) + ": " + QString::fromStdString(s.reason);
  for (const TSkippedFile& s : derived.notes)
    lines << QString::fromStdString(s.path) + ": " + QString::fromStdString(s.reason);
  for (const TSkippedFile& s : r.undisplayable)
    lines << QString::fromStdString(s.path) + ": " + QString::fromStdString(s.reason);
  for (const TLoadMessage& m : r.messages)
    lines << QString::fromStdString(m.path) + ": " + QString::fromStdString(m.text);
  for (const TSkippedFile& d : r.duplicates)
    lines << QString::fromStdString(d.path) + ": " + QString::fromStdString(d.reason);
  *any = !lines.isEmpty();
  return lines.join("\n");
}

void TForm1::FinishLoading() {
  SetLoadingState(false, kReadyText);
  UpdatePresetsVisibility();
  RebuildBrowser();
  update_report_panel();
  EnableStudyTools();
  // Rebuilding the browser and filling the grid of a load of a thousand
  // series would hold the window for tens of milliseconds in one turn. The
  // next load waits for the fill (IsIdle), and the open commands come back
  // with it. A timer rather than a queued call: queued calls run in the same
  // pass as the events already waiting, so the loop would not turn between.
  FFinishing = true;
  QTimer::singleShot(1, this, [this] { FinishLoadingGrid(); });
}

void TForm1::FinishLoadingGrid() {
  FFinishing = false;
  const TLoadResult& r = Loader->Result();
  SetOpenCommandsEnabled(true);
  FileDerivedObjects(r);
  const TDerivedIntake derived = TakeDerivedObjects(r);

  // The grid shows the first patient, whatever a load adds: its newest
  // study hangs by protocol when one fits.
  if (r.filesFiled > 0 && HangLoadedStudy(0)) {
  } else if (r.kind == TLoadKind::DicomDir) {
    FillViewers();
  } else {
    try {
      if (WantsTwoByTwoLayout(r, CurrentRows * CurrentCols)) {
        gShowReferenceLines = true;
        CheckBox_show_reference_lines->setChecked(true);
        gForceRefill = false;
        SetLayout(2, 2);
      } else {
        FillViewers();
      }
    } catch (...) {
      FillViewers();
    }
  }

  // A preview the load did not file (refused, or not read before a cancel)
  // and no fill replaced shows a picture in neither the tree nor the browser.
  for (auto& row : AdvancedImages)
    for (TadvancedImage* cell : row)
      if (cell->HasImage && cell->PatientIndex < 0) cell->Clear();

  bool any = false;
  const QString details = LoadSummaryDetails(&any, derived);
  if (any) {
    const int drawn = int(std::count_if(r.skipped.begin(), r.skipped.end(), [](const auto& s) {
      return IsDrawnObjectReason(s.reason);
    }));
    const int skipped = int(r.skipped.size()) - drawn;
    // Files filed that no codec or buffer takes are counted apart from the loaded ones.
    const int undisplayable = int(r.undisplayable.size());
    QString text = QString::number(r.filesFiled - undisplayable) + " of " +
                   QString::number(r.filesListed) + " files loaded";
    if (undisplayable > 0)
      text += "; " + QString::number(undisplayable) + " filed but cannot be displayed";
    // Reports are listed files too: without them the numbers would not add up.
    if (r.reportsFound > 0)
      text +=
          "; " + QString::number(r.reportsFound) + (r.reportsFound == 1 ? " report" : " reports");
    if (r.documentsFiled > 0)
      text += "; " + QString::number(r.documentsFiled) +
              (r.documentsFiled == 1 ? " report, document or waveform"
                                     : " reports, documents and waveforms");
    if (drawn > 0)
      text += "; " + QString::number(drawn) +
              (drawn == 1 ? " segmentation or structure set" : " segmentations and structure sets");
    if (skipped > 0) text += "; " + QString::number(skipped) + " skipped";
    if (!r.messages.empty()) text += "; " + QString::number(r.messages.size()) + " reader messages";
    if (!r.duplicates.empty())
      text += "; " + QString::number(r.duplicates.size()) +
              (r.duplicates.size() == 1 ? " copy of an instance already loaded"
                                        : " copies of instances already loaded");
    ShowLoadSummary(text + ".", details);
  }
  UpdateStartHint();
  StartNextLoad();
}

void TForm1::ShowLoadSummary(const QString& text, const QString& details) {
  LastMessage = text;
  // On a turn of its own (a timer, as for the grid fill): laying out
  // thousands of skipped files takes tens of milliseconds, which must not add
  // to the end of the load's.
  QTimer::singleShot(1, this, [this, text, details] {
    // Not modal: the grid is already usable while the user reads it.
    auto* box =
        new QMessageBox(QMessageBox::Information, windowTitle(), text, QMessageBox::Ok, this);
    box->setObjectName("loadSummary");
    box->setDetailedText(details);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
  });
}

void TForm1::SetOpenCommandsEnabled(bool enabled) {
  for (QToolButton* b : {btnOpenFile, btnOpenFolder, btnOpenDicomDir, btnClearTree})
    b->setEnabled(enabled);
}

// ---- clearing and reports ---------------------------------------------------------

void TForm1::btnClearTreeClick() {
  // Loader threads are filing into the tree; it is emptied once they are done.
  if (gLoadingInProgress) return;
  // One click must not throw away a study the user is reading; an empty
  // viewer has nothing to lose.
  bool loaded = false;
  {
    std::lock_guard lock(gPatientsMutex);
    loaded = !gPatients.empty();
  }
  for (auto& row : AdvancedImages)
    for (TadvancedImage* cell : row) loaded = loaded || cell->HasImage;
  if (loaded && !AskConfirmation("Clear the loaded study? Every image is closed.")) return;
  lastPatientsLength = 0;
  gForceRefill = true;
  refusedImages.clear();
  ForgetHanging();
  HangingPatient = HangingStudy = HangingPriorPatient = HangingPriorStudy = -1;
  for (auto& row : AdvancedImages)
    for (TadvancedImage* cell : row) cell->Clear();
  {
    std::lock_guard lock(gPatientsMutex);
    TGlobal::FreeMemoryInBackground(gPatients);
    gFileHeaders.clear();
    gReports.clear();
  }
  {
    std::lock_guard lock(DicomDirPatientsMutex());
    TGlobal::FreeMemory(gDicomDirPatients);
  }
  ForgetDrawnObjects();
  update_report_panel();
  reportsListView->hide();
  RebuildBrowser();
}

void TForm1::RebuildBrowser() {
  try {
    ThumbnailsTool->Display(gPatients);
  } catch (...) {
  }
  UpdateStartHint();
}

void TForm1::update_report_panel() {
  reportsListView->clear();
  std::vector<TReportRecord> reports;
  {
    std::lock_guard lock(gPatientsMutex);
    reports = gReports;
  }
  if (reports.empty()) return;
  auto* group = new QTreeWidgetItem(reportsListView, {"Reports"});
  group->setFirstColumnSpanned(true);
  QFont bold = group->font(0);
  bold.setBold(true);
  group->setFont(0, bold);
  group->setFlags(Qt::ItemIsEnabled);
  for (const TReportRecord& report : reports) {
    const TReportRow row = ReportRowText(report);
    auto* item = new QTreeWidgetItem(
        group, {QString::fromStdString(row.patient), QString::fromStdString(row.report)});
    item->setData(0, Qt::UserRole, QString::fromStdString(report.ReportPath));
    item->setToolTip(1, QString::fromStdString(report.ReportPath));
  }
  reportsListView->expandAll();
}

void TForm1::reportsListViewDblClick(QTreeWidgetItem* item) {
  if (!item) return;
  const QString path = item->data(0, Qt::UserRole).toString();
  if (!path.isEmpty()) OpenDocument(path);
}

void TForm1::OpenDocument(const QString& path) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}
