#include "study/DemoStudy.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>

#include "dicom/DicomWriter.h"
#include "dicom/SafeOutput.h"

namespace fs = std::filesystem;
using dicomwriter::DicomWriter;

namespace demo {

// ---- RLE ---------------------------------------------------------------------------

void PackBitsRow(const uint8_t* bytes, size_t count, std::vector<uint8_t>& out) {
  size_t i = 0;
  while (i < count) {
    // A run of three or more equal bytes is worth a replicate run.
    size_t run = 1;
    while (i + run < count && run < 128 && bytes[i + run] == bytes[i]) ++run;
    if (run >= 3) {
      out.push_back(static_cast<uint8_t>(static_cast<int8_t>(1 - static_cast<int>(run))));
      out.push_back(bytes[i]);
      i += run;
      continue;
    }
    // Literal run up to the next run of three or 128 bytes.
    size_t start = i;
    size_t len = 0;
    while (i < count && len < 128) {
      if (i + 2 < count && bytes[i] == bytes[i + 1] && bytes[i] == bytes[i + 2]) break;
      ++i;
      ++len;
    }
    out.push_back(static_cast<uint8_t>(len - 1));
    out.insert(out.end(), bytes + start, bytes + start + len);
  }
}

std::vector<uint8_t> EncodeRleFrame(const uint8_t* samples, int rows, int columns,
                                    int samplesPerPixel, int bitsAllocated) {
  const int bytesPerSample = bitsAllocated / 8;
  const int segments = samplesPerPixel * bytesPerSample;
  const size_t pixelBytes = static_cast<size_t>(segments);
  std::vector<uint8_t> out(64, 0);
  std::vector<uint8_t> plane(static_cast<size_t>(columns));
  std::vector<uint32_t> offsets;
  for (int sample = 0; sample < samplesPerPixel; ++sample) {
    for (int byte = bytesPerSample - 1; byte >= 0; --byte) {  // most significant first
      offsets.push_back(static_cast<uint32_t>(out.size()));
      const size_t within = static_cast<size_t>(sample * bytesPerSample + byte);
      for (int r = 0; r < rows; ++r) {
        const uint8_t* row = samples + static_cast<size_t>(r) * columns * pixelBytes;
        for (int c = 0; c < columns; ++c)
          plane[static_cast<size_t>(c)] = row[c * pixelBytes + within];
        PackBitsRow(plane.data(), plane.size(), out);
      }
      if (out.size() % 2) out.push_back(0);
    }
  }
  auto put32 = [&](size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) out[at + k] = static_cast<uint8_t>(v >> (8 * k));
  };
  put32(0, static_cast<uint32_t>(segments));
  for (size_t k = 0; k < offsets.size(); ++k) put32(4 + 4 * k, offsets[k]);
  return out;
}

