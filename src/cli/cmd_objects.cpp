// tavrolen-dicom objects PATH... [--json]: the derived objects among the files
// of folders, files or a DICOMDIR's medium (segmentations, structure sets,
// presentation states, key object selections and other reports), each with
// the images it refers to, resolved to the files found there or listed with
// the reason they are not.
#if defined(TAVROLEN_WITH_STUDY) && defined(TAVROLEN_WITH_DERIVED)

#include <dcmtk/oflog/oflog.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "derived/ObjectIndex.h"
#include "json.h"
#include "study/StudyLoad.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = "usage: tavrolen-dicom objects PATH... [--json]\n";

void ReferenceJson(cli::JsonWriter& j, const TObjectReference& r) {
  j.BeginObject().Field("sopInstanceUid", r.sopInstanceUid);
  if (!r.sopClassUid.empty()) j.Field("sopClassUid", r.sopClassUid);
  j.Key("frames").BeginArray(true);
  for (int32_t f : r.frames) j.Int(f);
  j.EndArray().Field("by", r.by).Key("imagePath");
  if (r.imagePath.empty())
    j.Null();
  else
    j.String(r.imagePath);
  if (!r.problem.empty()) j.Field("problem", r.problem);
  j.EndObject();
}

void ObjectJson(cli::JsonWriter& j, const TIndexedObject& o) {
  j.BeginObject()
      .Field("path", o.path)
      .Field("sopClassUid", o.sopClassUid)
      .Field("kind", ObjectKindName(o.kind))
      .Field("sopInstanceUid", o.sopInstanceUid);
  if (!o.refused.empty()) {
    j.Field("refused", o.refused).EndObject();
    return;
  }
  if (o.kind == TObjectKind::Other) {
    j.Field("note", "not read: only its class is known here").EndObject();
    return;
  }
  j.Field("label", o.label).Field("description", o.description);
  switch (o.kind) {
    case TObjectKind::Segmentation:
      j.Field("segmentationType", o.fractional ? "FRACTIONAL" : "BINARY");
      break;
    case TObjectKind::PresentationState:
      j.Field("creationDate", o.creationDate).Field("creationTime", o.creationTime);
      break;
    case TObjectKind::KeyObjects:
      j.Field("title", o.title).Field("titleCode", o.titleCode);
      break;
    default:
      break;
  }
  if (!o.frameOfReferenceUid.empty()) j.Field("frameOfReferenceUid", o.frameOfReferenceUid);
  const bool segments = o.kind == TObjectKind::Segmentation;
  if (segments || o.kind == TObjectKind::StructureSet) {
    j.Key(segments ? "segments" : "rois").BeginArray();
    for (const TObjectPart& p : o.parts) {
      j.BeginObject()
          .Field("number", p.number)
          .Field("name", p.name)
          .Field("colour", HexColour(p.rgb))
          .Field("colourGiven", p.recommended);
      if (!segments) j.Field("contours", int64_t(p.contours));
      j.EndObject();
    }
    j.EndArray();
  }
  j.Key("references").BeginArray();
  for (const TObjectReference& r : o.references) ReferenceJson(j, r);
  j.EndArray();
  if (!o.problem.empty()) j.Field("problem", o.problem);
  j.Key("skipped").BeginArray();
  for (const std::string& s : o.skipped) j.String(s);
  j.EndArray().EndObject();
}

std::string IndexJson(const TObjectIndex& index) {
  cli::JsonWriter j;
  j.BeginObject()
      .Field("files", int64_t(index.files))
      .Field("images", int64_t(index.images))
      .Key("objects")
      .BeginArray();
  for (const TIndexedObject& o : index.objects) ObjectJson(j, o);
  j.EndArray();
  const auto problems = [&j](const char* key, const std::vector<TFileProblem>& list) {
    j.Key(key).BeginArray();
    for (const TFileProblem& p : list)
      j.BeginObject().Field("path", p.path).Field("reason", p.reason).EndObject();
    j.EndArray();
  };
  problems("unreadable", index.unreadable);
  problems("duplicates", index.duplicates);
  j.EndObject();
  return j.str() + "\n";
}

std::string FramesText(const std::vector<int32_t>& frames) {
  if (frames.empty()) return "";
  std::string out = frames.size() == 1 ? " frame" : " frames";
  for (int32_t f : frames) out += " " + std::to_string(f);
  return out;
}

