// The image control's reading aids: its side of the annotation store (which
// frame's list is on display, writing edits back, taking up edits made
// elsewhere), and telling the main window what window and zoom it shows.
#include "viewer/AdvancedImage.h"

void TadvancedImage::SyncAnnotationKey() {
  const TAnnotationKey key{filepath, CurrentFrame};
  if (key == FAnnKey) return;
  // A list filled in directly (the command-line tool) is kept as well.
  StoreAnnotations();
  FAnnKey = key;
  FEditPending = false;
  Shapes = TAnnotationStore::Instance().Get(key);
  SelectedShapeIndex = -1;
  AngleSecondLine = false;
  FNewShape = false;
}

void TadvancedImage::StoreAnnotations() {
  std::lock_guard lock(FState);  // a render on a pool thread writes the areas
  if (FAnnKey.empty()) return;
  TAnnotationStore::Instance().Put(FAnnKey, Shapes, this);
}

void TadvancedImage::BeginAnnotationEdit() {
  FEditBefore = Shapes;
  FEditPending = true;
}

void TadvancedImage::EndAnnotationEdit() {
  StoreAnnotations();
  if (!FEditPending) return;
  FEditPending = false;
  // A press that changed nothing (a click on a shape, a cancelled label)
  // leaves the undo of the last real edit in place.
  if (Shapes != FEditBefore) TAnnotationStore::Instance().Remember(FAnnKey, std::move(FEditBefore));
  FEditBefore.clear();
}

void TadvancedImage::OnAnnotationsChanged(const QString& path, int frame, const QObject* origin) {
  if (origin == this || FAnnKey.empty()) return;
  if (!path.isEmpty() && (frame != FAnnKey.frame || path.toStdString() != FAnnKey.path)) return;
  {
    std::lock_guard lock(FState);
    Shapes = TAnnotationStore::Instance().Get(FAnnKey);
    if (SelectedShapeIndex >= int(Shapes.size())) SelectedShapeIndex = -1;
    // A shape being drawn or swung here may be gone.
    FNewShape = false;
    if (AngleSecondLine && (Shapes.empty() || Shapes.back().shapeType != STAngle))
      AngleSecondLine = false;
    FEditPending = false;
  }
  RenderViewer();
}

void TadvancedImage::ClearAnnotation() {
  std::lock_guard lock(FState);
  if (Shapes.empty()) return;
  BeginAnnotationEdit();
  Shapes.clear();
  SelectedShapeIndex = -1;
  AngleSecondLine = false;
  FNewShape = false;
  EndAnnotationEdit();
  RenderViewer();
}

bool TadvancedImage::DeleteSelectedShape() {
  std::lock_guard lock(FState);
  if (SelectedShapeIndex < 0 || SelectedShapeIndex >= int(Shapes.size())) return false;
  BeginAnnotationEdit();
  DeleteShape(SelectedShapeIndex);
  SelectedShapeIndex = -1;
  if (AngleSecondLine && (Shapes.empty() || Shapes.back().shapeType != STAngle))
    AngleSecondLine = false;
  EndAnnotationEdit();
  RenderViewer();
  return true;
}

void TadvancedImage::NoteViewShown() {
  ShownView now;
  {
    std::lock_guard lock(FState);
    now.hasImage = HasImage && !bmp.isNull();
    now.active = _active;
    now.byteWindow = FByteWindow;
    now.ww = windowWidth;
    now.wl = windowLevel;
    now.zoom = zoomFactor;
    now.path = filepath;
    if (now == FReportedView) return;
    FReportedView = now;
  }
  emit ViewShown(this);
}

QString TadvancedImage::FrameLabel() const {
  std::lock_guard lock(FState);
  if (frameCount <= 1) return {};
  return QStringLiteral("Frame : %1 / %2").arg(CurrentFrame).arg(frameCount);
}
