#include "volume/VolumeInput.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "dicom/PerFrameGroups.h"
#include "dicom/dicom.h"
#include "volume/Parallel.h"

namespace fs = std::filesystem;

namespace {

// The header of one file with its frame tables, or null when the file holds
// no image (`why` says so).
std::shared_ptr<TVolumeFile> ReadFile(const std::string& path, std::string& why) {
  auto file = std::make_shared<TVolumeFile>();
  file->path = path;
  DICOMdata& h = file->header;
  try {
    const DicomReadResult r = ReadDicomHeaderFromFile(path, true, h, {});
    if (r.isDicomDir) {
      why = "a DICOMDIR";
      return nullptr;
    }
    if (!r.imgOK) {
      why = "no image";
      return nullptr;
    }
  } catch (const std::exception& e) {
    why = e.what();
    return nullptr;
  }
  h.referenceFile = path;
  // Entries past the count are not frames of this file.
  const size_t entries = size_t(std::max(h.gECATJPEG_table_entries, 0));
  h.gECATJPEG_pos_table.resize(std::min(h.gECATJPEG_pos_table.size(), entries));
  h.gECATJPEG_size_table.resize(std::min(h.gECATJPEG_size_table.size(), entries));
  file->source = MakeFrameSource(path, h);
  return file;
}

}  // namespace

bool FramesOfFile(std::shared_ptr<const TVolumeFile> file, std::vector<TVolumeFrame>& frames,
                  std::string& reason) {
  const DICOMdata& h = file->header;
  const int count = std::max(1, h.XYZdim[2]);
  TVolumeFrame base;
  base.file = file;
  base.position = ToVec3(h.image_Postion);
  base.orientation = h.IMAGE_ORIENTATION_PATIENT;
  base.rowSpacing = h.XYZmm[1];
  base.columnSpacing = h.XYZmm[0];
  base.slope = h.IntenScale;
  base.intercept = h.IntenIntercept;
  base.instanceNumber = h.ImageNum;
  if (count == 1) {
    frames.push_back(base);
    return true;
  }
  TPerFrameGroups groups;
  std::string why;
  if (!ReadPerFrameGroups(file->path, groups, &why)) {
    reason = "the frame planes of " + file->path + " cannot be read: " + why;
    return false;
  }
  if (groups.frames.size() < size_t(count)) {
    reason = file->path + " has " + std::to_string(count) +
             " frames but does not say where each lies (no per-frame plane positions)";
    return false;
  }
  for (int k = 0; k < count; ++k) {
    const TFrameGroupValues v = groups.Frame(size_t(k));
    if (!v.hasPosition) {
      reason = "frame " + std::to_string(k + 1) + " of " + file->path + " has no plane position";
      return false;
    }
    TVolumeFrame f = base;
    f.frame = k + 1;
    f.position = ToVec3(v.position);
    if (v.hasOrientation) f.orientation = v.orientation;
    if (v.hasSpacing) f.rowSpacing = v.rowSpacing, f.columnSpacing = v.columnSpacing;
    if (v.hasRescale) f.slope = v.slope, f.intercept = v.intercept;
    f.instanceNumber = v.inStackPosition ? v.inStackPosition : k + 1;
    f.temporalPosition = v.temporalPosition;
    frames.push_back(f);
  }
  return true;
}

bool FramesFromFiles(const std::vector<std::string>& paths, std::vector<TVolumeFrame>& frames,
                     std::string& reason, std::vector<std::string>* skipped) {
  std::vector<std::shared_ptr<TVolumeFile>> files(paths.size());
  std::vector<std::string> why(paths.size());
  ParallelFor(paths.size(), [&](size_t i) { files[i] = ReadFile(paths[i], why[i]); });
  size_t images = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (!files[i]) {
      if (skipped) skipped->push_back(paths[i] + ": " + why[i]);
      continue;
    }
    ++images;
    if (!FramesOfFile(files[i], frames, reason)) return false;
  }
  if (images == 0) {
    reason = paths.empty() ? "there are no files" : "none of the files holds an image";
    return false;
  }
  return true;
}

bool FramesFromPath(const std::string& path, std::vector<TVolumeFrame>& frames, std::string& reason,
                    std::vector<std::string>* skipped) {
  std::error_code ec;
  std::vector<std::string> paths;
  if (fs::is_directory(path, ec)) {
    // Sorted, so that what is reported does not depend on the listing order.
    for (auto it = fs::recursive_directory_iterator(
             path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
      if (it->is_regular_file(ec)) paths.push_back(it->path().string());
    if (ec) {
      reason = "the folder cannot be listed: " + ec.message();
      return false;
    }
    std::sort(paths.begin(), paths.end());
  } else if (fs::is_regular_file(path, ec)) {
    paths.push_back(path);
  } else {
    reason = path + " is neither a folder nor a file";
    return false;
  }
  std::vector<TVolumeFrame> all;
  if (!FramesFromFiles(paths, all, reason, skipped)) return false;
  std::set<std::string> series;
  for (const TVolumeFrame& f : all) series.insert(f.file->header.Series_Instance_UID);
  if (series.size() > 1) {
    reason = "the folder holds " + std::to_string(series.size()) + " series, not one";
    return false;
  }
  frames.insert(frames.end(), all.begin(), all.end());
  return true;
}
