#include "dicom/PerFrameGroups.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>

namespace {

constexpr uint32_t Tag(uint16_t g, uint16_t e) {
  return (uint32_t(g) << 16) | e;
}

constexpr uint32_t kItem = Tag(0xFFFE, 0xE000);
constexpr uint32_t kItemEnd = Tag(0xFFFE, 0xE00D);
constexpr uint32_t kSequenceEnd = Tag(0xFFFE, 0xE0DD);
constexpr uint32_t kSharedGroups = Tag(0x5200, 0x9229);
constexpr uint32_t kPerFrameGroups = Tag(0x5200, 0x9230);
constexpr uint32_t kPixelData = Tag(0x7FE0, 0x0010);
constexpr int kMaxDepth = 16;
constexpr size_t kBad = size_t(-1);

// Tags read as sequences when the encoding does not say (implicit VR with a
// defined length): the ones this walk descends into, and their parents.
bool KnownSequence(uint32_t tag) {
  switch (tag) {
    case kSharedGroups:
    case kPerFrameGroups:
    case Tag(0x0020, 0x9113):  // Plane Position
    case Tag(0x0020, 0x9116):  // Plane Orientation
    case Tag(0x0028, 0x9110):  // Pixel Measures
    case Tag(0x0028, 0x9145):  // Pixel Value Transformation
    case Tag(0x0020, 0x9111):  // Frame Content
      return true;
    default:
      return false;
  }
}

bool LongVR(std::string_view vr) {
  static constexpr std::string_view kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                               "SV", "UC", "UN", "UR", "UT", "UV"};
  return std::find(std::begin(kLong), std::end(kLong), vr) != std::end(kLong);
}

struct Element {
  uint32_t tag = 0;
  char vr[2] = {0, 0};
  size_t value = 0;     // offset of the first value byte
  uint32_t length = 0;  // 0xFFFFFFFF: undefined
  bool sequence = false;
  bool implicitInside = false;  // an explicit-VR UN sequence holds implicit VR items
  bool Undefined() const { return length == 0xFFFFFFFFu; }
  std::string_view VR() const { return {vr, 2}; }
};

struct Visitor {
  virtual ~Visitor() = default;
  // A leaf element and its value bytes (inside the data).
  virtual void Leaf(const Element&, const uint8_t*, size_t) {}
  // The visitor for item k of sequence `seq`; null passes over the item.
  virtual Visitor* Item(const Element& /*seq*/, int /*k*/) { return nullptr; }
  // True when the walk of this level should end before `e` (the pixel data).
  virtual bool StopAt(const Element&) { return false; }
};

class Walker {
 public:
  explicit Walker(const uint8_t* d) : d_(d) {}

  bool explicitVR = true;
  bool little = true;
  std::string error;
  bool truncated = false;  // a value or item ran past the data

  uint16_t U16(size_t at) const {
    return little ? uint16_t(d_[at] | (d_[at + 1] << 8)) : uint16_t((d_[at] << 8) | d_[at + 1]);
  }
  uint32_t U32(size_t at) const {
    return little ? uint32_t(d_[at]) | (uint32_t(d_[at + 1]) << 8) | (uint32_t(d_[at + 2]) << 16) |
                        (uint32_t(d_[at + 3]) << 24)
                  : (uint32_t(d_[at]) << 24) | (uint32_t(d_[at + 1]) << 16) |
                        (uint32_t(d_[at + 2]) << 8) | uint32_t(d_[at + 3]);
  }

  // The element header at pos; false when it does not fit before end.
  bool Header(size_t pos, size_t end, Element& e) {
    if (end < 8 || pos > end - 8) return Short();
    e = Element{};
    e.tag = (uint32_t(U16(pos)) << 16) | U16(pos + 2);
    if ((e.tag >> 16) == 0xFFFE) {
      e.length = U32(pos + 4);
      e.value = pos + 8;
      return true;
    }
    const char a = char(d_[pos + 4]), b = char(d_[pos + 5]);
    const bool looksExplicit = a >= 'A' && a <= 'Z' && b >= 'A' && b <= 'Z';
    if (explicitVR && looksExplicit) {
      e.vr[0] = a;
      e.vr[1] = b;
      if (LongVR(e.VR())) {
        if (end < 12 || pos > end - 12) return Short();
        e.length = U32(pos + 8);
        e.value = pos + 12;
      } else {
        e.length = U16(pos + 6);
        e.value = pos + 8;
      }
      e.sequence = e.VR() == "SQ" || (e.VR() == "UN" && e.Undefined());
      e.implicitInside = e.VR() == "UN";
    } else {
      // Implicit VR (or a file that drops to it): undefined lengths and the
      // tags this walk needs are sequences.
      e.length = U32(pos + 4);
      e.value = pos + 8;
      e.sequence = (e.Undefined() && e.tag != kPixelData) || KnownSequence(e.tag);
    }
    if (e.tag == kPixelData) e.sequence = false;
    return true;
  }

