// The DICOMweb side of TPacsClient on Qt Network: QIDO-RS for queries,
// WADO-RS multipart/related for retrieval, read incrementally as it arrives;
// STOW-RS for sending, streamed from the files through net/HttpPost.h.
// Each call runs its own event loop (or blocks on its socket), so it works on
// any thread that has a Qt thread object (the main thread, or a QThread).
#pragma once

#include <QByteArray>
#include <string>

#include "net/PacsClient.h"

std::unique_ptr<TPacsClient> MakeDicomWebClient(const TPacsServer& server);

// A QIDO-RS answer (application/dicom+json: an array of objects keyed by tag)
// as rows of the return keys. False with a reason when it is not such an array.
bool ParseQidoJson(const QByteArray& body, const std::vector<std::string>& returnKeys,
                   std::vector<TQueryRow>& rows, std::string& why);
