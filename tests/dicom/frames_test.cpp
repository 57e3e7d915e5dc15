// Where the compressed frames lie: the fragment rule, and the standard layout
// where that rule misses frames.
#include <gtest/gtest.h>

#include <numeric>

#include "support/fixtures.h"

using namespace fixtures;

namespace {

const std::string kLossless = dicomwriter::kJPEGLosslessSV1;

ImageSpec Frames(int n) {
  ImageSpec s;
  s.frames = n;
  return s;
}

// File offsets of each fragment's first value byte.
std::vector<int64_t> FragmentValueOffsets(const Bytes& f, size_t count) {
  std::vector<int64_t> at;
  long p = FindTag(f, 0x7FE00010);
  p = FindTag(f, 0xFFFEE000, true, size_t(p));  // the offset table
  for (size_t i = 0; i < count; ++i) {
    const uint32_t len = f[p + 4] | f[p + 5] << 8 | f[p + 6] << 16 | uint32_t(f[p + 7]) << 24;
    p += 8 + long(len);
    at.push_back(p + 8);
  }
  return at;
}

std::vector<int64_t> Sizes(const std::vector<size_t>& s) {
  return {s.begin(), s.end()};
}

}  // namespace

TEST(FrameTables, OneLargeFragmentPerFrameInFileOrder) {
  const std::vector<size_t> sizes = {2000, 3000, 1500, 1100, 2000, 2500, 1800, 1900, 5000, 1025};
  for (bool withOffsets : {false, true}) {
    const auto frags = Fragments(sizes);
    const Bytes f = EncapsulatedFile(
        Frames(10), kLossless, frags,
        withOffsets ? DicomWriter::OffsetsOneFragmentPerFrame(frags) : std::vector<uint32_t>{});
    const ReadOutcome o = ReadHeader(f);
    EXPECT_TRUE(o.hdrOK);
    EXPECT_TRUE(o.imgOK);
    EXPECT_EQ(o.header.gECATJPEG_table_entries, 10);
    EXPECT_EQ(o.header.gECATJPEG_pos_table, FragmentValueOffsets(f, 10));
    EXPECT_EQ(o.header.gECATJPEG_size_table, Sizes(sizes));
    // The largest fragment.
    EXPECT_EQ(o.header.CompressSz, 5000);
    EXPECT_EQ(o.header.CompressOffset, FragmentValueOffsets(f, 10)[8]);
    EXPECT_EQ(o.header.ImageStart, int64_t(f.size()));
  }
}

// Frames of 1024 bytes or less: the fragment rule finds none of them; the
// walk still ends at the end of the pixel data with one entry per fragment.
TEST(FrameTables, SmallFramesEndOrderly) {
  const std::vector<size_t> sizes = {500, 1024, 2000};
  const auto frags = Fragments(sizes);
  Bytes f = EncapsulatedFile(Frames(3), kLossless, frags);
  f.insert(f.end(), 200, 0xEE);  // trailing bytes the walk must not read as elements
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_TRUE(o.imgOK);
  EXPECT_EQ(o.header.gECATJPEG_pos_table, FragmentValueOffsets(f, 3));
  EXPECT_EQ(o.header.gECATJPEG_size_table, Sizes(sizes));
  EXPECT_EQ(o.header.ImageStart, int64_t(f.size()) - 200);

  // Without frame tables a multi-frame JPEG ends at its pixel data.
  const ReadOutcome nt = ReadHeader(f, false);
  EXPECT_TRUE(nt.hdrOK);
  EXPECT_FALSE(nt.imgOK);
  EXPECT_EQ(nt.header.gECATJPEG_table_entries, 0);
}

