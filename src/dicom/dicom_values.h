// The header reader's byte access and value conversions: one byte source (a
// file or a memory block) read through a read-ahead window, the fixed
// size value readers, the element text, number and integer readers and the
// text helpers. Their character filters decide how every text field of a
// DICOMdata looks (UIDs are stored with blanks in place of dots, for example).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/dicom.h"

// Where the reader's bytes come from.
class DicomByteSource {
 public:
  virtual ~DicomByteSource() = default;
  int64_t Size() const { return size_; }
  // Makes up to n bytes starting at offset readable and returns them; got
  // receives how many (fewer at the end of the source). The bytes stay valid
  // until the next call. Throws EDicomReadError when the system read fails.
  virtual const uint8_t* Map(int64_t offset, size_t n, size_t& got) = 0;

 protected:
  int64_t size_ = 0;
};

class MemoryByteSource final : public DicomByteSource {
 public:
  MemoryByteSource(const uint8_t* data, size_t size) : data_(data) { size_ = int64_t(size); }
  const uint8_t* Map(int64_t offset, size_t n, size_t& got) override;

 private:
  const uint8_t* data_;
};

class FileByteSource final : public DicomByteSource {
 public:
  FileByteSource() = default;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;
  ~FileByteSource() override;
  // Opens path read-only and takes its size. Returns false when there is no
  // such file; throws EDicomReadError when it exists but cannot be opened or
  // is not a regular file.
  bool Open(const std::string& path);
  void Close();
  const uint8_t* Map(int64_t offset, size_t n, size_t& got) override;

 private:
  int fd_ = -1;
  std::unique_ptr<uint8_t[]> buffer_;  // not zeroed: every byte used is read first
  size_t capacity_ = 0;
};

// The read-ahead window: a block of the source loaded at the position where a
// read needs it. Moving the position costs nothing; a read outside the loaded
// block reloads the window there.
//
// The first block is small: most headers end within a few KiB, and a header
// scan of many small files would otherwise copy their pixel data too. Each
// block that continues the previous one is four times larger, up to kSize, so
// a long header (a DICOMDIR, a big private group) still needs few reads.
class ReadWindow {
 public:
  static constexpr size_t kFirstSize = 4096;
  static constexpr size_t kSize = 65536;

  explicit ReadWindow(DicomByteSource& source) : src_(source), size_(source.Size()) {}

  int64_t FileSize() const { return size_; }
  int64_t Position() const { return start_ + int64_t(index_); }
  int64_t WindowStart() const { return start_; }
  size_t WindowLength() const { return length_; }
  // Loads the block that starts at offset (0 when negative).
  void Fill(int64_t offset);
  // Moves the current position; the block is reloaded by the next read that
  // needs bytes outside it.
  void Seek(int64_t offset);
  // Copies up to count bytes from the current position; fewer at the end of
  // the file.
  size_t ReadBytes(size_t count, uint8_t* dst);
  // Appends up to count bytes to out.
  size_t ReadBytes(size_t count, std::string& out);
  // Bytes left between the current position and the end of the file.
  int64_t Remaining() const { return size_ > Position() ? size_ - Position() : 0; }
  // An n-byte (1, 2 or 4) unsigned value; false and 0 when it does not fit
  // before the end of the file, and then nothing is read.
  bool ReadUnsigned(int n, bool littleEndian, uint32_t& value);

 private:
  DicomByteSource& src_;
  const int64_t size_;
  const uint8_t* block_ = nullptr;
  int64_t start_ = 0;
  size_t length_ = 0;
  size_t index_ = 0;
  size_t blockSize_ = kFirstSize;  // bytes the next load asks for
  int64_t loadedEnd_ = -1;         // end of the last block loaded
};

// 8-, 16- and 32-bit unsigned values in the given byte order. When the value
// does not fit before the end of the file nothing is read, value is 0 and the
// result is false.
bool ReadValueByte(ReadWindow& w, uint32_t& value);
bool ReadValueWord(ReadWindow& w, bool littleEndian, uint32_t& value);
bool ReadValueLong(ReadWindow& w, bool littleEndian, uint32_t& value);

// Blank, "+", "-", "/", digits, letters and backslash.
bool IsTextChar(uint8_t c);
// Blank, "+", "-", digits and letters.
bool IsUidChar(uint8_t c);
// "+", "-", ".", digits, "E" and "e".
bool IsNumberChar(uint8_t c);

// The element's value with every byte outside the text characters replaced by
// a blank (so the text keeps the value's length, padding included). The
// position is left where it was. keepUnderscore also keeps "_" (file IDs).
std::string ReadElementText(ReadWindow& w, uint32_t length, bool keepUnderscore = false);
// As ReadElementText, but other bytes become ":" (a blank when last):
// hhmmss.ffffff reads hhmmss:ffffff.
std::string ReadElementTime(ReadWindow& w, uint32_t length);
// The integer formed by the value's sign and digit characters. When the value
// fits in the file it is read (the position moves after it) and the result is
// true; dest changes only when the characters form an integer.
bool ReadElementInteger(ReadWindow& w, uint32_t length, int& dest);

struct ElementNumbers {
  std::string text;  // the value with every non-number character as a blank
  double first = 1.0;
  double second = 2.0;
  bool ok = false;  // false: the value runs past the end of the file
};
// Reads the value (the position moves after it) and takes its first and second
// decimal numbers; 1.0 and 2.0 when absent. A number that does not convert is
// reported through the sink and keeps its default.
ElementNumbers ReadElementNumbers(ReadWindow& w, uint32_t length, const DicomMessageSink& sink);
// The number scan alone, on a text cleaned as above.
void ScanNumbers(const std::string& cleaned, ElementNumbers& out, const DicomMessageSink& sink);

struct WordList {
  std::string text;      // decimal values separated by ", "
  uint32_t largest = 0;  // 0 for none
  bool ok = false;       // false: the value runs past the end of the file
};
// Reads length / 2 words (and drops an odd last byte); the position moves
// after the value.
WordList ReadElementWordList(ReadWindow& w, bool littleEndian, uint32_t length);

// The "+", "-" and digit characters of text as a decimal integer; 0 when they
// do not form one (empty, a sign inside the digits, overflow).
int DigitsToInteger(std::string_view text);
// YYYYMMDD... as DD/MM/YYYY; texts shorter than 8 characters unchanged.
// A date the way real files store it: YYYYMMDD (also as the start of a
// date-time) or YYYY.MM.DD, YYYY-MM-DD, YYYY/MM/DD; false for anything else or
// a day that does not exist.
bool ParseDicomDate(std::string_view text, int& year, int& month, int& day);
// A date as the viewer shows every date, DD/MM/YYYY; text that is not a date
// is returned as stored (trimmed).
std::string FormatDicomDate(const std::string& text);
// The runs of characters that are neither the delimiter nor blanks or control
// characters; a run that starts with a double quote lasts to the closing quote.
std::vector<std::string> SplitValues(std::string_view text, char delimiter);

// A whole text as a decimal number with "." as separator, an optional sign and
// exponent; false when it is not one or is out of range.
bool StrToFloat(std::string_view text, double& out);
// A whole text as a 32-bit decimal integer with an optional sign.
bool StrToInt(std::string_view text, int& out);

// Sends text to sink, or to the default sink when sink is empty.
void EmitDicomMessage(const DicomMessageSink& sink, const std::string& text);
