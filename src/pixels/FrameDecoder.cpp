#include "pixels/FrameDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "dicom/DeflatedDataSet.h"
#include "dicom/FileCache.h"
#include "pixels/CodecTable.h"
#include "pixels/FrameGeometry.h"
#include "pixels/codecs/Native.h"
#include "pixels/codecs/Video.h"

namespace {

// The bytes the header's positions refer to: the file itself, or for a
// deflated data set its logical stream (the meta group and the inflated data
// set), inflated once for all the frames that follow.
class FrameFile {
 public:
  FrameFile(const std::string& path, bool deflated) {
    if (deflated) {
      memory_ = InflatedDataSetOf(path, &why_);
      if (memory_) {
        size_ = static_cast<int64_t>(memory_->size());
        return;
      }
      if (!why_.empty()) return;
      // Not deflated after all: the reader read it as it is.
    }
    in_.open(path, std::ios::binary);
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    size_ = static_cast<int64_t>(in_.tellg());
    if (size_ < 0) size_ = 0;
  }
  bool ok() const { return memory_ || static_cast<bool>(in_); }
  // The bytes at pos when the stream is in memory, else null.
  const uint8_t* Memory(int64_t pos) const {
    return memory_ && pos >= 0 && pos <= size_ ? memory_->data() + pos : nullptr;
  }
  const std::string& why() const { return why_; }
  int64_t size() const { return size_; }

  // Reads exactly n bytes at pos, or fails.
  bool ReadAt(int64_t pos, int64_t n, void* dst) {
    if (pos < 0 || n < 0 || pos > size_ || n > size_ - pos) return false;
    if (memory_) {
      std::memcpy(dst, memory_->data() + pos, static_cast<size_t>(n));
      return true;
    }
    in_.clear();
    in_.seekg(pos);
    in_.read(static_cast<char*>(dst), n);
    return in_.gcount() == n;
  }

