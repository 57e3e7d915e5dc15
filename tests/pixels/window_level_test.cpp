#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "pixels/WindowLevel.h"

namespace {

WindowParams Ct(int width, int level, bool invert = false) {
  WindowParams p;
  p.width = width;
  p.level = level;
  p.slope = 1.0f;
  p.intercept = -1024.0f;
  p.invert = invert;
  return p;
}

// Grey levels of `words` through a window, as the bitmap builder maps them.
std::vector<uint8_t> Map(const std::vector<int16_t>& words, const WindowParams& p,
                         bool unsignedWords) {
  WordGreyTable table;
  BuildWordGreyTable(BuildWwWlLut(p), unsignedWords, table);
  std::vector<uint8_t> grey(words.size());
  MapWordsToGrey(words.data(), words.size(), table, grey.data());
  return grey;
}

}  // namespace

TEST(WindowTable, CtWindowCoversItsStoredValuesEntryByEntry) {
  const WwWlTable t = BuildWwWlLut(Ct(400, 40));
  EXPECT_EQ(t.lo, 864);
  EXPECT_EQ(t.hi, 1264);
  ASSERT_EQ(t.entries.size(), 401u);
  EXPECT_EQ(t.first, 864);
  EXPECT_EQ(t.entries.front(), 0);
  EXPECT_EQ(t.entries[200], 128);  // 127.5 rounds to even
  EXPECT_EQ(t.entries[199], 127);  // 126.225
  EXPECT_EQ(t.entries.back(), 255);
  for (size_t i = 1; i < t.entries.size(); ++i) ASSERT_LE(t.entries[i - 1], t.entries[i]);

  EXPECT_EQ(Map({0, 863, 864, 1064, 1264, 1265, 4095}, Ct(400, 40), true),
            (std::vector<uint8_t>{0, 0, 0, 128, 255, 255, 255}));
}

TEST(WindowTable, PolarityOfMonochrome1AndInvert) {
  EXPECT_FALSE(GreyInverted(2, false));
  EXPECT_TRUE(GreyInverted(1, false));
  EXPECT_TRUE(GreyInverted(2, true));
  EXPECT_FALSE(GreyInverted(1, true));  // Invert restores the usual polarity

  const WindowParams mono1 = Ct(400, 40, GreyInverted(1, false));
  EXPECT_EQ(Map({0, 864, 1064, 1264, 2000}, mono1, true),
            (std::vector<uint8_t>{255, 255, 127, 0, 0}));
  const WindowParams restored = Ct(400, 40, GreyInverted(1, true));
  EXPECT_EQ(Map({0, 1064, 2000}, restored, true), (std::vector<uint8_t>{0, 128, 255}));
}

TEST(WindowTable, EntriesCanBeLimitedToTheFramesRange) {
  const WwWlTable full = BuildWwWlLut(Ct(400, 40));
  const WwWlTable part = BuildWwWlLut(Ct(400, 40), 1000, 1100);
  EXPECT_EQ(part.lo, 864);
  EXPECT_EQ(part.hi, 1264);
  EXPECT_EQ(part.first, 1000);
  ASSERT_EQ(part.entries.size(), 101u);
  for (int v = 1000; v <= 1100; ++v) EXPECT_EQ(part.Grey(v), full.Grey(v)) << v;

  // A window far wider than any 16-bit word still builds a bounded table.
  WindowParams tiny = Ct(400, 40);
  tiny.slope = 1e-6f;
  const WwWlTable t = BuildWwWlLut(tiny);
  EXPECT_LE(t.entries.size(), size_t(kStoredMax - kStoredMin + 1));
}

