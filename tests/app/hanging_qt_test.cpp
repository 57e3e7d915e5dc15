// Hanging protocols in the main window, as a reader meets them: a study and
// its prior opened from disk laid out by the protocol that fits, scrolling
// linked across studies once an offset is set, mammograms hung back to back,
// the user's own protocol file (a broken entry said once, the rest used),
// stepping protocols and stages by key, saving the grid as a protocol, and a
// study no protocol fits filled as before.
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "dicom/TreeRules.h"
#include "hanging/HangingProtocol.h"
#include "hanging/Priors.h"
#include "support/qt_wait.h"
#include "support/study_writer.h"
#include "window_fixture.h"

namespace {

namespace fs = std::filesystem;
using studywriter::SeriesSpec;
using studywriter::StudySpec;

class HangForm : public apptest::TestForm {
 public:
  QString protocolName;  // what the name dialog answers
  int nameAsked = 0;

 protected:
  QString AskProtocolName(const QString&) override {
    ++nameAsked;
    return protocolName;
  }
};

class HangingTest : public apptest::AppTest {
 protected:
  // The form reads the user's protocols when it is made: the file (if any)
  // is written first, into a configuration folder of the test's own.
  void SetUp() override {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = testsupport::TempDir(std::string("hang-") + test->name());
    config = dir + "/config";
    fs::create_directories(config + "/tavrolen-viewer");
    const char* old = std::getenv("XDG_CONFIG_HOME");
    hadConfig = old != nullptr;
    if (old) oldConfig = old;
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  }
  void TearDown() override {
    AppTest::TearDown();
    gRestrictedLoad = false;
    if (hadConfig)
      setenv("XDG_CONFIG_HOME", oldConfig.c_str(), 1);
    else
      unsetenv("XDG_CONFIG_HOME");
  }
  std::string ProtocolsFile() const { return config + "/tavrolen-viewer/hanging-protocols.json"; }
  void WriteProtocols(const std::string& text) const { std::ofstream(ProtocolsFile()) << text; }

  void MakeForm() {
    apptest::ClearTree();
    gLoadingInProgress = false;
    gForceRefill = false;
    auto f = std::make_unique<HangForm>();
    hang = f.get();
    form = std::move(f);
    form->resize(1000, 700);
    form->show();
    Settle();
  }
  static void Settle() {
    for (int i = 0; i < 4; ++i) QApplication::processEvents();
  }
  void Open(const std::string& path) {
    form->OpenPaths({QString::fromStdString(path)});
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return form->IsIdle() && !gLoadingInProgress; }, 30000));
    Settle();
  }
  void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(form->allViewersPanel, &e);
    Settle();
  }
  std::string Protocol() const {
    return form->HangingLayout.protocol ? form->HangingLayout.protocol->name : std::string();
  }
  // The cell a layout entry fills.
  TadvancedImage* CellOf(const hanging::TCellLayout& c) const { return Cell(c.row, c.col); }
  const hanging::TCellLayout* FirstOf(hanging::TRole role) const {
    for (const hanging::TCellLayout& c : form->HangingLayout.cells)
      if (!c.empty && c.role == role) return &c;
    return nullptr;
  }
  // The Series Instance UID of what a cell shows, from the tree.
  static std::string SeriesUid(const TadvancedImage* cell) {
    std::lock_guard lock(gPatientsMutex);
    const TSeries* s = SeriesAt(gPatients, cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex);
    return s ? s->instanceUid : std::string();
  }
  static double TablePosition(const TadvancedImage* cell) {
    return cell->gDicomData.image_Postion[2];  // axial slices
  }

  std::string dir, config, oldConfig;
  bool hadConfig = false;
  HangForm* hang = nullptr;
};

StudySpec Ct(const std::string& date, double first, const std::string& what) {
  StudySpec s;
  s.date = date;
  s.description = "CT CHEST " + what;
  SeriesSpec axial;
  axial.description = "AXIAL " + what;
  axial.images = 20;
  axial.firstPosition = first;
  axial.spacing = 5;
  axial.bodyPart = "CHEST";
  s.series = {axial};
  return s;
}

