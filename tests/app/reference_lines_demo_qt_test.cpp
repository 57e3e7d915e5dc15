// Reference lines on the demo study's CT: axial slices against the coronal
// and sagittal localizers of the same study, both ways round.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <utility>

#include "study/DemoStudy.h"
#include "support/paths.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ReferenceLinesUnit.h"
#include "viewer/ViewerGlobals.h"

namespace {

using Ends = std::set<std::pair<int, int>>;
Ends EndsOf(const Shape& s) {
  return {{s.x1, s.y1}, {s.x2, s.y2}};
}
const Ends kNone{{0, 0}};

}  // namespace

TEST(DemoReferenceLines, AxialSlicesAndLocalizers) {
  const std::string dir = testsupport::TempDir("DemoReferenceLines");
  ASSERT_TRUE(demo::WriteDemoStudy(dir));
  const auto cell = [&](const std::string& file) {
    auto c = std::make_unique<TadvancedImage>();
    c->resize(300, 300);
    EXPECT_TRUE(c->LoadFile(dir + "/" + file, 1)) << file << ": " << c->LastLoadError();
    return c;
  };
  auto coronal = cell("CTLOC/IM0001"), sagittal = cell("CTLOC/IM0002");
  auto axial1 = cell("CTAX/IM0001"), axial2 = cell("CTAX/IM0002");
  auto thin = cell("CTRLE/IM0001"), radiograph = cell("XRAY/IM0001");
  const std::vector<std::vector<TadvancedImage*>> grid{
      {coronal.get(), sagittal.get(), axial1.get()}, {axial2.get(), thin.get(), radiograph.get()}};
  const bool saved = gShowReferenceLines;
  gShowReferenceLines = true;
  TReferenceLine handler;
  int messages = 0;
  handler.OnMessage = [&](const QString&) { ++messages; };

  // Slice 1 lies at z = 20, 40 rows below the localizers' top (z = 60); the
  // localizers are instance 1: 12 % off each end.
  handler.update_ReferenceLines(grid, axial1.get());
  EXPECT_EQ(EndsOf(coronal->Scan.ReferenceLine), (Ends{{97, -88}, {-97, -88}}));
  EXPECT_EQ(EndsOf(sagittal->Scan.ReferenceLine), (Ends{{97, -88}, {-97, -88}}));
  for (TadvancedImage* c : {axial1.get(), axial2.get(), thin.get(), radiograph.get()})
    EXPECT_EQ(EndsOf(c->Scan.ReferenceLine), kNone);

  // The coronal plane y = 0 crosses every axial slice at row 127.5 (rounded
  // to 128, the centre): 12 % off for odd instances, 10 % for even ones; the
  // sagittal localizer gets an upright line through its centre.
  handler.update_ReferenceLines(grid, coronal.get());
  EXPECT_EQ(EndsOf(axial1->Scan.ReferenceLine), (Ends{{97, 0}, {-97, 0}}));
  EXPECT_EQ(EndsOf(axial2->Scan.ReferenceLine), (Ends{{102, 0}, {-102, 0}}));
  EXPECT_EQ(EndsOf(thin->Scan.ReferenceLine), (Ends{{97, 0}, {-97, 0}}));
  EXPECT_EQ(EndsOf(sagittal->Scan.ReferenceLine), (Ends{{0, 97}, {0, -97}}));
  EXPECT_EQ(EndsOf(coronal->Scan.ReferenceLine), kNone);
  EXPECT_EQ(EndsOf(radiograph->Scan.ReferenceLine), kNone);
  EXPECT_EQ(messages, 0);
  gShowReferenceLines = saved;
}
