// Bad input: files cut anywhere, length fields replaced by 0, odd values,
// 0xFFFFFFFF or huge values, and random bytes. Every read returns a verdict
// and keeps what it allocates within what the file holds.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "support/fixtures.h"
#include "support/paths.h"

using namespace fixtures;

namespace {

// A verdict and a record whose tables and buffers stay inside the file (the
// first `size` bytes of data).
void ReadAndCheck(const uint8_t* data, size_t length, bool tables = true) {
  DICOMdata h;
  try {
    ReadDicomHeaderFromMemory(data, length, tables, h, [](const std::string&) {});
  } catch (const EDicomReadError&) {
    return;  // a failed read is a verdict
  }
  const auto size = int64_t(length);
  ASSERT_EQ(h.gECATJPEG_pos_table.size(), size_t(h.gECATJPEG_table_entries));
  ASSERT_EQ(h.gECATJPEG_size_table.size(), size_t(h.gECATJPEG_table_entries));
  for (int k = 0; k < h.gECATJPEG_table_entries; ++k) {
    ASSERT_GE(h.gECATJPEG_pos_table[k], 0);
    ASSERT_GE(h.gECATJPEG_size_table[k], 0);
    ASSERT_LE(h.gECATJPEG_pos_table[k] + h.gECATJPEG_size_table[k], size);
  }
  ASSERT_LE(int64_t(h.overlay_data_bytes.size()), size);
  ASSERT_LE(int64_t(h.Lut.Lutdata.size()) * 2, size);
  ASSERT_LE(int64_t(h.PatientName.size()), std::max<int64_t>(size, 7));  // or "NO NAME"
  ASSERT_GE(h.XYZdim[2], 1);
}

void ReadAndCheck(const Bytes& f, bool tables = true) {
  ReadAndCheck(f.data(), f.size(), tables);
}

std::vector<Bytes> Fixtures() {
  std::vector<Bytes> all;
  all.push_back(SmallImageFile());
  ImageSpec implicit;
  implicit.explicitVR = false;
  all.push_back(SmallImageFile(implicit));
  ImageSpec be;
  be.littleEndian = false;
  all.push_back(SmallImageFile(be));
  ImageSpec frames;
  frames.frames = 3;
  // Three frames in four fragments, located by the offset table.
  all.push_back(EncapsulatedFile(frames, dicomwriter::kJPEGLosslessSV1, Fragments({30, 40, 60, 30}),
                                 {0, 38 + 48, 38 + 48 + 68}));

  // Icon, LUT and overlay in one file, with undefined lengths.
  DicomWriter w;
  AddImageHeader(w, {});
  w.BeginSequence(0x00283010, true);
  w.BeginItem(true);
  w.US(0x00283002, {3, 0, 16});
  w.OW(0x00283006, {1, 2, 3});
  w.EndItem();
  w.EndSequence();
  w.BeginSequence(0x00880200, true);
  w.BeginItem(true);
  w.US(0x00280010, {1});
  w.US(0x00280011, {1});
  w.OB(0x7FE00010, {1, 2});
  w.EndItem();
  w.EndSequence();
  w.US(0x60000010, {1});
  w.OW(0x60003000, {0xFF});
  AddNativePixels(w, {});
  all.push_back(Part10(w, dicomwriter::kExplicitVRLittleEndian));

  // A small DICOMDIR.
  DicomWriter d;
  d.BeginSequence(0x00041220, true);
  for (const char* type : {"PATIENT", "STUDY", "SERIES", "IMAGE", "PRIVATE", "IMAGE"}) {
    d.BeginItem(true);
    d.Text(0x00041430, "CS", type);
    d.Text(0x00041500, "CS", "A\\B_1");
    d.Text(0x00200013, "IS", "4");
    d.EndItem();
  }
  d.EndSequence();
  all.push_back(Part10(d, dicomwriter::kExplicitVRLittleEndian));
  return all;
}

}  // namespace

TEST(BadInput, TruncatedAtEveryOffset) {
  for (const Bytes& f : Fixtures()) {
    for (size_t n = 0; n <= f.size(); ++n) {
      ReadAndCheck(f.data(), n);
      if (HasFatalFailure()) FAIL() << "truncated at " << n;
    }
  }
}

TEST(BadInput, LengthFieldsReplaced) {
  // Zero, odd, the walk's special values, undefined and huge.
  const uint32_t longs[] = {0, 7, 13, 0x04000000, 0xFFFFFFFF, 0x7FFFFFFF};
  const uint16_t words[] = {0, 0xFFFF};
  for (Bytes f : Fixtures()) {
    // Every position, so every tag, VR and length field is hit.
    for (size_t at = 0; at + 4 <= f.size(); ++at) {
      const Bytes original(f.begin() + long(at), f.begin() + long(at) + 4);
      for (uint32_t v : longs) {
        for (bool little : {true, false}) {
          Put32(f, at, v, little);
          ReadAndCheck(f);
          if (HasFatalFailure()) FAIL() << "u32 " << v << " at " << at;
        }
      }
      std::copy(original.begin(), original.end(), f.begin() + long(at));
      for (uint16_t v : words) {
        Put16(f, at, v);
        ReadAndCheck(f);
        if (HasFatalFailure()) FAIL() << "u16 " << v << " at " << at;
      }
      std::copy(original.begin(), original.end(), f.begin() + long(at));
    }
  }
}

TEST(BadInput, RandomBytesAndRandomDamage) {
  std::mt19937 rng(20240131);
  const auto fixtures = Fixtures();
  for (int i = 0; i < 3000; ++i) {
    Bytes f;
    if (i % 2) {
      f = fixtures[size_t(i) % fixtures.size()];
      for (int k = 0; k < 8; ++k) f[rng() % f.size()] = uint8_t(rng());
    } else {
      f.resize(rng() % 3000);
      for (auto& b : f) b = uint8_t(rng());
      if (f.size() > 132 && i % 4 == 0) std::copy_n("DICM", 4, f.begin() + 128);
    }
    ReadAndCheck(f, i % 3 != 0);
    if (HasFatalFailure()) FAIL() << "case " << i;
  }
}

// Sample files cut anywhere (a few of them: a plain image, a
// multi-frame run-length image and a DICOMDIR).
TEST(BadInput, SampleFilesTruncatedAtEveryOffset) {
  REQUIRE_SAMPLES();
  for (const char* name : {"MR_small.dcm", "SC_rgb_rle_2frame.dcm", "JPEG2000.dcm",
                           "dicomdirtests/DICOMDIR-implicit"}) {
    const Bytes f = ReadFile(testsupport::SamplePath(name));
    ASSERT_FALSE(f.empty()) << name;
    // Every offset through the first 2 KiB (the headers), then every 7th.
    for (size_t n = 0; n <= f.size(); n += n < 2048 ? 1 : 7) {
      ReadAndCheck(f.data(), n);
      if (HasFatalFailure()) FAIL() << name << " truncated at " << n;
    }
  }
}

// Many text elements whose lengths run past the end of the file: each is read
// as long as the walk then takes it, not to the end of the file, so the read
// stays linear in the file size.
TEST(BadInput, ManyOverlongTextsStayLinear) {
  DicomWriter w(false, true);
  for (int i = 0; i < 65536; ++i) w.ElementWithLength(0x00080060, "", 0xFFFF0008u, Bytes(8, 'A'));
  const auto start = std::chrono::steady_clock::now();
  const ReadOutcome o = ReadHeader(w.Bytes());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(o.hdrOK);
  EXPECT_EQ(o.header.modality, "AAAAAAAA");
}