TEST(WindowTable, UnsignedWordsAbove32767) {
  EXPECT_TRUE(WordsUnsigned(0, 0));
  EXPECT_FALSE(WordsUnsigned(1, 0));
  EXPECT_TRUE(WordsUnsigned(1, -1));

  // Bit patterns 0x8000 and above are 32768 .. 65535 in unsigned data.
  const std::vector<int16_t> words{int16_t(1000), int16_t(40000 - 65536), int16_t(-1)};
  const StoredRange u = ScanMinMax(words.data(), words.size(), true);
  EXPECT_EQ(u.min, 1000);
  EXPECT_EQ(u.max, 65535);
  const StoredRange s = ScanMinMax(words.data(), words.size(), false);
  EXPECT_EQ(s.min, -25536);
  EXPECT_EQ(s.max, 1000);

  WindowParams p;
  p.width = 20000;
  p.level = 40000;
  EXPECT_EQ(Map(words, p, true), (std::vector<uint8_t>{0, 128, 255}));
  // The same bit patterns in signed data.
  p.width = 2000;
  p.level = 0;
  EXPECT_EQ(Map(words, p, false), (std::vector<uint8_t>{255, 0, 127}));  // -1: 127.37
}

TEST(WindowTable, ScanCoversEveryWordOfLongFrames) {
  std::vector<int16_t> words(1000 + 7, 500);
  words[3] = -7;
  words[1006] = 9000;  // in the tail after the last full block
  const StoredRange r = ScanMinMax(words.data(), words.size(), false);
  EXPECT_EQ(r.min, -7);
  EXPECT_EQ(r.max, 9000);
  EXPECT_EQ(ScanMinMax(words.data(), 0, false).max, 0);
}

TEST(WindowTable, WidthZeroOrNegativeThresholdsAtTheLevel) {
  for (int width : {0, -50}) {
    WindowParams p;
    p.width = width;
    p.level = 100;
    const WwWlTable t = BuildWwWlLut(p, 0, 300);
    EXPECT_EQ(t.Grey(0), 0) << width;
    EXPECT_EQ(t.Grey(99), 0) << width;
    EXPECT_EQ(t.Grey(100), 128) << width;
    EXPECT_EQ(t.Grey(101), 255) << width;
    EXPECT_EQ(t.Grey(300), 255) << width;
    p.invert = true;
    EXPECT_EQ(BuildWwWlLut(p, 0, 300).Grey(0), 255) << width;
  }
}

TEST(WindowTable, ZeroOrNegativeSlopeGivesADefinedPicture) {
  WindowParams flat;
  flat.width = 100;
  flat.level = 50;
  flat.slope = 0.0f;
  flat.intercept = 50.0f;
  // Every stored value rescales to 50: the middle of the window.
  EXPECT_EQ(Map({-32768, 0, 7, 32767}, flat, false), (std::vector<uint8_t>{128, 128, 128, 128}));

  WindowParams falling;
  falling.width = 200;
  falling.level = 0;
  falling.slope = -1.0f;
  const WwWlTable t = BuildWwWlLut(falling, -300, 300);
  EXPECT_EQ(t.Grey(-300), 255);
  EXPECT_EQ(t.Grey(-100), 255);
  EXPECT_EQ(t.Grey(0), 128);
  EXPECT_EQ(t.Grey(100), 0);
  EXPECT_EQ(t.Grey(300), 0);
  for (int v = -299; v <= 300; ++v) ASSERT_LE(t.Grey(v), t.Grey(v - 1)) << v;
}

TEST(WindowTable, ByteWindowMapsTheByteValuesAsWordsWouldBe) {
  WindowParams w;
  w.width = 100;
  w.level = 50;
  const ByteGreyTable t = BuildByteWindowLut(w);
  const WwWlTable words = BuildWwWlLut(w, 0, 255);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(t[size_t(v)], words.Grey(v)) << v;
  EXPECT_EQ(t[0], 0);
  EXPECT_EQ(t[50], 128);
  EXPECT_EQ(t[100], 255);
  EXPECT_EQ(t[255], 255);
  w.invert = true;
  w.intercept = -100;  // rescaled units: byte 150 is 50
  const ByteGreyTable inverted = BuildByteWindowLut(w);
  EXPECT_EQ(inverted[150], 255 - 128);
  EXPECT_EQ(inverted[0], 255);
}

