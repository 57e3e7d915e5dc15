#include "app/DerivedPanel.h"

#include <QDockWidget>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

#include "app/DerivedLoading.h"
#include "viewer/AdvancedImage.h"
#include "viewer/DerivedObjectStore.h"

namespace {

// Notes shown under an object; the rest are in the last one's tooltip, so a
// file with a thousand bad frames does not bury the rows.
constexpr size_t kNotesShown = 3;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

QIcon Swatch(const std::array<uint8_t, 3>& rgb) {
  QPixmap pixmap(14, 14);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setPen(QColor(0, 0, 0, 160));
  p.setBrush(QColor(rgb[0], rgb[1], rgb[2]));
  p.drawRect(0, 0, 13, 13);
  return QIcon(pixmap);
}

int Percent(double opacity) {
  return int(std::lround(std::clamp(opacity, 0.0, 1.0) * 100.0));
}

// The opacity column: a bar the user clicks to set, or edits as a number
// (double click, F2). Painted, not a widget per row.
class TOpacityDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const QVariant value = index.data(TDerivedPanel::kRoleOpacity);
    if (!value.isValid()) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    const int percent = std::clamp(value.toInt(), 0, 100);
    const QRect bar = option.rect.adjusted(3, 4, -3, -4);
    painter->save();
    painter->setPen(option.palette.color(QPalette::Mid));
    painter->setBrush(option.palette.color(QPalette::Base));
    painter->drawRect(bar);
    QRect filled = bar.adjusted(1, 1, 0, 0);
    filled.setWidth(filled.width() * percent / 100);
    painter->fillRect(filled, option.palette.color(QPalette::Highlight).lighter(130));
    painter->setPen(option.palette.color(QPalette::Text));
    painter->drawText(bar, Qt::AlignCenter, QString::number(percent) + " %");
    painter->restore();
  }

  bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
    if (!index.data(TDerivedPanel::kRoleOpacity).isValid())
      return QStyledItemDelegate::editorEvent(event, model, option, index);
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease)
      return QStyledItemDelegate::editorEvent(event, model, option, index);
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton) return false;
    const QRect bar = option.rect.adjusted(3, 0, -3, 0);
    if (bar.width() <= 0) return false;
    const double at = (mouse->position().x() - bar.left()) / double(bar.width());
    const int percent = int(std::lround(std::clamp(at, 0.0, 1.0) * 100.0));
    if (percent != index.data(TDerivedPanel::kRoleOpacity).toInt())
      model->setData(index, percent, TDerivedPanel::kRoleOpacity);
    return true;
  }

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                        const QModelIndex& index) const override {
    if (!index.data(TDerivedPanel::kRoleOpacity).isValid()) return nullptr;
    auto* box = new QSpinBox(parent);
    box->setRange(0, 100);
    box->setSuffix(" %");
    return box;
  }
  void setEditorData(QWidget* editor, const QModelIndex& index) const override {
    static_cast<QSpinBox*>(editor)->setValue(index.data(TDerivedPanel::kRoleOpacity).toInt());
  }
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override {
    auto* box = static_cast<QSpinBox*>(editor);
    box->interpretText();
    model->setData(index, box->value(), TDerivedPanel::kRoleOpacity);
  }
};

const TOverlayStyle* StyleOf(const std::string& path, size_t item) {
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  for (const TStoredSegmentation& s : store.Segmentations())
    if (s.path == path) return item < s.styles.size() ? &s.styles[item] : nullptr;
  for (const TStoredStructureSet& s : store.StructureSets())
    if (s.path == path) return item < s.styles.size() ? &s.styles[item] : nullptr;
  return nullptr;
}

// The reader's notes the store does not already hold (it may keep them as
// its own).
void AddMissing(std::vector<std::string>& lines, const std::vector<std::string>& more) {
  for (const std::string& m : more)
    if (std::find(lines.begin(), lines.end(), m) == lines.end()) lines.push_back(m);
}

QString FileName(const std::string& path) {
  return QFileInfo(Q(path)).fileName();
}

QString SegmentationTitle(const TStoredSegmentation& s) {
  const TSegmentation& seg = *s.seg;
  QString title = Q(!seg.seriesDescription.empty() ? seg.seriesDescription
                    : !seg.contentLabel.empty()    ? seg.contentLabel
                                                   : std::string());
  if (title.isEmpty()) title = FileName(s.path);
  const size_t n = seg.segments.size();
  return title + QString("  (%1 %2)").arg(n).arg(n == 1 ? "segment" : "segments");
}

QString StructureSetTitle(const TStoredStructureSet& s) {
  QString title = Q(s.set->label);
  if (title.isEmpty()) title = FileName(s.path);
  const size_t n = s.set->rois.size();
  return title + QString("  (%1 %2)").arg(n).arg(n == 1 ? "structure" : "structures");
}

}  // namespace

