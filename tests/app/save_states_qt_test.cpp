// A cell's annotations and window saved as a presentation state, cleared and
// put back from the saved file; key image marks saved as a key object
// selection and marked again from it.
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dctk.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QColorSpace>

#include <fstream>

#include "app/SaveStates.h"
#include "derived/KeyObjectSelection.h"
#include "derived/PresentationState.h"
#include "dicom/StudyTree.h"
#include "support/fixtures.h"
#include "support/paths.h"
#include "viewer/AdvancedImage.h"
#include "viewer/AnnotationStore.h"
#include "viewer/KeyImageStore.h"
#include "viewer/ViewerGlobals.h"

namespace {

// Geometry, kind and text; the measured value is the cell's to fill.
bool SameShapes(const TShapeArray& a, const TShapeArray& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    Shape x = a[i], y = b[i];
    x.data = y.data = 0;
    if (x.shapeType != STAngle) x.x3 = x.y3 = y.x3 = y.y3 = 0;
    if (!(x == y)) return false;
  }
  return true;
}

Shape Make(ShapTypes type, int x1, int y1, int x2, int y2, int x3 = 0, int y3 = 0,
           const char* text = "") {
  Shape s;
  s.shapeType = type;
  s.x1 = x1, s.y1 = y1, s.x2 = x2, s.y2 = y2, s.x3 = x3, s.y3 = y3;
  s.txt = QString::fromUtf8(text);
  return s;
}

class SaveStates : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    TSeries series;
    series.instanceUid = "1.2.3.4.5";
    series.modality = "CT";
    for (int i = 0; i < 2; ++i) {
      fixtures::ImageSpec spec;
      spec.columns = 64;
      spec.rows = 48;
      spec.windowCenter = "300";
      spec.windowWidth = "600";
      spec.frames = frames;
      fixtures::Bytes bytes = fixtures::SmallImageFile(spec);
      // Each image its own SOP Instance UID ("1.2.3.4.5.6" -> "...5.7", ...).
      const long at = fixtures::FindTag(bytes, 0x00080018);
      EXPECT_GT(at, 0);
      bytes[size_t(at) + 8 + 10] = uint8_t('6' + i);
      TImg img;
      img.instanceNumber = i + 1;
      img.imagePath = fixtures::WriteFile(dir, "i" + std::to_string(i) + ".dcm", bytes);
      paths.push_back(img.imagePath);
      series.images.push_back(img);
    }
    TStudy study;
    study.instanceUid = "1.2.3.4";
    study.serieses.push_back(series);
    TPatient patient;
    patient.patientName = "DOE^JOHN";
    patient.studies.push_back(study);
    {
      std::lock_guard lock(gPatientsMutex);
      gPatients.clear();
      gPatients.push_back(patient);
    }
    gProcessAllViewers = false;
    cell.resize(256, 256);
    cell.ResizeImage();
    cell.PatientIndex = cell.StudyIndex = cell.SeriesIndex = cell.ImageIndex = 0;
    ASSERT_TRUE(cell.LoadFile(paths[0], 1));
    cell.PauseCine();
    TAnnotationStore::Instance().Reset();
    TKeyImageStore::Instance().Reset();
    ForgetDerivedObjects();
  }
  void TearDown() override {
    TAnnotationStore::Instance().Reset();
    TKeyImageStore::Instance().Reset();
    ForgetDerivedObjects();
    std::lock_guard lock(gPatientsMutex);
    gPatients.clear();
  }

  int frames = 0;  // > 1: multi-frame images
  std::string dir;
  std::vector<std::string> paths;
  TadvancedImage cell;
};

class SaveStatesOfFrames : public SaveStates {
 protected:
  SaveStatesOfFrames() { frames = 3; }
};

