// The orientation state of a viewer cell and the mappings between image space
// (integer pixel offsets of the unturned image from its centre) and view space
// (pixels of the drawing surface). Pure functions of the state, zoom and image
// centre, so that annotations, orientation letters and reference lines all
// follow the picture through turns, flips, zoom and pan.
#pragma once

#include <QImage>
#include <QPoint>
#include <QString>
#include <vector>

#include "viewer/ViewerTypes.h"

struct OrientationState {
  Directions Top = DrTop;
  Directions Right = DrRight;
  Directions Bottom = DrBottom;
  Directions Left = DrLeft;

  bool operator==(const OrientationState&) const = default;
};

// The state after turning the shown picture clockwise, or mirroring it as the
// user sees it.
void RotateOrientation(OrientationState& s, RotateAngels angel);
void FlipOrientation(OrientationState& s, FlipTypes fType);

// The single-precision angle a turn passes to TTransform2::RotateBitmapPLG.
float RotationRads(RotateAngels angel);

// The turns and flips that bring a freshly built, unturned bitmap into state s,
// in order.
struct OrientationStep {
  bool isFlip = false;
  RotateAngels angel = Angel90;   // when !isFlip
  FlipTypes flip = flHorizontal;  // when isFlip
};
std::vector<OrientationStep> OrientationSteps(const OrientationState& s);

// Applies OrientationSteps(s) to bmp (the state itself does not change).
void ApplyOrientationToBitmap(QImage& bmp, const OrientationState& s);

// Image-space point -> view-space point: turned by the state, scaled by
// zoomFactor percent, shifted to imageCenter.
QPoint ImageToView(const OrientationState& s, int zoomFactor, QPoint imageCenter, QPoint p);
// The inverse: exact for every state, up to the rounding of the zoom.
QPoint ViewToImage(const OrientationState& s, int zoomFactor, QPoint imageCenter, QPoint p);

// The orientation letters of a patient direction (x left, y posterior, z
// head): its dominant axes, largest first, as R/L, A/P, F/H (toward), and
// their opposites (away). Axes under 1e-4 are left out.
void DirectionLetters(double x, double y, double z, QString& toward, QString& away);
