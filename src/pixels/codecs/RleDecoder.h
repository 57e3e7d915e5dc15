// RLE Lossless (DICOM PS3.5 Annex G) over one compressed frame in memory.
//
// Output layout: pixels row by row, top row first, the samples of a pixel
// interleaved (R, G, B for colour, whatever the planar configuration says,
// since RLE stores planes by nature); each sample's bytes in machine byte
// order, so 16-bit samples are native words. The output holds
// pixelCount x samplesPerPixel x bytesPerSample bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pixels/codecs/Codec.h"

// Decodes into `out`. Returns false, with a reason, when the frame header is
// malformed or lacks segments. A segment that ends early gives zero bytes for
// the rest of its plane; a run that would overflow is cut at the end.
// `incomplete`, when given, is set when a segment ended early.
bool DecodeRle(const uint8_t* data, size_t size, int samplesPerPixel, int bytesPerSample,
               int64_t pixelCount, uint8_t* out, std::string* reason = nullptr,
               bool* incomplete = nullptr);

// The table's entry point (.5): samples of 8, 16 or 32 bits, and 1-bit
// frames (segmentations), whose one segment holds the frame's bits packed as
// native 1-bit data packs them (or, from some writers, one byte per pixel);
// they come out one byte per pixel, 0 or 1.
bool DecodeRleFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out);

// The table's check (Codec.h, FrameCheck): whole-byte samples or one-sample
// 1-bit data, a segment table that names at least one segment per byte of a
// pixel (one for 1-bit data) with offsets inside the frame's data, and
// segments long enough for the frame: PackBits repeats at most 128 bytes per
// two, so every byte of segments gives at most 64 bytes of samples (of packed
// bits for 1-bit data).
bool CheckRleFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why);
