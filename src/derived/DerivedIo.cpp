#include "derived/DerivedIo.h"

#include <dcmtk/dcmdata/dcostrmb.h>

#include <sys/stat.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <new>
#include <random>

#include "dicom/DicomWriter.h"
#include "dicom/SafeOutput.h"

namespace derived {

bool LoadBounded(const std::string& path, DcmFileFormat& file, uint64_t& fileSize,
                 std::string& why) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = path + ": not a readable file";
    return false;
  }
  fileSize = uint64_t(st.st_size);
  try {
    const OFCondition c =
        file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_autoDetect);
    if (c.bad()) {
      why = path + ": not a readable DICOM file (" + c.text() + ")";
      return false;
    }
  } catch (const std::bad_alloc&) {
    why = path + ": not enough memory to read it";
    return false;
  }
  return true;
}

bool ValueFits(DcmItem& item, const DcmTagKey& tag, uint64_t fileSize) {
  DcmElement* e = nullptr;
  if (item.findAndGetElement(tag, e).bad() || !e) return true;  // absent: nothing to read
  return uint64_t(e->getLength()) <= fileSize;
}

bool SaveSafely(DcmFileFormat& file, const std::string& target, std::string& why) {
  const E_TransferSyntax xfer = EXS_LittleEndianExplicit;
  DcmDataset* ds = file.getDataset();
  if (ds->chooseRepresentation(xfer, nullptr).bad()) {
    why = "cannot encode the object as Explicit VR Little Endian";
    return false;
  }
  // The meta group from the product's own writer (its implementation
  // identification, not the library's), then the data set as DCMTK encodes it.
  dicomwriter::DicomFileOptions options;
  options.sopClassUid = GetString(*ds, DCM_SOPClassUID);
  options.sopInstanceUid = GetString(*ds, DCM_SOPInstanceUID);
  const std::vector<uint8_t> head = dicomwriter::BuildFileMeta(options);
  std::string bytes(128, '\0');
  bytes += "DICM";
  bytes.append(reinterpret_cast<const char*>(head.data()), head.size());
  std::vector<char> buffer(1 << 16);
  DcmOutputBufferStream out(buffer.data(), offile_off_t(buffer.size()));
  ds->transferInit();
  OFCondition c = EC_StreamNotifyClient;
  while (c == EC_StreamNotifyClient) {
    c = ds->write(out, xfer, EET_ExplicitLength, nullptr);
    void* chunk = nullptr;
    offile_off_t length = 0;
    out.flushBuffer(chunk, length);
    bytes.append(static_cast<const char*>(chunk), size_t(length));
  }
  ds->transferEnd();
  if (c.bad()) {
    why = std::string("cannot encode the object: ") + c.text();
    return false;
  }
  return WriteFileSafely(target, bytes, why);
}

void PutSource(DcmItem& ds, const TSourceInfo& s, const std::string& modality) {
  ds.putAndInsertString(DCM_SpecificCharacterSet,
                        s.charset.empty() ? "ISO_IR 192" : s.charset.c_str());
  ds.putAndInsertString(DCM_PatientName, s.patientName.c_str());
  ds.putAndInsertString(DCM_PatientID, s.patientId.c_str());
  ds.putAndInsertString(DCM_PatientBirthDate, s.patientBirthDate.c_str());
  ds.putAndInsertString(DCM_PatientSex, s.patientSex.c_str());
  ds.putAndInsertString(DCM_StudyInstanceUID, s.studyInstanceUid.c_str());
  ds.putAndInsertString(DCM_StudyDate, s.studyDate.c_str());
  ds.putAndInsertString(DCM_StudyTime, s.studyTime.c_str());
  ds.putAndInsertString(DCM_StudyID, s.studyId.c_str());
  ds.putAndInsertString(DCM_AccessionNumber, s.accessionNumber.c_str());
  ds.putAndInsertString(DCM_ReferringPhysicianName, s.referringPhysician.c_str());
  if (!s.studyDescription.empty())
    ds.putAndInsertString(DCM_StudyDescription, s.studyDescription.c_str());
  ds.putAndInsertString(DCM_Modality, modality.c_str());
  ds.putAndInsertString(DCM_Manufacturer, s.manufacturer.c_str());
}

std::string GetString(DcmItem& item, const DcmTagKey& tag, unsigned long pos) {
  OFString v;
  if (item.findAndGetOFString(tag, v, pos).bad()) return {};
  return std::string(v.c_str(), v.length());
}

std::string GetStrings(DcmItem& item, const DcmTagKey& tag) {
  OFString v;
  if (item.findAndGetOFStringArray(tag, v).bad()) return {};
  return std::string(v.c_str(), v.length());
}

void NowDateTime(std::string& date, std::string& time) {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char d[16], h[16];
  std::strftime(d, sizeof d, "%Y%m%d", &tm);
  std::strftime(h, sizeof h, "%H%M%S", &tm);
  date = d;
  time = h;
}

void PutImageRefs(DcmItem& item, const std::vector<TImageRef>& images) {
  for (const TImageRef& r : images) {
    DcmItem* ref = nullptr;
    if (item.findOrCreateSequenceItem(DCM_ReferencedImageSequence, ref, -2).bad() || !ref) continue;
    ref->putAndInsertString(DCM_ReferencedSOPClassUID, r.sopClassUid.c_str());
    ref->putAndInsertString(DCM_ReferencedSOPInstanceUID, r.sopInstanceUid.c_str());
    if (!r.frames.empty()) {
      std::string frames;
      for (int32_t f : r.frames) frames += (frames.empty() ? "" : "\\") + std::to_string(f);
      ref->putAndInsertString(DCM_ReferencedFrameNumber, frames.c_str());
    }
  }
}

