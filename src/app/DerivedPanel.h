// The "Segments" panel: the segmentations and RT structure sets that lie on
// the active cell's image, one header row per object (with its notes: bad
// geometry, what could not be read) and one row per segment or ROI with its
// colour, name, visibility and fill opacity; then the objects of the run that
// lie on no open image, with the reason. Choices go to the store, which
// every cell draws from.
//
// One tree of plain items (no widget per row) so that objects of hundreds of
// segments list and scroll at once. UI thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <set>
#include <string>

class QLabel;
class QMainWindow;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;
class TadvancedImage;

class TDerivedPanel : public QWidget {
  Q_OBJECT
 public:
  // What a row is, under kRoleKind of column 0.
  enum RowKind { kObjectRow = 1, kItemRow, kNoteRow, kSectionRow };
  static constexpr int kRoleKind = Qt::UserRole + 1;
  static constexpr int kRolePath = Qt::UserRole + 2;     // the object's file
  static constexpr int kRoleIndex = Qt::UserRole + 3;    // segment or ROI index in the object
  static constexpr int kRoleOpacity = Qt::UserRole + 4;  // column 1: 0..100

  explicit TDerivedPanel(QWidget* parent = nullptr);

  // Where the panel finds the active cell (it may return null).
  void SetActiveCell(std::function<TadvancedImage*()> active);
  // The active cell, or the image it shows, may have changed. Cheap to call
  // on every image step: the rows are rebuilt only when what lies on the
  // image changes.
  void Follow();
  // Rebuilds at once what a queued refresh would (tests, and the dock
  // becoming visible).
  void Refresh();

  QTreeWidget* Tree() const { return FTree; }
  // The line shown when nothing lies on the image.
  QLabel* EmptyLine() const { return FEmpty; }

 private:
  void QueueRefresh();
  void Rebuild();
  // Check states and opacities from the store, without rebuilding.
  void SyncStyles();
  void ItemChanged(QTreeWidgetItem* item, int column);
  void SetAll(const std::string& path, bool visible);

  std::function<TadvancedImage*()> FActive;
  QLabel* FEmpty;
  QTreeWidget* FTree;
  std::set<std::string> FFolded;  // object rows the user folded, by path
  std::string FShown;  // what the rows were built from; a rebuild is needed when it differs
  bool FQueued = false;
  bool FSyncing = false;  // item changes made by the panel itself
};

// The cell menu's "Segments Panel" toggle of the panel's dock, once the run
// holds a segmentation or structure set (a closed dock comes back here).
void AddDerivedPanelEntry(QMenu* menu, TDerivedPanel* panel);

// A "Segments" dock at the window's right with the panel in it; hidden until
// the run holds a segmentation or structure set, shown again when another
// one comes.
TDerivedPanel* AddDerivedPanelDock(QMainWindow& window, std::function<TadvancedImage*()> active);
