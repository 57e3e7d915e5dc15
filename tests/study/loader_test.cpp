#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <sys/stat.h>

#include "dicom/dicom_values.h"
#include "loader_fixtures.h"
#include "pixels/FrameCache.h"
#include "study/CancelToken.h"
#include "study/SortUnit.h"
#include "study/StudyLoad.h"

namespace fs = std::filesystem;
using loadfx::TestImage;

namespace {

class Loader : public ::testing::Test {
 protected:
  void SetUp() override { loadfx::ResetLoadingState(); }
  void TearDown() override { loadfx::ResetLoadingState(); }
  static std::string Dir(const std::string& name) { return testsupport::TempDir("loader_" + name); }
};

std::vector<std::string> Names(const TStringArray& paths, const std::string& root) {
  std::vector<std::string> out;
  for (const auto& p : paths) out.push_back(fs::path(p).lexically_relative(root).generic_string());
  return out;
}

// ---- listing ------------------------------------------------------------------------

TEST_F(Loader, ListingKeepsListedExtensionsAndEntersEveryDirectory) {
  const std::string dir = Dir("listing");
  const std::vector<uint8_t> any(10, 'x');
  for (const char* name :
       {"b", "a.dcm", "c.DCM", "d.dic", "e.dcn", "notes.TXT", "r.pdf", "r.doc", "r.docx", "r.rtf",
        "photo.jpg", "1.2.840.5", "DICOMDIR", "DicomDir", "x.old/inner.dcm", "sub/deep",
        "sub/deeper/z.dcm", "dicomdir/hidden.dcm", "sub.dcm/in"})
    loadfx::Write(dir, name, any);
  TStringArray list;
  list_DirectoryFiles(dir, list);
  // Name order within a directory, depth first where a directory is met.
  EXPECT_EQ(Names(list, dir),
            (std::vector<std::string>{"1.2.840.5", "a.dcm", "b", "c.DCM", "d.dic", "e.dcn",
                                      "notes.TXT", "r.doc", "r.docx", "r.pdf", "r.rtf", "sub/deep",
                                      "sub/deeper/z.dcm", "sub.dcm/in", "x.old/inner.dcm"}));

  // Lists append; a missing folder adds nothing.
  list_DirectoryFiles(dir + "/missing", list);
  EXPECT_EQ(list.size(), 15u);
}

TEST_F(Loader, ListingFollowsLinksOnceAndListsOnlyRegularFiles) {
  const std::string dir = Dir("links");
  loadfx::Write(dir, "a/f", std::vector<uint8_t>(4, 1));
  std::error_code ec;
  fs::create_directory_symlink(fs::path(dir) / "a", fs::path(dir) / "a" / "loop", ec);
  ASSERT_FALSE(ec) << ec.message();
  fs::create_symlink(fs::path(dir) / "a" / "f", fs::path(dir) / "link", ec);
  ASSERT_FALSE(ec);
  ASSERT_EQ(mkfifo((fs::path(dir) / "pipe").c_str(), 0600), 0);
  TStringArray list;
  list_DirectoryFiles(dir, list);
  // a/f once (the loop back to a is not entered again), the file link, no pipe.
  EXPECT_EQ(Names(list, dir), (std::vector<std::string>{"a/f", "link"}));
}

TEST_F(Loader, FoldersAreEnteredWhateverTheirNameAndUidNamedFilesListed) {
  const std::string dir = Dir("uids");
  loadfx::Write(dir, "1.2.840.10008.5/IM0001", std::vector<uint8_t>(4, 1));
  loadfx::Write(dir, "1.2.840.10008.5/1.2.840.10008.5.1.4.77", std::vector<uint8_t>(4, 1));
  loadfx::Write(dir, "2024.05/notes.old", std::vector<uint8_t>(4, 1));
  TStringArray list;
  list_DirectoryFiles(dir, list);
  EXPECT_EQ(Names(list, dir), (std::vector<std::string>{"1.2.840.10008.5/1.2.840.10008.5.1.4.77",
                                                        "1.2.840.10008.5/IM0001"}));
}

TEST_F(Loader, ExtensionsAndStudyTime) {
  EXPECT_EQ(LowerExtension("/x.y/Name.DcM"), ".dcm");
  EXPECT_EQ(LowerExtension("/x.y/name"), "");
  EXPECT_EQ(LowerExtension("archive.tar.GZ"), ".gz");
  EXPECT_TRUE(IsListedExtension(""));
  EXPECT_FALSE(IsListedExtension(".old"));
  // Files named by UID, and Siemens' extension.
  EXPECT_TRUE(IsListedExtension(LowerExtension("1.2.840.113619.2.55.3.2831164355.781.1")));
  EXPECT_TRUE(IsListedExtension(".ima"));
  EXPECT_FALSE(IsListedExtension(".1a"));
  EXPECT_TRUE(IsReportExtension(".docx"));
  EXPECT_FALSE(IsReportExtension(".dcm"));

  EXPECT_EQ(FormatStudyTime("143015:123456"), "14:30:15");
  EXPECT_EQ(FormatStudyTime("143015"), "14:30:15");
  EXPECT_EQ(FormatStudyTime("1430"), "14:30");
  EXPECT_EQ(FormatStudyTime(""), "");
  EXPECT_EQ(FormatStudyTime("14:04:38"), "14:04:38");  // ACR-NEMA style
  EXPECT_EQ(FormatStudyTime("14:04:38.5"), "14:04:38");
}

// ---- filing -------------------------------------------------------------------------

DICOMdata Header(const std::string& name, const std::string& id, const std::string& studyId,
                 const std::string& studyUid, const std::string& seriesUid,
                 const std::string& path) {
  DICOMdata h;
  h.PatientName = name;
  h.PatientID = id;
  h.Study_ID = studyId;
  h.Study_Instance_UID = studyUid;
  h.Series_Instance_UID = seriesUid;
  h.referenceFile = path;
  return h;
}

TEST_F(Loader, FilingMatchesEveryLevelExactly) {
  TPatientArr tree;
  EXPECT_TRUE(add_ToPatients(tree, Header("DOE", "1", "7", "u1", "s1", "/a")));
  // Same name, other ID: a second patient.
  EXPECT_TRUE(add_ToPatients(tree, Header("DOE", "2", "7", "u1", "s1", "/b")));
  // Same study ID, other UID: a second study.
  EXPECT_TRUE(add_ToPatients(tree, Header("DOE", "1", "7", "u2", "s2", "/c")));
  // Case matters.
  EXPECT_TRUE(add_ToPatients(tree, Header("doe", "1", "7", "u1", "s1", "/d")));
  // The same path again adds nothing.
  EXPECT_FALSE(add_ToPatients(tree, Header("DOE", "1", "7", "u1", "s1", "/a")));
  ASSERT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree[0].studies.size(), 2u);
  EXPECT_EQ(tree[0].studies[0].serieses[0].images.size(), 1u);

