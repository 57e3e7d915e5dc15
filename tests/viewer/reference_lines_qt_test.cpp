// Reference lines between cells showing real files: an axial slice against
// coronal and sagittal localizers, the cells that must show nothing, the pass
// over a grid and the line on the surface, also in a turned cell.
#include <gtest/gtest.h>

#include <QStringList>
#include <functional>
#include <set>
#include <utility>

#include "cell_fixtures.h"
#include "dicom/DicomWriter.h"
#include "support/fixtures.h"
#include "support/paths.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ReferenceLinesUnit.h"
#include "viewer/ViewerGlobals.h"

namespace {

using dicomwriter::DicomWriter;

const QColor kRef(0, 255, 0);

struct Slice {
  std::string position, orientation;
  int columns = 256, rows = 256;
  std::string spacing = "1\\1";  // rows, then columns
  int instance = 2;
  std::string study = "1.2.826.0.1.7", series = "1.2.826.0.1.7.1";
};

std::string WriteSlice(const std::string& dir, const std::string& name, const Slice& s) {
  DicomWriter w;
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI",
         "1.2.826.0.1.7.9." + std::to_string(std::hash<std::string>{}(name) % 99991));
  w.Text(0x00080060, "CS", "CT");
  w.Text(0x00100010, "PN", "GEOMETRY^TEST");
  w.Text(0x0020000D, "UI", s.study);
  w.Text(0x0020000E, "UI", s.series);
  w.Text(0x00200013, "IS", std::to_string(s.instance));
  w.Text(0x00200032, "DS", s.position);
  w.Text(0x00200037, "DS", s.orientation);
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  w.US(0x00280010, {uint16_t(s.rows)});
  w.US(0x00280011, {uint16_t(s.columns)});
  w.Text(0x00280030, "DS", s.spacing);
  w.US(0x00280100, {16});
  w.US(0x00280101, {16});
  w.US(0x00280102, {15});
  w.US(0x00280103, {0});
  w.Text(0x00281050, "DS", "1000");
  w.Text(0x00281051, "DS", "100");
  // Dark everywhere, so that only the line is coloured.
  w.OW(0x7FE00010, std::vector<uint16_t>(size_t(s.columns) * s.rows, 0));
  return fixtures::WriteFile(dir, name, fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian));
}

Slice Axial(double z) {
  return {"-128\\-128\\" + std::to_string(z), "1\\0\\0\\0\\1\\0"};
}
Slice Coronal(int instance) {
  Slice s{"-128\\0\\128", "1\\0\\0\\0\\0\\-1"};
  s.instance = instance;
  s.series = "1.2.826.0.1.7.2";
  return s;
}
Slice Sagittal(int instance) {
  Slice s{"0\\-128\\128", "0\\1\\0\\0\\0\\-1"};
  s.instance = instance;
  s.series = "1.2.826.0.1.7.3";
  return s;
}

using Ends = std::set<std::pair<int, int>>;
Ends EndsOf(const Shape& s) {
  return {{s.x1, s.y1}, {s.x2, s.y2}};
}
const Ends kNone{{0, 0}};

class ReferenceLines : public ::testing::Test {
 protected:
  void SetUp() override {
    saved = gSettings();
    savedSwitch = gShowReferenceLines;
    gSettings().ReferenceLinesColor = kRef;
    gShowReferenceLines = true;
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    handler.OnMessage = [this](const QString& m) { messages << m; };
  }
  void TearDown() override {
    gSettings() = saved;
    gShowReferenceLines = savedSwitch;
  }

  // A 256 x 256 cell showing the slice at zoom 100, without texts.
  std::unique_ptr<TadvancedImage> Cell(const Slice& s, const std::string& name) {
    auto c = std::make_unique<TadvancedImage>();
    c->resize(256, 256);
    c->ResizeImage();
    c->setShowInfo(false);
    EXPECT_TRUE(c->LoadFile(WriteSlice(dir, name, s), 1)) << c->LastLoadError();
    c->FitImage();
    return c;
  }

  TSettings saved;
  bool savedSwitch = true;
  std::string dir;
  TReferenceLine handler;
  QStringList messages;
};

}  // namespace

