// The writer is checked against DCMTK's parser: what dcmdump reads back from
// a written file is what was written, in every encoding.
#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "support/paths.h"

using dicomwriter::DicomWriter;
using fixtures::Bytes;

namespace {

Bytes SampleDataSet(bool explicitVR, bool little) {
  DicomWriter w(explicitVR, little);
  w.Text(0x00080060, "CS", "MR");
  w.Text(0x00100010, "PN", "DOE^JANE");
  w.BeginSequence(0x00081140);  // defined length
  w.BeginItem();
  w.Text(0x00081155, "UI", "1.2.3");
  w.EndItem();
  w.EndSequence();
  w.BeginSequence(0x00089215, true);  // undefined length, mixed items
  w.BeginItem(true);
  w.Text(0x00080100, "SH", "121");
  w.EndItem();
  w.BeginItem();
  w.Text(0x00080100, "SH", "ABC");
  w.EndItem();
  w.EndSequence();
  w.US(0x00280010, {2});
  w.US(0x00280011, {3});
  w.FD(0x00189087, {1.5});
  w.OW(0x7FE00010, {1, 2, 3, 0x1234, 5, 6});
  return w.Bytes();
}

std::string Dump(const std::string& path, const std::string& options = "") {
  std::string out;
  EXPECT_EQ(fixtures::RunCommand("dcmdump -q " + options + " '" + path + "' 2>&1", &out), 0) << out;
  return out;
}

}  // namespace

TEST(DicomWriter, EveryEncodingReadsBackThroughDcmdump) {
  const std::string dir = testsupport::TempDir("writer_encodings");
  for (bool explicitVR : {true, false}) {
    for (bool little : {true, false}) {
      if (!explicitVR && !little) continue;  // no standard implicit big-endian syntax
      DicomWriter w(explicitVR, little);
      w.Raw(SampleDataSet(explicitVR, little));
      const auto file = fixtures::Part10(w, fixtures::NativeSyntax(explicitVR, little));
      const auto path = fixtures::WriteFile(dir, "f.dcm", file);
      const std::string out = Dump(path);
      SCOPED_TRACE(out);
      EXPECT_NE(out.find("(0010,0010) PN [DOE^JANE]"), std::string::npos);
      EXPECT_NE(out.find("(0008,1155) UI [1.2.3]"), std::string::npos);
      EXPECT_NE(out.find("(0008,0100) SH [121]"), std::string::npos);
      EXPECT_NE(out.find("(0008,0100) SH [ABC]"), std::string::npos);
      EXPECT_NE(out.find("(0028,0011) US 3"), std::string::npos);
      EXPECT_NE(out.find("(0018,9087) FD 1.5"), std::string::npos);
      EXPECT_NE(out.find("0001\\0002\\0003\\1234\\0005\\0006"), std::string::npos);
    }
  }
}

TEST(DicomWriter, EncapsulatedPixelDataWithOffsetTable) {
  DicomWriter w;
  w.US(0x00280010, {1});
  const std::vector<Bytes> fragments = {Bytes(10, 0xAA), Bytes(6, 0xBB)};
  const auto offsets = DicomWriter::OffsetsOneFragmentPerFrame(fragments);
  EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 18}));
  w.Encapsulated(offsets, fragments);
  const auto path = fixtures::WriteFile(testsupport::TempDir("writer_encaps"), "e.dcm",
                                        fixtures::Part10(w, dicomwriter::kJPEGBaseline));
  const std::string out = Dump(path);
  EXPECT_NE(out.find("(fffe,e000) pi 00\\00\\00\\00\\12\\00\\00\\00"), std::string::npos) << out;
  EXPECT_NE(out.find("(fffe,e000) pi aa\\aa"), std::string::npos) << out;
  EXPECT_NE(out.find("(fffe,e000) pi bb\\bb"), std::string::npos) << out;
}

TEST(DicomWriter, FilePrefixesAndMetaGroup) {
  DicomWriter ds;
  ds.Text(0x00100010, "PN", "X");
  dicomwriter::DicomFileOptions o;
  auto full = dicomwriter::BuildDicomFile(ds, o);
  ASSERT_GT(full.size(), 132u);
  EXPECT_EQ(std::string(full.begin() + 128, full.begin() + 132), "DICM");
  // The group length covers exactly the meta elements after it.
  const long ts = fixtures::FindTag(full, 0x00100010);
  const uint32_t groupLength = full[140] | full[141] << 8 | full[142] << 16 | full[143] << 24;
  EXPECT_EQ(144 + groupLength, uint32_t(ts));

  o.preamble = false;
  auto dicmOnly = dicomwriter::BuildDicomFile(ds, o);
  EXPECT_EQ(std::string(dicmOnly.begin(), dicmOnly.begin() + 4), "DICM");
  o.dicm = o.meta = false;
  EXPECT_EQ(dicomwriter::BuildDicomFile(ds, o), ds.Bytes());

  // Misuse is reported, not written.
  DicomWriter open;
  open.BeginSequence(0x00081140);
  EXPECT_THROW(open.Bytes(), std::logic_error);
  EXPECT_THROW(open.EndItem(), std::logic_error);
  EXPECT_THROW(DicomWriter().Text(0x00100010, "PN", std::string(70000, 'A')), std::length_error);
}
