// Enumerations shared by the image control and its helpers.
#pragma once

// The orientation state names, for each side of the view, the side of the
// unturned image shown there.
enum Directions { DrTop = 0, DrRight = 1, DrBottom = 2, DrLeft = 3 };

// Clockwise turns.
enum RotateAngels { Angel90, Angel180, Angel270 };

// Mirroring left-right (flHorizontal) or top-bottom (flVertical) as the user sees it.
enum FlipTypes { flHorizontal, flVertical };

// Mirroring of a bitmap: HORIZONTAL maps column x to W - 1 - x, VERTICAL row y to H - 1 - y.
enum class FlipMode { VERTICAL = 0, HORIZONTAL = 1 };
