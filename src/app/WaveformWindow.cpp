#include "app/WaveformWindow.h"

#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMap>
#include <QPointer>
#include <QShortcut>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

#include "app/WaveformView.h"
#include "dicom/dicom_values.h"

namespace {

QMap<QString, QPointer<TWaveformWindow>>& OpenWindows() {
  static QMap<QString, QPointer<TWaveformWindow>> windows;
  return windows;
}

QString KeyOf(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  const QString canonical = info.canonicalFilePath();
  return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

QString Utf8(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

QString Html(const std::string& s) {
  return Utf8(s).toHtmlEscaped();
}

// YYYYMMDDHHMMSS... as the viewer's date and HH:MM:SS.
QString DateTimeText(const std::string& dt) {
  if (dt.size() < 8) return Utf8(dt);
  QString out = Utf8(FormatDicomDate(dt.substr(0, 8)));
  if (dt.size() >= 12) {
    out += " " + Utf8(dt.substr(8, 2)) + ":" + Utf8(dt.substr(10, 2));
    if (dt.size() >= 14) out += ":" + Utf8(dt.substr(12, 2));
  }
  return out;
}

QString Hz(double v) {
  return QString::number(v, 'g', 4) + " Hz";
}

// The filters of a group's channels, when they all share them.
QString FilterText(const TWaveformGroup& g) {
  if (g.channels.empty()) return {};
  const TWaveformChannel& first = g.channels.front();
  const auto same = [](double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; };
  for (const TWaveformChannel& ch : g.channels)
    if (!same(ch.filterLow, first.filterLow) || !same(ch.filterHigh, first.filterHigh) ||
        !same(ch.notch, first.notch))
      return "filters differ by channel";
  QStringList parts;
  if (!std::isnan(first.filterLow) && !std::isnan(first.filterHigh))
    parts << "filter " + QString::number(first.filterLow, 'g', 4) + "\u2013" + Hz(first.filterHigh);
  else if (!std::isnan(first.filterLow))
    parts << "high-pass " + Hz(first.filterLow);
  else if (!std::isnan(first.filterHigh))
    parts << "low-pass " + Hz(first.filterHigh);
  if (first.notch > 0) parts << "notch " + Hz(first.notch);
  return parts.join(", ");
}

}  // namespace

TWaveformWindow::TWaveformWindow(TWaveform w, QWidget* parent)
    : QWidget(parent, Qt::Window), waveform_(std::move(w)) {
  setAttribute(Qt::WA_DeleteOnClose);
  key_ = KeyOf(waveform_.path).toStdString();
  OpenWindows()[Utf8(key_)] = this;
  const QString kind = waveform_.className.empty() ? "Waveform" : Utf8(waveform_.className);
  setWindowTitle(kind + " - " + QFileInfo(Utf8(waveform_.path)).fileName());

  header = new QLabel(this);
  header->setWordWrap(true);
  header->setTextFormat(Qt::RichText);
  header->setTextInteractionFlags(Qt::TextSelectableByMouse);

  groupBox = new QComboBox(this);
  for (size_t i = 0; i < waveform_.groups.size(); ++i) {
    const TWaveformGroup& g = waveform_.groups[i];
    if (!g.refused.empty()) continue;
    const QString label = g.label.empty() ? QString("Group %1").arg(g.number) : Utf8(g.label);
    groupBox->addItem(QString("%1 (%2 \u00d7 %3 s)")
                          .arg(label)
                          .arg(g.channels.size())
                          .arg(QString::number(g.DurationSeconds(), 'g', 4)),
                      int(i));
  }
  groupBox->setVisible(groupBox->count() > 1);

  layoutBox = new QComboBox(this);
  layoutBox->addItem("12-lead (3\u00d74 + rhythm)", int(TWaveformView::Layout::TwelveLead));
  layoutBox->addItem("One strip per channel", int(TWaveformView::Layout::Strips));
  speedBox = new QComboBox(this);
  for (double s : {12.5, 25.0, 50.0}) speedBox->addItem(QString::number(s) + " mm/s", s);
  speedBox->setCurrentIndex(1);
  gainBox = new QComboBox(this);
  for (double g : {5.0, 10.0, 20.0}) gainBox->addItem(QString::number(g) + " mm/mV", g);
  gainBox->setCurrentIndex(1);
  zoomOutButton = new QToolButton(this);
  zoomOutButton->setText("\u2212");
  zoomOutButton->setToolTip("Zoom out (Ctrl+wheel)");
  zoomInButton = new QToolButton(this);
  zoomInButton->setText("+");
  zoomInButton->setToolTip("Zoom in (Ctrl+wheel)");
  zoomLabel = new QLabel("100 %", this);
  caliperLabel = new QLabel("Drag on the trace to measure", this);

  view = new TWaveformView(this);
  view->setMinimumSize(480, 300);

  auto* controls = new QHBoxLayout;
  controls->addWidget(groupBox);
  controls->addWidget(layoutBox);
  controls->addWidget(speedBox);
  controls->addWidget(gainBox);
  controls->addWidget(zoomOutButton);
  controls->addWidget(zoomLabel);
  controls->addWidget(zoomInButton);
  controls->addSpacing(12);
  controls->addWidget(caliperLabel, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(header);
  layout->addLayout(controls);
  layout->addWidget(view, 1);

  connect(groupBox, &QComboBox::activated, this,
          [this](int index) { ShowGroup(groupBox->itemData(index).toInt()); });
  connect(layoutBox, &QComboBox::activated, this, [this](int index) {
    view->SetLayout(TWaveformView::Layout(layoutBox->itemData(index).toInt()));
  });
  connect(speedBox, &QComboBox::activated, this,
          [this](int index) { view->SetSpeed(speedBox->itemData(index).toDouble()); });
  connect(gainBox, &QComboBox::activated, this,
          [this](int index) { view->SetGain(gainBox->itemData(index).toDouble()); });
  connect(zoomInButton, &QToolButton::clicked, view, &TWaveformView::ZoomIn);
  connect(zoomOutButton, &QToolButton::clicked, view, &TWaveformView::ZoomOut);
  connect(view, &TWaveformView::ZoomChanged, this, [this](double z) {
    zoomLabel->setText(QString::number(qRound(z * 100)) + " %");
    zoomInButton->setEnabled(z < 8);
    zoomOutButton->setEnabled(z > 0.5);
  });
  connect(view, &TWaveformView::CaliperChanged, caliperLabel, &QLabel::setText);
  connect(view, &TWaveformView::LayoutChanged, this, [this](TWaveformView::Layout l) {
    layoutBox->setCurrentIndex(layoutBox->findData(int(l)));
  });
  connect(new QShortcut(QKeySequence::ZoomIn, this), &QShortcut::activated, view,
          &TWaveformView::ZoomIn);
  connect(new QShortcut(QKeySequence::ZoomOut, this), &QShortcut::activated, view,
          &TWaveformView::ZoomOut);

  if (groupBox->count() > 0) ShowGroup(groupBox->itemData(0).toInt());
  resize(1100, 760);
}

TWaveformWindow::~TWaveformWindow() {
  auto& windows = OpenWindows();
  const auto it = windows.find(Utf8(key_));
  if (it != windows.end() && (it->isNull() || it->data() == this)) windows.erase(it);
}

TWaveformWindow* TWaveformWindow::Find(const std::string& path) {
  auto& windows = OpenWindows();
  const auto it = windows.find(KeyOf(path));
  return it == windows.end() ? nullptr : it->data();
}

void TWaveformWindow::ShowGroup(int group) {
  if (group < 0 || group >= int(waveform_.groups.size()) ||
      !waveform_.groups[size_t(group)].refused.empty())
    return;
  groupBox->setCurrentIndex(groupBox->findData(group));
  view->SetWaveform(&waveform_, group);
  const bool twelve = view->CanShowTwelveLead();
  layoutBox->setEnabled(twelve);
  layoutBox->setCurrentIndex(twelve ? 0 : 1);
  caliperLabel->setText("Drag on the trace to measure");
  UpdateHeader();
}

void TWaveformWindow::UpdateHeader() {
  const TWaveform& w = waveform_;
  QStringList patient;
  if (!w.patientName.empty()) patient << "<b>" + Html(w.patientName) + "</b>";
  if (!w.patientId.empty()) patient << "ID " + Html(w.patientId);
  if (!w.patientSex.empty()) patient << Html(w.patientSex);
  if (!w.patientBirthDate.empty())
    patient << "born " + Utf8(FormatDicomDate(w.patientBirthDate)).toHtmlEscaped();
  QStringList lines;
  QString first = patient.join(" \u00b7 ");
  QString what = Utf8(w.className.empty() ? "Waveform" : w.className).toHtmlEscaped();
  if (!w.acquisitionDateTime.empty())
    what += ", acquired " + DateTimeText(w.acquisitionDateTime).toHtmlEscaped();
  if (!w.manufacturer.empty())
    what += " \u00b7 " + Html(w.manufacturer + (w.modelName.empty() ? "" : " " + w.modelName));
  lines << (first.isEmpty() ? what : first + " \u2014 " + what);

  const int index = groupBox->currentData().toInt();
  if (index >= 0 && index < int(w.groups.size())) {
    const TWaveformGroup& g = w.groups[size_t(index)];
    QStringList parts;
    if (!g.label.empty()) parts << Html(g.label);
    parts << QString("%1 channel(s)").arg(g.channels.size());
    parts << Hz(g.samplingFrequency) + " sampling";
    parts << QString::number(g.DurationSeconds(), 'g', 5) + " s";
    const QString filters = FilterText(g);
    if (!filters.isEmpty()) parts << filters.toHtmlEscaped();
    lines << parts.join(" \u00b7 ");
    if (!g.note.empty()) lines << "<span style='color:#a06000'>" + Html(g.note) + "</span>";
  }
  // Groups that could not be shown, each with its reason.
  for (const TWaveformGroup& g : w.groups)
    if (!g.refused.empty())
      lines << QString("<span style='color:#c00000'>Group %1%2 not shown: %3</span>")
                   .arg(g.number)
                   .arg(g.label.empty() ? QString() : " (" + Html(g.label) + ")")
                   .arg(Html(g.refused));
  QStringList notes;
  for (const TWaveformAnnotation& a : w.annotations)
    if (!a.Positional()) notes << Html(a.Text());
  if (!notes.isEmpty()) lines << notes.join(" \u00b7 ");
  header->setText(lines.join("<br>"));
}

bool OpenWaveformWindow(QWidget* parent, const std::string& path, std::string* why) {
  if (TWaveformWindow* open = TWaveformWindow::Find(path)) {
    open->show();
    open->raise();
    open->activateWindow();
    return true;
  }
  TWaveform w;
  std::string reason;
  if (!ReadWaveform(path, w, reason)) {
    if (why) *why = reason;
    return false;
  }
  if (w.ReadableGroups() == 0) {
    if (why) {
      *why = "no multiplex group could be read";
      for (const TWaveformGroup& g : w.groups)
        *why += "; group " + std::to_string(g.number) + ": " + g.refused;
    }
    return false;
  }
  auto* window = new TWaveformWindow(std::move(w), parent);
  window->show();
  window->raise();
  window->activateWindow();
  return true;
}
