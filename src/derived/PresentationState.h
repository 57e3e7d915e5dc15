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

enum class TTextJustification { Left, Right, Center };

struct TTextObject {
  std::string text;  // UTF-8
  bool hasBox = false;
  TGraphicUnits boxUnits = TGraphicUnits::Pixel;
  TPoint2 boxTopLeft, boxBottomRight;
  TTextJustification justification = TTextJustification::Left;
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
  // Recommended display colour (sRGB), when the layer gives one (a grey
  // value or a CIELab colour).
  bool hasColour = false;
  uint8_t red = 0, green = 0, blue = 0;
};

// A lookup table: entry i is the output of input value first + i; inputs
// outside take the nearest end. Outputs are `bits` wide (8 ... 16).
struct TStateLut {
  int32_t first = 0;
  // The descriptor's first value was written as unsigned and above 32767:
  // for signed data it means first - 65536.
  bool firstAmbiguous = false;
  int32_t bits = 16;
  std::vector<uint16_t> data;
  std::string explanation;
  bool operator==(const TStateLut&) const = default;
};

// Window in the units after the modality rescale, or a VOI lookup table in
// its place (hasLut); no images: every image.
struct TVoiWindow {
  std::vector<TImageRef> images;
  double center = 0, width = 1;
  std::string explanation;
  std::string function = "LINEAR";  // LINEAR, LINEAR_EXACT or SIGMOID
  bool hasLut = false;
  TStateLut lut;
};

// The part of the image shown: corners are 1-based pixel numbers (column,
// row); the corners may lie outside the image.
struct TDisplayedArea {
  std::vector<TImageRef> images;
  int32_t left = 1, top = 1, right = 1, bottom = 1;
  std::string sizeMode = "SCALE TO FIT";  // or TRUE SIZE, MAGNIFY
  double magnification = 1;               // MAGNIFY: screen pixels per image pixel
  // Presentation Pixel Spacing (mm, row then column); 0: not given.
  double rowSpacing = 0, columnSpacing = 0;
  // Presentation Pixel Aspect Ratio, vertical : horizontal.
  int32_t aspectVertical = 1, aspectHorizontal = 1;
};

// Display shutters: what lies outside every shutter given is covered.
// Coordinates are 1-based pixel numbers, as the attributes have them.
struct TShutter {
  bool rectangular = false, circular = false, polygonal = false, bitmap = false;
  int32_t left = 1, right = 1, top = 1, bottom = 1;  // columns and rows, inclusive
  int32_t centreRow = 0, centreColumn = 0, radius = 0;
  std::vector<TPoint2> polygon;  // x: column, y: row
  // BITMAP: the shutter overlay of the state; set bits are covered.
  int32_t bitmapRows = 0, bitmapColumns = 0, bitmapOriginRow = 1, bitmapOriginColumn = 1;
  std::vector<uint8_t> bitmapBits;  // one byte per overlay pixel, row by row
  // Shutter Presentation Value (0 ... 65535, a grey P-value), and the colour
  // when Shutter Presentation Color CIELab Value gives one (sRGB).
  uint16_t grey = 0;
  bool hasColour = false;
  uint8_t red = 0, green = 0, blue = 0;
  bool Any() const { return rectangular || circular || polygonal || bitmap; }
};

// An overlay plane carried by the state itself (group 60xx).
struct TStateOverlay {
  uint16_t group = 0x6000;
  int32_t rows = 0, columns = 0, originRow = 1, originColumn = 1;
  std::vector<uint8_t> bits;  // one byte per overlay pixel, row by row
  std::string layer;          // Overlay Activation Layer; empty: not shown
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

  // Modality transformation replacing the image's: a rescale, or a table.
  bool hasRescale = false;
  double rescaleSlope = 1, rescaleIntercept = 0;
  bool hasModalityLut = false;
  TStateLut modalityLut;
  // Presentation LUT: IDENTITY or INVERSE (empty: none given; written as
  // IDENTITY), or a table (read only).
  std::string presentationShape;
  bool hasPresentationLut = false;
  TStateLut presentationLut;

  TShutter shutter;
  // Overlay activation: the layer each 60xx group of the image or of the
  // state is shown on; a group not listed is not shown.
  std::vector<std::pair<uint16_t, std::string>> overlayLayers;
  std::vector<TStateOverlay> overlays;
  std::string manufacturer;  // of the equipment that wrote the state

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
