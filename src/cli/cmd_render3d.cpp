// tavrolen-dicom render3d: a 3D picture of the volume a series forms, drawn
// by the CPU ray caster as a PNG, or (--raw) a projection of the whole volume
// along a grid axis at the volume's own grid as 16-bit stored values with the
// projection's geometry as JSON, as `reformat` writes planes.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/SafeOutput.h"
#include "plane_json.h"
#include "volume/Render3D.h"
#include "volume/VolumeBuilder.h"
#include "volume/VolumeInput.h"

namespace {

constexpr const char* kUsage =
    "usage: render3d PATH --mode vr|mip|minip|mean [--preset P] "
    "[--view anterior|posterior|left|right|superior|inferior] [--azimuth A --elevation E] "
    "[--size WxH] [--crop I0,I1,J0,J1,K0,K1] -o OUT.png\n"
    "       render3d PATH --raw --parallel --mode mip|minip|mean "
    "--view anterior|lateral|superior -o OUT.raw";

constexpr int kMaxSide = 8192;

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom render3d: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

bool ParseNumber(const std::string& text, double& out) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != 0 || !std::isfinite(v)) return false;
  out = v;
  return true;
}

bool ParseSize(const std::string& text, int& w, int& h) {
  const size_t x = text.find_first_of("xX");
  if (x == std::string::npos) return false;
  char* end = nullptr;
  const std::string a = text.substr(0, x), b = text.substr(x + 1);
  const long wl = std::strtol(a.c_str(), &end, 10);
  if (a.empty() || *end != 0) return false;
  const long hl = std::strtol(b.c_str(), &end, 10);
  if (b.empty() || *end != 0) return false;
  if (wl < 1 || hl < 1 || wl > kMaxSide || hl > kMaxSide) return false;
  w = int(wl), h = int(hl);
  return true;
}

bool ParseCrop(const std::string& text, TCropBox& box) {
  std::vector<double> v;
  size_t at = 0;
  while (at <= text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    double x;
    if (!ParseNumber(text.substr(at, comma - at), x) || x < 0 || x > 1) return false;
    v.push_back(x);
    at = comma + 1;
  }
  if (v.size() != 6) return false;
  for (size_t a = 0; a < 3; ++a) box.lo[a] = v[2 * a], box.hi[a] = v[2 * a + 1];
  return true;
}

// "soft-tissue" and "soft_tissue" name "soft tissue" on a command line.
std::string PresetName(std::string s) {
  std::replace(s.begin(), s.end(), '-', ' ');
  std::replace(s.begin(), s.end(), '_', ' ');
  return s;
}

// An 8-bit RGB PNG of the picture: one IDAT, zlib's own deflate and CRC.
bool EncodePng(const TRenderImage& img, std::string& png) {
  std::vector<unsigned char> raw;
  raw.reserve(size_t(img.height) * (size_t(img.width) * 3 + 1));
  for (int y = 0; y < img.height; ++y) {
    raw.push_back(0);  // no filter
    for (int x = 0; x < img.width; ++x) {
      const uint32_t p = img.pixels[size_t(y) * size_t(img.width) + size_t(x)];
      raw.push_back(uint8_t(p >> 16));
      raw.push_back(uint8_t(p >> 8));
      raw.push_back(uint8_t(p));
    }
  }
  uLongf packedSize = compressBound(uLong(raw.size()));
  std::vector<unsigned char> packed(packedSize);
  if (compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 6) != Z_OK) return false;
  packed.resize(packedSize);
  const auto be32 = [](std::string& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(char(v >> s & 0xFF));
  };
  const auto chunk = [&](const char* type, const unsigned char* data, size_t size) {
    be32(png, uint32_t(size));
    std::string body(type, 4);
    body.append(reinterpret_cast<const char*>(data), size);
    png += body;
    be32(png, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size()))));
  };
  png.assign("\x89PNG\r\n\x1a\n", 8);
  std::string ihdr;
  be32(ihdr, uint32_t(img.width));
  be32(ihdr, uint32_t(img.height));
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
  chunk("IHDR", reinterpret_cast<const unsigned char*>(ihdr.data()), ihdr.size());
  chunk("IDAT", packed.data(), packed.size());
  chunk("IEND", nullptr, 0);
  return true;
}

void Note(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom render3d: note: %s\n", text.c_str());
}

