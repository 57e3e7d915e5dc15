// Priors as the reader meets them: the browser's order and marks, partly
// matching patients kept apart with their warning, and Compare with Prior.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>
#include <memory>

#include "app/ThumbnailsToolUnit.h"
#include "app/Unit1.h"
#include "app_fixtures.h"
#include "dicom/StudyTree.h"
#include "support/paths.h"
#include "support/qt_wait.h"
#include "support/study_writer.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

namespace {

using studywriter::SeriesSpec;
using studywriter::StudySpec;

class PriorsForm : public TForm1 {
 public:
  std::vector<QString> messages;
  std::vector<QString> questions;
  bool confirm = true;

 protected:
  void ShowMessage(const QString& text) override { messages.push_back(text); }
  bool AskConfirmation(const QString& text) override {
    questions.push_back(text);
    return confirm;
  }
  void ShowLoadSummary(const QString&, const QString&) override {}
};

StudySpec Study(const std::string& date, std::vector<SeriesSpec> series,
                const std::string& name = "PRIOR^PAT", const std::string& id = "P100",
                const std::string& issuer = "") {
  StudySpec s;
  s.patientName = name;
  s.patientId = id;
  s.issuer = issuer;
  s.date = date;
  s.description = "Study " + date;
  s.series = std::move(series);
  return s;
}

SeriesSpec Ct(int number, const std::string& description) {
  SeriesSpec s;
  s.number = number;
  s.description = description;
  return s;
}

class Priors : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config.isValid());
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    appfx::ResetLoadingState();
    {
      std::lock_guard lock(gPatientsMutex);
      gPatients.clear();
    }
    form = std::make_unique<PriorsForm>();
    form->resize(1100, 700);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    appfx::ResetLoadingState();
    std::lock_guard lock(gPatientsMutex);
    gPatients.clear();
  }

  // Writes the studies, each in a folder of its own, and opens them in this order.
  void Load(const std::vector<StudySpec>& studies) {
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir = testsupport::TempDir(std::string("priors-") + t->name());
    QStringList folders;
    for (const StudySpec& s : studies)
      folders << QString::fromStdString(studywriter::WriteStudy(dir, s));
    form->OpenPaths(folders);
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return form->IsIdle() && !gLoadingInProgress; }, 30000));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return form->ThumbnailsTool->PanelsComplete(); }));
  }

  // The tree's index of the study with this date (YYYYMMDD).
  std::pair<int, int> StudyOn(const std::string& date) const {
    std::lock_guard lock(gPatientsMutex);
    for (size_t p = 0; p < gPatients.size(); ++p)
      for (size_t s = 0; s < gPatients[p].studies.size(); ++s)
        if (gPatients[p].studies[s].serieses.front().images.front().Cache.DICOM.StudyDate.str() ==
            date)
          return {int(p), int(s)};
    return {-1, -1};
  }

  // Where the cells' images come from: (date of their study, series description).
  std::vector<std::pair<std::string, std::string>> Shown() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (auto& row : form->AdvancedImages)
      for (TadvancedImage* c : row)
        if (c->HasImage)
          out.emplace_back(c->gDicomData.StudyDate.str(), c->gDicomData.Series_Description.str());
    return out;
  }

  QTemporaryDir config;
  std::unique_ptr<PriorsForm> form;
};

std::string Trim(std::string s) {
  return QString::fromStdString(s).trimmed().toStdString();
}

TEST_F(Priors, TheBrowserListsStudiesNewestFirstAndMarksThePriors) {
  // Loaded oldest in the middle: the browser's order is the dates', not the load's.
  Load({Study("20240310", {Ct(1, "Chest")}), Study("20210105", {Ct(1, "Chest")}),
        Study("20250620", {Ct(1, "Chest")})});
  const std::vector<TStudyPanel*> studies = form->ThumbnailsTool->StudyPanels();
  ASSERT_EQ(studies.size(), 3u);
  EXPECT_TRUE(studies[0]->StudyDate.contains("2025"));
  EXPECT_TRUE(studies[1]->StudyDate.contains("2024"));
  EXPECT_TRUE(studies[2]->StudyDate.contains("2021"));
  EXPECT_FALSE(studies[0]->IsPrior);
  EXPECT_FALSE(studies[0]->StudyDateTimeLabel->text().contains("Prior"));
  for (int i : {1, 2}) {
    EXPECT_TRUE(studies[size_t(i)]->IsPrior);
    EXPECT_TRUE(studies[size_t(i)]->StudyDateTimeLabel->text().startsWith("Prior"));
    EXPECT_TRUE(studies[size_t(i)]->Warning.isEmpty());
  }
  // Each study's series follow it.
  const std::vector<QWidget*> panels = form->ThumbnailsTool->Panels();
  for (size_t i = 0; i + 1 < panels.size(); ++i)
    if (auto* st = qobject_cast<TStudyPanel*>(panels[i])) {
      auto* se = qobject_cast<TSeriesPanel*>(panels[i + 1]);
      ASSERT_NE(se, nullptr);
      EXPECT_EQ(se->StudyIndex, st->StudyIndex);
    }
}

