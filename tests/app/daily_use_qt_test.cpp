// What a user meets every day around the grid: the empty viewer saying how
// to begin, the tool tab kept through a load, Clear Study asking once, and
// the PACS window's state after a failed search or another server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTcpServer>
#include <QToolButton>
#include <QTreeWidget>

#include "app/PacsForm.h"
#include "app/StartHint.h"
#include "app/ThumbnailsToolUnit.h"
#include "app_fixtures.h"
#include "support/qt_wait.h"
#include "window_fixture.h"

namespace {

using appfx::TestImage;

class DailyForm : public apptest::TestForm {
 public:
  QString folder;
  int folderAsked = 0, fileAsked = 0;

 protected:
  QString AskFolder() override {
    ++folderAsked;
    return folder;
  }
  QString AskOpenFileName() override {
    ++fileAsked;
    return {};
  }
};

class DailyUse : public ::testing::Test {
 protected:
  void SetUp() override {
    appfx::ResetLoadingState();
    gForceRefill = false;
    form = std::make_unique<DailyForm>();
    form->resize(1000, 700);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    appfx::ResetLoadingState();
  }
  void OpenFolder(const std::string& dir) {
    form->folder = QString::fromStdString(dir);
    form->btnOpenFolderClick();
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return form->IsIdle() && !gLoadingInProgress; }, 20000));
    QApplication::processEvents();
  }
  std::string TwoSeries(const std::string& name) {
    const std::string dir = testsupport::TempDir("daily-" + name);
    for (int s = 0; s < 2; ++s) {
      TestImage t;
      t.seriesUid = "1.2.826.0.1.1." + std::to_string(s + 1);
      t.seriesNumber = s + 1;
      appfx::WriteImage(dir, "s" + std::to_string(s) + "/i.dcm", t);
    }
    return dir;
  }

  std::unique_ptr<DailyForm> form;
};

TEST_F(DailyUse, TheEmptyViewerSaysHowToBeginAndGoesOnceImagesShow) {
  TStartHint* hint = form->StartHint;
  ASSERT_TRUE(hint->isVisible());
  // Over the grid, in its middle, above the cells.
  EXPECT_TRUE(form->allViewersPanel->rect().contains(hint->geometry()));
  EXPECT_NEAR(hint->geometry().center().x(), form->allViewersPanel->rect().center().x(), 2);
  QWidget* top = form->allViewersPanel->childAt(form->allViewersPanel->rect().center());
  EXPECT_TRUE(top == hint || hint->isAncestorOf(top));
  // Its buttons are the window's open commands.
  hint->OpenFolderButton->click();  // the chooser cancelled: nothing changes
  hint->OpenDicomDirButton->click();
  hint->OpenImageButton->click();
  EXPECT_EQ(form->folderAsked, 2);
  EXPECT_EQ(form->fileAsked, 1);
  EXPECT_TRUE(hint->isVisible());

  OpenFolder(TwoSeries("hint"));
  EXPECT_FALSE(hint->isVisible());
  form->btnClearTreeClick();
  EXPECT_TRUE(hint->isVisible());

  // The demo study, written into the cache folder, loads as a folder would.
  const QByteArray saved = qgetenv("XDG_CACHE_HOME");
  qputenv("XDG_CACHE_HOME", QByteArray::fromStdString(testsupport::TempDir("daily-cache")));
  hint->DemoButton->click();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return form->IsIdle() && !gLoadingInProgress; }, 30000));
  qputenv("XDG_CACHE_HOME", saved);
  QApplication::processEvents();
  EXPECT_FALSE(hint->isVisible());
  EXPECT_TRUE(form->AdvancedImages[0][0]->HasImage);
}

