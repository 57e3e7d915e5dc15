// tavrolen-dicom listen: a storage SCP for scripts and tests. Receives into
// DIR/STUDY/SERIES/SOP.dcm until N instances are stored, S seconds passed or
// a signal comes; a line per instance on standard output, each refusal on
// standard error.
#ifdef TAVROLEN_WITH_QT

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "dicom/TempCleanup.h"
#include "json.h"
#include "net/PacsServer.h"
#include "net/StorageListener.h"

namespace {

std::atomic<bool> gInterrupted{false};

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom listen: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

// A whole positive number that fits an int, or -1.
long ParseCount(const std::string& s) {
  if (s.empty() || s.size() > 9) return -1;
  for (char c : s)
    if (c < '0' || c > '9') return -1;
  const long v = std::stol(s);
  return v > 0 ? v : -1;
}

std::vector<std::string> SplitComma(const std::string& s) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= s.size()) {
    const size_t comma = s.find(',', start);
    const size_t end = comma == std::string::npos ? s.size() : comma;
    out.push_back(s.substr(start, end - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

int Run(const std::vector<std::string>& args) {
  TListenerConfig config;
  int count = 0, seconds = 0;
  bool json = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
      continue;
    }
    if (a != "--ae" && a != "--port" && a != "-o" && a != "--count" && a != "--seconds" &&
        a != "--allow")
      return Usage("unknown option " + a);
    if (i + 1 >= args.size()) return Usage(a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--ae") {
      config.aeTitle = v;
    } else if (a == "-o") {
      config.dir = v;
    } else if (a == "--allow") {
      for (const std::string& ae : SplitComma(v)) config.allowedCallingAes.push_back(ae);
    } else {
      const long n = ParseCount(v);
      if (n < 0 || (a == "--port" && n > 65535))
        return Usage(a + ": \"" + v + "\" is not a " +
                     (a == "--port" ? "port (1 to 65535)" : "positive whole number"));
      (a == "--port" ? config.port : a == "--count" ? count : seconds) = int(n);
    }
  }
  if (config.aeTitle.empty()) return Usage("--ae AE is required");
  if (!IsValidAeTitle(config.aeTitle))
    return Usage("--ae: \"" + config.aeTitle + "\" is not an AE title (1 to 16 characters)");
  for (const std::string& ae : config.allowedCallingAes)
    if (!IsValidAeTitle(ae)) return Usage("--allow: \"" + ae + "\" is not an AE title");
  if (config.port == 0) return Usage("--port P is required");
  if (config.dir.empty()) return Usage("-o DIR is required");
  if (count && seconds) return Usage("--count and --seconds do not go together");

  TStorageListener listener(config);
  std::mutex mutex;
  std::condition_variable wake;
  size_t stored = 0;
  listener.onStored = [&](const TStoredInstance& inst, const std::string& callingAe) {
    std::lock_guard lock(mutex);
    ++stored;
    if (!json) {
      std::printf("%s from %s\n", inst.path.c_str(), callingAe.c_str());
      std::fflush(stdout);
    }
    wake.notify_all();
  };
  listener.onLog = [](const std::string& line) {
    std::fprintf(stderr, "tavrolen-dicom listen: %s\n", line.c_str());
  };
  // The first signal ends the wait, so the listener stops and cleans up.
  tempcleanup::SetGracefulFlag(&gInterrupted);
  tempcleanup::InstallHandlers();
  std::string why;
  if (!listener.Start(why)) return Fail(why);
  if (!json) {
    std::fprintf(stderr, "tavrolen-dicom listen: listening as %s on port %d\n",
                 config.aeTitle.c_str(), config.port);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  {
    std::unique_lock lock(mutex);
    while (!gInterrupted && !(count && stored >= size_t(count)) &&
           !(seconds && std::chrono::steady_clock::now() >= deadline))
      wake.wait_for(lock, std::chrono::milliseconds(50));
  }
  // A sender that delivered the last instance gets a moment to release its
  // association, rather than seeing it broken off.
  for (int i = 0; i < 40 && !gInterrupted && listener.ActiveAssociations() > 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  listener.Stop();
  const bool shortOfCount = count && stored < size_t(count);
  if (json) {
    cli::JsonWriter w;
    w.BeginObject();
    w.Field("ae", config.aeTitle).Field("port", config.port).Field("dir", config.dir);
    w.Field("received", int64_t(listener.ReceivedCount()));
    w.Field("refused", int64_t(listener.RefusedCount()));
    w.Field("interrupted", bool(gInterrupted));
    w.Field("reasons", listener.LastReasons());
    w.EndObject();
    std::printf("%s\n", w.str().c_str());
  }
  if (shortOfCount)
    return Fail("stopped after " + std::to_string(stored) + " of " + std::to_string(count) +
                " instances");
  return 0;
}

cli::Register reg("listen",
                  "listen --ae AE --port P -o DIR [--count N | --seconds S] [--allow AE[,AE...]] "
                  "[--json]  (a storage SCP: writes DIR/STUDY/SERIES/SOP.dcm)",
                  Run);

}  // namespace

#endif
