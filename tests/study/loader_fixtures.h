// Small image files and DICOMDIRs for the loading tests, built with the
// product's writer. Every file is a valid Part 10 file of a few hundred bytes.
// No Qt: the study tests run under ThreadSanitizer too.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "dicom/DicomWriter.h"
#include "dicom/StudyTree.h"
#include "dicom/dicom.h"
#include "study/Global.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace loadfx {

using dicomwriter::DicomWriter;

struct TestImage {
  std::string patientName = "DOE^JOHN";
  std::string patientId = "1001";
  std::string studyUid = "1.2.826.0.1.1";
  std::string studyId = "7";
  std::string studyDate = "20240314";
  std::string studyTime = "143015.123456";
  std::string seriesUid = "1.2.826.0.1.1.1";
  std::string modality = "CT";
  int seriesNumber = 1;
  int instance = 1;
  std::string imageType = "ORIGINAL\\PRIMARY\\AXIAL";
  // Empty: a UID of its own for every file written, so files that share an
  // instance number are still distinct instances.
  std::string sopUid = {};
};

inline std::vector<uint8_t> ImageFile(const TestImage& t) {
  DicomWriter w(true, true);
  static std::atomic<int> written{0};
  const std::string sop = !t.sopUid.empty() ? t.sopUid
                                            : t.seriesUid + "." + std::to_string(t.instance) + "." +
                                                  std::to_string(++written);
  w.Text(0x00080008, "CS", t.imageType);
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", sop);
  w.Text(0x00080020, "DA", t.studyDate);
  w.Text(0x00080030, "TM", t.studyTime);
  w.Text(0x00080060, "CS", t.modality);
  w.Text(0x00081030, "LO", "TEST STUDY");
  w.Text(0x00100010, "PN", t.patientName);
  w.Text(0x00100020, "LO", t.patientId);
  w.Text(0x0020000D, "UI", t.studyUid);
  w.Text(0x0020000E, "UI", t.seriesUid);
  w.Text(0x00200010, "SH", t.studyId);
  w.Text(0x00200011, "IS", std::to_string(t.seriesNumber));
  w.Text(0x00200013, "IS", std::to_string(t.instance));
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  w.US(0x00280010, {8});
  w.US(0x00280011, {8});
  w.US(0x00280100, {16});
  w.US(0x00280101, {12});
  w.US(0x00280102, {11});
  w.US(0x00280103, {0});
  std::vector<uint16_t> px(64);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint16_t>(i * 7 + t.instance);
  w.OW(0x7FE00010, px);
  dicomwriter::DicomFileOptions options;
  options.sopClassUid = "1.2.840.10008.5.1.4.1.1.2";
  options.sopInstanceUid = sop;
  return dicomwriter::BuildDicomFile(w, options);
}

inline std::string Write(const std::string& dir, const std::string& relative,
                         const std::vector<uint8_t>& bytes) {
  const std::filesystem::path path = std::filesystem::path(dir) / relative;
  std::filesystem::create_directories(path.parent_path());
  EXPECT_TRUE(dicomwriter::WriteBytesToFile(path.string(), bytes)) << path;
  return path.string();
}

inline std::string WriteImage(const std::string& dir, const std::string& relative,
                              const TestImage& t) {
  return Write(dir, relative, ImageFile(t));
}

// A DICOMDIR whose records are given as (type, keys) pairs in file order. The
// link offsets are left at 0: the loader reads records in file order.
struct Record {
  std::string type;
  std::vector<std::pair<uint32_t, std::string>> texts;  // tag, value (VR from the tag)
};

inline const char* VrOf(uint32_t tag) {
  switch (tag) {
    case 0x00041500:
      return "CS";
    case 0x00080020:
      return "DA";
    case 0x00080030:
      return "TM";
    case 0x00080060:
      return "CS";
    case 0x00100010:
      return "PN";
    case 0x00100020:
      return "LO";
    case 0x0020000D:
    case 0x0020000E:
      return "UI";
    case 0x00200010:
      return "SH";
    default:
      return "IS";
  }
}

inline std::vector<uint8_t> DicomDirFile(const std::vector<Record>& records) {
  DicomWriter w(true, true);
  w.Text(0x00041130, "CS", "TEST");
  w.BeginSequence(0x00041220);
  for (const Record& r : records) {
    w.BeginItem();
    w.UL(0x00041400, {0});
    w.US(0x00041410, {0xFFFF});
    w.UL(0x00041420, {0});
    w.Text(0x00041430, "CS", r.type);
    for (const auto& [tag, text] : r.texts) w.Text(tag, VrOf(tag), text);
    w.EndItem();
  }
  w.EndSequence();
  dicomwriter::DicomFileOptions options;
  options.sopClassUid = "1.2.840.10008.1.3.10";
  options.sopInstanceUid = "1.2.826.0.1.9";
  return dicomwriter::BuildDicomFile(w, options);
}

inline Record Patient(const std::string& name, const std::string& id) {
  return {"PATIENT", {{0x00100010, name}, {0x00100020, id}}};
}
inline Record Study(const std::string& uid, const std::string& id = "1") {
  return {"STUDY",
          {{0x00080020, "20240314"}, {0x00080030, "101010"}, {0x0020000D, uid}, {0x00200010, id}}};
}
inline Record Series(const std::string& uid, const std::string& modality, int number) {
  return {"SERIES",
          {{0x00080060, modality}, {0x0020000E, uid}, {0x00200011, std::to_string(number)}}};
}
inline Record Image(const std::string& fileId, int instance) {
  return {"IMAGE", {{0x00041500, fileId}, {0x00200013, std::to_string(instance)}}};
}

// Loading state back to a fresh start.
inline void ResetLoadingState() {
  std::lock_guard lock(gPatientsMutex);
  TGlobal::FreeMemory(gPatients);
  gReports.clear();
  gFileHeaders.clear();
  gFileList.clear();
}

inline int ImageCount(const TPatientArr& patients) {
  int n = 0;
  for (const auto& p : patients)
    for (const auto& st : p.studies)
      for (const auto& s : st.serieses) n += static_cast<int>(s.images.size());
  return n;
}

}  // namespace loadfx
