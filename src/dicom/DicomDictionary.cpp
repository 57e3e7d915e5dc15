#include "dicom/DicomDictionary.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <unordered_map>

namespace {

struct DictionaryEntry {
  uint32_t tag;
  DictionaryInfo info;
};

// Range codes of the generated tables: 0 exact, 1 every number, 2 even, 3 odd.
struct DictionaryRange {
  uint16_t groupLo, groupHi;
  uint8_t groupRange;
  uint16_t elementLo, elementHi;
  uint8_t elementRange;
  uint8_t kind;  // 0 standard, 1 group length, 2 private creator, 3 private group length
  DictionaryInfo info;
};

struct PrivateEntry {
  const char* creator;
  uint16_t groupLo, groupHi;
  uint8_t groupRange;
  uint8_t element;
  DictionaryInfo info;
};

#include "DicomDictionaryData.inc"

bool InRange(unsigned v, unsigned lo, unsigned hi, uint8_t range) {
  if (v < lo || v > hi) return false;
  switch (range) {
    case 2:
      return v % 2 == 0;
    case 3:
      return v % 2 == 1;
    default:
      return true;
  }
}

}  // namespace

const DictionaryInfo* LookupTag(uint32_t tag) {
  const uint16_t group = uint16_t(tag >> 16), element = uint16_t(tag);
  if (IsPrivateGroup(group)) {
    // Only the generic rows (group lengths, creators) describe private groups.
    for (const DictionaryRange& r : kRangeEntries) {
      if (r.kind >= 2 && InRange(group, r.groupLo, r.groupHi, r.groupRange) &&
          InRange(element, r.elementLo, r.elementHi, r.elementRange))
        return &r.info;
    }
    return nullptr;
  }
  const auto it = std::lower_bound(std::begin(kExactEntries), std::end(kExactEntries), tag,
                                   [](const DictionaryEntry& e, uint32_t t) { return e.tag < t; });
  if (it != std::end(kExactEntries) && it->tag == tag) return &it->info;
  // Repeating groups before the generic group length, which matches any group.
  const DictionaryInfo* generic = nullptr;
  for (const DictionaryRange& r : kRangeEntries) {
    if (r.kind >= 2) continue;
    if (!InRange(group, r.groupLo, r.groupHi, r.groupRange) ||
        !InRange(element, r.elementLo, r.elementHi, r.elementRange))
      continue;
    if (r.kind == 1) {
      generic = &r.info;
      continue;
    }
    return &r.info;
  }
  return generic;
}

const DictionaryInfo* LookupPrivate(uint16_t group, std::string_view creator, uint8_t element) {
  // Entries are sorted by creator, so the creator's rows are one run.
  const auto first = std::lower_bound(
      std::begin(kPrivateEntries), std::end(kPrivateEntries), creator,
      [](const PrivateEntry& e, std::string_view c) { return std::string_view(e.creator) < c; });
  for (auto it = first; it != std::end(kPrivateEntries) && it->creator == creator; ++it) {
    if (it->element == element && InRange(group, it->groupLo, it->groupHi, it->groupRange))
      return &it->info;
  }
  return nullptr;
}

uint32_t TagOfKeyword(std::string_view keyword) {
  static const std::unordered_map<std::string, uint32_t> byKeyword = [] {
    std::unordered_map<std::string, uint32_t> m;
    for (const DictionaryEntry& e : kExactEntries)
      if (*e.info.keyword) m.emplace(e.info.keyword, e.tag);
    return m;
  }();
  const auto it = byKeyword.find(std::string(keyword));
  return it == byKeyword.end() ? 0xFFFFFFFFu : it->second;
}
