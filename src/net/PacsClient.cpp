#include "net/PacsClient.h"

#include "net/DicomWebClient.h"
#include "net/DimseClient.h"

bool TPacsClient::ListInstances(const std::string& studyUid, const std::string& seriesUid,
                                std::vector<TAnnouncedInstance>& out, std::string& why) {
  out.clear();
  // Hierarchical, as the standard's study root asks: the series of the
  // study, then the instances of each series.
  std::vector<std::string> series;
  if (!seriesUid.empty()) {
    series.push_back(seriesUid);
  } else {
    std::vector<TQueryRow> rows;
    if (!Find(TQueryLevel::Series, {{"StudyInstanceUID", studyUid}}, rows, why)) return false;
    for (const TQueryRow& r : rows)
      if (IsValidUid(r.Get("SeriesInstanceUID"))) series.push_back(r.Get("SeriesInstanceUID"));
  }
  for (const std::string& s : series) {
    std::vector<TQueryRow> rows;
    if (!Find(TQueryLevel::Instance, {{"StudyInstanceUID", studyUid}, {"SeriesInstanceUID", s}},
              rows, why))
      return false;
    for (const TQueryRow& r : rows) {
      const std::string& sop = r.Get("SOPInstanceUID");
      if (!IsValidUid(sop)) continue;
      out.push_back({s, sop, r.Get("SOPClassUID")});
    }
  }
  return true;
}

std::unique_ptr<TPacsClient> MakePacsClient(const TPacsServer& server) {
  if (server.kind == TPacsKind::DicomWeb) return MakeDicomWebClient(server);
  return MakeDimseClient(server);
}

const std::vector<std::string>& DecodableTransferSyntaxes() {
  static const std::vector<std::string> syntaxes = {
      "1.2.840.10008.1.2.4.70",  // JPEG lossless, first-order prediction
      "1.2.840.10008.1.2.4.57",  // JPEG lossless
      "1.2.840.10008.1.2.5",     // RLE lossless
      "1.2.840.10008.1.2.4.90",  // JPEG 2000 lossless
      "1.2.840.10008.1.2.4.91",  // JPEG 2000
      "1.2.840.10008.1.2.4.50",  // JPEG baseline
      "1.2.840.10008.1.2.4.51",  // JPEG extended
      "1.2.840.10008.1.2.1",     // explicit VR little endian
      "1.2.840.10008.1.2",       // implicit VR little endian
      "1.2.840.10008.1.2.2",     // explicit VR big endian
  };
  return syntaxes;
}
