// The geometry an enhanced multi-frame image keeps per frame: the Shared
// (5200,9229) and Per-frame (5200,9230) Functional Groups Sequences, read by a
// small walk of their own (the header reader keeps one value per file).
//
// Read from each group item: Plane Position (0020,9113) > Image Position
// (Patient); Plane Orientation (0020,9116) > Image Orientation (Patient);
// Pixel Measures (0028,9110) > Pixel Spacing, Slice Thickness; Pixel Value
// Transformation (0028,9145) > Rescale Intercept and Slope; Frame Content
// (0020,9111) > Stack ID, In-Stack Position Number, Temporal Position Index.
//
// Every read is bounded by the data: a length past the end, a nesting deeper
// than 16 levels or an item that is not one ends the walk with a reason.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TFrameGroupValues {
  bool hasPosition = false;
  std::array<double, 3> position{};
  bool hasOrientation = false;
  std::array<double, 6> orientation{};
  bool hasSpacing = false;
  double rowSpacing = 0, columnSpacing = 0;  // Pixel Spacing: between rows, between columns
  bool hasThickness = false;
  double thickness = 0;
  bool hasRescale = false;
  double slope = 1, intercept = 0;
  std::string stackId;
  int inStackPosition = 0;   // 0: not given
  int temporalPosition = 0;  // 0: not given
};

struct TPerFrameGroups {
  bool hasShared = false;
  TFrameGroupValues shared;
  // One entry per item of the Per-frame Functional Groups Sequence.
  std::vector<TFrameGroupValues> frames;

  // Frame k's values (0-based): its own where given, else the shared ones.
  TFrameGroupValues Frame(size_t k) const;
};

// Reads the functional groups of a file, or of a whole file held in memory.
// False with a one-line reason when the data cannot be walked; a file without
// functional groups reads as true with no frames.
bool ReadPerFrameGroups(const std::string& path, TPerFrameGroups& out,
                        std::string* reason = nullptr);
bool ReadPerFrameGroupsFromMemory(const uint8_t* data, size_t size, TPerFrameGroups& out,
                                  std::string* reason = nullptr);
