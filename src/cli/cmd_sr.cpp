// tavrolen-dicom sr FILE [--json]: a structured report as the report window
// reads it: the header, then the content tree, as indented text or as JSON
// (each item with its relationship, value type, concept name and value).
#include <dcmtk/oflog/oflog.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "json.h"
#include "reports/StructuredReport.h"

namespace {

using reports::TSrCode;
using reports::TSrDocument;
using reports::TSrNode;

constexpr const char* kUsage = "usage: tavrolen-dicom sr FILE [--json]\n";

void CodeJson(cli::JsonWriter& j, const TSrCode& c) {
  j.BeginObject().Key("meaning").Utf8(c.meaning).Field("value", c.value).Field("scheme", c.scheme);
  if (!c.version.empty()) j.Field("version", c.version);
  j.EndObject();
}

void NodeJson(cli::JsonWriter& j, const TSrDocument& d, int index) {
  const TSrNode& n = d.nodes[size_t(index)];
  j.BeginObject().Field("position", n.position);
  j.Key("relationship");
  if (n.relationship.empty())
    j.Null();
  else
    j.String(n.relationship);
  j.Field("valueType", n.valueType).Key("conceptName");
  if (n.conceptName.empty())
    j.Null();
  else
    CodeJson(j, n.conceptName);
  j.Key("text").Utf8(n.text);
  const std::string& t = n.valueType;
  if (t == "TEXT") {
    j.Key("value").Utf8(n.text);
  } else if (t == "PNAME") {
    j.Key("value").Utf8(n.raw);
  } else if (t == "DATE" || t == "TIME" || t == "DATETIME" || t == "UIDREF") {
    j.Field("value", n.raw);
  } else if (t == "CODE") {
    j.Key("value");
    CodeJson(j, n.code);
  } else if (t == "NUM") {
    j.Key("value").BeginObject().Key("number");
    if (n.number.empty())
      j.Null();
    else
      j.String(n.number);
    if (n.hasFloat) j.Field("floatingPoint", n.floatValue);
    j.Key("unit");
    if (n.code.empty())
      j.Null();
    else
      CodeJson(j, n.code);
    if (!n.qualifier.empty()) {
      j.Key("qualifier");
      CodeJson(j, n.qualifier);
    }
    j.EndObject();
  } else if (t == "IMAGE" || t == "COMPOSITE" || t == "WAVEFORM") {
    j.Key("value")
        .BeginObject()
        .Field("sopClassUid", n.sopClassUid)
        .Field("sopInstanceUid", n.sopInstanceUid);
    if (t == "IMAGE") {
      j.Key("frames").BeginArray(true);
      for (int32_t f : n.frames) j.Int(f);
      j.EndArray();
      if (!n.segments.empty()) {
        j.Key("segments").BeginArray(true);
        for (uint32_t s : n.segments) j.Int(s);
        j.EndArray();
      }
      if (!n.presentationInstanceUid.empty())
        j.Key("presentationState")
            .BeginObject()
            .Field("sopClassUid", n.presentationClassUid)
            .Field("sopInstanceUid", n.presentationInstanceUid)
            .EndObject();
    }
    if (t == "WAVEFORM") {
      j.Key("channels").BeginArray();
      for (size_t i = 0; i + 1 < n.channels.size(); i += 2)
        j.BeginArray(true).Int(n.channels[i]).Int(n.channels[i + 1]).EndArray();
      j.EndArray();
    }
    j.EndObject();
  } else if (t == "SCOORD" || t == "SCOORD3D") {
    const size_t k = t == "SCOORD" ? 2 : 3;
    j.Key("value").BeginObject().Field("graphicType", n.graphicType);
    if (k == 3) j.Field("frameOfReferenceUid", n.frameOfReferenceUid);
    j.Key("points").BeginArray();
    for (size_t i = 0; i + k <= n.points.size(); i += k) {
      j.BeginArray(true);
      for (size_t c = 0; c < k; ++c) j.Double(n.points[i + c]);
      j.EndArray();
    }
    j.EndArray().EndObject();
  } else if (t == "TCOORD") {
    j.Key("value").BeginObject().Field("temporalRangeType", n.temporalRangeType);
    if (!n.samplePositions.empty()) j.Field("samplePositions", n.samplePositions);
    if (!n.timeOffsets.empty()) j.Field("timeOffsets", n.timeOffsets);
    if (!n.dateTimes.empty()) j.Field("dateTimes", n.dateTimes);
    j.EndObject();
  } else if (t == "CONTAINER") {
    j.Field("continuity", n.continuity);
    if (!n.templateId.empty()) j.Field("template", n.templateId);
  } else if (t == "BYREF") {
    j.Key("value").BeginObject().Field("target", n.target).Field("found", n.targetNode >= 0);
    j.EndObject();
  }
  if (!n.observationDateTime.empty()) j.Field("observationDateTime", n.observationDateTime);
  if (!n.problem.empty()) j.Field("problem", n.problem);
  j.Key("children").BeginArray();
  for (int c : n.children) NodeJson(j, d, c);
  j.EndArray().EndObject();
}

std::string DocumentJson(const TSrDocument& d) {
  cli::JsonWriter j;
  j.BeginObject()
      .Field("sopClassUid", d.sopClassUid)
      .Field("className", d.className)
      .Field("sopInstanceUid", d.sopInstanceUid)
      .Field("seriesInstanceUid", d.seriesInstanceUid)
      .Field("studyInstanceUid", d.studyInstanceUid);
  if (!d.readAs.empty()) j.Field("readAs", d.readAs);
  j.Key("title");
  CodeJson(j, d.title);
  j.Key("patient")
      .BeginObject()
      .Key("name")
      .Utf8(d.patientName)
      .Key("id")
      .Utf8(d.patientId)
      .Field("birthDate", d.patientBirthDate)
      .Field("sex", d.patientSex)
      .EndObject();
  j.Key("study")
      .BeginObject()
      .Key("description")
      .Utf8(d.studyDescription)
      .Field("date", d.studyDate)
      .Field("time", d.studyTime)
      .Key("accessionNumber")
      .Utf8(d.accessionNumber)
      .EndObject();
  j.Key("series").BeginObject().Key("description").Utf8(d.seriesDescription);
  j.Field("number", d.seriesNumber).Field("modality", d.modality).EndObject();
  j.Field("contentDate", d.contentDate)
      .Field("contentTime", d.contentTime)
      .Field("completionFlag", d.completionFlag)
      .Field("verificationFlag", d.verificationFlag);
  if (!d.preliminaryFlag.empty()) j.Field("preliminaryFlag", d.preliminaryFlag);
  j.Key("verifiers").BeginArray();
  for (const reports::TSrObserver& o : d.verifiers)
    j.BeginObject()
        .Key("name")
        .Utf8(o.name)
        .Key("organization")
        .Utf8(o.organization)
        .Field("dateTime", o.dateTime)
        .EndObject();
  j.EndArray().Key("notes").BeginArray();
  for (const std::string& n : d.notes) j.Utf8(n);
  j.EndArray().Key("content");
  if (d.nodes.empty())
    j.Null();
  else
    NodeJson(j, d, 0);
  j.EndObject();
  return j.str() + "\n";
}

int Sr(const std::vector<std::string>& args) {
  std::string path;
  bool json = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (!a.empty() && a[0] != '-' && path.empty()) {
      path = a;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (path.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // The reader lists what it read leniently as notes; DCMTK's log would say
  // it again on standard error, less clearly.
  if (!std::getenv("TAVROLEN_DCMTK_DEBUG")) OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
  TSrDocument doc;
  std::string why;
  if (!reports::ReadReport(path, doc, why)) {
    std::fprintf(stderr, "tavrolen-dicom sr: %s: %s\n", path.c_str(), why.c_str());
    return 1;
  }
  const std::string out = json ? DocumentJson(doc) : reports::ReportText(doc);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

const cli::Register kSr("sr",
                        "sr FILE [--json]        a structured report: its header and content "
                        "tree (relationship, value type, concept name, value of each item)",
                        Sr);

}  // namespace
