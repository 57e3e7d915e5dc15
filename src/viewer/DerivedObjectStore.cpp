#include "viewer/DerivedObjectStore.h"

#include "viewer/AdvancedImage.h"

TDerivedObjectStore& TDerivedObjectStore::Instance() {
  static TDerivedObjectStore* store = new TDerivedObjectStore;  // lives for the run
  return *store;
}

bool TDerivedObjectStore::AttachToCell(TadvancedImage& cell, const std::string& path,
                                       std::string& why) {
  (void)cell;
  why = path + ": segmentations and structure sets are not drawn yet";
  return false;
}
