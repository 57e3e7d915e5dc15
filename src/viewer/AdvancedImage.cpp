#include "viewer/AdvancedImage.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScopeGuard>
#include <QSignalBlocker>
#include <QStringDecoder>
#include <QThread>
#include <algorithm>
#include <climits>
#include <cmath>
#include <new>

#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "dicom/dicom.h"
#include "pixels/FrameCache.h"
#include "pixels/FrameGeometry.h"
#include "pixels/FramePrefetch.h"
#include "pixels/ThdTimer.h"
#include "pixels/WindowLevel.h"
#include "viewer/CellHelpers.h"
#include "viewer/CellPresentation.h"
#include "viewer/DerivedObjectStore.h"
#include "viewer/KeyImageStore.h"
#include "viewer/OverlayLayout.h"
#include "viewer/ReportGraphics.h"
#include "viewer/RotateTRansform.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

// A frame on its way into the cell: nothing of it reaches the cell's fields
// until it has decoded and made a picture, so a failed load changes nothing.
struct TadvancedImage::Staged {
  FrameSourcePtr source;                       // the file's header and frame tables
  DICOMdata header;                            // the display header in the making
  FramePtr cached;                             // the cache's frame: pinned while the cell shows it
  std::shared_ptr<const DecodedFrame> pixels;  // what is shown: cached, or its lookup-table copy
  int frameCount = 1;
  int frame = 1;
};

// A display bitmap and the window it was made with.
struct TadvancedImage::Display {
  QImage bmp;
  bool wordImage = false;
  bool byteWindow = false;
  double windowWidth = 0, windowLevel = 0;
  double unit = 1;
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
  connect(&TAnnotationStore::Instance(), &TAnnotationStore::Changed, this,
          &TadvancedImage::OnAnnotationsChanged);
  connect(&TKeyImageStore::Instance(), &TKeyImageStore::Changed, this, [this] {
    if (HasImage) RenderViewer();
  });
  connect(&TDerivedObjectStore::Instance(), &TDerivedObjectStore::Changed, this,
          &TadvancedImage::OnDerivedChanged);
}

TadvancedImage::~TadvancedImage() {
  // First of all: no tick may reach a cell being taken apart.
  CineTimer.reset();
  FramePrefetcher::Shared().Cancel(this);
  ReleaseCineFrames();
}

