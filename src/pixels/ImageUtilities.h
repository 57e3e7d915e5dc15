// Thumbnails of series: the full-size picture of a frame without any user
// adjustment, and its reduction to the browser's square.
//
// The whole thumbnail of a series is made from a private copy of its first
// tree image, so that it can be made on a pool thread while loaders file into
// the tree.
#pragma once

#include <QImage>
#include <cstdint>

#include "dicom/define_types.h"
#include "pixels/FrameCache.h"
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

// The side of the square a series thumbnail fits in.
inline constexpr uint16_t kSeriesThumbnailSize = 100;

// What a thumbnail needs of a tree image: path, header and the position of
// frame 1's compressed data, without any cached frames. Take it under the
// tree's lock.
TImg ThumbnailSource(const TImg& image);

// Frame 1 of `image` (a private copy) from the frame cache, decoded on a miss,
// with no lookup-table step. The header is the copy's own; when it is missing
// (a DICOMDIR entry), the file's header is read into the copy; it then
// describes the held buffer (AdoptHeldLayout). Null on any failure, with the
// one-line reason in `why`.
FramePtr DecodeThumbnailFrame(TImg& image, std::string* why = nullptr);
// The same, copied into f. False, with f empty, on any failure.
bool DecodeThumbnailPixels(TImg& image, DecodedFrame& f, std::string* why = nullptr);

// The series thumbnail of `image` (a private copy): frame 1 through
// BuildThumbnailBitmap, reduced to fit kSeriesThumbnailSize. Null on any
// failure, with the frame's one-line reason in `why` when it did not decode.
QImage MakeSeriesThumbnail(TImg image, std::string* why = nullptr);

// A thumbnail that shows `why` instead of a picture.
QImage FailureThumbnail(const std::string& why);
