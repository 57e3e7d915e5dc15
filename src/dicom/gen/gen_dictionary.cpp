// Build-time generator of the data dictionary: reads DCMTK's dicom.dic and
// private.dic (tag, VR, keyword; maintained with every DCMTK release) and,
// when present, GDCM's Part6.xml for the standard's element names, and writes
// the C++ tables that DicomDictionary.cpp compiles in.
//
// usage: gen_dictionary OUT.inc DICOM_DIC PRIVATE_DIC [PART6_XML]
//
// The names: Part6.xml spells them as the standard does ("Patient's Name");
// an element it does not know (it is an older edition) gets a name made from
// its keyword ("SOPInstanceUID" -> "SOP Instance UID").
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Split(const std::string& line, char sep) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == sep) {
      out.push_back(cur);
      cur.clear();
    } else if (c != '\r') {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

bool ParseHex(const std::string& s, unsigned& v) {
  if (s.empty() || s.size() > 4) return false;
  v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * 16 + unsigned(d);
  }
  return true;
}

// One part of a DCMTK tag: "0010", "6000-60FF" (even numbers, DCMTK's
// default), "0009-o-FFFF" (odd) or "0000-u-FFFF" (all).
struct Part {
  unsigned lo = 0, hi = 0;
  char range = 'x';  // x exact, e even, o odd, u all
};

bool ParsePart(const std::string& s, Part& p) {
  const auto pieces = Split(s, '-');
  if (pieces.size() == 1) {
    if (!ParseHex(pieces[0], p.lo)) return false;
    p.hi = p.lo;
    p.range = 'x';
    return true;
  }
  if (pieces.size() == 2) {
    p.range = 'e';
    return ParseHex(pieces[0], p.lo) && ParseHex(pieces[1], p.hi);
  }
  if (pieces.size() == 3 && pieces[1].size() == 1) {
    p.range = pieces[1][0];
    if (p.range != 'o' && p.range != 'e' && p.range != 'u') return false;
    return ParseHex(pieces[0], p.lo) && ParseHex(pieces[2], p.hi);
  }
  return false;
}

// "SOPInstanceUID" -> "SOP Instance UID", "PatientName" -> "Patient Name".
std::string NameFromKeyword(const std::string& k) {
  std::string out;
  for (size_t i = 0; i < k.size(); ++i) {
    const char c = k[i];
    const bool upper = c >= 'A' && c <= 'Z', digit = c >= '0' && c <= '9';
    if (i > 0 && c != '_') {
      const char p = k[i - 1];
      const bool pLower = p >= 'a' && p <= 'z', pUpper = p >= 'A' && p <= 'Z',
                 pDigit = p >= '0' && p <= '9';
      const bool nLower = i + 1 < k.size() && k[i + 1] >= 'a' && k[i + 1] <= 'z';
      if ((upper && (pLower || pDigit)) || (upper && pUpper && nLower) || (digit && pLower))
        out += ' ';
    }
    out += c == '_' ? ' ' : c;
  }
  return out;
}

std::string XmlUnescape(const std::string& s) {
  static const std::pair<const char*, const char*> kEntities[] = {
      {"&amp;", "&"}, {"&apos;", "'"}, {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}};
  std::string out;
  for (size_t i = 0; i < s.size();) {
    bool done = false;
    if (s[i] == '&') {
      for (const auto& [from, to] : kEntities) {
        const std::string f = from;
        if (s.compare(i, f.size(), f) == 0) {
          out += to;
          i += f.size();
          done = true;
          break;
        }
      }
    }
    if (!done) out += s[i++];
  }
  return out;
}

std::string Attribute(const std::string& line, const std::string& name) {
  const std::string key = " " + name + "=\"";
  const size_t at = line.find(key);
  if (at == std::string::npos) return {};
  const size_t start = at + key.size();
  const size_t end = line.find('"', start);
  if (end == std::string::npos) return {};
  return XmlUnescape(line.substr(start, end - start));
}

