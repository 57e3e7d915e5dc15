#include "net/StorageListener.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/oflog/oflog.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <deque>
#include <list>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "net/PacsClient.h"
#include "net/PacsServer.h"

namespace {

constexpr size_t kMaxReasons = 20;
// Every storage SOP class lies under this root, those newer than DCMTK too.
constexpr const char* kStorageRoot = "1.2.840.10008.5.1.4.1.1.";

// A text from the peer (AE title, UID) as logs may show it: blanks trimmed,
// anything but printable ASCII replaced.
std::string Trimmed(const OFString& s) {
  std::string t(s.c_str());
  for (char& c : t)
    if (c < 0x20 || c > 0x7e) c = '?';
  while (!t.empty() && t.back() == ' ') t.pop_back();
  while (!t.empty() && t.front() == ' ') t.erase(0, 1);
  return t;
}

// Every connection's socket, so Stop can break off an association blocked
// in a read (a peer that keeps it open and sends nothing) at once.
struct TSockets {
  std::mutex mutex;
  std::set<int> open;
  bool stopping = false;

  void Add(int fd) {
    std::lock_guard lock(mutex);
    if (stopping) ::shutdown(fd, SHUT_RDWR);
    open.insert(fd);
  }
  void Remove(int fd) {
    std::lock_guard lock(mutex);
    open.erase(fd);
  }
  void ShutdownAll() {
    std::lock_guard lock(mutex);
    stopping = true;
    for (int fd : open) ::shutdown(fd, SHUT_RDWR);
  }
};

class TListenConnection : public DcmTCPConnection {
 public:
  TListenConnection(DcmNativeSocketType socket, TSockets& sockets)
      : DcmTCPConnection(socket), sockets_(sockets), fd_(int(socket)) {
    sockets_.Add(fd_);
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~TListenConnection() override { Forget(); }
  ssize_t read(void* buf, size_t nbyte) override {
    // Senders that keep Nagle's algorithm on write a PDU's header and body
    // apart; the body then waits for our delayed ACK (40 ms) on every image.
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    return DcmTCPConnection::read(buf, nbyte);
  }
  void close() override {
    Forget();
    DcmTCPConnection::close();
  }

 private:
  void Forget() {
    if (fd_ >= 0) sockets_.Remove(fd_);
    fd_ = -1;
  }
  TSockets& sockets_;
  int fd_;
};

// Plain TCP; installed as the network's transport layer only to see the sockets.
class TListenLayer : public DcmTransportLayer {
 public:
  TSockets sockets;
  DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool) override {
    return new TListenConnection(socket, sockets);
  }
};

void QuietDcmnet() {
  static std::once_flag once;
  std::call_once(once, [] {
    // Each refusal is logged once, in our words; dcmnet would print its own.
    OFLog::getLogger("dcmtk.dcmnet")
        .setLogLevel(std::getenv("TAVROLEN_DCMTK_DEBUG") ? OFLogger::DEBUG_LOG_LEVEL
                                                         : OFLogger::FATAL_LOG_LEVEL);
  });
}

}  // namespace

struct TStorageListener::Impl {
  TListenerConfig config;
  TStorageListener* owner = nullptr;
  std::unique_ptr<TInstanceStore> store;
  TListenLayer layer;
  // Copied for each association, which adds the classes proposed.
  DcmSCPConfig scpConfig;
  OFList<OFString> syntaxes;
  std::set<std::string> knownClasses;
  T_ASC_Network* net = nullptr;
  std::thread acceptor;
  std::atomic<bool> stop{false};
  std::atomic<bool> running{false};

  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  mutable std::mutex workersMutex;
  std::list<Worker> workers;

  mutable std::mutex countsMutex;
  size_t received = 0;
  size_t refused = 0;
  std::deque<std::string> reasons;

  void Log(const std::string& line, bool instanceRefused) {
    {
      std::lock_guard lock(countsMutex);
      if (instanceRefused) ++refused;
      reasons.push_back(line);
      while (reasons.size() > kMaxReasons) reasons.pop_front();
    }
    if (owner->onLog) owner->onLog(line);
  }
  void Stored(const TStoredInstance& inst, const std::string& callingAe) {
    {
      std::lock_guard lock(countsMutex);
      ++received;
    }
    if (owner->onStored) owner->onStored(inst, callingAe);
  }