StudySpec Mammo(const std::string& date) {
  StudySpec s;
  s.date = date;
  s.description = "MAMMOGRAPHY SCREENING";
  int number = 1;
  for (const char* view : {"CC", "MLO"})
    for (const char* side : {"R", "L"}) {
      SeriesSpec v;
      v.modality = "MG";
      v.description = std::string(side) + " " + view;
      v.number = number++;
      v.images = 1;
      v.orientation = "";
      v.viewPosition = view;
      v.laterality = side;
      v.bodyPart = "BREAST";
      s.series.push_back(v);
    }
  return s;
}

}  // namespace

TEST_F(HangingTest, CtAndPriorOfAnotherFrameScrollTogetherOnceTheOffsetIsSet) {
  MakeForm();
  const std::string root = dir + "/ct";
  studywriter::WriteStudy(root, Ct("20250601", 0, "NOW"));      // 0, 5, ... 95
  studywriter::WriteStudy(root, Ct("20240301", -200, "THEN"));  // -200, -195, ... -105
  Open(root);

  ASSERT_NE(form->HangingLayout.protocol, nullptr);
  const hanging::TCellLayout* now = FirstOf(hanging::TRole::Current);
  const hanging::TCellLayout* then = FirstOf(hanging::TRole::Prior);
  ASSERT_TRUE(now && then) << Protocol();
  EXPECT_EQ(now->row, then->row) << "side by side";
  EXPECT_NE(now->col, then->col);
  TadvancedImage* current = CellOf(*now);
  TadvancedImage* prior = CellOf(*then);
  ASSERT_TRUE(current->HasImage && prior->HasImage);
  EXPECT_NE(current->gDicomData.Frame_Of_Reference_UID, prior->gDicomData.Frame_Of_Reference_UID);
  EXPECT_EQ(current->ImageIndex, 0);
  // Linked with no offset: the prior opens at the slice nearest the current one's position.
  EXPECT_TRUE(form->btnSyncPosition->isChecked());
  EXPECT_DOUBLE_EQ(TablePosition(prior), -105);
  EXPECT_NE(form->findChild<QLabel*>("hangingLabel")->text().indexOf("stage 1 of"), -1);

  // The reader lines both up on the same anatomy with the link off...
  form->btnSyncPosition->click();
  ASSERT_FALSE(form->btnSyncPosition->isChecked());
  Click(current);
  for (int i = 0; i < 4; ++i) Key(Qt::Key_Down);
  Click(prior);
  Key(Qt::Key_Home);
  for (int i = 0; i < 10; ++i) Key(Qt::Key_Down);
  ASSERT_DOUBLE_EQ(TablePosition(current), 20);
  ASSERT_DOUBLE_EQ(TablePosition(prior), -150);
  // ... and sets the offset from the current cell once.
  Click(current);
  Key(Qt::Key_L, Qt::ControlModifier);
  EXPECT_TRUE(form->btnSyncPosition->isChecked());
  const double offset = -170;

  const auto followed = [&](const char* step) {
    const double wanted = std::clamp(TablePosition(current) + offset, -200.0, -105.0);
    EXPECT_LE(std::abs(TablePosition(prior) - wanted), 2.5)
        << step << ": current at " << TablePosition(current);
  };
  for (int i = 0; i < 3; ++i) {
    Key(Qt::Key_Down);
    followed("down");
  }
  for (int i = 0; i < 6; ++i) {
    Key(Qt::Key_Up);
    followed("up");
  }
  Key(Qt::Key_Home);
  followed("first slice");
  EXPECT_DOUBLE_EQ(TablePosition(prior), -170);
  Key(Qt::Key_End);  // past the prior's end: its last slice
  followed("last slice");
  EXPECT_DOUBLE_EQ(TablePosition(prior), -105);

  // The offset holds from either side: scrolling the prior moves the current.
  Click(prior);
  Key(Qt::Key_Home);
  EXPECT_DOUBLE_EQ(TablePosition(current), 0);  // wanted -30: the first slice is nearest
  for (int i = 0; i < 8; ++i) Key(Qt::Key_Down);
  EXPECT_DOUBLE_EQ(TablePosition(prior), -160);
  EXPECT_DOUBLE_EQ(TablePosition(current), 10);
}

