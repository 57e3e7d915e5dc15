// Segmentations and structure sets placed on a displayed plane: frames found
// by their source image or by position (the half-slice bound on both sides),
// resampled into another pixel grid, read across an oblique plane; contours
// on their own slice only, in pixel-edge coordinates, and bad geometry drawn
// as far as it goes with one note.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "derived/OverlayPlanes.h"
#include "dicom/PerFrameGroups.h"
#include "dicom/define_types.h"

namespace {

// An axial segmentation of 4 x 4 pixels of 1 mm, one frame per entry of
// `zs`: frame k belongs to segment k % 2 + 1, comes from image "img.<k+1>"
// (when referenced) and sets the pixels `set(k, r, c)` says.
template <class Set>
TSegmentation MakeSeg(const std::vector<double>& zs, bool referenced, Set set,
                      bool fractional = false) {
  TSegmentation seg;
  seg.frameOfReferenceUid = "for.1";
  seg.rows = seg.columns = 4;
  seg.fractional = fractional;
  seg.maxFractional = fractional ? 100 : 1;
  seg.hasOrientation = true;
  seg.orientation = {1, 0, 0, 0, 1, 0};
  seg.hasSpacing = true;
  seg.spacing = {1, 1};
  seg.segments = {{1, "A", false, {255, 0, 0}}, {2, "B", false, {0, 255, 0}}};
  const size_t count = 16;
  std::vector<uint8_t> values(zs.size() * count, 0);
  for (size_t k = 0; k < zs.size(); ++k) {
    TSegmentFrame f;
    f.segment = int(k % 2) + 1;
    if (referenced) {
      f.sourceSopUid = "img." + std::to_string(k + 1);
      f.sourceFrame = 1;
    }
    f.hasPosition = true;
    f.position = {0, 0, zs[k]};
    seg.frames.push_back(f);
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) values[k * count + size_t(r * 4 + c)] = set(int(k), r, c);
  }
  if (fractional) {
    seg.pixels = values;
  } else {
    seg.pixels.assign((values.size() + 7) / 8, 0);
    for (size_t i = 0; i < values.size(); ++i)
      if (values[i]) seg.pixels[i / 8] |= uint8_t(1u << (i % 8));
  }
  return seg;
}

TDisplayPlane Axial(double z, int size = 4, double spacing = 1, const std::string& sop = "") {
  TDisplayPlane p;
  p.hasGeometry = true;
  p.origin = {0, 0, z};
  p.row = {1, 0, 0};
  p.column = {0, 1, 0};
  p.columnSpacing = p.rowSpacing = spacing;
  p.thickness = 2;
  p.rows = p.columns = size;
  p.frameOfReferenceUid = "for.1";
  p.sopInstanceUid = sop;
  return p;
}

const TSegmentCoverage* Find(const TSegmentationOnPlane& on, size_t segment) {
  for (const TSegmentCoverage& s : on.segments)
    if (s.segment == segment) return &s;
  return nullptr;
}

// Frame k: the pixels of column k, so each frame is told apart.
uint8_t ColumnOfFrame(int k, int, int c) {
  return c == k;
}

TEST(SegmentationOnPlane, ReferencedFramesAreCopiedAndOthersLeftOut) {
  const TSegmentation seg = MakeSeg({0, 2, 4}, true, ColumnOfFrame);
  // The second image's frame, found by its UID whatever the plane's position.
  const TSegmentationOnPlane on = SegmentationOnPlane(seg, Axial(100, 4, 1, "img.2"));
  EXPECT_EQ(on.matchedFrames, 1u);
  ASSERT_EQ(on.segments.size(), 1u);
  EXPECT_EQ(on.segments[0].segment, 1u);  // frame 2 is segment 2
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      EXPECT_EQ(on.segments[0].coverage[size_t(r * 4 + c)], c == 1 ? 255 : 0) << r << "," << c;

  // Another frame of that image is not the one referenced.
  TDisplayPlane frame2 = Axial(100, 4, 1, "img.2");
  frame2.frame = 2;
  EXPECT_EQ(SegmentationOnPlane(seg, frame2).matchedFrames, 0u);
  EXPECT_TRUE(SegmentationOnPlane(seg, Axial(100, 4, 1, "other")).segments.empty());

  // A referenced image of another matrix size: placed through patient
  // coordinates (seg column 1 spans x 0.5 .. 1.5 mm, target columns 1 and 2)...
  const TSegmentationOnPlane big = SegmentationOnPlane(seg, Axial(2, 8, 0.5, "img.2"));
  ASSERT_EQ(big.segments.size(), 1u);
  for (int c = 0; c < 8; ++c)
    EXPECT_EQ(big.segments[0].coverage[size_t(c)], c == 1 || c == 2 ? 255 : 0) << c;
  // ... or, without a position, as the same field of view scaled.
  TSegmentation unplaced = seg;
  for (TSegmentFrame& f : unplaced.frames) f.hasPosition = false;
  const TSegmentationOnPlane scaled = SegmentationOnPlane(unplaced, Axial(2, 8, 0.5, "img.2"));
  ASSERT_EQ(scaled.segments.size(), 1u);
  for (int c = 0; c < 8; ++c)
    EXPECT_EQ(scaled.segments[0].coverage[size_t(c)], c / 2 == 1 ? 255 : 0) << c;
}

