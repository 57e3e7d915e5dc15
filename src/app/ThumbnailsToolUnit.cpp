#include "app/ThumbnailsToolUnit.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHash>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <mutex>
#include <set>
#include <string_view>

#include "app/DocumentWindows.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "dicom/dicom_values.h"
#include "hanging/Priors.h"
#include "pixels/ImageUtilities.h"
#include "viewer/AdvancedImage.h"
#include "viewer/KeyImageStore.h"
#include "viewer/ViewerGlobals.h"

namespace {

constexpr int kPatientHeight = 25;
constexpr int kStudyHeight = 62;
constexpr int kSeriesHeight = 110;
constexpr int kThumbnailHeight = 90;
constexpr int kSeriesLabelHeight = 20;

// Header texts are 8-bit: UTF-8 when they are valid UTF-8, else Latin-1.
QString Text(const std::string& s) {
  QStringDecoder utf8(QStringDecoder::Utf8);
  QString t = utf8(QByteArrayView(s.data(), qsizetype(s.size())));
  if (utf8.hasError()) t = QString::fromLatin1(s.data(), qsizetype(s.size()));
  return t.trimmed();
}

// Text as the search compares it: accents dropped, case folded, the "^"
// between name components a space.
QString Fold(const QString& s) {
  const QString d = s.normalized(QString::NormalizationForm_KD);
  QString out;
  out.reserve(d.size());
  for (const QChar c : d)
    if (c.category() != QChar::Mark_NonSpacing) out += c;
  return out.toCaseFolded().replace(QChar('^'), QChar(' '));
}

constexpr int kSearchHeight = 26;
// Patients sharing a name or an ID beyond this are anonymised placeholders.
constexpr int kMaxNamesakes = 16;
// Studies of partly matching patients listed under one patient, newest first.
constexpr size_t kMaxPartialPriors = 8;
const QColor kSeriesLabelColour(166, 202, 240);
const QColor kCurrentLabelColour(46, 120, 210);

void Colour(QWidget* w, QColor background, std::optional<QColor> text = std::nullopt) {
  QPalette p = w->palette();
  p.setColor(QPalette::Window, background);
  if (text) p.setColor(QPalette::WindowText, *text);
  w->setPalette(p);
  w->setAutoFillBackground(true);
}

// A one-line label that fits the column: a text wider than the label ends in
// "..." (the whole text in its tooltip) instead of widening every panel
// beyond the visible column.
void DrawFitText(QLabel* label) {
  QPainter p(label);
  const QRect r = label->contentsRect();
  p.setPen(label->palette().color(label->foregroundRole()));
  p.drawText(r, int(label->alignment()),
             label->fontMetrics().elidedText(label->text(), Qt::ElideRight, r.width()));
}

class TFitLabel : public QLabel {
 public:
  explicit TFitLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  }

 protected:
  void paintEvent(QPaintEvent*) override { DrawFitText(this); }
};

// Colours are set on every label itself: under the application's style
// sheet a child does not take its parent's palette.
QLabel* CentredLabel(QWidget* parent, int pointSize, QColor text) {
  auto* l = new TFitLabel(parent);
  l->setAlignment(Qt::AlignCenter);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, text);
  l->setPalette(p);
  QFont f = l->font();
  f.setPointSize(pointSize);
  l->setFont(f);
  return l;
}

// The browser's column. Every panel has a fixed height, so the column stacks
// them itself: a panel added at the bottom costs its own placing, and a
// thumbnail coming in touches its panel only. A box layout redid all of its
// panels on each addition and on each thumbnail's layout request, which cost
// seconds with thousands of series.
class TPanelColumn final : public QWidget {
 public:
  explicit TPanelColumn(QWidget* parent) : QWidget(parent) {
    setObjectName("ThumbnailsContent");
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Minimum);
  }

  // A panel hidden by the search filter takes no room.
  void Append(QWidget* panel) {
    FPanels.emplace_back(panel);
    if (panel->isHidden()) return;
    const int h = PanelHeight(panel);
    panel->setGeometry(0, FBottom, width(), h);
    FBottom += h;
  }
  // Stacks the shown panels again, after the filter changed.
  void Restack() {
    FBottom = 0;
    for (const QPointer<QWidget>& w : FPanels) {
      if (!w || w->isHidden()) continue;
      const int h = PanelHeight(w);
      w->setGeometry(0, FBottom, width(), h);
      FBottom += h;
    }
    Settle();
  }
  // Tells the scroll area the new height, once per batch of panels.
  void Settle() {
    if (minimumHeight() != FBottom) setMinimumHeight(FBottom);
  }
  std::vector<QWidget*> Panels() const {
    std::vector<QWidget*> out;
    out.reserve(FPanels.size());
    for (const QPointer<QWidget>& w : FPanels)
      if (w) out.push_back(w.data());
    return out;
  }

 protected:
  // Only a new width moves anything: the panels span the column.
  void resizeEvent(QResizeEvent* event) override {
    if (event->size().width() == event->oldSize().width()) return;
    int y = 0;
    for (const QPointer<QWidget>& w : FPanels) {
      if (!w || w->isHidden()) continue;
      const int h = PanelHeight(w);
      w->setGeometry(0, y, width(), h);
      y += h;
    }
  }

 private:
  static int PanelHeight(const QWidget* w) {
    return std::clamp(w->sizeHint().height(), w->minimumHeight(), w->maximumHeight());
  }

  std::vector<QPointer<QWidget>> FPanels;
  int FBottom = 0;
};

}  // namespace

// ------------------------------------------------------------ drag object

static_assert(std::string_view(TThumbDrag::kMimeType) ==
                  std::string_view(TadvancedImage::SeriesMimeType),
              "the cells take what the browser drags");

QMimeData* TThumbDrag::ToMimeData() const {
  auto* data = new QMimeData;
  data->setData(
      kMimeType,
      QStringLiteral("%1,%2,%3").arg(patientIndex).arg(StudyIndex).arg(SeriesIndex).toLatin1());
  return data;
}