  // Walks the elements of [pos, end); `delimited`: an item of undefined
  // length, ended by its delimiter. Returns the position after the walk.
  size_t Walk(size_t pos, size_t end, bool delimited, int depth, Visitor& v) {
    if (depth > kMaxDepth) return Fail("sequences nest too deep");
    while (pos < end) {
      Element e;
      if (!Header(pos, end, e)) return kBad;
      if (e.tag == kItemEnd) {
        if (delimited) return e.value;
        pos = e.value;  // a stray delimiter: passed over, as the toolkits do
        continue;
      }
      if (e.tag == kSequenceEnd || e.tag == kItem) return Fail("an item delimiter out of place");
      if (v.StopAt(e)) return pos;
      if (e.sequence) {
        pos = Sequence(e, end, depth, v);
        if (pos == kBad) return kBad;
        continue;
      }
      if (e.Undefined()) {
        // Encapsulated pixel data (an icon's): fragments up to the delimiter.
        pos = Fragments(e.value, end);
        if (pos == kBad) return kBad;
        continue;
      }
      if (e.length > end - e.value) return Short();
      v.Leaf(e, d_ + e.value, e.length);
      pos = e.value + e.length;
    }
    if (delimited) return Short();
    return pos;
  }

 private:
  size_t Fail(const std::string& why) {
    if (error.empty()) error = why;
    return kBad;
  }
  bool Short() {
    truncated = true;
    Fail("the data ends inside an element");
    return false;
  }

  size_t Sequence(const Element& seq, size_t end, int depth, Visitor& v) {
    size_t seqEnd = end;
    if (!seq.Undefined()) {
      if (seq.length > end - seq.value) {
        Short();
        return kBad;
      }
      seqEnd = seq.value + seq.length;
    }
    const bool savedExplicit = explicitVR;
    if (seq.implicitInside) explicitVR = false;
    size_t pos = seq.value;
    Visitor skip;
    for (int k = 0;; ++k) {
      if (!seq.Undefined() && pos >= seqEnd) break;
      Element it;
      if (!Header(pos, seqEnd, it)) return kBad;
      if (it.tag == kSequenceEnd) {
        pos = it.value;
        if (seq.Undefined()) break;
        continue;
      }
      if (it.tag != kItem) return Fail("a sequence holds something other than items");
      Visitor* child = v.Item(seq, k);
      Visitor& use = child ? *child : skip;
      if (it.Undefined()) {
        pos = Walk(it.value, seqEnd, true, depth + 1, use);
      } else {
        if (it.length > seqEnd - it.value) {
          Short();
          return kBad;
        }
        if (Walk(it.value, it.value + it.length, false, depth + 1, use) == kBad) return kBad;
        pos = it.value + it.length;
      }
      if (pos == kBad) return kBad;
    }
    explicitVR = savedExplicit;
    return pos;
  }

  size_t Fragments(size_t pos, size_t end) {
    for (;;) {
      Element it;
      if (!Header(pos, end, it)) return kBad;
      if (it.tag == kSequenceEnd) return it.value;
      if (it.tag != kItem || it.Undefined()) return Fail("encapsulated data without items");
      if (it.length > end - it.value) {
        Short();
        return kBad;
      }
      pos = it.value + it.length;
    }
  }

  const uint8_t* d_;
};

// ---- values ----

