#include "pixels/ImageUtilities.h"

#include <QPainter>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "dicom/dicom.h"
#include "pixels/DisplayBitmap.h"
#include "pixels/FrameGeometry.h"
#include "pixels/WindowLevel.h"

namespace {

// First source index of each destination index (and the end after the last):
// trunc(i x step), with the step kept in single precision as it always was.
std::vector<int> BoxStarts(int srcLen, int dstLen) {
  const float step = float(static_cast<long double>(srcLen) / dstLen);
  std::vector<int> starts(size_t(dstLen) + 1);
  for (int i = 0; i <= dstLen; ++i) {
    const long double at = std::trunc(static_cast<long double>(i) * step);
    starts[size_t(i)] = int(std::clamp<long double>(at, 0, srcLen));
  }
  starts[size_t(dstLen)] = srcLen;
  return starts;
}

void Sharpen(QImage& img) {
  const int w = img.width(), h = img.height();
  if (h < 3) return;
  // In place, top to bottom: each row sees the already sharpened row above it.
  for (int y = 1; y <= h - 2; ++y) {
    const uint8_t* up = img.constScanLine(y - 1);
    uint8_t* row = img.scanLine(y);
    const uint8_t* down = img.constScanLine(y + 1);
    for (int x = 1; x <= w - 2; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int corners = up[3 * (x - 1) + c] + up[3 * (x + 1) + c] + down[3 * (x - 1) + c] +
                            down[3 * (x + 1) + c];
        const int v = (12 * row[3 * x + c] - corners) / 8;  // truncates toward zero
        row[3 * x + c] = uint8_t(std::clamp(v, 0, 255));
      }
    }
  }
}

}  // namespace

void TImageHandler::CreateThumbnail(const QImage& src, QImage& dest, uint16_t ThumbSize) {
  dest = QImage();
  if (src.isNull()) return;
  const QImage s = src.convertToFormat(QImage::Format_RGB888);
  const int sw = s.width(), sh = s.height();

  if (sw <= ThumbSize && sh <= ThumbSize) {
    dest = s;  // no enlargement
    return;
  }
  int w = ThumbSize, h = ThumbSize;
  if (sh > sw)
    w = int(std::trunc(static_cast<long double>(sw) / sh * ThumbSize));
  else if (sw > sh)
    h = int(std::trunc(static_cast<long double>(sh) / sw * ThumbSize));
  // A very thin image still keeps one pixel across.
  w = std::max(w, 1);
  h = std::max(h, 1);

  QImage out(w, h, QImage::Format_RGB888);
  if (out.isNull()) return;
  const std::vector<int> xs = BoxStarts(sw, w), ys = BoxStarts(sh, h);

  std::vector<uint32_t> colSums(size_t(sw) * 3);
  for (int j = 0; j < h; ++j) {
    std::fill(colSums.begin(), colSums.end(), 0u);
    const int y0 = ys[size_t(j)], y1 = ys[size_t(j) + 1];
    for (int y = y0; y < y1; ++y) {
      const uint8_t* line = s.constScanLine(y);
      for (size_t k = 0; k < colSums.size(); ++k) colSums[k] += line[k];
    }
    uint8_t* dst = out.scanLine(j);
    for (int i = 0; i < w; ++i) {
      const int x0 = xs[size_t(i)], x1 = xs[size_t(i) + 1];
      const uint32_t area = uint32_t(x1 - x0) * uint32_t(y1 - y0);
      // One reciprocal per box; boxes too large for it are averaged directly
      // (the reciprocal would be 0 and the thumbnail black).
      const uint32_t recip = area ? 65535u / area : 0;
      for (int c = 0; c < 3; ++c) {
        uint64_t sum = 0;
        for (int x = x0; x < x1; ++x) sum += colSums[size_t(x) * 3 + c];
        uint32_t v = 0;
        if (recip != 0)
          v = uint32_t((sum * recip) >> 16);
        else if (area != 0)
          v = uint32_t(sum / area);
        dst[3 * i + c] = uint8_t(std::min<uint32_t>(v, 255));
      }
    }
  }
  Sharpen(out);
  dest = out;
}

QImage BuildThumbnailBitmap(const DICOMdata& h, const DecodedFrame& f) {
  const FrameGeometry g = ComputeFrameGeometry(h);
  if (g.columns > INT_MAX || g.rows > INT_MAX || g.pixelCount == 0) return {};
  const int width = int(g.columns), height = int(g.rows);
  // No user adjustment: MONOCHROME1 alone decides the polarity.
  const bool invert = h.Monochrome == 1;

  if (g.bitProduct == 8 || g.bitProduct == 24)
    return BytesToBitmap(f, width, height, g.bitProduct, BuildBCLut(0, 0, invert));

  if (int64_t(f.buff16.size()) < g.pixelCount) return {};
  const bool unsignedWords = WordsUnsigned(h.pixel_representation, h.MinIntensity);
  const StoredRange data = ScanMinMax(f.buff16.data(), size_t(g.pixelCount), unsignedWords);
  const WindowDefault win =
      ThumbnailWindow(h.WindowWidth, h.WindowCenter, data, h.IntenScale, h.IntenIntercept);
  if (!(win.width > 0)) return {};  // a uniform frame without a window has no picture

  WindowParams w;
  w.width = win.width;
  w.level = win.center;
  w.slope = h.IntenScale;
  w.intercept = h.IntenIntercept;
  w.invert = invert;
  return WordsToBitmap(f.buff16.data(), width, height, w, unsignedWords, &data);
}

