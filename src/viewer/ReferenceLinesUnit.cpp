#include "viewer/ReferenceLinesUnit.h"

#include <algorithm>
#include <cmath>

#include "dicom/TreeRules.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

namespace {

using RL = TReferenceLine;

// Far outside any image, and far inside int: products of two such values
// and the centre offsets cannot overflow.
constexpr double kCoordLimit = double(1 << 28);

// Round to nearest, ties to even, kept within kCoordLimit (NaN gives 0).
int RoundEven(double v) {
  if (std::isnan(v)) return 0;
  return int(std::nearbyint(std::clamp(v, -kCoordLimit, kCoordLimit)));
}

int Trunc(double v) {
  if (std::isnan(v)) return 0;
  return int(std::trunc(std::clamp(v, -kCoordLimit, kCoordLimit)));
}

bool Finite(const Real_Point& p) {
  return std::isfinite(p.X) && std::isfinite(p.Y) && std::isfinite(p.Z);
}

// Points closer than this are one point: where a line passes through a
// corner, both edges of the corner report it.
constexpr double kSamePoint = 1e-6;

double DistanceSq(QPoint a, QPoint b) {
  const double dx = double(a.x()) - b.x(), dy = double(a.y()) - b.y();
  return dx * dx + dy * dy;
}
double DistanceSq(const Real_Point& a, const Real_Point& b) {
  const Real_Point d = RL::Subtract(a, b);
  return RL::Dot(d, d);
}

// A convex outline crossed by a line gives two points; rounding near a corner
// can give a third close to one of them. The two farthest apart, in the
// order found, are the chord.
template <typename P>
void KeepFarthestPair(std::vector<P>& pts) {
  if (pts.size() <= 2) return;
  size_t bi = 0, bj = 1;
  double best = -1;
  for (size_t i = 0; i < pts.size(); ++i)
    for (size_t j = i + 1; j < pts.size(); ++j) {
      const double d = DistanceSq(pts[i], pts[j]);
      if (d > best) {
        best = d;
        bi = i;
        bj = j;
      }
    }
  pts = {pts[bi], pts[bj]};
}

bool HasLine(const Shape& s) {
  return s.x1 != s.x2 || s.y1 != s.y2;
}

bool SameLine(const Shape& a, const Shape& b) {
  return a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2;
}

void ZeroLine(Shape& s) {
  s.x1 = s.x2 = s.y1 = s.y2 = 0;
}

}  // namespace

// ------------------------------------------------------------ vectors

Real_Point TReferenceLine::Subtract(const Real_Point& a, const Real_Point& b) {
  return {a.X - b.X, a.Y - b.Y, a.Z - b.Z};
}

Real_Point TReferenceLine::Add(const Real_Point& a, const Real_Point& b) {
  return {a.X + b.X, a.Y + b.Y, a.Z + b.Z};
}

Real_Point TReferenceLine::Scale(const Real_Point& a, double k) {
  return {a.X * k, a.Y * k, a.Z * k};
}

double TReferenceLine::Dot(const Real_Point& a, const Real_Point& b) {
  return a.X * b.X + a.Y * b.Y + a.Z * b.Z;
}

Real_Point TReferenceLine::Cross(const Real_Point& u, const Real_Point& v) {
  return {u.Y * v.Z - u.Z * v.Y, u.Z * v.X - u.X * v.Z, u.X * v.Y - u.Y * v.X};
}

double TReferenceLine::Length(const Real_Point& a) {
  return std::sqrt(Dot(a, a));
}

Real_Point TReferenceLine::Normalize(const Real_Point& a) {
  const double l = Length(a);
  if (!(l > 0)) return {};
  return Scale(a, 1.0 / l);
}

// ------------------------------------------------------------ 3-D steps

TImagePlane TReferenceLine::PlaneOf(const DICOMdata& g) {
  const auto& o = g.IMAGE_ORIENTATION_PATIENT;
  const Real_Point origin{g.image_Postion[0], g.image_Postion[1], g.image_Postion[2]};
  const Real_Point r{o[0], o[1], o[2]}, c{o[3], o[4], o[5]};
  // A spacing that is no length leaves the plane without extent: nothing cuts it.
  const auto extent = [](int count, double spacing) {
    return spacing > 0 && std::isfinite(spacing) ? std::max(count, 0) * spacing : 0.0;
  };
  TImagePlane p;
  p.O = origin;
  p.R = Add(origin, Scale(r, extent(g.XYZdim[0], g.XYZmm[0])));
  p.C = Add(origin, Scale(c, extent(g.XYZdim[1], g.XYZmm[1])));
  return p;
}

