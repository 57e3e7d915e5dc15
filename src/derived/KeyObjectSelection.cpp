#include "derived/KeyObjectSelection.h"

#include <dcmtk/dcmsr/dsrdoc.h>

#include <new>

#include "derived/DerivedIo.h"

TCode KeyObjectOfInterest() {
  return {"113000", "DCM", "Of Interest"};
}

namespace {

std::string Str(const OFString& s) {
  return std::string(s.c_str(), s.length());
}

}  // namespace

bool WriteKeyObjectSelection(TKeyObjectSelection& kos, const TSourceInfo& source,
                             const std::string& outPath, std::string& why) {
  if (kos.images.empty()) {
    why = "no key images to save";
    return false;
  }
  for (const TKeyImage& k : kos.images)
    if (k.image.sopClassUid.empty() || k.image.sopInstanceUid.empty() ||
        k.seriesInstanceUid.empty() || k.studyInstanceUid != source.studyInstanceUid) {
      why = "key image " + k.image.sopInstanceUid + " lacks its UIDs or is of another study";
      return false;
    }
  DSRDocument doc(DSRTypes::DT_KeyObjectSelectionDocument);
  kos.studyInstanceUid = source.studyInstanceUid;
  kos.seriesInstanceUid = NewDicomUid();
  kos.sopInstanceUid = NewDicomUid();
  DSRDocumentTree& tree = doc.getTree();
  const DSRCodedEntryValue title(kos.title.value.c_str(), kos.title.scheme.c_str(),
                                 kos.title.meaning.c_str());
  if (!tree.addContentItem(DSRTypes::RT_isRoot, DSRTypes::VT_Container) ||
      tree.getCurrentContentItem().setConceptName(title).bad()) {
    why = "the key object title " + kos.title.value + " is not valid";
    return false;
  }
  bool first = true;
  const auto add = [&](DSRTypes::E_ValueType type) {
    const size_t id = tree.addContentItem(
        DSRTypes::RT_contains, type, first ? DSRTypes::AM_belowCurrent : DSRTypes::AM_afterCurrent);
    first = false;
    return id != 0;
  };
  if (!kos.description.empty()) {
    if (!add(DSRTypes::VT_Text) ||
        tree.getCurrentContentItem()
            .setConceptName(DSRCodedEntryValue("113012", "DCM", "Key Object Description"))
            .bad() ||
        tree.getCurrentContentItem().setStringValue(kos.description.c_str(), OFFalse).bad()) {
      why = "cannot add the description";
      return false;
    }
  }
  for (const TKeyImage& k : kos.images) {
    DSRImageReferenceValue ref(k.image.sopClassUid.c_str(), k.image.sopInstanceUid.c_str(),
                               OFFalse);
    for (int32_t f : k.image.frames) ref.getFrameList().addItem(f);
    if (!add(DSRTypes::VT_Image) ||
        tree.getCurrentContentItem().setImageReference(ref, OFFalse).bad()) {
      why = "cannot reference image " + k.image.sopInstanceUid;
      return false;
    }
    if (doc.getCurrentRequestedProcedureEvidence()
            .addItem(k.studyInstanceUid.c_str(), k.seriesInstanceUid.c_str(),
                     k.image.sopClassUid.c_str(), k.image.sopInstanceUid.c_str(), OFFalse)
            .bad()) {
      why = "cannot list image " + k.image.sopInstanceUid + " as evidence";
      return false;
    }
  }
  doc.setSpecificCharacterSetType(DSRTypes::CS_UTF8);
  doc.createNewSeriesInStudy(source.studyInstanceUid.c_str());
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  const OFCondition c = doc.write(ds);
  if (c.bad()) {
    why = std::string("cannot build the key object selection: ") + c.text();
    return false;
  }
  // Identification of the images' patient and study, our own UIDs.
  derived::PutSource(ds, source, "KO");
  ds.putAndInsertString(DCM_SeriesInstanceUID, kos.seriesInstanceUid.c_str());
  ds.putAndInsertString(DCM_SOPInstanceUID, kos.sopInstanceUid.c_str());
  ds.putAndInsertString(DCM_SeriesNumber, "9902");
  ds.putAndInsertString(DCM_InstanceNumber, "1");
  return derived::SaveSafely(file, outPath, why);
}

