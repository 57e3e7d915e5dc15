#include "app/DocumentWindows.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

#include "app/EncapsulatedDocumentWindow.h"
#include "app/ReportWindow.h"
#include "app/WaveformWindow.h"
#include "study/DocumentFiling.h"

namespace {

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

bool OpenDocumentWindow(QWidget* parent, const std::string& path, std::string* why) {
  const std::string uid = SopClassOf(path);
  TDocumentType type{};
  if (DocumentTypeOfClass(uid, type)) {
    switch (type) {
      case TDocumentType::Report:
        return OpenReportWindow(parent, path, why);
      case TDocumentType::Pdf:
      case TDocumentType::Cda:
      case TDocumentType::OtherDocument:
        return OpenEncapsulatedDocumentWindow(parent, path, why);
      case TDocumentType::Waveform:
        return OpenWaveformWindow(parent, path, why);
    }
  }
  if (why) *why = uid.empty() ? "not a DICOM object" : "not a report, document or waveform";
  return false;
}
