// The waveform reader on exact files: every sample format in both byte
// orders, the calibration arithmetic, padding gaps, and the ways a group can
// disagree with its data (each refused with one reason, the others kept).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/paths.h"
#include "waveforms/Waveform.h"

namespace {

struct Channel {
  std::string label = "II";
  std::string sensitivity = "1";
  std::string units = "uV";
  std::string correction, baseline;
};

struct Group {
  int channels = 1;
  uint32_t samples = 4;
  int bits = 16;
  std::string interpretation = "SS";
  std::vector<int64_t> values;  // sample-major: s0c0, s0c1, ...
  std::vector<Channel> definitions{Channel{}};
  bool ow = true;                // OW, else OB
  std::vector<int64_t> padding;  // a padding value, when given
  int64_t extraBytes = 0;        // data beyond what the channels need
  int64_t declaredLength = -1;   // a length field that lies
};

std::vector<uint8_t> SampleBytes(const std::vector<int64_t>& values, int bits, bool little) {
  std::vector<uint8_t> out;
  const int bytes = bits / 8;
  for (int64_t v : values)
    for (int b = 0; b < bytes; ++b) {
      const int shift = little ? 8 * b : 8 * (bytes - 1 - b);
      out.push_back(uint8_t(uint64_t(v) >> shift));
    }
  return out;
}

void PutData(fixtures::DicomWriter& w, uint32_t tag, std::vector<uint8_t> bytes, bool ow, int bits,
             int64_t declaredLength = -1) {
  if (bytes.size() % 2) bytes.push_back(0);
  if (declaredLength >= 0) {
    w.ElementWithLength(tag, ow ? "OW" : "OB", uint32_t(declaredLength), bytes);
    return;
  }
  if (!ow || bits != 8) {
    // Samples already in the file's byte order.
    w.Element(tag, ow ? "OW" : "OB", bytes);
    return;
  }
  // 8-bit samples in OW: words of two samples in the writer's order.
  std::vector<uint16_t> words;
  for (size_t i = 0; i < bytes.size(); i += 2)
    words.push_back(uint16_t(bytes[i] | bytes[i + 1] << 8));
  w.OW(tag, words);
}

std::string WriteWaveform(const std::string& name, const std::vector<Group>& groups,
                          bool little = true, bool explicitVR = true) {
  fixtures::DicomWriter w(explicitVR, little);
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.9.1.2");
  w.Text(0x00080018, "UI", "1.2.3.4.5.6");
  w.Text(0x00100010, "PN", "DOE^JANE");
  w.BeginSequence(0x54000100);
  for (const Group& g : groups) {
    w.BeginItem();
    w.US(0x003A0005, {uint16_t(g.channels)});
    w.UL(0x003A0010, {g.samples});
    w.Text(0x003A001A, "DS", "500");
    w.Text(0x003A0020, "SH", "RHYTHM");
    w.BeginSequence(0x003A0200);
    for (const Channel& c : g.definitions) {
      w.BeginItem();
      w.Text(0x003A0203, "SH", c.label);
      if (!c.sensitivity.empty()) {
        w.Text(0x003A0210, "DS", c.sensitivity);
        w.BeginSequence(0x003A0211);
        w.BeginItem()
            .Text(0x00080100, "SH", c.units)
            .Text(0x00080102, "SH", "UCUM")
            .Text(0x00080104, "LO", c.units)
            .EndItem();
        w.EndSequence();
      }
      if (!c.correction.empty()) w.Text(0x003A0212, "DS", c.correction);
      if (!c.baseline.empty()) w.Text(0x003A0213, "DS", c.baseline);
      w.EndItem();
    }
    w.EndSequence();
    w.US(0x54001004, {uint16_t(g.bits)});
    w.Text(0x54001006, "CS", g.interpretation);
    const bool ow = g.ow && g.bits >= 16;
    if (!g.padding.empty())
      PutData(w, 0x5400100A, SampleBytes(g.padding, g.bits, little), ow, g.bits);
    std::vector<uint8_t> data = SampleBytes(g.values, g.bits, little);
    data.resize(data.size() + size_t(g.extraBytes), 0);
    PutData(w, 0x54001010, data, g.ow, g.bits, g.declaredLength);
    w.EndItem();
  }
  w.EndSequence();
  const std::string dir = testsupport::TempDir("waveform_reader");
  return fixtures::WriteFile(dir, name,
                             fixtures::Part10(w, fixtures::NativeSyntax(explicitVR, little)));
}

TWaveform Read(const std::string& path) {
  TWaveform w;
  std::string why;
  EXPECT_TRUE(ReadWaveform(path, w, why)) << why;
  return w;
}

std::vector<double> Samples(const TWaveform& w, size_t group = 0, size_t channel = 0) {
  if (group >= w.groups.size() || channel >= w.groups[group].channels.size()) {
    ADD_FAILURE() << "no group " << group << " channel " << channel << ": "
                  << (group < w.groups.size() ? w.groups[group].refused : "");
    return {};
  }
  return w.groups[group].channels[channel].samples;
}

TEST(WaveformReader, EveryIntegerFormatInBothByteOrders) {
  struct Case {
    int bits;
    const char* interp;
    std::vector<int64_t> values;
    std::vector<double> expected;
  };
  const std::vector<Case> cases = {
      {8, "SB", {-128, -1, 0, 127}, {-128, -1, 0, 127}},
      {8, "UB", {0, 1, 200, 255}, {0, 1, 200, 255}},
      {16, "SS", {-32768, -2, 3, 32767}, {-32768, -2, 3, 32767}},
      {16, "US", {0, 65535, 40000, 7}, {0, 65535, 40000, 7}},
      {32,
       "SL",
       {-2147483648LL, -70000, 70000, 2147483647},
       {-2147483648.0, -70000, 70000, 2147483647}},
      {32, "UL", {0, 4294967295LL, 3000000000LL, 1}, {0, 4294967295.0, 3000000000.0, 1}},
      {64,
       "SV",
       {-(int64_t(1) << 40), -5, 5, int64_t(1) << 50},
       {-std::ldexp(1, 40), -5, 5, std::ldexp(1, 50)}},
  };
  for (const bool little : {true, false})
    for (const bool ow : {true, false})
      for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.interp) + (little ? " little" : " big") + (ow ? " OW" : " OB"));
        Group g;
        g.bits = c.bits;
        g.interpretation = c.interp;
        g.values = c.values;
        g.ow = ow;
        const TWaveform w = Read(WriteWaveform("formats.dcm", {g}, little));
        EXPECT_EQ(Samples(w), c.expected);
      }
}

