// Planes through a volume: the axial, coronal and sagittal planes of its grid
// (exact samples, for `reformat` and for planes that coincide with the grid)
// and planes of any position and direction sampled trilinearly for display,
// both with slabs projected by maximum, minimum or mean intensity.
//
// Output layout: stored values as 16-bit words in machine order, top row
// first, in the volume's signedness (the words of an unsigned volume are
// read as uint16_t).
#pragma once

#include <string>
#include <vector>

#include "volume/Vec3.h"
#include "volume/Volume.h"

enum class TPlaneKind { Axial, Coronal, Sagittal };
enum class TProjection { Max, Min, Mean };

const char* PlaneName(TPlaneKind k);        // "axial", "coronal", "sagittal"
const char* ProjectionName(TProjection p);  // "max", "min", "mean"

// An image on a plane in patient space.
struct TPlaneImage {
  int columns = 0, rows = 0;
  std::vector<int16_t> pixels;
  Vec3 position;             // centre of pixel (0, 0)
  Vec3 rowDir, colDir;       // along a row (towards higher column), down a column
  double rowSpacing = 1;     // mm between neighbouring rows
  double columnSpacing = 1;  // mm between neighbouring columns
  double thickness = 0;      // mm the slab covers along the plane's normal
};

// How an anatomical plane lies on the volume's grid. Grid axes: 0 columns
// (rowDir), 1 rows (colDir), 2 slices (normal). The plane holds `fixed` at
// one index; its columns run along `horizontal` and its rows along
// `vertical`, reversed where the flag says.
//
// Each plane is perpendicular to the grid axis closest to its patient axis
// (axial: head-feet, coronal: front-back, sagittal: left-right). Axial planes
// count from the most inferior; coronal and sagittal planes count in grid
// order and show the most superior part at the top; every other axis keeps
// its grid order. For an axial stack: coronal K is row K of every slice,
// columns as in the slices; sagittal K is column K of every slice, slice row
// 0 at the left.
struct TGridAxes {
  int fixed = 2;
  bool fixedReversed = false;
  int horizontal = 0;
  bool horizontalReversed = false;
  int vertical = 1;
  bool verticalReversed = false;
};
TGridAxes GridAxesOf(const TVolumeGeometry& g, TPlaneKind kind);
// Grid size along an axis, and the grid's unit direction along it (slices:
// the normal).
int AxisSize(const TVolumeGeometry& g, int axis);
Vec3 AxisDirection(const TVolumeGeometry& g, int axis);
// Planes of that kind in the grid.
int PlaneCount(const TVolume& v, TPlaneKind kind);

// Plane `index` of the grid (0-based, counted as GridAxesOf says) with exact
// samples; `slab` > 1 projects the `slab` planes index - slab / 2 ...
// index - slab / 2 + slab - 1 (those inside the volume). The geometry is
// that of plane `index`. False with the reason when index is outside.
bool GridPlane(const TVolume& v, TPlaneKind kind, int index, int slab, TProjection projection,
               TPlaneImage& out, std::string& reason);

// A plane to sample: pixel (x, y) lies at origin + x * du * u + y * dv * v.
struct TPlaneSpec {
  Vec3 origin;
  Vec3 u, v;  // unit, at right angles
  double du = 1, dv = 1;
  int columns = 0, rows = 0;
  double slab = 0;  // thickness in mm along u x v, centred on the plane; 0: thin
  TProjection projection = TProjection::Max;
};

// Samples the volume on a plane: trilinear between voxels, the voxel itself
// where a sample falls on one (within 1e-4 of a voxel spacing), so a plane
// on the grid gives the stored values exactly. Samples outside the volume
// take its minimum; a slab projects the samples inside. The slab's planes are
// one voxel step apart along the normal (the slice spacing for an axial slab
// of an axial stack). `threads` as for ParallelFor.
void SamplePlane(const TVolume& v, const TPlaneSpec& spec, std::vector<int16_t>& out,
                 int threads = 0);
