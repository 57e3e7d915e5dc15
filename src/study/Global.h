// Module state of study loading and the helpers that act on it. The study
// tree itself (gPatients and its lock) lives with the study model so the
// viewer can reach it without the loaders.
#pragma once

#include <string>
#include <vector>

#include "dicom/define_types.h"
#include "study/ThreadPool.h"

// Paths listed by the last folder load, in listing order.
extern TStringArray gFileList;
// Headers of the single-file open (one element). Folder loads read each file
// into a record of its own step and move it into the tree, so they neither
// hold a second copy of every header nor share this array with the UI thread.
extern std::vector<DICOMdata> gFileHeaders;
// Report documents found while loading, in the order found. Written under
// gPatientsMutex (the filing lock).
extern std::vector<TReportRecord> gReports;
// Every path listed by any folder load since start-up.
extern TStringArray gOpenedFiles;

class TGlobal {
 public:
  // Appends one report under the filing lock.
  static void AddReport(const std::string& PatientName, const std::string& PatientId,
                        const std::string& ReportPath);
  static void AppendOpenedFiles(const TStringArray& list);
  // Drops every decoded frame (the frame cache and queued prefetches), then
  // empties the tree.
  static void FreeMemory(TPatientArr& patients);
  // The same, but the tree is freed on a loader thread: the array is empty at
  // once, and a large tree's thousands of records do not hold the caller. The
  // handle tells when the old records are gone.
  static study::TTaskHandle FreeMemoryInBackground(TPatientArr& patients);
};
