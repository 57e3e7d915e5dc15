#include "viewer/AdvancedImage.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QStringDecoder>
#include <QThread>
#include <algorithm>
#include <climits>
#include <cmath>
#include <new>

#include "dicom/StudyTree.h"
#include "dicom/dicom.h"
#include "pixels/FrameGeometry.h"
#include "pixels/ThdTimer.h"
#include "pixels/WindowLevel.h"
#include "viewer/CellHelpers.h"
#include "viewer/RotateTRansform.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

// A frame on its way into the cell: nothing of it reaches the cell's fields
// until it has decoded and made a picture, so a failed load changes nothing.
struct TadvancedImage::Staged {
  DICOMdata header;
  DecodedFrame pixels;
  int slices = 0;
  std::vector<int64_t> pos, size;
  int frameCount = 1;
  int frame = 1;
  bool fromCache = false;
  bool rescaleKnown = false;
  float slope = 1.0f, intercept = 0.0f;
};

// A display bitmap and the window it was made with.
struct TadvancedImage::Display {
  QImage bmp;
  bool wordImage = false;
  int windowWidth = 0, windowLevel = 0;
  int min16 = 0, max16 = 0;
  bool overlay = false;
  bool wordsUnsigned = false;
  StoredRange data;  // the frame's stored range (16-bit path)
};

namespace {

using cellhelpers::InfoFont;
using cellhelpers::kPanLimit;
using cellhelpers::RoundEven;
using cellhelpers::SatAdd;
using cellhelpers::TextAt;

int64_t CeilDiv(int64_t a, int64_t b) {
  return (a + b - 1) / b;  // a >= 0, b > 0
}

// Header texts are 8-bit; UTF-8 when they are valid UTF-8, else Latin-1.
QString HeaderText(const std::string& s) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8(QByteArrayView(s.data(), qsizetype(s.size())));
  if (utf8.hasError()) text = QString::fromLatin1(s.data(), qsizetype(s.size()));
  return text.trimmed();
}

// Where pixel (x, y) of an unturned W x H bitmap lands after the steps that
// bring it into orientation state s. Quarter turns are clockwise.
QPoint MapToTurned(int x, int y, int W, int H, const std::vector<OrientationStep>& steps) {
  for (const OrientationStep& st : steps) {
    if (st.isFlip) {
      if (st.flip == flHorizontal)
        x = W - 1 - x;
      else
        y = H - 1 - y;
      continue;
    }
    switch (st.angel) {
      case Angel90: {
        const int nx = H - 1 - y, ny = x;
        x = nx;
        y = ny;
        std::swap(W, H);
        break;
      }
      case Angel180:
        x = W - 1 - x;
        y = H - 1 - y;
        break;
      case Angel270: {
        const int nx = y, ny = W - 1 - x;
        x = nx;
        y = ny;
        std::swap(W, H);
        break;
      }
    }
  }
  return {x, y};
}

bool TurnsQuarter(const std::vector<OrientationStep>& steps) {
  bool swapped = false;
  for (const OrientationStep& st : steps)
    if (!st.isFlip && st.angel != Angel180) swapped = !swapped;
  return swapped;
}

}  // namespace

TadvancedImage::TadvancedImage(QWidget* owner) : QWidget(owner) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setMouseTracking(true);
  setAcceptDrops(true);  // series dragged from the thumbnail browser
  setMinimumSize(1, 1);
  resize(100, 100);
  ResizeImage();
}

TadvancedImage::~TadvancedImage() {
  // First of all: no tick may reach a cell being taken apart.
  CineTimer.reset();
}

bool TadvancedImage::OnUiThread() const {
  return QThread::currentThread() == thread();
}

TViewer* TadvancedImage::Host() const {
  return qobject_cast<TViewer*>(parentWidget());
}

