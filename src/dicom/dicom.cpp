// The element walk of the header reader. It starts at the first element (after
// the preamble and "DICM" when present), reads tag, VR and length of each
// element, turns the elements the viewer uses into header fields and skips the
// rest, until the pixel data (uncompressed) or the end of the encapsulated
// pixel data (compressed). Vendor quirks hook into the same walk.
//
// Everything a read needs lives in one Walk object, so concurrent reads of
// different files share nothing but the message sink and the events hook.
#include "dicom/dicom.h"

#include "dicom/DeflatedDataSet.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <new>
#include <thread>

#include "dicom/DicomCharset.h"
#include "dicom/HeaderFields.h"
#include "dicom/dicom_values.h"

TPatientArr gDicomDirPatients;

std::mutex& DicomDirPatientsMutex() {
  static std::mutex m;
  return m;
}

// ---- events hook ----

namespace {

std::mutex gHookMutex;
std::function<void()> gHook;
std::atomic<bool> gHookSet{false};
std::atomic<std::thread::id> gHookThread{};
thread_local bool tInHook = false;
thread_local std::chrono::steady_clock::time_point tLastHook{};
constexpr auto kHookInterval = std::chrono::milliseconds(30);

void MaybeProcessEvents() {
  if (!gHookSet.load(std::memory_order_relaxed)) return;
  if (std::this_thread::get_id() != gHookThread.load(std::memory_order_relaxed)) return;
  if (tInHook) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - tLastHook < kHookInterval) return;
  tLastHook = now;
  std::function<void()> hook;
  {
    std::lock_guard lock(gHookMutex);
    hook = gHook;
  }
  if (!hook) return;
  tInHook = true;
  try {
    hook();
  } catch (...) {
    // The application's event processing must not abort a read.
  }
  tInHook = false;
}

}  // namespace

void SetDicomProcessEventsHook(std::function<void()> hook) {
  std::lock_guard lock(gHookMutex);
  const bool set = static_cast<bool>(hook);
  gHook = std::move(hook);
  gHookThread.store(std::this_thread::get_id());
  gHookSet.store(set);
}

// ---- the walk ----

namespace {

// A read that cannot go on (a tag, length or value past the end of the file).
struct StopWalk {};
// The meta group names the deflated syntax: the walk starts again over the
// inflated data set.
struct DeflatedDataSetFound {};

constexpr uint32_t Tag(uint16_t g, uint16_t e) {
  return uint32_t(g) << 16 | e;
}

// MPEG-2, H.264 and HEVC (1.2.840.10008.1.2.4.100 ... .108, and the
// fragmentable .1 variants): the pixel data is one stream, not a frame per
// fragment.
bool IsVideoSyntax(const std::string& uid) {
  const std::string prefix = "1.2.840.10008.1.2.4.1";
  if (uid.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = uid.substr(prefix.size());
  return (rest.size() == 2 || (rest.size() == 4 && rest.compare(2, 2, ".1") == 0)) &&
         rest[0] == '0' && rest[1] >= '0' && rest[1] <= '8';
}

uint32_t Swap16(uint32_t v) {
  return ((v & 0xFF) << 8) | ((v >> 8) & 0xFF);
}

float ToFloat(double v) {
  // Out-of-range doubles become infinities rather than undefined behaviour.
  if (v > 3.4028234663852886e38) return HUGE_VALF;
  if (v < -3.4028234663852886e38) return -HUGE_VALF;
  return float(v);
}

double FiniteOrZero(double v) {
  return std::isfinite(v) ? v : 0.0;
}

// Round to nearest, ties to even, saturated to the int range.
int RoundToInt(double v) {
  const double r = std::nearbyint(v);
  if (!(r >= double(INT_MIN))) return INT_MIN;
  if (r > double(INT_MAX)) return INT_MAX;
  return int(r);
}

bool IsLongVRPair(uint8_t a, uint8_t b) {
  // OB, UN, OW and SQ, and the other VRs with two reserved bytes and a 32-bit
  // length, which otherwise derail the walk in explicit-VR files.
  switch (a << 8 | b) {
    case 'O' << 8 | 'B':
    case 'U' << 8 | 'N':
    case 'O' << 8 | 'W':
    case 'S' << 8 | 'Q':
    case 'U' << 8 | 'T':
    case 'U' << 8 | 'C':
    case 'U' << 8 | 'R':
    case 'O' << 8 | 'F':
    case 'O' << 8 | 'D':
    case 'O' << 8 | 'L':
    case 'O' << 8 | 'V':
    case 'S' << 8 | 'V':
    case 'U' << 8 | 'V':
      return true;
    default:
      return false;
  }
}

bool IsShortVRPair(uint8_t a, uint8_t b, bool withAE) {
  switch (a << 8 | b) {
    case 'A' << 8 | 'E':
      return withAE;
    case 'A' << 8 | 'S':
    case 'A' << 8 | 'T':
    case 'C' << 8 | 'S':
    case 'D' << 8 | 'A':
    case 'D' << 8 | 'S':
    case 'D' << 8 | 'T':
    case 'F' << 8 | 'L':
    case 'F' << 8 | 'D':
    case 'I' << 8 | 'S':
    case 'L' << 8 | 'O':
    case 'L' << 8 | 'T':
    case 'P' << 8 | 'N':
    case 'S' << 8 | 'H':
    case 'S' << 8 | 'L':
    case 'S' << 8 | 'S':
    case 'S' << 8 | 'T':
    case 'T' << 8 | 'M':
    case 'U' << 8 | 'I':
    case 'U' << 8 | 'L':
    case 'U' << 8 | 'S':
      return true;
    default:
      return false;
  }
}

// Approximate bytes copied when a header is copied: its own texts dominate
// (shared texts are not copied).
size_t HeaderWeight(const DICOMdata& d) {
  static constexpr std::string DICOMdata::*kTexts[] = {
      &DICOMdata::serietag,         &DICOMdata::AcqTime,      &DICOMdata::ImgTime,
      &DICOMdata::ImgTime_formated, &DICOMdata::Image_Date,   &DICOMdata::SOP_Instance_UID,
      &DICOMdata::overlay_type,     &DICOMdata::referenceFile};
  size_t n = sizeof(DICOMdata);
  for (auto m : kTexts) n += (d.*m).size();
  return n;
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && uint8_t(s[a]) <= ' ') ++a;
  while (b > a && uint8_t(s[b - 1]) <= ' ') --b;
  return s.substr(a, b - a);
}

enum class Record { None, Patient, Study, Series, Image, Other };

class Walk {
 public:
  Walk(DicomByteSource& src, bool readFrameTables, DICOMdata& header, const DicomMessageSink& sink,
       bool inflated = false)
      : w_(src),
        h_(header),
        readFrameTables_(readFrameTables),
        inflated_(inflated),
        sink_(sink),
        size_(src.Size()),
        copyBudget_(int64_t(64) * src.Size() + (int64_t(16) << 20)) {}

  void Run();

  bool hdrOK = false;
  bool imgOK = true;
  bool dirMode = false;
  TPatientArr dir;

