#include "dicom/DicomWriter.h"

#include "dicom/SafeOutput.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace dicomwriter {

namespace {
constexpr uint32_t kUndefined = 0xFFFFFFFFu;
constexpr uint32_t kItem = 0xFFFEE000u;
constexpr uint32_t kItemDelimiter = 0xFFFEE00Du;
constexpr uint32_t kSequenceDelimiter = 0xFFFEE0DDu;
constexpr size_t kNoLength = std::numeric_limits<size_t>::max();
}  // namespace

bool IsLongVR(std::string_view vr) {
  static constexpr std::string_view kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                               "SV", "UC", "UN", "UR", "UT", "UV"};
  for (auto v : kLong)
    if (v == vr) return true;
  return false;
}

DicomWriter::DicomWriter(bool explicitVR, bool littleEndian)
    : explicit_(explicitVR), little_(littleEndian) {}

void DicomWriter::Put16(uint16_t v) {
  if (little_) {
    out_.push_back(uint8_t(v));
    out_.push_back(uint8_t(v >> 8));
  } else {
    out_.push_back(uint8_t(v >> 8));
    out_.push_back(uint8_t(v));
  }
}

void DicomWriter::Put32(uint32_t v) {
  if (little_) {
    Put16(uint16_t(v));
    Put16(uint16_t(v >> 16));
  } else {
    Put16(uint16_t(v >> 16));
    Put16(uint16_t(v));
  }
}

void DicomWriter::Patch32(size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    const int shift = little_ ? 8 * i : 8 * (3 - i);
    out_[at + i] = uint8_t(v >> shift);
  }
}

void DicomWriter::PutTag(uint32_t tag) {
  Put16(uint16_t(tag >> 16));
  Put16(uint16_t(tag));
}

void DicomWriter::PutHeader(uint32_t tag, std::string_view vr, uint32_t length) {
  PutTag(tag);
  if (!explicit_) {
    Put32(length);
    return;
  }
  if (vr.size() != 2) throw std::invalid_argument("DicomWriter: a VR has two letters");
  out_.push_back(uint8_t(vr[0]));
  out_.push_back(uint8_t(vr[1]));
  if (IsLongVR(vr)) {
    Put16(0);
    Put32(length);
  } else {
    if (length > 0xFFFF) throw std::length_error("DicomWriter: value too long for a 16-bit length");
    Put16(uint16_t(length));
  }
}

DicomWriter& DicomWriter::Element(uint32_t tag, std::string_view vr, const void* value,
                                  size_t size) {
  if (size >= kUndefined) throw std::length_error("DicomWriter: value too long");
  PutHeader(tag, vr, uint32_t(size));
  const auto* p = static_cast<const uint8_t*>(value);
  if (size) out_.insert(out_.end(), p, p + size);
  return *this;
}

DicomWriter& DicomWriter::Element(uint32_t tag, std::string_view vr,
                                  const std::vector<uint8_t>& value) {
  return Element(tag, vr, value.data(), value.size());
}

DicomWriter& DicomWriter::ElementWithLength(uint32_t tag, std::string_view vr, uint32_t lengthField,
                                            const std::vector<uint8_t>& value) {
  PutTag(tag);
  if (explicit_) {
    out_.push_back(uint8_t(vr.size() > 0 ? vr[0] : ' '));
    out_.push_back(uint8_t(vr.size() > 1 ? vr[1] : ' '));
    if (IsLongVR(vr)) {
      Put16(0);
      Put32(lengthField);
    } else {
      Put16(uint16_t(lengthField));
    }
  } else {
    Put32(lengthField);
  }
  out_.insert(out_.end(), value.begin(), value.end());
  return *this;
}

DicomWriter& DicomWriter::Text(uint32_t tag, std::string_view vr, std::string_view text) {
  std::string v(text);
  if (v.size() % 2) v.push_back(vr == "UI" ? '\0' : ' ');
  return Element(tag, vr, v.data(), v.size());
}

template <typename T>
void DicomWriter::PutNumber(T v) {
  if constexpr (sizeof(T) == 2) {
    Put16(std::bit_cast<uint16_t>(v));
  } else if constexpr (sizeof(T) == 4) {
    Put32(std::bit_cast<uint32_t>(v));
  } else {
    const auto u = std::bit_cast<uint64_t>(v);
    if (little_) {
      Put32(uint32_t(u));
      Put32(uint32_t(u >> 32));
    } else {
      Put32(uint32_t(u >> 32));
      Put32(uint32_t(u));
    }
  }
}

template <typename T>
DicomWriter& DicomWriter::Numbers(uint32_t tag, std::string_view vr, const T* values,
                                  size_t count) {
  if (count * sizeof(T) >= kUndefined) throw std::length_error("DicomWriter: value too long");
  PutHeader(tag, vr, uint32_t(count * sizeof(T)));
  for (size_t i = 0; i < count; ++i) PutNumber(values[i]);
  return *this;
}