  void Accept();
  void Serve(T_ASC_Association* assoc, Worker* self);
  void ReapWorkers(bool all);
};

namespace {

// One association, on a thread of its own.
class TStoreWorker : public DcmThreadSCP {
 public:
  explicit TStoreWorker(TStorageListener::Impl& d) : d_(d) {}

 protected:
  void notifyAssociationRequest(const T_ASC_Parameters& params, DcmSCPActionType&) override {
    // DCMTK keeps at most 128 presentation contexts in an SCP's list, fewer
    // than there are storage classes; so each association's own copy of the
    // configuration gets the classes its peer proposes (at most 128, as
    // context IDs allow): Verification and the storage classes, those newer
    // than DCMTK's table included.
    auto* p = const_cast<T_ASC_Parameters*>(&params);
    const int n = ASC_countPresentationContexts(p);
    std::set<std::string> added;
    for (int i = 0; i < n; ++i) {
      T_ASC_PresentationContext pc;
      if (ASC_getPresentationContext(p, i, &pc).bad()) continue;
      const std::string uid = pc.abstractSyntax;
      const bool wanted = uid == UID_VerificationSOPClass || d_.knownClasses.count(uid) ||
                          (uid.rfind(kStorageRoot, 0) == 0 && IsValidUid(uid));
      if (wanted && added.insert(uid).second)
        getConfig().addPresentationContext(uid.c_str(), d_.syntaxes);
    }
  }

  OFBool checkCalledAETitleAccepted(const OFString& calledAE) override {
    if (Trimmed(calledAE) == d_.config.aeTitle) return OFTrue;
    d_.Log("Refused an association calling the AE title \"" + Trimmed(calledAE) +
               "\": this listener answers to \"" + d_.config.aeTitle + "\".",
           false);
    return OFFalse;
  }
  OFBool checkCallingAETitleAccepted(const OFString& callingAE) override {
    calling_ = Trimmed(callingAE);
    const auto& allowed = d_.config.allowedCallingAes;
    if (allowed.empty() || std::find(allowed.begin(), allowed.end(), calling_) != allowed.end())
      return OFTrue;
    d_.Log("Refused an association from \"" + calling_ +
               "\": not on the list of calling AE titles allowed to send.",
           false);
    return OFFalse;
  }

  OFCondition handleIncomingCommand(T_DIMSE_Message* msg,
                                    const DcmPresentationContextInfo& info) override {
    if (msg->CommandField != DIMSE_C_STORE_RQ) return DcmSCP::handleIncomingCommand(msg, info);
    T_DIMSE_C_StoreRQ& req = msg->msg.CStoreRQ;
    TInstanceStore& store = *d_.store;
    staged_ = store.NewStagingPath();
    oversize_ = false;
    const OFCondition c =
        receiveSTORERequest(req, info.presentationContextID, OFString(staged_.c_str()));
    const std::string staged = std::move(staged_);
    staged_.clear();
    if (c.bad()) {
      store.Discard(staged);
      d_.Log("The connection from \"" + calling_ + "\" broke off while an instance came in" +
                 (d_.stop ? std::string(" (the listener was stopped).")
                          : ": " + std::string(c.text()) + "."),
             true);
      return c;
    }
    Uint16 status = STATUS_Success;
    std::string why;
    TStoredInstance inst;
    if (d_.stop) {
      store.Discard(staged);
      status = STATUS_STORE_Refused_OutOfResources;
      why = "the listener was stopped";
    } else if (oversize_) {
      store.Discard(staged);
      status = STATUS_STORE_Refused_OutOfResources;
      why = "the instance is larger than the " + std::to_string(store.maxInstanceBytes) +
            " bytes accepted";
    } else if (!store.Commit(staged, why, &inst)) {
      status = why.find("larger than") != std::string::npos ? STATUS_STORE_Refused_OutOfResources
                                                            : STATUS_STORE_Error_CannotUnderstand;
    }
    if (status == STATUS_Success)
      d_.Stored(inst, calling_);
    else
      d_.Log("Refused an instance from \"" + calling_ + "\" (" +
                 Trimmed(OFString(req.AffectedSOPInstanceUID)) + "): " + why + ".",
             true);
    return sendSTOREResponse(info.presentationContextID, req, status);
  }