TImg ThumbnailSource(const TImg& image) {
  TImg copy;
  copy.instanceNumber = image.instanceNumber;
  copy.imagePath = image.imagePath;
  copy.imageType = image.imageType;
  const TCache& c = image.Cache;
  TCache& cc = copy.Cache;
  cc.DICOM = c.DICOM;
  // Only frame 1 is wanted: a long multi-frame table stays behind.
  DICOMdata& h = cc.DICOM;
  const size_t entries = size_t(std::max(h.gECATJPEG_table_entries, 0));
  h.gECATJPEG_pos_table.resize(std::min<size_t>({h.gECATJPEG_pos_table.size(), entries, 1}));
  h.gECATJPEG_size_table.resize(std::min<size_t>({h.gECATJPEG_size_table.size(), entries, 1}));
  h.gECATJPEG_table_entries =
      int(std::min(h.gECATJPEG_pos_table.size(), h.gECATJPEG_size_table.size()));
  if (!c.gECATposra.empty() && !c.gECATszra.empty()) {
    cc.gECATposra = {c.gECATposra[0]};
    cc.gECATszra = {c.gECATszra[0]};
    cc.gECATslices = 1;
  }
  return copy;
}

FramePtr DecodeThumbnailFrame(TImg& image, std::string* why) {
  try {
    TCache& c = image.Cache;
    if (image.imagePath.empty()) image.imagePath = c.DICOM.referenceFile;
    if (c.DICOM.referenceFile.empty()) {
      // A record without the file's header (a DICOMDIR entry).
      DICOMdata h;
      bool hdrOK = false, imgOK = false;
      std::string said;
      ReadDicomHeader(image.imagePath, true, h, hdrOK, imgOK,
                      [&](const std::string& t) { said = t; });
      if (!imgOK) {
        if (why)
          *why = !said.empty() ? said
                 : hdrOK       ? "the file holds no image that can be displayed"
                               : "the file cannot be read";
        return nullptr;
      }
      h.referenceFile = image.imagePath;
      c.gECATposra.clear();
      c.gECATszra.clear();
      c.gECATslices = 0;
      c.DICOM = std::move(h);
    }
    DICOMdata& h = c.DICOM;
    if (c.gECATposra.empty() && h.gECATJPEG_table_entries > 0 && !h.gECATJPEG_pos_table.empty() &&
        !h.gECATJPEG_size_table.empty()) {
      c.gECATposra = {h.gECATJPEG_pos_table[0]};
      c.gECATszra = {h.gECATJPEG_size_table[0]};
      c.gECATslices = 1;
    }
    // Through the shared cache: the cell that opens the series shows the
    // frame the thumbnail decoded.
    const FrameSourcePtr src = MakeFrameSource(image.imagePath, h, c.gECATposra, c.gECATszra);
    std::string reason;
    FramePtr f = FrameCache::Shared().Acquire(*src, 1, &reason);
    if (!f) {
      if (why) *why = reason;
      return nullptr;
    }
    AdoptHeldLayout(h, *f);  // the header then describes the held buffer
    return f;
  } catch (...) {
    if (why) *why = "the image cannot be read";
    return nullptr;
  }
}

bool DecodeThumbnailPixels(TImg& image, DecodedFrame& f, std::string* why) {
  f = DecodedFrame{};
  try {
    const FramePtr p = DecodeThumbnailFrame(image, why);
    if (!p) return false;
    f = *p;
    return true;
  } catch (...) {
    f = DecodedFrame{};
    if (why) *why = "the image cannot be read";
    return false;
  }
}

QImage MakeSeriesThumbnail(TImg image, std::string* why) {
  try {
    FramePtr f = DecodeThumbnailFrame(image, why);
    if (!f) return {};
    const QImage full = BuildThumbnailBitmap(image.Cache.DICOM, *f);
    f.reset();  // the cache's frame is let go before the reduction
    QImage thumb;
    TImageHandler::CreateThumbnail(full, thumb, kSeriesThumbnailSize);
    return thumb;
  } catch (...) {
    return {};
  }
}

QImage FailureThumbnail(const std::string& why) {
  QImage out(kSeriesThumbnailSize, kSeriesThumbnailSize, QImage::Format_RGB32);
  if (out.isNull()) return out;
  out.fill(QColor(40, 40, 40));
  QPainter p(&out);
  QFont font = p.font();
  font.setPixelSize(10);
  p.setFont(font);
  p.setPen(QColor(230, 180, 90));
  p.drawText(out.rect().adjusted(4, 4, -4, -4), Qt::AlignCenter | Qt::TextWordWrap,
             QString::fromStdString(why));
  return out;
}
