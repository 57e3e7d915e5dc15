#include "app/SortUnit.h"

#include <mutex>
#include <utility>

#include "dicom/StudyTree.h"

namespace {

// Hoare-style quicksort on whole records with the middle element as pivot.
// Recursion goes into the smaller part and a loop handles the larger, so the
// stack depth stays logarithmic whatever the input. Not stable.
// Records are swapped (moved), never copied; the pivot is a copy of its key
// only, which is all the comparison looks at.
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

template <typename T, typename Key>
void SortArray(std::vector<T>& a, Key key) {
  if (a.size() > 1) QuickSort(a, 0, static_cast<int>(a.size()) - 1, key);
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
