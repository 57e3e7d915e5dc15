// The image control of a viewer cell: loads a frame of an image of the study
// tree (through the shared frame cache, which it asks to decode the next
// frames ahead of the user), turns it into a display
// bitmap through the window or brightness/contrast tables, and paints the cell
// with zoom, pan, turns and flips and the information layers.
//
// Threads. Loading runs on the UI thread (prefetch decodes on the
// prefetcher's workers, straight into the frame cache). The operations
// that commands of the all-viewers mode call from pool threads (flips, invert,
// turns, fit, window reset, zoom, pan, WwWL, locks, show switches) change only
// this cell's state and images under the cell's lock; they paint the surface
// on the calling thread and hand the widget update to the UI thread, queued.
// Public fields are read and written on the UI thread (or by the cell's own
// operations); a pool thread must not touch another cell.
#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dicom/Calibration.h"
#include "dicom/define_types.h"
#include "pixels/DisplayBitmap.h"
#include "pixels/FrameCache.h"
#include "pixels/FrameDecoder.h"
#include "viewer/AnnotationStore.h"
#include "viewer/Mpr.h"
#include "viewer/Orientation.h"
#include "viewer/ReferenceLinesUnit.h"
#include "viewer/ViewerTypes.h"

class QMimeData;
class QPainter;
class TThreadedTimer;
class TViewer;

// Frames per second a file asks for: from Frame Time, else Cine Rate, else
// Recommended Display Frame Rate; 0 when it gives none.
double HeaderFrameRate(const DICOMdata& h);

struct TOverlayInput;
struct TDerivedLayer;
struct TCellPresentation;
struct TReportGraphics;

class TadvancedImage : public QWidget {
  Q_OBJECT

 public:
  // owner: the viewer cell (a TViewer) or any widget; the control fills it.
  explicit TadvancedImage(QWidget* owner = nullptr);
  ~TadvancedImage() override;

  // ---- Loading and frame caching (UI thread) ----

  // Shows frame `Frame` (limited to the image's frames) of `path`, the image at
  // the cell's tree position. A frame in the frame cache is shown without
  // decoding it, and with the tree's header without opening the file. Returns
  // false, leaving the cell as it was, when the file or frame cannot be shown
  // (LastLoadError() says why). The frame on display stays pinned in the cache.
  bool LoadFile(const std::string& path, int Frame);
  // Shows frame CurrentFrame of filepath with the header in gDicomData (from
  // the frame cache, decoded on a miss), builds the bitmap and renders.
  bool DisplayImage();
  // Reads only the header of path into gDicomData and the frame tables.
  bool ReadDicom(const std::string& path);
  // Empties the cell. Called from another thread, it is queued to the UI thread.
  void Clear();
  const std::string& LastLoadError() const { return FLastError; }
  // An empty cell says why its image could not be shown (until the next image
  // or Clear). The frame on display had data that ended early: the overlay
  // marks it "incomplete image".
  void ShowFailure(const std::string& reason);
  const std::string& FailureText() const { return FFailureText; }
  bool FrameIncomplete() const { return FBuffers && FBuffers->incomplete; }

  bool IsTheSamePatient() const;
  bool IsTheSameStudy() const;
  bool IsTheSameSeries() const;
  bool IsTheSameImage() const;
  // The image has more than one frame.
  bool IsCine() const { return gDicomData.XYZdim[2] > 1; }
  // 8-bit grey or 24-bit colour: adjusted by brightness and contrast.
  bool IsByteImage() const;

  // ---- Window/level and the display bitmap ----

  // Rebuilds bmp from the frame buffers and the window or brightness/contrast.
  // False (bmp unchanged) when the buffers cannot make a picture.
  bool createBitmap();
  // Sets the window in effect; the caller rebuilds and renders. On an 8-bit
  // or colour image it is a window on the bytes, in place of brightness and
  // contrast, until ResetWwWL.
  // Non-finite values are ignored.
  void SetWwWl(double _ww, double _wl);
  // A typed window is applied to the bytes of an 8-bit or colour image.
  bool ByteWindowOn() const { return FByteWindow; }
  void ResetWwWL();
  void Invert();
  void LockWwWl(bool _lock);
  // Proportional window drag of the all-viewers mode (movement since the last
  // handled step).
  void WwWL(int diffX, int diffY, int sensetivityFactor);
  // The cell's own window drag with the mouse at (X, Y): a step of 10 once the
  // mouse has moved more than 10 pixels from the last step along an axis.
  void WindowDrag(int X, int Y);

