// tavrolen-dicom retrieve: a study or series from a PACS into a folder, by
// C-GET, C-MOVE (with --move-port) or WADO-RS. Exits 0 only when every
// instance the server announced arrived; files that arrived before a failure
// are whole and stay, nothing half-written does.
#ifdef TAVROLEN_WITH_QT

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "dicom/TempCleanup.h"
#include "net/Retrieval.h"
#include "pacs_options.h"

namespace {

std::atomic<bool> gInterrupted{false};

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom retrieve: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

int Run(const std::vector<std::string>& args) {
  cli::PacsOptions options;
  TRetrieveRequest request;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string why;
    if (cli::TakePacsOption(args, i, options, why)) {
      if (!why.empty()) return Usage(why);
      continue;
    }
    const std::string& a = args[i];
    if (a == "--study" || a == "--series" || a == "-o") {
      if (i + 1 >= args.size()) return Usage(a + " needs a value");
      const std::string& v = args[++i];
      (a == "--study" ? request.studyUid : a == "--series" ? request.seriesUid : request.dir) = v;
    } else {
      return Usage("unknown option " + a);
    }
  }
  if (request.studyUid.empty()) return Usage("--study is required");
  if (request.dir.empty()) return Usage("-o DIR is required");
  if (!IsValidUid(request.studyUid))
    return Usage("--study: \"" + request.studyUid + "\" is not a UID");
  if (!request.seriesUid.empty() && !IsValidUid(request.seriesUid))
    return Usage("--series: \"" + request.seriesUid + "\" is not a UID");
  TPacsServer server;
  std::string why;
  bool usage = false;
  if (!cli::ResolveServer(options, server, why, usage)) return usage ? Usage(why) : Fail(why);
  if (server.movePort && server.kind != TPacsKind::Dimse)
    return Usage("--move-port is for dicom:// servers");

  cli::EnsureQtCore();
  std::unique_ptr<TPacsClient> client = MakePacsClient(server);
  // Ctrl-C, TERM or HUP cancels the transfer, so the staging folder is
  // cleaned up and only whole files stay; a second one removes the staging
  // folder and ends at once.
  tempcleanup::SetGracefulFlag(&gInterrupted);
  tempcleanup::InstallHandlers();
  std::atomic<bool> finished{false};
  std::thread watcher([&] {
    while (!finished) {
      if (gInterrupted) {
        client->Cancel();
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  const TRetrieveResult r = RetrieveInto(*client, request);
  finished = true;
  watcher.join();
  if (!r.ok) return Fail(r.why);
  std::printf("%zu instances of %s retrieved into %s\n", r.stored.size(),
              request.seriesUid.empty() ? ("study " + request.studyUid).c_str()
                                        : ("series " + request.seriesUid).c_str(),
              request.dir.c_str());
  return 0;
}

cli::Register reg(
    "retrieve",
    "retrieve --server S [--servers FILE] [--calling-ae AE] [--user NAME[:PASSWORD]] "
    "--study UID [--series UID] [--move-port P] -o DIR  (writes DIR/STUDY/SERIES/SOP.dcm; "
    "C-GET, or C-MOVE to a storage SCP on port P, or WADO-RS)",
    Run);

}  // namespace

#endif
