// Fuzzes the header reader on files held in memory. Besides crashes, hangs
// and leaks, a record whose frame tables or buffers reach outside the input
// is a finding.
#include <cstddef>
#include <cstdint>
#include <string>

#include "dicom/dicom.h"

namespace {

void Check(const DICOMdata& h, size_t size) {
  const auto n = size_t(h.gECATJPEG_table_entries);
  if (h.gECATJPEG_pos_table.size() != n || h.gECATJPEG_size_table.size() != n) __builtin_trap();
  for (size_t k = 0; k < n; ++k) {
    const int64_t pos = h.gECATJPEG_pos_table[k], len = h.gECATJPEG_size_table[k];
    if (pos < 0 || len < 0 || pos + len > int64_t(size)) __builtin_trap();
  }
  if (h.overlay_data_bytes.size() > size || h.Lut.Lutdata.size() * 2 > size) __builtin_trap();
  if (h.XYZdim[2] < 1) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const DicomMessageSink quiet = [](const std::string&) {};
  DICOMdata h;
  // With frame tables into a fresh record, then without into the same record.
  for (bool tables : {true, false}) {
    try {
      ReadDicomHeaderFromMemory(data, size, tables, h, quiet);
    } catch (const EDicomReadError&) {
      continue;
    }
    Check(h, size);
  }
  return 0;
}
