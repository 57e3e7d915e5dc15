// Sending instances to an archive: what to send (files, folders, a
// DICOMDIR's images) and one call that sends a list of files to a server by
// whatever it speaks (C-STORE or STOW-RS). Blocks its thread; the viewer
// runs it on a worker thread.
#pragma once

#include <string>
#include <vector>

#include "net/PacsServer.h"
#include "net/SendTypes.h"

// The files paths name, in order: a file as it is, a folder's files
// (recursively, as a folder load lists them), a DICOMDIR's referenced files
// (resolved as a DICOMDIR load resolves them). A path that is missing, or a
// DICOMDIR that cannot be read or names a file outside its medium, goes to
// skipped with the reason. The same path twice is listed once.
std::vector<std::string> ListFilesToSend(const std::vector<std::string>& paths,
                                         std::vector<TSendSkip>& skipped);

// One file's identity as sending needs it, read from its header only (the
// values of large elements are not read).
struct TSendItem {
  std::string file;
  std::string sopClassUid, sopInstanceUid, transferSyntax;
};
// False with a reason ("not a DICOM file", ...) when the file cannot be sent.
bool ReadSendItem(const std::string& file, TSendItem& item, std::string& why);
// Reads every file's identity: those that cannot be sent, and repeats of an
// instance already listed, go to result.skipped with the reason.
std::vector<TSendItem> PrepareSendItems(const std::vector<std::string>& files, TSendResult& result);

// Sends files to server: C-STORE for dicom:// servers, STOW-RS for
// DICOMweb. True only when every instance was accepted (and there was at
// least one); result holds each instance's outcome either way.
bool SendFiles(const TPacsServer& server, const std::vector<std::string>& files,
               const TSendHooks& hooks, TSendResult& result);
