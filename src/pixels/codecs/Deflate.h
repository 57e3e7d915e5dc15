// Deflated Image Frame Compression (1.2.840.10008.1.2.8.1): each frame is the
// raw deflate stream of its uncompressed samples (little endian, 1-bit data
// packed from bit 0). A stream that wrongly carries a zlib header is read
// too. Inflation stops at the frame's size, so a stream that would expand
// further (a bomb, or a frame larger than the header says) costs nothing
// beyond it.
//
// Output layout: the table's (Codec.h), via the uncompressed layout of
// codecs/Native.h. A stream that ends early gives what it holds
// (out.incomplete).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/codecs/Codec.h"

bool DecodeDeflatedFrame(const uint8_t* data, size_t size, const FrameSpec& spec, CodecOutput& out);

// The table's check (Codec.h, FrameCheck): deflate codes at most 258 bytes in
// two bits, so a stream of n bytes inflates to at most 1032 n.
bool CheckDeflatedFrame(const uint8_t* data, size_t size, const FrameSpec& spec, std::string& why);
