#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QSlider>
#include <QToolButton>

#include "app/PatientInfo.h"
#include "window_fixture.h"

namespace {

using apptest::AppTest;
using apptest::FillTree;

// A 2 x 2 grid of one CT series: cell [1][0] unselected, cell [1][1] emptied.
class CommandTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    FillTree("commands", {{"CT", 4}});
    form->EnableStudyTools();  // as a load does
    form->SpeedButton2Click();
    form->ViewerSelectButtonClick(Viewer(1, 0));
    Cell(1, 1)->Clear();
  }
  struct Snapshot {
    double ww, wl;
    int zoom, panX;
    bool inverted, info, overlay;
    OrientationState orientation;
    QImage bmp;
  };
  Snapshot Take(TadvancedImage* c) {
    return {c->windowWidth, c->windowLevel,   c->zoomFactor,  c->PanX,    c->Inverted,
            c->ShowInfo(),  c->ShowOverlay(), c->orientation, c->Bitmap()};
  }
  static bool Same(const Snapshot& a, const Snapshot& b) {
    return a.ww == b.ww && a.wl == b.wl && a.zoom == b.zoom && a.panX == b.panX &&
           a.inverted == b.inverted && a.info == b.info && a.overlay == b.overlay &&
           a.orientation == b.orientation && a.bmp == b.bmp;
  }
};

TEST_F(CommandTest, MultiModeCommandsLeaveUnselectedAndEmptyCellsAlone) {
  const Snapshot unselected = Take(Cell(1, 0));
  const Snapshot empty = Take(Cell(1, 1));
  const Snapshot selected = Take(Cell(0, 1));
  form->btnFlipHorizontalClick();
  form->btnFilpVerticalClick();
  form->btnInvertClick();
  form->btnRotateClick();
  form->btnFitClick();
  form->btnResetWwWlClick();
  form->CheckBox_show_information->click();
  form->CheckBox_show_overlay->click();
  form->WwWlPresetsComboBox->setCurrentIndex(1);
  form->WwWlPresetsComboBoxChange();
  QApplication::processEvents();
  EXPECT_TRUE(Same(Take(Cell(1, 0)), unselected));
  EXPECT_TRUE(Same(Take(Cell(1, 1)), empty));
  EXPECT_FALSE(Cell(1, 1)->HasImage);
  const Snapshot after = Take(Cell(0, 1));
  EXPECT_FALSE(Same(after, selected));
  EXPECT_TRUE(after.inverted);
  EXPECT_FALSE(after.info);
  EXPECT_FALSE(after.overlay);
  EXPECT_EQ(after.ww, 2500);  // "Bone"
}

TEST_F(CommandTest, LocksAndFrameRateReachEveryCell) {
  form->btnLockZoomClick();
  form->btnLockWwWlClick();
  EXPECT_FALSE(gLockZoom);
  EXPECT_FALSE(gLockWwWl);
  form->trkFrameRate->setValue(8);  // 30 frames per second
  for (int n = 0; n < 4; ++n) {
    TadvancedImage* c = Cell(n / 2, n % 2);
    EXPECT_FALSE(c->_LockZoom) << n;
    EXPECT_FALSE(c->_LockWwWl) << n;
    EXPECT_EQ(c->CineFrameRate(), 30u) << n;
  }
  form->btnLockZoomClick();
  form->btnLockWwWlClick();
  EXPECT_TRUE(gLockZoom);
  EXPECT_TRUE(Cell(1, 1)->_LockZoom);
  FrameRateSetByUser = false;
}

TEST_F(CommandTest, LockGlyphFollowsTheLock) {
  const QImage locked = form->btnLockZoom->icon().pixmap(32).toImage();
  form->btnLockZoomClick();
  EXPECT_NE(form->btnLockZoom->icon().pixmap(32).toImage(), locked);
  form->btnLockZoomClick();
  EXPECT_EQ(form->btnLockZoom->icon().pixmap(32).toImage(), locked);
}

TEST_F(CommandTest, LungPresetOnEverySelectedCellWithAnImage) {
  const int lung = form->WwWlPresetsComboBox->findText("Lung");
  ASSERT_EQ(lung, 6);
  form->WwWlPresetsComboBox->setCurrentIndex(lung);
  emit form->WwWlPresetsComboBox->activated(lung);
  EXPECT_EQ(form->wwTextBox->text(), "1500");
  EXPECT_EQ(form->wlTextBox->text(), "-500");
  for (auto [r, c] : {std::pair{0, 0}, {0, 1}}) {
    EXPECT_EQ(Cell(r, c)->windowWidth, 1500);
    EXPECT_EQ(Cell(r, c)->windowLevel, -500);
  }
  EXPECT_EQ(Cell(1, 0)->windowWidth, 600);  // the header's window, unselected
}

