// Annotations drawn with synthesized mouse events on an offscreen cell: the
// measurements and their labels, the angle protocol, hover hit testing,
// moving and deleting, the text entry window, passing drags, the drop of a
// series, and input that must not break the cell.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QTimer>
#include <cmath>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/AnnText.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Drag;
using cellfix::Image;
using cellfix::Mouse;

namespace {

class CellAnnotations : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    multi = gProcessAllViewers.exchange(false);
    colour = gSettings().AnnotationColor;
    gSettings().AnnotationColor = QColor(0, 255, 0);  // apart from the hover red
    cell.resize(400, 300);
    cell.ResizeImage();
  }
  void TearDown() override {
    gProcessAllViewers = multi;
    gSettings().AnnotationColor = colour;
    cellfix::ClearTree();
  }
  // A 200 x 200 black image at zoom 100: view = image + (200, 150).
  void Load(const std::string& spacing = "0.5\\0.5") {
    Image s;
    s.columns = s.rows = 200;
    s.bitsAllocated = 8;
    s.pixelSpacing = spacing;
    s.values.assign(200 * 200, 0);
    ASSERT_TRUE(cell.LoadFile(cellfix::Write(dir, "i" + std::to_string(++files) + ".dcm", s), 1));
    cell.Zoom(100 - cell.zoomFactor);
    ASSERT_EQ(cell.ViewToImage(QPoint(200, 150)), QPoint(0, 0));
  }
  void Hover(QPoint at) { Mouse(cell, QEvent::MouseMove, Qt::NoButton, at); }
  void Draw(ViewerAction a, QPoint from, QPoint to) {
    cell.Action = a;
    Drag(cell, from, to);
  }
  QRgb At(QPoint p) const { return cell.Surface().pixel(p); }

  bool multi = false;
  QColor colour;
  int files = 0;
  std::string dir;
  TadvancedImage cell;
};

}  // namespace

TEST_F(CellAnnotations, MeasurementsAndLabels) {
  Load();
  Draw(VAMeasureLine, {100, 100}, {200, 100});  // 100 image pixels of 0.5 mm
  ASSERT_EQ(cell.Shapes.size(), 1u);
  EXPECT_EQ(TadvancedImage::ShapeLabel(cell.Shapes[0]), "50.00 mm");
  EXPECT_EQ(cell.Action, VAMeasureLine);  // the tool stays
  EXPECT_TRUE(cellfix::Painted(At({150, 100}), QColor(0, 255, 0)));
  EXPECT_FALSE(cellfix::Ink(cell.Surface(), Qt::red, QRect(200, 100, 80, 20)).isEmpty());  // label

  cell.Shapes.clear();
  Draw(VARectangle, {200, 150}, {210, 170});  // image (0, 0) to (10, 20)
  Draw(VAEllipse, {200, 150}, {211, 171});    // an 11 x 21 box
  cell.RenderViewer();                        // areas follow the points at each render
  EXPECT_EQ(TadvancedImage::ShapeLabel(cell.Shapes[0]), QString("50.00 mm") + QChar(0x00B2));
  EXPECT_FLOAT_EQ(cell.Shapes[1].data, float(5.5 * M_PI * 10.5 * 0.25));  // the box's own half-axes

  Load("1\\1");  // a load empties the list; no spacing reads pixels
  EXPECT_TRUE(cell.Shapes.empty());
  Draw(VAMeasureLine, {100, 100}, {100, 200});
  EXPECT_EQ(TadvancedImage::ShapeLabel(cell.Shapes[0]), "100.00 mm");

  EXPECT_EQ(TadvancedImage::AngleBetween({10, 0}, {0, 0}, {0, 10}), 90.0f);
  EXPECT_FLOAT_EQ(TadvancedImage::AngleBetween({-10, 0}, {0, 0}, {25, 0}), 180.0f);
  EXPECT_EQ(TadvancedImage::AngleBetween({0, 0}, {0, 0}, {5, 5}), 0.0f);  // arm of no length
  Shape a;
  a.shapeType = STAngle;
  a.data = TadvancedImage::AngleBetween({10, 0}, {0, 0}, {0, 10});
  EXPECT_EQ(TadvancedImage::ShapeLabel(a), QString("90.00") + QChar(0x00B0));

  // Eight significant digits at most, always two decimals shown.
  Shape r;
  r.shapeType = STRectangle;
  r.data = 1234567.75f;
  EXPECT_EQ(TadvancedImage::ShapeLabel(r), QString("1234567.80 mm") + QChar(0x00B2));
  r.data = 24999998.0f;
  EXPECT_EQ(TadvancedImage::ShapeLabel(r), QString("24999998.00 mm") + QChar(0x00B2));
  r.data = 0.004f;
  EXPECT_EQ(TadvancedImage::ShapeLabel(r), QString("0.00 mm") + QChar(0x00B2));
  r.data = 123456.125f;
  EXPECT_EQ(TadvancedImage::ShapeLabel(r), QString("123456.13 mm") + QChar(0x00B2));
}

