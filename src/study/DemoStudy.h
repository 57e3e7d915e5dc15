// The built-in demo study, written by our own code: a CT phantom (axial
// series, coronal and sagittal localizers of the same study, and a thin-slice
// series in RLE Lossless), a multi-frame colour ultrasound cine, a
// MONOCHROME1 radiograph, an MR image with an overlay plane, a text report and
// a DICOMDIR describing all of it. Every image is synthetic: the anatomy is a
// handful of analytic shapes with realistic Hounsfield units and a little
// deterministic noise, so two runs write identical files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace demo {

struct TDemoInfo {
  int files = 0;         // DICOM files written (without the DICOMDIR)
  int64_t bytes = 0;     // bytes written, DICOMDIR and report included
  std::string dicomDir;  // path of the DICOMDIR
};

// Writes the demo study into dir (created when missing; files of an earlier
// demo are overwritten). False with a message when a file cannot be written.
bool WriteDemoStudy(const std::string& dir, TDemoInfo* info = nullptr,
                    std::string* error = nullptr);

// DICOM RLE (PS3.5 Annex G) of one frame: the 64-byte header and one
// PackBits segment per byte plane (most significant byte first, one plane
// per colour sample), each row encoded on its own and each segment padded to
// even length. samples holds the frame as stored natively: little-endian
// 16-bit words or 8-bit samples, colour-by-pixel.
std::vector<uint8_t> EncodeRleFrame(const uint8_t* samples, int rows, int columns,
                                    int samplesPerPixel, int bitsAllocated);
// PackBits of one row of bytes, appended to out.
void PackBitsRow(const uint8_t* bytes, size_t count, std::vector<uint8_t>& out);

}  // namespace demo
