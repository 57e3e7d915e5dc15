// Anchor of the Qt-side pixel library; its units are listed in CMakeLists.txt.
