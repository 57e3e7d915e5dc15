#include "pixels/codecs/Video.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace {

// An access unit larger than this, or this much stream without a boundary,
// ends the index: a damaged stream must not make the parser or a packet hold
// most of a large file.
constexpr int64_t kMaxAccessUnit = int64_t{64} << 20;
// What the parser reads at a time.
constexpr size_t kChunk = size_t{256} << 10;
// Decoded frames kept for requests just behind the decoder (prefetch and
// parallel callers ask slightly out of order), by count and by bytes.
constexpr size_t kKeptFrames = 8;
constexpr int64_t kKeptBytes = int64_t{96} << 20;
// Parameter sets kept for restarts, and how many versions of them.
constexpr size_t kMaxParamBytes = size_t{64} << 10;
constexpr size_t kMaxParamVersions = 256;
constexpr size_t kOpenSessions = 4;
// How far pictures may move between decoding and display order, in packets
// (H.264 and HEVC hold at most 16 pictures back).
constexpr size_t kReorderPackets = 34;

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IsItemTag(const uint8_t* h) {
  return h[0] == 0xFE && h[1] == 0xFF && h[2] == 0x00 && h[3] == 0xE0;
}

// The stream's bytes, read where asked.
class StreamBytes {
 public:
  virtual ~StreamBytes() = default;
  // Copies up to n bytes from stream offset `at`; fewer only at the end.
  virtual size_t Read(int64_t at, uint8_t* dst, size_t n) = 0;
  // The file ended inside a fragment.
  virtual bool Cut() const { return false; }
  // The stream's whole length.
  virtual int64_t Size() = 0;
};

class MemoryBytes final : public StreamBytes {
 public:
  MemoryBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t Read(int64_t at, uint8_t* dst, size_t n) override {
    if (at < 0 || size_t(at) >= size_) return 0;
    n = std::min(n, size_ - size_t(at));
    std::memcpy(dst, data_ + at, n);
    return n;
  }
  int64_t Size() override { return int64_t(size_); }

 private:
  const uint8_t* data_;
  size_t size_;
};

// The fragments of the pixel data as one stream. Fragments are found as the
// reads reach them (a long video's item headers are not all walked up front),
// each bounded by the end of the file.
class FragmentBytes final : public StreamBytes {
 public:
  FragmentBytes(const std::string& path, int64_t firstByte, int64_t length) {
    in_.open(path, std::ios::binary);
    if (!in_) return;
    in_.seekg(0, std::ios::end);
    fileSize_ = std::max<int64_t>(0, static_cast<int64_t>(in_.tellg()));
    uint8_t h[8];
    if (firstByte >= 8 && ReadFile(firstByte - 8, h, 8) && IsItemTag(h)) {
      Add(firstByte, Le32(h + 4));
    } else {
      // No item header before it: the table's range is all there is.
      Add(firstByte, length);
      done_ = true;
    }
  }
  bool ok() const { return static_cast<bool>(in_) || fileSize_ > 0; }

  size_t Read(int64_t at, uint8_t* dst, size_t n) override {
    size_t got = 0;
    while (got < n) {
      const int64_t p = at + int64_t(got);
      while (!done_ && (frags_.empty() || frags_.back().stream + frags_.back().length <= p))
        Discover();
      const Fragment* f = Find(p);
      if (!f) break;
      const int64_t take = std::min<int64_t>(int64_t(n - got), f->stream + f->length - p);
      if (!ReadFile(f->file + (p - f->stream), dst + got, take)) break;
      got += size_t(take);
    }
    return got;
  }
  bool Cut() const override { return cut_; }
  int64_t Size() override {
    while (!done_) Discover();
    return streamEnd_;
  }

 private:
  struct Fragment {
    int64_t file;    // first data byte in the file
    int64_t stream;  // its offset in the stream
    int64_t length;  // data bytes present in the file
  };

  bool ReadFile(int64_t pos, void* dst, int64_t n) {
    if (pos < 0 || n < 0 || pos > fileSize_ || n > fileSize_ - pos) return false;
    in_.clear();
    in_.seekg(pos);
    in_.read(static_cast<char*>(dst), n);
    return in_.gcount() == n;
  }

  void Add(int64_t file, int64_t declared) {
    const int64_t present = std::clamp<int64_t>(fileSize_ - file, 0, declared);
    if (present < declared) {
      cut_ = true;
      done_ = true;
    }
    nextHeader_ = file + declared;
    if (present > 0) frags_.push_back({file, streamEnd_, present});
    streamEnd_ += present;
  }

  void Discover() {
    uint8_t h[8];
    if (!ReadFile(nextHeader_, h, 8) || !IsItemTag(h)) {
      // The sequence delimiter, or the end of the file.
      done_ = true;
      return;
    }
    Add(nextHeader_ + 8, Le32(h + 4));
  }

  const Fragment* Find(int64_t p) {
    if (hint_ < frags_.size() && frags_[hint_].stream <= p &&
        p < frags_[hint_].stream + frags_[hint_].length)
      return &frags_[hint_];
    auto it = std::upper_bound(frags_.begin(), frags_.end(), p,
                               [](int64_t v, const Fragment& f) { return v < f.stream; });
    if (it == frags_.begin()) return nullptr;
    --it;
    if (p >= it->stream + it->length) return nullptr;
    hint_ = size_t(it - frags_.begin());
    return &*it;
  }