TDerivedPanel::TDerivedPanel(QWidget* parent) : QWidget(parent) {
  setObjectName("derivedPanel");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  FEmpty = new QLabel(this);
  FEmpty->setObjectName("derivedPanelEmpty");
  FEmpty->setWordWrap(true);
  layout->addWidget(FEmpty);
  FTree = new QTreeWidget(this);
  FTree->setObjectName("derivedPanelTree");
  FTree->setColumnCount(2);
  FTree->setHeaderLabels({"Segment", "Fill"});
  FTree->header()->setStretchLastSection(false);
  FTree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  FTree->header()->setSectionResizeMode(1, QHeaderView::Fixed);
  FTree->header()->resizeSection(1, 90);
  FTree->setItemDelegateForColumn(1, new TOpacityDelegate(FTree));
  FTree->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
  FTree->setSelectionMode(QAbstractItemView::SingleSelection);
  FTree->setWordWrap(true);
  layout->addWidget(FTree, 1);
  connect(FTree, &QTreeWidget::itemChanged, this,
          [this](QTreeWidgetItem* item, int column) { ItemChanged(item, column); });
  // What the user folds stays folded while the object is off the image.
  for (const bool folded : {true, false})
    connect(FTree, folded ? &QTreeWidget::itemCollapsed : &QTreeWidget::itemExpanded, this,
            [this, folded](QTreeWidgetItem* item) {
              if (FSyncing || item->data(0, kRoleKind).toInt() != kObjectRow) return;
              const std::string path = item->data(0, kRolePath).toString().toStdString();
              if (folded)
                FFolded.insert(path);
              else
                FFolded.erase(path);
            });
  connect(&TDerivedObjectStore::Instance(), &TDerivedObjectStore::Changed, this,
          [this] { QueueRefresh(); });
  Refresh();
}

void TDerivedPanel::SetActiveCell(std::function<TadvancedImage*()> active) {
  FActive = std::move(active);
  QueueRefresh();
}

void TDerivedPanel::Follow() {
  QueueRefresh();
}

void TDerivedPanel::QueueRefresh() {
  // Stepping through a series or a burst of style changes asks many times
  // in one turn: answered once.
  if (FQueued) return;
  FQueued = true;
  QTimer::singleShot(0, this, [this] {
    if (FQueued) Refresh();
  });
}

void TDerivedPanel::Refresh() {
  FQueued = false;
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  // What the rows are built from: the objects on the image, their item
  // counts and notes, and the objects on no open image with their reasons.
  std::string shown;
  const TadvancedImage* cell = FActive ? FActive() : nullptr;
  if (cell && cell->HasImage) {
    for (size_t i : store.SegmentationsFor(*cell)) {
      const TStoredSegmentation& s = store.Segmentations()[i];
      shown += "S" + s.path + '\n' + std::to_string(s.styles.size()) + '/' +
               std::to_string(s.notes.size()) + '\n';
    }
    for (size_t i : store.StructureSetsFor(*cell)) {
      const TStoredStructureSet& s = store.StructureSets()[i];
      shown += "R" + s.path + '\n' + std::to_string(s.styles.size()) + '/' +
               std::to_string(s.notes.size()) + '\n';
    }
  }
  shown += cell && cell->HasImage ? "+" : "-";
  for (const TStoredSegmentation& s : store.Segmentations()) {
    const TReferenceCheck c = CheckStoredObject(s.path);
    if (!c.resolved) shown += "U" + s.path + '\n' + c.reason + '\n';
  }
  for (const TStoredStructureSet& s : store.StructureSets()) {
    const TReferenceCheck c = CheckStoredObject(s.path);
    if (!c.resolved) shown += "U" + s.path + '\n' + c.reason + '\n';
  }
  if (shown != FShown) {
    FShown = shown;
    Rebuild();
  } else {
    SyncStyles();
  }
}

