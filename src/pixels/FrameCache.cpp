#include "pixels/FrameCache.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

#include "dicom/dicom.h"
#include "pixels/FrameGeometry.h"

namespace {

constexpr int64_t kMiB = int64_t{1} << 20;

}  // namespace

int64_t FrameBytes(const DecodedFrame& f) {
  return int64_t(f.buff8.capacity()) + int64_t(f.buff24.capacity()) +
         int64_t(f.buff16.capacity()) * int64_t(sizeof(int16_t));
}

namespace {

void FinishSource(FrameSource& s) {
  s.frames = std::max(1, s.header.XYZdim[2]);
  s.frameBytes = std::max<int64_t>(0, ComputeFrameGeometry(s.header).frameBytes);
}

}  // namespace

FrameSourcePtr MakeFrameSource(const std::string& path, const DICOMdata& header,
                               const std::vector<int64_t>& pos, const std::vector<int64_t>& size) {
  auto s = std::make_shared<FrameSource>();
  s->path = path;
  s->header = header;
  if (pos.empty() && size.empty()) {
    const size_t n = size_t(std::max(header.gECATJPEG_table_entries, 0));
    s->framePos = std::move(s->header.gECATJPEG_pos_table);
    s->frameSize = std::move(s->header.gECATJPEG_size_table);
    s->framePos.resize(std::min(s->framePos.size(), n));
    s->frameSize.resize(std::min(s->frameSize.size(), n));
  } else {
    s->framePos = pos;
    s->frameSize = size;
  }
  s->header.gECATJPEG_table_entries = 0;
  s->header.gECATJPEG_pos_table.clear();
  s->header.gECATJPEG_size_table.clear();
  FinishSource(*s);
  return s;
}

FrameSourcePtr ReadFrameSource(const std::string& path, std::string* reason) {
  const auto fail = [&](std::string why) -> FrameSourcePtr {
    if (reason) *reason = std::move(why);
    return nullptr;
  };
  const FileStamp stamp = StampOf(path);
  DICOMdata h;
  bool hdrOK = false, imgOK = false;
  try {
    ReadDicomHeader(path, true, h, hdrOK, imgOK, [](const std::string&) {});
  } catch (const std::exception& e) {
    return fail(std::string("the header cannot be read: ") + e.what());
  } catch (...) {
    return fail("the header cannot be read");
  }
  if (!stamp.exists() && !hdrOK) return fail("the file cannot be found: " + path);
  if (!imgOK) return fail("the file holds no image that can be displayed");
  h.referenceFile = path;
  FrameSourcePtr s = MakeFrameSource(path, h);
  std::const_pointer_cast<FrameSource>(s)->stamp = stamp;
  return s;
}

// ------------------------------------------------------------------ cache

struct FrameCache::InFlight {
  bool done = false;
  FramePtr result;
  std::string reason;
};

size_t FrameCache::KeyHash::operator()(const Key& k) const noexcept {
  return std::hash<std::string>()(k.path) ^ (size_t(k.frame) * 0x9E3779B97F4A7C15ull);
}

int64_t FrameCache::DefaultBudget() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGE_SIZE);
  int64_t physical = pages > 0 && page > 0 ? int64_t(pages) * int64_t(page) : 4096 * kMiB;
  return std::clamp<int64_t>(physical / 4, 64 * kMiB, 4096 * kMiB);
}

FrameCache& FrameCache::Shared() {
  static FrameCache cache;
  return cache;
}

FrameCache::FrameCache(int64_t budgetBytes) : budget_(std::max(budgetBytes, kMiB)) {}

void FrameCache::SetBudget(int64_t bytes) {
  std::lock_guard lock(mu_);
  budget_ = std::max(bytes, kMiB);
  EvictLocked(0);
}

int64_t FrameCache::Budget() const {
  std::lock_guard lock(mu_);
  return budget_;
}