TEST_F(CommandTest, MultiModePresetsGoToCtCellsOnlyTypedValuesToEvery) {
  FillTree("ct-mr", {{"CT", 2}, {"MR", 2}});
  form->FillViewers();
  TadvancedImage* ct = Cell(0, 0);
  TadvancedImage* mr = Cell(1, 0);
  ASSERT_EQ(ct->gDicomData.modality, "CT");
  ASSERT_EQ(mr->gDicomData.modality, "MR");
  if (!mr->Selected()) form->ViewerSelectButtonClick(Viewer(1, 0));
  ASSERT_TRUE(mr->Selected());
  const QImage mrPicture = mr->Bitmap();
  const int lung = form->WwWlPresetsComboBox->findText("Lung");
  form->WwWlPresetsComboBox->setCurrentIndex(lung);
  emit form->WwWlPresetsComboBox->activated(lung);
  EXPECT_EQ(ct->windowWidth, 1500);
  EXPECT_EQ(Cell(0, 1)->windowWidth, 1500);
  // Hounsfield units would whiten an MR image: it keeps its own window.
  EXPECT_EQ(mr->windowWidth, 600);
  EXPECT_EQ(mr->windowLevel, 300);
  EXPECT_EQ(mr->Bitmap(), mrPicture);
  // A typed window is the user's own and goes to every selected cell.
  form->wwTextBox->setText("0.5");
  form->wlTextBox->setText("250.25");
  emit form->wwTextBox->returnPressed();
  for (TadvancedImage* c : {ct, mr}) {
    EXPECT_EQ(c->windowWidth, 0.5);
    EXPECT_EQ(c->windowLevel, 250.25);
  }
}

TEST_F(CommandTest, TypedWindowValuesWithNonNumbers) {
  form->wwTextBox->setText("abc");
  form->wlTextBox->setText("120");
  emit form->wwTextBox->returnPressed();
  EXPECT_EQ(Cell(0, 0)->windowWidth, 1);
  EXPECT_EQ(Cell(0, 0)->windowLevel, 120);
  form->wwTextBox->setText(" 800 ");
  form->wlTextBox->setText("x");
  emit form->wlTextBox->returnPressed();
  EXPECT_EQ(Cell(0, 1)->windowWidth, 800);
  EXPECT_EQ(Cell(0, 1)->windowLevel, 0);
}

TEST_F(CommandTest, SingleModeActsOnTheActiveCellOnly) {
  form->btnProcessAllViewersClick();
  Click(Cell(0, 1));
  const Snapshot other = Take(Cell(0, 0));
  form->btnInvertClick();
  form->btnRotateClick();
  form->update_WwWL(100, 50);
  EXPECT_TRUE(Cell(0, 1)->Inverted);
  EXPECT_EQ(Cell(0, 1)->windowWidth, 100);
  EXPECT_TRUE(Same(Take(Cell(0, 0)), other));
  // Single-mode locks and frame rate touch the active cell only.
  form->trkFrameRate->setValue(1);
  EXPECT_EQ(Cell(0, 1)->CineFrameRate(), 1u);
  EXPECT_EQ(Cell(0, 0)->CineFrameRate(), 15u);
  form->btnProcessAllViewersClick();
  FrameRateSetByUser = false;
}

TEST_F(CommandTest, ResetIsQueuedToTheUserInterfaceThread) {
  form->btnRotateClick();
  ASSERT_NE(Cell(0, 1)->orientation, OrientationState{});
  form->btnResetClick();
  QApplication::processEvents();
  EXPECT_EQ(Cell(0, 0)->orientation, OrientationState{});
  EXPECT_EQ(Cell(0, 1)->orientation, OrientationState{});
  EXPECT_TRUE(Cell(0, 1)->HasImage);
}

TEST_F(CommandTest, DeleteButtonTogglesBackToPanning) {
  form->btnDeleteSingleAnnClick();
  EXPECT_EQ(form->ActiveAdvancedImage->Action, VADelete);
  EXPECT_TRUE(form->btnDeleteSingleAnn->isChecked());
  form->btnDeleteSingleAnnClick();
  EXPECT_EQ(form->ActiveAdvancedImage->Action, VAPan);
  EXPECT_FALSE(form->ActiveAdvancedImage->inDeleteMode);
  EXPECT_FALSE(form->btnDeleteSingleAnn->isChecked());
}

