// The WADO-RS multipart reader on arbitrary bytes: the first byte picks a
// chunk size, so delimiters and headers split at every place the network
// could split them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "net/Multipart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t chunk = size_t(data[0] % 64) + 1;
  ++data;
  --size;
  TMultipartLimits limits;
  limits.maxPartBytes = 1 << 16;
  size_t received = 0;
  TMultipartParser::Sink sink;
  sink.begin = [](const TMultipartParser::Part& p, std::string&) {
    return p.contentType.size() < 1000;
  };
  sink.data = [&](const char*, size_t n, std::string&) {
    received += n;
    return true;
  };
  sink.end = [](std::string&) { return true; };
  TMultipartParser parser("b;1", sink, limits);
  for (size_t i = 0; i < size; i += chunk)
    if (!parser.Feed(reinterpret_cast<const char*>(data) + i, std::min(chunk, size - i))) break;
  parser.Finish();
  if (received > size) __builtin_trap();  // a part can never hold more than was fed
  // The media-type parser sees the same bytes as a header value.
  TMediaType t;
  ParseMediaType(std::string(reinterpret_cast<const char*>(data), std::min<size_t>(size, 4096)), t);
  return 0;
}
