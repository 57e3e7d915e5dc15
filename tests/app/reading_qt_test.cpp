// The main window's reading tools as a user meets them: the WW/WL boxes and
// preset list in step with the active cell, annotations kept per image with
// delete, clear, clear all and undo, the keys and the right-click menu, copy
// and export, stacks playing as a cine, a window that fits 1,024 x 768, and
// scrolling linked by slice position.
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QSlider>
#include <QTabWidget>
#include <QToolButton>
#include <cmath>

#include "dicom/dicom.h"
#include "viewer/AnnotationStore.h"
#include "viewer/cell_fixtures.h"
#include "window_fixture.h"

namespace {

using apptest::AppTest;
using apptest::FillTree;

class ReadingTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    form->EnableStudyTools();  // as a load does
    TAnnotationStore::Instance().Reset();
    multi = gProcessAllViewers.load();
  }
  void TearDown() override {
    TAnnotationStore::Instance().Reset();
    if (gProcessAllViewers != multi) form->btnProcessAllViewersClick();
    AppTest::TearDown();
  }
  // Lets queued reports (a cell's view, a new image) reach the window.
  static void Settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
  }
  void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(form->allViewersPanel, &e);
    Settle();
  }
  void Single() {
    if (gProcessAllViewers) form->btnProcessAllViewersClick();
  }
  bool multi = true;
};

}  // namespace

TEST_F(ReadingTest, WindowBoxesShowWhatTheActiveCellShows) {
  // Nothing shown yet: empty boxes and no preset, not "000" and a preset not applied.
  EXPECT_TRUE(form->wwTextBox->text().isEmpty());
  EXPECT_TRUE(form->wlTextBox->text().isEmpty());
  EXPECT_EQ(form->WwWlPresetsComboBox->currentIndex(), -1);

  FillTree("boxes", {{"CT", 2}, {"CT", 1}});
  form->SpeedButton3Click();  // 1 x 2, one series each... sequential: images 0 and 1
  Single();
  Settle();
  EXPECT_EQ(form->wwTextBox->text(), "600");  // the header's window of the active cell
  EXPECT_EQ(form->wlTextBox->text(), "300");
  EXPECT_EQ(form->WwWlPresetsComboBox->currentIndex(), -1);

  form->WwWlPresetsComboBox->setCurrentIndex(6);
  form->WwWlPresetsComboBoxChange();
  Settle();
  EXPECT_EQ(form->WwWlPresetsComboBox->currentText(), "Lung");
  // A drag changes the window: the boxes follow, and no preset applies any more.
  Press(Cell(0, 0), Qt::RightButton, {40, 40});
  Move(Cell(0, 0), Qt::RightButton, {80, 40});
  Release(Cell(0, 0), Qt::RightButton, {80, 40});
  Settle();
  EXPECT_EQ(form->wwTextBox->text().toInt(), Cell(0, 0)->windowWidth);
  EXPECT_NE(Cell(0, 0)->windowWidth, 1500);
  EXPECT_EQ(form->WwWlPresetsComboBox->currentIndex(), -1);
  form->btnResetWwWlClick();
  Settle();
  EXPECT_EQ(form->wwTextBox->text(), "600");

  // Another cell made active: its values.
  Cell(0, 1)->SetWwWl(700, 50);
  Cell(0, 1)->createBitmap();
  Cell(0, 1)->RenderViewer();
  Click(Cell(0, 1));
  Settle();
  EXPECT_EQ(form->wwTextBox->text(), "700");
  EXPECT_EQ(form->WwWlPresetsComboBox->currentText(), "Kidney");

  // A width below 1 is refused; the boxes go back to the cell's window.
  for (const char* width : {"0", "-20"}) {
    form->wwTextBox->setText(width);
    form->wlTextBox->setText("10");
    emit form->wwTextBox->returnPressed();
    Settle();
    EXPECT_EQ(Cell(0, 1)->windowWidth, 700) << width;
    EXPECT_EQ(Cell(0, 1)->windowLevel, 50) << width;
    EXPECT_EQ(form->wwTextBox->text(), "700");
  }

  // Clear Study empties them; the next load shows its own values.
  form->btnClearTreeClick();
  Settle();
  EXPECT_TRUE(form->wwTextBox->text().isEmpty());
  EXPECT_FALSE(form->wwTextBox->isEnabled());
  FillTree("boxes2", {{"MR", 1}});
  form->FillViewers();
  Settle();
  EXPECT_EQ(form->wwTextBox->text(), "600");
  EXPECT_FALSE(form->WwWlPresetsComboBox->isEnabled());  // presets are for CT
}

