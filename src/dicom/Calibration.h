// What a pixel of an image measures, and how its stored values become
// modality values: from the file's own elements, in double precision.
//
// Lengths and areas use, in this order: Pixel Spacing (per frame or shared
// functional groups of enhanced images first, then the top level); Imager
// Pixel Spacing, which is at the detector and not corrected for geometric
// magnification, so labels say so; the calibration of the ultrasound region
// (Sequence of Ultrasound Regions, physical units cm) that holds the whole
// shape; otherwise nothing, and measurements are given in pixels.
#pragma once

#include <array>
#include <string>
#include <vector>

struct TagListing;

struct PixelScale {
  enum class Source { PixelSpacing, ImagerPixelSpacing, UltrasoundRegion, None };
  Source source = Source::None;
  double x = 1;  // mm per pixel along a row (between columns)
  double y = 1;  // mm per pixel along a column (between rows)
  bool Calibrated() const { return source != Source::None; }
  // "mm", "mm (imager)" or "px"; squared: "mm²", "mm² (imager)" or "px²".
  std::string LengthUnit() const;
  std::string AreaUnit() const;
  // What the scale comes from, for scripts: "PixelSpacing", "ImagerPixelSpacing",
  // "UltrasoundRegion" or "none".
  std::string SourceName() const;
};

// One region of Sequence of Ultrasound Regions, in pixel indices (inclusive).
struct UltrasoundRegion {
  int x0 = 0, y0 = 0, x1 = -1, y1 = -1;
  double dx = 0, dy = 0;  // mm per pixel; 0 when the region is not calibrated in cm
};

struct ImageCalibration {
  // Row spacing, column spacing (mm), as Pixel Spacing orders them; {0, 0}: absent.
  std::array<double, 2> pixelSpacing{0, 0};
  std::array<double, 2> imagerSpacing{0, 0};
  std::vector<std::array<double, 2>> frameSpacing;  // enhanced images: frame k at k - 1
  std::vector<UltrasoundRegion> regions;
  // Rescale Slope and Intercept as written (1 and 0 when absent), and per
  // frame for enhanced images ({1, 0} where a frame has none).
  double slope = 1, intercept = 0;
  bool rescaleGiven = false;
  std::vector<std::array<double, 2>> frameRescale;
  std::string modality;
  bool ok = false;  // the file's elements could be read

  // The scale for a shape whose points span the pixel box (x0, y0)-(x1, y1)
  // (pixel edge coordinates: pixel (c, r) covers [c, c+1) x [r, r+1)) on
  // frame `frame` (1-based).
  PixelScale ScaleFor(double x0, double y0, double x1, double y1, int frame = 1) const;
};

ImageCalibration CalibrationOf(const TagListing& listing);

// The calibration of a file, read once and kept (the last few files are
// cached by path, size and modification time). Thread-safe.
ImageCalibration CalibrationOfFile(const std::string& path);
