// The presentation state, key object selection, segmentation and structure set readers on arbitrary
// bytes. They read files (DCMTK parses from a path), so each input goes
// through one temporary file of the process.
#include <dcmtk/oflog/oflog.h>

#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "derived/KeyObjectSelection.h"
#include "derived/OverlayPlanes.h"
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

// Planes a viewer might show: axial through the object's first position (and
// naming its first source image), and an oblique one through the same point.
std::vector<TDisplayPlane> PlanesNear(const std::array<double, 3>& at, const std::string& sop,
                                      const std::string& frameOfReference) {
  TDisplayPlane axial;
  axial.hasGeometry = true;
  axial.origin = at;
  axial.row = {1, 0, 0};
  axial.column = {0, 1, 0};
  axial.rows = axial.columns = 64;
  axial.thickness = 2;
  axial.sopInstanceUid = sop;
  axial.frameOfReferenceUid = frameOfReference;
  TDisplayPlane oblique = axial;
  oblique.column = {0, 0.6, -0.8};
  oblique.columnSpacing = 0.5;
  oblique.rowSpacing = 3;
  return {axial, oblique};
}

// Whatever the object holds, a plane's masks are the plane's size each.
void CheckOnPlane(const TSegmentation& seg, const TDisplayPlane& plane) {
  const TSegmentationOnPlane on = SegmentationOnPlane(seg, plane);
  if (on.segments.size() > seg.segments.size()) __builtin_trap();
  for (const TSegmentCoverage& c : on.segments)
    if (c.coverage.size() != size_t(plane.rows) * size_t(plane.columns)) __builtin_trap();
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
    std::array<double, 3> at{};
    std::string sop;
    for (const TSegmentFrame& f : seg.frames) {
      if (f.hasPosition && at == std::array<double, 3>{}) at = f.position;
      if (sop.empty()) sop = f.sourceSopUid;
    }
    for (const TDisplayPlane& plane : PlanesNear(at, sop, seg.frameOfReferenceUid))
      CheckOnPlane(seg, plane);
  }
  TStructureSet rs;
  if (ReadStructureSet(path, rs, why)) {
    size_t points = 0;
    for (const TRoi& roi : rs.rois)
      for (const TRoiContour& c : roi.contours) points += c.points.size();
    if (points * 6 > size) __builtin_trap();  // each point took at least six bytes ("0\\0\\0\\")
    std::array<double, 3> at{};
    if (!rs.rois.empty() && !rs.rois[0].contours.empty() && !rs.rois[0].contours[0].points.empty())
      at = rs.rois[0].contours[0].points[0];
    for (const TDisplayPlane& plane : PlanesNear(at, "", "")) {
      const TStructureSetOnPlane on = StructureSetOnPlane(rs, plane);
      size_t drawn = 0;
      for (const TContourOnPlane& c : on.contours) drawn += c.points.size();
      if (drawn > points) __builtin_trap();  // no point made up
    }
  }
  SopClassOfFile(path);
  return 0;
}
