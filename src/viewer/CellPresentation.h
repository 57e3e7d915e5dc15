// A softcopy presentation state applied to a cell.
#pragma once

#include <string>

class TadvancedImage;

// Applies the presentation state at path to the image the cell shows. False
// with why when the file is no presentation state or none of it applies.
bool ApplyPresentationStateFile(TadvancedImage& cell, const std::string& path, std::string& why);