namespace {

// ---- identifiers and fixed texts -------------------------------------------------

const std::string kRoot = "2.25.293043186345206153819635483621";
std::string Uid(const std::string& suffix) {
  return kRoot + "." + suffix;
}

constexpr const char* kPatientName = "TAVROLEN^DEMO";
constexpr const char* kPatientId = "TAV-0001";
constexpr const char* kCtImageStorage = "1.2.840.10008.5.1.4.1.1.2";
constexpr const char* kUsMultiFrameStorage = "1.2.840.10008.5.1.4.1.1.3.1";
constexpr const char* kCrImageStorage = "1.2.840.10008.5.1.4.1.1.1";
constexpr const char* kMrImageStorage = "1.2.840.10008.5.1.4.1.1.4";
constexpr const char* kMediaStorageDirectory = "1.2.840.10008.1.3.10";

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// Deterministic noise: xorshift32 and a cheap bell-shaped value.
struct TNoise {
  uint32_t state = 2463534242u;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  double Uniform() { return (Next() >> 8) * (1.0 / 16777216.0); }
  double Bell() { return Uniform() + Uniform() + Uniform() - 1.5; }  // about -1.5 .. 1.5
};

// ---- the phantom ------------------------------------------------------------------

bool InEllipse(double x, double y, double cx, double cy, double a, double b) {
  const double dx = (x - cx) / a;
  const double dy = (y - cy) / b;
  return dx * dx + dy * dy <= 1.0;
}

// Fraction (0..1) of an ellipsoid-like organ's cross-section at height z,
// for an organ spanning [z0, z1].
double Span(double z, double z0, double z1) {
  if (z < z0 || z > z1) return 0.0;
  const double t = (2.0 * z - z0 - z1) / (z1 - z0);
  return std::sqrt(std::max(0.0, 1.0 - t * t));
}

// Hounsfield units of the chest phantom at patient position (x, y, z) in mm
// (x to the patient's left, y posterior, z head-wards).
double PhantomHU(double x, double y, double z) {
  // Trunk: an elliptic cylinder that narrows towards the neck.
  const double neck = z > 40 ? std::max(0.45, 1.0 - (z - 40) / 60.0) : 1.0;
  const double bodyA = 140 * neck;
  const double bodyB = 95 * (z > 40 ? std::max(0.6, neck) : 1.0);
  if (z > 100 || z < -230 || !InEllipse(x, y, 0, 0, bodyA, bodyB)) return -1000;
  // Table-side skin and subcutaneous fat.
  if (!InEllipse(x, y, 0, 0, bodyA - 8, bodyB - 8)) return -90;

  // Spine: vertebral body with marrow, posterior.
  if (InEllipse(x, y, 0, 62, 17, 15)) return InEllipse(x, y, 0, 62, 11, 9) ? 260 : 720;
  if (InEllipse(x, y, 0, 82, 5, 8)) return 650;  // spinous process

  // Ribs: short bone arcs just inside the body wall, every 25 mm.
  const double ribPhase = std::fmod(z - 0.25 * y + 1000.0, 25.0);  // ribs fall anteriorly
  if (z < 40 && z > -150 && ribPhase < 9.0) {
    const bool outer = InEllipse(x, y, 0, 0, bodyA - 10, bodyB - 10);
    const bool inner = InEllipse(x, y, 0, 0, bodyA - 18, bodyB - 18);
    if (outer && !inner && std::fabs(x) > 25) return 800;
  }
  // Sternum, anterior.
  if (z < 30 && z > -110 && InEllipse(x, y, 0, -80, 14, 6)) return 600;

  // Aorta with contrast, descending beside the spine; ascending part in front.
  if (InEllipse(x, y, 18, 38, 13, 13)) return 180;
  if (z > -40 && z < 30 && InEllipse(x, y, 10, -15, 15, 15)) return 180;

  // Heart.
  const double heart = Span(z, -85, -5);
  if (heart > 0 && InEllipse(x, y, 18, -22, 55 * heart, 45 * heart))
    return InEllipse(x, y, 28, -28, 30 * heart, 22 * heart) ? 120 : 45;

  // Lungs with a few vessels.
  const double lung = Span(z, -110, 55);
  for (int side : {-1, 1}) {
    const double cx = side * 62.0;
    if (lung > 0 && InEllipse(x, y, cx, 5, 52 * lung, 70 * lung)) {
      // Vessels: one jittered dot per 14 mm cell, thicker towards the hilum.
      const double cell = 14.0;
      const int ix = static_cast<int>(std::floor(x / cell)),
                iy = static_cast<int>(std::floor(y / cell));
      const int iz = static_cast<int>(std::floor(z / 12.0));
      uint32_t hash = static_cast<uint32_t>(ix * 73856093) ^ static_cast<uint32_t>(iy * 19349663) ^
                      static_cast<uint32_t>(iz * 83492791);
      hash = (hash ^ (hash >> 13)) * 0x5bd1e995u;
      const double jx = (ix + 0.2 + 0.6 * ((hash & 0xFF) / 255.0)) * cell;
      const double jy = (iy + 0.2 + 0.6 * (((hash >> 8) & 0xFF) / 255.0)) * cell;
      const double vr = 1.2 + 2.2 * std::max(0.0, 1.0 - std::fabs(std::fabs(x) - 30) / 60.0);
      if ((hash >> 16) % 3 != 0 && InEllipse(x, y, jx, jy, vr, vr)) return 35;
      if (side < 0 && InEllipse(x, y, -40, -40, 9, 9) && z > -30 && z < -15) return 25;  // nodule
      return -860;
    }
  }

  // Liver below the right diaphragm, stomach gas on the left.
  if (z < -75 && InEllipse(x, y, -45, 0, 80, 75)) return 62;
  if (z < -85 && z > -160 && InEllipse(x, y, 55, -25, 30, 22)) return -950;
  return 38;  // soft tissue
}

// ---- a data set in tag order ----------------------------------------------------

class TDataSet {
 public:
  void Text(uint32_t tag, const char* vr, std::string value) {
    items_[tag] = [tag, vr, value](DicomWriter& w) { w.Text(tag, vr, value); };
  }
  void US(uint32_t tag, std::vector<uint16_t> values) {
    items_[tag] = [tag, values](DicomWriter& w) { w.US(tag, values); };
  }
  void Raw(uint32_t tag, const char* vr, std::vector<uint8_t> bytes) {
    items_[tag] = [tag, vr, b = std::move(bytes)](DicomWriter& w) { w.Element(tag, vr, b); };
  }
  void Custom(uint32_t tag, std::function<void(DicomWriter&)> fn) { items_[tag] = std::move(fn); }
  void WriteTo(DicomWriter& w) const {
    for (const auto& [tag, fn] : items_) fn(w);
  }

