// Spatial coordinates of a structured report drawn over the image they were
// selected from. The report window hands a cell the shapes of one image (and
// the frames they belong to); the cell draws them while it shows that image,
// until the window takes them back or another image replaces it.
#pragma once

#include <QString>
#include <string>
#include <vector>

class QPainter;
class TadvancedImage;

struct TReportShape {
  std::string graphicType;     // POINT, MULTIPOINT, POLYLINE, CIRCLE, ELLIPSE
  std::vector<double> points;  // x, y pairs, pixel coordinates of the unturned image
  std::vector<int> frames;     // 1-based; empty: every frame
  QString label;
};

struct TReportGraphics {
  std::string path;  // the image file the shapes belong to
  std::vector<TReportShape> shapes;
};

// Draws the cell's report shapes when it shows their image and frame (the
// cell's locks held).
void DrawReportGraphics(const TadvancedImage& cell, QPainter& painter);