  void notifyRECEIVEProgress(const unsigned long byteCount) override {
    // DIMSE carries no size: a data set over the limit is read to its end
    // (so the peer gets a status, not a broken connection) but emptied as it
    // grows, so the file stays sparse and the disk does not fill.
    if (byteCount > d_.store->maxInstanceBytes && !staged_.empty()) {
      oversize_ = true;
      [[maybe_unused]] const int ignored = ::truncate(staged_.c_str(), 0);
    }
  }

 private:
  TStorageListener::Impl& d_;
  std::string calling_;
  std::string staged_;
  bool oversize_ = false;
};

}  // namespace

void TStorageListener::Impl::Serve(T_ASC_Association* assoc, Worker* self) {
  {
    TStoreWorker scp(*this);
    scp.setSharedConfig(DcmSharedSCPConfig(scpConfig));
    scp.run(assoc);  // negotiates, serves and drops the association
  }
  self->done = true;
}

void TStorageListener::Impl::ReapWorkers(bool all) {
  std::list<Worker> finished;
  {
    std::lock_guard lock(workersMutex);
    for (auto it = workers.begin(); it != workers.end();) {
      auto next = std::next(it);
      if (all || it->done) finished.splice(finished.end(), workers, it);
      it = next;
    }
  }
  for (Worker& w : finished)
    if (w.thread.joinable()) w.thread.join();
}

void TStorageListener::Impl::Accept() {
  while (!stop) {
    T_ASC_Association* assoc = nullptr;
    // A second's wait at most, so Stop is seen that soon.
    const OFCondition c = ASC_receiveAssociation(net, &assoc, ASC_MAXIMUMPDUSIZE, nullptr, nullptr,
                                                 OFTrue, DUL_NOBLOCK, 1);
    ReapWorkers(false);
    if (c.bad()) {
      if (assoc && c != DUL_NOASSOCIATIONREQUEST) ASC_dropAssociation(assoc);
      ASC_destroyAssociation(&assoc);
      continue;
    }
    size_t active;
    {
      std::lock_guard lock(workersMutex);
      active = workers.size();
    }
    if (stop || active >= size_t(std::max(1, config.maxAssociations))) {
      if (!stop)
        Log("Refused an association: " + std::to_string(active) +
                " are open already, the most this listener serves at once.",
            false);
      T_ASC_RejectParameters rej;
      rej.result = ASC_RESULT_REJECTEDTRANSIENT;
      rej.source = ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED;
      rej.reason = ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED;
      ASC_rejectAssociation(assoc, &rej);
      ASC_dropAssociation(assoc);
      ASC_destroyAssociation(&assoc);
      continue;
    }
    std::lock_guard lock(workersMutex);
    Worker& w = workers.emplace_back();
    try {
      w.thread = std::thread([this, assoc, &w] { Serve(assoc, &w); });
    } catch (const std::system_error&) {
      workers.pop_back();
      ASC_dropAssociation(assoc);
      ASC_destroyAssociation(&assoc);
    }
  }
}

TStorageListener::TStorageListener(TListenerConfig config) : d_(std::make_unique<Impl>()) {
  d_->config = std::move(config);
  d_->owner = this;
}

TStorageListener::~TStorageListener() {
  Stop();
}

