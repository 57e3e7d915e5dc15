// Structured reports read into the content tree: the SR samples that ship
// with pydicom, a measurement report written by pydicom (numbers with units,
// codes, an image with coordinates on it), and reports that are damaged or
// refer to what they do not hold.
#include <dcmtk/oflog/oflog.h>
#include <gtest/gtest.h>

#include <dcmtk/dcmdata/dctk.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "reports/StructuredReport.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace {

using reports::TSrDocument;
using reports::TSrNode;

const std::string kCtUid = "1.2.826.0.1.3680043.8.498.101.1";

class Reports : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The reader notes what it reads leniently; DCMTK's log would repeat it.
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    dir_ = testsupport::TempDir("reports_fixtures");
    std::string out;
    written_ = testsupport::HavePythonModules("pydicom, numpy") &&
               fixtures::RunCommand("/usr/bin/python3 '" + std::string(TAVROLEN_SOURCE_DIR) +
                                        "/tests/reports/sr_fixtures.py' '" + dir_ + "' 2>&1",
                                    &out) == 0;
    if (!written_) std::fprintf(stderr, "%s\n", out.c_str());
  }
  void SetUp() override {
    ASSERT_TRUE(written_) << "/usr/bin/python3 with pydicom and numpy writes the fixtures";
  }
  static TSrDocument Read(const std::string& name) {
    TSrDocument doc;
    std::string why;
    EXPECT_TRUE(reports::ReadReport(dir_ + "/" + name, doc, why)) << name << ": " << why;
    return doc;
  }
  static const TSrNode* Find(const TSrDocument& doc, const std::string& meaning) {
    for (const TSrNode& n : doc.nodes)
      if (n.conceptName.meaning == meaning) return &n;
    return nullptr;
  }
  static bool HasNote(const TSrDocument& doc, const std::string& part) {
    return std::any_of(doc.notes.begin(), doc.notes.end(),
                       [&](const std::string& n) { return n.find(part) != std::string::npos; });
  }
  static inline std::string dir_;
  static inline bool written_ = false;
};

// One row per sample: what its header and tree must read as.
struct SampleRow {
  const char* file;
  const char* className;
  const char* title;
  size_t items;
  size_t notes;  // items DCMTK found invalid, each named
};

// The SOP class of a file, from its first bytes; empty when it has none.
std::string SopClassOf(const std::string& path) {
  DcmFileFormat file;
  if (file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 256).bad()) return {};
  OFString uid;
  file.getDataset()->findAndGetOFString(DCM_SOPClassUID, uid);
  return uid.c_str();
}

TEST(ReportSamples, EverySrSampleOfPydicomReadsAndRenders) {
  REQUIRE_SAMPLES();
  OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
  const SampleRow rows[] = {
      {"test-SR.dcm", "Comprehensive SR", "Diagnosis", 29, 0},
      {"reportsi.dcm", "Basic Text SR", "Document Title", 9, 2},
      {"reportsi_with_empty_number_tags.dcm", "Basic Text SR", "Document Title", 9, 2},
  };
  // Every report among the samples has its row: a new one cannot go unread.
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(testsupport::SampleDir())) {
    if (!entry.is_regular_file() || !reports::IsReportClass(SopClassOf(entry.path().string())))
      continue;
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(std::any_of(std::begin(rows), std::end(rows),
                            [&](const SampleRow& r) { return name == r.file; }))
        << name << " is a structured report without a row";
  }
  for (const SampleRow& row : rows) {
    SCOPED_TRACE(row.file);
    REQUIRE_SAMPLE(row.file);
    TSrDocument doc;
    std::string why;
    ASSERT_TRUE(reports::ReadReport(testsupport::SamplePath(row.file), doc, why)) << why;
    EXPECT_EQ(doc.className, row.className);
    EXPECT_EQ(doc.title.meaning, row.title);
    EXPECT_EQ(doc.nodes.size(), row.items);
    EXPECT_EQ(doc.notes.size(), row.notes);
    const std::string html = reports::ReportHtml(doc);
    EXPECT_NE(html.find("<h1>" + std::string(row.title) + "</h1>"), std::string::npos);
    EXPECT_FALSE(reports::ReportText(doc).empty());
  }
}