TEST_F(CellAnnotations, AngleProtocol) {
  Load();
  cell.Action = VAAngle;
  Drag(cell, {300, 150}, {200, 150});  // first arm, ending at the vertex
  EXPECT_TRUE(cell.AngleSecondLine);
  EXPECT_EQ(cell.Action, VAPan);
  Hover({200, 50});  // the second arm follows the mouse
  ASSERT_EQ(cell.Shapes.size(), 1u);
  EXPECT_FLOAT_EQ(cell.Shapes[0].data, 90.0f);
  EXPECT_EQ(cell.SelectedShapeIndex, -1);  // no hover while an arm is placed
  Hover({100, 150});
  EXPECT_EQ(TadvancedImage::ShapeLabel(cell.Shapes[0]), QString("180.00") + QChar(0x00B0));
  Mouse(cell, QEvent::MouseButtonPress, Qt::LeftButton, {100, 150});
  Mouse(cell, QEvent::MouseButtonRelease, Qt::LeftButton, {100, 150});
  EXPECT_FALSE(cell.AngleSecondLine);
  Hover({200, 40});
  EXPECT_EQ(cell.Shapes[0].x3, -100);  // finished: the arm stays
  EXPECT_EQ(cell.Shapes.size(), 1u);

  // A vertex on the first point: no NaN.
  cell.Action = VAAngle;
  Drag(cell, {50, 50}, {50, 50});
  Hover({80, 80});
  EXPECT_EQ(cell.Shapes.back().data, 0.0f);
}

TEST_F(CellAnnotations, HoverHitTesting) {
  Load();
  Draw(VALine, {100, 50}, {100, 250});  // vertical
  Hover({105, 200});                    // along its length, not only near its first end
  EXPECT_EQ(cell.SelectedShapeIndex, 0);
  EXPECT_TRUE(cellfix::Painted(At({100, 150}), Qt::red));
  Hover({112, 200});
  EXPECT_EQ(cell.SelectedShapeIndex, -1);
  Hover({100, 262});  // beyond the end and its margin
  EXPECT_EQ(cell.SelectedShapeIndex, -1);
  Hover({100, 259});
  EXPECT_EQ(cell.SelectedShapeIndex, 0);

  cell.Shapes.clear();
  Draw(VALine, {50, 100}, {350, 100});  // horizontal: within 10 pixels vertically
  Hover({200, 109});
  EXPECT_EQ(cell.SelectedShapeIndex, 0);
  Hover({200, 111});
  EXPECT_EQ(cell.SelectedShapeIndex, -1);

  // Overlapping boxes: the earlier one in the list wins; a text label is hit
  // only along its diagonal.
  cell.Shapes.clear();
  Draw(VARectangle, {100, 100}, {200, 200});
  Draw(VAEllipse, {150, 150}, {250, 250});
  Hover({160, 160});
  EXPECT_EQ(cell.SelectedShapeIndex, 0);
  Hover({240, 240});
  EXPECT_EQ(cell.SelectedShapeIndex, 1);
  Shape t;
  t.shapeType = STTxt;
  t.x1 = -190, t.y1 = -140, t.x2 = -110, t.y2 = -60;  // view (10, 10) to (90, 90)
  t.txt = "x";
  cell.Shapes = {t};
  Hover({80, 20});
  EXPECT_EQ(cell.SelectedShapeIndex, -1);
  Hover({50, 52});
  EXPECT_EQ(cell.SelectedShapeIndex, 0);
}

