// Key images in the cell: "key images only" stepping over images and frames,
// a key object selection marking the frames of the image shown (or saying
// why not), and the documents' titles kept per frame.
#include <gtest/gtest.h>

#include "cell_fixtures.h"
#include "derived/KeyObjectSelection.h"
#include "derived/PresentationState.h"
#include "viewer/AdvancedImage.h"
#include "viewer/KeyImageStore.h"
#include "viewer/ViewerGlobals.h"

using cellfix::Image;

namespace {

// Frames whose first pixel tells their number (frame k: 10 k).
Image Frames(int frames) {
  Image s;
  s.columns = 2;
  s.rows = 1;
  s.frames = frames;
  s.windowCenter = "50";
  s.windowWidth = "100";
  for (int f = 1; f <= std::max(frames, 1); ++f) s.values.insert(s.values.end(), {f * 10, 0});
  return s;
}

class CellKeyImages : public ::testing::Test {
 protected:
  void SetUp() override {
    cellfix::ClearTree();
    TKeyImageStore::Instance().Reset();
    TKeyImageStore::Instance().SetKeyImagesOnly(true);
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    restricted = gRestrictedLoad.exchange(false);
    cell.resize(200, 150);
    cell.ResizeImage();
  }
  void TearDown() override {
    TKeyImageStore::Instance().SetKeyImagesOnly(false);
    TKeyImageStore::Instance().Reset();
    gRestrictedLoad = restricted;
    cellfix::ClearTree();
  }
  std::string File(const std::string& name, const Image& s) { return cellfix::Write(dir, name, s); }
  void Open(int series, int image) {
    cell.SeriesIndex = series;
    cell.ImageIndex = image;
    ASSERT_TRUE(cell.OpenCurrentImage(true));
    cell.PauseCine();
  }
  std::pair<int, int> At() const { return {cell.SeriesIndex, cell.ImageIndex}; }
  static void Mark(const std::vector<TAnnotationKey>& keys) {
    TKeyImageStore::Instance().AddDocument({"kos.dcm", "Of Interest", ""}, keys);
  }

  bool restricted = false;
  std::string dir;
  TadvancedImage cell;
};

}  // namespace

TEST_F(CellKeyImages, SteppingVisitsKeyImagesOnlyAcrossSeries) {
  std::vector<std::string> a;
  for (int i = 0; i < 5; ++i) a.push_back(File("a" + std::to_string(i) + ".dcm", Frames(0)));
  const std::string b0 = File("b0.dcm", Frames(0)), b1 = File("b1.dcm", Frames(0));
  cellfix::MakeTree({a, {b0, b1}});
  Mark({{a[1], 1}, {a[3], 1}, {b1, 1}});
  Open(0, 0);  // an image that is no key image: stepping leaves it for the next key one
  cell.NextImage();
  EXPECT_EQ(At(), std::make_pair(0, 1));
  cell.NextImage();
  EXPECT_EQ(At(), std::make_pair(0, 3));
  cell.NextImage();  // a[4] and b0 passed over
  EXPECT_EQ(At(), std::make_pair(1, 1));
  EXPECT_EQ(cell.CurrentOpenedPath, b1);
  cell.NextImage();  // round to the first series
  EXPECT_EQ(At(), std::make_pair(0, 1));
  cell.PrevImage();
  EXPECT_EQ(At(), std::make_pair(1, 1));

  gRestrictedLoad = true;  // within the series only
  Open(0, 3);
  cell.NextImage();
  EXPECT_EQ(At(), std::make_pair(0, 1));

  // The filter off: every image again.
  gRestrictedLoad = false;
  TKeyImageStore::Instance().SetKeyImagesOnly(false);
  cell.NextImage();
  EXPECT_EQ(At(), std::make_pair(0, 2));
}

