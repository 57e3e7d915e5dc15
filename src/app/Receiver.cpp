#include "app/Receiver.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>

#include "app/SaveStates.h"
#include "app/Unit1.h"
#include "net/PacsServer.h"
#include "net/StorageListener.h"

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

bool ParseListenAddress(const QString& text, QString& ae, int& port, QString* why) {
  const qsizetype at = text.lastIndexOf('@');
  bool ok = false;
  const int p = at > 0 ? text.mid(at + 1).toInt(&ok) : 0;
  if (at <= 0 || !ok || p < 1 || p > 65535) {
    if (why) *why = "--listen takes AE@PORT (a port from 1 to 65535), not \"" + text + "\"";
    return false;
  }
  if (!IsValidAeTitle(text.left(at).toStdString())) {
    if (why) *why = "\"" + text.left(at) + "\" is not an AE title (1 to 16 characters)";
    return false;
  }
  ae = text.left(at);
  port = p;
  return true;
}

TReceiver::TReceiver(TForm1* main, QWidget* parent) : QGroupBox("Receive", parent), main_(main) {
  setObjectName("Receive");
  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(6, 2, 6, 2);
  grid->setHorizontalSpacing(4);
  grid->setVerticalSpacing(2);

  aeEdit = new QLineEdit("TAVROLEN", this);
  aeEdit->setObjectName("receiveAeEdit");
  aeEdit->setMaxLength(16);
  aeEdit->setFixedWidth(90);
  aeEdit->setToolTip("Our AE title: senders must call it");
  portSpinBox = new QSpinBox(this);
  portSpinBox->setObjectName("receivePortSpinBox");
  portSpinBox->setRange(1, 65535);
  portSpinBox->setValue(11112);
  portSpinBox->setToolTip("The port to listen on");
  portSpinBox->setFixedWidth(72);
  folderEdit = new QLineEdit(this);
  folderEdit->setObjectName("receiveFolderEdit");
  folderEdit->setPlaceholderText("temporary folder");
  folderEdit->setMinimumWidth(180);
  folderEdit->setToolTip(
      "Where received images are kept (STUDY/SERIES/SOP.dcm); empty: a "
      "temporary folder removed when the program ends");
  folderButton = new QToolButton(this);
  folderButton->setText("\u2026");
  folderButton->setToolTip("Choose the folder");
  allowedEdit = new QLineEdit(this);
  allowedEdit->setObjectName("receiveAllowedEdit");
  allowedEdit->setPlaceholderText("any sender");
  allowedEdit->setToolTip("Calling AE titles allowed to send, separated by commas; empty: any");
  startButton = new QPushButton("Start", this);
  startButton->setObjectName("receiveStartButton");
  statusLabel = new QLabel("Not listening", this);
  statusLabel->setObjectName("receiveStatusLabel");
  statusLabel->setMinimumWidth(240);
  statusLabel->setWordWrap(true);

  grid->addWidget(aeEdit, 0, 0);
  grid->addWidget(portSpinBox, 0, 1);
  grid->addWidget(folderEdit, 0, 2);
  grid->addWidget(folderButton, 0, 3);
  grid->addWidget(allowedEdit, 1, 0, 1, 2);
  grid->addWidget(startButton, 1, 2, 1, 2);
  grid->addWidget(statusLabel, 0, 4, 2, 1);

  flushTimer_ = new QTimer(this);
  flushTimer_->setInterval(kFlushMs);
  flushTimer_->setSingleShot(true);
  connect(flushTimer_, &QTimer::timeout, this, [this] { FlushArrivals(); });
  // Refusals come without arrivals; the status line shows them too.
  statusTimer_ = new QTimer(this);
  statusTimer_->setInterval(1000);
  connect(statusTimer_, &QTimer::timeout, this, [this] { UpdateStatus(); });

  connect(folderButton, &QToolButton::clicked, this, [this] {
    const QString dir = QFileDialog::getExistingDirectory(this, "Keep received images in");
    if (!dir.isEmpty()) folderEdit->setText(dir);
  });
  connect(startButton, &QPushButton::clicked, this, [this] {
    if (Listening())
      Stop();
    else
      Start();
  });
  UpdateControls();
}

TReceiver::~TReceiver() {
  // Joins the listener's threads before anything they call into goes.
  listener_.reset();
}

bool TReceiver::Listening() const {
  return listener_ && listener_->Running();
}