// A C++ string literal; names are ASCII or UTF-8 and pass through.
std::string Literal(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

struct Entry {
  Part group, element;
  std::string vr, keyword, name, creator;
  bool retired = false;
  int kind = 0;  // 0 standard, 1 generic group length, 2 private creator, 3 private group length
};

char RangeCode(char r) {
  switch (r) {
    case 'e':
      return '2';
    case 'o':
      return '3';
    case 'u':
      return '1';
    default:
      return '0';
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: gen_dictionary OUT.inc DICOM_DIC PRIVATE_DIC [PART6_XML]\n";
    return 2;
  }
  // Standard names by keyword from Part6.xml, when there is one.
  std::map<std::string, std::string> names;
  if (argc > 4) {
    std::ifstream xml(argv[4]);
    std::string line;
    while (std::getline(xml, line)) {
      if (line.find("<entry ") == std::string::npos) continue;
      const std::string keyword = Attribute(line, "keyword"), name = Attribute(line, "name");
      if (!keyword.empty() && !name.empty()) names[keyword] = name;
    }
  }

  std::vector<Entry> standard, privates;
  auto readDic = [&](const char* path, bool isPrivate) {
    std::ifstream in(path);
    if (!in) {
      std::cerr << "gen_dictionary: cannot read " << path << "\n";
      return false;
    }
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
      ++lineNo;
      if (line.empty() || line[0] == '#') continue;
      const auto f = Split(line, '\t');
      if (f.size() < 5 || f[0].size() < 5 || f[0].front() != '(' || f[0].back() != ')') continue;
      const std::string inner = f[0].substr(1, f[0].size() - 2);
      Entry e;
      std::vector<std::string> parts;
      if (isPrivate) {
        // (gggg,"creator",ee): the element's low byte within the creator's block.
        const size_t q1 = inner.find('"'), q2 = inner.rfind('"');
        if (q1 == std::string::npos || q2 <= q1 || q1 == 0) continue;
        e.creator = inner.substr(q1 + 1, q2 - q1 - 1);
        parts = {inner.substr(0, q1 - 1), inner.substr(q2 + 2)};
      } else {
        parts = Split(inner, ',');
      }
      if (parts.size() != 2 || !ParsePart(parts[0], e.group) || !ParsePart(parts[1], e.element)) {
        std::cerr << path << ":" << lineNo << ": unreadable tag " << f[0] << "\n";
        return false;
      }
      e.vr = f[1];
      e.keyword = f[2];
      const std::string& source = f[4];
      e.retired = source.find("retired") != std::string::npos;
      if (e.keyword.rfind("RETIRED_", 0) == 0) e.keyword = e.keyword.substr(8);
      if (source == "GENERIC") {
        e.kind = 1;
        e.name = "Group Length";
      } else if (source == "PRIVATE" || source == "ILLEGAL") {
        const bool creator = e.element.lo != 0;
        e.kind = creator ? 2 : 3;
        e.name = creator ? "Private Creator" : "Private Group Length";
      } else {
        const auto it = names.find(e.keyword);
        e.name = it != names.end() ? it->second : NameFromKeyword(e.keyword);
      }
      (isPrivate ? privates : standard).push_back(e);
    }
    return true;
  };
  if (!readDic(argv[2], false) || !readDic(argv[3], true)) return 1;
  if (standard.size() < 1000) {
    std::cerr << "gen_dictionary: " << argv[2] << " holds too few elements\n";
    return 1;
  }

  std::vector<const Entry*> exact, ranges;
  for (const Entry& e : standard) {
    if (e.group.range == 'x' && e.element.range == 'x')
      exact.push_back(&e);
    else
      ranges.push_back(&e);
  }
  std::sort(exact.begin(), exact.end(), [](const Entry* a, const Entry* b) {
    return (a->group.lo << 16 | a->element.lo) < (b->group.lo << 16 | b->element.lo);
  });
  std::sort(privates.begin(), privates.end(), [](const Entry& a, const Entry& b) {
    if (a.creator != b.creator) return a.creator < b.creator;
    if (a.group.lo != b.group.lo) return a.group.lo < b.group.lo;
    return a.element.lo < b.element.lo;
  });

  std::ostringstream out;
  out << "// Generated at build time by gen_dictionary from DCMTK's dicom.dic and private.dic\n"
         "// (names from GDCM's Part6.xml where it has them). Do not edit.\n\n";
  auto hex = [](unsigned v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%04X", v);
    return std::string(b);
  };
  out << "static const DictionaryEntry kExactEntries[] = {\n";
  for (const Entry* e : exact) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "0x%08Xu", e->group.lo << 16 | e->element.lo);
    out << "    {" << tag << ", {" << Literal(e->vr) << ", " << Literal(e->keyword) << ", "
        << Literal(e->name) << ", " << (e->retired ? "true" : "false") << "}},\n";
  }
  out << "};\n\n";
  out << "static const DictionaryRange kRangeEntries[] = {\n";
  for (const Entry* e : ranges) {
    out << "    {" << hex(e->group.lo) << ", " << hex(e->group.hi) << ", "
        << RangeCode(e->group.range) << ", " << hex(e->element.lo) << ", " << hex(e->element.hi)
        << ", " << RangeCode(e->element.range) << ", " << e->kind << ", {" << Literal(e->vr) << ", "
        << Literal(e->kind ? "" : e->keyword) << ", " << Literal(e->name) << ", "
        << (e->retired ? "true" : "false") << "}},\n";
  }
  out << "};\n\n";
  out << "static const PrivateEntry kPrivateEntries[] = {\n";
  for (const Entry& e : privates) {
    out << "    {" << Literal(e.creator) << ", " << hex(e.group.lo) << ", " << hex(e.group.hi)
        << ", " << RangeCode(e.group.range) << ", " << hex(e.element.lo & 0xFF) << ", {"
        << Literal(e.vr) << ", " << Literal(e.keyword) << ", "
        << Literal(NameFromKeyword(e.keyword)) << ", false}},\n";
  }
  out << "};\n";

  // Written only when it changes, so a rebuild does not recompile its users.
  const std::string text = out.str();
  {
    std::ifstream old(argv[1], std::ios::binary);
    std::stringstream have;
    have << old.rdbuf();
    if (old && have.str() == text) return 0;
  }
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file << text;
  return file ? 0 : 1;
}
