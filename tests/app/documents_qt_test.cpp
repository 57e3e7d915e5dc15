// Encapsulated documents in the viewer: the PDF window pages and zooms, a
// document that cannot be shown says why and opens nothing, CDA shows its
// text; and a folder of a report, PDFs and an ECG beside an image lists each
// under its series in the browser, where a click opens it and the search
// finds it by title.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QMouseEvent>
#include <QPdfView>
#include <QTimer>

#include "app/EncapsulatedDocumentWindow.h"
#include "app/PacsFiling.h"
#include "app/ThumbnailsToolUnit.h"
#include "app_fixtures.h"
#include "window_fixture.h"

namespace {

const std::string kSource = TAVROLEN_SOURCE_DIR;

template <typename F>
bool WaitFor(F done) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

std::string Slurp(const std::string& path) {
  const fixtures::Bytes b = fixtures::ReadFile(path);
  return std::string(b.begin(), b.end());
}

// Documents written once for the whole suite.
class DocumentFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = testsupport::TempDir("app-documents");
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 '" + kSource +
                                       "/tests/documents/document_fixtures.py' '" + dir_ + "' 2>&1",
                                   &out),
              0)
        << out;
    ASSERT_EQ(fixtures::RunCommand(
                  "pdf2dcm +t 'Two pages' '" + dir_ + "/two_pages.pdf' '" + dir_ + "/two.dcm' 2>&1",
                  &out),
              0)
        << out;
  }
  void TearDown() override {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (qobject_cast<TEncapsulatedDocumentWindow*>(w)) delete w;
  }
  static std::string dir_;
};
std::string DocumentFiles::dir_;

TEST_F(DocumentFiles, PdfWindowPagesZoomsAndIsOpenedOnce) {
  const std::string path = dir_ + "/two.dcm";
  std::string why;
  ASSERT_TRUE(OpenEncapsulatedDocumentWindow(nullptr, path, &why)) << why;
  TEncapsulatedDocumentWindow* w = TEncapsulatedDocumentWindow::Find(path);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->windowTitle().startsWith("Two pages"));
  ASSERT_EQ(w->PageCount(), 2);
  EXPECT_EQ(w->Page(), 0);
  w->NextPage();
  EXPECT_EQ(w->Page(), 1);
  w->NextPage();  // the last page stays
  EXPECT_EQ(w->Page(), 1);
  w->PreviousPage();
  EXPECT_EQ(w->Page(), 0);
  w->GoToPage(7);
  EXPECT_EQ(w->Page(), 1);
  w->FitWidth();
  QApplication::processEvents();
  const qreal fitted = w->ZoomFactor();
  w->ZoomIn();
  EXPECT_GT(w->ZoomFactor(), fitted);
  w->ZoomOut();
  w->ZoomOut();
  EXPECT_LT(w->ZoomFactor(), fitted);
  // The pages are drawn: the view is not one flat colour.
  QPdfView* view = w->findChild<QPdfView*>("PdfView");
  ASSERT_NE(view, nullptr);
  w->FitWidth();
  w->GoToPage(0);
  ASSERT_TRUE(WaitFor([&] {
    const QImage shot = view->viewport()->grab().toImage();
    const QRgb corner = shot.pixel(2, 2);
    for (int y = 0; y < shot.height(); y += 3)
      for (int x = 0; x < shot.width(); x += 3)
        if (shot.pixel(x, y) != corner) return true;
    return false;
  }));
  // Again: the same window, raised.
  ASSERT_TRUE(OpenEncapsulatedDocumentWindow(nullptr, path, &why));
  EXPECT_EQ(TEncapsulatedDocumentWindow::Find(path), w);
  // Extract writes the document's own bytes.
  QString error;
  ASSERT_TRUE(w->ExtractTo(QString::fromStdString(dir_ + "/out.pdf"), &error))
      << error.toStdString();
  EXPECT_EQ(Slurp(dir_ + "/out.pdf"), Slurp(dir_ + "/two_pages.pdf"));
  w->close();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(TEncapsulatedDocumentWindow::Find(path), nullptr);
}

TEST_F(DocumentFiles, DocumentsThatCannotBeShownSayWhyAndOpenNothing) {
  const std::pair<const char*, const char*> cases[] = {
      {"notpdf.dcm", "not a PDF: the document has no %PDF- header"},
      {"badpdf.dcm", "the PDF cannot be read (damaged or not a PDF)"},
      {"ct.dcm", "cannot read"},  // no such file
  };
  for (const auto& [name, reason] : cases) {
    const std::string path = dir_ + "/" + name;
    std::string why;
    EXPECT_FALSE(OpenEncapsulatedDocumentWindow(nullptr, path, &why)) << name;
    EXPECT_NE(why.find(reason), std::string::npos) << name << ": " << why;
    EXPECT_EQ(TEncapsulatedDocumentWindow::Find(path), nullptr);
  }
  for (QWidget* w : QApplication::topLevelWidgets())
    EXPECT_EQ(qobject_cast<TEncapsulatedDocumentWindow*>(w), nullptr);
}

