// The storage listener as senders use it: Orthanc pushes (C-STORE by REST)
// and delivers a C-MOVE to it, storescu sends what must be refused, and
// `tavrolen-dicom listen` does the same from a script.
#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scu.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "net/StorageListener.h"
#include "pacs_fixture.h"
#include "support/fixtures.h"
#include "support/pacs_fixtures.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace pacstest;
using Clock = std::chrono::steady_clock;

namespace {

// Waits up to `seconds` for pred.
template <typename Pred>
bool WaitFor(Pred pred, double seconds = 20) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

std::string OrthancId(const testsupport::Orthanc& o, const std::string& uid) {
  std::string body;
  if (o.Request("POST", "/tools/lookup", uid, &body) != 200) return {};
  const QJsonArray a = QJsonDocument::fromJson(QByteArray::fromStdString(body)).array();
  return a.isEmpty() ? std::string() : a[0].toObject()["ID"].toString().toStdString();
}

int StoreScu(const std::string& callingAe, const std::string& calledAe, int port,
             const std::vector<std::string>& files, std::string* output = nullptr) {
  if (output) output->clear();
  std::string cmd =
      "storescu -v -aet " + callingAe + " -aec " + calledAe + " 127.0.0.1 " + std::to_string(port);
  for (const std::string& f : files) cmd += " '" + f + "'";
  return fixtures::RunCommand(cmd + " 2>&1", output);
}

std::string WriteSlice(const std::string& dir, const std::string& name,
                       const testsupport::CtSliceSpec& spec) {
  fs::create_directories(dir);
  return fixtures::WriteFile(dir, name, testsupport::CtSliceFile(spec));
}

// The data set a DCMTK sender (Orthanc) sends of a file: the same bytes, less
// a Data Set Trailing Padding element at the end, which it drops.
std::string SentDataSet(const std::string& path) {
  std::string bytes = DataSetBytes(path);
  // (FFFC,FFFC) OB, explicit VR: tag, "OB", 2 reserved, 4-byte length, value.
  const size_t at = bytes.rfind(std::string("\xFC\xFF\xFC\xFFOB\0\0", 8));
  if (at != std::string::npos && at + 12 <= bytes.size()) {
    const uint32_t len = uint32_t(uint8_t(bytes[at + 8])) | uint32_t(uint8_t(bytes[at + 9])) << 8 |
                         uint32_t(uint8_t(bytes[at + 10])) << 16 |
                         uint32_t(uint8_t(bytes[at + 11])) << 24;
    if (at + 12 + uint64_t(len) == bytes.size()) bytes.resize(at);
  }
  return bytes;
}

// "" when equal, else where they part.
std::string Difference(const std::string& a, const std::string& b) {
  if (a == b) return "";
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  return std::to_string(a.size()) + " vs " + std::to_string(b.size()) +
         " bytes, first difference at " + std::to_string(at);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

TListenerConfig Config(const std::string& dir, int port, const std::string& ae = "LISTENER") {
  TListenerConfig c;
  c.aeTitle = ae;
  c.port = port;
  c.dir = dir;
  return c;
}

}  // namespace

TEST(Listen, OrthancStoresAndMovesAndEveryFileIsTheUploadedDataSet) {
  REQUIRE_ORTHANC(o);
  const std::string dir = TestDir("listen_orthanc") + "/in";
  TStorageListener listener(Config(dir, o->MovePort(), o->Options().viewerAe));
  std::mutex mutex;
  std::vector<std::pair<TStoredInstance, std::string>> stored;
  listener.onStored = [&](const TStoredInstance& inst, const std::string& ae) {
    std::lock_guard lock(mutex);
    stored.emplace_back(inst, ae);
  };
  std::string why;
  ASSERT_TRUE(listener.Start(why)) << why;

  // C-STORE, asked of Orthanc through its REST API: study B.
  const std::string studyB = OrthancId(*o, StudyB());
  ASSERT_FALSE(studyB.empty());
  std::string answer;
  ASSERT_EQ(o->Request("POST", "/modalities/viewer/store", "[\"" + studyB + "\"]", &answer), 200)
      << answer;
  // C-MOVE of study A, with the listener as destination.
  std::string out;
  const int moved = fixtures::RunCommand(
      "movescu -S -aet " + o->Options().viewerAe + " -aec " + o->Options().aet + " -aem " +
          o->Options().viewerAe + " -k QueryRetrieveLevel=STUDY -k StudyInstanceUID=" + kStudyA +
          " 127.0.0.1 " + std::to_string(o->DicomPort()) + " 2>&1",
      &out);
  EXPECT_EQ(moved, 0) << out;

  const std::vector<Uploaded>& uploaded = UploadedInstances();
  EXPECT_TRUE(WaitFor([&] { return listener.ReceivedCount() >= uploaded.size(); }))
      << listener.ReceivedCount() << " of " << uploaded.size() << "\n"
      << Joined(listener.LastReasons());
  listener.Stop();
  EXPECT_EQ(listener.RefusedCount(), 0u) << Joined(listener.LastReasons());
  for (const Uploaded& u : uploaded) {
    const std::string path = dir + "/" + u.studyUid + "/" + u.seriesUid + "/" + u.sopUid + ".dcm";
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    EXPECT_EQ(Difference(DataSetBytes(path), SentDataSet(u.path)), "") << u.path;
    EXPECT_EQ(MetaTransferSyntax(path), MetaTransferSyntax(u.path)) << u.path;
  }
  EXPECT_EQ(FilesUnder(dir).size(), uploaded.size()) << "nothing else, no staging leftovers";
  std::lock_guard lock(mutex);
  ASSERT_EQ(stored.size(), uploaded.size());
  for (const auto& [inst, ae] : stored) {
    EXPECT_EQ(ae, o->Options().aet);
    EXPECT_EQ(inst.path,
              dir + "/" + inst.studyUid + "/" + inst.seriesUid + "/" + inst.sopUid + ".dcm");
  }
}

TEST(Listen, RefusesWhatItMustWithOneReasonAndLeavesNothing) {
  const std::string base = TestDir("listen_refusals");
  const std::string dir = base + "/in";
  const int port = testsupport::FreeLoopbackPort();
  TListenerConfig config = Config(dir, port);
  config.allowedCallingAes = {"MODALITY"};
  config.maxInstanceBytes = 100000;
  TStorageListener listener(config);
  std::string why;
  ASSERT_TRUE(listener.Start(why)) << why;

  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.90";
  spec.seriesUid = spec.studyUid + ".1";
  spec.sopUid = spec.seriesUid + ".1";
  const std::string files = base + "/files";
  const std::string good = WriteSlice(files, "good.dcm", spec);
  std::string out;
  // A sender not on the list: refused at association, before any data.
  EXPECT_NE(StoreScu("STRANGER", "LISTENER", port, {good}, &out), 0) << out;
  EXPECT_TRUE(FilesUnder(dir).empty());
  EXPECT_NE(Joined(listener.LastReasons()).find("STRANGER"), std::string::npos)
      << Joined(listener.LastReasons());
  // One that calls another AE title.
  EXPECT_NE(StoreScu("MODALITY", "SOMEONE", port, {good}, &out), 0) << out;

  struct Case {
    const char* what;
    std::string file;
    const char* reason;
  };
  std::vector<Case> cases;
  for (const char* uid : {"../../x", "1.2/../3", "1.2.3/../../../escaped"}) {
    testsupport::CtSliceSpec bad = spec;
    bad.sopUid = uid;
    cases.push_back({uid, WriteSlice(files, "uid" + std::to_string(cases.size()) + ".dcm", bad),
                     "not a valid UID"});
  }
  {
    testsupport::CtSliceSpec bad = spec;
    bad.seriesUid = "../" + spec.seriesUid;
    cases.push_back(
        {"a path-like series", WriteSlice(files, "series.dcm", bad), "not a valid UID"});
  }
  {
    testsupport::CtSliceSpec big = spec;
    big.sopUid = spec.seriesUid + ".2";
    big.size = 400;  // 320 kB of pixels
    cases.push_back({"over the limit", WriteSlice(files, "big.dcm", big), "larger than"});
  }
  size_t refused = 0;
  for (const Case& c : cases) {
    StoreScu("MODALITY", "LISTENER", port, {c.file}, &out);
    ++refused;
    EXPECT_TRUE(WaitFor([&] { return listener.RefusedCount() >= refused; }, 5)) << c.what << out;
    const std::vector<std::string> reasons = listener.LastReasons();
    ASSERT_FALSE(reasons.empty());
    EXPECT_NE(reasons.back().find(c.reason), std::string::npos) << c.what << ": " << reasons.back();
    // A C-STORE failure status, not a broken association.
    EXPECT_NE(out.find("Received Store Response ("), std::string::npos) << c.what << ": " << out;
    EXPECT_EQ(out.find("Received Store Response (Success"), std::string::npos) << c.what;
    EXPECT_TRUE(FilesUnder(dir).empty()) << c.what << ": " << Joined(FilesUnder(dir));
  }
  // Nothing beside the folder either: the path-like UIDs climbed nowhere.
  EXPECT_FALSE(fs::exists(base + "/x"));
  EXPECT_FALSE(fs::exists(base + "/escaped"));
  EXPECT_FALSE(fs::exists(dir + "/3"));

  // The same listener still stores what is right.
  EXPECT_EQ(StoreScu("MODALITY", "LISTENER", port, {good}, &out), 0) << out;
  EXPECT_TRUE(WaitFor([&] { return listener.ReceivedCount() == 1; }));
  listener.Stop();
  EXPECT_EQ(FilesUnder(dir), std::vector<std::string>{spec.studyUid + "/" + spec.seriesUid + "/" +
                                                      spec.sopUid + ".dcm"});
  EXPECT_EQ(listener.RefusedCount(), cases.size());
}

TEST(Listen, StartRefusesABadConfigurationOrABusyPort) {
  const std::string dir = TestDir("listen_config") + "/in";
  const int port = testsupport::FreeLoopbackPort();
  std::string why;
  TListenerConfig bad = Config(dir, port, "WAY-TOO-LONG-AE-TITLE");
  EXPECT_FALSE(TStorageListener(bad).Start(why));
  EXPECT_NE(why.find("AE title"), std::string::npos) << why;
  bad = Config(dir, port);
  bad.allowedCallingAes = {"A\\B"};
  EXPECT_FALSE(TStorageListener(bad).Start(why));
  EXPECT_FALSE(TStorageListener(Config(dir, 0)).Start(why));

  TStorageListener first(Config(dir, port));
  ASSERT_TRUE(first.Start(why)) << why;
  TStorageListener second(Config(dir, port));
  EXPECT_FALSE(second.Start(why));
  EXPECT_NE(why.find(std::to_string(port)), std::string::npos) << why;
}

TEST(Listen, StopReturnsPromptlyWhilePeersAreConnected) {
  const std::string dir = TestDir("listen_stop") + "/in";
  const int port = testsupport::FreeLoopbackPort();
  TStorageListener listener(Config(dir, port));
  std::string why;
  ASSERT_TRUE(listener.Start(why)) << why;

  // One peer holds an association open and idle ...
  DcmSCU idle;
  idle.setAETitle("IDLE");
  idle.setPeerHostName("127.0.0.1");
  idle.setPeerPort(Uint16(port));
  idle.setPeerAETitle("LISTENER");
  OFList<OFString> ts;
  ts.push_back(UID_LittleEndianExplicitTransferSyntax);
  idle.addPresentationContext(UID_VerificationSOPClass, ts);
  ASSERT_TRUE(idle.initNetwork().good());
  ASSERT_TRUE(idle.negotiateAssociation().good());
  EXPECT_TRUE(idle.sendECHORequest(0).good());
  // ... another has connected and sends nothing at all.
  const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_TRUE(WaitFor([&] { return listener.ActiveAssociations() == 1; }, 5));

  const auto start = Clock::now();
  listener.Stop();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_LT(took, 2.5);
  EXPECT_FALSE(listener.Running());
  // The idle peer finds its association gone.
  EXPECT_TRUE(idle.sendECHORequest(0).bad());
  ::close(silent);
  // The port is free again for a new start.
  EXPECT_TRUE(listener.Start(why)) << why;
}

TEST(Listen, SeveralSendersAtOnce) {
  const std::string base = TestDir("listen_parallel");
  const std::string dir = base + "/in";
  const int port = testsupport::FreeLoopbackPort();
  TStorageListener listener(Config(dir, port));
  std::string why;
  ASSERT_TRUE(listener.Start(why)) << why;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int s = 0; s < 3; ++s) {
    testsupport::CtSliceSpec spec;
    spec.studyUid = "1.2.826.0.1.3680043.2.1125.91";
    spec.seriesUid = spec.studyUid + "." + std::to_string(s + 1);
    const std::vector<std::string> files =
        testsupport::WriteCtSeries(base + "/s" + std::to_string(s), spec, 5);
    senders.emplace_back([&, files] {
      if (StoreScu("SENDER" + std::to_string(files.size()), "LISTENER", port, files) != 0)
        ++failures;
    });
  }
  for (std::thread& t : senders) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_TRUE(WaitFor([&] { return listener.ReceivedCount() == 15; }));
  listener.Stop();
  EXPECT_EQ(FilesUnder(dir).size(), 15u);
}

