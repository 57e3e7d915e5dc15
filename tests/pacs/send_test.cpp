// Sending: C-STORE and STOW-RS to a real Orthanc bring back, by retrieve,
// the very data sets that were sent (a JPEG one included, in its own
// syntax); a peer that refuses the file's syntax gets the uncompressed
// fallback or a clear refusal; a STOW answer with partial failures refuses
// exactly those instances; a peer killed mid-send leaves the rest unsent;
// the command line exits 0 only when all were accepted.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "app/SendDialog.h"
#include "fake_web_server.h"
#include "net/PacsClient.h"
#include "net/Retrieval.h"
#include "net/Send.h"
#include "pacs_fixture.h"
#include "support/fixtures.h"
#include "support/pacs_fixtures.h"
#include "support/paths.h"
#include "support/qt_wait.h"

namespace fs = std::filesystem;
using namespace pacstest;

namespace {

constexpr const char* kJpegLossless = "1.2.840.10008.1.2.4.70";

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// A study of three plain CT slices and one JPEG lossless copy of a fourth,
// with a text note and a second copy of one slice beside them.
std::vector<std::string> WriteStudy(const std::string& dir, const std::string& studyUid) {
  testsupport::CtSliceSpec spec;
  spec.studyUid = studyUid;
  spec.seriesUid = studyUid + ".1";
  spec.patientId = "SEND-" + studyUid.substr(studyUid.size() - 2);
  std::vector<std::string> files = testsupport::WriteCtSeries(dir + "/ct", spec, 3);
  spec.seriesUid = studyUid + ".2";
  spec.seriesNumber = 2;
  const std::vector<std::string> plain = testsupport::WriteCtSeries(dir + "/raw", spec, 1);
  const std::string jpeg = dir + "/ct/JPEG0001";
  EXPECT_EQ(fixtures::RunCommand("dcmcjpeg +e1 '" + plain[0] + "' '" + jpeg + "' 2>&1"), 0);
  fs::remove_all(dir + "/raw");
  files.push_back(jpeg);
  std::ofstream(dir + "/ct/notes") << "not an image\n";
  fs::copy_file(files[0], dir + "/ct/copy-of-first.dcm");
  return files;
}

class SendEachKind : public ::testing::TestWithParam<const char*> {};

// A storescp on a free port, stopped with the test.
class StoreScp {
 public:
  StoreScp(const std::string& dir, const std::vector<std::string>& options) {
    port_ = testsupport::FreeLoopbackPort();
    fs::create_directories(dir);
    std::vector<std::string> args = {"storescp", "-aet", "STORESCP", "-od", dir};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(std::to_string(port_));
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp("storescp", argv.data());
      _exit(127);
    }
    // Ready once it accepts a connection.
    for (int i = 0; i < 100; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(uint16_t(port_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      const bool up = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      close(fd);
      if (up) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~StoreScp() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  TPacsServer Server() const {
    TPacsServer s;
    std::string why;
    ParseServerAddress("dicom://STORESCP@127.0.0.1:" + std::to_string(port_), s, why);
    s.timeoutSeconds = 10;
    return s;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// An HTTP server that reads each whole request (by its Content-Length)
// before it answers with the canned reply, keeping the bodies it got.
class StowServer : public QObject {
 public:
  explicit StowServer(std::string reply) : reply_(std::move(reply)) {
    server_.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* s = server_.nextPendingConnection()) {
        QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { Serve(s); });
        QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
      }
    });
  }
  TPacsServer Server() const {
    TPacsServer s;
    std::string why;
    ParseServerAddress("dicomweb+http://127.0.0.1:" + std::to_string(server_.serverPort()) + "/rs/",
                       s, why);
    s.timeoutSeconds = 10;
    return s;
  }
  std::vector<QByteArray> heads, bodies;

 private:
  void Serve(QTcpSocket* s) {
    QByteArray& buf = pending_[s];
    buf += s->readAll();
    const qsizetype end = buf.indexOf("\r\n\r\n");
    if (end < 0) return;
    const QByteArray head = buf.left(end);
    qsizetype length = 0;
    for (const QByteArray& line : head.split('\n'))
      if (line.toLower().startsWith("content-length:"))
        length = line.mid(15).trimmed().toLongLong();
    if (buf.size() < end + 4 + length) return;
    heads.push_back(head);
    bodies.push_back(buf.mid(end + 4, length));
    pending_.erase(s);
    s->write(reply_.data(), qint64(reply_.size()));
    s->disconnectFromHost();
  }
  QTcpServer server_;
  std::string reply_;
  std::map<QTcpSocket*, QByteArray> pending_;
};

std::string UidItem(const std::string& uid, const std::string& reasonTag = "", int reason = 0) {
  std::string item =
      "{\"00081150\":{\"vr\":\"UI\",\"Value\":[\"1.2.840.10008.5.1.4.1.1.2\"]},"
      "\"00081155\":{\"vr\":\"UI\",\"Value\":[\"" +
      uid + "\"]}";
  if (!reasonTag.empty())
    item += ",\"" + reasonTag + "\":{\"vr\":\"US\",\"Value\":[" + std::to_string(reason) + "]}";
  return item + "}";
}

}  // namespace

TEST_P(SendEachKind, RetrievedBackByteForByteInTheSyntaxItWasStoredIn) {
  REQUIRE_ORTHANC(o);
  const std::string kind = GetParam();
  const std::string study =
      std::string("1.2.826.0.1.3680043.2.1125.41.") + (kind == "dimse" ? "1" : "2");
  const std::string dir = TestDir("send_" + kind);
  const std::vector<std::string> files = WriteStudy(dir, study);
  const TPacsServer server = kind == "dimse" ? DimseServer(*o) : WebServer(*o);

  TSendResult result;
  const std::vector<std::string> listed = ListFilesToSend({dir + "/ct"}, result.skipped);
  EXPECT_EQ(listed.size(), 6u);
  TSendHooks hooks;
  int calls = 0;
  hooks.progress = [&](int done, int total, const TSendOutcome&) {
    EXPECT_EQ(done, ++calls);
    EXPECT_EQ(total, 4);
  };
  auto client = MakePacsClient(server);
  EXPECT_TRUE(client->Send(listed, hooks, result)) << result.why;
  EXPECT_EQ(calls, 4);
  ASSERT_EQ(result.instances.size(), 4u);
  EXPECT_EQ(result.Accepted(), 4);
  for (const TSendOutcome& out : result.instances)
    EXPECT_TRUE(out.accepted) << out.file << ": " << out.reason;
  // The note is not DICOM and the copy is the same instance: both named.
  ASSERT_EQ(result.skipped.size(), 2u);
  std::map<std::string, std::string> skipped;
  for (const TSendSkip& s : result.skipped) skipped[fs::path(s.file).filename()] = s.reason;
  EXPECT_NE(skipped["notes"].find("not a DICOM"), std::string::npos) << skipped["notes"];
  EXPECT_NE(skipped["copy-of-first.dcm"].find("same instance"), std::string::npos);

  const std::string out = TestDir("send_back_" + kind);
  const TRetrieveResult back = RetrieveInto(*MakePacsClient(server), {out, study, ""});
  ASSERT_TRUE(back.ok) << back.why;
  ASSERT_EQ(back.stored.size(), 4u);
  std::map<std::string, std::string> sent;  // SOP UID -> file
  for (const TSendOutcome& s : result.instances) sent[s.sopInstanceUid] = s.file;
  for (const TStoredInstance& s : back.stored) {
    ASSERT_EQ(sent.count(s.sopUid), 1u) << s.sopUid;
    EXPECT_EQ(DataSetBytes(s.path), DataSetBytes(sent[s.sopUid])) << sent[s.sopUid];
    EXPECT_EQ(MetaTransferSyntax(s.path), MetaTransferSyntax(sent[s.sopUid]));
  }
  EXPECT_EQ(MetaTransferSyntax(files.back()), kJpegLossless);
}

INSTANTIATE_TEST_SUITE_P(Orthanc, SendEachKind, ::testing::Values("dimse", "web"),
                         [](const auto& info) { return std::string(info.param); });

TEST(SendDimse, APeerThatRefusesTheSyntaxGetsThePlainFallbackOrAClearRefusal) {
  const std::string dir = TestDir("send_fallback");
  const std::vector<std::string> files = WriteStudy(dir, "1.2.826.0.1.3680043.2.1125.42");
  // JPEG 2000 has no DCMTK decoder here: it cannot be sent uncompressed.
  const std::string j2k = dir + "/J2K0001";
  ASSERT_EQ(fixtures::RunCommand(
                "gdcmconv --j2k '" + files[1] + "' '" + j2k +
                "' 2>&1 && dcmodify -nb -m '(0008,0018)=1.2.826.0.1.3680043.2.1125.42.9' '" + j2k +
                "' 2>&1"),
            0);
  std::vector<std::string> all = files;
  all.push_back(j2k);

  StoreScp implicitOnly(dir + "/received", {"+xi"});
  TSendResult r;
  EXPECT_FALSE(SendFiles(implicitOnly.Server(), all, {}, r));
  ASSERT_EQ(r.instances.size(), 5u) << r.why;
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_TRUE(r.instances[k].accepted) << r.instances[k].file << ": " << r.instances[k].reason;
    EXPECT_NE(r.instances[k].reason.find("sent as Little Endian Implicit"), std::string::npos)
        << r.instances[k].reason;
  }
  EXPECT_FALSE(r.instances[4].accepted);
  EXPECT_EQ(r.instances[4].reason,
            "the server accepts none of the transfer syntaxes this file could be sent in");
  EXPECT_TRUE(r.why.empty()) << "one refused file does not end the session: " << r.why;

