// Key object selections written and read back, through DCMTK's SR reader.
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dctk.h>

#include "derived/KeyObjectSelection.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

TSourceInfo Source(const std::string& dir) {
  fixtures::ImageSpec spec;
  TSourceInfo source;
  std::string why;
  EXPECT_TRUE(ReadSourceInfo(fixtures::WriteFile(dir, "image.dcm", fixtures::SmallImageFile(spec)),
                             source, why))
      << why;
  return source;
}

TKeyImage Key(const std::string& series, const std::string& uid, std::vector<int32_t> frames = {}) {
  return {"1.2.3.4", series, {"1.2.840.10008.5.1.4.1.1.2", uid, std::move(frames)}};
}

TEST(KeyObjectSelection, RoundTripKeepsTitleDescriptionAndReferences) {
  const std::string dir = testsupport::TempDir("kos_roundtrip");
  const TSourceInfo source = Source(dir);
  TKeyObjectSelection kos;
  kos.description = "Für die Besprechung";
  kos.images = {Key("1.2.3.4.5", "1.2.3.4.5.1"), Key("1.2.3.4.5", "1.2.3.4.5.2", {2, 7}),
                Key("1.2.3.4.6", "1.2.3.4.6.1")};
  const std::string out = dir + "/kos.dcm";
  std::string why;
  ASSERT_TRUE(WriteKeyObjectSelection(kos, source, out, why)) << why;

  TKeyObjectSelection back;
  ASSERT_TRUE(ReadKeyObjectSelection(out, back, why)) << why;
  EXPECT_EQ(back.title, KeyObjectOfInterest());
  EXPECT_EQ(back.description, kos.description);
  EXPECT_EQ(back.sopInstanceUid, kos.sopInstanceUid);
  EXPECT_EQ(back.studyInstanceUid, "1.2.3.4");
  ASSERT_EQ(back.images.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(back.images[i].image, kos.images[i].image) << i;
    EXPECT_EQ(back.images[i].seriesInstanceUid, kos.images[i].seriesInstanceUid) << i;
    EXPECT_EQ(back.images[i].studyInstanceUid, "1.2.3.4") << i;
  }

  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(out.c_str()).good());
  OFString v;
  file.getDataset()->findAndGetOFString(DCM_SOPClassUID, v);
  EXPECT_EQ(v, kKeyObjectSelectionClass);
  file.getDataset()->findAndGetOFString(DCM_PatientName, v);
  EXPECT_EQ(v, "DOE^JOHN");
  EXPECT_TRUE(file.getDataset()->tagExists(DCM_CurrentRequestedProcedureEvidenceSequence));
}

TEST(KeyObjectSelection, OtherTitlesAndNoDescription) {
  const std::string dir = testsupport::TempDir("kos_title");
  const TSourceInfo source = Source(dir);
  TKeyObjectSelection kos;
  kos.title = {"113001", "DCM", "Rejected for Quality Reasons"};
  kos.images = {Key("1.2.3.4.5", "1.2.3.4.5.9")};
  std::string why;
  ASSERT_TRUE(WriteKeyObjectSelection(kos, source, dir + "/kos.dcm", why)) << why;
  TKeyObjectSelection back;
  ASSERT_TRUE(ReadKeyObjectSelection(dir + "/kos.dcm", back, why)) << why;
  EXPECT_EQ(back.title.value, "113001");
  EXPECT_TRUE(back.description.empty());
  EXPECT_EQ(back.images.size(), 1u);
}

TEST(KeyObjectSelection, RefusesWhatItCannotStand) {
  const std::string dir = testsupport::TempDir("kos_refuse");
  const TSourceInfo source = Source(dir);
  std::string why;
  TKeyObjectSelection none;
  EXPECT_FALSE(WriteKeyObjectSelection(none, source, dir + "/none.dcm", why));
  TKeyObjectSelection other;
  other.images = {Key("1.2.3.4.5", "1.2.3.4.5.1")};
  other.images[0].studyInstanceUid = "9.9.9";
  EXPECT_FALSE(WriteKeyObjectSelection(other, source, dir + "/other.dcm", why));
  EXPECT_FALSE(testsupport::HaveSample(dir + "/other.dcm"));

  TKeyObjectSelection back;
  EXPECT_FALSE(ReadKeyObjectSelection(dir + "/image.dcm", back, why));
  EXPECT_NE(why.find("not a key object selection"), std::string::npos) << why;

  // Truncated documents are refused or read as far as they hold.
  TKeyObjectSelection kos;
  kos.images = {Key("1.2.3.4.5", "1.2.3.4.5.1")};
  ASSERT_TRUE(WriteKeyObjectSelection(kos, source, dir + "/kos.dcm", why)) << why;
  const fixtures::Bytes bytes = fixtures::ReadFile(dir + "/kos.dcm");
  for (size_t size = 0; size < bytes.size(); size += 61) {
    const std::string cut = fixtures::WriteFile(dir, "cut.dcm", fixtures::Truncated(bytes, size));
    std::string reason;
    if (!ReadKeyObjectSelection(cut, back, reason)) {
      EXPECT_FALSE(reason.empty());
    }
  }
}

}  // namespace
