// JPEG-LS frames, lossless and near-lossless (ITU-T T.87), through CharLS 2.4.
//
// Output layout (the table's, see Codec.h): samples of up to 8 bits in one
// byte, wider ones in words; colour interleaved whatever the stream's
// interleave mode (none, line or sample). CharLS undoes its own colour
// transforms (HP1-HP3); a YBR photometric stays as stored. One component in a
// colour frame gives R = G = B, a colour stream in a grey frame its first
// component. A stream whose size differs from the frame's is refused; one cut
// short keeps the lines decoded before the cut (out.incomplete).
//
// Two kinds of stream DCMTK decodes and CharLS refuses are mended in a copy
// before CharLS reads it: an LSE preset segment whose MAXVAL exceeds the
// frame's precision (MAXVAL cleared to its default, the value DCMTK codes
// with), and zero padding between a scan's last coded byte and the marker
// after it (dropped).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/codecs/Codec.h"

bool DecodeJpegLsFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out);

// The table's check (Codec.h, FrameCheck): a JPEG-LS frame header (SOF55)
// with the frame's columns and rows, one or three components and samples that
// fit the frame's. Run mode codes up to 32768 samples per bit, so the only
// honest floor is one bit per line of the first scan (every line ends its run
// with at least one bit, and a regular sample costs one): the stream must
// hold that many.
bool CheckJpegLsFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why);
