#include "net/DicomWebClient.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>

#include "net/HttpPost.h"
#include "net/Multipart.h"
#include "net/Send.h"

namespace {

constexpr qint64 kMaxJsonBytes = qint64(64) << 20;
constexpr qint64 kReadChunk = qint64(1) << 20;
// A STOW-RS request carries at most this many instances or bytes: a failed
// request costs little to report, and the server need not hold a study.
constexpr size_t kStowBatchInstances = 50;
constexpr qint64 kStowBatchBytes = qint64(64) << 20;

// A multipart/related body of whole files, read from the files as the
// request goes out (nothing is buffered beyond what the socket takes). The
// sizes are taken when it is made; a file that shrinks meanwhile fails the
// read rather than sending a part shorter than announced.
class TStowBody : public QIODevice {
 public:
  TStowBody(const std::vector<std::string>& files, const QByteArray& boundary) {
    for (size_t k = 0; k < files.size(); ++k) {
      Add("--" + boundary + "\r\nContent-Type: application/dicom\r\n\r\n");
      Segment f;
      f.start = total_;
      f.file = QString::fromStdString(files[k]);
      f.size = QFileInfo(f.file).size();
      total_ += f.size;
      segments_.push_back(std::move(f));
      Add("\r\n");
    }
    Add("--" + boundary + "--\r\n");
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
  }
  bool isSequential() const override { return false; }
  qint64 size() const override { return total_; }
  bool seek(qint64 pos) override {
    if (pos < 0 || pos > total_) return false;
    at_ = pos;
    return QIODevice::seek(pos);
  }
  bool atEnd() const override { return at_ >= total_; }
  std::string error;

 protected:
  qint64 readData(char* data, qint64 max) override {
    qint64 done = 0;
    while (done < max && at_ < total_) {
      const Segment& s = SegmentAt(at_);
      const qint64 offset = at_ - s.start;
      const qint64 take = std::min(max - done, s.size - offset);
      if (s.file.isEmpty()) {
        std::memcpy(data + done, s.text.constData() + offset, size_t(take));
      } else {
        if (open_.fileName() != s.file) {
          open_.close();
          open_.setFileName(s.file);
          // Unbuffered: Qt copies each chunk into its socket buffer anyway.
          if (!open_.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            error = "cannot read " + s.file.toStdString();
            return -1;
          }
        }
        if ((open_.pos() != offset && !open_.seek(offset)) ||
            open_.read(data + done, take) != take) {
          error = s.file.toStdString() + " changed while it was being sent";
          return -1;
        }
      }
      done += take;
      at_ += take;
    }
    return done;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  struct Segment {
    qint64 start = 0, size = 0;
    QByteArray text;
    QString file;
  };
  void Add(const QByteArray& text) {
    Segment s;
    s.start = total_;
    s.size = text.size();
    s.text = text;
    total_ += s.size;
    segments_.push_back(std::move(s));
  }
  const Segment& SegmentAt(qint64 pos) const {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), pos,
                               [](qint64 p, const Segment& s) { return p < s.start; });
    return *(it - 1);
  }
  std::vector<Segment> segments_;
  qint64 total_ = 0, at_ = 0;
  QFile open_;
};

