#include "derived/PresentationState.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <set>

#include "derived/DerivedIo.h"
#include "derived/Segmentation.h"

using derived::GetString;

namespace {

// Bounds of a read: far beyond any real state, small enough to stay cheap.
constexpr unsigned long kMaxItems = 100000;
constexpr unsigned long kMaxPoints = 1000000;

const char* UnitsName(TGraphicUnits u) {
  return u == TGraphicUnits::Pixel ? "PIXEL" : "DISPLAY";
}

bool ParseUnits(const std::string& s, TGraphicUnits& u) {
  if (s == "PIXEL")
    u = TGraphicUnits::Pixel;
  else if (s == "DISPLAY")
    u = TGraphicUnits::Display;
  else
    return false;
  return true;
}

const char* TypeName(TGraphicType t) {
  switch (t) {
    case TGraphicType::Point:
      return "POINT";
    case TGraphicType::Polyline:
      return "POLYLINE";
    case TGraphicType::Interpolated:
      return "INTERPOLATED";
    case TGraphicType::Circle:
      return "CIRCLE";
    case TGraphicType::Ellipse:
      return "ELLIPSE";
  }
  return "POLYLINE";
}

bool ParseType(const std::string& s, TGraphicType& t) {
  static const std::map<std::string, TGraphicType> kTypes = {
      {"POINT", TGraphicType::Point},
      {"POLYLINE", TGraphicType::Polyline},
      {"INTERPOLATED", TGraphicType::Interpolated},
      {"CIRCLE", TGraphicType::Circle},
      {"ELLIPSE", TGraphicType::Ellipse}};
  const auto it = kTypes.find(s);
  if (it == kTypes.end()) return false;
  t = it->second;
  return true;
}

// The number of points a type needs: exact, or at least `min` when `exact` is false.
bool PointCountFits(TGraphicType t, size_t n) {
  switch (t) {
    case TGraphicType::Point:
      return n == 1;
    case TGraphicType::Circle:
      return n == 2;
    case TGraphicType::Ellipse:
      return n == 4;
    default:
      return n >= 2;
  }
}

void PutPoint(DcmItem& item, const DcmTagKey& tag, TPoint2 p) {
  const Float32 v[2] = {Float32(p.x), Float32(p.y)};
  item.putAndInsertFloat32Array(tag, v, 2);
}

bool GetPoint(DcmItem& item, const DcmTagKey& tag, TPoint2& p) {
  Float32 x = 0, y = 0;
  if (item.findAndGetFloat32(tag, x, 0).bad() || item.findAndGetFloat32(tag, y, 1).bad())
    return false;
  if (!std::isfinite(x) || !std::isfinite(y)) return false;
  p = {x, y};
  return true;
}

// A compact ICC v2 display profile of sRGB (D50-adapted primaries, gamma
// 2.2): the colour state needs one, and no profile file is guaranteed on the
// system.
std::string SrgbProfile() {
  std::string b;
  const auto u32 = [&b](uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(char((v >> s) & 0xFF));
  };
  const auto fixed = [&u32](double v) { u32(uint32_t(int32_t(std::lround(v * 65536.0)))); };
  const auto sig = [&b](const char* s) { b.append(s, 4); };
  const auto pad = [&b] {
    while (b.size() % 4) b.push_back('\0');
  };
  struct Tag {
    const char* sig;
    size_t offset, size;
  };
  std::vector<Tag> tags;
  // Header.
  b.assign(128, '\0');
  const auto headerAt = [&b](size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = char((v >> (24 - 8 * k)) & 0xFF);
  };
  headerAt(8, 0x02100000);
  b.replace(12, 4, "mntr");
  b.replace(16, 4, "RGB ");
  b.replace(20, 4, "XYZ ");
  b.replace(36, 4, "acsp");
  headerAt(68, 0x0000F6D6);  // D50
  headerAt(72, 0x00010000);
  headerAt(76, 0x0000D32D);
  const int kTags = 9;
  std::string table;  // written once the offsets are known
  const size_t tableAt = b.size();
  b.append(4 + 12 * kTags, '\0');
  const auto begin = [&](const char* s) { tags.push_back({s, b.size(), 0}); };
  const auto end = [&] {
    tags.back().size = b.size() - tags.back().offset;
    pad();
  };
  const std::string name = "sRGB (gamma 2.2)";
  begin("desc");
  sig("desc");
  u32(0);
  u32(uint32_t(name.size() + 1));
  b.append(name);
  b.push_back('\0');
  u32(0);
  u32(0);
  b.append(2 + 1 + 67, '\0');
  end();
  begin("cprt");
  sig("text");
  u32(0);
  b.append("No copyright, use freely");
  b.push_back('\0');
  end();
  const auto xyz = [&](const char* s, double x, double y, double z) {
    begin(s);
    sig("XYZ ");
    u32(0);
    fixed(x);
    fixed(y);
    fixed(z);
    end();
  };
  xyz("wtpt", 0.9642, 1.0, 0.8249);
  xyz("rXYZ", 0.4361, 0.2225, 0.0139);
  xyz("gXYZ", 0.3851, 0.7169, 0.0971);
  xyz("bXYZ", 0.1431, 0.0606, 0.7141);
  begin("rTRC");
  sig("curv");
  u32(0);
  u32(1);
  b.push_back(char(0x02));  // gamma 2.2 as u8Fixed8
  b.push_back(char(0x33));
  end();
  tags.push_back({"gTRC", tags.back().offset, tags.back().size});
  tags.push_back({"bTRC", tags.back().offset, tags.back().size});
  size_t at = tableAt;
  const auto put = [&b, &at](uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at++] = char((v >> (24 - 8 * k)) & 0xFF);
  };
  put(uint32_t(tags.size()));
  for (const Tag& t : tags) {
    b.replace(at, 4, t.sig, 4);
    at += 4;
    put(uint32_t(t.offset));
    put(uint32_t(t.size));
  }
  headerAt(0, uint32_t(b.size()));
  return b;
}

