// Hanging protocols in the grid: the protocols read once at start, the best
// match laid out when a load finishes, keys and a menu stepping through the
// protocols that fit and their stages, the grid saved back as a protocol of
// the user's, and the scroll link across studies with an offset set once.
#include <QAction>
#include <QBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <cmath>

#include "app/Unit1.h"
#include "dicom/StudyTree.h"
#include "dicom/TreeRules.h"
#include "hanging/Priors.h"
#include "viewer/AdvancedImage.h"
#include "viewer/Viewer.h"
#include "viewer/ViewerGlobals.h"

namespace {

// What a protocol turned on, to be undone when its layout is left: the link
// switches, and the scroll links it made between its cells.
enum : int { kSwitchScroll = 1, kSwitchWindow = 2, kSwitchZoom = 4, kLinksMade = 8 };

hanging::TStudyFacts Facts(int patient, int study) {
  std::lock_guard lock(gPatientsMutex);
  return hanging::FactsOf(gPatients, patient, study);
}

bool SameText(const std::string& a, const std::string& b) {
  return QString::fromStdString(a).trimmed().compare(QString::fromStdString(b).trimmed(),
                                                     Qt::CaseInsensitive) == 0;
}

bool Has(const std::vector<std::string>& links, const char* kind) {
  return std::find(links.begin(), links.end(), kind) != links.end();
}

// Table position of the image a cell shows: its first pixel along the slice
// normal; false for an image without position and orientation.
bool TablePosition(const TadvancedImage* cell, double* at) {
  const auto& c = cell->gDicomData.IMAGE_ORIENTATION_PATIENT;
  const double n[3] = {c[1] * c[5] - c[2] * c[4], c[2] * c[3] - c[0] * c[5],
                       c[0] * c[4] - c[1] * c[3]};
  const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (!(length > 0.5) || !std::isfinite(length)) return false;
  double d = 0;
  for (int i = 0; i < 3; ++i) d += n[i] / length * cell->gDicomData.image_Postion[size_t(i)];
  if (!std::isfinite(d)) return false;
  *at = d;
  return true;
}

// Where a slice lies, from a header the tree holds: the normal of its plane
// and its first pixel along it.
struct TSliceAt {
  bool ok = false;
  double normal[3] = {0, 0, 0};
  double at = 0;
};

TSliceAt SliceOf(const TImg& im) {
  TSliceAt s;
  const DICOMdata& h = im.Cache.DICOM;
  if (h.referenceFile.empty()) return s;  // a medium's index entry: no header read
  const auto& c = h.IMAGE_ORIENTATION_PATIENT;
  const double n[3] = {c[1] * c[5] - c[2] * c[4], c[2] * c[3] - c[0] * c[5],
                       c[0] * c[4] - c[1] * c[3]};
  const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (!(length > 0.5) || !std::isfinite(length)) return s;
  for (int i = 0; i < 3; ++i) {
    s.normal[i] = n[i] / length;
    s.at += s.normal[i] * h.image_Postion[size_t(i)];
  }
  s.ok = std::isfinite(s.at);
  return s;
}

// The slice of a series nearest the table position `anchor` shows, as the
// scroll link would move it: by position in one frame of reference, else
// at the same number along the normal (no offset set yet). -1 when none
// is parallel or the positions are unknown.
int NearestSlice(const std::vector<TSliceAt>& slices, const TadvancedImage* anchor) {
  const auto& c = anchor->gDicomData.IMAGE_ORIENTATION_PATIENT;
  double n[3] = {c[1] * c[5] - c[2] * c[4], c[2] * c[3] - c[0] * c[5], c[0] * c[4] - c[1] * c[3]};
  const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (!(length > 0.5) || !std::isfinite(length) || slices.empty() || !slices.front().ok) return -1;
  for (double& v : n) v /= length;
  const double* t = slices.front().normal;
  const double along = n[0] * t[0] + n[1] * t[1] + n[2] * t[2];
  if (std::fabs(along) < 0.94) return -1;  // crossing planes have no nearest slice
  const auto& p = anchor->gDicomData.image_Postion;
  double wanted = 0;
  for (int i = 0; i < 3; ++i) wanted += n[i] * p[size_t(i)];
  if (along < 0) wanted = -wanted;
  int best = -1;
  double bestDistance = 0;
  for (size_t i = 0; i < slices.size(); ++i) {
    const TSliceAt& q = slices[i];
    if (!q.ok) continue;
    const double d = std::fabs(q.at - wanted);
    if (best < 0 || d < bestDistance) {
      best = int(i);
      bestDistance = d;
    }
  }
  return best;
}

// The preset whose numbers the cell shows: a built-in CT one or one of the
// user's for the image's modality; "" for any other window.
std::string PresetShown(const TadvancedImage* c, const std::vector<hanging::TUserPreset>& user) {
  if (!c->HasImage || (c->IsByteImage() && !c->ByteWindowOn())) return {};
  const auto same = [](double a, double b) {
    return std::abs(a - b) <= 1e-6 * std::max(1.0, std::abs(b));
  };
  if (IsCt(c))
    for (const TWwWlPreset& p : kWwWlPresets)
      if (same(c->windowWidth, p.WW) && same(c->windowLevel, p.WL)) return p.Name;
  const std::string modality =
      QString::fromStdString(c->gDicomData.modality).trimmed().toUpper().toStdString();
  for (const hanging::TUserPreset& p : hanging::PresetsFor(user, modality))
    if (same(c->windowWidth, p.ww) && same(c->windowLevel, p.wl)) return p.name;
  return {};
}

}  // namespace

