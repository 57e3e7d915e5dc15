#include "pixels/codecs/BaselineJpeg.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include "pixels/codecs/Jpeg12.h"
#include "pixels/codecs/StreamHeaders.h"
#include "pixels/codecs/lsjpeg.h"

namespace {

// libjpeg reports fatal errors through error_exit, which must not return:
// jump back to the decode call instead of letting the library exit().
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool truncated;
};

void OnError(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// Corrupt-data warnings stay silent; the end of the data coming too soon
// marks the picture incomplete.
void OnMessage(j_common_ptr cinfo, int level) {
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF)
    reinterpret_cast<ErrorManager*>(cinfo->err)->truncated = true;
}
void OnOutput(j_common_ptr) {}

enum class Target { kRgb, kGrey };

// Who decides whether three components are YCbCr to convert to RGB.
enum class Colour {
  kStream,   // libjpeg's reading of the stream: JFIF, Adobe transform, component ids
  kAsCoded,  // the header's model is not YCbCr: the samples as coded
  kYcbcr,    // the header's model is YCbCr: converted, whatever the markers say
};

// The header's photometric decides, as DCMTK's default does (and GDCM, which
// keeps the samples and their model): a YBR model is converted, RGB is not.
// Only where the header names neither does the stream's own reading hold.
Colour ColourFor(const FrameSpec& spec) {
  if (spec.ybrPhotometric) return Colour::kYcbcr;
  if (spec.rgbPhotometric) return Colour::kAsCoded;
  return Colour::kStream;
}

