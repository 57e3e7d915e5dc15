#include "hanging/JsonText.h"

#include "dicom/DicomCharset.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace hanging::json {

const TValue* TValue::Find(std::string_view key) const {
  for (const TMember& m : members)
    if (m.key == key) return &m.value;
  return nullptr;
}

namespace {

// Reports beyond this many syntax errors add nothing but noise.
constexpr size_t kMaxIssues = 50;

class TParser {
 public:
  TParser(std::string_view text, TJsonResult& out) : s_(text), out_(out) {}

  void Run() {
    // A UTF-8 byte order mark, as some editors write; offsets stay the file's.
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") p_ = 3;
    Skip();
    if (p_ >= s_.size()) {
      Fail("the file is empty");
      return;
    }
    if (!Value(out_.root, 0)) return;
    Skip();
    if (p_ < s_.size()) Fail("unexpected text after the end of the document");
  }

  bool failed() const { return anyFatal_; }

 private:
  std::string_view s_;
  TJsonResult& out_;
  size_t p_ = 0;
  int line_ = 1;
  bool anyFatal_ = false;

  void Issue(int line, std::string reason, bool fatal) {
    if (fatal) anyFatal_ = true;
    if (out_.issues.size() < kMaxIssues) out_.issues.push_back({line, std::move(reason), fatal});
  }
  bool Fail(std::string reason) {
    Issue(line_, std::move(reason), true);
    return false;
  }

  void Skip() {
    while (p_ < s_.size()) {
      const char c = s_[p_];
      if (c == '\n') {
        ++line_;
      } else if (c != ' ' && c != '\t' && c != '\r') {
        return;
      }
      ++p_;
    }
  }

  // Moves to `to` (forward or back), keeping the line count right.
  void MoveTo(size_t to, size_t from, int fromLine) {
    int line = fromLine;
    for (size_t i = from; i < to && i < s_.size(); ++i)
      if (s_[i] == '\n') ++line;
    p_ = to;
    line_ = line;
  }

