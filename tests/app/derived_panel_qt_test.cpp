// Segmentations and structure sets met by loads: kept as objects drawn over
// the images (not series), listed in the Segments panel for the active
// cell's image with their colours and the user's choices going to the store,
// and an object over nothing open listed with the reason.
//
// The rows of objects lying on an image come from the store's
// SegmentationsFor/StructureSetsFor.
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dctk.h>

#include <QDockWidget>
#include <QEventLoop>
#include <QHeaderView>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include "app/DerivedLoading.h"
#include "app/DerivedPanel.h"
#include "app/PacsFiling.h"
#include "app_fixtures.h"
#include "derived/Segmentation.h"
#include "support/fixtures.h"
#include "viewer/DerivedObjectStore.h"
#include "window_fixture.h"

namespace {

class PanelForm : public apptest::TestForm {
 public:
  QString folder, file;
  std::vector<std::pair<QString, QString>> summaries;

 protected:
  QString AskFolder() override { return folder; }
  QString AskOpenFileName() override { return file; }
  void ShowLoadSummary(const QString& text, const QString& details) override {
    summaries.emplace_back(text, details);
  }
};

class DerivedPanelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    appfx::ResetLoadingState();
    ForgetDrawnObjects();
    gForceRefill = false;
    form = std::make_unique<PanelForm>();
    form->resize(1000, 700);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    ForgetDrawnObjects();
    appfx::ResetLoadingState();
  }

  // The fixture study of derived_fixtures.py under a folder of this test.
  std::string Fixtures(int segments = 2) {
    const std::string dir = testsupport::TempDir(
        std::string("derived-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::string command = "/usr/bin/python3 " + std::string(TAVROLEN_SOURCE_DIR) +
                                "/tests/app/derived_fixtures.py " + dir + " " +
                                std::to_string(segments);
    EXPECT_EQ(fixtures::RunCommand(command), 0) << command;
    return dir;
  }
  void WaitIdle() {
    if (!form->IsIdle() || gLoadingInProgress) {
      QEventLoop loop;
      QObject::connect(form.get(), &TForm1::loadsFinished, &loop, &QEventLoop::quit);
      QTimer::singleShot(20000, &loop, &QEventLoop::quit);
      loop.exec();
    }
    QApplication::processEvents();
    form->DerivedPanel->Refresh();
  }
  void OpenFolder(const std::string& folder) {
    form->folder = QString::fromStdString(folder);
    form->btnOpenFolderClick();
    WaitIdle();
  }
  void OpenFile(const std::string& file) {
    form->file = QString::fromStdString(file);
    form->btnOpenFileClick();
    WaitIdle();
  }
  TadvancedImage* Cell(int r, int c) const {
    return form->AdvancedImages.at(size_t(r)).at(size_t(c));
  }
  // Shows the tree's image `image` of the first series in the cell.
  void Show(TadvancedImage* cell, int image) {
    std::string path;
    {
      std::lock_guard lock(gPatientsMutex);
      path = gPatients.at(0).studies.at(0).serieses.at(0).images.at(size_t(image)).imagePath;
    }
    cell->PatientIndex = cell->StudyIndex = cell->SeriesIndex = 0;
    cell->ImageIndex = image;
    ASSERT_TRUE(cell->LoadFile(path, 1));
    QApplication::processEvents();
  }
  void Click(TadvancedImage* cell) {
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      QMouseEvent e(type, QPointF(40, 40), cell->mapToGlobal(QPointF(40, 40)), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                    Qt::NoModifier);
      QApplication::sendEvent(cell, &e);
    }
    QApplication::processEvents();
    form->DerivedPanel->Refresh();
  }
  // The panel's rows of one kind, by their first column's text.
  std::vector<QTreeWidgetItem*> Rows(int kind) const {
    std::vector<QTreeWidgetItem*> rows;
    for (QTreeWidgetItemIterator it(form->DerivedPanel->Tree()); *it; ++it)
      if ((*it)->data(0, TDerivedPanel::kRoleKind).toInt() == kind) rows.push_back(*it);
    return rows;
  }
  QTreeWidgetItem* Row(const QString& text) const {
    for (QTreeWidgetItemIterator it(form->DerivedPanel->Tree()); *it; ++it)
      if ((*it)->text(0) == text) return *it;
    return nullptr;
  }
  static QColor SwatchColour(const QTreeWidgetItem* row) {
    return row->icon(0).pixmap(14, 14).toImage().pixelColor(7, 7);
  }
  static const TStoredSegmentation& OnlySegmentation() {
    const auto& segs = TDerivedObjectStore::Instance().Segmentations();
    EXPECT_EQ(segs.size(), 1u);
    return segs.at(0);
  }

  std::unique_ptr<PanelForm> form;
};

