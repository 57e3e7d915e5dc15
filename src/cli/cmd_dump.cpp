// tavrolen-dicom dump FILE... [--no-frame-tables]: the header records the
// reader makes of the files, as a JSON array with one object per file.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/dicom.h"
#include "json.h"

namespace {

void WriteHeader(cli::JsonWriter& j, const DICOMdata& d) {
  j.BeginObject();
  j.Field("XYZdim", d.XYZdim);
  j.Field("XYZori", d.XYZori);
  j.Field("XYZmm", d.XYZmm);
  j.Field("image_Postion", d.image_Postion);
  j.Field("IMAGE_ORIENTATION_PATIENT", d.IMAGE_ORIENTATION_PATIENT);
  j.Field("Rotate180deg", d.Rotate180deg);
  j.Field("Float", d.Float);
  j.Field("RunLengthEncoding", d.RunLengthEncoding);
  j.Field("GenesisCpt", d.GenesisCpt);
  j.Field("JPEGlosslessCpt", d.JPEGlosslessCpt);
  j.Field("JPEGJ2k", d.JPEGJ2k);
  j.Field("JPEGlossyCpt", d.JPEGlossyCpt);
  j.Field("ElscintCompress", d.ElscintCompress);
  j.Field("MinIntensitySet", d.MinIntensitySet);
  j.Field("IntenScale", d.IntenScale);
  j.Field("IntenIntercept", d.IntenIntercept);
  j.Field("kV", d.kV);
  j.Field("mA", d.mA);
  j.Field("TR", d.TR);
  j.Field("TE", d.TE);
  j.Field("spacing", d.spacing);
  j.Field("location", d.location);
  j.Field("frame_time", d.frame_time);
  j.Field("SiemensInterleaved", d.SiemensInterleaved);
  j.Field("SiemensSlices", d.SiemensSlices);
  j.Field("SiemensMosaicX", d.SiemensMosaicX);
  j.Field("SiemensMosaicY", d.SiemensMosaicY);
  j.Field("CompressSz", d.CompressSz);
  j.Field("CompressOffset", d.CompressOffset);
  j.Field("SeriesNum", d.SeriesNum);
  j.Field("AcquNum", d.AcquNum);
  j.Field("ImageNum", d.ImageNum);
  j.Field("Monochrome", d.Monochrome);
  j.Field("SamplesPerPixel", d.SamplesPerPixel);
  j.Field("PlanarConfig", d.PlanarConfig);
  j.Field("ImageStart", d.ImageStart);
  j.Field("little_endian", d.little_endian);
  j.Field("Allocbits_per_pixel", d.Allocbits_per_pixel);
  j.Field("Storedbits_per_pixel", d.Storedbits_per_pixel);
  j.Field("ImageSz", d.ImageSz);
  j.Field("accession", d.accession);
  j.Field("PatientIDint", d.PatientIDint);
  j.Field("VolumeNumber", d.VolumeNumber);
  j.Field("WindowWidth", d.WindowWidth);
  j.Field("WindowCenter", d.WindowCenter);
  j.Field("GenesisPackHdr", d.GenesisPackHdr);
  j.Field("NamePos", d.NamePos);
  j.Field("StudyDatePos", d.StudyDatePos);
  j.Field("MinIntensity", d.MinIntensity);
  j.Field("MaxIntensity", d.MaxIntensity);
  j.Field("RLEredOffset", d.RLEredOffset);
  j.Field("RLEgreenOffset", d.RLEgreenOffset);
  j.Field("RLEblueOffset", d.RLEblueOffset);
  j.Field("RLEredSz", d.RLEredSz);
  j.Field("RLEgreenSz", d.RLEgreenSz);
  j.Field("RLEblueSz", d.RLEblueSz);
  j.Field("pixel_representation", d.pixel_representation);
  j.Field("PatientName", d.PatientName);
  j.Field("PatientID", d.PatientID);
  j.Field("PatientSex", d.PatientSex);
  j.Field("PatientBirthDate", d.PatientBirthDate);
  j.Field("StudyDate", d.StudyDate);
  j.Field("modality", d.modality);
  j.Field("serietag", d.serietag);
  j.Field("AcqTime", d.AcqTime);
  j.Field("ImgTime", d.ImgTime);
  j.Field("manufacturer", d.manufacturer);
  j.Field("Institute_Name", d.Institute_Name);
  j.Field("referring_physician", d.referring_physician);
  j.Field("performing_physician", d.performing_physician);
  j.Field("Study_Instance_UID", d.Study_Instance_UID);
  j.Field("Series_Instance_UID", d.Series_Instance_UID);
  j.Field("Study_ID", d.Study_ID);
  j.Field("studydate_formated", d.studydate_formated);
  j.Field("ImgTime_formated", d.ImgTime_formated);
  j.Field("fixed_manufacturer_flag", d.fixed_manufacturer_flag);
  j.Field("fixed_manufacturer_name", d.fixed_manufacturer_name);
  j.Field("imageType", d.imageType);
  j.Field("Acquisition_Date", d.Acquisition_Date);
  j.Field("Image_Date", d.Image_Date);
  j.Field("Study_Time", d.Study_Time);
  j.Field("SeriesDate", d.SeriesDate);
  j.Field("Series_Time", d.Series_Time);
  j.Field("SOP_Class_UID", d.SOP_Class_UID);
  j.Field("SOP_Instance_UID", d.SOP_Instance_UID);
  j.Field("Study_Description", d.Study_Description);
  j.Field("Series_Description", d.Series_Description);
  j.Field("institution_address", d.institution_address);
  j.Field("overlay_rows", d.overlay_rows);
  j.Field("overlay_columns", d.overlay_columns);
  j.Field("overlay_orgin_1", d.overlay_orgin_1);
  j.Field("overlay_orgin_2", d.overlay_orgin_2);
  j.Field("overlay_bits_allocated", d.overlay_bits_allocated);
  j.Field("overlay_bits_position", d.overlay_bits_position);
  j.Field("overlay_data_bytes", d.overlay_data_bytes);
  j.Field("overlay_type", d.overlay_type);
  j.Field("Body_Part_Examined", d.Body_Part_Examined);
  j.Field("patientAge", d.patientAge);
  j.Field("Implementation_Class_UID", d.Implementation_Class_UID);
  j.Field("referenceFile", d.referenceFile);
  j.Field("gECATJPEG_table_entries", d.gECATJPEG_table_entries);
  j.Field("gECATJPEG_pos_table", d.gECATJPEG_pos_table);
  j.Field("gECATJPEG_size_table", d.gECATJPEG_size_table);
  j.Key("Lut").BeginObject();
  j.Field("LutSize", d.Lut.LutSize);
  j.Field("LutBitsPerPixel", d.Lut.LutBitsPerPixel);
  j.Field("LutOffset", d.Lut.LutOffset);
  j.Field("Lutdata", d.Lut.Lutdata);
  j.EndObject();
  j.Field("TransferSyntaxUID", d.TransferSyntaxUID);
  j.EndObject();
}

void WriteDirectory(cli::JsonWriter& j, const TPatientArr& patients) {
  j.BeginArray();
  for (const TPatient& p : patients) {
    j.BeginObject();
    j.Field("patientName", p.patientName);
    j.Field("patintID", p.patintID);
    j.Key("studies").BeginArray();
    for (const TStudy& s : p.studies) {
      j.BeginObject();
      j.Field("studyID", s.studyID);
      j.Field("studyDate", s.studyDate);
      j.Field("studyTime", s.studyTime);
      j.Field("accessionNumber", s.accessionNumber);
      j.Field("description", s.description);
      j.Field("instanceUid", s.instanceUid);
      j.Key("serieses").BeginArray();
      for (const TSeries& r : s.serieses) {
        j.BeginObject();
        j.Field("seriesNumber", r.seriesNumber);
        j.Field("modality", r.modality);
        j.Field("instanceUid", r.instanceUid);
        j.Field("BodyPart", r.BodyPart);
        j.Key("images").BeginArray();
        for (const TImg& i : r.images) {
          j.BeginObject();
          j.Field("instanceNumber", i.instanceNumber);
          j.Field("imagePath", i.imagePath);
          j.Field("imageType", i.imageType);
          j.EndObject();
        }
        j.EndArray();
        j.Field("imagesListPath", r.imagesListPath);
        j.EndObject();
      }
      j.EndArray();
      j.EndObject();
    }
    j.EndArray();
    j.EndObject();
  }
  j.EndArray();
}

int RunDump(const std::vector<std::string>& args) {
  bool frameTables = true;
  std::vector<std::string> files;
  for (const auto& a : args) {
    if (a == "--no-frame-tables") {
      frameTables = false;
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      std::fprintf(stderr, "tavrolen-dicom dump: unknown option '%s'\n", a.c_str());
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: tavrolen-dicom dump FILE... [--no-frame-tables]\n");
    return 2;
  }
  int status = 0;
  cli::JsonWriter j;
  j.BeginArray();
  for (const auto& file : files) {
    std::vector<std::string> messages;
    const DicomMessageSink sink = [&](const std::string& text) { messages.push_back(text); };
    DICOMdata header;
    DicomReadResult r;
    std::string error;
    bool examined = true;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) {
      error = "No such file";
      examined = false;
    } else {
      try {
        r = ReadDicomHeaderFromFile(file, frameTables, header, sink);
      } catch (const EDicomValueError& e) {
        // A value of the file failed the read: that is the file's verdict.
        error = e.what();
        r = {};
      } catch (const EDicomReadError& e) {
        error = e.what();
        examined = false;
        r = {};
      }
    }
    if (!examined) status = 1;
    j.BeginObject();
    j.Field("file", file);
    j.Field("hdrOK", r.hdrOK);
    j.Field("imgOK", r.imgOK);
    j.Field("messages", messages);
    if (!error.empty()) j.Field("error", error);
    j.Key("header");
    WriteHeader(j, header);
    if (r.isDicomDir) {
      j.Key("dicomDirPatients");
      WriteDirectory(j, r.dicomDir);
    }
    j.EndObject();
  }
  j.EndArray();
  std::fwrite(j.str().data(), 1, j.str().size(), stdout);
  return status;
}

const cli::Register kDump("dump", "dump FILE... [--no-frame-tables]  header records as JSON",
                          RunDump);

}  // namespace
