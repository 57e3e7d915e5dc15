// Segmentations and structure sets of the run's store on the cell: segment
// fills composited into the display bitmap (so zoom, turns and export carry
// them), contours drawn as sharp polylines in view coordinates.
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "dicom/PerFrameGroups.h"
#include "viewer/AdvancedImage.h"
#include "viewer/DerivedLayer.h"
#include "viewer/DerivedObjectStore.h"

namespace {

// Unturned pixel (x, y) lands at (ax*x + bx*y + cx, ay*x + by*y + cy).
struct TurnMap {
  int ax = 1, bx = 0, cx = 0, ay = 0, by = 1, cy = 0;
};

TurnMap TurnOfSteps(const std::vector<OrientationStep>& steps, int W, int H) {
  TurnMap m;
  const auto apply = [&m](int xa, int xb, int xc, int ya, int yb, int yc) {
    // new x = xa*x + xb*y + xc of the current (x, y); likewise new y.
    const TurnMap o = m;
    m.ax = xa * o.ax + xb * o.ay;
    m.bx = xa * o.bx + xb * o.by;
    m.cx = xa * o.cx + xb * o.cy + xc;
    m.ay = ya * o.ax + yb * o.ay;
    m.by = ya * o.bx + yb * o.by;
    m.cy = ya * o.cx + yb * o.cy + yc;
  };
  for (const OrientationStep& st : steps) {
    if (st.isFlip) {
      if (st.flip == flHorizontal)
        apply(-1, 0, W - 1, 0, 1, 0);
      else
        apply(1, 0, 0, 0, -1, H - 1);
      continue;
    }
    switch (st.angel) {
      case Angel90:  // clockwise
        apply(0, -1, H - 1, 1, 0, 0);
        std::swap(W, H);
        break;
      case Angel180:
        apply(-1, 0, W - 1, 0, -1, H - 1);
        break;
      case Angel270:
        apply(0, 1, 0, -1, 0, W - 1);
        std::swap(W, H);
        break;
      default:
        break;
    }
  }
  return m;
}

QColor Colour(const std::array<uint8_t, 3>& rgb) {
  return QColor(rgb[0], rgb[1], rgb[2]);
}

std::string PlaneKey(const TDisplayPlane& p, uint64_t revision) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "%llu|%d|%.6g,%.6g,%.6g|%.6g,%.6g,%.6g|%.6g,%.6g,%.6g|%.6g,%.6g|%dx%d|%d|",
                static_cast<unsigned long long>(revision), p.hasGeometry ? 1 : 0, p.origin[0],
                p.origin[1], p.origin[2], p.row[0], p.row[1], p.row[2], p.column[0], p.column[1],
                p.column[2], p.columnSpacing, p.rowSpacing, p.columns, p.rows, p.frame);
  return buf + p.sopInstanceUid + "|" + p.frameOfReferenceUid;
}

}  // namespace

TDisplayPlane PlaneOfCell(const TadvancedImage& cell, const TPerFrameGroups* groups) {
  return PlaneOfHeader(cell.gDicomData, cell.IsMpr() ? 1 : cell.CurrentFrame, groups);
}

TDisplayPlane PlaneOfCell(const TadvancedImage& cell) {
  if (cell.IsMpr() || cell.gDicomData.XYZdim[2] <= 1 || cell.filepath.empty())
    return PlaneOfCell(cell, nullptr);
  TPerFrameGroups groups;
  if (!ReadPerFrameGroups(cell.filepath, groups)) return PlaneOfCell(cell, nullptr);
  return PlaneOfCell(cell, &groups);
}

