// Reading protocol files: the schema over the JSON reader, every problem with
// its line, and what can be used kept.
#include "hanging/HangingProtocol.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "hanging/JsonText.h"
#include "hanging/Text.h"

namespace hanging {

using json::TKind;
using json::TValue;

std::string ProblemText(const TProblem& p) {
  if (p.line > 0) return p.file + ":" + std::to_string(p.line) + ": " + p.reason;
  return p.file + ": " + p.reason;
}

const char* RoleName(TRole role) {
  return role == TRole::Prior ? "prior" : "current";
}
const char* FitName(TFit fit) {
  return fit == TFit::OneToOne ? "1:1" : "fit";
}
const char* AlignName(TAlign align) {
  switch (align) {
    case TAlign::Left:
      return "left";
    case TAlign::Right:
      return "right";
    case TAlign::Center:
      break;
  }
  return "center";
}
const char* OrientationName(TOrientation o) {
  switch (o) {
    case TOrientation::Axial:
      return "axial";
    case TOrientation::Coronal:
      return "coronal";
    case TOrientation::Sagittal:
      return "sagittal";
    case TOrientation::Any:
      break;
  }
  return "any";
}

int TProtocol::Specificity() const {
  int n = 0;
  n += !match.modalities.empty();
  n += !match.bodyPart.empty();
  n += !match.studyDescription.empty();
  n += !match.seriesDescription.empty();
  n += match.minImages.has_value();
  n += match.maxImages.has_value();
  n += match.prior.has_value() && *match.prior;
  // Required views do not count: they make a protocol fail where it would
  // not fit, and a user's protocol asking as much as a built-in still wins.
  return n;
}

namespace {

const std::set<std::string> kLinkKinds = {"scroll", "window", "zoom"};

class TSchema {
 public:
  TSchema(std::string source, std::vector<TProblem>& problems)
      : source_(std::move(source)), problems_(problems) {}

  void Problem(int line, std::string reason) {
    problems_.push_back({source_, line, std::move(reason)});
  }
  // A value the selection needs: its problem says what follows from it.
  void Bad(int line, std::string reason) { Problem(line, reason + consequence_); }

  // Unknown keys are reported and ignored; "comment" is welcome anywhere.
  void Unknown(const TValue& obj, std::initializer_list<const char*> known, const char* what) {
    for (const json::TMember& m : obj.members) {
      const std::string& k = m.key;
      if (k == "comment") continue;
      bool ok = false;
      for (const char* kk : known) ok = ok || k == kk;
      if (!ok) Problem(m.line, "unknown key \"" + k + "\" in " + what + " (ignored)");
    }
  }

  // A string, or a list of strings joined by '\' (alternatives).
  bool Codes(const TValue& v, const char* key, std::string* out) {
    if (v.IsString()) {
      *out = Code(v.text);
      return true;
    }
    if (v.IsArray()) {
      std::string joined;
      for (const TValue& it : v.items) {
        if (!it.IsString()) {
          Bad(it.line, std::string("\"") + key + "\" must be a text or a list of texts");
          return false;
        }
        if (!joined.empty()) joined += '\\';
        joined += Code(it.text);
      }
      *out = joined;
      return true;
    }
    Bad(v.line, std::string("\"") + key + "\" must be a text or a list of texts");
    return false;
  }

  bool Pattern(const TValue& v, const char* key, std::string* out) {
    if (!v.IsString()) {
      Bad(v.line, std::string("\"") + key + "\" must be a text (a regular expression)");
      return false;
    }
    const std::string why = PatternProblem(v.text);
    if (!why.empty()) {
      Bad(v.line, std::string("\"") + key + "\": " + why);
      return false;
    }
    *out = v.text;
    return true;
  }

  bool Int(const TValue& v, const char* key, int lo, int hi, int* out) {
    if (!v.IsNumber() || !std::isfinite(v.number) || v.number != std::floor(v.number)) {
      Bad(v.line, std::string("\"") + key + "\" must be a whole number");
      return false;
    }
    if (v.number < lo || v.number > hi) {
      Bad(v.line, std::string("\"") + key + "\" must be between " + std::to_string(lo) + " and " +
                      std::to_string(hi));
      return false;
    }
    *out = static_cast<int>(v.number);
    return true;
  }

