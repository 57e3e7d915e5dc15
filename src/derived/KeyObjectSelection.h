// Key object selections as plain data: the images a reader marked, with the
// title that says why and an optional description.
#pragma once

#include <string>
#include <vector>

#include "derived/PresentationState.h"

struct TCode {
  std::string value, scheme, meaning;
  bool operator==(const TCode&) const = default;
};

// (113000, DCM, "Of Interest"): the title for images a reader marked.
TCode KeyObjectOfInterest();

struct TKeyImage {
  std::string studyInstanceUid, seriesInstanceUid;
  TImageRef image;  // frames empty: the whole image
};

struct TKeyObjectSelection {
  TCode title = KeyObjectOfInterest();
  std::string description;  // UTF-8, at most one text item
  std::vector<TKeyImage> images;
  // Written by WriteKeyObjectSelection, filled by ReadKeyObjectSelection.
  std::string sopInstanceUid, seriesInstanceUid, studyInstanceUid;
  std::vector<std::string> skipped;  // what a read left out, and why
};

inline constexpr const char* kKeyObjectSelectionClass = "1.2.840.10008.5.1.4.1.1.88.59";

// Writes a Key Object Selection Document of the study of `source` (every
// image must belong to it) to outPath through a temporary file, with new
// series and instance UIDs (set in kos).
bool WriteKeyObjectSelection(TKeyObjectSelection& kos, const TSourceInfo& source,
                             const std::string& outPath, std::string& why);

// Reads a key object selection. False (with why) when the file is none;
// references the reader cannot use are left out with a reason in skipped.
bool ReadKeyObjectSelection(const std::string& path, TKeyObjectSelection& kos, std::string& why);
