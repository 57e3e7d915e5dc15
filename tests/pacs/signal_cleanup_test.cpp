// A retrieve ended by a signal leaves no temporary or staging folder: the
// viewer's folder of retrieved files goes with SIGTERM, and the tool's staging
// folder goes whether the signal lets it cancel or comes twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTcpServer>
#include <QThread>
#include <QTreeWidget>
#include <filesystem>
#include <thread>

#include "app/PacsForm.h"
#include "app/window_fixture.h"
#include "net/PacsServer.h"
#include "support/paths.h"

extern char** environ;
namespace fs = std::filesystem;

namespace {

constexpr const char* kStudy = "1.2.826.0.1.3680043.2.1125.99";

// A DICOMweb address that accepts connections and never answers, so a
// retrieve from it stays under way until it is cancelled or killed.
TPacsServer SilentServer(const QTcpServer& silent) {
  TPacsServer s;
  std::string why;
  ParseServerAddress("dicomweb+http://127.0.0.1:" + std::to_string(silent.serverPort()) + "/rs/", s,
                     why);
  s.timeoutSeconds = 60;
  return s;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename());
  return names;
}

bool WaitFor(const std::function<bool()>& cond, int ms) {
  QElapsedTimer t;
  t.start();
  while (!cond()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(5);
  }
  return true;
}

class PacsSignals : public apptest::AppTest {};

}  // namespace

TEST_F(PacsSignals, SigtermDuringAViewerRetrieveLeavesNoTemporaryFolder) {
  QTcpServer silent;
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
  const std::string tmp = testsupport::TempDir("pacs_signal_tmp");
  // A folder a crashed run left (its process is gone) is swept at the next start.
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string stale = tmp + "/" + kPacsTempPrefix + "-" + std::to_string(gone) + "-abcdef";
  fs::create_directories(stale + "/1.2.3");

  // The child is this process as it stands, with the window up: it starts a
  // retrieve into the temporary folder and is killed once the folder is there.
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        setenv("TMPDIR", tmp.c_str(), 1);
        tempcleanup::InstallHandlers();
        EXPECT_EQ(tempcleanup::RemoveStaleTempFolders(tmp, kPacsTempPrefix), 1);
        TPacsForm* pacs = new TPacsForm(form.get());
        form->PacsForm = pacs;
        pacs->SetServers({SilentServer(silent)});
        auto* row = new QTreeWidgetItem(pacs->resultsList);
        row->setData(0, Qt::UserRole, QString(kStudy));
        pacs->resultsList->setCurrentItem(row);
        row->setSelected(true);
        pacs->retrieveButton->click();
        // The kill comes from another thread, whatever the window's thread is doing.
        std::thread([tmp] {
          for (int i = 0; i < 3000 && Entries(tmp).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          std::fprintf(stderr, "retrieving into %zu folder(s)\n", Entries(tmp).size());
          kill(getpid(), SIGTERM);
        }).detach();
        WaitFor([] { return false; }, 60000);
        std::_Exit(0);
      },
      testing::KilledBySignal(SIGTERM), "retrieving into 1 folder");
  EXPECT_TRUE(Entries(tmp).empty()) << "left: " << Entries(tmp).front();
}

// The tool cancels on the first signal and says so; a second signal while
// it cancels ends it at once. Either way only DIR's whole files stay.
TEST(PacsCliSignals, SignalsDuringARetrieveLeaveNoStagingFolder) {
  QTcpServer silent;
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
  const std::string url = "dicomweb+http://127.0.0.1:" + std::to_string(silent.serverPort()) + "/";
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    const std::string dir = testsupport::TempDir("pacs_signal_cli");
    std::vector<std::string> args = {TAVROLEN_DICOM_TOOL, "retrieve", "--server", url,
                                     "--study",           kStudy,     "-o",       dir,
                                     "--timeout",         "60"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    ASSERT_TRUE(WaitFor([&] { return !Entries(dir).empty(); }, 20000)) << "no staging folder";
    kill(pid, sig);
    if (sig == SIGHUP) kill(pid, SIGHUP);  // twice: no waiting for the cancel
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (sig == SIGHUP) {
      EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 1)) << status;
    } else {
      ASSERT_TRUE(WIFEXITED(status)) << status;
      EXPECT_EQ(WEXITSTATUS(status), 1);
    }
    EXPECT_TRUE(Entries(dir).empty()) << "left: " << Entries(dir).front();
  }
}