FrameCache::Stats FrameCache::GetStats() const {
  std::lock_guard lock(mu_);
  Stats s;
  s.bytesHeld = held_;
  s.bytesCharged = charged_;
  s.frames = lru_.size();
  for (const Entry& e : lru_)
    if (e.frame.use_count() > 1) s.bytesPinned += e.bytes;
  s.hits = hits_;
  s.misses = misses_;
  s.decodes = decodes_;
  s.evictions = evictions_;
  return s;
}

int64_t FrameCache::BytesHeld() const {
  std::lock_guard lock(mu_);
  return held_;
}

FramePtr FrameCache::Find(const std::string& path, int frame) {
  std::lock_guard lock(mu_);
  const auto it = index_.find(Key{path, frame});
  if (it == index_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, it->second);
  ++hits_;
  return it->second->frame;
}

bool FrameCache::Contains(const std::string& path, int frame) const {
  std::lock_guard lock(mu_);
  return index_.count(Key{path, frame}) != 0;
}

void FrameCache::EraseLocked(Lru::iterator it) {
  held_ -= it->bytes;
  index_.erase(it->key);
  lru_.erase(it);
}

// Least recently used first; a frame someone holds is passed over (and moved
// to the front, as it is in use). Only the cache holds a frame whose count is
// 1, and only the cache hands out new references, so the test cannot race.
void FrameCache::EvictLocked(int64_t keepFree) {
  size_t examined = 0;
  const size_t n = lru_.size();
  while (held_ + charged_ + keepFree > budget_ && !lru_.empty() && examined < n) {
    auto last = std::prev(lru_.end());
    ++examined;
    if (last->frame.use_count() > 1) {
      lru_.splice(lru_.begin(), lru_, last);
      continue;
    }
    EraseLocked(last);
    ++evictions_;
  }
}

FramePtr FrameCache::StoreLocked(const Key& key, FramePtr frame, int64_t bytes) {
  if (const auto it = index_.find(key); it != index_.end()) EraseLocked(it->second);
  // A frame larger than what charges leave of the budget would only push out
  // everything else.
  if (bytes > budget_ - charged_) return frame;
  EvictLocked(bytes);
  lru_.push_front(Entry{key, frame, bytes});
  index_.emplace(key, lru_.begin());
  held_ += bytes;
  return frame;
}

FramePtr FrameCache::Insert(const std::string& path, int frame, DecodedFrame&& f) {
  auto p = std::make_shared<const DecodedFrame>(std::move(f));
  const int64_t bytes = FrameBytes(*p);
  std::lock_guard lock(mu_);
  return StoreLocked(Key{path, frame}, std::move(p), bytes);
}

bool FrameCache::CheckStampLocked(const std::string& path, const FileStamp& now,
                                  std::string* reason) const {
  const auto it = stamps_.find(path);
  if (!now.exists()) {
    if (reason)
      *reason = "the file cannot be found (moved or deleted since it was loaded): " + path;
    return false;
  }
  if (it != stamps_.end() && !(it->second == now)) {
    if (reason) *reason = "the file changed after it was loaded; open it again: " + path;
    return false;
  }
  return true;
}

