#include "derived/Segmentation.h"

#include <dcmtk/dcmdata/dctk.h>

#include <algorithm>
#include <cmath>

#include "derived/DerivedIo.h"

namespace {

using derived::GetString;

const DcmTagKey kSegmentationType(0x0062, 0x0001);
const DcmTagKey kSegmentSequence(0x0062, 0x0002);
const DcmTagKey kSegmentNumber(0x0062, 0x0004);
const DcmTagKey kSegmentLabel(0x0062, 0x0005);
const DcmTagKey kRecommendedCieLab(0x0062, 0x000D);
const DcmTagKey kMaxFractional(0x0062, 0x000E);
const DcmTagKey kSegmentIdentification(0x0062, 0x000A);
const DcmTagKey kReferencedSegmentNumber(0x0062, 0x000B);

bool GetDoubles(DcmItem& item, const DcmTagKey& tag, double* out, unsigned long n) {
  for (unsigned long i = 0; i < n; ++i) {
    Float64 v = 0;
    if (item.findAndGetFloat64(tag, v, i).bad() || !std::isfinite(v)) return false;
    out[i] = v;
  }
  return true;
}

// The first item of a functional group's sequence in a frame's group item,
// falling back to the shared groups.
DcmItem* Group(DcmItem* perFrame, DcmItem* shared, const DcmTagKey& sequence) {
  DcmItem* found = nullptr;
  if (perFrame && perFrame->findAndGetSequenceItem(sequence, found, 0).good() && found)
    return found;
  if (shared && shared->findAndGetSequenceItem(sequence, found, 0).good() && found) return found;
  return nullptr;
}

void ReadSegments(DcmItem& ds, TSegmentation& seg) {
  DcmSequenceOfItems* sq = nullptr;
  if (ds.findAndGetSequence(kSegmentSequence, sq).bad() || !sq) return;
  for (unsigned long i = 0; i < sq->card(); ++i) {
    DcmItem* item = sq->getItem(i);
    Uint16 number = 0;
    if (!item || item->findAndGetUint16(kSegmentNumber, number).bad() || number == 0) {
      seg.skipped.push_back("segment item " + std::to_string(i + 1) + " has no segment number");
      continue;
    }
    TSegment s;
    s.number = number;
    s.label = GetString(*item, kSegmentLabel);
    Uint16 lab[3];
    if (item->findAndGetUint16(kRecommendedCieLab, lab[0], 0).good() &&
        item->findAndGetUint16(kRecommendedCieLab, lab[1], 1).good() &&
        item->findAndGetUint16(kRecommendedCieLab, lab[2], 2).good()) {
      s.recommendedColour = true;
      s.rgb = CieLabToSrgb(lab[0], lab[1], lab[2]);
    } else {
      s.rgb = SegmentPaletteColour(s.number);
    }
    seg.segments.push_back(std::move(s));
  }
}

TSegmentFrame ReadFrame(DcmItem* perFrame, DcmItem* shared, size_t index, TSegmentation& seg) {
  TSegmentFrame f;
  const std::string where = "frame " + std::to_string(index + 1);
  if (DcmItem* id = Group(perFrame, shared, kSegmentIdentification)) {
    Uint16 n = 0;
    if (id->findAndGetUint16(kReferencedSegmentNumber, n).good()) f.segment = n;
  }
  if (f.segment == 0) seg.skipped.push_back(where + " names no segment");
  if (DcmItem* derivation = Group(perFrame, shared, DCM_DerivationImageSequence)) {
    DcmItem* source = nullptr;
    if (derivation->findAndGetSequenceItem(DCM_SourceImageSequence, source, 0).good() && source) {
      f.sourceSopUid = GetString(*source, DCM_ReferencedSOPInstanceUID);
      Sint32 frame = 0;
      if (source->findAndGetSint32(DCM_ReferencedFrameNumber, frame).good() && frame > 0)
        f.sourceFrame = frame;
    }
  }
  if (DcmItem* plane = Group(perFrame, shared, DCM_PlanePositionSequence))
    f.hasPosition = GetDoubles(*plane, DCM_ImagePositionPatient, f.position.data(), 3);
  if (f.sourceSopUid.empty() && !f.hasPosition)
    seg.skipped.push_back(where + " names neither its source image nor its position");
  return f;
}

uint64_t FrameBits(const TSegmentation& seg) {
  return uint64_t(seg.rows) * uint64_t(seg.columns) * (seg.fractional ? 8u : 1u);
}

}  // namespace