TEST_F(Priors, APartlyMatchingPatientIsListedWithItsWarningAndNeverMerged) {
  Load({Study("20250620", {Ct(1, "Chest")}, "SMITH^ANN", "100", "HOSP-A"),
        Study("20230101", {Ct(1, "Chest")}, "SMITH^ANN", "200", "HOSP-A"),    // another ID
        Study("20220101", {Ct(1, "Chest")}, "SMITH^ANN", "100", "HOSP-B"),    // another issuer
        Study("20200101", {Ct(1, "Chest")}, "JONES^BOB", "300", "HOSP-A")});  // unrelated
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 4u);  // filed apart
  }
  const auto [current, currentStudy] = StudyOn("20250620");
  const auto otherId = StudyOn("20230101");
  const auto otherIssuer = StudyOn("20220101");
  std::vector<TStudyPanel*> under;
  for (TStudyPanel* s : form->ThumbnailsTool->StudyPanels())
    if (s->ListedUnder == current && s->PatientIndex != current) under.push_back(s);
  ASSERT_EQ(under.size(), 2u);  // the unrelated patient is no prior
  EXPECT_EQ(std::make_pair(under[0]->PatientIndex, under[0]->StudyIndex), otherId);
  EXPECT_EQ(std::make_pair(under[1]->PatientIndex, under[1]->StudyIndex), otherIssuer);
  for (TStudyPanel* s : under) {
    EXPECT_TRUE(s->IsPrior);
    ASSERT_NE(s->WarningLabel, nullptr);
    EXPECT_FALSE(s->WarningLabel->isHidden());
    EXPECT_EQ(s->WarningLabel->text(), s->Warning);
  }
  EXPECT_TRUE(under[0]->Warning.contains("ID"));
  EXPECT_TRUE(under[1]->Warning.contains("issuer"));

  // Compare with Prior offers the partial match only after asking; declined,
  // the grid stays as it was.
  const int rows = form->CurrentRows, cols = form->CurrentCols;
  const auto before = Shown();
  form->confirm = false;
  form->CompareWithPrior();
  ASSERT_EQ(form->questions.size(), 1u);
  EXPECT_TRUE(form->questions[0].contains("Other patient ID"));
  EXPECT_EQ(form->CurrentRows, rows);
  EXPECT_EQ(form->CurrentCols, cols);
  EXPECT_EQ(Shown(), before);
  form->confirm = true;
  form->CompareWithPrior();
  const auto shown = Shown();
  EXPECT_NE(
      std::find_if(shown.begin(), shown.end(), [](const auto& s) { return s.first == "20230101"; }),
      shown.end());
  std::lock_guard lock(gPatientsMutex);
  EXPECT_EQ(gPatients.size(), 4u);
  EXPECT_EQ(Trim(gPatients[size_t(current)].patintID), "100");
  EXPECT_EQ(gPatients[size_t(current)].studies.size(), 1u);
}

TEST_F(Priors, ANamePlaceholderSharedByManyPatientsOffersNoPriors) {
  // Anonymised data: one name for every patient, each under its own ID. Two
  // namesakes are offered to each other; seventeen are no one's priors.
  std::vector<StudySpec> studies;
  for (int k = 0; k < 17; ++k)
    studies.push_back(Study("2024010" + std::to_string(1 + k % 9), {Ct(1, "Chest")}, "ANONYMOUS",
                            "A" + std::to_string(k)));
  Load(studies);
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 17u);
  }
  for (TStudyPanel* s : form->ThumbnailsTool->StudyPanels()) {
    EXPECT_EQ(s->ListedUnder, s->PatientIndex);
    EXPECT_TRUE(s->Warning.isEmpty());
  }
}

