// The thumbnail browser: the scrolling column that lists the study tree, one
// panel per patient, per study and per series (with its thumbnail), in tree
// order. Double-clicking a series shows it in the active cell; dragging it
// onto a cell shows it there.
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
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "dicom/define_types.h"

class QMenu;
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
  int NumOfSeries = 0;
  int PatientIndex = 0;
  int StudyIndex = 0;
  QLabel* StudyDateTimeLabel;
  QLabel* StudyDescriptionlabel;
  QLabel* StudyModalityLabel;
};

// 110 px: the thumbnail above the series label.
class TSeriesPanel : public QFrame {
  Q_OBJECT
 public:
  TSeriesPanel(QWidget* owner, int numOfImgs, int serIdx, int stIdx, int patIdx,
               const TSeries& series);

  QString Modality, SeriesNumber, SeriesInstanceUID;
  int NumOfImages = 0;
  int PatientIndex = 0;
  int StudyIndex = 0;
  int SeriesIndex = 0;
  QLabel* SeriesLabel;
  QLabel* Thumbnail;  // 90 px high, the picture centred, not stretched

  // Shows the thumbnail (a null image leaves it empty).
  void SetThumbnail(const QImage& picture);
  QImage ThumbnailImage() const;
  // What a drag from this panel carries.
  TThumbDrag DragObject() const;

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
  bool FPressed = false;
  QPoint FHotSpot;
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

  // Double-click on a series panel: its first image in the active cell, fitted.
  void SeriesPanelDblClick(TSeriesPanel* panel);

  // The panels in column order.
  std::vector<QWidget*> Panels() const;
  std::vector<TSeriesPanel*> SeriesPanels() const;
  // Thumbnails of the current panels still being made (panels still to be
  // made included).
  int PendingThumbnails() const { return FPending; }
  // Every panel of the last Display is made.
  bool PanelsComplete() const { return !FBuild; }

 signals:
  void ThumbnailReady(TSeriesPanel* panel);
  // Every thumbnail of the current panels is in (or failed).
  void ThumbnailsFinished();
  // A double-click showed a series in `cell`.
  void SeriesShown(TadvancedImage* cell);
  // Files or folders dropped on the column, to be opened as the window opens them.
  void PathsDropped(const QStringList& paths);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  friend class TSeriesPanel;
  void DragStarted();
  void DragFinished();
  void RetireContent();
  void DeliverThumbnail(quint64 generation, size_t index, const QImage& picture);
  // Makes up to count more panels of the current Display, then queues the rest.
  void BuildPanels(quint64 generation, size_t count);

  struct SeriesEntry {
    int patient, study, series, images;
  };
  // One panel to make: a patient (study < 0), a study (entry 0) or series
  // entry - 1.
  struct PanelRow {
    int patient, study, entry;
  };
  struct PanelBuild {
    TPatientArr outline;
    std::vector<SeriesEntry> entries;
    std::vector<TImg> sources;  // frame 1 of each series, taken under the tree's lock
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
  QThreadPool FPool;
};