double TReferenceLine::LineDistance(const Real_Point& p0, const Real_Point& d1,
                                    const Real_Point& q0, const Real_Point& d2) {
  const Real_Point w = Subtract(q0, p0);
  const Real_Point n = Cross(d1, d2);
  const double nl = Length(n);
  if (nl > 0) return std::fabs(Dot(w, n)) / nl;
  // Parallel: the distance of q0 from the first line.
  const double dd = Dot(d1, d1);
  if (!(dd > 0)) return Length(w);
  return Length(Subtract(w, Scale(d1, Dot(w, d1) / dd)));
}

bool TReferenceLine::IntersectLineWithEdge(const Real_Point& p0, const Real_Point& p1,
                                           const Real_Point& q0, const Real_Point& q1,
                                           Real_Point& hit) {
  const Real_Point d1 = Subtract(p1, p0), d2 = Subtract(q1, q0);
  if (!(LineDistance(p0, d1, q0, d2) <= 0.0001)) return false;  // skew (or NaN)
  const Real_Point m = Cross(d1, d2);
  const double ax = std::fabs(m.X), ay = std::fabs(m.Y), az = std::fabs(m.Z);
  if (ax < 0.00001 && ay < 0.00001 && az < 0.00001) return false;  // parallel
  // Solve p0 + t d1 = q0 + u d2 in the coordinate plane where the lines
  // stand most apart: the axis of m's largest component is dropped.
  const Real_Point w = Subtract(q0, p0);
  double a1, a2, b1, b2, w1, w2;
  if (ax >= ay && ax >= az) {
    a1 = d1.Y, a2 = d1.Z, b1 = d2.Y, b2 = d2.Z, w1 = w.Y, w2 = w.Z;
  } else if (ay >= az) {
    a1 = d1.X, a2 = d1.Z, b1 = d2.X, b2 = d2.Z, w1 = w.X, w2 = w.Z;
  } else {
    a1 = d1.X, a2 = d1.Y, b1 = d2.X, b2 = d2.Y, w1 = w.X, w2 = w.Y;
  }
  // t a - u b = w
  const double det = -a1 * b2 + a2 * b1;
  if (det == 0) return false;
  const double t = (-w1 * b2 + w2 * b1) / det;
  // The ends belong to the edge: a line through a corner is not lost.
  constexpr double eps = 1e-9;
  if (!(t >= -eps && t <= 1 + eps)) return false;
  hit = Add(p0, Scale(d1, std::clamp(t, 0.0, 1.0)));
  return Finite(hit);
}

bool TReferenceLine::ClipLineToPolygon(const array_Real_Point& polygon, const Real_Point& l0,
                                       const Real_Point& l1, array_Real_Point& hits) {
  hits.clear();
  const size_t n = polygon.size();
  for (size_t i = 0; i < n; ++i) {
    Real_Point p;
    if (!IntersectLineWithEdge(polygon[i], polygon[(i + 1) % n], l0, l1, p)) continue;
    const bool known = std::any_of(hits.begin(), hits.end(), [&](const Real_Point& h) {
      return DistanceSq(h, p) <= kSamePoint * kSamePoint;
    });
    if (!known) hits.push_back(p);
  }
  KeepFarthestPair(hits);
  return hits.size() > 1;
}

bool TReferenceLine::IntersectPlanes(const TImagePlane& dst, const TImagePlane& src, Real_Point& e0,
                                     Real_Point& e1) {
  for (const Real_Point* p : {&dst.O, &dst.R, &dst.C, &src.O, &src.R, &src.C})
    if (!Finite(*p)) return false;
  Real_Point a = Subtract(dst.R, dst.O), b = Subtract(dst.C, dst.O);
  const Real_Point n = Cross(Subtract(src.R, src.O), Subtract(src.C, src.O));
  double ka = Dot(n, a), kb = Dot(n, b);
  if (std::fabs(ka) <= 0.000001) {
    if (std::fabs(kb) <= 0.000001) return false;  // parallel planes
    std::swap(a, b);
    std::swap(ka, kb);
  }
  // L0 and L1: the points of the destination plane at 0 and at 1 along b
  // that lie in the source plane.
  const double t = Dot(n, Subtract(src.C, dst.O)) / ka;
  const double s = -kb / ka;
  const Real_Point l0 = Add(dst.O, Scale(a, t));
  const Real_Point l1 = Add(Add(l0, b), Scale(a, s));
  if (!Finite(l0) || !Finite(l1)) return false;

  array_Real_Point hits;
  const auto clip = [&](const TImagePlane& p) {
    const array_Real_Point poly{p.O, p.R, Subtract(Add(p.R, p.C), p.O), p.C};
    return ClipLineToPolygon(poly, l0, l1, hits);
  };
  if (!clip(dst) && !clip(src)) return false;
  e0 = hits[0];
  e1 = hits[1];
  return true;
}