 private:
  // ---- reading helpers ----
  bool Little() const { return h_.little_endian != 0; }
  uint32_t Word() {
    uint32_t v;
    if (!ReadValueWord(w_, Little(), v)) throw StopWalk{};
    return v;
  }
  uint32_t Long() {
    uint32_t v;
    if (!ReadValueLong(w_, Little(), v)) throw StopWalk{};
    return v;
  }
  void Consume() { length_ = valueLength_ = 0; }
  // A text value that runs past the end of the file is read as long as the
  // walk will then take it (its length cut to 16 bits), so that many such
  // elements cannot each read the rest of the file.
  uint32_t TextLength() const {
    return w_.Position() + int64_t(length_) > size_ ? length_ & 0xFFFF : length_;
  }
  std::string Text(bool keepUnderscore = false) {
    return ReadElementText(w_, TextLength(), keepUnderscore);
  }
  std::string Time() { return ReadElementTime(w_, TextLength()); }
  // A text whose VR the character set reaches (names, descriptions, IDs),
  // decoded to UTF-8 for display; the position is restored like Text().
  std::string Chars() {
    std::string raw;
    if (const uint32_t n = TextLength()) {
      const int64_t at = w_.Position();
      w_.ReadBytes(n, raw);
      w_.Seek(at);
    }
    NoteCharset(raw);
    return DisplayText(charset_, raw, terms_);
  }
  std::string Name() { return PersonNameText(Chars()); }
  // Whether the set a text is read by was a guess, for one message per file.
  void NoteCharset(const std::string& raw) {
    if (charsetNoted_) return;
    bool plain = true;
    for (char c : raw) plain = plain && uint8_t(c) < 0x80 && c != 0x1B;
    if (plain) return;
    if (terms_.empty()) {
      charsetNoted_ = true;
      Message(std::string(kCharsetMessagePrefix) +
              "text without a declared character set is read as Latin-1 (ISO_IR 100)");
    } else if (!CharsetDecoder::Known(terms_)) {
      charsetNoted_ = true;
      std::string all;
      for (const auto& t : terms_) all += (all.empty() ? "" : "\\") + t;
      Message(std::string(kCharsetMessagePrefix) + "\"" + all +
              "\" is not a character set this viewer knows; text is read as Latin-1 (ISO_IR 100)");
    }
  }
  void Integer(int& dest) {
    if (ReadElementInteger(w_, length_, dest)) Consume();
  }
  // A number that directory records copy into their nodes: inside a record
  // an empty or unreadable value reads as 0 (the node's default), never as
  // the number an earlier record left behind.
  void RecordInteger(int& dest) {
    if (RecordWrites()) dest = 0;
    Integer(dest);
  }
  ElementNumbers Numbers() {
    ElementNumbers r = ReadElementNumbers(w_, length_, sink_);
    if (!r.ok) throw StopWalk{};
    Consume();
    return r;
  }
  // The raw value bytes (as many as the file holds); consumed.
  std::string RawValue() {
    std::string raw;
    w_.ReadBytes(length_, raw);
    Consume();
    return raw;
  }
  // A 16-bit value. A value shorter than a word is left to the normal skip, so
  // an empty element cannot shift the walk into the middle of the next one.
  // After the word the walk goes on at the end of the value; when the length
  // is beyond any 16-bit length (a VR misread as part of it) it goes on right
  // after the word, which is where the next element then starts.
  bool WordValue(uint32_t& v, int count = 1, uint32_t* second = nullptr) {
    if (length_ < uint32_t(2 * count)) return false;
    const int64_t start = w_.Position();
    v = Word();
    if (second) *second = Word();
    if (length_ <= 0xFFFF) w_.Seek(start + length_);
    Consume();
    return true;
  }
  // 32 bits when the length is 4, else a word.
  bool Value32OrWord(uint32_t& v) {
    if (length_ == 4) {
      v = Long();
      Consume();
      return true;
    }
    return WordValue(v);
  }
  void Message(const std::string& text) { EmitDicomMessage(sink_, text); }

  // ---- walk steps ----
  bool FindStart();
  void ReadElementHeader();
  void Act();
  void Dispatch();
  void AfterWalk();
  void CleanUp();
  void BoundFrameCount();

  // ---- element rules ----
  void PlainField(const headerfields::Field& f);
  void TransferSyntax();
  void ImageType();
  void Photometric();
  void BitsAllocated();
  void BitsStored();
  void Position();
  void Orientation();
  void Overlay();
  void LutDescriptor();
  void LutData();
  void PaletteDescriptor(TPaletteLut& lut);
  void PaletteData(TPaletteLut& lut, bool segmented);
  void PixelData();
  void Item();
  void SequenceDelimiter();
  void RecordType();
  uint32_t OffsetValue();
  void LinkDirectory();
  void EnterSequenceItem();
  void MosaicMatrix();

  // ---- saved header ----
  void Save();
  void Restore();
  void ChargeCopy(const DICOMdata& d) {
    copyBudget_ -= int64_t(HeaderWeight(d));
    if (copyBudget_ < 0) throw StopWalk{};
  }
  void BeforeLutWrite() {
    if (savedLutIsCurrent_) saved_.Lut.Lutdata = std::move(h_.Lut.Lutdata);
    savedLutIsCurrent_ = false;
    h_.Lut.Lutdata.clear();
  }
  void BeforeOverlayWrite() {
    if (savedOverlayIsCurrent_) saved_.overlay_data_bytes = std::move(h_.overlay_data_bytes);
    savedOverlayIsCurrent_ = false;
    h_.overlay_data_bytes.clear();
  }

  // ---- compressed frames ----
  bool Compressed() const {
    return h_.RunLengthEncoding || h_.JPEGlossyCpt || h_.JPEGJ2k || h_.JPEGlosslessCpt ||
           encapsulated_;
  }
  bool JpegFlag() const { return h_.JPEGlossyCpt || h_.JPEGJ2k || h_.JPEGlosslessCpt; }
  void FinishPixelSequence();

  // ---- directory nodes ----
  bool RecordWrites() const {
    return dirMode && record_ != Record::None && record_ != Record::Other;
  }
  TPatient* CurPatient() { return RecordWrites() && nPatients_ > 0 ? &dir.back() : nullptr; }
  TStudy* CurStudy() {
    TPatient* p = CurPatient();
    return p && nStudies_ > 0 ? &p->studies.back() : nullptr;
  }
  TSeries* CurSeries() {
    TStudy* s = CurStudy();
    return s && nSeries_ > 0 ? &s->serieses.back() : nullptr;
  }
  TImg* CurImage() {
    TSeries* s = CurSeries();
    return s && nImages_ > 0 ? &s->images.back() : nullptr;
  }

  ReadWindow w_;
  DICOMdata& h_;
  const bool readFrameTables_;
  const bool inflated_;  // the source is a deflated file's logical stream
  const DicomMessageSink& sink_;
  const int64_t size_;

  // Walk state.
  bool explicitVR_ = false;
  bool firstElement_ = true;
  bool syntaxKnown_ = false;
  bool syntaxBig_ = false;
  bool standardBig_ = false;  // explicit big endian: switch after the meta group
  // An encapsulated syntax none of the compression flags stands for (deflated
  // frames, encapsulated uncompressed frames).
  bool encapsulated_ = false;
  int64_t pixelDataLength_ = 0;  // of native pixel data read in this walk
  bool lengths16_ = false;
  bool swapAtEnd_ = false;
  bool end_ = false;
  bool insideItem_ = false;
  bool firstItem_ = true;
  bool suppressNextItem_ = false;
  int fragmentCount_ = 0;
  int outsideRows_ = 0;
  int outsideColumns_ = 0;
  bool pixelSigned_ = false;  // Pixel Representation 1 in this file

  // The current element.
  int64_t elementStart_ = 0;
  uint16_t group_ = 0;
  uint16_t element_ = 0;
  uint32_t length_ = 0;
  uint32_t valueLength_ = 0;
  bool undefinedLength_ = false;
  char vr_[2] = {0, 0};

  // Specific Character Set: the file's, and the one in force (a directory
  // record may declare its own).
  CharsetDecoder charset_;
  std::vector<std::string> fileTerms_, terms_;
  bool charsetNoted_ = false;

  // Vendor markers.
  bool mediface_ = false;
  bool merge_ = false;
  bool mosaic_ = false;
  int mosaicMatrix_ = 0;
  int phaseSteps_ = 0;

  // The header as it was at the last examined item. Its LUT entries and
  // overlay bytes are moved there only when the header is about to change
  // them, so saving at every fragment costs no copies of large values.
  DICOMdata saved_;
  bool savedLutIsCurrent_ = true;
  bool savedOverlayIsCurrent_ = true;
  bool touched_ = true;   // a header field may have changed since the last save
  bool skipped_ = false;  // the current element is one the walk only skips
  int64_t copyBudget_;

  // Frame tables as the walk finds them, and the items of the encapsulated
  // pixel data (the first is the basic offset table).
  std::vector<int64_t> tablePos_, tableSize_;
  struct PixelItem {
    int64_t tagPos;
    uint32_t length;
  };
  bool pixelSeqActive_ = false;
  bool pixelSeqSeen_ = false;
  std::vector<PixelItem> pixelItems_;

