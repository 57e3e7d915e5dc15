#include "dicom/define_types.h"

const TSharedText& FreshText(TFreshText which) {
  static const TSharedText texts[] = {"NO NAME", "NO ID", "OT"};
  return texts[which];
}

void ResetDicomData(DICOMdata& d) {
  // Copy the fields a read does not reset, reset everything, put them back.
  DICOMdata kept;
  kept.image_Postion = d.image_Postion;
  kept.IMAGE_ORIENTATION_PATIENT = d.IMAGE_ORIENTATION_PATIENT;
  kept.ImageSz = d.ImageSz;
  kept.VolumeNumber = d.VolumeNumber;
  kept.pixel_representation = d.pixel_representation;
  kept.Study_Instance_UID = std::move(d.Study_Instance_UID);
  kept.Series_Instance_UID = std::move(d.Series_Instance_UID);
  kept.Study_ID = std::move(d.Study_ID);
  kept.fixed_manufacturer_flag = d.fixed_manufacturer_flag;
  kept.fixed_manufacturer_name = std::move(d.fixed_manufacturer_name);
  kept.imageType = std::move(d.imageType);
  kept.Acquisition_Date = std::move(d.Acquisition_Date);
  kept.Image_Date = std::move(d.Image_Date);
  kept.Study_Time = std::move(d.Study_Time);
  kept.SeriesDate = std::move(d.SeriesDate);
  kept.Series_Time = std::move(d.Series_Time);
  kept.SOP_Class_UID = std::move(d.SOP_Class_UID);
  kept.SOP_Instance_UID = std::move(d.SOP_Instance_UID);
  kept.Study_Description = std::move(d.Study_Description);
  kept.Series_Description = std::move(d.Series_Description);
  kept.institution_address = std::move(d.institution_address);
  kept.Body_Part_Examined = std::move(d.Body_Part_Examined);
  kept.patientAge = std::move(d.patientAge);
  kept.Implementation_Class_UID = std::move(d.Implementation_Class_UID);
  kept.referenceFile = std::move(d.referenceFile);
  kept.Lut = std::move(d.Lut);
  d = std::move(kept);
}
