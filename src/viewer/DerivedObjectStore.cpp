#include "viewer/DerivedObjectStore.h"

#include <cctype>

#include "dicom/SopClasses.h"
#include "viewer/AdvancedImage.h"

// Minimal stand-in (matching by SOP instance only) so the panel can be
// exercised before the real store lands; dropped when it does.

namespace {

std::string Key(const std::string& uid) {
  std::string k;
  for (char c : uid)
    if (std::isalnum(static_cast<unsigned char>(c))) k += c;
  return k;
}

template <class T>
void Put(std::vector<T>& list, T entry) {
  for (T& e : list)
    if (e.path == entry.path) {
      if (e.styles.size() == entry.styles.size()) entry.styles = e.styles;
      e = std::move(entry);
      return;
    }
  list.push_back(std::move(entry));
}

}  // namespace

TDerivedObjectStore& TDerivedObjectStore::Instance() {
  static TDerivedObjectStore* store = new TDerivedObjectStore;  // lives for the run
  return *store;
}

bool TDerivedObjectStore::Add(const std::string& path, std::string& why) {
  auto seg = std::make_shared<TSegmentation>();
  std::string segWhy;
  if (ReadSegmentation(path, *seg, segWhy)) {
    TStoredSegmentation e{path, seg, std::vector<TOverlayStyle>(seg->segments.size()), {}};
    Put(FSegmentations, std::move(e));
    emit Changed();
    return true;
  }
  auto set = std::make_shared<TStructureSet>();
  if (ReadStructureSet(path, *set, why)) {
    TStoredStructureSet e{path, set, std::vector<TOverlayStyle>(set->rois.size()), {}};
    Put(FStructureSets, std::move(e));
    emit Changed();
    return true;
  }
  why = segWhy + "; " + why;
  return false;
}

bool TDerivedObjectStore::AttachToCell(TadvancedImage& cell, const std::string& path,
                                       std::string& why) {
  if (!Add(path, why)) return false;
  if (SegmentationsFor(cell).empty() && StructureSetsFor(cell).empty()) {
    why = path + ": lies on no image the cell shows";
    return false;
  }
  return true;
}

std::vector<size_t> TDerivedObjectStore::SegmentationsFor(const TadvancedImage& cell) const {
  std::vector<size_t> out;
  const std::string uid = Key(cell.gDicomData.SOP_Instance_UID);
  for (size_t i = 0; i < FSegmentations.size(); ++i)
    for (const TSegmentFrame& f : FSegmentations[i].seg->frames)
      if (!uid.empty() && Key(f.sourceSopUid) == uid) {
        out.push_back(i);
        break;
      }
  return out;
}

std::vector<size_t> TDerivedObjectStore::StructureSetsFor(const TadvancedImage& cell) const {
  std::vector<size_t> out;
  const std::string uid = Key(cell.gDicomData.SOP_Instance_UID);
  for (size_t i = 0; i < FStructureSets.size(); ++i) {
    bool on = false;
    for (const TRoi& r : FStructureSets[i].set->rois)
      for (const TRoiContour& c : r.contours)
        on = on || (!uid.empty() && Key(c.imageSopUid) == uid);
    if (on) out.push_back(i);
  }
  return out;
}

void TDerivedObjectStore::SetVisible(const std::string& path, size_t item, bool visible) {
  for (auto& e : FSegmentations)
    if (e.path == path && item < e.styles.size()) e.styles[item].visible = visible;
  for (auto& e : FStructureSets)
    if (e.path == path && item < e.styles.size()) e.styles[item].visible = visible;
  emit Changed();
}

void TDerivedObjectStore::SetOpacity(const std::string& path, size_t item, double opacity) {
  for (auto& e : FSegmentations)
    if (e.path == path && item < e.styles.size()) e.styles[item].opacity = opacity;
  for (auto& e : FStructureSets)
    if (e.path == path && item < e.styles.size()) e.styles[item].opacity = opacity;
  emit Changed();
}

void TDerivedObjectStore::Reset() {
  FSegmentations.clear();
  FStructureSets.clear();
  emit Changed();
}