// ---- set-up ------------------------------------------------------------------------------

void TForm1::BuildHangingTools() {
  // Read before any load can finish; what is wrong with the user's file is
  // said once the window runs, where a test or a person can see it.
  Protocols = hanging::LoadProtocols(hanging::UserProtocolsPath());
  QTimer::singleShot(0, this, [this] { ReportProtocolProblems(); });

  btnHanging = NewButton(TabSheet1, "btnHanging", "Hanging Protocols", "hanging");
  btnHanging->setPopupMode(QToolButton::InstantPopup);
  auto* menu = new QMenu(btnHanging);
  menu->setObjectName("hangingMenu");
  const auto add = [&](const QString& text, auto&& run) {
    connect(menu->addAction(text), &QAction::triggered, this, run);
  };
  add("Next Protocol\tCtrl+Page Down", [this] { StepProtocol(1); });
  add("Previous Protocol\tCtrl+Page Up", [this] { StepProtocol(-1); });
  add("Next Stage\tCtrl+Right", [this] { StepStage(1); });
  add("Previous Stage\tCtrl+Left", [this] { StepStage(-1); });
  menu->addSeparator();
  add("Set Link Offset Here\tCtrl+L", [this] { SetLinkOffsetHere(); });
  add("Save Layout as Protocol...", [this] { SaveLayoutAsProtocol(); });
  btnHanging->setMenu(menu);
  btnHanging->setToolTip(
      "Hanging Protocols: next and previous protocol (Ctrl+Page Down / Ctrl+Page Up), next and "
      "previous stage (Ctrl+Right / Ctrl+Left), link offset (Ctrl+L), save the layout");
  hangingLabel = new QLabel(TabSheet1);
  hangingLabel->setObjectName("hangingLabel");
  // Two short lines beside the button at most: the toolbar keeps its height.
  hangingLabel->setWordWrap(true);
  hangingLabel->setFixedWidth(170);
  hangingLabel->hide();  // shown while a protocol lays out the grid
  if (auto* row = qobject_cast<QBoxLayout*>(TabSheet1->layout())) {
    const int at = row->indexOf(SpeedButton4) + 1;
    row->insertWidget(at, btnHanging);
    row->insertWidget(at + 1, hangingLabel);
  }
}

