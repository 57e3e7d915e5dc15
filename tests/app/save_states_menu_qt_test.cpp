// The key image mark and the save commands as the reader reaches them: the
// K key and the cell's menu.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>
#include <QMenu>

#include "app/SaveStates.h"
#include "derived/PresentationState.h"
#include "viewer/CellPresentation.h"
#include "viewer/KeyImageStore.h"
#include "viewer/ViewerGlobals.h"
#include "window_fixture.h"

namespace {

using apptest::AppTest;
using apptest::FillTree;

class SaveStatesMenu : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    form->EnableStudyTools();
    TKeyImageStore::Instance().Reset();
    ForgetDerivedObjects();
    if (gProcessAllViewers) form->btnProcessAllViewersClick();
  }
  void TearDown() override {
    TKeyImageStore::Instance().Reset();
    ForgetDerivedObjects();
    AppTest::TearDown();
  }
  void Key(int key) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(form->allViewersPanel, &e);
    QApplication::processEvents();
  }
  void Menu(TadvancedImage* cell, const QString& pick) {
    form->pick = pick;
    Press(cell, Qt::RightButton, {50, 50});
    Release(cell, Qt::RightButton, {50, 50});
  }
};

TEST_F(SaveStatesMenu, KMarksTheImageAndTheMenuOffersTheSaves) {
  FillTree("keymenu", {{"CT", 2}});
  form->FillViewers();
  TadvancedImage* cell = Cell(0, 0);
  ASSERT_TRUE(cell->HasImage);
  TKeyImageStore& keys = TKeyImageStore::Instance();
  Key(Qt::Key_K);
  EXPECT_TRUE(keys.IsMarked(cell->AnnotationKey()));
  // The mark is drawn: a yellow star near the top right corner of the cell.
  const QImage surface = cell->Surface();
  int yellow = 0;
  for (int y = 0; y < 40 && y < surface.height(); ++y)
    for (int x = std::max(0, surface.width() - 40); x < surface.width(); ++x) {
      const QColor c = surface.pixelColor(x, y);
      yellow += c.red() > 200 && c.green() > 150 && c.blue() < 80;
    }
  EXPECT_GT(yellow, 20);

  Menu(cell, "Key Image (K)");  // unmarks it again
  for (const char* entry : {"Key Image (K)", "Save Annotations as DICOM...",
                            "Save Key Images as DICOM...", "Presentation States"})
    EXPECT_TRUE(form->menuEntries.contains(entry)) << entry;
  EXPECT_FALSE(keys.IsMarked(cell->AnnotationKey()));
  EXPECT_TRUE(keys.Marked().empty());
}

TEST_F(SaveStatesMenu, OpeningAKeyObjectSelectionMarksItsImages) {
  FillTree("openkos", {{"CT", 2}});
  form->FillViewers();
  TadvancedImage* cell = Cell(0, 0);
  ASSERT_TRUE(cell->HasImage);
  TKeyImageStore& keys = TKeyImageStore::Instance();
  ASSERT_TRUE(ToggleKeyImage(cell));
  std::string written, why;
  ASSERT_TRUE(SaveStudyKeyImages(*cell, {}, written, why)) << why;
  keys.Reset();
  ForgetDerivedObjects();
  // Opened as a file: no image of its own, its images marked.
  form->OpenImage(QString::fromStdString(written));
  EXPECT_TRUE(keys.IsMarked(cell->AnnotationKey()));
}

// Another producer's state for the cell's image, beside it, created at `time`.
std::string ForeignState(const TadvancedImage& cell, const std::string& name,
                         const std::string& label, const std::string& time) {
  const std::string image = cell.AnnotationKey().path;
  TSourceInfo source;
  std::string why;
  EXPECT_TRUE(ReadSourceInfo(image, source, why)) << why;
  source.manufacturer = "Other Viewer Inc";
  TPresentationState ps;
  ps.label = label;
  ps.description = label == "OLDER" ? "First read" : "";
  ps.creator = "READER^TWO";
  ps.creationDate = "20250101";
  ps.creationTime = time;
  ps.series = {{source.seriesInstanceUid, {{source.sopClassUid, source.sopInstanceUid, {}}}}};
  TVoiWindow w;
  w.center = label == "OLDER" ? 100 : 200;
  w.width = 50;
  ps.windows = {w};
  const std::string path = image.substr(0, image.rfind('/') + 1) + name;
  EXPECT_TRUE(WritePresentationState(ps, source, path, why)) << why;
  return path;
}

// The "Presentation States" submenu of the cell as the user sees it.
std::vector<QAction*> StateEntries(QMenu& menu, TadvancedImage* cell) {
  AddStateMenuEntries(&menu, cell, nullptr);
  for (QAction* a : menu.actions())
    if (a->menu() && a->text() == "Presentation States") {
      std::vector<QAction*> entries;
      for (QAction* e : a->menu()->actions())
        if (!e->isSeparator()) entries.push_back(e);
      return entries;
    }
  return {};
}

TEST_F(SaveStatesMenu, StatesAreOfferedAppliedAndTheNewestOnRequest) {
  FillTree("statemenu", {{"CT", 2}});
  form->FillViewers();
  TadvancedImage* cell = Cell(0, 0);
  ASSERT_TRUE(cell->HasImage);
  const std::string older = ForeignState(*cell, "older.dcm", "OLDER", "080000");
  const std::string newer = ForeignState(*cell, "newer.dcm", "NEWER", "170000");
  {
    QMenu menu;
    const std::vector<QAction*> entries = StateEntries(menu, cell);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0]->text(), "No Presentation State");
    EXPECT_TRUE(entries[0]->isChecked());
    // Label, then the description or else the creator, then the date.
    QStringList texts;
    for (size_t k = 1; k < entries.size(); ++k) texts << entries[k]->text();
    EXPECT_TRUE(texts.contains("OLDER - First read  2025-01-01 08:00"))
        << texts.join("|").toStdString();
    EXPECT_TRUE(texts.contains("NEWER - READER^TWO  2025-01-01 17:00"))
        << texts.join("|").toStdString();
    for (size_t k = 1; k < entries.size(); ++k)
      if (entries[k]->text().startsWith("OLDER")) entries[k]->trigger();
  }
  ASSERT_NE(cell->presentation, nullptr);
  EXPECT_EQ(cell->presentation->path, older);
  EXPECT_DOUBLE_EQ(cell->windowLevel, 100);
  {
    QMenu menu;
    const std::vector<QAction*> entries = StateEntries(menu, cell);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_FALSE(entries[0]->isChecked());
    for (QAction* e : entries)
      EXPECT_EQ(e->isChecked(), e->text().startsWith("OLDER")) << e->text().toStdString();
    entries[0]->trigger();  // back to no state
  }
  EXPECT_EQ(cell->presentation, nullptr);

  // The Settings switch: off by default; on, an image shown gets its newest state.
  auto* box = form->findChild<QCheckBox*>("applyNewestStateCheckBox");
  ASSERT_NE(box, nullptr);
  EXPECT_FALSE(box->isChecked());
  emit cell->ImageShown(cell);
  EXPECT_EQ(cell->presentation, nullptr);
  box->setChecked(true);
  emit cell->ImageShown(cell);
  box->setChecked(false);
  ASSERT_NE(cell->presentation, nullptr);
  EXPECT_EQ(cell->presentation->path, newer);
  EXPECT_DOUBLE_EQ(cell->windowLevel, 200);
  EXPECT_FALSE(gSettings().ApplyNewestPresentationState);
}

}  // namespace
