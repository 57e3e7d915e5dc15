#include "viewer/Orientation.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "viewer/RotateTRansform.h"

namespace {

// Round to nearest, ties to even (quotients of integers by the zoom are
// correctly rounded in double, so ties land exactly where they should),
// limited to int: points far off the image, at any zoom, stay representable.
int RoundClamped(double x) {
  if (!(x > INT_MIN)) return INT_MIN;  // also NaN
  if (x >= INT_MAX) return INT_MAX;
  return int(std::rint(x));
}

// The turn of a state as a matrix: (u, v) = (m[0] a + m[1] b, m[2] a + m[3] b).
// A state outside the eight reachable ones maps as the identity.
struct Turn {
  int m[4];
};

Turn TurnOf(const OrientationState& s) {
  switch (s.Top) {
    case DrTop:
      return s.Right == DrLeft ? Turn{{-1, 0, 0, 1}} : Turn{{1, 0, 0, 1}};
    case DrBottom:
      return s.Right == DrLeft ? Turn{{-1, 0, 0, -1}} : Turn{{1, 0, 0, -1}};
    case DrLeft:
      if (s.Right == DrTop) return Turn{{0, -1, 1, 0}};
      if (s.Right == DrBottom) return Turn{{0, 1, 1, 0}};
      break;
    case DrRight:
      if (s.Right == DrBottom) return Turn{{0, 1, -1, 0}};
      if (s.Right == DrTop) return Turn{{0, -1, -1, 0}};
      break;
  }
  return Turn{{1, 0, 0, 1}};
}

}  // namespace

void RotateOrientation(OrientationState& s, RotateAngels angel) {
  const OrientationState o = s;
  switch (angel) {
    case Angel90:
      s.Top = o.Left;
      s.Right = o.Top;
      s.Bottom = o.Right;
      s.Left = o.Bottom;
      break;
    case Angel180:
      std::swap(s.Top, s.Bottom);
      std::swap(s.Right, s.Left);
      break;
    case Angel270:
      s.Top = o.Right;
      s.Right = o.Bottom;
      s.Bottom = o.Left;
      s.Left = o.Top;
      break;
  }
}

void FlipOrientation(OrientationState& s, FlipTypes fType) {
  if (fType == flHorizontal)
    std::swap(s.Right, s.Left);
  else
    std::swap(s.Top, s.Bottom);
}

float RotationRads(RotateAngels angel) {
  switch (angel) {
    case Angel90:
      return 1.5707964f;
    case Angel180:
      return 3.1415927f;
    case Angel270:
      return 4.712389f;
  }
  return 0.0f;
}

std::vector<OrientationStep> OrientationSteps(const OrientationState& s) {
  auto rotate = [](RotateAngels a) { return OrientationStep{false, a, flHorizontal}; };
  auto flip = [](FlipTypes f) { return OrientationStep{true, Angel90, f}; };
  std::vector<OrientationStep> steps;
  switch (s.Top) {
    case DrTop:
      break;
    case DrRight:
      steps.push_back(rotate(Angel270));
      if (s.Right == DrTop) steps.push_back(flip(flHorizontal));
      return steps;
    case DrBottom:
      steps.push_back(flip(flVertical));
      break;
    case DrLeft:
      steps.push_back(rotate(Angel90));
      if (s.Right == DrBottom) steps.push_back(flip(flHorizontal));
      return steps;
  }
  if (s.Right == DrLeft) steps.push_back(flip(flHorizontal));
  return steps;
}

void ApplyOrientationToBitmap(QImage& bmp, const OrientationState& s) {
  for (const OrientationStep& st : OrientationSteps(s)) {
    if (st.isFlip)
      TTransform2::FlipBitmapPLG(
          bmp, st.flip == flHorizontal ? FlipMode::HORIZONTAL : FlipMode::VERTICAL);
    else
      TTransform2::RotateBitmapPLG(bmp, RotationRads(st.angel), true, Qt::black);
  }
}

QPoint ImageToView(const OrientationState& s, int zoomFactor, QPoint imageCenter, QPoint p) {
  const Turn t = TurnOf(s);
  const double u = double(t.m[0]) * p.x() + double(t.m[1]) * p.y();
  const double v = double(t.m[2]) * p.x() + double(t.m[3]) * p.y();
  const double z = std::max(zoomFactor, 1);
  // Rounded before the shift, as the shift is whole pixels.
  return QPoint(RoundClamped(std::rint(u * z / 100) + imageCenter.x()),
                RoundClamped(std::rint(v * z / 100) + imageCenter.y()));
}

QPoint ViewToImage(const OrientationState& s, int zoomFactor, QPoint imageCenter, QPoint p) {
  const double z = std::max(zoomFactor, 1);
  const double u = std::rint((double(p.x()) - imageCenter.x()) * 100 / z);
  const double v = std::rint((double(p.y()) - imageCenter.y()) * 100 / z);
  // Every turn matrix is orthogonal, so its inverse is its transpose.
  const Turn t = TurnOf(s);
  return QPoint(RoundClamped(t.m[0] * u + t.m[2] * v), RoundClamped(t.m[1] * u + t.m[3] * v));
}

void DirectionLetters(double x, double y, double z, QString& toward, QString& away) {
  const char pos[3] = {x < 0 ? 'R' : 'L', y < 0 ? 'A' : 'P', z < 0 ? 'F' : 'H'};
  const auto opposite = [](char l) {
    switch (l) {
      case 'R':
        return 'L';
      case 'L':
        return 'R';
      case 'A':
        return 'P';
      case 'P':
        return 'A';
      case 'F':
        return 'H';
      default:
        return 'F';
    }
  };
  double a[3] = {std::fabs(x), std::fabs(y), std::fabs(z)};
  for (int round = 0; round < 3; ++round) {
    int pick = -1;
    for (int i = 0; i < 3; ++i)
      if (a[i] > 0.0001 && a[i] > a[(i + 1) % 3] && a[i] > a[(i + 2) % 3]) pick = i;
    if (pick < 0) break;
    toward += QLatin1Char(pos[pick]);
    away += QLatin1Char(opposite(pos[pick]));
    a[pick] = 0;
  }
}
