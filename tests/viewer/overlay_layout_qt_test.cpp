// The information layer's layout: the usual places in a large cell, and in
// cells of every size no text over another text or over the ruler.
#include <gtest/gtest.h>

#include <QFontMetrics>

#include "viewer/CellHelpers.h"
#include "viewer/OverlayLayout.h"

namespace {

TOverlayInput Input(QSize surface, bool ruler, const QString& longText = {}) {
  TOverlayInput in;
  in.surface = surface;
  in.font = cellhelpers::InfoFont();
  in.letterFont = in.font;
  in.letterFont.setPointSize(12);
  in.ruler = ruler;
  in.topLeft = {"PAT-0001" + longText, "CT"};
  in.topRight = {"DOE JOHN" + longText, "14/03/2024"};
  in.bottomLeft = {"Zoom  : 109%",          "WL    : 40",    "WW    : 400", "Image : 12",
                   "Series : 3" + longText, "Frame : 1 / 40"};
  in.bottomRight = {"Saint Elsewhere University Hospital" + longText};
  in.letters = {"A", "L", "P", "RH"};
  return in;
}

const TOverlayText* Find(const std::vector<TOverlayText>& out, const QString& start) {
  for (const TOverlayText& t : out)
    if (t.text.startsWith(start)) return &t;
  return nullptr;
}

TEST(OverlayLayout, ALargeCellKeepsTheUsualPlaces) {
  const auto out = LayOutOverlay(Input({800, 600}, false));
  const auto at = [&](const QString& start) {
    const TOverlayText* t = Find(out, start);
    return t ? t->rect.topLeft() : QPoint(-1, -1);
  };
  EXPECT_EQ(at("PAT"), QPoint(10, 10));
  EXPECT_EQ(at("CT"), QPoint(10, 25));
  EXPECT_EQ(at("Zoom"), QPoint(10, 580));
  EXPECT_EQ(at("WL"), QPoint(10, 565));
  EXPECT_EQ(at("Series"), QPoint(10, 520));
  EXPECT_EQ(at("Frame"), QPoint(10, 505));
  EXPECT_EQ(at("A"), QPoint(400, 2));
  EXPECT_EQ(at("L"), QPoint(765, 300));
  EXPECT_EQ(at("P"), QPoint(400, 580));
  EXPECT_EQ(at("RH"), QPoint(7, 300));
  // Right-aligned 10 pixels from the edge.
  EXPECT_EQ(Find(out, "DOE")->rect.right(), 789);
  EXPECT_EQ(Find(out, "Saint")->rect.right(), 789);
  EXPECT_EQ(out.size(), 15u);

  // With the ruler the zoom line still fits left of it; the letters move off it.
  const auto ruled = LayOutOverlay(Input({800, 600}, true));
  EXPECT_EQ(Find(ruled, "Zoom")->rect.topLeft(), QPoint(10, 580));
  EXPECT_LT(Find(ruled, "L")->rect.right(), VerticalRulerBox({800, 600}).left());
  EXPECT_LT(Find(ruled, "P")->rect.bottom(), HorizontalRulerBox({800, 600}).top());
}

TEST(OverlayLayout, NoTextOverAnotherOrOverTheRulerInCellsOfAnySize) {
  for (const QSize size : {QSize(800, 600), QSize(400, 300), QSize(300, 230), QSize(200, 150),
                           QSize(120, 90), QSize(40, 30), QSize(1, 1), QSize(1200, 200)})
    for (const bool ruler : {false, true})
      for (const QString& tail : {QString(), QString(" WITH A VERY LONG TAIL OF WORDS")}) {
        SCOPED_TRACE(QString("%1 x %2 ruler %3 %4")
                         .arg(size.width())
                         .arg(size.height())
                         .arg(ruler)
                         .arg(tail)
                         .toStdString());
        const TOverlayInput in = Input(size, ruler, tail);
        const auto out = LayOutOverlay(in);
        const QFontMetrics fm(in.font);
        for (size_t i = 0; i < out.size(); ++i) {
          const QRect& r = out[i].rect;
          EXPECT_TRUE(QRect(QPoint(0, 0), size).contains(r)) << out[i].text.toStdString();
          // What is drawn fits its box: a shortened line ends in an ellipsis.
          if (!out[i].letter) {
            EXPECT_LE(fm.horizontalAdvance(out[i].text), r.width() + 1);
          }
          if (ruler) {
            EXPECT_FALSE(r.intersects(VerticalRulerBox(size))) << out[i].text.toStdString();
            EXPECT_FALSE(r.intersects(HorizontalRulerBox(size))) << out[i].text.toStdString();
          }
          for (size_t j = i + 1; j < out.size(); ++j)
            EXPECT_FALSE(r.intersects(out[j].rect))
                << out[i].text.toStdString() << " / " << out[j].text.toStdString();
        }
      }
}

TEST(OverlayLayout, ALongLineIsShortenedToItsHalfAndAnEmptyOneKeepsItsPlace) {
  TOverlayInput in = Input({400, 300}, false, " WITH A VERY LONG TAIL OF WORDS THAT GOES ON");
  in.topLeft = {"", "CT"};
  const auto out = LayOutOverlay(in);
  const TOverlayText* name = Find(out, "DOE");
  ASSERT_NE(name, nullptr);
  EXPECT_TRUE(name->text.endsWith(QChar(0x2026)));
  EXPECT_GE(name->rect.left(), 200);
  EXPECT_EQ(Find(out, "CT")->rect.topLeft(), QPoint(10, 25));
}

}  // namespace