 private:
  std::map<uint32_t, std::function<void(DicomWriter&)>> items_;
};

// Keys shared by the image files and the DICOMDIR records.
struct TStudyKeys {
  std::string uid, id, date, time, description, accession;
};
struct TSeriesKeys {
  std::string uid, modality, description, bodyPart;
  int number = 1;
};

struct TImageFile {
  std::vector<std::string> fileId;  // components below the demo folder
  std::string sopClass, sopInstance, transferSyntax, imageType;
  const TStudyKeys* study = nullptr;
  const TSeriesKeys* series = nullptr;
  int instance = 1;
};

struct TWriteState {
  fs::path dir;
  std::vector<TImageFile> files;
  int64_t bytes = 0;
  std::string error;
  // What this run made, so a failed run takes back exactly that and nothing
  // that was there before.
  std::vector<fs::path> createdFiles, createdFolders;
};

// Creates folder and its missing parents, remembering which were made.
bool MakeFolders(TWriteState& st, const fs::path& folder) {
  std::vector<fs::path> missing;
  std::error_code ec;
  for (fs::path p = folder; !p.empty() && !fs::exists(p, ec); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  fs::create_directories(folder, ec);
  st.createdFolders.insert(st.createdFolders.end(), missing.rbegin(), missing.rend());
  if (!fs::is_directory(folder, ec)) {
    st.error = "cannot create the folder " + folder.string() + (ec ? ": " + ec.message() : "");
    return false;
  }
  return true;
}

void TakeBack(TWriteState& st) {
  std::error_code ec;
  for (const fs::path& f : st.createdFiles) fs::remove(f, ec);
  // Deepest first; a folder that holds something else stays.
  for (auto it = st.createdFolders.rbegin(); it != st.createdFolders.rend(); ++it)
    fs::remove(*it, ec);
}

bool Save(TWriteState& st, const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::error_code ec;
  const bool existed = fs::exists(fs::symlink_status(path, ec));
  std::string why;
  if (!WriteFileSafely(path.string(), bytes.data(), bytes.size(), why)) {
    st.error = why;
    return false;
  }
  if (!existed) st.createdFiles.push_back(path);
  st.bytes += static_cast<int64_t>(bytes.size());
  return true;
}

// The elements every image carries: patient, study, series, instance.
void CommonKeys(TDataSet& ds, const TImageFile& f, const std::string& contentTime) {
  ds.Text(0x00080005, "CS", "ISO_IR 100");
  ds.Text(0x00080008, "CS", f.imageType);
  ds.Text(0x00080016, "UI", f.sopClass);
  ds.Text(0x00080018, "UI", f.sopInstance);
  ds.Text(0x00080020, "DA", f.study->date);
  ds.Text(0x00080021, "DA", f.study->date);
  ds.Text(0x00080023, "DA", f.study->date);
  ds.Text(0x00080030, "TM", f.study->time);
  ds.Text(0x00080031, "TM", f.study->time);
  ds.Text(0x00080033, "TM", contentTime);
  ds.Text(0x00080050, "SH", f.study->accession);
  ds.Text(0x00080060, "CS", f.series->modality);
  ds.Text(0x00080070, "LO", "Tavrolen");
  ds.Text(0x00080080, "LO", "Tavrolen Demo Hospital");
  ds.Text(0x00080090, "PN", "REFERRER^DEMO");
  ds.Text(0x00081030, "LO", f.study->description);
  ds.Text(0x0008103E, "LO", f.series->description);
  ds.Text(0x00100010, "PN", kPatientName);
  ds.Text(0x00100020, "LO", kPatientId);
  ds.Text(0x00100030, "DA", "19700101");
  ds.Text(0x00100040, "CS", "O");
  ds.Text(0x00101010, "AS", "054Y");
  if (!f.series->bodyPart.empty()) ds.Text(0x00180015, "CS", f.series->bodyPart);
  ds.Text(0x0020000D, "UI", f.study->uid);
  ds.Text(0x0020000E, "UI", f.series->uid);
  ds.Text(0x00200010, "SH", f.study->id);
  ds.Text(0x00200011, "IS", std::to_string(f.series->number));
  ds.Text(0x00200013, "IS", std::to_string(f.instance));
}

void GreyPixelModule(TDataSet& ds, int rows, int columns, const char* photometric, int bitsStored) {
  ds.US(0x00280002, {1});
  ds.Text(0x00280004, "CS", photometric);
  ds.US(0x00280010, {static_cast<uint16_t>(rows)});
  ds.US(0x00280011, {static_cast<uint16_t>(columns)});
  ds.US(0x00280100, {16});
  ds.US(0x00280101, {static_cast<uint16_t>(bitsStored)});
  ds.US(0x00280102, {static_cast<uint16_t>(bitsStored - 1)});
  ds.US(0x00280103, {0});
}

void Geometry(TDataSet& ds, const double origin[3], const double orientation[6], double rowSpacing,
              double columnSpacing, double thickness) {
  ds.Text(0x00180050, "DS", Num(thickness));
  ds.Text(0x00200032, "DS", Num(origin[0]) + "\\" + Num(origin[1]) + "\\" + Num(origin[2]));
  std::string o;
  for (int k = 0; k < 6; ++k) {
    // Appended piecewise: GCC 12 misreads `literal + string&&` at -O3 (-Wrestrict).
    if (k) o += '\\';
    o += Num(orientation[k]);
  }
  ds.Text(0x00200037, "DS", o);
  ds.Text(0x00200052, "UI", Uid("9.1"));  // one frame of reference for the CT study
  ds.Text(0x00280030, "DS", Num(rowSpacing) + "\\" + Num(columnSpacing));
}

std::vector<uint8_t> WordsToBytes(const std::vector<uint16_t>& words) {
  std::vector<uint8_t> bytes(words.size() * 2);
  for (size_t i = 0; i < words.size(); ++i) {
    bytes[2 * i] = static_cast<uint8_t>(words[i]);
    bytes[2 * i + 1] = static_cast<uint8_t>(words[i] >> 8);
  }
  return bytes;
}

bool WriteImage(TWriteState& st, TImageFile f, const TDataSet& ds) {
  DicomWriter w(true, true);
  ds.WriteTo(w);
  dicomwriter::DicomFileOptions options;
  options.transferSyntax = f.transferSyntax;
  options.sopClassUid = f.sopClass;
  options.sopInstanceUid = f.sopInstance;
  fs::path path = st.dir;
  for (const auto& part : f.fileId) path /= part;
  if (!MakeFolders(st, path.parent_path())) return false;
  if (!Save(st, path, dicomwriter::BuildDicomFile(w, options))) return false;
  st.files.push_back(std::move(f));
  return true;
}

std::string FileName(const char* prefix, int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%04d", prefix, n);
  return buf;
}

// ---- the CT study ---------------------------------------------------------------------

constexpr int kCtSize = 256;
constexpr double kCtSpacing = 1.0;  // mm; 256 mm field of view
constexpr double kCtOrigin = -127.5;

// One axial slice as stored values (HU + 1024).
std::vector<uint16_t> AxialSlice(double z, TNoise& noise) {
  std::vector<uint16_t> px(kCtSize * kCtSize);
  for (int r = 0; r < kCtSize; ++r) {
    const double y = kCtOrigin + r * kCtSpacing;
    for (int c = 0; c < kCtSize; ++c) {
      const double x = kCtOrigin + c * kCtSpacing;
      const double hu = PhantomHU(x, y, z);
      const double noisy = hu <= -1000 ? hu + 4 * noise.Bell() : hu + 9 * noise.Bell();
      px[static_cast<size_t>(r) * kCtSize + c] =
          static_cast<uint16_t>(std::clamp(std::lround(noisy + 1024), 0L, 4095L));
    }
  }
  return px;
}

// A projection through the phantom: the sum of attenuation along each ray,
// in water-equivalent millimetres, for a 256 x 256 frame whose top row lies at
// zTop. Coronal rays run front to back, sagittal ones right to left.
std::vector<double> Projection(bool coronal, double zTop) {
  std::vector<double> sums(kCtSize * kCtSize);
  constexpr int kSamples = 40;
  constexpr double kStep = 280.0 / kSamples;
  for (int r = 0; r < kCtSize; ++r) {
    const double z = zTop - r * kCtSpacing;
    for (int c = 0; c < kCtSize; ++c) {
      const double u = kCtOrigin + c * kCtSpacing;
      double sum = 0;
      for (int k = 0; k < kSamples; ++k) {
        const double t = -140.0 + (k + 0.5) * kStep;
        const double hu = coronal ? PhantomHU(u, t, z) : PhantomHU(t, u, z);
        sum += std::max(0.0, hu + 1000.0) / 1000.0 * kStep;
      }
      sums[static_cast<size_t>(r) * kCtSize + c] = sum;
    }
  }
  return sums;
}

// Stored values of a projection: attenuation (localizer) or detector exposure
// (radiograph, where bone receives little), with a little noise.
std::vector<uint16_t> ProjectionPixels(const std::vector<double>& sums, TNoise& noise,
                                       bool exposure) {
  std::vector<uint16_t> px(sums.size());
  for (size_t i = 0; i < sums.size(); ++i) {
    double v = sums[i] * 10.0 + 6 * noise.Bell();
    if (exposure) v = 4095.0 - v * 1.2;
    px[i] = static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 4095L));
  }
  return px;
}