TEST_F(ReadingTest, AnnotationsStayWithTheirImageAndTheCommandsActOnIt) {
  FillTree("ann", {{"CT", 3}});
  form->FillViewers();
  Single();
  TadvancedImage* cell = Cell(0, 0);
  form->btnDrawLineClick();
  Press(cell, Qt::LeftButton, {20, 20});
  Move(cell, Qt::LeftButton, {120, 20});
  Release(cell, Qt::LeftButton, {120, 20});
  ASSERT_EQ(cell->Shapes.size(), 1u);
  Key(Qt::Key_Down);  // the next image has none; back again it is there
  EXPECT_EQ(cell->ImageIndex, 1);
  EXPECT_TRUE(cell->Shapes.empty());
  Key(Qt::Key_Up);
  ASSERT_EQ(cell->Shapes.size(), 1u);

  // Delete removes the one under the mouse; Ctrl+Z brings it back.
  // (Points lie on image pixels: at this zoom a few view pixels from where pressed.)
  form->btnPanClick();
  const Shape& line = cell->Shapes[0];
  Move(cell, Qt::NoButton, cell->ImageToView(QPoint((line.x1 + line.x2) / 2, line.y1)));
  ASSERT_EQ(cell->SelectedShapeIndex, 0);
  Key(Qt::Key_Delete);
  EXPECT_TRUE(cell->Shapes.empty());
  Key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(cell->Shapes.size(), 1u);

  // Clear acts on the image on display only; Clear All asks first.
  Key(Qt::Key_Down);
  form->btnDrawMeasureLineClick();
  Press(cell, Qt::LeftButton, {20, 60});
  Move(cell, Qt::LeftButton, {90, 60});
  Release(cell, Qt::LeftButton, {90, 60});
  form->btnClearAnnClick();
  EXPECT_TRUE(cell->Shapes.empty());
  EXPECT_EQ(TAnnotationStore::Instance().Count(), 1u);  // the first image keeps its line
  form->confirm = false;
  form->btnClearAllAnnClick();
  ASSERT_EQ(form->questions.size(), 1u);
  EXPECT_EQ(TAnnotationStore::Instance().Count(), 1u);
  form->confirm = true;
  form->btnClearAllAnnClick();
  EXPECT_EQ(TAnnotationStore::Instance().Count(), 0u);
  form->btnClearAllAnnClick();  // nothing left: nothing asked
  EXPECT_EQ(form->questions.size(), 2u);
}

TEST_F(ReadingTest, KeysForImagesToolsAndPresetsShownInTheHints) {
  FillTree("keys", {{"CT", 5}});
  form->FillViewers();
  Single();
  TadvancedImage* cell = Cell(0, 0);
  Key(Qt::Key_End);
  EXPECT_EQ(cell->ImageIndex, 4);
  Key(Qt::Key_Home);
  EXPECT_EQ(cell->ImageIndex, 0);

  const std::pair<int, ViewerAction> tools[] = {
      {Qt::Key_L, VALine},      {Qt::Key_M, VAMeasureLine}, {Qt::Key_A, VAAngle},
      {Qt::Key_R, VARectangle}, {Qt::Key_E, VAEllipse},     {Qt::Key_T, VATxtLabel},
      {Qt::Key_Z, VAZoom},      {Qt::Key_W, VAWWWL},        {Qt::Key_P, VAPan}};
  for (const auto& [key, action] : tools) {
    Key(key);
    EXPECT_EQ(cell->Action, action) << key;
  }
  EXPECT_EQ(form->btnPan->toolTip(), "Pan (P)");
  EXPECT_EQ(form->btnDrawMeasureLine->toolTip(), "Draw Measurement Line (M)");
  EXPECT_TRUE(form->WwWlPresetsComboBox->toolTip().contains("F7 Lung"));
  Key(Qt::Key_F7);
  EXPECT_EQ(cell->windowWidth, 1500);
  EXPECT_EQ(cell->windowLevel, -500);
  Key(Qt::Key_F1, Qt::ShiftModifier);  // the thirteenth
  EXPECT_EQ(cell->windowWidth, 350);
  EXPECT_EQ(cell->windowLevel, 90);

  // Typing in a box is typing, not a tool.
  form->activateWindow();
  form->wwTextBox->setFocus();
  QApplication::processEvents();
  ASSERT_EQ(QApplication::focusWidget(), form->wwTextBox);
  QKeyEvent l(QEvent::KeyPress, Qt::Key_L, Qt::NoModifier, "l");
  QApplication::sendEvent(form->wwTextBox, &l);
  EXPECT_EQ(cell->Action, VAPan);
}