TEST_F(CommandTest, ToolButtonsSetTheActiveCellsAction) {
  const std::pair<void (TForm1::*)(), ViewerAction> tools[] = {
      {&TForm1::btnDrawLineClick, VALine},
      {&TForm1::btnDrawMeasureLineClick, VAMeasureLine},
      {&TForm1::btnDrawRectClick, VARectangle},
      {&TForm1::btnDrawEclipseClick, VAEllipse},
      {&TForm1::btnDrawTextClick, VATxtLabel},
      {&TForm1::btnDrawAngleClick, VAAngle},
      {&TForm1::btnZoomClick, VAZoom},
      {&TForm1::btnWwWlClick, VAWWWL},
      {&TForm1::btnPanClick, VAPan},
  };
  for (const auto& [handler, action] : tools) {
    (form.get()->*handler)();
    EXPECT_EQ(form->ActiveAdvancedImage->Action, action);
    EXPECT_EQ(Cell(0, 1)->Action, VAPan);
  }
  form->btnZoomClick();
  EXPECT_EQ(form->MouseTool, 0);
  EXPECT_TRUE(form->btnZoom->isChecked());
  EXPECT_FALSE(form->btnPan->isChecked());
}

TEST_F(CommandTest, CineCommandsOnlyOnCineCells) {
  FillTree("cine", {{"CT", 1}, {"US", 1, 5}});
  gRestrictedLoad = true;
  form->FillViewers();
  gRestrictedLoad = false;
  TadvancedImage* still = Cell(0, 0);
  TadvancedImage* cine = Cell(0, 1);
  ASSERT_TRUE(cine->IsCine());
  ASSERT_FALSE(still->IsCine());
  cine->PauseCine();
  const int frame = cine->CurrentFrame;
  form->btnNextFrameClick();
  QApplication::processEvents();
  EXPECT_EQ(cine->CurrentFrame, frame % 5 + 1);
  EXPECT_EQ(still->CurrentFrame, 1);
  form->btnPrevFrameClick();
  QApplication::processEvents();
  EXPECT_EQ(cine->CurrentFrame, frame);
  form->btnPlayCineClick();
  QApplication::processEvents();
  EXPECT_TRUE(cine->InCineMode);
  EXPECT_FALSE(still->InCineMode);
  form->btnPauseCineClick();
  QApplication::processEvents();
  EXPECT_FALSE(cine->InCineMode);
}

TEST_F(CommandTest, PresetsForCtTypedValuesForEveryModality) {
  // The group stays whatever the modality; its preset list is for CT images.
  form->UpdatePresetsVisibility();
  EXPECT_FALSE(form->WwWlPresetGrp->isHidden());
  EXPECT_TRUE(form->WwWlPresetsComboBox->isEnabled());
  FillTree("mr", {{"MR", 2}, {"mr", 1}});
  form->FillViewers();
  form->UpdatePresetsVisibility();
  EXPECT_FALSE(form->WwWlPresetGrp->isHidden());
  EXPECT_FALSE(form->WwWlPresetsComboBox->isEnabled());
  EXPECT_TRUE(form->wwTextBox->isEnabled());
  form->wwTextBox->setText("900");
  form->wlTextBox->setText("250");
  emit form->wwTextBox->returnPressed();
  EXPECT_EQ(Cell(0, 0)->windowWidth, 900);
  EXPECT_EQ(Cell(0, 0)->windowLevel, 250);
}

TEST_F(CommandTest, ExportNeedsAnImage) {
  Click(Cell(1, 1));  // the empty cell
  form->btnSaveClick();
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_EQ(form->messages[0], "No Image in Current Window.");
  Click(Cell(0, 0));
  form->saveFileName.clear();  // the user cancels the dialog
  form->btnSaveClick();
  EXPECT_EQ(form->messages.size(), 1u);

  const std::string dir = testsupport::TempDir("app-export");
  form->saveFileName = QString::fromStdString(dir + "/cell.jpg");
  form->btnSaveClick();
  EXPECT_EQ(form->messages.size(), 1u);
  EXPECT_GT(QFileInfo(form->saveFileName).size(), 0);
  // A folder that is not there: the reason is shown, not swallowed.
  form->saveFileName = QString::fromStdString(dir + "/missing/cell.jpg");
  form->btnSaveClick();
  ASSERT_EQ(form->messages.size(), 2u);
  EXPECT_TRUE(form->messages[1].startsWith("Cannot save ")) << form->messages[1].toStdString();
  EXPECT_GT(form->messages[1].size(), form->saveFileName.size() + 14);
}