constexpr double kTop = 60.0;  // projections reach from the neck to the upper abdomen

bool WriteCtStudy(TWriteState& st, const TStudyKeys& study, const TSeriesKeys& coronal,
                  const TSeriesKeys& sagittal, const TSeriesKeys& axial, const TSeriesKeys& thin,
                  const std::vector<double>& coronalSums, TNoise& noise) {
  // Localizers: coronal (rows along -z, columns along +x) and sagittal
  // (columns along +y); one frame of reference with the axial slices.
  for (int which = 0; which < 2; ++which) {
    const bool isCoronal = which == 0;
    TImageFile f;
    f.fileId = {"CTLOC", FileName("IM", which + 1)};
    f.sopClass = kCtImageStorage;
    f.sopInstance = Uid(std::string("3.") + (isCoronal ? "1.1" : "2.1"));
    f.transferSyntax = dicomwriter::kExplicitVRLittleEndian;
    f.imageType = "ORIGINAL\\PRIMARY\\LOCALIZER";
    f.study = &study;
    f.series = isCoronal ? &coronal : &sagittal;
    f.instance = 1;
    TDataSet ds;
    CommonKeys(ds, f, "143020");
    const double origin[3] = {isCoronal ? kCtOrigin : 0.0, isCoronal ? 0.0 : kCtOrigin, kTop};
    const double orientation[6] = {isCoronal ? 1.0 : 0.0, isCoronal ? 0.0 : 1.0, 0, 0, 0, -1};
    Geometry(ds, origin, orientation, kCtSpacing, kCtSpacing, 1.0);
    ds.Text(0x00180060, "DS", "120");
    ds.Text(0x00181151, "IS", "30");
    GreyPixelModule(ds, kCtSize, kCtSize, "MONOCHROME2", 12);
    ds.Text(0x00281050, "DS", "1400");
    ds.Text(0x00281051, "DS", "2600");
    ds.Text(0x00281052, "DS", "0");
    ds.Text(0x00281053, "DS", "1");
    const std::vector<double> sums = isCoronal ? coronalSums : Projection(false, kTop);
    ds.Raw(0x7FE00010, "OW", WordsToBytes(ProjectionPixels(sums, noise, false)));
    if (!WriteImage(st, f, ds)) return false;
  }

  // Axial 5 mm slices from the apex of the lungs into the upper abdomen, and
  // 2.5 mm slices through the nodule, RLE-compressed, in the lung window.
  struct TAxial {
    const TSeriesKeys* series;
    const char* folder;
    int count;
    double zFirst, step;
    bool rle;
  };
  const TAxial sets[2] = {{&axial, "CTAX", 24, 20.0, -5.0, false},
                          {&thin, "CTRLE", 8, -13.75, -2.5, true}};
  for (const TAxial& set : sets) {
    for (int k = 0; k < set.count; ++k) {
      const double z = set.zFirst + k * set.step;
      TImageFile f;
      f.fileId = {set.folder, FileName("IM", k + 1)};
      f.sopClass = kCtImageStorage;
      f.sopInstance = Uid((set.rle ? "5." : "4.") + std::to_string(k + 1));
      f.transferSyntax = set.rle ? dicomwriter::kRLELossless : dicomwriter::kExplicitVRLittleEndian;
      f.imageType = "ORIGINAL\\PRIMARY\\AXIAL";
      f.study = &study;
      f.series = set.series;
      f.instance = k + 1;
      TDataSet ds;
      char contentTime[8];
      std::snprintf(contentTime, sizeof contentTime, "1431%02d", k % 60);
      CommonKeys(ds, f, contentTime);
      const double origin[3] = {kCtOrigin, kCtOrigin, z};
      const double orientation[6] = {1, 0, 0, 0, 1, 0};
      Geometry(ds, origin, orientation, kCtSpacing, kCtSpacing, -set.step);
      ds.Text(0x00180060, "DS", "120");
      ds.Text(0x00181151, "IS", "180");
      ds.Text(0x00201041, "DS", Num(z));
      GreyPixelModule(ds, kCtSize, kCtSize, "MONOCHROME2", 12);
      ds.Text(0x00281050, "DS", set.rle ? "-600" : "40");
      ds.Text(0x00281051, "DS", set.rle ? "1500" : "400");
      ds.Text(0x00281052, "DS", "-1024");
      ds.Text(0x00281053, "DS", "1");
      ds.Text(0x00281054, "LO", "HU");
      const std::vector<uint8_t> bytes = WordsToBytes(AxialSlice(z, noise));
      if (set.rle) {
        const std::vector<std::vector<uint8_t>> fragments = {
            EncodeRleFrame(bytes.data(), kCtSize, kCtSize, 1, 16)};
        ds.Custom(0x7FE00010, [fragments](DicomWriter& w) { w.Encapsulated({}, fragments); });
      } else {
        ds.Raw(0x7FE00010, "OW", bytes);
      }
      if (!WriteImage(st, f, ds)) return false;
    }
  }
  return true;
}

