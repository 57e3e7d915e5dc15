// Protocol and preset files on arbitrary text, then what a parsed file is
// used for: choosing, laying out and writing a layout back as a protocol.
#include <cstddef>
#include <cstdint>
#include <string>

#include "hanging/HangingProtocol.h"
#include "hanging/UserPresets.h"

namespace {

hanging::TStudyFacts Facts(int study) {
  hanging::TStudyFacts s;
  s.patient = 0;
  s.study = study;
  s.instanceUid = "1.2." + std::to_string(study);
  s.description = "CT THORAX ABDOMEN";
  const char* modalities[] = {"CT", "CT", "MR", "MG", "MG", "CR", "US"};
  const char* views[] = {"", "", "", "CC", "MLO", "PA", ""};
  const char* sides[] = {"", "", "", "R", "L", "", ""};
  for (int i = 0; i < 7; ++i) {
    hanging::TSeriesFacts f;
    f.patient = 0;
    f.study = study;
    f.series = i;
    f.number = i + 1;
    f.modality = modalities[i];
    f.description = i % 2 ? "Axial T2 lung 1.25mm aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" : "";
    f.bodyPart = "CHEST";
    f.orientation = static_cast<hanging::TOrientation>(i % 4);
    f.viewPosition = views[i];
    f.laterality = sides[i];
    f.images = 2;
    f.imageIndices = {0, 1};
    s.images += 2;
    s.series.push_back(f);
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const hanging::TProtocolSet set = hanging::ParseProtocols(text, "fuzz");
  for (const hanging::TProblem& p : set.problems) (void)hanging::ProblemText(p);
  static const hanging::TStudyFacts current = Facts(1), prior = Facts(0);
  for (const hanging::TProtocol* p : hanging::MatchingProtocols(set, current, &prior)) {
    for (int st = 0; st < static_cast<int>(p->stages.size()); ++st) {
      const hanging::TLayout l = hanging::LayOut(*p, st, current, &prior);
      if (static_cast<int>(l.cells.size()) != l.rows * l.cols) __builtin_trap();
      // What is saved must read back without a problem.
      const std::string json = hanging::ProtocolJsonOf(l, p->name, current);
      if (!hanging::ParseProtocols("{\"protocols\": [" + json + "]}", "saved").problems.empty())
        __builtin_trap();
    }
  }
  const hanging::TUserPresets presets = hanging::ParseUserPresets(text, "fuzz");
  const hanging::TUserPresets back =
      hanging::ParseUserPresets(hanging::UserPresetsJson(presets.presets), "back");
  if (back.presets.size() != presets.presets.size()) __builtin_trap();
  return 0;
}