  static std::string Shown(char c) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned char>(c));
      return buf;
    }
    return std::string("'") + c + "'";
  }

  bool Literal(std::string_view word) {
    if (s_.substr(p_, word.size()) != word) return false;
    p_ += word.size();
    return true;
  }

  bool Value(TValue& v, int depth) {
    Skip();
    v.line = line_;
    v.begin = p_;
    if (p_ >= s_.size()) return Fail("the file ends where a value was expected");
    const char c = s_[p_];
    bool ok = true;
    if (c == '{' || c == '[') {
      if (depth >= kMaxJsonDepth)
        return Fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
      ok = c == '{' ? Object(v, depth + 1) : Array(v, depth + 1);
    } else if (c == '"') {
      v.kind = TKind::String;
      ok = String(v.text);
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.kind = TKind::Number;
      ok = Number(v.number);
    } else if (Literal("true")) {
      v.kind = TKind::Bool;
      v.boolean = true;
    } else if (Literal("false")) {
      v.kind = TKind::Bool;
    } else if (Literal("null")) {
      v.kind = TKind::Null;
    } else {
      return Fail("unexpected " + Shown(c) + " where a value was expected");
    }
    v.end = p_;
    return ok;
  }

  bool Object(TValue& v, int depth) {
    v.kind = TKind::Object;
    ++p_;
    Skip();
    if (p_ < s_.size() && s_[p_] == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      Skip();
      if (p_ >= s_.size()) return Fail("the file ends inside an object");
      if (s_[p_] != '"') return Fail("expected a key in quotes, found " + Shown(s_[p_]));
      const int keyLine = line_;
      std::string key;
      if (!String(key)) return false;
      Skip();
      if (p_ >= s_.size() || s_[p_] != ':')
        return Fail("expected ':' after the key \"" + key + "\"");
      ++p_;
      TValue member;
      // A list directly under the top-level object can lose one bad element.
      const bool list = depth == 1 && PeekArray();
      const bool ok = list ? Array(member, depth + 1, true) : Value(member, depth);
      if (!ok) {
        // The elements read before the list broke off are still used.
        if (list) {
          member.end = p_;
          v.members.push_back({std::move(key), std::move(member), keyLine});
        }
        return false;
      }
      bool replaced = false;
      for (size_t i = 0; i < v.members.size(); ++i) {
        if (v.members[i].key == key) {
          Issue(keyLine, "the key \"" + key + "\" appears twice; the later value is used", false);
          v.members[i].value = std::move(member);
          v.members[i].line = keyLine;
          replaced = true;
          break;
        }
      }
      if (!replaced) {
        v.members.push_back({std::move(key), std::move(member), keyLine});
      }
      Skip();
      if (p_ >= s_.size()) return Fail("the file ends inside an object (missing '}')");
      if (s_[p_] == ',') {
        ++p_;
        continue;
      }
      if (s_[p_] == '}') {
        ++p_;
        return true;
      }
      return Fail("expected ',' or '}' in an object, found " + Shown(s_[p_]));
    }
  }

  bool PeekArray() {
    Skip();
    return p_ < s_.size() && s_[p_] == '[';
  }

  // Column of a position: for lining elements up when the brackets cannot be trusted.
  size_t ColumnOf(size_t pos) const {
    const size_t nl = s_.rfind('\n', pos == 0 ? 0 : pos - 1);
    return nl == std::string_view::npos ? pos : pos - nl - 1;
  }

  enum class TResync { AfterElement, NextElement, ArrayEnd, Lost };

  // After a syntax error inside the element that starts at `start`, finds
  // where the list goes on: the element's end by its brackets (strings end at
  // their line, since a JSON string never spans one), or, when a line before
  // that starts a new element at the same column (a bracket was missing),
  // that line.
  TResync Resync(size_t start, size_t errorPos, size_t* at) const {
    // By brackets.
    size_t bracketEnd = std::string_view::npos;
    TResync bracketKind = TResync::Lost;
    {
      int depth = 0;
      for (size_t i = start; i < s_.size(); ++i) {
        const char c = s_[i];
        if (c == '"') {
          for (++i; i < s_.size() && s_[i] != '"' && s_[i] != '\n'; ++i)
            if (s_[i] == '\\') ++i;
        } else if (c == '{' || c == '[') {
          ++depth;
        } else if (c == '}' || c == ']') {
          if (--depth == 0) {
            bracketEnd = i + 1;
            bracketKind = TResync::AfterElement;
            break;
          }
          if (depth < 0) {
            bracketEnd = i;
            bracketKind = TResync::ArrayEnd;
            break;
          }
        } else if (c == ',' && depth == 0) {
          bracketEnd = i;
          bracketKind = TResync::AfterElement;
          break;
        }
      }
    }
    // By lines: the next line after the error starting with '{' at the
    // element's column, or with ']' left of it.
    const size_t col = ColumnOf(start);
    // From the error's own line (it may be where the next element begins).
    size_t lineStart = errorPos == 0 ? std::string_view::npos : s_.rfind('\n', errorPos - 1);
    if (lineStart == std::string_view::npos || lineStart < start) lineStart = s_.find('\n', start);
    while (lineStart != std::string_view::npos && lineStart < bracketEnd) {
      size_t i = lineStart + 1;
      while (i < s_.size() && (s_[i] == ' ' || s_[i] == '\t')) ++i;
      if (i >= s_.size() || i >= bracketEnd) break;
      const size_t c = i - lineStart - 1;
      if (s_[i] == '{' && c == col) {
        *at = i;
        return TResync::NextElement;
      }
      if (s_[i] == ']' && c < col) {
        *at = i;
        return TResync::ArrayEnd;
      }
      lineStart = s_.find('\n', i);
    }
    *at = bracketEnd;
    return bracketKind;
  }

  bool Array(TValue& v, int depth, bool recover = false) {
    if (recover) {
      if (depth > kMaxJsonDepth)
        return Fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
      v.line = line_;
      v.begin = p_;
    }
    v.kind = TKind::Array;
    ++p_;
    Skip();
    if (p_ < s_.size() && s_[p_] == ']') {
      ++p_;
      v.end = p_;
      return true;
    }
    for (;;) {
      Skip();
      const size_t start = p_;
      const int startLine = line_;
      TValue item;
      if (Value(item, depth)) {
        v.items.push_back(std::move(item));
      } else {
        if (!recover || p_ >= s_.size()) return false;
        size_t at = 0;
        const TResync how = Resync(start, p_, &at);
        if (how == TResync::Lost) return false;
        MoveTo(at, start, startLine);
        if (how == TResync::NextElement) continue;
      }
      Skip();
      if (p_ >= s_.size()) return Fail("the file ends inside a list (missing ']')");
      if (s_[p_] == ',') {
        ++p_;
        continue;
      }
      if (s_[p_] == ']') {
        ++p_;
        v.end = p_;
        return true;
      }
      Fail("expected ',' or ']' in a list, found " + Shown(s_[p_]));
      if (!recover) return false;
      // A missing comma between two elements: read on from the next one.
      if (s_[p_] == '{' || s_[p_] == '[') continue;
      return false;
    }
  }

  bool Hex4(uint32_t* v) {
    if (p_ + 4 > s_.size()) return false;
    uint32_t x = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[p_ + i];
      x <<= 4;
      if (c >= '0' && c <= '9') {
        x |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        x |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        x |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    p_ += 4;
    *v = x;
    return true;
  }

  bool String(std::string& out) {
    ++p_;  // the opening quote
    for (;;) {
      if (p_ >= s_.size()) return Fail("the file ends inside a string (missing '\"')");
      const char c = s_[p_];
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\n') return Fail("a string is not closed on its line (missing '\"')");
      if (static_cast<unsigned char>(c) < 0x20)
        return Fail("control character " + Shown(c) + " inside a string");
      if (c != '\\') {
        out += c;
        ++p_;
        continue;
      }
      if (++p_ >= s_.size()) return Fail("the file ends inside a string escape");
      const char e = s_[p_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          uint32_t cp = 0;
          if (!Hex4(&cp)) return Fail("\\u must be followed by four hexadecimal digits");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            uint32_t lo = 0;
            if (s_.substr(p_, 2) != "\\u") return Fail("a lone high surrogate in a \\u escape");
            p_ += 2;
            if (!Hex4(&lo) || lo < 0xDC00 || lo > 0xDFFF)
              return Fail("a high surrogate not followed by a low one in a \\u escape");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return Fail("a lone low surrogate in a \\u escape");
          }
          AppendUtf8(out, static_cast<char32_t>(cp));
          break;
        }
        default:
          return Fail("unknown escape \\" + std::string(1, e) + " in a string");
      }
    }
  }

  bool Number(double& out) {
    const size_t start = p_;
    auto digits = [&] {
      const size_t from = p_;
      while (p_ < s_.size() && s_[p_] >= '0' && s_[p_] <= '9') ++p_;
      return p_ > from;
    };
    if (s_[p_] == '-') ++p_;
    if (p_ < s_.size() && s_[p_] == '0') {
      ++p_;
    } else if (!digits()) {
      return Fail("a number needs digits");
    }
    if (p_ < s_.size() && s_[p_] == '.') {
      ++p_;
      if (!digits()) return Fail("a number needs digits after '.'");
    }
    if (p_ < s_.size() && (s_[p_] == 'e' || s_[p_] == 'E')) {
      ++p_;
      if (p_ < s_.size() && (s_[p_] == '+' || s_[p_] == '-')) ++p_;
      if (!digits()) return Fail("a number needs digits in its exponent");
    }
    const std::string_view lit = s_.substr(start, p_ - start);
    const auto r = std::from_chars(lit.data(), lit.data() + lit.size(), out);
    if (r.ec == std::errc::result_out_of_range) {
      // Too large keeps its sign as infinity (checked where numbers are used);
      // too small is zero.
      const bool tiny = lit.find_first_of("eE") != std::string_view::npos &&
                        lit.find("e-") != std::string_view::npos;
      out = tiny ? 0.0
                 : (lit[0] == '-' ? -std::numeric_limits<double>::infinity()
                                  : std::numeric_limits<double>::infinity());
    } else if (r.ec != std::errc()) {
      return Fail("a number that cannot be read");
    }
    return true;
  }
};

}  // namespace

TJsonResult ParseJson(std::string_view text) {
  TJsonResult r;
  if (text.size() > kMaxJsonBytes) {
    r.issues.push_back(
        {0,
         "the file is larger than " + std::to_string(kMaxJsonBytes >> 20) + " MiB and is not read",
         true});
    return r;
  }
  TParser parser(text, r);
  parser.Run();
  r.complete = !parser.failed();
  return r;
}

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string NumberText(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace hanging::json
