#include <QLabel>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>

#include "app/ThumbnailsToolUnit.h"
#include "window_fixture.h"

namespace {

using apptest::AppTest;
using apptest::FillTree;

using GridTest = AppTest;

TEST_F(GridTest, StartsAsOneActiveCellFillingThePanel) {
  ASSERT_EQ(CellCount(), 1);
  EXPECT_EQ(form->ActiveAdvancedImage, Cell(0, 0));
  EXPECT_TRUE(Cell(0, 0)->Active());
  EXPECT_EQ(Viewer(0, 0)->size(), form->allViewersPanel->size());
}

TEST_F(GridTest, ShrinkingTo1x2KeepsTheTopRowAndItsImages) {
  FillTree("shrink", {{"CT", 4}});
  form->SpeedButton2Click();
  ASSERT_EQ(CellCount(), 4);
  TViewer* topLeft = Viewer(0, 0);
  TViewer* topRight = Viewer(0, 1);
  EXPECT_EQ(Cell(1, 1)->ImageIndex, 3);     // Sequential fill: images 0 ... 3
  form->ViewerSelectButtonClick(topRight);  // a cell's own state survives too

  form->SpeedButton3Click();
  ASSERT_EQ(form->Viewers.size(), 1u);
  ASSERT_EQ(form->Viewers[0].size(), 2u);
  EXPECT_EQ(Viewer(0, 0), topLeft);
  EXPECT_EQ(Viewer(0, 1), topRight);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  EXPECT_EQ(Cell(0, 1)->ImageIndex, 1);
  EXPECT_FALSE(topRight->Selected);
  EXPECT_EQ(form->CurrentRows, 1);
  EXPECT_EQ(form->CurrentCols, 2);
  EXPECT_EQ(topRight->geometry(),
            QRect(form->allViewersPanel->width() / 2, 0, form->allViewersPanel->width() / 2,
                  form->allViewersPanel->height()));
}

TEST_F(GridTest, OneByOneButtonRefillsOnlyWhenTheModeChangedOrClearStudyAsked) {
  FillTree("refill", {{"CT", 2}, {"CT", 1}});
  form->FillViewers();
  ASSERT_EQ(Cell(0, 0)->ImageIndex, 0);
  Viewer(0, 0)->TrackBar->setValue(2);
  ASSERT_EQ(Cell(0, 0)->ImageIndex, 1);

  form->SpeedButton4Click();  // same layout, same mode: nothing refilled
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 1);

  gRestrictedLoad = true;  // the fill mode changed
  form->SpeedButton4Click();
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  EXPECT_EQ(form->lastLoadingMode, true);

  Viewer(0, 0)->TrackBar->setValue(2);
  gForceRefill = true;  // as "Clear Study" asks
  form->SpeedButton4Click();
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  // Asked once: the next press keeps the cell.
  Viewer(0, 0)->TrackBar->setValue(2);
  form->SpeedButton4Click();
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 1);
  gRestrictedLoad = false;
}

TEST_F(GridTest, RestrictedFillGivesOneSeriesPerCellAndClearsTheRest) {
  FillTree("restricted", {{"CT", 2}, {"CT", 1}, {"CT", 3}});
  gRestrictedLoad = true;
  form->SpeedButton2Click();
  const int series[] = {0, 1, 2};
  for (int n = 0; n < 3; ++n) {
    TadvancedImage* c = Cell(n / 2, n % 2);
    EXPECT_TRUE(c->HasImage) << n;
    EXPECT_EQ(c->SeriesIndex, series[n]);
    EXPECT_EQ(c->ImageIndex, 0);
  }
  EXPECT_FALSE(Cell(1, 1)->HasImage);
  gRestrictedLoad = false;
}

