#include "reports/StructuredReport.h"

#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmsr/dsrdoc.h>
#include <dcmtk/dcmsr/dsrreftn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <new>

#include "dicom/DicomCharset.h"
#include "dicom/DicomElements.h"
#include "dicom/TempCleanup.h"
#include "dicom/dicom_values.h"

namespace reports {

namespace {

// A report is text and references; anything near this size is no report.
constexpr uint64_t kMaxReportBytes = uint64_t(256) << 20;
// Points of one SCOORD and positions of one TCOORD kept: what a reader can use.
constexpr size_t kMaxPoints = 1 << 20;

std::string Str(const OFString& s) {
  return std::string(s.c_str(), s.length());
}

std::string Trim(std::string s) {
  size_t a = 0, b = s.size();
  while (a < b && uint8_t(s[a]) <= ' ') ++a;
  while (b > a && uint8_t(s[b - 1]) <= ' ') --b;
  return s.substr(a, b - a);
}

// Texts of the report decoded once by its character set.
class TextDecoder {
 public:
  explicit TextDecoder(const std::string& charset) : terms_(CharsetTerms(charset)) {}
  // One-line text (codes' meanings, names): padding trimmed.
  std::string Line(const OFString& bytes) { return Trim(Multi(bytes)); }
  // Free text keeps its line breaks, in one convention (\n).
  std::string Multi(const OFString& bytes) {
    std::string t =
        SanitizeUtf8(decoder_.Decode(std::string_view(bytes.c_str(), bytes.length()), terms_));
    std::string out;
    out.reserve(t.size());
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i] == '\r') {
        out += '\n';
        if (i + 1 < t.size() && t[i + 1] == '\n') ++i;
      } else if (t[i] == '\0') {
        continue;
      } else {
        out += t[i];
      }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\n')) out.pop_back();
    return out;
  }
  TSrCode Code(const DSRCodedEntryValue& c) {
    return {Trim(Str(c.getCodeValue())), Trim(Str(c.getCodingSchemeDesignator())),
            Line(c.getCodeMeaning()), Trim(Str(c.getCodingSchemeVersion()))};
  }

 private:
  std::vector<std::string> terms_;
  CharsetDecoder decoder_;
};

std::string Ascii(const OFString& s) {
  return Trim(SanitizeUtf8(Str(s)));
}

// HHMMSS.FFFFFF as HH:MM:SS (fractions kept); text that is no time as stored.
std::string FormatTime(const std::string& t) {
  std::string s = Trim(t);
  if (s.find(':') != std::string::npos) return s;  // the old style, already readable
  size_t digits = 0;
  while (digits < s.size() && std::isdigit(uint8_t(s[digits]))) ++digits;
  if (digits < 2 || digits % 2) return s;
  std::string out = s.substr(0, 2);
  for (size_t i = 2; i + 1 < digits && i < 6; i += 2) out += ":" + s.substr(i, 2);
  if (digits == 6 && digits < s.size() && s[digits] == '.') out += s.substr(digits);
  return out;
}

// YYYYMMDDHHMMSS.FFFFFF&ZZXX as a date, a time and the offset.
std::string FormatDateTime(const std::string& t) {
  std::string s = Trim(t);
  std::string zone;
  const size_t z = s.find_first_of("+-", 8);
  if (z != std::string::npos) {
    zone = " UTC" + s.substr(z);
    s = s.substr(0, z);
  }
  if (s.size() < 8) return Trim(t);
  std::string out = FormatDicomDate(s.substr(0, 8));
  if (s.size() > 8) out += " " + FormatTime(s.substr(8));
  return out + zone;
}

std::string FramesText(const std::vector<int32_t>& frames) {
  if (frames.empty()) return "";
  std::string out = frames.size() == 1 ? ", frame" : ", frames";
  for (size_t i = 0; i < frames.size() && i < 16; ++i)
    out += (i ? ", " : " ") + std::to_string(frames[i]);
  if (frames.size() > 16) out += ", ...";
  return out;
}

