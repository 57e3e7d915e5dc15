#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "dicom/SafeOutput.h"
#include "dicom/TempCleanup.h"
#include "support/paths.h"

namespace fs = std::filesystem;

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::string FreshDir(const std::string& name) {
  const std::string dir = testsupport::TempDir(name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

TEST(SafeOutput, ReplacesOnlyOnCommitAndLeavesNoTemporaryFile) {
  const std::string dir = FreshDir("safe-output-replace");
  const std::string target = dir + "/out.bin";
  std::string why;

  // A new file appears only when complete, with the umask's permissions.
  {
    TSafeOutput out;
    ASSERT_TRUE(out.Open(target, why)) << why;
    ASSERT_TRUE(out.Write("first", why)) << why;
    EXPECT_FALSE(fs::exists(target));
    ASSERT_TRUE(out.Commit(why)) << why;
  }
  EXPECT_EQ(Slurp(target), "first");
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(fs::status(target).permissions(), fs::perms((0666 & ~mask) & 0777));

  // Abandoned, or dropped without a commit: the old bytes stay.
  {
    TSafeOutput out;
    ASSERT_TRUE(out.Open(target, why)) << why;
    ASSERT_TRUE(out.Write("second, never committed", why));
    out.Abandon();
  }
  {
    TSafeOutput out;
    ASSERT_TRUE(out.Open(target, why)) << why;
    ASSERT_TRUE(out.Write("third, dropped", why));
  }
  EXPECT_EQ(Slurp(target), "first");
  EXPECT_EQ(Names(dir), std::set<std::string>{"out.bin"});

  // A replacement keeps the old file's permissions.
  fs::permissions(target, fs::perms(0640));
  ASSERT_TRUE(WriteFileSafely(target, std::string_view("fourth"), why)) << why;
  EXPECT_EQ(Slurp(target), "fourth");
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
  EXPECT_EQ(Names(dir), std::set<std::string>{"out.bin"});
}

TEST(SafeOutput, FollowsLinksAndWritesDevicesAndFifosInPlace) {
  const std::string dir = FreshDir("safe-output-kinds");
  std::string why;

  // A link stays a link; its target gets the bytes, or keeps its own.
  Put(dir + "/target.bin", "target");
  fs::create_symlink("target.bin", dir + "/link.bin");
  {
    TSafeOutput out;
    ASSERT_TRUE(out.Open(dir + "/link.bin", why)) << why;
    ASSERT_TRUE(out.Write("lost", why));
  }
  EXPECT_TRUE(fs::is_symlink(dir + "/link.bin"));
  EXPECT_EQ(Slurp(dir + "/target.bin"), "target");
  ASSERT_TRUE(WriteFileSafely(dir + "/link.bin", std::string_view("through"), why)) << why;
  EXPECT_TRUE(fs::is_symlink(dir + "/link.bin"));
  EXPECT_EQ(Slurp(dir + "/target.bin"), "through");
  // A link to nothing makes its target, as a shell redirect would.
  fs::create_symlink("made.bin", dir + "/dangling.bin");
  ASSERT_TRUE(WriteFileSafely(dir + "/dangling.bin", std::string_view("made"), why)) << why;
  EXPECT_TRUE(fs::is_symlink(dir + "/dangling.bin"));
  EXPECT_EQ(Slurp(dir + "/made.bin"), "made");

  // A FIFO gets the bytes in place and stays a FIFO, failed or not.
  const std::string fifo = dir + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = Slurp(fifo); });
  {
    TSafeOutput out;
    ASSERT_TRUE(out.Open(fifo, why)) << why;
    EXPECT_TRUE(out.InPlace());
    ASSERT_TRUE(out.Write("streamed", why));
    out.Abandon();
  }
  reader.join();
  EXPECT_EQ(received, "streamed");
  EXPECT_TRUE(fs::is_fifo(fifo));

  // A character device is written, never replaced (root can make one here;
  // otherwise the system's own /dev/null stands in).
  std::string device = "/dev/null";
  if (geteuid() == 0 && mknod((dir + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
    device = dir + "/null";
  struct stat before {};
  ASSERT_EQ(stat(device.c_str(), &before), 0);
  {
    TSafeOutput out;
    ASSERT_TRUE(out.Open(device, why)) << why;
    ASSERT_TRUE(out.Write("discarded", why));
    out.Abandon();
  }
  ASSERT_TRUE(WriteFileSafely(device, std::string_view("discarded"), why)) << why;
  struct stat after {};
  ASSERT_EQ(stat(device.c_str(), &after), 0);
  EXPECT_TRUE(S_ISCHR(after.st_mode));
  EXPECT_EQ(after.st_rdev, before.st_rdev);
  EXPECT_EQ(after.st_ino, before.st_ino);

  EXPECT_EQ(Names(dir).count(".target.bin"), 0u);
  for (const std::string& n : Names(dir)) EXPECT_EQ(n.find(".tavrolen-"), std::string::npos) << n;
}

TEST(SafeOutput, RefusesFoldersAndMissingFoldersWithTheirReason) {
  const std::string dir = FreshDir("safe-output-refusals");
  std::string why;
  TSafeOutput out;
  EXPECT_FALSE(out.Open(dir, why));
  EXPECT_NE(why.find("is a folder"), std::string::npos) << why;
  EXPECT_FALSE(CheckOutputPath(dir + "/no/such/out.bin", why));
  EXPECT_NE(why.find("does not exist"), std::string::npos) << why;
  EXPECT_FALSE(out.Open(dir + "/no/such/out.bin", why));
  Put(dir + "/plain", "x");
  EXPECT_FALSE(out.Open(dir + "/plain/out.bin", why));
  EXPECT_NE(why.find("not a folder"), std::string::npos) << why;
  EXPECT_FALSE(out.Open("", why));
  EXPECT_TRUE(CheckOutputPath("-", why));
  EXPECT_EQ(Names(dir), std::set<std::string>{"plain"});
  if (geteuid() != 0) {  // root writes in a read-only folder all the same
    fs::create_directory(dir + "/ro");
    fs::permissions(dir + "/ro", fs::perms(0555));
    EXPECT_FALSE(out.Open(dir + "/ro/out.bin", why));
    EXPECT_NE(why.find("permission denied"), std::string::npos) << why;
    fs::permissions(dir + "/ro", fs::perms(0755));
  }
}

TEST(TempCleanup, RemovesTreesWithoutFollowingLinksAndSweepsOnlyDeadOwners) {
  const std::string dir = FreshDir("temp-cleanup");
  // A tree with a link out of it: the link goes, what it points to stays.
  fs::create_directories(dir + "/outside");
  Put(dir + "/outside/keep", "keep");
  fs::create_directories(dir + "/tree/a/b/c");
  for (int i = 0; i < 300; ++i) Put(dir + "/tree/a/f" + std::to_string(i), "x");
  Put(dir + "/tree/a/b/c/deep", "x");
  fs::create_directory_symlink(dir + "/outside", dir + "/tree/a/link");
  EXPECT_TRUE(tempcleanup::RemoveTreeNoAlloc((dir + "/tree").c_str()));
  EXPECT_FALSE(fs::exists(dir + "/tree"));
  EXPECT_EQ(Slurp(dir + "/outside/keep"), "keep");

  // A child that has ended leaves a folder named for its pid.
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  const std::string dead = dir + "/tav-" + std::to_string(child) + "-abc";
  const std::string mine = dir + "/tav-" + std::to_string(getpid()) + "-abc";
  const std::string init = dir + "/tav-1-abc";
  const std::string other = dir + "/tavx-" + std::to_string(child) + "-abc";
  for (const auto& d : {dead, mine, init, other}) fs::create_directories(d + "/sub");
  EXPECT_EQ(tempcleanup::RemoveStaleTempFolders(dir, "tav"), 1);
  EXPECT_FALSE(fs::exists(dead));
  EXPECT_TRUE(fs::exists(mine));
  EXPECT_TRUE(fs::exists(init));
  EXPECT_TRUE(fs::exists(other));

  // TTempFolder names itself for the sweep and removes itself.
  std::string why, path;
  {
    tempcleanup::TTempFolder t;
    ASSERT_TRUE(t.Create(dir, "owned", why)) << why;
    path = t.Path();
    EXPECT_EQ(path.rfind(dir + "/owned-" + std::to_string(getpid()) + "-", 0), 0u) << path;
    Put(path + "/file", "x");
  }
  EXPECT_FALSE(fs::exists(path));
}

// Each of SIGINT, SIGTERM and SIGHUP removes the registered folder and the
// temporary file of an unfinished write, and still ends the process by that
// signal.
TEST(TempCleanup, SignalsRemoveTemporaryFilesAndFolders) {
  const std::string dir = FreshDir("temp-cleanup-signals");
  Put(dir + "/out.bin", "old");
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      tempcleanup::TTempFolder folder;
      std::string why;
      TSafeOutput out;
      if (!folder.Create(dir, "sig", why) || !out.Open(dir + "/out.bin", why) ||
          !out.Write("new", why))
        _exit(3);
      std::ofstream(folder.Path() + "/inner") << "x";
      if (write(ready[1], "r", 1) != 1) _exit(4);
      for (;;) pause();
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    kill(child, sig);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << sig << " status " << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(Names(dir), std::set<std::string>{"out.bin"}) << "signal " << sig;
    EXPECT_EQ(Slurp(dir + "/out.bin"), "old");
  }
}

}  // namespace
