#include "app/ReportWindow.h"

#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "reports/StructuredReport.h"
#include "viewer/AdvancedImage.h"
#include "viewer/ReportGraphics.h"

namespace {

// Where an image of the study tree is.
struct TTreePlace {
  int patient = -1, study = -1, series = -1, image = -1;
  std::string path;
};

// The tree keeps a UID as display text, its dots shown as blanks.
std::string TreeUid(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && uint8_t(s[a]) <= ' ') ++a;
  while (b > a && (uint8_t(s[b - 1]) <= ' ' || s[b - 1] == '.')) --b;
  std::string uid = s.substr(a, b - a);
  std::replace(uid.begin(), uid.end(), ' ', '.');
  return uid;
}

bool FindInTree(const std::string& sopInstanceUid, TTreePlace& place) {
  std::lock_guard lock(gPatientsMutex);
  for (size_t p = 0; p < gPatients.size(); ++p)
    for (size_t st = 0; st < gPatients[p].studies.size(); ++st) {
      const TStudy& study = gPatients[p].studies[st];
      for (size_t se = 0; se < study.serieses.size(); ++se)
        for (size_t i = 0; i < study.serieses[se].images.size(); ++i) {
          const TImg& img = study.serieses[se].images[i];
          const std::string& uid =
              img.sopInstanceUid.empty() ? img.Cache.DICOM.SOP_Instance_UID : img.sopInstanceUid;
          if (TreeUid(uid) != sopInstanceUid) continue;
          place = {int(p), int(st), int(se), int(i), img.imagePath};
          return true;
        }
    }
  return false;
}

TForm1* MainForm(QWidget* from) {
  for (QWidget* w = from; w; w = w->parentWidget())
    if (auto* form = qobject_cast<TForm1*>(w)) return form;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* form = qobject_cast<TForm1*>(w)) return form;
  return nullptr;
}

class TReportWindow : public QWidget {
 public:
  TReportWindow(QWidget* parent, reports::TSrDocument doc)
      : QWidget(parent, Qt::Window), doc_(std::move(doc)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("reportWindow");
    const std::string title = doc_.title.meaning.empty() ? doc_.className : doc_.title.meaning;
    setWindowTitle(
        QString::fromStdString(title + (doc_.patientName.empty() ? "" : " - " + doc_.patientName)));
    auto* layout = new QVBoxLayout(this);
    browser_ = new QTextBrowser(this);
    browser_->setObjectName("reportBrowser");
    // Links are the report's own: images open in the main window, anchors scroll.
    browser_->setOpenLinks(false);
    browser_->setHtml(QString::fromStdString(reports::ReportHtml(doc_)));
    layout->addWidget(browser_);
    auto* bar = new QHBoxLayout;
    status_ = new QLabel(this);
    status_->setObjectName("reportStatus");
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bar->addWidget(status_, 1);
    auto* clear = new QPushButton("Clear Marks", this);
    clear->setObjectName("reportClearMarks");
    clear->setToolTip("Remove the report's coordinates from the image");
    bar->addWidget(clear);
    layout->addLayout(bar);
    connect(browser_, &QTextBrowser::anchorClicked, this, [this](const QUrl& url) { Follow(url); });
    connect(clear, &QPushButton::clicked, this, [this] { ClearMarks(); });
    resize(720, 820);
  }
  ~TReportWindow() override { ClearMarks(); }

 private:
  void Follow(const QUrl& url) {
    if (url.scheme() != "sr-node") {
      if (url.hasFragment()) browser_->scrollToAnchor(url.fragment());
      return;
    }
    bool ok = false;
    const int node = url.path().toInt(&ok);
    if (!ok || node < 0 || size_t(node) >= doc_.nodes.size()) return;
    const int image =
        doc_.nodes[size_t(node)].valueType == "SCOORD" ? reports::SelectedImage(doc_, node) : node;
    if (image < 0 || doc_.nodes[size_t(image)].valueType != "IMAGE") {
      Say("The coordinates name no image");
      return;
    }
    ShowImage(doc_.nodes[size_t(image)]);
  }

