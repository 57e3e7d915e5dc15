#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "codec_fixtures.h"
#include "pixels/FrameCache.h"
#include "pixels/FramePrefetch.h"
#include "support/fixtures.h"

namespace {

using fixtures::ImageSpec;

constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int kSide = 250;  // 125,000 bytes per 16-bit frame; frames of the ramp differ
constexpr int64_t kFrameBytes = int64_t{kSide} * kSide * 2;

// A multi-frame 16-bit file whose frames all differ (the fixture's ramp runs on
// through the frames).
std::string MultiFrameFile(const std::string& dir, const std::string& name, int frames) {
  ImageSpec s;
  s.columns = kSide;
  s.rows = kSide;
  s.frames = frames;
  s.bitsStored = 16;
  return fixtures::WriteFile(dir, name, fixtures::SmallImageFile(s));
}

FrameSourcePtr Source(const std::string& path) {
  std::string why;
  FrameSourcePtr s = ReadFrameSource(path, &why);
  EXPECT_TRUE(s) << why;
  return s;
}

DecodedFrame DecodeDirect(const FrameSource& s, int frame) {
  DecodedFrame f;
  EXPECT_TRUE(DecodeFrame(s.path, s.header, s.framePos, s.frameSize, frame, f));
  return f;
}

TEST(FrameCache, StepsThroughMoreFramesThanTheBudgetHoldWithinIt) {
  const std::string path = MultiFrameFile(codectest::TestDir(), "forty.dcm", 40);
  FrameSourcePtr src = Source(path);
  ASSERT_EQ(src->frames, 40);
  FrameCache cache(kMiB);  // room for 8 frames
  FramePtr shown;
  for (int pass = 0; pass < 2; ++pass)
    for (int k = 1; k <= 40; ++k) {
      std::string why;
      shown = cache.Acquire(*src, k, &why);  // the previous frame is let go here
      ASSERT_TRUE(shown) << why;
      EXPECT_LE(cache.BytesHeld(), cache.Budget());
      // The frame on display is never the one evicted.
      EXPECT_TRUE(cache.Contains(path, k));
    }
  const FrameCache::Stats st = cache.GetStats();
  EXPECT_EQ(st.frames, size_t(kMiB / kFrameBytes));
  EXPECT_EQ(st.bytesHeld, int64_t(st.frames) * kFrameBytes);
  EXPECT_EQ(st.decodes, 80u);  // every frame was evicted before its second use
  EXPECT_EQ(st.bytesPinned, kFrameBytes);
  // A re-read frame equals the first decode, and both equal a direct decode.
  FramePtr again = cache.Acquire(*src, 1);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->buff16, DecodeDirect(*src, 1).buff16);
  EXPECT_NE(again->buff16, DecodeDirect(*src, 2).buff16);
}

TEST(FrameCache, HeldFramesAreNeverEvictedAndGoOnceLetGo) {
  const std::string path = MultiFrameFile(codectest::TestDir(), "pins.dcm", 30);
  FrameSourcePtr src = Source(path);
  FrameCache cache(2 * kMiB);  // 16 frames
  std::vector<FramePtr> held;
  for (int k = 1; k <= 6; ++k) held.push_back(cache.Acquire(*src, k));
  for (int k = 7; k <= 30; ++k) cache.Acquire(*src, k);
  for (int k = 1; k <= 6; ++k) EXPECT_TRUE(cache.Contains(path, k)) << k;
  EXPECT_EQ(cache.GetStats().bytesPinned, 6 * kFrameBytes);
  // More held than the budget: the cache goes past it by held frames only.
  for (int k = 7; k <= 26; ++k) held.push_back(cache.Acquire(*src, k));
  EXPECT_EQ(cache.BytesHeld(), 26 * kFrameBytes);
  held.clear();
  cache.Acquire(*src, 27);
  EXPECT_LE(cache.BytesHeld(), cache.Budget());
  EXPECT_EQ(cache.GetStats().bytesPinned, 0);
  // A lower budget takes effect at once.
  cache.SetBudget(kMiB);
  EXPECT_EQ(cache.BytesHeld(), 8 * kFrameBytes);
  EXPECT_TRUE(cache.Contains(path, 27));  // the most recently used stays
}

