#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QMouseEvent>
#include <memory>

#include "support/paths.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ReferenceLinesUnit.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"
#include "volume/VolumeBuilder.h"
#include "volume/VolumeInput.h"
#include "volume/volume_fixtures.h"

namespace {

using volfix::SeriesSpec;

constexpr TPlaneKind kAxial = TPlaneKind::Axial, kCoronal = TPlaneKind::Coronal,
                     kSagittal = TPlaneKind::Sagittal;

class MprCells : public ::testing::Test {
 protected:
  void SetUp() override {
    spec.columns = 20;
    spec.rows = 16;
    spec.slices = 12;
    spec.rowSpacing = spec.columnSpacing = 1.0;
    spec.step = {0, 0, 2.0};
    dir = testsupport::TempDir(std::string("mpr-cells-") +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    files = volfix::WriteSeries(dir, spec);
    std::vector<TVolumeFrame> frames;
    std::string reason;
    ASSERT_TRUE(FramesFromPath(dir, frames, reason)) << reason;
    TDecodingFrameSource source;
    volume = BuildVolume(std::move(frames), source, reason);
    ASSERT_TRUE(volume) << reason;
    link = std::make_shared<TMprLink>(volume);
    for (auto& v : viewers) {
      v = std::make_unique<TViewer>();
      v->resize(320, 320);
      v->show();
    }
    QApplication::processEvents();
    for (int k = 0; k < 3; ++k) ASSERT_TRUE(Cell(TPlaneKind(k))->ShowMprPlane(link, TPlaneKind(k)));
  }

  TadvancedImage* Cell(TPlaneKind k) { return viewers[size_t(k)]->AdvancedImage(); }
  const TMprPlane& Plane(TPlaneKind k) { return Cell(k)->Mpr()->plane; }
  std::vector<int16_t> Expected(TPlaneKind k, double slab = 0, TProjection p = TProjection::Max) {
    std::vector<int16_t> out;
    SamplePlane(*volume, link->Plane(k, slab, p).spec, out);
    return out;
  }
  void Mouse(TadvancedImage* cell, QEvent::Type type, QPointF at, Qt::MouseButtons held,
             Qt::KeyboardModifiers mods = Qt::NoModifier) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, at, cell->mapToGlobal(at), button, held, mods);
    QApplication::sendEvent(cell, &e);
  }

  SeriesSpec spec;
  std::string dir;
  std::vector<std::string> files;
  std::shared_ptr<TVolume> volume;
  std::shared_ptr<TMprLink> link;
  std::array<std::unique_ptr<TViewer>, 3> viewers;
};

TEST_F(MprCells, EachPlaneIsANormalCellWhoseHeaderDescribesThePlane) {
  for (TPlaneKind k : {kAxial, kCoronal, kSagittal}) {
    TadvancedImage* c = Cell(k);
    SCOPED_TRACE(PlaneName(k));
    ASSERT_TRUE(c->IsMpr());
    EXPECT_TRUE(c->HasImage);
    EXPECT_FALSE(c->Bitmap().isNull());
    EXPECT_EQ(c->Buffers().buff16, Expected(k));
    const TPlaneSpec& s = Plane(k).spec;
    const DICOMdata& h = c->gDicomData;
    EXPECT_EQ(h.XYZdim[0], s.columns);
    EXPECT_EQ(h.XYZdim[1], s.rows);
    EXPECT_EQ(h.XYZmm[0], s.du);
    EXPECT_EQ(h.image_Postion, ToArray(s.origin));
    EXPECT_EQ(h.IMAGE_ORIENTATION_PATIENT,
              (std::array<double, 6>{s.u.x, s.u.y, s.u.z, s.v.x, s.v.y, s.v.z}));
    EXPECT_EQ(h.ImageNum, Plane(k).index + 1);
    EXPECT_EQ(h.Study_Instance_UID, volume->header.Study_Instance_UID);
    EXPECT_EQ(h.overlay_rows, 0);
  }
  // Letters from the planes' own cosines: the head at the top of coronal and
  // sagittal planes, the patient's right at the left of axial and coronal.
  const auto& co = Cell(kCoronal)->orientation_labels;
  EXPECT_EQ(co[Cell(kCoronal)->orientation.Top], "H");
  EXPECT_EQ(co[Cell(kCoronal)->orientation.Left], "R");
  const auto& sa = Cell(kSagittal)->orientation_labels;
  EXPECT_EQ(sa[Cell(kSagittal)->orientation.Top], "H");
  EXPECT_EQ(sa[Cell(kSagittal)->orientation.Left], "A");
  const auto& ax = Cell(kAxial)->orientation_labels;
  EXPECT_EQ(ax[Cell(kAxial)->orientation.Top], "A");
  // The plane is in the cell's bars: the image track bar counts planes.
  EXPECT_EQ(viewers[0]->TrackBar->maximum(), spec.slices);
  EXPECT_EQ(viewers[0]->TrackBar->value(), Plane(kAxial).index + 1);
  EXPECT_TRUE(viewers[1]->findChild<QWidget*>("mprBar"));
}

