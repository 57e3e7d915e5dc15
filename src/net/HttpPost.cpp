#include "net/HttpPost.h"

#include <QDeadlineTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <memory>

#include "net/PacsClient.h"

namespace {

constexpr qint64 kBlock = qint64(1) << 20;
constexpr qint64 kMaxHeaderBytes = 64 * 1024;
constexpr int kPollMs = 50;

// Reads the answer's head and body from what has arrived; true once whole.
// A close-delimited body is whole when the peer has closed.
struct TAnswerReader {
  QByteArray buf;
  bool haveHead = false, chunked = false, closed = false;
  qint64 length = -1, bodyStart = 0;
  std::string bad;

  bool Head(THttpAnswer& a) {
    const qsizetype end = buf.indexOf("\r\n\r\n");
    if (end < 0) {
      if (buf.size() > kMaxHeaderBytes) bad = "an answer header that does not end";
      return false;
    }
    const QList<QByteArray> lines = buf.left(end).split('\n');
    const QList<QByteArray> status = lines[0].trimmed().split(' ');
    bool ok = false;
    if (status.size() >= 2 && status[0].startsWith("HTTP/")) a.status = status[1].toInt(&ok);
    if (!ok) {
      bad = "not an HTTP answer";
      return false;
    }
    for (qsizetype i = 1; i < lines.size(); ++i) {
      const QByteArray line = lines[i].trimmed();
      const qsizetype colon = line.indexOf(':');
      if (colon <= 0) continue;
      const QByteArray name = line.left(colon).trimmed().toLower();
      const QByteArray value = line.mid(colon + 1).trimmed();
      if (name == "content-length") {
        const qint64 n = value.toLongLong(&ok);
        length = ok && n >= 0 ? n : -1;
      }
      if (name == "transfer-encoding" && value.toLower().contains("chunked")) chunked = true;
    }
    // 1xx answers (100 Continue) precede the real one.
    if (a.status >= 100 && a.status < 200) {
      buf.remove(0, end + 4);
      length = -1;
      chunked = false;
      return Head(a);
    }
    haveHead = true;
    bodyStart = end + 4;
    return true;
  }

  // Whether the body is complete; decodes it into a.body then.
  bool Body(THttpAnswer& a, qint64 max) {
    const QByteArray raw = buf.mid(bodyStart);
    if (chunked) {
      QByteArray out;
      qsizetype at = 0;
      for (;;) {
        const qsizetype eol = raw.indexOf("\r\n", at);
        if (eol < 0) return false;
        bool ok = false;
        const qint64 size = raw.mid(at, eol - at).split(';')[0].trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0 || size > max) {
          bad = "a malformed or oversized chunk";
          return false;
        }
        if (size == 0) {
          a.body = out;
          return true;
        }
        if (raw.size() < eol + 2 + size + 2) return false;
        out += raw.mid(eol + 2, size);
        if (out.size() > max) {
          bad = "an answer larger than accepted";
          return false;
        }
        at = eol + 2 + size + 2;
      }
    }
    if (length >= 0) {
      if (length > max) {
        bad = "an answer larger than accepted";
        return false;
      }
      if (raw.size() < length) return false;
      a.body = raw.left(length);
      return true;
    }
    if (raw.size() > max) {
      bad = "an answer larger than accepted";
      return false;
    }
    if (!closed) return false;
    a.body = raw;
    return true;
  }
};

}  // namespace