std::optional<TThumbDrag> TThumbDrag::FromMimeData(const QMimeData* data) {
  if (!data || !data->hasFormat(kMimeType)) return std::nullopt;
  const QList<QByteArray> parts = data->data(kMimeType).split(',');
  if (parts.size() != 3) return std::nullopt;
  int v[3];
  for (int i = 0; i < 3; ++i) {
    bool ok = false;
    v[i] = parts[i].trimmed().toInt(&ok);
    if (!ok || v[i] < 0) return std::nullopt;
  }
  TThumbDrag d;
  d.patientIndex = v[0];
  d.StudyIndex = v[1];
  d.SeriesIndex = v[2];
  return d;
}

// ------------------------------------------------------------ panels

TPatientPanel::TPatientPanel(QWidget* owner, int patIdx, const TPatient& patient) : QLabel(owner) {
  PatientName = Text(patient.patientName);
  PatientID = Text(patient.patintID);
  NumOfStudies = int(patient.studies.size());
  PatientIndex = patIdx;
  setFixedHeight(kPatientHeight);
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  setAlignment(Qt::AlignCenter);
  Colour(this, QColor(190, 190, 160), QColor(Qt::black));
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  setText(PatientName);
  setToolTip(PatientName);
  SearchText = Fold(PatientName + ' ' + PatientID);
}

void TPatientPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);  // the bevel
  DrawFitText(this);
}

TStudyPanel::TStudyPanel(QWidget* owner, int stIdx, int patIdx, const TStudy& study)
    : QFrame(owner) {
  StudyID = Text(study.studyID);
  StudyInstanceUID = Text(study.instanceUid);
  // A medium's study carries its date as stored; every date shows one way.
  StudyDate = Text(FormatDicomDate(study.studyDate));
  StudyTime = Text(study.studyTime);
  AccessionNumber = QString::number(study.accessionNumber);
  StudyDescription = Text(study.description);
  NumOfSeries = int(study.serieses.size());
  PatientIndex = patIdx;
  StudyIndex = stIdx;
  setFixedHeight(kStudyHeight);
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  Colour(this, QColor(85, 85, 109));

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(2, 1, 2, 1);
  column->setSpacing(0);
  const QColor text(255, 251, 240);
  StudyDateTimeLabel = CentredLabel(this, 11, text);
  StudyDescriptionlabel = CentredLabel(this, 11, text);
  StudyModalityLabel = CentredLabel(this, 11, text);
  for (QLabel* l : {StudyDateTimeLabel, StudyDescriptionlabel, StudyModalityLabel})
    column->addWidget(l);
  column->addStretch(1);

  StudyDateTimeLabel->setText(StudyDate + "   " + StudyTime);
  StudyDescriptionlabel->setText(StudyDescription);
  // A study without series (a DICOMDIR can list one) has no modality to show.
  const QString count = QStringLiteral("[%1 Series]").arg(NumOfSeries);
  StudyModalityLabel->setText(
      study.serieses.empty() ? count : Text(study.serieses.front().modality) + "    " + count);
  // The patient's texts are added by the browser, which knows the patient.
  SearchText = Fold(StudyDescription + ' ' + StudyDate);
  for (QLabel* l : {StudyDateTimeLabel, StudyDescriptionlabel, StudyModalityLabel})
    l->setToolTip(l->text());
}

void TStudyPanel::MarkPrior(bool prior, const QString& warning) {
  IsPrior = prior;
  Warning = warning;
  if (prior) {
    StudyDateTimeLabel->setText("Prior \u00b7 " + StudyDate + "   " + StudyTime);
    StudyDateTimeLabel->setToolTip("An older study of this patient: " + StudyDate);
    Colour(this, QColor(70, 78, 92));
  }
  if (warning.isEmpty()) return;
  // The line the warning takes is added to the panel, so nothing else is hidden.
  WarningLabel = CentredLabel(this, 10, QColor(255, 152, 0));
  WarningLabel->setObjectName("priorWarning");
  WarningLabel->setText(warning);
  WarningLabel->setToolTip(warning);
  static_cast<QVBoxLayout*>(layout())->insertWidget(1, WarningLabel);
  setFixedHeight(kStudyHeight + 16);
}

void TStudyPanel::contextMenuEvent(QContextMenuEvent* event) {
  if (!FTool || FTool->StudyMenu.empty()) return;
  // Parentless, and the builders take what they need from the panel now: a
  // rebuild while the menu is open takes the panel away.
  QMenu menu;
  for (const auto& add : FTool->StudyMenu) add(menu, *this);
  if (!menu.isEmpty()) menu.exec(event->globalPos());
}

TSeriesPanel::TSeriesPanel(QWidget* owner, int numOfImgs, int serIdx, int stIdx, int patIdx,
                           const TSeries& series)
    : QFrame(owner) {
  Modality = Text(series.modality);
  SeriesNumber = QString::number(series.seriesNumber);
  SeriesInstanceUID = Text(series.instanceUid);
  NumOfImages = numOfImgs;
  PatientIndex = patIdx;
  StudyIndex = stIdx;
  SeriesIndex = serIdx;
  setFixedHeight(kSeriesHeight);
  Colour(this, QColor(Qt::black));

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  Thumbnail = new QLabel(this);
  Thumbnail->setFixedHeight(kThumbnailHeight);
  Thumbnail->setAlignment(Qt::AlignCenter);
  SeriesLabel = CentredLabel(this, 12, Qt::black);
  SeriesLabel->setFixedHeight(kSeriesLabelHeight);
  Colour(SeriesLabel, kSeriesLabelColour, QColor(Qt::black));
  column->addWidget(Thumbnail);
  column->addStretch(1);
  column->addWidget(SeriesLabel);
  FLabelText = QStringLiteral("(%1) Series %2 (%3)").arg(Modality).arg(serIdx + 1).arg(numOfImgs);
  SeriesLabel->setText(FLabelText);
  SeriesLabel->setToolTip(FLabelText);
  setCursor(Qt::PointingHandCursor);
}

