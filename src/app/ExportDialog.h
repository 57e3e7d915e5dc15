// "Export..." of the browser: a series, a study or the whole tree copied to a
// media folder (optionally with a DICOMDIR) or a ZIP file, optionally
// de-identified, on a worker thread with progress and Cancel, and a summary
// naming what was left out (images flagged with burned-in annotation first).
// The export itself is the export core's (export/Export.h), as the command
// line runs it.
#pragma once

#include <QDialog>
#include <QString>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "dicom/define_types.h"
#include "export/Export.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class TExportDialog : public QDialog {
  Q_OBJECT
 public:
  // files: the instances to export; what: how the dialog names them.
  TExportDialog(QWidget* parent, std::vector<std::string> files, const QString& what);
  // Cancels a running export and waits for it.
  ~TExportDialog() override;

  // The image files of the tree under (patient, study, series), each once;
  // -1 takes every entry of that level (-1, -1, -1: the whole tree). Read
  // under the caller's lock of the tree.
  static std::vector<std::string> FilesOf(const TPatientArr& patients, int patient, int study,
                                          int series);

  // Starts the export with the options shown (Start's click).
  void Start();
  bool Running() const { return FWorker.joinable() && !FDone; }
  const exporter::TExportResult& Result() const { return FResult; }
  // The export target the options name: with ZIP, a folder stands for
  // FOLDER/export.zip.
  std::string TargetPath() const;

  QLineEdit* Target;
  QCheckBox* Anonymise;
  QCheckBox* KeepDates;
  QLineEdit* NewName;
  QLineEdit* NewId;
  QCheckBox* IncludeBurnedIn;
  QCheckBox* DicomDir;
  QCheckBox* Zip;
  QProgressBar* Progress;
  QPushButton* StartButton;
  QPushButton* CancelButton;
  QPlainTextEdit* Summary;

 signals:
  void Finished();

 protected:
  void reject() override;

 private:
  void Browse();
  void UpdateEnabled();
  void ShowSummary();

  std::vector<std::string> FFiles;
  std::thread FWorker;
  std::atomic<bool> FCancel{false};
  bool FDone = false;
  exporter::TExportResult FResult;
};

// Adds "Export Series...", "Export Study..." and "Export All..." to a series
// panel's context menu, for the series at (patient, study, series).
void AddExportActions(QMenu& menu, QWidget* parent, int patient, int study, int series);
