// tavrolen-dicom query and retrieve as a user runs them against Orthanc:
// the JSON and exit codes scripts rely on, and passwords kept out of the
// process list.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <thread>

#include "pacs_fixture.h"
#include "support/fixtures.h"
#include "support/paths.h"

extern char** environ;
namespace fs = std::filesystem;
using namespace pacstest;

namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

ToolRun Tool(const std::string& args, const std::string& input = "") {
  const std::string dir = TestDir("cli_run");
  const std::string errFile = dir + "/stderr.txt";
  std::string command = std::string(TAVROLEN_DICOM_TOOL) + " " + args + " 2>'" + errFile + "'";
  if (!input.empty()) command = "printf '%s\\n' '" + input + "' | setsid -w " + command;
  ToolRun r;
  r.status = fixtures::RunCommand(command, &r.out);
  std::ifstream f(errFile);
  r.err.assign(std::istreambuf_iterator<char>(f), {});
  return r;
}

QJsonArray JsonRows(const ToolRun& r) {
  QJsonParseError e{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &e);
  EXPECT_EQ(e.error, QJsonParseError::NoError) << r.out;
  EXPECT_TRUE(doc.isArray()) << r.out;
  return doc.array();
}

std::string WebArgs(const testsupport::Orthanc& o) {
  return "--server " + o.WebAddress() + " --user alice:secret";
}
std::string DimseArgs(const testsupport::Orthanc& o) {
  return "--server " + o.DimseAddress();
}

}  // namespace

TEST(PacsCli, QueryPrintsTrimmedJsonKeyedByKeyword) {
  REQUIRE_ORTHANC(o);
  for (const std::string& server : {DimseArgs(*o), WebArgs(*o)}) {
    SCOPED_TRACE(server);
    ToolRun r = Tool("query " + server + " --level study -k PatientID=PACS-1 --json");
    ASSERT_EQ(r.status, 0) << r.err;
    QJsonArray rows = JsonRows(r);
    ASSERT_EQ(rows.size(), 1);
    QJsonObject study = rows[0].toObject();
    EXPECT_EQ(study["StudyInstanceUID"].toString().toStdString(), kStudyA);
    EXPECT_EQ(study["PatientID"].toString(), "PACS-1");
    EXPECT_EQ(study["PatientName"].toString(), "PACS^TEST");
    EXPECT_EQ(study["NumberOfStudyRelatedInstances"].toString(), "6");
    EXPECT_EQ(study["StudyDescription"].toString(), "CHEST");  // written padded, printed trimmed

    r = Tool("query " + server + " --level patient -k PatientName=PACS* --json");
    ASSERT_EQ(r.status, 0) << r.err;
    rows = JsonRows(r);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].toObject()["NumberOfPatientRelatedStudies"].toString(), "1");

    r = Tool("query " + server + " --level series -k StudyInstanceUID=" + kStudyA + " --json");
    ASSERT_EQ(r.status, 0) << r.err;
    rows = JsonRows(r);
    ASSERT_EQ(rows.size(), 2);
    for (const QJsonValue& v : rows) {
      const QJsonObject s = v.toObject();
      EXPECT_EQ(s["NumberOfSeriesRelatedInstances"].toString(),
                s["SeriesInstanceUID"].toString().toStdString() == kSeriesA1 ? "4" : "2");
    }

    r = Tool("query " + server + " --level instance -k StudyInstanceUID=" + kStudyA +
             " -k SeriesInstanceUID=" + kSeriesA2 + " -k 0020,0013 --json");
    ASSERT_EQ(r.status, 0) << r.err;
    rows = JsonRows(r);
    ASSERT_EQ(rows.size(), 2);
    std::set<std::string> sops, expected;
    for (const QJsonValue& v : rows)
      sops.insert(v.toObject()["SOPInstanceUID"].toString().toStdString());
    for (const Uploaded& u : UploadedOf(kStudyA, kSeriesA2)) expected.insert(u.sopUid);
    EXPECT_EQ(sops, expected);
    EXPECT_TRUE(rows[0].toObject().contains("InstanceNumber"));

    // Without --json: a table with a header line.
    r = Tool("query " + server + " --level study -k PatientID=PACS-1");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("StudyInstanceUID", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(kStudyA), std::string::npos);
  }
}

TEST(PacsCli, RetrieveWritesEveryInstanceByEachMeans) {
  REQUIRE_ORTHANC(o);
  const std::vector<std::pair<std::string, std::string>> ways = {
      {"c-get", DimseArgs(*o)},
      {"c-move", DimseArgs(*o) + " --move-port " + std::to_string(o->MovePort())},
      {"wado-rs", WebArgs(*o)},
  };
  std::vector<std::string> expected;
  for (const Uploaded& u : UploadedOf(kStudyA))
    expected.push_back(u.studyUid + "/" + u.seriesUid + "/" + u.sopUid + ".dcm");
  std::sort(expected.begin(), expected.end());
  for (const auto& [way, server] : ways) {
    const std::string dir = TestDir("cli_retrieve_" + way);
    const ToolRun r = Tool("retrieve " + server + " --study " + kStudyA + " -o " + dir);
    EXPECT_EQ(r.status, 0) << way << ": " << r.err;
    EXPECT_EQ(FilesUnder(dir), expected) << way;
  }
  // One series.
  const std::string dir = TestDir("cli_retrieve_series");
  const ToolRun r = Tool("retrieve " + DimseArgs(*o) + " --study " + kStudyA + " --series " +
                         kSeriesA1 + " -o " + dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FilesUnder(dir).size(), 4u);
}

