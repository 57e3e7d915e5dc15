// Window presets of the user's own: edited in the dialog, stored in the
// user's file only when changed, read back at start (a broken entry said
// once, the good ones kept), listed and keyed by the active cell's modality.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QTableWidget>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "app/PresetsDialog.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/Unit1.h"
#include "app_fixtures.h"
#include "dicom/StudyTree.h"
#include "hanging/UserPresets.h"
#include "support/paths.h"
#include "support/qt_wait.h"
#include "support/study_writer.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

// Found by argument-dependent lookup where vectors of presets are compared.
namespace hanging {
bool operator==(const TUserPreset& a, const TUserPreset& b) {
  return a.modality == b.modality && a.name == b.name && a.ww == b.ww && a.wl == b.wl;
}
}  // namespace hanging

namespace {

class PresetsForm : public TForm1 {
 public:
  std::vector<QString> messages;
  // Acts as the user in the dialog; returns whether they pressed OK.
  std::function<bool(TPresetsDialog&)> user;

 protected:
  void ShowMessage(const QString& text) override { messages.push_back(text); }
  bool ExecPresetsDialog(TPresetsDialog& dialog) override { return user && user(dialog); }
  void ShowLoadSummary(const QString&, const QString&) override {}
};

class Presets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config.isValid());
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    appfx::ResetLoadingState();
    std::lock_guard lock(gPatientsMutex);
    gPatients.clear();
  }
  void TearDown() override {
    form.reset();
    appfx::ResetLoadingState();
    std::lock_guard lock(gPatientsMutex);
    gPatients.clear();
  }
  void Open() {
    form = std::make_unique<PresetsForm>();
    form->resize(1100, 700);
    form->show();
    QApplication::processEvents();
  }
  // One study with a CT and an MR series; the CT in the active cell.
  void LoadCtAndMr() {
    studywriter::StudySpec s;
    studywriter::SeriesSpec ct, mr;
    ct.number = 1;
    mr.modality = "MR";
    mr.number = 2;
    s.series = {ct, mr};
    const ::testing::TestInfo* t = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir = testsupport::TempDir(std::string("presets-") + t->name());
    form->OpenPaths({QString::fromStdString(studywriter::WriteStudy(dir, s))});
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return form->IsIdle() && !gLoadingInProgress; }, 30000));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return form->ThumbnailsTool->PanelsComplete(); }));
  }
  // Shows the series of this modality in the active cell, as a click in the browser does.
  TadvancedImage* Show(const QString& modality) {
    for (TSeriesPanel* p : form->ThumbnailsTool->SeriesPanels())
      if (p->Modality == modality) form->ThumbnailsTool->SeriesPanelClick(p);
    form->SyncWindowBoxes();
    return form->ActiveAdvancedImage;
  }
  QStringList ComboTexts() const {
    QStringList out;
    for (int i = 0; i < form->WwWlPresetsComboBox->count(); ++i)
      out << form->WwWlPresetsComboBox->itemText(i);
    return out;
  }

  QTemporaryDir config;
  std::unique_ptr<PresetsForm> form;
};

