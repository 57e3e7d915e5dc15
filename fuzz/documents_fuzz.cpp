// The encapsulated-document reader and the CDA text on arbitrary bytes. The
// reader parses from a path (DCMTK), so each input goes through one temporary
// file of the process; the same bytes are also read as CDA markup.
#include <dcmtk/oflog/oflog.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "documents/EncapsulatedDocument.h"

namespace {

const std::string& TempPath() {
  static const std::string path = [] {
    char name[] = "/tmp/tavrolen-documents-fuzz-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    std::atexit([] { unlink(TempPath().c_str()); });
    // The library's own complaints about broken input are not findings.
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    return std::string(name);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The text is never longer than the markup, plus a line break per tag.
  if (CdaReadableText(bytes).size() > 2 * size + 16) std::abort();
  FILE* f = std::fopen(TempPath().c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  TEncapsulatedDocument doc;
  std::string why;
  if (ReadEncapsulatedDocument(TempPath(), doc, why)) {
    // A document is never larger than the file that holds it.
    if (doc.bytes.size() > size) std::abort();
    PdfProblem(doc.bytes);
    CdaReadableText(doc.bytes);
  } else if (why.empty()) {
    std::abort();  // every refusal has its reason
  }
  return 0;
}
