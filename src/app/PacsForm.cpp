#include "app/PacsForm.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/SaveStates.h"
#include "app/Unit1.h"
#include "dicom/DicomCharset.h"
#include "dicom/dicom_values.h"
#include "net/PacsClient.h"
#include "net/Retrieval.h"
#include "net/ServersFile.h"

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// A date as the viewer shows every date; anything that is not one as sent.
QString ShowDate(const std::string& d) {
  return Q(FormatDicomDate(d));
}

// Rows that sort dates and counts by their value, not their text.
class TMatchItem : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    const QVariant a = data(column, Qt::UserRole + 1), b = other.data(column, Qt::UserRole + 1);
    if (a.isValid() && b.isValid()) return a.toLongLong() < b.toLongLong();
    return text(column).localeAwareCompare(other.text(column)) < 0;
  }
};

constexpr int kUidRole = Qt::UserRole;
constexpr int kSortRole = Qt::UserRole + 1;
// Arrivals are filed in batches: the first at once (so the first image shows
// early), the rest at this interval, so the tree is not locked per file.
constexpr int kFlushIntervalMs = 150;

class TServerDialog : public QDialog {
 public:
  TServerDialog(QWidget* parent, const TPacsServer& s) : QDialog(parent) {
    setWindowTitle("PACS Server");
    setObjectName("pacsServerDialog");
    auto* form = new QFormLayout(this);
    name = new QLineEdit(Q(s.name));
    kind = new QComboBox;
    kind->addItems({"DICOM (DIMSE)", "DICOMweb"});
    kind->setCurrentIndex(s.kind == TPacsKind::DicomWeb ? 1 : 0);
    host = new QLineEdit(Q(s.host));
    port = new QSpinBox;
    port->setRange(1, 65535);
    port->setValue(s.port > 0 ? s.port : 104);
    calledAe = new QLineEdit(Q(s.calledAe));
    callingAe = new QLineEdit(Q(s.callingAe));
    movePort = new QSpinBox;
    movePort->setRange(0, 65535);
    movePort->setSpecialValueText("C-GET");
    movePort->setValue(s.movePort);
    path = new QLineEdit(Q(s.path));
    tls = new QCheckBox("Use TLS (https)");
    tls->setChecked(s.tls);
    user = new QLineEdit(Q(s.user));
    password = new QLineEdit(Q(s.password));
    password->setEchoMode(QLineEdit::Password);
    for (QLineEdit* ae : {calledAe, callingAe}) ae->setMaxLength(16);
    form->addRow("Name", name);
    form->addRow("Kind", kind);
    form->addRow("Host", host);
    form->addRow("Port", port);
    form->addRow("Called AE", calledAe);
    form->addRow("Calling AE", callingAe);
    form->addRow("C-MOVE to port", movePort);
    form->addRow("Service path", path);
    form->addRow("", tls);
    form->addRow("User", user);
    form->addRow("Password", password);
    error = new QLabel;
    error->setStyleSheet("color: #c62828");
    form->addRow(error);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
      TPacsServer t;
      std::string why;
      if (Read(t, why))
        accept();
      else
        error->setText(Q(why));
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(kind, &QComboBox::currentIndexChanged, this, [this] { Enable(); });
    Enable();
  }

  bool Read(TPacsServer& out, std::string& why) const {
    TPacsServer s;
    s.name = name->text().trimmed().toStdString();
    s.callingAe = callingAe->text().trimmed().toStdString();
    s.user = user->text().trimmed().toStdString();
    s.password = password->text().toStdString();
    s.movePort = movePort->value();
    if (!IsValidAeTitle(s.callingAe)) {
      why = "The calling AE title must have 1 to 16 characters.";
      return false;
    }
    const std::string h = host->text().trimmed().toStdString();
    const std::string hostText = h.find(':') != std::string::npos ? "[" + h + "]" : h;
    std::string address;
    if (kind->currentIndex() == 0) {
      address = "dicom://" + calledAe->text().trimmed().toStdString() + "@" + hostText + ":" +
                std::to_string(port->value());
    } else {
      std::string p = path->text().trimmed().toStdString();
      if (p.empty() || p[0] != '/') p = "/" + p;
      address = std::string(tls->isChecked() ? "dicomweb+https://" : "dicomweb+http://") +
                hostText + ":" + std::to_string(port->value()) + p;
      s.movePort = 0;
    }
    if (!ParseServerAddress(address, s, why)) {
      why[0] = char(std::toupper(static_cast<unsigned char>(why[0])));
      why += ".";
      return false;
    }
    out = s;
    return true;
  }

