#include "study/ThreadPool.h"

#include <algorithm>
#include <atomic>
#include <exception>

namespace study {

void TTaskHandle::Wait() {
  if (!done_.valid()) return;
  if (job_) job_->RunOnce();
  done_.get();
  job_.reset();
}

TThreadPool::TThreadPool(unsigned threads) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  workers_.reserve(threads);
  for (unsigned k = 0; k < threads; ++k) workers_.emplace_back([this] { Work(); });
}

TThreadPool::~TThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void TThreadPool::Work() {
  for (;;) {
    std::shared_ptr<detail::TJob> job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left to run
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job->RunOnce();
  }
}

TTaskHandle TThreadPool::Submit(std::function<void()> fn) {
  auto job = std::make_shared<detail::TJob>();
  job->task = std::packaged_task<void()>(std::move(fn));
  std::future<void> done = job->task.get_future();
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(job);
  }
  wake_.notify_one();
  return {std::move(job), std::move(done)};
}

void TThreadPool::ParallelFor(size_t n, const std::function<void(size_t)>& body) {
  if (n == 0) return;
  std::atomic<size_t> next{0};
  auto drain = [&] {
    for (size_t i = next.fetch_add(1); i < n; i = next.fetch_add(1)) body(i);
  };
  // Helpers that find the range taken return at once; the caller works too.
  const size_t helpers = std::min<size_t>(workers_.size(), n - 1);
  std::vector<TTaskHandle> handles;
  handles.reserve(helpers);
  for (size_t k = 0; k < helpers; ++k) handles.push_back(Submit(drain));
  std::exception_ptr first;
  try {
    drain();
  } catch (...) {
    first = std::current_exception();
    next = n;  // the others stop at their next index
  }
  for (TTaskHandle& h : handles) {
    try {
      h.Wait();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  }
  if (first) std::rethrow_exception(first);
}

TThreadPool& TThreadPool::Loader() {
  static TThreadPool pool;
  return pool;
}

}  // namespace study
