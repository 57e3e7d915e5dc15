// The cancel of one load: whoever started the load holds the token and may
// cancel it from any thread; the load's steps read it and end early. Passed in
// with the load's hooks, so no step reads a global flag.
#pragma once

#include <atomic>

namespace study {

class TCancelToken {
 public:
  void Cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  // For the next load: only the holder resets it, before starting one.
  void Reset() { cancelled_.store(false, std::memory_order_relaxed); }
  bool Cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> cancelled_{false};
};

// A missing token is never cancelled.
inline bool IsCancelled(const TCancelToken* token) {
  return token && token->Cancelled();
}

}  // namespace study
