// tavrolen-viewer [--demo] [--screenshot FILE] [--cache-mb N] [--servers FILE]
//                 [--listen AE@PORT] [PATH...]
#include <QApplication>
#include <QBuffer>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/About.h"
#include "app/DemoCache.h"
#include "app/FrameCacheSetting.h"
#include "app/PacsForm.h"
#include "app/Receiver.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/Unit1.h"
#include "dicom/SafeOutput.h"
#include "dicom/TempCleanup.h"
#include "pixels/FrameCache.h"

namespace {

// --help and --version are answered before the window system is reached, so
// they work on a terminal without a display (and in package checks).
void AnswerHelpOrVersion(QCommandLineParser& parser, int argc, char** argv) {
  bool asked = false;
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
    for (const char* o : {"-h", "-?", "--help", "--help-all", "-v", "--version"})
      asked = asked || std::strcmp(argv[i], o) == 0;
  if (!asked) return;
  QCoreApplication core(argc, argv);
  InitApplicationNames();
  parser.parse(core.arguments());  // unknown (e.g. Qt's own) options do not matter here
  if (parser.isSet("version")) {
    // QCommandLineParser::showVersion() would print the version line only.
    std::printf("%s %s\n%s\n", qPrintable(QCoreApplication::applicationName()),
                qPrintable(QCoreApplication::applicationVersion()), kLicenceNotice);
    std::exit(0);
  }
  parser.showHelp();
}

// Encoded in memory first, then written so that a failure leaves FILE as it was.
bool SaveScreenshot(const QImage& picture, const QString& file) {
  QByteArray format = QFileInfo(file).suffix().toLatin1();
  if (format.isEmpty() || file == "-") format = "PNG";
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!picture.save(&buffer, format.constData())) {
    std::fprintf(stderr, "tavrolen-viewer: cannot write %s: no picture in that format\n",
                 qPrintable(file));
    return false;
  }
  std::string why;
  if (!WriteFileSafely(QFile::encodeName(file).toStdString(),
                       std::string_view(bytes.constData(), size_t(bytes.size())), why)) {
    std::fprintf(stderr, "tavrolen-viewer: %s\n", why.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCommandLineParser parser;
  parser.setApplicationDescription("Desktop viewer for DICOM images.");
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption screenshot(
      "screenshot",
      "Save a picture of the main window to FILE once everything given has loaded, then quit.",
      "FILE");
  parser.addOption(screenshot);
  QCommandLineOption demo(
      "demo", "Also open the built-in demo study (written once into the user's cache folder).");
  parser.addOption(demo);
  QCommandLineOption cacheMb(
      "cache-mb",
      "Memory for decoded frames in this run, in megabytes (default: a quarter of "
      "physical memory, at most 4096).",
      "N");
  parser.addOption(cacheMb);
  QCommandLineOption servers("servers",
                             "Offer the PACS servers of FILE (JSON) in the PACS window; "
                             "nothing is stored between runs.",
                             "FILE");
  parser.addOption(servers);
  QCommandLineOption listen("listen",
                            "Receive images for this run: a storage SCP answering to AE on "
                            "PORT, filing what arrives into the tree.",
                            "AE@PORT");
  parser.addOption(listen);
  parser.addPositionalArgument("PATH", "Image files, folders or DICOMDIR files to open.",
                               "[PATH...]");
  AnswerHelpOrVersion(parser, argc, argv);
  // Temporary folders go on SIGINT, SIGTERM and SIGHUP as at a normal exit;
  // those a crashed run of this user left behind go now.
  tempcleanup::InstallHandlers();
  tempcleanup::RemoveStaleTempFolders(tempcleanup::TempRoot(), kPacsTempPrefix);

  QApplication app(argc, argv);
  InitApplication();
  parser.process(app);
  if (parser.isSet(cacheMb)) {
    int64_t mib = 0;
    QString why;
    if (!ParseCacheMegabytes(parser.value(cacheMb), mib, &why)) {
      std::fprintf(stderr, "tavrolen-viewer: %s\n", qPrintable(why));
      return 2;
    }
    FrameCache::Shared().SetBudget(mib << 20);
  }

  TForm1 form;
  if (parser.isSet(servers)) {
    QString why;
    if (!form.AddPacsServersFile(parser.value(servers), &why)) {
      std::fprintf(stderr, "tavrolen-viewer: %s\n", qPrintable(why));
      return 2;
    }
  }
  if (parser.isSet(listen)) {
    QString why;
    if (!form.Receiver->StartListening(parser.value(listen), &why)) {
      std::fprintf(stderr, "tavrolen-viewer: %s\n", qPrintable(why));
      return 2;
    }
  }
  form.showMaximized();

  // Paths open once the window is up, one after the other.
  QStringList paths = parser.positionalArguments();
  if (parser.isSet(demo)) {
    QString error;
    const QString folder = DemoStudyFolder(&error);
    if (folder.isEmpty())
      std::fprintf(stderr, "tavrolen-viewer: no demo study: %s\n", qPrintable(error));
    else
      paths.prepend(folder);
  }
  QTimer::singleShot(0, &form, [&form, paths] {
    if (!paths.isEmpty()) form.OpenPaths(paths);
  });

  if (parser.isSet(screenshot)) {
    const QString file = parser.value(screenshot);
    // After everything given has loaded, the thumbnails are in (for a few
    // seconds at most) and the grid has been painted.
    auto* poll = new QTimer(&form);
    poll->setInterval(100);
    auto idleSince = std::make_shared<QElapsedTimer>();
    QObject::connect(poll, &QTimer::timeout, &form, [&form, poll, file, idleSince] {
      if (!form.IsIdle()) {
        idleSince->invalidate();
        return;
      }
      if (!idleSince->isValid()) idleSince->start();
      if (form.ThumbnailsTool->PendingThumbnails() > 0 && idleSince->elapsed() < 10000) return;
      poll->stop();
      QTimer::singleShot(300, &form, [&form, file] {
        const bool ok = SaveScreenshot(form.grab().toImage(), file);
        QApplication::exit(ok ? 0 : 1);
      });
    });
    QTimer::singleShot(300, poll, qOverload<>(&QTimer::start));
  }
  return app.exec();
}
