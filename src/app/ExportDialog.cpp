#include "app/ExportDialog.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <mutex>
#include <set>

#include "app/DerivedLoading.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"

TExportDialog::TExportDialog(QWidget* parent, std::vector<std::string> files, const QString& what)
    : QDialog(parent), FFiles(std::move(files)) {
  setObjectName("exportDialog");
  setWindowTitle("Export " + what);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(
      QStringLiteral("%1: %2 instance(s)").arg(what).arg(qsizetype(FFiles.size())), this));
  auto* form = new QFormLayout;
  auto* targetRow = new QHBoxLayout;
  Target = new QLineEdit(QDir::homePath() + "/DICOM-export", this);
  Target->setObjectName("exportTarget");
  auto* browse = new QPushButton("Browse...", this);
  targetRow->addWidget(Target);
  targetRow->addWidget(browse);
  form->addRow("Folder or ZIP file:", targetRow);
  DicomDir = new QCheckBox("Write a DICOMDIR (media any DICOM viewer opens)", this);
  DicomDir->setChecked(true);
  Zip = new QCheckBox("As one ZIP file", this);
  Anonymise = new QCheckBox("Anonymise (remove the patient's identity)", this);
  KeepDates = new QCheckBox("Keep dates and times", this);
  NewName = new QLineEdit(this);
  NewName->setPlaceholderText("ANONYMOUS");
  NewId = new QLineEdit(this);
  NewId->setPlaceholderText("a new ID per patient");
  IncludeBurnedIn = new QCheckBox("Include images with burned-in annotation", this);
  form->addRow(DicomDir);
  form->addRow(Zip);
  form->addRow(Anonymise);
  form->addRow(KeepDates);
  form->addRow("New patient name:", NewName);
  form->addRow("New patient ID:", NewId);
  form->addRow(IncludeBurnedIn);
  layout->addLayout(form);
  Progress = new QProgressBar(this);
  Progress->setRange(0, std::max<int>(1, int(FFiles.size())));
  Progress->setValue(0);
  layout->addWidget(Progress);
  Summary = new QPlainTextEdit(this);
  Summary->setReadOnly(true);
  Summary->setObjectName("exportSummary");
  layout->addWidget(Summary);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  StartButton = new QPushButton("Export", this);
  StartButton->setDefault(true);
  CancelButton = new QPushButton("Close", this);
  buttons->addWidget(StartButton);
  buttons->addWidget(CancelButton);
  layout->addLayout(buttons);

  connect(browse, &QPushButton::clicked, this, [this] { Browse(); });
  connect(StartButton, &QPushButton::clicked, this, [this] { Start(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { reject(); });
  connect(Anonymise, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
  UpdateEnabled();
  resize(560, 480);
}

TExportDialog::~TExportDialog() {
  FCancel = true;
  if (FWorker.joinable()) FWorker.join();
}

std::vector<std::string> TExportDialog::FilesOf(const TPatientArr& patients, int patient, int study,
                                                int series) {
  std::vector<std::string> files;
  std::set<std::string> seen;
  for (int p = 0; p < int(patients.size()); ++p) {
    if (patient >= 0 && p != patient) continue;
    const auto& studies = patients[size_t(p)].studies;
    for (int st = 0; st < int(studies.size()); ++st) {
      if (study >= 0 && st != study) continue;
      const auto& serieses = studies[size_t(st)].serieses;
      for (int se = 0; se < int(serieses.size()); ++se) {
        if (series >= 0 && se != series) continue;
        for (const TImg& img : serieses[size_t(se)].images)
          if (!img.imagePath.empty() && seen.insert(img.imagePath).second)
            files.push_back(img.imagePath);
        // Reports, documents and waveforms go with their study.
        for (const TDocumentRecord& d : serieses[size_t(se)].documents)
          if (!d.path.empty() && seen.insert(d.path).second) files.push_back(d.path);
      }
    }
  }
  return files;
}

std::string TExportDialog::TargetPath() const {
  QString path = Target->text().trimmed();
  if (Zip->isChecked() && QFileInfo(path).isDir()) path = QDir(path).filePath("export.zip");
  return QFile::encodeName(path).toStdString();
}

void TExportDialog::Browse() {
  const QString path =
      Zip->isChecked()
          ? QFileDialog::getSaveFileName(this, "Export to ZIP file", Target->text(), "ZIP (*.zip)")
          : QFileDialog::getExistingDirectory(this, "Export to folder", Target->text());
  if (!path.isEmpty()) Target->setText(path);
}

void TExportDialog::UpdateEnabled() {
  const bool idle = !Running();
  const bool anonymise = Anonymise->isChecked();
  for (QWidget* w : {static_cast<QWidget*>(KeepDates), static_cast<QWidget*>(NewName),
                     static_cast<QWidget*>(NewId), static_cast<QWidget*>(IncludeBurnedIn)})
    w->setEnabled(idle && anonymise);
  for (QWidget* w :
       {static_cast<QWidget*>(Target), static_cast<QWidget*>(DicomDir), static_cast<QWidget*>(Zip),
        static_cast<QWidget*>(Anonymise), static_cast<QWidget*>(StartButton)})
    w->setEnabled(idle);
  CancelButton->setText(idle ? "Close" : "Cancel");
}

void TExportDialog::Start() {
  if (Running() || Target->text().trimmed().isEmpty()) return;
  if (FWorker.joinable()) FWorker.join();
  exporter::TExportOptions options;
  options.anonymize = Anonymise->isChecked();
  options.deidentify.keepDates = KeepDates->isChecked();
  options.deidentify.patientName = NewName->text().trimmed().toStdString();
  options.deidentify.patientId = NewId->text().trimmed().toStdString();
  options.includeBurnedIn = IncludeBurnedIn->isChecked();
  options.dicomdir = DicomDir->isChecked();
  options.zip = Zip->isChecked();
  const std::string target = TargetPath();
  FCancel = false;
  FDone = false;
  Summary->setPlainText("Exporting...");
  Progress->setValue(0);
  // The worker reads only its own copies; what it reports comes back queued
  // to this dialog, and is dropped if the dialog is gone.
  FWorker = std::thread([this, files = FFiles, target, options] {
    exporter::TExportResult result =
        exporter::ExportFiles(files, target, options, [this](int done, int) {
          QMetaObject::invokeMethod(
              this, [this, done] { Progress->setValue(done); }, Qt::QueuedConnection);
          return !FCancel.load();
        });
    QMetaObject::invokeMethod(
        this,
        [this, result = std::move(result)]() mutable {
          FResult = std::move(result);
          FDone = true;
          UpdateEnabled();
          ShowSummary();
          emit Finished();
        },
        Qt::QueuedConnection);
  });
  UpdateEnabled();
}

void TExportDialog::ShowSummary() {
  const exporter::TExportResult& r = FResult;
  QStringList lines;
  const QString output = QDir::toNativeSeparators(QString::fromStdString(r.output));
  if (r.cancelled)
    lines << "Cancelled: nothing was written.";
  else if (!r.written)
    lines << "The export failed: " + QString::fromStdString(r.failure);
  else
    lines << QStringLiteral("Exported %1 of %2 instance(s) to %3.")
                 .arg(r.exported)
                 .arg(qsizetype(r.files.size()))
                 .arg(output);
  QStringList burnedIn, failed;
  for (const exporter::TFileOutcome& f : r.files) {
    const QString path = QDir::toNativeSeparators(QString::fromStdString(f.source));
    if (f.status == exporter::TFileStatus::BurnedIn) burnedIn << "  " + path;
    if (f.status == exporter::TFileStatus::Failed)
      failed << "  " + path + ": " + QString::fromStdString(f.reason);
  }
  if (!burnedIn.isEmpty())
    lines << QStringLiteral("Left out, burned-in annotation may show the patient (%1):")
                 .arg(burnedIn.size())
          << burnedIn;
  if (!failed.isEmpty()) lines << QStringLiteral("Left out (%1):").arg(failed.size()) << failed;
  Summary->setPlainText(lines.join('\n'));
  Progress->setValue(Progress->maximum());
}

void TExportDialog::reject() {
  if (Running()) {
    FCancel = true;
    Summary->setPlainText("Cancelling...");
    return;
  }
  QDialog::reject();
}

void AddExportActions(QMenu& menu, QWidget* parent, int patient, int study, int series) {
  const auto open = [parent](int p, int st, int se, const QString& what) {
    std::vector<std::string> files;
    {
      std::lock_guard lock(gPatientsMutex);
      files = TExportDialog::FilesOf(gPatients, p, st, se);
    }
    // Segmentations and structure sets are no series of the tree: they go
    // with the images they lie on.
    for (std::string& drawn : DrawnObjectsOf(files)) files.push_back(std::move(drawn));
    auto* dialog = new TExportDialog(parent, std::move(files), what);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
  };
  menu.addSeparator();
  menu.addAction("Export Series...", parent,
                 [=] { open(patient, study, series, QStringLiteral("series")); });
  menu.addAction("Export Study...", parent,
                 [=] { open(patient, study, -1, QStringLiteral("study")); });
  menu.addAction("Export All...", parent, [=] { open(-1, -1, -1, QStringLiteral("all studies")); });
}
