// The one table from a transfer syntax UID to the codec that decodes its
// frames. DecodeFrame picks from it for the viewer, the thumbnails and the
// command-line tool alike; a syntax the table lacks, or lists without a codec,
// is refused with a reason that names it and never handed to another codec.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pixels/codecs/Codec.h"

enum class PixelEncoding {
  kNative,        // pixel data stored as is, read at the header's ImageStart
  kEncapsulated,  // one compressed stream per frame, located by the frame tables
  kVideo,         // one stream over all fragments, decoded by a video session (codecs/Video.h)
};

struct TransferSyntaxCodec {
  const char* uid;
  const char* name;
  PixelEncoding encoding;
  FrameCodec decode;  // null: native data, video, or a syntax known by name only (refused)
  // Run on a frame's bytes before anything is allocated for the frame; null:
  // the expansion bound below is all there is to check.
  FrameCheck check;
  // The largest frame one compressed byte can honestly expand to, checked
  // from the frame tables before the frame's bytes are read, so a header that
  // claims a huge image over a few bytes reads and allocates nothing (`check`
  // then bounds it closer by the stream's own header). 0: the codec has no
  // such floor (blank frames compress to almost nothing) and gets a fixed
  // allowance instead.
  int64_t maxExpansion;

  bool supported() const {
    return encoding == PixelEncoding::kNative || encoding == PixelEncoding::kVideo ||
           decode != nullptr;
  }
};

// The entry of `uid` (trailing blanks and NULs ignored), or null when the
// table does not know it. An empty UID (files without meta information) is
// native data.
const TransferSyntaxCodec* FindTransferSyntax(std::string_view uid);

// Every syntax the table decodes, in table order: what a network peer may
// send without the need to transcode.
std::vector<std::string> SupportedTransferSyntaxes();

// "1.2.840.10008.1.2.4.80 (JPEG-LS Lossless Image Compression)", or the UID
// with "(unknown transfer syntax)".
std::string DescribeTransferSyntax(std::string_view uid);

// The frame may come from `compressed` bytes under `entry`'s codec.
bool ExpansionIsPlausible(const TransferSyntaxCodec& entry, int64_t frameBytes, int64_t compressed);
