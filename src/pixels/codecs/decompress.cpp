#include "pixels/codecs/decompress.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace lsjpeg {

namespace {

inline uint64_t LoadBigEndian64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

// The difference of category s whose s extra bits read as d (T.81 F.2.2.1).
// Category 16 is 32768 with no extra bits; a category above 16 only comes from
// a table entry no encoder uses, and counts as 0.
inline uint32_t ExtendDifference(uint32_t d, int s) {
  if (s == 0 || s > 16) return 0;
  if (s == 16) return 32768;
  if (d < (1u << (s - 1))) d -= (1u << s) - 1;
  return d;
}

// Bits left-aligned in a 64-bit buffer, refilled without branches from the
// unstuffed data (which is followed by zero padding) before every
// difference, so each one starts with at least 56 bits at hand.
struct BitReader {
  const uint8_t* data;
  const uint8_t* next;  // first byte not yet in the buffer
  uint64_t buffer;
  unsigned count;  // valid bits at the top of buffer
  uint64_t end;    // bits of real data

  void Seek(size_t byte) {
    next = data + byte;
    buffer = 0;
    count = 0;
  }
  void Refill() {
    buffer |= LoadBigEndian64(next) >> count;
    next += (63 - count) >> 3;
    count |= 56;
  }
  void Consume(unsigned n) {
    buffer <<= n;
    count -= n;
  }
  uint64_t Position() const { return static_cast<uint64_t>(next - data) * 8 - count; }
  bool Exhausted() const { return Position() >= end; }
};

// One difference, modulo 2^32; callers keep the low 8 or 16 bits.
inline uint32_t DecodeDifference(BitReader& r, const HuffmanTable::FastEntry* fast,
                                 const HuffmanTable& t) {
  r.Refill();
  const uint64_t bits = r.buffer;
  const HuffmanTable::FastEntry e = fast[bits >> (64 - kFastBits)];
  if (e.category == HuffmanTable::kResolved) {
    r.Consume(e.length);
    return e.diff;
  }
  int length, category;
  if (e.category != HuffmanTable::kSlow) {
    length = e.length;
    category = e.category;
  } else {
    t.DecodeSlow(bits, length, category);
  }
  if (category == 0 || category >= 16) {  // no extra bits
    r.Consume(static_cast<unsigned>(length));
    return category == 16 ? 32768 : 0;
  }
  const uint32_t d = static_cast<uint32_t>((bits << length) >> (64 - category));
  r.Consume(static_cast<unsigned>(length + category));
  return ExtendDifference(d, category);
}

// Predictor Ss from the left (Ra), upper (Rb) and upper-left (Rc) neighbours.
template <int kPred>
inline int Predict(int ra, int rb, int rc) {
  if constexpr (kPred == 2) return rb;
  if constexpr (kPred == 3) return rc;
  if constexpr (kPred == 4) return ra + rb - rc;
  if constexpr (kPred == 5) return ra + ((rb - rc) >> 1);
  if constexpr (kPred == 6) return rb + ((ra - rc) >> 1);
  if constexpr (kPred == 7) return (ra + rb) >> 1;
  return ra;
}

// A run of n samples of a single-component frame starting at p. A run that
// begins a restart interval (or the scan) predicts its first sample from
// `initial` and the rest from the left neighbour; any other run starts a row
// and predicts its first sample from the one above.
// The reader is copied into a local and the neighbours travel in registers:
// stores to the output could otherwise alias them and force reloads on the
// critical path.
template <int kPred, typename T>
bool DecodeRunSingle(BitReader& reader, const HuffmanTable& t, T* p, int64_t n, int64_t width,
                     bool reset, int initial) {
  BitReader r = reader;
  const HuffmanTable::FastEntry* const fast = t.fast();
  bool complete = true;
  if (r.Exhausted()) {
    complete = false;
  } else if (reset) {
    T ra = static_cast<T>(initial + DecodeDifference(r, fast, t));
    p[0] = ra;
    for (int64_t x = 1; x < n; ++x) {
      if (r.Exhausted()) {
        complete = false;
        break;
      }
      ra = static_cast<T>(ra + DecodeDifference(r, fast, t));
      p[x] = ra;
    }
  } else {
    const T* const above = p - width;
    int rc = above[0];
    T ra = static_cast<T>(rc + DecodeDifference(r, fast, t));
    p[0] = ra;
    for (int64_t x = 1; x < n; ++x) {
      if (r.Exhausted()) {
        complete = false;
        break;
      }
      const int rb = above[x];
      ra = static_cast<T>(Predict<kPred>(ra, rb, rc) + DecodeDifference(r, fast, t));
      p[x] = ra;
      rc = rb;
    }
  }
  reader = r;
  return complete;
}

// The same for interleaved or non-interleaved scans of a multi-component
// frame: each component predicts from neighbours of its own component.
template <int kPred, typename T>
bool DecodeRunMulti(BitReader& reader, const Scan& s, T* row, int64_t x0, int64_t n, bool reset,
                    int initial) {
  BitReader r = reader;
  bool complete = true;
  const int64_t stride = s.frameComponents;
  const int64_t rowLength = s.width * stride;
  for (int64_t x = x0; x < x0 + n; ++x) {
    T* const pixel = row + x * stride;
    for (const ScanComponent& c : s.components) {
      if (r.Exhausted()) {
        reader = r;
        return false;
      }
      T* const p = pixel + c.offset;
      int prediction;
      if (reset) {
        prediction = x == x0 ? initial : p[-stride];
      } else if (x == 0) {
        prediction = p[-rowLength];
      } else {
        prediction = Predict<kPred>(p[-stride], p[-rowLength], p[-rowLength - stride]);
      }
      *p = static_cast<T>(prediction + DecodeDifference(r, c.table->fast(), *c.table));
    }
  }
  reader = r;
  return complete;
}

template <int kPred, typename T>
bool DecodeScanWith(const Scan& s, T* out) {
  BitReader r{s.data, s.data, 0, 0, static_cast<uint64_t>(s.size) * 8};
  const int shift = std::clamp(s.precision - s.pointTransform - 1, 0, 15);
  const int initial = 1 << shift;
  const bool single = s.components.size() == 1 && s.frameComponents == 1;
  const int64_t interval =
      s.restartInterval > 0 ? s.restartInterval : std::numeric_limits<int64_t>::max();
  const size_t restartCount = s.restarts ? s.restarts->size() : 0;
  int64_t left = interval;  // MCUs left in the current restart interval
  size_t intervalIndex = 0;
  for (int64_t y = 0; y < s.rows; ++y) {
    T* const row = out + y * s.width * s.frameComponents;
    bool reset = y == 0;
    int64_t x = 0;
    while (x < s.width) {
      if (left == 0) {
        // The next interval begins after its restart marker; a missing marker
        // resumes at the next whole byte.
        size_t next = intervalIndex < restartCount ? (*s.restarts)[intervalIndex]
                                                   : static_cast<size_t>((r.Position() + 7) / 8);
        next = std::min(next, s.size);
        ++intervalIndex;
        r.Seek(next);
        left = interval;
        reset = true;
      }
      const int64_t n = std::min(s.width - x, left);
      const bool ok = single ? DecodeRunSingle<kPred>(r, *s.components[0].table, row + x, n,
                                                      s.width, reset, initial)
                             : DecodeRunMulti<kPred>(r, s, row, x, n, reset, initial);
      if (!ok) return false;
      x += n;
      if (s.restartInterval > 0) left -= n;
      reset = false;
    }
  }
  return true;
}

template <typename T>
bool DecodeScanT(const Scan& s, T* out) {
  if (s.components.empty() || s.width <= 0 || s.rows <= 0) return true;
  for (const ScanComponent& c : s.components) {
    if (!c.table || c.offset < 0 || c.offset >= s.frameComponents) return false;
  }
  switch (s.predictor) {
    case 2:
      return DecodeScanWith<2>(s, out);
    case 3:
      return DecodeScanWith<3>(s, out);
    case 4:
      return DecodeScanWith<4>(s, out);
    case 5:
      return DecodeScanWith<5>(s, out);
    case 6:
      return DecodeScanWith<6>(s, out);
    case 7:
      return DecodeScanWith<7>(s, out);
    default:
      return DecodeScanWith<1>(s, out);
  }
}

}  // namespace

