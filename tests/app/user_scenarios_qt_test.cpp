// Whole-window scenarios a user runs: the demo study loaded from disk, then
// the tool tabs' buttons, layouts with a cine playing, "Clear Study", a second
// study on top of the first and the split-screen chooser, each through the
// window's own buttons and event loop.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <set>

#include "app/EncapsulatedDocumentWindow.h"
#include "app/PatientInfo.h"
#include "app/ReportWindow.h"
#include "app/SplitScreen.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/WaveformWindow.h"
#include "app_fixtures.h"
#include "study/DemoStudy.h"
#include "viewer/OverlayLayout.h"
#include "window_fixture.h"

namespace {

class ScenarioForm : public apptest::TestForm {
 public:
  QString folder;
  std::vector<QString> summaries;

 protected:
  QString AskFolder() override { return folder; }
  void ShowLoadSummary(const QString& text, const QString&) override { summaries.push_back(text); }
};

class Scenario : public ::testing::Test {
 protected:
  void SetUp() override {
    appfx::ResetLoadingState();
    gForceRefill = false;
    gShowReferenceLines = true;
    gProcessAllViewers = true;
    gRestrictedLoad = false;
    form = std::make_unique<ScenarioForm>();
    form->resize(1100, 760);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    appfx::ResetLoadingState();
    gProcessAllViewers = true;
    gRestrictedLoad = false;
    gLockZoom = gLockWwWl = true;
  }