bool CheckGraphic(const TGraphicObject& g, std::string& why) {
  if (!PointCountFits(g.type, g.points.size())) {
    why = std::string("a ") + TypeName(g.type) + " with " + std::to_string(g.points.size()) +
          " points";
    return false;
  }
  for (const TPoint2& p : g.points)
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) {
      why = "a graphic with a point that is not a number";
      return false;
    }
  return true;
}

}  // namespace

bool IsPresentationStateClass(const std::string& uid) {
  // Grayscale, colour, pseudo-colour, blending, XA/XRF, advanced blending,
  // volumetric and the like share the 1.2.840.10008.5.1.4.1.1.11 branch.
  static const std::string kBranch = "1.2.840.10008.5.1.4.1.1.11.";
  return uid.size() > kBranch.size() && uid.compare(0, kBranch.size(), kBranch) == 0;
}

bool WritePresentationState(TPresentationState& ps, const TSourceInfo& source,
                            const std::string& outPath, std::string& why) {
  if (ps.series.empty() || ps.series.front().images.empty()) {
    why = "a presentation state needs at least one image it applies to";
    return false;
  }
  if (source.studyInstanceUid.empty()) {
    why = "the images have no Study Instance UID";
    return false;
  }
  for (const TGraphicAnnotation& a : ps.annotations)
    for (const TGraphicObject& g : a.graphics)
      if (!CheckGraphic(g, why)) {
        why = "cannot save " + why;
        return false;
      }
  if (ps.rotation % 90 != 0 || ps.rotation < 0 || ps.rotation >= 360) {
    why = "a rotation of " + std::to_string(ps.rotation) + " degrees";
    return false;
  }
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  const char* sopClass =
      ps.colour ? kColorPresentationStateClass : kGrayscalePresentationStateClass;
  ps.sopInstanceUid = NewDicomUid();
  ps.seriesInstanceUid = NewDicomUid();
  ps.studyInstanceUid = source.studyInstanceUid;
  derived::PutSource(ds, source, "PR");
  ds.putAndInsertString(DCM_SOPClassUID, sopClass);
  ds.putAndInsertString(DCM_SOPInstanceUID, ps.sopInstanceUid.c_str());
  ds.putAndInsertString(DCM_SeriesInstanceUID, ps.seriesInstanceUid.c_str());
  ds.putAndInsertString(DCM_SeriesNumber, "9901");
  ds.putAndInsertString(DCM_InstanceNumber, "1");

  // Identification.
  std::string date = ps.creationDate, time = ps.creationTime;
  if (date.empty() || time.empty()) derived::NowDateTime(date, time);
  ps.creationDate = date;
  ps.creationTime = time;
  ds.putAndInsertString(DCM_ContentDate, date.c_str());
  ds.putAndInsertString(DCM_ContentTime, time.c_str());
  ds.putAndInsertString(DCM_ContentLabel, ps.label.empty() ? "ANNOTATIONS" : ps.label.c_str());
  ds.putAndInsertString(DCM_ContentDescription, ps.description.c_str());
  ds.putAndInsertString(DCM_PresentationCreationDate, date.c_str());
  ds.putAndInsertString(DCM_PresentationCreationTime, time.c_str());
  ds.putAndInsertString(DCM_ContentCreatorName, ps.creator.c_str());

  // Which images the state is for.
  for (const TSeriesRef& s : ps.series) {
    DcmItem* item = nullptr;
    if (ds.findOrCreateSequenceItem(DCM_ReferencedSeriesSequence, item, -2).bad()) continue;
    item->putAndInsertString(DCM_SeriesInstanceUID, s.seriesInstanceUid.c_str());
    derived::PutImageRefs(*item, s.images);
  }

  // Displayed area: the whole image unless the caller chose.
  std::vector<TDisplayedArea> areas = ps.areas;
  if (areas.empty()) {
    TDisplayedArea whole;
    whole.right = std::max(1, source.columns);
    whole.bottom = std::max(1, source.rows);
    areas.push_back(whole);
  }
  for (const TDisplayedArea& a : areas) {
    DcmItem* item = nullptr;
    if (ds.findOrCreateSequenceItem(DCM_DisplayedAreaSelectionSequence, item, -2).bad()) continue;
    derived::PutImageRefs(*item, a.images);
    const auto corner = [item](const DcmTagKey& tag, Sint32 x, Sint32 y) {
      auto* e = new DcmSignedLong(DcmTag(tag, EVR_SL));
      const Sint32 v[2] = {x, y};
      e->putSint32Array(v, 2);
      item->insert(e, true);
    };
    corner(DCM_DisplayedAreaTopLeftHandCorner, a.left, a.top);
    corner(DCM_DisplayedAreaBottomRightHandCorner, a.right, a.bottom);
    item->putAndInsertString(DCM_PresentationSizeMode, a.sizeMode.c_str());
    item->putAndInsertString(DCM_PresentationPixelAspectRatio, "1\\1");
  }

  // Spatial transformation.
  ds.putAndInsertUint16(DCM_ImageRotation, Uint16(ps.rotation));
  ds.putAndInsertString(DCM_ImageHorizontalFlip, ps.horizontalFlip ? "Y" : "N");

  // Layers: every layer an annotation names exists.
  std::vector<TGraphicLayer> layers = ps.layers;
  std::set<std::string> named;
  for (const TGraphicLayer& l : layers) named.insert(l.name);
  for (const TGraphicAnnotation& a : ps.annotations) {
    const std::string name = a.layer.empty() ? "ANNOTATIONS" : a.layer;
    if (named.insert(name).second) layers.push_back({name, int32_t(layers.size() + 1), {}});
  }
  for (const TGraphicLayer& l : layers) {
    DcmItem* item = nullptr;
    if (ds.findOrCreateSequenceItem(DCM_GraphicLayerSequence, item, -2).bad()) continue;
    item->putAndInsertString(DCM_GraphicLayer, l.name.c_str());
    item->putAndInsertString(DCM_GraphicLayerOrder, std::to_string(l.order).c_str());
    if (!l.description.empty())
      item->putAndInsertString(DCM_GraphicLayerDescription, l.description.c_str());
  }

  for (const TGraphicAnnotation& a : ps.annotations) {
    DcmItem* item = nullptr;
    if (ds.findOrCreateSequenceItem(DCM_GraphicAnnotationSequence, item, -2).bad()) continue;
    derived::PutImageRefs(*item, a.images);
    item->putAndInsertString(DCM_GraphicLayer, a.layer.empty() ? "ANNOTATIONS" : a.layer.c_str());
    for (const TTextObject& t : a.texts) {
      DcmItem* ti = nullptr;
      if (item->findOrCreateSequenceItem(DCM_TextObjectSequence, ti, -2).bad()) continue;
      if (t.hasBox) {
        ti->putAndInsertString(DCM_BoundingBoxAnnotationUnits, UnitsName(t.boxUnits));
        PutPoint(*ti, DCM_BoundingBoxTopLeftHandCorner, t.boxTopLeft);
        PutPoint(*ti, DCM_BoundingBoxBottomRightHandCorner, t.boxBottomRight);
        ti->putAndInsertString(DCM_BoundingBoxTextHorizontalJustification, "LEFT");
      }
      if (t.hasAnchor) {
        ti->putAndInsertString(DCM_AnchorPointAnnotationUnits, UnitsName(t.anchorUnits));
        PutPoint(*ti, DCM_AnchorPoint, t.anchor);
        ti->putAndInsertString(DCM_AnchorPointVisibility, t.anchorVisible ? "Y" : "N");
      }
      ti->putAndInsertString(DCM_UnformattedTextValue, t.text.c_str());
    }
    for (const TGraphicObject& g : a.graphics) {
      DcmItem* gi = nullptr;
      if (item->findOrCreateSequenceItem(DCM_GraphicObjectSequence, gi, -2).bad()) continue;
      gi->putAndInsertString(DCM_GraphicAnnotationUnits, UnitsName(g.units));
      gi->putAndInsertUint16(DCM_GraphicDimensions, 2);
      gi->putAndInsertUint16(DCM_NumberOfGraphicPoints, Uint16(g.points.size()));
      std::vector<Float32> data;
      for (const TPoint2& p : g.points) {
        data.push_back(Float32(p.x));
        data.push_back(Float32(p.y));
      }
      gi->putAndInsertFloat32Array(DCM_GraphicData, data.data(),
                                   static_cast<unsigned long>(data.size()));
      gi->putAndInsertString(DCM_GraphicType, TypeName(g.type));
      gi->putAndInsertString(DCM_GraphicFilled, g.filled ? "Y" : "N");
    }
  }

  if (ps.colour) {
    const std::string icc = SrgbProfile();
    ds.putAndInsertUint8Array(DCM_ICCProfile, reinterpret_cast<const Uint8*>(icc.data()),
                              static_cast<unsigned long>(icc.size()));
  } else {
    if (source.hasRescale) {
      // The state replaces the images' own modality rescale: carry it over.
      char number[32];
      std::snprintf(number, sizeof number, "%.10g", source.rescaleSlope);
      ds.putAndInsertString(DCM_RescaleSlope, number);
      std::snprintf(number, sizeof number, "%.10g", source.rescaleIntercept);
      ds.putAndInsertString(DCM_RescaleIntercept, number);
      ds.putAndInsertString(DCM_RescaleType, source.rescaleType.c_str());
    }
    for (const TVoiWindow& w : ps.windows) {
      DcmItem* item = nullptr;
      if (ds.findOrCreateSequenceItem(DCM_SoftcopyVOILUTSequence, item, -2).bad()) continue;
      derived::PutImageRefs(*item, w.images);
      char number[32];
      std::snprintf(number, sizeof number, "%.10g", w.center);
      item->putAndInsertString(DCM_WindowCenter, number);
      std::snprintf(number, sizeof number, "%.10g", std::max(1.0, w.width));
      item->putAndInsertString(DCM_WindowWidth, number);
      if (!w.explanation.empty())
        item->putAndInsertString(DCM_WindowCenterWidthExplanation, w.explanation.c_str());
    }
    ds.putAndInsertString(DCM_PresentationLUTShape,
                          ps.presentationShape == "INVERSE" ? "INVERSE" : "IDENTITY");
  }
  return derived::SaveSafely(file, outPath, why);
}

