#include "pacs_fixtures.h"

#include <cstdio>
#include <filesystem>

namespace testsupport {

std::vector<uint8_t> CtSliceFile(const CtSliceSpec& s) {
  dicomwriter::DicomWriter w;
  const std::string ctImage = "1.2.840.10008.5.1.4.1.1.2";
  w.Text(0x00080005, "CS", "ISO_IR 100");
  w.Text(0x00080016, "UI", ctImage);
  w.Text(0x00080018, "UI", s.sopUid);
  w.Text(0x00080020, "DA", s.studyDate);
  w.Text(0x00080030, "TM", "101500");
  w.Text(0x00080050, "SH", s.accession);
  w.Text(0x00080060, "CS", s.modality);
  w.Text(0x00081030, "LO", s.studyDescription);
  w.Text(0x00100010, "PN", s.patientName);
  w.Text(0x00100020, "LO", s.patientId);
  w.Text(0x00100040, "CS", "O");
  w.Text(0x0020000D, "UI", s.studyUid);
  w.Text(0x0020000E, "UI", s.seriesUid);
  w.Text(0x00200010, "SH", "1");
  w.Text(0x00200011, "IS", std::to_string(s.seriesNumber));
  w.Text(0x00200013, "IS", std::to_string(s.instanceNumber));
  w.Text(0x00200032, "DS", "-100\\-100\\" + std::to_string(s.instanceNumber * 2));
  w.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0");
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  w.US(0x00280010, {uint16_t(s.size)});
  w.US(0x00280011, {uint16_t(s.size)});
  w.Text(0x00280030, "DS", "0.7\\0.7");
  w.US(0x00280100, {16});
  w.US(0x00280101, {12});
  w.US(0x00280102, {11});
  w.US(0x00280103, {0});
  w.Text(0x00281050, "DS", "40");
  w.Text(0x00281051, "DS", "400");
  w.Text(0x00281052, "DS", "-1024");
  w.Text(0x00281053, "DS", "1");
  // A disc of soft tissue in air that moves with the slice, so slices differ.
  std::vector<uint16_t> px(size_t(s.size) * s.size);
  const int c = s.size / 2, r = s.size / 3;
  for (int y = 0; y < s.size; ++y)
    for (int x = 0; x < s.size; ++x) {
      const int dx = x - c - s.instanceNumber % 7, dy = y - c;
      px[size_t(y) * s.size + x] =
          uint16_t(dx * dx + dy * dy < r * r ? 1064 + (x * 3 + y + s.instanceNumber) % 40 : 24);
    }
  w.OW(0x7FE00010, px);
  dicomwriter::DicomFileOptions o;
  o.sopClassUid = ctImage;
  o.sopInstanceUid = s.sopUid;
  return dicomwriter::BuildDicomFile(w, o);
}

std::vector<std::string> WriteCtSeries(const std::string& dir, CtSliceSpec spec, int count) {
  std::filesystem::create_directories(dir);
  std::vector<std::string> paths;
  for (int k = 1; k <= count; ++k) {
    spec.instanceNumber = k;
    spec.sopUid = spec.seriesUid + "." + std::to_string(k);
    char name[32];
    std::snprintf(name, sizeof name, "FILE%04d.dcm", k);
    const std::string path = (std::filesystem::path(dir) / name).string();
    dicomwriter::WriteBytesToFile(path, CtSliceFile(spec));
    paths.push_back(path);
  }
  return paths;
}

}  // namespace testsupport
