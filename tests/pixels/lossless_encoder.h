// A small lossless JPEG (T.81 process 14) encoder for streams no installed
// tool writes: restart intervals, several tables in separate segments,
// non-interleaved scans, category 16, chosen first differences. It follows
// the standard's prediction rules on its own; dcmdjpeg checks the streams.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace codectest {

struct LosslessOptions {
  int precision = 8;
  int predictor = 1;
  int pointTransform = 0;
  int restartInterval = 0;      // MCUs, 0 = none
  bool separateTables = false;  // one table per component, each in its own DHT segment
  bool oneScanPerComponent = false;
  bool emitEoi = true;
  // An AC-class table at destination 0 after the DC tables, in their segment,
  // as writers that emit a baseline table set do; lossless scans ignore it.
  bool acTableToo = false;
  // Two unused 16-bit codes for categories 17 and 18 in every table.
  bool symbolsBeyond16 = false;
};

namespace detail {

// A fixed table for categories 0 ... 16 with short and long codes (the
// longest beyond a 12-bit lookup), incomplete as T.81 allows.
struct Table {
  std::array<uint8_t, 16> counts{};
  std::vector<uint8_t> values;  // in code order
  uint32_t code[17] = {};
  int length[17] = {};

  void Assign() {
    uint32_t c = 0;
    size_t k = 0;
    for (int l = 1; l <= 16; ++l) {
      for (int i = 0; i < counts[l - 1]; ++i, ++k, ++c) {
        if (values[k] > 16) continue;  // listed, never coded
        code[values[k]] = c;
        length[values[k]] = l;
      }
      c <<= 1;
    }
  }
};

inline Table MakeTable(int rotation, bool beyond16 = false) {
  Table t;
  t.counts = {0, 1, 3, 3, 2, 2, 1, 1, 0, 1, 0, 0, 1, 1, 0, 1};
  for (int i = 0; i < 17; ++i) t.values.push_back(static_cast<uint8_t>((i + rotation) % 17));
  if (beyond16) {
    t.counts[15] += 2;
    t.values.insert(t.values.end(), {17, 18});
  }
  t.Assign();
  return t;
}

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  void Put(uint32_t bits, int n) {
    for (int i = n - 1; i >= 0; --i) {
      acc_ = static_cast<uint8_t>(acc_ << 1 | ((bits >> i) & 1));
      if (++count_ == 8) Flush();
    }
  }
  // Pads the last byte with ones, as T.81 asks before a marker.
  void Align() {
    while (count_ != 0) Put(1, 1);
  }

 private:
  void Flush() {
    out_.push_back(acc_);
    if (acc_ == 0xFF) out_.push_back(0x00);
    acc_ = 0;
    count_ = 0;
  }
  std::vector<uint8_t>& out_;
  uint8_t acc_ = 0;
  int count_ = 0;
};

inline void Put16(std::vector<uint8_t>& o, int v) {
  o.push_back(static_cast<uint8_t>(v >> 8));
  o.push_back(static_cast<uint8_t>(v));
}

inline void EncodeDifference(BitWriter& w, const Table& t, uint32_t diff16) {
  if (diff16 == 32768) {
    w.Put(t.code[16], t.length[16]);
    return;
  }
  const int d = diff16 >= 32768 ? static_cast<int>(diff16) - 65536 : static_cast<int>(diff16);
  int s = 0;
  for (int a = d < 0 ? -d : d; a; a >>= 1) ++s;
  w.Put(t.code[s], t.length[s]);
  if (s) w.Put(static_cast<uint32_t>(d < 0 ? d + (1 << s) - 1 : d), s);
}

}  // namespace detail

