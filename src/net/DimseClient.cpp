#include "net/DimseClient.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcspchrs.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scp.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/oflog/oflog.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "dicom/DicomCharset.h"
#include "net/Send.h"

namespace {

// Matches beyond this many are refused: a server that never stops sending
// pending responses must not fill the memory.
constexpr size_t kMaxMatches = 200000;
constexpr Uint32 kMaxPdu = ASC_MAXIMUMPDUSIZE;

void QuietDcmtk() {
  static std::once_flag once;
  std::call_once(once, [] {
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    // Each failure is reported once, in words of our own, by the caller;
    // dcmnet would print its own version of it first.
    OFLog::getLogger("dcmtk.dcmnet")
        .setLogLevel(std::getenv("TAVROLEN_DCMTK_DEBUG") ? OFLogger::DEBUG_LOG_LEVEL
                                                         : OFLogger::FATAL_LOG_LEVEL);
  });
}

std::string Hex4(Uint16 v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v);
  return buf;
}

bool Contains(const OFCondition& cond, const char* text) {
  return std::string(cond.text()).find(text) != std::string::npos;
}

// What the tap below saw of a connection: its socket (so another thread can
// wake a blocked receive) and the first bytes the server sent (an association
// rejection says there why, and DcmSCU keeps its parameters to itself).
struct TTapState {
  std::mutex mutex;
  int fd = -1;
  unsigned char first[10] = {};
  size_t firstSize = 0;
};

class TTapConnection : public DcmTCPConnection {
 public:
  TTapConnection(DcmNativeSocketType socket, std::shared_ptr<TTapState> state)
      : DcmTCPConnection(socket), state_(std::move(state)), socket_(int(socket)) {
    const int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~TTapConnection() override { Forget(); }
  ssize_t read(void* buf, size_t nbyte) override {
    // DCMTK peers (Orthanc among them) keep Nagle's algorithm on and write a
    // PDU header and its body separately: the body then waits for our ACK,
    // which the kernel delays by 40 ms, for every image. Acknowledging at
    // once makes a C-GET of a CT series many times faster.
    const int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    const ssize_t n = DcmTCPConnection::read(buf, nbyte);
    if (n > 0) {
      std::lock_guard lock(state_->mutex);
      const size_t take = std::min(size_t(n), sizeof state_->first - state_->firstSize);
      std::memcpy(state_->first + state_->firstSize, buf, take);
      state_->firstSize += take;
    }
    return n;
  }
  void close() override {
    Forget();
    DcmTCPConnection::close();
  }

 private:
  void Forget() {
    std::lock_guard lock(state_->mutex);
    state_->fd = -1;
  }
  std::shared_ptr<TTapState> state_;
  int socket_;
};

// A plain TCP transport that hands out tap connections. DcmSCU installs it
// as its "secure" layer; it adds no security, only the tap.
class TTapLayer : public DcmTransportLayer {
 public:
  std::shared_ptr<TTapState> state = std::make_shared<TTapState>();
  DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool) override {
    {
      std::lock_guard lock(state->mutex);
      state->fd = int(socket);
      state->firstSize = 0;
    }
    return new TTapConnection(socket, state);
  }
};