 private:
  std::ifstream in_;
  std::shared_ptr<const InflatedFile> memory_;
  std::string why_;
  int64_t size_ = 0;
};

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// An encapsulated item header: tag (FFFE,E000), little endian, and length.
bool ReadItemHeader(FrameFile& f, int64_t pos, uint32_t& length) {
  uint8_t h[8];
  if (!f.ReadAt(pos, 8, h)) return false;
  if (!(h[0] == 0xFE && h[1] == 0xFF && h[2] == 0x00 && h[3] == 0xE0)) return false;
  length = Le32(h + 4);
  return true;
}

// The compressed bytes of one frame: `length` data bytes from `pos` on. A
// frame that spans several fragments has its first byte and the sum of the
// fragment lengths in the table; the item headers between the fragments are
// skipped. A file that ends early yields what it holds (`cut` is then set).
bool ReadCompressedFrame(FrameFile& f, int64_t pos, int64_t length, std::vector<uint8_t>& bytes,
                         bool& cut) {
  if (pos < 0 || length <= 0 || pos >= f.size()) return false;
  const int64_t wanted = length;
  length = std::min(length, f.size() - pos);
  int64_t first = length;
  uint32_t itemLength = 0;
  if (pos >= 8 && ReadItemHeader(f, pos - 8, itemLength) && itemLength < length) {
    first = itemLength;
  }
  bytes.resize(static_cast<size_t>(length));
  if (!f.ReadAt(pos, first, bytes.data())) return false;
  int64_t got = first;
  int64_t next = pos + first;
  while (got < length) {
    if (!ReadItemHeader(f, next, itemLength)) break;
    next += 8;
    const int64_t n = std::min({int64_t{itemLength}, length - got, f.size() - next});
    if (n <= 0 || !f.ReadAt(next, n, bytes.data() + got)) break;
    got += n;
    next += itemLength;
  }
  bytes.resize(static_cast<size_t>(got));
  cut = got < wanted;
  return got > 0;
}

std::string Describe(const char* format, long long a, long long b = 0, long long c = 0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// YBR_FULL_422 as stored: Y1 Y2 Cb Cr for each pair of pixels, two bytes per
// pixel. The header names the model, but writers also label full YBR data so;
// the length of the pixel data tells them apart.
bool IsStoredYbr422(const DICOMdata& h, const StoredFormat& s) {
  const int64_t n = s.spec.pixels();
  if (!IsYbr(s.photometric) || s.spec.samples != 3 || s.spec.bitsAllocated != 8 ||
      s.spec.columns % 2 != 0 || h.ImageSz <= 0) {
    return false;
  }
  // At least 2N and less than 3N bytes per frame, without multiplying by a
  // frame count the header may inflate.
  const int64_t frames = std::max(1, h.XYZdim[2]);
  return h.ImageSz / (2 * n) >= frames && h.ImageSz / frames < 3 * n;
}

// 12 bits allocated in less than two bytes per sample: the packed ACR-NEMA
// layout, told apart by the length of the pixel data.
bool IsPacked12(const DICOMdata& h, const StoredFormat& s) {
  const int64_t samples = s.spec.pixels() * s.spec.samples;
  const int64_t frames = std::max(1, h.XYZdim[2]);
  return s.spec.bitsAllocated == 12 && h.ImageSz > 0 && samples > 0 &&
         h.ImageSz / frames < 2 * samples && h.ImageSz / frames >= samples * 3 / 2;
}

// One frame's native samples (Codec.h layout) into `out`.
class NativeStage {
 public:
  NativeStage(const DICOMdata& h, const StoredFormat& s, const TransferSyntaxCodec& codec,
              FrameFile& file, const std::vector<int64_t>& pos, const std::vector<int64_t>& size)
      : h_(h), s_(s), codec_(codec), file_(file), pos_(pos), size_(size) {}

  bool Decode(int frame, CodecOutput& out) {
    if (codec_.encoding == PixelEncoding::kNative) return Stored(frame, out);
    Compressed c;
    return Fetch(frame, c, out.why) && DecodeFetched(c, out);
  }

  // The compressed bytes of one encapsulated frame.
  struct Compressed {
    std::vector<uint8_t> bytes;
    bool cut = false;  // the file ended before the frame table's length
  };

  // Reads the frame's compressed bytes and has the codec check its stream's
  // own header against the frame; false with a reason. Run before anything
  // is allocated for the frame: what it holds is the stream, no larger than
  // the file.
  bool Fetch(int frame, Compressed& c, std::string& why) const {
    int64_t pos, length;
    if (!Locate(frame, pos, length, why)) return false;
    if (!ReadCompressedFrame(file_, pos, length, c.bytes, c.cut)) {
      why = Describe("the compressed data of frame %lld cannot be read", frame);
      return false;
    }
    return !codec_.check || codec_.check(c.bytes.data(), c.bytes.size(), s_.spec, why);
  }

  bool DecodeFetched(const Compressed& c, CodecOutput& out) const {
    if (!codec_.decode(c.bytes.data(), c.bytes.size(), s_.spec, out)) {
      if (out.why.empty()) out.why = "the frame does not decode";
      return false;
    }
    out.incomplete = out.incomplete || c.cut;
    return true;
  }

  // Where the compressed bytes of a frame lie; false, with a reason, when
  // there are none or the frame table's length cannot honestly expand to the
  // frame.
  bool Locate(int frame, int64_t& pos, int64_t& length, std::string& why) const {
    const size_t entry = static_cast<size_t>(frame - 1);
    if (entry < pos_.size() && entry < size_.size()) {
      pos = pos_[entry];
      length = size_[entry];
    } else if (frame == 1 && h_.CompressSz > 0) {
      pos = h_.CompressOffset;
      length = h_.CompressSz;
    } else {
      why = Describe("frame %lld has no compressed data", frame);
      return false;
    }
    // A table entry cannot promise more bytes than the file holds from there.
    if (pos >= 0 && pos < file_.size()) length = std::min(length, file_.size() - pos);
    // The bound is on the frame as coded: 1-bit frames are coded as packed
    // bits, eight pixels to the byte, not as the byte per pixel they become.
    const int64_t frameBytes = StoredFrameBytes(s_.spec);
    if (length <= 0 || !ExpansionIsPlausible(codec_, frameBytes, length)) {
      why = Describe("a frame of %lld bytes cannot come from %lld compressed bytes", frameBytes,
                     length);
      return false;
    }
    return true;
  }

 private:
  bool Stored(int frame, CodecOutput& out) {
    const FrameSpec& spec = s_.spec;
    const int64_t start = h_.ImageStart;
    int64_t offset, bytes;
    int bitOffset = 0;
    if (spec.bitsAllocated == 1 || spec.packed12) {
      // Frames of bits follow each other without padding.
      const int64_t bits = StoredFrameBits(spec) * (frame - 1);
      offset = start + bits / 8;
      bitOffset = int(bits % 8);
      bytes = (bitOffset + StoredFrameBits(spec) + 7) / 8;
    } else {
      bytes = StoredFrameBytes(spec);
      offset = start + bytes * (frame - 1);
    }
    if (start < 0 || offset >= file_.size() || bytes <= 0) {
      out.why = Describe("frame %lld (%lld bytes) lies beyond the end of the file", frame, bytes);
      return false;
    }
    const int64_t n = std::min(bytes, file_.size() - offset);
    const bool big = h_.little_endian != 1 && !h_.GenesisCpt;
    if (const uint8_t* in = file_.Memory(offset))
      return NativeBytesToSamples(in, static_cast<size_t>(n), bitOffset, spec, big, out);
    const auto raw = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(n));
    if (!file_.ReadAt(offset, n, raw.get())) {
      out.why = "the pixel data cannot be read";
      return false;
    }
    return NativeBytesToSamples(raw.get(), static_cast<size_t>(n), bitOffset, spec, big, out);
  }

  const DICOMdata& h_;
  const StoredFormat& s_;
  const TransferSyntaxCodec& codec_;
  FrameFile& file_;
  const std::vector<int64_t>& pos_;
  const std::vector<int64_t>& size_;
};

// The range of every sample of a file, for the formats held through it. It
// takes a pass over all frames, so it is kept per file (path, size, time,
// frames and syntax) for the frames that follow; a few dozen small entries.
struct FileSampleRange {
  bool ok = false;
  SampleRange range;
};

bool FileRange(const std::string& path, const DICOMdata& h, NativeStage& stage,
               const StoredFormat& s, SampleRange& range, std::string& why) {
  static TFileCache<FileSampleRange> cache(64);
  const auto found = cache.Get(
      path,
      [&] {
        FileSampleRange r;
        const int frames = std::max(1, h.XYZdim[2]);
        std::vector<uint8_t> native(static_cast<size_t>(NativeFrameBytes(s.spec)));
        for (int k = 1; k <= frames; ++k) {
          std::fill(native.begin(), native.end(), 0);
          CodecOutput o;
          o.data = native.data();
          o.size = native.size();
          // A frame that does not decode adds nothing; it is refused on its own.
          if (stage.Decode(k, o)) WidenRange(s, native.data(), native.size(), r.range);
        }
        r.ok = true;
        return r;
      },
      std::to_string(h.XYZdim[2]) + '\n' + h.TransferSyntaxUID);
  if (found) range = found->range;
  if (!found || !found->ok) why = "the range of the pixel data cannot be found";
  return found && found->ok;
}

// Where a video's stream begins: the reader gives one table entry for the
// whole stream (its first fragment and the fragments' total length).
VideoSource VideoSourceOf(const std::string& path, const DICOMdata& h,
                          const std::vector<int64_t>& framePos,
                          const std::vector<int64_t>& frameSize, VideoCodec codec) {
  VideoSource v;
  v.path = path;
  v.codec = codec;
  v.frames = std::max(1, h.XYZdim[2]);
  if (!framePos.empty() && !frameSize.empty()) {
    v.firstByte = framePos[0];
    v.length = frameSize[0];
  } else {
    v.firstByte = h.CompressOffset;
    v.length = h.CompressSz;
  }
  return v;
}

// A video frame is always held as 8-bit R, G, B, whatever depth and colour
// model the header names for the stream.
bool DecodeVideo(const std::string& path, const DICOMdata& h, const std::vector<int64_t>& framePos,
                 const std::vector<int64_t>& frameSize, int frame, VideoCodec codec,
                 DecodedFrame& out, std::string& why) {
  FrameSpec spec;
  spec.columns = std::max(0, h.XYZdim[0]);
  spec.rows = std::max(0, h.XYZdim[1]);
  spec.samples = 3;
  if (spec.pixels() <= 0) {
    why = "the image has no pixels";
    return false;
  }
  const VideoSource source = VideoSourceOf(path, h, framePos, frameSize, codec);
  if (source.firstByte <= 0) {
    why = "the video has no compressed data";
    return false;
  }
  if (!DecodeVideoFrame(source, spec, frame, out.buff24, out.incomplete, why)) return false;
  const TPixelModule& m = h.Pixel;
  const bool asHeld = m.bitsAllocated == 8 && m.samplesPerPixel == 3 && h.Monochrome == 3 &&
                      m.pixelRepresentation == 0;
  if (!asHeld) {
    out.held.differs = true;
    out.held.allocBits = out.held.storedBits = 8;
    out.held.samples = 3;
    out.held.pixelRepresentation = 0;
    out.held.monochrome = 3;
    out.held.slope = 1.0f;
    out.held.intercept = 0.0f;
  }
  return true;
}

}  // namespace

