// Window presets of the user's own: the file beside the hanging protocols,
// the preset list and cell menu by the active cell's modality, their keys
// and the dialog that edits them.
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QStringList>
#include <QToolButton>

#include "app/PresetsDialog.h"
#include "app/Unit1.h"
#include "viewer/AdvancedImage.h"

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// The modality a cell's presets are for: "" without an image. An 8-bit or
// colour CT (a screen capture) has no Hounsfield units to window.
QString PresetModality(const TadvancedImage* c) {
  if (!c || !c->HasImage) return {};
  const QString m = Q(c->gDicomData.modality).trimmed().toUpper();
  if (m == "CT" && !IsCt(c)) return {};
  return m;
}

}  // namespace

// Built-ins keep F1..F12 and Shift+F1; the user's presets of the modality
// shown take Shift+F2 on.
QString UserPresetKey(int index) {
  return index < 11 ? QString("Shift+F%1").arg(index + 2) : QString();
}

std::vector<hanging::TUserPreset> TForm1::ActiveUserPresets() const {
  const QString m = PresetModality(ActiveAdvancedImage);
  if (m.isEmpty()) return {};
  return hanging::PresetsFor(UserPresets, m.toStdString());
}

void TForm1::FillPresetCombo() {
  QString m = PresetModality(ActiveAdvancedImage);
  const std::vector<hanging::TUserPreset> own =
      m.isEmpty() ? std::vector<hanging::TUserPreset>{}
                  : hanging::PresetsFor(UserPresets, m.toStdString());
  // Without a cell of another modality with presets of its own, the list
  // shows CT's (disabled where they do not apply).
  if (m != "CT" && own.empty()) m = "CT";
  if (m == FPresetComboFor) return;
  const QSignalBlocker quiet(WwWlPresetsComboBox);
  WwWlPresetsComboBox->clear();
  QStringList keys;
  auto add = [&](const QString& name, double ww, double wl, const QString& key) {
    WwWlPresetsComboBox->addItem(name, QVariantList{ww, wl, m});
    const int i = WwWlPresetsComboBox->count() - 1;
    WwWlPresetsComboBox->setItemData(i, key.isEmpty() ? name : key, Qt::ToolTipRole);
    if (!key.isEmpty()) keys << key + " " + name;
  };
  if (m == "CT")
    for (size_t i = 0; i < kWwWlPresets.size(); ++i)
      add(kWwWlPresets[i].Name, kWwWlPresets[i].WW, kWwWlPresets[i].WL,
          i < 12 ? QString("F%1").arg(i + 1) : QString("Shift+F%1").arg(i - 11));
  const std::vector<hanging::TUserPreset> listed =
      m == "CT" ? hanging::PresetsFor(UserPresets, "CT") : own;
  for (size_t i = 0; i < listed.size(); ++i)
    add(Q(listed[i].name), listed[i].ww, listed[i].wl, UserPresetKey(int(i)));
  WwWlPresetsComboBox->setToolTip(m + " presets: " + keys.join(", ") +
                                  "; Window Presets\u2026 in Settings adds your own");
  WwWlPresetsComboBox->setCurrentIndex(-1);
  FPresetComboFor = m;
}

void TForm1::LoadUserPresetsFile() {
  const std::string path = hanging::UserPresetsPath();
  hanging::TUserPresets read = hanging::LoadUserPresets(path);
  UserPresets = std::move(read.presets);
  FPresetComboFor.clear();
  FillPresetCombo();
  if (read.problems.empty()) return;
  QStringList lines;
  for (const hanging::TProblem& p : read.problems) lines << Q(hanging::ProblemText(p));
  const QString text =
      "Some of your window presets could not be read and are left out:\n" + lines.join('\n');
  // Once the window is up (and a test's override is in place), not from the constructor.
  QMetaObject::invokeMethod(
      this, [this, text] { ShowMessage(text); }, Qt::QueuedConnection);
}

bool TForm1::SetUserPresets(const std::vector<hanging::TUserPreset>& presets) {
  std::string why;
  if (!hanging::SaveUserPresets(hanging::UserPresetsPath(), presets, &why)) {
    ShowMessage("Your window presets could not be saved: " + Q(why));
    return false;
  }
  UserPresets = presets;
  FPresetComboFor.clear();
  FillPresetCombo();
  SyncWindowBoxes();
  return true;
}

bool TForm1::ExecPresetsDialog(TPresetsDialog& dialog) {
  return dialog.exec() == QDialog::Accepted;
}

void TForm1::ShowPresetsDialog() {
  const TadvancedImage* c = ActiveAdvancedImage;
  const bool window = c && c->HasImage;
  TPresetsDialog dialog(this, UserPresets, PresetModality(c), window ? c->windowWidth : 400,
                        window ? c->windowLevel : 40);
  if (!ExecPresetsDialog(dialog) || !dialog.Changed()) return;
  SetUserPresets(dialog.Presets());
}