void TadvancedImage::RequestUpdate() {
  if (OnUiThread())
    update();
  else
    QMetaObject::invokeMethod(
        this, [this] { update(); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------- loading

TImg* TadvancedImage::TreeImage() const {
  const auto in = [](int i, size_t n) { return i >= 0 && size_t(i) < n; };
  if (!in(PatientIndex, gPatients.size())) return nullptr;
  TPatient& p = gPatients[size_t(PatientIndex)];
  if (!in(StudyIndex, p.studies.size())) return nullptr;
  TStudy& st = p.studies[size_t(StudyIndex)];
  if (!in(SeriesIndex, st.serieses.size())) return nullptr;
  TSeries& se = st.serieses[size_t(SeriesIndex)];
  if (!in(ImageIndex, se.images.size())) return nullptr;
  return &se.images[size_t(ImageIndex)];
}

bool TadvancedImage::IsTheSamePatient() const {
  return LastPatientIndex == PatientIndex;
}
bool TadvancedImage::IsTheSameStudy() const {
  return IsTheSamePatient() && LastStudyIndex == StudyIndex;
}
bool TadvancedImage::IsTheSameSeries() const {
  return IsTheSameStudy() && LastSeriesIndex == SeriesIndex;
}
bool TadvancedImage::IsTheSameImage() const {
  return IsTheSameSeries() && LastImageIndex == ImageIndex;
}

bool TadvancedImage::IsByteImage() const {
  const int p = ComputeFrameGeometry(gDicomData).bitProduct;
  return p == 8 || p == 24;
}

void TadvancedImage::SetLoading(bool loading) {
  std::lock_guard tree(gPatientsMutex);
  if (TImg* im = TreeImage()) im->Cache.IsLoading = loading;
}

bool TadvancedImage::RestoreFromCache(const std::string& path, int frame, Staged& st) const {
  std::lock_guard tree(gPatientsMutex);
  const TImg* im = TreeImage();
  // The frames cached at the position are another file's when the caller
  // did not put the cell at this file's position.
  if (!im || im->imagePath != path) return false;
  const TCache& c = im->Cache;
  const size_t k = size_t(frame - 1);
  if (frame < 1 || k >= c.IsCached.size() || !c.IsCached[k]) return false;
  const FrameGeometry g = ComputeFrameGeometry(c.DICOM);
  const size_t n = size_t(std::max<int64_t>(g.pixelCount, 0));
  if (n == 0) return false;
  // The first slot filled, in the order the cache is written.
  if (k < c.gBuff8.size() && !c.gBuff8[k].empty()) {
    if (c.gBuff8[k].size() < n) return false;
    st.pixels.buff8.assign(c.gBuff8[k].begin(), c.gBuff8[k].begin() + ptrdiff_t(n));
  } else if (k < c.gBuff24.size() && !c.gBuff24[k].empty()) {
    if (c.gBuff24[k].size() < 3 * n) return false;
    st.pixels.buff24.assign(c.gBuff24[k].begin(), c.gBuff24[k].begin() + ptrdiff_t(3 * n));
  } else if (k < c.gBuff16.size() && !c.gBuff16[k].empty()) {
    if (c.gBuff16[k].size() < n) return false;
    st.pixels.buff16.assign(c.gBuff16[k].begin(), c.gBuff16[k].begin() + ptrdiff_t(n));
  } else {
    return false;
  }
  st.header = c.DICOM;
  st.frameCount = std::max(1, st.header.XYZdim[2]);
  st.frame = std::clamp(frame, 1, st.frameCount);
  st.slices = c.gECATslices;
  st.pos = c.gECATposra;
  st.size = c.gECATszra;
  st.fromCache = true;
  // A cached header has its table applied already; the file's rescale is
  // known only when there is no table.
  st.rescaleKnown = st.header.Lut.LutSize <= 0 || st.header.Lut.Lutdata.empty();
  st.slope = st.header.IntenScale;
  st.intercept = st.header.IntenIntercept;
  return true;
}

bool TadvancedImage::ReadHeaderInto(const std::string& path, Staged& st) {
  DICOMdata h;
  h.Lut.LutSize = 0;  // a table of the previous image must not survive
  bool hdrOK = false, imgOK = false;
  try {
    ReadDicomHeader(path, true, h, hdrOK, imgOK, [](const std::string&) {});
  } catch (const std::exception& e) {
    FLastError = std::string("the header cannot be read: ") + e.what();
    return false;
  } catch (...) {
    FLastError = "the header cannot be read";
    return false;
  }
  if (!imgOK) {
    FLastError = "the file holds no image that can be displayed";
    return false;
  }
  h.referenceFile = path;
  st.frameCount = std::max(1, h.XYZdim[2]);
  const size_t entries = size_t(std::max(h.gECATJPEG_table_entries, 0));
  st.pos = std::move(h.gECATJPEG_pos_table);
  st.size = std::move(h.gECATJPEG_size_table);
  st.pos.resize(std::min(st.pos.size(), entries));
  st.size.resize(std::min(st.size.size(), entries));
  st.slices = int(std::min(st.pos.size(), st.size.size()));
  h.gECATJPEG_table_entries = 0;
  h.gECATJPEG_pos_table.clear();
  h.gECATJPEG_size_table.clear();
  st.rescaleKnown = true;
  st.slope = h.IntenScale;
  st.intercept = h.IntenIntercept;
  st.header = std::move(h);
  return true;
}

bool TadvancedImage::DecodeInto(const std::string& path, Staged& st) {
  std::string why;
  bool ok = false;
  _DecodingFrame = true;
  try {
    ok = DecodeFrame(path, st.header, st.pos, st.size, st.frame, st.pixels, &why);
  } catch (const std::bad_alloc&) {
    why = "the frame does not fit in memory";
  } catch (...) {
    why = "the frame cannot be decoded";
  }
  _DecodingFrame = false;
  if (!ok) {
    FLastError = why.empty() ? "the frame cannot be decoded" : why;
    return false;
  }
  const TLut& lut = st.header.Lut;
  if (lut.LutSize > 0 && !lut.Lutdata.empty()) {
    if (!st.rescaleKnown) {
      FLastError = "the rescale of the lookup table is unknown";
      return false;
    }
    // The table maps rescaled values: every frame starts from the file's rescale.
    st.header.IntenScale = st.slope;
    st.header.IntenIntercept = st.intercept;
    ApplyModalityLut(st.header, st.pixels.buff16);
  }
  return true;
}

CellGreyState TadvancedImage::GreyState() const {
  CellGreyState s;
  s.DeltaWW = DeltaWW;
  s.DeltaWL = DeltaWL;
  s.brightness = brightness;
  s.contrast = contrast;
  s.Inverted = Inverted;
  return s;
}

TadvancedImage::Display TadvancedImage::BuildDisplay(DICOMdata& h, const DecodedFrame& f,
                                                     const CellGreyState& s,
                                                     const StoredRange* frameRange) const {
  Display d;
  CellBitmap cb;
  try {
    cb = CreateCellBitmap(h, f, s, frameRange);
  } catch (...) {
    return d;
  }
  if (cb.bmp.isNull()) return d;
  d.bmp = std::move(cb.bmp);
  d.wordImage = cb.wordImage;
  d.wordsUnsigned = WordsUnsigned(h.pixel_representation, h.MinIntensity);
  d.data = cb.data;
  d.windowWidth = cb.windowWidth;
  d.windowLevel = cb.windowLevel;
  d.min16 = cb.min16;
  d.max16 = cb.max16;
  // The overlay goes in before the turns, so its pixels turn with the image.
  if (_showOverlay) {
    DrawOverlayPlane(d.bmp, h, OrientationState{});
    d.overlay = true;
  }
  ApplyOrientationToBitmap(d.bmp, orientation);
  return d;
}

void TadvancedImage::CommitDisplay(Display& d) {
  bmp = std::move(d.bmp);
  FOverlayInBmp = d.overlay;
  if (d.wordImage) {
    windowWidth = d.windowWidth;
    windowLevel = d.windowLevel;
    min16 = d.min16;
    max16 = d.max16;
    // d was built from the frame now in FBuffers (Commit runs first).
    FRangeKnown = true;
    FRangeUnsigned = d.wordsUnsigned;
    FRange = d.data;
  }
  LastPatientIndex = PatientIndex;
  LastStudyIndex = StudyIndex;
  LastSeriesIndex = SeriesIndex;
  LastImageIndex = ImageIndex;
  // Letters for every kind of image, from its own direction cosines.
  _Top_Label.clear();
  _Right_Label.clear();
  _Bottom_Label.clear();
  _Left_Label.clear();
  SetOrientation(gDicomData.IMAGE_ORIENTATION_PATIENT);
  orientation_labels = {_Top_Label, _Right_Label, _Bottom_Label, _Left_Label};
  UpdateCineTrackBar();
}

void TadvancedImage::Commit(Staged& st) {
  gDicomData = std::move(st.header);
  FBuffers = std::move(st.pixels);
  FRangeKnown = false;
  gECATslices = st.slices;
  gECATposra = std::move(st.pos);
  gECATszra = std::move(st.size);
  frameCount = st.frameCount;
  CurrentFrame = st.frame;
  FFileRescaleKnown = st.rescaleKnown;
  FFileSlope = st.slope;
  FFileIntercept = st.intercept;
}

bool TadvancedImage::CommitPlane(DICOMdata& h, DecodedFrame& f) {
  Display d = BuildDisplay(h, f, GreyState());
  if (d.bmp.isNull()) return false;
  gDicomData = std::move(h);
  FBuffers = std::move(f);
  FRangeKnown = false;
  frameCount = CurrentFrame = 1;
  gECATslices = 0;
  gECATposra.clear();
  gECATszra.clear();
  filepath.clear();
  FFileRescaleKnown = true;
  FFileSlope = gDicomData.IntenScale;
  FFileIntercept = gDicomData.IntenIntercept;
  CommitDisplay(d);
  return true;
}

bool TadvancedImage::LoadFile(const std::string& path, int Frame) {
  std::lock_guard lock(FState);
  FLastError.clear();
  const bool sameImage = IsTheSameImage();
  const bool sameSeries = IsTheSameSeries();
  // Another frame of the image on display (a frame step, a reload) leaves
  // the cine and its rate as they are.
  const bool newImage = !sameImage || path != CurrentOpenedPath;
  // With the lock on, window offsets carry over between images of one series.
  CellGreyState grey = GreyState();
  if (!sameSeries || !_LockWwWl) grey.DeltaWW = grey.DeltaWL = grey.brightness = grey.contrast = 0;

  Staged st;
  const int f = std::max(Frame, 1);
  if (!RestoreFromCache(path, f, st)) {
    st = Staged{};
    SetLoading(true);
    if (!ReadHeaderInto(path, st)) {
      SetLoading(false);
      return false;
    }
    st.frame = std::clamp(f, 1, st.frameCount);
    if (!DecodeInto(path, st)) {
      SetLoading(false);
      return false;
    }
  }
  const int headerWidth = st.header.WindowWidth, headerCenter = st.header.WindowCenter;
  Display d = BuildDisplay(st.header, st.pixels, grey);
  if (d.bmp.isNull()) {
    FLastError = "the frame cannot be turned into a picture";
    SetLoading(false);
    return false;
  }

  // The new frame is in hand: from here on the cell changes.
  if (FMpr) LeaveMpr();
  if (!sameImage) Action = VAPan;
  AngleSecondLine = false;
  Shapes.clear();
  SelectedShapeIndex = -1;
  FNewShape = false;
  if (!_LockZoom) zoomFactor = 100;
  DeltaWW = grey.DeltaWW;
  DeltaWL = grey.DeltaWL;
  brightness = grey.brightness;
  contrast = grey.contrast;
  filepath = path;
  const bool fromCache = st.fromCache;
  Commit(st);
  if (fromCache) {
    // A cine keeps its window from frame to frame.
    if (frameCount > 1 && cineWW != 0 && cineWL != 0) {
      windowWidth = cineWW;
      windowLevel = cineWL;
    } else {
      windowWidth = cineWW = headerWidth;
      windowLevel = cineWL = headerCenter;
    }
  } else if (!InCineMode) {
    windowWidth = cineWW = headerWidth;
    windowLevel = cineWL = headerCenter;
  }
  // Also for a cached image: it plays at its own frame time, not the last one's.
  if (!fromCache || newImage) SetRateFromHeader();
  CommitDisplay(d);
  if (!sameSeries) FitZoom();
  // Set on the cached path too: ResetImage reloads this path.
  CurrentOpenedPath = path;
  gDicomData.referenceFile = path;
  HasImage = true;
  RenderViewer();
  if (!fromCache) {
    std::lock_guard tree(gPatientsMutex);
    if (TImg* im = TreeImage()) StoreInCache(*im);
  }
  UpdateTrackBars();
  // Opening a multi-frame image plays it.
  if (newImage && IsCine()) StartCine();
  // Last: a receiver may recompute what depends on this image (reference lines).
  if (newImage) emit ImageShown(this);
  return true;
}

// A frame step within the image on display: nothing but the frame changes.
bool TadvancedImage::ShowCachedFrame(int frame) {
  std::lock_guard lock(FState);
  Staged st;
  if (!RestoreFromCache(filepath, frame, st)) return false;
  const int headerWidth = st.header.WindowWidth, headerCenter = st.header.WindowCenter;
  Display d = BuildDisplay(st.header, st.pixels, GreyState());
  if (d.bmp.isNull()) return false;
  Commit(st);
  // A cine keeps its window from frame to frame.
  if (frameCount > 1 && cineWW != 0 && cineWL != 0) {
    windowWidth = cineWW;
    windowLevel = cineWL;
  } else {
    windowWidth = cineWW = headerWidth;
    windowLevel = cineWL = headerCenter;
  }
  CommitDisplay(d);
  RenderViewer();
  return true;
}

bool TadvancedImage::DisplayImage() {
  std::lock_guard lock(FState);
  FLastError.clear();
  SetRateFromHeader();
  if (filepath.empty()) {
    FLastError = "no file is open";
    return false;
  }
  Staged st;
  st.header = gDicomData;
  st.slices = gECATslices;
  st.pos = gECATposra;
  st.size = gECATszra;
  st.frameCount = std::max(1, frameCount);
  st.frame = std::clamp(CurrentFrame, 1, st.frameCount);
  st.rescaleKnown = FFileRescaleKnown;
  st.slope = FFileSlope;
  st.intercept = FFileIntercept;
  const TLut& lut = st.header.Lut;
  if (!st.rescaleKnown && lut.LutSize > 0 && !lut.Lutdata.empty()) {
    // The header came from the cache with its table applied: the file tells
    // the rescale the table expects.
    Staged file;
    if (!ReadHeaderInto(filepath, file)) return false;
    st.rescaleKnown = true;
    st.slope = file.slope;
    st.intercept = file.intercept;
  }
  if (!DecodeInto(filepath, st)) return false;
  const int headerWidth = st.header.WindowWidth, headerCenter = st.header.WindowCenter;
  Display d = BuildDisplay(st.header, st.pixels, GreyState());
  if (d.bmp.isNull()) {
    FLastError = "the frame cannot be turned into a picture";
    return false;
  }
  Commit(st);
  if (!InCineMode) {
    windowWidth = cineWW = headerWidth;
    windowLevel = cineWL = headerCenter;
  }
  CommitDisplay(d);
  RenderViewer();
  std::lock_guard tree(gPatientsMutex);
  if (TImg* im = TreeImage()) StoreInCache(*im);
  return true;
}

bool TadvancedImage::ReadDicom(const std::string& path) {
  std::lock_guard lock(FState);
  Staged st;
  if (!ReadHeaderInto(path, st)) return false;
  gDicomData = std::move(st.header);
  frameCount = st.frameCount;
  gECATslices = st.slices;
  gECATposra = std::move(st.pos);
  gECATszra = std::move(st.size);
  FFileRescaleKnown = true;
  FFileSlope = st.slope;
  FFileIntercept = st.intercept;
  return true;
}

bool TadvancedImage::TreeImageHasOneFrame() {
  std::string path;
  {
    std::lock_guard tree(gPatientsMutex);
    const TImg* im = TreeImage();
    if (!im) return false;
    if (!im->Cache.DICOM.referenceFile.empty()) return im->Cache.DICOM.XYZdim[2] <= 1;
    path = im->imagePath;
  }
  // A record without the file's header (a DICOMDIR entry): the header alone
  // tells, at a fraction of the cost of a load.
  Staged st;
  return !path.empty() && ReadHeaderInto(path, st) && st.frameCount <= 1;
}

void TadvancedImage::StoreInCache(TImg& image) {
  TCache& c = image.Cache;
  // Only the file at the position may fill its cache.
  if (image.imagePath != filepath) {
    c.IsLoading = false;
    return;
  }
  const int k = CurrentFrame - 1;
  if (k < 0) return;
  const size_t slot = size_t(k);
  if (slot < c.IsCached.size() && c.IsCached[slot]) {
    c.IsLoading = false;
    return;
  }
  try {
    // Slots up to this frame only: the header's frame count is not bounded by
    // the file, and room for every announced frame could take gigabytes.
    const size_t n = slot + 1;
    if (c.gBuff8.size() < n) c.gBuff8.resize(n);
    if (c.gBuff16.size() < n) c.gBuff16.resize(n);
    if (c.gBuff24.size() < n) c.gBuff24.resize(n);
    if (c.IsCached.size() < n) c.IsCached.resize(n, 0);
    if (!FBuffers.buff8.empty())
      c.gBuff8[slot] = FBuffers.buff8;
    else if (!FBuffers.buff24.empty())
      c.gBuff24[slot] = FBuffers.buff24;
    else if (!FBuffers.buff16.empty())
      c.gBuff16[slot] = FBuffers.buff16;
    else
      return;
    const FrameGeometry g = ComputeFrameGeometry(gDicomData);
    c.Size = int(std::min<int64_t>(g.pixelCount, INT_MAX));
    c.FullSize = g.frameBytes;
    c.DICOM = gDicomData;
    if (c.gECATposra.empty() && !gECATposra.empty()) {
      c.gECATslices = gECATslices;
      c.gECATposra = gECATposra;
      c.gECATszra = gECATszra;
    }
    c.IsCached[slot] = 1;
  } catch (...) {
    // A frame that cannot be cached is decoded again next time.
  }
  c.IsLoading = false;
}

void TadvancedImage::UpdateTrackBars() {
  if (FMpr) return MprUpdateTrackBar();
  TViewer* host = Host();
  if (!host) return;
  int images = 0;
  {
    std::lock_guard tree(gPatientsMutex);
    if (gPatients.empty() || !TreeImage()) return;
    images = int(gPatients[size_t(PatientIndex)]
                     .studies[size_t(StudyIndex)]
                     .serieses[size_t(SeriesIndex)]
                     .images.size());
  }
  // Quietly: a range change must not read as the user picking another image.
  const QSignalBlocker block(host->TrackBar);
  host->TrackBar->setMaximum(std::max(1, images));
  host->TrackBar->setValue(ImageIndex + 1);
  UpdateCineTrackBar();
}

void TadvancedImage::UpdateCineTrackBar() {
  if (!OnUiThread()) {
    QMetaObject::invokeMethod(
        this, [this] { UpdateCineTrackBar(); }, Qt::QueuedConnection);
    return;
  }
  TViewer* host = Host();
  if (!host) return;
  const QSignalBlocker block(host->CineTrackBar);
  if (IsCine()) {
    host->CineTrackBar->setMaximum(gDicomData.XYZdim[2]);
    host->CineTrackBar->setValue(CurrentFrame);
    host->CineTrackBar->show();
  } else {
    host->CineTrackBar->hide();
  }
}

void TadvancedImage::Clear() {
  if (!OnUiThread()) {
    QMetaObject::invokeMethod(
        this, [this] { Clear(); }, Qt::QueuedConnection);
    return;
  }
  std::lock_guard lock(FState);
  if (FMpr) LeaveMpr();
  CineTimer.reset();
  InCineMode = false;
  bmp = QImage();
  FOverlayInBmp = false;
  Action = VAPan;
  HasImage = false;
  PanX = panY = 0;
  imageCenter = viewerCenter;
  zoomFactor = 100;
  orientation = OrientationState{};
  lockDirection = false;
  SelectedShapeIndex = -1;
  brightness = contrast = DeltaWW = DeltaWL = 0;
  FBuffers = DecodedFrame{};
  FRangeKnown = false;
  gDicomData = DICOMdata{};
  frameCount = CurrentFrame = 1;
  gECATslices = 0;
  gECATposra.clear();
  gECATszra.clear();
  filepath.clear();
  CurrentOpenedPath.clear();
  Shapes.clear();
  AngleSecondLine = false;
  Scan = TScan{};
  FNewShape = false;
  _Top_Label.clear();
  _Right_Label.clear();
  _Bottom_Label.clear();
  _Left_Label.clear();
  orientation_labels = {};
  // Nothing is shown: the next load is a new image and fits.
  LastPatientIndex = LastStudyIndex = LastSeriesIndex = LastImageIndex = -1;
  RenderViewer();
  PatientIndex = StudyIndex = SeriesIndex = ImageIndex = 0;
  UpdateCineTrackBar();
}

// ---------------------------------------------------------- window/level

bool TadvancedImage::createBitmap() {
  std::lock_guard lock(FState);
  // A window step on the same frame needs no new scan of its range.
  const bool known = FRangeKnown && FRangeUnsigned == WordsUnsigned(gDicomData.pixel_representation,
                                                                    gDicomData.MinIntensity);
  Display d = BuildDisplay(gDicomData, FBuffers, GreyState(), known ? &FRange : nullptr);
  if (d.bmp.isNull()) return false;
  CommitDisplay(d);
  return true;
}

void TadvancedImage::SetWwWl(int _ww, int _wl) {
  std::lock_guard lock(FState);
  windowWidth = _ww;
  windowLevel = _wl;
  DeltaWW = SatAdd(_ww, -int64_t(gDicomData.WindowWidth));
  DeltaWL = SatAdd(_wl, -int64_t(gDicomData.WindowCenter));
}

void TadvancedImage::ResetWwWL() {
  std::lock_guard lock(FState);
  DeltaWW = DeltaWL = brightness = contrast = 0;
  createBitmap();
  RenderViewer();
}

void TadvancedImage::Invert() {
  std::lock_guard lock(FState);
  Inverted = !Inverted;
  createBitmap();
  RenderViewer();
}

void TadvancedImage::LockWwWl(bool _lock) {
  std::lock_guard lock(FState);
  _LockWwWl = _lock;
}

namespace {

WindowDragState DragState(const TadvancedImage& c) {
  WindowDragState s;
  s.headerWidth = c.gDicomData.WindowWidth;
  s.headerCenter = c.gDicomData.WindowCenter;
  s.DeltaWW = c.DeltaWW;
  s.DeltaWL = c.DeltaWL;
  s.windowWidth = c.windowWidth;
  s.windowLevel = c.windowLevel;
  s.cineWW = c.cineWW;
  s.cineWL = c.cineWL;
  s.brightness = c.brightness;
  s.contrast = c.contrast;
  s.lastX = c.lastX;
  s.lastY = c.lastY;
  return s;
}

void TakeDragState(TadvancedImage& c, const WindowDragState& s) {
  c.DeltaWW = s.DeltaWW;
  c.DeltaWL = s.DeltaWL;
  c.windowWidth = s.windowWidth;
  c.windowLevel = s.windowLevel;
  c.cineWW = s.cineWW;
  c.cineWL = s.cineWL;
  c.brightness = s.brightness;
  c.contrast = s.contrast;
  c.lastX = s.lastX;
  c.lastY = s.lastY;
}

}  // namespace

void TadvancedImage::WwWL(int diffX, int diffY, int sensetivityFactor) {
  std::lock_guard lock(FState);
  WindowDragState s = DragState(*this);
  if (!::WwWL(s, diffX, diffY, sensetivityFactor, IsByteImage())) return;
  TakeDragState(*this, s);
  createBitmap();
  RenderViewer();
}

void TadvancedImage::WindowDrag(int X, int Y) {
  std::lock_guard lock(FState);
  WindowDragState s = DragState(*this);
  if (!CellWindowDrag(s, X, Y)) return;
  TakeDragState(*this, s);
  createBitmap();
  RenderViewer();
}

// --------------------------------------------------------------- geometry

void TadvancedImage::SyncSurface() {
  // A hidden widget gets its resize event only when shown; its size is
  // already right, and a fit or render must use it.
  if (OnUiThread() && img.size() != size().expandedTo(QSize(1, 1))) ResizeImage();
}

void TadvancedImage::FitZoom() {
  if (bmp.isNull()) return;
  SyncSurface();
  const double W = bmp.width(), H = bmp.height();
  const double slackW = img.width() - W, slackH = img.height() - H;
  const int z =
      slackH > slackW ? RoundEven(img.width() / W * 100) : RoundEven(img.height() / H * 100);
  zoomFactor = std::max(z, 1);
  PanX = panY = 0;
  imageCenter = viewerCenter;
}

void TadvancedImage::FitImage() {
  std::lock_guard lock(FState);
  if (bmp.isNull()) return;
  if (FMpr)
    MprFitZoom();
  else
    FitZoom();
  RenderViewer();
}

void TadvancedImage::Zoom(int diffY) {
  std::lock_guard lock(FState);
  zoomFactor = SatAdd(zoomFactor, diffY, 1);
  RenderViewer();
}

void TadvancedImage::Pan(int diffX, int diffY) {
  std::lock_guard lock(FState);
  PanX = SatAdd(PanX, diffX, -kPanLimit, kPanLimit);
  panY = SatAdd(panY, diffY, -kPanLimit, kPanLimit);
  imageCenter = viewerCenter + QPoint(PanX, panY);
  RenderViewer();
}

void TadvancedImage::ResizeImage() {
  std::lock_guard lock(FState);
  const QSize s = size().expandedTo(QSize(1, 1));
  {
    std::lock_guard surface(FSurfaceLock);
    if (img.size() != s) {
      img = QImage(s, QImage::Format_RGB32);
      img.fill(Qt::black);
    }
  }
  viewerCenter = QPoint(RoundEven(s.width() / 2.0), RoundEven(s.height() / 2.0));
  imageCenter = viewerCenter + QPoint(PanX, panY);
}

void TadvancedImage::DoResize() {
  std::lock_guard lock(FState);
  ResizeImage();
  RenderViewer();
}

void TadvancedImage::ResetImage() {
  // It reloads and touches the host's bars: UI thread work.
  if (!OnUiThread()) {
    QMetaObject::invokeMethod(
        this, [this] { ResetImage(); }, Qt::QueuedConnection);
    return;
  }
  std::lock_guard lock(FState);
  if (FMpr) MprResetAxes();
  DeltaWW = DeltaWL = brightness = contrast = 0;
  orientation = OrientationState{};
  const bool reloaded = !CurrentOpenedPath.empty() && LoadFile(CurrentOpenedPath, 1);
  // Without a reload the bitmap still carries the old turns.
  if (!reloaded && !bmp.isNull()) createBitmap();
  FitImage();
  if (Inverted) Invert();
}

void TadvancedImage::Rotate(RotateAngels angel) {
  std::lock_guard lock(FState);
  if (bmp.isNull()) return;
  TTransform2::RotateBitmapPLG(bmp, RotationRads(angel), true, Qt::black);
  if (!lockDirection) RotateOrientation(orientation, angel);
  RenderViewer();
}

void TadvancedImage::Rotate90() {
  Rotate(Angel90);
}
void TadvancedImage::Rotate180() {
  Rotate(Angel180);
}
void TadvancedImage::Rotate270() {
  Rotate(Angel270);
}

void TadvancedImage::Flip(FlipTypes fType) {
  std::lock_guard lock(FState);
  if (bmp.isNull()) return;
  TTransform2::FlipBitmapPLG(bmp,
                             fType == flHorizontal ? FlipMode::HORIZONTAL : FlipMode::VERTICAL);
  if (!lockDirection) FlipOrientation(orientation, fType);
  RenderViewer();
}

void TadvancedImage::LockZoom(bool _lock) {
  std::lock_guard lock(FState);
  _LockZoom = _lock;
}

void TadvancedImage::ApplyOrientation() {
  std::lock_guard lock(FState);
  lockDirection = true;
  ApplyOrientationToBitmap(bmp, orientation);
  lockDirection = false;
}

QPoint TadvancedImage::ImageToView(QPoint p) const {
  std::lock_guard lock(FState);
  return ::ImageToView(orientation, zoomFactor, imageCenter, p);
}

QPoint TadvancedImage::ViewToImage(QPoint p) const {
  std::lock_guard lock(FState);
  return ::ViewToImage(orientation, zoomFactor, imageCenter, p);
}

void TadvancedImage::setSelected(bool v) {
  std::lock_guard lock(FState);
  _selected = v;
  RenderViewer();
}

void TadvancedImage::setActive(bool v) {
  std::lock_guard lock(FState);
  _active = v;
  RenderViewer();
}

void TadvancedImage::setShowInfo(bool v) {
  std::lock_guard lock(FState);
  _showInfo = v;
  RenderViewer();
}

void TadvancedImage::setShowOverlay(bool v) {
  std::lock_guard lock(FState);
  _showOverlay = v;
  // A fresh bitmap drops overlay pixels painted earlier.
  if (!bmp.isNull()) createBitmap();
  RenderViewer();
}

// ------------------------------------------------------------ render pass

void TadvancedImage::RenderViewer() {
  std::lock_guard lock(FState);
  SyncSurface();
  {
    std::lock_guard surface(FSurfaceLock);
    if (img.isNull()) return;
    try {
      QPainter p(&img);
      const int W = img.width(), H = img.height();
      p.fillRect(0, 0, W, H, Qt::black);
      p.setPen(Qt::white);
      if (!bmp.isNull()) {
        if (_showOverlay && !FOverlayInBmp) {
          DrawOverlayPlane(bmp, gDicomData, orientation);
          FOverlayInBmp = true;
        }
        HasImage = true;
        DrawBitmap(p);
        if (_showInfo) DrawInformation(p);
      }
      DrawAnnotations(p);
      if (_showInfo && !bmp.isNull()) DrawRuller(p);
      DrawProbe(p);
      const QRect frame(0, 0, W - 6, H - 6);
      if (_selected) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(240, 202, 178), 3));
        p.drawRect(frame);
      }
      if (gShowReferenceLines && !_active) DrawReferenceLine(p);
      if (FMpr && !bmp.isNull()) DrawMprCrosshair(p);
      if (_active) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(Qt::red, 3));
        p.drawRect(frame);
      }
    } catch (...) {
      // What was drawn so far stays.
    }
  }
  RequestUpdate();
}