// One sentence for a failed network step, naming the server.
std::string Describe(const OFCondition& cond, const TTapState* tap, const TPacsServer& s,
                     bool transferring) {
  const std::string where = s.host + ":" + std::to_string(s.port);
  if (cond == DUL_ASSOCIATIONREJECTED) {
    // A-ASSOCIATE-RJ: type 3, reserved, length (4), reserved, result, source, reason.
    const int reason = tap && tap->firstSize >= 10 && tap->first[0] == 0x03 ? tap->first[9] : -1;
    const int source = tap && tap->firstSize >= 10 ? tap->first[8] : -1;
    if (source == 1 && reason == 7)
      return "The server at " + where +
             " refused the connection: it does not answer to the AE title \"" + s.calledAe +
             "\" (check the called AE title).";
    if (source == 1 && reason == 3)
      return "The server at " + where +
             " refused the connection: it does not know our AE title \"" + s.callingAe +
             "\" (ask for it to be added to the archive's list of modalities).";
    return "The server at " + where + " refused the connection.";
  }
  if (cond == NET_EC_NoAcceptablePresentationContexts)
    return "The server at " + where + " does not offer the service asked for.";
  if (Contains(cond, "Connection refused"))
    return "Cannot connect to " + where +
           ": the connection was refused (is the server running, and is the port right?).";
  if (Contains(cond, "No route") || Contains(cond, "unreachable"))
    return "Cannot reach " + where + ": no route to the host.";
  if (Contains(cond, "Name or service not known") || Contains(cond, "Unknown host") ||
      Contains(cond, "lookup"))
    return "Cannot find the host \"" + s.host + "\".";
  if (cond == DIMSE_NODATAAVAILABLE || cond == DUL_READTIMEOUT || Contains(cond, "imed out") ||
      Contains(cond, "imeout"))
    return "The server at " + where + " did not answer within " + std::to_string(s.timeoutSeconds) +
           " s.";
  if (transferring || cond == DUL_PEERABORTEDASSOCIATION || cond == DUL_NETWORKCLOSED ||
      cond == DIMSE_READPDVFAILED || cond == DIMSE_RECEIVEFAILED)
    return "The connection to the server at " + where + " was lost during the transfer.";
  return "The exchange with the server at " + where + " failed: " + std::string(cond.text()) + ".";
}

// Destroyed after the DcmSCU base (bases go in reverse order), so the layer
// outlives every connection the SCU made through it.
struct TTapHolder {
  TTapLayer tap;
};

class TScu : private TTapHolder, public DcmSCU {
 public:
  TInstanceStore* store = nullptr;
  std::atomic<bool>* cancel = nullptr;
  std::string refusal;  // why an instance or the session was stopped by us
  size_t matches = 0;
  RetrieveResponse last;  // counts and status of the last C-GET / C-MOVE response
  bool gotFinal = false;
  bool answered = false;                          // any response or sub-operation came
  const std::atomic<bool>* sendCancel = nullptr;  // a sender's own cancel flag

  // Any thread: wakes a blocked receive by shutting the socket down.
  void Interrupt() {
    std::lock_guard lock(tap.state->mutex);
    if (tap.state->fd >= 0) ::shutdown(tap.state->fd, SHUT_RDWR);
  }
  // Between initNetwork() and negotiateAssociation().
  OFCondition InstallTap() { return useSecureConnection(&tap); }
  const TTapState* Tap() const { return tap.state.get(); }

 protected:
  OFCondition handleFINDResponse(const T_ASC_PresentationContextID presID, QRResponse* response,
                                 OFBool& waitForNextResponse) override {
    answered = true;
    OFCondition c = DcmSCU::handleFINDResponse(presID, response, waitForNextResponse);
    if (response && response->m_dataset && ++matches > kMaxMatches) {
      refusal = "the server sent more than " + std::to_string(kMaxMatches) +
                " matches; narrow the search";
      waitForNextResponse = OFFalse;
    }
    if (cancel && *cancel) waitForNextResponse = OFFalse;
    return c;
  }

  void Note(const RetrieveResponse* r) {
    answered = true;
    if (!r) return;
    last.m_status = r->m_status;
    last.m_numberOfCompletedSubops = r->m_numberOfCompletedSubops;
    last.m_numberOfFailedSubops = r->m_numberOfFailedSubops;
    last.m_numberOfWarningSubops = r->m_numberOfWarningSubops;
    last.m_numberOfRemainingSubops = r->m_numberOfRemainingSubops;
    if (r->m_status != STATUS_Pending && r->m_status != 0xFF01) gotFinal = true;
  }

  OFCondition handleCGETResponse(const T_ASC_PresentationContextID presID,
                                 RetrieveResponse* response, OFBool& continueCGETSession) override {
    Note(response);
    return DcmSCU::handleCGETResponse(presID, response, continueCGETSession);
  }