void TDerivedPanel::Rebuild() {
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  FSyncing = true;
  // Stepping rebuilds the rows: where the list was scrolled stays.
  const int scrolled = FTree->verticalScrollBar()->value();
  FTree->clear();
  QFont bold = FTree->font();
  bold.setBold(true);
  QFont italic = FTree->font();
  italic.setItalic(true);

  const auto section = [&](const QString& text) {
    auto* item = new QTreeWidgetItem(FTree, {text});
    item->setData(0, kRoleKind, kSectionRow);
    item->setFont(0, bold);
    item->setFlags(Qt::ItemIsEnabled);
    item->setFirstColumnSpanned(true);
    return item;
  };
  const auto notes = [&](QTreeWidgetItem* parent, std::vector<std::string> lines) {
    if (lines.empty()) return;
    QStringList all;
    for (const std::string& l : lines) all << Q(l);
    for (size_t k = 0; k < lines.size() && k < kNotesShown; ++k) {
      QString text = Q(lines[k]);
      if (k + 1 == kNotesShown && lines.size() > kNotesShown)
        text += QString("  (and %1 more)").arg(lines.size() - kNotesShown);
      auto* item = new QTreeWidgetItem(parent, {text});
      item->setData(0, kRoleKind, kNoteRow);
      item->setFont(0, italic);
      item->setForeground(0, QColor(150, 90, 0));
      item->setToolTip(0, all.join('\n'));
      item->setFlags(Qt::ItemIsEnabled);
      item->setFirstColumnSpanned(true);
    }
  };
  const auto object = [&](QTreeWidgetItem* parent, const QString& title, const std::string& path) {
    auto* item = new QTreeWidgetItem(parent, {title});
    item->setData(0, kRoleKind, kObjectRow);
    item->setData(0, kRolePath, Q(path));
    item->setToolTip(0, Q(path));
    item->setFlags(Qt::ItemIsEnabled);
    return item;
  };
  const auto buttons = [&](QTreeWidgetItem* header, const std::string& path) {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(2);
    for (const bool visible : {true, false}) {
      auto* b = new QToolButton(box);
      // Short words: the column stays narrow enough for a docked panel.
      b->setText(visible ? "Show" : "Hide");
      b->setToolTip(visible ? "Show all of this object" : "Hide all of this object");
      b->setObjectName(visible ? "showAll" : "hideAll");
      b->setAutoRaise(true);
      connect(b, &QToolButton::clicked, this, [this, path, visible] { SetAll(path, visible); });
      row->addWidget(b);
    }
    FTree->setItemWidget(header, 1, box);
  };
  const auto entry = [&](QTreeWidgetItem* parent, const std::string& path, size_t index,
                         const QString& name, const std::array<uint8_t, 3>& rgb,
                         const TOverlayStyle& style) {
    auto* item = new QTreeWidgetItem(parent, {name});
    item->setData(0, kRoleKind, kItemRow);
    item->setData(0, kRolePath, Q(path));
    item->setData(0, kRoleIndex, qulonglong(index));
    item->setIcon(0, Swatch(rgb));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable |
                   Qt::ItemIsEditable);
    item->setCheckState(0, style.visible ? Qt::Checked : Qt::Unchecked);
    item->setData(1, kRoleOpacity, Percent(style.opacity));
    item->setToolTip(0, QString("#%1 %2").arg(index + 1).arg(name));
  };

  const TadvancedImage* cell = FActive ? FActive() : nullptr;
  const bool image = cell && cell->HasImage;
  const std::vector<size_t> segs = image ? store.SegmentationsFor(*cell) : std::vector<size_t>{};
  const std::vector<size_t> sets = image ? store.StructureSetsFor(*cell) : std::vector<size_t>{};
  if (!segs.empty()) {
    QTreeWidgetItem* top = section("Segmentations");
    for (size_t i : segs) {
      const TStoredSegmentation& s = store.Segmentations()[i];
      if (!s.seg) continue;
      QTreeWidgetItem* header = object(top, SegmentationTitle(s), s.path);
      std::vector<std::string> lines = s.notes;
      AddMissing(lines, s.seg->skipped);
      notes(header, lines);
      for (size_t k = 0; k < s.seg->segments.size() && k < s.styles.size(); ++k) {
        const TSegment& seg = s.seg->segments[k];
        const QString name =
            !seg.label.empty() ? Q(seg.label) : QString("Segment %1").arg(seg.number);
        entry(header, s.path, k, name, seg.rgb, s.styles[k]);
      }
      buttons(header, s.path);
    }
  }
  if (!sets.empty()) {
    QTreeWidgetItem* top = section("Structure sets");
    for (size_t i : sets) {
      const TStoredStructureSet& s = store.StructureSets()[i];
      if (!s.set) continue;
      QTreeWidgetItem* header = object(top, StructureSetTitle(s), s.path);
      std::vector<std::string> lines = s.notes;
      AddMissing(lines, s.set->skipped);
      notes(header, lines);
      for (size_t k = 0; k < s.set->rois.size() && k < s.styles.size(); ++k) {
        const TRoi& roi = s.set->rois[k];
        const QString name = !roi.name.empty() ? Q(roi.name) : QString("ROI %1").arg(roi.number);
        entry(header, s.path, k, name, roi.rgb, s.styles[k]);
      }
      buttons(header, s.path);
    }
  }
  // The run's objects over nothing open: listed with why, never dropped.
  QTreeWidgetItem* nowhere = nullptr;
  const auto unresolved = [&](const std::string& path, const QString& title) {
    const TReferenceCheck c = CheckStoredObject(path);
    if (c.resolved) return;
    if (!nowhere) nowhere = section("On no open image");
    notes(object(nowhere, title, path), {c.reason});
  };
  for (const TStoredSegmentation& s : store.Segmentations())
    if (s.seg) unresolved(s.path, SegmentationTitle(s));
  for (const TStoredStructureSet& s : store.StructureSets())
    if (s.set) unresolved(s.path, StructureSetTitle(s));

  FEmpty->setText(!image ? "No image in the active cell."
                         : "No segmentation or structure set lies on this image.");
  FEmpty->setVisible(segs.empty() && sets.empty());
  // Expanded once their rows are in: a row without children does not open.
  for (QTreeWidgetItemIterator it(FTree); *it; ++it) {
    const int kind = (*it)->data(0, kRoleKind).toInt();
    if (kind == kSectionRow || kind == kObjectRow)
      (*it)->setExpanded(!FFolded.count((*it)->data(0, kRolePath).toString().toStdString()));
  }
  FTree->setVisible(FTree->topLevelItemCount() > 0);
  FTree->verticalScrollBar()->setValue(scrolled);
  FSyncing = false;
}

