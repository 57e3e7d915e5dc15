// The reference-line geometry on headers alone: planes of real orientations,
// the clip to the destination image and the cases that give no line.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <utility>

#include "viewer/ReferenceLinesUnit.h"

namespace {

using RL = TReferenceLine;

DICOMdata Plane(std::array<double, 3> pos, std::array<double, 6> cosines, int cols, int rows,
                double colSpacing = 1, double rowSpacing = 1, int imageNum = 2,
                const std::string& study = "1.2.3") {
  DICOMdata g;
  g.image_Postion = pos;
  g.IMAGE_ORIENTATION_PATIENT = cosines;
  g.XYZdim = {cols, rows, 1, 1};
  g.XYZmm = {colSpacing, rowSpacing, 1};
  g.ImageNum = imageNum;
  g.Study_Instance_UID = study;
  return g;
}

// 256 x 256 slices of 1 mm centred on the patient axis.
DICOMdata Axial(double z, std::string study = "1.2.3") {
  return Plane({-128, -128, z}, {1, 0, 0, 0, 1, 0}, 256, 256, 1, 1, 7, study);
}
DICOMdata Coronal(int imageNum) {
  return Plane({-128, 0, 128}, {1, 0, 0, 0, 0, -1}, 256, 256, 1, 1, imageNum);
}
DICOMdata Sagittal(int imageNum) {
  return Plane({0, -128, 128}, {0, 1, 0, 0, 0, -1}, 256, 256, 1, 1, imageNum);
}

using Ends = std::set<std::pair<int, int>>;
Ends EndsOf(const Shape& s) {
  return {{s.x1, s.y1}, {s.x2, s.y2}};
}

}  // namespace

TEST(ReferenceGeometry, AxialOnLocalizersCrossesThemShortenedByInstanceNumber) {
  // z = 20 lies 108 rows below the top (z = 128) of both localizers.
  for (const DICOMdata& dst : {Coronal(2), Sagittal(2)}) {
    TScan scan;
    ASSERT_EQ(RL::ComputeScan(Axial(20), dst, scan), RL::Outcome::Line);
    EXPECT_TRUE(scan.Checked);
    EXPECT_EQ((Ends{{int(scan.x), int(scan.y)}, {int(scan.x1), int(scan.y1)}}),
              (Ends{{0, 108}, {256, 108}}));
    // Across the image with 10 % off each end: columns 26 to 230.
    EXPECT_EQ(EndsOf(scan.ReferenceLine), (Ends{{102, -20}, {-102, -20}}));
  }
  TScan odd;
  ASSERT_EQ(RL::ComputeScan(Axial(20), Coronal(3), odd), RL::Outcome::Line);
  EXPECT_EQ(EndsOf(odd.ReferenceLine), (Ends{{97, -20}, {-97, -20}}));  // 12 %: 31 to 225
}

TEST(ReferenceGeometry, TiltedSourceGivesASlantedLine) {
  // A slice tilted about the patient's x axis (tan = 1/4) through the origin
  // cuts the sagittal plane along z = y / 4: rows 160 at the front edge to 96
  // at the back edge.
  const double c = 4 / std::sqrt(17.0), s = 1 / std::sqrt(17.0);
  const DICOMdata tilted = Plane({-128, -128 * c, -128 * s}, {1, 0, 0, 0, c, s}, 256, 256, 1, 1, 7);
  TScan scan;
  ASSERT_EQ(RL::ComputeScan(tilted, Sagittal(2), scan), RL::Outcome::Line);
  EXPECT_EQ((Ends{{int(scan.x), int(scan.y)}, {int(scan.x1), int(scan.y1)}}),
            (Ends{{0, 160}, {256, 96}}));
  // (26, 154) to (230, 102), less the centre.
  EXPECT_EQ(EndsOf(scan.ReferenceLine), (Ends{{-102, 26}, {102, -26}}));
}

TEST(ReferenceGeometry, NoLineWithoutACutOfBothImagesInOneStudy) {
  TScan scan;
  scan.ReferenceLine.x1 = 5;
  // The same orientation (the active cell itself, or its series).
  EXPECT_EQ(RL::ComputeScan(Axial(20), Axial(40), scan), RL::Outcome::NoSegment);
  EXPECT_FALSE(scan.Checked);
  EXPECT_EQ(EndsOf(scan.ReferenceLine), (Ends{{0, 0}}));
  // Another study.
  EXPECT_EQ(RL::ComputeScan(Axial(20, "9.9"), Coronal(2), scan), RL::Outcome::NotApplicable);
  EXPECT_FALSE(scan.Checked);
  EXPECT_EQ(EndsOf(scan.ReferenceLine), (Ends{{0, 0}}));
  // Parallel planes that do not share their cosines (rows run the other way).
  const DICOMdata mirrored = Plane({128, -128, 50}, {-1, 0, 0, 0, 1, 0}, 256, 256, 1, 1, 2);
  EXPECT_EQ(RL::ComputeScan(Axial(20), mirrored, scan), RL::Outcome::NoSegment);
  // The planes cut beyond both images: above the localizer, and in front of the slice.
  const DICOMdata high = Plane({-128, 10, 500}, {1, 0, 0, 0, 1, 0}, 256, 256, 1, 1, 7);
  EXPECT_EQ(RL::ComputeScan(high, Coronal(2), scan), RL::Outcome::NoSegment);
  // A destination without spacing cannot place the line.
  DICOMdata flat = Coronal(2);
  flat.XYZmm = {0, 0, 1};
  EXPECT_EQ(RL::ComputeScan(Axial(20), flat, scan), RL::Outcome::NoSegment);
}

