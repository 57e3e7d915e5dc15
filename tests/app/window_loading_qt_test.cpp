#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>

#include "app/StudyLoader.h"
#include "app/ThumbnailsToolUnit.h"
#include "app_fixtures.h"
#include "study/DemoStudy.h"
#include "study/Global.h"
#include "window_fixture.h"

namespace {

using appfx::TestImage;

// The window, with folders and files answered by the test.
class LoadingForm : public apptest::TestForm {
 public:
  QString folder, file;
  QStringList opened;
  std::vector<std::pair<QString, QString>> summaries;

 protected:
  QString AskFolder() override { return folder; }
  QString AskOpenFileName() override { return file; }
  void OpenDocument(const QString& path) override { opened << path; }
  void ShowLoadSummary(const QString& text, const QString& details) override {
    summaries.emplace_back(text, details);
  }
};

class WindowLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    appfx::ResetLoadingState();
    gForceRefill = false;
    gShowReferenceLines = true;
    form = std::make_unique<LoadingForm>();
    form->resize(1000, 700);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    appfx::ResetLoadingState();
  }
  // Runs the event loop until every load has finished (at most 20 s).
  void WaitIdle() {
    if (form->IsIdle() && !gLoadingInProgress) return;
    QEventLoop loop;
    QObject::connect(form.get(), &TForm1::loadsFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    QApplication::processEvents();
  }
  // A study of `series` series of two images each, under dir/name.
  std::string StudyFolder(const std::string& name, const std::string& modality, int series,
                          const std::string& patient = "DOE^JOHN") {
    const std::string dir = testsupport::TempDir("window-" + name);
    for (int s = 0; s < series; ++s)
      for (int i = 0; i < 2; ++i) {
        TestImage t;
        t.patientName = patient;
        t.modality = modality;
        t.studyUid = "1.2.826.0.1." + name;
        t.seriesUid = t.studyUid + "." + std::to_string(s + 1);
        t.seriesNumber = series - s;  // listed in reverse: the load sorts them
        t.instance = 2 - i;
        appfx::WriteImage(dir, "s" + std::to_string(s) + "/i" + std::to_string(i) + ".dcm", t);
      }
    return dir;
  }
  int Cells() const { return form->CurrentRows * form->CurrentCols; }

  std::unique_ptr<LoadingForm> form;
};

TEST_F(WindowLoading, CtStudyOfFourSeriesSwitchesAFreshGridTo2x2) {
  gShowReferenceLines = false;
  form->CheckBox_show_reference_lines->setChecked(false);
  form->folder = QString::fromStdString(StudyFolder("ct4", "CT", 4));
  form->btnOpenFolderClick();
  EXPECT_TRUE(gLoadingInProgress);
  EXPECT_FALSE(form->btnOpenFolder->isEnabled());
  WaitIdle();
  EXPECT_EQ(Cells(), 4);
  EXPECT_TRUE(gShowReferenceLines);
  EXPECT_TRUE(form->CheckBox_show_reference_lines->isChecked());
  EXPECT_EQ(form->statusLabelCount->text(), "Ready");
  EXPECT_TRUE(form->loadDicomProgressBar->isHidden());
  EXPECT_TRUE(form->btnCancelLoading->isHidden());
  EXPECT_TRUE(form->btnOpenFolder->isEnabled());
  EXPECT_TRUE(form->ToolsPageControl->isTabEnabled(1));
  EXPECT_FALSE(form->WwWlPresetGrp->isHidden());
  // Sequential fill of the sorted tree: series 1 (images 1, 2), then series 2.
  EXPECT_EQ(form->AdvancedImages[0][0]->ImageIndex, 0);
  EXPECT_EQ(form->AdvancedImages[0][1]->ImageIndex, 1);
  EXPECT_EQ(form->AdvancedImages[1][0]->SeriesIndex, 1);
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 1u);
    EXPECT_EQ(gPatients[0].studies[0].serieses[0].seriesNumber, 1);
  }
  EXPECT_TRUE(form->summaries.empty());
}

