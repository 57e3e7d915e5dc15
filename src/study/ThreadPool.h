// The loads' own threads (std::thread), with two operations: run a task and
// wait for it, and a parallel-for over an index range. A task not started
// when someone waits for it runs on the waiting thread, so waiting never
// needs a free worker (a worker may wait for a task too).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace study {

namespace detail {
struct TJob {
  std::atomic<bool> claimed{false};
  std::packaged_task<void()> task;
  // Runs the task unless another thread claimed it first.
  void RunOnce() {
    if (!claimed.exchange(true, std::memory_order_acq_rel)) task();
  }
};
}  // namespace detail

// A submitted task. Wait() returns once it has run (running it here when no
// worker has taken it yet) and rethrows what it threw. An empty handle waits
// for nothing; dropping a handle does not wait.
class TTaskHandle {
 public:
  TTaskHandle() = default;
  TTaskHandle(std::shared_ptr<detail::TJob> job, std::future<void> done)
      : job_(std::move(job)), done_(std::move(done)) {}
  void Wait();
  bool Valid() const { return done_.valid(); }

 private:
  std::shared_ptr<detail::TJob> job_;
  std::future<void> done_;
};

class TThreadPool {
 public:
  // threads 0: one per core.
  explicit TThreadPool(unsigned threads = 0);
  // Runs what is still queued, then joins the workers.
  ~TThreadPool();
  TThreadPool(const TThreadPool&) = delete;
  TThreadPool& operator=(const TThreadPool&) = delete;

  TTaskHandle Submit(std::function<void()> fn);
  // body(i) for every i in [0, n), on the workers and the calling thread;
  // returns when every index is done, rethrowing the first exception.
  void ParallelFor(size_t n, const std::function<void(size_t)>& body);
  unsigned Threads() const { return static_cast<unsigned>(workers_.size()); }

  // The pool of the study loads. Kept apart from any pool a user interface
  // draws with: hundreds of queued file reads there would hold up every
  // picture drawn while a load runs.
  static TThreadPool& Loader();

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<detail::TJob>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace study
