// The tag browser: the tree of elements and items, the filter as you type,
// the copies, and the main window's button that opens it on the active image.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeView>

#include "app/TagBrowser.h"
#include "window_fixture.h"

using namespace apptest;

namespace {

std::string NestedFile(const std::string& dir) {
  fixtures::DicomWriter w;
  w.Text(0x00080005, "CS", "ISO_IR 100");
  w.Text(0x00080060, "CS", "MR");
  w.Text(0x00090010, "LO", "ACME 1.0");
  w.Text(0x00091001, "LO", "vendor secret");
  w.BeginSequence(0x00081140);
  w.BeginItem()
      .Text(0x00081150, "UI", "1.2.840.10008.5.1.4.1.1.4")
      .Text(0x00081155, "UI", "9.8.7")
      .EndItem();
  w.BeginItem()
      .Text(0x00081150, "UI", "1.2.840.10008.5.1.4.1.1.4")
      .Text(0x00081155, "UI", "9.8.8")
      .EndItem();
  w.EndSequence();
  w.Text(0x00100010, "PN", "M\xfcller^Hans");
  w.Text(0x00204000, "LT", "first line\r\nsecond line");
  return fixtures::WriteFile(dir, "nested.dcm",
                             fixtures::Part10(w, dicomwriter::kExplicitVRLittleEndian));
}

// The top-level rows' first column.
QStringList TopTags(const TTagBrowserForm& f) {
  QStringList tags;
  auto* m = f.tree->model();
  for (int r = 0; r < m->rowCount(); ++r) tags << m->index(r, 0).data().toString();
  return tags;
}

}  // namespace

