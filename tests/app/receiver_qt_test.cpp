// The Settings tab's Receive group as a user runs it: started, sent to by
// storescu, and the series appear in the tree and the browser as they
// arrive; a second sending of the same images is not filed twice.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <filesystem>
#include <thread>

#include "app/Receiver.h"
#include "app/ThumbnailsToolUnit.h"
#include "app_fixtures.h"
#include "dicom/StudyTree.h"
#include "support/orthanc.h"
#include "support/pacs_fixtures.h"
#include "support/qt_wait.h"
#include "viewer/AdvancedImage.h"
#include "viewer/KeyImageStore.h"
#include "window_fixture.h"

namespace fs = std::filesystem;

namespace {

const std::string kStudy = "1.2.826.0.1.3680043.2.1125.95";

// Series as the tree holds them: instance UID (dots) and image count.
std::map<std::string, size_t> SeriesInTree() {
  std::map<std::string, size_t> out;
  std::lock_guard lock(gPatientsMutex);
  for (const TPatient& p : gPatients)
    for (const TStudy& st : p.studies)
      for (const TSeries& s : st.serieses) {
        std::string uid = s.instanceUid;
        while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\0')) uid.pop_back();
        std::replace(uid.begin(), uid.end(), ' ', '.');
        out[uid] += s.images.size();
      }
  return out;
}

class Receive : public ::testing::Test {
 protected:
  void SetUp() override {
    appfx::ResetLoadingState();
    apptest::ClearTree();
    form = std::make_unique<apptest::TestForm>();
    form->resize(1400, 760);
    form->show();
    QApplication::processEvents();
  }
  void TearDown() override {
    form.reset();
    apptest::ClearTree();
    appfx::ResetLoadingState();
  }
  std::unique_ptr<apptest::TestForm> form;
};

// Runs storescu to its end while events run.
// options: -R to propose only the classes of the files (storescu's own list
// leaves some out, key object selections among them).
int Send(const std::string& callingAe, int port, const std::vector<std::string>& files,
         std::string* output = nullptr, const std::string& options = "") {
  std::string cmd = "storescu " + options + " -aet " + callingAe + " -aec TAVROLEN 127.0.0.1 " +
                    std::to_string(port);
  for (const std::string& f : files) cmd += " '" + f + "'";
  std::atomic<bool> done{false};
  int status = -1;
  std::string out;
  std::thread t([&] {
    status = fixtures::RunCommand(cmd + " 2>&1", &out);
    done = true;
  });
  testsupport::WaitUntil([&] { return done.load(); }, 30000);
  t.join();
  if (output) *output = out;
  return status;
}

}  // namespace

TEST_F(Receive, SentSeriesAreFiledAsTheyArriveAndNotTwice) {
  TReceiver* r = form->Receiver;
  ASSERT_NE(r, nullptr);
  const std::string base = testsupport::TempDir("receiver-filing");
  const std::string dir = base + "/in";
  const int port = testsupport::FreeLoopbackPort();
  r->portSpinBox->setValue(port);
  r->folderEdit->setText(QString::fromStdString(dir));
  r->allowedEdit->setText("MODALITY, CT1");
  r->startButton->click();
  ASSERT_TRUE(r->Listening()) << r->statusLabel->text().toStdString();
  EXPECT_EQ(r->statusLabel->text(),
            "Listening as TAVROLEN on port " + QString::number(port) + ": 0 received");
  EXPECT_FALSE(r->aeEdit->isEnabled());

  testsupport::CtSliceSpec spec;
  spec.studyUid = kStudy;
  spec.seriesUid = kStudy + ".1";
  std::vector<std::string> files = testsupport::WriteCtSeries(base + "/s1", spec, 3);
  spec.seriesUid = kStudy + ".2";
  spec.seriesNumber = 2;
  const std::vector<std::string> second = testsupport::WriteCtSeries(base + "/s2", spec, 2);
  files.insert(files.end(), second.begin(), second.end());

  std::string out;
  EXPECT_EQ(Send("MODALITY", port, files, &out), 0) << out;
  const std::map<std::string, size_t> expected{{kStudy + ".1", 3}, {kStudy + ".2", 2}};
  EXPECT_TRUE(testsupport::WaitUntil([&] { return SeriesInTree() == expected; }));
  // The browser shows both series, and the empty grid took the study.
  EXPECT_TRUE(
      testsupport::WaitUntil([&] { return form->ThumbnailsTool->SeriesPanels().size() == 2; }));
  EXPECT_TRUE(form->AdvancedImages[0][0]->HasImage);
  EXPECT_EQ(r->Received(), 5);
  EXPECT_TRUE(r->statusLabel->text().endsWith(": 5 received"))
      << r->statusLabel->text().toStdString();

  // The same images again: stored over the same files, filed once.
  EXPECT_EQ(Send("CT1", port, files, &out), 0) << out;
  EXPECT_TRUE(testsupport::WaitUntil([&] {
    return r->statusLabel->text().endsWith(": 10 received");
  })) << r->statusLabel->text().toStdString();
  r->FlushArrivals();
  EXPECT_EQ(SeriesInTree(), expected);
  EXPECT_EQ(r->Received(), 5);

  // After the user cleared the tree, what arrives fills the empty grid again.
  form->btnClearTreeClick();
  ASSERT_FALSE(form->AdvancedImages[0][0]->HasImage);
  EXPECT_EQ(Send("CT1", port, {files[3]}, &out), 0) << out;
  EXPECT_TRUE(testsupport::WaitUntil([&] { return form->AdvancedImages[0][0]->HasImage; }));
  EXPECT_EQ(SeriesInTree(), (std::map<std::string, size_t>{{kStudy + ".2", 1}}));

  // A sender not on the list is refused; the status line says so.
  EXPECT_NE(Send("STRANGER", port, files, &out), 0) << out;
  EXPECT_TRUE(
      testsupport::WaitUntil([&] { return r->statusLabel->toolTip().contains("STRANGER"); }));

  r->startButton->click();
  EXPECT_FALSE(r->Listening());
  EXPECT_TRUE(r->aeEdit->isEnabled());
  EXPECT_EQ(r->startButton->text(), "Start");
  // What was received stays, in the folder the user chose.
  size_t kept = 0;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file() && e.path().extension() == ".dcm") ++kept;
  EXPECT_EQ(kept, 5u);
}