void TForm1::ReportProtocolProblems() {
  if (Protocols.problems.empty()) return;
  QStringList lines;
  for (const hanging::TProblem& p : Protocols.problems)
    lines << QString::fromStdString(hanging::ProblemText(p));
  ShowMessage("Some hanging protocols could not be used and were left out:\n" + lines.join("\n"));
}

QString TForm1::AskProtocolName(const QString& suggestion) {
  bool ok = false;
  const QString name = QInputDialog::getText(this, "Save Layout as Protocol",
                                             "Protocol name:", QLineEdit::Normal, suggestion, &ok);
  return ok ? name.trimmed() : QString();
}

// ---- applying --------------------------------------------------------------------------

bool TForm1::HangLoadedStudy(int patient) {
  int study = -1, priorPatient = -1, priorStudy = -1;
  {
    std::lock_guard lock(gPatientsMutex);
    // The first patient from `patient` on with images to show (a patient
    // filed for its reports alone has none), as "hang" chooses.
    for (; patient >= 0 && patient < int(gPatients.size()); ++patient) {
      study = hanging::CurrentStudyOf(gPatients[size_t(patient)]);
      if (study >= 0 && !hanging::FactsOf(gPatients, patient, study).series.empty()) break;
    }
    if (patient < 0 || patient >= int(gPatients.size())) return false;
    // The prior the command line's "hang" names too, but only of the very
    // same identity: one that matches in part waits for the user, warned
    // about in the browser, and is never hung beside the study by itself.
    const std::vector<hanging::TPrior> priors = hanging::FindPriors(gPatients, patient, study);
    const int k = hanging::PreferredPrior(gPatients, patient, study, priors);
    if (k >= 0 && priors[size_t(k)].identity == hanging::TIdentity::Same) {
      priorPatient = priors[size_t(k)].patient;
      priorStudy = priors[size_t(k)].study;
    }
  }
  return ApplyHanging(patient, study, priorPatient, priorStudy);
}

bool TForm1::ApplyHanging(int patient, int study, int priorPatient, int priorStudy) {
  HangingPatient = patient;
  HangingStudy = study;
  HangingPriorPatient = priorPatient;
  HangingPriorStudy = priorStudy;
  if (gLoadingInProgress || patient < 0 || study < 0) return false;
  const hanging::TStudyFacts current = Facts(patient, study);
  if (current.series.empty()) return false;
  const bool withPrior = priorPatient >= 0 && priorStudy >= 0;
  const hanging::TStudyFacts prior = withPrior ? Facts(priorPatient, priorStudy) : current;
  const auto matching =
      hanging::MatchingProtocols(Protocols, current, withPrior ? &prior : nullptr);
  if (matching.empty()) return false;
  return ShowHangingLayout(
      hanging::LayOut(*matching.front(), 0, current, withPrior ? &prior : nullptr));
}

void TForm1::ForgetHanging() {
  HangingLayout = {};
  FHangingName.clear();
  FHangingSource.clear();
  // The switches go back to how the user left them.
  if (FHangingSwitches & kSwitchScroll) btnSyncPosition->setChecked(false);
  if (FHangingSwitches & kSwitchWindow) btnLinkWwWl->setChecked(false);
  if (FHangingSwitches & kSwitchZoom) btnLinkZoom->setChecked(false);
  // Its cells are about to show other series: links between them would tie
  // those together.
  if (FHangingSwitches & kLinksMade) UserLinks.clear();
  FHangingSwitches = 0;
  if (hangingLabel) {
    hangingLabel->clear();
    hangingLabel->hide();
  }
}