bool HuffmanTable::Build(const uint8_t counts[16], const uint8_t* values, int valueCount) {
  int total = 0;
  for (int l = 0; l < 16; ++l) total += counts[l];
  if (total > 256 || total != valueCount) return false;
  std::memcpy(values_, values, static_cast<size_t>(total));

  // Canonical codes (T.81 Annex C): increasing length, +1 per code, doubled
  // at each new length.
  int32_t codes[256];
  int lengths[256];
  int32_t code = 0;
  int k = 0;
  maxLength_ = 0;
  for (int l = 1; l <= 16; ++l) {
    valueIndex_[l] = k;
    minCode_[l] = code;
    for (int i = 0; i < counts[l - 1]; ++i) {
      if (code >= (int32_t{1} << l)) return false;
      codes[k] = code;
      lengths[k] = l;
      ++k;
      ++code;
    }
    maxCode_[l] = counts[l - 1] ? code - 1 : -1;
    if (counts[l - 1]) maxLength_ = l;
    code <<= 1;
  }

  fast_ = std::make_unique<FastEntry[]>(size_t{1} << kFastBits);
  std::fill_n(fast_.get(), size_t{1} << kFastBits, FastEntry{0, 0, kSlow});
  for (int i = 0; i < total; ++i) {
    const int l = lengths[i];
    if (l > kFastBits) continue;
    const int s = values_[i];
    const int extra = (s == 0 || s >= 16) ? 0 : s;
    if (l + extra <= kFastBits) {
      const int free = kFastBits - l - extra;
      for (uint32_t e = 0; e < (1u << extra); ++e) {
        const uint32_t base = ((static_cast<uint32_t>(codes[i]) << extra) | e) << free;
        const FastEntry entry{static_cast<uint16_t>(ExtendDifference(e, s)),
                              static_cast<uint8_t>(l + extra), kResolved};
        std::fill_n(fast_.get() + base, size_t{1} << free, entry);
      }
    } else {
      const int free = kFastBits - l;
      const uint32_t base = static_cast<uint32_t>(codes[i]) << free;
      std::fill_n(fast_.get() + base, size_t{1} << free,
                  FastEntry{0, static_cast<uint8_t>(l), static_cast<uint8_t>(s)});
    }
  }
  return true;
}

void HuffmanTable::DecodeSlow(uint64_t bits, int& length, int& category) const {
  int32_t code = 0;
  for (int l = 1; l <= maxLength_; ++l) {
    code = (code << 1) | static_cast<int32_t>((bits >> (64 - l)) & 1);
    if (code <= maxCode_[l]) {
      length = l;
      category = values_[valueIndex_[l] + (code - minCode_[l])];
      return;
    }
  }
  length = 17;
  category = 0;
}

bool DecodeScan(const Scan& scan, uint8_t* out) {
  return DecodeScanT(scan, out);
}
bool DecodeScan(const Scan& scan, uint16_t* out) {
  return DecodeScanT(scan, out);
}

}  // namespace lsjpeg
