// Exact DICOM fixtures for tests: a small image built with the product's
// writer, plus helpers for the odd cases (wrong lengths, truncation, swapped
// bytes) and for running the oracle tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dicom/DicomWriter.h"
#include "dicom/dicom.h"

namespace fixtures {

using Bytes = std::vector<uint8_t>;
using dicomwriter::DicomWriter;

// A small grey image. Elements are written in tag order; zero or empty fields
// are left out.
struct ImageSpec {
  bool explicitVR = true;
  bool littleEndian = true;
  int columns = 4;
  int rows = 3;
  int frames = 0;  // 0: no Number of Frames element
  int samples = 1;
  int bitsAllocated = 16;
  int bitsStored = 12;
  int pixelRepresentation = 0;
  std::string photometric = "MONOCHROME2";
  std::string patientName = "DOE^JOHN";
  std::string patientId = "123456";
  std::string modality = "CT";
  std::string studyUid = "1.2.3.4";
  std::string seriesUid = "1.2.3.4.5";
  std::string pixelSpacing = "0.5\\0.25";
  std::string windowCenter;
  std::string windowWidth;
};

// The elements of desc up to (not including) the pixel data.
void AddImageHeader(DicomWriter& w, const ImageSpec& desc);
// Native pixel data of desc: a ramp, in the writer's byte order.
void AddNativePixels(DicomWriter& w, const ImageSpec& desc);
// A whole file: preamble, "DICM", meta group (transfer syntax from the
// desc's encoding unless given), header and native pixel data.
Bytes SmallImageFile(const ImageSpec& desc = {}, const std::string& transferSyntax = "");
// The transfer syntax UID of an uncompressed encoding.
std::string NativeSyntax(bool explicitVR, bool littleEndian);
// File bytes around a data set: preamble, "DICM" and meta group.
Bytes Part10(const DicomWriter& dataSet, const std::string& transferSyntax);

// A file whose pixel data is encapsulated: the header of desc, then the
// offset table and fragments as given.
Bytes EncapsulatedFile(const ImageSpec& desc, const std::string& transferSyntax,
                       const std::vector<Bytes>& fragments,
                       const std::vector<uint32_t>& offsetTable = {});
// n fragments of the given sizes, each filled with its index.
std::vector<Bytes> Fragments(const std::vector<size_t>& sizes);

// One read of a file held in memory, with the texts the reader raised.
struct ReadOutcome {
  DICOMdata header;
  bool hdrOK = false;
  bool imgOK = false;
  bool isDicomDir = false;
  TPatientArr dir;
  std::vector<std::string> messages;
};
ReadOutcome ReadHeader(const Bytes& file, bool readFrameTables = true);

// Offset of the first occurrence of a tag in the given byte order, or -1.
long FindTag(const Bytes& bytes, uint32_t tag, bool littleEndian = true, size_t from = 0);
void Put16(Bytes& bytes, size_t at, uint16_t v, bool littleEndian = true);
void Put32(Bytes& bytes, size_t at, uint32_t v, bool littleEndian = true);
Bytes Truncated(const Bytes& bytes, size_t size);

// Writes bytes into dir/name and returns the path.
std::string WriteFile(const std::string& dir, const std::string& name, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

// Runs a shell command; returns its exit status and fills output with stdout.
int RunCommand(const std::string& command, std::string* output = nullptr);

}  // namespace fixtures
