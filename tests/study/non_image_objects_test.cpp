// Valid DICOM objects that hold no image (RT plans and structures) or no
// image of their own (segmentations) are skipped as what they are, not as
// damaged files; a file that is no DICOM at all still is. Reports and
// waveforms are filed as documents of their series instead.
#include <gtest/gtest.h>

#include <fstream>

#include "dicom/StudyTree.h"
#include "study/StudyLoad.h"
#include "support/paths.h"

namespace {

std::string ReasonFor(const std::string& path) {
  const TLoadResult r = LoadSingleFile(path);
  EXPECT_EQ(r.filesFiled, 0) << path;
  return r.skipped.empty() ? std::string() : r.skipped.front().reason;
}

}  // namespace

TEST(NonImageObjects, AreSkippedAsNotAnImage) {
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients.clear();
  }
  const std::pair<const char*, const char*> samples[] = {
      {"rtplan.dcm", "RT plan, not an image"},
      {"rtstruct.dcm", "RT structure set, not an image"},
      // Pixel data, but masks drawn over other images: no series of its own.
      {"liver_1frame.dcm", "segmentation, not an image"},
  };
  for (const auto& [name, reason] : samples) {
    const std::string path = testsupport::SamplePath(name);
    REQUIRE_SAMPLE(name);
    EXPECT_EQ(ReasonFor(path), reason) << name;
  }
  // An image object stripped of its pixels (pydicom's DICOMDIR test medium).
  const std::string stub = "dicomdirtests/TINY_ALPHA/PT000000/ST000000/SE000000/IM000000";
  REQUIRE_SAMPLE(stub);
  EXPECT_EQ(ReasonFor(testsupport::SamplePath(stub)), "DICOM object without pixel data");
  const std::string garbage = testsupport::TempDir("non-image") + "/garbage.dcm";
  std::ofstream(garbage) << std::string(300, 'x');
  EXPECT_EQ(ReasonFor(garbage), "no readable DICOM image (not DICOM, truncated or damaged)");
  std::lock_guard lock(gPatientsMutex);
  EXPECT_TRUE(gPatients.empty());
}
