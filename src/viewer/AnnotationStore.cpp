#include "viewer/AnnotationStore.h"

TAnnotationStore& TAnnotationStore::Instance() {
  static TAnnotationStore* store = new TAnnotationStore;  // lives for the run
  return *store;
}

TShapeArray TAnnotationStore::Get(const TAnnotationKey& key) const {
  const auto it = FShapes.find(key);
  return it == FShapes.end() ? TShapeArray{} : it->second;
}

void TAnnotationStore::Put(const TAnnotationKey& key, TShapeArray shapes, const QObject* origin) {
  if (key.empty()) return;
  const auto it = FShapes.find(key);
  if (it == FShapes.end() ? shapes.empty() : it->second == shapes) return;
  if (shapes.empty())
    FShapes.erase(it);
  else
    FShapes[key] = std::move(shapes);
  emit Changed(QString::fromStdString(key.path), key.frame, origin);
}

void TAnnotationStore::Remember(const TAnnotationKey& key, TShapeArray before) {
  if (key.empty()) return;
  FUndo.clear();
  FUndo.emplace(key, std::move(before));
}

bool TAnnotationStore::Undo() {
  if (FUndo.empty()) return false;
  // One level: the lists go back and the record is spent.
  std::map<TAnnotationKey, TShapeArray> undo;
  undo.swap(FUndo);
  for (auto& [key, shapes] : undo) Put(key, std::move(shapes));
  return true;
}

void TAnnotationStore::ClearAll() {
  if (FShapes.empty()) return;
  FUndo = std::move(FShapes);
  FShapes.clear();
  emit Changed(QString(), 0, nullptr);
}

void TAnnotationStore::Reset() {
  FUndo.clear();
  if (FShapes.empty()) return;
  FShapes.clear();
  emit Changed(QString(), 0, nullptr);
}

size_t TAnnotationStore::Count() const {
  size_t n = 0;
  for (const auto& entry : FShapes) n += entry.second.size();
  return n;
}
