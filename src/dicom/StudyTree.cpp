#include "dicom/StudyTree.h"

TPatientArr gPatients;
std::recursive_mutex gPatientsMutex;
