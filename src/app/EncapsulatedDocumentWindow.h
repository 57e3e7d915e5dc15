// The window of an encapsulated document: PDF pages, or a CDA document's text.
#pragma once

#include <string>

class QWidget;

// Opens (or raises) the window of the encapsulated document in `path`; false
// with a one-line reason when it cannot be read or shown.
bool OpenEncapsulatedDocumentWindow(QWidget* parent, const std::string& path, std::string* why);
