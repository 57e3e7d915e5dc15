#include "dicom/DicomElements.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>

#include "dicom/DeflatedDataSet.h"
#include "dicom/DicomCharset.h"
#include "dicom/DicomDictionary.h"
#include "dicom/dicom.h"
#include "dicom/dicom_values.h"

namespace {

constexpr uint32_t kUndefined = 0xFFFFFFFFu;
constexpr uint32_t kItem = 0xFFFEE000u, kItemEnd = 0xFFFEE00Du, kSequenceEnd = 0xFFFEE0DDu;
constexpr uint32_t kPixelData = 0x7FE00010u;
constexpr const char* kImplicitLE = "1.2.840.10008.1.2";
constexpr const char* kExplicitLE = "1.2.840.10008.1.2.1";
constexpr const char* kExplicitBE = "1.2.840.10008.1.2.2";
constexpr const char* kDeflated = "1.2.840.10008.1.2.1.99";

bool IsVR(const char* v) {
  static constexpr const char* kVRs[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL",
                                         "IS", "LO", "LT", "OB", "OD", "OF", "OL", "OV", "OW",
                                         "PN", "SH", "SL", "SQ", "SS", "ST", "SV", "TM", "UC",
                                         "UI", "UL", "UN", "UR", "US", "UT", "UV"};
  for (const char* k : kVRs)
    if (v[0] == k[0] && v[1] == k[1]) return true;
  return false;
}

// VRs whose explicit header has two reserved bytes and a 32-bit length.
bool HasLongLength(std::string_view vr) {
  static constexpr std::string_view kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                               "SV", "UC", "UN", "UR", "UT", "UV"};
  return std::find(std::begin(kLong), std::end(kLong), vr) != std::end(kLong);
}

int NumberSize(std::string_view vr) {
  if (vr == "US" || vr == "SS") return 2;
  if (vr == "UL" || vr == "SL" || vr == "FL") return 4;
  if (vr == "FD" || vr == "SV" || vr == "UV") return 8;
  return 0;
}

bool IsBulk(std::string_view vr) {
  return vr == "OB" || vr == "OD" || vr == "OF" || vr == "OL" || vr == "OV" || vr == "OW" ||
         vr == "UN";
}

// Text VRs that may hold several values separated by "\".
bool IsMultiValuedText(std::string_view vr) {
  return vr != "LT" && vr != "ST" && vr != "UT" && vr != "UR";
}

// Text VRs written in the data set's character set; the rest are ASCII codes.
bool UsesCharset(std::string_view vr) {
  return vr == "SH" || vr == "LO" || vr == "ST" || vr == "LT" || vr == "UC" || vr == "UT" ||
         vr == "PN";
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\0')) s.remove_prefix(1);
  return std::string(s);
}

struct Syntax {
  bool explicitVR = true;
  bool big = false;
};

// One data set being read (the file's or an item's): what later elements of
// it, and of the items inside it, need from earlier ones.
struct Scope {
  const Scope* parent = nullptr;
  std::vector<std::string> charset;
  int pixelRepresentation = -1;              // -1: not given here
  int64_t lutEntries = -1;                   // first value of this item's LUT Descriptor
  std::map<uint32_t, std::string> creators;  // (group << 8 | block) -> creator

  int PixelRepresentation() const {
    for (const Scope* s = this; s; s = s->parent)
      if (s->pixelRepresentation >= 0) return s->pixelRepresentation;
    return 0;
  }
};

struct Header {
  uint32_t tag = 0;
  char vr[3] = {0, 0, 0};
  bool hasVR = false;  // explicit and a real VR code
  uint32_t length = 0;
  int64_t valuePos = 0;
};

class Walker {
 public:
  // `inflated`: the source is a deflated file's logical stream (its meta
  // group, then the data set inflated), read as explicit VR little endian.
  explicit Walker(DicomByteSource& source, bool inflated = false)
      : src_(source), size_(source.Size()), inflated_(inflated) {}
  TagListing Run();

