#include "net/Multipart.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

constexpr size_t kMaxPadding = 64;

}  // namespace

std::string TMediaType::Param(std::string_view name) const {
  const std::string key = Lower(name);
  for (const auto& [k, v] : params)
    if (k == key) return v;
  return {};
}

bool ParseMediaType(std::string_view text, TMediaType& out) {
  out = {};
  size_t i = 0;
  auto skipSpace = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  };
  skipSpace();
  const size_t typeStart = i;
  while (i < text.size() && text[i] != ';') ++i;
  out.type = Lower(Trim(text.substr(typeStart, i - typeStart)));
  if (out.type.empty() || out.type.find('/') == std::string::npos) return false;
  while (i < text.size()) {
    ++i;  // the ';'
    skipSpace();
    const size_t nameStart = i;
    while (i < text.size() && text[i] != '=' && text[i] != ';') ++i;
    const std::string name = Lower(Trim(text.substr(nameStart, i - nameStart)));
    std::string value;
    if (i < text.size() && text[i] == '=') {
      ++i;
      skipSpace();
      if (i < text.size() && text[i] == '"') {
        ++i;
        bool closed = false;
        while (i < text.size()) {
          const char c = text[i++];
          if (c == '\\' && i < text.size()) {
            value += text[i++];
          } else if (c == '"') {
            closed = true;
            break;
          } else {
            value += c;
          }
        }
        if (!closed) return false;
        skipSpace();
        if (i < text.size() && text[i] != ';') return false;
      } else {
        const size_t valueStart = i;
        while (i < text.size() && text[i] != ';') ++i;
        value = std::string(Trim(text.substr(valueStart, i - valueStart)));
      }
    }
    if (!name.empty()) out.params.emplace_back(name, value);
  }
  return true;
}

TMultipartParser::TMultipartParser(std::string boundary, Sink sink, TMultipartLimits limits)
    : dashBoundary_("--" + boundary),
      delimiter_("\r\n--" + boundary),
      sink_(std::move(sink)),
      limits_(limits) {
  if (boundary.empty() || boundary.size() > 200)
    Fail("the multipart boundary is missing or too long");
}

bool TMultipartParser::Fail(std::string why) {
  if (state_ != State::Failed) error_ = std::move(why);
  state_ = State::Failed;
  return false;
}

void TMultipartParser::Consume(size_t n) {
  pos_ += n;
  if (pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ > 65536 && pos_ * 2 > buf_.size()) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
}

bool TMultipartParser::Feed(const char* data, size_t size) {
  if (state_ == State::Failed) return false;
  if (state_ == State::Epilogue) return true;  // whatever follows the close delimiter is ignored
  buf_.append(data, size);
  return Run();
}

bool TMultipartParser::Run() {
  for (;;) {
    const size_t before = buf_.size() - pos_;
    const State was = state_;
    bool ok = true;
    switch (state_) {
      case State::Preamble:
        ok = StepPreamble();
        break;
      case State::AfterDelimiter:
        ok = StepAfterDelimiter();
        break;
      case State::Headers:
        ok = StepHeaders();
        break;
      case State::Body:
        ok = StepBody();
        break;
      case State::Epilogue:
        buf_.clear();
        pos_ = 0;
        return true;
      case State::Failed:
        return false;
    }
    if (!ok) return false;
    // Stop when a step could neither consume bytes nor move on: it waits for more.
    if (state_ == was && buf_.size() - pos_ == before) return true;
  }
}

bool TMultipartParser::StepPreamble() {
  const std::string_view p = Pending();
  // The first delimiter may open the body without a line break before it.
  if (preambleSeen_ == 0 && p.size() < dashBoundary_.size() &&
      std::string_view(dashBoundary_).substr(0, p.size()) == p)
    return true;
  if (preambleSeen_ == 0 && p.substr(0, dashBoundary_.size()) == dashBoundary_) {
    Consume(dashBoundary_.size());
    state_ = State::AfterDelimiter;
    return true;
  }
  const size_t at = p.find(delimiter_);
  if (at != std::string_view::npos) {
    Consume(at + delimiter_.size());
    preambleSeen_ += at + 1;
    state_ = State::AfterDelimiter;
    return true;
  }
  const size_t keep = std::min(p.size(), delimiter_.size() - 1);
  const size_t drop = p.size() - keep;
  preambleSeen_ += drop == 0 ? (p.empty() ? 0 : 1) : drop;
  if (preambleSeen_ > limits_.maxPreambleBytes)
    return Fail("the answer is not a multipart body with the announced boundary");
  Consume(drop);
  return true;
}

