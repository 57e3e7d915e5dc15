#include "net/ServersFile.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr qint64 kMaxFileBytes = 1 << 20;

bool ParseEntry(const QJsonObject& o, TPacsServer& s, std::string& why) {
  auto text = [&](const char* key) { return o.value(key).toString().toStdString(); };
  s.name = text("name");
  if (!text("callingAe").empty()) s.callingAe = text("callingAe");
  s.user = text("user");
  s.password = text("password");
  s.bearerToken = text("token");
  s.caFile = text("caFile");
  s.movePort = o.value("movePort").toInt(0);
  if (o.contains("timeout")) s.timeoutSeconds = o.value("timeout").toInt(30);
  if (s.movePort < 0 || s.movePort > 65535) {
    why = "movePort must be a port number";
    return false;
  }
  if (s.timeoutSeconds < 1 || s.timeoutSeconds > 3600) {
    why = "timeout must be 1 to 3600 seconds";
    return false;
  }
  if (!IsValidAeTitle(s.callingAe)) {
    why = "callingAe is not an AE title";
    return false;
  }
  if (o.contains("url")) return ParseServerAddress(text("url"), s, why);
  const std::string kind = text("kind");
  const std::string host = text("host");
  const int port = o.value("port").toInt(0);
  std::string address;
  if (kind == "dimse" || kind == "dicom") {
    address = "dicom://" + text("calledAe") + "@" + host + ":" + std::to_string(port);
  } else if (kind == "dicomweb") {
    std::string path = text("path");
    if (path.empty() || path[0] != '/') path = "/" + path;
    address = std::string(o.value("tls").toBool() ? "dicomweb+https://" : "dicomweb+http://") +
              host + (port ? ":" + std::to_string(port) : std::string()) + path;
  } else {
    why = "give \"url\", or \"kind\" as \"dimse\" or \"dicomweb\"";
    return false;
  }
  return ParseServerAddress(address, s, why);
}

}  // namespace

bool ParseServersJson(const std::string& json, std::vector<TPacsServer>& servers,
                      std::string& why) {
  servers.clear();
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &err);
  if (err.error != QJsonParseError::NoError) {
    why = "not valid JSON: " + err.errorString().toStdString();
    return false;
  }
  QJsonArray list;
  if (doc.isArray())
    list = doc.array();
  else if (doc.isObject() && doc.object().value("servers").isArray())
    list = doc.object().value("servers").toArray();
  else {
    why = "expected an object with a \"servers\" array";
    return false;
  }
  for (qsizetype i = 0; i < list.size(); ++i) {
    TPacsServer s;
    std::string entryWhy;
    if (!list[i].isObject() || !ParseEntry(list[i].toObject(), s, entryWhy)) {
      why = "server " + std::to_string(i + 1) + ": " +
            (entryWhy.empty() ? "not an object" : entryWhy);
      return false;
    }
    servers.push_back(std::move(s));
  }
  return true;
}

bool ReadServersFile(const std::string& path, std::vector<TPacsServer>& servers, std::string& why) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) {
    why = "cannot read the servers file " + path + ": " + f.errorString().toStdString();
    return false;
  }
  if (f.size() > kMaxFileBytes) {
    why = "the servers file " + path + " is too large";
    return false;
  }
  std::string inner;
  if (!ParseServersJson(f.readAll().toStdString(), servers, inner)) {
    why = "the servers file " + path + ": " + inner;
    return false;
  }
  return true;
}