bool TStorageListener::Start(std::string& why) {
  if (d_->running) return true;
  TListenerConfig& cfg = d_->config;
  if (!IsValidAeTitle(cfg.aeTitle)) {
    why = "\"" + cfg.aeTitle + "\" is not a valid AE title (1 to 16 characters, no backslash).";
    return false;
  }
  for (const std::string& ae : cfg.allowedCallingAes)
    if (!IsValidAeTitle(ae)) {
      why = "\"" + ae + "\" is not a valid calling AE title.";
      return false;
    }
  if (cfg.port < 1 || cfg.port > 65535) {
    why = "the port must be between 1 and 65535.";
    return false;
  }
  if (cfg.dir.empty()) {
    why = "no folder to store the received instances in.";
    return false;
  }
  QuietDcmnet();

  TInstanceStore::Expect expect;
  expect.anyStudy = true;
  auto store = std::make_unique<TInstanceStore>(cfg.dir, expect, true);
  store->maxInstanceBytes = cfg.maxInstanceBytes;
  store->sender = "the sender";
  if (!store->Open(why)) return false;

  DcmSCPConfig scp;
  scp.setAETitle(cfg.aeTitle.c_str());
  scp.setRespondWithCalledAETitle(OFFalse);
  scp.setPort(Uint16(cfg.port));
  scp.setHostLookupEnabled(OFFalse);
  scp.setMaxReceivePDULength(ASC_MAXIMUMPDUSIZE);
  scp.setACSETimeout(10);
  // A sender that goes quiet for a minute in an association is dropped.
  scp.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
  scp.setDIMSETimeout(60);
  OFList<OFString>& syntaxes = d_->syntaxes;
  syntaxes.clear();
  std::vector<std::string> all = DecodableTransferSyntaxes();
  for (const char* plain :
       {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax,
        UID_BigEndianExplicitTransferSyntax})
    if (std::find(all.begin(), all.end(), plain) == all.end()) all.push_back(plain);
  for (const std::string& ts : all) syntaxes.push_back(ts.c_str());
  // Verification and the storage classes are added per association
  // (notifyAssociationRequest).
  d_->knownClasses.clear();
  for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs; ++i)
    d_->knownClasses.insert(dcmAllStorageSOPClassUIDs[i]);
  d_->scpConfig = scp;

  T_ASC_Network* net = nullptr;
  OFCondition c = ASC_initializeNetwork(NET_ACCEPTOR, cfg.port, 10, &net);
  if (c.good()) c = ASC_setTransportLayer(net, &d_->layer, 0);
  if (c.bad()) {
    if (net) ASC_dropNetwork(&net);
    why = "cannot listen on port " + std::to_string(cfg.port) + ": " + c.text() +
          " (is the port in use?).";
    return false;
  }
  d_->store = std::move(store);
  d_->net = net;
  d_->stop = false;
  {
    std::lock_guard lock(d_->layer.sockets.mutex);
    d_->layer.sockets.stopping = false;
  }
  {
    std::lock_guard lock(d_->countsMutex);
    d_->received = d_->refused = 0;
    d_->reasons.clear();
  }
  d_->running = true;
  d_->acceptor = std::thread([d = d_.get()] { d->Accept(); });
  return true;
}

void TStorageListener::Stop() {
  if (!d_->running) return;
  d_->stop = true;
  d_->layer.sockets.ShutdownAll();
  if (d_->acceptor.joinable()) d_->acceptor.join();
  // Associations that began after the sweep above were shut at once.
  d_->layer.sockets.ShutdownAll();
  d_->ReapWorkers(true);
  ASC_dropNetwork(&d_->net);
  d_->store.reset();  // removes the staging folder
  d_->running = false;
}

bool TStorageListener::Running() const {
  return d_->running;
}

size_t TStorageListener::ActiveAssociations() const {
  std::lock_guard lock(d_->workersMutex);
  size_t n = 0;
  for (const Impl::Worker& w : d_->workers) n += w.done ? 0 : 1;
  return n;
}

size_t TStorageListener::ReceivedCount() const {
  std::lock_guard lock(d_->countsMutex);
  return d_->received;
}

size_t TStorageListener::RefusedCount() const {
  std::lock_guard lock(d_->countsMutex);
  return d_->refused;
}

std::vector<std::string> TStorageListener::LastReasons() const {
  std::lock_guard lock(d_->countsMutex);
  return {d_->reasons.begin(), d_->reasons.end()};
}

const TListenerConfig& TStorageListener::Config() const {
  return d_->config;
}