TEST_F(Receive, ATemporaryFolderGoesWithTheWindowAndBadSettingsSayWhy) {
  TReceiver* r = form->Receiver;
  const int port = testsupport::FreeLoopbackPort();
  QString why;
  EXPECT_FALSE(r->StartListening("TAVROLEN", &why));
  EXPECT_FALSE(r->StartListening("@104", &why));
  EXPECT_FALSE(r->StartListening("A@0", &why));
  EXPECT_FALSE(r->StartListening("WAY-TOO-LONG-AE-TITLE@104", &why));
  EXPECT_TRUE(why.contains("AE title")) << why.toStdString();
  r->allowedEdit->setText("A\\B");
  EXPECT_FALSE(r->StartListening("TAVROLEN@" + QString::number(port), &why));
  EXPECT_TRUE(r->statusLabel->text().startsWith("Not listening: ")) << why.toStdString();
  r->allowedEdit->clear();

  ASSERT_TRUE(r->StartListening("RECV@" + QString::number(port), &why)) << why.toStdString();
  const std::string temp = r->Folder().toStdString();
  EXPECT_NE(temp.find(kReceiveTempPrefix), std::string::npos) << temp;
  testsupport::CtSliceSpec spec;
  spec.studyUid = kStudy;
  spec.seriesUid = kStudy + ".3";
  const std::vector<std::string> files =
      testsupport::WriteCtSeries(testsupport::TempDir("receiver-temp"), spec, 1);
  std::string out;
  const std::string cmd =
      "storescu -aet X -aec RECV 127.0.0.1 " + std::to_string(port) + " '" + files[0] + "' 2>&1";
  std::atomic<bool> done{false};
  std::thread t([&] {
    fixtures::RunCommand(cmd, &out);
    done = true;
  });
  EXPECT_TRUE(testsupport::WaitUntil([&] { return done && r->Received() == 1; }));
  t.join();
  EXPECT_TRUE(fs::exists(temp));
  // A second listener on the same port is refused with the reason.
  auto other = std::make_unique<TReceiver>(form.get());
  EXPECT_FALSE(other->StartListening("RECV@" + QString::number(port), &why));
  EXPECT_TRUE(why.contains(QString::number(port))) << why.toStdString();
  other.reset();
  form.reset();
  EXPECT_FALSE(fs::exists(temp)) << "the temporary folder goes with the window";
}

TEST_F(Receive, KeyObjectsSentBeforeTheirImagesMarkThemWhenTheyArrive) {
  ASSERT_TRUE(testsupport::HavePythonModules("pydicom, numpy"))
      << "/usr/bin/python3 cannot import pydicom and numpy, which write the fixtures";
  TKeyImageStore& keys = TKeyImageStore::Instance();
  keys.Reset();
  TReceiver* r = form->Receiver;
  const std::string base = testsupport::TempDir("receiver-keys");
  std::string out;
  ASSERT_EQ(fixtures::RunCommand("/usr/bin/python3 " + std::string(TAVROLEN_SOURCE_DIR) +
                                     "/tests/cli/objects_fixture.py '" + base + "/s' 2>&1",
                                 &out),
            0)
      << out;
  const int port = testsupport::FreeLoopbackPort();
  r->portSpinBox->setValue(port);
  r->folderEdit->setText(QString::fromStdString(base + "/in"));
  r->startButton->click();
  ASSERT_TRUE(r->Listening()) << r->statusLabel->text().toStdString();

  EXPECT_EQ(Send("MODALITY", port, {base + "/s/kos.dcm"}, &out, "-R"), 0) << out;
  EXPECT_TRUE(
      testsupport::WaitUntil([&] { return r->statusLabel->text().contains("1 received"); }));
  r->FlushArrivals();
  // Listed as key objects, not reported as an image that cannot be shown.
  EXPECT_FALSE(r->statusLabel->text().contains("not shown"))
      << r->statusLabel->text().toStdString();
  EXPECT_FALSE(keys.AnyMarked());

  std::vector<std::string> images;
  for (int n = 1; n <= 5; ++n) images.push_back(base + "/s/ct" + std::to_string(n) + ".dcm");
  EXPECT_EQ(Send("MODALITY", port, images, &out), 0) << out;
  EXPECT_TRUE(testsupport::WaitUntil([&] { return r->Received() == 5; }));
  r->FlushArrivals();
  const std::vector<TAnnotationKey> marked = keys.Marked();
  ASSERT_EQ(marked.size(), 2u);
  for (const TAnnotationKey& k : marked)
    EXPECT_EQ(keys.Caption(k).toStdString(), "For Teaching: Two lesions") << k.path;
  r->startButton->click();
  keys.Reset();
}