// Frames split over several fragments: the offset table says where each
// frame starts; its entry covers all its fragments.
TEST(FrameTables, SplitFramesFollowTheOffsetTable) {
  const std::vector<size_t> sizes = {1500, 1500, 700, 2000, 600};
  const auto frags = Fragments(sizes);
  const auto all = DicomWriter::OffsetsOneFragmentPerFrame(frags);
  const Bytes f = EncapsulatedFile(Frames(2), kLossless, frags, {all[0], all[3]});
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_TRUE(o.imgOK);
  const auto at = FragmentValueOffsets(f, 5);
  EXPECT_EQ(o.header.gECATJPEG_pos_table, (std::vector<int64_t>{at[0], at[3]}));
  EXPECT_EQ(o.header.gECATJPEG_size_table, (std::vector<int64_t>{3700, 2600}));

  // An offset table that points between items is not believed: with fragments
  // and frames in different numbers the fragment rule's finding stands.
  const Bytes bad = EncapsulatedFile(Frames(2), kLossless, frags, {0, 1234});
  const ReadOutcome b = ReadHeader(bad);
  EXPECT_TRUE(b.hdrOK);
  EXPECT_EQ(b.header.gECATJPEG_pos_table, (std::vector<int64_t>{at[0], at[1]}));
}

// A single-frame image: all fragments form the frame, whatever their sizes.
TEST(FrameTables, SingleFrameSpansAllFragments) {
  for (const std::vector<size_t>& sizes :
       {std::vector<size_t>{400}, {3000}, {1200, 5000, 300}, {100, 200}}) {
    const Bytes f = EncapsulatedFile({}, kLossless, Fragments(sizes));
    const ReadOutcome o = ReadHeader(f);
    EXPECT_TRUE(o.hdrOK);
    EXPECT_TRUE(o.imgOK);
    ASSERT_EQ(o.header.gECATJPEG_table_entries, 1);
    EXPECT_EQ(o.header.gECATJPEG_pos_table[0], FragmentValueOffsets(f, 1)[0]);
    EXPECT_EQ(o.header.gECATJPEG_size_table[0],
              int64_t(std::accumulate(sizes.begin(), sizes.end(), size_t(0))));
  }
}

TEST(FrameTables, RunLengthFramesOfAnySize) {
  const std::vector<size_t> sizes = {300, 2000};
  const Bytes f = EncapsulatedFile(Frames(2), dicomwriter::kRLELossless, Fragments(sizes));
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_TRUE(o.imgOK);
  EXPECT_TRUE(o.header.RunLengthEncoding);
  EXPECT_EQ(o.header.gECATJPEG_pos_table, FragmentValueOffsets(f, 2));
  EXPECT_EQ(o.header.gECATJPEG_size_table, Sizes(sizes));
}

// The tables are not capped at 500 frames, and a frame count the file cannot
// hold allocates nothing for it.
TEST(FrameTables, ManyFramesAndImpossibleFrameCounts) {
  const std::vector<size_t> sizes(600, 1100);
  const Bytes f = EncapsulatedFile(Frames(600), kLossless, Fragments(sizes));
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_EQ(o.header.gECATJPEG_table_entries, 600);
  EXPECT_EQ(o.header.gECATJPEG_pos_table, FragmentValueOffsets(f, 600));

  // The frames the data holds are what is shown, and said once.
  const Bytes huge = EncapsulatedFile(Frames(2147483647), kLossless, Fragments({1100, 1100}));
  const ReadOutcome h = ReadHeader(huge);
  EXPECT_TRUE(h.hdrOK);
  EXPECT_EQ(h.header.XYZdim[2], 2);
  EXPECT_EQ(h.header.FramesAnnounced, 2147483647);
  EXPECT_EQ(h.messages, std::vector<std::string>{
                            "The header announces 2147483647 frames; the pixel data holds 2."});
  EXPECT_EQ(h.header.gECATJPEG_table_entries, 2);
  EXPECT_EQ(h.header.gECATJPEG_pos_table, FragmentValueOffsets(huge, 2));
}