// "CT image" for an image class, the dictionary's name for the rest.
std::string ClassText(const std::string& uid, bool image) {
  if (image) {
    const char* modality = dcmSOPClassUIDToModality(uid.c_str());
    if (modality && *modality) return std::string(modality) + " image";
    return "image";
  }
  const char* name = dcmFindNameOfUID(uid.c_str(), nullptr);
  return name ? name : "object";
}

std::string Number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// The unit as a reader expects it after a number: UCUM's own short code
// ("mm", "mGy"), nothing for "1" (no unit), the meaning for the rest.
std::string UnitText(const TSrCode& unit) {
  if (unit.empty()) return "";
  if (unit.scheme == "UCUM") {
    if (unit.value == "1") return "";
    if (unit.value.size() > 1 && unit.value.front() == '{') return unit.meaning;
    return unit.value;
  }
  return !unit.meaning.empty() ? unit.meaning : unit.value;
}

std::string CodeText(const TSrCode& c) {
  if (!c.meaning.empty()) return c.meaning;
  if (c.value.empty()) return "";
  return "(" + c.value + ", " + c.scheme + ")";
}

void FillValue(DSRContentItem& item, const DSRDocumentTreeNode* node, TSrNode& n,
               TextDecoder& text) {
  switch (item.getValueType()) {
    case DSRTypes::VT_Text:
      n.text = text.Multi(item.getStringValue());
      break;
    case DSRTypes::VT_PName:
      n.raw = text.Line(item.getStringValue());
      n.text = PersonNameText(n.raw);
      break;
    case DSRTypes::VT_UIDRef:
      n.raw = Ascii(item.getStringValue());
      n.text = n.raw;
      break;
    case DSRTypes::VT_Date:
      n.raw = Ascii(item.getStringValue());
      n.text = FormatDicomDate(n.raw);
      break;
    case DSRTypes::VT_Time:
      n.raw = Ascii(item.getStringValue());
      n.text = FormatTime(n.raw);
      break;
    case DSRTypes::VT_DateTime:
      n.raw = Ascii(item.getStringValue());
      n.text = FormatDateTime(n.raw);
      break;
    case DSRTypes::VT_Code:
      n.code = text.Code(item.getCodeValue());
      n.text = CodeText(n.code);
      break;
    case DSRTypes::VT_Num: {
      const DSRNumericMeasurementValue& v = item.getNumericValue();
      n.number = Ascii(v.getNumericValue());
      n.code = text.Code(v.getMeasurementUnit());
      n.qualifier = text.Code(v.getNumericValueQualifier());
      Float64 f = 0;
      if (v.getFloatingPointRepresentation(f).good()) {
        n.hasFloat = true;
        n.floatValue = f;
      }
      if (!n.number.empty()) {
        const std::string unit = UnitText(n.code);
        n.text = n.number + (unit.empty() ? "" : " " + unit);
      }
      if (!n.qualifier.empty()) n.text += (n.text.empty() ? "" : " ") + CodeText(n.qualifier);
      if (n.text.empty()) n.text = "(no value)";
      break;
    }
    case DSRTypes::VT_Composite:
    case DSRTypes::VT_Image:
    case DSRTypes::VT_Waveform: {
      const bool image = item.getValueType() == DSRTypes::VT_Image;
      const DSRCompositeReferenceValue* ref =
          image ? static_cast<const DSRCompositeReferenceValue*>(&item.getImageReference())
          : item.getValueType() == DSRTypes::VT_Waveform
              ? static_cast<const DSRCompositeReferenceValue*>(&item.getWaveformReference())
              : &item.getCompositeReference();
      n.sopClassUid = Ascii(ref->getSOPClassUID());
      n.sopInstanceUid = Ascii(ref->getSOPInstanceUID());
      if (image) {
        DSRImageReferenceValue* img = item.getImageReferencePtr();
        const DSRImageFrameList& frames = img->getFrameList();
        for (size_t i = 1; i <= frames.getNumberOfItems() && i <= kMaxPoints; ++i)
          n.frames.push_back(frames.getItem(i));
        const DSRImageSegmentList& segments = img->getSegmentList();
        for (size_t i = 1; i <= segments.getNumberOfItems() && i <= kMaxPoints; ++i)
          n.segments.push_back(segments.getItem(i));
        n.presentationClassUid = Ascii(img->getPresentationState().getSOPClassUID());
        n.presentationInstanceUid = Ascii(img->getPresentationState().getSOPInstanceUID());
      } else if (item.getValueType() == DSRTypes::VT_Waveform) {
        DSRWaveformChannelList& channels = item.getWaveformReferencePtr()->getChannelList();
        for (size_t i = 1; i <= channels.getNumberOfItems() && i <= kMaxPoints; ++i) {
          Uint16 group = 0, channel = 0;
          if (channels.getItem(i, group, channel).bad()) continue;
          n.channels.push_back(group);
          n.channels.push_back(channel);
        }
      }
      n.text = ClassText(n.sopClassUid, image) + " " + n.sopInstanceUid + FramesText(n.frames);
      if (!n.channels.empty())
        n.text += ", " + std::to_string(n.channels.size() / 2) + " channel(s)";
      break;
    }
    case DSRTypes::VT_SCoord: {
      DSRSpatialCoordinatesValue* v = item.getSpatialCoordinatesPtr();
      n.graphicType = DSRTypes::graphicTypeToEnumeratedValue(v->getGraphicType());
      const DSRGraphicDataList& list = v->getGraphicDataList();
      for (size_t i = 1; i <= list.getNumberOfItems() && i <= kMaxPoints; ++i) {
        n.points.push_back(list.getItem(i).Column);
        n.points.push_back(list.getItem(i).Row);
      }
      n.text = n.graphicType + ", " + std::to_string(n.points.size() / 2) + " point(s)";
      break;
    }
    case DSRTypes::VT_SCoord3D: {
      DSRSpatialCoordinates3DValue* v = item.getSpatialCoordinates3DPtr();
      n.graphicType = DSRTypes::graphicType3DToEnumeratedValue(v->getGraphicType());
      n.frameOfReferenceUid = Ascii(v->getFrameOfReferenceUID());
      const DSRGraphicData3DList& list = v->getGraphicDataList();
      for (size_t i = 1; i <= list.getNumberOfItems() && i <= kMaxPoints; ++i) {
        n.points.push_back(list.getItem(i).XCoord);
        n.points.push_back(list.getItem(i).YCoord);
        n.points.push_back(list.getItem(i).ZCoord);
      }
      n.text = n.graphicType + ", " + std::to_string(n.points.size() / 3) + " point(s)";
      break;
    }
    case DSRTypes::VT_TCoord: {
      DSRTemporalCoordinatesValue* v = item.getTemporalCoordinatesPtr();
      n.temporalRangeType = DSRTypes::temporalRangeTypeToEnumeratedValue(v->getTemporalRangeType());
      const DSRReferencedSamplePositionList& samples = v->getSamplePositionList();
      for (size_t i = 1; i <= samples.getNumberOfItems() && i <= kMaxPoints; ++i)
        n.samplePositions.push_back(samples.getItem(i));
      const DSRReferencedTimeOffsetList& offsets = v->getTimeOffsetList();
      for (size_t i = 1; i <= offsets.getNumberOfItems() && i <= kMaxPoints; ++i)
        n.timeOffsets.push_back(offsets.getItem(i));
      const DSRReferencedDateTimeList& times = v->getDateTimeList();
      for (size_t i = 1; i <= times.getNumberOfItems() && i <= kMaxPoints; ++i)
        n.dateTimes.push_back(Ascii(times.getItem(i)));
      n.text = n.temporalRangeType;
      if (!n.samplePositions.empty())
        n.text += ", samples " + Number(n.samplePositions.front()) +
                  (n.samplePositions.size() > 1 ? " to " + Number(n.samplePositions.back()) : "");
      else if (!n.timeOffsets.empty())
        n.text += ", " + Number(n.timeOffsets.front()) +
                  (n.timeOffsets.size() > 1 ? " to " + Number(n.timeOffsets.back()) : "") + " s";
      else if (!n.dateTimes.empty())
        n.text += ", " + FormatDateTime(n.dateTimes.front()) +
                  (n.dateTimes.size() > 1 ? " to " + FormatDateTime(n.dateTimes.back()) : "");
      break;
    }
    case DSRTypes::VT_Container: {
      n.continuity = DSRTypes::continuityOfContentToEnumeratedValue(item.getContinuityOfContent());
      OFString id, resource;
      if (item.getTemplateIdentification(id, resource).good() && !id.empty())
        n.templateId = "TID " + Ascii(id) + (resource.empty() ? "" : " (" + Ascii(resource) + ")");
      break;
    }
    case DSRTypes::VT_byReference: {
      const auto* ref = dynamic_cast<const DSRByReferenceTreeNode*>(node);
      if (ref) n.target = Ascii(ref->getReferencedContentItem());
      n.text = "see " + (n.target.empty() ? std::string("(nothing)") : n.target);
      break;
    }
    default:
      break;
  }
}

