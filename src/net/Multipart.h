// An incremental reader of multipart/related bodies (RFC 2046, RFC 2387) as
// WADO-RS sends them: bytes go in as the network delivers them, in chunks of
// any size, and each part's body comes out as it arrives, so an image can be
// written and shown before the next one has been sent. Nothing is trusted:
// header blocks, per-part Content-Length and part sizes are bounded, a part
// that runs past the length it announced is refused, and a body that ends
// before its close delimiter is reported as cut short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A media type and its parameters, e.g. multipart/related; type="application/dicom";
// boundary="a;b". Names are lower-cased; quoted values are unquoted (with
// backslash escapes), so a ';' inside quotes stays in its value.
struct TMediaType {
  std::string type;  // "multipart/related", lower case
  std::vector<std::pair<std::string, std::string>> params;
  // The value of a parameter, or empty.
  std::string Param(std::string_view name) const;
};
bool ParseMediaType(std::string_view text, TMediaType& out);

struct TMultipartLimits {
  size_t maxHeaderBytes = 16 * 1024;          // one part's header block
  uint64_t maxPartBytes = uint64_t(4) << 30;  // one part's body
  size_t maxPreambleBytes = 64 * 1024;        // before the first delimiter
};

class TMultipartParser {
 public:
  struct Part {
    std::string contentType;  // as sent, or empty
    bool hasLength = false;
    uint64_t length = 0;  // Content-Length, when the part gives one
  };
  // Each callback returns false (with a reason) to stop the parse.
  struct Sink {
    std::function<bool(const Part&, std::string& why)> begin;
    std::function<bool(const char* data, size_t size, std::string& why)> data;
    std::function<bool(std::string& why)> end;
  };

  TMultipartParser(std::string boundary, Sink sink, TMultipartLimits limits = {});

  // Takes the next bytes of the body. False once the body is refused; the
  // reason stays in Error() and later calls do nothing.
  bool Feed(const char* data, size_t size);
  // The body has ended (the connection closed or the response finished).
  // False when it ended inside a part or before any part.
  bool Finish();

  const std::string& Error() const { return error_; }
  int PartsCompleted() const { return parts_; }
  bool Closed() const { return state_ == State::Epilogue; }

 private:
  enum class State { Preamble, AfterDelimiter, Headers, Body, Epilogue, Failed };
  bool Run();
  bool Fail(std::string why);
  bool StepPreamble();
  bool StepAfterDelimiter();
  bool StepHeaders();
  bool StepBody();
  bool EmitData(size_t n);
  void Consume(size_t n);
  std::string_view Pending() const { return std::string_view(buf_).substr(pos_); }

  std::string dashBoundary_;  // "--" + boundary
  std::string delimiter_;     // "\r\n--" + boundary
  Sink sink_;
  TMultipartLimits limits_;
  State state_ = State::Preamble;
  std::string buf_;
  size_t pos_ = 0;  // bytes of buf_ already handled
  Part part_;
  uint64_t partBytes_ = 0;
  size_t preambleSeen_ = 0;
  int parts_ = 0;
  std::string error_;
};
