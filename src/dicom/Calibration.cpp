#include "dicom/Calibration.h"

#include <charconv>
#include <cmath>

#include "dicom/DicomElements.h"
#include "dicom/FileCache.h"

namespace {

const TagElement* Find(const std::vector<TagElement>& es, uint32_t tag) {
  for (const auto& e : es)
    if (e.tag == tag) return &e;
  return nullptr;
}

const std::vector<TagElement>* FirstItem(const std::vector<TagElement>& es, uint32_t tag) {
  const TagElement* e = Find(es, tag);
  return e && !e->items.empty() ? &e->items[0] : nullptr;
}

// Decimal strings in "." notation whatever the locale.
bool Number(const std::string& text, double& v) {
  const char* b = text.data();
  const char* end = b + text.size();
  while (b < end && *b == ' ') ++b;
  if (b < end && *b == '+') ++b;
  const auto r = std::from_chars(b, end, v);
  return r.ec == std::errc() && std::isfinite(v);
}

// The element's values as numbers, whether it is a decimal string or binary.
std::vector<double> Numbers(const TagElement* e) {
  std::vector<double> out;
  if (!e) return out;
  for (const auto& n : e->numbers) {
    switch (n.kind) {
      case ElementNumber::Signed:
        out.push_back(double(n.i));
        break;
      case ElementNumber::Unsigned:
        out.push_back(double(n.u));
        break;
      default:
        out.push_back(n.f);
    }
  }
  for (const auto& t : e->texts) {
    double v;
    if (Number(t, v)) out.push_back(v);
  }
  return out;
}

// A spacing pair when both values are positive.
std::array<double, 2> Spacing(const TagElement* e) {
  const auto v = Numbers(e);
  if (v.size() >= 2 && v[0] > 0 && v[1] > 0) return {v[0], v[1]};
  return {0, 0};
}

std::array<double, 2> SpacingIn(const std::vector<TagElement>* group) {
  if (!group) return {0, 0};
  const auto* measures = FirstItem(*group, 0x00289110);  // Pixel Measures Sequence
  return measures ? Spacing(Find(*measures, 0x00280030)) : std::array<double, 2>{0, 0};
}

bool RescaleIn(const std::vector<TagElement>* group, std::array<double, 2>& out) {
  if (!group) return false;
  const auto* t = FirstItem(*group, 0x00289145);  // Pixel Value Transformation Sequence
  if (!t) return false;
  const auto slope = Numbers(Find(*t, 0x00281053)), intercept = Numbers(Find(*t, 0x00281052));
  if (slope.empty() && intercept.empty()) return false;
  out = {slope.empty() ? 1.0 : slope[0], intercept.empty() ? 0.0 : intercept[0]};
  return true;
}

}  // namespace

std::string PixelScale::LengthUnit() const {
  switch (source) {
    case Source::None:
      return "px";
    case Source::ImagerPixelSpacing:
      return "mm (imager)";
    default:
      return "mm";
  }
}

std::string PixelScale::AreaUnit() const {
  switch (source) {
    case Source::None:
      return "px\u00B2";
    case Source::ImagerPixelSpacing:
      return "mm\u00B2 (imager)";
    default:
      return "mm\u00B2";
  }
}

std::string PixelScale::SourceName() const {
  switch (source) {
    case Source::PixelSpacing:
      return "PixelSpacing";
    case Source::ImagerPixelSpacing:
      return "ImagerPixelSpacing";
    case Source::UltrasoundRegion:
      return "UltrasoundRegion";
    default:
      return "none";
  }
}

PixelScale ImageCalibration::ScaleFor(double x0, double y0, double x1, double y1, int frame) const {
  PixelScale s;
  std::array<double, 2> ps = pixelSpacing;
  if (frame >= 1 && size_t(frame) <= frameSpacing.size() && frameSpacing[frame - 1][0] > 0)
    ps = frameSpacing[frame - 1];
  if (ps[0] > 0) {
    s.source = PixelScale::Source::PixelSpacing;
    s.y = ps[0];
    s.x = ps[1];
    return s;
  }
  if (imagerSpacing[0] > 0) {
    s.source = PixelScale::Source::ImagerPixelSpacing;
    s.y = imagerSpacing[0];
    s.x = imagerSpacing[1];
    return s;
  }
  const double lx = std::min(x0, x1), hx = std::max(x0, x1);
  const double ly = std::min(y0, y1), hy = std::max(y0, y1);
  for (const UltrasoundRegion& r : regions) {
    // The region's pixels r.x0 ... r.x1 cover the edges r.x0 ... r.x1 + 1.
    if (r.dx > 0 && r.dy > 0 && lx >= r.x0 && hx <= r.x1 + 1.0 && ly >= r.y0 && hy <= r.y1 + 1.0) {
      s.source = PixelScale::Source::UltrasoundRegion;
      s.x = r.dx;
      s.y = r.dy;
      return s;
    }
  }
  return s;
}

