// Sample decoding of one lossless JPEG scan (ITU-T T.81, Huffman process 14):
// the Huffman tables, a bit reader over entropy-coded data whose byte
// stuffing has already been removed, and the seven predictors. The marker
// parsing that feeds it lives in lsjpeg.
//
// Output layout: the frame's samples row by row, top row first, each pixel's
// components interleaved (rows x width x frameComponents samples). A scan
// writes only its own components' positions, so several non-interleaved
// scans fill one frame. Samples are stored as reconstructed, before any
// point-transform shift.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lsjpeg {

// Codes up to this many bits, together with their extra bits, decode in one
// table lookup; longer ones take the slow path.
constexpr int kFastBits = 12;

// Zero bytes the caller appends after the entropy-coded data, so the bit
// reader may load eight bytes at any position it can reach (at most sixteen
// bytes past the end) without a bounds check.
constexpr size_t kPadding = 32;

class HuffmanTable {
 public:
  // counts[l - 1] codes of length l, their categories in `values` in code
  // order. Fails on more than 256 codes or a code set that does not fit its
  // lengths. Categories above 16 are accepted, as DCMTK and GDCM accept them;
  // such a code, when met, gives a difference of 0.
  bool Build(const uint8_t counts[16], const uint8_t* values, int valueCount);

  struct FastEntry {
    uint16_t diff;     // kResolved: the difference modulo 2^16
    uint8_t length;    // bits consumed: code (+ extra bits when resolved)
    uint8_t category;  // 0 ... 16, kResolved, or kSlow
  };
  static constexpr uint8_t kResolved = 0x80;
  static constexpr uint8_t kSlow = 0x40;

  const FastEntry* fast() const { return fast_.get(); }
  // Matches a code longer than kFastBits (or none) at the top of `bits`. A
  // corrupt code that matches nothing consumes 17 bits and gives category 0,
  // as the IJG decoder does (DCMTK and GDCM), so decoding always advances and
  // agrees with them on damaged data.
  void DecodeSlow(uint64_t bits, int& length, int& category) const;

 private:
  std::unique_ptr<FastEntry[]> fast_;
  int maxLength_ = 0;
  int32_t maxCode_[17] = {};  // largest code of each length, -1 when none
  int32_t minCode_[17] = {};
  int valueIndex_[17] = {};  // index in values_ of the first code of each length
  uint8_t values_[256] = {};
};

struct ScanComponent {
  int offset = 0;  // position of the component within a pixel
  const HuffmanTable* table = nullptr;
};

struct Scan {
  const uint8_t* data = nullptr;  // unstuffed entropy-coded bytes + kPadding zero bytes
  size_t size = 0;                // bytes before the padding
  // Byte offset in `data` where restart interval k + 1 begins (the markers
  // themselves are removed while unstuffing).
  const std::vector<size_t>* restarts = nullptr;
  int64_t width = 0;  // samples per line
  int64_t rows = 0;   // lines to decode (already limited to the output)
  int frameComponents = 1;
  int precision = 8;
  int predictor = 1;
  int pointTransform = 0;
  int64_t restartInterval = 0;  // in MCUs (pixels of the scan), 0 = none
  std::vector<ScanComponent> components;
};

// Decodes the scan into `out`, which holds rows x width x frameComponents
// samples. Returns false when the data ran out before the last sample; the
// samples not reached are left as they were.
bool DecodeScan(const Scan& scan, uint8_t* out);
bool DecodeScan(const Scan& scan, uint16_t* out);

}  // namespace lsjpeg