  // ---- View geometry ----

  void FitImage();
  void Zoom(int diffY);
  void Pan(int diffX, int diffY);
  // Re-lays the surface after a size change (no render).
  void ResizeImage();
  void DoResize();
  // Undoes window changes, turns and flips; reloads frame 1 and fits. Called
  // from another thread, it is queued to the UI thread.
  void ResetImage();
  void Rotate(RotateAngels angel);
  void Rotate90();
  void Rotate180();
  void Rotate270();
  void Flip(FlipTypes fType);
  void LockZoom(bool _lock);
  // Re-applies the orientation state to a freshly built, unturned bmp.
  void ApplyOrientation();
  QPoint ImageToView(QPoint p) const;
  QPoint ViewToImage(QPoint p) const;
  // The render pass: repaints the surface from the current state.
  void RenderViewer();

  bool Selected() const { return _selected; }
  void setSelected(bool v);
  bool Active() const { return _active; }
  void setActive(bool v);
  bool ShowInfo() const { return _showInfo; }
  void setShowInfo(bool v);
  bool ShowOverlay() const { return _showOverlay; }
  void setShowOverlay(bool v);

  // ---- Orientation letters ----

  // Computes the letters of the four edges from the six direction cosines.
  void SetOrientation(const std::array<double, 6>& cosines);
  void ComputeOrientationLabels();

  // ---- Frames, images and cine (UI thread) ----

  // One frame on; past the last frame, frame 1 of the next image.
  void NextFrame();
  // One frame back, wrapping to the last frame of the same image.
  void PrevFrame();
  // The next or previous image of the series; past its end the next or
  // previous series of the study, unless the load mode is Restricted. An
  // image that cannot be shown is passed over (and reports ImageRefused).
  void NextImage();
  void PrevImage();
  // Loads the image at the tree position, fitted when fit. A cine plays; in
  // cine mode a single-frame image is passed over, once round the range at
  // most. False when nothing new could be shown (the position is then back
  // at the image on display).
  bool OpenCurrentImage(bool fit);
  void PlayCine();
  void PauseCine();
  // The cine timer's tick.
  void CineTick();
  // The image is a cine, or one of a series of several images, which plays
  // as a cine over the series (a stack).
  bool CanPlayCine() const;
  // Images in the cell's series; 0 when the position is not in the tree.
  int ImagesInSeries() const;
  // A cine over the images of the series is playing.
  bool PlaysStack() const { return FStackCine; }
  // The frame track bar moved to position: pauses and shows that frame.
  void CineTrackBarSeek(int position);

  // Frames per second of cine playback (at least 1).
  unsigned CineFrameRate() const { return _cineFramerate; }
  void setCineFrameRate(unsigned Value);
  // Shows the host cell's frame track bar for a multi-frame image, else hides it.
  void UpdateCineTrackBar();
  // "Frame : 12 / 40" for a multi-frame image (shown with the corner texts), else empty.
  QString FrameLabel() const;

  // ---- Annotations (UI thread) ----

  // Annotations belong to the file and frame they were drawn on (kept in
  // TAnnotationStore): another image or frame shows its own, and they come
  // back with their frame in any cell. Every edit below is written back.

