// tavrolen-dicom export PATH... -o OUT [--anonymize [--keep-dates]
// [--patient-name N] [--patient-id I]] [--include-burned-in] [--dicomdir]
// [--zip] [--json]: copies the instances that opening each PATH (file, folder
// or DICOMDIR) files into the study tree into a media folder OUT (DICOM/...,
// optionally a DICOMDIR), or with --zip into the ZIP file OUT. Exit 0 when
// every instance was exported, 1 when one was left out or the export failed,
// 2 on a wrong command line.
#if defined(TAVROLEN_WITH_STUDY) && defined(TAVROLEN_WITH_EXPORT)

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "derived/Segmentation.h"
#include "derived/StructureSet.h"
#include "dicom/SopClasses.h"
#include "dicom/StudyTree.h"
#include "dicom/TempCleanup.h"
#include "export/Export.h"
#include "json.h"
#include "study/Global.h"
#include "study/StudyLoad.h"

namespace {

constexpr const char* kUsage =
    "usage: tavrolen-dicom export PATH... -o OUT [--anonymize [--keep-dates] [--patient-name N] "
    "[--patient-id I] [--include-burned-in]] [--dicomdir] [--zip] [--json]";

const char* StatusName(exporter::TFileStatus s) {
  switch (s) {
    case exporter::TFileStatus::Exported:
      return "exported";
    case exporter::TFileStatus::BurnedIn:
      return "burned-in";
    case exporter::TFileStatus::Failed:
      return "failed";
    case exporter::TFileStatus::NotDone:
      return "not-done";
  }
  return "";
}

int Export(const std::vector<std::string>& args) {
  std::vector<std::string> paths;
  std::string out;
  exporter::TExportOptions options;
  bool json = false;
  auto usage = [] {
    std::fprintf(stderr, "%s\n", kUsage);
    return 2;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& to) {
      if (i + 1 >= args.size()) return false;
      to = args[++i];
      return true;
    };
    if (a == "-o") {
      if (!value(out)) return usage();
    } else if (a == "--anonymize" || a == "--anonymise") {
      options.anonymize = true;
    } else if (a == "--keep-dates") {
      options.deidentify.keepDates = true;
    } else if (a == "--patient-name") {
      if (!value(options.deidentify.patientName)) return usage();
    } else if (a == "--patient-id") {
      if (!value(options.deidentify.patientId)) return usage();
    } else if (a == "--include-burned-in") {
      options.includeBurnedIn = true;
    } else if (a == "--dicomdir") {
      options.dicomdir = true;
    } else if (a == "--zip") {
      options.zip = true;
    } else if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] != '-') {
      paths.push_back(a);
    } else {
      return usage();
    }
  }
  const bool deidOnly = options.deidentify.keepDates || !options.deidentify.patientName.empty() ||
                        !options.deidentify.patientId.empty() || options.includeBurnedIn;
  if (paths.empty() || out.empty() || (deidOnly && !options.anonymize)) return usage();

  tempcleanup::InstallHandlers();
  std::vector<std::string> files;
  std::vector<TSkippedFile> skipped;
  // Segmentations and structure sets are no images of the tree, but
  // instances of the study all the same: they are exported with it.
  static const std::string kDrawn[] = {NonImageKind(kSegmentationClass) + ",",
                                       NonImageKind(kStructureSetClass) + ","};
  std::vector<std::string> drawn;
  for (const std::string& p : paths) {
    std::error_code ec;
    if (!std::filesystem::exists(p, ec)) {
      skipped.push_back({p, "no such file or folder"});
      continue;
    }
    TLoadResult r = LoadPath(p);
    for (TSkippedFile& s : r.skipped) {
      if (s.reason.rfind(kDrawn[0], 0) == 0 || s.reason.rfind(kDrawn[1], 0) == 0)
        drawn.push_back(std::move(s.path));
      else
        skipped.push_back(std::move(s));
    }
  }
  {
    // Every instance the tree holds, once, in the tree's order.
    std::set<std::string> seen;
    std::lock_guard lock(gPatientsMutex);
    for (const TPatient& pa : gPatients)
      for (const TStudy& st : pa.studies)
        for (const TSeries& se : st.serieses) {
          for (const TImg& img : se.images)
            if (!img.imagePath.empty() && seen.insert(img.imagePath).second)
              files.push_back(img.imagePath);
          // Reports, documents and waveforms are instances of the study too.
          for (const TDocumentRecord& d : se.documents)
            if (!d.path.empty() && seen.insert(d.path).second) files.push_back(d.path);
        }
    for (std::string& path : drawn)
      if (seen.insert(path).second) files.push_back(std::move(path));
  }

  exporter::TExportResult result;
  if (files.empty())
    result.failure = "no DICOM instance found to export";
  else
    result = exporter::ExportFiles(files, out, options);

  if (json) {
    cli::JsonWriter j;
    j.BeginObject()
        .Field("output", result.output.empty() ? out : result.output)
        .Field("written", result.written)
        .Field("failure", result.failure)
        .Field("exported", result.exported);
    j.Key("files").BeginArray();
    for (const exporter::TFileOutcome& f : result.files)
      j.BeginObject()
          .Field("source", f.source)
          .Field("fileId", f.fileId)
          .Field("status", std::string(StatusName(f.status)))
          .Field("reason", f.reason)
          .EndObject();
    j.EndArray();
    j.Key("skipped").BeginArray();
    for (const TSkippedFile& s : skipped)
      j.BeginObject().Field("path", s.path).Field("reason", s.reason).EndObject();
    j.EndArray().EndObject();
    const std::string text = j.str() + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else {
    for (const exporter::TFileOutcome& f : result.files)
      if (f.status != exporter::TFileStatus::Exported && f.status != exporter::TFileStatus::NotDone)
        std::fprintf(stderr, "Left out %s: %s\n", f.source.c_str(), f.reason.c_str());
    for (const TSkippedFile& s : skipped)
      std::fprintf(stderr, "Skipped %s: %s\n", s.path.c_str(), s.reason.c_str());
    if (result.written)
      std::printf("exported %d of %zu instance(s) to %s\n", result.exported, result.files.size(),
                  result.output.c_str());
  }
  if (!result.failure.empty())
    std::fprintf(stderr, "tavrolen-dicom export: %s\n", result.failure.c_str());
  const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
  // As scan does: no record-by-record release of the tree at exit.
  std::_Exit(result.Complete() && skipped.empty() && flushed ? 0 : 1);
}

cli::Register exportCommand(
    "export",
    "export PATH... -o OUT [--anonymize [--keep-dates] [--patient-name N] "
    "[--patient-id I] [--include-burned-in]] [--dicomdir] [--zip] [--json]  "
    "copy instances to a media folder or ZIP, optionally de-identified",
    Export);

}  // namespace

#endif