  // The new image carries the whole header and its frame tables, more than
  // 500 entries included.
  DICOMdata h = Header("DOE", "1", "7", "u1", "s1", "/e");
  h.ImageNum = 42;
  h.imageType = "AXIAL";
  h.Study_Time = "093000";
  h.gECATJPEG_table_entries = 600;
  h.gECATJPEG_pos_table.assign(600, 5);
  h.gECATJPEG_size_table.assign(600, 9);
  h.gECATJPEG_pos_table[599] = 77;
  TPatientArr fresh;
  add_ToPatients(fresh, std::move(h));
  const TStudy& st = fresh[0].studies[0];
  EXPECT_EQ(st.studyTime, "09:30:00");
  const TImg& img = st.serieses[0].images[0];
  EXPECT_EQ(img.instanceNumber, 42);
  EXPECT_EQ(img.imageType, "AXIAL");
  EXPECT_EQ(img.imagePath, "/e");
  EXPECT_EQ(img.Cache.gECATslices, 600);
  ASSERT_EQ(img.Cache.gECATposra.size(), 600u);
  EXPECT_EQ(img.Cache.gECATposra[599], 77);
  EXPECT_EQ(img.Cache.DICOM.gECATJPEG_pos_table.size(), 600u);
  EXPECT_EQ(img.Cache.DICOM.ImageNum, 42);
}

// A header of Header() with its study date, raw and as the tree shows it.
DICOMdata Dated(DICOMdata h, const std::string& date) {
  h.StudyDate = date;
  h.studydate_formated = FormatDicomDate(date);
  return h;
}

// Records the old rules told apart differently: filing a folder wanted Study
// ID and UID equal, merging a DICOMDIR the UID alone. One rule decides now,
// and filing and merging agree on it.
TEST_F(Loader, OneSameStudyRuleForFilingAndMerging) {
  // The same UID under two Study IDs (a study resumed and numbered anew):
  // one study. Filing used to make two of it, merging one.
  const DICOMdata a =
      Dated(Header("DOE", "1", "7", "1.2.826.0.5", "1.2.826.0.5.1", "/a"), "20240314");
  const DICOMdata b =
      Dated(Header("DOE", "1", "8", "1.2.826.0.5", "1.2.826.0.5.2", "/b"), "20240315");
  EXPECT_TRUE(SameStudy(a, b));
  // Two UIDs are two studies, whatever the Study ID and date say.
  const DICOMdata c =
      Dated(Header("DOE", "1", "7", "1.2.826.0.6", "1.2.826.0.6.1", "/c"), "20240314");
  EXPECT_FALSE(SameStudy(a, c));
  // A UID missing on either side: the Study ID and date decide together.
  // Merging used to take every UID-less study for one.
  const DICOMdata d = Dated(Header("DOE", "1", "7", "", "1.2.826.0.7.1", "/d"), "20240314");
  const DICOMdata e = Dated(Header("DOE", "1", "9", "", "1.2.826.0.7.2", "/e"), "20240314");
  const DICOMdata f = Dated(Header("DOE", "1", "7", "", "1.2.826.0.7.3", "/f"), "20240316");
  EXPECT_TRUE(SameStudy(a, d));
  EXPECT_FALSE(SameStudy(d, e));
  EXPECT_FALSE(SameStudy(d, f));
  // Whichever form the date is held in: the tree shows DD/MM/YYYY, DICOMDIR
  // records hold YYYYMMDD.
  TStudy shown;
  shown.instanceUid = "1.2.826.0.5";
  shown.studyID = "7";
  shown.studyDate = "14/03/2024";
  TStudy listed;
  listed.studyID = "7";
  listed.studyDate = "20240314";
  EXPECT_TRUE(SameStudy(shown, listed));
  listed.studyDate = "20240313";
  EXPECT_FALSE(SameStudy(shown, listed));

  // Filing: a, b and d in one study; c, e and f each in one of their own.
  // (The old folder rule made five studies of these, the old merge three.)
  TPatientArr filed;
  for (const DICOMdata* h : {&a, &b, &c, &d, &e, &f}) add_ToPatients(filed, DICOMdata(*h));
  ASSERT_EQ(filed.size(), 1u);
  const TStudyArr& studies = filed[0].studies;
  ASSERT_EQ(studies.size(), 4u);
  EXPECT_EQ(studies[0].serieses.size(), 3u);
  EXPECT_EQ(studies[0].instanceUid, "1.2.826.0.5");
  EXPECT_EQ(studies[1].instanceUid, "1.2.826.0.6");
  EXPECT_EQ(studies[2].studyID, "9");
  EXPECT_EQ(studies[3].studyDate, "16/03/2024");

  // Merging the same records, each in a tree of its own, gives the same
  // studies: one rule, not one per caller.
  TPatientArr merged;
  for (const DICOMdata* h : {&a, &b, &c, &d, &e, &f}) {
    TPatientArr one;
    add_ToPatients(one, DICOMdata(*h));
    MergePatients(merged, one);
  }
  ASSERT_EQ(merged.size(), 1u);
  ASSERT_EQ(merged[0].studies.size(), studies.size());
  for (size_t k = 0; k < studies.size(); ++k) {
    EXPECT_EQ(merged[0].studies[k].instanceUid, studies[k].instanceUid) << k;
    EXPECT_EQ(merged[0].studies[k].serieses.size(), studies[k].serieses.size()) << k;
  }
}

TEST_F(Loader, MergeKeepsPatientsWithOneNameApartAndSkipsKnownPaths) {
  TPatientArr into;
  add_ToPatients(into, Header("DOE", "1", "7", "u1", "s1", "/a"));
  TPatientArr src(2);
  src[0].patientName = "DOE";
  src[0].patintID = "2";  // another patient who shares the name
  src[0].studies.resize(1);
  src[0].studies[0].serieses.resize(1);
  src[0].studies[0].serieses[0].images.resize(1);
  src[1] = into[0];
  src[1].studies[0].serieses[0].images[0].imagePath = "/a";  // already there
  TImg extra;
  extra.imagePath = "/z";
  src[1].studies[0].serieses[0].images.push_back(extra);
  EXPECT_EQ(MergePatients(into, src), 2);
  ASSERT_EQ(into.size(), 2u);
  EXPECT_EQ(into[0].studies[0].serieses[0].images.size(), 2u);
  EXPECT_EQ(into[0].studies[0].serieses[0].imagesListPath, TStringArray{"/z"});
}

TEST_F(Loader, FreeMemoryReleasesFramesAndEmptiesTheTree) {
  TPatientArr tree;
  add_ToPatients(tree, Header("DOE", "1", "7", "u1", "s1", "/a"));
  DecodedFrame f;
  f.buff16.assign(100, 0);
  FrameCache::Shared().Insert("/a", 1, std::move(f));
  ASSERT_GT(FrameCache::Shared().BytesHeld(), 0);
  TGlobal::FreeMemory(tree);
  EXPECT_TRUE(tree.empty());
  EXPECT_EQ(FrameCache::Shared().BytesHeld(), 0);
  EXPECT_FALSE(FrameCache::Shared().Contains("/a", 1));
}

