// JPEG 2000 frames through OpenJPEG 2.5: the frame's raw J2K code stream in
// memory (a JP2 file wrapper is recognised too), default decoder parameters.
// OpenJPEG 2.5 also decodes HT code blocks, so it is the fallback for HTJ2K
// streams OpenJPH refuses.
//
// Output layout (the table's, see Codec.h): every component the frame has a
// sample for, interleaved. A one-component stream in a colour frame gives
// R = G = B; a colour stream in a grey frame gives its first component.
// Sub-sampled components are up-sampled (nearest sample). A component whose
// precision exceeds the output sample is shifted down into it; colour
// components of fewer than 8 bits in one-byte samples are stretched to 8 bits.
// Samples keep their two's complement bit pattern. When the stream applied
// its multi-component transform (RCT or ICT), the colour comes out R, G, B
// (out.rgb). A stream that ends early decodes as far as it goes
// (out.incomplete).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pixels/codecs/Codec.h"

// The table's entry point (.90, .91, .92, .93). Decodes on the calling
// thread alone, whatever spec.threads says.
bool DecodeJpeg2000Frame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out);

// The table's check (Codec.h, FrameCheck), shared with the HTJ2K glue: SIZ
// must give the frame's columns and rows, no more tiles than a code stream
// may have, and components that together hold no more than eight times the
// frame's samples (the library allocates every component). Empty packets
// cover any area in a few bytes, so the stream's length bounds nothing but
// this: the whole main header and one tile-part header up to its data.
bool CheckJpeg2000Frame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why);

// Up-samples, rescales and interleaves one decoded component into `out`
// (shared with the HTJ2K glue). `values` holds width x height samples of
// `precision` bits; dx, dy are its sub-sampling factors against the frame.
struct ComponentPlane {
  const int32_t* values = nullptr;
  int64_t width = 0;
  int64_t height = 0;
  int dx = 1;
  int dy = 1;
  int precision = 8;
};
bool StoreComponent(const ComponentPlane& c, int sample, const FrameSpec& spec, uint8_t* out,
                    std::string& why);
