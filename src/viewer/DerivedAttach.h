// Derived objects put on the images they belong to, by file: what
// `render --with` and a drop of such a file on a cell use. Segmentations and
// structure sets join the run's derived object store (every cell showing an
// image they reference draws them); a presentation state is applied to the
// cell; a key object selection marks the images it names.
#pragma once

#include <string>

class TadvancedImage;

enum class TDerivedKind { None, Segmentation, StructureSet, PresentationState, KeyObjects };

TDerivedKind DerivedKindOfClass(const std::string& sopClassUid);

enum class TAttachOutcome {
  Applied,     // drawn on (or applied to, or marking) the cell's image; why holds notes, if any
  NotHere,     // read, but nothing in it refers to the cell's image; why says so
  Unreadable,  // none of the four kinds, or a file its reader refuses; why says so
};

TAttachOutcome AttachDerivedObject(TadvancedImage& cell, const std::string& path, std::string& why);
