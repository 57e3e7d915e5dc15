#include "pixels/FramePrefetch.h"

#include <algorithm>

FramePrefetcher& FramePrefetcher::Shared() {
  static FramePrefetcher prefetcher(FrameCache::Shared(),
                                    std::clamp(int(std::thread::hardware_concurrency()) - 1, 1, 4));
  return prefetcher;
}

FramePrefetcher::FramePrefetcher(FrameCache& cache, int threads) : cache_(cache) {
  for (int i = 0; i < std::max(threads, 1); ++i) threads_.emplace_back([this] { Run(); });
}

FramePrefetcher::~FramePrefetcher() {
  {
    std::lock_guard lock(mu_);
    stop_ = true;
    queues_.clear();
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void FramePrefetcher::Request(const void* owner, std::vector<Job> jobs) {
  {
    std::lock_guard lock(mu_);
    auto it = std::find_if(queues_.begin(), queues_.end(),
                           [&](const Queue& q) { return q.owner == owner; });
    if (it == queues_.end()) {
      if (jobs.empty()) return;
      queues_.push_back(Queue{owner, {}});
      it = std::prev(queues_.end());
    }
    it->jobs.assign(std::make_move_iterator(jobs.begin()), std::make_move_iterator(jobs.end()));
  }
  wake_.notify_all();
}

void FramePrefetcher::Cancel(const void* owner) {
  std::lock_guard lock(mu_);
  for (Queue& q : queues_)
    if (q.owner == owner) q.jobs.clear();
}

void FramePrefetcher::CancelAll() {
  std::lock_guard lock(mu_);
  for (Queue& q : queues_) q.jobs.clear();
}

void FramePrefetcher::WaitIdle() {
  std::unique_lock lock(mu_);
  idle_.wait(lock, [&] {
    return running_ == 0 && std::all_of(queues_.begin(), queues_.end(),
                                        [](const Queue& q) { return q.jobs.empty(); });
  });
}

void FramePrefetcher::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    // The next queue with work, in turn, so one cell's long list cannot
    // starve another cell's next frame.
    Job job;
    bool found = false;
    for (size_t k = 0; k < queues_.size() && !found; ++k) {
      Queue& q = queues_[(next_ + k) % queues_.size()];
      if (q.jobs.empty()) continue;
      job = std::move(q.jobs.front());
      q.jobs.pop_front();
      next_ = (next_ + k + 1) % queues_.size();
      found = true;
    }
    if (!found) {
      // Empty queues go, so owners that are long gone leave nothing behind.
      std::erase_if(queues_, [](const Queue& q) { return q.jobs.empty(); });
      next_ = 0;
      if (running_ == 0) idle_.notify_all();
      if (stop_) return;
      wake_.wait(lock);
      if (stop_) return;
      continue;
    }
    ++running_;
    lock.unlock();
    try {
      RunJob(job);
    } catch (...) {
      // A frame that cannot be prefetched is decoded when it is shown.
    }
    job = Job{};
    lock.lock();
    --running_;
  }
}

void FramePrefetcher::RunJob(const Job& job) {
  FrameSourcePtr source = job.source;
  const std::string& path = source ? source->path : job.path;
  if (path.empty() || cache_.Contains(path, job.frame)) return;
  if (!source) source = ReadFrameSource(path);
  if (!source || job.frame < 1 || job.frame > source->frames) return;
  if (source->frameBytes > cache_.Budget() / 4) return;
  if (cache_.Acquire(*source, job.frame, nullptr, 1)) ++decoded_;
}
