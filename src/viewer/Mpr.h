// Multiplanar reformation in the viewer cells: three cells show the axial,
// coronal and sagittal planes of one volume through a shared crosshair
// centre. Each stays a normal cell: its header record describes the plane
// (position, direction cosines, spacing), so millimetres, orientation
// letters, overlay text and reference lines work as for an acquired image.
#pragma once

#include <QColor>
#include <QPointer>
#include <QString>
#include <array>
#include <memory>

#include "dicom/define_types.h"
#include "volume/MprGeometry.h"

class QWidget;
class TadvancedImage;

// The cells of one multiplanar view and what they share. UI thread only.
class TMprLink {
 public:
  explicit TMprLink(std::shared_ptr<const TVolume> v) : volume(std::move(v)) {
    if (volume) cross = MprCentre(*volume);
    ResetAxes();
  }

  const std::shared_ptr<const TVolume> volume;
  Vec3 cross;  // the crosshair centre, patient millimetres
  // Each plane's directions (indexed by TPlaneKind): the grid's until the
  // crosshair is turned.
  std::array<TPlaneAxes, 3> axes;
  // The cell showing each plane (indexed by TPlaneKind); null when none does.
  std::array<QPointer<TadvancedImage>, 3> cells;
  // The source series in the study tree, for the cells' tree position.
  int patient = 0, study = 0, series = 0;

  // Moves the crosshair: every cell of the view shows its plane through it,
  // and the grid is told once (reference lines).
  void MoveCross(Vec3 to);
  // Plane `kind` through the crosshair.
  TMprPlane Plane(TPlaneKind kind, double slab = 0, TProjection p = TProjection::Max) const;
  // Turns the other two planes about plane `about`'s normal through the
  // crosshair (oblique planes), and shows them.
  void Rotate(TPlaneKind about, double radians);
  // The grid's directions again (not shown until the next MoveCross).
  void ResetAxes();
  bool Turned() const;
};

// A cell's part in a view.
struct TMprState {
  std::shared_ptr<TMprLink> link;
  TPlaneKind kind = TPlaneKind::Axial;
  double slab = 0;  // mm; 0: a thin plane
  TProjection projection = TProjection::Max;
  TMprPlane plane;  // the plane on display
  bool planeShown = false;
  // The drag in progress moves the plane(s) of these kinds to the mouse...
  std::array<bool, 3> dragging{false, false, false};
  // ... or turns the other planes about this one's normal (Ctrl-drag of a
  // line), from this angle in the plane's pixels.
  bool rotating = false;
  double rotateAngle = 0;
  QPointer<QWidget> bar;  // slab controls in the host cell's bottom bar
};

// Colour of each plane's crosshair line and label.
QColor MprPlaneColor(TPlaneKind kind);
// "Axial", "Coronal", "Sagittal".
QString MprPlaneTitle(TPlaneKind kind);

// The header record of a plane made from `v`: the volume's first header
// with the plane's size, spacing, position, direction cosines and image
// number, no overlay and no compression; the series' window.
DICOMdata MprHeader(const TVolume& v, const TMprPlane& plane, TPlaneKind kind);
