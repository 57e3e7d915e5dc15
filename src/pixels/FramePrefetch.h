// Decodes frames ahead of the user into a FrameCache, on worker threads of
// its own, so that stepping and cine through a series that does not fit the
// cache's budget stay as smooth as through one that does.
//
// Each owner (a viewer cell, a volume builder) has one queue. A new Request
// replaces what the owner queued before, so the jobs of a cell that moved
// elsewhere are dropped before they start; a job already running finishes its
// one frame. Owners' queues are served in turn, one job each. A job whose
// frame is cached already, or would take more than a quarter of the budget,
// is passed over. Decoded frames go into the cache unpinned, as its most
// recently used.
//
// Every member may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pixels/FrameCache.h"

class FramePrefetcher {
 public:
  struct Job {
    FrameSourcePtr source;  // null: the header is read from path when the job runs
    std::string path;       // used when source is null
    int frame = 1;          // 1-based
  };

  // On FrameCache::Shared(), with one thread fewer than the machine has cores
  // (at least one, at most four).
  static FramePrefetcher& Shared();

  FramePrefetcher(FrameCache& cache, int threads);
  // Drops the queues and waits for the running jobs.
  ~FramePrefetcher();
  FramePrefetcher(const FramePrefetcher&) = delete;
  FramePrefetcher& operator=(const FramePrefetcher&) = delete;

  // The jobs run in the order given, replacing those `owner` queued before.
  void Request(const void* owner, std::vector<Job> jobs);
  void Cancel(const void* owner);
  void CancelAll();
  // Returns once no job is queued or running.
  void WaitIdle();
  // Frames the jobs brought into the cache so far (cached ones passed over
  // not counted).
  uint64_t Decoded() const { return decoded_.load(); }

 private:
  struct Queue {
    const void* owner = nullptr;
    std::deque<Job> jobs;
  };
  void Run();
  void RunJob(const Job& job);

  FrameCache& cache_;
  std::mutex mu_;
  std::condition_variable wake_, idle_;
  std::vector<Queue> queues_;
  size_t next_ = 0;  // queue served next
  int running_ = 0;
  bool stop_ = false;
  std::atomic<uint64_t> decoded_{0};
  std::vector<std::thread> threads_;
};
