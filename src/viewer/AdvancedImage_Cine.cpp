// The image control's frame and image stepping and cine playback. All of it
// runs on the UI thread; the cine timer's worker only hands its ticks over.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <cmath>

#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "pixels/FrameDecoder.h"
#include "pixels/ThdTimer.h"
#include "viewer/AdvancedImage.h"
#include "viewer/KeyImageStore.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

namespace {

// Lets queued work (repaints, other cells' ticks) run between frame steps.
// Throttled, never nested, and without user input, which could remove the
// very cells a caller is stepping through.
void ProcessPendingEvents() {
  static bool inside = false;
  static QElapsedTimer last;
  if (inside || !QCoreApplication::instance() ||
      QThread::currentThread() != QCoreApplication::instance()->thread())
    return;
  if (last.isValid() && last.elapsed() < 20) return;
  inside = true;
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  last.restart();
  inside = false;
}

// Stepping by hand keeps to key images while the filter is on; a cine
// plays everything.
bool KeyImagesOnly(bool inCine) {
  return !inCine && TKeyImageStore::Instance().KeyImagesOnly();
}

}  // namespace

// ------------------------------------------------------------------ frames

void TadvancedImage::ShowCurrentFrame() {
  if (ShowCachedFrame(CurrentFrame)) return;
  if (DisplayImage()) return;
  // Last resort: the file on display afresh (not the tree's file at the
  // position, which a caller may have left pointing elsewhere).
  const std::string path = CurrentOpenedPath;
  if (!path.empty()) LoadFile(path, CurrentFrame);
}

void TadvancedImage::NextFrame() {
  QPointer<TadvancedImage> self(this);
  ProcessPendingEvents();
  if (!self) return;
  // A tick let in while a frame or image is being prepared does nothing.
  if (frameCount <= 1 || PreparingImage || _DecodingFrame) return;
  FTravel = 1;
  if (KeyImagesOnly(InCineMode) && StepKeyFrame(+1)) return;
  if (CurrentFrame < frameCount) {
    ++CurrentFrame;
  } else {
    // The cine continues into the next image, whose load shows its frame 1
    // already: showing it again would cost a second bitmap and render per image.
    const qint64 before = bmp.cacheKey();
    NextImage();
    if (!self) return;
    const bool loaded = bmp.cacheKey() != before && CurrentFrame == 1;
    CurrentFrame = 1;
    if (loaded) {
      UpdateCineTrackBar();
      return;
    }
  }
  ShowCurrentFrame();
  UpdateCineTrackBar();
}

void TadvancedImage::PrevFrame() {
  QPointer<TadvancedImage> self(this);
  ProcessPendingEvents();
  if (!self) return;
  if (frameCount <= 1 || PreparingImage || _DecodingFrame) return;
  FTravel = -1;
  if (KeyImagesOnly(InCineMode) && StepKeyFrame(-1)) return;
  // Wraps within the image, never into the previous one.
  CurrentFrame = CurrentFrame > 1 ? CurrentFrame - 1 : frameCount;
  ShowCurrentFrame();
  UpdateCineTrackBar();
}

bool TadvancedImage::StepKeyFrame(int step) {
  const std::vector<int> marked = TKeyImageStore::Instance().MarkedFrames(FAnnKey.path);
  if (marked.empty()) return false;  // not a key image: its frames step as ever
  int target = 0;
  if (step > 0) {
    const auto next = std::upper_bound(marked.begin(), marked.end(), CurrentFrame);
    if (next == marked.end()) {
      // Past the last key frame: on to the next key image.
      StepImage(+1);
      return true;
    }
    target = *next;
  } else {
    // Wraps within the image, as stepping back through frames does.
    const auto before = std::lower_bound(marked.begin(), marked.end(), CurrentFrame);
    target = before == marked.begin() ? marked.back() : *std::prev(before);
  }
  if (target < 1 || target > frameCount) return false;
  CurrentFrame = target;
  ShowCurrentFrame();
  UpdateCineTrackBar();
  return true;
}

void TadvancedImage::ShowFirstKeyFrame(int step) {
  const std::vector<int> marked = TKeyImageStore::Instance().MarkedFrames(FAnnKey.path);
  if (marked.empty()) return;
  // A cine over frames that are no key frames is not what the user steps for.
  if (int(marked.size()) < frameCount) PauseCine();
  if (std::binary_search(marked.begin(), marked.end(), CurrentFrame)) return;
  const int target = step > 0 ? marked.front() : marked.back();
  if (target < 1 || target > frameCount) return;
  CurrentFrame = target;
  ShowCurrentFrame();
  UpdateCineTrackBar();
}

bool TadvancedImage::TreeImageIsKey() const {
  std::lock_guard tree(gPatientsMutex);
  const TImg* im = TreeImage();
  return im && TKeyImageStore::Instance().HasMarkedFrame(im->imagePath);
}

// ------------------------------------------------------------------ images

