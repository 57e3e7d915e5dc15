// DICOMDIR directory records into the patient / study / series / image tree.
#include <gtest/gtest.h>

#include <functional>

#include "support/fixtures.h"
#include "support/paths.h"

using namespace fixtures;

namespace {

void Record(DicomWriter& w, const std::string& type,
            const std::function<void(DicomWriter&)>& elements) {
  w.BeginItem();
  w.UL(0x00041400, {0});
  w.US(0x00041410, {0xFFFF});
  w.UL(0x00041420, {0});
  w.Text(0x00041430, "CS", type);
  elements(w);
  w.EndItem();
}

std::function<void(DicomWriter&)> ImageRecord(const std::string& file, int number) {
  return [=](DicomWriter& w) {
    w.Text(0x00041500, "CS", file);
    w.Text(0x00080008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
    w.Text(0x00200013, "IS", std::to_string(number));
  };
}

Bytes DicomDir(const std::function<void(DicomWriter&)>& records, bool undefinedLength = false) {
  DicomWriter w;
  w.Text(0x00041130, "CS", "TEST");
  w.UL(0x00041200, {0});
  w.UL(0x00041202, {0});
  w.US(0x00041212, {0});
  w.BeginSequence(0x00041220, undefinedLength);
  records(w);
  w.EndSequence();
  dicomwriter::DicomFileOptions o;
  o.sopClassUid = "1.2.840.10008.1.3.10";
  return dicomwriter::BuildDicomFile(w, o);
}

size_t CountImages(const TPatientArr& tree) {
  size_t n = 0;
  for (const auto& p : tree)
    for (const auto& s : p.studies)
      for (const auto& r : s.serieses) n += r.images.size();
  return n;
}

std::string SampleDirectory(const std::string& name) {
  return testsupport::SamplePath("dicomdirtests/" + name);
}

}  // namespace

TEST(DicomDir, RecordsBuildTheTree) {
  const Bytes f = DicomDir([](DicomWriter& w) {
    Record(w, "PATIENT", [](DicomWriter& w) {
      w.Text(0x00100010, "PN", "DOE^JOHN");
      w.Text(0x00100020, "LO", "P1");
    });
    Record(w, "STUDY", [](DicomWriter& w) {
      w.Text(0x00080020, "DA", "20240131");
      w.Text(0x00080030, "TM", "101530");
      w.Text(0x00080050, "SH", "77");
      w.Text(0x00081030, "LO", "HEAD");
      w.Text(0x0020000D, "UI", "1.2.3");
      w.Text(0x00200010, "SH", "S1");
    });
    Record(w, "SERIES", [](DicomWriter& w) {
      w.Text(0x00080060, "CS", "CT");
      w.Text(0x0020000E, "UI", "1.2.3.4");
      w.Text(0x00200011, "IS", "5");
    });
    Record(w, "IMAGE", ImageRecord("IMG\\0001", 1));
    Record(w, "IMAGE", ImageRecord("IMG\\A_02", 2));
    Record(w, "SERIES", [](DicomWriter& w) { w.Text(0x00200011, "IS", "6"); });
    Record(w, "IMAGE", ImageRecord("IMG\\0003", 3));
    // Records of other types create no node and write into none.
    Record(w, "PRESENTATION", ImageRecord("PR\\0009", 9));
    Record(w, "PRIVATE", [](DicomWriter& w) {
      w.Text(0x00041500, "CS", "PRIV\\01");
      w.Text(0x00080060, "CS", "PR");
      w.Text(0x00200011, "IS", "99");
    });
  });
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.isDicomDir);
  EXPECT_FALSE(o.hdrOK);  // the walk runs to the end of the file
  EXPECT_FALSE(o.imgOK);
  ASSERT_EQ(o.dir.size(), 1u);
  const TPatient& p = o.dir[0];
  EXPECT_EQ(p.patientName, "DOE JOHN");
  EXPECT_EQ(p.patintID, "P1");
  ASSERT_EQ(p.studies.size(), 1u);
  const TStudy& s = p.studies[0];
  EXPECT_EQ(s.studyDate, "20240131");
  EXPECT_EQ(s.studyTime, "101530");
  EXPECT_EQ(s.accessionNumber, 77);
  EXPECT_EQ(s.description, "HEAD");
  EXPECT_EQ(s.instanceUid, "1 2 3 ");
  EXPECT_EQ(s.studyID, "S1");
  ASSERT_EQ(s.serieses.size(), 2u);
  EXPECT_EQ(s.serieses[0].modality, "CT");
  EXPECT_EQ(s.serieses[0].instanceUid, "1 2 3 4 ");
  EXPECT_EQ(s.serieses[0].seriesNumber, 5);
  ASSERT_EQ(s.serieses[0].images.size(), 2u);
  EXPECT_EQ(s.serieses[0].images[0].imagePath, "IMG\\0001");
  EXPECT_EQ(s.serieses[0].images[0].instanceNumber, 1);
  EXPECT_EQ(s.serieses[0].images[0].imageType, "AXIAL");
  EXPECT_EQ(s.serieses[0].images[1].imagePath, "IMG\\A_02");  // underscores kept
  const TSeries& second = s.serieses[1];
  EXPECT_EQ(second.seriesNumber, 6);
  EXPECT_EQ(second.modality, "");
  ASSERT_EQ(second.images.size(), 1u);
  EXPECT_EQ(second.images[0].imagePath, "IMG\\0003");
  EXPECT_EQ(second.images[0].instanceNumber, 3);
}

