// Building a volume: the frames offered (the images of a series, the frames
// of an enhanced multi-frame image) are checked to lie on parallel planes of
// one size and spacing, ordered by position along the normal, and decoded in
// parallel into one block of words (layout in Volume.h).
//
// A set of frames that does not form a volume is refused with the reason;
// what a user should know about one that does (uneven spacing, gaps, gantry
// tilt) is noted on the volume.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dicom/define_types.h"
#include "pixels/FrameCache.h"
#include "pixels/FrameDecoder.h"
#include "volume/Volume.h"

// A file whose frames go into a volume, with its header as read with frame
// tables, and what the frame cache decodes it from (made on first use when
// null).
struct TVolumeFile {
  std::string path;
  DICOMdata header;
  FrameSourcePtr source;
};

// One frame offered to the builder and the plane it lies on.
struct TVolumeFrame {
  std::shared_ptr<const TVolumeFile> file;
  int frame = 1;                             // 1-based
  Vec3 position;                             // Image Position (Patient): centre of the first pixel
  std::array<double, 6> orientation{};       // Image Orientation (Patient)
  double rowSpacing = 0, columnSpacing = 0;  // Pixel Spacing, mm
  double slope = 1, intercept = 0;           // rescale of the stored values
  int instanceNumber = 0;
  int temporalPosition = 0;  // enhanced images: Temporal Position Index, 0 when not given
  // "FILE" or "frame K of FILE", for reasons and notes.
  std::string Name() const;
};

// A decoded grey frame lent to the builder for the time of one call, laid
// out as DecodeFrame lays it out: N words (16 bits) or N bytes (8 bits), top
// row first. Neither for a colour frame.
struct TFrameView {
  const int16_t* words = nullptr;
  const uint8_t* bytes = nullptr;
  size_t count = 0;  // N
};

// Where the builder gets decoded frames: the decode dispatch directly, or the
// frame cache the cells share (which decodes on a miss).
class TFrameSource {
 public:
  virtual ~TFrameSource() = default;
  // Lends frame `frame` (1-based) of `file` to `use`; false with a one-line
  // reason when it cannot be had (`use` is then not called). Called from
  // several threads at once.
  virtual bool UseFrame(const TVolumeFile& file, int frame,
                        const std::function<void(const TFrameView&)>& use, std::string& reason) = 0;
  // The cache whose budget a volume built from these frames is charged to;
  // null: none.
  virtual FrameCache* BudgetCache() { return nullptr; }
};

// Decodes every frame from its file.
class TDecodingFrameSource : public TFrameSource {
 public:
  bool UseFrame(const TVolumeFile& file, int frame,
                const std::function<void(const TFrameView&)>& use, std::string& reason) override;
  // The view of a decoded frame.
  static TFrameView ViewOf(const DecodedFrame& f);
};

// Takes frames through a frame cache, the one the cells share: a frame they
// hold or have decoded is copied from there, any other is decoded into it
// (within its budget; nothing stays pinned once copied).
class TCachedFrameSource : public TFrameSource {
 public:
  explicit TCachedFrameSource(FrameCache& cache = FrameCache::Shared()) : FCache(cache) {}
  bool UseFrame(const TVolumeFile& file, int frame,
                const std::function<void(const TFrameView&)>& use, std::string& reason) override;
  FrameCache* BudgetCache() override { return &FCache; }

 private:
  FrameCache& FCache;
};

// The checked and ordered frames of a volume and its geometry.
struct TVolumePlan {
  TVolumeGeometry geometry;
  std::vector<TVolumeFrame> frames;  // in slice order
  std::vector<std::string> notes;
  bool isSigned = false;
  int bitsStored = 16;
  int bitsAllocated = 16;
  // The frames differ in rescale (PET): the volume holds signed words on
  // this common scale, each frame's values brought to it.
  bool commonScale = false;
  double slope = 1, intercept = 0;
};

// Checks that the frames form a volume and orders them. False with the reason
// when they do not (fewer than two, other sizes, spacings or orientations,
// planes not parallel, two at one position, origins off one line, colour).
// Frames that differ in rescale are brought to one scale spanning all their
// values in signed words (noted).
bool PlanVolume(std::vector<TVolumeFrame> frames, TVolumePlan& plan, std::string& reason);

struct TVolumeOptions {
  int threads = 0;  // 0: the machine's cores
  const std::atomic<bool>* cancel = nullptr;
  // Frames done so far; called from the decoding threads, never at once.
  std::function<void(int done, int total)> progress;
  // A volume the budget cannot hold is built coarser (each axis reduced by a
  // whole factor, noted on the volume) instead of being refused; it then
  // takes at most half the budget, leaving the cells' frames room.
  bool shrinkToFit = false;
};

// Decodes the planned frames in parallel into a volume. Null with the reason
// when a frame cannot be had, memory runs out or the build is cancelled. The
// voxels are charged to the source's budget cache (if any) before they are
// allocated, evicting cached frames; a volume the budget cannot hold is
// refused.
std::shared_ptr<TVolume> FillVolume(const TVolumePlan& plan, TFrameSource& source,
                                    std::string& reason, const TVolumeOptions& options = {});

// Whole factors per grid axis that bring a grid of `dims` voxels to at most
// `maxSide` a side (0: no limit) and `maxBytes` of words, coarsening the
// longest axis first; {1, 1, 1} when it fits.
std::array<int, 3> ShrinkFactors(const std::array<int, 3>& dims, int maxSide, size_t maxBytes);
// The grid `g` coarsened by whole factors: dims / factor voxels a side, each
// coarse voxel at the centre of the fine ones of its share (the remainder of
// an axis joins its last voxel, which still sits on the even grid).
TVolumeGeometry CoarserGeometry(const TVolumeGeometry& g, const std::array<int, 3>& factor);

// PlanVolume and FillVolume.
std::shared_ptr<TVolume> BuildVolume(std::vector<TVolumeFrame> frames, TFrameSource& source,
                                     std::string& reason, const TVolumeOptions& options = {});
