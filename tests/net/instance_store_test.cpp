// The instance store: what a server sends is kept only when it is a DICOM
// file of what was asked for, under names made of checked UIDs, and nothing
// half-written is ever left in the folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "net/InstanceStore.h"
#include "support/pacs_fixtures.h"
#include "support/paths.h"

namespace fs = std::filesystem;

namespace {

const std::string kStudy = "1.2.826.0.1.3680043.2.1125.1";
const std::string kSeries = "1.2.826.0.1.3680043.2.1125.1.1";

std::string Staged(TInstanceStore& store, const std::vector<uint8_t>& bytes) {
  const std::string path = store.NewStagingPath();
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

std::vector<uint8_t> Slice(int k, const std::string& study = kStudy, const std::string& sop = "",
                           const std::string& series = kSeries) {
  testsupport::CtSliceSpec s;
  s.studyUid = study;
  s.seriesUid = series;
  s.instanceNumber = k;
  s.sopUid = sop.empty() ? kSeries + "." + std::to_string(k) : sop;
  s.size = 8;
  return testsupport::CtSliceFile(s);
}

// Every regular file under dir, staging folder included.
std::vector<std::string> FilesUnder(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.push_back(fs::relative(e.path(), dir).string());
  return out;
}

}  // namespace

TEST(InstanceStore, AcceptedFilesGoUnderTheirUids) {
  const std::string dir = testsupport::TempDir("store_accept");
  {
    TInstanceStore store(dir, {kStudy, "", {{kSeries, 2}}});
    std::string why;
    ASSERT_TRUE(store.Open(why)) << why;
    int notified = 0;
    store.onStored = [&](const TStoredInstance&) { ++notified; };
    TStoredInstance got;
    ASSERT_TRUE(store.Commit(Staged(store, Slice(1)), why, &got)) << why;
    EXPECT_EQ(got.path, dir + "/" + kStudy + "/" + kSeries + "/" + kSeries + ".1.dcm");
    EXPECT_EQ(got.sopUid, kSeries + ".1");
    EXPECT_TRUE(fs::exists(got.path));
    EXPECT_EQ(store.MissingCount(), 1u);
    // Streamed in pieces, as WADO-RS parts arrive.
    const auto bytes = Slice(2);
    ASSERT_TRUE(store.BeginStream(bytes.size(), why)) << why;
    for (size_t i = 0; i < bytes.size(); i += 100)
      ASSERT_TRUE(store.WriteStream(reinterpret_cast<const char*>(bytes.data()) + i,
                                    std::min<size_t>(100, bytes.size() - i), why));
    ASSERT_TRUE(store.EndStream(why)) << why;
    EXPECT_EQ(store.MissingCount(), 0u);
    EXPECT_EQ(store.StoredPerSeries(), (std::map<std::string, int>{{kSeries, 2}}));
    EXPECT_EQ(notified, 2);
  }
  // The staging folder goes with the store.
  EXPECT_EQ(FilesUnder(dir).size(), 2u);
  for (const auto& e : fs::directory_iterator(dir)) EXPECT_EQ(e.path().filename().string(), kStudy);
}

TEST(InstanceStore, WhatWasNotAskedForIsRefusedAndRemoved) {
  const std::string dir = testsupport::TempDir("store_refuse");
  TInstanceStore store(dir, {kStudy, "", {{kSeries, 1}}});
  std::string why;
  ASSERT_TRUE(store.Open(why));
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* reason;
  };
  std::vector<uint8_t> notDicom(400, 'x');
  std::vector<uint8_t> truncated = Slice(1);
  truncated.resize(140);
  const std::vector<Case> cases = {
      {"not DICOM", notDicom, "not a DICOM file"},
      {"another study", Slice(1, "1.2.3.999"), "another study"},
      {"a UID that would climb out of the folder", Slice(1, kStudy, "1.2.3/../../x"),
       "not a valid UID"},
      {"a series not announced", Slice(5, kStudy, "", kStudy + ".9"), "not announced"},
      {"too short to hold a header", truncated, "header"},
  };
  for (const Case& c : cases) {
    const std::string staged = Staged(store, c.bytes);
    EXPECT_FALSE(store.Commit(staged, why)) << c.what;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    EXPECT_FALSE(fs::exists(staged)) << c.what;
  }
  EXPECT_EQ(store.StoredCount(), 0u);
  ASSERT_TRUE(store.Commit(Staged(store, Slice(1)), why)) << why;
  // A second copy counts against what was announced.
  EXPECT_FALSE(store.Commit(Staged(store, Slice(1)), why));
  EXPECT_NE(why.find("more images than it announced"), std::string::npos) << why;
  EXPECT_EQ(store.StoredCount(), 1u);
}

TEST(InstanceStore, AHugeAnnouncementIsRefusedBeforeAnyByteIsWritten) {
  const std::string dir = testsupport::TempDir("store_huge");
  TInstanceStore store(dir, {kStudy, "", {}});
  std::string why;
  ASSERT_TRUE(store.Open(why));
  store.maxInstanceBytes = 1000;
  EXPECT_FALSE(store.BeginStream(uint64_t(1) << 40, why));
  EXPECT_NE(why.find("more than accepted"), std::string::npos) << why;
  ASSERT_TRUE(store.BeginStream(0, why));
  const std::string chunk(600, 'a');
  EXPECT_TRUE(store.WriteStream(chunk.data(), chunk.size(), why));
  EXPECT_FALSE(store.WriteStream(chunk.data(), chunk.size(), why));
  EXPECT_NE(why.find("larger than accepted"), std::string::npos) << why;
  EXPECT_TRUE(FilesUnder(dir).empty());
}

TEST(InstanceStore, AnyStudyTakesEveryStudyButStillChecksTheUids) {
  const std::string dir = testsupport::TempDir("store_any_study");
  TInstanceStore::Expect expect;
  expect.anyStudy = true;
  TInstanceStore store(dir, expect);
  store.sender = "the modality";
  std::string why;
  ASSERT_TRUE(store.Open(why)) << why;
  ASSERT_TRUE(store.Commit(Staged(store, Slice(1)), why)) << why;
  const std::string other = "1.2.826.0.1.3680043.2.1125.2";
  TStoredInstance got;
  ASSERT_TRUE(store.Commit(Staged(store, Slice(1, other, other + ".1.1", other + ".1")), why, &got))
      << why;
  EXPECT_EQ(got.path, dir + "/" + other + "/" + other + ".1/" + other + ".1.1.dcm");
  // A study UID that would name a path outside DIR is no UID.
  const std::string staged = Staged(store, Slice(2, "../..", "1.2.3", "1.2"));
  EXPECT_FALSE(store.Commit(staged, why));
  EXPECT_NE(why.find("the modality sent"), std::string::npos) << why;
  EXPECT_FALSE(fs::exists(staged));
  EXPECT_EQ(store.StoredCount(), 2u);
}
