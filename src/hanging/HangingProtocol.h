// Hanging protocols: for a study (and its prior), the grid, which series goes
// in which cell, and how each cell starts (window preset, fit or 1:1, links).
//
// A protocol file is JSON (schema in docs/hanging-protocols.md). The built-in
// protocols are written in the same schema and read by the same parser, so a
// user's file can copy one and change it. Reading never throws: every problem
// is returned with its file, line and reason, and what can still be used is
// kept (one bad protocol drops only itself; one bad cell only its cell).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "dicom/define_types.h"

namespace hanging {

// The grid never grows past what the viewer offers.
inline constexpr int kMaxRows = 3;
inline constexpr int kMaxCols = 3;

struct TProblem {
  std::string file;  // "built-in" for the built-in protocols
  int line = 0;      // 1-based; 0 when the problem concerns the whole file
  std::string reason;
};
// "file:line: reason" (or "file: reason" when line is 0).
std::string ProblemText(const TProblem& p);

enum class TRole { Current, Prior };
enum class TFit { Fit, OneToOne };
enum class TOrientation { Any, Axial, Coronal, Sagittal };
// Which side of its cell an image keeps to: mammograms hang back to back
// (right breast's chest wall on the right of its cell, left on the left).
enum class TAlign { Center, Left, Right };

// Which series a cell shows. Empty texts and unset numbers match anything;
// texts are compared without regard to case, patterns are ECMAScript regular
// expressions searched in the value (case-insensitive).
struct TSeriesSelector {
  TRole role = TRole::Current;
  // Codes (modality, view position, laterality) may list alternatives
  // separated by a backslash as DICOM values do: "CR\DX" takes either.
  std::string modality;                          // "CT", "MR", ...; empty: any
  std::string description;                       // pattern on Series Description
  TOrientation orientation = TOrientation::Any;  // of the series' first image
  std::optional<int> seriesNumber;
  std::string viewPosition;  // (0018,5101): "PA", "AP", "LL", "RL", "CC", "MLO", ...
  std::string laterality;    // "L" or "R": image laterality, else the series'
  int line = 0;              // where the cell was written
};

struct TCellRule {
  TSeriesSelector select;
  std::string preset;  // window preset name; empty: the image's own window
  TFit fit = TFit::Fit;
  TAlign align = TAlign::Center;
  bool flipHorizontal = false;
  // Link kinds this cell takes part in: "scroll", "window", "zoom". Cells of
  // one stage that share a kind are linked for it.
  std::vector<std::string> links;
  // The protocol applies only when this cell finds a series ("a 4-view needs
  // all four views").
  bool required = false;
  // A cell whose rule could not be read: it keeps its place and shows nothing,
  // rather than showing whatever a looser rule would take.
  bool disabled = false;
};

struct TStage {
  std::string name;
  int rows = 1, cols = 1;
  std::vector<TCellRule> cells;  // row by row; fewer than rows x cols leaves the rest empty
};

// What a study must hold for the protocol to apply. Unset fields match anything.
struct TMatch {
  std::vector<std::string> modalities;      // the study holds a series of one of them
  std::string bodyPart;                     // pattern on any series' Body Part Examined
  std::string studyDescription;             // pattern on Study Description
  std::string seriesDescription;            // pattern on any series' description
  std::optional<int> minImages, maxImages;  // images in the study
  std::optional<bool> prior;                // a prior must be there (true) or not (false)
};

struct TProtocol {
  std::string name;
  std::string source;  // "built-in" or the file it came from
  int line = 0;
  TMatch match;
  std::vector<TStage> stages;  // at least one
  // How many of the match's fields were given: the more a protocol asks, the
  // better it fits when it matches.
  int Specificity() const;
};

struct TProtocolSet {
  std::vector<TProtocol> protocols;  // user protocols first, in file order, then built-ins
  std::vector<TProblem> problems;
};

// Parses protocols from JSON text; `source` names it in problems and in
// TProtocol::source.
TProtocolSet ParseProtocols(const std::string& json, const std::string& source);
// The built-in protocols (CT and MR with and without a prior, chest X-ray PA
// and lateral with the prior, mammography 4-view with the prior, ultrasound).
const TProtocolSet& BuiltInProtocols();
// The JSON text of the built-ins, as documented.
const std::string& BuiltInProtocolsJson();

// $XDG_CONFIG_HOME/tavrolen-viewer/hanging-protocols.json ($HOME/.config when unset).
std::string UserProtocolsPath();
// The user's file (a missing file is no problem) merged over the built-ins:
// a user protocol named like a built-in replaces it.
TProtocolSet LoadProtocols(const std::string& userFile);

// ---- what a study holds, as protocols see it ---------------------------------------------

struct TSeriesFacts {
  int patient = -1, study = -1, series = -1;  // indices in the tree
  std::string instanceUid;
  int number = 0;
  std::string modality;
  std::string description;
  std::string bodyPart;
  std::string frameOfReference;
  TOrientation orientation = TOrientation::Any;
  std::string viewPosition;
  std::string laterality;
  int images = 0;
  // A series whose images show different views (a mammography series holding
  // all four) is one entry per view: `image` is the view's first image in the
  // series and `images` counts that view's images.
  int image = 0;
  std::vector<int> imageIndices;  // the view's images, in series order
};

struct TStudyFacts {
  int patient = -1, study = -1;
  std::string instanceUid;
  std::string date;  // YYYYMMDD ("" when unknown)
  std::string time;  // HHMMSS
  std::string description;
  std::vector<TSeriesFacts> series;  // series with images, in tree order
  int images = 0;
};

TStudyFacts FactsOf(const TPatientArr& patients, int patient, int study);

// ---- choosing and laying out ----------------------------------------------------------

// The protocols that match `current` (with `prior` present or not), best
// first: more specific first, then the user's before the built-ins, then in
// file order. Keys step through this list.
std::vector<const TProtocol*> MatchingProtocols(const TProtocolSet& set, const TStudyFacts& current,
                                                const TStudyFacts* prior);

struct TCellLayout {
  int row = 0, col = 0;
  bool empty = true;  // no series matched the cell's rule
  TRole role = TRole::Current;
  int patient = -1, study = -1, series = -1;
  int image = 0;  // the image the cell opens at (a view within a series)
  std::string seriesUid;
  int seriesNumber = 0;
  std::string seriesDescription;
  std::string studyUid;
  // What the series is, for saving a layout as a protocol.
  std::string modality;
  TOrientation orientation = TOrientation::Any;
  std::string viewPosition, laterality;
  std::string preset;
  TFit fit = TFit::Fit;
  TAlign align = TAlign::Center;
  bool flipHorizontal = false;
  std::vector<std::string> links;
};

struct TLayout {
  const TProtocol* protocol = nullptr;
  int stage = 0, stageCount = 0;
  std::string stageName;
  int rows = 1, cols = 1;
  std::vector<TCellLayout> cells;  // rows x cols, row by row
};

// Lays out `stage` of `protocol`. Each cell takes the first series its rule
// selects that no earlier cell of the stage took (a series may be shown twice
// only when no other fits; a series of projection images shown again opens at
// its next image, so one ultrasound series fills a grid with its first
// images; a stack of slices is shown again only under another preset).
// Rows and columns at the grid's end that no series fills are dropped. A prior's cell prefers the
// series described like the one its current counterpart (the current cell with the same rule) took.
TLayout LayOut(const TProtocol& protocol, int stage, const TStudyFacts& current,
               const TStudyFacts* prior);

const char* RoleName(TRole role);             // "current", "prior"
const char* FitName(TFit fit);                // "fit", "1:1"
const char* AlignName(TAlign align);          // "center", "left", "right"
const char* OrientationName(TOrientation o);  // "any", "axial", "coronal", "sagittal"

// The JSON of one protocol that reproduces `layout` as it stands (what
// "Save Layout as Protocol" appends to the user's file).
std::string ProtocolJsonOf(const TLayout& layout, const std::string& name,
                           const TStudyFacts& current);
// Adds (or replaces by name) `protocolJson` in the user's file, written
// safely (temporary file renamed over it). False with *why on failure; the
// file is then as it was.
bool SaveUserProtocol(const std::string& userFile, const std::string& protocolJson,
                      std::string* why);

}  // namespace hanging
