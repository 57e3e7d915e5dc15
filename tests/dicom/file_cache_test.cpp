// The per-file cache behind the calibration, the inflated data set and the
// sample range: a value is made once per file as it is, again once the file
// is replaced, and shared by callers that ask at the same time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dicom/FileCache.h"
#include "support/paths.h"

namespace {

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

TEST(FileCache, MakesOncePerFileAsItIsAndAgainOnceItChanges) {
  const std::string dir = testsupport::TempDir("file_cache");
  const std::string path = dir + "/a";
  WriteText(path, "one");
  TFileCache<std::string> cache(4);
  int made = 0;
  auto read = [&] {
    ++made;
    std::ifstream f(path);
    return std::string(std::istreambuf_iterator<char>(f), {});
  };
  EXPECT_EQ(*cache.Get(path, read), "one");
  EXPECT_EQ(*cache.Get(path, read), "one");
  EXPECT_EQ(made, 1);
  // Another key for the same file is another value.
  EXPECT_EQ(*cache.Get(path, read, "frames 2"), "one");
  EXPECT_EQ(made, 2);

  // Replaced: another size, and a later change time.
  const auto written = std::filesystem::last_write_time(path);
  WriteText(path, "three");
  std::filesystem::last_write_time(path, written + std::chrono::seconds(1));
  EXPECT_EQ(*cache.Get(path, read), "three");
  EXPECT_EQ(made, 3);

  std::filesystem::remove(path);
  EXPECT_EQ(cache.Get(path, read), nullptr);
  EXPECT_EQ(made, 3);
}

TEST(FileCache, KeepsTheMostRecentlyAskedForWithinItsCapacity) {
  const std::string dir = testsupport::TempDir("file_cache_lru");
  TFileCache<int> cache(2);
  int made = 0;
  std::vector<std::string> paths;
  for (int k = 0; k < 3; ++k) {
    paths.push_back(dir + "/f" + std::to_string(k));
    WriteText(paths.back(), std::to_string(k));
  }
  auto get = [&](int k) { return *cache.Get(paths[k], [&] { return ++made, k; }); };
  get(0);
  get(1);
  get(0);  // 0 is now the most recent
  get(2);  // 1 goes
  EXPECT_EQ(made, 3);
  get(0);
  EXPECT_EQ(made, 3);
  get(1);
  EXPECT_EQ(made, 4);
}

TEST(FileCache, CallersAskingTogetherShareOneMakeAndAFailedMakeIsNotKept) {
  const std::string dir = testsupport::TempDir("file_cache_threads");
  const std::string path = dir + "/shared";
  WriteText(path, "x");
  TFileCache<int> cache(4);
  std::atomic<int> made{0};
  std::vector<std::thread> threads;
  std::vector<int> seen(8, 0);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      seen[t] = *cache.Get(path, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return ++made;
      });
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(made, 1);
  for (int v : seen) EXPECT_EQ(v, 1);

  TFileCache<int> failing(4);
  EXPECT_THROW(failing.Get(path, []() -> int { throw std::runtime_error("no"); }),
               std::runtime_error);
  EXPECT_EQ(*failing.Get(path, [] { return 7; }), 7);
}

}  // namespace
