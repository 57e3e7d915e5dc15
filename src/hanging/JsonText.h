// A small JSON reader for the files users edit by hand: every value keeps the
// line and byte range it was written at, so a problem can be shown where it
// is and a file can be changed in place without touching the rest of it.
//
// Untrusted input: the text is bounded (kMaxJsonBytes), nesting is bounded
// (kMaxJsonDepth), and a syntax error never throws. A syntax error inside an
// element of a top-level array (the "protocols" or "presets" list) drops only
// that element: the reader skips to the element's end by its brackets and
// goes on with the next, so one typo does not lose the whole file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hanging::json {

inline constexpr size_t kMaxJsonBytes = 4u << 20;
inline constexpr int kMaxJsonDepth = 64;

enum class TKind { Null, Bool, Number, String, Array, Object };

struct TMember;

struct TValue {
  TKind kind = TKind::Null;
  int line = 0;               // where the value starts, 1-based
  size_t begin = 0, end = 0;  // byte range in the text, end exclusive
  bool boolean = false;
  double number = 0;  // +-inf when the literal is out of range
  std::string text;   // a string's value (UTF-8)
  std::vector<TValue> items;
  // Members in file order; a repeated key keeps its last value (reported).
  std::vector<TMember> members;

  const TValue* Find(std::string_view key) const;
  bool IsString() const { return kind == TKind::String; }
  bool IsNumber() const { return kind == TKind::Number; }
  bool IsObject() const { return kind == TKind::Object; }
  bool IsArray() const { return kind == TKind::Array; }
};

struct TMember {
  std::string key;
  TValue value;
  int line = 0;  // the key's
};

struct TJsonIssue {
  int line = 0;
  std::string reason;
  bool fatal = false;  // a syntax error (something was dropped), not a warning
};

struct TJsonResult {
  TValue root;
  bool complete = false;  // the whole text parsed without a syntax error
  std::vector<TJsonIssue> issues;
};

TJsonResult ParseJson(std::string_view text);

// The JSON string literal of UTF-8 text, quotes included.
std::string Quote(std::string_view text);
// Shortest decimal that reads back as the same double.
std::string NumberText(double v);

}  // namespace hanging::json
