// The cell's annotations as presentation-state graphics and back.
//
// A shape's points are image-space offsets from the middle of the unturned
// image (TadvancedImage::ImageToPixel); a state's PIXEL coordinates have
// their origin at the top left corner of the top left pixel. Measurements go
// out as text objects anchored at a point of their shape, so any viewer shows
// them; coming back, such a text is dropped, since the cell measures again.
#pragma once

#include <QPoint>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

#include "derived/PresentationState.h"
#include "viewer/Orientation.h"
#include "viewer/ViewerTypes.h"

TPoint2 ShapeToPixel(double x, double y, int columns, int rows);
// The nearest shape point of a pixel coordinate.
QPoint PixelToShape(TPoint2 p, int columns, int rows);

// The labels the cell draws with each shape of a frame, measured on the
// file's frame as the cell would (calibrated lengths, region statistics).
// Sets each shape's data (length, angle or area) as the cell does.
std::vector<QStringList> MeasureShapes(const std::string& path, int frame, TShapeArray& shapes);

// One frame's shapes (with their labels, as MeasureShapes gives) as graphics
// and anchored texts of one annotation item for `image`.
TGraphicAnnotation AnnotationOfShapes(const TShapeArray& shapes,
                                      const std::vector<QStringList>& labels, int columns, int rows,
                                      const TImageRef& image);

// The shapes an annotation item draws, in PIXEL units; what a shape cannot
// hold (display-relative units, points) is left out with a reason.
TShapeArray ShapesOfAnnotation(const TGraphicAnnotation& a, int columns, int rows,
                               std::vector<std::string>& skipped);

// A state's turn (a horizontal flip first, then a clockwise rotation) as the
// cell's orientation state, and back; every state of the cell is one of the eight.
OrientationState OrientationOfTurn(int rotation, bool horizontalFlip);
void TurnOfOrientation(const OrientationState& s, int& rotation, bool& horizontalFlip);

// One image of a series as a state references it.
struct TStateImage {
  std::string path;
  std::string sopClassUid, sopInstanceUid;
  int frames = 1;
};

// The state of a series: every annotated frame of `images` (from the
// annotation store) and the window (rescaled units; none for colour).
// False with why when there is nothing to save.
bool BuildSeriesState(const std::string& seriesUid, const std::vector<TStateImage>& images,
                      std::optional<std::pair<double, double>> centerWidth, bool colour,
                      TPresentationState& ps, std::string& why);

// Writes ps to outPath with the patient and study of the image at
// firstImagePath.
bool SaveSeriesState(TPresentationState& ps, const std::string& firstImagePath,
                     const std::string& outPath, std::string& why);
