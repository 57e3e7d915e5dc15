// The "PACS" window: archives the user configures for the run (or names in
// a servers file with --servers FILE; nothing is stored between runs), a
// search form with its matches as a sortable list, and Retrieve, which puts
// the chosen studies into the study tree as a folder load does: series by
// series as their images arrive, with progress per series, Cancel, and the
// thumbnails filled in as series appear. Files go to a folder the user
// chooses, or to a temporary folder removed when the program ends.
#pragma once

#include <QStringList>
#include <QWidget>
#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "app/PacsFiling.h"
#include "dicom/TempCleanup.h"
#include "net/PacsServer.h"

// Names the temporary folder of retrieved files: "<prefix>-<pid>-XXXXXX" in the
// temporary folder.
inline constexpr const char* kPacsTempPrefix = "tavrolen-pacs";

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QThread;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TForm1;
class TPacsClient;

class TPacsForm : public QWidget {
  Q_OBJECT
 public:
  explicit TPacsForm(TForm1* main);
  // Cancels what runs and waits for it; the temporary folder goes with the form.
  ~TPacsForm() override;

  // ---- servers (for this run only) ----
  void SetServers(const std::vector<TPacsServer>& servers);
  const std::vector<TPacsServer>& Servers() const { return servers_; }
  // Adds the servers of a servers file; false with a reason.
  bool AddServersFile(const QString& path, QString* why);

  // ---- search form and results ----
  QComboBox* serverBox;
  QPushButton* addServerButton;
  QPushButton* editServerButton;
  QPushButton* removeServerButton;
  QPushButton* echoButton;
  QLineEdit* patientNameEdit;
  QLineEdit* patientIdEdit;
  QLineEdit* accessionEdit;
  QCheckBox* dateCheck;
  QDateEdit* fromDate;
  QDateEdit* toDate;
  QComboBox* modalityBox;
  QPushButton* searchButton;
  QTreeWidget* resultsList;  // one row per study

  // ---- retrieve ----
  QRadioButton* tempFolderRadio;
  QRadioButton* chosenFolderRadio;
  QLineEdit* folderEdit;
  QPushButton* chooseFolderButton;
  QPushButton* retrieveButton;
  QPushButton* cancelButton;
  QTreeWidget* progressList;  // one row per series of the running retrieve
  QLabel* statusLabel;

  // Columns of resultsList.
  enum Column {
    ColName,
    ColId,
    ColBirth,
    ColDate,
    ColDescription,
    ColModalities,
    ColAccession,
    ColSeries,
    ColImages,
    ColumnCount
  };

  void Search();
  // Retrieves the selected studies (or the current one), one after another.
  void Retrieve();
  // Retrieves one study from Servers()[server] for the main window, as
  // Retrieve does; a failure is left to the caller to show (LastError()),
  // retrieveFinished tells the end. False with *why when it cannot start.
  bool RetrieveStudy(int server, const QString& studyUid, QString* why);
  void CancelWork();
  bool Busy() const;
  // The folder retrieved files go to (created on demand).
  QString RetrieveFolder();
  // The last error shown, as shown.
  const QString& LastError() const { return lastError_; }

 signals:
  void searchFinished(bool ok);
  void retrieveFinished(bool ok);
  // Images of the running retrieve arrived so far, of those announced (0
  // until the server has said).
  void retrieveProgress(int arrived, int expected);

 protected:
  // Modal interaction, separate so that tests can answer for the user.
  virtual void ShowError(const QString& text);
  virtual bool EditServer(TPacsServer& server, bool adding);
  virtual QString AskFolder();
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Job;
  void BuildUi();
  void UpdateButtons();
  const TPacsServer* CurrentServer() const;
  void RefreshServerBox(int select);
  void Echo();
  void AddServer();
  void EditCurrentServer();
  void RemoveCurrentServer();
  void ShowMatches(const std::vector<struct TQueryRow>& rows);
  // Empties the matches; Retrieve has nothing to act on.
  void ClearMatches();
  void StartNextRetrieve();
  void Announced(const std::map<std::string, int>& perSeries,
                 const std::map<std::string, std::string>& labels);
  void Arrived(TArrival arrival);
  void FlushArrivals();
  void RetrieveDone(bool ok, const QString& why);
  void Fail(const QString& text);

  TForm1* main_;
  std::vector<TPacsServer> servers_;
  std::unique_ptr<tempcleanup::TTempFolder> tempDir_;
  QString lastError_;

  // The running operation (a search or one study's retrieve) and its client.
  QThread* worker_ = nullptr;
  std::shared_ptr<TPacsClient> client_;
  QStringList queue_;  // studies waiting to be retrieved
  QString currentStudy_;
  std::string currentStudyAsRead_;  // as the header reader keeps it, for the tree
  bool shownStudy_ = false;
  std::vector<TAutoShown> autoShown_;
  std::vector<TArrival> pending_;
  QTimer* flushTimer_;
  std::map<std::string, QTreeWidgetItem*> seriesRows_;
  std::map<std::string, int> seriesExpected_;
  std::map<std::string, int> seriesArrived_;
  QStringList notShown_;
  std::atomic<bool> cancelled_{false};
  bool quiet_ = false;  // the running retrieve's failure is the caller's to show
};
