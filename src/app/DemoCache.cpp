#include "app/DemoCache.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <string>

#include "app/DemoStudy.h"

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
  QTemporaryDir scratch(dir + ".tmp-XXXXXX");
  std::string why;
  if (!scratch.isValid() ||
      !demo::WriteDemoStudy(QFile::encodeName(scratch.path()).toStdString(), nullptr, &why)) {
    if (error) *error = why.empty() ? "cannot write into " + base : QString::fromStdString(why);
    return {};
  }
  if (QDir().rename(scratch.path(), dir)) return dir;
  if (QFileInfo::exists(dir + "/DICOMDIR")) return dir;  // another viewer was first
  // What stands there is an earlier, broken attempt: replace it.
  QDir(dir).removeRecursively();
  if (QDir().rename(scratch.path(), dir)) return dir;
  if (error) *error = "cannot create " + dir;
  return {};
}
