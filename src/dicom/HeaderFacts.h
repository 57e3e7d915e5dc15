// What the information window shows that the header record cannot tell: the
// transfer syntax by name, whether a value is given at all, and values as the
// file stores them (UIDs with their dots, the six direction cosines).
#pragma once

#include <optional>
#include <string>

struct TagListing;

struct HeaderFacts {
  bool read = false;           // the file's elements could be read
  std::string transferSyntax;  // UID the data set is coded in
  // Each is empty (std::nullopt) when the file does not give it. Texts are
  // the stored values joined with ", " (multi-valued) or as they stand.
  std::optional<std::string> studyUid, seriesUid;
  std::optional<std::string>
      position;  // Image Position (Patient), first frame's for enhanced images
  std::optional<std::string> orientation;                // Image Orientation (Patient), six cosines
  std::optional<std::string> windowWidth, windowCenter;  // the first of several
  std::optional<std::string> slope, intercept;
  // Row and column spacing in mm when present and positive.
  std::optional<std::pair<double, double>> pixelSpacing, imagerSpacing;
  bool ultrasoundRegions = false;  // Sequence of Ultrasound Regions with a calibrated region
};

HeaderFacts HeaderFactsOf(const TagListing& listing);
HeaderFacts ReadHeaderFacts(const std::string& path);

// The standard's name of a transfer syntax ("Explicit VR Little Endian");
// the UID itself when it is not one of the standard's.
std::string TransferSyntaxName(const std::string& uid);
