#ifdef TAVROLEN_WITH_QT

#include "pacs_options.h"

#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>

#include "net/ServersFile.h"

namespace cli {

namespace {

bool ParseInt(const std::string& text, int lo, int hi, int& out) {
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

// Reads a password from the terminal without echo, else a line of stdin.
std::string PromptPassword(const std::string& prompt) {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  std::FILE* in = tty ? tty : stdin;
  termios saved{};
  const bool echoOff = tty && tcgetattr(fileno(tty), &saved) == 0;
  if (tty) {
    std::fprintf(tty, "%s", prompt.c_str());
    std::fflush(tty);
  }
  if (echoOff) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(fileno(tty), TCSAFLUSH, &quiet);
  }
  std::string line;
  int c;
  while ((c = std::fgetc(in)) != EOF && c != '\n') line += char(c);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (echoOff) {
    tcsetattr(fileno(tty), TCSAFLUSH, &saved);
    std::fprintf(tty, "\n");
  }
  if (tty) std::fclose(tty);
  return line;
}

}  // namespace

bool TakePacsOption(const std::vector<std::string>& args, size_t& i, PacsOptions& o,
                    std::string& why) {
  const std::string& a = args[i];
  static const char* kWithValue[] = {"--server",  "--servers", "--calling-ae", "--user",
                                     "--ca-file", "--timeout", "--move-port"};
  bool known = false;
  for (const char* k : kWithValue) known |= a == k;
  if (!known) return false;
  if (i + 1 >= args.size()) {
    why = a + " needs a value";
    return true;
  }
  const std::string& v = args[++i];
  if (a == "--server")
    o.server = v;
  else if (a == "--servers")
    o.serversFile = v;
  else if (a == "--calling-ae") {
    if (!IsValidAeTitle(v)) why = "\"" + v + "\" is not an AE title (1 to 16 characters)";
    o.callingAe = v;
  } else if (a == "--user") {
    if (v.empty() || v[0] == ':') why = "--user needs a user name";
    o.user = v;
  } else if (a == "--ca-file")
    o.caFile = v;
  else if (a == "--timeout") {
    if (!ParseInt(v, 1, 3600, o.timeout)) why = "--timeout takes 1 to 3600 seconds";
  } else if (a == "--move-port") {
    if (!ParseInt(v, 1, 65535, o.movePort)) why = "--move-port takes a port number";
  }
  return true;
}

bool ResolveServer(const PacsOptions& o, TPacsServer& server, std::string& why, bool& usage) {
  usage = false;
  if (o.server.empty()) {
    why = "--server is required";
    usage = true;
    return false;
  }
  bool found = false;
  if (!o.serversFile.empty()) {
    std::vector<TPacsServer> servers;
    if (!ReadServersFile(o.serversFile, servers, why)) return false;
    for (const TPacsServer& s : servers)
      if (s.name == o.server) {
        server = s;
        found = true;
        break;
      }
  }
  if (!found) {
    const bool looksLikeAddress = o.server.find("://") != std::string::npos;
    if (!looksLikeAddress && !o.serversFile.empty()) {
      why = "no server named \"" + o.server + "\" in " + o.serversFile;
      usage = true;
      return false;
    }
    if (!ParseServerAddress(o.server, server, why)) {
      why = "--server: " + why;
      usage = true;
      return false;
    }
  }
  if (!o.callingAe.empty()) server.callingAe = o.callingAe;
  if (o.movePort) server.movePort = o.movePort;
  if (o.timeout) server.timeoutSeconds = o.timeout;
  if (!o.caFile.empty()) server.caFile = o.caFile;
  if (!o.user.empty()) {
    const size_t colon = o.user.find(':');
    const std::string name = o.user.substr(0, colon);
    if (colon != std::string::npos) {
      server.password = o.user.substr(colon + 1);
    } else if (name != server.user || server.password.empty()) {
      server.password = PromptPassword("Password for " + name + " at " + server.Describe() + ": ");
    }
    server.user = name;
  }
  return true;
}

void EnsureQtCore() {
  if (QCoreApplication::instance()) return;
  // The tool reports each failure once, in its own words; Qt's internal
  // warnings (an abort racing a network error, say) are not for its users.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(text));
  });
  static int argc = 1;
  static char name[] = "tavrolen-dicom";
  static char* argv[] = {name, nullptr};
  // Left alive until the process ends: Qt objects may be torn down after it.
  new QCoreApplication(argc, argv);
}

}  // namespace cli

#endif
