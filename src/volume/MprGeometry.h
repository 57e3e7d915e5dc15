// The three planes of a multiplanar view: each passes through one point of
// the volume, the crosshair centre, and lies as GridAxesOf says (so an axial
// stack shows as acquired, coronal and sagittal planes with the head at the
// top). Display planes have square pixels (a viewer cell draws pixels
// square) and are exactly orthogonal, also over a tilted stack.
#pragma once

#include "volume/Reformat.h"
#include "volume/Volume.h"

struct TMprPlane {
  TPlaneSpec spec;
  Vec3 normal;      // unit, u x v
  int index = 0;    // the grid plane nearest the crosshair, counted as GridAxesOf says
  int count = 1;    // grid planes of this kind
  double step = 1;  // mm between grid planes along the normal (one wheel notch)
};

// The in-plane directions of a plane: u along its rows, v down its columns.
struct TPlaneAxes {
  Vec3 u, v;
};
// The grid's directions for each kind of plane (as GridAxesOf says).
TPlaneAxes MprAxes(const TVolume& v, TPlaneKind kind);

// The centre of the volume's middle voxel.
Vec3 MprCentre(const TVolume& v);

// The display plane of `kind` through `cross`. Pixels are as large as the
// finer of the two in-plane grid spacings (the grid's own when those agree
// within 1 %), and no side is longer than maxSide pixels.
TMprPlane MprPlane(const TVolume& v, TPlaneKind kind, Vec3 cross, double slab = 0,
                   TProjection projection = TProjection::Max, int maxSide = 2048);
// The same with directions of its own (an oblique plane once the crosshair is
// turned). Off the grid's directions the planes are counted in voxel steps
// along the normal (the grid's spacings along it) across the whole volume.
TMprPlane MprPlane(const TVolume& v, const TPlaneAxes& axes, TPlaneKind kind, Vec3 cross,
                   double slab = 0, TProjection projection = TProjection::Max, int maxSide = 2048);

// `cross` moved along the normal of `kind` onto grid plane `index` (clamped
// to the planes there are). Over a tilted stack the rows and columns are
// counted in slice 0's frame, so each plane moves along its own normal only.
Vec3 MprMoveTo(const TVolume& v, TPlaneKind kind, Vec3 cross, int index);
Vec3 MprMoveTo(const TVolume& v, const TPlaneAxes& axes, TPlaneKind kind, Vec3 cross, int index);

// p turned by `radians` about `axis` (right-handed).
Vec3 MprRotate(Vec3 p, Vec3 axis, double radians);

// `cross` moved to the nearest grid plane along each axis, within the
// volume: planes through it then coincide with the grid and show stored
// values.
Vec3 MprSnap(const TVolume& v, Vec3 cross);

// Where `p` lies in a plane's pixels: x along u, y along v (pixel centres at
// whole numbers).
void MprPixelOf(const TPlaneSpec& s, Vec3 p, double& x, double& y);
