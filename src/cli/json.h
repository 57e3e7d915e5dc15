// A small streaming JSON writer for the command-line tool. Strings are written
// in UTF-8: header texts arrive decoded to UTF-8 and go out as they stand;
// control characters, and any byte that is not part of valid UTF-8 (a file
// name in another encoding), are escaped as \u00XX, so the output is valid
// JSON whatever a file holds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace cli {

class JsonWriter {
 public:
  // indent 0 writes everything on one line.
  explicit JsonWriter(int indent = 2) : indent_(indent) {}

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  // A compact array keeps its values on one line (for lists of numbers).
  JsonWriter& BeginArray(bool compact = false);
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);

  JsonWriter& String(std::string_view bytes);
  // Text already in UTF-8 (SanitizeUtf8'd): written as it stands, only
  // quotes, backslashes and control characters escaped.
  JsonWriter& Utf8(std::string_view text);
  // A number already formatted as JSON (integers beyond int64, exact floats).
  JsonWriter& Number(std::string_view text);
  JsonWriter& Int(int64_t v);
  JsonWriter& Double(double v);  // shortest text that reads back the same; null if not finite
  JsonWriter& Float(float v);
  JsonWriter& Bool(bool v);
  JsonWriter& Null();

  // Key and value in one call.
  template <typename T>
  JsonWriter& Field(std::string_view key, const T& value) {
    Key(key);
    return Value(value);
  }

  JsonWriter& Value(std::string_view v) { return String(v); }
  JsonWriter& Value(const std::string& v) { return String(v); }
  JsonWriter& Value(const char* v) { return String(v); }
  JsonWriter& Value(bool v) { return Bool(v); }
  JsonWriter& Value(int v) { return Int(v); }
  JsonWriter& Value(int64_t v) { return Int(v); }
  JsonWriter& Value(double v) { return Double(v); }
  JsonWriter& Value(float v) { return Float(v); }
  template <typename T>
  JsonWriter& Value(const std::vector<T>& values) {
    BeginArray(!std::is_same_v<T, std::string>);
    for (const auto& v : values) Value(v);
    return EndArray();
  }
  template <typename T, size_t N>
  JsonWriter& Value(const std::array<T, N>& values) {
    BeginArray(true);
    for (const auto& v : values) Value(v);
    return EndArray();
  }
  JsonWriter& Value(const std::vector<uint8_t>& bytes);

  const std::string& str() const { return out_; }

 private:
  void BeforeValue();
  void NewLine();
  struct Level {
    bool array;
    bool compact;
    bool empty = true;
  };
  int indent_;
  std::string out_;
  std::vector<Level> stack_;
  bool afterKey_ = false;
};

// The JSON string literal of bytes, quotes included: valid UTF-8 as it stands,
// other bytes read as Latin-1.
std::string JsonQuote(std::string_view bytes);
// The JSON string literal of UTF-8 text, quotes included.
std::string JsonQuoteUtf8(std::string_view text);

}  // namespace cli
