// What the run's segmentations and structure sets put on a cell's plane, and
// how segment fills go into its display bitmap (AdvancedImage_Derived.cpp).
#pragma once

#include <QImage>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "derived/OverlayPlanes.h"
#include "viewer/Orientation.h"

class TadvancedImage;
struct TPerFrameGroups;

// The plane the cell shows: the frame on display of a stored image (an
// enhanced image's per-frame groups, when given, place the frame) or the
// reformatted plane of an MPR cell. Without groups a multi-frame image's
// groups are read from its file.
TDisplayPlane PlaneOfCell(const TadvancedImage& cell);
TDisplayPlane PlaneOfCell(const TadvancedImage& cell, const TPerFrameGroups* groups);

// One segment's part in the bitmap: coverage of the W x H unturned image.
struct TSegmentPaint {
  const std::vector<uint8_t>* coverage = nullptr;
  std::array<uint8_t, 3> rgb{};
  double opacity = 0.4;  // of the fill; 0 leaves the outline only
};

// Blends each segment's fill (its opacity times the pixel's coverage) into
// target, then draws its outline (pixels at least half covered with a
// neighbour that is not) opaque. target is the W x H image after the turns
// and flips of state s (so H x W after a quarter turn), 32 bits a pixel.
void CompositeSegments(QImage& target, int W, int H, const OrientationState& s,
                       const std::vector<TSegmentPaint>& paints);

// A cell's mapping of the store onto its plane, kept until the plane or the
// store's objects change.
struct TDerivedLayer {
  std::string key;  // the plane and store revision it was made for
  struct Seg {
    std::string path;
    size_t index = 0;  // into the store's segmentations
    TSegmentationOnPlane on;
  };
  struct Set {
    std::string path;
    size_t index = 0;  // into the store's structure sets
    TStructureSetOnPlane on;
  };
  std::vector<Seg> segs;
  std::vector<Set> sets;
  std::string groupsPath;  // the file groups were read from
  std::shared_ptr<const TPerFrameGroups> groups;
};
