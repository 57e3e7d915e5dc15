// The study data model: the parsed header of one file (DICOMdata) and the
// four-level study tree (patients, studies, series, images) with each image's
// header. Plain value records; the operations live with their users.
//
// Text fields are 8-bit byte strings exactly as the reader produced them; the
// user interface widens them when it shows them. Texts that the images of a
// series or study repeat are TSharedText, held once however many headers the
// tree keeps; texts of one image (instance UID, times, path) stay std::string.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dicom/SharedText.h"

// A lookup table applied to rescaled pixel values.
struct TLut {
  int LutSize = 0;               // entries; first value of LUT Descriptor (0028,3002)
  int LutBitsPerPixel = 0;       // bits per entry; third value of the descriptor
  int LutOffset = 0;             // first stored value that the table maps; second value
  std::vector<int32_t> Lutdata;  // entries in file order, each a 16-bit unsigned value

  bool operator==(const TLut&) const = default;
};

// One palette colour lookup table as the file holds it: the descriptor
// (0028,1101-1103) and the data (0028,1201-1203), or segmented data
// (0028,1221-1223) still in segments. The bytes are shared, so the copies the
// reader makes of a header during its walk cost nothing; two tables compare
// by content.
struct TPaletteLut {
  int entries = 0;      // first descriptor value as read (0 stands for 65536)
  int firstMapped = 0;  // second value, signed for signed pixels
  int bits = 0;         // third value: bits per entry
  bool segmented = false;
  std::shared_ptr<const std::vector<uint8_t>> data;  // the value's bytes in file order

  bool operator==(const TPaletteLut& o) const {
    const bool sameData = data == o.data || (data && o.data && *data == *o.data) ||
                          ((!data || data->empty()) && (!o.data || o.data->empty()));
    return entries == o.entries && firstMapped == o.firstMapped && bits == o.bits &&
           segmented == o.segmented && sameData;
  }
};

// The image pixel module as the file states it, for the formats the fields
// above cannot describe (1, 32 and 64 bits, float data, palettes, the exact
// colour model). Filled by the reader and never changed after: the frame
// decoder describes stored frames by it, whatever the other fields were made
// to say about the decoded buffers. bitsAllocated 0: not read.
struct TPixelModule {
  int samplesPerPixel = 0;        // (0028,0002)
  int bitsAllocated = 0;          // (0028,0100)
  int bitsStored = 0;             // (0028,0101)
  int pixelRepresentation = 0;    // (0028,0103)
  int floatBits = 0;              // 32: Float Pixel Data (7FE0,0008); 64: Double Float (7FE0,0009)
  std::string photometric;        // (0028,0004) without its padding
  double rescaleSlope = 1.0;      // (0028,1053); 1 when below 1e-9
  double rescaleIntercept = 0.0;  // (0028,1052)
  std::array<TPaletteLut, 3> palette;  // red, green, blue

  bool operator==(const TPixelModule&) const = default;
};

// Per-frame compressed data positions. Entry k - 1 belongs to frame k. Offsets
// are 64-bit so that files beyond 2 GiB keep working.
using LongIntRA = std::vector<int64_t>;

