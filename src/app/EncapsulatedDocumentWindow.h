// The window of an encapsulated document: PDF pages (Qt PDF), a CDA or
// other text document as readable text, and for other kinds (3D models) what
// the object says of it. Every kind can be extracted to a file.
//
// UI thread only.
#pragma once

#include <QMainWindow>
#include <QString>
#include <string>

#include "documents/EncapsulatedDocument.h"

class QAction;
class QBuffer;
class QLabel;
class QPdfDocument;
class QPdfView;
class QSpinBox;
class QTextBrowser;

// Opens (or raises) the window of the encapsulated document in `path`; false
// with a one-line reason when it cannot be read or shown.
bool OpenEncapsulatedDocumentWindow(QWidget* parent, const std::string& path, std::string* why);

class TEncapsulatedDocumentWindow : public QMainWindow {
  Q_OBJECT
 public:
  // The open window of a file, if any.
  static TEncapsulatedDocumentWindow* Find(const std::string& path);

  // PDF pages: 0-based current page, and the count (0 when not a PDF).
  int Page() const;
  int PageCount() const;
  void GoToPage(int page);
  void NextPage();
  void PreviousPage();
  void ZoomIn();
  void ZoomOut();
  void FitWidth();
  qreal ZoomFactor() const;
  // The text shown for a text document (empty for PDF and other kinds).
  QString ShownText() const;
  // Writes the document's bytes to target; false with the reason.
  bool ExtractTo(const QString& target, QString* why) const;
  const TEncapsulatedDocument& Document() const { return FDocument; }

 private:
  friend bool OpenEncapsulatedDocumentWindow(QWidget*, const std::string&, std::string*);
  TEncapsulatedDocumentWindow(QWidget* parent, const std::string& path, TEncapsulatedDocument doc);
  ~TEncapsulatedDocumentWindow() override;
  // Builds the PDF view; false with the reason when the bytes do not load.
  bool ShowPdf(std::string* why);
  void ShowText();
  void ShowOther();
  void ShowFailure(const QString& reason);
  void UpdatePageControls();
  void Extract();

  std::string FPath;
  TEncapsulatedDocument FDocument;
  QBuffer* FBuffer = nullptr;
  QPdfDocument* FPdf = nullptr;
  QPdfView* FView = nullptr;
  QTextBrowser* FText = nullptr;
  QSpinBox* FPageBox = nullptr;
  QLabel* FPageCount = nullptr;
  QAction* FPrevious = nullptr;
  QAction* FNext = nullptr;
};
