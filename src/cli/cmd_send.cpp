// tavrolen-dicom send: files, folders or a DICOMDIR's images to a PACS, by
// C-STORE or STOW-RS, each instance as it is stored. Exits 0 only when every
// instance was accepted, 1 when any was refused or not sent, 2 on a wrong
// command line.
#ifdef TAVROLEN_WITH_QT

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "dicom/TempCleanup.h"
#include "json.h"
#include "net/PacsClient.h"
#include "net/Send.h"
#include "pacs_options.h"

namespace {

std::atomic<bool> gInterrupted{false};

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom send: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

void PrintJson(const TPacsServer& server, const TSendResult& r) {
  cli::JsonWriter w;
  w.BeginObject();
  w.Field("server", server.Describe());
  w.Field("accepted", r.Accepted());
  w.Field("refused", r.Refused());
  if (!r.why.empty()) w.Field("error", r.why);
  w.Key("instances").BeginArray();
  for (const TSendOutcome& o : r.instances) {
    w.BeginObject();
    w.Field("file", o.file);
    w.Field("sopInstanceUid", o.sopInstanceUid);
    w.Field("sopClassUid", o.sopClassUid);
    w.Field("transferSyntax", o.transferSyntax);
    w.Field("sent", o.sent);
    w.Field("accepted", o.accepted);
    w.Field("reason", o.reason);
    w.EndObject();
  }
  w.EndArray();
  w.Key("skipped").BeginArray();
  for (const TSendSkip& s : r.skipped) {
    w.BeginObject();
    w.Field("file", s.file);
    w.Field("reason", s.reason);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  std::printf("%s\n", w.str().c_str());
}

int Run(const std::vector<std::string>& args) {
  cli::PacsOptions options;
  std::vector<std::string> paths;
  bool json = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string why;
    if (cli::TakePacsOption(args, i, options, why)) {
      if (!why.empty()) return Usage(why);
      continue;
    }
    const std::string& a = args[i];
    if (a == "--json")
      json = true;
    else if (a.size() > 1 && a[0] == '-')
      return Usage("unknown option " + a);
    else
      paths.push_back(a);
  }
  if (paths.empty()) return Usage("name the files, folders or DICOMDIR to send");
  if (options.movePort) return Usage("--move-port belongs to retrieve");
  TPacsServer server;
  std::string why;
  bool usage = false;
  if (!cli::ResolveServer(options, server, why, usage)) return usage ? Usage(why) : Fail(why);

  TSendResult result;
  const std::vector<std::string> files = ListFilesToSend(paths, result.skipped);
  cli::EnsureQtCore();
  std::unique_ptr<TPacsClient> client = MakePacsClient(server);
  // Ctrl-C, TERM or HUP stops the sending; what is left is reported unsent.
  tempcleanup::SetGracefulFlag(&gInterrupted);
  tempcleanup::InstallHandlers();
  TSendHooks hooks;
  hooks.cancel = &gInterrupted;
  if (!json)
    hooks.progress = [](int done, int total, const TSendOutcome& o) {
      std::fprintf(stderr, "[%d/%d] %s %s%s%s\n", done, total, o.accepted ? "sent" : "REFUSED",
                   o.file.c_str(), o.reason.empty() ? "" : ": ", o.reason.c_str());
    };
  client->Send(files, hooks, result);

  if (json) {
    PrintJson(server, result);
  } else {
    for (const TSendSkip& s : result.skipped)
      std::fprintf(stderr, "skipped %s: %s\n", s.file.c_str(), s.reason.c_str());
    std::printf("accepted %d, refused %d (to %s)\n", result.Accepted(), result.Refused(),
                server.Describe().c_str());
    for (const TSendOutcome& o : result.instances)
      if (!o.accepted) std::printf("  refused %s: %s\n", o.file.c_str(), o.reason.c_str());
    if (!result.why.empty() && result.instances.empty())
      std::fprintf(stderr, "tavrolen-dicom send: %s\n", result.why.c_str());
  }
  return result.AllAccepted() ? 0 : 1;
}

cli::Register reg("send",
                  "send PATH... --server S [--servers FILE] [--calling-ae AE] "
                  "[--user NAME[:PASSWORD]] [--json]  (files, folders or a DICOMDIR's images, "
                  "by C-STORE or STOW-RS, each as stored; exit 0 only when all were accepted)",
                  Run);

}  // namespace

#endif
