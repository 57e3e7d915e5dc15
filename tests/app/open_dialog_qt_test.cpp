// The open-image dialog lists what DICOM files are called in practice under
// its "DICOM Files" filter, and everything under "All Files".
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>
#include <fstream>
#include <memory>

#include "app/OpenDialog.h"
#include "support/paths.h"

TEST(OpenDialog, DicomNamesWithoutOrWithAnyUsualExtension) {
  for (const char* name :
       {"IM0001", "I0000123", "DICOMDIR", "dicomdir", "image.dcm", "IMAGE.DCM", "scan.dicom",
        "x.dic", "1.2.840.113619.2.55.3.604688119.1", "CT.42", "scan.IMA", "trailing."})
    EXPECT_TRUE(LooksLikeDicomFileName(name)) << name;
  for (const char* name :
       {"report.pdf", "notes.txt", "photo.jpg", "data.zip", ".hidden", "a.dcm.bak"})
    EXPECT_FALSE(LooksLikeDicomFileName(name)) << name;
}

TEST(OpenDialog, ListsIm0001UnderDicomFilesAndEverythingUnderAllFiles) {
  const QString dir = QString::fromStdString(testsupport::TempDir("open-dialog"));
  for (const char* name : {"IM0001", "report.pdf", "slice.dcm"})
    std::ofstream((dir + "/" + name).toStdString()) << "x";
  std::unique_ptr<QFileDialog> dialog(NewImageOpenDialog(nullptr, dir));
  EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
  EXPECT_TRUE(QString(kDicomFilesFilter).startsWith(dialog->selectedNameFilter()));
  auto* proxy = dialog->proxyModel();
  ASSERT_NE(proxy, nullptr);
  auto* files = qobject_cast<QFileSystemModel*>(proxy->sourceModel());
  ASSERT_NE(files, nullptr);
  const auto listed = [&] {
    QStringList names;
    const QModelIndex root = proxy->mapFromSource(files->index(dir));
    for (int i = 0; i < proxy->rowCount(root); ++i)
      names << proxy->index(i, 0, root).data().toString();
    names.sort();
    return names;
  };
  // The file system model fills in the background.
  QElapsedTimer t;
  t.start();
  while (files->rowCount(files->index(dir)) < 3 && t.elapsed() < 5000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(listed(), (QStringList{"IM0001", "slice.dcm"}));
  dialog->selectNameFilter(kAllFilesFilter);
  emit dialog->filterSelected(kAllFilesFilter);
  EXPECT_EQ(listed(), (QStringList{"IM0001", "report.pdf", "slice.dcm"}));
}