TEST(FrameCache, LeastRecentlyUsedGoesFirst) {
  const std::string path = MultiFrameFile(codectest::TestDir(), "lru.dcm", 10);
  FrameSourcePtr src = Source(path);
  FrameCache cache(8 * kFrameBytes);
  for (int k = 1; k <= 8; ++k) cache.Acquire(*src, k);
  EXPECT_TRUE(cache.Find(path, 1));  // a use: frame 2 is now the oldest
  cache.Acquire(*src, 9);
  EXPECT_TRUE(cache.Contains(path, 1));
  EXPECT_FALSE(cache.Contains(path, 2));
  EXPECT_FALSE(cache.Find(path, 2));
  EXPECT_TRUE(cache.Contains(path, 9));
}

TEST(FrameCache, AFrameLargerThanTheBudgetIsShownButNotKept) {
  ImageSpec s;
  s.columns = 1024;
  s.rows = 1024;  // 2 MiB of words
  const std::string path =
      fixtures::WriteFile(codectest::TestDir(), "big.dcm", fixtures::SmallImageFile(s));
  FrameSourcePtr src = Source(path);
  FrameCache cache(kMiB);
  FramePtr f = cache.Acquire(*src, 1);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->buff16.size(), size_t(1024 * 1024));
  EXPECT_EQ(cache.BytesHeld(), 0);
  EXPECT_FALSE(cache.Contains(path, 1));
}

TEST(FrameCache, AVanishedOrChangedFileIsRefusedWithAReasonAndNothingElseIsLost) {
  const std::string dir = codectest::TestDir();
  const std::string gone = MultiFrameFile(dir, "gone.dcm", 4);
  const std::string changed = MultiFrameFile(dir, "changed.dcm", 4);
  const std::string kept = MultiFrameFile(dir, "kept.dcm", 4);
  FrameSourcePtr g = Source(gone), c = Source(changed), k = Source(kept);
  FrameCache cache(64 * kMiB);
  FramePtr shown = cache.Acquire(*g, 1);
  ASSERT_TRUE(shown && cache.Acquire(*c, 1) && cache.Acquire(*k, 1));
  std::filesystem::remove(gone);
  // Cached frames stay usable; the file is needed only for frames not held.
  EXPECT_TRUE(cache.Acquire(*g, 1));
  std::string why;
  EXPECT_FALSE(cache.Acquire(*g, 2, &why));
  EXPECT_NE(why.find("cannot be found"), std::string::npos) << why;
  EXPECT_NE(why.find(gone), std::string::npos) << why;

  // Same size, other content: frame 2 must not be read with the old tables.
  // A later time stamp too, even where the clock or the file system is coarse.
  const auto written = std::filesystem::last_write_time(changed);
  ImageSpec s;
  s.columns = kSide;
  s.rows = kSide;
  s.frames = 4;
  s.bitsStored = 16;
  s.patientName = "OTHER^NAME";  // same length as the original
  fixtures::WriteFile(dir, "changed.dcm", fixtures::SmallImageFile(s));
  std::filesystem::last_write_time(changed, written + std::chrono::seconds(1));
  why.clear();
  EXPECT_FALSE(cache.Acquire(*c, 2, &why));
  EXPECT_NE(why.find("changed"), std::string::npos) << why;
  // A header read afresh describes the file as it is now and replaces it.
  FrameSourcePtr fresh = Source(changed);
  EXPECT_TRUE(cache.Acquire(*fresh, 2, &why)) << why;
  EXPECT_EQ(cache.Acquire(*k, 1)->buff16, DecodeDirect(*k, 1).buff16);
  EXPECT_TRUE(cache.Acquire(*k, 2));
}

