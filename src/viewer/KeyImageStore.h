// The images (and frames) the reader marked as key images during the run,
// kept apart from the cells as the annotations are. A cell showing a marked
// frame draws the mark in its corner.
//
// UI thread only. Changed() goes to every cell, which repaints.
#pragma once

#include <QObject>
#include <QRect>
#include <set>
#include <string>
#include <vector>

#include "viewer/AnnotationStore.h"

class QPainter;

class TKeyImageStore : public QObject {
  Q_OBJECT
 public:
  static TKeyImageStore& Instance();

  bool IsMarked(const TAnnotationKey& key) const { return FMarked.count(key) != 0; }
  // Marks or unmarks one frame; returns whether it is marked now.
  bool Toggle(const TAnnotationKey& key);
  void Set(const TAnnotationKey& key, bool marked);
  // Every mark, by path then frame.
  std::vector<TAnnotationKey> Marked() const { return {FMarked.begin(), FMarked.end()}; }
  // Forgets every mark (the study tree was cleared).
  void Reset();

 signals:
  void Changed();

 private:
  std::set<TAnnotationKey> FMarked;
};

class TadvancedImage;

// Marks the frames of the image the cell shows that the key object selection
// at path names; false with why when it names none of them.
bool MarkKeyImagesForCell(TadvancedImage& cell, const std::string& path, std::string& why);

// The key image mark: a small star in the top right corner of area.
void DrawKeyImageMark(QPainter& p, const QRect& area);
