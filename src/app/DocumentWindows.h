// The windows that show what a study holds besides images: structured
// reports, encapsulated documents (PDF, CDA) and waveforms. Each kind has a
// window of its own; this is the one door the browser, the open commands and
// the loaders use, chosen by the object's SOP class.
//
// UI thread only.
#pragma once

#include <string>

class QWidget;

// Opens (or raises, when it is open already) the window that shows the object
// in `path`. False, with a one-line reason, when the file is no such object or
// cannot be read; nothing is shown then.
bool OpenDocumentWindow(QWidget* parent, const std::string& path, std::string* why = nullptr);