TEST_F(WindowLoading, MrStudyOfThreeSeriesKeepsTheGrid) {
  form->folder = QString::fromStdString(StudyFolder("mr3", "MR", 3));
  form->btnOpenFolderClick();
  WaitIdle();
  EXPECT_EQ(Cells(), 1);
  EXPECT_TRUE(form->AdvancedImages[0][0]->HasImage);
  // No CT: the presets are not offered; typed values are, for every modality.
  QApplication::processEvents();
  EXPECT_FALSE(form->WwWlPresetGrp->isHidden());
  EXPECT_FALSE(form->WwWlPresetsComboBox->isEnabled());
  EXPECT_TRUE(form->wwTextBox->isEnabled());
}

TEST_F(WindowLoading, EmptyFolderFinishesAtOnceWithNothingAdded) {
  form->folder = QString::fromStdString(testsupport::TempDir("window-empty"));
  form->btnOpenFolderClick();
  WaitIdle();
  EXPECT_FALSE(gLoadingInProgress);
  EXPECT_EQ(form->statusLabelCount->text(), "Ready");
  EXPECT_FALSE(form->AdvancedImages[0][0]->HasImage);
  std::lock_guard lock(gPatientsMutex);
  EXPECT_TRUE(gPatients.empty());
}

TEST_F(WindowLoading, APreviewOfAFileTheLoadDidNotFileIsNotLeftOnScreen) {
  // The first listed file shows while the rest is read; the load then skips
  // it (a presentation state) and files nothing: the cell must not go on
  // showing a picture that is in neither the tree nor the browser.
  const std::string dir = testsupport::TempDir("window-preview-only");
  TestImage t;
  t.modality = "PR";
  appfx::WriteImage(dir, "state.dcm", t);
  form->folder = QString::fromStdString(dir);
  bool previewed = false;
  QObject::connect(form->Loader, &TStudyLoad::listed, form.get(),
                   [&] { previewed = form->AdvancedImages[0][0]->HasImage; });
  form->btnOpenFolderClick();
  WaitIdle();
  EXPECT_TRUE(previewed);
  EXPECT_FALSE(form->AdvancedImages[0][0]->HasImage);
  ASSERT_EQ(form->summaries.size(), 1u);
  EXPECT_TRUE(form->summaries[0].second.contains("state.dcm"));
}

TEST_F(WindowLoading, BadFilesAreListedOnceInTheSummary) {
  const std::string dir = StudyFolder("bad", "CT", 1);
  appfx::Write(dir, "broken.dcm", std::vector<uint8_t>(40, 0x5A));
  appfx::Write(dir, "s0/notes.txt", {'o', 'k'});  // beside the images: a report
  form->folder = QString::fromStdString(dir);
  form->btnOpenFolderClick();
  WaitIdle();
  ASSERT_EQ(form->summaries.size(), 1u);
  EXPECT_TRUE(form->summaries[0].second.contains("broken.dcm"));
  EXPECT_EQ(form->summaries[0].first, "2 of 4 files loaded; 1 report; 1 skipped.");
  EXPECT_TRUE(form->AdvancedImages[0][0]->HasImage);  // the good files still load
}

TEST_F(WindowLoading, GridCommandsWaitWhileALoadRuns) {
  form->folder = QString::fromStdString(StudyFolder("busy", "CT", 4));
  form->btnOpenFolderClick();
  if (gLoadingInProgress) {
    form->SpeedButton2Click();
    form->btnClearTreeClick();
    form->btnOpenFolderClick();  // a second load is not started over the first
    EXPECT_EQ(Cells(), 1);
  }
  WaitIdle();
  std::lock_guard lock(gPatientsMutex);
  EXPECT_EQ(gPatients.size(), 1u);
}