  QLineEdit *name, *host, *calledAe, *callingAe, *path, *user, *password;
  QComboBox* kind;
  QSpinBox *port, *movePort;
  QCheckBox* tls;
  QLabel* error;

 private:
  void Enable() {
    const bool dimse = kind->currentIndex() == 0;
    for (QWidget* w : std::initializer_list<QWidget*>{calledAe, callingAe, movePort})
      w->setEnabled(dimse);
    for (QWidget* w : std::initializer_list<QWidget*>{path, tls, user, password})
      w->setEnabled(!dimse);
  }
};

}  // namespace

// ---- construction ---------------------------------------------------------------

TPacsForm::TPacsForm(TForm1* main) : QWidget(main, Qt::Window), main_(main) {
  setObjectName("PacsForm");
  setWindowTitle("PACS");
  flushTimer_ = new QTimer(this);
  flushTimer_->setInterval(kFlushIntervalMs);
  connect(flushTimer_, &QTimer::timeout, this, [this] { FlushArrivals(); });
  BuildUi();
  UpdateButtons();
  resize(980, 640);
}

TPacsForm::~TPacsForm() {
  queue_.clear();
  if (client_) client_->Cancel();
  if (worker_) {
    worker_->wait();
    delete worker_;
  }
}

void TPacsForm::BuildUi() {
  auto* top = new QVBoxLayout(this);

  auto* serverRow = new QHBoxLayout;
  serverRow->addWidget(new QLabel("Server"));
  serverBox = new QComboBox;
  serverBox->setObjectName("pacsServerBox");
  serverBox->setMinimumWidth(320);
  serverRow->addWidget(serverBox, 1);
  addServerButton = new QPushButton("Add\u2026");
  editServerButton = new QPushButton("Edit\u2026");
  removeServerButton = new QPushButton("Remove");
  echoButton = new QPushButton("Test");
  echoButton->setToolTip("Check that the server answers");
  for (QPushButton* b : {addServerButton, editServerButton, removeServerButton, echoButton})
    serverRow->addWidget(b);
  top->addLayout(serverRow);

  auto* search = new QGroupBox("Search");
  auto* grid = new QGridLayout(search);
  patientNameEdit = new QLineEdit;
  patientNameEdit->setObjectName("pacsPatientName");
  patientNameEdit->setPlaceholderText("e.g. DOE^J (matches names starting so)");
  patientIdEdit = new QLineEdit;
  accessionEdit = new QLineEdit;
  dateCheck = new QCheckBox("Study date from");
  fromDate = new QDateEdit(QDate::currentDate().addMonths(-1));
  toDate = new QDateEdit(QDate::currentDate());
  for (QDateEdit* d : {fromDate, toDate}) {
    d->setCalendarPopup(true);
    d->setDisplayFormat("dd/MM/yyyy");
  }
  modalityBox = new QComboBox;
  modalityBox->setEditable(true);
  modalityBox->addItems({"", "CT", "MR", "CR", "DX", "US", "MG", "NM", "PT", "XA", "RF", "OT"});
  searchButton = new QPushButton("Search");
  searchButton->setObjectName("pacsSearch");
  searchButton->setDefault(true);
  grid->addWidget(new QLabel("Patient name"), 0, 0);
  grid->addWidget(patientNameEdit, 0, 1);
  grid->addWidget(new QLabel("Patient ID"), 0, 2);
  grid->addWidget(patientIdEdit, 0, 3);
  grid->addWidget(new QLabel("Accession"), 0, 4);
  grid->addWidget(accessionEdit, 0, 5);
  grid->addWidget(dateCheck, 1, 0);
  auto* dates = new QHBoxLayout;
  dates->addWidget(fromDate);
  dates->addWidget(new QLabel("to"));
  dates->addWidget(toDate);
  grid->addLayout(dates, 1, 1);
  grid->addWidget(new QLabel("Modality"), 1, 2);
  grid->addWidget(modalityBox, 1, 3);
  grid->addWidget(searchButton, 1, 5);
  top->addWidget(search);

  resultsList = new QTreeWidget;
  resultsList->setObjectName("pacsResults");
  resultsList->setColumnCount(ColumnCount);
  resultsList->setHeaderLabels({"Patient name", "Patient ID", "Birth date", "Study date",
                                "Description", "Modalities", "Accession", "Series", "Images"});
  resultsList->setRootIsDecorated(false);
  resultsList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  resultsList->setSortingEnabled(true);
  resultsList->sortByColumn(ColDate, Qt::DescendingOrder);
  resultsList->header()->setSectionResizeMode(QHeaderView::Interactive);
  top->addWidget(resultsList, 3);

  auto* keep = new QHBoxLayout;
  keep->addWidget(new QLabel("Keep files in"));
  tempFolderRadio = new QRadioButton("a temporary folder (removed at exit)");
  chosenFolderRadio = new QRadioButton;
  tempFolderRadio->setChecked(true);
  folderEdit = new QLineEdit;
  folderEdit->setPlaceholderText("a folder of your choice");
  chooseFolderButton = new QPushButton("Choose\u2026");
  keep->addWidget(tempFolderRadio);
  keep->addWidget(chosenFolderRadio);
  keep->addWidget(folderEdit, 1);
  keep->addWidget(chooseFolderButton);
  retrieveButton = new QPushButton("Retrieve");
  retrieveButton->setObjectName("pacsRetrieve");
  cancelButton = new QPushButton("Cancel");
  cancelButton->setObjectName("pacsCancel");
  keep->addWidget(retrieveButton);
  keep->addWidget(cancelButton);
  top->addLayout(keep);

  progressList = new QTreeWidget;
  progressList->setObjectName("pacsProgress");
  progressList->setColumnCount(3);
  progressList->setHeaderLabels({"Series", "Images", "Progress"});
  progressList->setRootIsDecorated(false);
  top->addWidget(progressList, 1);
  statusLabel = new QLabel;
  statusLabel->setObjectName("pacsStatus");
  statusLabel->setWordWrap(true);
  statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  top->addWidget(statusLabel);

  connect(addServerButton, &QPushButton::clicked, this, [this] { AddServer(); });
  connect(editServerButton, &QPushButton::clicked, this, [this] { EditCurrentServer(); });
  connect(removeServerButton, &QPushButton::clicked, this, [this] { RemoveCurrentServer(); });
  connect(echoButton, &QPushButton::clicked, this, [this] { Echo(); });
  // Matches belong to the server that answered: another server cannot retrieve them.
  connect(serverBox, &QComboBox::currentIndexChanged, this, [this] {
    ClearMatches();
    UpdateButtons();
  });
  connect(searchButton, &QPushButton::clicked, this, [this] { Search(); });
  for (QLineEdit* e : {patientNameEdit, patientIdEdit, accessionEdit})
    connect(e, &QLineEdit::returnPressed, this, [this] { Search(); });
  connect(resultsList, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
  connect(resultsList, &QTreeWidget::itemDoubleClicked, this, [this] { Retrieve(); });
  connect(retrieveButton, &QPushButton::clicked, this, [this] { Retrieve(); });
  connect(cancelButton, &QPushButton::clicked, this, [this] { CancelWork(); });
  connect(chooseFolderButton, &QPushButton::clicked, this, [this] {
    const QString dir = AskFolder();
    if (dir.isEmpty()) return;
    folderEdit->setText(dir);
    chosenFolderRadio->setChecked(true);
  });
  connect(folderEdit, &QLineEdit::textEdited, this,
          [this] { chosenFolderRadio->setChecked(true); });
}

void TPacsForm::UpdateButtons() {
  const bool busy = Busy();
  const bool server = CurrentServer() != nullptr;
  editServerButton->setEnabled(server && !busy);
  removeServerButton->setEnabled(server && !busy);
  addServerButton->setEnabled(!busy);
  serverBox->setEnabled(!busy);
  echoButton->setEnabled(server && !busy);
  searchButton->setEnabled(server && !busy);
  retrieveButton->setEnabled(server && !busy && resultsList->currentItem());
  cancelButton->setEnabled(busy);
}

bool TPacsForm::Busy() const {
  return worker_ != nullptr;
}

void TPacsForm::closeEvent(QCloseEvent* event) {
  // Closing the window hides it; a running retrieve goes on.
  event->accept();
}

void TPacsForm::keyPressEvent(QKeyEvent* event) {
  // Esc closes the window as it does a dialog.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TPacsForm::ClearMatches() {
  resultsList->clear();
  UpdateButtons();
}

// ---- servers --------------------------------------------------------------------

const TPacsServer* TPacsForm::CurrentServer() const {
  const int i = serverBox->currentIndex();
  return i >= 0 && size_t(i) < servers_.size() ? &servers_[size_t(i)] : nullptr;
}

void TPacsForm::RefreshServerBox(int select) {
  const QSignalBlocker block(serverBox);
  serverBox->clear();
  for (const TPacsServer& s : servers_)
    serverBox->addItem(Q(s.name) +
                       (s.name == s.Describe() ? QString() : "  (" + Q(s.Describe()) + ")"));
  serverBox->setCurrentIndex(std::min(select, int(servers_.size()) - 1));
  // A server added, edited or removed: the matches shown may be another's.
  ClearMatches();
}

void TPacsForm::SetServers(const std::vector<TPacsServer>& servers) {
  servers_ = servers;
  RefreshServerBox(0);
}

bool TPacsForm::AddServersFile(const QString& path, QString* why) {
  std::vector<TPacsServer> more;
  std::string reason;
  if (!ReadServersFile(path.toStdString(), more, reason)) {
    if (why) *why = Q(reason);
    return false;
  }
  const int first = int(servers_.size());
  servers_.insert(servers_.end(), more.begin(), more.end());
  RefreshServerBox(more.empty() ? first - 1 : first);
  return true;
}

bool TPacsForm::EditServer(TPacsServer& server, bool adding) {
  TServerDialog dialog(this, server);
  if (adding) dialog.setWindowTitle("Add PACS Server");
  if (dialog.exec() != QDialog::Accepted) return false;
  std::string why;
  return dialog.Read(server, why);
}

void TPacsForm::AddServer() {
  TPacsServer s;
  s.host = "127.0.0.1";
  s.port = 104;
  s.calledAe = "PACS";
  if (!EditServer(s, true)) return;
  servers_.push_back(s);
  RefreshServerBox(int(servers_.size()) - 1);
}

void TPacsForm::EditCurrentServer() {
  const int i = serverBox->currentIndex();
  if (!CurrentServer()) return;
  TPacsServer s = servers_[size_t(i)];
  if (!EditServer(s, false)) return;
  servers_[size_t(i)] = s;
  RefreshServerBox(i);
}

void TPacsForm::RemoveCurrentServer() {
  const int i = serverBox->currentIndex();
  if (!CurrentServer()) return;
  servers_.erase(servers_.begin() + i);
  RefreshServerBox(std::max(0, i - 1));
}

// ---- errors ---------------------------------------------------------------------

void TPacsForm::ShowError(const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Warning, "PACS", text, QMessageBox::Ok, this);
  box->setObjectName("pacsError");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setModal(false);
  box->show();
}

