#include "derived/StructureSet.h"

#include <dcmtk/dcmdata/dctk.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "derived/DerivedIo.h"
#include "derived/Segmentation.h"

namespace {

using derived::GetString;

const DcmTagKey kStructureSetLabel(0x3006, 0x0002);
const DcmTagKey kStructureSetRoiSequence(0x3006, 0x0020);
const DcmTagKey kRoiNumber(0x3006, 0x0022);
const DcmTagKey kReferencedFrameOfReferenceUid(0x3006, 0x0024);
const DcmTagKey kRoiName(0x3006, 0x0026);
const DcmTagKey kRoiDisplayColor(0x3006, 0x002A);
const DcmTagKey kRoiContourSequence(0x3006, 0x0039);
const DcmTagKey kContourSequence(0x3006, 0x0040);
const DcmTagKey kContourImageSequence(0x3006, 0x0016);
const DcmTagKey kContourGeometricType(0x3006, 0x0042);
const DcmTagKey kNumberOfContourPoints(0x3006, 0x0046);
const DcmTagKey kContourData(0x3006, 0x0050);
const DcmTagKey kReferencedRoiNumber(0x3006, 0x0084);

void ReadContours(DcmItem& roiContour, TRoi& roi, std::vector<std::string>& skipped) {
  DcmSequenceOfItems* contours = nullptr;
  if (roiContour.findAndGetSequence(kContourSequence, contours).bad() || !contours) return;
  const std::string where = "ROI " + std::to_string(roi.number) + " (" + roi.name + ")";
  for (unsigned long c = 0; c < contours->card(); ++c) {
    DcmItem* item = contours->getItem(c);
    DcmElement* data = nullptr;
    if (!item || item->findAndGetElement(kContourData, data).bad() || !data) {
      skipped.push_back(where + ": contour " + std::to_string(c + 1) + " has no points");
      continue;
    }
    const unsigned long values = data->getVM();
    if (values < 3 || values % 3 != 0) {
      skipped.push_back(where + ": contour " + std::to_string(c + 1) + " holds " +
                        std::to_string(values) + " coordinates, not whole points");
      continue;
    }
    TRoiContour contour;
    contour.geometricType = GetString(*item, kContourGeometricType);
    contour.points.reserve(values / 3);
    bool finite = true;
    for (unsigned long i = 0; i + 2 < values && finite; i += 3) {
      std::array<double, 3> p{};
      for (unsigned long k = 0; k < 3; ++k) {
        Float64 v = 0;
        finite = data->getFloat64(v, i + k).good() && std::isfinite(v);
        p[k] = v;
      }
      if (finite) contour.points.push_back(p);
    }
    if (!finite) {
      skipped.push_back(where + ": contour " + std::to_string(c + 1) +
                        " holds a value that is no number");
      continue;
    }
    Sint32 declared = 0;
    if (item->findAndGetSint32(kNumberOfContourPoints, declared).good() &&
        declared != Sint32(contour.points.size()))
      skipped.push_back(where + ": contour " + std::to_string(c + 1) + " claims " +
                        std::to_string(declared) + " points and holds " +
                        std::to_string(contour.points.size()));
    DcmItem* image = nullptr;
    if (item->findAndGetSequenceItem(kContourImageSequence, image, 0).good() && image)
      contour.imageSopUid = GetString(*image, DCM_ReferencedSOPInstanceUID);
    roi.contours.push_back(std::move(contour));
  }
}

}  // namespace

bool ReadStructureSet(const std::string& path, TStructureSet& set, std::string& why) {
  set = TStructureSet{};
  DcmFileFormat file;
  uint64_t fileSize = 0;
  if (!derived::LoadBounded(path, file, fileSize, why)) return false;
  DcmItem& ds = *file.getDataset();
  if (GetString(ds, DCM_SOPClassUID) != kStructureSetClass) {
    why = path + ": not an RT structure set";
    return false;
  }
  set.sopInstanceUid = GetString(ds, DCM_SOPInstanceUID);
  set.label = GetString(ds, kStructureSetLabel);

  std::map<int, size_t> byNumber;
  DcmSequenceOfItems* rois = nullptr;
  if (ds.findAndGetSequence(kStructureSetRoiSequence, rois).good() && rois) {
    for (unsigned long i = 0; i < rois->card(); ++i) {
      DcmItem* item = rois->getItem(i);
      Sint32 number = 0;
      if (!item || item->findAndGetSint32(kRoiNumber, number).bad()) {
        set.skipped.push_back("ROI item " + std::to_string(i + 1) + " has no ROI number");
        continue;
      }
      if (byNumber.count(number)) {
        set.skipped.push_back("ROI number " + std::to_string(number) + " is named twice");
        continue;
      }
      TRoi roi;
      roi.number = number;
      roi.name = GetString(*item, kRoiName);
      roi.frameOfReferenceUid = GetString(*item, kReferencedFrameOfReferenceUid);
      roi.rgb = SegmentPaletteColour(int(set.rois.size()) + 1);
      byNumber[number] = set.rois.size();
      set.rois.push_back(std::move(roi));
    }
  }
  if (set.rois.empty()) {
    why = path + ": the structure set names no ROI";
    return false;
  }
  DcmSequenceOfItems* contours = nullptr;
  if (ds.findAndGetSequence(kRoiContourSequence, contours).good() && contours) {
    for (unsigned long i = 0; i < contours->card(); ++i) {
      DcmItem* item = contours->getItem(i);
      Sint32 number = 0;
      if (!item || item->findAndGetSint32(kReferencedRoiNumber, number).bad() ||
          !byNumber.count(number)) {
        set.skipped.push_back("contours of ROI " + std::to_string(number) +
                              ", which the structure set does not name");
        continue;
      }
      TRoi& roi = set.rois[byNumber[number]];
      Sint32 rgb[3];
      if (item->findAndGetSint32(kRoiDisplayColor, rgb[0], 0).good() &&
          item->findAndGetSint32(kRoiDisplayColor, rgb[1], 1).good() &&
          item->findAndGetSint32(kRoiDisplayColor, rgb[2], 2).good()) {
        roi.displayColour = true;
        for (int k = 0; k < 3; ++k)
          roi.rgb[size_t(k)] = uint8_t(std::clamp<Sint32>(rgb[k], 0, 255));
      }
      ReadContours(*item, roi, set.skipped);
    }
  }
  return true;
}
