#include "net/Send.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "dicom/dicom.h"
#include "net/PacsClient.h"
#include "study/StudyLoad.h"

namespace fs = std::filesystem;

namespace {

// Values longer than this stay in the file while its header is read.
constexpr Uint32 kHeaderValueLimit = 1024;

std::string Hex4(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", v & 0xFFFF);
  return buf;
}

void ListDicomDir(const std::string& path, std::vector<std::string>& out,
                  std::vector<TSendSkip>& skipped) {
  DICOMdata scratch;
  DicomReadResult read;
  try {
    read = ReadDicomHeaderFromFile(path, false, scratch, [](const std::string&) {});
  } catch (const std::exception& e) {
    skipped.push_back({path, std::string("the DICOMDIR cannot be read: ") + e.what()});
    return;
  }
  if (!read.isDicomDir) {
    skipped.push_back({path, "not a DICOMDIR"});
    return;
  }
  std::vector<TSkippedFile> refused;
  addToRoot(read.dicomDir, path, &refused);
  for (const TSkippedFile& r : refused) skipped.push_back({r.path, r.reason});
  for (const TPatient& p : read.dicomDir)
    for (const TStudy& st : p.studies)
      for (const TSeries& s : st.serieses)
        for (const std::string& f : s.imagesListPath) out.push_back(f);
}

// A Part 10 file, or a bare data set starting in group 0002 or 0008: anything
// else is not handed to the parser, which would read a text file as
// elements of unknown tags.
bool LooksLikeDicom(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  unsigned char b[132] = {};
  in.read(reinterpret_cast<char*>(b), sizeof b);
  const std::streamsize n = in.gcount();
  if (n == 132 && std::memcmp(b + 128, "DICM", 4) == 0) return true;
  if (n < 8) return false;
  const unsigned group = b[0] | (b[1] << 8);
  return group == 0x0002 || group == 0x0008 || group == 0x0800;
}

}  // namespace

int TSendResult::Accepted() const {
  int n = 0;
  for (const TSendOutcome& o : instances) n += o.accepted;
  return n;
}

int TSendResult::Refused() const {
  return int(instances.size()) - Accepted();
}

std::string StoreStatusText(unsigned status) {
  const std::string code = Hex4(status);
  const unsigned hi = (status >> 8) & 0xFF;
  if (status == 0x0000) return code + ": stored";
  if (status == 0xB000) return code + ": stored with its elements coerced";
  if (status == 0xB006) return code + ": stored, but the server ignored elements it did not know";
  if (status == 0xB007) return code + ": stored, but the data set does not match its SOP class";
  if (status == 0x0107) return code + ": stored, but the server ignored some attributes";
  if (status == 0x0111) return code + ": the server already holds this instance (duplicate)";
  if (status == 0x0117) return code + ": the server says the instance is invalid";
  if (status == 0x0122) return code + ": the server does not store this SOP class";
  if (status == 0x0124) return code + ": the server does not allow us to store this";
  if (status == 0x0110) return code + ": the server failed to process it";
  if (status == 0x0211) return code + ": the server does not know the operation";
  if (status == 0x0212) return code + ": the server refused the request (mistyped argument)";
  if (status == 0xC122) return code + ": the server does not accept its transfer syntax";
  if (status == 0xFE00) return code + ": cancelled";
  if (hi == 0xA7) return code + ": the server is out of resources";
  if (hi == 0xA9) return code + ": the data set does not match its SOP class";
  if ((status & 0xF000) == 0xC000) return code + ": the server cannot understand the data set";
  if ((status & 0xF000) == 0xB000) return code + ": stored with a warning";
  return code + ": refused";
}

bool StoreStatusStored(unsigned status) {
  return status == 0x0000 || (status & 0xF000) == 0xB000 || status == 0x0107;
}

std::vector<std::string> ListFilesToSend(const std::vector<std::string>& paths,
                                         std::vector<TSendSkip>& skipped) {
  std::vector<std::string> listed;
  for (const std::string& path : paths) {
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      skipped.push_back({path, "no such file or folder"});
      continue;
    }
    switch (ChooseLoadKind(path)) {
      case TLoadKind::Folder:
        list_DirectoryFiles(path, listed);
        break;
      case TLoadKind::DicomDir:
        ListDicomDir(path, listed, skipped);
        break;
      case TLoadKind::SingleFile:
        listed.push_back(path);
        break;
    }
  }
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (std::string& f : listed) {
    std::error_code ec;
    const fs::path canonical = fs::weakly_canonical(f, ec);
    if (seen.insert(ec ? f : canonical.string()).second) out.push_back(std::move(f));
  }
  return out;
}