void TPacsForm::Fail(const QString& text) {
  lastError_ = text;
  statusLabel->setStyleSheet("color: #c62828");
  statusLabel->setText(text);
  if (!quiet_) ShowError(text);
}

QString TPacsForm::AskFolder() {
  return QFileDialog::getExistingDirectory(this, "Keep retrieved files in", QDir::homePath());
}

// ---- echo and search ------------------------------------------------------------

void TPacsForm::Echo() {
  const TPacsServer* s = CurrentServer();
  if (!s || Busy()) return;
  client_ = MakePacsClient(*s);
  auto result = std::make_shared<std::pair<bool, std::string>>();
  auto client = client_;
  worker_ = QThread::create([client, result] { result->first = client->Echo(result->second); });
  connect(worker_, &QThread::finished, this, [this, result] {
    worker_->deleteLater();
    worker_ = nullptr;
    client_.reset();
    UpdateButtons();
    if (result->first) {
      statusLabel->setStyleSheet({});
      statusLabel->setText("The server answers.");
    } else {
      Fail(Q(result->second));
    }
  });
  statusLabel->setStyleSheet({});
  statusLabel->setText("Contacting the server\u2026");
  worker_->start();
  UpdateButtons();
}

void TPacsForm::Search() {
  const TPacsServer* s = CurrentServer();
  if (!s || Busy()) return;
  std::vector<TQueryKey> keys;
  auto add = [&keys](const char* keyword, QString value, bool prefix) {
    value = value.trimmed();
    if (value.isEmpty()) return;
    // Names match from their start, as users type them.
    if (prefix && !value.contains('*') && !value.contains('?')) value += '*';
    keys.push_back({keyword, value.toStdString()});
  };
  add("PatientName", patientNameEdit->text(), true);
  add("PatientID", patientIdEdit->text(), false);
  add("AccessionNumber", accessionEdit->text(), false);
  add("ModalitiesInStudy", modalityBox->currentText(), false);
  if (dateCheck->isChecked()) {
    const QDate a = std::min(fromDate->date(), toDate->date()),
                b = std::max(fromDate->date(), toDate->date());
    keys.push_back(
        {"StudyDate", (a.toString("yyyyMMdd") + "-" + b.toString("yyyyMMdd")).toStdString()});
  }
  client_ = MakePacsClient(*s);
  struct Outcome {
    bool ok = false;
    std::string why;
    std::vector<TQueryRow> rows;
  };
  auto out = std::make_shared<Outcome>();
  auto client = client_;
  worker_ = QThread::create([client, keys, out] {
    out->ok = client->Find(TQueryLevel::Study, keys, out->rows, out->why);
  });
  connect(worker_, &QThread::finished, this, [this, out] {
    worker_->deleteLater();
    worker_ = nullptr;
    const bool cancelled = client_ && client_->Cancelled();
    client_.reset();
    if (out->ok) {
      ShowMatches(out->rows);
      statusLabel->setStyleSheet({});
      statusLabel->setText(out->rows.size() == 1
                               ? "1 study found."
                               : QString::number(out->rows.size()) + " studies found.");
    } else if (cancelled) {
      ClearMatches();
      statusLabel->setText("Search cancelled.");
    } else {
      // The earlier matches do not answer this search.
      ClearMatches();
      Fail(Q(out->why));
    }
    UpdateButtons();
    emit searchFinished(out->ok);
  });
  statusLabel->setStyleSheet({});
  statusLabel->setText("Searching\u2026");
  worker_->start();
  UpdateButtons();
}

