// What a study holds as protocols see it, which protocols fit it, and the
// cells a protocol's stage fills.
#include "hanging/HangingProtocol.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <tuple>

#include "hanging/JsonText.h"
#include "hanging/Priors.h"
#include "hanging/Text.h"

namespace hanging {

namespace {

// The layout before its empty ends are trimmed: cell i is rule i.
TLayout FullLayout(const TProtocol& protocol, int stage, const TStudyFacts& current,
                   const TStudyFacts* prior);

TOrientation OrientationOf(const DICOMdata& h) {
  const auto& o = h.IMAGE_ORIENTATION_PATIENT;
  // The slice normal is row x column; its largest component names the plane.
  const double n[3] = {o[1] * o[5] - o[2] * o[4], o[2] * o[3] - o[0] * o[5],
                       o[0] * o[4] - o[1] * o[3]};
  const double ax = std::fabs(n[0]), ay = std::fabs(n[1]), az = std::fabs(n[2]);
  if (!std::isfinite(ax + ay + az) || ax + ay + az < 1e-6) return TOrientation::Any;
  if (az >= ax && az >= ay) return TOrientation::Axial;
  if (ay >= ax) return TOrientation::Coronal;
  return TOrientation::Sagittal;
}

std::string LateralityOf(const DICOMdata& h) {
  const std::string image = Code(h.Image_Laterality.str());
  return image.empty() ? Code(h.Laterality.str()) : image;
}

// Mammograms that leave View Position or laterality out usually name the view
// in the description ("R CC", "LMLO", "Right MLO"): read the words there.
void MammoViewFromDescription(const std::string& description,
                              std::pair<std::string, std::string>* key) {
  if (!key->first.empty() && !key->second.empty()) return;
  std::string view, side;
  std::string word;
  const std::string text = Upper(description.substr(0, kMaxSearchedLength)) + " ";
  for (const char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      word += c;
      continue;
    }
    if (word.empty()) continue;
    std::string_view w = word;
    std::string wordSide;
    if (w == "RIGHT" || w == "R") {
      wordSide = "R";
    } else if (w == "LEFT" || w == "L") {
      wordSide = "L";
    } else if ((w[0] == 'R' || w[0] == 'L') && (w.substr(1) == "CC" || w.substr(1) == "MLO")) {
      wordSide = std::string(1, w[0]);
      w.remove_prefix(1);
    }
    if (w == "CC" || w == "MLO") view = std::string(w);
    if (!wordSide.empty()) side = wordSide;
    word.clear();
  }
  if (key->first.empty()) key->first = view;
  if (key->second.empty()) key->second = side;
}

bool Selects(const TSeriesSelector& s, const TSeriesFacts& f) {
  if (!CodeMatches(s.modality, f.modality)) return false;
  if (s.orientation != TOrientation::Any && s.orientation != f.orientation) return false;
  if (s.seriesNumber && *s.seriesNumber != f.number) return false;
  if (!CodeMatches(s.viewPosition, f.viewPosition)) return false;
  if (!CodeMatches(s.laterality, f.laterality)) return false;
  return PatternMatches(s.description, f.description);
}

bool FitsMatch(const TProtocol& p, const TStudyFacts& current, const TStudyFacts* prior) {
  const TMatch& m = p.match;
  const bool hasPrior = prior && !prior->series.empty();
  if (m.prior && *m.prior != hasPrior) return false;
  if (m.minImages && current.images < *m.minImages) return false;
  if (m.maxImages && current.images > *m.maxImages) return false;
  if (!m.studyDescription.empty() && !PatternMatches(m.studyDescription, current.description))
    return false;
  auto any = [&](auto pred) {
    return std::any_of(current.series.begin(), current.series.end(), pred);
  };
  if (!m.modalities.empty() && !any([&](const TSeriesFacts& s) {
        return std::find(m.modalities.begin(), m.modalities.end(), s.modality) !=
               m.modalities.end();
      }))
    return false;
  if (!m.bodyPart.empty() &&
      !any([&](const TSeriesFacts& s) { return PatternMatches(m.bodyPart, s.bodyPart); }))
    return false;
  if (!m.seriesDescription.empty() && !any([&](const TSeriesFacts& s) {
        return PatternMatches(m.seriesDescription, s.description);
      }))
    return false;
  for (size_t st = 0; st < p.stages.size(); ++st) {
    const auto& rules = p.stages[st].cells;
    if (std::none_of(rules.begin(), rules.end(), [](const TCellRule& c) { return c.required; }))
      continue;
    const TLayout l = FullLayout(p, static_cast<int>(st), current, prior);
    for (size_t i = 0; i < rules.size() && i < l.cells.size(); ++i)
      if (rules[i].required && l.cells[i].empty) return false;
  }
  return true;
}

}  // namespace

