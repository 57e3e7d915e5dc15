// Filing headers into a study tree, and merging whole trees. Patients match on
// name and ID, studies by the one "same study" rule (SameStudy in
// dicom/TreeRules.h), series on their instance UIDs, images on their paths.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "dicom/TreeRules.h"
#include "dicom/define_types.h"

// Study Time as HH:MM:SS: ":" after the 2nd and 5th character, cut to 8
// (a time written with colons already is only cut).
std::string FormatStudyTime(const std::string& studyTime);

// File one header into a tree, level by level. Each level matches as above
// or appends a new node. The image level adds nothing when an image with the
// same path is present. The header is moved into the new image's cache. True
// when an image was added. No locking: the caller holds gPatientsMutex when
// the tree is gPatients.
bool add_ToPatients(TPatientArr& patients, DICOMdata&& h);
bool add_ToStudies(TStudyArr& studies, DICOMdata&& h);
bool add_ToSeries(TSeriesArr& series, DICOMdata&& h);
bool add_ToImages(TImgArr& images, DICOMdata&& h);
// Files a copy of gFileHeaders[idx].
bool add_ToPatients(TPatientArr& patients, int idx);

// The instances of a tree (SOP Instance UID) and the path each came from.
std::unordered_map<std::string, std::string> InstancesOf(const TPatientArr& patients);

// An instance another file already brought: `path` and the file it repeats.
struct TDuplicate {
  std::string path, sameAs;
};

// Files a whole tree into another, matching every level as filing does;
// inside a matched series an image is appended unless one with the same path
// is there, and documents join the series' documents (study/DocumentFiling.h).
// An instance `into` holds already, from another file, is left out
// and named in `duplicates`. Returns the number of images added. No locking:
// the caller holds gPatientsMutex when `into` is gPatients.
int MergePatients(TPatientArr& into, TPatientArr& patients,
                  std::vector<TDuplicate>* duplicates = nullptr);
