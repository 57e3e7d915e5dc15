// High-Throughput JPEG 2000 frames (HTJ2K, ITU-T T.814) through OpenJPH 0.9,
// which decodes HT code streams about twice as fast as OpenJPEG. OpenJPH runs
// in a decoder process kept for each decoding thread (DecoderProcess.h): it
// overruns its heap on some crafted packet headers. Streams OpenJPH does not
// take (Part-1 code blocks under an HTJ2K UID, a JP2 file wrapper, a main
// header out of bounds, one cut short, one it refuses, crashes on or takes
// too long over) go to OpenJPEG 2.5, which decodes both kinds.
//
// Output layout: as the JPEG 2000 glue's (OpenJpeg.h). When the stream
// applies its colour transform (RCT or ICT) the library undoes it and the
// colour comes out R, G, B (out.rgb).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/codecs/Codec.h"

// The table's entry point (.201, .202, .203).
bool DecodeHtj2kFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out);

// The table's check: as for JPEG 2000 (CheckJpeg2000Frame), whichever library
// then decodes the stream.
bool CheckHtj2kFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why);