bool TReferenceLine::ProjectOntoImage(const TImagePlane& src, const DICOMdata& dst, QPoint& a,
                                      QPoint& b) {
  const TImagePlane d = PlaneOf(dst);
  Real_Point e0, e1;
  if (!IntersectPlanes(d, src, e0, e1)) {
    a = b = QPoint(-1, -1);
    return false;
  }
  const Real_Point ur = Normalize(Subtract(d.R, d.O)), uc = Normalize(Subtract(d.C, d.O));
  const auto inPlane = [&](const Real_Point& e) {
    const Real_Point v = Subtract(e, d.O);
    return QPoint(RoundEven(Dot(v, ur)), RoundEven(Dot(v, uc)));
  };
  a = inPlane(e0);
  b = inPlane(e1);
  return true;
}

// ------------------------------------------------------------ 2-D steps

bool TReferenceLine::IntersectLines2D(QPoint a0, QPoint a1, QPoint b0, QPoint b1, QPoint& at) {
  // Each line as A x + B y + C = 0.
  const double A1 = double(a1.y()) - a0.y(), B1 = double(a0.x()) - a1.x();
  const double C1 = double(a1.x()) * a0.y() - double(a0.x()) * a1.y();
  const double A2 = double(b1.y()) - b0.y(), B2 = double(b0.x()) - b1.x();
  const double C2 = double(b1.x()) * b0.y() - double(b0.x()) * b1.y();
  const double det = A1 * B2 - A2 * B1;  // exact: the coordinates are small integers
  if (det == 0) return false;            // same slope, or a line of one point
  at = QPoint(RoundEven((-C1 * B2 + C2 * B1) / det), RoundEven((-A1 * C2 + A2 * C1) / det));
  return true;
}

bool TReferenceLine::ClipLineToRectangle(QPoint p0, QPoint p1, int Wb, int Hb, array_TPoint& hits) {
  hits.clear();
  const QPoint corner[4] = {{0, 0}, {Wb, 0}, {Wb, Hb}, {0, Hb}};
  for (int i = 0; i < 4; ++i) {
    const QPoint e0 = corner[i], e1 = corner[(i + 1) % 4];
    QPoint at;
    if (!IntersectLines2D(e0, e1, p0, p1, at)) continue;
    const bool onEdge = at.x() >= std::min(e0.x(), e1.x()) && at.x() <= std::max(e0.x(), e1.x()) &&
                        at.y() >= std::min(e0.y(), e1.y()) && at.y() <= std::max(e0.y(), e1.y());
    if (onEdge && std::find(hits.begin(), hits.end(), at) == hits.end()) hits.push_back(at);
  }
  KeepFarthestPair(hits);
  return hits.size() > 1;
}

bool TReferenceLine::FitLineToImage(double& px, double& py, double& px1, double& py1, int Wb,
                                    int Hb, double f) {
  px = RoundEven(px);
  py = RoundEven(py);
  px1 = RoundEven(px1);
  py1 = RoundEven(py1);
  array_TPoint c;
  if (!ClipLineToRectangle(QPoint(int(px), int(py)), QPoint(int(px1), int(py1)), Wb, Hb, c))
    return false;
  const double dx = double(c[1].x()) - c[0].x(), dy = double(c[1].y()) - c[0].y();
  px = RoundEven(c[0].x() + f * dx);
  py = RoundEven(c[0].y() + f * dy);
  px1 = RoundEven(c[0].x() + (1 - f) * dx);
  py1 = RoundEven(c[0].y() + (1 - f) * dy);
  return true;
}

// ------------------------------------------------------------ the whole step

