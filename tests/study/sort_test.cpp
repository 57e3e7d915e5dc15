#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "study/SortUnit.h"

namespace {

TImgArr Images(std::initializer_list<int> numbers) {
  TImgArr images;
  for (int n : numbers) {
    TImg img;
    img.instanceNumber = n;
    img.imagePath = "img" + std::to_string(n);
    img.Cache.DICOM.ImageNum = n;  // the record travels whole with its key
    images.push_back(img);
  }
  return images;
}

std::vector<int> Keys(const TImgArr& images) {
  std::vector<int> keys;
  for (const auto& img : images) keys.push_back(img.instanceNumber);
  return keys;
}

TEST(Sort, NumericNotTextOrderWithNegativesAndZero) {
  TImgArr images = Images({10, 2, 1, -3, 0, 100, 20});
  TSortHandler::SortImages(images);
  EXPECT_EQ(Keys(images), (std::vector<int>{-3, 0, 1, 2, 10, 20, 100}));
  for (const auto& img : images) {
    EXPECT_EQ(img.Cache.DICOM.ImageNum, img.instanceNumber);
    EXPECT_EQ(img.imagePath, "img" + std::to_string(img.instanceNumber));
  }

  TSeriesArr series(3);
  series[0].seriesNumber = 3;
  series[1].seriesNumber = 1;
  series[2].seriesNumber = 2;
  series[0].images = Images({1, 2});
  TSortHandler::SortSeries(series);
  EXPECT_EQ(series[0].seriesNumber, 1);
  EXPECT_EQ(series[1].seriesNumber, 2);
  EXPECT_EQ(series[2].seriesNumber, 3);
  EXPECT_EQ(series[2].images.size(), 2u);  // children move with their series
}

TEST(Sort, EmptySingleDuplicatesAndLargeInputs) {
  TImgArr none;
  TSortHandler::SortImages(none);
  EXPECT_TRUE(none.empty());
  TImgArr one = Images({5});
  TSortHandler::SortImages(one);
  EXPECT_EQ(Keys(one), std::vector<int>{5});

  TImgArr same = Images({4, 4, 4, 1, 4});
  TSortHandler::SortImages(same);
  EXPECT_EQ(Keys(same), (std::vector<int>{1, 4, 4, 4, 4}));

  // Reverse, sorted and random orders of a long series.
  for (int variant = 0; variant < 3; ++variant) {
    TImgArr many;
    for (int i = 0; i < 5000; ++i) {
      TImg img;
      img.instanceNumber = variant == 0 ? 5000 - i : variant == 1 ? i : 0;
      many.push_back(std::move(img));
    }
    if (variant == 2) {
      std::mt19937 rng(7);
      for (auto& img : many) img.instanceNumber = static_cast<int>(rng() % 1000) - 500;
    }
    TSortHandler::SortImages(many);
    EXPECT_TRUE(std::is_sorted(many.begin(), many.end(), [](const TImg& a, const TImg& b) {
      return a.instanceNumber < b.instanceNumber;
    }));
  }
}

}  // namespace