TEST_F(Presets, AddRenameAndRemoveAreWrittenAndReadBack) {
  Open();
  const QString file = QString::fromStdString(hanging::UserPresetsPath());
  EXPECT_TRUE(file.startsWith(config.path()));
  EXPECT_FALSE(QFile::exists(file));  // nothing is written until the user changes a preset

  // Cancelled, the additions are dropped and nothing is written.
  form->user = [](TPresetsDialog& d) {
    d.modalityEdit->setText("mr");
    d.nameEdit->setText("T2 soft");
    d.wwEdit->setText("500");
    d.wlEdit->setText("250");
    return d.Add() && false;
  };
  form->ShowPresetsDialog();
  EXPECT_FALSE(QFile::exists(file));
  EXPECT_TRUE(form->UserPresets.empty());

  form->user = [](TPresetsDialog& d) {
    d.modalityEdit->setText("mr");
    d.nameEdit->setText("T2 soft");
    d.wwEdit->setText("500");
    d.wlEdit->setText("250");
    EXPECT_TRUE(d.Add());
    d.modalityEdit->setText("CT");
    d.nameEdit->setText("Wide bone");
    d.wwEdit->setText("3000");
    d.wlEdit->setText("500.5");
    EXPECT_TRUE(d.Add());
    return true;
  };
  form->ShowPresetsDialog();
  const std::vector<hanging::TUserPreset> two = {{"MR", "T2 soft", 500, 250},
                                                 {"CT", "Wide bone", 3000, 500.5}};
  EXPECT_EQ(form->UserPresets, two);
  EXPECT_EQ(hanging::LoadUserPresets(file.toStdString()).presets, two);

  form->user = [](TPresetsDialog& d) {
    d.SelectRow(0);
    d.nameEdit->setText("T2 brain");
    EXPECT_TRUE(d.RenameSelected());
    d.SelectRow(1);
    EXPECT_TRUE(d.RemoveSelected());
    return true;
  };
  form->ShowPresetsDialog();
  const std::vector<hanging::TUserPreset> renamed = {{"MR", "T2 brain", 500, 250}};
  EXPECT_EQ(hanging::LoadUserPresets(file.toStdString()).presets, renamed);

  // The next start reads them.
  form.reset();
  Open();
  EXPECT_EQ(form->UserPresets, renamed);
  EXPECT_TRUE(form->messages.empty());
}

TEST_F(Presets, TheDialogRefusesWhatWouldBeAmbiguousOrNoWindow) {
  TPresetsDialog d(nullptr, {{"MR", "T2 soft", 500, 250}}, "MR", 400, 40);
  EXPECT_EQ(d.modalityEdit->text(), "MR");  // prefilled from the active cell
  EXPECT_EQ(d.wwEdit->text(), "400");
  const auto add = [&](const QString& modality, const QString& name, const QString& ww,
                       const QString& wl) {
    d.modalityEdit->setText(modality);
    d.nameEdit->setText(name);
    d.wwEdit->setText(ww);
    d.wlEdit->setText(wl);
    return d.Add();
  };
  EXPECT_FALSE(add("MR", "t2 SOFT", "10", "5"));  // the same name, in another case
  EXPECT_FALSE(add("CT", "Lung", "10", "5"));     // a built-in's name
  EXPECT_FALSE(add("MR", "Zero", "0", "5"));
  EXPECT_FALSE(add("MR", "Text", "wide", "5"));
  EXPECT_FALSE(add("MR", "   ", "10", "5"));
  EXPECT_FALSE(add("M R", "Spaced", "10", "5"));
  EXPECT_FALSE(d.problemLabel->text().isEmpty());
  EXPECT_FALSE(d.Changed());
  EXPECT_EQ(d.Presets().size(), 1u);
  // The same name for another modality is another preset.
  EXPECT_TRUE(add("CT", "T2 soft", "10", "5"));
  EXPECT_TRUE(d.problemLabel->text().isEmpty());
  // A rename to a name taken is refused; to its own name, accepted.
  d.SelectRow(1);
  d.nameEdit->setText("Lung");
  EXPECT_FALSE(d.RenameSelected());
  d.SelectRow(0);
  d.nameEdit->setText("T2 soft");
  EXPECT_TRUE(d.RenameSelected());
  d.table->setCurrentCell(-1, -1);
  EXPECT_FALSE(d.RemoveSelected());
}

