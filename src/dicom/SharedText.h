// A text value that every holder of the same text shares.
//
// The study tree keeps a whole header per image, and most of a header's texts
// (the study, series and class UIDs, descriptions, names, institution) are the
// same for every image of a series. Held as std::string they cost 32 bytes
// each plus a heap copy per image; held as TSharedText they cost one pointer
// and one copy per distinct value in the process. A value lives while any
// holder refers to it, so Clear Study gives it back.
//
// Immutable: assignment replaces the value. Thread-safe: values are made and
// released under a lock per shard of the table; copies touch only a counter.
#pragma once

#include <compare>
#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>

class TSharedText {
 public:
  TSharedText() noexcept = default;
  TSharedText(std::string_view text);  // NOLINT: implicit, as a std::string field was
  TSharedText(const std::string& text) : TSharedText(std::string_view(text)) {}
  TSharedText(const char* text) : TSharedText(std::string_view(text)) {}
  TSharedText(const TSharedText& o) noexcept;
  TSharedText(TSharedText&& o) noexcept : node_(o.node_) { o.node_ = nullptr; }
  TSharedText& operator=(const TSharedText& o) noexcept;
  TSharedText& operator=(TSharedText&& o) noexcept;
  // Most texts of a record are empty: letting go of none costs no call.
  ~TSharedText() {
    if (node_) Release(node_);
  }

  const std::string& str() const noexcept;
  operator const std::string&() const noexcept { return str(); }  // NOLINT

  bool empty() const noexcept { return node_ == nullptr; }
  size_t size() const noexcept { return str().size(); }
  size_t length() const noexcept { return size(); }
  const char* c_str() const noexcept { return str().c_str(); }
  const char* data() const noexcept { return str().data(); }
  char operator[](size_t i) const noexcept { return str()[i]; }
  char front() const noexcept { return str().front(); }
  char back() const noexcept { return str().back(); }
  auto begin() const noexcept { return str().begin(); }
  auto end() const noexcept { return str().end(); }
  std::string substr(size_t pos, size_t n = std::string::npos) const {
    return str().substr(pos, n);
  }
  size_t find(std::string_view s, size_t pos = 0) const noexcept { return str().find(s, pos); }
  size_t find(char c, size_t pos = 0) const noexcept { return str().find(c, pos); }
  size_t rfind(char c, size_t pos = std::string::npos) const noexcept {
    return str().rfind(c, pos);
  }
  int compare(std::string_view s) const noexcept { return str().compare(s); }
  bool starts_with(std::string_view s) const noexcept { return str().starts_with(s); }
  bool ends_with(std::string_view s) const noexcept { return str().ends_with(s); }
  void clear() noexcept { *this = TSharedText(); }

  // Equal texts are one value, so two shared texts compare by identity.
  friend bool operator==(const TSharedText& a, const TSharedText& b) noexcept {
    return a.node_ == b.node_;
  }
  friend bool operator==(const TSharedText& a, std::string_view b) noexcept { return a.str() == b; }
  friend bool operator==(const TSharedText& a, const std::string& b) noexcept {
    return a.str() == b;
  }
  friend bool operator==(const TSharedText& a, const char* b) noexcept { return a.str() == b; }
  friend std::strong_ordering operator<=>(const TSharedText& a, const TSharedText& b) noexcept {
    return a.str().compare(b.str()) <=> 0;
  }
  friend std::strong_ordering operator<=>(const TSharedText& a, std::string_view b) noexcept {
    return a.str().compare(b) <=> 0;
  }
  friend std::string operator+(const TSharedText& a, std::string_view b) {
    return std::string(a.str()).append(b);
  }
  friend std::string operator+(std::string_view a, const TSharedText& b) {
    return std::string(a).append(b.str());
  }
  friend std::string operator+(const TSharedText& a, char b) { return a.str() + b; }
  friend std::string operator+(char a, const TSharedText& b) { return a + b.str(); }

  friend std::ostream& operator<<(std::ostream& os, const TSharedText& t);

  // Distinct values alive in the process (for tests and measurements).
  static size_t LiveValues();

  struct Node;

 private:
  static void Release(Node* n) noexcept;

  Node* node_ = nullptr;  // null: the empty text
};