std::string IndexText(const TObjectIndex& index) {
  std::string out;
  for (const TIndexedObject& o : index.objects) {
    out += std::string(ObjectKindName(o.kind)) + " " + o.path + "\n";
    out += "  class " + o.sopClassUid + ", instance " + o.sopInstanceUid + "\n";
    if (!o.refused.empty()) {
      out += "  refused: " + o.refused + "\n";
      continue;
    }
    if (o.kind == TObjectKind::Other) {
      out += "  not read\n";
      continue;
    }
    if (!o.title.empty()) out += "  title: " + o.title + "\n";
    if (!o.label.empty()) out += "  label: " + o.label + "\n";
    if (!o.description.empty()) out += "  description: " + o.description + "\n";
    if (!o.creationDate.empty())
      out += "  created: " + o.creationDate + " " + o.creationTime + "\n";
    const char* part = o.kind == TObjectKind::Segmentation ? "segment" : "ROI";
    for (const TObjectPart& p : o.parts)
      out += std::string("  ") + part + " " + std::to_string(p.number) + " " + p.name + " " +
             HexColour(p.rgb) + "\n";
    for (const TObjectReference& r : o.references) {
      out += "  -> " + r.sopInstanceUid + FramesText(r.frames);
      if (r.by != "instance") out += " (by " + r.by + ")";
      if (!r.imagePath.empty()) out += ": " + r.imagePath;
      if (!r.problem.empty()) out += (r.imagePath.empty() ? ": " : "; ") + r.problem;
      out += "\n";
    }
    if (!o.problem.empty()) out += "  " + o.problem + "\n";
    for (const std::string& s : o.skipped) out += "  skipped: " + s + "\n";
  }
  for (const TFileProblem& p : index.unreadable)
    out += "unreadable " + p.path + ": " + p.reason + "\n";
  for (const TFileProblem& p : index.duplicates) out += "copy " + p.path + ": " + p.reason + "\n";
  out += std::to_string(index.objects.size()) + " object(s), " + std::to_string(index.images) +
         " image(s), " + std::to_string(index.files) + " file(s)\n";
  return out;
}

// The files a path stands for: a folder's as a folder load lists them, a
// DICOMDIR's medium (its folder: the objects it indexes and those it does
// not), or the file itself. False when the path cannot be read.
bool FilesOf(const std::string& path, std::vector<std::string>& files, std::string& why) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) {
    why = "no such file or folder";
    return false;
  }
  std::string folder;
  if (fs::is_directory(status))
    folder = path;
  else if (ChooseLoadKind(path) == TLoadKind::DicomDir)
    folder = ParentFolderOf(fs::absolute(path, ec).string());
  if (folder.empty()) {
    if (!fs::is_regular_file(status)) {
      why = "not a regular file";
      return false;
    }
    files.push_back(path);
    return true;
  }
  fs::directory_iterator probe(folder, ec);
  if (ec) {
    why = "cannot be read (" + ec.message() + ")";
    return false;
  }
  // Report documents (text, PDF) lie beside images and are no DICOM.
  TStringArray listed;
  list_DirectoryFiles(folder, listed);
  for (std::string& f : listed)
    if (!IsReportExtension(LowerExtension(f))) files.push_back(std::move(f));
  return true;
}

int Objects(const std::vector<std::string>& args) {
  std::vector<std::string> paths;
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] != '-') {
      paths.push_back(a);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (paths.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // What the readers skip is listed with each object; DCMTK's own log
  // would say it again, less clearly, on every file.
  if (!std::getenv("TAVROLEN_DCMTK_DEBUG")) OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
  std::vector<std::string> files;
  for (const std::string& p : paths) {
    std::string why;
    if (!FilesOf(p, files, why)) {
      std::fprintf(stderr, "tavrolen-dicom objects: %s: %s\n", p.c_str(), why.c_str());
      return 1;
    }
  }
  // A file named twice (a folder and a file in it) is indexed once.
  std::set<std::string> seen;
  std::erase_if(files, [&seen](const std::string& f) { return !seen.insert(f).second; });
  const TObjectIndex index = IndexDerivedObjects(files);
  const std::string out = json ? IndexJson(index) : IndexText(index);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

cli::Register objectsCommand("objects",
                             "objects PATH... [--json]     the segmentations, structure sets, "
                             "presentation states and key object selections among the files, "
                             "with the images each refers to",
                             Objects);

}  // namespace

#endif  // TAVROLEN_WITH_STUDY && TAVROLEN_WITH_DERIVED