// ---- the ultrasound cine ----------------------------------------------------------------

bool WriteCine(TWriteState& st, const TStudyKeys& study, const TSeriesKeys& series, TNoise& noise) {
  constexpr int kW = 160, kH = 120, kFrames = 24;
  std::vector<uint8_t> px(static_cast<size_t>(kW) * kH * 3 * kFrames, 0);
  const double pi = std::acos(-1.0);
  // Speckle that stays put, so the moving parts read as motion.
  std::vector<uint8_t> speckle(static_cast<size_t>(kW) * kH);
  for (auto& s : speckle) s = static_cast<uint8_t>(noise.Next() >> 24);
  for (int f = 0; f < kFrames; ++f) {
    const double beat = 0.5 + 0.5 * std::cos(2 * pi * f / kFrames);  // 1 at end-diastole
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        uint8_t* p = &px[((static_cast<size_t>(f) * kH + y) * kW + x) * 3];
        // Fan-shaped sector from the top centre.
        const double dx = x - kW / 2.0, dy = y + 6.0;
        const double radius = std::sqrt(dx * dx + dy * dy);
        const double angle = std::atan2(dx, dy);
        if (radius > 122 || std::fabs(angle) > 0.62) continue;
        double grey = 40 + speckle[static_cast<size_t>(y) * kW + x] * 0.35;
        // Myocardium ring around a chamber whose size follows the beat.
        const double cx = kW / 2.0, cy = 68.0;
        const double ex = (x - cx) / (26 + 8 * beat), ey = (y - cy) / (34 + 8 * beat);
        const double e = std::sqrt(ex * ex + ey * ey);
        if (e < 1.0)
          grey = 12 + speckle[static_cast<size_t>(y) * kW + x] * 0.05;
        else if (e < 1.45)
          grey = 150 + speckle[static_cast<size_t>(y) * kW + x] * 0.4;
        const uint8_t g = static_cast<uint8_t>(std::clamp(grey, 0.0, 255.0));
        p[0] = p[1] = p[2] = g;
        // Colour Doppler jet through the valve during filling: red towards
        // the probe, blue away; its length follows the beat.
        const double jet = std::sin(2 * pi * f / kFrames);
        if (std::fabs(x - cx) < 7 && y > 30 && y < 30 + 45 * std::fabs(jet)) {
          const uint8_t v = static_cast<uint8_t>(120 + 120 * std::fabs(jet));
          p[0] = jet > 0 ? v : 20;
          p[1] = 30;
          p[2] = jet > 0 ? 20 : v;
        }
      }
    // Frame counter bar at the bottom so stepping is visible.
    for (int x = 0; x < (f + 1) * kW / kFrames; ++x)
      for (int y = kH - 3; y < kH; ++y) {
        uint8_t* p = &px[((static_cast<size_t>(f) * kH + y) * kW + x) * 3];
        p[0] = 230, p[1] = 200, p[2] = 40;
      }
  }
  TImageFile f;
  f.fileId = {"USCINE", FileName("IM", 1)};
  f.sopClass = kUsMultiFrameStorage;
  f.sopInstance = Uid("6.1");
  f.transferSyntax = dicomwriter::kExplicitVRLittleEndian;
  f.imageType = "ORIGINAL\\PRIMARY\\CARDIAC";
  f.study = &study;
  f.series = &series;
  TDataSet ds;
  CommonKeys(ds, f, "091512");
  ds.Text(0x00180040, "IS", "25");
  ds.Text(0x00181063, "DS", "40");
  ds.US(0x00280002, {3});
  ds.Text(0x00280004, "CS", "RGB");
  ds.US(0x00280006, {0});
  ds.Text(0x00280008, "IS", std::to_string(kFrames));
  // Frame Increment Pointer: Frame Time (0018,1063), as an AT value.
  ds.Raw(0x00280009, "AT", {0x18, 0x00, 0x63, 0x10});
  ds.US(0x00280010, {kH});
  ds.US(0x00280011, {kW});
  ds.US(0x00280100, {8});
  ds.US(0x00280101, {8});
  ds.US(0x00280102, {7});
  ds.US(0x00280103, {0});
  ds.Raw(0x7FE00010, "OB", std::move(px));
  return WriteImage(st, f, ds);
}