const char* ValueTypeName(DSRTypes::E_ValueType t) {
  if (t == DSRTypes::VT_byReference) return "BYREF";
  const char* s = DSRTypes::valueTypeToDefinedTerm(t);
  return s && *s ? s : "UNKNOWN";
}

// What the nodes' parents and depths say about a by-reference item's target.
void CheckReferences(TSrDocument& doc, const std::map<size_t, int>& byId,
                     const std::vector<size_t>& ids, const std::vector<size_t>& targetIds) {
  std::map<std::string, int> byPosition;
  for (size_t i = 0; i < doc.nodes.size(); ++i) byPosition[doc.nodes[i].position] = int(i);
  for (size_t i = 0; i < doc.nodes.size(); ++i) {
    TSrNode& n = doc.nodes[i];
    if (n.valueType != "BYREF") continue;
    int target = -1;
    if (targetIds[i] != 0) {
      const auto it = byId.find(targetIds[i]);
      if (it != byId.end()) target = it->second;
    }
    if (target < 0 && !n.target.empty()) {
      const auto it = byPosition.find(n.target);
      if (it != byPosition.end()) target = it->second;
    }
    (void)ids;
    if (target < 0) {
      doc.notes.push_back("item " + n.position + " refers to " +
                          (n.target.empty() ? std::string("no item") : "item " + n.target) +
                          ", which the report does not hold");
      n.text = "see " + (n.target.empty() ? std::string("(nothing)") : n.target) + " (missing)";
      continue;
    }
    n.targetNode = target;
    // A target that contains the reference would loop if followed.
    for (int p = int(i); p >= 0; p = doc.nodes[size_t(p)].parent)
      if (p == target) {
        doc.notes.push_back("item " + n.position + " refers back to item " +
                            doc.nodes[size_t(target)].position + ", which contains it");
        break;
      }
  }
}

