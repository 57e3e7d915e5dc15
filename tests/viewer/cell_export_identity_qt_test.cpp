// JPEG and PNG exports without the patient's name and ID: only the top lines
// of the information text change, the cell on display keeps them.
#include <gtest/gtest.h>

#include <QImage>
#include <QImageReader>

#include "cell_fixtures.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ViewerGlobals.h"

TEST(CellExportIdentity, NameAndIdLeftOutOfThePictureOnly) {
  const std::string dir = testsupport::TempDir("cell_export_identity");
  const bool multi = gProcessAllViewers.exchange(false);
  cellfix::Image s;
  s.columns = 64;
  s.rows = 48;
  s.bitsAllocated = 8;
  s.modality = "OT";
  s.patientName = "IDENTIFIABLE^PERSONWITHALONGNAME";
  s.patientId = "ID-1234567890";
  s.values.assign(size_t(s.columns * s.rows), 90);
  const std::string path = cellfix::Write(dir, "flat.dcm", s);
  TadvancedImage cell;
  cell.resize(600, 500);
  cell.ResizeImage();
  ASSERT_TRUE(cell.LoadFile(path, 1));
  ASSERT_TRUE(cell.ShowInfo());

  const QImage with = cell.Picture();
  const QImage without = cell.Picture(false, true);
  ASSERT_EQ(with.size(), without.size());
  int changed = 0, changedBelowTop = 0;
  for (int y = 0; y < with.height(); ++y)
    for (int x = 0; x < with.width(); ++x)
      if (with.pixel(x, y) != without.pixel(x, y)) {
        ++changed;
        if (y > with.height() / 5) ++changedBelowTop;
      }
  EXPECT_GT(changed, 50) << "the name and ID lines were painted in both";
  EXPECT_EQ(changedBelowTop, 0) << "the rest of the text and the image stay as they were";
  // The cell itself, and a later picture, still show them.
  EXPECT_EQ(cell.Picture(), with);

  const std::string out = dir + "/without.png";
  ASSERT_TRUE(cell.SavePNG(QString::fromStdString(out), nullptr, false, true));
  const QImage saved(QString::fromStdString(out));
  EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32),
            without.convertToFormat(QImage::Format_RGB32));
  gProcessAllViewers = multi;
}