TEST_F(WindowLoading, SingleFileShowsInTheActiveCellAtItsTreePosition) {
  const std::string dir = testsupport::TempDir("window-single");
  TestImage a;
  a.seriesNumber = 5;
  a.seriesUid = "1.2.826.0.1.1.5";
  TestImage b;
  b.seriesNumber = 2;
  b.seriesUid = "1.2.826.0.1.1.2";
  const std::string first = appfx::WriteImage(dir, "a.dcm", a);
  const std::string second = appfx::WriteImage(dir, "b.dcm", b);
  form->SpeedButton3Click();
  form->file = QString::fromStdString(first);
  form->btnOpenFileClick();
  form->allViewersPanelMouseDown(form->Viewers[0][1], Qt::LeftButton, {10, 10});
  form->allViewersPanelMouseUp(Qt::LeftButton);
  form->file = QString::fromStdString(second);
  form->btnOpenFileClick();
  TadvancedImage* cell = form->AdvancedImages[0][1];
  ASSERT_TRUE(cell->HasImage);
  EXPECT_EQ(cell->SeriesIndex, 1);  // filed second, not sorted
  EXPECT_EQ(cell->CurrentOpenedPath, second);
  EXPECT_EQ(form->ToolsPageControl->currentIndex(), 0);  // opening keeps the tab
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients[0].studies[0].serieses.size(), 2u);
    EXPECT_EQ(gPatients[0].studies[0].serieses[0].seriesNumber, 5);
    // The frame went into its own image's cache, not the first one's.
    EXPECT_EQ(gPatients[0].studies[0].serieses[1].images[0].Cache.DICOM.SeriesNum, 2);
    EXPECT_EQ(gPatients[0].studies[0].serieses[0].images[0].Cache.DICOM.SeriesNum, 5);
  }
  // Not an image: told once, nothing added.
  const std::string junk = appfx::Write(dir, "junk", std::vector<uint8_t>(10, 1));
  form->file = QString::fromStdString(junk);
  form->btnOpenFileClick();
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_TRUE(form->messages[0].contains("junk"));
}

TEST_F(WindowLoading, ReportsListRowsOpenWithTheDesktop) {
  const std::string dir = testsupport::TempDir("window-reports");
  appfx::WriteImage(dir, "ct.dcm", TestImage{});
  appfx::Write(dir, "Findings.TXT", {'o', 'k'});
  appfx::Write(dir, "scan.pdf", {'%', 'P'});
  appfx::Write(dir, "tools/README.txt", {'?'});  // beside no image: not listed
  form->folder = QString::fromStdString(dir);
  form->btnOpenFolderClick();
  WaitIdle();
  EXPECT_FALSE(form->reportsListView->isHidden());
  ASSERT_EQ(form->reportsListView->topLevelItemCount(), 1);
  QTreeWidgetItem* group = form->reportsListView->topLevelItem(0);
  ASSERT_EQ(group->childCount(), 2);
  QStringList names{group->child(0)->text(1), group->child(1)->text(1)};
  names.sort();
  EXPECT_EQ(names, QStringList({"Findings", "scan"}));
  form->reportsListViewDblClick(group->child(0));
  ASSERT_EQ(form->opened.size(), 1);
  EXPECT_TRUE(form->opened[0].startsWith(QString::fromStdString(dir)));
  form->reportsListViewDblClick(group);  // the group row opens nothing
  EXPECT_EQ(form->opened.size(), 1);

  form->btnClearTreeClick();
  EXPECT_TRUE(form->reportsListView->isHidden());
  EXPECT_EQ(form->reportsListView->topLevelItemCount(), 0);
}

TEST_F(WindowLoading, ClearStudyEmptiesTreeAndCellsAndRefillsOnce) {
  form->folder = QString::fromStdString(StudyFolder("clear", "CT", 1));
  form->btnOpenFolderClick();
  WaitIdle();
  ASSERT_TRUE(form->AdvancedImages[0][0]->HasImage);
  form->btnClearTreeClick();
  EXPECT_FALSE(form->AdvancedImages[0][0]->HasImage);
  EXPECT_TRUE(gForceRefill);
  EXPECT_EQ(form->lastPatientsLength, 0);
  {
    std::lock_guard lock(gPatientsMutex);
    EXPECT_TRUE(gPatients.empty());
  }
  form->btnClearTreeClick();  // twice in a row
  EXPECT_FALSE(form->AdvancedImages[0][0]->HasImage);
}