  // Directory state.
  Record record_ = Record::None;
  int nPatients_ = 0, nStudies_ = 0, nSeries_ = 0, nImages_ = 0;
  // Directory records as the offsets link them: each record's item position,
  // its links and the node the walk made of it (indices into `dir`).
  struct DirRecord {
    Record type = Record::None;
    int64_t itemPos = 0;
    uint32_t next = 0, lower = 0;
    int patient = -1, study = -1, series = -1, image = -1;
  };
  std::vector<DirRecord> records_;
  uint32_t rootOffset_ = 0;
  int64_t recordItemPos_ = -1;  // the item of the record being read
  uint32_t recordNext_ = 0, recordLower_ = 0;
};

bool Walk::FindStart() {
  if (size_ <= 300) return false;
  uint8_t magic[4];
  w_.Seek(128);
  if (w_.ReadBytes(4, magic) == 4 && std::equal(magic, magic + 4, "DICM")) {
    w_.Seek(132);
    return true;
  }
  w_.Seek(0);
  if (w_.ReadBytes(4, magic) == 4 && std::equal(magic, magic + 4, "DICM")) {
    w_.Seek(4);
    return true;
  }
  w_.Seek(0);
  uint32_t g;
  if (!ReadValueWord(w_, true, g)) return false;
  if (g > 8) g = Swap16(g);
  if (g > 4 && g != 8) return false;
  w_.Seek(0);
  return true;
}

void Walk::Run() {
  auto lut = std::move(h_.Lut.Lutdata);
  saved_ = h_;
  h_.Lut.Lutdata = std::move(lut);
  bool orderly = false;
  try {
    if (FindStart()) {
      for (;;) {
        MaybeProcessEvents();
        ReadElementHeader();
        firstElement_ = false;
        valueLength_ = length_;
        Act();
        if (end_ && !imgOK) {
          hdrOK = true;
          break;
        }
        if (w_.Position() + int64_t(length_) > size_) length_ &= 0xFFFF;
        if (!end_ && length_ != 0 && valueLength_ != 0) {
          if (w_.Position() + int64_t(length_) > size_) {
            if (h_.GenesisCpt || JpegFlag()) hdrOK = true;
            break;
          }
          w_.Seek(w_.Position() + length_);
        }
        if (end_) {
          orderly = true;
          break;
        }
      }
    }
  } catch (const StopWalk&) {
    // A read past the end of the file: the walk stops where it stands.
  }
  if (orderly) AfterWalk();
  CleanUp();
  if (dirMode) LinkDirectory();
}

void Walk::ReadElementHeader() {
  for (;;) {
    elementStart_ = w_.Position();
    uint32_t g = Word();
    if (standardBig_ && Little() && g != 0x0002 && g != 0x0200) {
      // The data set after the meta group of an explicit big-endian file. The
      // check below catches it only when it starts with group 0008; a
      // big-endian DICOMDIR starts with group 0004.
      standardBig_ = false;
      h_.little_endian = 0;
      w_.Seek(elementStart_);
      g = Word();
    }
    if (g == 0x0800) {
      h_.little_endian = 1 - h_.little_endian;
      w_.Seek(elementStart_);
      g = Word();
    }
    const uint32_t e = Word();
    const uint32_t v = Long();
    group_ = uint16_t(g);
    element_ = uint16_t(e);
    length_ = v;
    vr_[0] = vr_[1] = 0;
    if (explicitVR_ && v == 13) length_ = 10;
    if ((explicitVR_ || firstElement_) && group_ != 0xFFFE) {
      const uint8_t c1 = uint8_t(v), c2 = uint8_t(v >> 8), c3 = uint8_t(v >> 16),
                    c4 = uint8_t(v >> 24);
      bool matched = true;
      if (IsLongVRPair(c1, c2)) {
        vr_[0] = char(c1), vr_[1] = char(c2);
        length_ = Long();
      } else if (IsLongVRPair(c4, c3)) {
        length_ = Long();
      } else if (IsShortVRPair(c1, c2, true)) {
        vr_[0] = char(c1), vr_[1] = char(c2);
        length_ = Little() ? v >> 16 : Swap16(v >> 16);
      } else if (IsShortVRPair(c4, c3, false)) {
        length_ = Little() ? uint32_t(c1) * 256 + c2 : c1 + uint32_t(c2) * 256;
      } else {
        matched = false;
      }
      if (matched && firstElement_) explicitVR_ = true;
    }
    if (firstElement_ && length_ == 0x04000000) {
      // A first length that only makes sense in the other byte order.
      h_.little_endian = 1 - h_.little_endian;
      if (h_.little_endian) Message("Switching to little endian");
      w_.Seek(elementStart_);
      firstElement_ = false;
      continue;
    }
    undefinedLength_ = length_ == 0xFFFFFFFF;
    if (undefinedLength_) length_ = 0;
    if (lengths16_) length_ &= 0xFFFF;
    return;
  }
}

void Walk::Act() {
  skipped_ = false;
  Dispatch();
  if (!skipped_ && group_ != 0xFFFE) touched_ = true;
}

// The elements that need code; the plain fields (one value into one field)
// are rows of headerfields' table instead.
void Walk::Dispatch() {
  const uint32_t tag = Tag(group_, element_);
  if (group_ >= 0x6000 && group_ <= 0x601E && !(group_ & 1)) {
    Overlay();
    return;
  }
  switch (tag) {
    case Tag(0x0002, 0x0010):
      TransferSyntax();
      break;
    case Tag(0x0002, 0x0013):
      if (length_ >= 5 && Text() == "MEDIFACE 1 5") mediface_ = true;
      break;
    case Tag(0x0004, 0x1220):
      dirMode = true;
      dir.clear();
      records_.clear();
      nPatients_ = nStudies_ = nSeries_ = nImages_ = 0;
      record_ = Record::None;
      length_ = 0;
      break;
    case Tag(0x0004, 0x1200):
      rootOffset_ = OffsetValue();
      break;
    case Tag(0x0004, 0x1400):
      recordNext_ = OffsetValue();
      break;
    case Tag(0x0004, 0x1420):
      recordLower_ = OffsetValue();
      break;
    case Tag(0x0004, 0x1430):
      terms_ = fileTerms_;
      RecordType();
      break;
    case Tag(0x0004, 0x1500): {
      const std::string path = Text(true);
      if (dirMode && record_ == Record::Image)
        if (TImg* img = CurImage()) img->imagePath = path;
      break;
    }
    case Tag(0x0008, 0x0005): {
      // The file's set, or a directory record's own; a set in any other
      // item (a referenced instance's) does not change this data set's text.
      std::string raw;
      w_.ReadBytes(TextLength(), raw);
      Consume();
      if (dirMode && record_ != Record::None) {
        terms_ = CharsetTerms(raw);
      } else if (!insideItem_) {
        fileTerms_ = terms_ = CharsetTerms(raw);
      }
      break;
    }
    case Tag(0x0008, 0x0008):
      ImageType();
      break;
    case Tag(0x0008, 0x0020):
      h_.StudyDatePos = w_.Position();
      h_.studydate_formated = FormatDicomDate(Chars());
      h_.StudyDate = Text();
      if (TStudy* s = CurStudy()) s->studyDate = h_.StudyDate;
      break;
    case Tag(0x0008, 0x0030):
      h_.Study_Time = Time();
      if (TStudy* s = CurStudy()) s->studyTime = h_.Study_Time;
      break;
    case Tag(0x0008, 0x0050):
      RecordInteger(h_.accession);
      if (TStudy* s = CurStudy()) s->accessionNumber = h_.accession;
      break;
    case Tag(0x0008, 0x0060):
      h_.modality = Text();
      if (TSeries* s = CurSeries()) s->modality = h_.modality;
      break;
    case Tag(0x0008, 0x1030):
      h_.Study_Description = Chars();
      if (TStudy* s = CurStudy()) s->description = h_.Study_Description;
      break;
    case Tag(0x0008, 0x1111):
      if (mediface_) EnterSequenceItem();
      break;
    case Tag(0x0008, 0x1140):
      if (mediface_ && length_ > 255) EnterSequenceItem();
      break;
    case Tag(0x0009, 0x0010):
      if (length_ >= 5) {
        std::string letters;
        for (char c : RawValue())
          if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) letters.push_back(c & ~0x20);
        if (letters.size() >= 5 && letters.compare(0, 4, "MERG") == 0) merge_ = true;
      }
      break;
    case Tag(0x0010, 0x0010):
      h_.PatientName = Name();
      if (TPatient* p = CurPatient()) p->patientName = h_.PatientName;
      break;
    case Tag(0x0010, 0x0020):
      h_.PatientID = Chars();
      h_.PatientIDint = DigitsToInteger(h_.PatientID.str());
      if (TPatient* p = CurPatient()) p->patintID = h_.PatientID;
      break;
    case Tag(0x0010, 0x0021):
      h_.Issuer_Of_Patient_ID = Chars();
      if (TPatient* p = CurPatient()) p->issuer = h_.Issuer_Of_Patient_ID;
      break;
    case Tag(0x0018, 0x0050):
      h_.XYZmm[2] = Numbers().first;
      break;
    case Tag(0x0018, 0x0088): {
      const double v = Numbers().first;
      h_.XYZmm[2] = v;
      h_.spacing = ToFloat(v);
      break;
    }
    case Tag(0x0018, 0x0089):
      phaseSteps_ = RoundToInt(Numbers().first);
      break;
    case Tag(0x0018, 0x1310): {
      const WordList list = ReadElementWordList(w_, Little(), length_);
      if (!list.ok) throw StopWalk{};
      Consume();
      if (merge_) mosaicMatrix_ = int(list.largest);
      break;
    }
    case Tag(0x0019, 0x1220):
    case Tag(0x0019, 0x14D4):
      MosaicMatrix();
      break;
    case Tag(0x0020, 0x000D):
      h_.Study_Instance_UID = Text();
      if (TStudy* s = CurStudy()) s->instanceUid = h_.Study_Instance_UID;
      break;
    case Tag(0x0020, 0x000E):
      h_.Series_Instance_UID = Text();
      if (TSeries* s = CurSeries()) s->instanceUid = h_.Series_Instance_UID;
      break;
    case Tag(0x0020, 0x0010):
      h_.Study_ID = Chars();
      if (TStudy* s = CurStudy()) s->studyID = h_.Study_ID;
      break;
    case Tag(0x0020, 0x0011):
      RecordInteger(h_.SeriesNum);
      if (TSeries* s = CurSeries()) s->seriesNumber = h_.SeriesNum;
      break;
    case Tag(0x0020, 0x0013):
      RecordInteger(h_.ImageNum);
      if (record_ == Record::Image)
        if (TImg* img = CurImage()) img->instanceNumber = h_.ImageNum;
      break;
    case Tag(0x0020, 0x0032):
      Position();
      break;
    case Tag(0x0020, 0x0037):
      Orientation();
      break;
    case Tag(0x0021, 0x134F): {
      h_.SiemensInterleaved = 0;
      std::string kept;
      for (char c : RawValue()) {
        if (c == '?') kept.push_back(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) kept.push_back(char(c & ~0x20));
      }
      if (!kept.empty() && kept[0] == 'I') h_.SiemensInterleaved = 1;
      break;
    }
    case Tag(0x0028, 0x0002): {
      if (length_ > 255) explicitVR_ = true;
      uint32_t v;
      if (WordValue(v)) h_.SamplesPerPixel = h_.Pixel.samplesPerPixel = int(v);
      break;
    }
    case Tag(0x0028, 0x0004):
      Photometric();
      break;
    case Tag(0x0028, 0x0008):
      Integer(h_.XYZdim[2]);
      if (h_.XYZdim[2] < 1) h_.XYZdim[2] = 1;
      break;
    case Tag(0x0028, 0x0010): {
      uint32_t v;
      if (WordValue(v)) {
        h_.XYZdim[1] = int(v);
        if (!insideItem_) outsideRows_ = int(v);
      }
      break;
    }
    case Tag(0x0028, 0x0011): {
      uint32_t v;
      if (WordValue(v)) {
        h_.XYZdim[0] = int(v);
        if (!insideItem_) outsideColumns_ = int(v);
      }
      break;
    }
    case Tag(0x0028, 0x0030): {
      const ElementNumbers n = Numbers();
      h_.XYZmm[1] = n.first;
      h_.XYZmm[0] = n.second;
      break;
    }
    case Tag(0x0028, 0x0100):
      BitsAllocated();
      break;
    case Tag(0x0028, 0x0101):
      BitsStored();
      break;
    case Tag(0x0028, 0x0103): {
      uint32_t v;
      if (WordValue(v)) {
        h_.pixel_representation = h_.Pixel.pixelRepresentation = int(v);
        pixelSigned_ = v == 1;
      }
      break;
    }
    case Tag(0x0028, 0x0106): {
      h_.MinIntensitySet = true;
      uint32_t v;
      if (WordValue(v)) h_.MinIntensity = int(v);
      break;
    }
    // Kept as given: a window of 0.21 or 1e-4 must not round to 0.
    case Tag(0x0028, 0x1050):
      if (length_ != 0) h_.WindowCenter = FiniteOrZero(Numbers().first);
      break;
    case Tag(0x0028, 0x1051):
      if (length_ != 0) h_.WindowWidth = FiniteOrZero(Numbers().first);
      break;
    case Tag(0x0028, 0x1052):
      h_.Pixel.rescaleIntercept = Numbers().first;
      h_.IntenIntercept = ToFloat(h_.Pixel.rescaleIntercept);
      break;
    case Tag(0x0028, 0x1053): {
      const double v = Numbers().first;
      h_.IntenScale = v < 1e-9 ? 1.0f : ToFloat(v);
      h_.Pixel.rescaleSlope = v < 1e-9 ? 1.0 : v;
      break;
    }
    case Tag(0x0028, 0x1101):
    case Tag(0x0028, 0x1102):
    case Tag(0x0028, 0x1103):
      PaletteDescriptor(h_.Pixel.palette[element_ - 0x1101]);
      break;
    case Tag(0x0028, 0x1201):
    case Tag(0x0028, 0x1202):
    case Tag(0x0028, 0x1203):
      PaletteData(h_.Pixel.palette[element_ - 0x1201], false);
      break;
    case Tag(0x0028, 0x1221):
      h_.RLEredOffset = w_.Position();
      h_.RLEredSz = length_;
      PaletteData(h_.Pixel.palette[0], true);
      break;
    case Tag(0x0028, 0x1222):
      h_.RLEgreenOffset = w_.Position();
      h_.RLEgreenSz = length_;
      PaletteData(h_.Pixel.palette[1], true);
      break;
    case Tag(0x0028, 0x1223):
      h_.RLEblueOffset = w_.Position();
      h_.RLEblueSz = length_;
      PaletteData(h_.Pixel.palette[2], true);
      break;
    case Tag(0x0028, 0x3002):
      LutDescriptor();
      break;
    case Tag(0x0028, 0x3006):
      LutData();
      break;
    case Tag(0x0028, 0x3010):
      if (explicitVR_ && vr_[0] == 'S' && vr_[1] == 'Q') EnterSequenceItem();
      break;
    case Tag(0x0029, 0x1010):
      if (h_.RunLengthEncoding || (JpegFlag() && h_.gECATJPEG_table_entries >= h_.XYZdim[2])) {
        end_ = true;
        // The value is skipped even though the walk ends here.
        if (w_.Position() + int64_t(length_) <= size_) {
          w_.Seek(w_.Position() + length_);
          Consume();
        }
      }
      break;
    case Tag(0x0041, 0x1050):
      if (w_.Position() + int64_t(length_) == size_) length_ = 8;
      break;
    case Tag(0x0089, 0x1010):
      length_ = 0;
      suppressNextItem_ = true;
      break;
    case Tag(0x0089, 0x1020):
      if (length_ > 12) length_ = 0;
      break;
    case Tag(0xDDFF, 0x00E0):
      end_ = true;
      break;
    case Tag(0x7FE0, 0x0000):
      if (!imgOK) end_ = true;
      break;
    case Tag(0x7FE0, 0x0010):
      PixelData();
      break;
    case Tag(0x7FE0, 0x0008):  // Float Pixel Data
    case Tag(0x7FE0, 0x0009):  // Double Float Pixel Data
      if (!dirMode && h_.XYZdim[0] >= saved_.XYZdim[0])
        h_.Pixel.floatBits = element_ == 8 ? 32 : 64;
      PixelData();
      break;
    case Tag(0xFFFE, 0xE000):
      Item();
      break;
    case Tag(0xFFFE, 0xE00D):
      insideItem_ = false;
      break;
    case Tag(0xFFFE, 0xE0DD):
      SequenceDelimiter();
      break;
    default:
      if (const headerfields::Field* f = headerfields::FindField(tag))
        PlainField(*f);
      else
        skipped_ = true;  // the header is unchanged
      break;
  }
}

