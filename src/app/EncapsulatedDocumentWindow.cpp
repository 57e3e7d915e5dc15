#include "app/EncapsulatedDocumentWindow.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHash>
#include <QLabel>
#include <QMessageBox>
#include <QPdfDocument>
#include <QPdfPageNavigator>
#include <QPdfView>
#include <QPointer>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStatusBar>
#include <QStringDecoder>
#include <QTextBrowser>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>
#include <optional>

#include "dicom/SafeOutput.h"

namespace {

// Windows by file: opening a document again raises its window.
QHash<QString, QPointer<TEncapsulatedDocumentWindow>>& OpenWindows() {
  static QHash<QString, QPointer<TEncapsulatedDocumentWindow>> windows;
  return windows;
}

QString Key(const std::string& path) {
  return QDir::cleanPath(QString::fromStdString(path));
}

QString Utf8(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// "20261211" as 2026-12-11; anything else as written.
QString DateText(const std::string& date) {
  if (date.size() != 8 ||
      !std::all_of(date.begin(), date.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return Utf8(date);
  return Utf8(date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2));
}

QString PersonName(const std::string& name) {
  QString n = Utf8(name);
  n.replace('^', ' ');
  return n.simplified();
}

constexpr qreal kZoomStep = 1.25;

// A text document in UTF-8: by its byte order mark, else by the encoding its
// XML declaration names, else as UTF-8 (XML's default).
std::string AsUtf8(const std::string& bytes) {
  const QByteArray data(bytes.data(), qsizetype(bytes.size()));
  std::optional<QStringConverter::Encoding> bom = QStringConverter::encodingForData(data);
  if (bom && *bom != QStringConverter::Utf8) {
    QStringDecoder decode(*bom);
    return QString(decode(data)).toUtf8().toStdString();
  }
  static const QRegularExpression kDeclaration(
      QStringLiteral("^\\s*<\\?xml[^>]*encoding\\s*=\\s*[\"']([A-Za-z0-9._:-]+)[\"']"));
  const QRegularExpressionMatch m = kDeclaration.match(QString::fromLatin1(data.left(256)));
  if (!m.hasMatch()) return bytes;
  const QByteArray name = m.captured(1).toLatin1();
  if (name.compare("utf-8", Qt::CaseInsensitive) == 0) return bytes;
  QStringDecoder decode(name.constData());
  if (!decode.isValid()) return bytes;
  return QString(decode(data)).toUtf8().toStdString();
}

}  // namespace

bool OpenEncapsulatedDocumentWindow(QWidget* parent, const std::string& path, std::string* why) {
  if (TEncapsulatedDocumentWindow* open = TEncapsulatedDocumentWindow::Find(path)) {
    open->show();
    open->raise();
    open->activateWindow();
    return true;
  }
  TEncapsulatedDocument doc;
  std::string reason;
  if (!ReadEncapsulatedDocument(path, doc, reason)) {
    if (why) *why = reason;
    return false;
  }
  // A "PDF" that is none is refused before Qt PDF sees it: one reason, and
  // no window that shows nothing.
  if (IsPdfMime(doc.mimeType) || doc.sopClassUid == "1.2.840.10008.5.1.4.1.1.104.1") {
    const std::string problem = PdfProblem(doc.bytes);
    if (!problem.empty()) {
      if (why) *why = problem;
      return false;
    }
  }
  auto* window = new TEncapsulatedDocumentWindow(parent, path, std::move(doc));
  const TEncapsulatedDocument& d = window->Document();
  if (IsPdfMime(d.mimeType) || d.sopClassUid == "1.2.840.10008.5.1.4.1.1.104.1") {
    if (!window->ShowPdf(&reason)) {
      delete window;
      if (why) *why = reason;
      return false;
    }
  } else if (IsTextMime(d.mimeType) || d.sopClassUid == "1.2.840.10008.5.1.4.1.1.104.2") {
    window->ShowText();
  } else {
    window->ShowOther();
  }
  OpenWindows().insert(Key(path), window);
  window->show();
  window->raise();
  window->activateWindow();
  return true;
}

TEncapsulatedDocumentWindow* TEncapsulatedDocumentWindow::Find(const std::string& path) {
  const auto it = OpenWindows().constFind(Key(path));
  return it == OpenWindows().constEnd() ? nullptr : it->data();
}

TEncapsulatedDocumentWindow::TEncapsulatedDocumentWindow(QWidget* parent, const std::string& path,
                                                         TEncapsulatedDocument doc)
    : QMainWindow(parent, Qt::Window), FPath(path), FDocument(std::move(doc)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName("EncapsulatedDocumentWindow");
  const QString title =
      FDocument.title.empty() ? QStringLiteral("Document") : Utf8(FDocument.title);
  const QString patient = PersonName(FDocument.patientName);
  setWindowTitle(patient.isEmpty() ? title : title + QStringLiteral(" \u2014 ") + patient);

  QStringList facts;
  if (!patient.isEmpty()) facts << patient;
  if (!FDocument.patientId.empty()) facts << QStringLiteral("ID ") + Utf8(FDocument.patientId);
  if (!FDocument.contentDate.empty())
    facts << DateText(FDocument.contentDate);
  else if (!FDocument.studyDate.empty())
    facts << DateText(FDocument.studyDate);
  if (!FDocument.mimeType.empty()) facts << Utf8(FDocument.mimeType);
  statusBar()->showMessage(facts.join(QStringLiteral("  \u00b7  ")));
  if (!FDocument.warning.empty()) statusBar()->setToolTip(Utf8(FDocument.warning));
  resize(820, 960);
}

TEncapsulatedDocumentWindow::~TEncapsulatedDocumentWindow() {
  // QPdfDocument says "closed" from its own destructor, which runs among the
  // children QWidget deletes after this one: no handler may see the window
  // half gone.
  if (FPdf) FPdf->disconnect(this);
  auto& windows = OpenWindows();
  const auto it = windows.find(Key(FPath));
  if (it != windows.end() && (it->isNull() || it->data() == this)) windows.erase(it);
}

bool TEncapsulatedDocumentWindow::ShowPdf(std::string* why) {
  // The bytes stay with the window: Qt PDF reads from the buffer while it
  // renders pages.
  FBuffer = new QBuffer(this);
  FBuffer->setData(QByteArray(FDocument.bytes.data(), qsizetype(FDocument.bytes.size())));
  FBuffer->open(QIODevice::ReadOnly);
  FPdf = new QPdfDocument(this);
  FPdf->load(FBuffer);
  // Bytes in memory load at once; a document still loading is shown as it
  // comes (statusChanged below).
  const QPdfDocument::Status status = FPdf->status();
  if (status == QPdfDocument::Status::Error ||
      (status == QPdfDocument::Status::Ready && FPdf->pageCount() <= 0)) {
    if (why) {
      const QPdfDocument::Error e = FPdf->error();
      *why = e == QPdfDocument::Error::IncorrectPassword ? "the PDF is protected by a password"
             : e == QPdfDocument::Error::UnsupportedSecurityScheme
                 ? "the PDF uses a security scheme that cannot be opened"
                 : "the PDF cannot be read (damaged or not a PDF)";
    }
    return false;
  }

  FView = new QPdfView(this);
  FView->setObjectName("PdfView");
  FView->setDocument(FPdf);
  FView->setPageMode(QPdfView::PageMode::SinglePage);
  FView->setZoomMode(QPdfView::ZoomMode::FitToWidth);
  setCentralWidget(FView);

  QToolBar* bar = addToolBar(QStringLiteral("Pages"));
  bar->setObjectName("PdfToolBar");
  bar->setMovable(false);
  FPrevious = bar->addAction(QStringLiteral("Previous page"), this,
                             &TEncapsulatedDocumentWindow::PreviousPage);
  FPrevious->setShortcuts({QKeySequence(Qt::Key_PageUp), QKeySequence(Qt::Key_Left)});
  FPageBox = new QSpinBox(bar);
  FPageBox->setObjectName("PageNumber");
  FPageBox->setRange(1, std::max(1, FPdf->pageCount()));
  FPageBox->setAccelerated(true);
  bar->addWidget(FPageBox);
  FPageCount = new QLabel(QStringLiteral(" of %1 ").arg(FPdf->pageCount()), bar);
  bar->addWidget(FPageCount);
  FNext = bar->addAction(QStringLiteral("Next page"), this, &TEncapsulatedDocumentWindow::NextPage);
  FNext->setShortcuts({QKeySequence(Qt::Key_PageDown), QKeySequence(Qt::Key_Right)});
  bar->addSeparator();
  bar->addAction(QStringLiteral("Fit width"), this, &TEncapsulatedDocumentWindow::FitWidth);
  bar->addAction(QStringLiteral("Zoom in"), this, &TEncapsulatedDocumentWindow::ZoomIn)
      ->setShortcut(QKeySequence::ZoomIn);
  bar->addAction(QStringLiteral("Zoom out"), this, &TEncapsulatedDocumentWindow::ZoomOut)
      ->setShortcut(QKeySequence::ZoomOut);
  bar->addSeparator();
  bar->addAction(QStringLiteral("Extract\u2026"), this, &TEncapsulatedDocumentWindow::Extract)
      ->setShortcut(QKeySequence::Save);

  connect(FPageBox, &QSpinBox::valueChanged, this, [this](int value) { GoToPage(value - 1); });
  connect(FView->pageNavigator(), &QPdfPageNavigator::currentPageChanged, this,
          [this] { UpdatePageControls(); });
  // A document that still loads when load() returns may yet fail: the
  // window then says why in place of the pages.
  connect(FPdf, &QPdfDocument::statusChanged, this, [this](QPdfDocument::Status status) {
    if (status == QPdfDocument::Status::Error ||
        (status == QPdfDocument::Status::Ready && FPdf->pageCount() <= 0))
      ShowFailure(QStringLiteral("The PDF cannot be read (damaged or not a PDF)."));
    else
      UpdatePageControls();
  });
  UpdatePageControls();
  return true;
}

void TEncapsulatedDocumentWindow::ShowText() {
  const std::string bytes = AsUtf8(FDocument.bytes);
  QString text;
  // A CDA shows its narrative; other XML or text shows as written.
  if (bytes.find("ClinicalDocument") != std::string::npos) text = Utf8(CdaReadableText(bytes));
  if (text.isEmpty()) text = Utf8(bytes);
  FText = new QTextBrowser(this);
  FText->setObjectName("DocumentText");
  FText->setPlainText(text);
  FText->setFont(QFont(FText->font().family(), 11));
  setCentralWidget(FText);
  QToolBar* bar = addToolBar(QStringLiteral("Document"));
  bar->setMovable(false);
  bar->addAction(QStringLiteral("Extract\u2026"), this, &TEncapsulatedDocumentWindow::Extract)
      ->setShortcut(QKeySequence::Save);
}

void TEncapsulatedDocumentWindow::ShowOther() {
  auto* page = new QWidget(this);
  auto* column = new QVBoxLayout(page);
  auto* about = new QLabel(page);
  about->setObjectName("DocumentFacts");
  about->setTextFormat(Qt::PlainText);
  about->setText(
      QStringLiteral("%1\n\nType: %2\nSize: %3 bytes\n\nThis kind of document is not "
                     "shown here; extract it to open it with another program.")
          .arg(FDocument.title.empty() ? QStringLiteral("Document") : Utf8(FDocument.title),
               FDocument.mimeType.empty() ? QStringLiteral("unknown") : Utf8(FDocument.mimeType))
          .arg(qulonglong(FDocument.bytes.size())));
  about->setAlignment(Qt::AlignCenter);
  column->addStretch(1);
  column->addWidget(about);
  column->addStretch(1);
  setCentralWidget(page);
  QToolBar* bar = addToolBar(QStringLiteral("Document"));
  bar->setMovable(false);
  bar->addAction(QStringLiteral("Extract\u2026"), this, &TEncapsulatedDocumentWindow::Extract)
      ->setShortcut(QKeySequence::Save);
  resize(520, 320);
}

void TEncapsulatedDocumentWindow::ShowFailure(const QString& reason) {
  auto* label = new QLabel(reason, this);
  label->setObjectName("DocumentFailure");
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  setCentralWidget(label);  // the view goes; the document stays for Extract
  FView = nullptr;
  if (FPrevious) FPrevious->setEnabled(false);
  if (FNext) FNext->setEnabled(false);
  if (FPageBox) FPageBox->setEnabled(false);
}

int TEncapsulatedDocumentWindow::Page() const {
  return FView ? FView->pageNavigator()->currentPage() : 0;
}

int TEncapsulatedDocumentWindow::PageCount() const {
  return FPdf && FView ? FPdf->pageCount() : 0;
}

void TEncapsulatedDocumentWindow::GoToPage(int page) {
  if (!FView || PageCount() <= 0) return;
  page = std::clamp(page, 0, PageCount() - 1);
  if (page == Page()) return UpdatePageControls();
  QPdfPageNavigator* nav = FView->pageNavigator();
  nav->jump(page, QPointF(), nav->currentZoom());
  UpdatePageControls();
}

void TEncapsulatedDocumentWindow::NextPage() {
  GoToPage(Page() + 1);
}

void TEncapsulatedDocumentWindow::PreviousPage() {
  GoToPage(Page() - 1);
}

void TEncapsulatedDocumentWindow::ZoomIn() {
  if (!FView) return;
  const qreal factor = FView->zoomFactor();
  FView->setZoomMode(QPdfView::ZoomMode::Custom);
  FView->setZoomFactor(std::min<qreal>(factor * kZoomStep, 8.0));
}

void TEncapsulatedDocumentWindow::ZoomOut() {
  if (!FView) return;
  const qreal factor = FView->zoomFactor();
  FView->setZoomMode(QPdfView::ZoomMode::Custom);
  FView->setZoomFactor(std::max<qreal>(factor / kZoomStep, 0.1));
}

void TEncapsulatedDocumentWindow::FitWidth() {
  if (FView) FView->setZoomMode(QPdfView::ZoomMode::FitToWidth);
}

qreal TEncapsulatedDocumentWindow::ZoomFactor() const {
  return FView ? FView->zoomFactor() : 1.0;
}

QString TEncapsulatedDocumentWindow::ShownText() const {
  return FText ? FText->toPlainText() : QString();
}

void TEncapsulatedDocumentWindow::UpdatePageControls() {
  if (!FView || !FPageBox) return;
  const int page = Page();
  const int count = PageCount();
  {
    const QSignalBlocker block(FPageBox);
    FPageBox->setRange(1, std::max(1, count));
    FPageBox->setValue(page + 1);
  }
  FPageCount->setText(QStringLiteral(" of %1 ").arg(count));
  FPrevious->setEnabled(page > 0);
  FNext->setEnabled(page + 1 < count);
}

bool TEncapsulatedDocumentWindow::ExtractTo(const QString& target, QString* why) const {
  std::string reason;
  if (WriteFileSafely(QFile::encodeName(target).toStdString(), FDocument.bytes, reason))
    return true;
  if (why) *why = QString::fromStdString(reason);
  return false;
}

void TEncapsulatedDocumentWindow::Extract() {
  QString name = FDocument.title.empty() ? QStringLiteral("document") : Utf8(FDocument.title);
  name.replace(QRegularExpression(QStringLiteral("[\\\\/:*?\"<>|]")), QStringLiteral("_"));
  const QString extension = QString::fromStdString(DocumentExtension(FDocument.mimeType));
  const QString target = QFileDialog::getSaveFileName(
      this, QStringLiteral("Extract document"), QDir::current().filePath(name + extension),
      QStringLiteral("*%1;;All files (*)").arg(extension));
  if (target.isEmpty()) return;
  QString why;
  if (!ExtractTo(target, &why)) QMessageBox::warning(this, QStringLiteral("Extract document"), why);
}
