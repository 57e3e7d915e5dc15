// The PACS window, offscreen, as a user drives it: search a real Orthanc,
// sort the matches, retrieve a study into the tree and the grid; and the
// failures a user meets, each shown once, with what arrived kept loaded.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <filesystem>

#include "app/PacsForm.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/window_fixture.h"
#include "fake_web_server.h"
#include "pacs_fixture.h"
#include "support/pacs_fixtures.h"
#include "support/qt_wait.h"

namespace fs = std::filesystem;
using namespace pacstest;

namespace {

// Runs the event loop until cond holds or ms pass.
bool WaitFor(const std::function<bool()>& cond, int ms) {
  return testsupport::WaitUntil(cond, ms);
}

// The first emission of a finished(bool) signal, waited for.
template <typename Signal>
class Outcome {
 public:
  Outcome(TPacsForm* form, Signal signal) {
    connection_ = QObject::connect(form, signal, form, [this](bool ok) {
      if (!done) result = ok;
      done = true;
    });
  }
  ~Outcome() { QObject::disconnect(connection_); }
  bool Wait(int ms) {
    return WaitFor([this] { return done; }, ms) && result;
  }
  bool done = false;
  bool result = false;

 private:
  QMetaObject::Connection connection_;
};

class TestPacsForm : public TPacsForm {
 public:
  using TPacsForm::TPacsForm;
  QStringList errors;

 protected:
  void ShowError(const QString& text) override { errors << text; }
};

class PacsWindow : public apptest::AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    pacs = new TestPacsForm(form.get());
    form->PacsForm = pacs;
  }

  bool SearchFor(const QString& name) {
    pacs->patientNameEdit->setText(name);
    Outcome done(pacs, &TPacsForm::searchFinished);
    pacs->searchButton->click();
    return done.Wait(30000);
  }
  bool RetrieveRow(int row) {
    pacs->resultsList->clearSelection();
    pacs->resultsList->topLevelItem(row)->setSelected(true);
    pacs->resultsList->setCurrentItem(pacs->resultsList->topLevelItem(row));
    Outcome done(pacs, &TPacsForm::retrieveFinished);
    pacs->retrieveButton->click();
    return done.Wait(60000);
  }
  int ImagesInTree() const {
    std::lock_guard lock(gPatientsMutex);
    int n = 0;
    for (const TPatient& p : gPatients)
      for (const TStudy& st : p.studies)
        for (const TSeries& s : st.serieses) n += int(s.images.size());
    return n;
  }

  TestPacsForm* pacs = nullptr;
};

}  // namespace

TEST_F(PacsWindow, SearchesAndRetrievesAStudyIntoTheGrid) {
  REQUIRE_ORTHANC(o);
  pacs->SetServers({DimseServer(*o), WebServer(*o)});
  form->btnPacs->click();
  EXPECT_TRUE(pacs->isVisible());
  ASSERT_EQ(pacs->serverBox->count(), 2);

  for (int server = 0; server < 2; ++server) {
    SCOPED_TRACE(server == 0 ? "DIMSE" : "DICOMweb");
    apptest::ClearTree();
    for (auto& row : form->AdvancedImages)
      for (TadvancedImage* cell : row) cell->Clear();
    pacs->serverBox->setCurrentIndex(server);

    // Every study; sorted by image count, the MR sample (1 image) comes first.
    ASSERT_TRUE(SearchFor("")) << pacs->LastError().toStdString();
    ASSERT_EQ(pacs->resultsList->topLevelItemCount(), 2);
    pacs->resultsList->sortByColumn(TPacsForm::ColImages, Qt::AscendingOrder);
    EXPECT_EQ(pacs->resultsList->topLevelItem(0)->text(TPacsForm::ColImages), "1");
    EXPECT_EQ(pacs->resultsList->topLevelItem(1)->text(TPacsForm::ColImages), "6");
    pacs->resultsList->sortByColumn(TPacsForm::ColName, Qt::DescendingOrder);
    EXPECT_EQ(pacs->resultsList->topLevelItem(0)->text(TPacsForm::ColName), "PACS TEST");

    // A name matches from its start.
    ASSERT_TRUE(SearchFor("pacs"));
    ASSERT_EQ(pacs->resultsList->topLevelItemCount(), 1);
    QTreeWidgetItem* row = pacs->resultsList->topLevelItem(0);
    EXPECT_EQ(row->text(TPacsForm::ColId), "PACS-1");
    EXPECT_EQ(row->text(TPacsForm::ColDate), "15/01/2024");
    EXPECT_EQ(row->text(TPacsForm::ColAccession), "ACC001");

    ASSERT_TRUE(RetrieveRow(0)) << pacs->LastError().toStdString();
    EXPECT_TRUE(pacs->errors.isEmpty());
    EXPECT_EQ(ImagesInTree(), 6);
    {
      std::lock_guard lock(gPatientsMutex);
      ASSERT_EQ(gPatients.size(), 1u);
      ASSERT_EQ(gPatients[0].studies.size(), 1u);
      const TStudy& st = gPatients[0].studies[0];
      ASSERT_EQ(st.serieses.size(), 2u);
      EXPECT_EQ(st.serieses[0].seriesNumber, 1);
      ASSERT_EQ(st.serieses[0].images.size(), 4u);
      for (int i = 0; i < 4; ++i) EXPECT_EQ(st.serieses[0].images[size_t(i)].instanceNumber, i + 1);
      EXPECT_EQ(st.serieses[1].images.size(), 2u);
    }
    // Both series in the grid (one per cell), from its first image.
    TadvancedImage* cell = Cell(0, 0);
    EXPECT_TRUE(cell->HasImage);
    EXPECT_EQ(cell->SeriesIndex, 0);
    EXPECT_EQ(cell->ImageIndex, 0);
    EXPECT_EQ(pacs->progressList->topLevelItemCount(), 2);
    for (int k = 0; k < pacs->progressList->topLevelItemCount(); ++k) {
      const QString t = pacs->progressList->topLevelItem(k)->text(1);
      EXPECT_TRUE(t == "4 / 4" || t == "2 / 2") << t.toStdString();
    }
    EXPECT_TRUE(pacs->statusLabel->text().startsWith("6 images retrieved"))
        << pacs->statusLabel->text().toStdString();
    // The files are in the temporary folder the window keeps until exit.
    EXPECT_TRUE(fs::exists(pacs->RetrieveFolder().toStdString() + "/" + kStudyA + "/" + kSeriesA1));
  }

  // A folder of the user's choice keeps the files instead.
  const std::string chosen = TestDir("pacs_window_chosen");
  pacs->folderEdit->setText(QString::fromStdString(chosen));
  pacs->chosenFolderRadio->setChecked(true);
  apptest::ClearTree();
  ASSERT_TRUE(RetrieveRow(0));
  EXPECT_EQ(FilesUnder(chosen).size(), 6u);
}