TEST(SegmentationOnPlane, FractionalValuesScaleToCoverage) {
  const TSegmentation seg = MakeSeg(
      {0}, true, [](int, int r, int c) { return uint8_t(r == 0 ? c * 50 : 0); }, true);
  const TSegmentationOnPlane on = SegmentationOnPlane(seg, Axial(0, 4, 1, "img.1"));
  ASSERT_EQ(on.segments.size(), 1u);
  // 0, 50, 100 of 100, and 150 held to the maximum.
  EXPECT_EQ(on.segments[0].coverage[0], 0);
  EXPECT_EQ(on.segments[0].coverage[1], 128);
  EXPECT_EQ(on.segments[0].coverage[2], 255);
  EXPECT_EQ(on.segments[0].coverage[3], 255);
}

TEST(SegmentationOnPlane, PositionMatchWithinHalfASlice) {
  TSegmentation seg = MakeSeg({0, 2, 4}, false, ColumnOfFrame);
  seg.sliceThickness = 2;
  const auto columnSet = [](const TSegmentationOnPlane& on, size_t segment) {
    int found = -1;
    if (const TSegmentCoverage* s = Find(on, segment))
      for (int c = 0; c < 4; ++c)
        if (s->coverage[size_t(c)]) found = c;
    return found;
  };
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(2)), 1), 1);
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(2.99)), 1), 1);  // inside half a slice
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(1.01)), 1), 1);
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(3.01)), 0), 2);  // nearer frame 3
  // On a boundary between two slabs: one of them, never both, never neither.
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(1)), 1), 1);
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(1)), 0), -1);
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(3)), 0), 2);
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(3)), 1), -1);
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(-1)), 0), 0);
  EXPECT_TRUE(SegmentationOnPlane(seg, Axial(5)).segments.empty());
  EXPECT_TRUE(SegmentationOnPlane(seg, Axial(5.2)).segments.empty());  // past the last frame
  EXPECT_TRUE(SegmentationOnPlane(seg, Axial(-1.2)).segments.empty());

  // Without a thickness the frames' spacing bounds it.
  seg.sliceThickness = 0;
  EXPECT_EQ(columnSet(SegmentationOnPlane(seg, Axial(4.9)), 0), 2);
  EXPECT_TRUE(SegmentationOnPlane(seg, Axial(5.1)).segments.empty());

  // Another frame of reference: nothing, even at the right place.
  TDisplayPlane foreign = Axial(2);
  foreign.frameOfReferenceUid = "for.2";
  EXPECT_TRUE(SegmentationOnPlane(seg, foreign).segments.empty());
}