void Walk::PlainField(const headerfields::Field& f) {
  using headerfields::Read;
  uint32_t v;
  switch (f.read) {
    case Read::Text:
    case Read::Chars:
    case Read::Name:
    case Read::Time:
    case Read::Date: {
      std::string text = f.read == Read::Time    ? Time()
                         : f.read == Read::Chars ? Chars()
                         : f.read == Read::Name  ? Name()
                                                 : Text();
      if (f.read == Read::Date) text = FormatDicomDate(Chars());
      if (f.text)
        h_.*f.text = std::move(text);
      else
        h_.*f.shared = text;
      break;
    }
    case Read::Real:
      h_.*f.real = ToFloat(Numbers().first);
      break;
    case Read::Integer:
      Integer(h_.*f.integer);
      break;
    case Read::Word:
      if (WordValue(v)) h_.*f.integer = int(v);
      break;
    case Read::Word32:
      if (Value32OrWord(v)) h_.*f.integer = int(v);
      break;
  }
}

// Steps over a sequence's first item tag and length, so the walk reads that
// item's elements instead of skipping the sequence. An empty sequence is
// skipped whole: stepping 8 bytes into it would land inside the next element.
void Walk::EnterSequenceItem() {
  if (undefinedLength_ || length_ >= 8) length_ = 8;
}

