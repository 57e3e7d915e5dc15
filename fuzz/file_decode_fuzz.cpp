// File to decoded frames: the header is read from memory, the same bytes are
// written to a temporary file for the frame reader, and every frame (up to a
// bound) is decoded and put through the lookup-table step, as the viewer and
// the command-line tool do.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "dicom/dicom.h"
#include "pixels/FrameDecoder.h"
#include "pixels/FrameGeometry.h"

namespace {

const std::string& TempPath() {
  static const std::string path = (std::filesystem::temp_directory_path() /
                                   ("tavrolen-file-decode-" + std::to_string(getpid()) + ".dcm"))
                                      .string();
  return path;
}

// Frames and frame sizes one input may demand, so a header claiming a huge
// blank JPEG 2000 image or a billion frames does not stall the fuzzer.
constexpr int kMaxFrames = 64;
constexpr int64_t kMaxFrameBytes = int64_t{16} << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DICOMdata header;
  DicomReadResult read;
  try {
    read = ReadDicomHeaderFromMemory(data, size, true, header);
  } catch (const EDicomReadError&) {
    return 0;
  }
  if (!read.imgOK || ComputeFrameGeometry(header).frameBytes > kMaxFrameBytes) return 0;
  if (std::FILE* f = std::fopen(TempPath().c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  const int frames = std::min(std::max(1, header.XYZdim[2]), kMaxFrames);
  DecodedFrame decoded;
  for (int k = 1; k <= frames; ++k) {
    if (!DecodeFrame(TempPath(), header, header.gECATJPEG_pos_table, header.gECATJPEG_size_table, k,
                     decoded)) {
      break;
    }
    DICOMdata shown = header;
    ApplyModalityLut(shown, decoded.buff16);
    AdoptHeldLayout(shown, decoded);
  }
  return 0;
}
