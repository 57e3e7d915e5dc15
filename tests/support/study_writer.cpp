#include "support/study_writer.h"

#include <array>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "dicom/DicomWriter.h"

namespace studywriter {

namespace {

std::string Number(double v) {
  char out[32];
  std::snprintf(out, sizeof out, "%.6g", v);
  return out;
}

// Row and column directions, and the normal they make.
struct Plane {
  std::array<double, 6> orientation;
  std::array<double, 3> normal;
};

bool PlaneOf(const std::string& name, Plane& p) {
  if (name == "axial")
    p = {{1, 0, 0, 0, 1, 0}, {0, 0, 1}};
  else if (name == "coronal")
    p = {{1, 0, 0, 0, 0, -1}, {0, 1, 0}};
  else if (name == "sagittal")
    p = {{0, 1, 0, 0, 0, -1}, {-1, 0, 0}};
  else
    return false;
  return true;
}

std::string Digits(const std::string& s) {
  std::string out;
  for (char c : s) out += std::to_string(static_cast<unsigned char>(c) % 10);
  return out;
}

}  // namespace

std::string SopClassOf(const std::string& m) {
  if (m == "CT") return "1.2.840.10008.5.1.4.1.1.2";
  if (m == "MR") return "1.2.840.10008.5.1.4.1.1.4";
  if (m == "CR") return "1.2.840.10008.5.1.4.1.1.1";
  if (m == "DX") return "1.2.840.10008.5.1.4.1.1.1.1";
  if (m == "MG") return "1.2.840.10008.5.1.4.1.1.1.2";
  if (m == "US") return "1.2.840.10008.5.1.4.1.1.6.1";
  if (m == "PT") return "1.2.840.10008.5.1.4.1.1.128";
  return "1.2.840.10008.5.1.4.1.1.7";
}

std::string StudyUidOf(const StudySpec& s) {
  if (!s.uid.empty()) return s.uid;
  return "2.25.77" + Digits(s.patientId + s.issuer).substr(0, 20) + "." + s.date + "." +
         Digits(s.time).substr(0, 6);
}

std::string SeriesUidOf(const StudySpec& s, const SeriesSpec& se) {
  return se.uid.empty() ? StudyUidOf(s) + "." + std::to_string(se.number) : se.uid;
}

double PositionOf(const SeriesSpec& se, int k) {
  return se.firstPosition + k * se.spacing;
}

std::string WriteStudy(const std::string& dir, const StudySpec& s) {
  namespace fs = std::filesystem;
  using dicomwriter::DicomWriter;
  const std::string studyUid = StudyUidOf(s);
  const std::string folder = dir + "/" + s.patientId + "_" + s.date + "_" + s.time;
  for (const SeriesSpec& se : s.series) {
    const std::string seriesUid = SeriesUidOf(s, se);
    const std::string seriesFolder = folder + "/s" + std::to_string(se.number);
    fs::create_directories(seriesFolder);
    const std::string frame = se.frameOfReference.empty() ? studyUid + ".0" : se.frameOfReference;
    Plane plane{};
    const bool located = PlaneOf(se.orientation, plane);
    const bool ct = se.modality == "CT";
    for (int k = 0; k < se.images; ++k) {
      const std::string sop = seriesUid + "." + std::to_string(k + 1);
      DicomWriter w;
      if (!se.imageType.empty()) w.Text(0x00080008, "CS", se.imageType);
      w.Text(0x00080016, "UI", SopClassOf(se.modality));
      w.Text(0x00080018, "UI", sop);
      w.Text(0x00080020, "DA", s.date);
      w.Text(0x00080030, "TM", s.time);
      w.Text(0x00080060, "CS", se.modality);
      if (!s.description.empty()) w.Text(0x00081030, "LO", s.description);
      if (!se.description.empty()) w.Text(0x0008103E, "LO", se.description);
      w.Text(0x00100010, "PN", s.patientName);
      w.Text(0x00100020, "LO", s.patientId);
      if (!s.issuer.empty()) w.Text(0x00100021, "LO", s.issuer);
      if (!se.bodyPart.empty()) w.Text(0x00180015, "CS", se.bodyPart);
      if (located) w.Text(0x00180050, "DS", Number(std::abs(se.spacing)));
      const bool ownView = size_t(k) < se.imageViews.size();
      const std::string view = ownView ? se.imageViews[size_t(k)].first : se.viewPosition;
      const std::string laterality = ownView ? se.imageViews[size_t(k)].second : se.laterality;
      if (!view.empty()) w.Text(0x00185101, "CS", view);
      w.Text(0x0020000D, "UI", studyUid);
      w.Text(0x0020000E, "UI", seriesUid);
      w.Text(0x00200010, "SH", "1");
      w.Text(0x00200011, "IS", std::to_string(se.number));
      w.Text(0x00200013, "IS", std::to_string(k + 1));
      if (located) {
        const double at = PositionOf(se, k);
        std::string pos;
        for (int i = 0; i < 3; ++i) pos += (i ? "\\" : "") + Number(plane.normal[size_t(i)] * at);
        std::string ori;
        for (int i = 0; i < 6; ++i) ori += (i ? "\\" : "") + Number(plane.orientation[size_t(i)]);
        w.Text(0x00200032, "DS", pos);
        w.Text(0x00200037, "DS", ori);
        w.Text(0x00200052, "UI", frame);
      }
      if (!laterality.empty()) w.Text(0x00200062, "CS", laterality);
      const auto n = static_cast<uint16_t>(se.size);
      w.US(0x00280002, {1});
      w.Text(0x00280004, "CS", "MONOCHROME2");
      w.US(0x00280010, {n});
      w.US(0x00280011, {n});
      w.Text(0x00280030, "DS", "0.5\\0.5");
      w.US(0x00280100, {16});
      w.US(0x00280101, {12});
      w.US(0x00280102, {11});
      w.US(0x00280103, {0});
      if (ct) {
        w.Text(0x00281050, "DS", "40");
        w.Text(0x00281051, "DS", "400");
        w.Text(0x00281052, "DS", "-1024");
        w.Text(0x00281053, "DS", "1");
      }
      w.OW(0x7FE00010, std::vector<uint16_t>(size_t(n) * n, uint16_t(100 + k)));
      dicomwriter::DicomFileOptions o;
      o.sopClassUid = SopClassOf(se.modality);
      o.sopInstanceUid = sop;
      dicomwriter::WriteBytesToFile(seriesFolder + "/i" + std::to_string(k) + ".dcm",
                                    dicomwriter::BuildDicomFile(w, o));
    }
  }
  return folder;
}

}  // namespace studywriter