TEST_F(CellAnnotations, MovingAndDeleting) {
  Load();
  Draw(VALine, {100, 100}, {150, 100});
  Draw(VALine, {100, 200}, {150, 200});
  Draw(VALine, {100, 250}, {150, 250});
  cell.Action = VAPan;
  Hover({120, 100});
  Drag(cell, {120, 100}, {130, 90});  // a drag from an annotation moves it, not the image
  EXPECT_EQ(cell.Shapes[0].x1, -90);
  EXPECT_EQ(cell.Shapes[0].y2, -60);
  EXPECT_EQ(cell.PanX, 0);

  cell.inDeleteMode = true;
  cell.Action = VADelete;
  Hover({140, 201});
  Mouse(cell, QEvent::MouseButtonPress, Qt::LeftButton, {140, 201});
  Mouse(cell, QEvent::MouseButtonRelease, Qt::LeftButton, {140, 201});
  ASSERT_EQ(cell.Shapes.size(), 2u);
  EXPECT_EQ(cell.Shapes[1].y1, 100);  // the next one took its index
  EXPECT_EQ(cell.SelectedShapeIndex, -1);
  EXPECT_EQ(cell.Action, VADelete);  // delete mode stays until switched off

  // An index past the list is never acted on.
  cell.SelectedShapeIndex = 7;
  Mouse(cell, QEvent::MouseButtonPress, Qt::LeftButton, {10, 10});
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {20, 20}, Qt::LeftButton);
  Mouse(cell, QEvent::MouseButtonRelease, Qt::LeftButton, {20, 20});
  EXPECT_EQ(cell.Shapes.size(), 2u);
  cell.SelectedShapeIndex = 1;
  cell.ClearAnnotation();
  EXPECT_TRUE(cell.Shapes.empty());
  EXPECT_EQ(cell.SelectedShapeIndex, -1);
}

TEST_F(CellAnnotations, PassingDragsLeavePan) {
  Load();
  const int width = cell.windowWidth, zoom = cell.zoomFactor;
  cell.Action = VALine;
  Drag(cell, {100, 100}, {150, 100}, Qt::RightButton);
  EXPECT_NE(cell.windowWidth, width);
  EXPECT_TRUE(cell.Shapes.empty());
  EXPECT_EQ(cell.Action, VAPan);
  cell.Action = VARectangle;
  Drag(cell, {100, 100}, {100, 80}, Qt::MiddleButton);
  EXPECT_EQ(cell.zoomFactor, zoom + 20);
  EXPECT_EQ(cell.Action, VAPan);

  // In the all-viewers mode zoom, window and pan drags go to the grid.
  TViewer viewer;
  viewer.resize(300, 200);
  TadvancedImage& c = *viewer.AdvancedImage();
  int moves = 0;
  QObject::connect(&viewer, &TViewer::MouseMove, [&](auto...) { ++moves; });
  gProcessAllViewers = true;
  Drag(c, {50, 50}, {80, 80});
  EXPECT_EQ(moves, 1);
  EXPECT_EQ(c.PanX, 0);
}

TEST_F(CellAnnotations, TextEntryWindow) {
  Load();
  TForm3* form = TForm3::Instance(&cell);
  // Answers the entry window, if one opens, with text and a key.
  QString typed;
  int key = 0;
  QRect opened;
  QTimer answer;
  answer.setSingleShot(true);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    auto* f = qobject_cast<TForm3*>(QApplication::activeModalWidget());
    if (!f) return;
    opened = f->geometry();
    f->Edit1->setText(typed);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QCoreApplication::sendEvent(f->Edit1, &press);
  });
  const auto label = [&](QPoint from, QPoint to, const QString& text, int k) {
    typed = text;
    key = k;
    opened = QRect();
    answer.start(0);
    Draw(VATxtLabel, from, to);
  };

  label({120, 80}, {20, 40}, "Note", Qt::Key_Return);  // dragged up and left
  EXPECT_EQ(opened.size(), QSize(100, 40));
  EXPECT_EQ(opened.topLeft(), cell.mapToGlobal(QPoint(20, 40)));
  ASSERT_EQ(cell.Shapes.size(), 1u);
  EXPECT_EQ(cell.Shapes[0].txt, "Note");
  EXPECT_FALSE(cellfix::Ink(cell.Surface(), Qt::red, QRect(20, 40, 100, 40)).isEmpty());

  label({20, 100}, {120, 140}, "", Qt::Key_Return);  // Enter on nothing cancels
  label({20, 100}, {120, 140}, "gone", Qt::Key_Escape);
  EXPECT_EQ(cell.Shapes.size(), 1u);

  label({200, 200}, {205, 205}, "x", Qt::Key_Return);  // 5 x 5: no window, an empty box
  EXPECT_TRUE(opened.isNull());
  ASSERT_EQ(cell.Shapes.size(), 2u);
  EXPECT_TRUE(cell.Shapes[1].txt.isEmpty());
  EXPECT_EQ(form->Edit1->palette().color(QPalette::Base), QColor(166, 202, 240));
}

