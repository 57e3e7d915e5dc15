#include "derived/OverlayPlanes.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "dicom/PerFrameGroups.h"
#include "dicom/define_types.h"

namespace {

using Vec = std::array<double, 3>;

double Dot(const Vec& a, const Vec& b) {
  return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
Vec Sub(const Vec& a, const Vec& b) {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
Vec Cross(const Vec& a, const Vec& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
bool Finite(const Vec& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}
// Scales v to unit length; false when it has none to scale.
bool Normalise(Vec& v) {
  const double n = std::sqrt(Dot(v, v));
  if (!std::isfinite(n) || n < 1e-6) return false;
  for (double& x : v) x /= n;
  return true;
}
double Positive(double v, double fallback) {
  return std::isfinite(v) && v > 0 ? v : fallback;
}

bool SameFrameOfReference(const std::string& a, const std::string& b) {
  return a.empty() || b.empty() || a == b;
}

// The segmentation's own frame axes; ok only when orientation and spacing
// are given and sane.
struct SegAxes {
  bool ok = false;
  Vec row{}, column{}, normal{};
  double columnSpacing = 1, rowSpacing = 1;
};

SegAxes AxesOf(const TSegmentation& seg) {
  SegAxes a;
  if (!seg.hasOrientation || !seg.hasSpacing) return a;
  a.row = {seg.orientation[0], seg.orientation[1], seg.orientation[2]};
  a.column = {seg.orientation[3], seg.orientation[4], seg.orientation[5]};
  if (!Normalise(a.row) || !Normalise(a.column)) return a;
  a.normal = Cross(a.row, a.column);
  if (!Normalise(a.normal)) return a;
  // Pixel Spacing: between rows first, then between columns.
  if (!(seg.spacing[0] > 0) || !(seg.spacing[1] > 0) || !std::isfinite(seg.spacing[0]) ||
      !std::isfinite(seg.spacing[1]))
    return a;
  a.rowSpacing = seg.spacing[0];
  a.columnSpacing = seg.spacing[1];
  a.ok = true;
  return a;
}

// Where a target pixel (c, r) falls in a segmentation frame: column
// u0 + c*uc + r*ur, row v0 + c*vc + r*vr (pixel centres at whole numbers).
struct Mapping {
  double u0 = 0, uc = 1, ur = 0, v0 = 0, vc = 0, vr = 1;
};

Mapping ThroughPatient(const TDisplayPlane& plane, const SegAxes& axes, const Vec& framePosition) {
  const Vec d = Sub(plane.origin, framePosition);
  Mapping m;
  m.u0 = Dot(d, axes.row) / axes.columnSpacing;
  m.uc = plane.columnSpacing * Dot(plane.row, axes.row) / axes.columnSpacing;
  m.ur = plane.rowSpacing * Dot(plane.column, axes.row) / axes.columnSpacing;
  m.v0 = Dot(d, axes.column) / axes.rowSpacing;
  m.vc = plane.columnSpacing * Dot(plane.row, axes.column) / axes.rowSpacing;
  m.vr = plane.rowSpacing * Dot(plane.column, axes.column) / axes.rowSpacing;
  return m;
}

// Same field of view in another matrix size: pixel centres scaled.
Mapping Scaled(const TDisplayPlane& plane, const TSegmentation& seg) {
  Mapping m;
  m.uc = double(seg.columns) / plane.columns;
  m.u0 = 0.5 * m.uc - 0.5;
  m.vr = double(seg.rows) / plane.rows;
  m.v0 = 0.5 * m.vr - 0.5;
  m.ur = m.vc = 0;
  return m;
}

// Coverage (0..255) of pixel (r, c) of frame `frame`, read from the packed data.
uint8_t Sample(const TSegmentation& seg, size_t frame, int64_t r, int64_t c) {
  if (r < 0 || c < 0 || r >= seg.rows || c >= seg.columns) return 0;
  const uint64_t index =
      uint64_t(frame) * uint64_t(seg.rows) * uint64_t(seg.columns) + uint64_t(r) * seg.columns + c;
  if (seg.fractional) {
    if (index >= seg.pixels.size()) return 0;
    const int v = std::min<int>(seg.pixels[size_t(index)], seg.maxFractional);
    return uint8_t((v * 255 + seg.maxFractional / 2) / seg.maxFractional);
  }
  if ((index >> 3) >= seg.pixels.size()) return 0;
  return (seg.pixels[size_t(index >> 3)] >> (index & 7)) & 1 ? 255 : 0;
}

int64_t Nearest(double x) {
  // Beyond any frame's size either way; keeps the cast defined.
  if (!(x > -1e9)) return -1;
  if (x > 1e9) return int64_t(1e9);
  return int64_t(std::floor(x + 0.5));
}

class CoverageBuilder {
 public:
  CoverageBuilder(const TSegmentation& seg, const TDisplayPlane& plane, TSegmentationOnPlane& out)
      : FSeg(seg), FPlane(plane), FOut(out) {
    for (size_t i = 0; i < seg.segments.size(); ++i) FIndex.emplace(seg.segments[i].number, i);
    FSlot.assign(seg.segments.size(), -1);
  }

  // The segments index of frame k's segment; false when it names none defined.
  bool SegmentOf(size_t k, size_t& index) const {
    const auto it = FIndex.find(FSeg.frames[k].segment);
    if (it == FIndex.end()) return false;
    index = it->second;
    return true;
  }

  // Hostile files can name many segments and frames on one plane: masks and
  // work are held to a budget, and what lies beyond it is not drawn.
  bool Exhausted() const { return FExhausted; }
  bool Spend(uint64_t work) {
    if (work > FWorkLeft) FExhausted = true;
    if (FExhausted) return false;
    FWorkLeft -= work;
    return true;
  }

  uint8_t* Mask(size_t segment) {
    int& slot = FSlot[segment];
    if (slot < 0) {
      const uint64_t bytes = uint64_t(FPlane.rows) * uint64_t(FPlane.columns);
      if (FMaskBytes + bytes > kMaskBudget) {
        FExhausted = true;
        return nullptr;
      }
      FMaskBytes += bytes;
      slot = int(FOut.segments.size());
      FOut.segments.push_back(
          {segment, std::vector<uint8_t>(size_t(FPlane.rows) * size_t(FPlane.columns), 0)});
    }
    return FOut.segments[size_t(slot)].coverage.data();
  }

  // Every pixel of the plane from frame k through m.
  // The pixels of the plane frame k covers, from frame k through m.
  void Whole(size_t k, size_t segment, const Mapping& m) {
    const bool identity =
        m.u0 == 0 && m.uc == 1 && m.ur == 0 && m.v0 == 0 && m.vc == 0 && m.vr == 1;
    // The frame's footprint on the plane: its corners mapped back.
    int c0 = 0, c1 = FPlane.columns - 1, r0 = 0, r1 = FPlane.rows - 1;
    if (!identity) {
      const double det = m.uc * m.vr - m.ur * m.vc;
      if (!std::isfinite(det) || std::fabs(det) < 1e-12) return;
      double cmin = 1e300, cmax = -1e300, rmin = 1e300, rmax = -1e300;
      for (const double u : {-0.5, FSeg.columns - 0.5})
        for (const double v : {-0.5, FSeg.rows - 0.5}) {
          const double c = (m.vr * (u - m.u0) - m.ur * (v - m.v0)) / det;
          const double r = (-m.vc * (u - m.u0) + m.uc * (v - m.v0)) / det;
          cmin = std::min(cmin, c), cmax = std::max(cmax, c);
          rmin = std::min(rmin, r), rmax = std::max(rmax, r);
        }
      if (!(cmax >= 0 && rmax >= 0 && cmin <= FPlane.columns && rmin <= FPlane.rows)) return;
      c0 = std::max(0, int(std::floor(cmin)) - 1);
      c1 = std::min(FPlane.columns - 1, int(std::min(cmax + 1, 2e9)));
      r0 = std::max(0, int(std::floor(rmin)) - 1);
      r1 = std::min(FPlane.rows - 1, int(std::min(rmax + 1, 2e9)));
    }
    if (!Spend(uint64_t(c1 - c0 + 1) * uint64_t(r1 - r0 + 1))) return;
    uint8_t* mask = Mask(segment);
    if (!mask) return;
    if (identity && !FSeg.fractional) {
      // The frame's bits in the plane's own order: a byte at a time where
      // aligned, so empty stretches cost little.
      const uint64_t count = uint64_t(FPlane.rows) * uint64_t(FPlane.columns);
      const uint64_t first = uint64_t(k) * count;
      const uint64_t end = std::min(first + count, uint64_t(FSeg.pixels.size()) * 8);
      const uint8_t* bytes = FSeg.pixels.data();
      for (uint64_t b = first; b < end;) {
        if ((b & 7) == 0 && b + 8 <= end) {
          if (const uint8_t byte = bytes[b >> 3])
            for (int i = 0; i < 8; ++i)
              if (byte >> i & 1) mask[b - first + uint64_t(i)] = 255;
          b += 8;
        } else {
          if (bytes[b >> 3] >> (b & 7) & 1) mask[b - first] = 255;
          ++b;
        }
      }
      return;
    }
    if (m.ur == 0 && m.vc == 0) {
      // Axes aligned (the usual case): each plane column reads one frame
      // column and each row one frame row, worked out once.
      std::vector<int64_t> source(size_t(c1 - c0 + 1));
      for (int c = c0; c <= c1; ++c) {
        const int64_t sc = Nearest(m.u0 + c * m.uc);
        source[size_t(c - c0)] = sc >= 0 && sc < FSeg.columns ? sc : -1;
      }
      const uint64_t frameStart = uint64_t(k) * uint64_t(FSeg.rows) * uint64_t(FSeg.columns);
      for (int r = r0; r <= r1; ++r) {
        const int64_t sr = Nearest(m.v0 + r * m.vr);
        if (sr < 0 || sr >= FSeg.rows) continue;
        const uint64_t rowStart = frameStart + uint64_t(sr) * uint64_t(FSeg.columns);
        uint8_t* line = mask + size_t(r) * size_t(FPlane.columns);
        for (int c = c0; c <= c1; ++c) {
          const int64_t sc = source[size_t(c - c0)];
          if (sc < 0) continue;
          const uint8_t v = Value(rowStart + uint64_t(sc));
          if (v > line[c]) line[c] = v;
        }
      }
      return;
    }
    for (int r = r0; r <= r1; ++r) {
      uint8_t* line = mask + size_t(r) * size_t(FPlane.columns);
      for (int c = c0; c <= c1; ++c) {
        const uint8_t v = identity ? Sample(FSeg, k, r, c)
                                   : Sample(FSeg, k, Nearest(m.v0 + c * m.vc + r * m.vr),
                                            Nearest(m.u0 + c * m.uc + r * m.ur));
        if (v > line[c]) line[c] = v;
      }
    }
  }

  // Coverage of the pixel at `index` of the whole pixel data; 0 past its end.
  uint8_t Value(uint64_t index) const {
    if (FSeg.fractional) {
      if (index >= FSeg.pixels.size()) return 0;
      const int v = std::min<int>(FSeg.pixels[size_t(index)], FSeg.maxFractional);
      return uint8_t((v * 255 + FSeg.maxFractional / 2) / FSeg.maxFractional);
    }
    if ((index >> 3) >= FSeg.pixels.size()) return 0;
    return (FSeg.pixels[size_t(index >> 3)] >> (index & 7)) & 1 ? 255 : 0;
  }

  // Pixel (r, c) from frame k through m.
  void One(size_t k, size_t segment, const Mapping& m, int r, int c) {
    const uint8_t v =
        Sample(FSeg, k, Nearest(m.v0 + c * m.vc + r * m.vr), Nearest(m.u0 + c * m.uc + r * m.ur));
    if (v == 0) return;
    uint8_t* mask = Mask(segment);
    if (!mask) return;
    uint8_t& at = mask[size_t(r) * size_t(FPlane.columns) + size_t(c)];
    if (v > at) at = v;
  }

 private:
  const TSegmentation& FSeg;
  const TDisplayPlane& FPlane;
  TSegmentationOnPlane& FOut;
  std::map<int, size_t> FIndex;  // segment number -> index
  std::vector<int> FSlot;        // segment index -> FOut.segments index; -1: none yet
  // Masks for a few hundred segments of a large plane; work for as many
  // passes over the plane.
  static constexpr uint64_t kMaskBudget = uint64_t(256) << 20;
  uint64_t FMaskBytes = 0;
  uint64_t FWorkLeft = uint64_t(512) * uint64_t(FPlane.rows) * uint64_t(FPlane.columns);
  bool FExhausted = false;
};

// Frames at one depth along the segmentation's normal.
struct DepthGroup {
  double depth = 0;
  std::vector<size_t> frames;
};

}  // namespace

std::string UidOfHeaderText(const std::string& text) {
  size_t a = 0, b = text.size();
  while (a < b && (text[a] == ' ' || text[a] == '\0')) ++a;
  while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\0')) --b;
  std::string uid = text.substr(a, b - a);
  std::replace(uid.begin(), uid.end(), ' ', '.');
  return uid;
}

TDisplayPlane PlaneOfHeader(const DICOMdata& h, int frame, const TPerFrameGroups* groups) {
  TDisplayPlane p;
  p.columns = std::max(h.XYZdim[0], 0);
  p.rows = std::max(h.XYZdim[1], 0);
  p.columnSpacing = Positive(h.XYZmm[0], 1);
  p.rowSpacing = Positive(h.XYZmm[1], 1);
  p.thickness = Positive(h.XYZmm[2], 0);
  p.origin = h.image_Postion;
  Vec row{h.IMAGE_ORIENTATION_PATIENT[0], h.IMAGE_ORIENTATION_PATIENT[1],
          h.IMAGE_ORIENTATION_PATIENT[2]};
  Vec column{h.IMAGE_ORIENTATION_PATIENT[3], h.IMAGE_ORIENTATION_PATIENT[4],
             h.IMAGE_ORIENTATION_PATIENT[5]};
  p.frame = std::max(frame, 1);
  if (groups && (groups->hasShared || !groups->frames.empty())) {
    const TFrameGroupValues g = groups->Frame(size_t(p.frame - 1));
    if (g.hasPosition) p.origin = g.position;
    if (g.hasOrientation) {
      row = {g.orientation[0], g.orientation[1], g.orientation[2]};
      column = {g.orientation[3], g.orientation[4], g.orientation[5]};
    }
    if (g.hasSpacing) {
      p.columnSpacing = Positive(g.columnSpacing, p.columnSpacing);
      p.rowSpacing = Positive(g.rowSpacing, p.rowSpacing);
    }
    if (g.hasThickness) p.thickness = Positive(g.thickness, p.thickness);
  }
  p.hasGeometry =
      Finite(p.origin) && Normalise(row) && Normalise(column) && std::fabs(Dot(row, column)) < 0.1;
  p.row = row;
  p.column = column;
  p.frameOfReferenceUid = UidOfHeaderText(h.Frame_Of_Reference_UID.str());
  p.sopInstanceUid = UidOfHeaderText(h.SOP_Instance_UID);
  return p;
}

TSegmentationOnPlane SegmentationOnPlane(const TSegmentation& seg, const TDisplayPlane& plane) {
  TSegmentationOnPlane out;
  if (plane.rows <= 0 || plane.columns <= 0 || seg.rows <= 0 || seg.columns <= 0) return out;
  CoverageBuilder build(seg, plane, out);
  const SegAxes axes = AxesOf(seg);
  const bool placeable = axes.ok && plane.hasGeometry &&
                         SameFrameOfReference(seg.frameOfReferenceUid, plane.frameOfReferenceUid);

  size_t unnamed = 0, lost = 0, unplaced = 0;
  std::vector<DepthGroup> groups;
  std::vector<double> depths;
  for (size_t k = 0; k < seg.frames.size(); ++k) {
    const TSegmentFrame& f = seg.frames[k];
    size_t segment = 0;
    if (!build.SegmentOf(k, segment)) {
      ++unnamed;
      continue;
    }
    const bool referenced =
        !plane.sopInstanceUid.empty() && f.sourceSopUid == plane.sopInstanceUid &&
        (f.sourceFrame == plane.frame || (f.sourceFrame == 0 && plane.frame == 1));
    if (f.hasPosition && Finite(f.position) && axes.ok)
      depths.push_back(Dot(f.position, axes.normal));
    if (referenced) {
      ++out.matchedFrames;
      if (seg.rows == plane.rows && seg.columns == plane.columns)
        build.Whole(k, segment, Mapping{});
      else if (f.hasPosition && axes.ok && plane.hasGeometry && Finite(f.position))
        build.Whole(k, segment, ThroughPatient(plane, axes, f.position));
      else
        build.Whole(k, segment, Scaled(plane, seg));
      continue;
    }
    if (!f.hasPosition || !Finite(f.position)) {
      if (f.sourceSopUid.empty()) ++lost;
      continue;
    }
    if (!axes.ok) {
      ++unplaced;
      continue;
    }
    groups.push_back({Dot(f.position, axes.normal), {k}});
  }
  if (unnamed)
    out.notes.push_back(std::to_string(unnamed) + " segmentation frames name no defined segment");
  if (lost)
    out.notes.push_back(std::to_string(lost) +
                        " segmentation frames name neither their source image nor their position");
  if (unplaced)
    out.notes.push_back(
        "the segmentation gives no usable plane orientation or pixel spacing: its frames are "
        "placed by their source image only");
  if (!placeable || groups.empty()) {
    if (build.Exhausted())
      out.notes.push_back(
          "the segmentation puts more segments or frames on one plane than are drawn");
    return out;
  }

  // Frames at one depth (a segment each, or tiles of one) form one group.
  std::sort(groups.begin(), groups.end(),
            [](const DepthGroup& a, const DepthGroup& b) { return a.depth < b.depth; });
  std::vector<DepthGroup> merged;
  for (DepthGroup& g : groups) {
    if (!merged.empty() && g.depth - merged.back().depth < 1e-3)
      merged.back().frames.push_back(g.frames.front());
    else
      merged.push_back(std::move(g));
  }
  groups.clear();
  // The frames' spacing, referenced ones included: the smallest step between
  // distinct depths.
  std::sort(depths.begin(), depths.end());
  double step = 0;
  for (size_t i = 1; i < depths.size(); ++i) {
    const double d = depths[i] - depths[i - 1];
    if (d >= 1e-3 && (step == 0 || d < step)) step = d;
  }
  // Each frame stands for the slab [depth - half, depth + half): adjacent
  // frames tile the volume, so a depth on a boundary belongs to exactly one.
  const double half = 0.5 * Positive(seg.sliceThickness, step > 0 ? step : 1.0);
  const auto inSlab = [half](double diff) { return diff >= -half - 1e-4 && diff < half - 1e-4; };

  // Per frame: how target pixels map into it.
  std::vector<Mapping> maps(merged.size() == 0 ? 0 : seg.frames.size());
  for (const DepthGroup& g : merged)
    for (size_t k : g.frames) maps[k] = ThroughPatient(plane, axes, seg.frames[k].position);
  std::vector<bool> used(seg.frames.size(), false);

  // Depth of pixel (c, r) along the segmentation's normal: d0 + c*dc + r*dr.
  const double d0 = Dot(plane.origin, axes.normal);
  const double dc = plane.columnSpacing * Dot(plane.row, axes.normal);
  const double dr = plane.rowSpacing * Dot(plane.column, axes.normal);
  // The group nearest depth d (binary search: hostile files may hold many).
  const auto nearest = [&](double d) {
    const auto it = std::lower_bound(merged.begin(), merged.end(), d,
                                     [](const DepthGroup& g, double v) { return g.depth < v; });
    size_t g = size_t(it - merged.begin());
    if (g == merged.size() || (g > 0 && d - merged[g - 1].depth < merged[g].depth - d - 1e-9)) --g;
    return g;
  };
  const double span = std::fabs(dc) * plane.columns + std::fabs(dr) * plane.rows;
  if (span < 1e-6) {
    // Parallel to the segmentation's frames: one depth for the whole plane.
    const size_t g = nearest(d0);
    if (!inSlab(d0 - merged[g].depth)) return out;
    for (size_t k : merged[g].frames) {
      size_t segment = 0;
      build.SegmentOf(k, segment);
      build.Whole(k, segment, maps[k]);
      used[k] = true;
    }
  } else {
    for (int r = 0; r < plane.rows; ++r) {
      for (int c = 0; c < plane.columns; ++c) {
        const double d = d0 + c * dc + r * dr;
        const size_t g = nearest(d);
        if (!inSlab(d - merged[g].depth)) continue;
        if (!build.Spend(merged[g].frames.size())) break;
        for (size_t k : merged[g].frames) {
          size_t segment = 0;
          build.SegmentOf(k, segment);
          build.One(k, segment, maps[k], r, c);
          used[k] = true;
        }
      }
    }
  }
  out.matchedFrames += size_t(std::count(used.begin(), used.end(), true));
  if (build.Exhausted())
    out.notes.push_back(
        "the segmentation puts more segments or frames on one plane than are drawn");
  return out;
}

TStructureSetOnPlane StructureSetOnPlane(const TStructureSet& set, const TDisplayPlane& plane) {
  TStructureSetOnPlane out;
  if (!plane.hasGeometry || plane.rows <= 0 || plane.columns <= 0) return out;
  const Vec normal = Cross(plane.row, plane.column);
  const double half = 0.5 * Positive(plane.thickness, 1.0) + 1e-3;
  const double boundX = 10.0 * plane.columns, boundY = 10.0 * plane.rows;
  bool farOut = false, nonFinite = false;
  for (size_t i = 0; i < set.rois.size(); ++i) {
    const TRoi& roi = set.rois[i];
    if (!SameFrameOfReference(roi.frameOfReferenceUid, plane.frameOfReferenceUid)) continue;
    for (const TRoiContour& contour : roi.contours) {
      const bool named =
          !plane.sopInstanceUid.empty() && contour.imageSopUid == plane.sopInstanceUid;
      bool onPlane = true;
      size_t finite = 0;
      for (const Vec& p : contour.points) {
        if (!Finite(p)) continue;
        ++finite;
        if (std::fabs(Dot(Sub(p, plane.origin), normal)) > half) onPlane = false;
      }
      if (finite < contour.points.size()) nonFinite = true;
      if (finite == 0 || (!onPlane && !named)) continue;
      TContourOnPlane c;
      c.roi = i;
      if (contour.geometricType == "POINT")
        c.kind = TContourOnPlane::Point;
      else if (contour.geometricType.rfind("OPEN", 0) == 0)
        c.kind = TContourOnPlane::Open;
      c.points.reserve(finite);
      for (const Vec& p : contour.points) {
        if (!Finite(p)) continue;
        const Vec d = Sub(p, plane.origin);
        double x = Dot(d, plane.row) / plane.columnSpacing + 0.5;
        double y = Dot(d, plane.column) / plane.rowSpacing + 0.5;
        if (x < -boundX || x > plane.columns + boundX || y < -boundY || y > plane.rows + boundY) {
          farOut = true;
          x = std::clamp(x, -boundX, plane.columns + boundX);
          y = std::clamp(y, -boundY, plane.rows + boundY);
        }
        c.points.push_back({x, y});
      }
      out.contours.push_back(std::move(c));
    }
  }
  if (nonFinite) out.notes.push_back("contour points that are not numbers are left out");
  if (farOut)
    out.notes.push_back("contour points lie far outside the image; they are drawn at its bound");
  return out;
}
