#include "support/fixtures.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace fixtures {

std::string NativeSyntax(bool explicitVR, bool littleEndian) {
  if (!explicitVR) return dicomwriter::kImplicitVRLittleEndian;
  return littleEndian ? dicomwriter::kExplicitVRLittleEndian : dicomwriter::kExplicitVRBigEndian;
}

void AddImageHeader(DicomWriter& w, const ImageSpec& s) {
  const auto text = [&](uint32_t tag, const char* vr, const std::string& v) {
    if (!v.empty()) w.Text(tag, vr, v);
  };
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.7");
  w.Text(0x00080018, "UI", "1.2.3.4.5.6");
  text(0x00080060, "CS", s.modality);
  text(0x00100010, "PN", s.patientName);
  text(0x00100020, "LO", s.patientId);
  text(0x0020000D, "UI", s.studyUid);
  text(0x0020000E, "UI", s.seriesUid);
  w.US(0x00280002, {uint16_t(s.samples)});
  text(0x00280004, "CS", s.photometric);
  if (s.frames > 0) w.Text(0x00280008, "IS", std::to_string(s.frames));
  w.US(0x00280010, {uint16_t(s.rows)});
  w.US(0x00280011, {uint16_t(s.columns)});
  text(0x00280030, "DS", s.pixelSpacing);
  w.US(0x00280100, {uint16_t(s.bitsAllocated)});
  w.US(0x00280101, {uint16_t(s.bitsStored)});
  w.US(0x00280102, {uint16_t(s.bitsStored - 1)});
  w.US(0x00280103, {uint16_t(s.pixelRepresentation)});
  text(0x00281050, "DS", s.windowCenter);
  text(0x00281051, "DS", s.windowWidth);
}

void AddNativePixels(DicomWriter& w, const ImageSpec& s) {
  const size_t n = size_t(s.columns) * s.rows * s.samples * std::max(1, s.frames);
  if (s.bitsAllocated == 8) {
    std::vector<uint8_t> px(n + (n & 1));
    for (size_t i = 0; i < n; ++i) px[i] = uint8_t(i);
    w.OB(0x7FE00010, px);
  } else {
    std::vector<uint16_t> px(n);
    for (size_t i = 0; i < n; ++i) px[i] = uint16_t(i * 7);
    w.OW(0x7FE00010, px);
  }
}

Bytes Part10(const DicomWriter& dataSet, const std::string& transferSyntax) {
  dicomwriter::DicomFileOptions o;
  o.transferSyntax = transferSyntax;
  return dicomwriter::BuildDicomFile(dataSet, o);
}

Bytes SmallImageFile(const ImageSpec& desc, const std::string& transferSyntax) {
  DicomWriter w(desc.explicitVR, desc.littleEndian);
  AddImageHeader(w, desc);
  AddNativePixels(w, desc);
  return Part10(w, transferSyntax.empty() ? NativeSyntax(desc.explicitVR, desc.littleEndian)
                                          : transferSyntax);
}

Bytes EncapsulatedFile(const ImageSpec& desc, const std::string& transferSyntax,
                       const std::vector<Bytes>& fragments,
                       const std::vector<uint32_t>& offsetTable) {
  DicomWriter w(true, true);
  AddImageHeader(w, desc);
  w.Encapsulated(offsetTable, fragments);
  return Part10(w, transferSyntax);
}

std::vector<Bytes> Fragments(const std::vector<size_t>& sizes) {
  std::vector<Bytes> f;
  for (size_t i = 0; i < sizes.size(); ++i) f.emplace_back(sizes[i], uint8_t(i + 1));
  return f;
}

ReadOutcome ReadHeader(const Bytes& file, bool readFrameTables) {
  ReadOutcome o;
  const DicomMessageSink sink = [&](const std::string& t) { o.messages.push_back(t); };
  DicomReadResult r =
      ReadDicomHeaderFromMemory(file.data(), file.size(), readFrameTables, o.header, sink);
  o.hdrOK = r.hdrOK;
  o.imgOK = r.imgOK;
  o.isDicomDir = r.isDicomDir;
  o.dir = std::move(r.dicomDir);
  return o;
}

long FindTag(const Bytes& b, uint32_t tag, bool little, size_t from) {
  uint8_t t[4];
  const uint16_t g = uint16_t(tag >> 16), e = uint16_t(tag);
  if (little) {
    t[0] = uint8_t(g), t[1] = uint8_t(g >> 8), t[2] = uint8_t(e), t[3] = uint8_t(e >> 8);
  } else {
    t[0] = uint8_t(g >> 8), t[1] = uint8_t(g), t[2] = uint8_t(e >> 8), t[3] = uint8_t(e);
  }
  for (size_t i = from; i + 4 <= b.size(); ++i)
    if (b[i] == t[0] && b[i + 1] == t[1] && b[i + 2] == t[2] && b[i + 3] == t[3]) return long(i);
  return -1;
}

void Put16(Bytes& b, size_t at, uint16_t v, bool little) {
  b.at(at) = little ? uint8_t(v) : uint8_t(v >> 8);
  b.at(at + 1) = little ? uint8_t(v >> 8) : uint8_t(v);
}

void Put32(Bytes& b, size_t at, uint32_t v, bool little) {
  Put16(b, little ? at : at + 2, uint16_t(v), little);
  Put16(b, little ? at + 2 : at, uint16_t(v >> 16), little);
}

Bytes Truncated(const Bytes& b, size_t size) {
  return Bytes(b.begin(), b.begin() + std::min(size, b.size()));
}

std::string WriteFile(const std::string& dir, const std::string& name, const Bytes& bytes) {
  const std::string path = dir + "/" + name;
  if (!dicomwriter::WriteBytesToFile(path, bytes)) throw std::runtime_error("cannot write " + path);
  return path;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int RunCommand(const std::string& command, std::string* output) {
  std::FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
    if (output) output->append(buf, n);
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace fixtures