  std::ifstream in_;
  int64_t fileSize_ = 0;
  std::vector<Fragment> frags_;
  int64_t streamEnd_ = 0;
  int64_t nextHeader_ = 0;
  size_t hint_ = 0;
  bool done_ = false;
  bool cut_ = false;
};

// Calls f(offset of the unit's first byte after the start code, end) for each
// unit of a start-code stream (00 00 01), until f returns false.
template <typename F>
void ForEachUnit(const uint8_t* p, size_t n, F&& f) {
  size_t i = 0;
  auto next = [&](size_t from) {
    for (size_t k = from; k + 2 < n; ++k) {
      if (p[k + 2] > 1) {
        k += 2;
        continue;
      }
      if (p[k] == 0 && p[k + 1] == 0 && p[k + 2] == 1) return k;
    }
    return n;
  };
  i = next(0);
  while (i < n) {
    const size_t start = i + 3;
    const size_t end = next(start);
    if (start < n && !f(start, end)) return;
    i = end;
  }
}

// The same for units each preceded by its length in `lengthSize` big-endian
// bytes, as MP4 files hold H.264 and HEVC.
template <typename F>
void ForEachLengthUnit(const uint8_t* p, size_t n, int lengthSize, F&& f) {
  size_t i = 0;
  while (n - i > size_t(lengthSize)) {
    size_t len = 0;
    for (int k = 0; k < lengthSize; ++k) len = len << 8 | p[i + size_t(k)];
    const size_t start = i + size_t(lengthSize);
    const size_t end = start + std::min(len, n - start);
    if (len > 0 && !f(start, end)) return;
    i = end;
  }
}

// The container a stream's first bytes announce, as FFmpeg names its
// demuxer, or nullptr for an elementary stream.
const char* ContainerOf(StreamBytes& bytes) {
  uint8_t head[189] = {};
  const size_t n = bytes.Read(0, head, sizeof head);
  if (n >= 4 && head[0] == 0 && head[1] == 0 && head[2] == 1 && head[3] == 0xBA) return "mpeg";
  if (n >= 189 && head[0] == 0x47 && head[188] == 0x47) return "mpegts";
  if (n >= 8 && (std::memcmp(head + 4, "ftyp", 4) == 0 || std::memcmp(head + 4, "moov", 4) == 0))
    return "mov";
  return nullptr;
}

bool IsVideoCodec(AVCodecID id) {
  return id == AV_CODEC_ID_MPEG2VIDEO || id == AV_CODEC_ID_MPEG1VIDEO || id == AV_CODEC_ID_H264 ||
         id == AV_CODEC_ID_HEVC;
}

// One of FFmpeg's demuxers over the stream's bytes, through callbacks: it
// never opens a file, URL or other resource by itself. Gives the packets of
// the first video stream it meets; other streams are dropped.
class Demuxer {
 public:
  Demuxer(StreamBytes& bytes, const char* format) : bytes_(bytes), format_(format) {}
  ~Demuxer() {
    avformat_close_input(&fmt_);
    if (io_) av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
  Demuxer(const Demuxer&) = delete;
  Demuxer& operator=(const Demuxer&) = delete;

  bool Open() {
    const AVInputFormat* input = av_find_input_format(format_);
    constexpr int kBuffer = 64 << 10;
    auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
    if (!input || !buffer) {
      av_free(buffer);
      return false;
    }
    io_ = avio_alloc_context(buffer, kBuffer, 0, this, &Demuxer::ReadBytes, nullptr,
                             &Demuxer::SeekBytes);
    fmt_ = io_ ? avformat_alloc_context() : nullptr;
    if (!fmt_) {
      if (!io_) av_free(buffer);
      return false;
    }
    fmt_->pb = io_;
    fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // MP4 references to other files, and anything else a demuxer might open.
    fmt_->io_open = [](AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
      return AVERROR(EPERM);
    };
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "", 0);
    const int r = avformat_open_input(&fmt_, "", input, &options);
    av_dict_free(&options);
    return r >= 0;  // on failure avformat_open_input freed the context
  }

  // The next packet of the video stream; false at the end of the stream.
  bool Next(AVPacket* pkt) {
    while (av_read_frame(fmt_, pkt) >= 0) {
      if (pkt->stream_index == stream_) return true;
      if (stream_ < 0 && pkt->stream_index < int(fmt_->nb_streams)) {
        const AVCodecParameters* par = fmt_->streams[pkt->stream_index]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && IsVideoCodec(par->codec_id)) {
          stream_ = pkt->stream_index;
          return true;
        }
      }
      av_packet_unref(pkt);
    }
    return false;
  }

  // Moves to the last key frame at or before `dts` of the video stream.
  bool SeekBefore(int64_t dts) {
    return stream_ >= 0 && av_seek_frame(fmt_, stream_, dts, AVSEEK_FLAG_BACKWARD) >= 0;
  }

  const AVStream* Stream() const { return stream_ >= 0 ? fmt_->streams[stream_] : nullptr; }

 private:
  static int ReadBytes(void* opaque, uint8_t* dst, int n) {
    auto* self = static_cast<Demuxer*>(opaque);
    const size_t got = self->bytes_.Read(self->pos_, dst, size_t(std::max(n, 0)));
    self->pos_ += int64_t(got);
    return got > 0 ? int(got) : AVERROR_EOF;
  }

  static int64_t SeekBytes(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<Demuxer*>(opaque);
    if (whence & AVSEEK_SIZE) return self->bytes_.Size();
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET:
        break;
      case SEEK_CUR:
        offset += self->pos_;
        break;
      case SEEK_END:
        offset += self->bytes_.Size();
        break;
      default:
        return AVERROR(EINVAL);
    }
    if (offset < 0) return AVERROR(EINVAL);
    self->pos_ = offset;
    return offset;
  }

  StreamBytes& bytes_;
  const char* format_;
  AVIOContext* io_ = nullptr;
  AVFormatContext* fmt_ = nullptr;
  int64_t pos_ = 0;
  int stream_ = -1;
};

