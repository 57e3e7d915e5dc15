#include "app/WaveformView.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr double kMinZoom = 0.5, kMaxZoom = 8;
constexpr std::array<double, 9> kZoomSteps = {0.5, 0.75, 1, 1.5, 2, 3, 4, 6, 8};
// The first ten seconds are what a 12-lead printout shows.
constexpr double kTwelveLeadSeconds = 10;

const QColor kPaper(255, 250, 250);
const QColor kMinorLine(245, 196, 196);
const QColor kMajorLine(224, 122, 122);
const QColor kTrace(0, 0, 0);
const QColor kMark(30, 90, 200);
const QColor kCaliper(0, 120, 60);

// A value of 1, 2 or 5 times a power of ten, not above v.
double NiceBelow(double v) {
  if (!(v > 0)) return 1;
  const double p = std::pow(10.0, std::floor(std::log10(v)));
  for (double m : {5.0, 2.0, 1.0})
    if (m * p <= v) return m * p;
  return p;
}

QString Number(double v, int decimals) {
  return QString::number(v, 'f', decimals);
}

// A sample index from a position that may lie far outside the samples (or be
// no number, for a skew no file should have), clamped to 0 ... last.
int64_t SampleIndex(double v, int64_t last) {
  if (!(v >= 0)) return 0;
  if (v >= double(last)) return last;
  return int64_t(v);
}

}  // namespace

