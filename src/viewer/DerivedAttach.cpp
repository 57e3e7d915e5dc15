#include "viewer/DerivedAttach.h"

#include "derived/KeyObjectSelection.h"
#include "derived/PresentationState.h"
#include "derived/Segmentation.h"
#include "derived/StructureSet.h"
#include "viewer/AdvancedImage.h"
#include "viewer/CellPresentation.h"
#include "viewer/DerivedObjectStore.h"
#include "viewer/KeyImageStore.h"

TDerivedKind DerivedKindOfClass(const std::string& sopClassUid) {
  if (sopClassUid == kSegmentationClass) return TDerivedKind::Segmentation;
  if (sopClassUid == kStructureSetClass) return TDerivedKind::StructureSet;
  if (IsPresentationStateClass(sopClassUid)) return TDerivedKind::PresentationState;
  if (sopClassUid == kKeyObjectSelectionClass) return TDerivedKind::KeyObjects;
  return TDerivedKind::None;
}

namespace {

// Whether the object's own reader takes it: a refusal is the file's fault,
// not a question of which image it belongs to.
bool Readable(TDerivedKind kind, const std::string& path, std::string& why) {
  switch (kind) {
    case TDerivedKind::Segmentation: {
      TSegmentation seg;
      return ReadSegmentation(path, seg, why);
    }
    case TDerivedKind::StructureSet: {
      TStructureSet set;
      return ReadStructureSet(path, set, why);
    }
    case TDerivedKind::PresentationState: {
      TPresentationState ps;
      return ReadPresentationState(path, ps, why);
    }
    case TDerivedKind::KeyObjects: {
      TKeyObjectSelection kos;
      return ReadKeyObjectSelection(path, kos, why);
    }
    case TDerivedKind::None:
      break;
  }
  why = path + ": not a segmentation, structure set, presentation state or key object selection";
  return false;
}

}  // namespace

TAttachOutcome AttachDerivedObject(TadvancedImage& cell, const std::string& path,
                                   std::string& why) {
  why.clear();
  const TDerivedKind kind = DerivedKindOfClass(SopClassOfFile(path));
  if (!Readable(kind, path, why)) return TAttachOutcome::Unreadable;
  bool applied = false;
  switch (kind) {
    case TDerivedKind::Segmentation:
    case TDerivedKind::StructureSet:
      applied = TDerivedObjectStore::Instance().AttachToCell(cell, path, why);
      break;
    case TDerivedKind::PresentationState:
      applied = ApplyPresentationStateFile(cell, path, why);
      break;
    case TDerivedKind::KeyObjects:
      applied = MarkKeyImagesForCell(cell, path, why);
      break;
    case TDerivedKind::None:
      break;
  }
  return applied ? TAttachOutcome::Applied : TAttachOutcome::NotHere;
}
