#include "pixels/codecs/lsjpeg.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "pixels/codecs/BaselineJpeg.h"
#include "pixels/codecs/StreamHeaders.h"
#include "pixels/codecs/decompress.h"

namespace {

using lsjpeg::HuffmanTable;

constexpr int kMaxComponents = 4;

struct FrameComponent {
  int id = 0;
  int sampling = 0x11;  // H << 4 | V
};

// What the marker segments have said so far.
struct StreamState {
  bool frameSeen = false;
  bool lossless = false;
  int precision = 0;
  int64_t width = 0;
  int64_t height = 0;
  int componentCount = 0;
  FrameComponent components[kMaxComponents];
  int restartInterval = 0;
  // Indexed by the table's destination (Th), as the scan header selects them.
  std::unique_ptr<HuffmanTable> tables[4];
};

struct ScanHeader {
  int componentCount = 0;
  int selectors[kMaxComponents] = {};
  int tables[kMaxComponents] = {};
  int predictor = 0;  // Ss
  int pointTransform = 0;
  size_t dataStart = 0;
};

inline int Be16(const uint8_t* p) {
  return p[0] << 8 | p[1];
}

enum class Step { kScan, kEnd, kError };

// A DHT segment may hold tables of both classes. Lossless scans code their
// differences with DC-class tables only, so AC-class tables (some writers
// emit the baseline set alongside) are skipped rather than allowed to replace
// the DC table of the same destination.
bool ReadHuffmanTables(const uint8_t* p, size_t length, StreamState& st) {
  while (length >= 17) {
    const int tableClass = p[0] >> 4;
    const int destination = p[0] & 0x0F;
    const uint8_t* counts = p + 1;
    int total = 0;
    for (int l = 0; l < 16; ++l) total += counts[l];
    if (tableClass > 1 || destination > 3 || total > 256 ||
        length < 17 + static_cast<size_t>(total)) {
      return false;
    }
    if (tableClass == 0) {
      auto table = std::make_unique<HuffmanTable>();
      if (!table->Build(counts, p + 17, total)) return false;
      st.tables[destination] = std::move(table);
    }
    p += 17 + total;
    length -= 17 + static_cast<size_t>(total);
  }
  return true;
}

// Reads marker segments from `pos` up to the next start of scan (kScan, with
// `pos` at the first entropy-coded byte), the end of the image or the data
// (kEnd), or a malformed segment (kError).
Step NextScan(const uint8_t* d, size_t n, size_t& pos, StreamState& st, ScanHeader& sh) {
  while (true) {
    if (pos >= n) return Step::kEnd;
    if (d[pos] != 0xFF) return Step::kError;
    while (pos < n && d[pos] == 0xFF) ++pos;  // fill bytes
    if (pos >= n) return Step::kEnd;
    const int marker = d[pos++];
    // Markers without a segment: stuffing, TEM, restarts, a repeated SOI.
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
    if (marker == 0xD9) return Step::kEnd;
    if (n - pos < 2) return Step::kError;
    const size_t segmentLength = static_cast<size_t>(Be16(d + pos));
    if (segmentLength < 2 || segmentLength > n - pos) return Step::kError;
    const uint8_t* seg = d + pos + 2;
    const size_t len = segmentLength - 2;
    pos += segmentLength;

    const bool startOfFrame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (startOfFrame) {
      if (len < 6) return Step::kError;
      const int count = seg[5];
      if (count < 1 || count > kMaxComponents || len < 6 + 3 * static_cast<size_t>(count)) {
        return Step::kError;
      }
      st.frameSeen = true;
      st.lossless = marker == 0xC3;
      st.precision = seg[0];
      st.height = Be16(seg + 1);
      st.width = Be16(seg + 3);
      st.componentCount = count;
      for (int i = 0; i < count; ++i) {
        st.components[i].id = seg[6 + 3 * i];
        st.components[i].sampling = seg[7 + 3 * i];
      }
    } else if (marker == 0xC4) {
      if (!ReadHuffmanTables(seg, len, st)) return Step::kError;
    } else if (marker == 0xDD) {
      if (len < 2) return Step::kError;
      st.restartInterval = Be16(seg);
    } else if (marker == 0xDA) {
      if (len < 1) return Step::kError;
      const int count = seg[0];
      if (count < 1 || count > kMaxComponents || len < 4 + 2 * static_cast<size_t>(count)) {
        return Step::kError;
      }
      sh.componentCount = count;
      for (int i = 0; i < count; ++i) {
        sh.selectors[i] = seg[1 + 2 * i];
        sh.tables[i] = seg[2 + 2 * i] >> 4;
      }
      sh.predictor = seg[1 + 2 * count];
      sh.pointTransform = seg[3 + 2 * count] & 0x0F;
      sh.dataStart = pos;
      return Step::kScan;
    }
  }
}

// Copies the entropy-coded data from `start` into `out` without its byte
// stuffing, fill bytes and restart markers (their positions go to
// `restarts`), followed by the bit reader's zero padding. Returns the
// position of the marker that ends the data, or n.
size_t Unstuff(const uint8_t* d, size_t n, size_t start, std::unique_ptr<uint8_t[]>& out,
               size_t& outSize, std::vector<size_t>& restarts) {
  out = std::make_unique_for_overwrite<uint8_t[]>(n - start + lsjpeg::kPadding);
  uint8_t* w = out.get();
  size_t i = start;
  while (i < n) {
    const void* ff = std::memchr(d + i, 0xFF, n - i);
    const size_t j = ff ? static_cast<size_t>(static_cast<const uint8_t*>(ff) - d) : n;
    std::memcpy(w, d + i, j - i);
    w += j - i;
    i = j;
    if (i >= n) break;
    if (i + 1 >= n) {  // a lone 0xFF at the very end
      i = n;
      break;
    }
    const uint8_t next = d[i + 1];
    if (next == 0x00) {
      *w++ = 0xFF;
      i += 2;
    } else if (next == 0xFF) {
      i += 1;
    } else if (next >= 0xD0 && next <= 0xD7) {
      restarts.push_back(static_cast<size_t>(w - out.get()));
      i += 2;
    } else {
      break;
    }
  }
  outSize = static_cast<size_t>(w - out.get());
  std::memset(w, 0, lsjpeg::kPadding);
  return i;
}

template <typename T>
void ShiftLeft(T* out, int64_t samples, int64_t stride, const lsjpeg::Scan& scan, int shift) {
  for (const lsjpeg::ScanComponent& c : scan.components) {
    for (int64_t i = c.offset; i < samples; i += stride) out[i] = static_cast<T>(out[i] << shift);
  }
}

bool FillInfo(const StreamState& st, const ScanHeader& sh, LosslessJpegInfo& info) {
  if (!st.frameSeen || !st.lossless || st.precision < 2 || st.precision > 16 || st.width == 0 ||
      sh.pointTransform >= st.precision) {
    return false;
  }
  info.precision = st.precision;
  info.width = st.width;
  info.height = st.height;
  info.components = st.componentCount;
  info.predictor = sh.predictor;
  info.pointTransform = sh.pointTransform;
  info.restartInterval = st.restartInterval;
  return true;
}

}  // namespace

