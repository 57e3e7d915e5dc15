// The annotations of the run, kept apart from the cells and the frame cache:
// a list of shapes per image file and frame. A cell shows the list of the
// frame on display and writes every change back, so a measurement comes back
// whenever that frame is shown again, in any cell, however often the cache
// evicted its pixels. One level of undo covers the last add, move or delete
// (or clear), wherever it was made.
//
// UI thread only. Changed() is delivered directly to the cells showing the
// list, which take it up and repaint.
#pragma once

#include <QObject>
#include <QString>
#include <map>
#include <string>
#include <utility>

#include "viewer/ViewerTypes.h"

struct TAnnotationKey {
  std::string path;  // the image file, as the study tree names it
  int frame = 1;     // 1-based
  bool empty() const { return path.empty(); }
  auto operator<=>(const TAnnotationKey&) const = default;
};

class TAnnotationStore : public QObject {
  Q_OBJECT
 public:
  static TAnnotationStore& Instance();

  TShapeArray Get(const TAnnotationKey& key) const;
  // Replaces the list of key (an empty list erases it) and tells the cells,
  // origin being the one that made the change (it need not take it up).
  void Put(const TAnnotationKey& key, TShapeArray shapes, const QObject* origin = nullptr);

  // What key held before an edit: the one level of undo. Replaces the last.
  void Remember(const TAnnotationKey& key, TShapeArray before);
  bool CanUndo() const { return !FUndo.empty(); }
  // Puts the remembered lists back; false when there is nothing to undo.
  bool Undo();

  // Every list of every image; undoable.
  void ClearAll();
  // Forgets everything, undo included (the study tree was cleared).
  void Reset();
  // Shapes over all images and frames.
  size_t Count() const;

 signals:
  // The list of (path, frame) changed; an empty path: any list may have.
  void Changed(const QString& path, int frame, const QObject* origin);

 private:
  std::map<TAnnotationKey, TShapeArray> FShapes;
  std::map<TAnnotationKey, TShapeArray> FUndo;  // lists as they were before the last edit
};
