// The thumbnail browser on a real tree: panels in tree order with their
// sizes, colours and texts, thumbnails filled in from the pool, rebuilds
// while thumbnails are under way, double-click and the drag's data.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <memory>

#include "app/Settings.h"
#include "app/ThumbnailsToolUnit.h"
#include "dicom/StudyTree.h"
#include "pixels/ImageUtilities.h"
#include "viewer/AdvancedImage.h"
#include "viewer/cell_fixtures.h"

namespace {

using cellfix::Image;

// Runs the event loop until done() or a few seconds have passed.
template <typename F>
bool WaitFor(F done) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < 10000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    // As the main loop would: retired panels go.
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return done();
}

QColor Background(QWidget* w) {
  return w->palette().color(QPalette::Window);
}

class Browser : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testsupport::TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    themes::Apply("Glossy");  // the application's style sheet is in force
    tool = std::make_unique<TThumbnailsTool>();
    tool->resize(200, 600);
    tool->show();
  }
  void TearDown() override {
    tool.reset();
    cellfix::ClearTree();
  }

  // A 8-bit image of one level, `columns` x `rows`.
  std::string File(const std::string& name, int columns, int rows, int level,
                   const std::string& modality = "CT") {
    Image s;
    s.columns = columns;
    s.rows = rows;
    s.bitsAllocated = 8;
    s.modality = modality;
    s.values.assign(size_t(columns) * rows, level);
    return cellfix::Write(dir, name, s);
  }

  static TSeries Series(const std::string& modality, std::vector<std::string> files,
                        int number = 1) {
    TSeries s;
    s.modality = modality;
    s.seriesNumber = number;
    for (const std::string& f : files) {
      TImg im;
      im.imagePath = f;
      s.images.push_back(im);
    }
    return s;
  }

  // Two patients: the first with a study of CT, PR and MR series and a
  // study without series; the second with one US series.
  void BuildTree() {
    TPatient a;
    a.patientName = "DOE^JANE";
    a.patintID = "P1";
    TStudy s1;
    s1.studyDate = "2024-01-31";
    s1.studyTime = "14:30:00";
    s1.description = "CHEST";
    s1.serieses = {Series("CT", {File("ct1.dcm", 512, 512, 200), File("ct2.dcm", 512, 512, 10)}),
                   Series("PR", {File("pr.dcm", 8, 8, 0, "PR")}),
                   Series("MR", {File("mr.dcm", 256, 1024, 100)})};
    TStudy empty;
    empty.description = "LISTED ONLY IN THE DIRECTORY OF A CD, WITH A LONG DESCRIPTION";
    a.studies = {s1, empty};
    TPatient b;
    b.patientName = "ROE^RICHARD^ALEXANDER^MAXIMILIAN^THE^THIRD";
    TStudy s2;
    s2.serieses = {Series("US", {File("us.dcm", 640, 480, 50)})};
    b.studies = {s2};
    std::lock_guard lock(gPatientsMutex);
    gPatients = {a, b};
  }

  std::string dir;
  std::unique_ptr<TThumbnailsTool> tool;
};

}  // namespace

