// What FactsOf reads from loaded files: orientation, views, padding.
#include <gtest/gtest.h>

#include "dicom/StudyTree.h"
#include "hanging/HangingProtocol.h"
#include "study/Global.h"
#include "study/StudyLoad.h"
#include "support/paths.h"
#include "support/study_writer.h"

namespace {

using studywriter::SeriesSpec;
using studywriter::StudySpec;

void Reset() {
  std::lock_guard lock(gPatientsMutex);
  TGlobal::FreeMemory(gPatients);
}

TEST(HangingFacts, PlanesViewsAndOneSeriesHoldingFourViews) {
  Reset();
  const std::string dir = testsupport::TempDir("hanging_facts");
  StudySpec st;
  SeriesSpec ax, cor, sag, mg;
  ax.number = 1;
  ax.orientation = "axial";
  ax.bodyPart = "CHEST";
  cor.number = 2;
  cor.orientation = "coronal";
  sag.number = 3;
  sag.orientation = "sagittal";
  mg.number = 4;
  mg.modality = "MG";
  mg.orientation = "";
  mg.images = 5;
  // A vendor that stores the four views (and an extra RCC) as one series.
  mg.imageViews = {{"CC", "R"}, {"CC", "L"}, {"MLO", "R"}, {"MLO", "L"}, {"CC", "R"}};
  st.series = {ax, cor, sag, mg};
  studywriter::WriteStudy(dir, st);
  LoadFolder(dir);
  std::lock_guard lock(gPatientsMutex);
  const hanging::TStudyFacts f = hanging::FactsOf(gPatients, 0, 0);
  ASSERT_EQ(f.series.size(), 7u);
  EXPECT_EQ(f.images, 3 * 3 + 5);
  EXPECT_EQ(f.date, "20250601");
  EXPECT_EQ(f.series[0].orientation, hanging::TOrientation::Axial);
  EXPECT_EQ(f.series[0].bodyPart, "CHEST");
  EXPECT_EQ(f.series[1].orientation, hanging::TOrientation::Coronal);
  EXPECT_EQ(f.series[2].orientation, hanging::TOrientation::Sagittal);
  EXPECT_EQ(f.series[3].orientation, hanging::TOrientation::Any);
  // Padded codes are trimmed; the extra RCC joins its view.
  EXPECT_EQ(f.series[3].viewPosition, "CC");
  EXPECT_EQ(f.series[3].laterality, "R");
  EXPECT_EQ(f.series[3].images, 2);
  for (size_t i = 3; i < 7; ++i) EXPECT_EQ(f.series[i].series, 3);
  EXPECT_EQ(f.series[6].viewPosition, "MLO");
  EXPECT_EQ(f.series[6].laterality, "L");

  // The 4-view protocol finds each view in the one series and opens each
  // cell at its image.
  const hanging::TProtocol* fourView = nullptr;
  for (const auto* p : hanging::MatchingProtocols(hanging::BuiltInProtocols(), f, nullptr))
    if (p->name == "Mammography 4-view") fourView = p;
  ASSERT_TRUE(fourView);
  const auto l = hanging::LayOut(*fourView, 0, f, nullptr);
  const TSeries& series = gPatients[0].studies[0].serieses[3];
  std::vector<std::string> shown;
  for (const auto& c : l.cells) {
    const DICOMdata& h = series.images.at(size_t(c.image)).Cache.DICOM;
    shown.push_back(h.Image_Laterality.str().substr(0, 1) + h.View_Position.str().substr(0, 2));
  }
  EXPECT_EQ(shown, (std::vector<std::string>{"RCC", "LCC", "RML", "LML"}));
  EXPECT_TRUE(hanging::FactsOf(gPatients, 0, 5).series.empty());
}

TEST(HangingFacts, AScoutIsNoStackInItsPlane) {
  Reset();
  const std::string dir = testsupport::TempDir("hanging_scout");
  StudySpec st;
  SeriesSpec scout, ax;
  scout.number = 1;
  scout.orientation = "coronal";
  scout.images = 1;
  scout.imageType = "ORIGINAL\\PRIMARY\\LOCALIZER";
  ax.number = 2;
  st.series = {scout, ax};
  studywriter::WriteStudy(dir, st);
  LoadFolder(dir);
  std::lock_guard lock(gPatientsMutex);
  const hanging::TStudyFacts f = hanging::FactsOf(gPatients, 0, 0);
  ASSERT_EQ(f.series.size(), 2u);
  EXPECT_EQ(f.series[0].orientation, hanging::TOrientation::Any);
  const auto m = hanging::MatchingProtocols(hanging::BuiltInProtocols(), f, nullptr);
  ASSERT_FALSE(m.empty());
  ASSERT_EQ(m.front()->name, "CT");
  // The axial stage takes the stack; the planes stage leaves coronal empty.
  EXPECT_EQ(hanging::LayOut(*m.front(), 0, f, nullptr).cells.at(0).series, 1);
  const auto planes = hanging::LayOut(*m.front(), 1, f, nullptr);
  for (const auto& c : planes.cells) EXPECT_NE(c.series, 0);
}

TEST(HangingFacts, AMammogramWithoutViewAttributesIsPlacedByItsDescription) {
  Reset();
  const std::string dir = testsupport::TempDir("hanging_facts_described");
  StudySpec st;
  int n = 0;
  for (const char* d : {"R CC", "LCC", "Right MLO", "L MLO tomo"}) {
    SeriesSpec s;
    s.modality = "MG";
    s.orientation = "";
    s.images = 1;
    s.number = ++n;
    s.description = d;
    st.series.push_back(s);
  }
  studywriter::WriteStudy(dir, st);
  LoadFolder(dir);
  std::lock_guard lock(gPatientsMutex);
  const hanging::TStudyFacts f = hanging::FactsOf(gPatients, 0, 0);
  std::vector<std::string> views;
  for (const auto& s : f.series) views.push_back(s.laterality + s.viewPosition);
  EXPECT_EQ(views, (std::vector<std::string>{"RCC", "LCC", "RMLO", "LMLO"}));
  const auto m = hanging::MatchingProtocols(hanging::BuiltInProtocols(), f, nullptr);
  ASSERT_FALSE(m.empty());
  EXPECT_EQ(m.front()->name, "Mammography 4-view");
}

}  // namespace