TEST_F(SaveStates, AnnotationsAndWindowComeBackFromTheSavedState) {
  TAnnotationStore& store = TAnnotationStore::Instance();
  const TShapeArray first = {
      Make(STLine, -20, -10, 10, 5),         Make(STMeasureLine, -30, -20, 20, -20),
      Make(STAngle, -10, 10, 0, 20, 15, 20), Make(STRectangle, 5, -15, 25, 0),
      Make(STEllipse, -25, 5, -5, 15),       Make(STTxt, 0, 10, 30, 20, 0, 0, "Läsion"),
  };
  const TShapeArray second = {Make(STMeasureLine, -5, -5, 5, 5)};
  store.Put({paths[0], 1}, first);
  store.Put({paths[1], 1}, second);
  cell.SetWwWl(400, 40);
  ASSERT_DOUBLE_EQ(cell.windowWidth, 400);
  cell.Rotate(Angel90);
  cell.Flip(flHorizontal);
  const OrientationState turned = cell.orientation;

  std::string written, why;
  ASSERT_TRUE(SaveSeriesAnnotations(cell, {}, written, why)) << why;
  EXPECT_EQ(written.rfind(dir, 0), 0u) << "saved beside the images: " << written;
  TPresentationState ps;
  ASSERT_TRUE(ReadPresentationState(written, ps, why)) << why;
  ASSERT_EQ(ps.series.size(), 1u);
  EXPECT_EQ(ps.series[0].images.size(), 2u);
  EXPECT_EQ(ps.annotations.size(), 2u);
  EXPECT_EQ(ps.rotation, 270);  // turned, then mirrored as seen: mirrored, then turned back
  EXPECT_TRUE(ps.horizontalFlip);
  // The measurements travel as anchored texts for other viewers.
  EXPECT_EQ(ps.annotations[0].texts.size(), 5u);  // length, angle, two regions, the label

  store.Reset();
  cell.SetWwWl(2000, 1000);
  cell.Rotate(Angel180);
  ASSERT_TRUE(cell.Shapes.empty());

  // Offered for the image on display, and put back from the file.
  const std::vector<TDerivedFile> offered = StatesForCell(cell);
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0].path, written);
  EXPECT_EQ(offered[0].label, "ANNOTATIONS");
  ASSERT_TRUE(ApplyStateToCell(cell, written, why)) << why;
  EXPECT_TRUE(SameShapes(store.Get({paths[0], 1}), first));
  EXPECT_TRUE(SameShapes(store.Get({paths[1], 1}), second));
  EXPECT_TRUE(SameShapes(cell.Shapes, first));  // the cell took them up
  EXPECT_DOUBLE_EQ(cell.windowWidth, 400);
  EXPECT_DOUBLE_EQ(cell.windowLevel, 40);
  EXPECT_TRUE(cell.orientation == turned);

  // Sending the images takes the state along; other images do not.
  EXPECT_EQ(DerivedObjectsOf({paths[1]}), std::vector<std::string>{written});
  EXPECT_TRUE(DerivedObjectsOf({dir + "/elsewhere.dcm"}).empty());

  // A file that is not ours, found beside the images, is not offered.
  std::ofstream(dir + "/notes.txt") << "not DICOM";
  ForgetDerivedObjects();
  EXPECT_EQ(StatesForCell(cell).size(), 1u);
}

TEST_F(SaveStates, KeyImageMarksRoundTripThroughAKeyObjectSelection) {
  std::string written, why;
  EXPECT_FALSE(SaveStudyKeyImages(cell, {}, written, why));  // nothing marked yet
  ASSERT_TRUE(ToggleKeyImage(&cell));
  TKeyImageStore& keys = TKeyImageStore::Instance();
  EXPECT_TRUE(keys.IsMarked({paths[0], 1}));
  keys.Set({paths[1], 1}, true);
  keys.Set({"/elsewhere/other.dcm", 1}, true);  // not of this study: left out
  ASSERT_TRUE(SaveStudyKeyImages(cell, {}, written, why)) << why;

  TKeyObjectSelection kos;
  ASSERT_TRUE(ReadKeyObjectSelection(written, kos, why)) << why;
  ASSERT_EQ(kos.images.size(), 2u);
  EXPECT_EQ(kos.title, KeyObjectOfInterest());
  EXPECT_EQ(kos.studyInstanceUid, "1.2.3.4");

  if (testsupport::HavePythonModules("pydicom")) {
    std::ofstream(dir + "/expected.json")
        << R"({"study": "1.2.3.4", "title": ["113000", "DCM", "Of Interest"],)"
        << R"( "images": [")" << kos.images[0].image.sopInstanceUid << R"(", ")"
        << kos.images[1].image.sopInstanceUid << R"("]})";
    std::string out;
    EXPECT_EQ(fixtures::RunCommand("/usr/bin/python3 " + std::string(TAVROLEN_SOURCE_DIR) +
                                       "/tests/cli/state_oracle.py kos " + written + " " + dir +
                                       "/expected.json 2>&1",
                                   &out),
              0)
        << out;
  } else if (testsupport::SamplesRequired()) {
    ADD_FAILURE() << "pydicom is missing";
  }

  keys.Reset();
  ASSERT_TRUE(ToggleKeyImage(&cell));  // marked, and unmarked again
  ASSERT_TRUE(ToggleKeyImage(&cell));
  EXPECT_TRUE(keys.Marked().empty());
  ASSERT_TRUE(FileDerivedObject(written, why)) << why;
  EXPECT_TRUE(keys.IsMarked({paths[0], 1}));
  EXPECT_TRUE(keys.IsMarked({paths[1], 1}));
  EXPECT_EQ(keys.Marked().size(), 2u);
  // A key object selection is no presentation state to offer.
  EXPECT_TRUE(StatesForCell(cell).empty());
}

