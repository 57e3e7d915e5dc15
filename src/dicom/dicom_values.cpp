#include "dicom/dicom_values.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

// ---- byte sources ----

const uint8_t* MemoryByteSource::Map(int64_t offset, size_t n, size_t& got) {
  got = 0;
  if (offset < 0 || offset >= size_) return nullptr;
  got = size_t(std::min<int64_t>(int64_t(n), size_ - offset));
  return data_ + offset;
}

FileByteSource::~FileByteSource() {
  Close();
}

void FileByteSource::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool FileByteSource::Open(const std::string& path) {
  Close();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw EDicomReadError("Cannot open " + path + ": " + std::strerror(errno));
  }
  fd_ = fd;
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    const int e = errno;
    Close();
    throw EDicomReadError("Cannot examine " + path + ": " + std::strerror(e));
  }
  if (!S_ISREG(st.st_mode)) {
    Close();
    throw EDicomReadError("Not a regular file: " + path);
  }
  size_ = int64_t(st.st_size);
  return true;
}

const uint8_t* FileByteSource::Map(int64_t offset, size_t n, size_t& got) {
  got = 0;
  if (fd_ < 0 || offset < 0 || offset >= size_) return nullptr;
  n = size_t(std::min<int64_t>(int64_t(n), size_ - offset));
  if (capacity_ < n) {
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(n);
    capacity_ = n;
  }
  while (got < n) {
    const ssize_t r = ::pread(fd_, buffer_.get() + got, n - got, off_t(offset + int64_t(got)));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw EDicomReadError(std::string("Read error: ") + std::strerror(errno));
    }
    if (r == 0) break;  // the file shrank under us: what is there is all there is
    got += size_t(r);
  }
  return buffer_.get();
}

// ---- read window ----

void ReadWindow::Fill(int64_t offset) {
  start_ = offset < 0 ? 0 : offset;
  index_ = 0;
  length_ = 0;
  block_ = nullptr;
  if (start_ >= size_) return;
  // A block that carries on where the last one ended means a long header:
  // ask for more at once.
  if (start_ == loadedEnd_) blockSize_ = std::min(blockSize_ * 4, kSize);
  const size_t want = size_t(std::min<int64_t>(int64_t(blockSize_), size_ - start_));
  size_t got = 0;
  block_ = src_.Map(start_, want, got);
  length_ = block_ ? got : 0;
  loadedEnd_ = start_ + int64_t(length_);
}

void ReadWindow::Seek(int64_t offset) {
  if (offset >= start_ && offset < start_ + int64_t(length_)) {
    index_ = size_t(offset - start_);
    return;
  }
  start_ = offset < 0 ? 0 : offset;
  index_ = 0;
  length_ = 0;
  block_ = nullptr;
}

size_t ReadWindow::ReadBytes(size_t count, uint8_t* dst) {
  size_t done = 0;
  while (done < count) {
    if (index_ >= length_) {
      Fill(Position());
      if (length_ == 0) break;
    }
    const size_t n = std::min(count - done, length_ - index_);
    std::memcpy(dst + done, block_ + index_, n);
    index_ += n;
    done += n;
  }
  return done;
}

size_t ReadWindow::ReadBytes(size_t count, std::string& out) {
  // Never allocate more than the file still holds.
  count = size_t(std::min<int64_t>(int64_t(count), Remaining()));
  const size_t old = out.size();
  out.resize(old + count);
  const size_t got = ReadBytes(count, reinterpret_cast<uint8_t*>(out.data() + old));
  out.resize(old + got);
  return got;
}

bool ReadWindow::ReadUnsigned(int n, bool little, uint32_t& value) {
  value = 0;
  if (size_ - n < Position()) return false;
  uint8_t b[4];
  if (index_ + size_t(n) <= length_) {
    std::memcpy(b, block_ + index_, size_t(n));
    index_ += size_t(n);
  } else if (ReadBytes(size_t(n), b) != size_t(n)) {
    return false;
  }
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint32_t(b[i]) << (little ? 8 * i : 8 * (n - 1 - i));
  value = v;
  return true;
}

bool ReadValueByte(ReadWindow& w, uint32_t& value) {
  return w.ReadUnsigned(1, true, value);
}
bool ReadValueWord(ReadWindow& w, bool little, uint32_t& value) {
  return w.ReadUnsigned(2, little, value);
}
bool ReadValueLong(ReadWindow& w, bool little, uint32_t& value) {
  return w.ReadUnsigned(4, little, value);
}

// ---- character classes ----

