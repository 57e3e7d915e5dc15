#include "dicom/HeaderFacts.h"

#include <cstring>

#include "dicom/Calibration.h"
#include "dicom/DicomElements.h"

namespace {

const TagElement* Find(const std::vector<TagElement>* es, uint32_t tag) {
  if (!es) return nullptr;
  for (const auto& e : *es)
    if (e.tag == tag) return &e;
  return nullptr;
}

const std::vector<TagElement>* FirstItem(const std::vector<TagElement>* es, uint32_t tag) {
  const TagElement* e = Find(es, tag);
  return e && !e->items.empty() ? &e->items[0] : nullptr;
}

// The stored values, joined with ", "; nothing when the element is absent or empty.
std::optional<std::string> Joined(const TagElement* e, bool firstOnly = false) {
  if (!e || e->texts.empty()) return std::nullopt;
  std::string out;
  for (const std::string& t : e->texts) {
    if (!out.empty()) out += ", ";
    out += t;
    if (firstOnly) break;
  }
  if (out.find_first_not_of(", ") == std::string::npos) return std::nullopt;
  return out;
}

// An element of the data set, else of the first frame's or the shared
// functional group `sequence` of an enhanced image.
const TagElement* Located(const std::vector<TagElement>& root, uint32_t sequence, uint32_t tag) {
  if (const TagElement* e = Find(&root, tag)) return e;
  for (uint32_t groups : {0x52009230u, 0x52009229u}) {
    const auto* item = FirstItem(&root, groups);
    if (const TagElement* e = Find(FirstItem(item, sequence), tag)) return e;
  }
  return nullptr;
}

}  // namespace

HeaderFacts HeaderFactsOf(const TagListing& listing) {
  HeaderFacts f;
  if (!listing.ok) return f;
  f.read = true;
  f.transferSyntax = listing.transferSyntax;
  const auto& es = listing.elements;
  f.studyUid = Joined(Find(&es, 0x0020000D));
  f.seriesUid = Joined(Find(&es, 0x0020000E));
  f.position = Joined(Located(es, 0x00209113, 0x00200032));           // Plane Position Sequence
  f.orientation = Joined(Located(es, 0x00209116, 0x00200037));        // Plane Orientation Sequence
  f.windowWidth = Joined(Located(es, 0x00289132, 0x00281051), true);  // Frame VOI LUT Sequence
  f.windowCenter = Joined(Located(es, 0x00289132, 0x00281050), true);
  f.slope = Joined(Located(es, 0x00289145, 0x00281053), true);
  f.intercept = Joined(Located(es, 0x00289145, 0x00281052), true);
  const ImageCalibration c = CalibrationOf(listing);
  if (c.pixelSpacing[0] > 0) f.pixelSpacing = std::make_pair(c.pixelSpacing[0], c.pixelSpacing[1]);
  if (c.imagerSpacing[0] > 0)
    f.imagerSpacing = std::make_pair(c.imagerSpacing[0], c.imagerSpacing[1]);
  for (const UltrasoundRegion& r : c.regions) f.ultrasoundRegions |= r.dx > 0;
  return f;
}

HeaderFacts ReadHeaderFacts(const std::string& path) {
  return HeaderFactsOf(ReadTagListing(path));
}