TEST_F(DocumentFiles, CdaShowsItsNarrativeAndOtherKindsOfferExtract) {
  std::string why;
  ASSERT_TRUE(OpenEncapsulatedDocumentWindow(nullptr, dir_ + "/cda.dcm", &why)) << why;
  TEncapsulatedDocumentWindow* cda = TEncapsulatedDocumentWindow::Find(dir_ + "/cda.dcm");
  ASSERT_NE(cda, nullptr);
  EXPECT_EQ(cda->PageCount(), 0);
  EXPECT_TRUE(cda->ShownText().contains("History\nChest pain since Monday."));
  EXPECT_FALSE(cda->ShownText().contains("hidden coded entry"));
  EXPECT_FALSE(cda->ShownText().contains("<"));
  // Read in the encoding its XML declaration names.
  ASSERT_TRUE(OpenEncapsulatedDocumentWindow(nullptr, dir_ + "/latin1_cda.dcm", &why)) << why;
  TEncapsulatedDocumentWindow* latin = TEncapsulatedDocumentWindow::Find(dir_ + "/latin1_cda.dcm");
  ASSERT_NE(latin, nullptr);
  EXPECT_EQ(latin->ShownText(), QString::fromUtf8("Befund\n\nGef\u00e4\u00dfe\n\u00dcberweisung"));

  ASSERT_TRUE(OpenEncapsulatedDocumentWindow(nullptr, dir_ + "/stl.dcm", &why)) << why;
  TEncapsulatedDocumentWindow* stl = TEncapsulatedDocumentWindow::Find(dir_ + "/stl.dcm");
  ASSERT_NE(stl, nullptr);
  EXPECT_TRUE(stl->ShownText().isEmpty());
  QString error;
  ASSERT_TRUE(stl->ExtractTo(QString::fromStdString(dir_ + "/model.stl"), &error));
  EXPECT_EQ(Slurp(dir_ + "/model.stl"), "sol");
  // A target that cannot be written says so.
  EXPECT_FALSE(stl->ExtractTo(QString::fromStdString(dir_ + "/no/such/folder/x.stl"), &error));
  EXPECT_FALSE(error.isEmpty());
}

// The main window, with folders and files answered by the test.
class DocForm : public apptest::TestForm {
 public:
  QString folder, file;

 protected:
  QString AskFolder() override { return folder; }
  QString AskOpenFileName() override { return file; }
  void ShowLoadSummary(const QString& text, const QString& details) override {
    summaries << text + "\n" + details;
  }

 public:
  QStringList summaries;
};

class BrowserDocuments : public ::testing::Test {
 protected:
  void SetUp() override {
    appfx::ResetLoadingState();
    dir = testsupport::TempDir("app-browser-documents");
    std::string out;
    ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 '" + kSource +
                                       "/tests/study/document_study_fixture.py' '" + dir + "' '" +
                                       testsupport::SampleDir() + "' 2>&1",
                                   &out),
              0)
        << out;
    form = std::make_unique<DocForm>();
    form->resize(1000, 700);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (qobject_cast<TEncapsulatedDocumentWindow*>(w)) delete w;
    form.reset();
    appfx::ResetLoadingState();
  }
  void WaitIdle() {
    if (form->IsIdle() && !gLoadingInProgress) return;
    QEventLoop loop;
    QObject::connect(form.get(), &TForm1::loadsFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    QApplication::processEvents();
  }
  // In tree order (the browser lists a patient's studies by date).
  std::vector<TSeriesPanel*> DocumentPanels() {
    std::vector<TSeriesPanel*> out;
    WaitFor([&] { return form->ThumbnailsTool->PanelsComplete(); });
    for (TSeriesPanel* p : form->ThumbnailsTool->SeriesPanels())
      if (!p->Documents.empty()) out.push_back(p);
    std::sort(out.begin(), out.end(), [](const TSeriesPanel* a, const TSeriesPanel* b) {
      return std::tie(a->PatientIndex, a->StudyIndex, a->SeriesIndex) <
             std::tie(b->PatientIndex, b->StudyIndex, b->SeriesIndex);
    });
    return out;
  }
  static void Click(QWidget* w) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
  }

  std::string dir;
  std::unique_ptr<DocForm> form;
};