TEST_F(MprCells, AStepMovesOnlyThatPlaneAndTheOthersFollowTheCrosshair) {
  const TMprPlane coronal = Plane(kCoronal), sagittal = Plane(kSagittal);
  const int axial = Plane(kAxial).index;
  const std::vector<int16_t> coronalPixels = Cell(kCoronal)->Buffers().buff16;
  Cell(kAxial)->NextImage();  // what the wheel calls
  EXPECT_EQ(Plane(kAxial).index, axial + 1);
  EXPECT_EQ(Cell(kAxial)->Buffers().buff16, Expected(kAxial));
  EXPECT_EQ(viewers[0]->TrackBar->value(), axial + 2);
  // The other planes stay; only their crosshair moved.
  EXPECT_EQ(Plane(kCoronal).index, coronal.index);
  EXPECT_EQ(Cell(kCoronal)->Buffers().buff16, coronalPixels);
  EXPECT_EQ(Plane(kSagittal).index, sagittal.index);
  QPointF before, after;
  ASSERT_TRUE(Cell(kCoronal)->MprCrossInView(after));
  Cell(kAxial)->PrevImage();
  ASSERT_TRUE(Cell(kCoronal)->MprCrossInView(before));
  EXPECT_NEAR(before.x(), after.x(), 1e-6);
  EXPECT_GT(before.y(), after.y());  // the axial plane went down again: its line too

  // To a plane by index (the track bar), and never past the ends.
  Cell(kCoronal)->MprGoTo(2);
  EXPECT_EQ(Plane(kCoronal).index, 2);
  EXPECT_EQ(Cell(kCoronal)->Buffers().buff16, Expected(kCoronal));
  for (int i = 0; i < 40; ++i) Cell(kSagittal)->NextImage();
  EXPECT_EQ(Plane(kSagittal).index, spec.columns - 1);
}

TEST_F(MprCells, DraggingTheCrosshairMovesTheOtherPlanes) {
  TadvancedImage* axial = Cell(kAxial);
  QPointF centre;
  ASSERT_TRUE(axial->MprCrossInView(centre));
  const int coronal = Plane(kCoronal).index, sagittal = Plane(kSagittal).index;
  // The vertical line (the sagittal plane) grabbed away from the centre and
  // dragged to the right moves the sagittal plane only.
  const QPointF onLine = centre + QPointF(0, 40);
  Mouse(axial, QEvent::MouseButtonPress, onLine, Qt::LeftButton);
  Mouse(axial, QEvent::MouseMove, onLine + QPointF(30, 5), Qt::LeftButton);
  Mouse(axial, QEvent::MouseButtonRelease, onLine + QPointF(30, 5), Qt::NoButton);
  const double pixels = 30.0 / (axial->zoomFactor / 100.0);
  EXPECT_NEAR(Plane(kSagittal).index, sagittal + pixels, 1.0);
  EXPECT_GT(Plane(kSagittal).index, sagittal);
  EXPECT_EQ(Plane(kCoronal).index, coronal);
  EXPECT_EQ(Cell(kSagittal)->Buffers().buff16, Expected(kSagittal));
  // The centre lies on a voxel, so the planes show stored values.
  EXPECT_EQ(MprSnap(*volume, link->cross), link->cross);
  // The picture did not pan.
  EXPECT_EQ(axial->PanX, 0);

  // The centre grabbed moves both.
  ASSERT_TRUE(axial->MprCrossInView(centre));
  Mouse(axial, QEvent::MouseButtonPress, centre, Qt::LeftButton);
  Mouse(axial, QEvent::MouseMove, centre + QPointF(-20, -20), Qt::LeftButton);
  Mouse(axial, QEvent::MouseButtonRelease, centre + QPointF(-20, -20), Qt::NoButton);
  EXPECT_LT(Plane(kCoronal).index, coronal);
  EXPECT_LT(Plane(kSagittal).index, Plane(kSagittal).count);

  // Away from the lines a drag pans as before.
  ASSERT_TRUE(axial->MprCrossInView(centre));
  const QPointF corner = centre + QPointF(60, 60);
  const int sagittalNow = Plane(kSagittal).index;
  Mouse(axial, QEvent::MouseButtonPress, corner, Qt::LeftButton);
  Mouse(axial, QEvent::MouseMove, corner + QPointF(15, 0), Qt::LeftButton);
  Mouse(axial, QEvent::MouseButtonRelease, corner + QPointF(15, 0), Qt::NoButton);
  EXPECT_EQ(Plane(kSagittal).index, sagittalNow);
}