TReferenceLine::Outcome TReferenceLine::ComputeScan(const DICOMdata& src, const DICOMdata& dst,
                                                    TScan& scan) {
  if (src.XYZmm[0] == -1 || src.XYZmm[1] == -1) return Outcome::NoSourceSpacing;
  const TImagePlane s = PlaneOf(src);
  scan.Checked =
      SameStudy(dst, src) && dst.IMAGE_ORIENTATION_PATIENT != src.IMAGE_ORIENTATION_PATIENT;
  QPoint a, b;
  const bool found = ProjectOntoImage(s, dst, a, b);
  scan.x = a.x();
  scan.y = a.y();
  scan.x1 = b.x();
  scan.y1 = b.y();
  ZeroLine(scan.ReferenceLine);
  scan.ReferenceLine.shapeType = STLine;
  if (!found) return Outcome::NoSegment;
  if (!scan.Checked) return Outcome::NotApplicable;

  const double sx = dst.XYZmm[0], sy = dst.XYZmm[1];
  if (!(sx > 0 && sy > 0 && std::isfinite(sx) && std::isfinite(sy))) return Outcome::NoSegment;
  double px = scan.x / sx, py = scan.y / sy, px1 = scan.x1 / sx, py1 = scan.y1 / sy;
  // The line lives in the unturned image, whatever turn the cell shows: its
  // size is the header's, not that of the turned bitmap.
  const int Wb = std::max(dst.XYZdim[0], 0), Hb = std::max(dst.XYZdim[1], 0);
  const double f = dst.ImageNum % 2 != 0 ? 0.12 : 0.1;
  FitLineToImage(px, py, px1, py1, Wb, Hb, f);
  Shape& r = scan.ReferenceLine;
  r.x1 = Trunc(px - Wb / 2.0);
  r.y1 = Trunc(py - Hb / 2.0);
  r.x2 = Trunc(px1 - Wb / 2.0);
  r.y2 = Trunc(py1 - Hb / 2.0);
  return HasLine(r) ? Outcome::Line : Outcome::NoSegment;
}

// ------------------------------------------------------------ cells

void TReferenceLine::image_process_ReferenceLines(TadvancedImage* srcAdvImg,
                                                  TadvancedImage* destAdvImg) {
  if (!srcAdvImg || !destAdvImg) return;
  // The cells of one multiplanar view show each other's planes as their
  // crosshair already.
  if (srcAdvImg->IsMpr() && destAdvImg->IsMpr() &&
      srcAdvImg->Mpr()->link == destAdvImg->Mpr()->link) {
    ZeroLine(destAdvImg->Scan.ReferenceLine);
    return;
  }
  const DICOMdata& src = srcAdvImg->gDicomData;
  if (ComputeScan(src, destAdvImg->gDicomData, destAdvImg->Scan) != Outcome::NoSourceSpacing) {
    FLastReported.clear();
    return;
  }
  ReportNoSpacing(src);
}

void TReferenceLine::ReportNoSpacing(const DICOMdata& src) {
  // Once per source series: the pass over the grid and every step through
  // the series would otherwise repeat it.
  const std::string key =
      src.Series_Instance_UID.empty() ? src.referenceFile : src.Series_Instance_UID.str();
  if (key == FLastReported && !key.empty()) return;
  FLastReported = key;
  if (FDeferMessage)
    FMessagePending = true;
  else if (OnMessage)
    OnMessage(QString::fromLatin1(kNoSpacingMessage));
}

void TReferenceLine::Reference_Lines_Clear(TadvancedImage* advImg) {
  if (!advImg) return;
  ZeroLine(advImg->Scan.ReferenceLine);
  advImg->RenderViewer();
}

void TReferenceLine::update_ReferenceLines(const std::vector<std::vector<TadvancedImage*>>& cells,
                                           TadvancedImage* active) {
  // Each cell is drawn again only when its line changed.
  const auto redo = [](TadvancedImage* cell, auto&& compute) {
    const Shape before = cell->Scan.ReferenceLine;
    ZeroLine(cell->Scan.ReferenceLine);
    compute(cell);
    if (!SameLine(before, cell->Scan.ReferenceLine)) cell->RenderViewer();
  };
  // Switched off, or nothing to cut with: no cell keeps a line (one left
  // from an image that is gone would point at the wrong place).
  if (!gShowReferenceLines || !active || !active->HasImage) {
    for (const auto& row : cells)
      for (TadvancedImage* cell : row)
        if (cell) redo(cell, [](TadvancedImage*) {});
    return;
  }
  ZeroLine(active->Scan.ReferenceLine);
  // A modal message in the middle of the pass would leave half the grid stale
  // behind it.
  FDeferMessage = true;
  FMessagePending = false;
  struct EndDeferral {
    bool& flag;
    ~EndDeferral() { flag = false; }
  } endDeferral{FDeferMessage};
  for (const auto& row : cells)
    for (TadvancedImage* cell : row) {
      if (!cell) continue;
      redo(cell, [&](TadvancedImage* c) {
        if (!c->HasImage) return;
        try {
          image_process_ReferenceLines(active, c);
        } catch (...) {
          // This cell shows no line; the others are still brought up to date.
          ZeroLine(c->Scan.ReferenceLine);
        }
      });
    }
  FDeferMessage = false;
  if (FMessagePending && OnMessage) OnMessage(QString::fromLatin1(kNoSpacingMessage));
  FMessagePending = false;
}