TWaveformView::TWaveformView(QWidget* parent) : QAbstractScrollArea(parent) {
  setMouseTracking(false);
  viewport()->setCursor(Qt::CrossCursor);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

double TWaveformView::PixelsPerMm() const {
  double dpi = 0;
  if (const QScreen* s = screen()) dpi = s->physicalDotsPerInch();
  // A screen that reports no sensible size is drawn at the common 96 dpi.
  if (!(dpi >= 30 && dpi <= 1200)) dpi = 96;
  return dpi / 25.4 * zoom_;
}

void TWaveformView::SetWaveform(const TWaveform* w, int group) {
  waveform_ = w;
  group_ = group;
  hasCaliper_ = false;
  caliperText_.clear();
  caliperMs_ = 0;
  autoScale_.clear();
  layout_ = CanShowTwelveLead() ? Layout::TwelveLead : Layout::Strips;
  Relayout();
}

bool TWaveformView::CanShowTwelveLead() const {
  if (!waveform_ || group_ < 0 || group_ >= int(waveform_->groups.size())) return false;
  const TWaveformGroup& g = waveform_->groups[size_t(group_)];
  int found = 0;
  for (const char* lead :
       {"I", "II", "III", "aVR", "aVL", "aVF", "V1", "V2", "V3", "V4", "V5", "V6"})
    for (const TWaveformChannel& ch : g.channels)
      if (StandardLeadName(ch) == lead && MillivoltsPerUnit(ch.units) > 0 && ch.calibrated) {
        ++found;
        break;
      }
  return found == 12;
}

void TWaveformView::SetLayout(Layout layout) {
  if (layout == Layout::TwelveLead && !CanShowTwelveLead()) layout = Layout::Strips;
  layout_ = layout;
  Relayout();
  emit LayoutChanged(layout_);
}

void TWaveformView::SetSpeed(double mmPerSecond) {
  if (mmPerSecond > 0) speed_ = mmPerSecond;
  Relayout();
}

void TWaveformView::SetGain(double mmPerMillivolt) {
  if (mmPerMillivolt > 0) gain_ = mmPerMillivolt;
  Relayout();
}

void TWaveformView::SetZoom(double zoom) {
  // Keep the paper point at the viewport's centre where it was.
  const QPointF centre =
      ViewportToPaper(QPointF(viewport()->width() / 2.0, viewport()->height() / 2.0));
  zoom_ = std::clamp(zoom, kMinZoom, kMaxZoom);
  UpdateScrollBars();
  const double ppm = PixelsPerMm();
  horizontalScrollBar()->setValue(int(centre.x() * ppm - viewport()->width() / 2.0));
  verticalScrollBar()->setValue(int(centre.y() * ppm - viewport()->height() / 2.0));
  viewport()->update();
  emit ZoomChanged(zoom_);
}

void TWaveformView::ZoomIn() {
  for (double z : kZoomSteps)
    if (z > zoom_ + 1e-9) return SetZoom(z);
}

void TWaveformView::ZoomOut() {
  for (auto it = kZoomSteps.rbegin(); it != kZoomSteps.rend(); ++it)
    if (*it < zoom_ - 1e-9) return SetZoom(*it);
}

void TWaveformView::Relayout() {
  cells_.clear();
  widthMm_ = heightMm_ = 0;
  if (!waveform_ || group_ < 0 || group_ >= int(waveform_->groups.size())) {
    UpdateScrollBars();
    viewport()->update();
    return;
  }
  const TWaveformGroup& g = waveform_->groups[size_t(group_)];
  if (autoScale_.size() != g.channels.size()) {
    // Quantities without a gain (pressures, uncalibrated channels) fill 80 %
    // of a 30 mm strip; the range is measured once.
    autoScale_.assign(g.channels.size(), 0);
    for (size_t c = 0; c < g.channels.size(); ++c) {
      double lo = INFINITY, hi = -INFINITY;
      for (double v : g.channels[c].samples)
        if (!std::isnan(v)) lo = std::min(lo, v), hi = std::max(hi, v);
      autoScale_[c] = lo <= hi && hi > lo ? 24.0 / (hi - lo) : 1.0;
    }
  }
  // Whatever a file claims, the paper stays a length scroll bars can span.
  const double duration = std::min(g.DurationSeconds(), 1e7);
  const auto scaleOf = [&](size_t c) {
    const TWaveformChannel& ch = g.channels[c];
    const double mv = ch.calibrated ? MillivoltsPerUnit(ch.units) : 0;
    return mv > 0 ? gain_ * mv : -autoScale_[c];  // negative: no voltage
  };
  // Room for the calibration pulse, or for a scale bar and its value.
  double left = 8 + 0.2 * speed_;
  for (size_t c = 0; c < g.channels.size(); ++c)
    if (scaleOf(c) < 0) left = std::max(left, 24.0);
  const auto addRow = [&](double top, double height,
                          const std::vector<std::pair<size_t, double>>& cols, double colSeconds) {
    double x = left;
    bool first = true;
    for (const auto& [c, t0] : cols) {
      Cell cell;
      cell.channel = int(c);
      cell.x0 = x;
      cell.t0 = t0;
      cell.seconds = colSeconds;
      cell.top = top;
      cell.height = height;
      const double s = scaleOf(c);
      cell.mmPerUnit = std::abs(s);
      if (s > 0) {
        // Most of a QRS points up: the baseline sits a little below centre.
        cell.baseline = top + 0.55 * height;
      } else {
        double hi = -INFINITY;
        for (double v : g.channels[c].samples)
          if (!std::isnan(v)) hi = std::max(hi, v);
        if (!std::isfinite(hi)) hi = 0;
        cell.baseline = top + 0.1 * height + hi * cell.mmPerUnit;
      }
      const TWaveformChannel& ch = g.channels[c];
      const std::string lead = StandardLeadName(ch);
      cell.label = QString::fromStdString(lead.empty() ? ch.label : lead);
      // A lead the device flagged (disconnected, questionable ...) says so.
      if (!ch.status.empty() && ch.status != "OK")
        cell.label += " (" + QString::fromStdString(ch.status).replace('\\', ", ").toLower() + ")";
      cell.rowStart = first;
      first = false;
      cells_.push_back(cell);
      x += colSeconds * speed_;
    }
    widthMm_ = std::max(widthMm_, x + 5);
  };

  double top = 0;
  if (layout_ == Layout::TwelveLead && CanShowTwelveLead()) {
    std::array<size_t, 12> at{};
    const char* names[12] = {"I",  "II", "III", "aVR", "aVL", "aVF",
                             "V1", "V2", "V3",  "V4",  "V5",  "V6"};
    for (int k = 0; k < 12; ++k)
      for (size_t c = 0; c < g.channels.size(); ++c)
        if (StandardLeadName(g.channels[c]) == names[k]) {
          at[size_t(k)] = c;
          break;
        }
    const double total = std::min(kTwelveLeadSeconds, duration);
    const double col = total / 4;
    const double height = std::max(25.0, 3 * gain_);
    // Columns I-III, aVR-aVF, V1-V3, V4-V6, each a quarter of the time.
    for (int r = 0; r < 3; ++r) {
      addRow(top, height,
             {{at[size_t(r)], 0},
              {at[size_t(3 + r)], col},
              {at[size_t(6 + r)], 2 * col},
              {at[size_t(9 + r)], 3 * col}},
             col);
      top += height;
    }
    addRow(top, height, {{at[1], 0}}, total);  // lead II rhythm strip
    top += height;
  } else {
    layout_ = Layout::Strips;
    for (size_t c = 0; c < g.channels.size(); ++c) {
      const double height = scaleOf(c) > 0 ? std::max(20.0, 3 * gain_) : 30.0;
      addRow(top, height, {{c, 0}}, duration);
      top += height;
    }
  }
  heightMm_ = top + 2;
  UpdateScrollBars();
  if (hasCaliper_) UpdateCaliper();
  viewport()->update();
}

void TWaveformView::UpdateScrollBars() {
  const double ppm = PixelsPerMm();
  const auto set = [](QScrollBar* bar, double content, int page) {
    const double range = std::clamp(content - page, 0.0, double(INT32_MAX / 2));
    bar->setRange(0, int(range));
    bar->setPageStep(page);
    bar->setSingleStep(std::max(1, page / 20));
  };
  set(horizontalScrollBar(), widthMm_ * ppm, viewport()->width());
  set(verticalScrollBar(), heightMm_ * ppm, viewport()->height());
}

QPointF TWaveformView::PaperToViewport(double xMm, double yMm) const {
  const double ppm = PixelsPerMm();
  return {xMm * ppm - horizontalScrollBar()->value(), yMm * ppm - verticalScrollBar()->value()};
}

QPointF TWaveformView::ViewportToPaper(const QPointF& v) const {
  const double ppm = PixelsPerMm();
  return {(v.x() + horizontalScrollBar()->value()) / ppm,
          (v.y() + verticalScrollBar()->value()) / ppm};
}

double TWaveformView::BaselineMm(int cell) const {
  return cell >= 0 && cell < int(cells_.size()) ? cells_[size_t(cell)].baseline : 0;
}

double TWaveformView::TimeToPaperX(int cell, double seconds) const {
  if (cell < 0 || cell >= int(cells_.size())) return 0;
  const Cell& c = cells_[size_t(cell)];
  return c.x0 + (seconds - c.t0) * speed_;
}

QString TWaveformView::CellLabel(int cell) const {
  return cell >= 0 && cell < int(cells_.size()) ? cells_[size_t(cell)].label : QString();
}

int TWaveformView::CellAt(const QPointF& paper) const {
  for (size_t i = 0; i < cells_.size(); ++i) {
    const Cell& c = cells_[i];
    const double x0 = c.rowStart ? 0 : c.x0;
    if (paper.y() >= c.top && paper.y() < c.top + c.height && paper.x() >= x0 &&
        paper.x() < c.x0 + c.seconds * speed_)
      return int(i);
  }
  return -1;
}

void TWaveformView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void TWaveformView::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  p.fillRect(viewport()->rect(), palette().color(QPalette::Window));
  const QRectF paper(ViewportToPaper(QPointF(0, 0)),
                     ViewportToPaper(QPointF(viewport()->width(), viewport()->height())));
  if (cells_.empty()) return;
  DrawGrid(p, paper);
  p.setRenderHint(QPainter::Antialiasing, true);
  for (const Cell& c : cells_) {
    if (c.top > paper.bottom() || c.top + c.height < paper.top()) continue;
    if (c.rowStart) DrawCalibration(p, c);
    DrawCell(p, c, paper);
    DrawMarks(p, c, paper);
  }
  DrawCaliper(p);
}

