// Both kinds of client against a real Orthanc: queries at every level give
// what was uploaded, and C-GET, C-MOVE and WADO-RS each bring back exactly
// the uploaded instances, byte for byte, in the syntax they were stored in.
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "net/PacsClient.h"
#include "net/Retrieval.h"
#include "pacs_fixture.h"
#include "support/pacs_fixtures.h"
#include "support/paths.h"

namespace fs = std::filesystem;
using namespace pacstest;

namespace {

std::vector<TQueryRow> Query(const TPacsServer& server, TQueryLevel level,
                             const std::vector<TQueryKey>& keys) {
  std::vector<TQueryRow> rows;
  std::string why;
  EXPECT_TRUE(MakePacsClient(server)->Find(level, keys, rows, why))
      << server.Describe() << ": " << why;
  return rows;
}

std::set<std::string> Column(const std::vector<TQueryRow>& rows, const std::string& key) {
  std::set<std::string> out;
  for (const TQueryRow& r : rows) out.insert(r.Get(key));
  return out;
}

class EachKind : public ::testing::TestWithParam<const char*> {
 protected:
  TPacsServer Server(const testsupport::Orthanc& o) const {
    const std::string kind = GetParam();
    return kind == "dimse" ? DimseServer(o) : kind == "move" ? MoveServer(o) : WebServer(o);
  }
};

}  // namespace

TEST_P(EachKind, QueriesAtEveryLevelFindWhatWasUploaded) {
  REQUIRE_ORTHANC(o);
  const TPacsServer server = Server(*o);

  const auto patients = Query(server, TQueryLevel::Patient, {{"PatientID", "PACS-1"}});
  ASSERT_EQ(patients.size(), 1u);
  EXPECT_EQ(patients[0].Get("PatientName"), "PACS^TEST");
  EXPECT_EQ(patients[0].Get("NumberOfPatientRelatedStudies"), "1");
  EXPECT_EQ(patients[0].Get("NumberOfPatientRelatedInstances"), "6");

  const auto studies = Query(server, TQueryLevel::Study, {{"PatientName", "PACS^T*"}});
  ASSERT_EQ(studies.size(), 1u);
  EXPECT_EQ(studies[0].Get("StudyInstanceUID"), kStudyA);
  EXPECT_EQ(studies[0].Get("AccessionNumber"), "ACC001");
  EXPECT_EQ(studies[0].Get("StudyDescription"), "CHEST");
  EXPECT_EQ(studies[0].Get("NumberOfStudyRelatedSeries"), "2");
  EXPECT_EQ(studies[0].Get("NumberOfStudyRelatedInstances"), "6");
  // Every study, then a date range that leaves study B out.
  EXPECT_EQ(Column(Query(server, TQueryLevel::Study, {}), "StudyInstanceUID"),
            (std::set<std::string>{kStudyA, StudyB()}));
  EXPECT_EQ(Column(Query(server, TQueryLevel::Study, {{"StudyDate", "20240101-20240131"}}),
                   "StudyInstanceUID"),
            std::set<std::string>{kStudyA});

  const auto series = Query(server, TQueryLevel::Series, {{"StudyInstanceUID", kStudyA}});
  ASSERT_EQ(series.size(), 2u);
  for (const TQueryRow& r : series) {
    EXPECT_EQ(r.Get("StudyInstanceUID"), kStudyA);
    EXPECT_EQ(r.Get("Modality"), "CT");
    EXPECT_EQ(r.Get("NumberOfSeriesRelatedInstances"),
              r.Get("SeriesInstanceUID") == kSeriesA1 ? "4" : "2");
  }

  const auto instances = Query(server, TQueryLevel::Instance,
                               {{"StudyInstanceUID", kStudyA}, {"SeriesInstanceUID", kSeriesA1}});
  std::set<std::string> expected;
  for (const Uploaded& u : UploadedOf(kStudyA, kSeriesA1)) expected.insert(u.sopUid);
  EXPECT_EQ(Column(instances, "SOPInstanceUID"), expected);
  EXPECT_EQ(Column(instances, "SOPClassUID"), std::set<std::string>{"1.2.840.10008.5.1.4.1.1.2"});
}