// A record with an empty value keeps no value of an earlier record: each
// node has its own record's values or its defaults.
TEST(DicomDir, EmptyValuesCarryNothingOverFromEarlierRecords) {
  const Bytes f = DicomDir([](DicomWriter& w) {
    Record(w, "PATIENT", [](DicomWriter& w) {
      w.Text(0x00100010, "PN", "DOE^JOHN");
      w.Text(0x00100020, "LO", "P1");
    });
    Record(w, "STUDY", [](DicomWriter& w) {
      w.Text(0x00080020, "DA", "20240131");
      w.Text(0x00080030, "TM", "101530");
      w.Text(0x00080050, "SH", "77");
      w.Text(0x00081030, "LO", "HEAD");
      w.Text(0x0020000D, "UI", "1.2.3");
      w.Text(0x00200010, "SH", "S1");
    });
    Record(w, "SERIES", [](DicomWriter& w) {
      w.Text(0x00080060, "CS", "CT");
      w.Text(0x0020000E, "UI", "1.2.3.4");
      w.Text(0x00200011, "IS", "5");
    });
    Record(w, "IMAGE", ImageRecord("IMG\\0001", 4));
    Record(w, "PATIENT", [](DicomWriter& w) {
      w.Text(0x00100010, "PN", "");
      w.Text(0x00100020, "LO", "");
    });
    // Every value empty: nothing of the first study may show here.
    Record(w, "STUDY", [](DicomWriter& w) {
      w.Text(0x00080020, "DA", "");
      w.Text(0x00080030, "TM", "");
      w.Text(0x00080050, "SH", "");
      w.Text(0x00081030, "LO", "");
      w.Text(0x0020000D, "UI", "");
      w.Text(0x00200010, "SH", "");
    });
    Record(w, "SERIES", [](DicomWriter& w) {
      w.Text(0x00080060, "CS", "");
      w.Text(0x0020000E, "UI", "");
      w.Text(0x00200011, "IS", "");
    });
    Record(w, "IMAGE", [](DicomWriter& w) {
      w.Text(0x00041500, "CS", "IMG\\0002");
      w.Text(0x00080008, "CS", "");
      w.Text(0x00200013, "IS", "");
    });
    // Absent values too.
    Record(w, "STUDY", [](DicomWriter&) {});
    Record(w, "SERIES", [](DicomWriter&) {});
    Record(w, "IMAGE", [](DicomWriter& w) { w.Text(0x00041500, "CS", "IMG\\0003"); });
  });
  const ReadOutcome o = ReadHeader(f);
  ASSERT_EQ(o.dir.size(), 2u);
  EXPECT_EQ(o.dir[0].studies[0].accessionNumber, 77);
  EXPECT_EQ(o.dir[0].studies[0].serieses[0].seriesNumber, 5);
  EXPECT_EQ(o.dir[0].studies[0].serieses[0].images[0].instanceNumber, 4);
  const TPatient& p = o.dir[1];
  EXPECT_EQ(p.patientName, "");
  EXPECT_EQ(p.patintID, "");
  ASSERT_EQ(p.studies.size(), 2u);
  for (const TStudy& s : p.studies) {
    EXPECT_EQ(s.accessionNumber, 0);
    EXPECT_EQ(s.studyDate, "");
    EXPECT_EQ(s.studyTime, "");
    EXPECT_EQ(s.description, "");
    EXPECT_EQ(s.instanceUid, "");
    EXPECT_EQ(s.studyID, "");
    ASSERT_EQ(s.serieses.size(), 1u);
    const TSeries& se = s.serieses[0];
    EXPECT_EQ(se.seriesNumber, 0);
    EXPECT_EQ(se.modality, "");
    EXPECT_EQ(se.instanceUid, "");
    ASSERT_EQ(se.images.size(), 1u);
    EXPECT_EQ(se.images[0].instanceNumber, 0);
    EXPECT_EQ(se.images[0].imageType, "");
  }
}

