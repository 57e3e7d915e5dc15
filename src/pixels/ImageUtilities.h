// Thumbnails of series: the full-size picture of a frame without any user
// adjustment, and its reduction to the browser's square.
#pragma once

#include <QImage>
#include <cstdint>

#include "dicom/define_types.h"
#include "pixels/FrameDecoder.h"

class TImageHandler {
 public:
  // dest := src reduced to fit a ThumbSize x ThumbSize square (24 bits per
  // pixel): a box filter, then a sharpening pass. Images that already fit are
  // copied unchanged; nothing is enlarged.
  static void CreateThumbnail(const QImage& src, QImage& dest, uint16_t ThumbSize);
};

// The full-size bitmap a thumbnail is reduced from: the header's window (or one
// spanning the data) for 16-bit data, raw levels for 8-bit and colour data,
// lowest values white for MONOCHROME1. A null image when there is nothing to
// show, including a uniform 16-bit frame without a header window.
QImage BuildThumbnailBitmap(const DICOMdata& h, const DecodedFrame& f);