double VideoFrameRate(const std::string& path, const DICOMdata& h,
                      const std::vector<int64_t>& framePos, const std::vector<int64_t>& frameSize) {
  const VideoCodec codec = VideoCodecOf(FrameTransferSyntax(h));
  if (codec == VideoCodec::kNone) return 0;
  return VideoStreamFrameRate(VideoSourceOf(path, h, framePos, frameSize, codec));
}

bool DecodeFrame(const std::string& path, const DICOMdata& h, const std::vector<int64_t>& framePos,
                 const std::vector<int64_t>& frameSize, int frame, DecodedFrame& out,
                 std::string* reason, int codecThreads) {
  out = DecodedFrame{};
  std::string why;
  const bool ok = [&] {
    if (const VideoCodec video = VideoCodecOf(FrameTransferSyntax(h)); video != VideoCodec::kNone) {
      const int frames = std::max(1, h.XYZdim[2]);
      if (frame < 1 || frame > frames) {
        why = Describe("frame %lld is outside 1 ... %lld", frame, frames);
        return false;
      }
      return DecodeVideo(path, h, framePos, frameSize, frame, video, out, why);
    }
    StoredFormat s;
    if (!DescribeStoredFormat(h, s, why)) return false;
    const int64_t pixels = s.spec.pixels();
    if (pixels <= 0) {
      why = "the image has no pixels";
      return false;
    }
    const int frames = std::max(1, h.XYZdim[2]);
    if (frame < 1 || frame > frames) {
      why = Describe("frame %lld is outside 1 ... %lld", frame, frames);
      return false;
    }
    if (!FrameFormatSupported(h, &why)) return false;
    const std::string uid = FrameTransferSyntax(h);
    const TransferSyntaxCodec* codec = FindTransferSyntax(uid);
    FrameFile file(path, uid == kDeflatedSyntax);
    if (!file.ok()) {
      why = file.why().empty() ? "the file cannot be opened" : file.why();
      return false;
    }
    const bool stored = codec->encoding == PixelEncoding::kNative;
    s.spec.ybr422 = stored && IsStoredYbr422(h, s);
    s.spec.packed12 = stored && IsPacked12(h, s);
    s.spec.threads = codecThreads > 0
                         ? codecThreads
                         : static_cast<int>(std::min(8u, std::thread::hardware_concurrency()));
    // A header claiming far more than the file can hold allocates nothing: a
    // file cut short still shows its part of a frame, down to a sixty-fourth.
    const int64_t frameBytes = NativeFrameBytes(s.spec);
    if (stored &&
        StoredFrameBytes(s.spec) / 64 > std::max<int64_t>(file.size() - h.ImageStart, 0)) {
      why = Describe("frame %lld (%lld bytes) lies beyond the end of the file", frame,
                     StoredFrameBytes(s.spec));
      return false;
    }
    NativeStage stage(h, s, *codec, file, framePos, frameSize);
    NativeStage::Compressed compressed;
    if (!stored && !stage.Fetch(frame, compressed, why)) return false;
    const HeldBuffer held = HeldBufferOf(s);
    ExpandedPalette palette;
    if (s.palette && !ExpandPalette(h, palette, &why)) return false;

    // The held buffer, zero-filled; formats held as they are stored decode
    // straight into it.
    const auto n = static_cast<size_t>(pixels);
    uint8_t* heldData = nullptr;
    if (held == HeldBuffer::kGrey8) {
      out.buff8.assign(n, 0);
      heldData = out.buff8.data();
    } else if (held == HeldBuffer::kWords) {
      out.buff16.assign(n, 0);
      heldData = reinterpret_cast<uint8_t*>(out.buff16.data());
    } else {
      out.buff24.assign(3 * n, 0);
      heldData = out.buff24.data();
    }
    std::vector<uint8_t> native;
    CodecOutput o;
    if (HeldDirectly(s)) {
      o.data = heldData;
    } else {
      native.assign(static_cast<size_t>(frameBytes), 0);
      o.data = native.data();
    }
    o.size = static_cast<size_t>(frameBytes);
    if (stored ? !stage.Decode(frame, o) : !stage.DecodeFetched(compressed, o)) {
      why = o.why.empty() ? "the frame does not decode" : o.why;
      return false;
    }
    out.incomplete = o.incomplete;
    if (!HeldDirectly(s)) {
      SampleRange range;
      if (NeedsFileRange(s) && !FileRange(path, h, stage, s, range, why)) return false;
      out.held =
          ConvertToHeld(s, h, native.data(), range, palette, out.buff8, out.buff16, out.buff24);
    }
    // YBR samples the codec left as they are become R, G, B.
    if (held == HeldBuffer::kRgb && !s.palette && !o.rgb && IsYbr(s.photometric))
      YbrToRgb(s.photometric, out.buff24.data(), pixels);
    return true;
  }();
  if (!ok) {
    out = DecodedFrame{};
    if (reason) *reason = why.empty() ? "the frame cannot be decoded" : why;
  }
  return ok;
}

