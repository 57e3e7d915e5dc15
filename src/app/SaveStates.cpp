#include "app/SaveStates.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QMenu>
#include <QMessageBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <set>

#include "derived/KeyObjectSelection.h"
#include "derived/PresentationState.h"
#include "dicom/SopClasses.h"
#include "dicom/StudyTree.h"
#include "pixels/WindowLevel.h"
#include "viewer/AdvancedImage.h"
#include "viewer/AnnotationStore.h"
#include "viewer/CellPresentation.h"
#include "viewer/KeyImageStore.h"
#include "viewer/PresentationShapes.h"
#include "viewer/ViewerGlobals.h"

namespace {

// What a reference needs of one image of the tree.
struct TImageFacts {
  std::string path, seriesUid, sopClassUid, sopInstanceUid;
  int frames = 1, columns = 0, rows = 0;
};

// Read from the file itself: the tree's records keep UIDs only as far as the
// header reader's text rules let them (display text, not exact values).
TImageFacts FactsOf(const std::string& path, const std::string& seriesUid) {
  TImageFacts f;
  f.path = path;
  f.seriesUid = seriesUid;
  TSourceInfo s;
  std::string why;
  if (!ReadSourceInfo(path, s, why)) return f;
  f.sopClassUid = s.sopClassUid;
  f.sopInstanceUid = s.sopInstanceUid;
  f.frames = std::max(1, s.frames);
  f.columns = s.columns;
  f.rows = s.rows;
  if (!s.seriesInstanceUid.empty()) f.seriesUid = s.seriesInstanceUid;
  return f;
}

// A UID's letters and digits: what the tree's record and the exact value share.
std::string UidKey(const std::string& uid) {
  std::string key;
  for (char c : uid)
    if (std::isalnum(static_cast<unsigned char>(c))) key += c;
  return key;
}

// The files of the cell's series, or of its whole study, with their series' UIDs.
std::vector<std::pair<std::string, std::string>> CellPaths(const TadvancedImage& cell,
                                                           bool wholeStudy) {
  std::vector<std::pair<std::string, std::string>> paths;
  std::lock_guard lock(gPatientsMutex);
  const int p = cell.PatientIndex, st = cell.StudyIndex, se = cell.SeriesIndex;
  if (p < 0 || size_t(p) >= gPatients.size() || st < 0 ||
      size_t(st) >= gPatients[size_t(p)].studies.size())
    return paths;
  const TStudy& study = gPatients[size_t(p)].studies[size_t(st)];
  for (size_t s = 0; s < study.serieses.size(); ++s) {
    if (!wholeStudy && int(s) != se) continue;
    for (const TImg& img : study.serieses[s].images)
      paths.emplace_back(img.imagePath, study.serieses[s].instanceUid);
  }
  return paths;
}

// Finds the tree's images by exact SOP Instance UID: candidates by the
// record's text, confirmed from their files.
class TTreeIndex {
 public:
  TTreeIndex() {
    std::lock_guard lock(gPatientsMutex);
    for (const TPatient& p : gPatients)
      for (const TStudy& st : p.studies)
        for (const TSeries& se : st.serieses)
          for (const TImg& img : se.images) {
            const std::string& text =
                !img.sopInstanceUid.empty() ? img.sopInstanceUid : img.Cache.DICOM.SOP_Instance_UID;
            if (text.empty())
              unknown_.push_back(img.imagePath);
            else
              byKey_[UidKey(text)].push_back(img.imagePath);
          }
  }
  const TImageFacts* Find(const std::string& uid) {
    const auto hit = found_.find(uid);
    if (hit != found_.end()) return &hit->second;
    // Records without a UID are read once, on the first miss.
    for (const std::string& path : unknown_) {
      TImageFacts f = FactsOf(path, {});
      byKey_[UidKey(f.sopInstanceUid)].push_back(path);
    }
    unknown_.clear();
    const auto it = byKey_.find(UidKey(uid));
    if (it == byKey_.end()) return nullptr;
    for (const std::string& path : it->second) {
      TImageFacts f = FactsOf(path, {});
      if (f.sopInstanceUid == uid) return &(found_[uid] = std::move(f));
    }
    return nullptr;
  }