TEST_F(Browser, PanelsInTreeOrderWithTheirLooks) {
  BuildTree();
  tool->Display(gPatients);
  const std::vector<QWidget*> panels = tool->Panels();
  ASSERT_EQ(panels.size(), 8u);  // 2 patients, 3 studies, 3 series (the PR has none)

  auto* p0 = qobject_cast<TPatientPanel*>(panels[0]);
  auto* st0 = qobject_cast<TStudyPanel*>(panels[1]);
  auto* ct = qobject_cast<TSeriesPanel*>(panels[2]);
  auto* mr = qobject_cast<TSeriesPanel*>(panels[3]);
  auto* st1 = qobject_cast<TStudyPanel*>(panels[4]);
  auto* p1 = qobject_cast<TPatientPanel*>(panels[5]);
  auto* st2 = qobject_cast<TStudyPanel*>(panels[6]);
  auto* us = qobject_cast<TSeriesPanel*>(panels[7]);
  ASSERT_TRUE(p0 && st0 && ct && mr && st1 && p1 && st2 && us);

  EXPECT_EQ(p0->text(), "DOE^JANE");
  EXPECT_EQ(p0->height(), 25);
  EXPECT_EQ(Background(p0), QColor(190, 190, 160));
  EXPECT_EQ(p1->PatientIndex, 1);

  EXPECT_EQ(st0->height(), 62);
  EXPECT_EQ(Background(st0), QColor(85, 85, 109));
  EXPECT_EQ(st0->StudyDateTimeLabel->text(), "31/01/2024   14:30:00");
  EXPECT_EQ(st0->StudyDescriptionlabel->text(), "CHEST");
  EXPECT_EQ(st0->StudyModalityLabel->text(), "CT    [3 Series]");  // the PR counts
  EXPECT_EQ(st0->StudyModalityLabel->palette().color(QPalette::WindowText), QColor(255, 251, 240));
  EXPECT_EQ(st0->StudyModalityLabel->font().pointSize(), 11);
  EXPECT_EQ(st1->StudyModalityLabel->text(), "[0 Series]");
  EXPECT_EQ(st1->StudyIndex, 1);

  EXPECT_EQ(ct->height(), 110);
  EXPECT_EQ(Background(ct), QColor(Qt::black));
  EXPECT_EQ(ct->Thumbnail->height(), 90);
  EXPECT_EQ(ct->SeriesLabel->height(), 20);
  EXPECT_EQ(Background(ct->SeriesLabel), QColor(166, 202, 240));
  EXPECT_EQ(ct->SeriesLabel->font().pointSize(), 12);
  EXPECT_EQ(ct->SeriesLabel->text(), "(CT) Series 1 (2)");
  // The series number counts the PR series it follows.
  EXPECT_EQ(mr->SeriesLabel->text(), "(MR) Series 3 (1)");
  EXPECT_EQ(mr->SeriesIndex, 2);
  EXPECT_EQ(us->PatientIndex, 1);
  EXPECT_EQ(us->StudyIndex, 0);
  // As painted, under the theme's style sheet.
  QApplication::processEvents();
  const QImage shot = tool->grab().toImage();
  const auto at = [&](QWidget* w, QPoint p) { return QColor(shot.pixel(w->mapTo(tool.get(), p))); };
  EXPECT_EQ(at(st0, QPoint(3, 58)), QColor(85, 85, 109));
  EXPECT_EQ(at(ct->SeriesLabel, QPoint(2, 2)), QColor(166, 202, 240));
  EXPECT_EQ(at(ct, QPoint(2, 2)), QColor(Qt::black));
  EXPECT_EQ(at(p0, QPoint(3, 12)), QColor(190, 190, 160));

  // Long texts end in "..." within the column rather than widening it.
  EXPECT_LE(tool->widget()->width(), tool->viewport()->width());
  EXPECT_EQ(p1->width(), tool->viewport()->width());
  EXPECT_EQ(st1->StudyDescriptionlabel->text(),
            "LISTED ONLY IN THE DIRECTORY OF A CD, WITH A LONG DESCRIPTION");
  EXPECT_EQ(st1->StudyDescriptionlabel->toolTip(), st1->StudyDescriptionlabel->text());
  EXPECT_EQ(p1->toolTip(), "ROE^RICHARD^ALEXANDER^MAXIMILIAN^THE^THIRD");

  // Stacked from the top in that order.
  for (size_t i = 1; i < panels.size(); ++i)
    EXPECT_EQ(panels[i]->y(), panels[i - 1]->y() + panels[i - 1]->height()) << i;

  // Thumbnails come in from the pool: 100 x 100, 25 x 100 and 100 x 75,
  // each uniform level one below the file's.
  ASSERT_TRUE(WaitFor([&] { return tool->PendingThumbnails() == 0; }));
  EXPECT_EQ(ct->ThumbnailImage().size(), QSize(100, 100));
  EXPECT_EQ(qRed(ct->ThumbnailImage().pixel(50, 50)), 199);
  EXPECT_EQ(mr->ThumbnailImage().size(), QSize(25, 100));
  EXPECT_EQ(us->ThumbnailImage().size(), QSize(100, 75));
  EXPECT_FALSE(us->Thumbnail->pixmap().isNull());

  // Cleared: nothing left.
  tool->Display({});
  EXPECT_TRUE(tool->Panels().empty());
}