namespace {

QString KindWord(TDocumentType type) {
  switch (type) {
    case TDocumentType::Report:
      return QStringLiteral("report");
    case TDocumentType::Pdf:
      return QStringLiteral("PDF");
    case TDocumentType::Cda:
      return QStringLiteral("CDA");
    case TDocumentType::OtherDocument:
      return QStringLiteral("document");
    case TDocumentType::Waveform:
      return QStringLiteral("waveform");
  }
  return QStringLiteral("document");
}

// A page with a folded corner, its kind written on a band across it.
void DrawPage(QPainter& p, const QRectF& page, const QString& kind, const QColor& band) {
  const qreal fold = page.width() * 0.3;
  QPolygonF outline;
  outline << page.topLeft() << QPointF(page.right() - fold, page.top())
          << QPointF(page.right(), page.top() + fold) << page.bottomRight() << page.bottomLeft();
  p.setPen(QPen(QColor(150, 150, 150), 1));
  p.setBrush(QColor(245, 245, 245));
  p.drawPolygon(outline);
  p.setBrush(QColor(200, 200, 200));
  p.drawPolygon(QPolygonF() << QPointF(page.right() - fold, page.top())
                            << QPointF(page.right() - fold, page.top() + fold)
                            << QPointF(page.right(), page.top() + fold));
  p.setPen(QPen(QColor(170, 170, 170), 1));
  for (qreal y = page.top() + fold + 4; y < page.bottom() - 4; y += 5)
    p.drawLine(QPointF(page.left() + 5, y), QPointF(page.right() - 5, y));
  const QRectF stripe(page.left() - 3, page.center().y() - 7, page.width() + 6, 14);
  p.fillRect(stripe, band);
  QFont font = p.font();
  font.setPixelSize(10);
  font.setBold(true);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(stripe, Qt::AlignCenter, kind);
}

// A trace on ECG paper.
void DrawTrace(QPainter& p, const QRectF& paper) {
  p.fillRect(paper, QColor(255, 236, 236));
  p.setPen(QPen(QColor(240, 170, 170), 1));
  for (qreal x = paper.left(); x <= paper.right(); x += 6)
    p.drawLine(QPointF(x, paper.top()), QPointF(x, paper.bottom()));
  for (qreal y = paper.top(); y <= paper.bottom(); y += 6)
    p.drawLine(QPointF(paper.left(), y), QPointF(paper.right(), y));
  const qreal base = paper.center().y() + 6;
  QPolygonF trace;
  for (qreal x = paper.left(); x < paper.right(); x += 24) {
    trace << QPointF(x, base) << QPointF(x + 6, base) << QPointF(x + 8, base - 3)
          << QPointF(x + 10, base) << QPointF(x + 12, base + 3) << QPointF(x + 14, base - 18)
          << QPointF(x + 16, base + 5) << QPointF(x + 18, base) << QPointF(x + 24, base);
  }
  p.setPen(QPen(QColor(20, 20, 20), 1.4));
  p.drawPolyline(trace);
}

// What a series of documents shows in place of a thumbnail: the first
// document's icon and the titles under it.
QImage DocumentPicture(const std::vector<TDocumentRecord>& documents) {
  constexpr int kWidth = 130;
  QImage picture(kWidth, kThumbnailHeight, QImage::Format_ARGB32_Premultiplied);
  picture.fill(Qt::transparent);
  if (documents.empty()) return picture;
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  const TDocumentRecord& first = documents.front();
  if (first.type == TDocumentType::Waveform) {
    DrawTrace(p, QRectF(kWidth / 2.0 - 33, 6, 66, 42));
  } else {
    const QColor band = first.type == TDocumentType::Pdf      ? QColor(200, 40, 40)
                        : first.type == TDocumentType::Report ? QColor(40, 110, 200)
                                                              : QColor(60, 140, 90);
    const QString kind = first.type == TDocumentType::Report ? QStringLiteral("SR")
                         : first.type == TDocumentType::Pdf  ? QStringLiteral("PDF")
                         : first.type == TDocumentType::Cda  ? QStringLiteral("CDA")
                                                             : QStringLiteral("DOC");
    DrawPage(p, QRectF(kWidth / 2.0 - 17, 4, 34, 44), kind, band);
  }
  QFont font = p.font();
  font.setPixelSize(11);
  font.setBold(false);
  p.setFont(font);
  p.setPen(Qt::white);
  const QFontMetrics metrics(font);
  QStringList lines;
  for (const TDocumentRecord& d : documents) {
    if (lines.size() == 2 && documents.size() > 3) break;
    lines << metrics.elidedText(QString::fromStdString(d.title), Qt::ElideRight, kWidth - 4);
    if (lines.size() == 3) break;
  }
  if (documents.size() > size_t(lines.size()))
    lines << QStringLiteral("+%1 more").arg(documents.size() - size_t(lines.size()));
  int y = 52;
  for (const QString& line : lines) {
    p.drawText(QRect(2, y, kWidth - 4, 13), Qt::AlignHCenter | Qt::AlignVCenter, line);
    y += 13;
  }
  return picture;
}

}  // namespace

void TSeriesPanel::SetDocuments(std::vector<TDocumentRecord> documents) {
  Documents = std::move(documents);
  QStringList titles;
  for (const TDocumentRecord& d : Documents) titles << QString::fromStdString(d.title);
  if (NumOfImages == 0 && !Documents.empty()) {
    const QString count = Documents.size() == 1
                              ? KindWord(Documents.front().type)
                              : QStringLiteral("%1 documents").arg(Documents.size());
    FLabelText =
        QStringLiteral("(%1) Series %2 (%3)").arg(Modality).arg(SeriesIndex + 1).arg(count);
    SeriesLabel->setText(FLabelText);
    SeriesLabel->setToolTip(FLabelText);
    SetThumbnail(DocumentPicture(Documents));
  }
  Thumbnail->setToolTip(titles.join('\n'));
}

void TSeriesPanel::SetKeyImages(int count, const QString& detail) {
  KeyImages = count;
  // The star and count lead, so a narrow column still shows them.
  const QString text = count > 0 ? QStringLiteral("\u2605%1 ").arg(count) + FLabelText : FLabelText;
  if (SeriesLabel->text() == text && SeriesLabel->toolTip().endsWith(detail)) return;
  SeriesLabel->setText(text);
  SeriesLabel->setToolTip(count > 0 ? FLabelText + '\n' + detail : FLabelText);
  SeriesLabel->update();
}

void TSeriesPanel::SetThumbnail(const QImage& picture) {
  // The label's pixmap is the only copy: a browser of thousands of series
  // held each picture twice.
  Thumbnail->setPixmap(picture.isNull() ? QPixmap() : QPixmap::fromImage(picture));
}

QImage TSeriesPanel::ThumbnailImage() const {
  return Thumbnail->pixmap().toImage();
}

