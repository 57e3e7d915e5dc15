// The render command's usage line: tavrolen-dicom shows it, and the renderer
// program it hands the command to (cmd_render_forward.cpp) runs it.
#pragma once

inline constexpr const char* kRenderUsage =
    "render FILE [--frame K] [--size WxH] [--ww W --wl L] [--invert] [--rotate 90|180|270] "
    "[--flip h|v] [--zoom Z] [--no-info] [--no-overlay] [--annotate \"A\"]... "
    "[--with OBJECT...] [--bitmap] "
    "[-o OUT.png|OUT.jpg] [--save-state STATE.dcm] (at least one of the two); A is one of: "
    "line|measure|rect|ellipse X1,Y1 X2,Y2 | "
    "angle X1,Y1 X2,Y2 X3,Y3 (vertex X2,Y2) | text X1,Y1 X2,Y2 TEXT; OBJECT is a segmentation, "
    "RT structure set, presentation state or key object selection of the image";
