// Study facts built by hand, for choosing and laying out without files.
#pragma once

#include <string>

#include "hanging/HangingProtocol.h"

namespace hangtest {

struct TSeriesBuilder {
  hanging::TSeriesFacts f;
  TSeriesBuilder& Desc(std::string d) {
    f.description = std::move(d);
    return *this;
  }
  TSeriesBuilder& View(std::string v, std::string lat) {
    f.viewPosition = std::move(v);
    f.laterality = std::move(lat);
    return *this;
  }
  TSeriesBuilder& Body(std::string b) {
    f.bodyPart = std::move(b);
    return *this;
  }
  TSeriesBuilder& Orient(hanging::TOrientation o) {
    f.orientation = o;
    return *this;
  }
  TSeriesBuilder& Images(int n) {
    f.images = n;
    return *this;
  }
};

inline TSeriesBuilder Series(std::string modality) {
  TSeriesBuilder b;
  b.f.modality = std::move(modality);
  b.f.images = 1;
  return b;
}

// A study at `study` in patient 0; series are numbered and given UIDs in order.
inline hanging::TStudyFacts Study(int study, std::initializer_list<TSeriesBuilder> series) {
  hanging::TStudyFacts s;
  s.patient = 0;
  s.study = study;
  s.instanceUid = "1.2.3." + std::to_string(study);
  int i = 0;
  for (const TSeriesBuilder& b : series) {
    hanging::TSeriesFacts f = b.f;
    f.patient = 0;
    f.study = study;
    f.series = i;
    f.number = i + 1;
    f.instanceUid = s.instanceUid + "." + std::to_string(i + 1);
    s.images += f.images;
    s.series.push_back(f);
    ++i;
  }
  return s;
}

}  // namespace hangtest