TEST_F(Loader, FreeMemoryInBackgroundEmptiesAtOnceAndFreesTheTreeLater) {
  { DICOMdata made; }  // a fresh header's texts are made once, for good
  const size_t before = TSharedText::LiveValues();
  TPatientArr tree;
  for (int i = 0; i < 3; ++i)
    add_ToPatients(tree, Header("BACKGROUND^FREE", "bg-1", "7", "1.2.826.0.1.3680043.10.998.1",
                                "1.2.826.0.1.3680043.10.998.1." + std::to_string(i), "/bg"));
  ASSERT_GT(TSharedText::LiveValues(), before);
  DecodedFrame f;
  f.buff16.assign(100, 0);
  FrameCache::Shared().Insert("/bg", 1, std::move(f));
  study::TTaskHandle freed = TGlobal::FreeMemoryInBackground(tree);
  EXPECT_TRUE(tree.empty());
  EXPECT_EQ(FrameCache::Shared().BytesHeld(), 0);
  // Every text the tree held is given back once its records are gone.
  freed.Wait();
  EXPECT_EQ(TSharedText::LiveValues(), before);
}

// ---- folder loads -------------------------------------------------------------------

TEST_F(Loader, FolderLoadFilesPatientsStudiesAndSeriesAndSortsThem) {
  const std::string dir = Dir("folder");
  TestImage a;
  a.patientId = "1001";
  TestImage b = a;
  b.patientId = "1002";  // same name, another ID
  b.studyUid = "1.2.826.0.1.2";
  b.seriesUid = "1.2.826.0.1.2.1";
  TestImage c = a;
  c.studyUid = "1.2.826.0.1.3";  // same study ID, another UID
  c.seriesUid = "1.2.826.0.1.3.1";
  loadfx::WriteImage(dir, "a", a);  // no extension: parsed
  loadfx::WriteImage(dir, "b.dcm", b);
  loadfx::WriteImage(dir, "c.DIC", c);
  // A DICOM file named .txt is a report, never parsed.
  loadfx::Write(dir, "letter.txt", loadfx::ImageFile(c));
  // Series 3, 1, 2 of one study, and images 10, 2, 1 of series 1.
  for (int s : {3, 1, 2}) {
    TestImage t = a;
    t.seriesNumber = s;
    if (s != 1) t.seriesUid = "1.2.826.0.1.1.9" + std::to_string(s);
    loadfx::WriteImage(dir, "s" + std::to_string(s), t);
  }
  for (int i : {10, 2}) {
    TestImage t = a;
    t.instance = i;
    loadfx::WriteImage(dir, "sub/i" + std::to_string(i), t);
  }

  const TLoadResult r = LoadFolder(dir);
  EXPECT_EQ(r.kind, TLoadKind::Folder);
  EXPECT_EQ(r.filesListed, 9);
  EXPECT_EQ(r.filesCounted, 9);
  EXPECT_EQ(r.filesFiled, 8);
  EXPECT_EQ(r.imagesAdded, 8);
  EXPECT_EQ(r.reportsFound, 1);
  EXPECT_FALSE(r.cancelled);
  EXPECT_TRUE(r.skipped.empty());
  EXPECT_EQ(r.lastPatientsLength, 0);
  EXPECT_EQ(r.patientsAfter, 2);
  EXPECT_EQ(gFileList.size(), 9u);

  std::lock_guard lock(gPatientsMutex);
  ASSERT_EQ(gPatients.size(), 2u);
  const TPatient* p1 = nullptr;
  for (const auto& p : gPatients)
    if (p.patintID == "1001") p1 = &p;
  ASSERT_NE(p1, nullptr);
  ASSERT_EQ(p1->studies.size(), 2u);
  const TStudy* st = p1->studies[0].serieses.size() > 1 ? &p1->studies[0] : &p1->studies[1];
  EXPECT_EQ(st->studyTime, "14:30:15");
  EXPECT_EQ(st->studyDate, "14/03/2024");
  ASSERT_EQ(st->serieses.size(), 3u);
  EXPECT_EQ(st->serieses[0].seriesNumber, 1);
  EXPECT_EQ(st->serieses[1].seriesNumber, 2);
  EXPECT_EQ(st->serieses[2].seriesNumber, 3);
  // Series 1 holds a, s1 (both instance 1), then 2 and 10, in numeric order.
  std::vector<int> numbers;
  for (const auto& img : st->serieses[0].images) {
    numbers.push_back(img.instanceNumber);
    EXPECT_TRUE(fs::path(img.imagePath).is_absolute());
    EXPECT_EQ(img.Cache.DICOM.referenceFile, img.imagePath);
  }
  EXPECT_EQ(numbers, (std::vector<int>{1, 1, 2, 10}));
  ASSERT_EQ(gReports.size(), 1u);
  EXPECT_EQ(gReports[0].PatientName, "");
  EXPECT_EQ(gReports[0].PatientId, "");
  EXPECT_EQ(fs::path(gReports[0].ReportPath).filename(), "letter.txt");
}

TEST_F(Loader, SameFolderTwiceAddsNothingAndReportsOnlyFoldersAddNoPatients) {
  const std::string dir = Dir("twice");
  loadfx::WriteImage(dir, "x", TestImage{});
  const TLoadResult first = LoadFolder(dir);
  EXPECT_EQ(first.imagesAdded, 1);
  EXPECT_TRUE(first.patientsAdded);
  const TLoadResult second = LoadFolder(dir + "/");
  EXPECT_EQ(second.filesFiled, 1);
  EXPECT_EQ(second.imagesAdded, 0);
  EXPECT_FALSE(second.patientsAdded);
  EXPECT_EQ(loadfx::ImageCount(gPatients), 1);
  EXPECT_EQ(gOpenedFiles.size() >= 2, true);

  loadfx::ResetLoadingState();
  const std::string reports = Dir("reports");
  loadfx::Write(reports, "a.pdf", std::vector<uint8_t>(400, 0));
  loadfx::Write(reports, "deep/b.RTF", std::vector<uint8_t>(3, 0));
  const TLoadResult r = LoadFolder(reports);
  EXPECT_EQ(r.reportsFound, 2);
  EXPECT_FALSE(r.patientsAdded);
  EXPECT_TRUE(gPatients.empty());
  ASSERT_EQ(gReports.size(), 2u);
  EXPECT_EQ(ReportRowText(gReports[0]).patient, "");
}