namespace {
bool IsLetter(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}
}  // namespace

bool IsTextChar(uint8_t c) {
  return c == ' ' || c == '+' || c == '-' || c == '/' || c == '\\' || IsDigit(c) || IsLetter(c);
}
bool IsUidChar(uint8_t c) {
  return c == ' ' || c == '+' || c == '-' || IsDigit(c) || IsLetter(c);
}
bool IsNumberChar(uint8_t c) {
  return c == '+' || c == '-' || c == '.' || c == 'E' || c == 'e' || IsDigit(c);
}

// ---- element readers ----

std::string ReadElementText(ReadWindow& w, uint32_t length, bool keepUnderscore) {
  std::string text;
  if (length == 0) return text;
  const int64_t at = w.Position();
  w.ReadBytes(length, text);
  for (char& ch : text) {
    const auto c = uint8_t(ch);
    if (!IsTextChar(c) && !(keepUnderscore && c == '_')) ch = ' ';
  }
  w.Seek(at);
  return text;
}

std::string ReadElementTime(ReadWindow& w, uint32_t length) {
  std::string text;
  if (length == 0) return text;
  const int64_t at = w.Position();
  w.ReadBytes(length, text);
  for (size_t i = 0; i < text.size(); ++i)
    if (!IsTextChar(uint8_t(text[i]))) text[i] = i + 1 == size_t(length) ? ' ' : ':';
  w.Seek(at);
  return text;
}

bool ReadElementInteger(ReadWindow& w, uint32_t length, int& dest) {
  if (w.FileSize() - int64_t(length) < w.Position()) return false;
  std::string raw;
  w.ReadBytes(length, raw);
  std::string kept;
  for (char c : raw)
    if (c == '+' || c == '-' || IsDigit(uint8_t(c))) kept.push_back(c);
  int v;
  if (StrToInt(kept, v)) dest = v;
  return true;
}

void ScanNumbers(const std::string& t, ElementNumbers& out, const DicomMessageSink& sink) {
  const size_t n = t.size();
  size_t i = 0;
  std::string num;
  bool digit = false;
  while (i < n && !digit) {
    const auto c = uint8_t(t[i++]);
    if (IsNumberChar(c)) {
      num.push_back(char(c));
      digit = IsDigit(c);
    }
  }
  if (!digit) return;
  while (i < n && IsNumberChar(uint8_t(t[i]))) {
    const char c = t[i++];
    num.push_back(c == 'E' ? 'e' : c);
  }
  if (!StrToFloat(num, out.first)) {
    EmitDicomMessage(sink, "Unable to convert the string " + num + " to a real number");
    out.first = 1.0;
    return;
  }
  if (i >= n) return;
  num.clear();
  digit = false;
  for (; i < n; ++i) {
    const auto c = uint8_t(t[i]);
    if (IsNumberChar(c)) {
      num.push_back(c == 'E' ? 'e' : char(c));
      digit = digit || IsDigit(c);
    }
    if (digit && (i + 1 >= n || t[i + 1] == ' ')) break;
  }
  if (digit && !StrToFloat(num, out.second)) {
    EmitDicomMessage(sink, "Unable to convert the string " + num + " to a real number");
    out.second = 2.0;
  }
}

ElementNumbers ReadElementNumbers(ReadWindow& w, uint32_t length, const DicomMessageSink& sink) {
  ElementNumbers r;
  if (length == 0) {
    r.ok = true;
    return r;
  }
  if (w.FileSize() - int64_t(length) < w.Position()) return r;
  r.ok = true;
  w.ReadBytes(length, r.text);
  for (char& c : r.text)
    if (!IsNumberChar(uint8_t(c))) c = ' ';
  ScanNumbers(r.text, r, sink);
  return r;
}

WordList ReadElementWordList(ReadWindow& w, bool little, uint32_t length) {
  WordList r;
  if (w.FileSize() - int64_t(length) < w.Position()) return r;
  r.ok = true;
  for (uint32_t k = 0; k < length / 2; ++k) {
    uint32_t v;
    if (!ReadValueWord(w, little, v)) break;
    if (k) r.text += ", ";
    r.text += std::to_string(v);
    r.largest = std::max(r.largest, v);
  }
  if (length & 1) {
    uint32_t dropped;
    ReadValueByte(w, dropped);
  }
  return r;
}

// ---- text helpers ----

bool StrToInt(std::string_view t, int& out) {
  if (!t.empty() && t[0] == '+') {
    t.remove_prefix(1);
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
  }
  int v = 0;
  const auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || p != t.data() + t.size() || t.empty()) return false;
  out = v;
  return true;
}

