#include "study/SortUnit.h"

#include <utility>

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

// Moves every record once into the place the order gives it.
template <typename T>
void Permute(std::vector<T>& a, const std::vector<size_t>& order) {
  bool unchanged = true;
  for (size_t k = 0; k < order.size() && unchanged; ++k) unchanged = order[k] == k;
  if (unchanged) return;
  std::vector<T> sorted;
  sorted.reserve(a.size());
  for (size_t from : order) sorted.push_back(std::move(a[from]));
  a = std::move(sorted);
}

}  // namespace

std::vector<size_t> SortOrder(const std::vector<int>& keys) {
  // The quicksort runs on (key, index) pairs: the order is the one the sort
  // on whole records gives, but a header-carrying record then moves once
  // instead of at every swap.
  std::vector<std::pair<int, size_t>> pairs(keys.size());
  for (size_t k = 0; k < keys.size(); ++k) pairs[k] = {keys[k], k};
  if (pairs.size() > 1)
    QuickSort(pairs, 0, static_cast<int>(pairs.size()) - 1,
              [](const std::pair<int, size_t>& e) { return e.first; });
  std::vector<size_t> order(pairs.size());
  for (size_t k = 0; k < pairs.size(); ++k) order[k] = pairs[k].second;
  return order;
}

void TSortHandler::SortSeries(TSeriesArr& seriesArr) {
  std::vector<int> keys(seriesArr.size());
  for (size_t k = 0; k < keys.size(); ++k) keys[k] = seriesArr[k].seriesNumber;
  Permute(seriesArr, SortOrder(keys));
}

void TSortHandler::SortImages(TImgArr& imagesArr) {
  std::vector<int> keys(imagesArr.size());
  for (size_t k = 0; k < keys.size(); ++k) keys[k] = imagesArr[k].instanceNumber;
  Permute(imagesArr, SortOrder(keys));
}