int Render3d(const std::vector<std::string>& args) {
  std::string input, output, modeText, preset, view;
  double azimuth = 0, elevation = 0;
  bool orbit = false, raw = false, parallel = false, sizeGiven = false, cropGiven = false;
  int width = 512, height = 512;
  TCropBox crop;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "--mode" && hasValue) {
      modeText = args[++i];
    } else if (a == "--preset" && hasValue) {
      preset = args[++i];
    } else if (a == "--view" && hasValue) {
      view = args[++i];
    } else if (a == "--azimuth" && hasValue) {
      if (!ParseNumber(args[++i], azimuth)) return Usage("--azimuth takes degrees");
      orbit = true;
    } else if (a == "--elevation" && hasValue) {
      if (!ParseNumber(args[++i], elevation)) return Usage("--elevation takes degrees");
      orbit = true;
    } else if (a == "--size" && hasValue) {
      if (!ParseSize(args[++i], width, height))
        return Usage("--size takes WxH, each from 1 to " + std::to_string(kMaxSide));
      sizeGiven = true;
    } else if (a == "--crop" && hasValue) {
      if (!ParseCrop(args[++i], crop))
        return Usage("--crop takes six fractions 0 to 1: I0,I1,J0,J1,K0,K1");
      cropGiven = true;
    } else if (a == "--raw") {
      raw = true;
    } else if (a == "--parallel") {
      parallel = true;
    } else if (a == "-o" && hasValue) {
      output = args[++i];
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage("unknown option " + a + "; " + kUsage);
    } else if (input.empty()) {
      input = a;
    } else {
      return Usage("only one PATH can be rendered");
    }
  }
  if (input.empty() || output.empty()) return Usage(kUsage);

  TRenderSettings settings;
  TRenderMode presetMode = TRenderMode::Vr;
  const bool presetGiven = !preset.empty();
  if (presetGiven && !TransferPreset(PresetName(preset), presetMode, settings.tf))
    return Usage("--preset is bone, soft-tissue, lung, vessels or mip");
  if (!modeText.empty()) {
    if (!ParseRenderMode(modeText, settings.mode)) return Usage("--mode is vr, mip, minip or mean");
  } else if (presetGiven) {
    settings.mode = presetMode;
  } else {
    return Usage("--mode is needed; " + std::string(kUsage));
  }

  TProjectionView projectionView = TProjectionView::Anterior;
  if (raw) {
    if (!parallel) return Usage("--raw writes the parallel projection: give --parallel too");
    if (settings.mode == TRenderMode::Vr) return Usage("--raw takes --mode mip, minip or mean");
    if (presetGiven || orbit || sizeGiven || cropGiven)
      return Usage("--raw takes no --preset, --azimuth, --elevation, --size or --crop");
    if (!view.empty() && !ParseProjectionView(view, projectionView))
      return Usage("--raw takes --view anterior, lateral or superior");
  } else {
    if (!view.empty() && orbit) return Usage("give --view or --azimuth/--elevation, not both");
    if (!view.empty()) {
      TStandardView v;
      if (!ParseStandardView(view, v))
        return Usage("--view is anterior, posterior, left, right, superior or inferior");
      settings.camera = StandardCamera(v);
    } else if (orbit) {
      settings.camera = OrbitCamera(azimuth, elevation);
    }
    settings.width = width, settings.height = height;
    settings.crop = crop;
  }

  std::string reason;
  // A wrong OUT is reported before the volume is built.
  if (!CheckOutputPath(output, reason)) return Fail(reason);
  std::vector<TVolumeFrame> frames;
  if (!FramesFromPath(input, frames, reason)) return Fail(input + ": " + reason);
  TDecodingFrameSource source;
  const std::shared_ptr<TVolume> volume = BuildVolume(std::move(frames), source, reason);
  if (!volume) return Fail(input + ": " + reason);
  for (const std::string& note : volume->notes) Note(note);

  std::string why;
  if (raw) {
    const TProjection p = settings.mode == TRenderMode::Mip     ? TProjection::Max
                          : settings.mode == TRenderMode::MinIp ? TProjection::Min
                                                                : TProjection::Mean;
    TPlaneImage image;
    if (!ProjectVolume(*volume, projectionView, p, image, reason)) return Fail(reason);
    if (!WriteFileSafely(output, image.pixels.data(), 2 * image.pixels.size(), why))
      return Fail(why);
    // With the projection on standard output, its geometry goes to standard error.
    std::fputs(cli::PlaneJson(image, true).c_str(), output == "-" ? stderr : stdout);
    return 0;
  }

  if (!presetGiven) {
    if (settings.mode == TRenderMode::Vr) {
      TRenderMode unused;
      TransferPreset("bone", unused, settings.tf);
    } else {
      // The series' own window, or the whole range of the volume.
      const DICOMdata& h = volume->header;
      const double slope = h.IntenScale != 0 ? h.IntenScale : 1, icpt = h.IntenIntercept;
      if (h.WindowWidth > 1) {
        settings.tf.windowCentre = h.WindowCenter, settings.tf.windowWidth = h.WindowWidth;
      } else {
        const double a = volume->minValue * slope + icpt, b = volume->maxValue * slope + icpt;
        settings.tf.windowCentre = (a + b) / 2;
        settings.tf.windowWidth = std::max(std::abs(b - a), 1.0) + 1;
      }
    }
  }
  TVolumeRenderer renderer(volume);
  TRenderImage image;
  std::string note;
  if (!renderer.Render(settings, image, reason, &note)) return Fail(reason);
  if (!note.empty()) Note(note);
  std::string png;
  if (!EncodePng(image, png)) return Fail("the picture could not be compressed");
  if (!WriteFileSafely(output, png.data(), png.size(), why)) return Fail(why);
  return 0;
}

const cli::Register kRender3d(
    "render3d",
    "render3d PATH --mode vr|mip|minip|mean [--preset P] [--view V] [--azimuth A "
    "--elevation E] [--size WxH] [--crop ...] -o OUT.png | --raw --parallel --view "
    "anterior|lateral|superior -o OUT.raw  a 3D picture or projection of a series' volume",
    Render3d);

}  // namespace
