// Where retrieved instances land: DIR/<Study UID>/<Series UID>/<SOP Instance
// UID>.dcm. Every instance is first written under a hidden staging folder of
// DIR and moved into place only after the bounded header reader has accepted
// it and its UIDs are checked to be UIDs of what was asked for; so DIR never
// holds a half-written file, and a name from the network never becomes a path
// unchecked. Safe to use from several threads (a C-MOVE storage SCP writes
// from its own).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct TStoredInstance {
  std::string path;
  std::string studyUid;
  std::string seriesUid;
  std::string sopUid;
};

class TInstanceStore {
 public:
  struct Expect {
    std::string studyUid;   // required unless anyStudy
    std::string seriesUid;  // empty: any series of the study
    // Instances per series as the server announced them; empty when unknown.
    std::map<std::string, int> perSeries;
    // Whatever study arrives (a storage SCP that modalities send to); the
    // UIDs are still checked to be UIDs.
    bool anyStudy = false;
  };

  // makeDir: DIR is made when missing; else it must exist (see TRetrieveRequest).
  TInstanceStore(std::string dir, Expect expect, bool makeDir = true);
  // Removes the staging folder and whatever is still in it.
  ~TInstanceStore();
  TInstanceStore(const TInstanceStore&) = delete;
  TInstanceStore& operator=(const TInstanceStore&) = delete;

  // Creates DIR (and its staging folder). False with a reason when it cannot.
  bool Open(std::string& why);

  // What the server says it will send, when that comes in while the images
  // already arrive: what was stored before is checked against it. False
  // with a reason when the server sent more than it now announces.
  bool Announce(const std::map<std::string, int>& perSeries, std::string& why);

  // A fresh staging path for one instance (the file is not created).
  std::string NewStagingPath();
  // Checks a staged file and moves it into place. A refused file is removed,
  // with the reason in why. A second copy of an instance already stored
  // replaces the first but counts against what was announced.
  bool Commit(const std::string& stagedPath, std::string& why, TStoredInstance* stored = nullptr);
  void Discard(const std::string& stagedPath);

  // One instance streamed in as bytes (WADO-RS parts).
  bool BeginStream(uint64_t announcedBytes, std::string& why);
  bool WriteStream(const char* data, size_t size, std::string& why);
  bool EndStream(std::string& why, TStoredInstance* stored = nullptr);
  void AbortStream();

  std::vector<TStoredInstance> Stored() const;
  size_t StoredCount() const;
  // Announced instances that have not arrived (0 when nothing was announced).
  size_t MissingCount() const;
  // Distinct instances stored per series.
  std::map<std::string, int> StoredPerSeries() const;
  const Expect& Expected() const { return expect_; }
  const std::string& Dir() const { return dir_; }

  // Called after each instance is in place, on the thread that stored it.
  std::function<void(const TStoredInstance&)> onStored;

  // Largest instance accepted; a part or C-STORE announcing more is refused.
  uint64_t maxInstanceBytes = uint64_t(4) << 30;
  // Who reasons name as the sender ("the server sent ...").
  std::string sender = "the server";

 private:
  std::string dir_;
  Expect expect_;
  bool makeDir_ = true;
  std::string staging_;
  int stagingSlot_ = -1;
  mutable std::mutex mutex_;
  std::set<std::string> storedUids_;
  std::vector<TStoredInstance> stored_;
  std::map<std::string, int> received_;  // accepted files per series, repeats included
  std::map<std::string, int> distinct_;  // distinct instances per series
  unsigned counter_ = 0;
  std::string lastFolder_;  // the series folder last created
  // The stream being written.
  std::FILE* stream_ = nullptr;
  std::string streamPath_;
  uint64_t streamBytes_ = 0;
};
