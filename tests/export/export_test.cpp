// The export core: the profile's table as applied, the UID map, one data set
// de-identified in place, and the export driver's failures (a full disk
// injected through the writer, a cancel, unreadable input, an occupied
// target): one reason each and nothing left that looks complete.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "export/Deidentify.h"
#include "export/Export.h"
#include "export/MediaFolder.h"
#include "support/paths.h"

namespace fs = std::filesystem;
using namespace exporter;

namespace {

std::string NewUid() {
  char buf[100];
  return dcmGenerateUniqueIdentifier(buf);
}

// A small CT instance with identifying attributes at the top and inside a
// sequence item, a private block and an overlay plane.
void MakeCt(DcmFileFormat& f, const std::string& study, const std::string& series, int number) {
  DcmDataset* ds = f.getDataset();
  ds->putAndInsertString(DCM_SOPClassUID, UID_CTImageStorage);
  ds->putAndInsertString(DCM_SOPInstanceUID, NewUid().c_str());
  ds->putAndInsertString(DCM_PatientName, "Doe^Jane");
  ds->putAndInsertString(DCM_PatientID, "PID-1");
  ds->putAndInsertString(DCM_PatientBirthDate, "19700101");
  ds->putAndInsertString(DCM_StudyInstanceUID, study.c_str());
  ds->putAndInsertString(DCM_SeriesInstanceUID, series.c_str());
  ds->putAndInsertString(DCM_StudyDate, "20200202");
  ds->putAndInsertString(DCM_SeriesDate, "20200202");
  ds->putAndInsertString(DCM_Modality, "CT");
  ds->putAndInsertString(DCM_InstitutionName, "General Hospital");
  ds->putAndInsertString(DCM_PerformingPhysicianName, "Dr^Who");
  ds->putAndInsertString(DCM_InstanceNumber, std::to_string(number).c_str());
  DcmItem* code = nullptr;
  ds->findOrCreateSequenceItem(DCM_ProcedureCodeSequence, code, -2);
  code->putAndInsertString(DCM_CodeValue, "X1");
  code->putAndInsertString(DCM_ReferringPhysicianName, "Dr^Nested");
  code->putAndInsertString(DcmTag(0x0011, 0x0010, EVR_LO), "PRIVATE");
  code->putAndInsertString(DcmTag(0x0011, 0x1001, EVR_LO), "nested secret");
  ds->putAndInsertString(DcmTag(0x0009, 0x0010, EVR_LO), "ACME");
  ds->putAndInsertString(DcmTag(0x0009, 0x1001, EVR_LO), "secret");
  ds->putAndInsertUint16(DcmTag(0x6000, 0x0010, EVR_US), 4);
  ds->putAndInsertUint16(DcmTag(0x6000, 0x0011, EVR_US), 4);
  const Uint16 overlay = 0xFFFF;
  ds->putAndInsertUint16Array(DcmTag(0x6000, 0x3000, EVR_OW), &overlay, 1);
  ds->putAndInsertUint16(DCM_Rows, 4);
  ds->putAndInsertUint16(DCM_Columns, 4);
  ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
  ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
  ds->putAndInsertUint16(DCM_BitsAllocated, 16);
  ds->putAndInsertUint16(DCM_BitsStored, 16);
  ds->putAndInsertUint16(DCM_HighBit, 15);
  ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
  std::vector<Uint16> pixels(16);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<Uint16>(i * 977 + number);
  ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), 16);
}

std::vector<std::string> WriteSeries(const std::string& dir, int count) {
  const std::string study = NewUid(), series = NewUid();
  std::vector<std::string> files;
  for (int i = 0; i < count; ++i) {
    DcmFileFormat f;
    MakeCt(f, study, series, i + 1);
    const std::string path = dir + "/in" + std::to_string(i) + ".dcm";
    EXPECT_TRUE(f.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
    files.push_back(path);
  }
  return files;
}

std::string Text(DcmItem& item, const DcmTagKey& key) {
  OFString v;
  item.findAndGetOFStringArray(key, v);
  return v.c_str();
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(dir, ec))
    names.push_back(fs::relative(e.path(), dir).string());
  return names;
}

}  // namespace

