#include "export/Export.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcostrmb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "dicom/SafeOutput.h"
#include "dicom/TempCleanup.h"
#include "export/MediaFolder.h"
#include "export/Zip.h"

namespace fs = std::filesystem;

namespace exporter {
namespace {

constexpr const char* kStagingPrefix = ".tavrolen-export";

std::string Text(DcmItem& item, const DcmTagKey& key) {
  OFString v;
  if (item.findAndGetOFStringArray(key, v).bad()) return {};
  return std::string(v.c_str(), v.length());
}

bool ReadAll(const std::string& path, std::vector<char>& bytes, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot be read: " + std::string(std::strerror(errno));
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0);
  if (size < 0) {
    why = "cannot be read";
    return false;
  }
  bytes.resize(static_cast<size_t>(size));
  if (size > 0 && !in.read(bytes.data(), size)) {
    why = "cannot be read to its end";
    return false;
  }
  return true;
}

bool HasPart10Header(const std::vector<char>& bytes) {
  return bytes.size() >= 132 && std::memcmp(bytes.data() + 128, "DICM", 4) == 0;
}

// The file in its own transfer syntax with a new meta header, in memory.
bool Serialize(DcmFileFormat& file, std::vector<char>& out, std::string& why) {
  DcmDataset* ds = file.getDataset();
  E_TransferSyntax xfer = ds->getOriginalXfer();
  if (xfer == EXS_Unknown) xfer = EXS_LittleEndianExplicit;
  std::vector<char> chunk(1 << 20);
  DcmOutputBufferStream stream(chunk.data(), static_cast<offile_off_t>(chunk.size()));
  auto drain = [&] {
    void* data = nullptr;
    offile_off_t length = 0;
    stream.flushBuffer(data, length);
    if (length > 0)
      out.insert(out.end(), static_cast<char*>(data), static_cast<char*>(data) + length);
  };
  file.transferInit();
  OFCondition c;
  while ((c = file.write(stream, xfer, EET_ExplicitLength, nullptr, EGL_withoutGL, EPD_noChange, 0,
                         0, 0, EWM_createNewMeta)) == EC_StreamNotifyClient)
    drain();
  file.transferEnd();
  if (c.bad()) {
    why = std::string("cannot be encoded: ") + c.text();
    return false;
  }
  stream.flush();
  drain();
  return true;
}

struct TPrepared {
  std::vector<char> bytes;
  std::string patientKey, studyUid, seriesUid;
};

enum class TPrep { Ok, BurnedIn, Unreadable };

TPrep Prepare(const std::string& path, const TExportOptions& options, TUidMap& uids, TPrepared& p,
              std::string& why) {
  DcmFileFormat file;
  std::vector<char> raw;
  if (options.anonymize) {
    OFCondition c = file.loadFile(path.c_str());
    if (c.bad()) {
      why = std::string("not a readable DICOM file: ") + c.text();
      return TPrep::Unreadable;
    }
  } else {
    if (!ReadAll(path, raw, why)) return TPrep::Unreadable;
    // Values longer than DCM_MaxReadLength (pixel data) stay in the file.
    OFCondition c = file.loadFile(path.c_str());
    if (c.bad()) {
      why = std::string("not a readable DICOM file: ") + c.text();
      return TPrep::Unreadable;
    }
  }
  DcmDataset* ds = file.getDataset();
  p.patientKey = Text(*ds, DCM_PatientID) + "\\" + Text(*ds, DCM_PatientName);
  p.studyUid = Text(*ds, DCM_StudyInstanceUID);
  p.seriesUid = Text(*ds, DCM_SeriesInstanceUID);
  if (options.anonymize) {
    if (!options.includeBurnedIn && HasBurnedInAnnotation(*ds)) {
      why = "burned-in annotation (0028,0301 is YES): its pixels may identify the patient";
      return TPrep::BurnedIn;
    }
    if (!Deidentify(file, options.deidentify, uids, why)) return TPrep::Unreadable;
    if (!Serialize(file, p.bytes, why)) return TPrep::Unreadable;
    return TPrep::Ok;
  }
  if (HasPart10Header(raw)) {
    p.bytes = std::move(raw);
    return TPrep::Ok;
  }
  // A bare data set gets a meta header: media hold only complete files.
  if (!Serialize(file, p.bytes, why)) return TPrep::Unreadable;
  return TPrep::Ok;
}

bool DefaultWrite(const std::string& path, const void* data, size_t size, std::string& why) {
  return WriteFileSafely(path, data, size, why);
}

}  // namespace