TEST(PacsCli, FailuresExitOneWithOneLineAndLeaveNothing) {
  REQUIRE_ORTHANC(o);
  const std::string port = std::to_string(o->DicomPort());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"--server dicom://WRONG@127.0.0.1:" + port, "AE title \"WRONG\""},
      {DimseArgs(*o) + " --calling-ae STRANGER", "STRANGER"},
      {"--server " + o->WebAddress() + " --user alice:nope", "user name or password"},
      {"--server dicom://ORTHANC@127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort()),
       "refused"},
  };
  for (const auto& [server, reason] : cases) {
    const std::string dir = TestDir("cli_fail");
    const ToolRun r = Tool("retrieve " + server + " --study " + kStudyA + " -o " + dir);
    EXPECT_EQ(r.status, 1) << server;
    EXPECT_EQ(r.err.rfind("tavrolen-dicom retrieve: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("nope"), std::string::npos) << r.err;
    EXPECT_TRUE(FilesUnder(dir).empty()) << server;
    const ToolRun q = Tool("query " + server + " --level study");
    EXPECT_EQ(q.status, 1) << server;
    EXPECT_NE(q.err.find(reason), std::string::npos) << q.err;
  }
}

TEST(PacsCli, AWrongCommandLineExitsTwo) {
  const std::string s = "--server dicom://A@127.0.0.1:104";
  for (const std::string& args : std::vector<std::string>{
           "query " + s,  // no level
           "query " + s + " --level everything",
           "query " + s + " --level study -k NoSuchKeyword=1",
           std::string("query --server http://host/ --level study"),
           "query --level study",                             // no server
           "retrieve " + s + " -o /tmp/x",                    // no study
           "retrieve " + s + " --study 1.2.3",                // no folder
           "retrieve " + s + " --study ../../etc -o /tmp/x",  // not a UID
           "retrieve --server dicomweb+http://h/ --move-port 4000 --study 1.2 -o /tmp/x",
           "retrieve " + s + " --study 1.2 -o /tmp/x --move-port 99999",
       }) {
    const ToolRun r = Tool(args);
    EXPECT_EQ(r.status, 2) << args << ": " << r.err;
    EXPECT_FALSE(r.err.empty()) << args;
  }
}

TEST(PacsCli, PasswordsStayOutOfTheProcessList) {
  // A server that accepts connections and never answers keeps the tool
  // running while its command line is read.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const std::string address =
      "dicomweb+http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/";
  std::vector<std::string> args = {
      TAVROLEN_DICOM_TOOL, "query",   "--server", address,     "--user",
      "alice:TopSecret42", "--level", "study",    "--timeout", "3"};
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  // The tool hides the password as soon as it starts: looked at until then
  // (or until it ends: an empty command line).
  std::string cmdline;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline");
    cmdline.assign(std::istreambuf_iterator<char>(f), {});
  } while (
      (cmdline.find("alice:") == std::string::npos || cmdline.find("Top") != std::string::npos) &&
      !cmdline.empty() && std::chrono::steady_clock::now() < deadline);
  EXPECT_NE(cmdline.find("alice:"), std::string::npos);
  EXPECT_EQ(cmdline.find("TopSecret42"), std::string::npos);
  int status = 0;
  waitpid(pid, &status, 0);
  close(listener);
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(PacsCli, APasswordCanComeFromAServersFileOrAPrompt) {
  REQUIRE_ORTHANC(o);
  const std::string dir = TestDir("cli_servers_file");
  const std::string json = "{\"servers\": [{\"name\": \"web\", \"url\": \"" + o->WebAddress() +
                           "\", \"user\": \"alice\", \"password\": \"secret\"}]}";
  const std::string file =
      fixtures::WriteFile(dir, "servers.json", fixtures::Bytes(json.begin(), json.end()));
  ToolRun r =
      Tool("query --servers " + file + " --server web --level study -k PatientID=PACS-1 --json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(JsonRows(r).size(), 1);
  // --user NAME alone asks; without a terminal the answer is read from stdin.
  r = Tool("query --server " + o->WebAddress() +
               " --user alice --level study -k PatientID=PACS-1 --json",
           "secret");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(JsonRows(r).size(), 1);
  r = Tool("query --servers " + file + " --server nosuch --level study");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no server named"), std::string::npos) << r.err;
}