bool ReadLosslessJpegInfo(const uint8_t* data, size_t size, LosslessJpegInfo& info) {
  if (!data || size < 32) return false;
  StreamState st;
  ScanHeader sh;
  size_t pos = 2;  // past SOI
  if (NextScan(data, size, pos, st, sh) != Step::kScan) return false;
  return FillInfo(st, sh, info);
}

LosslessJpegResult DecodeLosslessJpeg(const uint8_t* data, size_t size, uint16_t* out16,
                                      size_t out16Count, uint8_t* out8, size_t out8Count,
                                      LosslessJpegInfo* infoOut) {
  if (!data || size < 32) return LosslessJpegResult::kFailed;
  StreamState st;
  ScanHeader sh;
  LosslessJpegInfo frame;  // the frame as the first scan saw it
  size_t pos = 2;          // past SOI
  bool anyScan = false;
  bool complete = true;
  int64_t rows = 0;
  while (true) {
    const Step step = NextScan(data, size, pos, st, sh);
    if (step == Step::kEnd) break;
    if (step == Step::kError) {
      complete = false;
      break;
    }
    LosslessJpegInfo info;
    if (!FillInfo(st, sh, info)) {
      complete = false;
      break;
    }
    if (!anyScan) {
      frame = info;
      const bool eight = info.precision <= 8;
      const size_t capacity = eight ? (out8 ? out8Count : 0) : (out16 ? out16Count : 0);
      const int64_t rowSamples = info.width * info.components;
      const int64_t fit = static_cast<int64_t>(capacity) / rowSamples;
      rows = info.height > 0 ? std::min(info.height, fit) : fit;  // Y = 0: as many as fit
      if (rows <= 0) return LosslessJpegResult::kFailed;
      if (rows < info.height) complete = false;
    } else if (info.precision != frame.precision || info.width != frame.width ||
               info.components != frame.components) {
      complete = false;
      break;
    }

    lsjpeg::Scan scan;
    scan.width = frame.width;
    scan.rows = rows;
    scan.frameComponents = frame.components;
    scan.precision = frame.precision;
    scan.predictor = info.predictor;
    scan.pointTransform = info.pointTransform;
    bool usable = true;
    for (int i = 0; i < sh.componentCount; ++i) {
      int offset = -1;
      for (int c = 0; c < frame.components; ++c) {
        if (st.components[c].id == sh.selectors[i]) offset = c;
      }
      if (offset < 0) offset = i < frame.components ? i : -1;  // unknown selector: scan order
      // Interleaved components must not be subsampled.
      if (sh.componentCount > 1 && st.components[offset < 0 ? 0 : offset].sampling != 0x11) {
        usable = false;
      }
      const HuffmanTable* table = st.tables[sh.tables[i] & 3].get();
      for (int t = 0; t < 4 && !table; ++t) table = st.tables[t].get();  // undefined: the first
      if (offset < 0 || !table) usable = false;
      scan.components.push_back({offset, table});
    }
    if (!usable) {
      complete = false;
      break;
    }
    scan.restartInterval = st.restartInterval;

    std::unique_ptr<uint8_t[]> unstuffed;
    std::vector<size_t> restarts;
    pos = Unstuff(data, size, sh.dataStart, unstuffed, scan.size, restarts);
    scan.data = unstuffed.get();
    scan.restarts = &restarts;

    const int64_t samples = rows * frame.width * frame.components;
    bool ok;
    if (frame.precision <= 8) {
      ok = lsjpeg::DecodeScan(scan, out8);
      if (info.pointTransform)
        ShiftLeft(out8, samples, frame.components, scan, info.pointTransform);
    } else {
      ok = lsjpeg::DecodeScan(scan, out16);
      if (info.pointTransform) {
        ShiftLeft(out16, samples, frame.components, scan, info.pointTransform);
      }
    }
    anyScan = true;
    if (!ok) {
      complete = false;
      break;
    }
  }
  if (!anyScan) return LosslessJpegResult::kFailed;
  if (infoOut) *infoOut = frame;
  return complete ? LosslessJpegResult::kComplete : LosslessJpegResult::kPartial;
}

