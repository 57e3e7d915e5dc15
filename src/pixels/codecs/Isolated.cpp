#include "pixels/codecs/Isolated.h"

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
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) return ChildEnd::kNotStarted;
  if (pid == 0) {
    // The child goes with its parent, so a parent killed mid-decode leaves
    // no decoder spinning on.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    body(context);
    _exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // Short naps at first: most frames take a few milliseconds.
  useconds_t nap = 20;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ChildEnd::kExited
                                                             : ChildEnd::kCrashed;
    }
    if (r < 0 && errno != EINTR) return ChildEnd::kCrashed;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return ChildEnd::kTimedOut;
    }
    usleep(nap);
    nap = std::min<useconds_t>(nap * 2, 500);
  }
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