void CompositeSegments(QImage& target, int W, int H, const OrientationState& s,
                       const std::vector<TSegmentPaint>& paints) {
  if (target.isNull() || target.depth() != 32 || W <= 0 || H <= 0) return;
  const std::vector<OrientationStep> steps = OrientationSteps(s);
  const TurnMap m = TurnOfSteps(steps, W, H);
  // The turned size must be the target's, else the masks belong to another picture.
  const bool quarter = m.ax == 0;
  if ((quarter ? H : W) != target.width() || (quarter ? W : H) != target.height()) return;
  const size_t count = size_t(W) * size_t(H);
  QRgb* base = reinterpret_cast<QRgb*>(target.bits());
  const int64_t stride = target.bytesPerLine() / 4;
  // Along an unturned row the target moves by a fixed step.
  const int64_t step = m.ax + int64_t(m.ay) * stride;
  for (const TSegmentPaint& paint : paints) {
    if (!paint.coverage || paint.coverage->size() != count) continue;
    const uint8_t* cov = paint.coverage->data();
    const int alpha = int(std::clamp(paint.opacity, 0.0, 1.0) * 255 + 0.5);
    const int r = paint.rgb[0], g = paint.rgb[1], b = paint.rgb[2];
    const QRgb solid = qRgb(r, g, b);
    for (int y = 0; y < H; ++y) {
      const uint8_t* line = cov + size_t(y) * size_t(W);
      QRgb* const start = base + int64_t(m.by * y + m.cy) * stride + (m.bx * y + m.cx);
      for (int x = 0; x < W; ++x) {
        // Most of a mask is empty: skip it eight bytes at a time.
        if ((x & 7) == 0 && x + 8 <= W) {
          uint64_t word;
          std::memcpy(&word, line + x, 8);
          if (word == 0) {
            x += 7;
            continue;
          }
        }
        const int v = line[x];
        if (v == 0) continue;
        QRgb& px = start[x * step];
        // Outside the image counts as inside: a segment reaching the edge has
        // no outline along it.
        const bool edge =
            v >= 128 && ((x > 0 && line[x - 1] < 128) || (x + 1 < W && line[x + 1] < 128) ||
                         (y > 0 && line[x - W] < 128) || (y + 1 < H && line[x + W] < 128));
        if (edge) {
          px = solid;
          continue;
        }
        const int a = (alpha * v + 127) / 255;
        if (a == 0) continue;
        const int k = 255 - a;
        px = qRgb((qRed(px) * k + r * a + 127) / 255, (qGreen(px) * k + g * a + 127) / 255,
                  (qBlue(px) * k + b * a + 127) / 255);
      }
    }
  }
}

TDerivedLayer* TadvancedImage::DerivedLayer() {
  TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  if (store.Segmentations().empty() && store.StructureSets().empty()) {
    FDerived.reset();
    return nullptr;
  }
  if (!FDerived) FDerived = std::make_shared<TDerivedLayer>();
  TDerivedLayer& layer = *FDerived;
  const TPerFrameGroups* groups = nullptr;
  if (!IsMpr() && gDicomData.XYZdim[2] > 1 && !filepath.empty()) {
    if (layer.groupsPath != filepath) {
      auto read = std::make_shared<TPerFrameGroups>();
      if (!ReadPerFrameGroups(filepath, *read)) read.reset();
      layer.groups = std::move(read);
      layer.groupsPath = filepath;
    }
    groups = layer.groups.get();
  }
  const TDisplayPlane plane = PlaneOfCell(*this, groups);
  const std::string key = PlaneKey(plane, store.Revision());
  if (key == layer.key) return &layer;
  layer.key = key;
  layer.segs.clear();
  layer.sets.clear();
  for (size_t i : store.SegmentationsFor(*this)) {
    const TStoredSegmentation& s = store.Segmentations()[i];
    layer.segs.push_back({s.path, i, SegmentationOnPlane(*s.seg, plane)});
  }
  for (size_t i : store.StructureSetsFor(*this)) {
    const TStoredStructureSet& s = store.StructureSets()[i];
    layer.sets.push_back({s.path, i, StructureSetOnPlane(*s.set, plane)});
  }
  // Bad geometry is reported once, by the store; from the UI thread only.
  if (OnUiThread()) {
    for (const TDerivedLayer::Seg& s : layer.segs) store.AddNotes(s.path, s.on.notes);
    for (const TDerivedLayer::Set& s : layer.sets) store.AddNotes(s.path, s.on.notes);
  }
  return &layer;
}