TEST_F(Priors, CompareWithPriorSetsTheStudyBesideItsNewestPrior) {
  Load({Study("20250620", {Ct(1, "Chest"), Ct(2, "Abdomen")}),
        Study("20200101", {Ct(1, "Chest"), Ct(2, "Abdomen")}),
        Study("20240310", {Ct(1, "Abdomen"), Ct(2, "Chest")})});
  // The reader is on the current study's abdomen.
  const auto [p, s] = StudyOn("20250620");
  int abdomen = -1;
  {
    std::lock_guard lock(gPatientsMutex);
    const TStudy& st = gPatients[size_t(p)].studies[size_t(s)];
    for (size_t k = 0; k < st.serieses.size(); ++k)
      if (Trim(st.serieses[k].images.front().Cache.DICOM.Series_Description.str()) == "Abdomen")
        abdomen = int(k);
  }
  ASSERT_GE(abdomen, 0);
  for (TSeriesPanel* panel : form->ThumbnailsTool->SeriesPanels())
    if (panel->PatientIndex == p && panel->StudyIndex == s && panel->SeriesIndex == abdomen)
      form->ThumbnailsTool->SeriesPanelClick(panel);
  ASSERT_TRUE(form->ActiveAdvancedImage->HasImage);

  // Ctrl+P is the command's key.
  ASSERT_TRUE(form->FormKeyDown(Qt::Key_P, Qt::ControlModifier));
  EXPECT_TRUE(form->questions.empty());  // the same patient: nothing to confirm
  const auto shown = Shown();
  const auto has = [&](const std::string& date) {
    return std::any_of(shown.begin(), shown.end(), [&](const auto& x) { return x.first == date; });
  };
  EXPECT_TRUE(has("20250620"));
  EXPECT_TRUE(has("20240310"));
  EXPECT_FALSE(has("20200101"));  // the newest prior, not any
  if (!form->HangingLayout.protocol) {
    // Side by side without a protocol: the prior's series that matches the one read.
    ASSERT_EQ(form->CurrentRows * form->CurrentCols, 2);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(Trim(shown[0].second), "Abdomen");
    EXPECT_EQ(shown[1], std::make_pair(std::string("20240310"), shown[1].second));
    EXPECT_EQ(Trim(shown[1].second), "Abdomen");
  }
}

TEST_F(Priors, AStudyWithoutPriorSaysSoAndKeepsTheGrid) {
  Load({Study("20250620", {Ct(1, "Chest")}),
        Study("20240101", {Ct(1, "Chest")}, "OTHER^ONE", "999")});
  const auto before = Shown();
  const int cells = form->CurrentRows * form->CurrentCols;
  // The active cell's study is the newest; the other patient is unrelated.
  form->CompareWithPrior();
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_TRUE(form->messages[0].contains("No older study"));
  EXPECT_EQ(form->CurrentRows * form->CurrentCols, cells);
  EXPECT_EQ(Shown(), before);
  EXPECT_TRUE(form->questions.empty());
}

TEST_F(Priors, TheStudyMenuComparesWithTheStudyChosen) {
  Load({Study("20250620", {Ct(1, "Chest")}), Study("20240310", {Ct(1, "Chest")}),
        Study("20200101", {Ct(1, "Chest")})});
  TStudyPanel* oldest = nullptr;
  for (TStudyPanel* s : form->ThumbnailsTool->StudyPanels())
    if (s->StudyDate.contains("2020")) oldest = s;
  ASSERT_NE(oldest, nullptr);
  QMenu menu;
  for (const auto& add : form->ThumbnailsTool->StudyMenu) add(menu, *oldest);
  QAction* withThis = nullptr;
  for (QAction* a : menu.actions())
    if (a->text() == "Compare with This Study") withThis = a;
  ASSERT_NE(withThis, nullptr);
  ASSERT_TRUE(withThis->isEnabled());
  withThis->trigger();
  const auto shown = Shown();
  const auto has = [&](const std::string& date) {
    return std::any_of(shown.begin(), shown.end(), [&](const auto& x) { return x.first == date; });
  };
  EXPECT_TRUE(has("20250620"));
  EXPECT_TRUE(has("20200101"));
  EXPECT_FALSE(has("20240310"));
}

}  // namespace
