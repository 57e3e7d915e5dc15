// "Window Presets": the user's own window presets, per modality, added,
// renamed and removed. The dialog edits a copy; the caller stores the list
// when the dialog is accepted with changes.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

#include "hanging/UserPresets.h"

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

class TPresetsDialog : public QDialog {
  Q_OBJECT
 public:
  // The fields start with the active cell's modality and window.
  TPresetsDialog(QWidget* parent, std::vector<hanging::TUserPreset> presets,
                 const QString& modality, double ww, double wl);

  QTableWidget* table;  // Modality, Name, WW, WL
  QLineEdit* modalityEdit;
  QLineEdit* nameEdit;
  QLineEdit* wwEdit;
  QLineEdit* wlEdit;
  QPushButton* addButton;
  QPushButton* renameButton;
  QPushButton* removeButton;
  QLabel* problemLabel;  // why the last command was refused
  QDialogButtonBox* buttons;

  // Each acts as its button: false (and problemLabel says why) when refused.
  bool Add();
  // The selected preset takes the name in nameEdit.
  bool RenameSelected();
  bool RemoveSelected();
  void SelectRow(int row);

  const std::vector<hanging::TUserPreset>& Presets() const { return FPresets; }
  bool Changed() const { return FChanged; }

  // Why a preset may not be named so for its modality ("" when it may);
  // `except` is the index of the preset being renamed.
  static QString NameProblem(const std::vector<hanging::TUserPreset>& presets,
                             const std::string& modality, const QString& name, int except = -1);

 private:
  void Refresh(int select);
  void Refuse(const QString& why);
  void RowChosen();

  std::vector<hanging::TUserPreset> FPresets;
  bool FChanged = false;
};
