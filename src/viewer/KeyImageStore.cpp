#include "viewer/KeyImageStore.h"

#include <QPainter>
#include <QPolygonF>
#include <cmath>

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
  if (FMarked.empty()) return;
  FMarked.clear();
  emit Changed();
}

bool MarkKeyImagesForCell(TadvancedImage& cell, const std::string& path, std::string& why) {
  (void)cell;
  why = path + ": key object selections are not read here yet";
  return false;
}

void DrawKeyImageMark(QPainter& p, const QRect& area) {
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
  p.restore();
}
