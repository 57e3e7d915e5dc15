// Folder listing: which files a folder load reads, in which order.
#pragma once

#include <functional>
#include <string>

#include "dicom/define_types.h"
#include "study/CancelToken.h"

// The lower-cased extension of a path's file name: the text from its last
// dot, or empty when the name has none.
std::string LowerExtension(const std::string& path);
// A folder listing keeps entries (files and directories) with these
// extensions: none, .dcm, .dcn, .dic and the report extensions.
bool IsListedExtension(const std::string& lowerExt);
// Report documents: .rtf, .doc, .docx, .txt, .pdf.
bool IsReportExtension(const std::string& lowerExt);
// A plain text file is a report only when it lies in the same folder as
// images of a study: elsewhere it is a medium's README, a log or a note.
bool NeedsImagesBeside(const std::string& lowerExt);
// The folder part of a path (without its last '/'); empty without one.
std::string ParentFolderOf(const std::string& path);

// Appends the files under path to list, depth first. Entries named
// "dicomdir" (any case) and entries whose extension is not listed are left
// out; directories are filtered by extension too, so "x.old" is not entered.
// Entries of a directory come in name order so that a load is the same on
// every file system. Only regular files are listed (a device or pipe would
// block the read), and a directory reached twice through links is entered
// once.
void list_DirectoryFiles(const std::string& path, TStringArray& list);
// The same listing, each file handed to add as it is found. A cancel ends
// the walk (a folder picked by mistake, a home or a network share, would
// otherwise be listed to its end).
void list_DirectoryFiles(const std::string& path, const std::function<void(std::string&&)>& add,
                         const study::TCancelToken* cancel);