void TWaveformView::DrawGrid(QPainter& p, const QRectF& paper) const {
  const double ppm = PixelsPerMm();
  const QPointF origin = PaperToViewport(0, 0);
  const QPointF end = PaperToViewport(widthMm_, heightMm_);
  p.fillRect(QRectF(origin, end), kPaper);
  const double x0 = std::max(0.0, std::floor(paper.left())), x1 = std::min(widthMm_, paper.right());
  const double y0 = std::max(0.0, std::floor(paper.top())),
               y1 = std::min(heightMm_, paper.bottom());
  // Minor lines only where they stay apart on screen.
  const bool minor = ppm >= 2.5;
  for (int pass = minor ? 0 : 1; pass < 2; ++pass) {
    p.setPen(QPen(pass == 0 ? kMinorLine : kMajorLine, 0));
    for (double x = x0; x <= x1; x += 1) {
      const bool major = std::fmod(x, 5) == 0;
      if (major != (pass == 1)) continue;
      const double vx = PaperToViewport(x, 0).x();
      p.drawLine(QPointF(vx, std::max(origin.y(), 0.0)),
                 QPointF(vx, std::min(end.y(), double(viewport()->height()))));
    }
    for (double y = y0; y <= y1; y += 1) {
      const bool major = std::fmod(y, 5) == 0;
      if (major != (pass == 1)) continue;
      const double vy = PaperToViewport(0, y).y();
      p.drawLine(QPointF(std::max(origin.x(), 0.0), vy),
                 QPointF(std::min(end.x(), double(viewport()->width())), vy));
    }
  }
}