// The SOP Instance UIDs a STOW-RS answer names in a sequence, each with the
// reason it gives (Failure Reason or Warning Reason), -1 without one.
std::map<std::string, int> StowSequence(const QJsonObject& answer, const char* tag,
                                        const char* reasonTag) {
  std::map<std::string, int> out;
  for (const QJsonValue& item : answer.value(tag).toObject().value("Value").toArray()) {
    const QJsonObject o = item.toObject();
    const QJsonArray uid = o.value("00081155").toObject().value("Value").toArray();
    if (uid.isEmpty() || !uid[0].isString()) continue;
    const QJsonArray reason = o.value(reasonTag).toObject().value("Value").toArray();
    out[uid[0].toString().toStdString()] =
        !reason.isEmpty() && reason[0].isDouble() ? reason[0].toInt() : -1;
  }
  return out;
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

bool ParseTagKey(const QString& key, uint16_t& g, uint16_t& e) {
  if (key.size() != 8) return false;
  bool ok1 = false, ok2 = false;
  g = uint16_t(key.left(4).toUInt(&ok1, 16));
  e = uint16_t(key.mid(4).toUInt(&ok2, 16));
  return ok1 && ok2;
}

std::string JsonValueText(const QJsonObject& attr) {
  const QString vr = attr.value("vr").toString();
  const QJsonArray values = attr.value("Value").toArray();
  QStringList parts;
  for (const QJsonValue& v : values) {
    if (vr == "PN" && v.isObject()) {
      // The groups a person name carries, in their order; empty ones at the
      // end are left out as in the encoded form.
      const QJsonObject name = v.toObject();
      QStringList groups = {name.value("Alphabetic").toString(),
                            name.value("Ideographic").toString(),
                            name.value("Phonetic").toString()};
      while (!groups.isEmpty() && groups.back().isEmpty()) groups.removeLast();
      parts << groups.join('=');
    } else if (v.isDouble()) {
      const double d = v.toDouble();
      const qint64 i = qint64(d);
      parts << (double(i) == d ? QString::number(i) : QString::number(d, 'g', 15));
    } else if (v.isString()) {
      parts << v.toString();
    } else {
      parts << QString();
    }
  }
  return TrimValue(parts.join('\\').toStdString());
}

class TDicomWebClient : public TPacsClient {
 public:
  using TPacsClient::TPacsClient;

  bool Echo(std::string& why) override {
    QByteArray body;
    return GetJson(Url("studies", {{"limit", "1"}}), body, why);
  }

  bool Find(TQueryLevel level, const std::vector<TQueryKey>& keys, std::vector<TQueryRow>& rows,
            std::string& why) override {
    rows.clear();
    const std::vector<std::string> returnKeys = ReturnKeys(level, keys);
    if (level == TQueryLevel::Patient) return FindPatients(keys, returnKeys, rows, why);
    std::string study, series;
    std::vector<std::pair<QString, QString>> params;
    std::vector<TQueryKey> narrow;  // keys sent with wildcards in place of what a URL cannot hold
    for (const TQueryKey& k : keys) {
      if (k.value.empty()) continue;
      // Hierarchical keys go into the path when they name one entity.
      if (level != TQueryLevel::Study && k.keyword == "StudyInstanceUID" && IsValidUid(k.value)) {
        study = k.value;
        continue;
      }
      if (level == TQueryLevel::Instance && k.keyword == "SeriesInstanceUID" &&
          IsValidUid(k.value)) {
        series = k.value;
        continue;
      }
      const std::string wire = UrlSafeMatchValue(k.value);
      if (wire != k.value) narrow.push_back(k);
      params.emplace_back(Q(k.keyword), Q(wire));
    }
    for (const std::string& k : returnKeys) params.emplace_back("includefield", Q(k));
    QString path;
    switch (level) {
      case TQueryLevel::Study:
        path = "studies";
        break;
      case TQueryLevel::Series:
        path = study.empty() ? "series" : "studies/" + Q(study) + "/series";
        break;
      case TQueryLevel::Instance:
        if (!study.empty() && !series.empty()) {
          path = "studies/" + Q(study) + "/series/" + Q(series) + "/instances";
        } else if (!study.empty()) {
          path = "studies/" + Q(study) + "/instances";
        } else {
          path = "instances";
          if (!series.empty()) params.emplace_back("SeriesInstanceUID", Q(series));
        }
        break;
      case TQueryLevel::Patient:
        break;
    }
    QByteArray body;
    if (!GetJson(Url(path, params), body, why)) return false;
    if (!ParseQidoJson(body, returnKeys, rows, why)) {
      why = "The server at " + server_.Describe() +
            " sent a query answer that cannot be read: " + why + ".";
      return false;
    }
    if (!narrow.empty()) {
      std::vector<TQueryRow> kept;
      for (TQueryRow& r : rows) {
        bool all = true;
        for (const TQueryKey& k : narrow)
          all = all && WildcardMatch(k.value, r.Get(k.keyword),
                                     k.keyword.find("Name") != std::string::npos);
        if (all) kept.push_back(std::move(r));
      }
      rows = std::move(kept);
    }
    // Hierarchical keys went into the path; the rows still carry them.
    for (TQueryRow& r : rows) {
      if (!study.empty() && r.Get("StudyInstanceUID").empty()) r.Set("StudyInstanceUID", study);
      if (!series.empty() && r.Get("SeriesInstanceUID").empty()) r.Set("SeriesInstanceUID", series);
    }
    return true;
  }

  bool Retrieve(TInstanceStore& store, const TAnnouncement&, std::string& why) override {
    TWado wado(*this, store);
    return Finish(wado, Run({&wado.call}, why), why);
  }

  // The series counts (QIDO-RS) and the images (WADO-RS) are asked for at
  // once: the first images need not wait for the count, which comes in
  // while they arrive and is checked against what came before it.
  bool AnnounceAndRetrieve(TInstanceStore& store, TAnnouncement& announcement,
                           const std::function<void(const TAnnouncement&)>& announced,
                           std::string& why) override {
    announcement = {};
    const TInstanceStore::Expect& ex = store.Expected();
    std::vector<TQueryKey> keys = {{"StudyInstanceUID", ex.studyUid}};
    if (!ex.seriesUid.empty()) keys.push_back({"SeriesInstanceUID", ex.seriesUid});
    const std::vector<std::string> returnKeys = ReturnKeys(TQueryLevel::Series, keys);
    std::vector<std::pair<QString, QString>> params;
    if (!ex.seriesUid.empty()) params.emplace_back("SeriesInstanceUID", Q(ex.seriesUid));
    for (const std::string& k : returnKeys) params.emplace_back("includefield", Q(k));
    QByteArray body;
    std::vector<std::string> uncounted;  // series the server gave no count for
    bool told = false;
    TCall series;
    series.url = Url("studies/" + Q(ex.studyUid) + "/series", params);
    series.accept = "application/dicom+json, application/json";
    series.onHeaders = [](QNetworkReply*, std::string&) { return true; };
    series.onData = [&body](const char* d, size_t n, std::string& bad) {
      if (body.size() + qint64(n) > kMaxJsonBytes) {
        bad = "the series list is too large";
        return false;
      }
      body.append(d, qsizetype(n));
      return true;
    };
    series.done = [&](std::string& bad) {
      std::vector<TQueryRow> rows;
      if (!ParseQidoJson(body, returnKeys, rows, bad)) return false;
      for (TQueryRow& r : rows) r.Set("StudyInstanceUID", ex.studyUid);
      uncounted = CountSeries(rows, ex.seriesUid, announcement);
      if (!uncounted.empty()) return true;  // counted after the transfer
      told = true;
      if (!store.Announce(announcement.perSeries, bad)) return false;
      if (announced) announced(announcement);
      return true;
    };
    TWado wado(*this, store);
    const bool ok = Finish(wado, Run({&series, &wado.call}, why), why);
    if (!ok || told) return ok;
    for (const std::string& s : uncounted) {
      std::vector<TQueryRow> instances;
      if (!Find(TQueryLevel::Instance,
                {{"StudyInstanceUID", ex.studyUid}, {"SeriesInstanceUID", s}}, instances, why))
        return false;
      announcement.perSeries[s] = int(instances.size());
    }
    if (!store.Announce(announcement.perSeries, why)) {
      why = "Refused what the server at " + server_.Describe() + " sent: " + why + ".";
      return false;
    }
    if (announced) announced(announcement);
    return true;
  }

  // STOW-RS: the instances in batches, each batch one POST to {root}studies,
  // each instance mapped to what the answer says of it.
  void SendItems(const std::vector<TSendItem>& items, const TSendHooks& hooks,
                 TSendResult& result) override {
    size_t next = 0;
    while (next < items.size()) {
      if (SendCancelled(hooks)) {
        StopAt(next, kCancelledText, items.size(), hooks, result);
        return;
      }
      size_t end = next;
      qint64 bytes = 0;
      while (end < items.size() && end - next < kStowBatchInstances &&
             (end == next || bytes + QFileInfo(Q(items[end].file)).size() <= kStowBatchBytes))
        bytes += QFileInfo(Q(items[end++].file)).size();
      std::string why;
      if (!PostBatch(items, next, end, hooks, result, why)) {
        StopAt(next, why, items.size(), hooks, result);
        return;
      }
      for (size_t k = next; k < end; ++k)
        if (hooks.progress) hooks.progress(int(k + 1), int(items.size()), result.instances[k]);
      next = end;
    }
  }

 private:
  void StopAt(size_t from, const std::string& why, size_t total, const TSendHooks& hooks,
              TSendResult& result) {
    result.why = why;
    for (size_t k = from; k < total; ++k) {
      result.instances[k].reason = "not sent: " + why;
      if (hooks.progress) hooks.progress(int(k + 1), int(total), result.instances[k]);
    }
  }

  // One POST of items [from, end). False with a reason when the request as
  // a whole failed (no instance answered for).
  bool PostBatch(const std::vector<TSendItem>& items, size_t from, size_t end,
                 const TSendHooks& hooks, TSendResult& result, std::string& why) {
    std::vector<std::string> files;
    for (size_t k = from; k < end; ++k) files.push_back(items[k].file);
    const QByteArray boundary = "tavrolen-" + QUuid::createUuid().toByteArray(QUuid::Id128);
    TStowBody body(files, boundary);
    std::vector<std::pair<QByteArray, QByteArray>> headers = {
        {"Content-Type", "multipart/related; type=\"application/dicom\"; boundary=" + boundary},
        {"Accept", "application/dicom+json, application/json"},
        {"User-Agent", "Tavrolen"}};
    if (!server_.user.empty())
      headers.push_back(
          {"Authorization",
           "Basic " + QByteArray::fromStdString(server_.user + ":" + server_.password).toBase64()});
    else if (!server_.bearerToken.empty())
      headers.push_back(
          {"Authorization", "Bearer " + QByteArray::fromStdString(server_.bearerToken)});
    THttpAnswer answer;
    const QByteArray target = Url("studies", {}).path(QUrl::FullyEncoded).toUtf8();
    if (!HttpPost(
            server_, target, headers, body, kMaxJsonBytes, [&] { return SendCancelled(hooks); },
            answer, why)) {
      if (!body.error.empty()) why = body.error;
      return false;
    }
    const int status = answer.status;
    // An answer that lists instances is read whatever the status says:
    // 200 (all stored), 202 (some refused), 409 (none stored).
    QJsonParseError err{};
    QJsonDocument doc = QJsonDocument::fromJson(answer.body, &err);
    QJsonObject obj =
        doc.isArray() && !doc.array().isEmpty() ? doc.array()[0].toObject() : doc.object();
    const auto stored = StowSequence(obj, "00081199", "00081196");
    const auto refused = StowSequence(obj, "00081198", "00081197");
    const bool listed = !stored.empty() || !refused.empty();
    if (!listed && !(status >= 200 && status < 300)) {
      const std::string where = server_.Describe();
      if (status == 401)
        why = "The server at " + where + " refused the user name or password.";
      else if (status == 403)
        why = "The server at " + where + " does not allow this user to do that.";
      else if (status == 404)
        why = "The server at " + where + " has no such DICOMweb service (HTTP 404).";
      else
        why = "The server at " + where + " answered HTTP " + std::to_string(status) +
              " without saying what it stored.";
      return false;
    }
    for (size_t k = from; k < end; ++k) {
      TSendOutcome& out = result.instances[k];
      out.sent = true;
      const std::string& uid = items[k].sopInstanceUid;
      if (auto f = refused.find(uid); f != refused.end()) {
        out.accepted = false;
        out.reason = f->second >= 0
                         ? "the server refused it: " + StoreStatusText(unsigned(f->second))
                         : "the server refused it (no reason given)";
      } else if (auto a = stored.find(uid); a != stored.end()) {
        out.accepted = true;
        if (a->second > 0) out.reason = "warning: " + StoreStatusText(unsigned(a->second));
      } else if (!listed && status == 200) {
        out.accepted = true;  // HTTP 200 without a list: all stored
      } else {
        out.accepted = false;
        out.reason =
            "the server's answer (HTTP " + std::to_string(status) + ") does not say it was stored";
      }
    }
    return true;
  }

  QUrl Url(const QString& relative, const std::vector<std::pair<QString, QString>>& params) const {
    QUrl url;
    url.setScheme(server_.tls ? "https" : "http");
    url.setHost(Q(server_.host));
    url.setPort(server_.port);
    url.setPath(Q(server_.path) + relative);
    if (!params.empty()) {
      QUrlQuery q;
      // Values are URL-safe already (UrlSafeMatchValue); '*' and '?' must
      // stay as they are, Orthanc matches "%2A" literally.
      for (const auto& [k, v] : params)
        q.addQueryItem(k, QString(QUrl::toPercentEncoding(v, "*?,:;@!$'()/")));
      url.setQuery(q.query(QUrl::FullyEncoded), QUrl::StrictMode);
    }
    return url;
  }

  bool FindPatients(const std::vector<TQueryKey>& keys, const std::vector<std::string>& returnKeys,
                    std::vector<TQueryRow>& rows, std::string& why) {
    // QIDO-RS has no patient level: the matching studies, grouped by patient.
    std::vector<TQueryKey> studyKeys = keys;
    for (const char* k : {"NumberOfStudyRelatedSeries", "NumberOfStudyRelatedInstances"})
      studyKeys.push_back({k, ""});
    std::vector<TQueryRow> studies;
    if (!Find(TQueryLevel::Study, studyKeys, studies, why)) return false;
    std::map<std::pair<std::string, std::string>, size_t> index;
    for (const TQueryRow& st : studies) {
      const auto id = std::make_pair(st.Get("PatientID"), st.Get("PatientName"));
      auto [it, fresh] = index.emplace(id, rows.size());
      if (fresh) {
        TQueryRow r;
        for (const std::string& k : returnKeys) r.Set(k, st.Get(k));
        r.Set("NumberOfPatientRelatedStudies", "0");
        r.Set("NumberOfPatientRelatedSeries", "0");
        r.Set("NumberOfPatientRelatedInstances", "0");
        rows.push_back(std::move(r));
      }
      TQueryRow& r = rows[it->second];
      auto add = [&](const char* total, const std::string& more) {
        r.Set(total, std::to_string(std::stoll(r.Get(total)) + std::atoll(more.c_str())));
      };
      add("NumberOfPatientRelatedStudies", "1");
      add("NumberOfPatientRelatedSeries", st.Get("NumberOfStudyRelatedSeries"));
      add("NumberOfPatientRelatedInstances", st.Get("NumberOfStudyRelatedInstances"));
    }
    return true;
  }

  bool GetJson(const QUrl& url, QByteArray& body, std::string& why) {
    body.clear();
    auto headers = [](QNetworkReply*, std::string&) { return true; };
    auto data = [&](const char* d, size_t n, std::string& bad) {
      if (body.size() + qint64(n) > kMaxJsonBytes) {
        bad = "the query answer is larger than " + std::to_string(kMaxJsonBytes >> 20) +
              " MB; narrow the search";
        return false;
      }
      body.append(d, qsizetype(n));
      return true;
    };
    return Get(url, "application/dicom+json, application/json", headers, data, why);
  }

  // One GET in flight: headers checked once the status line is in, then the
  // body handed over as it arrives; done() runs when it has ended well.
  struct TCall {
    QUrl url;
    QByteArray accept;
    std::function<bool(QNetworkReply*, std::string&)> onHeaders;
    std::function<bool(const char*, size_t, std::string&)> onData;
    std::function<bool(std::string&)> done;
    QNetworkReply* reply = nullptr;
    bool checked = false, refused = false, any = false, finished = false, aborted = false;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    std::string refusal;
  };

  // The WADO-RS request of a store's study or series, its multipart reader
  // writing each part into the store.
  struct TWado {
    TCall call;
    std::unique_ptr<TMultipartParser> parser;

    TWado(TDicomWebClient& client, TInstanceStore& store) {
      const TInstanceStore::Expect& ex = store.Expected();
      QString path = "studies/" + Q(ex.studyUid);
      if (!ex.seriesUid.empty()) path += "/series/" + Q(ex.seriesUid);
      call.url = client.Url(path, {});
      call.accept = "multipart/related; type=\"application/dicom\"; transfer-syntax=*";
      TMultipartLimits limits;
      limits.maxPartBytes = store.maxInstanceBytes;
      call.onHeaders = [this, &store, limits](QNetworkReply* reply, std::string& bad) {
        TMediaType type;
        const QByteArray ct = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        if (!ParseMediaType(ct.toStdString(), type) || type.type != "multipart/related" ||
            type.Param("boundary").empty()) {
          bad = "the server did not answer with multipart/related images (Content-Type \"" +
                ct.left(120).toStdString() + "\")";
          return false;
        }
        const std::string partType = type.Param("type");
        if (!partType.empty() && partType != "application/dicom") {
          bad = "the server sent parts of type \"" + partType + "\", not DICOM files";
          return false;
        }
        TMultipartParser::Sink sink;
        sink.begin = [&store](const TMultipartParser::Part& p, std::string& w) {
          if (!p.contentType.empty()) {
            TMediaType t;
            if (!ParseMediaType(p.contentType, t) || t.type != "application/dicom") {
              w = "the server sent a part of type \"" + p.contentType.substr(0, 120) +
                  "\", not a DICOM file";
              return false;
            }
          }
          return store.BeginStream(p.hasLength ? p.length : 0, w);
        };
        sink.data = [&store](const char* d, size_t n, std::string& w) {
          return store.WriteStream(d, n, w);
        };
        sink.end = [&store](std::string& w) { return store.EndStream(w); };
        parser =
            std::make_unique<TMultipartParser>(type.Param("boundary"), std::move(sink), limits);
        return true;
      };
      call.onData = [this](const char* d, size_t n, std::string& bad) {
        if (parser->Feed(d, n)) return true;
        bad = parser->Error();
        return false;
      };
      call.done = [this, &store](std::string& bad) {
        store.AbortStream();
        if (!parser || parser->Finish()) return true;
        bad = parser->Error();
        return false;
      };
    }
  };

  // The end of a WADO-RS transfer: a body that ended early is what a server
  // that stopped (or a lost connection) looks like when the connection
  // frames the answer.
  bool Finish(TWado& wado, bool ok, std::string& why) {
    if (!ok && wado.parser && wado.call.finished && wado.call.error == QNetworkReply::NoError &&
        !wado.call.refused && !wado.parser->Closed() &&
        (wado.parser->PartsCompleted() > 0 ||
         wado.parser->Error().find("middle") != std::string::npos))
      why = "The answer from " + server_.Describe() +
            " stopped in the middle of an image: the server stopped or the connection was lost.";
    return ok;
  }

  bool Get(const QUrl& url, const QByteArray& accept,
           const std::function<bool(QNetworkReply*, std::string&)>& onHeaders,
           const std::function<bool(const char*, size_t, std::string&)>& onData, std::string& why) {
    TCall call;
    call.url = url;
    call.accept = accept;
    call.onHeaders = onHeaders;
    call.onData = onData;
    return Run({&call}, why);
  }

  QNetworkRequest MakeRequest(const TCall& call, std::string& why) const {
    QNetworkRequest req(call.url);
    req.setRawHeader("Accept", call.accept);
    req.setRawHeader("User-Agent", "Tavrolen");
    // Qt asks for gzip by default, and Orthanc then compresses every image
    // on the fly: a retrieve becomes bound by the server's CPU. Pixel data
    // barely compresses; only the JSON of queries is worth it.
    if (!call.accept.startsWith("application/dicom+json"))
      req.setRawHeader("Accept-Encoding", "identity");
    if (!server_.user.empty()) {
      const QByteArray credentials =
          QByteArray::fromStdString(server_.user + ":" + server_.password);
      req.setRawHeader("Authorization", "Basic " + credentials.toBase64());
    } else if (!server_.bearerToken.empty()) {
      req.setRawHeader("Authorization", "Bearer " + QByteArray::fromStdString(server_.bearerToken));
    }
    req.setTransferTimeout(server_.timeoutSeconds * 1000);
    if (server_.tls) {
      QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
      if (!server_.caFile.empty()) {
        const QList<QSslCertificate> cas = QSslCertificate::fromPath(Q(server_.caFile));
        if (cas.isEmpty()) why = "Cannot read certificate authorities from " + server_.caFile + ".";
        ssl.addCaCertificates(cas);
      }
      req.setSslConfiguration(ssl);
    }
    return req;
  }

  static void Abort(TCall& c) {
    if (c.aborted || c.finished || c.reply->isFinished()) return;
    c.aborted = true;
    c.reply->abort();
  }

  void Pump(TCall& c) {
    if (c.refused) return;
    if (!c.checked) {
      const QVariant code = c.reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
      if (!code.isValid()) return;
      c.checked = true;
      c.status = code.toInt();
      if (c.status != 200 && c.status != 204) return;
      if (!c.onHeaders(c.reply, c.refusal)) {
        c.refused = true;
        Abort(c);
        return;
      }
    }
    if (c.status != 200) return;
    while (c.reply->bytesAvailable() > 0) {
      const QByteArray chunk = c.reply->read(kReadChunk);
      if (chunk.isEmpty()) break;
      c.any = true;
      if (!c.onData(chunk.constData(), size_t(chunk.size()), c.refusal)) {
        c.refused = true;
        Abort(c);
        return;
      }
    }
  }

  // Runs the calls side by side until all have ended or one has failed (the
  // others are then stopped). False with the first failure in one sentence.
  bool Run(const std::vector<TCall*>& calls, std::string& why) {
    if (cancel_) {
      why = kCancelledText;
      return false;
    }
    QNetworkAccessManager nam;
    nam.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QEventLoop loop;
    bool cancelled = false;
    std::string failure;
    auto fail = [&](std::string text) {
      if (!failure.empty()) return;
      failure = std::move(text);
      for (TCall* other : calls) Abort(*other);
    };
    for (TCall* c : calls) {
      std::string bad;
      const QNetworkRequest req = MakeRequest(*c, bad);
      if (!bad.empty()) {
        why = bad;
        return false;
      }
      c->reply = nam.get(req);
      c->reply->setReadBufferSize(8 * kReadChunk);
      QObject::connect(c->reply, &QNetworkReply::readyRead, &loop, [this, c] { Pump(*c); });
      QObject::connect(c->reply, &QNetworkReply::finished, &loop, [&, c] {
        Pump(*c);
        c->finished = true;
        c->error = c->reply->error();
        if (failure.empty() && !cancelled) {
          std::string text;
          if (!Outcome(*c, text))
            fail(text);
          else if (c->done && !c->done(text))
            fail("Refused what the server at " + server_.Describe() + " sent: " + text + ".");
        }
        if (std::all_of(calls.begin(), calls.end(), [](const TCall* k) { return k->finished; }))
          loop.quit();
      });
    }
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (cancel_ && !cancelled) {
        cancelled = true;
        for (TCall* c : calls) Abort(*c);
      }
    });
    poll.start();
    if (!std::all_of(calls.begin(), calls.end(), [](const TCall* k) { return k->finished; }))
      loop.exec();
    for (TCall* c : calls) c->reply->deleteLater();
    if (cancelled) {
      why = kCancelledText;
      return false;
    }
    if (!failure.empty()) {
      why = failure;
      return false;
    }
    return true;
  }

  // How a call that has finished ended, as one sentence when it failed.
  bool Outcome(const TCall& c, std::string& why) const {
    const QNetworkReply::NetworkError error = c.reply->error();
    const QString errorText = c.reply->errorString();
    const std::string where = server_.Describe();
    if (c.refused) {
      why = "Refused what the server at " + where + " sent: " + c.refusal + ".";
      return false;
    }
    if (c.status == 401 || error == QNetworkReply::AuthenticationRequiredError) {
      why = "The server at " + where + " refused the user name or password.";
      return false;
    }
    if (c.status == 403) {
      why = "The server at " + where + " does not allow this user to do that.";
      return false;
    }
    if (c.status == 404) {
      why = "The server at " + where + " has no such study, series or DICOMweb service (HTTP 404).";
      return false;
    }
    if (c.status >= 300 && c.status != 0) {
      why = "The server at " + where + " answered HTTP " + std::to_string(c.status) + ".";
      return false;
    }
    switch (error) {
      case QNetworkReply::NoError:
        if (c.status == 0) {
          why = "The server at " + where + " did not send an HTTP answer.";
          return false;
        }
        return true;
      case QNetworkReply::ConnectionRefusedError:
        why = "Cannot connect to " + server_.host + ":" + std::to_string(server_.port) +
              ": the connection was refused (is the server running, and is the port right?).";
        return false;
      case QNetworkReply::HostNotFoundError:
        why = "Cannot find the host \"" + server_.host + "\".";
        return false;
      case QNetworkReply::TimeoutError:
      case QNetworkReply::OperationCanceledError:
        why = "The server at " + where + " did not answer within " +
              std::to_string(server_.timeoutSeconds) + " s.";
        return false;
      case QNetworkReply::RemoteHostClosedError:
        why = c.any || c.checked
                  ? "The connection to the server at " + where + " was lost during the transfer."
                  : "The server at " + where + " closed the connection without answering.";
        return false;
      case QNetworkReply::SslHandshakeFailedError:
        why = "The secure connection to " + where + " failed: " + errorText.toStdString() + ".";
        return false;
      default:
        why = (c.checked ? "The transfer from " : "Cannot reach ") + where + ": " +
              errorText.toStdString() + ".";
        return false;
    }
  }
};

}  // namespace

