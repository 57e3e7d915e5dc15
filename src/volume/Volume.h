// A volume: the frames of one series (or of an enhanced multi-frame image)
// that lie on parallel planes, stacked in patient space, with the geometry
// that places every voxel.
//
// Layout of the voxels: stored values (no rescale, no lookup table) as 16-bit
// words in machine order, slice after slice, each slice top row first and
// each row first column first, exactly as the frame decoder delivers a frame.
// Words hold unsigned values when `isSigned` is false (read them as uint16_t).
// 8-bit grey series are widened to words. Frames that differ in rescale (PET)
// are brought to one common scale, given in `header`, as signed words.
//
// Slice order: by position along the planes' normal, never by instance number
// or file name, running towards the patient's head, left or back (whichever
// patient axis the normal is closest to), so slice 0 of an axial stack is the
// most inferior one.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dicom/define_types.h"
#include "pixels/FrameCache.h"
#include "volume/Vec3.h"

// Allocates voxel blocks without clearing them (every word is written by
// its slice's copy) and, for large blocks, in huge pages where the system
// offers them: a volume of 250 MB then costs a few hundred page faults
// instead of 64,000.
template <typename T>
struct TVoxelAllocator {
  using value_type = T;
  TVoxelAllocator() = default;
  template <typename U>
  TVoxelAllocator(const TVoxelAllocator<U>&) noexcept {}
  T* allocate(size_t n);
  void deallocate(T* p, size_t n) noexcept;
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;  // default-initialised: not cleared
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  template <typename U>
  bool operator==(const TVoxelAllocator<U>&) const noexcept {
    return true;
  }
};
void* AllocateVoxelBlock(size_t bytes);
void FreeVoxelBlock(void* p, size_t bytes) noexcept;
template <typename T>
T* TVoxelAllocator<T>::allocate(size_t n) {
  return static_cast<T*>(AllocateVoxelBlock(n * sizeof(T)));
}
template <typename T>
void TVoxelAllocator<T>::deallocate(T* p, size_t n) noexcept {
  FreeVoxelBlock(p, n * sizeof(T));
}
using TVoxels = std::vector<int16_t, TVoxelAllocator<int16_t>>;

struct TVolumeGeometry {
  int columns = 0, rows = 0, slices = 0;
  Vec3 rowDir;               // unit: along a row, towards higher column index
  Vec3 colDir;               // unit: down a column, towards higher row index
  Vec3 normal;               // unit: rowDir x colDir turned to run with the slice order
  double columnSpacing = 1;  // mm between neighbouring columns (along rowDir)
  double rowSpacing = 1;     // mm between neighbouring rows (along colDir)
  // Image Position (Patient) of each slice: the centre of its first pixel.
  std::vector<Vec3> origin;
  // Distance of each slice from slice 0 along `normal`; strictly increasing.
  std::vector<double> depth;
  // Mean distance between neighbouring slices along the normal.
  double sliceSpacing = 1;
  // Neighbour distances differ by more than rounding.
  bool evenSpacing = true;
  // Angle between the normal and the line the slice origins lie on (gantry
  // tilt): the stack is sheared along the slices' columns.
  double tiltDegrees = 0;

  // Patient position of the centre of voxel (column i, row j, slice k).
  Vec3 VoxelPosition(double i, double j, int k) const {
    return origin[size_t(k)] + rowDir * (i * columnSpacing) + colDir * (j * rowSpacing);
  }
  // The mean step from one slice's origin to the next (along the tilt).
  Vec3 SliceStep() const {
    return slices > 1 ? (origin.back() - origin.front()) * (1.0 / (slices - 1))
                      : normal * sliceSpacing;
  }
};

class TVolume {
 public:
  TVolumeGeometry geometry;
  TVoxels voxels;
  bool isSigned = false;
  int bitsStored = 16;
  // Stored range over every voxel, in the words' own signedness.
  int minValue = 0, maxValue = 0;
  // The first slice's header: patient, study, series, window and rescale for
  // the planes made from the volume. Its frame tables are emptied.
  DICOMdata header;
  // Each slice's file and frame (1-based), for messages and the information window.
  std::vector<std::string> slicePath;
  std::vector<int> sliceFrame;
  // What the user should know about the stack (gaps, uneven spacing, tilt).
  std::vector<std::string> notes;
  // The voxels' bytes charged to the frame cache the volume was built
  // through; returned when the volume is freed.
  CacheCharge charge;

  size_t SliceSize() const { return size_t(geometry.columns) * size_t(geometry.rows); }
  const int16_t* Slice(int k) const { return voxels.data() + size_t(k) * SliceSize(); }
  int16_t* Slice(int k) { return voxels.data() + size_t(k) * SliceSize(); }
  // The stored value of voxel (i, j, k), as an int whatever the signedness.
  int At(int i, int j, int k) const {
    const int16_t w = Slice(k)[size_t(j) * size_t(geometry.columns) + size_t(i)];
    return isSigned ? int(w) : int(uint16_t(w));
  }
  size_t Bytes() const { return voxels.size() * sizeof(int16_t); }
};
