#include "derived/ObjectIndex.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <new>
#include <set>

#include "derived/DerivedIo.h"
#include "derived/KeyObjectSelection.h"
#include "derived/PresentationState.h"
#include "derived/Segmentation.h"
#include "derived/StructureSet.h"

namespace {

using Vec = std::array<double, 3>;

double Dot(const Vec& a, const Vec& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vec Cross(const Vec& a, const Vec& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// The unit normal of an orientation's plane; false when the two directions
// do not make one.
bool Normal(const std::array<double, 6>& o, Vec& n) {
  n = Cross({o[0], o[1], o[2]}, {o[3], o[4], o[5]});
  const double length = std::sqrt(Dot(n, n));
  if (!(length > 1e-6)) return false;
  for (double& v : n) v /= length;
  return true;
}

// What a reference needs of each file's header.
struct THeader {
  std::string path, sopClassUid, sopInstanceUid, frameOfReferenceUid;
  int32_t frames = 1;
  bool hasPlane = false;  // a single-frame image with its position and orientation
  Vec position{}, normal{};
  double thickness = 0;  // slice thickness, or 0 when not given
};

bool ReadDoubles(DcmItem& ds, const DcmTagKey& tag, double* out, unsigned long count) {
  for (unsigned long i = 0; i < count; ++i) {
    Float64 v = 0;
    if (ds.findAndGetFloat64(tag, v, i).bad() || !std::isfinite(v)) return false;
    out[i] = v;
  }
  return true;
}

// The header up to the pixel data; false with a reason when the file is no
// readable DICOM.
bool ReadHeader(const std::string& path, THeader& h, std::string& why) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a readable file";
    return false;
  }
  DcmFileFormat file;
  try {
    const OFCondition c = file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange,
                                                DCM_MaxReadLength, ERM_autoDetect, DCM_PixelData);
    if (c.bad()) {
      why = std::string("not a readable DICOM file (") + c.text() + ")";
      return false;
    }
  } catch (const std::bad_alloc&) {
    why = "not enough memory to read its header";
    return false;
  }
  DcmDataset& ds = *file.getDataset();
  h.path = path;
  h.sopClassUid = derived::GetString(ds, DCM_SOPClassUID);
  h.sopInstanceUid = derived::GetString(ds, DCM_SOPInstanceUID);
  if (h.sopInstanceUid.empty()) {
    why = "no SOP Instance UID";
    return false;
  }
  h.frameOfReferenceUid = derived::GetString(ds, DCM_FrameOfReferenceUID);
  Sint32 frames = 1;
  if (ds.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 1) h.frames = frames;
  std::array<double, 6> orientation{};
  if (h.frames == 1 && ReadDoubles(ds, DCM_ImagePositionPatient, h.position.data(), 3) &&
      ReadDoubles(ds, DCM_ImageOrientationPatient, orientation.data(), 6))
    h.hasPlane = Normal(orientation, h.normal);
  double thickness = 0;
  if (ReadDoubles(ds, DCM_SliceThickness, &thickness, 1) && thickness > 0) h.thickness = thickness;
  return true;
}

TObjectKind KindOfClass(const std::string& uid) {
  if (uid == kSegmentationClass) return TObjectKind::Segmentation;
  if (uid == kStructureSetClass) return TObjectKind::StructureSet;
  if (IsPresentationStateClass(uid)) return TObjectKind::PresentationState;
  if (uid == kKeyObjectSelectionClass) return TObjectKind::KeyObjects;
  return TObjectKind::Other;
}

// Structured reports other than key object selections: not read here, but
// listed, being objects about images rather than images.
bool IsOtherReport(const std::string& uid) {
  static const std::string kReports = "1.2.840.10008.5.1.4.1.1.88.";
  return uid.rfind(kReports, 0) == 0 && uid != kKeyObjectSelectionClass;
}

// Half a slice: within it a plane lies on an image. Without a thickness, the
// half millimetre that rounding in the writers' coordinates stays within.
double HalfSlice(double thickness, const THeader& image) {
  const double t = thickness > 0 ? thickness : image.thickness;
  return t > 0 ? t / 2 : 0.5;
}

class TResolver {
 public:
  explicit TResolver(const std::vector<THeader>& headers) {
    for (const THeader& h : headers) {
      byUid_.emplace(h.sopInstanceUid, &h);
      if (h.hasPlane && !h.frameOfReferenceUid.empty())
        byFrameOfReference_[h.frameOfReferenceUid].push_back(&h);
    }
  }

  void Resolve(TObjectReference& r) const {
    const auto it = byUid_.find(r.sopInstanceUid);
    if (it == byUid_.end()) {
      r.problem = kNothingLoaded;
      return;
    }
    r.imagePath = it->second->path;
    std::vector<int32_t> beyond;
    for (int32_t f : r.frames)
      if (f > it->second->frames) beyond.push_back(f);
    if (!beyond.empty())
      r.problem = "frame " + std::to_string(beyond.front()) + " is beyond the image's " +
                  std::to_string(it->second->frames) + " frame(s)";
  }