std::string TransferSyntaxName(const std::string& uid) {
  static const struct {
    const char* uid;
    const char* name;
  } kNames[] = {
      {"1.2.840.10008.1.2", "Implicit VR Little Endian"},
      {"1.2.840.10008.1.2.1", "Explicit VR Little Endian"},
      {"1.2.840.10008.1.2.1.98", "Encapsulated Uncompressed Explicit VR Little Endian"},
      {"1.2.840.10008.1.2.1.99", "Deflated Explicit VR Little Endian"},
      {"1.2.840.10008.1.2.2", "Explicit VR Big Endian"},
      {"1.2.840.10008.1.2.4.50", "JPEG Baseline (Process 1)"},
      {"1.2.840.10008.1.2.4.51", "JPEG Extended (Process 2 & 4)"},
      {"1.2.840.10008.1.2.4.52", "JPEG Extended (Process 3 & 5) (Retired)"},
      {"1.2.840.10008.1.2.4.53",
       "JPEG Spectral Selection, Non-Hierarchical (Process 6 & 8) (Retired)"},
      {"1.2.840.10008.1.2.4.54",
       "JPEG Spectral Selection, Non-Hierarchical (Process 7 & 9) (Retired)"},
      {"1.2.840.10008.1.2.4.55",
       "JPEG Full Progression, Non-Hierarchical (Process 10 & 12) (Retired)"},
      {"1.2.840.10008.1.2.4.56",
       "JPEG Full Progression, Non-Hierarchical (Process 11 & 13) (Retired)"},
      {"1.2.840.10008.1.2.4.57", "JPEG Lossless, Non-Hierarchical (Process 14)"},
      {"1.2.840.10008.1.2.4.58", "JPEG Lossless, Non-Hierarchical (Process 15) (Retired)"},
      {"1.2.840.10008.1.2.4.70",
       "JPEG Lossless, Non-Hierarchical, First-Order Prediction (Process 14 [Selection Value 1])"},
      {"1.2.840.10008.1.2.4.80", "JPEG-LS Lossless Image Compression"},
      {"1.2.840.10008.1.2.4.81", "JPEG-LS Lossy (Near-Lossless) Image Compression"},
      {"1.2.840.10008.1.2.4.90", "JPEG 2000 Image Compression (Lossless Only)"},
      {"1.2.840.10008.1.2.4.91", "JPEG 2000 Image Compression"},
      {"1.2.840.10008.1.2.4.92",
       "JPEG 2000 Part 2 Multi-component Image Compression (Lossless Only)"},
      {"1.2.840.10008.1.2.4.93", "JPEG 2000 Part 2 Multi-component Image Compression"},
      {"1.2.840.10008.1.2.4.94", "JPIP Referenced"},
      {"1.2.840.10008.1.2.4.95", "JPIP Referenced Deflate"},
      {"1.2.840.10008.1.2.4.100", "MPEG2 Main Profile / Main Level"},
      {"1.2.840.10008.1.2.4.101", "MPEG2 Main Profile / High Level"},
      {"1.2.840.10008.1.2.4.102", "MPEG-4 AVC/H.264 High Profile / Level 4.1"},
      {"1.2.840.10008.1.2.4.103", "MPEG-4 AVC/H.264 BD-compatible High Profile / Level 4.1"},
      {"1.2.840.10008.1.2.4.104", "MPEG-4 AVC/H.264 High Profile / Level 4.2 For 2D Video"},
      {"1.2.840.10008.1.2.4.105", "MPEG-4 AVC/H.264 High Profile / Level 4.2 For 3D Video"},
      {"1.2.840.10008.1.2.4.106", "MPEG-4 AVC/H.264 Stereo High Profile / Level 4.2"},
      {"1.2.840.10008.1.2.4.107", "HEVC/H.265 Main Profile / Level 5.1"},
      {"1.2.840.10008.1.2.4.108", "HEVC/H.265 Main 10 Profile / Level 5.1"},
      {"1.2.840.10008.1.2.4.110", "JPEG XL Lossless"},
      {"1.2.840.10008.1.2.4.111", "JPEG XL JPEG Recompression"},
      {"1.2.840.10008.1.2.4.112", "JPEG XL"},
      {"1.2.840.10008.1.2.4.201", "High-Throughput JPEG 2000 Image Compression (Lossless Only)"},
      {"1.2.840.10008.1.2.4.202",
       "High-Throughput JPEG 2000 with RPCL Options Image Compression (Lossless Only)"},
      {"1.2.840.10008.1.2.4.203", "High-Throughput JPEG 2000 Image Compression"},
      {"1.2.840.10008.1.2.5", "RLE Lossless"},
  };
  for (const auto& n : kNames)
    if (uid == n.uid) return n.name;
  return uid;
}