// ---- the MONOCHROME1 radiograph ------------------------------------------------------

bool WriteRadiograph(TWriteState& st, const TStudyKeys& study, const TSeriesKeys& series,
                     const std::vector<double>& coronalSums, TNoise& noise) {
  TImageFile f;
  f.fileId = {"XRAY", FileName("IM", 1)};
  f.sopClass = kCrImageStorage;
  f.sopInstance = Uid("7.1");
  f.transferSyntax = dicomwriter::kExplicitVRLittleEndian;
  f.imageType = "ORIGINAL\\PRIMARY";
  f.study = &study;
  f.series = &series;
  TDataSet ds;
  CommonKeys(ds, f, "101500");
  ds.Text(0x00180060, "DS", "125");
  ds.Text(0x00185101, "CS", "PA");
  ds.Text(0x00200020, "CS", "L\\F");
  // Low stored values are bright in MONOCHROME1: bone, little exposure.
  GreyPixelModule(ds, kCtSize, kCtSize, "MONOCHROME1", 12);
  ds.Text(0x00280030, "DS", "1\\1");
  ds.Text(0x00281050, "DS", "2600");
  ds.Text(0x00281051, "DS", "2800");
  ds.Raw(0x7FE00010, "OW", WordsToBytes(ProjectionPixels(coronalSums, noise, true)));
  return WriteImage(st, f, ds);
}

// ---- the MR image with an overlay plane ----------------------------------------------

bool WriteOverlayImage(TWriteState& st, const TStudyKeys& study, const TSeriesKeys& series,
                       TNoise& noise) {
  constexpr int kN = 256;
  std::vector<uint16_t> px(kN * kN);
  std::vector<uint8_t> overlay(kN * kN / 8, 0);
  auto setBit = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= kN || y >= kN) return;
    const int bit = y * kN + x;
    overlay[static_cast<size_t>(bit / 8)] |= static_cast<uint8_t>(1u << (bit % 8));
  };
  const double lx = 165, ly = 100;  // a small bright lesion
  for (int y = 0; y < kN; ++y)
    for (int x = 0; x < kN; ++x) {
      const double cx = x - 128.0, cy = y - 128.0;
      double v = 0;
      if (InEllipse(cx, cy, 0, 0, 92, 112)) {
        v = 180;                                       // scalp and skull marrow
        if (InEllipse(cx, cy, 0, 0, 84, 104)) v = 60;  // skull
        if (InEllipse(cx, cy, 0, 0, 78, 98)) v = 620;  // grey matter
        if (InEllipse(cx, cy, 0, 0, 62, 82)) v = 460;  // white matter
        if (InEllipse(cx, cy, -10, -8, 8, 26) || InEllipse(cx, cy, 10, -8, 8, 26)) v = 1150;
        if (InEllipse(x, y, lx, ly, 7, 6)) v = 980;
        v += 18 * noise.Bell();
      } else {
        v = 6 * std::fabs(noise.Bell());
      }
      px[static_cast<size_t>(y) * kN + x] = static_cast<uint16_t>(std::clamp(v, 0.0, 4095.0));
    }
  // Overlay: a circle around the lesion, an arrow pointing at it and a frame
  // in the corner, the way a reading station marks findings.
  const double pi = std::acos(-1.0);
  for (int k = 0; k < 720; ++k) {
    const double a = k * pi / 360.0;
    for (double r : {14.0, 15.0})
      setBit(static_cast<int>(std::lround(lx + r * std::cos(a))),
             static_cast<int>(std::lround(ly + r * std::sin(a))));
  }
  for (int t = 0; t < 40; ++t) {
    setBit(200 + t, 60 - t / 2), setBit(200 + t, 61 - t / 2);
  }
  for (int t = 0; t < 8; ++t) setBit(200 + t, 60 - t), setBit(200 + t, 60 + t / 3);
  for (int x = 8; x < 60; ++x) setBit(x, 8), setBit(x, 30);
  for (int y = 8; y <= 30; ++y) setBit(8, y), setBit(59, y);

  TImageFile f;
  f.fileId = {"MROVL", FileName("IM", 1)};
  f.sopClass = kMrImageStorage;
  f.sopInstance = Uid("8.1");
  f.transferSyntax = dicomwriter::kExplicitVRLittleEndian;
  f.imageType = "ORIGINAL\\PRIMARY\\AXIAL";
  f.study = &study;
  f.series = &series;
  TDataSet ds;
  CommonKeys(ds, f, "113000");
  ds.Text(0x00180050, "DS", "5");
  ds.Text(0x00180080, "DS", "4000");
  ds.Text(0x00180081, "DS", "90");
  ds.Text(0x00200032, "DS", "-115\\-115\\40");
  ds.Text(0x00200037, "DS", "1\\0\\0\\0\\1\\0");
  GreyPixelModule(ds, kN, kN, "MONOCHROME2", 12);
  ds.Text(0x00280030, "DS", "0.9\\0.9");
  ds.Text(0x00281050, "DS", "600");
  ds.Text(0x00281051, "DS", "1200");
  ds.US(0x60000010, {kN});
  ds.US(0x60000011, {kN});
  ds.Text(0x60000022, "LO", "Lesion marker");
  ds.Text(0x60000040, "CS", "G");
  ds.Custom(0x60000050, [](DicomWriter& w) { w.SS(0x60000050, {1, 1}); });
  ds.US(0x60000100, {1});
  ds.US(0x60000102, {0});
  ds.Raw(0x60003000, "OW", std::move(overlay));
  ds.Raw(0x7FE00010, "OW", WordsToBytes(px));
  return WriteImage(st, f, ds);
}