TEST_F(WindowLoading, CdDicomDirCommand) {
  // A folder without a DICOMDIR: the message, the tree unchanged.
  form->folder = QString::fromStdString(testsupport::TempDir("window-nodir"));
  form->btnOpenDicomDirClick();
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_EQ(form->messages[0], "No DICOMDIR Detected In Current Folder");
  EXPECT_FALSE(gLoadingInProgress);
  // Nothing loaded yet: the window stays on its tab rather than showing a
  // disabled one.
  EXPECT_EQ(form->ToolsPageControl->currentIndex(), 0);
  form->folder.clear();  // the chooser cancelled
  form->btnOpenDicomDirClick();
  EXPECT_EQ(form->ToolsPageControl->currentIndex(), 0);
  EXPECT_EQ(form->messages.size(), 1u);

  // The demo medium: its DICOMDIR loads in the background, then fills the grid.
  const std::string dir = testsupport::TempDir("window-demo");
  ASSERT_TRUE(demo::WriteDemoStudy(dir));
  form->folder = QString::fromStdString(dir);
  form->btnOpenDicomDirClick();
  WaitIdle();
  EXPECT_EQ(form->messages.size(), 1u);
  EXPECT_TRUE(form->AdvancedImages[0][0]->HasImage);
  EXPECT_EQ(form->ToolsPageControl->currentIndex(), 0);
  EXPECT_FALSE(form->reportsListView->isHidden());  // the report beside it
  EXPECT_EQ(form->statusLabelCount->text(), "Ready");
}

TEST_F(WindowLoading, DemoFolderFillsTheBrowserAndCutsTheLocalizers) {
  const std::string dir = testsupport::TempDir("window-demo-folder");
  ASSERT_TRUE(demo::WriteDemoStudy(dir));
  form->Protocols = {};  // the grid's own 2 x 2 fill of the CT, not a hanging protocol's
  form->folder = QString::fromStdString(dir);
  form->btnOpenFolderClick();
  WaitIdle();
  ASSERT_EQ(Cells(), 4);

  // Every series of the tree has its panel and, once decoded, its thumbnail.
  int series = 0;
  for (const TPatient& p : gPatients)
    for (const TStudy& st : p.studies) series += int(st.serieses.size());
  const std::vector<TSeriesPanel*> panels = form->ThumbnailsTool->SeriesPanels();
  EXPECT_EQ(int(panels.size()), series);
  QElapsedTimer waited;
  waited.start();
  while (form->ThumbnailsTool->PendingThumbnails() > 0 && waited.elapsed() < 10000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  for (TSeriesPanel* panel : panels)
    EXPECT_FALSE(panel->ThumbnailImage().isNull()) << panel->SeriesLabel->text().toStdString();

  // An axial slice made active: each localizer on the grid shows a level line.
  const auto cosines = [](TadvancedImage* c) { return c->gDicomData.IMAGE_ORIENTATION_PATIENT; };
  const std::array<double, 6> axial{1, 0, 0, 0, 1, 0};
  TViewer* axialViewer = nullptr;
  std::vector<TadvancedImage*> localizers;
  for (auto& row : form->Viewers)
    for (TViewer* v : row) {
      if (cosines(v->AdvancedImage()) == axial && !axialViewer) axialViewer = v;
      if (cosines(v->AdvancedImage())[5] == -1) localizers.push_back(v->AdvancedImage());
    }
  ASSERT_TRUE(axialViewer);
  ASSERT_FALSE(localizers.empty());
  form->allViewersPanelMouseDown(axialViewer, Qt::LeftButton, QPoint(5, 5));
  form->allViewersPanelMouseUp(Qt::LeftButton);
  for (TadvancedImage* l : localizers) {
    const Shape& r = l->ReferenceLine;
    EXPECT_NE(r.x1, r.x2);
    EXPECT_EQ(r.y1, r.y2);
  }
  form->CheckBox_show_reference_lines->click();
  for (TadvancedImage* l : localizers) EXPECT_EQ(l->ReferenceLine.x1, l->ReferenceLine.x2);
  form->CheckBox_show_reference_lines->click();
  for (TadvancedImage* l : localizers) EXPECT_NE(l->ReferenceLine.x1, l->ReferenceLine.x2);

  // The cell stepping on by itself (as a cine does) moves the level lines.
  std::vector<int> levels;
  for (TadvancedImage* l : localizers) levels.push_back(l->ReferenceLine.y1);
  axialViewer->AdvancedImage()->NextImage();
  for (size_t i = 0; i < localizers.size(); ++i) {
    EXPECT_NE(localizers[i]->ReferenceLine.y1, levels[i]);
    EXPECT_EQ(localizers[i]->ReferenceLine.y1, localizers[i]->ReferenceLine.y2);
  }
  axialViewer->AdvancedImage()->PrevImage();
  for (size_t i = 0; i < localizers.size(); ++i)
    EXPECT_EQ(localizers[i]->ReferenceLine.y1, levels[i]);

  // Another series double-clicked into the active cell: the lines follow it
  // (a localizer cuts no localizer of its own plane, and the other one upright).
  TSeriesPanel* coronal = nullptr;
  for (TSeriesPanel* panel : panels)
    if (panel->SeriesLabel->text().startsWith("(CT)") && panel->NumOfImages == 1 && !coronal)
      coronal = panel;
  ASSERT_TRUE(coronal);
  form->ThumbnailsTool->SeriesPanelDblClick(coronal);
  EXPECT_EQ(cosines(axialViewer->AdvancedImage())[5], -1);
  for (TadvancedImage* l : localizers) {
    const Shape& r = l->ReferenceLine;
    EXPECT_EQ(r.x1, r.x2);
    if (cosines(l) == cosines(axialViewer->AdvancedImage()))
      EXPECT_EQ(r.y1, r.y2);  // none
    else
      EXPECT_NE(r.y1, r.y2);  // upright
  }

  // The axial series dropped on the cell of the active localizer's plane: that
  // cell now shows a slice the localizer cuts, and its line is drawn at once.
  TSeriesPanel* axialPanel = nullptr;
  for (TSeriesPanel* panel : panels)
    if (panel->SeriesLabel->text().startsWith("(CT)") && panel->NumOfImages > 1) axialPanel = panel;
  TadvancedImage* target = nullptr;
  for (TadvancedImage* l : localizers)
    if (l != axialViewer->AdvancedImage() && cosines(l) == cosines(axialViewer->AdvancedImage()))
      target = l;
  ASSERT_TRUE(axialPanel && target);
  ASSERT_EQ(target->ReferenceLine.y1, target->ReferenceLine.y2);
  std::unique_ptr<QMimeData> drag(axialPanel->DragObject().ToMimeData());
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, drag.get(), Qt::LeftButton, Qt::NoModifier);
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, drag.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QApplication::sendEvent(target, &drop);
  ASSERT_TRUE(drop.isAccepted());
  EXPECT_EQ(cosines(target), axial);
  EXPECT_NE(target->ReferenceLine.x1, target->ReferenceLine.x2);
  EXPECT_EQ(target->ReferenceLine.y1, target->ReferenceLine.y2);

  form->btnClearTreeClick();
  EXPECT_TRUE(form->ThumbnailsTool->Panels().empty());
}

