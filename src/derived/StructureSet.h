// An RT Structure Set as plain data the viewer draws: each ROI with its name,
// display colour and planar contours (points in patient coordinates, mm),
// and the image each contour was drawn on when the file names it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kStructureSetClass = "1.2.840.10008.5.1.4.1.1.481.3";

struct TRoiContour {
  std::string geometricType;                  // CLOSED_PLANAR, OPEN_PLANAR, POINT, ...
  std::vector<std::array<double, 3>> points;  // x, y, z in mm
  std::string imageSopUid;                    // Contour Image Sequence's first image; may be empty
};

struct TRoi {
  int number = 0;
  std::string name;
  std::string frameOfReferenceUid;
  bool displayColour = false;  // ROI Display Color given; else a palette colour
  std::array<uint8_t, 3> rgb{};
  std::vector<TRoiContour> contours;
};

struct TStructureSet {
  std::string sopInstanceUid, label;
  std::vector<TRoi> rois;  // in the order the structure set names them
  // What could not be used, one sentence each.
  std::vector<std::string> skipped;
};

// Reads a structure set; false with a reason when the file is none or names
// no ROI. Contours are bounded by their own Contour Data: a count that
// disagrees with it is reported and the data's own count used.
bool ReadStructureSet(const std::string& path, TStructureSet& set, std::string& why);