TEST_F(GridTest, SequentialFillWalksTheSeriesAndRepeatsTheLastImage) {
  FillTree("sequential", {{"CT", 2}, {"CT", 1}});
  form->EnableStudyTools();                    // as a load does
  form->ToolsPageControl->setCurrentIndex(2);  // the user's own choice
  form->SpeedButton2Click();
  const std::pair<int, int> expected[] = {{0, 0}, {0, 1}, {1, 0}, {1, 0}};
  for (int n = 0; n < 4; ++n) {
    TadvancedImage* c = Cell(n / 2, n % 2);
    ASSERT_TRUE(c->HasImage) << n;
    EXPECT_EQ(c->SeriesIndex, expected[n].first) << n;
    EXPECT_EQ(c->ImageIndex, expected[n].second) << n;
  }
  // The track bar of a cell shows its place in its series.
  EXPECT_EQ(Viewer(0, 1)->TrackBar->maximum(), 2);
  EXPECT_EQ(Viewer(0, 1)->TrackBar->value(), 2);
  EXPECT_EQ(form->ToolsPageControl->currentIndex(), 2);  // a fill keeps the user's tab
}

TEST_F(GridTest, AFillThatCannotShowItsImageLeavesTheCellEmpty) {
  FillTree("unreadable", {{"CT", 2}});
  form->SpeedButton3Click();
  ASSERT_TRUE(Cell(0, 1)->HasImage);
  {
    // The second image's file is gone and nothing of it is cached.
    std::lock_guard lock(gPatientsMutex);
    TImg& lost = gPatients[0].studies[0].serieses[0].images[1];
    lost.imagePath += ".missing";
    lost.Cache = TCache{};
  }
  form->FillViewers();
  EXPECT_TRUE(Cell(0, 0)->HasImage);
  // Not its old picture under a position that names the lost image.
  EXPECT_FALSE(Cell(0, 1)->HasImage);
}

TEST_F(GridTest, FillsPassOverPresentationStateSeries) {
  // A DICOMDIR keeps its presentation-state series in the tree; no cell gets one.
  FillTree("presentation", {{"CT", 1}, {"PR", 1}, {"CT", 1}});
  form->SpeedButton3Click();
  EXPECT_EQ(Cell(0, 0)->SeriesIndex, 0);
  EXPECT_EQ(Cell(0, 1)->SeriesIndex, 2);
  gRestrictedLoad = true;
  form->SpeedButton2Click();
  EXPECT_EQ(Cell(0, 0)->SeriesIndex, 0);
  EXPECT_EQ(Cell(0, 1)->SeriesIndex, 2);
  EXPECT_FALSE(Cell(1, 0)->HasImage);
  EXPECT_FALSE(Cell(1, 1)->HasImage);
  gRestrictedLoad = false;
}

TEST_F(GridTest, FillDoesNothingWhileLoadingOrWithoutATree) {
  form->FillViewers();
  EXPECT_FALSE(Cell(0, 0)->HasImage);
  FillTree("loading", {{"CT", 1}});
  gLoadingInProgress = true;
  form->FillViewers();
  form->SpeedButton2Click();  // layouts wait for the load too
  EXPECT_EQ(CellCount(), 1);
  EXPECT_FALSE(Cell(0, 0)->HasImage);
  gLoadingInProgress = false;
  form->FillViewers();
  EXPECT_TRUE(Cell(0, 0)->HasImage);
}

TEST_F(GridTest, WheelStepsSelectedCellsOnlyForAFullNotch) {
  FillTree("wheel", {{"CT", 5}});
  form->SpeedButton3Click();  // images 0 and 1
  ASSERT_EQ(Cell(0, 1)->ImageIndex, 1);
  Wheel(Cell(0, 0), -60);  // a fine-grained wheel: nothing
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  EXPECT_EQ(Cell(0, 1)->ImageIndex, 1);
  Wheel(Cell(0, 0), -120);  // forward, in every selected cell
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 1);
  EXPECT_EQ(Cell(0, 1)->ImageIndex, 2);
  form->ViewerSelectButtonClick(Viewer(0, 1));
  Wheel(Cell(0, 0), 120);  // backward; the unselected cell stays
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  EXPECT_EQ(Cell(0, 1)->ImageIndex, 2);
  Wheel(Cell(0, 0), 120);  // before the first image: round to the series' last
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 4);
  gLoadingInProgress = true;
  Wheel(Cell(0, 0), -120);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 4);
  gLoadingInProgress = false;
}

