// Placeholders until the hanging core lands.
#include "hanging/HangingProtocol.h"
#include "hanging/Priors.h"
#include "hanging/UserPresets.h"

namespace hanging {
std::string ProblemText(const TProblem& p) {
  return p.file + ": " + p.reason;
}
int TProtocol::Specificity() const {
  return 0;
}
TProtocolSet ParseProtocols(const std::string&, const std::string&) {
  return {};
}
const TProtocolSet& BuiltInProtocols() {
  static TProtocolSet s;
  return s;
}
const std::string& BuiltInProtocolsJson() {
  static std::string s;
  return s;
}
std::string UserProtocolsPath() {
  return {};
}
TProtocolSet LoadProtocols(const std::string&) {
  return {};
}
TStudyFacts FactsOf(const TPatientArr&, int, int) {
  return {};
}
std::vector<const TProtocol*> MatchingProtocols(const TProtocolSet&, const TStudyFacts&,
                                                const TStudyFacts*) {
  return {};
}
TLayout LayOut(const TProtocol&, int, const TStudyFacts&, const TStudyFacts*) {
  return {};
}
const char* RoleName(TRole) {
  return "";
}
const char* FitName(TFit) {
  return "";
}
const char* AlignName(TAlign) {
  return "";
}
const char* OrientationName(TOrientation) {
  return "";
}
std::string ProtocolJsonOf(const TLayout&, const std::string&, const TStudyFacts&) {
  return {};
}
bool SaveUserProtocol(const std::string&, const std::string&, std::string*) {
  return false;
}
TIdentity CompareIdentity(const TPatientKey&, const TPatientKey&) {
  return TIdentity::Same;
}
std::string IdentityWarning(TIdentity) {
  return {};
}
std::string StudyWhen(const TStudy&) {
  return {};
}
std::vector<TPrior> FindPriors(const TPatientArr&, int, int) {
  return {};
}
int CurrentStudyOf(const TPatient&) {
  return 0;
}
std::string UserPresetsPath() {
  return {};
}
TUserPresets LoadUserPresets(const std::string&) {
  return {};
}
TUserPresets ParseUserPresets(const std::string&, const std::string&) {
  return {};
}
std::string UserPresetsJson(const std::vector<TUserPreset>&) {
  return {};
}
bool SaveUserPresets(const std::string&, const std::vector<TUserPreset>&, std::string*) {
  return false;
}
std::vector<TUserPreset> PresetsFor(const std::vector<TUserPreset>&, const std::string&) {
  return {};
}
}  // namespace hanging