TEST_F(DerivedPanelTest, FolderLoadKeepsTheSegmentationAndStructureSetOutOfTheTree) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = Fixtures();
  OpenFolder(dir + "/study");
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 1u);
    ASSERT_EQ(gPatients[0].studies.size(), 1u);
    ASSERT_EQ(gPatients[0].studies[0].serieses.size(), 1u);
    EXPECT_EQ(gPatients[0].studies[0].serieses[0].images.size(), 3u);
  }
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  ASSERT_EQ(store.Segmentations().size(), 1u);
  ASSERT_EQ(store.StructureSets().size(), 1u);
  EXPECT_EQ(store.Segmentations()[0].path, dir + "/study/seg.dcm");
  // Both lie on the CT: nothing to report, and neither is a skipped file.
  EXPECT_TRUE(form->summaries.empty()) << form->summaries[0].second.toStdString();
  EXPECT_TRUE(CheckStoredObject(dir + "/study/seg.dcm").resolved);
  EXPECT_TRUE(CheckStoredObject(dir + "/study/rt.dcm").resolved);
  auto* dock = form->findChild<QDockWidget*>("derivedPanelDock");
  ASSERT_NE(dock, nullptr);
  EXPECT_TRUE(dock->isVisible());

  // Closed, it comes back from the cell's menu.
  dock->close();
  form->pick = "Segments Panel";
  for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent e(type, QPointF(50, 50), Cell(0, 0)->mapToGlobal(QPointF(50, 50)), Qt::RightButton,
                  type == QEvent::MouseButtonPress ? Qt::RightButton : Qt::NoButton,
                  Qt::NoModifier);
    QApplication::sendEvent(Cell(0, 0), &e);
  }
  EXPECT_TRUE(form->menuEntries.contains("Segments Panel"));
  EXPECT_TRUE(dock->isVisible());

  // They go with the images they lie on when those are sent or exported.
  const std::string seg = dir + "/study/seg.dcm", rt = dir + "/study/rt.dcm";
  EXPECT_EQ(DrawnObjectsOf({dir + "/study/ct1.dcm"}), std::vector<std::string>{seg});
  EXPECT_EQ(DrawnObjectsOf({dir + "/study/ct2.dcm"}), (std::vector<std::string>{seg, rt}));
  EXPECT_TRUE(DrawnObjectsOf({dir + "/study/ct3.dcm"}).empty());

  // Clearing the study forgets them.
  form->btnClearTreeClick();
  QApplication::processEvents();
  EXPECT_TRUE(store.Segmentations().empty());
  EXPECT_TRUE(store.StructureSets().empty());
}

TEST_F(DerivedPanelTest, DicomDirBringsItsSegmentationAndStructureSetRecords) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = Fixtures();
  form->folder = QString::fromStdString(dir + "/medium");
  form->btnOpenDicomDirClick();
  WaitIdle();
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 1u);
    ASSERT_EQ(gPatients[0].studies.size(), 1u);
    ASSERT_EQ(gPatients[0].studies[0].serieses.size(), 1u);
    EXPECT_EQ(gPatients[0].studies[0].serieses[0].images.size(), 3u);
  }
  // The segmentation under an IMAGE record, the structure set under its own.
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  ASSERT_EQ(store.Segmentations().size(), 1u);
  ASSERT_EQ(store.StructureSets().size(), 1u);
  EXPECT_EQ(store.StructureSets()[0].path, dir + "/medium/PT000000/ST000000/SE000002/RS000000");
  EXPECT_TRUE(CheckStoredObject(store.Segmentations()[0].path).resolved);
  EXPECT_TRUE(CheckStoredObject(store.StructureSets()[0].path).resolved);
  EXPECT_TRUE(form->summaries.empty()) << form->summaries[0].second.toStdString();
}

