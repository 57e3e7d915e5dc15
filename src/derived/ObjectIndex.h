// Which derived objects (segmentations, structure sets, presentation states,
// key object selections) of a set of files refer to which images among them:
// each object read by its own reader, each of its references resolved to the
// file holding that instance, or the reason it is not. What
// `tavrolen-dicom objects` lists; plain data, no Qt.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

enum class TObjectKind { Segmentation, StructureSet, PresentationState, KeyObjects, Other };

// "segmentation", "rt-structure-set", "presentation-state", "key-object-selection", "other".
const char* ObjectKindName(TObjectKind kind);

inline constexpr const char* kNothingLoaded = "refers to nothing loaded";

struct TObjectReference {
  std::string sopInstanceUid;
  std::string sopClassUid;      // as the object names it; may be empty
  std::vector<int32_t> frames;  // 1-based, ascending; empty: the whole image
  // How the object names it: "instance", or "frame of reference" when it
  // names no instance and the image shares its frame of reference and plane.
  std::string by = "instance";
  std::string imagePath;  // the file found; empty when none
  std::string problem;    // why it is not resolved, or what is wrong with it
};

// A segment or ROI: number, name and display colour.
struct TObjectPart {
  int number = 0;
  std::string name;
  std::array<uint8_t, 3> rgb{};
  bool recommended = false;  // the colour is the object's own, not the palette's
  size_t contours = 0;       // ROIs: closed planar contours and others alike
};

struct TIndexedObject {
  std::string path, sopClassUid, sopInstanceUid;
  TObjectKind kind = TObjectKind::Other;
  // Empty when its reader took it; else the reader's reason (and nothing
  // below is filled).
  std::string refused;
  std::string label;                       // content label, structure set label, presentation label
  std::string description;                 // series or content description, the key objects' text
  std::string title, titleCode;            // key objects: code meaning, and "value^scheme"
  std::string creationDate, creationTime;  // presentation states
  std::string frameOfReferenceUid;
  bool fractional = false;         // segmentations
  std::vector<TObjectPart> parts;  // segments or ROIs
  std::vector<TObjectReference> references;
  std::vector<std::string> skipped;  // what its reader left out, and why
  // kNothingLoaded when no reference resolves (or it names none).
  std::string problem;
};

struct TFileProblem {
  std::string path, reason;
};

struct TObjectIndex {
  size_t files = 0;                     // files looked at
  size_t images = 0;                    // instances other than derived objects, by SOP Instance UID
  std::vector<TIndexedObject> objects;  // in file order
  std::vector<TFileProblem> unreadable;  // files that are no readable DICOM
  // Files holding an instance another file had first: not indexed again.
  std::vector<TFileProblem> duplicates;
};

// Reads every file's header, then every derived object with its reader, and
// resolves the references against the other files. Never throws; a file
// that cannot be read is listed in unreadable.
TObjectIndex IndexDerivedObjects(const std::vector<std::string>& files);

// "#rrggbb".
std::string HexColour(const std::array<uint8_t, 3>& rgb);