TEST_F(DailyUse, EveryToolSaysWhatItDoes) {
  for (QWidget* tab : {form->TabSheet1, form->TabSheet2, form->TabSheet3, form->TabSheet4})
    for (QToolButton* b : tab->findChildren<QToolButton*>())
      EXPECT_FALSE(b->toolTip().isEmpty()) << b->objectName().toStdString();
  // The first tab's commands are named under their icons too.
  for (QToolButton* b :
       {form->btnOpenFile, form->btnOpenFolder, form->btnOpenDicomDir, form->btnClearTree}) {
    EXPECT_FALSE(b->text().isEmpty());
    EXPECT_EQ(b->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
  }
}

TEST_F(DailyUse, LoadsKeepTheToolTabTheUserChose) {
  // At start, a load leaves "Manage" showing, whose open commands the user used.
  OpenFolder(TwoSeries("tabs-a"));
  ASSERT_TRUE(form->AdvancedImages[0][0]->HasImage);
  EXPECT_EQ(form->ToolsPageControl->currentIndex(), 0);
  // Another tab picked by hand stays through the next load and its fill.
  form->ToolsPageControl->setCurrentIndex(2);
  OpenFolder(TwoSeries("tabs-b"));
  EXPECT_EQ(form->ToolsPageControl->currentIndex(), 2);
}

TEST_F(DailyUse, ClearStudyAsksOnceAndOnlyWhenImagesAreLoaded) {
  form->btnClearTreeClick();  // nothing loaded: nothing to lose, nothing asked
  EXPECT_TRUE(form->questions.empty());

  OpenFolder(TwoSeries("clear"));
  ASSERT_TRUE(form->AdvancedImages[0][0]->HasImage);
  form->confirm = false;
  form->btnClearTreeClick();
  ASSERT_EQ(form->questions.size(), 1u);
  EXPECT_TRUE(form->AdvancedImages[0][0]->HasImage);  // declined: all stays
  EXPECT_FALSE(form->ThumbnailsTool->Panels().empty());

  form->confirm = true;
  form->btnClearTreeClick();
  EXPECT_EQ(form->questions.size(), 2u);  // one question per click
  EXPECT_FALSE(form->AdvancedImages[0][0]->HasImage);
  {
    std::lock_guard lock(gPatientsMutex);
    EXPECT_TRUE(gPatients.empty());
  }
  form->btnClearTreeClick();  // empty again
  EXPECT_EQ(form->questions.size(), 2u);
}

class QuietPacsForm : public TPacsForm {
 public:
  using TPacsForm::TPacsForm;
  QStringList errors;

 protected:
  void ShowError(const QString& text) override { errors << text; }
};

// A port on this machine where nothing listens.
int ClosedPort() {
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHost, 0)) return 1;
  const int port = probe.serverPort();
  probe.close();
  return port;
}

// A match as a search leaves it: a study row, current and selected.
void AddMatch(QTreeWidget* list, const QString& uid) {
  auto* item = new QTreeWidgetItem(list, {"DOE JOHN", "1001"});
  item->setData(0, Qt::UserRole, uid);
  list->setCurrentItem(item);
  item->setSelected(true);
}

TEST_F(DailyUse, PacsMatchesGoWithAFailedSearchOrAnotherServerAndEscCloses) {
  auto* pacs = new QuietPacsForm(form.get());
  form->PacsForm = pacs;
  TPacsServer a, b;
  a.name = "Archive A";
  b.name = "Archive B";
  for (TPacsServer* s : {&a, &b}) {
    s->host = "127.0.0.1";
    s->port = ClosedPort();
    s->calledAe = "PACS";
    s->timeoutSeconds = 5;
  }
  pacs->SetServers({a, b});
  pacs->show();

  AddMatch(pacs->resultsList, "1.2.3");
  ASSERT_TRUE(pacs->retrieveButton->isEnabled());
  bool finished = false, ok = true;
  QObject::connect(pacs, &TPacsForm::searchFinished, pacs, [&](bool r) {
    finished = true;
    ok = r;
  });
  pacs->Search();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return finished; }, 20000));
  EXPECT_FALSE(ok);
  EXPECT_EQ(pacs->errors.size(), 1);
  EXPECT_EQ(pacs->resultsList->topLevelItemCount(), 0);
  EXPECT_FALSE(pacs->retrieveButton->isEnabled());
  EXPECT_TRUE(pacs->searchButton->isEnabled());  // the user can try again

  // Matches of one archive cannot be retrieved from another.
  AddMatch(pacs->resultsList, "1.2.4");
  ASSERT_TRUE(pacs->retrieveButton->isEnabled());
  pacs->serverBox->setCurrentIndex(1);
  EXPECT_EQ(pacs->resultsList->topLevelItemCount(), 0);
  EXPECT_FALSE(pacs->retrieveButton->isEnabled());

  // Esc closes the window, wherever the focus is in it.
  pacs->patientNameEdit->setFocus();
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(pacs->patientNameEdit, &esc);
  EXPECT_FALSE(pacs->isVisible());
}

}  // namespace
