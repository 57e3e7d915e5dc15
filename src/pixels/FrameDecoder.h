// The one dispatch from a header's transfer syntax to its codec (CodecTable.h).
// The viewer, the thumbnail builder and the command-line tool all call it, so
// the three can never disagree on what a frame holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dicom/define_types.h"
#include "pixels/HeldLayout.h"

// One decoded frame in the layout the viewer holds, top row first, left to
// right; exactly one buffer is filled:
//   buff8  - N bytes, one grey value per pixel: 8-bit unsigned grey as stored;
//            1-bit data as 0 and 255;
//   buff16 - N words in machine byte order: 12- and 16-bit grey as stored
//            (signed or not, as the pixel representation says); signed 8-bit
//            grey sign-extended; 32-bit integer, float and double grey mapped
//            from the file's range into 0 ... 65535 (see `held`);
//   buff24 - 3N bytes, R, G, B per pixel: 8-bit colour (a YBR model, stored or
//            coded, becomes R, G, B); 16- and 32-bit colour by the top eight
//            bits of its stored depth; palette colour through its tables.
// When the held buffer is not what the header's own fields describe (every
// case above past 8-bit unsigned grey, 12/16-bit grey and 8-bit colour),
// `held` gives the fields that do: AdoptHeldLayout puts them into a header
// copy used to show or measure the frame, so modality values (word x slope +
// intercept) stay the file's. Decoding again from an adopted header gives the
// same frame: the decoder reads the stored format from the header's pixel
// module, which adoption leaves alone.
struct DecodedFrame {
  std::vector<uint8_t> buff8;
  std::vector<int16_t> buff16;
  std::vector<uint8_t> buff24;
  // The frame's data ended early (a truncated file, a short fragment): what it
  // held is decoded, the rest is zero.
  bool incomplete = false;
  HeldHeader held;
};

// Whether DecodeFrame can decode the header's frames at all: its syntax has a
// codec and a buffer holds its pixel format. No pixels are read; false with
// the reason DecodeFrame would give.
bool FrameFormatSupported(const DICOMdata& h, std::string* why = nullptr);

// Puts the fields of `f.held` (when it differs) into `h`: bits allocated and
// stored, samples per pixel, pixel representation, photometric code, slope and
// intercept. Idempotent.
void AdoptHeldLayout(DICOMdata& h, const DecodedFrame& f);

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

// A video's own frame rate (frames per second) from its stream, for files
// whose header states no rate; 0 for other syntaxes or a stream without one.
// The frame tables as for DecodeFrame.
double VideoFrameRate(const std::string& path, const DICOMdata& h,
                      const std::vector<int64_t>& framePos, const std::vector<int64_t>& frameSize);

// The modality lookup-table step: when P = 16 and the header carries a table,
// every word becomes its table entry, and the header's slope and intercept
// become 1 and 0 so that later steps treat the words as already rescaled.
// Words that hold a mapping of other samples (see DecodedFrame) are left
// alone.
void ApplyModalityLut(DICOMdata& h, std::vector<int16_t>& buff16);
