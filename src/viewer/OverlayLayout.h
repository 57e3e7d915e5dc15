// Where the information layer's texts go on a cell: the corner blocks
// (patient, study, series, window, zoom, institution) and the orientation
// letters, kept off the ruler and off each other. In a large cell every text
// sits at its usual place (lines 15 pixels apart from 10 pixels in); in a
// small one a block steps past the ruler, a line too wide for its half of the
// cell ends in "...", and lines with no room left are dropped.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <array>
#include <vector>

struct TOverlayText {
  QString text;  // as drawn (elided when it had to be)
  QRect rect;    // its box; the text's top-left corner is rect.topLeft()
  bool letter = false;
};

struct TOverlayInput {
  QSize surface;
  // Each corner's lines from the corner inward; an empty line keeps its place.
  QStringList topLeft, topRight, bottomLeft, bottomRight;
  // Orientation letters for the top, right, bottom and left edges.
  std::array<QString, 4> letters;
  QFont font, letterFont;
  bool ruler = false;  // the ruler is drawn
};

// The ruler's two boxes on a surface (ticks, end marks and spines).
QRect VerticalRulerBox(QSize surface);
QRect HorizontalRulerBox(QSize surface);

std::vector<TOverlayText> LayOutOverlay(const TOverlayInput& in);