TEST(ListenCli, CountStopsAfterNInstancesAndAWrongCommandLineExitsTwo) {
  const std::string base = TestDir("listen_cli");
  const std::string dir = base + "/in";
  const int port = testsupport::FreeLoopbackPort();
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.92";
  spec.seriesUid = spec.studyUid + ".1";
  const std::vector<std::string> files = testsupport::WriteCtSeries(base + "/files", spec, 3);

  std::string out;
  int status = -1;
  std::thread tool([&] {
    status = fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " listen --ae CLI --port " +
                                      std::to_string(port) + " -o '" + dir +
                                      "' --count 2 --json --allow MOD,OTHER 2>/dev/null",
                                  &out);
  });
  // Sent one at a time: the tool ends after the second.
  std::string sent;
  for (int i = 0; i < 2; ++i) {
    bool ok =
        WaitFor([&] { return StoreScu("MOD", "CLI", port, {files[size_t(i)]}, &sent) == 0; }, 10);
    EXPECT_TRUE(ok) << sent;
  }
  tool.join();
  EXPECT_EQ(status, 0) << out;
  const QJsonObject summary = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
  EXPECT_EQ(summary["received"].toInt(), 2) << out;
  EXPECT_EQ(summary["refused"].toInt(), 0) << out;
  EXPECT_EQ(FilesUnder(dir).size(), 2u);

  // Without --json: one line per instance, naming the file.
  out.clear();
  std::thread plain([&] {
    status =
        fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " listen --ae CLI --port " +
                                 std::to_string(port) + " -o '" + dir + "' --count 1 2>/dev/null",
                             &out);
  });
  EXPECT_TRUE(WaitFor([&] { return StoreScu("MOD", "CLI", port, {files[2]}, &sent) == 0; }, 10))
      << sent;
  plain.join();
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find(spec.seriesUid + ".3.dcm from MOD"), std::string::npos) << out;

  // --seconds ends a quiet listener in time.
  const auto start = Clock::now();
  EXPECT_EQ(fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " listen --ae CLI --port " +
                                 std::to_string(port) + " -o '" + dir + "' --seconds 1 2>&1"),
            0);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 4);

  // SIGTERM ends a listener as --seconds does, its staging folder gone.
  {
    std::vector<std::string> args = {TAVROLEN_DICOM_TOOL,  "listen", "--ae", "CLI",       "--port",
                                     std::to_string(port), "-o",     dir,    "--seconds", "60"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    ASSERT_EQ(spawned, 0);
    EXPECT_TRUE(WaitFor([&] { return StoreScu("MOD", "CLI", port, {files[0]}, &sent) == 0; }, 10));
    ::kill(pid, SIGTERM);
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (const auto& e : fs::directory_iterator(dir))
      EXPECT_EQ(e.path().filename().string().find(".tavrolen-incoming"), std::string::npos)
          << e.path();
  }

  // A port in use is a failure, not a usage error.
  const int held = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(held, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(held, 1), 0);
  EXPECT_EQ(fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " listen --ae CLI --port " +
                                     std::to_string(port) + " -o '" + dir + "' --seconds 1 2>&1",
                                 &out),
            1)
      << out;
  ::close(held);

  for (const std::string& args : std::vector<std::string>{
           "listen --port 1 -o /tmp/x",                           // no AE
           "listen --ae A -o /tmp/x",                             // no port
           "listen --ae A --port 104",                            // no folder
           "listen --ae A --port 70000 -o /tmp/x",                // not a port
           "listen --ae ABCDEFGHIJKLMNOPQ --port 104 -o /tmp/x",  // AE too long
           "listen --ae A --port 104 -o /tmp/x --count 0",
           "listen --ae A --port 104 -o /tmp/x --count 2 --seconds 3",
           "listen --ae A --port 104 -o /tmp/x --allow A,,B",
           "listen --ae A --port 104 -o /tmp/x --bogus",
       }) {
    EXPECT_EQ(fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " " + args + " 2>&1", &out),
              2)
        << args << ": " << out;
  }
}