std::string_view Trimmed(const uint8_t* v, size_t n) {
  std::string_view s(reinterpret_cast<const char*>(v), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

// The numbers of a decimal string value ("1.5\-2\3e1"); false when one does
// not convert or there are fewer than `want`.
template <size_t N>
bool Decimals(const uint8_t* v, size_t n, std::array<double, N>& out, size_t want = N) {
  std::string_view s = Trimmed(v, n);
  size_t got = 0;
  while (got < N) {
    const size_t cut = s.find('\\');
    std::string_view item = s.substr(0, cut);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty() && item.front() == '+') item.remove_prefix(1);
    double x = 0;
    const auto r = std::from_chars(item.data(), item.data() + item.size(), x);
    if (item.empty() || r.ec != std::errc() || r.ptr != item.data() + item.size() ||
        !std::isfinite(x))
      break;
    out[got++] = x;
    if (cut == std::string_view::npos) break;
    s.remove_prefix(cut + 1);
  }
  return got >= want;
}

// Reads the leaves of one functional group item into its values.
class GroupLeaves : public Visitor {
 public:
  GroupLeaves(Walker& w, TFrameGroupValues& out) : w_(w), out_(out) {}
  void Leaf(const Element& e, const uint8_t* v, size_t n) override {
    switch (e.tag) {
      case Tag(0x0020, 0x0032): {
        std::array<double, 3> p{};
        if (Decimals(v, n, p)) {
          out_.position = p;
          out_.hasPosition = true;
        }
        break;
      }
      case Tag(0x0020, 0x0037): {
        std::array<double, 6> o{};
        if (Decimals(v, n, o)) {
          out_.orientation = o;
          out_.hasOrientation = true;
        }
        break;
      }
      case Tag(0x0028, 0x0030): {
        std::array<double, 2> s{};
        if (Decimals(v, n, s)) {
          out_.rowSpacing = s[0];
          out_.columnSpacing = s[1];
          out_.hasSpacing = true;
        }
        break;
      }
      case Tag(0x0018, 0x0050): {
        std::array<double, 1> t{};
        if (Decimals(v, n, t)) {
          out_.thickness = t[0];
          out_.hasThickness = true;
        }
        break;
      }
      case Tag(0x0028, 0x1052):
      case Tag(0x0028, 0x1053): {
        std::array<double, 1> x{};
        if (!Decimals(v, n, x)) break;
        if (!out_.hasRescale) out_.slope = 1, out_.intercept = 0;
        (e.tag == Tag(0x0028, 0x1053) ? out_.slope : out_.intercept) = x[0];
        out_.hasRescale = true;
        break;
      }
      case Tag(0x0020, 0x9056):
        out_.stackId = std::string(Trimmed(v, n));
        break;
      case Tag(0x0020, 0x9057):
        if (n >= 4) out_.inStackPosition = int(std::min<uint32_t>(w_.U32(e.value), 0x7FFFFFFF));
        break;
      case Tag(0x0020, 0x9128):
        if (n >= 4) out_.temporalPosition = int(std::min<uint32_t>(w_.U32(e.value), 0x7FFFFFFF));
        break;
      default:
        break;
    }
  }

 private:
  Walker& w_;
  TFrameGroupValues& out_;
};

// One item of the shared or per-frame groups: descends into the first item
// of each functional group it knows.
class GroupItem : public Visitor {
 public:
  GroupItem(Walker& w, TFrameGroupValues& out) : leaves_(w, out) {}
  Visitor* Item(const Element& seq, int k) override {
    if (k == 0 && KnownSequence(seq.tag) && seq.tag != kSharedGroups && seq.tag != kPerFrameGroups)
      return &leaves_;
    return nullptr;
  }

 private:
  GroupLeaves leaves_;
};

class TopLevel : public Visitor {
 public:
  TopLevel(Walker& w, TPerFrameGroups& out) : w_(w), out_(out), shared_(w, out.shared) {}
  bool StopAt(const Element& e) override {
    stopped = e.tag == kPixelData || e.tag == Tag(0x7FE0, 0x0008) || e.tag == Tag(0x7FE0, 0x0009);
    return stopped;
  }
  bool stopped = false;  // the walk reached the pixel data
  Visitor* Item(const Element& seq, int k) override {
    if (seq.tag == kSharedGroups && k == 0) {
      out_.hasShared = true;
      return &shared_;
    }
    if (seq.tag == kPerFrameGroups) {
      out_.frames.emplace_back();
      // The visitor of the previous item is done with when this one starts.
      frame_ = std::make_unique<GroupItem>(w_, out_.frames.back());
      return frame_.get();
    }
    return nullptr;
  }

 private:
  Walker& w_;
  TPerFrameGroups& out_;
  GroupItem shared_;
  std::unique_ptr<GroupItem> frame_;
};

// The meta group (explicit VR little endian) and the data set's encoding.
class MetaGroup : public Visitor {
 public:
  std::string transferSyntax;
  size_t end = 0;  // offset after the meta group
  bool StopAt(const Element& e) override { return (e.tag >> 16) != 0x0002; }
  void Leaf(const Element& e, const uint8_t* v, size_t n) override {
    if (e.tag == Tag(0x0002, 0x0010)) transferSyntax = std::string(Trimmed(v, n));
  }
};

enum class WalkResult { Done, Truncated, Failed };

// `whole`: data holds the whole file, not only its first part.
WalkResult WalkData(const uint8_t* data, size_t size, bool whole, TPerFrameGroups& out,
                    std::string& why) {
  out = TPerFrameGroups{};
  size_t pos = 0;
  if (size >= 132 && std::memcmp(data + 128, "DICM", 4) == 0) pos = 132;
  Walker w(data);
  std::string syntax;
  if (size >= pos + 8 && data[pos] == 0x02 && data[pos + 1] == 0x00) {
    MetaGroup meta;
    const size_t after = w.Walk(pos, size, false, 0, meta);
    if (after == size_t(-1)) {
      why = "the file meta group cannot be read: " + w.error;
      return w.truncated ? WalkResult::Truncated : WalkResult::Failed;
    }
    pos = after;
    syntax = meta.transferSyntax;
  }
  if (syntax == "1.2.840.10008.1.2.1.99") {
    why = "the data set is deflated";
    return WalkResult::Failed;
  }
  if (syntax == "1.2.840.10008.1.2") {
    w.explicitVR = false;
  } else if (syntax == "1.2.840.10008.1.2.2") {
    w.little = false;
  } else if (syntax.empty() && size >= pos + 6) {
    // No meta group: the first element tells whether a VR follows the tag.
    const char a = char(data[pos + 4]), b = char(data[pos + 5]);
    w.explicitVR = a >= 'A' && a <= 'Z' && b >= 'A' && b <= 'Z';
  }
  TopLevel top(w, out);
  if (w.Walk(pos, size, false, 0, top) == size_t(-1)) {
    why = w.error;
    return w.truncated ? WalkResult::Truncated : WalkResult::Failed;
  }
  // A part that ends between two elements is not the end of the groups.
  if (!whole && !top.stopped) return WalkResult::Truncated;
  return WalkResult::Done;
}

}  // namespace