TEST_F(Browser, RebuildWhileThumbnailsAreUnderWay) {
  std::vector<std::string> files;
  for (int i = 0; i < 12; ++i)
    files.push_back(File("s" + std::to_string(i) + ".dcm", 512, 512, 10 + i));
  {
    TPatient p;
    p.studies.resize(1);
    for (const std::string& f : files) p.studies[0].serieses.push_back(Series("CT", {f}));
    std::lock_guard lock(gPatientsMutex);
    gPatients = {p};
  }
  int delivered = 0;
  std::vector<QPointer<TSeriesPanel>> first;
  QObject::connect(tool.get(), &TThumbnailsTool::ThumbnailReady, [&](TSeriesPanel* panel) {
    ++delivered;
    for (const auto& old : first) EXPECT_NE(panel, old.data());
  });
  tool->Display(gPatients);
  for (TSeriesPanel* s : tool->SeriesPanels()) first.emplace_back(s);
  ASSERT_EQ(first.size(), 12u);
  // At once, before any thumbnail was handed over; the tree changes too.
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients[0].studies[0].serieses.resize(5);
  }
  tool->Display(gPatients);
  ASSERT_TRUE(WaitFor([&] { return tool->PendingThumbnails() == 0; }));
  EXPECT_EQ(delivered, 5);
  for (TSeriesPanel* s : tool->SeriesPanels())
    EXPECT_EQ(qRed(s->ThumbnailImage().pixel(0, 0)), 9 + s->SeriesIndex);
  // The retired panels are freed and never got a picture.
  ASSERT_TRUE(WaitFor([&] {
    return std::all_of(first.begin(), first.end(), [](const auto& p) { return p.isNull(); });
  }));
  // And the browser may go while thumbnails are still being made.
  tool->Display(gPatients);
  tool.reset();
  QApplication::processEvents();
}

