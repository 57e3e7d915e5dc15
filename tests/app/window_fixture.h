// A main window under test: a study tree written to disk and filed into
// gPatients by hand, dialogs answered by the test, and helpers to drive cells
// as a user would (mouse events on the image control).
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QWheelEvent>
#include <string>
#include <vector>

#include "app/SplitScreen.h"
#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "pixels/FrameCache.h"
#include "pixels/FramePrefetch.h"
#include "support/fixtures.h"
#include "support/paths.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

namespace apptest {

struct SeriesSpec {
  std::string modality = "CT";
  int images = 1;
  int frames = 0;  // > 1: a multi-frame image
  int columns = 16;
  int rows = 16;
};

// Writes one file per image and files them as patient 0, study 0.
inline void FillTree(const std::string& name, const std::vector<SeriesSpec>& series) {
  // One folder per test: ctest runs the tests of a fixture in parallel processes.
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string dir =
      testsupport::TempDir("app-" + name + (test ? std::string("-") + test->name() : ""));
  TPatient patient;
  patient.patientName = "DOE^JOHN";
  patient.patintID = "12345";
  TStudy study;
  study.studyID = "1";
  study.instanceUid = "1.2.3.4";
  for (size_t s = 0; s < series.size(); ++s) {
    TSeries se;
    se.modality = series[s].modality;
    se.seriesNumber = int(s + 1);
    se.instanceUid = "1.2.3.4." + std::to_string(s + 1);
    for (int i = 0; i < series[s].images; ++i) {
      fixtures::ImageSpec image;
      image.modality = series[s].modality;
      image.seriesUid = se.instanceUid;
      image.frames = series[s].frames;
      image.columns = series[s].columns;
      image.rows = series[s].rows;
      image.windowCenter = "300";
      image.windowWidth = "600";
      TImg img;
      img.instanceNumber = i + 1;
      img.imagePath =
          fixtures::WriteFile(dir, "s" + std::to_string(s) + "_i" + std::to_string(i) + ".dcm",
                              fixtures::SmallImageFile(image));
      se.images.push_back(img);
    }
    study.serieses.push_back(se);
  }
  patient.studies.push_back(study);
  std::lock_guard lock(gPatientsMutex);
  gPatients.clear();
  gPatients.push_back(patient);
}

// The tree and every frame decoded for it (prefetch included).
inline void ClearTree() {
  FramePrefetcher::Shared().CancelAll();
  FramePrefetcher::Shared().WaitIdle();
  FrameCache::Shared().Clear();
  std::lock_guard lock(gPatientsMutex);
  gPatients.clear();
}

class TestForm : public TForm1 {
 public:
  std::vector<QString> messages;
  QString saveFileName;  // what the save dialog answers
  QString saveFilter;    // and the filter it reports picked
  QString offeredFilters;
  std::vector<QString> questions;
  bool confirm = true;  // the answer to a question
  QStringList menuEntries;
  QString pick;  // the menu entry to choose
  // Acts on the chooser while it is "open"; the dialog's result is returned.
  std::function<void(TSplitScreenForm*)> chooser;

 protected:
  void ShowMessage(const QString& text) override {
    LastMessage = text;
    messages.push_back(text);
  }
  QString AskSaveFileName(const QString&, const QString& filters, QString* chosen) override {
    offeredFilters = filters;
    if (chosen) *chosen = saveFilter;
    return saveFileName;
  }
  bool AskConfirmation(const QString& text) override {
    questions.push_back(text);
    return confirm;
  }
  // Records the menu's entries; picks the one named pick, if any.
  void ExecMenu(QMenu* menu, QPoint) override;
  int ExecSplitScreen() override {
    SplitScreenForm->setResult(QDialog::Rejected);
    if (chooser) chooser(SplitScreenForm);
    return SplitScreenForm->result();
  }
};

inline void TestForm::ExecMenu(QMenu* menu, QPoint) {
  menuEntries.clear();
  QAction* chosen = nullptr;
  for (QAction* a : menu->actions()) {
    if (a->isSeparator()) continue;
    const QString text = QString(a->text()).replace("&&", "&");  // as the user reads it
    menuEntries << text;
    if (!pick.isEmpty() && text == pick && a->isEnabled()) chosen = a;
  }
  if (chosen) chosen->trigger();
}

// A shown window of a fixed size with a fresh tree state.
class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearTree();
    gLoadingInProgress = false;
    gForceRefill = false;
    FrameRateSetByUser = false;
    form = std::make_unique<TestForm>();
    form->resize(1000, 700);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    ClearTree();
    gLoadingInProgress = false;
  }

  TadvancedImage* Cell(int r, int c) const {
    return form->AdvancedImages.at(size_t(r)).at(size_t(c));
  }
  TViewer* Viewer(int r, int c) const { return form->Viewers.at(size_t(r)).at(size_t(c)); }
  int CellCount() const {
    int n = 0;
    for (auto& row : form->Viewers) n += int(row.size());
    return n;
  }

  // A press, optional moves and a release on a cell's image, as the mouse does it.
  void Press(TadvancedImage* cell, Qt::MouseButton button, QPoint at = {40, 40}) {
    QMouseEvent e(QEvent::MouseButtonPress, at, cell->mapToGlobal(at), button, button,
                  Qt::NoModifier);
    QApplication::sendEvent(cell, &e);
  }
  void Move(TadvancedImage* cell, Qt::MouseButton held, QPoint to) {
    QMouseEvent e(QEvent::MouseMove, to, cell->mapToGlobal(to), Qt::NoButton, held, Qt::NoModifier);
    QApplication::sendEvent(cell, &e);
  }
  void Release(TadvancedImage* cell, Qt::MouseButton button, QPoint at = {40, 40}) {
    QMouseEvent e(QEvent::MouseButtonRelease, at, cell->mapToGlobal(at), button, Qt::NoButton,
                  Qt::NoModifier);
    QApplication::sendEvent(cell, &e);
  }
  void Click(TadvancedImage* cell) {
    Press(cell, Qt::LeftButton);
    Release(cell, Qt::LeftButton);
  }
  void Wheel(TadvancedImage* cell, int delta) {
    QWheelEvent e(QPointF(40, 40), cell->mapToGlobal(QPointF(40, 40)), QPoint(), QPoint(0, delta),
                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(cell, &e);
  }

  std::unique_ptr<TestForm> form;
};

}  // namespace apptest