// Content items the data set holds, at any depth: what the tree should hold
// besides its root when nothing was left out.
size_t ContentItemsIn(DcmItem& ds) {
  size_t n = 0;
  DcmStack stack;
  while (ds.nextObject(stack, OFTrue).good()) {
    DcmObject* o = stack.top();
    if (o && o->getTag() == DCM_ContentSequence && o->ident() == EVR_SQ)
      n += static_cast<DcmSequenceOfItems*>(o)->card();
  }
  return n;
}

bool ReadDataset(DcmDataset& ds, TSrDocument& out, std::string& why) {
  OFString classUid;
  ds.findAndGetOFString(DCM_SOPClassUID, classUid);
  out.sopClassUid = Ascii(classUid);
  if (!IsReportClass(out.sopClassUid)) {
    why = out.sopClassUid.empty() ? "not a structured report (no SOP class)"
                                  : "not a structured report (SOP class " + out.sopClassUid + ")";
    return false;
  }
  DSRTypes::E_DocumentType type = DSRTypes::sopClassUIDToDocumentType(out.sopClassUid.c_str());
  if (type == DSRTypes::DT_invalid) {
    // A class newer than DCMTK: its content is SR content all the same.
    type = DSRTypes::DT_Comprehensive3DSR;
    ds.putAndInsertString(DCM_SOPClassUID, DSRTypes::documentTypeToSOPClassUID(type));
    out.readAs = DSRTypes::documentTypeToReadableName(type);
    out.notes.push_back("SOP class " + out.sopClassUid + " is read as " + out.readAs);
  }
  out.className = DSRTypes::documentTypeToReadableName(type);
  const size_t lenient =
      DSRTypes::RF_acceptUnknownRelationshipType | DSRTypes::RF_acceptInvalidContentItemValue |
      DSRTypes::RF_ignoreRelationshipConstraints | DSRTypes::RF_ignoreContentItemErrors |
      DSRTypes::RF_skipInvalidContentItems;
  DSRDocument doc;
  const OFCondition read = doc.read(ds, lenient);
  if (read.bad()) {
    why = std::string("the report's content cannot be read (") + read.text() + ")";
    return false;
  }
  OFString v;
  doc.getSpecificCharacterSet(v);
  TextDecoder text(Str(v));
  const auto get = [&v](OFCondition (DSRDocument::*fn)(OFString&, signed long) const,
                        const DSRDocument& d) {
    v.clear();
    (d.*fn)(v, 0);
    return v;
  };
  out.sopInstanceUid = Ascii(get(&DSRDocument::getSOPInstanceUID, doc));
  out.seriesInstanceUid = Ascii(get(&DSRDocument::getSeriesInstanceUID, doc));
  out.studyInstanceUid = Ascii(get(&DSRDocument::getStudyInstanceUID, doc));
  out.modality = Ascii(get(&DSRDocument::getModality, doc));
  out.patientName = PersonNameText(text.Line(get(&DSRDocument::getPatientName, doc)));
  out.patientId = text.Line(get(&DSRDocument::getPatientID, doc));
  out.patientBirthDate = FormatDicomDate(Ascii(get(&DSRDocument::getPatientBirthDate, doc)));
  out.patientSex = Ascii(get(&DSRDocument::getPatientSex, doc));
  out.studyDate = FormatDicomDate(Ascii(get(&DSRDocument::getStudyDate, doc)));
  out.studyTime = FormatTime(Ascii(get(&DSRDocument::getStudyTime, doc)));
  out.studyDescription = text.Line(get(&DSRDocument::getStudyDescription, doc));
  out.studyId = text.Line(get(&DSRDocument::getStudyID, doc));
  out.accessionNumber = text.Line(get(&DSRDocument::getAccessionNumber, doc));
  out.referringPhysician =
      PersonNameText(text.Line(get(&DSRDocument::getReferringPhysicianName, doc)));
  out.seriesDescription = text.Line(get(&DSRDocument::getSeriesDescription, doc));
  out.seriesNumber = Ascii(get(&DSRDocument::getSeriesNumber, doc));
  out.instanceNumber = Ascii(get(&DSRDocument::getInstanceNumber, doc));
  out.manufacturer = text.Line(get(&DSRDocument::getManufacturer, doc));
  out.contentDate = FormatDicomDate(Ascii(get(&DSRDocument::getContentDate, doc)));
  out.contentTime = FormatTime(Ascii(get(&DSRDocument::getContentTime, doc)));
  out.completionFlag = DSRTypes::completionFlagToEnumeratedValue(doc.getCompletionFlag());
  out.completionFlagDescription = text.Line(get(&DSRDocument::getCompletionFlagDescription, doc));
  out.verificationFlag = DSRTypes::verificationFlagToEnumeratedValue(doc.getVerificationFlag());
  out.preliminaryFlag = DSRTypes::preliminaryFlagToEnumeratedValue(doc.getPreliminaryFlag());
  for (size_t i = 1; i <= doc.getNumberOfVerifyingObservers() && i <= 1000; ++i) {
    OFString when, name, organization;
    if (doc.getVerifyingObserver(i, when, name, organization).bad()) continue;
    out.verifiers.push_back(
        {PersonNameText(text.Line(name)), text.Line(organization), FormatDateTime(Ascii(when))});
  }
  DSRSOPInstanceReferenceList& evidence = doc.getCurrentRequestedProcedureEvidence();
  if (evidence.gotoFirstItem().good()) {
    size_t guard = 0;
    do {
      TSrEvidence e;
      OFString s;
      e.studyInstanceUid = Ascii(evidence.getStudyInstanceUID(s));
      e.seriesInstanceUid = Ascii(evidence.getSeriesInstanceUID(s));
      e.sopClassUid = Ascii(evidence.getSOPClassUID(s));
      e.sopInstanceUid = Ascii(evidence.getSOPInstanceUID(s));
      out.evidence.push_back(std::move(e));
    } while (++guard < kMaxReportNodes && evidence.gotoNextItem().good());
  }

  // The content tree, in document order, through DCMTK's own cursor.
  DSRDocumentTree& tree = doc.getTree();
  if (!tree.gotoRoot()) {
    why = "the report has no content";
    return false;
  }
  std::map<size_t, int> byId;
  std::vector<size_t> ids, targetIds;
  std::vector<int> stack;  // the open ancestors, by depth
  do {
    if (out.nodes.size() >= kMaxReportNodes) {
      out.notes.push_back("the report holds more than " + std::to_string(kMaxReportNodes) +
                          " items; the rest are not shown");
      break;
    }
    DSRContentItem& item = tree.getCurrentContentItem();
    const DSRDocumentTreeNode* node = tree.getCurrentNode();
    if (!node) break;
    TSrNode n;
    n.depth = int(tree.getLevel()) - 1;
    if (n.depth < 0) n.depth = 0;
    stack.resize(size_t(std::min<int>(n.depth, int(stack.size()))));
    n.parent = stack.empty() ? -1 : stack.back();
    if (n.depth > 0 && n.parent < 0) n.depth = 0;
    OFString position;
    tree.getPosition(position);
    n.position = Str(position);
    if (n.parent >= 0)
      n.relationship = DSRTypes::relationshipTypeToDefinedTerm(item.getRelationshipType());
    n.valueType = ValueTypeName(item.getValueType());
    n.conceptName = text.Code(item.getConceptName());
    n.observationDateTime = FormatDateTime(Ascii(item.getObservationDateTime()));
    FillValue(item, node, n, text);
    if (!node->isValid()) {
      n.problem = "incomplete or invalid " + n.valueType + " item";
      out.notes.push_back("item " + n.position + ": " + n.problem);
    }
    const int index = int(out.nodes.size());
    if (n.parent >= 0) out.nodes[size_t(n.parent)].children.push_back(index);
    byId[tree.getNodeID()] = index;
    ids.push_back(tree.getNodeID());
    targetIds.push_back(item.getValueType() == DSRTypes::VT_byReference ? item.getReferencedNodeID()
                                                                        : 0);
    out.nodes.push_back(std::move(n));
    stack.push_back(index);
  } while (tree.iterate(OFTrue));
  if (!out.nodes.empty()) out.title = out.nodes.front().conceptName;
  const size_t held = ContentItemsIn(ds) + 1;
  if (out.nodes.size() < held && out.nodes.size() < kMaxReportNodes)
    out.notes.push_back(std::to_string(held - out.nodes.size()) +
                        " content item(s) could not be read and are left out");
  CheckReferences(out, byId, ids, targetIds);
  return true;
}

}  // namespace

