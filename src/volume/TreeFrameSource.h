// Frames for a volume from the study tree's frame caches: a frame the cells
// have decoded already is copied from there, any other is decoded from its
// file (and left out of the tree, so building a volume does not fill it).
#pragma once

#include <atomic>
#include <string>
#include <unordered_map>

#include "volume/VolumeBuilder.h"

class TTreeFrameSource : public TFrameSource {
 public:
  // The series at (patient, study, series) of gPatients; read under its lock.
  TTreeFrameSource(int patient, int study, int series);
  bool UseFrame(const TVolumeFile& file, int frame,
                const std::function<void(const TFrameView&)>& use, std::string& reason) override;

  // Frames taken from the caches so far.
  int CachedFrames() const { return FCached; }

 private:
  int FPatient, FStudy, FSeries;
  std::unordered_map<std::string, size_t> FImageOf;  // path -> image index in the series
  std::atomic<int> FCached{0};
  TDecodingFrameSource FDecoder;
};
