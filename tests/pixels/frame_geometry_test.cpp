#include <gtest/gtest.h>

#include "pixels/FrameGeometry.h"

TEST(FrameGeometry, BytesPerPixelRoundsHalfToEven) {
  DICOMdata h;
  h.XYZdim = {512, 256, 1, 1};
  h.Allocbits_per_pixel = 12;
  EXPECT_EQ(ComputeFrameGeometry(h).bytesPerPixel, 2);
  EXPECT_EQ(ComputeFrameGeometry(h).frameBytes, 512 * 256 * 2);
  h.Allocbits_per_pixel = 4;
  EXPECT_EQ(ComputeFrameGeometry(h).bytesPerPixel, 0);
  h.Allocbits_per_pixel = 8;
  h.SamplesPerPixel = 3;
  EXPECT_EQ(ComputeFrameGeometry(h).bitProduct, 24);
  EXPECT_EQ(ComputeFrameGeometry(h).frameBytes, 512 * 256 * 3);
}

TEST(FrameGeometry, HugeDimensionsDoNotOverflow) {
  DICOMdata h;
  h.XYZdim = {65535, 65535, 1, 1};
  h.Allocbits_per_pixel = 16;
  EXPECT_EQ(ComputeFrameGeometry(h).frameBytes, int64_t{65535} * 65535 * 2);
  h.XYZdim = {-5, 10, 1, 1};
  EXPECT_EQ(ComputeFrameGeometry(h).pixelCount, 0);
}