  bool Match(const TValue& v, TMatch* m) {
    if (!v.IsObject()) {
      Bad(v.line, "\"match\" must be an object");
      return false;
    }
    Unknown(v,
            {"modality", "bodyPart", "studyDescription", "seriesDescription", "minImages",
             "maxImages", "prior"},
            "\"match\"");
    bool ok = true;
    for (const auto& [k, f, line] : v.members) {
      if (k == "modality") {
        std::string codes;
        ok = Codes(f, "modality", &codes) && ok;
        m->modalities = SplitCodes(codes);
      } else if (k == "bodyPart") {
        ok = Pattern(f, "bodyPart", &m->bodyPart) && ok;
      } else if (k == "studyDescription") {
        ok = Pattern(f, "studyDescription", &m->studyDescription) && ok;
      } else if (k == "seriesDescription") {
        ok = Pattern(f, "seriesDescription", &m->seriesDescription) && ok;
      } else if (k == "minImages" || k == "maxImages") {
        int n = 0;
        if (Int(f, k.c_str(), 0, 1 << 30, &n)) {
          (k == "minImages" ? m->minImages : m->maxImages) = n;
        } else {
          ok = false;
        }
      } else if (k == "prior") {
        if (f.kind == TKind::Bool) {
          m->prior = f.boolean;
        } else {
          Bad(f.line, "\"prior\" must be true or false");
          ok = false;
        }
      }
    }
    return ok;
  }

  // A cell whose selection cannot be read is kept disabled (its place stays
  // empty); a display field that cannot be read is dropped alone.
  TCellRule Cell(const TValue& v) {
    TCellRule c;
    c.select.line = v.line;
    if (v.kind == TKind::Null) {
      c.disabled = true;  // a place deliberately left empty
      return c;
    }
    if (!v.IsObject()) {
      Problem(v.line,
              "a cell must be an object, or null for an empty place (the cell stays empty)");
      c.disabled = true;
      return c;
    }
    Unknown(v,
            {"modality", "description", "orientation", "seriesNumber", "viewPosition", "laterality",
             "role", "preset", "fit", "align", "flip", "links", "required"},
            "a cell");
    bool ok = true;
    consequence_ = " (the cell stays empty)";
    TSeriesSelector& s = c.select;
    for (const auto& [k, f, line] : v.members) {
      if (k == "modality") {
        ok = Codes(f, "modality", &s.modality) && ok;
      } else if (k == "viewPosition") {
        ok = Codes(f, "viewPosition", &s.viewPosition) && ok;
      } else if (k == "laterality") {
        ok = Codes(f, "laterality", &s.laterality) && ok;
        for (const std::string& l : SplitCodes(s.laterality)) {
          if (l != "L" && l != "R" && l != "B" && l != "U") {
            Bad(f.line, "\"laterality\" is L, R, B (both) or U (unpaired), not \"" + l + "\"");
            ok = false;
          }
        }
      } else if (k == "description") {
        ok = Pattern(f, "description", &s.description) && ok;
      } else if (k == "orientation") {
        const std::string o = f.IsString() ? Upper(Trim(f.text)) : "";
        if (o == "AXIAL") {
          s.orientation = TOrientation::Axial;
        } else if (o == "CORONAL") {
          s.orientation = TOrientation::Coronal;
        } else if (o == "SAGITTAL") {
          s.orientation = TOrientation::Sagittal;
        } else if (o == "ANY") {
          s.orientation = TOrientation::Any;
        } else {
          Bad(f.line, "\"orientation\" is \"axial\", \"coronal\", \"sagittal\" or \"any\"");
          ok = false;
        }
      } else if (k == "seriesNumber") {
        int n = 0;
        if (Int(f, "seriesNumber", -(1 << 30), 1 << 30, &n)) {
          s.seriesNumber = n;
        } else {
          ok = false;
        }
      } else if (k == "role") {
        const std::string r = f.IsString() ? Upper(Trim(f.text)) : "";
        if (r == "CURRENT") {
          s.role = TRole::Current;
        } else if (r == "PRIOR") {
          s.role = TRole::Prior;
        } else {
          Bad(f.line, "\"role\" is \"current\" or \"prior\"");
          ok = false;
        }
      } else if (k == "required") {
        if (f.kind == TKind::Bool) {
          c.required = f.boolean;
        } else {
          Bad(f.line, "\"required\" must be true or false");
          ok = false;
        }
      } else if (k == "preset") {
        if (f.IsString()) {
          c.preset = Trim(f.text);
        } else {
          Problem(f.line, "\"preset\" must be a text (ignored)");
        }
      } else if (k == "fit") {
        const std::string t = f.IsString() ? Upper(Trim(f.text)) : "";
        if (t == "FIT") {
          c.fit = TFit::Fit;
        } else if (t == "1:1") {
          c.fit = TFit::OneToOne;
        } else {
          Problem(f.line, "\"fit\" is \"fit\" or \"1:1\" (ignored)");
        }
      } else if (k == "align") {
        const std::string t = f.IsString() ? Upper(Trim(f.text)) : "";
        if (t == "LEFT") {
          c.align = TAlign::Left;
        } else if (t == "RIGHT") {
          c.align = TAlign::Right;
        } else if (t == "CENTER" || t == "CENTRE") {
          c.align = TAlign::Center;
        } else {
          Problem(f.line, "\"align\" is \"left\", \"right\" or \"center\" (ignored)");
        }
      } else if (k == "flip") {
        const std::string t = f.IsString() ? Upper(Trim(f.text)) : "";
        if (t == "HORIZONTAL") {
          c.flipHorizontal = true;
        } else if (t == "NONE" || f.kind == TKind::Null) {
          c.flipHorizontal = false;
        } else {
          Problem(f.line, "\"flip\" is \"horizontal\" or \"none\" (ignored)");
        }
      } else if (k == "links") {
        if (!f.IsArray()) {
          Problem(f.line, "\"links\" must be a list of \"scroll\", \"window\", \"zoom\" (ignored)");
          continue;
        }
        for (const TValue& l : f.items) {
          const std::string t = l.IsString() ? Trim(l.text) : "";
          std::string low;
          for (const char ch : t) low += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + 32 : ch);
          if (!kLinkKinds.count(low)) {
            Problem(l.line, "a link is \"scroll\", \"window\" or \"zoom\" (this one is ignored)");
          } else if (std::find(c.links.begin(), c.links.end(), low) == c.links.end()) {
            c.links.push_back(low);
          }
        }
      }
    }
    c.disabled = !ok;
    return c;
  }

