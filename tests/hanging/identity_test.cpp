// What the loaders keep of a study for hanging: identity with its issuer and
// the attributes protocols place images by.
#include <gtest/gtest.h>

#include "dicom/StudyTree.h"
#include "study/Global.h"
#include "study/StudyLoad.h"
#include "support/paths.h"
#include "support/study_writer.h"

namespace {

using studywriter::SeriesSpec;
using studywriter::StudySpec;

void Reset() {
  std::lock_guard lock(gPatientsMutex);
  TGlobal::FreeMemory(gPatients);
}

TEST(HangingIdentity, OneIdFromTwoIssuersIsTwoPatientsAndViewsAreRead) {
  Reset();
  const std::string dir = testsupport::TempDir("hanging_identity");
  StudySpec a;
  a.issuer = "NORTH";
  SeriesSpec mg;
  mg.modality = "MG";
  mg.orientation = "";
  mg.images = 1;
  mg.viewPosition = "CC";
  mg.laterality = "R";
  a.series = {mg};
  StudySpec b = a;
  b.issuer = "SOUTH";
  b.date = "20240601";
  studywriter::WriteStudy(dir, a);
  studywriter::WriteStudy(dir, b);
  const TLoadResult r = LoadFolder(dir);
  std::lock_guard lock(gPatientsMutex);
  ASSERT_EQ(gPatients.size(), 2u);
  EXPECT_NE(gPatients[0].issuer, gPatients[1].issuer);
  for (const TPatient& p : gPatients) {
    EXPECT_EQ(p.patintID, "H0001");
    const DICOMdata& h = p.studies.at(0).serieses.at(0).images.at(0).Cache.DICOM;
    // Codes keep the reader's padding; protocols compare them trimmed.
    EXPECT_EQ(h.View_Position.str().substr(0, 2), "CC");
    EXPECT_EQ(h.Image_Laterality.str().substr(0, 1), "R");
    EXPECT_EQ(h.Issuer_Of_Patient_ID, p.issuer);
  }
  (void)r;
  Reset();
}

}  // namespace