  // Only what was accepted arrived.
  size_t received = 0;
  for (const auto& e : fs::directory_iterator(dir + "/received")) received += e.is_regular_file();
  EXPECT_EQ(received, 4u);
}

TEST(SendWeb, PartialFailuresRefuseExactlyThoseInstancesWithTheirReason) {
  const std::string dir = TestDir("send_stow_partial");
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.43";
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 8;
  const std::vector<std::string> files = testsupport::WriteCtSeries(dir, spec, 3);
  const std::string uid = spec.seriesUid + ".";
  const std::string json = "{\"00081199\":{\"vr\":\"SQ\",\"Value\":[" + UidItem(uid + "1") +
                           "]},\"00081198\":{\"vr\":\"SQ\",\"Value\":[" +
                           UidItem(uid + "2", "00081197", 0xA700) + "]}}";
  StowServer server(
      "HTTP/1.1 202 Accepted\r\nContent-Type: application/dicom+json\r\n"
      "Content-Length: " +
      std::to_string(json.size()) + "\r\nConnection: close\r\n\r\n" + json);
  // The client blocks its thread; the server answers from this one's loop.
  TSendResult r;
  std::atomic<bool> done{false};
  bool all = true;
  std::thread sender([&] {
    all = SendFiles(server.Server(), files, {}, r);
    done = true;
  });
  const bool finished = testsupport::WaitUntil([&] { return done.load(); }, 30000);
  sender.join();
  ASSERT_TRUE(finished);
  EXPECT_FALSE(all);
  ASSERT_EQ(r.instances.size(), 3u) << r.why;
  EXPECT_TRUE(r.instances[0].accepted) << r.instances[0].reason;
  EXPECT_FALSE(r.instances[1].accepted);
  EXPECT_NE(r.instances[1].reason.find("0xA700"), std::string::npos) << r.instances[1].reason;
  EXPECT_NE(r.instances[1].reason.find("out of resources"), std::string::npos);
  EXPECT_FALSE(r.instances[2].accepted);
  EXPECT_NE(r.instances[2].reason.find("does not say"), std::string::npos) << r.instances[2].reason;

  // One request to {root}studies, each part the whole file as it is.
  ASSERT_EQ(server.bodies.size(), 1u);
  EXPECT_TRUE(server.heads[0].startsWith("POST /rs/studies HTTP/1.1"))
      << server.heads[0].left(80).constData();
  const qsizetype b = server.heads[0].indexOf("boundary=");
  ASSERT_GT(b, 0);
  EXPECT_NE(server.heads[0].indexOf("type=\"application/dicom\""), -1);
  QByteArray boundary = server.heads[0].mid(b + 9);
  boundary = boundary.left(boundary.indexOf('\r'));
  QByteArray expected;
  for (const std::string& f : files)
    expected += "--" + boundary + "\r\nContent-Type: application/dicom\r\n\r\n" +
                QByteArray::fromStdString(ReadAll(f)) + "\r\n";
  expected += "--" + boundary + "--\r\n";
  EXPECT_TRUE(server.bodies[0] == expected);
}

