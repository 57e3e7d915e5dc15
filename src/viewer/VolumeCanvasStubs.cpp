#include "viewer/VolumeCanvas.h"

// Placeholders until the canvases are written.
TVolumeCanvas* MakeCpuVolumeCanvas(QWidget*) {
  return nullptr;
}
