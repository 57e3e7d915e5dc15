// Measurements over a decoded frame: region statistics of rectangles and
// ellipses in modality units, the value under a point, and the label texts
// of measurement annotations. The viewer's labels and `tavrolen-dicom roi`
// both call these, so the two always agree.
//
// Coordinates are pixel edge coordinates: pixel (c, r) covers [c, c+1) x
// [r, r+1) and its centre is (c + 0.5, r + 0.5). A pixel belongs to a region
// when its centre lies inside it (on the border counts); the ellipse is the
// one inscribed in the rectangle (x0, y0)-(x1, y1).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dicom/Calibration.h"
#include "dicom/define_types.h"
#include "pixels/FrameDecoder.h"

enum class RoiShape { Rectangle, Ellipse };

struct RoiStats {
  int64_t pixels = 0;
  double mean = 0;
  double sd = 0;  // population standard deviation (divided by the count)
  double min = 0;
  double max = 0;
};

// The modality values of one grey frame: value = stored × slope + intercept.
struct ModalityFrame {
  const uint8_t* bytes = nullptr;  // 8 bits per pixel
  const int16_t* words = nullptr;  // 16 bits per pixel
  int64_t columns = 0, rows = 0;
  bool isSigned = false;
  double slope = 1, intercept = 0;
  std::string units;  // "HU" for CT, else "units"
  bool Valid() const { return (bytes || words) && columns > 0 && rows > 0; }
  double Stored(int64_t c, int64_t r) const;
  double Value(int64_t c, int64_t r) const { return Stored(c, r) * slope + intercept; }
};

// The frame f of the image described by h (frame `frame`, 1-based). After
// the modality lookup table (h carries one) values are the table's, unsigned.
// The file's own slope and intercept (double precision) are used when they
// are the header's. Colour frames give an invalid ModalityFrame.
ModalityFrame ModalityFrameOf(const DICOMdata& h, const DecodedFrame& f,
                              const ImageCalibration& calibration, int frame = 1);

RoiStats ComputeRoiStats(const ModalityFrame& m, RoiShape shape, double x0, double y0, double x1,
                         double y1);

struct RoiMeasurement {
  RoiShape shape = RoiShape::Rectangle;
  PixelScale scale;
  double area = 0;        // of the shape itself, in the scale's unit squared
  bool hasStats = false;  // a grey frame was given
  RoiStats stats;
  std::string units;
};

RoiMeasurement MeasureRoi(const ModalityFrame& m, const ImageCalibration& calibration,
                          RoiShape shape, double x0, double y0, double x1, double y1,
                          int frame = 1);

// Fixed notation with two decimals and at most eight significant digits
// ("12.50", "1234567.0"), scientific beyond; "." whatever the locale.
std::string FormatMeasure(double v);
// "12.50 mm", "12.50 mm (imager)" or "25.00 px" for a segment of dx, dy pixels.
std::string LengthLabel(double dx, double dy, const PixelScale& scale);
double ScaledLength(double dx, double dy, const PixelScale& scale);
// Lines of a region's label: the area, then mean and SD, then min, max and
// the pixel count ("Area 50.00 mm²", "Mean 35.21 HU  SD 4.10",
// "Min 20.00  Max 48.00  n 200").
std::vector<std::string> RoiLabelLines(const RoiMeasurement& m);