TFrameGroupValues TPerFrameGroups::Frame(size_t k) const {
  TFrameGroupValues v = shared;
  if (k >= frames.size()) return v;
  const TFrameGroupValues& f = frames[k];
  if (f.hasPosition) v.hasPosition = true, v.position = f.position;
  if (f.hasOrientation) v.hasOrientation = true, v.orientation = f.orientation;
  if (f.hasSpacing)
    v.hasSpacing = true, v.rowSpacing = f.rowSpacing, v.columnSpacing = f.columnSpacing;
  if (f.hasThickness) v.hasThickness = true, v.thickness = f.thickness;
  if (f.hasRescale) v.hasRescale = true, v.slope = f.slope, v.intercept = f.intercept;
  if (!f.stackId.empty()) v.stackId = f.stackId;
  if (f.inStackPosition) v.inStackPosition = f.inStackPosition;
  if (f.temporalPosition) v.temporalPosition = f.temporalPosition;
  return v;
}

bool ReadPerFrameGroupsFromMemory(const uint8_t* data, size_t size, TPerFrameGroups& out,
                                  std::string* reason) {
  std::string why;
  if (WalkData(data, size, true, out, why) == WalkResult::Done) return true;
  if (reason) *reason = why;
  return false;
}

bool ReadPerFrameGroups(const std::string& path, TPerFrameGroups& out, std::string* reason) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    if (reason) *reason = "the file cannot be opened";
    return false;
  }
  const std::streamoff fileSize = in.tellg();
  if (fileSize < 0) {
    if (reason) *reason = "the file cannot be read";
    return false;
  }
  // The groups come before the pixel data: read a first block and grow it
  // only while the walk runs past its end, never the whole of a large file.
  size_t block = std::min<size_t>(size_t(fileSize), size_t(1) << 20);
  std::vector<uint8_t> data;
  for (;;) {
    data.resize(block);
    in.clear();
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(data.data()), std::streamsize(block))) {
      if (reason) *reason = "the file cannot be read";
      return false;
    }
    std::string why;
    const WalkResult r = WalkData(data.data(), data.size(), block == size_t(fileSize), out, why);
    if (r == WalkResult::Done) return true;
    if (r == WalkResult::Truncated && block < size_t(fileSize)) {
      block = std::min<size_t>(size_t(fileSize), block * 4);
      continue;
    }
    if (reason) *reason = why;
    return false;
  }
}