  // The single-frame images of the frame of reference whose plane (within
  // half a slice) holds every point; normal: the object's own plane, or
  // null to take each image's.
  std::vector<const THeader*> OnPlane(const std::string& frameOfReference,
                                      const std::vector<Vec>& points, const Vec* normal,
                                      double thickness) const {
    std::vector<const THeader*> out;
    const auto it = byFrameOfReference_.find(frameOfReference);
    if (it == byFrameOfReference_.end() || points.empty()) return out;
    for (const THeader* h : it->second) {
      if (normal && std::abs(Dot(*normal, h->normal)) < 0.99) continue;  // another direction
      const double tolerance = HalfSlice(thickness, *h);
      bool on = true;
      for (const Vec& p : points) {
        const Vec d{p[0] - h->position[0], p[1] - h->position[1], p[2] - h->position[2]};
        if (!(std::abs(Dot(h->normal, d)) <= tolerance)) {
          on = false;
          break;
        }
      }
      if (on) out.push_back(h);
    }
    return out;
  }

 private:
  std::map<std::string, const THeader*> byUid_;
  std::map<std::string, std::vector<const THeader*>> byFrameOfReference_;
};

// Adds a reference (merging the frames of one already there for the same instance).
void AddReference(std::vector<TObjectReference>& refs, std::map<std::string, size_t>& at,
                  const std::string& uid, const std::string& sopClass,
                  const std::vector<int32_t>& frames, bool wholeImage) {
  auto [it, added] = at.try_emplace(uid, refs.size());
  if (added) {
    TObjectReference r;
    r.sopInstanceUid = uid;
    r.sopClassUid = sopClass;
    refs.push_back(std::move(r));
  }
  TObjectReference& r = refs[it->second];
  if (r.sopClassUid.empty()) r.sopClassUid = sopClass;
  if (wholeImage) r.frames.push_back(0);  // kept apart below: the whole image wins
  r.frames.insert(r.frames.end(), frames.begin(), frames.end());
}

// Frames sorted and unique; a reference that also names the whole image
// (the 0 AddReference puts in) covers every frame.
void SettleFrames(std::vector<TObjectReference>& refs) {
  for (TObjectReference& r : refs) {
    std::sort(r.frames.begin(), r.frames.end());
    r.frames.erase(std::unique(r.frames.begin(), r.frames.end()), r.frames.end());
    if (!r.frames.empty() && r.frames.front() == 0) r.frames.clear();
  }
}

void PlaneReference(std::vector<TObjectReference>& refs, std::map<std::string, size_t>& at,
                    const THeader& image) {
  const size_t before = refs.size();
  AddReference(refs, at, image.sopInstanceUid, image.sopClassUid, {}, true);
  if (refs.size() > before) refs.back().by = "frame of reference";
}

void FromSegmentation(const TSegmentation& seg, const TResolver& resolver, TIndexedObject& o) {
  o.label = seg.contentLabel;
  o.description = seg.seriesDescription;
  o.frameOfReferenceUid = seg.frameOfReferenceUid;
  o.fractional = seg.fractional;
  for (const TSegment& s : seg.segments)
    o.parts.push_back({s.number, s.label, s.rgb, s.recommendedColour, 0});
  std::map<std::string, size_t> at;
  Vec normal{};
  const bool hasNormal = seg.hasOrientation && Normal(seg.orientation, normal);
  size_t unplaced = 0;
  for (const TSegmentFrame& f : seg.frames) {
    if (!f.sourceSopUid.empty()) {
      std::vector<int32_t> frames;
      if (f.sourceFrame > 0) frames.push_back(f.sourceFrame);
      AddReference(o.references, at, f.sourceSopUid, {}, frames, f.sourceFrame <= 0);
      continue;
    }
    // No source named: the image whose plane the frame lies in.
    const std::vector<const THeader*> found =
        f.hasPosition ? resolver.OnPlane(seg.frameOfReferenceUid, {f.position},
                                         hasNormal ? &normal : nullptr, seg.sliceThickness)
                      : std::vector<const THeader*>{};
    if (found.empty()) ++unplaced;
    for (const THeader* h : found) PlaneReference(o.references, at, *h);
  }
  if (unplaced > 0)
    o.skipped.push_back(std::to_string(unplaced) +
                        " frame(s) name no source image and lie on no image's plane");
}

void FromStructureSet(const TStructureSet& set, const TResolver& resolver, TIndexedObject& o) {
  o.label = set.label;
  std::map<std::string, size_t> at;
  size_t unplaced = 0;
  for (const TRoi& roi : set.rois) {
    o.parts.push_back({roi.number, roi.name, roi.rgb, roi.displayColour, roi.contours.size()});
    if (o.frameOfReferenceUid.empty()) o.frameOfReferenceUid = roi.frameOfReferenceUid;
    for (const TRoiContour& c : roi.contours) {
      if (!c.imageSopUid.empty()) {
        AddReference(o.references, at, c.imageSopUid, {}, {}, true);
        continue;
      }
      const std::vector<const THeader*> found =
          resolver.OnPlane(roi.frameOfReferenceUid, c.points, nullptr, 0);
      if (found.empty()) ++unplaced;
      for (const THeader* h : found) PlaneReference(o.references, at, *h);
    }
  }
  if (unplaced > 0)
    o.skipped.push_back(std::to_string(unplaced) +
                        " contour(s) name no image and lie on no image's plane");
}

