// The one dispatch from a header's transfer syntax to its codec (CodecTable.h).
// The viewer, the thumbnail builder and the command-line tool all call it, so
// the three can never disagree on what a frame holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dicom/define_types.h"

// One decoded frame in the layout the viewer holds:
//   buff8  - P = 8: N bytes, one grey value per pixel, top row first;
//   buff16 - P = 16: N words in machine byte order, top row first;
//   buff24 - P = 24: 3N bytes, R, G, B per pixel, top row first (YBR_FULL data
//            stored, RLE or lossless JPEG coded, and stored YBR_FULL_422, become
//            R, G, B).
// Every codec delivers into the buffer P selects; the other two stay empty.
struct DecodedFrame {
  std::vector<uint8_t> buff8;
  std::vector<int16_t> buff16;
  std::vector<uint8_t> buff24;
  // The frame's data ended early (a truncated file, a short fragment): what it
  // held is decoded, the rest is zero.
  bool incomplete = false;
};

// The transfer syntax a header's frames are decoded by: its Transfer Syntax
// UID, or for a header without one (no meta information, or a record made by
// code) the syntax its compression flags stand for (JPEG 2000, lossless JPEG,
// other JPEG, RLE: the first flag set wins), else native data.
std::string FrameTransferSyntax(const DICOMdata& h);

// Decodes frame `frame` (1-based) of `path`, described by header `h` and its
// frame tables (`framePos`, `frameSize`: entry k - 1 belongs to frame k).
// Returns false, with a one-line reason when `reason` is given, when the frame
// cannot be decoded; `out` is then left empty. `codecThreads` caps the threads
// a codec may use inside the frame (JPEG 2000 decodes code blocks in
// parallel); 0 lets it use the machine's cores. Callers that decode several
// frames at once pass 1.
bool DecodeFrame(const std::string& path, const DICOMdata& h, const std::vector<int64_t>& framePos,
                 const std::vector<int64_t>& frameSize, int frame, DecodedFrame& out,
                 std::string* reason = nullptr, int codecThreads = 0);

// The modality lookup-table step: when P = 16 and the header carries a table,
// every word becomes its table entry, and the header's slope and intercept
// become 1 and 0 so that later steps treat the words as already rescaled.
void ApplyModalityLut(DICOMdata& h, std::vector<int16_t>& buff16);