TEST_F(DerivedPanelTest, RetrievedObjectsGoToTheStoreAndABrokenOneIsNamed) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = Fixtures();
  // A segmentation that names no segment: the reader refuses it.
  DcmFileFormat empty;
  empty.getDataset()->putAndInsertString(DCM_SOPClassUID, kSegmentationClass);
  empty.getDataset()->putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.9.7777.8");
  empty.getDataset()->putAndInsertString(DCM_Modality, "SEG");
  const std::string broken = dir + "/broken_seg.dcm";
  ASSERT_TRUE(empty.saveFile(broken.c_str(), EXS_LittleEndianExplicit).good());

  // The objects arrive before their images, as a server may send them.
  std::vector<TArrival> batch;
  for (const char* name : {"study/seg.dcm", "study/rt.dcm", "broken_seg.dcm", "study/ct1.dcm",
                           "study/ct2.dcm", "study/ct3.dcm"})
    batch.push_back(ReadArrival(dir + "/" + name));
  const TFilingOutcome filed = FileArrivals(*form, batch);
  EXPECT_EQ(filed.added, 3);
  {
    std::lock_guard lock(gPatientsMutex);
    ASSERT_EQ(gPatients.size(), 1u);
    EXPECT_EQ(gPatients[0].studies.at(0).serieses.size(), 1u);
  }
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  ASSERT_EQ(store.Segmentations().size(), 1u);
  ASSERT_EQ(store.StructureSets().size(), 1u);
  EXPECT_TRUE(CheckStoredObject(dir + "/study/seg.dcm").resolved);
  ASSERT_EQ(filed.notShown.size(), 1u);
  EXPECT_EQ(filed.notShown[0].rfind(broken + ": segmentation, not read: ", 0), 0u)
      << filed.notShown[0];
}

TEST_F(DerivedPanelTest, PanelListsSegmentsAndRoisAndSendsTheUsersChoicesToTheStore) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = Fixtures();
  OpenFolder(dir + "/study");
  Show(form->ActiveAdvancedImage, 1);  // the slice with both segments and the ROI
  form->DerivedPanel->Refresh();
  EXPECT_FALSE(form->DerivedPanel->EmptyLine()->isVisible());

  QTreeWidgetItem* header = Row("Liver segmentation  (2 segments)");
  ASSERT_NE(header, nullptr);
  QTreeWidgetItem* liver = Row("Liver");
  QTreeWidgetItem* tumour = Row("Tumour");
  QTreeWidgetItem* body = Row("Body");
  ASSERT_TRUE(liver && tumour && body);
  EXPECT_EQ(liver->parent(), header);
  EXPECT_NE(Row("Outline  (1 structure)"), nullptr);
  // Colours: the recommended one, the palette's for the segment without,
  // the ROI's display colour.
  const TStoredSegmentation& seg = OnlySegmentation();
  const auto rgb = [](const std::array<uint8_t, 3>& c) { return QColor(c[0], c[1], c[2]); };
  EXPECT_EQ(SwatchColour(liver), rgb(seg.seg->segments[0].rgb));
  EXPECT_GT(seg.seg->segments[0].rgb[0], 200);  // a red
  EXPECT_EQ(SwatchColour(tumour), rgb(SegmentPaletteColour(2)));
  EXPECT_EQ(SwatchColour(body), QColor(0, 255, 0));
  EXPECT_EQ(liver->checkState(0), Qt::Checked);
  EXPECT_EQ(liver->data(1, TDerivedPanel::kRoleOpacity).toInt(),
            int(std::lround(seg.styles[0].opacity * 100)));

  // Visibility and opacity go to the store.
  tumour->setCheckState(0, Qt::Unchecked);
  EXPECT_TRUE(OnlySegmentation().styles[0].visible);
  EXPECT_FALSE(OnlySegmentation().styles[1].visible);
  liver->setData(1, TDerivedPanel::kRoleOpacity, 75);
  EXPECT_DOUBLE_EQ(OnlySegmentation().styles[0].opacity, 0.75);
  // A click on the bar's far right end is full opacity.
  QTreeWidget* tree = form->DerivedPanel->Tree();
  liver = Row("Liver");
  const QRect bar = tree->visualItemRect(liver);
  const int right = tree->header()->sectionPosition(1) + tree->header()->sectionSize(1) - 1;
  for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent e(type, QPointF(right, bar.center().y()),
                  tree->viewport()->mapToGlobal(QPointF(right, bar.center().y())), Qt::LeftButton,
                  type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(tree->viewport(), &e);
  }
  EXPECT_DOUBLE_EQ(OnlySegmentation().styles[0].opacity, 1.0);

  // Hide all, then show all, of the one object.
  const auto button = [&](const char* name) {
    QWidget* box = tree->itemWidget(Row("Liver segmentation  (2 segments)"), 1);
    return box ? box->findChild<QToolButton*>(name) : nullptr;
  };
  ASSERT_NE(button("hideAll"), nullptr);
  button("hideAll")->click();
  EXPECT_FALSE(OnlySegmentation().styles[0].visible);
  EXPECT_FALSE(OnlySegmentation().styles[1].visible);
  EXPECT_TRUE(TDerivedObjectStore::Instance().StructureSets()[0].styles[0].visible);
  button("showAll")->click();
  EXPECT_TRUE(OnlySegmentation().styles[0].visible);
  EXPECT_TRUE(OnlySegmentation().styles[1].visible);

  // A change made elsewhere shows in the panel.
  TDerivedObjectStore::Instance().SetVisible(dir + "/study/seg.dcm", 0, false);
  QApplication::processEvents();
  EXPECT_EQ(Row("Liver")->checkState(0), Qt::Unchecked);
}