void TSeriesPanel::SetCurrent(bool current) {
  if (FCurrent == current) return;
  FCurrent = current;
  Colour(SeriesLabel, current ? kCurrentLabelColour : kSeriesLabelColour,
         current ? QColor(Qt::white) : QColor(Qt::black));
  SeriesLabel->update();
}

TThumbDrag TSeriesPanel::DragObject() const {
  TThumbDrag d;
  d.patientIndex = PatientIndex;
  d.StudyIndex = StudyIndex;
  d.SeriesIndex = SeriesIndex;
  d.Picture = Thumbnail->pixmap();
  return d;
}

void TSeriesPanel::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QFrame::mousePressEvent(event);
  // The hot spot is where the pressed control (panel, thumbnail or label) was hit.
  const QPoint at = event->position().toPoint();
  QWidget* control = childAt(at);
  FHotSpot = control ? control->mapFrom(this, at) : at;
  FPressAt = at;
  FPressed = true;
  event->accept();
}

void TSeriesPanel::mouseMoveEvent(QMouseEvent* event) {
  // The drag starts once the mouse has moved a little: a click whose hand
  // shook a pixel still shows the series.
  if (!FPressed || !(event->buttons() & Qt::LeftButton)) return QFrame::mouseMoveEvent(event);
  // Documents have no picture for a cell: nothing to drag there.
  if (NumOfImages == 0) return;
  if ((event->position().toPoint() - FPressAt).manhattanLength() <
      QApplication::startDragDistance())
    return;
  FPressed = false;
  StartDrag(FHotSpot);
}

void TSeriesPanel::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = FPressed && event->button() == Qt::LeftButton;
  FPressed = false;
  if (click && FTool && rect().contains(event->position().toPoint())) {
    FTool->SeriesPanelClick(this);
    return;
  }
  QFrame::mouseReleaseEvent(event);
}

void TSeriesPanel::mouseDoubleClickEvent(QMouseEvent* event) {
  FPressed = false;
  if (event->button() == Qt::LeftButton && FTool) FTool->SeriesPanelDblClick(this);
}

void TSeriesPanel::contextMenuEvent(QContextMenuEvent* event) {
  if (!FTool) return;
  // Parentless, and the commands carry the series' position (the documents
  // their copies): a rebuild of the browser while the menu is open takes
  // this panel away.
  QMenu menu;
  QPointer<TThumbnailsTool> tool = FTool;
  for (const TDocumentRecord& d : Documents)
    menu.addAction(QStringLiteral("Open \u201c%1\u201d").arg(QString::fromStdString(d.title)),
                   [tool, d] {
                     if (tool) tool->OpenDocument(d);
                   });
  if (!Documents.empty() && !FTool->SeriesMenu.empty()) menu.addSeparator();
  for (const auto& add : FTool->SeriesMenu) add(menu, PatientIndex, StudyIndex, SeriesIndex);
  if (!menu.isEmpty()) menu.exec(event->globalPos());
}

void TSeriesPanel::StartDrag(QPoint hotSpot) {
  const TThumbDrag object = DragObject();
  QPointer<TThumbnailsTool> tool = FTool;
  if (tool) tool->DragStarted();
  gThumbnailDragInProgress = true;
  auto* drag = new QDrag(this);
  drag->setMimeData(object.ToMimeData());
  const QPixmap picture = object.GetDragImages();
  // Without a thumbnail the drag goes on without a picture.
  if (!picture.isNull()) {
    drag->setPixmap(picture);
    drag->setHotSpot(QPoint(std::clamp(hotSpot.x(), 0, picture.width() - 1),
                            std::clamp(hotSpot.y(), 0, picture.height() - 1)));
  }
  drag->exec(Qt::CopyAction);
  // The drop may have rebuilt the browser: this panel is retired then, and
  // is freed only now that its drag is over.
  gThumbnailDragInProgress = false;
  if (tool) tool->DragFinished();
}

// ------------------------------------------------------------ browser

TThumbnailsTool::TThumbnailsTool(QWidget* owner)
    : QScrollArea(owner), FCancel(std::make_shared<std::atomic<bool>>(false)) {
  setObjectName("ThumbnailsTool");
  setWidgetResizable(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setFrameShape(QFrame::NoFrame);
  verticalScrollBar()->setTracking(true);
  verticalScrollBar()->setSingleStep(20);
  setAcceptDrops(true);
  FPool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));

  SearchBox = new QLineEdit(this);
  SearchBox->setObjectName("ThumbnailsSearch");
  SearchBox->setPlaceholderText("Search name, ID, modality\u2026");
  SearchBox->setToolTip(
      "Shows the series whose patient name or ID, study or series description or "
      "modality hold every word typed");
  SearchBox->setClearButtonEnabled(true);
  setViewportMargins(0, kSearchHeight, 0, 0);
  connect(SearchBox, &QLineEdit::textChanged, this, [this](const QString& t) { SetFilter(t); });
  KeyImagesButton = new QToolButton(this);
  KeyImagesButton->setObjectName("ThumbnailsKeyImages");
  KeyImagesButton->setText(QStringLiteral("\u2605"));
  KeyImagesButton->setCheckable(true);
  KeyImagesButton->setToolTip(
      "Key images only (Shift+K): shows the series that hold key images, and stepping "
      "in the cells visits key images only");
  TKeyImageStore& keys = TKeyImageStore::Instance();
  KeyImagesButton->setChecked(keys.KeyImagesOnly());
  connect(KeyImagesButton, &QToolButton::toggled, this,
          [](bool on) { TKeyImageStore::Instance().SetKeyImagesOnly(on); });
  connect(&keys, &TKeyImageStore::FilterChanged, this, [this](bool on) {
    const QSignalBlocker block(KeyImagesButton);
    KeyImagesButton->setChecked(on);
    ApplyFilter();
    verticalScrollBar()->setValue(0);
  });
  // A document marks its images in one change, the reader one at a time:
  // either way the panels are counted once the burst is over.
  connect(&keys, &TKeyImageStore::Changed, this, [this] {
    if (FKeyRefreshQueued) return;
    FKeyRefreshQueued = true;
    QTimer::singleShot(0, this, [this] { RefreshKeyImages(); });
  });
  // A rebuild goes back to where the user was once the column is tall
  // enough; a scroll by the user ends that.
  connect(verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int max) {
    if (FRestoreScroll < 0) return;
    verticalScrollBar()->setValue(std::min(FRestoreScroll, max));
    if (max >= FRestoreScroll || !FBuild) FRestoreScroll = -1;
  });
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, [this] { FRestoreScroll = -1; });
  // The scroll area keeps one widget for good and the columns come and go
  // inside it: taking a shown column of a thousand panels out of the scroll
  // area (it becomes a window of its own, then hidden) held the window for a
  // tenth of a second at every Clear Study and every new load.
  FHost = new QWidget;
  FHost->setObjectName("ThumbnailsHost");
  Colour(FHost, QColor(Qt::black));
  auto* host = new QVBoxLayout(FHost);
  host->setContentsMargins(0, 0, 0, 0);
  host->setSpacing(0);
  setWidget(FHost);
}

