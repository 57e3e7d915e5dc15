// The filing steps the folder load uses in bulk (study library only).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <unordered_map>

#include "dicom/define_types.h"

namespace study::detail {

// Fills an image record from the header already in its cache.
void FillImage(TImg& image);

struct TSeriesIndex {
  size_t patient, study, series;
};

// The node a header belongs to at each level, appended when missing.
TSeriesIndex Locate(TPatientArr& patients, const DICOMdata& h);
TSeries& SeriesOf(TPatientArr& patients, const TSeriesIndex& at);

// The matching node of another tree, if any (the same rules as filing).
TPatient* FindPatient(TPatientArr& patients, const TPatient& p);
TStudy* FindStudy(TStudyArr& studies, const TStudy& st);
TSeries* FindSeries(TSeriesArr& series, const TSeries& se);

// Locate for a tree that only it fills: the same nodes, found by one hash
// lookup instead of a walk over every series filed so far (a folder of
// thousands of series would otherwise cost a walk per file). Files come
// series by series, so the last series is tried first. A key holds every
// text the rules look at, so it always names the node Locate would find
// (nodes are only appended, and Locate takes the first that matches).
class TLocator {
 public:
  explicit TLocator(TPatientArr& patients) : patients_(patients) {}
  TSeriesIndex operator()(const DICOMdata& h);

 private:
  static constexpr size_t kParts = 7;
  bool Same(const DICOMdata& h) const;
  TPatientArr& patients_;
  std::unordered_map<std::string, TSeriesIndex> index_;
  std::string key_;
  std::array<TSharedText, kParts> lastKey_;  // shared: compared by identity
  TSeriesIndex last_{};
  bool hasLast_ = false;
};

}  // namespace study::detail
