// A decode run in a child process, for a library that cannot be trusted with
// crafted input (OpenJPH 0.9 overruns its heap on some packet headers): what
// goes wrong in the child stays there. The child is forked from the calling
// thread, runs `body`, and leaves with _exit(0); results come back through
// memory shared with it (SharedBlock). A child that crashes, or runs past
// `timeoutMs` (it is then killed), is reported as such.
#pragma once

#include <cstddef>
#include <cstdint>

namespace codecs {

enum class ChildEnd { kExited, kCrashed, kTimedOut, kNotStarted };

ChildEnd RunInChild(void (*body)(void*), void* context, int timeoutMs);

template <class F>
ChildEnd RunInChild(F& body, int timeoutMs) {
  return RunInChild([](void* f) { (*static_cast<F*>(f))(); }, &body, timeoutMs);
}

// Zeroed memory a child writes and its parent reads; null when it cannot be had.
class SharedBlock {
 public:
  explicit SharedBlock(size_t bytes);
  ~SharedBlock();
  SharedBlock(const SharedBlock&) = delete;
  SharedBlock& operator=(const SharedBlock&) = delete;
  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace codecs
