#include "pixels/FrameDecoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "pixels/CodecTable.h"
#include "pixels/FrameGeometry.h"

namespace {

class FrameFile {
 public:
  explicit FrameFile(const std::string& path) : in_(path, std::ios::binary) {
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    size_ = static_cast<int64_t>(in_.tellg());
    if (size_ < 0) size_ = 0;
  }
  bool ok() const { return static_cast<bool>(in_); }
  int64_t size() const { return size_; }

  // Reads exactly n bytes at pos, or fails.
  bool ReadAt(int64_t pos, int64_t n, void* dst) {
    if (pos < 0 || n < 0 || pos > size_ || n > size_ - pos) return false;
    in_.clear();
    in_.seekg(pos);
    in_.read(static_cast<char*>(dst), n);
    return in_.gcount() == n;
  }

 private:
  std::ifstream in_;
  int64_t size_ = 0;
};

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// An encapsulated item header: tag (FFFE,E000), little endian, and length.
bool ReadItemHeader(FrameFile& f, int64_t pos, uint32_t& length) {
  uint8_t h[8];
  if (!f.ReadAt(pos, 8, h)) return false;
  if (!(h[0] == 0xFE && h[1] == 0xFF && h[2] == 0x00 && h[3] == 0xE0)) return false;
  length = Le32(h + 4);
  return true;
}

// The compressed bytes of one frame: `length` data bytes from `pos` on. A
// frame that spans several fragments has its first byte and the sum of the
// fragment lengths in the table; the item headers between the fragments are
// skipped. A file that ends early yields what it holds.
bool ReadCompressedFrame(FrameFile& f, int64_t pos, int64_t length, std::vector<uint8_t>& bytes) {
  if (pos < 0 || length <= 0 || pos >= f.size()) return false;
  length = std::min(length, f.size() - pos);
  int64_t first = length;
  uint32_t itemLength = 0;
  if (pos >= 8 && ReadItemHeader(f, pos - 8, itemLength) && itemLength < length) {
    first = itemLength;
  }
  bytes.resize(static_cast<size_t>(length));
  if (!f.ReadAt(pos, first, bytes.data())) return false;
  int64_t got = first;
  int64_t next = pos + first;
  while (got < length) {
    if (!ReadItemHeader(f, next, itemLength)) break;
    next += 8;
    const int64_t n = std::min({int64_t{itemLength}, length - got, f.size() - next});
    if (n <= 0 || !f.ReadAt(next, n, bytes.data() + got)) break;
    got += n;
    next += itemLength;
  }
  bytes.resize(static_cast<size_t>(got));
  return got > 0;
}

void SwapWords(std::vector<int16_t>& words) {
  for (int16_t& w : words) {
    const auto u = static_cast<uint16_t>(w);
    w = static_cast<int16_t>(static_cast<uint16_t>(u << 8 | u >> 8));
  }
}

// Colour by plane (R plane, G plane, B plane) to R, G, B per pixel.
void PlanarToInterleaved(std::vector<uint8_t>& rgb, int64_t pixels) {
  const std::vector<uint8_t> planes = rgb;
  const uint8_t* r = planes.data();
  const uint8_t* g = r + pixels;
  const uint8_t* b = g + pixels;
  for (int64_t i = 0; i < pixels; ++i) {
    rgb[3 * i] = r[i];
    rgb[3 * i + 1] = g[i];
    rgb[3 * i + 2] = b[i];
  }
}

uint8_t Clamp8(double v) {
  return static_cast<uint8_t>(std::clamp(std::nearbyint(v), 0.0, 255.0));
}

// Full-range YCbCr, as JPEG defines it, to R, G, B.
void YbrFullToRgb(std::vector<uint8_t>& px) {
  for (size_t i = 0; i + 2 < px.size(); i += 3) {
    const double y = px[i], cb = px[i + 1] - 128.0, cr = px[i + 2] - 128.0;
    px[i] = Clamp8(y + 1.402 * cr);
    px[i + 1] = Clamp8(y - 0.344136 * cb - 0.714136 * cr);
    px[i + 2] = Clamp8(y + 1.772 * cb);
  }
}

// YBR_FULL_422 as stored: Y1 Y2 Cb Cr for each pair of pixels of a row, two
// bytes per pixel. The header names only a Y model, so the length of the
// pixel data tells it from YBR_FULL.
bool IsStoredYbr422(const DICOMdata& h, const FrameGeometry& g) {
  if (h.Monochrome != 4 || g.bitProduct != 24 || g.columns % 2 != 0 || h.ImageSz <= 0) {
    return false;
  }
  // At least 2N and less than 3N bytes per frame, without multiplying by a
  // frame count the header may inflate.
  const int64_t frames = std::max(1, h.XYZdim[2]);
  return h.ImageSz / (2 * g.pixelCount) >= frames && h.ImageSz / frames < 3 * g.pixelCount;
}

// The first 2N bytes of `px` (Y1 Y2 Cb Cr per pair) become Y Cb Cr per pixel.
void Expand422(std::vector<uint8_t>& px, int64_t pixels) {
  // Backwards, so each pair is read before the wider output reaches it.
  for (int64_t p = pixels / 2 - 1; p >= 0; --p) {
    const uint8_t y1 = px[4 * p], y2 = px[4 * p + 1], cb = px[4 * p + 2], cr = px[4 * p + 3];
    uint8_t* o = px.data() + 6 * p;
    o[0] = y1, o[1] = cb, o[2] = cr, o[3] = y2, o[4] = cb, o[5] = cr;
  }
}

// Stored data is read as it lies in the file; codecs already deliver native
// words and interleaved colour.
void ApplyStoredLayout(const DICOMdata& h, const FrameGeometry& g, DecodedFrame& out, bool ybr422) {
  if (g.bitProduct == 16 && h.little_endian != 1 && !h.GenesisCpt) SwapWords(out.buff16);
  if (ybr422) {
    Expand422(out.buff24, g.pixelCount);
  } else if (g.bitProduct == 24 && h.PlanarConfig == 1) {
    PlanarToInterleaved(out.buff24, g.pixelCount);
  }
}

std::string Describe(const char* format, long long a, long long b = 0, long long c = 0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

class Decoder {
 public:
  Decoder(const DICOMdata& h, const FrameGeometry& g, DecodedFrame& out, std::string& why,
          int codecThreads)
      : h_(h), g_(g), out_(out), why_(why), codecThreads_(codecThreads) {}

  // `s`: bytes of one stored frame (S, or 2N for YBR_FULL_422).
  bool Uncompressed(FrameFile& f, int frame, int64_t s) {
    if (h_.ImageStart < 0 || h_.ImageStart > f.size() || s > f.size() - h_.ImageStart ||
        frame - 1 > (f.size() - h_.ImageStart - s) / s) {
      why_ = Describe("frame %lld (%lld bytes) lies beyond the end of the file", frame, s);
      return false;
    }
    const int64_t offset = h_.ImageStart + s * (frame - 1);
    void* dst = Allocate();
    if (!f.ReadAt(offset, s, dst)) {
      why_ = "the pixel data cannot be read";
      return false;
    }
    return true;
  }

  bool Compressed(const TransferSyntaxCodec& codec, const std::vector<uint8_t>& bytes) {
    FrameSpec spec;
    spec.columns = g_.columns;
    spec.rows = g_.rows;
    spec.samples = g_.bitProduct == 24 ? 3 : 1;
    spec.bitsAllocated = g_.bitProduct == 16 ? 16 : 8;
    spec.bitsStored = std::min(h_.Storedbits_per_pixel, spec.bitsAllocated);
    spec.isSigned = h_.pixel_representation == 1;
    // Photometric 3: RGB (or another non-YCbCr model); 4: a YBR model.
    spec.rgbPhotometric = h_.Monochrome == 3;
    spec.threads = codecThreads_ > 0
                       ? codecThreads_
                       : static_cast<int>(std::min(8u, std::thread::hardware_concurrency()));
    CodecOutput o;
    o.data = static_cast<uint8_t*>(Allocate());
    o.size = static_cast<size_t>(NativeFrameBytes(spec));
    if (!codec.decode(bytes.data(), bytes.size(), spec, o)) {
      why_ = o.why.empty() ? "the frame does not decode" : o.why;
      return false;
    }
    out_.incomplete = o.incomplete;
    rgb_ = o.rgb;
    return true;
  }

  // The codec delivered R, G, B itself.
  bool rgb() const { return rgb_; }

 private:
  // The buffer P selects, S bytes, zero-filled.
  void* Allocate() {
    const auto n = static_cast<size_t>(g_.pixelCount);
    switch (g_.bitProduct) {
      case 8:
        out_.buff8.assign(n, 0);
        return out_.buff8.data();
      case 16:
        out_.buff16.assign(n, 0);
        return out_.buff16.data();
      default:
        out_.buff24.assign(3 * n, 0);
        return out_.buff24.data();
    }
  }

  const DICOMdata& h_;
  const FrameGeometry& g_;
  DecodedFrame& out_;
  std::string& why_;
  const int codecThreads_;
  bool rgb_ = false;
};

}  // namespace

bool DecodeFrame(const std::string& path, const DICOMdata& h, const std::vector<int64_t>& framePos,
                 const std::vector<int64_t>& frameSize, int frame, DecodedFrame& out,
                 std::string* reason, int codecThreads) {
  out = DecodedFrame{};
  std::string why;
  const bool ok = [&] {
    const FrameGeometry g = ComputeFrameGeometry(h);
    if (!IsDisplayableBitProduct(g.bitProduct)) {
      why = Describe("%lld bits per pixel cannot be displayed", g.bitProduct);
      return false;
    }
    if (g.pixelCount <= 0) {
      why = "the image has no pixels";
      return false;
    }
    const int frames = std::max(1, h.XYZdim[2]);
    if (frame < 1 || frame > frames) {
      why = Describe("frame %lld is outside 1 ... %lld", frame, frames);
      return false;
    }
    FrameFile file(path);
    if (!file.ok()) {
      why = "the file cannot be opened";
      return false;
    }
    const std::string uid = FrameTransferSyntax(h);
    const TransferSyntaxCodec* codec = FindTransferSyntax(uid);
    if (!codec || !codec->supported()) {
      why = "transfer syntax " + DescribeTransferSyntax(uid) + " is not supported";
      return false;
    }
    Decoder decoder(h, g, out, why, codecThreads);
    // Stored, RLE and lossless JPEG data hold YBR_FULL samples as they are;
    // the DCT processes and JPEG 2000's colour transforms give R, G, B.
    const bool ybrFull = h.Monochrome == 4 && g.bitProduct == 24;
    if (codec->encoding == PixelEncoding::kNative) {
      const bool ybr422 = IsStoredYbr422(h, g);
      if (!decoder.Uncompressed(file, frame, ybr422 ? 2 * g.pixelCount : g.frameBytes)) {
        return false;
      }
      ApplyStoredLayout(h, g, out, ybr422);
      if (ybrFull) YbrFullToRgb(out.buff24);
      return true;
    }

    const size_t entry = static_cast<size_t>(frame - 1);
    int64_t pos, length;
    if (entry < framePos.size() && entry < frameSize.size()) {
      pos = framePos[entry];
      length = frameSize[entry];
    } else if (frame == 1 && h.CompressSz > 0) {
      pos = h.CompressOffset;
      length = h.CompressSz;
    } else {
      why = Describe("frame %lld has no compressed data", frame);
      return false;
    }
    if (length <= 0 || !ExpansionIsPlausible(*codec, g.frameBytes, length)) {
      why = Describe("a frame of %lld bytes cannot come from %lld compressed bytes", g.frameBytes,
                     length);
      return false;
    }
    std::vector<uint8_t> bytes;
    if (!ReadCompressedFrame(file, pos, length, bytes)) {
      why = Describe("the compressed data of frame %lld cannot be read", frame);
      return false;
    }
    if (!decoder.Compressed(*codec, bytes)) return false;
    if (ybrFull && !decoder.rgb()) YbrFullToRgb(out.buff24);
    return true;
  }();
  if (!ok) {
    out = DecodedFrame{};
    if (reason) *reason = why.empty() ? "the frame cannot be decoded" : why;
  }
  return ok;
}

std::string FrameTransferSyntax(const DICOMdata& h) {
  if (!h.TransferSyntaxUID.empty()) return h.TransferSyntaxUID;
  if (h.JPEGJ2k) return "1.2.840.10008.1.2.4.90";
  if (h.JPEGlosslessCpt) return "1.2.840.10008.1.2.4.70";
  if (h.JPEGlossyCpt) return "1.2.840.10008.1.2.4.51";
  if (h.RunLengthEncoding) return "1.2.840.10008.1.2.5";
  return "";
}

void ApplyModalityLut(DICOMdata& h, std::vector<int16_t>& buff16) {
  const TLut& lut = h.Lut;
  if (ComputeFrameGeometry(h).bitProduct != 16 || lut.LutSize <= 0 || lut.Lutdata.empty() ||
      buff16.empty()) {
    return;
  }
  const int64_t entries = std::min<int64_t>(lut.LutSize, static_cast<int64_t>(lut.Lutdata.size()));
  const double first = lut.LutOffset;
  const double last = static_cast<double>(lut.LutOffset) + static_cast<double>(entries - 1);
  const bool isSigned = h.pixel_representation == 1;
  // Every possible word once, then one lookup per pixel.
  std::vector<int16_t> map(65536);
  for (uint32_t u = 0; u < 65536; ++u) {
    const double w = isSigned ? static_cast<int16_t>(u) : static_cast<double>(u);
    double v = std::nearbyint(w * static_cast<double>(h.IntenScale) +
                              static_cast<double>(h.IntenIntercept));
    if (!(v >= first)) v = first;  // also catches NaN
    if (v > last) v = last;
    const auto index = static_cast<size_t>(static_cast<int64_t>(v) - lut.LutOffset);
    map[u] = static_cast<int16_t>(static_cast<uint16_t>(lut.Lutdata[index]));
  }
  for (int16_t& w : buff16) w = map[static_cast<uint16_t>(w)];
  h.IntenScale = 1.0f;
  h.IntenIntercept = 0.0f;
}
