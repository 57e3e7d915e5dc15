// Annotations belong to the file and frame they were drawn on: they come back
// with their frame in any cell, survive the frame cache letting go of the
// pixels, stop a playing cine where they are drawn, follow an edit made in
// another cell on the same frame, and the last add, move, delete or clear
// can be undone once.
#include <gtest/gtest.h>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/AnnotationStore.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Drag;
using cellfix::Image;
using cellfix::Mouse;

namespace {

class AnnotationStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    TAnnotationStore::Instance().Reset();
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    multi = gProcessAllViewers.exchange(false);
    restricted = gRestrictedLoad.exchange(true);
    for (TadvancedImage* c : {&cell, &other}) {
      c->resize(400, 300);
      c->ResizeImage();
    }
  }
  void TearDown() override {
    gProcessAllViewers = multi;
    gRestrictedLoad = restricted;
    cellfix::ClearTree();
    TAnnotationStore::Instance().Reset();
  }
  // A 200 x 200 image of `frames` frames (0: single-frame).
  std::string File(const std::string& name, int frames = 0) {
    Image s;
    s.columns = s.rows = 200;
    s.bitsAllocated = 8;
    s.frames = frames;
    s.values.assign(size_t(200 * 200 * std::max(frames, 1)), 0);
    return cellfix::Write(dir, name, s);
  }
  // Shows image `index` of series 0 at zoom 100 (view = image + (200, 150)).
  void Show(TadvancedImage& c, int index) {
    c.PatientIndex = c.StudyIndex = c.SeriesIndex = 0;
    c.ImageIndex = index;
    std::string path;
    {
      std::lock_guard lock(gPatientsMutex);
      path = gPatients[0].studies[0].serieses[0].images[size_t(index)].imagePath;
    }
    ASSERT_TRUE(c.LoadFile(path, 1));
    c.PauseCine();
    c.Zoom(100 - c.zoomFactor);
  }
  void Measure(TadvancedImage& c, QPoint from, QPoint to) {
    c.Action = VAMeasureLine;
    Drag(c, from, to);
  }

  bool multi = false, restricted = false;
  std::string dir;
  TadvancedImage cell, other;
};

}  // namespace

TEST_F(AnnotationStoreTest, ComeBackWithTheirImageInAnyCell) {
  cellfix::MakeTree({{File("a.dcm"), File("b.dcm")}});
  Show(cell, 0);
  Measure(cell, {100, 100}, {200, 100});
  ASSERT_EQ(cell.Shapes.size(), 1u);

  cell.NextImage();  // image b has none of its own
  EXPECT_EQ(cell.ImageIndex, 1);
  EXPECT_TRUE(cell.Shapes.empty());
  Measure(cell, {50, 50}, {60, 80});
  cell.PrevImage();  // back on a: its line again, and only it
  ASSERT_EQ(cell.Shapes.size(), 1u);
  EXPECT_EQ(cell.Shapes[0].x1, -100);
  EXPECT_EQ(cell.Shapes[0].x2, 0);

  // Another cell showing a has it too, and follows an edit made here.
  Show(other, 0);
  ASSERT_EQ(other.Shapes.size(), 1u);
  cell.Action = VAPan;
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {150, 100});  // hover selects it
  ASSERT_EQ(cell.SelectedShapeIndex, 0);
  Drag(cell, {150, 100}, {150, 130});  // moved 30 down
  EXPECT_EQ(other.Shapes[0].y1, -20);
  EXPECT_FALSE(cellfix::Ink(other.Surface(), gSettings().AnnotationColor, QRect(90, 125, 120, 10))
                   .isEmpty());

  // The frame cache may let go of the pixels: the annotations are not in it.
  {
    std::lock_guard lock(gPatientsMutex);
    for (TImg& im : gPatients[0].studies[0].serieses[0].images) im.Cache = TCache{};
  }
  cell.Clear();
  Show(cell, 1);
  Show(cell, 0);
  EXPECT_EQ(cell.Shapes.size(), 1u);
}