// Records whose parent level has no node yet get an empty parent, so the
// files they list stay reachable.
TEST(DicomDir, RecordsWithoutParentsKeepTheirFiles) {
  const Bytes f = DicomDir(
      [](DicomWriter& w) {
        Record(w, "IMAGE", ImageRecord("A\\1", 1));
        Record(w, "SERIES", [](DicomWriter&) {});
        Record(w, "IMAGE", ImageRecord("A\\2", 2));
        Record(w, "PATIENT", [](DicomWriter&) {});
        Record(w, "SERIES", [](DicomWriter&) {});
        Record(w, "IMAGE", ImageRecord("A\\3", 3));
      },
      true);
  const ReadOutcome o = ReadHeader(f);
  ASSERT_EQ(o.dir.size(), 2u);
  EXPECT_EQ(CountImages(o.dir), 3u);
  EXPECT_EQ(o.dir[1].studies.size(), 1u);
  EXPECT_EQ(o.dir[1].studies[0].serieses[0].images[0].imagePath, "A\\3 ");
}

// Sets the directory's links: the root's first record and each record's next
// and lower-level record, given as record numbers in file order (-1: none).
void Link(Bytes& file, int root, const std::vector<std::pair<int, int>>& links) {
  const long sequence = FindTag(file, 0x00041220);
  ASSERT_GE(sequence, 0);
  std::vector<uint32_t> items;
  for (long at = sequence; (at = FindTag(file, 0xFFFEE000, true, size_t(at) + 1)) >= 0;)
    items.push_back(uint32_t(at));
  ASSERT_EQ(items.size(), links.size());
  const auto offset = [&](int record) { return record < 0 ? 0u : items[size_t(record)]; };
  // Explicit little endian UL: tag, "UL", 16-bit length, then the value.
  Put32(file, size_t(FindTag(file, 0x00041200)) + 8, offset(root));
  for (size_t i = 0; i < items.size(); ++i) {
    Put32(file, size_t(FindTag(file, 0x00041400, true, items[i])) + 8, offset(links[i].first));
    Put32(file, size_t(FindTag(file, 0x00041420, true, items[i])) + 8, offset(links[i].second));
  }
}