TEST_P(SendEachKind, APeerKilledMidSendLeavesTheRestUnsentWithTheReason) {
  if (!testsupport::Orthanc::Installed()) {
    if (OrthancRequired()) FAIL() << "Orthanc is not installed";
    GTEST_SKIP() << "Orthanc is not installed";
  }
  const std::string kind = GetParam();
  testsupport::Orthanc o;
  std::string why;
  ASSERT_TRUE(o.Start(TestDir("send_killed_orthanc_" + kind), {}, why)) << why;
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.44";
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 128;
  const int count = 60;
  const auto files = testsupport::WriteCtSeries(TestDir("send_killed_" + kind), spec, count);
  TSendHooks hooks;
  int done = 0;
  hooks.progress = [&](int, int, const TSendOutcome&) {
    if (++done == 1) o.Kill();
  };
  TSendResult r;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(SendFiles(kind == "dimse" ? DimseServer(o) : WebServer(o), files, hooks, r));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  ASSERT_EQ(r.instances.size(), size_t(count));
  EXPECT_EQ(done, count) << "every instance is reported";
  EXPECT_TRUE(r.instances[0].accepted);
  EXPECT_LT(r.Accepted(), count);
  EXPECT_FALSE(r.why.empty());
  const TSendOutcome& last = r.instances.back();
  EXPECT_FALSE(last.sent);
  EXPECT_EQ(last.reason, "not sent: " + r.why);
}

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
};