TEST(ProfileTable, RowsWildcardsAndResolvedActions) {
  EXPECT_GT(ProfileRows().size(), 400u);
  const TProfileRow* curve = FindProfileRow(0x5010, 0x0005);
  ASSERT_NE(curve, nullptr);
  EXPECT_STREQ(curve->basic, "X");
  const TProfileRow* overlay = FindProfileRow(0x6002, 0x3000);
  ASSERT_NE(overlay, nullptr);
  EXPECT_EQ(ResolveAction(*overlay, false), 'X');
  EXPECT_EQ(FindProfileRow(0x6002, 0x0010), nullptr);  // overlay rows: kept by the table
  EXPECT_EQ(FindProfileRow(0x0028, 0x0010), nullptr);  // Rows
  struct Case {
    uint16_t g, e;
    char basic, keepingDates;
  };
  for (const Case& c : {Case{0x0008, 0x0020, 'Z', 'K'},   // Study Date
                        Case{0x0010, 0x0030, 'Z', 'Z'},   // Birth Date: no option keeps it
                        Case{0x0008, 0x0022, 'Z', 'K'},   // X/Z
                        Case{0x0008, 0x0021, 'X', 'K'},   // X/D
                        Case{0x0008, 0x0080, 'Z', 'Z'},   // X/Z/D
                        Case{0x0008, 0x1140, 'U', 'U'},   // X/Z/U*
                        Case{0x0020, 0x000D, 'U', 'U'},   // Study Instance UID
                        Case{0x0040, 0xA075, 'D', 'D'}})  // Verifying Observer Name
  {
    const TProfileRow* row = FindProfileRow(c.g, c.e);
    ASSERT_NE(row, nullptr) << std::hex << c.g << "," << c.e;
    EXPECT_EQ(ResolveAction(*row, false), c.basic) << row->name;
    EXPECT_EQ(ResolveAction(*row, true), c.keepingDates) << row->name;
  }
}

TEST(UidMap, ConsistentDistinctAndValid) {
  TUidMap map;
  const std::string a = map.Uid("1.2.3"), b = map.Uid("1.2.4");
  EXPECT_EQ(map.Uid("1.2.3"), a);
  EXPECT_NE(a, b);
  const std::regex valid("2\\.25\\.[1-9][0-9]*");
  for (const std::string& u : {a, b}) {
    EXPECT_TRUE(std::regex_match(u, valid)) << u;
    EXPECT_LE(u.size(), 64u);
  }
  EXPECT_EQ(map.PatientId("P1"), map.PatientId("P1"));
  EXPECT_NE(map.PatientId("P1"), map.PatientId("P2"));
  // Another export maps the same original elsewhere.
  TUidMap other;
  EXPECT_NE(other.Uid("1.2.3"), a);
}

TEST(Deidentify, CleansNestedItemsOverlaysPrivatesAndMeta) {
  DcmFileFormat f;
  MakeCt(f, NewUid(), NewUid(), 1);
  DcmDataset* ds = f.getDataset();
  ds->putAndInsertString(DCM_VerifyingObserverName, "Dr^Verifier");
  ds->putAndInsertString(DCM_ContentCreatorName, "X^Y");
  const std::string oldSop = Text(*ds, DCM_SOPInstanceUID);
  f.getMetaInfo()->putAndInsertString(DCM_SourceApplicationEntityTitle, "PACS");
  TUidMap uids;
  std::string why;
  ASSERT_TRUE(Deidentify(f, {false, "", ""}, uids, why)) << why;

  EXPECT_EQ(Text(*ds, DCM_PatientName), "ANONYMOUS");
  EXPECT_EQ(Text(*ds, DCM_PatientID), uids.PatientId("PID-1"));
  EXPECT_TRUE(ds->tagExists(DCM_PatientBirthDate));
  EXPECT_EQ(Text(*ds, DCM_PatientBirthDate), "");
  EXPECT_EQ(Text(*ds, DCM_StudyDate), "");
  EXPECT_FALSE(ds->tagExists(DCM_SeriesDate));
  EXPECT_FALSE(ds->tagExists(DCM_PerformingPhysicianName));
  EXPECT_EQ(Text(*ds, DCM_VerifyingObserverName), "ANONYMOUS");
  EXPECT_EQ(Text(*ds, DCM_ContentCreatorName), "");
  EXPECT_EQ(Text(*ds, DCM_SOPInstanceUID), uids.Uid(oldSop));
  EXPECT_EQ(Text(*f.getMetaInfo(), DCM_MediaStorageSOPInstanceUID), uids.Uid(oldSop));
  EXPECT_FALSE(f.getMetaInfo()->tagExists(DCM_SourceApplicationEntityTitle));
  EXPECT_FALSE(ds->tagExists(DcmTagKey(0x0009, 0x1001)));
  EXPECT_FALSE(ds->tagExists(DcmTagKey(0x0009, 0x0010)));
  // The whole overlay plane goes with its data.
  EXPECT_FALSE(ds->tagExists(DcmTagKey(0x6000, 0x3000)));
  EXPECT_FALSE(ds->tagExists(DcmTagKey(0x6000, 0x0010)));
  DcmItem* code = nullptr;
  ASSERT_TRUE(ds->findAndGetSequenceItem(DCM_ProcedureCodeSequence, code, 0).good());
  EXPECT_EQ(Text(*code, DCM_CodeValue), "X1");
  EXPECT_EQ(Text(*code, DCM_ReferringPhysicianName), "");
  EXPECT_FALSE(code->tagExists(DcmTagKey(0x0011, 0x1001)));
  EXPECT_TRUE(ds->tagExists(DCM_PixelData));
  EXPECT_EQ(Text(*ds, DCM_PatientIdentityRemoved), "YES");
  EXPECT_EQ(Text(*ds, DCM_LongitudinalTemporalInformationModified), "REMOVED");
}