TEST(DefaultWindow, HeaderWithoutWindowSpansTheData) {
  const WindowDefault w = DefaultWindow(0, 0, {-2000, 3000}, 1.0f, 0.0f);
  EXPECT_TRUE(w.replaced);
  EXPECT_EQ(w.width, 5000);
  EXPECT_EQ(w.center, 500);

  // Rescaled and truncated; the centre rounds down.
  const WindowDefault r = DefaultWindow(0, 0, {0, 3001}, 1.0f, -1024.0f);
  EXPECT_EQ(r.width, 3001);
  EXPECT_EQ(r.center, -1024 + 1500);
}

TEST(DefaultWindow, CentreIsJudgedInRescaledUnits) {
  // A lung window on CT data stored 0 .. 3000 with intercept -1024: its centre
  // lies inside the rescaled data and must be kept.
  const WindowDefault lung = DefaultWindow(1500, -600, {0, 3000}, 1.0f, -1024.0f);
  EXPECT_FALSE(lung.replaced);
  EXPECT_EQ(lung.width, 1500);
  EXPECT_EQ(lung.center, -600);
  // A centre outside the data is replaced.
  EXPECT_TRUE(DefaultWindow(400, 2500, {0, 3000}, 1.0f, -1024.0f).replaced);
  EXPECT_TRUE(DefaultWindow(400, -1100, {0, 3000}, 1.0f, -1024.0f).replaced);
  // A falling slope still gives a width of at least 0 and a centre inside.
  const WindowDefault neg = DefaultWindow(0, 0, {0, 100}, -2.0f, 0.0f);
  EXPECT_EQ(neg.width, 200);
  EXPECT_EQ(neg.center, -100);
}

TEST(DefaultWindow, ThumbnailsKeepAnyHeaderWindow) {
  const WindowDefault kept = ThumbnailWindow(400, 5000, {0, 100}, 1.0f, 0.0f);
  EXPECT_FALSE(kept.replaced);
  EXPECT_EQ(kept.center, 5000);
  const WindowDefault uniform = ThumbnailWindow(0, 0, {77, 77}, 1.0f, 0.0f);
  EXPECT_TRUE(uniform.replaced);
  EXPECT_EQ(uniform.width, 0);
}

TEST(DefaultWindow, LookupTableRange) {
  TLut lut;
  StoredRange r;
  EXPECT_FALSE(LutRange(lut, r));
  lut.LutSize = 3;
  lut.Lutdata = {500, -20, 70000, 1};  // the entry past LutSize is not part of it
  ASSERT_TRUE(LutRange(lut, r));
  EXPECT_EQ(r.min, -20);
  EXPECT_EQ(r.max, 70000);
  lut.LutSize = 100;  // more than the data holds
  ASSERT_TRUE(LutRange(lut, r));
  EXPECT_EQ(r.min, -20);
}

TEST(BrightnessContrast, Tables) {
  const ByteGreyTable id = BuildBCLut(0, 0, false);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(id[size_t(i)], i);
  const ByteGreyTable inv = BuildBCLut(0, 0, true);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(inv[size_t(i)], 255 - i);

  const ByteGreyTable bright = BuildBCLut(300, 0, false);
  for (uint8_t v : bright) ASSERT_EQ(v, 255);
  EXPECT_EQ(BuildBCLut(-300, 0, false)[255], 0);

  EXPECT_EQ(BuildBCLut(0, 300, false), BuildBCLut(0, 256, false));
  EXPECT_EQ(BuildBCLut(0, -5, false), id);
  const ByteGreyTable steep = BuildBCLut(0, 256, false);
  EXPECT_EQ(steep[127], 0);
  EXPECT_EQ(steep[128], 128);
  EXPECT_EQ(steep[129], 255);

  EXPECT_EQ(BuildBCLut(10, 0, false)[100], 110);
  const std::vector<uint8_t> in{0, 100, 255};
  std::vector<uint8_t> out(3);
  MapBytesToGrey(in.data(), in.size(), BuildBCLut(10, 0, true), out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{245, 145, 0}));
}

