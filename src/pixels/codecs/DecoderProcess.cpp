#include "pixels/codecs/DecoderProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

extern char** environ;

namespace codecs {
namespace {

constexpr int kBlockFd = 3;
constexpr int kJobFd = 4;
// Our descriptors sit above those the child is given, so a dup2 onto them
// never meets itself (which would keep close-on-exec set).
constexpr int kFirstOwnFd = 10;

int Above(int fd) {
  if (fd < 0 || fd >= kFirstOwnFd) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kFirstOwnFd);
  close(fd);
  return moved;
}

bool ReadAll(int fd, void* data, size_t n) {
  auto* p = static_cast<uint8_t*>(data);
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

void Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// One per thread: the shared block outlives the processes that use it.
class TSlot {
 public:
  ~TSlot() {
    Stop();
    Unmap();
    if (block_ >= 0) close(block_);
  }

  uint8_t* Buffer(size_t bytes) {
    if (bytes == 0) return nullptr;
    if (block_ < 0) {
      block_ = Above(memfd_create("tavrolen-decoder-block", MFD_CLOEXEC));
      if (block_ < 0) return nullptr;
    }
    // Grows as frames need; a block far larger than the job is given back.
    const bool shrink = size_ > (size_t{64} << 20) && bytes < size_ / 4;
    if (bytes <= size_ && !shrink) return base_;
    const size_t size = (bytes + 0xFFFF) & ~size_t{0xFFFF};
    Unmap();
    if (ftruncate(block_, off_t(size)) != 0) return nullptr;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, block_, 0);
    if (p == MAP_FAILED) return nullptr;
    base_ = static_cast<uint8_t*>(p);
    size_ = size;
    return base_;
  }

  JobEnd Run(const std::string& program, size_t bytes, int timeoutMs) {
    if (!base_ || bytes > size_) return JobEnd::kNotStarted;
    if (pid_ > 0 && program != program_) Stop();
    if (pid_ <= 0 && !Start(program)) return JobEnd::kNotStarted;
    // The whole block is mapped, so the process maps again only as it grows.
    const uint64_t request = size_;
    // MSG_NOSIGNAL: a process that died since its last job must not take the
    // caller with it through SIGPIPE.
    if (send(socket_, &request, sizeof request, MSG_NOSIGNAL) != ssize_t(sizeof request)) {
      Stop();
      return JobEnd::kCrashed;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        kill(pid_, SIGKILL);
        Stop();
        return JobEnd::kTimedOut;
      }
      pollfd p{socket_, POLLIN, 0};
      const int r = poll(&p, 1, int(std::min<int64_t>(left, 1000)));
      if (r < 0 && errno != EINTR) break;
      if (r <= 0) continue;
      char done = 0;
      ssize_t n;
      while ((n = recv(socket_, &done, 1, 0)) < 0 && errno == EINTR) {
      }
      if (n == 1) return JobEnd::kDone;
      break;  // the end of the stream: the process is gone
    }
    Stop();
    return JobEnd::kCrashed;
  }

  pid_t Pid() const { return pid_ > 0 ? pid_ : 0; }
  int Starts() const { return starts_; }

 private:
  bool Start(const std::string& program) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
    const int mine = Above(ends[0]), theirs = Above(ends[1]);
    if (mine < 0 || theirs < 0) {
      if (mine >= 0) close(mine);
      if (theirs >= 0) close(theirs);
      return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, block_, kBlockFd);
    posix_spawn_file_actions_adddup2(&actions, theirs, kJobFd);
    // Nothing else the parent holds open goes with it.
    posix_spawn_file_actions_addclosefrom_np(&actions, kJobFd + 1);
    const std::string parent = std::to_string(getpid());
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(parent.c_str()), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(theirs);
    if (rc != 0) {
      close(mine);
      return false;
    }
    pid_ = pid;
    socket_ = mine;
    program_ = program;
    ++starts_;
    return true;
  }

  // Tells the process to stop (end of its input) and reaps it; one that does
  // not leave at once is killed.
  void Stop() {
    if (socket_ >= 0) {
      shutdown(socket_, SHUT_WR);
    }
    if (pid_ > 0) {
      int status = 0;
      pid_t r = 0;
      for (int i = 0; i < 50; ++i) {
        r = waitpid(pid_, &status, WNOHANG);
        if (r != 0) break;
        usleep(2000);
      }
      if (r == 0) {
        kill(pid_, SIGKILL);
        Reap(pid_);
      }
    }
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
    pid_ = -1;
  }

  void Unmap() {
    if (base_) munmap(base_, size_);
    base_ = nullptr;
    size_ = 0;
  }

  int block_ = -1;
  uint8_t* base_ = nullptr;
  size_t size_ = 0;
  int socket_ = -1;
  pid_t pid_ = -1;
  std::string program_;
  int starts_ = 0;
};

thread_local TSlot tSlot;

}  // namespace

uint8_t* JobBuffer(size_t bytes) {
  return tSlot.Buffer(bytes);
}

JobEnd RunJob(const std::string& program, size_t bytes, int timeoutMs) {
  return tSlot.Run(program, bytes, timeoutMs);
}

pid_t JobProcessId() {
  return tSlot.Pid();
}

int JobProcessStarts() {
  return tSlot.Starts();
}

int ServeJobs(int argc, char** argv, void (*job)(uint8_t* block, size_t bytes)) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (argc < 2 || getppid() != pid_t(std::atol(argv[1]))) return 2;
  signal(SIGPIPE, SIG_IGN);
  uint8_t* base = nullptr;
  size_t mapped = 0;
  for (;;) {
    uint64_t bytes = 0;
    if (!ReadAll(kJobFd, &bytes, sizeof bytes)) return 0;
    if (bytes != mapped) {
      if (base) munmap(base, mapped);
      base = nullptr;
      mapped = 0;
      void* p = mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_SHARED, kBlockFd, 0);
      if (bytes == 0 || p == MAP_FAILED) return 1;
      base = static_cast<uint8_t*>(p);
      mapped = size_t(bytes);
    }
    job(base, mapped);
    const char done = 1;
    if (write(kJobFd, &done, 1) != 1) return 0;
  }
}

}  // namespace codecs
