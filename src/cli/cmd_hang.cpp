// tavrolen-dicom hang PATH... [--protocols FILE] [--json] [--stage N]
// [--built-ins]: the hanging protocol the viewer would choose for what PATH
// holds, and the layout cell by cell, so scripts and tests see what the
// window would do. The current study is the first patient's newest; its prior
// is the one the viewer would compare with.
#ifdef TAVROLEN_WITH_STUDY

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "dicom/StudyTree.h"
#include "hanging/HangingProtocol.h"
#include "hanging/Priors.h"
#include "json.h"
#include "study/StudyLoad.h"

namespace {

constexpr const char* kUsage =
    "usage: tavrolen-dicom hang PATH... [--protocols FILE] [--json] [--stage N] | hang "
    "--built-ins\n";

using hanging::TCellLayout;
using hanging::TLayout;

// The tree keeps UIDs with blanks for dots, as the reader makes them.
std::string Uid(std::string uid) {
  while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\0')) uid.pop_back();
  for (char& c : uid)
    if (c == ' ') c = '.';
  return uid;
}

const char* IdentityName(hanging::TIdentity i) {
  switch (i) {
    case hanging::TIdentity::Same:
      return "same";
    case hanging::TIdentity::OtherId:
      return "otherId";
    case hanging::TIdentity::OtherIssuer:
      return "otherIssuer";
    case hanging::TIdentity::OtherName:
      return "otherName";
    case hanging::TIdentity::Unrelated:
      break;
  }
  return "unrelated";
}

// Without a protocol the window shows the study's first series in one cell.
TLayout DefaultLayout(const hanging::TStudyFacts& current) {
  TLayout l;
  l.stageCount = 1;
  TCellLayout c;
  if (!current.series.empty()) {
    const hanging::TSeriesFacts& s = current.series.front();
    c.empty = false;
    c.patient = s.patient;
    c.study = s.study;
    c.series = s.series;
    c.image = s.image;
    c.seriesUid = s.instanceUid;
    c.seriesNumber = s.number;
    c.seriesDescription = s.description;
    c.studyUid = current.instanceUid;
    c.modality = s.modality;
  }
  l.cells.push_back(c);
  return l;
}

std::string Links(const std::vector<std::string>& links) {
  std::string out;
  for (const std::string& l : links) out += (out.empty() ? "" : ",") + l;
  return out.empty() ? "-" : out;
}

struct THang {
  std::string patientName, patientId, issuer;
  hanging::TStudyFacts current;
  bool hasPrior = false;
  hanging::TPrior prior;
  hanging::TStudyFacts priorFacts;
  std::vector<const hanging::TProtocol*> matching;
  TLayout layout;
  std::vector<hanging::TProblem> problems;
};

void StudyJson(cli::JsonWriter& j, const hanging::TStudyFacts& s) {
  j.Field("studyUid", Uid(s.instanceUid))
      .Field("date", s.date)
      .Field("time", s.time)
      .Field("description", s.description)
      .Field("series", static_cast<int>(s.series.size()))
      .Field("images", s.images);
}

std::string Json(const THang& h) {
  cli::JsonWriter j;
  j.BeginObject();
  j.Key("patient")
      .BeginObject()
      .Field("name", h.patientName)
      .Field("id", h.patientId)
      .Field("issuer", h.issuer)
      .EndObject();
  j.Key("current").BeginObject();
  StudyJson(j, h.current);
  j.EndObject();
  j.Key("prior");
  if (h.hasPrior) {
    j.BeginObject();
    StudyJson(j, h.priorFacts);
    j.Field("identity", IdentityName(h.prior.identity)).Field("warning", h.prior.warning);
    j.EndObject();
  } else {
    j.Null();
  }
  j.Key("protocol");
  if (h.layout.protocol) {
    j.BeginObject()
        .Field("name", h.layout.protocol->name)
        .Field("source", h.layout.protocol->source)
        .EndObject();
  } else {
    j.Null();
  }
  j.Key("matching").BeginArray();
  for (const hanging::TProtocol* p : h.matching)
    j.BeginObject().Field("name", p->name).Field("source", p->source).EndObject();
  j.EndArray();
  j.Field("stage", h.layout.stage + 1)
      .Field("stageCount", h.layout.stageCount)
      .Field("stageName", h.layout.stageName)
      .Field("rows", h.layout.rows)
      .Field("cols", h.layout.cols);
  j.Key("cells").BeginArray();
  for (const TCellLayout& c : h.layout.cells) {
    j.BeginObject().Field("row", c.row + 1).Field("col", c.col + 1).Field("empty", c.empty);
    if (!c.empty)
      j.Field("seriesUid", Uid(c.seriesUid))
          .Field("seriesNumber", c.seriesNumber)
          .Field("seriesDescription", c.seriesDescription)
          .Field("image", c.image + 1)
          .Field("studyUid", Uid(c.studyUid))
          .Field("modality", c.modality)
          .Field("viewPosition", c.viewPosition)
          .Field("laterality", c.laterality);
    j.Field("role", hanging::RoleName(c.role))
        .Field("preset", c.preset)
        .Field("fit", hanging::FitName(c.fit))
        .Field("align", hanging::AlignName(c.align))
        .Field("flip", c.flipHorizontal ? "horizontal" : "none")
        .Field("links", c.links)
        .EndObject();
  }
  j.EndArray();
  j.Key("problems").BeginArray();
  for (const hanging::TProblem& p : h.problems)
    j.BeginObject()
        .Field("file", p.file)
        .Field("line", p.line)
        .Field("reason", p.reason)
        .EndObject();
  j.EndArray();
  j.EndObject();
  return j.str() + "\n";
}

std::string Text(const THang& h) {
  auto study = [](const hanging::TStudyFacts& s) {
    return Uid(s.instanceUid) + "  " + (s.date.empty() ? "(no date)" : s.date) + "  \"" +
           s.description + "\"  " + std::to_string(s.series.size()) + " series, " +
           std::to_string(s.images) + " images";
  };
  std::string out = "Patient: " + h.patientName + " [" + h.patientId +
                    (h.issuer.empty() ? "" : ", issuer " + h.issuer) + "]\n";
  out += "Current study: " + study(h.current) + "\n";
  if (h.hasPrior) {
    out += "Prior study: " + study(h.priorFacts) + "\n";
    if (!h.prior.warning.empty()) out += "Warning: prior " + h.prior.warning + "\n";
  } else {
    out += "Prior study: none\n";
  }
  if (h.layout.protocol) {
    out += "Protocol: " + h.layout.protocol->name + " (" + h.layout.protocol->source + ")\n";
    if (h.matching.size() > 1) {
      out += "Also matching:";
      for (size_t i = 1; i < h.matching.size(); ++i)
        out += std::string(i > 1 ? "," : "") + " " + h.matching[i]->name;
      out += "\n";
    }
  } else {
    out += "Protocol: none matched; default layout\n";
  }
  out += "Stage " + std::to_string(h.layout.stage + 1) + " of " +
         std::to_string(h.layout.stageCount) +
         (h.layout.stageName.empty() ? "" : ": " + h.layout.stageName) + "\n";
  out += "Grid: " + std::to_string(h.layout.rows) + "x" + std::to_string(h.layout.cols) + "\n";
  for (const TCellLayout& c : h.layout.cells) {
    out += "Cell " + std::to_string(c.row + 1) + "," + std::to_string(c.col + 1) + ": ";
    if (c.empty) {
      out += "empty\n";
      continue;
    }
    out += std::string(hanging::RoleName(c.role)) + "  series " + Uid(c.seriesUid) + "  #" +
           std::to_string(c.seriesNumber) + " \"" + c.seriesDescription + "\"";
    if (c.image > 0) out += "  image " + std::to_string(c.image + 1);
    out += "  study " + Uid(c.studyUid) + "  preset " + (c.preset.empty() ? "-" : c.preset) + "  " +
           hanging::FitName(c.fit) + "  align " + hanging::AlignName(c.align) +
           (c.flipHorizontal ? "  flip horizontal" : "") + "  links " + Links(c.links) + "\n";
  }
  return out;
}

int Hang(const std::vector<std::string>& args) {
  std::vector<std::string> paths;
  std::string protocols;
  bool json = false, protocolsGiven = false, builtIns = false;
  int stage = 1;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--built-ins") {
      builtIns = true;
    } else if (a == "--protocols" && i + 1 < args.size()) {
      protocols = args[++i];
      protocolsGiven = true;
    } else if (a == "--stage" && i + 1 < args.size()) {
      char* end = nullptr;
      const long n = std::strtol(args[++i].c_str(), &end, 10);
      if (!end || *end || n < 1 || n > 100) {
        std::fprintf(stderr, "tavrolen-dicom hang: --stage takes a number from 1\n");
        return 2;
      }
      stage = static_cast<int>(n);
    } else if (!a.empty() && a[0] != '-') {
      paths.push_back(a);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (builtIns) {
    const std::string& text = hanging::BuiltInProtocolsJson();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (paths.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::error_code ec;
  for (const std::string& p : paths) {
    if (!std::filesystem::exists(p, ec)) {
      std::fprintf(stderr, "tavrolen-dicom hang: %s: no such file or folder\n", p.c_str());
      return 1;
    }
  }
  if (protocolsGiven && !std::filesystem::is_regular_file(protocols, ec)) {
    std::fprintf(stderr, "tavrolen-dicom hang: %s: no such protocol file\n", protocols.c_str());
    return 1;
  }
  for (const std::string& p : paths) LoadPath(p);

  THang h;
  const hanging::TProtocolSet set =
      hanging::LoadProtocols(protocolsGiven ? protocols : hanging::UserProtocolsPath());
  h.problems = set.problems;
  for (const hanging::TProblem& p : h.problems)
    std::fprintf(stderr, "%s\n", hanging::ProblemText(p).c_str());
  {
    std::lock_guard lock(gPatientsMutex);
    int patient = -1, study = -1;
    for (size_t i = 0; i < gPatients.size() && patient < 0; ++i) {
      const int s = hanging::CurrentStudyOf(gPatients[i]);
      if (s >= 0 && !hanging::FactsOf(gPatients, static_cast<int>(i), s).series.empty()) {
        patient = static_cast<int>(i);
        study = s;
      }
    }
    if (patient < 0) {
      std::fprintf(stderr, "tavrolen-dicom hang: no images to lay out\n");
      return 1;
    }
    const TPatient& p = gPatients[static_cast<size_t>(patient)];
    h.patientName = p.patientName;
    h.patientId = p.patintID;
    h.issuer = p.issuer;
    h.current = hanging::FactsOf(gPatients, patient, study);
    const std::vector<hanging::TPrior> priors = hanging::FindPriors(gPatients, patient, study);
    const int k = hanging::PreferredPrior(gPatients, patient, study, priors);
    if (k >= 0) {
      h.prior = priors[static_cast<size_t>(k)];
      h.priorFacts = hanging::FactsOf(gPatients, h.prior.patient, h.prior.study);
      h.hasPrior = !h.priorFacts.series.empty();
    }
  }
  if (h.hasPrior && !h.prior.warning.empty())
    std::fprintf(stderr, "warning: prior study %s: %s\n", Uid(h.prior.instanceUid).c_str(),
                 h.prior.warning.c_str());
  const hanging::TStudyFacts* prior = h.hasPrior ? &h.priorFacts : nullptr;
  h.matching = hanging::MatchingProtocols(set, h.current, prior);
  if (h.matching.empty()) {
    h.layout = DefaultLayout(h.current);
  } else {
    const hanging::TProtocol& chosen = *h.matching.front();
    if (stage > static_cast<int>(chosen.stages.size())) {
      std::fprintf(stderr, "tavrolen-dicom hang: protocol \"%s\" has %zu stage(s)\n",
                   chosen.name.c_str(), chosen.stages.size());
      return 2;
    }
    h.layout = hanging::LayOut(chosen, stage - 1, h.current, prior);
  }
  const std::string out = json ? Json(h) : Text(h);
  std::fwrite(out.data(), 1, out.size(), stdout);
  // As scan: the tree is not freed record by record on the way out.
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  std::_Exit(written ? 0 : 1);
}

cli::Register hangCommand("hang",
                          "hang PATH... [--protocols FILE] [--json] [--stage N] [--built-ins]     "
                          "the hanging protocol and layout the viewer chooses for the first "
                          "patient's newest study and its prior",
                          Hang);

}  // namespace

#endif  // TAVROLEN_WITH_STUDY
