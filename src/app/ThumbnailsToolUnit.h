// The thumbnail browser: the scrolling column that lists the study tree, one
// panel per patient, per study and per series (with its thumbnail), in tree
// order. A click (or double-click) on a series shows it in the active cell;
// dragging it onto a cell shows it there. A search box above the column
// keeps the series whose patient, ID, descriptions or modality hold every
// word typed. A rebuild keeps the column's scroll place and the series last
// shown from it. A series of reports, documents or waveforms shows their
// kind's icon and titles in place of a thumbnail; a click opens the
// document's window (several: a menu of their titles).
//
// The panels appear at once; thumbnails are decoded on a pool of the
// browser's own from private copies of the tree images and filled in, on the
// UI thread, as they finish. A rebuild retires the old panels and drops every
// thumbnail still under way for them.
#pragma once

#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QScrollArea>
#include <QString>
#include <QThreadPool>
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/ArchivePriors.h"
#include "dicom/define_types.h"

class QLineEdit;
class QMenu;
class QToolButton;
class QMimeData;
class TadvancedImage;
class TThumbnailsTool;

// The series a drag carries to a cell.
class TThumbDrag {
 public:
  // The drag's data: the text "patientIndex,StudyIndex,SeriesIndex".
  static constexpr const char* kMimeType = "application/x-tavrolen-series";

  int patientIndex = 0;
  int StudyIndex = 0;
  int SeriesIndex = 0;
  QPixmap Picture;  // the series' thumbnail; may be null

  // The drag picture (the thumbnail).
  QPixmap GetDragImages() const { return Picture; }
  // New data for a QDrag, which takes it over.
  QMimeData* ToMimeData() const;
  // The series of a drop, when the data is one of ours.
  static std::optional<TThumbDrag> FromMimeData(const QMimeData* data);
};

// 25 px, the patient's name.
class TPatientPanel : public QLabel {
  Q_OBJECT
 public:
  TPatientPanel(QWidget* owner, int patIdx, const TPatient& patient);

  QString PatientName, PatientID;
  QString SearchText;  // what the search box looks in, folded
  int NumOfStudies = 0;
  int PatientIndex = 0;

 protected:
  // The name ends in "..." when the column is too narrow for it.
  void paintEvent(QPaintEvent* event) override;
};

// 62 px, date and time, description and modality with the series count.
class TStudyPanel : public QFrame {
  Q_OBJECT
 public:
  TStudyPanel(QWidget* owner, int stIdx, int patIdx, const TStudy& study);

  QString StudyID, StudyInstanceUID, StudyDate, StudyTime, AccessionNumber, StudyDescription;
  QString SearchText;  // the patient's and the study's texts, folded
  int NumOfSeries = 0;
  int PatientIndex = 0;
  int StudyIndex = 0;
  QLabel* StudyDateTimeLabel;
  QLabel* StudyDescriptionlabel;
  QLabel* StudyModalityLabel;

  // Older than the patient's newest loaded study: the date line says "Prior".
  bool IsPrior = false;
  // A study listed under a patient it only partly matches (another ID, or
  // issuer, or name): what differs, in orange under the date.
  QString Warning;
  QLabel* WarningLabel = nullptr;
  // The patient the panel is listed under (PatientIndex is the study's own).
  int ListedUnder = -1;
  // A study only an archive holds: its index in the browser's archive list
  // (StudyIndex is then -1).
  int ArchiveIndex = -1;
  void MarkPrior(bool prior, const QString& warning);

 protected:
  // The menu the browser's StudyMenu builders fill.
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  friend class TThumbnailsTool;
  QPointer<TThumbnailsTool> FTool;
};

// 110 px: the thumbnail above the series label.
class TSeriesPanel : public QFrame {
  Q_OBJECT
 public:
  TSeriesPanel(QWidget* owner, int numOfImgs, int serIdx, int stIdx, int patIdx,
               const TSeries& series);

  QString Modality, SeriesNumber, SeriesInstanceUID;
  QString SearchText;  // the patient's, the study's and the series' texts, folded
  int NumOfImages = 0;
  int PatientIndex = 0;
  int StudyIndex = 0;
  int SeriesIndex = 0;
  QLabel* SeriesLabel;
  QLabel* Thumbnail;  // 90 px high, the picture centred, not stretched

  // Images of the series holding a key image, and what the label's tooltip
  // says of them (the documents' titles and descriptions).
  int KeyImages = 0;
  void SetKeyImages(int count, const QString& detail);

  // The series' reports, documents and waveforms, in instance order. A
  // series without images shows their icon and titles as its picture.
  std::vector<TDocumentRecord> Documents;
  void SetDocuments(std::vector<TDocumentRecord> documents);

  // Shows the thumbnail (a null image leaves it empty).
  void SetThumbnail(const QImage& picture);
  QImage ThumbnailImage() const;
  // What a drag from this panel carries.
  TThumbDrag DragObject() const;
  // Marks the series last shown from the browser.
  void SetCurrent(bool current);
  bool IsCurrent() const { return FCurrent; }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  // The menu the browser's SeriesMenu builders fill.
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  friend class TThumbnailsTool;
  void StartDrag(QPoint hotSpot);

  QPointer<TThumbnailsTool> FTool;
  QString FLabelText;  // the label without the key image count
  bool FPressed = false;
  bool FCurrent = false;
  QPoint FHotSpot;
  QPoint FPressAt;
};

class TThumbnailsTool : public QScrollArea {
  Q_OBJECT
 public:
  explicit TThumbnailsTool(QWidget* owner = nullptr);
  ~TThumbnailsTool() override;