ToolRun Tool(const std::string& args) {
  ToolRun r;
  r.status =
      fixtures::RunCommand(std::string(TAVROLEN_DICOM_TOOL) + " " + args + " 2>/dev/null", &r.out);
  return r;
}

}  // namespace

TEST(SendCli, ExitsZeroOnlyWhenEveryInstanceWasAccepted) {
  REQUIRE_ORTHANC(o);
  const std::string dir = TestDir("send_cli");
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.45";
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 16;
  testsupport::WriteCtSeries(dir + "/ok", spec, 2);

  ToolRun ok = Tool("send '" + dir + "/ok' --server " + o->DimseAddress() + " --json");
  EXPECT_EQ(ok.status, 0) << ok.out;
  const QJsonObject report = QJsonDocument::fromJson(QByteArray::fromStdString(ok.out)).object();
  EXPECT_EQ(report["accepted"].toInt(), 2) << ok.out;
  EXPECT_EQ(report["instances"].toArray().size(), 2);

  ToolRun web = Tool("send '" + dir + "/ok' --server " + o->WebAddress() + " --user alice:secret");
  EXPECT_EQ(web.status, 0) << web.out;
  EXPECT_NE(web.out.find("accepted 2, refused 0"), std::string::npos) << web.out;

  // Nothing to send, or a refused instance: 1.
  fs::create_directories(dir + "/none");
  std::ofstream(dir + "/none/readme") << "text";
  EXPECT_EQ(Tool("send '" + dir + "/none' --server " + o->DimseAddress()).status, 1);
  EXPECT_EQ(
      Tool("send '" + dir + "/ok' --server " + o->WebAddress() + " --user alice:wrong").status, 1);
  // A wrong command line: 2.
  EXPECT_EQ(Tool("send '" + dir + "/ok'").status, 2);
  EXPECT_EQ(Tool("send --server " + o->DimseAddress()).status, 2);
  EXPECT_EQ(Tool("send '" + dir + "/ok' --server " + o->DimseAddress() + " --bogus").status, 2);
}