DicomWriter& DicomWriter::US(uint32_t tag, std::initializer_list<uint16_t> values) {
  return Numbers(tag, "US", values.begin(), values.size());
}
DicomWriter& DicomWriter::US(uint32_t tag, const std::vector<uint16_t>& values) {
  return Numbers(tag, "US", values.data(), values.size());
}
DicomWriter& DicomWriter::SS(uint32_t tag, std::initializer_list<int16_t> values) {
  return Numbers(tag, "SS", values.begin(), values.size());
}
DicomWriter& DicomWriter::UL(uint32_t tag, std::initializer_list<uint32_t> values) {
  return Numbers(tag, "UL", values.begin(), values.size());
}
DicomWriter& DicomWriter::SL(uint32_t tag, std::initializer_list<int32_t> values) {
  return Numbers(tag, "SL", values.begin(), values.size());
}
DicomWriter& DicomWriter::FL(uint32_t tag, std::initializer_list<float> values) {
  return Numbers(tag, "FL", values.begin(), values.size());
}
DicomWriter& DicomWriter::FD(uint32_t tag, std::initializer_list<double> values) {
  return Numbers(tag, "FD", values.begin(), values.size());
}
DicomWriter& DicomWriter::OB(uint32_t tag, const std::vector<uint8_t>& bytes) {
  return Element(tag, "OB", bytes);
}
DicomWriter& DicomWriter::OW(uint32_t tag, const std::vector<uint16_t>& words) {
  return Numbers(tag, "OW", words.data(), words.size());
}

DicomWriter& DicomWriter::BeginSequence(uint32_t tag, bool undefinedLength) {
  PutHeader(tag, "SQ", undefinedLength ? kUndefined : 0);
  open_.push_back({undefinedLength ? kNoLength : out_.size() - 4, out_.size(), false});
  return *this;
}

DicomWriter& DicomWriter::BeginItem(bool undefinedLength) {
  ItemHeader(kItem, undefinedLength ? kUndefined : 0);
  open_.push_back({undefinedLength ? kNoLength : out_.size() - 4, out_.size(), true});
  return *this;
}

DicomWriter& DicomWriter::EndSequence() {
  if (open_.empty() || open_.back().item)
    throw std::logic_error("DicomWriter: EndSequence without an open sequence");
  const Open o = open_.back();
  open_.pop_back();
  if (o.lengthAt == kNoLength) {
    ItemHeader(kSequenceDelimiter, 0);
  } else {
    Patch32(o.lengthAt, uint32_t(out_.size() - o.valueAt));
  }
  return *this;
}

DicomWriter& DicomWriter::EndItem() {
  if (open_.empty() || !open_.back().item)
    throw std::logic_error("DicomWriter: EndItem without an open item");
  const Open o = open_.back();
  open_.pop_back();
  if (o.lengthAt == kNoLength) {
    ItemHeader(kItemDelimiter, 0);
  } else {
    Patch32(o.lengthAt, uint32_t(out_.size() - o.valueAt));
  }
  return *this;
}

DicomWriter& DicomWriter::Encapsulated(const std::vector<uint32_t>& offsetTable,
                                       const std::vector<std::vector<uint8_t>>& fragments,
                                       uint32_t tag) {
  PutHeader(tag, "OB", kUndefined);
  ItemHeader(kItem, uint32_t(offsetTable.size() * 4));
  for (uint32_t off : offsetTable) Put32(off);
  for (const auto& f : fragments) {
    ItemHeader(kItem, uint32_t(f.size()));
    out_.insert(out_.end(), f.begin(), f.end());
  }
  ItemHeader(kSequenceDelimiter, 0);
  return *this;
}

std::vector<uint32_t> DicomWriter::OffsetsOneFragmentPerFrame(
    const std::vector<std::vector<uint8_t>>& fragments) {
  std::vector<uint32_t> offsets;
  uint32_t at = 0;
  for (const auto& f : fragments) {
    offsets.push_back(at);
    at += uint32_t(8 + f.size());
  }
  return offsets;
}

DicomWriter& DicomWriter::ItemHeader(uint32_t tag, uint32_t length) {
  PutTag(tag);
  Put32(length);
  return *this;
}

DicomWriter& DicomWriter::Raw(const std::vector<uint8_t>& bytes) {
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  return *this;
}

DicomWriter& DicomWriter::Raw(std::string_view bytes) {
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  return *this;
}

const std::vector<uint8_t>& DicomWriter::Bytes() const {
  if (!open_.empty()) throw std::logic_error("DicomWriter: a sequence or item is still open");
  return out_;
}

std::vector<uint8_t> BuildFileMeta(const DicomFileOptions& o) {
  DicomWriter body(true, true);
  const uint8_t version[2] = {0x00, 0x01};
  body.Element(0x00020001, "OB", version, 2);
  body.Text(0x00020002, "UI", o.sopClassUid);
  body.Text(0x00020003, "UI", o.sopInstanceUid);
  body.Text(0x00020010, "UI", o.transferSyntax);
  body.Text(0x00020012, "UI", o.implementationClassUid);
  if (!o.implementationVersionName.empty())
    body.Text(0x00020013, "SH", o.implementationVersionName);
  DicomWriter meta(true, true);
  meta.UL(0x00020000, {uint32_t(body.Size())});
  meta.Raw(body.Bytes());
  return meta.Bytes();
}

std::vector<uint8_t> BuildDicomFile(const DicomWriter& dataSet, const DicomFileOptions& o) {
  std::vector<uint8_t> file;
  if (o.preamble) file.assign(128, 0);
  if (o.dicm) file.insert(file.end(), {'D', 'I', 'C', 'M'});
  if (o.meta) {
    const auto meta = BuildFileMeta(o);
    file.insert(file.end(), meta.begin(), meta.end());
  }
  const auto& ds = dataSet.Bytes();
  file.insert(file.end(), ds.begin(), ds.end());
  return file;
}

bool WriteBytesToFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string why;
  return WriteFileSafely(path, bytes.data(), bytes.size(), why);
}

}  // namespace dicomwriter
