// tavrolen-dicom extract: the document an encapsulated-document object
// carries (a PDF, a CDA document, a 3D model), written exactly as its author
// wrote it: the declared length when the object gives one, else the value
// without the byte that padded it to an even length.
#include <dcmtk/oflog/oflog.h>

#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/SafeOutput.h"
#include "documents/EncapsulatedDocument.h"

namespace {

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom extract: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

int Extract(const std::vector<std::string>& args) {
  std::string input, output;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o" || a == "--output") {
      if (i + 1 >= args.size()) return Usage(a + " needs a file name");
      output = args[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage("unknown option " + a);
    } else if (input.empty()) {
      input = a;
    } else {
      return Usage("only one FILE can be extracted");
    }
  }
  if (input.empty() || output.empty()) return Usage("usage: extract FILE -o OUT");
  // The reasons are ours; DCMTK's own log would say them twice.
  OFLog::configure(OFLogger::FATAL_LOG_LEVEL);

  std::string why;
  if (!CheckOutputPath(output, why)) return Fail(why);
  TEncapsulatedDocument doc;
  if (!ReadEncapsulatedDocument(input, doc, why)) return Fail(input + ": " + why);
  if (!doc.warning.empty())
    std::fprintf(stderr, "tavrolen-dicom extract: %s: %s\n", input.c_str(), doc.warning.c_str());
  if (!WriteFileSafely(output, doc.bytes, why)) return Fail(why);
  return 0;
}

const cli::Register kExtract("extract",
                             "extract FILE -o OUT      the document of an encapsulated PDF, CDA "
                             "or 3D model, byte for byte",
                             Extract);

}  // namespace