// ---- the DICOMDIR ----------------------------------------------------------------------

struct TRecord {
  std::string type;
  std::vector<uint8_t> keys;  // the record's elements after the four link elements
  int next = -1, lower = -1;  // record indices
};

std::vector<uint8_t> RecordKeys(const std::function<void(DicomWriter&)>& fn) {
  DicomWriter w(true, true);
  fn(w);
  return w.Bytes();
}

bool WriteDicomDir(TWriteState& st, const fs::path& path) {
  // Records depth first: patient, its studies, their series, their images.
  std::vector<TRecord> records;
  int patient = -1;
  std::map<const TStudyKeys*, int> studies;
  std::map<const TSeriesKeys*, int> seriesRec;
  std::map<int, int> lastChild;  // parent record -> last child record
  std::vector<int> roots;
  auto add = [&](int parent, TRecord r) {
    records.push_back(std::move(r));
    const int idx = static_cast<int>(records.size()) - 1;
    if (parent < 0) {
      if (!roots.empty()) records[static_cast<size_t>(roots.back())].next = idx;
      roots.push_back(idx);
    } else {
      auto it = lastChild.find(parent);
      if (it == lastChild.end())
        records[static_cast<size_t>(parent)].lower = idx;
      else
        records[static_cast<size_t>(it->second)].next = idx;
      lastChild[parent] = idx;
    }
    return idx;
  };
  for (const TImageFile& f : st.files) {
    if (patient < 0)
      patient = add(-1, {"PATIENT", RecordKeys([](DicomWriter& w) {
                           w.Text(0x00080005, "CS", "ISO_IR 100");
                           w.Text(0x00100010, "PN", kPatientName);
                           w.Text(0x00100020, "LO", kPatientId);
                         })});
    if (!studies.count(f.study)) {
      const TStudyKeys* s = f.study;
      studies[s] = add(patient, {"STUDY", RecordKeys([s](DicomWriter& w) {
                                   w.Text(0x00080020, "DA", s->date);
                                   w.Text(0x00080030, "TM", s->time);
                                   w.Text(0x00080050, "SH", s->accession);
                                   w.Text(0x00081030, "LO", s->description);
                                   w.Text(0x0020000D, "UI", s->uid);
                                   w.Text(0x00200010, "SH", s->id);
                                 })});
    }
    if (!seriesRec.count(f.series)) {
      const TSeriesKeys* s = f.series;
      seriesRec[s] = add(studies[f.study], {"SERIES", RecordKeys([s](DicomWriter& w) {
                                              w.Text(0x00080060, "CS", s->modality);
                                              w.Text(0x0020000E, "UI", s->uid);
                                              w.Text(0x00200011, "IS", std::to_string(s->number));
                                            })});
    }
    std::string fileId;
    for (const auto& part : f.fileId) fileId += (fileId.empty() ? "" : "\\") + part;
    add(seriesRec[f.series], {"IMAGE", RecordKeys([&f, fileId](DicomWriter& w) {
                                w.Text(0x00041500, "CS", fileId);
                                w.Text(0x00041510, "UI", f.sopClass);
                                w.Text(0x00041511, "UI", f.sopInstance);
                                w.Text(0x00041512, "UI", f.transferSyntax);
                                w.Text(0x00080008, "CS", f.imageType);
                                w.Text(0x00200013, "IS", std::to_string(f.instance));
                              })});
  }

  dicomwriter::DicomFileOptions options;
  options.sopClassUid = kMediaStorageDirectory;
  options.sopInstanceUid = Uid("1.1");
  const size_t prefix = 132 + dicomwriter::BuildFileMeta(options).size();

  // Item bodies have fixed sizes whatever the offsets, so one pass finds the
  // offsets and a second writes them.
  auto body = [&](const TRecord& r, const std::vector<uint32_t>& at) {
    DicomWriter w(true, true);
    // Offsets are from the first byte of the file; 0 means none.
    w.UL(0x00041400, {r.next < 0 ? 0u : at[static_cast<size_t>(r.next)]});
    w.US(0x00041410, {0xFFFF});
    w.UL(0x00041420, {r.lower < 0 ? 0u : at[static_cast<size_t>(r.lower)]});
    w.Text(0x00041430, "CS", r.type);
    w.Raw(r.keys);
    return w.Bytes();
  };
  auto header = [&](uint32_t first, uint32_t last) {
    DicomWriter w(true, true);
    w.Text(0x00041130, "CS", "TAVROLEN_DEMO");
    w.UL(0x00041200, {first});
    w.UL(0x00041202, {last});
    w.US(0x00041212, {0});
    return w.Bytes();
  };
  std::vector<uint32_t> at(records.size(), 0);
  size_t pos = prefix + header(0, 0).size() + 12;  // the sequence's own header
  for (size_t k = 0; k < records.size(); ++k) {
    at[k] = static_cast<uint32_t>(pos);
    pos += 8 + body(records[k], at).size();
  }
  DicomWriter w(true, true);
  w.Raw(header(roots.empty() ? 0 : at[static_cast<size_t>(roots.front())],
               roots.empty() ? 0 : at[static_cast<size_t>(roots.back())]));
  w.BeginSequence(0x00041220);
  for (const TRecord& r : records) {
    const std::vector<uint8_t> b = body(r, at);
    w.ItemHeader(0xFFFEE000, static_cast<uint32_t>(b.size()));
    w.Raw(b);
  }
  w.EndSequence();
  return Save(st, path, dicomwriter::BuildDicomFile(w, options));
}

