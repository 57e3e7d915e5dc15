// One interface to an archive, whatever it speaks: DIMSE (C-ECHO, C-FIND,
// C-GET, C-MOVE through DCMTK) or DICOMweb (QIDO-RS, WADO-RS through Qt
// Network). Every call blocks its thread until the answer is complete,
// failed or cancelled, so the command line runs them directly and the viewer
// on a worker thread. A failure comes back as one sentence a user
// understands, naming the server; passwords never appear in it.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/InstanceStore.h"
#include "net/PacsServer.h"
#include "net/QueryKeys.h"
#include "net/SendTypes.h"

struct TSendItem;

// What a server says a study (or series) holds before it is retrieved.
struct TAnnouncement {
  std::map<std::string, int> perSeries;       // series UID -> instances
  std::vector<std::string> sopClasses;        // storage classes in the study; may be empty
  std::map<std::string, std::string> labels;  // series UID -> "CT 2 Chest" for progress lists
  int Total() const;
};

// Fills announcement from series-level matches (only seriesUid's when given);
// returns the series whose rows carry no usable instance count.
std::vector<std::string> CountSeries(const std::vector<TQueryRow>& rows,
                                     const std::string& seriesUid, TAnnouncement& announcement);

class TPacsClient {
 public:
  explicit TPacsClient(TPacsServer server) : server_(std::move(server)) {}
  virtual ~TPacsClient() = default;

  const TPacsServer& Server() const { return server_; }

  // Checks that the server answers (C-ECHO, or a QIDO-RS request).
  virtual bool Echo(std::string& why) = 0;
  // The matches of keys at level, with the level's return keys.
  virtual bool Find(TQueryLevel level, const std::vector<TQueryKey>& keys,
                    std::vector<TQueryRow>& rows, std::string& why) = 0;
  // How many instances each series of a study (or the one series) holds,
  // from series-level matches: queries an archive answers from its index.
  virtual bool Announce(const std::string& studyUid, const std::string& seriesUid,
                        TAnnouncement& out, std::string& why);
  // Retrieves what store expects into it. True when the server reported the
  // whole transfer as done; what arrived stays in the store either way.
  // The announcement lets DIMSE offer the SOP classes the study holds.
  virtual bool Retrieve(TInstanceStore& store, const TAnnouncement& announced,
                        std::string& why) = 0;
  // Announce, then Retrieve into store (whose expectation is filled in from
  // the announcement); announced is called once the announcement is in. A
  // client may ask for both at once (DICOMweb does: the images need not wait
  // for the count).
  virtual bool AnnounceAndRetrieve(TInstanceStore& store, TAnnouncement& announcement,
                                   const std::function<void(const TAnnouncement&)>& announced,
                                   std::string& why);

  // Sends the instances of files to the server over one association (DIMSE)
  // or in batches of requests (DICOMweb), each as it is stored; progress
  // after each instance. True only when every instance was accepted;
  // result holds each one's outcome (and the files that were not sent).
  virtual bool Send(const std::vector<std::string>& files, const TSendHooks& hooks,
                    TSendResult& result);

  // Any thread: ends the running call as soon as possible (it then fails
  // with "cancelled"). Later calls run again.
  virtual void Cancel() { cancel_ = true; }
  void ResetCancel() { cancel_ = false; }
  bool Cancelled() const { return cancel_; }

 protected:
  // The sending itself, for instances already read and made unique. Marks
  // every item's outcome in result.instances (same order).
  virtual void SendItems(const std::vector<TSendItem>& items, const TSendHooks& hooks,
                         TSendResult& result);
  bool SendCancelled(const TSendHooks& hooks) const {
    return cancel_ || (hooks.cancel && *hooks.cancel);
  }

  TPacsServer server_;
  std::atomic<bool> cancel_{false};
};

inline constexpr const char* kCancelledText = "cancelled";

// A client for the server's kind.
std::unique_ptr<TPacsClient> MakePacsClient(const TPacsServer& server);

// The transfer syntaxes offered for images: every one the decoders' table
// handles, compressed first, uncompressed (explicit little endian first) last.
const std::vector<std::string>& DecodableTransferSyntaxes();