TEST_F(HangingTest, MammogramsAndTheirPriorHangBackToBack) {
  MakeForm();
  const std::string root = dir + "/mg";
  studywriter::WriteStudy(root, Mammo("20250601"));
  studywriter::WriteStudy(root, Mammo("20230601"));
  Open(root);
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 1u);
    ASSERT_GE(form->HangingPriorStudy, 0);
    EXPECT_LT(hanging::StudyWhen(gPatients[0].studies[size_t(form->HangingPriorStudy)]),
              hanging::StudyWhen(gPatients[0].studies[size_t(form->HangingStudy)]));
  }

  ASSERT_NE(form->HangingLayout.protocol, nullptr);
  int currentCells = 0, priorCells = 0;
  // Per row, where each side's image sits.
  std::map<std::pair<int, std::string>, int> columnOf;
  for (const hanging::TCellLayout& c : form->HangingLayout.cells) {
    if (c.empty) continue;
    TadvancedImage* cell = CellOf(c);
    ASSERT_TRUE(cell->HasImage) << c.row << "," << c.col;
    // The cell shows the series the layout names, of the study it names.
    EXPECT_EQ(SeriesUid(cell), c.seriesUid);
    EXPECT_EQ(cell->StudyIndex, c.study);
    EXPECT_EQ(c.study == form->HangingStudy, c.role == hanging::TRole::Current);
    EXPECT_EQ(c.study == form->HangingPriorStudy, c.role == hanging::TRole::Prior);
    (c.role == hanging::TRole::Current ? currentCells : priorCells)++;
    const std::string side =
        QString::fromStdString(cell->gDicomData.Image_Laterality).trimmed().toStdString();
    ASSERT_TRUE(side == "R" || side == "L") << side;
    // The chest wall against the middle: right breasts to the right edge of their cell.
    if (side == "R") {
      EXPECT_GT(cell->PanX, 0) << c.seriesDescription;
    } else {
      EXPECT_LT(cell->PanX, 0) << c.seriesDescription;
    }
    columnOf[{c.row, side + (c.role == hanging::TRole::Current ? "now" : "then")}] = c.col;
  }
  EXPECT_GE(currentCells, 2);
  EXPECT_GE(priorCells, 2);
  // Mirrored: in each pair the right breast hangs on the viewer's left.
  int pairs = 0;
  for (const auto& [key, col] : columnOf) {
    if (key.second[0] != 'R') continue;
    const auto other = columnOf.find({key.first, "L" + key.second.substr(1)});
    if (other == columnOf.end()) continue;
    ++pairs;
    EXPECT_LT(col, other->second) << "row " << key.first;
  }
  EXPECT_GE(pairs, 2);
}