// Plain C-style body: nothing with a destructor may live across setjmp, so
// the scratch row is allocated by the caller.
bool Decode(const uint8_t* data, size_t size, uint8_t* out, int64_t expected, Target target,
            Colour colour, std::vector<uint8_t>& row, std::string* reason, bool* incomplete) {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = OnError;
  err.base.emit_message = OnMessage;
  err.base.output_message = OnOutput;
  err.message[0] = 0;
  err.truncated = false;
  if (setjmp(err.jump)) {
    if (reason) *reason = std::string("JPEG: ") + err.message;
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  if (cinfo.num_components == 3 && colour != Colour::kStream)
    cinfo.jpeg_color_space = colour == Colour::kYcbcr ? JCS_YCbCr : JCS_RGB;
  // One component decodes straight to grey, which equals every channel of
  // its RGB conversion.
  const bool greyPicture = cinfo.num_components == 1;
  cinfo.out_color_space = (target == Target::kGrey && greyPicture) ? JCS_GRAYSCALE : JCS_RGB;
  // Compare sizes before the library allocates anything for the picture.
  jpeg_calc_output_dimensions(&cinfo);
  const int64_t width = cinfo.output_width;
  const int64_t height = cinfo.output_height;
  if (width * height != expected) {
    if (reason) {
      char text[128];
      std::snprintf(text, sizeof text, "JPEG picture is %lld x %lld, the image has %lld pixels",
                    static_cast<long long>(width), static_cast<long long>(height),
                    static_cast<long long>(expected));
      *reason = text;
    }
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  const int channels = cinfo.output_components;
  const bool direct = target == Target::kRgb || channels == 1;
  if (!direct) row.resize(static_cast<size_t>(width) * static_cast<size_t>(channels));
  while (cinfo.output_scanline < cinfo.output_height) {
    const int64_t y = cinfo.output_scanline;
    if (direct) {
      JSAMPROW line = out + y * width * channels;
      jpeg_read_scanlines(&cinfo, &line, 1);
    } else {
      JSAMPROW line = row.data();
      jpeg_read_scanlines(&cinfo, &line, 1);
      uint8_t* dst = out + y * width;
      for (int64_t x = 0; x < width; ++x) dst[x] = row[static_cast<size_t>(x * channels)];
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  if (incomplete) *incomplete = err.truncated;
  return true;
}

// Grey or colour bytes of one frame, decoded into `dst`.
bool DecodeBytes(const uint8_t* data, size_t size, const FrameSpec& spec, uint8_t* dst,
                 CodecOutput& out) {
  std::vector<uint8_t> row;
  return Decode(data, size, dst, spec.pixels(), spec.samples == 3 ? Target::kRgb : Target::kGrey,
                ColourFor(spec), row, &out.why, &out.incomplete);
}

bool IsFrameHeader(uint8_t m) {
  // SOF0 ... SOF15 without DHT (C4), JPG (C8) and DAC (CC).
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

}  // namespace

int JpegPrecision(const uint8_t* data, size_t size, int* marker) {
  size_t i = 0;
  if (marker) *marker = 0;
  // Marker segments up to the frame header; entropy-coded data never comes first.
  while (i + 4 <= size) {
    if (data[i] != 0xFF) return 0;
    const uint8_t m = data[i + 1];
    if (m == 0xFF) {  // fill byte
      ++i;
      continue;
    }
    if (m == 0xD8 || (m >= 0xD0 && m <= 0xD7) || m == 0x01) {
      i += 2;
      continue;
    }
    if (IsFrameHeader(m)) {
      if (marker) *marker = m;
      return i + 4 < size ? data[i + 4] : 0;
    }
    if (m == 0xDA || m == 0xD9) return 0;
    i += 2 + (size_t{data[i + 2]} << 8 | data[i + 3]);
  }
  return 0;
}

bool DecodeJpegFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (!data || size == 0 || spec.pixels() <= 0) {
    out.why = "the JPEG frame is empty";
    return false;
  }
  if (spec.samples != 1 && spec.samples != 3) {
    out.why =
        "JPEG frames of " + std::to_string(spec.samples) + " samples per pixel cannot be shown";
    return false;
  }
  int marker = 0;
  const int precision = JpegPrecision(data, size, &marker);
  // A lossless stream under a DCT syntax (SOF3, 7, 11, 15), as some writers
  // label them: the JPEG family's own lossless decoder.
  if ((marker & 0xF3) == 0xC3) return DecodeLosslessJpegFrame(data, size, spec, out);
  if (precision > 8) return DecodeJpeg12Frame(data, size, spec, out);
  out.rgb = spec.samples == 3;
  const int64_t samples = spec.pixels() * spec.samples;
  if (SampleBytes(spec.bitsAllocated) == 1) {
    if (out.size < size_t(samples)) return false;
    return DecodeBytes(data, size, spec, out.data, out);
  }
  // 8-bit samples of an image stored in wider words: widen.
  std::vector<uint8_t> bytes(size_t(samples), 0);
  if (!DecodeBytes(data, size, spec, bytes.data(), out)) return false;
  const int width = SampleBytes(spec.bitsAllocated);
  if (out.size < size_t(samples) * size_t(width)) return false;
  for (size_t i = 0; i < bytes.size(); ++i)
    StoreSample(out.data + i * size_t(width), width, bytes[i]);
  return true;
}

bool DecodeJpegToRgb(const uint8_t* data, size_t size, uint8_t* out, int64_t pixelCount,
                     std::string* reason, bool rgbPhotometric, bool* incomplete) {
  if (!data || size == 0 || !out) return false;
  std::vector<uint8_t> row;
  return Decode(data, size, out, pixelCount, Target::kRgb,
                rgbPhotometric ? Colour::kAsCoded : Colour::kStream, row, reason, incomplete);
}

bool DecodeJpegToGrey(const uint8_t* data, size_t size, uint8_t* out, int64_t byteCount,
                      std::string* reason, bool* incomplete) {
  if (!data || size == 0 || !out) return false;
  std::vector<uint8_t> row;
  return Decode(data, size, out, byteCount, Target::kGrey, Colour::kStream, row, reason,
                incomplete);
}

bool CheckJpegFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why) {
  JpegStreamHeader j;
  if (!ReadJpegStreamHeader(data, size, j, why)) return false;
  if (j.lossless()) return CheckLosslessJpegFrame(data, size, spec, why);
  const auto refuse = [&](std::string text) {
    why = std::move(text);
    return false;
  };
  if (j.jpegLs()) return refuse("the frame holds a JPEG-LS stream, not a DCT JPEG stream");
  // SOF5 ... 7 and 13 ... 15: hierarchical, which the libraries do not decode.
  if ((j.marker & 0x07) >= 5) return refuse("hierarchical JPEG streams cannot be decoded");
  if (j.precision != 8 && j.precision != 12)
    return refuse(std::to_string(j.precision) + "-bit DCT JPEG streams cannot be decoded");
  if (j.components != 1 && j.components != 3)
    return refuse("JPEG streams of " + std::to_string(j.components) +
                  " components cannot be shown");
  if (j.width != spec.columns || j.height != spec.rows)
    return refuse(SizeMismatch("JPEG picture", j.width, j.height, spec.columns, spec.rows));
  if (j.arithmetic()) return true;
  if (j.progressive() && j.ss != 0)
    return refuse("the progressive JPEG stream does not begin with a DC scan");
  int64_t blocks = 0;
  for (int i = 0; i < j.scanComponents; ++i) blocks += j.Blocks(j.scanComponent[i]);
  if (j.ScanBits(size) < blocks)
    return refuse("the JPEG stream (" + std::to_string(size) + " bytes) is too short for a " +
                  std::to_string(spec.columns) + " x " + std::to_string(spec.rows) + " picture");
  return true;
}
