#include "app/SendDialog.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>
#include <mutex>

#include "app/DerivedLoading.h"
#include "app/PacsForm.h"
#include "app/SaveStates.h"
#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "net/Send.h"

TSendDialog::TSendDialog(QWidget* parent, std::vector<std::string> files, const QString& what,
                         std::vector<TPacsServer> servers)
    : QDialog(parent), files_(std::move(files)), servers_(std::move(servers)) {
  setWindowTitle("Send " + what);
  setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel("Server:"));
  serverBox = new QComboBox;
  for (const TPacsServer& s : servers_)
    serverBox->addItem(
        QString::fromStdString(s.name.empty() ? s.Describe() : s.name + " (" + s.Describe() + ")"));
  row->addWidget(serverBox, 1);
  layout->addLayout(row);
  status = new QLabel(QString("%1 files to send").arg(files_.size()));
  layout->addWidget(status);
  progress = new QProgressBar;
  progress->setRange(0, int(files_.size()));
  progress->setValue(0);
  layout->addWidget(progress);
  summary = new QPlainTextEdit;
  summary->setReadOnly(true);
  summary->hide();
  layout->addWidget(summary, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  sendButton = new QPushButton("Send");
  cancelButton = new QPushButton("Close");
  buttons->addWidget(sendButton);
  buttons->addWidget(cancelButton);
  layout->addLayout(buttons);
  sendButton->setEnabled(!servers_.empty() && !files_.empty());
  connect(sendButton, &QPushButton::clicked, this, [this] { Start(); });
  connect(cancelButton, &QPushButton::clicked, this, [this] {
    if (thread_) {
      cancel_ = true;
      status->setText("Cancelling...");
    } else {
      close();
    }
  });
  resize(520, 200);
}

TSendDialog::~TSendDialog() {
  if (thread_) {
    cancel_ = true;
    thread_->wait();
  }
}

QString TSendDialog::SummaryText(const TSendResult& r) {
  QString text = QString("Accepted %1, refused %2.").arg(r.Accepted()).arg(r.Refused());
  if (!r.why.empty()) text += "\n" + QString::fromStdString(r.why);
  for (const TSendOutcome& o : r.instances)
    if (!o.accepted)
      text += "\n" + QString::fromStdString(o.file) + ": " + QString::fromStdString(o.reason);
  if (!r.skipped.empty()) text += QString("\n%1 files not sent:").arg(r.skipped.size());
  for (const TSendSkip& s : r.skipped)
    text += "\n" + QString::fromStdString(s.file) + ": " + QString::fromStdString(s.reason);
  return text;
}

void TSendDialog::Start() {
  const int index = serverBox->currentIndex();
  if (thread_ || index < 0 || index >= int(servers_.size())) return;
  const TPacsServer server = servers_[size_t(index)];
  sendButton->setEnabled(false);
  serverBox->setEnabled(false);
  cancelButton->setText("Cancel");
  status->setText("Sending to " + QString::fromStdString(server.Describe()) + "...");
  cancel_ = false;
  // The worker owns its copy of the list and the result; the dialog gets
  // progress and the result by queued calls, so it may be shown on any
  // screen while the thread runs.
  thread_ = QThread::create([this, server, files = files_] {
    TSendHooks hooks;
    hooks.cancel = &cancel_;
    hooks.progress = [this](int done, int total, const TSendOutcome&) {
      QMetaObject::invokeMethod(
          this,
          [this, done, total] {
            progress->setRange(0, total);
            progress->setValue(done);
          },
          Qt::QueuedConnection);
    };
    TSendResult result;
    SendFiles(server, files, hooks, result);
    QMetaObject::invokeMethod(
        this, [this, result] { Done(result); }, Qt::QueuedConnection);
  });
  thread_->start();
}

void TSendDialog::Done(const TSendResult& result) {
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
  cancelButton->setText("Close");
  sendButton->setEnabled(true);
  serverBox->setEnabled(true);
  status->setText(result.AllAccepted() ? "Every instance was accepted."
                                       : "Not every instance was accepted.");
  summary->setPlainText(SummaryText(result));
  summary->show();
  emit sendFinished(result.AllAccepted());
}

void AddSendActions(QMenu& menu, TForm1* main, int p, int st, int se) {
  auto open = [main, p, st, se](bool wholeStudy) {
    std::vector<std::string> files;
    QString what;
    {
      std::lock_guard lock(gPatientsMutex);
      if (p < 0 || size_t(p) >= gPatients.size() || st < 0 ||
          size_t(st) >= gPatients[size_t(p)].studies.size())
        return;
      const TStudy& study = gPatients[size_t(p)].studies[size_t(st)];
      for (size_t k = 0; k < study.serieses.size(); ++k) {
        if (!wholeStudy && int(k) != se) continue;
        const TSeries& s = study.serieses[k];
        const bool listed = s.imagesListPath.size() == s.images.size();
        for (size_t i = 0; i < s.images.size(); ++i)
          files.push_back(listed ? s.imagesListPath[i] : s.images[i].imagePath);
        for (const TDocumentRecord& d : s.documents) files.push_back(d.path);
        if (!wholeStudy)
          what =
              QString("series %1 %2").arg(s.seriesNumber).arg(QString::fromStdString(s.modality));
      }
      if (wholeStudy)
        what = "study " + QString::fromStdString(study.description.empty() ? study.instanceUid
                                                                           : study.description);
    }
    // The reader's saved states and key images go with the images they refer to.
    for (std::string& derived : DerivedObjectsOf(files)) files.push_back(std::move(derived));
    for (std::string& drawn : DrawnObjectsOf(files)) files.push_back(std::move(drawn));
    std::vector<TPacsServer> servers;
    if (main->PacsForm) servers = main->PacsForm->Servers();
    if (servers.empty()) {
      QMessageBox::information(main, "Send",
                               "No server is configured: add one in the PACS window first.");
      return;
    }
    auto* dialog = new TSendDialog(main, std::move(files), what, std::move(servers));
    dialog->show();
  };
  if (se >= 0) menu.addAction("Send series to...", main, [open] { open(false); });
  menu.addAction("Send study to...", main, [open] { open(true); });
}
