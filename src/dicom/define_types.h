// The study data model: the parsed header of one file (DICOMdata) and the
// four-level study tree (patients, studies, series, images) with the per-image
// frame cache. Plain value records; the operations live with their users.
//
// Text fields are 8-bit byte strings exactly as the reader produced them; the
// user interface widens them when it shows them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A lookup table applied to rescaled pixel values.
struct TLut {
  int LutSize = 0;               // entries; first value of LUT Descriptor (0028,3002)
  int LutBitsPerPixel = 0;       // bits per entry; third value of the descriptor
  int LutOffset = 0;             // first stored value that the table maps; second value
  std::vector<int32_t> Lutdata;  // entries in file order, each a 16-bit unsigned value

  bool operator==(const TLut&) const = default;
};

// Per-frame compressed data positions. Entry k - 1 belongs to frame k. Offsets
// are 64-bit so that files beyond 2 GiB keep working.
using LongIntRA = std::vector<int64_t>;

// The parsed header of one DICOM file. Fields are in declaration order; the
// initialisers are the values of a fresh record. ResetDicomData() restores the
// reset values at the start of every read and leaves the fields that a read
// does not reset (marked "kept") as they were.
struct DICOMdata {
  std::array<int, 4> XYZdim{1, 1, 1, 1};         // columns, rows, frames, unused
  std::array<int, 3> XYZori{0, 0, 0};            // never filled
  std::array<double, 3> XYZmm{1.0, 1.0, 1.0};    // column spacing, row spacing, slice
  std::array<double, 3> image_Postion{0, 0, 0};  // kept
  std::array<double, 6> IMAGE_ORIENTATION_PATIENT{0, 0, 0, 0, 0, 0};  // kept
  bool Rotate180deg = false;
  bool Float = false;
  bool RunLengthEncoding = false;
  bool GenesisCpt = false;
  bool JPEGlosslessCpt = false;
  bool JPEGJ2k = false;
  bool JPEGlossyCpt = false;
  bool ElscintCompress = false;
  bool MinIntensitySet = false;
  float IntenScale = 1.0f;
  float IntenIntercept = 0.0f;
  float kV = 0;
  float mA = 0;
  float TR = 0;
  float TE = 0;
  float spacing = 0;
  float location = 0;
  float frame_time = 0;
  int SiemensInterleaved = 2;
  int SiemensSlices = 0;
  int SiemensMosaicX = 1;
  int SiemensMosaicY = 1;
  int64_t CompressSz = 0;
  int64_t CompressOffset = 0;
  int SeriesNum = 1;
  int AcquNum = 0;
  int ImageNum = 1;
  int Monochrome = 2;
  int SamplesPerPixel = 1;
  int PlanarConfig = 0;
  int64_t ImageStart = 0;
  int little_endian = 0;
  int Allocbits_per_pixel = 16;
  int Storedbits_per_pixel = 16;
  int64_t ImageSz = 0;  // kept
  int accession = 1;
  int PatientIDint = 0;
  int VolumeNumber = 0;  // kept
  int WindowWidth = 0;
  int WindowCenter = 0;
  int GenesisPackHdr = 0;
  int NamePos = 0;
  int64_t StudyDatePos = 0;
  int MinIntensity = 0;
  int MaxIntensity = 0;
  int64_t RLEredOffset = 0;
  int64_t RLEgreenOffset = 0;
  int64_t RLEblueOffset = 0;
  int64_t RLEredSz = 0;
  int64_t RLEgreenSz = 0;
  int64_t RLEblueSz = 0;
  int pixel_representation = 0;  // kept
  std::string PatientName = "NO NAME";
  std::string PatientID = "NO ID";
  std::string PatientSex;
  std::string PatientBirthDate;
  std::string StudyDate;
  std::string modality = "OT";
  std::string serietag;
  std::string AcqTime;
  std::string ImgTime;
  std::string manufacturer;
  std::string Institute_Name;
  std::string referring_physician;
  std::string performing_physician;
  std::string Study_Instance_UID;   // kept
  std::string Series_Instance_UID;  // kept
  std::string Study_ID;             // kept
  std::string studydate_formated;
  std::string ImgTime_formated;
  bool fixed_manufacturer_flag = false;  // kept
  std::string fixed_manufacturer_name;   // kept
  std::string imageType;                 // kept
  std::string Acquisition_Date;          // kept
  std::string Image_Date;                // kept
  std::string Study_Time;                // kept
  std::string SeriesDate;                // kept
  std::string Series_Time;               // kept
  std::string SOP_Class_UID;             // kept
  std::string SOP_Instance_UID;          // kept
  std::string Study_Description;         // kept
  std::string Series_Description;        // kept
  std::string institution_address;       // kept
  int overlay_rows = 0;
  int overlay_columns = 0;
  int overlay_orgin_1 = 0;
  int overlay_orgin_2 = 0;
  int overlay_bits_allocated = 0;
  int overlay_bits_position = 0;
  std::vector<uint8_t> overlay_data_bytes;
  std::string overlay_type;
  std::string Body_Part_Examined;        // kept
  std::string patientAge;                // kept
  std::string Implementation_Class_UID;  // kept
  std::string referenceFile;             // kept; set by the caller of the reader
  int gECATJPEG_table_entries = 0;
  LongIntRA gECATJPEG_pos_table;   // kept (emptied with the entry count)
  LongIntRA gECATJPEG_size_table;  // kept (emptied with the entry count)
  TLut Lut;                        // kept
  // Added past the original record: the Transfer Syntax UID (0002,0010) as
  // read, without its padding; empty when the file has none.
  std::string TransferSyntaxUID;

