// 3D pictures of a volume by ray casting: volume rendering through a colour
// and opacity transfer function with gradient shading, and maximum, minimum
// and mean intensity projection. This CPU ray caster and the OpenGL one of
// the viewer take their rays, samples and transfer table from the functions
// below, so the two draw the same picture (within the filtering precision of
// the GPU) and the command line and the tests see what the viewer shows.
//
// Coordinates: patient space as in Vec3.h; voxel space (i, j, k) = (column,
// row, slice) with voxel centres at whole numbers. Patient and voxel space
// are related by one affine map (the mean slice step, so a gantry tilt is a
// shear); uneven slice spacing is drawn at the mean spacing (the volume
// notes it).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "volume/Reformat.h"
#include "volume/Vec3.h"
#include "volume/Volume.h"

enum class TRenderMode { Vr, Mip, MinIp, Mean };
const char* RenderModeName(TRenderMode m);  // "vr", "mip", "minip", "mean"
bool ParseRenderMode(std::string_view text, TRenderMode& out);

// One point of a transfer function: a modality value (stored * slope +
// intercept: Hounsfield units for CT) and its colour and opacity, 0..1. The
// opacity is that of a layer 1 mm thick; a sample step of s mm takes
// 1 - (1 - a)^s.
struct TTransferPoint {
  double value = 0;
  float r = 1, g = 1, b = 1, a = 0;
};

struct TTransferFunction {
  std::string name;
  // Ascending by value; linear between points, the end points' colour and
  // opacity beyond them. No points: transparent everywhere.
  std::vector<TTransferPoint> points;
  // The window drag on a volume rendering: every point moves by `shift` and
  // spreads by `scale` about `centre` (value' = centre + shift + (value -
  // centre) * scale).
  double centre = 0, shift = 0, scale = 1;
  // The window of the projections (modality values), as for an image.
  double windowCentre = 40, windowWidth = 400;
  // Gradient lighting from a light at the eye: colour * (ambient + diffuse *
  // |n.l|) + specular * |n.l|^shininess.
  bool shade = true;
  float ambient = 0.25f, diffuse = 0.75f, specular = 0.3f, shininess = 24;
};

// The presets by name: "bone", "soft tissue", "lung", "vessels" (volume
// rendering) and "mip" (maximum intensity projection with a vessel window).
std::vector<std::string> TransferPresetNames();
// The preset `name` (case-insensitive) and the mode it renders in; false
// when there is none by that name.
bool TransferPreset(std::string_view name, TRenderMode& mode, TTransferFunction& out);

// The transfer function as a table over stored values, the same table the
// GPU samples as a 1D texture with linear filtering: entry e holds the
// colour and per-sample opacity at stored value lo + e * (hi - lo) / (N - 1);
// a value between entries interpolates linearly, one outside takes the end
// entry. Opacity is already corrected for the sampling step.
struct TTransferLut {
  static constexpr int kEntries = 4096;
  double lo = 0, hi = 1;
  std::vector<std::array<float, 4>> rgba;  // kEntries of r, g, b, a (not premultiplied)
  bool anyOpaque = false;                  // some entry has opacity above 0
  // r, g, b, a at stored value s.
  std::array<float, 4> At(double s) const;
};
// The table over the volume's stored range, shift and scale applied.
TTransferLut BuildTransferLut(const TTransferFunction& tf, const TVolume& v, double stepMm);

// Where the eye is: the picture's right and up directions in patient space
// (unit, at right angles); the rays run along Cross(up, right), into the
// screen. Orthographic.
struct TCamera {
  Vec3 right{1, 0, 0}, up{0, 0, 1};
  // 1: the sphere around the volume's (uncropped) box just fits the
  // picture's smaller side; 2: twice as large.
  double zoom = 1;
  // The picture's centre moved off the volume's centre, mm along right / up.
  double panRight = 0, panUp = 0;
  Vec3 Toward() const { return Cross(right, up); }  // from the volume to the eye
};
enum class TStandardView { Anterior, Posterior, Left, Right, Superior, Inferior };
const char* StandardViewName(TStandardView v);  // "anterior", ...
bool ParseStandardView(std::string_view text, TStandardView& out);
// Anterior: the patient faces the viewer, head up, the patient's left on the
// picture's right. Posterior: from behind. Left / Right: from the patient's
// left / right side, head up. Superior: from above the head, anterior up.
// Inferior: from below the feet, anterior up (as an axial image is shown).
TCamera StandardCamera(TStandardView v);
// From the anterior view, turned by `azimuth` degrees about the patient's
// head-foot axis (90: the left view) and then by `elevation` degrees about
// the picture's horizontal (90: looking down from above the head).
TCamera OrbitCamera(double azimuthDegrees, double elevationDegrees);
// Turns the volume in front of the eye: by `acrossRadians` about the
// picture's vertical (a horizontal drag) and `downRadians` about its
// horizontal (a vertical drag). Keeps the directions at right angles.
void TurnCamera(TCamera& c, double acrossRadians, double downRadians);

