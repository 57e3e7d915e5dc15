// A real Orthanc for the network tests and the retrieve benchmark, started as
// a child process from a configuration written into a fresh folder: storage
// there, HTTP and DICOM on free loopback ports, the DICOMweb plugin, a test
// user, and the viewer's AE for C-MOVE. It never touches the system's own
// Orthanc service or its ports.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// Moves this process into a network namespace of its own with only loopback
// up, so servers that listen on every interface (Orthanc 1.10 does) are
// reachable from nowhere else. Root makes the namespace directly; anyone else
// (or root without the right to) makes a user namespace along with it, with
// the user and group mapped to themselves so files keep their owners. Call
// first thing in main, before any thread exists: the kernel refuses a user
// namespace to a process with threads. On success `how` says which ("root",
// "user namespace"); false with the reason in `why`.
bool EnterLoopbackOnlyNetwork(std::string* how, std::string* why);
// The same for callers that only report a failure (the benchmark).
inline bool EnterLoopbackOnlyNetwork(std::string* why) {
  return EnterLoopbackOnlyNetwork(nullptr, why);
}

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

struct OrthancOptions {
  std::string aet = "ORTHANC";
  std::string user = "alice";
  std::string password = "secret";
  std::string viewerAe = "TAVROLEN";  // listed for C-MOVE at 127.0.0.1:movePort
  int movePort = 0;                   // 0: a free port is picked
};

class Orthanc {
 public:
  // Whether Debian's orthanc and orthanc-dicomweb packages are installed.
  static bool Installed();

  Orthanc() = default;
  ~Orthanc();
  Orthanc(const Orthanc&) = delete;
  Orthanc& operator=(const Orthanc&) = delete;

  // Writes the configuration into folder (created, emptied) and starts the
  // server; returns once its REST API answers. Retries on other ports when
  // a port was taken meanwhile.
  bool Start(const std::string& folder, const OrthancOptions& options, std::string& why);
  // SIGTERM, then waits for the exit (a few seconds) so the folder can be reused.
  void Stop();
  // SIGKILL at once: a server that dies in the middle of a transfer.
  void Kill();
  bool Running() const { return pid_ > 0; }

  int HttpPort() const { return httpPort_; }
  int DicomPort() const { return dicomPort_; }
  int MovePort() const { return options_.movePort; }
  const OrthancOptions& Options() const { return options_; }
  // "dicom://ORTHANC@127.0.0.1:PORT" and "dicomweb+http://127.0.0.1:PORT/dicom-web/".
  std::string DimseAddress() const;
  std::string WebAddress() const;

  // One request to the REST API with the test user; the status (0 when no
  // answer) and the body.
  int Request(const std::string& method, const std::string& path, const std::string& body,
              std::string* response = nullptr) const;
  // POST /instances with a file's bytes; false with a reason.
  bool Upload(const std::string& file, std::string& why) const;

 private:
  bool StartOnce(std::string& why);
  bool WaitReady(std::string& why);

  std::string folder_;
  OrthancOptions options_;
  pid_t pid_ = -1;
  int httpPort_ = 0;
  int dicomPort_ = 0;
};

}  // namespace testsupport