void TadvancedImage::DrawBitmap(QPainter& p) {
  const int64_t W = bmp.width(), H = bmp.height(), Z = zoomFactor;
  const double dw = double(CeilDiv(W * Z, 100)), dh = double(CeilDiv(H * Z, 100));
  const double left = imageCenter.x() - double(CeilDiv(W * Z, 200));
  const double top = imageCenter.y() - double(CeilDiv(H * Z, 200));
  const QRectF dest(left, top, dw, dh);
  const QRectF visible = dest & QRectF(img.rect());
  if (visible.isEmpty()) return;
  const bool fast = IsMouseDown || (gProcessAllViewers && gAllViewersMouseDown);
  if (!fast && (dw < W || dh < H)) {
    // Shrinking: area averaging into the destination size, once per bitmap and size.
    const QSize target{int(dw), int(dh)};
    if (FScaledKey != bmp.cacheKey() || FScaled.size() != target) {
      FScaled = bmp.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
      FScaledKey = bmp.cacheKey();
    }
    p.drawImage(QPointF(left, top), FScaled);
    return;
  }
  // Only the visible part is scaled, so a deep zoom costs no more than a fit.
  const QRectF source((visible.left() - left) * W / dw, (visible.top() - top) * H / dh,
                      visible.width() * W / dw, visible.height() * H / dh);
  p.setRenderHint(QPainter::SmoothPixmapTransform, !fast);
  p.drawImage(visible, bmp, source);
  p.setRenderHint(QPainter::SmoothPixmapTransform, false);
}