bool IsReportClass(const std::string& sopClassUid) {
  return sopClassUid.rfind("1.2.840.10008.5.1.4.1.1.88.", 0) == 0;
}

bool ReadReport(const std::string& path, TSrDocument& doc, std::string& why) {
  doc = TSrDocument{};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a readable file";
    return false;
  }
  if (uint64_t(st.st_size) > kMaxReportBytes) {
    why = "too large for a structured report (" + std::to_string(st.st_size >> 20) + " MB)";
    return false;
  }
  try {
    // DCMTK's parser recurses once per nesting level: the walker, which
    // stops at its bound, says first whether the data set nests too deep.
    {
      const TagListing listing = ReadTagListing(path);
      if (!listing.ok) {
        why = listing.error.empty() ? "not a DICOM file" : listing.error;
        return false;
      }
      const size_t nest = listing.warning.find("sequences nest deeper");
      if (nest != std::string::npos) {
        why = "the report's " + listing.warning.substr(nest);
        return false;
      }
    }
    // From the file, not from memory: DCMTK checks each value's length
    // against what a file holds before it allocates, and loads large values
    // only when they are asked for.
    DcmFileFormat file;
    const OFCondition c =
        file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_autoDetect);
    if (c.bad()) {
      why = std::string("not a readable DICOM file (") + c.text() + ")";
      return false;
    }
    return ReadDataset(*file.getDataset(), doc, why);
  } catch (const std::bad_alloc&) {
    why = "not enough memory to read it";
    return false;
  }
}

