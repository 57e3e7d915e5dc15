// Baseline and extended (8-bit) JPEG frames through libjpeg-turbo, read from
// the frame's bytes in memory.
//
// Output layouts, top row first, left to right:
//   DecodeJpegToRgb  - 3 x pixelCount bytes, R, G, B per pixel (YCbCr becomes
//                      RGB and one component becomes R = G = B, as libjpeg
//                      converts by default; with rgbPhotometric, three
//                      components are taken as coded, whatever the stream's
//                      markers say);
//   DecodeJpegToGrey - byteCount bytes, the red channel of that conversion
//                      (the grey level itself for a one-component picture).
// The picture is decoded at full size and copied only when its pixel count
// equals the expected count; otherwise `out` is left untouched. libjpeg's
// errors (not a JPEG stream, a process it cannot decode such as 12-bit or
// JPEG-LS data) return false with the library's message; its warnings about
// corrupt data are silent, as the picture is still delivered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pixels/codecs/Codec.h"

// `incomplete`, when given, is set when the stream ended before the picture
// did (libjpeg fills the rest with grey).
bool DecodeJpegToRgb(const uint8_t* data, size_t size, uint8_t* out, int64_t pixelCount,
                     std::string* reason = nullptr, bool rgbPhotometric = false,
                     bool* incomplete = nullptr);
bool DecodeJpegToGrey(const uint8_t* data, size_t size, uint8_t* out, int64_t byteCount,
                      std::string* reason = nullptr, bool* incomplete = nullptr);

// The sample precision of the stream's frame header (SOFn), 0 when there is
// none; `marker`, when given, receives the SOF marker's second byte.
int JpegPrecision(const uint8_t* data, size_t size, int* marker = nullptr);

// The table's entry point for the DCT processes (baseline, extended,
// progressive): the frame header decides the library, 8-bit streams go to
// libjpeg-turbo, 12-bit ones to the 12-bit glue and lossless ones to the
// lossless decoder, whichever JPEG syntax the file claims. Colour comes out R, G, B (out.rgb):
// the header's photometric decides the colour transform (FrameSpec); 8-bit
// samples of an image with wider words are widened.
bool DecodeJpegFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out);

// The table's check for the DCT syntaxes (Codec.h, FrameCheck): the frame
// header must give the frame's columns and rows, one or three components and
// 8- or 12-bit samples; a lossless frame header is checked as the lossless
// syntaxes check it. A Huffman-coded first scan spends at least one bit per
// 8 x 8 block of each of its components (progressive streams begin with a DC
// scan), so the stream must hold that many bits from it on; arithmetic coding
// has no such floor and is bounded by the table's expansion alone.
bool CheckJpegFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why);