// Records may lie in any order; their links say where they belong. Links that
// do not reach every image leave the file-order tree.
TEST(DicomDir, LinksOrderRecordsWrittenInAnyOrder) {
  const auto records = [](DicomWriter& w) {
    Record(w, "IMAGE", ImageRecord("A\\2", 2));                                     // 0
    Record(w, "SERIES", [](DicomWriter& w) { w.Text(0x00200011, "IS", "7"); });     // 1
    Record(w, "STUDY", [](DicomWriter& w) { w.Text(0x00200010, "SH", "S1"); });     // 2
    Record(w, "PATIENT", [](DicomWriter& w) { w.Text(0x00100010, "PN", "ONE"); });  // 3
    Record(w, "IMAGE", ImageRecord("A\\1", 1));                                     // 4
    Record(w, "PATIENT", [](DicomWriter& w) { w.Text(0x00100010, "PN", "TWO"); });  // 5
    Record(w, "STUDY", [](DicomWriter& w) { w.Text(0x00200010, "SH", "S2"); });     // 6
    Record(w, "SERIES", [](DicomWriter& w) { w.Text(0x00200011, "IS", "8"); });     // 7
    Record(w, "IMAGE", ImageRecord("B\\1", 1));                                     // 8
  };
  Bytes f = DicomDir(records);
  Link(f, 3, {{-1, -1}, {-1, 4}, {-1, 1}, {5, 2}, {0, -1}, {-1, 6}, {-1, 7}, {-1, 8}, {-1, -1}});
  const ReadOutcome o = ReadHeader(f);
  ASSERT_EQ(o.dir.size(), 2u);
  EXPECT_EQ(o.dir[0].patientName, "ONE");
  ASSERT_EQ(o.dir[0].studies.size(), 1u);
  EXPECT_EQ(o.dir[0].studies[0].studyID, "S1");
  ASSERT_EQ(o.dir[0].studies[0].serieses.size(), 1u);
  const TSeries& s = o.dir[0].studies[0].serieses[0];
  EXPECT_EQ(s.seriesNumber, 7);
  ASSERT_EQ(s.images.size(), 2u);
  EXPECT_EQ(s.images[0].imagePath, "A\\1 ");
  EXPECT_EQ(s.images[1].imagePath, "A\\2 ");
  EXPECT_EQ(o.dir[1].patientName, "TWO");
  EXPECT_EQ(o.dir[1].studies[0].serieses[0].images[0].imagePath, "B\\1 ");

  // Links that miss an image: the file order stands.
  Bytes dangling = DicomDir(records);
  Link(dangling, 3,
       {{-1, -1}, {-1, 4}, {-1, 1}, {5, 2}, {-1, -1}, {-1, 6}, {-1, 7}, {-1, 8}, {-1, -1}});
  const ReadOutcome d = ReadHeader(dangling);
  EXPECT_EQ(d.dir.size(), 3u);  // an empty patient holds the first image
  EXPECT_EQ(CountImages(d.dir), 3u);
}

// A patient record of an unknown type still holds what it links below it, and
// a root offset that names no top record (left stale when the records were
// reordered) gives way to the one record no link reaches.
TEST(DicomDir, UnknownParentsAndStaleRootKeepTheLinkedTree) {
  const auto records = [](DicomWriter& w) {
    Record(w, "IMAGE", ImageRecord("A\\1", 1));                                     // 0
    Record(w, "SERIES", [](DicomWriter& w) { w.Text(0x00200011, "IS", "7"); });     // 1
    Record(w, "STUDY", [](DicomWriter& w) { w.Text(0x00200010, "SH", "S1"); });     // 2
    Record(w, "UNKNOWN", [](DicomWriter& w) { w.Text(0x00100010, "PN", "X"); });    // 3
    Record(w, "PATIENT", [](DicomWriter& w) { w.Text(0x00100010, "PN", "TWO"); });  // 4
    Record(w, "STUDY", [](DicomWriter& w) { w.Text(0x00200010, "SH", "S2"); });     // 5
    Record(w, "SERIES", [](DicomWriter& w) { w.Text(0x00200011, "IS", "8"); });     // 6
    Record(w, "IMAGE", ImageRecord("B\\1", 1));                                     // 7
  };
  Bytes f = DicomDir(records);
  Link(f, 0, {{-1, -1}, {-1, 0}, {-1, 1}, {4, 2}, {-1, 5}, {-1, 6}, {-1, 7}, {-1, -1}});
  const ReadOutcome o = ReadHeader(f);
  ASSERT_EQ(o.dir.size(), 2u);
  EXPECT_EQ(o.dir[0].patientName, "");
  ASSERT_EQ(o.dir[0].studies.size(), 1u);
  EXPECT_EQ(o.dir[0].studies[0].studyID, "S1");
  ASSERT_EQ(o.dir[0].studies[0].serieses.size(), 1u);
  EXPECT_EQ(o.dir[0].studies[0].serieses[0].seriesNumber, 7);
  ASSERT_EQ(o.dir[0].studies[0].serieses[0].images.size(), 1u);
  EXPECT_EQ(o.dir[0].studies[0].serieses[0].images[0].imagePath, "A\\1 ");
  EXPECT_EQ(o.dir[1].patientName, "TWO");
  EXPECT_EQ(o.dir[1].studies[0].serieses[0].images[0].imagePath, "B\\1 ");
}

