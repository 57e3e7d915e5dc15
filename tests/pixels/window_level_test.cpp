#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <set>
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

TEST(WindowDrag, AbsurdHeaderWindowsStayFinite) {
  WindowDragState s;
  s.headerWidth = 1.7e308;
  s.headerCenter = -1.7e308;
  for (int i = 0; i < 100; ++i) {
    WwWL(s, 100, -100, 10, false);
    CellWindowDrag(s, s.lastX + 20, s.lastY + 20);
  }
  EXPECT_TRUE(std::isfinite(s.windowWidth));
  EXPECT_TRUE(std::isfinite(s.windowLevel));
  EXPECT_TRUE(std::isfinite(s.cineWW));
  EXPECT_GT(s.windowWidth, 1e308);
  EXPECT_LT(s.windowLevel, 0);
}

namespace {

// Distinct grey levels of stored values first, first + step, ... (count values).
size_t GreyLevels(const WindowParams& p, int first, int step, int count) {
  std::vector<int16_t> words;
  for (int i = 0; i < count; ++i) words.push_back(int16_t(first + i * step));
  const std::vector<uint8_t> grey = Map(words, p, false);
  return std::set<uint8_t>(grey.begin(), grey.end()).size();
}

WindowParams Spanning(StoredRange data, double slope, double intercept) {
  const WindowDefault d = DefaultWindow(0, 0, data, slope, intercept);
  WindowParams p;
  p.width = d.width;
  p.level = d.center;
  p.slope = slope;
  p.intercept = intercept;
  return p;
}

}  // namespace

TEST(RealWindow, TinySlopesAndRangesKeepEveryGreyLevel) {
  // A PET with slope 5.9e-8: 200 stored values span 2e-4 rescaled units.
  const WindowParams pet = Spanning({0, 3383}, 5.9e-8f, 0.0f);
  EXPECT_GT(pet.width, 1.99e-4);
  EXPECT_LT(pet.width, 2.0e-4);
  EXPECT_EQ(GreyLevels(pet, 0, 17, 200), 200u);
  // Thousands of values over the window: all 256 levels.
  EXPECT_EQ(GreyLevels(pet, 0, 1, 3384), 256u);

  // A window 0.21 wide, as an RT image gives it, over data rescaled by 1e-4.
  WindowParams rt;
  rt.width = 0.21;
  rt.level = 0.105;
  rt.slope = 1e-4;
  EXPECT_EQ(GreyLevels(rt, 0, 1, 2101), 256u);
  const WwWlTable t = BuildWwWlLut(rt, 0, 2100);
  EXPECT_EQ(t.Grey(0), 0);
  EXPECT_EQ(t.Grey(1050), 128);  // 127.5: ties to even
  EXPECT_EQ(t.Grey(2100), 255);

  // Rescaled values are not rounded to whole units first: slope 0.5 keeps
  // the odd stored values apart.
  WindowParams half;
  half.width = 10;
  half.level = 5;
  half.slope = 0.5;
  EXPECT_EQ(GreyLevels(half, 0, 1, 21), 21u);
}

TEST(RealWindow, WholeNumberWindowsKeepTheirFlooredEdges) {
  // Width 401: edges floor(40 - 200.5) = -161 and floor(240.5) = 240.
  const WwWlTable odd = BuildWwWlLut(Ct(401, 40));
  EXPECT_EQ(odd.lo, 1024 - 161);
  EXPECT_EQ(odd.hi, 1024 + 240);
  // The same window given as 401.5 has exact edges.
  WindowParams real = Ct(401, 40);
  real.width = 401.5;
  const WwWlTable exact = BuildWwWlLut(real);
  EXPECT_EQ(exact.lo, 1024 - 161);  // -160.75 floors to the stored value below
  EXPECT_EQ(exact.hi, 1024 + 240);
  EXPECT_EQ(exact.Grey(1024 - 160), 0);  // 0.75 / 401.5 x 255 = 0.48
  EXPECT_EQ(exact.Grey(1024 + 40), 128);
}

TEST(DefaultWindow, WidthOfZeroOrBelowOrNotANumberIsIgnored) {
  const StoredRange data{-2000, 3000};
  for (double width : {0.0, -400.0, std::nan("")}) {
    const WindowDefault w = DefaultWindow(width, 500, data, 1.0, 0.0);
    EXPECT_TRUE(w.replaced) << width;
    EXPECT_EQ(w.width, 5000) << width;
    EXPECT_EQ(w.center, 500) << width;
    EXPECT_TRUE(ThumbnailWindow(width, 500, data, 1.0, 0.0).replaced) << width;
  }
  EXPECT_TRUE(DefaultWindow(400, std::nan(""), data, 1.0, 0.0).replaced);
  // A real-valued window inside the data is kept as it is.
  const WindowDefault kept = DefaultWindow(0.21, 0.1, {0, 3000}, 1e-4, 0.0);
  EXPECT_FALSE(kept.replaced);
  EXPECT_EQ(kept.width, 0.21);
  // Over real-valued data the spanning window is exact, not truncated.
  const WindowDefault span = DefaultWindow(0, 0, {0, 3000}, 1e-4, 0.5);
  EXPECT_NEAR(span.width, 0.3, 1e-12);
  EXPECT_NEAR(span.center, 0.65, 1e-12);
}