std::array<uint8_t, 3> CieLabToSrgb(uint16_t l16, uint16_t a16, uint16_t b16) {
  const double l = l16 * 100.0 / 65535.0;
  const double a = a16 * 255.0 / 65535.0 - 128.0;
  const double b = b16 * 255.0 / 65535.0 - 128.0;
  const auto finv = [](double t) {
    return t > 6.0 / 29.0 ? t * t * t : 3.0 * (6.0 / 29.0) * (6.0 / 29.0) * (t - 4.0 / 29.0);
  };
  const double fy = (l + 16.0) / 116.0;
  // The profile connection space's white, D50.
  const double x50 = 0.96422 * finv(fy + a / 500.0);
  const double y50 = 1.0 * finv(fy);
  const double z50 = 0.82521 * finv(fy - b / 200.0);
  // Bradford adaptation to D65, then linear sRGB.
  const double x = 0.9555766 * x50 - 0.0230393 * y50 + 0.0631636 * z50;
  const double y = -0.0282895 * x50 + 1.0099416 * y50 + 0.0210077 * z50;
  const double z = 0.0122982 * x50 - 0.0204830 * y50 + 1.3299098 * z50;
  const double linear[3] = {3.2404542 * x - 1.5371385 * y - 0.4985314 * z,
                            -0.9692660 * x + 1.8760108 * y + 0.0415560 * z,
                            0.0556434 * x - 0.2040259 * y + 1.0572252 * z};
  std::array<uint8_t, 3> rgb{};
  for (int i = 0; i < 3; ++i) {
    const double c = std::clamp(linear[i], 0.0, 1.0);
    const double g = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
    rgb[size_t(i)] = uint8_t(std::lround(std::clamp(g, 0.0, 1.0) * 255.0));
  }
  return rgb;
}

std::array<uint8_t, 3> SegmentPaletteColour(int segmentNumber) {
  static const std::array<uint8_t, 3> kPalette[] = {
      {230, 25, 75},  {60, 180, 75},   {255, 225, 25}, {0, 130, 200},
      {245, 130, 48}, {145, 30, 180},  {70, 240, 240}, {240, 50, 230},
      {210, 245, 60}, {250, 190, 212}, {0, 128, 128},  {220, 190, 255},
      {170, 110, 40}, {255, 250, 200}, {128, 0, 0},    {170, 255, 195}};
  const size_t n = sizeof kPalette / sizeof kPalette[0];
  return kPalette[size_t(std::max(segmentNumber - 1, 0)) % n];
}

