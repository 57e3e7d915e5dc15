// Inputs for the codec tests, made at test time with DCMTK (dump2dcm,
// dcmcjpeg, dcmcrle, ...), GDCM and libjpeg-turbo's tools, and the helpers to
// pull pixel data and fragments back out of the files they write.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "support/paths.h"

namespace codectest {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// Runs a shell command; its output goes to a log shown when it fails.
inline ::testing::AssertionResult RunTool(const std::string& command) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string log = std::filesystem::temp_directory_path() /
                          (std::string("tavrolen-") + (info ? info->name() : "tool") + "-" +
                           std::to_string(std::hash<std::string>{}(command)) + ".log");
  const int rc = std::system((command + " >" + Quote(log) + " 2>&1").c_str());
  if (rc == 0) {
    std::filesystem::remove(log);
    return ::testing::AssertionSuccess();
  }
  const Bytes out = ReadBytes(log);
  std::filesystem::remove(log);
  return ::testing::AssertionFailure()
         << command << " failed (" << rc << "): " << std::string(out.begin(), out.end());
}

// The standard output of a command ("" when it fails).
inline std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* p = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
  }
  return out;
}

// The Planar Configuration a file states (0 when absent).
inline int PlanarConfiguration(const std::string& dcm) {
  const std::string line = Capture("dcmdump +P 0028,0006 " + Quote(dcm));
  const size_t us = line.find("US ");
  return us == std::string::npos ? 0 : std::atoi(line.c_str() + us + 3);
}

// R plane, G plane, B plane to R, G, B per pixel.
inline std::vector<uint8_t> Interleave(const std::vector<uint8_t>& planes, size_t pixels,
                                       size_t bytesPerSample = 1) {
  std::vector<uint8_t> out(planes.size());
  for (size_t c = 0; c < 3; ++c) {
    for (size_t i = 0; i < pixels; ++i) {
      for (size_t b = 0; b < bytesPerSample; ++b) {
        out[(3 * i + c) * bytesPerSample + b] = planes[(c * pixels + i) * bytesPerSample + b];
      }
    }
  }
  return out;
}

// A directory of its own for the running test.
inline std::string TestDir() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return testsupport::TempDir(std::string("pixels-") + info->test_suite_name() + "-" +
                              info->name());
}

struct ImageSpec {
  int rows = 0;
  int columns = 0;
  int frames = 1;
  int bitsAllocated = 16;
  int bitsStored = 16;
  int samplesPerPixel = 1;
  int planar = 0;
  int pixelRepresentation = 0;
  std::string photometric = "MONOCHROME2";
};

inline std::string DumpHeader(const ImageSpec& s, const std::string& transferSyntax) {
  const std::string hb = std::to_string(s.bitsStored - 1);
  std::string t;
  t += "(0002,0010) UI [" + transferSyntax + "]\n";
  t += "(0008,0016) UI =SecondaryCaptureImageStorage\n";
  t += "(0008,0018) UI [1.2.826.0.1.3680043.9.7777.1]\n";
  t += "(0008,0060) CS [OT]\n";
  t += "(0028,0002) US " + std::to_string(s.samplesPerPixel) + "\n";
  t += "(0028,0004) CS [" + s.photometric + "]\n";
  if (s.samplesPerPixel > 1) t += "(0028,0006) US " + std::to_string(s.planar) + "\n";
  if (s.frames > 1) t += "(0028,0008) IS [" + std::to_string(s.frames) + "]\n";
  t += "(0028,0010) US " + std::to_string(s.rows) + "\n";
  t += "(0028,0011) US " + std::to_string(s.columns) + "\n";
  t += "(0028,0100) US " + std::to_string(s.bitsAllocated) + "\n";
  t += "(0028,0101) US " + std::to_string(s.bitsStored) + "\n";
  t += "(0028,0102) US " + hb + "\n";
  t += "(0028,0103) US " + std::to_string(s.pixelRepresentation) + "\n";
  return t;
}

// An uncompressed explicit little-endian file holding `pixels` as stored.
inline std::string WriteDicom(const std::string& dir, const std::string& name, const ImageSpec& s,
                              const Bytes& pixels) {
  const std::string raw = dir + "/" + name + ".pixels";
  WriteBytes(raw, pixels);
  std::string dump = DumpHeader(s, "1.2.840.10008.1.2.1");
  dump += std::string("(7fe0,0010) ") + (s.bitsAllocated > 8 ? "OW" : "OB") + " =" + raw + "\n";
  const std::string txt = dir + "/" + name + ".txt";
  WriteBytes(txt, Bytes(dump.begin(), dump.end()));
  const std::string path = dir + "/" + name + ".dcm";
  EXPECT_TRUE(RunTool("dump2dcm " + Quote(txt) + " " + Quote(path)));
  return path;
}