namespace {

bool ReadGraphic(DcmItem& gi, uint64_t fileSize, TGraphicObject& g, std::string& why) {
  if (!ParseType(GetString(gi, DCM_GraphicType), g.type)) {
    why = "graphic type '" + GetString(gi, DCM_GraphicType) + "' is not known";
    return false;
  }
  if (!ParseUnits(GetString(gi, DCM_GraphicAnnotationUnits), g.units)) {
    why = "graphic units '" + GetString(gi, DCM_GraphicAnnotationUnits) + "' are not known";
    return false;
  }
  Uint16 dims = 2, count = 0;
  if (gi.findAndGetUint16(DCM_GraphicDimensions, dims).good() && dims != 2) {
    why = "graphic of " + std::to_string(dims) + " dimensions";
    return false;
  }
  if (gi.findAndGetUint16(DCM_NumberOfGraphicPoints, count).bad()) {
    why = "graphic without its number of points";
    return false;
  }
  if (!derived::ValueFits(gi, DCM_GraphicData, fileSize)) {
    why = "graphic data longer than the file";
    return false;
  }
  const Float32* data = nullptr;
  unsigned long n = 0;
  if (gi.findAndGetFloat32Array(DCM_GraphicData, data, &n).bad() || !data) {
    why = "graphic without data";
    return false;
  }
  if (n % 2 != 0 || n / 2 != count) {
    why =
        "graphic data of " + std::to_string(n) + " values for " + std::to_string(count) + " points";
    return false;
  }
  if (n / 2 > kMaxPoints) {
    why = "graphic of more than " + std::to_string(kMaxPoints) + " points";
    return false;
  }
  g.points.reserve(n / 2);
  for (unsigned long k = 0; k + 1 < n; k += 2) {
    if (!std::isfinite(data[k]) || !std::isfinite(data[k + 1])) {
      why = "graphic point that is not a number";
      return false;
    }
    g.points.push_back({data[k], data[k + 1]});
  }
  if (!PointCountFits(g.type, g.points.size())) {
    why = std::string(TypeName(g.type)) + " of " + std::to_string(g.points.size()) + " points";
    return false;
  }
  g.filled = GetString(gi, DCM_GraphicFilled) == "Y";
  return true;
}

bool ReadText(DcmItem& ti, uint64_t fileSize, TTextObject& t, std::string& why) {
  if (!derived::ValueFits(ti, DCM_UnformattedTextValue, fileSize)) {
    why = "text longer than the file";
    return false;
  }
  t.text = GetString(ti, DCM_UnformattedTextValue);
  const std::string boxUnits = GetString(ti, DCM_BoundingBoxAnnotationUnits);
  const std::string anchorUnits = GetString(ti, DCM_AnchorPointAnnotationUnits);
  if (!boxUnits.empty()) {
    if (!ParseUnits(boxUnits, t.boxUnits)) {
      why = "text box units '" + boxUnits + "' are not known";
      return false;
    }
    if (!GetPoint(ti, DCM_BoundingBoxTopLeftHandCorner, t.boxTopLeft) ||
        !GetPoint(ti, DCM_BoundingBoxBottomRightHandCorner, t.boxBottomRight)) {
      why = "text box without both corners";
      return false;
    }
    t.hasBox = true;
    const std::string just = GetString(ti, DCM_BoundingBoxTextHorizontalJustification);
    t.justification = just == "RIGHT"    ? TTextJustification::Right
                      : just == "CENTER" ? TTextJustification::Center
                                         : TTextJustification::Left;
  }
  if (!anchorUnits.empty()) {
    if (!ParseUnits(anchorUnits, t.anchorUnits)) {
      why = "anchor units '" + anchorUnits + "' are not known";
      return false;
    }
    if (!GetPoint(ti, DCM_AnchorPoint, t.anchor)) {
      why = "text anchor without its point";
      return false;
    }
    t.hasAnchor = true;
    t.anchorVisible = GetString(ti, DCM_AnchorPointVisibility) == "Y";
  }
  if (!t.hasBox && !t.hasAnchor) {
    why = "text with neither a box nor an anchor";
    return false;
  }
  return true;
}

// A LUT Descriptor, LUT Data (and explanation) of item; the entry count
// must agree with the data, and the data must be in the file.
bool ReadLut(DcmItem& item, uint64_t fileSize, TStateLut& lut, std::string& why) {
  // US or SS: the first mapped value is signed when the data is.
  DcmElement* desc = nullptr;
  const bool signedFirst =
      item.findAndGetElement(DCM_LUTDescriptor, desc).good() && desc && desc->getVR() == EVR_SS;
  Uint16 d[3] = {};
  for (unsigned long k = 0; k < 3; ++k) {
    Sint16 v = 0;
    const bool ok = signedFirst ? item.findAndGetSint16(DCM_LUTDescriptor, v, k).good()
                                : item.findAndGetUint16(DCM_LUTDescriptor, d[k], k).good();
    if (!ok) {
      why = "a lookup table without its three descriptor values";
      return false;
    }
    if (signedFirst) d[k] = Uint16(v);
  }
  const unsigned long entries = d[0] == 0 ? 65536 : d[0];
  lut.first = signedFirst ? int32_t(Sint16(d[1])) : int32_t(d[1]);
  lut.firstAmbiguous = !signedFirst && d[1] > 32767;
  if (d[2] < 8 || d[2] > 16) {
    why = "a lookup table of " + std::to_string(d[2]) + " bits per entry";
    return false;
  }
  lut.bits = d[2];
  if (!derived::ValueFits(item, DCM_LUTData, fileSize)) {
    why = "lookup table data longer than the file";
    return false;
  }
  const Uint16* words = nullptr;
  unsigned long n = 0;
  if (item.findAndGetUint16Array(DCM_LUTData, words, &n).bad() || !words || n == 0) {
    why = "a lookup table without data";
    return false;
  }
  if (n == entries) {
    lut.data.assign(words, words + n);
  } else if (lut.bits == 8 && (entries + 1) / 2 == n) {
    // Eight-bit entries packed two to a word, low byte first.
    lut.data.resize(entries);
    for (unsigned long k = 0; k < entries; ++k)
      lut.data[k] = uint16_t(k % 2 ? words[k / 2] >> 8 : words[k / 2] & 0xFF);
  } else {
    why = "a lookup table of " + std::to_string(entries) + " entries with " + std::to_string(n) +
          " values";
    return false;
  }
  const uint16_t top = uint16_t((1u << lut.bits) - 1);
  for (uint16_t& v : lut.data) v = std::min(v, top);
  lut.explanation = GetString(item, DCM_LUTExplanation);
  return true;
}

// A CIELab triplet of tag as sRGB.
bool GetLab(DcmItem& item, const DcmTagKey& tag, uint8_t& r, uint8_t& g, uint8_t& b) {
  Uint16 lab[3] = {};
  for (unsigned long k = 0; k < 3; ++k)
    if (item.findAndGetUint16(tag, lab[k], k).bad()) return false;
  const std::array<uint8_t, 3> rgb = CieLabToSrgb(lab[0], lab[1], lab[2]);
  r = rgb[0], g = rgb[1], b = rgb[2];
  return true;
}

// The bits of overlay plane `group` of ds (rows x columns, one byte each);
// false with why when the plane is incomplete or its data too short.
bool ReadOverlayBits(DcmItem& ds, uint16_t group, uint64_t fileSize, int32_t& rows,
                     int32_t& columns, int32_t& originRow, int32_t& originColumn,
                     std::vector<uint8_t>& bits, std::string& why) {
  Uint16 r = 0, c = 0;
  if (ds.findAndGetUint16(DcmTagKey(group, 0x0010), r).bad() ||
      ds.findAndGetUint16(DcmTagKey(group, 0x0011), c).bad() || r == 0 || c == 0) {
    why = "without rows and columns";
    return false;
  }
  Sint16 origin[2] = {1, 1};
  for (unsigned long k = 0; k < 2; ++k) ds.findAndGetSint16(DcmTagKey(group, 0x0050), origin[k], k);
  Uint16 allocated = 1, position = 0;
  ds.findAndGetUint16(DcmTagKey(group, 0x0100), allocated);
  ds.findAndGetUint16(DcmTagKey(group, 0x0102), position);
  if (allocated != 1 || position != 0) {
    why = "not a plane of one bit per pixel";
    return false;
  }
  const DcmTagKey data(group, 0x3000);
  if (!derived::ValueFits(ds, data, fileSize)) {
    why = "with data longer than the file";
    return false;
  }
  const uint64_t count = uint64_t(r) * c;
  const Uint8* bytes = nullptr;
  unsigned long n = 0;
  DcmElement* e = nullptr;
  if (ds.findAndGetElement(data, e).bad() || !e) {
    why = "without data";
    return false;
  }
  // OW or OB alike: bit k of the plane is bit k % 8 of byte k / 8 (little endian).
  Uint16* words = nullptr;
  std::vector<Uint8> fromWords;
  if (e->getVR() == EVR_OW && e->getUint16Array(words).good() && words) {
    const unsigned long w = e->getLength() / 2;
    fromWords.resize(size_t(w) * 2);
    for (unsigned long k = 0; k < w; ++k) {
      fromWords[2 * k] = Uint8(words[k] & 0xFF);
      fromWords[2 * k + 1] = Uint8(words[k] >> 8);
    }
    bytes = fromWords.data();
    n = static_cast<unsigned long>(fromWords.size());
  } else {
    Uint8* b = nullptr;
    if (e->getUint8Array(b).bad() || !b) {
      why = "without data";
      return false;
    }
    bytes = b;
    n = e->getLength();
  }
  if (uint64_t(n) * 8 < count) {
    why = "with " + std::to_string(n) + " bytes for " + std::to_string(count) + " pixels";
    return false;
  }
  bits.resize(size_t(count));
  for (uint64_t k = 0; k < count; ++k) bits[size_t(k)] = (bytes[k / 8] >> (k % 8)) & 1;
  rows = r, columns = c, originRow = origin[0], originColumn = origin[1];
  return true;
}

// Display Shutter and Bitmap Display Shutter modules.
void ReadShutter(DcmItem& ds, uint64_t fileSize, TShutter& sh, std::vector<std::string>& skipped) {
  const std::string shapes = derived::GetStrings(ds, DCM_ShutterShape);
  if (shapes.empty()) return;
  size_t from = 0;
  while (from <= shapes.size()) {
    const size_t to = std::min(shapes.find('\\', from), shapes.size());
    const std::string shape = shapes.substr(from, to - from);
    from = to + 1;
    if (shape == "RECTANGULAR") {
      Sint32 v[4] = {};
      const DcmTagKey tags[4] = {DCM_ShutterLeftVerticalEdge, DCM_ShutterRightVerticalEdge,
                                 DCM_ShutterUpperHorizontalEdge, DCM_ShutterLowerHorizontalEdge};
      bool ok = true;
      for (int k = 0; k < 4; ++k) ok = ok && ds.findAndGetSint32(tags[k], v[k]).good();
      if (!ok || v[1] < v[0] || v[3] < v[2]) {
        skipped.push_back("a rectangular shutter without four ordered edges");
        continue;
      }
      sh.rectangular = true;
      sh.left = v[0], sh.right = v[1], sh.top = v[2], sh.bottom = v[3];
    } else if (shape == "CIRCULAR") {
      Sint32 row = 0, column = 0, radius = 0;
      if (ds.findAndGetSint32(DCM_CenterOfCircularShutter, row, 0).bad() ||
          ds.findAndGetSint32(DCM_CenterOfCircularShutter, column, 1).bad() ||
          ds.findAndGetSint32(DCM_RadiusOfCircularShutter, radius).bad() || radius <= 0) {
        skipped.push_back("a circular shutter without centre and radius");
        continue;
      }
      sh.circular = true;
      sh.centreRow = row, sh.centreColumn = column, sh.radius = radius;
    } else if (shape == "POLYGONAL") {
      std::vector<TPoint2> points;
      if (derived::ValueFits(ds, DCM_VerticesOfThePolygonalShutter, fileSize)) {
        // Parsed in one pass: reading value k at a time rescans the string.
        const std::string text = derived::GetStrings(ds, DCM_VerticesOfThePolygonalShutter);
        std::vector<double> values;
        size_t at = 0;
        while (at < text.size() && values.size() < 2 * kMaxPoints) {
          const size_t end = std::min(text.find('\\', at), text.size());
          char* stop = nullptr;
          const std::string word = text.substr(at, end - at);
          const double v = std::strtod(word.c_str(), &stop);
          if (word.empty() || stop == word.c_str() || !std::isfinite(v)) {
            values.clear();
            break;
          }
          values.push_back(v);
          at = end + 1;
        }
        if (values.size() % 2 == 0)
          for (size_t k = 0; k + 1 < values.size(); k += 2)
            points.push_back({values[k + 1], values[k]});
      }
      if (points.size() < 3) {
        skipped.push_back("a polygonal shutter without three vertices (row, column pairs)");
        continue;
      }
      sh.polygonal = true;
      sh.polygon = std::move(points);
    } else if (shape == "BITMAP") {
      Uint16 group = 0;
      std::string reason;
      if (ds.findAndGetUint16(DCM_ShutterOverlayGroup, group).bad() || group < 0x6000 ||
          group > 0x601E || group % 2) {
        skipped.push_back("a bitmap shutter without an overlay group 60xx");
        continue;
      }
      if (!ReadOverlayBits(ds, group, fileSize, sh.bitmapRows, sh.bitmapColumns, sh.bitmapOriginRow,
                           sh.bitmapOriginColumn, sh.bitmapBits, reason)) {
        skipped.push_back("the bitmap shutter's overlay " + reason);
        continue;
      }
      sh.bitmap = true;
    } else if (!shape.empty()) {
      skipped.push_back("a shutter of shape '" + shape + "'");
    }
  }
  Uint16 grey = 0;
  if (ds.findAndGetUint16(DCM_ShutterPresentationValue, grey).good()) sh.grey = grey;
  sh.hasColour = GetLab(ds, DCM_ShutterPresentationColorCIELabValue, sh.red, sh.green, sh.blue);
}

// Overlay activation and the state's own overlay planes.
void ReadOverlays(DcmItem& ds, uint64_t fileSize, TPresentationState& ps) {
  Uint16 shutterGroup = 0;
  const bool hasShutterGroup =
      derived::GetStrings(ds, DCM_ShutterShape).find("BITMAP") != std::string::npos &&
      ds.findAndGetUint16(DCM_ShutterOverlayGroup, shutterGroup).good();
  for (uint16_t group = 0x6000; group <= 0x601E; group += 2) {
    const std::string layer = GetString(ds, DcmTagKey(group, 0x1001));
    if (!layer.empty()) ps.overlayLayers.emplace_back(group, layer);
    // The bitmap shutter's plane is no overlay to show (read or not).
    if (hasShutterGroup && shutterGroup == group) continue;
    if (!ds.tagExists(DcmTagKey(group, 0x3000))) continue;
    TStateOverlay o;
    o.group = group;
    o.layer = layer;
    std::string reason;
    if (!ReadOverlayBits(ds, group, fileSize, o.rows, o.columns, o.originRow, o.originColumn,
                         o.bits, reason)) {
      char name[8];
      std::snprintf(name, sizeof name, "%04X", group);
      ps.skipped.push_back(std::string("overlay ") + name + " " + reason);
      continue;
    }
    ps.overlays.push_back(std::move(o));
  }
}

// The items of a sequence, at most kMaxItems of them.
std::vector<DcmItem*> Items(DcmItem& parent, const DcmTagKey& tag,
                            std::vector<std::string>& skipped, const std::string& what) {
  std::vector<DcmItem*> items;
  DcmSequenceOfItems* seq = nullptr;
  if (parent.findAndGetSequence(tag, seq).bad() || !seq) return items;
  const unsigned long n = seq->card();
  if (n > kMaxItems)
    skipped.push_back(what + ": only the first " + std::to_string(kMaxItems) + " items read");
  for (unsigned long i = 0; i < n && i < kMaxItems; ++i)
    if (DcmItem* item = seq->getItem(i)) items.push_back(item);
  return items;
}

}  // namespace