bool TReceiver::Start(QString* why) {
  if (Listening()) return true;
  auto fail = [&](const QString& reason) {
    error_ = reason;
    UpdateStatus();
    if (why) *why = reason;
    return false;
  };
  TListenerConfig config;
  config.aeTitle = aeEdit->text().trimmed().toStdString();
  config.port = portSpinBox->value();
  for (const QString& ae :
       allowedEdit->text().split(QRegularExpression("[,\\s]+"), Qt::SkipEmptyParts))
    config.allowedCallingAes.push_back(ae.toStdString());
  config.dir = folderEdit->text().trimmed().toStdString();
  if (config.dir.empty()) {
    // One temporary folder for the run, whether started once or many times.
    if (!temp_.IsValid()) {
      tempcleanup::RemoveStaleTempFolders(tempcleanup::TempRoot(), kReceiveTempPrefix);
      std::string reason;
      if (!temp_.Create(tempcleanup::TempRoot(), kReceiveTempPrefix, reason))
        return fail(Q(reason));
    }
    config.dir = temp_.Path();
  }
  auto listener = std::make_unique<TStorageListener>(config);
  // The header is read on the listener's thread, off the UI thread.
  QPointer<TReceiver> self(this);
  listener->onStored = [self](const TStoredInstance& inst, const std::string&) {
    TArrival arrival = ReadArrival(inst.path);
    arrival.seriesUid = inst.seriesUid;
    QMetaObject::invokeMethod(
        self,
        [self, arrival = std::move(arrival)]() mutable {
          if (self) self->Arrived(std::move(arrival));
        },
        Qt::QueuedConnection);
  };
  std::string reason;
  if (!listener->Start(reason)) return fail(Q(reason));
  listener_ = std::move(listener);
  dir_ = config.dir;
  error_.clear();
  statusTimer_->start();
  UpdateStatus();
  UpdateControls();
  return true;
}

bool TReceiver::StartListening(const QString& aeAtPort, QString* why) {
  QString ae;
  int port = 0;
  if (!ParseListenAddress(aeAtPort, ae, port, why)) return false;
  aeEdit->setText(ae);
  portSpinBox->setValue(port);
  return Start(why);
}

void TReceiver::Stop() {
  if (listener_) listener_->Stop();
  // What came before the stop was queued by then: file it with the rest.
  QCoreApplication::sendPostedEvents(this);
  FlushArrivals();
  statusTimer_->stop();
  UpdateStatus();
  listener_.reset();
  dir_.clear();
  UpdateControls();
}

void TReceiver::Arrived(TArrival arrival) {
  pending_.push_back(std::move(arrival));
  // The first image goes into the tree at once, the rest in batches.
  if (received_ == 0 && autoShown_.empty())
    FlushArrivals();
  else if (!flushTimer_->isActive())
    flushTimer_->start();
}

void TReceiver::FlushArrivals() {
  flushTimer_->stop();
  if (pending_.empty()) return;
  std::vector<TArrival> batch;
  batch.swap(pending_);
  std::string study;
  for (const TArrival& a : batch)
    if (a.imgOK) {
      study = a.header.Study_Instance_UID;
      break;
    }
  const TFilingOutcome filed = FileArrivals(*main_, batch);
  received_ += filed.added;
  if (filed.added > 0) MarkPendingKeyImages();  // documents that came before their images
  for (const std::string& n : filed.notShown) notShown_ << Q(n);
  if (filed.newSeries || filed.documents > 0) main_->RebuildBrowser();
  if (filed.added > 0) {
    // Into an empty grid (at the start, or after the user cleared it) the
    // study that arrives shows itself, and its cells follow the first images
    // as earlier ones come in.
    bool gridEmpty = true;
    for (auto& row : main_->AdvancedImages)
      for (TadvancedImage* cell : row) gridEmpty = gridEmpty && !cell->HasImage;
    if (gridEmpty && !study.empty())
      autoShown_ = ShowStudyIfGridEmpty(*main_, study);
    else
      KeepOnFirstImages(*main_, autoShown_);
    main_->EnableStudyTools();
  }
  UpdateStatus();
}

void TReceiver::UpdateStatus() {
  if (!Listening()) {
    if (!error_.isEmpty())
      statusLabel->setText("Not listening: " + error_);
    else if (received_ > 0)
      statusLabel->setText("Not listening (" + QString::number(received_) + " received)");
    else
      statusLabel->setText("Not listening");
    statusLabel->setToolTip(error_);
    return;
  }
  const TListenerConfig& c = listener_->Config();
  QString text = "Listening as " + Q(c.aeTitle) + " on port " + QString::number(c.port) + ": " +
                 QString::number(listener_->ReceivedCount()) + " received";
  const size_t refused = listener_->RefusedCount();
  if (refused > 0) text += ", " + QString::number(refused) + " refused";
  if (!notShown_.isEmpty()) text += ", " + QString::number(notShown_.size()) + " not shown";
  statusLabel->setText(text);
  QStringList tip;
  tip << "Folder: " + Q(dir_);
  for (const std::string& r : listener_->LastReasons()) tip << Q(r);
  for (const QString& n : notShown_) tip << n;
  statusLabel->setToolTip(tip.join("\n"));
}

void TReceiver::UpdateControls() {
  const bool on = Listening();
  startButton->setText(on ? "Stop" : "Start");
  for (QWidget* w :
       std::initializer_list<QWidget*>{aeEdit, portSpinBox, folderEdit, folderButton, allowedEdit})
    w->setEnabled(!on);
}