// One instance (SOP Instance UID) is filed once per tree, whichever way a
// second copy comes: in the same folder, a folder opened later, one file, a
// medium. Each copy is listed once in the load's result.
TEST_F(Loader, EachInstanceIsFiledOnceWhereverItsCopiesComeFrom) {
  const std::string dir = Dir("copies");
  TestImage a, b;
  a.sopUid = "1.2.826.0.1.1.1.1";
  b.sopUid = "1.2.826.0.1.1.1.2";
  b.instance = 2;
  loadfx::WriteImage(dir, "cd/IM1", a);
  loadfx::WriteImage(dir, "cd/IM2", b);
  loadfx::WriteImage(dir, "pacs/1.2.826.0.1.1.1.1.dcm", a);  // the same instance again
  const TLoadResult first = LoadFolder(dir);
  EXPECT_EQ(first.imagesAdded, 2);
  ASSERT_EQ(first.duplicates.size(), 1u);
  EXPECT_EQ(first.duplicates[0].path, dir + "/pacs/1.2.826.0.1.1.1.1.dcm");
  EXPECT_EQ(first.duplicates[0].reason, "the same instance as " + dir + "/cd/IM1");

  // A later folder holding a third copy, and the copy opened on its own.
  loadfx::WriteImage(dir + "/later", "copy", b);
  const TLoadResult later = LoadFolder(dir + "/later");
  EXPECT_EQ(later.imagesAdded, 0);
  ASSERT_EQ(later.duplicates.size(), 1u);
  EXPECT_EQ(later.duplicates[0].reason, "the same instance as " + dir + "/cd/IM2");
  const TLoadResult single = LoadSingleFile(dir + "/later/copy");
  EXPECT_EQ(single.imagesAdded, 0);
  EXPECT_EQ(single.duplicates.size(), 1u);
  // Opening the same folder again is not a copy: nothing to report.
  EXPECT_TRUE(LoadFolder(dir + "/cd").duplicates.empty());

  // A medium listing copies of what is loaded.
  const std::string medium = Dir("copies_medium");
  loadfx::WriteImage(medium, "IMG1", a);
  TestImage c = a;
  c.instance = 3;
  c.sopUid = "1.2.826.0.1.1.1.3";
  loadfx::WriteImage(medium, "IMG3", c);
  loadfx::Write(medium, "DICOMDIR",
                loadfx::DicomDirFile({loadfx::Patient(a.patientName, a.patientId),
                                      loadfx::Study(a.studyUid, a.studyId),
                                      loadfx::Series(a.seriesUid, a.modality, 1),
                                      loadfx::Image("IMG1", 1), loadfx::Image("IMG3", 3)}));
  const TLoadResult cd = LoadDicomDir(medium + "/DICOMDIR");
  EXPECT_EQ(cd.imagesAdded, 1);
  ASSERT_EQ(cd.duplicates.size(), 1u);
  EXPECT_EQ(cd.duplicates[0].path, medium + "/IMG1");
  std::lock_guard lock(gPatientsMutex);
  EXPECT_EQ(loadfx::ImageCount(gPatients), 3);
}

// A text file tells about a study only beside its images; documents of the
// other kinds are reports wherever they lie.
TEST_F(Loader, TextFilesAreReportsOnlyBesideImages) {
  const std::string root = Dir("text_reports");
  loadfx::Write(root, "README.TXT", {'c', 'd'});
  loadfx::Write(root, "cover.pdf", {'%', 'P'});
  loadfx::WriteImage(root, "CT/IM1", TestImage{});
  const std::string findings = loadfx::Write(root, "CT/findings.txt", {'o', 'k'});
  loadfx::Write(root, "notes/log.txt", {'l'});
  loadfx::Write(root, "junk/x", std::vector<uint8_t>(300, 9));  // no image beside x.txt
  loadfx::Write(root, "junk/x.txt", {'x'});
  const TLoadResult r = LoadFolder(root);
  EXPECT_EQ(r.filesFiled, 1);
  EXPECT_EQ(r.reportsFound, 2);
  {
    std::lock_guard lock(gPatientsMutex);
    std::set<std::string> names;
    for (const TReportRecord& report : gReports)
      names.insert(fs::path(report.ReportPath).lexically_relative(root).generic_string());
    EXPECT_EQ(names, (std::set<std::string>{"CT/findings.txt", "cover.pdf"}));
  }

  // Opened by itself: beside filed images a report; elsewhere refused, saying why.
  const TLoadResult lone = LoadSingleFile(root + "/README.TXT");
  EXPECT_EQ(lone.reportsFound, 0);
  ASSERT_EQ(lone.skipped.size(), 1u);
  EXPECT_NE(lone.skipped[0].reason.find("not a report"), std::string::npos);
  EXPECT_EQ(LoadSingleFile(findings).reportsFound, 1);

  // A DICOMDIR: its README is none; a text beside the images it lists is one,
  // under the patient of those images.
  loadfx::ResetLoadingState();
  const std::string medium = Dir("text_medium");
  TestImage t;
  t.studyUid = "1.2.826.0.8";
  t.seriesUid = "1.2.826.0.8.1";
  loadfx::WriteImage(medium, "img/0001", t);
  loadfx::Write(medium, "README.TXT", {'c', 'd'});
  loadfx::Write(medium, "img/report.txt", {'o', 'k'});
  loadfx::Write(medium, "DICOMDIR",
                loadfx::DicomDirFile(
                    {loadfx::Patient("ROE^ANN", "77"), loadfx::Study("1.2.826.0.8"),
                     loadfx::Series("1.2.826.0.8.1", "CT", 1), loadfx::Image("IMG\\0001", 1)}));
  EXPECT_EQ(LoadDicomDir(medium + "/DICOMDIR").reportsFound, 1);
  std::lock_guard lock(gPatientsMutex);
  ASSERT_EQ(gReports.size(), 1u);
  EXPECT_EQ(gReports[0].ReportPath, (fs::path(medium) / "img" / "report.txt").string());
  EXPECT_EQ(gReports[0].PatientId, "77");
}

TEST_F(Loader, EmptyFolderFinishesWithNothingAdded) {
  const TLoadResult r = LoadFolder(Dir("empty"));
  EXPECT_EQ(r.filesListed, 0);
  EXPECT_EQ(r.filesCounted, 0);
  EXPECT_FALSE(r.cancelled);
  EXPECT_FALSE(r.patientsAdded);
  EXPECT_TRUE(gPatients.empty());
}

TEST_F(Loader, LayoutRuleInputsForCtWithFourSeriesAndMrWithThree) {
  const std::string ct = Dir("ct4");
  for (int s = 1; s <= 4; ++s) {
    TestImage t;
    t.seriesNumber = 5 - s;
    t.seriesUid = "1.2.826.0.1.1." + std::to_string(s);
    loadfx::WriteImage(ct, "f" + std::to_string(s), t);
  }
  const TLoadResult r = LoadFolder(ct);
  EXPECT_TRUE(r.patientsAdded);
  EXPECT_EQ(r.firstNewStudySeriesCount, 4);
  EXPECT_EQ(r.firstNewStudyFirstModality, "CT");
  EXPECT_TRUE(WantsTwoByTwoLayout(r, 1));
  EXPECT_TRUE(WantsTwoByTwoLayout(r, 2));
  EXPECT_FALSE(WantsTwoByTwoLayout(r, 4));  // the grid already has four cells

  const std::string mr = Dir("mr3");
  for (int s = 1; s <= 3; ++s) {
    TestImage t;
    t.patientId = "2002";
    t.modality = "MR";
    t.studyUid = "1.2.826.0.2";
    t.seriesUid = "1.2.826.0.2." + std::to_string(s);
    loadfx::WriteImage(mr, "f" + std::to_string(s), t);
  }
  const TLoadResult m = LoadFolder(mr);
  EXPECT_TRUE(m.patientsAdded);
  EXPECT_EQ(m.lastPatientsLength, 1);
  EXPECT_EQ(m.firstNewStudySeriesCount, 3);
  EXPECT_EQ(m.firstNewStudyFirstModality, "MR");
  EXPECT_FALSE(WantsTwoByTwoLayout(m, 1));

  TLoadResult other = r;
  other.firstNewStudyFirstModality = "pet/ct";
  EXPECT_TRUE(WantsTwoByTwoLayout(other, 1));
  other.firstNewStudyFirstModality = "US";
  EXPECT_FALSE(WantsTwoByTwoLayout(other, 1));
  other = r;
  other.patientsAdded = false;  // a load that only added to known patients
  EXPECT_FALSE(WantsTwoByTwoLayout(other, 1));
}

