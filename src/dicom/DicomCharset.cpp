#include "dicom/DicomCharset.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>

namespace {

constexpr char kEsc = 0x1B;
// Stand-ins: no conversion needed or done by hand.
constexpr const char* kLatin1 = "ISO-8859-1";
constexpr const char* kUtf8 = "UTF-8";

struct Term {
  const char* term;
  const char* encoding;
};

// Defined Terms of Specific Character Set and the iconv encodings that read them.
constexpr Term kTerms[] = {
    {"", kLatin1},
    {"ISO_IR 6", kLatin1},
    {"ISO_IR 13", "SHIFT_JIS"},
    {"ISO_IR 100", kLatin1},
    {"ISO_IR 101", "ISO-8859-2"},
    {"ISO_IR 109", "ISO-8859-3"},
    {"ISO_IR 110", "ISO-8859-4"},
    {"ISO_IR 126", "ISO-8859-7"},
    {"ISO_IR 127", "ISO-8859-6"},
    {"ISO_IR 138", "ISO-8859-8"},
    {"ISO_IR 144", "ISO-8859-5"},
    {"ISO_IR 148", "ISO-8859-9"},
    {"ISO_IR 166", "TIS-620"},
    {"ISO_IR 203", "ISO-8859-15"},
    {"ISO_IR 192", kUtf8},
    {"GB18030", "GB18030"},
    {"GBK", "GBK"},
    {"ISO 2022 IR 6", kLatin1},
    {"ISO 2022 IR 13", "SHIFT_JIS"},
    {"ISO 2022 IR 87", "ISO-2022-JP"},
    {"ISO 2022 IR 100", kLatin1},
    {"ISO 2022 IR 101", "ISO-8859-2"},
    {"ISO 2022 IR 109", "ISO-8859-3"},
    {"ISO 2022 IR 110", "ISO-8859-4"},
    {"ISO 2022 IR 126", "ISO-8859-7"},
    {"ISO 2022 IR 127", "ISO-8859-6"},
    {"ISO 2022 IR 138", "ISO-8859-8"},
    {"ISO 2022 IR 144", "ISO-8859-5"},
    {"ISO 2022 IR 148", "ISO-8859-9"},
    {"ISO 2022 IR 149", "EUC-KR"},
    {"ISO 2022 IR 159", "ISO-2022-JP-2"},
    {"ISO 2022 IR 166", "TIS-620"},
    {"ISO 2022 IR 203", "ISO-8859-15"},
    {"ISO 2022 IR 58", "GB2312"},
    {"ISO 2022 GBK", "GBK"},
    {"ISO 2022 58", "GB2312"},
};

// Escape sequences (after ESC) that designate a set, and how to read what follows.
struct Escape {
  const char* code;
  const char* encoding;
  bool keepEscape;  // stateful encodings read the escape themselves
};
constexpr Escape kEscapes[] = {
    {"(B", kLatin1, false},      {"-A", kLatin1, false},         {")I", "SHIFT_JIS", false},
    {"(J", "SHIFT_JIS", false},  {"$B", "ISO-2022-JP", true},    {"-B", "ISO-8859-2", false},
    {"-C", "ISO-8859-3", false}, {"-D", "ISO-8859-4", false},    {"-F", "ISO-8859-7", false},
    {"-G", "ISO-8859-6", false}, {"-H", "ISO-8859-8", false},    {"-L", "ISO-8859-5", false},
    {"-M", "ISO-8859-9", false}, {"-T", "TIS-620", false},       {"-b", "ISO-8859-15", false},
    {"$)C", "EUC-KR", false},    {"$(D", "ISO-2022-JP-2", true}, {"$)A", "GB2312", false},
};

const char* EncodingOf(const std::string& term) {
  for (const Term& t : kTerms)
    if (term == t.term) return t.encoding;
  return nullptr;
}

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += char(0xE0 | (cp >> 12));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xF0 | (cp >> 18));
    out += char(0x80 | ((cp >> 12) & 0x3F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

std::string SanitizeUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    const auto c = uint8_t(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    bool ok = extra >= 0;
    char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; ok && k <= extra; ++k) {
      if (i + size_t(k) >= s.size() || (uint8_t(s[i + k]) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = cp << 6 | (uint8_t(s[i + k]) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not text.
    if (ok && ((extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) ||
               (extra == 3 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
      ok = false;
    if (!ok) {
      AppendUtf8(out, 0xFFFD);
      ++i;
      continue;
    }
    out.append(s.substr(i, size_t(extra) + 1));
    i += size_t(extra) + 1;
  }
  return out;
}

std::string CharsetDecoder::Latin1(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) AppendUtf8(out, char32_t(uint8_t(c)));
  return out;
}

bool CharsetDecoder::Known(const std::vector<std::string>& terms) {
  for (const auto& t : terms)
    if (!EncodingOf(t)) return false;
  return true;
}

struct CharsetDecoder::Handles {
  std::map<std::string, iconv_t> open;
  ~Handles() {
    for (auto& [name, h] : open)
      if (h != iconv_t(-1)) iconv_close(h);
  }
  iconv_t Get(const char* encoding) {
    auto it = open.find(encoding);
    if (it == open.end()) it = open.emplace(encoding, iconv_open("UTF-8", encoding)).first;
    return it->second;
  }
};

CharsetDecoder::CharsetDecoder() : handles_(std::make_unique<Handles>()) {}
CharsetDecoder::~CharsetDecoder() = default;

void CharsetDecoder::Convert(const char* encoding, std::string_view bytes, std::string& out) {
  if (bytes.empty()) return;
  if (encoding == kLatin1) {
    out += Latin1(bytes);
    return;
  }
  if (encoding == kUtf8) {
    out += SanitizeUtf8(bytes);
    return;
  }
  iconv_t h = handles_->Get(encoding);
  if (h == iconv_t(-1)) {  // the C library lacks the encoding
    out += Latin1(bytes);
    return;
  }
  iconv(h, nullptr, nullptr, nullptr, nullptr);  // initial shift state
  std::string in(bytes);
  char* src = in.data();
  size_t left = in.size();
  char buffer[1024];
  while (left > 0) {
    char* dst = buffer;
    size_t room = sizeof buffer;
    const size_t r = iconv(h, &src, &left, &dst, &room);
    out.append(buffer, size_t(dst - buffer));
    if (r == size_t(-1)) {
      if (errno == E2BIG) continue;
      // An invalid or incomplete sequence: one replacement character per byte.
      AppendUtf8(out, 0xFFFD);
      ++src;
      --left;
      iconv(h, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buffer;
  size_t room = sizeof buffer;
  iconv(h, nullptr, nullptr, &dst, &room);
  out.append(buffer, size_t(dst - buffer));
}

std::string CharsetDecoder::Decode(std::string_view bytes, const std::vector<std::string>& terms) {
  const char* first = terms.empty() ? kLatin1 : EncodingOf(terms[0]);
  if (!first) first = kLatin1;  // an unknown term: read as the default
  std::string out;
  if (bytes.find(kEsc) == std::string_view::npos) {
    Convert(first, bytes, out);
    return out;
  }
  // Fragments, each starting at an escape sequence (the first may not).
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t next = bytes.find(kEsc, pos + 1);
    if (next == std::string_view::npos) next = bytes.size();
    std::string_view frag = bytes.substr(pos, next - pos);
    pos = next;
    if (frag.empty() || frag[0] != kEsc) {
      Convert(first, frag, out);
      continue;
    }
    const Escape* found = nullptr;
    for (const Escape& e : kEscapes) {
      const size_t n = std::strlen(e.code);
      if (frag.size() > n && frag.substr(1, n) == e.code) {
        found = &e;
        break;
      }
    }
    if (!found) {
      Convert(first, frag, out);
      continue;
    }
    if (found->keepEscape) {
      Convert(found->encoding, frag, out);
      continue;
    }
    frag.remove_prefix(1 + std::strlen(found->code));
    // A delimiter (line break, tab, form feed, or the person name separators)
    // returns to the first set.
    size_t stop = 0;
    const auto delimiter = [](char c) {
      return c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == '^' || c == '=';
    };
    while (stop < frag.size() && !delimiter(frag[stop])) ++stop;
    Convert(found->encoding, frag.substr(0, stop), out);
    Convert(first, frag.substr(stop), out);
  }
  return out;
}

std::vector<std::string> CharsetTerms(std::string_view value) {
  std::vector<std::string> terms;
  size_t start = 0;
  while (true) {
    const size_t at = value.find('\\', start);
    std::string_view term = value.substr(start, at == std::string_view::npos ? at : at - start);
    while (!term.empty() && (term.front() == ' ' || term.front() == '\0')) term.remove_prefix(1);
    while (!term.empty() && (term.back() == ' ' || term.back() == '\0')) term.remove_suffix(1);
    terms.emplace_back(term);
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  // A value of one empty term declares nothing.
  if (terms.size() == 1 && terms[0].empty()) terms.clear();
  return terms;
}

std::string DisplayText(CharsetDecoder& decoder, std::string_view bytes,
                        const std::vector<std::string>& terms) {
  const auto pad = [](char c) { return c == ' ' || c == '\0'; };
  while (!bytes.empty() && pad(bytes.back())) bytes.remove_suffix(1);
  while (!bytes.empty() && pad(bytes.front())) bytes.remove_prefix(1);
  bool plain = true;
  for (char c : bytes)
    if (uint8_t(c) >= 0x80 || c == kEsc) {
      plain = false;
      break;
    }
  // Every set reads 7-bit text without escapes as ASCII: most values need no
  // conversion at all.
  std::string out = plain ? std::string(bytes) : decoder.Decode(bytes, terms);
  for (char& c : out)
    if (uint8_t(c) < 0x20 || c == 0x7F) c = ' ';
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string PersonNameText(std::string_view name) {
  std::string out;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('=', start);
    if (end == std::string_view::npos) end = name.size();
    std::string group(name.substr(start, end - start));
    for (char& c : group)
      if (c == '^') c = ' ';
    const size_t first = group.find_first_not_of(' ');
    if (first != std::string::npos) {
      group = group.substr(first, group.find_last_not_of(' ') - first + 1);
      if (!out.empty()) out += '=';
      out += group;
    }
    start = end + 1;
  }
  return out;
}