TEST(ReferenceGeometry, SourceWithoutSpacingLeavesTheScanAlone) {
  DICOMdata src = Axial(20);
  src.XYZmm[1] = -1;
  TScan scan;
  scan.x = 3;
  scan.ReferenceLine.x1 = 4;
  EXPECT_EQ(RL::ComputeScan(src, Coronal(2), scan), RL::Outcome::NoSourceSpacing);
  EXPECT_EQ(scan.x, 3);
  EXPECT_EQ(scan.ReferenceLine.x1, 4);
}

TEST(ReferenceGeometry, NonSquareDestinationUsesItsOwnExtentAndSpacing) {
  // 256 columns of 1 mm by 128 rows of 2 mm: z = 20 is row 54 of 128.
  const DICOMdata wide = Plane({-128, 0, 128}, {1, 0, 0, 0, 0, -1}, 256, 128, 1, 2, 2);
  TScan scan;
  ASSERT_EQ(RL::ComputeScan(Axial(20), wide, scan), RL::Outcome::Line);
  EXPECT_EQ(EndsOf(scan.ReferenceLine), (Ends{{102, -10}, {-102, -10}}));
}

TEST(ReferenceGeometry, LinesThroughCornersKeepTwoEnds) {
  // The diagonal of the image: top and left edges both report (0, 0).
  array_TPoint hits;
  ASSERT_TRUE(RL::ClipLineToRectangle({0, 0}, {10, 10}, 100, 100, hits));
  EXPECT_EQ(hits, (array_TPoint{{0, 0}, {100, 100}}));
  double px = 0, py = 0, px1 = 10, py1 = 10;
  ASSERT_TRUE(RL::FitLineToImage(px, py, px1, py1, 100, 100, 0.1));
  EXPECT_EQ((Ends{{int(px), int(py)}, {int(px1), int(py1)}}), (Ends{{10, 10}, {90, 90}}));
  // A line that only touches a corner is no chord.
  EXPECT_FALSE(RL::ClipLineToRectangle({-5, 5}, {5, -5}, 100, 100, hits));

  // In patient space: the diagonal of a square crosses it at two corners.
  const array_Real_Point square{{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {0, 10, 0}};
  array_Real_Point cut;
  ASSERT_TRUE(RL::ClipLineToPolygon(square, {-1, -1, 0}, {1, 1, 0}, cut));
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_NEAR(RL::Length(RL::Subtract(cut[0], cut[1])), std::sqrt(200.0), 1e-9);
  // A slice cutting the localizer exactly through its corner row still
  // gives its line across.
  TScan scan;
  ASSERT_EQ(RL::ComputeScan(Axial(128), Coronal(2), scan), RL::Outcome::Line);
  EXPECT_EQ(EndsOf(scan.ReferenceLine), (Ends{{102, -128}, {-102, -128}}));
}

TEST(ReferenceGeometry, TwoDimensionalSteps) {
  QPoint at;
  EXPECT_FALSE(RL::IntersectLines2D({0, 0}, {10, 0}, {0, 5}, {10, 5}, at));  // parallel
  EXPECT_FALSE(RL::IntersectLines2D({0, 0}, {10, 0}, {3, 3}, {3, 3}, at));   // one point
  ASSERT_TRUE(RL::IntersectLines2D({0, 0}, {10, 0}, {5, -5}, {6, 5}, at));
  EXPECT_EQ(at, QPoint(6, 0));  // 5.5 rounds to even
  // A line that misses the image stays as it was, rounded.
  double px = 10.4, py = -20.5, px1 = 30.6, py1 = -20.5;
  EXPECT_FALSE(RL::FitLineToImage(px, py, px1, py1, 100, 100, 0.1));
  EXPECT_EQ(px, 10);
  EXPECT_EQ(py, -20);
  EXPECT_EQ(px1, 31);
  // Far-away ends do not overflow.
  px = -1e12, py = 50, px1 = 1e12, py1 = 50;
  ASSERT_TRUE(RL::FitLineToImage(px, py, px1, py1, 100, 100, 0.1));
  EXPECT_EQ((Ends{{int(px), int(py)}, {int(px1), int(py1)}}), (Ends{{10, 50}, {90, 50}}));
}

TEST(ReferenceGeometry, EdgeIntersectionInSpace) {
  Real_Point hit;
  // Crossing lines in a plane that is not a coordinate plane.
  ASSERT_TRUE(RL::IntersectLineWithEdge({0, 0, 0}, {10, 10, 10}, {0, 10, 0}, {10, 0, 10}, hit));
  EXPECT_NEAR(hit.X, 5, 1e-12);
  EXPECT_NEAR(hit.Y, 5, 1e-12);
  EXPECT_NEAR(hit.Z, 5, 1e-12);
  // Skew lines, and a crossing beyond the edge's ends.
  EXPECT_FALSE(RL::IntersectLineWithEdge({0, 0, 0}, {10, 0, 0}, {5, -1, 1}, {5, 1, 1}, hit));
  EXPECT_FALSE(RL::IntersectLineWithEdge({0, 0, 0}, {10, 0, 0}, {20, -1, 0}, {20, 1, 0}, hit));
  EXPECT_NEAR(RL::LineDistance({0, 0, 0}, {1, 0, 0}, {0, 3, 4}, {1, 0, 0}), 5, 1e-12);
  EXPECT_NEAR(RL::LineDistance({0, 0, 0}, {1, 0, 0}, {5, -1, 2}, {0, 1, 0}), 2, 1e-12);
  const Real_Point n = RL::Cross({1, 0, 0}, {0, 1, 0});
  EXPECT_EQ(n.Z, 1);
  const Real_Point zero = RL::Normalize({0, 0, 0});
  EXPECT_EQ(RL::Length(zero), 0);
}