 private:
  bool Read(int64_t pos, size_t n, uint8_t* dst);
  bool ReadBytes(int64_t pos, int64_t n, std::string& out);
  uint16_t U16(const uint8_t* p, bool big) const {
    return big ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
  }
  uint32_t U32(const uint8_t* p, bool big) const {
    return big ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
               : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
  }
  bool ReadTag(int64_t pos, bool big, uint32_t& tag) {
    uint8_t b[4];
    if (!Read(pos, 4, b)) return false;
    tag = uint32_t(U16(b, big)) << 16 | U16(b + 2, big);
    return true;
  }
  bool ReadHeader(int64_t pos, Syntax syn, Header& h);
  // Elements from pos up to end; end < 0: up to an item delimiter (consumed).
  // Returns where the data set ends.
  int64_t DataSet(int64_t pos, int64_t end, Syntax syn, Scope& scope, std::vector<TagElement>& out,
                  int depth);
  // Returns the position after the element.
  int64_t Element(const Header& h, Syntax syn, Scope& scope, TagElement& e, int depth);
  int64_t Sequence(int64_t pos, uint32_t length, Syntax syn, const Scope& scope, TagElement& e,
                   int depth);
  int64_t Encapsulated(int64_t pos, TagElement& e);
  std::string ResolveVR(const Header& h, const Scope& scope, const DictionaryInfo* info,
                        bool& sequence);
  void Decode(const std::string& bytes, bool big, const Scope& scope, TagElement& e);
  void Describe(uint32_t tag, const Scope& scope, TagElement& e, const DictionaryInfo*& info);
  void Warn(const std::string& text) {
    if (warning_.empty()) warning_ = text;
  }
  // Damage past which nothing more can be read.
  void Damage(const std::string& text) {
    Warn(text);
    stop_ = true;
  }
  bool LooksExplicit(int64_t pos) {
    uint8_t b[6];
    if (!Read(pos, 6, b)) return false;
    const char v[2] = {char(b[4]), char(b[5])};
    return IsVR(v);
  }

  DicomByteSource& src_;
  const int64_t size_;
  const bool inflated_;
  std::vector<uint8_t> window_;
  int64_t windowStart_ = 0;
  CharsetDecoder charset_;
  std::string warning_;
  bool stop_ = false;
  size_t count_ = 0;
};

bool Walker::Read(int64_t pos, size_t n, uint8_t* dst) {
  if (pos < 0 || n > uint64_t(size_) || pos > size_ - int64_t(n)) return false;
  while (n > 0) {
    const int64_t end = windowStart_ + int64_t(window_.size());
    if (pos < windowStart_ || pos >= end) {
      size_t got = 0;
      const uint8_t* p = src_.Map(pos, 65536, got);
      if (!p || got == 0) return false;
      window_.assign(p, p + got);
      windowStart_ = pos;
      continue;
    }
    const size_t take = std::min<size_t>(n, size_t(end - pos));
    std::memcpy(dst, window_.data() + (pos - windowStart_), take);
    dst += take;
    pos += int64_t(take);
    n -= take;
  }
  return true;
}

bool Walker::ReadBytes(int64_t pos, int64_t n, std::string& out) {
  out.clear();
  if (n < 0 || pos < 0 || pos > size_ || n > size_ - pos) return false;
  out.resize(size_t(n));
  return Read(pos, size_t(n), reinterpret_cast<uint8_t*>(out.data()));
}

bool Walker::ReadHeader(int64_t pos, Syntax syn, Header& h) {
  uint8_t b[12];
  if (!Read(pos, 8, b)) return false;
  h = Header{};
  h.tag = uint32_t(U16(b, syn.big)) << 16 | U16(b + 2, syn.big);
  if ((h.tag >> 16) == 0xFFFE || !syn.explicitVR) {
    h.length = U32(b + 4, syn.big);
    h.valuePos = pos + 8;
    return true;
  }
  const char v[2] = {char(b[4]), char(b[5])};
  if (!IsVR(v)) {
    // Not a VR: an element written the implicit way inside an explicit data set.
    h.length = U32(b + 4, syn.big);
    h.valuePos = pos + 8;
    return true;
  }
  h.vr[0] = v[0];
  h.vr[1] = v[1];
  h.hasVR = true;
  if (HasLongLength(h.vr)) {
    if (!Read(pos + 8, 4, b + 8)) return false;
    h.length = U32(b + 8, syn.big);
    h.valuePos = pos + 12;
  } else {
    h.length = U16(b + 6, syn.big);
    h.valuePos = pos + 8;
  }
  return true;
}

