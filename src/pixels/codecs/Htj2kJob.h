// One HTJ2K decode as the decoder process (DecoderProcess.h) takes it: the
// block holds this header, the code stream, and room for the decoded planes
// of up to three components, each width x height 32-bit samples one after
// the other. The parent fills the input fields and the stream; the process
// fills the rest.
#pragma once

#include <cstddef>
#include <cstdint>

struct Htj2kJob {
  // Input.
  uint64_t streamBytes = 0;
  uint64_t capacity = 0;  // 32-bit samples the planes may take
  int64_t columns = 0, rows = 0;
  int32_t samples = 1, bitsAllocated = 8, bitsStored = 8, isSigned = 0;
  // Output.
  int32_t state = 0;  // 1: decoded; 2: refused, with `why`
  int32_t colourTransform = 0;
  int32_t planes = 0;
  int32_t unused = 0;
  struct {
    int64_t width, height;
    int32_t dx, dy, precision, unused;
  } plane[3] = {};
  char why[256] = {};
};

inline size_t Htj2kStreamOffset() {
  return sizeof(Htj2kJob);
}
inline size_t Htj2kPlanesOffset(uint64_t streamBytes) {
  return (sizeof(Htj2kJob) + size_t(streamBytes) + 7) & ~size_t{7};
}
