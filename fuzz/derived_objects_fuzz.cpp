// The presentation state, key object selection, segmentation and structure set readers on arbitrary
// bytes. They read files (DCMTK parses from a path), so each input goes
// through one temporary file of the process.
#include <dcmtk/oflog/oflog.h>

#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "derived/KeyObjectSelection.h"
#include "derived/PresentationState.h"
#include "derived/Segmentation.h"
#include "derived/StructureSet.h"

namespace {

const std::string& TempPath() {
  static const std::string path = [] {
    char name[] = "/tmp/tavrolen-derived-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { unlink(TempPath().c_str()); });
    // The library's own complaints about broken input are not findings.
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    return std::string(name);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = TempPath();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  std::string why;
  TPresentationState ps;
  if (ReadPresentationState(path, ps, why)) {
    size_t points = 0;
    for (const TGraphicAnnotation& a : ps.annotations)
      for (const TGraphicObject& g : a.graphics) points += g.points.size();
    if (points * 8 > size) __builtin_trap();  // every point came from the input
    // Tables and planes are no larger than the input's bytes hold.
    size_t entries = ps.modalityLut.data.size() + ps.presentationLut.data.size();
    for (const TVoiWindow& w : ps.windows) entries += w.lut.data.size();
    if (entries > size) __builtin_trap();  // at least one byte each (8-bit entries packed)
    size_t bits = ps.shutter.bitmapBits.size();
    for (const TStateOverlay& o : ps.overlays) bits += o.bits.size();
    if (bits > 8 * size) __builtin_trap();
    if (ps.shutter.polygon.size() * 4 > size) __builtin_trap();  // "1\\1\\" at least
  }
  TKeyObjectSelection kos;
  ReadKeyObjectSelection(path, kos, why);
  TSegmentation seg;
  if (ReadSegmentation(path, seg, why)) {
    if (seg.pixels.size() > size) __builtin_trap();  // masks come from the input's bytes
    std::vector<uint8_t> mask;
    for (size_t k = 0; k < seg.frames.size() && k < 4; ++k) SegmentFrameMask(seg, k, mask);
  }
  TStructureSet rs;
  if (ReadStructureSet(path, rs, why)) {
    size_t points = 0;
    for (const TRoi& roi : rs.rois)
      for (const TRoiContour& c : roi.contours) points += c.points.size();
    if (points * 6 > size) __builtin_trap();  // each point took at least six bytes ("0\\0\\0\\")
  }
  SopClassOfFile(path);
  return 0;
}
