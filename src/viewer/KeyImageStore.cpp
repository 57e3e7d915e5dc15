#include "viewer/KeyImageStore.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPolygonF>
#include <algorithm>
#include <climits>
#include <cmath>

#include "derived/KeyObjectSelection.h"
#include "viewer/AdvancedImage.h"

TKeyImageStore& TKeyImageStore::Instance() {
  static TKeyImageStore* store = new TKeyImageStore;  // lives for the run
  return *store;
}

bool TKeyImageStore::Toggle(const TAnnotationKey& key) {
  const bool marked = !IsMarked(key);
  Set(key, marked);
  return marked;
}

void TKeyImageStore::Set(const TAnnotationKey& key, bool marked) {
  if (key.empty() || IsMarked(key) == marked) return;
  if (marked)
    FMarked.insert(key);
  else
    FMarked.erase(key);
  emit Changed();
}

void TKeyImageStore::Reset() {
  if (FMarked.empty() && FDocuments.empty()) return;
  FMarked.clear();
  FDocuments.clear();
  FDocumentsOf.clear();
  emit Changed();
}

void TKeyImageStore::AddDocument(const TKeyDocument& doc, const std::vector<TAnnotationKey>& keys) {
  size_t index = FDocuments.size();
  for (size_t i = 0; i < FDocuments.size(); ++i)
    if (FDocuments[i].path == doc.path) index = i;
  if (index == FDocuments.size())
    FDocuments.push_back(doc);
  else
    FDocuments[index] = doc;
  for (const TAnnotationKey& key : keys) {
    if (key.empty()) continue;
    FMarked.insert(key);
    std::vector<size_t>& docs = FDocumentsOf[key];
    if (std::find(docs.begin(), docs.end(), index) == docs.end()) docs.push_back(index);
  }
  emit Changed();
}

std::vector<TKeyDocument> TKeyImageStore::DocumentsOf(const TAnnotationKey& key) const {
  std::vector<TKeyDocument> out;
  const auto it = FDocumentsOf.find(key);
  if (it == FDocumentsOf.end() || !IsMarked(key)) return out;
  for (size_t i : it->second) out.push_back(FDocuments[i]);
  return out;
}

QString TKeyImageStore::Caption(const TAnnotationKey& key) const {
  QStringList parts;
  for (const TKeyDocument& d : DocumentsOf(key)) {
    QString text = QString::fromStdString(d.title).trimmed();
    const QString description = QString::fromStdString(d.description).simplified();
    if (!description.isEmpty())
      text = text.isEmpty() ? description : text + QStringLiteral(": ") + description;
    if (!text.isEmpty() && !parts.contains(text)) parts << text;
  }
  return parts.join(QStringLiteral("; "));
}

std::vector<int> TKeyImageStore::MarkedFrames(const std::string& path) const {
  std::vector<int> frames;
  for (auto it = FMarked.lower_bound({path, INT_MIN}); it != FMarked.end() && it->path == path;
       ++it)
    frames.push_back(it->frame);
  return frames;
}

bool TKeyImageStore::HasMarkedFrame(const std::string& path) const {
  const auto it = FMarked.lower_bound({path, INT_MIN});
  return it != FMarked.end() && it->path == path;
}

void TKeyImageStore::SetKeyImagesOnly(bool on) {
  if (FOnly == on) return;
  FOnly = on;
  emit FilterChanged(on);
}

bool MarkKeyImagesForCell(TadvancedImage& cell, const std::string& path, std::string& why) {
  TKeyObjectSelection kos;
  if (!ReadKeyObjectSelection(path, kos, why)) return false;
  const std::string shown =
      cell.AnnotationKey().empty() ? cell.CurrentOpenedPath : cell.AnnotationKey().path;
  if (!cell.HasImage || shown.empty()) {
    why = path + ": the cell shows no image";
    return false;
  }
  // The exact UID from the file: the header record keeps it as display text.
  TSourceInfo source;
  std::string unused;
  const std::string uid = ReadSourceInfo(cell.CurrentOpenedPath, source, unused)
                              ? source.sopInstanceUid
                              : cell.gDicomData.SOP_Instance_UID;
  const int frames = std::max(1, cell.frameCount);
  std::vector<TAnnotationKey> keys;
  for (const TKeyImage& k : kos.images) {
    if (uid.empty() || k.image.sopInstanceUid != uid) continue;
    if (k.image.frames.empty())
      for (int f = 1; f <= frames; ++f) keys.push_back({shown, f});
    for (int32_t f : k.image.frames)
      if (f >= 1 && f <= frames) keys.push_back({shown, int(f)});
  }
  if (keys.empty()) {
    why = path + ": names none of the frames of the image shown (" +
          std::to_string(kos.images.size()) + " image reference(s), none to " + uid + ")";
    return false;
  }
  TKeyImageStore::Instance().AddDocument({path, kos.title.meaning, kos.description}, keys);
  const int frame = cell.AnnotationKey().empty() ? cell.CurrentFrame : cell.AnnotationKey().frame;
  if (std::none_of(keys.begin(), keys.end(),
                   [frame](const TAnnotationKey& k) { return k.frame == frame; })) {
    why = path + ": names other frames of this image than frame " + std::to_string(frame) +
          " shown (they are marked)";
    return false;
  }
  return true;
}

void DrawKeyImageMark(QPainter& p, const QRect& area, const QString& caption) {
  // A five-pointed star, 16 pixels across, clear of the frame.
  const QPointF centre(area.right() - 14, area.top() + 14);
  QPolygonF star;
  for (int k = 0; k < 10; ++k) {
    const double r = k % 2 == 0 ? 8.0 : 3.5;
    const double angle = -M_PI / 2 + k * M_PI / 5;
    star << centre + QPointF(r * std::cos(angle), r * std::sin(angle));
  }
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(QColor(255, 210, 0));
  p.drawPolygon(star);
  if (!caption.isEmpty()) {
    // Left of the star, at most half the cell wide, with a dark edge so it
    // reads over any image.
    const QFontMetrics metrics(p.font());
    const int width = std::max(0, area.width() / 2);
    const QString text = metrics.elidedText(caption, Qt::ElideRight, width);
    const QRect box(int(centre.x()) - 12 - width, int(centre.y()) - metrics.height() / 2, width,
                    metrics.height());
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setPen(Qt::black);
    p.drawText(box.translated(1, 1), Qt::AlignRight | Qt::AlignVCenter, text);
    p.setPen(QColor(255, 210, 0));
    p.drawText(box, Qt::AlignRight | Qt::AlignVCenter, text);
  }
  p.restore();
}