void TadvancedImage::DrawInformation(QPainter& p) {
  const int W = img.width(), H = img.height();
  const DICOMdata& h = gDicomData;
  p.setBrush(Qt::NoBrush);
  p.setPen(gSettings().InformationColor);
  const QFont base = InfoFont();
  p.setFont(base);
  const auto rightAligned = [&](int y, const QString& t) {
    TextAt(p, W - p.fontMetrics().horizontalAdvance(t) - 10, y, t);
  };
  TextAt(p, 10, 10, HeaderText(h.PatientID));
  TextAt(p, 10, 25, HeaderText(h.modality));
  rightAligned(10, HeaderText(h.PatientName));
  rightAligned(25, HeaderText(h.studydate_formated));
  TextAt(p, 10, H - 80, QStringLiteral("Series : %1").arg(h.SeriesNum));
  TextAt(p, 10, H - 65, QStringLiteral("Image : %1").arg(h.ImageNum));
  if (IsByteImage()) {
    TextAt(p, 10, H - 50, QStringLiteral("Contrast    : %1").arg(contrast));
    TextAt(p, 10, H - 35, QStringLiteral("Brightness    : %1").arg(brightness));
  } else {
    TextAt(p, 10, H - 50, QStringLiteral("WW    : %1").arg(windowWidth));
    TextAt(p, 10, H - 35, QStringLiteral("WL    : %1").arg(windowLevel));
  }
  TextAt(p, 10, H - 20, QStringLiteral("Zoom  : %1%").arg(zoomFactor));
  TextAt(p, W - 50, H - 20, HeaderText(h.Institute_Name));

  QFont letters = base;
  letters.setPointSize(12);
  p.setFont(letters);
  TextAt(p, W / 2, 2, orientation_labels[orientation.Top]);
  TextAt(p, W - 35, H / 2, orientation_labels[orientation.Right]);
  TextAt(p, W / 2, H - 20, orientation_labels[orientation.Bottom]);
  TextAt(p, 7, H / 2, orientation_labels[orientation.Left]);
  p.setFont(base);
}