TEST_F(Browser, DoubleClickShowsTheSeriesInTheActiveCell) {
  BuildTree();
  TadvancedImage cell;
  cell.resize(300, 300);
  tool->ActiveImage = [&] { return &cell; };
  TadvancedImage* shown = nullptr;
  QObject::connect(tool.get(), &TThumbnailsTool::SeriesShown,
                   [&](TadvancedImage* c) { shown = c; });
  tool->Display(gPatients);
  TSeriesPanel* mr = tool->SeriesPanels()[1];
  // On the label: the panel takes it.
  const QPointF at(10, 5);
  QMouseEvent dbl(QEvent::MouseButtonDblClick, at, mr->SeriesLabel->mapToGlobal(at), Qt::LeftButton,
                  Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(mr->SeriesLabel, &dbl);
  EXPECT_EQ(shown, &cell);
  EXPECT_EQ(cell.SeriesIndex, 2);
  EXPECT_EQ(cell.ImageIndex, 0);
  EXPECT_EQ(cell.CurrentOpenedPath, gPatients[0].studies[0].serieses[2].images[0].imagePath);
  EXPECT_EQ(cell.Bitmap().size(), QSize(256, 1024));
  EXPECT_EQ(cell.zoomFactor, 29);  // fitted: 300 / 1024

  // A multi-frame series plays, as when it is dropped; a still one stops it.
  Image cine;
  cine.frames = 3;
  cine.values.assign(size_t(4 * 3 * 3), 100);
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients[1].studies[0].serieses.push_back(
        Series("US", {cellfix::Write(dir, "cine.dcm", cine)}));
  }
  tool->Display(gPatients);
  const QPointF on(10, 5);
  QMouseEvent play(QEvent::MouseButtonDblClick, on, on, Qt::LeftButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(tool->SeriesPanels()[3]->SeriesLabel, &play);
  EXPECT_EQ(cell.PatientIndex, 1);
  EXPECT_EQ(cell.SeriesIndex, 1);
  EXPECT_TRUE(cell.InCineMode);
  QMouseEvent still(QEvent::MouseButtonDblClick, on, on, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(tool->SeriesPanels()[1]->SeriesLabel, &still);
  EXPECT_EQ(cell.SeriesIndex, 2);
  EXPECT_FALSE(cell.InCineMode);

  // A series whose first image cannot be shown: a thumbnail that says why,
  // and a double-click that leaves the cell as it was.
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients[1].studies[0].serieses[0].images[0].imagePath = dir + "/gone.dcm";
  }
  tool->Display(gPatients);
  ASSERT_TRUE(WaitFor([&] { return tool->PendingThumbnails() == 0; }));
  TSeriesPanel* broken = tool->SeriesPanels()[2];
  EXPECT_EQ(broken->ThumbnailImage(), FailureThumbnail("the file cannot be read"));
  shown = nullptr;
  tool->SeriesPanelDblClick(broken);
  EXPECT_EQ(shown, nullptr);
  EXPECT_EQ(cell.PatientIndex, 0);
  EXPECT_EQ(cell.SeriesIndex, 2);
  // Its drag still carries the series.
  const TThumbDrag d = broken->DragObject();
  EXPECT_EQ(d.patientIndex, 1);
}

TEST_F(Browser, DragOntoACellShowsTheSeries) {
  BuildTree();
  tool->Display(gPatients);
  ASSERT_TRUE(WaitFor([&] { return tool->PendingThumbnails() == 0; }));
  TSeriesPanel* mr = tool->SeriesPanels()[1];
  const TThumbDrag d = mr->DragObject();
  EXPECT_EQ(d.GetDragImages().size(), QSize(25, 100));
  std::unique_ptr<QMimeData> data(d.ToMimeData());
  EXPECT_EQ(data->data("application/x-tavrolen-series"), "0,0,2");
  const std::optional<TThumbDrag> back = TThumbDrag::FromMimeData(data.get());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->SeriesIndex, 2);
  // Data of any other kind is no series.
  QMimeData text;
  text.setText("0,0,2");
  EXPECT_FALSE(TThumbDrag::FromMimeData(&text));
  QMimeData bad;
  bad.setData("application/x-tavrolen-series", "1,-2,3");
  EXPECT_FALSE(TThumbDrag::FromMimeData(&bad));

  // Dropped on a cell's surface: the cell shows the series' first image.
  TadvancedImage cell;
  cell.resize(300, 300);
  cell.show();
  TSeriesPanel* us = tool->SeriesPanels()[2];
  std::unique_ptr<QMimeData> drop(us->DragObject().ToMimeData());
  QDragEnterEvent enter(QPoint(150, 150), Qt::CopyAction, drop.get(), Qt::LeftButton,
                        Qt::NoModifier);
  QApplication::sendEvent(&cell, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent dropped(QPointF(150, 150), Qt::CopyAction, drop.get(), Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&cell, &dropped);
  EXPECT_TRUE(dropped.isAccepted());
  EXPECT_EQ(cell.PatientIndex, 1);
  EXPECT_EQ(cell.SeriesIndex, 0);
  EXPECT_EQ(cell.CurrentOpenedPath, gPatients[1].studies[0].serieses[0].images[0].imagePath);
  EXPECT_EQ(cell.Bitmap().size(), QSize(640, 480));
}

TEST_F(Browser, ALargeRetiredColumnIsFreedABatchAtATime) {
  {
    TPatient p;
    p.studies.resize(1);
    for (int i = 0; i < 200; ++i) p.studies[0].serieses.push_back(Series("CT", {}));
    std::lock_guard lock(gPatientsMutex);
    gPatients = {p};
  }
  tool->Display(gPatients);
  ASSERT_TRUE(WaitFor([&] { return tool->SeriesPanels().size() == 200u; }));
  std::vector<QPointer<TSeriesPanel>> panels;
  for (TSeriesPanel* s : tool->SeriesPanels()) panels.emplace_back(s);
  const auto alive = [&] {
    return std::count_if(panels.begin(), panels.end(), [](const auto& p) { return !p.isNull(); });
  };
  tool->Clear();
  EXPECT_EQ(alive(), 200);
  // The retired column is out of sight at once: none of its series labels
  // (light blue) is drawn any more, though its panels still exist.
  {
    const QImage shot = tool->grab().toImage();
    int blue = 0;
    for (int y = 0; y < shot.height(); ++y)
      for (int x = 0; x < shot.width(); ++x)
        if (shot.pixelColor(x, y) == QColor(166, 202, 240)) ++blue;
    EXPECT_EQ(blue, 0);
    EXPECT_TRUE(tool->Panels().empty());
  }
  // One turn of the event loop frees one batch, not the whole column: deleting
  // a thousand series' panels at once held the window for a tenth of a second.
  QApplication::processEvents();
  EXPECT_GT(alive(), 0);
  EXPECT_LT(alive(), 200);
  ASSERT_TRUE(WaitFor([&] { return alive() == 0; }));
}

TEST_F(Browser, PanelsAddedInBatchesAreShownAndStackedInOrder) {
  {
    TPatient p;
    p.studies.resize(2);
    for (int i = 0; i < 150; ++i) p.studies[0].serieses.push_back(Series("CT", {}, i + 1));
    for (int i = 0; i < 150; ++i) p.studies[1].serieses.push_back(Series("MR", {}, i + 1));
    std::lock_guard lock(gPatientsMutex);
    gPatients = {p};
  }
  tool->Display(gPatients);
  ASSERT_TRUE(WaitFor([&] { return tool->SeriesPanels().size() == 300u; }));
  // The batches are shown as they are added, with their layout done once per
  // batch: once the column has settled (the scroll area grows it a turn or two
  // after its layout asks), it is as if every panel had been added alone.
  const std::vector<QWidget*> panels = tool->Panels();
  ASSERT_EQ(panels.size(), 1u + 2u + 300u);
  const auto stacked = [&] {
    int y = panels.front()->geometry().top();
    for (QWidget* w : panels) {
      if (!w->isVisible() || w->height() <= 0 || w->geometry().top() != y) return false;
      y = w->geometry().bottom() + 1;
    }
    return true;
  };
  EXPECT_TRUE(WaitFor(stacked));
  int y = panels.front()->geometry().top();
  for (QWidget* w : panels) {
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->geometry().top(), y) << "each panel right below the one before";
    EXPECT_GT(w->height(), 0);
    y = w->geometry().bottom() + 1;
  }
  // The scroll area reaches the last panel.
  QWidget* column = panels.front()->parentWidget();
  EXPECT_GE(column->height(), y);
  EXPECT_EQ(tool->verticalScrollBar()->maximum(),
            tool->widget()->height() - tool->viewport()->height());
  // The panels span the column, and follow it when the browser is resized.
  for (int width : {tool->width() + 60, tool->width() - 40}) {
    tool->resize(width, tool->height());
    EXPECT_TRUE(WaitFor([&] {
      return stacked() && std::all_of(panels.begin(), panels.end(), [&](QWidget* w) {
               return w->width() == column->width() && w->width() == tool->viewport()->width();
             });
    })) << width;
  }
}