TEST_F(SaveStates, AReadOnlyFolderIsNamedAndAnotherTakesTheState) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TAnnotationStore::Instance().Put({paths[0], 1}, {Make(STLine, 0, 0, 5, 5)});
  ASSERT_EQ(::chmod(dir.c_str(), 0555), 0);
  std::string written, why;
  EXPECT_FALSE(SaveSeriesAnnotations(cell, {}, written, why));
  ::chmod(dir.c_str(), 0755);
  EXPECT_NE(why.find("read-only"), std::string::npos) << why;
  const std::string other = testsupport::TempDir("save_states_other");
  ASSERT_TRUE(SaveSeriesAnnotations(cell, other, written, why)) << why;
  EXPECT_EQ(written.rfind(other, 0), 0u) << written;
  // Listed though it lies elsewhere.
  EXPECT_EQ(StatesForCell(cell).size(), 1u);
}

// A state and a key object selection name the frames of a multi-frame image;
// they come back on those frames only.
TEST_F(SaveStatesOfFrames, FramesAreReferencedAndComeBackAlone) {
  TAnnotationStore& store = TAnnotationStore::Instance();
  const TShapeArray onSecond = {Make(STRectangle, -10, -10, 10, 5)};
  store.Put({paths[0], 2}, onSecond);
  std::string written, why;
  ASSERT_TRUE(SaveSeriesAnnotations(cell, {}, written, why)) << why;
  TPresentationState ps;
  ASSERT_TRUE(ReadPresentationState(written, ps, why)) << why;
  ASSERT_EQ(ps.annotations.size(), 1u);
  ASSERT_EQ(ps.annotations[0].images.size(), 1u);
  EXPECT_EQ(ps.annotations[0].images[0].frames, std::vector<int32_t>{2});
  store.Reset();
  ASSERT_TRUE(ApplyStateToCell(cell, written, why)) << why;
  EXPECT_TRUE(SameShapes(store.Get({paths[0], 2}), onSecond));
  EXPECT_TRUE(store.Get({paths[0], 1}).empty());
  EXPECT_TRUE(store.Get({paths[0], 3}).empty());
  EXPECT_TRUE(store.Get({paths[1], 2}).empty());

  TKeyImageStore& keys = TKeyImageStore::Instance();
  keys.Set({paths[1], 3}, true);
  ASSERT_TRUE(SaveStudyKeyImages(cell, {}, written, why)) << why;
  TKeyObjectSelection kos;
  ASSERT_TRUE(ReadKeyObjectSelection(written, kos, why)) << why;
  ASSERT_EQ(kos.images.size(), 1u);
  EXPECT_EQ(kos.images[0].image.frames, std::vector<int32_t>{3});
  keys.Reset();
  ASSERT_TRUE(FileDerivedObject(written, why)) << why;
  EXPECT_EQ(keys.Marked(), (std::vector<TAnnotationKey>{{paths[1], 3}}));
}

// The colour state's profile, read by an independent ICC parser (Qt's).
TEST_F(SaveStates, AColourStateCarriesAnSrgbProfile) {
  TSourceInfo source;
  std::string why;
  ASSERT_TRUE(ReadSourceInfo(paths[0], source, why)) << why;
  TPresentationState ps;
  ps.colour = true;
  ps.series = {{"1.2.3.4.5", {{"1.2.840.10008.5.1.4.1.1.7", "1.2.3.4.5.6", {}}}}};
  const std::string out = dir + "/colour.dcm";
  ASSERT_TRUE(WritePresentationState(ps, source, out, why)) << why;
  DcmFileFormat file;
  ASSERT_TRUE(file.loadFile(out.c_str()).good());
  const Uint8* icc = nullptr;
  unsigned long size = 0;
  ASSERT_TRUE(file.getDataset()->findAndGetUint8Array(DCM_ICCProfile, icc, &size).good());
  const QColorSpace space =
      QColorSpace::fromIccProfile(QByteArray(reinterpret_cast<const char*>(icc), qsizetype(size)));
  ASSERT_TRUE(space.isValid());
  EXPECT_EQ(space.primaries(), QColorSpace::Primaries::SRgb);
  EXPECT_NEAR(space.gamma(), 2.2, 0.01);
}

}  // namespace
