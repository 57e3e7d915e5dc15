// The images (and frames) marked as key images during the run, by the reader
// or by the key object selection documents met, kept apart from the cells as
// the annotations are. A cell showing a marked frame draws the mark in its
// corner with the titles of the documents that name it; "key images only"
// keeps the browser and the cells' stepping to marked images.
//
// UI thread only. Changed() goes to every cell, which repaints.
#pragma once

#include <QObject>
#include <QRect>
#include <QString>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "viewer/AnnotationStore.h"

class QPainter;

// A key object selection document: why the frames it names are key images.
struct TKeyDocument {
  std::string path;         // its file
  std::string title;        // the title's meaning, e.g. "For Teaching"
  std::string description;  // its text; may be empty
  bool operator==(const TKeyDocument&) const = default;
};

class TKeyImageStore : public QObject {
  Q_OBJECT
 public:
  static TKeyImageStore& Instance();

  bool IsMarked(const TAnnotationKey& key) const { return FMarked.count(key) != 0; }
  // Marks or unmarks one frame; returns whether it is marked now.
  bool Toggle(const TAnnotationKey& key);
  void Set(const TAnnotationKey& key, bool marked);
  bool AnyMarked() const { return !FMarked.empty(); }
  // Every mark, by path then frame.
  std::vector<TAnnotationKey> Marked() const { return {FMarked.begin(), FMarked.end()}; }
  // Forgets every mark and document (the study tree was cleared); the
  // filter stays as the user set it.
  void Reset();

  // Marks the frames a document names, with one Changed for them all, and
  // keeps the document for them. A document added again (the same file, its
  // images found later or the file rewritten) adds its frames to those it
  // had, and its title and description replace the old ones.
  void AddDocument(const TKeyDocument& doc, const std::vector<TAnnotationKey>& keys);
  // The documents naming a marked frame, in the order they came.
  std::vector<TKeyDocument> DocumentsOf(const TAnnotationKey& key) const;
  // What the cell writes beside the mark: each document's title and
  // description; empty for a frame only the reader marked.
  QString Caption(const TAnnotationKey& key) const;
  // The marked frames of the image at path, ascending.
  std::vector<int> MarkedFrames(const std::string& path) const;
  bool HasMarkedFrame(const std::string& path) const;

  // "Key images only": the browser shows only series holding key images and
  // the cells step only through them.
  bool KeyImagesOnly() const { return FOnly; }
  void SetKeyImagesOnly(bool on);

 signals:
  void Changed();
  void FilterChanged(bool keyImagesOnly);

 private:
  std::set<TAnnotationKey> FMarked;
  std::vector<TKeyDocument> FDocuments;
  std::map<TAnnotationKey, std::vector<size_t>> FDocumentsOf;  // indices into FDocuments
  bool FOnly = false;
};

class TadvancedImage;

// Marks the frames of the image the cell shows that the key object selection
// at path names (every frame where it names the image alone), keeping its
// title and description for them. False with why when it names none of
// them, or only frames other than the one shown (those stay marked).
bool MarkKeyImagesForCell(TadvancedImage& cell, const std::string& path, std::string& why);

// The key image mark: a small star in the top right corner of area, and the
// caption, when given, to its left.
void DrawKeyImageMark(QPainter& p, const QRect& area, const QString& caption = {});