void Walker::Describe(uint32_t tag, const Scope& scope, TagElement& e,
                      const DictionaryInfo*& info) {
  const uint16_t group = uint16_t(tag >> 16), element = uint16_t(tag);
  info = nullptr;
  if (IsPrivateGroup(group)) {
    if (IsPrivateCreator(group, element)) {
      e.name = "Private Creator";
      return;
    }
    if (element == 0) {
      e.name = "Private Group Length";
      return;
    }
    const auto it = scope.creators.find(uint32_t(group) << 8 | (element >> 8));
    if (element >= 0x1000 && it != scope.creators.end()) {
      e.creator = it->second;
      info = LookupPrivate(group, it->second, uint8_t(element & 0xFF));
    }
    e.name = info ? info->name : "Private tag data";
    return;
  }
  info = LookupTag(tag);
  if (info) {
    e.keyword = info->keyword;
    e.name = info->name;
  } else {
    e.name = "Unknown";
  }
}

std::string Walker::ResolveVR(const Header& h, const Scope& scope, const DictionaryInfo* info,
                              bool& sequence) {
  const uint16_t group = uint16_t(h.tag >> 16), element = uint16_t(h.tag);
  sequence = false;
  std::string vr;
  if (h.hasVR && std::string_view(h.vr) != "UN") {
    vr = h.vr;
  } else if (h.hasVR && IsPrivateGroup(group) && !info && !IsPrivateCreator(group, element)) {
    vr = "UN";  // a private UN the dictionary cannot name
  } else if (h.hasVR && !IsPrivateGroup(group) && h.length != kUndefined && h.length >= 0xFFFF) {
    vr = "UN";  // too long to be what the dictionary says
  } else if (IsPrivateCreator(group, element)) {
    vr = "LO";
  } else if (info) {
    vr = info->vr;
  } else if (element == 0) {
    vr = "UL";
  } else {
    vr = "UN";
  }
  // DCMTK's codes for the VRs the dictionary cannot fix.
  if (vr == "xs") {
    vr = scope.PixelRepresentation() == 1 ? "SS" : "US";
  } else if (vr == "up") {
    vr = "UL";
  } else if (vr == "px" || vr == "ox") {
    vr = h.length == kUndefined ? "OB" : "OW";
  } else if (vr == "lt") {
    vr = h.tag == 0x00283006u && scope.lutEntries == 1 ? "US" : "OW";
  } else if (vr == "na" || vr.size() != 2) {
    vr = "UN";
  }
  if (vr == "SQ") sequence = true;
  // An undefined length that is not pixel data can only be a sequence.
  if (h.length == kUndefined && h.tag != kPixelData && !sequence && (vr == "UN" || !h.hasVR)) {
    vr = "SQ";
    sequence = true;
  }
  return vr;
}

void Walker::Decode(const std::string& bytes, bool big, const Scope& scope, TagElement& e) {
  const std::string_view vr = e.vr;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (const int size = NumberSize(vr)) {
    e.kind = TagElement::Kind::Numbers;
    const size_t count = bytes.size() / size_t(size);
    e.numbers.reserve(count);
    for (size_t k = 0; k < count; ++k, p += size) {
      ElementNumber n;
      uint64_t raw = 0;
      for (int b = 0; b < size; ++b) raw |= uint64_t(p[big ? size - 1 - b : b]) << (8 * b);
      if (vr == "FL") {
        float f;
        const uint32_t r32 = uint32_t(raw);
        std::memcpy(&f, &r32, 4);
        n.kind = ElementNumber::Float32;
        n.f = f;
      } else if (vr == "FD") {
        double d;
        std::memcpy(&d, &raw, 8);
        n.kind = ElementNumber::Float64;
        n.f = d;
      } else if (vr == "US" || vr == "UL" || vr == "UV") {
        n.kind = ElementNumber::Unsigned;
        n.u = raw;
      } else {
        n.kind = ElementNumber::Signed;
        const int shift = 64 - 8 * size;
        n.i = int64_t(raw << shift) >> shift;
      }
      e.numbers.push_back(n);
    }
    return;
  }
  if (vr == "AT") {
    e.kind = TagElement::Kind::Tags;
    for (size_t k = 0; k + 4 <= bytes.size(); k += 4)
      e.texts.push_back(TagText(uint32_t(U16(p + k, big)) << 16 | U16(p + k + 2, big)));
    return;
  }
  e.kind = TagElement::Kind::Text;
  std::vector<std::string_view> parts;
  const std::string_view all(bytes);
  if (IsMultiValuedText(vr)) {
    size_t start = 0;
    while (true) {
      const size_t at = all.find('\\', start);
      parts.push_back(all.substr(start, at == std::string_view::npos ? at : at - start));
      if (at == std::string_view::npos) break;
      start = at + 1;
    }
  } else {
    parts.push_back(all);
  }
  // Padding and, where the standard makes them insignificant in numbers and
  // titles, leading spaces go; elsewhere leading spaces are part of the text.
  const bool stripLeading = vr == "AE" || vr == "DS" || vr == "IS";
  for (std::string_view part : parts) {
    while (!part.empty() && (part.back() == ' ' || part.back() == '\0')) part.remove_suffix(1);
    if (stripLeading)
      while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    // Empty trailing component groups of a name ("Wang^XiaoDong=...=") say nothing.
    if (vr == "PN")
      while (!part.empty() && part.back() == '=') part.remove_suffix(1);
    e.texts.push_back(UsesCharset(vr) ? charset_.Decode(part, scope.charset)
                                      : CharsetDecoder::Latin1(part));
  }
}

