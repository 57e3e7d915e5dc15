#include "waveforms/Waveform.h"

#include <dcmtk/dcmdata/dctk.h>

#include <sys/stat.h>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <new>

#include "dicom/DicomCharset.h"
#include "dicom/dicom_values.h"

namespace {

std::string Get(DcmItem& item, const DcmTagKey& tag, unsigned long pos = 0) {
  OFString s;
  if (item.findAndGetOFString(tag, s, pos).bad()) return {};
  return SanitizeUtf8(std::string(s.c_str(), s.length()));
}

std::string GetAll(DcmItem& item, const DcmTagKey& tag) {
  OFString s;
  if (item.findAndGetOFStringArray(tag, s).bad()) return {};
  return SanitizeUtf8(std::string(s.c_str(), s.length()));
}

// A DS or IS value; false when absent or no number.
bool GetNumber(DcmItem& item, const DcmTagKey& tag, double& out, unsigned long pos = 0) {
  std::string text = Get(item, tag, pos);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(text.begin());
  double v = 0;
  if (text.empty() || !StrToFloat(text, v) || !std::isfinite(v)) return false;
  out = v;
  return true;
}

TWaveformCode GetCode(DcmItem& item, const DcmTagKey& sequence) {
  TWaveformCode code;
  DcmItem* c = nullptr;
  if (item.findAndGetSequenceItem(sequence, c, 0).bad() || !c) return code;
  code.value = Get(*c, DCM_CodeValue);
  if (code.value.empty()) code.value = Get(*c, DCM_LongCodeValue);
  if (code.value.empty()) code.value = Get(*c, DCM_URNCodeValue);
  code.scheme = Get(*c, DCM_CodingSchemeDesignator);
  code.meaning = Get(*c, DCM_CodeMeaning);
  return code;
}

unsigned long Count(DcmItem& item, const DcmTagKey& sequence) {
  DcmSequenceOfItems* s = nullptr;
  if (item.findAndGetSequence(sequence, s).bad() || !s) return 0;
  return s->card();
}

// The items of a sequence in order. DCMTK finds an item by its position from
// the start each time; walking from one to the next keeps long sequences
// (a Holter's thousands of beat annotations) linear.
std::vector<DcmItem*> Items(DcmItem& item, const DcmTagKey& sequence) {
  std::vector<DcmItem*> items;
  DcmSequenceOfItems* s = nullptr;
  if (item.findAndGetSequence(sequence, s).bad() || !s) return items;
  items.reserve(s->card());
  for (DcmObject* o = s->nextInContainer(nullptr); o; o = s->nextInContainer(o))
    items.push_back(static_cast<DcmItem*>(o));
  return items;
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// G.711 expansions to linear 16-bit.
int MuLaw(uint8_t u) {
  u = uint8_t(~u);
  const int t = ((u & 0x0F) << 3) + 0x84;
  const int v = t << ((u & 0x70) >> 4);
  return (u & 0x80) ? 0x84 - v : v - 0x84;
}

int ALaw(uint8_t a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  const int seg = (a & 0x70) >> 4;
  if (seg == 0)
    t += 8;
  else if (seg == 1)
    t += 0x108;
  else
    t = (t + 0x108) << (seg - 1);
  return (a & 0x80) ? t : -t;
}

// The bytes of a waveform value as the file stored them, whatever the host
// and whatever word order DCMTK holds an OW value in, and whether each
// sample's bytes run big-endian.
struct TSampleBytes {
  std::vector<uint8_t> bytes;
  bool bigEndian = false;  // the samples' bytes are big-endian
};

bool ValueBytes(DcmItem& item, const DcmTagKey& tag, int sampleBytes, bool sourceBigEndian,
                uint64_t fileSize, TSampleBytes& out, std::string& why) {
  DcmElement* e = nullptr;
  if (item.findAndGetElement(tag, e).bad() || !e) {
    why = "it has no Waveform Data";
    return false;
  }
  const uint64_t length = e->getLength();
  if (length > fileSize) {
    why = "its data claims " + std::to_string(length) + " bytes, more than the file holds";
    return false;
  }
  const DcmEVR vr = e->getVR();
  if (vr == EVR_OW) {
    Uint16* words = nullptr;
    if (e->getUint16Array(words).bad() || (!words && length > 0)) {
      why = "its data cannot be read";
      return false;
    }
    out.bytes.resize(size_t(length / 2) * 2);
    for (size_t i = 0; i < out.bytes.size() / 2; ++i) {
      out.bytes[2 * i] = uint8_t(words[i] & 0xFF);
      out.bytes[2 * i + 1] = uint8_t(words[i] >> 8);
    }
    // 8-bit samples fill each word from its low byte, whatever the byte
    // order; wider ones of a big-endian file get the file's byte order back
    // and read as big-endian.
    out.bigEndian = sourceBigEndian && sampleBytes > 1;
    if (out.bigEndian)
      for (size_t i = 0; i + 1 < out.bytes.size(); i += 2)
        std::swap(out.bytes[i], out.bytes[i + 1]);
  } else {
    Uint8* bytes = nullptr;
    if (e->getUint8Array(bytes).bad() || (!bytes && length > 0)) {
      why = "its data cannot be read";
      return false;
    }
    out.bytes.assign(bytes, bytes + length);
    out.bigEndian = sourceBigEndian;
  }
  return true;
}

// One stored sample as a signed or unsigned integer (64-bit values as double).
double StoredSample(const uint8_t* p, int bytes, bool bigEndian, char kind) {
  uint64_t u = 0;
  for (int b = 0; b < bytes; ++b) {
    const int shift = bigEndian ? 8 * (bytes - 1 - b) : 8 * b;
    u |= uint64_t(p[b]) << shift;
  }
  if (kind == 'M') return MuLaw(uint8_t(u));
  if (kind == 'A') return ALaw(uint8_t(u));
  if (kind == 'U') return double(u);
  const int bits = 8 * bytes;
  if (bits < 64 && (u >> (bits - 1)) & 1) u |= ~uint64_t(0) << bits;
  return double(int64_t(u));
}

// Bytes per sample and signedness ('S', 'U', 'M' mu-law, 'A' A-law) of a
// sample format; false for a combination the standard does not define.
bool SampleFormat(int bitsAllocated, const std::string& interp, int& bytes, char& kind) {
  struct F {
    int bits;
    const char* name;
    char kind;
  };
  static const F formats[] = {{8, "SB", 'S'},  {8, "UB", 'U'},  {8, "MB", 'M'},  {8, "AB", 'A'},
                              {16, "SS", 'S'}, {16, "US", 'U'}, {32, "SL", 'S'}, {32, "UL", 'U'},
                              {64, "SV", 'S'}, {64, "UV", 'U'}};
  for (const F& f : formats)
    if (f.bits == bitsAllocated && interp == f.name) {
      bytes = bitsAllocated / 8;
      kind = f.kind;
      return true;
    }
  return false;
}

void ReadChannelDefinition(DcmItem& def, TWaveformChannel& ch) {
  ch.source = GetCode(def, DCM_ChannelSourceSequence);
  ch.label = Get(def, DCM_ChannelLabel);
  while (!ch.label.empty() && ch.label.back() == ' ') ch.label.pop_back();
  if (ch.label.empty()) ch.label = ch.source.meaning;
  if (ch.label.empty()) ch.label = "Channel " + std::to_string(ch.number);
  ch.calibrated = GetNumber(def, DCM_ChannelSensitivity, ch.sensitivity);
  const TWaveformCode units = GetCode(def, DCM_ChannelSensitivityUnitsSequence);
  ch.units = units.value;
  ch.unitsMeaning = units.meaning;
  GetNumber(def, DCM_ChannelSensitivityCorrectionFactor, ch.correction);
  GetNumber(def, DCM_ChannelBaseline, ch.baseline);
  GetNumber(def, DCM_FilterLowFrequency, ch.filterLow);
  GetNumber(def, DCM_FilterHighFrequency, ch.filterHigh);
  GetNumber(def, DCM_NotchFilterFrequency, ch.notch);
  ch.status = GetAll(def, DCM_ChannelStatus);
}

void ReadGroup(DcmItem& item, bool bigEndian, uint64_t fileSize, TWaveformGroup& g) {
  g.label = Get(item, DCM_MultiplexGroupLabel);
  g.originality = Get(item, DCM_WaveformOriginality);
  GetNumber(item, DCM_SamplingFrequency, g.samplingFrequency);
  GetNumber(item, DCM_MultiplexGroupTimeOffset, g.timeOffset);
  Uint16 channels = 0, bits = 0;
  Uint32 samples = 0;
  const bool hasChannels = item.findAndGetUint16(DCM_NumberOfWaveformChannels, channels).good();
  const bool hasSamples = item.findAndGetUint32(DCM_NumberOfWaveformSamples, samples).good();
  item.findAndGetUint16(DCM_WaveformBitsAllocated, bits);
  g.channelCount = channels;
  g.sampleCount = samples;
  g.bitsAllocated = bits;
  g.interpretation = Get(item, DCM_WaveformSampleInterpretation);

  if (!hasChannels || channels == 0) {
    g.refused = "it has no channels";
    return;
  }
  if (!hasSamples || samples == 0) {
    g.refused = "it has no samples";
    return;
  }
  if (!(g.samplingFrequency > 0)) {
    g.refused = "it gives no sampling frequency";
    return;
  }
  int bytes = 0;
  char kind = 0;
  if (!SampleFormat(bits, g.interpretation, bytes, kind)) {
    g.refused = "its samples are " + std::to_string(bits) + "-bit \"" + g.interpretation +
                "\", which is no waveform sample format";
    return;
  }
  const unsigned long definitions = Count(item, DCM_ChannelDefinitionSequence);
  if (definitions != channels) {
    // Which lead is which is then unknown: a trace under the wrong label is
    // worse than none.
    g.refused = "it declares " + std::to_string(channels) + " channel(s) but defines " +
                std::to_string(definitions);
    return;
  }
  TSampleBytes data;
  std::string why;
  if (!ValueBytes(item, DCM_WaveformData, bytes, bigEndian, fileSize, data, why)) {
    g.refused = why;
    return;
  }
  const uint64_t frame = uint64_t(channels) * uint64_t(bytes);
  const uint64_t needed = frame * samples;
  if (needed > data.bytes.size()) {
    g.refused = std::to_string(channels) + " channel(s) of " + std::to_string(samples) +
                " sample(s) need " + std::to_string(needed) + " bytes; its data holds " +
                std::to_string(data.bytes.size());
    return;
  }
  // One byte of padding to an even length is the encoding's; more is data
  // the declared channels do not account for.
  if (data.bytes.size() - needed > 1)
    g.note = "its data holds " + std::to_string(data.bytes.size() - needed) +
             " bytes more than its channels and samples need; they are ignored";

  bool hasPadding = false;
  double padding = 0;
  {
    TSampleBytes pad;
    std::string ignored;
    DcmElement* e = nullptr;
    if (item.findAndGetElement(DCM_WaveformPaddingValue, e).good() && e &&
        ValueBytes(item, DCM_WaveformPaddingValue, bytes, bigEndian, fileSize, pad, ignored) &&
        pad.bytes.size() >= size_t(bytes)) {
      hasPadding = true;
      padding = StoredSample(pad.bytes.data(), bytes, pad.bigEndian, kind == 'S' ? 'S' : 'U');
    }
  }

  g.channels.resize(channels);
  const std::vector<DcmItem*> defs = Items(item, DCM_ChannelDefinitionSequence);
  for (unsigned long c = 0; c < channels; ++c) {
    TWaveformChannel& ch = g.channels[c];
    ch.number = int(c) + 1;
    if (DcmItem* def = c < defs.size() ? defs[c] : nullptr) {
      ReadChannelDefinition(*def, ch);
      double skew = 0;
      if (GetNumber(*def, DCM_ChannelSampleSkew, skew))
        ch.timeSkew = skew / g.samplingFrequency;
      else if (GetNumber(*def, DCM_ChannelTimeSkew, skew))
        ch.timeSkew = skew;
    }
    ch.samples.resize(samples);
  }
  const uint8_t* p = data.bytes.data();
  for (uint32_t s = 0; s < samples; ++s) {
    for (unsigned long c = 0; c < channels; ++c, p += bytes) {
      TWaveformChannel& ch = g.channels[c];
      // The padding value is compared as stored, before any expansion.
      if (hasPadding &&
          StoredSample(p, bytes, data.bigEndian, kind == 'S' ? 'S' : 'U') == padding) {
        ch.samples[s] = TWaveformChannel::NaN();
        continue;
      }
      const double stored = StoredSample(p, bytes, data.bigEndian, kind);
      ch.samples[s] = (stored + ch.baseline) * ch.sensitivity * ch.correction;
    }
  }
}

void ReadAnnotations(DcmItem& ds, TWaveform& w) {
  const std::vector<DcmItem*> items = Items(ds, DCM_WaveformAnnotationSequence);
  for (size_t i = 0; i < items.size(); ++i) {
    DcmItem* it = items[i];
    if (!it) continue;
    TWaveformAnnotation a;
    a.text = Get(*it, DCM_UnformattedTextValue);
    a.conceptName = GetCode(*it, DCM_ConceptNameCodeSequence);
    a.codedValue = GetCode(*it, DCM_ConceptCodeSequence);
    a.hasNumeric = GetNumber(*it, DCM_NumericValue, a.numeric);
    a.units = GetCode(*it, DCM_MeasurementUnitsCodeSequence).value;
    Uint16 group = 0;
    if (it->findAndGetUint16(DCM_AnnotationGroupNumber, group).good()) a.groupNumber = group;
    const Uint16* refs = nullptr;
    unsigned long count = 0;
    if (it->findAndGetUint16Array(DCM_ReferencedWaveformChannels, refs, &count).good() && refs)
      for (unsigned long k = 0; k + 1 < count; k += 2)
        a.channels.emplace_back(refs[k], refs[k + 1]);
    a.rangeType = Get(*it, DCM_TemporalRangeType);
    const Uint32* positions = nullptr;
    count = 0;
    if (it->findAndGetUint32Array(DCM_ReferencedSamplePositions, positions, &count).good() &&
        positions)
      a.samplePositions.assign(positions, positions + count);
    DcmElement* offsets = nullptr;
    if (it->findAndGetElement(DCM_ReferencedTimeOffsets, offsets).good() && offsets)
      for (unsigned long k = 0; k < offsets->getVM(); ++k) {
        double t = 0;
        if (GetNumber(*it, DCM_ReferencedTimeOffsets, t, k)) a.timeOffsets.push_back(t);
      }
    if (a.text.empty() && a.conceptName.empty() && a.codedValue.empty() && !a.hasNumeric) {
      w.skipped.push_back("annotation " + std::to_string(i + 1) + ": it says nothing");
      continue;
    }
    w.annotations.push_back(std::move(a));
  }
}

std::string Trimmed(std::string s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  size_t b = 0;
  while (b < s.size() && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  return s.substr(b);
}

}  // namespace

std::string TWaveformAnnotation::Text() const {
  std::string out;
  if (!conceptName.meaning.empty()) out = conceptName.meaning;
  if (!codedValue.meaning.empty()) out += (out.empty() ? "" : ": ") + codedValue.meaning;
  if (hasNumeric) {
    out += (out.empty() ? "" : " ") + Number(numeric);
    if (!units.empty()) out += " " + units;
  }
  if (!text.empty()) out += (out.empty() ? "" : ": ") + text;
  return out;
}

int TWaveform::ReadableGroups() const {
  return int(std::count_if(groups.begin(), groups.end(),
                           [](const TWaveformGroup& g) { return g.refused.empty(); }));
}

std::string WaveformClassName(const std::string& uid) {
  static const std::pair<const char*, const char*> classes[] = {
      {"1.2.840.10008.5.1.4.1.1.9.1.1", "12-lead ECG"},
      {"1.2.840.10008.5.1.4.1.1.9.1.2", "General ECG"},
      {"1.2.840.10008.5.1.4.1.1.9.1.3", "Ambulatory ECG"},
      {"1.2.840.10008.5.1.4.1.1.9.1.4", "General 32-bit ECG"},
      {"1.2.840.10008.5.1.4.1.1.9.2.1", "Hemodynamic waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.3.1", "Cardiac electrophysiology waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.4.1", "Basic voice audio"},
      {"1.2.840.10008.5.1.4.1.1.9.4.2", "General audio"},
      {"1.2.840.10008.5.1.4.1.1.9.5.1", "Arterial pulse waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.6.1", "Respiratory waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.6.2", "Multichannel respiratory waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.7.1", "Routine scalp EEG"},
      {"1.2.840.10008.5.1.4.1.1.9.7.2", "Electromyogram"},
      {"1.2.840.10008.5.1.4.1.1.9.7.3", "Electrooculogram"},
      {"1.2.840.10008.5.1.4.1.1.9.7.4", "Sleep EEG"},
      {"1.2.840.10008.5.1.4.1.1.9.8.1", "Body position waveform"},
  };
  for (const auto& [u, name] : classes)
    if (uid == u) return name;
  if (uid.rfind("1.2.840.10008.5.1.4.1.1.9.", 0) == 0) return "Waveform";
  return {};
}

bool IsAudioWaveformClass(const std::string& uid) {
  return uid.rfind("1.2.840.10008.5.1.4.1.1.9.4.", 0) == 0;
}

std::string StandardLeadName(const TWaveformChannel& ch) {
  static const char* const names[] = {"I",  "II", "III", "aVR", "aVL", "aVF",
                                      "V1", "V2", "V3",  "V4",  "V5",  "V6"};
  // SCPECG and MDC number the leads alike: 1 I, 2 II, 3-8 V1-V6, 61 III,
  // 62 aVR, 63 aVL, 64 aVF.
  const std::string& v = ch.source.value;
  int n = -1;
  if (ch.source.scheme == "SCPECG" && v.rfind("5.6.3-9-", 0) == 0)
    n = std::atoi(v.c_str() + 8);
  else if (ch.source.scheme == "MDC" && v.rfind("2:", 0) == 0)
    n = std::atoi(v.c_str() + 2);
  switch (n) {
    case 1:
      return "I";
    case 2:
      return "II";
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
      return "V" + std::to_string(n - 2);
    case 61:
      return "III";
    case 62:
      return "aVR";
    case 63:
      return "aVL";
    case 64:
      return "aVF";
    default:
      break;
  }
  // "Lead aVR", "Lead I (Einthoven)", "II", "V1"
  for (const std::string& text : {ch.label, ch.source.meaning}) {
    std::string t = Trimmed(text);
    if (t.size() > 5 && (t.rfind("Lead ", 0) == 0 || t.rfind("LEAD ", 0) == 0)) t = t.substr(5);
    t = Trimmed(t.substr(0, std::min(t.find(" ("), t.find(','))));
    for (const char* name : names)
      if (strcasecmp(t.c_str(), name) == 0) return name;
  }
  return {};
}

double MillivoltsPerUnit(const std::string& units) {
  if (units == "uV") return 1e-3;
  if (units == "mV") return 1;
  if (units == "V") return 1e3;
  if (units == "nV") return 1e-6;
  if (units == "kV") return 1e6;
  return 0;
}

bool ReadWaveform(const std::string& path, TWaveform& out, std::string& why) {
  out = TWaveform{};
  out.path = path;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a readable file";
    return false;
  }
  const uint64_t fileSize = uint64_t(st.st_size);
  DcmFileFormat file;
  try {
    // Large values (the samples) stay on disk until a group asks for them.
    const OFCondition c =
        file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 4096, ERM_autoDetect);
    if (c == EC_StreamNotifyClient || c == EC_InvalidStream) {
      why = std::string("it is cut short or damaged (") + c.text() + ")";
      return false;
    }
    if (c.bad()) {
      why = std::string("not a readable DICOM file (") + c.text() + ")";
      return false;
    }
    DcmDataset& ds = *file.getDataset();
    if (!Get(ds, DCM_SpecificCharacterSet).empty()) ds.convertToUTF8();
    out.sopClassUid = Get(ds, DCM_SOPClassUID);
    out.sopInstanceUid = Get(ds, DCM_SOPInstanceUID);
    out.className = WaveformClassName(out.sopClassUid);
    out.patientName = PersonNameText(Get(ds, DCM_PatientName));
    out.patientId = Get(ds, DCM_PatientID);
    out.patientBirthDate = Get(ds, DCM_PatientBirthDate);
    out.patientSex = Get(ds, DCM_PatientSex);
    out.acquisitionDateTime = Get(ds, DCM_AcquisitionDateTime);
    if (out.acquisitionDateTime.empty())
      out.acquisitionDateTime = Get(ds, DCM_ContentDate) + Get(ds, DCM_ContentTime);
    out.studyDescription = Get(ds, DCM_StudyDescription);
    out.seriesDescription = Get(ds, DCM_SeriesDescription);
    out.manufacturer = Get(ds, DCM_Manufacturer);
    out.modelName = Get(ds, DCM_ManufacturerModelName);

    DcmSequenceOfItems* seq = nullptr;
    if (ds.findAndGetSequence(DCM_WaveformSequence, seq).bad() || !seq || seq->card() == 0) {
      why = "it holds no waveform";
      return false;
    }
    const bool bigEndian = DcmXfer(ds.getOriginalXfer()).isBigEndian();
    const std::vector<DcmItem*> items = Items(ds, DCM_WaveformSequence);
    for (size_t i = 0; i < items.size(); ++i) {
      TWaveformGroup g;
      g.number = int(i) + 1;
      if (DcmItem* item = items[i]) ReadGroup(*item, bigEndian, fileSize, g);
      out.groups.push_back(std::move(g));
    }
    ReadAnnotations(ds, out);
  } catch (const std::bad_alloc&) {
    why = "not enough memory to read it";
    return false;
  }
  return true;
}
