// A study an archive holds for a loaded patient and the tree does not: what
// the browser lists as a prior "on <server>" and Compare with Prior may
// retrieve. Every text is as the archive sent it, bounded and checked.
#pragma once

#include <string>

struct TArchiveStudy {
  int server = -1;         // index in the PACS window's servers
  std::string serverName;  // as the user calls it
  int patient = -1;        // the loaded patient it is listed under
  int identity = 0;        // hanging::TIdentity against that patient
  std::string warning;     // "" when the identity is the same
  std::string patientName, patientId, issuer;
  std::string studyUid;
  std::string date, time;  // YYYYMMDD, HHMMSS ("" when not sent or not valid)
  std::string description;
  std::string modalities;  // "CT\\PT" as sent
};
