// The segmentations and RT structure sets known to the run, with what the
// user chose to see of them (visibility and opacity per segment or ROI).
// Every cell showing an image an object references draws it.
//
// UI thread only. Changed() goes to every cell, which repaints.
#pragma once

#include <QObject>
#include <string>

class TadvancedImage;

class TDerivedObjectStore : public QObject {
  Q_OBJECT
 public:
  static TDerivedObjectStore& Instance();

  // Reads a segmentation or structure set into the store; false with why
  // when it is neither or cannot be read, or when nothing in it refers to
  // the image the cell shows.
  bool AttachToCell(TadvancedImage& cell, const std::string& path, std::string& why);

 signals:
  void Changed();
};