void TWaveformView::DrawCalibration(QPainter& p, const Cell& c) const {
  const TWaveformChannel& ch = waveform_->groups[size_t(group_)].channels[size_t(c.channel)];
  p.setPen(QPen(kTrace, 1.2));
  const double mv = ch.calibrated ? MillivoltsPerUnit(ch.units) : 0;
  if (mv > 0) {
    // The 1 mV pulse, 0.2 s wide.
    const double x = 3, w = 0.2 * speed_, h = gain_;
    const QPointF pts[] = {
        PaperToViewport(1, c.baseline),     PaperToViewport(x, c.baseline),
        PaperToViewport(x, c.baseline - h), PaperToViewport(x + w, c.baseline - h),
        PaperToViewport(x + w, c.baseline), PaperToViewport(x + w + 2, c.baseline)};
    p.drawPolyline(pts, 6);
    return;
  }
  // A scale bar of a round value of the channel's own units.
  const double units = NiceBelow(0.5 * c.height / c.mmPerUnit);
  const double bottom = c.top + c.height - 3, topY = bottom - units * c.mmPerUnit;
  p.drawLine(PaperToViewport(3, bottom), PaperToViewport(3, topY));
  p.drawLine(PaperToViewport(2, bottom), PaperToViewport(4, bottom));
  p.drawLine(PaperToViewport(2, topY), PaperToViewport(4, topY));
  QFont f = font();
  f.setPointSizeF(std::max(6.0, f.pointSizeF() * 0.8));
  p.setFont(f);
  const QString text =
      QString::number(units) + " " + QString::fromStdString(ch.units.empty() ? "units" : ch.units);
  p.drawText(PaperToViewport(4.5, (bottom + topY) / 2) + QPointF(0, 4), text);
}

