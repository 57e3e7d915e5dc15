// A DICOMweb server that says what a test tells it to: each request's path
// picks a raw HTTP answer, which is written as it stands and the connection
// closed after it, so answers can be malformed, lie about their sizes, or
// stop in the middle of an image. Lives on the thread that runs the tests'
// event loop; the client under test runs on another thread or in its own
// local loop.
#pragma once

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "net/PacsServer.h"

namespace pacstest {

class FakeWebServer : public QObject {
 public:
  using Route = std::function<std::string(const std::string& path)>;
  // With a certificate and key (PEM files) it speaks HTTPS.
  explicit FakeWebServer(Route route, const std::string& certFile = "",
                         const std::string& keyFile = "")
      : route_(std::move(route)), tls_(!certFile.empty()) {
    if (tls_) {
      auto* ssl = new QSslServer(this);
      QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
      QFile cert(QString::fromStdString(certFile)), key(QString::fromStdString(keyFile));
      cert.open(QIODevice::ReadOnly);
      key.open(QIODevice::ReadOnly);
      conf.setLocalCertificate(QSslCertificate(&cert, QSsl::Pem));
      conf.setPrivateKey(QSslKey(&key, QSsl::Rsa, QSsl::Pem));
      ssl->setSslConfiguration(conf);
      server_ = ssl;
    } else {
      server_ = new QTcpServer(this);
    }
    server_->listen(QHostAddress::LocalHost, 0);
    QObject::connect(server_, &QTcpServer::pendingConnectionAvailable, this, [this] {
      while (QTcpSocket* s = server_->nextPendingConnection()) {
        QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { Serve(s); });
        QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        if (s->bytesAvailable() > 0) Serve(s);
      }
    });
  }
  int Port() const { return server_->serverPort(); }
  TPacsServer Server() const {
    TPacsServer s;
    std::string why;
    ParseServerAddress(std::string(tls_ ? "dicomweb+https" : "dicomweb+http") +
                           "://127.0.0.1:" + std::to_string(Port()) + "/rs/",
                       s, why);
    s.timeoutSeconds = 10;
    return s;
  }
  const std::vector<std::string>& Paths() const { return paths_; }

  // Pieces of answers.
  static std::string Json(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/dicom+json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }
  static std::string MultipartHead(const std::string& boundaryParam) {
    return "HTTP/1.1 200 OK\r\nContent-Type: multipart/related; type=\"application/dicom\"; "
           "boundary=" +
           boundaryParam + "\r\nConnection: close\r\n\r\n";
  }
  static std::string Part(const std::string& boundary, const std::string& bytes, bool length = true,
                          const std::string& type = "application/dicom") {
    return "--" + boundary + "\r\nContent-Type: " + type + "\r\n" +
           (length ? "Content-Length: " + std::to_string(bytes.size()) + "\r\n" : std::string()) +
           "\r\n" + bytes + "\r\n";
  }
  // One series of a study with its instance count, as QIDO-RS answers.
  static std::string SeriesJson(const std::string& study, const std::string& series, int count) {
    return "[{\"0020000D\":{\"vr\":\"UI\",\"Value\":[\"" + study +
           "\"]},\"0020000E\":{\"vr\":\"UI\",\"Value\":[\"" + series +
           "\"]},\"00080060\":{\"vr\":\"CS\",\"Value\":[\"CT\"]},\"00201209\":{\"vr\":\"IS\","
           "\"Value\":[" +
           std::to_string(count) + "]}}]";
  }

 private:
  void Serve(QTcpSocket* s) {
    QByteArray& buf = pending_[s];
    buf += s->readAll();
    const int end = buf.indexOf("\r\n\r\n");
    if (end < 0) return;
    const QList<QByteArray> line = buf.left(buf.indexOf("\r\n")).split(' ');
    pending_.erase(s);
    const std::string path = line.size() > 1 ? line[1].toStdString() : std::string();
    paths_.push_back(path);
    const std::string answer = route_(path);
    s->write(answer.data(), qint64(answer.size()));
    s->disconnectFromHost();
  }

  Route route_;
  bool tls_;
  QTcpServer* server_;
  std::map<QTcpSocket*, QByteArray> pending_;
  std::vector<std::string> paths_;
};

}  // namespace pacstest