TEST(Deidentify, DummiesAreValidForTheirVr) {
  DcmFileFormat f;
  DcmDataset* ds = f.getDataset();
  ds->putAndInsertString(DCM_PatientName, "A^B");
  // D rows of several VRs.
  const Uint8 stamp[4] = {1, 2, 3, 4};
  ds->putAndInsertUint8Array(DCM_FrameOriginTimestamp, stamp, 4);     // OB
  ds->putAndInsertString(DCM_SourceStartDateTime, "20200101101010");  // DT
  ds->putAndInsertString(DCM_RTPlanLabel, "Plan for Jane");           // SH
  ds->putAndInsertString(DCM_SpecimenIdentifier, "SP-1");             // LO
  TUidMap uids;
  std::string why;
  ASSERT_TRUE(Deidentify(f, {true, "Case^One", "C1"}, uids, why));
  EXPECT_EQ(Text(*ds, DCM_PatientName), "Case^One");
  EXPECT_EQ(Text(*ds, DCM_PatientID), "");                          // absent before: not added
  EXPECT_EQ(Text(*ds, DCM_SourceStartDateTime), "20200101101010");  // kept with dates
  EXPECT_EQ(Text(*ds, DCM_RTPlanLabel), "ANONYMOUS");
  EXPECT_EQ(Text(*ds, DCM_SpecimenIdentifier), "ANONYMOUS");
  DcmElement* ts = nullptr;
  ASSERT_TRUE(ds->findAndGetElement(DCM_FrameOriginTimestamp, ts).good());
  EXPECT_GT(ts->getLength(), 0u);
  EXPECT_EQ(Text(*ds, DCM_LongitudinalTemporalInformationModified), "UNMODIFIED");
}

TEST(FileIds, StableFoldersAndEightCharacterNames) {
  TFileIdAllocator ids;
  EXPECT_EQ(ids.Allocate("p", "st", "se"), "DICOM/P0000001/S0000001/S0000001/I0000001");
  EXPECT_EQ(ids.Allocate("p", "st", "se"), "DICOM/P0000001/S0000001/S0000001/I0000002");
  EXPECT_EQ(ids.Allocate("p", "st", "se2"), "DICOM/P0000001/S0000001/S0000002/I0000001");
  EXPECT_EQ(ids.Allocate("q", "st3", "se3"), "DICOM/P0000002/S0000001/S0000001/I0000001");
  EXPECT_EQ(ids.Allocate("p", "st", "se"), "DICOM/P0000001/S0000001/S0000001/I0000003");
}

