// What the tool's writers do to the path given as output when they fail, and
// where that path is not an ordinary file: nothing the user owns is damaged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#include "pixels/codec_fixtures.h"

namespace fs = std::filesystem;

namespace {

using namespace codectest;

struct Result {
  int status = 0;
  std::string err;
};

Result Tool(const std::string& dir, const std::string& args) {
  // Beside dir, not in it (tests count what dir holds), and of this test
  // alone: tests running side by side share dir's parent.
  const std::string err = dir + ".stderr.txt";
  Result r;
  r.status = std::system(
      (std::string(TAVROLEN_DICOM_TOOL) + " " + args + " 2>" + Quote(err) + " >/dev/null").c_str());
  const Bytes text = ReadBytes(err);
  r.err.assign(text.begin(), text.end());
  return r;
}

// Exit status 1 and a reason of one line.
void ExpectOneLineFailure(const Result& r, const std::string& what) {
  ASSERT_TRUE(WIFEXITED(r.status)) << what;
  EXPECT_EQ(WEXITSTATUS(r.status), 1) << what << ": " << r.err;
  ASSERT_FALSE(r.err.empty()) << what;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << what << ": " << r.err;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

ImageSpec Grey16(int rows, int columns, int frames) {
  ImageSpec s;
  s.rows = rows;
  s.columns = columns;
  s.frames = frames;
  return s;
}

// Three lossless JPEG frames whose second claims to be baseline: the first
// decodes and is written before the second fails.
std::string DamagedMultiFrame(const std::string& dir) {
  Bytes three;
  for (int f = 0; f < 3; ++f) {
    const Bytes frame = StoredBytes(TestPicture(20, 12, 1, 16, 50 + f), 16);
    three.insert(three.end(), frame.begin(), frame.end());
  }
  const std::string multi = WriteDicom(dir, "multi", Grey16(12, 20, 3), three);
  const std::string damaged = dir + "/damaged.dcm";
  EXPECT_TRUE(RunTool("dcmcjpeg +el " + Quote(multi) + " " + Quote(damaged)));
  Bytes file = ReadBytes(damaged);
  const Bytes sof3 = {0xFF, 0xC3};
  auto at = std::search(file.begin(), file.end(), sof3.begin(), sof3.end());
  if (at != file.end()) at = std::search(at + 2, file.end(), sof3.begin(), sof3.end());
  EXPECT_NE(at, file.end());
  if (at != file.end()) at[1] = 0xC0;
  WriteBytes(damaged, file);
  return damaged;
}

struct Targets {
  std::string dir, file, link, linkTarget, fifo, device;
};

// An ordinary file, a link and its target, a FIFO and (as root) a device node
// of our own, in a folder of their own.
Targets MakeTargets(const std::string& dir) {
  Targets t;
  t.dir = dir;
  fs::create_directories(dir);
  t.file = dir + "/old.bin";
  WriteBytes(t.file, {'o', 'l', 'd'});
  t.linkTarget = dir + "/target.bin";
  WriteBytes(t.linkTarget, {'t', 'a', 'r', 'g', 'e', 't'});
  t.link = dir + "/link.bin";
  fs::create_symlink("target.bin", t.link);
  t.fifo = dir + "/pipe";
  EXPECT_EQ(mkfifo(t.fifo.c_str(), 0600), 0);
  if (geteuid() == 0 && mknod((dir + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
    t.device = dir + "/null";
  return t;
}

void ExpectUntouched(const Targets& t, const std::string& what) {
  EXPECT_TRUE(ReadBytes(t.file) == Bytes({'o', 'l', 'd'})) << what;
  EXPECT_TRUE(fs::is_symlink(t.link)) << what;
  EXPECT_EQ(fs::read_symlink(t.link), "target.bin") << what;
  EXPECT_TRUE(ReadBytes(t.linkTarget) == Bytes({'t', 'a', 'r', 'g', 'e', 't'})) << what;
  EXPECT_TRUE(fs::is_fifo(t.fifo)) << what;
  if (!t.device.empty()) {
    struct stat st {};
    ASSERT_EQ(stat(t.device.c_str(), &st), 0) << what;
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << what;
    EXPECT_EQ(st.st_rdev, makedev(1, 3)) << what;
  }
  std::set<std::string> expected = {"old.bin", "target.bin", "link.bin", "pipe"};
  if (!t.device.empty()) expected.insert("null");
  EXPECT_EQ(Names(t.dir), expected) << what << ": something was left or taken away";
}

// Opens the FIFO for reading first, so the tool's open does not wait for a
// reader, and drains it afterwards.
Bytes ThroughFifo(const std::string& fifo, const std::function<void()>& run) {
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_GE(fd, 0);
  Bytes got;
  std::atomic<bool> done{false};
  std::thread drain([&] {
    uint8_t buf[4096];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        got.insert(got.end(), buf, buf + n);
        continue;
      }
      if (n == 0 && done) break;
      std::this_thread::yield();
    }
  });
  run();
  done = true;
  drain.join();
  close(fd);
  return got;
}

TEST(CliSafeWrites, AFailedDecodeLeavesEveryKindOfOutputAsItWas) {
  const std::string dir = TestDir();
  const std::string damaged = DamagedMultiFrame(dir);
  const Targets t = MakeTargets(dir + "/targets");
  for (const std::string& out : {t.file, t.link, t.device}) {
    if (out.empty()) continue;
    ExpectOneLineFailure(Tool(dir, "decode " + Quote(damaged) + " --all-frames -o " + Quote(out)),
                         out);
    ExpectUntouched(t, out);
  }
  ThroughFifo(t.fifo, [&] {
    const Result r = Tool(dir, "decode " + Quote(damaged) + " --all-frames -o " + Quote(t.fifo));
    ExpectOneLineFailure(r, "fifo");
  });
  ExpectUntouched(t, "fifo");
  // The first frame's samples decode: the failure is the second frame's.
  EXPECT_EQ(
      Tool(dir, "decode " + Quote(damaged) + " --frame 1 -o " + Quote(dir + "/one.bin")).status, 0);
}

TEST(CliSafeWrites, WritesGoThroughLinksFifosAndStandardOutput) {
  const std::string dir = TestDir();
  Bytes pixels;
  for (int f = 0; f < 2; ++f) {
    const Bytes frame = StoredBytes(TestPicture(20, 12, 1, 16, 7 + f), 16);
    pixels.insert(pixels.end(), frame.begin(), frame.end());
  }
  const std::string good = WriteDicom(dir, "good", Grey16(12, 20, 2), pixels);
  const std::string reference = dir + "/reference.bin";
  ASSERT_EQ(Tool(dir, "decode " + Quote(good) + " --all-frames -o " + Quote(reference)).status, 0);
  const Bytes expected = ReadBytes(reference);
  ASSERT_EQ(expected.size(), 2u * 20 * 12 * 2);

  // -o - gives the same bytes on standard output.
  const std::string piped = dir + "/piped.bin";
  ASSERT_EQ(std::system((std::string(TAVROLEN_DICOM_TOOL) + " decode " + Quote(good) +
                         " --all-frames -o - >" + Quote(piped))
                            .c_str()),
            0);
  EXPECT_TRUE(ReadBytes(piped) == expected);

  const Targets t = MakeTargets(dir + "/targets");
  // An existing file is replaced whole and keeps its permissions.
  fs::permissions(t.file, fs::perms(0640));
  ASSERT_EQ(Tool(dir, "decode " + Quote(good) + " --all-frames -o " + Quote(t.file)).status, 0);
  EXPECT_TRUE(ReadBytes(t.file) == expected);
  EXPECT_EQ(fs::status(t.file).permissions(), fs::perms(0640));
  // A link stays a link to its target, which gets the bytes.
  ASSERT_EQ(Tool(dir, "decode " + Quote(good) + " --all-frames -o " + Quote(t.link)).status, 0);
  EXPECT_TRUE(fs::is_symlink(t.link));
  EXPECT_TRUE(ReadBytes(t.linkTarget) == expected);
  // A FIFO passes them on and stays; so does a device.
  const Bytes streamed = ThroughFifo(t.fifo, [&] {
    EXPECT_EQ(Tool(dir, "decode " + Quote(good) + " --all-frames -o " + Quote(t.fifo)).status, 0);
  });
  EXPECT_TRUE(streamed == expected);
  EXPECT_TRUE(fs::is_fifo(t.fifo));
  if (!t.device.empty()) {
    ASSERT_EQ(Tool(dir, "decode " + Quote(good) + " -o " + Quote(t.device)).status, 0);
    EXPECT_TRUE(fs::is_character_file(t.device));
  }
  EXPECT_EQ(Names(t.dir).size(), t.device.empty() ? 4u : 5u);
}

// Runs command in a private mount namespace on a small tmpfs mounted at dir
// (read-only when asked), and lists what dir holds afterwards (the mount is
// gone once the namespace ends). False when this machine cannot do that.
bool InSmallTmpfs(const std::string& dir, bool readOnly, const std::string& command, Result& r,
                  std::set<std::string>& left) {
  if (geteuid() != 0 || std::system("command -v unshare >/dev/null 2>&1") != 0) return false;
  fs::create_directories(dir);
  const std::string listing = dir + ".list", err = dir + ".err";
  // Qt wants a private runtime folder, or it says so on standard error.
  const std::string runtime = dir + ".runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  std::string script = "export XDG_RUNTIME_DIR=" + Quote(runtime) +
                       "; mount -t tmpfs -o size=4k,mode=0755 tavrolen-test " + Quote(dir) +
                       " || exit 99; ";
  if (readOnly) script += "mount -o remount,ro " + Quote(dir) + " || exit 99; ";
  script += command + " 2>" + Quote(err) + " >/dev/null; s=$?; ls -A " + Quote(dir) + " >" +
            Quote(listing) + "; exit $s";
  const int status =
      std::system(("unshare -m --propagation private sh -c " + Quote(script)).c_str());
  if (WIFEXITED(status) && WEXITSTATUS(status) == 99) return false;
  r.status = status;
  const Bytes text = ReadBytes(err);
  r.err.assign(text.begin(), text.end());
  left.clear();
  const Bytes names = ReadBytes(listing);
  std::string name;
  for (uint8_t c : names) {
    if (c == '\n') {
      if (!name.empty()) left.insert(name);
      name.clear();
    } else {
      name += char(c);
    }
  }
  return true;
}

TEST(CliSafeWrites, EveryWriterRefusesABadOutputWithOneLineAndLeavesNothing) {
  const std::string dir = TestDir();
  // Large enough not to fit a 4 KiB file system.
  const std::string big =
      WriteDicom(dir, "big", Grey16(200, 200, 1), StoredBytes(TestPicture(200, 200, 1, 16, 4), 16));
  const std::string tool = TAVROLEN_DICOM_TOOL;
  struct Writer {
    std::string name;
    std::function<std::string(const std::string& out)> command;
  };
  const std::vector<Writer> writers = {
      {"decode", [&](const std::string& o) { return "decode " + Quote(big) + " -o " + Quote(o); }},
      {"render png",
       [&](const std::string& o) { return "render " + Quote(big) + " -o " + Quote(o + ".png"); }},
      {"render jpg",
       [&](const std::string& o) { return "render " + Quote(big) + " -o " + Quote(o + ".jpg"); }},
      {"reformat",
       [&](const std::string& o) {
         return "reformat " + Quote(dir) + " --plane axial --index 0 -o " + Quote(o);
       }},
      {"make-demo", [&](const std::string& o) { return "make-demo " + Quote(o); }},
  };
  const std::string folder = dir + "/folder";
  fs::create_directories(folder);
  for (const Writer& w : writers) {
    // A folder that does not exist, and a folder given as the output file
    // (make-demo writes into a folder and makes it).
    if (w.name != "make-demo") {
      ExpectOneLineFailure(Tool(dir, w.command(dir + "/missing/sub/out")), w.name + ", no folder");
      EXPECT_FALSE(fs::exists(dir + "/missing")) << w.name;
      const std::string out = w.name.rfind("render", 0) == 0 ? folder + "/x" : folder;
      if (out != folder) fs::create_directories(out + (w.name == "render png" ? ".png" : ".jpg"));
      ExpectOneLineFailure(Tool(dir, w.command(out)), w.name + ", a folder");
    }
    // A read-only folder and a full disk (reformat writes through the same
    // path as decode, and needs a whole series to get there).
    for (const bool readOnly : {true, false}) {
      if (w.name == "reformat") break;
      const std::string mount =
          dir + "/mnt-" + std::to_string(&w - writers.data()) + (readOnly ? "-ro" : "-full");
      Result r;
      std::set<std::string> left;
      if (!InSmallTmpfs(mount, readOnly, tool + " " + w.command(mount + "/out"), r, left)) {
        if (&w == writers.data() && readOnly)
          std::printf("note: no private mount namespace here; read-only and full disks untested\n");
        continue;
      }
      const std::string what = w.name + (readOnly ? ", read-only" : ", full disk");
      ExpectOneLineFailure(r, what);
      EXPECT_TRUE(left.empty()) << what << " left " << *left.begin();
    }
  }
}

}  // namespace
