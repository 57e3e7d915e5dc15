// The image control of a viewer cell: loads a frame of an image of the study
// tree (caching every decoded frame in the tree), turns it into a display
// bitmap through the window or brightness/contrast tables, and paints the cell
// with zoom, pan, turns and flips and the information layers.
//
// Threads. Loading, decoding and caching run on the UI thread. The operations
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
#include <QStringList>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "dicom/Calibration.h"
#include "dicom/define_types.h"
#include "pixels/DisplayBitmap.h"
#include "pixels/FrameDecoder.h"
#include "viewer/Mpr.h"
#include "viewer/Orientation.h"
#include "viewer/ReferenceLinesUnit.h"
#include "viewer/ViewerTypes.h"

class QMimeData;
class QPainter;
class TThreadedTimer;
class TViewer;

class TadvancedImage : public QWidget {
  Q_OBJECT

 public:
  // owner: the viewer cell (a TViewer) or any widget; the control fills it.
  explicit TadvancedImage(QWidget* owner = nullptr);
  ~TadvancedImage() override;

  // ---- Loading and frame caching (UI thread) ----

  // Shows frame `Frame` (limited to the image's frames) of `path`, the image at
  // the cell's tree position. A frame cached in the tree is shown without
  // opening the file. Returns false, leaving the cell as it was, when the file
  // or frame cannot be shown (LastLoadError() says why).
  bool LoadFile(const std::string& path, int Frame);
  // Decodes frame CurrentFrame of filepath with the header in gDicomData,
  // builds the bitmap, renders and caches the frame.
  bool DisplayImage();
  // Reads only the header of path into gDicomData and the frame tables.
  bool ReadDicom(const std::string& path);
  // Empties the cell. Called from another thread, it is queued to the UI thread.
  void Clear();
  const std::string& LastLoadError() const { return FLastError; }

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
  // Sets the window in effect; the caller rebuilds and renders.
  void SetWwWl(int _ww, int _wl);
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
  // previous series of the study, unless the load mode is Restricted.
  void NextImage();
  void PrevImage();
  // Loads the image at the tree position, fitted when fit. A cine plays; in
  // cine mode a single-frame image is passed over, once round the range at most.
  void OpenCurrentImage(bool fit);
  void PlayCine();
  void PauseCine();
  // The cine timer's tick.
  void CineTick();
  // The frame track bar moved to position: pauses and shows that frame.
  void CineTrackBarSeek(int position);

  // Frames per second of cine playback (at least 1).
  unsigned CineFrameRate() const { return _cineFramerate; }
  void setCineFrameRate(unsigned Value);
  // Shows the host cell's frame track bar for a multi-frame image, else hides it.
  void UpdateCineTrackBar();

  // ---- Annotations (UI thread) ----

  void ClearAnnotation();
  // Removes one annotation; the rest keep their order.
  void DeleteShape(int index);
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

  // Writes the surface as it is shown, with a black border, as a baseline
  // JPEG of quality 90. An existing file is replaced only when the new one is
  // complete. False (with the reason in *error) when it cannot be written.
  bool SaveJPEG(const QString& path, QString* error = nullptr) const;

  // Copies of the drawing surface and the display bitmap, taken under their locks.
  QImage Surface() const;
  QImage Bitmap() const;
  // The decoded frame on display.
  const DecodedFrame& Buffers() const { return FBuffers; }

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

  int windowWidth = 0, windowLevel = 0;  // in effect, rescaled units
  int DeltaWW = 0, DeltaWL = 0;          // user offsets to the header window
  int cineWW = 0, cineWL = 0;            // window carried through a multi-frame image
  int brightness = 0, contrast = 0;      // byte images
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

 signals:
  // Another image is on display (a load, an image step, a cine moving on);
  // not sent for another frame of the same image. UI thread.
  void ImageShown(TadvancedImage* cell);
  // A series dropped on the cell is on display: the grid recomputes its lines.
  void SeriesDropped(TadvancedImage* cell);

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
  // Frame `frame` of `path` from the cache of the tree image at the cell's
  // position; false when not cached there (or the position holds another file).
  bool RestoreFromCache(const std::string& path, int frame, Staged& st) const;
  bool ReadHeaderInto(const std::string& path, Staged& st);
  bool DecodeInto(const std::string& path, Staged& st);
  Display BuildDisplay(DICOMdata& h, const DecodedFrame& f, const CellGreyState& s,
                       const StoredRange* frameRange = nullptr) const;
  void CommitDisplay(Display& d);
  void Commit(Staged& st);
  void StoreInCache(TImg& image);
  void SetLoading(bool loading);
  void UpdateTrackBars();
  // Shows frame `frame` of the tree image from its cache; false when not cached.
  bool ShowCachedFrame(int frame);
  // Shows frame CurrentFrame: from the cache, else decoded, else loaded afresh.
  void ShowCurrentFrame();
  // Moves the tree position one image on (+1) or back (-1); false without a tree.
  bool StepImageIndex(int step);
  // Images in the range NextImage walks (the series, or the study).
  int ImagesInRange() const;
  // The image at the tree position has one frame, by the tree's header or,
  // when the tree holds none, the file's; false when it cannot be told.
  bool TreeImageHasOneFrame();
  // Loads the image at the tree position; false when it cannot be shown.
  bool LoadCurrentImage(bool fit);
  void StartCine();  // PlayCine without processing pending events
  void SetRateFromHeader();
  // Text entry of a text label dragged from (lastX, lastY) to (X, Y).
  void EnterLabelText(int X, int Y);
  void SyncSurface();
  void FitZoom();
  CellGreyState GreyState() const;

  // Paints the overlay bit plane of h into target, a bitmap in orientation state.
  void DrawOverlayPlane(QImage& target, const DICOMdata& h, const OrientationState& state) const;
  void DrawBitmap(QPainter& p);
  void DrawInformation(QPainter& p);
  void DrawRuller(QPainter& p);
  void DrawAnnotations(QPainter& p);
  void DrawReferenceLine(QPainter& p);
  void DrawProbe(QPainter& p);

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

  DecodedFrame FBuffers;
  // Stored range of FBuffers' words, scanned once per frame for the window steps.
  bool FRangeKnown = false;
  bool FRangeUnsigned = false;
  StoredRange FRange;
  bool FOverlayInBmp = false;  // bmp carries the overlay plane
  QImage FScaled;              // bmp shrunk for the averaging stretch
  qint64 FScaledKey = 0;
  // Slope and intercept as the file gives them: the lookup-table step of a
  // later frame needs them after the displayed header took 1 and 0.
  bool FFileRescaleKnown = false;
  float FFileSlope = 1.0f, FFileIntercept = 0.0f;
  std::string FLastError;
  bool _selected = false;
  bool _active = false;
  bool _showInfo = true;
  bool _showOverlay = true;
  bool FNewShape = false;  // the press being dragged created the last annotation
  bool FProbeOn = false;   // the pixel probe is shown at FProbeAt
  QPoint FProbeAt;

  mutable std::recursive_mutex FState;  // the cell's state, buffers and bitmap
  mutable std::mutex FSurfaceLock;      // img
};