FramePtr FrameCache::Acquire(const FrameSource& src, int frame, std::string* reason,
                             int codecThreads) {
  const Key key{src.path, frame};
  const FileStamp now = StampOf(src.path);
  std::shared_ptr<InFlight> flight;
  uint64_t generation = 0;
  {
    std::unique_lock lock(mu_);
    // A source read after the frames cached for its path describes the file
    // as it is now: those frames are another file's.
    if (src.stamp.exists()) {
      const auto st = stamps_.find(src.path);
      if (st != stamps_.end() && !(st->second == src.stamp)) {
        for (auto it = lru_.begin(); it != lru_.end();) {
          auto here = it++;
          if (here->key.path == src.path) EraseLocked(here);
        }
        stamps_.erase(st);
      }
    }
    if (const auto it = index_.find(key); it != index_.end()) {
      lru_.splice(lru_.begin(), lru_, it->second);
      ++hits_;
      return it->second->frame;
    }
    ++misses_;
    if (const auto f = inFlight_.find(key); f != inFlight_.end()) {
      std::shared_ptr<InFlight> other = f->second;
      flightDone_.wait(lock, [&] { return other->done; });
      if (!other->result && reason) *reason = other->reason;
      return other->result;
    }
    if (!CheckStampLocked(src.path, now, reason)) return nullptr;
    flight = std::make_shared<InFlight>();
    inFlight_.emplace(key, flight);
    generation = generation_;
  }

  DecodedFrame out;
  std::string why;
  bool ok = false;
  try {
    ok = DecodeFrame(src.path, src.header, src.framePos, src.frameSize, frame, out, &why,
                     codecThreads);
  } catch (const std::bad_alloc&) {
    why = "the frame does not fit in memory";
  } catch (...) {
    why = "the frame cannot be decoded";
  }
  if (!ok && why.empty()) why = "the frame cannot be decoded";
  FramePtr p;
  if (ok) {
    try {
      p = std::make_shared<const DecodedFrame>(std::move(out));
    } catch (const std::bad_alloc&) {
      ok = false;
      why = "the frame does not fit in memory";
    }
  }
  {
    std::lock_guard lock(mu_);
    inFlight_.erase(key);
    if (ok) {
      ++decodes_;
      // Stored only when no Clear or Forget came in between: the frame would
      // otherwise outlive the study it was decoded for.
      if (generation == generation_) {
        stamps_.try_emplace(src.path, now);
        p = StoreLocked(key, p, FrameBytes(*p));
      }
    }
    flight->done = true;
    flight->result = p;
    flight->reason = why;
  }
  flightDone_.notify_all();
  if (!ok && reason) *reason = why;
  return p;
}

void FrameCache::Forget(const std::string& path) {
  std::lock_guard lock(mu_);
  for (auto it = lru_.begin(); it != lru_.end();) {
    auto here = it++;
    if (here->key.path == path) EraseLocked(here);
  }
  stamps_.erase(path);
  ++generation_;
}

void FrameCache::Clear() {
  std::lock_guard lock(mu_);
  lru_.clear();
  index_.clear();
  stamps_.clear();
  held_ = 0;
  ++generation_;
}

bool FrameCache::Reserve(int64_t bytes) {
  std::lock_guard lock(mu_);
  if (bytes < 0 || reserved_ + bytes > budget_ / 2) return false;
  reserved_ += bytes;
  return true;
}

void FrameCache::Unreserve(int64_t bytes) {
  std::lock_guard lock(mu_);
  reserved_ = std::max<int64_t>(0, reserved_ - bytes);
}

int64_t FrameCache::Reserved() const {
  std::lock_guard lock(mu_);
  return reserved_;
}

bool FrameCache::Charge(int64_t bytes, CacheCharge& charge, std::string* reason) {
  charge.Release();
  if (bytes < 0) bytes = 0;
  std::lock_guard lock(mu_);
  if (bytes > budget_) {
    if (reason) {
      constexpr int64_t kMb = 1000 * 1000;
      *reason = "it needs " + std::to_string((bytes + kMb - 1) / kMb) + " MB, more than the " +
                std::to_string(budget_ / kMb) + " MB set for images";
    }
    return false;
  }
  charged_ += bytes;
  EvictLocked(0);
  charge.cache_ = this;
  charge.bytes_ = bytes;
  return true;
}

int64_t FrameCache::Charged() const {
  std::lock_guard lock(mu_);
  return charged_;
}

void FrameCache::Uncharge(int64_t bytes) {
  std::lock_guard lock(mu_);
  charged_ = std::max<int64_t>(0, charged_ - bytes);
}

CacheCharge::CacheCharge(CacheCharge&& other) noexcept
    : cache_(std::exchange(other.cache_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}

CacheCharge& CacheCharge::operator=(CacheCharge&& other) noexcept {
  if (this != &other) {
    Release();
    cache_ = std::exchange(other.cache_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

CacheCharge::~CacheCharge() {
  Release();
}

void CacheCharge::Release() {
  if (cache_) cache_->Uncharge(bytes_);
  cache_ = nullptr;
  bytes_ = 0;
}
