// Output files that never destroy what they would replace.
//
// A regular target (or one that does not exist yet) is written to a fresh
// temporary file in the target's own folder and renamed over it only by
// Commit(), so a failed or interrupted write leaves the target exactly as it
// was: absent, or its old bytes. A symbolic link is followed, so the link
// stays and its target gets the new bytes. A target that is not a regular
// file (a device such as /dev/null, a FIFO, a socket) is written in place and
// never removed or replaced. "-" is standard output. A folder is refused.
//
// Every failure is one line in `why`, naming the path and the system's reason.
// The temporary file is registered with TempCleanup, so SIGINT, SIGTERM and
// SIGHUP remove it too.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class TSafeOutput {
 public:
  TSafeOutput() = default;
  // Abandons a write that was not committed.
  ~TSafeOutput();
  TSafeOutput(const TSafeOutput&) = delete;
  TSafeOutput& operator=(const TSafeOutput&) = delete;

  bool Open(const std::string& target, std::string& why);
  bool Write(const void* data, size_t size, std::string& why);
  bool Write(std::string_view bytes, std::string& why) {
    return Write(bytes.data(), bytes.size(), why);
  }
  // Puts the written bytes in place. After a failure the target is as it was.
  bool Commit(std::string& why);
  // Drops what was written: the temporary file goes, the target stays.
  void Abandon();

  bool IsOpen() const { return fd_ >= 0; }
  // True for standard output, devices and FIFOs: bytes reach the target at once.
  bool InPlace() const { return inPlace_; }
  // The path bytes finally go to (a link's target), for messages.
  const std::string& Target() const { return target_; }

 private:
  int fd_ = -1;
  bool inPlace_ = false;
  bool isStdout_ = false;
  bool replaces_ = false;  // an existing regular file is replaced
  std::string target_;
  std::string temp_;
  int slot_ = -1;  // TempCleanup's registration of temp_
};

// Writes bytes as one file through TSafeOutput.
bool WriteFileSafely(const std::string& target, const void* data, size_t size, std::string& why);
inline bool WriteFileSafely(const std::string& target, std::string_view bytes, std::string& why) {
  return WriteFileSafely(target, bytes.data(), bytes.size(), why);
}

// Checks that target can be written (the folder exists and is not a folder
// itself) before any expensive work, with the same reasons Open() gives.
bool CheckOutputPath(const std::string& target, std::string& why);