TEST_P(EachKind, RetrieveBringsBackExactlyTheUploadedInstances) {
  REQUIRE_ORTHANC(o);
  const std::string dir = TestDir(std::string("retrieve_") + GetParam());
  auto client = MakePacsClient(Server(*o));
  std::map<std::string, int> announced;
  int storedCalls = 0;
  TRetrieveHooks hooks;
  hooks.announced = [&](const TAnnouncement& a) { announced = a.perSeries; };
  hooks.stored = [&](const TStoredInstance&) { ++storedCalls; };
  const TRetrieveResult r = RetrieveInto(*client, {dir, kStudyA, ""}, hooks);
  ASSERT_TRUE(r.ok) << r.why;
  EXPECT_EQ(announced, (std::map<std::string, int>{{kSeriesA1, 4}, {kSeriesA2, 2}}));
  EXPECT_EQ(storedCalls, 6);

  std::vector<std::string> expectedFiles;
  for (const Uploaded& u : UploadedOf(kStudyA)) {
    const std::string rel = u.studyUid + "/" + u.seriesUid + "/" + u.sopUid + ".dcm";
    expectedFiles.push_back(rel);
    const std::string got = dir + "/" + rel;
    ASSERT_TRUE(fs::exists(got)) << rel;
    // The same data set, in the syntax it was stored in (JPEG stays JPEG).
    EXPECT_EQ(DataSetBytes(got), DataSetBytes(u.path)) << rel;
    EXPECT_EQ(MetaTransferSyntax(got), MetaTransferSyntax(u.path)) << rel;
  }
  std::sort(expectedFiles.begin(), expectedFiles.end());
  EXPECT_EQ(FilesUnder(dir), expectedFiles);  // nothing else, no staging leftovers

  // One series alone.
  const std::string one = TestDir(std::string("retrieve_series_") + GetParam());
  const TRetrieveResult s = RetrieveInto(*client, {one, kStudyA, kSeriesA2});
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(FilesUnder(one).size(), 2u);
}

TEST_P(EachKind, AnUnknownStudyIsAFailureNotAnEmptySuccess) {
  REQUIRE_ORTHANC(o);
  const std::string dir = TestDir(std::string("retrieve_unknown_") + GetParam());
  auto client = MakePacsClient(Server(*o));
  const TRetrieveResult r = RetrieveInto(*client, {dir, "1.2.3.4.5.6.7.8.9", ""});
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.why.empty());
  EXPECT_TRUE(FilesUnder(dir).empty());
}

INSTANTIATE_TEST_SUITE_P(Orthanc, EachKind, ::testing::Values("dimse", "move", "web"),
                         [](const auto& info) { return std::string(info.param); });

TEST(PacsErrors, EachFailureGivesOneClearReason) {
  REQUIRE_ORTHANC(o);
  struct Case {
    const char* what;
    TPacsServer server;
    const char* reason;
  };
  TPacsServer wrongCalled = DimseServer(*o);
  wrongCalled.calledAe = "NOTORTHANC";
  TPacsServer wrongCalling = DimseServer(*o);
  wrongCalling.callingAe = "STRANGER";
  TPacsServer wrongPassword = WebServer(*o);
  wrongPassword.password = "wrong";
  TPacsServer noUser = WebServer(*o);
  noUser.user.clear();
  TPacsServer closedDimse = DimseServer(*o);
  closedDimse.port = testsupport::FreeLoopbackPort();
  TPacsServer closedWeb = WebServer(*o);
  closedWeb.port = closedDimse.port;
  TPacsServer wrongPath = WebServer(*o);
  wrongPath.path = "/not-dicom-web/";
  const std::vector<Case> cases = {
      {"wrong called AE", wrongCalled, "does not answer to the AE title \"NOTORTHANC\""},
      {"unknown calling AE", wrongCalling, "our AE title \"STRANGER\""},
      {"wrong password", wrongPassword, "refused the user name or password"},
      {"no user", noUser, "refused the user name or password"},
      {"closed DIMSE port", closedDimse, "connection was refused"},
      {"closed HTTP port", closedWeb, "connection was refused"},
      {"no DICOMweb there", wrongPath, "HTTP 404"},
  };
  for (const Case& c : cases) {
    auto client = MakePacsClient(c.server);
    std::vector<TQueryRow> rows;
    std::string why;
    EXPECT_FALSE(client->Find(TQueryLevel::Study, {}, rows, why)) << c.what;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    EXPECT_EQ(why.find("secret"), std::string::npos) << c.what << ": " << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << c.what << ": " << why;
    const std::string dir = TestDir("errors_retrieve");
    const TRetrieveResult r = RetrieveInto(*client, {dir, kStudyA, ""});
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_NE(r.why.find(c.reason), std::string::npos) << c.what << ": " << r.why;
    EXPECT_TRUE(FilesUnder(dir).empty()) << c.what;
  }
  // The storage SCP of a C-MOVE cannot listen on a port in use.
  TPacsServer busy = MoveServer(*o);
  busy.movePort = o->DicomPort();
  const std::string dir = TestDir("errors_busy_port");
  const TRetrieveResult r = RetrieveInto(*MakePacsClient(busy), {dir, kStudyA, ""});
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.why.find("port " + std::to_string(o->DicomPort())), std::string::npos) << r.why;
}

