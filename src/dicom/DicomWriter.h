// A small, general DICOM writer: builds data sets element by element in any of
// the four uncompressed encodings (explicit or implicit VR, little or big
// endian), with sequences and items of defined or undefined length and
// encapsulated pixel data, and wraps them into files with or without the
// 128-byte preamble, "DICM" and the file meta group.
//
// It writes what it is told: it neither sorts elements nor checks them against
// a dictionary, so callers (the demo study, test fixtures) can also build files
// that bend the rules on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace dicomwriter {

inline constexpr const char* kImplicitVRLittleEndian = "1.2.840.10008.1.2";
inline constexpr const char* kExplicitVRLittleEndian = "1.2.840.10008.1.2.1";
inline constexpr const char* kExplicitVRBigEndian = "1.2.840.10008.1.2.2";
inline constexpr const char* kRLELossless = "1.2.840.10008.1.2.5";
inline constexpr const char* kJPEGBaseline = "1.2.840.10008.1.2.4.50";
inline constexpr const char* kJPEGLosslessSV1 = "1.2.840.10008.1.2.4.70";
inline constexpr const char* kJPEG2000Lossless = "1.2.840.10008.1.2.4.90";

// The product's implementation class UID (a UUID-derived 2.25 UID) and name.
inline constexpr const char* kImplementationClassUid =
    "2.25.227316307114380735851307391541848915683";
inline constexpr const char* kImplementationVersionName = "TAVROLEN_1_0";

// True for the VRs whose explicit form has two reserved bytes and a 32-bit
// length (OB, OW, SQ, UN, UT, ...).
bool IsLongVR(std::string_view vr);

class DicomWriter {
 public:
  explicit DicomWriter(bool explicitVR = true, bool littleEndian = true);

  bool explicitVR() const { return explicit_; }
  bool littleEndian() const { return little_; }

  // An element whose value bytes are written as given (already in the
  // writer's byte order). Texts and numbers have typed helpers below.
  DicomWriter& Element(uint32_t tag, std::string_view vr, const void* value, size_t size);
  DicomWriter& Element(uint32_t tag, std::string_view vr, const std::vector<uint8_t>& value);
  // As Element, but the length field holds lengthField whatever the value's
  // size: for files with wrong or undefined lengths.
  DicomWriter& ElementWithLength(uint32_t tag, std::string_view vr, uint32_t lengthField,
                                 const std::vector<uint8_t>& value);

  // A text value, padded to even length (UI with a NUL byte, others with a blank).
  DicomWriter& Text(uint32_t tag, std::string_view vr, std::string_view text);
  // Binary numbers in the writer's byte order.
  DicomWriter& US(uint32_t tag, std::initializer_list<uint16_t> values);
  DicomWriter& US(uint32_t tag, const std::vector<uint16_t>& values);
  DicomWriter& SS(uint32_t tag, std::initializer_list<int16_t> values);
  DicomWriter& UL(uint32_t tag, std::initializer_list<uint32_t> values);
  DicomWriter& SL(uint32_t tag, std::initializer_list<int32_t> values);
  DicomWriter& FL(uint32_t tag, std::initializer_list<float> values);
  DicomWriter& FD(uint32_t tag, std::initializer_list<double> values);
  DicomWriter& OB(uint32_t tag, const std::vector<uint8_t>& bytes);
  DicomWriter& OW(uint32_t tag, const std::vector<uint16_t>& words);

  // Sequences and items nest; a defined length is filled in when the sequence
  // or item ends. Undefined lengths end with their delimitation items.
  DicomWriter& BeginSequence(uint32_t tag, bool undefinedLength = false);
  DicomWriter& EndSequence();
  DicomWriter& BeginItem(bool undefinedLength = false);
  DicomWriter& EndItem();

  // Encapsulated pixel data: the basic offset table item (empty, or one
  // offset per frame), one item per fragment and the sequence delimiter.
  DicomWriter& Encapsulated(const std::vector<uint32_t>& offsetTable,
                            const std::vector<std::vector<uint8_t>>& fragments,
                            uint32_t tag = 0x7FE00010);
  // Offsets of a table for one fragment per frame.
  static std::vector<uint32_t> OffsetsOneFragmentPerFrame(
      const std::vector<std::vector<uint8_t>>& fragments);

  // A tag and 32-bit length with no VR, as items and delimiters are written.
  DicomWriter& ItemHeader(uint32_t tag, uint32_t length);
  // Bytes appended as they stand.
  DicomWriter& Raw(const std::vector<uint8_t>& bytes);
  DicomWriter& Raw(std::string_view bytes);

  // The stream so far. Throws std::logic_error while a sequence or item is open.
  const std::vector<uint8_t>& Bytes() const;
  size_t Size() const { return out_.size(); }

 private:
  void Put16(uint16_t v);
  void Put32(uint32_t v);
  void Patch32(size_t at, uint32_t v);
  void PutTag(uint32_t tag);
  void PutHeader(uint32_t tag, std::string_view vr, uint32_t length);
  template <typename T>
  void PutNumber(T v);
  template <typename T>
  DicomWriter& Numbers(uint32_t tag, std::string_view vr, const T* values, size_t count);

  struct Open {
    size_t lengthAt;  // offset of the length field; SIZE_MAX when undefined
    size_t valueAt;   // offset of the first value byte
    bool item;
  };
  bool explicit_;
  bool little_;
  std::vector<uint8_t> out_;
  std::vector<Open> open_;
};

// What goes before the data set in a file.
struct DicomFileOptions {
  bool preamble = true;  // 128 zero bytes before "DICM"
  bool dicm = true;      // the "DICM" prefix
  bool meta = true;      // the file meta group (always explicit VR little endian)
  std::string transferSyntax = kExplicitVRLittleEndian;
  std::string sopClassUid = "1.2.840.10008.5.1.4.1.1.7";  // Secondary Capture
  std::string sopInstanceUid = "2.25.1";
  std::string implementationClassUid = kImplementationClassUid;
  std::string implementationVersionName = kImplementationVersionName;  // empty: left out
};

// The meta group alone, with its group length.
std::vector<uint8_t> BuildFileMeta(const DicomFileOptions& options);
// Preamble, "DICM" and meta group as the options say, then the data set.
std::vector<uint8_t> BuildDicomFile(const DicomWriter& dataSet, const DicomFileOptions& options);
// Writes bytes to a file; false when it cannot be written completely.
bool WriteBytesToFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace dicomwriter
