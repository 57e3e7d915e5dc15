#include "pixels/codecs/Isolated.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>

namespace codecs {

ChildEnd RunInChild(void (*body)(void*), void* context, int timeoutMs) {
  // The child holds the write end of a pipe: when it ends, however it ends,
  // the read end wakes the parent at once.
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return ChildEnd::kNotStarted;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    close(ends[0]);
    close(ends[1]);
    return ChildEnd::kNotStarted;
  }
  if (pid == 0) {
    close(ends[0]);
    // The child goes with its parent, so a parent killed mid-decode leaves
    // no decoder spinning on.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    body(context);
    _exit(0);
  }
  close(ends[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool ended = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{ends[0], POLLIN, 0};
    const int r = poll(&p, 1, int(std::min<int64_t>(left.count(), 1000)));
    if (r > 0) {
      // Only the end of the child (or of a sibling that inherited the end,
      // which ends as quickly) closes it: nothing is written.
      ended = true;
      break;
    }
    if (r < 0 && errno != EINTR) break;
  }
  close(ends[0]);
  int status = 0;
  if (!ended) {
    // Gone already, or past its time.
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ChildEnd::kExited : ChildEnd::kCrashed;
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return ChildEnd::kTimedOut;
  }
  pid_t r;
  while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
  }
  if (r != pid) return ChildEnd::kCrashed;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ChildEnd::kExited : ChildEnd::kCrashed;
}

SharedBlock::SharedBlock(size_t bytes) {
  if (bytes == 0) return;
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED) return;
  data_ = static_cast<uint8_t*>(p);
  size_ = bytes;
}

SharedBlock::~SharedBlock() {
  if (data_) munmap(data_, size_);
}

}  // namespace codecs