TEST(SendDialog, SendsOnAWorkerAndSummarisesWhatWasRefused) {
  REQUIRE_ORTHANC(o);
  const std::string dir = TestDir("send_dialog");
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.46";
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 16;
  std::vector<std::string> files = testsupport::WriteCtSeries(dir, spec, 2);
  std::ofstream(dir + "/notes") << "text";
  files.push_back(dir + "/notes");
  TPacsServer refusing = DimseServer(*o);
  refusing.name = "nobody listens";
  refusing.port = testsupport::FreeLoopbackPort();
  auto* dialog = new TSendDialog(nullptr, files, "series 1 CT", {refusing, DimseServer(*o)});
  dialog->setAttribute(Qt::WA_DeleteOnClose, false);
  std::unique_ptr<TSendDialog> owned(dialog);
  std::vector<bool> outcomes;
  QObject::connect(dialog, &TSendDialog::sendFinished, [&](bool all) { outcomes.push_back(all); });
  ASSERT_EQ(dialog->serverBox->count(), 2);

  dialog->sendButton->click();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return outcomes.size() == 1; }, 30000));
  EXPECT_FALSE(outcomes[0]);
  const QString refused = dialog->summary->toPlainText();
  EXPECT_TRUE(refused.startsWith("Accepted 0, refused 2.")) << refused.toStdString();
  EXPECT_TRUE(refused.contains("Cannot connect")) << refused.toStdString();
  EXPECT_TRUE(refused.contains("notes: not a DICOM file")) << refused.toStdString();

  dialog->serverBox->setCurrentIndex(1);
  dialog->sendButton->click();
  EXPECT_FALSE(dialog->sendButton->isEnabled());
  ASSERT_TRUE(testsupport::WaitUntil([&] { return outcomes.size() == 2; }, 30000));
  EXPECT_TRUE(outcomes[1]);
  EXPECT_EQ(dialog->progress->value(), 2);
  EXPECT_TRUE(dialog->summary->toPlainText().startsWith("Accepted 2, refused 0."));
}

TEST(SendListing, FoldersAndADicomDirsImagesAreListedOnceEach) {
  const std::string dir = TestDir("send_listing");
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.47";
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 8;
  const std::vector<std::string> files = testsupport::WriteCtSeries(dir + "/tmp", spec, 2);
  // A medium: file IDs of 8 upper-case characters, and a DICOMDIR naming them.
  fs::create_directories(dir + "/media/CT");
  fs::copy_file(files[0], dir + "/media/CT/IM000001");
  fs::copy_file(files[1], dir + "/media/CT/IM000002");
  ASSERT_EQ(fixtures::RunCommand("cd '" + dir + "/media' && dcmmkdir +r CT 2>&1"), 0);

  std::vector<TSendSkip> skipped;
  const std::vector<std::string> listed = ListFilesToSend(
      {dir + "/media/DICOMDIR", dir + "/media/CT", dir + "/media/CT/IM000001", dir + "/missing"},
      skipped);
  ASSERT_EQ(listed.size(), 2u) << "the DICOMDIR's images, the folder's and the file are the same";
  EXPECT_EQ(fs::path(listed[0]).filename(), "IM000001");
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].reason, "no such file or folder");
}

