// The frames a volume is built from, gathered from files: the images of a
// series (one frame each, or several for a multi-frame file), an enhanced
// multi-frame image (one per frame, from its functional groups), or a folder
// tree holding one series.
#pragma once

#include <string>
#include <vector>

#include "volume/VolumeBuilder.h"

// Reads the headers of `paths` (in parallel) and adds the frames of each
// image. Files that hold no image are passed over and named in `skipped`.
// False with the reason when no file holds an image or a multi-frame file's
// planes cannot be read.
bool FramesFromFiles(const std::vector<std::string>& paths, std::vector<TVolumeFrame>& frames,
                     std::string& reason, std::vector<std::string>* skipped = nullptr);

// Every file of the folder tree at `path` (or the one file `path`), which
// must hold images of one series only.
bool FramesFromPath(const std::string& path, std::vector<TVolumeFrame>& frames, std::string& reason,
                    std::vector<std::string>* skipped = nullptr);

// The frames of one file whose header `file` holds: one per frame, placed by
// the per-frame functional groups when the file has them, else the file's
// own plane (a single-frame image). False with the reason when a multi-frame
// file does not say where its frames lie.
bool FramesOfFile(std::shared_ptr<const TVolumeFile> file, std::vector<TVolumeFrame>& frames,
                  std::string& reason);