TEST(WaveformReader, CalibrationInterleavingAndImplicitVR) {
  // Two channels interleaved by sample; (stored + baseline) * sensitivity * correction.
  Group g;
  g.channels = 2;
  g.samples = 3;
  g.values = {10, -10, 20, -20, 30, -30};
  Channel a;
  a.sensitivity = "2.5";
  a.baseline = "-10";
  Channel b;
  b.sensitivity = "0.5";
  b.correction = "1.1";
  b.units = "mV";
  g.definitions = {a, b};
  for (const bool explicitVR : {true, false}) {
    const TWaveform w = Read(WriteWaveform("calibrated.dcm", {g}, true, explicitVR));
    EXPECT_EQ(Samples(w, 0, 0), (std::vector<double>{0, 25, 50}));
    EXPECT_EQ(Samples(w, 0, 1),
              (std::vector<double>{-10 * 0.5 * 1.1, -20 * 0.5 * 1.1, -30 * 0.5 * 1.1}));
    ASSERT_EQ(w.groups[0].channels.size(), 2u);
    EXPECT_EQ(w.groups[0].channels[1].units, "mV");
    EXPECT_EQ(w.patientName, "DOE JANE");
  }
  // No sensitivity: the stored values, uncalibrated.
  g.definitions[0].sensitivity.clear();
  const TWaveform w = Read(WriteWaveform("uncalibrated.dcm", {g}));
  EXPECT_FALSE(w.groups[0].channels[0].calibrated);
  EXPECT_EQ(Samples(w), (std::vector<double>{0, 10, 20}));
}

TEST(WaveformReader, PaddingIsAGapAndCompandedAudioExpands) {
  Group g;
  g.values = {5, -32768, 7, -32768};
  g.padding = {-32768};
  const std::vector<double> s = Samples(Read(WriteWaveform("padding.dcm", {g})));
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0], 5);
  EXPECT_TRUE(std::isnan(s[1]));
  EXPECT_EQ(s[2], 7);
  EXPECT_TRUE(std::isnan(s[3]));

  // G.711: mu-law 0xFF and A-law 0xD5 are silence, 0x80 / 0xAA the loudest.
  Group mu;
  mu.bits = 8;
  mu.interpretation = "MB";
  mu.values = {0xFF, 0x80, 0x00, 0x7F};
  EXPECT_EQ(Samples(Read(WriteWaveform("mulaw.dcm", {mu}))),
            (std::vector<double>{0, 32124, -32124, 0}));
  Group a = mu;
  a.interpretation = "AB";
  a.values = {0xD5, 0xAA, 0x2A, 0x55};
  EXPECT_EQ(Samples(Read(WriteWaveform("alaw.dcm", {a}))),
            (std::vector<double>{8, 32256, -32256, -8}));
}