TEST_F(Loader, SingleFileOpenDoesNotSortButTheNextFolderLoadSortsAll) {
  const std::string dir = Dir("single");
  TestImage t;
  t.instance = 5;
  loadfx::WriteImage(dir, "five", t);
  LoadFolder(dir);
  t.instance = 3;
  const std::string three = loadfx::WriteImage(Dir("single_extra"), "three", t);
  const std::string more = Dir("single_more");
  const std::string junkDir = Dir("single_junk");
  const TLoadResult r = LoadSingleFile(three);
  EXPECT_EQ(r.kind, TLoadKind::SingleFile);
  EXPECT_EQ(r.filesFiled, 1);
  EXPECT_EQ(r.imagesAdded, 1);
  ASSERT_EQ(gFileHeaders.size(), 1u);
  EXPECT_EQ(gFileHeaders[0].referenceFile, three);
  {
    const auto& images = gPatients[0].studies[0].serieses[0].images;
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].instanceNumber, 5);
    EXPECT_EQ(images[1].instanceNumber, 3);
  }
  // Opening it again adds nothing.
  EXPECT_EQ(LoadSingleFile(three).imagesAdded, 0);
  t.instance = 4;
  loadfx::WriteImage(more, "four", t);
  LoadFolder(more);
  std::vector<int> numbers;
  for (const auto& img : gPatients[0].studies[0].serieses[0].images)
    numbers.push_back(img.instanceNumber);
  EXPECT_EQ(numbers, (std::vector<int>{3, 4, 5}));

  // A file that is no image is not filed and says why; a report is listed.
  const std::string junk = loadfx::Write(junkDir, "junk", std::vector<uint8_t>(500, 7));
  const TLoadResult bad = LoadSingleFile(junk);
  EXPECT_EQ(bad.filesFiled, 0);
  ASSERT_EQ(bad.skipped.size(), 1u);
  EXPECT_EQ(bad.skipped[0].path, junk);
  EXPECT_FALSE(bad.skipped[0].reason.empty());
  const std::string report = loadfx::Write(junkDir, "r.pdf", {1, 2});
  EXPECT_EQ(LoadSingleFile(report).reportsFound, 1);
  EXPECT_EQ(ChooseLoadKind(report), TLoadKind::SingleFile);
  EXPECT_EQ(ChooseLoadKind(junkDir), TLoadKind::Folder);
}

TEST_F(Loader, PresentationStatesAreSkippedWithTheirReason) {
  const std::string dir = Dir("pr");
  TestImage t;
  t.modality = "PR";
  loadfx::WriteImage(dir, "state", t);
  const TLoadResult r = LoadFolder(dir);
  EXPECT_EQ(r.filesFiled, 0);
  ASSERT_EQ(r.skipped.size(), 1u);
  EXPECT_NE(r.skipped[0].reason.find("presentation state"), std::string::npos);
  EXPECT_TRUE(gPatients.empty());
}

TEST_F(Loader, CancelMidLoadKeepsWhatWasFiled) {
  const std::string dir = Dir("cancel");
  for (int i = 0; i < 200; ++i) {
    TestImage t;
    t.instance = 200 - i;
    loadfx::WriteImage(dir, "f" + std::to_string(1000 + i), t);
  }
  study::TCancelToken cancel;
  TLoadHooks hooks;
  hooks.cancel = &cancel;
  hooks.progress = [&](int done, int) {
    if (done == 20) cancel.Cancel();
  };
  const TLoadResult r = LoadFolder(dir, hooks);
  EXPECT_TRUE(r.cancelled);
  EXPECT_GE(r.filesCounted, 20);
  EXPECT_LT(r.filesCounted, 200);
  EXPECT_EQ(r.filesFiled, r.filesCounted);
  EXPECT_EQ(loadfx::ImageCount(gPatients), r.filesFiled);
  const auto& images = gPatients[0].studies[0].serieses[0].images;
  EXPECT_TRUE(std::is_sorted(images.begin(), images.end(), [](const TImg& a, const TImg& b) {
    return a.instanceNumber < b.instanceNumber;
  }));
}

TEST_F(Loader, CancelEndsTheListingToo) {
  // A cancel pressed while a large tree is still being listed stops the walk,
  // not only the reads.
  const std::string dir = Dir("cancel-listing");
  for (int d = 0; d < 3; ++d) loadfx::WriteImage(dir, "d" + std::to_string(d) + "/f", TestImage{});
  study::TCancelToken cancel;
  cancel.Cancel();
  TLoadHooks hooks;
  hooks.cancel = &cancel;
  const TLoadResult r = LoadFolder(dir, hooks);
  EXPECT_TRUE(r.cancelled);
  EXPECT_EQ(r.filesListed, 0);
  EXPECT_TRUE(gPatients.empty());
  TStringArray list;
  list_DirectoryFiles(dir, list);  // no cancel: the whole tree
  EXPECT_EQ(list.size(), 3u);
}

// Every image of the tree once, each series in display order and none empty,
// every image's record filled from its own file.
void ExpectConsistent(const TPatientArr& tree) {
  std::set<std::string> paths;
  for (const TPatient& p : tree) {
    EXPECT_FALSE(p.studies.empty()) << p.patientName;
    for (const TStudy& st : p.studies) {
      EXPECT_FALSE(st.serieses.empty()) << st.instanceUid;
      for (const TSeries& se : st.serieses) {
        EXPECT_FALSE(se.images.empty()) << se.instanceUid;
        EXPECT_TRUE(std::is_sorted(
            se.images.begin(), se.images.end(),
            [](const TImg& a, const TImg& b) { return a.instanceNumber < b.instanceNumber; }))
            << se.instanceUid;
        for (const TImg& im : se.images) {
          EXPECT_TRUE(paths.insert(im.imagePath).second) << im.imagePath;
          EXPECT_EQ(im.Cache.DICOM.referenceFile, im.imagePath);
          EXPECT_EQ(im.Cache.DICOM.Series_Instance_UID, se.instanceUid);
          EXPECT_TRUE(SameStudy(st, im.Cache.DICOM)) << im.imagePath;
        }
      }
    }
  }
}

