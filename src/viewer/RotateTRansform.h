// Turning and mirroring of display bitmaps in place.
#pragma once

#include <QColor>
#include <QImage>

#include "viewer/ViewerTypes.h"

class TTransform2 {
 public:
  // Turns Bmp clockwise by Rads (view y runs downwards) about its centre. With
  // AdjustSize the result is just large enough for the turned picture;
  // otherwise it keeps Bmp's size and the turned picture is centred and
  // clipped. Uncovered pixels get BkColor. Quarter turns move pixels exactly,
  // with no resampling; other angles take the nearest source pixel.
  static void RotateBitmapPLG(QImage& Bmp, float Rads, bool AdjustSize, const QColor& BkColor);

  // Mirrors Bmp in place, keeping its size.
  static void FlipBitmapPLG(QImage& Bmp, FlipMode _flipMode);
};
