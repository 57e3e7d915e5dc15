#include <gtest/gtest.h>

#include "dicom/PerFrameGroups.h"
#include "support/fixtures.h"
#include "support/paths.h"
#include "volume/volume_fixtures.h"

namespace {

using dicomwriter::DicomWriter;
using fixtures::Bytes;

TPerFrameGroups Read(const Bytes& b, bool expectOk = true) {
  TPerFrameGroups g;
  std::string reason;
  EXPECT_EQ(ReadPerFrameGroupsFromMemory(b.data(), b.size(), g, &reason), expectOk) << reason;
  return g;
}

TEST(PerFrameGroups, ReadsSharedAndPerFrameValuesInEveryEncoding) {
  volfix::SeriesSpec s;
  s.slices = 3;
  s.slope = 2;
  s.intercept = -1024;
  for (bool explicitVR : {true, false})
    for (bool undefined : {false, true}) {
      SCOPED_TRACE(std::to_string(explicitVR) + std::to_string(undefined));
      s.explicitVR = explicitVR;
      volfix::EnhancedOptions o;
      o.frameOrder = {2, 0, 1};
      o.temporalPosition = {1, 1, 2};
      o.undefinedLengths = undefined;
      const TPerFrameGroups g = Read(volfix::EnhancedFile(s, o));
      ASSERT_TRUE(g.hasShared);
      ASSERT_EQ(g.frames.size(), 3u);
      EXPECT_TRUE(g.shared.hasSpacing);
      EXPECT_EQ(g.shared.rowSpacing, 0.8);
      EXPECT_EQ(g.shared.columnSpacing, 0.7);
      EXPECT_EQ(g.shared.thickness, 9);
      EXPECT_EQ(g.shared.orientation, s.orientation);
      EXPECT_EQ(g.shared.slope, 2);
      EXPECT_EQ(g.shared.intercept, -1024);
      EXPECT_FALSE(g.frames[0].hasOrientation);
      const TFrameGroupValues f0 = g.Frame(0);
      EXPECT_TRUE(f0.hasOrientation);  // from the shared groups
      EXPECT_EQ(f0.position, (std::array<double, 3>{-10, -20, 30 + 2 * 2.5}));
      EXPECT_EQ(f0.inStackPosition, 3);
      EXPECT_EQ(g.Frame(2).temporalPosition, 2);
      EXPECT_EQ(g.Frame(5).position, g.shared.position);  // past the frames: shared only
    }
}

TEST(PerFrameGroups, AFileWithoutGroupsHasNoFrames) {
  const TPerFrameGroups g = Read(fixtures::SmallImageFile());
  EXPECT_FALSE(g.hasShared);
  EXPECT_TRUE(g.frames.empty());
}

TEST(PerFrameGroups, BadDataEndsTheWalkWithAReasonNeverACrash) {
  volfix::SeriesSpec s;
  s.slices = 4;
  for (bool undefined : {false, true}) {
    volfix::EnhancedOptions o;
    o.undefinedLengths = undefined;
    const Bytes whole = volfix::EnhancedFile(s, o);
    // Cut anywhere: either the groups are whole or the walk says why.
    for (size_t n = 0; n < whole.size(); n += 7) {
      TPerFrameGroups g;
      std::string reason;
      const bool ok = ReadPerFrameGroupsFromMemory(whole.data(), n, g, &reason);
      EXPECT_TRUE(ok || !reason.empty()) << n;
      EXPECT_LE(g.frames.size(), 4u);
    }
  }
  // A long VR's header cut short at the very start (found by fuzzing).
  const Bytes shortHeader{0x20, 0x00, 0x13, 0x91, 'S', 'Q', 0x00, 0x00, 0x20};
  Read(shortHeader, false);
  // Sequences nested past 16 levels.
  DicomWriter deep;
  deep.BeginSequence(0x52009230);
  for (int i = 0; i < 20; ++i) deep.BeginItem().BeginSequence(0x00209113);
  for (int i = 0; i < 20; ++i) deep.EndSequence().EndItem();
  deep.EndSequence();
  TPerFrameGroups g;
  std::string reason;
  const Bytes deepFile = fixtures::Part10(deep, dicomwriter::kExplicitVRLittleEndian);
  EXPECT_FALSE(ReadPerFrameGroupsFromMemory(deepFile.data(), deepFile.size(), g, &reason));
  EXPECT_EQ(reason, "sequences nest too deep");
  // A sequence whose length runs past the end of the data.
  DicomWriter longer;
  longer.ElementWithLength(0x52009230, "SQ", 5000, {0xFE, 0xFF, 0x00, 0xE0, 0, 0, 0, 0});
  const Bytes longFile = fixtures::Part10(longer, dicomwriter::kExplicitVRLittleEndian);
  EXPECT_FALSE(ReadPerFrameGroupsFromMemory(longFile.data(), longFile.size(), g, &reason));
  EXPECT_EQ(reason, "the data ends inside an element");
  // Something other than an item inside a sequence.
  DicomWriter stray;
  stray.BeginSequence(0x52009230).Text(0x00200032, "DS", "1\\2\\3").EndSequence();
  const Bytes strayFile = fixtures::Part10(stray, dicomwriter::kExplicitVRLittleEndian);
  EXPECT_FALSE(ReadPerFrameGroupsFromMemory(strayFile.data(), strayFile.size(), g, &reason));
  EXPECT_EQ(reason, "a sequence holds something other than items");
}

TEST(PerFrameGroups, GroupsPastTheFirstMegabyteOfAFileAreFound) {
  volfix::SeriesSpec s;
  s.slices = 2;
  // A large element before the groups: the file is read in growing parts.
  DicomWriter w;
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2.1");
  w.OB(0x00091010, Bytes(3 << 20, 0x55));
  w.BeginSequence(0x52009230);
  for (int k = 0; k < 2; ++k) {
    w.BeginItem().BeginSequence(0x00209113).BeginItem();
    w.Text(0x00200032, "DS", volfix::DS({0, 0, double(k)}));
    w.EndItem().EndSequence().EndItem();
  }
  w.EndSequence();
  w.OW(0x7FE00010, std::vector<uint16_t>(8, 0));
  const std::string path =
      fixtures::WriteFile(testsupport::TempDir("groups-late"), "big.dcm",
                          fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian));
  TPerFrameGroups g;
  std::string reason;
  ASSERT_TRUE(ReadPerFrameGroups(path, g, &reason)) << reason;
  ASSERT_EQ(g.frames.size(), 2u);
  EXPECT_EQ(g.frames[1].position[2], 1);
  EXPECT_FALSE(ReadPerFrameGroups(path + ".missing", g, &reason));
  EXPECT_EQ(reason, "the file cannot be opened");
}

}  // namespace
