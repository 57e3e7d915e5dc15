// Segmentations and RT structure sets met by any load (folder, file,
// DICOMDIR, retrieve, receiver) go into the run's store of drawn objects
// rather than the study tree, and what each refers to is checked against
// the tree, so that one lying on no open image says so instead of vanishing.
//
// UI thread only.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "study/StudyLoad.h"

struct TSegmentation;
struct TStructureSet;

// Whether a load's reason for skipping a file says it is a segmentation or
// a structure set (the kinds the store draws).
bool IsDrawnObjectReason(const std::string& reason);

// What a load's drawn objects came to.
struct TDerivedIntake {
  std::set<std::string> taken;      // paths now in the store
  std::vector<TSkippedFile> notes;  // objects refused or lying on no open image, with why
};

// Puts the segmentations and structure sets among the load's skipped files
// into the store; the others stay skipped files.
TDerivedIntake TakeDerivedObjects(const TLoadResult& load);

// One arrived file (retrieve, receiver) of class sopClassUid: false when it
// is no segmentation or structure set; else true, with a note when it was
// refused. Its images may still be on their way: the panel says whether it
// lies on any.
bool TakeDerivedObject(const std::string& path, const std::string& sopClassUid, std::string& note);

// Whether an object's references meet the study tree: by referenced SOP
// instance, else by frame of reference.
struct TReferenceCheck {
  bool resolved = false;
  std::string imagePath;  // an open image it lies on (first by the object's order)
  std::string reason;     // unresolved: what it refers to, and that none of it is open
};
TReferenceCheck CheckReferences(const TSegmentation& seg);
TReferenceCheck CheckReferences(const TStructureSet& set);
// The same for an object of the store by its path (cached until the tree
// changes); unresolved with a reason for a path the store lacks.
TReferenceCheck CheckStoredObject(const std::string& path);

// The segmentations and structure sets of the store that lie on any of
// imagePaths (files of the tree): what goes with those images when they are
// sent or exported, as the series they used to be filed as did.
std::vector<std::string> DrawnObjectsOf(const std::vector<std::string>& imagePaths);

// Empties the store and what was learnt of the tree (the tree was cleared).
void ForgetDrawnObjects();