TEST_F(MprCells, CtrlDraggingALineTurnsTheOtherPlanesIntoObliqueOnes) {
  TadvancedImage* axial = Cell(kAxial);
  QPointF centre;
  ASSERT_TRUE(axial->MprCrossInView(centre));
  const std::array<double, 6> axialCosines = axial->gDicomData.IMAGE_ORIENTATION_PATIENT;
  // The horizontal line (the coronal plane), grabbed left of the centre and
  // carried a quarter turn round it.
  const QPointF from = centre + QPointF(-60, 0), to = centre + QPointF(0, -60);
  Mouse(axial, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::ControlModifier);
  for (int i = 1; i <= 8; ++i) {
    const double a = M_PI / 2 * i / 8;
    Mouse(axial, QEvent::MouseMove, centre + QPointF(-60 * std::cos(a), -60 * std::sin(a)),
          Qt::LeftButton, Qt::ControlModifier);
  }
  Mouse(axial, QEvent::MouseButtonRelease, to, Qt::NoButton, Qt::ControlModifier);
  EXPECT_TRUE(link->Turned());
  // The axial plane stays; the other two turned about its normal and stay
  // at right angles to it and to each other.
  EXPECT_EQ(axial->gDicomData.IMAGE_ORIENTATION_PATIENT, axialCosines);
  const Vec3 na = Plane(kAxial).normal, nc = Plane(kCoronal).normal, ns = Plane(kSagittal).normal;
  EXPECT_NEAR(Dot(na, nc), 0, 1e-9);
  EXPECT_NEAR(Dot(na, ns), 0, 1e-9);
  EXPECT_NEAR(Dot(nc, ns), 0, 1e-9);
  // A quarter turn: the coronal plane now faces left-right.
  EXPECT_NEAR(std::abs(nc.x), 1, 0.05);
  EXPECT_EQ(Cell(kCoronal)->Buffers().buff16, Expected(kCoronal));
  const DICOMdata& h = Cell(kCoronal)->gDicomData;
  const TPlaneSpec& s = Plane(kCoronal).spec;
  EXPECT_EQ(h.IMAGE_ORIENTATION_PATIENT,
            (std::array<double, 6>{s.u.x, s.u.y, s.u.z, s.v.x, s.v.y, s.v.z}));
  // An oblique plane steps along its normal, from plane to plane of its
  // own lattice (the first step lands on it).
  Cell(kCoronal)->NextImage();
  const Vec3 before = link->cross;
  const int index = Plane(kCoronal).index;
  Cell(kCoronal)->NextImage();
  EXPECT_EQ(Plane(kCoronal).index, index + 1);
  EXPECT_NEAR(std::abs(Dot(link->cross - before, nc)), Plane(kCoronal).step, 1e-9);
  EXPECT_NEAR(Norm(link->cross - before), Plane(kCoronal).step, 1e-9);
  // Reset Image puts the planes back on the grid.
  Cell(kSagittal)->ResetImage();
  EXPECT_FALSE(link->Turned());
  EXPECT_EQ(Cell(kCoronal)->Buffers().buff16, Expected(kCoronal));
  EXPECT_EQ(Plane(kCoronal).spec.u, (Vec3{1, 0, 0}));
}

