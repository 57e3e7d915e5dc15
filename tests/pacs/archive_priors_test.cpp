// Priors an archive holds: listed under the loaded patient after a load,
// retrieved on demand by Compare with Prior and set beside the study read;
// an archive that does not answer leaves everything as it was, said once.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTemporaryDir>
#include <map>

#include "app/PacsForm.h"
#include "app/ThumbnailsToolUnit.h"
#include "app/window_fixture.h"
#include "fake_web_server.h"
#include "pacs_fixture.h"
#include "support/orthanc.h"
#include "support/qt_wait.h"
#include "support/study_writer.h"

using namespace pacstest;

namespace {

class QuietPacsForm : public TPacsForm {
 public:
  using TPacsForm::TPacsForm;
  QStringList errors;

 protected:
  void ShowError(const QString& text) override { errors << text; }
};

class ArchivePriors : public apptest::AppTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config.isValid());
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    AppTest::SetUp();
    pacs = new QuietPacsForm(form.get());
    form->PacsForm = pacs;
  }

  // Today's study of the archive's patient PACS^TEST (its study there is of
  // 2024); returns its UID.
  std::string LoadCurrentStudy(const std::string& id = "PACS-1") {
    studywriter::StudySpec s;
    s.patientName = "PACS^TEST";
    s.patientId = id;
    s.date = "20250601";
    s.description = "CHEST";
    studywriter::SeriesSpec ct;
    s.series = {ct};
    const std::string dir = TestDir("archive-priors");
    form->OpenPaths({QString::fromStdString(studywriter::WriteStudy(dir, s))});
    EXPECT_TRUE(
        testsupport::WaitUntil([&] { return form->IsIdle() && !gLoadingInProgress; }, 30000));
    EXPECT_TRUE(Cell(0, 0)->HasImage);
    return studywriter::StudyUidOf(s);
  }
  bool WaitForQuery() {
    return testsupport::WaitUntil([&] { return !form->ArchiveQueryRunning(); }, 60000);
  }
  std::vector<std::string> ShownStudies() const {
    std::vector<std::string> out;
    for (auto& row : form->AdvancedImages)
      for (TadvancedImage* c : row)
        if (c->HasImage) out.push_back(c->gDicomData.Study_Instance_UID.str());
    return out;
  }
  static TPacsServer Closed() {
    TPacsServer s;
    std::string why;
    ParseServerAddress(
        "dicom://NOBODY@127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort()), s, why);
    s.name = "Closed";
    s.timeoutSeconds = 5;
    return s;
  }

  QTemporaryDir config;
  QuietPacsForm* pacs = nullptr;
};

// The reader keeps a UID's dots as blanks.
bool Holds(const std::vector<std::string>& uids, const std::string& uid) {
  for (const std::string& u : uids)
    if (QString::fromStdString(u).trimmed().replace(' ', '.').toStdString() == uid) return true;
  return false;
}

}  // namespace

TEST_F(ArchivePriors, AnArchivesPriorIsListedThenRetrievedAndLaidOutOnDemand) {
  REQUIRE_ORTHANC(o);
  TPacsServer server = DimseServer(*o);
  server.name = "Archive";
  pacs->SetServers({server});
  LoadCurrentStudy();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !form->ArchiveStudies.empty(); }, 60000))
      << form->statusLabelCount->text().toStdString();
  ASSERT_TRUE(WaitForQuery());

  // Study A is the patient's; study B is another patient's and stays off the list.
  ASSERT_EQ(form->ArchiveStudies.size(), 1u);
  const TArchiveStudy& a = form->ArchiveStudies[0];
  EXPECT_EQ(a.studyUid, kStudyA);
  EXPECT_EQ(a.serverName, "Archive");
  EXPECT_EQ(a.date, "20240115");
  EXPECT_TRUE(a.warning.empty()) << a.warning << " [" << a.patientName << "|" << a.patientId << "|"
                                 << a.issuer << "]";
  ASSERT_TRUE(testsupport::WaitUntil([&] { return form->ThumbnailsTool->PanelsComplete(); }));
  TStudyPanel* listed = nullptr;
  for (TStudyPanel* s : form->ThumbnailsTool->StudyPanels())
    if (s->ArchiveIndex == 0) listed = s;
  ASSERT_NE(listed, nullptr);
  EXPECT_TRUE(listed->IsPrior);
  EXPECT_TRUE(listed->StudyModalityLabel->text().contains("on Archive"));

  bool finished = false, ok = false;
  QObject::connect(pacs, &TPacsForm::retrieveFinished, form.get(), [&](bool good) {
    finished = true;
    ok = good;
  });
  bool progressed = false;
  // Queued: the window's own handler has written the status by then.
  QObject::connect(
      pacs, &TPacsForm::retrieveProgress, form.get(),
      [&] {
        progressed = progressed ||
                     form->statusLabelCount->text().startsWith("Retrieving the prior from Archive");
      },
      Qt::QueuedConnection);
  form->CompareWithPrior();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return finished; }, 60000));
  EXPECT_TRUE(ok) << pacs->LastError().toStdString();
  EXPECT_TRUE(progressed);  // the retrieve's progress in the status area
  QApplication::processEvents();
  const std::vector<std::string> shown = ShownStudies();
  EXPECT_TRUE(Holds(shown, kStudyA));
  EXPECT_GE(shown.size(), 2u);
  EXPECT_TRUE(form->messages.empty()) << form->messages.front().toStdString();
  EXPECT_TRUE(pacs->errors.isEmpty());
  // Retrieved, it is listed as loaded, not as the archive's any more.
  EXPECT_TRUE(form->ArchiveStudies.empty());
}

