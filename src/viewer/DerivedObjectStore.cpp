#include "viewer/DerivedObjectStore.h"

#include <algorithm>
#include <cmath>

#include "derived/OverlayPlanes.h"
#include "derived/PresentationState.h"
#include "viewer/AdvancedImage.h"
#include "viewer/DerivedLayer.h"

namespace {

template <class Entry>
Entry* ByPath(std::vector<Entry>& entries, const std::string& path) {
  for (Entry& e : entries)
    if (e.path == path) return &e;
  return nullptr;
}

bool Names(const std::vector<std::string>& refs, const std::string& sop) {
  return !sop.empty() && std::binary_search(refs.begin(), refs.end(), sop);
}

void SortUnique(std::vector<std::string>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

// Styles of a replaced entry carry over item by item.
std::vector<TOverlayStyle> Styles(size_t count, const std::vector<TOverlayStyle>* before) {
  std::vector<TOverlayStyle> styles(count);
  if (before)
    for (size_t i = 0; i < count && i < before->size(); ++i) styles[i] = (*before)[i];
  return styles;
}

}  // namespace

TDerivedObjectStore& TDerivedObjectStore::Instance() {
  static TDerivedObjectStore* store = new TDerivedObjectStore;  // lives for the run
  return *store;
}

bool TDerivedObjectStore::Add(const std::string& path, std::string& why) {
  const std::string sopClass = SopClassOfFile(path);
  if (sopClass == kSegmentationClass) {
    auto seg = std::make_shared<TSegmentation>();
    if (!ReadSegmentation(path, *seg, why)) return false;
    std::vector<std::string> refs;
    for (const TSegmentFrame& f : seg->frames)
      if (!f.sourceSopUid.empty()) refs.push_back(f.sourceSopUid);
    SortUnique(refs);
    TStoredSegmentation entry;
    entry.path = path;
    entry.notes = seg->skipped;
    TStoredSegmentation* old = ByPath(FSegmentations, path);
    entry.styles = Styles(seg->segments.size(), old ? &old->styles : nullptr);
    entry.seg = std::move(seg);
    if (old) {
      FSegmentationRefs[size_t(old - FSegmentations.data())] = std::move(refs);
      *old = std::move(entry);
    } else {
      FSegmentations.push_back(std::move(entry));
      FSegmentationRefs.push_back(std::move(refs));
    }
  } else if (sopClass == kStructureSetClass) {
    auto set = std::make_shared<TStructureSet>();
    if (!ReadStructureSet(path, *set, why)) return false;
    std::vector<std::string> refs;
    for (const TRoi& roi : set->rois)
      for (const TRoiContour& c : roi.contours)
        if (!c.imageSopUid.empty()) refs.push_back(c.imageSopUid);
    SortUnique(refs);
    TStoredStructureSet entry;
    entry.path = path;
    entry.notes = set->skipped;
    TStoredStructureSet* old = ByPath(FStructureSets, path);
    entry.styles = Styles(set->rois.size(), old ? &old->styles : nullptr);
    entry.set = std::move(set);
    if (old) {
      FStructureSetRefs[size_t(old - FStructureSets.data())] = std::move(refs);
      *old = std::move(entry);
    } else {
      FStructureSets.push_back(std::move(entry));
      FStructureSetRefs.push_back(std::move(refs));
    }
  } else {
    why = path + ": not a segmentation or structure set";
    return false;
  }
  ++FRevision;
  emit Changed();
  return true;
}

bool TDerivedObjectStore::AttachToCell(TadvancedImage& cell, const std::string& path,
                                       std::string& why) {
  why.clear();
  if (!Add(path, why)) return false;
  const TDisplayPlane plane = PlaneOfCell(cell);
  std::vector<std::string> notes;
  bool here = false;
  if (const TStoredSegmentation* s = ByPath(FSegmentations, path)) {
    TSegmentationOnPlane on = SegmentationOnPlane(*s->seg, plane);
    here = on.matchedFrames > 0;
    notes = std::move(on.notes);
  } else if (const TStoredStructureSet* s = ByPath(FStructureSets, path)) {
    TStructureSetOnPlane on = StructureSetOnPlane(*s->set, plane);
    here = !on.contours.empty();
    notes = std::move(on.notes);
  }
  AddNotes(path, notes);
  if (!here) {
    why = path + ": nothing in it lies on this image (" +
          (plane.hasGeometry ? "neither its UID nor its plane is referenced"
                             : "its UID is not referenced, and it has no position to match") +
          ")";
    return false;
  }
  // Drawn: what could not be drawn goes back as a note.
  for (const std::string& n : notes) why += (why.empty() ? path + ": " : "; ") + n;
  return true;
}

std::vector<size_t> TDerivedObjectStore::SegmentationsFor(const TadvancedImage& cell) const {
  std::vector<size_t> found;
  const std::string sop = UidOfHeaderText(cell.gDicomData.SOP_Instance_UID);
  const std::string frameOfReference =
      UidOfHeaderText(cell.gDicomData.Frame_Of_Reference_UID.str());
  for (size_t i = 0; i < FSegmentations.size(); ++i) {
    const TSegmentation& seg = *FSegmentations[i].seg;
    if (Names(FSegmentationRefs[i], sop) ||
        (!frameOfReference.empty() && seg.frameOfReferenceUid == frameOfReference))
      found.push_back(i);
  }
  return found;
}

std::vector<size_t> TDerivedObjectStore::StructureSetsFor(const TadvancedImage& cell) const {
  std::vector<size_t> found;
  const std::string sop = UidOfHeaderText(cell.gDicomData.SOP_Instance_UID);
  const std::string frameOfReference =
      UidOfHeaderText(cell.gDicomData.Frame_Of_Reference_UID.str());
  for (size_t i = 0; i < FStructureSets.size(); ++i) {
    bool here = Names(FStructureSetRefs[i], sop);
    for (const TRoi& roi : FStructureSets[i].set->rois)
      here = here || (!frameOfReference.empty() && roi.frameOfReferenceUid == frameOfReference);
    if (here) found.push_back(i);
  }
  return found;
}

void TDerivedObjectStore::SetVisible(const std::string& path, size_t item, bool visible) {
  std::vector<TOverlayStyle>* styles = nullptr;
  if (TStoredSegmentation* s = ByPath(FSegmentations, path)) styles = &s->styles;
  if (TStoredStructureSet* s = ByPath(FStructureSets, path)) styles = &s->styles;
  if (!styles || item >= styles->size()) return;
  (*styles)[item].visible = visible;
  emit Changed();
}

void TDerivedObjectStore::SetOpacity(const std::string& path, size_t item, double opacity) {
  std::vector<TOverlayStyle>* styles = nullptr;
  if (TStoredSegmentation* s = ByPath(FSegmentations, path)) styles = &s->styles;
  if (TStoredStructureSet* s = ByPath(FStructureSets, path)) styles = &s->styles;
  if (!styles || item >= styles->size() || !std::isfinite(opacity)) return;
  (*styles)[item].opacity = std::clamp(opacity, 0.0, 1.0);
  emit Changed();
}

void TDerivedObjectStore::AddNotes(const std::string& path, const std::vector<std::string>& notes) {
  std::vector<std::string>* kept = nullptr;
  if (TStoredSegmentation* s = ByPath(FSegmentations, path)) kept = &s->notes;
  if (TStoredStructureSet* s = ByPath(FStructureSets, path)) kept = &s->notes;
  if (!kept) return;
  for (const std::string& n : notes) {
    if (std::find(kept->begin(), kept->end(), n) != kept->end()) continue;
    kept->push_back(n);
    emit Noted(QString::fromStdString(path), QString::fromStdString(n));
  }
}

void TDerivedObjectStore::Reset() {
  FSegmentations.clear();
  FStructureSets.clear();
  FSegmentationRefs.clear();
  FStructureSetRefs.clear();
  ++FRevision;
  emit Changed();
}
