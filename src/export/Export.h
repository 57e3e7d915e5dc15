// Copies of instances leaving the viewer: as they are or de-identified, into
// a media folder (DICOM/... file IDs, optionally a DICOMDIR) or a ZIP file of
// the same tree. Pixel data stays byte for byte as it was: files are copied
// as they are, or rewritten in their own transfer syntax.
//
// Nothing half-written is left as if complete: the tree is built in a
// temporary folder inside the target folder (beside the ZIP file) and moved
// into place, DICOMDIR last, only when everything asked for was written; a
// failed or cancelled export removes what it wrote. Images flagged with burned
// in annotation are left out of a de-identified export (and listed) unless
// the caller includes them explicitly: their pixels may show the patient.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "export/Deidentify.h"

namespace exporter {

struct TExportOptions {
  bool anonymize = false;
  TDeidentifyOptions deidentify;
  bool dicomdir = false;
  bool zip = false;              // target names the ZIP file, else the folder
  bool includeBurnedIn = false;  // de-identified export keeps flagged images
  int threads = 0;               // 0: as many as the machine has, at most 4
};

enum class TFileStatus {
  Exported,
  BurnedIn,  // left out: flagged with burned-in annotation
  Failed,    // unreadable input, or the DICOMDIR could not list it
  NotDone,   // the export failed or was cancelled before it
};

struct TFileOutcome {
  std::string source;
  std::string fileId;  // relative path in the export ("DICOM/P.../I..."), when written
  TFileStatus status = TFileStatus::NotDone;
  std::string reason;
};

struct TExportResult {
  // The output is in place (some files may still have been left out).
  bool written = false;
  bool cancelled = false;
  std::string failure;              // one reason when nothing was written
  std::string output;               // the folder or ZIP file written
  std::vector<TFileOutcome> files;  // in input order
  int exported = 0;
  // Everything asked for is in the output.
  bool Complete() const { return written && exported == static_cast<int>(files.size()); }
};

// Called with (files handled, total) from worker threads; return false to
// cancel. Keep it cheap.
using TExportProgress = std::function<bool(int done, int total)>;
// Writes one complete file (tests inject failures here). Default: a
// temporary file renamed over the path (SafeOutput).
using TWriteFile =
    std::function<bool(const std::string& path, const void* data, size_t size, std::string& why)>;

TExportResult ExportFiles(const std::vector<std::string>& files, const std::string& target,
                          const TExportOptions& options, const TExportProgress& progress = {},
                          const TWriteFile& writer = {});

}  // namespace exporter
