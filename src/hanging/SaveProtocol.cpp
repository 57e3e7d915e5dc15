// Saving a layout as a protocol: the user's file is changed in place, so the
// rest of it (other protocols, their order, spacing) stays byte for byte.
#include <string>

#include "hanging/HangingProtocol.h"
#include "hanging/JsonText.h"
#include "hanging/Text.h"

namespace hanging {

namespace {

// Indents every line after the first, to sit inside the protocols list.
std::string Indented(const std::string& text, const std::string& pad) {
  std::string out;
  for (const char c : text) {
    out += c;
    if (c == '\n') out += pad;
  }
  return out;
}

}  // namespace

bool SaveUserProtocol(const std::string& userFile, const std::string& protocolJson,
                      std::string* why) {
  std::string ignored;
  if (!why) why = &ignored;
  // The new protocol must read back cleanly, or saving it would break the file.
  const TProtocolSet fresh =
      ParseProtocols("{\"protocols\": [" + protocolJson + "]}", "new protocol");
  if (!fresh.problems.empty() || fresh.protocols.size() != 1) {
    *why = fresh.problems.empty()
               ? "the protocol to save is empty"
               : "the protocol to save is not valid: " + ProblemText(fresh.problems.front());
    return false;
  }
  const std::string name = Upper(fresh.protocols.front().name);

  std::string text, readWhy;
  bool missing = false;
  if (!ReadSmallFile(userFile, json::kMaxJsonBytes, &text, &missing, &readWhy)) {
    if (!missing) {
      *why = userFile + ": " + readWhy + "; nothing was written";
      return false;
    }
    text = "{\n  \"protocols\": [\n  ]\n}\n";
  }
  const json::TJsonResult doc = json::ParseJson(text);
  for (const json::TJsonIssue& i : doc.issues) {
    if (!i.fatal) continue;
    // Rewriting a file that does not parse would lose what its author wrote.
    *why = ProblemText({userFile, i.line, "syntax error: " + i.reason}) +
           "; fix the file first: nothing was written";
    return false;
  }
  if (!doc.root.IsObject()) {
    *why = userFile + ": the file does not hold an object; nothing was written";
    return false;
  }
  const std::string entry = Indented(protocolJson, "    ");
  const json::TValue* list = doc.root.Find("protocols");
  std::string out;
  if (!list) {
    // An object without the list: the list goes first.
    const size_t open = doc.root.begin + 1;
    out = text.substr(0, open) + "\n  \"protocols\": [\n    " + entry + "\n  ]" +
          (doc.root.members.empty() ? "\n" : ",") + text.substr(open);
  } else if (!list->IsArray()) {
    *why = ProblemText({userFile, list->line, "\"protocols\" is not a list"}) +
           "; nothing was written";
    return false;
  } else {
    const json::TValue* same = nullptr;
    for (const json::TValue& p : list->items) {
      const json::TValue* n = p.IsObject() ? p.Find("name") : nullptr;
      if (n && n->IsString() && Upper(Trim(n->text)) == name) {
        same = &p;
        break;
      }
    }
    if (same) {
      out = text.substr(0, same->begin) + entry + text.substr(same->end);
    } else if (list->items.empty()) {
      out =
          text.substr(0, list->begin + 1) + "\n    " + entry + "\n  " + text.substr(list->end - 1);
    } else {
      const size_t at = list->items.back().end;
      out = text.substr(0, at) + ",\n    " + entry + text.substr(at);
    }
  }
  if (!WriteConfigFile(userFile, out, why)) return false;
  return true;
}

}  // namespace hanging