bool TMultipartParser::StepAfterDelimiter() {
  const std::string_view p = Pending();
  if (p.size() < 2) return true;
  if (p.substr(0, 2) == "--") {
    state_ = State::Epilogue;
    return true;
  }
  size_t i = 0;
  while (i < p.size() && (p[i] == ' ' || p[i] == '\t') && i <= kMaxPadding) ++i;
  if (i > kMaxPadding) return Fail("malformed multipart delimiter line");
  if (p.size() < i + 2) return true;
  if (p.substr(i, 2) != "\r\n") return Fail("malformed multipart delimiter line");
  Consume(i + 2);
  state_ = State::Headers;
  return true;
}

bool TMultipartParser::StepHeaders() {
  const std::string_view p = Pending();
  size_t headerEnd, bodyStart;
  if (p.substr(0, 2) == "\r\n") {
    headerEnd = 0;
    bodyStart = 2;
  } else {
    const size_t at = p.find("\r\n\r\n");
    if (at == std::string_view::npos) {
      if (p.size() > limits_.maxHeaderBytes) return Fail("a part's header block is too long");
      return true;
    }
    headerEnd = at;
    bodyStart = at + 4;
  }
  if (headerEnd > limits_.maxHeaderBytes) return Fail("a part's header block is too long");
  part_ = Part{};
  std::string_view block = p.substr(0, headerEnd);
  while (!block.empty()) {
    const size_t eol = block.find("\r\n");
    const std::string_view line = block.substr(0, eol);
    block = eol == std::string_view::npos ? std::string_view() : block.substr(eol + 2);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      if (Trim(line).empty()) continue;
      return Fail("malformed header line in a multipart part");
    }
    const std::string name = Lower(Trim(line.substr(0, colon)));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (name == "content-type") {
      part_.contentType = std::string(value);
    } else if (name == "content-length") {
      if (value.empty() || value.size() > 20) return Fail("malformed Content-Length in a part");
      uint64_t n = 0;
      for (char c : value) {
        if (c < '0' || c > '9') return Fail("malformed Content-Length in a part");
        if (n > (UINT64_MAX - 9) / 10) return Fail("a part announces an impossible length");
        n = n * 10 + uint64_t(c - '0');
      }
      if (n > limits_.maxPartBytes)
        return Fail("a part announces " + std::to_string(n) +
                    " bytes, more than an image may hold");
      part_.hasLength = true;
      part_.length = n;
    }
  }
  Consume(bodyStart);
  partBytes_ = 0;
  std::string why;
  if (sink_.begin && !sink_.begin(part_, why)) return Fail(why);
  state_ = State::Body;
  return true;
}

bool TMultipartParser::EmitData(size_t n) {
  if (n == 0) return true;
  partBytes_ += n;
  if (partBytes_ > limits_.maxPartBytes) return Fail("a part is larger than an image may be");
  std::string why;
  if (sink_.data && !sink_.data(buf_.data() + pos_, n, why)) return Fail(why);
  Consume(n);
  return true;
}

bool TMultipartParser::StepBody() {
  std::string_view p = Pending();
  if (part_.hasLength) {
    const uint64_t remaining = part_.length - partBytes_;
    if (remaining > 0) return EmitData(size_t(std::min<uint64_t>(remaining, p.size())));
    if (p.size() < delimiter_.size()) {
      if (std::string_view(delimiter_).substr(0, p.size()) != p)
        return Fail("the server sent more bytes in a part than its Content-Length announced");
      return true;
    }
    if (p.substr(0, delimiter_.size()) != delimiter_)
      return Fail("the server sent more bytes in a part than its Content-Length announced");
  } else {
    const size_t at = p.find(delimiter_);
    if (at == std::string_view::npos) {
      // The tail might be the start of a delimiter split across chunks.
      const size_t keep = std::min(p.size(), delimiter_.size() - 1);
      return EmitData(p.size() - keep);
    }
    if (!EmitData(at)) return false;
  }
  std::string why;
  if (sink_.end && !sink_.end(why)) return Fail(why);
  ++parts_;
  Consume(delimiter_.size());
  state_ = State::AfterDelimiter;
  return true;
}

bool TMultipartParser::Finish() {
  switch (state_) {
    case State::Epilogue:
      return true;
    case State::Failed:
      return false;
    case State::AfterDelimiter:
    case State::Headers:
      // Some servers end after the last part's delimiter without the closing "--".
      if (parts_ > 0 && Pending().empty()) return true;
      return Fail(state_ == State::Headers ? "the answer ended in the middle of an image"
                                           : "the answer ended inside a multipart delimiter");
    case State::Preamble:
      return Fail(parts_ == 0 && buf_.size() == pos_ && preambleSeen_ == 0
                      ? "the server's answer was empty"
                      : "the answer is not a multipart body with the announced boundary");
    case State::Body:
      return Fail("the answer ended in the middle of an image");
  }
  return false;
}