bool FrameFormatSupported(const DICOMdata& h, std::string* why) {
  // Video is held as R, G, B whatever the header's pixel module says.
  if (VideoCodecOf(FrameTransferSyntax(h)) != VideoCodec::kNone) return true;
  std::string reason;
  StoredFormat s;
  if (DescribeStoredFormat(h, s, reason)) {
    const std::string uid = FrameTransferSyntax(h);
    const TransferSyntaxCodec* codec = FindTransferSyntax(uid);
    if (codec && codec->supported()) return true;
    reason = "transfer syntax " + DescribeTransferSyntax(uid) + " is not supported";
  }
  if (why) *why = reason;
  return false;
}

void AdoptHeldLayout(DICOMdata& h, const DecodedFrame& f) {
  if (!f.held.differs) return;
  h.Allocbits_per_pixel = f.held.allocBits;
  h.Storedbits_per_pixel = f.held.storedBits;
  h.SamplesPerPixel = f.held.samples;
  h.pixel_representation = f.held.pixelRepresentation;
  h.Monochrome = f.held.monochrome;
  h.IntenScale = f.held.slope;
  h.IntenIntercept = f.held.intercept;
}

std::string FrameTransferSyntax(const DICOMdata& h) {
  if (!h.TransferSyntaxUID.empty()) return h.TransferSyntaxUID;
  if (h.JPEGJ2k) return "1.2.840.10008.1.2.4.90";
  if (h.JPEGlosslessCpt) return "1.2.840.10008.1.2.4.70";
  if (h.JPEGlossyCpt) return "1.2.840.10008.1.2.4.51";
  if (h.RunLengthEncoding) return "1.2.840.10008.1.2.5";
  return "";
}

