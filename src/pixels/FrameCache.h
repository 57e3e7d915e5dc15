// Decoded frames of every image the program shows, held under one byte budget
// shared by the viewer cells, the thumbnails, prefetch and volume building.
//
// Frames are keyed by file path and frame number (1-based) and held as shared,
// immutable blocks (FramePtr). Holding a FramePtr pins the frame: the cache
// never evicts a frame that someone outside it still holds, so the frames on
// display, a playing cine's range and the slices of a volume being built stay
// as long as they are used. Everything else goes least recently used first as
// soon as the bytes held pass the budget. Pinned frames can take the total past
// the budget (nine cells always show their nine frames); they become
// evictable the moment their last holder lets go. Memory held beside the
// cache, a built volume, is charged to the same budget (Charge) and pushes
// frames out as they do.
//
// A frame that is not held is decoded again from its file when it is asked
// for (Acquire), through the same DecodeFrame dispatch as a first decode, so a
// re-read frame equals the first decode. A file that changed or vanished since
// its first decode is refused with a reason instead of being read with the
// frame tables of the file it used to be.
//
// The cache looks at a DecodedFrame only for its byte size (FrameBytes).
//
// Every member may be called from any thread. Decoding runs on the calling
// thread, outside the cache's lock; two threads asking for the same missing
// frame decode it once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "dicom/FileCache.h"  // FileStamp: a file replaced after its frames were read
#include "dicom/define_types.h"
#include "pixels/FrameDecoder.h"

using FramePtr = std::shared_ptr<const DecodedFrame>;

// Bytes a decoded frame occupies (its buffers' capacities).
int64_t FrameBytes(const DecodedFrame& f);

// What a miss needs to decode the frames of one file: the path, the header the
// reader gave and the frame tables (entry k - 1 locates frame k). Shared and
// immutable once made, so queued prefetch jobs and cells can hold one copy.
struct FrameSource {
  std::string path;
  DICOMdata header;                // frame tables moved out into framePos/frameSize
  std::vector<int64_t> framePos;   // file offset of frame k's compressed data
  std::vector<int64_t> frameSize;  // its length
  int frames = 1;                  // frames the header announces (at least 1)
  int64_t frameBytes = 0;          // decoded bytes of one frame by the header
  // The file as it was when the header was read (ReadFrameSource); unknown
  // for a header taken from the tree. A source newer than the frames cached
  // for its path replaces them.
  FileStamp stamp;
};
using FrameSourcePtr = std::shared_ptr<const FrameSource>;

// A source from a header already read (a tree image's): the header is copied
// without its own frame tables; pos and size are the tables to use (a tree
// image keeps them beside its header). When both are empty, the header's own
// tables are used.
FrameSourcePtr MakeFrameSource(const std::string& path, const DICOMdata& header,
                               const std::vector<int64_t>& pos = {},
                               const std::vector<int64_t>& size = {});
// Reads the header of `path` (with frame tables) into a source. Null, with a
// one-line reason, when the file cannot be read or holds no displayable image.
FrameSourcePtr ReadFrameSource(const std::string& path, std::string* reason = nullptr);

class FrameCache;

// Memory held outside the cache that counts against its budget (a built
// volume) for as long as this object lives: moving it moves the charge,
// destroying it returns the bytes. The cache must outlive it.
class CacheCharge {
 public:
  CacheCharge() = default;
  CacheCharge(CacheCharge&& other) noexcept;
  CacheCharge& operator=(CacheCharge&& other) noexcept;
  ~CacheCharge();
  int64_t bytes() const { return bytes_; }
  // Returns the bytes now.
  void Release();

 private:
  friend class FrameCache;
  FrameCache* cache_ = nullptr;
  int64_t bytes_ = 0;
};

class FrameCache {
 public:
  // A quarter of physical memory, at most 4 GiB (and at least 64 MiB).
  static int64_t DefaultBudget();
  // The cache every part of the program shares (default budget until set).
  static FrameCache& Shared();

  explicit FrameCache(int64_t budgetBytes = DefaultBudget());
  FrameCache(const FrameCache&) = delete;
  FrameCache& operator=(const FrameCache&) = delete;

