// A storage SCP that modalities and archives send to: accepts every storage
// SOP class and Verification, in every transfer syntax the viewer decodes,
// on several associations at once. Each data set is written as it arrived
// (no transcoding) into a staging file inside the folder, checked by the
// bounded header reader (through TInstanceStore, as a retrieval is) and only
// then moved to DIR/<Study UID>/<Series UID>/<SOP Instance UID>.dcm. A file
// the reader refuses, a UID that is not a UID, or an instance larger than the
// limit is answered with a C-STORE failure status and one reason in the log;
// nothing of it stays in DIR and nothing is ever written outside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/InstanceStore.h"

struct TListenerConfig {
  std::string aeTitle;  // ours: associations calling another AE title are refused
  int port = 0;
  std::string dir;  // made when missing
  // Calling AE titles accepted; empty: any. Others are refused at association.
  std::vector<std::string> allowedCallingAes;
  uint64_t maxInstanceBytes = uint64_t(4) << 30;
  int maxAssociations = 8;  // at once; more are refused as busy
};

class TStorageListener {
 public:
  explicit TStorageListener(TListenerConfig config);
  // Stops (see Stop).
  ~TStorageListener();
  TStorageListener(const TStorageListener&) = delete;
  TStorageListener& operator=(const TStorageListener&) = delete;

  // Checks the configuration, makes the folder, opens the port and starts
  // serving on a thread of its own. False with a reason (an invalid AE title,
  // a port in use, a folder that cannot be written).
  bool Start(std::string& why);
  // Stops accepting, breaks off associations still open (an instance being
  // received is not stored) and returns once every thread has ended: within
  // about a second, whatever the peers do. Instances already stored stay.
  void Stop();
  bool Running() const;

  // Set before Start. Called after each instance is in place, on the thread
  // that received it (several may call at once).
  std::function<void(const TStoredInstance&, const std::string& callingAe)> onStored;
  // Set before Start. Each line of the listener's log (refusals, lost
  // connections), on the thread that wrote it.
  std::function<void(const std::string&)> onLog;

  // Associations open now.
  size_t ActiveAssociations() const;
  size_t ReceivedCount() const;  // instances stored since Start
  size_t RefusedCount() const;   // instances refused or broken off
  // The last refusals (instances and associations), oldest first, at most 20.
  std::vector<std::string> LastReasons() const;
  const TListenerConfig& Config() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> d_;
};