void TPacsForm::ShowMatches(const std::vector<TQueryRow>& rows) {
  resultsList->setSortingEnabled(false);
  resultsList->clear();
  for (const TQueryRow& r : rows) {
    auto* item = new TMatchItem(resultsList);
    item->setText(ColName, Q(PersonNameText(r.Get("PatientName"))));
    item->setText(ColId, Q(r.Get("PatientID")));
    item->setText(ColBirth, ShowDate(r.Get("PatientBirthDate")));
    item->setText(ColDate, ShowDate(r.Get("StudyDate")));
    item->setText(ColDescription, Q(r.Get("StudyDescription")));
    item->setText(ColModalities, Q(r.Get("ModalitiesInStudy")).replace('\\', ' '));
    item->setText(ColAccession, Q(r.Get("AccessionNumber")));
    item->setText(ColSeries, Q(r.Get("NumberOfStudyRelatedSeries")));
    item->setText(ColImages, Q(r.Get("NumberOfStudyRelatedInstances")));
    auto number = [&](int column, const std::string& text) {
      bool ok = false;
      const qlonglong v = Q(text).toLongLong(&ok);
      if (ok) item->setData(column, kSortRole, v);
    };
    number(ColBirth, r.Get("PatientBirthDate"));
    number(ColDate,
           r.Get("StudyDate") +
               (r.Get("StudyTime").size() >= 6 ? r.Get("StudyTime").substr(0, 6) : "000000"));
    number(ColSeries, r.Get("NumberOfStudyRelatedSeries"));
    number(ColImages, r.Get("NumberOfStudyRelatedInstances"));
    item->setData(0, kUidRole, Q(r.Get("StudyInstanceUID")));
    item->setToolTip(ColName, Q(r.Get("StudyInstanceUID")));
  }
  resultsList->setSortingEnabled(true);
  for (int c = 0; c < ColumnCount; ++c) resultsList->resizeColumnToContents(c);
  if (resultsList->topLevelItemCount() > 0)
    resultsList->setCurrentItem(resultsList->topLevelItem(0));
}

