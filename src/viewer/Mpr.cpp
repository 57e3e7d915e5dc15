#include "viewer/Mpr.h"

#include <algorithm>
#include <cmath>

#include "viewer/AdvancedImage.h"

void TMprLink::MoveCross(Vec3 to) {
  cross = to;
  // Keep the view alive while its cells refresh: a cell may leave it.
  const std::array<QPointer<TadvancedImage>, 3> shown = cells;
  TadvancedImage* first = nullptr;
  for (const QPointer<TadvancedImage>& c : shown)
    if (c && c->IsMpr()) {
      c->MprRefresh();
      if (!first) first = c;
    }
  // One notice is enough: the grid recomputes every cell's reference line.
  if (first) emit first->ImageShown(first);
}

TMprPlane TMprLink::Plane(TPlaneKind kind, double slab, TProjection p) const {
  return MprPlane(*volume, axes[size_t(kind)], kind, cross, slab, p);
}

void TMprLink::Rotate(TPlaneKind about, double radians) {
  if (!volume || !std::isfinite(radians)) return;
  const TPlaneAxes& a = axes[size_t(about)];
  const Vec3 n = Unit(Cross(a.u, a.v));
  for (size_t k = 0; k < 3; ++k) {
    if (k == size_t(about)) continue;
    // Unit again: rounding would otherwise build up over a long drag.
    axes[k].u = Unit(MprRotate(axes[k].u, n, radians));
    axes[k].v = Unit(MprRotate(axes[k].v, n, radians));
  }
  MoveCross(cross);
}

void TMprLink::ResetAxes() {
  if (!volume) return;
  for (size_t k = 0; k < 3; ++k) axes[k] = MprAxes(*volume, TPlaneKind(k));
}

bool TMprLink::Turned() const {
  if (!volume) return false;
  for (size_t k = 0; k < 3; ++k) {
    const TPlaneAxes grid = MprAxes(*volume, TPlaneKind(k));
    if (Dot(grid.u, axes[k].u) < 1 - 1e-9 || Dot(grid.v, axes[k].v) < 1 - 1e-9) return true;
  }
  return false;
}

QColor MprPlaneColor(TPlaneKind kind) {
  switch (kind) {
    case TPlaneKind::Coronal:
      return QColor(90, 210, 90);
    case TPlaneKind::Sagittal:
      return QColor(240, 210, 60);
    case TPlaneKind::Axial:
      break;
  }
  return QColor(240, 80, 80);
}

QString MprPlaneTitle(TPlaneKind kind) {
  switch (kind) {
    case TPlaneKind::Coronal:
      return QStringLiteral("Coronal");
    case TPlaneKind::Sagittal:
      return QStringLiteral("Sagittal");
    case TPlaneKind::Axial:
      break;
  }
  return QStringLiteral("Axial");
}

DICOMdata MprHeader(const TVolume& v, const TMprPlane& plane, TPlaneKind kind) {
  DICOMdata h = v.header;
  const TPlaneSpec& s = plane.spec;
  h.XYZdim = {s.columns, s.rows, 1, 1};
  h.XYZmm = {s.du, s.dv, s.slab > 0 ? s.slab : plane.step};
  h.image_Postion = ToArray(s.origin);
  h.IMAGE_ORIENTATION_PATIENT = {s.u.x, s.u.y, s.u.z, s.v.x, s.v.y, s.v.z};
  h.ImageNum = plane.index + 1;
  h.location = float(Dot(s.origin, plane.normal));
  h.SamplesPerPixel = 1;
  h.PlanarConfig = 0;
  h.Allocbits_per_pixel = 16;
  h.Storedbits_per_pixel = std::clamp(v.bitsStored, 1, 16);
  h.pixel_representation = v.isSigned ? 1 : 0;
  h.Float = false;
  h.RunLengthEncoding = h.GenesisCpt = h.JPEGlosslessCpt = h.JPEGJ2k = h.JPEGlossyCpt = false;
  h.ElscintCompress = false;
  h.CompressSz = h.CompressOffset = h.ImageStart = 0;
  h.SiemensMosaicX = h.SiemensMosaicY = 1;
  h.frame_time = 0;
  // The overlay plane belongs to the acquired images, not to a reformat.
  h.overlay_rows = h.overlay_columns = 0;
  h.overlay_data_bytes.clear();
  h.overlay_type.clear();
  h.gECATJPEG_table_entries = 0;
  h.gECATJPEG_pos_table.clear();
  h.gECATJPEG_size_table.clear();
  h.SOP_Instance_UID.clear();
  h.Series_Description =
      (h.Series_Description.empty() ? std::string() : h.Series_Description + " ") + "MPR " +
      MprPlaneTitle(kind).toStdString();
  // The information window reads the slice nearest the plane's centre.
  if (!v.slicePath.empty()) {
    const Vec3 centre =
        s.origin + s.u * (s.du * (s.columns - 1) / 2) + s.v * (s.dv * (s.rows - 1) / 2);
    const double depth = Dot(centre - v.geometry.origin[0], v.geometry.normal);
    const auto it = std::lower_bound(v.geometry.depth.begin(), v.geometry.depth.end(), depth);
    const size_t k = std::min(size_t(it - v.geometry.depth.begin()), v.slicePath.size() - 1);
    h.referenceFile = v.slicePath[k];
  }
  // The window stays the series' own: the cell judges it, or makes one over
  // the volume's range, against the whole volume (TadvancedImage::GreyState),
  // so it is the same for every plane and slab.
  return h;
}
