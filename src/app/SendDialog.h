// "Send to...": a study or series of the browser sent to one of the servers
// the PACS window holds, on a worker thread, with progress, Cancel and a
// summary of what the server refused and why.
#pragma once

#include <QDialog>
#include <atomic>
#include <string>
#include <vector>

#include "net/PacsServer.h"
#include "net/SendTypes.h"

class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QThread;
class TForm1;

class TSendDialog : public QDialog {
  Q_OBJECT
 public:
  // files: what to send; what: "series 2 CT Chest" for the title.
  TSendDialog(QWidget* parent, std::vector<std::string> files, const QString& what,
              std::vector<TPacsServer> servers);
  // Cancels a running send and waits for its thread.
  ~TSendDialog() override;

  // The summary shown when a send ends: counts, then each refused file with
  // its reason.
  static QString SummaryText(const TSendResult& result);

  QComboBox* serverBox;
  QPushButton* sendButton;
  QPushButton* cancelButton;  // cancels a running send, else closes
  QProgressBar* progress;
  QLabel* status;
  QPlainTextEdit* summary;
  bool Running() const { return thread_ != nullptr; }

 signals:
  void sendFinished(bool allAccepted);

 private:
  void Start();
  void Done(const TSendResult& result);

  std::vector<std::string> files_;
  std::vector<TPacsServer> servers_;
  std::atomic<bool> cancel_{false};
  QThread* thread_ = nullptr;
};

// The browser's menu entries: "Send series to..." and "Send study to...".
void AddSendActions(QMenu& menu, TForm1* main, int patient, int study, int series);