TThumbnailsTool::~TThumbnailsTool() {
  FCancel->store(true);
  FPool.clear();
  FPool.waitForDone();
}

namespace {

// Deletes a retired column a batch of panels per turn of the event loop: a
// browser of a thousand series took a tenth of a second to delete at once,
// and the window stood still meanwhile.
void DisposeStep(QPointer<QWidget> column) {
  constexpr int kPanelsPerTurn = 64;
  if (!column) return;
  const QList<QWidget*> panels = column->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (int i = 0; i < panels.size() && i < kPanelsPerTurn; ++i) delete panels[i];
  if (panels.size() > kPanelsPerTurn)
    QTimer::singleShot(0, column, [column] { DisposeStep(column); });
  else
    delete column.data();
}

void DisposeInBatches(QWidget* old) {
  QPointer<QWidget> column(old);
  if (!column) return;
  QTimer::singleShot(0, column, [column] { DisposeStep(column); });
}

}  // namespace

void TThumbnailsTool::RetireContent() {
  ++FGeneration;
  FBuild.reset();
  FCancel->store(true);
  FCancel = std::make_shared<std::atomic<bool>>(false);
  FPool.clear();
  FPending = 0;
  FSeriesPanels.clear();
  QWidget* old = FContent;
  FContent = nullptr;
  if (!old) return;
  // Out of the host's layout and out of sight, without hiding a thousand
  // panels one by one now: they are freed a batch per turn.
  FHost->layout()->removeWidget(old);
  old->lower();
  old->move(-old->width() - 1000, 0);
  if (FDragging)
    FRetired.emplace_back(old);
  else
    DisposeInBatches(old);
}

void TThumbnailsTool::Clear() {
  RetireContent();
  FRestoreScroll = -1;
}

void TThumbnailsTool::resizeEvent(QResizeEvent* event) {
  QScrollArea::resizeEvent(event);
  SearchBox->setGeometry(0, 0, width() - kSearchHeight, kSearchHeight);
  KeyImagesButton->setGeometry(width() - kSearchHeight, 0, kSearchHeight, kSearchHeight);
}

