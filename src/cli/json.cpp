#include "json.h"

#include <charconv>
#include <cmath>

namespace cli {

namespace {

// Length of the valid UTF-8 sequence at s[i] (2 to 4), or 0.
size_t Utf8SequenceAt(std::string_view s, size_t i) {
  const auto c = uint8_t(s[i]);
  const size_t n = (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  char32_t cp = n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < n; ++k) {
    const auto b = uint8_t(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b & 0x3F);
  }
  const bool overlong = (n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
  if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string JsonQuote(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string q;
  q.reserve(bytes.size() + 2);
  q.push_back('"');
  for (size_t i = 0; i < bytes.size();) {
    const auto c = uint8_t(bytes[i]);
    if (c >= 0x80) {
      if (const size_t n = Utf8SequenceAt(bytes, i)) {
        q.append(bytes.substr(i, n));
        i += n;
        continue;
      }
    }
    if (c == '"' || c == '\\') {
      q.push_back('\\');
      q.push_back(char(c));
    } else if (c < 0x20 || c >= 0x7F) {
      q += "\\u00";
      q.push_back(kHex[c >> 4]);
      q.push_back(kHex[c & 15]);
    } else {
      q.push_back(char(c));
    }
    ++i;
  }
  q.push_back('"');
  return q;
}

std::string JsonQuoteUtf8(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string q;
  q.reserve(text.size() + 2);
  q.push_back('"');
  for (char ch : text) {
    const auto c = uint8_t(ch);
    if (c == '"' || c == '\\') {
      q.push_back('\\');
      q.push_back(char(c));
    } else if (c < 0x20 || c == 0x7F) {
      q += "\\u00";
      q.push_back(kHex[c >> 4]);
      q.push_back(kHex[c & 15]);
    } else {
      q.push_back(char(c));
    }
  }
  q.push_back('"');
  return q;
}

void JsonWriter::NewLine() {
  if (indent_ <= 0) return;
  out_.push_back('\n');
  out_.append(stack_.size() * size_t(indent_), ' ');
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (stack_.empty()) return;
  Level& l = stack_.back();
  if (!l.empty) out_.push_back(',');
  if (l.compact) {
    if (!l.empty) out_.push_back(' ');
  } else {
    NewLine();
  }
  l.empty = false;
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  out_.push_back('{');
  stack_.push_back({false, false});
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  const bool empty = stack_.back().empty;
  stack_.pop_back();
  if (!empty) NewLine();
  out_.push_back('}');
  if (stack_.empty() && indent_ > 0) out_.push_back('\n');
  return *this;
}

JsonWriter& JsonWriter::BeginArray(bool compact) {
  BeforeValue();
  out_.push_back('[');
  // Inside a compact array everything stays on one line.
  const bool parentCompact = !stack_.empty() && stack_.back().compact;
  stack_.push_back({true, compact || parentCompact || indent_ <= 0});
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  const Level l = stack_.back();
  stack_.pop_back();
  if (!l.empty && !l.compact) NewLine();
  out_.push_back(']');
  if (stack_.empty() && indent_ > 0) out_.push_back('\n');
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
  BeforeValue();
  out_ += JsonQuote(key);
  out_ += indent_ > 0 ? ": " : ":";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view bytes) {
  BeforeValue();
  out_ += JsonQuote(bytes);
  return *this;
}

JsonWriter& JsonWriter::Utf8(std::string_view text) {
  BeforeValue();
  out_ += JsonQuoteUtf8(text);
  return *this;
}

JsonWriter& JsonWriter::Number(std::string_view text) {
  BeforeValue();
  out_ += text;
  return *this;
}

JsonWriter& JsonWriter::Int(int64_t v) {
  BeforeValue();
  out_ += std::to_string(v);
  return *this;
}

JsonWriter& JsonWriter::Double(double v) {
  BeforeValue();
  if (!std::isfinite(v)) {
    out_ += "null";
    return *this;
  }
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, r.ptr);
  return *this;
}

JsonWriter& JsonWriter::Float(float v) {
  BeforeValue();
  if (!std::isfinite(v)) {
    out_ += "null";
    return *this;
  }
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out_.append(buf, r.ptr);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool v) {
  BeforeValue();
  out_ += v ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::Value(const std::vector<uint8_t>& bytes) {
  BeginArray(true);
  for (uint8_t b : bytes) Int(b);
  return EndArray();
}

}  // namespace cli
