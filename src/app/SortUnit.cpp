#include "app/SortUnit.h"

#include <mutex>
#include <utility>

#include "dicom/StudyTree.h"

namespace {

// Hoare-style quicksort on whole records with the middle element as pivot.
// Recursion goes into the smaller part and a loop handles the larger, so the
// stack depth stays logarithmic whatever the input. Not stable.
// The pivot is a copy of its key only, which is all the comparison looks at.
template <typename T, typename Key>
void QuickSort(std::vector<T>& a, int L, int R, Key key) {
  while (L < R) {
    const int pivot = key(a[L + (R - L) / 2]);
    int i = L;
    int j = R;
    do {
      while (key(a[i]) < pivot) ++i;
      while (key(a[j]) > pivot) --j;
      if (i <= j) {
        if (i != j) std::swap(a[i], a[j]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - L < R - i) {
      if (L < j) QuickSort(a, L, j, key);
      L = i;
    } else {
      if (i < R) QuickSort(a, i, R, key);
      R = j;
    }
  }
}

// Runs the quicksort on (key, index) pairs and then moves every record once
// into its place: the order is the one the sort on whole records gives, but
// a header-carrying image record moves once instead of at every swap.
template <typename T, typename Key>
void SortArray(std::vector<T>& a, Key key) {
  if (a.size() < 2) return;
  std::vector<std::pair<int, size_t>> order(a.size());
  for (size_t k = 0; k < a.size(); ++k) order[k] = {key(a[k]), k};
  QuickSort(order, 0, static_cast<int>(order.size()) - 1,
            [](const std::pair<int, size_t>& e) { return e.first; });
  bool unchanged = true;
  for (size_t k = 0; k < order.size() && unchanged; ++k) unchanged = order[k].second == k;
  if (unchanged) return;
  std::vector<T> sorted;
  sorted.reserve(a.size());
  for (const auto& e : order) sorted.push_back(std::move(a[e.second]));
  a = std::move(sorted);
}

}  // namespace

void TSortHandler::SortSeries(TSeriesArr& seriesArr) {
  SortArray(seriesArr, [](const TSeries& s) { return s.seriesNumber; });
}

void TSortHandler::SortImages(TImgArr& imagesArr) {
  SortArray(imagesArr, [](const TImg& img) { return img.instanceNumber; });
}

void SortAll(TPatientArr& patients) {
  for (auto& patient : patients)
    for (auto& study : patient.studies) {
      TSortHandler::SortSeries(study.serieses);
      for (auto& series : study.serieses) TSortHandler::SortImages(series.images);
    }
}

void SortAll() {
  std::lock_guard lock(gPatientsMutex);
  SortAll(gPatients);
}