TEST_F(DerivedPanelTest, PanelFollowsTheActiveCell) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = Fixtures();
  OpenFolder(dir + "/study");
  form->SetLayout(1, 2);
  QApplication::processEvents();
  Show(Cell(0, 0), 1);  // both segments and the ROI
  Show(Cell(0, 1), 2);  // the third slice: nothing drawn there, same frame of reference
  Click(Cell(0, 0));
  ASSERT_NE(Row("Liver segmentation  (2 segments)"), nullptr);
  Row("Liver segmentation  (2 segments)")->setExpanded(false);  // the user folds it
  Click(Cell(0, 1));
  ASSERT_EQ(form->ActiveAdvancedImage, Cell(0, 1));
  // Objects of the slice's frame of reference stay listed on a slice they
  // draw nothing on, so the panel does not come and go while stepping.
  EXPECT_FALSE(form->DerivedPanel->EmptyLine()->isVisible());
  ASSERT_NE(Row("Liver segmentation  (2 segments)"), nullptr);
  EXPECT_FALSE(Row("Liver segmentation  (2 segments)")->isExpanded()) << "still folded";

  Click(Cell(0, 0));
  ASSERT_NE(Row("Body"), nullptr);
  EXPECT_FALSE(Row("Liver segmentation  (2 segments)")->isExpanded()) << "still folded";
  EXPECT_TRUE(Row("Outline  (1 structure)")->isExpanded());

  // With the store emptied the active cell has nothing to list.
  TDerivedObjectStore::Instance().Reset();
  form->DerivedPanel->Refresh();
  EXPECT_TRUE(form->DerivedPanel->EmptyLine()->isVisible());
  EXPECT_EQ(form->DerivedPanel->EmptyLine()->text(),
            "No segmentation or structure set lies on this image.");
  EXPECT_EQ(Row("Liver"), nullptr);
}