TEST(FrameCache, ConcurrentCallersShareOneDecodeAndKeepTheBudget) {
  const std::string path = MultiFrameFile(codectest::TestDir(), "threads.dcm", 60);
  FrameSourcePtr src = Source(path);
  FrameCache cache(2 * kMiB);
  // Many threads ask for the same frame at once: it is decoded once.
  {
    std::vector<std::thread> ts;
    std::atomic<int> ok{0};
    for (int t = 0; t < 8; ++t) ts.emplace_back([&] { ok += cache.Acquire(*src, 5) != nullptr; });
    for (auto& t : ts) t.join();
    EXPECT_EQ(ok.load(), 8);
    EXPECT_EQ(cache.GetStats().decodes, 1u);
  }
  // Loads of many frames from several threads, with Clear in between: the
  // budget holds and every frame handed out is the right one.
  const DecodedFrame want7 = DecodeDirect(*src, 7);
  std::atomic<bool> bad{false};
  std::atomic<int> loads{0}, running{4};
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round)
        for (int k = 1 + t; k <= 60; k += 2) {
          FramePtr f = cache.Acquire(*src, k);
          if (!f || f->buff16.size() != size_t(kSide * kSide)) bad = true;
          if (f && k == 7 && f->buff16 != want7.buff16) bad = true;
          if (cache.BytesHeld() > cache.Budget() + 4 * kFrameBytes) bad = true;
          ++loads;
        }
      --running;
    });
  // A Clear after every few loads while the workers run, however fast they
  // are on this machine.
  while (running > 0) {
    const int seen = loads;
    while (running > 0 && loads < seen + 8) std::this_thread::yield();
    cache.Clear();
  }
  for (auto& t : ts) t.join();
  EXPECT_FALSE(bad.load());
  EXPECT_LE(cache.BytesHeld(), cache.Budget());
}

TEST(FrameCache, ReservationsStayWithinHalfTheBudget) {
  FrameCache cache(100 * kMiB);
  EXPECT_TRUE(cache.Reserve(30 * kMiB));
  EXPECT_TRUE(cache.Reserve(20 * kMiB));
  EXPECT_FALSE(cache.Reserve(1));
  cache.Unreserve(30 * kMiB);
  EXPECT_TRUE(cache.Reserve(30 * kMiB));
  EXPECT_EQ(cache.Reserved(), 50 * kMiB);
}

// Memory held outside (a volume) shares the budget with the frames: a
// charge evicts frames nobody holds, stays while its owner lives (moved or
// not), and one past the whole budget is refused without evicting.
TEST(FrameCache, ChargesShareTheBudgetUntilReleased) {
  FrameCache cache(kMiB);
  const auto frame = [] {
    DecodedFrame f;
    f.buff8.assign(200 * 1024, 1);
    return f;
  };
  const FramePtr held = cache.Insert("a", 1, frame());
  for (int k = 2; k <= 4; ++k) cache.Insert("a", k, frame());
  ASSERT_EQ(cache.GetStats().frames, 4u);

  std::string why;
  CacheCharge charge;
  EXPECT_FALSE(cache.Charge(kMiB + 1, charge, &why));
  EXPECT_NE(why.find("more than"), std::string::npos) << why;
  EXPECT_EQ(cache.GetStats().frames, 4u);
  EXPECT_EQ(cache.Charged(), 0);

  ASSERT_TRUE(cache.Charge(600 * 1024, charge, &why)) << why;
  EXPECT_EQ(cache.Charged(), 600 * 1024);
  EXPECT_LE(cache.BytesHeld() + cache.Charged(), cache.Budget());
  EXPECT_TRUE(cache.Contains("a", 1));  // held: never evicted
  // While charged, a new frame fits only in what the charge leaves.
  cache.Insert("a", 5, frame());
  EXPECT_LE(cache.BytesHeld() + cache.Charged(), cache.Budget());
  EXPECT_EQ(cache.GetStats().bytesCharged, 600 * 1024);

  CacheCharge moved = std::move(charge);
  EXPECT_EQ(charge.bytes(), 0);
  EXPECT_EQ(cache.Charged(), 600 * 1024);
  // Two charges together may pass the budget (a volume built while the one
  // it replaces is still shown): every frame not held goes.
  CacheCharge other;
  ASSERT_TRUE(cache.Charge(600 * 1024, other, &why)) << why;
  EXPECT_EQ(cache.GetStats().frames, 1u);
  EXPECT_TRUE(cache.Contains("a", 1));
  cache.Insert("a", 6, frame());
  EXPECT_FALSE(cache.Contains("a", 6));  // no room left to keep it
  other.Release();
  EXPECT_EQ(cache.Charged(), 600 * 1024);
  { CacheCharge gone = std::move(moved); }
  EXPECT_EQ(cache.Charged(), 0);
}