 private:
  std::map<std::string, std::vector<std::string>> byKey_;
  std::vector<std::string> unknown_;
  std::map<std::string, TImageFacts> found_;
};

// A new file name in folder: PREFIX_YYYYMMDD_HHMMSS.dcm, numbered when taken.
std::string NewName(const std::string& folder, const char* prefix) {
  const QString stem = QString("%1/%2_%3")
                           .arg(QString::fromStdString(folder), prefix,
                                QDateTime::currentDateTime().toString("yyyyMMdd_HHmmss"));
  QString name = stem + ".dcm";
  for (int n = 2; QFileInfo::exists(name); ++n) name = stem + QString("_%1.dcm").arg(n);
  return name.toStdString();
}

bool WritableFolder(const std::string& folder, std::string& why) {
  const QFileInfo info(QString::fromStdString(folder));
  if (!info.isDir()) {
    why = "folder " + folder + " does not exist";
    return false;
  }
  if (!info.isWritable()) {
    why = "folder " + folder + " is read-only";
    return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  return QFileInfo(QString::fromStdString(path)).absolutePath().toStdString();
}

struct TDerivedList {
  std::vector<TDerivedFile> files;
  std::set<std::string> foldersSeen;
};

TDerivedList& List() {
  static TDerivedList list;
  return list;
}

// Key object selections naming images the tree does not hold yet: a
// document often arrives (or lies in the folder) before its images, which
// are marked when a later load or arrival brings them.
struct TPendingKeys {
  std::string path;
  TKeyObjectSelection kos;
};

std::vector<TPendingKeys>& PendingKeys() {
  static std::vector<TPendingKeys> pending;
  return pending;
}

// Marks the images of the tree the document names, with its title and
// description; returns those it did not find.
std::vector<TKeyImage> MarkKeyImages(const std::string& path, const TKeyObjectSelection& kos) {
  TTreeIndex tree;
  std::vector<TAnnotationKey> keys;
  std::vector<TKeyImage> missing;
  for (const TKeyImage& k : kos.images) {
    const TImageFacts* f = tree.Find(k.image.sopInstanceUid);
    if (!f) {
      missing.push_back(k);
      continue;
    }
    if (k.image.frames.empty()) {
      for (int frame = 1; frame <= f->frames; ++frame) keys.push_back({f->path, frame});
    } else {
      for (int32_t frame : k.image.frames)
        if (frame >= 1 && frame <= f->frames) keys.push_back({f->path, frame});
    }
  }
  if (!keys.empty())
    TKeyImageStore::Instance().AddDocument({path, kos.title.meaning, kos.description}, keys);
  return missing;
}

}  // namespace

bool SaveSeriesAnnotations(const TadvancedImage& cell, const std::string& folder,
                           std::string& written, std::string& why) {
  if (!cell.HasImage) {
    why = "no image in the cell";
    return false;
  }
  std::vector<TImageFacts> images;
  for (const auto& [path, series] : CellPaths(cell, false)) images.push_back(FactsOf(path, series));
  if (images.empty()) {
    why = "the cell's series is not in the study tree";
    return false;
  }
  const std::string target = folder.empty() ? FolderOf(images.front().path) : folder;
  if (!WritableFolder(target, why)) return false;
  std::vector<TStateImage> refs;
  for (const TImageFacts& f : images)
    refs.push_back({f.path, f.sopClassUid, f.sopInstanceUid, f.frames});
  const bool colour = cell.gDicomData.Pixel.samplesPerPixel > 1 ||
                      cell.gDicomData.Pixel.photometric == "PALETTE COLOR";
  std::optional<std::pair<double, double>> window;
  if (!colour && cell.windowWidth > 0) window = std::pair(cell.windowLevel, cell.windowWidth);
  TPresentationState ps;
  if (!BuildSeriesState(images.front().seriesUid, refs, window, colour, ps, why)) return false;
  TurnOfOrientation(cell.orientation, ps.rotation, ps.horizontalFlip);
  // The polarity as shown: a MONOCHROME1 image comes back as it was seen.
  if (GreyInverted(cell.gDicomData.Monochrome, cell.Inverted)) ps.presentationShape = "INVERSE";
  const std::string out = NewName(target, "PS");
  if (!SaveSeriesState(ps, images.front().path, out, why)) return false;
  written = out;
  return FileDerivedObject(out, why);
}

bool SaveStudyKeyImages(const TadvancedImage& cell, const std::string& folder, std::string& written,
                        std::string& why) {
  // The marked frames of this study, image by image; only their files are read.
  std::map<std::string, std::string> seriesOf;
  for (const auto& [path, series] : CellPaths(cell, true)) seriesOf.emplace(path, series);
  std::map<std::string, std::vector<int32_t>> marked;
  for (const TAnnotationKey& k : TKeyImageStore::Instance().Marked())
    if (seriesOf.count(k.path)) marked[k.path].push_back(k.frame);
  if (marked.empty()) {
    why = "no image of this study is marked as a key image";
    return false;
  }
  const std::string first = marked.begin()->first;
  TSourceInfo source;
  if (!ReadSourceInfo(first, source, why)) return false;
  const std::string target = folder.empty() ? FolderOf(first) : folder;
  if (!WritableFolder(target, why)) return false;
  TKeyObjectSelection kos;
  for (const auto& [path, frames] : marked) {
    const TImageFacts f = FactsOf(path, seriesOf[path]);
    TKeyImage k{source.studyInstanceUid, f.seriesUid, {f.sopClassUid, f.sopInstanceUid, {}}};
    if (f.frames > 1) k.image.frames = frames;
    kos.images.push_back(std::move(k));
  }
  const std::string out = NewName(target, "KO");
  if (!WriteKeyObjectSelection(kos, source, out, why)) return false;
  written = out;
  return FileDerivedObject(out, why);
}

bool FileDerivedObject(const std::string& path, std::string& why) {
  const std::string sopClass = SopClassOfFile(path);
  TDerivedFile d;
  d.path = path;
  if (IsPresentationStateClass(sopClass)) {
    TPresentationState ps;
    if (!ReadPresentationState(path, ps, why)) return false;
    d.label = ps.label;
    d.description = ps.description;
    d.creator = ps.creator;
    d.date = ps.creationDate;
    d.time = ps.creationTime;
    for (const TSeriesRef& s : ps.series)
      for (const TImageRef& r : s.images) d.instances.push_back(r.sopInstanceUid);
  } else if (sopClass == kKeyObjectSelectionClass) {
    TKeyObjectSelection kos;
    if (!ReadKeyObjectSelection(path, kos, why)) return false;
    d.keyObjects = true;
    d.label = kos.title.meaning;
    for (const TKeyImage& k : kos.images) d.instances.push_back(k.image.sopInstanceUid);
    std::erase_if(PendingKeys(), [&](const TPendingKeys& p) { return p.path == path; });
    // Only the images not found wait: a mark the reader takes off one found
    // now is not put back when the others come.
    if (std::vector<TKeyImage> missing = MarkKeyImages(path, kos); !missing.empty()) {
      kos.images = std::move(missing);
      PendingKeys().push_back({path, std::move(kos)});
    }
  } else {
    why = path + ": neither a presentation state nor a key object selection";
    return false;
  }
  std::vector<TDerivedFile>& files = List().files;
  std::erase_if(files, [&](const TDerivedFile& f) { return f.path == path; });
  files.push_back(std::move(d));
  return true;
}

void FileDerivedObjects(const TLoadResult& load) {
  // The images this load brought may be the ones earlier documents named.
  MarkPendingKeyImages();
  static const std::string kStates = NonImageKind(kGrayscalePresentationStateClass) + ",";
  static const std::string kKeys = NonImageKind(kKeyObjectSelectionClass) + ",";
  for (const TSkippedFile& s : load.skipped)
    if (s.reason.rfind(kStates, 0) == 0 || s.reason.rfind(kKeys, 0) == 0) {
      std::string why;
      FileDerivedObject(s.path, why);  // one the readers refuse stays a skipped file
    }
}

void MarkPendingKeyImages() {
  std::vector<TPendingKeys>& pending = PendingKeys();
  if (pending.empty()) return;
  std::erase_if(pending, [](TPendingKeys& p) {
    p.kos.images = MarkKeyImages(p.path, p.kos);
    return p.kos.images.empty();
  });
}

std::vector<std::string> DerivedObjectsOf(const std::vector<std::string>& imagePaths) {
  std::vector<std::string> out;
  if (List().files.empty()) return out;
  const std::set<std::string> images(imagePaths.begin(), imagePaths.end());
  TTreeIndex tree;
  for (const TDerivedFile& f : List().files)
    for (const std::string& uid : f.instances) {
      const TImageFacts* facts = tree.Find(uid);
      if (facts && images.count(facts->path)) {
        out.push_back(f.path);
        break;
      }
    }
  return out;
}

std::vector<TDerivedFile> StatesForCell(const TadvancedImage& cell) {
  std::vector<TDerivedFile> found;
  const std::string shown = cell.AnnotationKey().path;
  if (shown.empty()) return found;
  const std::string folder = FolderOf(shown);
  if (List().foldersSeen.insert(folder).second) {
    // The files of the folder the tree did not take as images; bounded, so
    // a huge folder costs one short look.
    std::set<std::string> images;
    {
      std::lock_guard lock(gPatientsMutex);
      for (const TPatient& p : gPatients)
        for (const TStudy& st : p.studies)
          for (const TSeries& se : st.serieses)
            for (const TImg& img : se.images) images.insert(img.imagePath);
    }
    const QFileInfoList entries = QDir(QString::fromStdString(folder))
                                      .entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
    int looked = 0;
    for (const QFileInfo& e : entries) {
      const std::string path = e.absoluteFilePath().toStdString();
      if (images.count(path) || images.count(e.filePath().toStdString())) continue;
      if (++looked > 2000) break;
      std::string why;
      FileDerivedObject(path, why);  // anything else in the folder is none of ours
    }
  }
  const std::string uid = FactsOf(shown, {}).sopInstanceUid;
  for (const TDerivedFile& f : List().files)
    if (!f.keyObjects &&
        std::find(f.instances.begin(), f.instances.end(), uid) != f.instances.end())
      found.push_back(f);
  return found;
}

bool ApplyStateToCell(TadvancedImage& cell, const std::string& path, std::string& why) {
  TPresentationState ps;
  if (!ReadPresentationState(path, ps, why)) return false;
  // The viewer's own annotations come back on every image of the tree they
  // were saved for, as editable shapes; the cell's image gets the rest.
  bool stored = false;
  if (IsOwnPresentationState(ps)) {
    TTreeIndex tree;
    std::vector<TImageRef> all;
    for (const TSeriesRef& s : ps.series) all.insert(all.end(), s.images.begin(), s.images.end());
    std::map<TAnnotationKey, TShapeArray> shapes;
    std::vector<std::string> skipped;
    for (const TGraphicAnnotation& a : ps.annotations)
      for (const TImageRef& ref : a.images.empty() ? all : a.images) {
        const TImageFacts* f = tree.Find(ref.sopInstanceUid);
        if (!f) continue;
        std::vector<int32_t> frames = ref.frames;
        if (frames.empty())
          for (int k = 1; k <= f->frames; ++k) frames.push_back(k);
        const TShapeArray drawn = ShapesOfAnnotation(a, f->columns, f->rows, skipped);
        for (int32_t frame : frames) {
          if (frame > f->frames) continue;
          TShapeArray& list = shapes[{f->path, frame}];
          list.insert(list.end(), drawn.begin(), drawn.end());
        }
      }
    stored = !shapes.empty();
    for (auto& [key, list] : shapes) TAnnotationStore::Instance().Put(key, std::move(list));
  }
  const bool applied = ApplyPresentationState(cell, ps, path, why);
  if (applied) return true;
  if (stored) why.clear();
  return stored;
}

std::string NewestStateForCell(const TadvancedImage& cell) {
  std::string newest, when;
  for (const TDerivedFile& f : StatesForCell(cell))
    if (newest.empty() || f.date + f.time > when) {
      newest = f.path;
      when = f.date + f.time;
    }
  return newest;
}

void WatchPresentationStates(TadvancedImage* cell) {
  QObject::connect(cell, &TadvancedImage::ImageShown, cell, [](TadvancedImage* c) {
    if (!gSettings().ApplyNewestPresentationState || !c->HasImage) return;
    const std::string newest = NewestStateForCell(*c);
    std::string why;
    if (!newest.empty())
      ApplyStateToCell(*c, newest, why);  // one for other frames says so only in the menu
  });
}

QWidget* PresentationStateSetting(QWidget* parent) {
  auto* group = new QGroupBox("Presentation States", parent);
  auto* layout = new QVBoxLayout(group);
  layout->setContentsMargins(6, 2, 6, 2);
  auto* box = new QCheckBox("Apply the newest presentation state", group);
  box->setObjectName("applyNewestStateCheckBox");
  box->setChecked(gSettings().ApplyNewestPresentationState);
  layout->addWidget(box);
  QObject::connect(box, &QCheckBox::toggled, group,
                   [](bool on) { gSettings().ApplyNewestPresentationState = on; });
  return group;
}

void ForgetDerivedObjects() {
  List().files.clear();
  List().foldersSeen.clear();
  PendingKeys().clear();
}

bool ToggleKeyImage(TadvancedImage* cell) {
  if (!cell || !cell->HasImage || cell->AnnotationKey().empty()) return false;
  TKeyImageStore::Instance().Toggle(cell->AnnotationKey());
  return true;
}

void AddStateMenuEntries(QMenu* menu, TadvancedImage* cell, QWidget* parent) {
  const bool image = cell && cell->HasImage;
  menu->addSeparator();
  QAction* key = menu->addAction("Key Image (K)");
  key->setCheckable(true);
  key->setEnabled(image);
  key->setChecked(image && TKeyImageStore::Instance().IsMarked(cell->AnnotationKey()));
  QObject::connect(key, &QAction::triggered, menu, [cell] { ToggleKeyImage(cell); });
  QAction* only = menu->addAction("Key Images Only (Shift+K)");
  only->setCheckable(true);
  only->setChecked(TKeyImageStore::Instance().KeyImagesOnly());
  QObject::connect(only, &QAction::toggled, menu,
                   [](bool on) { TKeyImageStore::Instance().SetKeyImagesOnly(on); });

  // A save into the images' folder, or into one the user picks when that is read-only.
  const auto save = [cell, parent](bool keys) {
    std::string written, why;
    bool ok = keys ? SaveStudyKeyImages(*cell, {}, written, why)
                   : SaveSeriesAnnotations(*cell, {}, written, why);
    if (!ok && why.find("read-only") != std::string::npos) {
      const QString folder = QFileDialog::getExistingDirectory(
          parent, keys ? "Save Key Images as DICOM into" : "Save Annotations as DICOM into");
      if (folder.isEmpty()) return;
      ok = keys ? SaveStudyKeyImages(*cell, folder.toStdString(), written, why)
                : SaveSeriesAnnotations(*cell, folder.toStdString(), written, why);
    }
    if (ok)
      QMessageBox::information(parent, "Saved", "Saved " + QString::fromStdString(written));
    else
      QMessageBox::warning(parent, "Not saved", QString::fromStdString(why));
  };
  QAction* saveStates = menu->addAction("Save Annotations as DICOM...");
  saveStates->setEnabled(image);
  QObject::connect(saveStates, &QAction::triggered, menu, [save] { save(false); });
  QAction* saveKeys = menu->addAction("Save Key Images as DICOM...");
  saveKeys->setEnabled(image && !TKeyImageStore::Instance().Marked().empty());
  QObject::connect(saveKeys, &QAction::triggered, menu, [save] { save(true); });

  QMenu* states = menu->addMenu("Presentation States");
  const std::vector<TDerivedFile> found =
      image ? StatesForCell(*cell) : std::vector<TDerivedFile>{};
  states->setEnabled(!found.empty());
  const std::string applied =
      image && cell->presentation ? cell->presentation->path : std::string();
  QAction* none = states->addAction("No Presentation State");
  none->setCheckable(true);
  none->setChecked(applied.empty());
  QObject::connect(none, &QAction::triggered, menu, [cell] { ClearPresentationState(*cell); });
  states->addSeparator();
  for (const TDerivedFile& f : found) {
    const QString when = QDateTime::fromString(QString::fromStdString(f.date + f.time.substr(0, 6)),
                                               "yyyyMMddHHmmss")
                             .toString("yyyy-MM-dd HH:mm");
    QString text = QString::fromStdString(f.label);
    const std::string about = !f.description.empty() ? f.description : f.creator;
    if (!about.empty()) text += " - " + QString::fromStdString(about);
    QAction* a = states->addAction(text + "  " + when);
    a->setCheckable(true);
    a->setChecked(f.path == applied);
    const std::string path = f.path;
    QObject::connect(a, &QAction::triggered, menu, [cell, parent, path] {
      std::string why;
      if (!ApplyStateToCell(*cell, path, why))
        QMessageBox::warning(parent, "Presentation state", QString::fromStdString(why));
    });
  }
}