TEST_F(MprCells, SlabsProjectInTheCellAndItsBar) {
  TadvancedImage* coronal = Cell(kCoronal);
  coronal->SetMprSlab(5, TProjection::Mean);
  EXPECT_EQ(coronal->Buffers().buff16, Expected(kCoronal, 5, TProjection::Mean));
  EXPECT_EQ(coronal->gDicomData.XYZmm[2], 5);
  auto* spin = viewers[1]->findChild<QDoubleSpinBox*>("mprSlab");
  auto* combo = viewers[1]->findChild<QComboBox*>("mprProjection");
  ASSERT_TRUE(spin && combo);
  EXPECT_EQ(spin->value(), 5);
  EXPECT_EQ(combo->currentIndex(), int(TProjection::Mean));
  // The bar drives the cell.
  combo->setCurrentIndex(int(TProjection::Max));
  spin->setValue(7);
  EXPECT_EQ(coronal->Mpr()->slab, 7);
  EXPECT_EQ(coronal->Buffers().buff16, Expected(kCoronal, 7, TProjection::Max));
  // A step keeps the slab.
  coronal->NextImage();
  EXPECT_EQ(coronal->Buffers().buff16, Expected(kCoronal, 7, TProjection::Max));
}

TEST_F(MprCells, ReferenceLinesGoToAndFromAcquiredImagesButNotBetweenThePlanes) {
  // An acquired slice in a fourth cell: the coronal plane cuts it along a row.
  TViewer acquired;
  acquired.resize(320, 320);
  acquired.show();
  TadvancedImage* slice = acquired.AdvancedImage();
  slice->PatientIndex = -1;
  ASSERT_TRUE(slice->LoadFile(files[0], 1));
  gShowReferenceLines = true;
  TReferenceLine lines;
  std::vector<std::vector<TadvancedImage*>> grid{
      {Cell(kAxial), Cell(kCoronal), Cell(kSagittal), slice}};
  lines.update_ReferenceLines(grid, Cell(kCoronal));
  const Shape& r = slice->Scan.ReferenceLine;
  EXPECT_NE(r.x1, r.x2);
  EXPECT_EQ(r.y1, r.y2);
  // Row of the coronal plane, in image space of the 20 x 16 slice.
  EXPECT_EQ(r.y1, Plane(kCoronal).index - spec.rows / 2);
  for (TPlaneKind k : {kAxial, kSagittal}) {
    const Shape& m = Cell(k)->Scan.ReferenceLine;
    EXPECT_TRUE(m.x1 == m.x2 && m.y1 == m.y2) << PlaneName(k);
  }
  // From the acquired slice to the coronal and sagittal planes.
  lines.update_ReferenceLines(grid, slice);
  for (TPlaneKind k : {kCoronal, kSagittal}) {
    const Shape& m = Cell(k)->Scan.ReferenceLine;
    EXPECT_FALSE(m.x1 == m.x2 && m.y1 == m.y2) << PlaneName(k);
  }
}

TEST_F(MprCells, LoadingAnImageOrClearingLeavesTheView) {
  TadvancedImage* coronal = Cell(kCoronal);
  coronal->PatientIndex = -1;
  ASSERT_TRUE(coronal->LoadFile(files[2], 1));
  EXPECT_FALSE(coronal->IsMpr());
  EXPECT_EQ(link->cells[size_t(kCoronal)], nullptr);
  EXPECT_EQ(coronal->gDicomData.XYZdim[0], spec.columns);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the bar goes later
  EXPECT_FALSE(viewers[1]->findChild<QWidget*>("mprBar"));
  // A step in the cell is an image step again; the other planes go on.
  Cell(kAxial)->NextImage();
  EXPECT_EQ(Cell(kAxial)->Buffers().buff16, Expected(kAxial));
  Cell(kSagittal)->Clear();
  EXPECT_FALSE(Cell(kSagittal)->IsMpr());
  EXPECT_FALSE(Cell(kSagittal)->HasImage);
  Cell(kAxial)->NextImage();
  EXPECT_EQ(Cell(kAxial)->Buffers().buff16, Expected(kAxial));
  // A cell that is destroyed leaves the view too.
  viewers[0].reset();
  EXPECT_EQ(link->cells[size_t(kAxial)], nullptr);
}