  void ShowImage(const reports::TSrNode& ref) {
    const std::string& uid = ref.sopInstanceUid;
    const int frame = ref.frames.empty() ? 1 : ref.frames.front();
    TTreePlace place;
    if (uid.empty() || !FindInTree(uid, place)) {
      Say("Image " + uid + " is not loaded");
      return;
    }
    TForm1* form = MainForm(parentWidget());
    TadvancedImage* cell = form ? form->ActiveAdvancedImage : nullptr;
    if (!cell) {
      Say("There is no cell to show the image in");
      return;
    }
    // The marks go on first: the image's arrival keeps what belongs to it.
    auto graphics = std::make_shared<TReportGraphics>();
    graphics->path = place.path;
    for (const reports::TSrShape& s : reports::ShapesOnImage(doc_, uid, 0))
      graphics->shapes.push_back({s.graphicType, s.points,
                                  std::vector<int>(s.frames.begin(), s.frames.end()),
                                  QString::fromStdString(s.label)});
    ClearMarks();
    Watch(cell);
    mine_ = graphics;
    cell_ = cell;
    cell->reportGraphics = graphics;

    const bool shown = cell->HasImage && cell->CurrentOpenedPath == place.path &&
                       cell->PatientIndex == place.patient && cell->StudyIndex == place.study &&
                       cell->SeriesIndex == place.series && cell->ImageIndex == place.image;
    if (!shown) {
      const int old[4] = {cell->PatientIndex, cell->StudyIndex, cell->SeriesIndex,
                          cell->ImageIndex};
      cell->PauseCine();
      cell->PatientIndex = place.patient;
      cell->StudyIndex = place.study;
      cell->SeriesIndex = place.series;
      cell->ImageIndex = place.image;
      cell->OpenCurrentImage(true);
      if (!cell->HasImage || cell->CurrentOpenedPath != place.path) {
        // The cell still shows its image: its position must still say so.
        cell->PatientIndex = old[0];
        cell->StudyIndex = old[1];
        cell->SeriesIndex = old[2];
        cell->ImageIndex = old[3];
        ClearMarks();
        Say("Image " + uid + " could not be shown: " + cell->LastLoadError());
        return;
      }
    }
    if (frame > 1 && frame <= cell->frameCount && frame != cell->CurrentFrame)
      cell->CineTrackBarSeek(frame);
    cell->RenderViewer();
    size_t here = 0;
    for (const TReportShape& s : graphics->shapes)
      if (s.frames.empty() || std::count(s.frames.begin(), s.frames.end(), cell->CurrentFrame))
        ++here;
    Say("Showing image " + uid + (cell->frameCount > 1 ? ", frame " + std::to_string(frame) : "") +
        (here ? ", with " + std::to_string(here) + " mark(s) of the report" : ""));
  }

  // The marks stay while the cell shows their image; another image drops them.
  void Watch(TadvancedImage* cell) {
    disconnect(watch_);
    watch_ = connect(cell, &TadvancedImage::ImageShown, this, [this](TadvancedImage* c) {
      if (c == cell_ && mine_ && c->reportGraphics == mine_ &&
          c->AnnotationKey().path != mine_->path)
        ClearMarks();
    });
  }

  void ClearMarks() {
    if (cell_ && mine_ && cell_->reportGraphics == mine_) {
      cell_->reportGraphics.reset();
      cell_->RenderViewer();
    }
    mine_.reset();
  }

  void Say(const std::string& text) { status_->setText(QString::fromStdString(text)); }

  reports::TSrDocument doc_;
  QTextBrowser* browser_ = nullptr;
  QLabel* status_ = nullptr;
  QPointer<TadvancedImage> cell_;
  std::shared_ptr<const TReportGraphics> mine_;
  QMetaObject::Connection watch_;
};

// One window per report file.
std::map<QString, QPointer<QWidget>>& OpenWindows() {
  static std::map<QString, QPointer<QWidget>> windows;
  return windows;
}

QString WindowKey(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  const QString canonical = info.canonicalFilePath();
  return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

}  // namespace

bool OpenReportWindow(QWidget* parent, const std::string& path, std::string* why) {
  const QString key = WindowKey(path);
  QPointer<QWidget>& open = OpenWindows()[key];
  if (open) {
    open->show();
    open->raise();
    open->activateWindow();
    return true;
  }
  reports::TSrDocument doc;
  std::string reason;
  if (!reports::ReadReport(path, doc, reason)) {
    if (why) *why = reason;
    return false;
  }
  auto* window = new TReportWindow(parent, std::move(doc));
  open = window;
  window->show();
  return true;
}

QWidget* ReportWindowOf(const std::string& path) {
  const auto it = OpenWindows().find(WindowKey(path));
  return it == OpenWindows().end() ? nullptr : it->second.data();
}
