// tavrolen-viewer [--screenshot FILE] [--servers FILE] [PATH...]
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "app/ThumbnailsToolUnit.h"
#include "app/Unit1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  InitApplication();

  QCommandLineParser parser;
  parser.setApplicationDescription("Desktop viewer for DICOM images.");
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption screenshot(
      "screenshot", "Save a picture of the main window to FILE once it is up, then quit.", "FILE");
  parser.addOption(screenshot);
  QCommandLineOption servers("servers",
                             "Offer the PACS servers of FILE (JSON) in the PACS window; "
                             "nothing is stored between runs.",
                             "FILE");
  parser.addOption(servers);
  parser.addPositionalArgument("PATH", "Image files, folders or DICOMDIR files to open.",
                               "[PATH...]");
  parser.process(app);

  TForm1 form;
  if (parser.isSet(servers)) {
    QString why;
    if (!form.AddPacsServersFile(parser.value(servers), &why)) {
      std::fprintf(stderr, "tavrolen-viewer: %s\n", qPrintable(why));
      return 2;
    }
  }
  form.showMaximized();

  // Paths open once the window is up, one after the other.
  const QStringList paths = parser.positionalArguments();
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
        const bool ok = form.grab().save(file);
        if (!ok) std::fprintf(stderr, "tavrolen-viewer: cannot write %s\n", qPrintable(file));
        QApplication::exit(ok ? 0 : 1);
      });
    });
    QTimer::singleShot(300, poll, qOverload<>(&QTimer::start));
  }
  return app.exec();
}
