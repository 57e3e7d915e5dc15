// Programs that ship beside the viewer and its tool (a decoder process, the
// tool's renderer) are found the same way: the build tree's own when the
// running program is in that build tree, so tests and benchmarks never pick
// up an installed copy; else the installed one; else one where the install
// layout puts it relative to the running program (a tree installed, or a
// package unpacked, under another prefix); else one beside it.
#pragma once

#include <string>

// `built` and `installed` are the companion's full paths in this build tree
// and under the install prefix. Empty when none is there and executable.
std::string FindCompanionProgram(const std::string& built, const std::string& installed);
