// tavrolen-dicom roi FILE [--frame K] --rect X0,Y0,X1,Y1 | --ellipse X0,Y0,X1,Y1:
// statistics of a region in modality units, computed by the code behind the
// viewer's rectangle and ellipse labels, as one JSON object.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/Calibration.h"
#include "dicom/dicom.h"
#include "json.h"
#include "pixels/FrameDecoder.h"
#include "pixels/RoiStatistics.h"

namespace {

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom roi: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

bool ParseBox(const std::string& text, double box[4]) {
  const char* p = text.c_str();
  for (int k = 0; k < 4; ++k) {
    char* end = nullptr;
    box[k] = std::strtod(p, &end);
    if (end == p) return false;
    p = end;
    if (k < 3) {
      if (*p != ',') return false;
      ++p;
    }
  }
  return *p == 0;
}

int Roi(const std::vector<std::string>& args) {
  std::string path;
  int frame = 1;
  double box[4] = {0, 0, 0, 0};
  int shapes = 0;
  RoiShape shape = RoiShape::Rectangle;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--frame" && i + 1 < args.size()) {
      char* end = nullptr;
      const long v = std::strtol(args[++i].c_str(), &end, 10);
      if (*end != 0 || v < 1 || v > 1000000000) return Usage("--frame needs a number from 1 on");
      frame = int(v);
    } else if ((a == "--rect" || a == "--ellipse") && i + 1 < args.size()) {
      if (!ParseBox(args[++i], box)) return Usage(a + " needs X0,Y0,X1,Y1");
      shape = a == "--rect" ? RoiShape::Rectangle : RoiShape::Ellipse;
      ++shapes;
    } else if (!a.empty() && a[0] == '-') {
      return Usage("unknown option " + a);
    } else if (path.empty()) {
      path = a;
    } else {
      return Usage("one file at a time");
    }
  }
  if (path.empty() || shapes != 1)
    return Usage("usage: roi FILE [--frame K] --rect X0,Y0,X1,Y1 | --ellipse X0,Y0,X1,Y1");

  DICOMdata header;
  bool hdrOK = false, imgOK = false;
  try {
    ReadDicomHeader(path, true, header, hdrOK, imgOK, [](const std::string&) {});
  } catch (const std::exception& e) {
    return Fail(path + ": " + e.what());
  }
  if (!imgOK) return Fail(path + ": no displayable image");
  header.referenceFile = path;
  const int frames = std::max(1, header.XYZdim[2]);
  if (frame > frames)
    return Fail(path + ": frame " + std::to_string(frame) + " of " + std::to_string(frames));

  DecodedFrame pixels;
  std::string why;
  try {
    if (!DecodeFrame(path, header, header.gECATJPEG_pos_table, header.gECATJPEG_size_table, frame,
                     pixels, &why))
      return Fail(path + ": frame " + std::to_string(frame) + ": " + why);
  } catch (const std::exception& e) {
    return Fail(path + ": " + e.what());
  }
  ApplyModalityLut(header, pixels.buff16);
  const ImageCalibration calibration = CalibrationOfFile(path);
  const ModalityFrame m = ModalityFrameOf(header, pixels, calibration, frame);
  if (!m.Valid()) return Fail(path + ": statistics need a grey image");
  const RoiMeasurement r = MeasureRoi(m, calibration, shape, box[0], box[1], box[2], box[3], frame);

  cli::JsonWriter j(0);
  j.BeginObject();
  j.Field("pixels", r.stats.pixels);
  const auto number = [&](const char* key, double v) {
    j.Key(key);
    if (r.stats.pixels > 0)
      j.Double(v);
    else
      j.Null();
  };
  number("mean", r.stats.mean);
  number("sd", r.stats.sd);
  number("min", r.stats.min);
  number("max", r.stats.max);
  j.Field(r.scale.Calibrated() ? "area_mm2" : "area_px", r.area);
  j.Field("units", r.units);
  j.Field("calibration", r.scale.SourceName());
  j.EndObject();
  std::printf("%s\n", j.str().c_str());
  return 0;
}

const cli::Register kRoi("roi",
                         "roi FILE [--frame K] --rect X0,Y0,X1,Y1 | --ellipse X0,Y0,X1,Y1  "
                         "region statistics in modality units (pixel edge coordinates: pixel "
                         "(c, r) spans c..c+1, r..r+1; a pixel counts when its centre is inside)",
                         Roi);

}  // namespace