  bool Stage(const TValue& v, int index, TStage* st) {
    if (!v.IsObject()) {
      Problem(v.line, "a stage must be an object (the stage is dropped)");
      return false;
    }
    Unknown(v, {"name", "rows", "cols", "cells"}, "a stage");
    if (const TValue* n = v.Find("name")) {
      if (n->IsString()) {
        st->name = Trim(n->text);
      } else {
        Problem(n->line, "\"name\" of a stage must be a text (ignored)");
      }
    }
    if (st->name.empty()) st->name = "Stage " + std::to_string(index + 1);
    const TValue* cells = v.Find("cells");
    if (!cells || !cells->IsArray()) {
      Problem(cells ? cells->line : v.line,
              "a stage needs \"cells\", a list of cells (the stage is dropped)");
      return false;
    }
    for (const TValue& c : cells->items) st->cells.push_back(Cell(c));
    // Unset sizes follow the cells: 1, 1x2, 2x2, 2x3, 3x3.
    const int n = static_cast<int>(st->cells.size());
    int rows = n <= 2 ? 1 : n <= 6 ? 2 : 3;
    int cols = n <= 1 ? 1 : n == 2 ? 2 : n <= 4 ? 2 : 3;
    auto size = [&](const char* key, int maxv, int* out) {
      const TValue* f = v.Find(key);
      if (!f) return;
      if (!f->IsNumber() || !std::isfinite(f->number) || f->number != std::floor(f->number)) {
        Problem(f->line, std::string("\"") + key + "\" must be a whole number (ignored)");
        return;
      }
      const double want = f->number;
      const int clamped = static_cast<int>(std::clamp(want, 1.0, static_cast<double>(maxv)));
      if (want != clamped)
        Problem(f->line, std::string("\"") + key + "\" is " + json::NumberText(want) +
                             ", but the grid has 1 to " + std::to_string(maxv) + "; " +
                             std::to_string(clamped) + " is used");
      *out = clamped;
    };
    size("rows", kMaxRows, &rows);
    size("cols", kMaxCols, &cols);
    st->rows = rows;
    st->cols = cols;
    if (static_cast<int>(st->cells.size()) > rows * cols) {
      const TValue& extra = cells->items[static_cast<size_t>(rows * cols)];
      Problem(extra.line, std::to_string(st->cells.size()) + " cells do not fit a " +
                              std::to_string(rows) + "x" + std::to_string(cols) +
                              " grid: the cells past the " + std::to_string(rows * cols) +
                              "th are dropped");
      st->cells.resize(static_cast<size_t>(rows * cols));
    }
    return true;
  }