TStudyFacts FactsOf(const TPatientArr& patients, int patient, int study) {
  TStudyFacts f;
  if (patient < 0 || patient >= static_cast<int>(patients.size())) return f;
  const TPatient& p = patients[static_cast<size_t>(patient)];
  if (study < 0 || study >= static_cast<int>(p.studies.size())) return f;
  const TStudy& st = p.studies[static_cast<size_t>(study)];
  f.patient = patient;
  f.study = study;
  f.instanceUid = Trim(st.instanceUid);
  f.description = Trim(st.description);
  const std::string when = StudyWhen(st);
  f.date = when.substr(0, std::min<size_t>(8, when.size()));
  f.time = when.size() > 8 ? when.substr(8) : "";
  for (size_t si = 0; si < st.serieses.size(); ++si) {
    const TSeries& s = st.serieses[si];
    // Presentation states a DICOMDIR files as series hold no picture for a cell.
    if (s.images.empty() || Code(s.modality) == "PR") continue;
    // Views in the order they first appear: most series hold one.
    std::vector<std::pair<std::string, std::string>> keys;
    std::vector<TSeriesFacts> views;
    const bool mammo = Code(s.modality) == "MG";
    const DICOMdata* last = nullptr;
    size_t lastView = 0;
    for (size_t k = 0; k < s.images.size(); ++k) {
      const DICOMdata& h = s.images[k].Cache.DICOM;
      // Images of one view repeat their neighbour's codes: a stack of
      // thousands of slices is read without making a key per slice.
      if (last && h.View_Position.str() == last->View_Position.str() &&
          h.Image_Laterality.str() == last->Image_Laterality.str() &&
          h.Laterality.str() == last->Laterality.str() &&
          (!mammo || h.Series_Description.str() == last->Series_Description.str())) {
        TSeriesFacts& v = views[lastView];
        ++v.images;
        v.imageIndices.push_back(static_cast<int>(k));
        continue;
      }
      last = &h;
      std::pair<std::string, std::string> key{Code(h.View_Position.str()), LateralityOf(h)};
      if (mammo) MammoViewFromDescription(h.Series_Description.str(), &key);
      const auto it = std::find(keys.begin(), keys.end(), key);
      if (it != keys.end()) {
        lastView = static_cast<size_t>(it - keys.begin());
        TSeriesFacts& v = views[lastView];
        ++v.images;
        v.imageIndices.push_back(static_cast<int>(k));
        continue;
      }
      lastView = keys.size();
      keys.push_back(key);
      TSeriesFacts sf;
      sf.patient = patient;
      sf.study = study;
      sf.series = static_cast<int>(si);
      sf.image = static_cast<int>(k);
      sf.instanceUid = Trim(s.instanceUid);
      sf.number = s.seriesNumber;
      sf.modality = Code(s.modality.empty() ? h.modality.str() : s.modality);
      sf.description = Trim(h.Series_Description.str());
      sf.bodyPart = Trim(s.BodyPart.empty() ? h.Body_Part_Examined.str() : s.BodyPart);
      sf.frameOfReference = Trim(h.Frame_Of_Reference_UID.str());
      // A scout is one projection across the patient, not a stack of slices
      // in its plane: no cell asking for a plane should show it.
      const bool scout = Upper(h.imageType.str()).find("LOCALIZER") != std::string::npos;
      sf.orientation = scout ? TOrientation::Any : OrientationOf(h);
      sf.viewPosition = key.first;
      sf.laterality = key.second;
      sf.images = 1;
      sf.imageIndices.push_back(static_cast<int>(k));
      views.push_back(std::move(sf));
    }
    for (TSeriesFacts& v : views) {
      f.images += v.images;
      f.series.push_back(std::move(v));
    }
  }
  return f;
}