// ---- retrieve -------------------------------------------------------------------

QString TPacsForm::RetrieveFolder() {
  if (chosenFolderRadio->isChecked() && !folderEdit->text().trimmed().isEmpty())
    return folderEdit->text().trimmed();
  if (!tempDir_) {
    // Removed when the window goes, on SIGINT, SIGTERM and SIGHUP, and by the
    // next start after a crash.
    tempDir_ = std::make_unique<tempcleanup::TTempFolder>();
    std::string why;
    if (!tempDir_->Create(QFile::encodeName(QDir::tempPath()).toStdString(), kPacsTempPrefix,
                          why)) {
      tempDir_.reset();
      return {};
    }
  }
  return QFile::decodeName(tempDir_->Path().c_str());
}

void TPacsForm::Retrieve() {
  if (Busy() || !CurrentServer()) return;
  QList<QTreeWidgetItem*> chosen = resultsList->selectedItems();
  if (chosen.isEmpty() && resultsList->currentItem()) chosen << resultsList->currentItem();
  queue_.clear();
  for (QTreeWidgetItem* item : chosen) {
    const QString uid = item->data(0, kUidRole).toString();
    if (!uid.isEmpty() && !queue_.contains(uid)) queue_ << uid;
  }
  if (queue_.isEmpty()) return;
  if (RetrieveFolder().isEmpty()) {
    Fail("Cannot create a temporary folder for the retrieved files.");
    return;
  }
  cancelled_ = false;
  statusLabel->setStyleSheet({});
  StartNextRetrieve();
}