TEST(TagBrowser, TreeFilterAndCopies) {
  const std::string dir = testsupport::TempDir("tag_browser_tree");
  TTagBrowserForm form;
  form.Display(NestedFile(dir));
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.windowTitle(), "DICOM Tags - nested.dcm");
  // Meta group (7) + 7 elements, 2 items holding 2 elements each.
  const int all = form.VisibleRows();
  EXPECT_EQ(all, 7 + 7 + 2 + 4);
  EXPECT_TRUE(form.statusLabel->text().contains("18 elements"));
  auto* m = form.tree->model();
  const int seqRow = int(TopTags(form).indexOf("(0008,1140)"));
  ASSERT_GE(seqRow, 0);
  const QModelIndex seq = m->index(seqRow, 0);
  EXPECT_EQ(m->index(seqRow, TTagBrowserForm::ColValue).data().toString(), "2 items");
  EXPECT_EQ(m->index(0, 0, seq).data().toString(), "Item 1");
  EXPECT_EQ(m->index(1, TTagBrowserForm::ColValue, m->index(1, 0, seq)).data().toString(), "9.8.8");
  const int priv = int(TopTags(form).indexOf("(0009,1001)"));
  EXPECT_EQ(m->index(priv, TTagBrowserForm::ColName).data().toString(),
            "[ACME 1.0] Private tag data");
  const int name = int(TopTags(form).indexOf("(0010,0010)"));
  EXPECT_EQ(m->index(name, TTagBrowserForm::ColKeyword).data().toString(), "PatientName");
  EXPECT_EQ(m->index(name, TTagBrowserForm::ColName).data().toString(), "Patient's Name");
  EXPECT_EQ(m->index(name, TTagBrowserForm::ColValue).data().toString(),
            QString::fromUtf8("M\xc3\xbcller^Hans"));

  // Typing filters: by keyword, by a value deep in a sequence (the sequence
  // and its item stay around it), by the tag without punctuation.
  form.filterEdit->setText("patientname");
  EXPECT_EQ(TopTags(form), QStringList{"(0010,0010)"});
  EXPECT_EQ(form.VisibleRows(), 1);
  form.filterEdit->setText("9.8.8");
  EXPECT_EQ(TopTags(form), QStringList{"(0008,1140)"});
  EXPECT_EQ(form.VisibleRows(), 3);  // sequence, item 2, the UID
  EXPECT_TRUE(form.tree->isExpanded(m->index(0, 0)));
  form.filterEdit->setText("00081140");
  EXPECT_EQ(form.VisibleRows(), 1 + 2 + 4);  // a matching sequence keeps its contents
  form.filterEdit->setText("no such thing");
  EXPECT_EQ(form.VisibleRows(), 0);
  // Escape clears the filter before it closes the window.
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(&form, &esc);
  EXPECT_EQ(form.filterEdit->text(), "");
  EXPECT_EQ(form.VisibleRows(), all);
  EXPECT_TRUE(form.isVisible());

  // Copies: the current value whole (line breaks kept), rows, the listing shown.
  const int text = int(TopTags(form).indexOf("(0020,4000)"));
  form.tree->setCurrentIndex(m->index(text, 0));
  EXPECT_EQ(form.CurrentValue(), "first line\r\nsecond line");
  form.copyValueButton->click();
  EXPECT_EQ(QApplication::clipboard()->text(), "first line\r\nsecond line");
  form.tree->selectionModel()->select(
      m->index(name, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
  QApplication::sendEvent(form.tree, &copy);
  EXPECT_EQ(QApplication::clipboard()->text(),
            QString::fromUtf8("(0010,0010)\tPN\tPatientName\tPatient's Name\tM\xc3\xbcller^Hans"));
  form.filterEdit->setText("9.8.7");
  form.copyAllButton->click();
  EXPECT_EQ(QApplication::clipboard()->text(),
            "(0008,1140) SQ ReferencedImageSequence\t2 items\n"
            "  Item 1\n"
            "    (0008,1155) UI ReferencedSOPInstanceUID\t9.8.7\n");
}

TEST(TagBrowser, UnreadableFilesSayWhy) {
  const std::string dir = testsupport::TempDir("tag_browser_bad");
  const std::string text = "a report, not an image\n";
  TTagBrowserForm form;
  form.Display(fixtures::WriteFile(dir, "report.txt", fixtures::Bytes(text.begin(), text.end())));
  EXPECT_EQ(form.VisibleRows(), 0);
  EXPECT_TRUE(form.statusLabel->text().contains("not a DICOM file"))
      << form.statusLabel->text().toStdString();
  // A cut file lists what it holds and names where it ends.
  const auto whole = fixtures::SmallImageFile();
  form.Display(fixtures::WriteFile(dir, "cut.dcm", fixtures::Truncated(whole, whole.size() - 4)));
  EXPECT_GT(form.VisibleRows(), 10);
  EXPECT_TRUE(form.statusLabel->text().contains("the file ends inside (7FE0,0010)"));
}

class TagBrowserWindow : public AppTest {};

TEST_F(TagBrowserWindow, ButtonOpensTheActiveImagesTags) {
  FillTree("tags", {{"CT", 2}});
  form->EnableStudyTools();
  form->SpeedButton2Click();
  Click(Cell(0, 1));
  ASSERT_TRUE(form->ActiveAdvancedImage->HasImage);
  EXPECT_EQ(form->showTagsButton->toolTip(), "Display All DICOM Tags");
  form->showTagsButton->click();
  ASSERT_TRUE(form->TagBrowserForm->isVisible());
  const std::string& path = form->ActiveAdvancedImage->filepath;
  EXPECT_EQ(form->TagBrowserForm->windowTitle().toStdString(),
            "DICOM Tags - " + path.substr(path.rfind('/') + 1));
  EXPECT_GT(form->TagBrowserForm->VisibleRows(), 20);
  form->TagBrowserForm->hide();
  // No image in the active cell: nothing opens.
  form->ActiveAdvancedImage->Clear();
  form->showTagsButton->click();
  EXPECT_FALSE(form->TagBrowserForm->isVisible());
}
