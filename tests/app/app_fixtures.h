// The loading fixtures of the study tests (study/loader_fixtures.h), with the
// window's loading flag reset too.
#pragma once

#include "study/loader_fixtures.h"
#include "viewer/ViewerGlobals.h"

namespace appfx {

using namespace loadfx;  // NOLINT: the fixtures under their old name

// Loading state back to a fresh start.
inline void ResetLoadingState() {
  loadfx::ResetLoadingState();
  gLoadingInProgress = false;
}

}  // namespace appfx