TEST_F(AnnotationStoreTest, EveryFrameKeepsItsOwn) {
  cellfix::MakeTree({{File("cine.dcm", 4)}});
  Show(cell, 0);
  cell.NextFrame();
  ASSERT_EQ(cell.CurrentFrame, 2);
  Measure(cell, {100, 100}, {200, 100});
  cell.NextFrame();
  EXPECT_TRUE(cell.Shapes.empty());
  cell.PrevFrame();
  EXPECT_EQ(cell.Shapes.size(), 1u);
  EXPECT_EQ(cell.AnnotationKey().frame, 2);

  // Drawing on a playing cine stops it on the frame the shape goes on.
  cell.PlayCine();
  ASSERT_TRUE(cell.InCineMode);
  Measure(cell, {10, 10}, {40, 10});
  EXPECT_FALSE(cell.InCineMode);
  const int drawnOn = cell.CurrentFrame;
  EXPECT_EQ(cell.AnnotationKey().frame, drawnOn);
  // Round the loop: every frame shows its own.
  for (int i = 0; i < 4; ++i) {
    cell.NextFrame();
    const size_t expected = (cell.CurrentFrame == 2) + (cell.CurrentFrame == drawnOn);
    EXPECT_EQ(cell.Shapes.size(), expected) << "frame " << cell.CurrentFrame;
  }
  EXPECT_EQ(TAnnotationStore::Instance().Count(), 2u);
}

TEST_F(AnnotationStoreTest, OneLevelOfUndo) {
  cellfix::MakeTree({{File("a.dcm"), File("b.dcm")}});
  TAnnotationStore& store = TAnnotationStore::Instance();
  Show(cell, 0);
  EXPECT_FALSE(store.Undo());
  Measure(cell, {100, 100}, {200, 100});
  Measure(cell, {100, 200}, {200, 200});
  ASSERT_EQ(cell.Shapes.size(), 2u);
  EXPECT_TRUE(store.Undo());  // the last add
  EXPECT_EQ(cell.Shapes.size(), 1u);
  EXPECT_FALSE(store.Undo());  // one level only
  EXPECT_EQ(cell.Shapes.size(), 1u);

  // A move, then a click that changes nothing: the move is what undo takes back.
  cell.Action = VAPan;
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {150, 100});
  Drag(cell, {150, 100}, {170, 120});
  EXPECT_EQ(cell.Shapes[0].x1, -80);
  Drag(cell, {170, 120}, {170, 120});
  EXPECT_TRUE(store.Undo());
  EXPECT_EQ(cell.Shapes[0].x1, -100);
  EXPECT_EQ(cell.Shapes[0].y1, -50);

  // Delete (the key's command) and clear.
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {150, 100});
  EXPECT_TRUE(cell.DeleteSelectedShape());
  EXPECT_FALSE(cell.DeleteSelectedShape());
  EXPECT_TRUE(cell.Shapes.empty());
  EXPECT_TRUE(store.Undo());
  EXPECT_EQ(cell.Shapes.size(), 1u);
  cell.ClearAnnotation();
  EXPECT_TRUE(cell.Shapes.empty());
  EXPECT_TRUE(store.Undo());
  EXPECT_EQ(cell.Shapes.size(), 1u);

  // Undo reaches the image the edit was made on, shown or not.
  Measure(cell, {10, 10}, {30, 10});
  cell.NextImage();
  EXPECT_TRUE(store.Undo());
  cell.PrevImage();
  EXPECT_EQ(cell.Shapes.size(), 1u);

  // Clear all empties every image and can be undone as well.
  Show(other, 1);
  Measure(other, {10, 10}, {30, 10});
  store.ClearAll();
  EXPECT_TRUE(cell.Shapes.empty());
  EXPECT_TRUE(other.Shapes.empty());
  EXPECT_EQ(store.Count(), 0u);
  EXPECT_TRUE(store.Undo());
  EXPECT_EQ(cell.Shapes.size(), 1u);
  EXPECT_EQ(other.Shapes.size(), 1u);
}

TEST_F(AnnotationStoreTest, AnUnfinishedAngleOrLabelLeavesNoStaleUndo) {
  cellfix::MakeTree({{File("a.dcm")}});
  TAnnotationStore& store = TAnnotationStore::Instance();
  Show(cell, 0);
  // Angle: first arm, then the second swings with the mouse and is stored as it goes.
  cell.Action = VAAngle;
  Drag(cell, {100, 100}, {200, 100});
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {200, 200});
  Show(other, 0);
  ASSERT_EQ(other.Shapes.size(), 1u);
  EXPECT_EQ(other.Shapes[0].y3, 50);
  Drag(cell, {200, 200}, {200, 200});
  EXPECT_FLOAT_EQ(cell.Shapes[0].data, 90.0f);
  EXPECT_TRUE(store.Undo());  // the angle as a whole
  EXPECT_TRUE(cell.Shapes.empty());
  EXPECT_TRUE(other.Shapes.empty());
}
