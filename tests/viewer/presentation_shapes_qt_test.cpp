// Presentation-state graphics to the cell's shapes and back: the coordinate
// origins of both, and what other producers' objects become.
#include <gtest/gtest.h>

#include <set>

#include "viewer/PresentationShapes.h"

namespace {

TGraphicObject Graphic(TGraphicType type, std::vector<TPoint2> points,
                       TGraphicUnits units = TGraphicUnits::Pixel) {
  TGraphicObject g;
  g.type = type;
  g.units = units;
  g.points = std::move(points);
  return g;
}

TTextObject Anchored(const char* text, TPoint2 at) {
  TTextObject t;
  t.text = text;
  t.hasAnchor = true;
  t.anchor = at;
  return t;
}

Shape Make(ShapTypes type, int x1, int y1, int x2, int y2, int x3 = 0, int y3 = 0,
           const char* text = "") {
  Shape s;
  s.shapeType = type;
  s.x1 = x1, s.y1 = y1, s.x2 = x2, s.y2 = y2, s.x3 = x3, s.y3 = y3;
  s.txt = QString::fromUtf8(text);
  return s;
}

TEST(PresentationShapes, ShapePointsAndPixelCoordinatesMeetAtTheImageMiddle) {
  // Even and odd sizes: the shape origin is the edge between the middle pixels.
  EXPECT_EQ(ShapeToPixel(0, 0, 64, 48), (TPoint2{32, 24}));
  EXPECT_EQ(ShapeToPixel(0, 0, 65, 49), (TPoint2{33, 25}));
  EXPECT_EQ(ShapeToPixel(-32, -24, 64, 48), (TPoint2{0, 0}));  // the top left corner
  for (int columns : {1, 64, 65})
    for (int x : {-40, -1, 0, 7}) {
      const TPoint2 p = ShapeToPixel(x, -x, columns, columns + 1);
      EXPECT_EQ(PixelToShape(p, columns, columns + 1), QPoint(x, -x)) << columns << " " << x;
    }
  // Coordinates far outside any image stay finite integers.
  const QPoint far = PixelToShape({1e30, -1e30}, 64, 48);
  EXPECT_EQ(far.x(), 1000000);
  EXPECT_EQ(far.y(), -1000000);
}

TEST(PresentationShapes, EveryKindOfTheCellGoesOutAndComesBackAlike) {
  const TShapeArray shapes = {
      Make(STLine, -20, 10, -10, 5),         Make(STMeasureLine, -30, 20, -20, -20),
      Make(STAngle, -10, 0, 10, 20, 15, 20), Make(STRectangle, 5, 25, -15, 0),
      Make(STEllipse, -25, -5, 5, 15),       Make(STTxt, 0, 30, 10, 20, 0, 0, "Zyste"),
  };
  const std::vector<QStringList> labels = {
      {}, {"25.00 mm"}, {"90.00°"}, {"Area 1.00"}, {"Area 2.00", "Mean 3"}, {}};
  const TImageRef image{"1.2.840.10008.5.1.4.1.1.2", "1.2.3", {}};
  const TGraphicAnnotation a = AnnotationOfShapes(shapes, labels, 64, 48, image);
  ASSERT_EQ(a.graphics.size(), 5u);
  EXPECT_EQ(a.graphics[3].points.size(), 5u);  // a closed rectangle
  EXPECT_EQ(a.graphics[3].points.front(), a.graphics[3].points.back());
  EXPECT_EQ(a.graphics[4].type, TGraphicType::Ellipse);
  // The major axis first: the ellipse is wider than tall.
  EXPECT_EQ(a.graphics[4].points[0], (TPoint2{32 - 25, 24 + 5}));
  EXPECT_EQ(a.graphics[4].points[1], (TPoint2{32 + 5, 24 + 5}));
  ASSERT_EQ(a.texts.size(), 5u);  // four measurements and the label
  EXPECT_EQ(a.texts[3].text, "Area 2.00\nMean 3");
  EXPECT_TRUE(a.texts[4].hasBox);
  EXPECT_EQ(a.texts[4].boxTopLeft, (TPoint2{32, 24 + 20}));  // normalised

  std::vector<std::string> skipped;
  const TShapeArray back = ShapesOfAnnotation(a, 64, 48, skipped);
  EXPECT_TRUE(skipped.empty());
  ASSERT_EQ(back.size(), 6u);  // the measurements' texts are not doubled
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(back[i].shapeType, shapes[i].shapeType) << i;
  EXPECT_EQ(QPoint(back[0].x2, back[0].y2), QPoint(-10, 5));
  EXPECT_EQ(QPoint(back[2].x3, back[2].y3), QPoint(15, 20));
  // A rectangle comes back with the corners it was dragged between.
  EXPECT_EQ(QPoint(back[3].x1, back[3].y1), QPoint(5, 25));
  EXPECT_EQ(QPoint(back[3].x2, back[3].y2), QPoint(-15, 0));
  EXPECT_EQ(QPoint(back[4].x1, back[4].y1), QPoint(-25, -5));
  EXPECT_EQ(QPoint(back[4].x2, back[4].y2), QPoint(5, 15));
  EXPECT_EQ(back[5].txt, QString::fromUtf8("Zyste"));
}

TEST(PresentationShapes, OtherProducersObjectsAsFarAsTheCellDrawsThem) {
  TGraphicAnnotation a;
  a.graphics = {
      Graphic(TGraphicType::Circle, {{32, 24}, {42, 24}}),
      Graphic(TGraphicType::Polyline, {{0, 0}, {10, 0}, {10, 10}, {0, 20}}),  // open, 4 points
      Graphic(TGraphicType::Polyline, {{0, 0}, {5, 5}, {9, 1}}),              // no label: lines
      Graphic(TGraphicType::Point, {{3, 3}}),
      Graphic(TGraphicType::Polyline, {{0.1, 0.1}, {0.5, 0.5}}, TGraphicUnits::Display),
      Graphic(TGraphicType::Ellipse, {{22, 14}, {42, 34}, {27, 29}, {37, 19}}),  // turned
  };
  TTextObject display = Anchored("elsewhere", {0.5, 0.5});
  display.anchorUnits = TGraphicUnits::Display;
  a.texts = {Anchored("note", {20, 20}), display};
  std::vector<std::string> skipped;
  const TShapeArray s = ShapesOfAnnotation(a, 64, 48, skipped);
  ASSERT_EQ(s.size(), 1u + 3 + 2 + 1 + 1);
  EXPECT_EQ(s[0].shapeType, STEllipse);  // the circle in its box
  EXPECT_EQ(QPoint(s[0].x1, s[0].y1), QPoint(-10, -10));
  EXPECT_EQ(QPoint(s[0].x2, s[0].y2), QPoint(10, 10));
  for (size_t i = 1; i <= 5; ++i) EXPECT_EQ(s[i].shapeType, STLine) << i;
  EXPECT_EQ(s[6].shapeType, STEllipse);  // upright, around the turned one
  EXPECT_EQ(s[7].shapeType, STTxt);      // an anchored note: a box beside its anchor
  EXPECT_EQ(s[7].txt, "note");
  EXPECT_EQ(QPoint(s[7].x1, s[7].y1), QPoint(20 - 32, 20 - 24));
  EXPECT_GT(s[7].x2, s[7].x1);
  ASSERT_EQ(skipped.size(), 4u);  // the point, display units twice, the turn
}

TEST(PresentationShapes, EveryTurnOfTheCellIsOneOfTheStates) {
  std::set<std::pair<int, bool>> seen;
  for (const bool flip : {false, true})
    for (int r = 0; r < 360; r += 90) {
      int rotation = -1;
      bool flipped = !flip;
      TurnOfOrientation(OrientationOfTurn(r, flip), rotation, flipped);
      EXPECT_EQ(rotation, r);
      EXPECT_EQ(flipped, flip);
      seen.insert({rotation, flipped});
    }
  EXPECT_EQ(seen.size(), 8u);
  // A cell flipped top to bottom as the reader sees it: a horizontal flip turned half round.
  OrientationState s;
  FlipOrientation(s, flVertical);
  int rotation = 0;
  bool flip = false;
  TurnOfOrientation(s, rotation, flip);
  EXPECT_TRUE(flip);
  EXPECT_EQ(rotation, 180);
}

}  // namespace
