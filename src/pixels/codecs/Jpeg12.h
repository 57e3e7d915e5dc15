// 12-bit DCT JPEG frames (extended process 4, also progressive) through the
// 12-bit build of the IJG library that GDCM ships. Its jpeglib.h and
// libjpeg-turbo's share an include guard, so this glue is a translation unit
// of its own and nothing else includes that header.
//
// Output layout (the table's, see Codec.h): one sample per component per
// pixel, interleaved; a YCbCr stream (as the header's photometric says, see
// FrameSpec) becomes R, G, B (out.rgb), one component
// in a colour frame R = G = B, a colour stream in a grey frame its red
// channel. 12-bit samples go into words as they are, or shifted down by 4 into
// one-byte samples. A stream that ends early is decoded as far as it goes
// (out.incomplete); a picture of another size than the frame is refused.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/codecs/Codec.h"

bool DecodeJpeg12Frame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out);