TEST_F(Browser, OneClickShowsTheSeriesAndMarksIt) {
  BuildTree();
  TadvancedImage cell;
  cell.resize(300, 300);
  tool->ActiveImage = [&] { return &cell; };
  int shown = 0;
  QObject::connect(tool.get(), &TThumbnailsTool::SeriesShown, [&] { ++shown; });
  tool->Display(gPatients);
  TSeriesPanel* mr = tool->SeriesPanels()[1];
  const auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButtons held) {
    QMouseEvent e(type, at, mr->SeriesLabel->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(mr->SeriesLabel, &e);
  };
  // A hand that shakes a pixel between press and release still clicks.
  send(QEvent::MouseButtonPress, {10, 5}, Qt::LeftButton);
  send(QEvent::MouseMove, {11, 5}, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, {11, 5}, Qt::NoButton);
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(cell.SeriesIndex, 2);
  EXPECT_EQ(cell.ImageIndex, 0);
  EXPECT_EQ(cell.CurrentOpenedPath, gPatients[0].studies[0].serieses[2].images[0].imagePath);
  EXPECT_TRUE(mr->IsCurrent());
  EXPECT_FALSE(tool->SeriesPanels()[0]->IsCurrent());
  EXPECT_EQ(mr->SeriesLabel->palette().color(QPalette::Window), QColor(46, 120, 210));

  // The double-click that follows finds it shown: the cell is not reloaded.
  const QImage before = cell.Surface();
  send(QEvent::MouseButtonDblClick, {11, 5}, Qt::LeftButton);
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(cell.Surface(), before);

  // The mark follows the series through a rebuild, where its panel is new.
  tool->Display(gPatients);
  EXPECT_TRUE(tool->SeriesPanels()[1]->IsCurrent());
  EXPECT_FALSE(tool->SeriesPanels()[2]->IsCurrent());
}

