#include "app/TagBrowser.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTreeView>
#include <QVBoxLayout>
#include <functional>
#include <vector>

#include "dicom/HeaderFacts.h"

namespace {

// Values longer than this are cut in the tree (the tooltip and the copies
// hold them whole), so a long report text cannot make the rows crawl.
constexpr int kShownValue = 200;

QString Utf8(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

}  // namespace

// One row of the tree: an element, or an item of the sequence above it.
struct TTagNode {
  TTagNode* parent = nullptr;
  int row = 0;
  const TagElement* element = nullptr;  // null: an item of the parent's sequence
  std::vector<std::unique_ptr<TTagNode>> children;
  QString columns[TTagBrowserForm::ColumnCount];
  QString value;     // whole
  QString haystack;  // every column, for the filter
  int depth = 0;
};

namespace {

using Node = TTagNode;

void Build(Node& parent, const std::vector<TagElement>& elements) {
  for (const TagElement& e : elements) {
    auto node = std::make_unique<Node>();
    node->parent = &parent;
    node->row = int(parent.children.size());
    node->element = &e;
    node->depth = parent.depth + 1;
    node->columns[TTagBrowserForm::ColTag] = Utf8(TagText(e.tag));
    node->columns[TTagBrowserForm::ColVR] = Utf8(e.vr);
    node->columns[TTagBrowserForm::ColKeyword] = Utf8(e.keyword);
    node->columns[TTagBrowserForm::ColName] =
        e.creator.empty() ? Utf8(e.name) : "[" + Utf8(e.creator) + "] " + Utf8(e.name);
    node->value = Utf8(ElementValueText(e));
    QString shown = node->value;
    shown.replace(QLatin1Char('\r'), QString())
        .replace(QLatin1Char('\n'), QStringLiteral(" \u21B5 "));
    if (shown.size() > kShownValue) shown = shown.left(kShownValue) + QStringLiteral("\u2026");
    node->columns[TTagBrowserForm::ColValue] = shown;
    for (const QString& c : node->columns) node->haystack += c + QLatin1Char('\t');
    // The tag typed without its punctuation ("00100010") finds it too.
    node->haystack +=
        QString(node->columns[TTagBrowserForm::ColTag]).remove('(').remove(',').remove(')') +
        QLatin1Char('\t');
    node->haystack += node->value;
    for (size_t k = 0; k < e.items.size(); ++k) {
      auto item = std::make_unique<Node>();
      item->parent = node.get();
      item->row = int(k);
      item->depth = node->depth + 1;
      item->columns[TTagBrowserForm::ColTag] = QStringLiteral("Item %1").arg(k + 1);
      const size_t n = e.items[k].size();
      item->columns[TTagBrowserForm::ColValue] =
          QStringLiteral("%1 element%2").arg(n).arg(n == 1 ? "" : "s");
      item->haystack = item->columns[TTagBrowserForm::ColTag];
      Build(*item, e.items[k]);
      node->children.push_back(std::move(item));
    }
    parent.children.push_back(std::move(node));
  }
}

}  // namespace

// The rows shown: the whole tree, or what the filter keeps of it.
struct TTagView {
  const TTagNode* node = nullptr;
  TTagView* parent = nullptr;
  int row = 0;
  std::vector<std::unique_ptr<TTagView>> children;
};

namespace {

// Keeps the rows whose columns contain the needle, the sequences and items
// above them, and everything below a row that matches. Returns whether
// anything of node's subtree is kept.
bool Keep(const TTagNode& node, const QString& needle, bool all, TTagView& into) {
  bool kept = false;
  for (const auto& child : node.children) {
    const bool match = all || child->haystack.contains(needle, Qt::CaseInsensitive);
    auto v = std::make_unique<TTagView>();
    v->node = child.get();
    v->parent = &into;
    if (Keep(*child, needle, match, *v) || match) {
      v->row = int(into.children.size());
      into.children.push_back(std::move(v));
      kept = true;
    }
  }
  return kept;
}

}  // namespace

class TTagTreeModel : public QAbstractItemModel {
  using Node = TTagNode;
  using View = TTagView;

 public:
  void Reset(const TagListing& listing) {
    beginResetModel();
    root_ = std::make_unique<Node>();
    Build(*root_, listing.elements);
    Refilter();
    endResetModel();
  }
  // One reset for the whole change: far cheaper for the view than removing
  // and inserting rows piece by piece.
  void SetNeedle(const QString& needle) {
    beginResetModel();
    needle_ = needle;
    Refilter();
    endResetModel();
  }

