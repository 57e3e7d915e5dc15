// The segmentations and RT structure sets known to the run, with what the
// user chose to see of them (visibility and opacity per segment or ROI).
// Every cell showing an image an object references (or a plane of its frame
// of reference, MPR planes included) draws it.
//
// UI thread only. Changed() goes to every cell, which repaints, and to the
// panel that lists them.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "derived/Segmentation.h"
#include "derived/StructureSet.h"

class TadvancedImage;

// How one segment or ROI is drawn.
struct TOverlayStyle {
  bool visible = true;
  double opacity = 0.4;  // of the fill, 0..1; outlines are drawn opaque
};

struct TStoredSegmentation {
  std::string path;
  std::shared_ptr<const TSegmentation> seg;
  std::vector<TOverlayStyle> styles;  // one per seg->segments entry, same order
  // What could not be drawn (bad geometry, references to nothing loaded),
  // one sentence each; reported once, when first met.
  std::vector<std::string> notes;
};

struct TStoredStructureSet {
  std::string path;
  std::shared_ptr<const TStructureSet> set;
  std::vector<TOverlayStyle> styles;  // one per set->rois entry, same order
  std::vector<std::string> notes;
};

class TDerivedObjectStore : public QObject {
  Q_OBJECT
 public:
  static TDerivedObjectStore& Instance();

  // Reads a segmentation or structure set into the store (a path met again
  // replaces its entry and keeps its styles); false with why when it is
  // neither or its reader refuses it.
  bool Add(const std::string& path, std::string& why);
  // Add, then whether anything in it lies on the image the cell shows;
  // false with why when nothing does (the object stays in the store).
  bool AttachToCell(TadvancedImage& cell, const std::string& path, std::string& why);

  const std::vector<TStoredSegmentation>& Segmentations() const { return FSegmentations; }
  const std::vector<TStoredStructureSet>& StructureSets() const { return FStructureSets; }

  // Indexes (into Segmentations() / StructureSets()) of the objects that
  // refer to the image (or plane) the cell shows: by SOP instance, else by
  // frame of reference.
  std::vector<size_t> SegmentationsFor(const TadvancedImage& cell) const;
  std::vector<size_t> StructureSetsFor(const TadvancedImage& cell) const;

  // Styles by object path and segment/ROI index; unknown paths or indexes
  // are ignored. Each change emits Changed().
  void SetVisible(const std::string& path, size_t item, bool visible);
  void SetOpacity(const std::string& path, size_t item, double opacity);

  // Forgets every object (the study tree was cleared).
  void Reset();

  // Bumped whenever an object is added, replaced or forgotten (not on style
  // changes): cells keep what they mapped onto their plane until it moves.
  uint64_t Revision() const { return FRevision; }
  // Records what could not be drawn of the object at path; a note already
  // recorded is ignored, a new one is sent once through Noted.
  void AddNotes(const std::string& path, const std::vector<std::string>& notes);

 signals:
  void Changed();
  void Noted(const QString& path, const QString& note);

 private:
  std::vector<TStoredSegmentation> FSegmentations;
  std::vector<TStoredStructureSet> FStructureSets;
  // Per object, the SOP instances it names (for SegmentationsFor and
  // StructureSetsFor), parallel to the vectors above.
  std::vector<std::vector<std::string>> FSegmentationRefs, FStructureSetRefs;
  uint64_t FRevision = 0;
};
