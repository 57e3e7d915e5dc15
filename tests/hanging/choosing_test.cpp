// Which protocol a study gets, and the cells it fills.
#include <gtest/gtest.h>

#include <string>

#include "facts.h"
#include "hanging/HangingProtocol.h"

namespace {

using hanging::TAlign;
using hanging::TOrientation;
using hanging::TRole;
using hanging::TStudyFacts;
using hangtest::Series;
using hangtest::Study;

std::string Best(const hanging::TProtocolSet& set, const TStudyFacts& current,
                 const TStudyFacts* prior = nullptr) {
  const auto m = hanging::MatchingProtocols(set, current, prior);
  return m.empty() ? "" : m.front()->name;
}
std::string Best(const TStudyFacts& current, const TStudyFacts* prior = nullptr) {
  return Best(hanging::BuiltInProtocols(), current, prior);
}

TEST(BuiltIns, ParseWithoutProblems) {
  const auto& set = hanging::BuiltInProtocols();
  for (const auto& p : set.problems) ADD_FAILURE() << hanging::ProblemText(p);
  EXPECT_GE(set.protocols.size(), 9u);
  for (const auto& p : set.protocols) {
    EXPECT_EQ(p.source, "built-in");
    EXPECT_FALSE(p.stages.empty()) << p.name;
  }
}

TEST(BuiltIns, CrossSectionalStudiesWithAndWithoutPrior) {
  const TStudyFacts ct = Study(1, {Series("CT").Orient(TOrientation::Sagittal).Desc("Scout"),
                                   Series("CT").Orient(TOrientation::Axial).Images(120)});
  const TStudyFacts ctPrior = Study(0, {Series("CT").Orient(TOrientation::Axial).Images(100)});
  const TStudyFacts mr = Study(1, {Series("MR").Orient(TOrientation::Axial).Desc("T2 TSE"),
                                   Series("MR").Orient(TOrientation::Axial).Desc("T1 SE")});
  const TStudyFacts mrPrior = Study(0, {Series("MR").Orient(TOrientation::Axial).Desc("T2 TSE")});
  EXPECT_EQ(Best(ct), "CT");
  EXPECT_EQ(Best(ct, &ctPrior), "CT with prior");
  EXPECT_EQ(Best(mr), "MR");
  EXPECT_EQ(Best(mr, &mrPrior), "MR with prior");
  // Near misses: an MR prior is no CT comparison; a CT with only a scout has no axial stack.
  EXPECT_EQ(Best(ct, &mrPrior), "CT");
  EXPECT_EQ(Best(Study(1, {Series("CT").Orient(TOrientation::Sagittal)})), "");
  // The scout is passed over for the axial stack; the prior sits beside it.
  const auto m = hanging::MatchingProtocols(hanging::BuiltInProtocols(), ct, &ctPrior);
  const auto l = hanging::LayOut(*m.front(), 0, ct, &ctPrior);
  ASSERT_EQ(l.cells.size(), 2u);
  EXPECT_EQ(l.cells[0].series, 1);
  EXPECT_EQ(l.cells[1].role, TRole::Prior);
  EXPECT_EQ(l.cells[1].study, 0);
  EXPECT_EQ(l.cells[1].links, (std::vector<std::string>{"scroll", "window", "zoom"}));
}

TEST(BuiltIns, ChestNeedsBothViews) {
  auto pa = Series("CR").View("PA", "").Body("CHEST");
  auto lat = Series("CR").View("LL", "").Body("CHEST");
  const TStudyFacts chest = Study(1, {pa, lat});
  const TStudyFacts prior = Study(0, {Series("DX").View("PA", "").Body("CHEST")});
  EXPECT_EQ(Best(chest), "Chest X-ray PA and lateral");
  EXPECT_EQ(Best(chest, &prior), "Chest X-ray PA and lateral with prior");
  EXPECT_EQ(Best(Study(1, {pa})), "");
  EXPECT_EQ(Best(Study(1, {pa}), &prior), "");
  EXPECT_EQ(Best(Study(1, {Series("CR").View("PA", "").Body("KNEE"),
                           Series("CR").View("LL", "").Body("KNEE")})),
            "");
  const auto l = hanging::LayOut(
      *hanging::MatchingProtocols(hanging::BuiltInProtocols(), chest, &prior).front(), 0, chest,
      &prior);
  ASSERT_EQ(l.cells.size(), 4u);
  EXPECT_EQ(l.cells[0].series, 0);
  EXPECT_EQ(l.cells[1].series, 1);
  EXPECT_EQ(l.cells[2].study, 0);
  EXPECT_TRUE(l.cells[3].empty);  // the prior had no lateral
}

TEST(BuiltIns, MammographyFourViewWithPriorHangsMirrored) {
  auto views = [](int study) {
    return Study(study, {Series("MG").View("CC", "L"), Series("MG").View("MLO", "R"),
                         Series("MG").View("CC", "R"), Series("MG").View("MLO", "L")});
  };
  const TStudyFacts current = views(1), prior = views(0);
  EXPECT_EQ(Best(current), "Mammography 4-view");
  EXPECT_EQ(Best(current, &prior), "Mammography 4-view with prior");
  const TStudyFacts three = Study(1, {Series("MG").View("CC", "L"), Series("MG").View("MLO", "R"),
                                      Series("MG").View("CC", "R")});
  EXPECT_EQ(Best(three), "");
  EXPECT_EQ(Best(three, &prior), "");

  const auto* p = hanging::MatchingProtocols(hanging::BuiltInProtocols(), current, &prior).front();
  const auto l = hanging::LayOut(*p, 0, current, &prior);
  ASSERT_EQ(l.rows, 2);
  ASSERT_EQ(l.cols, 2);
  // Right breast in the left column facing right, left breast in the right
  // column facing left; the prior in the row below.
  const auto& rcc = l.cells[0];
  const auto& lcc = l.cells[1];
  EXPECT_EQ(rcc.laterality, "R");
  EXPECT_EQ(rcc.viewPosition, "CC");
  EXPECT_EQ(rcc.align, TAlign::Right);
  EXPECT_EQ(rcc.role, TRole::Current);
  EXPECT_EQ(lcc.laterality, "L");
  EXPECT_EQ(lcc.align, TAlign::Left);
  EXPECT_EQ(l.cells[2].row, 1);
  EXPECT_EQ(l.cells[2].role, TRole::Prior);
  EXPECT_EQ(l.cells[2].laterality, "R");
  EXPECT_EQ(l.cells[2].align, TAlign::Right);
  EXPECT_EQ(l.cells[3].laterality, "L");
  EXPECT_EQ(l.cells[3].study, 0);
  EXPECT_EQ(l.stageCount, 3);
}

TEST(BuiltIns, UltrasoundGridFollowsTheImages) {
  const TStudyFacts four = Study(1, {Series("US"), Series("US"), Series("US"), Series("US")});
  EXPECT_EQ(Best(four), "Ultrasound");
  EXPECT_EQ(Best(Study(1, {Series("US"), Series("US")})), "Ultrasound, two images");
  EXPECT_EQ(Best(Study(1, {Series("US")})), "");
  const auto l = hanging::LayOut(
      *hanging::MatchingProtocols(hanging::BuiltInProtocols(), four, nullptr)[0], 0, four, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(l.cells[static_cast<size_t>(i)].series, i);
}

TEST(Choosing, UserProtocolsOverrideAndOutrankBuiltIns) {
  hanging::TProtocolSet user = hanging::ParseProtocols(R"({"protocols": [
    {"name": "ct", "match": {"modality": "CT"},
     "stages": [{"cells": [{"modality": "CT", "preset": "Lung"}]}]},
    {"name": "CT chest", "match": {"modality": "CT", "bodyPart": "chest"},
     "stages": [{"cells": [{"modality": "CT", "preset": "Mediastinum/Chest"}]}]}
  ]})",
                                                       "user.json");
  ASSERT_TRUE(user.problems.empty()) << hanging::ProblemText(user.problems.front());
  hanging::TProtocolSet set = user;
  for (const auto& p : hanging::BuiltInProtocols().protocols)
    if (p.name != "CT") set.protocols.push_back(p);
  const TStudyFacts abdomen = Study(1, {Series("CT").Orient(TOrientation::Axial).Body("ABDOMEN")});
  const TStudyFacts chest = Study(1, {Series("CT").Orient(TOrientation::Axial).Body("CHEST ")});
  EXPECT_EQ(Best(set, abdomen), "ct");
  EXPECT_EQ(Best(set, chest), "CT chest");
  EXPECT_EQ(hanging::LayOut(*hanging::MatchingProtocols(set, chest, nullptr)[0], 0, chest, nullptr)
                .cells[0]
                .preset,
            "Mediastinum/Chest");
}