  OFCondition handleMOVEResponse(const T_ASC_PresentationContextID presID,
                                 RetrieveResponse* response, OFBool& waitForNextResponse) override {
    Note(response);
    OFCondition c = DcmSCU::handleMOVEResponse(presID, response, waitForNextResponse);
    if (cancel && *cancel) waitForNextResponse = OFFalse;
    return c;
  }

  // C-STORE sub-operations of a C-GET: received into a staging file (the
  // file name DCMTK offers comes from the request and is not used).
  OFCondition handleSTORERequestFile(T_ASC_PresentationContextID* presID, const OFString&,
                                     T_DIMSE_C_StoreRQ* request) override {
    if (!store) return EC_IllegalCall;
    answered = true;
    const std::string staged = store->NewStagingPath();
    OFCondition c = DcmSCU::handleSTORERequestFile(presID, staged.c_str(), request);
    if (c.bad()) {
      store->Discard(staged);
      return c;
    }
    std::string why;
    if (!store->Commit(staged, why)) {
      if (refusal.empty()) refusal = why;
      return EC_IllegalParameter;
    }
    if (cancel && *cancel) return EC_IllegalCall;
    return EC_Normal;
  }

  void notifyInstanceStored(const OFString&, const OFString&, const OFString&) const override {}

  void notifySENDProgress(const unsigned long) override {
    // A large instance is not sent to its end after a cancel.
    if ((cancel && *cancel) || (sendCancel && *sendCancel)) Interrupt();
  }

  void notifyRECEIVEProgress(const unsigned long byteCount) override {
    // A data set that never ends would fill the disk; so would a cancelled one.
    if (store && byteCount > store->maxInstanceBytes) {
      if (refusal.empty()) refusal = "the server sent an image larger than accepted";
      Interrupt();
    }
    if (cancel && *cancel) Interrupt();
  }
};

// The storage SCP a C-MOVE sends to: accepts images of every storage class in
// the syntaxes the decoders handle, stores them through the instance store
// and stops when asked.
class TStoreScp : private TTapHolder, public DcmSCP {
 public:
  TInstanceStore* store = nullptr;
  std::atomic<bool> stop{false};
  std::mutex refusalMutex;
  std::string refusal;

  TStoreScp(const std::string& ae, int port) {
    DcmSCPConfig& cfg = getConfig();
    cfg.setAETitle(ae.c_str());
    cfg.setPort(Uint16(port));
    cfg.setConnectionBlockingMode(DUL_NOBLOCK);
    cfg.setConnectionTimeout(1);
    cfg.setHostLookupEnabled(OFFalse);
    cfg.setTransportLayer(&tap);  // plain TCP with quick acknowledgements, see TTapConnection
    cfg.setMaxReceivePDULength(kMaxPdu);
    cfg.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    cfg.setDIMSETimeout(60);
    for (const std::string& ts : DecodableTransferSyntaxes()) syntaxes_.push_back(ts.c_str());
    cfg.addPresentationContext(UID_VerificationSOPClass, syntaxes_);
    added_.insert(UID_VerificationSOPClass);
    for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs; ++i)
      storageClasses_.insert(dcmAllStorageSOPClassUIDs[i]);
  }

 protected:
  // DCMTK keeps at most 128 presentation contexts in an SCP's list, fewer
  // than there are storage classes: the classes are added as the archive
  // proposes them (at most 128 per association), newer ones than DCMTK's
  // table included.
  void notifyAssociationRequest(const T_ASC_Parameters& params, DcmSCPActionType&) override {
    auto* p = const_cast<T_ASC_Parameters*>(&params);
    const int n = ASC_countPresentationContexts(p);
    for (int i = 0; i < n; ++i) {
      T_ASC_PresentationContext pc;
      if (ASC_getPresentationContext(p, i, &pc).bad()) continue;
      const std::string uid = pc.abstractSyntax;
      const bool storage = storageClasses_.count(uid) > 0 ||
                           (uid.rfind("1.2.840.10008.5.1.4.1.1.", 0) == 0 && IsValidUid(uid));
      if (storage && added_.insert(uid).second)
        getConfig().addPresentationContext(uid.c_str(), syntaxes_);
    }
  }

  OFCondition handleIncomingCommand(T_DIMSE_Message* msg,
                                    const DcmPresentationContextInfo& info) override {
    if (msg->CommandField != DIMSE_C_STORE_RQ) return DcmSCP::handleIncomingCommand(msg, info);
    T_DIMSE_C_StoreRQ& req = msg->msg.CStoreRQ;
    Uint16 status = STATUS_Success;
    const std::string staged = store->NewStagingPath();
    OFCondition c = receiveSTORERequest(req, info.presentationContextID, OFString(staged.c_str()));
    if (c.bad()) {
      store->Discard(staged);
      return c;
    }
    std::string why;
    if (stop || !store->Commit(staged, why)) {
      status = STATUS_STORE_Refused_OutOfResources;
      std::lock_guard lock(refusalMutex);
      if (refusal.empty()) refusal = stop ? std::string(kCancelledText) : why;
    }
    return sendSTOREResponse(info.presentationContextID, req, status);
  }
  OFBool stopAfterCurrentAssociation() override { return stop; }
  OFBool stopAfterConnectionTimeout() override { return stop; }

 private:
  OFList<OFString> syntaxes_;
  std::set<std::string> storageClasses_;
  std::set<std::string> added_;  // classes already in the configuration
};