TEST_F(CellAnnotations, SeriesDrop) {
  Image a;
  a.columns = a.rows = 2;
  a.values = {0, 10, 20, 30};
  const std::string p0 = cellfix::Write(dir, "a.dcm", a);
  a.values = {30, 20, 10, 0};
  const std::string p1 = cellfix::Write(dir, "b.dcm", a), p2 = cellfix::Write(dir, "c.dcm", a);
  cellfix::MakeTree({{p0}, {p1, p2}});
  ASSERT_TRUE(cell.LoadFile(p0, 1));

  const auto mime = [](const char* format, const QByteArray& text) {
    auto* m = new QMimeData;
    m->setData(format, text);
    return m;
  };
  std::unique_ptr<QMimeData> other(mime("text/plain", "0,0,1"));
  EXPECT_FALSE(cell.ImgOnDragOver(other.get()));
  EXPECT_FALSE(cell.ImgOnDragDrop(other.get()));
  for (const char* bad : {"0,0,2", "0,1", "x,0,1", "0,0,-1"}) {
    std::unique_ptr<QMimeData> m(mime(TadvancedImage::SeriesMimeType, bad));
    EXPECT_FALSE(cell.ImgOnDragDrop(m.get())) << bad;
  }
  EXPECT_EQ(cell.CurrentOpenedPath, p0);

  cell.ImageIndex = 0;
  cell.zoomFactor = 5;
  std::unique_ptr<QMimeData> series(mime(TadvancedImage::SeriesMimeType, "0,0,1"));
  EXPECT_TRUE(cell.ImgOnDragOver(series.get()));
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, series.get(), Qt::LeftButton,
                        Qt::NoModifier);
  QCoreApplication::sendEvent(&cell, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, series.get(), Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&cell, &drop);
  EXPECT_TRUE(drop.isAccepted());
  EXPECT_EQ(cell.SeriesIndex, 1);
  EXPECT_EQ(cell.ImageIndex, 0);
  EXPECT_EQ(cell.CurrentOpenedPath, p1);
  EXPECT_NE(cell.zoomFactor, 5);  // fitted

  gThumbnailDragInProgress = true;
  Mouse(cell, QEvent::MouseButtonRelease, Qt::LeftButton, {10, 10});
  EXPECT_FALSE(gThumbnailDragInProgress);
}

TEST_F(CellAnnotations, BadInputLeavesTheCellUsable) {
  // An empty cell takes every kind of drag.
  for (ViewerAction a :
       {VAZoom, VAPan, VAWWWL, VALine, VAMeasureLine, VARectangle, VAEllipse, VAAngle, VADelete}) {
    Draw(a, {10, 10}, {60, 70});
    Hover({30, 30});
  }
  Mouse(cell, QEvent::MouseMove, Qt::NoButton, {5, 5}, Qt::LeftButton);  // a drag without a press
  cell.ClearAnnotation();

  // Annotations dragged far outside the image, at a deep zoom, still render.
  Load();
  cell.Action = VAPan;
  Draw(VAEllipse, {100, 100}, {300, 250});
  Draw(VAMeasureLine, {10, 10}, {30000, -30000});
  Hover({150, 100});
  cell.Action = VAPan;
  for (int i = 0; i < 40; ++i) {
    Mouse(cell, QEvent::MouseButtonPress, Qt::LeftButton, {150, 100});
    Mouse(cell, QEvent::MouseMove, Qt::NoButton, {150 + 2000000, 100 - 2000000}, Qt::LeftButton);
    Mouse(cell, QEvent::MouseButtonRelease, Qt::LeftButton, {150 + 2000000, 100 - 2000000});
    Hover({150, 100});
  }
  cell.Zoom(1000000);
  cell.RenderViewer();
  ASSERT_EQ(cell.Shapes.size(), 2u);
  EXPECT_TRUE(std::isfinite(cell.Shapes[0].data));
  cell.FitImage();
  cell.ClearAnnotation();
  Draw(VALine, {10, 10}, {50, 10});
  EXPECT_EQ(cell.Shapes.size(), 1u);
}
