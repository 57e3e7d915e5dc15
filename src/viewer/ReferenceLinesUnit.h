// Reference lines: where the image plane of the active cell cuts the image of
// another cell. The line is found in patient space from both headers (image
// position, direction cosines, spacing and size), brought into the other
// image's pixels, clipped to that image and stored in image space, so that it
// follows zoom, pan, turns and flips of its cell without being recomputed.
//
// The geometric steps are pure functions of their inputs; the cell-level
// operations run on the UI thread.
#pragma once

#include <QPoint>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "dicom/define_types.h"
#include "viewer/ViewerTypes.h"

class TadvancedImage;

// A point or vector in patient space, millimetres.
struct Real_Point {
  double X = 0, Y = 0, Z = 0;
};
using array_Real_Point = std::vector<Real_Point>;
using array_TPoint = std::vector<QPoint>;

// A cell's reference line and how it was found.
struct TScan {
  // Ends of the cut line in the cell's image plane: millimetres from its first
  // pixel along the row (x) and column (y) directions, whole millimetres.
  double x = 0, y = 0, z = 0;
  double x1 = 0, y1 = 0, z1 = 0;
  // Same study as the source and another orientation: the line applies.
  bool Checked = false;
  // The line drawn, in image space; both ends equal: none.
  Shape ReferenceLine;
};

// An image plane bounded by the image: its first pixel O, the end of the first
// row R and the end of the first column C.
struct TImagePlane {
  Real_Point O, R, C;
};

class TReferenceLine {
 public:
  // What the computation of one cell's line came to.
  enum class Outcome {
    NoSourceSpacing,  // the source lacks pixel spacing: nothing computed, nothing touched
    NoSegment,        // the planes do not cut within the images: no line
    NotApplicable,    // another study or the same orientation: no line
    Line,             // ReferenceLine holds the line
  };

  static constexpr const char* kNoSpacingMessage =
      "This Localizer Image does not contain pixel spacing. Automatic scan line can't be "
      "reconstructed";

  // Shows a message to the user; the application puts up a modal box.
  std::function<void(const QString&)> OnMessage;

  // Computes destAdvImg's Scan against srcAdvImg's image. Does not render.
  void image_process_ReferenceLines(TadvancedImage* srcAdvImg, TadvancedImage* destAdvImg);
  // Removes advImg's line and renders it.
  static void Reference_Lines_Clear(TadvancedImage* advImg);
  // The main window's pass over its grid ([row][col]) after the active cell or
  // its image changed, or the switch was flipped: with reference lines off,
  // every line goes; with them on, every cell gets its line against `active`,
  // in row order. A cell whose computation fails loses its line and the pass
  // goes on. Cells are rendered only when their line changed.
  void update_ReferenceLines(const std::vector<std::vector<TadvancedImage*>>& cells,
                             TadvancedImage* active);

  // ---- the geometry, free of widgets ----

  // The whole computation for a destination header `dst` against a source
  // header `src`: fills scan and returns what it came to. The line is
  // expressed in image space of dst's unturned image.
  static Outcome ComputeScan(const DICOMdata& src, const DICOMdata& dst, TScan& scan);

  // The image plane of a header, bounded by the image's own extent.
  static TImagePlane PlaneOf(const DICOMdata& g);

  // The cut line of the destination plane (od, rd, cd) with the source plane
  // (os, rs, cs), bounded by the destination parallelogram or, failing that,
  // by the source's. False when the planes are parallel or the line misses both.
  static bool IntersectPlanes(const TImagePlane& dst, const TImagePlane& src, Real_Point& e0,
                              Real_Point& e1);
  // The points where the infinite line through l0, l1 crosses the edges of a
  // planar polygon, in edge order; corners count once. True for two or more.
  static bool ClipLineToPolygon(const array_Real_Point& polygon, const Real_Point& l0,
                                const Real_Point& l1, array_Real_Point& hits);
  // Where the line through q0, q1 crosses the edge p0 p1 (ends included).
  static bool IntersectLineWithEdge(const Real_Point& p0, const Real_Point& p1,
                                    const Real_Point& q0, const Real_Point& q1, Real_Point& hit);
  // Separation of the lines p0 + g d1 and q0 + u d2.
  static double LineDistance(const Real_Point& p0, const Real_Point& d1, const Real_Point& q0,
                             const Real_Point& d2);
  // The cut line of the source plane with dst's image, as two ends in dst's
  // plane millimetres (rounded). False when there is none.
  static bool ProjectOntoImage(const TImagePlane& src, const DICOMdata& dst, QPoint& a, QPoint& b);
  // Extends or cuts the line through (px, py), (px1, py1) to the Wb x Hb
  // image and takes a fraction f off each end. The values are rounded; they
  // stay where they were when the line misses the image. True when clipped.
  static bool FitLineToImage(double& px, double& py, double& px1, double& py1, int Wb, int Hb,
                             double f);
  // The points where the infinite line through p0, p1 crosses the border of
  // the Wb x Hb rectangle (top, right, bottom, left); corners count once.
  static bool ClipLineToRectangle(QPoint p0, QPoint p1, int Wb, int Hb, array_TPoint& hits);
  // Intersection of the lines through a0, a1 and b0, b1, rounded.
  static bool IntersectLines2D(QPoint a0, QPoint a1, QPoint b0, QPoint b1, QPoint& at);

  static Real_Point Subtract(const Real_Point& a, const Real_Point& b);
  static Real_Point Add(const Real_Point& a, const Real_Point& b);
  static Real_Point Scale(const Real_Point& a, double k);
  static double Dot(const Real_Point& a, const Real_Point& b);
  static Real_Point Cross(const Real_Point& u, const Real_Point& v);
  static double Length(const Real_Point& a);
  // a / |a|, or the zero vector for a zero vector.
  static Real_Point Normalize(const Real_Point& a);

 private:
  void ReportNoSpacing(const DICOMdata& src);

  // The series whose missing spacing was reported last: one message per
  // source, not one per cell and step.
  std::string FLastReported;
  // Within a pass over the grid the message waits for the end of the pass.
  bool FDeferMessage = false;
  bool FMessagePending = false;
};
