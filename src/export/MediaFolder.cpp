#include "export/MediaFolder.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcddirif.h>
#include <dcmtk/oflog/oflog.h>

#include <cstdio>

namespace exporter {

namespace {
std::string Id(char letter, int number) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%07d", letter, number);
  return buf;
}
}  // namespace

std::string TFileIdAllocator::Allocate(const std::string& patientKey, const std::string& studyUid,
                                       const std::string& seriesUid) {
  std::lock_guard lock(mutex_);
  TPatientSlot& p = patients_[patientKey];
  if (p.number == 0) p.number = static_cast<int>(patients_.size());
  TStudySlot& st = p.studies[studyUid];
  if (st.number == 0) st.number = static_cast<int>(p.studies.size());
  TSeriesSlot& se = st.series[seriesUid];
  if (se.number == 0) se.number = static_cast<int>(st.series.size());
  ++se.images;
  return "DICOM/" + Id('P', p.number) + "/" + Id('S', st.number) + "/" + Id('S', se.number) + "/" +
         Id('I', se.images);
}

bool WriteDicomDir(const std::string& folder, const std::vector<std::string>& fileIds,
                   std::vector<TDicomDirRefusal>& refused, std::string& why) {
  DicomDirInterface dir;
  // Media keep each instance's own transfer syntax (pixels as they were),
  // and de-identified files may lack values the records require: those are
  // invented, as dcmgpdir --invent does.
  // (DCMTK's disable... setters take the new value of the check: false.)
  dir.disableTransferSyntaxCheck(OFFalse);
  dir.enableInventMode(OFTrue);
  dir.enableInventPatientIDMode(OFTrue);
  dir.disableBackupMode(OFFalse);
  // Its progress and warnings would go to standard error line by line; the
  // refusals come back as results instead.
  OFLogger logger = OFLog::getLogger("dcmtk.dcmdata");
  const dcmtk::log4cplus::LogLevel level = logger.getLogLevel();
  logger.setLogLevel(dcmtk::log4cplus::OFF_LOG_LEVEL);
  struct TRestore {
    OFLogger& logger;
    dcmtk::log4cplus::LogLevel level;
    ~TRestore() { logger.setLogLevel(level); }
  } restore{logger, level};
  const std::string path = folder + "/DICOMDIR";
  OFCondition c =
      dir.createNewDicomDir(DicomDirInterface::AP_GeneralPurpose, path.c_str(), "TAVROLEN");
  if (c.bad()) {
    why = path + ": " + c.text();
    return false;
  }
  for (const std::string& id : fileIds) {
    c = dir.addDicomFile(id.c_str(), folder.c_str());
    if (c.bad()) refused.push_back({id, c.text()});
  }
  c = dir.writeDicomDir();
  if (c.bad()) {
    why = path + ": " + c.text();
    return false;
  }
  return true;
}

}  // namespace exporter
