// The key image mark and the save commands as the reader reaches them: the
// K key and the cell's menu.
#include <gtest/gtest.h>

#include <QKeyEvent>

#include "app/SaveStates.h"
#include "viewer/KeyImageStore.h"
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

}  // namespace
