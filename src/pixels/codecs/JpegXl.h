// JPEG XL frames through libjxl 0.7: a bare code stream or the container
// format, lossless, lossy, and recompressed JPEG (decoded to pixels, not back
// to the JPEG file).
//
// Output layout (the table's, see Codec.h): grey frames one sample per pixel,
// colour frames interleaved. Colour libjxl renders itself (XYB pictures, in
// the picture's own colour space, recompressed JPEGs, and a grey stream in a
// colour frame, R = G = B) is R, G, B (out.rgb); colour samples coded as
// they are keep the header's model, so Y, Cb, Cr under a YBR photometric are
// converted after the codec. Alpha and other extra channels are dropped; of
// an animation only the first frame is shown.
// Pixels come out in the order the stream stores them: an orientation tag is
// not applied, as no other codec of the table applies one. Samples keep the
// stream's own values whatever the output sample's width; signed frames take
// the two's complement of the stream's depth, extended to the sample. A
// stream cut short shows what libjxl can render of it (out.incomplete) when
// that is anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pixels/codecs/Codec.h"

// The table's entry point (.110, .111, .112). Uses up to spec.threads threads.
bool DecodeJpegXlFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out);

// The table's check (Codec.h, FrameCheck): a JPEG XL signature, and a basic
// header whose size is the frame's, whose colour channels are the frame's (a
// grey stream may fill a colour frame, R = G = B), whose integer samples fit
// the frame's samples, and with few enough extra channels that decoding
// cannot take more than a small multiple of the frame. Blank areas code to
// almost nothing, so the stream's length bounds nothing further.
bool CheckJpegXlFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why);