void TThumbnailsTool::Display(const TPatientArr& patients) {
  // The new column opens where the old one was read.
  const int place = FContent ? verticalScrollBar()->value() : 0;
  RetireContent();

  // What the panels need, copied under the tree's lock: loaders may be filing
  // into it, and the panels are made after the lock is released.
  TPatientArr outline;
  std::vector<SeriesEntry> entries;
  std::vector<TImg> sources;
  std::vector<std::vector<size_t>> firstEntry;        // [patient][study]: its first series entry
  std::vector<std::vector<std::string>> when;         // [patient][study]: date and time
  std::vector<std::vector<hanging::TPrior>> partial;  // [patient]: others' studies it may be
  {
    std::lock_guard lock(gPatientsMutex);
    firstEntry.resize(patients.size());
    when.resize(patients.size());
    partial.resize(patients.size());
    // Only a patient who shares a name or an ID with another can have a
    // partial match; most trees have none, and looking for them is then free.
    // A name or ID shared by many patients is a placeholder of anonymised
    // data, not one person's: its studies are not offered as priors.
    const auto coarse = [](const std::string& s) {
      return QString::fromStdString(s).remove(QChar('^')).simplified().toUpper();
    };
    QHash<QString, int> names, ids;
    for (const TPatient& p : patients) {
      ++names[coarse(p.patientName)];
      ++ids[coarse(p.patintID)];
    }
    const auto related = [&](const TPatient& p) {
      const int n = names.value(coarse(p.patientName)), d = ids.value(coarse(p.patintID));
      return (n > 1 && n <= kMaxNamesakes) || (d > 1 && d <= kMaxNamesakes);
    };
    outline.reserve(patients.size());
    for (size_t i = 0; i < patients.size(); ++i) {
      const TPatient& p = patients[i];
      TPatient& po = outline.emplace_back();
      po.patientName = p.patientName;
      po.patintID = p.patintID;
      po.issuer = p.issuer;
      po.studies.resize(p.studies.size());
      if (!p.studies.empty() && related(p))
        for (hanging::TPrior& prior :
             hanging::FindPriors(patients, int(i), hanging::CurrentStudyOf(p)))
          if (prior.patient != int(i) && prior.identity != hanging::TIdentity::Same &&
              partial[i].size() < kMaxPartialPriors)
            partial[i].push_back(std::move(prior));
      for (size_t j = 0; j < p.studies.size(); ++j) {
        const TStudy& st = p.studies[j];
        firstEntry[i].push_back(entries.size());
        when[i].push_back(hanging::StudyWhen(st));
        TStudy& so = po.studies[j];
        so.studyID = st.studyID;
        so.studyDate = st.studyDate;
        so.studyTime = st.studyTime;
        so.accessionNumber = st.accessionNumber;
        so.description = st.description;
        so.instanceUid = st.instanceUid;
        so.serieses.resize(st.serieses.size());
        for (size_t k = 0; k < st.serieses.size(); ++k) {
          const TSeries& se = st.serieses[k];
          TSeries& o = so.serieses[k];
          o.seriesNumber = se.seriesNumber;
          o.modality = se.modality;
          o.instanceUid = se.instanceUid;
          o.BodyPart = se.BodyPart;
          QString m = QString::fromLatin1(se.modality.data(), qsizetype(se.modality.size()));
          if (m.trimmed().toLower() == "pr") continue;  // presentation states: counted, not shown
          entries.push_back({int(i), int(j), int(k), int(se.images.size()),
                             se.images.empty()
                                 ? std::string()
                                 : se.images.front().Cache.DICOM.Series_Description.str(),
                             se.documents});
          sources.push_back(se.images.empty() ? TImg{} : ThumbnailSource(se.images.front()));
        }
      }
    }
  }

  auto* content = new TPanelColumn(FHost);
  Colour(content, QColor(Qt::black));
  FContent = content;
  static_cast<QVBoxLayout*>(FHost->layout())->addWidget(content);
  content->show();
  verticalScrollBar()->setValue(0);
  FRestoreScroll = place > 0 ? place : -1;

  // The panels in column order; each series' thumbnail is queued as its
  // panel is made, so the panels in view fill first.
  // Under each patient its studies newest first, with the studies of partly
  // matching patients and those only an archive holds among them by date:
  // a study without a date goes last.
  auto rows = std::make_shared<std::vector<PanelRow>>();
  std::vector<TArchiveStudy> archive = ArchiveStudies;
  for (size_t i = 0; i < outline.size(); ++i) {
    rows->push_back({int(i), -1, 0});
    struct Listed {
      std::string when;
      PanelRow row;
    };
    std::vector<Listed> listed;
    std::string newest;
    for (size_t j = 0; j < outline[i].studies.size(); ++j) {
      listed.push_back({when[i][j], {int(i), int(j), 0}});
      newest = std::max(newest, when[i][j]);
    }
    const size_t own = listed.size();
    for (const hanging::TPrior& prior : partial[i]) {
      const size_t k = size_t(prior.patient), j = size_t(prior.study);
      if (k >= when.size() || j >= when[k].size()) continue;
      listed.push_back(
          {when[k][j], {prior.patient, prior.study, 0, int(i), -1, true, prior.warning}});
    }
    for (size_t a = 0; a < archive.size(); ++a) {
      const TArchiveStudy& st = archive[a];
      // Listed for a patient of an earlier tree, the index may name another now.
      if (st.patient != int(i) ||
          hanging::CompareIdentity({outline[i].patientName, outline[i].patintID, outline[i].issuer},
                                   {st.patientName, st.patientId, st.issuer}) ==
              hanging::TIdentity::Unrelated)
        continue;
      const std::string w = st.date.empty() ? std::string() : st.date + st.time;
      listed.push_back({w, {int(i), -1, 0, int(i), int(a), !w.empty() && w < newest, st.warning}});
    }
    for (size_t n = 0; n < own; ++n)
      listed[n].row.prior = !listed[n].when.empty() && listed[n].when < newest;
    std::stable_sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
      if (a.when.empty() != b.when.empty()) return b.when.empty();
      return a.when > b.when;
    });
    for (const Listed& l : listed) {
      rows->push_back(l.row);
      if (l.row.under >= 0) continue;  // listed here; its series stay under its own patient
      const size_t j = size_t(l.row.study);
      for (size_t next = firstEntry[i][j];
           next < entries.size() && entries[next].patient == int(i) &&
           entries[next].study == int(j);
           ++next)
        rows->push_back({int(i), int(j), int(next) + 1});
    }
  }
  for (const TImg& source : sources)
    if (!source.imagePath.empty() || !source.Cache.DICOM.referenceFile.empty()) ++FPending;
  FBuild = std::make_shared<PanelBuild>(PanelBuild{std::move(outline), std::move(entries),
                                                   std::move(sources), std::move(archive),
                                                   std::move(rows), 0});
  // A folder of many series would hold the window for seconds: the first
  // panels come at once, the rest a batch per turn of the event loop.
  BuildPanels(FGeneration, kFirstPanels);
  if (FPending == 0) emit ThumbnailsFinished();
}

void TThumbnailsTool::BuildPanels(quint64 generation, size_t count) {
  if (generation != FGeneration || !FBuild || !FContent) return;
  PanelBuild& b = *FBuild;
  auto* column = static_cast<TPanelColumn*>(FContent);
  const std::shared_ptr<std::atomic<bool>> cancel = FCancel;
  for (size_t made = 0; made < count && b.next < b.rows->size(); ++made) {
    const PanelRow& r = (*b.rows)[b.next++];
    const TPatient& p = b.outline[size_t(r.patient)];
    const QString patientText = Text(p.patientName) + ' ' + Text(p.patintID);
    QWidget* panel;
    if (r.archive >= 0) {
      const TArchiveStudy& a = b.archive[size_t(r.archive)];
      TStudy st;
      st.studyDate = a.date;
      st.studyTime = a.time;
      st.description = a.description;
      st.instanceUid = a.studyUid;
      auto* study = new TStudyPanel(FContent, -1, r.patient, st);
      study->ArchiveIndex = r.archive;
      study->ListedUnder = r.under;
      study->FTool = this;
      study->StudyModalityLabel->setText(Text(a.modalities).replace('\\', ' ') + "    on " +
                                         QString::fromStdString(a.serverName));
      study->StudyModalityLabel->setToolTip("Held by " + QString::fromStdString(a.serverName) +
                                            "; retrieved when compared");
      study->MarkPrior(r.prior, QString::fromStdString(r.warning));
      study->SearchText = Fold(patientText) + ' ' + study->SearchText;
      panel = study;
    } else if (r.study < 0) {
      panel = new TPatientPanel(FContent, r.patient, p);
    } else if (r.entry == 0) {
      auto* study = new TStudyPanel(FContent, r.study, r.patient, p.studies[size_t(r.study)]);
      study->FTool = this;
      study->ListedUnder = r.under >= 0 ? r.under : r.patient;
      study->MarkPrior(r.prior, QString::fromStdString(r.warning));
      // Listed under another patient: found by that patient's texts too.
      const QString under = r.under >= 0 ? Text(b.outline[size_t(r.under)].patientName) + ' ' +
                                               Text(b.outline[size_t(r.under)].patintID)
                                         : QString();
      study->SearchText = Fold(patientText + ' ' + under) + ' ' + study->SearchText;
      panel = study;
    } else {
      const size_t n = size_t(r.entry - 1);
      const auto& e = b.entries[n];
      const TStudy& st = p.studies[size_t(e.study)];
      auto* series = new TSeriesPanel(FContent, e.images, e.series, e.study, e.patient,
                                      st.serieses[size_t(e.series)]);
      series->FTool = this;
      const QString description = Text(e.description);
      QString titles;
      for (const TDocumentRecord& d : e.documents) titles += ' ' + QString::fromStdString(d.title);
      series->SearchText = Fold(patientText + ' ' + Text(st.description) + ' ' + description + ' ' +
                                series->Modality + titles);
      if (!e.documents.empty()) series->SetDocuments(e.documents);
      if (!description.isEmpty()) series->Thumbnail->setToolTip(description);
      if (FCurrentUid.isEmpty() ? FCurrentAt == std::array<int, 3>{e.patient, e.study, e.series}
                                : series->SeriesInstanceUID == FCurrentUid)
        series->SetCurrent(true);
      UpdateKeyImages(series);
      FSeriesPanels.emplace_back(series);
      panel = series;
      TImg& source = b.sources[n];
      if (!source.imagePath.empty() || !source.Cache.DICOM.referenceFile.empty()) {
        const size_t index = FSeriesPanels.size() - 1;
        FPool.start([this, generation, cancel, index, source = std::move(source)]() mutable {
          if (cancel->load()) return;
          std::string why;
          QImage picture = MakeSeriesThumbnail(std::move(source), &why);
          // A series whose first image does not decode says why on its thumbnail.
          if (picture.isNull() && !why.empty()) picture = FailureThumbnail(why);
          if (cancel->load()) return;
          // Queued to the browser: if it is gone by then, the call is dropped with it.
          QMetaObject::invokeMethod(
              this,
              [this, generation, index, picture] { DeliverThumbnail(generation, index, picture); },
              Qt::QueuedConnection);
        });
      }
    }
    panel->show();
    column->Append(panel);
  }
  column->Settle();
  if (!FFilter.isEmpty() || TKeyImageStore::Instance().KeyImagesOnly()) ApplyFilter();
  if (b.next < b.rows->size()) {
    QTimer::singleShot(0, this, [this, generation] { BuildPanels(generation, kPanelBatch); });
  } else {
    FBuild.reset();
  }
}