TEST(SegmentationOnPlane, PositionMatchResamplesThroughPatientCoordinates) {
  // The target: 8 x 8 pixels of 0.5 mm starting half a millimetre left of
  // the segmentation, so seg column c covers target columns 2c+1 .. 2c+2.
  const TSegmentation seg = MakeSeg({0}, false, [](int, int, int c) { return uint8_t(c == 1); });
  TDisplayPlane plane = Axial(0, 8, 0.5);
  plane.origin = {-0.75, -0.25, 0};
  const TSegmentationOnPlane on = SegmentationOnPlane(seg, plane);
  ASSERT_EQ(on.segments.size(), 1u);
  for (int c = 0; c < 8; ++c)
    EXPECT_EQ(on.segments[0].coverage[size_t(8 * 3 + c)], c == 3 || c == 4 ? 255 : 0) << c;

  // Frames whose rows run down the plane's columns: seg column 1 lies at
  // y = 1 mm, the plane's row 1.
  TSegmentation turned = seg;
  turned.orientation = {0, 1, 0, 1, 0, 0};
  const TSegmentationOnPlane across = SegmentationOnPlane(turned, Axial(0));
  ASSERT_EQ(across.segments.size(), 1u);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      EXPECT_EQ(across.segments[0].coverage[size_t(r * 4 + c)], r == 1 ? 255 : 0) << r << "," << c;
}

