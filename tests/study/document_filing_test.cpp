// Reports, encapsulated documents and waveforms are filed as documents of
// their series by every load (folder, single file, DICOMDIR), under the
// patient and study their headers name, beside the images or in series of
// their own; none is skipped, and none is filed twice.
#include "study/DocumentFiling.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "dicom/StudyTree.h"
#include "study/StudyLoad.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

const std::string kFixture =
    std::string(TAVROLEN_SOURCE_DIR) + "/tests/study/document_study_fixture.py";

void ClearTree() {
  std::lock_guard lock(gPatientsMutex);
  gPatients.clear();
}

// "series-number:modality (as read, padded):images:type title|type title" per series, in
// tree order.
std::string Outline() {
  std::lock_guard lock(gPatientsMutex);
  std::string out;
  for (const TPatient& p : gPatients)
    for (const TStudy& st : p.studies)
      for (const TSeries& se : st.serieses) {
        out += std::to_string(se.seriesNumber) + ":" + se.modality + ":" +
               std::to_string(se.images.size()) + ":";
        for (const TDocumentRecord& d : se.documents) {
          if (&d != &se.documents.front()) out += "|";
          out += std::string(DocumentTypeName(d.type)) + " " + d.title;
        }
        out += "\n";
      }
  return out;
}

class DocumentFiling : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = testsupport::TempDir("document_filing");
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 '" + kFixture + "' '" + dir_ + "' '" +
                                       testsupport::SampleDir() + "' 2>&1",
                                   &out),
              0)
        << out;
  }
  void SetUp() override {
    REQUIRE_SAMPLES();
    ClearTree();
  }
  void TearDown() override { ClearTree(); }
  static std::string dir_;
};
std::string DocumentFiling::dir_;

const char* const kFolderOutline =
    "1:CT:1:\n"
    "5:SR:0:report Diagnosis\n"
    "77:DOC :0:pdf Consent|pdf Referral letter\n"
    "1:ECG :0:waveform 12-lead ECG\n";

TEST(DocumentTypes, ByClassKeyObjectsAndImagesExcluded) {
  TDocumentType t{};
  EXPECT_TRUE(DocumentTypeOfClass("1.2.840.10008.5.1.4.1.1.88.22", t));
  EXPECT_EQ(t, TDocumentType::Report);
  EXPECT_TRUE(DocumentTypeOfClass("1.2.840.10008.5.1.4.1.1.88.67", t));  // dose report
  EXPECT_TRUE(DocumentTypeOfClass("1 2 840 10008 5 1 4 1 1 104 1 ", t));
  EXPECT_EQ(t, TDocumentType::Pdf);
  EXPECT_TRUE(DocumentTypeOfClass("1.2.840.10008.5.1.4.1.1.104.2", t));
  EXPECT_EQ(t, TDocumentType::Cda);
  EXPECT_TRUE(DocumentTypeOfClass("1.2.840.10008.5.1.4.1.1.104.3", t));
  EXPECT_EQ(t, TDocumentType::OtherDocument);
  EXPECT_TRUE(DocumentTypeOfClass("1.2.840.10008.5.1.4.1.1.9.1.1", t));
  EXPECT_EQ(t, TDocumentType::Waveform);
  EXPECT_FALSE(DocumentTypeOfClass("1.2.840.10008.5.1.4.1.1.88.59", t));  // key objects
  EXPECT_FALSE(DocumentTypeOfClass("1.2.840.10008.5.1.4.1.1.2", t));
  EXPECT_FALSE(DocumentTypeOfClass("1.2.840.10008.5.1.4.1.1.11.1", t));
  EXPECT_FALSE(DocumentTypeOfClass("", t));
}

TEST_F(DocumentFiling, FolderFilesEveryDocumentUnderItsSeriesOnce) {
  const std::string folder = dir_ + "/folder";
  TLoadResult r = LoadFolder(folder);
  EXPECT_TRUE(r.skipped.empty()) << r.skipped.front().path << ": " << r.skipped.front().reason;
  EXPECT_EQ(r.filesFiled, 1);
  EXPECT_EQ(r.documentsFiled, 4);
  EXPECT_EQ(r.documents.size(), 4u);
  EXPECT_EQ(Outline(), kFolderOutline);
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 1u);
    const TDocumentRecord& sr = gPatients[0].studies[0].serieses[1].documents[0];
    EXPECT_EQ(sr.path, folder + "/sr.dcm");
    EXPECT_FALSE(sr.sopInstanceUid.empty());
    EXPECT_EQ(sr.sopClassUid.substr(0, 27), "1.2.840.10008.5.1.4.1.1.88.");
    const TDocumentRecord& consent = gPatients[0].studies[0].serieses[2].documents[0];
    EXPECT_EQ(consent.contentDate, "20261211");
    EXPECT_EQ(consent.instanceNumber, 1);
  }

  // Again, and a copy of one document elsewhere: nothing is filed twice.
  r = LoadFolder(folder);
  EXPECT_TRUE(r.duplicates.empty());
  const std::string copies = testsupport::TempDir("document_copies");
  std::filesystem::copy_file(folder + "/sr.dcm", copies + "/sr_copy.dcm");
  r = LoadFolder(copies);
  ASSERT_EQ(r.duplicates.size(), 1u);
  EXPECT_EQ(r.duplicates[0].reason, std::string(kReasonSameInstance) + folder + "/sr.dcm");
  EXPECT_EQ(Outline(), kFolderOutline);
}

TEST_F(DocumentFiling, SingleFileMakesItsPatientStudyAndSeries) {
  const std::string pdf = dir_ + "/folder/pdf1.dcm";
  TLoadResult r = LoadSingleFile(pdf);
  EXPECT_TRUE(r.skipped.empty());
  EXPECT_EQ(r.filesFiled, 0);
  EXPECT_EQ(r.documentsFiled, 1);
  ASSERT_EQ(r.documents.size(), 1u);
  EXPECT_EQ(r.documents[0], pdf);
  EXPECT_EQ(Outline(), "77:DOC :0:pdf Referral letter\n");
  // The image of the same study joins the same study.
  r = LoadSingleFile(dir_ + "/folder/ct.dcm");
  EXPECT_EQ(r.filesFiled, 1);
  EXPECT_EQ(Outline(), "77:DOC :0:pdf Referral letter\n1:CT:1:\n");
  r = LoadSingleFile(pdf);
  EXPECT_EQ(Outline(), "77:DOC :0:pdf Referral letter\n1:CT:1:\n");
}

TEST_F(DocumentFiling, DicomDirRecordsOfDocumentsAndWaveforms) {
  const TLoadResult r = LoadDicomDir(dir_ + "/medium/DICOMDIR");
  EXPECT_TRUE(r.skipped.empty()) << r.skipped.front().path << ": " << r.skipped.front().reason;
  EXPECT_EQ(r.filesFiled, 1);
  EXPECT_EQ(r.documentsFiled, 4);
  // The medium's order: series as its records list them.
  EXPECT_EQ(Outline(),
            "1:CT:1:\n"
            "77:DOC :0:pdf Consent|pdf Referral letter\n"
            "5:SR:0:report Diagnosis\n"
            "1:ECG :0:waveform 12-lead ECG\n");
}

}  // namespace
