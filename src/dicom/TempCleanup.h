// Temporary files and folders that go away whatever way the program ends.
//
// Paths registered here are removed by their owners as usual; on SIGINT,
// SIGTERM or SIGHUP the handler installed by InstallTempCleanup() removes
// every one still registered (folders with all they hold) using only
// async-signal-safe calls, then lets the signal end the process as it would
// have. A crash (SIGKILL, power loss) leaves them, so temporary folders carry
// the owning process id in their names (MakeTempFolderName) and the next run
// of the same user removes those whose process is gone
// (RemoveStaleTempFolders).
#pragma once

#include <atomic>
#include <string>

namespace tempcleanup {

// Registers a path for removal on a signal; returns a slot for Unregister, or
// -1 when the fixed table is full or the path too long (then the path is only
// removed by its owner).
int Register(const std::string& path, bool folder);
void Unregister(int slot);

// Installs the handler for SIGINT, SIGTERM and SIGHUP (once; later calls do
// nothing). A signal whose disposition is "ignore" (nohup) stays ignored.
void InstallHandlers();

// When set, the first signal only sets *flag (a command that cancels its
// work and cleans up itself); a second one removes and ends at once.
void SetGracefulFlag(std::atomic<bool>* flag);

// "<parent>/<prefix>-<pid>-XXXXXX", the form RemoveStaleTempFolders knows.
std::string MakeTempFolderName(const std::string& parent, const std::string& prefix);
// Six random letters and digits, for names such as mkstemp's XXXXXX.
std::string RandomSuffix();
// Creates such a folder (mode 0700), registered before it exists so that no
// signal can come between the two; empty on failure with the reason in why.
std::string CreateTempFolder(const std::string& parent, const std::string& prefix, int& slot,
                             std::string& why);
// Removes a folder made by CreateTempFolder and unregisters it.
void RemoveTempFolder(const std::string& path, int slot);

// Removes "<parent>/<prefix>-<pid>-*" folders and files owned by this user
// whose process no longer runs. Returns how many were removed.
int RemoveStaleTempFolders(const std::string& parent, const std::string& prefix);

// The folder for temporary data: $TMPDIR, else /tmp.
std::string TempRoot();

// Removes a tree with async-signal-safe calls only (no allocation, bounded
// depth). Also used outside handlers.
bool RemoveTreeNoAlloc(const char* path);

// A temporary folder owned by one object: created with the process id in its
// name, registered for removal on a signal, removed with the object.
class TTempFolder {
 public:
  TTempFolder() = default;
  ~TTempFolder() { Remove(); }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  bool Create(const std::string& parent, const std::string& prefix, std::string& why);
  void Remove();
  // Forgets the folder without removing it (it was moved into place).
  void Release();
  bool IsValid() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  int slot_ = -1;
};

}  // namespace tempcleanup
