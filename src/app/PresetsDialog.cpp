#include "app/PresetsDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QVBoxLayout>
#include <cmath>

#include "app/Unit1.h"
#include "pixels/WindowLevel.h"

namespace {

constexpr int kMaxNameLength = 64;

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

TPresetsDialog::TPresetsDialog(QWidget* parent, std::vector<hanging::TUserPreset> presets,
                               const QString& modality, double ww, double wl)
    : QDialog(parent), FPresets(std::move(presets)) {
  setObjectName("presetsDialog");
  setWindowTitle("Window Presets");
  auto* column = new QVBoxLayout(this);

  table = new QTableWidget(0, 4, this);
  table->setObjectName("presetsTable");
  table->setHorizontalHeaderLabels({"Modality", "Name", "WW", "WL"});
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::SingleSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  column->addWidget(table, 1);

  auto* form = new QFormLayout;
  modalityEdit = new QLineEdit(modality.trimmed().toUpper(), this);
  modalityEdit->setObjectName("presetModality");
  modalityEdit->setMaxLength(16);
  nameEdit = new QLineEdit(this);
  nameEdit->setObjectName("presetName");
  nameEdit->setMaxLength(kMaxNameLength);
  wwEdit = new QLineEdit(QString::number(ww, 'g', 10), this);
  wwEdit->setObjectName("presetWw");
  wlEdit = new QLineEdit(QString::number(wl, 'g', 10), this);
  wlEdit->setObjectName("presetWl");
  form->addRow("Modality", modalityEdit);
  form->addRow("Name", nameEdit);
  form->addRow("WW", wwEdit);
  form->addRow("WL", wlEdit);
  column->addLayout(form);

  auto* commands = new QHBoxLayout;
  addButton = new QPushButton("Add", this);
  renameButton = new QPushButton("Rename", this);
  removeButton = new QPushButton("Remove", this);
  addButton->setToolTip("Adds a preset of the modality, name and window above");
  renameButton->setToolTip("Gives the selected preset the name above");
  for (QPushButton* b : {addButton, renameButton, removeButton}) {
    b->setAutoDefault(false);
    commands->addWidget(b);
  }
  commands->addStretch(1);
  column->addLayout(commands);

  problemLabel = new QLabel(this);
  problemLabel->setObjectName("presetsProblem");
  problemLabel->setStyleSheet("color: #c62828");
  problemLabel->setWordWrap(true);
  column->addWidget(problemLabel);

  buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  column->addWidget(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(addButton, &QPushButton::clicked, this, [this] { Add(); });
  connect(renameButton, &QPushButton::clicked, this, [this] { RenameSelected(); });
  connect(removeButton, &QPushButton::clicked, this, [this] { RemoveSelected(); });
  connect(table, &QTableWidget::itemSelectionChanged, this, [this] { RowChosen(); });
  Refresh(-1);
  resize(460, 420);
}

QString TPresetsDialog::NameProblem(const std::vector<hanging::TUserPreset>& presets,
                                    const std::string& modality, const QString& name, int except) {
  const QString n = name.trimmed();
  if (n.isEmpty()) return "A preset needs a name.";
  if (n.size() > kMaxNameLength)
    return QString("A name has at most %1 characters.").arg(kMaxNameLength);
  // The combo and the cell menu list CT's built-ins beside the user's: one
  // name must not stand for two windows.
  if (modality == "CT")
    for (const TWwWlPreset& b : kWwWlPresets)
      if (n.compare(b.Name, Qt::CaseInsensitive) == 0)
        return QString("CT already has a built-in preset named %1.").arg(b.Name);
  for (size_t i = 0; i < presets.size(); ++i)
    if (int(i) != except && presets[i].modality == modality &&
        n.compare(Q(presets[i].name), Qt::CaseInsensitive) == 0)
      return QString("%1 already has a preset named %2.").arg(Q(modality), Q(presets[i].name));
  return {};
}

void TPresetsDialog::Refuse(const QString& why) {
  problemLabel->setText(why);
}

bool TPresetsDialog::Add() {
  const QString modality = modalityEdit->text().trimmed().toUpper();
  static const QRegularExpression kModality("^[A-Z0-9]{1,16}$");
  if (!kModality.match(modality).hasMatch()) {
    Refuse("The modality is its DICOM code: letters and digits, such as CT, MR or US.");
    return false;
  }
  double ww = 0, wl = 0;
  if (!ParseWindowValue(wwEdit->text().trimmed().toStdString(), ww) || !std::isfinite(ww) ||
      !(ww > 0)) {
    Refuse("The window width is a number above 0.");
    return false;
  }
  if (!ParseWindowValue(wlEdit->text().trimmed().toStdString(), wl) || !std::isfinite(wl)) {
    Refuse("The window level is a number.");
    return false;
  }
  const QString why = NameProblem(FPresets, modality.toStdString(), nameEdit->text());
  if (!why.isEmpty()) {
    Refuse(why);
    return false;
  }
  FPresets.push_back({modality.toStdString(), nameEdit->text().trimmed().toStdString(), ww, wl});
  FChanged = true;
  Refuse({});
  Refresh(int(FPresets.size()) - 1);
  return true;
}

bool TPresetsDialog::RenameSelected() {
  const int row = table->currentRow();
  if (row < 0 || row >= int(FPresets.size())) {
    Refuse("Select the preset to rename.");
    return false;
  }
  hanging::TUserPreset& p = FPresets[size_t(row)];
  const QString why = NameProblem(FPresets, p.modality, nameEdit->text(), row);
  if (!why.isEmpty()) {
    Refuse(why);
    return false;
  }
  const std::string name = nameEdit->text().trimmed().toStdString();
  if (name == p.name) return true;
  p.name = name;
  FChanged = true;
  Refuse({});
  Refresh(row);
  return true;
}

bool TPresetsDialog::RemoveSelected() {
  const int row = table->currentRow();
  if (row < 0 || row >= int(FPresets.size())) {
    Refuse("Select the preset to remove.");
    return false;
  }
  FPresets.erase(FPresets.begin() + row);
  FChanged = true;
  Refuse({});
  Refresh(std::min(row, int(FPresets.size()) - 1));
  return true;
}

void TPresetsDialog::SelectRow(int row) {
  table->setCurrentCell(row, 0);
}

void TPresetsDialog::RowChosen() {
  const int row = table->currentRow();
  const bool chosen = row >= 0 && row < int(FPresets.size());
  renameButton->setEnabled(chosen);
  removeButton->setEnabled(chosen);
  if (!chosen) return;
  const hanging::TUserPreset& p = FPresets[size_t(row)];
  modalityEdit->setText(Q(p.modality));
  nameEdit->setText(Q(p.name));
  wwEdit->setText(QString::number(p.ww, 'g', 10));
  wlEdit->setText(QString::number(p.wl, 'g', 10));
}

void TPresetsDialog::Refresh(int select) {
  const QSignalBlocker quiet(table);
  table->setRowCount(int(FPresets.size()));
  for (size_t i = 0; i < FPresets.size(); ++i) {
    const hanging::TUserPreset& p = FPresets[i];
    const QString cells[] = {Q(p.modality), Q(p.name), QString::number(p.ww, 'g', 10),
                             QString::number(p.wl, 'g', 10)};
    for (int c = 0; c < 4; ++c) table->setItem(int(i), c, new QTableWidgetItem(cells[c]));
  }
  table->resizeColumnsToContents();
  table->clearSelection();
  table->setCurrentCell(-1, -1);
  if (select >= 0 && select < int(FPresets.size())) table->setCurrentCell(select, 0);
  const int row = table->currentRow();
  renameButton->setEnabled(row >= 0);
  removeButton->setEnabled(row >= 0);
}
