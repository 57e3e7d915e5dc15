// Uncompressed pixel data into the table's layout (Codec.h): the one place
// that knows how stored samples lie, shared by native files, deflated data
// sets, deflated frames and encapsulated uncompressed frames.
//
// 1-bit and packed 12-bit data is unpacked (least significant bits first,
// frames packed without gaps, so a frame may start inside a byte:
// `bitOffset`); colour stored by
// plane becomes interleaved; YBR_FULL_422 as stored is expanded to three
// samples per pixel; samples of big-endian data are swapped to machine order.
// Data shorter than the frame gives what it holds, the rest zero
// (out.incomplete).
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/codecs/Codec.h"

// Bits and bytes one stored frame occupies (for 1-bit and packed 12-bit
// data: whole bytes spanning it from bit 0).
int64_t StoredFrameBits(const FrameSpec& spec);
int64_t StoredFrameBytes(const FrameSpec& spec);

bool NativeBytesToSamples(const uint8_t* data, size_t size, int bitOffset, const FrameSpec& spec,
                          bool bigEndian, CodecOutput& out);

// The table's entry point for encapsulated uncompressed frames (.1.98).
bool DecodeUncompressedFrame(const uint8_t* data, size_t size, const FrameSpec& spec,
                             CodecOutput& out);
