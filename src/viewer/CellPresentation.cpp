#include "viewer/CellPresentation.h"

#include "viewer/AdvancedImage.h"

bool ApplyPresentationStateFile(TadvancedImage& cell, const std::string& path, std::string& why) {
  (void)cell;
  why = path + ": presentation states are not applied yet";
  return false;
}
