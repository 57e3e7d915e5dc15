#include "viewer/DerivedObjectStore.h"

#include "viewer/AdvancedImage.h"

TDerivedObjectStore& TDerivedObjectStore::Instance() {
  static TDerivedObjectStore* store = new TDerivedObjectStore;  // lives for the run
  return *store;
}

bool TDerivedObjectStore::Add(const std::string& path, std::string& why) {
  why = path + ": segmentations and structure sets are not kept yet";
  return false;
}

bool TDerivedObjectStore::AttachToCell(TadvancedImage& cell, const std::string& path,
                                       std::string& why) {
  (void)cell;
  return Add(path, why);
}

std::vector<size_t> TDerivedObjectStore::SegmentationsFor(const TadvancedImage& cell) const {
  (void)cell;
  return {};
}

std::vector<size_t> TDerivedObjectStore::StructureSetsFor(const TadvancedImage& cell) const {
  (void)cell;
  return {};
}

void TDerivedObjectStore::SetVisible(const std::string& path, size_t item, bool visible) {
  (void)path, (void)item, (void)visible;
}

void TDerivedObjectStore::SetOpacity(const std::string& path, size_t item, double opacity) {
  (void)path, (void)item, (void)opacity;
}

void TDerivedObjectStore::Reset() {
  FSegmentations.clear();
  FStructureSets.clear();
  emit Changed();
}