bool ReadPresentationState(const std::string& path, TPresentationState& ps, std::string& why) {
  ps = TPresentationState{};
  DcmFileFormat file;
  uint64_t size = 0;
  if (!derived::LoadBounded(path, file, size, why)) return false;
  try {
    DcmDataset& ds = *file.getDataset();
    const std::string sopClass = GetString(ds, DCM_SOPClassUID);
    if (!IsPresentationStateClass(sopClass)) {
      why = path + ": not a presentation state (SOP class " +
            (sopClass.empty() ? std::string("missing") : sopClass) + ")";
      return false;
    }
    if (!derived::GetStrings(ds, DCM_SpecificCharacterSet).empty()) ds.convertToUTF8();
    ps.colour = sopClass == kColorPresentationStateClass;
    ps.sopInstanceUid = GetString(ds, DCM_SOPInstanceUID);
    ps.seriesInstanceUid = GetString(ds, DCM_SeriesInstanceUID);
    ps.studyInstanceUid = GetString(ds, DCM_StudyInstanceUID);
    ps.label = GetString(ds, DCM_ContentLabel);
    ps.description = GetString(ds, DCM_ContentDescription);
    ps.creator = GetString(ds, DCM_ContentCreatorName);
    ps.creationDate = GetString(ds, DCM_PresentationCreationDate);
    ps.creationTime = GetString(ds, DCM_PresentationCreationTime);

    for (DcmItem* s : Items(ds, DCM_ReferencedSeriesSequence, ps.skipped, "referenced series")) {
      TSeriesRef ref;
      ref.seriesInstanceUid = GetString(*s, DCM_SeriesInstanceUID);
      ref.images = derived::GetImageRefs(*s, ps.skipped, "referenced series");
      if (ref.images.empty()) {
        ps.skipped.push_back("a referenced series without images");
        continue;
      }
      ps.series.push_back(std::move(ref));
    }
    if (ps.series.empty()) {
      why = path + ": the presentation state references no image";
      return false;
    }
    for (DcmItem* l : Items(ds, DCM_GraphicLayerSequence, ps.skipped, "graphic layers")) {
      TGraphicLayer layer;
      layer.name = GetString(*l, DCM_GraphicLayer);
      Sint32 order = 0;
      if (l->findAndGetSint32(DCM_GraphicLayerOrder, order).good()) layer.order = order;
      layer.description = GetString(*l, DCM_GraphicLayerDescription);
      Uint16 grey = 0;
      if (GetLab(*l, DCM_GraphicLayerRecommendedDisplayCIELabValue, layer.red, layer.green,
                 layer.blue)) {
        layer.hasColour = true;
      } else if (l->findAndGetUint16(DCM_GraphicLayerRecommendedDisplayGrayscaleValue, grey)
                     .good()) {
        layer.hasColour = true;
        layer.red = layer.green = layer.blue = uint8_t(grey >> 8);
      }
      ps.layers.push_back(std::move(layer));
    }
    int annotationIndex = 0;
    for (DcmItem* a : Items(ds, DCM_GraphicAnnotationSequence, ps.skipped, "annotations")) {
      ++annotationIndex;
      const std::string where = "annotation " + std::to_string(annotationIndex);
      TGraphicAnnotation ann;
      ann.layer = GetString(*a, DCM_GraphicLayer);
      ann.images = derived::GetImageRefs(*a, ps.skipped, where);
      int k = 0;
      for (DcmItem* gi : Items(*a, DCM_GraphicObjectSequence, ps.skipped, where)) {
        ++k;
        TGraphicObject g;
        std::string reason;
        if (ReadGraphic(*gi, size, g, reason))
          ann.graphics.push_back(std::move(g));
        else
          ps.skipped.push_back(where + ", graphic " + std::to_string(k) + ": " + reason);
      }
      k = 0;
      for (DcmItem* ti : Items(*a, DCM_TextObjectSequence, ps.skipped, where)) {
        ++k;
        TTextObject t;
        std::string reason;
        if (ReadText(*ti, size, t, reason))
          ann.texts.push_back(std::move(t));
        else
          ps.skipped.push_back(where + ", text " + std::to_string(k) + ": " + reason);
      }
      ps.annotations.push_back(std::move(ann));
    }
    for (DcmItem* w : Items(ds, DCM_SoftcopyVOILUTSequence, ps.skipped, "windows")) {
      TVoiWindow win;
      Float64 c = 0, wd = 0;
      const std::vector<DcmItem*> luts = Items(*w, DCM_VOILUTSequence, ps.skipped, "VOI LUTs");
      if (!luts.empty()) {
        // The first table is the one to show; a broken one leaves the
        // window, when there is one, in its place.
        std::string reason;
        if (ReadLut(*luts.front(), size, win.lut, reason))
          win.hasLut = true;
        else
          ps.skipped.push_back("a VOI lookup table: " + reason);
      }
      if (!win.hasLut) {
        if (w->findAndGetFloat64(DCM_WindowCenter, c).bad() ||
            w->findAndGetFloat64(DCM_WindowWidth, wd).bad() || !std::isfinite(c) ||
            !std::isfinite(wd) || wd <= 0) {
          ps.skipped.push_back("a VOI entry without a usable window");
          continue;
        }
        const std::string function = GetString(*w, DCM_VOILUTFunction);
        if (function == "LINEAR_EXACT" || function == "SIGMOID")
          win.function = function;
        else if (wd < 1)
          wd = 1;  // LINEAR needs at least 1
      }
      win.center = c;
      win.width = wd;
      win.explanation = GetString(*w, DCM_WindowCenterWidthExplanation);
      win.images = derived::GetImageRefs(*w, ps.skipped, "window");
      ps.windows.push_back(std::move(win));
    }
    for (DcmItem* d :
         Items(ds, DCM_DisplayedAreaSelectionSequence, ps.skipped, "displayed areas")) {
      TDisplayedArea area;
      Sint32 v[4] = {};
      if (d->findAndGetSint32(DCM_DisplayedAreaTopLeftHandCorner, v[0], 0).bad() ||
          d->findAndGetSint32(DCM_DisplayedAreaTopLeftHandCorner, v[1], 1).bad() ||
          d->findAndGetSint32(DCM_DisplayedAreaBottomRightHandCorner, v[2], 0).bad() ||
          d->findAndGetSint32(DCM_DisplayedAreaBottomRightHandCorner, v[3], 1).bad()) {
        ps.skipped.push_back("a displayed area without both corners");
        continue;
      }
      area.left = v[0], area.top = v[1], area.right = v[2], area.bottom = v[3];
      area.sizeMode = GetString(*d, DCM_PresentationSizeMode);
      Float64 spacing[2] = {};
      if (d->findAndGetFloat64(DCM_PresentationPixelSpacing, spacing[0], 0).good() &&
          d->findAndGetFloat64(DCM_PresentationPixelSpacing, spacing[1], 1).good() &&
          spacing[0] > 0 && spacing[1] > 0 && std::isfinite(spacing[0]) &&
          std::isfinite(spacing[1])) {
        area.rowSpacing = spacing[0];
        area.columnSpacing = spacing[1];
      }
      Sint32 aspect[2] = {1, 1};
      if (d->findAndGetSint32(DCM_PresentationPixelAspectRatio, aspect[0], 0).good() &&
          d->findAndGetSint32(DCM_PresentationPixelAspectRatio, aspect[1], 1).good() &&
          aspect[0] > 0 && aspect[1] > 0) {
        area.aspectVertical = aspect[0];
        area.aspectHorizontal = aspect[1];
      }
      Float32 magnify = 1;
      if (area.sizeMode == "MAGNIFY") {
        if (d->findAndGetFloat32(DCM_PresentationPixelMagnificationRatio, magnify).good() &&
            std::isfinite(magnify) && magnify > 0)
          area.magnification = magnify;
        else
          ps.skipped.push_back("a magnified displayed area without its ratio: shown at 1");
      }
      area.images = derived::GetImageRefs(*d, ps.skipped, "displayed area");
      ps.areas.push_back(std::move(area));
    }
    Uint16 rotation = 0;
    if (ds.findAndGetUint16(DCM_ImageRotation, rotation).good()) {
      if (rotation % 90 == 0 && rotation < 360)
        ps.rotation = rotation;
      else
        ps.skipped.push_back("a rotation of " + std::to_string(rotation) + " degrees");
    }
    ps.horizontalFlip = GetString(ds, DCM_ImageHorizontalFlip) == "Y";
    ps.manufacturer = GetString(ds, DCM_Manufacturer);

    Float64 slope = 1, intercept = 0;
    if (ds.findAndGetFloat64(DCM_RescaleSlope, slope).good() &&
        ds.findAndGetFloat64(DCM_RescaleIntercept, intercept).good()) {
      if (std::isfinite(slope) && std::isfinite(intercept) && slope != 0) {
        ps.hasRescale = true;
        ps.rescaleSlope = slope;
        ps.rescaleIntercept = intercept;
      } else {
        ps.skipped.push_back("a modality rescale that is not a usable number");
      }
    }
    const std::vector<DcmItem*> modality =
        Items(ds, DCM_ModalityLUTSequence, ps.skipped, "modality LUT");
    if (!modality.empty()) {
      std::string reason;
      if (ReadLut(*modality.front(), size, ps.modalityLut, reason))
        ps.hasModalityLut = true;
      else
        ps.skipped.push_back("the modality lookup table: " + reason);
    }
    ps.presentationShape = GetString(ds, DCM_PresentationLUTShape);
    if (!ps.presentationShape.empty() && ps.presentationShape != "IDENTITY" &&
        ps.presentationShape != "INVERSE") {
      ps.skipped.push_back("presentation LUT shape '" + ps.presentationShape + "'");
      ps.presentationShape.clear();
    }
    const std::vector<DcmItem*> presentation =
        Items(ds, DCM_PresentationLUTSequence, ps.skipped, "presentation LUT");
    if (!presentation.empty()) {
      std::string reason;
      if (ReadLut(*presentation.front(), size, ps.presentationLut, reason))
        ps.hasPresentationLut = true;
      else
        ps.skipped.push_back("the presentation lookup table: " + reason);
    }
    ReadShutter(ds, size, ps.shutter, ps.skipped);
    ReadOverlays(ds, size, ps);
  } catch (const std::bad_alloc&) {
    why = path + ": not enough memory to read it";
    return false;
  }
  return true;
}