  // Removes the annotations of the frame on display (undoable).
  void ClearAnnotation();
  // Removes the annotation under the mouse (undoable); false when there is none.
  bool DeleteSelectedShape();
  // Removes one annotation; the rest keep their order.
  void DeleteShape(int index);
  // The file and frame whose annotations are on display; empty without an image.
  const TAnnotationKey& AnnotationKey() const { return FAnnKey; }
  // Hover selection at view point P; whether SelectedShapeIndex changed.
  bool HitTestShapes(QPoint P);
  // P within 10 view pixels of segment A-B (and inside its box grown by 10).
  static bool IsNearSegment(QPoint A, QPoint B, QPoint P);
  // P inside the box of A and B grown by 10 pixels on every side.
  static bool IsInShapeBox(QPoint A, QPoint B, QPoint P);
  static float PixelDistance(QPoint P, QPoint Q);
  static float PointDistance(QPointF P, QPointF Q);
  // The angle at P2 between P2-P1 and P2-P3 in degrees, 0 ... 180; 0 when an
  // arm has no length.
  static float AngleBetween(QPointF P1, QPointF P2, QPointF P3);
  // The label drawn with an annotation ("50.00 mm", "90.00°", ...), empty for
  // plain lines; text labels give their text.
  static QString ShapeLabel(const Shape& s);
  // The label of a measurement as the cell shows it: a calibrated length, or
  // a region's area and statistics over the frame on display (one line
  // each); sets s.data to the length or area. Other annotations: ShapeLabel.
  QStringList MeasurementLines(Shape& s);
  // Pixel edge coordinates (pixel (c, r) covers c..c+1 x r..r+1 of the
  // unturned image) of an image-space point, and of a point of the surface.
  QPointF ImageToPixel(QPointF p) const;
  QPointF ViewToPixel(QPoint view) const;
  // The pixel probe: the value under (X, Y), stored and rescaled, shown
  // beside the mouse while `on` (Shift held over the cell).
  void UpdateProbe(bool on, int X, int Y);
  QString ProbeText() const;
  bool ProbeShown() const { return FProbeOn; }

  // ---- Mouse protocol of the surface ----