struct AccessUnit {
  int64_t pos = 0;
  int64_t size = 0;
  bool clean = false;       // decoding can begin here
  int params = -1;          // the parameter sets in force, an index into the versions
  int64_t dts = 0;          // in a container: the packet's decoding time, or AV_NOPTS_VALUE
  int64_t shownBefore = 0;  // frames displayed from the units before this one
};

AVCodecID CodecIdOf(VideoCodec c) {
  switch (c) {
    case VideoCodec::kMpeg2:
      return AV_CODEC_ID_MPEG2VIDEO;
    case VideoCodec::kH264:
      return AV_CODEC_ID_H264;
    case VideoCodec::kHevc:
      return AV_CODEC_ID_HEVC;
    default:
      return AV_CODEC_ID_NONE;
  }
}

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

std::string SizeText(int64_t w, int64_t h) {
  return std::to_string(w) + " x " + std::to_string(h);
}

// One open video: its bytes, the index of its access units, one decoder and
// the last few frames it gave.
class Session {
 public:
  Session(std::unique_ptr<StreamBytes> bytes, VideoCodec codec, int threads)
      : bytes_(std::move(bytes)), codec_(codec), threads_(threads) {}
  ~Session() {
    if (parser_) av_parser_close(parser_);
    avcodec_free_context(&parseCtx_);
    avcodec_free_context(&dec_);
    sws_freeContext(sws_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::mutex mutex;

  // Frame `n` (0-based display order) as R, G, B.
  bool Decode(int n, const FrameSpec& spec, std::vector<uint8_t>& rgb, bool& incomplete,
              std::string& why) {
    if (!checked_) {
      checked_ = true;
      container_ = ContainerOf(*bytes_);
    }
    if (!refused_.empty()) {
      why = refused_;
      return false;
    }
    const AVFrame* f = Find(n);
    if (!f && !Run(n, spec, why)) return false;
    if (!f) f = Find(n);
    if (!f) {
      why = "frame " + std::to_string(n + 1) + " does not decode";
      return false;
    }
    if (f->width != spec.columns || f->height != spec.rows) {
      why = "the video's frames are " + SizeText(f->width, f->height) + ", the header says " +
            SizeText(spec.columns, spec.rows);
      return false;
    }
    incomplete = (f->flags & AV_FRAME_FLAG_CORRUPT) != 0 || f->decode_error_flags != 0 ||
                 (bytes_->Cut() && parseEnded_ && size_t(n) + 1 >= Frames());
    return ToRgb(*f, rgb, why);
  }

  double FrameRate() {
    if (!checked_) {
      checked_ = true;
      container_ = ContainerOf(*bytes_);
    }
    std::string why;
    if (container_ && refused_.empty() && IndexUpTo(0, why) && index_ && index_->Stream()) {
      // The container's rate, where it states one, is the one players use.
      const AVStream& st = *index_->Stream();
      for (const AVRational r : {st.avg_frame_rate, st.r_frame_rate})
        if (r.num > 0 && r.den > 0) return av_q2d(r);
    }
    FrameSpec any;
    if (!dec_ && (!refused_.empty() || !Run(0, any, why))) return 0;
    if (dec_ && dec_->framerate.num > 0 && dec_->framerate.den > 0) return av_q2d(dec_->framerate);
    return 0;
  }

  // Decodes every frame in order (the fuzz target's walk).
  int DecodeAll(const FrameSpec& spec, int maxFrames) {
    int done = 0;
    for (int n = 0; n < maxFrames; ++n) {
      std::vector<uint8_t> rgb;
      bool incomplete = false;
      std::string why;
      if (!Decode(n, spec, rgb, incomplete, why)) {
        if (parseEnded_ && size_t(n) >= Frames()) break;
        continue;
      }
      ++done;
    }
    return done;
  }

 private:
  bool OpenParser(std::string& why) {
    if (parser_) return true;
    const AVCodecID id = CodecIdOf(codec_);
    parser_ = av_parser_init(id);
    parseCtx_ = avcodec_alloc_context3(avcodec_find_decoder(id));
    if (!parser_ || !parseCtx_) {
      why = "the video decoder is not available";
      return false;
    }
    chunk_.resize(kChunk + AV_INPUT_BUFFER_PADDING_SIZE);
    return true;
  }

  // Grows the index until it holds access unit `want` and the one after it
  // (whose kind decides whether `want` is a clean start), or the stream ends.
  bool IndexUpTo(size_t want, std::string& why) {
    if (container_) return IndexPacketsUpTo(want, why);
    if (!OpenParser(why)) return false;
    while (aus_.size() <= want + 1 && !parseEnded_) {
      const size_t n = bytes_->Read(parsed_, chunk_.data(), kChunk);
      if (n == 0) {
        // The end: the parser gives what it still holds.
        for (int k = 0; k < 4; ++k) {
          uint8_t* out = nullptr;
          int outSize = 0;
          av_parser_parse2(parser_, parseCtx_, &out, &outSize, nullptr, 0, AV_NOPTS_VALUE,
                           AV_NOPTS_VALUE, 0);
          if (outSize <= 0) break;
          Record(out, size_t(outSize), parser_->frame_offset);
        }
        parseEnded_ = true;
        break;
      }
      std::memset(chunk_.data() + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
      const uint8_t* p = chunk_.data();
      size_t left = n;
      parsed_ += int64_t(n);
      while (left > 0) {
        uint8_t* out = nullptr;
        int outSize = 0;
        const int used = av_parser_parse2(parser_, parseCtx_, &out, &outSize, p, int(left),
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (used < 0) break;
        p += used;
        left -= size_t(used);
        if (outSize > 0) Record(out, size_t(outSize), parser_->frame_offset);
        if (used == 0 && outSize <= 0) break;
      }
      const int64_t indexedEnd = aus_.empty() ? 0 : aus_.back().pos + aus_.back().size;
      if (parsed_ - indexedEnd > kMaxAccessUnit) {
        parseEnded_ = true;
        overlong_ = true;
      }
    }
    return true;
  }

  // The same from a container: its demuxer's packets of the first video
  // stream are the access units. The demuxer only reads forward, so the index
  // can always be grown from where it stopped.
  bool IndexPacketsUpTo(size_t want, std::string& why) {
    if (!index_) {
      index_ = std::make_unique<Demuxer>(*bytes_, container_);
      indexPacket_.reset(av_packet_alloc());
      if (!indexPacket_ || !index_->Open()) {
        refused_ = why = std::string("the video's ") + ContainerName() + " cannot be read";
        parseEnded_ = true;
        return false;
      }
    }
    AVPacket* pkt = indexPacket_.get();
    while (Frames() <= want + 1 && !parseEnded_) {
      if (!index_->Next(pkt)) {
        parseEnded_ = true;
        break;
      }
      if (aus_.empty()) AdoptStream(*index_->Stream());
      const size_t before = aus_.size();
      Record(pkt->data, size_t(pkt->size), pkt->pos);
      if (aus_.size() > before) {
        aus_.back().dts = pkt->dts;
        if (pkt->pos >= 0) positions_.emplace(pkt->pos, int64_t(before));
        // An MP4 edit list that starts after a key frame marks the packets
        // before its start: decoded as references, never displayed.
        if (pkt->flags & AV_PKT_FLAG_DISCARD)
          ++discarded_;
        else
          NotePts(pkt->pts);
      }
      av_packet_unref(pkt);
    }
    if (aus_.empty() && parseEnded_ && !index_->Stream()) {
      refused_ = why = std::string("the video's ") + ContainerName() + " holds no video stream";
      return false;
    }
    return true;
  }

  // A container stamps each packet with its presentation time, so a frame's
  // display index is its time's rank: frames stay where they belong when
  // packets are missing (a cut file, pictures a damaged stream drops),
  // which counting frames out of the decoder cannot tell.
  void NotePts(int64_t pts) {
    if (!byPts_) return;
    const auto at = std::lower_bound(ptsSorted_.begin(), ptsSorted_.end(), pts);
    if (pts == AV_NOPTS_VALUE || (at != ptsSorted_.end() && *at == pts)) {
      byPts_ = false;  // not usable: counting it is
      ptsSorted_.clear();
      return;
    }
    ptsSorted_.insert(at, pts);
  }

  // The display index of a frame the decoder gave, or -1 to count it.
  int DisplayIndexOf(const AVFrame& f) const {
    if (!container_ || !byPts_ || f.pts == AV_NOPTS_VALUE) return -1;
    const auto at = std::lower_bound(ptsSorted_.begin(), ptsSorted_.end(), f.pts);
    if (at == ptsSorted_.end() || *at != f.pts) return -1;
    return int(at - ptsSorted_.begin());
  }

  const char* ContainerName() const {
    if (std::strcmp(container_, "mpeg") == 0) return "program stream";
    if (std::strcmp(container_, "mpegts") == 0) return "transport stream";
    return "MP4 file";
  }

  // The container's video stream decides the codec, whatever the transfer
  // syntax says, and how its units are delimited.
  void AdoptStream(const AVStream& st) {
    const AVCodecParameters& par = *st.codecpar;
    codecId_ = par.codec_id;
    codec_ = codecId_ == AV_CODEC_ID_H264   ? VideoCodec::kH264
             : codecId_ == AV_CODEC_ID_HEVC ? VideoCodec::kHevc
                                            : VideoCodec::kMpeg2;
    // avcC and hvcC configuration records (version 1) state the size of
    // each unit's length prefix; Annex B extra data begins with zeros.
    if (par.extradata && par.extradata[0] == 1) {
      if (codec_ == VideoCodec::kH264 && par.extradata_size >= 7)
        lengthSize_ = (par.extradata[4] & 3) + 1;
      else if (codec_ == VideoCodec::kHevc && par.extradata_size >= 23)
        lengthSize_ = (par.extradata[21] & 3) + 1;
    }
  }

  template <typename F>
  void ForEachNal(const uint8_t* p, size_t n, F&& f) const {
    if (lengthSize_ > 0)
      ForEachLengthUnit(p, n, lengthSize_, f);
    else
      ForEachUnit(p, n, f);
  }

  // Files one access unit: its range, whether decoding can begin there, and
  // the parameter sets it carries.
  void Record(const uint8_t* p, size_t n, int64_t pos) {
    if (int64_t(n) > kMaxAccessUnit) {
      overlong_ = true;
      parseEnded_ = true;
      return;
    }
    AccessUnit au;
    au.pos = pos;
    au.size = int64_t(n);
    const size_t index = aus_.size();
    au.shownBefore = int64_t(index - discarded_);
    std::string params;
    switch (codec_) {
      case VideoCodec::kH264:
        ForEachNal(p, n, [&](size_t s, size_t e) {
          const int type = p[s] & 0x1F;
          if (type == 7 || type == 8) params.append("\0\0\1", 3).append((const char*)p + s, e - s);
          if (type >= 1 && type <= 5) {
            au.clean = type == 5;
            return false;
          }
          return true;
        });
        break;
      case VideoCodec::kHevc:
        ForEachNal(p, n, [&](size_t s, size_t e) {
          const int type = (p[s] >> 1) & 0x3F;
          if (type >= 32 && type <= 34)
            params.append("\0\0\1", 3).append((const char*)p + s, e - s);
          if (type > 31) return true;
          if (type == 8 || type == 9) {
            // RASL pictures cannot be decoded from the CRA or BLA they follow.
            if (pendingIrap_ >= 0) aus_[size_t(pendingIrap_)].clean = false;
          } else if (type >= 16 && type <= 21) {
            au.clean = true;
            pendingIrap_ = type == 16 || type == 21 ? int64_t(index) : -1;
          } else if (type <= 5) {
            pendingIrap_ = -1;  // trailing pictures: no RASL picture follows any more
          }
          return false;
        });
        break;
      case VideoCodec::kMpeg2: {
        bool closedGop = false;
        bool inSequence = false;
        ForEachUnit(p, n, [&](size_t s, size_t e) {
          const int code = p[s];
          if (code == 0xB3) inSequence = true;
          if (inSequence && (code == 0xB3 || code == 0xB5))
            params.append("\0\0\1", 3).append((const char*)p + s, e - s);
          if (code == 0xB8) {
            inSequence = false;
            if (s + 4 < n) closedGop = (p[s + 4] >> 6) & 1;
          }
          if (code == 0x00) {
            const int type = s + 2 < n ? (p[s + 2] >> 3) & 7 : 0;
            // B pictures right after an open GOP's I picture refer to the
            // GOP before it.
            if (type == 3 && pendingIrap_ >= 0) aus_[size_t(pendingIrap_)].clean = false;
            pendingIrap_ = -1;
            if (type == 1) {
              au.clean = true;
              if (!closedGop) pendingIrap_ = int64_t(index);
            }
            return false;
          }
          return true;
        });
        break;
      }
      case VideoCodec::kNone:
        break;
    }
    if (index == 0) au.clean = true;  // a fresh decoder starts at the first unit
    // Length-prefixed streams carry their parameter sets in the container's
    // extra data, which the decoder keeps across restarts.
    if (lengthSize_ == 0 && !params.empty() && params.size() <= kMaxParamBytes &&
        (paramVersions_.empty() || paramVersions_.back() != params) &&
        paramVersions_.size() < kMaxParamVersions) {
      paramVersions_.push_back(std::move(params));
    }
    au.params = int(paramVersions_.size()) - 1;
    aus_.push_back(au);
  }

  bool OpenDecoder(const FrameSpec& spec, std::string& why) {
    if (dec_) return true;
    const AVCodec* codec = avcodec_find_decoder(container_ ? codecId_ : CodecIdOf(codec_));
    dec_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!dec_ || (container_ && index_ && index_->Stream() &&
                  !TakeStreamParameters(*index_->Stream()->codecpar))) {
      avcodec_free_context(&dec_);
      why = "the video decoder is not available";
      return false;
    }
    dec_->thread_count = threads_;
    dec_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    // The decoder allocates from the stream's own size: a stream far larger
    // than the header's frame is refused before it allocates. The bound is
    // loose (MPEG-2 checks its padded buffers against it, and a small frame
    // still needs some megapixels of room).
    if (spec.columns > 0 && spec.rows > 0)
      dec_->max_pixels = std::max<int64_t>(4 * (spec.columns + 256) * (spec.rows + 256), 1 << 22);
    if (avcodec_open2(dec_, codec, nullptr) < 0) {
      avcodec_free_context(&dec_);
      why = "the video decoder does not open";
      return false;
    }
    packet_.reset(av_packet_alloc());
    return packet_ != nullptr;
  }

  // The frames the stream displays: its units less those never shown.
  size_t Frames() const { return aus_.size() - discarded_; }

  // The last clean start from which frame n is reached (by display index).
  // The container's description of the stream (MP4 extra data above all).
  // FFmpeg copies a container's colour description as it finds it: values
  // outside its enumerations become "unspecified" before anything reads them.
  bool TakeStreamParameters(const AVCodecParameters& from) {
    AVCodecParameters* par = avcodec_parameters_alloc();
    bool ok = par && avcodec_parameters_copy(par, &from) >= 0;
    if (ok) {
      Unspecified(par->color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED);
      Unspecified(par->color_primaries, AVCOL_PRI_NB, AVCOL_PRI_UNSPECIFIED);
      Unspecified(par->color_trc, AVCOL_TRC_NB, AVCOL_TRC_UNSPECIFIED);
      Unspecified(par->color_space, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
      Unspecified(par->chroma_location, AVCHROMA_LOC_NB, AVCHROMA_LOC_UNSPECIFIED);
      ok = avcodec_parameters_to_context(dec_, par) >= 0;
    }
    avcodec_parameters_free(&par);
    return ok;
  }

  template <typename E>
  static void Unspecified(E& e, int end, E fallback) {
    static_assert(sizeof(E) == sizeof(int));
    int v = 0;
    std::memcpy(&v, &e, sizeof v);
    if (v < 0 || v >= end) e = fallback;
  }

  int LastCleanAtOrBefore(int n) const {
    for (int k = std::min(n + int(discarded_), int(aus_.size()) - 1); k > 0; --k)
      if (aus_[size_t(k)].clean && aus_[size_t(k)].shownBefore <= n) return k;
    return 0;
  }

  bool Send(const uint8_t* data, size_t n) {
    if (av_new_packet(packet_.get(), int(n)) < 0) return false;
    std::memcpy(packet_->data, data, n);
    const int r = avcodec_send_packet(dec_, packet_.get());
    av_packet_unref(packet_.get());
    return r >= 0;
  }

  // Feeds access unit k to the decoder; a damaged one is skipped.
  void Feed(size_t k) {
    if (container_) {
      FeedPacket(int64_t(k));
      return;
    }
    const AccessUnit& au = aus_[k];
    if (av_new_packet(packet_.get(), int(au.size)) < 0) return;
    const size_t got = bytes_->Read(au.pos, packet_->data, size_t(au.size));
    packet_->size = int(got);
    if (got > 0) avcodec_send_packet(dec_, packet_.get());
    av_packet_unref(packet_.get());
  }

  // Feeds packet k from a second demuxer, which moves on as the decoder
  // does and seeks for a jump; every packet it gives is checked against the
  // index, so a container whose seeks land inexactly costs a re-read from
  // the start, never a wrong frame.
  void FeedPacket(int64_t k) {
    if (!feedPacket_) feedPacket_.reset(av_packet_alloc());
    if (!feedPacket_) return;
    constexpr int64_t kReadAhead = 64;
    if (!feed_ || feedNext_ < 0 || k < feedNext_ || k - feedNext_ > kReadAhead) {
      if (!(feed_ && k > 0 && SeekFeed(k))) ReopenFeed();
    }
    AVPacket* pkt = feedPacket_.get();
    while (feedNext_ >= 0 && feedNext_ <= k) {
      if (!havePending_ && !feed_->Next(pkt)) {
        feedNext_ = -1;
        return;
      }
      havePending_ = false;
      const AccessUnit& au = aus_[size_t(feedNext_)];
      if (pkt->pos != au.pos || pkt->size != au.size) {
        av_packet_unref(pkt);
        feedNext_ = -1;  // lost: the next request starts again
        return;
      }
      if (feedNext_++ == k) avcodec_send_packet(dec_, pkt);
      av_packet_unref(pkt);
    }
  }

  void ReopenFeed() {
    havePending_ = false;
    if (feedPacket_) av_packet_unref(feedPacket_.get());
    feed_ = std::make_unique<Demuxer>(*bytes_, container_);
    feedNext_ = feed_->Open() ? 0 : -1;
  }

  // Seeks the feeding demuxer to the key frame before packet k and finds
  // which indexed packet it landed on; false when that is not at or before k.
  bool SeekFeed(int64_t k) {
    havePending_ = false;
    feedNext_ = -1;
    AVPacket* pkt = feedPacket_.get();
    av_packet_unref(pkt);
    const AccessUnit& au = aus_[size_t(k)];
    if (au.dts == AV_NOPTS_VALUE || !feed_->SeekBefore(au.dts)) return false;
    // A seek by time in a program or transport stream may land a little
    // before a packet start: the first few packets may not be indexed ones.
    for (int tries = 0; tries < 16 && feed_->Next(pkt); ++tries) {
      const auto it = positions_.find(pkt->pos);
      if (it != positions_.end() && aus_[size_t(it->second)].size == pkt->size) {
        if (it->second > k) break;
        feedNext_ = it->second;
        havePending_ = true;
        return true;
      }
      av_packet_unref(pkt);
    }
    av_packet_unref(pkt);
    return false;
  }

  void Restart(int start) {
    avcodec_flush_buffers(dec_);
    const AccessUnit& au = aus_[size_t(start)];
    // The parameter sets may lie earlier in the stream than the start.
    if (start > 0 && au.params >= 0) {
      const std::string& ps = paramVersions_[size_t(au.params)];
      Send(reinterpret_cast<const uint8_t*>(ps.data()), ps.size());
    }
    fed_ = start;
    nextOut_ = int(au.shownBefore);
    drained_ = false;
    running_ = true;
  }

  // Decodes until frame n is kept, continuing the running decoder when that
  // is no slower than starting again at the last clean point before n.
  bool Run(int n, const FrameSpec& spec, std::string& why) {
    // Pictures reorder within a few dozen packets: indexing that far ahead
    // of what is fed puts every earlier presentation time in the index.
    const size_t ahead = container_ ? kReorderPackets : 0;
    if (!IndexUpTo(size_t(n) + ahead, why)) return false;
    if (size_t(n) >= Frames()) {
      why = Frames() == 0 ? "the video stream holds no frame"
                          : "frame " + std::to_string(n + 1) + " is past the end of the video (" +
                                std::to_string(Frames()) + (Frames() == 1 ? " frame)" : " frames)");
      if (overlong_)
        why = "the video stream has no frame boundary after frame " + std::to_string(Frames());
      return false;
    }
    if (!OpenDecoder(spec, why)) return false;
    const int start = LastCleanAtOrBefore(n);
    if (!running_ || drained_ || n < nextOut_ || start > fed_) Restart(start);
    FramePtr frame(av_frame_alloc());
    if (!frame) return false;
    bool passed = false;  // a later frame came out: n's picture is missing
    while (!passed) {
      while (avcodec_receive_frame(dec_, frame.get()) == 0) {
        int index = DisplayIndexOf(*frame);
        if (index < 0) index = nextOut_;
        nextOut_ = index + 1;
        Keep(index, std::move(frame));
        frame.reset(av_frame_alloc());
        if (!frame) return false;
        if (index == n) return true;
        if (index > n) {
          passed = true;
          break;
        }
      }
      if (passed || drained_) break;
      if (size_t(fed_) + ahead >= aus_.size() && !IndexUpTo(size_t(fed_) + ahead, why))
        return false;
      if (size_t(fed_) < aus_.size()) {
        Feed(size_t(fed_++));
      } else {
        avcodec_send_packet(dec_, nullptr);
        drained_ = true;
      }
    }
    if (parseCtx_ && parseCtx_->width > 0 &&
        (parseCtx_->width != spec.columns || parseCtx_->height != spec.rows) && spec.columns > 0) {
      why = "the video's frames are " + SizeText(parseCtx_->width, parseCtx_->height) +
            ", the header says " + SizeText(spec.columns, spec.rows);
    } else {
      why = "frame " + std::to_string(n + 1) + " does not decode";
    }
    return false;
  }

  void Keep(int index, FramePtr frame) {
    int64_t bytes = 0;
    for (int p = 0; p < AV_NUM_DATA_POINTERS && frame->buf[p]; ++p)
      bytes += int64_t(frame->buf[p]->size);
    kept_.push_back({index, bytes, std::move(frame)});
    keptBytes_ += bytes;
    while (kept_.size() > kKeptFrames || (kept_.size() > 1 && keptBytes_ > kKeptBytes)) {
      keptBytes_ -= kept_.front().bytes;
      kept_.pop_front();
    }
  }

  const AVFrame* Find(int n) const {
    for (const Kept& k : kept_)
      if (k.index == n) return k.frame.get();
    return nullptr;
  }

  bool ToRgb(const AVFrame& f, std::vector<uint8_t>& rgb, std::string& why) {
    // As FFmpeg's own scaler converts by default: the stream's matrix and
    // range when it states them, else BT.601 limited range.
    sws_ = sws_getCachedContext(sws_, f.width, f.height, AVPixelFormat(f.format), f.width, f.height,
                                AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!sws_) {
      why = "the video's pixel format cannot be converted";
      return false;
    }
    // Read as integers: a stream may state values outside FFmpeg's
    // enumerations, and the scaler takes any integer.
    int colorspace = 0, range = 0;
    std::memcpy(&colorspace, &f.colorspace, sizeof colorspace);
    std::memcpy(&range, &f.color_range, sizeof range);
    const int srcRange = range == AVCOL_RANGE_JPEG ? 1 : 0;
    sws_setColorspaceDetails(sws_, sws_getCoefficients(colorspace), srcRange,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    const size_t bytes = size_t(f.width) * size_t(f.height) * 3;
    // The scaler may store a few bytes past the last row's end.
    rgb.assign(bytes + 64, 0);
    uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
    const int stride[4] = {f.width * 3, 0, 0, 0};
    sws_scale(sws_, f.data, f.linesize, 0, f.height, dst, stride);
    rgb.resize(bytes);
    return true;
  }

  struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
  };
  struct Kept {
    int index;
    int64_t bytes;
    FramePtr frame;
  };

  std::unique_ptr<StreamBytes> bytes_;
  VideoCodec codec_;
  int threads_;
  bool checked_ = false;
  std::string refused_;
  // In a container: the demuxer name, the stream's codec and unit prefix
  // size (0: start codes), and the demuxers that index and that feed.
  const char* container_ = nullptr;
  AVCodecID codecId_ = AV_CODEC_ID_NONE;
  int lengthSize_ = 0;
  std::unique_ptr<Demuxer> index_;
  std::unique_ptr<AVPacket, PacketDeleter> indexPacket_;
  std::unordered_map<int64_t, int64_t> positions_;  // packet position -> index
  std::unique_ptr<Demuxer> feed_;
  std::unique_ptr<AVPacket, PacketDeleter> feedPacket_;
  int64_t feedNext_ = -1;     // the index of the packet feed_ gives next, -1 unknown
  bool havePending_ = false;  // feedPacket_ holds that packet already
  bool byPts_ = true;
  size_t discarded_ = 0;            // indexed packets the container says not to show
  std::vector<int64_t> ptsSorted_;  // every indexed packet's presentation time

  AVCodecParserContext* parser_ = nullptr;
  AVCodecContext* parseCtx_ = nullptr;
  std::vector<uint8_t> chunk_;
  int64_t parsed_ = 0;
  bool parseEnded_ = false;
  bool overlong_ = false;
  int64_t pendingIrap_ = -1;
  std::vector<AccessUnit> aus_;
  std::vector<std::string> paramVersions_;

  AVCodecContext* dec_ = nullptr;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  int fed_ = 0;      // next access unit to feed
  int nextOut_ = 0;  // display index of the next frame out
  bool running_ = false;
  bool drained_ = false;
  std::deque<Kept> kept_;
  int64_t keptBytes_ = 0;
  SwsContext* sws_ = nullptr;
};

// FFmpeg reports damage on standard error; the session gives one reason
// per frame instead.
void QuietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Frame threads each hold a picture in flight: eight keep a session's memory
// modest while a few sessions are open, and decode 1080p faster than it plays.
int DecoderThreads() {
  return int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

// The few videos open at a time, most recent first, keyed by the file's path,
// size and time and where the stream starts.
std::shared_ptr<Session> SessionFor(const VideoSource& s, std::string& why) {
  static std::mutex mutex;
  static std::list<std::pair<std::string, std::shared_ptr<Session>>> open;
  std::error_code ec;
  const auto size = std::filesystem::file_size(s.path, ec);
  if (ec) {
    why = "the file cannot be opened";
    return nullptr;
  }
  const auto time = std::filesystem::last_write_time(s.path, ec).time_since_epoch().count();
  const std::string key = s.path + '\n' + std::to_string(size) + '\n' + std::to_string(time) +
                          '\n' + std::to_string(s.firstByte) + '\n' + std::to_string(int(s.codec));
  std::lock_guard lock(mutex);
  for (auto it = open.begin(); it != open.end(); ++it) {
    if (it->first != key) continue;
    open.splice(open.begin(), open, it);
    return open.front().second;
  }
  QuietLibraries();
  auto bytes = std::make_unique<FragmentBytes>(s.path, s.firstByte, s.length);
  if (!bytes->ok()) {
    why = "the file cannot be opened";
    return nullptr;
  }
  auto session = std::make_shared<Session>(std::move(bytes), s.codec, DecoderThreads());
  open.emplace_front(key, session);
  if (open.size() > kOpenSessions) open.pop_back();
  return session;
}

}  // namespace

VideoCodec VideoCodecOf(std::string_view uid) {
  while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\0')) uid.remove_suffix(1);
  constexpr std::string_view prefix = "1.2.840.10008.1.2.4.";
  if (uid.substr(0, prefix.size()) != prefix) return VideoCodec::kNone;
  std::string_view rest = uid.substr(prefix.size());
  if (rest.size() == 5 && rest.substr(3) == ".1") rest = rest.substr(0, 3);
  if (rest == "100" || rest == "101") return VideoCodec::kMpeg2;
  if (rest >= "102" && rest <= "106" && rest.size() == 3) return VideoCodec::kH264;
  // HEVC has no fragmentable variants.
  if (uid.size() == prefix.size() + 3 && (rest == "107" || rest == "108")) return VideoCodec::kHevc;
  return VideoCodec::kNone;
}

bool DecodeVideoFrame(const VideoSource& source, const FrameSpec& spec, int frame,
                      std::vector<uint8_t>& rgb, bool& incomplete, std::string& why) {
  rgb.clear();
  incomplete = false;
  if (source.codec == VideoCodec::kNone) {
    why = "not a video transfer syntax";
    return false;
  }
  if (frame < 1 || frame > source.frames) {
    why = "frame " + std::to_string(frame) + " is outside 1 ... " + std::to_string(source.frames);
    return false;
  }
  const std::shared_ptr<Session> session = SessionFor(source, why);
  if (!session) return false;
  std::lock_guard lock(session->mutex);
  return session->Decode(frame - 1, spec, rgb, incomplete, why);
}

double VideoStreamFrameRate(const VideoSource& source) {
  // Kept per file, so a display that asks again does not wait behind a
  // decode in progress on the session.
  static std::mutex mutex;
  static std::list<std::pair<std::string, double>> known;
  const std::string key = source.path + '\n' + std::to_string(source.firstByte);
  {
    std::lock_guard lock(mutex);
    for (const auto& [k, rate] : known)
      if (k == key) return rate;
  }
  std::string why;
  const std::shared_ptr<Session> session = SessionFor(source, why);
  if (!session) return 0;
  double rate = 0;
  {
    std::lock_guard lock(session->mutex);
    rate = session->FrameRate();
  }
  std::lock_guard lock(mutex);
  known.emplace_front(key, rate);
  if (known.size() > 64) known.pop_back();
  return rate;
}

int DecodeVideoBytes(VideoCodec codec, const uint8_t* data, size_t size, const FrameSpec& spec,
                     int maxFrames) {
  if (codec == VideoCodec::kNone) return 0;
  QuietLibraries();
  Session session(std::make_unique<MemoryBytes>(data, size), codec, 1);
  std::lock_guard lock(session.mutex);
  return session.DecodeAll(spec, maxFrames);
}