bool TadvancedImage::StepImageIndex(int step) {
  std::lock_guard tree(gPatientsMutex);
  const TStudy* study = StudyAt(gPatients, PatientIndex, StudyIndex);
  if (!study) return false;
  const TSeriesArr& series = study->serieses;
  const int n = int(series.size());
  if (SeriesIndex < 0 || SeriesIndex >= n) return false;
  const auto images = [&](int s) { return int(series[size_t(s)].images.size()); };
  // Presentation states hold no picture: stepping into one would fail to load
  // and leave the position where it was, so the step could never pass it.
  const auto shows = [&](int s) { return images(s) > 0 && series[size_t(s)].modality != "PR"; };
  const bool restricted = gRestrictedLoad;
  int s = SeriesIndex, i = ImageIndex + (step > 0 ? 1 : -1);
  if (step > 0 && i >= images(s)) {
    i = 0;
    // On to the next series with images, wrapping from the last to the first.
    if (!restricted) {
      for (int k = 0; k < n; ++k) {
        s = (s + 1) % n;
        if (shows(s)) break;
      }
    }
  } else if (step < 0 && i < 0) {
    if (!restricted) {
      for (int k = 0; k < n; ++k) {
        s = (s - 1 + n) % n;
        if (shows(s)) break;
      }
    }
    i = std::max(0, images(s) - 1);
  }
  SeriesIndex = s;
  ImageIndex = i;
  return true;
}

int TadvancedImage::ImagesInRange() const {
  std::lock_guard tree(gPatientsMutex);
  const TStudy* study = StudyAt(gPatients, PatientIndex, StudyIndex);
  if (!study) return 0;
  const TSeriesArr& series = study->serieses;
  if (gRestrictedLoad) {
    if (SeriesIndex < 0 || size_t(SeriesIndex) >= series.size()) return 0;
    return int(series[size_t(SeriesIndex)].images.size());
  }
  size_t total = 0;
  for (const TSeries& s : series) total += s.images.size();
  return int(std::min<size_t>(total, INT_MAX));
}

void TadvancedImage::NextImage() {
  // A step by hand ends a stack's cine (in cine mode single-frame images are passed over).
  if (FMpr) return MprStep(+1);
  if (FStackCine) PauseCine();
  StepImage(+1);
}

void TadvancedImage::PrevImage() {
  if (FMpr) return MprStep(-1);
  if (FStackCine) PauseCine();
  StepImage(-1);
}

void TadvancedImage::StepImage(int step) {
  if (!HasImage) return;
  FTravel = step;
  // An image that cannot be shown (its file gone or changed since the load)
  // is passed over in the direction of travel, once round the range at most,
  // so one bad file cannot stop the user stepping; it reports itself. A cine
  // passes over images on its own.
  // With "key images only" the images between are passed over unloaded.
  const bool keysOnly = KeyImagesOnly(InCineMode);
  const int range = InCineMode ? 1 : std::max(1, ImagesInRange());
  for (int tried = 0; tried < range; ++tried) {
    if (!StepImageIndex(step)) return;
    if (keysOnly && !TreeImageIsKey()) continue;
    const int series = SeriesIndex, image = ImageIndex;
    if (OpenCurrentImage(false)) {
      if (keysOnly) ShowFirstKeyFrame(step);
      return;
    }
    if (LastPatientIndex < 0) return;
    SeriesIndex = series;
    ImageIndex = image;
  }
  // Nothing else could be shown: the position stays with the image on display.
  PatientIndex = LastPatientIndex;
  StudyIndex = LastStudyIndex;
  SeriesIndex = LastSeriesIndex;
  ImageIndex = LastImageIndex;
}

bool TadvancedImage::LoadCurrentImage(bool fit) {
  std::string path;
  {
    std::lock_guard tree(gPatientsMutex);
    const TImg* im = TreeImage();
    if (!im) return false;
    // Paths of a DICOMDIR load are made absolute when it is read.
    path = im->imagePath;
  }
  if (!LoadFile(path, 1)) {
    emit ImageRefused(this, QString::fromStdString(path), QString::fromStdString(FLastError));
    return false;
  }
  if (fit) FitImage();
  return true;
}

bool TadvancedImage::OpenCurrentImage(bool fit) {
  PreparingImage = true;
  bool shown = false;
  try {
    // In cine mode a single-frame image is passed over; one round of the
    // range without a multi-frame image ends the cine where it stands.
    const int range = std::max(1, ImagesInRange());
    const int series = SeriesIndex, image = ImageIndex;
    for (int tried = 1;; ++tried) {
      // Past the image asked for, an image whose header in the tree says it
      // has one frame is passed over unloaded: decoding and drawing each one
      // on the way would hold the window for the whole range.
      if (tried > 1 && TreeImageHasOneFrame()) {
        shown = false;
      } else {
        shown = LoadCurrentImage(fit);
        if (shown && IsCine()) {
          StartCine();
          break;
        }
      }
      if (!InCineMode) break;
      if (tried >= range) {
        // Nothing to play: the cine stops on the image that was asked for.
        PauseCine();
        if (tried > 1 && (SeriesIndex != series || ImageIndex != image)) {
          SeriesIndex = series;
          ImageIndex = image;
          shown = LoadCurrentImage(fit);
        }
        break;
      }
      if (!StepImageIndex(+1)) break;
    }
  } catch (...) {
    shown = false;
  }
  // What cannot be shown is not pointed at: the position goes back to the
  // image on display.
  if (!shown && LastPatientIndex >= 0) {
    PatientIndex = LastPatientIndex;
    StudyIndex = LastStudyIndex;
    SeriesIndex = LastSeriesIndex;
    ImageIndex = LastImageIndex;
  }
  PreparingImage = false;
  return shown;
}