TEST(SegmentationOnPlane, ObliquePlaneTakesEachPixelsFrame) {
  // A coronal plane (rows go down in z): 3 rows at z = 4, 2, 0 through y = 2.
  const TSegmentation seg =
      MakeSeg({0, 2, 4}, false, [](int k, int r, int c) { return uint8_t(r == 2 && c == k); });
  TDisplayPlane plane;
  plane.hasGeometry = true;
  plane.origin = {0, 2, 4};
  plane.row = {1, 0, 0};
  plane.column = {0, 0, -1};
  plane.columnSpacing = 1;
  plane.rowSpacing = 2;
  plane.rows = 3;
  plane.columns = 4;
  plane.frameOfReferenceUid = "for.1";
  const TSegmentationOnPlane on = SegmentationOnPlane(seg, plane);
  EXPECT_EQ(on.matchedFrames, 3u);
  const TSegmentCoverage* a = Find(on, 0);  // frames 1 and 3 (z 0 and 4)
  const TSegmentCoverage* b = Find(on, 1);  // frame 2 (z 2)
  ASSERT_TRUE(a && b);
  const std::vector<uint8_t> expectA = {0, 0, 255, 0, 0, 0, 0, 0, 255, 0, 0, 0};
  const std::vector<uint8_t> expectB = {0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(a->coverage, expectA);
  EXPECT_EQ(b->coverage, expectB);
}

TEST(SegmentationOnPlane, UnplaceableFramesAreNotedNotGuessed) {
  TSegmentation seg = MakeSeg({0, 2}, false, ColumnOfFrame);
  seg.frames[0].hasPosition = false;  // neither source nor position
  seg.frames[1].segment = 7;          // a segment never defined
  const TSegmentationOnPlane on = SegmentationOnPlane(seg, Axial(0));
  EXPECT_TRUE(on.segments.empty());
  EXPECT_EQ(on.notes.size(), 2u);
  // No orientation: the positions alone cannot place frames.
  TSegmentation flat = MakeSeg({0}, false, ColumnOfFrame);
  flat.hasOrientation = false;
  const TSegmentationOnPlane none = SegmentationOnPlane(flat, Axial(0));
  EXPECT_TRUE(none.segments.empty());
  EXPECT_EQ(none.notes.size(), 1u);
  // Truncated pixel data reads as empty, never past its end.
  TSegmentation cut = MakeSeg({0, 2}, true, [](int, int, int) { return uint8_t(1); });
  cut.pixels.resize(2);
  const TSegmentationOnPlane part = SegmentationOnPlane(cut, Axial(2, 4, 1, "img.2"));
  ASSERT_EQ(part.segments.size(), 1u);
  EXPECT_EQ(std::count(part.segments[0].coverage.begin(), part.segments[0].coverage.end(), 0), 16);
}

TStructureSet Square(double z, const std::string& frameOfReference = "for.1") {
  TStructureSet set;
  TRoi roi;
  roi.number = 1;
  roi.name = "PTV";
  roi.frameOfReferenceUid = frameOfReference;
  roi.contours.push_back({"CLOSED_PLANAR", {{1, 1, z}, {3, 1, z}, {3, 3, z}, {1, 3, z}}, ""});
  set.rois.push_back(roi);
  return set;
}

TEST(StructureSetOnPlane, ContourOnItsSliceInPixelEdgeCoordinates) {
  const TStructureSetOnPlane on = StructureSetOnPlane(Square(2), Axial(2, 8, 0.5));
  ASSERT_EQ(on.contours.size(), 1u);
  EXPECT_EQ(on.contours[0].kind, TContourOnPlane::Closed);
  // (1 mm, 1 mm) is the centre of pixel (2, 2) of a 0.5 mm grid.
  const std::vector<std::array<double, 2>> expect = {
      {2.5, 2.5}, {6.5, 2.5}, {6.5, 6.5}, {2.5, 6.5}};
  EXPECT_EQ(on.contours[0].points, expect);
  EXPECT_TRUE(on.notes.empty());

  EXPECT_EQ(StructureSetOnPlane(Square(2), Axial(2.9)).contours.size(), 1u);
  EXPECT_TRUE(StructureSetOnPlane(Square(2), Axial(3.1)).contours.empty());
  EXPECT_TRUE(StructureSetOnPlane(Square(2), Axial(0)).contours.empty());
  EXPECT_TRUE(StructureSetOnPlane(Square(2, "for.2"), Axial(2)).contours.empty());
  // A contour naming the image is drawn on it wherever its points lie.
  TStructureSet named = Square(7);
  named.rois[0].contours[0].imageSopUid = "img.9";
  EXPECT_EQ(StructureSetOnPlane(named, Axial(2, 4, 1, "img.9")).contours.size(), 1u);
}

TEST(StructureSetOnPlane, BadPointsAreDrawnAsFarAsTheyGoAndNotedOnce) {
  TStructureSet set = Square(0);
  set.rois[0].contours[0].points[1] = {1e12, 1, 0};
  set.rois[0].contours.push_back(set.rois[0].contours[0]);
  set.rois[0].contours[1].points.push_back({std::numeric_limits<double>::quiet_NaN(), 0, 0});
  const TStructureSetOnPlane on = StructureSetOnPlane(set, Axial(0));
  ASSERT_EQ(on.contours.size(), 2u);
  EXPECT_EQ(on.contours[0].points[1][0], 4 + 40.0);  // held at ten image widths
  EXPECT_EQ(on.contours[1].points.size(), 4u);       // the NaN point left out
  EXPECT_EQ(on.notes.size(), 2u);
}

TEST(PlaneOfHeader, FromTheHeaderAndAFramesOwnGroups) {
  DICOMdata h;
  h.XYZdim = {5, 3, 2, 1};
  h.XYZmm = {0.7, 0.6, 2.5};
  h.image_Postion = {1, 2, 3};
  h.IMAGE_ORIENTATION_PATIENT = {0, 2, 0, 0, 0, -1};  // not unit: scaled
  // The header record keeps blanks for dots, and the padding.
  h.SOP_Instance_UID = "1 2 3 ";
  h.Frame_Of_Reference_UID = "1 2 4";
  TDisplayPlane p = PlaneOfHeader(h, 2);
  EXPECT_TRUE(p.hasGeometry);
  EXPECT_EQ(p.columns, 5);
  EXPECT_EQ(p.rows, 3);
  EXPECT_EQ(p.row, (std::array<double, 3>{0, 1, 0}));
  EXPECT_DOUBLE_EQ(p.columnSpacing, 0.7);
  EXPECT_DOUBLE_EQ(p.rowSpacing, 0.6);
  EXPECT_EQ(p.frame, 2);
  EXPECT_EQ(p.sopInstanceUid, "1.2.3");
  EXPECT_EQ(p.frameOfReferenceUid, "1.2.4");

  TPerFrameGroups groups;
  groups.frames.resize(2);
  groups.frames[1].hasPosition = true;
  groups.frames[1].position = {9, 9, 9};
  groups.frames[1].hasSpacing = true;
  groups.frames[1].rowSpacing = 0.25;
  groups.frames[1].columnSpacing = 0.5;
  p = PlaneOfHeader(h, 2, &groups);
  EXPECT_EQ(p.origin, (std::array<double, 3>{9, 9, 9}));
  EXPECT_DOUBLE_EQ(p.rowSpacing, 0.25);
  EXPECT_DOUBLE_EQ(p.columnSpacing, 0.5);

  h.IMAGE_ORIENTATION_PATIENT = {};
  EXPECT_FALSE(PlaneOfHeader(h, 1).hasGeometry);
}

}  // namespace
