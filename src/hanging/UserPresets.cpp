// The user's own window presets: a short JSON list, bad entries reported by
// line and skipped.
#include "hanging/UserPresets.h"

#include <cmath>
#include <set>

#include "hanging/JsonText.h"
#include "hanging/Text.h"

namespace hanging {

std::string UserPresetsPath() {
  return ConfigFilePath("window-presets.json");
}

TUserPresets ParseUserPresets(const std::string& text, const std::string& source) {
  TUserPresets out;
  auto problem = [&](int line, std::string reason) {
    out.problems.push_back({source, line, std::move(reason)});
  };
  const json::TJsonResult doc = json::ParseJson(text);
  for (const json::TJsonIssue& i : doc.issues)
    problem(i.line, i.fatal ? "syntax error: " + i.reason : i.reason);
  if (!doc.root.IsObject()) {
    if (doc.complete) problem(doc.root.line, "the file must hold an object: {\"presets\": [...]}");
    return out;
  }
  for (const json::TMember& m : doc.root.members)
    if (m.key != "presets" && m.key != "comment")
      problem(m.line, "unknown key \"" + m.key + "\" in the file (ignored)");
  const json::TValue* list = doc.root.Find("presets");
  if (!list || !list->IsArray()) {
    if (doc.complete)
      problem(list ? list->line : doc.root.line, "the file needs \"presets\", a list");
    return out;
  }
  std::set<std::pair<std::string, std::string>> seen;
  for (const json::TValue& v : list->items) {
    if (!v.IsObject()) {
      problem(v.line, "a preset must be an object (skipped)");
      continue;
    }
    for (const json::TMember& m : v.members) {
      const std::string& k = m.key;
      if (k != "modality" && k != "name" && k != "ww" && k != "wl" && k != "comment")
        problem(m.line, "unknown key \"" + k + "\" in a preset (ignored)");
    }
    const json::TValue* m = v.Find("modality");
    const json::TValue* n = v.Find("name");
    const json::TValue* ww = v.Find("ww");
    const json::TValue* wl = v.Find("wl");
    TUserPreset p;
    if (!m || !m->IsString() || Code(m->text).empty()) {
      problem(v.line, "a preset needs a \"modality\" text (skipped)");
      continue;
    }
    if (!n || !n->IsString() || Trim(n->text).empty()) {
      problem(v.line, "a preset needs a \"name\" text (skipped)");
      continue;
    }
    p.modality = Code(m->text);
    p.name = Trim(n->text);
    if (!ww || !ww->IsNumber() || !std::isfinite(ww->number) || ww->number <= 0) {
      problem(ww ? ww->line : v.line,
              "preset \"" + p.name + "\" needs \"ww\", a width above 0 (skipped)");
      continue;
    }
    if (!wl || !wl->IsNumber() || !std::isfinite(wl->number)) {
      problem(wl ? wl->line : v.line, "preset \"" + p.name + "\" needs \"wl\", a level (skipped)");
      continue;
    }
    p.ww = ww->number;
    p.wl = wl->number;
    if (!seen.insert({p.modality, Upper(p.name)}).second) {
      problem(v.line, "a second " + p.modality + " preset named \"" + p.name +
                          "\" (skipped; the first is used)");
      continue;
    }
    out.presets.push_back(std::move(p));
  }
  return out;
}

TUserPresets LoadUserPresets(const std::string& file) {
  std::string text, why;
  bool missing = false;
  if (!ReadSmallFile(file, json::kMaxJsonBytes, &text, &missing, &why)) {
    TUserPresets out;
    if (!missing) out.problems.push_back({file, 0, why});
    return out;
  }
  return ParseUserPresets(text, file);
}

std::string UserPresetsJson(const std::vector<TUserPreset>& presets) {
  std::string out = "{\n  \"presets\": [";
  for (size_t i = 0; i < presets.size(); ++i) {
    const TUserPreset& p = presets[i];
    out += i ? ",\n    " : "\n    ";
    out += "{\"modality\": " + json::Quote(Code(p.modality)) +
           ", \"name\": " + json::Quote(Trim(p.name)) + ", \"ww\": " + json::NumberText(p.ww) +
           ", \"wl\": " + json::NumberText(p.wl) + "}";
  }
  out += presets.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

bool SaveUserPresets(const std::string& file, const std::vector<TUserPreset>& presets,
                     std::string* why) {
  std::string ignored;
  if (!why) why = &ignored;
  for (const TUserPreset& p : presets) {
    if (Code(p.modality).empty() || Trim(p.name).empty() || !std::isfinite(p.ww) || p.ww <= 0 ||
        !std::isfinite(p.wl)) {
      *why = "preset \"" + p.name + "\" needs a modality, a name, a width above 0 and a level";
      return false;
    }
  }
  return WriteConfigFile(file, UserPresetsJson(presets), why);
}

std::vector<TUserPreset> PresetsFor(const std::vector<TUserPreset>& presets,
                                    const std::string& modality) {
  std::vector<TUserPreset> out;
  const std::string m = Code(modality);
  for (const TUserPreset& p : presets)
    if (Code(p.modality) == m) out.push_back(p);
  return out;
}

}  // namespace hanging
