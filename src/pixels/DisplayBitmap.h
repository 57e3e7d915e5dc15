// The 32-bit display bitmap of a decoded frame: the viewer cell's picture and
// the thumbnails' full-size picture are both built here, from the tables of
// WindowLevel.h.
#pragma once

#include <QImage>
#include <cstdint>
#include <memory>
#include <optional>

#include "dicom/define_types.h"
#include "pixels/FrameDecoder.h"
#include "pixels/WindowLevel.h"

// Grey levels, one byte per pixel, top row first -> Format_RGB32 with
// red = green = blue. A null image when the size is empty or cannot be allocated.
QImage GreyToBitmap(const uint8_t* grey, int width, int height);

// 16-bit words through window `w`. `data` is the frame's stored range when the
// caller has scanned it already (the table is then built for that range only).
QImage WordsToBitmap(const int16_t* words, int width, int height, const WindowParams& w,
                     bool unsignedWords, const StoredRange* data = nullptr);

// 8-bit grey (bitProduct 8) or R, G, B bytes (24) through one 256-entry table,
// the same for all three channels.
QImage BytesToBitmap(const DecodedFrame& f, int width, int height, int bitProduct,
                     const ByteGreyTable& table);

// The cell's window and brightness/contrast state.
struct CellGreyState {
  double DeltaWW = 0;
  double DeltaWL = 0;
  int brightness = 0;
  int contrast = 0;
  bool Inverted = false;
  // A window typed for an 8-bit or colour image, in place of brightness/contrast.
  bool byteWindow = false;
  double byteWidth = 256;
  double byteLevel = 128;
  // The stored range the default window is judged against and spans, in
  // place of the frame's own: a reformatted plane uses its volume's, so every
  // plane and slab starts from one window.
  std::optional<StoredRange> seriesRange;
  // Grey levels of every word (a presentation state's lookup tables) in
  // place of the window and the photometric polarity; Inverted still inverts.
  // 8-bit grey uses its first 256 entries; colour ignores it.
  std::shared_ptr<const WordGreyTable> wordTable;
};

struct CellBitmap {
  QImage bmp;               // null when the frame lacks the buffer its bit product needs
  bool wordImage = false;   // the 16-bit path was taken (the window fields below are set)
  bool byteWindow = false;  // bytes went through a window (the window fields are set)
  double windowWidth = 0;   // window in effect, rescaled units
  double windowLevel = 0;
  double unit = 1;  // WindowUnit of the data: drag steps and the decimals shown
  int min16 = 0;    // range the default window was judged against
  int max16 = 0;
  StoredRange data;  // the frame's own stored range (words read as WordsUnsigned says)
};

// The viewer cell's bitmap of frame `f` with header `h`: 8-bit and colour data
// through brightness/contrast (or the typed byte window), anything else as 16-bit words through the
// window (header window + offsets). When the header's window is missing or its centre lies outside
// the data, the window spanning the data replaces it in `h`, so later frames and the cache see the
// same window. `frameRange`, when given, is the frame's stored range from an earlier call
// (CellBitmap::data): a window change then costs no rescan of the frame.
CellBitmap CreateCellBitmap(DICOMdata& h, const DecodedFrame& f, const CellGreyState& s,
                            const StoredRange* frameRange = nullptr);
