#include "dicom/SafeOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "dicom/TempCleanup.h"

namespace {

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string Base(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SystemReason(int err) {
  switch (err) {
    case ENOSPC:
      return "no space left on the device";
    case EDQUOT:
      return "disk quota exceeded";
    case EROFS:
      return "read-only file system";
    case EACCES:
    case EPERM:
      return "permission denied";
    default:
      return std::strerror(err);
  }
}

// Follows a chain of symbolic links to the path bytes should go to; a link
// that points nowhere yields the path it names, so the file is created there
// as a shell redirect would.
bool ResolveLinks(std::string path, std::string& resolved, std::string& why) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      resolved = path;
      return true;
    }
    std::string link(4096, '\0');
    const ssize_t n = readlink(path.c_str(), link.data(), link.size());
    if (n <= 0 || size_t(n) >= link.size()) {
      why = path + ": cannot read the link: " + SystemReason(errno);
      return false;
    }
    link.resize(size_t(n));
    path = link[0] == '/' ? link : Folder(path) + "/" + link;
  }
  why = path + ": too many levels of symbolic links";
  return false;
}

// The mode a new file gets (0666 less the umask), read without changing the
// process's umask, which other threads may be using.
mode_t NewFileMode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0)
      return mode_t(0666 & ~std::strtol(line.c_str() + 6, nullptr, 8));
  }
  return 0644;
}

// Examines target: a folder is refused, a missing folder too; sets how it is
// to be written.
struct Plan {
  std::string path;  // after links
  bool exists = false;
  bool regular = false;
  struct stat st {};
};

bool PlanOutput(const std::string& target, Plan& plan, std::string& why) {
  if (target.empty()) {
    why = "no output file given";
    return false;
  }
  if (!ResolveLinks(target, plan.path, why)) return false;
  if (stat(plan.path.c_str(), &plan.st) == 0) {
    plan.exists = true;
    if (S_ISDIR(plan.st.st_mode)) {
      why = target + ": is a folder, not a file";
      return false;
    }
    plan.regular = S_ISREG(plan.st.st_mode);
    // A file its owner made read-only is not replaced behind their back,
    // though the folder would allow the rename.
    if (plan.regular && access(plan.path.c_str(), W_OK) != 0) {
      why = target + ": " + SystemReason(errno);
      return false;
    }
    return true;
  }
  if (errno != ENOENT && errno != ENOTDIR) {
    why = target + ": " + SystemReason(errno);
    return false;
  }
  const std::string folder = Folder(plan.path);
  struct stat fs {};
  if (stat(folder.c_str(), &fs) != 0) {
    why = target + ": the folder " + folder + " does not exist";
    return false;
  }
  if (!S_ISDIR(fs.st_mode)) {
    why = target + ": " + folder + " is not a folder";
    return false;
  }
  return true;
}

bool WriteAll(int fd, const char* p, size_t size, int& err) {
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size < (size_t(1) << 30) ? size : (size_t(1) << 30));
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      return false;
    }
    if (n == 0) {
      err = ENOSPC;
      return false;
    }
    p += n;
    size -= size_t(n);
  }
  return true;
}

}  // namespace

bool CheckOutputPath(const std::string& target, std::string& why) {
  if (target == "-") return true;
  Plan plan;
  return PlanOutput(target, plan, why);
}

TSafeOutput::~TSafeOutput() {
  Abandon();
}

bool TSafeOutput::Open(const std::string& target, std::string& why) {
  Abandon();
  if (target == "-") {
    std::fflush(stdout);  // whatever was printed before comes first
    fd_ = STDOUT_FILENO;
    isStdout_ = inPlace_ = true;
    target_ = "standard output";
    return true;
  }
  Plan plan;
  if (!PlanOutput(target, plan, why)) return false;
  target_ = plan.path;
  if (plan.exists && !plan.regular) {
    // A device or FIFO: written in place, never replaced.
    fd_ = ::open(plan.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
      why = target + ": cannot be written: " + SystemReason(errno);
      return false;
    }
    inPlace_ = true;
    return true;
  }
  // The temporary file sits beside the target, so the rename stays on one
  // file system and is atomic; its name starts with a dot to stay out of
  // listings while it is written.
  // It is registered before it exists, so a signal never finds it made but
  // unlisted.
  tempcleanup::InstallHandlers();
  int err = EEXIST;
  for (int attempt = 0; attempt < 100 && fd_ < 0 && err == EEXIST; ++attempt) {
    temp_ = Folder(plan.path) + "/." + Base(plan.path) + ".tavrolen-" + tempcleanup::RandomSuffix();
    slot_ = tempcleanup::Register(temp_, false);
    fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      err = errno;
      tempcleanup::Unregister(slot_);
      slot_ = -1;
    }
  }
  if (fd_ < 0) {
    temp_.clear();
    why = target + ": cannot write in the folder " + Folder(plan.path) + ": " + SystemReason(err);
    return false;
  }
  replaces_ = plan.exists;
  // The new file keeps the old one's permissions and, where allowed, owner.
  if (replaces_) {
    fchmod(fd_, plan.st.st_mode & 07777);
    if (fchown(fd_, plan.st.st_uid, plan.st.st_gid) != 0) {
      // Not allowed for an ordinary user: the file becomes theirs.
    }
  } else {
    fchmod(fd_, NewFileMode());
  }
  return true;
}

bool TSafeOutput::Write(const void* data, size_t size, std::string& why) {
  if (fd_ < 0) {
    why = "nothing open to write to";
    return false;
  }
  int err = 0;
  if (!WriteAll(fd_, static_cast<const char*>(data), size, err)) {
    why = target_ + ": write failed: " + SystemReason(err);
    Abandon();
    return false;
  }
  return true;
}

bool TSafeOutput::Commit(std::string& why) {
  if (fd_ < 0) {
    why = "nothing open to write to";
    return false;
  }
  if (inPlace_) {
    bool ok = true;
    if (!isStdout_) ok = ::close(fd_) == 0;
    const int err = errno;
    fd_ = -1;
    if (!ok) why = target_ + ": write failed: " + SystemReason(err);
    return ok;
  }
  // An existing file is only replaced by bytes that are on the disk.
  if ((replaces_ && fsync(fd_) != 0) || ::close(fd_) != 0) {
    const int err = errno;
    fd_ = -1;
    why = target_ + ": write failed: " + SystemReason(err);
    Abandon();
    return false;
  }
  fd_ = -1;
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    why = target_ + ": cannot be replaced: " + SystemReason(errno);
    Abandon();
    return false;
  }
  tempcleanup::Unregister(slot_);
  slot_ = -1;
  temp_.clear();
  return true;
}

void TSafeOutput::Abandon() {
  if (fd_ >= 0 && !isStdout_) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  tempcleanup::Unregister(slot_);
  slot_ = -1;
  inPlace_ = isStdout_ = replaces_ = false;
}

bool WriteFileSafely(const std::string& target, const void* data, size_t size, std::string& why) {
  TSafeOutput out;
  return out.Open(target, why) && out.Write(data, size, why) && out.Commit(why);
}
