// What the derived-object writers and readers share: bounded loading, safe
// writing and small DCMTK accessors. Internal to src/derived.
#pragma once

#include <dcmtk/dcmdata/dctk.h>

#include <cstdint>
#include <string>
#include <vector>

#include "derived/PresentationState.h"

namespace derived {

// Loads a file with DCMTK. Large values stay on disk until asked for;
// fileSize bounds every later value read (see ValueFits).
bool LoadBounded(const std::string& path, DcmFileFormat& file, uint64_t& fileSize,
                 std::string& why);
// Whether an element's declared length can be in a file of fileSize bytes.
bool ValueFits(DcmItem& item, const DcmTagKey& tag, uint64_t fileSize);

// Writes file as Explicit VR Little Endian with a fresh meta header to
// target through a temporary file.
bool SaveSafely(DcmFileFormat& file, const std::string& target, std::string& why);

// Patient and study modules, character set, series and equipment basics.
void PutSource(DcmItem& ds, const TSourceInfo& source, const std::string& modality);

std::string GetString(DcmItem& item, const DcmTagKey& tag, unsigned long pos = 0);
// Every value of a multi-valued string element joined by backslashes.
std::string GetStrings(DcmItem& item, const DcmTagKey& tag);
// Now as YYYYMMDD and HHMMSS.
void NowDateTime(std::string& date, std::string& time);

// Referenced Image Sequence items of `images` into item; readers: the same
// back, each entry checked (class and instance present, frames positive).
void PutImageRefs(DcmItem& item, const std::vector<TImageRef>& images);
std::vector<TImageRef> GetImageRefs(DcmItem& item, std::vector<std::string>& skipped,
                                    const std::string& where);

}  // namespace derived
