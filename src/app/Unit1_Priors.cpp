// Priors: the patient's older studies, loaded or on an archive.
#include "app/Unit1.h"

void TForm1::CompareWithPrior() {}
