// Float and double frames whose samples are not all finite, or whose finite
// range is beyond what a double difference holds: the words are mapped from
// the finite samples, +inf takes the top word, -inf and NaN the bottom one,
// and nothing on the way is undefined (the sanitizer build runs this).
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "pixels/HeldLayout.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Held {
  SampleRange range;
  HeldHeader header;
  std::vector<uint16_t> words;
};

template <typename T>
Held Convert(const std::vector<double>& values) {
  StoredFormat s;
  s.floatBits = 8 * int(sizeof(T));
  s.spec.columns = int64_t(values.size());
  s.spec.rows = 1;
  s.spec.bitsAllocated = s.spec.bitsStored = s.floatBits;
  std::vector<uint8_t> native(values.size() * sizeof(T));
  for (size_t i = 0; i < values.size(); ++i) {
    const T v = T(values[i]);
    std::memcpy(native.data() + i * sizeof(T), &v, sizeof v);
  }
  Held out;
  WidenRange(s, native.data(), native.size(), out.range);
  DICOMdata h;
  std::vector<uint8_t> grey, rgb;
  std::vector<int16_t> words(values.size());
  out.header = ConvertToHeld(s, h, native.data(), out.range, ExpandedPalette{}, grey, words, rgb);
  for (int16_t w : words) out.words.push_back(uint16_t(w));
  return out;
}

TEST(HeldRange, FloatWithInfinitiesAndNaN) {
  const Held f = Convert<float>({0, 1, kInf, 2, -kInf, kNaN, 3});
  ASSERT_TRUE(f.range.any);
  EXPECT_EQ(f.range.min, 0.0);
  EXPECT_EQ(f.range.max, 3.0);
  EXPECT_EQ(f.words, (std::vector<uint16_t>{0, 21845, 65535, 43690, 0, 0, 65535}));
  EXPECT_FLOAT_EQ(f.header.slope, float(3.0 / 65535));
  EXPECT_EQ(f.header.intercept, 0.0f);
}

TEST(HeldRange, DoubleWithInfinitiesAndNaN) {
  const Held d = Convert<double>({-kInf, -2.5, kNaN, 7.5, kInf, 5.0});
  EXPECT_EQ(d.range.min, -2.5);
  EXPECT_EQ(d.range.max, 7.5);
  EXPECT_EQ(d.words, (std::vector<uint16_t>{0, 0, 0, 65535, 65535, 49151}));
  EXPECT_FLOAT_EQ(d.header.slope, float(10.0 / 65535));
  EXPECT_EQ(d.header.intercept, -2.5f);
}

TEST(HeldRange, DoubleSpanningMoreThanTheLargestDouble) {
  // 1e308 - (-1e308) is not a double: the step is still finite, the middle
  // lands in the middle, and the float header saturates.
  const Held d = Convert<double>({-1e308, 1e308, 0, kInf, kNaN});
  EXPECT_EQ(d.words[0], 0);
  EXPECT_EQ(d.words[1], 65535);
  EXPECT_NEAR(d.words[2], 32768, 1);
  EXPECT_EQ(d.words[3], 65535);
  EXPECT_EQ(d.words[4], 0);
  EXPECT_EQ(d.header.slope, std::numeric_limits<float>::max());
  EXPECT_EQ(d.header.intercept, -std::numeric_limits<float>::max());
}

TEST(HeldRange, NoFiniteSampleOrNoStep) {
  // Without a finite sample there is no range: +inf still shows as the top.
  const Held none = Convert<float>({kNaN, kInf, -kInf});
  EXPECT_FALSE(none.range.any);
  EXPECT_EQ(none.words, (std::vector<uint16_t>{0, 65535, 0}));
  EXPECT_EQ(none.header.slope, 1.0f);
  // Two neighbouring subnormals: a span too small to step through.
  const double tiny = std::numeric_limits<double>::denorm_min();
  const Held sub = Convert<double>({0, tiny, kInf});
  EXPECT_EQ(sub.words, (std::vector<uint16_t>{0, 0, 65535}));
  // One finite value: it is the bottom word.
  const Held one = Convert<double>({-4, -4, kNaN});
  EXPECT_EQ(one.words, (std::vector<uint16_t>{0, 0, 0}));
  EXPECT_EQ(one.header.intercept, -4.0f);
}

}  // namespace