  void ImgOnMouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);
  void ImgOnMouseMove(Qt::MouseButtons Buttons, Qt::KeyboardModifiers Shift, int X, int Y);
  void ImgOnMouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);
  // A series dragged from the thumbnail browser: MIME type SeriesMimeType
  // holding "patientIndex,StudyIndex,SeriesIndex". Over: whether it is one.
  // Drop: shows the series' first image fitted; anything else is ignored.
  static constexpr const char* SeriesMimeType = "application/x-tavrolen-series";
  bool ImgOnDragOver(const QMimeData* data) const;
  bool ImgOnDragDrop(const QMimeData* data);

  // ---- Multiplanar reformation (AdvancedImage_Mpr.cpp; UI thread) ----

  // Shows plane `kind` of the view `link` through its crosshair, fitted: the
  // cell becomes one of the view's cells until another image is loaded into
  // it or it is cleared. False (the cell as it was) when the plane cannot be
  // made into a picture.
  bool ShowMprPlane(std::shared_ptr<TMprLink> link, TPlaneKind kind);
  bool IsMpr() const { return FMpr != nullptr; }
  const TMprState* Mpr() const { return FMpr.get(); }
  // Samples the plane again through the view's crosshair (when it moved or
  // the slab changed) and renders.
  bool MprRefresh();
  // Moves this cell's plane `steps` grid planes along its normal, or onto
  // grid plane `index`; the other cells of the view follow.
  void MprStep(int steps);
  void MprGoTo(int index);
  // Slab thickness in mm (0: thin) and projection of this cell's plane.
  void SetMprSlab(double mm, TProjection projection);
  // The cell is no longer part of a view (its picture stays until replaced).
  void LeaveMpr();
  // The crosshair centre in view pixels of this cell; false when not an MPR cell.
  bool MprCrossInView(QPointF& at) const;
  // The view's planes back in the grid's directions (after turning them).
  void MprResetAxes();

  // ---- Export ----

  // The picture of the cell as shown, without the selection and active
  // frames; ownResolution: at the display bitmap's own size and zoom 100 %
  // (every layer drawn as at that zoom; null without an image).
  // withoutIdentity leaves the patient's name and ID out of the information
  // text (their lines stay empty, so the rest keeps its place).
  QImage Picture(bool ownResolution = false, bool withoutIdentity = false);
  // Writes Picture(ownResolution, withoutIdentity), framed with a black
  // border when it is the cell's view, as a baseline JPEG of quality 90. An
  // existing file is replaced only when the new one is complete. False (with
  // the reason in *error) when it cannot be written.
  bool SaveJPEG(const QString& path, QString* error = nullptr, bool ownResolution = false,
                bool withoutIdentity = false);
  // Writes Picture(ownResolution, withoutIdentity) as a PNG file, replacing
  // it only when complete.
  bool SavePNG(const QString& path, QString* error = nullptr, bool ownResolution = false,
               bool withoutIdentity = false);

  // Copies of the drawing surface and the display bitmap, taken under their locks.
  QImage Surface() const;
  QImage Bitmap() const;
  // The decoded frame on display (empty buffers without one).
  const DecodedFrame& Buffers() const;

  // ---- Fields ----

  // Header of the image on display (window defaulted, lookup table applied).
  DICOMdata gDicomData;
  std::string filepath;           // file whose frames are decoded
  std::string CurrentOpenedPath;  // path of the last load that completed
  int frameCount = 1;
  int CurrentFrame = 1;  // 1-based
  int gECATslices = 0;
  std::vector<int64_t> gECATposra;  // file offset of each compressed frame
  std::vector<int64_t> gECATszra;   // byte length of each compressed frame
  bool _DecodingFrame = false;
  bool PreparingImage = false;
  bool HasImage = false;

  // Position in the study tree, set by the caller before a load.
  int PatientIndex = 0, StudyIndex = 0, SeriesIndex = 0, ImageIndex = 0;
  // Position of the image last turned into a bitmap; -1: none yet.
  int LastPatientIndex = -1, LastStudyIndex = -1, LastSeriesIndex = -1, LastImageIndex = -1;

  double windowWidth = 0, windowLevel = 0;  // in effect, rescaled units
  double DeltaWW = 0, DeltaWL = 0;          // user offsets to the header window
  double cineWW = 0, cineWL = 0;            // window carried through a multi-frame image
  // The data's WindowUnit: the window's drag step and the decimals it is shown with.
  double windowUnit = 1;
  int brightness = 0, contrast = 0;  // byte images
  int max16 = 0, min16 = 0;
  bool Inverted = false;
  bool _LockWwWl = true;

  QImage img;  // the drawing surface, the control's size
  QImage bmp;  // the display bitmap, turned and mirrored; null without an image
  QPoint viewerCenter;
  QPoint imageCenter;  // always viewerCenter + (PanX, panY)
  bool IsMouseDown = false;
  int lastX = 0, lastY = 0;
  int PanX = 0, panY = 0;
  int zoomFactor = 100;  // percent, never below 1
  bool _LockZoom = true;
  bool lockDirection = false;
  OrientationState orientation;  // Top, Right, Bottom, Left

  std::array<QString, 4> orientation_labels;  // indexed by Directions
  double top_cos_x = 0, top_cos_y = 0, top_cos_z = 0;
  double left_cos_x = 0, left_cos_y = 0, left_cos_z = 0;
  QString _Right_Label, _Bottom_Label, _Left_Label, _Top_Label;

  unsigned _cineFramerate = 15;
  bool InCineMode = false;
  std::unique_ptr<TThreadedTimer> CineTimer;

  ViewerAction Action = VAPan;
  bool inDeleteMode = false;
  TShapeArray Shapes;
  int SelectedShapeIndex = -1;
  bool AngleSecondLine = false;
  // Where the active cell's plane cuts this image; drawn when reference lines
  // are on and this cell is not the active one.
  TScan Scan;
  Shape& ReferenceLine = Scan.ReferenceLine;  // in image space; both ends equal: none
  // The presentation state applied to the image on display (CellPresentation.h);
  // null: none. Dropped when another image is shown or the cell is reset.
  std::shared_ptr<const TCellPresentation> presentation;
  // A structured report's coordinates on the image on display (ReportGraphics.h);
  // drawn only while the cell shows their image. Null: none.
  std::shared_ptr<const TReportGraphics> reportGraphics;

 signals:
  // Another image is on display (a load, an image step, a cine moving on);
  // not sent for another frame of the same image. UI thread.
  void ImageShown(TadvancedImage* cell);
  // A series dropped on the cell is on display: the grid recomputes its lines.
  void SeriesDropped(TadvancedImage* cell);
  // The tree image at the cell's position could not be shown (a file gone or
  // changed since the load, a damaged frame): its path and the reason. UI thread.
  void ImageRefused(TadvancedImage* cell, const QString& path, const QString& reason);
  // The window, zoom or image on display changed (sent from the thread that
  // rendered; receivers on the UI thread get it queued).
  void ViewShown(TadvancedImage* cell);
  // A right click that did not drag: the cell's menu at globalPos. UI thread.
  void MenuRequested(TadvancedImage* cell, QPoint globalPos);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  struct Staged;
  struct Display;

  bool OnUiThread() const;
  TViewer* Host() const;
  void RequestUpdate();
  TImg* TreeImage() const;  // under gPatientsMutex; null when the position is not in the tree
  // Header and frame tables of path: the image's on display (when onDisplay:
  // a frame step), the tree's at the cell's position when it is that file's,
  // else read from the file.
  FrameSourcePtr SourceFor(const std::string& path, bool onDisplay);
  // Frame st.frame of st.source from the frame cache (decoded on a miss when
  // decode), through the header's lookup table. False (FLastError set when
  // decoding) when it cannot be had.
  bool FetchPixels(Staged& st, bool decode);
  Display BuildDisplay(DICOMdata& h, const DecodedFrame& f, const CellGreyState& s,
                       const StoredRange* frameRange = nullptr) const;
  void CommitDisplay(Display& d);
  void Commit(Staged& st);
  void UpdateTrackBars();
  // Shows frame `frame` of the image on display; decoded when not cached and
  // decode is set, else false.
  bool ShowFrame(int frame, bool decode);
  // Shows frame `frame` from the frame cache; false when not cached.
  bool ShowCachedFrame(int frame);
  // Asks the prefetcher for the next frames (or images of the series) in the
  // direction of travel, replacing what the cell asked for before.
  void Prefetch();
  // A playing cine pins the frames of its image as they are shown, when the
  // cache grants room for all of them.
  void KeepCineFrame();
  void ReleaseCineFrames();
  // Shows frame CurrentFrame: from the cache, else decoded, else loaded afresh.
  void ShowCurrentFrame();
  // Moves the tree position one image on (+1) or back (-1); false without a tree.
  bool StepImageIndex(int step);
  // NextImage (+1) and PrevImage (-1).
  void StepImage(int step);
  // "Key images only": the next (+1) or previous (-1) key frame of the image
  // shown, past the last one the next key image; false when the image has
  // no key frame. ShowFirstKeyFrame moves a key image just opened onto its
  // first (or, going back, last) key frame, its cine stopped unless every
  // frame is a key frame.
  bool StepKeyFrame(int step);
  void ShowFirstKeyFrame(int step);
  // The image at the tree position has a frame marked as a key image.
  bool TreeImageIsKey() const;
  // Images in the range NextImage walks (the series, or the study).
  int ImagesInRange() const;
  // The image at the tree position has one frame, by the tree's header or,
  // when the tree holds none, the file's; false when it cannot be told.
  bool TreeImageHasOneFrame();
  // Loads the image at the tree position; false when it cannot be shown.
  bool LoadCurrentImage(bool fit);
  void StartCine();      // PlayCine without processing pending events
  void StackCineStep();  // the next image of the series, round to the first
  void SetRateFromHeader();
  // Text entry of a text label dragged from (lastX, lastY) to (X, Y).
  void EnterLabelText(int X, int Y);
  void SyncSurface();
  void FitZoom();
  // After the file or frame on display changed: shows that frame's annotations.
  void SyncAnnotationKey();
  // Writes Shapes back to the store under the frame on display.
  void StoreAnnotations();
  // An edit of the annotations starts / ends: what ends differently from how
  // it started becomes the one level of undo.
  void BeginAnnotationEdit();
  void EndAnnotationEdit();
  void OnAnnotationsChanged(const QString& path, int frame, const QObject* origin);
  // Sends ViewShown when what the main window mirrors has changed.
  void NoteViewShown();
  CellGreyState GreyState() const;
  // One step of a drag (the cell's own, or the grid's proportional one) on the typed byte window.
  void ByteWindowDrag(const std::function<bool(WindowDragState&)>& step);

  // A window set by the user takes the place of a presentation state's tables.
  void DropPresentationTable();
  // The image's overlay plane is to be drawn (the switch, and a presentation
  // state's activation).
  bool OverlayShown() const;
  // Paints the overlay bit plane of h into target, a bitmap in orientation state.
  void DrawOverlayPlane(QImage& target, const DICOMdata& h, const OrientationState& state) const;
  // The store's segmentations and structure sets on the plane on display
  // (AdvancedImage_Derived.cpp): fills into target (a bitmap in orientation
  // state), contours onto the surface.
  TDerivedLayer* DerivedLayer();
  void DrawSegmentFills(QImage& target, const OrientationState& state);
  void DrawStructureContours(QPainter& p);
  void OnDerivedChanged();
  // The render pass's layers onto img (caller holds both locks); frames: the
  // selection and active frames too, which a picture for export leaves out.
  void PaintLayers(bool frames);
  // Where a cell in the grid paints its picture and layers: inside its frame.
  QRect ImageArea() const;
  void DrawBitmap(QPainter& p);
  void DrawCellNotice(QPainter& p, const QString& text, bool mark);
  void DrawInformation(QPainter& p);

 public:
  // The information layer's texts and letters as the cell draws them now.
  TOverlayInput InformationTexts() const;

 private:
  void DrawRuller(QPainter& p);
  void DrawAnnotations(QPainter& p);
  void DrawReferenceLine(QPainter& p);
  void DrawProbe(QPainter& p);

  FrameSourcePtr FSource;                        // header and frame tables of filepath
  FramePtr FShown;                               // the cache's frame on display (pinned)
  std::shared_ptr<const DecodedFrame> FBuffers;  // the frame on display (FShown, or its LUT copy)
  std::vector<FramePtr> FCineFrames;             // a playing cine's pinned range, by frame - 1
  int64_t FCineReserved = 0;                     // bytes the cache granted for it
  bool FCineRefused = false;                     // the range does not fit: prefetch only
  int FTravel = 1;                               // direction of the last step: +1 or -1
  // The calibration measurements use: the file's, or a reformatted plane's.
  ImageCalibration CellCalibration() const;
  ImageCalibration MprCalibration() const;
  // Multiplanar reformation.
  std::unique_ptr<TMprState> FMpr;
  // Shows a frame that no file holds (a reformatted plane) with the cell's
  // window and turns; false, the cell unchanged, when it makes no picture.
  bool CommitPlane(DICOMdata& h, DecodedFrame& f);
  bool MprPress(Qt::MouseButton button, Qt::KeyboardModifiers shift, int X, int Y);
  bool MprMove(Qt::MouseButtons buttons, int X, int Y);
  void MprRelease();
  void DrawMprCrosshair(QPainter& p);
  void MprUpdateTrackBar();
  void MprBuildBar();
  // The whole plane in view: planes across a stack are often far wider than
  // high, where fitting along one axis would cut them off.
  void MprFitZoom();
  // View position of a point in the plane's pixels (x along u, y along v),
  // and back.
  QPointF MprPixelToView(double x, double y) const;
  bool MprViewToPixel(QPointF view, double& x, double& y) const;

  // Stored range of FBuffers' words, scanned once per frame for the window steps.
  bool FRangeKnown = false;
  bool FRangeUnsigned = false;
  StoredRange FRange;
  bool FOverlayInBmp = false;   // bmp carries the overlay plane
  bool FSegmentsInBmp = false;  // bmp carries the segment fills
  std::shared_ptr<TDerivedLayer> FDerived;
  QImage FScaled;  // bmp shrunk for the averaging stretch
  qint64 FScaledKey = 0;
  std::string FLastError;
  std::string FFailureText;
  bool _selected = false;
  bool _active = false;
  bool _showInfo = true;
  bool FWithoutIdentity = false;  // a Picture without the patient's name and ID
  bool _showOverlay = true;
  bool FNewShape = false;  // the press being dragged created the last annotation
  bool FProbeOn = false;   // the pixel probe is shown at FProbeAt
  QPoint FProbeAt;
  bool FStackCine = false;   // the cine steps through the series' images
  bool FByteWindow = false;  // bytes go through FByteWW/FByteWL, not brightness/contrast
  double FByteWW = 256, FByteWL = 128;
  TAnnotationKey FAnnKey;  // the frame whose annotations Shapes holds
  bool FEditPending = false;
  TShapeArray FEditBefore;  // Shapes when the edit under way began
  QPoint FPressAt;          // view position of the last press
  ViewerAction FActionAtPress = VAPan;
  struct ShownView {
    bool hasImage = false, active = false, byteWindow = false;
    double ww = 0, wl = 0;
    int zoom = 0;
    std::string path;
    bool operator==(const ShownView&) const = default;
  } FReportedView;  // as ViewShown last reported it

  mutable std::recursive_mutex FState;  // the cell's state, buffers and bitmap
  mutable std::mutex FSurfaceLock;      // img
};