void Walk::TransferSyntax() {
  if (w_.Position() + int64_t(length_) > size_) throw StopWalk{};
  std::string text = RawValue();
  std::string uid = text;
  while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.pop_back();
  h_.TransferSyntaxUID = uid;
  if (uid == kDeflatedSyntax && !inflated_) throw DeflatedDataSetFound{};
  if (uid == "1.2.840.10008.1.2.8.1" || uid == "1.2.840.10008.1.2.1.98") {
    // Explicit little endian with one encapsulated fragment per frame.
    syntaxKnown_ = true;
    explicitVR_ = true;
    syntaxBig_ = false;
    if (readFrameTables_)
      encapsulated_ = true;
    else
      imgOK = false;
    return;
  }
  for (char& c : text)
    if (!IsUidChar(uint8_t(c))) c = '.';
  if (text == "1.2.840.113619.5.2") {
    lengths16_ = true;
    syntaxKnown_ = true;
    syntaxBig_ = true;
  }
  if (text.size() < 19) return;
  switch (text[18]) {
    case '1':
      syntaxKnown_ = true;
      explicitVR_ = true;
      syntaxBig_ = false;
      break;
    case '2':
      syntaxKnown_ = true;
      explicitVR_ = true;
      syntaxBig_ = true;
      standardBig_ = true;
      break;
    case '4': {
      const bool twoDigits = text.size() >= 22 && text[20] >= '0' && text[20] <= '9' &&
                             text[21] >= '0' && text[21] <= '9';
      if (text.size() < 21) {
        Message("Unknown Transfer Syntax: JPEG?");
        imgOK = false;
      } else if (!readFrameTables_) {
        imgOK = false;
      } else if (!twoDigits) {
        // 1.2.840.10008.1.2.4.N with a one-digit N names no JPEG process.
        Message("Unknown Transfer Syntax: JPEG?");
        imgOK = false;
      } else {
        const int p = (text[20] - '0') * 10 + (text[21] - '0');
        if (p == 90 || p == 91)
          h_.JPEGJ2k = true;
        else if (p == 57 || p == 70)
          h_.JPEGlosslessCpt = true;
        else
          h_.JPEGlossyCpt = true;
      }
      break;
    }
    case '5':
      h_.RunLengthEncoding = true;
      break;
    default:
      Message(std::string("Unable to extract unknown data type: ") + text[16]);
      imgOK = false;
      break;
  }
}

void Walk::ImageType() {
  const std::string raw = RawValue();
  std::string letters;
  for (size_t i = raw.size(); i-- > 0;) {
    const char c = raw[i];
    if (c == ' ') continue;
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) break;
    letters.push_back(char(c & ~0x20));
  }
  std::reverse(letters.begin(), letters.end());
  h_.imageType = letters;
  if (h_.imageType == "MOSAIC") mosaic_ = true;
  if (record_ == Record::Image)
    if (TImg* img = CurImage()) img->imageType = h_.imageType;
}

void Walk::Photometric() {
  std::string kept;
  const std::string raw = RawValue();
  std::string text = raw;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  h_.Pixel.photometric = text;
  for (char c : raw)
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
      kept.push_back(c);
  if (kept == "MONOCHROME1")
    h_.Monochrome = 1;
  else if (kept == "MONOCHROME2")
    h_.Monochrome = 2;
  else
    h_.Monochrome = !kept.empty() && kept[0] == 'Y' ? 4 : 3;
}

void Walk::BitsAllocated() {
  uint32_t b;
  if (!Value32OrWord(b)) return;
  h_.Pixel.bitsAllocated = int(b);
  const uint32_t swapped = Swap16(b & 0xFFFF);
  // 1, 32 and 64 bits (segmentations, dose grids, float data) are read as well.
  if (b == 8 || b == 12 || b == 16 || b == 1 || b == 32 || b == 64) {
    h_.Allocbits_per_pixel = int(b);
  } else if (b == 24) {
    h_.SamplesPerPixel = 3;
    h_.Allocbits_per_pixel = 8;
  } else if (swapped == 8 || swapped == 12 || swapped == 16 || swapped == 24) {
    h_.Allocbits_per_pixel = int(b);
    swapAtEnd_ = true;
  } else {
    if (imgOK)
      Message("This software only reads 8, 12 and 16 bit DICOM files. This file allocates " +
              std::to_string(b) + " bits per voxel.");
    imgOK = false;
  }
}

void Walk::BitsStored() {
  uint32_t s;
  if (!Value32OrWord(s)) return;
  h_.Pixel.bitsStored = int(s);
  if ((h_.Allocbits_per_pixel == 32 || h_.Allocbits_per_pixel == 64) && s > 16 &&
      s <= uint32_t(h_.Allocbits_per_pixel)) {
    // Wide grey samples: neither a colour hint nor a depth to refuse.
    h_.Storedbits_per_pixel = int(s);
  } else if (s <= 8) {
    h_.Storedbits_per_pixel = 8;
  } else if (s <= 16) {
    h_.Storedbits_per_pixel = 16;
  } else if (s <= 24) {
    h_.Storedbits_per_pixel = 24;
    h_.SamplesPerPixel = 3;
  } else {
    const uint32_t swapped = Swap16(s & 0xFFFF);
    if (swapped == 8 || swapped == 12 || swapped == 16) {
      h_.Storedbits_per_pixel = int(s);
      swapAtEnd_ = true;
    } else {
      if (imgOK)
        Message("This software can only read 8, 12 and 16 bit DICOM files. This file stores " +
                std::to_string(s) + " bits per voxel.");
      h_.Storedbits_per_pixel = int(s);
      imgOK = false;
    }
  }
}

void Walk::Position() {
  const ElementNumbers n = Numbers();
  const auto items = SplitValues(n.text, ' ');
  if (items.size() < 3) {
    h_.image_Postion = {0, 0, 0};
    return;
  }
  for (int i = 0; i < 3; ++i)
    if (!StrToFloat(items[i], h_.image_Postion[i])) break;
}

void Walk::Orientation() {
  const ElementNumbers n = Numbers();
  const auto items = SplitValues(n.text, ' ');
  if (items.size() != 6) return;
  for (int i = 0; i < 6; ++i)
    if (!StrToFloat(items[i], h_.IMAGE_ORIENTATION_PATIENT[i]))
      throw EDicomValueError("'" + items[i] + "' is not a valid floating point value");
}

void Walk::Overlay() {
  uint32_t v, v2;
  switch (element_) {
    case 0x0010:
      if (length_ > 1 && WordValue(v)) h_.overlay_rows = int(v);
      break;
    case 0x0011:
      if (length_ > 1 && WordValue(v)) h_.overlay_columns = int(v);
      break;
    case 0x0040:
      if (length_ != 0) h_.overlay_type = Text();
      break;
    case 0x0050:
      if (length_ > 3 && WordValue(v, 2, &v2)) {
        h_.overlay_orgin_1 = int(v);
        h_.overlay_orgin_2 = int(v2);
      }
      break;
    case 0x0100:
      if (length_ > 1 && WordValue(v)) h_.overlay_bits_allocated = int(v);
      break;
    case 0x0102:
      if (length_ > 1 && WordValue(v)) h_.overlay_bits_position = int(v);
      break;
    case 0x3000: {
      BeforeOverlayWrite();
      // Only what the file holds is allocated, whatever the length says.
      const size_t n = size_t(std::min<int64_t>(length_, w_.Remaining()));
      h_.overlay_data_bytes.resize(n);
      h_.overlay_data_bytes.resize(w_.ReadBytes(n, h_.overlay_data_bytes.data()));
      Consume();
      break;
    }
    default:
      skipped_ = true;
      break;
  }
}

void Walk::LutDescriptor() {
  if (length_ != 6) return;
  const uint32_t size = Word();
  const uint32_t first = Word();
  const uint32_t bits = Word();
  Consume();
  h_.Lut.LutSize = int(size);
  // The first mapped value is signed for signed pixels: -1024 is not 64512.
  h_.Lut.LutOffset = pixelSigned_ ? int(int16_t(uint16_t(first))) : int(first);
  h_.Lut.LutBitsPerPixel = int(bits);
}

void Walk::LutData() {
  // A descriptor size of 0 stands for 65536 entries. No more entries are
  // read than the value holds, and the walk goes on after the value.
  const int64_t start = w_.Position();
  const uint32_t want = h_.Lut.LutSize <= 0 ? 65536u : uint32_t(h_.Lut.LutSize);
  const uint32_t count =
      uint32_t(std::min<int64_t>(std::min<int64_t>(want, length_ / 2), w_.Remaining() / 2));
  BeforeLutWrite();
  h_.Lut.Lutdata.resize(count);
  for (uint32_t i = 0; i < count; ++i) h_.Lut.Lutdata[i] = int32_t(Word());
  h_.Lut.LutSize = int(count < want ? count : want);
  w_.Seek(start + length_);
  Consume();
}

