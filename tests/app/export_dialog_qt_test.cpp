// The browser's export dialog: the files of a series, a study or the tree;
// an anonymised export on its worker thread with the burned-in image named
// in the summary; a failure shown with its reason.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <filesystem>

#include "app/ExportDialog.h"
#include "dicom/StudyTree.h"
#include "support/paths.h"

namespace {

std::string WriteInstance(const std::string& dir, const std::string& name, bool burnedIn) {
  DcmFileFormat f;
  DcmDataset* ds = f.getDataset();
  char uid[100];
  ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
  ds->putAndInsertString(DCM_SOPInstanceUID, dcmGenerateUniqueIdentifier(uid));
  ds->putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.3680043.2.1125.77");
  ds->putAndInsertString(DCM_SeriesInstanceUID, "1.2.826.0.1.3680043.2.1125.77.1");
  ds->putAndInsertString(DCM_PatientName, "Doe^Jane");
  ds->putAndInsertString(DCM_PatientID, "PID-9");
  ds->putAndInsertString(DCM_Modality, "OT");
  if (burnedIn) ds->putAndInsertString(DCM_BurnedInAnnotation, "YES");
  ds->putAndInsertUint16(DCM_Rows, 2);
  ds->putAndInsertUint16(DCM_Columns, 2);
  ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
  ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
  ds->putAndInsertUint16(DCM_BitsAllocated, 8);
  ds->putAndInsertUint16(DCM_BitsStored, 8);
  ds->putAndInsertUint16(DCM_HighBit, 7);
  ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
  const Uint8 px[4] = {1, 2, 3, 4};
  ds->putAndInsertUint8Array(DCM_PixelData, px, 4);
  const std::string path = dir + "/" + name;
  EXPECT_TRUE(f.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
  return path;
}

bool WaitFinished(TExportDialog& d) {
  QElapsedTimer t;
  t.start();
  while (d.Running() && t.elapsed() < 30000)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  // The result arrives queued after the worker ends.
  for (int i = 0; i < 50 && d.Result().files.empty(); ++i) QCoreApplication::processEvents();
  return !d.Running();
}

TPatientArr Tree() {
  TPatientArr patients(2);
  patients[0].studies.resize(2);
  patients[0].studies[0].serieses.resize(2);
  patients[0].studies[1].serieses.resize(1);
  patients[1].studies.resize(1);
  patients[1].studies[0].serieses.resize(1);
  int n = 0;
  for (TPatient& p : patients)
    for (TStudy& st : p.studies)
      for (TSeries& se : st.serieses)
        for (int i = 0; i < 2; ++i) {
          TImg img;
          img.imagePath = "/f" + std::to_string(n++);
          se.images.push_back(img);
        }
  // A multi-frame file listed twice goes out once.
  patients[1].studies[0].serieses[0].images[1].imagePath = "/f6";
  return patients;
}

}  // namespace

TEST(ExportDialog, FilesOfSeriesStudyAndTree) {
  const TPatientArr tree = Tree();
  EXPECT_EQ(TExportDialog::FilesOf(tree, 0, 0, 1), (std::vector<std::string>{"/f2", "/f3"}));
  EXPECT_EQ(TExportDialog::FilesOf(tree, 0, 0, -1).size(), 4u);
  EXPECT_EQ(TExportDialog::FilesOf(tree, 1, 0, -1), (std::vector<std::string>{"/f6"}));
  EXPECT_EQ(TExportDialog::FilesOf(tree, -1, -1, -1).size(), 7u);
  EXPECT_TRUE(TExportDialog::FilesOf(tree, 5, 0, 0).empty());
}

TEST(ExportDialog, AnonymisedExportNamesTheBurnedInImage) {
  const std::string dir = testsupport::TempDir("export_dialog");
  const std::vector<std::string> files = {WriteInstance(dir, "a.dcm", false),
                                          WriteInstance(dir, "b.dcm", true)};
  TExportDialog dialog(nullptr, files, "series");
  dialog.Target->setText(QString::fromStdString(dir + "/out"));
  dialog.Anonymise->setChecked(true);
  EXPECT_TRUE(dialog.KeepDates->isEnabled());
  dialog.Start();
  ASSERT_TRUE(WaitFinished(dialog));
  EXPECT_TRUE(dialog.Result().written) << dialog.Result().failure;
  EXPECT_EQ(dialog.Result().exported, 1);
  const QString summary = dialog.Summary->toPlainText();
  EXPECT_TRUE(summary.contains("burned-in")) << summary.toStdString();
  EXPECT_TRUE(summary.contains("b.dcm")) << summary.toStdString();
  EXPECT_TRUE(std::filesystem::exists(dir + "/out/DICOMDIR"));

  // The same folder again: refused, and the reason shown.
  dialog.Start();
  ASSERT_TRUE(WaitFinished(dialog));
  EXPECT_FALSE(dialog.Result().written);
  EXPECT_TRUE(dialog.Summary->toPlainText().contains("already holds"));

  // ZIP into a folder: FOLDER/export.zip.
  dialog.Zip->setChecked(true);
  dialog.Target->setText(QString::fromStdString(dir));
  EXPECT_EQ(dialog.TargetPath(), dir + "/export.zip");
  dialog.Start();
  ASSERT_TRUE(WaitFinished(dialog));
  EXPECT_TRUE(dialog.Result().written) << dialog.Result().failure;
  EXPECT_TRUE(std::filesystem::exists(dir + "/export.zip"));
}