// The texts a fresh record starts with ("NO NAME", "NO ID", "OT"), made once:
// a record is made for every file read, and a copy costs no lookup.
enum TFreshText { kFreshPatientName, kFreshPatientID, kFreshModality };
const TSharedText& FreshText(TFreshText which);

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
  float cine_rate = 0;               // Cine Rate (0018,0040), frames per second
  float recommended_frame_rate = 0;  // Recommended Display Frame Rate (0008,2144)
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
  // First values of (0028,1051) and (0028,1050), modality units; 0: none.
  double WindowWidth = 0;
  double WindowCenter = 0;
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
  TSharedText PatientName = FreshText(kFreshPatientName);
  TSharedText PatientID = FreshText(kFreshPatientID);
  // (0010,0021): one patient ID means one patient only within its issuer.
  TSharedText Issuer_Of_Patient_ID;
  TSharedText PatientSex;
  TSharedText PatientBirthDate;
  TSharedText StudyDate;
  TSharedText modality = FreshText(kFreshModality);
  std::string serietag;
  std::string AcqTime;
  std::string ImgTime;
  TSharedText manufacturer;
  TSharedText Institute_Name;
  TSharedText referring_physician;
  TSharedText performing_physician;
  TSharedText Study_Instance_UID;   // kept
  TSharedText Series_Instance_UID;  // kept
  TSharedText Frame_Of_Reference_UID;
  TSharedText Study_ID;  // kept
  TSharedText studydate_formated;
  std::string ImgTime_formated;
  bool fixed_manufacturer_flag = false;  // kept
  TSharedText fixed_manufacturer_name;   // kept
  TSharedText imageType;                 // kept
  TSharedText Acquisition_Date;          // kept
  std::string Image_Date;                // kept
  TSharedText Study_Time;                // kept
  TSharedText SeriesDate;                // kept
  TSharedText Series_Time;               // kept
  TSharedText SOP_Class_UID;             // kept
  std::string SOP_Instance_UID;          // kept
  TSharedText Study_Description;         // kept
  TSharedText Series_Description;        // kept
  TSharedText institution_address;       // kept
  int overlay_rows = 0;
  int overlay_columns = 0;
  int overlay_orgin_1 = 0;
  int overlay_orgin_2 = 0;
  int overlay_bits_allocated = 0;
  int overlay_bits_position = 0;
  std::vector<uint8_t> overlay_data_bytes;
  std::string overlay_type;
  TSharedText Body_Part_Examined;  // kept
  // What hanging protocols place images by: (0018,5101), (0020,0060) of the
  // series and (0020,0062) of the image.
  TSharedText View_Position;
  TSharedText Laterality;
  TSharedText Image_Laterality;
  TSharedText patientAge;                // kept
  TSharedText Implementation_Class_UID;  // kept
  std::string referenceFile;             // kept; set by the caller of the reader
  int gECATJPEG_table_entries = 0;
  LongIntRA gECATJPEG_pos_table;   // kept (emptied with the entry count)
  LongIntRA gECATJPEG_size_table;  // kept (emptied with the entry count)
  TLut Lut;                        // kept
  // Added past the original record: the Transfer Syntax UID (0002,0010) as
  // read, without its padding; empty when the file has none.
  TSharedText TransferSyntaxUID;
  TPixelModule Pixel;
  // Number of Frames as the file announced it, when the pixel data holds
  // fewer (XYZdim[2] then counts the frames that are there); 0 otherwise.
  int FramesAnnounced = 0;

  // Field by field; two reads of one file compare equal.
  bool operator==(const DICOMdata&) const = default;
};

// Restores the reset values of a read; fields marked "kept" stay as they were.
// The fragment tables are emptied together with their entry count, so the
// count and the tables never disagree.
void ResetDicomData(DICOMdata& d);

// Per-image record inside each TImg: the file's header as the loader read it
// and the positions of its compressed frames. Decoded frames are not kept
// here: they live in the frame cache (src/pixels/FrameCache.h), keyed by path
// and frame, under one budget. The frame tables are not capped.
struct TCache {
  DICOMdata DICOM;
  int gECATslices = 0;
  std::vector<int64_t> gECATposra;  // file offset of frame k's compressed data
  std::vector<int64_t> gECATszra;   // length of frame k's compressed data
};

struct TImg {
  int instanceNumber = 0;
  std::string imagePath;
  // SOP Instance UID as the header reader gives it (empty: unknown); one
  // instance is filed once per tree.
  std::string sopInstanceUid;
  TSharedText imageType;
  TCache Cache;
};
using TImgArr = std::vector<TImg>;
using TStringArray = std::vector<std::string>;

// The objects a series can hold besides images, each shown by a window of
// its own rather than in a cell.
enum class TDocumentType : uint8_t { Report, Pdf, Cda, OtherDocument, Waveform };

// A structured report, encapsulated document or waveform filed in a series.
struct TDocumentRecord {
  TDocumentType type = TDocumentType::Report;
  std::string path;
  std::string sopClassUid;
  std::string sopInstanceUid;
  // What the browser lists it by: a report's document title, a document's
  // Document Title, a waveform's series description or kind; never empty.
  std::string title;
  std::string contentDate;  // YYYYMMDD, as the object gives it
  std::string contentTime;
  int instanceNumber = 0;
};

struct TSeries {
  int seriesNumber = 0;
  std::string modality;
  std::string instanceUid;
  std::string BodyPart;
  TImgArr images;
  TStringArray imagesListPath;
  // In instance order. A series may hold documents and no image at all: it
  // is listed all the same, and has nothing to show in a cell.
  std::vector<TDocumentRecord> documents;
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
  std::string issuer;  // Issuer of Patient ID; empty when the files name none
  TStudyArr studies;
};
using TPatientArr = std::vector<TPatient>;

// A report document found next to the images.
struct TReportRecord {
  std::string ReportPath;
  std::string PatientId;
  std::string PatientName;
};
