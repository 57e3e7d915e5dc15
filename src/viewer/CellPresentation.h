// A softcopy presentation state applied to a cell: its lookup tables or
// window, polarity, turn, displayed area, shutters, overlay activation and
// annotations, for the image the cell shows. The cell keeps the applied
// state (TadvancedImage::presentation) until another image is shown, the
// cell is reset or ClearPresentationState is called.
//
// Annotations of the viewer's own states go into the annotation store as
// editable shapes (they come back as they were saved); other producers'
// annotations are drawn from the state as written, in PIXEL or DISPLAY units,
// and are not edited.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "derived/PresentationState.h"
#include "pixels/WindowLevel.h"

class QImage;
class QPainter;
class QTransform;
class TadvancedImage;

struct TCellPresentation {
  std::string path;  // the state's file
  TPresentationState state;
  std::string sopInstanceUid;  // the image it was applied to
  int columns = 0, rows = 0;   // of that image
  // Grey levels of every stored word when the state's tables (or a window
  // function other than LINEAR) take the window's place; null otherwise.
  std::shared_ptr<const WordGreyTable> wordTable;
  bool imageOverlayShown = true;  // the image's own overlay plane is activated
  // Annotations drawn from the state (those not put into the store).
  std::vector<TGraphicAnnotation> drawn;
  bool hasArea = false;
  TDisplayedArea area;
};

// Reads the state at path and applies it to the image the cell shows. False
// with why when the file is no presentation state or names nothing shown.
bool ApplyPresentationStateFile(TadvancedImage& cell, const std::string& path, std::string& why);
// The same for a state already read (from path).
bool ApplyPresentationState(TadvancedImage& cell, const TPresentationState& ps,
                            const std::string& path, std::string& why);
// Back to the image without a state: the header's window, no shutter, no turn.
void ClearPresentationState(TadvancedImage& cell);
// Whether a state was written by this viewer: its annotations are the
// viewer's own shapes.
bool IsOwnPresentationState(const TPresentationState& ps);

// Grey levels of every stored word through the state's modality, VOI and
// presentation transformations for an image with that rescale and word
// signedness; null when a plain window does the job.
std::shared_ptr<const WordGreyTable> PresentationWordTable(const TPresentationState& ps,
                                                           const TVoiWindow* voi, double imageSlope,
                                                           double imageIntercept,
                                                           bool unsignedWords, bool imageSigned);

// Paints the state's activated overlays and its shutter into bmp, the
// freshly built, unturned bitmap of the image.
void PaintPresentationOnBitmap(QImage& bmp, const TCellPresentation& p);
// Unturned pixel coordinates (origin at the top left corner of the top left
// pixel of an image of columns x rows) to the cell's view, as it draws now.
QTransform PixelToViewTransform(const TadvancedImage& cell, double columns, double rows);
// Draws the state's own annotations over the cell's picture (the cell's
// locks held).
void DrawPresentation(const TadvancedImage& cell, QPainter& painter);
