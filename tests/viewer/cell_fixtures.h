// Exact image files for the viewer cell's tests, and helpers to put them into
// a study tree and to read the cell's pictures.
#pragma once

#include <QColor>
#include <QImage>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dicom/DicomWriter.h"
#include "dicom/StudyTree.h"
#include "pixels/FrameCache.h"
#include "pixels/FramePrefetch.h"
#include "support/fixtures.h"
#include "support/paths.h"

namespace cellfix {

using dicomwriter::DicomWriter;

struct Image {
  int columns = 4, rows = 3, frames = 0, samples = 1, bitsAllocated = 16;
  int pixelRepresentation = 0;
  bool littleEndian = true;
  std::string photometric = "MONOCHROME2";
  std::string patientName = "DOE^JANE", patientId = "PID7", modality = "CT";
  std::string studyDate = "20240131", institution = "CLINIC";
  std::string seriesNumber = "3", instanceNumber = "9";
  std::string windowCenter, windowWidth, intercept, slope;
  std::string pixelSpacing = "1\\1";
  std::string imagerPixelSpacing;
  std::string orientation;  // six cosines, "\\"-separated
  std::string frameTime;
  std::string cineRate, displayRate;       // Cine Rate, Recommended Display Frame Rate
  std::string frameOfReference, position;  // Frame of Reference UID, Image Position (Patient)
  // Lookup table (in the VOI LUT Sequence, where the reader takes it from):
  // first mapped value and entries.
  bool lut = false;
  int lutFirst = 0;
  std::vector<uint16_t> lutData;
  // Overlay plane (group 6000): origin row, column from 1, bits packed LSB first.
  int overlayRows = 0, overlayColumns = 0, overlayRow = 1, overlayColumn = 1;
  std::vector<uint8_t> overlayBits;
  // Stored values of all frames, row by row (words, or bytes for 8-bit).
  std::vector<int> values;
  // When given: Float Pixel Data instead (set bitsAllocated to 32).
  std::vector<float> floats;
};

inline std::vector<uint8_t> Build(const Image& s) {
  DicomWriter w(true, s.littleEndian);
  const auto text = [&](uint32_t tag, const char* vr, const std::string& v) {
    if (!v.empty()) w.Text(tag, vr, v);
  };
  w.Text(0x00080016, "UI", "1.2.840.10008.5.1.4.1.1.2");
  w.Text(0x00080018, "UI", "1.2.3.4.5.6");
  text(0x00080020, "DA", s.studyDate);
  text(0x00080060, "CS", s.modality);
  text(0x00080080, "LO", s.institution);
  text(0x00082144, "IS", s.displayRate);
  text(0x00100010, "PN", s.patientName);
  text(0x00100020, "LO", s.patientId);
  text(0x00180040, "IS", s.cineRate);
  text(0x00181063, "DS", s.frameTime);
  text(0x00181164, "DS", s.imagerPixelSpacing);
  w.Text(0x0020000D, "UI", "1.2.3.4");
  w.Text(0x0020000E, "UI", "1.2.3.4.5");
  text(0x00200011, "IS", s.seriesNumber);
  text(0x00200013, "IS", s.instanceNumber);
  text(0x00200032, "DS", s.position);
  text(0x00200037, "DS", s.orientation);
  text(0x00200052, "UI", s.frameOfReference);
  w.US(0x00280002, {uint16_t(s.samples)});
  text(0x00280004, "CS", s.photometric);
  if (s.samples == 3) w.US(0x00280006, {0});
  if (s.frames > 0) w.Text(0x00280008, "IS", std::to_string(s.frames));
  w.US(0x00280010, {uint16_t(s.rows)});
  w.US(0x00280011, {uint16_t(s.columns)});
  text(0x00280030, "DS", s.pixelSpacing);
  w.US(0x00280100, {uint16_t(s.bitsAllocated)});
  w.US(0x00280101, {uint16_t(s.bitsAllocated)});
  w.US(0x00280102, {uint16_t(s.bitsAllocated - 1)});
  w.US(0x00280103, {uint16_t(s.pixelRepresentation)});
  text(0x00281050, "DS", s.windowCenter);
  text(0x00281051, "DS", s.windowWidth);
  text(0x00281052, "DS", s.intercept);
  text(0x00281053, "DS", s.slope);
  if (s.lut) {
    w.BeginSequence(0x00283010).BeginItem();
    w.US(0x00283002, {uint16_t(s.lutData.size()), uint16_t(int16_t(s.lutFirst)), 16});
    w.US(0x00283006, s.lutData);
    w.EndItem().EndSequence();
  }
  if (!s.overlayBits.empty()) {
    w.US(0x60000010, {uint16_t(s.overlayRows)});
    w.US(0x60000011, {uint16_t(s.overlayColumns)});
    w.SS(0x60000050, {int16_t(s.overlayRow), int16_t(s.overlayColumn)});
    w.US(0x60000100, {1});
    w.US(0x60000102, {0});
    std::vector<uint8_t> bits = s.overlayBits;
    if (bits.size() & 1) bits.push_back(0);
    w.OB(0x60003000, bits);
  }
  if (!s.floats.empty()) {
    std::vector<uint8_t> px(s.floats.size() * sizeof(float));
    std::memcpy(px.data(), s.floats.data(), px.size());  // little endian, as written
    w.Element(0x7FE00008, "OF", px);
  } else if (s.bitsAllocated == 8) {
    std::vector<uint8_t> px;
    for (int v : s.values) px.push_back(uint8_t(v));
    if (px.size() & 1) px.push_back(0);
    w.OB(0x7FE00010, px);
  } else {
    std::vector<uint16_t> px;
    for (int v : s.values) px.push_back(uint16_t(v));
    w.OW(0x7FE00010, px);
  }
  return fixtures::Part10(w, fixtures::NativeSyntax(true, s.littleEndian));
}

inline std::string Write(const std::string& dir, const std::string& name, const Image& s) {
  return fixtures::WriteFile(dir, name, Build(s));
}

// A tree of one patient and study; series[i] lists the files of series i.
inline void MakeTree(const std::vector<std::vector<std::string>>& series) {
  std::lock_guard lock(gPatientsMutex);
  gPatients.assign(1, TPatient{});
  gPatients[0].studies.resize(1);
  for (const auto& files : series) {
    TSeries s;
    for (const std::string& f : files) {
      TImg im;
      im.imagePath = f;
      s.images.push_back(im);
    }
    gPatients[0].studies[0].serieses.push_back(s);
  }
}

// The tree and every frame decoded for it (prefetch included).
inline void ClearTree() {
  FramePrefetcher::Shared().CancelAll();
  FramePrefetcher::Shared().WaitIdle();
  FrameCache::Shared().Clear();
  std::lock_guard lock(gPatientsMutex);
  gPatients.clear();
}

// Grey level of a bitmap pixel (red channel; grey pictures have r = g = b).
inline int Grey(const QImage& img, int x, int y) {
  return qRed(img.pixel(x, y));
}

inline std::vector<int> Row(const QImage& img, int y) {
  std::vector<int> r;
  for (int x = 0; x < img.width(); ++x) r.push_back(Grey(img, x, y));
  return r;
}

// A pixel painted with colour c, perhaps blended with a grey picture (as
// antialiased text is): its colour, less its grey part, points the way of c's.
inline bool Painted(QRgb p, QColor c) {
  const int r = qRed(p), g = qGreen(p), b = qBlue(p);
  const int lo = std::min({r, g, b}), hi = std::max({r, g, b});
  if (hi - lo < 60) return false;
  const int cl = std::min({c.red(), c.green(), c.blue()});
  const int cr = c.red() - cl, cg = c.green() - cl, cb = c.blue() - cl;
  const int cm = std::max({cr, cg, cb});
  const auto near = [&](int v, int cv) {
    return std::abs((v - lo) * cm - cv * (hi - lo)) <= cm * (hi - lo) / 4;
  };
  return near(r, cr) && near(g, cg) && near(b, cb);
}

// Bounding box of the pixels painted with colour c inside area.
inline QRect Ink(const QImage& img, QColor c, QRect area) {
  QRect box;
  area = area.intersected(img.rect());
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (Painted(img.pixel(x, y), c)) box |= QRect(x, y, 1, 1);
  return box;
}

}  // namespace cellfix

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWidget>

namespace cellfix {

// Sends a synthesized mouse event to w at view point at, with the buttons
// held during the event (a press holds its button, a release none).
inline void Mouse(QWidget& w, QEvent::Type type, Qt::MouseButton button, QPoint at,
                  Qt::MouseButtons held = Qt::NoButton,
                  Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  if (type == QEvent::MouseButtonPress) held |= button;
  QMouseEvent e(type, QPointF(at), QPointF(w.mapToGlobal(at)),
                type == QEvent::MouseMove ? Qt::NoButton : button, held, modifiers);
  QCoreApplication::sendEvent(&w, &e);
}

// Press at from, one move to to with the button held, release at to.
inline void Drag(QWidget& w, QPoint from, QPoint to, Qt::MouseButton button = Qt::LeftButton) {
  Mouse(w, QEvent::MouseButtonPress, button, from);
  Mouse(w, QEvent::MouseMove, Qt::NoButton, to, button);
  Mouse(w, QEvent::MouseButtonRelease, button, to);
}

}  // namespace cellfix