// An encapsulated file: an empty offset table, then one item per fragment.
inline std::string WriteEncapsulatedDicom(const std::string& dir, const std::string& name,
                                          const ImageSpec& s, const std::string& transferSyntax,
                                          const std::vector<Bytes>& fragments) {
  std::string dump = DumpHeader(s, transferSyntax);
  dump += "(7fe0,0010) OB (PixelSequence)\n(fffe,e000) pi\n";
  for (size_t i = 0; i < fragments.size(); ++i) {
    const std::string raw = dir + "/" + name + ".fragment" + std::to_string(i);
    WriteBytes(raw, fragments[i]);
    dump += "(fffe,e000) pi =" + raw + "\n";
  }
  dump += "(fffe,e0dd) na\n";
  const std::string txt = dir + "/" + name + ".txt";
  WriteBytes(txt, Bytes(dump.begin(), dump.end()));
  const std::string path = dir + "/" + name + ".dcm";
  EXPECT_TRUE(RunTool("dump2dcm " + Quote(txt) + " " + Quote(path)));
  return path;
}

// The pixel data of a file as dcmdump writes it out: one element for
// uncompressed data; the offset table and then every fragment for
// encapsulated data.
inline std::vector<Bytes> PixelItems(const std::string& dcm) {
  namespace fs = std::filesystem;
  // Never beside the input: sample files live in a system folder that other
  // tests list while this runs. One folder per process and file.
  std::string key = fs::path(dcm).filename().string() + "-" + std::to_string(::getpid());
  const std::string out = testsupport::TempDir("items-" + key);
  EXPECT_TRUE(RunTool("dcmdump +W " + Quote(out) + " " + Quote(dcm)));
  std::map<int, Bytes> byIndex;
  for (const auto& e : fs::directory_iterator(out)) {
    const std::string f = e.path().filename().string();
    // <name>.<index>.raw
    const size_t end = f.rfind(".raw");
    const size_t dot = f.rfind('.', end - 1);
    if (end == std::string::npos || dot == std::string::npos) continue;
    byIndex[std::stoi(f.substr(dot + 1, end - dot - 1))] = ReadBytes(e.path().string());
  }
  std::vector<Bytes> items;
  for (auto& [i, b] : byIndex) items.push_back(std::move(b));
  std::error_code ec;
  fs::remove_all(out, ec);
  return items;
}

// Uncompressed pixel data of a file, for oracles that decode to a new file.
inline Bytes PixelData(const std::string& dcm) {
  const std::vector<Bytes> items = PixelItems(dcm);
  EXPECT_EQ(items.size(), 1u) << dcm;
  return items.empty() ? Bytes() : items[0];
}

// Deterministic test pictures: a gradient with a sharp edge and noise, in
// `bits` bits, `components` samples per pixel, interleaved.
inline std::vector<uint16_t> TestPicture(int width, int height, int components, int bits,
                                         uint32_t seed) {
  std::vector<uint16_t> s(static_cast<size_t>(width) * height * components);
  const uint32_t max = (1u << bits) - 1;
  uint32_t state = seed * 2654435761u + 1;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < components; ++c) {
        state = state * 1664525u + 1013904223u;
        const double base = (x + 2.0 * y + 37.0 * c) / (width + 2.0 * height + 80.0);
        const double edge = (x > width / 2 && y > height / 3) ? 0.35 : 0.0;
        const double noise = (static_cast<double>(state >> 16 & 0xFF) - 127.5) / 2048.0;
        const double v = std::clamp(0.1 + 0.55 * base + edge + noise, 0.0, 1.0);
        s[(static_cast<size_t>(y) * width + x) * components + c] =
            static_cast<uint16_t>(v * max + 0.5);
      }
    }
  }
  return s;
}

// Samples as a file stores them: bytes, or little-endian words.
inline Bytes StoredBytes(const std::vector<uint16_t>& samples, int bitsAllocated) {
  Bytes b;
  for (uint16_t v : samples) {
    b.push_back(static_cast<uint8_t>(v));
    if (bitsAllocated > 8) b.push_back(static_cast<uint8_t>(v >> 8));
  }
  return b;
}

// Words (machine order) or bytes of a decoded buffer, as the stored bytes a
// little-endian file would hold.
inline Bytes WordsAsBytes(const uint16_t* words, size_t n) {
  Bytes b(n * 2);
  for (size_t i = 0; i < n; ++i) {
    b[2 * i] = static_cast<uint8_t>(words[i]);
    b[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
  }
  return b;
}

// The first n bytes (pixel data of odd length is padded by one byte).
inline Bytes Head(const Bytes& b, size_t n) {
  return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size())));
}

}  // namespace codectest
