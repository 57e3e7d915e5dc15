#include "pixels/CodecTable.h"

#include <algorithm>
#include <iterator>

#include "pixels/codecs/BaselineJpeg.h"
#include "pixels/codecs/Deflate.h"
#include "pixels/codecs/JpegLs.h"
#include "pixels/codecs/JpegXl.h"
#include "pixels/codecs/Native.h"
#include "pixels/codecs/OpenJpeg.h"
#include "pixels/codecs/OpenJph.h"
#include "pixels/codecs/RleDecoder.h"
#include "pixels/codecs/lsjpeg.h"

namespace {

constexpr PixelEncoding kNative = PixelEncoding::kNative;
constexpr PixelEncoding kEncapsulated = PixelEncoding::kEncapsulated;
constexpr PixelEncoding kVideo = PixelEncoding::kVideo;

// Lossless JPEG spends at least one bit per sample, RLE at least two bytes per
// 128, the DCT processes at least two bits per 8 x 8 block, deflate one byte
// per 1032.
constexpr int64_t kLosslessJpeg = 16;
constexpr int64_t kRle = 64;
constexpr int64_t kDct = 1024;
constexpr int64_t kDeflate = 1100;  // deflate cannot pass 1032

// Every transfer syntax of the standard (and the one private syntax real
// files use), in UID order. Rows without a codec are known by name only.
const TransferSyntaxCodec kTable[] = {
    {"1.2.840.10008.1.2", "Implicit VR Little Endian", kNative, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.1", "Explicit VR Little Endian", kNative, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.1.98", "Encapsulated Uncompressed Explicit VR Little Endian", kEncapsulated,
     DecodeUncompressedFrame, nullptr, 1},
    {"1.2.840.10008.1.2.1.99", "Deflated Explicit VR Little Endian", kNative, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.2", "Explicit VR Big Endian", kNative, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.100", "MPEG2 Main Profile / Main Level", kVideo, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.100.1", "Fragmentable MPEG2 Main Profile / Main Level", kVideo, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.101", "MPEG2 Main Profile / High Level", kVideo, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.101.1", "Fragmentable MPEG2 Main Profile / High Level", kVideo, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.102", "MPEG-4 AVC/H.264 High Profile / Level 4.1", kVideo, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.102.1", "Fragmentable MPEG-4 AVC/H.264 High Profile / Level 4.1", kVideo,
     nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.103", "MPEG-4 AVC/H.264 BD-compatible High Profile / Level 4.1", kVideo,
     nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.103.1",
     "Fragmentable MPEG-4 AVC/H.264 BD-compatible High Profile / Level 4.1", kVideo, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.104", "MPEG-4 AVC/H.264 High Profile / Level 4.2 For 2D Video", kVideo,
     nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.104.1",
     "Fragmentable MPEG-4 AVC/H.264 High Profile / Level 4.2 For 2D Video", kVideo, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.105", "MPEG-4 AVC/H.264 High Profile / Level 4.2 For 3D Video", kVideo,
     nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.105.1",
     "Fragmentable MPEG-4 AVC/H.264 High Profile / Level 4.2 For 3D Video", kVideo, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.106", "MPEG-4 AVC/H.264 Stereo High Profile / Level 4.2", kVideo, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.106.1", "Fragmentable MPEG-4 AVC/H.264 Stereo High Profile / Level 4.2",
     kVideo, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.107", "HEVC/H.265 Main Profile / Level 5.1", kVideo, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.108", "HEVC/H.265 Main 10 Profile / Level 5.1", kVideo, nullptr, nullptr,
     0},
    {"1.2.840.10008.1.2.4.110", "JPEG XL Lossless", kEncapsulated, DecodeJpegXlFrame,
     CheckJpegXlFrame, 0},
    {"1.2.840.10008.1.2.4.111", "JPEG XL JPEG Recompression", kEncapsulated, DecodeJpegXlFrame,
     CheckJpegXlFrame, 0},
    {"1.2.840.10008.1.2.4.112", "JPEG XL", kEncapsulated, DecodeJpegXlFrame, CheckJpegXlFrame, 0},
    {"1.2.840.10008.1.2.4.201", "High-Throughput JPEG 2000 Image Compression (Lossless Only)",
     kEncapsulated, DecodeHtj2kFrame, CheckHtj2kFrame, 0},
    {"1.2.840.10008.1.2.4.202",
     "High-Throughput JPEG 2000 with RPCL Options Image Compression (Lossless Only)", kEncapsulated,
     DecodeHtj2kFrame, CheckHtj2kFrame, 0},
    {"1.2.840.10008.1.2.4.203", "High-Throughput JPEG 2000 Image Compression", kEncapsulated,
     DecodeHtj2kFrame, CheckHtj2kFrame, 0},
    {"1.2.840.10008.1.2.4.204", "JPIP HTJ2K Referenced", kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.205", "JPIP HTJ2K Referenced Deflate", kEncapsulated, nullptr, nullptr,
     0},
    {"1.2.840.10008.1.2.4.50", "JPEG Baseline (Process 1)", kEncapsulated, DecodeJpegFrame,
     CheckJpegFrame, kDct},
    {"1.2.840.10008.1.2.4.51", "JPEG Extended (Process 2 & 4)", kEncapsulated, DecodeJpegFrame,
     CheckJpegFrame, kDct},
    // Retired DCT processes libjpeg still decodes (arithmetic coding and
    // progressive scans); what it cannot decode it reports.
    {"1.2.840.10008.1.2.4.52", "JPEG Extended (Process 3 & 5)", kEncapsulated, DecodeJpegFrame,
     CheckJpegFrame, kDct},
    {"1.2.840.10008.1.2.4.53", "JPEG Spectral Selection, Non-Hierarchical (Process 6 & 8)",
     kEncapsulated, DecodeJpegFrame, CheckJpegFrame, kDct},
    {"1.2.840.10008.1.2.4.54", "JPEG Spectral Selection, Non-Hierarchical (Process 7 & 9)",
     kEncapsulated, DecodeJpegFrame, CheckJpegFrame, kDct},
    {"1.2.840.10008.1.2.4.55", "JPEG Full Progression, Non-Hierarchical (Process 10 & 12)",
     kEncapsulated, DecodeJpegFrame, CheckJpegFrame, kDct},
    {"1.2.840.10008.1.2.4.56", "JPEG Full Progression, Non-Hierarchical (Process 11 & 13)",
     kEncapsulated, DecodeJpegFrame, CheckJpegFrame, kDct},
    {"1.2.840.10008.1.2.4.57", "JPEG Lossless, Non-Hierarchical (Process 14)", kEncapsulated,
     DecodeLosslessJpegFrame, CheckLosslessJpegFrame, kLosslessJpeg},
    {"1.2.840.10008.1.2.4.58", "JPEG Lossless, Non-Hierarchical (Process 15)", kEncapsulated,
     nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.59", "JPEG Extended, Hierarchical (Process 16 & 18)", kEncapsulated,
     nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.60", "JPEG Extended, Hierarchical (Process 17 & 19)", kEncapsulated,
     nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.61", "JPEG Spectral Selection, Hierarchical (Process 20 & 22)",
     kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.62", "JPEG Spectral Selection, Hierarchical (Process 21 & 23)",
     kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.63", "JPEG Full Progression, Hierarchical (Process 24 & 26)",
     kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.64", "JPEG Full Progression, Hierarchical (Process 25 & 27)",
     kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.65", "JPEG Lossless, Hierarchical (Process 28)", kEncapsulated, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.66", "JPEG Lossless, Hierarchical (Process 29)", kEncapsulated, nullptr,
     nullptr, 0},
    {"1.2.840.10008.1.2.4.70",
     "JPEG Lossless, Non-Hierarchical, First-Order Prediction (Process 14 [Selection Value 1])",
     kEncapsulated, DecodeLosslessJpegFrame, CheckLosslessJpegFrame, kLosslessJpeg},
    {"1.2.840.10008.1.2.4.80", "JPEG-LS Lossless Image Compression", kEncapsulated,
     DecodeJpegLsFrame, CheckJpegLsFrame, 0},
    {"1.2.840.10008.1.2.4.81", "JPEG-LS Lossy (Near-Lossless) Image Compression", kEncapsulated,
     DecodeJpegLsFrame, CheckJpegLsFrame, 0},
    {"1.2.840.10008.1.2.4.90", "JPEG 2000 Image Compression (Lossless Only)", kEncapsulated,
     DecodeJpeg2000Frame, CheckJpeg2000Frame, 0},
    {"1.2.840.10008.1.2.4.91", "JPEG 2000 Image Compression", kEncapsulated, DecodeJpeg2000Frame,
     CheckJpeg2000Frame, 0},
    {"1.2.840.10008.1.2.4.92", "JPEG 2000 Part 2 Multi-component Image Compression (Lossless Only)",
     kEncapsulated, DecodeJpeg2000Frame, CheckJpeg2000Frame, 0},
    {"1.2.840.10008.1.2.4.93", "JPEG 2000 Part 2 Multi-component Image Compression", kEncapsulated,
     DecodeJpeg2000Frame, CheckJpeg2000Frame, 0},
    {"1.2.840.10008.1.2.4.94", "JPIP Referenced", kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.4.95", "JPIP Referenced Deflate", kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.5", "RLE Lossless", kEncapsulated, DecodeRleFrame, CheckRleFrame, kRle},
    {"1.2.840.10008.1.2.6.1", "RFC 2557 MIME encapsulation", kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.6.2", "XML Encoding", kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.7.1", "SMPTE ST 2110-20 Uncompressed Progressive Active Video",
     kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.7.2", "SMPTE ST 2110-20 Uncompressed Interlaced Active Video",
     kEncapsulated, nullptr, nullptr, 0},
    {"1.2.840.10008.1.2.7.3", "SMPTE ST 2110-30 PCM Digital Audio", kEncapsulated, nullptr, nullptr,
     0},
    {"1.2.840.10008.1.2.8.1", "Deflated Image Frame Compression", kEncapsulated,
     DecodeDeflatedFrame, CheckDeflatedFrame, kDeflate},
    {"1.2.840.113619.5.2", "GE Implicit VR Big Endian", kNative, nullptr, nullptr, 0},
};

std::string_view Trimmed(std::string_view uid) {
  while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\0')) uid.remove_suffix(1);
  return uid;
}

}  // namespace