class TDimseClient : public TPacsClient {
 public:
  using TPacsClient::TPacsClient;

  bool Echo(std::string& why) override {
    TScu scu;
    if (!Open(scu, {UID_VerificationSOPClass}, {}, why)) return false;
    const OFCondition c = scu.sendECHORequest(0);
    return Close(scu, c, false, why);
  }

  bool Find(TQueryLevel level, const std::vector<TQueryKey>& keys, std::vector<TQueryRow>& rows,
            std::string& why) override {
    rows.clear();
    const char* model = level == TQueryLevel::Patient
                            ? UID_FINDPatientRootQueryRetrieveInformationModel
                            : UID_FINDStudyRootQueryRetrieveInformationModel;
    TScu scu;
    if (!Open(scu, {model}, {}, why)) return false;
    const std::vector<std::string> returnKeys = ReturnKeys(level, keys);
    DcmDataset query;
    query.putAndInsertString(DCM_QueryRetrieveLevel, QueryLevelKeyword(level));
    for (const std::string& k : returnKeys) {
      uint16_t g, e;
      if (KeywordToTag(k, g, e)) query.insertEmptyElement(DcmTagKey(g, e));
    }
    bool ascii = true;
    for (const TQueryKey& k : keys) {
      uint16_t g, e;
      if (KeywordToTag(k.keyword, g, e) && !k.value.empty()) {
        query.putAndInsertString(DcmTagKey(g, e), k.value.c_str());
        for (char ch : k.value) ascii = ascii && uint8_t(ch) < 0x80;
      }
    }
    // The keys are UTF-8: a query that holds more than ASCII says so. One
    // that does not declares nothing, which every server reads.
    if (!ascii) query.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    OFList<QRResponse*> responses;
    CharsetDecoder charset;
    const T_ASC_PresentationContextID pc = scu.findPresentationContextID(model, "");
    OFCondition c = scu.sendFINDRequest(pc, &query, &responses);
    Uint16 finalStatus = 0;
    for (QRResponse* r : responses) {
      if (r->m_dataset) {
        DcmDataset* d = r->m_dataset;
        // Each response is decoded by the set it declares, as files are.
        OFString declared;
        d->findAndGetOFStringArray(DCM_SpecificCharacterSet, declared);
        const std::vector<std::string> terms =
            CharsetTerms(std::string_view(declared.c_str(), declared.length()));
        TQueryRow row;
        for (const std::string& k : returnKeys) {
          uint16_t g, e;
          OFString value;
          if (KeywordToTag(k, g, e)) d->findAndGetOFStringArray(DcmTagKey(g, e), value);
          row.Set(
              k, TrimValue(charset.Decode(std::string_view(value.c_str(), value.length()), terms)));
        }
        rows.push_back(std::move(row));
      } else {
        finalStatus = r->m_status;
      }
      delete r;
    }
    if (!Close(scu, c, false, why)) return false;
    if (finalStatus != 0 && finalStatus != STATUS_Pending && finalStatus != 0xFF01) {
      why = "The server at " + Where() + " refused the query (status " + Hex4(finalStatus) + ").";
      return false;
    }
    return true;
  }

