// tavrolen-dicom decode: the decoded samples of a frame exactly as the viewer
// holds them (one byte per pixel for grey bytes, machine-order words, or
// R, G, B; see DecodedFrame), after the modality lookup-table step.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "dicom/SafeOutput.h"
#include "dicom/dicom.h"
#include "pixels/CodecTable.h"
#include "pixels/FrameDecoder.h"

namespace {

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom decode: %s\n", text.c_str());
  return 1;
}

// A wrong command line: status 2, as every command of the tool.
int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

bool ParseFrame(const std::string& text, int& frame) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != 0 || v < 1 || v > 1000000000) return false;
  frame = static_cast<int>(v);
  return true;
}

struct FrameResult {
  bool ok = false;
  DecodedFrame pixels;  // after the lookup-table step
  std::string why;
};

// Decodes frames first ... last on up to eight cores at once and hands them
// out in order. Frames are independent, so one codec thread per frame scales
// better than several threads inside each frame; a single frame keeps the
// codec's own threads. At most two frames per worker wait to be taken, so
// memory stays bounded however many frames the file has.
class FramePipeline {
 public:
  FramePipeline(const std::string& path, const DICOMdata& header, int first, int last)
      : path_(path), header_(header), next_(first), last_(last), taken_(first - 1) {
    const int frames = last - first + 1;
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // A video decodes through one session in stream order (its decoder
    // threads itself): frames handed to several workers would arrive out of
    // order and make it start again from a key frame.
    const TransferSyntaxCodec* codec = FindTransferSyntax(FrameTransferSyntax(header));
    const bool video = codec && codec->encoding == PixelEncoding::kVideo;
    const int workers = video ? 1 : std::min({frames, cores, 8});
    codecThreads_ = workers > 1 ? 1 : 0;
    window_ = 2 * workers;
    for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~FramePipeline() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (auto& t : threads_) t.join();
  }

  FrameResult Take(int k) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return done_.count(k) != 0; });
    FrameResult r = std::move(done_[k]);
    done_.erase(k);
    taken_ = k;
    if (!r.ok) stop_ = true;  // the caller gives up at the first failure
    lock.unlock();
    changed_.notify_all();
    return r;
  }

 private:
  void Work() {
    for (;;) {
      int k;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || next_ > last_ || next_ <= taken_ + window_; });
        if (stop_ || next_ > last_) return;
        k = next_++;
      }
      FrameResult r;
      try {
        r.ok = DecodeFrame(path_, header_, header_.gECATJPEG_pos_table,
                           header_.gECATJPEG_size_table, k, r.pixels, &r.why, codecThreads_);
        if (r.ok) {
          // Every frame meets the table with the header's own slope and intercept.
          DICOMdata shown = header_;
          ApplyModalityLut(shown, r.pixels.buff16);
        }
      } catch (const std::exception& e) {  // out of memory: a failed frame, not a crash
        r = FrameResult{};
        r.why = e.what();
      }
      {
        std::lock_guard lock(mutex_);
        done_[k] = std::move(r);
      }
      changed_.notify_all();
    }
  }

  const std::string& path_;
  const DICOMdata& header_;
  int codecThreads_ = 0;
  int window_ = 2;
  std::mutex mutex_;
  std::condition_variable changed_;
  int next_;
  const int last_;
  int taken_;
  bool stop_ = false;
  std::map<int, FrameResult> done_;
  std::vector<std::thread> threads_;
};

int Decode(const std::vector<std::string>& args) {
  std::string input, output;
  int frame = 1;
  bool allFrames = false, frameGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-o" && i + 1 < args.size()) {
      output = args[++i];
    } else if (a == "--frame" && i + 1 < args.size()) {
      if (!ParseFrame(args[++i], frame)) return Usage("--frame needs a number from 1 on");
      frameGiven = true;
    } else if (a == "--all-frames") {
      allFrames = true;
    } else if (!a.empty() && a[0] == '-') {
      return Usage("unknown option " + a);
    } else if (input.empty()) {
      input = a;
    } else {
      return Usage("only one FILE can be decoded");
    }
  }
  if (input.empty() || output.empty())
    return Usage("usage: decode FILE [--frame K | --all-frames] -o OUT");
  if (allFrames && frameGiven) return Usage("--frame and --all-frames exclude each other");

  DICOMdata header;
  bool hdrOK = false, imgOK = false;
  std::string said;  // the reader's last message, the likeliest reason for a refusal
  try {
    ReadDicomHeader(input, true, header, hdrOK, imgOK, [&](const std::string& t) { said = t; });
  } catch (const std::exception& e) {
    return Fail(input + ": " + e.what());
  }
  header.referenceFile = input;
  if (!imgOK) return Fail(input + ": " + (said.empty() ? "no displayable image" : said));

  const int frames = std::max(1, header.XYZdim[2]);
  if (frame > frames) {
    return Fail(input + ": frame " + std::to_string(frame) + " of " + std::to_string(frames));
  }
  // Written beside OUT and renamed over it when every frame is in, so a
  // frame that fails leaves OUT as it was.
  TSafeOutput out;
  std::string why;
  if (!out.Open(output, why)) return Fail(why);

  const int first = allFrames ? 1 : frame;
  const int last = allFrames ? frames : frame;
  FramePipeline pipeline(input, header, first, last);
  for (int k = first; k <= last; ++k) {
    FrameResult r = pipeline.Take(k);
    if (!r.ok) {
      out.Abandon();
      return Fail(input + ": frame " + std::to_string(k) + ": " + r.why);
    }
    const DecodedFrame& decoded = r.pixels;
    if (decoded.incomplete) {
      std::fprintf(stderr,
                   "tavrolen-dicom decode: %s: frame %d: incomplete image (the data ends early)\n",
                   input.c_str(), k);
    }
    bool written = true;
    if (!decoded.buff8.empty()) {
      written = out.Write(decoded.buff8.data(), decoded.buff8.size(), why);
    } else if (!decoded.buff16.empty()) {
      written = out.Write(decoded.buff16.data(), 2 * decoded.buff16.size(), why);
    } else if (!decoded.buff24.empty()) {
      written = out.Write(decoded.buff24.data(), decoded.buff24.size(), why);
    }
    if (!written) return Fail(why);
  }
  if (!out.Commit(why)) return Fail(why);
  return 0;
}

const cli::Register kDecode("decode",
                            "decode FILE [--frame K | --all-frames] -o OUT  decoded samples of a "
                            "frame as the viewer holds them",
                            Decode);

}  // namespace