TEST(DicomDir, PublishedOnlyByDirectoryReads) {
  const Bytes dir = DicomDir([](DicomWriter& w) {
    Record(w, "PATIENT", [](DicomWriter& w) { w.Text(0x00100010, "PN", "X"); });
  });
  const std::string folder = testsupport::TempDir("dicomdir_publish");
  const std::string dirPath = WriteFile(folder, "DICOMDIR", dir);
  const std::string imgPath = WriteFile(folder, "image.dcm", SmallImageFile());
  DICOMdata h;
  bool hdrOK, imgOK;
  {
    std::lock_guard lock(DicomDirPatientsMutex());
    gDicomDirPatients.clear();
  }
  ReadDicomHeader(dirPath, true, h, hdrOK, imgOK);
  ReadDicomHeader(imgPath, true, h, hdrOK, imgOK);  // not a DICOMDIR: leaves the tree
  {
    std::lock_guard lock(DicomDirPatientsMutex());
    ASSERT_EQ(gDicomDirPatients.size(), 1u);
    EXPECT_EQ(gDicomDirPatients[0].patientName, "X");
    gDicomDirPatients.clear();
  }
  TPatientArr mine;
  ReadDicomHeader(dirPath, true, h, hdrOK, imgOK, {}, &mine);
  EXPECT_EQ(mine.size(), 1u);
  std::lock_guard lock(DicomDirPatientsMutex());
  EXPECT_TRUE(gDicomDirPatients.empty());
}

// The sample DICOMDIRs in other encodings and layouts list the same files.
TEST(DicomDir, SampleVariantsAgree) {
  REQUIRE_SAMPLES();
  const auto read = [](const std::string& name) {
    DICOMdata h;
    DicomReadResult r = ReadDicomHeaderFromFile(SampleDirectory(name), true, h);
    EXPECT_TRUE(r.isDicomDir) << name;
    return r.dicomDir;
  };
  const TPatientArr base = read("DICOMDIR");
  ASSERT_EQ(base.size(), 2u);
  EXPECT_EQ(base[0].patientName, "Doe Archibald");
  EXPECT_EQ(CountImages(base), 31u);
  EXPECT_EQ(base[0].studies[0].serieses[0].images[0].imagePath, "77654033\\CR1\\6154 ");
  // The reordered one lists its first records upside down; its links put
  // them back in place.
  for (const char* name :
       {"DICOMDIR-implicit", "DICOMDIR-bigEnd", "DICOMDIR-nooffset", "DICOMDIR-reordered"}) {
    const TPatientArr other = read(name);
    ASSERT_EQ(other.size(), base.size()) << name;
    for (size_t i = 0; i < base.size(); ++i) {
      EXPECT_EQ(other[i].patientName, base[i].patientName) << name;
      EXPECT_EQ(other[i].studies.size(), base[i].studies.size()) << name;
    }
    EXPECT_EQ(CountImages(other), 31u) << name;
    EXPECT_EQ(other[0].studies[0].serieses[0].images[0].imagePath, "77654033\\CR1\\6154 ") << name;
  }
  // Its patient records are of an unknown type: nameless patients hold the
  // same studies and series.
  const TPatientArr nameless = read("DICOMDIR-nopatient");
  ASSERT_EQ(nameless.size(), base.size());
  for (size_t i = 0; i < base.size(); ++i) {
    EXPECT_EQ(nameless[i].patientName, "");
    ASSERT_EQ(nameless[i].studies.size(), base[i].studies.size());
    for (size_t k = 0; k < base[i].studies.size(); ++k)
      EXPECT_EQ(nameless[i].studies[k].serieses.size(), base[i].studies[k].serieses.size());
  }
  EXPECT_EQ(CountImages(nameless), 31u);
  EXPECT_EQ(nameless[0].studies[0].serieses[0].images[0].imagePath, "77654033\\CR1\\6154 ");
  EXPECT_TRUE(read("DICOMDIR-empty.dcm").empty());
}
