// pydicom's sample files: every file is read without crash or hang, and the
// image files give the values in the table. The expected values are those
// pydicom reads from the same files; ImageStart is the offset of the first
// pixel byte as pydicom locates it (value_tell of Pixel Data).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "dicom/dicom.h"
#include "support/paths.h"

namespace fs = std::filesystem;

namespace {

enum class Codec { NONE, RLE, LOSSLESS, LOSSY, J2K };

struct Expected {
  const char* file;
  int columns, rows, frames, bitsAllocated, samples, monochrome;
  double mm[2];
  double position[3];
  double orientation[6];
  int windowCenter, windowWidth;
  double slope, intercept;
  Codec codec;
  int littleEndian;
  long imageStart;  // -1: compressed, ImageStart is not a pixel offset
};

// clang-format off
const Expected kImages[] = {
    {"693_J2KI.dcm", 512, 512, 1, 16, 1, 2, {0.478516, 0.478516}, {-122.5, -112.4, 47.0}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 40, 100, 1.0, -1024.0, Codec::J2K, 1, -1},
    {"CT_small.dcm", 128, 128, 1, 16, 1, 2, {0.661468, 0.661468}, {-158.135803, -179.035797, -75.699997}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 0, 0, 1.0, -1024.0, Codec::NONE, 1, 6300},
    {"ExplVR_BigEnd.dcm", 80, 60, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::NONE, 0, 1012},
    {"GDCMJ2K_TextGBR.dcm", 400, 400, 1, 8, 3, 4, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::J2K, 1, -1},
    {"J2K_pixelrep_mismatch.dcm", 512, 512, 1, 16, 1, 2, {0.431, 0.431}, {-110.2153, -98.1898, 72.1446}, {1.0, 0.0, 0.0, 0.0, 0.9272, -0.3746}, 40, 100, 1.0, 0.0, Codec::J2K, 1, -1},
    {"JPEG-lossy.dcm", 256, 1024, 1, 16, 1, 2, {2.26, 2.26}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"JPEG2000-embedded-sequence-delimiter.dcm", 256, 1024, 1, 16, 1, 2, {2.26, 2.26}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::J2K, 1, -1},
    {"JPEG2000.dcm", 256, 1024, 1, 16, 1, 2, {2.26, 2.26}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::J2K, 1, -1},
    {"JPGExtended.dcm", 256, 1024, 1, 16, 1, 2, {2.26, 2.26}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"MR_small.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::NONE, 1, 1500},
    {"MR_small_RLE.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::RLE, 1, -1},
    {"MR_small_bigendian.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::NONE, 0, 1516},
    {"MR_small_expb.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::NONE, 0, 1516},
    {"MR_small_implicit.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::NONE, 1, 1510},
    {"MR_small_jp2klossless.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::J2K, 1, -1},
    {"MR_small_jpeg_ls_lossless.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"MR_small_padded.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::NONE, 1, 1500},
    {"MR_truncated.dcm", 64, 64, 1, 16, 1, 2, {0.3125, 0.3125}, {-83.9063, -91.2, 6.6406}, {1.0, 0.0, 0.0, 0.0, 1.0, 0.0}, 600, 1600, 1.0, 0.0, Codec::NONE, 1, 1500},
    {"SC_jpeg_no_color_transform.dcm", 256, 256, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_jpeg_no_color_transform_2.dcm", 256, 256, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_dcmtk_+eb+cr.dcm", 100, 100, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_dcmtk_+eb+cy+n1.dcm", 100, 100, 1, 8, 3, 4, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_dcmtk_+eb+cy+n2.dcm", 100, 100, 1, 8, 3, 4, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_dcmtk_+eb+cy+np.dcm", 100, 100, 1, 8, 3, 4, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_dcmtk_+eb+cy+s2.dcm", 100, 100, 1, 8, 3, 4, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_dcmtk_+eb+cy+s4.dcm", 100, 100, 1, 8, 3, 4, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_gdcm_KY.dcm", 100, 100, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::J2K, 1, -1},
    {"SC_rgb_jpeg.dcm", 256, 256, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_jpeg_app14_dcmd.dcm", 256, 256, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_jpeg_dcmd.dcm", 256, 256, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::NONE, 1, 898},
    {"SC_rgb_jpeg_dcmtk.dcm", 100, 100, 1, 8, 3, 4, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_jpeg_gdcm.dcm", 100, 100, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSLESS, 1, -1},
    {"SC_rgb_jpeg_lossy_gdcm.dcm", 100, 100, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_rgb_rle.dcm", 100, 100, 1, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::RLE, 1, -1},
    {"SC_rgb_rle_16bit.dcm", 100, 100, 1, 16, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::RLE, 1, -1},
    {"SC_rgb_rle_16bit_2frame.dcm", 100, 100, 2, 16, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::RLE, 1, -1},
    {"SC_rgb_rle_2frame.dcm", 100, 100, 2, 8, 3, 3, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::RLE, 1, -1},
    {"SC_rgb_small_odd.dcm", 3, 3, 1, 8, 3, 3, {33.333333, 33.333333}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::NONE, 1, 1416},
    {"SC_rgb_small_odd_jpeg.dcm", 3, 3, 1, 8, 3, 4, {33.333333, 33.333333}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::LOSSY, 1, -1},
    {"SC_ybr_full_422_uncompressed.dcm", 100, 100, 1, 8, 3, 4, {1.0, 1.0}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0, 1.0, 0.0, Codec::NONE, 1, 1686},
    // The images of the DICOMDIR test set, 16 x 16 pixels each.
    {"dicomdirtests/77654033/CR1/6154", 16, 16, 1, 16, 1, 1, {1, 1}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 1600, 2800, 0.684, 200, Codec::NONE, 1, 1788},
    {"dicomdirtests/77654033/CR2/6247", 16, 16, 1, 16, 1, 1, {1, 1}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 1600, 2800, 0.684, 200, Codec::NONE, 1, 1786},
    {"dicomdirtests/77654033/CR3/6278", 16, 16, 1, 16, 1, 1, {1, 1}, {0, 0, 0}, {0, 0, 0, 0, 0, 0}, 1600, 2800, 0.684, 200, Codec::NONE, 1, 1786},
    {"dicomdirtests/77654033/CT2/17106", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-125, -128.100006, -99.480003}, {1, 0, 0, 0, 1, 0}, 30, 100, 1, -1024, Codec::NONE, 1, 3298},
    {"dicomdirtests/77654033/CT2/17136", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-125, -128.100006, 103.019997}, {1, 0, 0, 0, 1, 0}, 30, 100, 1, -1024, Codec::NONE, 1, 3300},
    {"dicomdirtests/77654033/CT2/17166", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-125, -128.100006, 104.269997}, {1, 0, 0, 0, 1, 0}, 30, 100, 1, -1024, Codec::NONE, 1, 3300},
    {"dicomdirtests/77654033/CT2/17196", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-125, -128.100006, 105.519997}, {1, 0, 0, 0, 1, 0}, 30, 100, 1, -1024, Codec::NONE, 1, 3300},
    {"dicomdirtests/98892001/CT2N/6293", 16, 16, 1, 16, 1, 2, {0.596847, 0.545455}, {0, 265, 50}, {0, -1, 0, 0, 0, -1}, 50, 500, 1, -1024, Codec::NONE, 1, 3408},
    {"dicomdirtests/98892001/CT2N/6924", 16, 16, 1, 16, 1, 2, {0.596847, 0.545455}, {-265, 0, 50}, {1, 0, 0, 0, 0, -1}, 50, 500, 1, -1024, Codec::NONE, 1, 3396},
    {"dicomdirtests/98892001/CT5N/2062", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-72.199997, -143, 8.7625}, {1, 0, 0, 0, 1, 0}, 40, 400, 1, -1024, Codec::NONE, 1, 3424},
    {"dicomdirtests/98892001/CT5N/2392", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-72.199997, -143, 6.2625}, {1, 0, 0, 0, 1, 0}, 40, 400, 1, -1024, Codec::NONE, 1, 3424},
    {"dicomdirtests/98892001/CT5N/2693", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-72.199997, -143, 3.7625}, {1, 0, 0, 0, 1, 0}, 40, 400, 1, -1024, Codec::NONE, 1, 3424},
    {"dicomdirtests/98892001/CT5N/3023", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-72.199997, -143, 1.2625}, {1, 0, 0, 0, 1, 0}, 40, 400, 1, -1024, Codec::NONE, 1, 3424},
    {"dicomdirtests/98892001/CT5N/3353", 16, 16, 1, 16, 1, 2, {0.488281, 0.488281}, {-72.199997, -143, -1.2375}, {1, 0, 0, 0, 1, 0}, 40, 400, 1, -1024, Codec::NONE, 1, 3426},
    {"dicomdirtests/98892003/MR1/15820", 16, 16, 1, 16, 1, 2, {1.367188, 1.367188}, {0, -175, 175}, {0, 1, -0, -0, 0, -1}, 243, 798, 1, 0, Codec::NONE, 1, 1824},
    {"dicomdirtests/98892003/MR1/4919", 16, 16, 1, 16, 1, 2, {1.367188, 1.367188}, {0, -175, 175}, {0, 1, -0, -0, 0, -1}, 349, 829, 1, 0, Codec::NONE, 1, 1824},
    {"dicomdirtests/98892003/MR1/5641", 16, 16, 1, 16, 1, 2, {1.367188, 1.367188}, {0, -175, 175}, {0, 1, -0, -0, 0, -1}, 282, 782, 1, 0, Codec::NONE, 1, 1818},
    {"dicomdirtests/98892003/MR2/15970", 16, 16, 1, 16, 1, 2, {1.367188, 1.367188}, {0, -175, 175}, {0, 1, -0, -0, 0, -1}, 303, 971, 1, 0, Codec::NONE, 1, 1824},
    {"dicomdirtests/98892003/MR2/4950", 16, 16, 1, 16, 1, 2, {1.171875, 1.171875}, {-153.5926, 2.08926, 168.1641}, {1, -0, -0, -0, 0, -1}, 378, 919, 1, 0, Codec::NONE, 1, 1844},
    {"dicomdirtests/98892003/MR2/4981", 16, 16, 1, 16, 1, 2, {1.171875, 1.171875}, {-150, -149.3036, 18.75}, {1, -0, -0, -0, 1, 0}, 446, 752, 1, 0, Codec::NONE, 1, 1842},
    {"dicomdirtests/98892003/MR2/5011", 16, 16, 1, 16, 1, 2, {1.171875, 1.171875}, {-0.696426, -149.4141, 168.1641}, {0, 1, -0, -0, 0, -1}, 388, 836, 1, 0, Codec::NONE, 1, 1842},
    {"dicomdirtests/98892003/MR2/6273", 16, 16, 1, 16, 1, 2, {1.171875, 1.171875}, {-150, -146.1786, 11.875}, {1, -0, -0, -0, 1, 0}, 359, 762, 1, 0, Codec::NONE, 1, 1836},
    {"dicomdirtests/98892003/MR2/6605", 16, 16, 1, 16, 1, 2, {1.171875, 1.171875}, {-0.696426, -146.2891, 161.2891}, {0, 1, -0, -0, 0, -1}, 325, 761, 1, 0, Codec::NONE, 1, 1836},
    {"dicomdirtests/98892003/MR2/6935", 16, 16, 1, 16, 1, 2, {1.171875, 1.171875}, {-153.5926, 5.21426, 161.2891}, {1, -0, -0, -0, 0, -1}, 283, 757, 1, 0, Codec::NONE, 1, 1838},
    {"dicomdirtests/98892003/MR700/4467", 16, 16, 1, 16, 1, 2, {0.390625, 0.390625}, {-78.63148, -72.91145, 98.89108}, {0.653996, 0.756504, 0.00377102, -0.00133901, 0.00614239, -1}, 149, 359, 1, 0, Codec::NONE, 1, 1838},
    {"dicomdirtests/98892003/MR700/4528", 16, 16, 1, 16, 1, 2, {0.390625, 0.390625}, {-109.1489, -25.54486, 99.22289}, {0.959171, 0.282838, 0.000452936, -0.00133901, 0.00614239, -1}, 149, 359, 1, 0, Codec::NONE, 1, 1836},
    {"dicomdirtests/98892003/MR700/4558", 16, 16, 1, 16, 1, 2, {0.390625, 0.390625}, {-113.2319, 2.623722, 99.40138}, {1, 0.00115227, -0.00133196, -0.00133901, 0.00614239, -1}, 149, 359, 1, 0, Codec::NONE, 1, 1836},
    {"dicomdirtests/98892003/MR700/4588", 16, 16, 1, 16, 1, 2, {0.390625, 0.390625}, {-97.29537, -51.42206, 99.04807}, {0.840635, 0.54161, 0.00220114, -0.00133901, 0.00614239, -1}, 149, 359, 1, 0, Codec::NONE, 1, 1838},
    {"dicomdirtests/98892003/MR700/4618", 16, 16, 1, 16, 1, 2, {0.390625, 0.390625}, {-54.6693, -88.27211, 98.76465}, {0.414374, 0.910111, 0.00503539, -0.00133901, 0.00614239, -1}, 149, 359, 1, 0, Codec::NONE, 1, 1838},
    {"dicomdirtests/98892003/MR700/4648", 16, 16, 1, 16, 1, 2, {0.390625, 0.390625}, {1.112873, -96.2268, 98.64109}, {-0.143447, 0.989657, 0.00627094, -0.00133901, 0.00614239, -1}, 149, 359, 1, 0, Codec::NONE, 1, 1838},
    {"dicomdirtests/98892003/MR700/4678", 16, 16, 1, 16, 1, 2, {0.390625, 0.390625}, {-27.35009, -96.25959, 98.679}, {0.141182, 0.989985, 0.00589183, -0.00133901, 0.00614239, -1}, 149, 359, 1, 0, Codec::NONE, 1, 1838},
};
// clang-format on

std::vector<std::string> AllSampleFiles() {
  std::vector<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(testsupport::SampleDir()))
    if (e.is_regular_file()) files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

TEST(SampleFiles, ImageFilesMatchTheTable) {
  REQUIRE_SAMPLES();
  for (const Expected& e : kImages) {
    SCOPED_TRACE(e.file);
    DICOMdata h;
    std::vector<std::string> messages;
    const DicomReadResult r =
        ReadDicomHeaderFromFile(testsupport::SamplePath(e.file), true, h,
                                [&](const std::string& t) { messages.push_back(t); });
    EXPECT_TRUE(r.hdrOK);
    EXPECT_TRUE(r.imgOK);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(h.XYZdim[0], e.columns);
    EXPECT_EQ(h.XYZdim[1], e.rows);
    EXPECT_EQ(h.XYZdim[2], e.frames);
    EXPECT_EQ(h.Allocbits_per_pixel, e.bitsAllocated);
    EXPECT_EQ(h.SamplesPerPixel, e.samples);
    EXPECT_EQ(h.Monochrome, e.monochrome);
    EXPECT_DOUBLE_EQ(h.XYZmm[0], e.mm[0]);
    EXPECT_DOUBLE_EQ(h.XYZmm[1], e.mm[1]);
    for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(h.image_Postion[i], e.position[i]);
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(h.IMAGE_ORIENTATION_PATIENT[i], e.orientation[i]);
    EXPECT_EQ(h.WindowCenter, e.windowCenter);
    EXPECT_EQ(h.WindowWidth, e.windowWidth);
    EXPECT_FLOAT_EQ(h.IntenScale, float(e.slope));
    EXPECT_FLOAT_EQ(h.IntenIntercept, float(e.intercept));
    EXPECT_EQ(h.RunLengthEncoding, e.codec == Codec::RLE);
    EXPECT_EQ(h.JPEGlosslessCpt, e.codec == Codec::LOSSLESS);
    EXPECT_EQ(h.JPEGlossyCpt, e.codec == Codec::LOSSY);
    EXPECT_EQ(h.JPEGJ2k, e.codec == Codec::J2K);
    EXPECT_EQ(h.little_endian, e.littleEndian);
    if (e.codec == Codec::NONE) {
      EXPECT_EQ(h.ImageStart, e.imageStart);
      EXPECT_EQ(h.gECATJPEG_table_entries, 0);
    } else {
      // Every frame is located, inside the file.
      EXPECT_EQ(h.gECATJPEG_table_entries, e.frames);
      const auto size = int64_t(fs::file_size(testsupport::SamplePath(e.file)));
      for (int k = 0; k < h.gECATJPEG_table_entries; ++k) {
        EXPECT_GT(h.gECATJPEG_size_table[k], 0);
        EXPECT_LE(h.gECATJPEG_pos_table[k] + h.gECATJPEG_size_table[k], size);
      }
    }
  }
}

// Whatever the file, a read returns a verdict, quickly, with tables that stay
// inside the file.
TEST(SampleFiles, EveryFileIsReadWithoutCrashOrHang) {
  REQUIRE_SAMPLES();
  const auto files = AllSampleFiles();
  EXPECT_GT(files.size(), 150u);
  for (const auto& f : files) {
    for (bool tables : {true, false}) {
      SCOPED_TRACE(f);
      const auto start = std::chrono::steady_clock::now();
      DICOMdata h;
      try {
        ReadDicomHeaderFromFile(f, tables, h, [](const std::string&) {});
      } catch (const EDicomReadError&) {
        // A failed read is a verdict too.
      }
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
      ASSERT_EQ(h.gECATJPEG_pos_table.size(), size_t(h.gECATJPEG_table_entries));
      ASSERT_EQ(h.gECATJPEG_size_table.size(), size_t(h.gECATJPEG_table_entries));
      const auto size = int64_t(fs::file_size(f));
      for (int k = 0; k < h.gECATJPEG_table_entries; ++k)
        EXPECT_LE(h.gECATJPEG_pos_table[k] + h.gECATJPEG_size_table[k], size);
      EXPECT_LE(int64_t(h.overlay_data_bytes.size()), size);
      EXPECT_LE(int64_t(h.Lut.Lutdata.size()) * 2, size);
    }
  }
}

// Files that are no images, and images of the deeper formats (32 and 1 bits
// allocated): their verdicts and the image values read.
TEST(SampleFiles, VerdictsOfOddFiles) {
  REQUIRE_SAMPLES();
  const char* const k32 = nullptr;  // 32 and 1 bits are read, without a message
  const char* const k1 = nullptr;
  const struct {
    const char* file;
    bool hdrOK, imgOK;
    const char* message;  // null: none
    int columns, rows, frames, samples;
    bool rle;
  } cases[] = {
      {"rtplan.dcm", false, false, nullptr, 1, 1, 1, 1, false},  // no pixel data: runs off the end
      {"empty_charset_LEI.dcm", false, false, nullptr, 1, 1, 1, 1, false},  // 276 bytes
      {"no_meta.dcm", false, false, nullptr, 1, 1, 1, 1, false},      // starts with a stray byte
      {"image_dfl.dcm", true, true, nullptr, 512, 512, 1, 1, false},  // deflated data set
      {"rtdose.dcm", true, true, k32, 10, 10, 15, 1, false},
      {"rtdose_1frame.dcm", true, true, k32, 10, 10, 1, 1, false},
      {"rtdose_expb.dcm", true, true, k32, 10, 10, 15, 1, false},
      {"rtdose_expb_1frame.dcm", true, true, k32, 10, 10, 1, 1, false},
      {"rtdose_rle.dcm", true, true, k32, 10, 10, 15, 1, true},
      {"rtdose_rle_1frame.dcm", true, true, k32, 10, 10, 1, 1, true},
      {"badVR.dcm", true, true, k32, 10, 10, 1, 1, false},
      {"liver_1frame.dcm", true, true, k1, 512, 512, 1, 1, false},
      {"liver_expb_1frame.dcm", true, true, k1, 512, 512, 1, 1, false},
      {"SC_rgb_rle_32bit.dcm", true, true, k32, 100, 100, 1, 3, true},
      {"SC_rgb_rle_32bit_2frame.dcm", true, true, k32, 100, 100, 2, 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    DICOMdata h;
    std::vector<std::string> messages;
    const DicomReadResult r =
        ReadDicomHeaderFromFile(testsupport::SamplePath(c.file), true, h,
                                [&](const std::string& t) { messages.push_back(t); });
    EXPECT_EQ(r.hdrOK, c.hdrOK);
    EXPECT_EQ(r.imgOK, c.imgOK);
    EXPECT_EQ(messages,
              c.message ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    EXPECT_EQ(h.XYZdim[0], c.columns);
    EXPECT_EQ(h.XYZdim[1], c.rows);
    EXPECT_EQ(h.XYZdim[2], c.frames);
    EXPECT_EQ(h.SamplesPerPixel, c.samples);
    EXPECT_EQ(h.RunLengthEncoding, c.rle);
  }
}
