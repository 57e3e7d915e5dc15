// One HTTP/1.1 POST whose body is read from a device as the socket takes it,
// for STOW-RS. Qt Network's own upload path hands the body to its HTTP
// thread in 16 KB pieces, one thread hop each, which costs the sender more
// CPU than the archive spends storing; this writes megabyte blocks from the
// calling thread and blocks it until the answer is in. Any thread; no event
// loop needed.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "net/PacsServer.h"

struct THttpAnswer {
  int status = 0;
  QByteArray body;  // decoded from chunked transfer coding when so sent
};

// POSTs body (its size() bytes) to target ("/dicom-web/studies") on the
// server, over TLS when server.tls, with headers added to Host, Content-Length
// and Connection: close. Waits at most server.timeoutSeconds for any progress.
// An answer body longer than maxAnswerBytes is refused. False with one
// sentence naming the server (kCancelledText when cancelled() became true);
// an HTTP error status is an answer, not a failure.
bool HttpPost(const TPacsServer& server, const QByteArray& target,
              const std::vector<std::pair<QByteArray, QByteArray>>& headers, QIODevice& body,
              qint64 maxAnswerBytes, const std::function<bool()>& cancelled, THttpAnswer& answer,
              std::string& why);
