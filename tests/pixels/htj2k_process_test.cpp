// The HTJ2K decoder process: one per decoding thread, kept across frames,
// replaced when it crashes, hangs or is killed, with OpenJPEG decoding the
// frame meanwhile; never a zombie left behind.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "codec_fixtures.h"
#include "pixels/codecs/DecoderProcess.h"
#include "pixels/codecs/OpenJph.h"

namespace {

using namespace codectest;

constexpr int kW = 64, kH = 40;

// Lossless 16-bit grey code streams of OpenJPH's own encoder, with the
// samples they hold (little-endian words, as the frame comes out).
struct Stream {
  Bytes code, samples;
};

Stream Encode(const std::string& dir, int seed) {
  const auto picture = TestPicture(kW, kH, 1, 16, seed);
  std::string pgm = "P5\n" + std::to_string(kW) + " " + std::to_string(kH) + "\n65535\n";
  Bytes b(pgm.begin(), pgm.end());
  for (uint16_t v : picture) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
  }
  WriteBytes(dir + "/in.pgm", b);
  EXPECT_TRUE(RunTool("ojph_compress -i " + Quote(dir + "/in.pgm") + " -o " +
                      Quote(dir + "/f.j2c") + " -reversible true"));
  return {ReadBytes(dir + "/f.j2c"), StoredBytes(picture, 16)};
}

FrameSpec Grey16() {
  FrameSpec s;
  s.columns = kW;
  s.rows = kH;
  s.bitsAllocated = s.bitsStored = 16;
  return s;
}

struct Result {
  bool ok;
  std::string why;
  Bytes samples;
};

Result Decode(const Bytes& code) {
  const FrameSpec spec = Grey16();
  Result r{false, {}, Bytes(size_t(NativeFrameBytes(spec)))};
  CodecOutput o;
  o.data = r.samples.data();
  o.size = r.samples.size();
  r.ok = DecodeHtj2kFrame(code.data(), code.size(), spec, o);
  r.why = o.why;
  return r;
}

// Children of this process (of other threads too) and how many of them are
// zombies.
std::set<long> Children(int* zombies) {
  std::set<long> children;
  *zombies = 0;
  DIR* proc = opendir("/proc");
  if (!proc) return children;
  while (dirent* e = readdir(proc)) {
    std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // pid (comm) state ppid ...: comm may hold spaces, so read after its ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    if (sscanf(line.c_str() + close + 1, " %c %ld", &state, &ppid) != 2) continue;
    if (ppid != getpid()) continue;
    children.insert(std::atol(e->d_name));
    if (state == 'Z') ++*zombies;
  }
  closedir(proc);
  return children;
}

std::string Script(const std::string& dir, const std::string& name, const std::string& body) {
  const std::string path = dir + "/" + name;
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  EXPECT_EQ(chmod(path.c_str(), 0755), 0);
  return path;
}

TEST(Htj2kProcess, GoodStreamsDecodeExactlyBesideOnesThatCrashOrHangTheDecoder) {
  const std::string dir = TestDir();
  const Stream a = Encode(dir, 1), b = Encode(dir, 2);
  // A stream OpenJPH trips an assertion on (24 x 20, found by fuzzing), and
  // one cut in its main header: neither decodes anywhere.
  const Bytes damaged = [] {
    Bytes f = ReadBytes(std::string(TAVROLEN_SOURCE_DIR) + "/fuzz/corpus/htj2k/openjpeg_ht_assert");
    return Bytes(f.begin() + 4, f.end());
  }();
  const Bytes cut(a.code.begin(), a.code.begin() + 20);
  // Stand-ins for a decoder that dies on its input and one that never answers.
  const std::string crashes = Script(dir, "crashes", "kill -SEGV $$");
  const std::string hangs = Script(dir, "hangs", "exec sleep 60");

  int zombies = 0;
  const std::set<long> before = Children(&zombies);
  // All of it on a thread of its own, whose decoder process goes with it.
  std::thread worker([&] {
    Result r = Decode(a.code);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.samples == a.samples);
    const pid_t first = codecs::JobProcessId();
    EXPECT_GT(first, 0);
    r = Decode(b.code);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.samples == b.samples);
    EXPECT_EQ(codecs::JobProcessId(), first) << "one process serves the thread's frames";
    EXPECT_EQ(codecs::JobProcessStarts(), 1);

    for (const Bytes* bad : {&damaged, &cut}) {
      r = Decode(*bad);
      EXPECT_FALSE(r.ok);
      EXPECT_FALSE(r.why.empty());
    }

    // A decoder that crashes: OpenJPEG decodes the good frame instead and
    // still gives the bad one's reason.
    setenv("TAVROLEN_HTJ2K_DECODER", crashes.c_str(), 1);
    r = Decode(a.code);
    EXPECT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.samples == a.samples);
    EXPECT_EQ(codecs::JobProcessId(), 0) << "the crashed process is reaped";
    r = Decode(damaged);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.why.empty());

    // One that hangs is cut off after its time (a second and a bit here).
    setenv("TAVROLEN_HTJ2K_DECODER", hangs.c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    r = Decode(b.code);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.samples == b.samples);
    EXPECT_EQ(codecs::JobProcessId(), 0) << "the hung process is killed and reaped";
    unsetenv("TAVROLEN_HTJ2K_DECODER");

    // The real decoder again; killed from outside, it is replaced.
    r = Decode(a.code);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.samples == a.samples);
    const pid_t again = codecs::JobProcessId();
    ASSERT_GT(again, 0);
    const int starts = codecs::JobProcessStarts();
    kill(again, SIGKILL);
    r = Decode(b.code);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.samples == b.samples);
    // The dead one's job fails over to OpenJPEG; the next frame gets a new process.
    r = Decode(a.code);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.samples == a.samples);
    EXPECT_GT(codecs::JobProcessId(), 0);
    EXPECT_NE(codecs::JobProcessId(), again);
    EXPECT_GT(codecs::JobProcessStarts(), starts);

    std::set<long> now = Children(&zombies);
    for (long pid : before) now.erase(pid);
    EXPECT_EQ(now, std::set<long>{long(codecs::JobProcessId())}) << "only the live decoder";
    EXPECT_EQ(zombies, 0);
  });
  worker.join();
  EXPECT_EQ(Children(&zombies), before) << "the thread's decoder left with it";
  EXPECT_EQ(zombies, 0);
}

TEST(Htj2kProcess, EachThreadHasItsOwnDecoder) {
  const std::string dir = TestDir();
  const Stream a = Encode(dir, 3);
  pid_t pids[2] = {0, 0};
  bool same[2] = {false, false};
  std::thread threads[2];
  for (int t = 0; t < 2; ++t) {
    threads[t] = std::thread([&, t] {
      for (int i = 0; i < 20; ++i) {
        const Result r = Decode(a.code);
        if (!r.ok || r.samples != a.samples) return;
      }
      pids[t] = codecs::JobProcessId();
      same[t] = codecs::JobProcessStarts() == 1;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_GT(pids[0], 0);
  EXPECT_GT(pids[1], 0);
  EXPECT_NE(pids[0], pids[1]);
  EXPECT_TRUE(same[0] && same[1]) << "twenty frames, one process per thread";
}

}  // namespace
