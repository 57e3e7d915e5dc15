// Text of header values in UTF-8, by the data set's Specific Character Set
// (0008,0005): the single-byte ISO 8859 sets, Thai, Japanese (JIS X 0201,
// 0208, 0212), Korean, Chinese (GB 2312, GBK, GB 18030) and UTF-8, with the
// ISO 2022 escape sequences that switch between them inside one value.
//
// Without a declared set, bytes above 127 are read as Latin-1 (the usual
// practice of readers). A byte sequence a set cannot decode becomes U+FFFD;
// nothing is dropped silently. Not thread-safe: one decoder per walk.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class CharsetDecoder {
 public:
  CharsetDecoder();
  ~CharsetDecoder();
  CharsetDecoder(const CharsetDecoder&) = delete;
  CharsetDecoder& operator=(const CharsetDecoder&) = delete;

  // terms: the values of Specific Character Set, in order (empty: default).
  std::string Decode(std::string_view bytes, const std::vector<std::string>& terms);

  // Latin-1 to UTF-8: for values whose VR is outside the set's reach (codes,
  // dates, UIDs).
  static std::string Latin1(std::string_view bytes);
  // Whether every term is one the decoder knows.
  static bool Known(const std::vector<std::string>& terms);

 private:
  // Converts bytes with the iconv encoding `encoding` and appends to out.
  void Convert(const char* encoding, std::string_view bytes, std::string& out);
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

// The terms of a Specific Character Set value, in order, blanks trimmed. The
// first may be empty ("\\ISO 2022 IR 87": the default repertoire first).
std::vector<std::string> CharsetTerms(std::string_view value);

// A header text value for display, in UTF-8: decoded by `terms`, padding
// trimmed, control characters (line breaks of a multi-line text) as blanks.
// Pure ASCII without escapes is copied as it stands.
std::string DisplayText(CharsetDecoder& decoder, std::string_view bytes,
                        const std::vector<std::string>& terms);

// A person name (UTF-8) as a person reads it: component separators "^" as
// blanks, blanks at either end of a group dropped, and the alphabetic,
// ideographic and phonetic groups that hold something joined by "=".
std::string PersonNameText(std::string_view utf8);

// Appends code point cp to out as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);
// Valid UTF-8 as it stands; each byte of an invalid sequence becomes U+FFFD.
std::string SanitizeUtf8(std::string_view bytes);