constexpr const char* kReport =
    "TAVROLEN DEMO HOSPITAL - RADIOLOGY REPORT\n"
    "\n"
    "Patient: TAVROLEN^DEMO (TAV-0001)\n"
    "Examination: CT chest with contrast, 14 March 2024\n"
    "\n"
    "Findings: Synthetic phantom. Both lungs are aerated. A 9 mm nodule lies in the\n"
    "anterior segment of the right upper lobe (thin slices, series 4). Heart and\n"
    "aorta are of normal calibre. No effusion. No bone lesion.\n"
    "\n"
    "Impression: Solitary pulmonary nodule; follow-up CT in 3 months.\n"
    "\n"
    "This study was generated by tavrolen-dicom make-demo. It shows no real patient.\n";

}  // namespace

bool WriteDemoStudy(const std::string& dirText, TDemoInfo* info, std::string* error) {
  TWriteState st;
  st.dir = fs::path(dirText);
  if (!MakeFolders(st, st.dir)) {
    TakeBack(st);
    if (error) *error = st.error;
    return false;
  }

  const TStudyKeys ct{Uid("2.1"), "1", "20240314", "143015.123", "CT CHEST WITH CONTRAST", "A1001"};
  const TStudyKeys us{Uid("2.2"), "2", "20240315", "091500", "ECHOCARDIOGRAPHY", "A1002"};
  const TStudyKeys cr{Uid("2.3"), "3", "20240316", "101500", "CHEST PA", "A1003"};
  const TStudyKeys mr{Uid("2.4"), "4", "20240317", "113000", "MR BRAIN", "A1004"};
  const TSeriesKeys coronal{Uid("3.1"), "CT", "Topogram coronal", "CHEST", 1};
  const TSeriesKeys sagittal{Uid("3.2"), "CT", "Topogram sagittal", "CHEST", 2};
  const TSeriesKeys axial{Uid("3.3"), "CT", "Chest 5 mm", "CHEST", 3};
  const TSeriesKeys thin{Uid("3.4"), "CT", "Chest 2.5 mm lung (RLE)", "CHEST", 4};
  const TSeriesKeys cine{Uid("3.5"), "US", "Apical four chamber cine", "HEART", 1};
  const TSeriesKeys radiograph{Uid("3.6"), "CR", "Chest PA", "CHEST", 1};
  const TSeriesKeys brain{Uid("3.7"), "MR", "T2 axial with marker", "HEAD", 1};

  TNoise noise;
  const std::vector<double> coronalSums = Projection(true, kTop);
  bool ok = WriteCtStudy(st, ct, coronal, sagittal, axial, thin, coronalSums, noise) &&
            WriteCine(st, us, cine, noise) &&
            WriteRadiograph(st, cr, radiograph, coronalSums, noise) &&
            WriteOverlayImage(st, mr, brain, noise) && WriteDicomDir(st, st.dir / "DICOMDIR");
  if (ok) {
    const std::string text = kReport;
    // Beside the images it reports on, where a viewer looks for it.
    ok = Save(st, st.dir / "CTAX" / "report.txt", std::vector<uint8_t>(text.begin(), text.end()));
  }
  if (!ok) {
    TakeBack(st);
    if (error) *error = st.error;
    return false;
  }
  if (info) {
    info->files = static_cast<int>(st.files.size());
    info->bytes = st.bytes;
    info->dicomDir = (st.dir / "DICOMDIR").string();
  }
  return true;
}

}  // namespace demo
