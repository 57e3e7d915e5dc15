// The program's own glyphs, drawn with QPainter at start-up and again when the
// theme changes, so they stay legible on light and dark palettes alike.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QStringList>

namespace icons {

struct TIconPalette {
  QColor ink{0x24, 0x34, 0x46};     // outlines and symbols
  QColor accent{0x1e, 0x7f, 0xd8};  // the part that says what the command does
  QColor paper{0xff, 0xff, 0xff};   // fills inside outlines
  QColor warn{0xd3, 0x2f, 0x2f};    // delete, close, cancel
};

// Every glyph name Make knows.
QStringList Names();
// The glyph of a command; an unknown name gives a null icon.
QIcon Make(const QString& name, const TIconPalette& palette);
// The same glyph as one pixmap of the given side.
QPixmap Pixmap(const QString& name, const TIconPalette& palette, int side);
// The logo of the tool area.
QPixmap Logo(const TIconPalette& palette, QSize size);
// The application's icon (the window icon), at every size the icon theme
// installs; the same pictures, compiled in.
QIcon Application();

}  // namespace icons