TEST_F(DerivedPanelTest, PanelOfManySegmentsBuildsPlainRows) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = Fixtures(120);
  OpenFolder(dir + "/study");
  Show(form->ActiveAdvancedImage, 2);  // the slice of segments 3..120
  form->DerivedPanel->Refresh();
  QTreeWidgetItem* header = Row("Liver segmentation  (120 segments)");
  ASSERT_NE(header, nullptr);
  // 120 segments and the structure set's ROI (same frame of reference).
  EXPECT_EQ(Rows(TDerivedPanel::kItemRow).size(), 121u);
  // No widget per row: only the two object rows hold their two buttons.
  int widgets = 0;
  for (QTreeWidgetItemIterator it(form->DerivedPanel->Tree()); *it; ++it)
    widgets += form->DerivedPanel->Tree()->itemWidget(*it, 1) != nullptr;
  EXPECT_EQ(widgets, 2);
}

TEST_F(DerivedPanelTest, StructureSetOverNothingOpenIsListedWithTheReason) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = Fixtures();
  OpenFolder(dir + "/study");
  const std::string before = form->ActiveAdvancedImage->CurrentOpenedPath;

  // Opened by itself: the user is told what it refers to; the cell stays.
  OpenFile(dir + "/lone/rt_other.dcm");
  ASSERT_EQ(form->messages.size(), 1u);
  const std::string text = form->messages[0].toStdString();
  EXPECT_NE(text.find("rt_other.dcm: RT structure set lies on no open image"), std::string::npos)
      << text;
  EXPECT_NE(text.find("1.2.826.0.1.3680043.9.7777.9.1"), std::string::npos) << text;
  EXPECT_NE(text.find("none of which is open"), std::string::npos) << text;
  EXPECT_EQ(form->ActiveAdvancedImage->CurrentOpenedPath, before);
  ASSERT_EQ(TDerivedObjectStore::Instance().StructureSets().size(), 2u);

  // The panel lists it apart, with the reason under it.
  form->DerivedPanel->Refresh();
  QTreeWidgetItem* object = Row("Plan A  (1 structure)");
  ASSERT_NE(object, nullptr);
  ASSERT_NE(object->parent(), nullptr);
  EXPECT_EQ(object->parent()->text(0), "On no open image");
  ASSERT_EQ(object->childCount(), 1);
  EXPECT_TRUE(object->child(0)->text(0).contains("lies on no open image"));

  // A folder load of it says the same once, in its summary, not as a skipped file.
  form->summaries.clear();
  OpenFolder(dir + "/lone");
  ASSERT_EQ(form->summaries.size(), 1u);
  EXPECT_TRUE(form->summaries[0].first.contains("1 segmentation or structure set"))
      << form->summaries[0].first.toStdString();
  EXPECT_FALSE(form->summaries[0].first.contains("skipped"))
      << form->summaries[0].first.toStdString();
  EXPECT_TRUE(
      form->summaries[0].second.contains("rt_other.dcm: RT structure set lies on no open image"))
      << form->summaries[0].second.toStdString();
}

TEST_F(DerivedPanelTest, SegmentationOpenedAloneShowsAnImageItLiesOnOrSaysWhatItNeeds) {
  REQUIRE_PYTHON_MODULES("numpy, pydicom");
  const std::string dir = Fixtures();
  // Without its images: what it refers to.
  OpenFile(dir + "/study/seg.dcm");
  ASSERT_EQ(form->messages.size(), 1u);
  const std::string text = form->messages[0].toStdString();
  EXPECT_NE(text.find("seg.dcm: segmentation lies on no open image: it refers to 2 images"),
            std::string::npos)
      << text;
  EXPECT_FALSE(form->ActiveAdvancedImage->HasImage);

  // With them: the first image it was derived from, without a message.
  for (int k = 1; k <= 3; ++k) OpenFile(dir + "/study/ct" + std::to_string(k) + ".dcm");
  EXPECT_EQ(form->ActiveAdvancedImage->CurrentOpenedPath, dir + "/study/ct3.dcm");
  form->messages.clear();
  OpenFile(dir + "/study/seg.dcm");
  EXPECT_TRUE(form->messages.empty()) << form->messages[0].toStdString();
  EXPECT_EQ(form->ActiveAdvancedImage->CurrentOpenedPath, dir + "/study/ct1.dcm");
  EXPECT_EQ(TDerivedObjectStore::Instance().Segmentations().size(), 1u);  // the same file once
}

}  // namespace
