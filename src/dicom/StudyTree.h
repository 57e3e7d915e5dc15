// The application's study tree, reachable from the viewer cells and the
// loaders alike. Filing from loader threads and every access from the user
// interface thread while a load runs take gPatientsMutex.
#pragma once

#include <mutex>

#include "dicom/define_types.h"

extern TPatientArr gPatients;
extern std::recursive_mutex gPatientsMutex;