  bool Retrieve(TInstanceStore& store, const TAnnouncement& announced, std::string& why) override {
    const TInstanceStore::Expect& ex = store.Expected();
    DcmDataset query;
    query.putAndInsertString(DCM_QueryRetrieveLevel, ex.seriesUid.empty() ? "STUDY" : "SERIES");
    query.putAndInsertString(DCM_StudyInstanceUID, ex.studyUid.c_str());
    if (!ex.seriesUid.empty())
      query.putAndInsertString(DCM_SeriesInstanceUID, ex.seriesUid.c_str());
    return server_.movePort > 0 ? Move(store, query, why) : Get(store, announced, query, why);
  }

  bool Announce(const std::string& studyUid, const std::string& seriesUid, TAnnouncement& out,
                std::string& why) override {
    if (!TPacsClient::Announce(studyUid, seriesUid, out, why)) return false;
    // The classes to offer C-GET storage contexts for; a server that does
    // not say gets the usual long list.
    if (server_.movePort == 0) {
      std::vector<TQueryRow> rows;
      std::string ignored;
      if (Find(TQueryLevel::Study, {{"StudyInstanceUID", studyUid}, {"SOPClassesInStudy", ""}},
               rows, ignored) &&
          rows.size() == 1) {
        const std::string& classes = rows[0].Get("SOPClassesInStudy");
        for (size_t start = 0; start <= classes.size();) {
          const size_t end = std::min(classes.find('\\', start), classes.size());
          if (end > start) out.sopClasses.push_back(classes.substr(start, end - start));
          start = end + 1;
        }
      }
    }
    return true;
  }

  // One association for all instances: a context for each SOP class with
  // each transfer syntax its files are stored in, and one with the two
  // uncompressed little endian syntaxes for when the peer refuses those.
  void SendItems(const std::vector<TSendItem>& items, const TSendHooks& hooks,
                 TSendResult& result) override {
    RegisterDecoders();
    std::map<std::string, std::set<std::string>> byClass;
    for (const TSendItem& it : items) byClass[it.sopClassUid].insert(it.transferSyntax);
    size_t wanted = 0;
    for (const auto& [cls, syntaxes] : byClass) wanted += syntaxes.size() + 1;
    TScu scu;
    scu.sendCancel = hooks.cancel;
    std::set<std::string> offered;  // classes proposed at all
    // The protocol allows 128 contexts; beyond that, one per class with
    // every syntax, and classes that still do not fit are not proposed.
    const bool perSyntax = wanted <= 128;
    size_t used = 0;
    for (const auto& [cls, syntaxes] : byClass) {
      OFList<OFString> fallback;
      fallback.push_back(UID_LittleEndianExplicitTransferSyntax);
      fallback.push_back(UID_LittleEndianImplicitTransferSyntax);
      if (perSyntax) {
        for (const std::string& ts : syntaxes) {
          OFList<OFString> one;
          one.push_back(ts.c_str());
          scu.addPresentationContext(cls.c_str(), one);
        }
        scu.addPresentationContext(cls.c_str(), fallback);
        used += syntaxes.size() + 1;
      } else {
        if (used >= 128) break;
        OFList<OFString> all;
        for (const std::string& ts : syntaxes) all.push_back(ts.c_str());
        for (const OFString& ts : fallback)
          if (!syntaxes.count(ts.c_str())) all.push_back(ts);
        scu.addPresentationContext(cls.c_str(), all);
        ++used;
      }
      offered.insert(cls);
    }
    std::string why;
    if (!Open(scu, {}, {}, why)) {
      result.why = why;
      for (TSendOutcome& o : result.instances) o.reason = why;
      return;
    }
    OFCondition failed = EC_Normal;
    size_t i = 0;
    for (; i < items.size(); ++i) {
      if (SendCancelled(hooks)) break;
      const TSendItem& it = items[i];
      TSendOutcome& out = result.instances[i];
      if (!offered.count(it.sopClassUid)) {
        out.reason = "too many kinds of instances for one association; send it on its own";
      } else {
        failed = StoreOne(scu, it, out);
        if (failed.bad()) break;
      }
      if (hooks.progress) hooks.progress(int(i + 1), int(items.size()), out);
    }
    // What stopped the session is every remaining instance's reason.
    if (i < items.size()) {
      std::string reason;
      Close(scu, failed.bad() ? failed : OFCondition(EC_IllegalCall), true, reason);
      if (SendCancelled(hooks)) reason = kCancelledText;
      result.why = reason;
      for (size_t k = i; k < items.size(); ++k) {
        result.instances[k].reason = "not sent: " + reason;
        if (hooks.progress) hooks.progress(int(k + 1), int(items.size()), result.instances[k]);
      }
      return;
    }
    std::string ignored;
    Close(scu, EC_Normal, false, ignored);
  }