void TadvancedImage::DrawRuller(QPainter& p) {
  const double s = gDicomData.XYZmm[0];
  if (!(s > 0.01 && s < 10)) return;
  // One centimetre of the image in view pixels.
  const float step = float(10 / s * zoomFactor / 100);
  if (!(step > 0) || !std::isfinite(step)) return;
  const int W = img.width(), H = img.height();
  p.setPen(QPen(gSettings().RulerColor, 1));
  const auto ticks = [&](int a, int b, auto&& endMark, auto&& tick, auto&& spine) {
    if (b >= a + step) endMark(a);
    int n = 0;
    for (float pos = a + step; b > pos; pos += step) {
      ++n;
      tick(RoundEven(pos), n % 5 == 0 ? 30 : 20);
    }
    spine(a, a + RoundEven(double(step) * n));
  };
  ticks(
      RoundEven(H * 0.2), RoundEven(H * 0.85), [&](int a) { p.drawLine(W - 35, a, W - 15, a); },
      [&](int y, int len) { p.drawLine(W - len, y, W - 15, y); },
      [&](int a, int e) { p.drawLine(W - 15, a, W - 15, e); });
  ticks(
      RoundEven(W * 0.2), RoundEven(W * 0.85), [&](int a) { p.drawLine(a, H - 35, a, H - 15); },
      [&](int x, int len) { p.drawLine(x, H - len, x, H - 15); },
      [&](int a, int e) { p.drawLine(a, H - 15, e, H - 15); });
}

