#include <gtest/gtest.h>

#include "dicom/define_types.h"

// A record read into repeatedly keeps only the fields a read does not reset.
TEST(DicomDataReset, KeepsOnlyUnresetFields) {
  DICOMdata d;
  d.XYZdim = {512, 256, 9, 1};
  d.PatientName = "DOE JOHN";
  d.WindowWidth = 400;
  d.gECATJPEG_table_entries = 2;
  d.gECATJPEG_pos_table = {10, 20};
  d.gECATJPEG_size_table = {5, 5};
  d.overlay_data_bytes = {1, 2, 3};
  d.Study_Instance_UID = "1 2 3";
  d.image_Postion = {1, 2, 3};
  d.pixel_representation = 1;
  d.Lut.LutSize = 4;

  ResetDicomData(d);

  EXPECT_EQ(d.XYZdim, (std::array<int, 4>{1, 1, 1, 1}));
  EXPECT_EQ(d.PatientName, "NO NAME");
  EXPECT_EQ(d.PatientID, "NO ID");
  EXPECT_EQ(d.modality, "OT");
  EXPECT_EQ(d.WindowWidth, 0);
  EXPECT_EQ(d.gECATJPEG_table_entries, 0);
  EXPECT_TRUE(d.gECATJPEG_pos_table.empty());
  EXPECT_TRUE(d.overlay_data_bytes.empty());
  EXPECT_EQ(d.SiemensInterleaved, 2);
  EXPECT_FLOAT_EQ(d.IntenScale, 1.0f);
  // Not reset by a read.
  EXPECT_EQ(d.Study_Instance_UID, "1 2 3");
  EXPECT_EQ(d.image_Postion[2], 3);
  EXPECT_EQ(d.pixel_representation, 1);
  EXPECT_EQ(d.Lut.LutSize, 4);
}
