#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>
#include <vector>

#include "viewer/Orientation.h"
#include "viewer/RotateTRansform.h"

namespace {

OrientationState State(Directions top, Directions right, Directions bottom, Directions left) {
  return {top, right, bottom, left};
}

// One user operation: on the state and on the bitmap, as the cell does it.
struct Op {
  bool isFlip;
  RotateAngels angel;
  FlipTypes flip;
};
const Op kR90{false, Angel90, flHorizontal}, kR180{false, Angel180, flHorizontal},
    kR270{false, Angel270, flHorizontal}, kFlipH{true, Angel90, flHorizontal},
    kFlipV{true, Angel90, flVertical};

void Apply(const Op& op, OrientationState& s, QImage& bmp) {
  if (op.isFlip) {
    FlipOrientation(s, op.flip);
    TTransform2::FlipBitmapPLG(bmp,
                               op.flip == flHorizontal ? FlipMode::HORIZONTAL : FlipMode::VERTICAL);
  } else {
    RotateOrientation(s, op.angel);
    TTransform2::RotateBitmapPLG(bmp, RotationRads(op.angel), true, Qt::black);
  }
}

QImage Distinct(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, qRgb(x, y, 9));
  return img;
}

// Sequences of operations reaching each of the eight states.
const std::vector<std::vector<Op>> kPaths = {
    {},
    {kFlipH},
    {kFlipV},
    {kR180},
    {kR90},
    {kR90, kFlipH},
    {kR270},
    {kR270, kFlipH},
    {kFlipH, kFlipV},            // the same as 180
    {kR90, kR90, kR90, kFlipV},  // the same as 270 and a horizontal flip
    {kFlipV, kR90},              // the same as 90 and a horizontal flip
};

}  // namespace

TEST(Orientation, TurnsAndFlipsReachTheEightStates) {
  OrientationState s;
  RotateOrientation(s, Angel90);
  EXPECT_EQ(s, State(DrLeft, DrTop, DrRight, DrBottom));
  FlipOrientation(s, flHorizontal);
  EXPECT_EQ(s, State(DrLeft, DrBottom, DrRight, DrTop));

  OrientationState t;
  RotateOrientation(t, Angel180);
  EXPECT_EQ(t, State(DrBottom, DrLeft, DrTop, DrRight));
  OrientationState u;
  RotateOrientation(u, Angel270);
  EXPECT_EQ(u, State(DrRight, DrBottom, DrLeft, DrTop));
  FlipOrientation(u, flVertical);
  EXPECT_EQ(u, State(DrLeft, DrBottom, DrRight, DrTop));
}

TEST(Orientation, FourQuarterTurnsRestoreBitmapAndState) {
  const QImage src = Distinct(512, 256);
  QImage bmp = src;
  OrientationState s;
  Apply(kR90, s, bmp);
  EXPECT_EQ(bmp.size(), QSize(256, 512));
  EXPECT_EQ(s, State(DrLeft, DrTop, DrRight, DrBottom));
  for (int i = 0; i < 3; ++i) Apply(kR90, s, bmp);
  EXPECT_EQ(s, OrientationState{});
  EXPECT_EQ(bmp, src);
}

TEST(Orientation, ApplyingTheStateToANewBitmapRepeatsTheUsersTurns) {
  const QImage fresh = Distinct(7, 4);
  for (const auto& path : kPaths) {
    OrientationState s;
    QImage turned = fresh;
    for (const Op& op : path) Apply(op, s, turned);
    QImage applied = fresh;
    ApplyOrientationToBitmap(applied, s);
    EXPECT_EQ(applied, turned) << "path of " << path.size() << " steps";
  }
}

TEST(Orientation, ImageToViewFollowsThePixelsOfTheTurnedBitmap) {
  // Odd sides: the image centre is a pixel, so offsets map exactly.
  const int W = 7, H = 5;
  const QImage fresh = Distinct(W, H);
  for (const auto& path : kPaths) {
    OrientationState s;
    QImage turned = fresh;
    for (const Op& op : path) Apply(op, s, turned);
    const QPoint centre((turned.width() - 1) / 2, (turned.height() - 1) / 2);
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        const QPoint image(x - W / 2, y - H / 2);
        const QPoint view = ImageToView(s, 100, centre, image);
        ASSERT_TRUE(turned.rect().contains(view));
        EXPECT_EQ(turned.pixel(view), fresh.pixel(x, y)) << x << "," << y;
        EXPECT_EQ(ViewToImage(s, 100, centre, view), image);
      }
    }
  }
}

TEST(Orientation, ViewToImageInvertsImageToViewInEveryState) {
  const QPoint centre(400, 300);
  for (const auto& path : kPaths) {
    OrientationState s;
    QImage none;
    for (const Op& op : path) Apply(op, s, none);
    for (int zoom : {100, 117, 250, 1200}) {
      for (int a = -40; a <= 40; a += 7) {
        for (int b = -33; b <= 33; b += 11) {
          const QPoint p(a, b);
          ASSERT_EQ(ViewToImage(s, zoom, centre, ImageToView(s, zoom, centre, p)), p)
              << "zoom " << zoom;
        }
      }
    }
  }
  // Scaling rounds ties to even: 5 x 50 % = 2.5 -> 2, 7 x 50 % = 3.5 -> 4.
  EXPECT_EQ(ImageToView({}, 50, QPoint(0, 0), QPoint(5, 7)), QPoint(2, 4));
  EXPECT_EQ(ImageToView({}, 0, QPoint(10, 10), QPoint(100, 0)), QPoint(11, 10));  // zoom floor 1
}

TEST(Orientation, MousePressInATurnedAndMirroredViewMapsBack) {
  OrientationState s;
  RotateOrientation(s, Angel90);
  FlipOrientation(s, flHorizontal);
  const QPoint centre(321, 207);
  const QPoint press(400, 150);
  EXPECT_EQ(ImageToView(s, 100, centre, ViewToImage(s, 100, centre, press)), press);
  // Magnified, the point lands on the view pixel of its image pixel.
  for (int zoom : {200, 400}) {
    const QPoint back = ImageToView(s, zoom, centre, ViewToImage(s, zoom, centre, press));
    EXPECT_LE(std::abs(back.x() - press.x()), zoom / 200) << zoom;
    EXPECT_LE(std::abs(back.y() - press.y()), zoom / 200) << zoom;
  }
  // Transposed: view x follows image y and view y follows image x.
  EXPECT_EQ(ViewToImage(s, 100, centre, press), QPoint(150 - 207, 400 - 321));
}