void TThumbnailsTool::DeliverThumbnail(quint64 generation, size_t index, const QImage& picture) {
  if (generation != FGeneration) return;  // made for panels that are gone
  TSeriesPanel* panel = index < FSeriesPanels.size() ? FSeriesPanels[index].data() : nullptr;
  if (panel) {
    panel->SetThumbnail(picture);
    emit ThumbnailReady(panel);
  }
  if (FPending > 0 && --FPending == 0) emit ThumbnailsFinished();
}

std::vector<QWidget*> TThumbnailsTool::Panels() const {
  return FContent ? static_cast<const TPanelColumn*>(FContent)->Panels() : std::vector<QWidget*>{};
}

std::vector<TSeriesPanel*> TThumbnailsTool::SeriesPanels() const {
  std::vector<TSeriesPanel*> out;
  for (const QPointer<TSeriesPanel>& p : FSeriesPanels)
    if (p) out.push_back(p.data());
  return out;
}

std::vector<TStudyPanel*> TThumbnailsTool::StudyPanels() const {
  std::vector<TStudyPanel*> out;
  for (QWidget* w : Panels())
    if (auto* s = qobject_cast<TStudyPanel*>(w)) out.push_back(s);
  return out;
}

std::vector<QWidget*> TThumbnailsTool::VisiblePanels() const {
  std::vector<QWidget*> out;
  for (QWidget* w : Panels())
    if (!w->isHidden()) out.push_back(w);
  return out;
}

bool TThumbnailsTool::Matches(const QString& searchText, const QString& filter) {
  const QStringList terms = Fold(filter).split(QChar(' '), Qt::SkipEmptyParts);
  for (const QString& term : terms)
    if (!searchText.contains(term)) return false;
  return true;
}

void TThumbnailsTool::SetFilter(const QString& text) {
  const QString filter = text.trimmed();
  if (filter == FFilter) return;
  FFilter = filter;
  if (SearchBox->text().trimmed() != filter) {
    const QSignalBlocker block(SearchBox);
    SearchBox->setText(text);
  }
  ApplyFilter();
  verticalScrollBar()->setValue(0);  // the matches from their top
}

void TThumbnailsTool::ApplyFilter() {
  if (!FContent) return;
  const std::vector<QWidget*> panels = Panels();
  // Series first; a study stays with a series shown (or, without series of
  // its own, by its own texts), a patient with a study shown.
  std::set<std::pair<int, int>> studiesShown, studiesWithSeries;
  std::set<int> patientsShown;
  std::vector<std::pair<QWidget*, bool>> shown;
  shown.reserve(panels.size());
  const bool keysOnly = TKeyImageStore::Instance().KeyImagesOnly();
  for (QWidget* w : panels)
    if (auto* s = qobject_cast<TSeriesPanel*>(w)) {
      const bool show = Matches(s->SearchText, FFilter) && (!keysOnly || s->KeyImages > 0);
      studiesWithSeries.insert({s->PatientIndex, s->StudyIndex});
      if (show) studiesShown.insert({s->PatientIndex, s->StudyIndex});
      shown.emplace_back(w, show);
    }
  for (QWidget* w : panels)
    if (auto* st = qobject_cast<TStudyPanel*>(w)) {
      const std::pair<int, int> key{st->PatientIndex, st->StudyIndex};
      const bool show = studiesShown.count(key) || (!keysOnly && !studiesWithSeries.count(key) &&
                                                    Matches(st->SearchText, FFilter));
      if (show) patientsShown.insert(st->ListedUnder >= 0 ? st->ListedUnder : st->PatientIndex);
      shown.emplace_back(w, show);
    }
  for (QWidget* w : panels)
    if (auto* p = qobject_cast<TPatientPanel*>(w))
      shown.emplace_back(w, patientsShown.count(p->PatientIndex) > 0);
  for (auto& [w, show] : shown)
    if (w->isHidden() == show) w->setVisible(show);
  static_cast<TPanelColumn*>(FContent)->Restack();
}