TEST_F(GridTest, FineWheelPartsStepOnceAWholeNotchHasGathered) {
  FillTree("wheel-fine", {{"CT", 5}});
  form->FillViewers();
  Wheel(Cell(0, 0), -60);  // half a notch: nothing yet
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  for (int i = 0; i < 3; ++i) Wheel(Cell(0, 0), -20);  // a touch pad's small parts
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 1);
  Wheel(Cell(0, 0), -60);
  Wheel(Cell(0, 0), 60);  // the other way: the parts so far do not count
  Wheel(Cell(0, 0), -60);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 1);
  Wheel(Cell(0, 0), -60);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 2);
}

TEST_F(GridTest, WheelInTheSingleModeStepsTheActiveCellOnly) {
  FillTree("wheel-single", {{"CT", 5}});
  form->SpeedButton3Click();
  form->btnProcessAllViewersClick();
  Click(Cell(0, 1));
  Wheel(Cell(0, 1), -120);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  EXPECT_EQ(Cell(0, 1)->ImageIndex, 2);
  form->btnProcessAllViewersClick();
}

TEST_F(GridTest, ArrowKeysStepTheActiveCell) {
  FillTree("keys", {{"CT", 3}});
  form->FillViewers();
  QKeyEvent down(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
  QApplication::sendEvent(form->allViewersPanel, &down);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 1);
  QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
  QApplication::sendEvent(form->allViewersPanel, &up);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  gLoadingInProgress = true;  // as the wheel: not while a load runs
  QKeyEvent again(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
  QApplication::sendEvent(form->allViewersPanel, &again);
  gLoadingInProgress = false;
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);

  // A series picked in the thumbnail column gives the column the focus; the
  // keys still step the active cell (the column scrolls with the wheel).
  form->activateWindow();
  form->ThumbnailsTool->setFocus();
  QApplication::processEvents();
  ASSERT_EQ(QApplication::focusWidget(), form->ThumbnailsTool);
  QKeyEvent page(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
  QApplication::sendEvent(form->ThumbnailsTool, &page);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 1);
  // A list that has the focus keeps its own keys.
  form->reportsListView->show();
  form->reportsListView->setFocus();
  QApplication::processEvents();
  ASSERT_EQ(QApplication::focusWidget(), form->reportsListView);
  QKeyEvent inList(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
  QApplication::sendEvent(form->reportsListView, &inList);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 1);
}

TEST_F(GridTest, ChooserConfirmAndCloseButtons) {
  // Confirm with no cell clicked applies 1 x 1 the first time.
  form->chooser = [](TSplitScreenForm* f) { f->SpeedButton1Click(); };
  form->SpeedButton2Click();
  form->btnSplitScreenClick();
  EXPECT_EQ(CellCount(), 1);
  EXPECT_EQ(form->SplitScreenForm->LastAppliedRows, 1);
  EXPECT_EQ(form->SplitScreenForm->LastAppliedCols, 1);

  // Cell 5 is row 1, column 2: two rows of three.
  form->chooser = [](TSplitScreenForm* f) {
    f->CellClick(5);
    f->SpeedButton1Click();
  };
  form->btnSplitScreenClick();
  EXPECT_EQ(form->CurrentRows, 2);
  EXPECT_EQ(form->CurrentCols, 3);

  // Close leaves the grid and restores the chooser's last applied layout.
  form->chooser = [](TSplitScreenForm* f) {
    f->CellClick(8);
    f->btnCloseClick();
  };
  form->btnSplitScreenClick();
  EXPECT_EQ(form->CurrentRows, 2);
  EXPECT_EQ(form->CurrentCols, 3);
  EXPECT_EQ(form->SplitScreenForm->Rows, 2);
  EXPECT_EQ(form->SplitScreenForm->Cols, 3);

  // The fill mode is taken as soon as it is picked.
  form->SplitScreenForm->RestrictedItem->click();
  EXPECT_TRUE(gRestrictedLoad);
  form->SplitScreenForm->SequentialItem->click();
  EXPECT_FALSE(gRestrictedLoad);
}

