// De-identification of one instance by the Basic Application Level
// Confidentiality Profile: every attribute the profile's table lists (the
// generated ConfidentialityProfileTable.inc) is removed, emptied, replaced by
// a dummy or by a new UID as its action says, in the data set and in every
// sequence item at any depth; private attributes (odd groups) are removed.
//
// Compound actions resolve to the least destructive choice that keeps common
// objects valid: X/Z, Z/D and X/Z/D empty the attribute, X/D removes it,
// X/Z/U* keeps the sequence with its UIDs replaced. D on a sequence keeps the
// items and cleans them by the same table (a reference stays a reference).
// Patient's Name becomes the given name or "ANONYMOUS"; Patient ID the given
// ID or a pseudonym that is the same for the same original ID within one
// export. An overlay plane whose data is removed is removed whole: its other
// attributes would describe data that is gone.
#pragma once

#include <cstdint>
#include <mutex>
#include <random>
#include <span>
#include <string>
#include <unordered_map>

class DcmFileFormat;
class DcmItem;

namespace exporter {

struct TDeidentifyOptions {
  // The Retain Longitudinal Temporal Information with Full Dates option:
  // dates and times the option keeps are kept.
  bool keepDates = false;
  std::string patientName;  // empty: "ANONYMOUS"
  std::string patientId;    // empty: a pseudonym per original Patient ID
};

// The replacements of one export: the same original UID (or Patient ID) gets
// the same new one on every call, different originals different new ones.
// New UIDs are "2.25." and a random 128-bit number, so nothing of the
// original can be recovered from them. Thread-safe.
class TUidMap {
 public:
  TUidMap();
  std::string Uid(const std::string& original);
  std::string PatientId(const std::string& original);
  size_t UidCount();

 private:
  std::mutex mutex_;
  std::mt19937_64 random_;
  std::unordered_map<std::string, std::string> uids_;
  std::unordered_map<std::string, std::string> ids_;
};

// One row of the profile's table.
struct TProfileRow {
  uint32_t tag;       // group << 16 | element, wildcard nibbles 0
  uint32_t mask;      // 0 nibbles are wildcards: (50xx,xxxx), (60xx,3000)
  const char* basic;  // D, Z, X, K, C, U or compound such as X/Z/D
  char fullDates;     // 'K' when the full dates option keeps it, else 0
  const char* name;
};
std::span<const TProfileRow> ProfileRows();
// The row for a tag, or null when the profile keeps it.
const TProfileRow* FindProfileRow(uint16_t group, uint16_t element);
// The single action applied to a row under the options: 'D', 'Z', 'X', 'K' or 'U'.
char ResolveAction(const TProfileRow& row, bool keepDates);

// True when Burned In Annotation (0028,0301) says YES.
bool HasBurnedInAnnotation(DcmItem& dataset);

// De-identifies the file in place (data set and meta header) and records
// the profile and option applied in the data set. False with a reason when
// the file has no data set.
bool Deidentify(DcmFileFormat& file, const TDeidentifyOptions& options, TUidMap& uids,
                std::string& why);

}  // namespace exporter