// `samples` are width x height pixels of `components` interleaved samples.
inline std::vector<uint8_t> EncodeLossless(const std::vector<uint16_t>& samples, int width,
                                           int height, int components, const LosslessOptions& o) {
  using namespace detail;
  std::vector<uint8_t> out = {0xFF, 0xD8};
  // SOF3
  out.insert(out.end(), {0xFF, 0xC3});
  Put16(out, 8 + 3 * components);
  out.push_back(static_cast<uint8_t>(o.precision));
  Put16(out, height);
  Put16(out, width);
  out.push_back(static_cast<uint8_t>(components));
  for (int c = 0; c < components; ++c) out.insert(out.end(), {uint8_t(c + 1), 0x11, 0});

  std::vector<Table> tables;
  const int tableCount = o.separateTables ? components : 1;
  for (int t = 0; t < tableCount; ++t) tables.push_back(MakeTable(5 * t, o.symbolsBeyond16));
  const Table ac = MakeTable(8);
  auto writeTable = [&](int t) {
    const bool withAc = o.acTableToo && t == tableCount - 1;
    out.insert(out.end(), {0xFF, 0xC4});
    Put16(out, 2 + 17 + static_cast<int>(tables[t].values.size()) +
                   (withAc ? 17 + static_cast<int>(ac.values.size()) : 0));
    out.push_back(static_cast<uint8_t>(t));
    out.insert(out.end(), tables[t].counts.begin(), tables[t].counts.end());
    out.insert(out.end(), tables[t].values.begin(), tables[t].values.end());
    if (withAc) {
      out.push_back(0x10);
      out.insert(out.end(), ac.counts.begin(), ac.counts.end());
      out.insert(out.end(), ac.values.begin(), ac.values.end());
    }
  };
  for (int t = 0; t < tableCount; ++t) writeTable(t);
  if (o.restartInterval > 0) {
    out.insert(out.end(), {0xFF, 0xDD, 0x00, 0x04});
    Put16(out, o.restartInterval);
  }

  std::vector<int> shifted(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) shifted[i] = samples[i] >> o.pointTransform;
  const int initial = 1 << (o.precision - o.pointTransform - 1);

  std::vector<std::vector<int>> scans;
  if (o.oneScanPerComponent) {
    for (int c = 0; c < components; ++c) scans.push_back({c});
  } else {
    scans.push_back({});
    for (int c = 0; c < components; ++c) scans.back().push_back(c);
  }
  for (const std::vector<int>& scan : scans) {
    out.insert(out.end(), {0xFF, 0xDA});
    Put16(out, 6 + 2 * static_cast<int>(scan.size()));
    out.push_back(static_cast<uint8_t>(scan.size()));
    for (int c : scan) {
      out.push_back(static_cast<uint8_t>(c + 1));
      out.push_back(static_cast<uint8_t>((o.separateTables ? c : 0) << 4));
    }
    out.push_back(static_cast<uint8_t>(o.predictor));
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(o.pointTransform));

    BitWriter w(out);
    int left = o.restartInterval;
    int marker = 0;
    auto at = [&](int x, int y, int c) {
      return shifted[(size_t(y) * width + x) * components + c];
    };
    for (int y = 0; y < height; ++y) {
      bool firstRowMode = y == 0;
      for (int x = 0; x < width; ++x) {
        bool reset = x == 0 && y == 0;
        if (o.restartInterval > 0 && left == 0) {
          w.Align();
          out.insert(out.end(), {0xFF, static_cast<uint8_t>(0xD0 + marker)});
          marker = (marker + 1) & 7;
          left = o.restartInterval;
          reset = true;
          firstRowMode = true;
        }
        for (int c : scan) {
          int pred;
          if (reset) {
            pred = initial;
          } else if (firstRowMode) {
            pred = at(x - 1, y, c);
          } else if (x == 0) {
            pred = at(x, y - 1, c);
          } else {
            const int ra = at(x - 1, y, c), rb = at(x, y - 1, c), rc = at(x - 1, y - 1, c);
            switch (o.predictor) {
              case 2:
                pred = rb;
                break;
              case 3:
                pred = rc;
                break;
              case 4:
                pred = ra + rb - rc;
                break;
              case 5:
                pred = ra + ((rb - rc) >> 1);
                break;
              case 6:
                pred = rb + ((ra - rc) >> 1);
                break;
              case 7:
                pred = (ra + rb) >> 1;
                break;
              default:
                pred = ra;
                break;
            }
          }
          const Table& t = tables[o.separateTables ? c : 0];
          EncodeDifference(w, t, static_cast<uint32_t>(at(x, y, c) - pred) & 0xFFFF);
        }
        if (o.restartInterval > 0) --left;
      }
    }
    w.Align();
  }
  if (o.emitEoi) out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace codectest
