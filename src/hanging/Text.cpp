#include "hanging/Text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>

#include "dicom/SafeOutput.h"

namespace hanging {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  // The reader pads codes with spaces and sometimes NULs.
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\0' || c == '\r' || c == '\n'; };
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string Code(std::string_view s) {
  return Upper(Trim(s));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return Upper(a) == Upper(b);
}

std::vector<std::string> SplitCodes(const std::string& alternatives) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t bs = alternatives.find('\\', start);
    std::string part = Code(alternatives.substr(start, bs == std::string::npos ? bs : bs - start));
    if (!part.empty()) out.push_back(std::move(part));
    if (bs == std::string::npos) break;
    start = bs + 1;
  }
  return out;
}

bool CodeMatches(const std::string& alternatives, const std::string& code) {
  const std::vector<std::string> alts = SplitCodes(alternatives);
  if (alts.empty()) return true;
  const std::string c = Code(code);
  for (const std::string& a : alts)
    if (a == c) return true;
  return false;
}

namespace {

// Why a pattern could backtrack for long, or "". A group that repeats
// (*, + or {n,m}) holding a repetition or an alternation of its own ("(a+)+",
// "(a|a)*") is exponential; many open-ended repetitions in a row (".*.*.*.*")
// are a high power of the text's length.
std::string Risk(const std::string& p) {
  std::vector<bool> inner;  // per open group: does it hold a quantifier or '|'
  bool lastWasGroupWithRisk = false;
  int repetitions = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    bool closedRisky = false;
    if (c == '\\') {
      ++i;
    } else if (c == '[') {
      // A class: skip to its end.
      ++i;
      if (i < p.size() && p[i] == '^') ++i;
      if (i < p.size() && p[i] == ']') ++i;
      while (i < p.size() && p[i] != ']') {
        if (p[i] == '\\') ++i;
        ++i;
      }
    } else if (c == '(') {
      inner.push_back(false);
    } else if (c == ')') {
      if (!inner.empty()) {
        closedRisky = inner.back();
        inner.pop_back();
        if (closedRisky && !inner.empty()) inner.back() = true;
      }
    } else if (c == '*' || c == '+' || c == '{') {
      if (lastWasGroupWithRisk)
        return "the pattern repeats a group that itself repeats or alternates, which can take "
               "very long to search";
      if (c != '{' && ++repetitions > kMaxRepetitions)
        return "the pattern has more than " + std::to_string(kMaxRepetitions) +
               " open-ended repetitions, which can take very long to search";
      if (!inner.empty()) inner.back() = true;
    } else if (c == '|') {
      if (!inner.empty()) inner.back() = true;
    }
    lastWasGroupWithRisk = closedRisky;
  }
  return {};
}

std::shared_ptr<const std::regex> Compiled(const std::string& pattern, std::string* why) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const std::regex>> cache;
  {
    std::lock_guard lock(mutex);
    const auto it = cache.find(pattern);
    if (it != cache.end()) return it->second;
  }
  std::shared_ptr<const std::regex> re;
  try {
    re = std::make_shared<const std::regex>(
        pattern, std::regex::ECMAScript | std::regex::icase | std::regex::optimize);
  } catch (const std::regex_error& e) {
    if (why) *why = e.what();
  }
  std::lock_guard lock(mutex);
  // Patterns come from a few files: the cache stays small unless a fuzzer feeds it.
  if (cache.size() > 512) cache.clear();
  cache.emplace(pattern, re);
  return re;
}

}  // namespace

std::string PatternProblem(const std::string& pattern) {
  if (pattern.size() > kMaxPatternLength)
    return "the pattern is longer than " + std::to_string(kMaxPatternLength) + " characters";
  if (std::string risk = Risk(pattern); !risk.empty()) return risk;
  std::string why;
  if (!Compiled(pattern, &why)) {
    // The cache keeps the failure, so a second look has no reason: say it generically.
    return why.empty() ? "the pattern does not compile" : "the pattern does not compile: " + why;
  }
  return {};
}

bool PatternMatches(const std::string& pattern, std::string_view text) {
  if (pattern.empty()) return true;
  if (pattern.size() > kMaxPatternLength || !Risk(pattern).empty()) return false;
  const auto re = Compiled(pattern, nullptr);
  if (!re) return false;
  const std::string t = Trim(text.substr(0, kMaxSearchedLength));
  try {
    return std::regex_search(t, *re);
  } catch (const std::regex_error&) {
    return false;  // the library gave up (error_complexity, error_stack)
  }
}

std::string ExactPattern(std::string_view text) {
  std::string out = "^";
  for (const char c : Trim(text)) {
    if (std::strchr("\\^$.|?*+()[]{}/", c) && c != '\0') out += '\\';
    out += c;
  }
  return out + "$";
}

std::string ConfigFilePath(const std::string& name) {
  std::string base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && home[0] ? home : ".") + "/.config";
  }
  return base + "/tavrolen-viewer/" + name;
}

bool ReadSmallFile(const std::string& path, size_t limit, std::string* text, bool* missing,
                   std::string* why) {
  *missing = false;
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    *missing = true;
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    *why = "it is a folder";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = std::string("cannot be opened: ") + std::strerror(errno);
    return false;
  }
  text->clear();
  char buf[65536];
  while (in) {
    in.read(buf, sizeof buf);
    text->append(buf, static_cast<size_t>(in.gcount()));
    if (text->size() > limit) {
      *why = "the file is larger than " + std::to_string(limit >> 20) + " MiB and is not read";
      text->clear();
      return false;
    }
  }
  if (in.bad()) {
    *why = "cannot be read";
    return false;
  }
  return true;
}

bool WriteConfigFile(const std::string& path, const std::string& text, std::string* why) {
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty()) {
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      *why = folder.string() + ": " + ec.message();
      return false;
    }
  }
  std::string w;
  if (!WriteFileSafely(path, text, w)) {
    *why = w;
    return false;
  }
  return true;
}

}  // namespace hanging