TEST(SendWeb, EachWayAnAnswerCanComeIsReadOrReportedInOneSentence) {
  const std::string dir = TestDir("send_stow_answers");
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.48";
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 8;
  const std::vector<std::string> files = testsupport::WriteCtSeries(dir, spec, 1);
  const std::string stored =
      "{\"00081199\":{\"vr\":\"SQ\",\"Value\":[" + UidItem(spec.seriesUid + ".1") + "]}}";
  std::string chunked;
  for (size_t at = 0; at < stored.size(); at += 40) {
    const std::string piece = stored.substr(at, 40);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", piece.size());
    chunked += std::string(size) + "\r\n" + piece + "\r\n";
  }
  struct Case {
    const char* what;
    std::string reply;
    bool accepted;
    const char* reason;  // in the instance's reason
  };
  const std::vector<Case> cases = {
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked + "0\r\n\r\n",
       true, ""},
      {"delimited by the close", "HTTP/1.1 200 OK\r\n\r\n" + stored, true, ""},
      {"after 100 Continue",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: " +
           std::to_string(stored.size()) + "\r\n\r\n" + stored,
       true, ""},
      {"a wrong password", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", false,
       "refused the user name or password"},
      {"no answer at all", "", false, "closed the connection without answering"},
      {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", false, "not an HTTP answer"},
  };
  for (const Case& c : cases) {
    StowServer server(c.reply);
    TSendResult r;
    std::atomic<bool> done{false};
    std::thread sender([&] {
      SendFiles(server.Server(), files, {}, r);
      done = true;
    });
    const bool finished = testsupport::WaitUntil([&] { return done.load(); }, 30000);
    sender.join();
    ASSERT_TRUE(finished) << c.what;
    ASSERT_EQ(r.instances.size(), 1u) << c.what;
    EXPECT_EQ(r.instances[0].accepted, c.accepted) << c.what << ": " << r.instances[0].reason;
    EXPECT_NE(r.instances[0].reason.find(c.reason), std::string::npos)
        << c.what << ": " << r.instances[0].reason;
    EXPECT_EQ(r.instances[0].reason.find('\n'), std::string::npos) << c.what;
  }
}

TEST(SendWeb, OverTlsOnlyToATrustedCertificate) {
  if (!QSslSocket::supportsSsl()) REQUIRE_OR_SKIP("Qt has no TLS backend here");
  const std::string dir = TestDir("send_tls");
  const std::string key = dir + "/key.pem", cert = dir + "/cert.pem";
  ASSERT_EQ(fixtures::RunCommand(
                "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + key + " -out " + cert +
                " -days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 2>&1"),
            0);
  testsupport::CtSliceSpec spec;
  spec.studyUid = "1.2.826.0.1.3680043.2.1125.49";
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 8;
  const std::vector<std::string> files = testsupport::WriteCtSeries(dir + "/ct", spec, 1);
  FakeWebServer server(
      [&](const std::string&) {
        return FakeWebServer::Json("{\"00081199\":{\"vr\":\"SQ\",\"Value\":[" +
                                   UidItem(spec.seriesUid + ".1") + "]}}");
      },
      cert, key);
  TPacsServer s = server.Server();
  auto send = [&] {
    TSendResult r;
    std::atomic<bool> done{false};
    std::thread sender([&] {
      SendFiles(s, files, {}, r);
      done = true;
    });
    EXPECT_TRUE(testsupport::WaitUntil([&] { return done.load(); }, 30000));
    sender.join();
    return r;
  };
  TSendResult untrusted = send();
  ASSERT_EQ(untrusted.instances.size(), 1u);
  EXPECT_NE(untrusted.why.find("secure connection"), std::string::npos) << untrusted.why;
  s.caFile = cert;
  TSendResult trusted = send();
  ASSERT_EQ(trusted.instances.size(), 1u);
  EXPECT_TRUE(trusted.instances[0].accepted) << trusted.why;
}

TEST_P(SendEachKind, ACancelLeavesTheRestUnsent) {
  REQUIRE_ORTHANC(o);
  const std::string kind = GetParam();
  testsupport::CtSliceSpec spec;
  spec.studyUid = std::string("1.2.826.0.1.3680043.2.1125.50.") + (kind == "dimse" ? "1" : "2");
  spec.seriesUid = spec.studyUid + ".1";
  spec.size = 64;
  const auto files = testsupport::WriteCtSeries(TestDir("send_cancel_" + kind), spec, 120);
  std::atomic<bool> cancel{false};
  TSendHooks hooks;
  hooks.cancel = &cancel;
  hooks.progress = [&](int, int, const TSendOutcome&) { cancel = true; };
  TSendResult r;
  EXPECT_FALSE(SendFiles(kind == "dimse" ? DimseServer(*o) : WebServer(*o), files, hooks, r));
  ASSERT_EQ(r.instances.size(), 120u);
  EXPECT_EQ(r.why, "cancelled");
  EXPECT_GE(r.Accepted(), 1);
  EXPECT_LT(r.Accepted(), 120);
  EXPECT_EQ(r.instances.back().reason, "not sent: cancelled");
}