TEST_F(ReadingTest, TheCellMenuOffersTheCommonTools) {
  FillTree("menu", {{"CT", 2}});
  form->FillViewers();
  Single();
  TadvancedImage* cell = Cell(0, 0);
  form->btnDrawAngleClick();
  form->pick = "Draw Rectangle (R)";
  Press(cell, Qt::RightButton, {50, 50});
  Release(cell, Qt::RightButton, {50, 50});
  for (const char* entry :
       {"Pan (P)", "Zoom (Z)", "WW & WL (W)", "Draw Line (L)", "Draw Measurement Line (M)",
        "Reset Image", "Fit Image", "Copy to Clipboard (Ctrl+C)", "Export PNG...",
        "Link This Cell for Synchronised Scrolling", "Display All DICOM Tags"})
    EXPECT_TRUE(form->menuEntries.contains(entry)) << entry;
  EXPECT_EQ(cell->Action, VARectangle);
  // A right drag windows and opens no menu.
  form->menuEntries.clear();
  form->pick.clear();
  const int width = cell->windowWidth;
  Press(cell, Qt::RightButton, {50, 50});
  Move(cell, Qt::RightButton, {110, 50});
  Release(cell, Qt::RightButton, {110, 50});
  EXPECT_TRUE(form->menuEntries.isEmpty());
  EXPECT_NE(cell->windowWidth, width);
}

TEST_F(ReadingTest, CopyAndExportOfTheCellOrTheWholeSeries) {
  FillTree("export", {{"CT", 3}});
  form->FillViewers();
  Single();
  TadvancedImage* cell = Cell(0, 0);
  QApplication::clipboard()->clear();
  Key(Qt::Key_C, Qt::ControlModifier);
  const QImage copied = QApplication::clipboard()->image();
  ASSERT_FALSE(copied.isNull());
  EXPECT_EQ(copied.size(), cell->size());
  EXPECT_NE(cell->Surface().pixel(cell->width() - 6, 100), copied.pixel(cell->width() - 6, 100));

  const QString dir = QString::fromStdString(
      testsupport::TempDir("app-export-" + std::to_string(QApplication::applicationPid())));
  form->saveFileName = dir + "/own";
  form->saveFilter = kJpegOwnFilter;
  form->btnSaveClick();
  EXPECT_TRUE(form->offeredFilters.contains(kJpegCellFilter));
  EXPECT_EQ(QImage(dir + "/own.jpg").size(), QSize(16, 16));

  form->saveFileName = dir + "/series.png";
  form->saveFilter = kPngSeriesOwnFilter;
  form->btnExportPngClick();
  const QStringList files = QDir(dir).entryList({"series_*.png"}, QDir::Files, QDir::Name);
  EXPECT_EQ(files, (QStringList{"series_001.png", "series_002.png", "series_003.png"}));
  EXPECT_EQ(QImage(dir + "/series_002.png").size(), QSize(16, 16));
  EXPECT_EQ(cell->ImageIndex, 0);  // the cell on display did not move
  form->saveFilter = kPngSeriesFilter;
  form->saveFileName = dir + "/shown.png";
  form->btnExportPngClick();
  EXPECT_EQ(QImage(dir + "/shown_003.png").size(), cell->size());
  EXPECT_TRUE(form->messages.empty());
}

TEST_F(ReadingTest, StacksPlayAsACineInEverySelectedCell) {
  FillTree("stack", {{"CT", 3}, {"CT", 1}});
  gRestrictedLoad = true;
  form->SpeedButton3Click();
  gRestrictedLoad = false;
  form->btnPlayCineClick();  // the all-viewers mode: cells that can play
  Settle();
  EXPECT_TRUE(Cell(0, 0)->InCineMode);
  EXPECT_TRUE(Cell(0, 0)->PlaysStack());
  EXPECT_FALSE(Cell(0, 1)->InCineMode);  // one image: nothing to play
  form->btnPauseCineClick();
  Settle();
  EXPECT_FALSE(Cell(0, 0)->InCineMode);
}

