// The servers file a user names with --servers FILE: a JSON object with a
// "servers" array (or the array itself), one object per archive:
//   {"name": "Archive", "url": "dicom://ORTHANC@pacs.example:4242",
//    "callingAe": "TAVROLEN", "movePort": 11113}
//   {"name": "Web", "url": "dicomweb+https://pacs.example/dicom-web/",
//    "user": "alice", "password": "...", "caFile": "/path/ca.pem"}
// Instead of "url": "kind" ("dimse" or "dicomweb"), "host", "port",
// "calledAe", "path", "tls". Optional everywhere: "user", "password",
// "token" (bearer), "timeout" (seconds). The program never writes it.
#pragma once

#include <string>
#include <vector>

#include "net/PacsServer.h"

// False with a reason naming the file (and the entry) when it cannot be used.
bool ReadServersFile(const std::string& path, std::vector<TPacsServer>& servers, std::string& why);
bool ParseServersJson(const std::string& json, std::vector<TPacsServer>& servers, std::string& why);