bool TForm1::ShowHangingLayout(const hanging::TLayout& layout) {
  if (!layout.protocol || layout.rows < 1 || layout.cols < 1 || layout.rows > hanging::kMaxRows ||
      layout.cols > hanging::kMaxCols)
    return false;
  ForgetHanging();
  rows = layout.rows;
  cols = layout.cols;
  FHangingFill = true;
  SetLayout(rows, cols);
  FHangingFill = false;
  gForceRefill = false;
  lastLoadingMode = gRestrictedLoad;
  // Links made for the cells' former series mean nothing for the new ones.
  UserLinks.clear();

  struct Fill {
    TadvancedImage* cell;
    const hanging::TCellLayout* rule;
    std::vector<std::string> paths;
    std::vector<TSliceAt> slices;  // of a scroll-linked series, from the tree's headers
    bool follows = false;          // opens at the anchor's position
  };
  std::vector<Fill> fills;
  {
    std::lock_guard lock(gPatientsMutex);
    for (const hanging::TCellLayout& rule : layout.cells) {
      if (rule.row < 0 || rule.row >= CurrentRows || rule.col < 0 || rule.col >= CurrentCols)
        continue;
      Fill f{AdvancedImages[size_t(rule.row)][size_t(rule.col)], &rule, {}, {}, false};
      if (!rule.empty)
        if (const TSeries* s = SeriesAt(gPatients, rule.patient, rule.study, rule.series))
          for (const TImg& im : s->images) {
            f.paths.push_back(im.imagePath);
            if (Has(rule.links, "scroll")) f.slices.push_back(SliceOf(im));
          }
      fills.push_back(std::move(f));
    }
  }
  HangingLayout = layout;
  FHangingName = layout.protocol->name;
  FHangingSource = layout.protocol->source;

  // Scrolling: the cells the stage links move together, across studies by
  // table position with no offset until the user sets one. The others open
  // at the position of the anchor, the first current one, so that each cell
  // decodes one image.
  Fill* anchor = nullptr;
  int scrolling = 0;
  for (Fill& f : fills)
    if (!f.paths.empty() && Has(f.rule->links, "scroll")) {
      ++scrolling;
      if (!anchor || (anchor->rule->role != hanging::TRole::Current &&
                      f.rule->role == hanging::TRole::Current))
        anchor = &f;
    }
  if (scrolling > 1)
    for (Fill& f : fills) f.follows = &f != anchor && !f.slices.empty();

  const auto fill = [&](Fill& f) {
    TadvancedImage* cell = f.cell;
    // A clean cell: no turn, flip, window or pan of the series it showed;
    // its next image fits.
    cell->PauseCine();
    cell->Clear();
    if (f.paths.empty()) return;
    cell->PatientIndex = f.rule->patient;
    cell->StudyIndex = f.rule->study;
    cell->SeriesIndex = f.rule->series;
    size_t first = size_t(std::max(f.rule->image, 0));  // a series may hold several views
    if (f.follows && anchor->cell->HasImage) {
      const int near = NearestSlice(f.slices, anchor->cell);
      if (near >= 0) first = size_t(near);
    }
    std::string why;
    bool shown = false;
    for (size_t k = first; k < f.paths.size() && !shown; ++k) {
      cell->ImageIndex = int(k);
      shown = cell->LoadFile(f.paths[k], 1);
      if (!shown && why.empty()) why = cell->LastLoadError();
    }
    if (!shown) {
      cell->Clear();
      cell->ShowFailure(why);
      return;
    }
    if (f.rule->flipHorizontal) cell->Flip(flHorizontal);
    bool render = false;
    const std::string& preset = f.rule->preset;
    if (!preset.empty()) {
      bool found = false;
      double ww = 0, wl = 0;
      // Built-in presets are in Hounsfield units: for CT only.
      if (IsCt(cell))
        for (const TWwWlPreset& p : kWwWlPresets)
          if (SameText(p.Name, preset)) {
            ww = p.WW;
            wl = p.WL;
            found = true;
            break;
          }
      if (!found) {
        const std::string modality =
            QString::fromStdString(cell->gDicomData.modality).trimmed().toUpper().toStdString();
        for (const hanging::TUserPreset& p : hanging::PresetsFor(UserPresets, modality))
          if (SameText(p.name, preset)) {
            ww = p.ww;
            wl = p.wl;
            found = true;
            break;
          }
      }
      // An unknown name leaves the image's own window.
      if (found) {
        cell->SetWwWl(ww, wl);
        render = cell->createBitmap();
      }
    }
    // The load fitted the image: 1:1 and the side, then one render at most.
    if (!HangCellView(cell, *f.rule) && render) cell->RenderViewer();
  };
  for (Fill& f : fills)
    if (!f.follows) fill(f);
  for (Fill& f : fills)
    if (f.follows) fill(f);

  if (scrolling > 1 && anchor->cell->HasImage) {
    double at = 0;
    if (!TablePosition(anchor->cell, &at)) at = 0;
    for (const Fill& f : fills)
      if (f.cell->HasImage && (f.follows || &f == anchor)) UserLinks.emplace_back(f.cell, at);
    FHangingSwitches |= kLinksMade;
    if (!btnSyncPosition->isChecked()) {
      btnSyncPosition->setChecked(true);
      FHangingSwitches |= kSwitchScroll;
    }
    // Series whose headers the tree does not hold (a medium's index) are
    // placed now; the others are already where they belong.
    SyncLinkedPositions(anchor->cell);
  }
  const auto linksAny = [&](const char* kind) {
    int n = 0;
    for (const Fill& f : fills) n += f.cell->HasImage && Has(f.rule->links, kind);
    return n > 1;
  };
  if (linksAny("window") && !btnLinkWwWl->isChecked()) {
    btnLinkWwWl->setChecked(true);
    FHangingSwitches |= kSwitchWindow;
  }
  if (linksAny("zoom") && !btnLinkZoom->isChecked()) {
    btnLinkZoom->setChecked(true);
    FHangingSwitches |= kSwitchZoom;
  }

  for (auto& row : AdvancedImages)
    for (TadvancedImage* cell : row)
      if (cell->HasImage && cell->IsCine()) cell->PlayCine();
  // The first cell of the current study is the one the user reads from.
  TadvancedImage* reading = anchor ? anchor->cell : nullptr;
  if (reading && reading != ActiveAdvancedImage)
    for (auto& row : Viewers)
      for (TViewer* v : row)
        if (v->AdvancedImage() == reading) {
          if (ActiveAdvancedImage) ActiveAdvancedImage->setActive(false);
          ActiveViewer = v;
          ActiveAdvancedImage = reading;
          reading->setActive(true);
          if (!gProcessAllViewers)
            for (auto& r : AdvancedImages)
              for (TadvancedImage* c : r) c->setSelected(c == reading);
          LastActiveRow = v->Row;
          LastActiveCol = v->Col;
        }
  update_ReferenceLines();
  SyncWindowBoxes();
  ShowHangingStatus({});
  return true;
}

