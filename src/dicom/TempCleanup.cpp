#include "dicom/TempCleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace tempcleanup {
namespace {

// A fixed table, so the handler reads it without locks or allocation.
constexpr int kSlots = 64;
constexpr size_t kPathMax = 4096;
struct Slot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 registered
  bool folder = false;
  char path[kPathMax];
};
Slot gSlots[kSlots];

std::atomic<std::atomic<bool>*> gGraceful{nullptr};
std::atomic<bool> gGracefulUsed{false};
std::once_flag gInstallOnce;

// getdents64's record; glibc 2.36 has no wrapper.
struct Dirent64 {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

bool RemoveAt(int parentFd, const char* name, int depth);

void ClearFolder(int fd, int depth) {
  alignas(8) char buf[2048];
  // Removing entries while reading the folder may skip some: read it again
  // until a pass finds nothing (bounded, as an entry may refuse to go).
  for (int pass = 0; pass < 8; ++pass) {
    bool any = false;
    if (lseek(fd, 0, SEEK_SET) != 0) return;
    for (;;) {
      const long n = syscall(SYS_getdents64, fd, buf, sizeof buf);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        const auto* d = reinterpret_cast<const Dirent64*>(buf + at);
        if (d->reclen == 0) break;
        at += d->reclen;
        const char* entry = d->name;
        if (entry[0] == '.' && (entry[1] == 0 || (entry[1] == '.' && entry[2] == 0))) continue;
        any = true;
        RemoveAt(fd, entry, depth);
      }
    }
    if (!any) return;
  }
}

bool RemoveAt(int parentFd, const char* name, int depth) {
  if (unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) return true;
  // Linux says EISDIR for a folder, POSIX allows EPERM.
  if ((errno != EISDIR && errno != EPERM) || depth > 32) return false;
  // Never follows a link out of the tree: a link is an entry, unlinked above.
  const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  ClearFolder(fd, depth + 1);
  close(fd);
  return unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

void OnSignal(int sig) {
  const int saved = errno;
  std::atomic<bool>* flag = gGraceful.load();
  if (flag && !gGracefulUsed.exchange(true)) {
    flag->store(true);
    errno = saved;
    return;
  }
  // Twice over: other threads run on while this one removes, and one may
  // have made a file or folder again in a tree removed earlier in the pass.
  for (int pass = 0; pass < 2; ++pass) {
    for (Slot& s : gSlots) {
      if (s.state.load() != 2) continue;
      if (s.folder)
        RemoveTreeNoAlloc(s.path);
      else
        unlink(s.path);
    }
  }
  // Ends the process as the signal would have, so the parent sees the cause.
  signal(sig, SIG_DFL);
  raise(sig);
  errno = saved;
}

bool Alive(long pid) {
  if (pid <= 0) return true;  // not ours to judge
  if (pid == long(getpid())) return true;
  return kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

bool RemoveTreeNoAlloc(const char* path) {
  // Files may still be appearing (a worker thread writing): try a few times.
  for (int i = 0; i < 3; ++i)
    if (RemoveAt(AT_FDCWD, path, 0)) return true;
  return false;
}

int Register(const std::string& path, bool folder) {
  if (path.empty() || path.size() >= kPathMax) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (!gSlots[i].state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
    gSlots[i].folder = folder;
    gSlots[i].state.store(2);
    return i;
  }
  return -1;
}

void Unregister(int slot) {
  if (slot >= 0 && slot < kSlots) gSlots[slot].state.store(0);
}

void InstallHandlers() {
  std::call_once(gInstallOnce, [] {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
      struct sigaction before {};
      if (sigaction(sig, nullptr, &before) != 0) continue;
      if (before.sa_handler == SIG_IGN) continue;  // nohup: stays ignored
      struct sigaction act {};
      act.sa_handler = OnSignal;
      sigemptyset(&act.sa_mask);
      act.sa_flags = SA_RESTART;
      sigaction(sig, &act, nullptr);
    }
  });
}

void SetGracefulFlag(std::atomic<bool>* flag) {
  gGracefulUsed.store(false);
  gGraceful.store(flag);
}

std::string TempRoot() {
  const char* t = std::getenv("TMPDIR");
  std::string root = t && *t ? t : "/tmp";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string MakeTempFolderName(const std::string& parent, const std::string& prefix) {
  return parent + "/" + prefix + "-" + std::to_string(getpid()) + "-XXXXXX";
}

std::string RandomSuffix() {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<uint64_t> counter{0};
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits)
    bits = uint64_t(getpid()) * 0x9E3779B97F4A7C15ull;
  bits ^= counter.fetch_add(1) * 0xBF58476D1CE4E5B9ull;
  std::string s(6, 'x');
  for (char& c : s) {
    c = kLetters[bits % (sizeof kLetters - 1)];
    bits /= sizeof kLetters - 1;
  }
  return s;
}

std::string CreateTempFolder(const std::string& parent, const std::string& prefix, int& slot,
                             std::string& why) {
  slot = -1;
  InstallHandlers();
  std::string base = MakeTempFolderName(parent, prefix);
  base.resize(base.size() - 6);  // the XXXXXX
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = base + RandomSuffix();
    // Registered before it exists: a signal between the two finds it listed
    // (removing a name not made yet costs nothing).
    const int s = Register(name, true);
    if (::mkdir(name.c_str(), 0700) == 0) {
      slot = s;
      return name;
    }
    const int err = errno;
    Unregister(s);
    if (err != EEXIST) {
      why = "cannot create a temporary folder in " + parent + ": " + std::strerror(err);
      return {};
    }
  }
  why = "cannot create a temporary folder in " + parent + ": every name is taken";
  return {};
}

void RemoveTempFolder(const std::string& path, int slot) {
  if (!path.empty()) RemoveTreeNoAlloc(path.c_str());
  Unregister(slot);
}

bool TTempFolder::Create(const std::string& parent, const std::string& prefix, std::string& why) {
  Remove();
  path_ = CreateTempFolder(parent, prefix, slot_, why);
  return !path_.empty();
}

void TTempFolder::Remove() {
  if (!path_.empty()) RemoveTempFolder(path_, slot_);
  path_.clear();
  slot_ = -1;
}

void TTempFolder::Release() {
  Unregister(slot_);
  path_.clear();
  slot_ = -1;
}

int RemoveStaleTempFolders(const std::string& parent, const std::string& prefix) {
  DIR* dir = opendir(parent.c_str());
  if (!dir) return 0;
  const std::string lead = prefix + "-";
  int removed = 0;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.compare(0, lead.size(), lead) != 0) continue;
    // "<prefix>-<pid>-<anything>"
    size_t i = lead.size(), digits = 0;
    long pid = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9' && digits < 9) {
      pid = pid * 10 + (name[i] - '0');
      ++i, ++digits;
    }
    if (digits == 0 || i >= name.size() || name[i] != '-') continue;
    const std::string path = parent + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || st.st_uid != getuid()) continue;
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
    if (Alive(pid)) continue;
    if (RemoveTreeNoAlloc(path.c_str())) ++removed;
  }
  closedir(dir);
  return removed;
}

}  // namespace tempcleanup
