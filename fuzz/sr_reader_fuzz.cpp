// The structured-report reader on arbitrary bytes (through the reader's
// temporary file, as DCMTK reads a file): the content tree is walked and
// every rendering of it (text, HTML, the coordinates on each referenced
// image) is made, as the window and the command-line tool make them.
#include <dcmtk/oflog/oflog.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "reports/StructuredReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    // The library's own complaints about broken input are not findings.
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    return true;
  }();
  (void)quiet;
  reports::TSrDocument doc;
  std::string why;
  if (!reports::ReadReportBytes(data, size, doc, why)) {
    if (why.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  for (size_t i = 0; i < doc.nodes.size(); ++i) {
    const reports::TSrNode& n = doc.nodes[i];
    if (n.parent >= int(i) || (n.targetNode >= 0 && size_t(n.targetNode) >= doc.nodes.size()))
      std::abort();
    if (n.valueType == "IMAGE") {
      reports::ShapesOnImage(doc, n.sopInstanceUid, 0);
      reports::ShapesOnImage(doc, n.sopInstanceUid, n.frames.empty() ? 1 : n.frames[0]);
    }
  }
  reports::ReportText(doc);
  reports::ReportHtml(doc);
  return 0;
}