TEST_F(ArchivePriors, AnArchiveThatDoesNotAnswerLeavesTheLayoutAndSaysSoOnce) {
  pacs->SetServers({Closed()});
  LoadCurrentStudy();
  ASSERT_TRUE(WaitForQuery());
  const std::vector<std::string> before = ShownStudies();
  ASSERT_TRUE(testsupport::WaitUntil(
      [&] { return form->statusLabelCount->text().contains("Priors on the archive not known"); }));
  EXPECT_TRUE(form->ArchiveStudies.empty());
  EXPECT_TRUE(form->messages.empty());  // the status area, not a box over the reading
  EXPECT_TRUE(pacs->errors.isEmpty());
  EXPECT_EQ(ShownStudies(), before);

  // A prior listed by an archive that stopped answering: the layout stays,
  // the reason is shown once.
  TArchiveStudy gone;
  gone.server = 0;
  gone.serverName = "Closed";
  gone.patient = 0;
  gone.patientName = "PACS^TEST";
  gone.patientId = "PACS-1";
  gone.studyUid = "1.2.826.0.1.3680043.2.1125.999";
  gone.date = "20200101";
  form->ArchiveStudies = {gone};
  const int cells = form->CurrentRows * form->CurrentCols;
  bool finished = false;
  QObject::connect(pacs, &TPacsForm::retrieveFinished, form.get(), [&] { finished = true; });
  form->CompareWithPrior();
  ASSERT_TRUE(testsupport::WaitUntil([&] { return finished; }, 30000));
  QApplication::processEvents();
  ASSERT_EQ(form->messages.size(), 1u);
  EXPECT_TRUE(form->messages[0].contains("could not be retrieved from Closed"))
      << form->messages[0].toStdString();
  EXPECT_TRUE(pacs->errors.isEmpty());
  EXPECT_EQ(form->CurrentRows * form->CurrentCols, cells);
  EXPECT_EQ(ShownStudies(), before);
}

TEST_F(ArchivePriors, WhatAnArchiveSendsIsCheckedBeforeItIsListed) {
  const auto row = [](const std::string& uid, const std::string& name, const std::string& id,
                      const std::string& date, const std::string& time) {
    return "{\"0020000D\":{\"vr\":\"UI\",\"Value\":[\"" + uid +
           "\"]},\"00100010\":{\"vr\":\"PN\",\"Value\":[{\"Alphabetic\":\"" + name +
           "\"}]},\"00100020\":{\"vr\":\"LO\",\"Value\":[\"" + id +
           "\"]},\"00080020\":{\"vr\":\"DA\",\"Value\":[\"" + date +
           "\"]},\"00080030\":{\"vr\":\"TM\",\"Value\":[\"" + time + "\"]}}";
  };
  // The UID of the study about to be loaded, which the archive lists too.
  studywriter::StudySpec current;
  current.patientName = "PACS^TEST";
  current.patientId = "PACS-1";
  current.date = "20250601";
  current.description = "CHEST";
  current.series = {studywriter::SeriesSpec{}};
  const std::string loaded = studywriter::StudyUidOf(current);
  const std::string base = "1.2.826.0.1.3680043.2.1125.9";
  FakeWebServer server([&](const std::string& path) {
    if (path.find("/studies?") == std::string::npos) return FakeWebServer::Json("[]");
    return FakeWebServer::Json(
        "[" + row(base + "00", "PACS^TEST", "PACS-1", "20231301", "101500") +  // no such day
        "," + row("1.2..3", "PACS^TEST", "PACS-1", "20230101", "101500") +     // no UID
        "," + row(base + "01", std::string(300, 'A'), "PACS-1", "20230101", "101500") + "," +
        row(loaded, "PACS^TEST", "PACS-1", "20250601", "101500") +  // the one loaded
        "," + row(base + "02", "PACS^TEST", "PACS-1", "20230505", "2599") + "," +
        row(base + "03", "OTHER^ONE", "ZZ", "20230505", "101500") + "," +
        row(base + "04", "PACS^TEST", "PACS-2", "20220202", "080000") + "]");
  });
  TPacsServer web = server.Server();
  web.name = "Web";
  pacs->SetServers({web});
  ASSERT_EQ(LoadCurrentStudy(), loaded);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return !form->ArchiveStudies.empty(); }, 30000))
      << form->statusLabelCount->text().toStdString();
  ASSERT_TRUE(WaitForQuery());
  std::map<std::string, TArchiveStudy> listed;
  for (const TArchiveStudy& a : form->ArchiveStudies) listed[a.studyUid] = a;
  EXPECT_EQ(listed.size(), form->ArchiveStudies.size());  // once each, though found twice
  ASSERT_EQ(listed.size(), 3u);
  ASSERT_TRUE(listed.count(base + "00") && listed.count(base + "02") && listed.count(base + "04"));
  EXPECT_EQ(listed[base + "00"].date, "");  // an impossible date is no date
  EXPECT_EQ(listed[base + "02"].date, "20230505");
  EXPECT_EQ(listed[base + "02"].time, "");
  EXPECT_EQ(listed[base + "02"].warning, "");
  EXPECT_TRUE(QString::fromStdString(listed[base + "04"].warning).contains("ID"));
  EXPECT_TRUE(form->messages.empty());
}