TEST(Choosing, ASeriesIsShownTwiceOnlyWhenNothingElseFits) {
  const auto set = hanging::ParseProtocols(R"({"protocols": [{"name": "p", "stages": [
    {"rows": 1, "cols": 3, "cells": [{"modality": "CT"}, {"modality": "MR"}, {"modality": "CT"}]}]}]})",
                                           "t");
  const TStudyFacts s = Study(1, {Series("CT")});
  const auto l = hanging::LayOut(set.protocols.at(0), 0, s, nullptr);
  ASSERT_EQ(l.cells.size(), 3u);
  EXPECT_EQ(l.cells[0].series, 0);
  EXPECT_TRUE(l.cells[1].empty);
  EXPECT_EQ(l.cells[2].series, 0);
}

TEST(Choosing, AStackIsShownTwiceOnlyUnderAnotherPresetAndEmptyEndsAreTrimmed) {
  const auto set = hanging::ParseProtocols(R"({"protocols": [{"name": "p", "stages": [
    {"rows": 2, "cols": 3, "cells": [
      {"modality": "CT", "preset": "Lung"}, {"modality": "CT", "preset": "Lung"},
      {"modality": "CT", "preset": "Bone"}, {"modality": "MR"}, {"modality": "CT", "preset": "Bone"}]},
    {"rows": 2, "cols": 2, "cells": [null, {"modality": "CT"}, null, null]}]}]})",
                                           "t");
  ASSERT_TRUE(set.problems.empty()) << hanging::ProblemText(set.problems.front());
  const TStudyFacts s = Study(1, {Series("CT").Orient(TOrientation::Axial).Images(40)});
  const auto l = hanging::LayOut(set.protocols.at(0), 0, s, nullptr);
  // The same slices under the same window say nothing new; under Bone they do.
  // The second row holds nothing then, and goes: the rest keep their places.
  ASSERT_EQ(l.rows, 1);
  ASSERT_EQ(l.cols, 3);
  EXPECT_EQ(l.cells[0].series, 0);
  EXPECT_TRUE(l.cells[1].empty);
  EXPECT_EQ(l.cells[2].series, 0);
  EXPECT_EQ(l.cells[2].preset, "Bone");
  EXPECT_EQ(l.cells[2].col, 2);
  // An empty place before a filled one stays: only the ends are trimmed.
  const auto second = hanging::LayOut(set.protocols.at(0), 1, s, nullptr);
  EXPECT_EQ(second.rows, 1);
  EXPECT_EQ(second.cols, 2);
  EXPECT_TRUE(second.cells[0].empty);
  EXPECT_EQ(second.cells[1].series, 0);
}