// Three words: entries, first mapped value, bits per entry.
void Walk::PaletteDescriptor(TPaletteLut& lut) {
  if (length_ != 6) return;
  lut.entries = int(Word());
  const uint32_t first = Word();
  lut.firstMapped = pixelSigned_ ? int(int16_t(uint16_t(first))) : int(first);
  lut.bits = int(Word());
  Consume();
}

// The table's bytes, as many as the file holds. Segmented data is also
// recorded by position, and the walk skips it as before.
void Walk::PaletteData(TPaletteLut& lut, bool segmented) {
  const int64_t start = w_.Position();
  const auto n = size_t(std::min<int64_t>(length_, w_.Remaining()));
  auto bytes = std::make_shared<std::vector<uint8_t>>(n);
  bytes->resize(w_.ReadBytes(n, bytes->data()));
  lut.data = std::move(bytes);
  lut.segmented = segmented;
  if (segmented) {
    w_.Seek(start);
  } else {
    Consume();
  }
}

void Walk::MosaicMatrix() {
  const ElementNumbers n = Numbers();
  const double m = n.second > n.first ? n.second : n.first;
  mosaicMatrix_ = RoundToInt(m);
}

void Walk::PixelData() {
  if (dirMode) return;  // skipped by the walk
  if (h_.XYZdim[0] < saved_.XYZdim[0]) {
    // The pixel data of a smaller image inside an item (an icon).
    Restore();
    return;
  }
  if (!Compressed()) {
    end_ = true;
    h_.ImageSz = length_;
    pixelDataLength_ = undefinedLength_ ? 0 : int64_t(length_);
    Consume();
    return;
  }
  Consume();  // the walk goes on with the fragment items
  if (!pixelSeqSeen_) {
    pixelSeqSeen_ = true;
    pixelSeqActive_ = true;
  }
}

void Walk::Item() {
  if (dirMode) {
    // A record's links and type follow its item tag; nested items come after
    // the type and do not matter.
    recordItemPos_ = elementStart_;
    recordNext_ = recordLower_ = 0;
    length_ = 0;
    return;
  }
  insideItem_ = true;
  const int64_t pos = w_.Position();
  if (pixelSeqActive_) pixelItems_.push_back({elementStart_, length_});
  if (!suppressNextItem_) {
    const bool fits = pos + int64_t(length_) <= size_;
    // What is recorded of a fragment never reaches past the end of the file.
    const int64_t held = std::min<int64_t>(length_, std::max<int64_t>(0, size_ - pos));
    if (readFrameTables_ && Compressed() && !firstItem_ && length_ > 1024 && fits) {
      if (h_.gECATJPEG_table_entries == 0) h_.gECATJPEG_table_entries = h_.XYZdim[2];
      if (fragmentCount_ < h_.gECATJPEG_table_entries) {
        // The tables grow with the fragments found, never beyond what the
        // file can hold, whatever the number of frames says.
        ++fragmentCount_;
        tablePos_.push_back(pos);
        tableSize_.push_back(length_);
      }
    }
    if (h_.CompressOffset == 0 && fits && length_ > 1024) {
      h_.CompressOffset = pos;
      h_.CompressSz = length_;
    }
    if (length_ > 1024 && h_.CompressSz == 0) {
      h_.CompressSz = held;
      h_.CompressOffset = pos;
    }
    if (firstItem_)
      h_.CompressOffset = pos;
    else if (h_.CompressSz < length_ && !h_.RunLengthEncoding)
      h_.CompressOffset = pos;
    if (h_.CompressSz < length_ && length_ > 1024) h_.CompressSz = held;
    firstItem_ = false;
    Save();
    if (h_.gECATJPEG_table_entries == 1 && !tablePos_.empty()) {
      // CompressSz may belong to another fragment than CompressOffset (run
      // length data): keep the entry inside the file.
      tablePos_[0] = h_.CompressOffset;
      tableSize_[0] = std::clamp<int64_t>(size_ - h_.CompressOffset, 0, h_.CompressSz);
    }
  }
  suppressNextItem_ = false;
  if (pos + int64_t(length_) >= size_) end_ = true;
  w_.Seek(pos + length_);
  Consume();
}

void Walk::SequenceDelimiter() {
  const bool closesPixelData = pixelSeqActive_;
  if (h_.XYZdim[0] < saved_.XYZdim[0])
    Restore();
  else if (h_.RunLengthEncoding || (JpegFlag() && h_.gECATJPEG_table_entries >= h_.XYZdim[2]))
    end_ = true;
  if (length_ == 0 && h_.CompressSz == 0 && h_.RunLengthEncoding) {
    explicitVR_ = true;
    end_ = false;
  }
  if (closesPixelData) {
    // The end of the encapsulated pixel data ends the walk in every case.
    FinishPixelSequence();
    end_ = true;
  }
  w_.Seek(w_.Position() + length_);
  Consume();
}

// Where the fragment rule missed frames (frames of 1024 bytes or less, frames
// split over several fragments), the frames are located as the standard says:
// by the basic offset table when it is not empty, else one fragment per frame
// when the counts agree, else (JPEG family) by the fragments that begin a
// stream, else all fragments form the frame of a single-frame image. In files
// where the rule found every frame these give the same tables.
void Walk::FinishPixelSequence() {
  pixelSeqActive_ = false;
  if (!readFrameTables_ || !Compressed() || pixelItems_.empty()) return;
  const PixelItem bot = pixelItems_[0];
  const std::vector<PixelItem> frags(pixelItems_.begin() + 1, pixelItems_.end());
  const int64_t frames = std::max(1, h_.XYZdim[2]);
  const auto fragSize = [&](const PixelItem& f) {
    return std::clamp<int64_t>(size_ - (f.tagPos + 8), 0, f.length);
  };
  std::vector<int64_t> pos, len;
  // Frame k is fragments [first[k], first[k + 1]).
  std::vector<size_t> first;
  const int64_t botValue = bot.tagPos + 8;
  if (bot.length >= 4 && !frags.empty() && botValue + bot.length <= size_ &&
      bot.length / 4 == uint64_t(frames)) {
    const int64_t here = w_.Position();
    w_.Seek(botValue);
    const int64_t base = botValue + bot.length;
    size_t next = 0;
    bool valid = true;
    for (int64_t k = 0; k < frames && valid; ++k) {
      uint32_t off;
      if (!ReadValueLong(w_, Little(), off)) {
        valid = false;
        break;
      }
      while (next < frags.size() && frags[next].tagPos - base < int64_t(off)) ++next;
      valid =
          next < frags.size() && frags[next].tagPos - base == int64_t(off) && (k > 0 || next == 0);
      if (valid) first.push_back(next++);
    }
    w_.Seek(here);
    if (!valid) first.clear();
  }
  if (IsVideoSyntax(h_.TransferSyntaxUID)) {
    // A video is one stream over all its fragments, whatever the frame count:
    // one entry, its first fragment and their total length.
    first.clear();
    if (!frags.empty()) first.push_back(0);
  } else if (first.empty() && int64_t(frags.size()) == frames) {
    for (size_t k = 0; k < frags.size(); ++k) first.push_back(k);
  } else if (first.empty() && frames > 1 && JpegFlag() && int64_t(frags.size()) > frames) {
    // No usable table and more fragments than frames: a JPEG-family frame
    // begins where a fragment begins with its stream's first marker (SOI, or
    // SOC and the JP2 signature for JPEG 2000), as DCMTK finds them.
    const int64_t here = w_.Position();
    std::vector<size_t> starts;
    for (size_t k = 0; k < frags.size(); ++k) {
      uint8_t head[4] = {};
      if (frags[k].length < 4 || fragSize(frags[k]) < 4) continue;
      w_.Seek(frags[k].tagPos + 8);
      if (w_.ReadBytes(4, head) != 4) continue;
      const bool jpeg = head[0] == 0xFF && (head[1] == 0xD8 || head[1] == 0x4F);
      const bool jp2 = head[0] == 0 && head[1] == 0 && head[2] == 0 && head[3] == 0x0C;
      if (jpeg || jp2) starts.push_back(k);
    }
    w_.Seek(here);
    if (int64_t(starts.size()) == frames && starts[0] == 0) first = starts;
  } else if (first.empty() && frames == 1 && !frags.empty()) {
    first.push_back(0);
  }
  if (first.empty()) return;  // the file does not say: keep what the rule found
  first.push_back(frags.size());
  tablePos_.clear();
  tableSize_.clear();
  for (size_t k = 0; k + 1 < first.size(); ++k) {
    int64_t total = 0;
    for (size_t f = first[k]; f < first[k + 1]; ++f) total += fragSize(frags[f]);
    tablePos_.push_back(frags[first[k]].tagPos + 8);
    tableSize_.push_back(total);
  }
  fragmentCount_ = int(tablePos_.size());
}

