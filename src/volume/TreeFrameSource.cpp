#include "volume/TreeFrameSource.h"

#include <mutex>

#include "dicom/StudyTree.h"
#include "pixels/FrameGeometry.h"

namespace {

TSeries* SeriesAt(int p, int st, int se) {
  const auto in = [](int i, size_t n) { return i >= 0 && size_t(i) < n; };
  if (!in(p, gPatients.size())) return nullptr;
  TPatient& patient = gPatients[size_t(p)];
  if (!in(st, patient.studies.size())) return nullptr;
  TStudy& study = patient.studies[size_t(st)];
  if (!in(se, study.serieses.size())) return nullptr;
  return &study.serieses[size_t(se)];
}

}  // namespace

TTreeFrameSource::TTreeFrameSource(int patient, int study, int series)
    : FPatient(patient), FStudy(study), FSeries(series) {
  std::lock_guard lock(gPatientsMutex);
  if (TSeries* s = SeriesAt(patient, study, series))
    for (size_t i = 0; i < s->images.size(); ++i) FImageOf.emplace(s->images[i].imagePath, i);
}

bool TTreeFrameSource::UseFrame(const TVolumeFile& file, int frame,
                                const std::function<void(const TFrameView&)>& use,
                                std::string& reason) {
  const auto it = FImageOf.find(file.path);
  if (it != FImageOf.end()) {
    std::lock_guard lock(gPatientsMutex);
    // The tree may have been cleared or refilled since: the path must match.
    TSeries* s = SeriesAt(FPatient, FStudy, FSeries);
    const TImg* im = s && it->second < s->images.size() ? &s->images[it->second] : nullptr;
    const size_t k = size_t(frame - 1);
    // A cached frame with a lookup table applied no longer holds stored values.
    if (im && im->imagePath == file.path && frame >= 1 && k < im->Cache.IsCached.size() &&
        im->Cache.IsCached[k] &&
        (im->Cache.DICOM.Lut.LutSize <= 0 || im->Cache.DICOM.Lut.Lutdata.empty())) {
      const TCache& c = im->Cache;
      const size_t n = size_t(std::max<int64_t>(ComputeFrameGeometry(file.header).pixelCount, 0));
      TFrameView v;
      if (k < c.gBuff16.size() && !c.gBuff16[k].empty()) {
        v.words = c.gBuff16[k].data();
        v.count = c.gBuff16[k].size();
      } else if (k < c.gBuff8.size() && !c.gBuff8[k].empty()) {
        v.bytes = c.gBuff8[k].data();
        v.count = c.gBuff8[k].size();
      }
      // Copied under the tree's lock, so the cache cannot drop it meanwhile.
      if (n > 0 && v.count >= n) {
        use(v);
        ++FCached;
        return true;
      }
    }
  }
  return FDecoder.UseFrame(file, frame, use, reason);
}