void TadvancedImage::DrawReferenceLine(QPainter& p) {
  const Shape& r = Scan.ReferenceLine;
  if (r.x1 == r.x2 && r.y1 == r.y2) return;
  p.setPen(QPen(gSettings().ReferenceLinesColor, 1));
  p.drawLine(::ImageToView(orientation, zoomFactor, imageCenter, QPoint(r.x1, r.y1)),
             ::ImageToView(orientation, zoomFactor, imageCenter, QPoint(r.x2, r.y2)));
}

void TadvancedImage::DrawOverlayPlane(QImage& target, const DICOMdata& h,
                                      const OrientationState& state) const {
  const std::vector<uint8_t>& bits = h.overlay_data_bytes;
  const int64_t columns = h.overlay_columns;
  if (bits.empty() || columns <= 0 || target.isNull() || target.depth() != 32) return;
  const std::vector<OrientationStep> steps = OrientationSteps(state);
  // Overlay positions are in the unturned bitmap; target may be turned.
  const bool quarter = TurnsQuarter(steps);
  const int W = quarter ? target.height() : target.width();
  const int H = quarter ? target.width() : target.height();
  const QRgb colour = gSettings().OverlayColor.rgb();
  const int64_t x0 = int64_t(h.overlay_orgin_2) - 1, y0 = int64_t(h.overlay_orgin_1) - 1;
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] == 0) continue;
    for (int k = 0; k < 8; ++k) {
      if (!(bits[i] >> k & 1)) continue;
      const int64_t n = int64_t(i) * 8 + k;
      const int64_t x = n % columns + x0, y = n / columns + y0;
      if (x < 0 || y < 0 || x >= W || y >= H) continue;  // outside the bitmap
      const QPoint t = MapToTurned(int(x), int(y), W, H, steps);
      reinterpret_cast<QRgb*>(target.scanLine(t.y()))[t.x()] = colour;
    }
  }
}