TEST(WindowValues, UnitsDecimalsTextAndParsing) {
  // Ordinary data keeps whole units; tiny and huge spans scale.
  EXPECT_EQ(WindowUnit(4096), 1);
  EXPECT_EQ(WindowUnit(65536), 1);
  EXPECT_EQ(WindowUnit(256), 1);
  EXPECT_EQ(WindowUnit(20, true), 1);  // whole-number data
  EXPECT_DOUBLE_EQ(WindowUnit(0.21), 5e-4);
  EXPECT_DOUBLE_EQ(WindowUnit(2e-4), 5e-7);
  EXPECT_DOUBLE_EQ(WindowUnit(100), 0.2);
  EXPECT_DOUBLE_EQ(WindowUnit(1e6), 10);
  EXPECT_EQ(WindowUnit(0), 1);
  EXPECT_EQ(WindowUnit(std::nan("")), 1);
  EXPECT_TRUE(WholeRescale(1, -1024));
  EXPECT_FALSE(WholeRescale(5.9e-8, 0));

  EXPECT_EQ(WindowDecimals(1), 0);
  EXPECT_EQ(WindowDecimals(10), 0);
  EXPECT_EQ(WindowDecimals(0.2), 1);
  EXPECT_EQ(WindowDecimals(5e-4), 4);
  EXPECT_EQ(WindowDecimals(1e-3), 3);

  EXPECT_EQ(FormatWindowValue(400, 1), "400");
  EXPECT_EQ(FormatWindowValue(-500, 1), "-500");
  EXPECT_EQ(FormatWindowValue(0.21, 5e-4), "0.2100");
  // Drag sums that binary fractions hold only nearly.
  EXPECT_EQ(FormatWindowValue(0.1 + 0.2, 5e-4), "0.3000");
  // Finer detail than the unit (a file or typed value) is not cut off.
  EXPECT_EQ(FormatWindowValue(400.5, 1), "400.5");
  EXPECT_EQ(FormatWindowValue(-1e-12, 5e-4), "0.0000");
  EXPECT_EQ(FormatWindowValue(std::nan(""), 1), "0");

  double v = 0;
  EXPECT_TRUE(ParseWindowValue(" 0.21 ", v));
  EXPECT_EQ(v, 0.21);
  EXPECT_TRUE(ParseWindowValue("+12", v));
  EXPECT_EQ(v, 12);
  EXPECT_TRUE(ParseWindowValue("-500", v));
  EXPECT_EQ(v, -500);
  EXPECT_TRUE(ParseWindowValue("0,5", v));
  EXPECT_EQ(v, 0.5);
  EXPECT_TRUE(ParseWindowValue("5.9e-8", v));
  EXPECT_EQ(v, 5.9e-8);
  for (const char* bad : {"", "abc", "1.2.3", "1,2,3", "12abc", "++1", "inf", "nan", "1e999"})
    EXPECT_FALSE(ParseWindowValue(bad, v)) << bad;
}

TEST(WindowDrag, StepsScaleWithTheDataOnTinyRanges) {
  // An image whose window spans 0.21: steps of 10 units of 5e-4.
  WindowDragState s;
  s.unit = WindowUnit(0.21);
  s.headerWidth = s.windowWidth = s.cineWW = 0.21;
  s.headerCenter = s.windowLevel = s.cineWL = 0.1;
  ASSERT_TRUE(CellWindowDrag(s, 11, 11));
  EXPECT_NEAR(s.windowWidth, 0.215, 1e-12);
  EXPECT_NEAR(s.windowLevel, 0.105, 1e-12);
  // Narrowing stops at 10 units, not at 10 modality units.
  for (int i = 1; i <= 100; ++i) CellWindowDrag(s, 11 - 11 * i, s.lastY);
  EXPECT_NEAR(s.windowWidth, 0.005, 1e-12);
  EXPECT_GT(s.windowWidth, 0);

  // The proportional drag moves by a fraction of the width, in whole units.
  WindowDragState p;
  p.unit = WindowUnit(0.21);
  p.headerWidth = p.windowWidth = 0.21;
  p.headerCenter = p.windowLevel = 0.1;
  ASSERT_TRUE(WwWL(p, 11, 11, 10, false));
  EXPECT_NEAR(p.DeltaWW, 0.005, 1e-12);   // 2.5 x 0.0021, truncated to units of 5e-4
  EXPECT_NEAR(p.DeltaWL, 0.0035, 1e-12);  // 2.5 x max(0.001, 3 units)
  EXPECT_GT(p.windowWidth, 0.21);
  EXPECT_LT(p.windowWidth, 0.22);
}
