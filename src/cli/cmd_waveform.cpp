// tavrolen-dicom waveform FILE [--json]: the channels of a waveform object
// (ECG, hemodynamic, ...) in physical units. The text form summarises each
// channel; --json gives every sample.
#include <dcmtk/oflog/oflog.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "json.h"
#include "waveforms/Waveform.h"

namespace {

constexpr const char* kUsage = "usage: tavrolen-dicom waveform FILE [--json]\n";

void CodeJson(cli::JsonWriter& j, const char* key, const TWaveformCode& c) {
  if (c.empty()) return;
  j.Key(key)
      .BeginObject()
      .Field("value", c.value)
      .Field("scheme", c.scheme)
      .Field("meaning", c.meaning)
      .EndObject();
}

void OptionalNumber(cli::JsonWriter& j, const char* key, double v) {
  if (std::isfinite(v)) j.Field(key, v);
}

void ChannelJson(cli::JsonWriter& j, const TWaveformChannel& ch) {
  j.BeginObject().Field("number", ch.number).Field("label", ch.label);
  const std::string lead = StandardLeadName(ch);
  if (!lead.empty()) j.Field("lead", lead);
  CodeJson(j, "source", ch.source);
  j.Field("units", ch.units)
      .Field("unitsMeaning", ch.unitsMeaning)
      .Field("sensitivity", ch.sensitivity)
      .Field("calibrated", ch.calibrated)
      .Field("correction", ch.correction)
      .Field("baseline", ch.baseline)
      .Field("timeSkew", ch.timeSkew);
  OptionalNumber(j, "filterLow", ch.filterLow);
  OptionalNumber(j, "filterHigh", ch.filterHigh);
  OptionalNumber(j, "notch", ch.notch);
  if (!ch.status.empty()) j.Field("status", ch.status);
  j.Key("samples").BeginArray(true);
  for (double v : ch.samples) j.Double(v);  // a gap (padding) is null
  j.EndArray().EndObject();
}

std::string WaveformJson(const TWaveform& w) {
  cli::JsonWriter j;
  j.BeginObject()
      .Field("path", w.path)
      .Field("sopClassUid", w.sopClassUid)
      .Field("sopInstanceUid", w.sopInstanceUid)
      .Field("class", w.className)
      .Key("patient")
      .BeginObject()
      .Field("name", w.patientName)
      .Field("id", w.patientId)
      .Field("birthDate", w.patientBirthDate)
      .Field("sex", w.patientSex)
      .EndObject()
      .Field("acquisitionDateTime", w.acquisitionDateTime)
      .Key("groups")
      .BeginArray();
  for (const TWaveformGroup& g : w.groups) {
    j.BeginObject()
        .Field("number", g.number)
        .Field("label", g.label)
        .Field("originality", g.originality)
        .Field("samplingFrequency", g.samplingFrequency)
        .Field("sampleCount", int64_t(g.sampleCount))
        .Field("channelCount", int(g.channelCount))
        .Field("bitsAllocated", g.bitsAllocated)
        .Field("interpretation", g.interpretation)
        .Field("timeOffset", g.timeOffset);
    if (!g.refused.empty()) j.Field("refused", g.refused);
    if (!g.note.empty()) j.Field("note", g.note);
    j.Key("channels").BeginArray();
    for (const TWaveformChannel& ch : g.channels) ChannelJson(j, ch);
    j.EndArray().EndObject();
  }
  j.EndArray().Key("annotations").BeginArray();
  for (const TWaveformAnnotation& a : w.annotations) {
    j.BeginObject().Field("text", a.Text());
    if (!a.text.empty()) j.Field("unformattedText", a.text);
    CodeJson(j, "concept", a.conceptName);
    CodeJson(j, "codedValue", a.codedValue);
    if (a.hasNumeric) j.Field("numeric", a.numeric).Field("units", a.units);
    j.Field("annotationGroup", a.groupNumber).Key("channels").BeginArray(true);
    for (const auto& [group, channel] : a.channels) {
      j.BeginArray(true).Int(group).Int(channel).EndArray();
    }
    j.EndArray();
    if (!a.rangeType.empty()) j.Field("rangeType", a.rangeType);
    if (!a.samplePositions.empty()) {
      j.Key("samplePositions").BeginArray(true);
      for (uint32_t p : a.samplePositions) j.Int(p);
      j.EndArray();
    }
    if (!a.timeOffsets.empty()) j.Field("timeOffsets", a.timeOffsets);
    j.EndObject();
  }
  j.EndArray().Key("skipped").BeginArray();
  for (const std::string& s : w.skipped) j.String(s);
  j.EndArray().EndObject();
  return j.str() + "\n";
}

std::string Format(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string WaveformText(const TWaveform& w) {
  std::string out = w.path + ": " + (w.className.empty() ? "waveform" : w.className) + "\n";
  if (!w.patientName.empty() || !w.patientId.empty())
    out +=
        "  patient " + w.patientName + (w.patientId.empty() ? "" : " (" + w.patientId + ")") + "\n";
  if (!w.acquisitionDateTime.empty()) out += "  acquired " + w.acquisitionDateTime + "\n";
  for (const TWaveformGroup& g : w.groups) {
    out += "group " + std::to_string(g.number) + (g.label.empty() ? "" : " " + g.label) + ": " +
           std::to_string(g.channelCount) + " channel(s), " + std::to_string(g.sampleCount) +
           " sample(s) at " + Format("%g", g.samplingFrequency) + " Hz (" +
           Format("%g", g.DurationSeconds()) + " s), " + std::to_string(g.bitsAllocated) + "-bit " +
           g.interpretation + "\n";
    if (!g.refused.empty()) out += "  refused: " + g.refused + "\n";
    if (!g.note.empty()) out += "  note: " + g.note + "\n";
    for (const TWaveformChannel& ch : g.channels) {
      double lo = INFINITY, hi = -INFINITY;
      size_t gaps = 0;
      for (double v : ch.samples) {
        if (std::isnan(v)) {
          ++gaps;
          continue;
        }
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
      out += "  " + std::to_string(ch.number) + " " + ch.label + "  " +
             (ch.units.empty() ? "(no units)" : ch.units) + "  " +
             std::to_string(ch.samples.size()) + " samples";
      if (lo <= hi) out += "  min " + Format("%g", lo) + " max " + Format("%g", hi);
      if (gaps) out += "  " + std::to_string(gaps) + " padding";
      out += "\n";
    }
  }
  for (const TWaveformAnnotation& a : w.annotations)
    if (!a.Positional()) out += "annotation: " + a.Text() + "\n";
  const size_t marks = size_t(std::count_if(w.annotations.begin(), w.annotations.end(),
                                            [](const auto& a) { return a.Positional(); }));
  if (marks) out += std::to_string(marks) + " annotation(s) mark positions on the trace\n";
  for (const std::string& s : w.skipped) out += "skipped: " + s + "\n";
  return out;
}

int Waveform(const std::vector<std::string>& args) {
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
  // The reader says what it refuses, once; DCMTK's log would repeat it.
  if (!std::getenv("TAVROLEN_DCMTK_DEBUG")) OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
  TWaveform w;
  std::string why;
  if (!ReadWaveform(path, w, why)) {
    std::fprintf(stderr, "tavrolen-dicom waveform: %s: %s\n", path.c_str(), why.c_str());
    return 1;
  }
  const std::string out = json ? WaveformJson(w) : WaveformText(w);
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return 1;
  if (w.ReadableGroups() == 0) {
    std::string reasons;
    for (const TWaveformGroup& g : w.groups)
      reasons += "; group " + std::to_string(g.number) + ": " + g.refused;
    std::fprintf(stderr, "tavrolen-dicom waveform: %s: no multiplex group could be read%s\n",
                 path.c_str(), reasons.c_str());
    return 1;
  }
  return 0;
}

const cli::Register kWaveform("waveform",
                              "waveform FILE [--json]     the channels of an ECG or other "
                              "waveform: label, sampling frequency, units, sensitivity and, "
                              "with --json, every sample in physical units",
                              Waveform);

}  // namespace
