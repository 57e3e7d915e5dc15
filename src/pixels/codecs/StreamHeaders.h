// The headers of the code streams the codecs read, parsed without decoding and
// without allocating: what a codec's check (Codec.h, FrameCheck) compares with
// the frame before any buffer is made for it. Nothing is read past `size`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The frame header (SOFn, or SOF55 for JPEG-LS) and the first scan header of a
// JPEG-family stream.
struct JpegStreamHeader {
  int marker = 0;  // the SOF marker's second byte: 0xC0 ... 0xCF, 0xF7 for JPEG-LS
  int precision = 0;
  int64_t width = 0;   // X
  int64_t height = 0;  // Y (0: given later by a DNL segment)
  int components = 0;  // Nf
  int hMax = 1, vMax = 1;
  struct Component {
    int id = 0;
    int h = 1, v = 1;  // sampling factors
  };
  static constexpr int kMaxComponents = 4;
  Component component[kMaxComponents];  // the first kMaxComponents of Nf
  // The first scan: its components (indexes into `component`), Ss (spectral
  // start for the DCT, predictor for lossless, NEAR for JPEG-LS) and Se (the
  // interleave mode for JPEG-LS).
  int scanComponents = 0;
  int scanComponent[kMaxComponents] = {};
  int ss = 0, se = 0;
  size_t scanData = 0;  // offset of the first entropy-coded byte

  bool arithmetic() const { return marker >= 0xC8 && marker <= 0xCF; }
  bool lossless() const { return (marker & 0xF3) == 0xC3; }
  bool progressive() const { return marker == 0xC2 || marker == 0xCA; }
  bool jpegLs() const { return marker == 0xF7; }
  // 8 x 8 blocks of component k (an index into `component`) over the frame.
  int64_t Blocks(int k) const;
  // Entropy-coded bits the stream holds from the first scan on.
  int64_t ScanBits(size_t size) const { return int64_t(size - scanData) * 8; }
};

// Reads marker segments from the start of the stream (after SOI) up to the
// first start of scan. False, with the reason, when the stream is not a JPEG
// stream, a segment runs past its end, or it ends before its first scan.
bool ReadJpegStreamHeader(const uint8_t* data, size_t size, JpegStreamHeader& h, std::string& why);

// The main header of a JPEG 2000 code stream (raw, or the contiguous code
// stream box of a JP2 file): its image and tile sizes from SIZ, and whether a
// whole main header and one tile-part header (SOT up to SOD) lie in the data.
struct J2kStreamHeader {
  int64_t width = 0;              // Xsiz - XOsiz
  int64_t height = 0;             // Ysiz - YOsiz
  int components = 0;             // Csiz
  int precision = 0;              // the largest of the components'
  uint64_t componentSamples = 0;  // every component's samples together
  uint64_t tiles = 0;
  bool highThroughput = false;  // Rsiz names the HT capabilities
};

// False, with the reason, when the stream lacks SOC and SIZ, SIZ is malformed,
// or the data ends before the first tile-part's data begins.
bool ReadJ2kStreamHeader(const uint8_t* data, size_t size, J2kStreamHeader& h, std::string& why);

// "the JPEG picture is 512 x 400, the frame 512 x 512" style text for checks.
std::string SizeMismatch(const char* what, int64_t width, int64_t height, int64_t columns,
                         int64_t rows);