  void WaitIdle() {
    if (form->IsIdle() && !gLoadingInProgress) return;
    QEventLoop loop;
    QObject::connect(form.get(), &TForm1::loadsFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    QApplication::processEvents();
  }
  // The distinct frames a cell shows while events run for ms milliseconds.
  static std::set<int> FramesShown(TadvancedImage* cell, int ms) {
    std::set<int> frames;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      frames.insert(cell->CurrentFrame);
    }
    return frames;
  }
  static void Pump(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  std::string Demo(const std::string& name) {
    const std::string dir = testsupport::TempDir("scenario-" + name);
    EXPECT_TRUE(demo::WriteDemoStudy(dir));
    return dir;
  }
  void OpenFolder(const std::string& dir) {
    form->folder = QString::fromStdString(dir);
    form->btnOpenFolder->click();
    WaitIdle();
  }
  std::vector<TadvancedImage*> Cells() const {
    std::vector<TadvancedImage*> out;
    for (auto& row : form->AdvancedImages)
      for (TadvancedImage* c : row) out.push_back(c);
    return out;
  }
  TSeriesPanel* Panel(const QString& modality) const {
    for (TSeriesPanel* p : form->ThumbnailsTool->SeriesPanels())
      if (p->Modality == modality) return p;
    return nullptr;
  }

  std::unique_ptr<ScenarioForm> form;
};

TEST_F(Scenario, EveryToolTabButtonAfterALoadInBothModes) {
  form->Protocols = {};  // the grid's own 2 x 2 fill of the CT, not a hanging protocol's
  OpenFolder(Demo("tools"));
  ASSERT_EQ(form->CurrentRows * form->CurrentCols, 4);
  for (TadvancedImage* c : Cells()) ASSERT_TRUE(c->HasImage);

  // The buttons themselves, so that each is wired to its command.
  TadvancedImage* a = Cells()[0];
  TadvancedImage* b = Cells()[3];
  form->btnInvert->click();
  EXPECT_TRUE(a->Inverted);
  EXPECT_TRUE(b->Inverted);
  const OrientationState before = b->orientation;
  form->btnRotate->click();
  QApplication::processEvents();
  EXPECT_FALSE(a->orientation == before && b->orientation == before);
  form->WwWlPresetsComboBox->setCurrentIndex(6);
  emit form->WwWlPresetsComboBox->activated(6);
  EXPECT_EQ(b->windowWidth, 1500);
  EXPECT_EQ(b->windowLevel, -500);
  form->wwTextBox->setText("333");
  form->wlTextBox->setText("22");
  emit form->wwTextBox->returnPressed();
  EXPECT_EQ(a->windowWidth, 333);
  EXPECT_EQ(b->windowLevel, 22);
  form->btnReset->click();
  QApplication::processEvents();
  EXPECT_FALSE(a->Inverted);

  // Every other button of the image, annotation and cine tabs, twice.
  for (QWidget* tab : {form->TabSheet2, form->TabSheet3, form->TabSheet4})
    for (QToolButton* button : tab->findChildren<QToolButton*>()) {
      button->click();
      button->click();
      QApplication::processEvents();
    }
  for (QCheckBox* box : form->TabSheet3->findChildren<QCheckBox*>()) {
    box->click();
    box->click();
  }
  QApplication::processEvents();
  for (TadvancedImage* c : Cells()) EXPECT_TRUE(c->HasImage);
  EXPECT_TRUE(gLockZoom);
  EXPECT_TRUE(gLockWwWl);

  // Single mode: the active cell only.
  form->btnProcessAllViewers->click();
  ASSERT_FALSE(gProcessAllViewers);
  const bool other = b->Inverted;
  form->btnInvert->click();
  EXPECT_NE(form->ActiveAdvancedImage->Inverted, other);
  EXPECT_EQ(b->Inverted, other);
  form->showPatInfoButton->click();
  EXPECT_TRUE(form->PatientInfoForm->isVisible());
  form->PatientInfoForm->close();
}

TEST_F(Scenario, LayoutChangesWhileACinePlays) {
  form->Protocols = {};  // the grid's own 2 x 2 fill, not a hanging protocol's
  OpenFolder(Demo("cine"));
  TSeriesPanel* us = Panel("US");
  ASSERT_TRUE(us);
  // The cine into the active cell [0][1], where it plays.
  const auto playIn = [&](int row, int col) {
    form->allViewersPanelMouseDown(form->Viewers[size_t(row)][size_t(col)], Qt::LeftButton, {5, 5});
    form->allViewersPanelMouseUp(Qt::LeftButton);
    form->ThumbnailsTool->SeriesPanelDblClick(us);
    TadvancedImage* cell = form->AdvancedImages[size_t(row)][size_t(col)];
    EXPECT_TRUE(cell->IsCine());
    form->btnPlayCine->click();
    EXPECT_GT(FramesShown(cell, 400).size(), 1u);
    EXPECT_TRUE(cell->InCineMode);
    return cell;
  };
  TadvancedImage* cine = playIn(0, 1);

  // 3 x 3 keeps the cell and refills it from the first study: the cine stops.
  form->chooser = [](TSplitScreenForm* f) {
    f->CellClick(8);
    f->SpeedButton1Click();
  };
  form->btnSplitScreen->click();
  ASSERT_EQ(form->CurrentRows * form->CurrentCols, 9);
  EXPECT_EQ(form->AdvancedImages[0][1], cine);
  Pump(100);
  EXPECT_FALSE(cine->IsCine());
  EXPECT_FALSE(cine->InCineMode);

  // Cines in a cell that a smaller layout destroys and in one it keeps.
  playIn(2, 2);
  TadvancedImage* kept = playIn(0, 0);
  // A file that is filed but cannot be shown leaves the cine playing.
  // (Hierarchical JPEG: a syntax no codec decodes.)
  const std::string undecodable = fixtures::WriteFile(
      testsupport::TempDir("scenario-undecodable"), "video.dcm",
      fixtures::EncapsulatedFile({}, "1.2.840.10008.1.2.4.59", fixtures::Fragments({64})));
  form->OpenImage(QString::fromStdString(undecodable));
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_TRUE(kept->IsCine());
  EXPECT_GT(FramesShown(kept, 400).size(), 1u);
  form->SpeedButton3->click();
  Pump(150);
  EXPECT_EQ(form->CurrentRows * form->CurrentCols, 2);
  form->SpeedButton4->click();
  form->SpeedButton2->click();
  Pump(150);
  EXPECT_EQ(form->CurrentRows * form->CurrentCols, 4);
  for (TadvancedImage* c : Cells()) EXPECT_TRUE(c->HasImage);
}

TEST_F(Scenario, ClearStudyDuringAndAfterALoadThenASecondStudyOnTop) {
  form->Protocols = {};  // the grid's own fill, not a hanging protocol's
  const std::string first = Demo("clear");
  form->folder = QString::fromStdString(first);
  form->btnOpenFolder->click();
  // While it loads, "Clear Study" waits its turn: the load keeps everything.
  form->btnClearTreeClick();
  WaitIdle();
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(appfx::ImageCount(gPatients), 37);
  }
  form->btnClearTree->click();
  EXPECT_TRUE(form->ThumbnailsTool->Panels().empty());
  for (TadvancedImage* c : Cells()) EXPECT_FALSE(c->HasImage);