  void Cancel() override {
    TPacsClient::Cancel();
    std::lock_guard lock(activeMutex_);
    if (active_) active_->Interrupt();
  }

 private:
  std::string Where() const { return server_.host + ":" + std::to_string(server_.port); }

  // Proposes the contexts, connects and negotiates. storage: SOP classes we
  // accept C-STOREs of (C-GET), each with the decodable syntaxes.
  bool Open(TScu& scu, const std::vector<std::string>& services,
            const std::vector<std::string>& storage, std::string& why) {
    QuietDcmtk();
    if (cancel_) {
      why = kCancelledText;
      return false;
    }
    scu.cancel = &cancel_;
    scu.setAETitle(server_.callingAe.c_str());
    scu.setPeerHostName(server_.host.c_str());
    scu.setPeerPort(Uint16(server_.port));
    scu.setPeerAETitle(server_.calledAe.c_str());
    scu.setMaxReceivePDULength(kMaxPdu);
    scu.setACSETimeout(Uint32(server_.timeoutSeconds));
    scu.setConnectionTimeout(server_.timeoutSeconds);
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(Uint32(server_.timeoutSeconds));
    OFList<OFString> plain;
    plain.push_back(UID_LittleEndianExplicitTransferSyntax);
    plain.push_back(UID_LittleEndianImplicitTransferSyntax);
    for (const std::string& s : services) scu.addPresentationContext(s.c_str(), plain);
    const std::vector<std::string>& decodable = DecodableTransferSyntaxes();
    const size_t room = 128 - services.size();
    // One context per syntax lets the server send each file as it stores
    // it; with many classes, one context per class with every syntax.
    const bool perSyntax = storage.size() * decodable.size() <= room;
    for (const std::string& cls : storage) {
      if (perSyntax) {
        for (const std::string& ts : decodable) {
          OFList<OFString> one;
          one.push_back(ts.c_str());
          scu.addPresentationContext(cls.c_str(), one, ASC_SC_ROLE_SCP);
        }
      } else {
        OFList<OFString> all;
        for (const std::string& ts : decodable) all.push_back(ts.c_str());
        scu.addPresentationContext(cls.c_str(), all, ASC_SC_ROLE_SCP);
      }
    }
    OFCondition c = scu.initNetwork();
    if (c.good()) c = scu.InstallTap();
    if (c.good()) c = scu.negotiateAssociation();
    if (c.bad()) {
      why = Describe(c, scu.Tap(), server_, false);
      return false;
    }
    {
      std::lock_guard lock(activeMutex_);
      active_ = &scu;
    }
    if (cancel_) scu.Interrupt();  // a cancel that came while connecting
    return true;
  }

