// What the installed viewer relies on: the icon compiled in, the desktop
// entry's id, and the demo study kept in the user's cache.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>
#include <thread>

#include "app/DemoCache.h"
#include "app/Icons.h"
#include "app/Unit1.h"

namespace {

TEST(ApplicationIcon, EveryThemeSizeIsCompiledInAndIsTheWindowIcon) {
  const QIcon icon = icons::Application();
  ASSERT_FALSE(icon.isNull());
  const QList<QSize> sizes = icon.availableSizes();
  for (int s : {16, 22, 24, 32, 48, 64, 128, 256}) EXPECT_TRUE(sizes.contains(QSize(s, s))) << s;
  // The tile is opaque inside and clear beyond its rounded corners.
  const QImage big = icon.pixmap(256).toImage();
  EXPECT_EQ(qAlpha(big.pixel(128, 30)), 255);
  EXPECT_EQ(qAlpha(big.pixel(2, 2)), 0);

  InitApplication();
  // Wayland matches the window to the installed entry by this id.
  const QString id = QGuiApplication::desktopFileName();
  EXPECT_TRUE(QFileInfo::exists(QString(TAVROLEN_SOURCE_DIR) + "/packaging/" + id + ".desktop"))
      << id.toStdString();
  TForm1 form;  // its theme's glyphs are drawn, the window icon stays
  EXPECT_EQ(form.windowIcon().availableSizes(), QApplication::windowIcon().availableSizes());
  EXPECT_EQ(form.windowIcon().cacheKey(), QApplication::windowIcon().cacheKey());
}

QStringList Entries(const QString& dir) {
  return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

TEST(DemoCache, WritesTheStudyOnceAndReusesIt) {
  QTemporaryDir root;
  QString error;
  const QString dir = DemoStudyFolder(&error, root.path());
  ASSERT_FALSE(dir.isEmpty()) << error.toStdString();
  EXPECT_TRUE(dir.startsWith(root.path() + "/tavrolen-viewer/demo-"));
  ASSERT_TRUE(QFileInfo::exists(dir + "/DICOMDIR"));
  EXPECT_GT(Entries(dir).size(), 2);

  // A second start finds it and writes nothing.
  QFile dicomDir(dir + "/DICOMDIR");
  ASSERT_TRUE(dicomDir.open(QIODevice::ReadWrite));
  const QDateTime old = QDateTime::currentDateTime().addDays(-3);
  ASSERT_TRUE(dicomDir.setFileTime(old, QFileDevice::FileModificationTime));
  dicomDir.close();
  EXPECT_EQ(DemoStudyFolder(&error, root.path()), dir);
  EXPECT_EQ(QFileInfo(dir + "/DICOMDIR").lastModified().toSecsSinceEpoch(), old.toSecsSinceEpoch());
  // No scratch folder is left beside it.
  EXPECT_EQ(Entries(root.path() + "/tavrolen-viewer"), QStringList{QFileInfo(dir).fileName()});
}

TEST(DemoCache, ReplacesABrokenEarlierAttempt) {
  QTemporaryDir root;
  QString error;
  const QString dir = DemoStudyFolder(&error, root.path());
  ASSERT_FALSE(dir.isEmpty());
  ASSERT_TRUE(QFile::remove(dir + "/DICOMDIR"));  // as a write cut short leaves it
  QFile junk(dir + "/junk");
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.close();
  EXPECT_EQ(DemoStudyFolder(&error, root.path()), dir);
  EXPECT_TRUE(QFileInfo::exists(dir + "/DICOMDIR"));
  EXPECT_FALSE(QFileInfo::exists(dir + "/junk"));
  EXPECT_EQ(Entries(root.path() + "/tavrolen-viewer").size(), 1);
}

TEST(DemoCache, TwoStartsAtOnceGetOneCompleteStudy) {
  QTemporaryDir root;
  QString a, b, errorA, errorB;
  std::thread t1([&] { a = DemoStudyFolder(&errorA, root.path()); });
  std::thread t2([&] { b = DemoStudyFolder(&errorB, root.path()); });
  t1.join();
  t2.join();
  ASSERT_FALSE(a.isEmpty()) << errorA.toStdString();
  EXPECT_EQ(a, b) << errorB.toStdString();
  EXPECT_TRUE(QFileInfo::exists(a + "/DICOMDIR"));
  EXPECT_EQ(Entries(root.path() + "/tavrolen-viewer").size(), 1);
}

TEST(DemoCache, ACacheThatCannotBeWrittenIsReported) {
  QTemporaryDir root;
  const QString notAFolder = root.path() + "/file";
  QFile f(notAFolder);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  QString error;
  EXPECT_TRUE(DemoStudyFolder(&error, notAFolder).isEmpty());
  EXPECT_FALSE(error.isEmpty());
}

}  // namespace
