// The visual themes of the application. A theme is a Qt style, a palette, a
// style sheet for the tool buttons and the colours of the program's glyphs;
// applying one changes the whole application at once. The display colours
// (TSettings) are in the viewer layer, where the cells read them.
#pragma once

#include <QString>
#include <QStringList>

#include "app/Icons.h"

namespace themes {

inline constexpr const char* kGlossy = "Glossy";
inline constexpr const char* kTurquoiseGray = "Turquoise Gray";

// The themes in the order the Settings tab offers them.
QStringList Names();
// Applies a theme to the whole application; false (nothing changed) for an
// unknown name. Needs a QApplication.
bool Apply(const QString& name);
// The theme applied last (empty before the first Apply).
QString Current();
// The glyph colours that go with a theme.
icons::TIconPalette IconPalette(const QString& name);

}  // namespace themes