TEST(ExportFiles, FullDiskLeavesNothingAndSaysWhy) {
  const std::string dir = testsupport::TempDir("export_enospc");
  const auto files = WriteSeries(dir, 6);
  for (bool zip : {false, true}) {
    const std::string target = dir + (zip ? "/out.zip" : "/out");
    std::atomic<int> writes{0};
    TWriteFile failing = [&](const std::string& path, const void*, size_t, std::string& why) {
      if (++writes < 3) {
        std::ofstream(path) << "x";
        return true;
      }
      why = path + ": No space left on device";
      return false;
    };
    TExportOptions options;
    options.anonymize = true;
    options.dicomdir = true;
    options.zip = zip;
    const TExportResult r = ExportFiles(files, target, options, {}, failing);
    EXPECT_FALSE(r.written);
    EXPECT_FALSE(r.Complete());
    EXPECT_NE(r.failure.find("No space left on device"), std::string::npos) << r.failure;
    EXPECT_FALSE(fs::exists(target)) << "a failed export leaves its target as it was";
    for (const TFileOutcome& f : r.files) EXPECT_NE(f.status, TFileStatus::Exported);
  }
  // Only the inputs remain: no staging folder, no part file.
  EXPECT_EQ(Listing(dir).size(), 6u);
}

TEST(ExportFiles, CancelRemovesWhatWasWritten) {
  const std::string dir = testsupport::TempDir("export_cancel");
  const auto files = WriteSeries(dir, 8);
  fs::create_directory(dir + "/out");
  TExportOptions options;
  options.threads = 1;
  const TExportResult r =
      ExportFiles(files, dir + "/out", options, [](int done, int) { return done < 3; });
  EXPECT_TRUE(r.cancelled);
  EXPECT_FALSE(r.written);
  EXPECT_TRUE(Listing(dir + "/out").empty());  // a folder that existed stays, empty
}

TEST(ExportFiles, UnreadableInputIsLeftOutOthersExported) {
  const std::string dir = testsupport::TempDir("export_unreadable");
  auto files = WriteSeries(dir, 3);
  std::ofstream(dir + "/junk.dcm") << "not DICOM at all";
  files.insert(files.begin() + 1, dir + "/junk.dcm");
  files.push_back(dir + "/missing.dcm");
  TExportOptions options;
  options.dicomdir = true;
  const TExportResult r = ExportFiles(files, dir + "/out", options);
  ASSERT_TRUE(r.written) << r.failure;
  EXPECT_FALSE(r.Complete());
  EXPECT_EQ(r.exported, 3);
  EXPECT_EQ(r.files[1].status, TFileStatus::Failed);
  EXPECT_EQ(r.files[4].status, TFileStatus::Failed);
  EXPECT_FALSE(r.files[1].reason.empty());
  // Input order gives the image numbers; a plain copy is byte for byte.
  EXPECT_EQ(r.files[0].fileId, "DICOM/P0000001/S0000001/S0000001/I0000001");
  EXPECT_EQ(r.files[2].fileId, "DICOM/P0000001/S0000001/S0000001/I0000002");
  auto bytes = [](const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(bytes(files[0]), bytes(dir + "/out/" + r.files[0].fileId));
  EXPECT_TRUE(fs::exists(dir + "/out/DICOMDIR"));

  // The same folder again: refused, the first export untouched.
  const TExportResult again = ExportFiles(files, dir + "/out", options);
  EXPECT_FALSE(again.written);
  EXPECT_NE(again.failure.find("already holds"), std::string::npos) << again.failure;
  EXPECT_TRUE(fs::exists(dir + "/out/" + r.files[0].fileId));
}

TEST(ExportFiles, BurnedInLeftOutUnlessIncluded) {
  const std::string dir = testsupport::TempDir("export_burned_in");
  auto files = WriteSeries(dir, 2);
  DcmFileFormat f;
  ASSERT_TRUE(f.loadFile(files[1].c_str()).good());
  f.getDataset()->putAndInsertString(DCM_BurnedInAnnotation, "YES ");
  ASSERT_TRUE(f.saveFile(files[1].c_str(), EXS_LittleEndianExplicit).good());
  TExportOptions options;
  options.anonymize = true;
  TExportResult r = ExportFiles(files, dir + "/out", options);
  ASSERT_TRUE(r.written);
  EXPECT_EQ(r.files[1].status, TFileStatus::BurnedIn);
  EXPECT_EQ(r.exported, 1);
  options.includeBurnedIn = true;
  r = ExportFiles(files, dir + "/out2", options);
  EXPECT_TRUE(r.Complete());
}
