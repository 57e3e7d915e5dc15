// tavrolen-dicom hang: the protocol and layout for synthetic studies, as a
// script would read them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/fixtures.h"
#include "support/paths.h"
#include "support/study_writer.h"

namespace {

using studywriter::SeriesSpec;
using studywriter::StudySpec;

const std::string kTool = TAVROLEN_DICOM_TOOL;

class Hang : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testsupport::TempDir(
        "cli_hang_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    // The user's own protocols never leak in (nor out).
    std::filesystem::create_directories(dir_ + "/config");
  }
  // Runs hang with its stdout in out and stderr in err; returns the status.
  int Run(const std::string& args) {
    return fixtures::RunCommand("XDG_CONFIG_HOME='" + dir_ + "/config' '" + kTool + "' hang " +
                                args + " > '" + dir_ + "/out' 2> '" + dir_ + "/err'");
  }
  std::string Py(const std::string& expr) {
    std::string out;
    fixtures::RunCommand("python3 -c \"import json,sys; d=json.load(open('" + dir_ +
                             "/out')); print(" + expr + ")\"",
                         &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_;
};

SeriesSpec Mammo(int number, const std::string& view, const std::string& lat) {
  SeriesSpec s;
  s.modality = "MG";
  s.orientation = "";
  s.images = 1;
  s.number = number;
  s.viewPosition = view;
  s.laterality = lat;
  s.description = lat + " " + view;
  return s;
}

TEST_F(Hang, MammographyWithPriorIsLaidOutMirrored) {
  StudySpec cur;
  cur.date = "20250601";
  // Not in hanging order: the protocol puts them in place.
  cur.series = {Mammo(1, "MLO", "L"), Mammo(2, "CC", "L"), Mammo(3, "MLO", "R"),
                Mammo(4, "CC", "R")};
  StudySpec old = cur;
  old.date = "20240601";
  studywriter::WriteStudy(dir_ + "/data", cur);
  studywriter::WriteStudy(dir_ + "/data", old);
  ASSERT_EQ(Run("'" + dir_ + "/data' --json"), 0) << Read("err");
  EXPECT_EQ(Py("d['protocol']['name']"), "Mammography 4-view with prior");
  EXPECT_EQ(Py("d['protocol']['source']"), "built-in");
  EXPECT_EQ(Py("(d['rows'], d['cols'], d['stage'], d['stageCount'])"), "(2, 2, 1, 3)");
  EXPECT_EQ(Py("[(c['row'], c['col'], c['role'], c['laterality'], c['viewPosition'], c['align']) "
               "for c in d['cells']]"),
            "[(1, 1, 'current', 'R', 'CC', 'right'), (1, 2, 'current', 'L', 'CC', 'left'), "
            "(2, 1, 'prior', 'R', 'CC', 'right'), (2, 2, 'prior', 'L', 'CC', 'left')]");
  const std::string curUid = studywriter::StudyUidOf(cur), oldUid = studywriter::StudyUidOf(old);
  EXPECT_EQ(Py("[c['studyUid'] for c in d['cells']]"),
            "['" + curUid + "', '" + curUid + "', '" + oldUid + "', '" + oldUid + "']");
  EXPECT_EQ(Py("d['cells'][0]['seriesUid']"), studywriter::SeriesUidOf(cur, cur.series[3]));
  EXPECT_EQ(Py("d['problems']"), "[]");

  // The second stage and the text form.
  ASSERT_EQ(Run("'" + dir_ + "/data' --stage 2"), 0);
  const std::string text = Read("out");
  EXPECT_NE(text.find("Protocol: Mammography 4-view with prior (built-in)"), std::string::npos)
      << text;
  EXPECT_NE(text.find("Stage 2 of 3: MLO, current over prior"), std::string::npos) << text;
  EXPECT_NE(text.find("Cell 1,1: current  series " + studywriter::SeriesUidOf(cur, cur.series[2])),
            std::string::npos)
      << text;
  EXPECT_EQ(Run("'" + dir_ + "/data' --stage 4"), 2);
}

TEST_F(Hang, NoProtocolFallsBackToTheFirstSeriesAndAPartlyMatchingPriorWarns) {
  StudySpec cur;
  SeriesSpec pa;
  pa.modality = "CR";
  pa.orientation = "";
  pa.images = 1;
  pa.viewPosition = "PA";
  pa.bodyPart = "CHEST";
  cur.series = {pa};
  StudySpec other = cur;
  other.patientId = "OTHER-ID";
  other.date = "20200101";
  studywriter::WriteStudy(dir_ + "/a", cur);
  studywriter::WriteStudy(dir_ + "/b", other);
  ASSERT_EQ(Run("'" + dir_ + "/a' '" + dir_ + "/b' --json"), 0) << Read("err");
  EXPECT_EQ(Py("d['protocol']"), "None");
  EXPECT_EQ(Py("(d['rows'], d['cols'], len(d['cells']), d['cells'][0]['seriesUid'])"),
            "(1, 1, 1, '" + studywriter::SeriesUidOf(cur, pa) + "')");
  EXPECT_EQ(Py("d['prior']['identity']"), "otherId");
  EXPECT_EQ(Py("d['prior']['warning']"), "Other patient ID: same name only");
  EXPECT_NE(Read("err").find("Other patient ID"), std::string::npos);
}

TEST_F(Hang, AProtocolFileReplacesTheUsersAndItsProblemsAreReportedOnce) {
  StudySpec ct;
  SeriesSpec s;
  s.description = "Thorax 1mm";
  ct.series = {s};
  studywriter::WriteStudy(dir_ + "/ct", ct);
  std::filesystem::create_directories(dir_ + "/config/tavrolen-viewer");
  std::ofstream(dir_ + "/config/tavrolen-viewer/hanging-protocols.json")
      << R"({"protocols": [{"name": "Users CT", "match": {"modality": "CT"},
           "stages": [{"cells": [{"modality": "CT", "preset": "Bone"}]}]}]})";
  ASSERT_EQ(Run("'" + dir_ + "/ct' --json"), 0) << Read("err");
  EXPECT_EQ(Py("(d['protocol']['name'], d['cells'][0]['preset'])"), "('Users CT', 'Bone')");

  std::ofstream(dir_ + "/mine.json")
      << "{\"protocols\": [\n"
         "  {\"name\": \"Thorax\", \"match\": {\"modality\": \"CT\", \"seriesDescription\": "
         "\"thorax\"},\n"
         "   \"stages\": [{\"rows\": 1, \"cols\": 2, \"cells\": [{\"preset\": \"Lung\", \"links\": "
         "[\"window\"]}, {\"fit\": \"1:1\"}]}]},\n"
         "  {\"name\": \"Broken\", \"stages\": [{\"cells\": [{\"description\": \"(\"}]}]},\n"
         "  {\"name\": \"Syntax\" \"stages\": []}\n"
         "]}\n";
  ASSERT_EQ(Run("'" + dir_ + "/ct' --protocols '" + dir_ + "/mine.json' --json"), 0);
  EXPECT_EQ(Py("d['protocol']['name']"), "Thorax");
  EXPECT_EQ(Py("[(c['preset'], c['links'], c['fit']) for c in d['cells']]"),
            "[('Lung', ['window'], 'fit'), ('', [], '1:1')]");
  EXPECT_EQ(Py("[(p['line'], p['file'] == '" + dir_ + "/mine.json') for p in d['problems']]"),
            "[(4, True), (5, True)]");
  const std::string err = Read("err");
  EXPECT_NE(err.find(dir_ + "/mine.json:4: "), std::string::npos) << err;
  EXPECT_EQ(err.find(dir_ + "/mine.json:4: "), err.rfind(dir_ + "/mine.json:4: ")) << err;

  EXPECT_EQ(Run("'" + dir_ + "/ct' --protocols '" + dir_ + "/missing.json'"), 1);
  EXPECT_EQ(Run("'" + dir_ + "/nothing'"), 1);
  EXPECT_EQ(Run(""), 2);
}

TEST_F(Hang, BuiltInsArePrintedAsTheDocumentedJson) {
  ASSERT_EQ(Run("--built-ins"), 0);
  EXPECT_EQ(Py("[p['name'] for p in d['protocols']][:2]"), "['CT', 'CT with prior']");
}

}  // namespace