TEST_F(HangingTest, UsersFileWithABrokenEntryIsSaidOnceAndTheRestUsed) {
  const std::string text = R"({"protocols": [
  {"name": "Broken one",
   "match": {"modality": "CT", "seriesDescription": "(["},
   "stages": [{"cells": [{"role": "current"}]}]},
  {"name": "Chest pair",
   "match": {"modality": "CT", "seriesDescription": "AXIAL", "prior": false},
   "stages": [
     {"name": "Both", "rows": 1, "cols": 3,
      "cells": [{"description": "AXIAL", "preset": "Lung", "links": ["window"]},
                {"description": "CORONAL", "fit": "1:1", "links": ["window"]},
                {"description": "AXIAL"}]},
     {"name": "Coronal", "rows": 1, "cols": 1, "cells": [{"description": "CORONAL"}]}]},
  {"name": "Chest single",
   "match": {"modality": "CT", "seriesDescription": "AXIAL", "prior": false},
   "stages": [{"rows": 1, "cols": 1, "cells": [{"description": "AXIAL"}]}]}
]})";
  WriteProtocols(text);
  MakeForm();
  // One message, naming the file and the line of the pattern that does not compile.
  ASSERT_EQ(hang->messages.size(), 1u);
  const QString message = hang->messages.front();
  EXPECT_TRUE(message.contains(QString::fromStdString(ProtocolsFile()) + ":3"))
      << message.toStdString();
  EXPECT_FALSE(message.contains("Chest pair"));

  StudySpec s;
  s.description = "CT CHEST";
  SeriesSpec axial, coronal;
  axial.description = "AXIAL LUNG";
  axial.images = 4;
  coronal.description = "CORONAL";
  coronal.number = 2;
  coronal.orientation = "coronal";
  coronal.images = 4;
  s.series = {axial, coronal};
  Open(studywriter::WriteStudy(dir + "/study", s));
  EXPECT_EQ(hang->messages.size(), 1u) << "said once, not again at each load";

  ASSERT_EQ(Protocol(), "Chest pair");
  ASSERT_EQ(form->CurrentRows, 1);
  ASSERT_EQ(form->CurrentCols, 3);
  EXPECT_EQ(Cell(0, 0)->gDicomData.Series_Description, "AXIAL LUNG");
  EXPECT_EQ(Cell(0, 0)->windowWidth, 1500);  // Lung
  EXPECT_EQ(Cell(0, 0)->windowLevel, -500);
  EXPECT_EQ(Cell(0, 1)->gDicomData.Series_Description, "CORONAL");
  EXPECT_EQ(Cell(0, 1)->zoomFactor, 100);  // 1:1
  EXPECT_TRUE(form->btnLinkWwWl->isChecked());
  EXPECT_EQ(form->hangingLabel->text(), "Chest pair, stage 1 of 2");
  // The window link joins the cells the protocol links for it, not the third.
  form->btnProcessAllViewersClick();  // single mode: a window for the active cell alone
  Click(Cell(0, 0));
  form->wwTextBox->setText("400");
  form->wlTextBox->setText("40");
  form->wwTextBoxKeyPress();
  Settle();
  EXPECT_EQ(Cell(0, 0)->windowWidth, 400);
  EXPECT_EQ(Cell(0, 1)->windowWidth, 400);
  EXPECT_EQ(Cell(0, 1)->windowLevel, 40);
  EXPECT_EQ(Cell(0, 2)->gDicomData.Series_Description, "AXIAL LUNG");
  EXPECT_NE(Cell(0, 2)->windowWidth, 400);
  form->btnProcessAllViewersClick();

  // Stages by key, stopping at the last.
  Key(Qt::Key_Right, Qt::ControlModifier);
  EXPECT_EQ(form->hangingLabel->text(), "Chest pair, stage 2 of 2");
  EXPECT_EQ(form->CurrentCols, 1);
  EXPECT_EQ(Cell(0, 0)->gDicomData.Series_Description, "CORONAL");
  EXPECT_FALSE(form->btnLinkWwWl->isChecked()) << "the protocol's switch goes with its stage";
  Key(Qt::Key_Right, Qt::ControlModifier);
  EXPECT_EQ(form->HangingLayout.stage, 1);
  Key(Qt::Key_Left, Qt::ControlModifier);
  EXPECT_EQ(form->HangingLayout.stage, 0);
  EXPECT_EQ(form->CurrentCols, 3);

  // Protocols by key: through those that fit, and back.
  Key(Qt::Key_PageDown, Qt::ControlModifier);
  const std::string second = Protocol();
  EXPECT_NE(second, "Chest pair");
  EXPECT_NE(second, "");
  EXPECT_NE(second, "Broken one");
  Key(Qt::Key_PageUp, Qt::ControlModifier);
  EXPECT_EQ(Protocol(), "Chest pair");
  Key(Qt::Key_PageUp, Qt::ControlModifier);  // from the first, round to the last
  EXPECT_NE(Protocol(), "Chest pair");
  EXPECT_EQ(hang->messages.size(), 1u);
}

TEST_F(HangingTest, AStudyNoProtocolFitsFillsAsBefore) {
  MakeForm();
  StudySpec s;
  for (int n = 1; n <= 2; ++n) {
    SeriesSpec series;
    series.modality = "NM";
    series.orientation = "";
    series.number = n;
    series.images = 2;
    s.series.push_back(series);
  }
  Open(studywriter::WriteStudy(dir + "/nm", s));
  EXPECT_EQ(form->HangingLayout.protocol, nullptr);
  EXPECT_TRUE(form->hangingLabel->text().isEmpty());
  // The fill of a grid without protocols: images one after the other.
  EXPECT_EQ(CellCount(), 1);
  EXPECT_TRUE(Cell(0, 0)->HasImage);
  EXPECT_EQ(Cell(0, 0)->SeriesIndex, 0);
  EXPECT_EQ(Cell(0, 0)->ImageIndex, 0);
  Key(Qt::Key_PageDown, Qt::ControlModifier);  // nothing to step to
  EXPECT_EQ(form->HangingLayout.protocol, nullptr);
}