TEST_F(ReadingTest, TheWindowFitsA1024By768Screen) {
  EXPECT_LE(form->minimumSizeHint().width(), 1024);
  EXPECT_LE(form->minimumSizeHint().height(), 740);
  form->resize(1024, 740);
  Settle();
  EXPECT_EQ(form->width(), 1024);
  // Every tool stays reachable: the tabs scroll sideways.
  for (int i = 0; i < form->ToolsPageControl->count(); ++i)
    EXPECT_NE(qobject_cast<QScrollArea*>(form->ToolsPageControl->widget(i)), nullptr) << i;
  EXPECT_GE(form->allViewersPanel->width(), 600);
}

namespace {

// Slices of one frame of reference along z, one file each, their headers
// filed in the tree as a folder load files them.
std::vector<std::string> Slices(const std::string& dir, const std::string& name, int count,
                                double first, double step, const std::string& frame,
                                const std::string& orientation = "1\\0\\0\\0\\1\\0") {
  std::vector<std::string> files;
  for (int i = 0; i < count; ++i) {
    cellfix::Image s;
    s.columns = s.rows = 8;
    s.values.assign(64, 100);
    s.windowCenter = "100";
    s.windowWidth = "200";
    s.orientation = orientation;
    s.frameOfReference = frame;
    const double z = first + i * step;
    s.position = orientation == "1\\0\\0\\0\\1\\0" ? "0\\0\\" + std::to_string(z)
                                                   : std::to_string(z) + "\\0\\0";
    s.instanceNumber = std::to_string(i + 1);
    files.push_back(cellfix::Write(dir, name + std::to_string(i) + ".dcm", s));
  }
  return files;
}

}  // namespace

TEST_F(ReadingTest, ScrollingByPositionAcrossSeriesOfDifferentSpacings) {
  const std::string dir = testsupport::TempDir("app-sync");
  // 5 mm slices from z = 0, 3 mm slices from z = 42 downwards (stored in the
  // other order), a sagittal series, and another frame of reference.
  const auto five = Slices(dir, "five", 10, 0, 5, "1.2.9");
  const auto three = Slices(dir, "three", 15, 42, -3, "1.2.9");
  const auto sagittal = Slices(dir, "sag", 4, -10, 10, "1.2.9", "0\\1\\0\\0\\0\\-1");
  const auto other = Slices(dir, "other", 10, 0, 5, "7.7.7");
  cellfix::MakeTree({five, three, sagittal, other});
  {
    std::lock_guard lock(gPatientsMutex);
    // The 3 mm series as a DICOMDIR files it (no header in the tree), the others with theirs.
    for (size_t s : {0u, 2u, 3u})
      for (TImg& im : gPatients[0].studies[0].serieses[s].images) {
        bool hdrOK = false, imgOK = false;
        ReadDicomHeader(im.imagePath, true, im.Cache.DICOM, hdrOK, imgOK,
                        [](const std::string&) {});
        im.Cache.DICOM.referenceFile = im.imagePath;
      }
  }
  gRestrictedLoad = true;
  form->SpeedButton2Click();  // one series per cell
  gRestrictedLoad = false;
  Single();
  Settle();
  TadvancedImage* a = Cell(0, 0);
  TadvancedImage* b = Cell(0, 1);
  TadvancedImage* sag = Cell(1, 0);
  TadvancedImage* far = Cell(1, 1);
  ASSERT_TRUE(a->HasImage && b->HasImage && sag->HasImage && far->HasImage);

  // Off: stepping one cell moves no other.
  Click(a);
  for (int i = 0; i < 4; ++i) Key(Qt::Key_Down);
  EXPECT_EQ(a->ImageIndex, 4);  // z = 20
  EXPECT_EQ(b->ImageIndex, 0);

  // On: the 3 mm cell goes to the slice nearest z = 20 (z = 21, its 8th),
  // the crossing plane and the other frame of reference stay.
  form->btnSyncPosition->click();
  Settle();
  EXPECT_EQ(b->ImageIndex, 7);
  EXPECT_EQ(sag->ImageIndex, 0);
  EXPECT_EQ(far->ImageIndex, 0);
  Key(Qt::Key_Down);  // z = 25: 24 is nearest
  EXPECT_EQ(b->ImageIndex, 6);
  Key(Qt::Key_End);  // z = 45: beyond the 3 mm series' end, its nearest is z = 42
  EXPECT_EQ(b->ImageIndex, 0);
  // The other way round: the 3 mm cell leads, the 5 mm one follows.
  Click(b);
  Key(Qt::Key_End);  // z = 0
  EXPECT_EQ(a->ImageIndex, 0);
  Key(Qt::Key_Up);  // z = 3: 5 is nearer than 0
  EXPECT_EQ(a->ImageIndex, 1);

  // Linked by hand, another frame of reference follows with the offset it had.
  Click(a);
  EXPECT_EQ(a->ImageIndex, 1);  // z = 5; far is at z = 0
  form->ToggleUserLink(a);
  form->ToggleUserLink(far);
  Key(Qt::Key_Down);
  Key(Qt::Key_Down);  // a at z = 15: far 10 mm further, z = 10
  EXPECT_EQ(far->ImageIndex, 2);
  form->ToggleUserLink(far);
  Key(Qt::Key_Down);
  EXPECT_EQ(far->ImageIndex, 2);

  // Off again: no following.
  form->btnSyncPosition->click();
  const int left = b->ImageIndex;
  Key(Qt::Key_Down);
  EXPECT_EQ(b->ImageIndex, left);
}