// DCMTK's table holds more storage classes than an SCP's list can (128).
TEST(Listen, EveryStorageClassIsAcceptedTheNewerOnesTooAndNothingElse) {
  const std::string base = TestDir("listen_new_class");
  const std::string dir = base + "/in";
  const int port = testsupport::FreeLoopbackPort();
  TStorageListener listener(Config(dir, port));
  std::string why;
  ASSERT_TRUE(listener.Start(why)) << why;
  const std::string newClass = "1.2.840.10008.5.1.4.1.1.777.1";
  const std::string notStorage = "1.2.840.10008.5.1.4.31";  // a worklist model
  DcmSCU scu;
  scu.setAETitle("MOD");
  scu.setPeerHostName("127.0.0.1");
  scu.setPeerPort(Uint16(port));
  scu.setPeerAETitle("LISTENER");
  OFList<OFString> ts;
  ts.push_back(UID_LittleEndianExplicitTransferSyntax);
  scu.addPresentationContext(newClass.c_str(), ts);
  scu.addPresentationContext(notStorage.c_str(), ts);
  // The last of DCMTK's table, well past the first 128.
  const char* lastKnown = dcmAllStorageSOPClassUIDs[numberOfDcmAllStorageSOPClassUIDs - 1];
  scu.addPresentationContext(lastKnown, ts);
  ASSERT_TRUE(scu.initNetwork().good());
  ASSERT_TRUE(scu.negotiateAssociation().good());
  const T_ASC_PresentationContextID pc = scu.findPresentationContextID(newClass.c_str(), "");
  EXPECT_NE(pc, 0);
  EXPECT_EQ(scu.findPresentationContextID(notStorage.c_str(), ""), 0);
  EXPECT_NE(scu.findPresentationContextID(lastKnown, ""), 0) << lastKnown;

  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.93";
  spec.seriesUid = spec.studyUid + ".1";
  spec.sopUid = spec.seriesUid + ".1";
  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(WriteSlice(base + "/files", "new.dcm", spec).c_str()).good());
  file.getDataset()->putAndInsertString(DCM_SOPClassUID, newClass.c_str());
  Uint16 status = 0xFFFF;
  EXPECT_TRUE(scu.sendSTORERequest(pc, "", file.getDataset(), status).good());
  EXPECT_EQ(status, 0);
  scu.releaseAssociation();
  EXPECT_TRUE(WaitFor([&] { return listener.ReceivedCount() == 1; }));
  EXPECT_TRUE(
      fs::exists(dir + "/" + spec.studyUid + "/" + spec.seriesUid + "/" + spec.sopUid + ".dcm"));
}