TEST(FrameCache, DefaultBudgetIsAQuarterOfMemoryAtMostFourGiB) {
  const int64_t b = FrameCache::DefaultBudget();
  EXPECT_GE(b, 64 * kMiB);
  EXPECT_LE(b, 4096 * kMiB);
}

TEST(FramePrefetcher, DecodesAheadIntoTheCacheAndANewRequestReplacesTheOld) {
  const std::string path = MultiFrameFile(codectest::TestDir(), "ahead.dcm", 40);
  FrameSourcePtr src = Source(path);
  FrameCache cache(64 * kMiB);
  FramePrefetcher pre(cache, 2);
  const int owner = 0;
  std::vector<FramePrefetcher::Job> jobs;
  for (int k = 2; k <= 6; ++k) jobs.push_back({src, "", k});
  pre.Request(&owner, jobs);
  pre.WaitIdle();
  for (int k = 2; k <= 6; ++k) EXPECT_TRUE(cache.Contains(path, k));
  EXPECT_EQ(pre.Decoded(), 5u);
  // Asking again for cached frames decodes nothing; a job without a source
  // reads the header itself; frames past the end are passed over.
  jobs.clear();
  for (int k = 5; k <= 8; ++k) jobs.push_back({src, "", k});
  jobs.push_back({nullptr, path, 9});
  jobs.push_back({src, "", 41});
  pre.Request(&owner, jobs);
  pre.WaitIdle();
  EXPECT_EQ(pre.Decoded(), 8u);  // 7, 8 and 9
  EXPECT_TRUE(cache.Contains(path, 9));
  EXPECT_FALSE(cache.Contains(path, 41));
  // A cell that moves on replaces its queue: what it asked for before is
  // dropped unstarted.
  cache.Clear();
  FramePrefetcher one(cache, 1);
  std::vector<FramePrefetcher::Job> many;
  for (int k = 1; k <= 40; ++k) many.push_back({src, "", k});
  one.Request(&owner, many);
  one.Request(&owner, {{src, "", 40}});
  one.WaitIdle();
  EXPECT_TRUE(cache.Contains(path, 40));
  EXPECT_LT(one.Decoded(), 20u);
}

TEST(FramePrefetcher, CancelAndClearDuringPrefetchLeaveNothingBehind) {
  const std::string dir = codectest::TestDir();
  const std::string path = MultiFrameFile(dir, "cancel.dcm", 80);
  FrameSourcePtr src = Source(path);
  FrameCache cache(4 * kMiB);
  FramePrefetcher pre(cache, 2);
  int a = 0, b = 0;
  std::vector<FramePrefetcher::Job> all;
  for (int k = 1; k <= 80; ++k) all.push_back({src, "", k});
  for (int round = 0; round < 10; ++round) {
    pre.Request(&a, all);
    pre.Request(&b, all);
    pre.Cancel(&a);
    pre.CancelAll();
    cache.Clear();  // Clear Study while jobs run
  }
  pre.WaitIdle();
  // Decodes that were running when the cache was cleared did not store.
  cache.Clear();
  pre.Request(&a, {{src, "", 3}});
  pre.WaitIdle();
  EXPECT_EQ(cache.GetStats().frames, 1u);
  // Frames more than a quarter of the budget are not prefetched.
  ImageSpec big;
  big.columns = big.rows = 512;  // 512 KiB
  FrameSourcePtr large =
      Source(fixtures::WriteFile(dir, "large.dcm", fixtures::SmallImageFile(big)));
  FrameCache small(kMiB);
  FramePrefetcher pre2(small, 1);
  pre2.Request(&a, {{src, "", 1}, {large, "", 1}});
  pre2.WaitIdle();
  EXPECT_TRUE(small.Contains(path, 1));  // an eighth of the budget
  EXPECT_FALSE(small.Contains(large->path, 1));
}

}  // namespace