TEST_F(Loader, CancelFromAnotherThreadReturnsPromptlyWithWhatWasFiledAndAConsistentTree) {
  // A tree loaded before, whose series the cancelled load joins.
  const std::string before = Dir("cancel_thread_before");
  for (int i = 0; i < 5; ++i) {
    TestImage t;
    t.instance = 1000 + i;
    loadfx::WriteImage(before, "b" + std::to_string(i), t);
  }
  ASSERT_EQ(LoadFolder(before).imagesAdded, 5);

  const std::string dir = Dir("cancel_thread");
  constexpr int kFiles = 1500;
  for (int i = 0; i < kFiles; ++i) {
    TestImage t;
    t.seriesUid = "1.2.826.0.1.1." + std::to_string(1 + i % 6);  // series 1 is the one before
    t.seriesNumber = 1 + i % 6;
    t.instance = (i * 7919) % kFiles;
    loadfx::WriteImage(dir, "s" + std::to_string(i % 6) + "/f" + std::to_string(i), t);
  }
  study::TCancelToken cancel;
  std::atomic<int> seen{0};
  TLoadHooks hooks;
  hooks.cancel = &cancel;
  hooks.progress = [&](int done, int) { seen = done; };
  using Clock = std::chrono::steady_clock;
  std::atomic<int64_t> cancelledAt{0};
  std::thread canceller([&] {
    while (seen < 100) std::this_thread::yield();
    cancelledAt = Clock::now().time_since_epoch().count();
    cancel.Cancel();
  });
  const TLoadResult r = LoadFolder(dir, hooks);
  const auto returned = Clock::now();
  canceller.join();
  const auto afterCancel = returned - Clock::time_point(Clock::duration(cancelledAt.load()));
  // Only the reads already running finish: a chunk of files per thread.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(afterCancel).count(), 2000);
  EXPECT_TRUE(r.cancelled);
  EXPECT_GE(r.filesCounted, 100);
  EXPECT_LT(r.filesCounted, kFiles);
  EXPECT_EQ(r.filesFiled, r.filesCounted);
  EXPECT_EQ(r.imagesAdded, r.filesFiled);
  // What was not read is not filed, and the tree holds what was.
  std::lock_guard lock(gPatientsMutex);
  EXPECT_EQ(loadfx::ImageCount(gPatients), 5 + r.filesFiled);
  ASSERT_EQ(gPatients.size(), 1u);
  ASSERT_EQ(gPatients[0].studies.size(), 1u);
  ExpectConsistent(gPatients);
  // The load before kept its images, in the series the cancelled load joined.
  const TSeries& first = gPatients[0].studies[0].serieses[0];
  EXPECT_EQ(first.seriesNumber, 1);
  const int kept = int(std::count_if(first.images.begin(), first.images.end(), [&](const TImg& im) {
    return im.imagePath.starts_with(fs::absolute(before).lexically_normal().string());
  }));
  EXPECT_EQ(kept, 5);
}

TEST_F(Loader, CancelledDicomDirLoadFilesOnlyCheckedImages) {
  const std::string medium = Dir("cancel_dicomdir");
  std::vector<loadfx::Record> records = {loadfx::Patient("DOE^JOHN", "1001"),
                                         loadfx::Study("1.2.826.0.8"),
                                         loadfx::Series("1.2.826.0.8.1", "CT", 1)};
  constexpr int kImages = 400;
  for (int i = 1; i <= kImages; ++i) {
    TestImage t;
    t.studyUid = "1.2.826.0.8";
    t.seriesUid = "1.2.826.0.8.1";
    t.instance = i;
    const std::string name = "IMG" + std::to_string(i);
    loadfx::WriteImage(medium, name, t);
    records.push_back(loadfx::Image(name, i));
  }
  loadfx::Write(medium, "DICOMDIR", loadfx::DicomDirFile(records));
  study::TCancelToken cancel;
  TLoadHooks hooks;
  hooks.cancel = &cancel;
  hooks.progress = [&](int done, int) {
    if (done == 30) cancel.Cancel();
  };
  const TLoadResult r = LoadDicomDir(medium + "/DICOMDIR", hooks);
  EXPECT_TRUE(r.cancelled);
  EXPECT_GE(r.filesCounted, 30);
  EXPECT_LT(r.filesCounted, kImages);
  EXPECT_EQ(r.filesFiled, r.filesCounted);
  EXPECT_EQ(int(r.skipped.size()), kImages - r.filesCounted);
  for (const TSkippedFile& s : r.skipped) EXPECT_EQ(s.reason, "not read: the load was cancelled");
  std::lock_guard lock(gPatientsMutex);
  EXPECT_EQ(loadfx::ImageCount(gPatients), r.filesFiled);
}

// The display order of a whole tree, as the sort of a folder load gives it.
void SortTree(TPatientArr& patients) {
  for (auto& patient : patients)
    for (auto& study : patient.studies) {
      TSortHandler::SortSeries(study.serieses);
      for (auto& series : study.serieses) TSortHandler::SortImages(series.images);
    }
}

// The folder load files, merges and sorts in bulk; the tree must be the one
// that filing every listed file one by one and then sorting gives, tie order
// of equal instance numbers included, also when a load joins series that an
// earlier (unsorted) open or load already holds.
std::string TreeText(const TPatientArr& tree) {
  std::string out;
  for (const auto& p : tree) {
    out += "P " + p.patientName + "|" + p.patintID + "\n";
    for (const auto& st : p.studies) {
      out += " S " + st.studyID + "|" + st.instanceUid + "|" + st.studyTime + "\n";
      for (const auto& se : st.serieses) {
        out += "  E " + se.instanceUid + "|" + std::to_string(se.seriesNumber) + "\n";
        for (const auto& img : se.images)
          out += "   " + std::to_string(img.instanceNumber) + " " + img.imagePath + " " +
                 img.Cache.DICOM.referenceFile + "\n";
      }
    }
  }
  return out;
}

