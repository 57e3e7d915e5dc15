// The archive the PACS tests talk to: one real Orthanc per test process,
// started on first use and holding two studies uploaded through its REST
// API. Study A (patient PACS^TEST) has a series of four uncompressed CT
// slices and a series of two JPEG lossless ones; study B is pydicom's MR
// sample (another patient).
#pragma once

#include <string>
#include <vector>

#include "net/PacsServer.h"
#include "support/orthanc.h"

namespace pacstest {

struct Uploaded {
  std::string path;  // the file as uploaded
  std::string studyUid, seriesUid, sopUid;
};

inline const std::string kStudyA = "1.2.826.0.1.3680043.2.1125.7";
inline const std::string kSeriesA1 = "1.2.826.0.1.3680043.2.1125.7.1";
inline const std::string kSeriesA2 = "1.2.826.0.1.3680043.2.1125.7.2";

// The shared server, started (and loaded) on first call; null with a
// reason when Orthanc cannot run here.
testsupport::Orthanc* SharedOrthanc(std::string* why = nullptr);
const std::vector<Uploaded>& UploadedInstances();
std::vector<Uploaded> UploadedOf(const std::string& studyUid, const std::string& seriesUid = "");
// pydicom's MR sample's study.
std::string StudyB();

// A server description for the shared Orthanc: DIMSE (C-GET), DIMSE with
// C-MOVE, or DICOMweb with the test user.
TPacsServer DimseServer(const testsupport::Orthanc& o);
TPacsServer MoveServer(const testsupport::Orthanc& o);
TPacsServer WebServer(const testsupport::Orthanc& o);

// The data set of a Part 10 file: the bytes after its meta group.
std::string DataSetBytes(const std::string& path);
// The Transfer Syntax UID in a Part 10 file's meta group.
std::string MetaTransferSyntax(const std::string& path);

// A fresh folder for this test process: ctest runs tests in parallel
// processes, which must not share folders.
std::string TestDir(const std::string& name);

// Regular files under dir, relative, sorted (staging leftovers included).
std::vector<std::string> FilesUnder(const std::string& dir);

// Skips the test when Orthanc cannot be started here; fails it instead when
// TAVROLEN_REQUIRE_ORTHANC is set (scripts/test sets it: CI must not pass by
// skipping).
bool OrthancRequired();
#define REQUIRE_ORTHANC(o)                                        \
  std::string orthancWhy;                                         \
  testsupport::Orthanc* o = pacstest::SharedOrthanc(&orthancWhy); \
  if (!o && pacstest::OrthancRequired()) FAIL() << orthancWhy;    \
  if (!o) GTEST_SKIP() << orthancWhy

}  // namespace pacstest
