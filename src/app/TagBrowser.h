// The tag browser: every element of the active image's file in a tree
// (sequences hold their items, items their elements), with tag, VR, keyword,
// name and value; private elements with their creator. Typing in the filter
// keeps the rows that contain the text in any column, with their sequences
// around them. A value, the selected rows or the whole listing as shown can
// be copied.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <string>

#include "dicom/DicomElements.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;
class TTagTreeModel;

class TTagBrowserForm : public QDialog {
  Q_OBJECT
 public:
  enum Column { ColTag, ColVR, ColKeyword, ColName, ColValue, ColumnCount };

  explicit TTagBrowserForm(QWidget* parent = nullptr);
  ~TTagBrowserForm() override;

  // Reads path and shows its elements (non-modal); calling it again refreshes
  // the same window. A file that cannot be read shows why.
  void Display(const std::string& path);
  // As Display, with a listing already read.
  void Display(const std::string& path, TagListing listing);

  void SetFilter(const QString& text);
  // Rows shown now (items included), and the text of the shown listing.
  int VisibleRows() const;
  QString ShownListingText() const;
  // The full value of the current row.
  QString CurrentValue() const;
  const TagListing& Listing() const { return FListing; }

  QLineEdit* filterEdit;
  QTreeView* tree;
  QLabel* statusLabel;
  QPushButton* copyValueButton;
  QPushButton* copyRowsButton;
  QPushButton* copyAllButton;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CopySelectedRows() const;

  TagListing FListing;
  std::unique_ptr<TTagTreeModel> FModel;
};