namespace {

// Which panels the filter leaves, as "patient", "study", "modality" texts.
QStringList Shown(const TThumbnailsTool& tool) {
  QStringList out;
  for (QWidget* w : tool.VisiblePanels()) {
    if (auto* p = qobject_cast<TPatientPanel*>(w)) out << "P " + p->PatientID;
    if (auto* st = qobject_cast<TStudyPanel*>(w)) out << "S " + st->StudyDescription;
    if (auto* se = qobject_cast<TSeriesPanel*>(w)) out << "E " + se->Modality;
  }
  return out;
}

}  // namespace

TEST_F(Browser, SearchKeepsMatchingSeriesWithTheirStudyAndPatient) {
  {
    const auto series = [&](const std::string& modality, const std::string& description) {
      TSeries s = Series(modality, {File(modality + description + ".dcm", 8, 8, 50)});
      s.instanceUid = "1.2." + std::to_string(description.size());
      s.images[0].Cache.DICOM.Series_Description = description;
      return s;
    };
    TPatient a;
    a.patientName = "M\xC3\x9CLLER^J\xC3\x9CRGEN";  // UTF-8, as the header holds it
    a.patintID = "P7";
    TStudy thorax;
    thorax.description = "THORAX";
    thorax.serieses = {series("CT", "Lung window"), series("MR", "T2 axial")};
    TStudy listed;  // a study a DICOMDIR lists without series
    listed.description = "OLD REPORT ONLY";
    a.studies = {thorax, listed};
    TPatient b;
    b.patientName = "DOE^JANE";
    b.patintID = "X1";
    TStudy head;
    head.description = "HEAD";
    head.serieses = {series("CT", "Brain")};
    b.studies = {head};
    std::lock_guard lock(gPatientsMutex);
    gPatients = {a, b};
  }
  tool->Display(gPatients);
  const QStringList all = Shown(*tool);
  ASSERT_EQ(all.size(), 8);
  const auto search = [&](const QString& text) {
    tool->SearchBox->setText(text);
    return Shown(*tool);
  };
  // Case and accents aside, the name's components in any order.
  EXPECT_EQ(search("muller"),
            QStringList({"P P7", "S THORAX", "E CT", "E MR", "S OLD REPORT ONLY"}));
  EXPECT_EQ(search("j\u00fcrgen M\u00dcLLER"), search("muller"));
  // Every word must be found: one in the name, one in the series description.
  EXPECT_EQ(search("m\u00fcller t2"), QStringList({"P P7", "S THORAX", "E MR"}));
  EXPECT_EQ(search("lung"), QStringList({"P P7", "S THORAX", "E CT"}));
  EXPECT_EQ(search("x1"), QStringList({"P X1", "S HEAD", "E CT"}));
  EXPECT_EQ(search("mr"), QStringList({"P P7", "S THORAX", "E MR"}));
  EXPECT_EQ(search("report"), QStringList({"P P7", "S OLD REPORT ONLY"}));
  EXPECT_TRUE(search("nothing like it").isEmpty());
  EXPECT_EQ(search("  "), all);

  // The shown panels are stacked without gaps from the top.
  search("ct");
  int y = 0;
  for (QWidget* w : tool->VisiblePanels()) {
    EXPECT_EQ(w->geometry().top(), y);
    y = w->geometry().bottom() + 1;
  }
  // A rebuild (another load) keeps the search.
  tool->Display(gPatients);
  EXPECT_EQ(Shown(*tool), QStringList({"P P7", "S THORAX", "E CT", "P X1", "S HEAD", "E CT"}));
}

TEST_F(Browser, ARebuildKeepsTheScrollPlace) {
  {
    TPatient p;
    p.studies.resize(1);
    for (int i = 0; i < 40; ++i) p.studies[0].serieses.push_back(Series("CT", {}, i + 1));
    std::lock_guard lock(gPatientsMutex);
    gPatients = {p};
  }
  tool->Display(gPatients);
  QScrollBar* bar = tool->verticalScrollBar();
  ASSERT_TRUE(WaitFor([&] { return tool->PanelsComplete() && bar->maximum() > 2000; }));
  bar->setValue(1500);
  {
    std::lock_guard lock(gPatientsMutex);
    gPatients[0].studies[0].serieses.push_back(Series("MR", {}, 41));
  }
  tool->Display(gPatients);  // as a load adding a series does
  EXPECT_TRUE(WaitFor([&] { return tool->PanelsComplete() && bar->value() == 1500; }));
  tool->Clear();
  EXPECT_TRUE(WaitFor([&] { return bar->value() == 0; }));
}
