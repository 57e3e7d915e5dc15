// Fuzzes the element walk behind the tag browser and `tags`, and the
// calibration and information-window facts read from it. Besides crashes,
// hangs and leaks, a listing that claims more elements or bytes than the
// input holds is a finding, and so is text that is not UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dicom/Calibration.h"
#include "dicom/DicomCharset.h"
#include "dicom/DicomElements.h"
#include "dicom/HeaderFacts.h"
#include "dicom/dicom_values.h"

namespace {

size_t Check(const std::vector<TagElement>& es, size_t size, int depth) {
  if (depth > kMaxDepth + 1) __builtin_trap();
  size_t n = 0;
  for (const TagElement& e : es) {
    ++n;
    if (e.length < 0 || size_t(e.length) > size || e.offset < 0 || size_t(e.offset) > size)
      __builtin_trap();
    for (const std::string& t : e.texts)
      if (SanitizeUtf8(t) != t) __builtin_trap();
    for (const auto& item : e.items) n += Check(item, size, depth + 1);
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryByteSource src(data, size);
  const TagListing l = ReadTagListing(src);
  if (Check(l.elements, size, 0) != l.count || l.count > size / 8 + 1) __builtin_trap();
  (void)TagListingText(l.elements);
  const ImageCalibration c = CalibrationOf(l);
  (void)c.ScaleFor(0, 0, 10, 10);
  (void)HeaderFactsOf(l);
  return 0;
}
