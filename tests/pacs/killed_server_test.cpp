// A server that dies in the middle of a retrieve: the retrieve fails with
// one reason, and every image that arrived before stays, whole.
#include <gtest/gtest.h>

#include <filesystem>

#include "dicom/dicom.h"
#include "net/PacsClient.h"
#include "net/Retrieval.h"
#include "pacs_fixture.h"
#include "support/pacs_fixtures.h"
#include "support/paths.h"

namespace fs = std::filesystem;
using namespace pacstest;

namespace {

constexpr int kSlices = 80;

class KilledServer : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(KilledServer, WhatArrivedBeforeStaysWhole) {
  if (!testsupport::Orthanc::Installed()) {
    if (OrthancRequired()) FAIL() << "Orthanc is not installed";
    GTEST_SKIP() << "Orthanc is not installed";
  }
  const std::string kind = GetParam();
  testsupport::Orthanc o;
  std::string why;
  ASSERT_TRUE(o.Start(TestDir("killed_orthanc_" + kind), {}, why)) << why;
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.9";
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 512;
  const auto files = testsupport::WriteCtSeries(TestDir("killed_files_" + kind), spec, kSlices);
  for (const std::string& f : files) ASSERT_TRUE(o.Upload(f, why)) << why;

  const TPacsServer server = kind == "dimse"  ? DimseServer(o)
                             : kind == "move" ? MoveServer(o)
                                              : WebServer(o);
  auto client = MakePacsClient(server);
  const std::string dir = TestDir("killed_out_" + kind);
  TRetrieveHooks hooks;
  int stored = 0;
  hooks.stored = [&](const TStoredInstance&) {
    if (++stored == 1) o.Kill();
  };
  const TRetrieveResult r = RetrieveInto(*client, {dir, spec.studyUid, ""}, hooks);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.why.find("lost") != std::string::npos ||
              r.why.find("closed") != std::string::npos || r.why.find("ended") != std::string::npos)
      << r.why;
  EXPECT_NE(r.why.find("images arrived and were kept"), std::string::npos) << r.why;
  ASSERT_GE(r.stored.size(), 1u);
  EXPECT_LT(r.stored.size(), size_t(kSlices));
  // Only whole files, each readable, and no staging leftovers.
  const auto kept = FilesUnder(dir);
  EXPECT_EQ(kept.size(), r.stored.size());
  const uintmax_t size = fs::file_size(files[0]);
  for (const TStoredInstance& s : r.stored) {
    EXPECT_NEAR(double(fs::file_size(s.path)), double(size), 400.0) << s.path;
    DICOMdata h;
    EXPECT_TRUE(ReadDicomHeaderFromFile(s.path, true, h).imgOK) << s.path;
  }
}

INSTANTIATE_TEST_SUITE_P(Orthanc, KilledServer, ::testing::Values("dimse", "move", "web"),
                         [](const auto& info) { return std::string(info.param); });
