// tavrolen-dicom scan PATH [--json]: the study tree that opening PATH in the
// viewer builds (a folder tree, a single file or a DICOMDIR, chosen as the
// viewer chooses), with counts, skipped files, reader messages and timing.
// Built wherever the tool links the study core (study/CMakeLists.txt defines
// TAVROLEN_WITH_STUDY for its users).
#ifdef TAVROLEN_WITH_STUDY

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/StudyTree.h"
#include "json.h"
#include "study/DocumentFiling.h"
#include "study/Global.h"
#include "study/StudyLoad.h"

namespace {

void TreeJson(cli::JsonWriter& j, const TPatientArr& patients) {
  j.BeginArray();
  for (const TPatient& p : patients) {
    j.BeginObject().Field("patientName", p.patientName).Field("patintID", p.patintID);
    if (!p.issuer.empty()) j.Field("issuer", p.issuer);
    j.Key("studies").BeginArray();
    for (const TStudy& st : p.studies) {
      j.BeginObject()
          .Field("studyID", st.studyID)
          .Field("studyDate", st.studyDate)
          .Field("studyTime", st.studyTime)
          .Field("description", st.description)
          .Field("instanceUid", st.instanceUid)
          .Field("accessionNumber", st.accessionNumber);
      j.Key("serieses").BeginArray();
      for (const TSeries& s : st.serieses) {
        j.BeginObject()
            .Field("seriesNumber", s.seriesNumber)
            .Field("modality", s.modality)
            .Field("instanceUid", s.instanceUid)
            .Field("BodyPart", s.BodyPart);
        j.Key("images").BeginArray();
        for (const TImg& img : s.images)
          j.BeginObject()
              .Field("instanceNumber", img.instanceNumber)
              .Field("imagePath", img.imagePath)
              .Field("imageType", img.imageType)
              .EndObject();
        j.EndArray();
        // Only where there are some: a tree of images reads as it always did.
        if (!s.documents.empty()) {
          j.Key("documents").BeginArray();
          for (const TDocumentRecord& d : s.documents)
            j.BeginObject()
                .Field("kind", DocumentTypeName(d.type))
                .Field("title", d.title)
                .Field("path", d.path)
                .Field("sopClassUid", d.sopClassUid)
                .Field("sopInstanceUid", d.sopInstanceUid)
                .Field("instanceNumber", d.instanceNumber)
                .Field("contentDate", d.contentDate)
                .Field("contentTime", d.contentTime)
                .EndObject();
          j.EndArray();
        }
        j.EndObject();
      }
      j.EndArray().EndObject();
    }
    j.EndArray().EndObject();
  }
  j.EndArray();
}

std::string ResultJson(const TLoadResult& r) {
  cli::JsonWriter j;
  j.BeginObject();
  {
    std::lock_guard lock(gPatientsMutex);
    j.Key("patients");
    TreeJson(j, gPatients);
    j.Key("reports").BeginArray();
    for (const TReportRecord& rep : gReports)
      j.BeginObject()
          .Field("ReportPath", rep.ReportPath)
          .Field("PatientId", rep.PatientId)
          .Field("PatientName", rep.PatientName)
          .EndObject();
    j.EndArray();
  }
  j.Field("filesListed", r.filesListed).Field("filesFiled", r.filesFiled);
  if (r.documentsFiled > 0) j.Field("documentsFiled", r.documentsFiled);
  j.Key("skipped").BeginArray();
  for (const TSkippedFile& s : r.skipped)
    j.BeginObject().Field("path", s.path).Field("reason", s.reason).EndObject();
  j.EndArray();
  j.Key("messages").BeginArray();
  for (const TLoadMessage& m : r.messages)
    j.BeginObject().Field("path", m.path).Field("text", m.text).EndObject();
  j.EndArray();
  j.Key("duplicates").BeginArray();
  for (const TSkippedFile& m : r.duplicates)
    j.BeginObject().Field("path", m.path).Field("reason", m.reason).EndObject();
  j.EndArray();
  j.Field("elapsedMs", r.elapsedMs).EndObject();
  return j.str() + "\n";
}

std::string ResultText(const TLoadResult& r) {
  std::string out;
  {
    std::lock_guard lock(gPatientsMutex);
    for (const TPatient& p : gPatients) {
      out += "Patient " + p.patientName + " [" + p.patintID + "]\n";
      for (const TStudy& st : p.studies) {
        out += "  Study " + st.studyID + "  " + st.studyDate + " " + st.studyTime + "  " +
               st.description + "  " + st.instanceUid + "\n";
        for (const TSeries& s : st.serieses) {
          out += "    Series " + std::to_string(s.seriesNumber) + "  " + s.modality + "  " +
                 std::to_string(s.images.size()) + " image(s)  " + s.instanceUid + "\n";
          for (const TDocumentRecord& d : s.documents)
            out += "      " + std::string(DocumentTypeName(d.type)) + " \"" + d.title + "\"  " +
                   d.path + "\n";
        }
      }
    }
    for (const TReportRecord& rep : gReports) out += "Report " + rep.ReportPath + "\n";
  }
  for (const TSkippedFile& s : r.skipped) out += "Skipped " + s.path + ": " + s.reason + "\n";
  for (const TLoadMessage& m : r.messages) out += "Message " + m.path + ": " + m.text + "\n";
  for (const TSkippedFile& d : r.duplicates) out += "Copy " + d.path + ": " + d.reason + "\n";
  out += "files listed " + std::to_string(r.filesListed) + ", filed " +
         std::to_string(r.filesFiled) + ", skipped " + std::to_string(r.skipped.size()) +
         (r.documentsFiled > 0 ? ", documents " + std::to_string(r.documentsFiled) : "") +
         ", reports " + std::to_string(r.reportsFound) + (r.cancelled ? ", cancelled" : "") + ", " +
         std::to_string(r.elapsedMs) + " ms\n";
  return out;
}

int Scan(const std::vector<std::string>& args) {
  std::string path;
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (path.empty() && !a.empty() && a[0] != '-') {
      path = a;
    } else {
      std::fprintf(stderr, "usage: tavrolen-dicom scan PATH [--json]\n");
      return 2;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: tavrolen-dicom scan PATH [--json]\n");
    return 2;
  }
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    std::fprintf(stderr, "tavrolen-dicom scan: %s: no such file or folder\n", path.c_str());
    return 1;
  }
  const TLoadResult result = LoadPath(path);
  const std::string out = json ? ResultJson(result) : ResultText(result);
  std::fwrite(out.data(), 1, out.size(), stdout);
  // The process ends here without freeing the tree record by record: for a
  // large tree that took longer than filing it.
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  std::_Exit(written ? 0 : 1);
}

cli::Register scanCommand("scan",
                          "scan PATH [--json]     the study tree that opening a folder, file or "
                          "DICOMDIR builds",
                          Scan);

}  // namespace

#endif  // TAVROLEN_WITH_STUDY
