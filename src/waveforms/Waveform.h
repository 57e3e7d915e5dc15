// A waveform object (ECG, hemodynamic, electrophysiology, pulse, respiration,
// audio ...) read into its multiplex groups and channels, samples in the
// physical units of each channel's sensitivity.
//
// Physical value = (stored + Channel Baseline) * Channel Sensitivity *
// Channel Sensitivity Correction Factor, each factor 1 (baseline 0) when
// absent. Mu-law and A-law samples are expanded to linear 16-bit first; a
// sample equal to the group's padding value is a gap (NaN).
//
// A group that cannot be read as it declares itself (no channels, data
// shorter than channels x samples x bytes, channel definitions that disagree
// with the channel count, an unknown sample format) keeps its description
// and carries one reason in `refused`, with no channels; the other groups are
// read all the same. Every read is bounded by the file, every allocation by
// the data the group holds.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

struct TWaveformCode {
  std::string value, scheme, meaning;
  bool empty() const { return value.empty() && meaning.empty(); }
};

struct TWaveformChannel {
  int number = 0;     // 1-based within its group
  std::string label;  // Channel Label, else the source's code meaning, else "Channel N"
  TWaveformCode source;
  std::string units;  // sensitivity units code value (UCUM: "uV", "mV", "mm[Hg]"); empty when none
  std::string unitsMeaning;
  double sensitivity = 1, correction = 1, baseline = 0;
  bool calibrated = false;  // Channel Sensitivity given
  double timeSkew = 0;      // seconds; Channel Sample Skew already converted
  double filterLow = NaN(), filterHigh = NaN(), notch = NaN();  // Hz; NaN when not given
  std::string status;                                           // Channel Status values
  std::vector<double> samples;

  static constexpr double NaN() { return std::numeric_limits<double>::quiet_NaN(); }
};

struct TWaveformGroup {
  int number = 0;  // 1-based position in the Waveform Sequence
  std::string label;
  std::string originality;       // ORIGINAL or DERIVED
  double samplingFrequency = 0;  // Hz
  uint32_t sampleCount = 0;
  uint16_t channelCount = 0;  // as declared
  int bitsAllocated = 0;
  std::string interpretation;  // SB, UB, SS, US, SL, UL, SV, UV, MB, AB
  double timeOffset = 0;       // ms, Multiplex Group Time Offset
  std::vector<TWaveformChannel> channels;
  std::string refused;  // why the samples are not given; empty when read
  std::string note;     // something odd that did not stop the read

  double DurationSeconds() const {
    return samplingFrequency > 0 ? sampleCount / samplingFrequency : 0;
  }
};

struct TWaveformAnnotation {
  std::string text;           // Unformatted Text Value
  TWaveformCode conceptName;  // Concept Name Code Sequence
  TWaveformCode codedValue;   // Concept Code Sequence
  bool hasNumeric = false;
  double numeric = 0;
  std::string units;    // Measurement Units code value
  int groupNumber = 0;  // Annotation Group Number
  // Referenced Waveform Channels: (multiplex group, channel) pairs; channel 0
  // stands for every channel of the group.
  std::vector<std::pair<int, int>> channels;
  std::string rangeType;                  // POINT, MULTIPOINT, SEGMENT, ...
  std::vector<uint32_t> samplePositions;  // 1-based
  std::vector<double> timeOffsets;        // seconds

  // One line a person reads: "RR Interval 982 ms", "ECG NORMALE", "P Onset".
  std::string Text() const;
  // Whether it marks positions on the trace rather than saying something of
  // the whole recording.
  bool Positional() const { return !samplePositions.empty() || !timeOffsets.empty(); }
};

struct TWaveform {
  std::string path;
  std::string sopClassUid, sopInstanceUid;
  std::string className;                                             // "12-lead ECG", ...
  std::string patientName, patientId, patientBirthDate, patientSex;  // UTF-8, for display
  std::string acquisitionDateTime;  // Acquisition DateTime, else Content Date and Time
  std::string studyDescription, seriesDescription, manufacturer, modelName;
  std::vector<TWaveformGroup> groups;
  std::vector<TWaveformAnnotation> annotations;
  std::vector<std::string> skipped;  // annotations not read, one reason each

  // Groups read with samples.
  int ReadableGroups() const;
};

// Reads the waveform object in path. False with one reason when the file is
// no DICOM, holds no Waveform Sequence or cannot be read; a file whose groups
// are all refused is read (true): each group says why.
bool ReadWaveform(const std::string& path, TWaveform& out, std::string& why);

// The kind of a waveform SOP class ("12-lead ECG", "Hemodynamic", ...);
// empty for a class that is no waveform.
std::string WaveformClassName(const std::string& sopClassUid);
bool IsAudioWaveformClass(const std::string& sopClassUid);

// The standard ECG lead a channel records, by its source code or label:
// "I", "II", "III", "aVR", "aVL", "aVF", "V1" ... "V6"; empty for anything else.
std::string StandardLeadName(const TWaveformChannel& channel);

// Factor from a channel's units to millivolts; 0 when the units are no voltage.
double MillivoltsPerUnit(const std::string& units);