TEST(ReportSamples, ComprehensiveSampleKeepsTextCodesAndReferences) {
  REQUIRE_SAMPLE("test-SR.dcm");
  TSrDocument doc;
  std::string why;
  ASSERT_TRUE(reports::ReadReport(testsupport::SamplePath("test-SR.dcm"), doc, why)) << why;
  // Latin-1 names decoded; verifiers in the order written.
  ASSERT_EQ(doc.verifiers.size(), 2u);
  EXPECT_EQ(doc.verifiers[0].name, "Riesmeier J\xc3\xb6rg");
  EXPECT_EQ(doc.completionFlag, "COMPLETE");
  EXPECT_EQ(doc.verificationFlag, "VERIFIED");
  // Line breaks of every convention become one.
  EXPECT_EQ(doc.nodes[13].position, "1.3");
  EXPECT_EQ(doc.nodes[13].text, "Sample Text\nA\nB\nC");
  const TSrNode& image = doc.nodes[22];
  EXPECT_EQ(image.valueType, "IMAGE");
  EXPECT_EQ(image.frames, (std::vector<int32_t>{5, 2}));
  EXPECT_EQ(image.presentationInstanceUid, "1.2.3.5.6.7");
  // The by-reference items point at items the report holds.
  int references = 0;
  for (const TSrNode& n : doc.nodes)
    if (n.valueType == "BYREF") {
      ++references;
      ASSERT_GE(n.targetNode, 0) << n.position;
      EXPECT_EQ(doc.nodes[size_t(n.targetNode)].position, n.target);
    }
  EXPECT_EQ(references, 2);
}

TEST_F(Reports, MeasurementReportReadsNumbersCodesAndCoordinates) {
  const TSrDocument doc = Read("tid1500.dcm");
  EXPECT_EQ(doc.title.value, "126000");
  EXPECT_EQ(doc.patientName, "M\xc3\xbcller Anna");
  const TSrNode* axis = Find(doc, "Long Axis");
  ASSERT_NE(axis, nullptr);
  EXPECT_EQ(axis->number, "12.5");
  EXPECT_EQ(axis->code.value, "mm");
  EXPECT_EQ(axis->text, "12.5 mm");
  const TSrNode* volume = Find(doc, "Volume");
  ASSERT_NE(volume, nullptr);
  EXPECT_TRUE(volume->number.empty());
  EXPECT_EQ(volume->text, "Measurement failure");
  const TSrNode* finding = Find(doc, "Finding");
  ASSERT_NE(finding, nullptr);
  EXPECT_EQ(finding->text, "Lesion");
  EXPECT_EQ(Find(doc, "Person Observer Name")->text, "\xc3\x85str\xc3\xb6m Eva");
  EXPECT_EQ(Find(doc, "Study Date")->raw, "20261201");
  EXPECT_EQ(Find(doc, "Study Time")->text, "10:15:00");

  // The polyline under the long axis, selected from frame 2 of the CT.
  ASSERT_EQ(axis->children.size(), 1u);
  const int scoord = axis->children[0];
  const TSrNode& s = doc.nodes[size_t(scoord)];
  EXPECT_EQ(s.graphicType, "POLYLINE");
  EXPECT_EQ(s.points, (std::vector<double>{1.5, 2.5, 6.5, 4.5}));
  const int image = reports::SelectedImage(doc, scoord);
  ASSERT_GE(image, 0);
  EXPECT_EQ(doc.nodes[size_t(image)].sopInstanceUid, kCtUid);

  const auto shapes = reports::ShapesOnImage(doc, kCtUid, 2);
  ASSERT_EQ(shapes.size(), 1u);
  EXPECT_EQ(shapes[0].label, "Long Axis: 12.5 mm");
  EXPECT_TRUE(reports::ShapesOnImage(doc, kCtUid, 1).empty()) << "drawn on frame 2 only";
  EXPECT_TRUE(reports::ShapesOnImage(doc, "1.2.3", 2).empty());
  EXPECT_TRUE(doc.notes.empty());
}

TEST_F(Reports, HtmlEscapesTextAndLinksImagesAndCoordinates) {
  const TSrDocument doc = Read("tid1500.dcm");
  const std::string html = reports::ReportHtml(doc);
  EXPECT_NE(html.find("Lesion &lt;1&gt; &amp; &quot;friends&quot;"), std::string::npos);
  EXPECT_EQ(html.find("<1>"), std::string::npos);
  EXPECT_NE(html.find("<h3>Observation context</h3>"), std::string::npos);
  const TSrNode* axis = Find(doc, "Long Axis");
  const int scoord = axis->children[0];
  EXPECT_NE(html.find("href=\"sr-node:" + std::to_string(scoord) + "\""), std::string::npos);
  EXPECT_NE(html.find("href=\"sr-node:" + std::to_string(reports::SelectedImage(doc, scoord))),
            std::string::npos);
}

