#include "dicom/SharedText.h"

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <unordered_map>

struct TSharedText::Node {
  std::atomic<uint32_t> refs{1};
  std::string text;
};

namespace {

// The key carries its hash, so a lookup hashes the text once for both the
// shard and the table.
struct Key {
  std::string_view text;
  size_t hash;
  bool operator==(const Key& o) const { return text == o.text; }
};
struct KeyHash {
  size_t operator()(const Key& k) const { return k.hash; }
};

struct Shard {
  std::mutex lock;
  std::unordered_map<Key, TSharedText::Node*, KeyHash> values;
};

constexpr size_t kShards = 64;

// Never destroyed: headers held by statics are released after exit begins.
std::array<Shard, kShards>& Shards() {
  static auto* shards = new std::array<Shard, kShards>;
  return *shards;
}

Key KeyOf(std::string_view text) {
  return {text, std::hash<std::string_view>{}(text)};
}

Shard& ShardOf(const Key& k) {
  // The table uses the low bits of the hash; the shard takes high ones.
  return Shards()[(k.hash >> 32 ^ k.hash >> 16) % kShards];
}

// A value whose count reached zero is being removed by its last holder; it is
// never revived, so only that holder touches it again.
bool Retain(TSharedText::Node* n) {
  uint32_t r = n->refs.load(std::memory_order_relaxed);
  while (r != 0)
    if (n->refs.compare_exchange_weak(r, r + 1, std::memory_order_relaxed)) return true;
  return false;
}

}  // namespace

void TSharedText::Release(Node* n) noexcept {
  if (n->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  const Key k = KeyOf(n->text);
  Shard& s = ShardOf(k);
  {
    std::lock_guard g(s.lock);
    auto it = s.values.find(k);
    if (it != s.values.end() && it->second == n) s.values.erase(it);
  }
  delete n;
}

TSharedText::TSharedText(std::string_view text) {
  if (text.empty()) return;
  const Key k = KeyOf(text);
  Shard& s = ShardOf(k);
  std::lock_guard g(s.lock);
  auto it = s.values.find(k);
  if (it != s.values.end() && Retain(it->second)) {
    node_ = it->second;
    return;
  }
  auto* n = new Node;
  n->text.assign(text);
  // A dying value under the same text is replaced; its holder erases only
  // its own entry.
  if (it != s.values.end()) s.values.erase(it);
  s.values.emplace(Key{n->text, k.hash}, n);
  node_ = n;
}

TSharedText::TSharedText(const TSharedText& o) noexcept : node_(o.node_) {
  if (node_) node_->refs.fetch_add(1, std::memory_order_relaxed);
}

TSharedText& TSharedText::operator=(const TSharedText& o) noexcept {
  if (o.node_) o.node_->refs.fetch_add(1, std::memory_order_relaxed);
  if (node_) Release(node_);
  node_ = o.node_;
  return *this;
}

TSharedText& TSharedText::operator=(TSharedText&& o) noexcept {
  if (this != &o) {
    if (node_) Release(node_);
    node_ = o.node_;
    o.node_ = nullptr;
  }
  return *this;
}

const std::string& TSharedText::str() const noexcept {
  static const std::string kEmpty;
  return node_ ? node_->text : kEmpty;
}

size_t TSharedText::LiveValues() {
  size_t n = 0;
  for (Shard& s : Shards()) {
    std::lock_guard g(s.lock);
    n += s.values.size();
  }
  return n;
}

std::ostream& operator<<(std::ostream& os, const TSharedText& t) {
  return os << t.str();
}