TEST(Choosing, APriorCellTakesTheSeriesDescribedLikeItsCounterpart) {
  const TStudyFacts mr = Study(1, {Series("MR").Orient(TOrientation::Axial).Desc("T2 TSE"),
                                   Series("MR").Orient(TOrientation::Axial).Desc("T1 SE")});
  const TStudyFacts prior = Study(0, {Series("MR").Orient(TOrientation::Axial).Desc("DWI"),
                                      Series("MR").Orient(TOrientation::Axial).Desc("t1 se"),
                                      Series("MR").Orient(TOrientation::Axial).Desc("T2 TSE")});
  const auto m = hanging::MatchingProtocols(hanging::BuiltInProtocols(), mr, &prior);
  ASSERT_EQ(m.front()->name, "MR with prior");
  const auto l = hanging::LayOut(*m.front(), 0, mr, &prior);
  EXPECT_EQ(l.cells[0].seriesDescription, "T2 TSE");
  EXPECT_EQ(l.cells[1].seriesDescription, "T2 TSE");
  EXPECT_EQ(l.cells[1].study, 0);
  EXPECT_EQ(l.cells[2].seriesDescription, "T1 SE");
  EXPECT_EQ(l.cells[3].seriesDescription, "t1 se");
}

TEST(Choosing, ALayoutSavedAsAProtocolLaysOutTheSameSeriesAgain) {
  const TStudyFacts chest =
      Study(1, {Series("CR").View("PA", "").Body("CHEST").Desc("PA (1+2)"),
                Series("CR").View("LL", "").Body("CHEST").Desc("Lateral [left]")});
  const TStudyFacts prior = Study(0, {Series("CR").View("PA", "").Body("CHEST").Desc("PA (1+2)")});
  const auto m = hanging::MatchingProtocols(hanging::BuiltInProtocols(), chest, &prior);
  ASSERT_FALSE(m.empty());
  hanging::TLayout l = hanging::LayOut(*m.front(), 0, chest, &prior);
  // As the user left it: the lateral first, a preset and 1:1 on it.
  std::swap(l.cells[0], l.cells[1]);
  l.cells[0].preset = "Bone";
  l.cells[0].fit = hanging::TFit::OneToOne;
  const std::string json = hanging::ProtocolJsonOf(l, "My \"chest\"", chest);
  const auto set = hanging::ParseProtocols("{\"protocols\": [" + json + "]}", "saved");
  ASSERT_TRUE(set.problems.empty()) << hanging::ProblemText(set.problems.front()) << json;
  ASSERT_EQ(set.protocols.size(), 1u);
  EXPECT_EQ(set.protocols[0].name, "My \"chest\"");
  EXPECT_EQ(Best(set, chest, &prior), "My \"chest\"");
  EXPECT_EQ(Best(set, chest), "");  // it was saved with the prior in it
  const auto again = hanging::LayOut(set.protocols[0], 0, chest, &prior);
  ASSERT_EQ(again.cells.size(), l.cells.size());
  for (size_t i = 0; i < l.cells.size(); ++i) {
    EXPECT_EQ(again.cells[i].empty, l.cells[i].empty) << i;
    EXPECT_EQ(again.cells[i].study, l.cells[i].study) << i;
    EXPECT_EQ(again.cells[i].series, l.cells[i].series) << i;
    EXPECT_EQ(again.cells[i].preset, l.cells[i].preset) << i;
    EXPECT_EQ(again.cells[i].fit, l.cells[i].fit) << i;
  }
}

}  // namespace
