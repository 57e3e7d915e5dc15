#include "study/DocumentFiling.h"

#include <algorithm>
#include <string_view>

#include "dicom/DicomElements.h"
#include "study/FilingDetail.h"

using namespace study::detail;

namespace {

std::string Normalised(const std::string& sopClassUid) {
  std::string uid;
  for (char c : sopClassUid) {
    if (c == '\0') continue;
    uid.push_back(c == ' ' ? '.' : c);
  }
  while (!uid.empty() && (uid.back() == '.' || uid.back() == ' ')) uid.pop_back();
  return uid;
}

const TagElement* Find(const std::vector<TagElement>& elements, uint32_t tag) {
  for (const TagElement& e : elements)
    if (e.tag == tag) return &e;
  return nullptr;
}

std::string FirstText(const std::vector<TagElement>& elements, uint32_t tag) {
  const TagElement* e = Find(elements, tag);
  return e && e->kind == TagElement::Kind::Text && !e->texts.empty() ? e->texts.front()
                                                                     : std::string();
}

// What a waveform is, by its class, when its series has no description.
std::string WaveformKind(const std::string& uid) {
  static const std::pair<std::string_view, std::string_view> kKinds[] = {
      {"1.2.840.10008.5.1.4.1.1.9.1.1", "12-lead ECG"},
      {"1.2.840.10008.5.1.4.1.1.9.1.2", "ECG"},
      {"1.2.840.10008.5.1.4.1.1.9.1.3", "Ambulatory ECG"},
      {"1.2.840.10008.5.1.4.1.1.9.1.4", "ECG"},
      {"1.2.840.10008.5.1.4.1.1.9.2.1", "Hemodynamic waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.3.1", "Cardiac electrophysiology"},
      {"1.2.840.10008.5.1.4.1.1.9.4.1", "Voice audio"},
      {"1.2.840.10008.5.1.4.1.1.9.4.2", "Audio"},
      {"1.2.840.10008.5.1.4.1.1.9.5.1", "Arterial pulse waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.6.1", "Respiratory waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.6.2", "Respiratory waveform"},
      {"1.2.840.10008.5.1.4.1.1.9.7.1", "EEG"},
      {"1.2.840.10008.5.1.4.1.1.9.7.2", "EMG"},
      {"1.2.840.10008.5.1.4.1.1.9.7.3", "EOG"},
      {"1.2.840.10008.5.1.4.1.1.9.7.4", "Sleep EEG"},
      {"1.2.840.10008.5.1.4.1.1.9.8.1", "Body position waveform"},
  };
  for (const auto& [uidOf, name] : kKinds)
    if (uid == uidOf) return std::string(name);
  return "Waveform";
}

std::string DefaultTitle(TDocumentType type, const std::string& uid) {
  switch (type) {
    case TDocumentType::Report:
      return "Structured report";
    case TDocumentType::Pdf:
      return "PDF document";
    case TDocumentType::Cda:
      return "CDA document";
    case TDocumentType::OtherDocument:
      return "Encapsulated document";
    case TDocumentType::Waveform:
      return WaveformKind(uid);
  }
  return "Document";
}

bool SameDocument(const TDocumentRecord& a, const TDocumentRecord& b) {
  return a.path == b.path || (!a.sopInstanceUid.empty() && a.sopInstanceUid == b.sopInstanceUid);
}

}  // namespace

bool DocumentTypeOfClass(const std::string& sopClassUid, TDocumentType& type) {
  const std::string uid = Normalised(sopClassUid);
  // Key object selections mark images; the browser shows them on those.
  if (uid == "1.2.840.10008.5.1.4.1.1.88.59") return false;
  if (uid.starts_with("1.2.840.10008.5.1.4.1.1.88.")) {
    type = TDocumentType::Report;
  } else if (uid == "1.2.840.10008.5.1.4.1.1.104.1") {
    type = TDocumentType::Pdf;
  } else if (uid == "1.2.840.10008.5.1.4.1.1.104.2") {
    type = TDocumentType::Cda;
  } else if (uid.starts_with("1.2.840.10008.5.1.4.1.1.104.")) {
    type = TDocumentType::OtherDocument;
  } else if (uid.starts_with("1.2.840.10008.5.1.4.1.1.9.")) {
    type = TDocumentType::Waveform;
  } else {
    return false;
  }
  return true;
}

TDocumentRecord MakeDocumentRecord(const DICOMdata& header, TDocumentType type) {
  TDocumentRecord doc;
  doc.type = type;
  doc.path = header.referenceFile;
  doc.sopClassUid = Normalised(header.SOP_Class_UID);
  doc.sopInstanceUid = header.SOP_Instance_UID;
  doc.instanceNumber = header.ImageNum;
  const TagListing listing = ReadTagListing(header.referenceFile);
  if (listing.ok) {
    const std::vector<TagElement>& top = listing.elements;
    doc.contentDate = FirstText(top, 0x00080023);
    doc.contentTime = FirstText(top, 0x00080033);
    if (type == TDocumentType::Report) {
      // The document title is the root container's concept name.
      const TagElement* name = Find(top, 0x0040A043);
      if (name && name->kind == TagElement::Kind::Sequence && !name->items.empty())
        doc.title = FirstText(name->items.front(), 0x00080104);
    } else if (type != TDocumentType::Waveform) {
      doc.title = FirstText(top, 0x00420010);
    }
  }
  if (doc.title.empty() && type == TDocumentType::Waveform)
    doc.title = header.Series_Description.str();
  if (doc.title.empty()) doc.title = DefaultTitle(type, doc.sopClassUid);
  return doc;
}

bool AddDocument(TSeries& series, TDocumentRecord&& doc) {
  auto& docs = series.documents;
  if (std::any_of(docs.begin(), docs.end(),
                  [&](const TDocumentRecord& d) { return SameDocument(d, doc); }))
    return false;
  const auto at = std::upper_bound(docs.begin(), docs.end(), doc, [](const auto& a, const auto& b) {
    return a.instanceNumber < b.instanceNumber;
  });
  docs.insert(at, std::move(doc));
  return true;
}

bool FileDocument(TPatientArr& patients, const DICOMdata& header, TDocumentRecord&& doc) {
  return AddDocument(SeriesOf(patients, Locate(patients, header)), std::move(doc));
}

const char* DocumentTypeName(TDocumentType type) {
  switch (type) {
    case TDocumentType::Report:
      return "report";
    case TDocumentType::Pdf:
      return "pdf";
    case TDocumentType::Cda:
      return "cda";
    case TDocumentType::OtherDocument:
      return "document";
    case TDocumentType::Waveform:
      return "waveform";
  }
  return "document";
}

int CountDocuments(const TPatientArr& patients) {
  int n = 0;
  for (const TPatient& p : patients)
    for (const TStudy& st : p.studies)
      for (const TSeries& se : st.serieses) n += static_cast<int>(se.documents.size());
  return n;
}