std::vector<TImageRef> GetImageRefs(DcmItem& item, std::vector<std::string>& skipped,
                                    const std::string& where) {
  std::vector<TImageRef> refs;
  DcmSequenceOfItems* seq = nullptr;
  if (item.findAndGetSequence(DCM_ReferencedImageSequence, seq).bad() || !seq) return refs;
  for (unsigned long i = 0; i < seq->card(); ++i) {
    DcmItem* ref = seq->getItem(i);
    if (!ref) continue;
    TImageRef r;
    r.sopClassUid = GetString(*ref, DCM_ReferencedSOPClassUID);
    r.sopInstanceUid = GetString(*ref, DCM_ReferencedSOPInstanceUID);
    if (r.sopInstanceUid.empty()) {
      skipped.push_back(where + ": an image reference without its SOP Instance UID");
      continue;
    }
    DcmElement* e = nullptr;
    if (ref->findAndGetElement(DCM_ReferencedFrameNumber, e).good() && e) {
      bool bad = false;
      const unsigned long n = e->getVM();
      for (unsigned long k = 0; k < n && k < 100000; ++k) {
        Sint32 f = 0;
        if (ref->findAndGetSint32(DCM_ReferencedFrameNumber, f, k).bad() || f < 1) {
          bad = true;
          break;
        }
        r.frames.push_back(f);
      }
      if (bad) {
        skipped.push_back(where + ": frame numbers of " + r.sopInstanceUid + " are not valid");
        continue;
      }
    }
    refs.push_back(std::move(r));
  }
  return refs;
}

}  // namespace derived

std::string NewDicomUid() {
  // 128 random bits as one decimal number under the UUID root: at most 44 characters.
  static std::mt19937_64 rng([] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(),
                      unsigned(std::chrono::steady_clock::now().time_since_epoch().count())};
    return std::mt19937_64(seq);
  }());
  unsigned __int128 v = (unsigned __int128)(rng()) << 64 | rng();
  std::string digits;
  do {
    digits.insert(digits.begin(), char('0' + int(v % 10)));
    v /= 10;
  } while (v != 0);
  return "2.25." + digits;
}

bool ReadSourceInfo(const std::string& imagePath, TSourceInfo& info, std::string& why) {
  DcmFileFormat file;
  uint64_t size = 0;
  if (!derived::LoadBounded(imagePath, file, size, why)) return false;
  DcmDataset& ds = *file.getDataset();
  const std::string charset = derived::GetStrings(ds, DCM_SpecificCharacterSet);
  // Our own texts are UTF-8: the copied names are too when the system can convert them.
  if (charset.empty() || ds.convertToUTF8().good())
    info.charset = "ISO_IR 192";
  else
    info.charset = charset;
  using derived::GetString;
  info.patientName = GetString(ds, DCM_PatientName);
  info.patientId = GetString(ds, DCM_PatientID);
  info.patientBirthDate = GetString(ds, DCM_PatientBirthDate);
  info.patientSex = GetString(ds, DCM_PatientSex);
  info.studyInstanceUid = GetString(ds, DCM_StudyInstanceUID);
  info.studyDate = GetString(ds, DCM_StudyDate);
  info.studyTime = GetString(ds, DCM_StudyTime);
  info.studyId = GetString(ds, DCM_StudyID);
  info.accessionNumber = GetString(ds, DCM_AccessionNumber);
  info.referringPhysician = GetString(ds, DCM_ReferringPhysicianName);
  info.studyDescription = GetString(ds, DCM_StudyDescription);
  Float64 slope = 1, intercept = 0;
  info.hasRescale = ds.findAndGetFloat64(DCM_RescaleSlope, slope).good() &&
                    ds.findAndGetFloat64(DCM_RescaleIntercept, intercept).good();
  if (info.hasRescale) {
    info.rescaleSlope = slope;
    info.rescaleIntercept = intercept;
    info.rescaleType = GetString(ds, DCM_RescaleType);
    if (info.rescaleType.empty())
      info.rescaleType = GetString(ds, DCM_Modality) == "CT" ? "HU" : "US";
  }
  Uint16 columns = 0, rows = 0;
  ds.findAndGetUint16(DCM_Columns, columns);
  ds.findAndGetUint16(DCM_Rows, rows);
  info.columns = columns;
  info.rows = rows;
  info.seriesInstanceUid = GetString(ds, DCM_SeriesInstanceUID);
  info.sopClassUid = GetString(ds, DCM_SOPClassUID);
  info.sopInstanceUid = GetString(ds, DCM_SOPInstanceUID);
  Sint32 frames = 1;
  if (ds.findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 1) info.frames = frames;
  Uint16 samples = 1;
  ds.findAndGetUint16(DCM_SamplesPerPixel, samples);
  info.colour = samples > 1 || GetString(ds, DCM_PhotometricInterpretation) == "PALETTE COLOR";
  if (info.studyInstanceUid.empty()) {
    why = imagePath + ": the image has no Study Instance UID";
    return false;
  }
  return true;
}

std::string SopClassOfFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  DcmFileFormat file;
  try {
    if (file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength,
                              ERM_autoDetect, DCM_SOPInstanceUID)
            .bad())
      return {};
  } catch (const std::bad_alloc&) {
    return {};
  }
  return derived::GetString(*file.getDataset(), DCM_SOPClassUID);
}