void FromPresentationState(const TPresentationState& ps, TIndexedObject& o) {
  o.label = ps.label;
  o.description = ps.description;
  o.creationDate = ps.creationDate;
  o.creationTime = ps.creationTime;
  std::map<std::string, size_t> at;
  for (const TSeriesRef& s : ps.series)
    for (const TImageRef& r : s.images)
      AddReference(o.references, at, r.sopInstanceUid, r.sopClassUid, r.frames, r.frames.empty());
}

void FromKeyObjects(const TKeyObjectSelection& kos, TIndexedObject& o) {
  o.title = kos.title.meaning;
  if (!kos.title.value.empty()) o.titleCode = kos.title.value + "^" + kos.title.scheme;
  o.description = kos.description;
  std::map<std::string, size_t> at;
  for (const TKeyImage& k : kos.images)
    AddReference(o.references, at, k.image.sopInstanceUid, k.image.sopClassUid, k.image.frames,
                 k.image.frames.empty());
}

void ReadObject(TIndexedObject& o, const TResolver& resolver) {
  std::string why;
  bool read = true;
  try {
    switch (o.kind) {
      case TObjectKind::Segmentation: {
        TSegmentation seg;
        if ((read = ReadSegmentation(o.path, seg, why))) {
          FromSegmentation(seg, resolver, o);
          o.skipped.insert(o.skipped.begin(), seg.skipped.begin(), seg.skipped.end());
        }
        break;
      }
      case TObjectKind::StructureSet: {
        TStructureSet set;
        if ((read = ReadStructureSet(o.path, set, why))) {
          FromStructureSet(set, resolver, o);
          o.skipped.insert(o.skipped.begin(), set.skipped.begin(), set.skipped.end());
        }
        break;
      }
      case TObjectKind::PresentationState: {
        TPresentationState ps;
        if ((read = ReadPresentationState(o.path, ps, why))) {
          FromPresentationState(ps, o);
          o.skipped = ps.skipped;
        }
        break;
      }
      case TObjectKind::KeyObjects: {
        TKeyObjectSelection kos;
        if ((read = ReadKeyObjectSelection(o.path, kos, why))) {
          FromKeyObjects(kos, o);
          o.skipped = kos.skipped;
        }
        break;
      }
      case TObjectKind::Other:
        return;  // listed, not read
    }
  } catch (const std::bad_alloc&) {
    read = false;
    why = o.path + ": not enough memory to read it";
  }
  if (!read) {
    // The readers name the file first; the listing names it already.
    if (why.rfind(o.path + ": ", 0) == 0) why.erase(0, o.path.size() + 2);
    o.refused = why.empty() ? "its reader refuses it" : why;
    o.references.clear();
    o.parts.clear();
    return;
  }
  SettleFrames(o.references);
  size_t resolved = 0;
  for (TObjectReference& r : o.references) {
    if (r.imagePath.empty()) resolver.Resolve(r);
    if (!r.imagePath.empty()) ++resolved;
  }
  if (resolved == 0) o.problem = kNothingLoaded;
}

}  // namespace

const char* ObjectKindName(TObjectKind kind) {
  switch (kind) {
    case TObjectKind::Segmentation:
      return "segmentation";
    case TObjectKind::StructureSet:
      return "rt-structure-set";
    case TObjectKind::PresentationState:
      return "presentation-state";
    case TObjectKind::KeyObjects:
      return "key-object-selection";
    case TObjectKind::Other:
      break;
  }
  return "other";
}

std::string HexColour(const std::array<uint8_t, 3>& rgb) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return text;
}

TObjectIndex IndexDerivedObjects(const std::vector<std::string>& files) {
  TObjectIndex index;
  index.files = files.size();
  std::vector<THeader> headers;             // the instances references resolve to
  std::map<std::string, std::string> seen;  // SOP Instance UID -> first file
  for (const std::string& path : files) {
    THeader h;
    std::string why;
    if (!ReadHeader(path, h, why)) {
      index.unreadable.push_back({path, why});
      continue;
    }
    const auto [first, added] = seen.emplace(h.sopInstanceUid, path);
    if (!added) {
      index.duplicates.push_back({path, "the same instance as " + first->second});
      continue;
    }
    const TObjectKind kind = KindOfClass(h.sopClassUid);
    if (kind != TObjectKind::Other || IsOtherReport(h.sopClassUid)) {
      TIndexedObject o;
      o.path = path;
      o.sopClassUid = h.sopClassUid;
      o.sopInstanceUid = h.sopInstanceUid;
      o.kind = kind;
      index.objects.push_back(std::move(o));
    } else {
      headers.push_back(std::move(h));
    }
  }
  index.images = headers.size();
  const TResolver resolver(headers);
  for (TIndexedObject& o : index.objects) ReadObject(o, resolver);
  return index;
}