TEST_F(Presets, TheListAndKeysFollowTheActiveCellsModality) {
  Open();
  LoadCtAndMr();
  ASSERT_TRUE(form->SetUserPresets(
      {{"MR", "T2 soft", 500, 250}, {"CT", "Wide bone", 3000, 500}, {"MR", "T1", 800, 400}}));
  form->SetLayout(1, 2);
  // The MR cell on the right, the CT cell on the left.
  form->ActiveAdvancedImage = form->AdvancedImages[0][0];
  TadvancedImage* ct = Show("CT");
  ASSERT_TRUE(ct && ct->HasImage);
  form->ActiveAdvancedImage = form->AdvancedImages[0][1];
  TadvancedImage* mr = Show("MR");
  ASSERT_TRUE(mr && mr->HasImage && mr != ct);

  // MR: the user's MR presets only, on Shift+F2 on.
  EXPECT_TRUE(form->WwWlPresetsComboBox->isEnabled());
  EXPECT_EQ(ComboTexts(), QStringList({"T2 soft", "T1"}));
  EXPECT_TRUE(form->WwWlPresetsComboBox->toolTip().contains("Shift+F3 T1"));
  const double ctWw = ct->windowWidth, ctWl = ct->windowLevel;
  EXPECT_FALSE(form->FormKeyDown(Qt::Key_F1, Qt::NoModifier));  // CT's keys do nothing here
  ASSERT_TRUE(form->FormKeyDown(Qt::Key_F3, Qt::ShiftModifier));
  EXPECT_DOUBLE_EQ(mr->windowWidth, 800);
  EXPECT_DOUBLE_EQ(mr->windowLevel, 400);
  // A window in MR's units never reaches the CT cell, even with every cell selected.
  EXPECT_DOUBLE_EQ(ct->windowWidth, ctWw);
  EXPECT_DOUBLE_EQ(ct->windowLevel, ctWl);
  form->SyncWindowBoxes();
  EXPECT_EQ(form->WwWlPresetsComboBox->currentText(), "T1");
  EXPECT_FALSE(form->FormKeyDown(Qt::Key_F4, Qt::ShiftModifier));  // no third MR preset

  // CT: the built-ins on their keys, then the user's CT preset.
  form->ActiveAdvancedImage = ct;
  form->SyncWindowBoxes();
  const QStringList texts = ComboTexts();
  ASSERT_EQ(texts.size(), int(kWwWlPresets.size()) + 1);
  EXPECT_EQ(texts.front(), kWwWlPresets[0].Name);
  EXPECT_EQ(texts.back(), "Wide bone");
  EXPECT_TRUE(form->WwWlPresetsComboBox->toolTip().contains("F7 Lung"));
  EXPECT_TRUE(form->WwWlPresetsComboBox->toolTip().contains("Shift+F2 Wide bone"));
  ASSERT_TRUE(form->FormKeyDown(Qt::Key_F2, Qt::ShiftModifier));
  EXPECT_DOUBLE_EQ(ct->windowWidth, 3000);
  EXPECT_DOUBLE_EQ(ct->windowLevel, 500);
  EXPECT_DOUBLE_EQ(mr->windowWidth, 800);
  ASSERT_TRUE(form->FormKeyDown(Qt::Key_F7, Qt::NoModifier));
  EXPECT_DOUBLE_EQ(ct->windowWidth, 1500);  // Lung
  EXPECT_DOUBLE_EQ(ct->windowLevel, -500);

  // The cell menu (the active cell's) offers the same entries.
  form->ActiveAdvancedImage = mr;
  QMenu* menu = form->BuildCellMenu(mr);
  QStringList entries;
  for (QAction* a : menu->actions())
    if (a->menu() && a->text() == "WW/WL Presets")
      for (QAction* b : a->menu()->actions())
        if (!b->isSeparator()) entries << b->text().section('\t', 0, 0);
  delete menu;
  EXPECT_EQ(entries, QStringList({"T2 soft", "T1", "Window Presets\u2026"}));
}

TEST_F(Presets, ABrokenFileIsReportedOnceAndItsGoodEntriesKept) {
  const std::string file = hanging::UserPresetsPath();
  QDir().mkpath(QFileInfo(QString::fromStdString(file)).path());
  {
    QFile f(QString::fromStdString(file));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"presets": [
  {"modality": "MR", "name": "T2 soft", "ww": 500, "wl": 250},
  {"modality": "MR", "name": "Broken", "ww": 0, "wl": 250},
  {"modality": "CT", "name": "Wide", "ww": 3000, "wl": 500, "colour": "red"}
]})");
  }
  const QByteArray before = [&] {
    QFile f(QString::fromStdString(file));
    f.open(QIODevice::ReadOnly);
    return f.readAll();
  }();
  Open();
  testsupport::RunEventsFor(50);
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_TRUE(form->messages[0].contains(QString::fromStdString(file) + ":3"));
  EXPECT_TRUE(form->messages[0].contains("colour"));
  const std::vector<hanging::TUserPreset> kept = {{"MR", "T2 soft", 500, 250},
                                                  {"CT", "Wide", 3000, 500}};
  EXPECT_EQ(form->UserPresets, kept);
  // Reading never rewrites the user's file.
  QFile f(QString::fromStdString(file));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), before);
}

}  // namespace