  QModelIndex index(int row, int column, const QModelIndex& parent) const override {
    const View* p = ViewOf(parent);
    if (!p || row < 0 || size_t(row) >= p->children.size() || column < 0 ||
        column >= TTagBrowserForm::ColumnCount)
      return {};
    return createIndex(row, column, p->children[size_t(row)].get());
  }
  QModelIndex parent(const QModelIndex& child) const override {
    if (!child.isValid()) return {};
    const View* v = static_cast<const View*>(child.internalPointer());
    if (!v->parent || v->parent == view_.get()) return {};
    return createIndex(v->parent->row, 0, v->parent);
  }
  int rowCount(const QModelIndex& parent) const override {
    if (parent.isValid() && parent.column() != 0) return 0;
    const View* p = ViewOf(parent);
    return p ? int(p->children.size()) : 0;
  }
  int columnCount(const QModelIndex&) const override { return TTagBrowserForm::ColumnCount; }
  QVariant data(const QModelIndex& index, int role) const override {
    const Node* n = NodeAt(index);
    if (!n) return {};
    switch (role) {
      case Qt::DisplayRole:
        return n->columns[index.column()];
      case Qt::ToolTipRole:
        if (index.column() == TTagBrowserForm::ColValue && n->value.size() > kShownValue)
          return n->value.left(4000);
        return {};
      case Qt::UserRole + 1:
        return n->value;
      default:
        return {};
    }
  }
  QVariant headerData(int section, Qt::Orientation o, int role) const override {
    static const char* kTitles[] = {"Tag", "VR", "Keyword", "Name", "Value"};
    if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < TTagBrowserForm::ColumnCount)
      return QString::fromLatin1(kTitles[section]);
    return {};
  }
  static const Node* NodeAt(const QModelIndex& index) {
    return index.isValid() ? static_cast<const View*>(index.internalPointer())->node : nullptr;
  }

 private:
  void Refilter() {
    view_ = std::make_unique<View>();
    view_->node = root_.get();
    Keep(*root_, needle_, needle_.isEmpty(), *view_);
  }
  const View* ViewOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<const View*>(index.internalPointer()) : view_.get();
  }
  std::unique_ptr<Node> root_ = std::make_unique<Node>();
  std::unique_ptr<View> view_ = std::make_unique<View>();
  QString needle_;
};

namespace {

void AppendShown(const QAbstractItemModel& m, const QModelIndex& parent, QString& out) {
  for (int r = 0; r < m.rowCount(parent); ++r) {
    const QModelIndex i = m.index(r, 0, parent);
    const TTagNode* n = TTagTreeModel::NodeAt(i);
    if (!n) continue;
    QString line(size_t(std::max(0, n->depth - 1)) * 2, QLatin1Char(' '));
    if (n->element) {
      line += n->columns[TTagBrowserForm::ColTag] + ' ' + n->columns[TTagBrowserForm::ColVR] + ' ' +
              (n->columns[TTagBrowserForm::ColKeyword].isEmpty()
                   ? n->columns[TTagBrowserForm::ColName]
                   : n->columns[TTagBrowserForm::ColKeyword]) +
              '\t' + QString(n->value).replace('\n', "\\n").replace('\r', "\\r");
    } else {
      line += n->columns[TTagBrowserForm::ColTag];
    }
    out += line + '\n';
    AppendShown(m, i, out);
  }
}

int CountShown(const QAbstractItemModel& m, const QModelIndex& parent) {
  int n = m.rowCount(parent);
  for (int r = 0, rows = n; r < rows; ++r) n += CountShown(m, m.index(r, 0, parent));
  return n;
}

}  // namespace

TTagBrowserForm::TTagBrowserForm(QWidget* parent)
    : QDialog(parent), FModel(std::make_unique<TTagTreeModel>()) {
  setObjectName("TagBrowserForm");
  setWindowTitle("DICOM Tags");
  setModal(false);
  resize(900, 640);
  auto* layout = new QVBoxLayout(this);
  filterEdit = new QLineEdit(this);
  filterEdit->setObjectName("tagFilterEdit");
  filterEdit->setPlaceholderText("Filter by tag, keyword, name or value");
  filterEdit->setClearButtonEnabled(true);
  layout->addWidget(filterEdit);

  tree = new QTreeView(this);
  tree->setObjectName("tagTree");
  tree->setModel(FModel.get());
  tree->setUniformRowHeights(true);
  tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tree->setAlternatingRowColors(true);
  tree->header()->setStretchLastSection(true);
  tree->setColumnWidth(ColTag, 130);
  tree->setColumnWidth(ColVR, 40);
  tree->setColumnWidth(ColKeyword, 220);
  tree->setColumnWidth(ColName, 220);
  layout->addWidget(tree, 1);

  auto* row = new QHBoxLayout;
  statusLabel = new QLabel(this);
  statusLabel->setObjectName("tagStatusLabel");
  statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  row->addWidget(statusLabel, 1);
  copyValueButton = new QPushButton("Copy Value", this);
  copyRowsButton = new QPushButton("Copy Selected Rows", this);
  copyAllButton = new QPushButton("Copy Listing", this);
  copyValueButton->setToolTip("Copy the value of the current element");
  copyRowsButton->setToolTip("Copy the selected rows (Ctrl+C)");
  copyAllButton->setToolTip("Copy every row shown (all of them without a filter)");
  for (auto* b : {copyValueButton, copyRowsButton, copyAllButton}) {
    b->setAutoDefault(false);
    row->addWidget(b);
  }
  layout->addLayout(row);

  connect(filterEdit, &QLineEdit::textChanged, this, &TTagBrowserForm::SetFilter);
  connect(copyValueButton, &QPushButton::clicked, this,
          [this] { QApplication::clipboard()->setText(CurrentValue()); });
  connect(copyRowsButton, &QPushButton::clicked, this, [this] { CopySelectedRows(); });
  connect(copyAllButton, &QPushButton::clicked, this,
          [this] { QApplication::clipboard()->setText(ShownListingText()); });
  tree->installEventFilter(this);
  auto* find = new QShortcut(QKeySequence::Find, this);
  connect(find, &QShortcut::activated, this, [this] {
    filterEdit->setFocus();
    filterEdit->selectAll();
  });
}