TEST_F(WindowLoading, StartUpDicomDirOfTheCurrentFolderLoadsOnFirstActivation) {
  const std::string dir = testsupport::TempDir("window-startup");
  ASSERT_TRUE(demo::WriteDemoStudy(dir));
  const QString saved = QDir::currentPath();
  QDir::setCurrent(QString::fromStdString(dir));
  // A fresh window: activation events of the fixture's window came earlier.
  LoadingForm fresh;
  fresh.FormActivate();
  QDir::setCurrent(saved);
  EXPECT_FALSE(fresh.IsIdle());
  QEventLoop loop;
  QObject::connect(&fresh, &TForm1::loadsFinished, &loop, &QEventLoop::quit);
  QTimer::singleShot(20000, &loop, &QEventLoop::quit);
  loop.exec();
  EXPECT_TRUE(fresh.AdvancedImages[0][0]->HasImage);
  fresh.btnClearTreeClick();
  fresh.FormActivate();  // only the first activation loads
  EXPECT_TRUE(fresh.IsIdle());
}

TEST_F(WindowLoading, StartUpDicomDirLoadsEvenWhenTheWindowIsNotActivated) {
  const std::string dir = testsupport::TempDir("window-startup-inactive");
  ASSERT_TRUE(demo::WriteDemoStudy(dir));
  const QString saved = QDir::currentPath();
  QDir::setCurrent(QString::fromStdString(dir));
  // Shown, not yet activated (behind another application, or on a display
  // without a window manager): the window's own queued calls run, the window
  // system's activation has not arrived.
  LoadingForm fresh;
  fresh.show();
  QCoreApplication::sendPostedEvents();
  QDir::setCurrent(saved);
  ASSERT_FALSE(fresh.isActiveWindow());
  EXPECT_FALSE(fresh.IsIdle());
  QEventLoop loop;
  QObject::connect(&fresh, &TForm1::loadsFinished, &loop, &QEventLoop::quit);
  QTimer::singleShot(20000, &loop, &QEventLoop::quit);
  if (!fresh.IsIdle()) loop.exec();
  EXPECT_TRUE(fresh.AdvancedImages[0][0]->HasImage);
}

