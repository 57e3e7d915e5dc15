#include "pixels/DisplayBitmap.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "pixels/FrameGeometry.h"

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;

inline void ExpandGreyRow(const uint8_t* grey, int width, uint32_t* out) {
  for (int x = 0; x < width; ++x) out[x] = kOpaque | (uint32_t(grey[x]) * 0x010101u);
}

QImage NewBitmap(int width, int height) {
  if (width <= 0 || height <= 0) return {};
  QImage img(width, height, QImage::Format_RGB32);
  return img;  // null when it could not be allocated
}

bool HasPixels(size_t have, int64_t need) {
  return need > 0 && int64_t(have) >= need;
}

}  // namespace

QImage GreyToBitmap(const uint8_t* grey, int width, int height) {
  QImage img = NewBitmap(width, height);
  if (img.isNull()) return img;
  for (int y = 0; y < height; ++y)
    ExpandGreyRow(grey + size_t(y) * width, width, reinterpret_cast<uint32_t*>(img.scanLine(y)));
  return img;
}

QImage WordsToBitmap(const int16_t* words, int width, int height, const WindowParams& w,
                     bool unsignedWords, const StoredRange* data) {
  QImage img = NewBitmap(width, height);
  if (img.isNull()) return img;
  const StoredRange range =
      data ? *data : ScanMinMax(words, size_t(width) * size_t(height), unsignedWords);
  const WwWlTable table = BuildWwWlLut(w, range.min, range.max);
  // One table over every word: the per-pixel step is a single lookup.
  thread_local WordGreyTable wordTable;
  BuildWordGreyTable(table, unsignedWords, wordTable);
  std::vector<uint8_t> grey(static_cast<size_t>(width));
  for (int y = 0; y < height; ++y) {
    MapWordsToGrey(words + size_t(y) * width, size_t(width), wordTable, grey.data());
    ExpandGreyRow(grey.data(), width, reinterpret_cast<uint32_t*>(img.scanLine(y)));
  }
  return img;
}

QImage BytesToBitmap(const DecodedFrame& f, int width, int height, int bitProduct,
                     const ByteGreyTable& table) {
  const int64_t n = int64_t(width) * height;
  if (bitProduct == 8) {
    if (!HasPixels(f.buff8.size(), n)) return {};
    QImage img = NewBitmap(width, height);
    if (img.isNull()) return img;
    std::vector<uint8_t> grey(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
      MapBytesToGrey(f.buff8.data() + size_t(y) * width, size_t(width), table, grey.data());
      ExpandGreyRow(grey.data(), width, reinterpret_cast<uint32_t*>(img.scanLine(y)));
    }
    return img;
  }
  if (bitProduct == 24) {
    if (!HasPixels(f.buff24.size(), n * 3)) return {};
    QImage img = NewBitmap(width, height);
    if (img.isNull()) return img;
    for (int y = 0; y < height; ++y) {
      const uint8_t* in = f.buff24.data() + size_t(y) * width * 3;
      uint32_t* out = reinterpret_cast<uint32_t*>(img.scanLine(y));
      for (int x = 0; x < width; ++x, in += 3)
        out[x] =
            kOpaque | (uint32_t(table[in[0]]) << 16) | (uint32_t(table[in[1]]) << 8) | table[in[2]];
    }
    return img;
  }
  return {};
}

CellBitmap CreateCellBitmap(DICOMdata& h, const DecodedFrame& f, const CellGreyState& s,
                            const StoredRange* frameRange) {
  CellBitmap out;
  const FrameGeometry g = ComputeFrameGeometry(h);
  if (g.columns > INT_MAX || g.rows > INT_MAX) return out;
  const int width = int(g.columns), height = int(g.rows);
  const bool invert = GreyInverted(h.Monochrome, s.Inverted);

  if (g.bitProduct == 8 && s.wordTable) {
    ByteGreyTable table;
    for (size_t v = 0; v < table.size(); ++v)
      table[v] = s.Inverted ? uint8_t(255 - (*s.wordTable)[v]) : (*s.wordTable)[v];
    out.bmp = BytesToBitmap(f, width, height, g.bitProduct, table);
    return out;
  }
  if (g.bitProduct == 8 || g.bitProduct == 24) {
    if (s.byteWindow) {
      WindowParams w;
      w.width = s.byteWidth > 0 ? s.byteWidth : 1.0;  // also NaN
      w.level = s.byteLevel;
      w.slope = h.IntenScale;
      w.intercept = h.IntenIntercept;
      w.invert = invert;
      out.byteWindow = true;
      out.windowWidth = w.width;
      out.windowLevel = w.level;
      out.bmp = BytesToBitmap(f, width, height, g.bitProduct, BuildByteWindowLut(w));
      return out;
    }
    out.bmp =
        BytesToBitmap(f, width, height, g.bitProduct, BuildBCLut(s.brightness, s.contrast, invert));
    return out;
  }

  // Any other bit product is shown from the 16-bit words.
  if (!HasPixels(f.buff16.size(), g.pixelCount)) return out;
  out.wordImage = true;
  const bool unsignedWords = WordsUnsigned(h.pixel_representation, h.MinIntensity);
  const StoredRange data =
      frameRange ? *frameRange : ScanMinMax(f.buff16.data(), size_t(g.pixelCount), unsignedWords);
  out.data = data;
  StoredRange judged = s.seriesRange ? *s.seriesRange : data;
  // Words that went through the header's table are judged against the table's range.
  if (!UsableWindow(h.WindowWidth, h.WindowCenter)) LutRange(h.Lut, judged);
  out.min16 = judged.min;
  out.max16 = judged.max;

  const WindowDefault def =
      DefaultWindow(h.WindowWidth, h.WindowCenter, judged, h.IntenScale, h.IntenIntercept);
  if (def.replaced) {
    h.WindowWidth = def.width;
    h.WindowCenter = def.center;
  }
  out.windowWidth = h.WindowWidth + s.DeltaWW;
  out.windowLevel = h.WindowCenter + s.DeltaWL;
  // Sized by the data, or by the window where it is wider (a slice of a CT
  // through air keeps the steps of its series).
  out.unit = WindowUnit(
      std::max(RescaledSpan(judged, h.IntenScale, h.IntenIntercept), std::max(h.WindowWidth, 0.0)),
      WholeRescale(h.IntenScale, h.IntenIntercept));

  if (s.wordTable) {
    out.bmp = NewBitmap(width, height);
    if (out.bmp.isNull()) return out;
    std::vector<uint8_t> grey(static_cast<size_t>(width));
    for (int y = 0; y < height; ++y) {
      MapWordsToGrey(f.buff16.data() + size_t(y) * width, size_t(width), *s.wordTable, grey.data());
      if (s.Inverted)
        for (uint8_t& v : grey) v = uint8_t(255 - v);
      ExpandGreyRow(grey.data(), width, reinterpret_cast<uint32_t*>(out.bmp.scanLine(y)));
    }
    return out;
  }
  WindowParams w;
  w.width = out.windowWidth;
  w.level = out.windowLevel;
  w.slope = h.IntenScale;
  w.intercept = h.IntenIntercept;
  w.invert = invert;
  out.bmp = WordsToBitmap(f.buff16.data(), width, height, w, unsignedWords, &data);
  return out;
}
