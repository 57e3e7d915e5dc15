// The "3D" command: the volume of a series, built on a worker thread from
// the tree's cached frames (decoding the rest), drawn by ray casting over
// the active cell.
#include <QFutureWatcher>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QToolButton>
#include <QtConcurrent/QtConcurrentRun>
#include <atomic>

#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Mpr.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"
#include "viewer/Volume3DView.h"
#include "volume/VolumeInput.h"

namespace {

struct T3DBuild {
  std::shared_ptr<TVolume> volume;
  std::string reason;
};

}  // namespace

QToolButton* TForm1::Build3DButton(QWidget* parent) {
  btn3D = NewButton(parent, "btn3D", "3D", "volume-3d");
  connect(btn3D, &QToolButton::clicked, this, [this] { btn3DClick(); });
  return btn3D;
}

void TForm1::btn3DClick() {
  if (F3DCancel) {
    F3DCancel->store(true);
    return;
  }
  TadvancedImage* cell = ActiveAdvancedImage;
  if (!cell || !cell->HasImage) {
    ShowMessage("No Image in Current Window.");
    return;
  }
  if (const TMprState* m = cell->Mpr())
    Show3D(m->link->patient, m->link->study, m->link->series);
  else
    Show3D(cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex);
}

void TForm1::Show3D(int patient, int study, int series) {
  if (F3DCancel) {
    F3DCancel->store(true);
    return;
  }
  if (gLoadingInProgress) return;
  std::vector<std::string> paths;
  {
    std::lock_guard lock(gPatientsMutex);
    if (const TSeries* s = SeriesAt(gPatients, patient, study, series))
      for (const TImg& im : s->images) paths.push_back(im.imagePath);
  }
  if (paths.empty()) {
    ShowMessage("No Image in Current Window.");
    return;
  }
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  F3DCancel = cancel;
  if (btn3D) btn3D->setToolTip("Cancel 3D");
  statusLabelCount->setText("Building the volume for 3D");
  loadDicomProgressBar->setRange(0, 100);
  loadDicomProgressBar->setValue(0);
  loadDicomProgressBar->setVisible(true);

  QPointer<TForm1> self(this);
  auto progress = [self, cancel](int done, int total) {
    QMetaObject::invokeMethod(
        self,
        [self, cancel, done, total] {
          if (!self || self->F3DCancel != cancel) return;
          self->loadDicomProgressBar->setValue(total > 0 ? done * 100 / total : 0);
        },
        Qt::QueuedConnection);
  };
  auto* watcher = new QFutureWatcher<T3DBuild>(this);
  connect(watcher, &QFutureWatcher<T3DBuild>::finished, this,
          [this, watcher, cancel, patient, study, series, first = paths.front()] {
            const T3DBuild r = watcher->result();
            watcher->deleteLater();
            F3DCancel.reset();
            if (btn3D) btn3D->setToolTip("3D");
            loadDicomProgressBar->setVisible(false);
            statusLabelCount->setText("Ready");
            bool stillThere = false;
            {
              // A Clear Study during the build leaves nothing to show it with.
              std::lock_guard lock(gPatientsMutex);
              const TImg* front = ImageAt(gPatients, patient, study, series, 0);
              stillThere = front && front->imagePath == first;
            }
            if (!r.volume || !stillThere || cancel->load()) {
              // A build the user cancelled needs no message.
              if (!r.volume && stillThere && !cancel->load())
                ShowMessage(QString::fromStdString("3D: " + r.reason));
              emit volume3DFinished(false);
              return;
            }
            TadvancedImage* cell = ActiveAdvancedImage;
            // The cell beneath shows the series (asked from the browser, it
            // may hold another or none), so its image and context match.
            if (cell && (!cell->HasImage || cell->PatientIndex != patient ||
                         cell->StudyIndex != study || cell->SeriesIndex != series)) {
              int images = 0;
              {
                std::lock_guard lock(gPatientsMutex);
                const TSeries* s = SeriesAt(gPatients, patient, study, series);
                images = s ? int(s->images.size()) : 0;
              }
              cell->PauseCine();
              cell->PatientIndex = patient;
              cell->StudyIndex = study;
              cell->SeriesIndex = series;
              if (LoadSeriesImage(cell, images / 2)) cell->FitImage();
            }
            TVolume3DView* view = cell ? ShowVolume3D(cell, r.volume) : nullptr;
            if (!view) {
              emit volume3DFinished(false);
              return;
            }
            if (!r.volume->notes.empty()) {
              QString text = "3D:";
              for (const std::string& n : r.volume->notes) text += "\n" + QString::fromStdString(n);
              statusLabelCount->setText(QString::fromStdString(r.volume->notes.front()));
              statusLabelCount->setToolTip(text);
            }
            emit volume3DFinished(true);
          });
  watcher->setFuture(QtConcurrent::run([paths, progress, cancel] {
    T3DBuild r;
    std::vector<TVolumeFrame> frames;
    if (!FramesFromFiles(paths, frames, r.reason)) return r;
    TCachedFrameSource source;
    TVolumeOptions options;
    options.progress = progress;
    options.cancel = cancel.get();
    // Over the memory budget the volume comes coarser, noted, not refused.
    options.shrinkToFit = true;
    r.volume = BuildVolume(std::move(frames), source, r.reason, options);
    return r;
  }));
}