// Native pixel data: the frame count is cut to what the pixel data (and the
// file) holds at the smallest frame the format allows, never below.
TEST(FrameTables, NativeFrameCountsAreBoundedByTheData) {
  const auto read = [](int frames, int bitsAllocated, size_t bytes, size_t cutTo = 0,
                       const std::string& photometric = "MONOCHROME2", int samples = 1) {
    ImageSpec d;
    d.columns = 4;
    d.rows = 3;
    d.frames = frames;
    d.samples = samples;
    d.photometric = photometric;
    d.bitsAllocated = d.bitsStored = bitsAllocated;
    DicomWriter w;
    AddImageHeader(w, d);
    w.OB(0x7FE00010, Bytes(bytes + (bytes & 1), 1));
    Bytes f = Part10(w, dicomwriter::kExplicitVRLittleEndian);
    if (cutTo) f.resize(f.size() - cutTo);
    return ReadHeader(f);
  };
  ReadOutcome o = read(10, 16, 4 * 24);  // four frames of 24 bytes
  EXPECT_EQ(o.header.XYZdim[2], 4);
  EXPECT_EQ(o.header.FramesAnnounced, 10);
  EXPECT_EQ(o.messages,
            std::vector<std::string>{"The header announces 10 frames; the pixel data holds 4."});
  o = read(4, 16, 4 * 24, 30);  // the file ends inside frame 3
  EXPECT_EQ(o.header.XYZdim[2], 2);
  o = read(3, 16, 3 * 24);  // honest files keep their count, without a word
  EXPECT_EQ(o.header.XYZdim[2], 3);
  EXPECT_EQ(o.header.FramesAnnounced, 0);
  EXPECT_TRUE(o.messages.empty());
  o = read(8, 1, 12);  // eight 12-bit frames of 1-bit pixels in 12 bytes
  EXPECT_EQ(o.header.XYZdim[2], 8);
  o = read(9, 1, 12);
  EXPECT_EQ(o.header.XYZdim[2], 8);
  o = read(5, 8, 5 * 24, 0, "YBR_FULL_422", 3);  // 2 bytes per pixel as stored
  EXPECT_EQ(o.header.XYZdim[2], 5);
  o = read(3, 8, 1);  // less than a frame: one frame, shown as far as it goes
  EXPECT_EQ(o.header.XYZdim[2], 1);
  EXPECT_EQ(o.header.FramesAnnounced, 3);
}

// A file cut inside its last fragment: the frames found so far are kept and
// the header counts as read (the data is compressed).
TEST(FrameTables, TruncatedInsideTheLastFragment) {
  const Bytes full = EncapsulatedFile(Frames(2), kLossless, Fragments({2000, 3000}));
  const Bytes f = Truncated(full, full.size() - 1000);
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.hdrOK);
  EXPECT_EQ(o.header.gECATJPEG_pos_table, FragmentValueOffsets(full, 2));
  EXPECT_EQ(o.header.gECATJPEG_size_table, (std::vector<int64_t>{2000, 3000 - 992}));
}

// Items before the pixel data count as fragments for the fragment rule; one
// whose length runs past the end of the file ends the walk there. The table
// entry still stays inside the file.
TEST(FrameTables, EntriesStayInsideTheFile) {
  DicomWriter w;
  AddImageHeader(w, {});
  w.BeginSequence(0x00081140, true);
  w.BeginItem();
  w.Text(0x00081150, "UI", "1.2");
  w.EndItem();
  w.BeginItem();
  w.OB(0x00111010, Bytes(2000, 1));
  w.EndItem();
  w.ItemHeader(0xFFFEE000, 0x49444C4D);
  w.Raw(Bytes(500, 2));
  w.EndSequence();
  const Bytes f = Part10(w, dicomwriter::kJPEGBaseline);
  const ReadOutcome o = ReadHeader(f);
  EXPECT_TRUE(o.hdrOK);
  ASSERT_EQ(o.header.gECATJPEG_table_entries, 1);
  EXPECT_LE(o.header.gECATJPEG_pos_table[0] + o.header.gECATJPEG_size_table[0], int64_t(f.size()));
  EXPECT_LE(o.header.CompressOffset + o.header.CompressSz, int64_t(f.size()));
}
