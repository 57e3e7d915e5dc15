// Lossless JPEG (ITU-T T.81 process 14, SOF3, Huffman coded) over one
// compressed frame in memory.
//
// Output layout: one sample per component per pixel, pixels row by row, top
// row first, components interleaved in frame order (three components give
// R, G, B triples). Precision 8 or less gives bytes in `out8`; more gives
// 16-bit words in machine byte order in `out16`. Samples are shifted left by
// the point transform, so they carry the source's scale.
//
// The stream's own dimensions decide the layout; when they disagree with the
// caller's, only what fits in the output is written. Nothing is read past
// `size`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/codecs/Codec.h"

struct LosslessJpegInfo {
  int precision = 0;
  int64_t width = 0;   // samples per line (X)
  int64_t height = 0;  // lines (Y)
  int components = 0;  // Nf
  int predictor = 0;   // Ss of the first scan
  int pointTransform = 0;
  int restartInterval = 0;
};

enum class LosslessJpegResult {
  kFailed,    // not a lossless stream, or malformed: the output is untouched
  kPartial,   // the data ended, or the output filled, before the last sample
  kComplete,  // every sample of the stream was decoded
};

// Reads the frame and first scan headers without decoding. False when the
// stream is not a well-formed lossless JPEG stream up to its first scan.
bool ReadLosslessJpegInfo(const uint8_t* data, size_t size, LosslessJpegInfo& info);

// Decodes into out16 (precision > 8) or out8 (precision <= 8); the other
// block is not touched and may be null. Counts are in samples.
LosslessJpegResult DecodeLosslessJpeg(const uint8_t* data, size_t size, uint16_t* out16,
                                      size_t out16Count, uint8_t* out8, size_t out8Count,
                                      LosslessJpegInfo* info = nullptr);

// The table's entry point (.57, .70): samples of up to 8 bits into one-byte
// samples, wider ones into words; 8-bit streams of an image stored in words
// are widened, wider streams of an 8-bit image refused. A stream that ends
// early gives what it holds (out.incomplete).
bool DecodeLosslessJpegFrame(const uint8_t* data, size_t size, const FrameSpec& spec,
                             CodecOutput& out);

// The table's check for the lossless syntaxes (Codec.h, FrameCheck): a
// process 14 frame header (a DCT one goes to CheckJpegFrame, as the decoder
// sends it on) with the frame's columns, rows (or none, given later) and
// samples per pixel, and no more bits than the frame's words hold. Every
// sample of the first scan costs at least one bit.
bool CheckLosslessJpegFrame(const uint8_t* data, size_t size, const FrameSpec& spec,
                            std::string& why);
