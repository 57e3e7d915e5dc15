// ZIP files of an exported tree, written with libzip (ZIP64 where sizes need
// it). The archive is written under a temporary name beside the target and
// renamed over it only when complete.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace exporter {

// Called while the archive is written with the fraction done (0..1); return
// false to cancel.
using TZipProgress = std::function<bool(double fraction)>;

// Writes target holding the files of folder named by entries (relative paths
// with '/', stored under those names, in that order). False with one reason
// (the target named) on failure or cancel; the target is then as it was.
bool WriteZip(const std::string& folder, const std::vector<std::string>& entries,
              const std::string& target, const TZipProgress& progress, std::string& why);

}  // namespace exporter
