// What sending instances to an archive reports: one outcome per instance,
// in the order they were listed, and the files that were not instances.
// Standard library only, so the command line, the viewer and the tests read
// the same record.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

struct TSendOutcome {
  std::string file;
  std::string sopInstanceUid;
  std::string sopClassUid;
  std::string transferSyntax;  // as stored in the file
  bool sent = false;           // the server answered for it
  bool accepted = false;
  // Why it was refused or not sent, in words (a status code with its
  // meaning, or the server's failure reason); for an accepted instance a
  // warning the server gave, or empty.
  std::string reason;
};

// A file that is not sent: not DICOM, unreadable, or the same instance as
// another file of the list.
struct TSendSkip {
  std::string file;
  std::string reason;
};

struct TSendResult {
  std::vector<TSendOutcome> instances;
  std::vector<TSendSkip> skipped;
  // A failure of the whole session (no connection, lost connection,
  // cancelled); the instances it stopped carry it as their reason too.
  std::string why;
  int Accepted() const;
  int Refused() const;  // refused or not sent
  bool AllAccepted() const { return Refused() == 0 && !instances.empty(); }
};

struct TSendHooks {
  // After each instance: (answered so far, instances to send, its outcome).
  // Runs on the sending thread.
  std::function<void(int done, int total, const TSendOutcome&)> progress;
  // Set from any thread to stop; what is left is reported not sent. The
  // client's own Cancel() does the same.
  const std::atomic<bool>* cancel = nullptr;
};

// The words for a C-STORE response status (e.g. "0xA700: the server is out
// of resources") and for a STOW-RS Failure Reason (0008,1197).
std::string StoreStatusText(unsigned status);
// Whether a C-STORE status means stored (success or warning).
bool StoreStatusStored(unsigned status);