bool ParseQidoJson(const QByteArray& body, const std::vector<std::string>& returnKeys,
                   std::vector<TQueryRow>& rows, std::string& why) {
  rows.clear();
  // No content (HTTP 204) means no matches.
  if (body.trimmed().isEmpty()) return true;
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(body, &err);
  if (err.error != QJsonParseError::NoError) {
    why = "not JSON (" + err.errorString().toStdString() + ")";
    return false;
  }
  if (!doc.isArray()) {
    why = "not a JSON array";
    return false;
  }
  for (const QJsonValue& v : doc.array()) {
    if (!v.isObject()) {
      why = "a match is not a JSON object";
      return false;
    }
    const QJsonObject obj = v.toObject();
    std::map<std::string, std::string> values;
    for (auto it = obj.begin(); it != obj.end(); ++it) {
      uint16_t g, e;
      if (!ParseTagKey(it.key(), g, e) || !it.value().isObject()) continue;
      values[TagToKeyword(g, e)] = JsonValueText(it.value().toObject());
    }
    TQueryRow row;
    for (const std::string& k : returnKeys) {
      auto found = values.find(k);
      row.Set(k, found == values.end() ? std::string() : found->second);
    }
    rows.push_back(std::move(row));
  }
  return true;
}

std::unique_ptr<TPacsClient> MakeDicomWebClient(const TPacsServer& server) {
  return std::make_unique<TDicomWebClient>(server);
}
