// Grey-level arithmetic of the display pipeline: window width/level tables for
// 16-bit data, brightness/contrast tables for 8-bit and colour data, the default
// window, and the window drags. Pure functions of their inputs; the viewer cell
// and the thumbnails both build their pictures from these, so the two can never
// show the same frame differently.
//
// Windows are real numbers in modality units (stored x slope + intercept), so
// data spanning 1e-4 gets as many grey levels as data spanning 4000. Whole-number
// windows keep the integer arithmetic of ordinary data: "round" is to nearest
// with ties to even, the window's edges are floored, and so is the centre of a
// default window over whole-number data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/define_types.h"

// A 16-bit word is read as -32768 .. 32767 or as 0 .. 65535; no table needs to
// reach beyond the union of the two.
inline constexpr int64_t kStoredMin = -32768;
inline constexpr int64_t kStoredMax = 65535;

// True when exactly one of "MONOCHROME1" and the user's inversion holds; every
// grey table is then mirrored (entry := 255 - entry).
inline bool GreyInverted(int monochrome, bool inverted) {
  return (monochrome == 1) != inverted;
}

// Words are looked up unsigned for unsigned data, and also when the header's
// smallest pixel value is negative (its value was read as unsigned).
inline bool WordsUnsigned(int pixelRepresentation, int minIntensity) {
  return pixelRepresentation == 0 || minIntensity < 0;
}

// A window in rescaled units (rescaled = stored x slope + intercept).
struct WindowParams {
  double width = 0;
  double level = 0;
  double slope = 1.0;
  double intercept = 0.0;
  bool invert = false;  // see GreyInverted
};

// The window table: entry i is the grey level of stored value first + i.
// Stored values below lo show `below`, above hi show `above`. The entries cover
// the part of lo .. hi that was asked for, so a wide window over a narrow frame
// costs only what the frame needs.
struct WwWlTable {
  int64_t lo = 0;
  int64_t hi = -1;
  int64_t first = 0;
  std::vector<uint8_t> entries;
  uint8_t below = 0;
  uint8_t above = 255;

  uint8_t Grey(int64_t v) const;
};

// Builds the table of window `p` for stored values needLo .. needHi. Each
// entry maps the stored value's exact rescaled value (no rounding to whole
// units), so a window of any size spreads its values over all 256 levels.
// A positive width with a positive slope maps as the window defines it. Other
// inputs still give a defined picture: a width of 0 or less thresholds at the
// level (below black, above white, the level itself mid grey), and a zero or
// negative slope maps every needed stored value through its rescaled value.
// Non-finite slopes and intercepts are read as 1 and 0.
WwWlTable BuildWwWlLut(const WindowParams& p, int64_t needLo = kStoredMin,
                       int64_t needHi = kStoredMax);

// Smallest and largest stored value of a frame.
struct StoredRange {
  int min = 0;
  int max = 0;
};
StoredRange ScanMinMax(const int16_t* words, size_t n, bool unsignedWords);

// Smallest and largest entry of a header lookup table; false when it has none.
bool LutRange(const TLut& lut, StoredRange& out);

// The window a frame is shown with when the header's is missing or unusable.
struct WindowDefault {
  bool replaced = false;  // the header's window was replaced
  double width = 0;
  double center = 0;
};

// A header window that can be used at all: a finite width above 0 and a
// finite centre. A width of 0 or below (written by some modalities for "no
// window") would show a thresholded or uniform picture.
bool UsableWindow(double width, double center);

// The viewer's rule: the header window is kept unless it is unusable or its
// centre lies outside the data range, both in rescaled units; the replacement
// spans the data.
WindowDefault DefaultWindow(double headerWidth, double headerCenter, StoredRange data, double slope,
                            double intercept);

// The thumbnails' rule: the header window whenever it is usable.
WindowDefault ThumbnailWindow(double headerWidth, double headerCenter, StoredRange data,
                              double slope, double intercept);

// Rescaled extent of a stored range (the smaller end first); its width is 0
// for non-finite rescales.
double RescaledSpan(StoredRange data, double slope, double intercept);

// The unit of window drags and of the window values shown for data whose
// window spans `span` rescaled units: 1 for ordinary data (spans of 256 to
// 65536 units, and any smaller span of whole-number values), so a CT drag
// moves as it always has; a 1-2-5 step about span / 256 below that and
// span / 65536 above, so a drag crosses a tiny or a huge range in a
// comparable number of steps.
double WindowUnit(double span, bool wholeNumbers = false);
// Every stored value rescales to a whole number (whole slope and intercept).
bool WholeRescale(double slope, double intercept);
// Decimals that show window values in steps of `unit`.
int WindowDecimals(double unit);
// A window value as text with '.' whatever the locale: WindowDecimals(unit)
// decimals, or more when the value holds finer detail (a typed or file value).
std::string FormatWindowValue(double v, double unit);
// A typed window value: a real number with '.' (or a lone ',') as the decimal
// separator, whatever the locale, blanks around it ignored. False for any
// other text and for non-finite values.
bool ParseWindowValue(std::string_view text, double& v);

// Every possible 16-bit word (as its unsigned bit pattern) to its grey level,
// so that mapping a frame is one lookup per pixel.
using WordGreyTable = std::array<uint8_t, 65536>;
void BuildWordGreyTable(const WwWlTable& t, bool unsignedWords, WordGreyTable& out);
void MapWordsToGrey(const int16_t* words, size_t n, const WordGreyTable& table, uint8_t* grey);

// Brightness/contrast table for 8-bit values. Contrast is limited to 0 .. 256
// (it can only steepen the ramp); brightness is not limited.
using ByteGreyTable = std::array<uint8_t, 256>;
ByteGreyTable BuildBCLut(int brightness, int contrast, bool invert);
// The 256 byte values through window p, by the same mapping as BuildWwWlLut:
// a window typed for an 8-bit or colour image.
ByteGreyTable BuildByteWindowLut(const WindowParams& p);
void MapBytesToGrey(const uint8_t* in, size_t n, const ByteGreyTable& table, uint8_t* grey);

// The window state a drag moves. headerWidth/headerCenter are the header's
// WindowWidth/WindowCenter; the others are the cell's fields of the same names.
// unit is the data's WindowUnit: window steps and limits are counted in it.
struct WindowDragState {
  double headerWidth = 0;
  double headerCenter = 0;
  double DeltaWW = 0;
  double DeltaWL = 0;
  double windowWidth = 0;
  double windowLevel = 0;
  double cineWW = 0;
  double cineWL = 0;
  int brightness = 0;
  int contrast = 0;
  int lastX = 0;
  int lastY = 0;
  double unit = 1;
};

// The cell's own drag with the mouse at (x, y): a step of 10 units once the
// mouse has moved more than 10 pixels from the last step along an axis; the
// width never drops below 10 units. Returns true when a step was taken (the
// picture must be rebuilt).
bool CellWindowDrag(WindowDragState& s, int x, int y);

// The proportional drag applied to every cell at once: steps scale with the
// header window (or contrast/brightness for byte images), at least 3 units,
// and the window is truncated to whole units. Returns true when a step was
// taken.
bool WwWL(WindowDragState& s, int diffX, int diffY, int sensetivityFactor, bool isByteImage);