TEST_F(ReadingTest, LinkedWindowAndZoomAreSeparateToggles) {
  FillTree("links", {{"CT", 1}, {"CT", 1}, {"MR", 1}});
  gRestrictedLoad = true;
  form->SpeedButton2Click();
  gRestrictedLoad = false;
  Single();
  Settle();
  TadvancedImage* a = Cell(0, 0);
  TadvancedImage* b = Cell(0, 1);
  TadvancedImage* mr = Cell(1, 0);
  Click(a);
  form->btnLinkWwWl->click();
  form->WwWlPresetsComboBox->setCurrentIndex(2);  // "Brain"
  form->WwWlPresetsComboBoxChange();
  Settle();
  EXPECT_EQ(b->windowWidth, 80);
  EXPECT_EQ(b->windowLevel, 40);
  EXPECT_EQ(mr->windowWidth, 600);  // a CT window means nothing to an MR image
  const int zoom = b->zoomFactor;
  a->Zoom(50);
  Settle();
  EXPECT_EQ(b->zoomFactor, zoom);  // zoom is not linked
  form->btnLinkZoom->click();
  Settle();
  EXPECT_EQ(b->zoomFactor, a->zoomFactor);  // same spacing: the same zoom
  form->btnLinkWwWl->click();               // off
  form->btnResetWwWlClick();
  Settle();
  EXPECT_EQ(a->windowWidth, 600);
  EXPECT_EQ(b->windowWidth, 80);
}

TEST_F(ReadingTest, TypedValuesForAnEightBitImageToo) {
  const std::string dir = testsupport::TempDir("app-bytes");
  cellfix::Image s;
  s.columns = s.rows = 8;
  s.bitsAllocated = 8;
  s.modality = "US";
  s.values.assign(64, 60);
  cellfix::MakeTree({{cellfix::Write(dir, "us.dcm", s)}});
  form->FillViewers();
  Single();
  Settle();
  TadvancedImage* cell = Cell(0, 0);
  ASSERT_TRUE(cell->IsByteImage());
  // Shown through brightness and contrast: no values, but the boxes take some.
  EXPECT_TRUE(form->wwTextBox->isEnabled());
  EXPECT_TRUE(form->wwTextBox->text().isEmpty());
  form->wwTextBox->setText("40");
  form->wlTextBox->setText("60");
  emit form->wwTextBox->returnPressed();
  Settle();
  EXPECT_EQ(cellfix::Grey(cell->Bitmap(), 0, 0), 128);
  EXPECT_EQ(form->wwTextBox->text(), "40");
  form->btnResetWwWlClick();
  Settle();
  EXPECT_EQ(cellfix::Grey(cell->Bitmap(), 0, 0), 60);
  EXPECT_TRUE(form->wwTextBox->text().isEmpty());
}
