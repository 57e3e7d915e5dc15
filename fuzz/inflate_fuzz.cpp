// Inflation, bounded: with the first byte's low bit set, the rest is one
// deflated frame (see codec_fuzz.h); otherwise it is the data set of a file
// whose meta group names the deflated syntax, read by the header reader
// through its inflated stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec_fuzz.h"
#include "dicom/dicom.h"
#include "pixels/codecs/Deflate.h"

namespace {

// Preamble, "DICM" and a meta group of one element, the transfer syntax.
std::vector<uint8_t> DeflatedMeta() {
  std::vector<uint8_t> f(128, 0);
  const char* uid = "1.2.840.10008.1.2.1.99";  // 22 characters: no padding
  f.insert(f.end(), {'D', 'I', 'C', 'M', 0x02, 0x00, 0x10, 0x00, 'U', 'I', 22, 0});
  f.insert(f.end(), uid, uid + 22);
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) return FuzzFrameCodec(DecodeDeflatedFrame, data + 1, size - 1);
  static const std::vector<uint8_t> meta = DeflatedMeta();
  std::vector<uint8_t> file = meta;
  file.insert(file.end(), data + 1, data + size);
  DICOMdata header;
  try {
    ReadDicomHeaderFromMemory(file.data(), file.size(), true, header);
  } catch (const EDicomReadError&) {
  }
  return 0;
}