void TWaveformView::DrawCell(QPainter& p, const Cell& c, const QRectF& paper) const {
  const TWaveformGroup& g = waveform_->groups[size_t(group_)];
  const TWaveformChannel& ch = g.channels[size_t(c.channel)];
  const double ppm = PixelsPerMm();
  // Label, and a short tick where a column starts within a row.
  QFont bold = font();
  bold.setBold(true);
  p.setFont(bold);
  p.setPen(kTrace);
  p.drawText(PaperToViewport(c.x0 + 1, c.top + 1) + QPointF(0, p.fontMetrics().ascent()), c.label);
  if (!c.rowStart) {
    p.setPen(QPen(kTrace, 1));
    p.drawLine(PaperToViewport(c.x0, c.baseline - 3), PaperToViewport(c.x0, c.baseline + 3));
  }
  const double xEnd = c.x0 + c.seconds * speed_;
  const double xa = std::max(c.x0, paper.left()), xb = std::min(xEnd, paper.right());
  if (xb <= xa || ch.samples.empty()) return;
  const double fs = g.samplingFrequency;
  const auto index = [&](double x) {  // sample index at paper x
    return (c.t0 + (x - c.x0) / speed_ - ch.timeSkew) * fs;
  };
  const int64_t n = int64_t(ch.samples.size());
  const int64_t last = SampleIndex(std::floor(index(xEnd) - 1e-9), n - 1);
  const int64_t ia = SampleIndex(std::floor(index(xa)) - 1, n - 1);
  const int64_t ib = std::min(SampleIndex(std::ceil(index(xb)) + 1, n - 1), last);
  const int64_t firstInCell = SampleIndex(std::ceil(index(c.x0) - 1e-9), n - 1);
  const int64_t from = std::max(ia, firstInCell);
  if (ib < from) return;
  const auto xOf = [&](double i) { return c.x0 + ((i / fs + ch.timeSkew) - c.t0) * speed_; };
  const auto yOf = [&](double v) { return c.baseline - v * c.mmPerUnit; };
  p.setPen(QPen(kTrace, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setClipRect(QRectF(PaperToViewport(c.rowStart ? 0 : c.x0, c.top - 1000),
                       PaperToViewport(xEnd, c.top + c.height + 1000)));
  QPolygonF line;
  const auto flush = [&] {
    if (line.size() > 1) p.drawPolyline(line);
    line.clear();
  };
  const double perPixel = fs / (speed_ * ppm);
  if (perPixel <= 2) {
    for (int64_t i = from; i <= ib; ++i) {
      const double v = ch.samples[size_t(i)];
      if (std::isnan(v)) {
        flush();
        continue;
      }
      line << PaperToViewport(xOf(double(i)), yOf(v));
    }
  } else {
    // Many samples per pixel: each pixel column's extremes, so no peak is lost.
    const double px0 = PaperToViewport(xOf(double(from)), 0).x();
    const double px1 = PaperToViewport(xOf(double(ib)), 0).x();
    for (double px = std::floor(px0); px <= px1; px += 1) {
      const double paperX0 = ViewportToPaper(QPointF(px, 0)).x();
      const double paperX1 = ViewportToPaper(QPointF(px + 1, 0)).x();
      const int64_t s0 = std::max(from, SampleIndex(std::ceil(index(paperX0)), n));
      const int64_t s1 = std::min(ib, SampleIndex(std::ceil(index(paperX1)), n) - 1);
      double lo = INFINITY, hi = -INFINITY;
      bool gap = false;
      for (int64_t i = s0; i <= s1; ++i) {
        const double v = ch.samples[size_t(i)];
        if (std::isnan(v)) {
          gap = true;
          continue;
        }
        lo = std::min(lo, v), hi = std::max(hi, v);
      }
      if (gap) flush();
      if (lo > hi) continue;
      const double vy0 = PaperToViewport(0, yOf(hi)).y(), vy1 = PaperToViewport(0, yOf(lo)).y();
      line << QPointF(px + 0.5, vy0) << QPointF(px + 0.5, vy1);
    }
  }
  flush();
  p.setClipping(false);
}

void TWaveformView::DrawMarks(QPainter& p, const Cell& c, const QRectF& paper) const {
  // On a 12-lead page the rhythm strip carries the marks; twelve copies of
  // each fiducial point would hide the leads.
  if (layout_ == Layout::TwelveLead && !(c.rowStart && &c == &cells_.back())) return;
  const TWaveformGroup& g = waveform_->groups[size_t(group_)];
  p.setPen(QPen(kMark, 1.5));
  for (const TWaveformAnnotation& a : waveform_->annotations) {
    if (!a.Positional()) continue;
    const bool here =
        a.channels.empty() || std::any_of(a.channels.begin(), a.channels.end(), [&](const auto& r) {
          return r.first == g.number && (r.second == 0 || r.second == c.channel + 1);
        });
    if (!here) continue;
    std::vector<double> times;
    for (uint32_t s : a.samplePositions) times.push_back((double(s) - 1) / g.samplingFrequency);
    for (double t : a.timeOffsets) times.push_back(t);
    for (double t : times) {
      if (t < c.t0 || t >= c.t0 + c.seconds) continue;
      const double x = c.x0 + (t - c.t0) * speed_;
      if (x < paper.left() || x > paper.right()) continue;
      p.drawLine(PaperToViewport(x, c.top + c.height - 3),
                 PaperToViewport(x, c.top + c.height - 1));
    }
  }
}

QString TWaveformView::MarkAt(const QPointF& paper) const {
  const int i = CellAt(paper);
  if (i < 0) return {};
  const Cell& c = cells_[size_t(i)];
  if (layout_ == Layout::TwelveLead && i != int(cells_.size()) - 1) return {};
  const TWaveformGroup& g = waveform_->groups[size_t(group_)];
  QStringList found;
  for (const TWaveformAnnotation& a : waveform_->annotations) {
    if (!a.Positional()) continue;
    const bool here =
        a.channels.empty() || std::any_of(a.channels.begin(), a.channels.end(), [&](const auto& r) {
          return r.first == g.number && (r.second == 0 || r.second == c.channel + 1);
        });
    if (!here) continue;
    for (uint32_t s : a.samplePositions) {
      const double x = c.x0 + ((double(s) - 1) / g.samplingFrequency - c.t0) * speed_;
      if (std::abs(x - paper.x()) < 1) found << QString::fromStdString(a.Text());
    }
    for (double t : a.timeOffsets)
      if (std::abs(c.x0 + (t - c.t0) * speed_ - paper.x()) < 1)
        found << QString::fromStdString(a.Text());
  }
  found.removeDuplicates();
  return found.join("\n");
}

void TWaveformView::DrawCaliper(QPainter& p) const {
  if (!hasCaliper_) return;
  p.setPen(QPen(kCaliper, 1.2, Qt::DashLine));
  const QPointF a = PaperToViewport(caliperFrom_.x(), caliperFrom_.y());
  const QPointF b = PaperToViewport(caliperTo_.x(), caliperTo_.y());
  const double h = 6 * PixelsPerMm();
  p.drawLine(QPointF(a.x(), a.y() - h), QPointF(a.x(), a.y() + h));
  p.drawLine(QPointF(b.x(), b.y() - h), QPointF(b.x(), b.y() + h));
  p.setPen(QPen(kCaliper, 1.2));
  p.drawLine(a, QPointF(b.x(), a.y()));
  p.drawLine(QPointF(b.x(), a.y()), b);
  QFont bold = font();
  bold.setBold(true);
  p.setFont(bold);
  const QRectF box = p.fontMetrics().boundingRect(caliperText_).adjusted(-3, -2, 3, 2);
  const QPointF at(std::max(a.x(), b.x()) + 6, std::min(a.y(), b.y()) - 6);
  p.fillRect(box.translated(at), QColor(255, 255, 255, 220));
  p.drawText(at, caliperText_);
}

void TWaveformView::UpdateCaliper() {
  const double dx = std::abs(caliperTo_.x() - caliperFrom_.x());
  const double dy = caliperFrom_.y() - caliperTo_.y();
  caliperMs_ = dx / speed_ * 1000;
  QString text = Number(caliperMs_, 0) + " ms";
  if (caliperMs_ >= 1) text += "  " + Number(60000 / caliperMs_, 0) + " bpm";
  const int i = CellAt(caliperFrom_);
  if (i >= 0) {
    const Cell& c = cells_[size_t(i)];
    const TWaveformChannel& ch = waveform_->groups[size_t(group_)].channels[size_t(c.channel)];
    const double mv = ch.calibrated ? MillivoltsPerUnit(ch.units) : 0;
    if (mv > 0)
      text += "  " + Number(dy / gain_, 2) + " mV";
    else if (c.mmPerUnit > 0)
      text += "  " + QString::number(dy / c.mmPerUnit, 'g', 3) + " " +
              QString::fromStdString(ch.units.empty() ? "units" : ch.units);
  }
  caliperText_ = text;
  emit CaliperChanged(text);
}

void TWaveformView::wheelEvent(QWheelEvent* event) {
  if (event->modifiers() & Qt::ControlModifier) {
    if (event->angleDelta().y() > 0)
      ZoomIn();
    else if (event->angleDelta().y() < 0)
      ZoomOut();
    event->accept();
    return;
  }
  QAbstractScrollArea::wheelEvent(event);
}

void TWaveformView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || cells_.empty())
    return QAbstractScrollArea::mousePressEvent(event);
  dragging_ = true;
  hasCaliper_ = true;
  caliperFrom_ = caliperTo_ = ViewportToPaper(event->position());
  UpdateCaliper();
  viewport()->update();
}

void TWaveformView::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) return QAbstractScrollArea::mouseMoveEvent(event);
  caliperTo_ = ViewportToPaper(event->position());
  UpdateCaliper();
  viewport()->update();
}

void TWaveformView::mouseReleaseEvent(QMouseEvent* event) {
  if (!dragging_) return QAbstractScrollArea::mouseReleaseEvent(event);
  dragging_ = false;
  caliperTo_ = ViewportToPaper(event->position());
  UpdateCaliper();
  viewport()->update();
}

bool TWaveformView::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip && waveform_) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QString text = MarkAt(ViewportToPaper(help->pos()));
    if (text.isEmpty())
      QToolTip::hideText();
    else
      QToolTip::showText(help->globalPos(), text, viewport());
    return true;
  }
  return QAbstractScrollArea::viewportEvent(event);
}
