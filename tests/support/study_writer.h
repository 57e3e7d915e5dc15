// Synthetic studies for layout tests: patients, studies and series with the
// attributes hanging protocols read (modality, descriptions, body part,
// orientation, positions, frame of reference, view position, laterality,
// identity), written as small real files the loaders read like any other.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace studywriter {

struct SeriesSpec {
  std::string modality = "CT";
  std::string description;
  int number = 1;
  int images = 3;
  // "axial", "coronal", "sagittal" or "" (a projection: no position or orientation).
  std::string orientation = "axial";
  double firstPosition = 0;      // along the slice normal, mm
  double spacing = 5;            // between slices, mm (negative: the other way)
  std::string frameOfReference;  // "" : one per study
  std::string bodyPart;
  std::string viewPosition;  // (0018,5101)
  std::string laterality;    // written as Image Laterality (0020,0062)
  std::string imageType;     // (0008,0008) when given, e.g. "ORIGINAL\\PRIMARY\\LOCALIZER"
  // Per image (view position, laterality), for a series holding several views;
  // images past the list take the series' values.
  std::vector<std::pair<std::string, std::string>> imageViews;
  int size = 16;    // rows = columns
  std::string uid;  // "" : derived from the study's
};

struct StudySpec {
  std::string patientName = "HANG^TEST";
  std::string patientId = "H0001";
  std::string issuer;  // "" : no Issuer of Patient ID
  std::string date = "20250601";
  std::string time = "101500";
  std::string description;
  std::string uid;  // "" : derived from the date and patient
  std::vector<SeriesSpec> series;
};

// The SOP class a modality's images are stored as.
std::string SopClassOf(const std::string& modality);
// The study's UID as written (spec.uid or the derived one).
std::string StudyUidOf(const StudySpec& study);
// The series' UID as written.
std::string SeriesUidOf(const StudySpec& study, const SeriesSpec& series);
// The position along the normal of image k (0-based) of a series.
double PositionOf(const SeriesSpec& series, int k);

// One file per image under dir/<study folder>/s<number>/i<k>.dcm; returns the
// study's folder. Pixel k of image k holds the value 100 + k everywhere, so a
// test can tell which slice a cell shows.
std::string WriteStudy(const std::string& dir, const StudySpec& study);

}  // namespace studywriter
