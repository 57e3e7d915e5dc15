// The demo study behind `tavrolen-viewer --demo`, kept in the user's cache so
// an installed viewer has something to show without a build tree.
#pragma once

#include <QString>

// The folder holding this version's demo study under cacheRoot (the user's
// cache folder when empty), written first when it is missing. Empty, with the
// reason in *error, when it cannot be written.
QString DemoStudyFolder(QString* error, const QString& cacheRoot = {});
