#include "viewer/ViewerGlobals.h"

TSettings& gSettings() {
  static TSettings settings;
  return settings;
}

std::atomic<bool> gProcessAllViewers{true};
std::atomic<bool> gRestrictedLoad{false};
std::atomic<bool> gForceRefill{false};
std::atomic<bool> gShowReferenceLines{true};
std::atomic<bool> gLockZoom{true};
std::atomic<bool> gLockWwWl{true};
std::atomic<bool> FrameRateSetByUser{false};
std::atomic<bool> gLoadingInProgress{false};
std::atomic<bool> gAllViewersMouseDown{false};
std::atomic<bool> gThumbnailDragInProgress{false};