int64_t Walker::Encapsulated(int64_t pos, TagElement& e) {
  e.kind = TagElement::Kind::Bulk;
  e.fragments = 0;
  int64_t p = pos;
  while (true) {
    uint8_t b[8];
    if (!Read(p, 8, b)) {
      e.truncated = true;
      Damage("the file ends inside the encapsulated pixel data of " + TagText(e.tag));
      e.length = size_ - pos;
      return size_;
    }
    // Encapsulated data is always little endian.
    const uint32_t tag = uint32_t(U16(b, false)) << 16 | U16(b + 2, false);
    const uint32_t length = U32(b + 4, false);
    if (tag == kSequenceEnd) {
      e.length = p - pos;
      return p + 8;
    }
    if (tag != kItem || length == kUndefined) {
      Damage("the encapsulated pixel data of " + TagText(e.tag) + " holds " + TagText(tag) +
             " where an item belongs");
      e.length = p - pos;
      return size_;
    }
    ++e.fragments;
    if (int64_t(length) > size_ - (p + 8)) {
      e.truncated = true;
      Damage("the file ends inside fragment " + std::to_string(e.fragments) + " of " +
             TagText(e.tag));
      e.length = size_ - pos;
      return size_;
    }
    p += 8 + int64_t(length);
  }
}

int64_t Walker::Sequence(int64_t pos, uint32_t length, Syntax syn, const Scope& scope,
                         TagElement& e, int depth) {
  e.kind = TagElement::Kind::Sequence;
  const bool undefined = length == kUndefined;
  int64_t end = undefined ? -1 : pos + int64_t(length);
  // A sequence or item cut off by the end of the file is read as far as it goes.
  bool cut = false;
  if (end > size_) {
    e.truncated = cut = true;
    Warn("the file ends inside the sequence " + TagText(e.tag));
    end = size_;
  }
  if (depth >= kMaxDepth) {
    Damage("sequences nest deeper than " + std::to_string(kMaxDepth) + " levels at " +
           TagText(e.tag));
    return end >= 0 ? end : size_;
  }
  int64_t p = pos;
  while (!stop_ && (end < 0 || p < end)) {
    uint32_t tag = 0;
    uint8_t b[8];
    if (!Read(p, 8, b)) {
      Damage("the file ends inside the sequence " + TagText(e.tag));
      return size_;
    }
    tag = uint32_t(U16(b, syn.big)) << 16 | U16(b + 2, syn.big);
    const uint32_t itemLength = U32(b + 4, syn.big);
    if (tag == kSequenceEnd) {
      p += 8;
      break;
    }
    if (tag != kItem) {
      Damage("the sequence " + TagText(e.tag) + " holds " + TagText(tag) +
             " where an item belongs");
      return end >= 0 ? end : size_;
    }
    p += 8;
    Scope child;
    child.parent = &scope;
    child.charset = scope.charset;
    e.items.emplace_back();
    if (itemLength == kUndefined) {
      p = DataSet(p, -1, syn, child, e.items.back(), depth + 1);
    } else {
      int64_t itemEnd = p + int64_t(itemLength);
      bool itemCut = false;
      if (itemEnd > size_ || (end >= 0 && itemEnd > end)) {
        Warn("item " + std::to_string(e.items.size()) + " of " + TagText(e.tag) +
             " runs past the end of its " + (itemEnd > size_ ? "file" : "sequence"));
        itemEnd = std::min(size_, end >= 0 ? end : size_);
        itemCut = true;
      }
      DataSet(p, itemEnd, syn, child, e.items.back(), depth + 1);
      p = itemEnd;
      if (itemCut) stop_ = true;
    }
  }
  if (cut) stop_ = true;
  return end >= 0 ? std::max(p, end) : p;
}

