// The plain fields of the header walk (one element read into one field): each
// reaches its own field in every encoding, including those no sample file
// holds, and each way of reading keeps its rules for short or unreadable values.
#include <gtest/gtest.h>

#include "dicom/dicom.h"
#include "support/fixtures.h"

using namespace fixtures;

namespace {

// Every plain field with a value that tells it apart from its neighbours.
void AddPlainFields(DicomWriter& w) {
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", "1.2.3.9");
  w.Text(0x00080021, "DA", "20240102");
  w.Text(0x00080022, "DA", "20240103");
  w.Text(0x00080023, "DA", "20240104");
  w.Text(0x00080031, "TM", "101112");
  w.Text(0x00080032, "TM", "111213.5");
  w.Text(0x00080033, "TM", "121314");
  w.Text(0x00080070, "LO", " VENDOR ");
  w.Text(0x00080080, "LO", "HOSPITAL");
  w.Text(0x00080081, "ST", "1 MAIN ST");
  w.Text(0x00080090, "PN", "REF^A");
  w.Text(0x0008103E, "LO", "AXIAL 2");
  w.Text(0x00081050, "PN", "PERF^B");
  w.Text(0x00082144, "IS", "25");
  w.Text(0x00100030, "DA", "19700102");
  w.Text(0x00100040, "CS", "F");
  w.Text(0x00101010, "AS", "042Y");
  w.Text(0x00180015, "CS", "CHEST");
  w.Text(0x00180040, "IS", "30");
  w.Text(0x00180060, "DS", "120\\140");  // the first of several values
  w.Text(0x00180080, "DS", "500.5");
  w.Text(0x00180081, "DS", "12.25");
  w.Text(0x00180086, "IS", "3");
  w.Text(0x00181063, "DS", "33.5");
  w.Text(0x00181151, "IS", "170");
  w.Text(0x00200012, "IS", " 6 ");
  w.Text(0x00200052, "UI", "1.2.3.7");
  w.Text(0x00201041, "DS", "-77.25");
  w.Text(0x00211341, "IS", "24");
  w.US(0x00280006, {1});
  w.US(0x00280107, {4095});
}

void ExpectPlainFields(const DICOMdata& h) {
  // Codes and UIDs are read as everywhere else: other bytes than text
  // characters (dots, padding) become blanks, so the value keeps its length.
  // Names and descriptions are decoded text without their padding, a name's
  // components separated by blanks.
  EXPECT_EQ(h.SOP_Class_UID, "1 2 840 10008 5 1 4 1 1 2 ");
  EXPECT_EQ(h.SOP_Instance_UID, "1 2 3 9 ");
  EXPECT_EQ(h.SeriesDate, "20240102");
  EXPECT_EQ(h.Acquisition_Date, "20240103");
  EXPECT_EQ(h.Image_Date, "20240104");
  EXPECT_EQ(h.Series_Time, "101112");
  EXPECT_EQ(h.AcqTime, "111213:5");
  EXPECT_EQ(h.ImgTime, "121314");
  EXPECT_EQ(h.manufacturer, "VENDOR");
  EXPECT_EQ(h.Institute_Name, "HOSPITAL");
  EXPECT_EQ(h.institution_address, "1 MAIN ST");
  EXPECT_EQ(h.referring_physician, "REF A");
  EXPECT_EQ(h.Series_Description, "AXIAL 2");
  EXPECT_EQ(h.performing_physician, "PERF B");
  EXPECT_FLOAT_EQ(h.recommended_frame_rate, 25);
  EXPECT_EQ(h.PatientBirthDate, "02/01/1970");
  EXPECT_EQ(h.PatientSex, "F ");
  EXPECT_EQ(h.patientAge, "042Y");
  EXPECT_EQ(h.Body_Part_Examined, "CHEST ");
  EXPECT_FLOAT_EQ(h.cine_rate, 30);
  EXPECT_FLOAT_EQ(h.kV, 120);
  EXPECT_FLOAT_EQ(h.TR, 500.5f);
  EXPECT_FLOAT_EQ(h.TE, 12.25f);
  EXPECT_EQ(h.VolumeNumber, 3);
  EXPECT_FLOAT_EQ(h.frame_time, 33.5f);
  EXPECT_FLOAT_EQ(h.mA, 170);
  EXPECT_EQ(h.AcquNum, 6);
  EXPECT_EQ(h.Frame_Of_Reference_UID, "1 2 3 7 ");
  EXPECT_FLOAT_EQ(h.location, -77.25f);
  EXPECT_EQ(h.SiemensSlices, 24);
  EXPECT_EQ(h.PlanarConfig, 1);
  EXPECT_EQ(h.MaxIntensity, 4095);
}

}  // namespace

TEST(HeaderFields, EveryPlainFieldInEveryEncoding) {
  for (bool explicitVR : {true, false}) {
    for (bool little : {true, false}) {
      if (!explicitVR && !little) continue;
      SCOPED_TRACE(std::string(explicitVR ? "explicit " : "implicit ") + (little ? "LE" : "BE"));
      DicomWriter w(explicitVR, little);
      AddPlainFields(w);
      w.US(0x00280010, {1});
      w.US(0x00280011, {1});
      w.OW(0x7FE00010, {0});
      const ReadOutcome o = ReadHeader(Part10(w, NativeSyntax(explicitVR, little)));
      ASSERT_TRUE(o.hdrOK);
      ExpectPlainFields(o.header);
      EXPECT_EQ(o.header.Implementation_Class_UID, "2 25 227316307114380735851307391541848915683");
    }
  }
}

// Short or unreadable values: an integer string that does not read leaves what
// the record held (Volume Number is one a read keeps), a word shorter than two
// bytes is skipped without shifting the walk, a 4-byte maximum is read as 32
// bits, and an empty text clears its field.
TEST(HeaderFields, ShortAndUnreadableValuesKeepTheirRules) {
  DicomWriter first;
  AddPlainFields(first);
  first.OW(0x7FE00010, {0});
  const Bytes a = Part10(first, dicomwriter::kExplicitVRLittleEndian);

  DicomWriter second;
  second.Text(0x00080070, "LO", "");
  second.Text(0x00180086, "IS", "x");
  second.Text(0x00200012, "IS", "");
  second.Element(0x00280006, "US", "\x01", 1);
  second.UL(0x00280107, {70000});
  second.OW(0x7FE00010, {0});
  const Bytes b = Part10(second, dicomwriter::kExplicitVRLittleEndian);

  DICOMdata h;
  ReadDicomHeaderFromMemory(a.data(), a.size(), true, h);
  ASSERT_EQ(h.manufacturer, "VENDOR");
  ASSERT_EQ(h.PlanarConfig, 1);
  const DicomReadResult r = ReadDicomHeaderFromMemory(b.data(), b.size(), true, h);
  EXPECT_TRUE(r.hdrOK);
  EXPECT_EQ(h.manufacturer, "");
  EXPECT_EQ(h.VolumeNumber, 3);
  EXPECT_EQ(h.AcquNum, 0);
  EXPECT_EQ(h.PlanarConfig, 0);
  EXPECT_EQ(h.MaxIntensity, 70000);
}
