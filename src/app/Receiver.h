// The Settings tab's Receive group: a storage SCP the user starts for the
// run (or `tavrolen-viewer --listen AE@PORT` starts), so modalities and
// archives can send images to the viewer. What arrives is checked by the
// listener, written under the chosen folder (or a temporary folder removed at
// exit) and filed into the study tree as a folder load files it, in batches
// on the UI thread so thumbnails appear as series arrive. An instance the
// tree already holds is not filed twice.
#pragma once

#include <QGroupBox>
#include <QPointer>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "app/PacsFiling.h"
#include "dicom/TempCleanup.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;
class QToolButton;
class TForm1;
class TStorageListener;

// Names the temporary folder of received files: "<prefix>-<pid>-XXXXXX".
inline constexpr const char* kReceiveTempPrefix = "tavrolen-receive";

// "AE@PORT" as --listen takes it. False with a one-line reason.
bool ParseListenAddress(const QString& text, QString& ae, int& port, QString* why = nullptr);

class TReceiver : public QGroupBox {
  Q_OBJECT
 public:
  explicit TReceiver(TForm1* main, QWidget* parent = nullptr);
  // Stops the listener; the temporary folder (if one was made) goes.
  ~TReceiver() override;

  QLineEdit* aeEdit;
  QSpinBox* portSpinBox;
  QLineEdit* folderEdit;  // empty: a temporary folder
  QToolButton* folderButton;
  QLineEdit* allowedEdit;  // calling AE titles, separated by commas or blanks
  QPushButton* startButton;
  QLabel* statusLabel;

  // Starts with the fields' values; false with the reason, which the status
  // line shows too.
  bool Start(QString* why = nullptr);
  // Sets the fields from "AE@PORT" and starts.
  bool StartListening(const QString& aeAtPort, QString* why = nullptr);
  // Files what is still pending, then stops listening.
  void Stop();
  bool Listening() const;
  // Instances filed into the tree since the program started.
  int Received() const { return received_; }
  // Where the instances go while listening ("" when stopped).
  QString Folder() const { return QString::fromStdString(dir_); }

  // Files what has arrived so far (also run by a timer every kFlushMs).
  void FlushArrivals();
  static constexpr int kFlushMs = 300;

 private:
  void Arrived(TArrival arrival);
  void UpdateStatus();
  void UpdateControls();

  TForm1* main_;
  std::unique_ptr<TStorageListener> listener_;
  tempcleanup::TTempFolder temp_;
  std::string dir_;
  std::vector<TArrival> pending_;
  QTimer* flushTimer_;
  QTimer* statusTimer_;
  int received_ = 0;
  QStringList notShown_;
  QString error_;  // why the last start failed
  std::vector<TAutoShown> autoShown_;
};