  // Field by field; two reads of one file compare equal.
  bool operator==(const DICOMdata&) const = default;
};

// Restores the reset values of a read; fields marked "kept" stay as they were.
// The fragment tables are emptied together with their entry count, so the
// count and the tables never disagree.
void ResetDicomData(DICOMdata& d);

// Per-image cache inside each TImg: the header and the decoded frames. The
// per-frame arrays are indexed by frame number - 1; an empty buffer means the
// frame is not cached. The frame tables are not capped.
struct TCache {
  DICOMdata DICOM;
  int Size = 0;          // pixels per frame
  int64_t FullSize = 0;  // bytes per frame
  std::vector<std::vector<uint8_t>> gBuff8;
  std::vector<std::vector<uint8_t>> gBuff24;
  std::vector<std::vector<int16_t>> gBuff16;
  std::vector<uint8_t> IsCached;  // per frame: 1 when a decoded copy is present
  bool IsLoading = false;
  int gECATslices = 0;
  std::vector<int64_t> gECATposra;  // file offset of frame k's compressed data
  std::vector<int64_t> gECATszra;   // length of frame k's compressed data
};

struct TImg {
  int instanceNumber = 0;
  std::string imagePath;
  std::string imageType;
  TCache Cache;
};
using TImgArr = std::vector<TImg>;
using TStringArray = std::vector<std::string>;

struct TSeries {
  int seriesNumber = 0;
  std::string modality;
  std::string instanceUid;
  std::string BodyPart;
  TImgArr images;
  TStringArray imagesListPath;
};
using TSeriesArr = std::vector<TSeries>;

struct TStudy {
  std::string studyID;
  std::string studyDate;
  std::string studyTime;
  int accessionNumber = 0;
  std::string description;
  std::string instanceUid;
  TSeriesArr serieses;
};
using TStudyArr = std::vector<TStudy>;

struct TPatient {
  std::string patientName;
  std::string patintID;
  TStudyArr studies;
};
using TPatientArr = std::vector<TPatient>;

// A report document found next to the images.
struct TReportRecord {
  std::string ReportPath;
  std::string PatientId;
  std::string PatientName;
};
