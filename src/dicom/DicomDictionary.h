// The data dictionary: VR, keyword and name of every standard element and of
// the private elements DCMTK knows, from tables generated at build time
// (src/dicom/gen). Lookups never allocate and are safe from any thread.
#pragma once

#include <cstdint>
#include <string_view>

struct DictionaryInfo {
  // The dictionary's VR. Besides the standard two letters it may be one of
  // DCMTK's ambiguous codes: "xs" (US or SS), "ox" (OB or OW), "lt" (US, SS or
  // OW), "px" (pixel data, OB or OW), "up" (UL offset), "na" (item tags).
  const char* vr;
  const char* keyword;  // empty for group lengths and private creators
  const char* name;
  bool retired;
};

// A standard element (exact tags first, then repeating groups such as 60xx and
// group lengths); null when the tag is unknown or private.
const DictionaryInfo* LookupTag(uint32_t tag);

// A private element by its group, its creator's text and the low byte of its
// element number; null when unknown.
const DictionaryInfo* LookupPrivate(uint16_t group, std::string_view creator, uint8_t element);

// The tag of a standard keyword; 0xFFFFFFFF when there is none.
uint32_t TagOfKeyword(std::string_view keyword);

// Private: odd groups other than 1, 3, 5 and 7 (which the standard reserves).
inline bool IsPrivateGroup(uint16_t group) {
  return (group & 1) != 0 && group > 7;
}
// (gggg,0010) ... (gggg,00FF) of a private group name the creators of its blocks.
inline bool IsPrivateCreator(uint16_t group, uint16_t element) {
  return IsPrivateGroup(group) && element >= 0x0010 && element <= 0x00FF;
}