bool ReadReportBytes(const uint8_t* data, size_t size, TSrDocument& doc, std::string& why) {
  doc = TSrDocument{};
  if (size > kMaxReportBytes) {
    why = "too large for a structured report";
    return false;
  }
  std::string name =
      tempcleanup::TempRoot() + "/tavrolen-sr-" + std::to_string(::getpid()) + "-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    why = "no temporary file for the report";
    return false;
  }
  const int slot = tempcleanup::Register(name, false);
  size_t written = 0;
  while (written < size) {
    const ssize_t n = ::write(fd, data + written, size - written);
    if (n <= 0) break;
    written += size_t(n);
  }
  ::close(fd);
  const bool ok = written == size ? ReadReport(name, doc, why) : false;
  if (written != size) why = "no room for a temporary copy of the report";
  ::unlink(name.c_str());
  tempcleanup::Unregister(slot);
  return ok;
}

int SelectedImage(const TSrDocument& doc, int scoordNode) {
  if (scoordNode < 0 || size_t(scoordNode) >= doc.nodes.size()) return -1;
  for (int c : doc.nodes[size_t(scoordNode)].children) {
    const TSrNode& child = doc.nodes[size_t(c)];
    if (child.relationship != "SELECTED FROM") continue;
    if (child.valueType == "IMAGE") return c;
    // One hop by reference, never more: a chain could loop.
    if (child.valueType == "BYREF" && child.targetNode >= 0 &&
        doc.nodes[size_t(child.targetNode)].valueType == "IMAGE")
      return child.targetNode;
  }
  return -1;
}

