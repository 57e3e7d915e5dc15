// tavrolen-dicom reformat: one plane of the volume a series forms, at the
// source grid, as 16-bit stored values, with the plane's geometry as JSON.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/SafeOutput.h"
#include "plane_json.h"
#include "volume/Reformat.h"
#include "volume/VolumeBuilder.h"
#include "volume/VolumeInput.h"

namespace {

constexpr const char* kUsage =
    "usage: reformat PATH --plane axial|coronal|sagittal --index K [--slab N] "
    "[--projection max|min|mean] -o OUT.raw";

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom reformat: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

bool ParseCount(const std::string& text, int lowest, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || v < lowest || v > 1000000000) return false;
  out = int(v);
  return true;
}

int Reformat(const std::vector<std::string>& args) {
  std::string input, output, plane, projection = "max";
  int index = -1, slab = 1;
  bool indexGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--plane" && hasValue) {
      plane = args[++i];
    } else if (a == "--index" && hasValue) {
      if (!ParseCount(args[++i], 0, index)) return Usage("--index takes a whole number from 0");
      indexGiven = true;
    } else if (a == "--slab" && hasValue) {
      if (!ParseCount(args[++i], 1, slab)) return Usage("--slab takes a whole number from 1");
    } else if (a == "--projection" && hasValue) {
      projection = args[++i];
    } else if (a == "-o" && hasValue) {
      output = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      return Usage("unknown option " + a + "; " + kUsage);
    } else if (input.empty()) {
      input = a;
    } else {
      return Usage("only one PATH can be reformatted");
    }
  }
  if (input.empty() || output.empty() || plane.empty() || !indexGiven) return Usage(kUsage);
  TPlaneKind kind;
  if (plane == "axial")
    kind = TPlaneKind::Axial;
  else if (plane == "coronal")
    kind = TPlaneKind::Coronal;
  else if (plane == "sagittal")
    kind = TPlaneKind::Sagittal;
  else
    return Usage("--plane is axial, coronal or sagittal");
  TProjection proj;
  if (projection == "max")
    proj = TProjection::Max;
  else if (projection == "min")
    proj = TProjection::Min;
  else if (projection == "mean")
    proj = TProjection::Mean;
  else
    return Usage("--projection is max, min or mean");

  std::string reason;
  // A wrong OUT is reported before the volume is built.
  if (!CheckOutputPath(output, reason)) return Fail(reason);
  std::vector<TVolumeFrame> frames;
  if (!FramesFromPath(input, frames, reason)) return Fail(input + ": " + reason);
  TDecodingFrameSource source;
  const std::shared_ptr<TVolume> volume = BuildVolume(std::move(frames), source, reason);
  if (!volume) return Fail(input + ": " + reason);
  for (const std::string& note : volume->notes)
    std::fprintf(stderr, "tavrolen-dicom reformat: note: %s\n", note.c_str());

  TPlaneImage image;
  if (!GridPlane(*volume, kind, index, slab, proj, image, reason)) return Fail(reason);

  std::string why;
  if (!WriteFileSafely(output, image.pixels.data(), 2 * image.pixels.size(), why)) return Fail(why);
  // With the plane on standard output, its geometry goes to standard error.
  std::fputs(cli::PlaneJson(image).c_str(), output == "-" ? stderr : stdout);
  return 0;
}

const cli::Register kReformat(
    "reformat",
    "reformat PATH --plane axial|coronal|sagittal --index K [--slab N] "
    "[--projection max|min|mean] -o OUT.raw  a plane of the volume a series forms",
    Reformat);

}  // namespace
