// JPEG XL inputs made at test time: PGM/PPM pictures written here, coded by
// cjxl, decoded for reference by djxl, and wrapped into DICOM by pydicom
// (jpegxl_fixture.py).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "pixels/codec_fixtures.h"

namespace jxltest {

using codectest::Bytes;
using codectest::Quote;

// A binary PGM (1 channel) or PPM (3) and its samples, interleaved.
struct Pnm {
  int width = 0;
  int height = 0;
  int channels = 1;
  int maxval = 255;
  std::vector<uint16_t> samples;
};

inline void WritePnm(const std::string& path, const Pnm& p) {
  std::string header = (p.channels == 3 ? "P6\n" : "P5\n") + std::to_string(p.width) + " " +
                       std::to_string(p.height) + "\n" + std::to_string(p.maxval) + "\n";
  Bytes b(header.begin(), header.end());
  for (uint16_t v : p.samples) {
    if (p.maxval > 255) b.push_back(uint8_t(v >> 8));  // PNM words are big-endian
    b.push_back(uint8_t(v));
  }
  codectest::WriteBytes(path, b);
}

inline Pnm ReadPnm(const std::string& path) {
  const Bytes b = codectest::ReadBytes(path);
  Pnm p;
  size_t at = 0;
  auto token = [&] {
    std::string t;
    while (at < b.size() && (std::isspace(b[at]) || b[at] == '#')) {
      if (b[at] == '#')
        while (at < b.size() && b[at] != '\n') ++at;
      else
        ++at;
    }
    while (at < b.size() && !std::isspace(b[at])) t.push_back(char(b[at++]));
    return t;
  };
  const std::string magic = token();
  p.channels = magic == "P6" ? 3 : 1;
  p.width = std::stoi(token());
  p.height = std::stoi(token());
  p.maxval = std::stoi(token());
  ++at;  // the one blank after maxval
  const size_t n = size_t(p.width) * size_t(p.height) * size_t(p.channels);
  const size_t width = p.maxval > 255 ? 2 : 1;
  if (b.size() < at + n * width) return Pnm{};
  for (size_t i = 0; i < n; ++i, at += width)
    p.samples.push_back(width == 2 ? uint16_t(b[at] << 8 | b[at + 1]) : b[at]);
  return p;
}

// A deterministic picture of `bits` bits (codectest::TestPicture).
inline Pnm Picture(int width, int height, int channels, int bits, uint32_t seed) {
  Pnm p;
  p.width = width;
  p.height = height;
  p.channels = channels;
  p.maxval = (1 << bits) - 1;
  p.samples = codectest::TestPicture(width, height, channels, bits, seed);
  return p;
}

inline std::string FixtureScript() {
  return "/usr/bin/python3 " +
         Quote(std::string(TAVROLEN_SOURCE_DIR) + "/tests/pixels/jpegxl_fixture.py");
}

inline bool FullRange(int maxval) {
  return maxval == 255 || maxval == 65535;
}

// Codes a picture with cjxl (options such as "-d 0") into dir/name.jxl. Depths
// other than 8 and 16 bits go through a PNG naming its significant bits.
inline Bytes Cjxl(const std::string& dir, const std::string& name, const Pnm& p,
                  const std::string& options) {
  const std::string pnm = dir + "/" + name + (p.channels == 3 ? ".ppm" : ".pgm");
  const std::string out = dir + "/" + name + ".jxl";
  WritePnm(pnm, p);
  std::string in = pnm;
  if (!FullRange(p.maxval)) {
    in = dir + "/" + name + ".png";
    EXPECT_TRUE(codectest::RunTool(FixtureScript() + " png " + Quote(pnm) + " " + Quote(in)));
  }
  EXPECT_TRUE(codectest::RunTool("cjxl " + Quote(in) + " " + Quote(out) + " " + options));
  return codectest::ReadBytes(out);
}

// What djxl decodes a stream to. djxl 0.7 writes the samples of other depths
// than 8 and 16 bits scaled to the full byte or word under the stream's own
// maxval; they are scaled back here.
inline Pnm Djxl(const std::string& dir, const std::string& name, const Bytes& jxl, int channels) {
  const std::string in = dir + "/" + name + ".djxl.jxl";
  const std::string out = dir + "/" + name + (channels == 3 ? ".djxl.ppm" : ".djxl.pgm");
  codectest::WriteBytes(in, jxl);
  EXPECT_TRUE(codectest::RunTool("djxl " + Quote(in) + " " + Quote(out)));
  Pnm p = ReadPnm(out);
  if (!FullRange(p.maxval)) {
    const uint32_t full = p.maxval > 255 ? 65535 : 255;
    for (uint16_t& v : p.samples) v = uint16_t((uint32_t(v) * p.maxval + full / 2) / full);
  }
  return p;
}

// Wraps streams into a DICOM file with pydicom, one fragment per frame.
struct FileSpec {
  std::string transferSyntax = "1.2.840.10008.1.2.4.110";
  int rows = 0;
  int columns = 0;
  int samples = 1;
  int bitsAllocated = 8;
  int bitsStored = 8;
  int pixelRepresentation = 0;
  std::string photometric = "MONOCHROME2";
};

inline std::string Wrap(const std::string& dir, const std::string& name, const FileSpec& s,
                        const std::vector<Bytes>& frames) {
  std::string args;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string f = dir + "/" + name + ".frame" + std::to_string(i) + ".jxl";
    codectest::WriteBytes(f, frames[i]);
    args += " " + Quote(f);
  }
  const std::string path = dir + "/" + name + ".dcm";
  std::ostringstream cmd;
  cmd << FixtureScript() << " wrap " << Quote(path) << " " << s.transferSyntax << " " << s.rows
      << " " << s.columns << " " << s.samples << " " << s.bitsAllocated << " " << s.bitsStored
      << " " << s.pixelRepresentation << " " << s.photometric << args;
  EXPECT_TRUE(codectest::RunTool(cmd.str()));
  return path;
}

}  // namespace jxltest