  // Panels made at once by Display; the rest follow a batch per turn of the
  // event loop, so a tree of thousands of series never holds the window.
  static constexpr size_t kFirstPanels = 64;
  static constexpr size_t kPanelBatch = 16;

  // Rebuilds the browser from `patients` (the study tree; read under its
  // lock): the first panels at once, the rest soon after, thumbnails as they
  // are decoded.
  void Display(const TPatientArr& patients);
  // Empties the browser.
  void Clear();

  // The image control a double-click shows the series in.
  std::function<TadvancedImage*()> ActiveImage;
  // Each adds its commands to a series panel's context menu, for the series
  // at (patient, study, series).
  std::vector<std::function<void(QMenu& menu, int patient, int study, int series)>> SeriesMenu;
  // Each adds its commands to a study panel's context menu.
  std::vector<std::function<void(QMenu& menu, const TStudyPanel& panel)>> StudyMenu;
  // Studies an archive holds for the loaded patients: listed under their
  // patient by date at the next Display.
  std::vector<TArchiveStudy> ArchiveStudies;

  // Double-click on a series panel: its first image (under "key images only"
  // its first key image) in the active cell, fitted.
  void SeriesPanelDblClick(TSeriesPanel* panel);
  // A click does the same, so one click shows a series. A series of
  // documents only opens its document instead, or offers a menu of them.
  void SeriesPanelClick(TSeriesPanel* panel);
  // Opens a document's window (OpenDocumentWindow); a document that cannot
  // be shown says why once, through Message (a message box when unset).
  void OpenDocument(const TDocumentRecord& document);
  std::function<void(const QString& text)> Message;

  // Filters the column: a series stays when its patient's name or ID, its
  // study's or its own description or its modality hold every word of text
  // (case, accents and the "^" of names aside); studies and patients stay
  // with their series.
  QLineEdit* SearchBox;
  void SetFilter(const QString& text);
  // Whether a panel is shown under the current filter.
  static bool Matches(const QString& searchText, const QString& filter);
  // "Key images only" (the key image store's filter): beside the search box,
  // it keeps the series that hold key images.
  QToolButton* KeyImagesButton;
  // Counts again the key images of every series panel (the marks changed).
  void RefreshKeyImages();

  // The panels in column order.
  std::vector<QWidget*> Panels() const;
  std::vector<TSeriesPanel*> SeriesPanels() const;
  std::vector<TStudyPanel*> StudyPanels() const;
  // Thumbnails of the current panels still being made (panels still to be
  // made included).
  int PendingThumbnails() const { return FPending; }
  // Every panel of the last Display is made.
  bool PanelsComplete() const { return !FBuild; }
  // The panels the filter leaves, in column order.
  std::vector<QWidget*> VisiblePanels() const;

 signals:
  void ThumbnailReady(TSeriesPanel* panel);
  // Every thumbnail of the current panels is in (or failed).
  void ThumbnailsFinished();
  // A double-click showed a series in `cell`.
  void SeriesShown(TadvancedImage* cell);
  // A document's window was asked for (opened: it shows).
  void DocumentOpened(const QString& path, bool opened);
  // Files or folders dropped on the column, to be opened as the window opens them.
  void PathsDropped(const QStringList& paths);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  friend class TSeriesPanel;
  void DragStarted();
  void DragFinished();
  void RetireContent();
  void ApplyFilter();
  void UpdateKeyImages(TSeriesPanel* panel) const;
  void ShowSeries(TSeriesPanel* panel);
  void OpenDocuments(TSeriesPanel* panel);
  void DeliverThumbnail(quint64 generation, size_t index, const QImage& picture);
  // Makes up to count more panels of the current Display, then queues the rest.
  void BuildPanels(quint64 generation, size_t count);

  struct SeriesEntry {
    int patient, study, series, images;
    std::string description;  // of its first image
    std::vector<TDocumentRecord> documents;
  };
  // One panel to make: a patient (study < 0), a study (entry 0) or series
  // entry - 1; a study listed under another patient (under >= 0, with its
  // warning) or only on an archive (archive >= 0).
  struct PanelRow {
    PanelRow(int p, int s, int e, int u = -1, int a = -1, bool pr = false, std::string w = {})
        : patient(p), study(s), entry(e), under(u), archive(a), prior(pr), warning(std::move(w)) {}
    int patient, study, entry;
    int under;
    int archive;
    bool prior;
    std::string warning;
  };
  struct PanelBuild {
    TPatientArr outline;
    std::vector<SeriesEntry> entries;
    std::vector<TImg> sources;  // frame 1 of each series, taken under the tree's lock
    std::vector<TArchiveStudy> archive;
    std::shared_ptr<std::vector<PanelRow>> rows;
    size_t next;
  };
  std::shared_ptr<PanelBuild> FBuild;  // the panels still to make

  QWidget* FHost = nullptr;     // the scroll area's widget, for the tool's life
  QWidget* FContent = nullptr;  // the column shown in it
  std::vector<QPointer<TSeriesPanel>> FSeriesPanels;
  quint64 FGeneration = 0;
  int FPending = 0;
  // Set when the panels it was made for are gone: queued decodes skip.
  std::shared_ptr<std::atomic<bool>> FCancel;
  // Panels retired while a drag from one of them runs; freed when it ends.
  std::vector<QPointer<QWidget>> FRetired;
  bool FDragging = false;
  QString FFilter;
  bool FKeyRefreshQueued = false;  // one recount for a burst of mark changes
  // The series last shown from the browser: by its UID, or by its place
  // when it has none.
  QString FCurrentUid;
  std::array<int, 3> FCurrentAt{-1, -1, -1};
  int FRestoreScroll = -1;  // the place a rebuild goes back to, while the column grows
  QThreadPool FPool;
};