TEST_F(GridTest, ClickingACellMakesItTheActiveOne) {
  FillTree("activate", {{"CT", 4}});
  form->SpeedButton2Click();
  Cell(0, 0)->Action = VAZoom;
  Click(Cell(1, 0));
  EXPECT_EQ(form->ActiveAdvancedImage, Cell(1, 0));
  EXPECT_EQ(form->ActiveViewer, Viewer(1, 0));
  int active = 0;
  for (int n = 0; n < 4; ++n) active += Cell(n / 2, n % 2)->Active();
  EXPECT_EQ(active, 1);
  EXPECT_EQ(Cell(0, 0)->Action, VAPan);
  // Multi mode: selection is the select buttons' business.
  for (int n = 0; n < 4; ++n) EXPECT_TRUE(Cell(n / 2, n % 2)->Selected());
}

TEST_F(GridTest, MultiSingleSwitch) {
  FillTree("modes", {{"CT", 4}});
  form->SpeedButton2Click();
  Click(Cell(1, 1));
  form->btnProcessAllViewersClick();  // to Single
  EXPECT_FALSE(gProcessAllViewers);
  EXPECT_EQ(form->statusLabelCount->text(), "Single");
  EXPECT_EQ(form->btnProcessAllViewers->toolTip(), "Process All Viewers");
  EXPECT_EQ(form->ActiveAdvancedImage, Cell(0, 0));
  EXPECT_TRUE(Cell(0, 0)->Selected());
  EXPECT_FALSE(Cell(1, 1)->Selected());
  EXPECT_FALSE(Viewer(1, 1)->SelectButton->isVisible());
  // In the single mode the clicked cell is the selected one.
  Click(Cell(0, 1));
  EXPECT_TRUE(Cell(0, 1)->Selected());
  EXPECT_FALSE(Cell(0, 0)->Selected());
  // A new layout keeps the selection with the active cell, the only one.
  form->SetLayout(3, 3);
  int selected = 0;
  for (auto& row : form->AdvancedImages)
    for (TadvancedImage* c : row) selected += c->Selected();
  EXPECT_EQ(selected, 1);
  EXPECT_EQ(form->ActiveAdvancedImage, Cell(0, 1));
  EXPECT_TRUE(Cell(0, 1)->Selected());
  form->SetLayout(2, 2);

  form->btnProcessAllViewersClick();  // back to Multi
  EXPECT_TRUE(gProcessAllViewers);
  EXPECT_EQ(form->statusLabelCount->text(), "Multi");
  EXPECT_EQ(form->btnProcessAllViewers->toolTip(), "Process Current Viewer Only");
  for (int n = 0; n < 4; ++n) EXPECT_TRUE(Cell(n / 2, n % 2)->Selected());
  EXPECT_TRUE(Viewer(1, 1)->SelectButton->isVisible());
}

TEST_F(GridTest, RightDragWindowsEverySelectedCellWithAnImageInTenPixelSteps) {
  FillTree("drag", {{"CT", 3}});
  form->SpeedButton2Click();
  ASSERT_TRUE(Cell(0, 1)->HasImage);
  Cell(1, 0)->Clear();  // an empty selected cell
  form->ViewerSelectButtonClick(Viewer(1, 1));
  const double ww[] = {Cell(0, 0)->windowWidth, Cell(0, 1)->windowWidth, Cell(1, 1)->windowWidth};

  Press(Cell(0, 0), Qt::RightButton, {100, 100});
  EXPECT_EQ(form->MouseTool, 2);
  Move(Cell(0, 0), Qt::RightButton, {108, 100});  // below the threshold
  EXPECT_EQ(Cell(0, 0)->windowWidth, ww[0]);
  Move(Cell(0, 0), Qt::RightButton, {130, 100});
  EXPECT_NE(Cell(0, 0)->windowWidth, ww[0]);
  EXPECT_EQ(Cell(0, 1)->windowWidth, Cell(0, 0)->windowWidth);  // same image, same step
  EXPECT_EQ(Cell(1, 1)->windowWidth, ww[2]);                    // not selected
  EXPECT_FALSE(Cell(1, 0)->HasImage);
  Release(Cell(0, 0), Qt::RightButton, {130, 100});
  EXPECT_EQ(form->MouseTool, 1);  // back to panning
  EXPECT_FALSE(gAllViewersMouseDown);
}