bool TPacsForm::RetrieveStudy(int server, const QString& studyUid, QString* why) {
  if (Busy()) {
    *why = "the PACS window is busy with another search or retrieve";
    return false;
  }
  if (server < 0 || server >= int(servers_.size()) || !IsValidUid(studyUid.toStdString())) {
    *why = "no such server or study";
    return false;
  }
  if (RetrieveFolder().isEmpty()) {
    *why = "cannot create a temporary folder for the retrieved files";
    return false;
  }
  serverBox->setCurrentIndex(server);
  queue_ = QStringList{studyUid};
  cancelled_ = false;
  quiet_ = true;
  lastError_.clear();
  statusLabel->setStyleSheet({});
  StartNextRetrieve();
  return true;
}

void TPacsForm::StartNextRetrieve() {
  if (queue_.isEmpty() || cancelled_) return;
  currentStudy_ = queue_.takeFirst();
  currentStudyAsRead_.clear();
  shownStudy_ = false;
  autoShown_.clear();
  progressList->clear();
  seriesRows_.clear();
  seriesExpected_.clear();
  seriesArrived_.clear();
  notShown_.clear();
  pending_.clear();

  const TPacsServer server = *CurrentServer();
  client_ = MakePacsClient(server);
  auto client = client_;
  TRetrieveRequest request{RetrieveFolder().toStdString(), currentStudy_.toStdString(), ""};
  // The temporary folder exists; should a signal remove it as the retrieve
  // starts, it must not come back.
  request.makeDir = !(tempDir_ && request.dir == tempDir_->Path());
  auto result = std::make_shared<TRetrieveResult>();
  QPointer<TPacsForm> self(this);
  worker_ = QThread::create([client, request, result, self] {
    TRetrieveHooks hooks;
    hooks.announced = [self](const TAnnouncement& a) {
      QMetaObject::invokeMethod(
          self,
          [self, perSeries = a.perSeries, labels = a.labels] {
            if (self) self->Announced(perSeries, labels);
          },
          Qt::QueuedConnection);
    };
    // The header is read here, off the user interface thread.
    hooks.stored = [self](const TStoredInstance& s) {
      TArrival arrival = ReadArrival(s.path);
      arrival.seriesUid = s.seriesUid;
      QMetaObject::invokeMethod(
          self,
          [self, arrival = std::move(arrival)]() mutable {
            if (self) self->Arrived(std::move(arrival));
          },
          Qt::QueuedConnection);
    };
    *result = RetrieveInto(*client, request, hooks);
  });
  connect(worker_, &QThread::finished, this, [this, result] {
    worker_->deleteLater();
    worker_ = nullptr;
    client_.reset();
    RetrieveDone(result->ok, Q(result->why));
  });
  statusLabel->setText("Retrieving " + currentStudy_ + "\u2026");
  worker_->start();
  UpdateButtons();
}