int64_t Walker::Element(const Header& h, Syntax syn, Scope& scope, TagElement& e, int depth) {
  const DictionaryInfo* info = nullptr;
  e.tag = h.tag;
  Describe(h.tag, scope, e, info);
  bool sequence = false;
  e.vr = ResolveVR(h, scope, info, sequence);
  if (sequence) {
    // A UN that holds a sequence is coded implicit VR little endian.
    const bool wasUN = h.hasVR && std::string_view(h.vr) == "UN";
    const Syntax inner = wasUN ? Syntax{false, false} : syn;
    return Sequence(h.valuePos, h.length, inner, scope, e, depth);
  }
  if (h.length == kUndefined) {
    if (h.tag == kPixelData || IsBulk(e.vr)) return Encapsulated(h.valuePos, e);
    Damage(TagText(h.tag) + " has an undefined length, which its VR " + e.vr + " cannot have");
    return size_;
  }
  int64_t length = h.length;
  if (length > size_ - h.valuePos) {
    e.truncated = true;
    Damage("the file ends inside " + TagText(h.tag) + ": " + std::to_string(size_ - h.valuePos) +
           " of " + std::to_string(length) + " bytes are present");
    length = std::max<int64_t>(0, size_ - h.valuePos);
  }
  e.length = length;
  if (IsBulk(e.vr)) {
    e.kind = TagElement::Kind::Bulk;
    std::string head;
    if (ReadBytes(h.valuePos, std::min<int64_t>(length, 16), head)) {
      static const char* kHex = "0123456789abcdef";
      for (size_t k = 0; k < head.size(); ++k) {
        if (k) e.preview += ' ';
        e.preview += kHex[uint8_t(head[k]) >> 4];
        e.preview += kHex[uint8_t(head[k]) & 15];
      }
    }
    return h.valuePos + length;
  }
  std::string bytes;
  if (!ReadBytes(h.valuePos, length, bytes)) {
    Damage("the value of " + TagText(h.tag) + " cannot be read");
    return size_;
  }
  Decode(bytes, syn.big, scope, e);
  // What later elements of this data set depend on.
  if (h.tag == 0x00080005u) {
    scope.charset.clear();
    for (const auto& t : e.texts) scope.charset.push_back(Trimmed(t));
  } else if (h.tag == 0x00280103u && !e.numbers.empty()) {
    scope.pixelRepresentation = e.numbers[0].u == 1 || e.numbers[0].i == 1 ? 1 : 0;
  } else if (h.tag == 0x00283002u && !e.numbers.empty()) {
    scope.lutEntries =
        e.numbers[0].kind == ElementNumber::Unsigned ? int64_t(e.numbers[0].u) : e.numbers[0].i;
  } else if (IsPrivateCreator(uint16_t(h.tag >> 16), uint16_t(h.tag)) && !e.texts.empty()) {
    scope.creators[(h.tag >> 16) << 8 | (h.tag & 0xFF)] = Trimmed(e.texts[0]);
  }
  return h.valuePos + length;
}

