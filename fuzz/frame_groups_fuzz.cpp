// Fuzzes the walk of the functional groups of enhanced multi-frame images.
// Besides crashes, hangs and leaks, more frame entries than the input could
// hold items for is a finding.
#include <cstddef>
#include <cstdint>

#include "dicom/PerFrameGroups.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TPerFrameGroups groups;
  std::string reason;
  ReadPerFrameGroupsFromMemory(data, size, groups, &reason);
  // Every item takes at least its 8-byte header.
  if (groups.frames.size() > size / 8 + 1) __builtin_trap();
  for (size_t k = 0; k < groups.frames.size(); ++k) groups.Frame(k);
  return 0;
}
