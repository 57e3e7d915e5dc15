// Softcopy presentation states as plain data: what to draw over which images
// and with which window, independent of who wrote the object. The viewer
// turns its annotations into this and back; other producers' objects are
// read into the same structures, so whatever this holds can be drawn.
//
// Coordinates are image pixel coordinates with sub-pixel resolution: (0, 0)
// is the top left corner of the top left pixel, pixel (c, r) covers
// c..c+1 x r..r+1; x is the column, y the row. DISPLAY units are fractions of
// the displayed area, 0..1 each way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TPoint2 {
  double x = 0, y = 0;
  bool operator==(const TPoint2&) const = default;
};

enum class TGraphicUnits { Pixel, Display };
enum class TGraphicType { Point, Polyline, Interpolated, Circle, Ellipse };

// One image (or some of its frames) a part of the state applies to.
struct TImageRef {
  std::string sopClassUid;
  std::string sopInstanceUid;
  std::vector<int32_t> frames;  // 1-based; empty: every frame
  bool operator==(const TImageRef&) const = default;
};

struct TSeriesRef {
  std::string seriesInstanceUid;
  std::vector<TImageRef> images;
};

struct TGraphicObject {
  TGraphicType type = TGraphicType::Polyline;
  TGraphicUnits units = TGraphicUnits::Pixel;
  // POINT: 1; POLYLINE, INTERPOLATED: 2 or more (closed when the last equals
  // the first); CIRCLE: centre, then a point on the circle; ELLIPSE: major
  // axis ends, then minor axis ends.
  std::vector<TPoint2> points;
  bool filled = false;
  bool operator==(const TGraphicObject&) const = default;
};

struct TTextObject {
  std::string text;  // UTF-8
  bool hasBox = false;
  TGraphicUnits boxUnits = TGraphicUnits::Pixel;
  TPoint2 boxTopLeft, boxBottomRight;
  bool hasAnchor = false;
  TGraphicUnits anchorUnits = TGraphicUnits::Pixel;
  TPoint2 anchor;
  bool anchorVisible = false;
  bool operator==(const TTextObject&) const = default;
};

// The graphics and texts of one layer over some images; no images: every
// image the state references.
struct TGraphicAnnotation {
  std::string layer;
  std::vector<TImageRef> images;
  std::vector<TGraphicObject> graphics;
  std::vector<TTextObject> texts;
};

struct TGraphicLayer {
  std::string name;
  int32_t order = 1;
  std::string description;
};

// Window in the units after the modality rescale; no images: every image.
struct TVoiWindow {
  std::vector<TImageRef> images;
  double center = 0, width = 1;
  std::string explanation;
};

// The part of the image shown: corners are 1-based pixel numbers (column, row).
struct TDisplayedArea {
  std::vector<TImageRef> images;
  int32_t left = 1, top = 1, right = 1, bottom = 1;
  std::string sizeMode = "SCALE TO FIT";
};

struct TPresentationState {
  // Identification. Creation date/time: YYYYMMDD / HHMMSS; empty when
  // writing: now.
  std::string label = "ANNOTATIONS";  // a code string: upper case, no blanks
  std::string description;
  std::string creator;
  std::string creationDate, creationTime;
  // Written by WritePresentationState, filled by ReadPresentationState.
  std::string sopInstanceUid, seriesInstanceUid, studyInstanceUid;
  bool colour = false;  // colour softcopy: no window, an ICC profile instead

  std::vector<TSeriesRef> series;
  std::vector<TGraphicLayer> layers;
  std::vector<TGraphicAnnotation> annotations;
  std::vector<TVoiWindow> windows;
  std::vector<TDisplayedArea> areas;
  int32_t rotation = 0;  // clockwise degrees after the flip: 0, 90, 180, 270
  bool horizontalFlip = false;

  // What a read skipped, one reason each.
  std::vector<std::string> skipped;
};

// The identification a derived object copies from the images it refers to.
struct TSourceInfo {
  std::string charset;  // Specific Character Set of the image, as written
  std::string patientName, patientId, patientBirthDate, patientSex;
  std::string studyInstanceUid, studyDate, studyTime, studyId, accessionNumber, referringPhysician,
      studyDescription;
  // Modality rescale of the images: the state's window is in rescaled units
  // and a state without these would have the images shown unrescaled.
  bool hasRescale = false;
  double rescaleSlope = 1, rescaleIntercept = 0;
  std::string rescaleType;
  int32_t columns = 0, rows = 0;  // of the images: the default displayed area
  // The image itself, for references to it.
  std::string seriesInstanceUid, sopClassUid, sopInstanceUid;
  int32_t frames = 1;
  bool colour = false;  // more than one sample per pixel, or a palette
  std::string manufacturer = "Tavrolen";
};

// Reads the identification (and rescale) of an image file's header; false
// when it has no Study Instance UID.
bool ReadSourceInfo(const std::string& imagePath, TSourceInfo& info, std::string& why);

// A fresh UID under the 2.25 (UUID) root.
std::string NewDicomUid();

// Writes a Grayscale (or, with ps.colour, Color) Softcopy Presentation State
// with new series and instance UIDs into outPath through a temporary file.
// Annotations whose geometry the standard does not allow (a polyline of one
// point, an ellipse not of four) are refused with the reason in `why`.
// Sets ps.sopInstanceUid, seriesInstanceUid and studyInstanceUid.
bool WritePresentationState(TPresentationState& ps, const TSourceInfo& source,
                            const std::string& outPath, std::string& why);

// Reads any softcopy presentation state into ps. False (with `why`) only when
// the file is no presentation state at all; parts that are malformed (counts
// that disagree with the data, unknown units or types) are left out, each
// with a reason in ps.skipped.
bool ReadPresentationState(const std::string& path, TPresentationState& ps, std::string& why);

// The SOP Class UID of a DICOM file, reading no further than it; empty when
// the file is no readable DICOM.
std::string SopClassOfFile(const std::string& path);

// Whether a SOP class UID is one of the softcopy presentation state classes.
bool IsPresentationStateClass(const std::string& sopClassUid);

inline constexpr const char* kGrayscalePresentationStateClass = "1.2.840.10008.5.1.4.1.1.11.1";
inline constexpr const char* kColorPresentationStateClass = "1.2.840.10008.5.1.4.1.1.11.2";