std::vector<const TProtocol*> MatchingProtocols(const TProtocolSet& set, const TStudyFacts& current,
                                                const TStudyFacts* prior) {
  std::vector<const TProtocol*> out;
  if (current.series.empty()) return out;
  for (const TProtocol& p : set.protocols)
    if (!p.stages.empty() && FitsMatch(p, current, prior)) out.push_back(&p);
  // Stable: among equals the user's come first and file order stays.
  std::stable_sort(out.begin(), out.end(), [](const TProtocol* a, const TProtocol* b) {
    return a->Specificity() > b->Specificity();
  });
  return out;
}

namespace {

bool SameRule(const TSeriesSelector& a, const TSeriesSelector& b) {
  return a.modality == b.modality && a.description == b.description &&
         a.orientation == b.orientation && a.seriesNumber == b.seriesNumber &&
         a.viewPosition == b.viewPosition && a.laterality == b.laterality;
}

}  // namespace

namespace {

TLayout FullLayout(const TProtocol& protocol, int stage, const TStudyFacts& current,
                   const TStudyFacts* prior) {
  TLayout l;
  l.protocol = &protocol;
  l.stageCount = static_cast<int>(protocol.stages.size());
  if (protocol.stages.empty()) return l;
  l.stage = std::clamp(stage, 0, l.stageCount - 1);
  const TStage& st = protocol.stages[static_cast<size_t>(l.stage)];
  l.stageName = st.name;
  l.rows = std::clamp(st.rows, 1, kMaxRows);
  l.cols = std::clamp(st.cols, 1, kMaxCols);
  const int count = l.rows * l.cols;
  const int rules = std::min(count, static_cast<int>(st.cells.size()));
  l.cells.resize(static_cast<size_t>(count));
  std::vector<const TSeriesFacts*> chosenBy(static_cast<size_t>(count), nullptr);
  // Times each (patient, study, series, image view) was placed.
  std::map<std::tuple<int, int, int, int>, int> shown;
  auto keyOf = [](const TSeriesFacts& f) {
    return std::make_tuple(f.patient, f.study, f.series, f.image);
  };
  // The current study's cells first: a prior's cell looks to its counterpart.
  for (const TRole pass : {TRole::Current, TRole::Prior}) {
    for (int i = 0; i < rules; ++i) {
      const TCellRule& rule = st.cells[static_cast<size_t>(i)];
      if (rule.select.role != pass || rule.disabled) continue;
      const TStudyFacts* facts = pass == TRole::Prior ? prior : &current;
      if (!facts) continue;
      const TSeriesFacts* twin = nullptr;
      if (pass == TRole::Prior) {
        int nth = 0;  // which of the prior cells with this rule this one is
        for (int j = 0; j < i; ++j) {
          const TCellRule& o = st.cells[static_cast<size_t>(j)];
          nth += o.select.role == TRole::Prior && !o.disabled && SameRule(o.select, rule.select);
        }
        for (int j = 0; j < rules && !twin; ++j) {
          const TCellRule& o = st.cells[static_cast<size_t>(j)];
          if (o.select.role != TRole::Current || o.disabled || !SameRule(o.select, rule.select))
            continue;
          if (nth-- == 0) twin = chosenBy[static_cast<size_t>(j)];
        }
      }
      const TSeriesFacts* first = nullptr;
      const TSeriesFacts* fresh = nullptr;
      const TSeriesFacts* described = nullptr;
      const std::string twinDesc = twin ? Upper(twin->description) : "";
      for (const TSeriesFacts& sf : facts->series) {
        if (!Selects(rule.select, sf)) continue;
        if (!first) first = &sf;
        if (shown.count(keyOf(sf))) continue;
        if (!fresh) fresh = &sf;
        if (!twinDesc.empty() && Upper(sf.description) == twinDesc) {
          described = &sf;
          break;
        }
        if (twinDesc.empty()) break;
      }
      const TSeriesFacts* chosen = described ? described : fresh ? fresh : first;
      if (!chosen) continue;
      // A stack of slices shown again is the same picture twice: only worth a
      // cell under another window (lung beside soft tissue).
      if (chosen == first && !fresh && !described && chosen->orientation != TOrientation::Any) {
        bool otherWindow = true;
        for (int j = 0; j < rules; ++j)
          if (chosenBy[static_cast<size_t>(j)] == chosen &&
              st.cells[static_cast<size_t>(j)].preset == rule.preset)
            otherWindow = false;
        if (!otherWindow) continue;
      }
      chosenBy[static_cast<size_t>(i)] = chosen;
      const int times = shown[keyOf(*chosen)]++;
      TCellLayout& c = l.cells[static_cast<size_t>(i)];
      c.empty = false;
      c.patient = chosen->patient;
      c.study = chosen->study;
      c.series = chosen->series;
      c.image = chosen->image;
      // Shown again: a projection series moves on to its next image; a stack
      // of slices is one picture and opens where it did.
      if (times > 0 && chosen->orientation == TOrientation::Any &&
          times < static_cast<int>(chosen->imageIndices.size()))
        c.image = chosen->imageIndices[static_cast<size_t>(times)];
      c.seriesUid = chosen->instanceUid;
      c.seriesNumber = chosen->number;
      c.seriesDescription = chosen->description;
      c.studyUid = facts->instanceUid;
      c.modality = chosen->modality;
      c.orientation = chosen->orientation;
      c.viewPosition = chosen->viewPosition;
      c.laterality = chosen->laterality;
    }
  }
  for (int i = 0; i < count; ++i) {
    TCellLayout& c = l.cells[static_cast<size_t>(i)];
    c.row = i / l.cols;
    c.col = i % l.cols;
    if (i < rules) {
      const TCellRule& rule = st.cells[static_cast<size_t>(i)];
      c.role = rule.select.role;
      c.preset = rule.preset;
      c.fit = rule.fit;
      c.align = rule.align;
      c.flipHorizontal = rule.flipHorizontal;
      c.links = rule.links;
    }
  }
  return l;
}

// Rows and columns at the grid's end that nothing fills are dropped: a study
// with fewer series than the protocol foresees gets larger cells, and every
// cell that shows something keeps its row and column (mirrored pairs stay).
void TrimEmptyEnds(TLayout& l) {
  const auto filled = [&l](int row, int col) {
    return !l.cells[static_cast<size_t>(row * l.cols + col)].empty;
  };
  int rows = l.rows, cols = l.cols;
  const auto rowEmpty = [&](int r) {
    for (int c = 0; c < cols; ++c)
      if (filled(r, c)) return false;
    return true;
  };
  const auto colEmpty = [&](int c) {
    for (int r = 0; r < rows; ++r)
      if (filled(r, c)) return false;
    return true;
  };
  while (rows > 1 && rowEmpty(rows - 1)) --rows;
  while (cols > 1 && colEmpty(cols - 1)) --cols;
  if (rows == l.rows && cols == l.cols) return;
  std::vector<TCellLayout> cells;
  cells.reserve(static_cast<size_t>(rows * cols));
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) cells.push_back(l.cells[static_cast<size_t>(r * l.cols + c)]);
  l.rows = rows;
  l.cols = cols;
  l.cells = std::move(cells);
}

}  // namespace

