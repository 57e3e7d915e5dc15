// Priors: who counts as the same patient, and the older studies in order.
#include <gtest/gtest.h>

#include "hanging/Priors.h"

namespace {

using hanging::TIdentity;

TStudy MakeStudy(const std::string& date, const std::string& uid, const std::string& modality) {
  TStudy s;
  s.studyDate =
      date.size() == 8 ? date.substr(6, 2) + "/" + date.substr(4, 2) + "/" + date.substr(0, 4) : "";
  s.instanceUid = uid;
  TSeries se;
  se.modality = modality;
  TImg img;
  img.Cache.DICOM.StudyDate = date;
  se.images.push_back(img);
  s.serieses.push_back(se);
  return s;
}

TPatient MakePatient(const std::string& name, const std::string& id, const std::string& issuer) {
  TPatient p;
  p.patientName = name;
  p.patintID = id;
  p.issuer = issuer;
  return p;
}

TEST(Priors, IdentityAgreesOnlyWhenIdIssuerAndNameDo) {
  const hanging::TPatientKey me{"DOE JANE", "123", "NORTH"};
  EXPECT_EQ(hanging::CompareIdentity(me, {"Doe Jane ", "123", "NORTH"}), TIdentity::Same);
  EXPECT_EQ(hanging::CompareIdentity(me, {"DOE JANE", "999", "NORTH"}), TIdentity::OtherId);
  EXPECT_EQ(hanging::CompareIdentity(me, {"DOE JANE", "123", "SOUTH"}), TIdentity::OtherIssuer);
  // An issuer on one side only is not the same patient's for sure.
  EXPECT_EQ(hanging::CompareIdentity(me, {"DOE JANE", "123", ""}), TIdentity::OtherIssuer);
  EXPECT_EQ(hanging::CompareIdentity(me, {"ROE RICHARD", "123", "NORTH"}), TIdentity::OtherName);
  EXPECT_EQ(hanging::CompareIdentity(me, {"ROE RICHARD", "999", "NORTH"}), TIdentity::Unrelated);
  // The loader's placeholders identify nobody.
  EXPECT_EQ(hanging::CompareIdentity({"NO NAME", "1", ""}, {"NO NAME", "2", ""}),
            TIdentity::Unrelated);
  EXPECT_EQ(hanging::CompareIdentity({"A", "NO ID", ""}, {"A", "NO ID", ""}), TIdentity::OtherId);
  for (TIdentity i : {TIdentity::OtherId, TIdentity::OtherIssuer, TIdentity::OtherName})
    EXPECT_FALSE(hanging::IdentityWarning(i).empty());
  EXPECT_EQ(hanging::IdentityWarning(TIdentity::Same), "");
}

TEST(Priors, OlderStudiesNewestFirstWithPartialMatchesWarnedAndUndatedLast) {
  TPatientArr tree;
  TPatient me = MakePatient("DOE JANE", "123", "NORTH");
  me.studies = {MakeStudy("20200101", "1.1", "CT"), MakeStudy("20250601", "1.2", "CT"),
                MakeStudy("", "1.3", "CT"), MakeStudy("20260101", "1.4", "CT")};
  TPatient otherIssuer = MakePatient("DOE JANE", "123", "");
  otherIssuer.studies = {MakeStudy("20230101", "2.1", "CT"),
                         MakeStudy("20250601", "1.2", "CT")};  // the current study again
  TPatient otherId = MakePatient("DOE JANE", "555", "NORTH");
  otherId.studies = {MakeStudy("20220101", "3.1", "MR")};
  TPatient stranger = MakePatient("ROE RICHARD", "777", "NORTH");
  stranger.studies = {MakeStudy("20210101", "4.1", "CT")};
  tree = {me, otherIssuer, otherId, stranger};

  const auto priors = hanging::FindPriors(tree, 0, 1);
  std::vector<std::string> uids;
  for (const auto& p : priors) uids.push_back(p.instanceUid);
  EXPECT_EQ(uids, (std::vector<std::string>{"2.1", "3.1", "1.1", "1.3"}));
  ASSERT_EQ(priors.size(), 4u);
  EXPECT_EQ(priors[0].identity, TIdentity::OtherIssuer);
  EXPECT_FALSE(priors[0].warning.empty());
  EXPECT_EQ(priors[1].identity, TIdentity::OtherId);
  EXPECT_EQ(priors[2].identity, TIdentity::Same);
  EXPECT_EQ(priors[2].warning, "");
  EXPECT_EQ(priors[2].date, "20200101");
  EXPECT_EQ(priors[3].date, "");
  // The one to read beside: the same patient's before a partial match, even a newer one.
  EXPECT_EQ(hanging::PreferredPrior(tree, 0, 1, priors), 2);
  EXPECT_EQ(hanging::CurrentStudyOf(tree[0]), 3);
  EXPECT_EQ(hanging::CurrentStudyOf(TPatient{}), -1);
  EXPECT_TRUE(hanging::FindPriors(tree, 9, 0).empty());
}

}  // namespace