  bool Protocol(const TValue& v, TProtocol* p) {
    p->source = source_;
    p->line = v.line;
    if (!v.IsObject()) {
      Problem(v.line, "a protocol must be an object (dropped)");
      return false;
    }
    Unknown(v, {"name", "match", "stages"}, "a protocol");
    const TValue* name = v.Find("name");
    if (!name || !name->IsString() || Trim(name->text).empty()) {
      Problem(name ? name->line : v.line, "a protocol needs a \"name\" (dropped)");
      return false;
    }
    p->name = Trim(name->text);
    const std::string quoted = "protocol \"" + p->name + "\"";
    if (const TValue* m = v.Find("match")) {
      // A looser match would apply the protocol where it does not belong.
      consequence_ = " (" + quoted + " is dropped)";
      if (!Match(*m, &p->match)) return false;
    }
    const TValue* stages = v.Find("stages");
    if (!stages || !stages->IsArray() || stages->items.empty()) {
      Problem(stages ? stages->line : v.line, quoted + " needs \"stages\", a list (dropped)");
      return false;
    }
    for (const TValue& s : stages->items) {
      TStage st;
      if (Stage(s, static_cast<int>(p->stages.size()), &st)) p->stages.push_back(std::move(st));
    }
    if (p->stages.empty()) {
      Problem(stages->line, quoted + " has no stage that can be used (dropped)");
      return false;
    }
    return true;
  }

 private:
  std::string source_;
  std::vector<TProblem>& problems_;
  std::string consequence_;
};

}  // namespace

TProtocolSet ParseProtocols(const std::string& text, const std::string& source) {
  TProtocolSet set;
  const json::TJsonResult doc = json::ParseJson(text);
  TSchema schema(source, set.problems);
  for (const json::TJsonIssue& i : doc.issues)
    schema.Problem(i.line, i.fatal ? "syntax error: " + i.reason : i.reason);
  const TValue& root = doc.root;
  if (!root.IsObject()) {
    if (doc.complete)
      schema.Problem(root.line, "the file must hold an object: {\"protocols\": [...]}");
    return set;
  }
  schema.Unknown(root, {"protocols"}, "the file");
  const TValue* list = root.Find("protocols");
  if (!list || !list->IsArray()) {
    if (doc.complete)
      schema.Problem(list ? list->line : root.line, "the file needs \"protocols\", a list");
    return set;
  }
  std::set<std::string> names;
  for (const TValue& v : list->items) {
    TProtocol p;
    if (!schema.Protocol(v, &p)) continue;
    if (!names.insert(Upper(p.name)).second) {
      schema.Problem(v.line,
                     "a second protocol named \"" + p.name + "\" (dropped; the first is used)");
      continue;
    }
    set.protocols.push_back(std::move(p));
  }
  // In the order of the file, as its author reads it.
  std::stable_sort(set.problems.begin(), set.problems.end(),
                   [](const TProblem& a, const TProblem& b) { return a.line < b.line; });
  return set;
}

std::string UserProtocolsPath() {
  return ConfigFilePath("hanging-protocols.json");
}

TProtocolSet LoadProtocols(const std::string& userFile) {
  TProtocolSet out;
  const TProtocolSet& builtIn = BuiltInProtocols();
  std::set<std::string> userNames;
  if (!userFile.empty()) {
    std::string text, why;
    bool missing = false;
    if (ReadSmallFile(userFile, json::kMaxJsonBytes, &text, &missing, &why)) {
      TProtocolSet user = ParseProtocols(text, userFile);
      for (TProtocol& p : user.protocols) {
        userNames.insert(Upper(p.name));
        out.protocols.push_back(std::move(p));
      }
      out.problems = std::move(user.problems);
    } else if (!missing) {
      out.problems.push_back({userFile, 0, why});
    }
  }
  for (const TProtocol& p : builtIn.protocols)
    if (!userNames.count(Upper(p.name))) out.protocols.push_back(p);
  return out;
}

}  // namespace hanging
