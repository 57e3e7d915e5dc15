// Display order of the study tree: series by series number and images by
// instance number, both numeric and ascending. Patients and studies keep the
// order in which they were filed.
#pragma once

#include "dicom/define_types.h"

class TSortHandler {
 public:
  static void SortSeries(TSeriesArr& seriesArr);
  static void SortImages(TImgArr& imagesArr);
};

// Sorts every study's series, then the images of each series, in place.
// Locks gPatientsMutex itself.
void SortAll();
// The same for any tree (no locking).
void SortAll(TPatientArr& patients);