bool ReadKeyObjectSelection(const std::string& path, TKeyObjectSelection& kos, std::string& why) {
  kos = TKeyObjectSelection{};
  DcmFileFormat file;
  uint64_t size = 0;
  if (!derived::LoadBounded(path, file, size, why)) return false;
  try {
    DcmDataset& ds = *file.getDataset();
    const std::string sopClass = derived::GetString(ds, DCM_SOPClassUID);
    if (sopClass != kKeyObjectSelectionClass) {
      why = path + ": not a key object selection (SOP class " +
            (sopClass.empty() ? std::string("missing") : sopClass) + ")";
      return false;
    }
    DSRDocument doc;
    // Other producers' documents are read leniently (an item DCMTK finds
    // invalid is skipped, not the document); each reference is checked below.
    const size_t lenient = DSRTypes::RF_acceptUnknownRelationshipType |
                           DSRTypes::RF_ignoreRelationshipConstraints |
                           DSRTypes::RF_skipInvalidContentItems;
    if (doc.read(ds, lenient).bad()) {
      why = path + ": the key object selection's content tree is not valid";
      return false;
    }
    OFString v;
    doc.getSOPInstanceUID(v);
    kos.sopInstanceUid = Str(v);
    doc.getSeriesInstanceUID(v);
    kos.seriesInstanceUid = Str(v);
    doc.getStudyInstanceUID(v);
    kos.studyInstanceUid = Str(v);
    DSRDocumentTree& tree = doc.getTree();
    if (!tree.gotoRoot()) {
      why = path + ": the key object selection has no content";
      return false;
    }
    const DSRCodedEntryValue& title = tree.getCurrentContentItem().getConceptName();
    kos.title = {Str(title.getCodeValue()), Str(title.getCodingSchemeDesignator()),
                 Str(title.getCodeMeaning())};
    // Where each instance lies, from the evidence list.
    DSRSOPInstanceReferenceList& evidence = doc.getCurrentRequestedProcedureEvidence();
    if (tree.goDown()) {
      size_t guard = 0;
      do {
        if (++guard > 1000000) break;
        DSRContentItem& item = tree.getCurrentContentItem();
        if (item.getValueType() == DSRTypes::VT_Text && kos.description.empty()) {
          kos.description = Str(item.getStringValue());
        } else if (item.getValueType() == DSRTypes::VT_Image) {
          const DSRImageReferenceValue& ref = item.getImageReference();
          TKeyImage k;
          k.image.sopClassUid = Str(ref.getSOPClassUID());
          k.image.sopInstanceUid = Str(ref.getSOPInstanceUID());
          const DSRImageFrameList& frames = ref.getFrameList();
          for (size_t i = 1; i <= frames.getNumberOfItems() && i <= 100000; ++i) {
            const Sint32 f = frames.getItem(i);
            if (f >= 1) k.image.frames.push_back(f);
          }
          if (k.image.sopInstanceUid.empty()) {
            kos.skipped.push_back("an image item without its SOP Instance UID");
            continue;
          }
          if (evidence.gotoItem(k.image.sopClassUid.c_str(), k.image.sopInstanceUid.c_str())
                  .good()) {
            k.studyInstanceUid = Str(evidence.getStudyInstanceUID(v));
            k.seriesInstanceUid = Str(evidence.getSeriesInstanceUID(v));
          }
          kos.images.push_back(std::move(k));
        }
      } while (tree.gotoNext());
    }
  } catch (const std::bad_alloc&) {
    why = path + ": not enough memory to read it";
    return false;
  }
  return true;
}