  // A new budget takes effect at once: frames not held go until it is met.
  // Values below 1 MiB are raised to 1 MiB.
  void SetBudget(int64_t bytes);
  int64_t Budget() const;

  struct Stats {
    int64_t bytesHeld = 0;     // every frame in the cache, pinned or not
    int64_t bytesPinned = 0;   // of those, frames someone outside holds
    int64_t bytesCharged = 0;  // held outside and charged to the budget (Charge)
    size_t frames = 0;
    uint64_t hits = 0, misses = 0, decodes = 0, evictions = 0;
  };
  Stats GetStats() const;
  int64_t BytesHeld() const;

  // The frame when it is cached (it becomes the most recently used); null when not.
  FramePtr Find(const std::string& path, int frame);
  // Whether the frame is cached, without counting as a use.
  bool Contains(const std::string& path, int frame) const;
  // The frame from the cache, or decoded from src on a miss and stored. Null,
  // with a one-line reason, when it cannot be decoded (nothing is stored
  // then). codecThreads as for DecodeFrame. A frame larger than the whole
  // budget is decoded and returned but not stored.
  FramePtr Acquire(const FrameSource& src, int frame, std::string* reason = nullptr,
                   int codecThreads = 0);
  // Stores a decoded frame (replacing one of the same key) and returns it.
  FramePtr Insert(const std::string& path, int frame, DecodedFrame&& f);

  // Drops one file's frames (holders keep theirs) and what the cache knew of
  // the file, so that its next read starts afresh.
  void Forget(const std::string& path);
  // Drops every frame and file record. Decodes running meanwhile return their
  // frame to their caller without storing it.
  void Clear();

  // Room for frames a caller pins as a group (a playing cine keeps its whole
  // range): granted while all reservations together stay within half the
  // budget, so pinned groups can never crowd out the rest. A granted
  // reservation is returned with Unreserve.
  bool Reserve(int64_t bytes);
  void Unreserve(int64_t bytes);
  int64_t Reserved() const;

  // Charges memory held outside the cache (a volume about to be built) to the
  // budget: frames not held are evicted to make room, so frames and charges
  // together stay within it as far as pinned frames allow. Refused, with a
  // one-line reason and nothing evicted, when the charge alone passes the
  // whole budget. Charges held together may pass it, as pinned frames may (a
  // new volume is built while the one it replaces is still shown). Call
  // before allocating what is charged.
  bool Charge(int64_t bytes, CacheCharge& charge, std::string* reason = nullptr);
  int64_t Charged() const;

 private:
  struct Key {
    std::string path;
    int frame = 0;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const noexcept;
  };
  struct Entry {
    Key key;
    FramePtr frame;
    int64_t bytes = 0;
  };
  struct InFlight;
  using Lru = std::list<Entry>;  // most recently used first

  friend class CacheCharge;
  void Uncharge(int64_t bytes);

  // Under mu_.
  FramePtr StoreLocked(const Key& key, FramePtr frame, int64_t bytes);
  void EvictLocked(int64_t keepFree);
  void EraseLocked(Lru::iterator it);
  // Refuses a file that changed or vanished since its frames were first read.
  bool CheckStampLocked(const std::string& path, const FileStamp& now, std::string* reason) const;

  mutable std::mutex mu_;
  // Waiters for any decode in flight: one variable is enough, as decodes end
  // far less often than frames are looked up.
  std::condition_variable flightDone_;
  Lru lru_;
  std::unordered_map<Key, Lru::iterator, KeyHash> index_;
  std::unordered_map<Key, std::shared_ptr<InFlight>, KeyHash> inFlight_;
  std::unordered_map<std::string, FileStamp> stamps_;
  int64_t budget_ = 0;
  int64_t held_ = 0;
  int64_t reserved_ = 0;
  int64_t charged_ = 0;
  uint64_t generation_ = 0;  // bumped by Clear and Forget
  uint64_t hits_ = 0, misses_ = 0, decodes_ = 0, evictions_ = 0;
};