std::vector<TSrShape> ShapesOnImage(const TSrDocument& doc, const std::string& sopInstanceUid,
                                    int frame) {
  std::vector<TSrShape> shapes;
  for (size_t i = 0; i < doc.nodes.size(); ++i) {
    const TSrNode& n = doc.nodes[i];
    if (n.valueType != "SCOORD" || n.points.size() < 2) continue;
    const int image = SelectedImage(doc, int(i));
    if (image < 0) continue;
    const TSrNode& img = doc.nodes[size_t(image)];
    if (img.sopInstanceUid != sopInstanceUid) continue;
    if (frame > 0 && !img.frames.empty() &&
        std::find(img.frames.begin(), img.frames.end(), frame) == img.frames.end())
      continue;
    TSrShape s{int(i), n.graphicType, n.points, img.frames, {}};
    // A measurement the coordinates were drawn for names them best.
    const TSrNode* owner = n.parent >= 0 ? &doc.nodes[size_t(n.parent)] : nullptr;
    if (owner && owner->valueType == "NUM")
      s.label = CodeText(owner->conceptName) + ": " + owner->text;
    else if (!n.conceptName.empty())
      s.label = CodeText(n.conceptName);
    else if (owner && !owner->conceptName.empty())
      s.label = CodeText(owner->conceptName);
    shapes.push_back(std::move(s));
  }
  return shapes;
}

}  // namespace reports