void TThumbnailsTool::UpdateKeyImages(TSeriesPanel* panel) const {
  const TKeyImageStore& keys = TKeyImageStore::Instance();
  int count = 0;
  QStringList why;
  if (keys.AnyMarked()) {
    std::lock_guard lock(gPatientsMutex);
    if (const TSeries* series =
            SeriesAt(gPatients, panel->PatientIndex, panel->StudyIndex, panel->SeriesIndex)) {
      for (const TImg& img : series->images) {
        const std::vector<int> frames = keys.MarkedFrames(img.imagePath);
        if (frames.empty()) continue;
        ++count;
        for (int frame : frames) {
          const QString caption = keys.Caption({img.imagePath, frame});
          if (!caption.isEmpty() && !why.contains(caption)) why << caption;
        }
      }
    }
  }
  const QString detail =
      (count == 1 ? QStringLiteral("1 key image") : QStringLiteral("%1 key images").arg(count)) +
      (why.isEmpty() ? QString() : '\n' + why.join('\n'));
  panel->SetKeyImages(count, detail);
}

void TThumbnailsTool::RefreshKeyImages() {
  FKeyRefreshQueued = false;
  for (TSeriesPanel* panel : SeriesPanels()) UpdateKeyImages(panel);
  if (TKeyImageStore::Instance().KeyImagesOnly()) ApplyFilter();
}

void TThumbnailsTool::SeriesPanelClick(TSeriesPanel* panel) {
  if (panel && panel->NumOfImages == 0 && !panel->Documents.empty()) return OpenDocuments(panel);
  ShowSeries(panel);
}

void TThumbnailsTool::SeriesPanelDblClick(TSeriesPanel* panel) {
  // The click before it opened the window already; this raises it.
  SeriesPanelClick(panel);
}

void TThumbnailsTool::OpenDocuments(TSeriesPanel* panel) {
  for (TSeriesPanel* s : SeriesPanels()) s->SetCurrent(s == panel);
  FCurrentUid = panel->SeriesInstanceUID;
  FCurrentAt = {panel->PatientIndex, panel->StudyIndex, panel->SeriesIndex};
  if (panel->Documents.size() == 1) return OpenDocument(panel->Documents.front());
  // Several: the user picks one by its title. The menu carries copies, as a
  // rebuild may take the panel away while it is open.
  auto* menu = new QMenu(panel);
  menu->setObjectName("DocumentsMenu");
  menu->setAttribute(Qt::WA_DeleteOnClose);
  QPointer<TThumbnailsTool> tool = this;
  for (const TDocumentRecord& d : panel->Documents)
    menu->addAction(QString::fromStdString(d.title), menu, [tool, d] {
      if (tool) tool->OpenDocument(d);
    });
  menu->popup(panel->mapToGlobal(panel->Thumbnail->geometry().bottomLeft()));
}

void TThumbnailsTool::OpenDocument(const TDocumentRecord& document) {
  std::string why;
  const bool opened = OpenDocumentWindow(window(), document.path, &why);
  emit DocumentOpened(QString::fromStdString(document.path), opened);
  if (opened) return;
  const QString text = QString::fromStdString(document.path + ": " + why);
  if (Message)
    Message(text);
  else
    QMessageBox::warning(window(), QString::fromStdString(document.title), text);
}

void TThumbnailsTool::ShowSeries(TSeriesPanel* panel) {
  TadvancedImage* cell = ActiveImage ? ActiveImage() : nullptr;
  if (!panel || !cell) return;
  for (TSeriesPanel* s : SeriesPanels()) s->SetCurrent(s == panel);
  FCurrentUid = panel->SeriesInstanceUID;
  FCurrentAt = {panel->PatientIndex, panel->StudyIndex, panel->SeriesIndex};
  std::string path;
  int index = 0;  // its first image, or under "key images only" its first key image
  {
    std::lock_guard lock(gPatientsMutex);
    const TImg* first =
        ImageAt(gPatients, panel->PatientIndex, panel->StudyIndex, panel->SeriesIndex, 0);
    if (!first) return;
    path = first->imagePath;
    const TSeries* series =
        SeriesAt(gPatients, panel->PatientIndex, panel->StudyIndex, panel->SeriesIndex);
    const TKeyImageStore& keys = TKeyImageStore::Instance();
    if (keys.KeyImagesOnly() && series)
      for (size_t i = 0; i < series->images.size(); ++i)
        if (keys.HasMarkedFrame(series->images[i].imagePath)) {
          index = int(i);
          path = series->images[i].imagePath;
          break;
        }
  }
  // The double-click after a click finds the series shown: nothing to redo.
  if (cell->HasImage && cell->CurrentOpenedPath == path &&
      cell->PatientIndex == panel->PatientIndex && cell->StudyIndex == panel->StudyIndex &&
      cell->SeriesIndex == panel->SeriesIndex && cell->ImageIndex == index) {
    emit SeriesShown(cell);
    return;
  }
  const int old[4] = {cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex, cell->ImageIndex};
  // As a drop on the cell: a running cine stops, a cine series plays.
  cell->PauseCine();
  cell->PatientIndex = panel->PatientIndex;
  cell->StudyIndex = panel->StudyIndex;
  cell->SeriesIndex = panel->SeriesIndex;
  cell->ImageIndex = index;
  cell->OpenCurrentImage(true);
  if (!cell->HasImage || cell->CurrentOpenedPath != path ||
      cell->PatientIndex != panel->PatientIndex || cell->StudyIndex != panel->StudyIndex ||
      cell->SeriesIndex != panel->SeriesIndex || cell->ImageIndex != index) {
    // The cell still shows its image: its position must still say so.
    cell->PatientIndex = old[0];
    cell->StudyIndex = old[1];
    cell->SeriesIndex = old[2];
    cell->ImageIndex = old[3];
    return;
  }
  emit SeriesShown(cell);
}

void TThumbnailsTool::DragStarted() {
  FDragging = true;
}

void TThumbnailsTool::DragFinished() {
  FDragging = false;
  for (QPointer<QWidget>& w : FRetired)
    if (w) DisposeInBatches(w);
  FRetired.clear();
}

// The column takes every drag over it; a series dropped there does nothing,
// files and folders are opened as anywhere else on the window.
void TThumbnailsTool::dragEnterEvent(QDragEnterEvent* event) {
  event->acceptProposedAction();
}

void TThumbnailsTool::dragMoveEvent(QDragMoveEvent* event) {
  event->acceptProposedAction();
}

void TThumbnailsTool::dropEvent(QDropEvent* event) {
  event->acceptProposedAction();
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  if (!paths.isEmpty()) emit PathsDropped(paths);
}