int64_t Walker::DataSet(int64_t pos, int64_t end, Syntax syn, Scope& scope,
                        std::vector<TagElement>& out, int depth) {
  int64_t p = pos;
  while (!stop_) {
    if (end >= 0 && p >= end) return p;
    if (end < 0 && p >= size_) {
      Damage("the file ends inside an item");
      return p;
    }
    Header h;
    if (!ReadHeader(p, syn, h)) {
      if (end < 0 || end > p) Damage("the file ends inside the header of an element");
      return size_;
    }
    if (h.tag == kItemEnd) {
      if (end < 0) return h.valuePos;
      p = h.valuePos;  // a stray delimiter in an item of defined length
      continue;
    }
    if (h.tag == kSequenceEnd) {
      // A sequence delimiter where the item's own is missing ends the item;
      // the sequence reads it again. At the top level it is skipped.
      if (end < 0 && depth > 0) return p;
      p = h.valuePos;
      continue;
    }
    TagElement e;
    e.offset = p;
    p = Element(h, syn, scope, e, depth);
    out.push_back(std::move(e));
    ++count_;
  }
  return p;
}

TagListing Walker::Run() {
  TagListing result;
  uint8_t marker[4];
  int64_t pos = 0;
  if (Read(128, 4, marker) && std::memcmp(marker, "DICM", 4) == 0) pos = 132;
  const bool preamble = pos == 132;

  // Without the marker the file must start with a data set we can recognise.
  uint32_t first = 0;
  if (!ReadTag(pos, false, first)) {
    result.error = "the file is too short to be DICOM";
    return result;
  }
  const uint16_t groupLE = uint16_t(first >> 16);
  const uint16_t groupBE = uint16_t((groupLE >> 8) | (groupLE << 8));

  Scope root;
  std::string syntax;
  // The file meta information: group 0002, explicit VR little endian.
  if (groupLE == 0x0002) {
    while (!stop_) {
      uint32_t tag = 0;
      if (!ReadTag(pos, false, tag) || (tag >> 16) != 0x0002) break;
      Header h;
      if (!ReadHeader(pos, Syntax{LooksExplicit(pos), false}, h)) break;
      TagElement e;
      e.offset = pos;
      pos = Element(h, Syntax{h.hasVR, false}, root, e, 0);
      if (e.tag == 0x00020010u && !e.texts.empty()) syntax = Trimmed(e.texts[0]);
      result.elements.push_back(std::move(e));
      ++count_;
    }
  } else if (!preamble) {
    const uint16_t g = std::min(groupLE, groupBE);
    uint8_t head[8] = {};
    Read(pos, 8, head);
    const bool zeros = std::all_of(head, head + 8, [](uint8_t b) { return b == 0; });
    if (g > 0x0008 || (g & 1) || zeros) {
      result.error = "not a DICOM file: no DICM marker and no data set at its start";
      return result;
    }
  }

  Syntax syn;
  if (syntax == kImplicitLE) {
    syn = {false, false};
  } else if (syntax == kExplicitBE) {
    syn = {true, true};
  } else if (syntax == kDeflated && !inflated_) {
    result.ok = false;
    result.transferSyntax = syntax;
    result.error = "the data set is deflate-compressed (" + syntax +
                   "), which the tag listing cannot read yet";
    result.count = count_;
    return result;
  } else if (!syntax.empty()) {
    syn = {true, false};
  } else {
    // No transfer syntax: the data set tells its byte order and VR coding.
    uint32_t tag = 0;
    if (ReadTag(pos, false, tag)) {
      const uint16_t g = uint16_t(tag >> 16), swapped = uint16_t((g >> 8) | (g << 8));
      syn.big = swapped < g;
    }
    syn.explicitVR = LooksExplicit(pos);
  }
  // The syntax named is checked against the first element, as files that
  // write the wrong one are common (and implicit VR lengths never spell a VR).
  if (pos < size_) {
    const bool looks = LooksExplicit(pos);
    if (looks != syn.explicitVR) syn.explicitVR = looks;
  }
  if (syntax.empty()) syntax = !syn.explicitVR ? kImplicitLE : syn.big ? kExplicitBE : kExplicitLE;
  result.transferSyntax = syntax;

  if (pos < size_) DataSet(pos, size_, syn, root, result.elements, 0);
  result.ok = true;
  result.warning = warning_;
  result.count = count_;
  return result;
}

std::string ShortestDouble(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace

std::string TagText(uint32_t tag) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "(%04X,%04X)", unsigned(tag >> 16), unsigned(tag & 0xFFFF));
  return buf;
}