TEST_F(CellKeyImages, KeyFramesOfAMultiFrameImageAndNoKeyImageAtAll) {
  const std::string a = File("a.dcm", Frames(5)), b = File("b.dcm", Frames(0));
  const std::string c = File("c.dcm", Frames(0));
  cellfix::MakeTree({{a, b, c}});
  // Nothing marked: a step goes nowhere, and ends.
  Open(0, 1);
  cell.NextImage();
  cell.PrevImage();
  EXPECT_EQ(At(), std::make_pair(0, 1));
  EXPECT_EQ(cell.CurrentOpenedPath, b);

  Mark({{a, 2}, {a, 4}, {c, 1}});
  cell.NextImage();
  EXPECT_EQ(cell.CurrentOpenedPath, c);
  cell.NextImage();  // onto a: its first key frame, not frame 1, and no cine over the rest
  EXPECT_EQ(cell.CurrentOpenedPath, a);
  EXPECT_FALSE(cell.InCineMode);
  EXPECT_EQ(cell.CurrentFrame, 2);
  EXPECT_EQ(cell.Buffers().buff16.at(0), 20);
  cell.NextFrame();
  EXPECT_EQ(cell.CurrentFrame, 4);
  EXPECT_EQ(cell.Buffers().buff16.at(0), 40);
  cell.PrevFrame();
  EXPECT_EQ(cell.CurrentFrame, 2);
  cell.PrevFrame();  // wraps within the image to its last key frame
  EXPECT_EQ(cell.CurrentFrame, 4);
  cell.NextFrame();  // past the last key frame: the next key image, b passed over
  EXPECT_EQ(cell.CurrentOpenedPath, c);
  cell.PrevImage();  // back onto a: its last key frame
  EXPECT_EQ(cell.CurrentOpenedPath, a);
  EXPECT_EQ(cell.CurrentFrame, 4);
}

TEST_F(CellKeyImages, DocumentMarksTheFramesItNamesOfTheImageShown) {
  Image spec = Frames(3);
  const std::string path = File("m.dcm", spec);
  cellfix::MakeTree({{path}});
  Open(0, 0);
  TSourceInfo source;
  std::string why;
  ASSERT_TRUE(ReadSourceInfo(path, source, why)) << why;
  const auto write = [&](const std::string& name, const std::string& uid,
                         std::vector<int32_t> frames, const char* text) {
    TKeyObjectSelection kos;
    kos.title = {"113004", "DCM", "For Teaching"};
    kos.description = text;
    kos.images.push_back(
        {source.studyInstanceUid, "1.2.3.4.5", {source.sopClassUid, uid, std::move(frames)}});
    const std::string out = dir + "/" + name;
    EXPECT_TRUE(WriteKeyObjectSelection(kos, source, out, why)) << why;
    return out;
  };
  TKeyImageStore& keys = TKeyImageStore::Instance();
  const std::string other = write("other.dcm", "9.9.9", {}, "");
  EXPECT_FALSE(MarkKeyImagesForCell(cell, other, why));
  EXPECT_NE(why.find("names none of the frames"), std::string::npos) << why;
  EXPECT_FALSE(keys.AnyMarked());

  // Frames 2 and 3 (and one the image lacks): marked, but not the frame shown.
  const std::string later = write("later.dcm", source.sopInstanceUid, {2, 3, 7}, "Two lesions");
  EXPECT_FALSE(MarkKeyImagesForCell(cell, later, why));
  EXPECT_NE(why.find("other frames of this image than frame 1"), std::string::npos) << why;
  EXPECT_EQ(keys.MarkedFrames(path), (std::vector<int>{2, 3}));

  // The whole image: every frame, the shown one too; both documents kept for frame 2.
  const std::string whole = write("whole.dcm", source.sopInstanceUid, {}, "");
  EXPECT_TRUE(MarkKeyImagesForCell(cell, whole, why)) << why;
  EXPECT_EQ(keys.MarkedFrames(path), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(keys.Caption({path, 2}).toStdString(), "For Teaching: Two lesions; For Teaching");
  EXPECT_EQ(keys.Caption({path, 1}).toStdString(), "For Teaching");
  // Unmarked by the reader: no caption any more. The same document again
  // says what it says now, for its frames old and new.
  keys.Set({path, 2}, false);
  EXPECT_TRUE(keys.Caption({path, 2}).isEmpty());
  keys.AddDocument({later, "Of Interest", "Changed"}, {{path, 1}});
  EXPECT_EQ(keys.Caption({path, 3}).toStdString(), "Of Interest: Changed; For Teaching");
  EXPECT_EQ(keys.Caption({path, 1}).toStdString(), "For Teaching; Of Interest: Changed");
}
