// Series and enhanced multi-frame images of a known volume, written with the
// product's DICOM writer, for the volume and reformat tests.
#pragma once

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "dicom/DicomWriter.h"
#include "support/fixtures.h"
#include "volume/Vec3.h"

namespace volfix {

using dicomwriter::DicomWriter;

struct SeriesSpec {
  int columns = 6, rows = 5, slices = 7;
  std::array<double, 6> orientation{1, 0, 0, 0, 1, 0};
  Vec3 first{-10, -20, 30};
  Vec3 step{0, 0, 2.5};         // from one slice to the next, in the order written
  std::vector<Vec3> positions;  // when given: each slice's position instead
  double rowSpacing = 0.8, columnSpacing = 0.7;
  int bitsAllocated = 16;
  bool isSigned = true;
  bool explicitVR = true;
  double slope = 1, intercept = 0;
  std::string seriesUid = "1.2.826.0.1.3680043.8.498.2";
  std::string studyUid = "1.2.826.0.1.3680043.8.498.1";
  std::string frameOfReference;  // written when given

  Vec3 Position(int k) const {
    return positions.empty() ? first + step * double(k) : positions[size_t(k)];
  }
  int Slices() const { return positions.empty() ? slices : int(positions.size()); }
};

// The stored value of voxel (i, j) of slice k (k counts the slices in the
// order the series fixture lists them): spread over the whole range of the type.
inline int Value(const SeriesSpec& s, int i, int j, int k) {
  uint32_t h = uint32_t(i) * 73856093u ^ uint32_t(j) * 19349663u ^ uint32_t(k + 1) * 83492791u;
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  if (s.bitsAllocated == 8) return s.isSigned ? int(h % 256) - 128 : int(h % 256);
  return s.isSigned ? int(h % 65536) - 32768 : int(h % 65536);
}

inline std::string DS(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.10g", v + 0.0);
  return b;
}
inline std::string DS(std::initializer_list<double> vs) {
  std::string out;
  for (double v : vs) out += (out.empty() ? "" : "\\") + DS(v);
  return out;
}
inline std::string DS(const std::array<double, 6>& o) {
  return DS({o[0], o[1], o[2], o[3], o[4], o[5]});
}

inline void PixelsOf(const SeriesSpec& s, int k, std::vector<uint16_t>& words) {
  for (int j = 0; j < s.rows; ++j)
    for (int i = 0; i < s.columns; ++i) words.push_back(uint16_t(Value(s, i, j, k) & 0xFFFF));
}
inline void PixelsOf(const SeriesSpec& s, int k, std::vector<uint8_t>& bytes) {
  for (int j = 0; j < s.rows; ++j)
    for (int i = 0; i < s.columns; ++i) bytes.push_back(uint8_t(Value(s, i, j, k) & 0xFF));
}

// Elements up to (0028,1053) common to both kinds of file.
inline void ImageModule(DicomWriter& w, const SeriesSpec& s, const std::string& sopClass,
                        const std::string& sop, int instance, int frames) {
  w.Text(0x00080016, "UI", sopClass);
  w.Text(0x00080018, "UI", sop);
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00100010, "PN", "VOLUME^TEST");
  w.Text(0x00100020, "LO", "V1");
  w.Text(0x00180050, "DS", "9");  // a thickness that is not the spacing
  w.Text(0x0020000D, "UI", s.studyUid);
  w.Text(0x0020000E, "UI", s.seriesUid);
  w.Text(0x00200013, "IS", std::to_string(instance));
}

inline void PixelModule(DicomWriter& w, const SeriesSpec& s, int frames) {
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  if (frames > 0) w.Text(0x00280008, "IS", std::to_string(frames));
  w.US(0x00280010, {uint16_t(s.rows)});
  w.US(0x00280011, {uint16_t(s.columns)});
}

inline void BitsModule(DicomWriter& w, const SeriesSpec& s) {
  w.US(0x00280100, {uint16_t(s.bitsAllocated)});
  w.US(0x00280101, {uint16_t(s.bitsAllocated)});
  w.US(0x00280102, {uint16_t(s.bitsAllocated - 1)});
  w.US(0x00280103, {uint16_t(s.isSigned ? 1 : 0)});
}

inline fixtures::Bytes SliceFile(const SeriesSpec& s, int k, int instance) {
  DicomWriter w(s.explicitVR, true);
  ImageModule(w, s, "1.2.840.10008.5.1.4.1.1.2", s.seriesUid + "." + std::to_string(k + 1),
              instance, 0);
  w.Text(0x00200032, "DS", DS({s.Position(k).x, s.Position(k).y, s.Position(k).z}));
  w.Text(0x00200037, "DS", DS(s.orientation));
  if (!s.frameOfReference.empty()) w.Text(0x00200052, "UI", s.frameOfReference);
  PixelModule(w, s, 0);
  w.Text(0x00280030, "DS", DS({s.rowSpacing, s.columnSpacing}));
  BitsModule(w, s);
  w.Text(0x00281052, "DS", DS(s.intercept));
  w.Text(0x00281053, "DS", DS(s.slope));
  if (s.bitsAllocated == 8) {
    std::vector<uint8_t> px;
    PixelsOf(s, k, px);
    if (px.size() % 2) px.push_back(0);
    w.OB(0x7FE00010, px);
  } else {
    std::vector<uint16_t> px;
    PixelsOf(s, k, px);
    w.OW(0x7FE00010, px);
  }
  return fixtures::Part10(w, fixtures::NativeSyntax(s.explicitVR, true));
}

