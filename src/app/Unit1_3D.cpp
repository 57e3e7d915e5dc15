// The "3D" command: the volume of a series, built on a worker thread from
// the tree's cached frames (decoding the rest), drawn by ray casting over
// the active cell.
#include <QToolButton>
#include <atomic>

#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Mpr.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"
#include "viewer/Volume3DView.h"

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
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  // Over the memory budget the volume comes coarser, noted, not refused.
  const bool started =
      BuildSeriesVolume(patient, study, series, "Building the volume for 3D", cancel, true,
                        [this, cancel, patient, study, series](const TVolumeBuild& r) {
                          F3DCancel.reset();
                          if (btn3D) btn3D->setToolTip("3D");
                          if (!r.volume || !r.stillThere || cancel->load()) {
                            // A build the user cancelled needs no message.
                            if (!r.volume && r.stillThere && !cancel->load())
                              ShowMessage(QString::fromStdString("3D: " + r.reason));
                            emit volume3DFinished(false);
                            return;
                          }
                          TadvancedImage* cell = ActiveAdvancedImage;
                          // The cell beneath shows the series (asked from the browser, it may
                          // hold another or none), so its image and context match.
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
                          ShowVolumeNotes("3D", *r.volume);
                          emit volume3DFinished(true);
                        });
  if (!started) {
    ShowMessage("No Image in Current Window.");
    return;
  }
  F3DCancel = cancel;
  if (btn3D) btn3D->setToolTip("Cancel 3D");
}
