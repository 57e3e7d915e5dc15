#include <gtest/gtest.h>

#include <QGridLayout>
#include <QLocale>

#include "app/PatientInfo.h"
#include "dicom/dicom.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

DICOMdata SampleHeader() {
  DICOMdata d;
  d.PatientName = "DOE^JANE";
  d.PatientID = "P-77";
  d.XYZdim = {512, 256, 3, 1};
  d.XYZmm = {0.703125, 1.25, 2.5};
  d.image_Postion = {-12.5, -30, 45};
  d.IntenScale = 0.1f;
  d.IntenIntercept = -1024.0f;
  d.WindowWidth = 400;
  d.WindowCenter = 40;
  d.ImageNum = 17;
  d.SeriesNum = 4;
  d.Series_Instance_UID = "1 2 840 99";
  return d;
}

TEST(PatientInfo, ValueFormatsFollowTheHeader) {
  TPatientInfoForm form;
  form.Display(SampleHeader());
  EXPECT_EQ(form.imgSizeValue->text(), "512 X 256");  // columns X rows
  EXPECT_EQ(form.imgFramesValue->text(), "3");
  // Y: between rows (Pixel Spacing's first value, XYZmm[1]); X: between columns.
  EXPECT_EQ(form.imgPixelSpacingValue->text(), "Y:1.2500 X:0.7031");
  EXPECT_EQ(form.imgPosValue->text(), "-12.5, -30, 45");       // no dash doubled with a sign
  EXPECT_EQ(form.imgOriValue->text(), "not given");            // no cosines in the header
  EXPECT_EQ(form.imgSlopeValue->text(), "0.100000001490116");  // a 32-bit 0.1 widened
  EXPECT_EQ(form.imgInterceptValue->text(), "-1024");
  EXPECT_EQ(form.imgWWValue->text(), "400");
  EXPECT_EQ(form.imgWLValue->text(), "40");
  EXPECT_EQ(form.imgNumValue->text(), "17");
  EXPECT_EQ(form.serNumValue->text(), "4");
  EXPECT_EQ(form.serInstUIDValue->text(), "1.2.840.99");  // dots where the reader put blanks
  EXPECT_EQ(form.patNameValue->text(), "DOE^JANE");
  EXPECT_EQ(form.windowTitle(), "Patient Information");
  EXPECT_TRUE(form.isVisible());
}

TEST(PatientInfo, DefaultsAndCompressionNames) {
  TPatientInfoForm form;
  DICOMdata d;  // a header without its file: what its flags say
  form.Display(d);
  EXPECT_EQ(form.imgPixelSpacingValue->text(), "Y:1.0000 X:1.0000");
  EXPECT_EQ(form.imgCompValue->text(), "Uncompressed");
  EXPECT_EQ(form.imgSlopeValue->text(), "1");
  d.IMAGE_ORIENTATION_PATIENT = {1, 0, 0, 0, 0.5, -1};
  form.Display(d);
  EXPECT_EQ(form.imgOriValue->text(), "1, 0, 0, 0, 0.5, -1");
  d.RunLengthEncoding = true;
  form.Display(d);
  EXPECT_EQ(form.imgCompValue->text(), "RLE Lossless");
  d.JPEGlosslessCpt = true;
  form.Display(d);
  EXPECT_EQ(form.imgCompValue->text(), "JPEG Lossless");
  d.JPEGJ2k = true;  // J2K wins over the lossless flag
  form.Display(d);
  EXPECT_EQ(form.imgCompValue->text(), "JPEG 2000");
  d.TransferSyntaxUID = "1.2.840.10008.1.2.4.80";  // the UID the reader kept names it
  form.Display(d);
  EXPECT_EQ(form.imgCompValue->text(), "JPEG-LS Lossless Image Compression");
}

TEST(PatientInfo, DecimalPointWhateverTheLocale) {
  const QLocale saved;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(FormatFixed4(0.703125), "0.7031");
  EXPECT_EQ(FormatGeneral(-12.5), "-12.5");
  QLocale::setDefault(saved);
}

TEST(PatientInfo, FixedFormatRoundsToFourSignificantDigits) {
  EXPECT_EQ(FormatFixed4(1.25), "1.2500");
  EXPECT_EQ(FormatFixed4(12.3456), "12.3500");
  EXPECT_EQ(FormatFixed4(0.0), "0.0000");
  EXPECT_EQ(FormatGeneral(1.0), "1");
}

TEST(PatientInfo, DisplayAgainRefreshesTheSameWindowAndKeepsACopy) {
  TPatientInfoForm form;
  DICOMdata d = SampleHeader();
  form.Display(d);
  d.PatientName = "OTHER";
  EXPECT_EQ(form.patNameValue->text(), "DOE^JANE");  // a copy, not a reference
  form.Display(d);
  EXPECT_EQ(form.patNameValue->text(), "OTHER");
  EXPECT_EQ(form.Header().PatientName, "OTHER");
}

TEST(PatientInfo, HeaderTextKeepsEveryByte) {
  EXPECT_EQ(HeaderText("M\xc3\xbcller"), QString::fromUtf8("M\xc3\xbcller"));
  // Not UTF-8: read as Latin-1 rather than replaced.
  EXPECT_EQ(HeaderText("M\xfcller"), QString::fromLatin1("M\xfcller"));
}

TEST(PatientInfo, PanelsInOrderWithGeneralHidden) {
  TPatientInfoForm form;
  form.Display(DICOMdata{});
  EXPECT_TRUE(form.GeneralPanel->isHidden());
  EXPECT_EQ(form.PatientPanel->Caption(), "Patient");
  EXPECT_EQ(form.ImagePanel->Caption(), "Image");
  EXPECT_LT(form.PatientPanel->y(), form.StudyPanel->y());
  EXPECT_LT(form.StudyPanel->y(), form.SeriesPanel->y());
  EXPECT_LT(form.SeriesPanel->y(), form.ImagePanel->y());
  form.StudyPanel->setCollapsed(true);
  EXPECT_TRUE(form.StudyPanel->body()->isHidden());
}