const TransferSyntaxCodec* FindTransferSyntax(std::string_view uid) {
  uid = Trimmed(uid);
  if (uid.empty()) return &kTable[0];  // no meta information: data stored as is
  const auto it = std::find_if(std::begin(kTable), std::end(kTable),
                               [&](const TransferSyntaxCodec& e) { return uid == e.uid; });
  return it == std::end(kTable) ? nullptr : &*it;
}

std::vector<std::string> SupportedTransferSyntaxes() {
  std::vector<std::string> out;
  for (const TransferSyntaxCodec& e : kTable)
    if (e.supported()) out.push_back(e.uid);
  return out;
}

std::string DescribeTransferSyntax(std::string_view uid) {
  uid = Trimmed(uid);
  const TransferSyntaxCodec* e = uid.empty() ? nullptr : FindTransferSyntax(uid);
  return std::string(uid) + " (" + (e ? e->name : "unknown transfer syntax") + ")";
}

bool ExpansionIsPlausible(const TransferSyntaxCodec& entry, int64_t frameBytes,
                          int64_t compressed) {
  if (entry.maxExpansion > 0) return frameBytes / entry.maxExpansion <= compressed;
  // No floor: a generous fixed allowance covers blank frames.
  return frameBytes / 4096 <= compressed || frameBytes <= (int64_t{256} << 20);
}