TEST_F(WindowLoading, PathsOpenOneAfterTheOther) {
  const std::string folder = StudyFolder("paths-folder", "MR", 1, "SMITH^ANN");
  const std::string file =
      appfx::WriteImage(testsupport::TempDir("window-paths-file"), "one.dcm", TestImage{});
  int finished = 0;
  QObject::connect(form.get(), &TForm1::loadsFinished, [&] { ++finished; });
  form->OpenPaths({QString::fromStdString(file), QString::fromStdString(folder),
                   QString::fromStdString(testsupport::TempDir("window-paths-empty"))});
  WaitIdle();
  EXPECT_EQ(finished, 1);
  EXPECT_TRUE(form->IsIdle());
  std::lock_guard lock(gPatientsMutex);
  EXPECT_EQ(gPatients.size(), 2u);
  EXPECT_EQ(appfx::ImageCount(gPatients), 3);
}

TEST_F(WindowLoading, SeveralFilesOpenedAtOnceReportInOneSummary) {
  // A drop of many files: what each would say in a box of its own comes in
  // one summary at the end; the good ones load.
  const std::string dir = testsupport::TempDir("window-batch");
  QStringList paths;
  for (int i = 0; i < 3; ++i)
    paths << QString::fromStdString(
        appfx::Write(dir, "junk" + std::to_string(i), std::vector<uint8_t>(20, 'j')));
  paths << QString::fromStdString(appfx::WriteImage(dir, "good.dcm", TestImage{}));
  form->OpenPaths(paths);
  WaitIdle();
  EXPECT_TRUE(form->messages.empty());
  ASSERT_EQ(form->summaries.size(), 1u);
  EXPECT_TRUE(form->summaries[0].first.startsWith("3 files"));
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(form->summaries[0].second.contains("junk" + QString::number(i)));
  EXPECT_TRUE(form->AdvancedImages[0][0]->HasImage);
  // One file alone still says it in a box.
  form->OpenPaths({paths[0]});
  EXPECT_EQ(form->messages.size(), 1u);
  EXPECT_EQ(form->summaries.size(), 1u);
}

TEST_F(WindowLoading, FilesAndFoldersDroppedOnTheWindowOpen) {
  const std::string folder = StudyFolder("drop-folder", "MR", 1, "SMITH^ANN");
  const std::string file =
      appfx::WriteImage(testsupport::TempDir("window-drop-file"), "one.dcm", TestImage{});
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder)),
                QUrl::fromLocalFile(QString::fromStdString(file))});
  QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(300, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form.get(), &drop);
  WaitIdle();
  {
    std::lock_guard lock(gPatientsMutex);
    EXPECT_EQ(gPatients.size(), 2u);
    EXPECT_EQ(appfx::ImageCount(gPatients), 3);
  }

  // The thumbnail column takes every drag; files dropped there open too.
  const std::string more =
      appfx::WriteImage(testsupport::TempDir("window-drop-column"), "two.dcm",
                        TestImage{.patientName = "THIRD^ONE", .patientId = "3003"});
  QMimeData column;
  column.setUrls({QUrl::fromLocalFile(QString::fromStdString(more))});
  QWidget* viewport = form->ThumbnailsTool->viewport();
  QDragEnterEvent over(QPoint(20, 20), Qt::CopyAction, &column, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(viewport, &over);
  EXPECT_TRUE(over.isAccepted());
  QDropEvent onColumn(QPointF(20, 20), Qt::CopyAction, &column, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(viewport, &onColumn);
  WaitIdle();
  std::lock_guard lock(gPatientsMutex);
  EXPECT_EQ(gPatients.size(), 3u);
}

}  // namespace
