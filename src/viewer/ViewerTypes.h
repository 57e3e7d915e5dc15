// Enumerations shared by the image control and its helpers.
#pragma once

#include <QString>
#include <vector>

// The orientation state names, for each side of the view, the side of the
// unturned image shown there.
enum Directions { DrTop = 0, DrRight = 1, DrBottom = 2, DrLeft = 3 };

// Clockwise turns.
enum RotateAngels { Angel90, Angel180, Angel270 };

// Mirroring left-right (flHorizontal) or top-bottom (flVertical) as the user sees it.
enum FlipTypes { flHorizontal, flVertical };

// Mirroring of a bitmap: HORIZONTAL maps column x to W - 1 - x, VERTICAL row y to H - 1 - y.
enum class FlipMode { VERTICAL = 0, HORIZONTAL = 1 };

// What a drag on a cell does.
enum ViewerAction {
  VAZoom = 0,
  VAPan = 1,
  VAWWWL = 2,
  VALine = 3,
  VAMeasureLine = 4,
  VARectangle = 5,
  VAEllipse = 6,
  VATxtLabel = 7,
  VAAngle = 8,
  VADelete = 9
};

enum ShapTypes {
  STLine = 0,
  STMeasureLine = 1,
  STAngle = 2,
  STRectangle = 3,
  STEllipse = 4,
  STTxt = 5
};

// One annotation, or a reference line. Points are in image space: pixel
// offsets of the unturned image from its centre, so they follow the picture
// through zoom, pan, turns and flips.
struct Shape {
  ShapTypes shapeType = STLine;
  int x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  int x3 = 0, y3 = 0;  // an angle's second arm ends here
  float data = 0;      // length (mm), angle (degrees) or area (mm2)
  QString txt;

  bool operator==(const Shape&) const = default;
};
using TShapeArray = std::vector<Shape>;
