// A segmentation (SEG) as plain data the viewer draws: its segments with
// their names and display colours, and per frame the segment it belongs to,
// the source image (and frame) it was derived from and its plane position.
// Masks stay packed as the file holds them and are unpacked one frame at a
// time, so a segmentation never costs more memory than its own pixel data
// (one byte per pixel of the frame asked for).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kSegmentationClass = "1.2.840.10008.5.1.4.1.1.66.4";

struct TSegment {
  int number = 0;                  // Segment Number, 1-based as the file gives it
  std::string label;               // Segment Label (UTF-8 as far as ASCII goes; raw otherwise)
  bool recommendedColour = false;  // colour from Recommended Display CIELab Value
  std::array<uint8_t, 3> rgb{};    // sRGB; from a fixed palette when not recommended
};

struct TSegmentFrame {
  int segment = 0;           // Referenced Segment Number; 0 when the frame names none
  std::string sourceSopUid;  // the image it was derived from; empty when not given
  int sourceFrame = 0;       // 1-based frame of that image; 0 when not given
  bool hasPosition = false;  // Image Position (Patient) of the frame's plane
  std::array<double, 3> position{};
};

struct TSegmentation {
  std::string sopInstanceUid, seriesDescription, contentLabel;
  std::string frameOfReferenceUid;
  bool fractional = false;  // FRACTIONAL (8-bit values up to maxFractional); else BINARY
  int maxFractional = 1;
  int rows = 0, columns = 0;
  bool hasOrientation = false;
  std::array<double, 6> orientation{};  // Image Orientation (Patient)
  bool hasSpacing = false;
  std::array<double, 2> spacing{};  // row, column spacing in mm
  double sliceThickness = 0;
  std::vector<TSegment> segments;
  std::vector<TSegmentFrame> frames;  // only frames whose pixels the file holds
  std::vector<uint8_t> pixels;        // the packed pixel data as stored
  // What could not be used, one sentence each (a frame without its pixels,
  // a segment without a number, a reference without a UID, ...).
  std::vector<std::string> skipped;
};

// Reads a segmentation; false with a reason when the file is none or cannot
// be used at all (no segments, no frames, a size its pixel data cannot hold).
bool ReadSegmentation(const std::string& path, TSegmentation& seg, std::string& why);

// Frame `index` (0-based) as one byte per pixel, row by row: 0 or 1 for a
// binary segmentation, 0..maxFractional for a fractional one. False when the
// index is out of range.
bool SegmentFrameMask(const TSegmentation& seg, size_t index, std::vector<uint8_t>& mask);

// DICOM CIELab (each value scaled to 0..65535, D50 as PS3.3 states for
// Recommended Display CIELab Value) to sRGB.
std::array<uint8_t, 3> CieLabToSrgb(uint16_t l, uint16_t a, uint16_t b);

// The fixed palette for segments without a recommended colour: distinct,
// saturated colours by segment number.
std::array<uint8_t, 3> SegmentPaletteColour(int segmentNumber);