const DecodedFrame& TadvancedImage::Buffers() const {
  static const DecodedFrame kNone;
  return FBuffers ? *FBuffers : kNone;
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
  return ImageAt(gPatients, PatientIndex, StudyIndex, SeriesIndex, ImageIndex);
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

FrameSourcePtr TadvancedImage::SourceFor(const std::string& path, bool onDisplay) {
  if (onDisplay && FSource && FSource->path == path) return FSource;
  {
    std::lock_guard tree(gPatientsMutex);
    // The tree image's header is used only when the cell stands at that
    // file's position; otherwise it belongs to another file.
    const TImg* im = TreeImage();
    if (im && im->imagePath == path && !im->Cache.DICOM.referenceFile.empty())
      return MakeFrameSource(path, im->Cache.DICOM, im->Cache.gECATposra, im->Cache.gECATszra);
  }
  std::string why;
  FrameSourcePtr s = ReadFrameSource(path, &why);
  if (!s) {
    FLastError = why.empty() ? "the header cannot be read" : why;
    return nullptr;
  }
  // A record without the file's header (a DICOMDIR entry) keeps the one just
  // read, so later visits, steps and prefetch need not read it again.
  std::lock_guard tree(gPatientsMutex);
  if (TImg* im = TreeImage();
      im && im->imagePath == path && im->Cache.DICOM.referenceFile.empty()) {
    TCache& c = im->Cache;
    c.DICOM = s->header;
    c.gECATposra = s->framePos;
    c.gECATszra = s->frameSize;
    c.gECATslices = int(std::min(s->framePos.size(), s->frameSize.size()));
  }
  return s;
}

bool TadvancedImage::FetchPixels(Staged& st, bool decode) {
  FrameCache& cache = FrameCache::Shared();
  std::string why;
  try {
    if (decode) {
      _DecodingFrame = true;
      st.cached = cache.Acquire(*st.source, st.frame, &why);
      _DecodingFrame = false;
    } else {
      st.cached = cache.Find(st.source->path, st.frame);
    }
    if (!st.cached) {
      if (decode) FLastError = why.empty() ? "the frame cannot be decoded" : why;
      return false;
    }
    const TLut& lut = st.header.Lut;
    if (lut.LutSize <= 0 || lut.Lutdata.empty()) {
      st.pixels = st.cached;
      // Deeper formats are held through a mapping: the header then says so.
      AdoptHeldLayout(st.header, *st.pixels);
      return true;
    }
    // The table maps rescaled values: every frame starts from the file's
    // rescale, which the displayed header no longer carries.
    auto mapped = std::make_shared<DecodedFrame>(*st.cached);
    st.header.IntenScale = st.source->header.IntenScale;
    st.header.IntenIntercept = st.source->header.IntenIntercept;
    ApplyModalityLut(st.header, mapped->buff16);
    st.pixels = std::move(mapped);
    AdoptHeldLayout(st.header, *st.pixels);
    return true;
  } catch (const std::bad_alloc&) {
    FLastError = "the frame does not fit in memory";
  } catch (...) {
    FLastError = "the frame cannot be decoded";
  }
  _DecodingFrame = false;
  st.cached.reset();
  return false;
}

CellGreyState TadvancedImage::GreyState() const {
  CellGreyState s;
  s.DeltaWW = DeltaWW;
  s.DeltaWL = DeltaWL;
  s.brightness = brightness;
  s.contrast = contrast;
  s.Inverted = Inverted;
  s.byteWindow = FByteWindow;
  s.byteWidth = FByteWW;
  s.byteLevel = FByteWL;
  // A reformatted plane is windowed as its volume, whatever its own values.
  if (FMpr && FMpr->link && FMpr->link->volume)
    s.seriesRange = StoredRange{FMpr->link->volume->minValue, FMpr->link->volume->maxValue};
  if (presentation) s.wordTable = presentation->wordTable;
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
  d.byteWindow = cb.byteWindow;
  d.wordsUnsigned = WordsUnsigned(h.pixel_representation, h.MinIntensity);
  d.data = cb.data;
  d.windowWidth = cb.windowWidth;
  d.windowLevel = cb.windowLevel;
  d.unit = cb.unit;
  d.min16 = cb.min16;
  d.max16 = cb.max16;
  // The overlay goes in before the turns, so its pixels turn with the image.
  if (OverlayShown()) {
    DrawOverlayPlane(d.bmp, h, OrientationState{});
    d.overlay = true;
  }
  if (presentation) PaintPresentationOnBitmap(d.bmp, *presentation);
  ApplyOrientationToBitmap(d.bmp, orientation);
  return d;
}

void TadvancedImage::CommitDisplay(Display& d) {
  bmp = std::move(d.bmp);
  FOverlayInBmp = d.overlay;
  FSegmentsInBmp = false;
  if (d.wordImage) {
    windowWidth = d.windowWidth;
    windowLevel = d.windowLevel;
    windowUnit = d.unit;
    min16 = d.min16;
    max16 = d.max16;
    // d was built from the frame now in FBuffers (Commit runs first).
    FRangeKnown = true;
    FRangeUnsigned = d.wordsUnsigned;
    FRange = d.data;
  } else if (d.byteWindow) {
    windowWidth = d.windowWidth;
    windowLevel = d.windowLevel;
    windowUnit = 1;
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
  FFailureText.clear();
  gDicomData = std::move(st.header);
  FBuffers = std::move(st.pixels);
  FShown = std::move(st.cached);
  FRangeKnown = false;
  if (FSource != st.source) {
    FSource = std::move(st.source);
    gECATposra = FSource->framePos;
    gECATszra = FSource->frameSize;
    gECATslices = int(std::min(gECATposra.size(), gECATszra.size()));
  }
  frameCount = st.frameCount;
  CurrentFrame = st.frame;
  KeepCineFrame();
  SyncAnnotationKey();
}

bool TadvancedImage::CommitPlane(DICOMdata& h, DecodedFrame& f) {
  presentation.reset();  // a plane is no image a state names
  Display d = BuildDisplay(h, f, GreyState());
  if (d.bmp.isNull()) return false;
  gDicomData = std::move(h);
  FBuffers = std::make_shared<const DecodedFrame>(std::move(f));
  FRangeKnown = false;
  FFailureText.clear();
  // No file stands behind a plane: nothing to pin, prefetch or play.
  FShown.reset();
  FSource.reset();
  ReleaseCineFrames();
  FramePrefetcher::Shared().Cancel(this);
  frameCount = CurrentFrame = 1;
  gECATslices = 0;
  gECATposra.clear();
  gECATszra.clear();
  filepath.clear();
  SyncAnnotationKey();
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
  if (!sameSeries || !_LockWwWl) {
    grey.DeltaWW = grey.DeltaWL = grey.brightness = grey.contrast = 0;
    grey.byteWindow = false;
  }

  // A presentation state belongs to its image: kept only when this load fails.
  auto keptState = qScopeGuard([this, kept = presentation] { presentation = kept; });
  if (newImage) {
    presentation.reset();
    grey.wordTable.reset();
  }

  Staged st;
  st.source = SourceFor(path, false);
  if (!st.source) return false;
  st.header = st.source->header;
  st.frameCount = st.source->frames;
  st.frame = std::clamp(std::max(Frame, 1), 1, st.frameCount);
  if (!FetchPixels(st, true)) return false;
  const double headerWidth = st.header.WindowWidth, headerCenter = st.header.WindowCenter;
  Display d = BuildDisplay(st.header, *st.pixels, grey);
  if (d.bmp.isNull()) {
    FLastError = "the frame cannot be turned into a picture";
    return false;
  }
  keptState.dismiss();

  // The new frame is in hand: from here on the cell changes.
  if (FMpr) LeaveMpr();
  if (!sameImage) Action = VAPan;
  AngleSecondLine = false;
  FNewShape = false;
  if (!_LockZoom) zoomFactor = 100;
  DeltaWW = grey.DeltaWW;
  DeltaWL = grey.DeltaWL;
  brightness = grey.brightness;
  contrast = grey.contrast;
  FByteWindow = grey.byteWindow;
  filepath = path;
  if (newImage) ReleaseCineFrames();
  Commit(st);
  if (!InCineMode) {
    windowWidth = cineWW = headerWidth;
    windowLevel = cineWL = headerCenter;
  }
  SetRateFromHeader();
  CommitDisplay(d);
  if (!sameSeries) FitZoom();
  // ResetImage reloads this path.
  CurrentOpenedPath = path;
  gDicomData.referenceFile = path;
  HasImage = true;
  RenderViewer();
  UpdateTrackBars();
  // Opening a multi-frame image plays it.
  if (newImage && IsCine()) StartCine();
  Prefetch();
  // Last: a receiver may recompute what depends on this image (reference lines).
  if (newImage) emit ImageShown(this);
  return true;
}

// A frame step within the image on display: nothing but the frame changes.
// decode: a frame the cache lacks is decoded; otherwise it is not shown.
bool TadvancedImage::ShowFrame(int frame, bool decode) {
  std::lock_guard lock(FState);
  if (filepath.empty()) {
    FLastError = "no file is open";
    return false;
  }
  Staged st;
  st.source = SourceFor(filepath, true);
  if (!st.source) return false;
  // The displayed header: a window defaulted on the first frame holds for all.
  st.header = gDicomData;
  st.frameCount = std::max(1, frameCount);
  st.frame = std::clamp(frame, 1, st.frameCount);
  if (!FetchPixels(st, decode)) return false;
  const double headerWidth = st.header.WindowWidth, headerCenter = st.header.WindowCenter;
  Display d = BuildDisplay(st.header, *st.pixels, GreyState());
  if (d.bmp.isNull()) {
    FLastError = "the frame cannot be turned into a picture";
    return false;
  }
  Commit(st);
  if (!decode) {
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
  CommitDisplay(d);
  RenderViewer();
  Prefetch();
  return true;
}

bool TadvancedImage::ShowCachedFrame(int frame) {
  return ShowFrame(frame, false);
}

bool TadvancedImage::DisplayImage() {
  std::lock_guard lock(FState);
  FLastError.clear();
  SetRateFromHeader();
  return ShowFrame(CurrentFrame, true);
}

bool TadvancedImage::ReadDicom(const std::string& path) {
  std::lock_guard lock(FState);
  std::string why;
  FrameSourcePtr s = ReadFrameSource(path, &why);
  if (!s) {
    FLastError = why;
    return false;
  }
  gDicomData = s->header;
  frameCount = s->frames;
  gECATposra = s->framePos;
  gECATszra = s->frameSize;
  gECATslices = int(std::min(gECATposra.size(), gECATszra.size()));
  FSource = std::move(s);
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
  if (path.empty()) return false;
  FrameSourcePtr s = ReadFrameSource(path);
  return s && s->frames <= 1;
}

// ------------------------------------------------------- prefetch and pins

void TadvancedImage::Prefetch() {
  FramePrefetcher& prefetcher = FramePrefetcher::Shared();
  if (!FSource || !HasImage) {
    prefetcher.Cancel(this);
    return;
  }
  FrameCache& cache = FrameCache::Shared();
  // A quarter of the budget ahead at most, so the frames fetched for the
  // next steps cannot push out the ones the user is looking at.
  constexpr int kAhead = 8;
  const int64_t frameBytes = std::max<int64_t>(FSource->frameBytes, 1);
  const int depth = int(std::clamp<int64_t>(cache.Budget() / 4 / frameBytes, 0, kAhead));
  const int dir = FTravel < 0 ? -1 : 1;
  std::vector<FramePrefetcher::Job> jobs;
  if (frameCount > 1) {
    for (int i = 1; i <= depth && i < frameCount; ++i) {
      const int f = ((CurrentFrame - 1 + i * dir) % frameCount + frameCount) % frameCount + 1;
      if (!cache.Contains(FSource->path, f)) jobs.push_back({FSource, {}, f});
    }
  } else {
    std::lock_guard tree(gPatientsMutex);
    if (TreeImage() && TreeImage()->imagePath == filepath) {
      const TImgArr& images = SeriesAt(gPatients, PatientIndex, StudyIndex, SeriesIndex)->images;
      for (int i = 1; i <= depth; ++i) {
        const int k = ImageIndex + i * dir;
        if (k < 0 || size_t(k) >= images.size()) break;
        const TImg& im = images[size_t(k)];
        if (im.imagePath.empty() || cache.Contains(im.imagePath, 1)) continue;
        if (im.Cache.DICOM.referenceFile.empty())
          jobs.push_back({nullptr, im.imagePath, 1});
        else
          jobs.push_back({MakeFrameSource(im.imagePath, im.Cache.DICOM, im.Cache.gECATposra,
                                          im.Cache.gECATszra),
                          {},
                          1});
      }
    }
  }
  prefetcher.Request(this, std::move(jobs));
}

void TadvancedImage::KeepCineFrame() {
  if (!InCineMode || frameCount <= 1 || !FShown || !FSource) return;
  if (FCineReserved == 0 && !FCineRefused) {
    // The whole range pinned once it has played, if it fits the share of the
    // budget pinned groups may take; otherwise prefetch keeps ahead of it.
    const int64_t bytes = int64_t(frameCount) * std::max<int64_t>(FSource->frameBytes, 1);
    if (FSource->frameBytes > 0 && FrameCache::Shared().Reserve(bytes))
      FCineReserved = bytes;
    else
      FCineRefused = true;
  }
  if (FCineReserved == 0) return;
  const size_t k = size_t(CurrentFrame - 1);
  if (FCineFrames.size() <= k) FCineFrames.resize(k + 1);
  FCineFrames[k] = FShown;
}

void TadvancedImage::ReleaseCineFrames() {
  std::vector<FramePtr>().swap(FCineFrames);
  if (FCineReserved > 0) FrameCache::Shared().Unreserve(FCineReserved);
  FCineReserved = 0;
  FCineRefused = false;
}

void TadvancedImage::UpdateTrackBars() {
  if (FMpr) return MprUpdateTrackBar();
  TViewer* host = Host();
  if (!host) return;
  int images = 0;
  {
    std::lock_guard tree(gPatientsMutex);
    if (gPatients.empty() || !TreeImage()) return;
    images = int(SeriesAt(gPatients, PatientIndex, StudyIndex, SeriesIndex)->images.size());
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
  FStackCine = false;
  bmp = QImage();
  FOverlayInBmp = false;
  FSegmentsInBmp = false;
  Action = VAPan;
  HasImage = false;
  PanX = panY = 0;
  imageCenter = viewerCenter;
  zoomFactor = 100;
  orientation = OrientationState{};
  lockDirection = false;
  SelectedShapeIndex = -1;
  brightness = contrast = DeltaWW = DeltaWL = 0;
  FBuffers.reset();
  FShown.reset();
  FSource.reset();
  ReleaseCineFrames();
  FramePrefetcher::Shared().Cancel(this);
  FFailureText.clear();
  FRangeKnown = false;
  gDicomData = DICOMdata{};
  frameCount = CurrentFrame = 1;
  gECATslices = 0;
  gECATposra.clear();
  gECATszra.clear();
  filepath.clear();
  CurrentOpenedPath.clear();
  // The annotations stay with their image in the store.
  StoreAnnotations();
  FAnnKey = {};
  FEditPending = false;
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
  Display d = BuildDisplay(gDicomData, Buffers(), GreyState(), known ? &FRange : nullptr);
  if (d.bmp.isNull()) return false;
  CommitDisplay(d);
  return true;
}

void TadvancedImage::SetWwWl(double _ww, double _wl) {
  std::lock_guard lock(FState);
  if (!std::isfinite(_ww) || !std::isfinite(_wl)) return;
  DropPresentationTable();
  if (HasImage && IsByteImage()) {
    // A typed window on bytes replaces brightness and contrast until reset.
    FByteWindow = true;
    FByteWW = _ww > 0 ? _ww : 1;
    FByteWL = _wl;
  }
  windowWidth = _ww;
  windowLevel = _wl;
  DeltaWW = _ww - gDicomData.WindowWidth;
  DeltaWL = _wl - gDicomData.WindowCenter;
}

void TadvancedImage::DropPresentationTable() {
  if (!presentation || !presentation->wordTable) return;
  auto kept = std::make_shared<TCellPresentation>(*presentation);
  kept->wordTable.reset();
  // The state's polarity stays, now through the cell's own switch.
  if (!kept->state.presentationShape.empty())
    Inverted = (kept->state.presentationShape == "INVERSE") != (gDicomData.Monochrome == 1);
  presentation = std::move(kept);
}

void TadvancedImage::ResetWwWL() {
  std::lock_guard lock(FState);
  DropPresentationTable();
  DeltaWW = DeltaWL = brightness = contrast = 0;
  FByteWindow = false;
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
  s.unit = c.IsByteImage() ? 1.0 : c.windowUnit;
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
  DropPresentationTable();
  if (FByteWindow) {
    ByteWindowDrag(
        [&](WindowDragState& s) { return ::WwWL(s, diffX, diffY, sensetivityFactor, false); });
    return;
  }
  WindowDragState s = DragState(*this);
  if (!::WwWL(s, diffX, diffY, sensetivityFactor, IsByteImage())) return;
  TakeDragState(*this, s);
  createBitmap();
  RenderViewer();
}

void TadvancedImage::WindowDrag(int X, int Y) {
  std::lock_guard lock(FState);
  DropPresentationTable();
  if (FByteWindow) {
    ByteWindowDrag([&](WindowDragState& s) { return CellWindowDrag(s, X, Y); });
    return;
  }
  WindowDragState s = DragState(*this);
  if (!CellWindowDrag(s, X, Y)) return;
  TakeDragState(*this, s);
  createBitmap();
  RenderViewer();
}

void TadvancedImage::ByteWindowDrag(const std::function<bool(WindowDragState&)>& step) {
  // The typed window moves as a header window with no offsets would.
  WindowDragState s;
  s.headerWidth = s.windowWidth = s.cineWW = FByteWW;
  s.headerCenter = s.windowLevel = s.cineWL = FByteWL;
  s.lastX = lastX;
  s.lastY = lastY;
  if (!step(s)) return;
  FByteWW = s.windowWidth > 0 ? s.windowWidth : 1;
  FByteWL = s.windowLevel;
  lastX = s.lastX;
  lastY = s.lastY;
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
  presentation.reset();
  DeltaWW = DeltaWL = brightness = contrast = 0;
  FByteWindow = false;
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

QRect TadvancedImage::ImageArea() const {
  // Inside the frame line at W - 6, H - 6.
  return QRect(0, 0, std::max(img.width() - 5, 1), std::max(img.height() - 5, 1));
}

void TadvancedImage::RenderViewer() {
  std::lock_guard lock(FState);
  SyncSurface();
  {
    std::lock_guard surface(FSurfaceLock);
    if (img.isNull()) return;
    PaintLayers(true);
  }
  RequestUpdate();
  NoteViewShown();
}

void TadvancedImage::PaintLayers(bool frames) {
  {
    try {
      QPainter p(&img);
      const int W = img.width(), H = img.height();
      p.fillRect(0, 0, W, H, Qt::black);
      p.setPen(Qt::white);
      // In the grid the picture ends at the cell's frame: the strip beyond it
      // is the gap between cells and stays background.
      const QRect frame(0, 0, W - 6, H - 6);
      if (frames) p.setClipRect(ImageArea());
      if (!bmp.isNull()) {
        if (OverlayShown() && !FOverlayInBmp) {
          DrawOverlayPlane(bmp, gDicomData, orientation);
          FOverlayInBmp = true;
        }
        if (!FSegmentsInBmp) {
          DrawSegmentFills(bmp, orientation);
          FSegmentsInBmp = true;
        }
        HasImage = true;
        DrawBitmap(p);
        DrawStructureContours(p);
        if (_showInfo) DrawInformation(p);
        if (FBuffers && FBuffers->incomplete)
          DrawCellNotice(p, QStringLiteral("incomplete image"), true);
      } else if (!FFailureText.empty()) {
        DrawCellNotice(p, QString::fromStdString(FFailureText), false);
      }
      if (presentation && !bmp.isNull()) DrawPresentation(*this, p);
      if (reportGraphics) DrawReportGraphics(*this, p);
      DrawAnnotations(p);
      if (!bmp.isNull() && TKeyImageStore::Instance().IsMarked(FAnnKey))
        DrawKeyImageMark(p, frame, TKeyImageStore::Instance().Caption(FAnnKey));
      if (_showInfo && !bmp.isNull()) DrawRuller(p);
      DrawProbe(p);
      if (gShowReferenceLines && !_active) DrawReferenceLine(p);
      if (FMpr && !bmp.isNull()) DrawMprCrosshair(p);
      p.setClipping(false);
      if (frames && _selected) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(240, 202, 178), 3));
        p.drawRect(frame);
      }
      if (frames && _active) {
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(Qt::red, 3));
        p.drawRect(frame);
      }
    } catch (...) {
      // What was drawn so far stays.
    }
  }
}

// A failure's reason across the middle of an empty cell, or the incomplete
// mark at the top of a shown frame; neither turns or zooms with the image.
void TadvancedImage::DrawCellNotice(QPainter& p, const QString& text, bool mark) {
  const int W = img.width(), H = img.height();
  QFont font = p.font();
  font.setPixelSize(std::clamp(H / 28, 11, 16));
  font.setBold(mark);
  p.setFont(font);
  p.setPen(mark ? QColor(255, 160, 40) : QColor(200, 200, 200));
  const QRect box =
      mark ? QRect(8, 4, W - 16, font.pixelSize() * 2) : QRect(W / 10, H / 4, W - W / 5, H / 2);
  p.drawText(box, Qt::AlignHCenter | (mark ? Qt::AlignTop : Qt::AlignVCenter) | Qt::TextWordWrap,
             text);
}

void TadvancedImage::ShowFailure(const std::string& reason) {
  std::lock_guard lock(FState);
  FFailureText = reason;
  RenderViewer();
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

TOverlayInput TadvancedImage::InformationTexts() const {
  const DICOMdata& h = gDicomData;
  TOverlayInput in;
  in.surface = img.size();
  in.font = InfoFont();
  in.letterFont = in.font;
  in.letterFont.setPointSize(12);
  const double spacing = h.XYZmm[0];
  in.ruler = spacing > 0.01 && spacing < 10 && zoomFactor > 0;
  in.topLeft = {FWithoutIdentity ? QString() : HeaderText(h.PatientID), HeaderText(h.modality)};
  in.topRight = {FWithoutIdentity ? QString() : HeaderText(h.PatientName),
                 HeaderText(h.studydate_formated)};
  in.bottomLeft << QStringLiteral("Zoom  : %1%").arg(zoomFactor);
  if (IsByteImage() && !FByteWindow)
    in.bottomLeft << QStringLiteral("Brightness    : %1").arg(brightness)
                  << QStringLiteral("Contrast    : %1").arg(contrast);
  else {
    const double unit = IsByteImage() ? 1.0 : windowUnit;
    in.bottomLeft << QStringLiteral("WL    : %1")
                         .arg(QString::fromStdString(FormatWindowValue(windowLevel, unit)))
                  << QStringLiteral("WW    : %1")
                         .arg(QString::fromStdString(FormatWindowValue(windowWidth, unit)));
  }
  in.bottomLeft << QStringLiteral("Image : %1").arg(h.ImageNum)
                << QStringLiteral("Series : %1").arg(h.SeriesNum);
  if (const QString frame = FrameLabel(); !frame.isEmpty()) in.bottomLeft << frame;
  in.bottomRight = {HeaderText(h.Institute_Name)};
  for (int i = 0; i < 4; ++i) {
    const Directions side = i == 0   ? orientation.Top
                            : i == 1 ? orientation.Right
                            : i == 2 ? orientation.Bottom
                                     : orientation.Left;
    in.letters[size_t(i)] = orientation_labels[side];
  }
  return in;
}

void TadvancedImage::DrawInformation(QPainter& p) {
  p.setBrush(Qt::NoBrush);
  p.setPen(gSettings().InformationColor);
  const TOverlayInput in = InformationTexts();
  // Placed apart from each other and from the ruler, whatever the cell's size.
  for (const TOverlayText& t : LayOutOverlay(in)) {
    p.setFont(t.letter ? in.letterFont : in.font);
    TextAt(p, t.rect.left(), t.rect.top(), t.text);
  }
  p.setFont(in.font);
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

bool TadvancedImage::OverlayShown() const {
  return _showOverlay && (!presentation || presentation->imageOverlayShown);
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
  DirectionLetters(top_cos_x, top_cos_y, top_cos_z, _Right_Label, _Left_Label);
  DirectionLetters(left_cos_x, left_cos_y, left_cos_z, _Bottom_Label, _Top_Label);
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