TEST_F(GridTest, RightClickInTheSingleModeReturnsToPanning) {
  FillTree("single-right", {{"CT", 1}});
  form->FillViewers();
  form->btnProcessAllViewersClick();
  Press(Cell(0, 0), Qt::RightButton);
  EXPECT_EQ(form->MouseTool, 2);
  Release(Cell(0, 0), Qt::RightButton);
  EXPECT_EQ(form->MouseTool, 1);
  EXPECT_TRUE(form->btnPan->isChecked());
  EXPECT_FALSE(gAllViewersMouseDown);
  form->btnProcessAllViewersClick();
}

TEST_F(GridTest, SingleModeToolButtonsFollowTheActiveCell) {
  // In the single mode each cell drags with its own tool: the checked tool
  // button shows the active cell's, not the one picked for another cell.
  FillTree("single-tools", {{"CT", 2}});
  form->EnableStudyTools();  // as a load does
  form->SpeedButton3Click();
  form->btnProcessAllViewersClick();
  Click(Cell(0, 0));
  form->btnZoom->click();
  EXPECT_EQ(Cell(0, 0)->Action, VAZoom);
  Click(Cell(0, 1));
  EXPECT_EQ(Cell(0, 1)->Action, VAPan);
  EXPECT_TRUE(form->btnPan->isChecked());
  EXPECT_FALSE(form->btnZoom->isChecked());
  form->btnWwWl->click();
  Click(Cell(0, 0));  // the zoom cell was set back to panning when it lost focus
  EXPECT_TRUE(form->btnPan->isChecked());
  Click(Cell(0, 1));
  EXPECT_EQ(Cell(0, 1)->Action, VAPan);
  form->btnProcessAllViewersClick();
}

TEST_F(GridTest, LeftDragPansSelectedCells) {
  FillTree("pan", {{"CT", 2}});
  form->SpeedButton3Click();
  Press(Cell(0, 0), Qt::LeftButton, {50, 50});
  Move(Cell(0, 0), Qt::LeftButton, {53, 50});  // within 4 pixels
  EXPECT_EQ(Cell(0, 0)->PanX, 0);
  Move(Cell(0, 0), Qt::LeftButton, {70, 40});
  Release(Cell(0, 0), Qt::LeftButton, {70, 40});
  for (int c = 0; c < 2; ++c) {
    EXPECT_EQ(Cell(0, c)->PanX, 20);
    EXPECT_EQ(Cell(0, c)->panY, -10);
  }
}

TEST_F(GridTest, TrackBarsLoadImagesAndFrames) {
  FillTree("tracks", {{"CT", 3}, {"US", 1, 4}});
  form->ToolsPageControl->setCurrentIndex(4);
  form->SpeedButton3Click();
  gRestrictedLoad = true;
  form->FillViewers();
  gRestrictedLoad = false;
  Viewer(0, 0)->TrackBar->setValue(3);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 2);
  TadvancedImage* cine = Cell(0, 1);
  ASSERT_TRUE(cine->IsCine());
  EXPECT_TRUE(cine->InCineMode);
  EXPECT_EQ(form->ToolsPageControl->currentIndex(), 4);  // a cine plays; the tab stays
  Viewer(0, 1)->CineTrackBar->setValue(3);
  EXPECT_EQ(cine->CurrentFrame, 3);
}

}  // namespace