TEST_F(CommandTest, InformationWindowShowsTheActiveHeader) {
  Click(Cell(1, 1));
  form->showPatInfoButtonClick();
  EXPECT_FALSE(form->PatientInfoForm->isVisible());  // nothing to show
  Click(Cell(0, 1));
  form->showPatInfoButtonClick();
  EXPECT_TRUE(form->PatientInfoForm->isVisible());
  EXPECT_EQ(form->PatientInfoForm->imgSizeValue->text(), "16 X 16");
  EXPECT_EQ(form->PatientInfoForm->patNameValue->text(), "DOE JOHN");  // as the reader gives it
  form->PatientInfoForm->hide();
}

TEST_F(CommandTest, ReferenceLineSwitchClearsEveryCellsLine) {
  for (int n = 0; n < 4; ++n) Cell(n / 2, n % 2)->ReferenceLine.x2 = 10;
  form->CheckBox_show_reference_lines->click();
  EXPECT_FALSE(gShowReferenceLines);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(Cell(n / 2, n % 2)->ReferenceLine.x2, 0);
  // On again: images of one series in one plane cut nothing.
  Cell(0, 1)->ReferenceLine.x2 = 10;
  form->CheckBox_show_reference_lines->click();
  EXPECT_TRUE(gShowReferenceLines);
  for (int n = 0; n < 4; ++n) EXPECT_EQ(Cell(n / 2, n % 2)->ReferenceLine.x2, 0);
}

// Every command, pressed twice, on empty cells, in both modes and while a load
// runs: nothing crashes and the grid stays whole.
TEST(CommandBadInput, EveryCommandOnEmptyCellsTwiceAndWhileLoading) {
  apptest::ClearTree();
  apptest::TestForm form;
  form.resize(900, 600);
  form.show();
  QApplication::processEvents();
  form.SpeedButton2Click();
  const std::vector<void (TForm1::*)()> commands = {
      &TForm1::btnFlipHorizontalClick,
      &TForm1::btnFilpVerticalClick,
      &TForm1::btnInvertClick,
      &TForm1::btnRotateClick,
      &TForm1::btnFitClick,
      &TForm1::btnResetClick,
      &TForm1::btnResetWwWlClick,
      &TForm1::btnPlayCineClick,
      &TForm1::btnPauseCineClick,
      &TForm1::btnNextFrameClick,
      &TForm1::btnPrevFrameClick,
      &TForm1::btnLockZoomClick,
      &TForm1::btnLockWwWlClick,
      &TForm1::CheckBox_show_informationClick,
      &TForm1::CheckBox_show_overlayClick,
      &TForm1::CheckBox_show_reference_linesClick,
      &TForm1::WwWlPresetsComboBoxChange,
      &TForm1::wwTextBoxKeyPress,
      &TForm1::btnZoomClick,
      &TForm1::btnPanClick,
      &TForm1::btnWwWlClick,
      &TForm1::btnDrawLineClick,
      &TForm1::btnDrawAngleClick,
      &TForm1::btnDeleteSingleAnnClick,
      &TForm1::btnClearAllAnnClick,
      &TForm1::btnSaveClick,
      &TForm1::showPatInfoButtonClick,
      &TForm1::btnProcessAllViewersClick,
      &TForm1::SpeedButton3Click,
      &TForm1::SpeedButton2Click,
      &TForm1::FillViewers,
      &TForm1::update_ReferenceLines,
      &TForm1::UpdatePresetsVisibility,
  };
  for (bool loading : {false, true}) {
    gLoadingInProgress = loading;
    for (auto command : commands) {
      (form.*command)();
      (form.*command)();
      QApplication::processEvents();
      ASSERT_NE(form.ActiveAdvancedImage, nullptr);
    }
    form.FormMouseWheel(-120);
    form.StepActiveCell(Qt::Key_Down);
    form.StepActiveCell(Qt::Key_Right);
  }
  gLoadingInProgress = false;
  EXPECT_EQ(form.CurrentRows * form.CurrentCols, 4);
  for (auto& row : form.AdvancedImages)
    for (TadvancedImage* c : row) EXPECT_FALSE(c->HasImage);
  EXPECT_EQ(form.messages.size(), 4u);  // "No Image in Current Window." each time
  gLockZoom = true;
  gLockWwWl = true;
  gShowReferenceLines = true;
}

}  // namespace