  // Sends one instance as it is stored, or transcoded to an uncompressed
  // syntax when the peer took neither its syntax nor its class otherwise.
  // A bad condition means the association is gone.
  OFCondition StoreOne(TScu& scu, const TSendItem& it, TSendOutcome& out) {
    DcmFileFormat ff;
    OFCondition c =
        ff.loadFile(it.file.c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_autoDetect);
    if (c.bad()) {
      out.reason = std::string("cannot be read: ") + c.text();
      return EC_Normal;
    }
    DcmDataset* ds = ff.getDataset();
    T_ASC_PresentationContextID pc =
        scu.findPresentationContextID(it.sopClassUid.c_str(), it.transferSyntax.c_str());
    std::string note;
    if (pc == 0) {
      if (scu.findAnyPresentationContextID(it.sopClassUid.c_str(), "") == 0) {
        out.reason = "the server does not accept instances of this SOP class (" +
                     std::string(dcmFindNameOfUID(it.sopClassUid.c_str(), it.sopClassUid.c_str())) +
                     ")";
        return EC_Normal;
      }
      for (E_TransferSyntax ts : {EXS_LittleEndianExplicit, EXS_LittleEndianImplicit}) {
        const DcmXfer x(ts);
        const T_ASC_PresentationContextID cand =
            scu.findPresentationContextID(it.sopClassUid.c_str(), x.getXferID());
        if (cand == 0) continue;
        // Compressed pixels need a decoder registered with DCMTK; without
        // one the data set cannot be written in the plain syntax.
        if (ds->chooseRepresentation(ts, nullptr).good() && ds->canWriteXfer(ts)) {
          pc = cand;
          note = std::string("sent as ") + x.getXferName() + ": the server refused " +
                 DcmXfer(it.transferSyntax.c_str()).getXferName();
        }
        break;
      }
      if (pc == 0) {
        out.reason = "the server accepts none of the transfer syntaxes this file could be sent in";
        return EC_Normal;
      }
    }
    Uint16 status = 0;
    c = scu.sendSTORERequest(pc, "", ds, status);
    if (c.bad()) return c;
    scu.answered = true;
    out.sent = true;
    out.accepted = StoreStatusStored(status);
    out.reason = status == 0 ? note : StoreStatusText(status);
    if (!note.empty() && status != 0) out.reason = note + "; " + out.reason;
    return EC_Normal;
  }

  static void RegisterDecoders() {
    static std::once_flag once;
    std::call_once(once, [] {
      DJDecoderRegistration::registerCodecs();
      DJLSDecoderRegistration::registerCodecs();
      DcmRLEDecoderRegistration::registerCodecs();
    });
  }

  // Ends the association: released after a good exchange, aborted otherwise.
  bool Close(TScu& scu, const OFCondition& c, bool transferring, std::string& why) {
    {
      std::lock_guard lock(activeMutex_);
      active_ = nullptr;
    }
    const bool good = c.good() && scu.refusal.empty() && !cancel_;
    if (good) {
      scu.releaseAssociation();
    } else if (scu.isConnected()) {
      scu.abortAssociation();
    }
    if (good) return true;
    if (cancel_)
      why = kCancelledText;
    else if (!scu.refusal.empty())
      why = "Refused what the server at " + Where() + " sent: " + scu.refusal + ".";
    else if (!scu.answered && (c == DUL_PEERABORTEDASSOCIATION || c == DUL_NETWORKCLOSED ||
                               c == DIMSE_RECEIVEFAILED || c == DIMSE_READPDVFAILED))
      // Orthanc, for one, accepts the association and then aborts it when
      // the calling AE title may not ask for this.
      why = "The server at " + Where() +
            " closed the connection instead of answering (does it accept requests from our AE "
            "title \"" +
            server_.callingAe + "\"?).";
    else
      why = Describe(c, scu.Tap(), server_, transferring);
    return false;
  }

  bool CheckFinal(const TScu& scu, const char* what, std::string& why) {
    if (!scu.gotFinal) {
      why = "The server at " + Where() + " ended the " + what + " without a final answer.";
      return false;
    }
    const Uint16 st = scu.last.m_status;
    if (st == STATUS_Success && scu.last.m_numberOfFailedSubops == 0) return true;
    if (st == STATUS_Success || st == 0xB000)
      why = "The server at " + Where() + " could not send " +
            std::to_string(scu.last.m_numberOfFailedSubops) + " of the images (" + what + ").";
    else if (st == 0xA801)
      why = "The server at " + Where() + " does not know the destination AE title \"" +
            server_.callingAe + "\" (add it with our host and port to the archive's modalities).";
    else if (st == 0xA701 || st == 0xA702)
      why = "The server at " + Where() + " ran out of resources during the " + what + ".";
    else if (st == 0xFE00)
      why = "The server at " + Where() + " cancelled the " + what + ".";
    else
      why = "The server at " + Where() + " refused the " + what + " (status " + Hex4(st) + ").";
    return false;
  }

