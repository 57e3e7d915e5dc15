// What the network layer knows about one archive, and the names it gives to
// the levels of a query. Standard library only, so the command line, the
// viewer and the tests parse server addresses the same way.
#pragma once

#include <cstdint>
#include <string>

enum class TPacsKind { Dimse, DicomWeb };

struct TPacsServer {
  std::string name;  // as the user calls it; shown in lists and messages
  TPacsKind kind = TPacsKind::Dimse;
  std::string host;
  int port = 0;
  // DIMSE: the archive's AE title and ours. C-MOVE sends to callingAe, which
  // the archive must know with our host and movePort.
  std::string calledAe;
  std::string callingAe = "TAVROLEN";
  int movePort = 0;  // 0: retrieve by C-GET
  // DICOMweb: the service root, always ending in '/', e.g. "/dicom-web/".
  std::string path = "/";
  bool tls = false;
  std::string user;
  std::string password;     // never printed; see Describe()
  std::string bearerToken;  // DICOMweb: sent as "Authorization: Bearer" when no user is set
  std::string caFile;       // extra certificate authorities for TLS (PEM), optional
  int timeoutSeconds = 30;

  // "dicom://AE@host:port" or "dicomweb+http(s)://host:port/path/", without
  // the user or password: what messages and lists show.
  std::string Describe() const;
};

// Parses a server address as the command line takes it:
//   dicom://CALLEDAE@HOST:PORT
//   dicomweb+http://HOST[:PORT]/PATH/   (dicomweb+https:// for TLS)
// A user name and password are not taken from the address (they would show in
// the process list). False with a reason when the address is malformed.
bool ParseServerAddress(const std::string& address, TPacsServer& server, std::string& why);

// An AE title: 1 to 16 characters, printable ASCII without backslash, not
// all spaces.
bool IsValidAeTitle(const std::string& ae);

// A UID as it may name a file: 1 to 64 characters of digits and dots, no
// empty component (so no "..", no leading or trailing dot). Anything else a
// server sends is refused before it reaches a path.
bool IsValidUid(const std::string& uid);

enum class TQueryLevel { Patient, Study, Series, Instance };
// "patient", "study", "series", "instance"; false for anything else.
bool ParseQueryLevel(const std::string& text, TQueryLevel& level);
const char* QueryLevelName(TQueryLevel level);
// The value of Query/Retrieve Level (0008,0052): PATIENT, STUDY, SERIES, IMAGE.
const char* QueryLevelKeyword(TQueryLevel level);