bool HttpPost(const TPacsServer& server, const QByteArray& target,
              const std::vector<std::pair<QByteArray, QByteArray>>& headers, QIODevice& body,
              qint64 maxAnswerBytes, const std::function<bool()>& cancelled, THttpAnswer& answer,
              std::string& why) {
  answer = {};
  const std::string where = server.Describe();
  const std::string hostPort = server.host + ":" + std::to_string(server.port);
  std::unique_ptr<QTcpSocket> sock;
  const QString host = QString::fromStdString(server.host);
  if (server.tls) {
    auto* ssl = new QSslSocket;
    QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
    if (!server.caFile.empty()) {
      const QList<QSslCertificate> cas =
          QSslCertificate::fromPath(QString::fromStdString(server.caFile));
      if (cas.isEmpty()) {
        why = "Cannot read certificate authorities from " + server.caFile + ".";
        delete ssl;
        return false;
      }
      conf.addCaCertificates(cas);
    }
    ssl->setSslConfiguration(conf);
    sock.reset(ssl);
    ssl->connectToHostEncrypted(host, quint16(server.port));
  } else {
    sock = std::make_unique<QTcpSocket>();
    sock->connectToHost(host, quint16(server.port));
  }
  const int timeoutMs = server.timeoutSeconds * 1000;
  QDeadlineTimer idle(timeoutMs);
  auto failed = [&](bool started) {
    switch (sock->error()) {
      case QAbstractSocket::ConnectionRefusedError:
        why = "Cannot connect to " + hostPort +
              ": the connection was refused (is the server running, and is the port right?).";
        break;
      case QAbstractSocket::HostNotFoundError:
        why = "Cannot find the host \"" + server.host + "\".";
        break;
      case QAbstractSocket::SslHandshakeFailedError:
        why = "The secure connection to " + where +
              " failed: " + sock->errorString().toStdString() + ".";
        break;
      default:
        why = started
                  ? "The connection to the server at " + where + " was lost during the transfer."
                  : "Cannot reach " + where + ": " + sock->errorString().toStdString() + ".";
    }
    return false;
  };
  auto timedOut = [&] {
    why = "The server at " + where + " did not answer within " +
          std::to_string(server.timeoutSeconds) + " s.";
    return false;
  };
  // Connecting (and the TLS handshake).
  for (;;) {
    if (cancelled()) {
      why = kCancelledText;
      return false;
    }
    const bool up = server.tls ? static_cast<QSslSocket*>(sock.get())->waitForEncrypted(kPollMs)
                               : sock->waitForConnected(kPollMs);
    if (up) break;
    if (sock->error() != QAbstractSocket::SocketTimeoutError &&
        sock->error() != QAbstractSocket::UnknownSocketError)
      return failed(false);
    if (idle.hasExpired()) return timedOut();
  }
  QByteArray head = "POST " + target + " HTTP/1.1\r\nHost: " + host.toUtf8();
  if (!((server.tls && server.port == 443) || (!server.tls && server.port == 80)))
    head += ":" + QByteArray::number(server.port);
  head += "\r\n";
  for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
  head += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
  sock->write(head);

  TAnswerReader reader;
  QByteArray block(kBlock, Qt::Uninitialized);
  idle = QDeadlineTimer(timeoutMs);
  // The body, a block at a time while the socket's buffer is short; a server
  // that answers before the end (a refusal) is read at once.
  bool sending = true;
  while (sending || sock->bytesToWrite() > 0) {
    if (cancelled()) {
      why = kCancelledText;
      return false;
    }
    while (sending && sock->bytesToWrite() < 2 * kBlock) {
      const qint64 n = body.read(block.data(), kBlock);
      if (n < 0) {
        why = "Cannot read what is to be sent.";
        return false;
      }
      if (n == 0) {
        sending = false;
        break;
      }
      sock->write(block.constData(), n);
    }
    if (sock->bytesAvailable() > 0) break;
    if (sock->bytesToWrite() == 0) continue;
    if (sock->waitForBytesWritten(kPollMs)) {
      idle = QDeadlineTimer(timeoutMs);
    } else if (sock->error() != QAbstractSocket::SocketTimeoutError) {
      // Closed while sending: an answer may have come first.
      if (sock->bytesAvailable() > 0) break;
      return failed(true);
    } else if (idle.hasExpired()) {
      return timedOut();
    }
  }
  // The answer.
  idle = QDeadlineTimer(timeoutMs);
  for (;;) {
    if (cancelled()) {
      why = kCancelledText;
      return false;
    }
    reader.buf += sock->readAll();
    if (!reader.haveHead) reader.Head(answer);
    if (reader.haveHead && reader.Body(answer, maxAnswerBytes)) return true;
    if (!reader.bad.empty()) {
      why = "Refused what the server at " + where + " sent: " + reader.bad + ".";
      return false;
    }
    if (reader.closed) {
      if (!reader.haveHead)
        why = reader.buf.isEmpty()
                  ? "The server at " + where + " closed the connection without answering."
                  : "The server at " + where + " did not send an HTTP answer.";
      else
        why = "The connection to the server at " + where + " was lost during the transfer.";
      return false;
    }
    if (sock->waitForReadyRead(kPollMs)) {
      idle = QDeadlineTimer(timeoutMs);
    } else if (sock->error() == QAbstractSocket::RemoteHostClosedError ||
               sock->state() != QAbstractSocket::ConnectedState) {
      reader.buf += sock->readAll();
      reader.closed = true;
    } else if (sock->error() != QAbstractSocket::SocketTimeoutError) {
      return failed(true);
    } else if (idle.hasExpired()) {
      return timedOut();
    }
  }
}
