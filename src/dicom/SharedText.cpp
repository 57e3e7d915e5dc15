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

struct Shard {
  std::mutex lock;
  std::unordered_map<std::string_view, TSharedText::Node*> values;
};

// Never destroyed: headers held by statics are released after exit begins.
std::array<Shard, 64>& Shards() {
  static auto* shards = new std::array<Shard, 64>;
  return *shards;
}

Shard& ShardOf(std::string_view text) {
  return Shards()[std::hash<std::string_view>{}(text) % Shards().size()];
}

// A value whose count reached zero is being removed by its last holder; it is
// never revived, so only that holder touches it again.
bool Retain(TSharedText::Node* n) {
  uint32_t r = n->refs.load(std::memory_order_relaxed);
  while (r != 0)
    if (n->refs.compare_exchange_weak(r, r + 1, std::memory_order_relaxed)) return true;
  return false;
}

void Release(TSharedText::Node* n) {
  if (!n || n->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  Shard& s = ShardOf(n->text);
  {
    std::lock_guard g(s.lock);
    auto it = s.values.find(n->text);
    if (it != s.values.end() && it->second == n) s.values.erase(it);
  }
  delete n;
}

}  // namespace

TSharedText::TSharedText(std::string_view text) {
  if (text.empty()) return;
  Shard& s = ShardOf(text);
  std::lock_guard g(s.lock);
  auto it = s.values.find(text);
  if (it != s.values.end() && Retain(it->second)) {
    node_ = it->second;
    return;
  }
  auto* n = new Node;
  n->text.assign(text);
  // A dying value under the same text is replaced; its holder erases only
  // its own entry.
  if (it != s.values.end()) s.values.erase(it);
  s.values.emplace(std::string_view(n->text), n);
  node_ = n;
}

TSharedText::TSharedText(const TSharedText& o) noexcept : node_(o.node_) {
  if (node_) node_->refs.fetch_add(1, std::memory_order_relaxed);
}

TSharedText& TSharedText::operator=(const TSharedText& o) noexcept {
  if (o.node_) o.node_->refs.fetch_add(1, std::memory_order_relaxed);
  Release(node_);
  node_ = o.node_;
  return *this;
}

TSharedText& TSharedText::operator=(TSharedText&& o) noexcept {
  if (this != &o) {
    Release(node_);
    node_ = o.node_;
    o.node_ = nullptr;
  }
  return *this;
}

TSharedText::~TSharedText() {
  Release(node_);
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