bool DecodeLosslessJpegFrame(const uint8_t* data, size_t size, const FrameSpec& spec,
                             CodecOutput& out) {
  LosslessJpegInfo info;
  if (!ReadLosslessJpegInfo(data, size, info)) {
    // A DCT stream under a lossless syntax: the JPEG family's DCT decoders.
    int marker = 0;
    if (JpegPrecision(data, size, &marker) > 0 && (marker & 0xF3) != 0xC3)
      return DecodeJpegFrame(data, size, spec, out);
    out.why = "the frame is not a lossless JPEG stream";
    return false;
  }
  const int width = SampleBytes(spec.bitsAllocated);
  const size_t count = out.size / size_t(width);
  LosslessJpegResult result;
  if (info.precision > 8) {
    if (width != 2) {
      out.why = std::to_string(info.precision) + "-bit lossless JPEG samples do not fit " +
                std::to_string(spec.bitsAllocated) + "-bit samples";
      return false;
    }
    result = DecodeLosslessJpeg(data, size, reinterpret_cast<uint16_t*>(out.data), count, nullptr,
                                0, &info);
  } else if (width == 1) {
    result = DecodeLosslessJpeg(data, size, nullptr, 0, out.data, count, &info);
  } else {
    std::vector<uint8_t> bytes(count, 0);
    result = DecodeLosslessJpeg(data, size, nullptr, 0, bytes.data(), count, &info);
    for (size_t i = 0; i < count; ++i) StoreSample(out.data + i * size_t(width), width, bytes[i]);
  }
  if (result == LosslessJpegResult::kFailed) {
    out.why = "the lossless JPEG stream does not decode";
    return false;
  }
  // Partial because the data ran out, not because the stream is larger than the frame.
  if (result == LosslessJpegResult::kPartial &&
      info.width * info.height * std::max(1, info.components) <= int64_t(count))
    out.incomplete = true;
  return true;
}

bool CheckLosslessJpegFrame(const uint8_t* data, size_t size, const FrameSpec& spec,
                            std::string& why) {
  JpegStreamHeader j;
  if (!ReadJpegStreamHeader(data, size, j, why)) return false;
  if (!j.lossless() && !j.jpegLs()) return CheckJpegFrame(data, size, spec, why);
  const auto refuse = [&](std::string text) {
    why = std::move(text);
    return false;
  };
  if (j.marker != 0xC3) return refuse("the frame is not a lossless JPEG stream");
  if (j.precision < 2 || j.precision > 16)
    return refuse(std::to_string(j.precision) + "-bit lossless JPEG streams cannot be decoded");
  if (j.precision > 8 && SampleBytes(spec.bitsAllocated) != 2)
    return refuse(std::to_string(j.precision) + "-bit lossless JPEG samples do not fit " +
                  std::to_string(spec.bitsAllocated) + "-bit samples");
  if (j.width != spec.columns || (j.height != spec.rows && j.height != 0))
    return refuse(
        SizeMismatch("lossless JPEG picture", j.width, j.height, spec.columns, spec.rows));
  if (j.components != spec.samples)
    return refuse("the lossless JPEG stream has " + std::to_string(j.components) +
                  " components, the frame " + std::to_string(spec.samples) + " samples per pixel");
  if (j.ScanBits(size) < spec.pixels() * j.scanComponents)
    return refuse("the lossless JPEG stream (" + std::to_string(size) +
                  " bytes) is too short for a " + std::to_string(spec.columns) + " x " +
                  std::to_string(spec.rows) + " picture");
  return true;
}
