// Values worked out from a file (its calibration, its inflated data set, the
// range of its samples), kept for the next caller that asks about the same
// file as it is now. The key is the path with the file's size and change
// time, so a file replaced on disk is a new key and its old entry ages out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

// Size and change time of a file, to tell a file that was replaced after it
// was first read. A negative size: no such file.
struct FileStamp {
  int64_t size = -1;
  int64_t mtimeNs = 0;
  bool exists() const { return size >= 0; }
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const std::string& path);

// A small cache of values per file, the least recently asked for going first
// once it holds `capacity`. Thread-safe. Each value is made once per key: a
// caller asking while another makes it waits and shares the result, and calls
// for other files run meanwhile. A value that throws is not kept.
template <typename V>
class TFileCache {
 public:
  using Ptr = std::shared_ptr<const V>;
  explicit TFileCache(size_t capacity) : capacity_(capacity) {}

  // The value for the file at path as it is now, made by make() (a callable
  // returning V) the first time; `extra` keys a value that depends on more
  // than the file. Null when the file cannot be found (nothing is made then).
  template <typename Make>
  Ptr Get(const std::string& path, Make&& make, const std::string& extra = {}) {
    const FileStamp stamp = StampOf(path);
    if (!stamp.exists()) return nullptr;
    std::string key = path;
    key.append(1, '\n').append(std::to_string(stamp.size));
    key.append(1, '\n').append(std::to_string(stamp.mtimeNs));
    key.append(1, '\n').append(extra);
    std::shared_ptr<Entry> entry;
    {
      std::lock_guard lock(mutex_);
      for (auto it = entries_.begin(); it != entries_.end(); ++it)
        if ((*it)->key == key) {
          entries_.splice(entries_.begin(), entries_, it);
          entry = *it;
          break;
        }
      if (!entry) {
        entry = std::make_shared<Entry>();
        entry->key = std::move(key);
        entries_.push_front(entry);
        if (entries_.size() > capacity_) entries_.pop_back();
      }
    }
    std::call_once(entry->once, [&] { entry->value = std::make_shared<const V>(make()); });
    return entry->value;
  }

 private:
  struct Entry {
    std::string key;
    std::once_flag once;
    Ptr value;
  };
  std::mutex mutex_;
  std::list<std::shared_ptr<Entry>> entries_;  // most recently asked for first
  const size_t capacity_;
};
