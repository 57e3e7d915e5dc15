// Priors: the older studies of the patient whose study is being read, loaded
// or listed by an archive. Identity is Patient ID, its issuer and the name;
// a study that matches only in part is offered with a warning and never
// treated as the same patient's without one.
#pragma once

#include <string>
#include <vector>

#include "dicom/define_types.h"

namespace hanging {

enum class TIdentity {
  Same,         // ID, issuer and name agree
  OtherId,      // same name, another ID
  OtherIssuer,  // same ID, another (or a missing) issuer
  OtherName,    // same ID and issuer, another name
  Unrelated,    // neither ID nor name agree: not a prior at all
};

struct TPatientKey {
  std::string name, id, issuer;
};

TIdentity CompareIdentity(const TPatientKey& current, const TPatientKey& other);
// The warning shown beside a prior that matches only in part ("" for Same).
std::string IdentityWarning(TIdentity identity);

// A study's date for ordering: YYYYMMDD + HHMMSS, from the first image's
// header when the study has one, else from the study record; "" when unknown.
std::string StudyWhen(const TStudy& study);

struct TPrior {
  int patient = -1, study = -1;  // in the tree
  TIdentity identity = TIdentity::Same;
  std::string warning;
  std::string date;  // YYYYMMDD
  std::string description;
  std::string instanceUid;
};

// The studies in `patients` older than (patient, study), of the same patient
// or one that matches in part, newest first. A study without a date is
// listed last.
std::vector<TPrior> FindPriors(const TPatientArr& patients, int patient, int study);

// Which of `priors` (as FindPriors lists them) to read beside (patient,
// study): the newest of the same patient that shares a modality with it,
// else the newest of the same patient, then the same among the partial
// matches (whose warning must then be shown); -1 when there is none.
int PreferredPrior(const TPatientArr& patients, int patient, int study,
                   const std::vector<TPrior>& priors);

// The study a loaded patient is read by: the newest of its studies (-1 when
// it has none).
int CurrentStudyOf(const TPatient& patient);

}  // namespace hanging
