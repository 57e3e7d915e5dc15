#include "pixels/codecs/Jpeg12.h"

#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <gdcmjpeg/12/jerror.h>
#include <gdcmjpeg/12/jpeglib.h>
}

namespace {

static_assert(BITS_IN_JSAMPLE == 12, "the 12-bit IJG headers are expected");

// error_exit must not return: jump back to the decode call instead of the
// library's exit().
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

void OnMessage(j_common_ptr cinfo, int level) {
  if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF)
    reinterpret_cast<ErrorManager*>(cinfo->err)->truncated = true;
}
void OnOutput(j_common_ptr) {}

// IJG 6b reads only from files: a source over the frame's bytes. Past their
// end it feeds an end-of-image marker, so a cut stream ends as a short one.
const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void InitSource(j_decompress_ptr) {}
boolean FillInput(j_decompress_ptr cinfo) {
  WARNMS(cinfo, JWRN_JPEG_EOF);
  cinfo->src->next_input_byte = kEndOfImage;
  cinfo->src->bytes_in_buffer = 2;
  return TRUE;
}
void SkipInput(j_decompress_ptr cinfo, long count) {
  jpeg_source_mgr* src = cinfo->src;
  if (count <= 0) return;
  while (static_cast<size_t>(count) > src->bytes_in_buffer) {
    count -= static_cast<long>(src->bytes_in_buffer);
    FillInput(cinfo);
  }
  src->next_input_byte += count;
  src->bytes_in_buffer -= static_cast<size_t>(count);
}
void TermSource(j_decompress_ptr) {}

// Plain C-style body: nothing with a destructor may live across setjmp, so
// the row buffer comes from the caller.
bool Decode(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out,
            std::vector<JSAMPLE>& row) {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  jpeg_source_mgr source;
  cinfo.err = jpeg_std_error(&err.base);
  err.base.error_exit = OnError;
  err.base.emit_message = OnMessage;
  err.base.output_message = OnOutput;
  err.message[0] = 0;
  err.truncated = false;
  if (setjmp(err.jump)) {
    out.why = std::string("12-bit JPEG: ") + err.message;
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  source.next_input_byte = data;
  source.bytes_in_buffer = size;
  source.init_source = InitSource;
  source.fill_input_buffer = FillInput;
  source.skip_input_data = SkipInput;
  source.resync_to_restart = jpeg_resync_to_restart;
  source.term_source = TermSource;
  cinfo.src = &source;
  jpeg_read_header(&cinfo, TRUE);
  // This library does not refuse a scan that names one component twice: it
  // then decodes as if every component were in the scan, and the one left out
  // reaches colour conversion as uninitialised samples that index its tables
  // far out of range.
  for (int i = 0; i < cinfo.comps_in_scan; ++i)
    for (int j = 0; j < i; ++j)
      if (cinfo.cur_comp_info[i] == cinfo.cur_comp_info[j]) {
        out.why = "12-bit JPEG: a scan names one component twice";
        jpeg_destroy_decompress(&cinfo);
        return false;
      }
  // The header's model decides the colour transform, as for 8-bit streams.
  if (cinfo.num_components == 3 && (spec.ybrPhotometric || spec.rgbPhotometric))
    cinfo.jpeg_color_space = spec.ybrPhotometric ? JCS_YCbCr : JCS_RGB;
  const bool colourOut = spec.samples == 3;
  cinfo.out_color_space = cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_calc_output_dimensions(&cinfo);
  const int64_t width = cinfo.output_width;
  const int64_t height = cinfo.output_height;
  if (width != spec.columns || height != spec.rows) {
    char text[160];
    std::snprintf(text, sizeof text, "the JPEG picture is %lld x %lld, the frame %lld x %lld",
                  static_cast<long long>(width), static_cast<long long>(height),
                  static_cast<long long>(spec.columns), static_cast<long long>(spec.rows));
    out.why = text;
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_start_decompress(&cinfo);
  const int channels = cinfo.output_components;
  row.resize(static_cast<size_t>(width) * static_cast<size_t>(channels));
  const int bytes = SampleBytes(spec.bitsAllocated);
  // Twelve bits fit words as they are; one-byte samples take the top eight.
  const int shift = bytes == 1 ? 4 : 0;
  const int samples = spec.samples;
  while (cinfo.output_scanline < cinfo.output_height) {
    const int64_t y = cinfo.output_scanline;
    JSAMPROW line = row.data();
    jpeg_read_scanlines(&cinfo, &line, 1);
    uint8_t* dst = out.data + static_cast<size_t>(y * width * samples * bytes);
    for (int64_t x = 0; x < width; ++x) {
      for (int s = 0; s < samples; ++s) {
        // Grey from a colour picture: its red channel; colour from grey: R = G = B.
        const int c = colourOut ? (channels == 3 ? s : 0) : 0;
        const int v = row[static_cast<size_t>(x * channels + c)] >> shift;
        StoreSample(dst + (x * samples + s) * bytes, bytes, static_cast<uint64_t>(v));
      }
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  out.incomplete = err.truncated;
  out.rgb = colourOut;
  return true;
}

}  // namespace

bool DecodeJpeg12Frame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out) {
  if (!data || size == 0 || spec.pixels() <= 0 || out.size < size_t(NativeFrameBytes(spec))) {
    out.why = "the JPEG frame is empty";
    return false;
  }
  std::vector<JSAMPLE> row;
  return Decode(data, size, spec, out, row);
}
