#include "dicom/DeflatedDataSet.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>

#include "dicom/FileCache.h"

namespace {

uint16_t Le16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool LongLength(const uint8_t* vr) {
  static const char* const kLong[] = {"OB", "OW", "OF", "OD", "OL", "OV", "SQ",
                                      "UT", "UN", "UC", "UR", "SV", "UV"};
  return std::any_of(std::begin(kLong), std::end(kLong),
                     [&](const char* v) { return vr[0] == v[0] && vr[1] == v[1]; });
}

// A zlib header: compression method 8, a window of at most 32 KiB, and the
// check bits that make the first two bytes a multiple of 31.
bool HasZlibHeader(const uint8_t* p, size_t n) {
  return n >= 2 && (p[0] & 0x0F) == 8 && (p[0] >> 4) <= 7 && ((p[0] << 8) | p[1]) % 31 == 0;
}

std::string Megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld MB", static_cast<long long>(bytes >> 20));
  return text;
}

}  // namespace

size_t DeflatedDataSetStart(const uint8_t* data, size_t size) {
  size_t at = 0;
  if (size >= 132 && std::memcmp(data + 128, "DICM", 4) == 0)
    at = 132;
  else if (size >= 4 && std::memcmp(data, "DICM", 4) == 0)
    at = 4;
  else
    return 0;
  // The meta group: explicit VR little endian, group 0002.
  bool deflated = false;
  while (at + 8 <= size && Le16(data + at) == 0x0002) {
    const uint16_t element = Le16(data + at + 2);
    const uint8_t* vr = data + at + 4;
    size_t header = 8;
    uint64_t length = Le16(data + at + 6);
    if (LongLength(vr)) {
      if (at + 12 > size) return 0;
      header = 12;
      length = Le32(data + at + 8);
    }
    if (length > size - at - header) return 0;
    if (element == 0x0010) {
      std::string_view uid(reinterpret_cast<const char*>(data + at + header), size_t(length));
      while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.remove_suffix(1);
      deflated = uid == kDeflatedSyntax;
    }
    at += header + size_t(length);
  }
  return deflated ? at : 0;
}

void InflatedFile::Free::operator()(uint8_t* p) const {
  std::free(p);
}

DeflateVerdict InflateDataSet(const uint8_t* data, size_t size, InflatedFile& out,
                              std::string* why) {
  const size_t start = DeflatedDataSetStart(data, size);
  if (start == 0) return DeflateVerdict::kNotDeflated;
  const uint8_t* in = data + start;
  const size_t inSize = size - start;
  const int64_t limit =
      std::min<int64_t>(kMaxInflateRatio * int64_t(inSize) + kInflateAllowance, kMaxInflatedBytes);
  // Reserved, not touched: the pages the stream does not reach cost nothing.
  auto* block = static_cast<uint8_t*>(std::malloc(start + size_t(limit) + 1));
  if (!block) {
    if (why) *why = "The deflated data set does not fit in memory.";
    return DeflateVerdict::kRefused;
  }
  out.data_.reset(block);
  std::memcpy(block, data, start);
  // One byte past the bound tells a stream that would go on from one that ends there.
  const size_t room = size_t(limit) + 1;
  const bool zlibHeader = HasZlibHeader(in, inSize);
  size_t made = 0;
  int ret = Z_OK;
  // libdeflate inflates a whole stream two to three times faster than zlib;
  // zlib takes the streams it refuses (cut short or damaged) and keeps what
  // they give.
  bool whole = false;
  if (libdeflate_decompressor* d = libdeflate_alloc_decompressor()) {
    const libdeflate_result r =
        zlibHeader ? libdeflate_zlib_decompress(d, in, inSize, block + start, room, &made)
                   : libdeflate_deflate_decompress(d, in, inSize, block + start, room, &made);
    libdeflate_free_decompressor(d);
    if (r == LIBDEFLATE_SUCCESS) {
      whole = true;
      ret = Z_STREAM_END;
    } else if (r == LIBDEFLATE_INSUFFICIENT_SPACE) {
      whole = true;
      made = room;
    } else {
      made = 0;
    }
  }
  if (!whole) {
    z_stream z{};
    if (inflateInit2(&z, zlibHeader ? 15 : -15) != Z_OK) {
      out.data_.reset();
      if (why) *why = "The deflated data set cannot be inflated.";
      return DeflateVerdict::kRefused;
    }
    size_t fed = 0;
    while (made < room) {
      if (z.avail_in == 0 && fed < inSize) {
        z.next_in = const_cast<Bytef*>(in + fed);
        z.avail_in = uInt(std::min<size_t>(inSize - fed, UINT32_MAX));
        fed += z.avail_in;
      }
      const size_t chunk = std::min<size_t>(room - made, UINT32_MAX);
      z.next_out = block + start + made;
      z.avail_out = uInt(chunk);
      ret = inflate(&z, Z_NO_FLUSH);
      made += chunk - z.avail_out;
      if (ret == Z_STREAM_END || (ret != Z_OK && ret != Z_BUF_ERROR)) break;
      if (z.avail_in == 0 && fed == inSize && z.avail_out > 0) break;  // the input ended
    }
    inflateEnd(&z);
  }
  if (made > size_t(limit)) {
    out.data_.reset();
    if (why) *why = "The deflated data set expands past " + Megabytes(limit) + " and is not read.";
    return DeflateVerdict::kRefused;
  }
  if (made == 0) {
    // Nothing inflated: the data set is not deflated after all.
    out.data_.reset();
    return DeflateVerdict::kNotDeflated;
  }
  out.size_ = start + made;
  // Give back what was reserved beyond the stream.
  if (auto* cut = static_cast<uint8_t*>(std::realloc(block, out.size_))) {
    out.data_.release();
    out.data_.reset(cut);
  }
  out.truncated = ret != Z_STREAM_END;
  return DeflateVerdict::kInflated;
}

std::shared_ptr<const InflatedFile> InflatedDataSetOf(const std::string& path, std::string* why) {
  struct Outcome {
    std::shared_ptr<const InflatedFile> file;
    std::string why;
  };
  // The last two files: the frames of one file decoded on several threads
  // share the first one's inflation.
  static TFileCache<Outcome> cache(2);
  const auto outcome = cache.Get(path, [&path] {
    Outcome o;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    std::ifstream f(path, std::ios::binary);
    const auto data = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size));
    if (ec || !f.read(reinterpret_cast<char*>(data.get()), std::streamsize(size))) {
      o.why = "the file cannot be read";
      return o;
    }
    auto inflated = std::make_shared<InflatedFile>();
    if (InflateDataSet(data.get(), static_cast<size_t>(size), *inflated, &o.why) ==
        DeflateVerdict::kInflated)
      o.file = std::move(inflated);
    return o;
  });
  if (!outcome) return nullptr;
  if (!outcome->file && why && !outcome->why.empty()) *why = outcome->why;
  return outcome->file;
}