ImageCalibration CalibrationOf(const TagListing& listing) {
  ImageCalibration c;
  c.ok = listing.ok;
  const auto& es = listing.elements;
  c.pixelSpacing = Spacing(Find(es, 0x00280030));
  c.imagerSpacing = Spacing(Find(es, 0x00181164));
  if (const TagElement* m = Find(es, 0x00080060); m && !m->texts.empty()) c.modality = m->texts[0];
  const auto slope = Numbers(Find(es, 0x00281053)), intercept = Numbers(Find(es, 0x00281052));
  if (!slope.empty() || !intercept.empty()) {
    c.rescaleGiven = true;
    c.slope = slope.empty() ? 1.0 : slope[0];
    c.intercept = intercept.empty() ? 0.0 : intercept[0];
  }

  // Enhanced images: per-frame groups override the shared ones.
  const auto* shared = FirstItem(es, 0x52009229);
  const std::array<double, 2> sharedSpacing = SpacingIn(shared);
  std::array<double, 2> sharedRescale{c.slope, c.intercept};
  const bool sharedHasRescale = RescaleIn(shared, sharedRescale);
  if (const TagElement* perFrame = Find(es, 0x52009230)) {
    for (const auto& item : perFrame->items) {
      const auto sp = SpacingIn(&item);
      c.frameSpacing.push_back(sp[0] > 0 ? sp : sharedSpacing);
      std::array<double, 2> r = sharedRescale;
      const bool has = RescaleIn(&item, r) || sharedHasRescale;
      c.frameRescale.push_back(has ? r : std::array<double, 2>{c.slope, c.intercept});
      c.rescaleGiven = c.rescaleGiven || has;
    }
  }
  if (c.pixelSpacing[0] <= 0 && sharedSpacing[0] > 0) c.pixelSpacing = sharedSpacing;
  if (!c.rescaleGiven && sharedHasRescale) {
    c.rescaleGiven = true;
    c.slope = sharedRescale[0];
    c.intercept = sharedRescale[1];
  }

  if (const TagElement* us = Find(es, 0x00186011)) {  // Sequence of Ultrasound Regions
    for (const auto& item : us->items) {
      UltrasoundRegion r;
      const auto num = [&](uint32_t tag, double& v) {
        const auto n = Numbers(Find(item, tag));
        if (n.empty()) return false;
        v = n[0];
        return true;
      };
      double x0, y0, x1, y1, ux = 0, uy = 0, dx = 0, dy = 0;
      if (!num(0x00186018, x0) || !num(0x0018601A, y0) || !num(0x0018601C, x1) ||
          !num(0x0018601E, y1))
        continue;
      r.x0 = int(x0);
      r.y0 = int(y0);
      r.x1 = int(x1);
      r.y1 = int(y1);
      num(0x00186024, ux);
      num(0x00186026, uy);
      num(0x0018602C, dx);
      num(0x0018602E, dy);
      // Physical units 3: centimetres. Other units (seconds, cm/s, dB) are not lengths.
      if (ux == 3 && uy == 3 && dx > 0 && dy > 0 && std::isfinite(dx) && std::isfinite(dy)) {
        r.dx = std::fabs(dx) * 10;
        r.dy = std::fabs(dy) * 10;
      }
      c.regions.push_back(r);
    }
  }
  return c;
}

ImageCalibration CalibrationOfFile(const std::string& path) {
  static TFileCache<ImageCalibration> cache(32);
  const auto c = cache.Get(path, [&] { return CalibrationOf(ReadTagListing(path)); });
  return c ? *c : ImageCalibration{};
}