bool TForm1::HangCellView(TadvancedImage* cell, const hanging::TCellLayout& rule) {
  if (!cell || !cell->HasImage || cell->bmp.isNull()) return false;
  bool rendered = false;
  if (rule.fit == hanging::TFit::OneToOne && cell->zoomFactor != 100) {
    cell->Zoom(100 - cell->zoomFactor);
    rendered = true;
  }
  if (rule.align == hanging::TAlign::Center) return rendered;
  // The image's edge on the cell's edge: a mammogram's chest wall against
  // the middle of the pair, whether the image fits or overflows.
  const int shown = int(int64_t(cell->bmp.width()) * cell->zoomFactor / 100);
  const int dx = (cell->img.width() - shown) / 2;
  const int want = rule.align == hanging::TAlign::Right ? dx : -dx;
  if (want == cell->PanX && cell->panY == 0) return rendered;
  cell->Pan(want - cell->PanX, -cell->panY);
  return true;
}

void TForm1::ApplyHangingViews() {
  // The cells were just fitted (a new size): 1:1 and the sides again.
  for (const hanging::TCellLayout& rule : HangingLayout.cells)
    if (!rule.empty && rule.row < CurrentRows && rule.col < CurrentCols)
      HangCellView(AdvancedImages[size_t(rule.row)][size_t(rule.col)], rule);
}

