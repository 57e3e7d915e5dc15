// The open-image dialog. Its "DICOM Files" filter goes by what DICOM files are
// called in practice, not by one extension: CD images are often IM0001 or
// named by their instance UID (1.2.840....), so names without an extension or
// with a numeric one are listed beside .dcm and the like; "All Files" lists
// everything (reports too).
#pragma once

#include <QString>

class QFileDialog;
class QWidget;

inline constexpr const char* kDicomFilesFilter = "DICOM Files (*)";
inline constexpr const char* kAllFilesFilter = "All Files (*)";

// A file name the "DICOM Files" filter lists.
bool LooksLikeDicomFileName(const QString& name);

// A non-native dialog (the filter needs the widget dialog's model) for one
// existing file, starting in dir.
QFileDialog* NewImageOpenDialog(QWidget* parent, const QString& dir);
