// The options query and retrieve share: which server, as whom, and how
// long to wait. A password comes from the servers file, a prompt, or (for
// tests and scripts) --user NAME:PASSWORD.
#pragma once

#ifdef TAVROLEN_WITH_QT

#include <string>
#include <vector>

#include "net/PacsServer.h"

namespace cli {

struct PacsOptions {
  std::string server;       // --server: an address or a name in the servers file
  std::string serversFile;  // --servers
  std::string callingAe;    // --calling-ae
  std::string user;         // --user NAME or NAME:PASSWORD
  std::string caFile;       // --ca-file
  int timeout = 0;          // --timeout SECONDS
  int movePort = 0;         // --move-port (retrieve)
};

// Takes the option at args[i] (and its value) when it is one of the shared
// ones; false when it is not. A malformed value sets why.
bool TakePacsOption(const std::vector<std::string>& args, size_t& i, PacsOptions& o,
                    std::string& why);

// The server the options name, with the password resolved. False with a
// reason; usage tells a wrong command line from a server that cannot be used.
bool ResolveServer(const PacsOptions& o, TPacsServer& server, std::string& why, bool& usage);

// A QCoreApplication for the network classes, when none exists yet.
void EnsureQtCore();

}  // namespace cli

#endif
