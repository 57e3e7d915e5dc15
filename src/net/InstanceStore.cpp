#include "net/InstanceStore.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "dicom/SopClasses.h"
#include "dicom/TempCleanup.h"
#include "dicom/define_types.h"
#include "dicom/dicom.h"
#include "net/PacsServer.h"

namespace fs = std::filesystem;

namespace {

// The header reader keeps text characters only: the dots of a UID come back
// as blanks, and so does the NUL that pads it to even length.
std::string UidFromHeader(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  for (char& c : s)
    if (c == ' ') c = '.';
  return s;
}

bool HasPart10Magic(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char head[132];
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return n == sizeof head && std::memcmp(head + 128, "DICM", 4) == 0;
}

std::atomic<unsigned> gStoreSerial{0};

// ".tavrolen-incoming-<pid>-<serial>": hidden, and known to the stale sweep.
constexpr const char* kStagingPrefix = ".tavrolen-incoming";

}  // namespace

TInstanceStore::TInstanceStore(std::string dir, Expect expect, bool makeDir)
    : dir_(std::move(dir)), expect_(std::move(expect)), makeDir_(makeDir) {}

TInstanceStore::~TInstanceStore() {
  AbortStream();
  if (!staging_.empty()) tempcleanup::RemoveTempFolder(staging_, stagingSlot_);
}

bool TInstanceStore::Open(std::string& why) {
  std::error_code ec;
  if (makeDir_) fs::create_directories(dir_, ec);
  if (ec || !fs::is_directory(dir_)) {
    why = "cannot create the folder " + dir_ + ": " + (ec ? ec.message() : "not a folder");
    return false;
  }
  // What a killed run left in DIR goes; this run's goes on a signal too.
  tempcleanup::RemoveStaleTempFolders(dir_, kStagingPrefix);
  staging_ = (fs::path(dir_) / (std::string(kStagingPrefix) + "-" + std::to_string(::getpid()) +
                                "-" + std::to_string(gStoreSerial.fetch_add(1))))
                 .string();
  // Registered before it exists, so a signal never finds it made but unlisted;
  // made on its own, never with its parents, so a DIR that a signal's cleanup
  // removed meanwhile is not made again.
  tempcleanup::InstallHandlers();
  stagingSlot_ = tempcleanup::Register(staging_, true);
  fs::create_directory(staging_, ec);
  if (ec) {
    why = "cannot write in the folder " + dir_ + ": " + ec.message();
    tempcleanup::Unregister(stagingSlot_);
    stagingSlot_ = -1;
    staging_.clear();
    return false;
  }
  return true;
}

bool TInstanceStore::Announce(const std::map<std::string, int>& perSeries, std::string& why) {
  std::lock_guard lock(mutex_);
  expect_.perSeries = perSeries;
  if (perSeries.empty()) return true;
  for (const auto& [series, received] : received_) {
    const auto announced = perSeries.find(series);
    if (announced == perSeries.end()) {
      why = sender + " sent an image of a series it had not announced (" + series + ")";
      return false;
    }
    if (received > announced->second) {
      why = sender + " sent more images than it announced";
      return false;
    }
  }
  return true;
}

std::string TInstanceStore::NewStagingPath() {
  std::lock_guard lock(mutex_);
  return (fs::path(staging_) / ("instance-" + std::to_string(counter_++) + ".part")).string();
}

void TInstanceStore::Discard(const std::string& stagedPath) {
  std::error_code ec;
  fs::remove(stagedPath, ec);
}

