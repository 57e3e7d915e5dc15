// The 3D cell: a volume drawn by ray casting over a grid cell, turned,
// zoomed and windowed with the mouse. The view owns the camera, the transfer
// function and the crop box; its canvas (OpenGL, else the CPU ray caster)
// only draws what it is handed. UI thread only.
#pragma once

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>
#include <vector>

#include "viewer/VolumeCanvas.h"

class QMenu;
class QSlider;
class QToolButton;
class TadvancedImage;

class TVolume3DView : public QWidget {
  Q_OBJECT

 public:
  // The canvas is OpenGL where OpenGL 3.3 is available, drawn by a graphics
  // card, and the environment does not ask for the CPU
  // (TAVROLEN_3D_RENDERER=cpu); TAVROLEN_3D_RENDERER=gl takes a software
  // OpenGL too.
  TVolume3DView(std::shared_ptr<const TVolume> volume, QWidget* parent = nullptr);
  ~TVolume3DView() override;

  const std::shared_ptr<const TVolume>& Volume() const { return FVolume; }
  const TRenderSettings& Settings() const { return FSettings; }
  TVolumeCanvas* Canvas() const { return FCanvas; }
  QString PresetName() const { return FPreset; }
  // The scene last handed to the canvas.
  const TVolumeScene& LastScene() const { return FLastScene; }

  void SetMode(TRenderMode mode);
  // A preset by name (TransferPresetNames): its function and mode; false
  // when there is none by that name.
  bool ApplyPreset(const QString& name);
  void SetView(TStandardView view);
  void SetCamera(const TCamera& camera);
  void SetCrop(const TCropBox& crop);
  // The anterior view, whole volume, the preset's own window.
  void ResetView();
  // Shown with the view's own notes (the volume's build, for example).
  void AddNote(const QString& note);

  // What the user is told: the volume's notes, the CPU fallback, an empty
  // crop box, a function with nothing opaque, and the canvas's notes.
  QStringList Notes() const;
  // The orientation letters at the picture's left, top, right and bottom
  // edges, as the 2D cell writes them.
  std::array<QString, 4> OrientationLetters() const;
  // A reduced picture is being drawn while the mouse moves.
  bool Interacting() const { return FInteracting; }
  // The view as shown: the last complete picture filling it, and the
  // letters, cube and notes over it (for copying; a widget grab of an
  // OpenGL canvas need not hold what its painter drew).
  QImage Snapshot();
  // The crop box is shown with its sliders and a handle at the middle of
  // each face, which a left drag moves along its axis.
  bool CropShown() const;
  void ShowCrop(bool on);
  // The handles in view pixels, face axis * 2 + (0: low end, 1: high end);
  // empty when the box cannot be placed in the picture.
  std::vector<QPointF> CropHandles() const;
  // The menu of the view (views, presets, mode, crop, reset, close).
  QMenu* Menu() const { return FMenu; }

  // The picture's mouse protocol, in view pixels: left drag turns, Shift or
  // Ctrl + left drag pans, right drag windows (horizontal widens, vertical
  // shifts, as in the 2D cell) and a right click opens the menu, middle drag
  // zooms (up: larger).
  void ViewMouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint at);
  void ViewMouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, QPoint at);
  void ViewMouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint at);
  // The keys the view uses itself: R and Home reset, 1 to 6 the standard views.
  static bool UsesKey(int key, Qt::KeyboardModifiers modifiers);

 signals:
  // Settings changed and a picture was asked of the canvas.
  void SceneRequested();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Asks the canvas for a picture: reduced while the mouse moves, the full
  // one once it has rested.
  void Request(bool reduced);
  void Interact();
  // Moves the dragged crop face by the mouse's move `d` along its axis.
  void MoveCropFace(QPoint d);
  void BuildMenu();
  void BuildBar();
  void BuildCropPanel();
  void SyncCropSliders();
  void PaintOverlay(QPainter& p);
  // The crop box in view pixels: its 8 corners (bit 0, 1, 2: the high end
  // along columns, rows, slices), its 6 face centres, and the view pixels
  // one voxel moves along each grid axis. False when the rays are degenerate.
  struct TCropShape {
    std::array<QPointF, 8> corners;
    std::array<QPointF, 6> faces;
    std::array<QPointF, 3> perVoxel;
  };
  bool CropShape(TCropShape& out) const;
  static bool Movable(const TCropShape& shape, int axis);
  void DrawCropBox(QPainter& p) const;
  void DrawOrientationCube(QPainter& p, QRect box) const;
  // Modality units per pixel of window drag, and millimetres per pixel of pan.
  double WindowStep() const;
  double MmPerPixel() const;

  std::shared_ptr<const TVolume> FVolume;
  TRenderSettings FSettings;
  TVolumeScene FLastScene;
  TTransferFunction FPresetTf;  // the preset as chosen, for reset
  QString FPreset;
  TVolumeCanvas* FCanvas = nullptr;
  QStringList FOwnNotes;  // fallback and added notes
  bool FNoOpaque = false;
  bool FInteracting = false;
  bool FBuilt = false;  // set up: pictures may be asked for
  QTimer FSettle;
  QMenu* FMenu = nullptr;
  QWidget* FBar = nullptr;
  QWidget* FCropPanel = nullptr;
  std::array<QSlider*, 6> FCropSliders{};
  Qt::MouseButton FDragButton = Qt::NoButton;
  Qt::KeyboardModifiers FDragModifiers;
  QPoint FPressAt, FLast;
  bool FDragged = false;
  int FCropFace = -1;  // the face a drag moves; -1: none
};

// Puts a 3D view of `volume` over `cell`, filling it, in place of any it
// had. The cell keeps its image beneath; another image shown in the cell
// or clearing it removes the view, as does the view's "Close 3D".
TVolume3DView* ShowVolume3D(TadvancedImage* cell, std::shared_ptr<const TVolume> volume);
// The 3D view over `cell`, or null.
TVolume3DView* Volume3DOf(const QWidget* cell);
void CloseVolume3D(QWidget* cell);
// The 3D view `w` is in (itself or an ancestor), or null.
TVolume3DView* Volume3DAround(QWidget* w);