TEST_F(MprCells, TheWholePlaneIsInViewWhenFitted) {
  for (TPlaneKind k : {kAxial, kCoronal, kSagittal}) {
    TadvancedImage* c = Cell(k);
    c->resize(300, 80);  // far wider than high: one axis alone would cut the plane off
    c->ResizeImage();
    c->FitImage();
    const QImage b = c->Bitmap();
    const double z = c->zoomFactor / 100.0;
    EXPECT_LE(b.width() * z, 300 + 1) << PlaneName(k);
    EXPECT_LE(b.height() * z, 80 + 1) << PlaneName(k);
    EXPECT_TRUE(b.width() * z > 298 || b.height() * z > 78) << PlaneName(k);
  }
}

TEST_F(MprCells, MeasurementsUseThePlanesMillimetres) {
  TadvancedImage* sagittal = Cell(kSagittal);
  const TPlaneSpec& s = Plane(kSagittal).spec;
  EXPECT_DOUBLE_EQ(s.du, 1.0);
  EXPECT_DOUBLE_EQ(sagittal->gDicomData.XYZmm[0], 1.0);
  EXPECT_DOUBLE_EQ(sagittal->gDicomData.XYZmm[1], 1.0);
  // Rows of the sagittal plane span the stack: 11 steps of 2 mm.
  EXPECT_EQ(s.rows, 23);
  // A measuring line down the plane: 12 pixels are 12 mm of the stack.
  Shape line;
  line.shapeType = STMeasureLine;
  line.x1 = line.x2 = 0;
  line.y1 = -6;
  line.y2 = 6;
  const QStringList label = sagittal->MeasurementLines(line);
  EXPECT_NEAR(line.data, 12.0, 1e-4);
  ASSERT_FALSE(label.isEmpty());
  EXPECT_TRUE(label[0].contains("mm")) << label[0].toStdString();
}

}  // namespace

TEST_F(MprCells, PlanesStartWithTheSeriesWindowAndKeepTheUsersAcrossMovesAndSlabs) {
  // Without a window in the files: the volume's range, the same in every plane.
  const double span = double(volume->maxValue) - volume->minValue;
  for (TPlaneKind k : {kAxial, kCoronal, kSagittal}) {
    EXPECT_EQ(Cell(k)->windowWidth, span) << PlaneName(k);
    EXPECT_EQ(Cell(k)->windowLevel, Cell(kAxial)->windowLevel) << PlaneName(k);
  }
  // A series window whose centre lies near the top of the volume's values:
  // outside most single planes' own ranges, yet kept in every plane and slab.
  volume->header.WindowWidth = 100;
  volume->header.WindowCenter = volume->maxValue - 10;
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(Cell(TPlaneKind(k))->ShowMprPlane(link, TPlaneKind(k)));
  TadvancedImage* coronal = Cell(kCoronal);
  const auto expectWindow = [&](double width, double level, const char* after) {
    EXPECT_EQ(coronal->windowWidth, width) << after;
    EXPECT_EQ(coronal->windowLevel, level) << after;
  };
  expectWindow(100, volume->maxValue - 10, "shown");
  coronal->NextImage();
  expectWindow(100, volume->maxValue - 10, "a step");
  coronal->SetMprSlab(5, TProjection::Max);
  expectWindow(100, volume->maxValue - 10, "a slab");
  coronal->SetMprSlab(0, TProjection::Max);

  // The user's window stays through steps, crosshair moves and slabs.
  coronal->SetWwWl(1234.5, -20);
  ASSERT_TRUE(coronal->createBitmap());
  coronal->NextImage();
  expectWindow(1234.5, -20, "a step");
  const int before = Plane(kCoronal).index;
  link->MoveCross(MprSnap(*volume, link->cross + Vec3{0, 4, 0}));  // a crosshair drag
  ASSERT_NE(Plane(kCoronal).index, before);
  expectWindow(1234.5, -20, "a move");
  coronal->SetMprSlab(5, TProjection::Mean);
  expectWindow(1234.5, -20, "a slab on");
  coronal->SetMprSlab(0, TProjection::Max);
  expectWindow(1234.5, -20, "a slab off");
  EXPECT_EQ(Cell(kSagittal)->windowWidth, 100);  // each cell has its own
}