bool ReadSegmentation(const std::string& path, TSegmentation& seg, std::string& why) {
  seg = TSegmentation{};
  DcmFileFormat file;
  uint64_t fileSize = 0;
  if (!derived::LoadBounded(path, file, fileSize, why)) return false;
  DcmItem& ds = *file.getDataset();
  if (GetString(ds, DCM_SOPClassUID) != kSegmentationClass) {
    why = path + ": not a segmentation";
    return false;
  }
  seg.sopInstanceUid = GetString(ds, DCM_SOPInstanceUID);
  seg.seriesDescription = GetString(ds, DCM_SeriesDescription);
  seg.contentLabel = GetString(ds, DCM_ContentLabel);
  seg.frameOfReferenceUid = GetString(ds, DCM_FrameOfReferenceUID);
  const std::string type = GetString(ds, kSegmentationType);
  seg.fractional = type == "FRACTIONAL";
  if (!seg.fractional && type != "BINARY") {
    why = path + ": segmentation type \"" + type + "\" is not BINARY or FRACTIONAL";
    return false;
  }
  Uint16 rows = 0, columns = 0, bits = 0;
  ds.findAndGetUint16(DCM_Rows, rows);
  ds.findAndGetUint16(DCM_Columns, columns);
  ds.findAndGetUint16(DCM_BitsAllocated, bits);
  if (rows == 0 || columns == 0) {
    why = path + ": the segmentation has no rows or columns";
    return false;
  }
  if (bits != (seg.fractional ? 8 : 1)) {
    why = path + ": a " + type + " segmentation with " + std::to_string(bits) + " bits allocated";
    return false;
  }
  seg.rows = rows;
  seg.columns = columns;
  if (seg.fractional) {
    Uint16 max = 0;
    ds.findAndGetUint16(kMaxFractional, max);
    seg.maxFractional = std::clamp<int>(max, 1, 255);
  }
  ReadSegments(ds, seg);
  if (seg.segments.empty()) {
    why = path + ": the segmentation defines no segments";
    return false;
  }

  Sint32 declared = 1;
  if (ds.findAndGetSint32(DCM_NumberOfFrames, declared).bad()) declared = 1;
  if (declared < 1) {
    why = path + ": the segmentation has no frames";
    return false;
  }
  // The pixel data bounds every frame: frames it cannot hold are dropped,
  // whatever Number of Frames claims.
  DcmElement* pixels = nullptr;
  if (ds.findAndGetElement(DCM_PixelData, pixels).bad() || !pixels ||
      !derived::ValueFits(ds, DCM_PixelData, fileSize)) {
    why = path + ": the segmentation has no pixel data";
    return false;
  }
  Uint8* raw = nullptr;
  if (pixels->getUint8Array(raw).bad() || !raw) {
    why = path + ": the segmentation's pixel data cannot be read (compressed?)";
    return false;
  }
  const uint64_t length = pixels->getLength();
  const uint64_t held = length * 8 / FrameBits(seg);
  const size_t frames = size_t(std::min<uint64_t>(uint64_t(declared), held));
  if (frames == 0) {
    why = path + ": the segmentation's pixel data holds not one frame";
    return false;
  }
  if (frames < size_t(declared))
    seg.skipped.push_back(std::to_string(size_t(declared) - frames) +
                          " frames lie beyond the end of the pixel data");
  const uint64_t used = (uint64_t(frames) * FrameBits(seg) + 7) / 8;
  seg.pixels.assign(raw, raw + used);

  DcmItem* shared = nullptr;
  ds.findAndGetSequenceItem(DCM_SharedFunctionalGroupsSequence, shared, 0);
  DcmSequenceOfItems* perFrame = nullptr;
  ds.findAndGetSequence(DCM_PerFrameFunctionalGroupsSequence, perFrame);
  // Some writers put orientation and pixel measures in each frame's groups
  // rather than the shared ones; a segmentation's frames share one plane
  // orientation and grid, so the first frame that has them speaks for all.
  DcmItem* first = perFrame && perFrame->card() > 0 ? perFrame->getItem(0) : nullptr;
  if (DcmItem* orientation = Group(first, shared, DCM_PlaneOrientationSequence))
    seg.hasOrientation =
        GetDoubles(*orientation, DCM_ImageOrientationPatient, seg.orientation.data(), 6);
  if (DcmItem* measures = Group(first, shared, DCM_PixelMeasuresSequence)) {
    seg.hasSpacing = GetDoubles(*measures, DCM_PixelSpacing, seg.spacing.data(), 2);
    Float64 thickness = 0;
    if (measures->findAndGetFloat64(DCM_SliceThickness, thickness).good() &&
        std::isfinite(thickness))
      seg.sliceThickness = thickness;
  }
  seg.frames.reserve(frames);
  for (size_t k = 0; k < frames; ++k) {
    DcmItem* item = perFrame && k < perFrame->card() ? perFrame->getItem(k) : nullptr;
    seg.frames.push_back(ReadFrame(item, shared, k, seg));
  }
  return true;
}

bool SegmentFrameMask(const TSegmentation& seg, size_t index, std::vector<uint8_t>& mask) {
  if (index >= seg.frames.size()) return false;
  const size_t count = size_t(seg.rows) * size_t(seg.columns);
  mask.assign(count, 0);
  if (seg.fractional) {
    const size_t start = index * count;
    if (start + count > seg.pixels.size()) return false;
    for (size_t i = 0; i < count; ++i)
      mask[i] = uint8_t(std::min<int>(seg.pixels[start + i], seg.maxFractional));
    return true;
  }
  // Binary frames follow each other bit by bit, least significant bit first,
  // without padding to a byte between frames.
  const uint64_t first = uint64_t(index) * count;
  if ((first + count + 7) / 8 > seg.pixels.size()) return false;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t bit = first + i;
    mask[i] = (seg.pixels[size_t(bit >> 3)] >> (bit & 7)) & 1;
  }
  return true;
}