// Each row: caption, value label, caption, value label, read from the grid.
QStringList GridRows(TCategoryPanel* panel) {
  QStringList rows;
  QGridLayout* g = panel->grid();
  for (int r = 0; r < g->rowCount(); ++r) {
    QStringList cells;
    for (int c = 0; c < 4; ++c) {
      QLayoutItem* item = g->itemAtPosition(r, c);
      auto* label = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
      if (!label) continue;
      cells << (c % 2 == 0 ? label->text() : label->objectName());
    }
    if (!cells.join("").isEmpty()) rows << cells.join(" | ");
  }
  return rows;
}

TEST(PatientInfo, CaptionsAndValueLabelsInTheirCells) {
  TPatientInfoForm form;
  form.Display(DICOMdata{});
  EXPECT_EQ(GridRows(form.PatientPanel),
            QStringList({"Patient Name | patNameValue | Patient ID | patIDValue",
                         "Patient Sex | patSexValue | Patient DOB | patDOBValue"}));
  EXPECT_EQ(GridRows(form.StudyPanel),
            QStringList({"Study ID | studyIDValue | Study Date | studyDateValue",
                         "Study InstanceUID | studyInstUidValue | Study Time | studyTimeValue",
                         "Study Description | studyDescValue"}));
  EXPECT_EQ(GridRows(form.SeriesPanel),
            QStringList({"Series InstanceUID | serInstUIDValue | Series date | serDateValue",
                         "Series Number | serNumValue | Series Time | serTimeValue",
                         "Series Description | serDescValue"}));
  EXPECT_EQ(GridRows(form.ImagePanel),
            QStringList({"Image Size | imgSizeValue | Frames | imgFramesValue",
                         "Pixel Spacing | imgPixelSpacingValue | Image Position | imgPosValue",
                         "Image Orientation | imgOriValue | Compression | imgCompValue",
                         "MonoChrome | imgMonoValue | Image Number | imgNumValue",
                         "Slope | imgSlopeValue | Intercept | imgInterceptValue",
                         "Window Width | imgWWValue | Window Level | imgWLValue",
                         "Pixel Representation | imgPixRepValue"}));
}

// The header of a file as the viewer holds it: read by the reader, with its path.
DICOMdata HeaderOf(const std::string& path) {
  DICOMdata h;
  bool hdrOK = false, imgOK = false;
  ReadDicomHeader(path, false, h, hdrOK, imgOK, [](const std::string&) {});
  h.referenceFile = path;
  return h;
}

TEST(PatientInfo, FileValuesAsStoredAndNotGivenWhenAbsent) {
  REQUIRE_SAMPLES();
  TPatientInfoForm form;
  form.Display(HeaderOf(testsupport::SamplePath("CT_small.dcm")));
  EXPECT_EQ(form.imgCompValue->text(), "Explicit VR Little Endian");  // not "JPEG_Lossy"
  EXPECT_EQ(form.imgOriValue->text(), "1.000000, 0.000000, 0.000000, 0.000000, 1.000000, 0.000000");
  EXPECT_EQ(form.imgPosValue->text(), "-158.135803, -179.035797, -75.699997");
  EXPECT_EQ(form.studyInstUidValue->text(), "1.3.6.1.4.1.5962.1.2.1.20040119072730.12322");
  EXPECT_EQ(form.serInstUIDValue->text(), "1.3.6.1.4.1.5962.1.3.1.1.20040119072730.12322");
  EXPECT_EQ(form.imgPixelSpacingValue->text(), "Y:0.6615 X:0.6615");
  EXPECT_EQ(form.imgInterceptValue->text(), "-1024");
  form.Display(HeaderOf(testsupport::SamplePath("MR_small_implicit.dcm")));
  EXPECT_EQ(form.imgCompValue->text(), "Implicit VR Little Endian");
  form.Display(HeaderOf(testsupport::SamplePath("JPEG2000.dcm")));
  EXPECT_EQ(form.imgCompValue->text(), "JPEG 2000 Image Compression");

  // A secondary capture without geometry, spacing, rescale or window.
  const std::string dir = testsupport::TempDir("patient_info_absent");
  fixtures::ImageSpec spec;
  spec.pixelSpacing.clear();
  spec.modality = "OT";
  form.Display(HeaderOf(fixtures::WriteFile(dir, "ot.dcm", fixtures::SmallImageFile(spec))));
  EXPECT_EQ(form.imgPixelSpacingValue->text(), "not given");  // not Y:1.0000 X:1.0000
  EXPECT_EQ(form.imgOriValue->text(), "not given");
  EXPECT_EQ(form.imgPosValue->text(), "not given");
  EXPECT_EQ(form.imgSlopeValue->text(), "not given");
  EXPECT_EQ(form.imgWWValue->text(), "not given");
  EXPECT_EQ(form.studyInstUidValue->text(), "1.2.3.4");

  // Only the detector's spacing: said so, not passed off as Pixel Spacing.
  dicomwriter::DicomWriter w;
  fixtures::AddImageHeader(w, spec);
  w.Text(0x00181164, "DS", "0.143\\0.139");
  fixtures::AddNativePixels(w, spec);
  form.Display(HeaderOf(fixtures::WriteFile(
      dir, "dx.dcm", fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian))));
  EXPECT_EQ(form.imgPixelSpacingValue->text(),
            "not given (Imager Pixel Spacing Y:0.1430 X:0.1390)");
}

}  // namespace
