// Display order of the study tree: series by series number and images by
// instance number, both numeric and ascending. Patients and studies keep the
// order in which they were filed.
#pragma once

#include <cstddef>
#include <vector>

#include "dicom/define_types.h"

class TSortHandler {
 public:
  static void SortSeries(TSeriesArr& seriesArr);
  static void SortImages(TImgArr& imagesArr);
};

// The order in which the sort above puts records with these keys: entry k is
// the index of the record that goes to place k. Lets a caller that holds the
// records elsewhere move each of them once, straight into its place.
std::vector<size_t> SortOrder(const std::vector<int>& keys);
