#include "app/OpenDialog.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>

namespace {

class TDicomFileFilter : public QSortFilterProxyModel {
 public:
  explicit TDicomFileFilter(QFileDialog* dialog) : QSortFilterProxyModel(dialog), FDialog(dialog) {}

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (!files) return true;
    const QModelIndex index = files->index(row, 0, parent);
    if (files->isDir(index)) return true;
    // The dialog hides the patterns: the filter is known by its name.
    if (!QString::fromLatin1(kDicomFilesFilter).startsWith(FDialog->selectedNameFilter()))
      return true;
    return LooksLikeDicomFileName(files->fileName(index));
  }

 private:
  QFileDialog* FDialog;
};

}  // namespace

bool LooksLikeDicomFileName(const QString& name) {
  if (name.compare(QLatin1String("DICOMDIR"), Qt::CaseInsensitive) == 0) return true;
  const int dot = name.lastIndexOf(QLatin1Char('.'));
  if (dot == 0) return false;  // a hidden file
  if (dot < 0) return true;    // no extension
  const QString ext = name.mid(dot + 1).toLower();
  if (ext.isEmpty()) return true;
  static const QStringList known{"dcm", "dic", "dicom", "dcn", "ima", "dc3", "acr"};
  if (known.contains(ext)) return true;
  // UID names and numbered series: the "extension" is a number.
  for (QChar c : ext)
    if (!c.isDigit()) return false;
  return true;
}

QFileDialog* NewImageOpenDialog(QWidget* parent, const QString& dir) {
  auto* dialog = new QFileDialog(parent, QStringLiteral("Open Image"), dir);
  dialog->setObjectName(QStringLiteral("imagesOpenDialog"));
  dialog->setOption(QFileDialog::DontUseNativeDialog);
  dialog->setOption(QFileDialog::HideNameFilterDetails);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setNameFilters(
      {QString::fromLatin1(kDicomFilesFilter), QString::fromLatin1(kAllFilesFilter)});
  auto* filter = new TDicomFileFilter(dialog);
  dialog->setProxyModel(filter);
  QObject::connect(dialog, &QFileDialog::filterSelected, filter,
                   [filter] { filter->invalidate(); });
  return dialog;
}