TEST_F(BrowserDocuments, FolderListsReportPdfsAndEcgUnderTheirSeries) {
  REQUIRE_SAMPLES();
  form->folder = QString::fromStdString(dir + "/folder");
  form->btnOpenFolderClick();
  WaitIdle();
  // Nothing was skipped: no summary names the documents.
  for (const QString& s : form->summaries) {
    EXPECT_FALSE(s.contains("not an image")) << s.toStdString();
    EXPECT_FALSE(s.contains("sr.dcm")) << s.toStdString();
  }
  const std::vector<TSeriesPanel*> panels = DocumentPanels();
  ASSERT_EQ(panels.size(), 3u);
  EXPECT_EQ(panels[0]->Documents[0].type, TDocumentType::Report);
  EXPECT_EQ(panels[0]->Documents[0].title, "Diagnosis");
  EXPECT_TRUE(panels[0]->SeriesLabel->text().endsWith("(report)"));
  ASSERT_EQ(panels[1]->Documents.size(), 2u);
  EXPECT_EQ(panels[1]->Documents[0].title, "Consent");
  EXPECT_EQ(panels[1]->Documents[1].title, "Referral letter");
  EXPECT_TRUE(panels[1]->SeriesLabel->text().endsWith("(2 documents)"));
  EXPECT_EQ(panels[2]->Documents[0].type, TDocumentType::Waveform);
  // A picture in place of a thumbnail, and the image series keeps its own.
  for (TSeriesPanel* p : panels) EXPECT_FALSE(p->ThumbnailImage().isNull());
  EXPECT_EQ(form->ThumbnailsTool->SeriesPanels().size(), 4u);

  // Several documents: a menu of their titles; picking one opens its window.
  QStringList opened;
  QObject::connect(form->ThumbnailsTool, &TThumbnailsTool::DocumentOpened,
                   [&](const QString& path, bool) { opened << path; });
  Click(panels[1]);
  QMenu* menu = nullptr;
  ASSERT_TRUE(WaitFor([&] { return (menu = panels[1]->findChild<QMenu*>("DocumentsMenu")); }));
  ASSERT_EQ(menu->actions().size(), 2);
  EXPECT_EQ(menu->actions()[1]->text(), "Referral letter");
  menu->actions()[1]->trigger();
  menu->close();
  ASSERT_EQ(opened.size(), 1);
  EXPECT_EQ(opened[0].toStdString(), dir + "/folder/pdf1.dcm");
  EXPECT_NE(TEncapsulatedDocumentWindow::Find(dir + "/folder/pdf1.dcm"), nullptr);
  // One document: a click opens it (or says once why it cannot).
  const size_t messages = form->messages.size();
  Click(panels[0]);
  ASSERT_EQ(opened.size(), 2);
  EXPECT_EQ(opened[1].toStdString(), dir + "/folder/sr.dcm");
  EXPECT_LE(form->messages.size(), messages + 1);
  // The cells were left alone.
  EXPECT_EQ(form->ActiveAdvancedImage->CurrentOpenedPath.find("sr.dcm"), std::string::npos);

  // The search finds documents by title.
  form->ThumbnailsTool->SetFilter("referral");
  QApplication::processEvents();
  int shown = 0;
  for (TSeriesPanel* p : form->ThumbnailsTool->SeriesPanels())
    if (!p->isHidden()) {
      ++shown;
      EXPECT_EQ(p, panels[1]);
    }
  EXPECT_EQ(shown, 1);
}

TEST_F(BrowserDocuments, OpeningOneDocumentFileFilesItAndOpensItsWindow) {
  REQUIRE_SAMPLES();
  const std::string pdf = dir + "/folder/pdf2.dcm";
  form->file = QString::fromStdString(pdf);
  form->btnOpenFileClick();
  EXPECT_TRUE(form->messages.empty()) << form->messages[0].toStdString();
  EXPECT_NE(TEncapsulatedDocumentWindow::Find(pdf), nullptr);
  const std::vector<TSeriesPanel*> panels = DocumentPanels();
  ASSERT_EQ(panels.size(), 1u);
  EXPECT_EQ(panels[0]->Documents[0].title, "Consent");
  EXPECT_EQ(panels[0]->NumOfImages, 0);
  // Opening it again raises the window; nothing is filed twice.
  form->btnOpenFileClick();
  EXPECT_EQ(DocumentPanels()[0]->Documents.size(), 1u);
}

TEST_F(BrowserDocuments, RetrievedDocumentsJoinTheirSeriesOnce) {
  REQUIRE_SAMPLES();
  auto arrive = [&] {
    std::vector<TArrival> batch;
    for (const char* name : {"ct.dcm", "sr.dcm", "pdf1.dcm", "ecg.dcm"})
      batch.push_back(ReadArrival(dir + "/folder/" + name));
    return FileArrivals(*form, batch);
  };
  TFilingOutcome out = arrive();
  EXPECT_EQ(out.added, 1);
  EXPECT_EQ(out.documents, 3);
  EXPECT_TRUE(out.notShown.empty()) << out.notShown.front();
  out = arrive();  // a second retrieve of the same study
  EXPECT_EQ(out.added, 0);
  EXPECT_EQ(out.documents, 0);
  std::lock_guard lock(gPatientsMutex);
  size_t documents = 0;
  for (const TPatient& p : gPatients)
    for (const TStudy& st : p.studies)
      for (const TSeries& se : st.serieses) documents += se.documents.size();
  EXPECT_EQ(documents, 3u);
}

}  // namespace