// -------------------------------------------------------------------- cine

void TadvancedImage::StartCine() {
  InCineMode = true;
  if (!CineTimer) {
    CineTimer = std::make_unique<TThreadedTimer>();
    CineTimer->setOnTimer([this](TThreadedTimer*) { CineTick(); });
  }
  CineTimer->setInterval(1000 / std::max(1u, _cineFramerate));
  CineTimer->setEnabled(true);
}

void TadvancedImage::PlayCine() {
  // The timer lives on the UI thread and is switched there only.
  if (!OnUiThread()) {
    QMetaObject::invokeMethod(
        this, [this] { PlayCine(); }, Qt::QueuedConnection);
    return;
  }
  // A stack of single-frame images plays over its series.
  FStackCine = HasImage && !IsCine() && ImagesInSeries() > 1;
  StartCine();
}

void TadvancedImage::PauseCine() {
  if (!OnUiThread()) {
    QMetaObject::invokeMethod(
        this, [this] { PauseCine(); }, Qt::QueuedConnection);
    return;
  }
  InCineMode = false;
  FStackCine = false;
  if (CineTimer) CineTimer->setEnabled(false);
  // A paused cine's frames need not stay; the one on display does.
  ReleaseCineFrames();
}

void TadvancedImage::CineTick() {
  if (FStackCine)
    StackCineStep();
  else
    NextFrame();
}

void TadvancedImage::CineTrackBarSeek(int position) {
  PauseCine();
  if (!HasImage || position == CurrentFrame) return;
  CurrentFrame = std::clamp(position, 1, std::max(1, frameCount));
  ShowCurrentFrame();
  UpdateCineTrackBar();
}

void TadvancedImage::setCineFrameRate(unsigned Value) {
  _cineFramerate = std::max(1u, Value);  // a frame time above a second plays at 1 fps
  if (!OnUiThread()) {
    QMetaObject::invokeMethod(
        this, [this] { setCineFrameRate(_cineFramerate); }, Qt::QueuedConnection);
    return;
  }
  // Takes effect at once: the timer restarts its wait with the new interval.
  if (CineTimer) CineTimer->setInterval(1000 / _cineFramerate);
}

void TadvancedImage::SetRateFromHeader() {
  // A rate the user picked holds until the next file, folder or DICOMDIR is opened.
  if (FrameRateSetByUser) return;
  double fps = HeaderFrameRate(gDicomData);
  // A video that states no rate plays at its stream's own.
  if (fps <= 0) fps = VideoFrameRate(filepath, gDicomData, gECATposra, gECATszra);
  if (fps > 0) setCineFrameRate(unsigned(std::clamp(std::trunc(fps), 1.0, 1000.0)));
}

double HeaderFrameRate(const DICOMdata& h) {
  // The nominal time between frames first, then the rates the file asks for.
  if (h.frame_time > 0 && std::isfinite(h.frame_time)) return 1000.0 / h.frame_time;
  if (h.cine_rate > 0 && std::isfinite(h.cine_rate)) return h.cine_rate;
  if (h.recommended_frame_rate > 0 && std::isfinite(h.recommended_frame_rate))
    return h.recommended_frame_rate;
  return 0;
}

// ------------------------------------------------------------ stack cine

int TadvancedImage::ImagesInSeries() const {
  std::lock_guard tree(gPatientsMutex);
  const TSeries* series = SeriesAt(gPatients, PatientIndex, StudyIndex, SeriesIndex);
  return series ? int(series->images.size()) : 0;
}

bool TadvancedImage::CanPlayCine() const {
  return HasImage && (IsCine() || ImagesInSeries() > 1);
}

void TadvancedImage::StackCineStep() {
  QPointer<TadvancedImage> self(this);
  ProcessPendingEvents();
  if (!self || !FStackCine || PreparingImage || _DecodingFrame) return;
  const int images = ImagesInSeries();
  if (images < 2) {
    PauseCine();
    return;
  }
  // Round the series and back to its first image, whatever the load mode.
  const int previous = ImageIndex;
  ImageIndex = (ImageIndex + 1) % images;
  PreparingImage = true;
  bool shown = false;
  try {
    shown = LoadCurrentImage(false);
  } catch (...) {
  }
  if (!self) return;
  PreparingImage = false;
  if (!shown) ImageIndex = previous;
}