TEST(WindowDrag, CellDragStepsTenAfterMoreThanTenPixels) {
  WindowDragState s;
  s.headerWidth = 400;
  s.headerCenter = 40;
  s.windowWidth = 400;
  s.windowLevel = 40;
  s.cineWW = 400;
  s.cineWL = 40;
  EXPECT_FALSE(CellWindowDrag(s, 10, -10));
  EXPECT_EQ(s.windowWidth, 400);

  ASSERT_TRUE(CellWindowDrag(s, 11, 0));
  EXPECT_EQ(s.DeltaWW, 10);
  EXPECT_EQ(s.windowWidth, 410);
  EXPECT_EQ(s.cineWW, 410);
  EXPECT_EQ(s.contrast, 10);
  EXPECT_EQ(s.lastX, 11);
  EXPECT_EQ(s.windowLevel, 40);

  ASSERT_TRUE(CellWindowDrag(s, 11, 12));
  EXPECT_EQ(s.DeltaWL, 10);
  EXPECT_EQ(s.windowLevel, 50);
  EXPECT_EQ(s.brightness, 10);
  EXPECT_EQ(s.lastY, 12);

  // Leftwards from width 10 the width stays at 10; contrast stops at 0.
  WindowDragState n;
  n.headerWidth = 10;
  n.windowWidth = 10;
  n.cineWW = 10;
  ASSERT_TRUE(CellWindowDrag(n, -11, 0));
  EXPECT_EQ(n.windowWidth, 10);
  EXPECT_EQ(n.DeltaWW, 0);
  EXPECT_EQ(n.cineWW, 10);
  EXPECT_EQ(n.contrast, 0);
  ASSERT_TRUE(CellWindowDrag(n, 0, -30));
  EXPECT_EQ(n.brightness, -10);  // brightness has no floor
}

TEST(WindowDrag, ProportionalStepsScaleWithTheHeaderWidth) {
  auto stepFor = [](int width) {
    WindowDragState s;
    s.headerWidth = width;
    s.windowWidth = width;
    EXPECT_TRUE(WwWL(s, 11, 0, 10, false));
    return s.DeltaWW;
  };
  EXPECT_EQ(stepFor(400), 10);
  EXPECT_EQ(stepFor(4000), 100);
  EXPECT_EQ(stepFor(300), 7);  // the minimum step 7.5, truncated
  EXPECT_EQ(stepFor(20), 7);

  WindowDragState s;
  s.headerWidth = 300;
  s.headerCenter = 40;
  WwWL(s, 50, 0, 10, false);
  WwWL(s, 50, 0, 10, false);
  EXPECT_EQ(s.DeltaWW, 14);  // 7.5 + 7.5 truncated per event
  EXPECT_EQ(s.windowWidth, 314);
  EXPECT_EQ(s.contrast, 6);  // 3.6 truncated, twice
  WwWL(s, -50, 0, 10, false);
  EXPECT_EQ(s.DeltaWW, 6);  // 14 - 7.5 toward zero
  EXPECT_FALSE(WwWL(s, 10, -10, 10, false));

  WwWL(s, 0, 11, 10, false);
  EXPECT_EQ(s.DeltaWL, 7);
  EXPECT_EQ(s.windowLevel, 47);
  EXPECT_EQ(s.brightness, 3);

  // Byte images scale with contrast and brightness instead.
  WindowDragState b;
  b.contrast = 1000 / 4;  // 250 -> base 2.5, so the minimum step 3
  WwWL(b, 20, 0, 10, true);
  EXPECT_EQ(b.contrast, 253);
  WwWL(b, 20, 0, 10, true);
  EXPECT_EQ(b.contrast, 256);  // limited
}

TEST(WindowDrag, AbsurdHeaderWindowsSaturateInsteadOfOverflowing) {
  WindowDragState s;
  s.headerWidth = INT_MAX;
  s.headerCenter = INT_MIN;
  for (int i = 0; i < 100; ++i) {
    WwWL(s, 100, -100, 10, false);
    CellWindowDrag(s, s.lastX + 20, s.lastY + 20);
  }
  EXPECT_EQ(s.windowWidth, INT_MAX);
  EXPECT_LE(s.windowLevel, 0);
}
