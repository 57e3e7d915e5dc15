// Text helpers shared by the hanging core: codes as the reader pads them,
// patterns as users write them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace hanging {

// Patterns and the texts they search are bounded: std::regex backtracks, and
// a pattern from a user's file must not stall opening a study.
// Descriptions are LO values (64 characters); body parts shorter.
inline constexpr size_t kMaxPatternLength = 200;
inline constexpr size_t kMaxSearchedLength = 64;
inline constexpr int kMaxRepetitions = 3;

std::string Trim(std::string_view s);
std::string Upper(std::string_view s);
// Trimmed and upper case: how codes (modality, view position, laterality) compare.
std::string Code(std::string_view s);
bool EqualNoCase(std::string_view a, std::string_view b);
// A code against alternatives separated by '\': empty alternatives match anything.
bool CodeMatches(const std::string& alternatives, const std::string& code);
std::vector<std::string> SplitCodes(const std::string& alternatives);

// "" when the pattern can be used, else why not (too long, does not compile,
// or built to backtrack for long).
std::string PatternProblem(const std::string& pattern);
// Case-insensitive search of a usable pattern in (the start of) text. An
// empty pattern matches anything; a pattern that cannot be used, nothing.
bool PatternMatches(const std::string& pattern, std::string_view text);
// A pattern that matches exactly `text`, case aside.
std::string ExactPattern(std::string_view text);

// $XDG_CONFIG_HOME/tavrolen-viewer/<name> ($HOME/.config when the variable is
// unset or not an absolute path).
std::string ConfigFilePath(const std::string& name);
// The whole file into *text; false with *why when it cannot be read or is
// larger than `limit` (a missing file sets *missing).
bool ReadSmallFile(const std::string& path, size_t limit, std::string* text, bool* missing,
                   std::string* why);
// Writes through a temporary file renamed over the target, creating its folder.
bool WriteConfigFile(const std::string& path, const std::string& text, std::string* why);

}  // namespace hanging
