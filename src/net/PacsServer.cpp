#include "net/PacsServer.h"

#include <cctype>

namespace {

bool ParsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 65535) return false;
  port = v;
  return true;
}

// HOST[:PORT] with an optional bracketed IPv6 literal. defaultPort 0 makes
// the port mandatory.
bool ParseHostPort(const std::string& text, int defaultPort, std::string& host, int& port,
                   std::string& why) {
  std::string rest;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) {
      why = "unclosed '[' in the host";
      return false;
    }
    host = text.substr(1, close - 1);
    rest = text.substr(close + 1);
  } else {
    const size_t colon = text.rfind(':');
    host = text.substr(0, colon);
    rest = colon == std::string::npos ? std::string() : text.substr(colon);
  }
  if (host.empty()) {
    why = "no host";
    return false;
  }
  for (unsigned char c : host)
    if (!(std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == ':')) {
      why = "the host contains a character a host name cannot hold";
      return false;
    }
  if (rest.empty()) {
    if (defaultPort == 0) {
      why = "no port (write HOST:PORT)";
      return false;
    }
    port = defaultPort;
    return true;
  }
  if (rest[0] != ':' || !ParsePort(rest.substr(1), port)) {
    why = "the port must be a number from 1 to 65535";
    return false;
  }
  return true;
}

}  // namespace

std::string TPacsServer::Describe() const {
  const std::string hostText = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (kind == TPacsKind::Dimse)
    return "dicom://" + calledAe + "@" + hostText + ":" + std::to_string(port);
  return std::string(tls ? "dicomweb+https://" : "dicomweb+http://") + hostText + ":" +
         std::to_string(port) + path;
}

bool IsValidAeTitle(const std::string& ae) {
  if (ae.empty() || ae.size() > 16) return false;
  bool anyVisible = false;
  for (unsigned char c : ae) {
    if (c < 0x20 || c > 0x7e || c == '\\') return false;
    if (c != ' ') anyVisible = true;
  }
  return anyVisible;
}

bool IsValidUid(const std::string& uid) {
  if (uid.empty() || uid.size() > 64) return false;
  if (uid.front() == '.' || uid.back() == '.') return false;
  char prev = '.';
  for (char c : uid) {
    if (c == '.') {
      if (prev == '.') return false;
    } else if (c < '0' || c > '9') {
      return false;
    }
    prev = c;
  }
  return true;
}

bool ParseServerAddress(const std::string& address, TPacsServer& server, std::string& why) {
  TPacsServer s;
  s.callingAe = server.callingAe.empty() ? "TAVROLEN" : server.callingAe;
  const std::string dimse = "dicom://";
  const std::string web = "dicomweb+http://";
  const std::string webTls = "dicomweb+https://";
  auto starts = [&](const std::string& prefix) {
    return address.compare(0, prefix.size(), prefix) == 0;
  };
  if (starts(dimse)) {
    s.kind = TPacsKind::Dimse;
    const std::string rest = address.substr(dimse.size());
    const size_t at = rest.rfind('@');
    if (at == std::string::npos) {
      why = "a DICOM address names the archive's AE title: dicom://AE@HOST:PORT";
      return false;
    }
    s.calledAe = rest.substr(0, at);
    if (!IsValidAeTitle(s.calledAe)) {
      why = "\"" + s.calledAe + "\" is not an AE title (1 to 16 characters, no backslash)";
      return false;
    }
    std::string hostPort = rest.substr(at + 1);
    if (!hostPort.empty() && hostPort.back() == '/') hostPort.pop_back();
    if (!ParseHostPort(hostPort, 0, s.host, s.port, why)) return false;
  } else if (starts(web) || starts(webTls)) {
    s.kind = TPacsKind::DicomWeb;
    s.tls = starts(webTls);
    const std::string rest = address.substr(s.tls ? webTls.size() : web.size());
    const size_t slash = rest.find('/');
    const std::string hostPort = rest.substr(0, slash);
    if (hostPort.find('@') != std::string::npos) {
      why = "give the user with --user or in the servers file, not in the address";
      return false;
    }
    if (!ParseHostPort(hostPort, s.tls ? 443 : 80, s.host, s.port, why)) return false;
    s.path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (s.path.find_first_of("?#") != std::string::npos) {
      why = "the service path cannot hold a query or fragment";
      return false;
    }
    if (s.path.back() != '/') s.path += '/';
  } else {
    why = "the address must start with dicom://, dicomweb+http:// or dicomweb+https://";
    return false;
  }
  s.name = server.name.empty() ? s.Describe() : server.name;
  s.user = server.user;
  s.password = server.password;
  s.bearerToken = server.bearerToken;
  s.caFile = server.caFile;
  s.movePort = server.movePort;
  s.timeoutSeconds = server.timeoutSeconds;
  server = s;
  return true;
}

bool ParseQueryLevel(const std::string& text, TQueryLevel& level) {
  static const std::pair<const char*, TQueryLevel> kLevels[] = {
      {"patient", TQueryLevel::Patient},
      {"study", TQueryLevel::Study},
      {"series", TQueryLevel::Series},
      {"instance", TQueryLevel::Instance},
  };
  for (const auto& [name, l] : kLevels)
    if (text == name) {
      level = l;
      return true;
    }
  return false;
}

const char* QueryLevelName(TQueryLevel level) {
  switch (level) {
    case TQueryLevel::Patient:
      return "patient";
    case TQueryLevel::Study:
      return "study";
    case TQueryLevel::Series:
      return "series";
    case TQueryLevel::Instance:
      return "instance";
  }
  return "study";
}

const char* QueryLevelKeyword(TQueryLevel level) {
  switch (level) {
    case TQueryLevel::Patient:
      return "PATIENT";
    case TQueryLevel::Study:
      return "STUDY";
    case TQueryLevel::Series:
      return "SERIES";
    case TQueryLevel::Instance:
      return "IMAGE";
  }
  return "STUDY";
}
