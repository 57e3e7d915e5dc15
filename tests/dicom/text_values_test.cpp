// Header texts as a person reads them: names and descriptions decoded by the
// data set's character set, names in their display form, and dates in one
// form whatever way a file wrote them.
#include <gtest/gtest.h>

#include "dicom/DicomCharset.h"
#include "dicom/dicom.h"
#include "dicom/dicom_values.h"
#include "support/fixtures.h"

using namespace fixtures;

TEST(TextValues, PersonNamesShowTheirGroupsAsAPersonReadsThem) {
  EXPECT_EQ(PersonNameText("Doe^John^^^"), "Doe John");
  EXPECT_EQ(PersonNameText("Yamada^Tarou=山田^太郎=やまだ^たろう"),
            "Yamada Tarou=山田 太郎=やまだ たろう");
  // Empty groups say nothing, wherever they are.
  EXPECT_EQ(PersonNameText("=山田^太郎"), "山田 太郎");
  EXPECT_EQ(PersonNameText("Wang^XiaoDong=="), "Wang XiaoDong");
  EXPECT_EQ(PersonNameText("^^"), "");
  EXPECT_EQ(PersonNameText(""), "");
}

TEST(TextValues, CharsetTermsKeepAnEmptyFirstTerm) {
  EXPECT_EQ(CharsetTerms("\\ISO 2022 IR 87"), (std::vector<std::string>{"", "ISO 2022 IR 87"}));
  EXPECT_EQ(CharsetTerms("ISO_IR 100 "), (std::vector<std::string>{"ISO_IR 100"}));
  EXPECT_TRUE(CharsetTerms("").empty());
  EXPECT_TRUE(CharsetTerms("  ").empty());
}

TEST(TextValues, DatesInEveryFormRealFilesWrite) {
  EXPECT_EQ(FormatDicomDate("19930430"), "30/04/1993");
  EXPECT_EQ(FormatDicomDate("1993.04.30"), "30/04/1993");  // ACR-NEMA
  EXPECT_EQ(FormatDicomDate("1993-04-30"), "30/04/1993");
  EXPECT_EQ(FormatDicomDate("1993/04/30"), "30/04/1993");
  EXPECT_EQ(FormatDicomDate(" 19930430 "), "30/04/1993");
  EXPECT_EQ(FormatDicomDate("20240115103000.5+0100"), "15/01/2024");  // a date-time
  // What is not a date is shown as stored, never cut into a date's shape.
  EXPECT_EQ(FormatDicomDate("1993"), "1993");
  EXPECT_EQ(FormatDicomDate("1993 4 30"), "1993 4 30");
  EXPECT_EQ(FormatDicomDate("20240230"), "20240230");
  EXPECT_EQ(FormatDicomDate("00000000"), "00000000");
  EXPECT_EQ(FormatDicomDate("UNKNOWN "), "UNKNOWN");
  EXPECT_EQ(FormatDicomDate(""), "");
  int y = 0, m = 0, d = 0;
  EXPECT_TRUE(ParseDicomDate("20000229", y, m, d));
  EXPECT_EQ(y * 10000 + m * 100 + d, 20000229);
  EXPECT_FALSE(ParseDicomDate("19991301", y, m, d));
}

namespace {

DICOMdata Read(const Bytes& file) {
  DICOMdata h;
  ReadDicomHeaderFromMemory(file.data(), file.size(), true, h);
  return h;
}

void AddImage(DicomWriter& w) {
  w.US(0x00280002, {1});
  w.Text(0x00280004, "CS", "MONOCHROME2");
  w.US(0x00280010, {1});
  w.US(0x00280011, {1});
  w.US(0x00280100, {8});
  w.US(0x00280101, {8});
  w.US(0x00280103, {0});
  w.Element(0x7FE00010, "OB", std::vector<uint8_t>{0, 0});
}

}  // namespace

TEST(TextValues, TheDataSetsOwnSetDecodesItsTexts) {
  DicomWriter w(true, true);
  w.Text(0x00080005, "CS", "ISO_IR 144");
  w.Text(0x00080020, "DA", "1993.04.30");
  w.Text(0x00080070, "LO", "\xc1\xd8\xdc\xd5\xdd\xe1");  // Cyrillic
  // A referenced instance's item declares another set: it does not change
  // the texts of this data set.
  w.BeginSequence(0x00081140, true);
  w.BeginItem().Text(0x00080005, "CS", "ISO_IR 100").EndItem();
  w.EndSequence();
  w.Text(0x00081030, "LO", "\xc0\xd5\xdd\xe2\xd3\xd5\xdd  \r\n");
  w.Text(0x00100010, "PN", "\xbb\xee\xda\xe1\xd5\xdc\xd1\xe3\xe0\xd3^^^");
  w.Text(0x00100030, "DA", "19700102");
  AddImage(w);
  const DICOMdata h = Read(Part10(w, dicomwriter::kExplicitVRLittleEndian));
  EXPECT_EQ(h.PatientName, "Люксембург");
  EXPECT_EQ(h.manufacturer, "Сименс");
  EXPECT_EQ(h.Study_Description, "Рентген");
  EXPECT_EQ(h.studydate_formated, "30/04/1993");
  EXPECT_EQ(h.PatientBirthDate, "02/01/1970");
}

TEST(TextValues, ADirectoryRecordMayDeclareItsOwnSet) {
  DicomWriter w(true, true);
  w.Text(0x00080005, "CS", "ISO_IR 100");
  w.BeginSequence(0x00041220, true);
  w.BeginItem()
      .Text(0x00041430, "CS", "PATIENT")
      .Text(0x00100010, "PN", "M\xfcller^Hans")
      .Text(0x00100020, "LO", "1")
      .EndItem();
  w.BeginItem()
      .Text(0x00041430, "CS", "PATIENT")
      .Text(0x00080005, "CS", "ISO_IR 192")
      .Text(0x00100010, "PN", "\xe7\x8e\x8b^\xe5\xb0\x8f\xe6\x9d\xb1")
      .Text(0x00100020, "LO", "2")
      .EndItem();
  // The next record reads by the file's set again.
  w.BeginItem()
      .Text(0x00041430, "CS", "PATIENT")
      .Text(0x00100010, "PN", "J\xe9r\xf4me")
      .Text(0x00100020, "LO", "3")
      .EndItem();
  w.EndSequence();
  const Bytes b = Part10(w, dicomwriter::kExplicitVRLittleEndian);
  DICOMdata h;
  const DicomReadResult r = ReadDicomHeaderFromMemory(b.data(), b.size(), true, h);
  ASSERT_TRUE(r.isDicomDir);
  ASSERT_EQ(r.dicomDir.size(), 3u);
  EXPECT_EQ(r.dicomDir[0].patientName, "Müller Hans");
  EXPECT_EQ(r.dicomDir[1].patientName, "王 小東");
  EXPECT_EQ(r.dicomDir[2].patientName, "Jérôme");
}