  // A study again after clearing: the grid fills once more.
  OpenFolder(first);
  for (TadvancedImage* c : Cells()) EXPECT_TRUE(c->HasImage);

  // A second patient's study on top: both are listed, the grid keeps the first.
  const std::string dir = testsupport::TempDir("scenario-second");
  appfx::TestImage t;
  t.patientName = "SECOND^PATIENT";
  t.patientId = "2002";
  t.modality = "MR";
  appfx::WriteImage(dir, "mr.dcm", t);
  const std::string shown = Cells()[0]->CurrentOpenedPath;
  OpenFolder(dir);
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 2u);
    EXPECT_EQ(gPatients[1].patintID, "2002");
  }
  int patientPanels = 0;
  for (QWidget* w : form->ThumbnailsTool->Panels())
    patientPanels += qobject_cast<TPatientPanel*>(w) != nullptr;
  EXPECT_EQ(patientPanels, 2);
  EXPECT_EQ(Cells()[0]->CurrentOpenedPath, shown);
  EXPECT_EQ(form->CurrentRows * form->CurrentCols, 4);
}

TEST_F(Scenario, SplitScreenChooserModes) {
  OpenFolder(Demo("split"));
  // Restricted 3 x 3: one series per cell, the cells past the last series empty.
  form->chooser = [](TSplitScreenForm* f) {
    f->RestrictedItem->click();
    f->CellClick(8);
    f->SpeedButton1Click();
  };
  form->btnSplitScreen->click();
  ASSERT_TRUE(gRestrictedLoad);
  ASSERT_EQ(form->CurrentRows * form->CurrentCols, 9);
  const std::vector<TadvancedImage*> cells = Cells();
  for (int n = 0; n < 9; ++n) {
    EXPECT_EQ(cells[size_t(n)]->HasImage, n < 4) << n;
    if (n < 4) {
      EXPECT_EQ(cells[size_t(n)]->SeriesIndex, n);
    }
  }
  // Sequential again from the chooser, closed with its close button: the mode
  // applies at once, the grid stays 3 x 3 and is refilled by the next layout.
  form->chooser = [](TSplitScreenForm* f) {
    f->SequentialItem->click();
    f->CellClick(0);
    f->btnCloseClick();
  };
  form->btnSplitScreen->click();
  EXPECT_FALSE(gRestrictedLoad);
  EXPECT_EQ(form->CurrentRows * form->CurrentCols, 9);
  form->chooser = [](TSplitScreenForm* f) { f->SpeedButton1Click(); };
  form->btnSplitScreen->click();
  EXPECT_EQ(form->CurrentRows * form->CurrentCols, 9);
  for (TadvancedImage* c : Cells()) EXPECT_TRUE(c->HasImage);
}

}  // namespace