  bool Get(TInstanceStore& store, const TAnnouncement& announced, DcmDataset& query,
           std::string& why) {
    std::set<std::string> classes;
    for (const std::string& c : announced.sopClasses)
      if (IsValidUid(c)) classes.insert(c);
    std::vector<std::string> storage(classes.begin(), classes.end());
    if (storage.empty())
      for (int i = 0; i < numberOfDcmLongSCUStorageSOPClassUIDs && storage.size() < 120; ++i)
        storage.push_back(dcmLongSCUStorageSOPClassUIDs[i]);
    TScu scu;
    scu.store = &store;
    scu.setStorageMode(DCMSCU_STORAGE_BIT_PRESERVING);
    if (!Open(scu, {UID_GETStudyRootQueryRetrieveInformationModel}, storage, why)) return false;
    const T_ASC_PresentationContextID pc =
        scu.findPresentationContextID(UID_GETStudyRootQueryRetrieveInformationModel, "");
    const OFCondition c = scu.sendCGETRequest(pc, &query, nullptr);
    if (!Close(scu, c, true, why)) return false;
    return CheckFinal(scu, "C-GET", why);
  }

  bool Move(TInstanceStore& store, DcmDataset& query, std::string& why) {
    QuietDcmtk();
    TStoreScp scp(server_.callingAe, server_.movePort);
    scp.store = &store;
    OFCondition listening = scp.openListenPort();
    if (listening.bad()) {
      why = "Cannot receive images on port " + std::to_string(server_.movePort) + ": " +
            listening.text() + " (is the port in use?).";
      return false;
    }
    std::thread serving([&scp] { scp.acceptAssociations(); });
    TScu scu;
    bool ok = Open(scu, {UID_MOVEStudyRootQueryRetrieveInformationModel}, {}, why);
    if (ok) {
      const T_ASC_PresentationContextID pc =
          scu.findPresentationContextID(UID_MOVEStudyRootQueryRetrieveInformationModel, "");
      const OFCondition c = scu.sendMOVERequest(pc, server_.callingAe.c_str(), &query, nullptr);
      ok = Close(scu, c, true, why);
      if (ok) ok = CheckFinal(scu, "C-MOVE", why);
    }
    scp.stop = true;
    WakeScp();
    serving.join();
    std::lock_guard lock(scp.refusalMutex);
    if (!scp.refusal.empty() && (ok || why.find("could not send") != std::string::npos)) {
      why = scp.refusal == kCancelledText
                ? std::string(kCancelledText)
                : "Refused what the server at " + Where() + " sent: " + scp.refusal + ".";
      ok = false;
    }
    return ok;
  }

  // An echo to our own storage SCP ends its wait for the next association at once.
  void WakeScp() {
    DcmSCU wake;
    wake.setAETitle("TAVROLEN-WAKE");
    wake.setPeerHostName("127.0.0.1");
    wake.setPeerPort(Uint16(server_.movePort));
    wake.setPeerAETitle(server_.callingAe.c_str());
    wake.setACSETimeout(2);
    wake.setConnectionTimeout(2);
    OFList<OFString> plain;
    plain.push_back(UID_LittleEndianImplicitTransferSyntax);
    wake.addPresentationContext(UID_VerificationSOPClass, plain);
    if (wake.initNetwork().good() && wake.negotiateAssociation().good()) wake.releaseAssociation();
  }

  std::mutex activeMutex_;
  TScu* active_ = nullptr;
};

}  // namespace

std::unique_ptr<TPacsClient> MakeDimseClient(const TPacsServer& server) {
  return std::make_unique<TDimseClient>(server);
}