void ApplyModalityLut(DICOMdata& h, std::vector<int16_t>& buff16) {
  const TLut& lut = h.Lut;
  if (ComputeFrameGeometry(h).bitProduct != 16 || lut.LutSize <= 0 || lut.Lutdata.empty() ||
      buff16.empty()) {
    return;
  }
  StoredFormat s;
  std::string why;
  if (!DescribeStoredFormat(h, s, why) || !HeldDirectly(s)) return;
  const int64_t entries = std::min<int64_t>(lut.LutSize, static_cast<int64_t>(lut.Lutdata.size()));
  const double first = lut.LutOffset;
  const double last = static_cast<double>(lut.LutOffset) + static_cast<double>(entries - 1);
  const bool isSigned = h.pixel_representation == 1;
  // Every possible word once, then one lookup per pixel.
  std::vector<int16_t> map(65536);
  for (uint32_t u = 0; u < 65536; ++u) {
    const double w = isSigned ? static_cast<int16_t>(u) : static_cast<double>(u);
    double v = std::nearbyint(w * static_cast<double>(h.IntenScale) +
                              static_cast<double>(h.IntenIntercept));
    if (!(v >= first)) v = first;  // also catches NaN
    if (v > last) v = last;
    const auto index = static_cast<size_t>(static_cast<int64_t>(v) - lut.LutOffset);
    map[u] = static_cast<int16_t>(static_cast<uint16_t>(lut.Lutdata[index]));
  }
  for (int16_t& w : buff16) w = map[static_cast<uint16_t>(w)];
  h.IntenScale = 1.0f;
  h.IntenIntercept = 0.0f;
}