TExportResult ExportFiles(const std::vector<std::string>& files, const std::string& target,
                          const TExportOptions& options, const TExportProgress& progress,
                          const TWriteFile& writer) {
  TExportResult result;
  result.output = target;
  result.files.resize(files.size());
  for (size_t i = 0; i < files.size(); ++i) result.files[i].source = files[i];
  const TWriteFile write = writer ? writer : TWriteFile(DefaultWrite);

  std::error_code ec;
  // Where the staging folder goes: inside the target folder, or beside the ZIP.
  std::string stagingParent;
  bool createdTarget = false;
  if (options.zip) {
    if (fs::is_directory(target, ec)) {
      result.failure = target + ": is a folder; name the ZIP file to write";
      return result;
    }
    fs::path parent = fs::path(target).parent_path();
    stagingParent = parent.empty() ? "." : parent.string();
    if (!fs::is_directory(stagingParent, ec)) {
      result.failure = target + ": the folder " + stagingParent + " does not exist";
      return result;
    }
  } else {
    if (fs::exists(target, ec) && !fs::is_directory(target, ec)) {
      result.failure = target + ": exists and is not a folder";
      return result;
    }
    if (!fs::exists(target, ec)) {
      if (!fs::create_directory(target, ec)) {
        result.failure = target + ": cannot be created: " + ec.message();
        return result;
      }
      createdTarget = true;
    }
    if (fs::exists(fs::path(target) / "DICOM", ec) ||
        fs::exists(fs::path(target) / "DICOMDIR", ec)) {
      result.failure = target + ": already holds a DICOM folder or DICOMDIR; choose another folder";
      return result;
    }
    stagingParent = target;
  }
  auto dropTarget = [&] {
    if (createdTarget) fs::remove(target, ec);  // only while still empty
  };

  // What a killed export left behind goes first.
  tempcleanup::RemoveStaleTempFolders(stagingParent, kStagingPrefix);
  int slot = -1;
  std::string why;
  const std::string staging =
      tempcleanup::CreateTempFolder(stagingParent, kStagingPrefix, slot, why);
  if (staging.empty()) {
    result.failure = why;
    dropTarget();
    return result;
  }
  auto abandon = [&] {
    tempcleanup::RemoveTempFolder(staging, slot);
    dropTarget();
  };

  TUidMap uids;
  TFileIdAllocator ids;
  std::atomic<size_t> next{0};
  std::atomic<int> done{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> cancelled{false};
  std::mutex failureMutex;
  std::mutex turnMutex;
  std::condition_variable turnChanged;
  size_t turn = 0;
  const int total = static_cast<int>(files.size());

  auto worker = [&] {
    while (!stop.load()) {
      const size_t i = next.fetch_add(1);
      if (i >= files.size()) break;
      TFileOutcome& out = result.files[i];
      TPrepared p;
      std::string reason;
      const TPrep prep = Prepare(files[i], options, uids, p, reason);
      // File IDs follow the input order whatever order the workers finish
      // in: each index takes its turn at the allocator.
      std::string id;
      {
        std::unique_lock lock(turnMutex);
        turnChanged.wait(lock, [&] { return turn == i; });
        if (prep == TPrep::Ok) id = ids.Allocate(p.patientKey, p.studyUid, p.seriesUid);
        ++turn;
      }
      turnChanged.notify_all();
      if (prep == TPrep::BurnedIn) {
        out.status = TFileStatus::BurnedIn;
        out.reason = reason;
      } else if (prep == TPrep::Unreadable) {
        out.status = TFileStatus::Failed;
        out.reason = reason;
      } else {
        const fs::path dest = fs::path(staging) / id;
        fs::create_directories(dest.parent_path(), ec);
        if (!write(dest.string(), p.bytes.data(), p.bytes.size(), reason)) {
          std::lock_guard lock(failureMutex);
          // Named by where the file was going, not by the staging folder.
          for (size_t at; (at = reason.find(staging)) != std::string::npos;)
            reason.replace(at, staging.size(), target);
          if (result.failure.empty()) result.failure = reason;
          stop = true;
          break;
        }
        out.fileId = id;
        out.status = TFileStatus::Exported;
      }
      const int d = done.fetch_add(1) + 1;
      if (progress && !progress(d, total)) {
        cancelled = true;
        stop = true;
      }
    }
  };
  int threads = options.threads > 0
                    ? options.threads
                    : std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 4);
  threads = std::min(threads, std::max(1, total));
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();

  auto unfinished = [&] {
    for (TFileOutcome& f : result.files)
      if (f.status == TFileStatus::Exported) {
        f.status = TFileStatus::NotDone;
        f.fileId.clear();
      }
  };
  if (cancelled || !result.failure.empty()) {
    result.cancelled = cancelled && result.failure.empty();
    if (result.cancelled) result.failure = "cancelled";
    unfinished();
    abandon();
    return result;
  }

  std::vector<std::string> written;
  for (const TFileOutcome& f : result.files)
    if (f.status == TFileStatus::Exported) written.push_back(f.fileId);
  if (written.empty()) {
    result.failure = "no file to export";
    abandon();
    return result;
  }
  if (options.dicomdir) {
    std::vector<TDicomDirRefusal> refused;
    if (!WriteDicomDir(staging, written, refused, why)) {
      result.failure = why;
      unfinished();
      abandon();
      return result;
    }
    for (const TDicomDirRefusal& r : refused)
      for (TFileOutcome& f : result.files)
        if (f.fileId == r.fileId) {
          f.status = TFileStatus::Failed;
          f.reason = "written but not listed in the DICOMDIR: " + r.reason;
        }
    written.push_back("DICOMDIR");
  }

  if (options.zip) {
    const TZipProgress zipProgress = [&](double) { return !progress || progress(total, total); };
    if (!WriteZip(staging, written, target, zipProgress, why)) {
      result.cancelled = why.size() >= 9 && why.compare(why.size() - 9, 9, "cancelled") == 0;
      result.failure = result.cancelled ? "cancelled" : why;
      unfinished();
      abandon();
      return result;
    }
  } else {
    // The DICOMDIR goes last: a folder with one is complete.
    fs::rename(fs::path(staging) / "DICOM", fs::path(target) / "DICOM", ec);
    if (!ec && options.dicomdir)
      fs::rename(fs::path(staging) / "DICOMDIR", fs::path(target) / "DICOMDIR", ec);
    if (ec) {
      result.failure = target + ": cannot move the export into place: " + ec.message();
      fs::remove_all(fs::path(target) / "DICOM", ec);
      unfinished();
      abandon();
      return result;
    }
  }
  tempcleanup::RemoveTempFolder(staging, slot);
  result.written = true;
  for (const TFileOutcome& f : result.files)
    if (f.status == TFileStatus::Exported) ++result.exported;
  return result;
}

}  // namespace exporter