TEST_F(PacsWindow, AFailureIsShownOnceAndWhatArrivedStaysLoaded) {
  const std::string study = "1.2.826.0.1.3680043.2.1125.77";
  const std::string series = study + ".1";
  auto slice = [&](int k) {
    testsupport::CtSliceSpec s;
    s.studyUid = study;
    s.seriesUid = series;
    s.sopUid = series + "." + std::to_string(k);
    s.instanceNumber = k;
    s.size = 32;
    const auto b = testsupport::CtSliceFile(s);
    return std::string(b.begin(), b.end());
  };
  // The server stops after two of five images, in the middle of the third.
  const std::string b = "cut";
  FakeWebServer server([&](const std::string& path) {
    if (path.find("/series") != std::string::npos)
      return FakeWebServer::Json(FakeWebServer::SeriesJson(study, series, 5));
    if (path.find("/studies?") != std::string::npos)
      return FakeWebServer::Json(
          "[{\"0020000D\":{\"vr\":\"UI\",\"Value\":[\"" + study +
          "\"]},\"00100010\":{\"vr\":\"PN\",\"Value\":[{\"Alphabetic\":\"CUT^OFF\"}]}}]");
    return FakeWebServer::MultipartHead(b) + FakeWebServer::Part(b, slice(1)) +
           FakeWebServer::Part(b, slice(2)) + "--" + b +
           "\r\nContent-Type: application/dicom\r\n\r\n" + slice(3).substr(0, 500);
  });
  TPacsServer wrongAe;
  std::string why;
  ParseServerAddress("dicom://NOBODY@127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort()),
                     wrongAe, why);
  pacs->SetServers({server.Server(), wrongAe});

  ASSERT_TRUE(SearchFor(""));
  ASSERT_EQ(pacs->resultsList->topLevelItemCount(), 1);
  EXPECT_EQ(pacs->resultsList->topLevelItem(0)->text(TPacsForm::ColName), "CUT OFF");
  EXPECT_FALSE(RetrieveRow(0));
  ASSERT_EQ(pacs->errors.size(), 1);
  EXPECT_TRUE(pacs->errors[0].contains("stopped in the middle of an image"))
      << pacs->errors[0].toStdString();
  EXPECT_TRUE(pacs->errors[0].contains("2 of 5 images arrived")) << pacs->errors[0].toStdString();
  EXPECT_EQ(pacs->statusLabel->text(), pacs->errors[0]);
  EXPECT_EQ(ImagesInTree(), 2);
  EXPECT_TRUE(Cell(0, 0)->HasImage);

  // A server nobody listens on: one message, and the tree keeps the two images.
  pacs->serverBox->setCurrentIndex(1);
  EXPECT_FALSE(SearchFor(""));
  ASSERT_EQ(pacs->errors.size(), 2);
  EXPECT_TRUE(pacs->errors[1].contains("connection was refused")) << pacs->errors[1].toStdString();
  EXPECT_EQ(ImagesInTree(), 2);
  // The matches of another server are gone with the change, and Retrieve with them.
  EXPECT_EQ(pacs->resultsList->topLevelItemCount(), 0);
  EXPECT_FALSE(pacs->retrieveButton->isEnabled());
}

