// tavrolen-dicom query: the matches of a search on a PACS, at the patient,
// study, series or instance level, over DIMSE (C-FIND) or DICOMweb (QIDO-RS).
#ifdef TAVROLEN_WITH_QT

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "net/PacsClient.h"
#include "pacs_options.h"

namespace {

int Fail(const std::string& text) {
  std::fprintf(stderr, "tavrolen-dicom query: %s\n", text.c_str());
  return 1;
}

int Usage(const std::string& text) {
  Fail(text);
  return 2;
}

void PrintTable(const std::vector<std::string>& keys, const std::vector<TQueryRow>& rows) {
  std::vector<size_t> width(keys.size());
  for (size_t c = 0; c < keys.size(); ++c) {
    width[c] = keys[c].size();
    for (const TQueryRow& r : rows) width[c] = std::max(width[c], r.Get(keys[c]).size());
  }
  auto line = [&](auto cell) {
    std::string out;
    for (size_t c = 0; c < keys.size(); ++c) {
      std::string v = cell(c);
      if (c + 1 < keys.size()) v.resize(width[c] + 2, ' ');
      out += v;
    }
    std::printf("%s\n", out.c_str());
  };
  line([&](size_t c) { return keys[c]; });
  for (const TQueryRow& r : rows) line([&](size_t c) { return r.Get(keys[c]); });
}

int Run(const std::vector<std::string>& args) {
  cli::PacsOptions options;
  std::string levelText;
  std::vector<TQueryKey> keys;
  bool json = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string why;
    if (cli::TakePacsOption(args, i, options, why)) {
      if (!why.empty()) return Usage(why);
      continue;
    }
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--level" || a == "-k") {
      if (i + 1 >= args.size()) return Usage(a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--level") {
        levelText = v;
      } else {
        TQueryKey key;
        if (!ParseQueryKey(v, key, why)) return Usage("-k " + v + ": " + why);
        keys.push_back(key);
      }
    } else {
      return Usage("unknown option " + a);
    }
  }
  TQueryLevel level;
  if (levelText.empty()) return Usage("--level is required (patient, study, series or instance)");
  if (!ParseQueryLevel(levelText, level))
    return Usage("--level must be patient, study, series or instance, not " + levelText);
  if (options.movePort) return Usage("--move-port belongs to retrieve");
  TPacsServer server;
  std::string why;
  bool usage = false;
  if (!cli::ResolveServer(options, server, why, usage)) return usage ? Usage(why) : Fail(why);

  cli::EnsureQtCore();
  std::unique_ptr<TPacsClient> client = MakePacsClient(server);
  std::vector<TQueryRow> rows;
  if (!client->Find(level, keys, rows, why)) return Fail(why);

  const std::vector<std::string> returnKeys = ReturnKeys(level, keys);
  if (json) {
    QJsonArray out;
    for (const TQueryRow& r : rows) {
      QJsonObject o;
      for (const auto& [k, v] : r.fields)
        o.insert(QString::fromStdString(k), QString::fromStdString(v));
      out.append(o);
    }
    std::fputs(QJsonDocument(out).toJson(QJsonDocument::Indented).constData(), stdout);
  } else {
    PrintTable(returnKeys, rows);
  }
  return 0;
}

cli::Register reg(
    "query",
    "query --server S [--servers FILE] [--calling-ae AE] [--user NAME[:PASSWORD]] "
    "--level patient|study|series|instance -k KEY=VALUE... [--json]  "
    "(S: dicom://AE@HOST:PORT, dicomweb+http(s)://HOST:PORT/PATH/, or a name in FILE)",
    Run);

}  // namespace

#endif
