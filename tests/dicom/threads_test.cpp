// Reads on many threads at once give the same records as reads one by one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "dicom/dicom.h"
#include "support/paths.h"

namespace fs = std::filesystem;

namespace {

struct Result {
  DICOMdata header;
  DicomReadResult r;
  std::vector<std::string> messages;
  bool failed = false;
};

Result Read(const std::string& path) {
  Result out;
  try {
    out.r = ReadDicomHeaderFromFile(path, true, out.header,
                                    [&](const std::string& t) { out.messages.push_back(t); });
  } catch (const EDicomReadError&) {
    out.failed = true;
  }
  return out;
}

bool SameTree(const TPatientArr& a, const TPatientArr& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].patientName != b[i].patientName || a[i].studies.size() != b[i].studies.size())
      return false;
    for (size_t s = 0; s < a[i].studies.size(); ++s) {
      const auto &x = a[i].studies[s], &y = b[i].studies[s];
      if (x.instanceUid != y.instanceUid || x.serieses.size() != y.serieses.size()) return false;
      for (size_t r = 0; r < x.serieses.size(); ++r) {
        const auto &p = x.serieses[r].images, &q = y.serieses[r].images;
        if (p.size() != q.size()) return false;
        for (size_t k = 0; k < p.size(); ++k)
          if (p[k].imagePath != q[k].imagePath || p[k].instanceNumber != q[k].instanceNumber)
            return false;
      }
    }
  }
  return true;
}

}  // namespace

TEST(Threads, ConcurrentReadsMatchSequentialReads) {
  REQUIRE_SAMPLES();
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(testsupport::SampleDir()))
    if (e.is_regular_file()) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());

  std::vector<Result> expected;
  for (const auto& f : files) expected.push_back(Read(f));

  constexpr int kThreads = 8;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) {
    pool.emplace_back([&, t] {
      // Each thread reads every file, starting at a different one, into one
      // reused record and into fresh ones.
      DICOMdata reused;
      for (size_t i = 0; i < files.size(); ++i) {
        const size_t k = (i + size_t(t) * 17) % files.size();
        const Result got = Read(files[k]);
        const Result& want = expected[k];
        if (!(got.header == want.header) || got.r.hdrOK != want.r.hdrOK ||
            got.r.imgOK != want.r.imgOK || got.messages != want.messages ||
            got.failed != want.failed || got.r.isDicomDir != want.r.isDicomDir ||
            !SameTree(got.r.dicomDir, want.r.dicomDir))
          ++mismatches;
        try {
          ReadDicomHeaderFromFile(files[k], true, reused);
        } catch (const EDicomReadError&) {
        }
      }
    });
  }
  for (auto& th : pool) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// DICOMDIR reads on several threads publish whole trees, one at a time.
TEST(Threads, DicomDirTreesArePublishedWhole) {
  REQUIRE_SAMPLES();
  const std::string a = testsupport::SamplePath("dicomdirtests/DICOMDIR");
  const std::string b = testsupport::SamplePath("dicomdirtests/DICOMDIR-nopatient");
  const TPatientArr treeA = Read(a).r.dicomDir, treeB = Read(b).r.dicomDir;
  std::vector<std::thread> pool;
  std::atomic<int> torn{0};
  for (int t = 0; t < 6; ++t) {
    pool.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        DICOMdata h;
        bool hdrOK, imgOK;
        ReadDicomHeader((t + i) % 2 ? a : b, true, h, hdrOK, imgOK);
        std::lock_guard lock(DicomDirPatientsMutex());
        if (!SameTree(gDicomDirPatients, treeA) && !SameTree(gDicomDirPatients, treeB)) ++torn;
      }
    });
  }
  for (auto& th : pool) th.join();
  EXPECT_EQ(torn.load(), 0);
}