bool StrToFloat(std::string_view t, double& out) {
  if (!t.empty() && t[0] == '+') {
    t.remove_prefix(1);
    if (t.empty() || t[0] == '-' || t[0] == '+') return false;
  }
  // Only plain decimal notation: no "inf", "nan" or hexadecimal forms.
  for (char c : t)
    if (!IsNumberChar(uint8_t(c))) return false;
  double v = 0;
  const auto [p, ec] =
      std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (ec != std::errc() || p != t.data() + t.size() || t.empty()) return false;
  out = v;
  return true;
}

int DigitsToInteger(std::string_view text) {
  std::string kept;
  for (char c : text)
    if (c == '+' || c == '-' || IsDigit(uint8_t(c))) kept.push_back(c);
  int v = 0;
  return StrToInt(kept, v) ? v : 0;
}

bool ParseDicomDate(std::string_view t, int& year, int& month, int& day) {
  while (!t.empty() && uint8_t(t.front()) <= ' ') t.remove_prefix(1);
  while (!t.empty() && uint8_t(t.back()) <= ' ') t.remove_suffix(1);
  const auto digits = [&](size_t at, size_t n, int& v) {
    if (at + n > t.size()) return false;
    v = 0;
    for (size_t k = at; k < at + n; ++k) {
      if (!IsDigit(uint8_t(t[k]))) return false;
      v = v * 10 + (t[k] - '0');
    }
    return true;
  };
  if (digits(0, 8, year)) {
    // YYYYMMDD, or the date of a date-time (YYYYMMDDHHMMSS...).
    month = (year / 100) % 100;
    day = year % 100;
    year /= 10000;
    if (t.size() > 8 && !IsDigit(uint8_t(t[8])) && t[8] != '+' && t[8] != '-' && t[8] != '.')
      return false;
  } else if (digits(0, 4, year) && t.size() >= 10 && digits(5, 2, month) && digits(8, 2, day) &&
             t[4] == t[7] && (t[4] == '.' || t[4] == '-' || t[4] == '/' || t[4] == ' ')) {
    // YYYY.MM.DD as ACR-NEMA wrote dates, and the ISO and slashed forms
    // other writers use.
    if (t.size() > 10 && t[10] != ' ' && t[10] != 'T') return false;
  } else {
    return false;
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= kDays[month - 1];
}

std::string FormatDicomDate(const std::string& t) {
  int y, m, d;
  if (!ParseDicomDate(t, y, m, d)) {
    // Not a date: shown as stored, never cut into a date-like shape.
    size_t a = 0, b = t.size();
    while (a < b && uint8_t(t[a]) <= ' ') ++a;
    while (b > a && uint8_t(t[b - 1]) <= ' ') --b;
    return t.substr(a, b - a);
  }
  char out[16];
  std::snprintf(out, sizeof out, "%02d/%02d/%04d", d, m, y);
  return out;
}

std::vector<std::string> SplitValues(std::string_view t, char delimiter) {
  std::vector<std::string> items;
  const auto separator = [&](char c) { return c == delimiter || uint8_t(c) <= ' '; };
  size_t i = 0;
  while (i < t.size()) {
    if (separator(t[i])) {
      ++i;
      continue;
    }
    std::string item;
    if (t[i] == '"') {
      // Quoted item: up to the closing quote; a doubled quote is one quote.
      ++i;
      while (i < t.size()) {
        if (t[i] == '"') {
          if (i + 1 < t.size() && t[i + 1] == '"') {
            item.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item.push_back(t[i++]);
      }
    } else {
      while (i < t.size() && !separator(t[i])) item.push_back(t[i++]);
    }
    items.push_back(std::move(item));
  }
  return items;
}

// ---- messages ----

namespace {
std::mutex& SinkMutex() {
  static std::mutex m;
  return m;
}
DicomMessageSink& DefaultSink() {
  static DicomMessageSink sink;
  return sink;
}
}  // namespace

void SetDefaultDicomMessageSink(DicomMessageSink sink) {
  std::lock_guard lock(SinkMutex());
  DefaultSink() = std::move(sink);
}

void EmitDicomMessage(const DicomMessageSink& sink, const std::string& text) {
  if (sink) {
    sink(text);
    return;
  }
  DicomMessageSink copy;
  {
    std::lock_guard lock(SinkMutex());
    copy = DefaultSink();
  }
  if (copy) copy(text);
}