// Writes the slices as files named in a shuffled order with scrambled
// instance numbers (neither tells the order), into dir; returns the paths.
inline std::vector<std::string> WriteSeries(const std::string& dir, const SeriesSpec& s,
                                            unsigned seed = 7) {
  std::filesystem::create_directories(dir);
  std::vector<int> order(static_cast<size_t>(s.Slices()));
  std::iota(order.begin(), order.end(), 0);
  std::mt19937 rng(seed);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<std::string> paths;
  for (size_t n = 0; n < order.size(); ++n) {
    const int instance = int(rng() % 900) + 1;
    char name[32];
    std::snprintf(name, sizeof name, "IM%04zu", n);
    paths.push_back(fixtures::WriteFile(dir, name, SliceFile(s, order[n], instance)));
  }
  return paths;
}

struct EnhancedOptions {
  std::vector<int> frameOrder;        // slice of each frame; empty: 0, 1, 2, ...
  std::vector<int> temporalPosition;  // per frame; empty: none written
  bool undefinedLengths = false;
  bool orientationPerFrame = false;  // else shared
};

// The volume as one enhanced CT image: shared pixel measures, orientation
// (or per frame) and rescale, per-frame plane positions and frame content.
inline fixtures::Bytes EnhancedFile(const SeriesSpec& s, EnhancedOptions o = {}) {
  if (o.frameOrder.empty()) {
    o.frameOrder.resize(size_t(s.Slices()));
    std::iota(o.frameOrder.begin(), o.frameOrder.end(), 0);
  }
  const int frames = int(o.frameOrder.size());
  const bool u = o.undefinedLengths;
  DicomWriter w(s.explicitVR, true);
  ImageModule(w, s, "1.2.840.10008.5.1.4.1.1.2.1", s.seriesUid + ".1", 1, frames);
  PixelModule(w, s, frames);
  BitsModule(w, s);
  w.BeginSequence(0x52009229, u).BeginItem(u);
  w.BeginSequence(0x00289110, u).BeginItem(u);
  w.Text(0x00180050, "DS", "9");
  w.Text(0x00280030, "DS", DS({s.rowSpacing, s.columnSpacing}));
  w.EndItem().EndSequence();
  w.BeginSequence(0x00289145, u).BeginItem(u);
  w.Text(0x00281052, "DS", DS(s.intercept));
  w.Text(0x00281053, "DS", DS(s.slope));
  w.EndItem().EndSequence();
  if (!o.orientationPerFrame) {
    w.BeginSequence(0x00209116, u).BeginItem(u);
    w.Text(0x00200037, "DS", DS(s.orientation));
    w.EndItem().EndSequence();
  }
  w.EndItem().EndSequence();
  w.BeginSequence(0x52009230, u);
  for (int f = 0; f < frames; ++f) {
    const int k = o.frameOrder[size_t(f)];
    w.BeginItem(u);
    w.BeginSequence(0x00209111, u).BeginItem(u);
    w.UL(0x00209057, {uint32_t(k + 1)});
    if (!o.temporalPosition.empty()) w.UL(0x00209128, {uint32_t(o.temporalPosition[size_t(f)])});
    w.EndItem().EndSequence();
    w.BeginSequence(0x00209113, u).BeginItem(u);
    w.Text(0x00200032, "DS", DS({s.Position(k).x, s.Position(k).y, s.Position(k).z}));
    w.EndItem().EndSequence();
    if (o.orientationPerFrame) {
      w.BeginSequence(0x00209116, u).BeginItem(u);
      w.Text(0x00200037, "DS", DS(s.orientation));
      w.EndItem().EndSequence();
    }
    w.EndItem();
  }
  w.EndSequence();
  std::vector<uint16_t> words;
  std::vector<uint8_t> bytes;
  for (int f = 0; f < frames; ++f) {
    if (s.bitsAllocated == 8)
      PixelsOf(s, o.frameOrder[size_t(f)], bytes);
    else
      PixelsOf(s, o.frameOrder[size_t(f)], words);
  }
  if (s.bitsAllocated == 8) {
    if (bytes.size() % 2) bytes.push_back(0);
    w.OB(0x7FE00010, bytes);
  } else {
    w.OW(0x7FE00010, words);
  }
  return fixtures::Part10(w, fixtures::NativeSyntax(s.explicitVR, true));
}

}  // namespace volfix