TTagBrowserForm::~TTagBrowserForm() {
  // The view goes before the model it looks at.
  tree->setModel(nullptr);
}

void TTagBrowserForm::Display(const std::string& path) {
  Display(path, ReadTagListing(path));
}

void TTagBrowserForm::Display(const std::string& path, TagListing listing) {
  FListing = std::move(listing);
  FModel->Reset(FListing);
  const QString name = QFileInfo(QString::fromStdString(path)).fileName();
  setWindowTitle("DICOM Tags - " + name);
  QString status;
  if (!FListing.ok) {
    status = "<span style='color:#c00000'>" + (name + ": " + Utf8(FListing.error)).toHtmlEscaped() +
             "</span>";
  } else {
    status = QStringLiteral("%1 elements \u00B7 %2")
                 .arg(FListing.count)
                 .arg(Utf8(TransferSyntaxName(FListing.transferSyntax)).toHtmlEscaped());
  }
  if (!FListing.warning.empty())
    status +=
        " \u00B7 <span style='color:#c00000'>" + Utf8(FListing.warning).toHtmlEscaped() + "</span>";
  statusLabel->setText(status);
  // The tag column holds the deepest row's tag beside its indentation.
  int depth = 0;
  const std::function<void(const std::vector<TagElement>&, int)> deepest =
      [&](const std::vector<TagElement>& es, int d) {
        for (const auto& e : es) {
          depth = std::max(depth, d);
          for (const auto& item : e.items) deepest(item, d + 2);
        }
      };
  deepest(FListing.elements, 0);
  const int tagWidth = tree->fontMetrics().horizontalAdvance("(0000,0000)") + 24;
  tree->setColumnWidth(ColTag, std::min(tagWidth + tree->indentation() * (depth + 1), 420));
  // Sequences open at once in a header of ordinary size; a huge one opens
  // at the top level and unfolds on demand.
  if (FListing.count <= 20000)
    tree->expandAll();
  else
    tree->collapseAll();
  show();
  raise();
  activateWindow();
}

void TTagBrowserForm::SetFilter(const QString& text) {
  if (filterEdit->text() != text) {
    filterEdit->setText(text);  // comes back here through textChanged
    return;
  }
  FModel->SetNeedle(text.trimmed());
  if (!text.trimmed().isEmpty() || FListing.count <= 20000) tree->expandAll();
}

int TTagBrowserForm::VisibleRows() const {
  return CountShown(*FModel, {});
}

QString TTagBrowserForm::ShownListingText() const {
  QString out;
  AppendShown(*FModel, {}, out);
  return out;
}

QString TTagBrowserForm::CurrentValue() const {
  const QModelIndex i = tree->currentIndex();
  return i.isValid() ? FModel->data(i.siblingAtColumn(0), Qt::UserRole + 1).toString() : QString();
}

void TTagBrowserForm::CopySelectedRows() const {
  QStringList lines;
  for (const QModelIndex& i : tree->selectionModel()->selectedRows()) {
    QStringList cells;
    for (int c = 0; c < ColumnCount; ++c)
      cells << (c == ColValue ? FModel->data(i.siblingAtColumn(0), Qt::UserRole + 1).toString()
                              : FModel->data(i.siblingAtColumn(c), Qt::DisplayRole).toString());
    lines << cells.join('\t');
  }
  QApplication::clipboard()->setText(lines.join('\n'));
}

bool TTagBrowserForm::eventFilter(QObject* watched, QEvent* event) {
  // The tree would copy only the cell under the cursor.
  if (watched == tree && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
    CopySelectedRows();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TTagBrowserForm::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    CopySelectedRows();
    return;
  }
  // Escape clears a filter first, then closes.
  if (event->key() == Qt::Key_Escape && !filterEdit->text().isEmpty()) {
    filterEdit->clear();
    return;
  }
  QDialog::keyPressEvent(event);
}