TEST_F(Loader, BulkFilingGivesTheTreeOfFilingOneByOneAndSorting) {
  std::mt19937 rng(5);
  auto writeFolder = [&](const std::string& dir, int files) {
    for (int i = 0; i < files; ++i) {
      TestImage t;
      const int patient = int(rng() % 3);
      t.patientName = patient == 2 ? "DOE^JOHN" : "ROE^ANN";
      t.patientId = std::to_string(100 + patient % 2);  // one name under two IDs
      t.studyUid = "1.2.826.0.9." + std::to_string(patient) + "." + std::to_string(rng() % 2);
      t.seriesUid = t.studyUid + "." + std::to_string(rng() % 3);
      t.seriesNumber = int(rng() % 4);  // equal series numbers too
      t.instance = int(rng() % 6);      // many equal instance numbers
      loadfx::WriteImage(dir, "d" + std::to_string(rng() % 4) + "/f" + std::to_string(i), t);
    }
  };
  const std::string a = Dir("bulk_a"), b = Dir("bulk_b");
  writeFolder(a, 150);
  writeFolder(b, 90);

  // The reference: every listed file filed in listing order, then sorted.
  TPatientArr expected;
  auto fileOneByOne = [&](const std::string& dir) {
    TStringArray list;
    list_DirectoryFiles(fs::absolute(dir).lexically_normal().string(), list);
    for (const auto& path : list) {
      DICOMdata h;
      bool hdrOK = false, imgOK = false;
      ReadDicomHeader(path, true, h, hdrOK, imgOK);
      ASSERT_TRUE(imgOK) << path;
      h.referenceFile = path;
      add_ToPatients(expected, std::move(h));
    }
  };

  // An unsorted start: one file of b opened alone, then a, then b (which
  // joins series of both and holds that file again).
  TStringArray listB;
  list_DirectoryFiles(b, listB);
  ASSERT_FALSE(listB.empty());
  const std::string single = listB.back();
  ASSERT_EQ(LoadSingleFile(single).imagesAdded, 1);
  {
    DICOMdata h;
    bool hdrOK = false, imgOK = false;
    ReadDicomHeader(single, true, h, hdrOK, imgOK);
    h.referenceFile = single;
    add_ToPatients(expected, std::move(h));
  }

  const TLoadResult ra = LoadFolder(a);
  fileOneByOne(a);
  SortTree(expected);
  EXPECT_EQ(ra.imagesAdded, 150);
  EXPECT_EQ(TreeText(gPatients), TreeText(expected));

  const TLoadResult rb = LoadFolder(b);
  fileOneByOne(b);
  SortTree(expected);
  EXPECT_EQ(rb.filesFiled, 90);
  EXPECT_EQ(rb.imagesAdded, 89);
  EXPECT_EQ(TreeText(gPatients), TreeText(expected));
  EXPECT_EQ(loadfx::ImageCount(gPatients), 240);
}

// 5 % bad files among good ones: truncated, random bytes, huge lengths.
TEST_F(Loader, BadFilesAreListedWithReasonsAndGoodOnesFiledRight) {
  // Something loaded before must survive.
  const std::string before = Dir("bad_before");
  TestImage old;
  old.patientId = "OLDP";
  loadfx::WriteImage(before, "old", old);
  LoadFolder(before);

  const std::string dir = Dir("bad");
  std::mt19937 rng(11);
  std::set<std::string> bad;
  std::map<std::string, std::string> expectedSeries;  // path -> series UID
  for (int i = 0; i < 400; ++i) {
    TestImage t;
    t.patientId = std::to_string(3000 + i % 4);
    t.studyUid = "1.2.826.0.5." + std::to_string(i % 4);
    t.seriesUid = t.studyUid + "." + std::to_string(i % 3);
    t.instance = i;
    std::vector<uint8_t> bytes = loadfx::ImageFile(t);
    const std::string name = "f" + std::to_string(i);
    if (i % 20 == 7) {
      switch ((i / 20) % 3) {
        case 0:  // truncated inside the header
          bytes.resize(bytes.size() / 3);
          break;
        case 1:  // random bytes
          for (auto& b : bytes) b = static_cast<uint8_t>(rng());
          break;
        default: {  // a huge length on the patient's name
          const long at = fixtures::FindTag(bytes, 0x00100010);
          ASSERT_GT(at, 0);
          bytes[static_cast<size_t>(at) + 4] = 'U';
          bytes[static_cast<size_t>(at) + 5] = 'N';
          bytes.insert(bytes.begin() + at + 6, {0, 0});
          fixtures::Put32(bytes, static_cast<size_t>(at) + 8, 0xFFFFFFF0u);
          break;
        }
      }
      bad.insert((fs::path(dir) / name).string());
    } else {
      expectedSeries[(fs::path(dir) / name).string()] = t.patientId + "/" + std::to_string(i % 3);
    }
    loadfx::Write(dir, name, bytes);
  }
  const TLoadResult r = LoadFolder(dir);
  EXPECT_EQ(r.filesListed, 400);
  EXPECT_EQ(r.filesCounted, 400);
  EXPECT_EQ(r.filesFiled, 380);
  std::set<std::string> skipped;
  for (const auto& s : r.skipped) {
    EXPECT_FALSE(s.reason.empty()) << s.path;
    skipped.insert(s.path);
  }
  EXPECT_EQ(skipped, bad);

  // Every good file under its patient, study and series; nothing else there.
  std::lock_guard lock(gPatientsMutex);
  ASSERT_EQ(gPatients.size(), 5u);
  int found = 0;
  for (const auto& p : gPatients) {
    if (p.patintID == "OLDP") {
      EXPECT_EQ(loadfx::ImageCount({p}), 1);
      continue;
    }
    ASSERT_EQ(p.studies.size(), 1u);
    for (const auto& s : p.studies[0].serieses)
      for (const auto& img : s.images) {
        auto it = expectedSeries.find(img.imagePath);
        ASSERT_NE(it, expectedSeries.end()) << img.imagePath;
        const int seriesIndex = img.instanceNumber % 3;
        EXPECT_EQ(it->second, p.patintID + "/" + std::to_string(seriesIndex));
        ++found;
      }
  }
  EXPECT_EQ(found, 380);
}

// ---- DICOMDIR loads ------------------------------------------------------------------

struct DirTree {
  int patients = 0, studies = 0, series = 0, images = 0;
};
DirTree Shape(const TPatientArr& tree) {
  DirTree d;
  d.patients = static_cast<int>(tree.size());
  for (const auto& p : tree) {
    d.studies += static_cast<int>(p.studies.size());
    for (const auto& st : p.studies) {
      d.series += static_cast<int>(st.serieses.size());
      for (const auto& s : st.serieses) d.images += static_cast<int>(s.images.size());
    }
  }
  return d;
}

TEST_F(Loader, PydicomDicomDirsLoadIntoTheTreesTheyDescribe) {
  REQUIRE_SAMPLES();
  const std::string base = testsupport::SamplePath("dicomdirtests");
  for (const char* name : {"DICOMDIR", "DICOMDIR-bigEnd", "DICOMDIR-implicit"}) {
    SCOPED_TRACE(name);
    loadfx::ResetLoadingState();
    const TLoadResult r = LoadDicomDir(base + "/" + name);
    EXPECT_EQ(r.kind, TLoadKind::DicomDir);
    EXPECT_EQ(r.filesListed, 31);
    EXPECT_EQ(r.filesFiled, 31);
    EXPECT_TRUE(r.skipped.empty());
    EXPECT_EQ(r.reportsFound, 0);  // README.txt beside it: no images there, no report
    std::lock_guard lock(gPatientsMutex);
    const DirTree d = Shape(gPatients);
    EXPECT_EQ(d.patients, 2);
    EXPECT_EQ(d.studies, 6);
    EXPECT_EQ(d.series, 13);
    EXPECT_EQ(d.images, 31);
    ASSERT_EQ(gPatients.size(), 2u);
    EXPECT_EQ(gPatients[0].patintID, "77654033");
    EXPECT_EQ(gPatients[1].patintID, "98890234");
    const TSeries& ct = gPatients[0].studies[1].serieses[0];
    ASSERT_EQ(ct.images.size(), 4u);
    // DICOMDIR order is kept (no sort); paths are absolute and exist.
    EXPECT_EQ(ct.images[0].instanceNumber, 18);
    EXPECT_EQ(ct.images[1].instanceNumber, 180);
    EXPECT_EQ(ct.images[0].imagePath, (fs::path(base) / "77654033" / "CT2" / "17106").string());
    EXPECT_EQ(ct.imagesListPath, (TStringArray{ct.images[0].imagePath, ct.images[1].imagePath,
                                               ct.images[2].imagePath, ct.images[3].imagePath}));
    std::lock_guard dirLock(DicomDirPatientsMutex());
    EXPECT_EQ(Shape(gDicomDirPatients).images, 31);
  }
  // A DICOMDIR under another name opens as one.
  EXPECT_EQ(ChooseLoadKind(base + "/DICOMDIR-bigEnd"), TLoadKind::DicomDir);
  EXPECT_EQ(ChooseLoadKind(base + "/77654033/CT2/17106"), TLoadKind::SingleFile);
}