void TPacsForm::Announced(const std::map<std::string, int>& perSeries,
                          const std::map<std::string, std::string>& labels) {
  seriesExpected_ = perSeries;
  for (const auto& [series, count] : perSeries) {
    auto* item = new QTreeWidgetItem(progressList);
    const auto label = labels.find(series);
    item->setText(0,
                  label != labels.end() && !label->second.empty() ? Q(label->second) : Q(series));
    item->setToolTip(0, Q(series));
    // Images may have come in before the count did.
    const int got = seriesArrived_.count(series) ? seriesArrived_[series] : 0;
    item->setText(1, QString::number(got) + " / " + QString::number(count));
    auto* bar = new QProgressBar;
    bar->setRange(0, std::max(1, count));
    bar->setValue(got);
    progressList->setItemWidget(item, 2, bar);
    seriesRows_[series] = item;
  }
  progressList->resizeColumnToContents(0);
}

void TPacsForm::Arrived(TArrival arrival) {
  const std::string series = arrival.seriesUid;
  pending_.push_back(std::move(arrival));
  const int got = ++seriesArrived_[series];
  if (QTreeWidgetItem* item = seriesRows_.count(series) ? seriesRows_[series] : nullptr) {
    const int expected = seriesExpected_[series];
    item->setText(1, QString::number(got) + " / " + QString::number(expected));
    if (auto* bar = qobject_cast<QProgressBar*>(progressList->itemWidget(item, 2)))
      bar->setValue(got);
  }
  int arrived = 0, expected = 0;
  for (const auto& [uid, n] : seriesArrived_) arrived += n;
  for (const auto& [uid, n] : seriesExpected_) expected += n;
  emit retrieveProgress(arrived, expected);
  // The first image goes into the tree at once, the rest in batches.
  if (!shownStudy_)
    FlushArrivals();
  else if (!flushTimer_->isActive())
    flushTimer_->start();
}

void TPacsForm::FlushArrivals() {
  flushTimer_->stop();
  if (pending_.empty()) return;
  std::vector<TArrival> batch;
  batch.swap(pending_);
  if (currentStudyAsRead_.empty())
    for (const TArrival& a : batch)
      if (a.imgOK) {
        currentStudyAsRead_ = a.header.Study_Instance_UID;
        break;
      }
  const TFilingOutcome filed = FileArrivals(*main_, batch);
  for (const std::string& n : filed.notShown) notShown_ << Q(n);
  if (filed.added > 0) MarkPendingKeyImages();  // documents that came before their images
  if (filed.newSeries || filed.documents > 0) main_->RebuildBrowser();
  if (!shownStudy_ && filed.added > 0) {
    shownStudy_ = true;
    autoShown_ = ShowStudyIfGridEmpty(*main_, currentStudyAsRead_);
  } else if (filed.added > 0) {
    KeepOnFirstImages(*main_, autoShown_);
  }
}

void TPacsForm::RetrieveDone(bool ok, const QString& why) {
  FlushArrivals();
  main_->RebuildBrowser();
  main_->EnableStudyTools();
  main_->UpdatePresetsVisibility();
  int arrived = 0;
  for (const auto& [series, n] : seriesArrived_) arrived += n;
  if (!ok) {
    queue_.clear();
    if (cancelled_) {
      statusLabel->setStyleSheet({});
      statusLabel->setText("Retrieve cancelled; " + QString::number(arrived) +
                           " images arrived and stay loaded.");
    } else {
      Fail(why);
    }
  } else {
    statusLabel->setStyleSheet({});
    QString text = QString::number(arrived) + (arrived == 1 ? " image" : " images") + " retrieved.";
    if (!notShown_.isEmpty())
      text +=
          " " + QString::number(notShown_.size()) + " cannot be displayed: " + notShown_.join("; ");
    statusLabel->setText(text);
  }
  UpdateButtons();
  if (ok && !queue_.isEmpty()) {
    StartNextRetrieve();
    return;
  }
  quiet_ = false;
  emit retrieveFinished(ok);
}

void TPacsForm::CancelWork() {
  queue_.clear();
  cancelled_ = true;
  if (client_) client_->Cancel();
}

// ---- the main window's side -------------------------------------------------------

void TForm1::btnPacsClick() {
  if (!PacsForm) PacsForm = new TPacsForm(this);
  PacsForm->show();
  PacsForm->raise();
  PacsForm->activateWindow();
}

bool TForm1::AddPacsServersFile(const QString& path, QString* why) {
  if (!PacsForm) PacsForm = new TPacsForm(this);
  return PacsForm->AddServersFile(path, why);
}
