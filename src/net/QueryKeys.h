// Query keys and matches as both kinds of server share them: keys by DICOM
// keyword ("PatientID", or a tag written "0010,0020"), matches as rows of
// keyword and trimmed text value. The keyword dictionary is DCMTK's.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "net/PacsServer.h"

struct TQueryKey {
  std::string keyword;  // a dictionary keyword
  std::string value;    // empty: a return key only
};

struct TQueryRow {
  std::vector<std::pair<std::string, std::string>> fields;  // in return-key order
  // The value of keyword, or empty.
  const std::string& Get(const std::string& keyword) const;
  void Set(const std::string& keyword, std::string value);
};

// KEY=VALUE or KEY (a return key). KEY is a keyword or a tag "gggg,eeee"
// (turned into its keyword). False with a reason for an unknown key.
bool ParseQueryKey(const std::string& text, TQueryKey& key, std::string& why);

// The tag of a dictionary keyword; false when the dictionary has none.
bool KeywordToTag(const std::string& keyword, uint16_t& group, uint16_t& element);
std::string TagToKeyword(uint16_t group, uint16_t element);

// What a query at this level asks for and prints, in order: the usual keys
// of the level, then the caller's keys not among them.
std::vector<std::string> ReturnKeys(TQueryLevel level, const std::vector<TQueryKey>& keys);

// Blanks (and NULs) trimmed at both ends of each value of a multi-valued text.
std::string TrimValue(const std::string& value);

// DICOM wildcard matching: '*' any run of characters, '?' one character
// (a UTF-8 sequence counts as one). A multi-valued text matches when any of
// its values does. foldCase: compare ASCII letters without regard to case
// (as archives match person names).
bool WildcardMatch(const std::string& pattern, const std::string& text, bool foldCase);

// A matching value as it can travel in a URL query to a server that does not
// decode percent escapes (Orthanc's QIDO-RS does not): every character a URL
// query must escape becomes the wildcard '?'. The matches are then narrowed
// to the original value with WildcardMatch.
std::string UrlSafeMatchValue(const std::string& value);
