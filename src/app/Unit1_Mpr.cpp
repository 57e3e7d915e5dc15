// The "MPR" command: the volume of a series, built on a worker thread from
// the tree's cached frames (decoding the rest), shown as its axial, coronal
// and sagittal planes in three cells of the grid.
#include <QFutureWatcher>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QToolButton>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <atomic>

#include "app/DerivedPanel.h"
#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Mpr.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"
#include "volume/VolumeInput.h"

QToolButton* TForm1::BuildMprButton(QWidget* parent) {
  btnMpr = NewButton(parent, "btnMpr", "MPR", "mpr");
  connect(btnMpr, &QToolButton::clicked, this, [this] { btnMprClick(); });
  return btnMpr;
}

void TForm1::btnMprClick() {
  TadvancedImage* cell = ActiveAdvancedImage;
  if (!cell || !cell->HasImage) {
    ShowMessage("No Image in Current Window.");
    return;
  }
  if (const TMprState* m = cell->Mpr())
    ShowMpr(m->link->patient, m->link->study, m->link->series);
  else
    ShowMpr(cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex);
}

bool TForm1::BuildSeriesVolume(int patient, int study, int series, const QString& status,
                               std::shared_ptr<std::atomic<bool>> cancel, bool shrinkToFit,
                               std::function<void(const TVolumeBuild&)> done) {
  std::vector<std::string> paths;
  {
    std::lock_guard lock(gPatientsMutex);
    if (const TSeries* s = SeriesAt(gPatients, patient, study, series))
      for (const TImg& im : s->images) paths.push_back(im.imagePath);
  }
  if (paths.empty()) return false;
  const int serial = ++FVolumeBuildSerial;
  statusLabelCount->setText(status);
  loadDicomProgressBar->setRange(0, 100);
  loadDicomProgressBar->setValue(0);
  loadDicomProgressBar->setVisible(true);

  QPointer<TForm1> self(this);
  auto progress = [self, serial](int built, int total) {
    QMetaObject::invokeMethod(
        self,
        [self, serial, built, total] {
          if (!self || self->FVolumeBuildSerial != serial) return;
          self->loadDicomProgressBar->setValue(total > 0 ? built * 100 / total : 0);
        },
        Qt::QueuedConnection);
  };
  auto* watcher = new QFutureWatcher<TVolumeBuild>(this);
  connect(watcher, &QFutureWatcher<TVolumeBuild>::finished, this,
          [this, watcher, serial, patient, study, series, first = paths.front(),
           done = std::move(done)] {
            TVolumeBuild r = watcher->result();
            watcher->deleteLater();
            if (FVolumeBuildSerial == serial) {
              loadDicomProgressBar->setVisible(false);
              statusLabelCount->setText("Ready");
            }
            {
              std::lock_guard lock(gPatientsMutex);
              const TImg* front = ImageAt(gPatients, patient, study, series, 0);
              r.stillThere = front && front->imagePath == first;
            }
            done(r);
          });
  watcher->setFuture(QtConcurrent::run([paths, progress, cancel, shrinkToFit] {
    TVolumeBuild r;
    std::vector<TVolumeFrame> frames;
    if (!FramesFromFiles(paths, frames, r.reason)) return r;
    TCachedFrameSource source;
    TVolumeOptions options;
    options.progress = progress;
    options.cancel = cancel.get();
    options.shrinkToFit = shrinkToFit;
    r.volume = BuildVolume(std::move(frames), source, r.reason, options);
    return r;
  }));
  return true;
}

void TForm1::ShowVolumeNotes(const QString& command, const TVolume& volume) {
  if (volume.notes.empty()) return;
  QString text = command + ":";
  for (const std::string& n : volume.notes) text += "\n" + QString::fromStdString(n);
  statusLabelCount->setText(QString::fromStdString(volume.notes.front()));
  statusLabelCount->setToolTip(text);
}

void TForm1::ShowMpr(int patient, int study, int series) {
  if (FMprBuilding || gLoadingInProgress) return;
  const bool started =
      BuildSeriesVolume(patient, study, series, "Building the volume", nullptr, false,
                        [this, patient, study, series](const TVolumeBuild& r) {
                          FMprBuilding = false;
                          if (btnMpr) btnMpr->setEnabled(true);
                          if (!r.volume || !r.stillThere) {
                            if (!r.volume && r.stillThere)
                              ShowMessage(QString::fromStdString("MPR: " + r.reason));
                            emit mprFinished(false);
                            return;
                          }
                          auto link = std::make_shared<TMprLink>(r.volume);
                          link->patient = patient;
                          link->study = study;
                          link->series = series;
                          FillMprCells(link);
                          ShowVolumeNotes("MPR", *r.volume);
                          emit mprFinished(true);
                        });
  if (!started) {
    ShowMessage("No Image in Current Window.");
    return;
  }
  FMprBuilding = true;
  if (btnMpr) btnMpr->setEnabled(false);
}

void TForm1::MakeCellActive(TViewer* target) {
  for (size_t r = 0; r < Viewers.size(); ++r)
    for (size_t c = 0; c < Viewers[r].size(); ++c) {
      TViewer* cell = Viewers[r][c];
      TadvancedImage* image = AdvancedImages[r][c];
      if (!cell) continue;
      const bool active = cell == target;
      if (image->Active() != active) image->setActive(active);
      if (!gProcessAllViewers && image->Selected() != active) image->setSelected(active);
      if (active) {
        ActiveViewer = cell;
        ActiveAdvancedImage = image;
        LastActiveRow = int(r);
        LastActiveCol = int(c);
      }
    }
  if (DerivedPanel) DerivedPanel->Follow();
}

void TForm1::FillMprCells(const std::shared_ptr<TMprLink>& link) {
  // Three cells are needed; a smaller grid becomes 2 x 2, the fourth cell
  // showing the acquired series.
  const bool grown = CurrentRows * CurrentCols < 3;
  if (grown) {
    rows = cols = 2;
    SetLayout(2, 2);
  }
  std::vector<TViewer*> cells;
  for (auto& row : Viewers)
    for (TViewer* cell : row) cells.push_back(cell);
  if (cells.size() < 3) return;
  for (TViewer* cell : cells) cell->AdvancedImage()->PauseCine();
  const TPlaneKind kinds[3] = {TPlaneKind::Axial, TPlaneKind::Coronal, TPlaneKind::Sagittal};
  for (int k = 0; k < 3; ++k) cells[size_t(k)]->AdvancedImage()->ShowMprPlane(link, kinds[k]);
  if (grown && cells.size() > 3) {
    TadvancedImage* fourth = cells[3]->AdvancedImage();
    int images = 0;
    {
      std::lock_guard lock(gPatientsMutex);
      const TSeries* s = SeriesAt(gPatients, link->patient, link->study, link->series);
      images = s ? int(s->images.size()) : 0;
    }
    fourth->PatientIndex = link->patient;
    fourth->StudyIndex = link->study;
    fourth->SeriesIndex = link->series;
    if (LoadSeriesImage(fourth, images / 2)) fourth->FitImage();
  }
  MakeCellActive(cells[0]);
  update_ReferenceLines();
}
