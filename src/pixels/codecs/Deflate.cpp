#include "pixels/codecs/Deflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <vector>

#include "pixels/codecs/Native.h"

namespace {

bool HasZlibHeader(const uint8_t* p, size_t n) {
  return n >= 2 && (p[0] & 0x0F) == 8 && (p[0] >> 4) <= 7 && ((p[0] << 8) | p[1]) % 31 == 0;
}

}  // namespace

bool CheckDeflatedFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why) {
  FrameSpec stored = spec;
  stored.planar = stored.ybr422 = stored.packed12 = false;
  if (StoredFrameBytes(stored) / 1032 > int64_t(size)) {
    why = "a frame of " + std::to_string(StoredFrameBytes(stored)) + " bytes cannot come from " +
          std::to_string(size) + " deflated bytes";
    return false;
  }
  return true;
}

bool DecodeDeflatedFrame(const uint8_t* data, size_t size, const FrameSpec& spec,
                         CodecOutput& out) {
  FrameSpec stored = spec;
  stored.planar = stored.ybr422 = stored.packed12 = false;
  const int64_t frameBytes = StoredFrameBytes(stored);
  if (!data || size == 0 || frameBytes <= 0) {
    out.why = "the deflated frame is empty";
    return false;
  }
  std::vector<uint8_t> raw(static_cast<size_t>(frameBytes));
  const bool zlibHeader = HasZlibHeader(data, size);
  // libdeflate when the stream fits the frame exactly or ends before; zlib
  // for streams cut short, damaged or longer than the frame, keeping what
  // fits.
  if (libdeflate_decompressor* d = libdeflate_alloc_decompressor()) {
    size_t made = 0;
    const libdeflate_result r =
        zlibHeader ? libdeflate_zlib_decompress(d, data, size, raw.data(), raw.size(), &made)
                   : libdeflate_deflate_decompress(d, data, size, raw.data(), raw.size(), &made);
    libdeflate_free_decompressor(d);
    if (r == LIBDEFLATE_SUCCESS && made > 0) {
      if (!NativeBytesToSamples(raw.data(), made, 0, stored, false, out)) return false;
      out.incomplete = out.incomplete || made < raw.size();
      return true;
    }
  }
  z_stream z{};
  if (inflateInit2(&z, zlibHeader ? 15 : -15) != Z_OK) {
    out.why = "the deflated frame cannot be inflated";
    return false;
  }
  size_t got = 0;
  int ret = Z_OK;
  // Inputs and outputs beyond 4 GiB go in pieces.
  size_t fed = 0;
  while (got < raw.size()) {
    if (z.avail_in == 0 && fed < size) {
      z.next_in = const_cast<Bytef*>(data + fed);
      z.avail_in = uInt(std::min<size_t>(size - fed, UINT32_MAX));
      fed += z.avail_in;
    }
    const size_t room = std::min<size_t>(raw.size() - got, UINT32_MAX);
    z.next_out = raw.data() + got;
    z.avail_out = uInt(room);
    ret = inflate(&z, Z_NO_FLUSH);
    got += room - z.avail_out;
    if (ret == Z_STREAM_END || (ret != Z_OK && ret != Z_BUF_ERROR)) break;
    if (ret == Z_BUF_ERROR && z.avail_in == 0 && fed == size) break;  // the input ended
  }
  inflateEnd(&z);
  if (got == 0) {
    out.why = "the frame is not a deflate stream";
    return false;
  }
  if (!NativeBytesToSamples(raw.data(), got, 0, stored, false, out)) return false;
  // Short of the frame, whatever the stream said about its end.
  out.incomplete = out.incomplete || got < raw.size();
  return true;
}