TEST_F(HangingTest, SavedLayoutIsWrittenToTheUsersFileAndChosenNextTime) {
  MakeForm();
  StudySpec s = Ct("20250601", 0, "NOW");
  SeriesSpec coronal;
  coronal.description = "CORONAL";
  coronal.number = 2;
  coronal.orientation = "coronal";
  coronal.images = 3;
  s.series.push_back(coronal);
  const std::string study = studywriter::WriteStudy(dir + "/save", s);
  Open(study);
  EXPECT_FALSE(fs::exists(ProtocolsFile())) << "nothing is written unless the user saves";

  // A layout by hand: 1 x 2, one series per cell (the split-screen dialog's mode).
  gRestrictedLoad = true;
  form->SpeedButton4Click();
  form->SpeedButton3Click();
  ASSERT_EQ(form->HangingLayout.protocol, nullptr);
  ASSERT_EQ(form->CurrentCols, 2);
  ASSERT_EQ(Cell(0, 1)->gDicomData.Series_Description, "CORONAL");
  Click(Cell(0, 0));
  form->WwWlPresetsComboBox->setCurrentIndex(6);  // Lung
  form->WwWlPresetsComboBoxChange();
  Settle();

  hang->protocolName = "";  // cancelled: nothing written
  form->SaveLayoutAsProtocol();
  EXPECT_FALSE(fs::exists(ProtocolsFile()));
  hang->protocolName = "My chest";
  form->SaveLayoutAsProtocol();
  ASSERT_TRUE(fs::exists(ProtocolsFile()))
      << (hang->messages.empty() ? std::string() : hang->messages.back().toStdString());
  std::stringstream written;
  written << std::ifstream(ProtocolsFile()).rdbuf();
  EXPECT_NE(written.str().find("My chest"), std::string::npos);
  EXPECT_EQ(Protocol(), "My chest");

  // Opened again in a new window: the saved protocol lays it out.
  gRestrictedLoad = false;
  form.reset();
  MakeForm();
  EXPECT_TRUE(hang->messages.empty());
  Open(study);
  EXPECT_EQ(Protocol(), "My chest");
  EXPECT_EQ(form->CurrentRows, 1);
  EXPECT_EQ(form->CurrentCols, 2);
  EXPECT_EQ(Cell(0, 0)->windowWidth, 1500);
  EXPECT_EQ(Cell(0, 0)->gDicomData.Series_Description, "AXIAL NOW");
  EXPECT_EQ(Cell(0, 1)->gDicomData.Series_Description, "CORONAL");
}

TEST_F(HangingTest, OnlyARelevantPriorOfTheSameIdentityHangsBesideTheStudy) {
  MakeForm();
  const std::string root = dir + "/priors";
  studywriter::WriteStudy(root, Ct("20250601", 0, "NOW"));
  // Same name, another ID: offered by the browser with a warning, never hung by itself.
  StudySpec otherId = Ct("20240301", -200, "OTHER ID");
  otherId.patientId = "H0002";
  studywriter::WriteStudy(root, otherId);
  // Same patient, but a chest film: no prior for a CT.
  StudySpec film;
  film.date = "20240901";
  SeriesSpec pa;
  pa.modality = "CR";
  pa.orientation = "";
  pa.viewPosition = "PA";
  pa.bodyPart = "CHEST";
  pa.images = 1;
  film.series = {pa};
  studywriter::WriteStudy(root, film);
  Open(root);

  ASSERT_NE(form->HangingLayout.protocol, nullptr);
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 2u);  // filed apart by ID
    ASSERT_EQ(gPatients[0].patintID, "H0001");
  }
  EXPECT_NE(form->HangingPriorPatient, 1);
  EXPECT_EQ(FirstOf(hanging::TRole::Prior), nullptr) << Protocol();
  const hanging::TCellLayout* now = FirstOf(hanging::TRole::Current);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(CellOf(*now)->gDicomData.Series_Description, "AXIAL NOW");
}