void TForm1::ShowHangingStatus(const QString& note) {
  if (!hangingLabel) return;
  QString text;
  if (!FHangingName.empty())
    text = QString("%1, stage %2 of %3")
               .arg(QString::fromStdString(FHangingName))
               .arg(HangingLayout.stage + 1)
               .arg(std::max(HangingLayout.stageCount, 1));
  if (!note.isEmpty()) text = text.isEmpty() ? note : text + " (" + note + ")";
  hangingLabel->setText(text);
  hangingLabel->setVisible(!text.isEmpty());
  hangingLabel->setToolTip(QString::fromStdString(HangingLayout.stageName));
  statusLabelCount->setText(text);
}

void TForm1::RefindHangingProtocol() {
  HangingLayout.protocol = nullptr;
  for (const hanging::TProtocol& p : Protocols.protocols)
    if (p.name == FHangingName && p.source == FHangingSource) HangingLayout.protocol = &p;
  if (!HangingLayout.protocol) {
    FHangingName.clear();
    FHangingSource.clear();
  }
}

// ---- stepping ---------------------------------------------------------------------------

void TForm1::StepProtocol(int step) {
  if (gLoadingInProgress || HangingPatient < 0 || HangingStudy < 0 || step == 0) return;
  const hanging::TStudyFacts current = Facts(HangingPatient, HangingStudy);
  const bool withPrior = HangingPriorPatient >= 0 && HangingPriorStudy >= 0;
  const hanging::TStudyFacts prior =
      withPrior ? Facts(HangingPriorPatient, HangingPriorStudy) : current;
  const auto matching =
      hanging::MatchingProtocols(Protocols, current, withPrior ? &prior : nullptr);
  if (matching.empty()) {
    ShowHangingStatus("no protocol fits this study");
    return;
  }
  const int n = int(matching.size());
  int at = -1;
  for (int i = 0; i < n; ++i)
    if (matching[size_t(i)] == HangingLayout.protocol) at = i;
  // From a grid laid out by hand, the first step forward is the best match.
  const int next = at < 0 ? (step > 0 ? 0 : n - 1) : ((at + step) % n + n) % n;
  ShowHangingLayout(
      hanging::LayOut(*matching[size_t(next)], 0, current, withPrior ? &prior : nullptr));
}

void TForm1::StepStage(int step) {
  if (gLoadingInProgress || !HangingLayout.protocol || step == 0) return;
  const int stage = HangingLayout.stage + step;
  // Stages are read in order: past either end the layout stays.
  if (stage < 0 || stage >= int(HangingLayout.protocol->stages.size())) {
    ShowHangingStatus(stage < 0 ? "first stage" : "last stage");
    return;
  }
  const hanging::TStudyFacts current = Facts(HangingPatient, HangingStudy);
  const bool withPrior = HangingPriorPatient >= 0 && HangingPriorStudy >= 0;
  const hanging::TStudyFacts prior =
      withPrior ? Facts(HangingPriorPatient, HangingPriorStudy) : current;
  ShowHangingLayout(
      hanging::LayOut(*HangingLayout.protocol, stage, current, withPrior ? &prior : nullptr));
}

bool TForm1::HangingKey(int key, Qt::KeyboardModifiers modifiers) {
  if ((modifiers & ~Qt::KeypadModifier) != Qt::ControlModifier) return false;
  switch (key) {
    case Qt::Key_PageDown:
      StepProtocol(1);
      return true;
    case Qt::Key_PageUp:
      StepProtocol(-1);
      return true;
    case Qt::Key_Right:
      StepStage(1);
      return true;
    case Qt::Key_Left:
      StepStage(-1);
      return true;
    case Qt::Key_L:
      SetLinkOffsetHere();
      return true;
    default:
      return false;
  }
}