namespace {

// The tree's path at a cell's position; empty when there is none.
std::string PathAt(const TadvancedImage* c) {
  std::lock_guard lock(gPatientsMutex);
  try {
    return gPatients.at(size_t(c->PatientIndex))
        .studies.at(size_t(c->StudyIndex))
        .serieses.at(size_t(c->SeriesIndex))
        .images.at(size_t(c->ImageIndex))
        .imagePath;
  } catch (const std::out_of_range&) {
    return {};
  }
}

TEST_F(Scenario, EverySampleOpenedAloneThenItsInformation) {
  // Each sample opened as a single file into the active cell: it shows, or
  // the user is told why; the cell's position always names what it shows,
  // and the information window shows the same header.
  QDir dir(QString::fromUtf8(TAVROLEN_SAMPLE_DIR));
  const QStringList files = dir.entryList({"*.dcm"}, QDir::Files, QDir::Name);
  ASSERT_GT(files.size(), 50);
  int shown = 0, documents = 0;
  for (const QString& name : files) {
    SCOPED_TRACE(name.toStdString());
    form->messages.clear();
    form->OpenImage(dir.filePath(name));
    TadvancedImage* cell = form->ActiveAdvancedImage;
    const bool isShown = cell->CurrentOpenedPath == dir.filePath(name).toStdString();
    // A report, document or waveform shows in a window of its own instead.
    const std::string path = dir.filePath(name).toStdString();
    const bool inItsWindow = ReportWindowOf(path) || TEncapsulatedDocumentWindow::Find(path) ||
                             TWaveformWindow::Find(path);
    if (inItsWindow) {
      EXPECT_FALSE(isShown);
      EXPECT_TRUE(form->messages.empty()) << form->messages[0].toStdString();
      ++documents;
    } else if (!isShown) {
      ASSERT_EQ(form->messages.size(), 1u);
      EXPECT_TRUE(form->messages[0].contains(name));
    }
    if (!cell->HasImage) continue;
    EXPECT_EQ(PathAt(cell), cell->CurrentOpenedPath);
    // A copy of an instance another sample brought shows that one, and says so.
    shown += isShown || form->messages[0].contains("the same instance as");
    form->showPatInfoButton->click();
    ASSERT_TRUE(form->PatientInfoForm->isVisible());
    EXPECT_EQ(form->PatientInfoForm->Header().referenceFile, cell->gDicomData.referenceFile);
    EXPECT_EQ(form->PatientInfoForm->patIDValue->text(), HeaderText(cell->gDicomData.PatientID));
  }
  EXPECT_GT(shown, 30);
  EXPECT_GE(documents, 3);  // the reports and the ECG among the samples
  form->PatientInfoForm->close();
}

}  // namespace

namespace {

// What a person reads for each character-set sample that shows an image: the
// names as pydicom decodes them, in the viewer's form.
const std::pair<const char*, const char*> kNamesInEveryScript[] = {
    {"chrArab.dcm", "قباني لنزار"},
    {"chrFren.dcm", "Buc Jérôme"},
    {"chrGerm.dcm", "Äneas Rüdiger"},
    {"chrGreek.dcm", "Διονυσιος"},
    {"chrH31.dcm", "Yamada Tarou=山田 太郎=やまだ たろう"},
    {"chrH32.dcm", "ﾔﾏﾀﾞ ﾀﾛｳ=山田 太郎=やまだ たろう"},
    {"chrHbrw.dcm", "שרון דבורה"},
    {"chrI2.dcm", "Hong Gildong=洪 吉洞=홍 길동"},
    {"chrRuss.dcm", "Люкceмбypг"},
    {"chrX1.dcm", "Wang XiaoDong=王 小東"},
    {"chrX2.dcm", "Wang XiaoDong=王 小东"},
};

}  // namespace

TEST_F(Scenario, NamesInEveryScriptInTheBrowserAndTheOverlay) {
  REQUIRE_SAMPLES();
  REQUIRE_SAMPLE("../charset_files");
  const QDir dir(QString::fromUtf8(TAVROLEN_SAMPLE_DIR) + "/../charset_files");
  for (const auto& [file, name] : kNamesInEveryScript) {
    SCOPED_TRACE(file);
    form->OpenImage(dir.filePath(file));
    TadvancedImage* cell = form->ActiveAdvancedImage;
    ASSERT_TRUE(cell->HasImage);
    // The overlay's top right line is the patient's name.
    const TOverlayInput texts = cell->InformationTexts();
    ASSERT_FALSE(texts.topRight.isEmpty());
    EXPECT_EQ(texts.topRight[0], QString::fromUtf8(name));
    // The browser's patient panel says the same.
    bool found = false;
    for (QWidget* w : form->ThumbnailsTool->Panels())
      if (auto* p = qobject_cast<TPatientPanel*>(w))
        found = found || p->text() == QString::fromUtf8(name);
    EXPECT_TRUE(found);
  }
}