TEST_F(Reports, ReferencesThatLoopOrPointNowhereAreNotedNotFollowed) {
  const TSrDocument loop = Read("loop.dcm");
  ASSERT_EQ(loop.nodes.size(), 3u);
  EXPECT_EQ(loop.nodes[2].valueType, "BYREF");
  EXPECT_EQ(loop.nodes[2].targetNode, 0);
  EXPECT_TRUE(HasNote(loop, "refers back to item 1, which contains it"));
  EXPECT_FALSE(reports::ReportHtml(loop).empty());

  const TSrDocument nowhere = Read("nowhere.dcm");
  const TSrNode& ref = nowhere.nodes[2];
  EXPECT_EQ(ref.target, "1.9.9");
  EXPECT_EQ(ref.targetNode, -1);
  EXPECT_TRUE(HasNote(nowhere, "refers to item 1.9.9, which the report does not hold"));
  // An image that is not at hand is an ordinary reference.
  EXPECT_EQ(nowhere.nodes[3].sopInstanceUid, "1.2.826.0.1.3680043.8.498.999");

  // What the toolkit cannot read is counted, not silently lost.
  const TSrDocument odd = Read("odd_item.dcm");
  EXPECT_FALSE(odd.nodes.empty());
  EXPECT_TRUE(HasNote(odd, std::to_string(4 - odd.nodes.size()) +
                               " content item(s) could not be read and are left out"));
}

TEST_F(Reports, DamagedOrForeignInputIsRefusedWithOneReason) {
  TSrDocument doc;
  std::string why;
  EXPECT_FALSE(reports::ReadReport(dir_ + "/deep.dcm", doc, why));
  EXPECT_NE(why.find("nest deeper than"), std::string::npos) << why;
  EXPECT_FALSE(reports::ReadReport(dir_ + "/ct.dcm", doc, why));
  EXPECT_NE(why.find("not a structured report"), std::string::npos) << why;
  EXPECT_FALSE(reports::ReadReport(dir_ + "/missing.dcm", doc, why));
  const fixtures::Bytes text = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_FALSE(reports::ReadReportBytes(text.data(), text.size(), doc, why));

  // Every truncation of a report is read or refused, never more.
  const fixtures::Bytes whole = fixtures::ReadFile(dir_ + "/tid1500.dcm");
  int read = 0;
  for (size_t size = 0; size < whole.size(); size += 7) {
    if (reports::ReadReportBytes(whole.data(), size, doc, why)) {
      ++read;
      EXPECT_LE(doc.nodes.size(), 14u);
    } else {
      EXPECT_FALSE(why.empty());
    }
  }
  EXPECT_LT(read, int(whole.size() / 7));
}

TEST_F(Reports, DoseReportReadsItsUnitsAndOffsetDateTime) {
  const TSrDocument doc = Read("dose.dcm");
  EXPECT_EQ(doc.className, "X-Ray Radiation Dose SR");
  EXPECT_EQ(Find(doc, "Mean CTDIvol")->text, "55.2 mGy");
  EXPECT_EQ(Find(doc, "DLP")->text, "432.1 mGy.cm");
  EXPECT_EQ(Find(doc, "DLP")->depth, 3);
  EXPECT_EQ(Find(doc, "Start of X-Ray Irradiation")->text, "01/12/2026 10:15:02.25 UTC+0100");
  EXPECT_EQ(Find(doc, "Procedure reported")->relationship, "HAS CONCEPT MOD");
  EXPECT_TRUE(doc.notes.empty());
}

TEST_F(Reports, UnknownReportClassIsReadAsTheWidestKnownOne) {
  const TSrDocument doc = Read("unknown_class.dcm");
  EXPECT_EQ(doc.sopClassUid, "1.2.840.10008.5.1.4.1.1.88.990");
  EXPECT_EQ(doc.readAs, "Comprehensive 3D SR");
  ASSERT_EQ(doc.nodes.size(), 2u);
  EXPECT_EQ(doc.nodes[1].text, "from the future");
  EXPECT_TRUE(HasNote(doc, "is read as Comprehensive 3D SR"));
}

}  // namespace
