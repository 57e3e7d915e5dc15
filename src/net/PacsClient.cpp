#include "net/PacsClient.h"

#include <algorithm>

#include "net/DicomWebClient.h"
#include "net/DimseClient.h"
#include "pixels/CodecTable.h"

int TAnnouncement::Total() const {
  int n = 0;
  for (const auto& [series, count] : perSeries) n += count;
  return n;
}

std::vector<std::string> CountSeries(const std::vector<TQueryRow>& rows,
                                     const std::string& seriesUid, TAnnouncement& out) {
  std::vector<std::string> uncounted;
  for (const TQueryRow& r : rows) {
    const std::string& series = r.Get("SeriesInstanceUID");
    if (!IsValidUid(series) || (!seriesUid.empty() && series != seriesUid)) continue;
    std::string label = r.Get("Modality");
    for (const char* k : {"SeriesNumber", "SeriesDescription"})
      if (!r.Get(k).empty()) label += (label.empty() ? "" : " ") + r.Get(k);
    out.labels[series] = label;
    const std::string& count = r.Get("NumberOfSeriesRelatedInstances");
    if (!count.empty() && count.size() < 9 &&
        count.find_first_not_of("0123456789") == std::string::npos)
      out.perSeries[series] = std::stoi(count);
    else
      uncounted.push_back(series);
  }
  return uncounted;
}

bool TPacsClient::Announce(const std::string& studyUid, const std::string& seriesUid,
                           TAnnouncement& out, std::string& why) {
  out = {};
  std::vector<TQueryKey> keys = {{"StudyInstanceUID", studyUid}};
  if (!seriesUid.empty()) keys.push_back({"SeriesInstanceUID", seriesUid});
  std::vector<TQueryRow> rows;
  if (!Find(TQueryLevel::Series, keys, rows, why)) return false;
  // A server that gives no count: the series' instances, counted.
  for (const std::string& series : CountSeries(rows, seriesUid, out)) {
    std::vector<TQueryRow> instances;
    if (!Find(TQueryLevel::Instance,
              {{"StudyInstanceUID", studyUid}, {"SeriesInstanceUID", series}}, instances, why))
      return false;
    out.perSeries[series] = int(instances.size());
  }
  return true;
}

bool TPacsClient::AnnounceAndRetrieve(TInstanceStore& store, TAnnouncement& announcement,
                                      const std::function<void(const TAnnouncement&)>& announced,
                                      std::string& why) {
  const TInstanceStore::Expect& ex = store.Expected();
  if (!Announce(ex.studyUid, ex.seriesUid, announcement, why)) return false;
  if (!store.Announce(announcement.perSeries, why)) return false;
  if (announced) announced(announcement);
  return Retrieve(store, announcement, why);
}

std::unique_ptr<TPacsClient> MakePacsClient(const TPacsServer& server) {
  if (server.kind == TPacsKind::DicomWeb) return MakeDicomWebClient(server);
  return MakeDimseClient(server);
}

const std::vector<std::string>& DecodableTransferSyntaxes() {
  static const std::vector<std::string> syntaxes = [] {
    // The decoders' own table; compressed syntaxes first, so a peer that
    // offers a file both as stored and transcoded keeps it as stored.
    std::vector<std::string> compressed, native;
    for (const std::string& uid : SupportedTransferSyntaxes()) {
      const TransferSyntaxCodec* e = FindTransferSyntax(uid);
      // Private syntaxes (GE's big endian) are not network syntaxes.
      if (!e || uid.rfind("1.2.840.10008.", 0) != 0) continue;
      (e->encoding != PixelEncoding::kNative ? compressed : native).push_back(uid);
    }
    // Explicit little endian is the one every peer can send; it goes first
    // among the uncompressed.
    std::stable_partition(native.begin(), native.end(),
                          [](const std::string& uid) { return uid == "1.2.840.10008.1.2.1"; });
    compressed.insert(compressed.end(), native.begin(), native.end());
    return compressed;
  }();
  return syntaxes;
}