// ---- links ----------------------------------------------------------------------------------

bool TForm1::LinkedFor(const TadvancedImage* a, const TadvancedImage* b, const char* kind) const {
  if (!HangingLayout.protocol) return true;
  const auto links = [&](const TadvancedImage* cell) -> const std::vector<std::string>* {
    for (const hanging::TCellLayout& rule : HangingLayout.cells)
      if (!rule.empty && rule.row < CurrentRows && rule.col < CurrentCols &&
          AdvancedImages[size_t(rule.row)][size_t(rule.col)] == cell)
        return &rule.links;
    return nullptr;
  };
  const auto* la = links(a);
  const auto* lb = links(b);
  return la && lb && Has(*la, kind) && Has(*lb, kind);
}

void TForm1::SetLinkOffsetHere() {
  TadvancedImage* active = ActiveAdvancedImage;
  if (!active || !active->HasImage) return;
  double here = 0;
  if (!TablePosition(active, &here)) {
    ShowMessage("This image has no slice position to link by.");
    return;
  }
  UserLinks.erase(std::remove_if(UserLinks.begin(), UserLinks.end(),
                                 [](const auto& link) { return !link.first; }),
                  UserLinks.end());
  const auto others = std::count_if(UserLinks.begin(), UserLinks.end(), [&](const auto& link) {
    return link.first.data() != active && link.first->HasImage;
  });
  if (others == 0) {
    ShowMessage(
        "No other cell is linked for scrolling: link the cells first (cell menu, \"Link This "
        "Cell for Synchronised Scrolling\").");
    return;
  }
  if (!UserLinkOf(active)) UserLinks.emplace_back(active, here);
  // Each linked cell keeps where it is now: the offsets between them are
  // the ones the user lined up, until set again.
  for (auto& [cell, at] : UserLinks) {
    double p = 0;
    if (cell && cell->HasImage && TablePosition(cell.data(), &p)) at = p;
  }
  btnSyncPosition->setChecked(true);
  // The user wants these now: they outlive the protocol's layout.
  FHangingSwitches &= ~(kSwitchScroll | kLinksMade);
  ShowHangingStatus("link offset set");
}

// ---- saving --------------------------------------------------------------------------------