TEST(PacsEcho, BothKindsAnswer) {
  REQUIRE_ORTHANC(o);
  std::string why;
  EXPECT_TRUE(MakePacsClient(DimseServer(*o))->Echo(why)) << why;
  EXPECT_TRUE(MakePacsClient(WebServer(*o))->Echo(why)) << why;
}

TEST(PacsSyntaxes, EveryDecodableSyntaxIsOfferedCompressedFirst) {
  const std::vector<std::string>& ts = DecodableTransferSyntaxes();
  const auto at = [&](const char* uid) {
    return std::find(ts.begin(), ts.end(), uid) - ts.begin();
  };
  const long n = long(ts.size());
  for (const char* uid : {"1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.5",
                          "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2"})
    EXPECT_LT(at(uid), n) << uid;
  EXPECT_LT(at("1.2.840.10008.1.2.4.70"), at("1.2.840.10008.1.2.1"));
  EXPECT_LT(at("1.2.840.10008.1.2.1"), at("1.2.840.10008.1.2"));
  EXPECT_EQ(at("1.2.840.113619.5.2"), n);      // a private syntax is not offered
  EXPECT_EQ(at("1.2.840.10008.1.2.4.59"), n);  // nor a syntax the decoders refuse
  // Video is offered among the compressed syntaxes.
  EXPECT_LT(at("1.2.840.10008.1.2.4.102"), at("1.2.840.10008.1.2.1"));
  EXPECT_EQ(std::set<std::string>(ts.begin(), ts.end()).size(), ts.size());
}

// DCMTK keeps at most 128 presentation contexts in an SCP's list, and its
// table holds more storage classes: an instance of one of the last must still
// arrive by C-MOVE.
TEST(MoveScp, AcceptsStorageClassesBeyondTheFirst128) {
  REQUIRE_ORTHANC(o);
  const std::string base = TestDir("move-late-class");
  testsupport::CtSliceSpec spec;
  spec.patientId = "MOVE-CLASS";
  spec.patientName = "MOVE^CLASS";
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.95";
  spec.seriesUid = spec.studyUid + ".1";
  spec.sopUid = spec.seriesUid + ".1";
  const std::string source = base + "/late.dcm";
  {
    DcmFileFormat file;
    const std::vector<uint8_t> bytes = testsupport::CtSliceFile(spec);
    std::ofstream(source, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(file.loadFile(source.c_str()).good());
    const char* late = dcmAllStorageSOPClassUIDs[numberOfDcmAllStorageSOPClassUIDs - 1];
    file.getDataset()->putAndInsertString(DCM_SOPClassUID, late);
    file.getMetaInfo()->putAndInsertString(DCM_MediaStorageSOPClassUID, late);
    ASSERT_TRUE(file.saveFile(source.c_str(), EXS_LittleEndianExplicit).good());
  }
  std::string why;
  ASSERT_TRUE(o->Upload(source, why)) << why;

  auto client = MakePacsClient(MoveServer(*o));
  const TRetrieveResult r = RetrieveInto(*client, {base + "/out", spec.studyUid, ""});
  EXPECT_TRUE(r.ok) << r.why;
  ASSERT_EQ(r.stored.size(), 1u);
  EXPECT_EQ(DataSetBytes(r.stored[0].path), DataSetBytes(source));
}