std::string NumberText(const ElementNumber& n, bool wide) {
  switch (n.kind) {
    case ElementNumber::Signed:
      return std::to_string(n.i);
    case ElementNumber::Unsigned:
      return std::to_string(n.u);
    case ElementNumber::Float32:
      if (!wide && std::isfinite(n.f)) {
        char buf[64];
        const auto r = std::to_chars(buf, buf + sizeof buf, float(n.f));
        return std::string(buf, r.ptr);
      }
      return ShortestDouble(n.f);
    case ElementNumber::Float64:
      return ShortestDouble(n.f);
  }
  return {};
}

std::string ElementValueText(const TagElement& e) {
  switch (e.kind) {
    case TagElement::Kind::Sequence: {
      const size_t n = e.items.size();
      return std::to_string(n) + (n == 1 ? " item" : " items");
    }
    case TagElement::Kind::Bulk: {
      std::string s = e.fragments >= 0 ? "encapsulated, " + std::to_string(e.fragments) +
                                             (e.fragments == 1 ? " fragment, " : " fragments, ")
                                       : std::string();
      s += std::to_string(e.length) + (e.length == 1 ? " byte" : " bytes");
      if (e.fragments < 0 && !e.preview.empty() && e.length <= 16) s += ": " + e.preview;
      if (e.truncated) s += " (truncated)";
      return s;
    }
    case TagElement::Kind::Numbers: {
      std::string s;
      for (size_t k = 0; k < e.numbers.size(); ++k) {
        if (k) s += '\\';
        s += NumberText(e.numbers[k]);
      }
      return s;
    }
    default: {
      std::string s;
      for (size_t k = 0; k < e.texts.size(); ++k) {
        if (k) s += '\\';
        s += e.texts[k];
      }
      return s;
    }
  }
}

TagListing ReadTagListing(DicomByteSource& source) {
  Walker w(source);
  return w.Run();
}

TagListing ReadTagListing(const std::string& path) {
  try {
    // Only a file whose meta group names the deflated syntax is inflated;
    // the meta group sits in the first few hundred bytes.
    bool deflated = false;
    {
      FileByteSource head;
      if (head.Open(path)) {
        size_t got = 0;
        const uint8_t* bytes = head.Map(0, size_t(std::min<int64_t>(head.Size(), 1 << 16)), got);
        deflated = bytes && DeflatedDataSetStart(bytes, got) > 0;
      }
    }
    std::string why;
    if (const std::shared_ptr<const InflatedFile> inflated =
            deflated ? InflatedDataSetOf(path, &why) : nullptr) {
      MemoryByteSource stream(inflated->data(), inflated->size());
      Walker w(stream, true);
      TagListing r = w.Run();
      if (inflated->truncated && r.warning.empty())
        r.warning = "the deflated data set ends before its end";
      return r;
    }
    if (!why.empty()) {
      TagListing r;
      r.error = why;
      return r;
    }
    FileByteSource file;
    if (!file.Open(path)) {
      TagListing r;
      r.error = "no such file";
      return r;
    }
    return ReadTagListing(file);
  } catch (const std::exception& e) {
    TagListing r;
    r.error = e.what();
    return r;
  }
}

namespace {

void AppendListing(const std::vector<TagElement>& elements, int depth, std::string& out) {
  const std::string indent(size_t(depth) * 2, ' ');
  for (const TagElement& e : elements) {
    std::string label = !e.keyword.empty() ? e.keyword : e.name;
    if (!e.creator.empty()) label = "[" + e.creator + "] " + label;
    std::string line = indent + TagText(e.tag) + ' ' + e.vr + ' ' + label;
    const size_t column = indent.size() + 48;
    line += line.size() < column ? std::string(column - line.size(), ' ') : std::string(" ");
    for (char c : ElementValueText(e)) {
      if (c == '\n')
        line += "\\n";
      else if (c == '\r')
        line += "\\r";
      else
        line += c;
    }
    out += line;
    out += '\n';
    for (size_t k = 0; k < e.items.size(); ++k) {
      out += indent + "  Item " + std::to_string(k + 1) + '\n';
      AppendListing(e.items[k], depth + 2, out);
    }
  }
}

}  // namespace

std::string TagListingText(const std::vector<TagElement>& elements) {
  std::string out;
  AppendListing(elements, 0, out);
  return out;
}