// The part of the volume drawn, as fractions 0..1 of the grid along each
// grid axis (columns, rows, slices).
struct TCropBox {
  std::array<double, 3> lo{0, 0, 0}, hi{1, 1, 1};
  bool Empty() const;  // nothing left along some axis
};

struct TRenderSettings {
  TRenderMode mode = TRenderMode::Vr;
  TTransferFunction tf;
  TCamera camera;
  TCropBox crop;
  int width = 512, height = 512;
  // The sampling step as a multiple of the smallest voxel spacing; 1 for a
  // full picture, larger while the mouse moves.
  double stepFactor = 1;
};

// The picture's rays in voxel space: pixel (x, y)'s ray runs through
// origin + x * dx + y * dy (pixel centres at whole numbers) along `step`
// (one sampling step); its samples lie at n * step for the whole numbers n
// whose point is inside the crop box [boxLo, boxHi] (which includes its
// faces), taken in ascending n (front to back).
struct TRayFrame {
  Vec3 origin, dx, dy, step;
  double stepMm = 1;
  Vec3 boxLo, boxHi;
  // Row r of this matrix times a voxel-space gradient (differences of
  // neighbouring voxels) gives the patient-space gradient's component r.
  std::array<Vec3, 3> gradientToPatient;
  Vec3 toEye;  // unit, patient space: the light's and the eye's direction
  int columns = 0, rows = 0, slices = 0;  // the volume's grid
};
TRayFrame RayFrameOf(const TVolume& v, const TRenderSettings& s);

// The samples along a ray through voxel space, the same in both ray casters:
// the value at (i, j, k) is trilinear between the 8 voxels around it, the
// grid's edge voxels repeated beyond it; its voxel-space gradient is half the
// difference of the values 1 voxel ahead and 1 voxel behind along each grid
// axis, (I(i + 1) - I(i - 1)) / 2, in stored units. A sample whose
// patient-space gradient is shorter than kFlatGradient (stored units per mm)
// is lit as flat: ambient + diffuse, no specular.
inline constexpr double kFlatGradient = 1e-2;

// A picture: width x height pixels, top row first, 0xffRRGGBB words
// (QImage::Format_RGB32).
struct TRenderImage {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
};

// The CPU ray caster of one volume. It keeps what it precomputes (the
// min/max of blocks of voxels, for skipping empty space and, in projections,
// blocks that cannot change a ray) between pictures. Render may be called
// from several threads at once.
class TVolumeRenderer {
 public:
  explicit TVolumeRenderer(std::shared_ptr<const TVolume> v);
  ~TVolumeRenderer();
  const TVolume& Volume() const { return *FVolume; }
  // Draws the picture on `threads` threads (0: the machine's cores). False
  // with the reason when it cannot be drawn or `cancel` became true (the
  // picture is then incomplete). A transfer function with nothing opaque
  // or an empty crop box draws a black picture and says so in `note`.
  bool Render(const TRenderSettings& s, TRenderImage& out, std::string& reason,
              std::string* note = nullptr, const std::atomic<bool>* cancel = nullptr,
              int threads = 0) const;

 private:
  struct TBlocks;
  std::shared_ptr<const TVolume> FVolume;
  std::unique_ptr<TBlocks> FBlocks;
};

// The projection of the whole volume along a grid direction at the
// volume's own grid, as `GridPlane` lays out planes: "anterior" is the
// coronal projection, "lateral" the sagittal one, "superior" the axial one,
// every plane of that kind taken (mean rounded to nearest, ties to even).
enum class TProjectionView { Anterior, Lateral, Superior };
bool ParseProjectionView(std::string_view text, TProjectionView& out);
bool ProjectVolume(const TVolume& v, TProjectionView view, TProjection projection, TPlaneImage& out,
                   std::string& reason);

// A coarser copy of `v` whose sides are each at most `maxSide` voxels and
// whose words take at most `maxBytes`: each grid axis reduced by a whole
// factor, each coarse voxel the mean of the fine ones it covers, geometry
// adjusted so it covers the same box. Null (and `note` untouched) when `v`
// already fits; otherwise `note` says what was done ("Downsampled for ...:
// 512 x 512 x 300 to 256 x 256 x 150"). `why` names the limit for the note.
std::shared_ptr<TVolume> DownsampledVolume(const TVolume& v, int maxSide, size_t maxBytes,
                                           const std::string& why, std::string& note);
