// Segmentations and structure sets mapped onto the plane of one displayed
// image: per segment a coverage mask in the image's own pixel grid, per ROI
// its contours as polylines in the image's pixel coordinates. The same code
// serves stored frames and reformatted (MPR) planes, whose header describes
// the plane as an acquired image's does.
//
// Nothing here allocates more than one rows x columns mask per segment that
// has a frame on the plane, plus the contours' own points; segmentation
// frames are read bit by bit from their packed pixel data, never unpacked as
// a whole.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "derived/Segmentation.h"
#include "derived/StructureSet.h"

struct DICOMdata;
struct TPerFrameGroups;

// A displayed plane in patient coordinates (mm).
struct TDisplayPlane {
  bool hasGeometry = false;        // position and orientation known
  std::array<double, 3> origin{};  // centre of pixel (0, 0)
  std::array<double, 3> row{};     // unit, along a row towards higher columns
  std::array<double, 3> column{};  // unit, down a column towards higher rows
  double columnSpacing = 1;        // between the centres of adjacent columns
  double rowSpacing = 1;           // between the centres of adjacent rows
  double thickness = 0;            // 0: unknown
  int rows = 0, columns = 0;
  std::string frameOfReferenceUid;  // empty: unknown
  std::string sopInstanceUid;       // empty for a plane no file holds
  int frame = 1;                    // 1-based frame of that instance
};

// A UID as the header record holds it (blanks in place of dots, padding
// kept) in the form the file gives it.
std::string UidOfHeaderText(const std::string& text);

// The plane of frame `frame` (1-based) of an image with header h; an
// enhanced multi-frame image's own per-frame groups (when given) override
// the header's single position, orientation and spacing.
TDisplayPlane PlaneOfHeader(const DICOMdata& h, int frame, const TPerFrameGroups* groups = nullptr);

// One segment's coverage of the plane: rows x columns bytes, row by row,
// 0 outside, else 1..255 (a binary segment is 255 where set, a fractional one
// scales its value by the segmentation's maxFractional).
struct TSegmentCoverage {
  size_t segment = 0;  // index into TSegmentation::segments
  std::vector<uint8_t> coverage;
};

struct TSegmentationOnPlane {
  size_t matchedFrames = 0;                // segmentation frames that lie on the plane
  std::vector<TSegmentCoverage> segments;  // only segments with a frame there
  std::vector<std::string> notes;          // what could not be placed
};

// Frames are matched by their source image and frame first; the rest by
// frame of reference and position: a frame lies on the plane where it is
// within half a slice of it along the segmentation's normal (Slice
// Thickness, else the spacing of the frames' positions, else 1 mm; the slab
// is half-open, so a plane on the boundary of two frames takes one). On an
// oblique plane each pixel takes the frame at its own depth. Target pixels
// are sampled from the frame through patient coordinates, nearest neighbour.
TSegmentationOnPlane SegmentationOnPlane(const TSegmentation& seg, const TDisplayPlane& plane);

// A contour in the plane's pixel coordinates: (0, 0) is the top-left corner
// of pixel (0, 0), so the centre of pixel (c, r) is (c + 0.5, r + 0.5).
struct TContourOnPlane {
  size_t roi = 0;  // index into TStructureSet::rois
  enum Kind { Closed, Open, Point } kind = Closed;
  std::vector<std::array<double, 2>> points;
};

struct TStructureSetOnPlane {
  std::vector<TContourOnPlane> contours;
  std::vector<std::string> notes;
};

// Contours every point of which lies within half a slice of the plane (the
// plane's thickness, else 1 mm), or that name the plane's image; ROIs of
// another frame of reference (when both name one) are left out. Points far
// outside the image (beyond ten times its size) are pulled in to that bound
// and noted; non-finite points are left out and noted.
TStructureSetOnPlane StructureSetOnPlane(const TStructureSet& set, const TDisplayPlane& plane);
