// Studies for the network tests and the retrieve benchmark: CT slices with
// every identifying attribute an archive indexes (patient, study, series and
// SOP instance UIDs, instance number, dates, accession number), written
// with the product's DICOM writer.
#pragma once

#include <string>
#include <vector>

#include "dicom/DicomWriter.h"

namespace testsupport {

struct CtSliceSpec {
  std::string patientName = "PACS^TEST";
  std::string patientId = "PACS-1";
  std::string studyUid = "1.2.826.0.1.3680043.2.1125.1";
  std::string seriesUid = "1.2.826.0.1.3680043.2.1125.1.1";
  std::string sopUid = "1.2.826.0.1.3680043.2.1125.1.1.1";
  std::string studyDate = "20240115";
  std::string accession = "ACC001";
  std::string studyDescription = "CHEST";
  std::string modality = "CT";
  int seriesNumber = 1;
  int instanceNumber = 1;
  int size = 64;  // rows and columns
};

// A whole Part 10 file, explicit VR little endian, 16-bit pixels.
std::vector<uint8_t> CtSliceFile(const CtSliceSpec& spec);

// One series of count slices under dir as FILE0001.dcm...; SOP UIDs are the
// series UID with ".k" appended. Returns the paths.
std::vector<std::string> WriteCtSeries(const std::string& dir, CtSliceSpec spec, int count);

}  // namespace testsupport