TEST(WaveformReader, GroupsThatDisagreeWithTheirDataAreRefusedAlone) {
  Group good;
  good.values = {1, 2, 3, 4};

  Group mismatch;  // three channels declared, two defined
  mismatch.channels = 3;
  mismatch.values = std::vector<int64_t>(12, 0);
  mismatch.definitions = {Channel{}, Channel{}};

  Group none;
  none.channels = 0;
  none.values = {1, 2};
  none.definitions.clear();

  Group huge;  // four billion samples over 8 bytes
  huge.samples = 4000000000u;
  huge.values = {1, 2, 3, 4};

  Group format;
  format.bits = 16;
  format.interpretation = "SB";
  format.values = {1, 2, 3, 4};

  Group longer;  // more data than declared: read, with a note
  longer.values = {1, 2, 3, 4};
  longer.extraBytes = 8;

  const TWaveform w =
      Read(WriteWaveform("mixed.dcm", {mismatch, good, none, huge, format, longer}));
  ASSERT_EQ(w.groups.size(), 6u);
  EXPECT_EQ(w.groups[0].refused, "it declares 3 channel(s) but defines 2");
  EXPECT_TRUE(w.groups[0].channels.empty());
  EXPECT_EQ(w.groups[1].refused, "");
  EXPECT_EQ(Samples(w, 1), (std::vector<double>{1, 2, 3, 4}));
  EXPECT_EQ(w.groups[2].refused, "it has no channels");
  EXPECT_EQ(w.groups[3].refused,
            "1 channel(s) of 4000000000 sample(s) need 8000000000 bytes; its data holds 8");
  EXPECT_NE(w.groups[4].refused.find("no waveform sample format"), std::string::npos);
  EXPECT_EQ(w.groups[5].refused, "");
  EXPECT_NE(w.groups[5].note.find("8 bytes more"), std::string::npos);
  EXPECT_EQ(w.ReadableGroups(), 2);
}

TEST(WaveformReader, LengthsBeyondTheFileAndFilesThatAreNoWaveform) {
  // A data element whose length field claims more than the file holds.
  Group lying;
  lying.values = {1, 2, 3, 4};
  lying.declaredLength = 0x7FFFFFF0;
  const std::string path = WriteWaveform("lying.dcm", {lying});
  TWaveform w;
  std::string why;
  if (ReadWaveform(path, w, why)) {
    ASSERT_EQ(w.groups.size(), 1u);
    EXPECT_FALSE(w.groups[0].refused.empty());
  } else {
    EXPECT_FALSE(why.empty());
  }

  // Cut short inside the samples.
  Group g;
  g.samples = 400;
  g.values = std::vector<int64_t>(400, 9);
  const fixtures::Bytes whole = fixtures::ReadFile(WriteWaveform("whole.dcm", {g}));
  const std::string cut = fixtures::WriteFile(testsupport::TempDir("waveform_reader"), "cut.dcm",
                                              fixtures::Truncated(whole, whole.size() - 300));
  EXPECT_FALSE(ReadWaveform(cut, w, why));
  EXPECT_EQ(why.rfind("it is cut short or damaged", 0), 0u) << why;

  // An image is no waveform; a folder no file.
  const std::string image = fixtures::WriteFile(testsupport::TempDir("waveform_reader"),
                                                "image.dcm", fixtures::SmallImageFile());
  EXPECT_FALSE(ReadWaveform(image, w, why));
  EXPECT_EQ(why, "it holds no waveform");
  EXPECT_FALSE(ReadWaveform(testsupport::TempDir("waveform_reader"), w, why));
  EXPECT_EQ(why, "not a readable file");
}

TEST(WaveformReader, StandardLeadsByCodeOrLabel) {
  TWaveformChannel ch;
  ch.source = {"5.6.3-9-62", "SCPECG", "whatever"};
  EXPECT_EQ(StandardLeadName(ch), "aVR");
  ch.source = {"2:61", "MDC", ""};
  EXPECT_EQ(StandardLeadName(ch), "III");
  ch.source = {};
  for (const auto& [label, lead] :
       std::vector<std::pair<std::string, std::string>>{{"Lead I (Einthoven)", "I"},
                                                        {"LEAD AVF", "aVF"},
                                                        {"V6", "V6"},
                                                        {"v1", "V1"},
                                                        {"Lead II, augmented", "II"},
                                                        {"ART", ""},
                                                        {"V7", ""},
                                                        {"Lead", ""}}) {
    ch.label = label;
    EXPECT_EQ(StandardLeadName(ch), lead) << label;
  }
  EXPECT_EQ(MillivoltsPerUnit("uV"), 1e-3);
  EXPECT_EQ(MillivoltsPerUnit("mm[Hg]"), 0);
  EXPECT_EQ(WaveformClassName("1.2.840.10008.5.1.4.1.1.9.2.1"), "Hemodynamic waveform");
  EXPECT_EQ(WaveformClassName("1.2.840.10008.5.1.4.1.1.2"), "");
  EXPECT_TRUE(IsAudioWaveformClass("1.2.840.10008.5.1.4.1.1.9.4.1"));
}

}  // namespace