bool TInstanceStore::Commit(const std::string& stagedPath, std::string& why,
                            TStoredInstance* stored) {
  auto refuse = [&](std::string reason) {
    why = std::move(reason);
    Discard(stagedPath);
    return false;
  };
  std::error_code ec;
  const auto size = fs::file_size(stagedPath, ec);
  if (ec) return refuse("a received image could not be read back: " + ec.message());
  if (size > maxInstanceBytes) return refuse(sender + " sent an image larger than accepted");
  if (!HasPart10Magic(stagedPath)) return refuse(sender + " sent data that is not a DICOM file");

  DICOMdata h;
  DicomReadResult r;
  try {
    r = ReadDicomHeaderFromFile(stagedPath, false, h);
  } catch (const std::exception& e) {
    return refuse(sender + " sent a DICOM file whose header cannot be read: " + e.what());
  }
  // Objects without pixel data (key object selections, presentation states,
  // reports) end before an image header would: kept, as they belong to the study.
  if (!r.hdrOK && NonImageKind(h.SOP_Class_UID).empty())
    return refuse(sender + " sent a DICOM file whose header cannot be read");
  TStoredInstance inst;
  inst.studyUid = UidFromHeader(h.Study_Instance_UID);
  inst.seriesUid = UidFromHeader(h.Series_Instance_UID);
  inst.sopUid = UidFromHeader(h.SOP_Instance_UID);
  if (!IsValidUid(inst.studyUid) || !IsValidUid(inst.seriesUid) || !IsValidUid(inst.sopUid))
    return refuse(sender + " sent a file whose study, series or instance UID is not a valid UID");
  if (!expect_.anyStudy && inst.studyUid != expect_.studyUid)
    return refuse(sender + " sent an image of another study (" + inst.studyUid + ")");
  if (!expect_.seriesUid.empty() && inst.seriesUid != expect_.seriesUid)
    return refuse(sender + " sent an image of another series (" + inst.seriesUid + ")");

  {
    std::lock_guard lock(mutex_);
    if (!expect_.perSeries.empty()) {
      const auto announced = expect_.perSeries.find(inst.seriesUid);
      if (announced == expect_.perSeries.end())
        return refuse(sender + " sent an image of a series it had not announced (" +
                      inst.seriesUid + ")");
      if (received_[inst.seriesUid] >= announced->second)
        return refuse(sender + " sent more images than it announced");
    }
    ++received_[inst.seriesUid];
  }

  const fs::path folder = fs::path(dir_) / inst.studyUid / inst.seriesUid;
  {
    // Series arrive one after another: most images go where the last one went.
    std::lock_guard lock(mutex_);
    if (folder.string() != lastFolder_) {
      // Inside DIR only: DIR itself is never made again here (see Open).
      fs::create_directory(fs::path(dir_) / inst.studyUid, ec);
      if (!ec) fs::create_directory(folder, ec);
      if (ec) return refuse("cannot create the folder " + folder.string() + ": " + ec.message());
      lastFolder_ = folder.string();
    }
  }
  inst.path = (folder / (inst.sopUid + ".dcm")).string();
  // A second copy replaces the first, but nothing that is not a plain file
  // (a link, a device someone put there) is ever replaced.
  const fs::file_status there = fs::symlink_status(inst.path, ec);
  if (fs::exists(there) && !fs::is_regular_file(there))
    return refuse(inst.path + " exists and is not a regular file");
  fs::rename(stagedPath, inst.path, ec);
  if (ec) return refuse("cannot write " + inst.path + ": " + ec.message());

  {
    std::lock_guard lock(mutex_);
    if (storedUids_.insert(inst.sopUid).second) {
      stored_.push_back(inst);
      ++distinct_[inst.seriesUid];
    }
  }
  if (stored) *stored = inst;
  if (onStored) onStored(inst);
  return true;
}

bool TInstanceStore::BeginStream(uint64_t announcedBytes, std::string& why) {
  AbortStream();
  if (announcedBytes > maxInstanceBytes) {
    why = sender + " announced an image of " + std::to_string(announcedBytes) +
          " bytes, more than accepted";
    return false;
  }
  if (announcedBytes > 0) {
    std::error_code ec;
    const fs::space_info space = fs::space(dir_, ec);
    if (!ec && announcedBytes > space.available) {
      why = "not enough disk space in " + dir_ + " for the next image";
      return false;
    }
  }
  streamPath_ = NewStagingPath();
  stream_ = std::fopen(streamPath_.c_str(), "wb");
  if (!stream_) {
    why = "cannot write in " + dir_ + ": " + std::strerror(errno);
    streamPath_.clear();
    return false;
  }
  streamBytes_ = 0;
  return true;
}

bool TInstanceStore::WriteStream(const char* data, size_t size, std::string& why) {
  if (!stream_) {
    why = "internal error: no image is being received";
    return false;
  }
  streamBytes_ += size;
  if (streamBytes_ > maxInstanceBytes) {
    why = sender + " sent an image larger than accepted";
    AbortStream();
    return false;
  }
  if (std::fwrite(data, 1, size, stream_) != size) {
    why = "cannot write in " + dir_ + ": " + std::strerror(errno);
    AbortStream();
    return false;
  }
  return true;
}

bool TInstanceStore::EndStream(std::string& why, TStoredInstance* stored) {
  if (!stream_) {
    why = "internal error: no image is being received";
    return false;
  }
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  const std::string path = std::move(streamPath_);
  streamPath_.clear();
  if (!closed) {
    why = "cannot write in " + dir_ + ": " + std::strerror(errno);
    Discard(path);
    return false;
  }
  return Commit(path, why, stored);
}

void TInstanceStore::AbortStream() {
  if (stream_) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
  if (!streamPath_.empty()) {
    Discard(streamPath_);
    streamPath_.clear();
  }
}

std::vector<TStoredInstance> TInstanceStore::Stored() const {
  std::lock_guard lock(mutex_);
  return stored_;
}

size_t TInstanceStore::StoredCount() const {
  std::lock_guard lock(mutex_);
  return stored_.size();
}

size_t TInstanceStore::MissingCount() const {
  std::lock_guard lock(mutex_);
  size_t missing = 0;
  for (const auto& [series, count] : expect_.perSeries) {
    const auto got = distinct_.find(series);
    const int have = got == distinct_.end() ? 0 : got->second;
    if (have < count) missing += size_t(count - have);
  }
  return missing;
}

std::map<std::string, int> TInstanceStore::StoredPerSeries() const {
  std::lock_guard lock(mutex_);
  return distinct_;
}
