#include "pacs_fixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "support/fixtures.h"
#include "support/pacs_fixtures.h"
#include "support/paths.h"

namespace fs = std::filesystem;

namespace pacstest {

namespace {

std::unique_ptr<testsupport::Orthanc> gOrthanc;
std::vector<Uploaded> gUploaded;
std::string gFailure;
bool gTried = false;
std::string gStudyB;
std::vector<std::string> gDirs;  // this process's folders, removed at its end

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool Load(testsupport::Orthanc& o, std::string& why) {
  const std::string dir = TestDir("pacs_fixture_files");
  testsupport::CtSliceSpec spec;
  spec.studyUid = kStudyA;
  spec.seriesUid = kSeriesA1;
  std::vector<std::string> files = testsupport::WriteCtSeries(dir + "/a1", spec, 4);
  spec.seriesUid = kSeriesA2;
  spec.seriesNumber = 2;
  std::vector<std::string> plain = testsupport::WriteCtSeries(dir + "/a2", spec, 2);
  for (const std::string& f : plain) {
    // Stored compressed, so a retrieve that transcodes would show.
    const std::string jpeg = f + ".jpeg";
    if (fixtures::RunCommand("dcmcjpeg +e1 '" + f + "' '" + jpeg + "' 2>&1") != 0) {
      why = "dcmcjpeg failed on " + f;
      return false;
    }
    files.push_back(jpeg);
  }
  // Study B is pydicom's MR sample: without it the archive holds one study,
  // which the query tests would take for a wrong answer.
  const std::string mr = testsupport::SamplePath("MR_small.dcm");
  if (!fs::exists(mr)) {
    why = "pydicom sample " + mr + " is missing; scripts/bootstrap installs python3-pydicom";
    return false;
  }
  files.push_back(mr);
  for (const std::string& f : files) {
    if (!o.Upload(f, why)) return false;
    DICOMdata h;
    ReadDicomHeaderFromFile(f, false, h);
    auto uid = [](std::string s) {
      while (!s.empty() && s.back() == ' ') s.pop_back();
      std::replace(s.begin(), s.end(), ' ', '.');
      return s;
    };
    gUploaded.push_back(
        {f, uid(h.Study_Instance_UID), uid(h.Series_Instance_UID), uid(h.SOP_Instance_UID)});
    if (f == mr) gStudyB = gUploaded.back().studyUid;
  }
  return true;
}

// Ends the server with the test process, after the last test. Its storage is
// thrown away, so it need not shut down in order (which takes seconds).
class StopAtExit : public ::testing::Environment {
 public:
  void TearDown() override {
    if (gOrthanc) gOrthanc->Kill();
    gOrthanc.reset();
    for (const std::string& d : gDirs) {
      std::error_code ec;
      fs::remove_all(d, ec);
    }
  }
};
const auto* gStopAtExit = ::testing::AddGlobalTestEnvironment(new StopAtExit);

}  // namespace

testsupport::Orthanc* SharedOrthanc(std::string* why) {
  if (!gTried) {
    gTried = true;
    if (!testsupport::Orthanc::Installed()) {
      gFailure = "Orthanc and orthanc-dicomweb are not installed (scripts/bootstrap installs them)";
    } else {
      auto o = std::make_unique<testsupport::Orthanc>();
      std::string reason;
      if (!o->Start(TestDir("pacs_orthanc"), {}, reason) || !Load(*o, reason))
        gFailure = "cannot start the test Orthanc: " + reason;
      else
        gOrthanc = std::move(o);
    }
  }
  if (!gOrthanc && why) *why = gFailure;
  return gOrthanc.get();
}

const std::vector<Uploaded>& UploadedInstances() {
  return gUploaded;
}

std::vector<Uploaded> UploadedOf(const std::string& studyUid, const std::string& seriesUid) {
  std::vector<Uploaded> out;
  for (const Uploaded& u : gUploaded)
    if (u.studyUid == studyUid && (seriesUid.empty() || u.seriesUid == seriesUid)) out.push_back(u);
  return out;
}

std::string StudyB() {
  return gStudyB;
}

bool OrthancRequired() {
  return std::getenv("TAVROLEN_REQUIRE_ORTHANC") != nullptr;
}

TPacsServer DimseServer(const testsupport::Orthanc& o) {
  TPacsServer s;
  std::string why;
  ParseServerAddress(o.DimseAddress(), s, why);
  s.callingAe = o.Options().viewerAe;
  s.timeoutSeconds = 20;
  return s;
}

TPacsServer MoveServer(const testsupport::Orthanc& o) {
  TPacsServer s = DimseServer(o);
  s.movePort = o.MovePort();
  return s;
}

TPacsServer WebServer(const testsupport::Orthanc& o) {
  TPacsServer s;
  std::string why;
  ParseServerAddress(o.WebAddress(), s, why);
  s.user = o.Options().user;
  s.password = o.Options().password;
  s.timeoutSeconds = 20;
  return s;
}

std::string DataSetBytes(const std::string& path) {
  const std::string bytes = ReadAll(path);
  if (bytes.size() < 144 || bytes.compare(128, 4, "DICM") != 0) return {};
  // (0002,0000) UL, explicit VR little endian: tag, "UL", length 4, value.
  const uint32_t groupLength = uint32_t(uint8_t(bytes[140])) | uint32_t(uint8_t(bytes[141])) << 8 |
                               uint32_t(uint8_t(bytes[142])) << 16 |
                               uint32_t(uint8_t(bytes[143])) << 24;
  const size_t start = 144 + size_t(groupLength);
  return start <= bytes.size() ? bytes.substr(start) : std::string();
}

std::string MetaTransferSyntax(const std::string& path) {
  const std::string bytes = ReadAll(path);
  const size_t at = bytes.find(std::string("\x02\x00\x10\x00UI", 6));
  if (at == std::string::npos || at + 8 > bytes.size()) return {};
  const size_t len = size_t(uint8_t(bytes[at + 6])) | size_t(uint8_t(bytes[at + 7])) << 8;
  std::string uid = bytes.substr(at + 8, len);
  while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.pop_back();
  return uid;
}

std::string TestDir(const std::string& name) {
  const std::string dir = testsupport::TempDir(name + "-" + std::to_string(::getpid()));
  if (std::find(gDirs.begin(), gDirs.end(), dir) == gDirs.end()) gDirs.push_back(dir);
  return dir;
}

std::vector<std::string> FilesUnder(const std::string& dir) {
  std::vector<std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out.push_back(fs::relative(e.path(), dir).string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace pacstest