void Walk::RecordType() {
  const std::string type = Trim(Text());
  if (!dirMode) return;
  // A record whose parent level has no node yet (records out of order, or a
  // parent of an unknown type) gets an empty parent, so its files stay
  // reachable.
  const auto ensurePatient = [&] {
    if (nPatients_ == 0) {
      dir.emplace_back();
      nPatients_ = 1;
      nStudies_ = nSeries_ = nImages_ = 0;
    }
  };
  const auto ensureStudy = [&] {
    ensurePatient();
    if (nStudies_ == 0) {
      dir.back().studies.emplace_back();
      nStudies_ = 1;
      nSeries_ = nImages_ = 0;
    }
  };
  const auto ensureSeries = [&] {
    ensureStudy();
    if (nSeries_ == 0) {
      dir.back().studies.back().serieses.emplace_back();
      nSeries_ = 1;
      nImages_ = 0;
    }
  };
  if (type == "PATIENT") {
    record_ = Record::Patient;
    ++nPatients_;
    nStudies_ = nSeries_ = nImages_ = 0;
    dir.emplace_back();
  } else if (type == "STUDY") {
    ensurePatient();
    record_ = Record::Study;
    ++nStudies_;
    nSeries_ = nImages_ = 0;
    dir.back().studies.emplace_back();
  } else if (type == "SERIES") {
    ensureStudy();
    record_ = Record::Series;
    ++nSeries_;
    nImages_ = 0;
    dir.back().studies.back().serieses.emplace_back();
  } else if (type == "IMAGE" || type == "SR DOCUMENT" || type == "ENCAP DOC" ||
             type == "WAVEFORM") {
    // Reports, documents and waveforms name their file as images do; the
    // load tells them apart by the file's SOP class.
    ensureSeries();
    record_ = Record::Image;
    ++nImages_;
    dir.back().studies.back().serieses.back().images.emplace_back();
  } else {
    // PRESENTATION, PRIVATE, KEY OBJECT DOC, ...: no node, and none of the
    // record's values reach the nodes of the tree.
    record_ = Record::Other;
  }
  // Where the walk filed the record, for LinkDirectory.
  DirRecord r;
  r.type = record_;
  r.itemPos = recordItemPos_;
  r.next = recordNext_;
  r.lower = recordLower_;
  if (record_ != Record::Other) {
    r.patient = int(dir.size()) - 1;
    if (record_ != Record::Patient) r.study = int(dir.back().studies.size()) - 1;
    if (record_ == Record::Series || record_ == Record::Image)
      r.series = int(dir.back().studies.back().serieses.size()) - 1;
    if (record_ == Record::Image)
      r.image = int(dir.back().studies.back().serieses.back().images.size()) - 1;
  }
  records_.push_back(r);
}

// A 32-bit offset of the directory (UL); 0 when the value is not 4 bytes.
uint32_t Walk::OffsetValue() {
  if (length_ != 4) return 0;
  const uint32_t v = Long();
  Consume();
  return v;
}

// The walk files records in file order, which is the directory's order only
// when the writer wrote them depth first. The records' own links (the root's
// first record, each record's next record and first lower-level record) say
// where each belongs whatever the order; the tree is rebuilt from them when
// they are complete and consistent, and reach every image the walk found.
// Otherwise the file-order tree stands.
void Walk::LinkDirectory() {
  if (rootOffset_ == 0 || records_.empty()) return;
  std::vector<std::pair<int64_t, size_t>> byPos;
  byPos.reserve(records_.size());
  for (size_t i = 0; i < records_.size(); ++i) byPos.emplace_back(records_[i].itemPos, i);
  std::sort(byPos.begin(), byPos.end());
  const auto find = [&](uint32_t offset) -> int {
    const auto it =
        std::lower_bound(byPos.begin(), byPos.end(), std::make_pair(int64_t(offset), size_t(0)));
    return it != byPos.end() && it->first == int64_t(offset) ? int(it->second) : -1;
  };
  // Builds the tree from the chain that starts at `root`; false when the
  // links are unusable or miss an image.
  const auto build = [&](uint32_t root) {
    std::vector<uint8_t> seen(records_.size(), 0);
    bool ok = true;
    size_t images = 0;
    // The records of one chain, each visited once (a loop or a dangling link
    // makes the links unusable).
    const auto chain = [&](uint32_t first) {
      std::vector<int> out;
      for (uint32_t at = first; at != 0 && ok;) {
        const int i = find(at);
        if (i < 0 || seen[size_t(i)]) {
          ok = false;
          break;
        }
        seen[size_t(i)] = 1;
        out.push_back(i);
        at = records_[size_t(i)].next;
      }
      return out;
    };
    // A record of another type (UNKNOWN, PRIVATE, ...) in a patient, study or
    // series chain is no node, but what it links below it keeps its place: it
    // goes into an empty node of that level, as the file-order walk files
    // records that have no parent.
    TPatientArr tree;
    for (int pi : chain(root)) {
      const DirRecord& p = records_[size_t(pi)];
      if (p.type != Record::Patient && p.type != Record::Other) continue;
      TPatient patient = p.type == Record::Patient ? dir[size_t(p.patient)] : TPatient{};
      patient.studies.clear();
      for (int si : chain(p.lower)) {
        const DirRecord& st = records_[size_t(si)];
        if (st.type != Record::Study && st.type != Record::Other) continue;
        TStudy study =
            st.type == Record::Study ? dir[size_t(st.patient)].studies[size_t(st.study)] : TStudy{};
        study.serieses.clear();
        for (int ri : chain(st.lower)) {
          const DirRecord& se = records_[size_t(ri)];
          if (se.type != Record::Series && se.type != Record::Other) continue;
          TSeries series =
              se.type == Record::Series
                  ? dir[size_t(se.patient)].studies[size_t(se.study)].serieses[size_t(se.series)]
                  : TSeries{};
          series.images.clear();
          for (int ii : chain(se.lower)) {
            const DirRecord& im = records_[size_t(ii)];
            if (im.type != Record::Image) continue;
            series.images.push_back(dir[size_t(im.patient)]
                                        .studies[size_t(im.study)]
                                        .serieses[size_t(im.series)]
                                        .images[size_t(im.image)]);
            ++images;
          }
          if (se.type == Record::Series || !series.images.empty())
            study.serieses.push_back(std::move(series));
        }
        if (st.type == Record::Study || !study.serieses.empty())
          patient.studies.push_back(std::move(study));
      }
      if (p.type == Record::Patient || !patient.studies.empty()) tree.push_back(std::move(patient));
    }
    if (!ok) return false;
    const auto count =
        size_t(std::count_if(records_.begin(), records_.end(),
                             [](const DirRecord& r) { return r.type == Record::Image; }));
    if (images != count) return false;  // an image would be lost
    dir = std::move(tree);
    return true;
  };
  if (build(rootOffset_)) return;
  // A root offset left stale by a writer that reordered the records: the
  // chain starts at the one record that no link reaches.
  std::vector<uint8_t> linked(records_.size(), 0);
  for (const DirRecord& r : records_)
    for (uint32_t to : {r.next, r.lower})
      if (const int i = find(to); i >= 0) linked[size_t(i)] = 1;
  if (std::count(linked.begin(), linked.end(), 0) != 1) return;
  const auto start = size_t(std::find(linked.begin(), linked.end(), 0) - linked.begin());
  const int64_t at = records_[start].itemPos;
  if (at != int64_t(rootOffset_) && at > 0 && at <= int64_t(UINT32_MAX)) build(uint32_t(at));
}

void Walk::Save() {
  if (touched_) {
    ChargeCopy(h_);
    auto lut = std::move(h_.Lut.Lutdata);
    auto overlay = std::move(h_.overlay_data_bytes);
    saved_ = h_;
    h_.Lut.Lutdata = std::move(lut);
    h_.overlay_data_bytes = std::move(overlay);
    saved_.Lut.Lutdata.clear();
    saved_.overlay_data_bytes.clear();
    savedLutIsCurrent_ = savedOverlayIsCurrent_ = true;
    touched_ = false;
  } else {
    // Between items without other elements only the item rule changed the header.
    saved_.CompressSz = h_.CompressSz;
    saved_.CompressOffset = h_.CompressOffset;
    saved_.gECATJPEG_table_entries = h_.gECATJPEG_table_entries;
  }
}

