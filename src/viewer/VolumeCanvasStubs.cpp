#include "viewer/VolumeCanvas.h"

// Placeholders until the canvases are written.
TVolumeCanvas* MakeCpuVolumeCanvas(QWidget*) {
  return nullptr;
}
TVolumeCanvas* MakeGlVolumeCanvas(QWidget*, QString& reason) {
  reason = "not built yet";
  return nullptr;
}
