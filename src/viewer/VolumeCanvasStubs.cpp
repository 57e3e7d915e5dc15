#include "viewer/VolumeCanvas.h"

// Placeholder until the OpenGL canvas is written.
TVolumeCanvas* MakeGlVolumeCanvas(QWidget*, QString& reason) {
  reason = "not built yet";
  return nullptr;
}