void TadvancedImage::DrawSegmentFills(QImage& target, const OrientationState& state) {
  TDerivedLayer* layer = DerivedLayer();
  if (!layer || layer->segs.empty()) return;
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  std::vector<TSegmentPaint> paints;
  for (const TDerivedLayer::Seg& s : layer->segs) {
    if (s.index >= store.Segmentations().size()) continue;
    const TStoredSegmentation& stored = store.Segmentations()[s.index];
    for (const TSegmentCoverage& c : s.on.segments) {
      if (c.segment >= stored.seg->segments.size() || c.segment >= stored.styles.size()) continue;
      const TOverlayStyle& style = stored.styles[c.segment];
      if (!style.visible) continue;
      paints.push_back({&c.coverage, stored.seg->segments[c.segment].rgb, style.opacity});
    }
  }
  CompositeSegments(target, gDicomData.XYZdim[0], gDicomData.XYZdim[1], state, paints);
}

void TadvancedImage::DrawStructureContours(QPainter& p) {
  TDerivedLayer* layer = DerivedLayer();
  if (!layer || layer->sets.empty()) return;
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  // Pixel-edge coordinates of the unturned image to the view, as the bitmap
  // is drawn: linear, so three far-apart points give it without rounding.
  const int W = gDicomData.XYZdim[0], H = gDicomData.XYZdim[1];
  const QPointF o = ::ImageToView(orientation, zoomFactor, imageCenter, QPoint(0, 0));
  const QPointF ex =
      (::ImageToView(orientation, zoomFactor, imageCenter, QPoint(10000, 0)) - o) / 10000;
  const QPointF ey =
      (::ImageToView(orientation, zoomFactor, imageCenter, QPoint(0, 10000)) - o) / 10000;
  const auto toView = [&](const std::array<double, 2>& pt) {
    if (IsMpr()) return MprPixelToView(pt[0] - 0.5, pt[1] - 0.5);
    return o + ex * (pt[0] - double((W + 1) / 2)) + ey * (pt[1] - double((H + 1) / 2));
  };
  p.save();
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setBrush(Qt::NoBrush);
  for (const TDerivedLayer::Set& s : layer->sets) {
    if (s.index >= store.StructureSets().size()) continue;
    const TStoredStructureSet& stored = store.StructureSets()[s.index];
    for (const TContourOnPlane& c : s.on.contours) {
      if (c.roi >= stored.set->rois.size() || c.roi >= stored.styles.size()) continue;
      if (!stored.styles[c.roi].visible || c.points.empty()) continue;
      QPen pen(Colour(stored.set->rois[c.roi].rgb), 1.5);
      pen.setCosmetic(true);
      p.setPen(pen);
      if (c.kind == TContourOnPlane::Point) {
        for (const auto& pt : c.points) {
          const QPointF v = toView(pt);
          p.drawLine(v - QPointF(4, 0), v + QPointF(4, 0));
          p.drawLine(v - QPointF(0, 4), v + QPointF(0, 4));
        }
        continue;
      }
      QPolygonF line;
      line.reserve(qsizetype(c.points.size()));
      for (const auto& pt : c.points) line << toView(pt);
      if (c.kind == TContourOnPlane::Closed)
        p.drawPolygon(line);
      else
        p.drawPolyline(line);
    }
  }
  p.restore();
}

void TadvancedImage::OnDerivedChanged() {
  if (!HasImage) return;
  const bool had = FDerived && !FDerived->segs.empty();
  // Fills live in the bitmap: it is built again without them, and they go
  // back in with the store's new styles on the render.
  if (had || !TDerivedObjectStore::Instance().SegmentationsFor(*this).empty()) createBitmap();
  RenderViewer();
}