TEST_F(PacsWindow, CancelStopsARetrieveAndKeepsWhatArrived) {
  const std::string study = "1.2.826.0.1.3680043.2.1125.78";
  const std::string series = study + ".1";
  testsupport::CtSliceSpec s;
  s.studyUid = study;
  s.seriesUid = series;
  s.sopUid = series + ".1";
  s.size = 32;
  const auto bytes = testsupport::CtSliceFile(s);
  const std::string first(bytes.begin(), bytes.end());
  // One image, then the answer stalls (the connection stays open).
  QTcpServer stall;
  ASSERT_TRUE(stall.listen(QHostAddress::LocalHost, 0));
  std::vector<QTcpSocket*> open;
  QObject::connect(&stall, &QTcpServer::newConnection, [&] {
    QTcpSocket* c = stall.nextPendingConnection();
    open.push_back(c);
    QObject::connect(c, &QTcpSocket::readyRead, [&, c] {
      const QByteArray req = c->readAll();
      std::string answer;
      if (req.contains("/series"))
        answer = FakeWebServer::Json(FakeWebServer::SeriesJson(study, series, 3));
      else
        answer = FakeWebServer::MultipartHead("z") + FakeWebServer::Part("z", first) + "--z\r\n";
      c->write(answer.data(), qint64(answer.size()));
      if (req.contains("/series")) c->disconnectFromHost();
    });
  });
  TPacsServer web;
  std::string why;
  ParseServerAddress("dicomweb+http://127.0.0.1:" + std::to_string(stall.serverPort()) + "/", web,
                     why);
  pacs->SetServers({web});
  auto* item = new QTreeWidgetItem(pacs->resultsList);
  item->setData(0, Qt::UserRole, QString::fromStdString(study));
  pacs->resultsList->setCurrentItem(item);
  Outcome done(pacs, &TPacsForm::retrieveFinished);
  pacs->retrieveButton->click();
  WaitFor([&] { return ImagesInTree() > 0; }, 5000);
  ASSERT_EQ(ImagesInTree(), 1);
  EXPECT_TRUE(pacs->cancelButton->isEnabled());
  pacs->cancelButton->click();
  EXPECT_FALSE(done.Wait(5000));
  ASSERT_TRUE(done.done);
  EXPECT_TRUE(pacs->errors.isEmpty());  // a cancel is no error
  EXPECT_TRUE(pacs->statusLabel->text().contains("cancelled"))
      << pacs->statusLabel->text().toStdString();
  EXPECT_EQ(ImagesInTree(), 1);
  EXPECT_FALSE(pacs->Busy());
}

TEST_F(PacsWindow, AServersFileFillsTheListAndABadOneSaysWhy) {
  const std::string dir = TestDir("pacs_servers_file");
  const std::string good = fixtures::WriteFile(dir, "servers.json", [] {
    const std::string t = R"({"servers": [
      {"name": "Archive", "url": "dicom://ARCHIVE@10.0.0.5:104", "callingAe": "VIEWER", "movePort": 11113},
      {"name": "Web", "kind": "dicomweb", "host": "pacs.example", "port": 443, "path": "/rs", "tls": true,
       "user": "alice", "password": "s3cret"}]})";
    return fixtures::Bytes(t.begin(), t.end());
  }());
  QString why;
  ASSERT_TRUE(form->AddPacsServersFile(QString::fromStdString(good), &why)) << why.toStdString();
  ASSERT_EQ(form->PacsForm->Servers().size(), 2u);
  const TPacsServer& a = form->PacsForm->Servers()[0];
  EXPECT_EQ(a.calledAe, "ARCHIVE");
  EXPECT_EQ(a.callingAe, "VIEWER");
  EXPECT_EQ(a.movePort, 11113);
  const TPacsServer& w = form->PacsForm->Servers()[1];
  EXPECT_TRUE(w.tls);
  EXPECT_EQ(w.path, "/rs/");
  EXPECT_EQ(w.password, "s3cret");
  // The list shows names and addresses, never the password.
  EXPECT_FALSE(form->PacsForm->serverBox->itemText(1).contains("s3cret"));

  const std::string bad = fixtures::WriteFile(dir, "bad.json", [] {
    const std::string t = R"({"servers": [{"name": "X", "url": "dicom://AE@host"}]})";
    return fixtures::Bytes(t.begin(), t.end());
  }());
  EXPECT_FALSE(form->AddPacsServersFile(QString::fromStdString(bad), &why));
  EXPECT_TRUE(why.contains("bad.json") && why.contains("server 1") && why.contains("port"))
      << why.toStdString();
  EXPECT_EQ(form->PacsForm->Servers().size(), 2u);
}