bool ReadSendItem(const std::string& file, TSendItem& item, std::string& why) {
  item = {};
  item.file = file;
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) {
    why = "not a regular file";
    return false;
  }
  if (!LooksLikeDicom(file)) {
    why = "not a DICOM file";
    return false;
  }
  DcmFileFormat ff;
  const OFCondition c =
      ff.loadFile(file.c_str(), EXS_Unknown, EGL_noChange, kHeaderValueLimit, ERM_autoDetect);
  if (c.bad()) {
    why = std::string("not a DICOM file (") + c.text() + ")";
    return false;
  }
  OFString cls, inst;
  DcmDataset* ds = ff.getDataset();
  ds->findAndGetOFString(DCM_SOPClassUID, cls);
  ds->findAndGetOFString(DCM_SOPInstanceUID, inst);
  if (cls.empty()) ff.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, cls);
  if (inst.empty()) ff.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPInstanceUID, inst);
  item.sopClassUid = cls.c_str();
  item.sopInstanceUid = inst.c_str();
  if (!IsValidUid(item.sopClassUid) || !IsValidUid(item.sopInstanceUid)) {
    why = "not a DICOM instance (no valid SOP Class and SOP Instance UID)";
    return false;
  }
  if (item.sopClassUid == "1.2.840.10008.1.3.10") {
    why = "a DICOMDIR, not an instance (name it to send the images it lists)";
    return false;
  }
  const DcmXfer xfer(ds->getOriginalXfer());
  if (xfer.getXfer() == EXS_Unknown) {
    why = "its transfer syntax is unknown";
    return false;
  }
  item.transferSyntax = xfer.getXferID();
  return true;
}

std::vector<TSendItem> PrepareSendItems(const std::vector<std::string>& files,
                                        TSendResult& result) {
  std::vector<TSendItem> items;
  std::map<std::string, std::string> firstFile;  // SOP Instance UID -> file
  for (const std::string& f : files) {
    TSendItem item;
    std::string why;
    if (!ReadSendItem(f, item, why)) {
      result.skipped.push_back({f, why});
      continue;
    }
    auto [it, fresh] = firstFile.emplace(item.sopInstanceUid, f);
    if (!fresh) {
      result.skipped.push_back({f, "the same instance as " + it->second + " (sent once)"});
      continue;
    }
    items.push_back(std::move(item));
  }
  return items;
}

bool TPacsClient::Send(const std::vector<std::string>& files, const TSendHooks& hooks,
                       TSendResult& result) {
  const std::vector<TSendItem> items = PrepareSendItems(files, result);
  const size_t first = result.instances.size();
  for (const TSendItem& it : items) {
    TSendOutcome o;
    o.file = it.file;
    o.sopInstanceUid = it.sopInstanceUid;
    o.sopClassUid = it.sopClassUid;
    o.transferSyntax = it.transferSyntax;
    result.instances.push_back(std::move(o));
  }
  if (items.empty()) {
    if (result.why.empty()) result.why = "there is no DICOM instance to send";
    return false;
  }
  // Implementations fill the outcomes of this call's items only.
  TSendResult mine;
  mine.instances.assign(result.instances.begin() + ptrdiff_t(first), result.instances.end());
  SendItems(items, hooks, mine);
  std::copy(mine.instances.begin(), mine.instances.end(),
            result.instances.begin() + ptrdiff_t(first));
  if (!mine.why.empty()) result.why = mine.why;
  for (size_t i = first; i < result.instances.size(); ++i)
    if (!result.instances[i].accepted) return false;
  return true;
}

void TPacsClient::SendItems(const std::vector<TSendItem>&, const TSendHooks&, TSendResult& result) {
  result.why = "The server " + server_.Describe() + " cannot be sent to.";
  for (TSendOutcome& o : result.instances) o.reason = result.why;
}

bool SendFiles(const TPacsServer& server, const std::vector<std::string>& files,
               const TSendHooks& hooks, TSendResult& result) {
  std::unique_ptr<TPacsClient> client = MakePacsClient(server);
  return client->Send(files, hooks, result);
}