void Walk::Restore() {
  ChargeCopy(saved_);
  auto lut = savedLutIsCurrent_ ? std::move(h_.Lut.Lutdata) : std::move(saved_.Lut.Lutdata);
  auto overlay = savedOverlayIsCurrent_ ? std::move(h_.overlay_data_bytes)
                                        : std::move(saved_.overlay_data_bytes);
  saved_.Lut.Lutdata.clear();
  saved_.overlay_data_bytes.clear();
  h_ = saved_;
  h_.Lut.Lutdata = std::move(lut);
  h_.overlay_data_bytes = std::move(overlay);
  savedLutIsCurrent_ = savedOverlayIsCurrent_ = true;
  touched_ = false;
}

void Walk::AfterWalk() {
  if (pixelSeqActive_) FinishPixelSequence();
  h_.ImageStart = w_.Position();
  if (syntaxKnown_) h_.little_endian = syntaxBig_ ? 0 : 1;
  hdrOK = true;
  if (swapAtEnd_) {
    const auto swap = [](int& v) { v = int(Swap16(uint32_t(v))); };
    swap(h_.XYZdim[0]);
    swap(h_.XYZdim[1]);
    if (h_.XYZdim[2] != 1) swap(h_.XYZdim[2]);
    swap(h_.SamplesPerPixel);
    swap(h_.Allocbits_per_pixel);
    swap(h_.Storedbits_per_pixel);
    // The rows and columns kept for the clean-up were read in the same wrong
    // order; without this the clean-up would undo the swap.
    swap(outsideRows_);
    swap(outsideColumns_);
  }
  // Mosaic: tiles across and down.
  const int columns = h_.XYZdim[0], rows = h_.XYZdim[1];
  const int m = mosaicMatrix_, p = phaseSteps_;
  if (m > 1 && columns % m == 0 && rows % m == 0) {
    h_.SiemensMosaicX = std::max(1, columns / m);
    h_.SiemensMosaicY = std::max(1, rows / m);
    if (merge_) {
      h_.XYZmm[0] *= columns / m;
      h_.XYZmm[1] *= rows / m;
    }
  } else if (mosaic_ && p > 0 && rows > p && rows % p == 0 && rows % (rows / p) == 0) {
    h_.SiemensMosaicY = rows / p;
    h_.SiemensMosaicX = h_.SiemensMosaicY;
  }
}

void Walk::CleanUp() {
  h_.gECATJPEG_pos_table = std::move(tablePos_);
  h_.gECATJPEG_size_table = std::move(tableSize_);
  h_.gECATJPEG_table_entries = int(h_.gECATJPEG_pos_table.size());
  if (!hdrOK) imgOK = false;
  if (outsideRows_ != 0 && outsideColumns_ != 0) {
    h_.XYZdim[1] = outsideRows_;
    h_.XYZdim[0] = outsideColumns_;
  }
  if (hdrOK && imgOK && !dirMode) BoundFrameCount();
}

// A header may announce more frames than its pixel data holds (a file cut
// short, a wrong Number of Frames): the frame count becomes what is there,
// said once. Only what the data cannot hold at the smallest frame its format
// allows is cut, so no honest file loses a frame.
void Walk::BoundFrameCount() {
  const int announced = h_.XYZdim[2];
  if (announced <= 1) return;
  int64_t present;
  // A video's frames are counted by its decoder: the fragments say nothing.
  if (IsVideoSyntax(h_.TransferSyntaxUID)) return;
  if (Compressed()) {
    // Every frame needs a fragment of its own: fewer located frames than
    // announced are all there is.
    const int64_t entries = h_.gECATJPEG_table_entries;
    if (!readFrameTables_ || entries <= 0 || entries >= announced) return;
    present = entries;
  } else {
    const int64_t pixels = int64_t(std::max(0, h_.XYZdim[0])) * std::max(0, h_.XYZdim[1]);
    const int samples = std::max(1, h_.SamplesPerPixel);
    int64_t frameBits = pixels * samples * std::max(1, h_.Allocbits_per_pixel);
    const std::string& photometric = h_.Pixel.photometric;
    if (samples == 3 && h_.Allocbits_per_pixel == 8 &&
        (photometric.find("422") != std::string::npos ||
         photometric.find("420") != std::string::npos))
      frameBits = pixels * 16;  // two bytes per pixel as stored
    if (frameBits <= 0 || h_.ImageStart < 0) return;
    int64_t bytes = size_ - h_.ImageStart;
    if (pixelDataLength_ > 0) bytes = std::min<int64_t>(bytes, pixelDataLength_);
    present = std::max<int64_t>(0, bytes) * 8 / frameBits;
    if (present >= announced) return;
  }
  h_.FramesAnnounced = announced;
  h_.XYZdim[2] = int(std::max<int64_t>(1, present));
  Message("The header announces " + std::to_string(announced) + " frames; the pixel data holds " +
          std::to_string(present) + ".");
}

DicomReadResult ReadFromSource(DicomByteSource& src, bool readFrameTables, DICOMdata& header,
                               const DicomMessageSink& sink, bool inflated = false) {
  DicomReadResult r;
  ResetDicomData(header);
  if (src.Size() < 1) return r;
  header.little_endian = 1;
  try {
    Walk walk(src, readFrameTables, header, sink, inflated);
    walk.Run();
    r.hdrOK = walk.hdrOK;
    r.imgOK = walk.imgOK;
    r.isDicomDir = walk.dirMode;
    r.dicomDir = std::move(walk.dir);
  } catch (const std::bad_alloc&) {
    throw EDicomReadError("Out of memory while reading the header");
  }
  return r;
}

}  // namespace

namespace {

// A deflated data set is walked in its logical stream (DeflatedDataSet.h);
// one that is refused is reported once and read no further; one that turns
// out not to be deflated is read as it is.
DicomReadResult ReadInflated(std::shared_ptr<const InflatedFile> inflated, const std::string& why,
                             DicomByteSource& plain, bool readFrameTables, DICOMdata& header,
                             const DicomMessageSink& sink) {
  if (inflated) {
    MemoryByteSource src(inflated->data(), inflated->size());
    return ReadFromSource(src, readFrameTables, header, sink, true);
  }
  if (!why.empty()) {
    EmitDicomMessage(sink, why);
    ResetDicomData(header);
    return {};
  }
  return ReadFromSource(plain, readFrameTables, header, sink, true);
}

}  // namespace

DicomReadResult ReadDicomHeaderFromFile(const std::string& fileName, bool readFrameTables,
                                        DICOMdata& header, const DicomMessageSink& sink) {
  header.JPEGlosslessCpt = header.JPEGJ2k = header.JPEGlossyCpt = false;
  FileByteSource src;
  if (!src.Open(fileName)) return {};
  try {
    return ReadFromSource(src, readFrameTables, header, sink);
  } catch (const DeflatedDataSetFound&) {
    std::string why;
    std::shared_ptr<const InflatedFile> inflated = InflatedDataSetOf(fileName, &why);
    return ReadInflated(std::move(inflated), why, src, readFrameTables, header, sink);
  }
}

DicomReadResult ReadDicomHeaderFromMemory(const uint8_t* data, size_t size, bool readFrameTables,
                                          DICOMdata& header, const DicomMessageSink& sink) {
  MemoryByteSource src(data, size);
  try {
    return ReadFromSource(src, readFrameTables, header, sink);
  } catch (const DeflatedDataSetFound&) {
    std::string why;
    auto inflated = std::make_shared<InflatedFile>();
    if (InflateDataSet(data, size, *inflated, &why) != DeflateVerdict::kInflated) inflated.reset();
    return ReadInflated(std::move(inflated), why, src, readFrameTables, header, sink);
  }
}

void ReadDicomHeader(const std::string& fileName, bool readFrameTables, DICOMdata& header,
                     bool& hdrOK, bool& imgOK, const DicomMessageSink& sink,
                     TPatientArr* dicomDirOut) {
  hdrOK = false;
  imgOK = false;
  DicomReadResult r = ReadDicomHeaderFromFile(fileName, readFrameTables, header, sink);
  hdrOK = r.hdrOK;
  imgOK = r.imgOK;
  if (dicomDirOut) {
    *dicomDirOut = r.isDicomDir ? std::move(r.dicomDir) : TPatientArr{};
  } else if (r.isDicomDir) {
    std::lock_guard lock(DicomDirPatientsMutex());
    gDicomDirPatients = std::move(r.dicomDir);
  }
}
