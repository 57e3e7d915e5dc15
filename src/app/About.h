// What the viewer says about its licence: after the version line of
// --version, and in the About text of the logo's tooltip. The libraries are
// linked from the system, so their notices live in the package's copyright
// file rather than here.
#pragma once

inline constexpr const char* kLicenceNotice =
    "Licensed under the Apache License, Version 2.0.\n"
    "The libraries it uses keep their own licences: see "
    "/usr/share/doc/tavrolen-viewer/copyright.";