TLayout LayOut(const TProtocol& protocol, int stage, const TStudyFacts& current,
               const TStudyFacts* prior) {
  TLayout l = FullLayout(protocol, stage, current, prior);
  // A stage that finds nothing at all keeps its grid: the user stepped to it.
  if (std::any_of(l.cells.begin(), l.cells.end(), [](const TCellLayout& c) { return !c.empty; }))
    TrimEmptyEnds(l);
  return l;
}

std::string ProtocolJsonOf(const TLayout& layout, const std::string& name,
                           const TStudyFacts& current) {
  using json::Quote;
  std::vector<std::string> modalities;
  std::string bodyPart;
  bool withPrior = false;
  std::string cells;
  // Trailing empty places need not be written: the grid size keeps them.
  size_t last = layout.cells.size();
  while (last > 0 && layout.cells[last - 1].empty) --last;
  for (size_t i = 0; i < last; ++i) {
    const TCellLayout& c = layout.cells[i];
    cells += i ? ",\n        " : "\n        ";
    if (c.empty) {
      cells += "null";
      continue;
    }
    // A layout the window made by hand may name only the series: look it up.
    TCellLayout d = c;
    const bool isCurrent = c.role == TRole::Current;
    const TSeriesFacts* sf = nullptr;
    if (isCurrent)
      for (const TSeriesFacts& s : current.series)
        if (s.series == c.series && s.image == c.image) sf = &s;
    if (sf && d.modality.empty()) {
      d.modality = sf->modality;
      d.orientation = sf->orientation;
      d.viewPosition = sf->viewPosition;
      d.laterality = sf->laterality;
    }
    if (isCurrent && !d.modality.empty() &&
        std::find(modalities.begin(), modalities.end(), d.modality) == modalities.end())
      modalities.push_back(d.modality);
    if (isCurrent && bodyPart.empty() && sf) bodyPart = sf->bodyPart;
    withPrior = withPrior || !isCurrent;
    std::string f = "{\"role\": " + Quote(RoleName(c.role));
    if (!d.modality.empty()) f += ", \"modality\": " + Quote(d.modality);
    if (!Trim(d.seriesDescription).empty()) {
      f += ", \"description\": " + Quote(ExactPattern(d.seriesDescription));
    } else if (isCurrent && d.viewPosition.empty()) {
      f += ", \"seriesNumber\": " + std::to_string(d.seriesNumber);
    }
    if (d.orientation != TOrientation::Any)
      f += ", \"orientation\": " + Quote(OrientationName(d.orientation));
    if (!d.viewPosition.empty()) f += ", \"viewPosition\": " + Quote(d.viewPosition);
    if (!d.laterality.empty()) f += ", \"laterality\": " + Quote(d.laterality);
    if (!c.preset.empty()) f += ", \"preset\": " + Quote(c.preset);
    if (c.fit != TFit::Fit) f += ", \"fit\": " + Quote(FitName(c.fit));
    if (c.align != TAlign::Center) f += ", \"align\": " + Quote(AlignName(c.align));
    if (c.flipHorizontal) f += ", \"flip\": \"horizontal\"";
    if (!c.links.empty()) {
      f += ", \"links\": [";
      for (size_t k = 0; k < c.links.size(); ++k) f += (k ? ", " : "") + Quote(c.links[k]);
      f += "]";
    }
    cells += f + "}";
  }
  if (modalities.empty())
    for (const TSeriesFacts& s : current.series)
      if (std::find(modalities.begin(), modalities.end(), s.modality) == modalities.end())
        modalities.push_back(s.modality);
  std::string match;
  if (!modalities.empty()) {
    match += "\"modality\": [";
    for (size_t k = 0; k < modalities.size(); ++k) match += (k ? ", " : "") + Quote(modalities[k]);
    match += "]";
  }
  if (!bodyPart.empty())
    match +=
        std::string(match.empty() ? "" : ", ") + "\"bodyPart\": " + Quote(ExactPattern(bodyPart));
  if (withPrior) match += std::string(match.empty() ? "" : ", ") + "\"prior\": true";
  std::string out = "{\n  \"name\": " + Quote(Trim(name)) + ",\n  \"match\": {" + match +
                    "},\n  \"stages\": [\n    {\"name\": " +
                    Quote(layout.stageName.empty() ? "Saved layout" : layout.stageName) +
                    ", \"rows\": " + std::to_string(layout.rows) +
                    ", \"cols\": " + std::to_string(layout.cols) + ", \"cells\": [" + cells +
                    (last ? "\n      " : "") + "]}\n  ]\n}";
  return out;
}

}  // namespace hanging
