#include "orthanc.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

constexpr const char* kOrthanc = "/usr/sbin/Orthanc";
const char* const kPluginCandidates[] = {
    "/usr/share/orthanc/plugins/libOrthancDicomWeb.so",
    "/usr/lib/orthanc/libOrthancDicomWeb.so.1.7",
};

std::string Plugin() {
  for (const char* p : kPluginCandidates)
    if (fs::exists(p)) return p;
  return {};
}

std::string Base64(const std::string& in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v =
        (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
  }
  if (i + 1 == in.size()) {
    const unsigned v = (unsigned char)in[i] << 16;
    out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
  }
  return out;
}

bool ReadFile(const std::string& path, std::string& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  out = s.str();
  return true;
}

}  // namespace

namespace {

bool WriteProcFile(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
  close(fd);
  return ok;
}

// A new network namespace has loopback down.
bool LoopbackUp(std::string* why) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) {
    if (why) *why = std::string("cannot configure loopback: ") + std::strerror(errno);
    return false;
  }
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
  ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  if (!ok && why) *why = std::string("cannot bring loopback up: ") + std::strerror(errno);
  close(s);
  return ok;
}

}  // namespace

bool EnterLoopbackOnlyNetwork(std::string* how, std::string* why) {
  std::string rootError;
  if (geteuid() == 0) {
    if (unshare(CLONE_NEWNET) == 0) {
      if (how) *how = "root";
      return LoopbackUp(why);
    }
    rootError = std::string("as root: ") + std::strerror(errno) + "; ";
  }
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    if (why) *why = rootError + "user and network namespace: " + std::strerror(errno);
    return false;
  }
  // The kernel lets an unprivileged process map only its own ids, and its
  // group only once setgroups is denied.
  const std::string uidMap = std::to_string(uid) + " " + std::to_string(uid) + " 1\n";
  const std::string gidMap = std::to_string(gid) + " " + std::to_string(gid) + " 1\n";
  if (!WriteProcFile("/proc/self/uid_map", uidMap) ||
      !WriteProcFile("/proc/self/setgroups", "deny") ||
      !WriteProcFile("/proc/self/gid_map", gidMap)) {
    if (why) *why = std::string("cannot map ids in the user namespace: ") + std::strerror(errno);
    return false;
  }
  if (how) *how = "user namespace";
  return LoopbackUp(why);
}

int FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

bool Orthanc::Installed() {
  return fs::exists(kOrthanc) && !Plugin().empty();
}

Orthanc::~Orthanc() {
  Stop();
}

std::string Orthanc::DimseAddress() const {
  return "dicom://" + options_.aet + "@127.0.0.1:" + std::to_string(dicomPort_);
}

std::string Orthanc::WebAddress() const {
  return "dicomweb+http://127.0.0.1:" + std::to_string(httpPort_) + "/dicom-web/";
}

bool Orthanc::Start(const std::string& folder, const OrthancOptions& options, std::string& why) {
  Stop();
  if (!Installed()) {
    why = "Orthanc or its DICOMweb plugin is not installed";
    return false;
  }
  folder_ = folder;
  options_ = options;
  const bool pickMovePort = options_.movePort == 0;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (pickMovePort) options_.movePort = FreeLoopbackPort();
    if (StartOnce(why)) return true;
  }
  return false;
}

bool Orthanc::StartOnce(std::string& why) {
  std::error_code ec;
  fs::remove_all(folder_, ec);
  fs::create_directories(folder_ + "/db", ec);
  httpPort_ = FreeLoopbackPort();
  dicomPort_ = FreeLoopbackPort();
  if (!httpPort_ || !dicomPort_ || httpPort_ == dicomPort_) {
    why = "no free port";
    return false;
  }
  const std::string config = folder_ + "/orthanc.json";
  {
    std::ofstream f(config);
    f << "{\n"
      << "  \"Name\": \"tavrolen-test\",\n"
      << "  \"StorageDirectory\": \"" << folder_ << "/db\",\n"
      << "  \"IndexDirectory\": \"" << folder_ << "/db\",\n"
      << "  \"HttpPort\": " << httpPort_ << ",\n"
      << "  \"DicomPort\": " << dicomPort_ << ",\n"
      << "  \"DicomAet\": \"" << options_.aet << "\",\n"
      << "  \"DicomCheckCalledAet\": true,\n"
      << "  \"RemoteAccessAllowed\": false,\n"
      << "  \"AuthenticationEnabled\": true,\n"
      << "  \"RegisteredUsers\": {\"" << options_.user << "\": \"" << options_.password << "\"},\n"
      << "  \"Plugins\": [\"" << Plugin() << "\"],\n"
      << "  \"DicomWeb\": {\"Enable\": true, \"Root\": \"/dicom-web/\", \"EnableWado\": false},\n"
      << "  \"DicomModalities\": {\"viewer\": [\"" << options_.viewerAe << "\", \"127.0.0.1\", "
      << options_.movePort << "]},\n"
      << "  \"HttpThreadsCount\": 8,\n"
      << "  \"StorageCompression\": false\n"
      << "}\n";
  }
  const std::string log = folder_ + "/orthanc.log";
  const pid_t pid = fork();
  if (pid < 0) {
    why = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    // Dies with the test process, however that ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execl(kOrthanc, kOrthanc, config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  if (WaitReady(why)) return true;
  Kill();
  std::string text;
  ReadFile(log, text);
  why += "; log: " + text.substr(text.size() > 600 ? text.size() - 600 : 0);
  return false;
}

bool Orthanc::WaitReady(std::string& why) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      why = "Orthanc exited while starting";
      return false;
    }
    if (Request("GET", "/system", "") == 200) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  why = "Orthanc did not answer within 30 s";
  return false;
}

void Orthanc::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}

void Orthanc::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

int Orthanc::Request(const std::string& method, const std::string& path, const std::string& body,
                     std::string* response) const {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return 0;
  timeval tv{60, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(httpPort_));
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return 0;
  }
  std::string req = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" +
                    "Authorization: Basic " + Base64(options_.user + ":" + options_.password) +
                    "\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body;
  size_t sent = 0;
  while (sent < req.size()) {
    const ssize_t n = send(s, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      close(s);
      return 0;
    }
    sent += size_t(n);
  }
  std::string answer;
  char buf[65536];
  for (;;) {
    const ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) break;
    answer.append(buf, size_t(n));
  }
  close(s);
  int status = 0;
  if (answer.compare(0, 5, "HTTP/") == 0) {
    const size_t sp = answer.find(' ');
    if (sp != std::string::npos) status = std::atoi(answer.c_str() + sp + 1);
  }
  if (response) {
    const size_t end = answer.find("\r\n\r\n");
    *response = end == std::string::npos ? std::string() : answer.substr(end + 4);
  }
  return status;
}

bool Orthanc::Upload(const std::string& file, std::string& why) const {
  std::string bytes;
  if (!ReadFile(file, bytes)) {
    why = "cannot read " + file;
    return false;
  }
  std::string answer;
  const int status = Request("POST", "/instances", bytes, &answer);
  if (status != 200) {
    why =
        "upload of " + file + " answered " + std::to_string(status) + ": " + answer.substr(0, 200);
    return false;
  }
  return true;
}

}  // namespace testsupport
