#include "app/DocumentWindows.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

#include <algorithm>

#include "app/EncapsulatedDocumentWindow.h"
#include "app/ReportWindow.h"
#include "app/WaveformWindow.h"

namespace {

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The SOP class of a file, read without its large values.
std::string SopClassOf(const std::string& path) {
  DcmFileFormat file;
  if (file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 4096).bad()) return {};
  OFString uid;
  if (file.getDataset()->findAndGetOFString(DCM_SOPClassUID, uid).bad()) {
    file.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, uid);
  }
  return uid.c_str();
}

}  // namespace

TDocumentKind DocumentKindOfClass(const std::string& sopClassUid) {
  std::string uid = sopClassUid;
  std::replace(uid.begin(), uid.end(), ' ', '.');
  while (!uid.empty() && (uid.back() == '.' || uid.back() == '\0')) uid.pop_back();
  // Key object selections are reports too, but they mark images rather than
  // say anything of their own: the browser shows them on their images.
  if (uid == "1.2.840.10008.5.1.4.1.1.88.59") return TDocumentKind::kNone;
  if (StartsWith(uid, "1.2.840.10008.5.1.4.1.1.88.")) return TDocumentKind::kReport;
  if (uid == "1.2.840.10008.5.1.4.1.1.104.1") return TDocumentKind::kPdf;
  if (uid == "1.2.840.10008.5.1.4.1.1.104.2") return TDocumentKind::kCda;
  if (StartsWith(uid, "1.2.840.10008.5.1.4.1.1.104.")) return TDocumentKind::kOtherDocument;
  if (StartsWith(uid, "1.2.840.10008.5.1.4.1.1.9.")) return TDocumentKind::kWaveform;
  return TDocumentKind::kNone;
}

bool OpenDocumentWindow(QWidget* parent, const std::string& path, std::string* why) {
  const std::string uid = SopClassOf(path);
  switch (DocumentKindOfClass(uid)) {
    case TDocumentKind::kReport:
      return OpenReportWindow(parent, path, why);
    case TDocumentKind::kPdf:
    case TDocumentKind::kCda:
    case TDocumentKind::kOtherDocument:
      return OpenEncapsulatedDocumentWindow(parent, path, why);
    case TDocumentKind::kWaveform:
      return OpenWaveformWindow(parent, path, why);
    case TDocumentKind::kNone:
      break;
  }
  if (why) *why = uid.empty() ? "not a DICOM object" : "not a report, document or waveform";
  return false;
}
