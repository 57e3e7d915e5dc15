// A parallel-for over an index range on threads of its own (the volume layer
// uses no Qt): returns when every index is done.
#pragma once

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

// Calls body(i) for every i in [0, n) on up to `threads` threads (0: the
// machine's cores). Indices are handed out one at a time, so slow ones
// (a large compressed frame) do not hold up a whole share.
template <typename Body>
void ParallelFor(size_t n, Body&& body, int threads = 0) {
  if (n == 0) return;
  int t = threads > 0 ? threads : int(std::max(1u, std::thread::hardware_concurrency()));
  t = int(std::min<size_t>(size_t(t), n));
  std::atomic<size_t> next{0};
  const auto run = [&] {
    for (size_t i; (i = next++) < n;) body(i);
  };
  std::vector<std::thread> pool;
  pool.reserve(size_t(t - 1));
  for (int k = 1; k < t; ++k) pool.emplace_back(run);
  run();
  for (std::thread& th : pool) th.join();
}
