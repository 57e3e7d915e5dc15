#include "app/DemoCache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <string>

#include "dicom/TempCleanup.h"
#include "study/DemoStudy.h"

#ifndef TAVROLEN_VERSION
#define TAVROLEN_VERSION "1.0"
#endif

QString DemoStudyFolder(QString* error, const QString& cacheRoot) {
  QString root = cacheRoot;
  if (root.isEmpty()) root = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
  if (root.isEmpty()) {
    if (error) *error = "no cache folder to write the demo study into";
    return {};
  }
  const QString base = root + "/tavrolen-viewer";
  const QString dir = base + "/demo-" TAVROLEN_VERSION;
  if (QFileInfo::exists(dir + "/DICOMDIR")) return dir;

  // Written beside its place and moved there in one step, so a second viewer
  // started meanwhile never opens a half-written study.
  if (!QDir().mkpath(base)) {
    if (error) *error = "cannot create " + base;
    return {};
  }
  // A scratch folder a killed viewer left is taken away first.
  const std::string baseName = QFile::encodeName(base).toStdString();
  const std::string prefix = "demo-" TAVROLEN_VERSION ".tmp";
  tempcleanup::RemoveStaleTempFolders(baseName, prefix);
  tempcleanup::TTempFolder scratch;
  std::string why;
  if (!scratch.Create(baseName, prefix, why) ||
      !demo::WriteDemoStudy(scratch.Path(), nullptr, &why)) {
    if (error) *error = why.empty() ? "cannot write into " + base : QString::fromStdString(why);
    return {};
  }
  const QString scratchPath = QFile::decodeName(scratch.Path().c_str());
  if (QDir().rename(scratchPath, dir)) {
    scratch.Release();
    return dir;
  }
  if (QFileInfo::exists(dir + "/DICOMDIR")) return dir;  // another viewer was first
  // What stands there is an earlier, broken attempt: replace it (a link
  // there is removed as a link, never followed).
  tempcleanup::RemoveTreeNoAlloc(QFile::encodeName(dir).constData());
  if (QDir().rename(scratchPath, dir)) {
    scratch.Release();
    return dir;
  }
  if (error) *error = "cannot create " + dir;
  return {};
}
