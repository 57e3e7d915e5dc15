// The steps after any codec: how a frame stored in one of the many formats
// a file may hold (1 to 64 bits, integer or float, grey, colour or palette
// indices, RGB or a YBR model) becomes one of the three buffers the viewer
// holds, and the header fields that then describe those buffers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dicom/define_types.h"
#include "pixels/codecs/Codec.h"

// A frame as the file stores it, from the header's pixel module (or, for
// records made without one, from the fields the reader always fills).
struct StoredFormat {
  FrameSpec spec;
  int floatBits = 0;        // 32 or 64: float samples (spec.bitsAllocated equal)
  std::string photometric;  // upper case: MONOCHROME2, RGB, YBR_FULL_422, PALETTE COLOR, ...
  bool palette = false;     // indices through the header's three palette tables
  double slope = 1.0;       // the file's own rescale
  double intercept = 0.0;
};

// Which buffer holds the decoded frame.
enum class HeldBuffer { kGrey8, kWords, kRgb };

// False, with a reason, for formats no buffer can hold.
bool DescribeStoredFormat(const DICOMdata& h, StoredFormat& s, std::string& why);

HeldBuffer HeldBufferOf(const StoredFormat& s);

// The native samples are the held ones, byte for byte: 8-bit unsigned grey,
// 12- and 16-bit grey, 8-bit colour (a YBR model is converted in place).
bool HeldDirectly(const StoredFormat& s);

// The smallest and largest sample of a file, for formats held through a
// mapping of the data's range (32-bit integers, float and double).
struct SampleRange {
  bool any = false;  // a finite sample was seen
  double min = 0;
  double max = 0;
};
bool NeedsFileRange(const StoredFormat& s);
void WidenRange(const StoredFormat& s, const uint8_t* native, size_t bytes, SampleRange& r);

// The header fields that describe the held buffer, when they are not the
// stored frame's own (see DecodedFrame::held).
struct HeldHeader {
  bool differs = false;
  int allocBits = 0;
  int storedBits = 0;
  int samples = 1;
  int pixelRepresentation = 0;
  int monochrome = 2;
  float slope = 1.0f;
  float intercept = 0.0f;
};

struct ExpandedPalette;

// Native samples (Codec.h layout) of a format that is not held directly into
// its held buffer (already sized): palette lookup through `palette`, 1-bit
// expansion to 0 and 255, signed bytes into words, 32-bit and float data
// through the file's `range`, deep colour shifted into bytes. Returns the
// header fields of the held buffer.
HeldHeader ConvertToHeld(const StoredFormat& s, const DICOMdata& h, const uint8_t* native,
                         const SampleRange& range, const ExpandedPalette& palette,
                         std::vector<uint8_t>& grey8, std::vector<int16_t>& words,
                         std::vector<uint8_t>& rgb);

// Colour held as bytes in a YBR model (full or partial range) becomes R, G,
// B; `pixels` triples are converted.
void YbrToRgb(const std::string& photometric, uint8_t* rgb, int64_t pixels);
bool IsYbr(const std::string& photometric);

// The palette tables of the header expanded to entries (each 8-bit, the top
// byte of 16-bit entries); false when a table is missing or unusable.
// `first` is the first mapped value; indices below take entry 0, above the
// last entry.
struct ExpandedPalette {
  int first = 0;
  std::vector<uint8_t> red, green, blue;  // same length, 1 ... 65536 entries
};
bool ExpandPalette(const DICOMdata& h, ExpandedPalette& out, std::string* why = nullptr);