TEST_F(Loader, DicomDirDropsPresentationStatesMissingAndRefusedFiles) {
  const std::string medium = Dir("medium");
  TestImage t;
  t.studyUid = "1.2.826.0.7";
  t.seriesUid = "1.2.826.0.7.1";
  // Lower-case names on disk, upper-case IDs in the DICOMDIR.
  loadfx::WriteImage(medium, "img/0001", t);
  t.instance = 2;
  loadfx::WriteImage(medium, "img/0002", t);
  TestImage pr = t;
  pr.modality = "PR";
  pr.instance = 3;
  loadfx::WriteImage(medium, "img/0003", pr);
  loadfx::WriteImage(fs::path(medium).parent_path().string(), "outside", t);
  loadfx::Write(
      medium, "DICOMDIR",
      loadfx::DicomDirFile({loadfx::Patient("DOE^JOHN", "1001"), loadfx::Study("1.2.826.0.7"),
                            loadfx::Series("1.2.826.0.7.1", "CT", 1), loadfx::Image("IMG\\0001", 1),
                            loadfx::Image("IMG\\0003", 3), loadfx::Image("..\\OUTSIDE", 9),
                            loadfx::Image("/etc/passwd", 8), loadfx::Image("IMG\\0009", 4),
                            loadfx::Image("img/0002", 2), loadfx::Series("1.2.826.0.7.2", "PR", 2),
                            loadfx::Image("IMG\\0003", 1)}));
  const TLoadResult r = LoadDicomDir(medium + "/DICOMDIR");
  EXPECT_EQ(r.filesListed, 7);
  std::map<std::string, std::string> skipped;
  int refused = 0;
  for (const auto& s : r.skipped) {
    skipped[s.path] = s.reason;
    if (s.reason.find("outside the medium") != std::string::npos) ++refused;
  }
  EXPECT_EQ(skipped.size(), 4u);
  EXPECT_EQ(refused, 2);  // the ".." and the absolute ID
  EXPECT_NE(skipped.find((fs::path(medium) / "img" / "0003").string()), skipped.end());
  EXPECT_NE(skipped.find((fs::path(medium) / "img" / "0009").string()), skipped.end())
      << "a missing file is resolved as far as its folders exist";

  std::lock_guard lock(gPatientsMutex);
  ASSERT_EQ(gPatients.size(), 1u);
  const auto& serieses = gPatients[0].studies[0].serieses;
  ASSERT_EQ(serieses.size(), 2u);
  ASSERT_EQ(serieses[0].images.size(), 2u);
  EXPECT_EQ(serieses[0].images[0].imagePath, (fs::path(medium) / "img" / "0001").string());
  EXPECT_EQ(serieses[0].images[1].imagePath, (fs::path(medium) / "img" / "0002").string());
  EXPECT_EQ(serieses[0].imagesListPath.size(), 2u);
  EXPECT_EQ(serieses[1].images.size(), 1u);  // a PR series is not checked; the browser hides it

  // Loading the medium again adds nothing.
  EXPECT_EQ(LoadDicomDir(medium + "/DICOMDIR").imagesAdded, 0);
}

TEST(LoaderPaths, ResolvesIdsWithEitherSeparatorAndRefusesEscapes) {
  const std::string medium = testsupport::TempDir("loader_ids");
  loadfx::Write(medium, "Dir/Sub/File", {1});
  TPatientArr tree(1);
  tree[0].studies.resize(1);
  tree[0].studies[0].serieses.resize(1);
  auto& images = tree[0].studies[0].serieses[0].images;
  for (const char* id : {"DIR\\SUB\\FILE ", "dir/sub/file", "DIR\\.\\SUB\\FILE", "C:\\X",
                         "\\DIR\\SUB", "DIR\\..\\..\\X", ""}) {
    TImg img;
    img.imagePath = id;
    images.push_back(img);
  }
  std::vector<TSkippedFile> refused;
  addToRoot(tree, medium + "/DICOMDIR", &refused);
  const std::string expected = (fs::path(medium) / "Dir" / "Sub" / "File").string();
  EXPECT_EQ(tree[0].studies[0].serieses[0].imagesListPath,
            (TStringArray{expected, expected, expected}));
  EXPECT_EQ(images.size(), 3u);
  ASSERT_EQ(refused.size(), 4u);
  EXPECT_EQ(refused[3].reason, "record without a Referenced File ID");
}

// ---- start-up DICOMDIR and reports ------------------------------------------------------

TEST(LoaderStartup, FindsTheDicomDirInAnyCaseHereThenAtTheRoot) {
  const std::string here = testsupport::TempDir("startup_here");
  const std::string root = testsupport::TempDir("startup_root");
  std::string path;
  EXPECT_FALSE(FindStartupDicomDirIn(here, root, path));
  loadfx::Write(root, "DICOMDIR", {1});
  ASSERT_TRUE(FindStartupDicomDirIn(here, root, path));
  EXPECT_EQ(path, (fs::path(root) / "DICOMDIR").string());
  loadfx::Write(here, "DicomDir", {1});
  ASSERT_TRUE(FindStartupDicomDirIn(here, root, path));
  EXPECT_EQ(path, (fs::path(here) / "DicomDir").string());
  loadfx::Write(here, "dicomdir", {1});
  ASSERT_TRUE(FindStartupDicomDirIn(here, root, path));
  EXPECT_EQ(path, (fs::path(here) / "dicomdir").string());
  // A folder of that name is not a DICOMDIR.
  const std::string other = testsupport::TempDir("startup_dir");
  fs::create_directories(fs::path(other) / "DICOMDIR");
  EXPECT_FALSE(FindStartupDicomDirIn(other, "", path));
}

TEST(LoaderReports, RowTextDropsEveryOccurrenceOfTheExtension) {
  EXPECT_EQ(ReportRowText({"/a/b/Report.TXT", "1", "DOE"}).report, "Report");
  EXPECT_EQ(ReportRowText({"/a/b/Report.TXT", "1", "DOE"}).patient, "DOE");
  EXPECT_EQ(ReportRowText({"x.pdf.PDF", "", ""}).report, "x");
  EXPECT_EQ(ReportRowText({"/a.docx/notes", "", ""}).report, "notes");
}

}  // namespace
