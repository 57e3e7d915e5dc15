// Grey-level arithmetic of the display pipeline: window width/level tables for
// 16-bit data, brightness/contrast tables for 8-bit and colour data, the default
// window, and the window drags. Pure functions of their inputs; the viewer cell
// and the thumbnails both build their pictures from these, so the two can never
// show the same frame differently.
//
// Rounding follows the display arithmetic exactly: "round" is to nearest with
// ties to even, edges are floored, and the rescaled default window is truncated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
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
  int width = 0;
  int level = 0;
  float slope = 1.0f;
  float intercept = 0.0f;
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

// Builds the table of window `p` for stored values needLo .. needHi.
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
  int width = 0;
  int center = 0;
};

// The viewer's rule: the header window is kept unless its width is 0 or its
// centre lies outside the data range, both in rescaled units; the replacement
// spans the data.
WindowDefault DefaultWindow(int headerWidth, int headerCenter, StoredRange data, float slope,
                            float intercept);

// The thumbnails' rule: the header window whenever its width is non-zero.
WindowDefault ThumbnailWindow(int headerWidth, int headerCenter, StoredRange data, float slope,
                              float intercept);

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
struct WindowDragState {
  int headerWidth = 0;
  int headerCenter = 0;
  int DeltaWW = 0;
  int DeltaWL = 0;
  int windowWidth = 0;
  int windowLevel = 0;
  int cineWW = 0;
  int cineWL = 0;
  int brightness = 0;
  int contrast = 0;
  int lastX = 0;
  int lastY = 0;
};

// The cell's own drag with the mouse at (x, y): a step of 10 once the mouse has
// moved more than 10 pixels from the last step along an axis. Returns true when
// a step was taken (the picture must be rebuilt).
bool CellWindowDrag(WindowDragState& s, int x, int y);

// The proportional drag applied to every cell at once: steps scale with the
// header window (or contrast/brightness for byte images). Returns true when a
// step was taken.
bool WwWL(WindowDragState& s, int diffX, int diffY, int sensetivityFactor, bool isByteImage);