void TDerivedPanel::SyncStyles() {
  FSyncing = true;
  for (QTreeWidgetItemIterator it(FTree); *it; ++it) {
    QTreeWidgetItem* item = *it;
    if (item->data(0, kRoleKind).toInt() != kItemRow) continue;
    const TOverlayStyle* style = StyleOf(item->data(0, kRolePath).toString().toStdString(),
                                         size_t(item->data(0, kRoleIndex).toULongLong()));
    if (!style) continue;
    const Qt::CheckState state = style->visible ? Qt::Checked : Qt::Unchecked;
    if (item->checkState(0) != state) item->setCheckState(0, state);
    if (item->data(1, kRoleOpacity).toInt() != Percent(style->opacity))
      item->setData(1, kRoleOpacity, Percent(style->opacity));
  }
  FSyncing = false;
}

void TDerivedPanel::ItemChanged(QTreeWidgetItem* item, int column) {
  if (FSyncing || item->data(0, kRoleKind).toInt() != kItemRow) return;
  const std::string path = item->data(0, kRolePath).toString().toStdString();
  const size_t index = size_t(item->data(0, kRoleIndex).toULongLong());
  TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  if (column == 0) {
    const TOverlayStyle* style = StyleOf(path, index);
    const bool visible = item->checkState(0) == Qt::Checked;
    if (style && style->visible != visible) store.SetVisible(path, index, visible);
  } else if (column == 1) {
    const QVariant value = item->data(1, kRoleOpacity);
    if (value.isValid()) store.SetOpacity(path, index, std::clamp(value.toInt(), 0, 100) / 100.0);
  }
}

void TDerivedPanel::SetAll(const std::string& path, bool visible) {
  TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  size_t count = 0;
  for (const TStoredSegmentation& s : store.Segmentations())
    if (s.path == path) count = s.styles.size();
  for (const TStoredStructureSet& s : store.StructureSets())
    if (s.path == path) count = s.styles.size();
  for (size_t k = 0; k < count; ++k) {
    const TOverlayStyle* style = StyleOf(path, k);
    if (style && style->visible != visible) store.SetVisible(path, k, visible);
  }
}

TDerivedPanel* AddDerivedPanelDock(QMainWindow& window, std::function<TadvancedImage*()> active) {
  auto* dock = new QDockWidget("Segments", &window);
  dock->setObjectName("derivedPanelDock");
  dock->setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
  auto* panel = new TDerivedPanel(dock);
  panel->SetActiveCell(std::move(active));
  dock->setWidget(panel);
  window.addDockWidget(Qt::RightDockWidgetArea, dock);
  dock->hide();
  // Shown when an object comes that the user has not seen listed; closing
  // it is respected until the next one.
  auto known = std::make_shared<size_t>(0);
  QObject::connect(
      &TDerivedObjectStore::Instance(), &TDerivedObjectStore::Changed, dock, [dock, panel, known] {
        const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
        const size_t count = store.Segmentations().size() + store.StructureSets().size();
        if (count > *known) {
          dock->show();
          panel->Follow();
        }
        *known = count;
      });
  return panel;
}

void AddDerivedPanelEntry(QMenu* menu, TDerivedPanel* panel) {
  const TDerivedObjectStore& store = TDerivedObjectStore::Instance();
  auto* dock = panel ? qobject_cast<QDockWidget*>(panel->parentWidget()) : nullptr;
  if (!dock || (store.Segmentations().empty() && store.StructureSets().empty())) return;
  QAction* toggle = menu->addAction("Segments Panel");
  toggle->setCheckable(true);
  toggle->setChecked(dock->isVisible());
  QObject::connect(toggle, &QAction::toggled, dock, [dock, panel](bool on) {
    dock->setVisible(on);
    if (on) panel->Refresh();
  });
}