TEST_F(ReferenceLines, GridPassGivesLinesOnLocalizersOnly) {
  auto axial = Cell(Axial(20), "axial.dcm");
  auto coronal = Cell(Coronal(2), "coronal.dcm");
  auto sagittal = Cell(Sagittal(1), "sagittal.dcm");
  auto sameSeries = Cell(Axial(40), "axial2.dcm");
  Slice other = Coronal(2);
  other.study = "1.2.826.0.1.8";
  auto otherStudy = Cell(other, "other.dcm");
  // Pixel spacing of 0 cannot place a line; the cells after it still get theirs.
  Slice broken = Coronal(2);
  broken.spacing = "0\\0";
  auto noSpacing = Cell(broken, "broken.dcm");
  // A coronal image behind the axial slice and far above it: the planes cut
  // outside both images.
  Slice away = Coronal(2);
  away.position = "-128\\200\\600";
  auto outside = Cell(away, "outside.dcm");

  axial->setActive(true);
  const std::vector<std::vector<TadvancedImage*>> grid{
      {axial.get(), noSpacing.get(), outside.get()},
      {coronal.get(), sagittal.get(), sameSeries.get(), otherStudy.get()}};
  handler.update_ReferenceLines(grid, axial.get());

  // 10 % off each end of the coronal (even instance), 12 % of the sagittal.
  EXPECT_EQ(EndsOf(coronal->Scan.ReferenceLine), (Ends{{102, -20}, {-102, -20}}));
  EXPECT_EQ(EndsOf(sagittal->Scan.ReferenceLine), (Ends{{97, -20}, {-97, -20}}));
  for (TadvancedImage* c :
       {axial.get(), sameSeries.get(), otherStudy.get(), noSpacing.get(), outside.get()})
    EXPECT_EQ(EndsOf(c->Scan.ReferenceLine), kNone);
  EXPECT_TRUE(messages.isEmpty());

  // On the surface: one row of the line's colour, 26 to 230, at row 108;
  // nothing on the cells without a line.
  EXPECT_EQ(cellfix::Ink(coronal->Surface(), kRef, QRect(0, 0, 256, 256)),
            QRect(QPoint(26, 108), QPoint(230, 108)));
  EXPECT_TRUE(cellfix::Ink(sameSeries->Surface(), kRef, QRect(0, 0, 256, 256)).isEmpty());

  // The slice moves: the lines follow. Switched off: all go.
  ASSERT_TRUE(axial->LoadFile(WriteSlice(dir, "axial3.dcm", Axial(-28)), 1));
  handler.update_ReferenceLines(grid, axial.get());
  EXPECT_EQ(EndsOf(coronal->Scan.ReferenceLine), (Ends{{102, 28}, {-102, 28}}));
  gShowReferenceLines = false;
  handler.update_ReferenceLines(grid, axial.get());
  EXPECT_EQ(EndsOf(coronal->Scan.ReferenceLine), kNone);
  EXPECT_EQ(EndsOf(sagittal->Scan.ReferenceLine), kNone);
  EXPECT_TRUE(cellfix::Ink(coronal->Surface(), kRef, QRect(0, 0, 256, 256)).isEmpty());

  // On again, from the coronal localizer: the axial slice and the sagittal
  // localizer get a line, the coronal itself none.
  gShowReferenceLines = true;
  axial->setActive(false);
  coronal->setActive(true);
  handler.update_ReferenceLines(grid, coronal.get());
  EXPECT_EQ(EndsOf(coronal->Scan.ReferenceLine), kNone);
  // The coronal plane y = 0 is row 128 of the axial slice and column 128 of the sagittal.
  EXPECT_EQ(EndsOf(axial->Scan.ReferenceLine), (Ends{{102, 0}, {-102, 0}}));
  EXPECT_EQ(EndsOf(sagittal->Scan.ReferenceLine), (Ends{{0, 97}, {0, -97}}));
  // A source that has gone leaves no line behind.
  coronal->Clear();
  handler.update_ReferenceLines(grid, coronal.get());
  EXPECT_EQ(EndsOf(axial->Scan.ReferenceLine), kNone);
}

TEST_F(ReferenceLines, TurnedDestinationKeepsTheLineOnItsAnatomy) {
  // 256 columns of 1 mm by 128 rows of 2 mm: not square, so a turn swaps the
  // bitmap's sides.
  Slice wide = Coronal(2);
  wide.rows = 128;
  wide.spacing = "2\\1";
  auto axial = Cell(Axial(20), "axial.dcm");
  auto coronal = Cell(wide, "wide.dcm");
  const std::vector<std::vector<TadvancedImage*>> grid{{axial.get(), coronal.get()}};
  handler.update_ReferenceLines(grid, axial.get());
  const Ends unturned = EndsOf(coronal->Scan.ReferenceLine);
  EXPECT_EQ(unturned, (Ends{{102, -10}, {-102, -10}}));

  coronal->Rotate90();
  handler.update_ReferenceLines(grid, axial.get());
  EXPECT_EQ(EndsOf(coronal->Scan.ReferenceLine), unturned);
  // Drawn turned with the picture: a vertical line, 10 image rows left of the
  // centre column, as long as before.
  const QRect ink = cellfix::Ink(coronal->Surface(), kRef, QRect(0, 0, 256, 256));
  const QPoint a = coronal->ImageToView({102, -10}), b = coronal->ImageToView({-102, -10});
  EXPECT_EQ(a.x(), b.x());
  EXPECT_EQ(ink.width(), 1);
  EXPECT_EQ(ink.left(), a.x());
  EXPECT_EQ(ink.top(), std::min(a.y(), b.y()));
  EXPECT_EQ(ink.bottom(), std::max(a.y(), b.y()));
  EXPECT_GT(a.x(), coronal->imageCenter.x());  // the top went right
}

TEST_F(ReferenceLines, LocalizerWithoutSpacingIsReportedOncePerSeries) {
  Slice scout = Axial(20);
  scout.spacing = "-1\\-1";
  auto source = Cell(scout, "scout.dcm");
  auto coronal = Cell(Coronal(2), "coronal.dcm");
  auto sagittal = Cell(Sagittal(2), "sagittal.dcm");
  const std::vector<std::vector<TadvancedImage*>> grid{
      {source.get(), coronal.get(), sagittal.get()}};
  handler.update_ReferenceLines(grid, source.get());
  ASSERT_EQ(messages.size(), 1);
  EXPECT_EQ(messages[0],
            "This Localizer Image does not contain pixel spacing. Automatic scan line can't be "
            "reconstructed");
  EXPECT_EQ(EndsOf(coronal->Scan.ReferenceLine), kNone);
  // Stepping on through the same series says nothing more.
  handler.update_ReferenceLines(grid, source.get());
  EXPECT_EQ(messages.size(), 1);
  // A good source in between, then the localizer again: said once more.
  handler.update_ReferenceLines(grid, coronal.get());
  EXPECT_EQ(EndsOf(sagittal->Scan.ReferenceLine), (Ends{{0, 102}, {0, -102}}));
  handler.update_ReferenceLines(grid, source.get());
  EXPECT_EQ(messages.size(), 2);
}