void TForm1::SaveLayoutAsProtocol() {
  if (gLoadingInProgress) return;
  // The study read: the one laid out last, else the newest of the patient
  // whose image is in the first cell that has one.
  int patient = HangingPatient, study = HangingStudy;
  if (patient < 0 || study < 0) {
    for (auto& row : AdvancedImages)
      for (TadvancedImage* c : row)
        if (patient < 0 && c->HasImage && !c->IsMpr()) patient = c->PatientIndex;
    std::lock_guard lock(gPatientsMutex);
    if (patient < 0 || patient >= int(gPatients.size())) {
      ShowMessage("No study is shown to save a layout of.");
      return;
    }
    study = hanging::CurrentStudyOf(gPatients[size_t(patient)]);
  }
  const hanging::TStudyFacts current = Facts(patient, study);
  if (current.series.empty()) {
    ShowMessage("No study is shown to save a layout of.");
    return;
  }

  hanging::TLayout layout;
  layout.protocol = HangingLayout.protocol;
  layout.rows = CurrentRows;
  layout.cols = CurrentCols;
  layout.stageCount = 1;
  std::vector<hanging::TStudyFacts> others;  // facts of the priors shown, by study
  for (int r = 0; r < CurrentRows; ++r)
    for (int c = 0; c < CurrentCols; ++c) {
      const TadvancedImage* cell = AdvancedImages[size_t(r)][size_t(c)];
      hanging::TCellLayout out;
      out.row = r;
      out.col = c;
      if (cell->HasImage && !cell->IsMpr()) {
        const bool isCurrent = cell->PatientIndex == patient && cell->StudyIndex == study;
        hanging::TStudyFacts facts =
            isCurrent ? current : Facts(cell->PatientIndex, cell->StudyIndex);
        // The view the cell shows: the last one starting at or before its image.
        for (const hanging::TSeriesFacts& s : facts.series)
          if (s.series == cell->SeriesIndex && (out.empty || s.image <= cell->ImageIndex)) {
            out.empty = false;
            out.image = s.image;
            out.modality = s.modality;
            out.orientation = s.orientation;
            out.viewPosition = s.viewPosition;
            out.laterality = s.laterality;
            out.role = isCurrent ? hanging::TRole::Current : hanging::TRole::Prior;
            out.patient = s.patient;
            out.study = s.study;
            out.series = s.series;
            out.seriesUid = s.instanceUid;
            out.seriesNumber = s.number;
            out.seriesDescription = s.description;
            out.studyUid = facts.instanceUid;
          }
      }
      if (!out.empty) {
        out.preset = PresetShown(cell, UserPresets);
        // 1:1 when the cell shows image pixels as screen pixels and fitting would not.
        const double W = cell->bmp.width(), H = cell->bmp.height();
        const int fitZoom =
            W > 0 && H > 0
                ? int(std::lround(std::min(cell->img.width() / W, cell->img.height() / H) * 100))
                : 100;
        out.fit = std::abs(cell->zoomFactor - 100) <= 1 && std::abs(fitZoom - 100) > 2
                      ? hanging::TFit::OneToOne
                      : hanging::TFit::Fit;
        out.align = cell->PanX > 2    ? hanging::TAlign::Right
                    : cell->PanX < -2 ? hanging::TAlign::Left
                                      : hanging::TAlign::Center;
        out.flipHorizontal = cell->orientation.Left == DrRight;
        bool scrolls = false;
        if (btnSyncPosition->isChecked())
          scrolls = UserLinkOf(cell) != nullptr || !LinkedCells(cell).empty();
        if (scrolls) out.links.push_back("scroll");
        if (btnLinkWwWl->isChecked()) out.links.push_back("window");
        if (btnLinkZoom->isChecked()) out.links.push_back("zoom");
      }
      layout.cells.push_back(std::move(out));
    }
  if (std::all_of(layout.cells.begin(), layout.cells.end(),
                  [](const hanging::TCellLayout& c) { return c.empty; })) {
    ShowMessage("No image is shown to save a layout of.");
    return;
  }

  QString suggestion = QString::fromStdString(current.description).trimmed();
  if (suggestion.isEmpty() && !current.series.empty())
    suggestion = QString::fromStdString(current.series.front().modality);
  const QString name = AskProtocolName(suggestion + " (mine)");
  if (name.isEmpty()) return;
  const std::string path = hanging::UserProtocolsPath();
  const bool exists = std::any_of(Protocols.protocols.begin(), Protocols.protocols.end(),
                                  [&](const hanging::TProtocol& p) {
                                    return p.source == path && p.name == name.toStdString();
                                  });
  if (exists && !AskConfirmation("Replace the protocol \"" + name + "\"?")) return;
  std::string why;
  if (!hanging::SaveUserProtocol(path, hanging::ProtocolJsonOf(layout, name.toStdString(), current),
                                 &why)) {
    ShowMessage("Cannot save the protocol to " + QString::fromStdString(path) + ": " +
                QString::fromStdString(why));
    return;
  }
  // Read again: the new protocol takes part in matching at once; the
  // file's other problems were said at start.
  Protocols = hanging::LoadProtocols(path);
  // The grid now shows the saved protocol's layout.
  HangingLayout = layout;
  FHangingName = name.toStdString();
  FHangingSource = path;
  RefindHangingProtocol();
  if (HangingLayout.protocol) {
    HangingLayout.stageCount = int(HangingLayout.protocol->stages.size());
    HangingPatient = patient;
    HangingStudy = study;
  }
  ShowHangingStatus("saved");
}