// ------------------------------------------------------- orientation letters

void TadvancedImage::SetOrientation(const std::array<double, 6>& c) {
  const auto zero = [&](int from) { return c[from] == 0 && c[from + 1] == 0 && c[from + 2] == 0; };
  // No letters without both directions: those of another image would mislead.
  if (zero(0) || zero(3)) return;
  top_cos_x = c[0];
  top_cos_y = c[1];
  top_cos_z = c[2];
  left_cos_x = c[3];
  left_cos_y = c[4];
  left_cos_z = c[5];
  ComputeOrientationLabels();
}

void TadvancedImage::ComputeOrientationLabels() {
  // For one direction, the letters of its dominant axes, largest first.
  const auto letters = [](double x, double y, double z, QString& toward, QString& away) {
    const QChar pos[3] = {x < 0 ? 'R' : 'L', y < 0 ? 'A' : 'P', z < 0 ? 'F' : 'H'};
    const auto opposite = [](QChar l) -> QChar {
      switch (l.unicode()) {
        case 'R':
          return 'L';
        case 'L':
          return 'R';
        case 'A':
          return 'P';
        case 'P':
          return 'A';
        case 'F':
          return 'H';
        default:
          return 'F';
      }
    };
    double a[3] = {std::fabs(x), std::fabs(y), std::fabs(z)};
    for (int round = 0; round < 3; ++round) {
      int pick = -1;
      for (int i = 0; i < 3; ++i) {
        if (a[i] > 0.0001 && a[i] > a[(i + 1) % 3] && a[i] > a[(i + 2) % 3]) pick = i;
      }
      if (pick < 0) break;
      toward += pos[pick];
      away += opposite(pos[pick]);
      a[pick] = 0;
    }
  };
  letters(top_cos_x, top_cos_y, top_cos_z, _Right_Label, _Left_Label);
  letters(left_cos_x, left_cos_y, left_cos_z, _Bottom_Label, _Top_Label);
}

// ---------------------------------------------------------------- surface

void TadvancedImage::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  std::lock_guard surface(FSurfaceLock);
  p.drawImage(0, 0, img);
  // A size change not laid out yet: the rest is black.
  const QRegion rest = QRegion(event->rect()).subtracted(QRegion(img.rect()));
  for (const QRect& r : rest) p.fillRect(r, Qt::black);
}

void TadvancedImage::resizeEvent(QResizeEvent*) {
  DoResize();
}

QImage TadvancedImage::Surface() const {
  std::lock_guard surface(FSurfaceLock);
  return img.copy();
}

QImage TadvancedImage::Bitmap() const {
  std::lock_guard lock(FState);
  return bmp.copy();
}
